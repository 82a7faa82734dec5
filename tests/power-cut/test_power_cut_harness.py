"""The power-cut harness (gateway/power-cut/harness.py) without booting anything: what it
reads from a boot that the power cut at any byte, and that an error of its own fails the
run instead of counting as a torn disk."""
import importlib.util
import sys
from pathlib import Path
from unittest import mock

import pytest

sys.dont_write_bytecode = True
_spec = importlib.util.spec_from_file_location(
    "power_cut_harness", Path(__file__).resolve().parents[2] / "gateway/power-cut/harness.py")
harness = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(harness)

# What a boot sends on its results port, line by line (the serial line ends each with
# CR LF): the check of the previous cut, then the install under the cut with every file
# change, each with the event the harness must read from it.
BOOT = [
    ("found .bootchk 5e0a 644 47", None),
    ("found end", None),
    ("mode base", None),
    ("next done", None),
    ('record {"version":"4.8.01.1","luadata":1}', None),
    ("next end", None),
    ("ready", None),
    ("armed", None),
    ("E 5210 /tmp/.uci create ttupgrade.tgz", (5210, "/tmp/.uci", "create", "ttupgrade.tgz")),
    ("E 5215 /tmp/.uci closed ttupgrade.tgz", (5215, "/tmp/.uci", "closed", "ttupgrade.tgz")),
    ("E 5301 /data create init.bin.new", (5301, "/data", "create", "init.bin.new")),
    ("E 5388 /data closed init.bin.new", (5388, "/data", "closed", "init.bin.new")),
    ("E 5390 /data moved-from init.bin.new", (5390, "/data", "moved-from", "init.bin.new")),
    ("E 5390 /data moved-to init.bin", (5390, "/data", "moved-to", "init.bin")),
    ("E 5402 /tmp/.uci delete ttupgrade.tgz", (5402, "/tmp/.uci", "delete", "ttupgrade.tgz")),
    ("E 5410 /data create .bootchk.new", (5410, "/data", "create", ".bootchk.new")),
    ("E 5412 /data moved-to .bootchk", (5412, "/data", "moved-to", ".bootchk")),
    ("E 6120 done", (6120, "", "done", "")),
]


def test_a_boot_cut_at_any_byte_yields_its_whole_events_only():
    data = b""
    ends = []
    for line, _ in BOOT:
        data += line.encode() + b"\r\n"
        ends.append(len(data))
    for cut in range(len(data) + 1):
        results = harness.Results(data[:cut])
        want = [event for (_, event), end in zip(BOOT, ends) if event and end <= cut]
        assert results.events() == want, f"cut after {cut} bytes: {data[:cut][-40:]!r}"
        harness.phase(131, results.events())
        assert results.lines == [line for (line, _), end in zip(BOOT, ends) if end <= cut]


@pytest.fixture
def stop_cleared():
    yield
    harness.STOP.clear()


def test_an_error_of_a_board_fails_the_run_and_is_no_torn_cut(tmp_path, capsys, stop_cleared):
    """One board fails as the parser once did; the other stops at once, and the run ends
    with that error, without a verdict."""
    def chain(args, fix, cuts, scratch, report):
        if scratch.name == "board-0":
            raise IndexError("list index out of range")
        assert harness.STOP.wait(10), "the other board was not stopped"
        raise harness.Stopped()

    argv = ["harness.py", "--out", str(tmp_path), "--seed", "1", "--jobs", "2", "6"]
    with mock.patch.object(sys, "argv", argv), mock.patch.object(harness, "Fixtures"), \
            mock.patch.object(harness, "windows", return_value=dict.fromkeys(harness.KINDS, 1.0)), \
            mock.patch.object(harness, "chain", chain), pytest.raises(IndexError):
        harness.main()
    out = capsys.readouterr().out
    assert "torn" not in out and "cuts:" not in out
    assert list(tmp_path.iterdir()) == []
