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
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import i386_probe  # noqa: E402
import testlib  # noqa: E402

SAME = "file as before"  # marker expectations beside the values themselves
ABSENT = "no marker"
UNPRIVILEGED = 65534  # who runs Wine when the tests run as root
DECOY = b"[tovrin]\nmdb=decoy\n"

OTHERS = (b"; other programs' settings\r\n[app]\r\nname=Caf\xe9\r\n\r\n"
          b"[TOVRIN]\r\nother = 1\r\n\r\n[more]\r\nmdb=not ours\r\n")
MARKED = b"[tovrin]\nmdb=jas197311\nother=1\n"

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


def read_marker(content):
    """The marker as the Windows reader finds it: first section of the name, first key in it."""
    sections = parse(content)
    return sections.get("tovrin", {}).get("mdb", ABSENT)


def parse(content):
    """Sections and keys as a reader sees them, names folded, first occurrence kept."""
    if content.startswith(b"\xef\xbb\xbf"):
        content = content[3:]
    sections, current = {}, None
    for line in re.split(rb"\r\n|\r|\n", content):
        text = line.decode("latin-1").strip(" \t")
        if text.startswith(";") or not text:
            continue
        if text.startswith("["):
            name = text[1:].split("]", 1)[0].strip(" \t").lower()
            current = None if name in sections else sections.setdefault(name, {})
        elif current is not None and "=" in text:
            key, value = text.split("=", 1)
            current.setdefault(key.strip(" \t").lower(), value.strip(" \t"))
    return sections


def without_marker(content):
    sections = parse(content or b"")
    sections.get("tovrin", {}).pop("mdb", None)
    return {name: keys for name, keys in sections.items() if keys or name != "tovrin"}


class Failures:
    def __init__(self):
        self.count = 0
        self.checked = 0

    def check(self, ok, what):
        self.checked += 1
        if not ok:
            self.count += 1
            print("FAILED:", what)


def check_result(failures, label, before, expected, path):
    after = open(path, "rb").read() if os.path.isfile(path) else None
    if expected == SAME:
        failures.check(after == before, f"{label}: file changed: {before!r} -> {after!r}")
        return
    failures.check(after is not None or expected == ABSENT, f"{label}: no settings.ini")
    marker = read_marker(after or b"")
    failures.check(marker == expected, f"{label}: marker {marker!r}, expected {expected!r}")
    failures.check(without_marker(after) == without_marker(before),
                   f"{label}: other settings changed: {before!r} -> {after!r}")


def check_quiet(failures, label, result):
    failures.check(result.returncode == 0, f"{label}: exit status {result.returncode}")
    failures.check(result.stdout == b"" and result.stderr == b"",
                   f"{label}: printed {result.stdout!r} {result.stderr!r}")


class Folders:
    """A fresh folder for the program and another, with a decoy settings.ini, to start it from."""

    def __init__(self, program, owner=None, name="app"):
        self.root = tempfile.mkdtemp(prefix="ko197311-e2e-")
        self.app = os.path.join(self.root, name)
        self.cwd = os.path.join(self.root, "elsewhere")
        os.makedirs(self.app)
        os.makedirs(self.cwd)
        self.program = os.path.join(self.app, os.path.basename(program))
        shutil.copy(program, self.program)
        with open(os.path.join(self.cwd, "settings.ini"), "wb") as decoy:
            decoy.write(DECOY)
        self.owner = owner
        self.give_away()

    def settings(self):
        return os.path.join(self.app, "settings.ini")

    def write_settings(self, content, mode=0o644):
        if content is not None:
            with open(self.settings(), "wb") as f:
                f.write(content)
            os.chmod(self.settings(), mode)
        self.give_away()

    def give_away(self):
        if self.owner is None:
            return
        for top, dirs, files in os.walk(self.root):
            for name in [top] + [os.path.join(top, n) for n in dirs + files]:
                os.lchown(name, self.owner, self.owner)

    def decoy_untouched(self):
        return open(os.path.join(self.cwd, "settings.ini"), "rb").read() == DECOY

    def remove(self):
        shutil.rmtree(self.root)


def run_quietly(argv, cwd, **options):
    """Output goes to files, not pipes: Wine leaves services behind that would hold a pipe open."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run(argv, cwd=cwd, stdout=out, stderr=err, timeout=60, **options)
        out.seek(0)
        err.seek(0)
        result.stdout, result.stderr = out.read(), err.read()
    return result


def emulator(program):
    """What to start an i386 program with where this host cannot execute it: qemu-i386-static."""
    with open(program, "rb") as f:
        header = f.read(20)
    is_i386 = header[:5] == b"\x7fELF\x01" and header[18:20] == b"\x03\x00"
    if not is_i386 or i386_probe.can_execute_i386():
        return []
    qemu = shutil.which("qemu-i386-static")
    if qemu is None:
        sys.exit(f"{i386_probe.REASON}, and qemu-i386-static is not installed "
                 "(bash tools/setup installs it)")
    return [qemu]


def run_native(folders, texts):
    argv = [folders.program] + ([texts] if isinstance(texts, str) and texts else texts or [])
    return run_quietly(emulator(folders.program) + argv, folders.cwd)


def test_native(program):
    failures = Failures()
    if emulator(program):
        print(f"through {emulator(program)[0]}: {i386_probe.REASON}")
    for runs, before, expected in COMMON_CASES:
        folders = Folders(program)
        folders.write_settings(before)
        for text in runs:
            check_quiet(failures, f"native {text!r}", run_native(folders, text))
        check_result(failures, f"native {runs!r} on {before!r}", before, expected,
                     folders.settings())
        failures.check(folders.decoy_untouched(), f"native {runs!r}: decoy in working dir changed")
        folders.remove()

    # argv words are joined by single spaces; the joined text must equal a switch.
    for words, expected in [(["/u", "/d"], SAME), (["", "/u"], "ko197311"), (["/i", ""], "jas197311"),
                            (["/", "u"], SAME), ([" /u", " "], "ko197311")]:
        folders = Folders(program)
        folders.write_settings(MARKED)
        check_quiet(failures, f"native words {words!r}", run_native(folders, words))
        check_result(failures, f"native words {words!r}", MARKED, expected, folders.settings())
        folders.remove()

    # The directory comes from the executable itself, not from argv[0] or a link to it.
    folders = Folders(program)
    link = os.path.join(folders.cwd, "linked")
    os.symlink(folders.program, link)
    qemu = emulator(folders.program)
    result = run_quietly(qemu + [link, "/u"], folders.cwd)
    check_quiet(failures, "native through a link", result)
    if qemu:
        result = run_quietly(qemu + ["-0", "/u", folders.program], folders.cwd)
    else:
        result = run_quietly(["/u"], folders.cwd, executable=folders.program)
    check_quiet(failures, "native with argv[0] changed", result)
    check_result(failures, "native through a link", None, "ko197311", folders.settings())
    failures.check(folders.decoy_untouched(), "native through a link: decoy changed")
    folders.remove()

    # Folder names are bytes: UTF-8 "Caf\u00e9", a lone Latin-1 0xE9 that is no UTF-8 at all, and
    # a line break, which /proc/self/maps writes as \012.
    for name in ["Caf\u00e9", os.fsdecode(b"Caf\xe9"), "two\nlines"]:
        folders = Folders(program, name=name)
        check_quiet(failures, f"native in {name!r}", run_native(folders, "/u"))
        check_result(failures, f"native in {name!r}", None, "ko197311", folders.settings())
        folders.remove()

    # Paths around the first buffer's size and near PATH_MAX: the whole path, never a shorter one.
    for total in [256, 300, 4000]:
        folders = Folders(program)
        deep = folder_for_path_length(folders.root, total, os.path.basename(program),
                                      lambda p: len(os.fsencode(p)))
        os.makedirs(deep)
        folders.program = shutil.move(folders.program, deep)
        failures.check(len(os.fsencode(folders.program)) == total, f"native path not {total} long")
        check_quiet(failures, f"native path {total} long", run_native(folders, "/u"))
        # The working folder's decoy is searched too: it must be there, and untouched.
        found = sorted(os.path.join(top, "settings.ini") for top, _, names in os.walk(folders.root)
                       if "settings.ini" in names)
        beside = os.path.join(deep, "settings.ini")
        expected = sorted([beside, os.path.join(folders.cwd, "settings.ini")])
        failures.check(found == expected and folders.decoy_untouched(),
                       f"native path {total} long: settings files {found}, decoy "
                       f"{'untouched' if folders.decoy_untouched() else 'changed'}")
        folders.remove()

    # What cannot be written ends just as quietly.
    folders = Folders(program)
    folders.write_settings(MARKED, 0o444)
    check_quiet(failures, "native read-only", run_native(folders, "/u"))
    check_result(failures, "native read-only", MARKED, SAME, folders.settings())
    os.remove(folders.settings())
    os.mkdir(folders.settings())
    check_quiet(failures, "native settings.ini a folder", run_native(folders, "/u"))
    os.rmdir(folders.settings())
    os.mkfifo(folders.settings())
    check_quiet(failures, "native settings.ini a FIFO", run_native(folders, "/u"))
    folders.remove()
    test_own_file(failures, program)
    test_line_break_cost(failures, program)
    return failures


def interpreter_of(program):
    """The dynamic loader the program names, as readelf reports it."""
    headers = subprocess.run(["readelf", "-l", program], capture_output=True, text=True,
                             check=True).stdout
    return re.search(r"Requesting program interpreter: (\S+)\]", headers).group(1)


def start_through_loader(folder, switch):
    loader = os.path.join(folder.top, "loader", os.path.basename(interpreter_of(folder.program)))
    os.makedirs(os.path.dirname(loader))
    shutil.copy(interpreter_of(folder.program), loader)
    return testlib.run(testlib.emulator(folder.program) + [loader, folder.program, switch],
                       cwd=folder.cwd)


def start_from_descriptor(folder, switch, fd, qemu):
    command = qemu + [f"/proc/self/fd/{fd}", switch]
    try:
        return testlib.run(command, cwd=folder.cwd, pass_fds=[fd])
    finally:
        os.close(fd)


def start_from_memfd(folder, switch):
    fd = os.memfd_create("ko197311", 0)
    with open(folder.program, "rb") as program:
        os.write(fd, program.read())
    return start_from_descriptor(folder, switch, fd, testlib.emulator(folder.program))


def start_from_deleted_file(folder, switch, replacement=False):
    """With a replacement, another program at the name the system gives the deleted file."""
    qemu = testlib.emulator(folder.program)
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
        with testlib.Folder(program, app="app") as folder:
            root_before = root_settings()
            testlib.check_quiet(failures, f"native {label}", start(folder, switch))
            made = sorted(os.path.join(top, "settings.ini") for top, _, names in os.walk(folder.top)
                          if "settings.ini" in names and top != folder.cwd)
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
        with testlib.Folder(program) as folder:
            for _ in range(5):
                for line_break in (b"\n", b"\r"):
                    folder.write(large_section(line_break, marked))
                    started = processor_time_of_children()
                    testlib.check_quiet(failures, f"native {label}", folder.run(switch))
                    took = processor_time_of_children() - started
                    quickest[line_break] = min(took, quickest.get(line_break, took))
            cr_only, lf = quickest[b"\r"], quickest[b"\n"]
            ratio = cr_only / max(lf, 0.001)
            print(f"native {label}: CR-only {cr_only:.3f} s, LF {lf:.3f} s")
            failures.check(ratio < bound, f"native {label}: CR-only {ratio:.1f} times LF")


def wine_command_line(program_path, tail, quoted=True):
    return (f'"{program_path}"' if quoted else program_path) + tail


def run_wine(wine_env, launcher, folders, command_line, env=None):
    to_hex = lambda text: text.encode("utf-16-be").hex()  # noqa: E731
    application = windows_path(folders.program)
    return run_quietly([wine_env, "wine", launcher, to_hex(application), to_hex(command_line)],
                       folders.cwd, env=env)


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def folder_for_path_length(base, total, name="ko197311.exe", measure=lambda p: len(windows_path(p))):
    """A folder inside `base` that makes the program's path, as `measure` counts it, `total` long."""
    deep = base
    while True:
        room = total - measure(os.path.join(deep, name))
        if room <= 0:
            return deep
        deep = os.path.join(deep, "d" * (60 if room > 62 else room - 1))


def test_wine(program, launcher, wine_env):
    owner = UNPRIVILEGED if os.geteuid() == 0 else None
    failures = Failures()

    def prepared(name="app", before=None, mode=0o644, prepare=None):
        folders = Folders(program, owner, name)
        folders.write_settings(before, mode)
        if prepare:
            prepare(folders)
        folders.give_away()
        return folders

    def run(folders, label, tails, quoted=True, env=None):
        for tail in tails:
            line = wine_command_line(windows_path(folders.program), tail, quoted)
            check_quiet(failures, f"wine {label} {line!r}",
                        run_wine(wine_env, launcher, folders, line, env))

    def case(label, before, expected, tails, quoted=True, name="app", mode=0o644, env=None):
        folders = prepared(name, before, mode)
        run(folders, label, tails, quoted, env)
        check_result(failures, f"wine {label} on {before!r}", before, expected, folders.settings())
        failures.check(folders.decoy_untouched(), f"wine {label}: decoy in working dir changed")
        folders.remove()

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

    folders = prepared(prepare=lambda f: os.mkdir(f.settings()))
    run(folders, "settings.ini a folder", [" /u"])
    failures.check(os.listdir(folders.settings()) == [], "wine settings.ini a folder: written into")
    folders.remove()

    # A name the code page cannot hold is not written to its best-fit look-alike.
    twin = lambda f: os.path.join(f.root, "Pawel")  # noqa: E731
    folders = prepared("Pawe\u0142", prepare=lambda f: os.mkdir(twin(f)))
    run(folders, "folder outside the code page", [" /u", " /d"])
    failures.check(os.listdir(twin(folders)) == [], "wine Pawe\u0142: marker written into twin Pawel")
    failures.check(not os.path.exists(folders.settings()), "wine Pawe\u0142: inexact path written")
    folders.remove()

    # The UTF-8 system code page, 65001: Wine takes it from a Unix locale that has no ANSI code
    # page of its own (Hindi); the registry's ACP it ignores. Every name converts, even one no
    # 8-bit code page holds. Wine's own routine then reads the file as UTF-8, so it is ASCII here.
    locales = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower().split()
    if "hi_in.utf8" in locales:
        utf8 = dict(os.environ, LC_ALL="hi_IN.UTF-8")
        case("code page 65001", MARKED, "ko197311", [" /u"], name="Pawe\u0142 \u10d0 \u4e2d", env=utf8)
    else:
        print("SKIPPED: code page 65001: no hi_IN.UTF-8 locale (bash tools/setup makes it)")
        failures.check(os.environ.get("CI") != "true", "code page 65001 skipped under CI")

    # Module paths around the first buffer's size: the whole path, never a shorter one. (Wine
    # cannot start a program from beyond MAX_PATH, so longer paths are not tried here.) A one-letter
    # name puts the last separator past the first buffer's 256 units; its settings path is then
    # beyond MAX_PATH, which the profile routine refuses: no marker, and none in a parent folder.
    def move_deep(folders, total, name):
        deep = folder_for_path_length(folders.root, total, name)
        os.makedirs(deep)
        folders.program = shutil.move(folders.program, os.path.join(deep, name))

    for total, name in [(255, "ko197311.exe"), (256, "ko197311.exe"), (259, "ko197311.exe"), (259, "k")]:
        folders = prepared(prepare=lambda f: move_deep(f, total, name))
        failures.check(len(windows_path(folders.program)) == total, f"module path not {total} long")
        run(folders, f"path {total} long", [" /u"])
        found = [os.path.join(top, "settings.ini") for top, _, names in os.walk(folders.root)
                 if "settings.ini" in names and top != folders.cwd]
        beside = os.path.join(os.path.dirname(folders.program), "settings.ini")
        expected = [beside] if len(windows_path(beside)) < 260 else []
        failures.check(found == expected, f"wine path {total} long: settings files {found}")
        folders.remove()
    return failures


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


def test_headers(program, objdump, width):
    import pefile

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows"))
    import check_resources

    failures = Failures()
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
    failures.check(check_resources.failures == [], "a resource in several languages")
    print(f"{os.path.basename(program)}: {size} bytes, {file_format}, imports {imports}, "
          f"flags {present}, manifest of {len(manifest)} bytes")
    return failures


def test_dependencies(program):
    """The native program loads no shared C++ runtime: starting it costs what an empty one does."""
    failures = Failures()
    dynamic = subprocess.run(["readelf", "-d", program], capture_output=True, text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\).*\[(.+)\]", dynamic)
    failures.check(needed != [], "readelf found no NEEDED entries at all")
    failures.check(not any(n.startswith(("libstdc++", "libgcc_s")) for n in needed),
                   f"{os.path.basename(program)} needs {needed}")
    print(f"{os.path.basename(program)} needs {', '.join(needed)}")
    return failures


def wine_status(wine_env):
    """0 when this build's Wine can run here; else the status to end with, once wine_env.sh said
    why (77, skipped: no 32-bit execution on this host, or no Wine outside CI)."""
    if os.environ.get("KO197311_WINE_BITS", "32") == "32" and i386_probe.FORCE not in os.environ:
        os.environ[i386_probe.FORCE] = "yes" if i386_probe.can_execute_i386() else "no"
    return subprocess.run([wine_env, "true"]).returncode


def main(argv):
    mode = argv[1] if len(argv) > 1 else ""
    if mode == "native" and len(argv) == 3:
        failures = test_native(os.path.abspath(argv[2]))
    elif mode == "wine" and len(argv) == 5:
        status = wine_status(argv[4])
        if status != 0:
            return status
        failures = test_wine(os.path.abspath(argv[2]), windows_path(os.path.abspath(argv[3])), argv[4])
    elif mode == "dependencies" and len(argv) == 3:
        failures = test_dependencies(argv[2])
    elif mode == "headers" and len(argv) == 5 and argv[4] in PE_WIDTHS:
        failures = test_headers(argv[2], argv[3], argv[4])
    else:
        print(__doc__)
        return 2
    print(f"{failures.checked - failures.count} passed, {failures.count} failed")
    return 1 if failures.count else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
