#!/usr/bin/env python3
"""Tells whether this host can execute 32-bit x86 programs: exits 0 if it can, 1 if it cannot,
2 if KO197311_I386 holds neither yes nor no.

  i386_probe.py

Some x86-64 kernels cannot (booted with ia32_emulation=0, or built without it); their settings
do not say so reliably, so the probe executes a tiny static i386 program and looks for ENOEXEC.
KO197311_I386=yes or KO197311_I386=no forces the answer, to try either case on any host.
"""
import errno
import functools
import os
import struct
import subprocess
import sys
import tempfile

FORCE = "KO197311_I386"
REASON = "this host cannot execute 32-bit x86 code"
BASE = 0x08048000


def tiny_i386_program():
    """An ELF file for i386 with one loadable segment whose code is exit(0)."""
    code = bytes([0xB8, 0x01, 0x00, 0x00, 0x00,  # mov eax, 1 (exit)
                  0x31, 0xDB,                    # xor ebx, ebx
                  0xCD, 0x80])                   # int 0x80
    header_size, segment_size = 52, 32
    total = header_size + segment_size + len(code)
    header = struct.pack("<4s5B7x2H5I6H", b"\x7fELF", 1, 1, 1, 0, 0, 2, 3, 1,
                         BASE + header_size + segment_size, header_size, 0, 0, header_size,
                         segment_size, 1, 0, 0, 0)
    segment = struct.pack("<8I", 1, 0, BASE, BASE, total, total, 5, 0x1000)
    return header + segment + code


@functools.lru_cache(maxsize=None)
def can_execute_i386():
    """True or False; a failure other than ENOEXEC counts as True, so nothing is skipped for it."""
    forced = os.environ.get(FORCE, "")
    if forced in ("yes", "no"):
        return forced == "yes"
    if forced:
        print(f"{FORCE} must be yes or no, not {forced!r}", file=sys.stderr)
        sys.exit(2)
    folder = tempfile.mkdtemp(prefix="ko197311-i386-")
    path = os.path.join(folder, "probe")
    try:
        with open(path, "wb") as f:
            f.write(tiny_i386_program())
        os.chmod(path, 0o755)
        # subprocess executes the file itself; a shell would take an unknown format for a script.
        subprocess.run([path], check=False, timeout=10)
        return True
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return False
        print(f"i386_probe: could not tell ({error}); taking it that 32-bit code runs",
              file=sys.stderr)
        return True
    finally:
        if os.path.exists(path):
            os.remove(path)
        os.rmdir(folder)


if __name__ == "__main__":
    sys.exit(0 if can_execute_i386() else 1)
