#!/usr/bin/env python3
"""krizclean looking into disk images and archives, run as a process over
images and archives made here by the tools people make them with (mkfs.fat and
mtools, mkntfs and ntfscp, xorriso, qemu-img, zip, 7z, tar, gcab, lha), holding the
specimens of `specimen_set inside`.

  tests/inside_test.py KRIZCLEAN SPECIMEN_SET GROUP

GROUP:
  fat       FAT12, FAT16 and FAT32 images, bare and behind an MBR (and one met
            by a walk with --inside): --clean
            leaves every file as expected (read back with mcopy), fsck.fat -n
            finds no fault, and no byte outside the repaired files' clusters,
            their directory entries, the FATs and FSInfo changes
  kill      krizclean killed at each write it makes while it cleans an image:
            the image stays whole, each file is its original or exactly clean
  readonly  NTFS and ISO 9660 images: found, "cannot disinfect" with the
            reason, nothing written
  partitions  a primary and two logical FAT volumes (an extended
            partition), raw and in a qcow2: all cleaned; a chain of logical
            partitions that loops, and partitions that overlap: refused
  virtual   FAT12/16/32 images converted by qemu-img to qcow2, VHD (fixed,
            dynamic), VHDX, VDI and VMDK (sparse, flat, split): scanned
            without a write, cleaned through qemu-nbd, converted back equal
            to the raw image cleaned the same way, qemu-img check clean, no
            server left; a streamOptimized VMDK only scanned; a qcow2 over a
            backing file beside it (that file unchanged) and backing files
            or extents that are not followed (/etc/passwd, "..", a link,
            another user's, a loop); an image QEMU's lock holds
  virtual_kill  a qcow2 cleaned through qemu-nbd, krizclean killed at its
            journal's writes and at every 2nd request, then the server
            killed at each of its writes: whole right after, clean after
            the next run, no server left
  archives  ZIP (and one nested), 7z, tar, CAB, LHA, ISO, RAR (written here:
            Debian has no program that makes one): found with the path
            inside; a bomb, a member too large, too many members and too
            deep a nesting stopped by the limits and reported; --inside in a folder;
            ZIPs whose records disagree with their entries: a member that the
            central directory does not list (found), name lengths one byte
            off ("cannot open"), a 64 GiB sparse fake (given up after a few
            reads, counted with strace)
  locks     an image and a plain program that another program holds locked
            (flock -x, lockf): reported, not written; the live journal of
            a run that is cleaning an image: left alone by a second run
  hostile   damaged images (cut short, a looping chain, entries pointing out of
            the image or claiming huge sizes, a nonsense boot sector) and
            ZIPs (cut short, members claiming huge sizes or none): what
            cannot be read reported, no crash, not one byte written
  entries   directory entries written by hand where no tool makes them: a
            stale long name over a renamed short one and a lower-case short
            name beside a twin (each file cleaned is the one scanned), odd
            short names, sizes and clusters (each listed, scanned or "cannot
            open"), short names in DOS code pages (--codepage), and an image
            cleaned through a link and killed (its journal beside the image)
  scale     cleaning many infected files in one FAT32 image reads its FAT
            once (counted system calls), one file on a large sparse image
            takes little more memory than one FAT, and a scan asks for the
            time zone once, not for each file
"""
import hashlib
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

KRIZCLEAN, SPECIMEN_SET, GROUP = sys.argv[1:4]
WORK = tempfile.mkdtemp(prefix="inside_test.")
ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1", LC_ALL="C")
# A sanitizer's finding must not pass for krizclean's own status 1 ("infected").
ENV["ASAN_OPTIONS"] = "exitcode=86:" + ENV.get("ASAN_OPTIONS", "")
ENV["UBSAN_OPTIONS"] = "halt_on_error=1:exitcode=86:" + ENV.get("UBSAN_OPTIONS", "")

passed = 0
failed = 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print("FAIL: " + what, flush=True)
    return ok


def run(args, **kwargs):
    return subprocess.run(args, env=ENV, capture_output=True, **kwargs)


def tool(*args):
    result = run(list(args))
    if result.returncode != 0:
        raise RuntimeError("%s failed: %s" % (args[0], result.stderr.decode(errors="replace")))
    return result.stdout


def krizclean(*args):
    """Runs krizclean; its status, output, errors and JSON (None if none)."""
    out = os.path.join(WORK, "results.json")
    if os.path.exists(out):
        os.remove(out)
    result = run([KRIZCLEAN, "-q", "--json", out] + list(args), timeout=600)
    stderr = result.stderr.decode(errors="replace")
    check(result.returncode in (0, 1, 2) and "Sanitizer" not in stderr
          and "runtime error" not in stderr,
          "krizclean %s ended with status %d: %s" % (" ".join(args), result.returncode,
                                                     stderr[-2000:]))
    data = None
    if os.path.exists(out):
        with open(out) as f:
            data = json.load(f)
    return result.returncode, result.stdout.decode(errors="replace"), stderr, data


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


# --- the specimens

SET = os.path.join(WORK, "set")
tool(SPECIMEN_SET, "inside", SET)
DRIVE = os.path.join(SET, "drive")
EXPECTED = os.path.join(SET, "expected")


def names():
    found = []
    for folder, _, files in os.walk(DRIVE):
        for name in files:
            found.append(os.path.relpath(os.path.join(folder, name), DRIVE))
    return sorted(found)


def read(path):
    with open(path, "rb") as f:
        return f.read()


NAMES = names()
INFECTED = [n for n in NAMES if read(os.path.join(DRIVE, n)) != read(os.path.join(EXPECTED, n))]
# The files the scan opens (programs and the library), and those it never does.
PROGRAMS = [n for n in NAMES if n.lower().endswith((".exe", ".dll"))]
assert len(INFECTED) == 5 and "README.TXT" not in PROGRAMS

# --- FAT images, made by mkfs.fat and filled by mcopy

# type: (mkfs.fat arguments, size in KiB, MBR partition type)
FAT_KINDS = {
    12: (["-F", "12"], 2880, 0x01),  # a 2.88 MB floppy
    16: (["-F", "16"], 16384, 0x06),
    32: (["-F", "32", "-s", "1"], 40960, 0x0C),  # 512-byte clusters: FAT32 on 40 MB
}
MBR_START = 2048  # sectors


def make_fat(path, bits, partitioned):
    args, kib, part_type = FAT_KINDS[bits]
    volume = path + ".volume" if partitioned else path
    hidden = ["-h", str(MBR_START)] if partitioned else []
    tool("mkfs.fat", "-C", *args, *hidden, "-n", "KRIZTEST", volume, str(kib))
    for name in sorted(os.listdir(DRIVE)):
        tool("mcopy", "-s", "-i", volume, os.path.join(DRIVE, name), "::/")
    tool("mattrib", "-i", volume, "+r", "::/READONLY.EXE")
    if not partitioned:
        return 0
    # One primary partition at 1 MiB, the rest of the table empty.
    sectors = kib * 2
    entry = struct.pack("<B3sB3sII", 0x00, b"\0\0\0", part_type, b"\0\0\0", MBR_START, sectors)
    mbr = bytearray(512)
    mbr[446:462] = entry
    mbr[510:512] = b"\x55\xaa"
    with open(path, "wb") as out:
        out.write(mbr)
        out.write(bytes(MBR_START * 512 - 512))
        out.write(read(volume))
    os.remove(volume)
    return MBR_START * 512


def mtools_image(path, offset):
    return "%s@@%d" % (path, offset) if offset else path


def read_back(path, offset, name):
    out = os.path.join(WORK, "readback")
    if os.path.exists(out):
        os.remove(out)
    tool("mcopy", "-n", "-i", mtools_image(path, offset), "::/" + name, out)
    return read(out)


def fsck(path, offset):
    """fsck.fat -n over the volume; its complaint, or None."""
    volume = path
    if offset:
        volume = os.path.join(WORK, "volume.fsck")
        with open(path, "rb") as f:
            f.seek(offset)
            data = f.read()
        with open(volume, "wb") as f:
            f.write(data)
    result = run(["fsck.fat", "-n", volume])
    text = result.stdout.decode(errors="replace") + result.stderr.decode(errors="replace")
    return None if result.returncode == 0 else text


class Fat:
    """An independent reading of a FAT volume: where its FATs, FSInfo,
    directory entries and files' clusters lie."""

    def __init__(self, data, offset):
        b = data[offset:offset + 512]
        u16 = lambda at: struct.unpack_from("<H", b, at)[0]
        u32 = lambda at: struct.unpack_from("<I", b, at)[0]
        self.data = data
        bps, spc, reserved, fats, root_entries = u16(11), b[13], u16(14), b[16], u16(17)
        total = u16(19) or u32(32)
        fat_sectors = u16(22) or u32(36)
        root_sectors = (root_entries * 32 + bps - 1) // bps
        clusters = (total - reserved - fats * fat_sectors - root_sectors) // spc
        self.bits = 12 if clusters < 4085 else 16 if clusters < 65525 else 32
        self.fat = offset + reserved * bps
        self.fat_end = self.fat + fats * fat_sectors * bps
        self.root = self.fat_end
        self.root_bytes = root_entries * 32
        self.data_start = self.root + root_sectors * bps
        self.cluster_bytes = bps * spc
        self.root_cluster = u32(44) if self.bits == 32 else 0
        self.fsinfo = offset + u16(48) * bps if self.bits == 32 else None

    def next(self, cluster):
        if self.bits == 12:
            v = struct.unpack_from("<H", self.data, self.fat + cluster * 3 // 2)[0]
            return v >> 4 if cluster & 1 else v & 0xFFF
        if self.bits == 16:
            return struct.unpack_from("<H", self.data, self.fat + cluster * 2)[0]
        return struct.unpack_from("<I", self.data, self.fat + cluster * 4)[0] & 0x0FFFFFFF

    def chain(self, cluster):
        end = {12: 0xFF8, 16: 0xFFF8, 32: 0x0FFFFFF8}[self.bits]
        out = []
        while 2 <= cluster < end and len(out) < 1 << 20:
            out.append(cluster)
            cluster = self.next(cluster)
        return out

    def span(self, cluster):
        start = self.data_start + (cluster - 2) * self.cluster_bytes
        return start, start + self.cluster_bytes

    def entries(self, first_cluster):
        """(name, entry offset, first cluster, attributes) of a directory."""
        if first_cluster == 0:
            spans = [(self.root, self.root + self.root_bytes)]
        else:
            spans = [self.span(c) for c in self.chain(first_cluster)]
        out, parts = [], {}
        for start, end in spans:
            for at in range(start, end, 32):
                e = self.data[at:at + 32]
                if e[0] == 0:
                    return out
                if e[0] == 0xE5:
                    parts = {}
                    continue
                if e[11] & 0x3F == 0x0F:
                    raw = e[1:11] + e[14:26] + e[28:32]
                    parts[e[0] & 0x1F] = raw.decode("utf-16-le")
                    continue
                if parts:
                    name = "".join(parts[k] for k in sorted(parts)).split("\0")[0]
                else:
                    base, ext = e[0:8].decode().rstrip(), e[8:11].decode().rstrip()
                    name = base + ("." + ext if ext else "")
                parts = {}
                cluster = struct.unpack_from("<H", e, 26)[0]
                if self.bits == 32:
                    cluster |= struct.unpack_from("<H", e, 20)[0] << 16
                out.append((name, at, cluster, e[11]))
        return out

    def find(self, path):
        """(entry offset, first cluster) of the file at "DIR/NAME"."""
        directory = self.root_cluster
        for part in path.split("/"):
            match = [e for e in self.entries(directory) if e[0] == part]
            assert match, path
            _, at, cluster, _ = match[0]
            directory = cluster
        return at, cluster


def allowed_changes(data, offset, changed_files):
    """The byte ranges the cleaning of `changed_files` may change."""
    fat = Fat(data, offset)
    ranges = [(fat.fat, fat.fat_end)]
    if fat.fsinfo is not None:
        ranges.append((fat.fsinfo, fat.fsinfo + 512))
    for name in changed_files:
        at, cluster = fat.find(name)
        ranges.append((at, at + 32))
        ranges.extend(fat.span(c) for c in fat.chain(cluster))
    return ranges


def changes_outside(before, after, ranges):
    """The offsets where `after` differs from `before` outside `ranges`."""
    if len(before) != len(after):
        return ["the size, %d to %d" % (len(before), len(after))]
    bad = []
    block = 4096
    for start in range(0, len(before), block):
        if before[start:start + block] == after[start:start + block]:
            continue
        for i in range(start, min(start + block, len(before))):
            if before[i] != after[i] and not any(a <= i < b for a, b in ranges):
                bad.append(i)
                if len(bad) > 5:
                    return bad
    return bad


def group_fat():
    for bits in (12, 16, 32):
        for partitioned in (False, True):
            label = "FAT%d%s" % (bits, " behind an MBR" if partitioned else "")
            image = os.path.join(WORK, "fat%d%s.img" % (bits, "mbr" if partitioned else ""))
            offset = make_fat(image, bits, partitioned)
            before = read(image)
            check(Fat(before, offset).bits == bits, label + ": mkfs.fat made another FAT type")

            # Scanning finds every infected file by its long path, and writes nothing.
            status, out, _, data = krizclean(image)
            inner = "/partition1" if partitioned else ""
            for name in INFECTED:
                check("%s!%s/%s: infected" % (image, inner, name) in out,
                      "%s: scan did not report %s: %s" % (label, name, out))
            check(status == 1 and read(image) == before, label + ": the scan changed the image")
            listed = {o["inner_path"]: o for o in data["objects"]}
            check(set(listed) == {inner + "/" + n for n in INFECTED}
                  and all(o["container"] == image for o in listed.values()),
                  label + ": JSON objects %s" % sorted(listed))

            status, out, err, data = krizclean("--clean", image)
            for name in INFECTED:
                check("%s!%s/%s: disinfected" % (image, inner, name) in out,
                      "%s: %s not reported disinfected: %s %s" % (label, name, out, err))
            check(data["counts"]["disinfected"] == len(INFECTED), label + ": counts")
            for name in NAMES:
                check(read_back(image, offset, name) == read(os.path.join(EXPECTED, name)),
                      "%s: %s read back with mcopy is not as expected" % (label, name))
            complaint = fsck(image, offset)
            check(complaint is None, "%s: fsck.fat -n: %s" % (label, complaint))
            after = read(image)
            bad = changes_outside(before, after, allowed_changes(before, offset, INFECTED))
            check(not bad, "%s: bytes changed outside the repaired files: %s" % (label, bad))
            check(not os.path.exists(image + ".kzj"), label + ": a journal was left")
            attrs = tool("mattrib", "-i", mtools_image(image, offset), "::/READONLY.EXE")
            check(b" R " in attrs, label + ": READONLY.EXE lost its read-only mark: %r" % attrs)

            # The same filter as in a folder: README.TXT (infected bytes, not
            # a program's name) only with --all-files.
            if bits == 16:
                readme = "%s!%s/README.TXT" % (image, inner)
                _, out, _, _ = krizclean("--all-files", image)
                check(readme + ": infected" in out, label + ": --all-files: " + out)

            # A second run finds nothing left to do, and changes nothing.
            status, out, _, _ = krizclean("--clean", image)
            check(status == 0 and read(image) == after, label + ": the second run: " + out)

    # An image that a walk meets with --inside is cleaned the same way.
    folder = os.path.join(WORK, "machines", "win98")
    os.makedirs(folder)
    image = os.path.join(folder, "C.HDD")
    offset = make_fat(image, 16, True)
    status, out, err, data = krizclean("--inside", "--clean", os.path.dirname(folder))
    check(data["counts"]["disinfected"] == len(INFECTED)
          and all(read_back(image, offset, n) == read(os.path.join(EXPECTED, n)) for n in NAMES),
          "an image in a walked folder: %s %s" % (out, err))

    # An image the user may not write is scanned and reported, never written.
    image = os.path.join(WORK, "locked.img")
    make_fat(image, 12, False)
    before = read(image)
    os.chmod(image, 0o444)
    status, out, err, data = krizclean("--clean", image)
    os.chmod(image, 0o644)
    check(read(image) == before, "a read-only image was written")
    reasons = {o.get("reason", "") for o in data["objects"]}
    check(all(o["status"] == "cannot disinfect" for o in data["objects"])
          and reasons == {"the image is read-only"} and "the image is read-only" in err,
          "a read-only image: %s %s" % (data["objects"], err))


def group_kill():
    image = os.path.join(WORK, "kill.img")
    make_fat(image, 16, False)
    original = read(image)
    work = os.path.join(WORK, "k.img")
    journal = work + ".kzj"

    def files_whole(when):
        complaint = fsck(work, 0)
        check(complaint is None, "%s: fsck.fat -n: %s" % (when, complaint))
        for name in NAMES:
            now = read_back(work, 0, name)
            check(now in (read(os.path.join(DRIVE, name)), read(os.path.join(EXPECTED, name))),
                  "%s: %s is half repaired" % (when, name))

    kills = 0
    for calls in ("pwrite64", "fsync", "unlink", "unlinkat", "openat", "write"):
        n = 0
        while True:
            n += 1
            shutil.copyfile(image, work)
            if os.path.exists(journal):
                os.remove(journal)
            result = run(["strace", "-f", "-o", "/dev/null", "-e", "trace=" + calls, "-e",
                          "inject=%s:signal=SIGKILL:when=%d" % (calls, n), KRIZCLEAN, "--clean",
                          "-q", work])
            if result.returncode not in (137, -9):  # strace dies as its child did
                break
            kills += 1
            when = "%s #%d" % (calls, n)
            # Right after the kill the image is its original where no journal
            # stands beside it; with one, the next run puts it back first.
            if not os.path.exists(journal):
                files_whole(when)
            # A scan that only reads writes nothing: the image and its
            # journal stay as the kill left them, and the image is said to
            # be half-way and not scanned. The next --clean finishes it.
            had_journal = os.path.exists(journal)
            before = (read(work), read(journal) if had_journal else None)
            status, out, err, _ = krizclean(work)
            check((read(work), read(journal) if os.path.exists(journal) else None) == before,
                  when + ": a scan-only run wrote")
            if had_journal:
                check(status == 2 and "interrupted cleaning: run with --clean to finish it" in err,
                      when + ": a scan-only run did not say the journal: %s %r" % (status, err))
            krizclean("--clean", work)
            check(not os.path.exists(journal), when + ": the next run left the journal")
            files_whole(when + ", after the next cleaning")
            for name in NAMES:
                check(read_back(work, 0, name) == read(os.path.join(EXPECTED, name)),
                      "%s: %s is not clean after a run to its end" % (when, name))
        print("%s: killed at each of %d calls" % (calls, n - 1), flush=True)
    check(kills > 50, "only %d kills" % kills)
    check(read(image) == original, "the model image changed")


def group_readonly():
    # NTFS: mkntfs on a file, the files put in with ntfscp.
    ntfs = os.path.join(WORK, "ntfs.img")
    with open(ntfs, "wb") as f:
        f.truncate(16 << 20)
    tool("mkntfs", "-q", "-F", "-f", ntfs)
    for name in ("SETUP.EXE", "Program Files/Old Games/clean program.exe"):
        tool("ntfscp", "-q", ntfs, os.path.join(DRIVE, name), os.path.basename(name))
    # ISO 9660 with Joliet long names, by xorriso.
    iso = os.path.join(WORK, "cd.iso")
    tool("xorriso", "-as", "mkisofs", "-quiet", "-J", "-R", "-o", iso, DRIVE)

    everything = ["/" + n for n in INFECTED]
    for image, infected, kind in ((ntfs, ["/SETUP.EXE"], "NTFS"), (iso, everything, "ISO 9660")):
        before = sha(image)
        status, out, err, data = krizclean("--clean", image)
        check(sha(image) == before, kind + ": the image was written")
        check(not os.path.exists(image + ".kzj"), kind + ": a journal was left")
        found = {o["inner_path"]: o for o in data["objects"]}
        check(set(found) == set(infected), "%s: found %s" % (kind, sorted(found)))
        for name, o in found.items():
            check(o["status"] == "cannot disinfect" and o["container"] == image
                  and o["reason"].startswith("read-only container"),
                  "%s: %s reported %s" % (kind, name, o))
            check("%s!%s: not cleaned: read-only container" % (image, name) in err,
                  "%s: %s: standard error says %s" % (kind, name, err))
        check(data["counts"]["disinfected"] == 0
              and data["counts"]["could_not_disinfect"] == len(infected),
              kind + ": counts %s" % data["counts"])


# --- virtual machine disks, made from raw images by qemu-img convert

# name: (qemu-img's format, its options); every one is cleaned through QEMU.
VIRTUAL_FORMATS = {
    "qcow2": ("qcow2", []),
    "vhd-fixed": ("vpc", ["-o", "subformat=fixed,force_size=on"]),
    "vhd-dynamic": ("vpc", ["-o", "subformat=dynamic,force_size=on"]),
    "vhdx": ("vhdx", []),
    "vdi": ("vdi", []),
    "vmdk-sparse": ("vmdk", ["-o", "subformat=monolithicSparse"]),
    "vmdk-flat": ("vmdk", ["-o", "subformat=monolithicFlat"]),
    "vmdk-split": ("vmdk", ["-o", "subformat=twoGbMaxExtentSparse"]),
}


def convert(raw, kind, path):
    fmt, options = VIRTUAL_FORMATS[kind]
    tool("qemu-img", "convert", "-f", "raw", "-O", fmt, *options, raw, path)


def back_to_raw(path, fmt):
    out = os.path.join(WORK, "back.raw")
    tool("qemu-img", "convert", "-f", fmt, "-O", "raw", path, out)
    return read(out)


def qemu_check(path, fmt):
    """qemu-img check's complaint, or None (vpc has no check)."""
    if fmt == "vpc":
        return None
    result = run(["qemu-img", "check", "-f", fmt, path])
    text = result.stdout.decode(errors="replace") + result.stderr.decode(errors="replace")
    return None if result.returncode == 0 and "No errors" in text else text


def servers_left():
    """qemu-nbd processes that krizclean started under this test's folder."""
    left = []
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                line = f.read()
        except OSError:
            continue
        if b"qemu-nbd" in line and WORK.encode() in line:
            left.append(pid)
    return left


def no_server_left(when):
    deadline = time.time() + 5
    while servers_left() and time.time() < deadline:
        time.sleep(0.02)
    check(not servers_left(), when + ": a qemu-nbd process was left")
    stale = [n for n in os.listdir(VIRTUAL_TMP) if n.startswith("krizclean-disk")]
    check(not stale, when + ": its private folder was left: %s" % stale)


VIRTUAL_TMP = os.path.join(WORK, "tmp")
os.makedirs(VIRTUAL_TMP, exist_ok=True)
ENV["TMPDIR"] = VIRTUAL_TMP


def group_virtual():
    # FAT12, FAT16 behind an MBR and FAT32, each in every format: cleaned in
    # place, converted back, byte for byte the raw image cleaned the same way.
    for bits, partitioned in ((12, False), (16, True), (32, False)):
        raw = os.path.join(WORK, "fat%d.img" % bits)
        make_fat(raw, bits, partitioned)
        cleaned = os.path.join(WORK, "fat%d-clean.img" % bits)
        shutil.copyfile(raw, cleaned)
        krizclean("--clean", cleaned)
        prefix = "/partition1" if partitioned else ""
        for kind, (fmt, _) in VIRTUAL_FORMATS.items():
            when = "FAT%d, %s" % (bits, kind)
            folder = os.path.join(WORK, "disk-" + kind)
            os.makedirs(folder)
            disk = os.path.join(folder, "disk." + kind)
            convert(raw, kind, disk)
            before = {n: sha(os.path.join(folder, n)) for n in os.listdir(folder)}
            status, out, err, data = krizclean(disk)
            check(status == 1 and {n: sha(os.path.join(folder, n)) for n in os.listdir(folder)}
                  == before, when + ": a scan wrote: %s" % err)
            found = {o["inner_path"]: o["status"] for o in data["objects"]}
            check(found == {prefix + "/" + n: "infected" for n in INFECTED}
                  or all(found.get(prefix + "/" + n) == "infected" for n in INFECTED),
                  when + ": the scan found %s" % found)
            status, out, err, data = krizclean("--clean", disk)
            check(data["counts"]["disinfected"] == len(INFECTED),
                  when + ": counts %s, %s" % (data["counts"], err))
            check(back_to_raw(disk, fmt) == read(cleaned),
                  when + ": converted back, not the raw image cleaned the same way")
            complaint = qemu_check(disk, fmt)
            check(complaint is None, when + ": qemu-img check: %s" % complaint)
            check(not os.path.exists(disk + ".kzj"), when + ": a journal was left")
            no_server_left(when)
            shutil.rmtree(folder)

    raw = os.path.join(WORK, "disk.img")
    make_fat(raw, 16, False)
    cleaned = os.path.join(WORK, "clean.img")
    shutil.copyfile(raw, cleaned)
    krizclean("--clean", cleaned)

    # A streamOptimized VMDK: QEMU reads it only; scanned, reported so.
    stream = os.path.join(WORK, "stream.vmdk")
    tool("qemu-img", "convert", "-f", "raw", "-O", "vmdk", "-o", "subformat=streamOptimized",
         raw, stream)
    before = sha(stream)
    status, out, err, data = krizclean("--clean", stream)
    check(sha(stream) == before, "streamOptimized: written")
    check(len(data["objects"]) == len(INFECTED) and all(
        o["status"] == "cannot disinfect" and "streamOptimized" in o["reason"]
        for o in data["objects"]), "streamOptimized: %s" % data["objects"])

    # A qcow2 over a backing file beside it, named relatively: cleaned in
    # the top layer, the backing file unchanged.
    folder = os.path.join(WORK, "layers")
    os.makedirs(folder)
    base = os.path.join(folder, "base.img")
    shutil.copyfile(raw, base)
    top = os.path.join(folder, "top.qcow2")
    tool("qemu-img", "create", "-q", "-f", "qcow2", "-b", "base.img", "-F", "raw", top)
    base_sha = sha(base)
    status, out, err, data = krizclean("--clean", top)
    check(data["counts"]["disinfected"] == len(INFECTED), "backing: %s %s" % (data["counts"], err))
    check(sha(base) == base_sha, "backing: the backing file was written")
    check(back_to_raw(top, "qcow2") == read(cleaned), "backing: not cleaned exactly")
    check(qemu_check(top, "qcow2") is None, "backing: qemu-img check")

    # Backing files that are not followed: each refused with the reason,
    # nothing written, nothing read from where they point.
    os.symlink("base.img", os.path.join(folder, "link.img"))
    stranger = os.path.join(folder, "stranger.img")
    shutil.copyfile(raw, stranger)
    os.chown(stranger, 65534, 65534)
    for backing, fmt, said in (("/etc/passwd", "raw", "not a file beside it: /etc/passwd"),
                               ("../disk.img", "raw", "not a file beside it: ../disk.img"),
                               ("link.img", "raw", "no regular file beside it: link.img"),
                               ("stranger.img", "raw", "belongs to another user"),
                               ("loop.qcow2", "qcow2", "a loop")):
        evil = os.path.join(folder, "loop.qcow2" if backing == "loop.qcow2" else "evil.qcow2")
        if os.path.exists(evil):
            os.remove(evil)
        tool("qemu-img", "create", "-q", "-f", "qcow2", "-u", "-b", backing, "-F", fmt, evil,
             "16M")
        before = sha(evil)
        status, out, err, data = krizclean("--clean", evil)
        check(sha(evil) == before, backing + ": written")
        check(len(data["objects"]) == 1 and data["objects"][0]["status"] == "cannot open"
              and said in data["objects"][0]["reason"],
              "%s: %s %s" % (backing, data["objects"], err))
        os.remove(evil)
    no_server_left("backing files")

    # Refused by their marks: a differencing VHD, a VMDK whose descriptor
    # names an extent elsewhere.
    vmdk = os.path.join(folder, "far.vmdk")
    with open(vmdk, "w") as f:
        f.write('# Disk DescriptorFile\nversion=1\nCID=1\nparentCID=ffffffff\n'
                'createType="monolithicFlat"\nRW 32768 FLAT "/etc/shadow" 0\n')
    status, out, err, data = krizclean(vmdk)
    check(data["objects"][0]["status"] == "cannot open"
          and "not a file beside it: /etc/shadow" in data["objects"][0]["reason"],
          "a VMDK with a far extent: %s" % data["objects"])

    # An image that another program holds (QEMU's own lock, as a running
    # virtual machine's): scanned, reported in use, not written.
    disk = os.path.join(WORK, "held.qcow2")
    convert(raw, "qcow2", disk)
    socket = os.path.join(WORK, "held.sock")
    holder = subprocess.Popen(["qemu-nbd", "-f", "qcow2", "-k", socket, "-t", disk],
                              start_new_session=True)
    try:
        deadline = time.time() + 30
        while not os.path.exists(socket) and time.time() < deadline:
            time.sleep(0.01)
        time.sleep(0.2)
        before = sha(disk)
        status, out, err, data = krizclean("--clean", disk)
    finally:
        os.killpg(holder.pid, signal.SIGKILL)
        holder.wait()
    check(sha(disk) == before, "a held image was written")
    check(len(data["objects"]) == len(INFECTED) and all(
        o["status"] == "cannot disinfect" and "in use by another program" in o["reason"]
        for o in data["objects"]), "a held image: %s %s" % (data["objects"], err))
    no_server_left("a held image")


def extended_disk(path, loop=False):
    """A disk with a primary FAT16 volume and an extended partition holding
    two logical FAT16 volumes, each filled with the specimens; with `loop`,
    the second link of the chain leads back to the first. The volumes'
    offsets in bytes."""
    primary, extended, logicals = (2048, 16384), (18432, 112640), [20480, 55296]
    ebrs = [18432, 53248]

    def entry(kind, start, size):
        return struct.pack("<B3sB3sII", 0, b"\0\0\0", kind, b"\0\0\0", start, size)

    disk = bytearray(64 << 20)
    mbr = bytearray(512)
    mbr[446:462] = entry(0x06, *primary)
    mbr[462:478] = entry(0x05, *extended)
    mbr[510:512] = b"\x55\xaa"
    disk[0:512] = mbr
    for i, ebr_at in enumerate(ebrs):
        ebr = bytearray(512)
        ebr[446:462] = entry(0x06, logicals[i] - ebr_at, 32768)
        if i + 1 < len(ebrs):
            ebr[462:478] = entry(0x05, ebrs[i + 1] - extended[0], 34816)
        elif loop:
            ebr[462:478] = entry(0x05, 0, 34816)
        ebr[510:512] = b"\x55\xaa"
        disk[ebr_at * 512:ebr_at * 512 + 512] = ebr
    offsets = []
    for start, sectors in ((primary[0], primary[1]), (logicals[0], 32768), (logicals[1], 32768)):
        volume = path + ".volume"
        if os.path.exists(volume):
            os.remove(volume)
        tool("mkfs.fat", "-C", "-h", str(start), volume, str(sectors // 2))
        for name in sorted(os.listdir(DRIVE)):
            tool("mcopy", "-s", "-i", volume, os.path.join(DRIVE, name), "::/")
        disk[start * 512:start * 512 + sectors * 512] = read(volume)
        os.remove(volume)
        offsets.append(start * 512)
    with open(path, "wb") as f:
        f.write(disk)
    return offsets


def group_partitions():
    """A primary and two logical FAT volumes (an extended partition), in a
    raw image and in a qcow2: every volume found and cleaned; a chain of
    logical partitions that loops: refused with the reason, not written."""
    for kind in ("raw", "qcow2"):
        raw = os.path.join(WORK, "extended.img")
        offsets = extended_disk(raw)
        disk = raw if kind == "raw" else os.path.join(WORK, "extended.qcow2")
        if kind != "raw":
            convert(raw, "qcow2", disk)
        status, out, err, data = krizclean("--clean", disk)
        check(data["counts"]["disinfected"] == 3 * len(INFECTED),
              "%s: an extended partition: %s %s" % (kind, data["counts"], err))
        if kind != "raw":
            tool("qemu-img", "convert", "-f", "qcow2", "-O", "raw", disk, raw)
        for offset in offsets:
            check(fsck(raw, offset) is None, "%s: volume at %d: fsck" % (kind, offset))
            for name in NAMES:
                check(read_back(raw, offset, name) == read(os.path.join(EXPECTED, name)),
                      "%s: volume at %d: %s is not clean" % (kind, offset, name))
    # A bare FAT volume whose boot sector holds stray bytes where a
    # partition table would lie: a volume still, no "/partition1".
    stray = os.path.join(WORK, "stray.img")
    make_fat(stray, 16, False)
    with open(stray, "r+b") as f:
        f.seek(446)
        f.write(struct.pack("<B3sB3sII", 0, b"\0\0\0", 0x06, b"\0\0\0", 1, 16))
    status, out, err, data = krizclean(stray)
    found = sorted(o["inner_path"] for o in data["objects"])
    check(found == sorted("/" + n for n in INFECTED), "stray partition bytes: %s" % found)

    looped = os.path.join(WORK, "looped.img")
    extended_disk(looped, loop=True)
    overlapping = os.path.join(WORK, "overlapping.img")
    extended_disk(overlapping)
    with open(overlapping, "r+b") as f:  # the first logical one reaches into the second
        f.seek(18432 * 512 + 446 + 12)
        f.write(struct.pack("<I", 40000))
    for disk, said in ((looped, "a loop in its chain of logical partitions"),
                       (overlapping, "two of its partitions overlap")):
        before = sha(disk)
        status, out, err, data = krizclean("--clean", disk)
        check(sha(disk) == before, said + ": written")
        check("its partition table is refused: " + said in err,
              "%s: not said: %s %s" % (said, err, data and data["counts"]))


def group_virtual_kill():
    """A qcow2 cleaned through qemu-nbd, krizclean killed at each of its
    journal's writes, flushes and removals and at every 2nd request to the
    server, then the server killed at each of its writes and flushes: right
    after, each file inside is its original or exactly clean (or the
    journal stands), qemu-img check finds no damage, no server is left; the
    next run puts back and cleans, to the raw image cleaned the same way."""
    raw = os.path.join(WORK, "disk.img")
    make_fat(raw, 16, False)
    cleaned = os.path.join(WORK, "clean.img")
    shutil.copyfile(raw, cleaned)
    krizclean("--clean", cleaned)
    model = os.path.join(WORK, "model.qcow2")
    convert(raw, "qcow2", model)
    work = os.path.join(WORK, "k.qcow2")
    journal = work + ".kzj"
    wrapped = os.path.join(WORK, "wrapped")
    os.makedirs(wrapped)

    def whole(when):
        complaint = qemu_check(work, "qcow2")
        check(complaint is None or ("leaked" in complaint and "ERROR" not in complaint),
              "%s: qemu-img check: %s" % (when, complaint))
        if os.path.exists(journal):
            return
        now = os.path.join(WORK, "now.raw")
        tool("qemu-img", "convert", "-f", "qcow2", "-O", "raw", work, now)
        check(fsck(now, 0) is None, when + ": fsck.fat -n finds fault")
        for name in NAMES:
            inside = read_back(now, 0, name)
            check(inside in (read(os.path.join(DRIVE, name)), read(os.path.join(EXPECTED, name))),
                  "%s: %s is half cleaned, with no journal" % (when, name))

    def next_runs(when):
        krizclean("--clean", work)
        check(not os.path.exists(journal), when + ": the next run left the journal")
        check(back_to_raw(work, "qcow2") == read(cleaned),
              when + ": not exactly clean after the next run")
        no_server_left(when)

    kills = 0
    for calls, step in (("pwrite64", 1), ("fsync", 1), ("unlinkat", 1), ("sendto", 2)):
        n = 0
        while True:
            n += step
            shutil.copyfile(model, work)
            if os.path.exists(journal):
                os.remove(journal)
            result = run(["strace", "-o", "/dev/null", "-e", "trace=" + calls, "-e",
                          "inject=%s:signal=SIGKILL:when=%d" % (calls, n), KRIZCLEAN, "--clean",
                          "-q", work])
            if result.returncode not in (137, -9):
                break
            kills += 1
            when = "krizclean killed at %s #%d" % (calls, n)
            no_server_left(when)
            whole(when)
            next_runs(when)
    check(kills > 40, "only %d kills of krizclean" % kills)

    # The server killed at each of its writes and flushes (each thread's
    # n-th), through a qemu-nbd first on the PATH.
    with open(os.path.join(wrapped, "qemu-nbd"), "w") as f:
        # -D: the server keeps its process id, which its socket
        # activation names.
        f.write('#!/bin/sh\nexec strace -D -f -o /dev/null -e trace=pwrite64,pwritev,fdatasync,'
                'fsync -e inject=pwrite64,pwritev,fdatasync,fsync:signal=SIGKILL:when=$KILL_AT '
                '%s "$@"\n' % shutil.which("qemu-nbd"))
    os.chmod(os.path.join(wrapped, "qemu-nbd"), 0o755)
    server_kills = 0
    for n in range(1, 200):
        shutil.copyfile(model, work)
        env = dict(ENV, PATH=wrapped + ":" + ENV["PATH"], KILL_AT=str(n))
        result = subprocess.run([KRIZCLEAN, "--clean", "-q", work], env=env, capture_output=True,
                                timeout=600)
        # A run that met no kill cleans every file and ends without a journal.
        if not os.path.exists(journal) and result.stderr.count(b"not cleaned") == 0:
            break
        server_kills += 1
        when = "qemu-nbd killed at write #%d" % n
        whole(when)
        next_runs(when)
    check(server_kills > 3, "only %d kills of the server" % server_kills)
    print("killed krizclean %d times, the server %d times" % (kills, server_kills), flush=True)


def rar_stored(path, root, names):
    """A RAR (format 4) archive of the files `names` below `root`, stored
    without compression, written here: Debian has no program that makes
    RAR archives. Every header carries the low 16 bits of its CRC-32."""
    import zlib

    def block(kind, flags, body):
        head = struct.pack("<BHH", kind, flags, 7 + len(body)) + body
        return struct.pack("<H", zlib.crc32(head) & 0xFFFF) + head

    out = bytearray(b"Rar!\x1a\x07\x00")
    out += block(0x73, 0, struct.pack("<HI", 0, 0))  # the archive's header
    for name in names:
        data = read(os.path.join(root, name))
        encoded = name.replace(os.sep, "/").encode()
        dos_time = (2000 - 1980) << 25 | 1 << 21 | 1 << 16
        body = struct.pack("<IIBIIBBHI", len(data), len(data), 3, zlib.crc32(data), dos_time,
                           20, 0x30, len(encoded), 0o100644) + encoded
        out += block(0x74, 0x8000, body) + data  # a file, stored
    out += block(0x7B, 0x4000, b"")  # the end of the archive
    with open(path, "wb") as f:
        f.write(out)


def archive_of(kind, path):
    """Makes an archive of the whole specimen drive."""
    names_here = sorted(os.listdir(DRIVE))
    if kind == "zip":
        subprocess.run(["zip", "-qr", path] + names_here, cwd=DRIVE, check=True)
    elif kind == "7z":
        subprocess.run(["7z", "a", "-bd", "-y", path] + names_here, cwd=DRIVE, check=True,
                       capture_output=True)
    elif kind == "tar.gz":
        subprocess.run(["tar", "czf", path] + names_here, cwd=DRIVE, check=True)
    elif kind == "lzh":
        subprocess.run(["lha", "aq", path] + names_here, cwd=DRIVE, check=True,
                       capture_output=True)
    elif kind == "cab":
        files = [n for n in NAMES]
        subprocess.run(["gcab", "-c", "-z", path] + files, cwd=DRIVE, check=True)
    elif kind == "iso":
        tool("xorriso", "-as", "mkisofs", "-quiet", "-J", "-R", "-o", path, DRIVE)
    elif kind == "rar":
        rar_stored(path, DRIVE, NAMES)


def group_archives():
    for kind in ("zip", "7z", "tar.gz", "lzh", "cab", "iso", "rar"):
        path = os.path.join(WORK, "old." + kind)
        archive_of(kind, path)
        # An ISO is read as a disk image first; the rest as archives.
        before = sha(path)
        status, out, err, data = krizclean("--clean", path)
        found = {o["inner_path"]: o for o in data["objects"]}
        check(set(found) == {"/" + n for n in INFECTED},
              "%s: found %s, status %d, %s" % (kind, sorted(found), status, err))
        check(all(o["status"] == "cannot disinfect" and o["container"] == path
                  and o["reason"].startswith("read-only container") for o in found.values()),
              "%s: %s" % (kind, list(found.values())))
        check(sha(path) == before, kind + ": the archive was written")

    # A ZIP inside a ZIP inside a folder, met with --inside.
    folder = os.path.join(WORK, "folder")
    os.makedirs(folder)
    inner = os.path.join(WORK, "inner.zip")
    archive_of("zip", inner)
    outer = os.path.join(folder, "Old Stuff.zip")
    with zipfile.ZipFile(outer, "w", zipfile.ZIP_DEFLATED) as z:
        z.write(inner, "disks/INNER.ZIP")
        z.write(os.path.join(DRIVE, "SETUP.EXE"), "SETUP.EXE")
    status, out, err, data = krizclean(folder)
    check(not data["objects"], "without --inside a folder's archives are not looked into")
    status, out, err, data = krizclean("--inside", folder)
    found = {o["inner_path"] for o in data["objects"]}
    nested = {"/disks/INNER.ZIP!/" + n for n in INFECTED}
    check(found == nested | {"/SETUP.EXE"}, "nested: found %s" % sorted(found))
    check(status == 1 and "%s!/disks/INNER.ZIP!/SETUP.EXE: infected" % outer in out,
          "nested: %s" % out)

    # Bombs: a member that inflates far beyond its archive, and an archive
    # nested deeper than the limit. Each is reported as not scanned.
    bomb = os.path.join(WORK, "bomb.zip")
    with zipfile.ZipFile(bomb, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        with z.open("PAYLOAD.ZIP", "w", force_zip64=True) as member:
            zeros = bytes(1 << 20)
            for _ in range(300):
                member.write(zeros)
        z.write(os.path.join(DRIVE, "SETUP.EXE"), "zzz/AFTER.EXE")
    status, out, err, data = krizclean(bomb)
    problems = [o for o in data["objects"] if o["status"] == "cannot open"]
    check(status == 2 and problems and "archive bomb" in problems[0].get("reason", "")
          and data["not_scanned"]["files"] >= 1,
          "the bomb: status %d, %s, %s" % (status, data["objects"], err))
    check("archive bomb" in err, "the bomb is not on standard error: " + err)

    # A member past the limit of 256 MiB decompressed, in an archive large
    # enough (2 MiB of noise) that the ratio does not stop it first.
    big = os.path.join(WORK, "big.zip")
    with zipfile.ZipFile(big, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        with z.open("BIG.ZIP", "w", force_zip64=True) as member:
            member.write(os.urandom(2 << 20))
            zeros = bytes(1 << 20)
            for _ in range(270):
                member.write(zeros)
    status, out, err, data = krizclean(big)
    reasons = [o.get("reason", "") for o in data["objects"] if o["status"] == "cannot open"]
    check(status == 2 and any("larger than the limit of 256 MiB" in r for r in reasons),
          "a member too large: %s" % data["objects"])

    many = os.path.join(WORK, "many.zip")
    with zipfile.ZipFile(many, "w") as z:
        for i in range(100001):
            z.writestr("F%06d.TXT" % i, b"")
    status, out, err, data = krizclean(many)
    reasons = [o.get("reason", "") for o in data["objects"] if o["status"] == "cannot open"]
    check(status == 2 and any("more members than the limit" in r for r in reasons),
          "too many members: %s" % data["objects"])

    deep = os.path.join(WORK, "deep0.zip")
    with zipfile.ZipFile(deep, "w") as z:
        z.write(os.path.join(DRIVE, "SETUP.EXE"), "SETUP.EXE")
    for level in range(1, 6):
        nxt = os.path.join(WORK, "deep%d.zip" % level)
        with zipfile.ZipFile(nxt, "w") as z:
            z.write(deep, "LEVEL%d.ZIP" % level)
        deep = nxt
    status, out, err, data = krizclean(deep)
    reasons = [o.get("reason", "") for o in data["objects"] if o["status"] == "cannot open"]
    check(status == 2 and any("nested deeper than the limit" in r for r in reasons),
          "too deep: %s" % data["objects"])

    # Archives nested in an archive, each far larger than what should be
    # held in memory (200 MiB), with 4 MiB of noise so that no bomb limit
    # stops them: the scan ends, and takes little memory.
    inner = os.path.join(WORK, "large-inner.zip")
    with zipfile.ZipFile(inner, "w", zipfile.ZIP_STORED) as z:
        with z.open("DATA.BIN", "w", force_zip64=True) as member:
            zeros = bytes(1 << 20)
            for _ in range(200):
                member.write(zeros)
        z.write(os.path.join(DRIVE, "SETUP.EXE"), "SETUP.EXE")
    nest = os.path.join(WORK, "nest.zip")
    with zipfile.ZipFile(nest, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        z.writestr("NOISE.BIN", os.urandom(4 << 20))
        z.write(inner, "A.ZIP")
        z.write(inner, "B.ZIP")
    os.remove(inner)
    log = os.path.join(WORK, "nest.out")
    with open(log, "wb") as out:
        scan = subprocess.Popen([KRIZCLEAN, "-q", nest], env=ENV, stdout=out,
                                stderr=subprocess.STDOUT)
        _, wait_status, usage = os.wait4(scan.pid, 0)
    text = read(log).decode(errors="replace")
    check(os.waitstatus_to_exitcode(wait_status) == 1 and "A.ZIP!/SETUP.EXE: infected" in text
          and "B.ZIP!/SETUP.EXE: infected" in text, "nested large archives: " + text)
    check(usage.ru_maxrss < 100 << 10,
          "nested large archives held %d MiB" % (usage.ru_maxrss >> 10))

    # A .tar.gz whose damage only the gzip trailer's check shows: read to
    # its end, reported.
    tgz = os.path.join(WORK, "damaged.tar.gz")
    archive_of("tar.gz", tgz)
    data = bytearray(read(tgz))
    data[-8] ^= 0xFF  # the CRC-32 of all the tar's bytes
    with open(tgz, "wb") as f:
        f.write(data)
    status, out, err, results = krizclean(tgz)
    found = {o["inner_path"] for o in results["objects"] if o["status"] == "infected"}
    damaged = [o for o in results["objects"] if o["status"] == "cannot open"]
    check(found == {"/" + n for n in INFECTED} and damaged
          and "damaged" in damaged[0].get("reason", "") and results["not_scanned"]["files"] == 1,
          "a damaged gzip trailer: %s %s" % (results["objects"], err))

    zip_records(os.path.join(WORK, "records"))

    # A damaged archive: its readable members are scanned, the damage reported.
    cut = os.path.join(WORK, "cut.7z")
    archive_of("7z", cut)
    with open(cut, "r+b") as f:
        f.truncate(os.path.getsize(cut) // 2)
    status, out, err, data = krizclean(cut)
    check(status == 2 and any(o["status"] == "cannot open" for o in data["objects"]),
          "a damaged archive: %s" % data["objects"])


def unlisted(data, name):
    """The ZIP `data` with the entry `name` taken out of its central
    directory, its local entry left where it is."""
    end = data.rfind(b"PK\x05\x06")
    count, size, offset = struct.unpack_from("<HII", data, end + 10)
    kept, at = [], offset
    for _ in range(count):
        lengths = struct.unpack_from("<HHH", data, at + 28)
        entry = data[at:at + 46 + sum(lengths)]
        if entry[46:46 + lengths[0]] != name.encode():
            kept.append(entry)
        at += len(entry)
    directory = b"".join(kept)
    tail = bytearray(data[end:])
    struct.pack_into("<HHI", tail, 8, len(kept), len(kept), len(directory))
    return data[:offset] + directory + bytes(tail)


def names_off_by_one(data, delta):
    """The ZIP `data` with the name length of each local header `delta` off
    (the central directory's left right)."""
    data = bytearray(data)
    start = data.find(b"PK\x03\x04")
    while start >= 0:
        struct.pack_into("<H", data, start + 26, struct.unpack_from("<H", data, start + 26)[0] + delta)
        start = data.find(b"PK\x03\x04", start + 4)
    return bytes(data)


def bytes_read(lines):
    """What the read calls of an strace log returned, summed."""
    total = 0
    for line in lines:
        if ("read(" in line or "pread64(" in line) and " = " in line:
            value = line.rsplit(" = ", 1)[1].split()[0]
            total += int(value) if value.isdigit() else 0
    return total


def zip_records(folder):
    """ZIPs whose records do not agree with their entries: a member that the
    central directory does not list (found, said so), name lengths one byte
    off (the archive listed "cannot open"), and a sparse fake that only
    begins as a ZIP (given up after its first bytes and its end, with an
    infected program beside it scanned)."""
    os.makedirs(folder)
    infected = read(os.path.join(DRIVE, "SETUP.EXE"))
    text = read(os.path.join(DRIVE, "README.TXT"))
    plain = io_zip([("setup.exe", infected), ("readme.txt", text)])
    hidden = os.path.join(folder, "hidden.zip")
    with open(hidden, "wb") as f:
        f.write(unlisted(plain, "setup.exe"))
    with zipfile.ZipFile(hidden) as z:
        assert z.namelist() == ["readme.txt"]
    status, out, err, data = krizclean(hidden)
    found = [o for o in data["objects"] if o["inner_path"] == "/setup.exe"]
    check(status == 1 and found and found[0]["status"] == "infected"
          and "not in the archive's central directory" in found[0].get("reason", "")
          and "hidden.zip!/setup.exe: not in the archive's central directory" in err,
          "a member the central directory does not list: status %d, %s, %s"
          % (status, data["objects"], err))

    members = [("readme.txt", text), ("clean.exe", read(os.path.join(EXPECTED, "SETUP.EXE")))]
    for delta in (1, -1):
        bad = os.path.join(folder, "names%+d.zip" % delta)
        with open(bad, "wb") as f:
            f.write(names_off_by_one(io_zip(members), delta))
        status, out, err, data = krizclean(bad)
        damaged = [o for o in data["objects"] if o["status"] == "cannot open" and o["path"] == bad]
        check(status == 2 and damaged and "damaged" in damaged[0].get("reason", "")
              and "%s: the archive is damaged" % bad in err,
              "name lengths %+d: status %d, %s, %s" % (delta, status, data["objects"], err))

    # 4 bytes written, 64 GiB long: what is read is counted (strace), and
    # an infected program beside it is scanned in the same run.
    sparse = os.path.join(folder, "sparse")
    os.makedirs(sparse)
    fake = os.path.join(sparse, "fake.zip")
    with open(fake, "wb") as f:
        f.write(b"PK\x03\x04")
        f.truncate(64 << 30)
    with open(os.path.join(sparse, "SETUP.EXE"), "wb") as f:
        f.write(infected)
    out = os.path.join(WORK, "sparse.json")
    try:
        lines = syscalls(["--json", out, "--inside", sparse], "read,pread64", timeout=300)
    except subprocess.TimeoutExpired:
        lines = None
    check(lines is not None and bytes_read(lines) < 64 << 20,
          "a sparse fake ZIP: %s bytes read" % (lines and bytes_read(lines)))
    if lines is not None:
        with open(out) as f:
            data = json.load(f)
        states = {(o["path"], o["status"]) for o in data["objects"]}
        check(states == {(fake, "cannot open"), (os.path.join(sparse, "SETUP.EXE"), "infected")},
              "a sparse fake ZIP: %s" % data["objects"])
    os.remove(fake)


def io_zip(members):
    """ZIP bytes holding `members` (name, bytes), stored."""
    path = os.path.join(WORK, "made.zip")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        for name, data in members:
            z.writestr(name, data)
    data = read(path)
    os.remove(path)
    return data


def hostile_images():
    """(what, image bytes, offset) for each kind of damage, on a FAT16 image."""
    image = os.path.join(WORK, "good.img")
    make_fat(image, 16, False)
    good = read(image)
    fat = Fat(good, 0)
    at, cluster = fat.find("SETUP.EXE")
    chain = fat.chain(cluster)

    def patched(changes):
        data = bytearray(good)
        for offset, raw in changes:
            data[offset:offset + len(raw)] = raw
        return bytes(data)

    fat_bytes = fat.fat_end - fat.fat
    copies = [fat.fat, fat.fat + fat_bytes // 2]
    yield "cut short", good[:len(good) // 3]
    yield "cut inside its FAT", good[:fat.fat + 700]
    yield "a looping chain", patched(
        [(c + chain[2] * 2, struct.pack("<H", chain[0])) for c in copies])
    yield "a chain into the FAT's reserved values", patched(
        [(c + chain[1] * 2, struct.pack("<H", 0xFFF0)) for c in copies])
    yield "an entry pointing outside the image", patched([(at + 26, struct.pack("<H", 0xFFEE))])
    yield "an entry pointing at cluster 1", patched([(at + 26, struct.pack("<H", 1))])
    yield "a huge size", patched([(at + 28, struct.pack("<I", 0xFFFFFFFF))])
    yield "two files sharing clusters", patched(
        [(fat.find("READONLY.EXE")[0] + 26, struct.pack("<H", cluster))])
    yield "FAT copies that disagree", patched([(copies[1] + chain[-1] * 2, b"\x00\x00")])
    yield "a directory loop", patched([
        (fat.find("Program Files/Old Games")[0] + 26,
         struct.pack("<H", fat.find("Program Files")[1]))])
    yield "a directory listed twice", patched([
        (fat.find("WINDOWS")[0] + 26, struct.pack("<H", fat.find("Program Files")[1]))])
    yield "a nonsense boot sector", patched([(11, b"\x00\x00\x00"), (22, b"\xff\xff")])
    yield "a cluster size of zero", patched([(13, b"\x00")])


def group_hostile():
    for what, data in hostile_images():
        image = os.path.join(WORK, "hostile.img")
        with open(image, "wb") as f:
            f.write(data)
        status, out, err, results = krizclean("--clean", image)
        check(read(image) == data, what + ": the damaged image was written")
        check(not os.path.exists(image + ".kzj"), what + ": a journal was left")
        check(results is not None, what + ": no JSON")
        if results is None:
            continue
        statuses = [o["status"] for o in results["objects"]]
        check("disinfected" not in statuses, what + ": reported cleaned: %s" % statuses)
        problems = [o for o in results["objects"] if o["status"] in
                    ("cannot open", "cannot disinfect") and o.get("reason")]
        check(problems and err.strip(), "%s: no error reported (status %d): %s %s"
              % (what, status, results["objects"], err))
        said = {"a directory loop": "a directory loop: it leads back",
                "a directory listed twice": "the same directory as one listed before"}.get(what)
        check(said is None or said in err, "%s: not said so: %s" % (what, err))

    for what, data in hostile_archives():
        archive = os.path.join(WORK, "hostile.zip")
        with open(archive, "wb") as f:
            f.write(data)
        status, out, err, results = krizclean("--clean", archive)
        check(read(archive) == data and results is not None, what + ": written, or no JSON")
        if results is None:
            continue
        # Each member is found infected, or what could not be read is reported.
        found = {o["inner_path"] for o in results["objects"] if o["status"] == "cannot disinfect"}
        reported = any(o["status"] == "cannot open" for o in results["objects"])
        check(found == {"/SETUP.EXE", "/READONLY.EXE"} or (reported and status != 0 and err),
              "%s: passed in silence (status %d): %s %s" % (what, status, results["objects"], err))


def hostile_archives():
    """(what, archive bytes) for damaged ZIPs holding an infected program."""
    path = os.path.join(WORK, "good.zip")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        z.write(os.path.join(DRIVE, "SETUP.EXE"), "SETUP.EXE")
        z.write(os.path.join(DRIVE, "READONLY.EXE"), "READONLY.EXE")
    good = read(path)
    central = good.rfind(b"PK\x01\x02")

    def sizes(data, value):
        data = bytearray(data)
        for header, at in ((b"PK\x03\x04", 22), (b"PK\x01\x02", 24)):
            start = data.find(header)
            while start >= 0:
                data[start + at:start + at + 4] = struct.pack("<I", value)
                start = data.find(header, start + 4)
        return bytes(data)

    yield "a ZIP cut short", good[:len(good) // 2]
    yield "a ZIP cut inside its directory", good[:central + 20]
    yield "a ZIP whose members claim huge sizes", sizes(good, 0xFFFFFFF0)
    yield "a ZIP whose members claim no size", sizes(good, 0)


# --- directory entries written by hand


def infected_programs():
    """(name, infected bytes, clean bytes) of the specimens' infected programs."""
    return [(n, read(os.path.join(DRIVE, n)), read(os.path.join(EXPECTED, n)))
            for n in INFECTED if n.upper().endswith(".EXE")]


def lfn_entries(name, checksum):
    """The long-name entries of `name` for a short entry of `checksum`, in the
    order they are stored (last part first)."""
    units = list(name.encode("utf-16-le"))
    units = [units[i] | units[i + 1] << 8 for i in range(0, len(units), 2)]
    parts = (len(units) + 12) // 13
    units += [0] if len(units) % 13 else []
    units += [0xFFFF] * (parts * 13 - len(units))
    out = []
    for order in range(parts, 0, -1):
        chunk = units[(order - 1) * 13:order * 13]
        e = bytearray(32)
        e[0] = order | (0x40 if order == parts else 0)
        e[11], e[13] = 0x0F, checksum
        for k, at in enumerate((1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30)):
            struct.pack_into("<H", e, at, chunk[k])
        out.append(bytes(e))
    return out


def short_checksum(raw11):
    total = 0
    for b in raw11:
        total = (((total & 1) << 7) + (total >> 1) + b) & 0xFF
    return total


def hand_made(path, files, layout):
    """A FAT16 image holding `files` ({"F1.EXE": bytes}, put there by mcopy),
    whose root directory is then written anew as `layout`: a list of 32-byte
    entries, each a bytes object or a function of the short entries mcopy
    wrote ({"F1.EXE": entry}). Returns the image's bytes."""
    if os.path.exists(path):
        os.remove(path)
    tool("mkfs.fat", "-C", "-F", "16", "-n", "HANDMADE", path, "16384")
    for name, data in files.items():
        src = os.path.join(WORK, name)
        with open(src, "wb") as f:
            f.write(data)
        tool("mcopy", "-i", path, src, "::/" + name)
    data = bytearray(read(path))
    fat = Fat(bytes(data), 0)
    made, label = {}, []
    for at in range(fat.root, fat.root + fat.root_bytes, 32):
        e = bytes(data[at:at + 32])
        if e[0] in (0, 0xE5) or e[11] & 0x3F == 0x0F:
            continue
        if e[11] & 0x08:
            label = [e]
            continue
        base, ext = e[0:8].decode().rstrip(), e[8:11].decode().rstrip()
        made[base + ("." + ext if ext else "")] = e
    entries = label + [item(made) if callable(item) else item for item in layout]
    root = b"".join(entries)
    data[fat.root:fat.root + fat.root_bytes] = root + bytes(fat.root_bytes - len(root))
    with open(path, "wb") as f:
        f.write(data)
    return bytes(data)


def renamed(entry, raw11=None, case=None, size=None, cluster=None):
    e = bytearray(entry)
    if raw11 is not None:
        e[0:11] = raw11
    if case is not None:
        e[12] = case
    if size is not None:
        struct.pack_into("<I", e, 28, size)
    if cluster is not None:
        struct.pack_into("<H", e, 26, cluster)
    return bytes(e)


def file_at(data, entry_at):
    """The bytes of the file whose short entry lies at `entry_at` (FAT16)."""
    fat = Fat(data, 0)
    size = struct.unpack_from("<I", data, entry_at + 28)[0]
    cluster = struct.unpack_from("<H", data, entry_at + 26)[0]
    out = b"".join(data[a:b] for a, b in (fat.span(c) for c in fat.chain(cluster)))
    return out[:size]


def root_entry_at(data, raw11):
    fat = Fat(data, 0)
    for at in range(fat.root, fat.root + fat.root_bytes, 32):
        if data[at:at + 11] == raw11:
            return at
    raise AssertionError(raw11)


def group_entries():
    (name_a, bad_a, good_a), (name_b, bad_b, good_b) = infected_programs()[:2]
    files = {"F1.EXE": bad_a, "F2.EXE": bad_b}

    # Two infected programs that two readers could take for one another: a
    # stale long name "Setup.exe" left over a short name a DOS program
    # renamed (its checksum is that of SETUP.EXE), and a lower-case short
    # name beside a twin whose long name is its upper-case form.
    stale = lfn_entries("Setup.exe", short_checksum(b"SETUP   EXE"))
    twin = lfn_entries("setup.exe", short_checksum(b"SETUP~1 EXE"))
    twins = {
        "a stale long name": (
            stale + [lambda m: renamed(m["F1.EXE"], b"SETUP1  EXE"),
                     lambda m: renamed(m["F2.EXE"], b"SETUP   EXE")],
            [("/SETUP1.EXE", b"SETUP1  EXE", good_a), ("/SETUP.EXE", b"SETUP   EXE", good_b)]),
        "a lower-case short name after a twin": (
            twin + [lambda m: renamed(m["F2.EXE"], b"SETUP~1 EXE"),
                    lambda m: renamed(m["F1.EXE"], b"SETUP   EXE", case=0x18)],
            [("/setup.exe", b"SETUP~1 EXE", good_b), ("/setup.exe", b"SETUP   EXE", good_a)]),
    }
    for what, (order, shown) in twins.items():
        image = os.path.join(WORK, "twins.img")
        data = hand_made(image, files, order)
        complaint = fsck(image, 0)
        check(complaint is None, "%s: fsck.fat -n on the image as made: %s" % (what, complaint))
        status, out, err, results = krizclean("--clean", image)
        found = [(o["inner_path"], o["status"]) for o in results["objects"]]
        check(found == [(inner, "disinfected") for inner, _, _ in shown],
              "%s: %s (status %d) %s" % (what, found, status, err))
        after = read(image)
        for inner, raw11, good in shown:
            check(file_at(after, root_entry_at(after, raw11)) == good,
                  "%s: %s is not the clean program after the cleaning" % (what, inner))
        check(fsck(image, 0) is None, what + ": fsck.fat -n after the cleaning")

    # The entry is checked again before the first write: where the entries
    # of two infected programs traded places while the question was open,
    # neither is written.
    image = os.path.join(WORK, "asked.img")
    data = hand_made(image, files, [lambda m: m["F1.EXE"], lambda m: m["F2.EXE"]])
    asking = subprocess.Popen([KRIZCLEAN, "-q", "--ask", "--json", os.path.join(WORK, "a.json"),
                               image], env=ENV, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
    asked = b""
    while b"[q]uit? " not in asked:
        more = asking.stderr.read1(4096)
        if not more:
            break
        asked += more
    first = root_entry_at(data, b"F1      EXE")
    second = root_entry_at(data, b"F2      EXE")
    changed = bytearray(data)
    changed[first:first + 32] = data[second:second + 32]
    changed[second:second + 32] = data[first:first + 32]
    with open(image, "r+b") as f:
        f.write(changed)
    out, err = asking.communicate(b"d\nd\n", timeout=120)
    with open(os.path.join(WORK, "a.json")) as f:
        objects = json.load(f)["objects"]
    check(len(objects) == 2 and all(
        o["status"] == "cannot disinfect" and "changed since it was scanned" in o.get("reason", "")
        for o in objects) and read(image) == bytes(changed),
          "an entry changed during the question: %s %s" % (objects, err[-500:]))

    # The image is the file that was read: one put at its name while the
    # question was open (the same bytes, another file) is not written.
    image = os.path.join(WORK, "swapped.img")
    data = hand_made(image, files, [lambda m: m["F1.EXE"]])
    asking = subprocess.Popen([KRIZCLEAN, "-q", "--ask", image], env=ENV, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    asked = b""
    while b"[q]uit? " not in asked:
        more = asking.stderr.read1(4096)
        if not more:
            break
        asked += more
    with open(image + ".new", "wb") as f:
        f.write(data)
    os.rename(image + ".new", image)
    out, err = asking.communicate(b"d\n", timeout=120)
    check(read(image) == data and b"cannot disinfect" in out
          and b"the image was replaced after it was read" in err,
          "an image replaced during the question: %s %s" % (out[-300:], err[-300:]))

    # Entries that name a file, each listed: scanned where its bytes can be
    # read, else "cannot open" with the reason. The names and sizes are
    # written over entries that mcopy made.
    odd = [
        ("a control byte", b"SET\x01UP  EXE", {}, "/SET\ufffdUP.EXE", "infected"),
        ("a leading space", b" SETUP  EXE", {}, "/ SETUP.EXE", "infected"),
        ("a plus", b"SET+UP  EXE", {}, "/SET+UP.EXE", "infected"),
        ("a question mark", b"SET?UP  EXE", {}, "/SET?UP.EXE", "infected"),
        ("a size past the volume", b"HUGE    EXE", {"size": 0x7FFFFFFF}, "/HUGE.EXE",
         "cannot open"),
        ("a size of 0xFFFFFFFF", b"ALLONES EXE", {"size": 0xFFFFFFFF}, "/ALLONES.EXE",
         "cannot open"),
        ("a first cluster past the volume", b"FARAWAY EXE", {"cluster": 0xFFEE},
         "/FARAWAY.EXE", "cannot open"),
    ]
    names_made = {"F%d.EXE" % i: bad_a for i in range(1, len(odd) + 3)}
    layout = [(lambda m, i=i, raw=raw, change=change: renamed(m["F%d.EXE" % (i + 1)], raw,
                                                             **change))
              for i, (_, raw, change, _, _) in enumerate(odd)]
    # Long names "." and ".." over short names of programs, each with its
    # right checksum: such a long name is set aside for the short name.
    layout += lfn_entries(".", short_checksum(b"DOT     EXE"))
    layout.append(lambda m: renamed(m["F%d.EXE" % (len(odd) + 1)], b"DOT     EXE"))
    layout += lfn_entries("..", short_checksum(b"DOTDOT  EXE"))
    layout.append(lambda m: renamed(m["F%d.EXE" % (len(odd) + 2)], b"DOTDOT  EXE"))
    expected = {inner: status for _, _, _, inner, status in odd}
    expected.update({"/DOT.EXE": "infected", "/DOTDOT.EXE": "infected"})
    image = os.path.join(WORK, "odd.img")
    data = hand_made(image, names_made, layout)
    for args in ([], ["--all-files"], ["--clean"]):
        with open(image, "wb") as f:
            f.write(data)
        status, out, err, results = krizclean(*args, image)
        found = {o["inner_path"]: o["status"] for o in results["objects"]}
        want = dict(expected)
        if "--clean" in args:
            # Entries that claim more than the volume holds are damage: no
            # file of such a volume is written.
            want = {k: "cannot disinfect" if v == "infected" else v for k, v in want.items()}
            check(read(image) == data and any(
                o.get("reason", "").startswith("its file system is damaged")
                for o in results["objects"]), "odd entries --clean: %s" % results["objects"])
        check(found == want, "odd entries %s: %s" % (args, found))
        for what, _, _, inner, st in odd:
            if st == "cannot open":
                check("%s!%s: " % (image, inner) in err,
                      "%s %s: no reason on standard error: %s" % (what, args, err))
        check(status == 1 and results["not_scanned"]["files"] == 3,
              "odd entries %s: status %d, %s" % (args, status, results["not_scanned"]))

    # Short names in a DOS code page: 0x9A is Ü in 437 and Ъ in 866; a lead
    # byte 0x05 stands for 0xE5 (σ in 437).
    layout = [lambda m: renamed(m["F1.EXE"], b"\x9aBER    EXE"),
              lambda m: renamed(m["F2.EXE"], b"\x05NDE    EXE")]
    image = os.path.join(WORK, "codepage.img")
    data = hand_made(image, files, layout)
    for args, names in (([], {"/ÜBER.EXE", "/σNDE.EXE"}),
                        (["--codepage", "866"], {"/ЪBER.EXE", "/хNDE.EXE"})):
        status, out, err, results = krizclean(*args, image)
        found = {o["inner_path"] for o in results["objects"]}
        check(found == names and status == 1, "code page %s: %s %s" % (args, found, err))
    status, out, err, results = krizclean("--clean", image)
    after = read(image)
    check(status == 0 or all(o["status"] == "disinfected" for o in results["objects"]),
          "code page: --clean: %s" % results["objects"])
    check(file_at(after, root_entry_at(after, b"\x9aBER    EXE")) == good_a
          and file_at(after, root_entry_at(after, b"\x05NDE    EXE")) == good_b,
          "code page: the files were not cleaned")
    result = run([KRIZCLEAN, "--codepage", "1252", image])
    check(result.returncode == 2 and b"--codepage needs one of 437, 850, 852, 866"
          in result.stderr, "--codepage 1252: %r" % result.stderr)

    # Cleaning through a link, killed half-way: the journal is beside the
    # image itself, so that a cleaning run by its real path puts it back (a
    # scan-only run leaves it, and says so).
    real_folder, link_folder = os.path.join(WORK, "real"), os.path.join(WORK, "links")
    os.makedirs(real_folder)
    os.makedirs(link_folder)
    model = os.path.join(WORK, "model.img")
    make_fat(model, 16, False)
    real_image = os.path.join(real_folder, "disk.img")
    link = os.path.join(link_folder, "disk.img")
    os.symlink(real_image, link)
    for n in (3, 6, 9):
        shutil.copyfile(model, real_image)
        result = run(["strace", "-f", "-o", "/dev/null", "-e", "trace=pwrite64", "-e",
                      "inject=pwrite64:signal=SIGKILL:when=%d" % n, KRIZCLEAN, "--clean", "-q",
                      link])
        when = "through a link, killed at write %d" % n
        check(result.returncode in (137, -9), when + ": not killed")
        check(not os.path.exists(link + ".kzj") and os.path.exists(real_image + ".kzj"),
              when + ": the journal is not beside the image: %s %s"
              % (os.listdir(link_folder), os.listdir(real_folder)))
        status, out, err, _ = krizclean(real_image)
        check(os.path.exists(real_image + ".kzj") and "interrupted cleaning" in err,
              when + ": a scan-only run did not leave the journal: %s" % err)
        status, out, err, _ = krizclean("--clean", real_image)
        check(not os.path.exists(real_image + ".kzj") and fsck(real_image, 0) is None,
              when + ": a cleaning by the real path did not carry it out: %s" % err)
        for name in NAMES:
            now = read_back(real_image, 0, name)
            check(now == read(os.path.join(EXPECTED, name)),
                  "%s: %s is not clean" % (when, name))


# --- scale


def syscalls(args, calls, timeout=None):
    """Runs krizclean under strace, TZ unset; the calls made, one line each."""
    trace = os.path.join(WORK, "trace")
    env = {k: v for k, v in ENV.items() if k != "TZ"}
    subprocess.run(["strace", "-f", "-o", trace, "-e", "trace=" + calls, KRIZCLEAN, "-q"] + args,
                   env=env, capture_output=True, timeout=timeout)
    with open(trace, errors="replace") as f:
        return f.read().splitlines()


def group_scale():
    # Twenty infected copies in a FAT32 image with 512-byte clusters: the
    # cleaning reads the FAT once and checks the volume once, so that its
    # reads grow with the files cleaned, not with files times the volume.
    _, bad, good = infected_programs()[0]
    image = os.path.join(WORK, "many.img")
    tool("mkfs.fat", "-C", "-F", "32", "-s", "1", image, "65536")
    folder = os.path.join(WORK, "copies")
    os.makedirs(folder)
    for i in range(20):
        with open(os.path.join(folder, "COPY%02d.EXE" % i), "wb") as f:
            f.write(bad)
    # A large clean file besides, whose chain a check for each cleaning
    # would walk again and again.
    with open(os.path.join(WORK, "BIG.DAT"), "wb") as f:
        f.write(os.urandom(4 << 20))
    tool("mcopy", "-s", "-i", image, folder, os.path.join(WORK, "BIG.DAT"), "::/")
    reads = [line for line in syscalls(["--clean", image], "pread64") if "pread64(" in line]
    out = os.path.join(WORK, "readback")
    for i in range(20):
        if os.path.exists(out):
            os.remove(out)
        tool("mcopy", "-n", "-i", image, "::/copies/COPY%02d.EXE" % i, out)
        check(read(out) == good, "COPY%02d.EXE is not clean" % i)
    check(len(reads) < 3000, "cleaning 20 files read the image %d times" % len(reads))

    # One file on a large sparse image (FAT32, 512-byte clusters, 256 MiB
    # for each of its two FATs): its cleaning holds one FAT, not two.
    big = os.path.join(WORK, "big.img")
    with open(big, "wb") as f:
        f.truncate(33 << 30)
    tool("mkfs.fat", "-F", "32", "-s", "1", big)
    src = os.path.join(WORK, "ONE.EXE")
    with open(src, "wb") as f:
        f.write(bad)
    tool("mcopy", "-i", big, src, "::/")
    head = Fat(read_head(big, 512), 0)
    fat_bytes = head.fat_end - head.fat
    # With less memory than one FAT takes, the file is reported, not lost.
    if b"AddressSanitizer" not in read(KRIZCLEAN):  # which reserves far more address space
        import resource
        limit = fat_bytes // 2 - (32 << 20)
        status = subprocess.run(
            [KRIZCLEAN, "-q", "--clean", big], env=ENV, capture_output=True,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        check(status.returncode == 1 and b"ONE.EXE: cannot disinfect" in status.stdout
              and b"out of memory" in status.stderr,
              "out of memory: status %d %s %s" % (status.returncode, status.stdout,
                                                  status.stderr[-500:]))
    # Its peak memory from the kernel's own count, for this one process.
    log = os.path.join(WORK, "big.out")
    with open(log, "wb") as out:
        cleaner = subprocess.Popen([KRIZCLEAN, "-q", "--clean", big], env=ENV, stdout=out,
                                   stderr=subprocess.STDOUT)
        _, _, usage = os.wait4(cleaner.pid, 0)
    peak = usage.ru_maxrss * 1024
    check(b"ONE.EXE: disinfected" in read(log), "the large image: %s" % read(log))
    check(peak < fat_bytes // 2 * 1.25 + (48 << 20),
          "cleaning one file held %d MiB, one FAT is %d MiB" % (peak >> 20, fat_bytes >> 21))
    os.remove(big)

    # A scan asks the C library for the time zone once, not for each file.
    looked = [line for line in syscalls([image], "%file") if "/etc/localtime" in line]
    check(len(looked) <= 2, "the time zone was looked up %d times" % len(looked))


def read_head(path, length):
    """The first `length` bytes of `path`, padded to what Fat reads."""
    with open(path, "rb") as f:
        return f.read(length)



def hold_lock(path, how):
    """A process that holds `path` locked the way `how` says, until killed."""
    if how == "flock":
        holder = subprocess.Popen(["flock", "-x", path, "sh", "-c", "echo locked; exec sleep 120"],
                                  stdout=subprocess.PIPE, start_new_session=True)
    else:
        holder = subprocess.Popen(
            [sys.executable, "-c",
             "import fcntl,sys,time\nf=open(sys.argv[1],'r+b')\nfcntl.lockf(f,fcntl.LOCK_EX)\n"
             "print('locked',flush=True)\ntime.sleep(120)", path], stdout=subprocess.PIPE,
            start_new_session=True)
    holder.stdout.readline()
    return holder


# The leak checker cannot work under ptrace: a run that strace holds but lets
# end goes without it.
TRACED_ENV = dict(ENV, ASAN_OPTIONS="detect_leaks=0:" + ENV["ASAN_OPTIONS"])


def group_locks():
    image = os.path.join(WORK, "locked.img")
    make_fat(image, 16, False)
    program = os.path.join(WORK, "locked.exe")
    shutil.copyfile(os.path.join(DRIVE, "SETUP.EXE"), program)
    for how in ("flock", "lockf"):
        for path, said in ((image, "another program has locked the image"),
                           (program, "another program has locked it")):
            before = read(path)
            holder = hold_lock(path, how)
            try:
                status, out, err, data = krizclean("--clean", path)
            finally:
                os.killpg(holder.pid, signal.SIGKILL)  # flock's command holds the lock too
                holder.wait()
            check(read(path) == before, "%s, %s: a locked file was written" % (how, path))
            check(said in err and not os.path.exists(path + ".kzj"),
                  "%s, %s: not reported: %s" % (how, path, err))
            check(status == 1 and "cannot disinfect" in out, "%s, %s: %s" % (how, out, status))
    # A run cleaning the image, held by strace right after its journal
    # reached the disk: a second run meets the journal it holds and leaves it
    # alone (it undid it before); the first then ends as it would have.
    before = read(image)
    first = subprocess.Popen(["strace", "-f", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                              "inject=fsync:delay_exit=3000000:when=1", KRIZCLEAN, "-q", "--clean",
                              image], env=TRACED_ENV, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    deadline = time.time() + 60
    while not os.path.exists(image + ".kzj") and time.time() < deadline:
        time.sleep(0.005)
    status, out, err, data = krizclean(image)
    check("journal of a cleaning that runs now" in err and os.path.exists(image + ".kzj"),
          "a live journal was not left alone: %s" % err)
    check(status == 2 or status == 1, "the second run ended in %d" % status)
    first.communicate(timeout=600)
    check(first.returncode == 1 and not os.path.exists(image + ".kzj"),
          "the first run did not end as it would have: %d" % first.returncode)
    complaint = fsck(image, 0)
    check(complaint is None, "after two runs at once: fsck.fat -n: %s" % complaint)
    for name in NAMES:
        check(read_back(image, 0, name) == read(os.path.join(EXPECTED, name)),
              "after two runs at once: %s is not clean" % name)


GROUPS = {"partitions": group_partitions, "virtual": group_virtual, "virtual_kill": group_virtual_kill, "fat": group_fat, "kill": group_kill, "readonly": group_readonly,
          "archives": group_archives, "hostile": group_hostile, "entries": group_entries,
          "scale": group_scale, "locks": group_locks}
try:
    GROUPS[GROUP]()
finally:
    shutil.rmtree(WORK, ignore_errors=True)
print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
