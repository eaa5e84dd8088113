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
import math
from typing import Any, Callable, List, Optional

_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1


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
    """Collects one numeric column: Python ints while every cell is a
    decimal integer within 64 bits, floats from the first cell that is not."""

    def __init__(self) -> None:
        self.ints: Optional[List[Optional[int]]] = []
        self.floats: List[float] = []

    def extend(self, cells: tuple) -> None:
        ints = self.ints
        if ints is not None:
            for i, cell in enumerate(cells):
                if cell == "":
                    ints.append(None)
                    continue
                value = _decimal_int(cell)
                if value is None:
                    self._to_floats()
                    self._extend_floats(cells[i:])
                    return
                ints.append(value)
        else:
            self._extend_floats(cells)

    def _to_floats(self) -> None:
        assert self.ints is not None
        self.floats = [math.nan if v is None else float(v) for v in self.ints]
        self.ints = None

    def _extend_floats(self, cells: tuple) -> None:
        self.floats.extend(math.nan if c == "" else cell_float(c) for c in cells)

    def array(self, pd: Any, np: Any) -> Any:
        if self.ints is None:
            return np.array(self.floats, dtype="float64")
        return pd.array(self.ints, dtype="Int64")


def _decimal_int(cell: str) -> Optional[int]:
    # Only digits with an optional sign (and the spaces the library trims)
    # are integers: "3.0", "1e3" and "0x10" make the column float64.
    text = cell.strip(" \t")
    body = text[1:] if text[:1] in "+-" else text
    if not (body.isascii() and body.isdigit()):
        return None
    value = int(text)
    return value if _INT64_MIN <= value <= _INT64_MAX else None


class _TextColumn:
    def __init__(self) -> None:
        self.cells: List[Optional[str]] = []

    def extend(self, cells: tuple) -> None:
        self.cells.extend(c if c != "" else None for c in cells)

    def array(self, pd: Any, np: Any) -> Any:
        return pd.array(self.cells, dtype="string")


def _values_only(items: list) -> list:
    # Rows as lists of cell texts in column order: repeated names stay apart.
    return [value for _, value in items]


def table_frame(table: Any, page_size: int) -> Any:
    try:
        import numpy as np
        import pandas as pd
    except ImportError as exc:
        raise ImportError(f"Table.to_pandas() needs pandas: {exc}") from exc

    headers = table.headers()
    numeric = [c["numeric"] for c in table.stats()["columns"]]
    columns: List[Any] = [_NumberColumn() if n else _TextColumn() for n in numeric]
    n_rows = len(table)
    start = 0
    while start < n_rows:
        text = table._text("csv_rows", start, min(page_size, n_rows - start))
        page = json.loads(text, object_pairs_hook=_values_only)
        if not page:
            break
        for column, cells in zip(columns, zip(*page)):
            column.extend(cells)
        start += len(page)
    data = {i: column.array(pd, np) for i, column in enumerate(columns)}
    frame = pd.DataFrame(data, index=pd.RangeIndex(start))
    frame.columns = pd.Index(headers, dtype="object")
    return frame
