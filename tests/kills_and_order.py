#!/usr/bin/env python3
"""Runs killed at random moments or at each system call, and the order of their calls.

  kills_and_order.py PROGRAM [FAIL_IO_LIBRARY]

(CTest passes the fault library as it does to the other safety tests; nothing here uses it.)
"""
# Rows here: SIGKILL at random moments of a large run; the order of writes, flushes and renames
# as strace sees it (durability); and every system call of a small run killed or failed in turn
# (SWEEP_RUNS, SWEEP_ERRORS). A fault at one named call through fail_io goes to injected_faults.py.
import concurrent.futures
import hashlib
import os
import random
import re
import shutil
import signal
import stat
import tempfile
import threading
import time

from testlib import (CHANGED, NOBODY, ORIGIN, OTHER_LINES, STARTS, Folder, as_user, check_outcome,
                     check_quiet, identity, main, marker, run, skip, under_strace)


def large_settings(megabytes, value):
    random.seed(197311)
    parts = [b"; generated\n"]
    size = 0
    index = 0
    while size < megabytes * 1024 * 1024:
        part = b"[section%d]\nkey=%s\n; note\n\n" % (index, b"v" * random.randint(10, 200))
        parts.append(part)
        size += len(part)
        index += 1
    parts.append(b"[tovrin]\nmdb=%s\n" % value)
    return b"".join(parts)


def test_kill_mid_write(program, failures, kills=100):
    """SIGKILL at random moments: the file always exists and is the old bytes or the new."""
    with Folder(program) as folder:
        versions = {b"ko197311": large_settings(24, b"ko197311"), b"jas197311": large_settings(24, b"jas197311")}
        digests = {hashlib.sha256(v).digest(): k for k, v in versions.items()}
        folder.write(versions[b"ko197311"])
        # The first runs after writing 24 MB are slow while the disk catches up: time later ones.
        durations = []
        for switch in ["/i", "/u"] * 4:
            started = time.monotonic()
            folder.run(switch)
            durations.append(time.monotonic() - started)
        duration = sorted(durations[2:])[2]
        rng = random.Random(4)
        interrupted = 0
        leftovers = 0
        for attempt in range(kills):
            current = digests.get(hashlib.sha256(folder.read() or b"").digest())
            switch = "/u" if current == b"jas197311" else "/i"
            process = folder.start(switch)
            time.sleep(rng.uniform(0, duration))
            interrupted += process.poll() is None
            process.send_signal(signal.SIGKILL)
            process.wait()
            content = folder.read()
            failures.check(content is not None, f"kill {attempt}: settings.ini is gone")
            failures.check(hashlib.sha256(content or b"").digest() in digests,
                           f"kill {attempt}: neither the old nor the new file ({len(content or b'')} bytes)")
            leftovers += len(folder.leftovers())
            for name in folder.leftovers():
                os.remove(os.path.join(folder.root, name))
        print(f"kill mid-write: {kills} kills of {duration:.3f} s runs on a {len(versions[b'ko197311'])} byte file, "
              f"{interrupted} of them while running; {leftovers} temporary names left")
        failures.check(interrupted > kills // 2, f"only {interrupted} of {kills} kills landed while the program ran")
    check_kill_in_place(program, failures)


def common_prefix(a, b):
    """How many leading bytes `a` and `b` share."""
    low, high = 0, min(len(a), len(b))
    while low < high:
        middle = (low + high + 1) // 2
        low, high = (middle, high) if a[:middle] == b[:middle] else (low, middle - 1)
    return low


def check_kill_in_place(program, failures, kills=20):
    """In place (a second hard link), SIGKILL as soon as the first changed byte shows: Linux ends
    a write between pages on a fatal signal, so the file may be left mixed, new up to a page and
    old after. Counted, not forbidden: the file is still there, and each part old or new."""
    with Folder(program) as folder:
        old = b"[tovrin]\nmdb=jas197311\n" + b"; %s\n" % (b"p" * 80) * 10800  # 880 KB
        new = old.replace(b"mdb=jas197311", b"mdb=ko197311", 1)
        changed_at = len(b"[tovrin]\nmdb=")
        mixed = 0
        for attempt in range(kills):
            folder.write(old)
            os.link(folder.settings, folder.settings + ".link")
            process = folder.start("/u")
            with open(folder.settings, "rb") as f:
                while os.pread(f.fileno(), 1, changed_at) == old[changed_at:changed_at + 1]:
                    if process.poll() is not None:
                        break
            process.send_signal(signal.SIGKILL)
            process.wait()
            content = folder.read() or b""
            as_new = common_prefix(content, new)  # new up to here
            as_old = len(content) - common_prefix(content[::-1], old[::-1])  # old from here on
            failures.check(content in (old, new) or (len(content) == len(old) and as_old <= as_new),
                           f"in place, kill {attempt}: {len(content)} bytes, new up to {as_new}, old "
                           f"from {as_old}")
            mixed += content not in (old, new)
            os.remove(folder.settings + ".link")
        print(f"kill mid-write in place: {mixed} of {kills} kills on an {len(old)} byte hard-linked "
              f"file left it mixed")


SYSCALL = re.compile(r"^\d+\s+(\w+)\((.*)\)\s+= (-?\d+)")
FD_ARGUMENT = re.compile(r"(?:^|, )(\d+)<([^>]*)>")
WRITES = {"pwrite64", "pwritev", "pwritev2", "write", "writev", "sendfile", "copy_file_range"}


def traced_calls(folder, switch, user=None):
    """The run's file calls as (name, fd, fd's path, last quoted argument, result), in order."""
    log = os.path.join(tempfile.mkdtemp(prefix="ko197311-strace-"), "calls")
    traced = ",".join(sorted(WRITES)) + (",open,openat,fsync,fdatasync,ftruncate,close,link,linkat,"
                                         "rename,renameat,renameat2,syncfs,fchmod,fsetxattr")
    command = folder.command(switch)
    run(under_strace(as_user(user, command) if user else command, trace=traced, log=log,
                     options=("-y", "-s", "0")))
    calls = []
    for line in open(log, errors="replace"):
        found = SYSCALL.match(line)
        if not found:
            continue
        name, arguments, result = found.groups()
        fds = FD_ARGUMENT.findall(arguments)
        fd = fds[1] if name == "copy_file_range" and len(fds) > 1 else fds[0] if fds else (None, None)
        strings = re.findall(r'"((?:[^"\\]|\\.)*)"', arguments)
        calls.append((name, fd[0] and int(fd[0]), fd[1], strings[-1] if strings else None, int(result)))
    shutil.rmtree(os.path.dirname(log))
    return calls


def first_index(calls, start, wanted):
    return next((i for i in range(start, len(calls)) if wanted(calls[i])), None)


def check_new_file_order(failures, label, calls, directory):
    """Content written, then fsync of that file, then link or rename into place, then fsync of
    the directory: a crash at any point leaves the old file or the whole new one."""
    placed = [i for i, c in enumerate(calls) if c[0] in ("link", "linkat", "rename", "renameat", "renameat2")
              and c[4] == 0 and os.path.basename(c[3] or "") == "settings.ini"]
    failures.check(len(placed) == 1, f"{label}: {len(placed)} links or renames onto settings.ini")
    if len(placed) != 1:
        return
    writes = [i for i in range(placed[0]) if calls[i][0] in WRITES and calls[i][1] is not None
              and calls[i][2].startswith(directory + "/")]
    failures.check(writes != [], f"{label}: no content written before it was put in place")
    if not writes:
        return
    fd = calls[writes[-1]][1]
    synced = first_index(calls, writes[-1], lambda c: c[1] == fd and c[0] in ("fsync", "fdatasync", "close"))
    failures.check(synced is not None and synced < placed[0] and calls[synced][0] != "close",
                   f"{label}: the new file is not flushed between its last write and its placing")
    # A folder that cannot be opened to flush it (mode 0311) is flushed with its whole filesystem.
    directory_synced = first_index(calls, placed[0], lambda c: (c[0] == "fsync" and c[2] == directory
                                                                or c[0] == "syncfs" and c[4] == 0))
    failures.check(directory_synced is not None, f"{label}: the directory is not flushed after the placing")


def check_in_place_order(failures, label, calls, settings):
    """Rewritten in place: the content, then the cut to its new size, then fsync of the file."""
    writes = [i for i, c in enumerate(calls) if c[0] in WRITES and c[2] == settings]
    failures.check(writes != [], f"{label}: nothing written to settings.ini")
    if not writes:
        return
    fd = calls[writes[-1]][1]
    cut = first_index(calls, writes[-1], lambda c: c[1] == fd and c[0] in ("ftruncate", "close"))
    failures.check(cut is not None and calls[cut][0] == "ftruncate", f"{label}: no ftruncate after the write")
    synced = cut is not None and first_index(calls, cut, lambda c: c[1] == fd and c[0] in ("fsync", "close"))
    failures.check(bool(synced) and calls[synced][0] == "fsync", f"{label}: no fsync after the ftruncate")
    # What the write took and the run put back (set-ID bits, capabilities) is flushed again.
    put_back = [i for i, c in enumerate(calls) if c[1] == fd and c[0] in ("fchmod", "fsetxattr")
                and i > (synced or 0)]
    if put_back:
        again = first_index(calls, put_back[-1], lambda c: c[1] == fd and c[0] in ("fsync", "close"))
        failures.check(again is not None and calls[again][0] == "fsync",
                       f"{label}: no fsync after the set-ID bits were put back")


def test_durability(program, failures):
    """The order of the calls that make a set survive a power cut, as strace sees them."""
    if not shutil.which("strace"):
        return skip(failures, "strace is not installed (bash tools/setup installs it)",
                    "durability test")
    for start in ["existing", "missing"]:
        with Folder(program) as folder:
            if start == "existing":
                folder.write(OTHER_LINES)
            calls = traced_calls(folder, "/u")
            check_new_file_order(failures, f"durability, {start} file", calls, os.path.realpath(folder.root))
            failures.check(marker(folder.read() or b"") == "ko197311", f"durability, {start} file: not set")

    # Another user's file in a folder it may write but not read (0311), which cannot be opened to
    # flush it; and in one where no new file can be made (0555), which it rewrites in place.
    for mode, check, label in [(0o311, check_new_file_order, "durability, 0311 folder"),
                               (0o555, check_in_place_order, "durability, in place")]:
        with Folder(program, content=OTHER_LINES) as folder:
            user = None
            if os.geteuid() == 0:
                os.chown(folder.root, NOBODY, NOBODY)
                os.chown(folder.settings, NOBODY, NOBODY)
                user = NOBODY
            if check is check_in_place_order:
                # No set-ID bit: a file with one is never rewritten in place, where a write takes it.
                os.chmod(folder.settings, 0o666)
            os.chmod(folder.root, mode)
            calls = traced_calls(folder, "/u", user)
            os.chmod(folder.root, 0o755)
            watched = folder.root if check is check_new_file_order else folder.settings
            check(failures, label, calls, os.path.realpath(watched))
            failures.check(marker(folder.read() or b"") == "ko197311", f"{label}: not set")
            if check is check_in_place_order:
                mode = stat.S_IMODE(os.stat(folder.settings).st_mode)
                failures.check(mode == 0o666, f"{label}: mode {mode:04o}")
                changed_mode = [c for c in calls if c[0] in ("fchmod", "fsetxattr")
                                and c[2] == os.path.realpath(watched)]
                failures.check(changed_mode == [], f"{label}: its mode or attributes set: {changed_mode}")
    print("durability: the order of writes, flushes and renames traced in four runs")


# Small runs whose every system call the sweep kills, and fails, in turn: the start, the switch,
# and whether the run is another user's in a folder where no new file can be made (in place).
SWEEP_RUNS = [
    ("replace", OTHER_LINES, "/u", False),
    ("in place, growing", OTHER_LINES, "/u", True),
    ("in place, shrinking", STARTS["marked"], "/d", True),
    ("in place, growing mid-file", b"[tovrin]\nmdb=old\nx=1\n", "/u", True),
]
STRACE_CALL = re.compile(r"^\d+\s+(\w+)\(")
# Each call is failed with EIO; those that take space also with a full disk.
SWEEP_ERRORS = {"pwrite64": ["EIO", "ENOSPC"], "fallocate": ["EIO", "ENOSPC"]}


class SweepFolder(Folder):
    """A folder for one kind of run, set up again before each point."""

    def __init__(self, program, start, in_place):
        super().__init__(program)
        self.start, self.in_place = start, in_place
        self.user = NOBODY if in_place else None

    def reset(self):
        os.chmod(self.root, 0o755)
        for name in os.listdir(self.root):
            if name.startswith((".settings", "settings.ini")):
                os.remove(os.path.join(self.root, name))
        self.write(self.start)
        os.chmod(self.settings, 0o644)
        os.setxattr(self.settings, *ORIGIN)
        if self.in_place:
            os.chown(self.root, NOBODY, NOBODY)
            os.chown(self.settings, NOBODY, NOBODY)
            os.chmod(self.root, 0o555)

    def traced(self, switch, log="/dev/null", call=None, inject=None, when=None):
        return run(under_strace(self.command(switch), call, inject, when, log=log), user=self.user)


def sweep_calls(folder, switch):
    """The system calls of a clean run, as (name, how many times) in order of first use."""
    log = os.path.join(tempfile.mkdtemp(prefix="ko197311-sweep-"), "calls")
    os.chmod(os.path.dirname(log), 0o777)
    folder.reset()
    folder.traced(switch, log)
    counts = {}
    for line in open(log, errors="replace"):
        found = STRACE_CALL.match(line)
        if found:
            counts[found.group(1)] = counts.get(found.group(1), 0) + 1
    shutil.rmtree(os.path.dirname(log))
    return list(counts.items())


def sweep_point(folder, switch, before, new, window, action, name, when):
    """Kills or fails one call; then the file must be old or new, and a clean run must mend it."""
    folder.reset()
    surrounding = identity(folder.settings)
    folder.traced(switch, call=name, inject=action, when=when)
    after = folder.read()
    problems = []
    # The one window no in-place writer closes: killed between a shorter write and the cut.
    allowed = [before, new] + ([window] if window and action == "signal=KILL" else [])
    if after not in allowed:
        problems.append(f"file is neither old nor new: {after!r}")
    elif identity(folder.settings) != surrounding:
        problems.append(f"identity {identity(folder.settings)}, was {surrounding}")
    folder.run(switch, user=folder.user)
    after = folder.read()
    if after != new and not (after == window and marker(after) == marker(new)):
        problems.append(f"a clean run afterwards gives {after!r}")
    if folder.leftovers():
        problems.append(f"a clean run afterwards leaves {folder.leftovers()}")
    return problems


def test_system_call_sweep(program, failures, workers=2):
    """Every system call of a small run killed there, and failed there (EIO), in turn: replacing
    the file, and in place growing and shrinking it. The file stays old or new with its mode,
    owner and attributes, and a clean run afterwards reaches the new content, leaving nothing."""
    if not shutil.which("strace") or os.geteuid() != 0:
        return skip(failures, "the system call sweep needs strace and root", "system call sweep")
    started = time.monotonic()
    points = []
    for label, start, switch, in_place in SWEEP_RUNS:
        folder = SweepFolder(program, start, in_place)
        calls = sweep_calls(folder, switch)
        new = folder.read()
        window = new + start[len(new):] if len(new) < len(start) else None
        folder.remove()
        for name, count in calls:
            for when in range(1, count + 1):
                for action in ["signal=KILL"] + [f"error={e}" for e in SWEEP_ERRORS.get(name, ["EIO"])]:
                    points.append((label, start, switch, in_place, new, window, action, name, when))
    local = threading.local()
    made = []

    def check(point):
        label, start, switch, in_place, new, window, action, name, when = point
        key = (start, in_place)
        folders = getattr(local, "folders", None) or {}
        local.folders = folders
        if key not in folders:
            folders[key] = SweepFolder(program, start, in_place)
            made.append(folders[key])
        return point, sweep_point(folders[key], switch, start, new, window, action, name, when)

    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        results = list(pool.map(check, points))
    failing = 0
    for (label, _, switch, _, _, _, action, name, when), problems in results:
        failing += bool(problems)
        failures.check(not problems, f"sweep, {label} {switch}, {action} at {name} #{when}: "
                                     f"{'; '.join(problems)}")
    for folder in made:
        folder.remove()
    print(f"system call sweep: {len(points)} points over {len(SWEEP_RUNS)} runs, {failing} failing, "
          f"in {time.monotonic() - started:.1f} s")


# A killed run's leftover (a temporary name, not locked) beside settings.ini: the owner of
# settings.ini (None: there is none yet), whether it has a second hard link (so the run goes in
# place), the leftover's owner, and whether root's run removes it. Every run that writes
# collects, but never another user's file, unless that user owns settings.ini.
LEFTOVER_ROWS = [
    ("no settings.ini yet, root's leftover", None, False, 0, True),
    ("root's settings.ini, user 1234's leftover", 0, False, 1234, False),
    ("user 1234's settings.ini, user 1234's leftover", 1234, False, 1234, True),
    ("root's settings.ini with a second hard link, root's leftover", 0, True, 0, True),
]
LEFTOVER = ".settings.ini.0123456789abcdef.tmp"


def test_leftovers(program, failures):
    """What killed runs left: collected by the next run that writes, whoever it may touch."""
    if os.geteuid() != 0:
        return skip(failures, "leftovers of other users need root", "leftovers test")
    for label, owner, linked, left_by, collected in LEFTOVER_ROWS:
        with Folder(program) as folder:
            before = None if owner is None else OTHER_LINES
            folder.write(before)
            if owner is not None:
                os.chown(folder.settings, owner, owner)
            if linked:
                os.link(folder.settings, os.path.join(folder.root, "second.ini"))
            # Made last, as a killed run's would be: the folder changed after settings.ini, a
            # clock tick later (the kernel's coarse clock may give both the same time).
            time.sleep(0.02)
            leftover = os.path.join(folder.root, LEFTOVER)
            with open(leftover, "wb") as f:
                f.write(b"[tovrin]\nmdb=half")
            os.chown(leftover, left_by, left_by)
            label = f"leftovers, {label}"
            result = folder.run("/u")
            check_quiet(failures, label, result)
            check_outcome(failures, label, before, folder.read(), CHANGED, "/u")
            failures.check(os.path.exists(leftover) != collected,
                           f"{label}: {'left' if collected else 'removed'} {LEFTOVER}")


def test_flush_under_its_name(program, failures):
    """A new file flushed while it had no name is flushed again once it is settings.ini, before
    the folder: Btrfs logs no flush of a file without a name, which a power cut would lose."""
    if not shutil.which("strace"):
        return skip(failures, "strace is not installed (bash tools/setup installs it)",
                    "flush test")
    for start in ["existing", "missing"]:
        with Folder(program) as folder:
            folder.write(STARTS[start])
            calls = traced_calls(folder, "/u")
            directory = os.path.realpath(folder.root)
            label = f"flushed under its name, {start} file"
            placed = first_index(calls, 0, lambda c: c[0] in ("link", "linkat", "rename", "renameat",
                                                              "renameat2") and c[4] == 0
                                 and os.path.basename(c[3] or "") == "settings.ini")
            failures.check(placed is not None, f"{label}: not linked or renamed into place")
            if placed is None:
                continue
            writes = [c[1] for c in calls[:placed] if c[0] in WRITES and c[1] is not None
                      and (c[2] or "").startswith(directory + "/")]
            failures.check(writes != [], f"{label}: no content written before it was placed")
            if not writes:
                continue
            flushed = first_index(calls, placed, lambda c: c[1] == writes[-1] and c[0] in (
                "fsync", "fdatasync", "close"))
            folder_flushed = first_index(calls, placed, lambda c: c[0] in ("fsync", "syncfs")
                                         and c[2] == directory)
            failures.check(flushed is not None and calls[flushed][0] != "close"
                           and (folder_flushed is None or flushed < folder_flushed),
                           f"{label}: not flushed again after it was placed, before the folder")


# A run's cost does not grow with the folder's other entries: beside a few thousand other files
# and no sign of a leftover (no second name, the folder unchanged since the file), a run that
# replaces the file reads none of them; its own temporary does not count as a sign.
CROWDED_ROWS = [("one run", 1), ("three runs in a row", 3)]


def test_crowded_folder(program, failures):
    if not shutil.which("strace"):
        return skip(failures, "strace is not installed (bash tools/setup installs it)",
                    "crowded folder test")
    for label, runs in CROWDED_ROWS:
        with Folder(program) as folder, tempfile.TemporaryDirectory() as logs:
            for number in range(3000):
                open(os.path.join(folder.root, f"other{number}.ini"), "wb").close()
            time.sleep(0.02)  # a later clock tick than the folder's last change
            folder.write(OTHER_LINES)
            log = os.path.join(logs, "calls")
            label = f"beside 3,000 other files, {label}"
            for switch in ["/u", "/i", "/u"][:runs]:
                result = folder.run(switch, wrap=lambda c: under_strace(c, trace="getdents64",
                                                                        log=log))
                check_quiet(failures, label, result)
                with open(log) as calls:
                    reads = sum("getdents64(" in line for line in calls)
                failures.check(reads == 0, f"{label}: {switch} read the folder {reads} times")
            check_outcome(failures, label, OTHER_LINES, folder.read(), CHANGED, "/u")


def test(failures, program, _unused_library=None):
    program = os.path.abspath(program)
    test_kill_mid_write(program, failures)
    test_durability(program, failures)
    test_system_call_sweep(program, failures)
    test_leftovers(program, failures)
    test_flush_under_its_name(program, failures)
    test_crowded_folder(program, failures)


if __name__ == "__main__":
    main(__doc__, test)
