#!/usr/bin/env bash
# Runs a command as root beside a throwaway copy of this machine: an overlay over / whose
# changes go to a tmpfs, in a private mount namespace, so that installing, purging and
# planting links there never reach the real system (the package's lifecycle test and
# install-check.sh use it). The command runs in the namespace with $root (the copy,
# to chroot into) and $upper (the overlay's upper layer: what changed) in its environment.
#
#   throwaway-root.sh COMMAND [ARGS...]
set -u
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root for a private mount namespace"; exit 77; }
exec unshare --mount --propagation private bash -c '
    set -e
    base=$(mktemp -d /tmp/ostra-root.XXXXXX)
    mount -t tmpfs -o mode=0755 ostra-root "$base"
    mkdir "$base/upper" "$base/work" "$base/root"
    mount -t overlay ostra-root -o "lowerdir=/,upperdir=$base/upper,workdir=$base/work" "$base/root" ||
        { echo "skipped: no overlay file system here"; exit 77; }
    root=$base/root
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mount -t tmpfs -o mode=1777 tmp "$root/tmp"
    mount -t tmpfs -o mode=0755 run "$root/run"
    export root upper=$base/upper
    set +e
    "$@"
    rc=$?
    umount -R -l "$base" && rmdir "$base"
    exit $rc' bash "$@"
