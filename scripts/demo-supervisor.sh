#!/bin/sh
# The supervisor daemon at work: the built daemon runs as root in a sandbox (private PID
# and mount namespaces, fresh /tmp and /data; the host's are not touched) beside the two
# sample programs of samples/supervisor-demo, which exit and crash on purpose. When their
# scenario is through (at most 30 s), the demo prints the daemon's output, the lock file
# with its exit log, and the argument vector of every start.
# Usage: demo-supervisor.sh [BUILD_DIR] (default ./build), as root, on a build with tests.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-./build}" && pwd)

[ "$(id -u)" = 0 ] || { echo "demo-supervisor: needs root (namespaces)" >&2; exit 1; }
for f in supervisor/supervisor tests/harness/fake_prog tests/harness/sleep_shim.so; do
	[ -e "$build/$f" ] || { echo "demo-supervisor: $build/$f missing (build with tests)" >&2; exit 1; }
done

export SUPERVISOR_BIN="$build/supervisor/supervisor"
export FAKE_PROG="$build/tests/harness/fake_prog"
export SLEEP_SHIM="$build/tests/harness/sleep_shim.so"
export HARNESS_BUILD_DIR="$build"
export PYTHONDONTWRITEBYTECODE=1

exec /usr/bin/python3 - "$top" "$build/demo-supervisor" <<'EOF'
import sys
import time
from pathlib import Path

top, work = Path(sys.argv[1]), Path(sys.argv[2])
sys.path.insert(0, str(top / "tests/harness"))
import harness

samples = top / "samples/supervisor-demo"
DELAY_MS = 1000
run = harness.Run(work, harness.Paths(), tz="UTC0", sleep_ms=DELAY_MS)
run.config(text=(samples / "config").read_text())
for name in ("sample-exit", "sample-crash"):
    run.program(name, *(samples / f"{name}.ctl").read_text().splitlines())

print(f"== supervisor demo: {run.daemon} in a sandbox, watching sample-exit and sample-crash")
for name in ("sample-exit", "sample-crash"):
    print(f"   {name} does, start by start: " +
          " | ".join((samples / f"{name}.ctl").read_text().splitlines()))
began = time.monotonic()
run.start()
try:
    run.wait_for(lambda: len(run.starts("sample-exit")) >= 4 and
                 len(run.starts("sample-crash")) >= 4 and "No such pid" in run.out(),
                 timeout=30, what="the scenario")
finally:
    run.stop()
print(f"   ran {time.monotonic() - began:.1f} s")

print("\n-- the daemon's standard output:")
print(run.out(), end="")
print(f"\n-- restart delays shortened to {DELAY_MS} ms each by an LD_PRELOAD sleep "
      "interposer (tests/harness/sleep_shim.c);")
print("   the daemon asked for (seconds): " + " ".join(map(str, run.sleeps())))

print(f"\n-- lock file /tmp/.uci/{run.daemon.name}.run (directory line, then the exit log, UTC):")
print(run.lock_path().read_text(), end="")

print("\n-- every start, in order (pid, then the argument vector it was given):")
for r in run.starts():
    print(f"   pid {r['pid']:<4} {' '.join(r['argv'])}")
print("\n   no -r in the first cycle; -r CODE after a restart: the exit status, the signal")
print("   number, or 160 for every program after one asked to restart all (exit 160);")
print("   'No such pid' is the old instance killed by that new cycle being reaped.")
EOF
