"""Building a pandas DataFrame from a table, page by page.

Which columns are numbers is the library's decision (the "numeric" flag of
its statistics: every non-empty cell is a number as the C library's strtod
reads it). Such a column becomes Int64 while every cell is an integer
written in decimal digits within 64 bits, else float64; every other column
becomes the string dtype. Empty cells are missing values.
"""

from __future__ import annotations

import ctypes
import json
import operator
from typing import Any, Callable, List, Optional

from ._errors import Error

def _c_strtod() -> Callable[[bytes], float]:
    libc = ctypes.CDLL(None)
    fn = libc.strtod
    fn.restype = ctypes.c_double
    fn.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p)]
    return lambda raw: fn(raw, None)


_strtod: Optional[Callable[[bytes], float]] = None


def cell_float(text: str) -> float:
    """The value the library gives a numeric cell. Python's float() reads
    the common forms alike; hexadecimal forms, "nan(...)", a decimal comma
    of the C locale and a NUL inside the cell are left to the C library's
    strtod, as the library reads them."""
    try:
        return float(text)
    except ValueError:
        global _strtod
        if _strtod is None:
            _strtod = _c_strtod()
        return _strtod(text.split("\0", 1)[0].encode("utf-8"))


class _NumberColumn:
    """Collects one numeric column a page at a time: int64 while every cell
    is a decimal integer within 64 bits, float64 from the first page where
    one is not. Empty cells are recorded in a mask."""

    def __init__(self, np: Any) -> None:
        self.np = np
        self.values: List[Any] = []  # arrays, one per page
        self.missing: List[Any] = []
        self.integral = True

    def extend(self, cells: list) -> None:
        np = self.np
        texts = np.array(cells, dtype=object)
        missing = texts == ""
        if self.integral:
            values = _int_page(np, texts, missing)
            if values is None:
                self.integral = False
                self.values = [v.astype("float64") for v in self.values]
        if not self.integral:
            values = _float_page(np, texts, missing)
        self.values.append(values)
        self.missing.append(missing)

    def array(self, pd: Any, np: Any) -> Any:
        values = _join(np, self.values, "int64" if self.integral else "float64")
        missing = _join(np, self.missing, "bool")
        if not self.integral:
            values[missing] = np.nan
            return values
        return pd.arrays.IntegerArray(values, missing)


def _join(np: Any, parts: List[Any], dtype: str) -> Any:
    return np.concatenate(parts) if parts else np.empty(0, dtype=dtype)


def _int_page(np: Any, texts: Any, missing: Any) -> Optional[Any]:
    """The page as int64, or None when a cell is not an integer written in
    decimal digits that fits 64 bits ("3.0", "1e3" and "0x10" are not).
    int() of each cell, run by numpy, reads exactly those among the cells
    the library calls numbers."""
    filled = texts.copy()
    filled[missing] = "0"
    try:
        return filled.astype("int64")
    except (ValueError, OverflowError):
        return None


def _float_page(np: Any, texts: Any, missing: Any) -> Any:
    filled = texts.copy()
    filled[missing] = "nan"
    try:
        # float() of each cell, run by numpy.
        return filled.astype("float64")
    except ValueError:
        return np.array([cell_float(cell) for cell in filled], dtype="float64")


class _TextColumn:
    def __init__(self, np: Any) -> None:
        self.np = np
        self.cells: List[Any] = []  # object arrays, one per page

    def extend(self, cells: list) -> None:
        texts = self.np.array(cells, dtype=object)
        texts[texts == ""] = None
        self.cells.append(texts)

    def array(self, pd: Any, np: Any) -> Any:
        return pd.array(_join(np, self.cells, "object"), dtype="string")


def _values_only(items: list) -> list:
    # Rows as lists of cell texts in column order: repeated names stay apart.
    return [value for _, value in items]


def table_frame(table: Any, page_size: int, typed: bool = True, null_markers: bool = False,
                text_columns: Any = (), close: bool = False) -> Any:
    """The frame of Table.to_pandas(); the columns at the (0-based)
    positions in ``text_columns`` stay text whatever their cells. With
    ``close`` the table may be closed as soon as its data is out."""
    try:
        import numpy as np
        import pandas as pd
    except ImportError as exc:
        raise ImportError(f"Table.to_pandas() needs pandas: {exc}") from exc

    from ._native import has, rows_extension

    if has(table._lib, "csv_arrow_stream") and table.col_count > 0:
        return _arrow_frame(table, pd, np, typed, null_markers, rows_extension(), text_columns,
                            close)
    if null_markers:
        raise Error(
            "to_pandas(null_markers=True) needs the library's columnar export "
            "(csv_arrow_stream): the library in use is older than this package"
        )
    return _rows_frame(table, pd, np, page_size, typed, text_columns)


def _array_maker(np: Any, rows: int) -> Callable[[str], Any]:
    """The arrays the C extension fills in place, by Arrow format."""
    dtypes = {"l": np.int64, "g": np.float64, "u": object}

    def make(kind: str) -> Any:
        if kind == "?":
            return np.zeros(rows, dtype=np.bool_)
        return np.empty(rows, dtype=dtypes[kind])  # an object array holds None

    return make


def _string_array(pd: Any, np: Any, values: Any, checked: bool) -> Any:
    """A string-dtype array of ``values`` (str objects and pd.NA). Those the
    C extension made are known to be such, so pandas' pass over them to
    check it is spared where pandas offers that; else the array checks."""
    if not isinstance(values, np.ndarray):
        values = np.array(values, dtype=object)
    if checked:
        simple_new = getattr(pd.arrays.StringArray, "_simple_new", None)
        try:
            made = simple_new(values, pd.StringDtype("python")) if simple_new else None
        except (TypeError, ValueError):
            made = None
        if isinstance(made, pd.arrays.StringArray) and made.dtype == "string":
            return made
    return pd.arrays.StringArray(values)


def _arrow_frame(table: Any, pd: Any, np: Any, typed: bool, null_markers: bool, fast: Any,
                 text_columns: Any = (), close: bool = False) -> Any:
    """The frame from the library's columnar export: numbers copied once
    into numpy, texts made into str objects straight from the UTF-8 bytes.

    ``close``: the table is closed as soon as one stream of every column is
    taken. That stream is then the table's last reader, which gives the
    table's memory back as it delivers its rows, so the table and the frame
    are not both held whole at any time."""
    from . import _arrow

    typed_flags = (_arrow.TYPED | (_arrow.NULL_MARKERS if null_markers else 0)) if typed else _arrow.TEXT
    n_rows = len(table)
    use_fast = fast is not None and hasattr(fast, "arrow_columns")
    make = _array_maker(np, n_rows)

    def export(flags: int, position: Optional[int]) -> Any:
        stream = _arrow.ArrowArrayStream()
        table._arrow_stream(flags, ctypes.byref(stream),
                            None if position is None else table._position_text(position))
        return stream

    def read(stream: Any, late: bool = False) -> List[Any]:
        pointer = ctypes.pointer(stream)
        try:
            if use_fast:
                return fast.arrow_columns(ctypes.addressof(stream), n_rows, pd.NA, make,
                                          null_markers, None, late)
            return _arrow.read_columns(np, pointer, n_rows, pd.NA, null_markers)
        except RuntimeError as exc:
            raise Error(str(exc)) from None
        finally:
            if stream.release:
                stream.release(pointer)

    n_cols = table.col_count
    if close and not text_columns:
        stream = export(typed_flags, None)
        try:
            table.close()
        except BaseException:
            stream.release(ctypes.pointer(stream))
            raise
        # Text columns' arrays are made once the table is gone.
        columns = read(stream, late=True)
    else:
        # One column at a time: a stream holds a copy of what it exports,
        # so only one column's copy is alive beside the frame being built.
        columns = [read(export(_arrow.TEXT if position - 1 in text_columns else typed_flags,
                                position))[0]
                   for position in range(1, n_cols + 1)]
        if close:
            table.close()
    names = [name for name, _, _, _ in columns]
    data = {}
    for i, (_, kind, values, mask) in enumerate(columns):
        if kind in ("l", "g"):
            dtype = np.int64 if kind == "l" else np.float64
            array = np.frombuffer(values, dtype=dtype) if not isinstance(values, np.ndarray) else values
            nulls = None if mask is None else (
                np.frombuffer(mask, dtype=np.bool_) if not isinstance(mask, np.ndarray) else mask)
            if kind == "l":
                data[i] = pd.arrays.IntegerArray(
                    array, nulls if nulls is not None else np.zeros(len(array), dtype=np.bool_))
            else:
                if nulls is not None:
                    array[nulls] = np.nan
                data[i] = array
        else:
            # Every item is a str or pd.NA: the array's own check suffices.
            data[i] = _string_array(pd, np, values, use_fast)
    frame = pd.DataFrame(data, index=pd.RangeIndex(n_rows), copy=False)
    frame.columns = pd.Index(names, dtype="object")
    return frame


def _rows_frame(table: Any, pd: Any, np: Any, page_size: int, typed: bool,
                text_columns: Any = ()) -> Any:
    headers = table.headers()
    if typed:
        numeric = [c["numeric"] for c in table.stats()["columns"]]
    else:
        numeric = [False] * len(headers)
    columns: List[Any] = [
        _NumberColumn(np) if n and i not in text_columns else _TextColumn(np)
        for i, n in enumerate(numeric)
    ]
    # Rows decode fastest as dicts; repeated names need lists of the cells
    # to keep every one.
    unique_names = len(set(headers)) == len(headers)
    keys = headers if unique_names else range(len(headers))
    cells_of = [operator.itemgetter(key) for key in keys]
    n_rows = len(table)
    start = 0
    while start < n_rows:
        text = table._text("csv_rows", start, min(page_size, n_rows - start))
        if unique_names:
            page = json.loads(text)
        else:
            page = json.loads(text, object_pairs_hook=_values_only)
        if not page:
            break
        for column, cell_of in zip(columns, cells_of):
            column.extend(list(map(cell_of, page)))
        start += len(page)
    data = {i: column.array(pd, np) for i, column in enumerate(columns)}
    frame = pd.DataFrame(data, index=pd.RangeIndex(start))
    frame.columns = pd.Index(headers, dtype="object")
    return frame


# ---- a file read block by block ----------------------------------------------

# Bytes per block when read_pandas() reads a file block by block: the one
# block's table lives beside the frame being built, never the whole file.
BLOCK_BYTES = 16 << 20

_GZIP_MAGIC = b"\x1f\x8b"


def _blockable(path: Any, encoding: Any) -> bool:
    """Whether the file can be read in blocks: a regular file of several
    blocks, not gzip, read as UTF-8 (a block of another encoding's text
    may not start on a character)."""
    import os
    import stat

    if encoding not in (None, "auto", "utf-8", "utf8", "UTF-8"):
        return False
    try:
        info = os.stat(path)
        if not stat.S_ISREG(info.st_mode) or info.st_size < 3 * BLOCK_BYTES:
            return False
        with open(path, "rb") as f:
            return f.read(2) != _GZIP_MAGIC
    except OSError:
        return False


def _signature(path: Any) -> Any:
    import os

    info = os.stat(path)
    return (info.st_size, info.st_mtime_ns, info.st_ino)


class _Disagree(Exception):
    """The blocks cannot make the whole file's frame on their own."""


def blocks_frame(path: Any, header: bool, delimiter: Any, encoding: Any, typed: bool,
                 null_markers: bool) -> Any:
    """The frame of the whole file's table, read one block of BLOCK_BYTES at
    a time: each block is loaded from the parser's exact state at its first
    byte, its columns exported into numpy and str objects, and its table
    closed before the next. A column's dtype is the whole column's: the
    blocks' dtypes agree, or a block holds no value in it. Returns None when
    the file is not one to read so, or its blocks disagree (a column
    numeric in one block and text in another, a different header, text
    that is not UTF-8, a file changed meanwhile): read_pandas() then loads
    it whole."""
    from concurrent.futures import ThreadPoolExecutor

    from . import scan_range
    from ._native import has, library, rows_extension

    try:
        import numpy as np
        import pandas as pd
    except ImportError as exc:
        raise ImportError(f"read_pandas() needs pandas: {exc}") from exc
    fast = rows_extension()
    lib = library()
    if (fast is None or not hasattr(fast, "arrow_columns") or not _blockable(path, encoding)
            or not all(has(lib, f) for f in ("csv_range_scan", "csv_load_range",
                                              "csv_arrow_stream", "csv_info"))):
        return None
    before = _signature(path)
    size = before[0]
    blocks = [(off, min(BLOCK_BYTES, size - off)) for off in range(0, size, BLOCK_BYTES)]

    # The boundary pass runs a block ahead of the loads, on a thread of its
    # own (the library's calls release the interpreter's lock).
    def scan(block: Any) -> Any:
        return scan_range(path, block[0], block[1], delimiter=delimiter, encoding=encoding)

    try:
        with ThreadPoolExecutor(max_workers=1) as pool:
            maps = [pool.submit(scan, block) for block in blocks[:-1]]
            try:
                pieces, kinds = _read_blocks(path, blocks, maps, header, delimiter, encoding,
                                             typed, null_markers, fast, np, pd)
            finally:
                for m in maps:
                    m.cancel()
        if _signature(path) != before:
            return None
        return _join_blocks(pieces, kinds, pd, np)
    except _Disagree:
        return None


def _read_blocks(path: Any, blocks: Any, maps: Any, header: bool, delimiter: Any, encoding: Any,
                 typed: bool, null_markers: bool, fast: Any, np: Any, pd: Any) -> Any:
    """Each column's pieces, one per block: (name, kind, data, mask); and
    each column's kind, that of its pieces holding a value (None when none
    does)."""
    from . import _arrow, open_range

    flags = (_arrow.TYPED | (_arrow.NULL_MARKERS if null_markers else 0)) if typed else _arrow.TEXT
    columns: List[List[Any]] = []
    kinds: List[Optional[str]] = []
    names: Optional[List[Any]] = None
    pools = None  # a text repeated across blocks is one str in the frame
    state = 0
    for i, (offset, length) in enumerate(blocks):
        with open_range(path, offset, length, state, header, delimiter, encoding) as table:
            info = table.info()
            if info.get("encoding") != "utf-8" or info.get("invalid_utf8_bytes", 0):
                raise _Disagree()
            if names is not None and table.col_count != len(names):
                raise _Disagree()
            if pools is None and hasattr(fast, "text_pools"):
                pools = fast.text_pools(table.col_count)
            rows = len(table)
            stream = _arrow.ArrowArrayStream()
            table._arrow_stream(flags, ctypes.byref(stream))
            try:
                extra = () if pools is None else (pools,)
                got = fast.arrow_columns(ctypes.addressof(stream), rows, pd.NA,
                                         _array_maker(np, rows), null_markers, *extra)
            except RuntimeError as exc:
                raise Error(str(exc)) from None
            finally:
                if stream.release:
                    stream.release(ctypes.pointer(stream))
        block_names = [name for name, _, _, _ in got]
        if names is None:
            names = block_names
            columns = [[] for _ in names]
            kinds = [None] * len(names)
        elif block_names != names:
            raise _Disagree()
        for c, piece in enumerate(got):
            columns[c].append(piece)
            _, kind, values, mask = piece
            # A block's dtype speaks for the column only where it holds a
            # value; two that do must agree (found as soon as they don't).
            if kind != kinds[c] and not _missing(kind, values, mask, pd):
                if kinds[c] is not None:
                    raise _Disagree()
                kinds[c] = kind
        if i < len(maps):
            state = maps[i].result()[state]
    return columns, kinds


def _give_back() -> None:
    """Hands freed memory back to the system. The C library's malloc keeps
    what was freed below memory still in use (the blocks' pieces of a
    column lie between arrays made after them), so without this the
    process's peak would grow column by column as they are joined."""
    global _trim
    if _trim is None:
        try:
            _trim = ctypes.CDLL(None).malloc_trim
            _trim.argtypes = [ctypes.c_size_t]
        except (OSError, AttributeError):
            _trim = False
    if _trim:
        _trim(0)


_trim: Any = None


def _missing(kind: str, values: Any, mask: Any, pd: Any) -> bool:
    """Whether a piece holds no value at all: every cell empty (or a null
    marker, when they count). A float piece never counts as empty: NaN
    there may be the text "nan"."""
    if len(values) == 0:
        return True
    if kind == "l":
        return mask is not None and bool(mask.all())
    if kind == "u":
        return bool(pd.isna(values).all())
    return False


def _join_blocks(columns: Any, kinds: Any, pd: Any, np: Any) -> Any:
    """The frame of the blocks' pieces, a column at a time (only one
    column's joined copy is made while its pieces are still held)."""
    data = {}
    names = []
    n_rows = 0
    for i, pieces in enumerate(columns):
        names.append(pieces[0][0])
        kind = kinds[i]
        if kind is None:  # no value anywhere: the blocks' own dtype, if they agree
            if len({have for _, have, _, _ in pieces}) > 1:
                raise _Disagree()
            kind = pieces[0][1]
        parts, masks = [], []
        for _, have, values, mask in pieces:
            n = len(values)
            if have != kind:  # a piece without values: missing in the column's dtype
                values, mask = _empty_piece(kind, n, np, pd)
            parts.append(values)
            if kind == "l":
                masks.append(mask if mask is not None else np.zeros(n, dtype=np.bool_))
        pieces.clear()
        values = np.concatenate(parts) if parts else np.empty(0)
        del parts
        n_rows = len(values)
        if kind == "l":
            data[i] = pd.arrays.IntegerArray(values, np.concatenate(masks))
        elif kind == "g":
            data[i] = values
        else:
            data[i] = _string_array(pd, np, values, True)
        columns[i] = None
        _give_back()  # the pieces' memory, before the next column's copy
    frame = pd.DataFrame(data, index=pd.RangeIndex(n_rows), copy=False)
    frame.columns = pd.Index(names, dtype="object")
    return frame


def _empty_piece(kind: str, n: int, np: Any, pd: Any) -> Any:
    if kind == "l":
        return np.zeros(n, dtype=np.int64), np.ones(n, dtype=np.bool_)
    if kind == "g":
        return np.full(n, np.nan), None
    values = np.empty(n, dtype=object)
    values[:] = pd.NA
    return values, None
