#!/usr/bin/env bash
# The package's whole life in a throwaway root (run through scripts/throwaway-root.sh): 0.1's layout
# (a conffile) with a member's values upgraded to this build; links planted by a member and
# the configuration deleted, each followed by a configure; an upgrade to a rebuilt higher
# version; remove, purge, a fresh install (over a folder made by hand) and purge. Then no
# file outside the package's own may have changed owner or mode.
#
#   scripts/throwaway-root.sh bash tests/packaging/lifecycle.sh --build BUILD_DIR
set -u
build=$(realpath "${2:?usage: throwaway-root.sh bash $0 --build DIR}") here=$(dirname "$(realpath "$0")")
command -v cpack >/dev/null && command -v dpkg-deb >/dev/null || { echo "skipped: no cpack or dpkg-deb"; exit 77; }
failures=0
say() { printf '%s\n' "$*"; }
check() { # DESCRIPTION COMMAND...
    if "${@:2}"; then say "ok:   $1"; else say "FAIL: $1"; failures=$((failures + 1)); fi
}
in_root() { chroot "$root" "$@"; }
as_member() { chroot "$root" runuser -u member -- sh -c "$1"; }
mode_of() { in_root stat -c '%U:%G %a' "$@"; }
value() { in_root sed -n "s/^$1=//p" "$config"; }
folder=/opt/Quorvane/OstraImagraEXE config=/etc/ostra/scanConfig.ini
victims=(/etc/shadow /etc/passwd /etc/apt/apt.conf.d /root)

# This build's package, a rebuild with a higher version, and 0.1's layout made from this
# build with 0.1's maintainer scripts and the configuration as a conffile.
debs=$root/tmp/debs
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$debs/new" >"$debs.log" 2>&1 &&
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$debs/higher" \
        -D CPACK_PACKAGE_VERSION=99.0 >>"$debs.log" 2>&1 || { cat "$debs.log"; exit 1; }
old=$debs/old new=/$(cd "$root" && echo tmp/debs/new/ostra_*.deb) higher=/tmp/debs/higher/ostra_99.0_amd64.deb
dpkg-deb -R "$root$new" "$old" && sed -i 's/^Version: .*/Version: 0.1/' "$old/DEBIAN/control"
mkdir "$old/etc/ostra" && cp "$old/usr/share/ostra/scanConfig.ini" "$old/etc/ostra/"
echo /etc/ostra/scanConfig.ini >>"$old/DEBIAN/conffiles"
rm "$old/DEBIAN/preinst" && install -m 0755 "$here"/layout-0.1/post* "$old/DEBIAN/"
dpkg-deb -b "$old" "$debs/old.deb" >/dev/null

# dpkg reads a question's answer from standard input: there is none, so a question fails.
dpkg_run() { # LOG ARGS...
    in_root env DEBIAN_FRONTEND=noninteractive dpkg "${@:2}" </dev/null >"$root/tmp/$1" 2>&1 ||
        { cat "$root/tmp/$1"; return 1; }
    ! grep -q "Configuration file '" "$root/tmp/$1"
}
reconfigure() { in_root dpkg-reconfigure -fnoninteractive ostra; }
# This copy of the machine starts without the package and its folders.
in_root sh -c 'echo "man-db man-db/auto-update boolean false" | debconf-set-selections
    dpkg -P ostra; rm -rf /opt/Quorvane /etc/ostra' >/dev/null 2>&1

say "== 0.1's layout with a member's values, upgraded to this build"
check "0.1 installs" dpkg_run install-old.log -i /tmp/debs/old.deb
in_root useradd -m -G ostra member
as_member "sed -i --follow-symlinks 's/^AutoSave=.*/AutoSave=1/' $folder/scanConfig.ini &&
    printf '[WIFI]\nssid=Chair 3\n' >>$config"
check "the upgrade asks nothing" dpkg_run upgrade-old.log -i "$new"
check "the member's values are kept" test "$(value AutoSave)/$(value ssid)" = "1/Chair 3"
check "the configuration is no conffile any more" \
    test -z "$(in_root dpkg-query -W -f='${Conffiles}' ostra | grep scanConfig)"
check "the top folders are closed to others" test "$(mode_of /etc/ostra $folder | sort -u)" = "root:ostra 2770"

say "== links planted by a member, then configure twice"
before=$(mode_of "${victims[@]}")
as_member "cd $folder && mv Pictures Pictures.away && ln -s /etc/apt/apt.conf.d Pictures &&
    mv LogFile LogFile.away && ln -s /root LogFile && ln -sf /etc/passwd scanConfig.ini &&
    ln -sf /etc/shadow $config"
check "configure with the links in place" reconfigure
as_member "rm $config"
check "configure with the configuration deleted" reconfigure
check "no link was followed" test "$(mode_of "${victims[@]}")" = "$before"
check "the planted links are left alone" in_root test -L $folder/Pictures -a -L $folder/LogFile
check "the deleted configuration is made anew, the group's alone" \
    test "$(mode_of "$config")/$(value AutoSave)" = "root:ostra 660/0"

say "== an upgrade to a rebuilt higher version keeps the values; remove; purge"
as_member "cd $folder && rm Pictures LogFile scanConfig.ini && mv Pictures.away Pictures &&
    mv LogFile.away LogFile && ln -s $config scanConfig.ini &&
    sed -i 's/^AutoSave=.*/AutoSave=1/' $config && touch Pictures/scan.png"
check "the upgrade asks nothing" dpkg_run upgrade.log -i "$higher"
check "the values are kept" test "$(value AutoSave)" = 1
check "remove keeps the configuration and the pictures" \
    eval 'dpkg_run remove.log -r ostra && in_root test -f $config -a -f $folder/Pictures/scan.png'
in_root sh -c 'mkdir /root/logs && touch "/root/logs/2026-01-01 00-00-00.log"'
as_member "cd $folder/LogFile && touch '2026-12-07 08-00-00.log' &&
    ln -s '/root/logs/2026-01-01 00-00-00.log' '2026-01-01 00-00-00.log'"
check "purge" dpkg_run purge.log -P ostra
check "purge keeps the pictures and nothing else but the group" \
    test "$(in_root find /etc/ostra /opt/Quorvane 2>/dev/null | tr '\n' ' ')" = \
    "/opt/Quorvane $folder $folder/Pictures $folder/Pictures/scan.png "
check "purge follows no link" in_root test -f "/root/logs/2026-01-01 00-00-00.log"

say "== a fresh install over the programs' folder made by hand, then purge"
in_root sh -c "rm -r /opt/Quorvane && mkdir -p $folder/Pictures"
check "install, saying how users join" eval 'dpkg_run install.log -i $new && grep -q "adduser USER ostra" $root/tmp/install.log'
check "folders 2770, the default configuration 0660, root:ostra" test \
    "$(mode_of /etc/ostra $folder $folder/Pictures $folder/LogFile | sort -u)/$(mode_of $config)/$(in_root readlink $folder/scanConfig.ini)" = \
    "root:ostra 2770/root:ostra 660/$config"
check "the configuration is the default" in_root cmp "$config" /usr/share/ostra/scanConfig.ini
check "purge leaves nothing but the group" eval 'dpkg_run purge-fresh.log -P ostra && in_root getent group ostra >/dev/null &&
    test -z "$(in_root find /etc/ostra /opt/Quorvane 2>/dev/null)"'

# What changed: every entry of the overlay's upper layer that hides one of the machine's.
changed=$(cd "$upper" && find . -mindepth 1 ! -type c | while read -r entry; do
    path=${entry#.}
    [[ $path == /etc/ostra* || $path == $folder* ]] && continue # the package's own
    [[ (-e $path || -L $path) && "$(stat -c '%u:%g %a' "$path")" != "$(stat -c '%u:%g %a' "$upper$path")" ]] && say "$path"
done)
check "no file outside the package's own changed owner or mode${changed:+: }$changed" test -z "$changed"
say "$((failures == 0 ? 1 : 0)) passed, $((failures ? 1 : 0)) failed"
((failures == 0))
