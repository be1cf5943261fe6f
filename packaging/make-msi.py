#!/usr/bin/env python3
"""Builds the Windows installer from packaging/Vostrel.wxs with wixl, byte-for-byte reproducibly.

    make-msi.py --source DIR --icon FILE --version 1.0.0+g1a2b3c4 --manufacturer TEXT --out FILE.msi

DIR holds Vostrel.exe, vostrel-cli.exe, README-Windows.txt and LICENSE.txt. What wixl cannot do
by itself is done after it, on the database:
  - the RemoveFile rows: Vostrel.cfg, which the window writes into the install folder, and the
    Start menu folder go on uninstall (wixl has no element for the first and puts RemoveFolder in
    the component's own folder);
  - the upgrade row's IncludeMaximum, which wixl drops: a build of the same version replaces the
    installed one;
  - the summary's package code and its two times: wixl writes a random package code and the time
    of the build. The package code becomes a GUID of the version (as the product code is), the
    times SOURCE_DATE_EPOCH (the commit's time when package.sh runs this; 0 without it).
"""
import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
# The UpgradeCode of packaging/Vostrel.wxs; the product and package codes are named below it.
UPGRADE_CODE = uuid.UUID("fcb64ffb-acd2-4dd7-b397-6959aa02d2b0")
SECONDS_1601_TO_1970 = 11644473600
VT_FILETIME = b"\x40\x00\x00\x00"
UPGRADE_INCLUDE_MINIMUM, UPGRADE_INCLUDE_MAXIMUM = 0x100, 0x200   # msidbUpgradeAttributesInclusive*


def fail(message):
    sys.exit("make-msi: " + message)


def run(*command, cwd=None):
    result = subprocess.run(command, capture_output=True, text=True, cwd=cwd)
    # wixl reports unknown attributes only as GLib warnings and still succeeds: they are errors here.
    if result.returncode != 0 or "WARNING" in result.stderr:
        fail("%s failed (%d): %s" % (command[0], result.returncode, result.stderr.strip()))
    return result.stdout


def filetime(unix_seconds):
    """Windows' FILETIME: 100 ns steps since 1601-01-01 UTC."""
    return int((unix_seconds + SECONDS_1601_TO_1970) * 10_000_000)


def fix_summary(path, package_code, since, until, epoch):
    """Rewrites, in place and at the same length, the summary's package code and the times that
    lie between since and until (the times wixl and msibuild wrote)."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    old_code = re.search(r"Revision number \(UUID\): (\{[0-9A-F-]{36}\})",
                         run("msiinfo", "suminfo", path)).group(1).encode("ascii")
    if data.count(old_code) != 1:
        fail("the package code %s is in the file %d times, not once" % (old_code, data.count(old_code)))
    data[data.index(old_code):data.index(old_code) + len(old_code)] = package_code.encode("ascii")

    low, high, new = filetime(since - 2), filetime(until + 2), struct.pack("<Q", filetime(epoch))
    found = 0
    start = 0
    while (at := data.find(VT_FILETIME, start)) >= 0:
        value = data[at + 4:at + 12]
        if len(value) == 8 and low <= struct.unpack("<Q", value)[0] <= high:
            data[at + 4:at + 12] = new
            found += 1
        start = at + 1
    if found != 2:
        fail("found %d times of the build in the summary, not 2 (created, last saved)" % found)
    with open(path, "wb") as f:
        f.write(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", required=True)
    parser.add_argument("--icon", required=True)
    parser.add_argument("--version", required=True, help="the full version, e.g. 1.0.0+g1a2b3c4")
    parser.add_argument("--manufacturer", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    numbers = re.match(r"^(\d+)\.(\d+)\.(\d+)", args.version)
    if not numbers:
        fail("the version %r does not start with three numbers" % args.version)
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "0"))
    product_code = uuid.uuid5(UPGRADE_CODE, "Vostrel product " + args.version)
    package_code = "{%s}" % str(uuid.uuid5(UPGRADE_CODE, "Vostrel package " + args.version)).upper()

    with tempfile.TemporaryDirectory() as work:
        # wixl reads sources by paths relative to the current folder only.
        # The cabinet keeps each file's time: the files get SOURCE_DATE_EPOCH's.
        shutil.copytree(args.source, os.path.join(work, "source"))
        shutil.copy(args.icon, os.path.join(work, "Vostrel.ico"))
        for name in os.listdir(os.path.join(work, "source")):
            os.utime(os.path.join(work, "source", name), (epoch, epoch))
        msi = os.path.join(work, "Vostrel.msi")
        since = time.time()
        run("wixl", "--arch", "x64", "-o", msi,
            "-D", "Version=" + numbers.group(0), "-D", "FullVersion=" + args.version,
            "-D", "ProductCode=%s" % product_code, "-D", "PackageCode=" + package_code,
            "-D", "Manufacturer=" + args.manufacturer, "-D", "SourceDir=source",
            "-D", "Icon=Vostrel.ico", os.path.join(HERE, "Vostrel.wxs"), cwd=work)
        run("msibuild", msi, "-q",
            "INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`)"
            " VALUES ('RemoveSettings', 'Window', 'Vostrel.cfg', 'INSTALLDIR', 2)",
            "-q",
            "INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `DirProperty`, `InstallMode`)"
            " VALUES ('RemoveMenuDir', 'Window', 'MenuDir', 2)",
            # Attributes is part of the table's key: the row is replaced, not updated.
            "-q", "DELETE FROM `Upgrade` WHERE `ActionProperty` = 'VOSTREL_UPGRADE'",
            "-q", "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, `VersionMax`, `Attributes`, `ActionProperty`)"
            " VALUES ('{%s}', '0.0.0', '%s', %d, 'VOSTREL_UPGRADE')"
            % (str(UPGRADE_CODE).upper(), numbers.group(0), UPGRADE_INCLUDE_MINIMUM | UPGRADE_INCLUDE_MAXIMUM))
        upgrade = run("msiinfo", "export", msi, "Upgrade")
        if not re.search(r"\t0\.0\.0\t%s\t\t%d\t\tVOSTREL_UPGRADE$" % (re.escape(numbers.group(0)),
                         UPGRADE_INCLUDE_MINIMUM | UPGRADE_INCLUDE_MAXIMUM), upgrade, re.M):
            fail("the Upgrade table does not take in the same version:\n" + upgrade)
        fix_summary(msi, package_code, since, time.time(), epoch)
        shutil.move(msi, args.out)


if __name__ == "__main__":
    main()
