"""Runs the real supervisor binary in the sandbox of sandbox.sh and reads what it leaves.

One Run is one daemon in one work dir under the build tree:

  WORKDIR/bin/<name>       copy of the daemon, with its "config" and base-mode programs
  WORKDIR/fake/            start log (samples.log) and control scripts of the stand-in
                           watched programs (stand-ins/watched-program), their CONTROL_DIR
  WORKDIR/seed/{tmp,data}  copied into the sandbox's /tmp and /data before the start
  WORKDIR/out              the daemon's standard output (a file, so buffering faults show)
  WORKDIR/sleeps           every wait the daemon asked for: the seconds of a sleep(3), and
                           "until DEADLINE REMAINING" of a wait on a clock (sleep_shim.c)
  WORKDIR/snap/{tmp,data}  the sandbox's /tmp and /data when it ended
  WORKDIR/sanitizer.PID    a report of the address or undefined-behaviour sanitizer, from
                           a build with them; closing a run that left one fails. On such
                           a build the sandbox ends the daemon with SIGUSR2, on which the
                           sleep interposer calls exit(0): its leak check runs then.

A daemon built for another processor runs under qemu user emulation when the
environment names the emulator (HARNESS_EMULATOR, e.g. "qemu-mips -L /usr/mips-linux-gnu");
SLEEP_SHIM is then the interposer built for that processor. The programs the emulated
daemon starts are host programs and run natively. (A daemon built against another C
library runs natively, with the interposer built against that library.)
"""
import json
import os
import shlex
import shutil
import subprocess
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SANDBOX = HERE / "sandbox.sh"


def next_daemon(between=""):
    """Shell code for Run.start(wrap=...): the daemon runs as a child of bash; when it has
    ended (killed, as a rule), bash writes its exit status to WORKDIR/first-status, runs
    the shell code BETWEEN and, once the file WORKDIR/go appears, replaces itself with the
    next daemon in the same sandbox."""
    return ('"$@"; echo $? >first-status\n' + between +
            '\nwhile [ ! -e go ]; do sleep 0.01; done\n')


def start_record(line):
    """A line of the stand-in programs' start log,
         NAME N pid=P ppid=Q ms=T cwd=DIR fds=0,1,2: ARGV...
    (words quoted as a shell quotes them), as a dict of name, n, pid, ppid, mono (the
    monotonic clock in nanoseconds), cwd, fds and argv; None for the line of an end by
    SIGTERM ("ended: NAME N by SIGTERM")."""
    # A line without a quote is its words spaced out; shlex, far slower, only for the rest:
    # the harness reads the log again and again while it waits.
    words = shlex.split(line) if "'" in line else line.split(" ")
    if words[0] == "ended:":
        return None
    name, n, pid, ppid, ms, cwd, fds, *argv = words
    whole, fraction = ms.removeprefix("ms=").split(".")
    return {"name": name, "n": int(n), "pid": int(pid.removeprefix("pid=")),
            "ppid": int(ppid.removeprefix("ppid=")), "mono": int(whole) * 10**6 + int(fraction),
            "cwd": cwd.removeprefix("cwd="),
            "fds": [int(fd) for fd in fds.removeprefix("fds=").removesuffix(":").split(",") if fd],
            "argv": argv}


class Paths:
    """Built binaries, from the environment that CTest (or the demo) sets."""

    def __init__(self, env=os.environ):
        self.daemon = Path(env["SUPERVISOR_BIN"])
        self.fake = Path(env["FAKE_PROG"])
        self.shim = Path(env["SLEEP_SHIM"])
        self.build = Path(env["HARNESS_BUILD_DIR"]).resolve()
        # The qemu user-mode command and its options; empty for a native daemon.
        self.emulator = shlex.split(env.get("HARNESS_EMULATOR", ""))
        # The width of the daemon's time_t in bits (its C library's, on its processor).
        self.time_t_bits = 8 * int(env.get("TIME_T_SIZE", "8"))
        # A daemon built with the sanitizers is ended with exit(0) rather than SIGKILL,
        # so that its leak check runs.
        self.sanitized = env.get("SANITIZED_BUILD") == "ON"


class Run:
    def __init__(self, work, paths, name="supervisor", tz="XYZ-13:30", sleep_ms=20):
        self.work = Path(work).resolve()
        self.paths = paths
        shutil.rmtree(self.work, ignore_errors=True)
        self.bindir = self.work / "bin"
        self.fakedir = self.work / "fake"
        self.seed = self.work / "seed"
        self.snapdir = self.work / "snap"
        for d in (self.bindir, self.fakedir):
            d.mkdir(parents=True)
        self.daemon = self.bindir / name
        shutil.copy2(paths.daemon, self.daemon)
        self.tz = tz
        self.sleep_ms = sleep_ms
        self.now = None  # seconds since the epoch that time(2) reports, instead of the clock
        self.preload = []  # more LD_PRELOAD libraries, after the sleep interposer
        self.proc = None
        self._files = []

    # --- before the start -------------------------------------------------------------

    def config(self, names=None, text=None):
        """Writes "config" beside the daemon: a watch list of names, or the raw text."""
        if text is None:
            text = json.dumps({"__watch": {"processes": [{"base": n} for n in names]}})
        (self.bindir / "config").write_text(text)

    def program(self, name, *script, where="base"):
        """Installs the stand-in program as NAME beside the daemon (or in /data) and
        gives it a control script, one line per start."""
        target = self.bindir / name if where == "base" else self.seed / "data" / name
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(self.paths.fake, target)
        if script:
            self.control(name, *script)

    def control(self, name, *script):
        (self.fakedir / (os.path.basename(name) + ".ctl")).write_text("\n".join(script) + "\n")

    def seed_file(self, path, data=b"", mode=None):
        """Puts a file at PATH (under /tmp or /data) in the sandbox."""
        target = self.seed / path.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data.encode() if isinstance(data, str) else data)
        if mode is not None:
            target.chmod(mode)

    def seed_dir(self, path, mode=0o755, uid=0):
        """Puts a directory at PATH (under /tmp or /data) in the sandbox, of that mode and
        owner."""
        target = self.seed / path.lstrip("/")
        target.mkdir(parents=True, exist_ok=True)
        target.chmod(mode)
        os.chown(target, uid, uid)

    def seed_link(self, path, to):
        target = self.seed / path.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.symlink_to(to)

    def bootchk(self, text):
        self.seed_file("/data/.bootchk", text)

    # --- running ----------------------------------------------------------------------

    def env(self):
        env = {
            "PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
            "HOME": "/",
            "TZ": self.tz,
            "CONTROL_DIR": str(self.fakedir),
            "SLEEP_SHIM_LOG": str(self.work / "sleeps"),
            "SLEEP_SHIM_MS": str(self.sleep_ms),
            # Read only by programs built with the sanitizers. The sleep interposer is
            # preloaded ahead of their run time, which must not refuse that; a report goes
            # to a file of the work dir, where close() finds it.
            "ASAN_OPTIONS": f"verify_asan_link_order=0:log_path={self.work}/sanitizer",
            "UBSAN_OPTIONS": f"print_stacktrace=1:log_path={self.work}/sanitizer",
        }
        if self.now is not None:
            env["SLEEP_SHIM_TIME"] = str(self.now)
        if self.paths.sanitized:
            env.update(SLEEP_SHIM_EXIT_ON_USR2="1", SANDBOX_END_SIGNAL="USR2")
        return env

    def command(self, *args, path=None, argv0=None, wrap=None):
        """The daemon's command line in the sandbox, with the sleep interposer: the file
        PATH (default the copy in WORKDIR/bin) run with argument 0 ARGV0 (default PATH).
        WRAP is shell code run by bash just before the daemon replaces it."""
        path = str(path or self.daemon)
        argv0 = str(argv0 or path)
        preload = ":".join(str(p) for p in [self.paths.shim, *self.preload])
        if self.paths.emulator:
            # The interposer reaches only the emulated program, never qemu itself.
            cmd = [*self.paths.emulator, "-0", argv0, "-U", "LD_PRELOAD",
                   "-E", f"LD_PRELOAD={preload}", path, *args]
        elif argv0 != path:
            # The interposer only for the daemon: it may be built against another C library.
            cmd = ["bash", "-c", 'export LD_PRELOAD="$1"; shift; exec -a "$0" "$@"',
                   argv0, preload, path, *args]
        else:
            cmd = ["env", f"LD_PRELOAD={preload}", path, *args]
        if wrap:
            cmd = ["bash", "-c", wrap + '\nexec "$@"', "bash", *cmd]
        return cmd

    def start(self, *args, argv0=None, wrap=None):
        assert self.proc is None
        out = open(self.work / "out", "wb")
        err = open(self.work / "sandbox.err", "wb")
        self._files += [out, err]
        self.proc = subprocess.Popen(
            [str(SANDBOX), "-b", str(self.paths.build), "-b", str(self.paths.shim.parent),
             str(self.work), "--", *self.command(*args, argv0=argv0, wrap=wrap)],
            stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=self.env())
        return self

    def run_inside(self, *args, argv0=None, out="out2", timeout=10):
        """Runs another instance of the daemon (the file ARGV0, so named) in the running
        sandbox; returns (exit status, its standard output)."""
        with open(self.work / out, "wb") as f:
            status = self.inside(*self.command(*args, path=argv0), stdout=f,
                                 timeout=timeout).returncode
        return status, (self.work / out).read_text()

    def inside(self, *argv, timeout=10, **kwargs):
        """Runs ARGV in the running sandbox; returns its subprocess.CompletedProcess."""
        return subprocess.run(
            ["nsenter", "--target", str(self._sandbox_pid()), "--mount", "--pid", "--root",
             "--wd", *argv], stdin=subprocess.DEVNULL, env=self.env(), timeout=timeout,
            **kwargs)

    def _sandbox_pid(self):
        """Host pid of the sandbox's process 1, the child of unshare."""
        for stat in Path("/proc").glob("[0-9]*/stat"):
            try:
                fields = stat.read_text().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == self.proc.pid:
                return int(stat.parent.name)
        raise AssertionError("sandbox is not running")

    def _sandbox_processes(self):
        """(host pid, parent's host pid, argument vector) of every live process that
        descends from the sandbox; zombies have no arguments and are left out."""
        table = {}
        for stat in Path("/proc").glob("[0-9]*/stat"):
            try:
                ppid = int(stat.read_text().rsplit(")", 1)[1].split()[1])
                argv = (stat.parent / "cmdline").read_bytes().split(b"\0")[:-1]
            except (OSError, IndexError, ValueError):
                continue
            table[int(stat.parent.name)] = (ppid, argv)
        inside = {self.proc.pid} if self.proc else set()
        grew = True
        while grew:
            grew = False
            for pid, (ppid, _) in table.items():
                if ppid in inside and pid not in inside:
                    inside.add(pid)
                    grew = True
        return [(pid, ppid, argv) for pid, (ppid, argv) in table.items()
                if pid in inside and argv and pid != self.proc.pid]

    def daemon_pid(self, argv0=None):
        """Host pid of the running daemon (not of a child it has just forked), or None."""
        name = os.fsencode(str(argv0 or self.daemon))
        procs = self._sandbox_processes()
        mine = {pid for pid, _, argv in procs if argv[0] == name}
        top = [pid for pid, ppid, argv in procs if pid in mine and ppid not in mine]
        return top[0] if len(top) == 1 else None

    def programs_alive(self, names):
        """Host pids of the live processes in the sandbox whose argument 0 has one of
        the basenames NAMES."""
        names = {os.fsencode(n) for n in names}
        return [pid for pid, _, argv in self._sandbox_processes()
                if argv[0].rsplit(b"/", 1)[-1] in names]

    @staticmethod
    def figures(pid):
        """Resident memory (kB) and number of open descriptors of host process PID."""
        status = Path(f"/proc/{pid}/status").read_text()
        rss = int(next(line.split()[1] for line in status.splitlines()
                       if line.startswith("VmRSS:")))
        return rss, len(os.listdir(f"/proc/{pid}/fd"))

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait_for(self, predicate, timeout=10, what="condition"):
        """Polls PREDICATE until it holds; fails after TIMEOUT seconds or when the
        sandbox has ended without it."""
        deadline = time.monotonic() + timeout
        while True:
            ended = not self.running()
            result = predicate()
            if result:
                return result
            if ended or time.monotonic() > deadline:
                raise AssertionError(
                    f"{'sandbox ended' if ended else 'timed out'} waiting for {what}\n"
                    f"--- stdout:\n{self.out()}\n--- starts:\n{self.starts()}\n"
                    f"--- sleeps: {self.sleeps()}\n--- sandbox:\n{self._text('sandbox.err')}")
            time.sleep(0.01)

    def wait_starts(self, count, name=None, timeout=10):
        return self.wait_for(lambda: len(self.starts(name)) >= count and self.starts(name),
                             timeout, f"{count} starts of {name or 'any program'}")

    def release(self, *names, gate="go"):
        """Creates the file GATE beside the daemon once each program of NAMES has recorded
        its first start. A control script that begins with "await GATE" so holds back an
        exit that ends the cycle: the next cycle's killall would otherwise kill a program
        that has been started but has not yet recorded its start."""
        for name in names:
            self.wait_starts(1, name)
        (self.bindir / gate).touch()

    def stop(self, timeout=10):
        """Ends the sandbox (snapshot first) and returns the daemon's exit status, or
        None when it was still running."""
        (self.work / "stop").touch()
        return self.wait_exit(timeout)

    def wait_exit(self, timeout=10):
        """Waits for the sandbox to end by itself; returns the daemon's exit status."""
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.close()
            raise AssertionError(f"sandbox did not end\n--- stdout:\n{self.out()}")
        status = self._text("status")
        return int(status) if status else None

    def close(self):
        if self.running():
            (self.work / "stop").touch()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for f in self._files:
            f.close()
        reports = sorted(self.work.glob("sanitizer.*"))
        if reports:
            raise AssertionError("sanitizer report:\n" + "".join(p.read_text() for p in reports))

    # --- what the run left ------------------------------------------------------------

    def _text(self, name):
        p = self.work / name
        return p.read_text() if p.exists() else ""

    def out(self):
        return self._text("out")

    def sleeps(self):
        """The seconds of every sleep(3) the daemon asked for, in order."""
        return [int(line) for line in self._text("sleeps").splitlines() if line.isdigit()]

    def waits_until(self):
        """(deadline, remaining) of every wait until a time of the monotonic clock the
        daemon asked for, in order: in seconds, the deadline as that clock reads it, the
        remaining time as it was at the call."""
        return [(int(w[1]) / 1e9, int(w[2]) / 1e9) for w in map(str.split,
                self._text("sleeps").splitlines()) if w[0] == "until"]

    def starts(self, name=None):
        """Start records of the stand-in programs, in start order; NAME is a basename.
        A line still being written (no newline yet) is not read. Names that are not
        UTF-8 stay as fsdecode gives them."""
        log = self.fakedir / "samples.log"
        text = log.read_bytes().decode("utf-8", "surrogateescape") if log.exists() else ""
        recs = [r for r in map(start_record, text.split("\n")[:-1]) if r]
        return [r for r in recs if name is None or r["name"] == name]

    def argvs(self, name=None):
        return [r["argv"] for r in self.starts(name)]

    def live(self, path):
        """Path of PATH of the running sandbox, seen through its root."""
        return Path(f"/proc/{self._sandbox_pid()}/root/{path.lstrip('/')}")

    def snap(self, path):
        """Path of PATH of the sandbox as it was when the sandbox ended."""
        return self.snapdir / path.lstrip("/")

    def lock_path(self):
        return self.snap("/tmp/.uci/" + self.daemon.name + ".run")
