#!/usr/bin/env python3
"""Runs killed at random moments or at each system call, and the order of their calls.

  kills_and_order.py PROGRAM [FAIL_IO_LIBRARY]

(CTest passes the fault library as it does to the other safety tests; nothing here uses it.)
"""
# Rows here: SIGKILL at random moments of a large run; the order of writes, flushes and renames
# as strace sees it (ORDER_ROWS); and every system call of a small run killed or failed in turn
# (SWEEP_RUNS, SWEEP_ERRORS). A fault at one named call through fail_io goes to injected_faults.py.
import collections
import concurrent.futures
import os
import random
import re
import shutil
import tempfile
import time

from testlib import (CHANGED, NOBODY, ORIGIN, OTHER_LINES, STARTS, Folder, check_outcome,
                     check_quiet, identity, main, marker, run, skip, timed, under_strace,
                     wait_until, write_bytes)


def test_kill_mid_write(program, failures, kills=100):
    """SIGKILL at random moments: the file always exists and is the old bytes or the new."""
    rng = random.Random(197311)  # 188,754 sections of random length: the first 24 MiB
    sections = b"; generated\n" + b"".join(b"[section%d]\nkey=%s\n; note\n\n" % (
        index, b"v" * rng.randint(10, 200)) for index in range(188754))
    old, new = sections + b"[tovrin]\nmdb=ko197311\n", sections + b"[tovrin]\nmdb=jas197311\n"
    with Folder(program, content=old) as folder:
        # The first runs after writing 24 MB are slow while the disk catches up: time later ones.
        duration = sorted([timed(folder.run, switch)[1] for switch in ["/i", "/u"] * 4][2:])[2]
        rng = random.Random(4)
        interrupted = leftovers = 0
        for attempt in range(kills):
            process = folder.start("/u" if folder.read() == new else "/i")
            time.sleep(rng.uniform(0, duration))
            interrupted += process.poll() is None
            process.kill()
            process.wait()
            content = folder.read()
            failures.check(content is not None, f"kill {attempt}: settings.ini is gone")
            failures.check(content in (old, new), f"kill {attempt}: neither the old nor the new "
                                                  f"file ({len(content or b'')} bytes)")
            for name in folder.leftovers():
                os.remove(os.path.join(folder.root, name))
                leftovers += 1
        print(f"kill mid-write: {kills} kills of {duration:.3f} s runs on a {len(old)} byte file, "
              f"{interrupted} of them while running; {leftovers} temporary names left")
        failures.check(interrupted > kills // 2,
                       f"only {interrupted} of {kills} kills landed while the program ran")
    check_kill_in_place(program, failures)


def common_prefix(a, b):
    """How many leading bytes `a` and `b` share (found from the highest bit set in their XOR)."""
    n = min(len(a), len(b))
    return n - ((int.from_bytes(a[:n], "big") ^ int.from_bytes(b[:n], "big")).bit_length() + 7) // 8


def check_kill_in_place(program, failures, kills=20):
    """In place (a second hard link), SIGKILL as soon as the first changed byte shows: Linux ends
    a write between pages on a fatal signal, so the file may be left mixed, new up to a page and
    old after. Counted, not forbidden: the file is still there, and each part old or new."""
    old = b"[tovrin]\nmdb=jas197311\n" + b"; %s\n" % (b"p" * 80) * 10800  # 880 KB
    new = old.replace(b"mdb=jas197311", b"mdb=ko197311", 1)
    changed_at = len(b"[tovrin]\nmdb=")  # the first byte that changes, j to k
    mixed = 0
    with Folder(program) as folder:
        for attempt in range(kills):
            folder.write(old)
            os.link(folder.settings, folder.settings + ".link")
            process = folder.start("/u")
            with open(folder.settings, "rb") as f:
                wait_until(lambda: os.pread(f.fileno(), 1, changed_at) != b"j"
                           or process.poll() is not None, 60, step=0)
            process.kill()
            process.wait()
            content = folder.read() or b""
            as_new = common_prefix(content, new)  # new up to here
            as_old = len(content) - common_prefix(content[::-1], old[::-1])  # old from here on
            failures.check(content in (old, new) or (len(content) == len(old) and as_old <= as_new),
                           f"in place, kill {attempt}: {len(content)} bytes, new up to {as_new}, "
                           f"old from {as_old}")
            mixed += content not in (old, new)
            os.remove(folder.settings + ".link")
    print(f"kill mid-write in place: {mixed} of {kills} kills on an {len(old)} byte hard-linked "
          f"file left it mixed")


# A call strace logged, and returned from: its name, its arguments and its result.
SYSCALL = re.compile(r"^\d+\s+(\w+)\((.*)\)\s+= (-?\d+|\?)")


def strace_calls(command, user=None, **options):
    """The command run under strace (under_strace's `options`), both as `user`; and its calls."""
    with tempfile.TemporaryDirectory(prefix="ko197311-strace-") as logs:
        os.chmod(logs, 0o777)  # another user's strace writes its log here
        log = os.path.join(logs, "calls")
        result = run(under_strace(command, log=log, **options), user=user)
        lines = open(log, errors="replace").read().splitlines()
        return result, [found.groups() for found in map(SYSCALL.match, lines) if found]


FD_ARGUMENT = re.compile(r"(?:^|, )(\d+)<([^>]*)>")
WRITES = {"pwrite64", "pwritev", "pwritev2", "write", "writev", "sendfile", "copy_file_range"}
PLACINGS = {"link", "linkat", "rename", "renameat", "renameat2"}
TRACED = ",".join(sorted(WRITES | PLACINGS)) + (",open,openat,fsync,fdatasync,ftruncate,close,"
                                                 "syncfs,fchmod,fsetxattr")


def file_call(name, arguments, status):
    """A call traced with paths (-y) as (name, fd, fd's path, last quoted argument, result)."""
    fds = FD_ARGUMENT.findall(arguments) or [(None, None)]
    fd = fds[1] if name == "copy_file_range" and len(fds) > 1 else fds[0]
    strings = re.findall(r'"((?:[^"\\]|\\.)*)"', arguments) or [None]
    return name, fd[0] and int(fd[0]), fd[1], strings[-1], int(status)


def first_index(calls, start, wanted):
    return next((i for i in range(start, len(calls)) if wanted(calls[i])), None)


def next_before_close(calls, start, fd, names):
    """Where the descriptor's first call among these names is, from `start` on, if it comes
    before the descriptor's close; None if it does not."""
    found = first_index(calls, start, lambda c: c[1] == fd and c[0] in names + ("close",))
    return None if found is None or calls[found][0] == "close" else found


def placing(call):
    """A link or rename that put a file at settings.ini."""
    return (call[0] in PLACINGS and call[4] == 0
            and os.path.basename(call[3] or "") == "settings.ini")


def check_new_file_order(failures, label, calls, folder):
    """Content written, then fsync of that file, then link or rename into place, then fsync of
    the file under its name (Btrfs logs no flush of a file without a name, which a power cut
    would lose), then of the directory: a crash at any point leaves the old file or the new."""
    directory = os.path.realpath(folder.root)
    placings = sum(map(placing, calls))
    if not failures.check(placings == 1, f"{label}: {placings} links or renames onto settings.ini"):
        return
    placed = first_index(calls, 0, placing)
    writes = [i for i in range(placed) if calls[i][0] in WRITES
              and (calls[i][2] or "").startswith(directory + "/")]
    if not failures.check(writes != [], f"{label}: no content written before it was put in place"):
        return
    fd = calls[writes[-1]][1]
    synced = next_before_close(calls, writes[-1], fd, ("fsync", "fdatasync"))
    failures.check(synced is not None and synced < placed,
                   f"{label}: the new file is not flushed between its last write and its placing")
    flushed = next_before_close(calls, placed, fd, ("fsync", "fdatasync"))
    folder_flushed = first_index(calls, placed,
                                 lambda c: c[0] in ("fsync", "syncfs") and c[2] == directory)
    failures.check(flushed is not None and (folder_flushed is None or flushed < folder_flushed),
                   f"{label}: not flushed again after it was placed, before the folder")
    # A folder that cannot be opened to flush it (mode 0311) is flushed with its whole filesystem.
    directory_synced = first_index(calls, placed, lambda c: (c[0] == "fsync" and c[2] == directory
                                                             or c[0] == "syncfs" and c[4] == 0))
    failures.check(directory_synced is not None,
                   f"{label}: the directory is not flushed after the placing")


def check_in_place_order(failures, label, calls, folder):
    """Rewritten in place: the content, then the cut to its new size, then fsync of the file; its
    mode and attributes never set."""
    settings = os.path.realpath(folder.settings)
    writes = [i for i, c in enumerate(calls) if c[0] in WRITES and c[2] == settings]
    if failures.check(writes != [], f"{label}: nothing written to settings.ini"):
        fd = calls[writes[-1]][1]
        cut = next_before_close(calls, writes[-1], fd, ("ftruncate",))
        failures.check(cut is not None, f"{label}: no ftruncate after the write")
        synced = cut and next_before_close(calls, cut, fd, ("fsync",))
        failures.check(bool(synced), f"{label}: no fsync after the ftruncate")
        # What the write took and the run put back (set-ID bits, capabilities) is flushed again.
        put_back = [i for i, c in enumerate(calls) if c[1] == fd and c[0] in ("fchmod", "fsetxattr")
                    and i > (synced or 0)]
        if put_back:
            failures.check(next_before_close(calls, put_back[-1], fd, ("fsync",)) is not None,
                           f"{label}: no fsync after the set-ID bits were put back")
    mode = os.stat(folder.settings).st_mode & 0o7777
    failures.check(mode == 0o666, f"{label}: mode {mode:04o}")
    changed_mode = [c for c in calls if c[0] in ("fchmod", "fsetxattr") and c[2] == settings]
    failures.check(changed_mode == [], f"{label}: its mode or attributes set: {changed_mode}")


# Runs of /u traced, the order of their calls checked: the start, the file's mode, and the mode
# of its folder (None: root's own folder; else the file and folder are another user's). 0311 may
# be written but not read, so it cannot be opened to flush it; in 0555 no new file can be made, so
# the file is rewritten in place, a 0666 one: a file with a set-ID bit never is, as a write
# takes the bit.
ORDER_ROWS = [
    ("durability, existing file", OTHER_LINES, None, None, check_new_file_order),
    ("durability, missing file", None, None, None, check_new_file_order),
    ("durability, 0311 folder", OTHER_LINES, None, 0o311, check_new_file_order),
    ("durability, in place", OTHER_LINES, 0o666, 0o555, check_in_place_order),
]


def test_durability(program, failures):
    """The order of the calls that make a set survive a power cut, as strace sees them."""
    for label, start, mode, folder_mode, check in ORDER_ROWS:
        user = NOBODY if folder_mode and os.geteuid() == 0 else None
        with Folder(program, owner=user, content=start, mode=mode) as folder:
            os.chmod(folder.root, folder_mode or 0o700)  # 0700: as mkdtemp made it
            result, traced = strace_calls(folder.command("/u"), folder.owner, trace=TRACED,
                                          options=("-y", "-s", "0"))
            os.chmod(folder.root, 0o755)
            check_quiet(failures, label, result)
            check(failures, label, [file_call(*call) for call in traced], folder)
            failures.check(marker(folder.read() or b"") == "ko197311", f"{label}: not set")
    print(f"durability: the order of writes, flushes and renames traced in {len(ORDER_ROWS)} runs")


# Small runs whose every system call the sweep kills, and fails, in turn: the start, the switch,
# and whether the run is another user's in a folder where no new file can be made (in place).
SWEEP_RUNS = [
    ("replace", OTHER_LINES, "/u", False),
    ("in place, growing", OTHER_LINES, "/u", True),
    ("in place, shrinking", STARTS["marked"], "/d", True),
    ("in place, growing mid-file", b"[tovrin]\nmdb=old\nx=1\n", "/u", True),
]
# Each call is failed with EIO; those that take space also with a full disk.
SWEEP_ERRORS = {"pwrite64": ["EIO", "ENOSPC"], "fallocate": ["EIO", "ENOSPC"]}


def sweep_folder(program, start, in_place):
    """A folder for one of the sweep's runs, with an attribute on settings.ini (and mode 0644);
    in place, another user's, who is to run the program."""
    folder = Folder(program, owner=NOBODY if in_place else None, content=start, mode=0o644)
    os.setxattr(folder.settings, *ORIGIN)
    os.chmod(folder.root, 0o555 if in_place else 0o755)
    return folder


def sweep_point(program, point):
    """Kills or fails one call; then the file must be old or new, and a clean run must mend it."""
    _, before, switch, in_place, new, window, action, name, when = point
    with sweep_folder(program, before, in_place) as folder:
        surrounding = identity(folder.settings)
        run(under_strace(folder.command(switch), name, action, when), user=folder.owner)
        after = folder.read()
        problems = []
        # The one window no in-place writer closes: killed between a shorter write and the cut.
        allowed = [before, new] + ([window] if window and action == "signal=KILL" else [])
        if after not in allowed:
            problems.append(f"file is neither old nor new: {after!r}")
        elif identity(folder.settings) != surrounding:
            problems.append(f"identity {identity(folder.settings)}, was {surrounding}")
        folder.run(switch, user=folder.owner)
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
    if os.geteuid() != 0:
        return skip(failures, "the system call sweep needs root", "system call sweep")
    started = time.monotonic()
    points = []
    for label, start, switch, in_place in SWEEP_RUNS:
        with sweep_folder(program, start, in_place) as folder:
            _, traced = strace_calls(folder.command(switch), folder.owner)
            new = folder.read()
        # The system calls of a clean run, with how many times each, in order of first use.
        calls = collections.Counter(name for name, *_ in traced)
        window = new + start[len(new):] if len(new) < len(start) else None
        points += [(label, start, switch, in_place, new, window, action, name, when)
                   for name, count in calls.items() for when in range(1, count + 1)
                   for action in ["signal=KILL"] + [f"error={error}" for error in
                                                    SWEEP_ERRORS.get(name, ["EIO"])]]
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        results = list(pool.map(lambda point: sweep_point(program, point), points))
    for (label, _, switch, _, _, _, action, name, when), problems in zip(points, results):
        failures.check(not problems, f"sweep, {label} {switch}, {action} at {name} #{when}: "
                                     f"{'; '.join(problems)}")
    print(f"system call sweep: {len(points)} points over {len(SWEEP_RUNS)} runs, "
          f"{sum(map(bool, results))} failing, in {time.monotonic() - started:.1f} s")


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
        before = None if owner is None else OTHER_LINES
        with Folder(program, content=before) as folder:
            if owner is not None:
                os.chown(folder.settings, owner, owner)
            if linked:
                os.link(folder.settings, os.path.join(folder.root, "second.ini"))
            # Made last, as a killed run's would be: the folder changed after settings.ini, a
            # clock tick later (the kernel's coarse clock may give both the same time).
            time.sleep(0.02)
            leftover = os.path.join(folder.root, LEFTOVER)
            write_bytes(leftover, b"[tovrin]\nmdb=half")
            os.chown(leftover, left_by, left_by)
            label = f"leftovers, {label}"
            check_quiet(failures, label, folder.run("/u"))
            check_outcome(failures, label, before, folder.read(), CHANGED, "/u")
            failures.check(os.path.exists(leftover) != collected,
                           f"{label}: {'left' if collected else 'removed'} {LEFTOVER}")


# A run's cost does not grow with the folder's other entries: beside a few thousand other files
# and no sign of a leftover (no second name, the folder unchanged since the file), a run that
# replaces the file reads none of them; its own temporary does not count as a sign.
CROWDED_ROWS = [("one run", 1), ("three runs in a row", 3)]


def test_crowded_folder(program, failures):
    for label, runs in CROWDED_ROWS:
        with Folder(program) as folder:
            for number in range(3000):
                open(os.path.join(folder.root, f"other{number}.ini"), "wb").close()
            time.sleep(0.02)  # a later clock tick than the folder's last change
            folder.write(OTHER_LINES)
            label = f"beside 3,000 other files, {label}"
            for switch in ["/u", "/i", "/u"][:runs]:
                result, traced = strace_calls(folder.command(switch), trace="getdents64")
                check_quiet(failures, label, result)
                failures.check(traced == [],
                               f"{label}: {switch} read the folder {len(traced)} times")
            check_outcome(failures, label, OTHER_LINES, folder.read(), CHANGED, "/u")


def test(failures, program, _unused_library=None):
    for each in (test_kill_mid_write, test_leftovers, test_durability, test_system_call_sweep,
                 test_crowded_folder):
        if each == test_durability and not shutil.which("strace"):
            return skip(failures, "strace is not installed (bash tools/setup installs it)",
                        "traced tests")
        each(os.path.abspath(program), failures)


if __name__ == "__main__":
    main(__doc__, test)
