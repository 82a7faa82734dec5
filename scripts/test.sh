#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite (CTest) on each build:
# the default one (which also runs the static checks), the one under the address and
# undefined-behaviour sanitizers, and the hardened release one; then every target of
# scripts/gateway.sh (the gateway: the SDK's check, the black-box suite on uClibc-ng under
# qemu-mips, the scenarios inside the booted image, the sender's D-Bus tests with the
# big-endian sender, the power cuts; musl: the black-box suite), and each fuzz target for a
# minute. Arguments go to the ctest runs of the default, sanitizer and release builds (e.g.
# -R NAME); the gateway step and the fuzz step take none. A ctest run that finds no test
# fails, so a -R pattern must match in each of those builds. Stops at the first step that
# fails; after each step, says how long it took, in time and in processor time.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)

# The processor time, in seconds, of this shell and of the commands it has waited for.
cpu_seconds() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%d\n", ($14 + $15 + $16 + $17) / hz }' /proc/$$/stat; }

# step NAME COMMAND...: runs COMMAND, then says how long step NAME took.
step()
{
	st_name=$1 st_began=$(date +%s) st_cpu=$(cpu_seconds)
	shift
	"$@"
	echo "== step $st_name: $(($(date +%s) - st_began)) s, $(($(cpu_seconds) - st_cpu)) s of processor time"
}

# preset NAME [CTEST ARGUMENT...]: builds the preset NAME and runs its tests.
preset()
{
	pr_name=$1
	shift
	"$top/scripts/build.sh" "$pr_name"
	(cd "$top" && ctest --preset "$pr_name" -j2 "$@")
}

# Everything that any step needs, before the first one starts.
step deps "$top/scripts/deps.sh" build test gateway fuzz

step default preset default "$@"
# The same suite with every program and library built with the sanitizers (clang);
# a report from any of them fails the test that ran it.
step sanitize preset sanitize "$@"
# The release build: _FORTIFY_SOURCE=3 and stack protector, checked to be in.
step release preset release "$@"

step targets "$top/scripts/gateway.sh" test
step fuzz "$top/scripts/fuzz.sh"
