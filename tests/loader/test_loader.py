"""The loader tool k93_load: what it unpacks, what it refuses, and that nothing
lands outside the target directory. Every case runs twice: under dash with GNU
tar, and under BusyBox sh with only BusyBox applets on PATH (as on the gateway).

K93_LOAD names the copy beside the built daemon; pytest's --basetemp keeps all
work directories inside the build tree.
"""
import io
import os
import stat
import subprocess
import tarfile
import time

import pytest

LOADER = os.environ["K93_LOAD"]
BUSYBOX = "/usr/bin/busybox"
# Applets the script may use; the BusyBox PATH holds nothing else.
APPLETS = ("tar", "sed", "grep", "head", "awk")


@pytest.fixture(scope="session")
def busybox_bin(tmp_path_factory):
    bindir = tmp_path_factory.mktemp("busybox-bin")
    for applet in APPLETS:
        (bindir / applet).symlink_to(BUSYBOX)
    return bindir


@pytest.fixture(params=["dash+gnu-tar", "busybox"])
def run(request, busybox_bin):
    """Runs k93_load with the given arguments under one shell and tar."""
    if request.param == "busybox":
        prefix = [BUSYBOX, "sh"]
        env = {"PATH": str(busybox_bin)}
    else:
        prefix = ["/usr/bin/dash"]
        env = {"PATH": "/usr/bin:/bin"}

    def run(*args):
        return subprocess.run(prefix + [LOADER, *args], env=env,
                              capture_output=True, text=True, timeout=60)
    return run


def member(name, data=b"", kind=tarfile.REGTYPE, target="", mode=0o644, owner=0):
    info = tarfile.TarInfo(name)
    info.type, info.linkname, info.mode = kind, target, mode
    info.uid = info.gid = owner
    info.mtime = int(time.time())
    info.size = len(data) if kind == tarfile.REGTYPE else 0
    return info, (io.BytesIO(data) if kind == tarfile.REGTYPE else None)


def symlink(name, target):
    return member(name, kind=tarfile.SYMTYPE, target=target)


def hardlink(name, target):
    return member(name, kind=tarfile.LNKTYPE, target=target)


def write_package(path, members):
    with tarfile.open(path, "w:gz", format=tarfile.GNU_FORMAT) as tar:
        for info, data in members:
            tar.addfile(info, data)
    return str(path)


def tree(root):
    """Every path below root, with a symlink's target or a file's bytes."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                found[rel] = "-> " + os.readlink(path)
            elif os.path.isfile(path):
                with open(path, "rb") as f:
                    found[rel] = f.read()
            else:
                found[rel] = "dir"
    return found


@pytest.fixture
def sandbox(tmp_path):
    """tmp_path/data is the target; a file beside it stands for the world outside."""
    (tmp_path / "data").mkdir()
    (tmp_path / "data").chmod(0o755)
    (tmp_path / "victim").write_bytes(b"outside\n")
    return tmp_path


def test_unpacks_package_into_directory(run, sandbox):
    # Owned by another user in the package: unpacked, owners are those of the loader's user.
    pkg = write_package(sandbox / "p.tgz", [
        member("bin/", kind=tarfile.DIRTYPE, mode=0o755, owner=1000),
        member("bin/prog", b"#!/bin/sh\necho plugin\n", mode=0o755, owner=1000),
        member("./lib/libx.so.1", b"LIB", mode=0o444),
        symlink("lib/libx.so", "libx.so.1"),
        hardlink("bin/prog-alias", "bin/prog"),
        hardlink("lib/libx.so.1-alias", "lib/libx.so.1"),
        member("odd..name/..x", b"dots inside names are fine"),
    ])
    result = run("tar", "-zxf", pkg, "-C", str(sandbox / "data") + "/")
    assert (result.returncode, result.stderr) == (0, "")
    data = sandbox / "data"
    assert tree(data) == {
        "bin": "dir", "lib": "dir", "odd..name": "dir",
        "bin/prog": b"#!/bin/sh\necho plugin\n",
        "bin/prog-alias": b"#!/bin/sh\necho plugin\n",
        "lib/libx.so.1": b"LIB",
        "lib/libx.so.1-alias": b"LIB",
        "lib/libx.so": "-> libx.so.1",
        "odd..name/..x": b"dots inside names are fine",
    }
    assert os.stat(data / "bin/prog").st_mode & 0o777 == 0o755
    assert os.path.samefile(data / "bin/prog", data / "bin/prog-alias")
    for path in ("bin", "bin/prog", "lib/libx.so.1"):
        st = os.stat(data / path)
        assert (st.st_uid, st.st_gid) == (os.getuid(), os.getgid()), path
    st = os.stat(data)
    assert (stat.S_IMODE(st.st_mode), st.st_uid) == (0o755, os.getuid())


# Every command line but "tar -zxf PACKAGE -C DIRECTORY" with a readable package
# and an existing directory. {pkg} and {dir} stand for a good package and directory.
BAD_COMMAND_LINES = {
    "no arguments": [],
    "four arguments": ["tar", "-zxf", "{pkg}", "-C"],
    "six arguments": ["tar", "-zxf", "{pkg}", "-C", "{dir}", "extra"],
    "other program": ["gtar", "-zxf", "{pkg}", "-C", "{dir}"],
    "other option order": ["tar", "-xzf", "{pkg}", "-C", "{dir}"],
    "uncompressed": ["tar", "-xf", "{pkg}", "-C", "{dir}"],
    "other directory flag": ["tar", "-zxf", "{pkg}", "--directory", "{dir}"],
    "package from stdin": ["tar", "-zxf", "-", "-C", "{dir}"],
    "empty directory": ["tar", "-zxf", "{pkg}", "-C", ""],
    "missing package": ["tar", "-zxf", "{dir}/none.tgz", "-C", "{dir}"],
    "missing directory": ["tar", "-zxf", "{pkg}", "-C", "{dir}/none"],
}


@pytest.mark.parametrize("args", BAD_COMMAND_LINES.values(), ids=BAD_COMMAND_LINES.keys())
def test_refuses_other_command_lines(run, sandbox, args):
    pkg = write_package(sandbox / "p.tgz", [member("f", b"x")])
    data = str(sandbox / "data")
    result = run(*[a.format(pkg=pkg, dir=data) for a in args])
    assert result.returncode != 0
    assert result.stderr.startswith("k93_load: ")
    assert result.stderr.count("\n") == 1
    assert tree(data) == {}


# Packages with a member that could land outside the directory. Each is refused
# as a whole: not even its harmless first member is unpacked.
def bad_packages(outside):
    return {
        "absolute name": [member(f"{outside}/escaped", b"x")],
        "parent name": [member("../escaped", b"x")],
        "parent inside name": [member("sub/../../escaped", b"x")],
        "bare parent": [member("..", kind=tarfile.DIRTYPE, mode=0o755)],
        "absolute symlink, file through it": [
            symlink("out", str(outside)), member("out/escaped", b"x")],
        "parent symlink, file through it": [
            symlink("out", ".."), member("out/escaped", b"x")],
        "nested parent symlink": [
            symlink("out", "sub/../.."), member("out/escaped", b"x")],
        "symlink over victim": [symlink("v", f"{outside}/victim"), member("v", b"x")],
        "absolute hard link": [hardlink("v", f"{outside}/victim")],
        "parent hard link": [hardlink("v", "../victim")],
    }


BAD_PACKAGE_CASES = list(bad_packages("/outside"))


@pytest.mark.parametrize("case", BAD_PACKAGE_CASES)
def test_refuses_members_leading_outside(run, sandbox, case):
    members = [member("harmless", b"x")] + bad_packages(sandbox)[case]
    pkg = write_package(sandbox / "p.tgz", members)
    before = tree(sandbox)
    result = run("tar", "-zxf", pkg, "-C", str(sandbox / "data"))
    assert result.returncode == 1
    assert result.stderr.startswith("k93_load: refusing ")
    assert result.stderr.count("\n") == 1
    assert tree(sandbox) == before


# Packages with a member that a plugin never needs; each is refused as a whole. The target
# directory itself, as a member, would hand it to the package's owner and mode.
def never_needed():
    return {
        "character device": [member("dev", kind=tarfile.CHRTYPE)],
        "block device": [member("disk", kind=tarfile.BLKTYPE)],
        "fifo": [member("pipe", kind=tarfile.FIFOTYPE)],
        "./ of another user": [member("./", kind=tarfile.DIRTYPE, mode=0o777, owner=1000)],
        ".": [member(".", kind=tarfile.DIRTYPE, mode=0o755)],
        "./.": [member("./.", kind=tarfile.DIRTYPE, mode=0o755)],
        "setuid file": [member("su", b"x", mode=0o4755)],
        "setgid file": [member("sg", b"x", mode=0o2755)],
        "setgid directory": [member("sub/", kind=tarfile.DIRTYPE, mode=0o2755)],
        "sticky directory": [member("tmp/", kind=tarfile.DIRTYPE, mode=0o1755)],
        "group-writable file": [member("gw", b"x", mode=0o664)],
        "other-writable file": [member("ow", b"x", mode=0o646)],
        "other-writable directory": [member("sub/", kind=tarfile.DIRTYPE, mode=0o757)],
        "hard link to a file of the directory": [hardlink("v", "present")],
    }


@pytest.mark.parametrize("case", list(never_needed()))
def test_refuses_members_a_plugin_never_needs(run, sandbox, case):
    (sandbox / "data/present").write_bytes(b"in the directory, not in the package")
    pkg = write_package(sandbox / "p.tgz", [member("harmless", b"x")] + never_needed()[case])
    before = tree(sandbox)
    result = run("tar", "-zxf", pkg, "-C", str(sandbox / "data"))
    assert result.returncode == 1, result
    assert result.stderr.startswith("k93_load: refusing "), result.stderr
    assert result.stderr.count("\n") == 1, result.stderr
    assert tree(sandbox) == before
    assert stat.S_IMODE(os.stat(sandbox / "data").st_mode) == 0o755


def test_refuses_damaged_package(run, sandbox):
    good = (sandbox / "good.tgz")
    write_package(good, [member(f"f{i}", os.urandom(4096)) for i in range(4)])
    for name, content in [("garbage.tgz", b"not an archive\n"),
                          ("cut.tgz", good.read_bytes()[:3000])]:
        (sandbox / name).write_bytes(content)
        result = run("tar", "-zxf", str(sandbox / name), "-C", str(sandbox / "data"))
        assert result.returncode == 1, name
        assert result.stderr.startswith("k93_load: refusing "), name
        assert tree(sandbox / "data") == {}, name


def test_runs_as_the_daemon_starts_it(sandbox):
    """Beside the daemon, executable, started through the shell as "./k93_load"."""
    assert os.stat(LOADER).st_mode & stat.S_IXUSR
    pkg = write_package(sandbox / "p.tgz", [member("plugin", b"P", mode=0o755)])
    command = f"./k93_load tar -zxf {pkg} -C {sandbox}/data/"
    result = subprocess.run(["/bin/sh", "-c", command], cwd=os.path.dirname(LOADER),
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    assert tree(sandbox / "data") == {"plugin": b"P"}
