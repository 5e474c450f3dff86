#!/usr/bin/env bash
# Debian's own package tester on the built package: piuparts makes a fresh Debian 12 chroot
# with debootstrap from this machine's archive, installs the package with its dependencies,
# removes and purges it, and fails on what is left behind or a maintainer script's error.
# It downloads a base system and the package's libraries (about two minutes here). Root
# only; without root or piuparts it says so and exits 77, which the test suite counts as
# skipped (test package_piuparts).
#
#   bash scripts/piuparts.sh [ostra_VERSION_amd64.deb]   (default: newest in build-package)
#   bash scripts/piuparts.sh --build BUILD_DIR           (that build packaged by CPack first)
set -euo pipefail
cd "$(dirname "$0")/.."
[[ $EUID -eq 0 ]] || { echo "skipped: piuparts builds a chroot, as root" >&2; exit 77; }
command -v piuparts >/dev/null || { echo "skipped: piuparts is missing (bash scripts/setup.sh installs it)" >&2; exit 77; }
work=$(mktemp -d)
trap 'rm -rf --one-file-system "$work"' EXIT # never into a mount piuparts left
if [[ ${1:-} == --build ]]; then
    cpack -G DEB --config "$2/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" ||
        { cat "$work/cpack.log"; exit 1; }
    set -- "$work"/deb/ostra_*.deb
fi
deb=$(realpath "${1:-$(ls -t build-package/ostra_*_amd64.deb 2>/dev/null | head -1)}")
[[ -f "$deb" ]] || { echo "no package: bash scripts/package.sh first" >&2; exit 1; }
# The archive this machine installs from, as piuparts wants it (it reads no .sources file).
mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 'Release: bookworm' |
    head -1)
start=$SECONDS
mkdir "$work/chroot"
piuparts --distribution bookworm --mirror "${mirror%/} main" --tmpdir "$work/chroot" \
    --warn-on-debsums-errors "$deb"
echo "piuparts passed in $((SECONDS - start)) s"
