#!/usr/bin/python3
"""Power cuts on the emulated gateway.

    harness.py --out BUILD-GATEWAY [--jobs J] [--seed S] [--at-next-cycle K] [--fs ext4|ubifs]
               [--daemon FILE] [--keep DIR] CUTS

Boots the gateway image under qemu-system-mips with /data on a virtual disk (ext4, or UBIFS
on the disk seen as flash), has a watched program ask for an install and cuts the power, a
SIGKILL of qemu, at a random moment of the install's window. The installs take turns: 130 a
plugin of several files under a record that claims none, 131 init.bin, 132 k93_sig.bin, and
every other cut "130p", 130 over a record that claims the earlier plugin, whose files the new
plugin's replace, name for name. The window is measured first by uncut installs: it runs
from the moment the package is left to the moment the record is renamed into place for the
last time, and the cuts spread uniformly over it and half as long again; every other cut
over a plugin counts from the first file of the unpack instead. The installs over a plugin
under a random cut run with /data written back all the time, as the kernel may write back at
any moment, so that a cut finds on the disk about what the install had done by then. After
each cut the disk is checked twice:

- from the host, on a copy of the disk image: the journal is replayed and the file system
  checked by e2fsck, then the files are read out with debugfs (ext4 only: nothing here
  reads UBIFS without mounting it);
- from inside the guest, at the next boot (which also runs the next cut): what the files
  hold, which mode init's daemon comes up in, and whether the next install still works.

A cut is torn when the record is not the old text, the new one or (130p) the old one with
the guard "PLUGINDATA": 0 first, byte for byte; an image is not the old or the new bytes with
its mode; the record claims a plugin (its first member named "plugindata" in any letter case
is 1) whose files are not all from one package, old or new, complete and with their modes,
or the record of a plugin install claims one that is not the new; the daemon comes up in a
mode other than the record's (a guarded record gives base mode); the next install fails; the
file system is damaged; or host and guest see different files. The table shows where the cuts
landed, from the file changes the guest reported up to the cut, and what each left. The last
line is "cuts: N, torn: T"; the exit status is 1 when T is not 0. A failure of the harness
itself (a boot that ends otherwise than planned or whose report it cannot read, an error on
one of the boards) is no torn cut: it stops every board at once and ends the run with its
traceback and exit status 1.

--at-next-cycle adds K plugin installs (130 and 130p in turn) cut at the next cycle's first
start: by then the record has surely reached the disk, and what the install left but the
kernel has not yet written back is lost. --daemon puts another static daemon in the image
(to show what a change to it does); --keep keeps the disk images of torn cuts, with the
console and results of their boots.
"""
import argparse
import hashlib
import io
import json
import random
import shutil
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The entry point that packs the image's overlay, makes a UBI disk and boots the board.
GATEWAY = HERE.parent / "gateway.sh"

# The kinds of install, by the names the session knows them by: the exit status that asks
# for each, and 130p, a plugin (130) installed over a record that claims the earlier one.
KINDS = ("130", "131", "132", "130p")
LABELS = {"130": "130 plugin", "131": "131 init.bin", "132": "132 k93_sig.bin", "130p": "130 over a plugin"}
PLUGIN_KINDS = ("130", "130p")
# The kind whose installs under a random cut run with /data written back all the time (a sync
# every few milliseconds in the guest), as the kernel may write back at any moment: otherwise
# nothing of a plugin's unpack reaches an ext4 disk before the daemon's own sync, and no cut
# could find the plugin half replaced under the record that claims it. The cuts at the next
# cycle's start run without it: they look for what was not written back.
WRITTEN_BACK = "130p"
MEMBER = {"130": "plugindata", "130p": "plugindata", "131": "luadata", "132": "sigdata"}
IMAGES = {"131": "init.bin", "132": "k93_sig.bin"}
IMAGE_MODES = {"init.bin": "700", "k93_sig.bin": "640"}
# The record each kind of install finds.
RECORD_BASE = b'{"version":"4.8.01.1","luadata":1,"sigdata":1}'
RECORD_PLUGIN = b'{"version":"4.8.01.1","luadata":1,"sigdata":1,"plugindata":1}'
RECORD_PREPARED = {"130": RECORD_BASE, "131": RECORD_BASE, "132": RECORD_BASE, "130p": RECORD_PLUGIN}
RECORD_MODE = "644"
# The plugin: the two watched programs, run from /data/ in plugin mode, and its data.
PROGRAMS = ("sample-exit", "sample-crash")
PLUGIN_MODES = {"sample-exit": "755", "sample-crash": "755", "plugin.dat": "644", "plugin.conf": "644"}
DISK_SIZE = "32M"
# The file changes a cut's delay runs from (its anchor): the package left; the first file of
# a plugin's unpack; the next cycle's first start, once the record is surely on the disk,
# where what the install left that the kernel has not yet written back is lost.
PACKAGE_LEFT = ("/tmp/.uci", "closed", "ttupgrade.tgz")
UNPACK_BEGUN = ("/data", "create", "sample-exit")
NEXT_CYCLE = ("", "done", "")
# How a cut's delay is shown after its anchor.
FROM = {PACKAGE_LEFT: "", UNPACK_BEGUN: " from the unpack"}
# The order the random cuts take the kinds in, each with its anchor: a plugin over a plugin,
# where an install has the most to lose, every other cut, and half of those from the first
# file of the unpack: the loader's listing of the package takes most of the install, and few
# cuts from the package left would land in the unpack.
ROTATION = (("130", PACKAGE_LEFT), ("130p", PACKAGE_LEFT), ("131", PACKAGE_LEFT), ("130p", UNPACK_BEGUN),
            ("132", PACKAGE_LEFT))
# The random cuts spread over the time an uncut install takes from their anchor to its last
# rename of the record and half as much again, where the next cycle begins and the kernel
# has not yet written back what the install left.
WINDOW_SPAN = 1.5

PHASES = (
    "before the unpack or copy",
    # A plugin over a plugin only: the record with its guard, before the unpack.
    "during the guard write",
    "after the guard write",
    "during the unpack or copy",
    "after the unpack or copy",
    "after the removal of the package",
    "during the record write",
    "after the record write",
)


class HarnessError(Exception):
    """The harness could not do or read what it needed: the run fails, and judges nothing."""


class Stopped(Exception):
    """A board stopped because another one failed."""


# Set when a board fails: the others end their boots and stop at once.
STOP = threading.Event()


def side_by_side(work, count):
    """Runs work(j) for each j below count, each in a thread of its own. The first error of
    any of them stops the others and is raised here, with its traceback."""
    errors = []

    def run(j):
        try:
            work(j)
        except BaseException as error:  # whatever it is, it ends the run
            errors.append(error)
            STOP.set()

    threads = [threading.Thread(target=run, args=(j,)) for j in range(count)]
    for thread in threads:
        thread.start()
    try:
        for thread in threads:
            thread.join()
    except BaseException:
        STOP.set()
        for thread in threads:
            thread.join()
        raise
    first = next((e for e in errors if not isinstance(e, Stopped)), None)
    if first:
        raise first


def records(kind):
    """The texts the record may hold after a cut during an install of kind: "old" as prepared,
    "new" as the install writes it last, and "guard" for a plugin over a plugin: as the daemon
    writes it before the unpack, with "PLUGINDATA": 0 first, which gives base mode."""
    old = RECORD_PREPARED[kind]
    texts = {"old": old, "new": old[:-1] + b',"%s":1}' % MEMBER[kind].encode()}
    if kind in PLUGIN_KINDS and claims_plugin(old):
        texts["guard"] = b'{"PLUGINDATA":0,' + old[1:]
    return texts


def claims_plugin(text):
    """Whether a record gives plugin mode: its first member named "plugindata", in any letter
    case, is the number 1."""
    try:
        members = json.loads(text, object_pairs_hook=tuple)
    except ValueError:
        return False
    if not isinstance(members, tuple):
        return False
    value = next((v for k, v in members if k.lower() == "plugindata"), None)
    return type(value) in (int, float) and value == 1


def sha(data):
    return hashlib.sha256(data).hexdigest()


def line_of(change):
    """How a file change ends its line on the results port ("E MS DIR EVENT NAME", or
    "E MS done"): the anchors of the cuts are whole lines, which the serial line ends with
    CR LF."""
    return b" " + " ".join(word for word in change if word).encode() + b"\r\n"


# --- Fixtures --------------------------------------------------------------------------------

class Version:
    """One version of every file an install puts in /data: the plugin's files, init.bin and
    k93_sig.bin. The programs are the sample with a tag appended, which leaves them
    executable and tells the versions apart."""

    def __init__(self, name, rng, sample):
        tag = b"\0plugin version " + name.encode() + rng.randbytes(16)
        self.plugin = {
            "sample-exit": sample + tag,
            "sample-crash": sample + tag,
            "plugin.dat": rng.randbytes(192 * 1024),
            "plugin.conf": b"version=" + name.encode() + b"\n" + rng.randbytes(700).hex().encode(),
        }
        self.images = {"init.bin": rng.randbytes(256 * 1024), "k93_sig.bin": rng.randbytes(160 * 1024)}

    def package(self):
        """The plugin as a gzip-compressed tar archive, owned by root."""
        buffer = io.BytesIO()
        with tarfile.open(fileobj=buffer, mode="w:gz", format=tarfile.USTAR_FORMAT) as tar:
            for name, data in self.plugin.items():
                info = tarfile.TarInfo(name)
                info.size, info.mode, info.mtime = len(data), int(PLUGIN_MODES[name], 8), 1_700_000_000
                tar.addfile(info, io.BytesIO(data))
        return buffer.getvalue()


def write(path, data, mode):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    path.chmod(int(mode, 8))


class Fixtures:
    """The prepared /data (the old versions) with the record that each kind of install finds,
    the packages of the installs under the cut (new) and of the next installs (next), and the
    overlay of the image that carries them, the session and the file-change reporter."""

    def __init__(self, out, work, seed, daemon, fs):
        self.fs = fs
        rng = random.Random(seed)
        sample = (out / "image/sample/bin/watched-program").read_bytes()
        self.old, self.new, self.next = (Version(n, rng, sample) for n in ("old", "new", "next"))
        overlay = work / "overlay"
        shutil.rmtree(overlay, ignore_errors=True)
        pc = overlay / "power-cut"
        self.prepared = pc / "prepared"
        for kind in KINDS:
            write(pc / "records" / kind, RECORD_PREPARED[kind], RECORD_MODE)
        for name, data in self.old.images.items():
            write(self.prepared / name, data, IMAGE_MODES[name])
        for name, data in self.old.plugin.items():
            write(self.prepared / name, data, PLUGIN_MODES[name])
        for version, folder in ((self.new, pc / "pkg"), (self.next, pc / "next")):
            write(folder / "130.tgz", version.package(), "644")
            write(folder / "131.bin", version.images["init.bin"], "644")
            write(folder / "132.bin", version.images["k93_sig.bin"], "644")
        shutil.copy(out / "image/sample/bin/fs-events", pc / "fs-events")
        write(overlay / "usr/lib/gateway/power-cut", (HERE / "session").read_bytes(), "755")
        for program in PROGRAMS:
            write(overlay / f"usr/sbin/{program}.ctl", b"run\n", "644")
        if daemon:
            write(overlay / "usr/sbin/supervisor", Path(daemon).read_bytes(), "755")
        self.initrd = work / "initramfs.gz"
        subprocess.run(["sh", str(GATEWAY), "initramfs", str(overlay), str(self.initrd)], check=True)

    def disk(self, path):
        """A fresh disk image holding the prepared /data (the session puts the record of each
        install in place), made without mounting anything."""
        path.unlink(missing_ok=True)
        if self.fs == "ubifs":
            subprocess.run(["sh", str(GATEWAY), "ubi-disk", str(self.prepared), str(path)],
                           check=True, stdout=subprocess.DEVNULL)
            return
        subprocess.run(["mke2fs", "-q", "-F", "-t", "ext4", "-b", "4096", "-d", str(self.prepared), str(path),
                        DISK_SIZE], check=True, stdout=subprocess.DEVNULL)


# --- Judging what a cut left -----------------------------------------------------------------

def verdict(fix, kind, files):
    """What the files of /data (name: (sha, mode, size)) say after a cut during an install of
    kind: (the record's state, "old", "guard", "new" or None; plugin note; reasons it is
    torn)."""
    torn = []
    record = files.get(".bootchk")
    texts = records(kind)
    state = next((s for s, text in texts.items() if record == (sha(text), RECORD_MODE, len(text))), None)
    if state is None:
        torn.append(f"record: {record and record[0][:12]}, {record and record[1:]}")
    for name, mode in IMAGE_MODES.items():
        got = files.get(name)
        allowed = {sha(fix.old.images[name])}
        if IMAGES.get(kind) == name:
            allowed.add(sha(fix.new.images[name]))
        if not got or got[0] not in allowed or got[1] != mode:
            torn.append(f"{name}: {got and got[0][:12]}, {got and got[1:]}")
    plugin = plugin_state(fix, files)
    if kind in PLUGIN_KINDS and state == "new" and plugin != "new":
        torn.append(f"the record of the install claims a plugin that is {plugin}")
    elif gives_plugin(kind, state) and plugin not in ("old", "new"):
        torn.append(f"the record claims a plugin that is {plugin}")
    return state, plugin, torn


def gives_plugin(kind, state):
    """Whether the record in state (after an install of kind) gives plugin mode."""
    return state is not None and claims_plugin(records(kind)[state])


def plugin_state(fix, files):
    """"old", "new", or "incomplete" with what each file holds."""
    for name, version in (("old", fix.old), ("new", fix.new)):
        if all(files.get(f) == (sha(d), PLUGIN_MODES[f], len(d)) for f, d in version.plugin.items()):
            return name
    held = []
    for name in PLUGIN_MODES:
        got = files.get(name)
        what = "missing" if not got else f"{got[2]} bytes"
        for version_name, version in (("old", fix.old), ("new", fix.new)):
            if got and got[:2] == (sha(version.plugin[name]), PLUGIN_MODES[name]):
                what = version_name
        held.append(f"{name} {what}")
    return "incomplete (" + ", ".join(held) + ")"


def next_install_fails(fix, kind, files):
    """Why the next install (of the next versions) did not take, or None."""
    if kind in PLUGIN_KINDS:
        wanted = {f: (sha(d), PLUGIN_MODES[f]) for f, d in fix.next.plugin.items()}
    else:
        name = IMAGES[kind]
        wanted = {name: (sha(fix.next.images[name]), IMAGE_MODES[name])}
    for name, (digest, mode) in wanted.items():
        got = files.get(name)
        if not got or got[:2] != (digest, mode):
            return f"{name} is not the next version"
    try:
        pairs = json.loads(files[".bootchk.text"], object_pairs_hook=lambda p: p)
    except (KeyError, ValueError):
        return "the record after it does not parse"
    if not pairs or pairs[-1] != (MEMBER[kind], 1):
        return "the record after it does not end with its member"
    if kind in PLUGIN_KINDS and not claims_plugin(files[".bootchk.text"]):
        return "the record after it gives base mode"
    return None


# --- Host side: reading the disk image -------------------------------------------------------

def host_files(disk, scratch):
    """The files of the disk image after a journal replay, and what e2fsck says of it."""
    copy = scratch / "copy.img"
    shutil.copyfile(disk, copy)
    replay = subprocess.run(["e2fsck", "-y", "-E", "journal_only", str(copy)], capture_output=True, text=True)
    check = subprocess.run(["e2fsck", "-f", "-n", str(copy)], capture_output=True, text=True)
    for run in (replay, check):
        # 8 and up: e2fsck itself failed (could not open the image, a wrong option).
        if run.returncode >= 8:
            raise HarnessError(f"{' '.join(run.args)}: exit {run.returncode}: {run.stdout}{run.stderr}")
    problems = []
    if replay.returncode > 1:
        problems.append(f"journal replay: e2fsck exit {replay.returncode}")
    if check.returncode != 0:
        problems.append("file system: " + " / ".join(check.stdout.strip().splitlines()[-3:]))
    dump = scratch / "dump"
    shutil.rmtree(dump, ignore_errors=True)
    dump.mkdir()
    subprocess.run(["debugfs", "-R", f"rdump / {dump}", str(copy)], check=True, capture_output=True)
    copy.unlink()
    files = {}
    for path in sorted(p for p in dump.rglob("*") if p.is_file()):
        name = str(path.relative_to(dump))
        if name.startswith("lost+found/"):
            continue
        data = path.read_bytes()
        files[name] = (sha(data), f"{path.stat().st_mode & 0o7777:o}", len(data))
    return files, problems


# --- One boot --------------------------------------------------------------------------------

def whole_lines(data):
    """The lines that the guest sent on a serial line (each ended by CR LF), without blank
    ones. A last line that the power cut short, before its newline, is not one of them."""
    lines = (line.decode(errors="replace").strip() for line in data.split(b"\n")[:-1])
    return [line for line in lines if line]


def file_changes(lines):
    """The file changes that lines report, in order: (ms, dir, event, name) for each
    "E MS DIR EVENT NAME", and (ms, "", "done", "") for "E MS done"."""
    out = []
    for line in lines:
        words = line.split()
        if words[0] != "E":
            continue
        if len(words) not in (3, 5) or not words[1].isdigit():
            raise HarnessError(f"an event line that the harness cannot read: {line!r}")
        out.append((int(words[1]), *words[2:]) if len(words) == 5 else (int(words[1]), "", words[2], ""))
    return out


def tail(lines, count=10):
    return "\n  ".join([""] + lines[-count:])


class Results:
    """What one boot reported on the second serial port, a line each."""

    def __init__(self, data, console=None):
        self.lines = whole_lines(data)
        self.console = console

    def events(self):
        """The file changes reported after the last "armed"."""
        marks = [i for i, line in enumerate(self.lines) if line == "armed"]
        return file_changes(self.lines[marks[-1] + 1:]) if marks else []

    def tagged(self, tag):
        """The files reported under tag: name: (sha, mode, size)."""
        files = {}
        for line in self.lines:
            words = line.split()
            if len(words) == 5 and words[0] == tag:
                files[words[1]] = (words[2], words[3], int(words[4]))
        return files

    def said(self, prefix):
        return next((line[len(prefix):].strip() for line in self.lines if line.startswith(prefix)), None)


def boot(out, fix, scratch, disk, check, install, delay=None, anchor=PACKAGE_LEFT, writeback="none", timeout=240):
    """One boot of the image on a disk, and its Results. With delay, qemu is killed that many
    seconds after the guest reported the file change anchor of the install; without, the
    guest powers off at the session's end. Installs of the kind writeback run with /data
    written back all the time. A boot that ends otherwise is a HarnessError."""
    if STOP.is_set():
        raise Stopped()
    results, console, errors = scratch / "results", scratch / "console", scratch / "qemu.err"
    results.write_bytes(b"")
    # gateway.sh boot becomes qemu: killing it cuts the power.
    with open(errors, "wb") as stderr:
        qemu = subprocess.Popen(
            ["sh", str(GATEWAY), "boot", "power-cut", str(console), str(results), str(fix.initrd), str(disk),
             f"check={check}", f"install={install}", f"writeback={writeback}"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr)
    deadline = time.monotonic() + timeout
    ended = None
    try:
        with open(results, "rb") as feed:
            seen = b""
            while qemu.poll() is None:
                if STOP.is_set():
                    raise Stopped()
                chunk = feed.read()
                seen += chunk
                armed = seen.find(b"\narmed\r\n")
                if delay is not None and armed >= 0 and line_of(anchor) in seen[armed:]:
                    time.sleep(delay)
                    ended = "cut"
                    break
                if time.monotonic() > deadline:
                    ended = f"still running after {timeout} s"
                    break
                if not chunk:
                    time.sleep(0.002)
            qemu.kill()
            qemu.wait()
            seen += feed.read()
    finally:
        if qemu.poll() is None:
            qemu.kill()
            qemu.wait()
    if ended is None:
        ended = "powered off" if qemu.returncode == 0 else f"qemu exit status {qemu.returncode}"
    planned = "cut" if delay is not None else "powered off"
    reported = Results(seen, console)
    if ended != planned:
        shown = console.read_bytes().decode(errors="replace").splitlines() if console.exists() else []
        raise HarnessError(f"the boot with check={check} install={install} ended {ended}, not {planned};"
                           f" its results:{tail(reported.lines)}\nits console:{tail(shown)}\n"
                           f"qemu's errors:{tail(errors.read_text(errors='replace').splitlines())}")
    return reported


def phase(kind, events):
    """Where the install had got when the power went, from the file changes seen: an index
    into PHASES. A record that a plugin install writes before its unpack is the guard."""
    at = None
    closed = set()
    plugin = kind in PLUGIN_KINDS
    unpack = PHASES.index("during the unpack or copy")
    for _, folder, event, name in events:
        change = (folder, event, name)
        if change == PACKAGE_LEFT:
            at = 0
        elif at is None:
            continue
        elif change == ("/tmp/.uci", "delete", "ttupgrade.tgz"):
            at = max(at, PHASES.index("after the removal of the package"))
        elif folder != "/data":
            continue
        elif (event, name) in (("create", ".bootchk.new"), ("moved-to", ".bootchk")):
            step = "during the guard write" if plugin and at < unpack else "during the record write"
            at = max(at, PHASES.index(step) + (event == "moved-to"))
        elif plugin and name in PLUGIN_MODES and event in ("create", "delete"):
            at = max(at, unpack)
        elif plugin and name in PLUGIN_MODES and event == "closed":
            closed.add(name)
            if closed == set(PLUGIN_MODES):
                at = max(at, unpack + 1)
        elif not plugin and (event, name) == ("create", IMAGES[kind] + ".new"):
            at = max(at, unpack)
        elif not plugin and (event, name) == ("moved-to", IMAGES[kind]):
            at = max(at, unpack + 1)
    return at


def install_times(out, fix, scratch):
    """How long each kind's install took in one uncut boot, the second of two, from each
    anchor it passed (the package left, the unpack begun) to its last rename of the record (a
    plugin over a plugin renames its guard first), in seconds: (kind, anchor): seconds."""
    scratch.mkdir(parents=True, exist_ok=True)
    disk = scratch / "calibrate.img"
    fix.disk(disk)
    report = boot(out, fix, scratch, disk, "none", "calibrate", writeback=WRITTEN_BACK)
    disk.unlink()
    found = {}
    # As the session runs them.
    kinds = iter(KINDS * 2)
    anchors = renamed = None
    for ms, *change in file_changes(report.lines):
        change = tuple(change)
        if change == PACKAGE_LEFT:
            anchors, renamed = {PACKAGE_LEFT: ms}, None
        elif change == UNPACK_BEGUN and anchors is not None:
            anchors.setdefault(UNPACK_BEGUN, ms)
        elif change == ("/data", "moved-to", ".bootchk"):
            renamed = ms
        elif change == NEXT_CYCLE and anchors is not None and renamed is not None:
            kind = next(kinds)
            found.update({(kind, anchor): (renamed - at) / 1000 for anchor, at in anchors.items()})
            anchors = None
    wanted = {(kind, PACKAGE_LEFT) for kind in KINDS} | set(ROTATION)
    if not wanted <= set(found):
        raise HarnessError(f"the uncut installs did not complete; their results:{tail(report.lines, 20)}")
    return {key: found[key] for key in wanted}


def windows(out, fix, work, jobs):
    """The install times, uncut, as long as they are with jobs boards running side by side:
    the mean of one boot on each."""
    found = [None] * jobs

    def measure(j):
        found[j] = install_times(out, fix, work / f"board-{j}")

    side_by_side(measure, jobs)
    return {key: sum(f[key] for f in found) / jobs for key in found[0]}


# --- A run -----------------------------------------------------------------------------------

class Cut:
    def __init__(self, number, kind, anchor, delay=0.0):
        self.number, self.kind, self.anchor, self.delay = number, kind, anchor, delay
        self.phase = None
        self.record = None
        self.plugin = None
        self.torn = []


def judge_guest(fix, cut, host, results):
    """Adds what the next boot saw to the cut's verdict."""
    if "found end" not in results.lines or "next end" not in results.lines:
        raise HarnessError(f"the boot after cut {cut.number} did not report the disk and the next install;"
                           f" its results:{tail(results.lines)}")
    found = results.tagged("found")
    if host is None:
        cut.record, cut.plugin, torn = verdict(fix, cut.kind, found)
        cut.torn += [f"guest: {t}" for t in torn]
    elif found != host:
        cut.torn.append("host and guest see different files: " +
                        ", ".join(sorted(n for n in set(found) | set(host) if found.get(n) != host.get(n))))
    if host is not None:
        _, _, torn = verdict(fix, cut.kind, found)
        cut.torn += [f"guest: {t}" for t in torn]
    wanted = "plugin" if gives_plugin(cut.kind, cut.record) else "base"
    mode = results.said("mode ")
    if mode != wanted:
        cut.torn.append(f"the daemon came up in mode {mode}, the record calls for {wanted}")
    nxt = results.tagged("next")
    record = [line for line in results.lines if line.startswith("record ")]
    if results.said("next ") != "done":
        cut.torn.append(f"the next install: {results.said('next ')}")
    else:
        nxt[".bootchk.text"] = record[-1][len("record "):] if record else ""
        why = next_install_fails(fix, cut.kind, nxt)
        if why:
            cut.torn.append(f"the next install: {why}")


def chain(args, fix, cuts, scratch, report):
    """Runs cuts one after the other on one disk: each boot checks the previous cut and makes
    the next one."""
    scratch.mkdir(parents=True, exist_ok=True)
    disk = scratch / "disk.img"
    fix.disk(disk)
    previous = None
    host = None
    for cut in cuts + [None]:
        check = previous.kind if previous else "none"
        install = cut.kind if cut else "none"
        written_back = cut and cut.kind == WRITTEN_BACK and cut.anchor != NEXT_CYCLE
        results = boot(args.out, fix, scratch, disk, check, install, cut.delay if cut else None,
                       cut.anchor if cut else PACKAGE_LEFT, WRITTEN_BACK if written_back else "none")
        if previous:
            judge_guest(fix, previous, host, results)
            if args.keep:
                (scratch / f"cut-{previous.number}.next").write_text("\n".join(results.lines) + "\n")
            report(previous, scratch)
        if not cut:
            break
        # The cut came after the guest had reported the package left.
        cut.phase = phase(cut.kind, results.events())
        if cut.phase is None:
            raise HarnessError(f"cut {cut.number}: no package among the file changes read;"
                               f" the results:{tail(results.lines)}")
        if fix.fs == "ext4":
            host, problems = host_files(disk, scratch)
            cut.record, cut.plugin, torn = verdict(fix, cut.kind, host)
            cut.torn += problems + [f"host: {t}" for t in torn]
        if args.keep:
            shutil.copyfile(disk, scratch / f"cut-{cut.number}.img")
            shutil.copyfile(results.console, scratch / f"cut-{cut.number}.console")
            (scratch / f"cut-{cut.number}.results").write_text("\n".join(results.lines) + "\n")
        previous = cut


def table(cuts):
    """A row for each phase, and for each kind: the cuts that landed there, those that left
    each record whole (old, guard, new), those that left the disk torn."""
    groups = [(k, [s for s in ("old", "guard", "new") if s in records(k)]) for k in KINDS]
    head = f"{'where the cut landed':<34}"
    sub = f"{'':<34}"
    for kind, states in groups:
        head += f"{LABELS[kind]:>{8 + 6 * (len(states) + 1)}}"
        sub += f"{'cuts':>8}" + "".join(f"{word:>6}" for word in [*states, "torn"])
    rows = [head, sub]
    for number, name in enumerate(PHASES):
        row = f"{name:<34}"
        for kind, states in groups:
            these = [c for c in cuts if c.kind == kind and c.phase == number]
            counts = [len(these), *(sum(1 for c in these if c.record == s and not c.torn) for s in states),
                      sum(1 for c in these if c.torn)]
            row += f"{counts[0]:>8}" + "".join(f"{n:>6}" for n in counts[1:])
        rows.append(row)
    return "\n".join(rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("cuts", type=int)
    parser.add_argument("--out", type=Path, required=True, help="the gateway's build directory")
    parser.add_argument("--jobs", type=int, default=2, help="boards cut side by side")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--at-next-cycle", type=int, default=0, metavar="K",
                        help="K more plugin installs (130, 130p in turn) cut at the next cycle's first start")
    parser.add_argument("--daemon", help="another static daemon for the image")
    parser.add_argument("--fs", choices=("ext4", "ubifs"), default="ext4",
                        help="the file system of /data (UBIFS: checked from the guest only)")
    parser.add_argument("--keep", type=Path, help="where to keep torn cuts' disks and consoles")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 30)
    work = Path(tempfile.mkdtemp(prefix="power-cut-", dir=args.out))
    try:
        fix = Fixtures(args.out, work, seed, args.daemon, args.fs)
        jobs = max(1, args.jobs)
        window = windows(args.out, fix, work, jobs)
        shown = [(k, a) for k in KINDS for a in FROM if (k, a) in window]
        print(f"seed {seed}; install windows, uncut: " +
              ", ".join(f"{LABELS[k]}{FROM[a]}: {window[k, a]:.2f} s" for k, a in shown), flush=True)
        rng = random.Random(seed)
        cuts = [Cut(i + 1, *ROTATION[i % len(ROTATION)]) for i in range(args.cuts)]
        for cut in cuts:
            cut.delay = rng.uniform(0, WINDOW_SPAN * window[cut.kind, cut.anchor])
        cuts += [Cut(args.cuts + i + 1, PLUGIN_KINDS[i % 2], NEXT_CYCLE) for i in range(args.at_next_cycle)]
        lock = threading.Lock()

        def report(cut, scratch):
            with lock:
                where = PHASES[cut.phase]
                result = "TORN: " + "; ".join(cut.torn) if cut.torn else f"record {cut.record}, plugin {cut.plugin}"
                when = f"at {cut.delay:.3f} s{FROM[cut.anchor]}" if cut.anchor in FROM else "at the next cycle"
                print(f"cut {cut.number}: {LABELS[cut.kind]} {when}, {where}: {result}", flush=True)
                if cut.torn and args.keep:
                    args.keep.mkdir(parents=True, exist_ok=True)
                    for suffix in ("img", "console", "results", "next"):
                        kept = scratch / f"cut-{cut.number}.{suffix}"
                        if kept.exists():
                            shutil.copyfile(kept, args.keep / kept.name)

        jobs = min(jobs, len(cuts))
        side_by_side(lambda j: chain(args, fix, cuts[j::jobs], work / f"board-{j}", report), jobs)
        torn = sum(1 for c in cuts if c.torn)
        print(table(cuts))
        print(f"cuts: {len(cuts)}, torn: {torn}")
        return 1 if torn else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
