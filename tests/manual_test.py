#!/usr/bin/env python3
"""Every option that `krizclean --help` prints is in the manual page's
OPTIONS and in the README's table of options, and every option these name is
one --help prints: an option added to the program and not to its manual (or
the other way round) fails here, by name.

usage: manual_test.py KRIZCLEAN MANUAL.scd README.md
"""
import re
import subprocess
import sys

OPTION = r"--?[A-Za-z0-9][A-Za-z0-9-]*"


def help_options(program):
    text = subprocess.run([program, "--help"], check=True, capture_output=True,
                          text=True).stdout
    found = set()
    for line in text.splitlines():
        # An option's own line: a little indented, an option first, and its
        # description after a run of blanks; continued descriptions are
        # indented further.
        stripped = line.lstrip()
        if not stripped.startswith("-") or len(line) - len(stripped) > 8:
            continue
        spec = re.split(r"\s{2,}", stripped)[0]
        found |= set(re.findall(rf"(?<![\w-])({OPTION})", spec))
    return found


def manual_options(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    section = re.search(r"^# OPTIONS\n(.*?)^# ", text, re.S | re.M)
    if not section:
        sys.exit(f"manual_test: {path} has no OPTIONS section")
    found = set()
    for line in section.group(1).splitlines():
        if line.startswith("*-"):
            found |= set(re.findall(rf"\*({OPTION})\*", line))
    return found


def readme_options(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    table = re.search(r"^\| option \| meaning \|\n\|---\|---\|\n((?:\|.*\n)+)", text, re.M)
    if not table:
        sys.exit(f"manual_test: {path} has no table of options")
    found = set()
    for row in table.group(1).splitlines():
        found |= set(re.findall(rf"`({OPTION})", row.split("|")[1]))
    return found


def main():
    program, manual, readme = sys.argv[1:4]
    printed = help_options(program)
    if len(printed) < 10:
        sys.exit(f"manual_test: --help names only {sorted(printed)}")
    failed = False
    for where, named in (("the manual page", manual_options(manual)),
                         ("the README", readme_options(readme))):
        for option in sorted(printed - named):
            print(f"manual_test: {option} is in --help but not in {where}", file=sys.stderr)
            failed = True
        for option in sorted(named - printed):
            print(f"manual_test: {option} is in {where} but not in --help", file=sys.stderr)
            failed = True
    if not failed:
        print(f"manual_test: --help, the manual page and the README name the same "
              f"{len(printed)} options")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
