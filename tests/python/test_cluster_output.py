"""The cluster driver run by root with its output, or its backup folder,
where an ordinary user (uid 65534, through setpriv) has prepared things: a
forged record, links to root's files and to names root has not made, folders
of the user's own. Each run is refused in one line before anything is made
or written, and every file and folder that root owns stays as it was in
bytes, mode, owner and existence. Needs root; skipped otherwise."""

import hashlib
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile

import pytest

from specimens import read, write

PYTHON = os.environ.get("KRIZ_PYTHON", sys.executable)
ATTACKER = 65534

pytestmark = pytest.mark.skipif(
    os.geteuid() != 0, reason="needs root, to run the driver over what uid 65534 prepares"
)


class Scene:
    """Root's folder (`rootdir`, with `coll`, the collection: an infected
    a.exe) and a sticky folder that everyone can write (`shared`), in a
    folder under /tmp that the attacker can reach."""

    def __init__(self, infected):
        self.top = tempfile.mkdtemp(prefix="cluster_output.", dir="/tmp")
        os.chmod(self.top, 0o755)
        self.rootdir = os.path.join(self.top, "rootdir")
        self.coll = os.path.join(self.rootdir, "coll")
        self.shared = os.path.join(self.top, "shared")
        os.makedirs(self.coll)
        os.mkdir(self.shared)
        os.chmod(self.shared, 0o1777)
        self.infected = os.path.join(self.coll, "a.exe")
        write(self.infected, infected)
        write(os.path.join(self.rootdir, "accounts"), b"root:x:0:0\nhalf a line")
        os.chmod(os.path.join(self.rootdir, "accounts"), 0o644)

    def attacker(self, code, *args):
        subprocess.run(["setpriv", "--reuid=%d" % ATTACKER, "--regid=%d" % ATTACKER,
                        "--clear-groups", "/usr/bin/python3", "-c", code, *args],
                       check=True, cwd=self.shared, timeout=30)

    def snapshot(self):
        """Every entry root owns under the scene: mode, kind, bytes."""
        seen = {}
        for folder, dirs, files in os.walk(self.top):
            for name in dirs + files:
                path = os.path.join(folder, name)
                info = os.lstat(path)
                if info.st_uid != 0:
                    continue
                data = None
                if stat.S_ISREG(info.st_mode):
                    data = hashlib.sha256(read(path)).hexdigest()
                seen[path] = (stat.S_IMODE(info.st_mode), stat.S_IFMT(info.st_mode), data)
        return seen


def forged_record(scene):
    return json.dumps({"input": scene.infected, "action": "clean", "objects": [],
                       "errors": [], "counts": {}, "not_scanned": {"files": 0, "folders": 0},
                       "messages": [], "exit_status": 0}).encode() + b"\n"


def user_folder_with_forged_record(scene):
    # The user's own folder, holding an output with a record that says a.exe
    # was handled already.
    scene.attacker("import os,sys; os.mkdir('u'); open('u/out.jsonl','wb').write(sys.argv[1].encode())",
                   forged_record(scene).decode())
    return ["-o", os.path.join(scene.shared, "u", "out.jsonl")], \
        "a folder on its path belongs to another user"


def forged_record_in_sticky_folder(scene):
    scene.attacker("import sys; open('out.jsonl','wb').write(sys.argv[1].encode())",
                   forged_record(scene).decode())
    return ["-o", os.path.join(scene.shared, "out.jsonl")], "it belongs to another user"


def link_to_root_file(scene):
    scene.attacker("import os,sys; os.symlink(sys.argv[1], 'out.jsonl')",
                   os.path.join(scene.rootdir, "accounts"))
    return ["-o", os.path.join(scene.shared, "out.jsonl")], \
        "a part of its path is a symbolic link that another user could have placed"


def link_to_missing_root_path(scene):
    scene.attacker("import os,sys; os.symlink(sys.argv[1], 'out.jsonl')",
                   os.path.join(scene.rootdir, "made.jsonl"))
    return ["-o", os.path.join(scene.shared, "out.jsonl")], \
        "a part of its path is a symbolic link that another user could have placed"


def link_in_a_folder_part(scene):
    scene.attacker("import os,sys; os.symlink(sys.argv[1], 'd')", scene.rootdir)
    return ["-o", os.path.join(scene.shared, "d", "made.jsonl")], \
        "a part of its path is a symbolic link that another user could have placed"


def hard_link_to_root_file(scene):
    # The user cannot make one to a file it cannot read; root's report,
    # left where the user's link can reach it, stands for one.
    report = os.path.join(scene.shared, "report.jsonl")
    write(report, forged_record(scene))
    os.link(report, os.path.join(scene.rootdir, "second-name.jsonl"))
    return ["-o", report], "it has more than one name"


def backup_folder_of_the_user(scene):
    # The notes of a --clean run go into the backup folder: here the user's.
    scene.attacker("import os; os.mkdir('bk', 0o777); os.chmod('bk', 0o777)")
    return ["--backup", os.path.join(scene.shared, "bk"),
            "-o", os.path.join(scene.rootdir, "out.jsonl")], \
        "not used for the notes of this run: a folder on its path belongs to another user"


CASES = [user_folder_with_forged_record, forged_record_in_sticky_folder, link_to_root_file,
         link_to_missing_root_path, link_in_a_folder_part, hard_link_to_root_file,
         backup_folder_of_the_user]


@pytest.mark.parametrize("case", CASES, ids=[c.__name__ for c in CASES])
def test_refused_and_nothing_of_roots_changed(case, specimens):
    scene = Scene(specimens.bytes("SETUP.EXE"))
    try:
        args, said = case(scene)
        if "--backup" not in args:
            args = ["--backup", os.path.join(scene.rootdir, "bk")] + args
        before = scene.snapshot()
        done = subprocess.run([PYTHON, "-m", "krizclean.cluster", "--workers", "1", "-q",
                               "--clean", *args, scene.coll], capture_output=True, timeout=300)
        err = done.stderr.decode(errors="replace")
        assert scene.snapshot() == before
        assert done.returncode == 2, err
        assert said in err and err.count("\n") == 1 and "Traceback" not in err, err
        assert "not used" in err
    finally:
        shutil.rmtree(scene.top, ignore_errors=True)


def test_an_output_of_roots_own_is_used(specimens):
    # The same sticky folder, the output made there by root, and a link of
    # root's to it: written, and resumed from.
    scene = Scene(specimens.bytes("SETUP.EXE"))
    try:
        output = os.path.join(scene.shared, "own.jsonl")
        os.symlink(output, os.path.join(scene.rootdir, "link.jsonl"))
        command = [PYTHON, "-m", "krizclean.cluster", "--workers", "1", "-q", "-o",
                   os.path.join(scene.rootdir, "link.jsonl"), scene.coll]
        done = subprocess.run(command, capture_output=True, timeout=300)
        assert done.returncode == 1, done.stderr
        assert os.lstat(output).st_uid == 0 and len(read(output).splitlines()) == 1
        done = subprocess.run(command, capture_output=True, timeout=300)
        assert done.returncode == 1 and b"1 of 1 containers recorded already" in done.stderr
    finally:
        shutil.rmtree(scene.top, ignore_errors=True)
