"""Paths that the cluster driver writes to, reached part by part from a held
folder, so that no part that another user controls can send a write (run by
root, perhaps) elsewhere: the command-line cleaner's rule for its own
reports, kept here for the driver's output and its notes.

Every folder on the way is owned by root or the running user and writable
by no one else, or sticky (where no one removes or renames another's
entries). A symbolic link is followed only when root or the running user
owns it and it sits in such a folder, as the kernel's protected_symlinks
rule draws the line. Files are made with O_CREAT|O_EXCL|O_NOFOLLOW and
opened with O_NOFOLLOW; one made by another user, or with a second name, is
refused.
"""

from __future__ import annotations

import errno
import os
import stat
from collections import deque
from typing import Optional

# As the kernel: a path that leads through more links than this loops.
MAX_LINKS = 40

_FOLDER = os.O_PATH | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


class Refused(Exception):
    """A path that cannot be used safely, and why, in words for a user."""


def trusted(owner: int) -> bool:
    return owner == 0 or owner == os.geteuid()


def kept_by_us(info: os.stat_result) -> bool:
    """No one but root and the running user can add, remove or rename
    entries in a folder of this kind."""
    return trusted(info.st_uid) and (
        info.st_mode & (stat.S_IWGRP | stat.S_IWOTH) == 0 or info.st_mode & stat.S_ISVTX != 0
    )


def _parts(path: bytes) -> list[bytes]:
    return [part for part in path.split(b"/") if part]


class _Walk:
    """The folders entered, from the root to the one the next part is
    looked up in, each held open."""

    def __init__(self, path: bytes) -> None:
        self.folders: list[tuple[int, os.stat_result]] = []
        self.links = 0
        if not path.startswith(b"/"):
            path = os.getcwdb() + b"/" + path
        self.parts = deque(_parts(path))
        self._push(os.open(b"/", _FOLDER))

    def close(self) -> None:
        while self.folders:
            os.close(self.folders.pop()[0])

    @property
    def top(self) -> int:
        return self.folders[-1][0]

    def _push(self, fd: int) -> None:
        info = os.fstat(fd)
        self.folders.append((fd, info))
        if not kept_by_us(info):
            raise Refused(
                "a folder on its path can be changed by other users"
                if trusted(info.st_uid)
                else "a folder on its path belongs to another user"
            )

    def _follow(self, part: bytes, info: os.stat_result) -> None:
        """Continues through the link `part` of the folder on top, when no
        other user can have placed or changed it."""
        self.links += 1
        if self.links > MAX_LINKS:
            raise Refused("its path leads through too many symbolic links")
        if not trusted(info.st_uid) or not kept_by_us(self.folders[-1][1]):
            raise Refused(
                "a part of its path is a symbolic link that another user could have placed;"
                " not followed"
            )
        text = os.readlink(part, dir_fd=self.top)
        if text.startswith(b"/"):
            self.close()
            self._push(os.open(b"/", _FOLDER))
        self.parts.extendleft(reversed(_parts(text)))

    def step(self, last: bool, create: Optional[int]) -> Optional[bytes]:
        """Takes the next part: the name of the last one, when it is no link
        (or folder to enter); None after entering a folder or a link.
        `create`: the mode of a folder made where one is missing."""
        part = self.parts.popleft()
        if part == b".":
            return None
        if part == b"..":
            if last:
                raise Refused("it names no file")
            if len(self.folders) > 1:
                os.close(self.folders.pop()[0])
            return None
        try:
            info: Optional[os.stat_result] = os.stat(part, dir_fd=self.top, follow_symlinks=False)
        except FileNotFoundError:
            info = None
        if info is not None and stat.S_ISLNK(info.st_mode):
            self._follow(part, info)
            return None
        if last:
            return part
        if info is None and create is not None:
            try:
                os.mkdir(part, create, dir_fd=self.top)
            except FileExistsError:
                pass  # made meanwhile: checked as any other below
        try:
            self._push(os.open(part, _FOLDER, dir_fd=self.top))
        except FileNotFoundError as error:
            raise Refused("there is no such folder") from error
        except OSError as error:
            if error.errno in (errno.ENOTDIR, errno.ELOOP):
                raise Refused("a part of its path is no folder") from error
            raise Refused(error.strerror) from error
        return None


def parent_of(path: bytes) -> tuple[int, bytes]:
    """The folder holding `path`'s last part, open (the caller closes it),
    and that part's name there; a link at the last part is followed by the
    same rule, so that the name is the real file's."""
    walk = _Walk(path)
    try:
        if not walk.parts:
            raise Refused("it names no file")
        while True:
            name = walk.step(last=len(walk.parts) == 1, create=None)
            if name is not None:
                held = os.dup(walk.top)
                return held, name
            if not walk.parts:
                raise Refused("it names a folder, not a file")
    except OSError as error:
        raise Refused(error.strerror or str(error)) from error
    finally:
        walk.close()


def own_folder(path: bytes, create: bool = False) -> int:
    """The folder at `path`, open (the caller closes it), made with mode
    0700 where it or a folder above it is missing (with `create`), and
    refused unless the running user owns it and no one else can write it."""
    walk = _Walk(path)
    try:
        while walk.parts:
            walk.step(last=False, create=0o700 if create else None)
        info = walk.folders[-1][1]
        if info.st_uid != os.geteuid() or info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
            raise Refused("it is not the running user's own folder")
        return os.dup(walk.top)
    except OSError as error:
        raise Refused(error.strerror or str(error)) from error
    finally:
        walk.close()


def _check_ours(fd: int) -> None:
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode):
        raise Refused("it is no regular file")
    if info.st_uid != os.geteuid():
        raise Refused("it belongs to another user")
    if info.st_nlink != 1:
        raise Refused("it has more than one name (a hard link)")


def open_existing(folder: int, name: bytes, flags: int) -> Optional[int]:
    """The file `name` in `folder` opened with `flags` and no link followed,
    when it is there; refused unless it is a regular file of the running
    user's with one name."""
    try:
        fd = os.open(name, flags | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=folder)
    except FileNotFoundError:
        return None
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise Refused(
                "it is a symbolic link that another user could have placed; not followed"
            ) from error
        raise Refused(error.strerror) from error
    try:
        _check_ours(fd)
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd


def create_new(folder: int, name: bytes, flags: int, mode: int) -> Optional[int]:
    """The file `name` made in `folder`; None when a file of that name is
    there already (made meanwhile)."""
    try:
        return os.open(
            name, flags | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC, mode, dir_fd=folder
        )
    except FileExistsError:
        return None
    except OSError as error:
        raise Refused(error.strerror) from error


def open_or_create(folder: int, name: bytes, flags: int, mode: int) -> tuple[int, bool]:
    """The file `name` in `folder`, opened as open_existing does or made;
    and whether it was made."""
    for _ in range(2):
        fd = open_existing(folder, name, flags)
        if fd is not None:
            return fd, False
        fd = create_new(folder, name, flags, mode)
        if fd is not None:
            return fd, True
    raise Refused("it keeps changing")
