#!/usr/bin/env python3
"""Prints the version resource (VS_VERSIONINFO) of a Windows program, read the way Windows finds it:
the PE file's resource directory, type RT_VERSION, first name, first language. One line each:

    FILEVERSION 1.0.0.0
    PRODUCTVERSION 1.0.0.0
    FileVersion=1.0.0+g1a2b3c4
    ProductVersion=1.0.0+g1a2b3c4
    ...

Exits non-zero, saying why, when the file has no version resource or its lengths do not add up.
Usage: pe-version.py PROGRAM.exe
"""
import struct
import sys

RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


def fail(message):
    sys.exit("pe-version: " + message)


def align4(n):
    return (n + 3) & ~3


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            fail("not a PE file (no MZ header)")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            fail("not a PE file (no PE signature)")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (112 if magic == 0x20B else 96)
        self.resource_rva, self.resource_size = struct.unpack_from("<II", data, directories + 2 * 8)
        self.sections = []
        table = optional + optional_size
        for n in range(sections):
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * n + 8)
            self.sections.append((rva, max(size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        fail("address 0x%x is in no section" % rva)

    def first_entry(self, directory, wanted_id=None):
        """(is_directory, offset from the resource root) of a directory's first entry, or of the entry
        with the id wanted."""
        base = self.offset(self.resource_rva)
        named, ids = struct.unpack_from("<12xHH", self.data, base + directory)
        for n in range(named + ids):
            name, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * n)
            if wanted_id is None or (not name & 0x80000000 and name == wanted_id):
                return bool(target & 0x80000000), target & 0x7FFFFFFF
        return None

    def version_resource(self):
        if not self.resource_rva:
            fail("no resources")
        found = self.first_entry(0, RT_VERSION)
        if not found:
            fail("no version resource")
        for _ in range(2):   # its name, then its language
            is_directory, where = found
            if not is_directory:
                fail("malformed resource directory")
            found = self.first_entry(where)
            if not found:
                fail("empty resource directory")
        is_directory, where = found
        rva, size = struct.unpack_from("<II", self.data, self.offset(self.resource_rva) + where)
        start = self.offset(rva)
        return self.data[start:start + size]


def read_block(data, at, end):
    """(length, value length, type, key, value offset, children offset) of the block at `at`."""
    if at + 6 > end:
        fail("block at %d runs past its parent (%d)" % (at, end))
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    if length < 6 or at + length > end:
        fail("block at %d has length %d, past its parent's end %d" % (at, length, end))
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
        if key_end >= at + length:
            fail("unterminated key at %d" % at)
    key = data[at + 6:key_end].decode("utf-16-le")
    value = align4(key_end + 2)
    value_bytes = value_length * (2 if kind == 1 else 1)
    return length, value_length, kind, key, value, align4(value + value_bytes)


def children(data, start, end):
    at = start
    while at < end:
        block = read_block(data, at, end)
        yield at, block
        at = align4(at + block[0])


def main():
    if len(sys.argv) != 2:
        fail("usage: pe-version.py PROGRAM.exe")
    with open(sys.argv[1], "rb") as f:
        data = Pe(f.read()).version_resource()
    length, value_length, _, key, value, first_child = read_block(data, 0, len(data))
    if key != "VS_VERSION_INFO" or value_length != 52:
        fail("the version resource starts with %r and a value of %d bytes" % (key, value_length))
    fixed = struct.unpack_from("<13I", data, value)
    if fixed[0] != FIXED_SIGNATURE:
        fail("VS_FIXEDFILEINFO has signature 0x%08x" % fixed[0])

    def numbers(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    print("FILEVERSION " + numbers(fixed[2], fixed[3]))
    print("PRODUCTVERSION " + numbers(fixed[4], fixed[5]))
    for at, block in children(data, first_child, length):
        if block[3] != "StringFileInfo":
            continue
        for table_at, table in children(data, block[5], at + block[0]):
            for string_at, string in children(data, table[5], table_at + table[0]):
                s_length, s_value_length, _, s_key, s_value, _ = string
                text = data[s_value:s_value + 2 * s_value_length].decode("utf-16-le")
                if s_value + 2 * s_value_length > string_at + s_length:
                    fail("the value of %s runs past its block" % s_key)
                print("%s=%s" % (s_key, text.rstrip("\0")))


if __name__ == "__main__":
    main()
