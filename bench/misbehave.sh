#!/bin/sh
# What misbehaving watched programs cost the supervisor over a long run. One daemon (the
# build in BUILD_DIR) at a time runs in the test sandbox with one watched program that
# misbehaves at once at every start: it exits with 160 (a new cycle), with 130 without
# a package (a new cycle), with 0 (a restart), or dies by SIGSEGV (a restart). The sleep
# interposer of the tests takes the waits out (restart delays, the pause between cycles),
# so the daemon goes through EVENTS cycles or restarts (default 100000) as fast as it can.
#
# Per program the table gives the daemon's own CPU time per cycle or restart (from
# /proc/PID/schedstat) and that of the children it waits for (killall's shell, the
# program; utime + stime of the reaped children), the share of one processor that this
# gives at the real pace (a cycle a second, a restart every 10 seconds), the lock file's
# size at the end, and the daemon's RSS and open descriptors after the first event and
# after the last one.
# Needs root (the sandbox); run it niced, it keeps one processor busy.
# Usage: bench/misbehave.sh [EVENTS] [BUILD_DIR]   (defaults: 100000, ./build)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
events=${1:-100000}
build=$(cd "${2:-./build}" && pwd)
[ "$(id -u)" = 0 ] || { echo "misbehave: needs root (namespaces)" >&2; exit 1; }
program=stand-ins/watched-program/watched-program
for f in supervisor/supervisor tests/harness/sleep_shim.so $program; do
	[ -e "$build/$f" ] || { echo "misbehave: $build/$f missing (build with tests)" >&2; exit 1; }
done
"$top/scripts/deps.sh" bench
cc -O2 -Wall -Wextra -Werror -o "$build/misbehave_prog" "$top/bench/misbehave_prog.c"
SUPERVISOR_BIN="$build/supervisor/supervisor" FAKE_PROG="$build/$program" \
	SLEEP_SHIM="$build/tests/harness/sleep_shim.so" HARNESS_BUILD_DIR="$build" \
	PYTHONDONTWRITEBYTECODE=1 \
	exec /usr/bin/python3 "$top/bench/misbehave.py" "$build/misbehave_prog" "$events"
