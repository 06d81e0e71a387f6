#!/usr/bin/env python3
"""Faults during a run of the native program: the file is as before or as intended, never half.

  crash_safety.py PROGRAM FAIL_IO_LIBRARY
  crash_safety.py --filesystems PROGRAM
"""
import concurrent.futures
import fcntl
import hashlib
import os
import random
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import threading
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
        return subprocess.run(who + emulator(self.program) + [self.program, switch], cwd="/", env=env,
                              capture_output=True, timeout=60, **options)

    def remove(self):
        shutil.rmtree(self.root)


SWITCH_VALUES = {"/u": "ko197311", "/i": "jas197311", "/d": None}
# A file larger than one short read: 200,000 bytes, the marker at its end.
LARGE = b"; filler\r\n" * 20000 + OTHER_LINES
STARTS = {"existing": OTHER_LINES, "marked": b"[tovrin]\nmdb=ko197311\nx=1\n", "missing": None,
          "empty": b"", "large": LARGE, "existing, folder with a default ACL": OTHER_LINES,
          "long": b"[tovrin]\nmdb=old\n" + b"[padding]\n" + b"; %s\n" % (b"p" * 80) * 30000}
# What fail_io's "grow" appends, and what its "rival" writer creates (see tests/fail_io.cpp).
GROWTH = b"; grown\n" * 10000
RIVAL = b"[other]\nkept=1\n"
ORIGIN = ("user.origin", b"kept with the file")


FS_IOC_GETFLAGS = 0x80086601
FS_IOC_FSGETXATTR = 0x801C581F
# chattr's flags that say how a file is kept (s u c S d A m j t C x), and FS_IOC_FSGETXATTR's
# (XFS's realtime, sync, noatime, nodump, extent size, nodefrag, filestream, DAX, CoW extent size).
KEPT_FLAGS = 0x1 | 0x2 | 0x4 | 0x8 | 0x40 | 0x80 | 0x400 | 0x4000 | 0x8000 | 0x800000 | 0x2000000
KEPT_XFLAGS = 0x1 | 0x20 | 0x40 | 0x80 | 0x800 | 0x2000 | 0x4000 | 0x8000 | 0x10000


def inode_flags(path):
    """chattr's flags, the XFS flags and the project ID; None where the filesystem has none."""
    if not stat.S_ISREG(os.lstat(path).st_mode):
        return None
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    try:
        flags = struct.unpack("I", fcntl.ioctl(fd, FS_IOC_GETFLAGS, bytes(8))[:4])[0] & KEPT_FLAGS
    except OSError:
        flags = None
    try:
        xflags, extsize, _, project = struct.unpack("4I", fcntl.ioctl(fd, FS_IOC_FSGETXATTR, bytes(28))[:16])
        extended = (xflags & KEPT_XFLAGS, extsize, project)
    except OSError:
        extended = None
    os.close(fd)
    return flags, extended


def identity(path):
    """What surrounds the bytes: mode, owner, group, every extended attribute (ACLs among them),
    inode flags and project ID."""
    info = os.lstat(path)
    names = os.listxattr(path, follow_symlinks=False)
    return (oct(info.st_mode), info.st_uid, info.st_gid,
            {name: os.getxattr(path, name, follow_symlinks=False) for name in sorted(names)},
            inode_flags(path))


def fresh_identity(folder):
    """What open(2) gives a new file in this folder, with this umask: a new settings.ini gets the same."""
    reference = os.path.join(folder, ".reference")
    os.close(os.open(reference, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666))
    found = identity(reference)
    os.remove(reference)
    return found


def check_outcome(failures, label, result, before, after, switch, expected):
    """A quiet run; the file byte-identical ("same"), with the switch's marker and all else kept,
    or exactly the bytes expected."""
    failures.check(result.returncode == 0 and not result.stdout + result.stderr,
                   f"{label}: exit {result.returncode}, printed {result.stderr!r}")
    if isinstance(expected, bytes):
        failures.check(after == expected, f"{label}: file is {after!r}, expected {expected!r}")
    elif expected == "grown":
        check_changed(failures, label, before + GROWTH, after, switch)
    elif expected == "same":
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
# "same", byte-identical to before; "changed", the switch's marker and every other byte kept;
# "in place", changed on the same inode, never replaced; "grown", so after another writer's
# growth; or these exact bytes. An existing file carries an extended attribute and mode 0644
# throughout; a new one is as open(2) makes it. A run stopped before a call ("stop") shows
# whether another user could open its temporary file then.
# "name:call:!command" runs a command on {settings} at that call instead, as an administrator
# might during a run: what it did must stay.
FAULTS = [
    ("pread:1:0,pread:2:5", "large", "/u", "same"),  # EIO part-way is no end of the file
    ("pread:1:4", "existing", "/u", "changed"),   # EINTR: read again
    ("pwrite:1:4", "existing", "/u", "changed"),  # EINTR: write again
    ("pread:1:grow", "existing", "/u", "grown"),  # grew past the room after sizing: head kept
    ("pread:1:grow", "large", "/d", "grown"),
    ("", "empty", "/u", NEW_FILE),  # no fault: an empty file, nothing to read
    ("pwrite:1:28", "existing", "/u", "changed"),  # no room for a second copy: in place
    ("pwrite:1:122", "existing", "/u", "changed"),  # EDQUOT, the same
    ("pwrite:1:28,fallocate:1:28", "existing", "/u", "same"),  # nor for the growth in place
    ("pwrite:1:0", "existing", "/u", "changed"),  # a short write is finished, not taken as the end
    ("pwrite:1:0,pwrite:2:5", "existing", "/u", "same"),  # EIO after some bytes went out
    ("fsync:1:5", "existing", "/u", "same"),
    ("fsync:1:28", "existing", "/u", "changed"),  # the new file's blocks found no room: in place
    ("linkat:1:5", "existing", "/u", "same"),     # naming the unnamed file fails
    ("rename:1:5", "existing", "/u", "same"),
    ("rename:1:18", "existing", "/u", "changed"),  # EXDEV: the folder refuses, the file may not
    ("rename:1:16", "existing", "/u", "changed"),  # EBUSY: a file mounted onto the name
    ("rename:1:13", "existing", "/u", "changed"),  # EACCES: folder made read-only meanwhile
    ("linkat:1:30", "existing", "/u", "changed"),  # EROFS while naming the new file
    ("open:2:95", "existing", "/u", "changed"),   # no O_TMPFILE here: a named temporary file instead
    ("open:2:95,rename:1:5", "existing", "/u", "same"),
    ("open:2:95,pwrite:1:28", "existing", "/u", "changed"),
    ("fchmod:1:38", "existing", "/u", "in place"),  # no modes (FAT)
    ("fchmod:1:quiet", "existing", "/u", "in place"),  # a mode quietly not set
    ("fsetxattr:1:95", "existing", "/u", "in place"),  # the attribute cannot be carried
    ("flistxattr:1:5", "existing", "/u", "in place"),  # nor when they cannot be listed
    ("open:2:13,open:3:13", "existing", "/u", "changed"),  # no new file in the folder: in place
    ("open:2:13,open:3:13", "marked", "/d", "changed"),    # in place and shorter: no old tail left
    ("open:2:13,open:3:13,fallocate:1:28", "existing", "/u", "same"),
    ("open:2:13,open:3:13,fallocate:1:95", "existing", "/u", "changed"),  # ZFS: reserve by writing
    ("open:2:13,open:3:13,fallocate:1:95,pwrite:1:0,pwrite:2:28", "existing", "/u", "same"),
    # In place, an error part-way puts the old bytes back and the old size: the file as it was.
    ("open:2:13,open:3:13,pwrite:1:5", "existing", "/u", "same"),
    ("open:2:13,open:3:13,ftruncate:1:5", "marked", "/d", "same"),
    ("open:2:13,open:3:13,fsync:1:5", "existing", "/u", "same"),
    ("open:2:13,open:3:13,pwrite:2:5", "long", "/u", "same"),  # a tail too long for one write
    ("pwrite:1:28", "missing", "/u", "same"),
    ("linkat:1:5", "missing", "/u", "same"),      # publishing the new file fails
    ("linkat:1:17", "missing", "/u", "changed"),  # another writer's file appeared: start over
    ("open:1:95,link:1:5", "missing", "/u", "same"),
    ("open:1:95", "missing", "/u", "changed"),
    ("open:1:95,link:1:1", "missing", "/u", "changed"),  # no hard links: a rename that never replaces
    ("open:1:95,link:1:1,renameat2:1:22", "missing", "/u", "changed"),  # nor that: claimed, then filled
    ("fsync:1:!chmod 600 {settings}", "existing", "/u", "changed"),  # between the write and the swap
    ("fsync:1:!chown 1234:2345 {settings}", "existing", "/u", "changed"),
    ("fsync:1:!setfattr -n user.admin -v set {settings}", "existing", "/u", "changed"),
    ("fsync:1:!chmod 444 {settings}", "existing", "/u", "same"),  # made read-only meanwhile
    ("open:1:95,link:1:1,renameat2:1:22,pwrite:2:5", "missing", "/u", "same"),  # the claim taken back
    # Another writer replaces the claimed file before it is filled, then the fill fails: the
    # other writer's file stays.
    ("open:1:95,link:1:1,renameat2:1:22,open:4:!printf '[other]\\nkept=1\\n' >{settings}.new && "
     "mv {settings}.new {settings},pwrite:2:5", "missing", "/u", RIVAL),
    # Another writer's new file appears just before ours is put in place: it is kept, and set.
    ("linkat:1:rival", "missing", "/u", RIVAL + NEW_FILE),
    ("open:1:95,link:1:rival", "missing", "/u", RIVAL + NEW_FILE),
    ("open:1:95,link:1:1,renameat2:1:rival", "missing", "/u", RIVAL + NEW_FILE),
    # The folder's default ACL that cannot be taken off the new file: in place, never published.
    ("fremovexattr:1:1", "existing, folder with a default ACL", "/u", "in place"),
    # Without O_TMPFILE the replacement has a name: no other user may open it while it is written.
    ("open:2:95,pwrite:1:stop", "existing", "/u", "changed"),
]


def dress_existing(path, content):
    with open(path, "wb") as f:
        f.write(content)
    os.chmod(path, 0o644)
    os.setxattr(path, *ORIGIN)


def run_stopped(folder, switch, env, failures, label):
    """Runs the program until fail_io stops it; meanwhile no other user may open its temporary
    files (those it has, and it must have one). Then lets it finish."""
    os.chmod(folder.root, 0o755)
    process = subprocess.Popen([folder.program, switch], cwd="/", env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    deadline = time.monotonic() + 10
    while open(f"/proc/{process.pid}/stat").read().rsplit(")", 1)[1].split()[0] != "T":
        if process.poll() is not None or time.monotonic() > deadline:
            break
        time.sleep(0.01)
    names = folder.leftovers()
    failures.check(names != [], f"{label}: no temporary file to look at")
    for name in names:
        path = os.path.join(folder.root, name)
        mode = os.stat(path).st_mode
        failures.check(mode & 0o077 == 0, f"{label}: {name} has mode {oct(mode)}")
        if os.geteuid() == 0:
            peek = subprocess.run(["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}",
                                   "--clear-groups", "cat", path], capture_output=True)
            failures.check(peek.returncode != 0, f"{label}: user {NOBODY} could open {name}")
    process.send_signal(signal.SIGCONT)
    out, err = process.communicate(timeout=60)
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


def test_injected_faults(program, library, failures):
    for faults, start, switch, expected in FAULTS:
        folder = Folder(program)
        before = STARTS[start]
        if before is not None:
            dress_existing(folder.settings, before)
        if "default ACL" in start:
            default_acl(folder.root)  # after the file: new files get an ACL it lacks
        surrounding = identity(folder.settings) if before is not None else fresh_identity(folder.root)
        inode = os.stat(folder.settings).st_ino if before is not None else None
        if "!" in faults and before is not None:  # what the commands give such a file
            reference = os.path.join(folder.root, "reference.ini")
            dress_existing(reference, before)
            for command in re.findall(r"!([^,]*)", faults):
                subprocess.run(command.replace("{settings}", reference), shell=True, check=True)
            surrounding = identity(reference)
            os.remove(reference)
        env = dict(os.environ, LD_PRELOAD=library, FAIL_IO=faults.replace("{settings}", folder.settings))
        label = f"fault {faults} on {start} file, {switch}"
        if "stop" in faults:
            result = run_stopped(folder, switch, env, failures, label)
        else:
            result = folder.run(switch, env=env)
        after = folder.read()
        check_outcome(failures, label, result, before, after, switch, expected)
        if expected == "in place":
            # The old inode takes the change: no later try may replace it after all.
            failures.check(os.stat(folder.settings).st_ino == inode, f"{label}: the file was replaced")
        if after is not None:
            failures.check(identity(folder.settings) == surrounding,
                           f"{label}: {identity(folder.settings)}, was {surrounding}")
        failures.check(folder.leftovers() == [], f"{label}: left {folder.leftovers()}")
        folder.remove()

    # Someone opens the file between the write and the swap, and writes through it: the run goes
    # in place (it learns of the open by its lease), and that write lands in the named file.
    folder = Folder(program)
    dress_existing(folder.settings, OTHER_LINES)
    inode = os.stat(folder.settings).st_ino
    opened = os.path.join(folder.root, "opened")
    # Until its open waits on the run's lease, as /proc/locks shows it (for at most 5 s).
    waits = f"for i in $(seq 500); do grep -q 'BREAKING.*:{inode} ' /proc/locks && break; sleep 0.01; done"
    opener = f"(exec 3>>{folder.settings}; echo [late] >&3; touch {opened}) & {waits}"
    result = folder.run("/u", env=dict(os.environ, LD_PRELOAD=library, FAIL_IO=f"fsync:1:!{opener}"))
    deadline = time.monotonic() + 10
    while not os.path.exists(opened) and time.monotonic() < deadline:
        time.sleep(0.01)
    after = folder.read()
    failures.check(result.returncode == 0, f"an open during the run: exit {result.returncode}")
    failures.check(marker(after) == "ko197311" and after.endswith(b"[late]\n")
                   and os.stat(folder.settings).st_ino == inode, f"an open during the run: {after!r}")
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
    """A small tmpfs with no room left: a change that fits in the old file's place is made there,
    one that needs more room changes nothing."""
    run_in_own_mounts(failures, "full-disk", "--inside-full-disk", program)


# On a full disk: the file's marker line, the switch, and whether the file is then "same" or
# "changed". The file ends on a page boundary, so any growth needs a page that is not there.
FULL_DISK_CASES = [
    (b"mdb=old\r\n", "/u", "same"),         # grows
    (b"mdb=old\r\n", "/d", "changed"),      # shrinks
    (b"mdb=jx197311\r\n", "/u", "changed"),  # the same size
]


def fill(mount):
    """Takes every free block of the filesystem, and returns the file that holds them."""
    filler = os.path.join(mount, "filler")
    with open(filler, "wb", buffering=0) as f:
        for chunk in [65536, 4096, 512, 1]:
            try:
                while True:
                    f.write(b"\0" * chunk)
            except OSError:
                pass
    return filler


# A modification time long past, so that any write in the run shows, however coarse the clock.
EARLIER = 1_000_000_000_123_456_789


def check_untouched(failures, label, path):
    """No byte was written, not even to be put back: the room is found missing first."""
    mtime = os.stat(path).st_mtime_ns
    failures.check(mtime == EARLIER, f"{label}: written meanwhile, modified at {mtime}")


def inside_full_disk(program):
    mount = tempfile.mkdtemp(prefix="ko197311-full-")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", mount], check=True)
    failures = Failures()
    try:
        folder = Folder(program, parent=mount)
        for line, switch, expected in FULL_DISK_CASES:
            head = OTHER_LINES.replace(b"mdb=old\r\n", line)
            body = head + b";" * (-(len(head) + 1) % 4096) + b"\n"
            folder.write(body)
            os.utime(folder.settings, ns=(EARLIER, EARLIER))
            filler = fill(mount)
            result = folder.run(switch)
            after = folder.read()
            label = f"full disk, {line!r} {switch}"
            check_outcome(failures, label, result, body, after, switch, expected)
            if expected == "same":
                check_untouched(failures, label, folder.settings)
            failures.check(folder.leftovers() == [], f"{label}: left {folder.leftovers()}")
            free = os.statvfs(mount)
            print(f"{label}: {len(body)} byte file, {free.f_bavail * free.f_frsize} bytes free")
            os.remove(filler)
        folder.remove()

        # In place: a two-page file another user may write, in a folder it may not; the disk
        # then filled up. The set grows the file into a third page, which must be reserved first.
        folder = Folder(program, parent=mount)
        os.chmod(folder.root, 0o755)
        page = os.sysconf("SC_PAGE_SIZE")
        tail = b"[tovrin]\nmdb=old\n"
        body = b"; two pages\n" + b"x" * (2 * page - len(tail) - 13) + b"\n" + tail
        folder.write(body)
        os.chown(folder.settings, NOBODY, NOBODY)
        os.utime(folder.settings, ns=(EARLIER, EARLIER))
        fill(mount)
        result = folder.run("/u", user=NOBODY)
        failures.check(result.returncode == 0 and not result.stdout + result.stderr,
                       f"full disk in place: exit {result.returncode} {result.stderr!r}")
        failures.check(folder.read() == body, f"full disk in place: file ends {folder.read()[-20:]!r}")
        check_untouched(failures, "full disk in place", folder.settings)
        print(f"full disk in place: {len(body)} byte file; {failures.checked} checked")
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


def with_group(path):
    os.chown(path, -1, 2345)
    os.chmod(path, 0o664)


def with_mode(mode):
    return lambda path: os.chmod(path, mode)


def with_owner_and_set_user_id(path):
    os.chown(path, 1234, 2345)
    os.chmod(path, 0o4644)  # after the chown, which clears it


def with_evm_signature(path):
    os.setxattr(path, "security.evm", b"\x03\x02")


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


def try_chattr(path, *flags):
    """Sets each flag the filesystem has; the others it refuses."""
    for flag in flags:
        subprocess.run(["chattr", flag, path], capture_output=True)


def with_flags(path):
    content = open(path, "rb").read()
    with open(path, "wb"):  # Btrfs's +C takes hold only on an empty file
        try_chattr(path, "+C")
    with open(path, "wb") as f:
        f.write(content)
    try_chattr(path, "+A", "+d", "+S", "+s", "+u", "+t", "+m")


def with_project(path):
    subprocess.run(["xfs_io", "-c", "chproj 42", path], capture_output=True)


def owned_with_project(path):
    os.chown(os.path.dirname(path), NOBODY, NOBODY)
    os.chown(path, NOBODY, NOBODY)
    with_project(path)


def flags_to_inherit(folder):
    try_chattr(folder, "+d", "+A", "+s", "+u", "+t")


def with_hard_link(path):
    os.link(path, os.path.join(os.path.dirname(path), "other-name.ini"))


def windows_attributes(attributes, version=5):
    """Samba's user.DOSATTRIB record: an empty text, then version and union tag, then the valid
    fields (attributes and create time) and the attributes; version 5 (Samba 4.17) ends with the
    create time, version 3 with EA size, size, allocation size, create and change time."""
    rest = struct.pack("<Q", 133000000000000000) if version == 5 else struct.pack("<IQQQQ", 0, 9, 4096, 1, 1)
    return lambda path: os.setxattr(path, "user.DOSATTRIB",
                                    struct.pack("<xxHHxxII", version, version, 0x11, attributes) + rest)


def windows_attributes_as_text(text):
    return lambda path: os.setxattr(path, "user.DOSATTRIB", text)


def bind_mounted(path):
    """A file mounted onto settings.ini, as a container's single-file volume is: no rename over it."""
    volume = os.path.join(os.path.dirname(path), "volume.ini")
    shutil.copy(path, volume)
    subprocess.run(["mount", "--bind", volume, path], check=True)


def append_only_folder(path):
    subprocess.run(["chattr", "+a", os.path.dirname(path)], check=True)


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
    ("another group alone, mode 0664", with_group, "/u", None, "replaced"),
    ("set-group-ID mode 2664", with_mode(0o2664), "/u", None, "replaced"),
    ("set-user-ID mode 4644", with_mode(0o4644), "/d", None, "replaced"),
    ("sticky mode 1644", with_mode(0o1644), "/u", None, "replaced"),
    ("another owner and group, set-user-ID mode 4644", with_owner_and_set_user_id, "/u", None,
     "replaced"),
    ("no ACL, in a folder with a default ACL", lambda path: default_acl(os.path.dirname(path)), "/u",
     None, "replaced"),
    ("a security. label the user may not set", with_label_it_may_not_set, "/u", NOBODY, "in place"),
    ("an integrity measurement bound to the inode", with_measurement, "/u", None, "in place"),
    ("an EVM signature bound to the inode", with_evm_signature, "/u", None, "in place"),
    ("another owner's file, writable in a writable folder", writable_by_all_in_open_folder, "/u",
     NOBODY, "in place"),
    ("an immutable file", immutable, "/u", None, "same"),
    ("an append-only file", append_only, "/d", None, "same"),
    ("a file bind-mounted onto the name", bind_mounted, "/u", None, "in place"),
    ("an append-only folder", append_only_folder, "/u", None, "in place"),
    ("inode flags +A +d +S +s +u +t +C +m, those the filesystem has", with_flags, "/u", None,
     "replaced"),
    ("project ID 42, where the filesystem has one", with_project, "/u", None, "replaced"),
    ("project ID 42, run by the file's owner", owned_with_project, "/u", NOBODY, "replaced"),
    ("a second hard link: both names see the change", with_hard_link, "/u", None, "in place"),
    ("Windows read-only (Samba's DOSATTRIB v5, 0x21)", windows_attributes(0x21), "/u", None, "same"),
    ("Windows read-only (Samba's DOSATTRIB v3, 0x1)", windows_attributes(0x1, 3), "/d", None, "same"),
    ("Windows read-only (Samba's old text \"0x21\")", windows_attributes_as_text(b"0x21\0"), "/u",
     None, "same"),
    ("Windows archive bit only (DOSATTRIB v5, 0x20)", windows_attributes(0x20), "/u", None,
     "replaced"),
    ("Windows archive bit only (old text \"0x20\")", windows_attributes_as_text(b"0x20\0"), "/u",
     None, "replaced"),
    ("a folder with +d +A (+s +u +t where kept), a file without",
     lambda path: flags_to_inherit(os.path.dirname(path)), "/u", None, "replaced"),
]

def dangling_link(folder):
    os.symlink("named.ini", os.path.join(folder, "settings.ini"))


# A new settings.ini, in a folder so dressed and with this umask, gets what open(2) gives.
NEW_FILE_CASES = [
    ("umask 022", None, 0o022),
    ("umask 077", None, 0o077),
    ("a folder with a default ACL, umask 077", default_acl, 0o077),
    ("a set-group-ID folder", setgid_folder, 0o022),
    ("a dangling link settings.ini -> named.ini", dangling_link, 0o022),
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


# qemu-user 7.2 answers FS_IOC_FSGETXATTR with ENOSYS, so a program run through it cannot see a
# project ID; where this host cannot execute 32-bit code, these cases would test the emulator on
# XFS, the one filesystem here that keeps project IDs.
NEEDS_FSXATTR_IOCTL = ("project ID 42, where the filesystem has one",
                       "project ID 42, run by the file's owner")


def check_identity_cases(program, mount, name, failures):
    for label, dress, switch, user, expected in IDENTITY_CASES:
        if emulator(program) and label in NEEDS_FSXATTR_IOCTL and name == "xfs":
            print(f"SKIPPED: {name}: {label}: this host cannot execute 32-bit x86 code, and "
                  "qemu-i386-static does not pass FS_IOC_FSGETXATTR on (ENOSYS)")
            continue
        folder = Folder(program, parent=mount)
        os.chmod(folder.root, 0o755)
        folder.write(DRESSED)
        dress(folder.settings)
        before, inode = identity(folder.settings), os.stat(folder.settings).st_ino
        result = folder.run(switch, user=user)
        subprocess.run(["chattr", "-i", "-a", folder.settings], capture_output=True)
        subprocess.run(["chattr", "-i", "-a", folder.root], capture_output=True)
        after = folder.read()
        label = f"{name}: {label}, {switch}"
        check_outcome(failures, label, result, DRESSED, after, switch, expected)
        if expected != "same":
            failures.check((os.stat(folder.settings).st_ino == inode) == (expected == "in place"),
                           f"{label}: not {expected}")
        failures.check(identity(folder.settings) == before,
                       f"{label}: {identity(folder.settings)}, was {before}")
        failures.check(folder.leftovers() == [], f"{label}: left {folder.leftovers()}")
        subprocess.run(["umount", folder.settings], capture_output=True)
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
        made = os.path.realpath(folder.settings)  # through a link, the file it names
        if folder.read() is not None:
            failures.check(identity(made) == expected,
                           f"{label}: {identity(made)}, open(2) gives {expected}")
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
        qemu = emulator(folder.program)
        result = subprocess.run(qemu + [folder.program, "/u"], cwd=folder.root, capture_output=True,
                                timeout=60)
        failures.check(result.returncode == 0, f"{name} without /proc: exit {result.returncode}")
        check_changed(failures, f"{name} without /proc", DRESSED, folder.read(), "/u")
        failures.check(folder.leftovers() == [], f"{name} without /proc: left {folder.leftovers()}")
        # Runs killed at their first and second write leave their named temporaries; the next run
        # that writes clears them, but not one a live run holds locked, nor a name not its own.
        for when in (1, 2):
            subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=pwrite64", "-e",
                            f"inject=pwrite64:signal=KILL:when={when}", *qemu, folder.program, "/i"],
                           cwd="/", capture_output=True, timeout=60)
        killed = folder.leftovers()
        gone = subprocess.Popen(["true"])  # its process ID names no live run
        gone.wait()
        held = os.path.join(folder.root, f".settings.ini.{gone.pid}.1.0.tmp")
        held_fd = os.open(held, os.O_CREAT | os.O_WRONLY, 0o600)
        fcntl.flock(held_fd, fcntl.LOCK_EX)
        others = [".settings.ini.notes", f".settings.ini.{gone.pid}.1.bak", "settings.ini.1.new"]
        for other in others:
            open(os.path.join(folder.root, other), "wb").close()
        result = subprocess.run(qemu + [folder.program, "/i"], cwd="/", capture_output=True, timeout=60)
        os.close(held_fd)
    finally:
        subprocess.run(["umount", "/proc"], check=True)
    label = f"{name} without /proc, after runs killed"
    failures.check(killed != [], f"{label}: the kills left nothing to clear")
    check_changed(failures, label, DRESSED, folder.read(), "/i")
    left = sorted(n for n in os.listdir(folder.root) if n.startswith((".settings", "settings.ini.")))
    failures.check(left == sorted([os.path.basename(held)] + others), f"{label}: left {left}")

    folder.write(DRESSED)
    # Started through a symbolic link in another folder: the marker lands beside the program.
    other = Folder(program, parent=mount)
    os.remove(other.program)
    os.symlink(folder.program, other.program)
    other.write(DRESSED)
    # Its argv[0] names a file beside the link, not the program: only the executed file counts.
    shutil.copy(folder.program, os.path.join(other.root, "decoy"))
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/proc"], check=True)
    try:
        result = subprocess.run(["decoy", "/i"], executable=other.program, cwd=other.root,
                                capture_output=True, timeout=60)
    finally:
        subprocess.run(["umount", "/proc"], check=True)
    label = f"{name} without /proc, through a link"
    failures.check(result.returncode == 0, f"{label}: exit {result.returncode}")
    check_changed(failures, label, DRESSED, folder.read(), "/i")
    failures.check(other.read() == DRESSED, f"{label}: written beside the link: {other.read()!r}")
    other.remove()
    folder.remove()


def check_planted_link(program, mount, name, failures):
    """Another user's link in a sticky world-writable folder, to a file of root's: with
    fs.protected_symlinks=1 the kernel refuses root to follow it, and so must the program."""
    folder = Folder(program, parent=mount)
    os.chmod(folder.root, 0o1777)
    target = os.path.join(mount, "target.ini")
    with open(target, "wb") as f:
        f.write(DRESSED)
    os.symlink(target, folder.settings)
    os.lchown(folder.settings, NOBODY, NOBODY)
    setting = "/proc/sys/fs/protected_symlinks"
    was = open(setting).read().strip()
    with open(setting, "w") as f:
        f.write("1")
    try:
        folder.run("/u")
    finally:
        with open(setting, "w") as f:
            f.write(was)
    label = f"{name}: a planted link with fs.protected_symlinks=1"
    failures.check(open(target, "rb").read() == DRESSED, f"{label}: target changed")
    failures.check(os.path.islink(folder.settings), f"{label}: the link is gone")
    failures.check(folder.leftovers() == [], f"{label}: left {folder.leftovers()}")
    os.remove(target)
    folder.remove()


# Cases that need what only one of the filesystems offers, or one is enough for.
SPECIAL_CASES = {"ext4": check_without_proc, "xfs": check_large_inode, "tmpfs": check_large_file,
                 "btrfs": check_planted_link}


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
                                         "rename,renameat,renameat2,syncfs")
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

    # Another user's file in a folder it may write but not read (0311), which cannot be opened to
    # flush it; and in one where no new file can be made (0555), which it rewrites in place.
    for mode, check, label in [(0o311, check_new_file_order, "durability, 0311 folder"),
                               (0o555, check_in_place_order, "durability, in place")]:
        folder = Folder(program)
        folder.write(OTHER_LINES)
        wrapper = ()
        if os.geteuid() == 0:
            os.chown(folder.root, NOBODY, NOBODY)
            os.chown(folder.settings, NOBODY, NOBODY)
            wrapper = ("setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups")
        os.chmod(folder.root, mode)
        calls = traced_calls(folder, "/u", wrapper)
        os.chmod(folder.root, 0o755)
        watched = folder.root if check is check_new_file_order else folder.settings
        check(failures, label, calls, os.path.realpath(watched))
        failures.check(marker(folder.read() or b"") == "ko197311", f"{label}: not set")
        folder.remove()
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
        self.user = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"] if in_place else []

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

    def traced(self, switch, *options):
        return subprocess.run(self.user + ["strace", "-f", "-qq", *options, self.program, switch],
                              cwd="/", capture_output=True, timeout=60)


def sweep_calls(folder, switch):
    """The system calls of a clean run, as (name, how many times) in order of first use."""
    log = os.path.join(tempfile.mkdtemp(prefix="ko197311-sweep-"), "calls")
    os.chmod(os.path.dirname(log), 0o777)
    folder.reset()
    folder.traced(switch, "-o", log)
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
    folder.traced(switch, "-o", "/dev/null", "-e", f"trace={name}",
                  "-e", f"inject={name}:{action}:when={when}")
    after = folder.read()
    problems = []
    # The one window no in-place writer closes: killed between a shorter write and the cut.
    allowed = [before, new] + ([window] if window and action == "signal=KILL" else [])
    if after not in allowed:
        problems.append(f"file is neither old nor new: {after!r}")
    elif identity(folder.settings) != surrounding:
        problems.append(f"identity {identity(folder.settings)}, was {surrounding}")
    folder.run(switch, user=NOBODY if folder.in_place else None)
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
        print("SKIPPED: the system call sweep needs strace and root")
        failures.check(os.environ.get("CI") != "true", "system call sweep skipped under CI")
        return
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
        os.chmod(folder.root, 0o755)
        folder.remove()
    print(f"system call sweep: {len(points)} points over {len(SWEEP_RUNS)} runs, {failing} failing, "
          f"in {time.monotonic() - started:.1f} s")


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
        old = os.fstat(fd)  # a careful writer: the new file keeps the old one's owner and mode
        os.chown(temporary, old.st_uid, old.st_gid)
        os.chmod(temporary, old.st_mode & 0o7777)
        time.sleep(hold)
        os.rename(temporary, path)
        os.close(fd)


def hold_lock(path, seconds, kind):
    """Another writer that holds an fcntl lock (LOCK_EX: a write lock, LOCK_SH: a read lock, as
    Python's lockf takes them) for `seconds`; a write-lock holder then adds a section in place.
    "replace" keeps the file locked and replaced: each new file is locked before it is renamed
    over the old one, whose lock then goes."""
    fd = os.open(path, os.O_RDWR)
    fcntl.lockf(fd, fcntl.LOCK_SH if kind == "LOCK_SH" else fcntl.LOCK_EX)
    print("locked", flush=True)
    sys.stdin.readline()  # the time counts from our run's start
    end = time.monotonic() + seconds
    while kind == "replace" and time.monotonic() < end:
        temporary = path + ".replacer"
        with open(temporary, "wb") as f:
            f.write(os.pread(fd, 1 << 20, 0))
        new = os.open(temporary, os.O_RDWR)
        fcntl.lockf(new, fcntl.LOCK_EX)
        os.rename(temporary, path)
        os.close(fd)
        fd = new
        time.sleep(0.05)
    time.sleep(max(0, end - time.monotonic()))
    if kind == "LOCK_EX":
        os.pwrite(fd, RIVAL, os.fstat(fd).st_size)


# Another writer that holds the file's lock: what it does, for how long, the time our run may
# take (bounds both ways), the marker after, and whether the holder's own section is in the file.
# Our run waits for a lock about 5 s at most, then goes on without it; it starts over beside a
# replacer for about 5 s from its first try, then drops the update. The rows run at once; a
# holder still at it when our run has ended is stopped then.
LOCK_HOLDERS = [
    ("LOCK_EX", 1, (0.9, 3), "ko197311", RIVAL),  # waited for, and read after the holder's edit
    ("LOCK_SH", 1, (0.9, 3), "ko197311", b""),    # a reader's lock holds back a writer too
    ("LOCK_EX", 40, (4.5, 8), "ko197311", b""),   # not waited for past about 5 s
    ("replace", 15, (4.5, 8), "old", b""),        # dropped after about 5 s of starting over
]


def check_lock_holders(program, failures):
    folders, holders, runs = [], [], []
    for kind, seconds, _, _, _ in LOCK_HOLDERS:
        folder = Folder(program)
        folder.write(OTHER_LINES)
        holder = subprocess.Popen([sys.executable, __file__, "--hold", folder.settings, str(seconds),
                                   kind], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        holder.stdout.readline()
        folders.append(folder)
        holders.append(holder)
    for folder, holder in zip(folders, holders):
        holder.stdin.write(b"go\n")
        holder.stdin.flush()
        runs.append((subprocess.Popen([folder.program, "/u"], cwd="/"), time.monotonic()))
    taken = [None] * len(runs)
    deadline = time.monotonic() + 12
    while None in taken and time.monotonic() < deadline:
        for i, (process, started) in enumerate(runs):
            if taken[i] is None and process.poll() is not None:
                taken[i] = time.monotonic() - started
                holders[i].kill()
        time.sleep(0.01)
    for holder in holders:
        holder.kill()
        holder.wait()
    for (kind, seconds, (least, most), expected, added), folder, (process, _), took in zip(
            LOCK_HOLDERS, folders, runs, taken):
        label = f"beside a {kind} holder of {seconds} s"
        try:
            code = process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            code = process.wait()
        failures.check(took is not None and least <= took <= most,
                       f"{label}: the run took {'over 12' if took is None else round(took, 2)} s, "
                       f"not {least} to {most}")
        failures.check(code == 0, f"{label}: exit {code}")
        after = folder.read() or b""
        failures.check(marker(after) == expected, f"{label}: marker {marker(after)!r}")
        failures.check(without_marker_lines(after) == without_marker_lines(OTHER_LINES + added),
                       f"{label}: other bytes changed: {after!r}")
        folder.remove()
    print(f"lock holders: runs took {', '.join(f'{t:.1f}' for t in taken if t is not None)} s")


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

    # In place (another user's file in a folder it may not write), while that writer replaces the
    # file during the run's wait for the lock: the run must edit the file the name now shows.
    folder.write(b"[other]\nn=0\n[tovrin]\nmdb=old\n")
    os.chown(folder.settings, NOBODY, NOBODY)
    os.chmod(folder.root, 0o755)
    counter = subprocess.Popen([sys.executable, __file__, "--count", folder.settings, "1", "0.5"])
    deadline = time.monotonic() + 10
    while not os.path.exists(folder.settings + ".counter") and time.monotonic() < deadline:
        time.sleep(0.001)
    result = folder.run("/u", user=NOBODY)
    failures.check(counter.wait() == 0, "the replacing writer failed")
    after = folder.read()
    failures.check(result.returncode == 0 and b"\nn=1\n" in after and marker(after) == "ko197311",
                   f"in place beside a replacing writer: {after!r}")

    # Another process (a Samba client) holds the file open through a run, then writes through its
    # handle: the write lands in the file the name shows, beside the run's change.
    folder.write(OTHER_LINES)
    holder = subprocess.Popen([sys.executable, __file__, "--hold-open", folder.settings],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    holder.stdout.readline()
    result = folder.run("/u")
    holder.communicate(b"write\n", timeout=60)
    after = folder.read()
    failures.check(result.returncode == 0, f"beside an open handle: exit {result.returncode}")
    failures.check(marker(after) == "ko197311" and after.endswith(b"[late]\nx=1\n"),
                   f"beside an open handle: {after!r}")

    # A lease holder that lets go when the run's open breaks its lease: the run waits for it.
    folder.write(OTHER_LINES)
    holder = subprocess.Popen([sys.executable, __file__, "--hold-lease", folder.settings],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    holder.stdout.readline()
    started = time.monotonic()
    result = folder.run("/u")
    took = time.monotonic() - started
    holder.communicate(b"done\n", timeout=60)
    failures.check(result.returncode == 0 and marker(folder.read()) == "ko197311",
                   f"beside a lease holder: {folder.read()!r}")
    failures.check(took < 2, f"beside a lease holder: took {took:.2f} s")
    print(f"beside a lease holder: {took:.3f} s")
    folder.remove()
    check_lock_holders(program, failures)


def hold_lease(path):
    """Holds a read lease on the file, as Samba does for a client's oplock, and gives it up a few
    milliseconds after the kernel asks."""
    fd = os.open(path, os.O_RDONLY)

    def let_go(*_):
        time.sleep(0.02)
        fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)

    signal.signal(signal.SIGIO, let_go)
    fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_RDLCK)
    print("leased", flush=True)
    sys.stdin.readline()


def hold_open(path):
    """Opens the file, says so, and writes through the handle when told."""
    fd = os.open(path, os.O_WRONLY | os.O_APPEND)
    print("open", flush=True)
    sys.stdin.readline()
    os.write(fd, b"[late]\nx=1\n")


def main(argv):
    if argv[1:2] == ["--inside-full-disk"]:
        return inside_full_disk(argv[2])
    if argv[1:2] == ["--inside-filesystems"]:
        return inside_filesystems(argv[2])
    if argv[1:2] == ["--hold-lease"]:
        return hold_lease(argv[2])
    if argv[1:2] == ["--hold-open"]:
        return hold_open(argv[2])
    if argv[1:2] == ["--hold"]:
        return hold_lock(argv[2], float(argv[3]), argv[4])
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
    test_system_call_sweep(program, failures)
    print(f"{failures.checked - failures.count} passed, {failures.count} failed")
    return 1 if failures.count else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
