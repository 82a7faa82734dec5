"""The runs of bench/misbehave.sh: argv[1] is the watched program, argv[2] the number of
cycles or restarts per run. The sleep interposer's log counts them: every cycle after the
first begins with its pause and every restart with its delay, one line each."""
import os
import shutil
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests/harness"))
import harness  # noqa: E402

PROGRAM, EVENTS = Path(sys.argv[1]), int(sys.argv[2])
TICK = os.sysconf("SC_CLK_TCK")
RUNS = [  # label, program name, what one event is, seconds between events at the real pace
    ("exit 160 at once", "exit160", "cycle", 1),
    ("exit 130, no package", "exit130", "cycle", 1),
    ("exit 0 at once", "exit0", "restart", 10),
    ("SIGSEGV at once", "segv", "restart", 10),
]


class Run(harness.Run):
    def env(self):
        return {**super().env(), "SANDBOX_LIMIT": "36000"}


def events(run):
    log = run.work / "sleeps"
    return log.read_bytes().count(b"\n") if log.exists() else 0


def cpu(pid):
    """The daemon's own CPU seconds, and those of the children it has reaped."""
    own = int(Path(f"/proc/{pid}/schedstat").read_text().split()[0]) / 1e9
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return own, (int(fields[13]) + int(fields[14])) / TICK


def measure(label, name, unit, pace, paths):
    run = Run(paths.build / "misbehave" / name, paths, sleep_ms=0)
    run.config([name])
    shutil.copy2(PROGRAM, run.bindir / name)
    run.start(wrap="ulimit -c 0")
    try:
        # From the second event on: the code of every path has been run once.
        run.wait_for(lambda: events(run) >= 2, what="the first events")
        pid = run.wait_for(run.daemon_pid, what="the daemon's pid")
        begin_events, begin_cpu = events(run), cpu(pid)
        rss0, fds0 = harness.Run.figures(pid)
        began = time.monotonic()
        while events(run) < begin_events + EVENTS:
            if not run.running():
                raise AssertionError(f"{label}: the sandbox ended")
            time.sleep(1)
        end_events, end_cpu = events(run), cpu(pid)
        rss1, fds1 = harness.Run.figures(pid)
        seconds = time.monotonic() - began
        lock = os.stat(f"/proc/{run._sandbox_pid()}/root/tmp/.uci/{run.daemon.name}.run").st_size
        assert run.daemon_pid() == pid, "the daemon was replaced"
    finally:
        run.stop()
        run.close()
    n = end_events - begin_events
    own = (end_cpu[0] - begin_cpu[0]) / n
    children = (end_cpu[1] - begin_cpu[1]) / n
    print(f"{label:<21} {n:>7} {unit:<7} {seconds:>6.0f} {own * 1e6:>9.0f} {children * 1e6:>9.0f}"
          f" {own / pace * 100:>8.3f}% {(own + children) / pace * 100:>8.3f}% {lock:>7}"
          f" {rss0:>5}/{rss1:<5} {fds0:>3}/{fds1:<3}", flush=True)


def main():
    paths = harness.Paths()
    print(f"{'program':<21} {'events':>7} {'':<7} {'secs':>6} {'own us':>9} {'child us':>9}"
          f" {'own@pace':>9} {'all@pace':>9} {'lock B':>7} {'RSS kB':>11} {'fds':>7}")
    for row in RUNS:
        measure(*row, paths)
    print("own/child us: CPU time per event of the daemon itself and of the children it reaped"
          " (killall's shell and killall, the program);\n@pace: share of one processor at one"
          " cycle a second or one restart every 10 s; RSS and fds: after the first events /"
          " at the end.")


main()
