"""The supervision loop: restarts and their delays, the exit log, restart-all, and the
killing of watched names at every cycle."""
import os
import re
import time
from pathlib import Path

import pytest

import pytest

ASCTIME = r"[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123]\d \d\d:\d\d:\d\d \d{4}"
TZ_OFFSET = 13.5 * 3600  # the runs use TZ=XYZ-13:30


def log_lines(sv, lock=None):
    """The exit log: the lock file (the one left, or the file LOCK) after its directory line."""
    head = f"{sv.bindir}\n"
    text = (lock or sv.lock_path()).read_text()
    assert text.startswith(head)
    return text[len(head):].splitlines(keepends=True)


def strip_stamps(lines):
    return [re.sub("^" + ASCTIME + ": ", "", line) for line in lines]


def test_restart_after_exit_and_kill_with_exit_log(sv):
    sv.config(["a", "b"])
    sv.program("a", "exit 0", "signal KILL", "exit 7", "run")
    sv.program("b", "run")
    begin = time.time()
    sv.start()
    sv.wait_starts(4, "a")
    end = time.time()
    sv.wait_starts(1, "b")
    assert sv.stop() is None

    assert sv.argvs("a") == [["a"], ["a"], ["a", "-r", "9"], ["a", "-r", "7"]]
    assert sv.argvs("b") == [["b"]]
    assert sv.sleeps() == [10, 10, 10]
    assert sv.out() == "Will restart normal prog after 10 secs\n" * 3

    lines = log_lines(sv)
    assert strip_stamps(lines) == ["a exited normally with code(0)\n",
                                   "a killed by signal(9)\n",
                                   "a exited normally with code(7)\n"]
    stamps = {time.asctime(time.gmtime(t + TZ_OFFSET))
              for t in range(int(begin), int(end) + 2)}
    for line in lines:
        assert line[:24] in stamps and line[24:26] == ": ", line


@pytest.mark.parametrize("now", [
    2**31,  # 2038-01-19 03:14:08 UTC, the first second beyond a 32-bit time_t
    4102444800 + 3723,  # 2100-01-01 01:02:03 UTC
], ids=["2038", "2100"])
def test_exit_log_time_past_2038(sv, now):
    # A 64-bit time_t stamps the date itself. A 32-bit one (uClibc-ng on 32-bit MIPS)
    # wraps as the kernel's 32-bit time calls do, into December 1901 onwards: the daemon
    # goes on supervising and stamps the wrapped date, in full.
    sv.now = now
    sv.config(["a"])
    sv.program("a", "exit 0", "run")
    sv.start()
    sv.wait_starts(2)
    assert sv.stop() is None

    bits = sv.paths.time_t_bits
    held = (now + 2**(bits - 1)) % 2**bits - 2**(bits - 1)
    assert (held == now) == (bits == 64)
    stamp = time.asctime(time.gmtime(held + TZ_OFFSET))
    assert log_lines(sv) == [f"{stamp}: a exited normally with code(0)\n"]


def test_segv_backoff_counts_deaths_of_every_slot(sv):
    sv.config(["a", "b"])
    sv.program("a", "signal SEGV", "exit 11", "signal SEGV", "run")
    sv.program("b", "signal SEGV", "signal SEGV", "signal SEGV", "run")
    sv.start()
    sv.wait_starts(4, "a")
    sv.wait_starts(4, "b")
    assert sv.stop() is None

    sleeps = sv.sleeps()
    assert [s for s in sleeps if s != 10] == [60, 660, 1260, 7200, 7200]
    assert sleeps.count(10) == 1  # the normal exit with status 11
    assert sv.out().splitlines() == [
        f"Will restart {'normal' if s == 10 else 'segv'} prog after {s} secs" for s in sleeps]
    assert sv.argvs("a") == [["a"]] + [["a", "-r", "11"]] * 3
    assert sv.argvs("b") == [["b"]] + [["b", "-r", "11"]] * 3
    assert sorted(strip_stamps(log_lines(sv))) == sorted(
        ["a killed by signal(11)\n"] * 2 + ["a exited normally with code(11)\n"]
        + ["b killed by signal(11)\n"] * 3)


PLUGIN_ARGS = ["-T", "/tmp/.uci/", "-D", "/data/", "-O", "solvarine_mt7526"]


def test_exit_160_restarts_every_slot_and_reaps_stale_instances(sv):
    sv.bootchk('{"version":"4.8.01.1","plugindata":1}')
    sv.config(["a", "b"])
    sv.program("a", "await go; exit 160", "run", where="data")
    sv.program("b", "run", where="data")
    sv.start()
    sv.release("a", "b")
    sv.wait_starts(2, "a")
    sv.wait_starts(2, "b")
    stale = sv.starts("b")[0]["pid"]
    sv.wait_for(lambda: "No such pid" in sv.out(), what="the stale instance reaped")
    assert sv.stop() is None

    assert sv.argvs("a") == [["/data//a", *PLUGIN_ARGS], ["/data//a", "-r", "160", *PLUGIN_ARGS]]
    assert sv.argvs("b") == [["/data//b", *PLUGIN_ARGS], ["/data//b", "-r", "160", *PLUGIN_ARGS]]
    assert sv.out() == f"No such pid({stale}) for reexec\n"
    assert strip_stamps(log_lines(sv)) == ["a exited normally with code(160)\n"]
    assert sv.sleeps() == []  # no restart delay; the pause before a cycle is no sleep


NASTY_NAMES = ["semi x;touch m1", "dollar $(touch m2)", "back `touch m3`",
               "quote 'a' \"b\" $(touch m4)"]


def test_watched_names_reach_killall_literally(sv):
    sv.config(NASTY_NAMES)
    sv.program(NASTY_NAMES[0], "await go; exit 160", "run")
    for name in NASTY_NAMES[1:]:
        sv.program(name, "run")
    sv.start()
    sv.release(*NASTY_NAMES)
    for name in NASTY_NAMES:
        sv.wait_starts(2, name)
    assert sorted(p.name for p in sv.work.rglob("m[1-4]")) == [], "the shell ran a name"
    stale = [sv.starts(name)[0]["pid"] for name in NASTY_NAMES[1:]]
    sv.wait_for(lambda: sv.out().count("No such pid") == 3, what="the stale instances killed")
    assert sv.stop() is None

    assert sorted(sv.out().splitlines()) == sorted(f"No such pid({p}) for reexec" for p in stale)
    for name in NASTY_NAMES:
        assert sv.argvs(name) == [[name], [name, "-r", "160"]]


def test_name_that_looks_like_an_option_is_killed_at_every_cycle(sv):
    # killall takes "-l" after "--" as a name: every new cycle kills the instance of the
    # cycle before, and one instance runs at any time.
    sv.config(["-l", "b"])
    sv.program("-l", "run")
    sv.program("b", *[f"await go{n}; exit 160" for n in range(3)], "run")
    sv.start()
    for n in range(3):
        sv.release("-l", "b", gate=f"go{n}")
        sv.wait_starts(n + 2, "-l")
        sv.wait_for(lambda: sv.out().count("No such pid") == n + 1, what="the stale -l reaped")
        assert len(sv.programs_alive(["-l"])) == 1
    assert sv.stop() is None

    assert sv.argvs("-l") == [["-l"]] + [["-l", "-r", "160"]] * 3
    stale = [r["pid"] for r in sv.starts("-l")[:3]]
    assert sorted(sv.out().splitlines()) == sorted(f"No such pid({p}) for reexec" for p in stale)


def test_long_program_path_and_long_exit_log_lines(sv):
    name = "/".join(["d" * 60] * 5) + "/long"
    sv.config([name])
    sv.program(name, "exit 0", "exit 0", "run")
    sv.start()
    sv.wait_starts(3, "long")
    assert sv.stop() is None

    assert sv.argvs("long") == [[name]] * 3
    # "<24-character time>: NAME exited normally with code(0)\n" is cut to 254 + "\n".
    lines = log_lines(sv)
    assert [len(line) for line in lines] == [255, 255]
    for line in lines:
        assert re.fullmatch(ASCTIME + ": " + re.escape(name[:228]) + "\n", line)


# --- the pace of cycles and the size of the exit log ----------------------------------

@pytest.mark.parametrize("status", [160, 130, 131], ids=["restart-all", "130-no-package",
                                                         "131-no-package"])
def test_cycle_that_ends_at_once_waits_for_the_rest_of_its_second(sv, status):
    # The wall clock stands still (time(2) fixed): the pace is taken from another clock.
    sv.now = 4102444800
    sv.config(["a"])
    sv.program("a", f"exit {status}")
    sv.start()
    sv.wait_starts(5)
    assert sv.stop() is None

    starts = len(sv.starts())
    assert sv.argvs("a") == [["a"]] + [["a", "-r", str(status)]] * (starts - 1)
    # One wait before every cycle but the first (the last may be under way), until a second
    # after the cycle began: never a whole second from the wait. The next cycle begins
    # after the wait was called, so its deadline lies at least a second after that call:
    # a deadline taken from an earlier moment would not. (The interposer shortens the
    # waits, and a cycle slowed past its second by a loaded machine waits 0.)
    waits = sv.waits_until()
    assert len(waits) in (starts - 1, starts)
    assert all(0 <= remaining < 1 for _, remaining in waits), waits
    called = [deadline - remaining for deadline, remaining in waits]
    assert all(b - a >= 1 - 1e-6 for a, b in zip(called, [d for d, _ in waits][1:])), waits
    assert sv.sleeps() == []
    assert sv.out() == ""


def test_pause_before_a_cycle_lasts_the_rest_of_the_second(sv):
    # Each cycle takes 700 ms or a little more: its program naps, then asks for a new cycle.
    # The next cycle begins one second after this one began, after a single wait until
    # that moment. The cycle began a little before its program started (killall, the
    # record), never after; a wait of a whole second, or one that counts from the end of
    # the cycle, would end 700 ms later.
    sv.config(["a"])
    sv.program("a", "nap 700; exit 160")
    sv.start()
    sv.wait_starts(4)
    assert sv.stop() is None

    started = [r["mono"] / 1e9 for r in sv.starts()]
    waits = sv.waits_until()
    assert len(waits) in (len(started) - 1, len(started)), waits
    # The program starts after its cycle began and well before the cycle's second is over
    # (a deadline taken from an earlier moment would put the start a second or more after it).
    for program, (deadline, remaining) in zip(started, waits):
        assert 0 <= program - (deadline - 1) < 0.95, (program, deadline)
        assert 0 <= remaining <= 0.3, remaining
    assert sv.sleeps() == []
    assert sv.out() == ""


def test_cycle_of_more_than_a_second_is_followed_at_once(sv):
    sv.now = 4102444800
    sv.config(["a"])
    sv.program("a", "nap 1100; exit 160", "nap 1100; exit 160", "run")
    sv.start()
    sv.wait_starts(3)
    assert sv.stop() is None

    assert sv.sleeps() == []
    # The moment a second after each cycle began had passed: the waits end at once.
    waits = sv.waits_until()
    assert len(waits) >= 2 and all(remaining == 0 for _, remaining in waits), waits
    assert sv.argvs("a") == [["a"], ["a", "-r", "160"], ["a", "-r", "160"]]


LOG_CAP, LOG_KEEP = 65536, 32768


def live_lock_path(sv):
    """The lock file of the running sandbox, seen through its root."""
    return Path(f"/proc/{sv._sandbox_pid()}/root/tmp/.uci/supervisor.run")


def test_exit_log_keeps_the_newest_whole_lines_within_its_cap(sv):
    # Lines of 246 bytes, 24 of them the time: the cap is passed after about 266 exits,
    # and 400 exits pass it twice.
    name = "n" * 189
    size = len(": " + name + " exited normally with code(10)\n") + 24
    assert size == 246
    exits = 400
    codes = [10 + i % 90 for i in range(exits)]
    sv.sleep_ms = 0
    sv.config([name])
    sv.program(name, *[f"exit {code}" for code in codes], "run")
    sv.start()
    sv.wait_starts(1)
    lock = live_lock_path(sv)
    sizes = []

    def ended():
        sizes.append(os.stat(lock).st_size)
        return len(sv.starts()) > exits
    # A few restarts a second are all a loaded machine may give the sanitizer build.
    sv.wait_for(ended, timeout=150, what=f"{exits + 1} starts")
    assert sv.stop() is None
    assert max(sizes) <= LOG_CAP

    # What the rule keeps: at the cap, the newest lines that fit in LOG_KEEP bytes.
    head = len(f"{sv.bindir}\n")
    kept = 0
    for _ in codes:
        if head + (kept + 1) * size > LOG_CAP:
            kept = LOG_KEEP // size
        kept += 1
    lines = log_lines(sv)
    assert [len(line) for line in lines] == [size] * kept
    assert strip_stamps(lines) == [f"{name} exited normally with code({code})\n"
                                   for code in codes[-kept:]]
    assert sv.lock_path().stat().st_size == head + kept * size


def test_exit_log_on_a_full_file_system_keeps_whole_lines(sv):
    # One page for the runtime directory: the lines that do not fit are not written,
    # not even in part.
    sv.sleep_ms = 0
    sv.config(["a"])
    # About 70 lines fit.
    sv.program("a", *["exit 0"] * 100, "run")
    sv.start(wrap="mkdir /tmp/.uci && mount -t tmpfs -o size=4k,mode=0755 uci /tmp/.uci || exit 1")
    sv.wait_starts(101, timeout=60)
    # The snapshot leaves out other file systems: the file is read where it is.
    lock = live_lock_path(sv)
    lines = log_lines(sv, lock)
    size = lock.stat().st_size
    assert sv.stop() is None

    assert 0 < len(lines) < 100
    assert set(strip_stamps(lines)) == {"a exited normally with code(0)\n"}
    assert size <= 4096
