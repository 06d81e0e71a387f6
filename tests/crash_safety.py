#!/usr/bin/env python3
"""Faults during a run of the native program: the file is as before or as intended, never half.

  crash_safety.py PROGRAM FAIL_IO_LIBRARY
"""
import fcntl
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from end_to_end import Failures

OTHER_LINES = b"; kept byte for byte\r\n[app]\r\nname = x\r\n\r\n[tovrin]\r\nother=1\r\nmdb=old\r\n"
NEW_FILE = b"[tovrin]\nmdb=ko197311\n"
TEMPORARY = re.compile(r"^\.settings\.ini\..*")


def marker(content):
    """The value of the first mdb in the first [tovrin], as the Windows reader finds it."""
    section = None
    seen = set()
    for line in re.split(rb"\r\n|\r|\n", content):
        text = line.strip(b" \t")
        if text.startswith(b"["):
            section = text[1:].split(b"]")[0].strip(b" \t").lower()
            section = None if section in seen else section
            seen.add(section)
        elif section == b"tovrin" and b"=" in text and not text.startswith(b";"):
            key, value = text.split(b"=", 1)
            if key.strip(b" \t").lower() == b"mdb":
                return value.strip(b" \t").decode()
    return None


def without_marker_lines(content):
    return [line for line in content.splitlines(keepends=True)
            if not line.lower().startswith(b"mdb=")]


class Folder:
    def __init__(self, program, parent=None):
        self.root = tempfile.mkdtemp(prefix="ko197311-faults-", dir=parent)
        self.program = shutil.copy(program, self.root)
        self.settings = os.path.join(self.root, "settings.ini")

    def write(self, content):
        with open(self.settings, "wb") as f:
            f.write(content)

    def read(self):
        return open(self.settings, "rb").read() if os.path.exists(self.settings) else None

    def leftovers(self):
        return sorted(n for n in os.listdir(self.root) if TEMPORARY.match(n))

    def run(self, switch, env=None, **options):
        return subprocess.run([self.program, switch], cwd="/", env=env, capture_output=True,
                              timeout=60, **options)

    def remove(self):
        shutil.rmtree(self.root)


# Injected faults: which call fails, on which file, and what the file must be afterwards.
# "same": byte-identical to before; "set": the marker set and every other byte kept.
FAULTS = [
    ("pwrite:1:28", "existing", "same"),    # ENOSPC on the first write of the new file
    ("pwrite:1:0", "existing", "set"),      # a short write is finished, not taken as the end
    ("pwrite:1:0,pwrite:2:5", "existing", "same"),  # EIO after some bytes went out
    ("fsync:1:5", "existing", "same"),
    ("linkat:1:5", "existing", "same"),     # naming the unnamed file fails
    ("rename:1:5", "existing", "same"),
    ("rename:1:18", "existing", "same"),    # EXDEV
    ("open:2:95", "existing", "set"),       # no O_TMPFILE here: a named temporary file instead
    ("open:2:95,rename:1:5", "existing", "same"),
    ("open:2:95,pwrite:1:28", "existing", "same"),
    ("open:2:13,open:3:13", "existing", "set"),  # no new file in the folder: rewritten in place
    ("open:2:13,open:3:13,posix_fallocate:1:28", "existing", "same"),
    ("pwrite:1:28", "missing", "same"),
    ("linkat:1:5", "missing", "same"),      # publishing the new file fails
    ("open:1:95,link:1:5", "missing", "same"),
    ("open:1:95", "missing", "set"),
]


def test_injected_faults(program, library, failures):
    for faults, start, expected in FAULTS:
        folder = Folder(program)
        before = OTHER_LINES if start == "existing" else None
        if before is not None:
            folder.write(before)
        env = dict(os.environ, LD_PRELOAD=library, FAIL_IO=faults)
        result = folder.run("/u", env=env)
        after = folder.read()
        label = f"fault {faults} on {start} file"
        failures.check(result.returncode == 0 and not result.stdout + result.stderr,
                       f"{label}: exit {result.returncode}, printed {result.stderr!r}")
        if expected == "same":
            failures.check(after == before, f"{label}: file changed to {after!r}")
        elif before is None:
            failures.check(after == NEW_FILE, f"{label}: new file is {after!r}")
        else:
            failures.check(after is not None and marker(after) == "ko197311", f"{label}: not set: {after!r}")
            failures.check(after is not None and without_marker_lines(after) == without_marker_lines(before),
                           f"{label}: other bytes changed: {after!r}")
        failures.check(folder.leftovers() == [], f"{label}: left {folder.leftovers()}")
        folder.remove()


def test_full_disk(program, failures):
    """A small tmpfs that cannot hold a second copy of the file: the set fails, nothing changes."""
    if os.geteuid() != 0:
        print("SKIPPED: the full-disk test mounts a tmpfs and needs root")
        failures.check(os.environ.get("CI") != "true", "full-disk test skipped under CI")
        return
    result = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, __file__,
                             "--inside-full-disk", program], capture_output=True, text=True, timeout=120)
    print(result.stdout, end="")
    failures.checked += int(re.search(r"(\d+) checked", result.stdout).group(1)) if "checked" in result.stdout else 0
    failures.check(result.returncode == 0, f"full disk: {result.stderr.strip()}")


def inside_full_disk(program):
    mount = tempfile.mkdtemp(prefix="ko197311-full-")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", mount], check=True)
    failures = Failures()
    try:
        folder = Folder(program, parent=mount)
        size = 1024 * 1024 - os.path.getsize(folder.program) - 64 * 1024
        body = OTHER_LINES + b"".join(b"[s%d]\nvalue=%s\n" % (i, b"x" * 60) for i in range(size // 72))
        folder.write(body)
        for switch in ["/u", "/d"]:
            result = folder.run(switch)
            failures.check(result.returncode == 0 and not result.stdout + result.stderr,
                           f"full disk {switch}: exit {result.returncode} {result.stderr!r}")
            failures.check(folder.read() == body, f"full disk {switch}: file changed")
            failures.check(folder.leftovers() == [], f"full disk {switch}: left {folder.leftovers()}")
        free = os.statvfs(mount)
        print(f"full disk: {len(body)} byte file, {free.f_bavail * free.f_frsize} bytes free; "
              f"{failures.checked} checked")
    finally:
        subprocess.run(["umount", mount])
        os.rmdir(mount)
    sys.exit(1 if failures.count else 0)


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
    folder = Folder(program)
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
        process = subprocess.Popen([folder.program, switch], cwd="/")
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
    folder.remove()


SYSCALL = re.compile(r"^\d+\s+(\w+)\((.*)\)\s+= (-?\d+)")
FD_ARGUMENT = re.compile(r"(?:^|, )(\d+)<([^>]*)>")
WRITES = {"pwrite64", "pwritev", "pwritev2", "write", "writev", "sendfile", "copy_file_range"}


def traced_calls(folder, switch, wrapper=()):
    """The run's file calls as (name, fd, fd's path, last quoted argument, result), in order."""
    log = os.path.join(tempfile.mkdtemp(prefix="ko197311-strace-"), "calls")
    traced = ",".join(sorted(WRITES)) + (",open,openat,fsync,fdatasync,ftruncate,close,link,linkat,"
                                         "rename,renameat,renameat2")
    subprocess.run(["strace", "-f", "-qq", "-y", "-s", "0", "-e", f"trace={traced}", "-o", log,
                    *wrapper, folder.program, switch], cwd="/", capture_output=True, timeout=60)
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
    directory_synced = first_index(calls, placed[0], lambda c: c[0] == "fsync" and c[2] == directory)
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


def test_durability(program, failures):
    """The order of the calls that make a set survive a power cut, as strace sees them."""
    if not shutil.which("strace"):
        print("SKIPPED: strace is not installed (bash tools/setup installs it)")
        failures.check(os.environ.get("CI") != "true", "durability test skipped under CI")
        return
    for start in ["existing", "missing"]:
        folder = Folder(program)
        if start == "existing":
            folder.write(OTHER_LINES)
        calls = traced_calls(folder, "/u")
        check_new_file_order(failures, f"durability, {start} file", calls, os.path.realpath(folder.root))
        failures.check(marker(folder.read() or b"") == "ko197311", f"durability, {start} file: not set")
        folder.remove()

    # A writable file in a folder where no new file can be made (as another user than root).
    folder = Folder(program)
    folder.write(OTHER_LINES)
    wrapper = ()
    if os.geteuid() == 0:
        os.chown(folder.root, 65534, 65534)
        os.chown(folder.settings, 65534, 65534)
        wrapper = ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
    os.chmod(folder.root, 0o555)
    calls = traced_calls(folder, "/u", wrapper)
    os.chmod(folder.root, 0o755)
    check_in_place_order(failures, "durability, in place", calls, os.path.realpath(folder.settings))
    failures.check(marker(folder.read() or b"") == "ko197311", "durability, in place: not set")
    folder.remove()
    print("durability: the order of writes, flushes and renames traced in three runs")


def lock_and_count(path, rounds):
    """Another writer that takes fcntl locks, as crudini does: increments [other] n each round."""
    for _ in range(rounds):
        while True:
            fd = os.open(path, os.O_RDWR)
            fcntl.lockf(fd, fcntl.LOCK_EX)
            if os.fstat(fd).st_ino == os.stat(path).st_ino:
                break
            os.close(fd)
        content = b""
        while chunk := os.read(fd, 1 << 16):
            content += chunk
        count = int(re.search(rb"\nn=(\d+)", content).group(1))
        content = re.sub(rb"\nn=\d+", b"\nn=%d" % (count + 1), content)
        temporary = path + ".counter"
        with open(temporary, "wb") as f:
            f.write(content)
        os.rename(temporary, path)
        os.close(fd)


def test_concurrency(program, failures):
    folder = Folder(program)
    folder.write(OTHER_LINES)
    for round_switches, allowed in [(["/u", "/i"] * 25, {"ko197311", "jas197311"}),
                                    (["/u", "/i", "/d"] * 17, {"ko197311", "jas197311", None}),
                                    (["/d"], {None})]:
        processes = [subprocess.Popen([folder.program, s], cwd="/") for s in round_switches]
        codes = [p.wait() for p in processes]
        after = folder.read() or b""
        label = f"{len(round_switches)} copies at once"
        failures.check(codes == [0] * len(codes), f"{label}: exit statuses {set(codes)}")
        failures.check(marker(after) in allowed, f"{label}: marker {marker(after)!r}")
        failures.check(without_marker_lines(after) == without_marker_lines(OTHER_LINES),
                       f"{label}: other bytes changed: {after!r}")
        failures.check(len(re.findall(rb"(?im)^mdb=", after)) <= 1, f"{label}: several markers")
        failures.check(folder.leftovers() == [], f"{label}: left {folder.leftovers()}")

    # With another locking writer changing another key: no update of either side is lost.
    folder.write(b"[other]\nn=0\n[tovrin]\nmdb=ko197311\n")
    rounds = 200
    counter = subprocess.Popen([sys.executable, __file__, "--count", folder.settings, str(rounds)])
    switches = ["/i", "/u"] * 60
    last_seen_wrong = 0
    for switch in switches:
        folder.run(switch)
        value = marker(folder.read())
        last_seen_wrong += value != ("ko197311" if switch == "/u" else "jas197311")
    failures.check(counter.wait() == 0, "the locking writer failed")
    after = folder.read()
    failures.check(re.search(rb"\nn=(\d+)", after).group(1) == str(rounds).encode(),
                   f"locking writer: {after!r}, expected n={rounds}")
    failures.check(last_seen_wrong == 0, f"{last_seen_wrong} of our updates lost to the other writer")
    failures.check(marker(after) == "ko197311", f"final marker {marker(after)!r}")
    print(f"concurrency: 50 and 51 copies at once, then {len(switches)} runs beside "
          f"{rounds} locked increments")
    folder.remove()


def main(argv):
    if argv[1:2] == ["--inside-full-disk"]:
        return inside_full_disk(argv[2])
    if argv[1:2] == ["--count"]:
        return lock_and_count(argv[2], int(argv[3]))
    if len(argv) != 3:
        sys.exit(__doc__)
    program, library = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    failures = Failures()
    test_injected_faults(program, library, failures)
    test_full_disk(program, failures)
    test_concurrency(program, failures)
    test_kill_mid_write(program, failures)
    test_durability(program, failures)
    print(f"{failures.checked - failures.count} passed, {failures.count} failed")
    return 1 if failures.count else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
