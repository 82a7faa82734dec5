#!/bin/sh
# Installs what is missing, then configures and builds the project with one of the CMake
# presets of CMakePresets.json (Ninja, warnings as errors):
#   scripts/build.sh [PRESET]   default (build/), sanitize (build-san/), release (build-release/)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
preset=${1:-default}
"$top/scripts/deps.sh" build
cd "$top"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
