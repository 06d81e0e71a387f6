#!/usr/bin/env python3
"""Runs beside other writers: copies at once, lock holders, a busy writer, leases and openers.

  concurrency.py PROGRAM FAIL_IO_LIBRARY
"""
# Rows here: many copies at once, a busy second writer that locks like crudini, writers holding
# a lock (LOCK_HOLDERS), a lease holder and another opener. Each helper process is this script
# again (--count, --hold, --hold-open, --hold-lease).
import concurrent.futures
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import time

from testlib import (NEW_FILE, NOBODY, OTHER_LINES, REPLACED, RIVAL, STARTS, SWITCH_VALUES, Folder,
                     check_marked, check_quiet, check_row, main, marker, other_bytes, timed,
                     under_strace, wait_until, with_fail_io, write_bytes)


def helper(*arguments, **options):
    """This script again as a helper process, its input and output piped unless told."""
    return subprocess.Popen([sys.executable, __file__, *map(str, arguments)],
                            **dict(dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE), **options))


def lock_and_count(path, rounds, hold):
    """Another writer that takes fcntl locks, as crudini does: increments [other] n each round,
    holds its lock `hold` seconds before it renames, and locks the new file at once."""
    for _ in range(int(rounds)):
        while True:
            fd = os.open(path, os.O_RDWR)
            fcntl.lockf(fd, fcntl.LOCK_EX)
            if os.fstat(fd).st_ino == os.stat(path).st_ino:
                break
            os.close(fd)
        content = os.pread(fd, 1 << 20, 0)
        content = re.sub(rb"\nn=(\d+)", lambda found: b"\nn=%d" % (int(found[1]) + 1), content)
        temporary = path + ".counter"
        write_bytes(temporary, content)
        old = os.fstat(fd)  # a careful writer: the new file keeps the old one's owner and mode
        os.chown(temporary, old.st_uid, old.st_gid)
        os.chmod(temporary, old.st_mode & 0o7777)
        print("renaming", flush=True)
        time.sleep(float(hold))
        os.rename(temporary, path)
        os.close(fd)


def hold(path, seconds, kind):
    """Another process that holds the file for `seconds` once told to go on: an fcntl lock
    (LOCK_EX, LOCK_SH, as Python's lockf takes them; a writer then adds a section in place);
    "replace" locks each new file before it renames it over the old one; "open" writes through
    its handle then; "lease" holds a read lease, given up a few milliseconds after it is broken."""
    fd = os.open(path, os.O_RDONLY if kind == "lease" else os.O_RDWR)  # a lease needs read-only

    def let_go(*_):
        time.sleep(0.02)
        fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_UNLCK)

    if kind == "lease":
        signal.signal(signal.SIGIO, let_go)
        fcntl.fcntl(fd, fcntl.F_SETLEASE, fcntl.F_RDLCK)
    elif kind != "open":
        fcntl.lockf(fd, fcntl.LOCK_SH if kind == "LOCK_SH" else fcntl.LOCK_EX)
    print("holding", flush=True)
    sys.stdin.readline()  # the time counts from our run's start
    end = time.monotonic() + float(seconds)
    while kind == "replace" and time.monotonic() < end:
        temporary = path + ".replacer"
        write_bytes(temporary, os.pread(fd, 1 << 20, 0))
        new = os.open(temporary, os.O_RDWR)
        fcntl.lockf(new, fcntl.LOCK_EX)
        os.rename(temporary, path)
        os.close(fd)
        fd = new
        time.sleep(0.05)
    time.sleep(max(0, end - time.monotonic()))
    if kind in ("LOCK_EX", "open"):
        os.pwrite(fd, RIVAL if kind == "LOCK_EX" else b"[late]\nx=1\n", os.fstat(fd).st_size)


# Another writer that holds the file's lock: what it does, for how long, the time our run may
# take (bounds both ways), the marker after, whether the holder's own section is in the file, and
# the faults our run gets from fail_io. Our run waits for a lock about 5 s at most; a writer's
# lock still held then ends it with nothing written, a reader's lets it only replace the file. It
# starts over beside a replacer for about 5 s from its first try, then drops the update. The rows
# run at once; a holder still at it when our run has ended is stopped then.
LOCK_HOLDERS = [
    ("LOCK_EX", 1, (0.9, 3), "ko197311", RIVAL, ""),  # waited for, and read after the holder's edit
    ("LOCK_SH", 1, (0.9, 3), "ko197311", b"", ""),    # a reader's lock holds back a writer too
    ("LOCK_EX", 40, (4.5, 8), "old", b"", ""),  # past about 5 s: a change under way, left alone
    ("replace", 15, (4.5, 8), "old", b"", ""),  # dropped after about 5 s of starting over
    # The reader has the file open, which the lease shows: the run would go in place, under the
    # reader's lock, so it writes nothing.
    ("LOCK_SH", 40, (4.5, 8), "old", b"", ""),
    # Where no lease is granted (NFS), the run cannot see that open and replaces the file, which
    # a reader's lock allows; a writer's still stops it.
    ("LOCK_SH", 40, (4.5, 8), "ko197311", b"", "setlease:1:22"),
    ("LOCK_EX", 40, (4.5, 8), "old", b"", "setlease:1:22"),
]


# Another process beside a run of /u: the file before, the helper (this script again, which says
# when it is ready, and is told to go on once the run has ended), the run's user, and what must
# hold after besides the marker.
BESIDE_HELPERS = [
    # In place, while that writer replaces the file during the run's wait for the lock: the run
    # must edit the file the name now shows.
    ("in place beside a replacing writer", b"[other]\nn=0\n[tovrin]\nmdb=old\n",
     ["--count", 1, 0.5], NOBODY, lambda after, took: b"\nn=1\n" in after),
    # Another process (a Samba client) holds the file open through a run, then writes through its
    # handle: the write lands in the file the name shows, beside the run's change.
    ("beside an open handle", OTHER_LINES, ["--hold-open"], None,
     lambda after, took: after.endswith(b"[late]\nx=1\n")),
    # A lease holder that lets go when the run's open breaks its lease: the run waits for it.
    ("beside a lease holder", OTHER_LINES, ["--hold-lease"], None, lambda after, took: took < 2),
]


def check_lock_holders(program, library, failures):
    folders = [Folder(program, content=OTHER_LINES) for _ in LOCK_HOLDERS]
    holders = [helper("--hold", folder.settings, seconds, kind, bufsize=0)
               for folder, (kind, seconds, *_) in zip(folders, LOCK_HOLDERS)]

    def run_beside(folder, holder, faults):  # once the holder has its lock; stopped as it ends
        holder.stdout.readline()
        holder.stdin.write(b"go\n")
        env = with_fail_io(library, faults) if faults else None
        ran = timed(folder.run, "/u", env=env, timeout=42)
        holder.kill()
        holder.wait()
        return ran

    with concurrent.futures.ThreadPoolExecutor(len(LOCK_HOLDERS)) as pool:
        runs = list(pool.map(run_beside, folders, holders, [row[-1] for row in LOCK_HOLDERS]))
    for (kind, seconds, (least, most), expected, added, faults), folder, (result, took) in zip(
            LOCK_HOLDERS, folders, runs):
        label = f"beside a {kind} holder of {seconds} s" + (f", {faults}" if faults else "")
        failures.check(least <= took <= most, f"{label}: the run took {took:.2f} s, not {least} "
                                              f"to {most}")
        failures.check(result.returncode == 0, f"{label}: exit {result.returncode}")
        check_marked(failures, label, folder.read(), expected, OTHER_LINES + added)
        folder.remove()
    print(f"lock holders: runs took {', '.join(f'{took:.1f}' for _, took in runs)} s")


def check_held_still_in_place(program, _library, failures):
    """A copy rewriting a hard-linked file in place is held still (as if frozen) 10 s between two
    of its writes; a second copy meanwhile sees a writer's lock past its lock wait and writes
    nothing, so the first copy's change, once it goes on, is whole."""
    before = STARTS["long"]  # a tail of several writes
    with Folder(program, content=before) as folder:
        os.link(folder.settings, folder.settings + ".link")
        first = folder.start("/u", lambda command: under_strace(command, "pwrite64",
                                                                 "delay_exit=10000000", 1))
        wait_until(lambda: folder.read() != before, 10)
        half_written = folder.read()
        label = "a second copy beside one held still half-way in place"
        failures.check(half_written != before, f"{label}: the first copy made no first write")
        second, took = timed(folder.run, "/i")
        failures.check(second.returncode == 0, f"{label}: exit {second.returncode}")
        failures.check(4.5 <= took <= 8, f"{label}: took {took:.2f} s, not 4.5 to 8")
        failures.check(folder.read() == half_written, f"{label}: the second copy wrote")
        failures.check(first.wait(timeout=60) == 0, f"{label}: the first copy failed")
        failures.check(folder.read() == before.replace(b"mdb=old\n", b"mdb=ko197311\n"),
                       f"{label}: not the first copy's change, whole")
        print(f"{label}: the second copy took {took:.1f} s")


def test_concurrency(failures, program, library):
    program, library = os.path.abspath(program), os.path.abspath(library)
    with Folder(program, content=OTHER_LINES) as folder:
        for round_switches, allowed in [(["/u", "/i"] * 25, {"ko197311", "jas197311"}),
                                        (["/u", "/i", "/d"] * 17, {"ko197311", "jas197311", None}),
                                        (["/d"], {None})]:
            codes = [process.wait() for process in [folder.start(s) for s in round_switches]]
            after = folder.read() or b""
            label = f"{len(round_switches)} copies at once"
            failures.check(codes == [0] * len(codes), f"{label}: exit statuses {set(codes)}")
            failures.check(marker(after) in allowed, f"{label}: marker {marker(after)!r}")
            failures.check(other_bytes(after) == other_bytes(OTHER_LINES),
                           f"{label}: other bytes changed: {after!r}")
            failures.check(len(re.findall(rb"(?im)^mdb=", after)) <= 1, f"{label}: several markers")
            failures.check(folder.leftovers() == [], f"{label}: left {folder.leftovers()}")

        # Beside a busy locking writer that changes another key: no update of either side is lost,
        # however many times ours must start over while the writer keeps replacing the file.
        folder.write(b"[other]\nn=0\n[tovrin]\nmdb=ko197311\n")
        rounds = 200
        counter = helper("--count", folder.settings, rounds, 0.005, stdout=subprocess.DEVNULL)
        wait_until(lambda: b"\nn=0\n" not in folder.read(), 10, 0.001)
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

        for label, before, (name, *arguments), user, holds in BESIDE_HELPERS:
            folder.write(before)
            if user is not None:  # another user's file in a folder that user may not write
                os.chown(folder.settings, user, user)
                os.chmod(folder.root, 0o755)
            process = helper(name, folder.settings, *arguments)
            process.stdout.readline()
            result, took = timed(folder.run, "/u", user=user)
            process.communicate(b"go\n", timeout=60)
            after = folder.read()
            failures.check(process.returncode == 0, f"{label}: the helper failed")
            check_quiet(failures, label, result)
            failures.check(marker(after) == "ko197311" and holds(after, took),
                           f"{label}: took {took:.2f} s: {after!r}")
            print(f"{label}: {took:.3f} s")
    for each in (check_lock_holders, check_held_still_in_place, test_second_copies,
                 test_claim_races):
        each(program, library, failures)


# A second copy started at the first one's flush: it waits for the file's lock (or the copies'
# own queue) and, once the first is done, finds its marker there and writes nothing. It waits in
# line, not as an opener: the first still replaces the file whole, as it does alone.
SECOND = ("{program} /u", 'ls -l /proc/$!/fd 2>/dev/null | grep -q settings.ini'
          ' || grep -q "BREAK.*:{inode} " /proc/locks')
# Through a dangling link: the copy that makes the file is held 7 s at its first reservation
# while a second copy, which found the link dangling, opens through it too. The second's wait
# ends first: it must not take away the file the first holds and then fills.
MAKER = ("LD_PRELOAD={library} FAIL_IO='fallocate:1:!sleep 7' {program} /u",
         '[ -e {named} ] && grep -q "POSIX.*:$(stat -c %i {named}) " /proc/locks')
# Starts another copy once (its ID noted), and waits while it is not ready, so many tries.
START_OTHER = """[ -e {once} ] && exit 0
touch {once}
{command} & echo $! >{pid}
for i in $(seq {tries}); do {ready} && exit 0; sleep 0.01; done
"""


def run_starting_another(folder, library, switch, name, other, tries, hook, seconds, **names):
    """The program run with fail_io's `hook` starting START_OTHER, with the `other` copy's
    command and readiness (the program copied to `name`); and whether that ended in `seconds`."""
    path = os.path.join(folder.top, "start.sh")
    names.update(program=shutil.copy(folder.program, os.path.join(folder.top, name)),
                 library=library, tries=tries, pid=path + ".pid", once=path + ".once")
    script = START_OTHER.replace("{command}", other[0]).replace("{ready}", other[1])
    write_bytes(path, script.format(**names).encode())
    result = folder.run(switch, env=with_fail_io(library, hook.format(script=path)))
    pid = int(open(path + ".pid").read())
    return result, wait_until(lambda: not os.path.exists(f"/proc/{pid}")
                              or open(f"/proc/{pid}/stat").read().split()[2] == "Z", seconds)


def test_second_copies(program, library, failures):
    with Folder(program, content=OTHER_LINES) as folder:
        inode = os.stat(folder.settings).st_ino
        result, ended = run_starting_another(folder, library, "/u", "second", SECOND, 200,
                                             "fsync:1:!sh {script}", 15, inode=inode)
        label = "a second copy started at the first one's flush"
        failures.check(ended, f"{label}: still running")
        check_row(failures, label, folder, result, OTHER_LINES, "/u", REPLACED, inode)


# Copies in folders of their own, which no queue orders, make one missing file at once: the run
# through a dangling link, and another copy it starts once it found the link dangling (fail_io's
# open:2, just before its claim), until that copy is where the row says. Whichever holds the
# claim is held at its fill past the other's wait: the other must not take that file away. The
# other copy's command, where it is when the run goes on, what the links name, the run's faults.
CLAIM_RACES = [
    ("the other claims through a link of its own first, held 7 s at its fill", *MAKER,
     "named.ini", ""),
    # No links, no exclusive renames there: the other makes the file exclusively, and is held 1 s
    # before it locks it, while the run claims it (through its link) and is held 8 s at its fill.
    ("the other makes it exclusively, the run claims it first, held 8 s at its fill",
     "strace -qq -o /dev/null -P settings.ini -e trace=openat"
     " -e inject=openat:delay_exit=1000000:when=1"
     " -E LD_PRELOAD={library} -E FAIL_IO=open:1:95,link:1:1,renameat2:1:22 {program} /u",
     "[ -e {named} ]", "other/settings.ini", ",fallocate:1:!sleep 8"),
]


def test_claim_races(program, library, failures):
    """Each race, and the maker's beside a copy through its link: one file made, links kept."""
    races = [("two copies through a dangling link, the maker held past the other's wait", *MAKER,
              "named.ini", ",open:3:!sh {script}", "maker")]
    races += [(f"two copies in folders of their own: {label}", *row, "other/ko197311")
              for label, *row in CLAIM_RACES]
    for label, command, ready, named, faults, name in races:
        with Folder(program) as folder:
            os.mkdir(os.path.join(folder.top, "other"))
            named = os.path.join(folder.top, named)
            links = {folder.settings, os.path.join(folder.top, "other", "settings.ini")} - {named}
            for link in links:
                os.symlink(os.path.relpath(named, os.path.dirname(link)), link)
            result, ended = run_starting_another(folder, library, "/i", name, (command, ready),
                                                 300, "open:2:!sh {script}" + faults, 20,
                                                 named=named)
            failures.check(ended, f"{label}: the other copy still runs")
            check_quiet(failures, label, result)
            after = open(named, "rb").read() if os.path.exists(named) else None
            made = (NEW_FILE, NEW_FILE.replace(b"ko197311", b"jas197311"))
            failures.check(after in made, f"{label}: {os.path.basename(named)} is {after!r}")
            failures.check(os.path.islink(folder.settings), f"{label}: the link is gone")


if __name__ == "__main__":
    main(__doc__, test_concurrency, {"--hold-lease": lambda path: hold(path, 0, "lease"),
                                     "--hold-open": lambda path: hold(path, 0, "open"),
                                     "--hold": hold, "--count": lock_and_count})
