#!/usr/bin/env bash
# Sets up and builds (see setup.sh), then runs the native tests of the host build and every test
# of the cross build under Wine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
ctest --test-dir "$root/build/host" --output-on-failure -j2
ctest --test-dir "$root/build" --output-on-failure -j2
