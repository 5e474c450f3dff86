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
    -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
nice cmake --build "$build" -j2
(cd "$build" && cpack -G DEB)

deb=$(ls -t "$build"/ostra_*_amd64.deb | head -1)
echo "package: $deb"
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'
# Errors fail the build; warnings are listed.
lintian --fail-on error "$deb"
