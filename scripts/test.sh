#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite (CTest); then the daemon's
# black-box suite against the daemon cross-built for 32-bit big-endian MIPS (under qemu) and
# built against musl, the sender's D-Bus tests with the sender cross-built for mipsel (under
# qemu), and each fuzz target for a minute.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh"
(cd "$top/build" && ctest --output-on-failure -j2 "$@")
"$top/scripts/test-mips.sh"
"$top/scripts/test-mipsel.sh"
"$top/scripts/fuzz.sh"
