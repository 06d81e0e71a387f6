#!/usr/bin/env python3
"""Packs files into a .zip or .tar.gz whose bytes depend only on the files' names and contents.

  pack_release.py ARCHIVE EPOCH FILE...

Entries lie flat, in name order, dated EPOCH, owned by 0:0, mode 0755 when the owner may execute
the file and 0644 otherwise: nothing of the clock, the time zone, the umask or the user gets in.
"""
import gzip
import io
import os
import sys
import tarfile
import time
import zipfile


def entries(paths):
    for path in sorted(paths, key=os.path.basename):
        mode = 0o755 if os.stat(path).st_mode & 0o100 else 0o644
        with open(path, "rb") as f:
            yield os.path.basename(path), mode, f.read()


def write_zip(archive, epoch, paths):
    # Zip dates are local times with no zone; the UTC date is the one that does not move.
    date = max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))
    with zipfile.ZipFile(archive, "w") as out:
        for name, mode, data in entries(paths):
            info = zipfile.ZipInfo(name, date_time=date)
            info.create_system = 3  # Unix, so that the mode below is read
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            out.writestr(info, data, compresslevel=9)


def write_tar_gz(archive, epoch, paths):
    # No file name and time 0 in the gzip header, as `gzip -n` writes it.
    with open(archive, "wb") as raw, \
            gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9) as packed, \
            tarfile.open(fileobj=packed, mode="w", format=tarfile.USTAR_FORMAT) as out:
        for name, mode, data in entries(paths):
            info = tarfile.TarInfo(name)
            info.size, info.mtime, info.mode = len(data), epoch, mode
            info.uid = info.gid = 0
            info.uname = info.gname = ""
            out.addfile(info, io.BytesIO(data))


def main(argv):
    if len(argv) < 4 or not argv[1].endswith((".zip", ".tar.gz")):
        sys.exit(__doc__)
    archive, epoch, paths = argv[1], int(argv[2]), argv[3:]
    (write_zip if archive.endswith(".zip") else write_tar_gz)(archive, epoch, paths)


if __name__ == "__main__":
    main(sys.argv)
