"""Upgrade packages: the exit statuses 130, 131 and 132 through the real daemon, the
loader tool and the boot-check record, with the fall-back to base mode."""
import io
import os
import re
import shutil
import signal
import tarfile

import pytest

import harness

PACKAGE = "/tmp/.uci//ttupgrade.tgz"
PLUGIN_ARGS = ["-T", "/tmp/.uci/", "-D", "/data/", "-O", "solvarine_mt7526"]


def with_loader(sv):
    shutil.copy2(sv.paths.daemon.parent / "k93_load", sv.bindir / "k93_load")


def plugin_package(sv, programs):
    """A gzip-compressed tar archive holding the stand-in program under each name."""
    path = sv.work / "plugin.tgz"
    with tarfile.open(path, "w:gz") as tar:
        for name in programs:
            tar.add(sv.paths.fake, arcname=name)
        info = tarfile.TarInfo("readme.txt")
        info.size = 6
        tar.addfile(info, io.BytesIO(b"plugin"))
    return path


def blob(sv, size, name="package.bin"):
    path = sv.work / name
    path.write_bytes(bytes((i * 7 + 3) % 256 for i in range(size)))
    return path


# A record that is valid JSON but no object cannot hold the install: it is replaced.
@pytest.mark.parametrize("old_record", [None, '["4.8.01.1"]'], ids=["no-record", "array-record"])
def test_plugin_install_starts_the_plugin_from_data(sv, old_record):
    if old_record:
        sv.bootchk(old_record)
    sv.config(["a", "b"])
    with_loader(sv)
    package = plugin_package(sv, ["a", "b"])
    sv.program("a", f"await go; put {package} {PACKAGE}; exit 130", "run")
    sv.program("b", "run")
    sv.start("debug")
    sv.release("a", "b")
    sv.wait_starts(2, "a")
    sv.wait_starts(2, "b")
    assert sv.stop() is None

    assert sv.argvs("a") == [["a", "-d"], ["/data//a", "-r", "130", "-d", *PLUGIN_ARGS]]
    assert sv.argvs("b") == [["b", "-d"], ["/data//b", "-r", "130", "-d", *PLUGIN_ARGS]]
    record = sv.snap("/data/.bootchk").read_bytes()
    assert record == b'{"version":"4.8.01.1","plugindata":1}' and len(record) == 37
    assert sv.snap("/data/readme.txt").read_text() == "plugin"
    assert not sv.snap(PACKAGE).exists()
    assert sorted(os.listdir(sv.snap("/data"))) == [".bootchk", "a", "b", "readme.txt"]


def test_plugin_that_cannot_start_falls_back_to_base_mode(sv):
    sv.config(["a", "b"])
    with_loader(sv)
    package = plugin_package(sv, [])  # no programs: /data//a cannot be executed
    sv.program("a", f"await go; put {package} {PACKAGE}; exit 130", "run")
    sv.program("b", "run")
    sv.start()
    sv.release("a", "b")
    sv.wait_starts(2, "a")
    sv.wait_starts(2, "b")
    sv.wait_for(lambda: "No such pid" in sv.out(), what="the failed plugin instance reaped")
    assert sv.stop() is None

    assert sv.argvs("a") == [["a"], ["a", "-r", "129"]]
    assert sv.argvs("b") == [["b"], ["b", "-r", "129"]]
    # Both plugin programs fail; whichever is reaped first fails the cycle.
    out = sv.out().splitlines()
    failed = [i for i, line in enumerate(out) if line.startswith("failed to exec")]
    assert sorted(out[i] for i in failed) == [
        f"failed to exec /data//{name}, error is No such file or directory" for name in "ab"]
    assert out.count("failed boot, then clean bootchk, and try again") == 1
    assert out.index("failed boot, then clean bootchk, and try again") > failed[0]
    assert not sv.snap("/data/.bootchk").exists()


# The permission bits of an existing image are kept, never a setuid, setgid or sticky bit;
# through a symbolic link (to a setuid file) nothing is taken, and the link is replaced.
@pytest.mark.parametrize("status, target, member, existing, mode", [
    (131, "init.bin", "luadata", None, 0o600),
    (132, "k93_sig.bin", "sigdata", None, 0o600),
    (131, "init.bin", "luadata", 0o640, 0o640),
    (132, "k93_sig.bin", "sigdata", 0o604, 0o604),
    (131, "init.bin", "luadata", 0o6750, 0o750),
    (132, "k93_sig.bin", "sigdata", 0o5755, 0o755),
    (132, "k93_sig.bin", "sigdata", "link to setuid", 0o600),
])
def test_package_copied_byte_for_byte(sv, status, target, member, existing, mode):
    sv.config(["a", "b"])
    package = blob(sv, 2500)
    if existing == "link to setuid":
        sv.seed_file("/data/setuid", b"root's", mode=0o4755)
        sv.seed_link("/data/" + target, "setuid")
    elif existing is not None:
        sv.seed_file("/data/" + target, b"x" * 9000, mode=existing)
    sv.program("a", f"await go; put {package} {PACKAGE}; exit {status}", "run")
    sv.program("b", "run")
    sv.start(wrap="umask 0177")
    sv.release("a", "b")
    sv.wait_starts(2, "a")
    sv.wait_starts(2, "b")
    assert sv.stop() is None

    copy = sv.snap("/data/" + target)
    assert copy.read_bytes() == package.read_bytes()
    assert not copy.is_symlink() and copy.stat().st_mode & 0o7777 == mode
    if existing == "link to setuid":
        setuid = sv.snap("/data/setuid")
        assert setuid.read_bytes() == b"root's" and setuid.stat().st_mode & 0o7777 == 0o4755
    assert sv.snap("/data/.bootchk").read_text() == '{"version":"4.8.01.1","%s":1}' % member
    assert not sv.snap(PACKAGE).exists()
    assert [f for f in os.listdir(sv.snap("/data")) if f.endswith(".new")] == []
    assert sv.argvs("b") == [["b"], ["b", "-r", str(status)]]


RECORD_RENAME = "rename /data//.bootchk.new /data//.bootchk"


# What an install put in /data reaches the disk before the record that names it: the
# files the loader unpacked through a sync of the whole file system (the daemon holds
# no descriptor of them), a copied image through its own rename after its fsync.
@pytest.mark.parametrize("status, installed, synced", [
    (130, "system ./k93_load tar -zxf /tmp/.uci//ttupgrade.tgz -C /data/", True),
    (131, "rename /data//init.bin.new /data//init.bin", False),
    (132, "rename /data//k93_sig.bin.new /data//k93_sig.bin", False),
], ids=["130-plugin", "131-init", "132-signature"])
def test_install_is_durable_before_the_record(sv, status, installed, synced):
    trace = sv.work / "sync.trace"
    sv.preload.append(os.environ["SYNC_TRACE"])
    sv.config(["a"])
    with_loader(sv)
    package = plugin_package(sv, ["a"]) if status == 130 else blob(sv, 2500)
    sv.program("a", f"put {package} {PACKAGE}; exit {status}", "run")
    sv.start(wrap=f"export SYNC_TRACE_LOG={trace}")
    sv.wait_starts(2, "a")
    assert sv.stop() is None

    lines = trace.read_text().splitlines()
    assert lines.count(installed) == 1 and lines.count(RECORD_RENAME) == 1, lines
    done, record = lines.index(installed), lines.index(RECORD_RENAME)
    assert done < record, lines
    if synced:
        assert {"syncfs /data", "sync"} & set(lines[done + 1:record]), lines
    assert sv.snap("/data/.bootchk").exists()

def directory(path):
    path.mkdir(parents=True)
    (path / "inside").write_text("x")


def fifo(path):
    path.parent.mkdir(parents=True)
    os.mkfifo(path)


def link_to(target):
    def setup(path):
        path.parent.mkdir(parents=True)
        path.symlink_to(target)
    return setup


NOT_REGULAR = f"{PACKAGE} is no regular file, not installed\n"


# Anything but a regular file (a link is followed) is no package: nothing is installed,
# recorded or deleted, and the cycle ends as for a missing package.
@pytest.mark.parametrize("status,setup,out", [
    (130, None, ""),
    (131, None, ""),
    (132, None, ""),
    (130, directory, NOT_REGULAR),
    (131, directory, NOT_REGULAR),
    (132, directory, NOT_REGULAR),
    (131, fifo, NOT_REGULAR),
    (130, link_to("/tmp"), NOT_REGULAR),
    (132, link_to("/dev/zero"), NOT_REGULAR),
    (131, link_to("/tmp/.uci/missing"), ""),
], ids=["130-none", "131-none", "132-none", "130-directory", "131-directory", "132-directory",
        "131-fifo", "130-link-to-directory", "132-link-to-device", "131-dangling-link"])
def test_no_package_changes_nothing(sv, status, setup, out):
    sv.config(["a"])
    with_loader(sv)
    sv.bootchk('{"version":"4.8.01.1","plugindata":0}')
    if setup:
        setup(sv.seed / PACKAGE.lstrip("/"))
    sv.program("a", f"exit {status}", "run")
    sv.start()
    sv.wait_starts(2, "a")
    assert sv.stop() is None

    assert sv.argvs("a") == [["a"], ["a", "-r", str(status)]]
    assert os.listdir(sv.snap("/data")) == [".bootchk"]
    assert sv.snap("/data/.bootchk").read_text() == '{"version":"4.8.01.1","plugindata":0}'
    assert sv.out() == out
    package = sv.snap(PACKAGE)
    assert os.path.lexists(package) == (setup is not None)
    if setup is directory:
        assert (package / "inside").read_text() == "x"


def test_missing_data_dir(sv):
    sv.config(["a"])
    package = blob(sv, 100)
    sv.program("a", f"put {package} {PACKAGE}; exit 131", "run")
    sv.start(wrap="rmdir /data")
    sv.wait_starts(2, "a")
    assert sv.stop() is None

    assert re.fullmatch(r"Failed to read or write, in, \d+, out, -1\n", sv.out())
    assert not sv.snap(PACKAGE).exists()
    assert not sv.snap("/data").exists()
    assert sv.argvs("a") == [["a"], ["a", "-r", "131"]]


FULL_DATA = """
mount -t tmpfs -o size=64k full /data
printf '{"version":"4.8.01.1","plugindata":0}' >/data/.bootchk
printf old >/data/init.bin
dd if=/dev/zero of=/data/filler bs=4096 2>/dev/null || true
"""


def test_full_data_dir_keeps_the_old_files(sv):
    sv.config(["a"])
    package = blob(sv, 20000)
    sv.program("a", f"put {package} {PACKAGE}; exit 131", "run")
    sv.start(wrap=FULL_DATA)
    sv.wait_starts(2, "a")
    assert sv.stop() is None

    assert sv.out().splitlines() == [
        "failed to write /data//init.bin: No space left on device",
        "failed to write /data//.bootchk: No space left on device",
    ]
    assert sv.snap("/data/.bootchk").read_text() == '{"version":"4.8.01.1","plugindata":0}'
    assert sv.snap("/data/init.bin").read_text() == "old"
    assert sorted(os.listdir(sv.snap("/data"))) == [".bootchk", "filler", "init.bin"]
    assert not sv.snap(PACKAGE).exists()
    assert sv.argvs("a") == [["a"], ["a", "-r", "131"]]


# --- a plugin installed over a plugin --------------------------------------------------

RECORD_PLUGIN = '{"version":"4.8.01.1","plugindata":1}'
GUARDED = '{"PLUGINDATA":0,"version":"4.8.01.1","plugindata":1}'


def loader_that_shows_the_record(sv):
    """The loader, behind a script that first copies the record it finds to WORKDIR/seen."""
    with_loader(sv)
    (sv.bindir / "k93_load").rename(sv.bindir / "k93_load.real")
    loader = sv.bindir / "k93_load"
    loader.write_text("#!/bin/sh\n"
                      f"[ ! -e /data/.bootchk ] || cp /data/.bootchk {sv.work}/seen\n"
                      'exec ./k93_load.real "$@"\n')
    loader.chmod(0o755)


# The record found, the record the loader finds, the record written after the install,
# and the mode the record found gives. A record that names a plugin is written again with
# the guard first, which gives base mode while the new plugin is unpacked; the final record
# is the one found without any guard, with "plugindata" appended as ever. The modes are
# those of the first cycle and of the next.
@pytest.mark.parametrize("found,seen,final,modes", [
    (None, None, RECORD_PLUGIN, "base,plugin"),
    ('{"version":"4.8.01.1","plugindata":0}', '{"version":"4.8.01.1","plugindata":0}',
     '{"version":"4.8.01.1","plugindata":0,"plugindata":1}', "base,base"),
    (RECORD_PLUGIN, GUARDED, '{"version":"4.8.01.1","plugindata":1,"plugindata":1}',
     "plugin,plugin"),
    (' { "version" : "4.8.01.1" , "PluginData" : true , "luadata" : 1 } ',
     '{"PLUGINDATA":0,"version":"4.8.01.1","PluginData":true,"luadata":1}',
     '{"version":"4.8.01.1","PluginData":true,"luadata":1,"plugindata":1}', "plugin,plugin"),
    (GUARDED, GUARDED, '{"version":"4.8.01.1","plugindata":1,"plugindata":1}', "base,plugin"),
], ids=["no-record", "base-record", "plugin-record", "plugin-true-record", "guard-left"])
def test_plugin_over_a_plugin_is_unpacked_under_a_guard(sv, found, seen, final, modes):
    before, after = modes.split(",")
    if found:
        sv.bootchk(found)
    sv.config(["a"])
    loader_that_shows_the_record(sv)
    package = plugin_package(sv, ["a"])
    script = (f"put {package} {PACKAGE}; exit 130", "run")
    sv.program("a", *script, where="data" if before == "plugin" else "base")
    sv.program("a", *script)
    sv.start()
    sv.wait_starts(2)
    assert sv.stop() is None

    seen_file = sv.work / "seen"
    assert (seen_file.read_text() if seen_file.exists() else None) == seen
    assert sv.snap("/data/.bootchk").read_text() == final
    argvs = {"base": ["a"], "plugin": ["/data//a", *PLUGIN_ARGS]}
    first, then = argvs[before], argvs[after]
    assert sv.argvs("a") == [first, [then[0], "-r", "130", *then[1:]]]
    assert sv.out() == ""


# The daemon is killed while the loader unpacks a new plugin over the plugin in use: the
# old program is cut short (here it crashes at every start, as a truncated program that
# still runs may). The record then holds the guard, so the next daemon starts in base mode,
# and the next install of a good plugin gives plugin mode and a record without the guard.
CUT_UNPACK = """#!/bin/sh
if [ ! -e {work}/cut ]; then
    touch {work}/cut
    printf '#!/bin/sh\\nkill -SEGV $$\\n' >/data/a
    kill -9 $(cut -d' ' -f4 /proc/$PPID/stat)
    exit 1
fi
exec ./k93_load.real "$@"
"""


def test_daemon_killed_during_the_unpack_comes_back_in_base_mode(sv):
    sv.bootchk(RECORD_PLUGIN)
    sv.config(["a"])
    with_loader(sv)
    (sv.bindir / "k93_load").rename(sv.bindir / "k93_load.real")
    (sv.bindir / "k93_load").write_text(CUT_UNPACK.format(work=sv.work))
    (sv.bindir / "k93_load").chmod(0o755)
    package = plugin_package(sv, ["a"])
    script = (f"put {package} {PACKAGE}; exit 130",) * 2 + ("run",)
    sv.program("a", *script, where="data")
    sv.program("a", *script)
    sv.start(wrap=harness.next_daemon())
    first = sv.work / "first-status"
    status = sv.wait_for(lambda: first.exists() and first.read_text().strip(),
                         what="the end of the first daemon")
    assert status == str(128 + signal.SIGKILL)
    assert sv.live("/data/.bootchk").read_text() == GUARDED

    (sv.work / "go").touch()
    sv.wait_starts(3)
    assert sv.stop() is None

    assert sv.argvs("a") == [["/data//a", *PLUGIN_ARGS], ["a"],
                             ["/data//a", "-r", "130", *PLUGIN_ARGS]]
    assert sv.snap("/data/.bootchk").read_text() == (
        '{"version":"4.8.01.1","plugindata":1,"plugindata":1}')
    assert sv.snap("/data/a").read_bytes() == sv.paths.fake.read_bytes()
    assert sv.out() == ""


# An image installed over a guard keeps it: base mode until a plugin install has returned.
def test_image_install_keeps_the_guard(sv):
    sv.bootchk(GUARDED)
    sv.config(["a"])
    package = blob(sv, 100)
    sv.program("a", f"put {package} {PACKAGE}; exit 131", "run")
    sv.start()
    sv.wait_starts(2)
    assert sv.stop() is None

    assert sv.snap("/data/.bootchk").read_text() == GUARDED[:-1] + ',"luadata":1}'
    assert sv.argvs("a") == [["a"], ["a", "-r", "131"]]
    assert sv.snap("/data/init.bin").read_bytes() == package.read_bytes()
