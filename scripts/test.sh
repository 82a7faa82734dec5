#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite (CTest).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh"
cd "$top/build"
ctest --output-on-failure -j2 "$@"
