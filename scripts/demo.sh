#!/usr/bin/env bash
# Sets up and builds (see setup.sh), then runs the main job on the built-in sample package.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
echo
echo "Built the library and its tests into build/bin. The launcher program does not exist yet,"
echo "so there is no sample package to wrap and install: this command stops after the build."
