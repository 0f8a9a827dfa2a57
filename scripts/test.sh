#!/usr/bin/env bash
# Sets up and builds (see setup.sh), then runs every test under Wine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
ctest --test-dir "$root/build" --output-on-failure -j2
