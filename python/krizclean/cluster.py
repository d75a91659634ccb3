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
from krizclean import _krizclean, owned_paths

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
        key = hashlib.sha256(path).hexdigest().encode()
        # The notes and the manifest are reached as the client's output is:
        # through no link and no folder that another user controls.
        notes = owned_paths.own_folder(os.path.join(settings.attempts, key[:2]), create=True)
        try:
            backup = owned_paths.own_folder(settings.backup)
            try:
                manifest = owned_paths.open_existing(backup, b"manifest.txt", os.O_RDONLY)
            finally:
                os.close(backup)
            try:
                lines = self._noted(notes, key, manifest)
            finally:
                if manifest is not None:
                    os.close(manifest)
        finally:
            os.close(notes)
        for line in lines:
            fields = line.split(b"\t")
            if len(fields) == 4:
                self.kept.add(unescaped(fields[3]))

    def _noted(self, notes: int, key: bytes, manifest: Optional[int]) -> list[bytes]:
        """Notes the manifest's length for a first attempt; for a later one,
        the manifest's lines written since the first."""
        size = os.fstat(manifest).st_size if manifest is not None else 0
        made = owned_paths.create_new(notes, key, os.O_WRONLY, 0o600)
        if made is not None:
            # Kept as long as the process that wrote it is not: no flush to
            # the disk for each container.
            with open(made, "w") as note:
                note.write(str(size))
            return []
        held = owned_paths.open_existing(notes, key, os.O_RDONLY)
        if held is None:
            raise owned_paths.Refused("a note of its attempts vanished")
        with open(held) as note:
            start = int(note.read() or 0)
        self.retried = True
        if manifest is None:
            return []
        with open(manifest, "rb", closefd=False) as f:
            f.seek(start)
            return f.read().split(b"\n")

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
    record: dict[str, Any] = {}
    put_path(record, "input", path)
    record["action"] = settings.action
    try:
        attempt = Attempt(path, settings)
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
    except (krizclean.ScanError, owned_paths.Refused) as error:
        # The run could not start (a backup folder that cannot be made here,
        # notes that are not ours).
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


def open_output(path: str) -> tuple[int, bool]:
    """The output, opened for reading and writing without following a link
    that another user could have placed, in a folder that no other user
    can change; made when it is not there. Another user's output, or one
    with a second name, is refused: its records would decide what is
    skipped. And whether it was made."""
    try:
        folder, name = owned_paths.parent_of(os.fsencode(path))
        try:
            return owned_paths.open_or_create(folder, name, os.O_RDWR, 0o666)
        finally:
            os.close(folder)
    except owned_paths.Refused as refused:
        raise Refusal("%s: not used as the output: %s" % (path, refused)) from refused


def check_output(path: str) -> None:
    """Refuses the output, as open_output would, without making it."""
    try:
        folder, name = owned_paths.parent_of(os.fsencode(path))
        try:
            fd = owned_paths.open_existing(folder, name, os.O_RDONLY)
            if fd is not None:
                os.close(fd)
        finally:
            os.close(folder)
    except owned_paths.Refused as refused:
        raise Refusal("%s: not used as the output: %s" % (path, refused)) from refused


def prepare_notes(attempts: bytes) -> None:
    """Makes the folder of a --clean run's notes, 0700, or refuses one that
    is not the running user's own."""
    try:
        os.close(owned_paths.own_folder(attempts, create=True))
    except owned_paths.Refused as refused:
        raise Refusal(
            "%s: not used for the notes of this run: %s" % (os.fsdecode(attempts), refused)
        ) from refused


def remove_notes(attempts: bytes) -> None:
    """Removes the notes of a run (and their parent, when it holds no other
    run's), reached as they were made."""
    parent, name = os.path.split(attempts)
    try:
        held = owned_paths.own_folder(parent)
    except owned_paths.Refused:
        return  # made by no one else meanwhile: nothing of ours to remove
    try:
        shutil.rmtree(name, dir_fd=held)
    except FileNotFoundError:
        pass
    finally:
        os.close(held)
    try:
        os.rmdir(parent)
    except OSError:
        pass  # the notes of another output's run


def recorded_inputs(output: int, shown: str, settings: Settings) -> set[bytes]:
    """The inputs that the output (open, ours) records already. A last line
    that a killed client left unfinished is cut off; records of another
    action refuse the run, since skipping them would leave their containers
    unhandled."""
    with open(output, "rb", closefd=False) as f:
        content = f.read()
    whole = content.rfind(b"\n") + 1
    if whole != len(content):
        os.ftruncate(output, whole)
    done = set()
    for number, line in enumerate(content[:whole].splitlines(), 1):
        try:
            record = json.loads(line)
            path = path_of(record, "input")
        except (ValueError, KeyError) as error:
            raise Refusal("%s:%d: not a record of this program" % (shown, number)) from error
        if record.get("action") != settings.action:
            raise Refusal(
                "%s holds records of a %s run; resume it with the same action, or choose"
                " another output" % (shown, record.get("action"))
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

    def __init__(self, output: int) -> None:
        self.file = open(output, "ab", closefd=False)
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


def exit_status_of(output: int) -> tuple[int, dict[str, int]]:
    """krizclean's exit status for the whole collection as recorded (in the
    open output), and the counters summed."""
    infected = not_scanned = False
    totals: dict[str, int] = {}
    os.lseek(output, 0, os.SEEK_SET)
    with open(output, "rb", closefd=False) as f:
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
        # Each refusal comes before anything is made.
        check_output(arguments.output)
        if attempts is not None:
            prepare_notes(attempts)
        held, _ = open_output(arguments.output)
    except Refusal as refusal:
        print("krizclean.cluster: %s" % refusal, file=sys.stderr)
        return EXIT_NOT_SCANNED
    try:
        return go_on(arguments, settings, inputs, held)
    finally:
        os.close(held)


def go_on(arguments: argparse.Namespace, settings: Settings, inputs: list[bytes], held: int) -> int:
    """The run, with the output `held` open."""
    try:
        done = recorded_inputs(held, arguments.output, settings)
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
    output = Output(held)
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
    if settings.attempts is not None:
        remove_notes(settings.attempts)
    status, totals = exit_status_of(held)
    if not arguments.quiet:
        print(
            "krizclean.cluster: %d containers; %s"
            % (len(inputs), ", ".join("%s %d" % item for item in totals.items())),
            file=sys.stderr,
        )
    return status


if __name__ == "__main__":
    sys.exit(main())
