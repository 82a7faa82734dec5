#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite (CTest) on each build:
# the default one (which also runs the static checks), the one under the address and
# undefined-behaviour sanitizers, and the hardened release one; then the daemon's
# black-box suite against the daemon cross-built for 32-bit big-endian MIPS (under qemu) and
# built against musl, the gateway's tests (the scenarios inside the booted image, the
# black-box suite on uClibc-ng, the sender's D-Bus tests with the big-endian sender built
# with the gateway's SDK, under qemu), and each fuzz target for a minute. Arguments go to
# every ctest run: the default, sanitizer and release builds, then the MIPS and musl ones
# (e.g. -R NAME); the gateway step and the fuzz step take none. A ctest run that finds
# no test fails, so a -R pattern must match in each of those builds. Stops at the first step
# that fails.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)

# Everything that any step needs, before the first one starts.
"$top/scripts/deps.sh" build test cross mipsel gateway fuzz

"$top/scripts/build.sh"
(cd "$top/build" && ctest --output-on-failure --no-tests=error -j2 "$@")

# The same suite with every program and library built with the sanitizers (clang);
# a report from any of them fails the test that ran it.
"$top/scripts/build.sh" sanitize
(cd "$top/build-san" && ctest --output-on-failure --no-tests=error -j2 "$@")

# The release build: _FORTIFY_SOURCE=3 and stack protector, checked to be in.
"$top/scripts/build.sh" release
(cd "$top/build-release" && ctest --output-on-failure --no-tests=error -j2 "$@")

"$top/scripts/test-mips.sh" "$@"
"$top/scripts/gateway.sh" test
"$top/scripts/fuzz.sh"
