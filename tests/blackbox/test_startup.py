"""Start-up of the daemon: the instance lock, refused starts, the debug flag and what the
daemon inherits from its parent."""
import json
import os
import shutil
import signal
import stat
from pathlib import Path

import pytest

from test_restart import log_lines, strip_stamps


def test_second_instance_is_refused_and_first_keeps_its_lock(sv):
    sv.config(["a"])
    sv.program("a", "run")
    sv.start()
    sv.wait_starts(1)

    # Same basename from another directory: the lock goes by name, not by place.
    other = sv.work / "other"
    other.mkdir()
    shutil.copy2(sv.daemon, other / "supervisor")
    shutil.copy2(sv.bindir / "config", other / "config")
    status, out = sv.run_inside(argv0=other / "supervisor")

    assert status == 0
    assert out == ("already in use for /tmp/.uci/supervisor.run\n"
                   f"process({other}/supervisor) already run\n")
    assert sv.stop() is None, "the first instance ended"
    assert len(sv.starts()) == 1
    assert sv.lock_path().read_bytes() == f"{sv.bindir}\n".encode()


def no_lock_file(sv):
    return sv.snap("/tmp/.uci").is_dir() and not sv.lock_path().exists()


def planted_link(sv):
    sv.config(["a"])
    sv.seed_file("/data/victim", "precious\n")
    sv.seed_link("/tmp/.uci/supervisor.run", "/data/victim")


def link_and_target_untouched(sv):
    link = sv.snap("/tmp/.uci/supervisor.run")
    return (link.is_symlink() and str(link.readlink()) == "/data/victim"
            and sv.snap("/data/victim").read_text() == "precious\n")


INIT_FAILED = "failed to init daemon\n"
NOBODY = 65534
UNSAFE_DIR = "unsafe runtime dir (/tmp/.uci/): {}\n"


def runtime_dir(mode, uid=0):
    def setup(sv):
        sv.config(["a"])
        sv.seed_dir("/tmp/.uci", mode, uid)
    return setup


def runtime_dir_kept(mode, uid=0):
    def check(sv):
        st = os.lstat(sv.snap("/tmp/.uci"))
        return (stat.S_ISDIR(st.st_mode) and stat.S_IMODE(st.st_mode) == mode
                and st.st_uid == uid and os.listdir(sv.snap("/tmp/.uci")) == [])
    return check


def runtime_dir_link(sv):
    sv.config(["a"])
    sv.seed_dir("/data/uci")
    sv.seed_link("/tmp/.uci", "/data/uci")


def runtime_dir_link_kept(sv):
    link = sv.snap("/tmp/.uci")
    return link.is_symlink() and os.listdir(sv.snap("/data/uci")) == []


@pytest.mark.parametrize("setup,out,check", [
    (lambda sv: None, INIT_FAILED, no_lock_file),
    (lambda sv: sv.config(text="{\"__watch\": "), INIT_FAILED, no_lock_file),
    (lambda sv: sv.config(text=json.dumps({"__watch": {"processes": [{"base": "a"}, {"base": 5}]}})),
     INIT_FAILED, no_lock_file),
    (lambda sv: sv.config(list("abcde")), INIT_FAILED, no_lock_file),
    (lambda sv: (sv.config(["a"]), sv.seed_file("/tmp/.uci", "x")),
     "mkdir (/tmp/.uci/) error: File exists",
     lambda sv: sv.snap("/tmp/.uci").read_text() == "x"),
    (planted_link, "failed to open /tmp/.uci/supervisor.run\nprocess({daemon}) already run\n",
     link_and_target_untouched),
    # A runtime directory that another user can write: the daemon ends before it reads its
    # configuration, and puts nothing there.
    (runtime_dir(0o755, NOBODY), UNSAFE_DIR.format("is owned by another user"),
     runtime_dir_kept(0o755, NOBODY)),
    (runtime_dir(0o777), UNSAFE_DIR.format("is writable by group or others"),
     runtime_dir_kept(0o777)),
    (runtime_dir(0o1777), UNSAFE_DIR.format("is writable by group or others"),
     runtime_dir_kept(0o1777)),
    (runtime_dir(0o775), UNSAFE_DIR.format("is writable by group or others"),
     runtime_dir_kept(0o775)),
    (runtime_dir_link, UNSAFE_DIR.format("is a symbolic link"), runtime_dir_link_kept),
], ids=["config-missing", "config-not-json", "base-not-string", "five-programs",
        "runtime-dir-is-a-file", "lock-file-is-a-planted-symlink",
        "runtime-dir-of-another-user", "runtime-dir-0777", "runtime-dir-1777",
        "runtime-dir-0775", "runtime-dir-is-a-symlink"])
def test_refused_start_ends_with_status_0_and_starts_nothing(sv, setup, out, check):
    for name in "abcde":
        sv.program(name, "run")
    setup(sv)
    sv.start()

    assert sv.wait_exit() == 0
    assert sv.out() == out.format(daemon=sv.daemon)
    assert sv.starts() == []
    assert check(sv)


@pytest.mark.parametrize("args,debug", [
    ((), []),
    (("",), ["-d"]),
    (("x", "-y"), ["-d"]),
], ids=["no-argument", "empty-argument", "two-arguments"])
def test_base_mode_argument_vectors(sv, args, debug):
    sv.config(["a", "b"])
    sv.program("a", "exit 7", "run")
    sv.program("b", "run")
    sv.start(*args)
    sv.wait_starts(2, "a")
    sv.wait_starts(1, "b")
    assert sv.stop() is None

    assert sv.argvs("a") == [["a", *debug], ["a", "-r", "7", *debug]]
    assert sv.argvs("b") == [["b", *debug]]
    assert {r["cwd"] for r in sv.starts()} == {str(sv.bindir)}


@pytest.mark.parametrize("wrap", [
    'trap "" CHLD',
    "exec 5</dev/null 9>>inherited",
], ids=["sigchld-ignored", "extra-descriptors"])
def test_what_the_parent_leaves_does_not_disturb_supervision(sv, wrap):
    sv.config(["a"])
    sv.program("a", "exit 0", "run")
    sv.start(wrap=wrap)
    sv.wait_starts(2)
    assert sv.stop() is None

    assert sv.out() == "Will restart normal prog after 10 secs\n"
    assert [r["fds"] for r in sv.starts()] == [[0, 1, 2]] * 2


@pytest.mark.parametrize("argv0", ["supervisor", "/" + "x" * 5000 + "/supervisor"],
                         ids=["no-slash", "5000-characters"])
def test_argv0_that_is_no_path_of_the_daemon(sv, argv0):
    # As if started through the search path from its directory, or with an argument 0 far
    # longer than any path buffer: the daemon stays where it was started and runs.
    sv.config(["a"])
    sv.program("a", "run")
    sv.start(argv0=argv0, wrap=f"cd {sv.bindir}")
    sv.wait_starts(1)
    assert sv.stop() is None

    assert sv.lock_path().read_text() == f"{sv.bindir}\n"
    assert sv.argvs("a") == [["a"]]


def dev_null(path):
    st = os.stat(path)
    return stat.S_ISCHR(st.st_mode) and st.st_rdev == os.makedev(1, 3)


@pytest.mark.parametrize("closed", [[0], [1], [2], [0, 1, 2]],
                         ids=["stdin", "stdout", "stderr", "all-three"])
def test_closed_standard_descriptor_is_taken_by_dev_null(sv, closed):
    sv.config(["a"])
    sv.program("a", "exit 0", "run")
    sv.start(wrap="exec " + " ".join(f"{fd}<&-" for fd in closed))
    sv.wait_starts(2)
    if not sv.paths.emulator:  # under qemu the daemon's /proc entry is qemu's
        fds = f"/proc/{sv.wait_for(sv.daemon_pid, what='the daemon pid')}/fd"
        for fd in closed:
            assert dev_null(f"{fds}/{fd}"), fd
        lock = [int(fd) for fd in os.listdir(fds)
                if os.readlink(f"{fds}/{fd}").endswith("/tmp/.uci/supervisor.run")]
        assert len(lock) == 1 and lock[0] > 2, lock
    assert sv.stop() is None

    # The exit log is written, the daemon's messages go to its output or nowhere, and
    # every program gets all three.
    assert strip_stamps(log_lines(sv)) == ["a exited normally with code(0)\n"]
    assert sv.out() == ("" if 1 in closed else "Will restart normal prog after 10 secs\n")
    assert [r["fds"] for r in sv.starts()] == [[0, 1, 2]] * 2


# The runtime directory the daemon makes is 0755 and the lock file 0600, whatever the umask;
# an existing lock file becomes 0600 before it is locked. Another user can then not even
# open the lock file, so cannot take its lock (flock works on a descriptor open for reading).
@pytest.mark.parametrize("umask,existing", [
    ("022", None),
    ("000", None),
    ("077", None),
    ("000", 0o644),
], ids=["umask-022", "umask-000", "umask-077", "existing-0644-lock-file"])
def test_runtime_dir_and_lock_file_are_private(sv, umask, existing):
    sv.config(["a"])
    sv.program("a", "run")
    if existing is not None:
        sv.seed_dir("/tmp/.uci", 0o755)
        sv.seed_file("/tmp/.uci/supervisor.run", "old\n" * 100, mode=existing)
    sv.start(wrap=f"umask {umask}")
    sv.wait_starts(1)
    other = sv.inside("setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
                      "flock", "-x", "-n", "/tmp/.uci/supervisor.run", "true",
                      capture_output=True)
    assert sv.stop() is None

    assert other.returncode != 0 and b"Permission denied" in other.stderr, other
    assert stat.S_IMODE(os.lstat(sv.snap("/tmp/.uci")).st_mode) == 0o755
    assert stat.S_IMODE(os.lstat(sv.lock_path()).st_mode) == 0o600
    assert sv.lock_path().read_text() == f"{sv.bindir}\n"
    assert sv.out() == ""


# Before it replaces itself with the daemon, python ignores and blocks signals (its own
# start-up also ignores SIGPIPE), as a shell does for a daemon started with "&" (SIGINT and
# SIGQUIT ignored). SIGUSR2 stays free: it ends a daemon built with the sanitizers.
IGNORED = ["SIGINT", "SIGQUIT", "SIGHUP", "SIGPIPE"]
BLOCKED = ["SIGUSR1", "SIGTERM", "SIGALRM"]
LEAVE_SIGNALS = f"""
import os, signal, sys
for s in "{' '.join(IGNORED)}".split():
    signal.signal(getattr(signal, s), signal.SIG_IGN)
blocked = [getattr(signal, s) for s in "{' '.join(BLOCKED)}".split()]
signal.pthread_sigmask(signal.SIG_BLOCK, blocked)
os.execvp(sys.argv[1], sys.argv[1:])
"""
SIGNALS_LEFT = f"exec /usr/bin/python3 -c '{LEAVE_SIGNALS}' \"$@\""


def signal_masks(pid):
    """SigIgn and SigBlk of host process PID, as sets of signal numbers."""
    fields = dict(line.split(":\t", 1) for line in
                  Path(f"/proc/{pid}/status").read_text().splitlines() if ":\t" in line)
    return [{n + 1 for n in range(64) if int(fields[key], 16) >> n & 1}
            for key in ("SigIgn", "SigBlk")]


def test_watched_programs_start_with_default_signals(sv):
    sv.config(["a"])
    sv.program("a", "exit 0", "run")
    sv.start(wrap=SIGNALS_LEFT)
    sv.wait_starts(2)
    program = sv.wait_for(lambda: sv.programs_alive(["a"]), what="the program")
    if not sv.paths.emulator:  # under qemu the daemon's /proc entry is qemu's
        ignored, blocked = signal_masks(sv.wait_for(sv.daemon_pid, what="the daemon pid"))
        assert {getattr(signal, s) for s in IGNORED} <= ignored
        assert {getattr(signal, s) for s in BLOCKED} <= blocked
    masks = signal_masks(program[0])
    assert sv.stop() is None

    assert masks == [set(), set()]
    assert sv.argvs("a") == [["a"], ["a"]]
