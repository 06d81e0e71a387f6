#!/usr/bin/env python3
"""The native profile routine against the platform's, judged by the platform's own reader.

  differential.py NATIVE_PROGRAM WINDOWS_PROGRAM LAUNCHER INIDUMP WINE_ENV FIXTURE_DIR [SEED]

Generates settings files from a seed (printed, and taken from SEED or KO197311_SEED to replay),
runs each switch on each file with both programs, and dumps every result with the Windows
reader under Wine. A file whose dumps differ is kept in FIXTURE_DIR, which every run includes.
"""
import collections
import os
import pathlib
import random
import re
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from testlib import (NOBODY, SWITCH_VALUES, Folder, main, names_marker, other_bytes, read_ini,  # noqa: E402
                     run, wine_command_line, wine_status, windows_path)

GENERATED_FILES = 320

# Where Wine 8's reader differs from Windows, the routine follows Windows; files with these
# features are run on both sides, but their dumps are not compared. Windows' behaviour is from
# public conformance tests on Windows 10 (WelliSolutions/IniFileFormatReverseEngineering);
# Wine's was seen with inidump.
WINE_DEVIATIONS = [
    ("a header without ']'", re.compile(rb"^[ \t]*\[[^\]\r\n]*$", re.M),
     "Windows ends the name at the line break; Wine opens no section"),
    ("a header with a second ']'", re.compile(rb"^[ \t]*\[[^\]\r\n]*\][^\r\n]*\]", re.M),
     "Windows ends the name at the first ']'; Wine at the last"),
    ("a UTF-8 byte-order mark", re.compile(rb"\A\xef\xbb\xbf"),
     "Windows reads the mark as text, so a header on line 1 opens no section; Wine skips it"),
    ("NUL bytes", re.compile(rb"\x00"),
     "Windows takes a file for UTF-16 only by its byte-order mark; Wine guesses from the NULs"
     " and reads no section at all"),
]

FIXED_CASES = {
    "no-file": None,
    "empty": b"",
    "only-header": b"[tovrin]\n",
    "only-marker": b"[tovrin]\nmdb=jas197311\n",
    "marker-last-no-break": b"[app]\r\nname=x\r\n[tovrin]\r\nmdb=ko197311",
    "vertical-tab": b"\x0b[\x0btovrin\x0b]\nmdb\x0b=\x0bold\n",
    "bracket-missing": b"[tovrin\nmdb=old\n",
    "bracket-twice": b"[tovrin]x]\nmdb=old\n",
    "byte-order-mark": b"\xef\xbb\xbf[tovrin]\nmdb=old\n",
    "nul-byte": b"[tovrin]\nmdb=old\nx=\x00\n",
}

SECTION_NAMES = [b"tovrin", b"TOVRIN", b"Tovrin", b" tovrin ", b"\ttovrin", b"tovrin2", b"app",
                 b"other", b"mdb", b"tov rin", b"\xe9t\xe9"]
KEY_NAMES = [b"mdb", b"MDB", b"Mdb", b" mdb", b"mdb ", b"\tmdb\t", b"#mdb", b"mdbx", b"xmdb",
             b"name", b"x", b"m db", b"\xe9"]
VALUES = [b"ko197311", b"jas197311", b"old", b"", b" spaced ", b"a=b", b'"quoted"', b";not",
          b"\xe9t\xe9 \xff", b"v" * 1500]
SEPARATORS = [b"=", b" = ", b"\t=\t", b"= ", b" ="]
COMMENTS = [b"; note", b";mdb=x", b"  ; mdb=y", b";[tovrin]"]


def generate(rng):
    """A settings file mixing what real files hold, in one of the three line-break styles."""
    lines = []
    if rng.random() < 0.3:
        lines += rng.choice([[b"free text"], [b"mdb=loose"], [b"; header comment"], [b""]])
    for _ in range(rng.randint(0, 6)):
        name = rng.choice(SECTION_NAMES)
        lines.append(rng.choice([b"", b" ", b"\t"]) + b"[" + rng.choice([b"", b" "]) + name +
                     rng.choice([b"", b" "]) + b"]" + rng.choice([b"", b" ", b" ; trailing"]))
        for _ in range(rng.randint(0, 5)):
            kind = rng.random()
            if kind < 0.6:
                lines.append(rng.choice(KEY_NAMES) + rng.choice(SEPARATORS) + rng.choice(VALUES))
            else:
                lines.append(rng.choice(COMMENTS) if kind < 0.75 else b"" if kind < 0.9
                             else rng.choice([b"mdb", b"just text", b"MDB "]))
    line_break = rng.choice([b"\n", b"\r\n", b"\r"])
    return line_break.join(lines) + (line_break if lines and rng.random() < 0.8 else b"")


def kept_bytes(before, after):
    """Every byte of every line that does not name the marker is kept, in order; the marker's
    lines named as a reader that skips the UTF-8 mark names them."""
    old_kept, new_kept = other_bytes(before, skip_mark=True), other_bytes(after, skip_mark=True)
    # What was added after them, if anything: a line break, and a header for the marker.
    return new_kept.startswith(old_kept) and re.fullmatch(
        rb"(\r\n|\r|\n)?(\[tovrin\](\r\n|\r|\n))?", new_kept[len(old_kept):])


def read_dumps(text):
    """{windows path: {"sections": [(name, [entries])], "marker": text or None}} from inidump."""
    dumps = {}
    for kind, _, value in (line.partition(" ") for line in text.splitlines()):
        data = None if value == "none" else bytes.fromhex(value)
        if kind == "file":
            dump = dumps.setdefault(data.decode("utf-8"), {"sections": [], "marker": None})
        elif kind == "section":
            dump["sections"].append((data, []))
        # The marker's own entries are left out: duplicates may leave them apart by design.
        elif kind == "entry" and (dump["sections"][-1][0].strip().lower() != b"tovrin"
                                  or data.split(b"=")[0].strip().lower() != b"mdb"):
            dump["sections"][-1][1].append(data)
        elif kind == "marker":
            dump["marker"] = data if data is None else data.decode("latin-1")
    return dumps


def run_listed(wine_env, tool, listing, lines):
    """A Wine test tool on the lines it reads from the file `listing` (its one argument)."""
    pathlib.Path(listing).write_text("".join(line + "\n" for line in lines))
    return run([wine_env, "wine", windows_path(tool), "@" + windows_path(listing)], timeout=1200)


def test(failures, native, windows, launcher, inidump, wine_env, fixtures, seed=None):
    launcher, inidump, wine_env = map(os.path.abspath, (launcher, inidump, wine_env))
    if (status := wine_status(wine_env)) != 0:
        return status
    if not failures.check(os.path.exists(native), f"no {native}; build the native preset first"):
        return 1
    seed = int(seed if seed is not None else os.environ.get("KO197311_SEED", random.randrange(1 << 32)))
    preset = "windows64" if os.environ.get("KO197311_WINE_BITS") == "64" else "windows"
    print(f"seed {seed} (replay: KO197311_SEED={seed} ctest --preset {preset} -R differential)")
    rng = random.Random(seed)
    cases = dict(FIXED_CASES)
    for name in sorted(os.listdir(fixtures)) if os.path.isdir(fixtures) else []:
        cases["fixture-" + name] = open(os.path.join(fixtures, name), "rb").read()
    cases.update({f"generated-{index}": generate(rng) for index in range(GENERATED_FILES)})

    root = tempfile.mkdtemp(prefix="ko197311-differential-")
    # (case, switch, native folder, windows folder)
    runs = [(case, switch, Folder(native, parent=root, content=content),
             Folder(windows, parent=root, content=content))
            for case, content in cases.items() for switch in SWITCH_VALUES]
    for _, switch, native_folder, _ in runs:
        native_folder.run(switch, check=True)
    if os.geteuid() == 0:
        run(["chown", "-R", f"{NOBODY}:{NOBODY}", root], check=True)
    hexed = lambda text: text.encode("utf-16-be").hex()  # noqa: E731
    exes = [(windows_path(windows_folder.program), switch) for _, switch, _, windows_folder in runs]
    launched = run_listed(wine_env, launcher, f"{root}/runs.txt", [
        f"{hexed(exe)} {hexed(wine_command_line(exe, ' ' + switch))}" for exe, switch in exes])
    statuses = launched.stdout.decode().split()
    print(launched.stderr.decode(), end="")
    dumps = read_dumps(run_listed(wine_env, inidump, f"{root}/dumps.txt", [
        windows_path(folder.settings) for run in runs for folder in run[2:]]).stdout.decode("ascii"))

    failed_cases, compared, expected = set(), 0, collections.Counter()

    def check(case, ok, message):
        if not failures.check(ok, message):
            failed_cases.add(case)
        return ok

    for (case, switch, native_folder, windows_folder), status in zip(runs, statuses + [None] * len(runs)):
        before, after, label = cases[case], native_folder.read(), f"{case} {switch}"
        check(case, status == "0", f"{label}: ko197311.exe ended with {status}")
        check(case, not (before is None and switch == "/d" and after is not None),
              f"{label}: a delete created the file")
        check(case, kept_bytes(before, after), f"{label}: native run changed bytes outside the marker's lines")
        native_dump, windows_dump = (dumps.get(windows_path(folder.settings))
                                     for folder in (native_folder, windows_folder))
        if not check(case, native_dump is not None and windows_dump is not None, f"{label}: no dump"):
            continue
        reason = next((name for name, pattern, _ in WINE_DEVIATIONS
                       if pattern.search(before or b"")), None)
        if reason:
            expected[reason] += 1
            continue
        compared += 1
        intended = SWITCH_VALUES[switch]
        # More than one mdb in the first [tovrin], the section the reader uses.
        duplicates = sum(names_marker(line) and line.first for line in read_ini(before)) > 1
        for side, dump in (("native", native_dump), ("windows", windows_dump)):
            if side == "windows" and intended is None and duplicates:
                # By design: the platform's writer deletes only the first of duplicate keys, so
                # its reader still finds the next; ours removes them all.
                expected["duplicate markers after a delete"] += 1
                continue
            check(case, dump["marker"] == intended, f"{label}: the reader finds "
                  f"{dump['marker']!r:.60} after the {side} run, not {intended!r}")
        native_other, windows_other = native_dump["sections"], windows_dump["sections"]
        check(case, native_other == windows_other, f"{label}: the reader sees other settings after "
              f"the native run:\n    native  {native_other}\n    windows {windows_other}")

    for case in sorted(case for case in failed_cases if case.startswith("generated-")):
        os.makedirs(fixtures, exist_ok=True)
        kept = os.path.join(fixtures, f"seed{seed}-{case}.ini")
        pathlib.Path(kept).write_bytes(cases[case])
        print(f"kept {case} as the fixture {kept}")
    print(f"{len(cases)} files, {len(runs)} runs on each side, {compared} dumps compared; "
          "expected differences: " + (", ".join(f"{n} ({c} runs)" for n, c in expected.items()) or "none"))
    shutil.rmtree(root)


if __name__ == "__main__":
    main(__doc__, test)
