#!/usr/bin/env python3
"""Faults during a run of the native program: the file is as before or as intended, never half.

  crash_safety.py PROGRAM FAIL_IO_LIBRARY
  crash_safety.py --filesystems PROGRAM
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

from end_to_end import Failures, emulator

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

    def run(self, switch, env=None, user=None, **options):
        who = [] if user is None else ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"]
        return subprocess.run(who + emulator(self.program) + [self.program, switch], cwd="/", env=env, capture_output=True,
                              timeout=60, **options)

    def remove(self):
        shutil.rmtree(self.root)


SWITCH_VALUES = {"/u": "ko197311", "/i": "jas197311", "/d": None}
STARTS = {"existing": OTHER_LINES, "marked": b"[tovrin]\nmdb=ko197311\nx=1\n", "missing": None}
ORIGIN = ("user.origin", b"kept with the file")


def identity(path):
    """What surrounds the bytes: mode, owner, group and every extended attribute, ACLs among them."""
    info = os.lstat(path)
    names = os.listxattr(path, follow_symlinks=False)
    return (oct(info.st_mode), info.st_uid, info.st_gid,
            {name: os.getxattr(path, name, follow_symlinks=False) for name in sorted(names)})


def fresh_identity(folder):
    """What open(2) gives a new file in this folder, with this umask: a new settings.ini gets the same."""
    reference = os.path.join(folder, ".reference")
    os.close(os.open(reference, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666))
    found = identity(reference)
    os.remove(reference)
    return found


def check_outcome(failures, label, result, before, after, switch, expected):
    """A quiet run; the file byte-identical ("same") or with the switch's marker and all else kept."""
    failures.check(result.returncode == 0 and not result.stdout + result.stderr,
                   f"{label}: exit {result.returncode}, printed {result.stderr!r}")
    if expected == "same":
        failures.check(after == before, f"{label}: file changed to {after!r}")
    else:
        check_changed(failures, label, before, after, switch)


def check_changed(failures, label, before, after, switch):
    if before is None:
        failures.check(after == NEW_FILE, f"{label}: new file is {after!r}")
        return
    failures.check(after is not None and marker(after) == SWITCH_VALUES[switch],
                   f"{label}: marker {marker(after or b'')!r}: {after!r}")
    failures.check(after is not None and without_marker_lines(after) == without_marker_lines(before),
                   f"{label}: other bytes changed: {after!r}")


# Injected faults: which calls fail, on which file, the switch, and what the file must be after:
# "same", byte-identical to before; "changed", the switch's marker and every other byte kept. An
# existing file carries an extended attribute and mode 0644 throughout; a new one is as open(2)
# makes it.
FAULTS = [
    ("pwrite:1:28", "existing", "/u", "same"),    # ENOSPC on the first write of the new file
    ("pwrite:1:0", "existing", "/u", "changed"),  # a short write is finished, not taken as the end
    ("pwrite:1:0,pwrite:2:5", "existing", "/u", "same"),  # EIO after some bytes went out
    ("fsync:1:5", "existing", "/u", "same"),
    ("linkat:1:5", "existing", "/u", "same"),     # naming the unnamed file fails
    ("rename:1:5", "existing", "/u", "same"),
    ("rename:1:18", "existing", "/u", "same"),    # EXDEV
    ("open:2:95", "existing", "/u", "changed"),   # no O_TMPFILE here: a named temporary file instead
    ("open:2:95,rename:1:5", "existing", "/u", "same"),
    ("open:2:95,pwrite:1:28", "existing", "/u", "same"),
    ("fchmod:1:38", "existing", "/u", "changed"),  # no modes (FAT): rewritten in place
    ("fsetxattr:1:95", "existing", "/u", "changed"),  # the attribute cannot be carried: in place
    ("open:2:13,open:3:13", "existing", "/u", "changed"),  # no new file in the folder: in place
    ("open:2:13,open:3:13", "marked", "/d", "changed"),    # in place and shorter: no old tail left
    ("open:2:13,open:3:13,posix_fallocate:1:28", "existing", "/u", "same"),
    ("open:2:13,open:3:13,posix_fallocate:1:95", "existing", "/u", "changed"),  # ZFS: reserve by writing
    ("open:2:13,open:3:13,posix_fallocate:1:95,pwrite:1:0,pwrite:2:28", "existing", "/u", "same"),
    ("pwrite:1:28", "missing", "/u", "same"),
    ("linkat:1:5", "missing", "/u", "same"),      # publishing the new file fails
    ("linkat:1:17", "missing", "/u", "changed"),  # another writer's file appeared: start over
    ("open:1:95,link:1:5", "missing", "/u", "same"),
    ("open:1:95", "missing", "/u", "changed"),
    ("open:1:95,link:1:1", "missing", "/u", "changed"),  # no hard links: a rename that never replaces
    ("open:1:95,link:1:1,renameat2:1:22", "missing", "/u", "changed"),  # nor that: claimed, then filled
]


def test_injected_faults(program, library, failures):
    for faults, start, switch, expected in FAULTS:
        folder = Folder(program)
        before = STARTS[start]
        if before is not None:
            folder.write(before)
            os.chmod(folder.settings, 0o644)
            os.setxattr(folder.settings, *ORIGIN)
        surrounding = identity(folder.settings) if before is not None else fresh_identity(folder.root)
        env = dict(os.environ, LD_PRELOAD=library, FAIL_IO=faults)
        result = folder.run(switch, env=env)
        after = folder.read()
        label = f"fault {faults} on {start} file, {switch}"
        check_outcome(failures, label, result, before, after, switch, expected)
        if after is not None:
            failures.check(identity(folder.settings) == surrounding,
                           f"{label}: {identity(folder.settings)}, was {surrounding}")
        failures.check(folder.leftovers() == [], f"{label}: left {folder.leftovers()}")
        folder.remove()


def run_in_own_mounts(failures, what, *arguments):
    """This script again, as root in a mount namespace of its own, where it mounts what it tests on."""
    if os.geteuid() != 0:
        print(f"SKIPPED: the {what} test mounts filesystems and needs root")
        failures.check(os.environ.get("CI") != "true", f"{what} test skipped under CI")
        return
    result = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, __file__,
                             *arguments], capture_output=True, text=True, timeout=900)
    print(result.stdout, end="")
    found = re.search(r"(\d+) checked", result.stdout)
    failures.checked += int(found.group(1)) if found else 0
    failures.check(result.returncode == 0, f"{what}: {result.stderr.strip()}")


def test_full_disk(program, failures):
    """A small tmpfs that cannot hold a second copy of the file: the set fails, nothing changes."""
    run_in_own_mounts(failures, "full-disk", "--inside-full-disk", program)


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


# Filesystems a settings file lives on, each made on a sparse image file: its mkfs and size.
FILESYSTEMS = [
    ("ext4", ["mkfs.ext4", "-q", "-F"], "64M"),
    # Four allocation groups of 0.75 TiB: files in the third have inode numbers past 2^32.
    ("xfs", ["mkfs.xfs", "-q", "-f", "-d", "agcount=4", "-l", "size=64m"], "3T"),
    ("btrfs", ["mkfs.btrfs", "-q", "-f"], "256M"),
    ("tmpfs", None, None),
]
DRESSED = b"; kept\n[tovrin]\nother=1\nmdb=old\n"
NOBODY = 65534


def with_acl(path):
    os.chmod(path, 0o640)
    subprocess.run(["setfacl", "-m", "u:nobody:rw", path], check=True)


def with_attributes(path):
    for name, value in [("user.origin", b"o"), ("trusted.check", b"c"), ("security.label", b"l")]:
        os.setxattr(path, name, value)


def with_measurement(path):
    os.setxattr(path, "security.ima", b"\x04\x01")


def with_owner(path):
    os.chown(path, 1234, 2345)
    os.chmod(path, 0o604)


def with_label_it_may_not_set(path):
    os.chown(os.path.dirname(path), NOBODY, NOBODY)
    os.chown(path, NOBODY, NOBODY)
    os.setxattr(path, "security.label", b"l")


def writable_by_all_in_open_folder(path):
    os.chmod(os.path.dirname(path), 0o777)
    os.chmod(path, 0o666)


def immutable(path):
    subprocess.run(["chattr", "+i", path], check=True)


def append_only(path):
    subprocess.run(["chattr", "+a", path], check=True)


def default_acl(folder):
    subprocess.run(["setfacl", "-d", "-m", "u:nobody:rw,o::r", folder], check=True)


def setgid_folder(folder):
    os.chown(folder, -1, 2345)
    os.chmod(folder, 0o2775)


# settings.ini dressed in what must stay around its bytes, the switch, who runs it, and what it
# must be after: the switch's marker and the rest kept, in a new file that replaced it whole
# ("replaced") or in the same inode ("in place"); or byte-identical ("same"). Its identity (mode,
# owner, ACL, attributes) stays in every case.
IDENTITY_CASES = [
    ("ACL user:nobody:rw on a 0640 file", with_acl, "/u", None, "replaced"),
    ("ACL user:nobody:rw on a 0640 file", with_acl, "/d", None, "replaced"),
    ("user., trusted. and security. attributes", with_attributes, "/i", None, "replaced"),
    ("another owner and group, mode 0604", with_owner, "/u", None, "replaced"),
    ("no ACL, in a folder with a default ACL", lambda path: default_acl(os.path.dirname(path)), "/u",
     None, "replaced"),
    ("a security. label the user may not set", with_label_it_may_not_set, "/u", NOBODY, "in place"),
    ("an integrity measurement bound to the inode", with_measurement, "/u", None, "in place"),
    ("another owner's file, writable in a writable folder", writable_by_all_in_open_folder, "/u",
     NOBODY, "in place"),
    ("an immutable file", immutable, "/u", None, "same"),
    ("an append-only file", append_only, "/d", None, "same"),
]

# A new settings.ini, in a folder so dressed and with this umask, gets what open(2) gives.
NEW_FILE_CASES = [
    ("umask 022", None, 0o022),
    ("umask 077", None, 0o077),
    ("a folder with a default ACL, umask 077", default_acl, 0o077),
    ("a set-group-ID folder", setgid_folder, 0o022),
]


def test_filesystems(program, failures):
    """ext4, XFS, Btrfs and tmpfs: the file keeps what surrounds its bytes, whatever the program is."""
    run_in_own_mounts(failures, "filesystems", "--inside-filesystems", program)


def mount_filesystem(name, mkfs, size, where, images):
    if mkfs is None:
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", where], check=True)
        return
    image = os.path.join(images, name + ".img")
    subprocess.run(["truncate", "-s", size, image], check=True)
    subprocess.run(mkfs + [image], check=True, capture_output=True)
    subprocess.run(["mount", "-o", "loop", image, where], check=True)


def check_identity_cases(program, mount, name, failures):
    for label, dress, switch, user, expected in IDENTITY_CASES:
        folder = Folder(program, parent=mount)
        os.chmod(folder.root, 0o755)
        folder.write(DRESSED)
        dress(folder.settings)
        before, inode = identity(folder.settings), os.stat(folder.settings).st_ino
        result = folder.run(switch, user=user)
        subprocess.run(["chattr", "-i", "-a", folder.settings], capture_output=True)
        after = folder.read()
        label = f"{name}: {label}, {switch}"
        check_outcome(failures, label, result, DRESSED, after, switch, expected)
        if expected != "same":
            failures.check((os.stat(folder.settings).st_ino == inode) == (expected == "in place"),
                           f"{label}: not {expected}")
        failures.check(identity(folder.settings) == before,
                       f"{label}: {identity(folder.settings)}, was {before}")
        failures.check(folder.leftovers() == [], f"{label}: left {folder.leftovers()}")
        folder.remove()


def check_new_files(program, mount, name, failures):
    for label, dress, mask in NEW_FILE_CASES:
        folder = Folder(program, parent=mount)
        if dress:
            dress(folder.root)
        old_mask = os.umask(mask)
        try:
            expected = fresh_identity(folder.root)
            result = folder.run("/u")
        finally:
            os.umask(old_mask)
        label = f"{name}: new file, {label}"
        failures.check(result.returncode == 0, f"{label}: exit {result.returncode}")
        failures.check(folder.read() == NEW_FILE, f"{label}: {folder.read()!r}")
        if folder.read() is not None:
            failures.check(identity(folder.settings) == expected,
                           f"{label}: {identity(folder.settings)}, open(2) gives {expected}")
        folder.remove()


def check_large_inode(program, mount, name, failures):
    """A file whose inode number needs more than 32 bits: a 32-bit build must still update it."""
    folders = []
    while len(folders) < 8:
        folders.append(Folder(program, parent=mount))
        folders[-1].write(DRESSED)
        if os.stat(folders[-1].settings).st_ino > 2**32:
            break
    folder = folders[-1]
    inode = os.stat(folder.settings).st_ino
    failures.check(inode > 2**32, f"{name}: no inode number past 2^32 came up ({inode})")
    print(f"{name}: settings.ini with inode number {inode}")
    folder.run("/u")
    check_changed(failures, f"{name}: inode number {inode}", DRESSED, folder.read(), "/u")
    for each in folders:
        each.remove()


def check_large_file(program, mount, name, failures):
    """A file over 2 GiB (sparse: its middle is NUL bytes): a 32-bit build must still update it."""
    folder = Folder(program, parent=mount)
    head, tail = b"[a]\nx=1\n", b"\n[tovrin]\nmdb=old\n"
    with open(folder.settings, "wb") as f:
        f.write(head)
        f.seek(2**31 + 2**20)
        f.write(tail)
    size = os.path.getsize(folder.settings)
    folder.run("/u")
    with open(folder.settings, "rb") as f:
        start = f.read(len(head))
        f.seek(-len(tail) - 5, os.SEEK_END)
        end = f.read()
    failures.check(start == head and end == b"\n[tovrin]\nmdb=ko197311\n",
                   f"{name}: file of {size} bytes ends {end!r}")
    failures.check(os.path.getsize(folder.settings) == size + 5, f"{name}: size of the large file")
    folder.remove()


def check_without_proc(program, mount, name, failures):
    """With /proc hidden the program still finds its own directory, and writes without O_TMPFILE."""
    folder = Folder(program, parent=mount)
    folder.write(DRESSED)
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/proc"], check=True)
    try:
        result = subprocess.run(emulator(folder.program) + [folder.program, "/u"], cwd=folder.root,
                                capture_output=True, timeout=60)
    finally:
        subprocess.run(["umount", "/proc"], check=True)
    failures.check(result.returncode == 0, f"{name} without /proc: exit {result.returncode}")
    check_changed(failures, f"{name} without /proc", DRESSED, folder.read(), "/u")
    failures.check(folder.leftovers() == [], f"{name} without /proc: left {folder.leftovers()}")
    folder.remove()


# Cases that need what only one of the filesystems offers, or one is enough for.
SPECIAL_CASES = {"ext4": check_without_proc, "xfs": check_large_inode, "tmpfs": check_large_file}


def inside_filesystems(program):
    failures = Failures()
    if emulator(program):
        print(f"through {emulator(program)[0]}: this host cannot execute 32-bit x86 code")
    images = tempfile.mkdtemp(prefix="ko197311-images-")
    for name, mkfs, size in FILESYSTEMS:
        mount = tempfile.mkdtemp(prefix=f"ko197311-{name}-")
        started = time.monotonic()
        try:
            mount_filesystem(name, mkfs, size, mount, images)
            check_identity_cases(program, mount, name, failures)
            check_new_files(program, mount, name, failures)
            if name in SPECIAL_CASES:
                SPECIAL_CASES[name](program, mount, name, failures)
        finally:
            subprocess.run(["umount", mount], capture_output=True)
            os.rmdir(mount)
            shutil.rmtree(images)
            os.makedirs(images)
        print(f"{name}: {time.monotonic() - started:.1f} s")
    shutil.rmtree(images)
    print(f"filesystems: {failures.checked} checked")
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


def lock_and_count(path, rounds, hold):
    """Another writer that takes fcntl locks, as crudini does: increments [other] n each round,
    holds its lock `hold` seconds before it renames, and locks the new file at once."""
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
        time.sleep(hold)
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

    # Beside a busy locking writer that changes another key: no update of either side is lost,
    # however many times ours must start over while the writer keeps replacing the file.
    folder.write(b"[other]\nn=0\n[tovrin]\nmdb=ko197311\n")
    rounds = 200
    counter = subprocess.Popen([sys.executable, __file__, "--count", folder.settings, str(rounds), "0.005"])
    deadline = time.monotonic() + 10
    while b"\nn=0\n" in folder.read() and time.monotonic() < deadline:
        time.sleep(0.001)
    runs, lost, switch = 0, 0, None
    while counter.poll() is None or runs < 20:
        switch = ["/i", "/u"][runs % 2]
        folder.run(switch)
        lost += marker(folder.read()) != SWITCH_VALUES[switch]
        runs += 1
    failures.check(counter.wait() == 0, "the locking writer failed")
    after = folder.read()
    failures.check(re.search(rb"\nn=(\d+)", after).group(1) == str(rounds).encode(),
                   f"locking writer: {after!r}, expected n={rounds}")
    failures.check(lost == 0, f"{lost} of our {runs} updates lost to the other writer")
    failures.check(marker(after) == SWITCH_VALUES[switch], f"final marker {marker(after)!r}")
    print(f"concurrency: 50 and 51 copies at once, then {runs} runs beside "
          f"{rounds} locked increments")
    folder.remove()


def main(argv):
    if argv[1:2] == ["--inside-full-disk"]:
        return inside_full_disk(argv[2])
    if argv[1:2] == ["--inside-filesystems"]:
        return inside_filesystems(argv[2])
    if argv[1:2] == ["--count"]:
        return lock_and_count(argv[2], int(argv[3]), float(argv[4]))
    if argv[1:2] == ["--filesystems"] and len(argv) == 3:
        failures = Failures()
        test_filesystems(os.path.abspath(argv[2]), failures)
        print(f"{failures.checked - failures.count} passed, {failures.count} failed")
        return 1 if failures.count else 0
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
