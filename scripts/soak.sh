#!/usr/bin/env bash
# The soak run (not part of the test suite; it takes a while): the whole system with
# several simulated scanners until they have served the asked number of pictures, with
# flapping connections and bad replies. Needs root and the set-up.
#
#   bash scripts/soak.sh [PICTURES] [SCANNERS] [OUTPUT_FOLDER]   (10000, 10, ./soak-output)
set -euo pipefail
cd "$(dirname "$0")/.."
exec tests/support/run-in-test-net.sh bash tests/e2e/soak.sh --build build \
    --out "${3:-soak-output}" --pictures "${1:-10000}" --scanners "${2:-10}"
