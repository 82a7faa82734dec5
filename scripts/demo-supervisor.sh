#!/bin/sh
# The supervisor daemon at work: the built daemon runs as root in a sandbox (private PID
# and mount namespaces, fresh /tmp and /data; the host's are not touched) beside the two
# sample programs of samples/supervisor-demo, which exit and crash on purpose, then ask
# for a plugin install (exit 130), run as the plugin from /data/, and install a damaged
# plugin that sends the daemon back to base mode. When the scenario is through (at most
# 30 s), the demo prints the daemon's output, the lock file with its exit log, the
# boot-check record and /data/ as the plugin ran, and the argument vector of every start.
# Usage: demo-supervisor.sh [BUILD_DIR] (default ./build), as root, on a build with tests.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-./build}" && pwd)

[ "$(id -u)" = 0 ] || { echo "demo-supervisor: needs root (namespaces)" >&2; exit 1; }
program=stand-ins/watched-program/watched-program
for f in supervisor/supervisor $program tests/harness/sleep_shim.so; do
	[ -e "$build/$f" ] || { echo "demo-supervisor: $build/$f missing (build with tests)" >&2; exit 1; }
done

export SUPERVISOR_BIN="$build/supervisor/supervisor"
export FAKE_PROG="$build/$program"
export SLEEP_SHIM="$build/tests/harness/sleep_shim.so"
export HARNESS_BUILD_DIR="$build"
export PYTHONDONTWRITEBYTECODE=1

exec /usr/bin/python3 "$top/samples/supervisor-demo/demo.py" "$build/demo-supervisor"
