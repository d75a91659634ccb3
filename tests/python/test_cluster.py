"""python3 -m krizclean.cluster on a local Dask cluster of 2 worker processes,
over a generated collection of 300 containers (files, folders, FAT images,
ZIPs, a few damaged): merged, its records are the single process's result;
a worker killed in the middle of a cleaning loses nothing, cleans every file
exactly once and leaves no file half cleaned; a client killed in the middle
is resumed, and every container is recorded exactly once."""

import base64
import collections
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

import krizclean
from specimens import cli_json, make_fat, read, write, zip_bytes

PYTHON = os.environ.get("KRIZ_PYTHON", sys.executable)


@pytest.fixture(scope="module")
def collection(work, specimens):
    """302 containers: 100 files, 90 folders, 70 ZIPs, 30 FAT images and 12
    damaged images and archives."""
    root = os.path.join(work, "collection")
    infected = specimens.bytes("SETUP.EXE")
    other = specimens.bytes("READONLY.EXE")
    clean = specimens.clean_bytes("SETUP.EXE")
    text = specimens.bytes("README.TXT")
    for i in range(100):
        name, data = [("prog%03d.exe", infected), ("clean%03d.exe", clean),
                      ("notes%03d.txt", text), ("tool%03d.exe", other)][i % 4]
        write(os.path.join(root, name % i), data)
    for i in range(90):
        folder = os.path.join(root, "disk%03d" % i)
        write(os.path.join(folder, "GAME.EXE"), infected if i % 3 else clean)
        write(os.path.join(folder, "sub", "deeper", "Setup.exe"), other)
        write(os.path.join(folder, "README.TXT"), text)
        if i % 10 == 0:
            write(os.path.join(folder, "inside.zip"), zip_bytes({"IN.EXE": infected}))
    members = {"SETUP.EXE": infected, "dir/CLEAN.EXE": clean, "README.TXT": text}
    for i in range(70):
        nested = {"INNER.ZIP": {"DEEP.EXE": other}} if i % 7 == 0 else None
        write(os.path.join(root, "archive%03d.zip" % i), zip_bytes(members, nested))
    templates = []
    for kind, files in enumerate([["SETUP.EXE", "README.TXT"], ["READONLY.EXE"],
                                  ["Program Files"]]):
        image = os.path.join(work, "template%d.img" % kind)
        make_fat(image, [os.path.join(specimens.drive, f) for f in files], kib=1440)
        templates.append(image)
    for i in range(30):
        shutil.copy(templates[i % 3], os.path.join(root, "floppy%03d.img" % i))
    whole = read(os.path.join(root, "archive000.zip"))
    for i in range(4):
        write(os.path.join(root, "cut%d.zip" % i), whole[: 200 + 700 * i])
        write(os.path.join(root, "noise%d.img" % i), bytes(range(256)) * (8 + i))
        write(os.path.join(root, "empty%d.iso" % i), b"")
    assert len(os.listdir(root)) == 302
    return root


def cluster(*args, **popen):
    command = [PYTHON, "-m", "krizclean.cluster", "--workers", "2", "-q"] + list(args)
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            start_new_session=True, **popen)


def finish(process, timeout=600):
    out, err = process.communicate(timeout=timeout)
    return process.returncode, err.decode(errors="replace")


def records(output):
    with open(output, "rb") as f:
        return [json.loads(line) for line in f]


def input_of(record):
    exact = record.get("input_base64")
    return base64.b64decode(exact) if exact else record["input"].encode()


def merged(found):
    """The records as one result: objects in one order, counts summed."""
    objects = sorted((json.dumps(o, sort_keys=True) for r in found for o in r["objects"]))
    counts = collections.Counter()
    not_scanned = collections.Counter()
    for r in found:
        counts.update(r["counts"])
        not_scanned.update(r["not_scanned"])
    return objects, dict(counts), dict(not_scanned)


def single_process(document):
    objects = sorted(json.dumps(o, sort_keys=True) for o in document["objects"])
    return objects, document["counts"], document["not_scanned"]


def each_once(found, expected_inputs):
    inputs = collections.Counter(input_of(r) for r in found)
    assert all(n == 1 for n in inputs.values()), [k for k, n in inputs.items() if n > 1]
    assert set(inputs) == set(expected_inputs)


def entries(root):
    return [os.fsencode(os.path.join(root, name)) for name in os.listdir(root)]


def wait_for_records(output, count, process, timeout=120):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(output) and read(output).count(b"\n") >= count:
            return
        assert process.poll() is None, "the run ended before it was stopped"
        time.sleep(0.01)
    raise AssertionError("no records came")


def worker_processes(client_pid):
    """The Dask worker processes that the client started (multiprocessing's
    spawned children, not its resource tracker)."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % pid) as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                command = f.read()
        except OSError:
            continue
        if parent == client_pid and b"spawn_main" in command:
            found.append(int(pid))
    return found


def test_two_workers_give_the_single_process_result(collection, tmp_path):
    output = str(tmp_path / "records.jsonl")
    status, err = finish(cluster("--show-all", "--batch", "7", "-o", output, collection))
    expected = cli_json("--inside", "--show-all", collection)
    assert status == 1, err
    found = records(output)
    each_once(found, entries(collection))
    assert merged(found) == single_process(expected)
    # The damaged ones are there, reported.
    assert sum(r["not_scanned"]["files"] for r in found) >= 12
    assert all(r["action"] == "scan-only" for r in found)


def test_workers_killed_while_cleaning_lose_nothing(collection, specimens, tmp_path):
    root = str(tmp_path / "collection")
    shutil.copytree(collection, root)
    # A folder whose cleaning takes long enough to be cut off in the middle.
    for i in range(300):
        write(os.path.join(root, "big", "p%03d.exe" % i), specimens.bytes("SETUP.EXE"))
    expected = cli_json("--inside", "--show-all", root)
    output = str(tmp_path / "records.jsonl")
    backup = str(tmp_path / "backup")
    process = cluster("--clean", "--backup", backup, "--batch", "1", "-o", output, root)
    manifest = os.path.join(backup, "manifest.txt")
    deadline = time.monotonic() + 120
    while not (os.path.exists(manifest) and read(manifest).count(b"/big/") >= 20):
        assert process.poll() is None and time.monotonic() < deadline
        time.sleep(0.005)
    workers = worker_processes(process.pid)
    assert len(workers) == 2, workers
    for worker in workers:
        os.kill(worker, signal.SIGKILL)
    status, err = finish(process)
    assert status == 1, err
    # Each loss said in a line of its own, none of Dask's tracebacks.
    assert "krizclean.cluster: worker lost; its batch is run again\n" in err, err
    for noise in ("Traceback", "CommClosedError", "leaked semaphore", "distributed."):
        assert noise not in err, err
    # The backup folder, made by the tasks' notes, is its user's alone.
    assert os.stat(backup).st_mode & 0o777 == 0o700
    found = records(output)
    each_once(found, entries(root))
    # Every program on the disk is clean now, none half way: no journal.
    infected, clean = specimens.bytes("SETUP.EXE"), specimens.clean_bytes("SETUP.EXE")
    other_clean = specimens.clean_bytes("READONLY.EXE")
    for folder, _, names in os.walk(root):
        for name in names:
            assert not name.endswith(".kzj"), name
            if name.endswith((".exe", ".EXE")):
                assert read(os.path.join(folder, name)) in (clean, other_clean), name
    # Each infected file on the disk is recorded disinfected once, also one
    # that the killed worker cleaned; inside containers nothing is cleaned
    # where backups are kept.
    on_disk = sorted(o["path"] for o in expected["objects"]
                     if o["status"] == "infected" and "inner_path" not in o)
    disinfected = sorted(o["path"] for r in found for o in r["objects"]
                         if o["status"] == "disinfected")
    assert disinfected == on_disk
    assert sum(r["counts"]["disinfected"] for r in found) == len(on_disk)
    [big] = [r for r in found if input_of(r).endswith(b"/big")]
    lost = [o for o in big["objects"] if o.get("reason", "").startswith("cleaned by an attempt")]
    # 20 backups were kept before the kill: all but the one in work at most
    # were cleaned then.
    assert 19 <= len(lost) < 300 and big["counts"]["disinfected"] == 300
    assert not os.path.exists(os.path.join(backup, ".krizclean-cluster"))


def test_a_killed_client_is_resumed(collection, tmp_path):
    # A list file: some containers, one twice, one that is not there.
    names = sorted(os.listdir(collection))[::3]
    paths = [os.path.join(collection, n) for n in names]
    missing = os.path.join(collection, "gone.zip")
    listed = str(tmp_path / "list.txt")
    write(listed, "\n".join(paths + [paths[5], missing]).encode() + b"\n")
    expected = cli_json("--inside", "--show-all", *(paths + [missing]))
    output = str(tmp_path / "records.jsonl")
    # Its own temporary folder and working folder, to find what it leaves.
    scratch, start = tmp_path / "tmp", tmp_path / "start"
    scratch.mkdir()
    start.mkdir()
    popen = {"env": dict(os.environ, TMPDIR=str(scratch)), "cwd": str(start)}
    process = cluster("--list", "--show-all", "--batch", "1", "-o", output, listed, **popen)
    wait_for_records(output, 5, process)
    os.killpg(process.pid, signal.SIGKILL)
    process.wait()
    assert len([n for n in os.listdir(scratch) if n.startswith("krizclean-cluster-")]) == 1
    # A record cut off in the middle of its line, as a kill may leave it.
    with open(output, "ab") as f:
        f.write(b'{"input": "/half')
    before = len(records_until_cut(output))
    assert 5 <= before < len(paths) + 1
    status, err = finish(cluster("--list", "--show-all", "-o", output, listed, **popen))
    assert status == 1, err
    assert "recorded already" in err
    # The killed run's scratch space is gone with the next run's own.
    assert os.listdir(scratch) == [] and os.listdir(start) == []
    found = records(output)
    each_once(found, [os.fsencode(p) for p in paths + [missing]])
    objects, counts, not_scanned = merged(found)
    assert (objects, counts, not_scanned) == single_process(expected)
    [gone] = [r for r in found if input_of(r) == os.fsencode(missing)]
    assert gone["errors"] == [{"path": missing, "error": "no such file or folder"}]
    # A run of the other action does not take these records for its own.
    status, err = finish(cluster("--list", "--clean", "--backup", str(tmp_path / "b"), "-o",
                                 output, listed))
    assert status == 2 and "scan-only run" in err


def records_until_cut(output):
    content = read(output)
    return content[: content.rfind(b"\n") + 1].splitlines()


def test_clean_needs_a_backup_folder(tmp_path):
    status, err = finish(cluster("--clean", "-o", str(tmp_path / "out"), str(tmp_path)))
    assert status == 2 and "--clean needs --backup DIR" in err


def test_a_worker_of_another_version_is_refused(tmp_path):
    from krizclean import cluster as driver

    class Cluster:
        def __init__(self, versions):
            self.versions = versions

        def run(self, function):
            assert function() == krizclean.__version__
            return self.versions

    same = {"tcp://10.0.0.1:1": krizclean.__version__}
    assert driver.check_versions(Cluster(same)) is None
    other = dict(same, **{"tcp://10.0.0.2:1": "0.0.1"})
    refused = driver.check_versions(Cluster(other))
    assert refused == ("worker tcp://10.0.0.2:1 runs krizclean 0.0.1, this client %s; every"
                       " worker must run the same version" % krizclean.__version__)
    # A worker that joins later refuses each task.
    settings = driver.Settings(clean=False, backup=None, all_files=False, inside=True,
                               show_all=False, entries=True, version="0.0.1")
    with pytest.raises(driver.VersionMismatch):
        driver.scan_batch([os.fsencode(tmp_path)], settings)
