"""What the Python module's and the cluster driver's tests scan: inert
specimens made by the project's own tools (krizspec, specimen_set), put into
folders, FAT images (mkfs.fat, mcopy) and ZIPs; and the command-line
cleaner's JSON to compare with. The programs come from the environment that
ctest sets (KRIZCLEAN, KRIZSPEC, SPECIMEN_SET)."""

import io
import json
import os
import shutil
import subprocess
import zipfile

KRIZCLEAN = os.environ["KRIZCLEAN"]
KRIZSPEC = os.environ["KRIZSPEC"]
SPECIMEN_SET = os.environ["SPECIMEN_SET"]
TOOLS_ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", LC_ALL="C")

# The 16 functions the virus redirects in KERNEL32, as scripts/run names them.
HOOKED = [
    name + suffix
    for name in ("CopyFile", "CreateFile", "CreateProcess", "DeleteFile", "GetFileAttributes",
                 "MoveFile", "MoveFileEx", "SetFileAttributes")
    for suffix in ("A", "W")
]


def tool(*args):
    result = subprocess.run(list(args), env=TOOLS_ENV, capture_output=True)
    if result.returncode != 0:
        raise RuntimeError("%s failed: %s" % (args[0], result.stderr.decode(errors="replace")))
    return result.stdout


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_demo(folder, work):
    """A folder like scripts/run's demo: infected programs under several keys
    and places, an infected KERNEL32 copy, a read-only infected program, near
    misses, clean programs, files that are not programs, in subfolders."""
    program = os.path.join(work, "program.exe")
    kernel = os.path.join(work, "kernel32.dll")
    if not os.path.exists(program):
        tool(KRIZSPEC, "image", program)
        tool(KRIZSPEC, "image", kernel, "--dll", "--exports", "KERNEL32.dll", *HOOKED, "Beep",
             "CloseHandle")
    for sub in ("games/old", "tools", "docs", "windows/system"):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
    j = lambda name: os.path.join(folder, name)
    tool(KRIZSPEC, "infect", program, j("games/doom2.exe"))
    tool(KRIZSPEC, "infect", program, j("games/old/setup.exe"), "--key", "0")
    tool(KRIZSPEC, "infect", program, j("tools/unzip.exe"), "--key", "0xA7", "--pos", "100")
    tool(KRIZSPEC, "infect", program, j("games/locked.exe"), "--key", "0x11")
    tool(KRIZSPEC, "infect", kernel, j("windows/system/Krized.tt6"))
    tool(KRIZSPEC, "infect", program, j("games/nearly.exe"), "--near-miss",
         "signature-off-by-one")
    tool(KRIZSPEC, "infect", program, j("tools/cut.exe"), "--near-miss", "body-cut-short")
    os.chmod(j("games/locked.exe"), 0o444)
    shutil.copy(program, j("games/clean.exe"))
    shutil.copy(program, j("tools/zip.exe"))
    write(j("docs/readme.exe"), b"Not a program, whatever its name says.\r\n")
    write(j("docs/notes.txt"), b"Notes\r\n")
    # A name that is not UTF-8: its exact bytes are part of the results.
    tool(KRIZSPEC, "infect", program, os.fsdecode(os.fsencode(folder) + b"/tools/\xff\xfe.exe"))


class Specimens:
    """specimen_set's inside set: files to put into containers (`drive`) and
    the bytes each must hold once cleaned (`expected`)."""

    def __init__(self, work):
        self.root = os.path.join(work, "set")
        if not os.path.isdir(self.root):
            tool(SPECIMEN_SET, "inside", self.root)
        self.drive = os.path.join(self.root, "drive")
        self.expected = os.path.join(self.root, "expected")
        self.names = sorted(
            os.path.relpath(os.path.join(folder, name), self.drive)
            for folder, _, files in os.walk(self.drive)
            for name in files
        )

    def bytes(self, name):
        return read(os.path.join(self.drive, name))

    def clean_bytes(self, name):
        return read(os.path.join(self.expected, name))

    def infected(self):
        return [n for n in self.names if self.bytes(n) != self.clean_bytes(n)]


def make_fat(path, sources, kib=4096):
    """A FAT12 image of `kib` KiB holding the files and folders `sources`."""
    if os.path.exists(path):
        os.remove(path)
    tool("mkfs.fat", "-C", "-F", "12", "-n", "KRIZTEST", path, str(kib))
    for source in sources:
        tool("mcopy", "-s", "-i", path, source, "::/")


def zip_bytes(members, nested=None):
    """A ZIP of `members` ({name: bytes}), with `nested` ({name: members})
    as ZIPs inside it."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in members.items():
            archive.writestr(name, data)
        for name, inner in (nested or {}).items():
            archive.writestr(name, zip_bytes(inner))
    return out.getvalue()


def cli_json(*args):
    """krizclean --json - with `args`: its document, parsed."""
    result = subprocess.run([KRIZCLEAN, "-q", "--json", "-"] + list(args), capture_output=True)
    assert result.returncode in (0, 1, 2), result.stderr
    return json.loads(result.stdout)
