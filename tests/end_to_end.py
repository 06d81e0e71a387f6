#!/usr/bin/env python3
"""Runs the built program as its callers do and checks settings.ini afterwards.

  end_to_end.py native PROGRAM
  end_to_end.py wine PROGRAM LAUNCHER WINE_ENV
  end_to_end.py headers PROGRAM OBJDUMP i386|x86-64
  end_to_end.py dependencies PROGRAM
"""
import contextlib
import itertools
import os
import re
import resource
import shutil
import sys

from testlib import (ABSENT, MARKED, NOBODY, SAME, Folder, check_outcome, check_quiet, emulator,
                     i386_probe, main, run, run_wine, skip, wine_command_line, wine_status,
                     windows_path)

OTHERS = (b"; other programs' settings\r\n[app]\r\nname=Caf\xe9\r\n\r\n"
          b"[TOVRIN]\r\nother = 1\r\n\r\n[more]\r\nmdb=not ours\r\n")

# Argument texts of one or more runs, settings.ini before (None: no file), marker after.
COMMON_CASES = [
    (["/u"], None, "ko197311"),
    (["/i"], OTHERS, "jas197311"),
    (["/u"], MARKED, "ko197311"),
    (["/d"], MARKED, ABSENT),
    (["/d"], OTHERS, SAME),
    (["/d"], None, SAME),
    (["/i", "/u"], None, "ko197311"),
    (["/u", "/d", "/d"], OTHERS, ABSENT),
    (["  /u  "], OTHERS, "ko197311"),
    ([""], MARKED, SAME),
    (["/"], MARKED, SAME),
    (["/U"], MARKED, SAME),
    (["/I"], MARKED, SAME),
    (["/D"], MARKED, SAME),
    (["/u\t"], MARKED, SAME),
    (["/u /d"], MARKED, SAME),
    (["/u1"], MARKED, SAME),
    (["/uk"], MARKED, SAME),
    (["//u"], MARKED, SAME),
    (['"/u"'], MARKED, SAME),
    (["-u"], MARKED, SAME),
    (["\u00a0/u"], MARKED, SAME),
    (["/u\u3000"], MARKED, SAME),
    (["\uff0fu"], MARKED, SAME),
]


def test_native(failures, program):
    program = os.path.abspath(program)
    if emulator(program):
        print(f"through {emulator(program)[0]}: {i386_probe.REASON}")

    def case(label, before, expected, runs, name="app", mode=None):
        with Folder(program, app=name, content=before, mode=mode) as folder:
            for words in runs:
                check_quiet(failures, f"native {label} {words!r}", folder.run(words))
            check_outcome(failures, f"native {label} on {before!r}", before, folder.read(), expected)
            failures.check(folder.decoy_untouched(), f"native {label}: decoy in working dir changed")

    for runs, before, expected in COMMON_CASES:
        case(repr(runs), before, expected, runs)

    # argv words are joined by single spaces; the joined text must equal a switch.
    for words, expected in [(["/u", "/d"], SAME), (["", "/u"], "ko197311"), (["/i", ""], "jas197311"),
                            (["/", "u"], SAME), ([" /u", " "], "ko197311")]:
        case(f"words {words!r}", MARKED, expected, [words])

    # The directory comes from the executable itself, not from argv[0] or a link to it.
    with Folder(program, app="app") as folder:
        link = os.path.join(folder.cwd, "linked")
        os.symlink(folder.program, link)
        qemu = emulator(folder.program)
        check_quiet(failures, "native through a link", run(qemu + [link, "/u"], folder.cwd))
        result = (run(qemu + ["-0", "/u", folder.program], folder.cwd) if qemu
                  else run(["/u"], folder.cwd, executable=folder.program))
        check_quiet(failures, "native with argv[0] changed", result)
        check_outcome(failures, "native through a link", None, folder.read(), "ko197311")
        failures.check(folder.decoy_untouched(), "native through a link: decoy changed")

    # Folder names are bytes: UTF-8 "Caf\u00e9", a lone Latin-1 0xE9 that is no UTF-8 at all, and
    # a line break, which /proc/self/maps writes as \012.
    for name in ["Caf\u00e9", os.fsdecode(b"Caf\xe9"), "two\nlines"]:
        case(f"in {name!r}", None, "ko197311", ["/u"], name)

    # Paths around the first buffer's size and near PATH_MAX: the whole path, never a shorter one.
    for total in [256, 300, 4000]:
        check_deep(failures, f"native path {total} long", Folder(program, app="app"), total,
                   os.path.basename(program), lambda folder: folder.run("/u"),
                   lambda path: len(os.fsencode(path)), float("inf"))

    # What cannot be written ends just as quietly.
    case("read-only", MARKED, SAME, ["/u"], mode=0o444)
    for kind, make in [("a folder", os.mkdir), ("a FIFO", os.mkfifo)]:
        with Folder(program, app="app") as folder:
            make(folder.settings)
            check_quiet(failures, f"native settings.ini {kind}", folder.run("/u"))
    test_own_file(failures, program)
    test_line_break_cost(failures, program)


def start_through_loader(folder, switch, qemu):
    headers = run(["readelf", "-l", folder.program], check=True).stdout.decode()
    named = re.search(r"Requesting program interpreter: (\S+)\]", headers).group(1)
    loader = shutil.copy(named, folder.top)
    return run(qemu + [loader, folder.program, switch], cwd=folder.cwd)


def start_from_descriptor(folder, switch, qemu, fd):
    with open(fd, "rb"):  # closed afterwards
        return run(qemu + [f"/proc/self/fd/{fd}", switch], cwd=folder.cwd, pass_fds=[fd])


def start_from_memfd(folder, switch, qemu):
    fd = os.memfd_create("ko197311", 0)
    os.write(fd, open(folder.program, "rb").read())
    return start_from_descriptor(folder, switch, qemu, fd)


def start_from_deleted_file(folder, switch, qemu, replacement=False):
    """With a replacement, another program at the name the system gives the deleted file."""
    fd = os.open(folder.program, os.O_RDONLY)
    os.remove(folder.program)
    if replacement:
        shutil.copy(shutil.which("true"), folder.program + " (deleted)")
    return start_from_descriptor(folder, switch, qemu, fd)


# The folder is that of the program's own file. Started through the loader (a copy of the one
# it names, in the test's folder), from a memfd, or from a file deleted before it ran, it has
# none: no settings.ini appears anywhere, beside the loader, the old name or in "/".
FOREIGN_STARTS = [
    ("through the loader", start_through_loader),
    ("from a memfd", start_from_memfd),
    ("from a deleted file", start_from_deleted_file),
    ("from a deleted file, another at its shown name", lambda *row: start_from_deleted_file(*row, True)),
]


def root_settings():
    """What says whether "/settings.ini" was made or written: None, or its inode and times."""
    with contextlib.suppress(FileNotFoundError):
        status = os.stat("/settings.ini")
        return status.st_ino, status.st_mtime_ns, status.st_ctime_ns


def test_own_file(failures, program):
    # Two switches, so that a "/settings.ini" that is there already changes too.
    for (label, start), switch in itertools.product(FOREIGN_STARTS, ["/u", "/i"]):
        label = f"native {label} {switch}"
        with Folder(program, app="app") as folder:
            root_before = root_settings()
            check_quiet(failures, label, start(folder, switch, emulator(program)))
            failures.check(settings_files(folder) == [], f"{label}: wrote {settings_files(folder)}")
            failures.check(folder.decoy_untouched(), f"{label}: decoy changed")
            root_after = root_settings()
            failures.check(root_after == root_before, f"{label}: /settings.ini written")
            if root_before is None and root_after is not None:
                os.remove("/settings.ini")


# A file's line breaks do not change what a run costs: CR-only against LF, the least processor
# time of five runs each, which waits for no disk (a search for LF to the text's end for every
# line made CR-only 100 times slower).
LINE_BREAK_COSTS = [("/u, changing the file", "/u", True, 3.0),
                    ("/d, changing nothing", "/d", False, 3.0)]


def test_line_break_cost(failures, program):
    # 1.6 MB of short lines, all in the marker's section: each of them is read.
    lines = [b"[tovrin]"] + [b"key%d=value %d" % (i, i) for i in range(100000)]
    # The children's processor time: user and system.
    spent = lambda: sum(resource.getrusage(resource.RUSAGE_CHILDREN)[:2])  # noqa: E731
    for label, switch, marked, bound in LINE_BREAK_COSTS:
        took = {b"\n": [], b"\r": []}
        with Folder(program) as folder:
            for line_break in [b"\n", b"\r"] * 5:
                ending = [b"mdb=jas197311"] * marked + [b"[after]", b"b=2", b""]
                folder.write(line_break.join(lines + ending))
                started = spent()
                check_quiet(failures, f"native {label}", folder.run(switch))
                took[line_break].append(spent() - started)
        cr_only, lf = min(took[b"\r"]), min(took[b"\n"])
        print(f"native {label}: CR-only {cr_only:.3f} s, LF {lf:.3f} s")
        ratio = cr_only / max(lf, 0.001)
        failures.check(ratio < bound, f"native {label}: CR-only {ratio:.1f} times LF")


def check_deep(failures, label, folder, total, name, start, measure, longest):
    """The program moved, as `name`, to a path `total` long as `measure` counts it, and started:
    settings.ini is beside it if shorter than `longest`, else nowhere; the decoy is untouched."""
    with folder:
        deep = folder.top
        while (room := total - measure(os.path.join(deep, name))) > 0:
            deep = os.path.join(deep, "d" * (60 if room > 62 else room - 1))
        os.makedirs(deep)
        folder.program = shutil.move(folder.program, os.path.join(deep, name))
        folder.give_away()
        failures.check(measure(folder.program) == total, f"{label}: path not {total} long")
        check_quiet(failures, label, start(folder))
        found, beside = settings_files(folder), os.path.join(deep, "settings.ini")
        expected = [beside] if measure(beside) < longest else []
        failures.check(found == expected and folder.decoy_untouched(),
                       f"{label}: settings files {found}, decoy kept: {folder.decoy_untouched()}")


def settings_files(folder):
    """Every settings.ini in the folder, the working folder's decoy aside."""
    return sorted(os.path.join(top, "settings.ini") for top, _, names in os.walk(folder.top)
                  if "settings.ini" in names and top != folder.cwd)


def test_wine(failures, program, launcher, wine_env):
    if (status := wine_status(wine_env)) != 0:
        return status
    program, launcher = os.path.abspath(program), windows_path(os.path.abspath(launcher))
    owner = NOBODY if os.geteuid() == 0 else None

    def start(folder, tail, quoted=True, env=None):
        line = wine_command_line(windows_path(folder.program), tail, quoted)
        return run_wine(wine_env, launcher, folder, line, env)

    def case(label, before, expected, tails, quoted=True, name="app", mode=0o644, env=None,
             made=None):
        # With `made`, that folder is made first, under the top one, and nothing is written in.
        with Folder(program, app=name, owner=owner, content=before, mode=mode) as folder:
            if made:
                os.mkdir(os.path.join(folder.top, made))
                folder.give_away()
            for tail in tails:
                check_quiet(failures, f"wine {label} {tail!r}", start(folder, tail, quoted, env))
            check_outcome(failures, f"wine {label} on {before!r}", before, folder.read(), expected)
            failures.check(folder.decoy_untouched(), f"wine {label}: decoy in working dir changed")
            if made:
                found = os.listdir(os.path.join(folder.top, made))
                failures.check(found == [], f"wine {label}: written into {made}: {found}")

    for runs, before, expected in COMMON_CASES:
        case(repr(runs), before, expected, [" " + text for text in runs])

    # The program's name is skipped as the C runtime does, with every space and tab after it.
    for tail, quoted, expected in [(" /u", False, "ko197311"), ("\t/u", False, "ko197311"),
                                   ("\t /u", True, "ko197311"), (" \t/u", True, "ko197311"),
                                   ("\t\t /u", False, "ko197311"), ("/u", True, "ko197311"),
                                   (" /u\t", True, SAME), ("  /u /d", True, SAME), ("", True, SAME),
                                   ("", False, SAME)]:
        case(f"name {'quoted' if quoted else 'bare'}", MARKED, expected, [tail], quoted)

    case("folder with a space", OTHERS, "jas197311", [" /i"], name="my app")
    case("folder with a code-page letter", OTHERS, "ko197311", [" /u"], name="Caf\u00e9")
    case("read-only settings.ini", MARKED, SAME, [" /u"], mode=0o444)

    case("settings.ini a folder", None, SAME, [" /u"], made="app/settings.ini")
    # A name the code page cannot hold is not written to its best-fit look-alike, nor at all.
    case("outside the code page", None, SAME, [" /u", " /d"], name="Pawe\u0142", made="Pawel")

    # The UTF-8 system code page, 65001: Wine takes it from a Unix locale that has no ANSI code
    # page of its own (Hindi); the registry's ACP it ignores. Every name converts, even one no
    # 8-bit code page holds. Wine's own routine then reads the file as UTF-8, so it is ASCII here.
    if "hi_in.utf8" in run(["locale", "-a"]).stdout.decode().lower().split():
        case("code page 65001", MARKED, "ko197311", [" /u"], name="Pawe\u0142 \u10d0 \u4e2d",
             env=dict(os.environ, LC_ALL="hi_IN.UTF-8"))
    else:
        skip(failures, "code page 65001: no hi_IN.UTF-8 locale (bash tools/setup makes it)",
             "code page 65001")

    # Module paths around the first buffer's size: the whole path, never a shorter one. (Wine
    # cannot start a program from beyond MAX_PATH, so longer paths are not tried here.) A one-letter
    # name puts the last separator past the first buffer's 256 units; its settings path is then
    # beyond MAX_PATH, which the profile routine refuses: no marker, and none in a parent folder.
    for total, name in [(255, "ko197311.exe"), (256, "ko197311.exe"), (259, "ko197311.exe"), (259, "k")]:
        check_deep(failures, f"wine path {total} long", Folder(program, app="app", owner=owner),
                   total, name, lambda folder: start(folder, " /u"),
                   lambda path: len(windows_path(path)), 260)


# What each width's PE must say: objdump's format, the optional header's magic, the machine, and
# the loader flags it must carry (ASLR, DEP; high-entropy ASLR on x64, no SafeSEH table on x86).
PE_WIDTHS = {
    "i386": ("pei-i386", "010b", 0x14C, ["DYNAMIC_BASE", "NX_COMPAT", "NO_SEH"]),
    "x86-64": ("pei-x86-64", "020b", 0x8664, ["DYNAMIC_BASE", "NX_COMPAT", "HIGH_ENTROPY_VA"]),
}
DLL_FLAGS = {"HIGH_ENTROPY_VA": 0x20, "DYNAMIC_BASE": 0x40, "NX_COMPAT": 0x100, "NO_SEH": 0x400}
RELOCATIONS_STRIPPED = 0x1
SECTION_EXECUTE, SECTION_WRITE = 0x20000000, 0x80000000
BASE_RELOCATION_DIRECTORY, EXCEPTION_DIRECTORY = 5, 3


def test_headers(failures, program, objdump, width):
    if width not in PE_WIDTHS:
        print(__doc__)
        return 2
    import pefile

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows"))
    import check_resources

    file_format, magic, machine, flags = PE_WIDTHS[width]
    headers = run([objdump, "-p", program], check=True).stdout.decode()
    failures.check(f"file format {file_format}\n" in headers, f"not a {file_format} file")
    failures.check(re.search(rf"^Magic\s+{magic}", headers, re.M) is not None, f"magic is not {magic}")
    failures.check(re.search(r"^Subsystem\s+00000002", headers, re.M) is not None, "not the GUI subsystem")
    imports = re.findall(r"DLL Name: (\S+)", headers)
    failures.check(imports == ["KERNEL32.dll"], f"imports {imports}, expected KERNEL32.dll alone")
    size = os.path.getsize(program)
    failures.check(size <= 16384, f"{size} bytes, over the 16 KB budget")

    pe = pefile.PE(program)
    failures.check(pe.FILE_HEADER.Machine == machine, f"machine {pe.FILE_HEADER.Machine:#x}")
    present = [name for name, bit in DLL_FLAGS.items() if pe.OPTIONAL_HEADER.DllCharacteristics & bit]
    failures.check(sorted(present) == sorted(flags), f"loader flags {present}, expected {flags}")
    # ASLR moves the image only when it can be relocated.
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[BASE_RELOCATION_DIRECTORY].Size
    failures.check(not pe.FILE_HEADER.Characteristics & RELOCATIONS_STRIPPED and relocations > 0,
                   "no base relocations")
    # Without its entry symbol, ld starts the program where .text begins, at whatever lies there.
    text = next((section for section in pe.sections if section.Name.startswith(b".text\0")), None)
    failures.check(text is not None and pe.OPTIONAL_HEADER.AddressOfEntryPoint != text.VirtualAddress,
                   "the entry point is the start of .text, not ProgramEntry")
    for section in pe.sections:
        both = section.Characteristics & SECTION_EXECUTE and section.Characteristics & SECTION_WRITE
        failures.check(not both, f"section {section.Name.rstrip(bytes(1))}: writable, executable")
    # x64 Windows unwinds through every function that calls another by its .pdata entries.
    if width == "x86-64":
        failures.check(pe.OPTIONAL_HEADER.DATA_DIRECTORY[EXCEPTION_DIRECTORY].Size > 0, "no .pdata")
    # The loader reads the manifest before the program starts: no virtualization, long paths.
    manifest = check_resources.manifest_of(check_resources.resources(pe), failures.check)
    check_resources.check_manifest(manifest, failures.check)
    failures.check(check_resources.failures.count == 0, "a resource in several languages")
    print(f"{os.path.basename(program)}: {size} bytes, {file_format}, imports {imports}, "
          f"flags {present}, manifest of {len(manifest)} bytes")


def test_dependencies(failures, program):
    """The native program loads no shared C++ runtime: starting it costs what an empty one does."""
    dynamic = run(["readelf", "-d", program], check=True).stdout.decode()
    needed = re.findall(r"\(NEEDED\).*\[(.+)\]", dynamic)
    failures.check(needed != [], "readelf found no NEEDED entries at all")
    failures.check(not any(n.startswith(("libstdc++", "libgcc_s")) for n in needed),
                   f"{os.path.basename(program)} needs {needed}")
    print(f"{os.path.basename(program)} needs {', '.join(needed)}")


if __name__ == "__main__":
    main(__doc__, {"native": test_native, "wine": test_wine, "dependencies": test_dependencies,
                   "headers": test_headers})
