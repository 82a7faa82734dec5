"""The run of scripts/demo-supervisor.sh, with the environment of the test harness
(tests/harness/harness.py) that the script sets; argv[1] is the work dir. The daemon runs in
the sandbox beside the two sample programs of this folder, with the upgrade packages they
leave behind; then comes what the run left."""
import io
import os
import shutil
import sys
import tarfile
import time
from pathlib import Path

samples = Path(__file__).resolve().parent
work = Path(sys.argv[1])
sys.path.insert(0, str(samples.parent.parent / "tests/harness"))
import harness  # noqa: E402

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
