"""What every test harness here shares: failures, folders, runs, the INI reader and the checks.

A harness is tables of rows and a loop over each; a new case is one more row. For example:

    ROWS = [("existing", OTHER_LINES, "/u", CHANGED),  # label, settings.ini before, switch, outcome
            ("missing", None, "/d", SAME)]

    def test(failures, program):
        for label, before, switch, expected in ROWS:
            with Folder(program, content=before) as folder:
                check_row(failures, label, folder, folder.run(switch), before, switch, expected)

    if __name__ == "__main__":
        main(__doc__, test)

main() prints "N passed, M failed"; skip() fails under CI=true. run() takes an argv that
as_user, under_strace, in_pid_namespace, without_proc and emulator wrap. check_outcome checks an
outcome (SAME, CHANGED, IN_PLACE, REPLACED, GROWN, exact bytes, or the marker left); check_row adds
the exit, the inode, the identity and the leftovers.
"""
import collections
import contextlib
import ctypes
import fcntl
import functools
import inspect
import os
import pathlib
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import i386_probe  # noqa: E402

# ---- constants ---------------------------------------------------------------------------

SWITCH_VALUES = {"/u": "ko197311", "/i": "jas197311", "/d": None}
NEW_FILE = b"[tovrin]\nmdb=ko197311\n"
OTHER_LINES = b"; kept byte for byte\r\n[app]\r\nname = x\r\n\r\n[tovrin]\r\nother=1\r\nmdb=old\r\n"
DECOY = b"[tovrin]\nmdb=decoy\n"
MARKED = b"[tovrin]\nmdb=jas197311\nother=1\n"
# Where rows start: settings.ini's bytes (None: no file). "large" is larger than one short read,
# 200,000 bytes with the marker at its end.
STARTS = {"existing": OTHER_LINES, "marked": b"[tovrin]\nmdb=ko197311\nx=1\n", "missing": None,
          "empty": b"", "large": b"; filler\r\n" * 20000 + OTHER_LINES,
          "existing, folder with a default ACL": OTHER_LINES,
          "long": b"[tovrin]\nmdb=old\n" + b"[padding]\n" + b"; %s\n" % (b"p" * 80) * 30000,
          "missing, through a dangling link": None,
          "580 kB": b"[tovrin]\nmdb=old\n" + b"; %s\n" % (b"p" * 80) * 7000}
# What fail_io's "rival" writer creates (see tests/fail_io.cpp), and an attribute a file keeps.
RIVAL = b"[other]\nkept=1\n"
ORIGIN = ("user.origin", b"kept with the file")
# The unprivileged user that rows run as, or hand a file to (and who runs Wine under root); a
# second one, where a row needs two strangers (one of them nobody's other name for an ID).
NOBODY = 65534
STRANGER = 65533
# Temporary names: any the program may leave, and the exact form it gives them with /proc.
TEMPORARY = re.compile(r"^\.settings\.ini\..*")
TEMPORARY_STRICT = re.compile(r"^\.settings\.ini\.[0-9a-f]{16}\.tmp$")
# A row's user may be the root of a user namespace that maps 0..65535 onto host 100000.., as a
# rootless container runtime (through /etc/subuid) starts its process.
CONTAINER_ROOT = "container root"
CONTAINER_BASE = 100000
# A modification time long past, so that any write in the run shows, however coarse the clock.
EARLIER = 1_000_000_000_123_456_789


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


# ---- failures, skips and the main --------------------------------------------------------

class Failures:
    def __init__(self):
        self.count = self.checked = 0

    def check(self, ok, what):
        self.checked += 1
        if not ok:
            self.count += 1
            print("FAILED:", what)
        return ok


def skip(failures, reason, what="the test"):
    """Says why a test cannot run here; under CI=true that is a failure."""
    print(f"SKIPPED: {reason}")
    failures.check(os.environ.get("CI") != "true", f"{what} skipped under CI")


def main(usage, tests, helpers=None, failures=None):
    """Runs the test (or of {first argument: test}, the one) the arguments name, with the Failures
    and the arguments, and ends with the status it returns (77: skipped), else by the checks.
    `helpers` maps a first argument to a function this script runs as a helper process."""
    argv = sys.argv[1:]
    if helpers and argv[:1] and argv[0] in helpers:
        sys.exit(helpers[argv[0]](*argv[1:]))
    test = tests.get(argv[0] if argv else None) if isinstance(tests, dict) else tests
    arguments = argv[1:] if isinstance(tests, dict) else argv
    try:
        inspect.signature(test).bind(failures, *arguments)
    except TypeError:  # no such test, or too few or too many arguments for it
        print(usage)
        sys.exit(2)
    failures = failures or Failures()
    status = test(failures, *arguments)
    if status:
        sys.exit(status)
    print(f"{failures.checked - failures.count} passed, {failures.count} failed")
    sys.exit(1 if failures.count else 0)


def run_in_own_mounts(failures, what, script, *arguments):
    """The script again as root in a mount namespace of its own, to mount filesystems on."""
    if os.geteuid() != 0:
        return skip(failures, f"the {what} test mounts filesystems and needs root", f"{what} test")
    result = subprocess.run(in_own_mounts([sys.executable, script, *arguments]), capture_output=True,
                            text=True, timeout=900)
    print(result.stdout, end="")
    found = re.search(r"(\d+) checked", result.stdout)
    failures.checked += int(found.group(1)) if found else 0
    failures.check(result.returncode == 0, f"{what}: {result.stderr.strip()}")


def reenter_in_own_mounts():
    if os.environ.get("KO197311_PRIVATE_MOUNTS") != "1":
        os.environ["KO197311_PRIVATE_MOUNTS"] = "1"
        os.execvp("unshare", in_own_mounts([sys.executable] + sys.argv))


@contextlib.contextmanager
def sysctl(name, value):
    path = pathlib.Path("/proc/sys", *name.split("."))
    was = path.read_text().strip()
    path.write_text(value)
    try:
        yield
    finally:
        path.write_text(was)


@contextlib.contextmanager
def proc_hidden():
    """/proc hidden under an empty tmpfs for the while (in this test's own mount namespace)."""
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/proc"], check=True)
    try:
        yield
    finally:
        subprocess.run(["umount", "/proc"], check=True)


def write_bytes(path, content):
    pathlib.Path(path).write_bytes(content)


def timed(function, *arguments, **options):
    """What the call returns, and the seconds it took."""
    started = time.monotonic()
    return function(*arguments, **options), time.monotonic() - started


def wait_until(predicate, seconds, step=0.01):
    deadline = time.monotonic() + seconds
    while not (answer := predicate()) and time.monotonic() < deadline:
        time.sleep(step)
    return answer


# ---- running -----------------------------------------------------------------------------

@functools.lru_cache(maxsize=None)
def emulator(program):
    """What to start an i386 program with where this host cannot execute it: qemu-i386-static."""
    header = open(program, "rb").read(20)
    is_i386 = header[:5] == b"\x7fELF\x01" and header[18:20] == b"\x03\x00"
    if not is_i386 or i386_probe.can_execute_i386():
        return []
    qemu = shutil.which("qemu-i386-static")
    if qemu is None:
        sys.exit(f"{i386_probe.REASON}, and qemu-i386-static is not installed "
                 "(bash tools/setup installs it)")
    return [qemu]


def as_user(uid, command):
    """The command run as another, unprivileged user (user and group `uid`, no other groups)."""
    return ["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", *command]


def under_strace(command, call=None, inject=None, when=None, trace=None, log="/dev/null",
                 options=()):
    """The command under strace, its calls `trace` (else `call`) logged; with `inject`, that
    action (signal=KILL, error=EIO, delay_exit=...) at `call`, at its `when`th time if given."""
    argv = ["strace", "-f", "-qq", "-o", log, *options]
    if trace or call:
        argv += ["-e", f"trace={trace or call}"]
    if inject:
        argv += ["-e", f"inject={call}:{inject}" + (f":when={when}" if when else "")]
    return argv + list(command)


def with_fail_io(library, faults, env=None):
    """The environment that makes fail_io fail the calls `faults` names (see tests/fail_io.cpp)."""
    return dict(env or os.environ, LD_PRELOAD=library, FAIL_IO=faults)


def in_pid_namespace(command):
    """The command as a container runtime starts it: process 1 of own PID and mount namespaces."""
    return ["unshare", "--pid", "--fork", "--mount-proc", *command]


def in_own_mounts(command):
    return ["unshare", "-m", "--propagation", "private", *command]


def without_proc(command):
    """The command in a mount namespace of its own with /proc hidden, as in some containers."""
    return in_own_mounts(["sh", "-c", 'mount -t tmpfs tmpfs /proc && exec "$@"', "sh", *command])


def run(command, cwd="/", user=None, timeout=60, merged=False, **options):
    """Runs the command as `user` (a user ID, or CONTAINER_ROOT), its output caught in files,
    not pipes: Wine leaves services behind that would hold a pipe open."""
    if user == CONTAINER_ROOT:
        return run_as_container_root(command, cwd=cwd, timeout=timeout, **options)
    if user is not None:
        command = as_user(user, command)
    mode = "w+" if options.get("text") else "w+b"  # str with text=True, as subprocess.run gives
    with tempfile.TemporaryFile(mode) as out, tempfile.TemporaryFile(mode) as err:
        result = subprocess.run(command, cwd=cwd, stdout=out, stderr=out if merged else err,
                                timeout=timeout, **options)
        out.seek(0)
        err.seek(0)
        result.stdout, result.stderr = out.read(), err.read()
    return result


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
                pathlib.Path(f"/proc/{int(pid)}/{name}").write_text(f"0 {CONTAINER_BASE} 65536\n")
        os.write(go_in, b"g")

    mapper = threading.Thread(target=map_ids)
    mapper.start()
    try:
        return subprocess.run(command, preexec_fn=enter, capture_output=True, **options)
    finally:
        os.close(ready_in)  # a child that never got so far leaves the mapper nothing to wait for
        mapper.join()
        for fd in (ready_out, go_out, go_in):
            os.close(fd)


def wine_status(wine_env):
    """0 when this build's Wine can run here; else the status to end with, once wine_env.sh said
    why (77, skipped: no 32-bit execution on this host, or no Wine outside CI)."""
    if os.environ.get("KO197311_WINE_BITS", "32") == "32" and i386_probe.FORCE not in os.environ:
        os.environ[i386_probe.FORCE] = "yes" if i386_probe.can_execute_i386() else "no"
    return subprocess.run([wine_env, "true"]).returncode


def wine_command_line(program_path, tail, quoted=True):
    return (f'"{program_path}"' if quoted else program_path) + tail


def run_wine(wine_env, launcher, folder, command_line, env=None):
    """The Windows program started by the launcher with exactly this command line."""
    to_hex = lambda text: text.encode("utf-16-be").hex()  # noqa: E731
    return run([wine_env, "wine", launcher, to_hex(windows_path(folder.program)),
                to_hex(command_line)], cwd=folder.cwd, env=env)


# ---- the folder --------------------------------------------------------------------------

class Folder(contextlib.AbstractContextManager):
    """A fresh folder (`root`) with a copy of the program, or with `app`, that subfolder of a fresh
    one beside a working folder (`cwd`) holding a decoy settings.ini; all of it given to `owner`.
    Removed on leaving, whatever chattr or a mount left on it."""

    def __init__(self, program, parent=None, app=None, owner=None, content=None, mode=None):
        self.top = tempfile.mkdtemp(prefix="ko197311-", dir=parent)
        self.root, self.cwd, self.owner = self.top, "/", owner
        if app is not None:
            self.root, self.cwd = os.path.join(self.top, app), os.path.join(self.top, "elsewhere")
            os.makedirs(self.root)
            os.makedirs(self.cwd)
            write_bytes(os.path.join(self.cwd, "settings.ini"), DECOY)
        self.program = shutil.copy(program, self.root)
        self.settings = os.path.join(self.root, "settings.ini")
        self.write(content, mode)

    def __exit__(self, *_):
        self.remove()

    def write(self, content, mode=None):
        """settings.ini with these bytes (None: no file), and this mode if given."""
        if content is not None:
            write_bytes(self.settings, content)
            if mode is not None:
                os.chmod(self.settings, mode)
        self.give_away()

    def read(self):
        return open(self.settings, "rb").read() if os.path.isfile(self.settings) else None

    def leftovers(self):
        return sorted(n for n in os.listdir(self.root) if TEMPORARY.match(n))

    def decoy_untouched(self):
        decoy = os.path.join(self.cwd, "settings.ini")
        return os.path.isfile(decoy) and open(decoy, "rb").read() == DECOY

    def command(self, switch, wrap=None):
        """The program with this switch (or these argv words), wrapped by `wrap` if given."""
        words = [switch] if isinstance(switch, str) and switch else list(switch or [])
        command = emulator(self.program) + [self.program, *words]
        return wrap(command) if wrap else command

    def run(self, switch, wrap=None, **options):
        return run(self.command(switch, wrap), cwd=self.cwd, **options)

    def start(self, switch, wrap=None, **options):
        return subprocess.Popen(self.command(switch, wrap), cwd="/", **options)

    def give_away(self):
        if self.owner is not None:
            subprocess.run(["chown", "-hR", f"{self.owner}:{self.owner}", self.top], check=True)

    def remove(self):
        try:
            shutil.rmtree(self.top)
        except OSError:  # an immutable or append-only file or folder, or a file mounted on
            subprocess.run(["chattr", "-R", "-i", "-a", self.top], capture_output=True)
            subprocess.run(["umount", self.settings], capture_output=True)
            os.chmod(self.root, 0o755)
            shutil.rmtree(self.top)


# ---- the INI reader ----------------------------------------------------------------------

BLANKS = b" \t\v"  # skipped around names and values, as Windows does
BYTE_ORDER_MARK = b"\xef\xbb\xbf"
Line = collections.namedtuple("Line", "text section first key value")


def read_ini(content, skip_mark=False):
    """Each line as Windows reads it: its bytes, its section (folded; None before any), whether
    that is the first of the name (Windows reads no later one), and on an entry its folded key and
    value (None without "="). A UTF-8 mark is text that hides a header, unless `skip_mark`."""
    lines, section, first, seen = [], None, False, set()
    each_line = rb"[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+$"  # with its break (CR LF, CR or LF)
    for index, text in enumerate(re.findall(each_line, content or b"")):
        body = text.rstrip(b"\r\n")
        if index == 0 and skip_mark and body.startswith(BYTE_ORDER_MARK):
            body = body[3:]
        body = body.strip(BLANKS)
        key = value = None
        if body.startswith(b"["):
            section = body[1:].split(b"]")[0].strip(BLANKS).lower()
            first = section not in seen
            seen.add(section)
        elif body and not body.startswith(b";"):
            key, equals, value = body.partition(b"=")
            key, value = key.strip(BLANKS).lower(), value.strip(BLANKS) if equals else None
        lines.append(Line(text, section, first, key, value))
    return lines


def names_marker(line):
    """An entry named mdb in a section named tovrin (a repeated one too: ours edits every one)."""
    return line.section == b"tovrin" and line.key == b"mdb"


def marker(content, skip_mark=False):
    """As Windows reads it: the first mdb of the first [tovrin] (empty without "="), or None."""
    for line in read_ini(content, skip_mark):
        if names_marker(line) and line.first:
            return (line.value or b"").decode("latin-1")
    return None


def other_bytes(content, skip_mark=False):
    return b"".join(line.text for line in read_ini(content, skip_mark) if not names_marker(line))


def other_settings(content, skip_mark=False):
    """Everything but the marker, as a reader sees it: {section: {key: value}}, the first of
    each name, comments, blank lines and line breaks aside."""
    sections = {}
    for line in read_ini(content, skip_mark):
        if line.first:  # in the first section of its name, so never before any
            keys = sections.setdefault(line.section.decode("latin-1"), {})
            if line.value is not None and not names_marker(line):
                keys.setdefault(line.key.decode("latin-1"), line.value.decode("latin-1"))
    return {name: keys for name, keys in sections.items() if keys or name != "tovrin"}


# ---- outcomes and checks -----------------------------------------------------------------

# What a row expects the file to be after: byte for byte as before; the switch's marker with
# every other byte kept (in the same inode, or in a new one that took its place); that, after
# fail_io's growth; or these exact bytes. A marker value (or ABSENT) checks the marker alone,
# with the other settings as read kept.
SAME, CHANGED, IN_PLACE, REPLACED, GROWN = "same", "changed", "in place", "replaced", "grown"
ABSENT = None
# What fail_io's "grow" appends (see tests/fail_io.cpp).
GROWTH = b"; grown\n" * 10000


def check_quiet(failures, label, result):
    failures.check(result.returncode == 0, f"{label}: exit status {result.returncode}")
    failures.check(result.stdout == b"" and result.stderr == b"",
                   f"{label}: printed {result.stdout!r} {result.stderr!r}")


def check_marked(failures, label, after, value, before):
    failures.check(after is not None and marker(after) == value,
                   f"{label}: marker {marker(after or b'')!r}: {after!r}")
    failures.check(after is not None and other_bytes(after) == other_bytes(before),
                   f"{label}: other bytes changed: {after!r}")


def check_changed(failures, label, before, after, switch):
    if before is None:
        failures.check(after == NEW_FILE, f"{label}: new file is {after!r}")
    else:
        check_marked(failures, label, after, SWITCH_VALUES[switch], before)


def check_outcome(failures, label, before, after, expected, switch=None):
    if isinstance(expected, bytes):
        failures.check(after == expected, f"{label}: file is {after!r}, expected {expected!r}")
    elif expected == SAME:
        failures.check(after == before, f"{label}: file changed: {before!r} -> {after!r}")
    elif expected == GROWN:
        check_changed(failures, label, before + GROWTH, after, switch)
    elif expected in (CHANGED, IN_PLACE, REPLACED):
        check_changed(failures, label, before, after, switch)
    else:
        failures.check(after is not None or expected == ABSENT, f"{label}: no settings.ini")
        found = marker(after or b"")
        failures.check(found == expected, f"{label}: marker {found!r}, expected {expected!r}")
        failures.check(other_settings(after) == other_settings(before),
                       f"{label}: other settings changed: {before!r} -> {after!r}")


def check_row(failures, label, folder, result, before, switch, expected, inode=None,
              surrounding=None):
    """Quiet, the file as expected (in place or replaced), what surrounds it kept, no leftovers."""
    check_quiet(failures, label, result)
    after = folder.read()
    check_outcome(failures, label, before, after, expected, switch)
    if expected in (IN_PLACE, REPLACED) and inode is not None:
        failures.check((os.stat(folder.settings).st_ino == inode) == (expected == IN_PLACE),
                       f"{label}: not {expected}")
    if surrounding is not None and after is not None:
        failures.check(identity(folder.settings) == surrounding,
                       f"{label}: {identity(folder.settings)}, was {surrounding}")
    failures.check(folder.leftovers() == [], f"{label}: left {folder.leftovers()}")


def check_untouched(failures, label, path):
    """No byte was written, not even to be put back: the room is found missing first."""
    mtime = os.stat(path).st_mtime_ns
    failures.check(mtime == EARLIER, f"{label}: written meanwhile, modified at {mtime}")


# ---- what surrounds the bytes ------------------------------------------------------------

FS_IOC_GETFLAGS = 0x80086601
FS_IOC_FSGETXATTR = 0x801C581F
# chattr's flags that say how a file is kept (s u c S d A m j t C x), and FS_IOC_FSGETXATTR's
# (XFS's realtime, sync, noatime, nodump, extent size, nodefrag, filestream, DAX, CoW extent size).
KEPT_FLAGS = 0x1 | 0x2 | 0x4 | 0x8 | 0x40 | 0x80 | 0x400 | 0x4000 | 0x8000 | 0x800000 | 0x2000000
KEPT_XFLAGS = 0x1 | 0x20 | 0x40 | 0x80 | 0x800 | 0x2000 | 0x4000 | 0x8000 | 0x10000


def identity(path):
    """What surrounds the bytes: mode, owner, group, every extended attribute (ACLs among them),
    and a file's chattr flags, XFS flags and project ID (each None where a filesystem has none)."""
    info = os.lstat(path)
    names = os.listxattr(path, follow_symlinks=False)
    inode = None
    if stat.S_ISREG(info.st_mode):
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
        flags = extended = None
        with contextlib.suppress(OSError):
            flags = struct.unpack("I", fcntl.ioctl(fd, FS_IOC_GETFLAGS, bytes(8))[:4])[0]
            flags &= KEPT_FLAGS
        with contextlib.suppress(OSError):
            found = fcntl.ioctl(fd, FS_IOC_FSGETXATTR, bytes(28))
            xflags, extsize, _, project = struct.unpack("4I", found[:16])
            extended = (xflags & KEPT_XFLAGS, extsize, project)
        os.close(fd)
        inode = (flags, extended)
    return (oct(info.st_mode), info.st_uid, info.st_gid,
            {name: os.getxattr(path, name, follow_symlinks=False) for name in sorted(names)}, inode)


def fresh_identity(folder):
    """What open(2) gives a new file in this folder, with this umask: a new settings.ini gets the same."""
    reference = os.path.join(folder, ".reference")
    os.close(os.open(reference, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666))
    found = identity(reference)
    os.remove(reference)
    return found


def default_acl(folder):
    subprocess.run(["setfacl", "-d", "-m", "u:nobody:rw,o::r", folder], check=True)


def fill(mount):
    """Takes every free block of the filesystem, and returns the file that holds them."""
    filler = os.path.join(mount, "filler")
    with open(filler, "wb", buffering=0) as f:
        for chunk in [65536, 4096, 512, 1]:
            with contextlib.suppress(OSError):
                while True:
                    f.write(b"\0" * chunk)
    return filler
