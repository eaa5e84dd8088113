"""The exceptions of the package and the mapping of the library's file
messages onto Python's OSError family.

Every exception keeps the library's message as its text: ``str(error)`` is
exactly what ``csv_last_error`` said. The file errors also carry ``errno``,
``strerror`` and ``filename`` as an OSError does, so ``except
FileNotFoundError`` and ``error.errno == errno.ENOENT`` work as they do for
Python's own ``open``.
"""

from __future__ import annotations

import errno as _errno
import os
import re
from typing import Optional


class Error(Exception):
    """A failure reported by the library; ``str(error)`` is its message."""

    @property
    def message(self) -> str:
        return str(self.args[0]) if self.args else ""

    def __str__(self) -> str:
        # OSError would format "[Errno N] ..."; the library's text stays.
        return self.message


class InvalidUTF8Warning(UserWarning):
    """A file read as UTF-8 holds bytes that are not valid UTF-8: most likely
    it is in another encoding, to be named with ``open(..., encoding=...)``.
    The table is loaded all the same, each such byte read as Latin-1."""


class Cancelled(Error):
    """The load was cancelled by its progress callback."""


class UnknownEncodingError(Error, LookupError):
    """The encoding name is one neither the library nor its converter
    knows. Also a :class:`LookupError`, as Python's codecs raise for an
    unknown encoding."""


class FileError(Error, OSError):
    """The file could not be opened or read. Also an :class:`OSError`."""

    def __reduce__(self) -> tuple:
        # OSError would pickle the message alone and lose errno and filename.
        return (_file_error, (type(self), self.message, self.errno, self.filename))


class MissingFileError(FileError, FileNotFoundError):
    """The file does not exist. Also a :class:`FileNotFoundError`."""


class FileAccessError(FileError, PermissionError):
    """The file may not be read. Also a :class:`PermissionError`."""


class DirectoryGivenError(FileError, IsADirectoryError):
    """The path names a directory. Also an :class:`IsADirectoryError`."""


_BY_ERRNO = {
    _errno.ENOENT: MissingFileError,
    _errno.EACCES: FileAccessError,
    _errno.EPERM: FileAccessError,
    _errno.EISDIR: DirectoryGivenError,
}

# The library words file failures as "cannot <verb> file: <path>" and, where
# the system gave a reason, " (<strerror text>)".
_FILE_MESSAGE = re.compile(r"^cannot [a-z]+ file: ")
_REASON = re.compile(r" \(([^()]*)\)$")

_errno_of_text: Optional[dict] = None


def _errno_from_text(text: str) -> Optional[int]:
    global _errno_of_text
    if _errno_of_text is None:
        # strerror texts of this process's C library, as the library wrote them.
        _errno_of_text = {}
        for number in sorted(_errno.errorcode):
            _errno_of_text.setdefault(os.strerror(number), number)
    return _errno_of_text.get(text)


def _errno_by_trying(path: bytes) -> Optional[int]:
    """The reason an open of ``path`` fails now: used when the message was cut
    short (it holds at most 511 bytes) before the system's text."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError as exc:
        return exc.errno
    try:
        if os.path.isdir(path):
            return _errno.EISDIR
    finally:
        os.close(fd)
    return None


def load_error(message: str, path: bytes) -> Error:
    """The exception for a failed load with the library's ``message``."""
    if message.startswith("unknown encoding: "):
        return UnknownEncodingError(message)
    if not _FILE_MESSAGE.match(message):
        return Error(message)
    reason = _REASON.search(message)
    number = _errno_from_text(reason.group(1)) if reason else None
    if number is None and message.startswith("cannot open file: "):
        number = _errno_by_trying(path)
    cls = _BY_ERRNO.get(number, FileError) if number is not None else FileError
    return _file_error(cls, message, number, os.fsdecode(path))


def _file_error(cls: type, message: str, number: Optional[int], filename: Optional[str]) -> Error:
    error = cls(message)
    error.errno = number
    error.strerror = os.strerror(number) if number is not None else None
    error.filename = filename
    return error
