#!/usr/bin/env bash
# The demo: a simulated scanner on a test host in a private network, the TWAIN listener,
# Beaconry and Imagra (in a real window where a display exists, under Xvfb otherwise).
# Pictures flow for a while; screenshots, the saved picture and the logs go to the output
# folder, and a report of what happened is printed. Everything is cleaned up at the end,
# also when interrupted. Needs root and the set-up (bash scripts/setup.sh).
#
#   bash scripts/demo.sh [SECONDS] [OUTPUT_FOLDER]      (default 20 s, ./demo-output)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
out=${2:-demo-output}
echo "demo: output in $(realpath -m "$out")"
exec tests/support/run-in-test-net.sh bash tests/e2e/wholesystem.sh --build build --out "$out" \
    --demo "$seconds"
