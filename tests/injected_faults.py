#!/usr/bin/env python3
"""Faults injected into runs of the native program: the file as before or as intended, never half.

  injected_faults.py PROGRAM FAIL_IO_LIBRARY
"""
# Rows here: a call failed, cut short or stopped through fail_io (FAULTS), or a command run at
# that call; a full disk (FULL_DISK_CASES); a file size limit (FILE_SIZE_LIMIT_CASES).
# Kills and call order go to kills_and_order.py, other writers to concurrency.py, what a
# filesystem keeps around the file to filesystems.py.
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile

from testlib import (EARLIER, NEW_FILE, NOBODY, ORIGIN, OTHER_LINES, RIVAL, STARTS, Failures,
                     Folder, as_user, check_quiet, check_row, check_untouched, default_acl, fill,
                     fresh_identity, identity, main, marker, run, run_in_own_mounts, skip,
                     wait_until, with_fail_io, write_bytes)

# Injected faults: which calls fail, on which file, the switch, and what the file must be after:
# "same", byte-identical to before; "changed", the switch's marker and every other byte kept;
# "in place", changed on the same inode, never replaced; "replaced", changed in a new file that
# took the old one's place; "grown", so after another writer's
# growth; or these exact bytes. An existing file carries an extended attribute and mode 0644
# throughout; a new one is as open(2) makes it. A run stopped before a call ("stop") shows
# whether another user could open its temporary file then.
# "name:call:!command" runs a command on {settings} (or its {folder}) at that call instead, as an
# administrator might during a run: what it did must stay.
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
    ("linkat:1:17", "existing", "/u", "changed"),  # the name found taken: another, never removed
    ("open:2:95", "existing", "/u", "changed"),   # no O_TMPFILE here: a named temporary file instead
    ("open:2:95,rename:1:5", "existing", "/u", "same"),
    ("open:2:95,pwrite:1:28", "existing", "/u", "changed"),
    ("fchmod:1:38", "existing", "/u", "in place"),  # no modes (FAT)
    ("fchmod:1:quiet", "existing", "/u", "in place"),  # a mode quietly not set
    ("open:2:wide", "existing", "/u", "in place"),  # made 0666 (a FUSE mount forcing modes)
    ("open:2:95,open:3:17", "existing", "/u", "changed"),  # the named temporary's name taken
    ("fsetxattr:1:95", "existing", "/u", "in place"),  # the attribute cannot be carried
    ("flistxattr:1:5", "existing", "/u", "same"),  # EIO listing them: an error, not a reason
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
    # A tail under a mebibyte goes out in one write: a kill at a second would leave it mixed. (The
    # command also runs in this script, to learn what it does to a file: there it kills nothing.)
    ("open:2:13,open:3:13,pwrite:2:![ $(cat /proc/$PPID/comm) != ko197311 ] || kill -9 $PPID",
     "580 kB", "/u", "in place"),
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
    # A hard link made between the write and the swap: in place, so both names see the change.
    ("fsync:1:!ln {settings} {settings}.link", "existing", "/u", "in place"),
    # The file the kernel made through a dangling link cannot be filled: it goes again.
    ("pwrite:1:5", "missing, through a dangling link", "/u", "same"),
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
    # Between the write and the swap, an attribute's value changed, an attribute removed, the
    # owner or the group alone changed, a set-group-ID bit set: each stays.
    ("fsync:1:!setfattr -n user.origin -v changed {settings}", "existing", "/u", "changed"),
    ("fsync:1:!setfattr -x user.origin {settings}", "existing", "/u", "changed"),
    ("fsync:1:!chown 1234 {settings}", "existing", "/u", "changed"),
    ("fsync:1:!chgrp 2345 {settings}", "existing", "/u", "changed"),
    ("fsync:1:!chmod 2644 {settings}", "existing", "/u", "changed"),
    # Another writer renames its new file over the name then: the run starts over on that file.
    ("fsync:1:!printf '[other]\\nkept=1\\n' >{settings}.new && mv {settings}.new {settings}",
     "existing", "/u", RIVAL + NEW_FILE),
    # No inode flags or project ID here (NFS, FUSE, qemu-user), by each error that says so: the
    # file is still replaced. One that cannot be read (EIO) fails, the file as it was.
    ("ioctl:1:25,ioctl:2:25", "existing", "/u", "replaced"),
    ("ioctl:1:95,ioctl:2:95", "existing", "/u", "replaced"),
    ("ioctl:1:22,ioctl:2:22", "existing", "/u", "replaced"),
    ("ioctl:1:38,ioctl:2:38", "existing", "/u", "replaced"),
    ("ioctl:1:5", "existing", "/u", "same"),
    ("ioctl:1:25,ioctl:2:5", "existing", "/u", "same"),
    # An attribute list or value that grew between sizing and reading is read again; a
    # filesystem without attributes has none to carry.
    ("flistxattr:2:34", "existing", "/u", "replaced"),
    ("fgetxattr:3:34", "existing", "/u", "replaced"),
    ("open:1:!setfattr -x user.origin {settings},flistxattr:1:95,flistxattr:2:95,flistxattr:3:95,"
     "flistxattr:4:95", "existing", "/u", "replaced"),
    # Links refused as unsupported (ENOTSUP), exclusive renames too (ENOSYS): a claim, then filled.
    ("open:1:95,link:1:95", "missing", "/u", "changed"),
    ("open:1:95,link:1:1,renameat2:1:38", "missing", "/u", "changed"),
    # Another writer's file made just before the claim: set in that file.
    ("open:1:95,link:1:1,renameat2:1:22,open:3:!printf '[other]\\nkept=1\\n' >{settings}",
     "missing", "/u", RIVAL + NEW_FILE),
    # Another writer writes into the claimed file, then the fill fails: the claim stays, with that.
    ("open:1:95,link:1:1,renameat2:1:22,open:4:!printf '[other]\\nkept=1\\n' >>{settings},"
     "pwrite:2:5", "missing", "/u", RIVAL),
    # A writer that takes no lock changes another key in place (name = x to y) after the run's
    # read, before its look at the size and mtime: the run reads again, and that write stays.
    ("pread:2:!printf y | dd of={settings} bs=1 seek=36 conv=notrunc status=none", "existing", "/u",
     OTHER_LINES.replace(b"name = x", b"name = y").replace(b"mdb=old", b"mdb=ko197311")),
    # The folder made append-only at the new file's flush, after the first look: the name could
    # be made but never renamed or removed, so the file is rewritten in place, nothing left.
    ("fsync:1:!chattr +a {folder}", "existing", "/u", "in place"),
]


def dress_existing(path, content):
    write_bytes(path, content)
    os.chmod(path, 0o644)
    os.setxattr(path, *ORIGIN)


def run_stopped(folder, switch, env, failures, label):
    """Runs the program until fail_io stops it; meanwhile no other user may open its temporary
    files (those it has, and it must have one). Then lets it finish."""
    os.chmod(folder.root, 0o755)
    process = folder.start(switch, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_until(lambda: process.poll() is not None
               or open(f"/proc/{process.pid}/stat").read().rsplit(")", 1)[1].split()[0] == "T", 10)
    names = folder.leftovers()
    failures.check(names != [], f"{label}: no temporary file to look at")
    for name in names:
        path = os.path.join(folder.root, name)
        mode = os.stat(path).st_mode
        failures.check(mode & 0o077 == 0, f"{label}: {name} has mode {oct(mode)}")
        if os.geteuid() == 0:
            failures.check(run(["cat", path], user=NOBODY).returncode != 0,
                           f"{label}: user {NOBODY} could open {name}")
    process.send_signal(signal.SIGCONT)
    out, err = process.communicate(timeout=60)
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


def test_injected_faults(program, library, failures, parent=None, rows=FAULTS):
    for faults, start, switch, expected in rows:
        with Folder(program, parent=parent) as folder:
            before = STARTS[start]
            surrounding, inode = fresh_identity(folder.root), None
            if before is not None:  # and a file dressed alike, to learn what the commands give it
                dress_existing(folder.settings, before)
                reference = os.path.join(folder.root, "reference.ini")
                dress_existing(reference, before)
                for command in re.findall(r"!([^,]*{settings}[^,]*)", faults):
                    subprocess.run(command.replace("{settings}", reference), shell=True, check=True)
                surrounding, inode = identity(reference), os.stat(folder.settings).st_ino
                os.remove(reference)
            if "default ACL" in start:
                default_acl(folder.root)  # after the files: new files get an ACL they lack
            if "dangling link" in start:
                os.symlink("named.ini", folder.settings)
            hooks = faults.replace("{settings}", folder.settings)
            env = with_fail_io(library, hooks.replace("{folder}", folder.root))
            label = f"fault {faults} on {start} file, {switch}"
            result = (run_stopped(folder, switch, env, failures, label) if "stop" in faults
                      else folder.run(switch, env=env))
            # In place, the old inode takes the change: no later try may replace it after all.
            check_row(failures, label, folder, result, before, switch, expected, inode, surrounding)


# Someone opens the file between the write and the swap (at the new file's flush), and waits until
# its open waits on the run's lease, as /proc/locks shows it (for at most 5 s): the run goes in
# place, as it learns of the open by its lease. A writer's write lands in the named file. A
# reader's open only downgrades the lease, and waits; the reader reads the whole change. At the
# in-place write (the third: two put the new file's content) the run waits for the reader's read,
# unless its lease still holds it back. The label, what the opener does with descriptor 3 and
# which further fault, and what must hold of the file after and what the reader saw.
OPENER_ROWS = [
    ("an open during the run", "exec 3>>{settings}; echo [late] >&3", "",
     lambda after, read: after.endswith(b"[late]\n")),
    ("a read during the run", "exec 3<{settings}; cat <&3 >{seen}", ",pwrite:3:!{held}",
     lambda after, read: read == after),
]


def test_opened_during_run(program, library, failures):
    for label, opener, more, holds in OPENER_ROWS:
        with Folder(program) as folder:
            dress_existing(folder.settings, OTHER_LINES)
            inode = os.stat(folder.settings).st_ino
            seen, opened = os.path.join(folder.root, "seen"), os.path.join(folder.root, "opened")
            breaking = f"grep -q 'BREAKING.*:{inode} ' /proc/locks && break; sleep 0.01; done"
            names = dict(settings=folder.settings, seen=seen,
                         held=f"for i in $(seq 500); do [ -e {opened} ] && break; {breaking}")
            faults = f"fsync:1:!({opener}; touch {opened}) & for i in $(seq 500); do {breaking}"
            result = folder.run("/u", env=with_fail_io(library, (faults + more).format(**names)))
            finished = wait_until(lambda: os.path.exists(opened), 10) and os.path.exists(seen)
            after = folder.read()
            read = open(seen, "rb").read() if finished else None
            failures.check(result.returncode == 0, f"{label}: exit {result.returncode}")
            failures.check(marker(after) == "ko197311" and holds(after, read)
                           and os.stat(folder.settings).st_ino == inode,
                           f"{label}: read {read!r}, the file is {after!r}")


# A file larger than the file size limit (ulimit -f 32), replaced or, with a second hard link,
# rewritten in place: a write past the limit fails (SIGXFSZ must not end the run), and the file
# stays as it was.
FILE_SIZE_LIMIT = 32 * 1024
FILE_SIZE_LIMIT_CASES = [("replaced", None),
                         ("in place", lambda path: os.link(path, path + ".link"))]


def limited(kind, value):
    """What makes a child run under this limit (resource.RLIMIT_...), as its preexec_fn."""
    return lambda: resource.setrlimit(kind, (value, value))


# A small tmpfs with no room left (in a mount namespace of its own): a change that fits in the old
# file's place is made there, one that needs more room changes nothing. The file's marker line,
# the switch, and whether the file is then "same" or "changed". The file ends on a page boundary,
# so any growth needs a page that is not there.
FULL_DISK_CASES = [
    (b"mdb=old\r\n", "/u", "same"),         # grows
    (b"mdb=old\r\n", "/d", "changed"),      # shrinks
    (b"mdb=jx197311\r\n", "/u", "changed"),  # the same size
]


def inside_full_disk(program, mount, failures):
    rows = []  # the label, the file, the switch, what the file is after, and who runs
    for line, switch, expected in FULL_DISK_CASES:
        head = OTHER_LINES.replace(b"mdb=old\r\n", line)
        body = head + b";" * (-(len(head) + 1) % 4096) + b"\n"
        rows.append((f"full disk, {line!r} {switch}", body, switch, expected, None))
    # In place: a two-page file another user may write, in a folder it may not; the disk then
    # filled up. The set grows the file into a third page, which must be reserved first.
    tail = b"[tovrin]\nmdb=old\n"
    body = b"; two pages\n" + b"x" * (2 * os.sysconf("SC_PAGE_SIZE") - len(tail) - 13) + b"\n"
    rows.append(("full disk in place", body + tail, "/u", "same", NOBODY))
    with Folder(program, parent=mount) as folder:
        os.chmod(folder.root, 0o755)
        for label, body, switch, expected, user in rows:
            folder.write(body)
            if user is not None:
                os.chown(folder.settings, user, user)
            os.utime(folder.settings, ns=(EARLIER, EARLIER))
            filler = fill(mount)
            result = folder.run(switch, user=user)
            check_row(failures, label, folder, result, body, switch, expected)
            if expected == "same":
                check_untouched(failures, label, folder.settings)
            free = os.statvfs(mount)
            print(f"{label}: {len(body)} byte file, {free.f_bavail * free.f_frsize} bytes free")
            os.remove(filler)


# Filesystems of their own, mounted in this process's mount namespace: a full 1 MB tmpfs; and
# ext4 with 128-byte inodes, whose times are whole seconds: there the rows with an administrator's
# change during the run, which shows in the owner, mode, attributes or links, not in the ctime.
MOUNTS = {"full disk": ["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs"],
          "whole seconds": ["mount", "-o", "loop", "{image}"]}


def inside_mount(what, program, library):
    mount = tempfile.mkdtemp(prefix="ko197311-mount-")
    image = mount + ".img"
    subprocess.run(["mkfs.ext4", "-q", "-I", "128", image, "32M"], check=True, capture_output=True)
    subprocess.run([word.format(image=image) for word in MOUNTS[what]] + [mount], check=True)
    failures = Failures()
    try:
        if what == "full disk":
            inside_full_disk(program, mount, failures)
        else:
            rows = [row for row in FAULTS if re.match(r"fsync:1:!(ch|setfattr|ln)", row[0])]
            test_injected_faults(program, library, failures, mount, rows)
        print(f"{what}: {failures.checked} checked")
    finally:
        subprocess.run(["umount", mount])
        os.rmdir(mount)
        os.remove(image)
    sys.exit(1 if failures.count else 0)


def capabilities(path):
    names = os.listxattr(path)
    return os.getxattr(path, "security.capability") if "security.capability" in names else None


def with_capabilities_and_link(path):
    subprocess.run(["setcap", "cap_net_raw+ep", path], check=True)
    os.link(path, path + ".link")


def root_set_user_id_with_capabilities(path):
    os.chmod(path, 0o4666)
    with_capabilities_and_link(path)


def owners_set_user_id(path):
    os.chown(path, 1234, 1234)
    os.chmod(path, 0o4644)  # after the chown, which clears it
    os.link(path, path + ".link")


AS_1234 = " ".join(as_user(1234, []))
# Set-ID bits and capabilities on a file no new file may stand in for (a second hard link): at
# the run's flush, another user writes 4 bytes at its start, or its owner takes the set-user-ID
# bit away. No run may leave the bits or capabilities on bytes it did not write alone, nor undo
# another's change to the mode: the file is as before, or the other's change stands. The dress,
# who runs, the command at the flush, and what must stand once it ran.
PRIVILEGE_ROWS = [
    ("root's 4666 file with capabilities, user 1234 writes at the flush",
     root_set_user_id_with_capabilities, None,
     f"{AS_1234} sh -c 'printf EVIL | dd of={{settings}} bs=4 conv=notrunc status=none'",
     lambda after, mode, caps: not after.startswith(b"EVIL") or (mode & 0o6000 == 0 and not caps)),
    ("user 1234's 4644 file, a chmod 0644 at the flush", owners_set_user_id, 1234,
     "chmod 0644 {settings}", lambda after, mode, caps: mode == 0o644),
]


def test_set_id_bits(program, library, failures):
    if os.geteuid() != 0 or not shutil.which("setcap"):
        return skip(failures, "set-ID and capability rows need root and setcap", "set-ID test")
    for label, dress, user, command, stands in PRIVILEGE_ROWS:
        with Folder(program, content=OTHER_LINES) as folder:
            os.chmod(folder.root, 0o755)  # user 1234 reaches the file
            dress(folder.settings)
            before = (os.stat(folder.settings).st_mode, capabilities(folder.settings))
            done = os.path.join(folder.top, "done")
            open(done, "w").close()
            os.chmod(done, 0o666)
            hook = command.replace("{settings}", folder.settings) + f" && echo ran >>{done}"
            result = folder.run("/u", user=user, env=with_fail_io(library, f"fsync:1:!{hook}"))
            check_quiet(failures, label, result)
            after, mode = folder.read(), os.stat(folder.settings).st_mode
            now = (mode, capabilities(folder.settings))
            if os.path.getsize(done) > 0:
                failures.check(stands(after, mode & 0o7777, now[1]),
                               f"{label}: mode {mode:o}, capabilities {now[1]!r}, {after[:12]!r}")
            else:
                failures.check(after == OTHER_LINES and now == before,
                               f"{label}: nothing ran at a flush, yet {now} {after!r}")


# Limits of the process: the file size limit above; a replacement needs descriptors, and an
# in-place rewrite memory; out of either, the file stays as it was, or is replaced whole, never
# rewritten in place (a kill then could leave it mixed) and never stripped of its capabilities.
def test_process_limits(program, _library, failures):
    sized = b"[tovrin]\nmdb=old\n" + b"".join(b"k%05d=%s\n" % (i, b"v" * 60) for i in range(1100))
    for how, dress in FILE_SIZE_LIMIT_CASES:
        with Folder(program, content=sized) as folder:
            if dress:
                dress(folder.settings)
            result = folder.run("/u", preexec_fn=limited(resource.RLIMIT_FSIZE, FILE_SIZE_LIMIT))
            label = f"ulimit -f {FILE_SIZE_LIMIT // 1024}, a {len(sized)} byte file, {how}"
            check_row(failures, label, folder, result, sized, "/u", "same")
    for descriptors in (4, 5):  # room for the file alone; for the folder and the file
        with Folder(program, content=OTHER_LINES) as folder:
            inode = os.stat(folder.settings).st_ino
            label = f"RLIMIT_NOFILE {descriptors}, no descriptor to spare"
            limit = limited(resource.RLIMIT_NOFILE, descriptors)
            check_quiet(failures, label, folder.run("/u", preexec_fn=limit))
            after = folder.read()
            failures.check(after == OTHER_LINES or os.stat(folder.settings).st_ino != inode,
                           f"{label}: rewritten in place: {after!r}")
    if os.geteuid() != 0 or not shutil.which("setcap"):
        return skip(failures, "the capability row needs root and setcap", "memory limit test")
    # 900 KB, whose tail an in-place run builds in memory: under each address space limit in
    # turn, one of which lets the run start, read and reserve, but not build that.
    before = b"[tovrin]\r\nmdb=old\r\n" + b"; filler line\r\n" * 60000
    for kilobytes in range(2500, 7001, 250):
        with Folder(program, content=before) as folder:
            with_capabilities_and_link(folder.settings)
            kept = capabilities(folder.settings)
            folder.run("/u", preexec_fn=limited(resource.RLIMIT_AS, kilobytes * 1024))
            label = f"ulimit -v {kilobytes}, a file with capabilities and a second hard link"
            after = folder.read()
            failures.check(after == before or marker(after) == "ko197311",
                           f"{label}: the file is {len(after)} bytes, {after[:30]!r}")
            failures.check(capabilities(folder.settings) == kept,
                           f"{label}: capabilities {capabilities(folder.settings)!r}")


def test(failures, program, library):
    program, library = os.path.abspath(program), os.path.abspath(library)
    for each in (test_injected_faults, test_opened_during_run, test_set_id_bits,
                 test_process_limits):
        each(program, library, failures)
    for what in MOUNTS:
        run_in_own_mounts(failures, what, __file__, "--inside-mount", what, program, library)


if __name__ == "__main__":
    main(__doc__, test, {"--inside-mount": inside_mount})
