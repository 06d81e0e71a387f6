#!/usr/bin/env python3
"""Reads the version record, the icon group and the manifest back from the built executable with
pefile.

  check_resources.py PROGRAM BUILT_PREVIEW COMMITTED_PREVIEW
"""
import os
import re
import struct
import sys
import xml.etree.ElementTree as ElementTree

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from testlib import Failures, main  # noqa: E402

SPANISH_MODERN = 0x0C0A
NEUTRAL = 0
FIXED_PART = {"FileVersionMS": 0x00040000, "FileVersionLS": 0x00000004,
              "ProductVersionMS": 0x00040000, "ProductVersionLS": 0x00000004,
              "FileFlagsMask": 0, "FileFlags": 0, "FileOS": 0x4, "FileType": 0x1,
              "FileSubtype": 0, "FileDateMS": 0, "FileDateLS": 0}
STRINGS = [("CompanyName", "-.-"), ("ProductName", "tovrin"), ("FileVersion", "4.00.0004"),
           ("ProductVersion", "4.00.0004"), ("InternalName", "ko197311"),
           ("OriginalFilename", "ko197311.exe")]
# Resource ID, width and height, colours, bits per pixel, in the group's order.
ICONS = [(30001, 32, 2, 1), (30002, 32, 16, 4), (30003, 16, 16, 4)]
STANDARD_PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]

# The icon's ASCII art, {"32x32": rows of letters, ...}; the letters are in the standard palette's
# order, and "." is transparent.
ART = {name: rows.split() for name, rows in re.findall(r"^\[(\w+)\]\n([^[]*)", open(os.path.join(
    HERE, "..", "..", "resources", "icon.txt"), encoding="ascii").read(), re.M)}
LETTERS = "KMGONPTSDRLYBFAW"
# In black and white: silver, yellow, aqua and white are light; every other colour is dark.
LIGHT = "SYAW"
BLACK_AND_WHITE = [(0x00, 0x00, 0x00), (0xFF, 0xFF, 0xFF)]

# The manifest, element by element in document order: namespace and name, attributes, text. Windows
# refuses to start a program whose manifest it cannot read, and matches namespaces exactly.
RT_MANIFEST = 24
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
# Windows Vista, 7, 8, 8.1, and 10 and 11 (one ID).
SUPPORTED_OS = ["{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]
MANIFEST = [
    (ASM_V1 + "assembly", {"manifestVersion": "1.0"}, ""),
    (ASM_V1 + "assemblyIdentity", {"type": "win32", "name": "ko197311", "version": "4.0.0.4"}, ""),
    (ASM_V3 + "trustInfo", {}, ""),
    (ASM_V3 + "security", {}, ""),
    (ASM_V3 + "requestedPrivileges", {}, ""),
    (ASM_V3 + "requestedExecutionLevel", {"level": "asInvoker", "uiAccess": "false"}, ""),
    (COMPATIBILITY + "compatibility", {}, ""),
    (COMPATIBILITY + "application", {}, ""),
] + [(COMPATIBILITY + "supportedOS", {"Id": os_id}, "") for os_id in SUPPORTED_OS] + [
    (ASM_V3 + "application", {}, ""),
    (ASM_V3 + "windowsSettings", {}, ""),
    (SETTINGS_2016 + "longPathAware", {}, "true"),
]
MANIFEST_DECLARATION = b'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'

failures = Failures()
check = failures.check


def resources(pe):
    """{(type, id): (language, bytes)} for every resource, and the count of languages per name."""
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            check(len(name.directory.entries) == 1, f"resource {kind.id}/{name.id}: several languages")
            for language in name.directory.entries:
                data = language.data.struct
                found[(kind.id, name.id)] = (language.id, pe.get_data(data.OffsetToData, data.Size))
    return found


def manifest_of(found, check):
    """The manifest's bytes: resource 1 of its type, language neutral, and no other."""
    names = sorted(name for kind, name in found if kind == RT_MANIFEST)
    check(names == [1], f"manifest resources {names}, expected 1 alone")
    language, data = found.get((RT_MANIFEST, 1), (None, b""))
    check(language == NEUTRAL, f"manifest in language {language}, not neutral")
    return data


def check_manifest(data, check):
    """Every element, attribute and namespace of the manifest, as Windows reads them."""
    check(data.startswith(MANIFEST_DECLARATION), f"manifest begins {data[:60]!r}")
    try:
        root = ElementTree.fromstring(data)
    except ElementTree.ParseError as error:
        check(False, f"the manifest is not well-formed XML: {error}")
        return
    elements = [(e.tag, e.attrib, (e.text or "").strip()) for e in root.iter()]
    for index, (element, expected) in enumerate(zip(elements, MANIFEST)):
        check(element == expected, f"manifest element {index}: {element}, expected {expected}")
    check(len(elements) == len(MANIFEST),
          f"manifest has {len(elements)} elements, not {len(MANIFEST)}")


def check_icon_image(resource_id, image, size, colours, bits, art):
    """The bitmap's header, palette and size; then each pixel, top row first, against the art:
    its palette index, or for two colours black or white; transparent ones show the screen (AND
    1) and add nothing (colour 0). Returns the AND mask, or None if the size was wrong."""
    header = struct.unpack_from("<IiiHHIIiiII", image)
    check(header[:6] == (40, size, size * 2, 1, bits, 0),
          f"icon {resource_id}: header {header[:6]}, expected a {size}x{size * 2} {bits}-bit bitmap")
    palette = [tuple(image[40 + 4 * i: 43 + 4 * i][::-1]) for i in range(colours)]
    check(palette == (STANDARD_PALETTE if colours == 16 else BLACK_AND_WHITE),
          f"icon {resource_id}: palette {palette}")
    start = 40 + 4 * colours
    row_bytes, and_row = ((size * bits + 31) // 32) * 4, ((size + 31) // 32) * 4
    mask_start = start + row_bytes * size
    if not check(len(image) == mask_start + and_row * size,
                 f"icon {resource_id}: {len(image)} bytes, expected {mask_start + and_row * size}"):
        return None

    def read(offset, row_length, depth, x, y):  # the bitmap's rows go bottom up
        byte = image[offset + (size - 1 - y) * row_length + x * depth // 8]
        return byte >> (8 - depth - x * depth % 8) & ((1 << depth) - 1)
    # (x, y), top row first: (colour, AND bit)
    pixels = {(x, y): (read(start, row_bytes, bits, x, y), read(mask_start, and_row, 1, x, y))
              for y in range(size) for x in range(size)}
    shown = sum(mask == 0 for _, mask in pixels.values())
    check(0 < shown < size * size, f"icon {resource_id}: the AND mask shows {shown} pixels")
    # Where the mask lets the screen through, the colour bitmap must add nothing to it.
    coloured = [xy for xy, (value, mask) in pixels.items() if mask and value != 0]
    check(not coloured, f"icon {resource_id}: pixels {coloured[:3]} are transparent but coloured")
    wanted = {(x, y): (0, 1) if letter == "." else (int(letter in LIGHT), 0) if bits == 1
              else (LETTERS.index(letter), 0)
              for y, letters in enumerate(art) for x, letter in enumerate(letters)}
    wrong = [f"{xy} is {pixels[xy]}, not {w}" for xy, w in wanted.items() if pixels[xy] != w]
    check(not wrong, f"icon {resource_id}: {len(wrong)} pixels not as the art says: {wrong[:3]}")
    return [mask for _, mask in pixels.values()]


def check_program(path):
    """Every resource of the program at this path; returns it parsed, and its manifest's bytes."""
    pe = pefile.PE(path)
    found = resources(pe)
    kinds = sorted({kind for kind, _ in found})
    check(kinds == [3, 14, 16, RT_MANIFEST],
          f"resource types {kinds}: only icons, the group, the version and the manifest")
    # The version record.
    check(found.get((16, 1), (None,))[0] == SPANISH_MODERN, "version record not under language 3082")
    fixed = pe.VS_FIXEDFILEINFO[0]
    for field, value in FIXED_PART.items():
        check(getattr(fixed, field) == value, f"{field} is {getattr(fixed, field):#x}, not {value:#x}")
    # StringFileInfo holds the string tables, VarFileInfo the translations.
    tables = [t for info in pe.FileInfo[0] for t in getattr(info, "StringTable", [])]
    translations = [var.entry for info in pe.FileInfo[0] for var in getattr(info, "Var", [])]
    check([t.LangID for t in tables] == [b"0C0A04B0"], f"string tables {[t.LangID for t in tables]}")
    entries = [(k.decode(), v.decode()) for k, v in tables[0].entries.items()] if tables else []
    check(entries == STRINGS, f"string entries {entries}")
    check(translations == [{b"Translation": "0x0c0a 0x04b0"}], f"translations {translations}")
    # The icons: the group, then each image.
    language, group = found.get((14, 1), (None, b""))
    check(language == NEUTRAL, f"icon group 1 in language {language}, not neutral")
    reserved, kind, count = struct.unpack_from("<HHH", group)
    check((reserved, kind, count) == (0, 1, 3), f"group header {(reserved, kind, count)}")
    masks = {}
    for index, (resource_id, size, colours, bits) in enumerate(ICONS):
        entry = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * index)
        image_language, image = found.get((3, resource_id), (None, b""))
        check(entry == (size, size, colours % 256, 0, 1, bits, len(image), resource_id),
              f"group entry {index}: {entry}")
        check(image_language == NEUTRAL, f"icon {resource_id} in language {image_language}")
        masks[resource_id] = check_icon_image(resource_id, image, size, colours, bits,
                                              ART[f"{size}x{size}"])
    check(masks[30001] == masks[30002], "the two 32x32 images are not the same outline")
    icon_ids = sorted(name for kind, name in found if kind == 3)
    check(icon_ids == [30001, 30002, 30003], f"icon images {icon_ids}")
    manifest = manifest_of(found, check)
    check_manifest(manifest, check)
    return pe, manifest


def test(_, program, built_preview, committed_preview):
    check_program(program)
    check(open(built_preview, "rb").read() == open(committed_preview, "rb").read(),
          f"{committed_preview} is not the preview the build drew; copy {built_preview} over it")


if __name__ == "__main__":
    main(__doc__, test, failures=failures)
