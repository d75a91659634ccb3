"""krizclean for Python: finds (and cleans) Win32.Kriz.4050 in folders, files,
disk images and archives with the command-line cleaner's own scan, and
answers its results as records.

    import krizclean
    result = krizclean.scan("/mnt/cdrom")
    for obj in result.objects:
        print(obj.path, obj.status)

A result holds exactly what `krizclean --json` writes for the same run
(`result.as_dict()` is that document). The scan runs without the GIL; a
Ctrl-C stops it after the file in work, as it stops the program, and raises
`Interrupted` (a KeyboardInterrupt) that carries what was scanned.

While a scan walks a folder it moves the process's current directory from
folder to folder (it walks by folder handles), so the scans of one process
take turns, and other threads should not rely on relative paths meanwhile.
"""

from __future__ import annotations

import errno
import json
import os
from dataclasses import dataclass, field
from typing import Any, Optional, Union

from . import _krizclean

__version__: str = _krizclean.__version__
"""krizclean's version, the same as `krizclean --version` prints."""

__all__ = [
    "Counts",
    "Interrupted",
    "NotScanned",
    "Object",
    "PathError",
    "Result",
    "ScanError",
    "scan",
    "scan_bytes",
]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

MAX_JOBS = 256


class ScanError(OSError):
    """A scan that could not start, or a PATH that was not scanned; the text
    is the command-line cleaner's ("PATH: not a file or folder")."""


class Interrupted(KeyboardInterrupt):
    """A Ctrl-C (or another signal handler's exception) stopped the scan
    after the file in work; `result` holds what was scanned until then."""

    def __init__(self, result: "Result") -> None:
        super().__init__("interrupted; what was not reached was not scanned")
        self.result = result


@dataclass(frozen=True)
class Object:
    """One status line: a file (also one inside an image or archive) or a
    folder, and what became of it."""

    path: str  # as the JSON writes it: U+FFFD for each byte that is not UTF-8
    kind: str  # "file" or "folder"
    status: str  # "ok", "infected", "disinfected", "cannot open", ...
    code: int  # -3 to 5: the outcome's code
    container: Optional[str]  # the image or archive it lies in, if any
    inner_path: Optional[str]  # its path inside that container
    reason: Optional[str]  # why it stands as it does, where there is more to say
    path_bytes: bytes  # the exact bytes of its path


@dataclass(frozen=True)
class PathError:
    """A PATH that was not scanned at all, and why."""

    path: str
    error: str


@dataclass(frozen=True)
class Counts:
    """The report's counters; what was not opened by cause (access_denied is
    a lack of permission only)."""

    clean: int
    left_infected: int
    disinfected: int
    disinfect_at_reboot: int
    deleted: int
    delete_at_reboot: int
    could_not_disinfect: int
    access_denied: int
    damaged_containers: int
    not_regular_files: int
    out_of_file_handles: int
    not_opened_otherwise: int


@dataclass(frozen=True)
class NotScanned:
    """The files and folders that could not be opened."""

    files: int
    folders: int


@dataclass(frozen=True)
class Result:
    """What one scan found: the JSON document's contents, the messages the
    program would have written on standard error, and how it ended."""

    virus: str
    action: str  # "scan-only" or "clean"
    objects: list[Object]
    errors: list[PathError]
    counts: Counts
    not_scanned: NotScanned
    report: str
    messages: list[str]
    exit_status: int  # the program's: 1 infected, 2 not all scanned, 0 clean
    interrupted: bool
    _json: str = field(repr=False, compare=False)

    @property
    def found_infection(self) -> bool:
        return self.exit_status == 1

    def json(self) -> str:
        """The document `krizclean --json` writes for this run, byte for byte."""
        return self._json

    def as_dict(self) -> dict[str, Any]:
        """The same document as Python values."""
        document: dict[str, Any] = json.loads(self._json)
        return document


def _result(answer: tuple[Any, ...]) -> Result:
    text, paths, messages, exit_status, interrupted, raised, problem = answer
    if problem is not None:
        raise ScanError(problem.decode("utf-8", "surrogateescape"))
    document = json.loads(text)
    objects = [
        Object(
            path=entry["path"],
            kind=entry["kind"],
            status=entry["status"],
            code=entry["code"],
            container=entry.get("container"),
            inner_path=entry.get("inner_path"),
            reason=entry.get("reason"),
            path_bytes=exact,
        )
        for entry, exact in zip(document["objects"], paths)
    ]
    result = Result(
        virus=document["virus"],
        action=document["action"],
        objects=objects,
        errors=[PathError(e["path"], e["error"]) for e in document["errors"]],
        counts=Counts(**document["counts"]),
        not_scanned=NotScanned(**document["not_scanned"]),
        report=document["report"],
        messages=[m.decode("utf-8", "backslashreplace") for m in messages],
        exit_status=exit_status,
        interrupted=interrupted,
        _json=text,
    )
    if raised is not None:
        if isinstance(raised, KeyboardInterrupt):
            raise Interrupted(result) from raised
        raise raised
    return result


def _run(
    path: PathLike,
    *,
    clean: bool,
    all_files: bool,
    inside: bool,
    backup: Optional[PathLike],
    jobs: int,
    show_all: bool,
    as_entry: bool,
) -> Result:
    if not isinstance(jobs, int) or isinstance(jobs, bool) or not 1 <= jobs <= MAX_JOBS:
        raise ValueError("jobs needs a number from 1 to %d, not %r" % (MAX_JOBS, jobs))
    return _result(
        _krizclean.scan(
            os.fsencode(path),
            bool(clean),
            bool(all_files),
            bool(inside),
            None if backup is None else os.fsencode(backup),
            jobs,
            bool(show_all),
            as_entry,
        )
    )


def scan(
    path: PathLike,
    *,
    clean: bool = False,
    all_files: bool = False,
    inside: bool = True,
    backup: Optional[PathLike] = None,
    jobs: int = 1,
    show_all: bool = False,
) -> Result:
    """Scans `path` as `krizclean PATH` does: a folder walked whole, a file on
    its own, a disk image or an archive looked into.

    clean      clean every infected file (in one journaled transaction each)
    all_files  look at every file, not only programs and the two library names
    inside     also look into the images and archives met in folders
    backup     keep each infected file in this folder before it is cleaned
    jobs       test and clean on this many threads (1 to 256; without
               `inside` only)
    show_all   list clean files too

    Raises FileNotFoundError for a PATH that does not exist, ScanError for
    one that is no file or folder or a backup folder that cannot be made,
    and Interrupted when a Ctrl-C stopped the scan.
    """
    result = _run(
        path,
        clean=clean,
        all_files=all_files,
        inside=inside,
        backup=backup,
        jobs=jobs,
        show_all=show_all,
        as_entry=False,
    )
    for error in result.errors:
        text = "%s: %s" % (error.path, error.error)
        if error.error == "no such file or folder":
            raise FileNotFoundError(errno.ENOENT, error.error, os.fsdecode(path))
        raise ScanError(text)
    return result


def scan_bytes(
    data: Union[bytes, bytearray, memoryview],
    name: Union[str, bytes],
    *,
    all_files: bool = False,
    show_all: bool = False,
) -> Result:
    """Scans one file or container held in memory, named `name`, as `scan`
    scans a file of that name, without writing it anywhere: a disk image or
    an archive is looked into (a VHD or VMDK disk only from a file), any
    other file is tested. Only scans, never cleans."""
    if isinstance(name, str):
        name = os.fsencode(name)
    return _result(_krizclean.scan_bytes(data, name, bool(all_files), bool(show_all)))
