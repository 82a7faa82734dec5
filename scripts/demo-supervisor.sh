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

exec /usr/bin/python3 - "$top" "$build/demo-supervisor" <<'EOF'
import io
import os
import shutil
import sys
import tarfile
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
shutil.copy2(run.paths.daemon.parent / "k93_load", run.bindir / "k93_load")

# The upgrade packages that sample-exit leaves behind before it exits with 130.
(run.work / "packages").mkdir()
with tarfile.open(run.work / "packages/plugin.tgz", "w:gz") as tar:
    for name in ("sample-exit", "sample-crash"):
        tar.add(run.paths.fake, arcname=name)
with tarfile.open(run.work / "packages/plugin-damaged.tgz", "w:gz") as tar:
    info = tarfile.TarInfo("sample-crash")
    info.size, info.mode = 8, 0o644
    tar.addfile(info, io.BytesIO(b"damaged\n"))

print(f"== supervisor demo: {run.daemon} in a sandbox, watching sample-exit and sample-crash")
for name in ("sample-exit", "sample-crash"):
    print(f"   {name} does, start by start: " +
          " | ".join((samples / f"{name}.ctl").read_text().splitlines()))
began = time.monotonic()
run.start()
try:
    # While the plugin runs, look at the sandbox's /data/ through its root.
    run.wait_for(lambda: any(a[0].startswith("/data/") for a in run.argvs()),
                 timeout=30, what="the plugin")
    data = Path(f"/proc/{run._sandbox_pid()}/root/data")
    plugin_files = sorted(os.listdir(data))
    plugin_record = (data / ".bootchk").read_text()
    run.wait_for(lambda: "failed boot" in run.out() and
                 run.argvs("sample-crash")[-1][0] == "sample-crash",
                 timeout=30 - (time.monotonic() - began), what="the fall-back to base mode")
finally:
    run.stop()
print(f"   ran {time.monotonic() - began:.1f} s")

print("\n-- the daemon's standard output:")
print(run.out(), end="")
print(f"\n-- restart delays and pauses shortened to {DELAY_MS} ms each by an LD_PRELOAD sleep "
      "interposer (tests/harness/sleep_shim.c);")
print("   the daemon asked for (seconds): " + " ".join(map(str, run.sleeps())))
print("   (10, and 60 after a SIGSEGV: restart delays; 1: the pause before a cycle that follows")
print("   one begun less than a second before, so that cycles come at most once a second)")

print(f"\n-- lock file /tmp/.uci/{run.daemon.name}.run (directory line, then the exit log, UTC):")
print(run.lock_path().read_text(), end="")

print("\n-- every start, in order (pid, then the argument vector it was given):")
for r in run.starts():
    print(f"   pid {r['pid']:<4} {' '.join(r['argv'])}")
print("\n-- while the plugin ran: /data/ held " + " ".join(plugin_files))
print("   and the boot-check record /data//.bootchk (it chooses plugin mode):")
print("   " + plugin_record)
print("   after the damaged plugin failed to start, the record was deleted: "
      + ("still there" if run.snap("/data/.bootchk").exists() else "gone"))

print("\n   no -r in the first cycle; -r CODE after a restart: the exit status, the signal")
print("   number, or 160 for every program after one asked to restart all (exit 160);")
print("   'No such pid' is the old instance killed by that new cycle being reaped.")
print("   -r 130 and /data//NAME with -T -D -O: the plugin after the install (exit 130);")
print("   -r 129 in base mode: the cycle after a plugin that could not be executed.")
EOF
