#!/bin/sh
# The black-box suite against the daemon built for the gateway (32-bit big-endian MIPS):
# builds the host tree ./build (whose stand-in watched program the tests start), cross
# builds ./build-mips with scripts/cross-build.sh, and runs the cross tree's tests
# (CTest): each black-box test runs the MIPS daemon under qemu-mips in the sandbox,
# with the sleep interposer built for MIPS. Arguments go to ctest.
# Needs root (apt-get for what is missing, the sandbox).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh"
"$top/scripts/cross-build.sh"
"$top/scripts/deps.sh" qemu-user
cd "$top/build-mips"
ctest --output-on-failure -j2 "$@"
