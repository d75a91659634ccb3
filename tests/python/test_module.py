"""The Python module krizclean: its results are the command-line cleaner's
JSON for the same run (folders, FAT images, ZIPs, scan-only and clean),
scan_bytes agrees with scan, errors come as exceptions with the program's
texts, the GIL is free while a scan runs, and a Ctrl-C stops a scan as it
stops the program."""

import gzip
import io
import os
import shutil
import signal
import subprocess
import sys
import tarfile
import textwrap
import threading
import time

import pytest

import krizclean
from specimens import cli_json, make_demo, make_fat, read, write, zip_bytes


@pytest.fixture(scope="module")
def containers(work, specimens):
    """A FAT image and a ZIP (with a ZIP inside) of the specimens, a damaged
    ZIP, and a .tar.gz whose gzip trailer holds a wrong CRC."""
    folder = os.path.join(work, "containers")
    os.makedirs(folder)
    image = os.path.join(folder, "disk.img")
    make_fat(image, [os.path.join(specimens.drive, n) for n in sorted(os.listdir(specimens.drive))])
    members = {name: specimens.bytes(name) for name in specimens.names}
    archive = os.path.join(folder, "games.zip")
    write(archive, zip_bytes(members, nested={"more/INNER.ZIP": {"A.EXE": members["SETUP.EXE"]}}))
    damaged = os.path.join(folder, "damaged.zip")
    write(damaged, read(archive)[:3000])
    members_tar = io.BytesIO()
    with tarfile.open(fileobj=members_tar, mode="w") as tar:
        for name, data in members.items():
            info = tarfile.TarInfo(name)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    packed = bytearray(gzip.compress(members_tar.getvalue()))
    packed[-8] ^= 0xFF  # the CRC-32 of the trailer
    bad_trailer = os.path.join(folder, "games.tar.gz")
    write(bad_trailer, bytes(packed))
    return {"image": image, "archive": archive, "damaged": damaged, "bad trailer": bad_trailer}


def fresh_demo(work):
    """The demo folder, made anew at the same path."""
    demo = os.path.join(work, "demo")
    if os.path.exists(demo):
        subprocess.run(["chmod", "-R", "u+w", demo], check=True)
        shutil.rmtree(demo)
    make_demo(demo, work)
    return demo


# --- the module's results are the program's JSON


@pytest.mark.parametrize(
    "options, arguments",
    [
        ({}, []),
        ({"show_all": True}, ["--show-all"]),
        ({"all_files": True, "show_all": True}, ["--all-files", "--show-all"]),
        ({"inside": False, "jobs": 2}, ["-j", "2"]),
    ],
)
def test_demo_folder_scanned_as_the_program_does(work, options, arguments):
    demo = fresh_demo(work)
    result = krizclean.scan(demo, **options)
    expected = cli_json(*(arguments + (["--inside"] if options.get("inside", True) else [])), demo)
    assert result.as_dict() == expected
    assert result.exit_status == 1 and result.found_infection
    assert len(result.objects) == len(expected["objects"])
    for obj, entry in zip(result.objects, expected["objects"]):
        assert (obj.path, obj.status, obj.code, obj.kind) == (
            entry["path"], entry["status"], entry["code"], entry["kind"])


def test_demo_folder_cleaned_as_the_program_cleans_it(work):
    demo = fresh_demo(work)
    expected = cli_json("--clean", "--inside", demo)
    cleaned_by_program = {
        os.path.relpath(os.path.join(folder, name), demo): read(os.path.join(folder, name))
        for folder, _, files in os.walk(demo) for name in files
    }
    demo = fresh_demo(work)
    result = krizclean.scan(demo, clean=True)
    assert result.as_dict() == expected
    assert result.counts.disinfected == 6 and result.action == "clean"
    for name, data in cleaned_by_program.items():
        assert read(os.path.join(demo, name)) == data, name
    assert krizclean.scan(demo).counts.left_infected == 0


def test_path_that_is_not_utf8_keeps_its_bytes(work):
    demo = fresh_demo(work)
    [odd] = [o for o in krizclean.scan(demo).objects if b"\xff" in o.path_bytes]
    assert odd.path_bytes == os.fsencode(demo) + b"/tools/\xff\xfe.exe"
    assert odd.path == demo + "/tools/\ufffd\ufffd.exe" and odd.status == "infected"
    assert os.path.exists(odd.path_bytes)


@pytest.mark.parametrize("which", ["image", "archive", "damaged"])
@pytest.mark.parametrize("clean", [False, True])
def test_image_and_archive_scanned_as_the_program_does(containers, which, clean, tmp_path):
    source = containers[which]
    path = str(tmp_path / os.path.basename(source))
    shutil.copy(source, path)
    expected = cli_json(*(["--clean"] if clean else []), "--show-all", path)
    shutil.copy(source, path)
    result = krizclean.scan(path, clean=clean, show_all=True)
    assert result.as_dict() == expected
    inner = [o for o in result.objects if o.inner_path]
    if which != "damaged":
        assert all(o.container == path and o.path == path + "!" + o.inner_path for o in inner)
        assert any(o.status == ("disinfected" if clean and which == "image" else
                                "cannot disinfect" if clean else "infected") for o in inner)
    else:
        assert result.not_scanned.files >= 1 and result.exit_status in (1, 2)


# --- scan_bytes agrees with scan


@pytest.mark.parametrize("which", ["image", "archive", "damaged", "bad trailer", "program",
                                   "clean program", "not a program"])
def test_scan_bytes_agrees_with_scan(containers, specimens, which, tmp_path):
    files = {
        "program": ("SETUP.EXE", specimens.bytes("SETUP.EXE")),
        "clean program": ("clean.exe", specimens.clean_bytes("SETUP.EXE")),
        "not a program": ("README.TXT", specimens.bytes("README.TXT")),
    }
    if which in files:
        name, data = files[which]
        path = str(tmp_path / name)
        write(path, data)
    else:
        path = containers[which]
    data = read(path)
    for options in ({}, {"show_all": True}, {"all_files": True, "show_all": True}):
        by_path = krizclean.scan(path, **options)
        by_bytes = krizclean.scan_bytes(data, path, **options)
        assert by_bytes.as_dict() == by_path.as_dict(), options
        assert [o.path_bytes for o in by_bytes.objects] == [o.path_bytes for o in by_path.objects]
    # From a bytearray and a memoryview alike, and by a name that is bytes.
    by_path = krizclean.scan(path).json()
    assert krizclean.scan_bytes(bytearray(data), os.fsencode(path)).json() == by_path
    assert krizclean.scan_bytes(memoryview(data), path).json() == by_path


def test_scan_bytes_reports_a_disk_it_cannot_read_from_memory():
    vhd = bytes(1024) + b"conectix" + bytes(504)
    result = krizclean.scan_bytes(vhd, "old.vhd")
    assert [(o.path, o.status) for o in result.objects] == [("old.vhd", "cannot open")]
    assert "from a file only" in result.objects[0].reason
    assert result.exit_status == 2


# --- errors


def test_errors_come_as_exceptions_with_the_programs_texts(tmp_path):
    missing = str(tmp_path / "missing")
    with pytest.raises(FileNotFoundError) as raised:
        krizclean.scan(missing)
    assert raised.value.strerror == "no such file or folder" and raised.value.filename == missing
    pipe = str(tmp_path / "pipe")
    os.mkfifo(pipe)
    with pytest.raises(krizclean.ScanError, match="pipe: not a file or folder"):
        krizclean.scan(pipe)
    a_file = str(tmp_path / "file")
    write(a_file, b"x")
    with pytest.raises(krizclean.ScanError, match="file: cannot keep backups in this folder"):
        krizclean.scan(str(tmp_path), clean=True, backup=a_file)
    for jobs in (0, 257, "2"):
        with pytest.raises(ValueError, match="jobs needs a number from 1 to 256"):
            krizclean.scan(str(tmp_path), jobs=jobs)
    with pytest.raises(TypeError):
        krizclean.scan_bytes([1, 2, 3], "x.exe")


# --- the GIL and Ctrl-C

SCAN_AND_REPORT = textwrap.dedent("""
    import krizclean, sys
    print("scanning", flush=True)
    try:
        result = krizclean.scan(sys.argv[1], clean=True)
        print("finished", result.counts.disinfected, flush=True)
    except krizclean.Interrupted as stop:
        result = stop.result
        assert isinstance(stop, KeyboardInterrupt) and result.interrupted
        print("interrupted", result.counts.disinfected, result.exit_status,
              len(result.messages), flush=True)
    """)


@pytest.fixture(scope="module")
def many_infected(work, specimens):
    """Infected programs enough for a cleaning that takes seconds."""
    folder = os.path.join(work, "many")
    data = specimens.bytes("SETUP.EXE")
    for i in range(1500):
        write(os.path.join(folder, "d%02d" % (i % 30), "p%04d.exe" % i), data)
    return folder


def test_ctrl_c_stops_the_scan_after_the_file_in_work(many_infected, specimens, tmp_path):
    folder = str(tmp_path / "many")
    shutil.copytree(many_infected, folder)
    child = subprocess.Popen([sys.executable, "-c", SCAN_AND_REPORT, folder],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "scanning\n"
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert child.returncode == 0, err
    words = out.split()
    assert words[0] == "interrupted", out
    cleaned = int(words[1])
    assert 0 < cleaned < 1500 and words[2] == "1"
    # Every file is either the infected original or exactly clean, no
    # journal is left, and the count is what the disk holds.
    infected, clean = specimens.bytes("SETUP.EXE"), specimens.clean_bytes("SETUP.EXE")
    found = {"infected": 0, "clean": 0}
    for where, _, names in os.walk(folder):
        for name in names:
            assert not name.endswith(".kzj"), name
            data = read(os.path.join(where, name))
            assert data in (infected, clean), name
            found["clean" if data == clean else "infected"] += 1
    assert found == {"clean": cleaned, "infected": 1500 - cleaned}


def test_other_threads_run_while_a_scan_runs(many_infected):
    ticks = []
    spans = []
    done = threading.Event()

    def scan():
        for _ in range(3):
            start = time.monotonic()
            krizclean.scan(many_infected, all_files=True, show_all=True)
            spans.append((start, time.monotonic()))
        done.set()

    thread = threading.Thread(target=scan)
    thread.start()
    while not done.is_set():
        ticks.append(time.monotonic())
        time.sleep(0.001)
    thread.join()
    # This thread went on while each scan ran, not only between them: the
    # scan does not hold the GIL.
    for start, end in spans:
        assert sum(start < tick < end for tick in ticks) >= 3, (end - start)


def test_version_is_the_programs():
    printed = subprocess.run(
        [os.environ["KRIZCLEAN"], "--version"], check=True, capture_output=True, text=True
    ).stdout
    assert printed.splitlines()[0] == "krizclean " + krizclean.__version__
    assert printed.split("\n", 1)[1] == krizclean._krizclean.built_with
