"""The boot-check record at "/data//.bootchk": plugin or base mode, the version gate, and
failed cycles (exit status 129, programs that cannot be executed)."""
import pytest

RECORD = '{"version":"4.8.01.1","plugindata":1}'
PLUGIN_ARGS = ["-T", "/tmp/.uci/", "-D", "/data/", "-O", "solvarine_mt7526"]


def record_after(sv):
    path = sv.snap("/data/.bootchk")
    return path.read_text() if path.exists() else None


@pytest.mark.parametrize("record,plugin,kept", [
    (RECORD, True, True),
    ('{"version":"4.8.01.1","plugindata":0}', False, True),
    ('{"version":"4.8.1","plugindata":1}', False, False),
    # Newer records whose wrapped signed difference would look older.
    ('{"version":"200.0.0.0","plugindata":1}', True, True),
    ('{"version":"132.8.1.1","plugindata":1}', True, True),
], ids=["current", "current-without-plugin", "older", "newer-200", "newer-132"])
def test_boot_record_decides_the_mode(sv, record, plugin, kept):
    sv.bootchk(record)
    sv.config(["a"])
    sv.program("a", "run")
    sv.program("a", where="data")
    sv.start("debug")
    sv.wait_starts(1)
    assert sv.stop() is None

    assert sv.argvs() == [["/data//a", "-d", *PLUGIN_ARGS] if plugin else ["a", "-d"]]
    assert record_after(sv) == (record if kept else None)


@pytest.mark.parametrize("record,argvs,out,ends", [
    (RECORD, [["/data//a", *PLUGIN_ARGS], ["a", "-r", "129"]],
     "failed boot, then clean bootchk, and try again\n", False),
    (None, [["a"]], "failed for normal boot, exit\n", True),
], ids=["with-record", "without-record"])
def test_exit_129_fails_the_cycle(sv, record, argvs, out, ends):
    if record:
        sv.bootchk(record)
    sv.config(["a"])
    sv.program("a", "exit 129", "run")
    sv.program("a", where="data")
    sv.start()
    if ends:
        assert sv.wait_exit() == 0
    else:
        sv.wait_starts(len(argvs))
        assert sv.stop() is None

    assert sv.argvs() == argvs
    assert sv.out() == out
    assert record_after(sv) is None
    log = sv.lock_path().read_text().split("\n", 1)[1]
    assert log.endswith(": a exited normally with code(129)\n") and log.count("\n") == 1


def test_program_that_cannot_be_executed_fails_each_cycle_once(sv):
    # Nothing named "a" in /data nor beside the daemon; standard output is a file, so
    # output still pending in the daemon would show again through the failing child.
    sv.bootchk(RECORD)
    sv.config(["a"])
    sv.start()
    assert sv.wait_exit() == 0

    assert sv.out() == ("failed to exec /data//a, error is No such file or directory\n"
                        "failed boot, then clean bootchk, and try again\n"
                        "failed to exec a, error is No such file or directory\n"
                        "failed for normal boot, exit\n")
    assert record_after(sv) is None
    log = sv.lock_path().read_text().split("\n", 1)[1]
    assert log.count(": a exited normally with code(129)\n") == 2
