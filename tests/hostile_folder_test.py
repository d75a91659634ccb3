#!/usr/bin/env python3
"""krizclean run by root over a folder that an ordinary user prepared.

  tests/hostile_folder_test.py KRIZCLEAN SPECIMEN_SET

The attacker (uid 65534, through setpriv) owns files in a sticky folder that
everyone can write, like /tmp, and plants there what it likes: journals of
each kind (forged with a valid check, naming links, other files, other
users' files), links at the names krizclean makes, pipes named like
programs, a file swapped for a link between the scan and the write. Root then
runs krizclean over it. Each case is a row of CASES: after it, every file
that root owns is unchanged in bytes, mode and existence, the run has ended
(a time-out says it hung), and the case checks what was reported.

Needs root (CI runs as root); otherwise exits 77, which ctest reports as a
skip.
"""
import hashlib
import json
import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import time
import zlib

ATTACKER = 65534
# The system's own Python, which the attacker can run too.
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable

if os.geteuid() != 0:
    print("skipped: needs root, to run krizclean as root over a folder that uid 65534 prepares")
    sys.exit(77)

KRIZCLEAN, SPECIMEN_SET = sys.argv[1:3]
ENV = dict(os.environ, LC_ALL="C")
ENV["ASAN_OPTIONS"] = "exitcode=86:" + ENV.get("ASAN_OPTIONS", "")
ENV["UBSAN_OPTIONS"] = "halt_on_error=1:exitcode=86:" + ENV.get("UBSAN_OPTIONS", "")

# The leak checker cannot work under ptrace: a run that strace holds but lets
# end goes without it.
TRACED_ENV = dict(ENV, ASAN_OPTIONS="detect_leaks=0:" + ENV["ASAN_OPTIONS"])

# /tmp, not TMPDIR: a folder that the attacker can reach.
WORK = tempfile.mkdtemp(prefix="hostile_test.", dir="/tmp")
os.chmod(WORK, 0o755)
SPECIMENS = os.path.join(WORK, "specimens")
subprocess.run([SPECIMEN_SET, "kill", SPECIMENS], check=True, env=ENV)
INFECTED = open(os.path.join(SPECIMENS, "drive", "zero.exe"), "rb").read()
CLEANED = open(os.path.join(SPECIMENS, "expected", "zero.exe"), "rb").read()

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


# --- The journal as krizclean writes it, so that forgeries carry a valid check.

def identity(path, follow=False):
    info = os.stat(path) if follow else os.lstat(path)
    return (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, info.st_uid,
            info.st_nlink, info.st_mode)


def journal(kind, file, copy="", mode=None, writer=ATTACKER, ident=(0,) * 7, copy_ident=None,
            regions=(), old=0, new=0, tail=b"", version=2):
    def text(s):
        b = s.encode()
        return struct.pack("<I", len(b)) + b

    def blob(b):
        return struct.pack("<I", len(b)) + b

    if version == 1:
        body = b"KRIZJNL\x01" + struct.pack("<I", kind) + text(file) + text(copy)
    else:
        slot = bytes(32)
        if copy_ident is not None:
            head = struct.pack("<QQQI", copy_ident[0], copy_ident[1], copy_ident[2], copy_ident[4])
            slot = head + struct.pack("<I", zlib.crc32(head))
        body = (b"KRIZJNL\x02" + slot + struct.pack("<II", kind, writer) +
                struct.pack("<QQQqIII", *ident) + text(file) + text(copy))
    body += struct.pack("<II", 0 if mode is None else 1, mode or 0)
    body += struct.pack("<QQI", old, new, len(regions))
    for offset, before, after in regions:
        body += struct.pack("<Q", offset) + blob(before) + blob(after)
    body += blob(tail)
    checked = body if version == 1 else body[:8] + bytes(32) + body[40:]
    return body + struct.pack("<I", zlib.crc32(checked)) + b"KRIZEND" + bytes([version])


IN_PLACE, COPY = 1, 2


# --- The scene: root's own files, and the sticky folder the attacker writes.

class Scene:
    def __init__(self):
        self.top = tempfile.mkdtemp(dir=WORK)
        os.chmod(self.top, 0o755)
        self.rootdir = self.path("rootdir")
        os.mkdir(self.rootdir, 0o755)
        self.shared = self.path("shared")
        os.mkdir(self.shared)
        os.chmod(self.shared, 0o1777)
        self.root_file("prog.exe", INFECTED, 0o755)    # an infected program of root's
        self.root_file("secret", b"root's secret\n", 0o600)
        self.root_file("accounts", b"root:x:0:0\n", 0o644)
        self.root_file("empty.conf", b"", 0o644)

    def path(self, *parts):
        return os.path.join(self.top, *parts)

    def root_file(self, name, data, mode, folder=None):
        path = os.path.join(folder or self.rootdir, name)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
        return path

    def attacker(self, code, *args, data=b""):
        """Runs Python `code` as the attacker, with `args` in sys.argv[1:] and
        `data` on standard input."""
        done = subprocess.run(["setpriv", "--reuid=%d" % ATTACKER, "--regid=%d" % ATTACKER,
                               "--clear-groups", PYTHON, "-c", code, *args], input=data,
                              capture_output=True, cwd=self.shared, timeout=30)
        if done.returncode != 0:
            raise RuntimeError("attacker: " + done.stderr.decode(errors="replace"))

    def attacker_file(self, name, data, mode=0o644):
        self.attacker("import os,sys\n"
                      "open(sys.argv[1],'wb').write(sys.stdin.buffer.read())\n"
                      "os.chmod(sys.argv[1], int(sys.argv[2]))",
                      name, str(mode), data=data)
        return os.path.join(self.shared, name)

    def attacker_link(self, name, target):
        self.attacker("import os,sys; os.symlink(sys.argv[2], sys.argv[1])", name, target)

    def attacker_fifo(self, name):
        self.attacker("import os,sys; os.mkfifo(sys.argv[1])", name)

    def snapshot(self):
        """Every file and folder that root owns: bytes, mode, existence."""
        seen = {}
        for folder, dirs, files in os.walk(self.top):
            for name in dirs + files:
                path = os.path.join(folder, name)
                info = os.lstat(path)
                if info.st_uid != 0:
                    continue
                data = None
                if stat.S_ISREG(info.st_mode):
                    data = hashlib.sha256(open(path, "rb").read()).hexdigest()
                seen[path] = (stat.S_IMODE(info.st_mode), stat.S_IFMT(info.st_mode), data)
        return seen

    def clear(self):
        shutil.rmtree(self.top, ignore_errors=True)


def krizclean(*args, stdin=None, timeout=60, prefix=()):
    try:
        done = subprocess.run([*prefix, KRIZCLEAN, "-q", *args], env=ENV, capture_output=True,
                              timeout=timeout, input=stdin)
        return done.returncode, done.stdout.decode(errors="replace"), \
            done.stderr.decode(errors="replace")
    except subprocess.TimeoutExpired:
        return None, "", "timed out"


# --- The cases. Each prepares the scene as the attacker, runs krizclean as
# root, and says what the run must have reported; root's files are compared
# by `run_case`.

def forged_copy_journal_on_link(scene, target, mode):
    # "t.kzj" of kind copy naming "t", a link to a file of root's, with the
    # mode the attacker wants it to get.
    scene.attacker_link("t", target)
    forged = journal(COPY, "t", "t", mode=mode, writer=0, ident=identity(target, True),
                     copy_ident=identity(target, True))
    scene.attacker_file("t.kzj", forged)


def case_copy_journal_setuid(scene, action):
    forged_copy_journal_on_link(scene, os.path.join(scene.rootdir, "prog.exe"), 0o6755)
    return krizclean(action, scene.shared), ["t.kzj: untrusted journal: it belongs to another user"]


def case_copy_journal_secret(scene, action):
    forged_copy_journal_on_link(scene, os.path.join(scene.rootdir, "secret"), 0o644)
    return krizclean(action, scene.shared), ["t.kzj: untrusted journal"]


def case_copy_journal_removes_root_file(scene, action):
    victim = scene.root_file("rootfile.exe", b"root's file in the shared folder", 0o644,
                             scene.shared)
    forged = journal(COPY, "rootfile.exd", "rootfile.exe", writer=0,
                     copy_ident=identity(victim))
    scene.attacker_file("rootfile.exe.kzj", forged)
    return krizclean(action, scene.shared), ["rootfile.exe.kzj: untrusted journal"]


def case_in_place_journal_through_link(scene, action):
    accounts = os.path.join(scene.rootdir, "accounts")
    scene.attacker_link("a.exe", os.path.relpath(accounts, scene.shared))
    size = os.path.getsize(accounts)
    original = open(accounts, "rb").read()
    forged = journal(IN_PLACE, "a.exe", mode=0o666, writer=0, ident=identity(accounts, True),
                     old=size + 25, new=size, tail=b"attacker:x:0:0::/:/bin/sh\n"[:25],
                     regions=[(0, original[:1], original[:1])])
    scene.attacker_file("a.exe.kzj", forged)
    return krizclean(action, scene.shared), ["a.exe.kzj: untrusted journal"]


def case_in_place_journal_setuid_in_sticky(scene, action):
    # A root-owned setup.exe in the sticky folder, and a forged in-place
    # journal for it whose identity is right: setuid, attacker's bytes, and a
    # file grown by a MiB.
    setup = scene.root_file("setup.exe", b"MZ root's setup program", 0o755, scene.shared)
    grown = b"\xcc" * (1 << 20)
    forged = journal(IN_PLACE, "setup.exe", mode=0o6777, writer=0, ident=identity(setup),
                     old=os.path.getsize(setup) + len(grown), new=os.path.getsize(setup),
                     tail=grown, regions=[(0, b"M", b"M")])
    scene.attacker_file("setup.exe.kzj", forged)
    return krizclean(action, scene.shared), ["setup.exe.kzj: untrusted journal"]


def case_old_format_journal(scene, action):
    # A journal of the first format, root's own: it records no identity, so
    # nothing proves it is not a forgery placed for a later run.
    setup = scene.root_file("old.exe", INFECTED, 0o755, scene.shared)
    old = journal(IN_PLACE, "old.exe", mode=0o6755, version=1,
                  old=os.path.getsize(setup), new=os.path.getsize(setup))
    scene.root_file("old.exe.kzj", old, 0o600, scene.shared)
    return krizclean(action, scene.shared), ["old.exe.kzj: untrusted journal: it is of an older format"]


def killed_root_run(scene, name):
    """A real journal of root's beside the attacker's infected `name`: root's
    --clean killed at its second pwrite, the first that writes the file."""
    path = scene.attacker_file(name, INFECTED, 0o644)
    subprocess.run(["strace", "-f", "-o", "/dev/null", "-e", "trace=pwrite64", "-e",
                    "inject=pwrite64:signal=SIGKILL:when=2", KRIZCLEAN, "-q", "--clean", path],
                   env=ENV, capture_output=True, timeout=60)
    if not check(os.path.exists(path + ".kzj"), "the killed run left no journal"):
        raise RuntimeError("no journal")
    return path


def case_journal_file_swapped_for_link(scene, action):
    killed_root_run(scene, "v.exe")
    scene.attacker("import os; os.rename('v.exe', 'v.old'); os.symlink('../rootdir/prog.exe', 'v.exe')")
    return krizclean(action, scene.shared), ["v.exe.kzj: untrusted journal"]


def case_journal_file_swapped_for_another(scene, action):
    killed_root_run(scene, "w.exe")
    scene.attacker("import os,shutil; os.rename('w.exe', 'w.old'); shutil.copy('w.old', 'w.exe')")
    return (krizclean(action, scene.shared),
            ["w.exe.kzj: untrusted journal: the file it names: it was replaced by another file"])


def case_journal_of_ours_is_rolled_back(scene, action):
    path = killed_root_run(scene, "mine.exe")
    halfway = open(path, "rb").read()
    result = krizclean(action, scene.shared)
    if action != "--clean":
        # A scan that only reads writes nothing: the journal and the file
        # half-way stay, the file is not scanned, and --clean finishes it.
        check(os.path.exists(path + ".kzj") and open(path, "rb").read() == halfway,
              "a scan that only reads carried out a journal")
        check(result[0] == 2, "a half-way file counted as scanned: %s" % result[0])
        return result, ["mine.exe: interrupted cleaning: run with --clean to finish it"]
    check(not os.path.exists(path + ".kzj"), "our own journal was not carried out")
    check(open(path, "rb").read() == CLEANED, "our own journal: the file is not as it should be")
    return result, ["mine.exe: put back as it was before an interrupted cleaning"]


def case_journal_link(scene, action):
    # Journals met as links are never followed.
    scene.attacker_link("l.exe.kzj", "../rootdir/secret")
    scene.attacker_file("l.exe", INFECTED)
    return krizclean(action, scene.shared), []


def case_stuck_journals(scene, action):
    # A folder where a journal would be, and a pipe: said once, counted.
    scene.attacker_file("s.exe", INFECTED)
    scene.attacker("import os; os.mkdir('s.exe.kzj'); os.mkfifo('p.exe.kzj')")
    scene.attacker_file("p.exe", INFECTED)
    return krizclean(action, scene.shared), ["s.exe.kzj: untrusted journal: it is a folder",
                                             "p.exe.kzj: untrusted journal: it is not a regular file"]


def case_pipes(scene, action):
    scene.attacker_fifo("pipe.exe")
    scene.attacker_fifo("data")
    return (krizclean(action, "--all-files", scene.shared),
            ["pipe.exe: not a regular file", "data: not a regular file"])


def case_pipe_journal_of_a_path(scene, action):
    path = scene.attacker_file("q.exe", INFECTED)
    scene.attacker_fifo("q.exe.kzj")
    return krizclean(action, path), ["q.exe.kzj: untrusted journal: it is not a regular file"]


def case_link_at_journal_name(scene, action):
    # A link where the journal of the file to clean would go: never written
    # through, and the file is not cleaned without its journal.
    scene.attacker_file("j.exe", INFECTED)
    scene.attacker_link("j.exe.kzj", "../rootdir/accounts")
    return krizclean(action, scene.shared), []


def case_hard_link_to_root_file(scene, action):
    # The kernel refuses this link; were it made, a file of more than one name
    # in a folder others can write is not cleaned.
    try:
        scene.attacker("import os; os.link('../rootdir/prog.exe', 'h.exe')")
    except RuntimeError:
        pass
    return krizclean(action, scene.shared), []


def case_restore_into_a_link(scene, action):
    # Root cleaned the attacker's program keeping a backup; the attacker then
    # puts a link to a program of root's at its name. Even forced, --restore
    # writes nothing through it.
    scene.attacker_file("g.exe", INFECTED)
    kept = scene.path("kept")
    krizclean(action, "--backup", kept, os.path.join(scene.shared, "g.exe"))
    scene.attacker("import os; os.rename('g.exe', 'g.old'); os.symlink('../rootdir/prog.exe', 'g.exe')")
    status, out, err = krizclean("--restore", kept, "--force")
    check(status == 2 and out.startswith(os.path.join(scene.shared, "g.exe") + ": not restored\n"),
          "restore through a link: %s %r" % (status, out))
    return (status, out, err), ["g.exe: it is a symbolic link now; left alone"]


def case_backup_folders(scene, action):
    """Backup folders that another user can change are refused before
    anything is scanned."""
    scene.attacker_file("b.exe", INFECTED)
    scene.attacker("import os; os.mkdir('theirs'); os.mkdir('open', 0o777); os.chmod('open', 0o777);"
                   "os.symlink('../rootdir', 'link')")
    results = []
    for folder in ("theirs", "open", "link"):
        status, out, err = krizclean(action, "--backup", os.path.join(scene.shared, folder),
                                     scene.shared)
        check(status == 2 and "cannot keep backups in this folder" in err and out == "",
              "backup folder %s accepted: %s %r" % (folder, status, err))
        results.append(status)
    # Root's own folder, made 0700, where a link stands at the manifest's name
    # (placed while it was open to all): not followed.
    mine = os.path.join(scene.top, "kept")
    status, out, err = krizclean(action, "--backup", mine, scene.path("rootdir", "..", "none"))
    check(stat.S_IMODE(os.stat(mine).st_mode) == 0o700, "backup folder not made 0700")
    os.symlink(os.path.join(scene.rootdir, "accounts"), os.path.join(mine, "manifest.txt"))
    secret = scene.root_file("k.exe", INFECTED, 0o600, scene.rootdir)
    status, out, err = krizclean(action, "--backup", mine, secret)
    if action == "--clean":
        check("no backup of it could be kept" in err, "manifest link: " + err)
    for name in os.listdir(mine):
        if name.endswith(".kzb"):
            mode = stat.S_IMODE(os.stat(os.path.join(mine, name)).st_mode)
            check(mode & 0o077 == 0, "a backup of a 0600 file has mode %o" % mode)
    os.unlink(os.path.join(mine, "manifest.txt"))
    status, out, err = krizclean(action, "--backup", mine, secret)
    for name in os.listdir(mine):
        if name.endswith(".kzb"):
            mode = stat.S_IMODE(os.stat(os.path.join(mine, name)).st_mode)
            check(mode & 0o077 == 0, "a backup of a 0600 file has mode %o" % mode)
    # A line feed in a name stays on its manifest line.
    odd = scene.root_file("two\nlines.exe", INFECTED, 0o644, scene.rootdir)
    krizclean(action, "--backup", mine, odd)
    if action == "--clean":
        lines = open(os.path.join(mine, "manifest.txt"), "rb").read().split(b"\n")
        check(all(line.count(b"\t") == 3 for line in lines if line),
              "the manifest holds a broken line: %r" % lines)
    return (2, "", ""), []


def case_json_link(scene, action):
    # A link at FILE that another user placed is refused, before the scan;
    # FILE's folder where the temporary goes is the shared one.
    scene.attacker_link("report.json", "../rootdir/empty.conf")
    scene.attacker_file("x.exe", INFECTED)
    status, out, err = krizclean(action, "--json", os.path.join(scene.shared, "report.json"),
                                 scene.shared)
    check(status == 2 and out == "" and "symbolic link that another user could have placed" in err,
          "json link: %s %r %r" % (status, out, err))
    # One of root's own, in the shared folder, is written and parses.
    report = os.path.join(scene.shared, "root.json")
    status, out, err = krizclean(action, "--json", report, scene.shared)
    check(json.load(open(report))["counts"]["left_infected" if action != "--clean" else "disinfected"] == 1,
          "json not written: " + err)
    check(os.lstat(report).st_uid == 0, "json not root's")
    return (status, out, err), []


def case_restore_through_a_folder_link(scene, action):
    """Root cleans h/u/app.exe (u the attacker's own folder) keeping a
    backup; the attacker then puts, at u, a link to a folder of root's that
    holds its own app.exe. Even forced, --restore writes nothing there; nor
    through a ".." that the manifest keeps, once the folder before it is a
    link."""
    victim = scene.root_file("app.exe", b"root's own app.exe\n", 0o755)
    os.mkdir(os.path.join(scene.rootdir, "x"), 0o755)
    scene.attacker("import os; os.makedirs('h/u'); os.makedirs('h/v/sub')")
    scene.attacker_file("h/u/app.exe", INFECTED, 0o755)
    scene.attacker_file("h/v/app.exe", INFECTED, 0o755)
    kept = scene.path("kept")
    krizclean(action, "--backup", kept, os.path.join(scene.shared, "h/u/app.exe"),
              os.path.join(scene.shared, "h/v/sub/../app.exe"))
    manifest = open(os.path.join(kept, "manifest.txt")).read()
    check("/sub/../app.exe" in manifest, "the manifest does not keep the path given: %r" % manifest)
    scene.attacker("import os; os.rename('h/u', 'h/u.old'); os.symlink(%r, 'h/u');"
                   "os.rmdir('h/v/sub'); os.symlink(%r, 'h/v/sub')"
                   % (scene.rootdir, os.path.join(scene.rootdir, "x")))
    results = []
    for extra in ((), ("--force",)):
        status, out, err = krizclean("--restore", kept, *extra)
        check(status == 2 and "restored: 0\n" in out and out.count(": not restored\n") == 2,
              "restore through a folder link: %s %r %r" % (status, out, err))
        results.append((status, out, err))
    check(open(victim, "rb").read() == b"root's own app.exe\n", "root's app.exe was written")
    # Nor through a ".." at all, which a path read from a file never holds.
    scene.attacker("import os; os.unlink('h/v/sub'); os.mkdir('h/v/sub')")
    status, out, err = krizclean("--restore", kept, "--force", os.path.join(scene.shared, "h/v"))
    check(status == 2 and '".."' in err, "restore through '..': %s %r %r" % (status, out, err))
    return results[1], ["a part of its path is a symbolic link; not followed"]


def case_forged_journal_then_chown(scene, action):
    """The attacker's own program and a forged journal claiming owner 0,
    writer 0, the file's real identity and mode 4755; an administrator then
    takes the files over (chown -R root:root) and runs krizclean. No run,
    whatever it does, gives the program a set-ID bit."""
    tool = scene.attacker_file("tool.exe", open("/usr/bin/id", "rb").read(), 0o755)
    info = os.stat(tool)
    ident = (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns, 0, 1, 0o104755)
    size = info.st_size
    forged = journal(IN_PLACE, "tool.exe", mode=0o4755, writer=0, ident=ident, old=size, new=size)
    scene.attacker_file("tool.exe.kzj", forged, 0o644)
    subprocess.run(["chown", "-R", "root:root", scene.shared], check=True)
    os.chmod(scene.shared, 0o1777)
    results = []
    for args in ((action, scene.shared), ("--restore", scene.path("none"))):
        results.append(krizclean(*args))
        mode = stat.S_IMODE(os.stat(tool).st_mode)
        check(mode & 0o7000 == 0, "%s: tool.exe became %o" % (args[0], mode))
    if action != "--clean":
        check(os.path.exists(tool + ".kzj"), "a scan that only reads removed a journal")
        return results[0], ["tool.exe: interrupted cleaning: run with --clean to finish it"]
    return results[0], ["tool.exe: put back as it was before an interrupted cleaning"]


def case_backup_and_json_through_folders(scene, action):
    """--backup and --json under a folder of the attacker's, or through its
    link to a folder of root's: refused before anything is scanned, and
    nothing is made in root's folder."""
    scene.attacker_file("b.exe", INFECTED)
    scene.attacker("import os; os.mkdir('U'); os.symlink(%r, 'L')" % scene.rootdir)
    results = []
    for folder in ("U", "L"):
        status, out, err = krizclean(action, "--backup", os.path.join(scene.shared, folder, "bk"),
                                     scene.shared)
        check(status == 2 and out == "" and "cannot keep backups in this folder" in err,
              "--backup %s/bk accepted: %s %r" % (folder, status, err))
        status, out, err = krizclean(action, "--json",
                                     os.path.join(scene.shared, folder, "report.json"),
                                     scene.shared)
        check(status == 2 and out == "" and "cannot write the JSON file" in err,
              "--json %s/report.json accepted: %s %r" % (folder, status, err))
        results.append((status, out, err))
    check(not os.path.exists(os.path.join(scene.rootdir, "bk")) and
          not os.path.exists(os.path.join(scene.rootdir, "report.json")),
          "something was made in root's folder")
    check(os.listdir(os.path.join(scene.shared, "U")) == [], "something was made in U")
    return results[0], []


def case_backup_folder_swapped_after_it_is_made(scene, action):
    """Root's backup folder made in the sticky folder: the run is held right
    after it made it (strace holds mkdirat), and the attacker renames it away
    and puts a link to a folder of root's in its place. The backup and the
    manifest go into the folder made, held since, never through the link."""
    scene.attacker_file("c.exe", INFECTED)
    target = scene.path("T")
    os.mkdir(target, 0o755)
    scene.root_file("manifest.txt", b"root's own manifest\n", 0o644, target)
    bk = os.path.join(scene.shared, "bk")
    run = subprocess.Popen(["strace", "-f", "-o", "/dev/null", "-e", "trace=mkdirat,mkdir", "-e",
                            "inject=mkdirat,mkdir:delay_exit=1500000:when=1", KRIZCLEAN, "-q",
                            "-j", "1", action, "--backup", bk, scene.shared], env=TRACED_ENV,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.time() + 30
    while not os.path.isdir(bk) and time.time() < deadline:
        time.sleep(0.005)
    try:
        scene.attacker("import os; os.rename('bk', 'bk.old'); os.symlink(%r, 'bk')" % target)
    except RuntimeError:
        pass  # the sticky folder keeps root's bk root's: the rename is refused
    try:
        out, err = run.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        run.kill()
        return (None, "", "timed out"), []
    check(sorted(os.listdir(target)) == ["manifest.txt"], "T received %s" % os.listdir(target))
    if action == "--clean":
        held = bk if os.path.isdir(bk) and not os.path.islink(bk) else bk + ".old"
        check(any(n.endswith(".kzb") for n in os.listdir(held)), "no backup was kept")
    return (run.returncode, out.decode(errors="replace"), err.decode(errors="replace")), []


def case_image_with_two_names(scene, action):
    """A FAT image of the attacker's under two names in the sticky folder:
    the one-name rule of plain files holds for images too."""
    image = os.path.join(WORK, "fat-%d.img" % os.getpid())
    if not os.path.exists(image):
        subprocess.run(["mkfs.fat", "-C", image, "1024"], check=True, capture_output=True)
        program = os.path.join(WORK, "A.EXE")
        open(program, "wb").write(INFECTED)
        subprocess.run(["mcopy", "-i", image, program, "::A.EXE"], check=True)
    data = open(image, "rb").read()
    path = scene.attacker_file("d.img", data, 0o644)
    scene.attacker("import os; os.link('d.img', 'e.img')")
    result = krizclean(action, "--inside", scene.shared)
    check(open(path, "rb").read() == data, "an image of two names was written")
    if action == "--clean":
        return result, ["the image has more than one name in a folder that another user controls"]
    return result, []


def ask_and_swap(scene, name, swap):
    """--ask: the prompt for `name` is the moment between the scan and the
    write; the attacker does `swap` then, and the answer is to disinfect."""
    scene.attacker_file(name, INFECTED)
    run = subprocess.Popen([KRIZCLEAN, "-q", "--ask", scene.shared], env=ENV,
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    asked = b""
    deadline = time.time() + 30
    while b"[d]isinfect" not in asked and time.time() < deadline:
        byte = run.stderr.read(1)
        if not byte:
            break
        asked += byte
    check(b"[d]isinfect" in asked, "no prompt: %r" % asked)
    scene.attacker(swap)
    try:
        out, err = run.communicate(b"d\n", timeout=60)
    except subprocess.TimeoutExpired:
        run.kill()
        return (None, "", "timed out")
    return run.returncode, out.decode(errors="replace"), (asked + err).decode(errors="replace")


def case_swapped_for_link_at_prompt(scene, action):
    result = ask_and_swap(scene, "r.exe",
                          "import os; os.rename('r.exe', 'r.old'); os.symlink('../rootdir/prog.exe', 'r.exe')")
    check(open(os.path.join(scene.shared, "r.old"), "rb").read() == INFECTED,
          "the file swapped away was changed")
    return result, ["r.exe: not cleaned: it was replaced by a symbolic link after it was scanned"]


def case_swapped_for_another_at_prompt(scene, action):
    result = ask_and_swap(scene, "o.exe",
                          "import os,shutil; os.rename('o.exe', 'o.old'); shutil.copy('o.old', 'o.exe')")
    check(open(os.path.join(scene.shared, "o.exe"), "rb").read() == INFECTED,
          "a file put in place after the scan was changed")
    return result, ["o.exe: not cleaned: it was replaced by another file after it was scanned"]


def case_removed_at_prompt(scene, action):
    result = ask_and_swap(scene, "gone.exe", "import os; os.unlink('gone.exe')")
    return result, ["gone.exe: not cleaned: it is gone"]


def case_read_only_swapped_while_cleaning(scene, action):
    # A read-only program of the attacker's, swapped for a link to root's
    # program while the run is held right after its journal reached the disk
    # (strace holds the first fsync): nothing is done by name any more.
    path = scene.attacker_file("ro.exe", INFECTED, 0o444)
    run = subprocess.Popen(["strace", "-f", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                            "inject=fsync:delay_exit=1500000:when=1", KRIZCLEAN, "-q", "-j", "1",
                            "--clean", scene.shared], env=TRACED_ENV, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    deadline = time.time() + 30
    while not os.path.exists(path + ".kzj") and time.time() < deadline:
        time.sleep(0.005)
    scene.attacker("import os; os.rename('ro.exe', 'ro.old'); os.symlink('../rootdir/prog.exe', 'ro.exe')")
    try:
        out, err = run.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        run.kill()
        return (None, "", "timed out"), []
    moved = os.path.join(scene.shared, "ro.old")
    check(stat.S_IMODE(os.stat(moved).st_mode) == 0o444, "the read-only file lost its mark")
    check(run.returncode == 1, "the held run ended in %d" % run.returncode)
    return (run.returncode, out.decode(errors="replace"), err.decode(errors="replace")), []


ALL_ACTIONS = ("--scan-only", "--clean")
CASES = [
    ("forged copy journal on a link to a root program (setuid asked)", case_copy_journal_setuid, ALL_ACTIONS),
    ("forged copy journal on a link to a root-only secret", case_copy_journal_secret, ALL_ACTIONS),
    ("forged copy journal naming a root file in the sticky folder", case_copy_journal_removes_root_file, ALL_ACTIONS),
    ("forged in-place journal beside a link to a root file", case_in_place_journal_through_link, ALL_ACTIONS),
    ("forged in-place journal for a root program in the sticky folder", case_in_place_journal_setuid_in_sticky, ALL_ACTIONS),
    ("root's journal of the old format", case_old_format_journal, ALL_ACTIONS),
    ("root's journal, its file swapped for a link", case_journal_file_swapped_for_link, ALL_ACTIONS),
    ("root's journal, its file swapped for another of the same name", case_journal_file_swapped_for_another, ALL_ACTIONS),
    ("root's own journal is rolled back", case_journal_of_ours_is_rolled_back, ALL_ACTIONS),
    ("a journal that is a link", case_journal_link, ALL_ACTIONS),
    ("stuck journals: a folder and a pipe", case_stuck_journals, ALL_ACTIONS),
    ("pipes named like programs, and met with --all-files", case_pipes, ALL_ACTIONS + ("-j1",)),
    ("a pipe at the journal of a PATH", case_pipe_journal_of_a_path, ALL_ACTIONS),
    ("a link at the journal's name", case_link_at_journal_name, ("--clean",)),
    ("a hard link to a root program", case_hard_link_to_root_file, ("--clean",)),
    ("backup folders another user can change; the manifest; modes", case_backup_folders, ("--clean",)),
    ("--restore into a link put at a cleaned file's name", case_restore_into_a_link, ("--clean",)),
    ("--json through another user's link", case_json_link, ALL_ACTIONS),
    ("--restore through a link at a folder of the path, and through '..'", case_restore_through_a_folder_link, ("--clean",)),
    ("a forged journal, then chown -R by root", case_forged_journal_then_chown, ALL_ACTIONS),
    ("--backup and --json under another user's folder or link", case_backup_and_json_through_folders, ALL_ACTIONS),
    ("the backup folder swapped for a link right after it is made", case_backup_folder_swapped_after_it_is_made, ALL_ACTIONS),
    ("a FAT image with two names", case_image_with_two_names, ALL_ACTIONS),
    ("a file swapped for a link at the prompt", case_swapped_for_link_at_prompt, ("--ask",)),
    ("a file swapped for another at the prompt", case_swapped_for_another_at_prompt, ("--ask",)),
    ("a file removed at the prompt", case_removed_at_prompt, ("--ask",)),
    ("a read-only file swapped for a link while it is cleaned", case_read_only_swapped_while_cleaning, ("--clean",)),
]

def run_case(what, case, action):
    scene = Scene()
    label = "%s (%s)" % (what, action)
    try:
        before = scene.snapshot()
        (status, out, err), said = case(scene, action)
        after = scene.snapshot()
        check(status is not None, label + ": the run did not end")
        check(status != 86, "%s: a sanitizer's finding: %s" % (label, err[-2000:]))
        for path, was in before.items():
            now = after.get(path)
            check(now == was, "%s: root's %s changed: %s -> %s" % (label, path, was, now))
        for words in said:
            check(words in err, "%s: not said: %r in %r" % (label, words, err))
        if said and "untrusted" in said[0]:
            # Said once, and counted as not scanned: the run cannot end in 0.
            check(err.count(said[0]) == 1, "%s: said more than once: %r" % (label, err))
            check(status in (1, 2) and "Not scanned: 0 files" not in out,
                  "%s: not counted (status %s): %r" % (label, status, out))
    finally:
        scene.clear()


def main():
    try:
        for what, case, actions in CASES:
            for action in actions:
                run_case(what, case, action)
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed else 0)


main()
