#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite (CTest), then the
# sender's D-Bus tests again with the sender cross-built for 32-bit MIPS under emulation.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh"
(cd "$top/build" && ctest --output-on-failure -j2 "$@")
"$top/scripts/test-mipsel.sh"
"$top/scripts/test-mips.sh"
