#!/usr/bin/env python3
"""The Windows program's ZIP, made as scripts/package makes it (CPack in the
32-bit Windows build): KRIZCLN.EXE, the very program built less its
debugging information, and README.TXT with Windows' line ends, every name
8.3 so that Windows 9x and DOS keep it.

usage: windows_zip_test.py BUILD_DIR PROGRAM.exe STRIP
"""
import glob
import os
import re
import subprocess
import sys
import tempfile
import zipfile

# A DOS name: 1 to 8 characters, then at most a dot and 1 to 3 more, of the
# upper-case letters, digits and the signs DOS allows in names.
DOS_CHARS = r"[A-Z0-9!#$%&'()@^_`{}~-]"
DOS_NAME = re.compile(rf"^{DOS_CHARS}{{1,8}}(\.{DOS_CHARS}{{1,3}})?$")


def main():
    build, program, strip = sys.argv[1:4]
    with tempfile.TemporaryDirectory() as work:
        subprocess.run(["cpack", "-G", "ZIP", "-B", os.path.join(work, "cpack")], cwd=build,
                       check=True, stdout=subprocess.DEVNULL)
        made = glob.glob(os.path.join(work, "cpack", "*.zip"))
        if len(made) != 1:
            sys.exit(f"windows_zip: cpack made {made}")
        with zipfile.ZipFile(made[0]) as archive:
            names = archive.namelist()
            exe = archive.read("KRIZCLN.EXE") if "KRIZCLN.EXE" in names else b""
            readme = archive.read("README.TXT") if "README.TXT" in names else b""
        # The program built, stripped here with the date stamped into the
        # one in the ZIP (strip puts one in a PE header): the same bytes.
        stamp = 0
        if exe[:2] == b"MZ" and len(exe) >= 0x40:
            header = int.from_bytes(exe[0x3C:0x40], "little")
            stamp = int.from_bytes(exe[header + 8:header + 12], "little")
        stripped = os.path.join(work, "stripped.exe")
        subprocess.run([strip, "-o", stripped, program], check=True,
                       env=dict(os.environ, SOURCE_DATE_EPOCH=str(stamp)))
        with open(stripped, "rb") as f:
            built = f.read()
    failed = False
    for name in names:
        if not DOS_NAME.match(name):
            print(f"windows_zip: {name!r} is no 8.3 name", file=sys.stderr)
            failed = True
    if sorted(names) != ["KRIZCLN.EXE", "README.TXT"]:
        print(f"windows_zip: the ZIP holds {names}", file=sys.stderr)
        failed = True
    if exe != built:
        print("windows_zip: KRIZCLN.EXE is not the program built", file=sys.stderr)
        failed = True
    if not readme or b"\n" in readme.replace(b"\r\n", b"") or b"KRIZCLN.EXE" not in readme:
        print("windows_zip: README.TXT is missing, names another program, or has a bare "
              "line feed", file=sys.stderr)
        failed = True
    if not failed:
        print(f"windows_zip: {os.path.basename(made[0])} holds {', '.join(names)}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
