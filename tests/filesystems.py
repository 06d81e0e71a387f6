#!/usr/bin/env python3
"""What surrounds the file's bytes, on ext4, XFS, Btrfs, tmpfs and FUSE (bindfs) mounted for the
test (as root).

  filesystems.py PROGRAM
"""
# Rows here: a file dressed in what must stay around its bytes (IDENTITY_CASES), a new file
# against what open(2) gives (NEW_FILE_CASES), and what needs one filesystem (SPECIAL_CASES:
# an inode past 2^32, a file over 2 GiB, /proc hidden, a planted link, a nearly full Btrfs), and
# temporaries beside another user and a container (TEMPORARIES). No fail_io here: this
# test also runs the 32-bit program, through qemu-i386-static where the host needs it.
import fcntl
import mmap
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from testlib import (CONTAINER_BASE, CONTAINER_ROOT, EARLIER, NEW_FILE, NOBODY, STRANGER, Failures,
                     Folder, as_user, check_changed, check_row, check_untouched, default_acl,
                     emulator, fill, fresh_identity, identity, in_pid_namespace, main, proc_hidden,
                     run, run_in_own_mounts, sysctl, under_strace, wait_until, without_proc)

# Filesystems a settings file lives on, each made on a sparse image file: its mkfs and size.
FILESYSTEMS = [
    ("ext4", ["mkfs.ext4", "-q", "-F"], "64M"),
    # Four allocation groups of 0.75 TiB: files in the third have inode numbers past 2^32.
    ("xfs", ["mkfs.xfs", "-q", "-f", "-d", "agcount=4", "-l", "size=64m"], "3T"),
    ("btrfs", ["mkfs.btrfs", "-q", "-f"], "256M"),
    ("tmpfs", None, None),
    # FUSE: an ext4 image seen through bindfs; and through bindfs forcing every new file's mode
    # to rw for all, as a mount for shared folders may.
    ("bindfs", ["bindfs"], "64M"),
    ("bindfs forcing modes", ["bindfs", "--create-with-perms=a+rw"], "64M"),
]
DRESSED = b"; kept\n[tovrin]\nother=1\nmdb=old\n"


def try_each(path, command, *arguments):
    """The command with each argument in turn: those the filesystem has take, it refuses others."""
    for argument in arguments:
        subprocess.run(command.split() + [argument, path], capture_output=True)


def emptied(path, *step):
    """The step taken while the file is empty (some flags take hold only then), its bytes kept."""
    content = open(path, "rb").read()
    with open(path, "wb"):
        dress(path, [step])
    Path(path).write_bytes(content)


def bind_mounted(path):
    """A file mounted onto settings.ini, as a container's single-file volume is: no rename over it."""
    shutil.copy(path, path + ".volume")
    subprocess.run(["mount", "--bind", path + ".volume", path], check=True)


def owned(path, owner, group, mode):
    os.chown(path, owner, group)
    os.chmod(path, mode)  # after the chown, which clears set-ID bits


# What each step of a dressing does: (action, *arguments) to settings.ini, or to its folder
# ("folder " and the action). "run" runs a command on it that must work; "try" each of a
# command's arguments, where the filesystem has them; "link" gives it a second name (its own
# and this suffix), "reflink" a copy sharing its blocks.
ACTIONS = {"chmod": os.chmod, "chown": os.chown, "xattr": os.setxattr, "owner": owned,
           "run": lambda path, command: subprocess.run(command.split() + [path], check=True),
           "try": try_each, "link": lambda path, suffix: os.link(path, path + suffix),
           "reflink": lambda path, suffix: subprocess.run(["cp", "--reflink=always", path,
                                                           path + suffix], check=True),
           "symlink": lambda path, name: os.symlink(name, path), "default ACL": default_acl,
           "emptied": emptied, "bind mounted": bind_mounted}


def dress(path, steps):
    for action, *arguments in steps or []:
        target = os.path.dirname(path) if action.startswith("folder ") else path
        ACTIONS[action.removeprefix("folder ")](target, *arguments)


ACL = [("chmod", 0o640), ("run", "setfacl -m u:nobody:rw")]
OWN_FOLDER = [("folder chown", NOBODY, NOBODY), ("chown", NOBODY, NOBODY)]
PROJECT = ("try", "xfs_io -c", "chproj 42")
# The file in a folder of the container root's, so dressed as the host sees it.
IN_CONTAINER = ("folder chown", CONTAINER_BASE, CONTAINER_BASE)
# cap_net_raw+ep as setcap writes it: revision 2 with the effective bit, then the permitted and
# inheritable sets, two words each.
CAP_NET_RAW = struct.pack("<IIIII", 0x02000001, 1 << 13, 0, 0, 0)
SETUID_LINKED = [("owner", 1234, 2345, 0o4666), ("link", ".other")]


def dosattrib(attributes, version=5):
    """Samba's user.DOSATTRIB record: an empty text, then version and union tag, then the valid
    fields (attributes and create time) and the attributes; version 5 (Samba 4.17) ends with the
    create time, version 3 with EA size, size, allocation size, create and change time."""
    rest = struct.pack("<Q", 133000000000000000) if version == 5 else struct.pack("<IQQQQ", 0, 9,
                                                                                  4096, 1, 1)
    return ("xattr", "user.DOSATTRIB",
            struct.pack("<xxHHxxII", version, version, 0x11, attributes) + rest)


# settings.ini dressed in what must stay around its bytes, the switch, who runs it, and what it
# must be after: the switch's marker and the rest kept, in a new file that replaced it whole
# ("replaced") or in the same inode ("in place"); or byte-identical ("same"). Its identity (mode,
# owner, ACL, attributes) stays in every case.
IDENTITY_CASES = [
    ("ACL user:nobody:rw on a 0640 file", ACL, "/u", None, "replaced"),
    ("ACL user:nobody:rw on a 0640 file", ACL, "/d", None, "replaced"),
    ("user., trusted. and security. attributes", [("xattr", "user.origin", b"o"),
     ("xattr", "trusted.check", b"c"), ("xattr", "security.label", b"l")], "/i", None, "replaced"),
    ("another owner and group, mode 0604", [("owner", 1234, 2345, 0o604)], "/u", None, "replaced"),
    ("another group alone, mode 0664", [("owner", -1, 2345, 0o664)], "/u", None, "replaced"),
    ("set-group-ID mode 2664", [("chmod", 0o2664)], "/u", None, "replaced"),
    ("set-user-ID mode 4644", [("chmod", 0o4644)], "/d", None, "replaced"),
    ("sticky mode 1644", [("chmod", 0o1644)], "/u", None, "replaced"),
    ("another owner and group, mode 4644", [("owner", 1234, 2345, 0o4644)], "/u", None, "replaced"),
    ("no ACL, in a folder with a default ACL", [("folder default ACL",)], "/u", None, "replaced"),
    ("a security. label the user may not set", OWN_FOLDER + [("xattr", "security.label", b"l")],
     "/u", NOBODY, "in place"),
    # An integrity measurement (IMA) and an EVM signature are bound to the inode.
    ("an IMA measurement", [("xattr", "security.ima", b"\x04\x01")], "/u", None, "in place"),
    ("an EVM signature", [("xattr", "security.evm", b"\x03\x02")], "/u", None, "in place"),
    ("another owner's file, writable in a writable folder",
     [("folder chmod", 0o777), ("chmod", 0o666)], "/u", NOBODY, "in place"),
    ("an immutable file", [("run", "chattr +i")], "/u", None, "same"),
    ("an append-only file", [("run", "chattr +a")], "/d", None, "same"),
    ("a file bind-mounted onto the name", [("bind mounted",)], "/u", None, "in place"),
    ("an append-only folder", [("folder run", "chattr +a")], "/u", None, "in place"),
    # Those the filesystem has: +m on Btrfs, where +C refuses it, else +c on ext4; +x on ext4, XFS.
    ("inode flags +m or +c, and +x", [("try", "chattr", "+m", "+c", "+x")], "/u", None, "replaced"),
    # An extent size hint (set only on an empty file), no-defrag, filestream and a CoW extent size
    # hint: XFS's own, which chattr's flags do not reach.
    ("XFS's extent size, no-defrag, filestream and CoW extent size, where kept",
     [("emptied", "try", "xfs_io -c", "extsize 1m"),
      ("try", "xfs_io -c", "chattr +f", "chattr +S", "cowextsize 1m")], "/u", None, "replaced"),
    # Btrfs's +C takes hold only on an empty file.
    ("inode flags +A +d +S +s +u +t +C +m, those the filesystem has",
     [("emptied", "try", "chattr", "+C"),
      ("try", "chattr", "+A", "+d", "+S", "+s", "+u", "+t", "+m")], "/u", None, "replaced"),
    ("project ID 42, where the filesystem has one", [PROJECT], "/u", None, "replaced"),
    ("project ID 42, run by the file's owner", OWN_FOLDER + [PROJECT], "/u", NOBODY, "replaced"),
    ("a second hard link: both names see the change", [("link", ".other")], "/u", None, "in place"),
    # In a user namespace that maps 0..65535 onto host 100000..: an owner or group it does not
    # map shows as the overflow ID, which no new file may take for it. Host root's file, writable
    # by all, shows there as 65534's; so does the host's group www-data.
    ("host root's 0666 file, run by a container's root", [IN_CONTAINER, ("owner", 0, 0, 0o666)],
     "/u", CONTAINER_ROOT, "in place"),
    ("group www-data, mode 0664, run by a container's root",
     [IN_CONTAINER, ("owner", CONTAINER_BASE, 33, 0o664)], "/u", CONTAINER_ROOT, "in place"),
    ("an owner and group the container maps, mode 0604",
     [IN_CONTAINER, ("owner", CONTAINER_BASE + 1234, CONTAINER_BASE + 2345, 0o604)], "/u",
     CONTAINER_ROOT, "replaced"),
    # The kernel takes capabilities and set-ID bits on a write in place, and a put-back would
    # re-arm them on whatever another wrote meanwhile: such a file is left as it is.
    ("file capabilities, another owner's set-user-ID 4666 file, a second hard link",
     SETUID_LINKED + [("xattr", "security.capability", CAP_NET_RAW)], "/u", None, "same"),
    ("set-user-ID 4666, a second hard link, run by its owner", SETUID_LINKED, "/u", 1234, "same"),
    ("Windows read-only (Samba's DOSATTRIB v5, 0x21)", [dosattrib(0x21)], "/u", None, "same"),
    ("Windows read-only (Samba's DOSATTRIB v3, 0x1)", [dosattrib(0x1, 3)], "/d", None, "same"),
    # Samba's old text form of the attributes.
    ("Windows read-only (\"0x21\")", [("xattr", "user.DOSATTRIB", b"0x21\0")], "/u", None, "same"),
    ("Windows archive bit only (DOSATTRIB v5, 0x20)", [dosattrib(0x20)], "/u", None, "replaced"),
    ("Windows archive bit only (old text \"0x20\")", [("xattr", "user.DOSATTRIB", b"0x20\0")],
     "/u", None, "replaced"),
    ("a folder with +d +A (+s +u +t where kept), a file without",
     [("folder try", "chattr", "+d", "+A", "+s", "+u", "+t")], "/u", None, "replaced"),
]

# A new settings.ini, in a folder so dressed and with this umask, gets what open(2) gives.
DANGLING = ("symlink", "named.ini")
NEW_FILE_CASES = [
    ("umask 022", None, 0o022),
    ("umask 077", None, 0o077),
    ("a folder with a default ACL, umask 077", [("folder default ACL",)], 0o077),
    ("a set-group-ID folder", [("folder chown", -1, 2345), ("folder chmod", 0o2775)], 0o022),
    ("a dangling link settings.ini -> named.ini", [DANGLING], 0o022),
    ("a dangling link, umask 077", [DANGLING], 0o077),
    ("a dangling link in a folder with a default ACL, umask 077",
     [("folder default ACL",), DANGLING], 0o077),
]


def test_filesystems(failures, program):
    """ext4, XFS, Btrfs and tmpfs: the file keeps what surrounds its bytes, whatever the program is."""
    run_in_own_mounts(failures, "filesystems", __file__, "--inside-filesystems", os.path.abspath(program))


# Where each FUSE mount's files really are.
BENEATH = {}


def beneath(mount, path):
    """Where a file of the mount really is: beneath it for FUSE, else where it is seen."""
    return os.path.join(BENEATH.get(mount, mount), os.path.relpath(path, mount))


def mount_filesystem(name, mkfs, size, where, images):
    os.mkdir(where)
    if mkfs is None:
        subprocess.run(["mount", "-t", "tmpfs", "tmpfs", where], check=True)
    elif mkfs[0] == "bindfs":
        BENEATH[where] = os.path.join(images, "beneath")
        mount_filesystem("ext4", ["mkfs.ext4", "-q", "-F"], size, BENEATH[where], images)
        subprocess.run(mkfs + [BENEATH[where], where], check=True)
    else:
        image = os.path.join(images, name + ".img")
        subprocess.run(["truncate", "-s", size, image], check=True)
        subprocess.run(mkfs + [image], check=True, capture_output=True)
        subprocess.run(["mount", "-o", "loop", image, where], check=True)


# bindfs passes no inode-flag or project-ID ioctl on (chattr: "Operation not supported"), so
# the files whose labels name these cannot be dressed through it.
NOT_THROUGH_FUSE = ("immutable", "append-only", "+A +d", "+d +A", "project ID")


def check_identity_cases(program, mount, name, failures):
    for label, steps, switch, user, expected in IDENTITY_CASES:
        if mount in BENEATH and any(words in label for words in NOT_THROUGH_FUSE):
            continue
        # qemu-user 7.2 answers FS_IOC_FSGETXATTR with ENOSYS, so a program run through it cannot
        # see a project ID or an extent size: where this host cannot execute 32-bit code, the
        # cases dressed by xfs_io would test the emulator on XFS, the one filesystem that keeps
        # them.
        if emulator(program) and name == "xfs" and any("xfs_io -c" in step for step in steps):
            print(f"SKIPPED: {name}: {label}: qemu-i386-static passes no FS_IOC_FSGETXATTR on")
            continue
        # The folder goes afterwards, whatever chattr or a mount left on it.
        with Folder(program, parent=mount, content=DRESSED) as folder:
            dress(folder.settings, [("folder chmod", 0o755)] + steps)
            before, inode = identity(folder.settings), os.stat(folder.settings).st_ino
            check_row(failures, f"{name}: {label}, {switch}", folder, folder.run(switch, user=user),
                      DRESSED, switch, expected, inode, before)


def check_new_files(program, mount, name, failures):
    for label, steps, mask in NEW_FILE_CASES:
        with Folder(program, parent=mount) as folder:
            dress(folder.settings, steps)
            old_mask = os.umask(mask)
            expected = fresh_identity(folder.root)
            result = folder.run("/u")
            os.umask(old_mask)
            label = f"{name}: new file, {label}"
            check_row(failures, label, folder, result, None, "/u", "changed")
            if folder.read() is not None:  # through a link, the file it names
                made = identity(os.path.realpath(folder.settings))
                failures.check(made == expected, f"{label}: {made}, open(2) gives {expected}")


def check_large_inode(program, mount, name, failures):
    """A file whose inode number needs more than 32 bits: a 32-bit build must still update it."""
    folders = [Folder(program, parent=mount, content=DRESSED)]
    while (inode := os.stat(folders[-1].settings).st_ino) <= 2**32 and len(folders) < 8:
        folders.append(Folder(program, parent=mount, content=DRESSED))
    failures.check(inode > 2**32, f"{name}: no inode number past 2^32 came up ({inode})")
    print(f"{name}: settings.ini with inode number {inode}")
    check_row(failures, f"{name}: inode number {inode}", folders[-1], folders[-1].run("/u"),
              DRESSED, "/u", "changed")
    for each in folders:
        each.remove()


def check_large_file(program, mount, name, failures):
    """A file over 2 GiB (sparse: its middle is NUL bytes): a 32-bit build must still update it."""
    head, tail = b"[a]\nx=1\n", b"\n[tovrin]\nmdb=old\n"
    with Folder(program, parent=mount, content=head) as folder:
        os.truncate(folder.settings, 2**31 + 2**20)
        with open(folder.settings, "ab") as f:
            f.write(tail)
        size = os.path.getsize(folder.settings)
        folder.run("/u")
        with open(folder.settings, "rb") as f, mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ) as m:
            start, end = m[:len(head)], m[-len(tail) - 5:]
        failures.check(start == head and end == b"\n[tovrin]\nmdb=ko197311\n",
                       f"{name}: file of {size} bytes ends {end!r}")
        failures.check(os.path.getsize(folder.settings) == size + 5, f"{name}: size of the large file")


def check_append_only_folder_without_proc(program, mount, name, failures):
    """Without /proc a temporary has a name from the start: in an append-only folder, where that
    name could never go again, none is made, and the file is rewritten in place."""
    with Folder(program, parent=mount, content=DRESSED) as folder:
        inode = os.stat(folder.settings).st_ino
        subprocess.run(["chattr", "+a", folder.root], check=True)  # Folder.remove clears it
        label = f"{name} without /proc, an append-only folder"
        check_row(failures, label, folder, folder.run("/u", without_proc), DRESSED, "/u",
                  "in place", inode)
        failures.check(folder.leftovers() == [], f"{label}: left {folder.leftovers()}")


def check_without_proc(program, mount, name, failures):
    """With /proc hidden the program still finds its own directory, and writes without O_TMPFILE."""
    with Folder(program, parent=mount, content=DRESSED) as folder, proc_hidden():
        result = run(folder.command("/u"), cwd=folder.root)
        check_row(failures, f"{name} without /proc", folder, result, DRESSED, "/u", "changed")
        # Runs killed at their first and second write leave their named temporaries; the next run
        # that writes clears them, but not one a live run holds locked, nor a name not its own.
        for when in (1, 2):
            run(under_strace(folder.command("/i"), "pwrite64", "signal=KILL", when))
        killed = folder.leftovers()
        gone = int(run(["sh", "-c", "echo $$"]).stdout)  # its process ID names no live run
        held = f".settings.ini.{gone}.1.0.tmp"
        others = [".settings.ini.notes", f".settings.ini.{gone}.1.bak", "settings.ini.1.new"]
        run(["touch", *others], cwd=folder.root)
        with open(os.path.join(folder.root, held), "wb") as held_file:
            fcntl.flock(held_file, fcntl.LOCK_EX)
            folder.run("/i")
        label = f"{name} without /proc, after runs killed"
        failures.check(killed != [], f"{label}: the kills left nothing to clear")
        check_changed(failures, label, DRESSED, folder.read(), "/i")
        left = sorted(n for n in os.listdir(folder.root) if n.startswith((".settings", "settings.ini.")))
        failures.check(left == sorted([held] + others), f"{label}: left {left}")

        # Started through a symbolic link in another folder: the marker lands beside the program.
        other = Folder(program, parent=mount, content=DRESSED)
        os.remove(other.program)
        os.symlink(folder.program, other.program)
        # Its argv[0] names a file beside the link, not the program: only the executed file counts.
        shutil.copy(folder.program, os.path.join(other.root, "decoy"))
        qemu = emulator(other.program)
        # qemu-user takes the name the program sees as argv[0] from its -0 option.
        started = qemu + ["-0", "decoy", other.program] if qemu else ["decoy"]
        result = run(started + ["/u"], executable=(qemu or [other.program])[0], cwd=other.root)
        label = f"{name} without /proc, through a link"
        failures.check(result.returncode == 0, f"{label}: exit {result.returncode}")
        check_changed(failures, label, DRESSED, folder.read(), "/u")
        failures.check(other.read() == DRESSED, f"{label}: written beside the link: {other.read()!r}")
        other.remove()


def check_links_without_proc(program, mount, name, failures):
    """Without /proc the file a link leads to cannot be named: an existing one is rewritten in
    place through the link, which the kernel follows each time; through a dangling link nothing
    is made, for it could not be taken back."""
    with Folder(program, parent=mount) as folder, proc_hidden():
        sub = os.path.join(folder.root, "sub")
        os.mkdir(sub)
        named = os.path.join(sub, "named.ini")
        os.symlink("sub/named.ini", folder.settings)
        run(folder.command("/u"), cwd=folder.root)
        made = os.path.lexists(named)
        Path(named).write_bytes(DRESSED)
        inode = os.stat(named).st_ino
        result = run(folder.command("/u"), cwd=folder.root)
        label = f"{name} without /proc, settings.ini a link"
        failures.check(not made, f"{label}: a file was made through the dangling link")
        # In place: settings.ini still leads to the file of that inode.
        check_row(failures, label, folder, result, DRESSED, "/u", "in place", inode)
        failures.check(os.path.islink(folder.settings) and os.listdir(sub) == ["named.ini"],
                       f"{label}: the link was replaced, or left {os.listdir(sub)}")


def check_planted_link(program, mount, name, failures):
    """Another user's link in a sticky world-writable folder, to a file of root's: with
    fs.protected_symlinks=1 the kernel refuses root to follow it, and so must the program."""
    with Folder(program, parent=mount) as folder, sysctl("fs.protected_symlinks", "1"):
        os.chmod(folder.root, 0o1777)
        target = os.path.join(folder.root, "target.ini")
        Path(target).write_bytes(DRESSED)
        subprocess.run(as_user(NOBODY, ["ln", "-s", target, folder.settings]), check=True)
        folder.run("/u")
        label = f"{name}: a planted link with fs.protected_symlinks=1"
        failures.check(open(target, "rb").read() == DRESSED, f"{label}: target changed")
        failures.check(os.path.islink(folder.settings), f"{label}: the link is gone")
        failures.check(folder.leftovers() == [], f"{label}: left {folder.leftovers()}")


# How long strace holds a run after its first open through the link: the other user's swap
# must land within it.
HOLD_SECONDS = 1


def check_link_swapped_during_run(program, mount, name, failures):
    """Root's dangling link into a sticky world-writable folder; another user puts a link at its
    end, to a root-only folder, just after the run found nothing there (strace holds the run at
    that moment). With fs.protected_symlinks=1 no file may be made there, nor one there changed."""
    with Folder(program, parent=mount) as folder, sysctl("fs.protected_symlinks", "1"):
        os.chmod(folder.root, 0o755)
        shared = tempfile.mkdtemp(prefix="shared-", dir=folder.root)  # both go with the folder
        os.chmod(shared, 0o1777)
        end = os.path.join(shared, "named.ini")
        os.symlink(end, folder.settings)
        for planted in ("new.ini", "existing.ini"):
            private = tempfile.mkdtemp(prefix="private-", dir=folder.root)  # 0700, root's
            existing = os.path.join(private, "existing.ini")
            Path(existing).write_bytes(DRESSED)
            planted = os.path.join(private, planted)
            label = f"{name}: root's dangling link swapped to {planted} meanwhile"
            # strace logs to the run's stderr, which the quiet program leaves to it.
            held = folder.start("/u", lambda command: under_strace(
                command, "open,openat", f"delay_exit={HOLD_SECONDS * 1000000}", 1,
                log="/dev/stderr", options=("-P", folder.settings)),
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            first = held.stderr.readline()  # the open that found nothing, held
            started = time.monotonic()
            subprocess.run(as_user(STRANGER, ["ln", "-s", planted, end]), check=True)
            took = time.monotonic() - started
            held.communicate(timeout=60)
            failures.check("ENOENT" in first and took < HOLD_SECONDS,
                           f"{label}: the swap missed the moment: {first!r}, {took:.2f} s")
            failures.check(os.listdir(private) == ["existing.ini"],
                           f"{label}: {os.listdir(private)} in the 0700 folder")
            failures.check(open(existing, "rb").read() == DRESSED,
                           f"{label}: existing.ini is now {open(existing, 'rb').read()!r}")
            failures.check(os.path.islink(end) and os.path.islink(folder.settings),
                           f"{label}: a link was replaced")
            os.remove(end)


def check_planted_names(program, mount, name, failures):
    """Another user plants directories under the names that runs in containers (PID 1 up) gave
    their temporaries, in a sticky world-writable folder: root's runs there still update the file,
    and leave what was planted. The names two such runs in a row take differ."""
    with Folder(program, parent=mount, content=DRESSED) as folder:
        os.chmod(folder.root, 0o1777)
        planted = [os.path.join(folder.root, f".settings.ini.{pid}.new") for pid in range(1, 65)]
        subprocess.run(as_user(NOBODY, ["mkdir", *planted]), check=True)
        label = f"{name}: names planted by another user"
        names, log = [], os.path.join(folder.root, "strace.log")  # goes with the folder
        for switch in ("/u", "/i", "/u", "/i", "/u", "/i", "/u"):
            run(under_strace(folder.command(switch, in_pid_namespace), "linkat,openat", log=log))
            check_changed(failures, f"{label}, {switch}", DRESSED, folder.read(), switch)
            # The name given to an unnamed file, or made outright where there is no O_TMPFILE
            # (FUSE).
            made = [line for line in open(log) if "linkat(" in line or "O_EXCL" in line]
            names += re.findall(r'"(?:[^"]*/)?(\.settings\.ini\.[^"/]*)"', "".join(made))
        left = [n for n in folder.leftovers() if not os.path.isdir(os.path.join(folder.root, n))]
        failures.check(left == [], f"{label}: left {left}")
        failures.check(all(os.path.isdir(path) for path in planted), f"{label}: a planted one went")
        failures.check(len(names) == 7 and all(a != b for a, b in zip(names, names[1:])),
                       f"{label}: runs one after another as PID 1 named their temporaries {names}")


# Runs killed under strace, each leaving a temporary the next run (/i, on the host) must clear:
# settings.ini before, how the run is started, the calls it dies at (at the first), and those
# traced. In a PID namespace of its own (a container sharing the folder) just before its rename:
# the process ID it had there is alive here. Without /proc after link() put its new file in
# place and before it removed its temporary name: a second name of settings.ini, which the next
# run removes first, and so replaces the file rather than rewrite it in place beside it.
KILLED_RUNS = [
    ("a run in a PID namespace killed before its rename", DRESSED, in_pid_namespace,
     "rename,renameat", None),
    ("a run killed between its link and its unlink", None, without_proc, "unlink,unlinkat",
     "link,unlink,linkat,unlinkat"),
]


def check_killed_runs(program, mount, name, failures):
    for label, content, wrap, call, trace in KILLED_RUNS:
        with Folder(program, parent=mount, content=content) as folder:
            run(under_strace(wrap(folder.command("/u")), call, "signal=KILL", 1, trace))
            killed, before = folder.leftovers(), folder.read()
            # FUSE numbers its inodes itself: the file's own is the one beneath the mount.
            inode = os.stat(beneath(mount, folder.settings)).st_ino
            label = f"{name}: {label}"
            check_row(failures, label, folder, folder.run("/i"), before, "/i", "changed")
            failures.check(killed != [] and before == (content or NEW_FILE),
                           f"{label}: the kill left {killed}, settings.ini {before!r}")
            after = os.stat(beneath(mount, folder.settings))
            # FUSE keeps a file's attributes for a second, so there the run may still count two
            # links and rewrite in place: whole either way, and the leftover gone.
            failures.check(after.st_nlink == 1 and (after.st_ino != inode or mount in BENEATH),
                           f"{label}: {after.st_nlink} links, inode kept: {after.st_ino == inode}")


OWNER_PROBE = """import os, sys
folder, stop = sys.argv[1], sys.argv[2]
seen, opened = set(), set()
while not os.path.exists(stop):
    for entry in os.scandir(folder):
        try:
            if entry.name.startswith(".settings.ini.") and os.lstat(entry).st_uid == os.getuid():
                seen.add(entry.name)
                os.close(os.open(entry, os.O_WRONLY | os.O_NONBLOCK))
                opened.add(entry.name)
        except OSError:
            pass
print(len(seen), len(opened))
"""


def check_owner_kept_out(program, mount, name, failures):
    """settings.ini of uid 1234, mode 0464 (its owner may only read it). Root replaces it without
    /proc, its named temporary held 1.5 s before each fchmod, while uid 1234 tries to open every
    temporary of its own for writing: never once may it."""
    with Folder(program, parent=mount, content=DRESSED) as folder:
        dress(folder.settings, [("folder chmod", 0o1777), ("owner", 1234, 1234, 0o464)])
        stop = os.path.join(folder.root, "stop")  # goes with the folder
        probe = subprocess.Popen(as_user(1234, ["/usr/bin/python3", "-c", OWNER_PROBE, folder.root,
                                                stop]), stdout=subprocess.PIPE, cwd="/")
        result = run(under_strace(without_proc(folder.command("/u")), "fchmod", "delay_enter=1500000"))
        open(stop, "w").close()
        seen, opened = map(int, probe.communicate(timeout=60)[0].split())
        label = f"{name}: the old owner trying to open the replacement"
        check_row(failures, label, folder, result, DRESSED, "/u", "changed")
        failures.check(seen > 0, f"{label}: it never saw a temporary of its own")
        failures.check(opened == 0, f"{label}: it opened {opened} for writing")
        failures.check(stat.S_IMODE(os.stat(folder.settings).st_mode) == 0o464, f"{label}: mode")


def check_collector_before_lock(program, mount, name, failures):
    """Without /proc, a run's named temporary is held before its lock (7 s at its second flock, the
    first being the copies' queue); a run that gave up waiting in that queue (5 s) takes it for a
    leftover meanwhile and removes it. The first run takes another name, but past its 5 s of
    starting over it gives up (FALSE) on finding the second one's file there, which stands whole."""
    with Folder(program, parent=mount) as folder:
        log = os.path.join(folder.root, "strace.log")  # goes with the folder
        first = folder.start("/u", lambda command: under_strace(
            without_proc(command), "flock", "delay_enter=7000000", 2, "flock,open,openat", log))
        made = wait_until(folder.leftovers, 30)
        second = folder.run("/i")
        in_time = first.poll() is None
        first.wait(timeout=60)
        names = re.findall(r'"(?:[^"]*/)?(\.settings\.ini\.[^"/]*)", [^)]*O_EXCL', open(log).read())
        label = f"{name}: a temporary removed before its maker locked it"
        failures.check(made != [] and in_time, f"{label}: the second run missed the window")
        failures.check(len(set(names)) >= 2, f"{label}: the first run made only {names}")
        check_row(failures, f"{label}, the second run's file", folder, second, None, "/i",
                  NEW_FILE.replace(b"ko197311", b"jas197311"))


# Temporaries beside another user and a container sharing the folder.
TEMPORARIES = (check_planted_names, check_killed_runs, check_owner_kept_out,
               check_collector_before_lock)


def check_fuse_openers(program, mount, name, failures):
    """A lease sees who opened the file through the same FUSE mount, not who holds the file
    beneath it: that one is replaced, and the holder keeps the old bytes."""
    for where, expected in [("through the mount", "in place"), ("beneath the mount", "replaced")]:
        with Folder(program, parent=mount, content=DRESSED) as folder:
            held = beneath(mount, folder.settings) if "beneath" in where else folder.settings
            inode = os.stat(folder.settings).st_ino
            with open(held, "rb") as holder:
                result = folder.run("/u")
                seen = holder.read()
            label = f"{name}: settings.ini held open {where}, /u"
            check_row(failures, label, folder, result, DRESSED, "/u", expected, inode)
            failures.check(seen == (folder.read() if expected == "in place" else DRESSED),
                           f"{label}: the holder reads {seen!r}")


def check_forced_modes(program, mount, name, failures):
    """A mount that makes every new file rw for all: settings.ini of mode 0600 is never readable
    by others, not even as the temporary its run made, caught at its first write."""
    with Folder(program, parent=mount, content=DRESSED, mode=0o600) as folder:
        kept = identity(folder.settings)
        run(under_strace(folder.command("/u"), "pwrite64", "signal=KILL", 1))
        label = f"{name}: settings.ini of mode 0600"
        killed = f"{label}, run killed at its first write"
        for each in ["settings.ini"] + folder.leftovers():
            mode = stat.S_IMODE(os.stat(os.path.join(folder.root, each)).st_mode)
            failures.check(mode & ~0o600 == 0, f"{killed}: {each} has mode {mode:04o}")
        failures.check(folder.read() == DRESSED, f"{killed}: {folder.read()!r}")
        # Replaced, with mode 0600 and all else that surrounded the old file.
        check_row(failures, label, folder, folder.run("/u"), DRESSED, "/u", "replaced", None, kept)


SECOND_LINK = ("link", ".link")
NO_COPY_ON_WRITE = ("emptied", "run", "chattr +C")
# A 98 KB file whose first line /d removes, so nearly all of it would be rewritten.
NEARLY_FULL_BODY = (b"[tovrin]\nmdb=old\n" +
                    b"".join(b"k%05d=%s\n" % (i, b"v" * 60) for i in range(1450)))
# On a copy-on-write filesystem with about 40 KiB free: how the file is dressed, and whether /d
# leaves it "same" (a write over its blocks would need room that is not there) or "changed".
NEARLY_FULL_CASES = [
    ("a 98 KB file", None, "same"),
    ("a 98 KB file with a second hard link", [SECOND_LINK], "same"),
    # No new room is needed to write over the blocks of a +C file no reflink shares.
    ("a 98 KB +C file with a second hard link", [NO_COPY_ON_WRITE, SECOND_LINK], "changed"),
    # +C, yet its blocks shared with a reflinked copy (+C too, from the folder, as a reflink
    # needs): a write over them needs new room.
    ("a 98 KB +C file with a second hard link and a reflinked copy",
     [("folder run", "chattr +C"), NO_COPY_ON_WRITE, ("reflink", ".copy"), SECOND_LINK], "same"),
]


def check_nearly_full(program, mount, name, failures):
    """Every block a write goes over takes new room here, as a new file's do: no room means the
    file as it was, never a rewrite that stops part-way."""
    for label, steps, expected in NEARLY_FULL_CASES:
        with Folder(program, parent=mount, content=NEARLY_FULL_BODY) as folder:
            dress(folder.settings, steps)
            os.utime(folder.settings, ns=(EARLIER, EARLIER))
            filler = fill(mount)
            os.sync()  # Btrfs frees the cut blocks only once they are committed
            os.truncate(filler, max(0, os.path.getsize(filler) - 64 * 1024))
            os.sync()
            free = os.statvfs(mount)
            label = f"{name}: {label}, {free.f_bavail * free.f_frsize} bytes free"
            outcome = "same" if expected == "same" else NEARLY_FULL_BODY.replace(b"mdb=old\n", b"")
            check_row(failures, label, folder, folder.run("/d"), NEARLY_FULL_BODY, "/d", outcome)
            if expected == "same":
                check_untouched(failures, label, folder.settings)
            print(label)
            os.remove(filler)


def check_writer_beneath_fuse(program, mount, name, failures):
    """A careful writer beneath the FUSE mount gets its own lock at once (the mount's locks do not
    reach it) and replaces the file while the run flushes its new one. Through bindfs the inode
    number may stay the same; the run's last look must still see the change, and start over."""
    with Folder(program, parent=mount, content=DRESSED) as folder:
        below = beneath(mount, folder.settings)
        log = beneath(mount, os.path.join(folder.root, "strace.log"))  # goes with the folder
        writing = subprocess.Popen(under_strace(folder.command("/u"), "fsync", "delay_enter=1500000",
                                                1, log=log), cwd="/")
        held = wait_until(lambda: os.path.exists(log) and "fsync(" in open(log).read(), 10)
        written = DRESSED.replace(b"other=1", b"other=2")  # the same size: only the times show
        with open(below, "r+b") as locked:
            fcntl.lockf(locked, fcntl.LOCK_EX)
            Path(below + ".writer").write_bytes(written)
            os.rename(below + ".writer", below)
        writing.wait(timeout=60)
        label = f"{name}: a writer beneath the mount replaces the file at the run's flush"
        failures.check(held, f"{label}: the run was never held at its flush")
        check_changed(failures, label, written, folder.read(), "/u")
        failures.check(folder.leftovers() == [], f"{label}: left {folder.leftovers()}")


# Folders whose path is this long: the temporary's name beside settings.ini is longer than
# PATH_MAX (4096) from 4061 bytes on, settings.ini's own is not up to 4082. Each switch on an
# existing file must still land.
DEEP_FOLDERS = [(4061, "/u"), (4070, "/i"), (4082, "/d")]


def check_deep_folders(program, mount, name, failures):
    for length, switch in DEEP_FOLDERS:
        deep = top = os.path.join(mount, "ko197311-" + "x" * 8)  # as long as Folder's own name
        while len(deep) < length:
            deep = os.path.join(deep, "d" * min(200, length - len(deep) - 1))
        with Folder(program, parent=mount, app=deep[len(top) + 1:], content=DRESSED) as folder:
            label = f"{name}: a folder path of {len(folder.root)} bytes, {switch}"
            check_row(failures, label, folder, folder.run(switch), DRESSED, switch, "changed")


EVERY_FILESYSTEM = (check_identity_cases, check_new_files)
# Cases that need what only one of the filesystems offers, or one is enough for.
SPECIAL_CASES = {"ext4": (check_append_only_folder_without_proc, check_without_proc,
                          check_links_without_proc, check_deep_folders),
                 "xfs": (check_large_inode,), "tmpfs": (check_large_file,),
                 "btrfs": (check_planted_link, check_link_swapped_during_run, check_nearly_full),
                 "bindfs": (check_fuse_openers, check_writer_beneath_fuse),
                 "bindfs forcing modes": (check_forced_modes,)}


def inside_filesystems(program):
    failures = Failures()
    temporaries = () if emulator(program) else TEMPORARIES
    if emulator(program):
        print(f"through {emulator(program)[0]}: this host cannot execute 32-bit x86 code")
        print("SKIPPED: temporaries: strace would see qemu-user's calls, not the program's")
    for name, mkfs, size in FILESYSTEMS:
        started = time.monotonic()
        with tempfile.TemporaryDirectory(prefix="ko197311-images-") as images:
            os.chmod(images, 0o755)  # other users reach the mount inside
            mount = os.path.join(images, name.replace(" ", "-"))
            try:
                mount_filesystem(name, mkfs, size, mount, images)
                checks = () if name == "bindfs forcing modes" else EVERY_FILESYSTEM + temporaries
                for check in checks + SPECIAL_CASES.get(name, ()):
                    check(program, mount, name, failures)
            finally:
                # Lazily: the bindfs daemon may still hold the filesystem beneath it for a moment
                # after its own unmount.
                subprocess.run(["umount", "-l", mount, f"{images}/beneath"], capture_output=True)
        print(f"{name}: {time.monotonic() - started:.1f} s")
    print(f"filesystems: {failures.checked} checked")
    sys.exit(1 if failures.count else 0)


if __name__ == "__main__":
    main(__doc__, test_filesystems, {"--inside-filesystems": inside_filesystems})
