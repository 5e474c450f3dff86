#!/bin/sh
# with-private-config.sh [--config FILE] COMMAND [ARG...]: runs COMMAND with a tmpfs (holding a
# copy of FILE as the configuration file) over the configuration folder in a private mount
# namespace, so that the machine's own file is untouched. Needs root, else exits 77 ("skip").
set -eu
config=
[ "${1:-}" != --config ] || { config=$(realpath "$2"); shift 2; }
[ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null ||
    { echo "skipped: needs root and unshare for a private configuration folder" >&2; exit 77; }
exec unshare --mount --propagation private sh -c '
    set -eu
    folder=$1 config=$2 cover=$1
    shift 2
    # The deepest folder that exists, so that nothing is created on the real disk.
    while [ ! -d "$cover" ]; do cover=$(dirname "$cover"); done
    [ "$cover" != / ] || { echo "no folder to cover on the way to $folder" >&2; exit 1; }
    mount -t tmpfs -o mode=0755 ostra-private-config "$cover"
    mkdir -p "$folder"
    [ -z "$config" ] || cp "$config" "$folder/scanConfig.ini"
    exec "$@"' sh /opt/Quorvane/OstraImagraEXE "$config" "$@"
