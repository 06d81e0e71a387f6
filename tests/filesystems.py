#!/usr/bin/env python3
"""What surrounds the file's bytes, on ext4, XFS, Btrfs and tmpfs mounted for the test (as root).

  filesystems.py PROGRAM
"""
# Rows here: a file dressed in what must stay around its bytes (IDENTITY_CASES), a new file
# against what open(2) gives (NEW_FILE_CASES), and what needs one filesystem (SPECIAL_CASES:
# an inode past 2^32, a file over 2 GiB, /proc hidden, a planted link, a nearly full Btrfs).
# No fail_io here: this test also runs the 32-bit program, through qemu-i386-static where the
# host needs it.
import fcntl
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

from end_to_end import Failures, emulator
from safety_common import (EARLIER, NEW_FILE, NOBODY, Folder, check_changed, check_outcome,
                           check_untouched, default_acl, fill, fresh_identity, identity,
                           run_in_own_mounts)

# Filesystems a settings file lives on, each made on a sparse image file: its mkfs and size.
FILESYSTEMS = [
    ("ext4", ["mkfs.ext4", "-q", "-F"], "64M"),
    # Four allocation groups of 0.75 TiB: files in the third have inode numbers past 2^32.
    ("xfs", ["mkfs.xfs", "-q", "-f", "-d", "agcount=4", "-l", "size=64m"], "3T"),
    ("btrfs", ["mkfs.btrfs", "-q", "-f"], "256M"),
    ("tmpfs", None, None),
]
DRESSED = b"; kept\n[tovrin]\nother=1\nmdb=old\n"


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


# cap_net_raw+ep as setcap writes it: revision 2 with the effective bit, then the permitted and
# inheritable sets, two words each.
FILE_CAPABILITIES = struct.pack("<IIIII", 0x02000001, 1 << 13, 0, 0, 0)


def with_capabilities_and_hard_link(path):
    os.chown(path, 1234, 2345)
    os.chmod(path, 0o4666)  # after the chown, which clears it
    os.setxattr(path, "security.capability", FILE_CAPABILITIES)
    with_hard_link(path)


def owned_set_user_id_hard_linked(path):
    os.chown(path, 1234, 2345)
    os.chmod(path, 0o4666)
    with_hard_link(path)


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
    # The kernel takes capabilities and set-ID bits on a write in place: put back where allowed.
    ("file capabilities, another owner's set-user-ID 4666 file, a second hard link",
     with_capabilities_and_hard_link, "/u", None, "in place"),
    ("set-user-ID 4666, a second hard link, run by the file's owner", owned_set_user_id_hard_linked,
     "/u", 1234, "in place"),
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
    run_in_own_mounts(failures, "filesystems", __file__, "--inside-filesystems", program)


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


def with_second_link(path):
    os.link(path, path + ".link")


def without_copy_on_write(path):
    content = open(path, "rb").read()
    with open(path, "wb"):  # +C takes hold only on an empty file
        subprocess.run(["chattr", "+C", path], check=True)
    with open(path, "wb") as f:
        f.write(content)
    with_second_link(path)


def without_copy_on_write_reflinked(path):
    """+C, yet its blocks shared with a reflinked copy: a write over them needs new room."""
    content = open(path, "rb").read()
    os.remove(path)
    subprocess.run(["chattr", "+C", os.path.dirname(path)], check=True)  # new files inherit it
    with open(path, "wb") as f:
        f.write(content)
    subprocess.run(["cp", "--reflink=always", path, path + ".copy"], check=True)
    with_second_link(path)


# A 98 KB file whose first line /d removes, so nearly all of it would be rewritten.
NEARLY_FULL_BODY = (b"[tovrin]\nmdb=old\n" +
                    b"".join(b"k%05d=%s\n" % (i, b"v" * 60) for i in range(1450)))
# On a copy-on-write filesystem with about 40 KiB free: how the file is dressed, and whether /d
# leaves it "same" (a write over its blocks would need room that is not there) or "changed".
NEARLY_FULL_CASES = [
    ("a 98 KB file", None, "same"),
    ("a 98 KB file with a second hard link", with_second_link, "same"),
    ("a 98 KB +C file with a second hard link", without_copy_on_write, "changed"),  # no new room
    ("a 98 KB +C file with a second hard link and a reflinked copy",
     without_copy_on_write_reflinked, "same"),
]


def check_nearly_full(program, mount, name, failures):
    """Every block a write goes over takes new room here, as a new file's do: no room means the
    file as it was, never a rewrite that stops part-way."""
    for label, dress, expected in NEARLY_FULL_CASES:
        folder = Folder(program, parent=mount)
        folder.write(NEARLY_FULL_BODY)
        if dress:
            dress(folder.settings)
        os.utime(folder.settings, ns=(EARLIER, EARLIER))
        filler = fill(mount)
        os.sync()  # Btrfs frees the cut blocks only once they are committed
        os.truncate(filler, max(0, os.path.getsize(filler) - 64 * 1024))
        os.sync()
        free = os.statvfs(mount)
        label = f"{name}: {label}, {free.f_bavail * free.f_frsize} bytes free"
        result = folder.run("/d")
        after = folder.read()
        failures.check(result.returncode == 0, f"{label}: exit {result.returncode}")
        if expected == "same":
            failures.check(after == NEARLY_FULL_BODY, f"{label}: changed, {len(after)} bytes")
            check_untouched(failures, label, folder.settings)
        else:
            failures.check(after == NEARLY_FULL_BODY.replace(b"mdb=old\n", b""),
                           f"{label}: {after[:40]!r}")
        failures.check(folder.leftovers() == [], f"{label}: left {folder.leftovers()}")
        print(label)
        os.remove(filler)
        folder.remove()


# Cases that need what only one of the filesystems offers, or one is enough for.
SPECIAL_CASES = {"ext4": (check_without_proc,), "xfs": (check_large_inode,),
                 "tmpfs": (check_large_file,), "btrfs": (check_planted_link, check_nearly_full)}


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
            for special in SPECIAL_CASES.get(name, ()):
                special(program, mount, name, failures)
        finally:
            subprocess.run(["umount", mount], capture_output=True)
            os.rmdir(mount)
            shutil.rmtree(images)
            os.makedirs(images)
        print(f"{name}: {time.monotonic() - started:.1f} s")
    shutil.rmtree(images)
    print(f"filesystems: {failures.checked} checked")
    sys.exit(1 if failures.count else 0)


def main(argv):
    if argv[1:2] == ["--inside-filesystems"]:
        return inside_filesystems(argv[2])
    if len(argv) != 2:
        sys.exit(__doc__)
    failures = Failures()
    test_filesystems(os.path.abspath(argv[1]), failures)
    print(f"{failures.checked - failures.count} passed, {failures.count} failed")
    return 1 if failures.count else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
