#!/usr/bin/env python3
"""Runs the built program as its callers do and checks settings.ini afterwards.

  end_to_end.py native PROGRAM
  end_to_end.py wine PROGRAM LAUNCHER WINE_ENV
  end_to_end.py headers PROGRAM OBJDUMP i386|x86-64
  end_to_end.py dependencies PROGRAM
"""
import itertools
import os
import re
import resource
import shutil
import subprocess
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
        with Folder(program, app="app") as folder:
            move_deep(folder, total, os.path.basename(program), lambda p: len(os.fsencode(p)))
            failures.check(len(os.fsencode(folder.program)) == total, f"native path not {total} long")
            check_quiet(failures, f"native path {total} long", folder.run("/u"))
            # The working folder's decoy is searched too: it must be there, and untouched.
            found = settings_files(folder)
            failures.check(found == [os.path.join(os.path.dirname(folder.program), "settings.ini")]
                           and folder.decoy_untouched(),
                           f"native path {total} long: settings files {found}, decoy "
                           f"{'untouched' if folder.decoy_untouched() else 'changed'}")

    # What cannot be written ends just as quietly.
    case("read-only", MARKED, SAME, ["/u"], mode=0o444)
    for kind, make in [("a folder", os.mkdir), ("a FIFO", os.mkfifo)]:
        with Folder(program, app="app") as folder:
            make(folder.settings)
            check_quiet(failures, f"native settings.ini {kind}", folder.run("/u"))
    test_own_file(failures, program)
    test_line_break_cost(failures, program)


def interpreter_of(program):
    """The dynamic loader the program names, as readelf reports it."""
    headers = subprocess.run(["readelf", "-l", program], capture_output=True, text=True,
                             check=True).stdout
    return re.search(r"Requesting program interpreter: (\S+)\]", headers).group(1)


def start_through_loader(folder, switch):
    loader = os.path.join(folder.top, "loader", os.path.basename(interpreter_of(folder.program)))
    os.makedirs(os.path.dirname(loader))
    shutil.copy(interpreter_of(folder.program), loader)
    return run(emulator(folder.program) + [loader, folder.program, switch],
                       cwd=folder.cwd)


def start_from_descriptor(folder, switch, fd, qemu):
    result = run(qemu + [f"/proc/self/fd/{fd}", switch], cwd=folder.cwd, pass_fds=[fd])
    os.close(fd)
    return result


def start_from_memfd(folder, switch):
    fd = os.memfd_create("ko197311", 0)
    os.write(fd, open(folder.program, "rb").read())
    return start_from_descriptor(folder, switch, fd, emulator(folder.program))


def start_from_deleted_file(folder, switch, replacement=False):
    """With a replacement, another program at the name the system gives the deleted file."""
    qemu = emulator(folder.program)
    fd = os.open(folder.program, os.O_RDONLY)
    os.remove(folder.program)
    if replacement:
        shutil.copy(shutil.which("true"), folder.program + " (deleted)")
    return start_from_descriptor(folder, switch, fd, qemu)


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
    try:
        status = os.stat("/settings.ini")
    except FileNotFoundError:
        return None
    return status.st_ino, status.st_mtime_ns, status.st_ctime_ns


def test_own_file(failures, program):
    # Two switches, so that a "/settings.ini" that is there already changes too.
    for (label, start), switch in itertools.product(FOREIGN_STARTS, ["/u", "/i"]):
        label = f"{label} {switch}"
        with Folder(program, app="app") as folder:
            root_before = root_settings()
            check_quiet(failures, f"native {label}", start(folder, switch))
            made = settings_files(folder)
            failures.check(made == [], f"native {label}: wrote {made}")
            failures.check(folder.decoy_untouched(), f"native {label}: decoy changed")
            root_after = root_settings()
            failures.check(root_after == root_before, f"native {label}: /settings.ini written")
            if root_before is None and root_after is not None:
                os.remove("/settings.ini")


def large_section(line_break, marked):
    """1.6 MB of short lines, all in the marker's section: each of them is read."""
    lines = [b"[tovrin]"] + [b"key%d=value %d" % (i, i) for i in range(100000)]
    lines += [b"mdb=jas197311"] if marked else []
    return line_break.join(lines + [b"[after]", b"b=2", b""])


# A file's line breaks do not change what a run costs: CR-only against LF, the least processor
# time of five runs each, which waits for no disk (a search for LF to the text's end for every
# line made CR-only 100 times slower).
LINE_BREAK_COSTS = [("/u, changing the file", "/u", True, 3.0),
                    ("/d, changing nothing", "/d", False, 3.0)]


def processor_time_of_children():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def test_line_break_cost(failures, program):
    for label, switch, marked, bound in LINE_BREAK_COSTS:
        quickest = {}
        with Folder(program) as folder:
            for _ in range(5):
                for line_break in (b"\n", b"\r"):
                    folder.write(large_section(line_break, marked))
                    started = processor_time_of_children()
                    check_quiet(failures, f"native {label}", folder.run(switch))
                    took = processor_time_of_children() - started
                    quickest[line_break] = min(took, quickest.get(line_break, took))
            cr_only, lf = quickest[b"\r"], quickest[b"\n"]
            ratio = cr_only / max(lf, 0.001)
            print(f"native {label}: CR-only {cr_only:.3f} s, LF {lf:.3f} s")
            failures.check(ratio < bound, f"native {label}: CR-only {ratio:.1f} times LF")


def move_deep(folder, total, name, measure=lambda path: len(windows_path(path))):
    """The folder's program moved, as `name`, into folders that make its path, as `measure`
    counts it, `total` long."""
    deep = folder.top
    while (room := total - measure(os.path.join(deep, name))) > 0:
        deep = os.path.join(deep, "d" * (60 if room > 62 else room - 1))
    os.makedirs(deep)
    folder.program = shutil.move(folder.program, os.path.join(deep, name))


def settings_files(folder):
    """Every settings.ini in the folder, the working folder's decoy aside."""
    return sorted(os.path.join(top, "settings.ini") for top, _, names in os.walk(folder.top)
                  if "settings.ini" in names and top != folder.cwd)


def test_wine(failures, program, launcher, wine_env):
    status = wine_status(wine_env)
    if status != 0:
        return status
    program, launcher = os.path.abspath(program), windows_path(os.path.abspath(launcher))
    owner = NOBODY if os.geteuid() == 0 else None

    def prepared(name="app", before=None, mode=0o644, prepare=lambda folder: None):
        folder = Folder(program, app=name, owner=owner, content=before, mode=mode)
        prepare(folder)
        folder.give_away()
        return folder

    def run_lines(folder, label, tails, quoted=True, env=None):
        for tail in tails:
            line = wine_command_line(windows_path(folder.program), tail, quoted)
            check_quiet(failures, f"wine {label} {line!r}",
                        run_wine(wine_env, launcher, folder, line, env))

    def case(label, before, expected, tails, quoted=True, name="app", mode=0o644, env=None):
        with prepared(name, before, mode) as folder:
            run_lines(folder, label, tails, quoted, env)
            check_outcome(failures, f"wine {label} on {before!r}", before, folder.read(), expected)
            failures.check(folder.decoy_untouched(), f"wine {label}: decoy in working dir changed")

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

    with prepared(prepare=lambda f: os.mkdir(f.settings)) as folder:
        run_lines(folder, "settings.ini a folder", [" /u"])
        failures.check(os.listdir(folder.settings) == [], "wine settings.ini a folder: written into")

    # A name the code page cannot hold is not written to its best-fit look-alike.
    twin = lambda f: os.path.join(f.top, "Pawel")  # noqa: E731
    with prepared("Pawe\u0142", prepare=lambda f: os.mkdir(twin(f))) as folder:
        run_lines(folder, "folder outside the code page", [" /u", " /d"])
        failures.check(os.listdir(twin(folder)) == [], "wine Pawe\u0142: marker written into twin Pawel")
        failures.check(not os.path.exists(folder.settings), "wine Pawe\u0142: inexact path written")

    # The UTF-8 system code page, 65001: Wine takes it from a Unix locale that has no ANSI code
    # page of its own (Hindi); the registry's ACP it ignores. Every name converts, even one no
    # 8-bit code page holds. Wine's own routine then reads the file as UTF-8, so it is ASCII here.
    locales = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower().split()
    if "hi_in.utf8" in locales:
        utf8 = dict(os.environ, LC_ALL="hi_IN.UTF-8")
        case("code page 65001", MARKED, "ko197311", [" /u"], name="Pawe\u0142 \u10d0 \u4e2d", env=utf8)
    else:
        skip(failures, "code page 65001: no hi_IN.UTF-8 locale (bash tools/setup makes it)",
             "code page 65001")

    # Module paths around the first buffer's size: the whole path, never a shorter one. (Wine
    # cannot start a program from beyond MAX_PATH, so longer paths are not tried here.) A one-letter
    # name puts the last separator past the first buffer's 256 units; its settings path is then
    # beyond MAX_PATH, which the profile routine refuses: no marker, and none in a parent folder.
    for total, name in [(255, "ko197311.exe"), (256, "ko197311.exe"), (259, "ko197311.exe"), (259, "k")]:
        with prepared(prepare=lambda f: move_deep(f, total, name)) as folder:
            failures.check(len(windows_path(folder.program)) == total, f"module path not {total} long")
            run_lines(folder, f"path {total} long", [" /u"])
            found = settings_files(folder)
            beside = os.path.join(os.path.dirname(folder.program), "settings.ini")
            expected = [beside] if len(windows_path(beside)) < 260 else []
            failures.check(found == expected, f"wine path {total} long: settings files {found}")


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
    headers = subprocess.run([objdump, "-p", program], capture_output=True, text=True, check=True).stdout
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
        name = section.Name.rstrip(b"\0").decode()
        both = section.Characteristics & SECTION_EXECUTE and section.Characteristics & SECTION_WRITE
        failures.check(not both, f"section {name} is writable and executable")
    # x64 Windows unwinds through every function that calls another by its .pdata entries.
    if width == "x86-64":
        unwind = pe.OPTIONAL_HEADER.DATA_DIRECTORY[EXCEPTION_DIRECTORY].Size
        failures.check(unwind > 0, "no unwind data (.pdata)")
    # The loader reads the manifest before the program starts: no virtualization, long paths.
    manifest = check_resources.manifest_of(check_resources.resources(pe), failures.check)
    check_resources.check_manifest(manifest, failures.check)
    failures.check(check_resources.failures.count == 0, "a resource in several languages")
    print(f"{os.path.basename(program)}: {size} bytes, {file_format}, imports {imports}, "
          f"flags {present}, manifest of {len(manifest)} bytes")


def test_dependencies(failures, program):
    """The native program loads no shared C++ runtime: starting it costs what an empty one does."""
    dynamic = subprocess.run(["readelf", "-d", program], capture_output=True, text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\).*\[(.+)\]", dynamic)
    failures.check(needed != [], "readelf found no NEEDED entries at all")
    failures.check(not any(n.startswith(("libstdc++", "libgcc_s")) for n in needed),
                   f"{os.path.basename(program)} needs {needed}")
    print(f"{os.path.basename(program)} needs {', '.join(needed)}")


if __name__ == "__main__":
    main(__doc__, {"native": test_native, "wine": test_wine, "dependencies": test_dependencies,
                   "headers": test_headers})
