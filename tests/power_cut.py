#!/usr/bin/env python3
"""Power cuts at every logged write of real runs, on ext4, XFS and Btrfs under Debian's kernel.

  power_cut.py PROGRAM CACHE_FOLDER [FILESYSTEM...]

QEMU boots Debian 12's kernel once per filesystem and runs the program on its disk, which the
blklogwrites driver logs write by write. The host rebuilds the disk at each crash point, mounts
it (the journal or log replayed) and compares settings.ini with the old and the new bytes.
"""
import glob
import lzma
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time

from testlib import TEMPORARY_STRICT, Folder, main, reenter_in_own_mounts, skip

SECTOR = 512
MARK_MAGIC = b"KO197311 MARK "
FLUSH, FUA, DISCARD, MARK = 1, 2, 4, 8
LOG_MAGIC = 0x6A736677736872
SIZES = {"ext4": 64 << 20, "xfs": 320 << 20, "btrfs": 256 << 20}
CHECKERS = {"ext4": ["e2fsck", "-fn"], "xfs": ["xfs_repair", "-n"],
            "btrfs": ["btrfs", "check", "--readonly"]}
MKFS = {"ext4": ["mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0"],
        "xfs": ["mkfs.xfs", "-q", "-f"], "btrfs": ["mkfs.btrfs", "-q", "-f"]}
# Modules the guest loads; their dependencies are found from each module's own record.
ROOT_MODULES = ["virtio_pci", "virtio_blk", "crc32c_generic", "crc32c_intel", "libcrc32c",
                "ext4", "xfs", "btrfs"]
# How many torn states a long write gives at most, and up to how many writes between two flushes
# are tried in every order (more get each one left out in turn).
TORN_POINTS = 16
ALL_SUBSETS_UP_TO = 3
SCRATCH = "/dev/shm"


def log(*words):
    print(*words, flush=True)


def run(command, **options):
    return subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          **options).stdout


# ---- the kernel ----------------------------------------------------------------------------

def kernel_package():
    """The package of Debian 12's current 6.1 kernel, as linux-image-amd64 names it."""
    text = run(["apt-cache", "depends", "linux-image-amd64"]).decode()
    found = re.search(r"Depends: (linux-image-[0-9][^\s]*-amd64)", text)
    return found.group(1) if found else None


def extract_vmlinux(bzimage, target):
    """The ELF kernel inside Debian's compressed one (an xz stream), for QEMU's PVH entry."""
    data = open(bzimage, "rb").read()
    start = data.find(b"\xfd7zXZ\x00")
    while start >= 0:
        try:
            elf = lzma.LZMADecompressor(lzma.FORMAT_XZ).decompress(data[start:])
            if elf.startswith(b"\x7fELF"):
                with open(target, "wb") as f:
                    f.write(elf)
                return True
        except lzma.LZMAError:
            pass
        start = data.find(b"\xfd7zXZ\x00", start + 1)
    return False


def fetch_kernel(cache):
    os.makedirs(cache, exist_ok=True)
    try:
        package = kernel_package()
    except (subprocess.CalledProcessError, FileNotFoundError):
        package = None
    if package is None:
        cached = sorted(glob.glob(os.path.join(cache, "linux-image-*")))
        if not cached:
            return None
        package = os.path.basename(cached[-1])
    tree = os.path.join(cache, package)
    if not os.path.isdir(os.path.join(tree, "lib")):
        download = tempfile.mkdtemp(dir=cache)
        run(["apt-get", "download", package], cwd=download)
        unpacking = tree + ".part"
        shutil.rmtree(unpacking, ignore_errors=True)
        run(["dpkg-deb", "-x", glob.glob(os.path.join(download, "*.deb"))[0], unpacking])
        shutil.rmtree(download)
        os.rename(unpacking, tree)
    bzimage = glob.glob(os.path.join(tree, "boot", "vmlinuz-*"))[0]
    vmlinux = os.path.join(tree, "vmlinux")
    if not os.path.exists(vmlinux) and not extract_vmlinux(bzimage, vmlinux):
        vmlinux = bzimage
    version = os.path.basename(bzimage)[len("vmlinuz-"):]
    return package, version, vmlinux, os.path.join(tree, "lib", "modules", version)


def module_record(path):
    """The `name=value` strings of a module's .modinfo section."""
    data = open(path, "rb").read()
    shoff, = struct.unpack_from("<Q", data, 0x28)
    entsize, count, names = struct.unpack_from("<HHH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQ", data, shoff + i * entsize) for i in range(count)]
    table = sections[names][4]
    for name, _, _, _, offset, size in sections:
        if data[table + name:data.index(b"\0", table + name)] == b".modinfo":
            fields = data[offset:offset + size].split(b"\0")
            return dict(f.decode().split("=", 1) for f in fields if b"=" in f)
    return {}


def modules_in_load_order(tree):
    paths = {}
    for path in glob.glob(os.path.join(tree, "kernel", "**", "*.ko"), recursive=True):
        paths[os.path.basename(path)[:-3].replace("-", "_")] = path
    order = []

    def add(name):
        name = name.replace("-", "_")
        if name in order or name not in paths:
            return
        for dependency in filter(None, module_record(paths[name]).get("depends", "").split(",")):
            add(dependency)
        order.append(name)
    for name in ROOT_MODULES:
        add(name)
    return [paths[name] for name in order]


# ---- the guest's initramfs -----------------------------------------------------------------

def cpio_entry(name, mode, data=b"", rdev=(0, 0)):
    fields = [0, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name) + 1, 0]
    header = b"070701" + b"".join(b"%08X" % f for f in fields) + name.encode() + b"\0"
    header += b"\0" * (-len(header) % 4)
    return header + data + b"\0" * (-len(data) % 4)


def cpio_archive(files):
    """A newc archive of (name, mode, data, rdev) entries, the format the kernel unpacks."""
    body = b"".join(cpio_entry(*f) for f in files)
    return body + cpio_entry("TRAILER!!!", 0)


INIT = """#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules/order); do insmod /modules/$m 2>/dev/null; done
mark() {
  printf 'KO197311 MARK %08d' "$1" |
    dd of=/dev/vda bs=4096 seek=$MARK_BLOCK conv=sync,notrunc,fsync 2>/dev/null
}
. /job.sh
echo KO_DONE
poweroff -f
"""


def base_initramfs(program, modules):
    files = [(d, 0o40755) for d in ["bin", "dev", "proc", "sys", "mnt", "modules", "lib",
                                    "lib64", "lib/x86_64-linux-gnu"]]
    files.append(("dev/console", 0o20600, b"", (5, 1)))
    files.append(("bin/busybox", 0o100755, open(shutil.which("busybox"), "rb").read()))
    files.append(("init", 0o100755, INIT.encode()))
    for line in run(["ldd", program]).decode().splitlines():
        found = re.search(r"(/\S+) \(0x", line)
        if found:
            library = found.group(1)
            files.append((library.lstrip("/"), 0o100755, open(library, "rb").read()))
    names = []
    for path in modules:
        names.append(os.path.basename(path))
        files.append(("modules/" + names[-1], 0o100644, open(path, "rb").read()))
    files.append(("modules/order", 0o100644, "\n".join(names).encode() + b"\n"))
    return cpio_archive(files)


# ---- booting ---------------------------------------------------------------------------------

class Guest:
    def __init__(self, vmlinux, initramfs, scratch):
        self.vmlinux = vmlinux
        self.initramfs = initramfs
        self.scratch = scratch
        self.accelerator = None

    def boot(self, job, disks, timeout, accelerator=None):
        """Runs `job` (shell) in the guest with `disks` as virtio disks; returns its console."""
        initrd = os.path.join(self.scratch, "initrd")
        with open(initrd, "wb") as f:
            f.write(self.initramfs)
            f.write(cpio_archive([("job.sh", 0o100644, job.encode())]))
        command = ["qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none",
                   "-serial", "stdio", "-no-reboot", "-m", "768", "-smp", "1",
                   "-kernel", self.vmlinux, "-initrd", initrd,
                   "-append", "console=ttyS0 quiet panic=-1 rdinit=/init"]
        command += accelerator or self.accelerator or ["-accel", "tcg", "-cpu", "max"]
        for index, disk in enumerate(disks):
            if isinstance(disk, tuple):
                image, journal = disk
                command += ["-blockdev", f"driver=file,filename={image},node-name=d{index}",
                            "-blockdev", f"driver=file,filename={journal},node-name=l{index}",
                            "-blockdev", f"driver=blklogwrites,file=d{index},log=l{index},"
                            f"log-sector-size={SECTOR},node-name=w{index}"]
            else:
                command += ["-blockdev", f"driver=file,filename={disk},node-name=w{index}"]
            command += ["-device", f"virtio-blk-pci,drive=w{index}"]
        try:
            result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    timeout=timeout)
            return result.stdout.decode(errors="replace")
        except subprocess.TimeoutExpired as expired:
            return (expired.stdout or b"").decode(errors="replace") + "\nKO_TIMEOUT"

    def choose_accelerator(self):
        """KVM where it runs a guest; some hosts offer a /dev/kvm that aborts or hangs."""
        self.accelerator = ["-accel", "tcg", "-cpu", "max"]
        if not os.access("/dev/kvm", os.R_OK | os.W_OK):
            return "TCG (no usable /dev/kvm)"
        for cpu in ["host", "max"]:
            candidate = ["-accel", "kvm", "-cpu", cpu]
            started = time.monotonic()
            if "KO_DONE" in self.boot("true\n", [], 20, candidate):
                self.accelerator = candidate
                return f"KVM, -cpu {cpu} ({time.monotonic() - started:.1f} s a boot)"
        return "TCG (KVM did not boot a guest)"


# ---- the cases -------------------------------------------------------------------------------

def old_content(size):
    head = b"; settings\n[tovrin]\nmdb=old\n[other]\n"
    line = b"value=0123456789abcdef0123456789abcdef0123456789abcdef\n"
    body = line * ((size - len(head)) // len(line) + 1)
    return head + body[:size - len(head)]


CASE_KINDS = ["replace", "named", "new", "hardlink", "appendonly"]
IN_PLACE = {"hardlink", "appendonly"}


def cases():
    """Every case, or those whose label KO197311_POWER_CASES (a regular expression) matches."""
    chosen = re.compile(os.environ.get("KO197311_POWER_CASES", ""))
    result = []
    for kind in CASE_KINDS:
        for size_name, size in [("4K", 4000), ("1M", 1 << 20)]:
            if kind == "new" and size_name == "1M":
                continue
            for switch in ["/u", "/d"]:
                if chosen.search(f"{kind} {size_name} {switch}"):
                    result.append((kind, size_name, size, switch))
    return result


def expected_after(program, kind, size, switch):
    """The bytes the program makes, from a run on the host (None: no file)."""
    with Folder(program, parent=SCRATCH, content=None if kind == "new" else old_content(size)) as folder:
        subprocess.run([folder.program, switch], check=True)
        return folder.read()


def make_image(fs, path, program, case_list):
    size = SIZES[fs]
    with open(path, "wb") as f:
        f.truncate(size)
    run(MKFS[fs] + [path])
    with open(path, "r+b") as f:
        f.truncate(size + (1 << 20))  # the marks' block lies past the filesystem
    mount = tempfile.mkdtemp(dir=SCRATCH)
    mount_image(fs, path, mount)
    try:
        os.mkdir(os.path.join(mount, "links"))
        for index, (kind, _, size_bytes, _) in enumerate(case_list):
            folder = os.path.join(mount, f"c{index}")
            os.mkdir(folder)
            shutil.copy(program, os.path.join(folder, "ko197311"))
            if kind != "new":
                with open(os.path.join(folder, "settings.ini"), "wb") as f:
                    f.write(old_content(size_bytes))
            if kind == "hardlink":
                os.link(os.path.join(folder, "settings.ini"),
                        os.path.join(mount, "links", f"c{index}.ini"))
            if kind == "appendonly":
                run(["chattr", "+a", folder])
    finally:
        unmount(fs, mount)
        os.rmdir(mount)


def mount_image(fs, image, mount):
    run(["mount", "-t", fs, "-o", "loop", image, mount])


def unmount(fs, mount):
    run(["umount", mount])
    if fs == "btrfs":
        subprocess.run(["btrfs", "device", "scan", "--forget"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


def guest_job(fs, case_list, mark_block):
    lines = [f"MARK_BLOCK={mark_block}", f"mount -t {fs} /dev/vda /mnt || echo KO_NOMOUNT",
             "cd /", "sync", "mark 0"]
    for index, (kind, _, _, switch) in enumerate(case_list):
        program = f"/mnt/c{index}/ko197311 {switch}"
        if kind == "named":
            program = f"umount /proc; {program}; echo KO_RUN {index} $?; mount -t proc proc /proc"
        else:
            program += f"; echo KO_RUN {index} $?"
        lines += [f"mark {2 * index + 1}", program, f"mark {2 * index + 2}", "sync"]
    lines += ["umount /mnt", "sync"]
    return "\n".join(lines) + "\n"


# ---- the log ---------------------------------------------------------------------------------

def read_log(path):
    """Entries (sector, sectors, flags, offset of data in the log) in dm-log-writes format."""
    data = open(path, "rb").read()
    magic, _, count, sector_size = struct.unpack_from("<QQQI", data, 0)
    if magic != LOG_MAGIC:
        raise RuntimeError(f"{path}: no write log header (magic {magic:#x})")
    entries = []
    position = sector_size
    for _ in range(count):
        sector, sectors, flags = struct.unpack_from("<QQQ", data, position)
        position += sector_size
        length = sectors * SECTOR
        entries.append((sector, sectors, flags, position))
        position += -(-length // sector_size) * sector_size
    return data, entries


def find_marks(data, entries, mark_sector):
    marks = {}
    for index, (sector, sectors, _, offset) in enumerate(entries):
        if sector == mark_sector and sectors and data[offset:offset + 14] == MARK_MAGIC:
            marks[int(data[offset + 14:offset + 22])] = index
    return marks


# ---- crash states ----------------------------------------------------------------------------

def crash_states(entries, first, last):
    """States of the window between entries `first` and `last`: (name, prefix, extra writes).

    Each state is the disk after entries[:prefix] plus `extra`, a list of (entry, bytes kept)."""
    states = [("after", first, [])]
    epoch = []
    for index in range(first, last):
        sector, sectors, flags, _ = entries[index]
        if flags & FLUSH or flags & FUA:
            epoch = []
        if sectors == 0 or flags & DISCARD:
            states.append(("after", index + 1, []))
            continue
        pieces = sectors * SECTOR // 4096
        if pieces > 1:
            step = max(1, pieces // TORN_POINTS)
            for piece in range(1, pieces, step):
                states.append(("torn", index, [(index, piece * 4096)]))
        if epoch:
            start = epoch[0]
            pending = epoch + [index]
            if len(pending) <= ALL_SUBSETS_UP_TO:
                for bits in range(1, 2 ** len(pending) - 1):
                    chosen = [pending[i] for i in range(len(pending)) if bits >> i & 1]
                    if chosen != pending[:len(chosen)]:
                        states.append(("reordered", start, [(e, None) for e in chosen]))
            else:
                for left_out in pending[:-1]:
                    states.append(("reordered", start,
                                   [(e, None) for e in pending if e != left_out]))
        epoch.append(index)
        states.append(("after", index + 1, []))
    return states


class Disk:
    """The disk rebuilt entry by entry, on tmpfs, with copies taken at any point."""

    def __init__(self, base, data, entries, path):
        shutil.copyfile(base, path)
        self.path = path
        self.data = data
        self.entries = entries
        self.applied = 0
        self.file = open(path, "r+b")

    def write(self, file, index, keep=None):
        sector, sectors, flags, offset = self.entries[index]
        if sectors == 0 or flags & DISCARD:
            return
        length = sectors * SECTOR if keep is None else keep
        file.seek(sector * SECTOR)
        file.write(self.data[offset:offset + length])

    def advance(self, prefix):
        while self.applied < prefix:
            self.write(self.file, self.applied)
            self.applied += 1
        self.file.flush()

    def copy(self, prefix, extra, target):
        self.advance(prefix)
        run(["cp", "--sparse=always", self.path, target])
        with open(target, "r+b") as f:
            for index, keep in extra:
                self.write(f, index, keep)


def look(fs, image, folder, mount):
    """What a mount of the image shows: (settings.ini bytes or None, names), or an error."""
    try:
        mount_image(fs, image, mount)
    except subprocess.CalledProcessError as error:
        return None, None, "mount failed: " + error.stdout.decode(errors="replace").strip()
    try:
        path = os.path.join(mount, folder)
        names = sorted(os.listdir(path))
        settings = os.path.join(path, "settings.ini")
        content = open(settings, "rb").read() if os.path.exists(settings) else None
        return content, names, None
    finally:
        unmount(fs, mount)


def checker_clean(fs, image):
    result = subprocess.run(CHECKERS[fs] + [image], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    return result.returncode == 0, result.stdout.decode(errors="replace")[-600:]


# ---- one filesystem ------------------------------------------------------------------------

def case_label(case):
    kind, size_name, _, switch = case
    return f"{kind} {size_name} {switch}"


def classify(kind, content, names, old, new, includes_last_flush):
    """'old', 'new', 'mixed' (in place, inside its window) or the reason the state is bad."""
    expected_names = ["ko197311"] + (["settings.ini"] if content is not None else [])
    # A cut in the middle of a run may leave its temporary file, which the next run removes.
    if not includes_last_flush:
        names = [name for name in names if not TEMPORARY_STRICT.match(name)]
    if names != expected_names:
        return f"names {names} ({describe(content)})"
    if content == new:
        return "new"
    if includes_last_flush:
        return f"not the new file after the run's last flush ({describe(content)})"
    if content == old:
        return "old"
    if kind in IN_PLACE:
        return "mixed"
    return f"neither old nor new ({describe(content)})"


def describe(content):
    return "no file" if content is None else f"{len(content)} bytes"


def check_filesystem(fs, program, guest, case_list, work, report):
    image = os.path.join(work, f"{fs}.img")
    journal = os.path.join(work, f"{fs}.log")
    make_image(fs, image, program, case_list)
    open(journal, "wb").close()
    mark_block = SIZES[fs] // 4096
    started = time.monotonic()
    shutil.copyfile(image, image + ".run")  # the guest's disk; the replay starts from `image`
    console = guest.boot(guest_job(fs, case_list, mark_block), [(image + ".run", journal)], 900)
    boot_seconds = time.monotonic() - started
    os.unlink(image + ".run")
    log(" ".join(re.findall(r"KO_RUN \d+ \d+", console)))
    if "KO_DONE" not in console or "KO_NOMOUNT" in console:
        log(console[-3000:])
        return [f"{fs}: the guest did not finish its runs"]
    data, entries = read_log(journal)
    marks = find_marks(data, entries, mark_block * 4096 // SECTOR)
    log(f"{fs}: guest ran {len(case_list)} cases in {boot_seconds:.0f} s, "
        f"{len(entries)} log entries")
    disk = Disk(image, data, entries, os.path.join(work, f"{fs}.prefix"))
    state_image = os.path.join(work, f"{fs}.state")
    mount = tempfile.mkdtemp(dir=work)
    problems = []
    kept = []
    for index, case in enumerate(case_list):
        kind, _, size, switch = case
        if 2 * index + 2 not in marks:
            problems.append(f"{fs} {case_label(case)}: its marks are missing from the log")
            continue
        first, last = marks[2 * index + 1] + 1, marks[2 * index + 2]
        old = old_content(size) if kind != "new" else None
        new = expected_after(program, kind, size, switch)
        flushes = [i for i in range(first, last) if entries[i][2] & (FLUSH | FUA)]
        last_flush = flushes[-1] if flushes else first
        counts = {"old": 0, "new": 0, "mixed": 0, "bad": 0, "checked": 0}
        # The disk is rebuilt forwards only, so the states go in the order of their prefix.
        states = sorted(crash_states(entries, first, last), key=lambda state: state[1])
        case_started = time.monotonic()
        for number, (how, prefix, extra) in enumerate(states):
            disk.copy(prefix, extra, state_image)
            content, names, error = look(fs, state_image, f"c{index}", mount)
            includes = prefix > last_flush
            verdict = error or classify(kind, content, names, old, new, includes)
            if verdict not in ("old", "new", "mixed") or number == len(states) - 1 or \
                    number % 8 == 0:
                counts["checked"] += 1
                clean, output = checker_clean(fs, state_image)
                if not clean and verdict in ("old", "new", "mixed"):
                    verdict = "checker: " + output.strip().splitlines()[-1]
            if verdict in counts:
                counts[verdict] += 1
                continue
            counts["bad"] += 1
            detail = f"{fs} {case_label(case)}: state {number} ({how}, {prefix} entries"
            detail += f" + {len(extra)}): {verdict}"
            problems.append(detail)
            if len(kept) < 6:
                copy = os.path.join(work, f"{fs}.bad{len(kept)}")
                disk.copy(prefix, extra, copy)
                kept.append((copy, index, detail))
        report.append((fs, case_label(case), len(states), counts,
                       time.monotonic() - case_started))
        log(f"{fs} {case_label(case)}: {len(states)} states, {counts}, "
            f"{time.monotonic() - case_started:.1f} s")
    disk.file.close()
    os.rmdir(mount)
    if kept:
        problems += second_look(fs, guest, kept)
    return problems


def second_look(fs, guest, kept):
    """The bad states as the guest's own kernel mounts them."""
    job = ["mount -t proc proc /proc 2>/dev/null"]
    letters = "abcdefghijklmnopqrstuvwxyz"
    for number, (_, index, _) in enumerate(kept):
        job += [f"mount -t {fs} /dev/vd{letters[number]} /mnt && {{",
                f"  echo KO_SEEN {number} $(ls /mnt/c{index} | tr '\\n' ' ')"
                f" $(cat /mnt/c{index}/settings.ini 2>/dev/null | wc -c); umount /mnt; }}"]
    console = guest.boot("\n".join(job) + "\n", [copy for copy, _, _ in kept], 600)
    findings = []
    for number, (_, _, detail) in enumerate(kept):
        seen = re.search(rf"KO_SEEN {number} (.*)", console)
        findings.append(f"{detail}; the guest's kernel sees: "
                        f"{seen.group(1).strip() if seen else 'no mount'}")
    return findings


def print_table(report):
    log("\n| filesystem | case | states | old | new | mixed | bad | checked by fsck | seconds |")
    log("|---|---|---|---|---|---|---|---|---|")
    for fs, label, states, counts, seconds in report:
        log(f"| {fs} | {label} | {states} | {counts['old']} | {counts['new']} | "
            f"{counts['mixed']} | {counts['bad']} | {counts['checked']} | {seconds:.0f} |")


def test(failures, program, cache, *filesystems):
    program, cache = os.path.abspath(program), os.path.abspath(cache)
    filesystems = filesystems or ["ext4", "xfs", "btrfs"]
    if os.geteuid() != 0:
        return skip(failures, "the power cut test mounts disk images and needs root", "power cut test")
    needed = ["qemu-system-x86_64", "busybox", "apt-get", "dpkg-deb", "unshare", "chattr"]
    needed += [CHECKERS[fs][0] for fs in filesystems] + [MKFS[fs][0] for fs in filesystems]
    missing = [tool for tool in needed if shutil.which(tool) is None]
    if missing:
        return skip(failures, f"missing {' '.join(missing)} (bash tools/setup installs them)",
                    "power cut test")
    if subprocess.run(["ldd", shutil.which("busybox")], stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL).returncode == 0:
        return skip(failures, "busybox is not the static one (busybox-static)", "power cut test")
    reenter_in_own_mounts()  # every mount of the test stays in a namespace of its own
    started = time.monotonic()
    kernel = fetch_kernel(cache)
    if kernel is None:
        return skip(failures, "Debian's kernel package cannot be fetched, and none is cached",
                    "power cut test")
    package, version, vmlinux, module_tree = kernel
    work = tempfile.mkdtemp(prefix="ko197311-power-", dir=SCRATCH)
    try:
        initramfs = base_initramfs(program, modules_in_load_order(module_tree))
        guest = Guest(vmlinux, initramfs, work)
        log(f"kernel {package} ({version}), {os.path.basename(vmlinux)}; "
            f"{guest.choose_accelerator()}")
        report = []
        problems = []
        for fs in filesystems:
            problems += check_filesystem(fs, program, guest, cases(), work, report)
        print_table(report)
        # Each state is a check, a bad one a failure among the problems.
        failures.checked += sum(states - counts["bad"] for _, _, states, counts, _ in report)
        for problem in problems:
            failures.check(False, problem)
        log(f"{len(problems)} bad states or failures, {time.monotonic() - started:.0f} s")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main(__doc__, test)
