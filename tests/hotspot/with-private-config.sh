#!/bin/sh
# Runs a command in a private mount namespace in which an empty tmpfs covers the shared
# configuration folder, so that the machine's own configuration file is neither read nor
# written. Needs root; otherwise exits with 77, which the tests take as "skip".
#
#   with-private-config.sh [--config FILE] COMMAND [ARG...]
#
# --config FILE starts the command with a copy of FILE as its configuration file.
set -eu
folder=/opt/Quorvane/OstraImagraEXE
config=
if [ "${1:-}" = --config ]; then
    config=$(realpath "$2")
    shift 2
fi
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null; then
    echo "skipped: needs root and unshare for a private configuration folder" >&2
    exit 77
fi
exec unshare --mount --propagation private sh -c '
    set -eu
    folder=$1 config=$2
    shift 2
    # Cover the deepest folder that exists, so that nothing is created on the real disk.
    cover=$folder
    while [ ! -d "$cover" ]; do cover=$(dirname "$cover"); done
    [ "$cover" != / ] || { echo "no folder to cover on the way to $folder" >&2; exit 1; }
    mount -t tmpfs -o mode=0755 ostra-private-config "$cover"
    mkdir -p "$folder"
    [ -z "$config" ] || cp "$config" "$folder/scanConfig.ini"
    exec "$@"' sh "$folder" "$config" "$@"
