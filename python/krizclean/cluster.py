"""python3 -m krizclean.cluster: scans (or cleans) a collection on a Dask
cluster, one record per container in a JSON Lines file.

The collection is a folder, whose entries are its containers (each file,
disk image, archive or subfolder directly in it), or a list file that names
one path a line. Every worker must reach the paths by the same names (a
shared or network file system). Each task scans a batch of containers with
the krizclean module; only this client writes the output, a record a line,
as tasks finish. A run stopped in the middle and started again with the
same output scans only what is not recorded yet, so that every container
appears in it exactly once.

Run `python3 -m krizclean.cluster --help` for the options.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import json
import logging
import os
import shutil
import sys
import tempfile
import time
from dataclasses import dataclass, fields
from typing import Any, Callable, Iterable, Iterator, Optional

import krizclean
from krizclean import _krizclean

# Exit statuses, as krizclean's.
EXIT_CLEAN = 0
EXIT_INFECTED = 1
EXIT_NOT_SCANNED = 2

JOURNAL_SUFFIX = b".kzj"  # the cleaner's own working files (engine/journal.h)


@dataclass(frozen=True)
class Settings:
    """How every container of one run is scanned."""

    clean: bool
    backup: Optional[bytes]
    all_files: bool
    inside: bool
    show_all: bool
    entries: bool  # the inputs are a folder's entries, handled as its walk meets them
    # Where the tasks of a --clean run note their first attempts (see
    # Attempt), in the backup folder; None for a scan-only run.
    attempts: Optional[bytes] = None
    # The client's version of krizclean: a worker that runs another refuses
    # the task (VersionMismatch).
    version: str = krizclean.__version__

    @property
    def action(self) -> str:
        return "clean" if self.clean else "scan-only"


# --- paths in records: text where they are UTF-8, exact bytes beside where not


def put_path(record: dict[str, Any], key: str, path: bytes) -> None:
    text = path.decode("utf-8", "replace")
    record[key] = text
    if text.encode("utf-8") != path:
        record[key + "_base64"] = base64.b64encode(path).decode("ascii")


def path_of(record: dict[str, Any], key: str) -> bytes:
    exact = record.get(key + "_base64")
    path: bytes = base64.b64decode(exact) if exact is not None else record[key].encode("utf-8")
    return path


def make_own_folders(folder: bytes) -> None:
    """Makes `folder` and each missing folder above it for this user alone
    (0700), as krizclean makes its backup folder: os.makedirs would make the
    ones above with the umask's mode."""
    missing = []
    while folder and not os.path.isdir(folder):
        missing.append(folder)
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        folder = parent
    for made in reversed(missing):
        try:
            os.mkdir(made, 0o700)
        except FileExistsError:
            pass


# --- the task: runs on the workers


def unescaped(text: bytes) -> bytes:
    """A manifest's path with its "%XX" escapes undone (scan/backup.h)."""
    parts = text.split(b"%")
    out = [parts[0]]
    for part in parts[1:]:
        out.append(bytes([int(part[:2], 16)]) + part[2:])
    return b"".join(out)


class Attempt:
    """What an earlier, unrecorded attempt at a container cleaned: one lost
    with its worker (and tried again by Dask), or one whose client was
    killed before it wrote the record (and resumed). Before a --clean run
    first scans a container, it notes how long the backup folder's manifest
    is; every file that an attempt then keeps a backup of gets a line after
    that. A later attempt finds the note, and a file that it finds clean but
    that has such a line was cleaned by the earlier one: it is recorded
    "disinfected", not "ok"."""

    def __init__(self, path: bytes, settings: Settings) -> None:
        self.kept: set[bytes] = set()
        self.retried = False
        if settings.attempts is None or settings.backup is None:
            return
        manifest = os.path.join(settings.backup, b"manifest.txt")
        key = hashlib.sha256(path).hexdigest().encode()
        folder = os.path.join(settings.attempts, key[:2])
        make_own_folders(folder)
        note = os.path.join(folder, key)
        try:
            size = os.path.getsize(manifest)
        except FileNotFoundError:
            size = 0
        try:
            # Kept as long as the process that wrote it is not: no flush to
            # the disk for each container.
            with os.fdopen(os.open(note, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as f:
                f.write(str(size))
            return
        except FileExistsError:
            with open(note) as f:
                start = int(f.read() or 0)
        self.retried = True
        try:
            with open(manifest, "rb") as f:
                f.seek(start)
                lines = f.read().split(b"\n")
        except FileNotFoundError:
            return
        for line in lines:
            fields = line.split(b"\t")
            if len(fields) == 4:
                self.kept.add(unescaped(fields[3]))

    def amend(self, record: dict[str, Any], show_all: bool) -> None:
        """Marks what the lost attempt cleaned in a record scanned with every
        clean file listed, then drops the clean files unless asked for."""
        objects = []
        for entry in record["objects"]:
            if entry["code"] == 0 and path_of(entry, "path") in self.kept:
                entry.update(status="disinfected", code=2,
                             reason="cleaned by an attempt that was lost with its worker")
                record["counts"]["clean"] -= 1
                record["counts"]["disinfected"] += 1
                record["exit_status"] = EXIT_INFECTED
            if entry["code"] != 0 or show_all:
                objects.append(entry)
        record["objects"] = objects


def scan_container(path: bytes, settings: Settings) -> dict[str, Any]:
    """The record of one container. Never raises for what the scan meets:
    what could not be scanned is in the record."""
    attempt = Attempt(path, settings)
    record: dict[str, Any] = {}
    put_path(record, "input", path)
    record["action"] = settings.action
    try:
        result = krizclean._run(
            path,
            clean=settings.clean,
            all_files=settings.all_files,
            inside=settings.inside,
            backup=settings.backup,
            jobs=1,
            show_all=settings.show_all or attempt.retried,
            as_entry=settings.entries,
        )
    except krizclean.ScanError as error:
        # The run could not start (a backup folder that cannot be made here).
        record.update(
            objects=[],
            errors=[{"path": record["input"], "error": str(error)}],
            counts=dict.fromkeys((f.name for f in fields(krizclean.Counts)), 0),
            not_scanned={"files": 0, "folders": 0},
            messages=[str(error)],
            exit_status=EXIT_NOT_SCANNED,
        )
        return record
    document = result.as_dict()
    for key in ("objects", "errors", "counts", "not_scanned"):
        record[key] = document[key]
    record["messages"] = result.messages
    record["exit_status"] = result.exit_status
    if attempt.retried:
        attempt.amend(record, settings.show_all)
    return record


class VersionMismatch(Exception):
    """A worker that runs another version of krizclean than the client."""


def worker_version() -> str:
    """The version of krizclean a worker runs (run on each worker)."""
    return krizclean.__version__


def scan_batch(paths: list[bytes], settings: Settings) -> list[dict[str, Any]]:
    """The records of a batch of containers, in its order. Scanning again
    what a lost worker left half-way is safe: a repair it cut short left its
    journal, which the scan carries out before it looks at the file, and
    what it finished is found by the container's Attempt. A worker that
    joined with another version of krizclean refuses the batch."""
    if settings.version != krizclean.__version__:
        raise VersionMismatch(
            "a worker runs krizclean %s, this client %s" % (krizclean.__version__, settings.version)
        )
    return [scan_container(path, settings) for path in paths]


# --- the client


class Refusal(Exception):
    """A command line or an output that this run cannot go on with."""


def is_journal(name: bytes) -> bool:
    return name.endswith(JOURNAL_SUFFIX) and len(name) > len(JOURNAL_SUFFIX)


def inputs_of_folder(folder: bytes) -> list[bytes]:
    """The folder's entries as krizclean would show them, in name order; the
    cleaner's journals are no containers (their files' scans carry them out)."""
    shown = _krizclean.shown(folder)
    if not os.path.isdir(folder):
        raise Refusal("%s: not a folder" % os.fsdecode(folder))
    base = shown if shown.endswith(b"/") else shown + b"/"
    return [base + name for name in sorted(os.listdir(folder)) if not is_journal(name)]


def inputs_of_list(list_file: bytes) -> list[bytes]:
    """The paths a list file names, one a line (empty lines passed over),
    made absolute as krizclean shows them, each once."""
    try:
        with open(list_file, "rb") as f:
            lines = f.read().split(b"\n")
    except OSError as error:
        raise Refusal("%s: %s" % (os.fsdecode(list_file), error.strerror)) from error
    seen: set[bytes] = set()
    inputs = []
    for line in lines:
        if not line:
            continue
        path = _krizclean.shown(line)
        if path not in seen:
            seen.add(path)
            inputs.append(path)
    return inputs


def recorded_inputs(output: str, settings: Settings) -> set[bytes]:
    """The inputs that the output records already. A last line that a killed
    client left unfinished is cut off; records of another action refuse the
    run, since skipping them would leave their containers unhandled."""
    if not os.path.exists(output):
        return set()
    with open(output, "rb+") as f:
        content = f.read()
        whole = content.rfind(b"\n") + 1
        if whole != len(content):
            f.truncate(whole)
    done = set()
    for number, line in enumerate(content[:whole].splitlines(), 1):
        try:
            record = json.loads(line)
            path = path_of(record, "input")
        except (ValueError, KeyError) as error:
            raise Refusal("%s:%d: not a record of this program" % (output, number)) from error
        if record.get("action") != settings.action:
            raise Refusal(
                "%s holds records of a %s run; resume it with the same action, or choose"
                " another output" % (output, record.get("action"))
            )
        done.add(path)
    return done


def batches(paths: list[bytes], size: int) -> Iterator[list[bytes]]:
    for start in range(0, len(paths), size):
        yield paths[start : start + size]


class ProgressLine:
    """One line on standard error, redrawn at most every 200 ms, while it is
    a terminal."""

    def __init__(self, total: int, quiet: bool) -> None:
        self.total = total
        self.done = 0
        self.shown = not quiet and sys.stderr.isatty()
        self.start = time.monotonic()
        self.next_draw = 0.0

    def add(self, count: int) -> None:
        self.done += count
        now = time.monotonic()
        if self.shown and (now >= self.next_draw or self.done == self.total):
            self.next_draw = now + 0.2
            rate = self.done / max(now - self.start, 1e-6)
            sys.stderr.write(
                "\r%d of %d containers, %.1f/s " % (self.done, self.total, rate)
            )
            sys.stderr.flush()

    def finish(self) -> None:
        if self.shown:
            sys.stderr.write("\n")

    def say(self, text: str) -> None:
        """A line of its own, above the progress line."""
        sys.stderr.write(("\r\033[K" if self.shown else "") + "krizclean.cluster: %s\n" % text)
        sys.stderr.flush()


class Output:
    """The JSON Lines file, appended by this client alone: each record one
    line, written whole; flushed after each task and put on the disk at
    least once a second, so that a resumed run loses little."""

    def __init__(self, path: str) -> None:
        self.file = open(path, "ab")
        self.synced = time.monotonic()

    def write(self, records: Iterable[dict[str, Any]]) -> None:
        lines = b"".join(
            json.dumps(record, sort_keys=False).encode("ascii") + b"\n" for record in records
        )
        self.file.write(lines)
        self.file.flush()
        if time.monotonic() - self.synced >= 1.0:
            os.fsync(self.file.fileno())
            self.synced = time.monotonic()

    def close(self) -> None:
        self.file.flush()
        os.fsync(self.file.fileno())
        self.file.close()


def exit_status_of(output: str) -> tuple[int, dict[str, int]]:
    """krizclean's exit status for the whole collection as recorded, and the
    counters summed."""
    infected = not_scanned = False
    totals: dict[str, int] = {}
    with open(output, "rb") as f:
        for line in f:
            record = json.loads(line)
            infected = infected or record["exit_status"] == EXIT_INFECTED
            not_scanned = not_scanned or record["exit_status"] == EXIT_NOT_SCANNED
            for key, value in record["counts"].items():
                totals[key] = totals.get(key, 0) + value
    status = EXIT_INFECTED if infected else EXIT_NOT_SCANNED if not_scanned else EXIT_CLEAN
    return status, totals


SCRATCH_PREFIX = "krizclean-cluster-"


def remove_stale_scratch() -> None:
    """Removes the scratch folders of local clusters whose client was killed
    (its process id is in the folder's name, and no such process runs)."""
    base = tempfile.gettempdir()
    try:
        names = os.listdir(base)
    except OSError:
        return
    for name in names:
        if not name.startswith(SCRATCH_PREFIX):
            continue
        folder = os.path.join(base, name)
        try:
            pid = int(name[len(SCRATCH_PREFIX) :].split("-", 1)[0])
            info = os.lstat(folder)
        except (ValueError, OSError):
            continue
        if info.st_uid != os.geteuid() or not os.path.isdir(folder) or os.path.islink(folder):
            continue
        try:
            os.kill(pid, 0)
            continue  # its client still runs
        except ProcessLookupError:
            pass
        except PermissionError:
            continue
        shutil.rmtree(folder, ignore_errors=True)


def quiet_dask(verbose: bool) -> None:
    """Keeps Dask's own logging, tracebacks of lost connections among them,
    and the leaked-semaphore warnings of killed workers out of the terminal
    unless `verbose`. Set in the environment before Dask is imported, so
    that the worker processes it starts inherit it."""
    if verbose:
        return
    os.environ["DASK_LOGGING__DISTRIBUTED"] = "critical"
    os.environ["DASK_DISTRIBUTED__ADMIN__LOG_LENGTH"] = "0"
    warnings = os.environ.get("PYTHONWARNINGS")
    quiet = "ignore:resource_tracker"
    os.environ["PYTHONWARNINGS"] = quiet if not warnings else warnings + "," + quiet


def connect(scheduler: Optional[str], workers: int, scratch: Optional[str]) -> Any:
    """A client of the cluster at `scheduler`, or of a local one with
    `workers` worker processes of one thread each, whose scratch space is
    `scratch`."""
    from distributed import Client

    # Dask names some of its loggers a level of their own when it is
    # imported; unless --verbose, each is quiet.
    if os.environ.get("DASK_LOGGING__DISTRIBUTED") == "critical":
        for name in list(logging.root.manager.loggerDict):
            if name == "distributed" or name.startswith("distributed."):
                logging.getLogger(name).setLevel(logging.CRITICAL)
    make_client: Callable[..., Any] = Client
    if scheduler is not None:
        return make_client(scheduler)
    # The client owns the cluster it starts, and closes it with itself.
    return make_client(
        n_workers=workers,
        threads_per_worker=1,
        processes=True,
        dashboard_address=None,
        local_directory=scratch,
    )


def check_versions(client: Any) -> Optional[str]:
    """Why the cluster cannot run this client's tasks, or None: each worker
    must run the client's version of krizclean."""
    try:
        versions: dict[str, str] = client.run(worker_version)
    except ImportError as error:
        return "a worker cannot import krizclean: %s" % error
    for address, version in sorted(versions.items()):
        if version != krizclean.__version__:
            return "worker %s runs krizclean %s, this client %s; every worker must run the same" \
                " version" % (address, version, krizclean.__version__)
    return None


def say_lost_workers(client: Any, progress: "ProgressLine") -> None:
    """Says in one line each worker lost while it had tasks: Dask runs them
    again on another."""

    def told(event: Any) -> None:
        _, message = event
        if isinstance(message, dict) and message.get("action") == "remove-worker" and message.get(
            "processing-tasks"
        ):
            progress.say("worker lost; its batch is run again")

    client.subscribe_topic("all", told)


def run(
    client: Any, pending: list[bytes], settings: Settings, output: Output, batch: int, quiet: bool
) -> None:
    """Scans the pending containers in batches on the cluster, keeping a few
    tasks per worker thread in flight, and writes each batch's records as
    it comes."""
    from distributed import as_completed

    threads = max(1, sum(client.nthreads().values()))
    window = 4 * threads
    todo = batches(pending, batch)
    progress = ProgressLine(len(pending), quiet)
    say_lost_workers(client, progress)
    completed: Callable[..., Any] = as_completed
    running = completed()
    for part in todo:
        running.add(client.submit(scan_batch, part, settings, pure=False))
        if running.count() >= window:
            break
    try:
        for future in running:
            records = future.result()
            output.write(records)
            progress.add(len(records))
            future.release()
            following = next(todo, None)
            if following is not None:
                running.add(client.submit(scan_batch, following, settings, pure=False))
    finally:
        progress.finish()


def parse_arguments(argv: Optional[list[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python3 -m krizclean.cluster",
        description="Scan (or clean) a collection of containers on a Dask cluster, one JSON"
        " Lines record per container.",
    )
    parser.add_argument(
        "input",
        help="a folder, each of whose entries (files, disk images, archives, subfolders) is one"
        " container; with --list, a file naming one path a line",
    )
    parser.add_argument("-o", "--output", required=True, help="the JSON Lines file (resumed when it exists)")
    parser.add_argument("--list", action="store_true", help="INPUT is a list file")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="join this Dask scheduler")
    parser.add_argument(
        "--workers",
        type=int,
        default=os.cpu_count() or 1,
        help="worker processes of the local cluster (default: one per core)",
    )
    parser.add_argument("--batch", type=int, default=8, help="containers per task (default: 8)")
    parser.add_argument("-c", "--clean", action="store_true", help="clean every infected file")
    parser.add_argument(
        "--backup",
        metavar="DIR",
        help="keep each infected file in DIR before it is cleaned (needed by --clean; on a"
        " file system every worker reaches)",
    )
    parser.add_argument("--all-files", action="store_true", help="look at every file")
    parser.add_argument("--show-all", action="store_true", help="list clean files too")
    parser.add_argument(
        "--no-inside", action="store_true", help="do not look into images and archives in folders"
    )
    parser.add_argument("-q", "--quiet", action="store_true", help="no progress line")
    parser.add_argument(
        "--verbose", action="store_true", help="show Dask's own messages and tracebacks too"
    )
    arguments = parser.parse_args(argv)
    if arguments.clean and arguments.backup is None:
        parser.error("--clean needs --backup DIR")
    if arguments.batch < 1 or arguments.workers < 1:
        parser.error("--batch and --workers need a number from 1 on")
    return arguments


def main(argv: Optional[list[str]] = None) -> int:
    arguments = parse_arguments(argv)
    quiet_dask(arguments.verbose)
    backup: Optional[bytes] = None
    attempts: Optional[bytes] = None
    if arguments.backup is not None:
        backup = _krizclean.shown(os.fsencode(arguments.backup))
    if arguments.clean and backup is not None:
        # One folder of notes per output file, removed when every container
        # is recorded: a run over the same containers into another output
        # starts afresh.
        shown_output = _krizclean.shown(os.fsencode(arguments.output))
        attempts = os.path.join(
            backup, b".krizclean-cluster", hashlib.sha256(shown_output).hexdigest()[:16].encode()
        )
    settings = Settings(
        clean=arguments.clean,
        backup=backup,
        all_files=arguments.all_files,
        inside=not arguments.no_inside,
        show_all=arguments.show_all,
        entries=not arguments.list,
        attempts=attempts,
    )
    source = os.fsencode(arguments.input)
    try:
        inputs = inputs_of_list(source) if arguments.list else inputs_of_folder(source)
        done = recorded_inputs(arguments.output, settings)
    except Refusal as refusal:
        print("krizclean.cluster: %s" % refusal, file=sys.stderr)
        return EXIT_NOT_SCANNED
    pending = [path for path in inputs if path not in done]
    if done:
        print(
            "krizclean.cluster: %d of %d containers recorded already; scanning the other %d"
            % (len(inputs) - len(pending), len(inputs), len(pending)),
            file=sys.stderr,
        )
    output = Output(arguments.output)
    # The local cluster's scratch space, its user's alone, removed at the
    # end; that of a killed client's run is removed by the next run.
    scratch: Optional[str] = None
    try:
        if pending:
            if arguments.scheduler is None:
                remove_stale_scratch()
                scratch = tempfile.mkdtemp(prefix="%s%d-" % (SCRATCH_PREFIX, os.getpid()))
            with connect(arguments.scheduler, arguments.workers, scratch) as client:
                refused = check_versions(client)
                if refused is not None:
                    print("krizclean.cluster: %s" % refused, file=sys.stderr)
                    return EXIT_NOT_SCANNED
                run(client, pending, settings, output, arguments.batch, arguments.quiet)
    except KeyboardInterrupt:
        print(
            "krizclean.cluster: interrupted; run it again with the same --output to go on",
            file=sys.stderr,
        )
        return EXIT_NOT_SCANNED
    except VersionMismatch as mismatch:
        print("krizclean.cluster: %s; every worker must run the same version" % mismatch,
              file=sys.stderr)
        return EXIT_NOT_SCANNED
    finally:
        output.close()
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)
    # Every container is recorded: no task will be tried again.
    if attempts is not None and os.path.isdir(attempts):
        shutil.rmtree(attempts)
        try:
            os.rmdir(os.path.dirname(attempts))
        except OSError:
            pass  # the notes of another output's run
    status, totals = exit_status_of(arguments.output)
    if not arguments.quiet:
        print(
            "krizclean.cluster: %d containers; %s"
            % (len(inputs), ", ".join("%s %d" % item for item in totals.items())),
            file=sys.stderr,
        )
    return status


if __name__ == "__main__":
    sys.exit(main())
