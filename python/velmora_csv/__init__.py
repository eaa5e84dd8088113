"""Load delimited text files with the velmora-csv library and query them.

    >>> import velmora_csv
    >>> with velmora_csv.open("people.csv") as table:
    ...     table.headers()
    ...     table.search("city", "lyon", ignore_case=True)

The shared library is found through the ``VELMORA_CSV_LIBRARY`` environment
variable (a path to ``libvelmora-csv.so``), else beside this package, else on
the system's library path; see :func:`library_path`.

Answers are Python objects decoded from the library's JSON text; every query
also takes ``raw=True`` to get that text unchanged (a ``str``).

Rows are dicts that map header names to cell texts (cells are always
``str``). When the names of an answer's columns repeat -- the file has two
columns with the same header, or :meth:`Table.select` names a column twice --
a dict would drop values, so every row of that answer is instead a list of
``(name, value)`` tuples in column order. Pass ``pairs=True`` to get that list
form for every answer.

Columns are named by their header text (``str``, or ``bytes`` for headers
that are not UTF-8) or by their 1-based position (``int``). A text name is
matched against the headers first and, when no header has exactly that
text, read as a column number written in decimal, as the library does. An
``int`` always means the position, even when some header is itself a number.

Failures raise :class:`Error` with the library's message.
"""

from __future__ import annotations

import codecs
import json
import operator
import os
import threading
import weakref
from typing import Any, Callable, Iterable, Optional, Union

from ._native import (
    ENV_VAR,
    PROGRESS_FN,
    LibraryNotFoundError,
    last_error as _last_error,
    library as _library,
    library_path,
)

__all__ = [
    "Cancelled",
    "ENV_VAR",
    "Error",
    "LibraryNotFoundError",
    "Table",
    "library_path",
    "open",
]

__version__ = "0.1.0"

_INT32_MAX = 2**31 - 1
_INT32_MIN = -(2**31)

Column = Union[str, bytes, int]
ProgressFn = Callable[[int, int, int], Any]


class Error(Exception):
    """A failure reported by the library; ``str(error)`` is its message."""

    @property
    def message(self) -> str:
        return str(self.args[0]) if self.args else ""


class Cancelled(Error):
    """The load was cancelled by its progress callback."""


# ---- argument conversion ---------------------------------------------------


def _path_arg(path: Union[str, bytes, "os.PathLike[Any]"]) -> bytes:
    p = os.fspath(path)
    raw = os.fsencode(p) if isinstance(p, str) else bytes(p)
    if b"\0" in raw:
        raise ValueError("embedded null byte in path")
    return raw


def _text_arg(value: Union[str, bytes], what: str) -> bytes:
    if isinstance(value, str):
        raw = value.encode("utf-8")
    elif isinstance(value, (bytes, bytearray, memoryview)):
        raw = bytes(value)
    else:
        raise TypeError(f"{what} must be str or bytes, not {type(value).__name__}")
    # The library reads NUL-terminated text: a NUL would silently cut it.
    if b"\0" in raw:
        raise ValueError(f"{what} contains a NUL character")
    return raw


_DELIMITER_NAMES = {"tab": 9, "comma": 44, "semicolon": 59, "pipe": 124}


def _delimiter_arg(delimiter: Union[None, str, bytes, int]) -> int:
    if delimiter is None:
        return 0
    if isinstance(delimiter, bool):
        raise TypeError("delimiter must be None, a character, bytes or an int")
    if isinstance(delimiter, int):
        # The library itself refuses values outside 0..255 with its own
        # message; values that do not even fit its argument get the same one.
        if not _INT32_MIN <= delimiter <= _INT32_MAX:
            raise Error(f"invalid delimiter: {delimiter}")
        return delimiter
    if isinstance(delimiter, str):
        named = _DELIMITER_NAMES.get(delimiter.lower())
        if named is not None:
            return named
        if len(delimiter) == 1 and 0 < ord(delimiter) < 128:
            return ord(delimiter)
        raise ValueError(
            f"invalid delimiter {delimiter!r}: use one ASCII character other than "
            f"NUL, one of {sorted(_DELIMITER_NAMES)}, or bytes/an int 1..255 for "
            f"another byte value"
        )
    if isinstance(delimiter, (bytes, bytearray)):
        if len(delimiter) == 1 and delimiter[0] != 0:
            return delimiter[0]
        raise ValueError(f"invalid delimiter {bytes(delimiter)!r}: use one byte other than NUL")
    raise TypeError(
        f"delimiter must be None, a character, bytes or an int, not {type(delimiter).__name__}"
    )


_ENCODINGS = {"utf-8": 1, "utf-8-sig": 1, "utf-16-le": 2, "utf-16-be": 3}


def _encoding_arg(encoding: Optional[str]) -> int:
    if encoding is None:
        return 0
    if not isinstance(encoding, str):
        raise TypeError(f"encoding must be None or str, not {type(encoding).__name__}")
    key = encoding.strip().lower()
    if key in ("auto", "detect"):
        return 0
    try:
        name = codecs.lookup(key).name
    except LookupError:
        name = key
    value = _ENCODINGS.get(name)
    if value is None:
        raise ValueError(
            f"unsupported encoding {encoding!r}: use None or 'auto' to detect, "
            f"'utf-8', 'utf-16-le' or 'utf-16-be'"
        )
    return value


def _count_arg(value: int, what: str) -> int:
    n = operator.index(value)
    if n < 0:
        raise ValueError(f"{what} must not be negative")
    return min(n, _INT32_MAX)


# ---- JSON decoding ---------------------------------------------------------


def _row_object(items: list) -> Union[dict, list]:
    # Repeated keys come from repeated column names: keep every member.
    row = dict(items)
    return row if len(row) == len(items) else items


def _pair_object(items: list) -> list:
    return items


# ---- progress --------------------------------------------------------------


class _Progress:
    """Adapts a Python callable to the library's callback. Nothing may be
    raised into C: an exception is kept and cancels the load."""

    def __init__(self, fn: ProgressFn) -> None:
        self.fn = fn
        self.error: Optional[BaseException] = None
        self.cancelled = False

    def __call__(self, done: int, total: int, rows: int, _user: Any) -> int:
        if self.error is not None or self.cancelled:
            return 1
        try:
            answer = self.fn(done, total, rows)
            go_on = answer is None or bool(answer)
        except BaseException as exc:  # re-raised by open() once the load returns
            self.error = exc
            return 1
        if not go_on:
            self.cancelled = True
            return 1
        return 0


# ---- tables ----------------------------------------------------------------


def _close_handle(lib: Any, handle: int) -> None:
    lib.csv_close(handle)


class Table:
    """An open table. Create one with :func:`velmora_csv.open`; close it with
    :meth:`close` or by using it as a context manager. A table not closed is
    closed when it is garbage-collected.

    A table may be used from several threads. Once closed, every method but
    :meth:`close` raises :class:`Error` ("table is closed"); the library's
    handle number of a closed table is forgotten, so a closed table can never
    reach a table opened later under the same number.
    """

    __slots__ = ("_lib", "_handle", "_lock", "_finalizer", "_header_cache", "_path", "__weakref__")

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise TypeError("use velmora_csv.open() to open a table")

    @classmethod
    def _attach(cls, lib: Any, handle: int, path: str) -> "Table":
        self = object.__new__(cls)
        self._lib = lib
        self._handle = handle
        self._lock = threading.Lock()
        self._header_cache: Optional[list] = None
        self._path = path
        self._finalizer = weakref.finalize(self, _close_handle, lib, handle)
        return self

    # A copy would share the handle and could outlive its close.
    def __copy__(self) -> "Table":
        raise TypeError("a Table cannot be copied")

    def __deepcopy__(self, memo: Any) -> "Table":
        raise TypeError("a Table cannot be copied")

    def __reduce__(self) -> Any:
        raise TypeError("a Table cannot be pickled")

    # ---- lifetime ----

    def close(self) -> None:
        """Frees the table. Closing a closed table does nothing."""
        with self._lock:
            if self._handle is None:
                return
            self._handle = None
            self._finalizer()

    @property
    def closed(self) -> bool:
        return self._handle is None

    def __enter__(self) -> "Table":
        if self._handle is None:
            raise Error("table is closed")
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else "open"
        return f"<velmora_csv.Table {self._path!r} {state}>"

    # ---- calls into the library ----

    def _count(self, name: str) -> int:
        with self._lock:
            handle = self._handle
            if handle is None:
                raise Error("table is closed")
            n = getattr(self._lib, name)(handle)
            if n < 0:
                raise Error(_last_error(self._lib))
            return n

    def _text(self, name: str, *args: Any) -> str:
        with self._lock:
            handle = self._handle
            if handle is None:
                raise Error("table is closed")
            # c_char_p copies the thread's result text at once; the message of
            # a failure is read on this thread before anything else runs.
            raw = getattr(self._lib, name)(handle, *args)
            if raw is None:
                raise Error(_last_error(self._lib))
        return raw.decode("utf-8")

    def _rows_answer(self, text: str, raw: bool, pairs: bool) -> Any:
        if raw:
            return text
        return json.loads(text, object_pairs_hook=_pair_object if pairs else _row_object)

    def _headers(self) -> list:
        # Header names never change while the table is open.
        cached = self._header_cache
        if cached is None:
            cached = json.loads(self._text("csv_headers"))
            self._header_cache = cached
        return cached

    def _position_text(self, position: int) -> bytes:
        """A name the library resolves to column `position` (1-based). Leading
        zeros keep a header that is itself a number from taking the name."""
        headers = self._headers()
        if not 1 <= position <= len(headers):
            raise Error(f"unknown column: {position}")
        names = set(headers)
        text = str(position)
        while text in names:
            text = "0" + text
        return text.encode("ascii")

    def _column_arg(self, column: Column) -> bytes:
        if isinstance(column, bool):
            raise TypeError("a column is a name (str or bytes) or a 1-based position (int)")
        if isinstance(column, int):
            return self._position_text(column)
        return _text_arg(column, "column")

    def _list_item(self, column: Column) -> bytes:
        if isinstance(column, bool) or isinstance(column, int):
            return self._column_arg(column)
        name = _text_arg(column, "column")
        # The library's list syntax splits at commas, trims spaces and tabs,
        # skips empty items and caps names at 255 bytes; a name it would not
        # read back unchanged is passed by its position instead.
        if name and b"," not in name and name.strip(b" \t") == name and len(name) <= 255:
            return name
        try:
            wanted: Any = name.decode("utf-8")
            position = self._headers().index(wanted) + 1
        except (UnicodeDecodeError, ValueError):
            raise Error(f"unknown column: {name.decode('utf-8', 'backslashreplace')}") from None
        return self._position_text(position)

    # ---- counts ----

    @property
    def row_count(self) -> int:
        """Number of rows (header excluded), capped at 2147483647."""
        return self._count("csv_row_count")

    @property
    def col_count(self) -> int:
        """Number of columns."""
        return self._count("csv_col_count")

    @property
    def warning_count(self) -> int:
        """Number of parse warnings, capped at 2147483647."""
        return self._count("csv_parse_warning_count")

    # ---- queries ----

    def headers(self, *, raw: bool = False) -> Any:
        """The header names in column order, as a list of str."""
        text = self._text("csv_headers")
        return text if raw else json.loads(text)

    def rows(
        self, offset: int = 0, limit: Optional[int] = None, *, raw: bool = False, pairs: bool = False
    ) -> Any:
        """Rows ``offset`` .. ``offset + limit - 1`` (all remaining rows when
        ``limit`` is None). Neither may be negative."""
        start = _count_arg(offset, "offset")
        count = -1 if limit is None else _count_arg(limit, "limit")
        text = self._text("csv_rows", start, count)
        return self._rows_answer(text, raw, pairs)

    def select(
        self, columns: Union[str, bytes, Iterable[Column]], *, raw: bool = False, pairs: bool = False
    ) -> Any:
        """Every row restricted to ``columns``, in the order given, repeats
        kept. ``columns`` is a list of names and positions, or one text of
        comma-separated names handed to the library as it stands."""
        if isinstance(columns, (str, bytes, bytearray, memoryview)):
            col_list = _text_arg(columns, "columns")
        else:
            col_list = b",".join(self._list_item(c) for c in columns)
        text = self._text("csv_select", col_list)
        return self._rows_answer(text, raw, pairs)

    def search(
        self,
        column: Column,
        query: Union[str, bytes],
        ignore_case: bool = False,
        *,
        raw: bool = False,
        pairs: bool = False,
    ) -> Any:
        """The rows whose cell in ``column`` contains ``query``. With
        ``ignore_case`` only the ASCII letters are folded. The empty query
        matches every row."""
        col = self._column_arg(column)
        q = _text_arg(query, "query")
        text = self._text("csv_search", col, q, 1 if ignore_case else 0)
        return self._rows_answer(text, raw, pairs)

    def sort(
        self, column: Column, descending: bool = False, *, raw: bool = False, pairs: bool = False
    ) -> Any:
        """Every row ordered by ``column``: numerically when every non-empty
        cell is a number, else by bytes. Empty cells come first ascending and
        last descending; equal keys keep table order in both directions."""
        col = self._column_arg(column)
        text = self._text("csv_sort", col, 1 if descending else 0)
        return self._rows_answer(text, raw, pairs)

    def stats(self, *, raw: bool = False) -> Any:
        """``{"row_count", "col_count", "columns": [...]}``, each column with
        "name", "count", "nulls", "unique", "numeric" and, for numeric
        columns, "min", "max" and "mean" (floats)."""
        text = self._text("csv_stats")
        return text if raw else json.loads(text)

    def warnings(self, *, raw: bool = False) -> Any:
        """The parse warnings: counts, flags, "first" and up to 20 "samples"."""
        text = self._text("csv_parse_warnings")
        return text if raw else json.loads(text)


# ---- opening ---------------------------------------------------------------


def open(  # noqa: A001 - the module's entry point, named like the builtin on purpose
    path: Union[str, bytes, "os.PathLike[Any]"],
    header: bool = True,
    delimiter: Union[None, str, bytes, int] = None,
    encoding: Optional[str] = None,
    progress: Optional[ProgressFn] = None,
) -> Table:
    """Loads the file at ``path`` into memory and returns its :class:`Table`.

    header: the first record names the columns; otherwise they are named
        "1", "2", ...
    delimiter: None detects comma, tab, semicolon or pipe from the first
        record; else one ASCII character (``","``, ``"\\t"``, ``";"``,
        ``"|"`` ...), one of the names "tab", "comma", "semicolon", "pipe", a
        single byte (``b"\\xa7"``) or its value as an int 1..255 (0 detects).
        Any other int makes the library fail with "invalid delimiter: N".
    encoding: None or "auto" detects; "utf-8" uses the bytes as they are
        (also right for single-byte code pages); "utf-16-le" or "utf-16-be".
    progress: called as ``progress(done, total, rows)`` on the loading thread
        (bytes of decoded input consumed, its total, rows stored so far) about
        once per 1,000,000 rows or 64 MiB and once at the end. Returning None
        or a true value goes on; returning a false value other than None
        (False, 0) cancels, and open() raises :class:`Cancelled`. An exception
        raised inside it cancels the load and is re-raised by open().
    """
    lib = _library()
    raw_path = _path_arg(path)
    delim = _delimiter_arg(delimiter)
    enc = _encoding_arg(encoding)
    has_header = 1 if header else 0
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable or None")

    state = _Progress(progress) if progress is not None else None
    # The ctypes thunk must stay alive for the whole call.
    callback = PROGRESS_FN(state) if state is not None else PROGRESS_FN()
    handle = lib.csv_load_ex_progress(raw_path, has_header, delim, enc, callback, None)
    message = _last_error(lib) if handle < 0 else ""
    del callback

    if state is not None and state.error is not None:
        if handle >= 0:
            lib.csv_close(handle)
        error, state.error = state.error, None
        try:
            raise error
        finally:
            del error
    if handle < 0:
        if state is not None and state.cancelled:
            raise Cancelled(message)
        raise Error(message)
    return Table._attach(lib, handle, os.fsdecode(raw_path))
