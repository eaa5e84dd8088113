"""Load delimited text files with the velmora-csv library and query them.

    >>> import velmora_csv
    >>> with velmora_csv.open("people.csv") as table:
    ...     table.headers()
    ...     table.search("city", "lyon", ignore_case=True)

The shared library is found through the ``VELMORA_CSV_LIBRARY`` environment
variable (a path to ``libvelmora-csv.so``), else beside this package (a copy
bundled by pip), else in the prefix ``cmake --install`` put the package in,
else on the system's library path; see :func:`library_path`.

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

A table is also a sequence of its rows: ``len(table)``, ``table[i]``
(negative ``i`` counts from the end), ``table[a:b]`` and ``for row in
table`` (which fetches the rows page by page, so a large table is never
turned into one list). :meth:`Table.to_pandas` gives a typed DataFrame.

Failures raise :class:`Error` with the library's message; a file that is
missing or cannot be read raises a subclass that is also the matching
:class:`OSError` (:class:`FileNotFoundError` for a missing file).

``from velmora_csv import *`` does not bind ``open``, which would hide the
built-in; call it as ``velmora_csv.open``.
"""

from __future__ import annotations

import codecs
import ctypes
import itertools
import json
import operator
import os
import sys
import threading
import warnings
import weakref
from typing import (
    TYPE_CHECKING,
    Any,
    Callable,
    Iterable,
    Iterator,
    List,
    Literal,
    Optional,
    Union,
    overload,
)

from ._errors import (
    Cancelled,
    DirectoryGivenError,
    Error,
    FileAccessError,
    FileError,
    InvalidUTF8Warning,
    MissingFileError,
    UnknownEncodingError,
    load_error as _load_error,
)
from ._native import (
    ENV_VAR,
    PROGRESS_FN,
    LibraryNotFoundError,
    has as _has,
    last_error as _last_error,
    library as _library,
    library_path,
    rows_extension as _rows_extension,
    rows_in_place as _rows_in_place,
)
if TYPE_CHECKING:  # only for the annotation of Table.to_pandas
    import pandas

from ._types import AnyRow, ColumnStats, Info, PairRow, Row, Stats, WarningSample, Warnings

# `open` stays out on purpose: a star import would hide the built-in open().
__all__ = [
    "AnyRow",
    "Cancelled",
    "ColumnStats",
    "DirectoryGivenError",
    "ENV_VAR",
    "Error",
    "FileAccessError",
    "FileError",
    "Info",
    "InvalidUTF8Warning",
    "LibraryNotFoundError",
    "MissingFileError",
    "PairRow",
    "Row",
    "Stats",
    "Table",
    "UnknownEncodingError",
    "WarningSample",
    "Warnings",
    "RANGE_STATES",
    "library_path",
    "library_version",
    "open_range",
    "read_pandas",
    "scan_range",
]

__version__ = "0.1.0"

_INT32_MAX = 2**31 - 1
_INT32_MIN = -(2**31)

for _cls in (Error, Cancelled, FileError, MissingFileError, FileAccessError, DirectoryGivenError,
             UnknownEncodingError, InvalidUTF8Warning):
    _cls.__module__ = __name__  # shown and pickled as velmora_csv.<name>
del _cls

# Rows fetched per call of the library while iterating or building a frame.
# Small pages keep the memory a page's rows take warm in the processor's
# caches and reused by the allocator; the call itself costs little.
PAGE_ROWS = 1_000
FRAME_PAGE_ROWS = 10_000

# Rows of a batch of the library's columnar export as iterating reads it
# (small batches, still in the processor's caches when their rows are made).
EXPORT_BATCH_ROWS = 16_384

# The record parser's states at a byte of a file (see scan_range); state 0
# is the one at the file's start.
RANGE_STATES = 6

Column = Union[str, bytes, int]
ProgressFn = Callable[[int, Optional[int], int], Any]


def _require(lib: Any, name: str) -> None:
    if not _has(lib, name):
        raise Error(
            f"the velmora-csv library in use ({library_path()}) lacks {name}: "
            f"it is older than this package"
        )


def library_version() -> str:
    """The version text of the loaded library, e.g. "0.1.0"."""
    lib = _library()
    _require(lib, "csv_version")
    return lib.csv_version().decode("utf-8", "backslashreplace")


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


# Encodings the library reads itself, by Python's name for them.
_ENCODINGS = {"utf-8": 1, "utf-8-sig": 1, "utf-16-le": 2, "utf-16-be": 3}

# Python's names that the C library's converter spells otherwise.
_ICONV_NAMES = {"mac-roman": "MACINTOSH"}


def _encoding_arg(encoding: Optional[str]) -> Union[int, bytes]:
    """0 detects, 1..3 are the library's own readings, bytes name an
    encoding for the C library's converter."""
    if encoding is None:
        return 0
    if not isinstance(encoding, str):
        raise TypeError(f"encoding must be None or str, not {type(encoding).__name__}")
    key = encoding.strip().lower()
    if key in ("auto", "detect"):
        return 0
    if not key:
        raise ValueError("encoding must not be empty: use None or 'auto' to detect")
    try:
        name = codecs.lookup(key).name
    except LookupError:
        name = key
    value = _ENCODINGS.get(name)
    if value is not None:
        return value
    return _converter_name(_text_arg(encoding.strip(), "encoding"))


def _converter_name(encoding: bytes) -> bytes:
    """The spelling of ``encoding`` that the C library's converter knows:
    the name as given when it knows it, else Python's spelling of the same
    codec in the converter's style ("latin-1" -> "ISO8859-1", "euc_jp" ->
    "EUC-JP"). A name neither knows is passed on unchanged, so that the
    library's own message names it."""
    if _converter_knows(encoding):
        return encoding
    try:
        python_name = codecs.lookup(encoding.decode("ascii")).name
    except (LookupError, UnicodeDecodeError):
        return encoding
    spelled = _ICONV_NAMES.get(python_name, python_name.replace("_", "-").upper())
    for candidate in (spelled, spelled.replace("-", "")):
        raw = candidate.encode("ascii")
        if _converter_knows(raw):
            return raw
    return encoding


_iconv: Any = None


def _converter_knows(name: bytes) -> bool:
    """Asks the C library's iconv, the converter the library itself uses."""
    global _iconv
    if _iconv is None:
        try:
            libc = ctypes.CDLL(None)
            open_fn, close_fn = libc.iconv_open, libc.iconv_close
        except (OSError, AttributeError):
            _iconv = False
        else:
            open_fn.restype = ctypes.c_void_p
            open_fn.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
            close_fn.restype = ctypes.c_int
            close_fn.argtypes = [ctypes.c_void_p]
            _iconv = (open_fn, close_fn)
    if _iconv is False:
        return True  # cannot ask: let the library decide
    open_fn, close_fn = _iconv
    handle = open_fn(b"UTF-8", name)
    if handle is None or handle == ctypes.c_void_p(-1).value:
        return False
    close_fn(handle)
    return True


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
            # The library says -1 while the size is not known (a pipe, a
            # compressed file): None says so without a false percentage.
            answer = self.fn(done, total if total >= 0 else None, rows)
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


def _temporary_refs() -> Optional[int]:
    """What ``sys.getrefcount(self)``, called first thing in a method, gives
    when the method's call holds the only reference to ``self`` (a table no
    name or container holds, as in ``open(path).to_pandas()``); None where
    that cannot be told apart from a table held elsewhere. The count is
    checked on this interpreter against objects held by a global, a local
    and an attribute, each of which must show more. Only CPython 3.11 to
    3.13 qualify: there a call from Python code moves the caller's reference
    into the called frame, and a call from C adds one of its own, so a table
    that C code holds shows more too; older versions count a temporary like
    a table held by C code, and newer or free-threaded builds may lend
    references without counting them."""
    if sys.implementation.name != "cpython" or not (3, 11) <= sys.version_info[:2] <= (3, 13):
        return None
    if getattr(sys, "_is_gil_enabled", lambda: True)() is False:
        return None

    class Probe:
        __slots__ = ("inner",)
        inner: "Probe"

        def refs(self) -> int:
            return sys.getrefcount(self)

    def held_by_a_local() -> int:
        local = Probe()
        return local.refs()

    global _probe_held
    alone = Probe().refs()
    holder = Probe()
    holder.inner = Probe()
    _probe_held = Probe()
    held = (held_by_a_local(), holder.inner.refs(), _probe_held.refs())
    _probe_held = None
    return alone if all(count > alone for count in held) else None


_probe_held: Any = None  # the global of _temporary_refs' check
_TEMPORARY_REFS = _temporary_refs()


class Table:
    """An open table. Create one with :func:`velmora_csv.open`; close it with
    :meth:`close` or by using it as a context manager. A table not closed is
    closed when it is garbage-collected.

    A table may be used from several threads. Once closed, every method but
    :meth:`close` raises :class:`Error` ("table is closed"); the library's
    handle number of a closed table is forgotten, so a closed table can never
    reach a table opened later under the same number.
    """

    __slots__ = ("_lib", "_handle", "_lock", "_finalizer", "_header_cache", "_path", "_readers",
                 "__weakref__")
    _lib: Any
    _handle: Optional[int]
    _lock: threading.Lock
    _finalizer: weakref.finalize
    _header_cache: Optional[List[str]]
    _path: str
    _readers: "Optional[weakref.WeakSet[Any]]"

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        raise TypeError("use velmora_csv.open() to open a table")

    @classmethod
    def _attach(cls, lib: Any, handle: int, path: str) -> "Table":
        self = object.__new__(cls)
        self._lib = lib
        self._handle = handle
        self._lock = threading.Lock()
        self._header_cache = None
        self._path = path
        self._readers = None
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
            # The exports that iterators read rows from keep the table's
            # memory alive: they let go of it too (after the rows of a
            # page already asked for, as a page of the answer's rows).
            for reader in self._readers or ():
                reader.close()
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
        return self._bytes(name, *args).decode("utf-8")

    def _bytes(self, name: str, *args: Any) -> bytes:
        with self._lock:
            handle = self._handle
            if handle is None:
                raise Error("table is closed")
            # c_char_p copies the thread's result text at once; the message of
            # a failure is read on this thread before anything else runs.
            raw = getattr(self._lib, name)(handle, *args)
            if raw is None:
                raise Error(_last_error(self._lib))
        return raw

    def _rows_answer(self, data: bytes, raw: bool, pairs: bool, unique: bool = False) -> Any:
        """Decodes a rows answer. ``unique``: its names are known to differ
        (the table's headers, none repeated), so plain dicts lose nothing."""
        if raw:
            return data.decode("utf-8")
        fast = _rows_extension()
        if fast is not None:
            return fast.rows(data, pairs)
        if unique and not pairs:
            return json.loads(data)
        return json.loads(data, object_pairs_hook=_pair_object if pairs else _row_object)

    def _rows_page(self, start: int, count: int, pairs: bool, unique: bool,
                   reader: Any = None) -> Any:
        """Rows start .. start + count - 1 decoded; by the C extension
        straight from the library's answer where it can. With a reader
        (see _row_reader) an iterator over them instead, that makes each
        row from the table's text export when it is asked for."""
        if reader is not None:
            with self._lock:
                if self._handle is None:
                    raise Error("table is closed")
                return reader.page(start, count)
        fast = _rows_extension()
        if fast is None or not hasattr(fast, "rows_at"):
            return self._rows_answer(self._bytes("csv_rows", start, count), False, pairs, unique)
        fn = _rows_in_place(self._lib)
        with self._lock:
            handle = self._handle
            if handle is None:
                raise Error("table is closed")
            # The answer stays valid until the next call of the library on
            # this thread: it is decoded before the lock is let go.
            address = fn(handle, start, count)
            if not address:
                raise Error(_last_error(self._lib))
            return fast.rows_at(address, pairs)

    def _unique_headers(self) -> bool:
        headers = self._headers()
        return len(set(headers)) == len(headers)

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

    @overload
    def headers(self, *, raw: Literal[False] = False) -> List[str]: ...
    @overload
    def headers(self, *, raw: Literal[True]) -> str: ...

    def headers(self, *, raw: bool = False) -> Union[List[str], str]:
        """The header names in column order, as a list of str."""
        text = self._text("csv_headers")
        return text if raw else json.loads(text)

    @overload
    def rows(self, offset: int = 0, limit: Optional[int] = None, *,
             raw: Literal[False] = False, pairs: Literal[False] = False) -> List[Row]: ...
    @overload
    def rows(self, offset: int = 0, limit: Optional[int] = None, *,
             raw: Literal[False] = False, pairs: Literal[True]) -> List[PairRow]: ...
    @overload
    def rows(self, offset: int = 0, limit: Optional[int] = None, *,
             raw: Literal[True], pairs: bool = False) -> str: ...

    def rows(
        self, offset: int = 0, limit: Optional[int] = None, *, raw: bool = False, pairs: bool = False
    ) -> Any:
        """Rows ``offset`` .. ``offset + limit - 1`` (all remaining rows when
        ``limit`` is None). Neither may be negative. For a large table prefer
        iterating over the table, which fetches the rows page by page."""
        start = _count_arg(offset, "offset")
        count = -1 if limit is None else _count_arg(limit, "limit")
        if raw:
            return self._text("csv_rows", start, count)
        # Page by page: the answer's text is never held for all rows at once.
        n = len(self)
        end = n if limit is None else min(n, start + count)
        if end - start <= PAGE_ROWS:
            return self._rows_page(start, count, pairs, self._unique_headers())
        return list(self._pages(PAGE_ROWS, pairs, start, end))

    @overload
    def select(self, columns: Union[str, bytes, Iterable[Column]], *,
               raw: Literal[False] = False, pairs: Literal[False] = False) -> List[Row]: ...
    @overload
    def select(self, columns: Union[str, bytes, Iterable[Column]], *,
               raw: Literal[False] = False, pairs: Literal[True]) -> List[PairRow]: ...
    @overload
    def select(self, columns: Union[str, bytes, Iterable[Column]], *,
               raw: Literal[True], pairs: bool = False) -> str: ...

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
        return self._rows_answer(self._bytes("csv_select", col_list), raw, pairs)

    @overload
    def search(self, column: Column, query: Union[str, bytes], ignore_case: bool = False, *,
               raw: Literal[False] = False, pairs: Literal[False] = False) -> List[Row]: ...
    @overload
    def search(self, column: Column, query: Union[str, bytes], ignore_case: bool = False, *,
               raw: Literal[False] = False, pairs: Literal[True]) -> List[PairRow]: ...
    @overload
    def search(self, column: Column, query: Union[str, bytes], ignore_case: bool = False, *,
               raw: Literal[True], pairs: bool = False) -> str: ...

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
        data = self._bytes("csv_search", col, q, 1 if ignore_case else 0)
        return self._rows_answer(data, raw, pairs, not raw and self._unique_headers())

    @overload
    def sort(self, column: Column, descending: bool = False, *,
             raw: Literal[False] = False, pairs: Literal[False] = False) -> List[Row]: ...
    @overload
    def sort(self, column: Column, descending: bool = False, *,
             raw: Literal[False] = False, pairs: Literal[True]) -> List[PairRow]: ...
    @overload
    def sort(self, column: Column, descending: bool = False, *,
             raw: Literal[True], pairs: bool = False) -> str: ...

    def sort(
        self, column: Column, descending: bool = False, *, raw: bool = False, pairs: bool = False
    ) -> Any:
        """Every row ordered by ``column``: numerically when every non-empty
        cell is a number, else by bytes. Empty cells come first ascending and
        last descending; equal keys keep table order in both directions."""
        col = self._column_arg(column)
        data = self._bytes("csv_sort", col, 1 if descending else 0)
        return self._rows_answer(data, raw, pairs, not raw and self._unique_headers())

    @overload
    def stats(self, *, raw: Literal[False] = False) -> Stats: ...
    @overload
    def stats(self, *, raw: Literal[True]) -> str: ...

    def stats(self, *, raw: bool = False) -> Union[Stats, str]:
        """``{"row_count", "col_count", "columns": [...]}``, each column with
        "name", "count", "nulls", "unique", "numeric" and, for numeric
        columns, "min", "max" and "mean" (floats). A column holding a cell
        such as ``nan``, ``inf`` or ``1e999`` is numeric, and a minimum,
        maximum or mean that is not a finite number is None: the library
        writes it as JSON null, since JSON has no NaN or infinity."""
        text = self._text("csv_stats")
        return text if raw else json.loads(text)

    @overload
    def warnings(self, *, raw: Literal[False] = False) -> Warnings: ...
    @overload
    def warnings(self, *, raw: Literal[True]) -> str: ...

    def warnings(self, *, raw: bool = False) -> Union[Warnings, str]:
        """The parse warnings: counts, flags, "first" and up to 20 "samples"."""
        text = self._text("csv_parse_warnings")
        return text if raw else json.loads(text)

    @overload
    def info(self, *, raw: Literal[False] = False) -> Info: ...
    @overload
    def info(self, *, raw: Literal[True]) -> str: ...

    def info(self, *, raw: bool = False) -> Union[Info, str]:
        """How the table was loaded: "encoding" (what the load read the file
        as), "bom", "delimiter" (the character), "encoding_detected",
        "delimiter_detected" (False where the caller named it),
        "compression" ("none" or "gzip"), "file_size" (bytes read from
        disk), "rows", "columns", "warnings", "replaced_bytes" (byte
        sequences invalid in the encoding, each read as U+FFFD) and
        "invalid_utf8_bytes" (bytes of text read as UTF-8 that are not
        valid UTF-8, each read as Latin-1; :func:`open` warns with
        :class:`InvalidUTF8Warning` when there are any)."""
        _require(self._lib, "csv_info")
        text = self._text("csv_info")
        return text if raw else json.loads(text)

    # ---- the table as a sequence of rows ----

    def __len__(self) -> int:
        return self.row_count

    @overload
    def __getitem__(self, index: int) -> Row: ...
    @overload
    def __getitem__(self, index: slice) -> List[Row]: ...

    def __getitem__(self, index: Union[int, slice]) -> Any:
        """``table[i]`` is one row (negative ``i`` counts from the end);
        ``table[a:b:c]`` a list of rows, as for a list."""
        if isinstance(index, slice):
            return self._slice(range(len(self))[index])
        try:
            i = operator.index(index)
        except TypeError:
            raise TypeError(
                f"table indices must be integers or slices, not {type(index).__name__}"
            ) from None
        n = len(self)
        if i < 0:
            i += n
        if not 0 <= i < n:
            raise IndexError("table index out of range")
        return self.rows(i, 1)[0]

    def _slice(self, wanted: range) -> list:
        if not wanted:
            return []
        step = abs(wanted.step)
        first, last = min(wanted[0], wanted[-1]), max(wanted[0], wanted[-1])
        if step == 1:
            picked = self.rows(first, last - first + 1)
        elif step > PAGE_ROWS:
            # Sparse picks: one small call per row beats fetching the gaps.
            picked = [self.rows(i, 1)[0] for i in range(first, last + 1, step)]
        else:
            picked = []
            for start in range(first, last + 1, PAGE_ROWS):
                page = self.rows(start, min(PAGE_ROWS, last + 1 - start))
                skip = (first - start) % step
                picked.extend(page[skip::step])
        return picked if wanted.step > 0 else picked[::-1]

    def __iter__(self) -> Iterator[Row]:
        return self.iter_rows()

    @overload
    def iter_rows(self, page_size: int = PAGE_ROWS, *,
                  pairs: Literal[False] = False) -> Iterator[Row]: ...
    @overload
    def iter_rows(self, page_size: int = PAGE_ROWS, *,
                  pairs: Literal[True]) -> Iterator[PairRow]: ...

    def iter_rows(self, page_size: int = PAGE_ROWS, *, pairs: bool = False) -> Iterator[Any]:
        """Yields every row in order, ``page_size`` rows at a time, so that
        a large table is never turned into one list. The first page is read
        from the library's rows answer; with the package's C extension the
        rest come from the library's columnar export, whose batches (up to
        16,384 rows' text) are held one at a time, each row made from it
        when it is asked for."""
        size = _count_arg(page_size, "page_size")
        if size == 0:
            raise ValueError("page_size must be at least 1")
        return self._pages(size, pairs, 0, None, True)

    def _pages(self, size: int, pairs: bool, start: int, end: Optional[int],
               export: bool = False) -> Iterator[Any]:
        # The rows of the pages one after the other, stepped through in C
        # (a generator's own step per row costs as much as decoding it).
        return itertools.chain.from_iterable(self._page_lists(size, pairs, start, end, export))

    def _page_lists(self, size: int, pairs: bool, start: int, end: Optional[int],
                    export: bool = False) -> Iterator[Iterable[Any]]:
        # Generator: nothing is fetched until the first row is asked for.
        n = len(self) if end is None else end
        unique = self._unique_headers()
        # The first page comes from a rows answer, quickly. With `export`
        # (rows iterated over, each dropped before the next is asked for,
        # rather than kept in a list) the rows after it come from the
        # table's text export, made one at a time, which is faster than
        # writing and reading an answer's text; where they begin at the
        # table's first row and use a good part of the export's first batch.
        reader = None
        first = export and start == 0
        try:
            while start < n:
                page = self._rows_page(start, min(size, n - start), pairs, unique, reader)
                count = len(page)
                if not count:
                    return
                yield page
                start += count
                if first and start < n:
                    first = False
                    if 4 * (n - start) >= min(len(self), EXPORT_BATCH_ROWS):
                        reader = self._row_reader(pairs)
        finally:
            if reader is not None:
                reader.close()

    def _row_reader(self, pairs: bool) -> Any:
        """A reader of the rows from the table's text export (see _rows.c),
        or None where the C extension or the library lacks it or the
        export cannot be made: then the rows come from answers."""
        fast = _rows_extension()
        if fast is None or not hasattr(fast, "RowReader") or not _has(self._lib, "csv_arrow_stream"):
            return None
        from . import _arrow

        stream = _arrow.ArrowArrayStream()
        with self._lock:
            handle = self._handle
            if handle is None:
                raise Error("table is closed")
            if self._lib.csv_col_count(handle) <= 0:
                return None  # nothing to export
            # A library older than small batches refuses the flag.
            if (self._lib.csv_arrow_stream(handle, None, _arrow.TEXT | _arrow.SMALL_BATCHES,
                                           ctypes.byref(stream)) != 0
                    and self._lib.csv_arrow_stream(handle, None, _arrow.TEXT,
                                                   ctypes.byref(stream)) != 0):
                return None
            try:
                reader = fast.RowReader(ctypes.addressof(stream), pairs, Error)
            finally:
                if stream.release:  # not moved into the reader
                    stream.release(ctypes.pointer(stream))
            if self._readers is None:
                self._readers = weakref.WeakSet()
            self._readers.add(reader)
        return reader

    def to_pandas(
        self,
        page_size: int = FRAME_PAGE_ROWS,
        *,
        types: str = "typed",
        null_markers: bool = False,
    ) -> "pandas.DataFrame":
        """The table as a pandas DataFrame, one column per header (repeated
        names kept).

        ``types="typed"``: a column the library calls numeric (see
        :meth:`stats`) becomes ``Int64`` when every cell is an integer
        written in decimal digits that fits 64 bits, else ``float64``
        (``nan`` and ``inf`` cells included); other columns are ``string``.
        ``types="text"``: every column is ``string``, the cells' text.

        Empty cells are missing values (``<NA>``, or NaN in a ``float64``
        column). ``null_markers=True`` makes the usual markers of a missing
        value (``NA``, ``N/A``, ``NaN``, ``null``, ``NULL``, ``None``,
        ``#N/A``, ``-``, ... blanks around ignored) missing too, as pandas'
        ``na_values`` does, so that one ``N/A`` does not make a numeric
        column text.

        The columns come from the library's columnar export; with a library
        older than it, from its rows read ``page_size`` at a time. Needs
        pandas.

        A table that nothing but this call holds, as in
        ``velmora_csv.open(path).to_pandas()``, is closed as soon as its
        export is taken, and its memory goes back as the frame is built:
        the peak is about the larger of the two, not their sum. A table
        held by a name (``with ... as t``), a container or an attribute
        stays open, its text in memory beside the frame. (This is told from
        the table's reference count on CPython 3.11 to 3.13; elsewhere every
        table stays open.) :func:`read_pandas` reads a large file into a
        frame a block at a time, with a lower peak still."""
        # First thing, before any other reference to the table is made: a
        # table only this call holds is closed as soon as its export is
        # taken, and gives its memory back as the frame is built.
        alone = (sys.getrefcount(self) == _TEMPORARY_REFS
                 and weakref.getweakrefcount(self) <= 1)  # its own finalizer's
        from ._pandas import table_frame

        size = _count_arg(page_size, "page_size")
        if size == 0:
            raise ValueError("page_size must be at least 1")
        if types not in ("typed", "text"):
            raise ValueError(f"types must be 'typed' or 'text', not {types!r}")
        return table_frame(self, size, types == "typed", bool(null_markers), close=alone)

    def _arrow_stream(self, flags: int, out: Any, columns: Optional[bytes] = None) -> None:
        """Fills the stream struct ``out`` points at with the table's export
        (of ``columns``, a column list the library reads, or all)."""
        _require(self._lib, "csv_arrow_stream")
        with self._lock:
            handle = self._handle
            if handle is None:
                raise Error("table is closed")
            if self._lib.csv_arrow_stream(handle, columns, flags, out) != 0:
                raise Error(_last_error(self._lib))

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        """The table as an Arrow C stream in a PyCapsule (the Arrow PyCapsule
        protocol), so that pyarrow, Polars, DuckDB and other engines take it
        without a copy through the Python objects: numeric columns int64 or
        float64 (empty cells null), others utf8, as ``to_pandas()`` types
        them. The stream holds its own copy of the data and stays valid
        after the table is closed.

        ``requested_schema`` (a PyCapsule of a struct schema, one field per
        column) is honoured where the export can give it: utf8 for every
        column (the cells' text), or each column's own type (utf8 fields
        accepted for text columns), or a mix of the two (this needs the
        package's C extension, which joins a typed and a text export). Any
        other request -- another type, a different number of fields --
        raises ValueError naming what cannot be given."""
        from . import _arrow

        if requested_schema is None:
            return _arrow.stream_capsule(lambda out: self._arrow_stream(_arrow.TYPED, out))
        requested = _arrow.requested_formats(requested_schema)

        def fill(out: Any) -> None:
            self._arrow_stream(_arrow.TYPED, out)
            try:
                own = _arrow.stream_formats(out)
                picks = _arrow.export_picks(requested, own)
            except BaseException:
                out.contents.release(out)
                raise
            if not any(picks):
                return  # the table's own types
            out.contents.release(out)
            if all(pick or fmt in ("u", "U") for pick, (_, fmt) in zip(picks, own)):
                self._arrow_stream(_arrow.TEXT, out)  # every column as text
            else:
                self._mixed_stream(picks, out)

        return _arrow.stream_capsule(fill)

    def _mixed_stream(self, picks: "list[bool]", out: Any) -> None:
        """Fills ``out`` with the typed export, but the columns ``picks``
        marks as text: one stream made of two by the C extension."""
        from . import _arrow

        fast = _rows_extension()
        if fast is None or not hasattr(fast, "combine_streams"):
            raise ValueError("requested_schema asks utf8 for some typed columns and their own "
                             "types for others, which needs the package's C extension: ask "
                             "utf8 for every column, or each column's own type")
        typed, text = _arrow.ArrowArrayStream(), _arrow.ArrowArrayStream()
        try:
            self._arrow_stream(_arrow.TYPED, ctypes.byref(typed))
            self._arrow_stream(_arrow.TEXT, ctypes.byref(text))
            fast.combine_streams(ctypes.addressof(typed), ctypes.addressof(text),
                                 bytes(picks), ctypes.addressof(out.contents))
        finally:
            for stream in (typed, text):  # moved into `out` unless that failed
                if stream.release:
                    stream.release(ctypes.pointer(stream))


# ---- opening ---------------------------------------------------------------


def open(  # noqa: A001 - the module's entry point, named like the builtin on purpose
    path: Union[str, bytes, "os.PathLike[Any]"],
    header: bool = True,
    delimiter: Union[None, str, bytes, int] = None,
    encoding: Optional[str] = None,
    progress: Optional[ProgressFn] = None,
) -> Table:
    """Loads the file at ``path`` into memory and returns its :class:`Table`.

    path: a file, a pipe or FIFO, ``"/dev/stdin"``; a gzip file is inflated.
    header: the first record names the columns; otherwise they are named
        "1", "2", ...
    delimiter: None detects comma, tab, semicolon or pipe from the first
        record; else one ASCII character (``","``, ``"\\t"``, ``";"``,
        ``"|"`` ...), one of the names "tab", "comma", "semicolon", "pipe", a
        single byte (``b"\\xa7"``) or its value as an int 1..255 (0 detects).
        Any other int makes the library fail with "invalid delimiter: N".
    encoding: None or "auto" detects UTF-8 or UTF-16; "utf-8" uses the bytes
        as they are (bytes that are not UTF-8 come out read as Latin-1);
        "utf-16-le" or "utf-16-be"; any other name is one the C library's
        converter knows ("cp1252", "windows-1252", "latin-1", "shift_jis",
        "gb18030", "koi8-r", ...), and the text is converted to UTF-8 as it is
        loaded, each invalid byte sequence becoming U+FFFD. An unknown name
        makes the load fail with :class:`UnknownEncodingError` (also a
        :class:`LookupError`, as Python's codecs raise) and the library's
        message naming it.
    progress: called as ``progress(done, total, rows)`` on the loading thread
        (bytes consumed, their total, rows stored so far) about once per
        1,000,000 rows or 64 MiB and once at the end. ``total`` is None while
        the size is not known (a pipe, standard input, a gzip file). Returning
        None or a true value goes on; returning a false value other than None
        (False, 0) cancels, and open() raises :class:`Cancelled`. An exception
        raised inside it cancels the load and is re-raised by open().

    A missing file raises :class:`MissingFileError`, also a
    :class:`FileNotFoundError`; a file that cannot be read another
    :class:`FileError`, also an :class:`OSError`.
    """
    lib = _library()
    raw_path = _path_arg(path)
    delim = _delimiter_arg(delimiter)
    enc = _encoding_arg(encoding)
    has_header = 1 if header else 0
    if progress is not None and not callable(progress):
        raise TypeError("progress must be callable or None")
    if isinstance(enc, bytes):
        _require(lib, "csv_load_encoding")

    handle, error = _load(lib, raw_path, has_header, delim, enc, progress)
    if error is not None:
        try:
            raise error
        finally:
            del error  # no cycle through the traceback
    table = Table._attach(lib, handle, os.fsdecode(raw_path))
    _warn_invalid_utf8(table)
    return table


def read_pandas(
    path: Union[str, bytes, "os.PathLike[Any]"],
    header: bool = True,
    delimiter: Union[None, str, bytes, int] = None,
    encoding: Optional[str] = None,
    *,
    types: str = "typed",
    null_markers: bool = False,
) -> "pandas.DataFrame":
    """The file at ``path`` as a pandas DataFrame: the frame of
    ``open(path, ...).to_pandas(types=..., null_markers=...)``, with a
    lower peak of memory, as the whole file's table is never held beside
    the frame.

    A large UTF-8 file (not gzip, not a pipe) is read a block of 16 MiB at a
    time, each block loaded from the parser's exact state at its first byte
    and its table closed before the next, so the peak is about the frame
    and one block. Each column's dtype is still the whole column's: where
    the blocks disagree (a column of numbers in one block holding text in
    another, or integers in one and fractions in another), or the text is
    not UTF-8, the file is loaded whole instead. A file loaded whole has its
    table closed as soon as every column is out of it, before the texts of
    columns that do not repeat are made into str objects. The arguments
    are those of :func:`open` and :meth:`Table.to_pandas`."""
    from ._pandas import blocks_frame, table_frame

    if types not in ("typed", "text"):
        raise ValueError(f"types must be 'typed' or 'text', not {types!r}")
    frame = blocks_frame(_path_arg(path), header, delimiter, encoding, types == "typed",
                         bool(null_markers))
    if frame is not None:
        return frame
    table = open(path, header, delimiter, encoding)
    try:
        return table_frame(table, FRAME_PAGE_ROWS, types == "typed", bool(null_markers),
                           close=True)
    finally:
        table.close()


def _warn_invalid_utf8(table: Table) -> None:
    """One warning per load whose text, read as UTF-8, holds bytes that are
    not: the file is most likely in another encoding."""
    if not _has(table._lib, "csv_info"):
        return
    count = table.info().get("invalid_utf8_bytes", 0)
    if count:
        noun = "1 byte is" if count == 1 else f"{count} bytes are"
        warnings.warn(
            f"{table._path}: {noun} not valid UTF-8; if the file is in another encoding, "
            "name it, e.g. encoding='windows-1252'",
            InvalidUTF8Warning, stacklevel=3)


def _load(
    lib: Any,
    raw_path: bytes,
    has_header: int,
    delim: int,
    enc: Union[int, bytes],
    progress: Optional[ProgressFn],
) -> "tuple[int, Optional[BaseException]]":
    """One call of a loader: the handle, or -1 and what to raise."""
    state = _Progress(progress) if progress is not None else None
    # The ctypes thunk must stay alive for the whole call.
    # With no function, the null callback (the type stubs do not know it).
    callback = PROGRESS_FN(state) if state is not None else PROGRESS_FN()  # type: ignore[call-overload]
    if isinstance(enc, bytes):
        handle = lib.csv_load_encoding(raw_path, has_header, delim, enc, callback, None)
    else:
        handle = lib.csv_load_ex_progress(raw_path, has_header, delim, enc, callback, None)
    message = _last_error(lib) if handle < 0 else ""
    del callback

    if state is not None and state.error is not None:
        if handle >= 0:
            lib.csv_close(handle)
        error, state.error = state.error, None
        return -1, error
    if handle < 0:
        if state is not None and state.cancelled:
            return -1, Cancelled(message)
        return -1, _load_error(message, raw_path)
    return handle, None


# ---- byte ranges -------------------------------------------------------------


def _range_args(
    lib: Any, path: Any, delimiter: Any, encoding: Optional[str], offset: int, length: int
) -> "tuple[bytes, int, int, Optional[bytes], int, int]":
    raw_path = _path_arg(path)
    delim = _delimiter_arg(delimiter)
    enc = _encoding_arg(encoding)
    off, size = operator.index(offset), operator.index(length)
    if off < 0 or size < 0:
        raise ValueError(f"invalid byte range: offset {off}, length {size}")
    if isinstance(enc, bytes):
        return raw_path, delim, 0, enc, off, size
    return raw_path, delim, enc, None, off, size


def scan_range(
    path: Union[str, bytes, "os.PathLike[Any]"],
    offset: int,
    length: int,
    delimiter: Union[None, str, bytes, int] = None,
    encoding: Optional[str] = None,
) -> "tuple[int, ...]":
    """The state map of the bytes [offset, offset + length) of the file:
    entry ``s`` is the parser's state after the range when it was ``s``
    before. The state at a block's first byte is the maps of the blocks
    before it applied in order to 0, and :func:`open_range` loads the block
    from it. delimiter and encoding as for :func:`open`."""
    lib = _library()
    _require(lib, "csv_range_scan")
    raw_path, delim, enc, name, off, size = _range_args(lib, path, delimiter, encoding, offset, length)
    out = (ctypes.c_int32 * RANGE_STATES)()
    if lib.csv_range_scan(raw_path, delim, enc, name, off, size, out) != 0:
        raise _load_error(_last_error(lib), raw_path)
    return tuple(out)


def open_range(
    path: Union[str, bytes, "os.PathLike[Any]"],
    offset: int,
    length: int,
    start_state: int = -1,
    header: bool = True,
    delimiter: Union[None, str, bytes, int] = None,
    encoding: Optional[str] = None,
) -> Table:
    """Loads the records of the file that start in the bytes [offset,
    offset + length) (the last read on to its end) as a :class:`Table`.
    start_state is the parser's state at ``offset`` from :func:`scan_range`
    maps, or -1 to have it found by a pass from the file's start. With a
    header, the file's first record names the columns of every range and is
    no range's row. A gzip file loads only whole (offset 0, length at least
    its size); UTF-16 text splits at even offsets. header, delimiter and
    encoding as for :func:`open`."""
    lib = _library()
    _require(lib, "csv_load_range")
    raw_path, delim, enc, name, off, size = _range_args(lib, path, delimiter, encoding, offset, length)
    handle = lib.csv_load_range(
        raw_path, 1 if header else 0, delim, enc, name, off, size, operator.index(start_state),
        PROGRESS_FN(), None  # type: ignore[call-overload]
    )
    if handle < 0:
        raise _load_error(_last_error(lib), raw_path)
    return Table._attach(lib, handle, os.fsdecode(raw_path))
