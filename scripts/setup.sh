#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need, then configures
# and builds into ./build. Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    cmake g++ make pkg-config
    qtbase5-dev qtbase5-dev-tools
    libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
    xvfb xauth fonts-dejavu-core xdotool
    imagemagick x11-utils
    trayer
    iputils-ping iproute2
    g++-mingw-w64-x86-64-posix wine64
    clang-14 libclang-rt-14-dev
    libsane-dev sane-utils python3-sane
    network-manager python3-dbusmock dbus
    qemu-system-x86 linux-image-amd64 busybox-static cpio kmod iw wpasupplicant dnsmasq-base isc-dhcp-client
    dpkg-dev fakeroot lintian piuparts debootstrap
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2

# The fuzz targets, in a clang build of their own; the test suite runs each of them briefly.
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DOSTRA_FUZZ=ON -DBUILD_TESTING=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-fuzz --target fuzzers -j2
