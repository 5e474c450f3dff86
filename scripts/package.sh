#!/usr/bin/env bash
# Builds the Debian package ostra_<version>_amd64.deb into ./build-package (or the folder
# given) with Debian's hardening flags, then checks it with lintian.
#
#   bash scripts/package.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-package}

# Debian's build flags (fortify, stack protector, relro, now) as a Debian build has them.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DBUILD_TESTING=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
    -DCMAKE_STRIP="$PWD/packaging/debian-strip" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
# Only what the package holds: no benchmark, no test tool.
nice cmake --build "$build" -j2 --target package-contents
(cd "$build" && cpack -G DEB)

deb=$(ls -t "$build"/ostra_*_amd64.deb | head -1)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Depends Recommends

# The backend runs inside whatever imaging program acquires: no GUI library may come with it.
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
needed=$(readelf -d "$unpacked"/usr/lib/*/sane/libsane-ostra.so.1 | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p')
echo "libsane-ostra.so.1 needs:" $needed
if grep -qE 'Qt5(Gui|Widgets)|gtk' <<<"$needed"; then
    echo "the SANE backend pulls in a GUI library" >&2
    exit 1
fi
# Errors and warnings fail the build.
lintian --fail-on error,warning "$deb"
