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
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

from testlib import TEMPORARY_STRICT, Folder, main, reenter_in_own_mounts, run, skip

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
ROOT_MODULES = "virtio_pci virtio_blk crc32c_generic crc32c_intel libcrc32c ext4 xfs btrfs".split()
# How many torn states a long write gives at most, and up to how many writes between two flushes
# are tried in every order (more get each one left out in turn).
TORN_POINTS = 16
ALL_SUBSETS_UP_TO = 3
SCRATCH = "/dev/shm"
# The verdicts of a good state; any other is the reason a state is bad.
GOOD = ("old", "new", "mixed")


# ---- the kernel ----------------------------------------------------------------------------

def fetch_kernel(cache):
    """Debian 12's current 6.1 kernel, as linux-image-amd64 names it, else the last one cached:
    (package, version, the kernel to boot, its module tree); None if there is neither."""
    os.makedirs(cache, exist_ok=True)
    depends = run(["apt-cache", "depends", "linux-image-amd64"]).stdout.decode()
    found = re.search(r"Depends: (linux-image-[0-9][^\s]*-amd64)", depends)
    cached = sorted(glob.glob(os.path.join(cache, "linux-image-*")))
    package = found.group(1) if found else (os.path.basename(cached[-1]) if cached else None)
    if package is None:
        return None
    tree = os.path.join(cache, package)
    if not os.path.isdir(os.path.join(tree, "lib")):
        download = tempfile.mkdtemp(dir=cache)
        run(["apt-get", "download", package], cwd=download, timeout=None, check=True)
        deb = glob.glob(os.path.join(download, "*.deb"))[0]
        run(["dpkg-deb", "-x", deb, download], check=True)
        os.remove(deb)
        os.rename(download, tree)
    bzimage = glob.glob(os.path.join(tree, "boot", "vmlinuz-*"))[0]
    vmlinux = os.path.join(tree, "vmlinux")
    if not os.path.exists(vmlinux):
        # QEMU boots the ELF kernel inside Debian's compressed one (an xz stream) by its PVH entry.
        data = pathlib.Path(bzimage).read_bytes()
        for stream in re.finditer(rb"\xfd7zXZ\x00", data):
            try:
                elf = lzma.LZMADecompressor(lzma.FORMAT_XZ).decompress(data[stream.start():])
            except lzma.LZMAError:
                continue
            if elf.startswith(b"\x7fELF"):
                pathlib.Path(vmlinux).write_bytes(elf)
                break
        else:
            vmlinux = bzimage
    version = os.path.basename(bzimage)[len("vmlinuz-"):]
    return package, version, vmlinux, os.path.join(tree, "lib", "modules", version)


def modules_in_load_order(tree):
    """ROOT_MODULES, each after the modules its .modinfo's `depends=` names."""
    paths = {os.path.basename(path)[:-3].replace("-", "_"): path
             for path in glob.glob(os.path.join(tree, "kernel", "**", "*.ko"), recursive=True)}
    order = []

    def add(names):
        for name in [name.replace("-", "_") for name in names]:
            if name not in order and name in paths:
                record = re.search(rb"\0depends=([^\0]*)\0", pathlib.Path(paths[name]).read_bytes())
                add(filter(None, record.group(1).decode().split(",")))
                order.append(name)
    add(ROOT_MODULES)
    return [paths[name] for name in order]


# ---- the guest's initramfs -----------------------------------------------------------------

def cpio_entry(name, mode, data=b"", rdev=(0, 0)):
    fields = [0, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name) + 1, 0]
    header = b"070701" + b"".join(b"%08X" % f for f in fields) + name.encode() + b"\0"
    return header + b"\0" * (-len(header) % 4) + data + b"\0" * (-len(data) % 4)


def cpio_archive(files):
    """A newc archive of (name, mode, data, rdev) entries, the format the kernel unpacks."""
    return b"".join(cpio_entry(*f) for f in files + [("TRAILER!!!", 0)])


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
    files += [("dev/console", 0o20600, b"", (5, 1)), ("init", 0o100755, INIT.encode())]
    libraries = re.findall(r"(/\S+) \(0x", run(["ldd", program], check=True).stdout.decode())
    copies = [("bin/busybox", shutil.which("busybox"))]
    copies += [(library.lstrip("/"), library) for library in libraries]
    copies += [("modules/" + os.path.basename(path), path) for path in modules]
    files += [(name, 0o100755, pathlib.Path(path).read_bytes()) for name, path in copies]
    order = "".join(os.path.basename(path) + "\n" for path in modules)
    return cpio_archive(files + [("modules/order", 0o100644, order.encode())])


# ---- booting ---------------------------------------------------------------------------------

class Guest:
    accelerator = ["-accel", "tcg", "-cpu", "max"]  # until KVM is seen to boot a guest

    def __init__(self, vmlinux, initramfs, scratch):
        self.vmlinux, self.initramfs, self.scratch = vmlinux, initramfs, scratch

    def boot(self, job, disks, timeout, accelerator=None):
        """Runs `job` (shell) in the guest on `disks` (image, log or None); returns its console."""
        initrd = os.path.join(self.scratch, "initrd")
        job_archive = cpio_archive([("job.sh", 0o100644, job.encode())])
        pathlib.Path(initrd).write_bytes(self.initramfs + job_archive)
        command = ["qemu-system-x86_64", "-nodefaults", "-no-user-config", "-display", "none",
                   "-serial", "stdio", "-no-reboot", "-m", "768", "-smp", "1",
                   "-kernel", self.vmlinux, "-initrd", initrd,
                   "-append", "console=ttyS0 quiet panic=-1 rdinit=/init"]
        command += accelerator or self.accelerator
        for index, (image, journal) in enumerate(disks):
            command += ["-blockdev", f"driver=file,filename={image},node-name=d{index}"]
            if journal:
                command += ["-blockdev", f"driver=file,filename={journal},node-name=l{index}",
                            "-blockdev", f"driver=blklogwrites,file=d{index},log=l{index},"
                            f"log-sector-size={SECTOR},node-name=w{index}"]
            command += ["-device", f"virtio-blk-pci,drive={'w' if journal else 'd'}{index}"]
        try:
            return run(command, timeout=timeout, merged=True).stdout.decode(errors="replace")
        except subprocess.TimeoutExpired as expired:
            return (expired.stdout or b"").decode(errors="replace") + "\nKO_TIMEOUT"

    def choose_accelerator(self):
        """KVM where it runs a guest; some hosts offer a /dev/kvm that aborts or hangs."""
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

def old_content(kind, size):
    line = b"value=0123456789abcdef0123456789abcdef0123456789abcdef\n"
    return None if kind == "new" else (b"; settings\n[tovrin]\nmdb=old\n[other]\n"
                                       + line * (size // len(line) + 1))[:size]


CASE_KINDS = ["replace", "named", "new", "hardlink", "appendonly"]
IN_PLACE = {"hardlink", "appendonly"}
CASE_SIZES = [("4K", 4000), ("1M", 1 << 20)]


def cases():
    """Every case (label, kind, size, switch), or those KO197311_POWER_CASES (a regex) matches."""
    chosen = re.compile(os.environ.get("KO197311_POWER_CASES", ""))
    every = [(f"{kind} {size_name} {switch}", kind, size, switch) for kind in CASE_KINDS
             for size_name, size in CASE_SIZES if kind != "new" or size_name != "1M"
             for switch in ["/u", "/d"]]
    return [case for case in every if chosen.search(case[0])]


def make_image(fs, path, program, case_list, mount):
    open(path, "wb").close()
    os.truncate(path, SIZES[fs])
    run(MKFS[fs] + [path], check=True)
    os.truncate(path, SIZES[fs] + (1 << 20))  # the marks' block lies past the filesystem
    run(["mount", "-t", fs, "-o", "loop", path, mount], check=True)
    try:
        os.mkdir(os.path.join(mount, "links"))
        for index, (_, kind, size, _) in enumerate(case_list):
            folder = os.path.join(mount, f"c{index}")
            os.mkdir(folder)
            shutil.copy(program, os.path.join(folder, "ko197311"))
            if kind != "new":
                pathlib.Path(folder, "settings.ini").write_bytes(old_content(kind, size))
            if kind == "hardlink":
                os.link(os.path.join(folder, "settings.ini"), f"{mount}/links/c{index}.ini")
            if kind == "appendonly":
                run(["chattr", "+a", folder], check=True)
    finally:
        unmount(fs, mount)


def unmount(fs, mount):
    run(["umount", mount], check=True)
    if fs == "btrfs":
        run(["btrfs", "device", "scan", "--forget"])


def guest_job(fs, case_list, mark_block):
    lines = [f"MARK_BLOCK={mark_block}", f"mount -t {fs} /dev/vda /mnt || echo KO_NOMOUNT",
             "cd /", "sync", "mark 0"]
    for index, (_, kind, _, switch) in enumerate(case_list):
        program = f"/mnt/c{index}/ko197311 {switch}; echo KO_RUN {index} $?"
        if kind == "named":
            program = f"umount /proc; {program}; mount -t proc proc /proc"
        lines += [f"mark {2 * index + 1}", program, f"mark {2 * index + 2}", "sync"]
    return "\n".join(lines + ["umount /mnt", "sync", ""])


# ---- the log ---------------------------------------------------------------------------------

def read_log(path, mark_sector):
    """A dm-log-writes log: its bytes, its entries (sector, sectors, flags, offset of the data)
    and the marks the guest wrote at `mark_sector` ({number: index of its entry})."""
    data = pathlib.Path(path).read_bytes()
    magic, _, count, sector_size = struct.unpack_from("<QQQI", data, 0)
    if magic != LOG_MAGIC:
        raise RuntimeError(f"{path}: no write log header (magic {magic:#x})")
    entries, marks, position = [], {}, sector_size
    for index in range(count):
        sector, sectors, flags = struct.unpack_from("<QQQ", data, position)
        position += sector_size
        entries.append((sector, sectors, flags, position))
        if sector == mark_sector and sectors and data[position:position + 14] == MARK_MAGIC:
            marks[int(data[position + 14:position + 22])] = index
        position += -(-sectors * SECTOR // sector_size) * sector_size
    return data, entries, marks


# ---- crash states ----------------------------------------------------------------------------

def crash_states(entries, first, last):
    """States of the window between entries `first` and `last`: (name, prefix, extra writes).

    Each state is the disk after entries[:prefix] plus `extra`, a list of (entry, bytes kept)."""
    states, epoch = [("after", first, [])], []
    for index in range(first, last):
        _, sectors, flags, _ = entries[index]
        if flags & (FLUSH | FUA):
            epoch = []
        if sectors and not flags & DISCARD:
            pieces = sectors * SECTOR // 4096
            step = max(1, pieces // TORN_POINTS)
            states += [("torn", index, [(index, piece * 4096)]) for piece in range(1, pieces, step)]
            pending = epoch + [index]
            if len(pending) <= ALL_SUBSETS_UP_TO:
                subsets = [[e for i, e in enumerate(pending) if bits >> i & 1]
                           for bits in range(1, 2 ** len(pending) - 1)]
            else:
                subsets = [[e for e in pending if e != left_out] for left_out in pending[:-1]]
            # A subset that is a prefix of the writes is a state "after" gives already.
            states += [("reordered", pending[0], [(e, None) for e in chosen])
                       for chosen in subsets if chosen != pending[:len(chosen)]]
            epoch.append(index)
        states.append(("after", index + 1, []))
    return states


class Disk:
    """The disk rebuilt entry by entry, on tmpfs, with copies taken at any point."""

    def __init__(self, base, data, entries, path):
        shutil.copyfile(base, path)
        self.path, self.data, self.entries, self.applied = path, data, entries, 0
        self.fd = os.open(path, os.O_WRONLY)

    def write(self, fd, index, keep=None):
        sector, sectors, flags, offset = self.entries[index]
        if sectors and not flags & DISCARD:
            length = sectors * SECTOR if keep is None else keep
            os.pwrite(fd, self.data[offset:offset + length], sector * SECTOR)

    def copy(self, prefix, extra, target):
        while self.applied < prefix:
            self.write(self.fd, self.applied)
            self.applied += 1
        run(["cp", "--sparse=always", self.path, target], check=True)
        with open(target, "r+b") as f:
            for index, keep in extra:
                self.write(f.fileno(), index, keep)


def look(fs, image, folder, mount):
    """What a mount of the image shows: (settings.ini bytes or None, names, error or None)."""
    mounted = run(["mount", "-t", fs, "-o", "loop", image, mount], merged=True)
    if mounted.returncode != 0:
        return None, None, "mount failed: " + mounted.stdout.decode(errors="replace").strip()
    try:
        settings = pathlib.Path(mount, folder, "settings.ini")
        content = settings.read_bytes() if settings.exists() else None
        return content, sorted(os.listdir(settings.parent)), None
    finally:
        unmount(fs, mount)


# ---- one filesystem ------------------------------------------------------------------------

def classify(kind, content, names, old, new, includes_last_flush):
    """'old', 'new', 'mixed' (in place, inside its window) or the reason the state is bad."""
    described = "no file" if content is None else f"{len(content)} bytes"
    expected_names = ["ko197311"] + (["settings.ini"] if content is not None else [])
    # A cut in the middle of a run may leave its temporary file, which the next run removes.
    if not includes_last_flush:
        names = [name for name in names if not TEMPORARY_STRICT.match(name)]
    if names != expected_names:
        return f"names {names} ({described})"
    if content == new:
        return "new"
    if includes_last_flush:
        return f"not the new file after the run's last flush ({described})"
    if content == old:
        return "old"
    return "mixed" if kind in IN_PLACE else f"neither old nor new ({described})"


def check_filesystem(fs, program, guest, case_list, work, report):
    """Checks each case's crash states on `fs`, adding a row a case to `report`; the problems."""
    image, journal, mount = [os.path.join(work, fs + end) for end in [".img", ".log", ".mnt"]]
    os.mkdir(mount)
    make_image(fs, image, program, case_list, mount)
    open(journal, "wb").close()
    mark_block = SIZES[fs] // 4096
    started = time.monotonic()
    shutil.copyfile(image, image + ".run")  # the guest's disk; the replay starts from `image`
    console = guest.boot(guest_job(fs, case_list, mark_block), [(image + ".run", journal)], 900)
    boot_seconds = time.monotonic() - started
    os.unlink(image + ".run")
    print(" ".join(re.findall(r"KO_RUN \d+ \d+", console)))
    if "KO_DONE" not in console or "KO_NOMOUNT" in console:
        print(console[-3000:])
        return [f"{fs}: the guest did not finish its runs"]
    data, entries, marks = read_log(journal, mark_block * 4096 // SECTOR)
    print(f"{fs}: guest ran {len(case_list)} cases in {boot_seconds:.0f} s, "
          f"{len(entries)} log entries")
    disk = Disk(image, data, entries, os.path.join(work, f"{fs}.prefix"))
    state_image = os.path.join(work, f"{fs}.state")
    problems, kept = [], []
    for index, (label, kind, size, switch) in enumerate(case_list):
        if 2 * index + 2 not in marks:
            problems.append(f"{fs} {label}: its marks are missing from the log")
            continue
        first, last = marks[2 * index + 1] + 1, marks[2 * index + 2]
        old = old_content(kind, size)
        with Folder(program, parent=SCRATCH, content=old) as folder:  # the new bytes, from the host
            folder.run(switch, check=True)
            new = folder.read()
        last_flush = max((i for i in range(first, last) if entries[i][2] & (FLUSH | FUA)),
                         default=first)
        counts = dict.fromkeys(["old", "new", "mixed", "bad", "checked"], 0)
        # The disk is rebuilt forwards only, so the states go in the order of their prefix.
        states = sorted(crash_states(entries, first, last), key=lambda state: state[1])
        case_started = time.monotonic()
        for number, (how, prefix, extra) in enumerate(states):
            disk.copy(prefix, extra, state_image)
            content, names, error = look(fs, state_image, f"c{index}", mount)
            verdict = error or classify(kind, content, names, old, new, prefix > last_flush)
            if verdict not in GOOD or number == len(states) - 1 or number % 8 == 0:
                counts["checked"] += 1
                checker = run(CHECKERS[fs] + [state_image], merged=True)
                if checker.returncode != 0 and verdict in GOOD:
                    output = checker.stdout.decode(errors="replace")[-600:]
                    verdict = "checker: " + output.strip().splitlines()[-1]
            counts[verdict if verdict in GOOD else "bad"] += 1
            if verdict not in GOOD:
                problems.append(f"{fs} {label}: state {number} ({how}, {prefix} entries + "
                                f"{len(extra)}): {verdict}")
                if len(kept) < 6:  # copies of the first, for the guest's kernel to mount
                    kept.append((os.path.join(work, f"{fs}.bad{len(kept)}"), index, problems[-1]))
                    disk.copy(prefix, extra, kept[-1][0])
        seconds = time.monotonic() - case_started
        report.append((fs, label, len(states), counts, seconds))
        print(f"{fs} {label}: {len(states)} states, {counts}, {seconds:.1f} s")
    os.close(disk.fd)
    return problems + (second_look(fs, guest, kept) if kept else [])


def second_look(fs, guest, kept):
    """The bad states as the guest's own kernel mounts them."""
    job = ["mount -t proc proc /proc 2>/dev/null"]
    for number, (_, index, _) in enumerate(kept):
        job += [f"mount -t {fs} /dev/vd{'abcdefghijklmnopqrstuvwxyz'[number]} /mnt && {{",
                f"  echo KO_SEEN {number} $(ls /mnt/c{index} | tr '\\n' ' ')"
                f" $(cat /mnt/c{index}/settings.ini 2>/dev/null | wc -c); umount /mnt; }}"]
    console = guest.boot("\n".join(job) + "\n", [(copy, None) for copy, _, _ in kept], 600)
    seen = dict(re.findall(r"KO_SEEN (\d+) (.*)", console))
    return [f"{detail}; the guest's kernel sees: {seen.get(str(number), 'no mount').strip()}"
            for number, (_, _, detail) in enumerate(kept)]


def test(failures, program, cache, *filesystems):
    program, cache = os.path.abspath(program), os.path.abspath(cache)
    filesystems = filesystems or ["ext4", "xfs", "btrfs"]
    what = "power cut test"
    if os.geteuid() != 0:
        return skip(failures, "the power cut test mounts disk images and needs root", what)
    needed = ["qemu-system-x86_64", "busybox", "apt-get", "dpkg-deb", "unshare", "chattr"]
    needed += [CHECKERS[fs][0] for fs in filesystems] + [MKFS[fs][0] for fs in filesystems]
    missing = [tool for tool in needed if shutil.which(tool) is None]
    if missing:
        return skip(failures, f"missing {' '.join(missing)} (bash tools/setup installs them)", what)
    if run(["ldd", shutil.which("busybox")]).returncode == 0:
        return skip(failures, "busybox is not the static one (busybox-static)", what)
    reenter_in_own_mounts()  # every mount of the test stays in a namespace of its own
    sys.stdout.reconfigure(line_buffering=True)  # the progress shows as it comes
    started = time.monotonic()
    if (kernel := fetch_kernel(cache)) is None:
        return skip(failures, "Debian's kernel package cannot be fetched, and none is cached", what)
    package, version, vmlinux, module_tree = kernel
    with tempfile.TemporaryDirectory(prefix="ko197311-power-", dir=SCRATCH,
                                     ignore_cleanup_errors=True) as work:
        guest = Guest(vmlinux, base_initramfs(program, modules_in_load_order(module_tree)), work)
        print(f"kernel {package} ({version}), {os.path.basename(vmlinux)}; "
              f"{guest.choose_accelerator()}")
        report, problems = [], []
        for fs in filesystems:
            problems += check_filesystem(fs, program, guest, cases(), work, report)
        columns = ["filesystem", "case", "states", *GOOD, "bad", "checked by fsck", "seconds"]
        print("\n| " + " | ".join(columns) + " |\n" + "|---" * len(columns) + "|")
        for fs, label, states, counts, seconds in report:
            cells = [fs, label, states, *counts.values(), f"{seconds:.0f}"]
            print("| " + " | ".join(str(cell) for cell in cells) + " |")
        # Each state is a check, a bad one a failure among the problems.
        failures.checked += sum(states - counts["bad"] for _, _, states, counts, _ in report)
        for problem in problems:
            failures.check(False, problem)
        print(f"{len(problems)} bad states or failures, {time.monotonic() - started:.0f} s")


if __name__ == "__main__":
    main(__doc__, test)
