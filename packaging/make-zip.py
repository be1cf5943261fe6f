#!/usr/bin/env python3
"""Packs a folder into a zip whose entries all lie in one top folder, byte-for-byte reproducibly:
entries in name order, every time SOURCE_DATE_EPOCH (0 without it; zip keeps no time before
1980, which then stands in), fixed permissions (rwxr-xr-x for .exe, rw-r--r-- else).

    make-zip.py SOURCE_DIR TOP_FOLDER OUTPUT.zip
"""
import os
import sys
import time
import zipfile


def entry(name, epoch, mode):
    info = zipfile.ZipInfo(name, date_time=max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0)))
    info.create_system = 3   # Unix: the permissions below apply when unpacked on Linux
    info.external_attr = mode << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: make-zip.py SOURCE_DIR TOP_FOLDER OUTPUT.zip")
    source, top, out = sys.argv[1:4]
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "0"))
    names = sorted(os.listdir(source))
    if not names or any(not os.path.isfile(os.path.join(source, n)) for n in names):
        sys.exit("make-zip: %s must hold files only, and at least one" % source)
    with zipfile.ZipFile(out + ".part", "w") as archive:
        folder = entry(top + "/", epoch, 0o40755)
        folder.compress_type = zipfile.ZIP_STORED
        folder.external_attr |= 0x10   # MS-DOS directory flag, for Windows' unpacker
        archive.writestr(folder, b"")
        for name in names:
            with open(os.path.join(source, name), "rb") as f:
                mode = 0o100755 if name.endswith(".exe") else 0o100644
                archive.writestr(entry(top + "/" + name, epoch, mode), f.read(), compresslevel=9)
    os.replace(out + ".part", out)


if __name__ == "__main__":
    main()
