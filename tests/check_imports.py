#!/usr/bin/env python3
"""The Windows program imports only functions that Windows 98 and NT 4 both
export: every import that objdump lists must stand in the allowlist.

usage: check_imports.py OBJDUMP PROGRAM.exe ALLOWLIST
"""
import re
import subprocess
import sys


def imports(objdump, program):
    text = subprocess.run([objdump, "-p", program], check=True, capture_output=True,
                          text=True).stdout
    found, dll = set(), None
    for line in text.splitlines():
        named = re.match(r"\s*DLL Name: (\S+)", line)
        if named:
            dll = named.group(1).upper()
            continue
        entry = re.match(r"\s+[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if dll and entry:
            found.add(f"{dll}!{entry.group(1)}")
    return found


def allowed(path):
    names = set()
    with open(path) as f:
        for line in f:
            entry = line.split("#")[0].strip()
            if entry:
                dll, name = entry.split("!")
                names.add(f"{dll.upper()}!{name}")
    return names


def main():
    objdump, program, allowlist = sys.argv[1:4]
    found = imports(objdump, program)
    extra = sorted(found - allowed(allowlist))
    for name in extra:
        print(f"not in the allowlist: {name}")
    print(f"{len(found)} imports, {len(extra)} not allowed")
    sys.exit(1 if extra or not found else 0)


if __name__ == "__main__":
    main()
