"""The shapes of the library's JSON answers, for type checkers."""

from __future__ import annotations

from typing import Dict, List, Optional, Tuple, TypedDict, Union

Row = Dict[str, str]
"""One row: header name -> cell text."""

PairRow = List[Tuple[str, str]]
"""One row as ``(name, value)`` pairs in column order (repeated names)."""

AnyRow = Union[Row, PairRow]


class _ColumnStatsBase(TypedDict):
    name: str
    count: int
    nulls: int
    unique: int
    numeric: bool


class ColumnStats(_ColumnStatsBase, total=False):
    """One column of :meth:`Table.stats`. ``min``, ``max`` and ``mean`` are
    present only for numeric columns, and are None when the value is not a
    finite number (a cell such as ``nan``, ``inf`` or ``1e999``)."""

    min: Optional[float]
    max: Optional[float]
    mean: Optional[float]


class Stats(TypedDict):
    """The answer of :meth:`Table.stats`."""

    row_count: int
    col_count: int
    columns: List[ColumnStats]


class WarningSample(TypedDict):
    """One parse-warning sample."""

    kind: str
    row: int
    expected: int
    actual: int


class _WarningsBase(TypedDict):
    count: int
    ragged: int
    blank: int
    unterminated_quote: bool
    truncated_utf16: bool
    expected_cols: int
    first: Optional[WarningSample]
    samples: List[WarningSample]


class Warnings(_WarningsBase, total=False):
    """The answer of :meth:`Table.warnings`; ``unterminated_row`` is present
    only when a quote was left open."""

    unterminated_row: int


class Info(TypedDict):
    """The answer of :meth:`Table.info`: how the table was loaded."""

    encoding: str
    bom: bool
    delimiter: str
    encoding_detected: bool
    delimiter_detected: bool
    compression: str
    file_size: int
    rows: int
    columns: int
    warnings: int
    replaced_bytes: int
    invalid_utf8_bytes: int
