#!/bin/sh
# The black-box suite against the daemon as built for the gateway: builds the host tree
# ./build (whose stand-in watched program the tests start), then
#  - cross builds ./build-mips (32-bit big-endian MIPS) with scripts/cross-build.sh and runs
#    its tests (CTest): each black-box test runs the MIPS daemon under qemu-mips in the
#    sandbox, with the sleep interposer built for MIPS;
#  - builds ./build-musl (this processor, against musl, a small C library like the
#    gateway's) with scripts/cross-build.sh --musl and runs its tests, natively.
# Arguments go to both ctest runs; each fails when it finds no test. Needs root (apt-get
# for what is missing, the sandbox).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh" build test cross
"$top/scripts/build.sh"
"$top/scripts/cross-build.sh"
(cd "$top/build-mips" && ctest --output-on-failure --no-tests=error -j2 "$@")
"$top/scripts/cross-build.sh" --musl
(cd "$top/build-musl" && ctest --output-on-failure --no-tests=error -j2 "$@")
