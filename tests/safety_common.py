"""What the crash-safety tests share: a folder with a copy of the program, identity, checks."""
import ctypes
import fcntl
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import threading

from end_to_end import emulator

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
        command = emulator(self.program) + [self.program, switch]
        if user == CONTAINER_ROOT:
            return run_as_container_root(command, cwd="/", env=env, **options)
        who = [] if user is None else ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"]
        return subprocess.run(who + command, cwd="/", env=env, capture_output=True, timeout=60,
                              **options)

    def remove(self):
        shutil.rmtree(self.root)


SWITCH_VALUES = {"/u": "ko197311", "/i": "jas197311", "/d": None}
# A file larger than one short read: 200,000 bytes, the marker at its end.
LARGE = b"; filler\r\n" * 20000 + OTHER_LINES
STARTS = {"existing": OTHER_LINES, "marked": b"[tovrin]\nmdb=ko197311\nx=1\n", "missing": None,
          "empty": b"", "large": LARGE, "existing, folder with a default ACL": OTHER_LINES,
          "long": b"[tovrin]\nmdb=old\n" + b"[padding]\n" + b"; %s\n" % (b"p" * 80) * 30000,
          "missing, through a dangling link": None,
          "580 kB": b"[tovrin]\nmdb=old\n" + b"; %s\n" % (b"p" * 80) * 7000}
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


# The unprivileged user that rows run as, or hand a file to; and a second one, where a row needs
# two strangers (one of them nobody's other name for an ID it cannot see).
NOBODY = 65534
STRANGER = 65533

# A row's user may be the root of a user namespace that maps 0..65535 onto host 100000.., as a
# rootless container runtime (through /etc/subuid) starts its process.
CONTAINER_ROOT = "container root"
CONTAINER_BASE = 100000
CLONE_NEWNS, CLONE_NEWUSER = 0x20000, 0x10000000


def run_as_container_root(command, **options):
    """Runs the command as root of a new user namespace with a mount namespace of its own. The
    child waits while its ID maps are written from outside, as newuidmap does for a runtime."""
    ready_out, ready_in = os.pipe()
    go_out, go_in = os.pipe()

    def enter():
        if ctypes.CDLL(None, use_errno=True).unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0:
            os._exit(126)
        os.write(ready_in, str(os.getpid()).encode())
        os.read(go_out, 1)
        os.setgroups([])
        os.setresgid(0, 0, 0)
        os.setresuid(0, 0, 0)

    def map_ids():
        pid = os.read(ready_out, 32)
        if pid:
            for name in ("uid_map", "gid_map"):
                with open(f"/proc/{int(pid)}/{name}", "w") as f:
                    f.write(f"0 {CONTAINER_BASE} 65536\n")
        os.write(go_in, b"g")

    mapper = threading.Thread(target=map_ids)
    mapper.start()
    try:
        return subprocess.run(command, preexec_fn=enter, capture_output=True, timeout=60, **options)
    finally:
        os.close(ready_in)  # a child that never got so far leaves the mapper nothing to wait for
        mapper.join()
        for fd in (ready_out, go_out, go_in):
            os.close(fd)


def as_user(uid, command):
    """The command run as another, unprivileged user (user and group `uid`, no other groups)."""
    return ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", *command]


def in_pid_namespace(command):
    """The command as a container runtime starts it: in a PID namespace of its own, where it is
    process 1, with a mount namespace and a /proc to match."""
    return ["unshare", "--pid", "--fork", "--mount-proc", *command]


def without_proc(command):
    """The command in a mount namespace of its own with /proc hidden, as in some containers."""
    return ["unshare", "-m", "--propagation", "private", "sh", "-c",
            'mount -t tmpfs tmpfs /proc && exec "$@"', "sh", *command]


def run_in_own_mounts(failures, what, script, *arguments):
    """The test script again, as root in a mount namespace of its own, where it mounts what it
    tests on."""
    if os.geteuid() != 0:
        print(f"SKIPPED: the {what} test mounts filesystems and needs root")
        failures.check(os.environ.get("CI") != "true", f"{what} test skipped under CI")
        return
    result = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, script,
                             *arguments], capture_output=True, text=True, timeout=900)
    print(result.stdout, end="")
    found = re.search(r"(\d+) checked", result.stdout)
    failures.checked += int(found.group(1)) if found else 0
    failures.check(result.returncode == 0, f"{what}: {result.stderr.strip()}")


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


def default_acl(folder):
    subprocess.run(["setfacl", "-d", "-m", "u:nobody:rw,o::r", folder], check=True)
