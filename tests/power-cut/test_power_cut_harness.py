"""The power-cut harness (gateway/power-cut/harness.py) without booting anything: what it
reads from a boot that the power cut at any byte, where it places a cut in an install, how it
judges the files a cut left, and that an error of its own fails the run instead of counting
as a torn disk."""
import importlib.util
import random
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
        harness.phase("131", results.events())
        assert results.lines == [line for (line, _), end in zip(BOOT, ends) if end <= cut]


def change(line):
    """The file change of an event line, as the harness reads it."""
    return harness.file_changes([line])[0]


# A plugin over a plugin as the daemon installs it: the package left, the guard written,
# the loader's unpack, the package removed, the final record; each line with the phase a
# cut after it lands in.
PLUGIN_OVER_PLUGIN = [
    ("E 100 /tmp/.uci create ttupgrade.tgz", None),
    ("E 101 /tmp/.uci closed ttupgrade.tgz", "before the unpack or copy"),
    ("E 110 /data create .bootchk.new", "during the guard write"),
    ("E 111 /data closed .bootchk.new", "during the guard write"),
    ("E 130 /data moved-from .bootchk.new", "during the guard write"),
    ("E 130 /data moved-to .bootchk", "after the guard write"),
    ("E 400 /data delete sample-exit", "during the unpack or copy"),
    ("E 401 /data create sample-exit", "during the unpack or copy"),
    ("E 420 /data closed sample-exit", "during the unpack or copy"),
    ("E 430 /data create sample-crash", "during the unpack or copy"),
    ("E 450 /data closed sample-crash", "during the unpack or copy"),
    ("E 460 /data create plugin.dat", "during the unpack or copy"),
    ("E 520 /data closed plugin.dat", "during the unpack or copy"),
    ("E 530 /data create plugin.conf", "during the unpack or copy"),
    ("E 531 /data closed plugin.conf", "after the unpack or copy"),
    ("E 700 /tmp/.uci delete ttupgrade.tgz", "after the removal of the package"),
    ("E 710 /data create .bootchk.new", "during the record write"),
    ("E 712 /data moved-to .bootchk", "after the record write"),
    ("E 900 done", "after the record write"),
]


def test_a_plugin_install_is_placed_by_its_guard_unpack_and_record():
    events = [change(line) for line, _ in PLUGIN_OVER_PLUGIN]
    for count, (line, want) in enumerate(PLUGIN_OVER_PLUGIN, 1):
        at = harness.phase("130p", events[:count])
        assert (at if at is None else harness.PHASES[at]) == want, f"cut after {line!r}"
    # Without a guard the first record written is the final one.
    unguarded = events[:2] + events[6:]
    assert harness.PHASES[harness.phase("130p", unguarded[:3])] == "during the unpack or copy"
    assert harness.PHASES[harness.phase("130p", unguarded)] == "after the record write"


def test_the_window_of_a_plugin_over_a_plugin_ends_at_its_final_record(tmp_path):
    """The calibration boot: each kind twice, in the session's order, the second time timed
    from each anchor; the guard's rename does not end the window."""
    lines = ["armed"]
    for n, kind in enumerate(harness.KINDS * 2):
        t = 10_000 * n
        lines.append(f"E {t} /tmp/.uci closed ttupgrade.tgz")
        if kind == "130p":
            lines += [f"E {t + 50} /data moved-to .bootchk", f"E {t + 400} /data delete sample-exit"]
        if kind in harness.PLUGIN_KINDS:
            lines.append(f"E {t + 400} /data create sample-exit")
        lines += [f"E {t + 1000 + n} /data moved-to .bootchk", f"E {t + 3000} done"]
    boot = harness.Results("".join(line + "\r\n" for line in lines).encode())
    with mock.patch.object(harness, "boot", return_value=boot):
        times = harness.install_times(tmp_path, mock.Mock(disk=Path.touch), tmp_path / "board")
    want = {(kind, harness.PACKAGE_LEFT): (1000 + 4 + n) / 1000 for n, kind in enumerate(harness.KINDS)}
    want["130p", harness.UNPACK_BEGUN] = (1000 + 7 - 400) / 1000
    assert times == pytest.approx(want)


@pytest.mark.parametrize("text, claims", [
    (b'{"version":"4.8.01.1","plugindata":1}', True),
    (b'{"PluginData":1,"plugindata":0}', True),
    (b'{"PLUGINDATA":0,"version":"4.8.01.1","plugindata":1}', False),
    (b'{"plugindata":true}', False),
    (b'{"version":"4.8.01.1","luadata":1}', False),
    (b'[{"plugindata":1}]', False),
    (b'{"plugindata":1', False),
])
def test_a_record_claims_a_plugin_by_its_first_plugindata_member(text, claims):
    assert harness.claims_plugin(text) == claims


class Fix:
    """The versions of the plugin and the images that the judgement knows."""

    def __init__(self):
        rng = random.Random(1)
        self.old, self.new = (harness.Version(name, rng, b"sample") for name in ("old", "new"))


FIX = Fix()
A, B = FIX.old.plugin, FIX.new.plugin


def files_of(kind, record, plugin):
    """/data as name: (sha, mode, size): the record of kind in the state named (or other
    bytes), the old images, and the plugin's files given as name: bytes or (bytes, mode)."""
    text = harness.records(kind).get(record, record.encode())
    files = {".bootchk": (harness.sha(text), harness.RECORD_MODE, len(text))}
    for name, data in FIX.old.images.items():
        files[name] = (harness.sha(data), harness.IMAGE_MODES[name], len(data))
    for name, data in plugin.items():
        data, mode = data if isinstance(data, tuple) else (data, harness.PLUGIN_MODES[name])
        files[name] = (harness.sha(data), mode, len(data))
    return files


def mixed(**files):
    """Plugin A with some of its files replaced."""
    return {**A, **files}


def case(name, kind, record, plugin, state, mode, torn):
    return pytest.param(kind, record, plugin, state, mode, torn, id=name)


# kind, the record, the plugin's files; then the record's state the judgement finds, the
# mode the daemon must come up in, and whether the disk is torn.
VERDICTS = [
    case("old record, A", "130p", "old", A, "old", "plugin", False),
    case("old record, B", "130p", "old", B, "old", "plugin", False),
    case("old record, A with B's sample-crash", "130p", "old", mixed(**{"sample-crash": B["sample-crash"]}),
         "old", "plugin", True),
    case("old record, A cut short", "130p", "old", mixed(**{"plugin.dat": A["plugin.dat"][:4096]}),
         "old", "plugin", True),
    case("old record, A with a wrong mode", "130p", "old", mixed(**{"plugin.conf": (A["plugin.conf"], "600")}),
         "old", "plugin", True),
    case("old record, A without a file", "130p", "old", {n: d for n, d in A.items() if n != "plugin.conf"},
         "old", "plugin", True),
    case("guard, A and B and an empty file", "130p", "guard",
         mixed(**{"sample-exit": B["sample-exit"], "plugin.dat": b""}), "guard", "base", False),
    case("guard, no plugin", "130p", "guard", {}, "guard", "base", False),
    case("new record, B", "130p", "new", B, "new", "plugin", False),
    case("new record, A", "130p", "new", A, "new", "plugin", True),
    case("a record cut short", "130p", '{"version":"4.8.01.1","luadata":1,"sigdata":1,"plugindata', A,
         None, "base", True),
    # A plugin under a record that claims none: only the install's record vouches for it.
    case("130, old record, A and B", "130", "old", mixed(**{"sample-exit": B["sample-exit"]}),
         "old", "base", False),
    case("130, new record, A and B", "130", "new", mixed(**{"sample-exit": B["sample-exit"]}),
         "new", "plugin", True),
    case("130, new record, B", "130", "new", B, "new", "plugin", False),
    # The guard belongs to a plugin over a plugin only.
    case("130, a guard", "130", '{"PLUGINDATA":0,"version":"4.8.01.1","luadata":1,"sigdata":1}', A,
         None, "base", True),
    case("131, new record, a broken plugin", "131", "new", mixed(**{"sample-exit": b""}), "new", "base", False),
]


@pytest.mark.parametrize("kind, record, plugin, state, mode, torn", VERDICTS)
def test_a_cut_is_torn_when_its_record_claims_a_plugin_of_two_packages(kind, record, plugin, state, mode, torn):
    got, _, reasons = harness.verdict(FIX, kind, files_of(kind, record, plugin))
    assert (got, bool(reasons)) == (state, torn), reasons
    assert ("plugin" if harness.gives_plugin(kind, got) else "base") == mode


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
            mock.patch.object(harness, "windows", return_value=dict.fromkeys(harness.ROTATION, 1.0)), \
            mock.patch.object(harness, "chain", chain), pytest.raises(IndexError):
        harness.main()
    out = capsys.readouterr().out
    assert "torn" not in out and "cuts:" not in out
    assert list(tmp_path.iterdir()) == []
