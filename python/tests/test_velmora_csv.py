"""Tests of the velmora_csv Python package against the built shared library.

The library is found as the package finds it: VELMORA_CSV_LIBRARY (a path to
libvelmora-csv.so), a copy beside the package, or the system's library path.
"""

from __future__ import annotations

import copy
import ctypes.util
import errno
import gc
import gzip
import json
import math
import os
import pathlib
import pickle
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import threading
import typing
import warnings

import pytest

import velmora_csv
from velmora_csv import _native

MAX_TABLES = 64


@pytest.fixture(scope="session", autouse=True)
def shared_library():
    try:
        return velmora_csv.library_path()
    except velmora_csv.LibraryNotFoundError as exc:
        problem = str(exc)
    pytest.exit(f"the velmora-csv shared library is needed for these tests: {problem}", returncode=1)


@pytest.fixture
def write(tmp_path):
    """Writes bytes (or UTF-8 text) to a new file and returns its path."""
    counter = iter(range(1_000_000))

    def _write(content, name=None):
        path = tmp_path / (name or f"t{next(counter)}.csv")
        data = content.encode("utf-8") if isinstance(content, str) else content
        path.write_bytes(data)
        return path

    return _write


def free_slots():
    """How many more tables can be opened right now (each probe is closed)."""
    probe = pathlib.Path(tempfile.gettempdir()) / f"velmora-probe-{os.getpid()}.csv"
    probe.write_bytes(b"a\n1\n")
    opened = []
    try:
        while True:
            try:
                opened.append(velmora_csv.open(probe))
            except velmora_csv.Error as exc:
                assert str(exc) == f"too many open handles (max {MAX_TABLES})"
                return len(opened)
    finally:
        for t in opened:
            t.close()
        probe.unlink()


AB = "a,b\n1,2\n3,4\n"


# ---- loading ---------------------------------------------------------------


def test_counts_headers_and_rows(write):
    with velmora_csv.open(write(AB)) as t:
        assert (t.row_count, t.col_count, t.warning_count) == (2, 2, 0)
        assert t.headers() == ["a", "b"]
        assert t.rows() == [{"a": "1", "b": "2"}, {"a": "3", "b": "4"}]
        assert not t.closed
    assert t.closed


def test_without_header_columns_are_numbered(write):
    with velmora_csv.open(write(AB), header=False) as t:
        assert t.headers() == ["1", "2"]
        assert t.row_count == 3
        assert t.rows(0, 1) == [{"1": "a", "2": "b"}]
        assert t.select([2]) == [{"2": "b"}, {"2": "2"}, {"2": "4"}]


def test_empty_file_loads_as_empty_table(write):
    with velmora_csv.open(write(b"")) as t:
        assert (t.row_count, t.col_count) == (0, 0)
        assert t.headers() == []
        assert t.rows() == []


@pytest.mark.parametrize(
    "path_type", [str, pathlib.Path, os.fsencode], ids=["str", "pathlib", "bytes"]
)
def test_path_types(write, path_type):
    path = write(AB)
    with velmora_csv.open(path_type(path)) as t:
        assert t.row_count == 2


def test_non_ascii_path(write):
    with velmora_csv.open(write(AB, name="café ü 表.csv")) as t:
        assert t.headers() == ["a", "b"]


def test_missing_file_carries_the_library_message(tmp_path):
    path = tmp_path / "missing.csv"
    with pytest.raises(velmora_csv.Error) as info:
        velmora_csv.open(path)
    assert str(info.value) == f"cannot open file: {path} (No such file or directory)"
    assert info.value.message == str(info.value)
    assert not isinstance(info.value, velmora_csv.Cancelled)


@pytest.mark.parametrize(
    "path, error",
    [
        ("a\0b.csv", ValueError),
        (b"a\0b.csv", ValueError),
        (17, TypeError),
        (None, TypeError),
    ],
    ids=["nul-str", "nul-bytes", "int", "none"],
)
def test_bad_path_arguments(path, error):
    with pytest.raises(error):
        velmora_csv.open(path)


# ---- delimiters ------------------------------------------------------------


@pytest.mark.parametrize(
    "content, delimiter",
    [
        ("a,b\n1,2\n", None),
        ("a;b\n1;2\n", None),
        ("a\tb\n1\t2\n", None),
        ("a|b\n1|2\n", None),
        ("\ufeffa;b\n1;2\n", None),
        ("a,b\n1,2\n", ","),
        ("a;b\n1;2\n", ";"),
        ("a|b\n1|2\n", "|"),
        ("a\tb\n1\t2\n", "\t"),
        ("a\tb\n1\t2\n", "tab"),
        ("a\tb\n1\t2\n", "TAB"),
        ("a;b\n1;2\n", "semicolon"),
        ("a|b\n1|2\n", "pipe"),
        ("a,b\n1,2\n", "comma"),
        ("a:b\n1:2\n", ":"),
        ("a|b\n1|2\n", b"|"),
        ("a|b\n1|2\n", 124),
        ("a;b\n1;2\n", 0),
    ],
    ids=[
        "detect-comma", "detect-semicolon", "detect-tab", "detect-pipe", "detect-after-bom",
        "comma", "semicolon", "pipe", "tab-char", "tab-name", "tab-name-upper",
        "semicolon-name", "pipe-name", "comma-name", "colon", "bytes", "int", "int-zero-detects",
    ],
)
def test_delimiters(write, content, delimiter):
    with velmora_csv.open(write(content), delimiter=delimiter) as t:
        assert t.headers() == ["a", "b"]
        assert t.rows() == [{"a": "1", "b": "2"}]


@pytest.mark.filterwarnings("ignore::velmora_csv.InvalidUTF8Warning")  # the input is meant so
def test_delimiter_byte_above_ascii(write):
    with velmora_csv.open(write(b"a\xa7b\n1\xa72\n"), delimiter=b"\xa7") as t:
        assert t.rows() == [{"a": "1", "b": "2"}]
    with velmora_csv.open(write(b"a\xa7b\n1\xa72\n"), delimiter=0xA7) as t:
        assert t.rows() == [{"a": "1", "b": "2"}]


@pytest.mark.parametrize(
    "delimiter, message",
    [
        (256, "invalid delimiter: 256"),
        (-5, "invalid delimiter: -5"),
        (2**40, "invalid delimiter: 1099511627776"),
    ],
    ids=["256", "negative", "beyond-int32"],
)
def test_invalid_delimiter_values_fail_with_the_library_message(write, delimiter, message):
    with pytest.raises(velmora_csv.Error) as info:
        velmora_csv.open(write(AB), delimiter=delimiter)
    assert str(info.value) == message


def test_missing_file_is_reported_before_an_invalid_delimiter(tmp_path):
    with pytest.raises(velmora_csv.Error, match=r"^cannot open file: "):
        velmora_csv.open(tmp_path / "missing.csv", delimiter=256)


@pytest.mark.parametrize(
    "delimiter, error",
    [
        ("", ValueError),
        (";;", ValueError),
        ("\0", ValueError),
        ("é", ValueError),
        ("space", ValueError),
        (b"", ValueError),
        (b"ab", ValueError),
        (b"\0", ValueError),
        (1.5, TypeError),
        (True, TypeError),
        ([","], TypeError),
    ],
    ids=["empty", "two-chars", "nul", "non-ascii", "unknown-name", "bytes-empty",
         "bytes-two", "bytes-nul", "float", "bool", "list"],
)
def test_invalid_delimiter_arguments(write, delimiter, error):
    with pytest.raises(error):
        velmora_csv.open(write(AB), delimiter=delimiter)


# ---- encodings -------------------------------------------------------------

TEXT = "name;city\nZoë;Kraków\nJo;Łódź\n"
EXPECTED_ROWS = [{"name": "Zoë", "city": "Kraków"}, {"name": "Jo", "city": "Łódź"}]


@pytest.mark.parametrize(
    "data, encoding",
    [
        (TEXT.encode("utf-8"), None),
        (TEXT.encode("utf-8"), "auto"),
        (TEXT.encode("utf-8"), "utf-8"),
        (TEXT.encode("utf-8"), "UTF8"),
        (b"\xef\xbb\xbf" + TEXT.encode("utf-8"), "utf-8-sig"),
        (b"\xff\xfe" + TEXT.encode("utf-16-le"), None),
        (b"\xfe\xff" + TEXT.encode("utf-16-be"), None),
        (TEXT.encode("utf-16-le"), None),
        (TEXT.encode("utf-16-be"), "auto"),
        (b"\xff\xfe" + TEXT.encode("utf-16-le"), "utf-16-le"),
        (TEXT.encode("utf-16-le"), "UTF-16LE"),
        (TEXT.encode("utf-16-le"), "utf_16_le"),
        (b"\xfe\xff" + TEXT.encode("utf-16-be"), "utf-16-be"),
        (TEXT.encode("utf-16-be"), "utf-16be"),
    ],
    ids=[
        "utf8-detect", "utf8-auto", "utf8", "utf8-alias", "utf8-sig",
        "utf16le-bom-detect", "utf16be-bom-detect", "utf16le-nobom-detect",
        "utf16be-nobom-auto", "utf16le-bom", "utf16le-alias", "utf16le-underscores",
        "utf16be-bom", "utf16be-alias",
    ],
)
def test_encodings(write, data, encoding):
    with velmora_csv.open(write(data), encoding=encoding) as t:
        assert t.headers() == ["name", "city"]
        assert t.rows() == EXPECTED_ROWS
        assert t.warning_count == 0


def test_truncated_utf16_is_a_warning(write):
    data = b"\xff\xfe" + "a,b\n1,2\n3,4\n".encode("utf-16-le") + b"\x00"
    with velmora_csv.open(write(data)) as t:
        assert t.row_count == 2
        assert t.warning_count == 1
        w = t.warnings()
        assert w["truncated_utf16"] is True
        assert w["samples"] == [{"kind": "truncated_utf16", "row": 3, "expected": 2, "actual": 0}]


@pytest.mark.parametrize(
    "encoding, error",
    [("", ValueError), ("  ", ValueError), ("cp1252\0", ValueError),
     (2, TypeError), (b"utf-8", TypeError)],
    ids=["empty", "blank", "nul", "int", "bytes"],
)
def test_invalid_encodings(write, encoding, error):
    with pytest.raises(error):
        velmora_csv.open(write(AB), encoding=encoding)


@pytest.mark.filterwarnings("ignore::velmora_csv.InvalidUTF8Warning")  # the input is meant so
def test_single_byte_text_comes_out_repaired_and_is_searchable_by_bytes(write):
    with velmora_csv.open(write(b"caf\xe9,x\nth\xe9,1\ntea,2\n")) as t:
        assert t.headers() == ["café", "x"]
        assert t.search(b"caf\xe9", b"\xe9") == [{"café": "thé", "x": "1"}]
        assert t.search(1, b"\xe9") == [{"café": "thé", "x": "1"}]


# ---- rows ------------------------------------------------------------------

FIVE = "n,sq\n" + "".join(f"{i},{i * i}\n" for i in range(5))


@pytest.mark.parametrize(
    "offset, limit, expected",
    [
        (0, None, [0, 1, 2, 3, 4]),
        (2, None, [2, 3, 4]),
        (1, 2, [1, 2]),
        (3, 10, [3, 4]),
        (0, 0, []),
        (5, None, []),
        (99, 3, []),
        (2**40, None, []),
        (1, 2**40, [1, 2, 3, 4]),
    ],
    ids=["all", "from-2", "window", "cut-at-end", "limit-0", "offset-at-end",
         "offset-past-end", "huge-offset", "huge-limit"],
)
def test_rows_window(write, offset, limit, expected):
    with velmora_csv.open(write(FIVE)) as t:
        assert t.rows(offset, limit) == [{"n": str(i), "sq": str(i * i)} for i in expected]
        assert t.rows(offset=offset, limit=limit) == t.rows(offset, limit)


@pytest.mark.parametrize(
    "offset, limit, error",
    [(-1, None, ValueError), (0, -1, ValueError), (1.0, None, TypeError), (0, "2", TypeError)],
    ids=["negative-offset", "negative-limit", "float-offset", "text-limit"],
)
def test_rows_bad_window(write, offset, limit, error):
    with velmora_csv.open(write(FIVE)) as t:
        with pytest.raises(error):
            t.rows(offset, limit)


def test_cells_are_text_and_escapes_survive(write):
    content = 'a,b\n007,"say ""hi""\\\tnow\nnext"\n,\n'
    with velmora_csv.open(write(content)) as t:
        assert t.rows() == [{"a": "007", "b": 'say "hi"\\\tnow\nnext'}, {"a": "", "b": ""}]


# ---- repeated column names ----------------------------------------------------


def test_rows_with_repeated_headers_come_as_pairs(write):
    with velmora_csv.open(write("a,b,a\n1,2,3\n4,5,6\n")) as t:
        expected = [[("a", "1"), ("b", "2"), ("a", "3")], [("a", "4"), ("b", "5"), ("a", "6")]]
        assert t.rows() == expected
        assert t.sort("b", descending=True) == expected[::-1]
        assert t.search("b", "5") == expected[1:]
        assert t.rows(raw=True) == '[{"a":"1","b":"2","a":"3"},{"a":"4","b":"5","a":"6"}]'
        # The name resolves to the leftmost column; the position reaches the other.
        assert t.select(["a"]) == [{"a": "1"}, {"a": "4"}]
        assert t.select([3]) == [{"a": "3"}, {"a": "6"}]


def test_select_of_a_repeated_column_comes_as_pairs(write):
    with velmora_csv.open(write(AB)) as t:
        assert t.select("a,a") == [[("a", "1"), ("a", "1")], [("a", "3"), ("a", "3")]]
        assert t.select(["b", 1, "b"]) == [
            [("b", "2"), ("a", "1"), ("b", "2")],
            [("b", "4"), ("a", "3"), ("b", "4")],
        ]


@pytest.mark.parametrize(
    "query",
    [
        lambda t: t.rows(pairs=True),
        lambda t: t.select(["a", "b"], pairs=True),
        lambda t: t.search("a", "", pairs=True),
        lambda t: t.sort("a", pairs=True),
    ],
    ids=["rows", "select", "search", "sort"],
)
def test_pairs_form_on_request(write, query):
    with velmora_csv.open(write(AB)) as t:
        assert query(t) == [[("a", "1"), ("b", "2")], [("a", "3"), ("b", "4")]]


# ---- select ----------------------------------------------------------------


@pytest.mark.parametrize(
    "columns, expected",
    [
        (["b", "a"], [{"b": "2", "a": "1"}, {"b": "4", "a": "3"}]),
        ([2], [{"b": "2"}, {"b": "4"}]),
        (("a",), [{"a": "1"}, {"a": "3"}]),
        (iter(["b"]), [{"b": "2"}, {"b": "4"}]),
        ("b,a", [{"b": "2", "a": "1"}, {"b": "4", "a": "3"}]),
        (" b ,\ta\t", [{"b": "2", "a": "1"}, {"b": "4", "a": "3"}]),
        ("a,,b,", [{"a": "1", "b": "2"}, {"a": "3", "b": "4"}]),
        ("2", [{"b": "2"}, {"b": "4"}]),
        (b"a", [{"a": "1"}, {"a": "3"}]),
    ],
    ids=["names", "position", "tuple", "iterator", "text", "text-trimmed", "text-empty-items",
         "text-number", "bytes-text"],
)
def test_select(write, columns, expected):
    with velmora_csv.open(write(AB)) as t:
        assert t.select(columns) == expected


@pytest.mark.parametrize(
    "columns, message",
    [
        ([], "no columns selected"),
        ("", "no columns selected"),
        (" , ,\t", "no columns selected"),
        (["zz"], "unknown column: zz"),
        ("a,zz", "unknown column: zz"),
        ([3], "unknown column: 3"),
        ([0], "unknown column: 0"),
        ([-1], "unknown column: -1"),
        (["x, y"], "unknown column: x, y"),
        ([""], "unknown column: "),
        ("x" * 256, "column name too long"),
    ],
    ids=["empty-list", "empty-text", "only-separators", "unknown-name", "unknown-in-text",
         "position-past-end", "position-0", "position-negative", "unknown-with-comma",
         "empty-name", "too-long"],
)
def test_select_errors(write, columns, message):
    with velmora_csv.open(write(AB)) as t:
        with pytest.raises(velmora_csv.Error) as info:
            t.select(columns)
        assert str(info.value) == message


@pytest.mark.parametrize(
    "columns, error",
    [(["a\0"], ValueError), ([1.0], TypeError), ([True], TypeError), (None, TypeError)],
    ids=["nul", "float", "bool", "none"],
)
def test_select_bad_arguments(write, columns, error):
    with velmora_csv.open(write(AB)) as t:
        with pytest.raises(error):
            t.select(columns)


def test_select_names_the_list_syntax_cannot_carry(write):
    long_name = "h" * 300
    content = f'"x, y", pad ,,{long_name}\n1,2,3,4\n'
    with velmora_csv.open(write(content)) as t:
        assert t.headers() == ["x, y", " pad ", "", long_name]
        assert t.select(["x, y", " pad ", "", long_name]) == [
            {"x, y": "1", " pad ": "2", "": "3", long_name: "4"}
        ]
        # As one text the library splits and trims it.
        with pytest.raises(velmora_csv.Error, match="^unknown column: x$"):
            t.select("x, y")


def test_positions_win_over_numeric_headers(write):
    # An int is a position even where a header is literally that number.
    with velmora_csv.open(write("2,02,x\nfirst,second,third\n")) as t:
        assert t.select([1, 2, 3]) == [{"2": "first", "02": "second", "x": "third"}]
        assert t.select([2]) == [{"02": "second"}]
        # A text name matches a header first.
        assert t.select(["2"]) == [{"2": "first"}]
        assert t.select("2") == [{"2": "first"}]
        assert t.search(2, "sec") == [{"2": "first", "02": "second", "x": "third"}]
        assert t.search("2", "sec") == []
        assert t.sort(3) == t.sort("x")


# ---- search ----------------------------------------------------------------

PEOPLE = "name,city,age\nAnna,Lyon,31\nbob,LYON,27\nCarl,Paris,45\nDora,,38\n"


@pytest.mark.parametrize(
    "column, query, ignore_case, names",
    [
        ("city", "Lyon", False, ["Anna"]),
        ("city", "lyon", True, ["Anna", "bob"]),
        ("city", "YO", True, ["Anna", "bob"]),
        (2, "Paris", False, ["Carl"]),
        ("2", "Paris", False, ["Carl"]),
        ("city", "", False, ["Anna", "bob", "Carl", "Dora"]),
        ("name", "a", False, ["Anna", "Carl", "Dora"]),
        ("name", "A", True, ["Anna", "Carl", "Dora"]),
        ("age", "9", False, []),
        (b"city", b"Lyon", False, ["Anna"]),
    ],
    ids=["exact", "ignore-case", "ignore-case-inner", "position", "number-text",
         "empty-query", "lower-a", "folded-a", "no-match", "bytes"],
)
def test_search(write, column, query, ignore_case, names):
    with velmora_csv.open(write(PEOPLE)) as t:
        found = t.search(column, query, ignore_case)
        assert [row["name"] for row in found] == names
        assert t.search(column, query, ignore_case=ignore_case, raw=True) == json.dumps(
            found, ensure_ascii=False, separators=(",", ":")
        )


@pytest.mark.parametrize(
    "column, query, error, message",
    [
        ("nope", "x", velmora_csv.Error, "unknown column: nope"),
        (" city", "x", velmora_csv.Error, "unknown column:  city"),
        (4, "x", velmora_csv.Error, "unknown column: 4"),
        ("city", "a\0b", ValueError, None),
        ("ci\0ty", "x", ValueError, None),
        (None, "x", TypeError, None),
        ("city", None, TypeError, None),
        (True, "x", TypeError, None),
    ],
    ids=["unknown", "untrimmed", "position-past-end", "nul-query", "nul-column",
         "none-column", "none-query", "bool-column"],
)
def test_search_errors(write, column, query, error, message):
    with velmora_csv.open(write(PEOPLE)) as t:
        with pytest.raises(error) as info:
            t.search(column, query)
        if message is not None:
            assert str(info.value) == message


# ---- sort ------------------------------------------------------------------


@pytest.mark.parametrize(
    "values, ascending, descending",
    [
        (["10", "9", "", "100"], [2, 1, 0, 3], [3, 0, 1, 2]),
        (["5", "5.0", "3"], [2, 0, 1], [0, 1, 2]),
        (["10", "9", "x"], [0, 1, 2], [2, 1, 0]),
        (["b", "a", "B", "ab", ""], [4, 2, 1, 3, 0], [0, 3, 1, 2, 4]),
        (["x", "x", "x"], [0, 1, 2], [0, 1, 2]),
    ],
    ids=["numeric-with-empty", "equal-numbers", "mixed-is-text", "text", "ties"],
)
def test_sort(write, values, ascending, descending):
    content = "id,v\n" + "".join(f"{i},{v}\n" for i, v in enumerate(values))
    with velmora_csv.open(write(content)) as t:
        for column in ("v", 2):
            assert [int(r["id"]) for r in t.sort(column)] == ascending
            assert [int(r["id"]) for r in t.sort(column, descending=True)] == descending
            assert [int(r["id"]) for r in t.sort(column, True)] == descending


def test_sort_errors(write):
    with velmora_csv.open(write(AB)) as t:
        with pytest.raises(velmora_csv.Error, match="^unknown column: c$"):
            t.sort("c")
        with pytest.raises(velmora_csv.Error, match="^unknown column: 9$"):
            t.sort(9)
        with pytest.raises(TypeError):
            t.sort(2.0)


# ---- stats and warnings -----------------------------------------------------

STATS_CSV = "item,qty,note\napple,3,fresh\npear,,\napple,4,x\n"
STATS_TEXT = (
    '{"row_count":3,"col_count":3,"columns":['
    '{"name":"item","count":3,"nulls":0,"unique":2,"numeric":false},'
    '{"name":"qty","count":2,"nulls":1,"unique":3,"numeric":true,"min":3.0,"max":4.0,"mean":3.5},'
    '{"name":"note","count":2,"nulls":1,"unique":3,"numeric":false}]}'
)


def test_stats(write):
    with velmora_csv.open(write(STATS_CSV)) as t:
        assert t.stats(raw=True) == STATS_TEXT
        stats = t.stats()
        assert stats == json.loads(STATS_TEXT)
        qty = stats["columns"][1]
        assert isinstance(qty["min"], float) and qty["mean"] == 3.5
        assert stats["columns"][0]["numeric"] is False


@pytest.mark.parametrize(
    "cells, low, high, average",
    [
        (["1", "nan", "3"], "any", "any", None),
        (["inf", "-inf"], None, None, None),
        (["1", "inf"], 1.0, None, None),
        (["-1e999", "2"], None, 2.0, None),
        (["2", "4"], 2.0, 4.0, 3.0),
    ],
    ids=["nan", "both-infinities", "inf", "overflow", "finite"],
)
def test_stats_of_non_finite_values_are_none(write, cells, low, high, average):
    content = "id,v,w\n" + "".join(f"{i},{c},{i}\n" for i, c in enumerate(cells))
    with velmora_csv.open(write(content)) as t:
        stats = t.stats()
        v = stats["columns"][1]
        assert v["numeric"] is True and v["count"] == len(cells)
        for key, expected in (("min", low), ("max", high), ("mean", average)):
            if expected != "any":
                assert v[key] == expected
            assert v[key] is None or math.isfinite(v[key])
        # The other columns keep every figure.
        n = len(cells)
        assert stats["columns"][2] == {
            "name": "w", "count": n, "nulls": 0, "unique": n, "numeric": True,
            "min": 0.0, "max": float(n - 1), "mean": (n - 1) / 2,
        }
        assert "NaN" not in t.stats(raw=True) and "Infinity" not in t.stats(raw=True)


WARN_CSV = 'a,b,c\n1,2\n\n4,5,6,7\n"x,y\n'
WARN_TEXT = (
    '{"count":4,"ragged":2,"blank":1,"unterminated_quote":true,"truncated_utf16":false,'
    '"expected_cols":3,"unterminated_row":5,'
    '"first":{"kind":"ragged","row":2,"expected":3,"actual":2},'
    '"samples":[{"kind":"ragged","row":2,"expected":3,"actual":2},'
    '{"kind":"blank","row":3,"expected":3,"actual":1},'
    '{"kind":"ragged","row":4,"expected":3,"actual":4},'
    '{"kind":"unterminated_quote","row":5,"expected":3,"actual":0}]}'
)


def test_warnings(write):
    with velmora_csv.open(write(WARN_CSV)) as t:
        assert t.warning_count == 4
        assert t.warnings(raw=True) == WARN_TEXT
        w = t.warnings()
        assert w == json.loads(WARN_TEXT)
        assert w["first"] == w["samples"][0]


def test_no_warnings(write):
    with velmora_csv.open(write(AB)) as t:
        assert t.warnings() == {
            "count": 0, "ragged": 0, "blank": 0, "unterminated_quote": False,
            "truncated_utf16": False, "expected_cols": 2, "first": None, "samples": [],
        }


@pytest.mark.parametrize(
    "query, text",
    [
        (lambda t: t.headers(raw=True), '["a","b"]'),
        (lambda t: t.rows(raw=True), '[{"a":"1","b":"2"},{"a":"3","b":"4"}]'),
        (lambda t: t.rows(1, 1, raw=True), '[{"a":"3","b":"4"}]'),
        (lambda t: t.select([2], raw=True), '[{"b":"2"},{"b":"4"}]'),
        (lambda t: t.search("a", "3", raw=True), '[{"a":"3","b":"4"}]'),
        (lambda t: t.sort("a", True, raw=True), '[{"a":"3","b":"4"},{"a":"1","b":"2"}]'),
    ],
    ids=["headers", "rows", "rows-window", "select", "search", "sort"],
)
def test_raw_answers_are_the_library_text(write, query, text):
    with velmora_csv.open(write(AB)) as t:
        assert query(t) == text


# ---- lifetime --------------------------------------------------------------

TABLE_USES = {
    "row_count": lambda t: t.row_count,
    "col_count": lambda t: t.col_count,
    "warning_count": lambda t: t.warning_count,
    "headers": lambda t: t.headers(),
    "rows": lambda t: t.rows(),
    "select": lambda t: t.select(["a"]),
    "search": lambda t: t.search("a", "1"),
    "sort": lambda t: t.sort("a"),
    "sort-by-position": lambda t: t.sort(1),
    "stats": lambda t: t.stats(),
    "warnings": lambda t: t.warnings(),
    "with": lambda t: t.__enter__(),
}


@pytest.mark.parametrize("use", TABLE_USES.values(), ids=TABLE_USES.keys())
def test_closed_table_refuses_every_use(write, use):
    t = velmora_csv.open(write(AB))
    t.close()
    with pytest.raises(velmora_csv.Error) as info:
        use(t)
    assert str(info.value) == "table is closed"


def test_closed_table_never_reaches_a_later_table_on_the_same_handle(write):
    first = velmora_csv.open(write(AB))
    number = first._handle
    first.close()
    with velmora_csv.open(write("x\nsecond\n")) as second:
        assert second._handle == number  # the library reuses the lowest free slot
        with pytest.raises(velmora_csv.Error, match="^table is closed$"):
            first.rows()
        with pytest.raises(velmora_csv.Error, match="^table is closed$"):
            with first:
                pass
        first.close()
        del first
        gc.collect()
        # Neither the closes nor the failed uses of the first table touched this one.
        assert second.rows() == [{"x": "second"}]
        assert second._handle == number


def test_close_is_idempotent_and_context_manager_closes(write):
    with velmora_csv.open(write(AB)) as t:
        assert "open" in repr(t)
    assert t.closed and "closed" in repr(t)
    t.close()
    t.close()


def test_context_manager_closes_on_error(write):
    with pytest.raises(KeyError):
        with velmora_csv.open(write(AB)) as t:
            raise KeyError("boom")
    assert t.closed


def test_tables_cannot_be_made_from_numbers_or_copied(write):
    with pytest.raises(TypeError):
        velmora_csv.Table(0)
    with velmora_csv.open(write(AB)) as t:
        for attempt in (copy.copy, copy.deepcopy, pickle.dumps):
            with pytest.raises(TypeError):
                attempt(t)


def test_unreferenced_tables_are_closed(write):
    path = write(AB)
    before = free_slots()
    tables = [velmora_csv.open(path) for _ in range(3)]
    assert free_slots() == before - 3
    del tables
    gc.collect()
    assert free_slots() == before


def test_too_many_tables(write):
    path = write(AB)
    opened = []
    try:
        with pytest.raises(velmora_csv.Error) as info:
            for _ in range(MAX_TABLES + 1):
                opened.append(velmora_csv.open(path))
        assert str(info.value) == f"too many open handles (max {MAX_TABLES})"
        assert len(opened) <= MAX_TABLES
        opened.pop().close()
        opened.append(velmora_csv.open(path))
    finally:
        for t in opened:
            t.close()


# ---- progress --------------------------------------------------------------

BIG_ROWS = 1_200_000


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    """A file with enough rows for a progress report during the parse."""
    path = tmp_path_factory.mktemp("big") / "big.csv"
    path.write_bytes(b"n\n" + b"7\n" * BIG_ROWS)
    return path


def test_progress_on_a_small_file_reports_once_at_the_end(write):
    path = write(AB)
    calls = []
    with velmora_csv.open(path, progress=lambda *a: calls.append(a)) as t:
        assert t.row_count == 2
    size = path.stat().st_size
    assert calls == [(size, size, 2)]


def test_progress_reports_during_the_parse(big_file):
    calls = []
    with velmora_csv.open(big_file, progress=lambda *a: calls.append(a)) as t:
        assert t.row_count == BIG_ROWS
    size = big_file.stat().st_size
    assert len(calls) == 2
    done, total, rows = calls[0]
    assert rows == 1_000_000 and total == size and 0 < done < size
    assert calls[-1] == (size, size, BIG_ROWS)


@pytest.mark.parametrize("answer", [None, True, 1, "yes"], ids=["none", "true", "one", "text"])
def test_progress_answers_that_go_on(big_file, answer):
    calls = []

    def progress(*args):
        calls.append(args)
        return answer

    with velmora_csv.open(big_file, progress=progress) as t:
        assert t.row_count == BIG_ROWS
    assert len(calls) == 2


@pytest.mark.parametrize("answer", [False, 0, ""], ids=["false", "zero", "empty"])
def test_progress_cancels_during_the_parse(big_file, answer):
    before = free_slots()
    calls = []

    def progress(*args):
        calls.append(args)
        return answer

    with pytest.raises(velmora_csv.Cancelled) as info:
        velmora_csv.open(big_file, progress=progress)
    assert str(info.value) == "cancelled by progress callback"
    assert isinstance(info.value, velmora_csv.Error)
    assert len(calls) == 1 and calls[0][2] == 1_000_000
    assert free_slots() == before


def test_progress_cancels_at_the_final_report(write):
    calls = []

    def progress(*args):
        calls.append(args)
        return False

    with pytest.raises(velmora_csv.Cancelled, match="^cancelled by progress callback$"):
        velmora_csv.open(write(AB), progress=progress)
    assert len(calls) == 1


class StopLoading(BaseException):
    pass


@pytest.mark.parametrize("exc_type", [ValueError, StopLoading], ids=["exception", "base-exception"])
def test_exception_in_progress_is_reraised(big_file, exc_type):
    before = free_slots()
    raised = exc_type("stop here")
    calls = []

    def progress(*args):
        calls.append(args)
        raise raised

    with pytest.raises(exc_type) as info:
        velmora_csv.open(big_file, progress=progress)
    assert info.value is raised
    assert len(calls) == 1 and calls[0][2] == 1_000_000
    assert free_slots() == before


def test_exception_in_a_failing_answer_is_reraised(write):
    class Unanswerable:
        def __bool__(self):
            raise RuntimeError("no truth value")

    with pytest.raises(RuntimeError, match="no truth value"):
        velmora_csv.open(write(AB), progress=lambda *a: Unanswerable())


def test_progress_must_be_callable(write):
    with pytest.raises(TypeError):
        velmora_csv.open(write(AB), progress=5)


# ---- threads ---------------------------------------------------------------


def _thread_table(i):
    lines = [f"id,word,value"] + [
        f"{r},{'abcdefgh'[(r * (i + 3)) % 8] * ((r % 5) + 1)},{(r * 7919 + i) % 1000}"
        for r in range(4000)
    ]
    return "\n".join(lines) + "\n"


THREAD_QUERIES = [
    lambda t: t.headers(),
    lambda t: t.rows(100, 50),
    lambda t: t.select(["value", 2]),
    lambda t: t.search("word", "CC", True),
    lambda t: t.sort("value", True),
    lambda t: t.sort(2),
    lambda t: t.stats(),
    lambda t: t.warnings(),
    lambda t: (t.row_count, t.col_count, t.warning_count),
]


def test_two_threads_with_their_own_tables(write):
    paths = [write(_thread_table(i)) for i in range(2)]
    expected = []
    for path in paths:
        with velmora_csv.open(path) as t:
            expected.append([q(t) for q in THREAD_QUERIES])
    assert expected[0] != expected[1]

    barrier = threading.Barrier(2)
    results = [None, None]
    errors = []

    def work(i):
        try:
            loaded_on = []
            barrier.wait()
            with velmora_csv.open(
                paths[i], progress=lambda *a: loaded_on.append(threading.get_ident())
            ) as t:
                assert loaded_on == [threading.get_ident()]
                answers = None
                for _ in range(15):
                    answers = [q(t) for q in THREAD_QUERIES]
                    assert answers == expected[i]
                results[i] = answers
        except BaseException as exc:  # reported by the main thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors, errors
    assert results == expected


def test_two_threads_sharing_one_table(write):
    path = write(_thread_table(5))
    with velmora_csv.open(path) as t:
        expected = [q(t) for q in THREAD_QUERIES]
        barrier = threading.Barrier(2)
        errors = []

        def work():
            try:
                barrier.wait()
                for _ in range(15):
                    assert [q(t) for q in THREAD_QUERIES] == expected
            except BaseException as exc:  # reported by the main thread
                errors.append(exc)

        threads = [threading.Thread(target=work) for _ in range(2)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        assert not errors, errors


def test_errors_stay_on_their_thread(write, tmp_path):
    # Each thread's failure message is its own even when both fail at once.
    barrier = threading.Barrier(2)
    messages = [None, None]

    def work(i):
        barrier.wait()
        for _ in range(200):
            try:
                velmora_csv.open(tmp_path / f"missing-{i}.csv")
            except velmora_csv.Error as exc:
                if messages[i] is None or messages[i] == str(exc):
                    messages[i] = str(exc)
                else:
                    messages[i] = "mixed"

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for i in range(2):
        assert messages[i] == (
            f"cannot open file: {tmp_path / f'missing-{i}.csv'} (No such file or directory)"
        )


# ---- finding the library ---------------------------------------------------


def test_library_path_names_the_loaded_library(shared_library):
    assert velmora_csv.library_path() == shared_library
    if os.environ.get(velmora_csv.ENV_VAR):
        assert shared_library == os.environ[velmora_csv.ENV_VAR]


def test_a_bad_library_variable_is_reported(monkeypatch, tmp_path):
    bogus = str(tmp_path / "nowhere" / "libvelmora-csv.so")
    monkeypatch.setenv(velmora_csv.ENV_VAR, bogus)
    with pytest.raises(velmora_csv.LibraryNotFoundError) as info:
        _native._open_library()
    assert velmora_csv.ENV_VAR in str(info.value) and bogus in str(info.value)


def test_a_library_without_the_functions_is_refused(monkeypatch):
    libc = ctypes.util.find_library("c")
    if libc is None:
        pytest.skip("no C library name to load")
    monkeypatch.setenv(velmora_csv.ENV_VAR, libc)
    with pytest.raises(velmora_csv.LibraryNotFoundError, match="lacks csv_load"):
        _native._open_library()


def test_search_without_the_variable_reports_what_it_tried(monkeypatch):
    monkeypatch.delenv(velmora_csv.ENV_VAR, raising=False)
    monkeypatch.setattr(_native, "_package_dir_candidates", lambda: [])
    monkeypatch.setattr(_native, "_system_candidates", lambda: ["libvelmora-csv-absent.so.0"])
    with pytest.raises(velmora_csv.LibraryNotFoundError) as info:
        _native._open_library()
    message = str(info.value)
    assert "libvelmora-csv-absent.so.0" in message
    assert "package directory" in message
    assert velmora_csv.ENV_VAR in message


def test_a_copy_beside_the_package_is_found(monkeypatch, shared_library):
    monkeypatch.delenv(velmora_csv.ENV_VAR, raising=False)
    monkeypatch.setattr(_native, "_package_dir_candidates", lambda: [shared_library])
    monkeypatch.setattr(_native, "_system_candidates", lambda: [])
    lib, path = _native._open_library()
    assert path == shared_library
    assert lib.csv_last_error() == b""


def test_package_directory_candidates(monkeypatch, tmp_path):
    for name in ("libvelmora-csv.so.0.1.0", "libvelmora-csv.so.0", "libvelmora-csv.so",
                 "libvelmora-csv-extra.so", "README"):
        (tmp_path / name).write_bytes(b"")
    monkeypatch.setattr(_native, "__file__", str(tmp_path / "_native.py"))
    assert _native._package_dir_candidates() == [
        str(tmp_path / n)
        for n in ("libvelmora-csv.so", "libvelmora-csv.so.0", "libvelmora-csv.so.0.1.0")
    ]


# ---- file errors ------------------------------------------------------------


def _long_missing_path(tmp_path):
    # The library's message holds at most 511 bytes: this one is cut before
    # the system's reason.
    return tmp_path / ("d" * 200) / ("e" * 200) / ("f" * 200) / "x.csv"


@pytest.mark.parametrize(
    "make_path, error_class, builtin, number",
    [
        (lambda tmp: tmp / "missing.csv", velmora_csv.MissingFileError,
         FileNotFoundError, errno.ENOENT),
        (lambda tmp: tmp / "no-dir" / "x.csv", velmora_csv.MissingFileError,
         FileNotFoundError, errno.ENOENT),
        (_long_missing_path, velmora_csv.MissingFileError, FileNotFoundError, errno.ENOENT),
        (lambda tmp: tmp, velmora_csv.DirectoryGivenError, IsADirectoryError, errno.EISDIR),
        (lambda tmp: _plain_file(tmp) / "x.csv", velmora_csv.FileError, OSError, errno.ENOTDIR),
    ],
    ids=["missing", "missing-directory", "message-cut", "directory", "file-as-directory"],
)
def test_file_errors_are_os_errors_with_the_library_message(
    tmp_path, make_path, error_class, builtin, number
):
    path = make_path(tmp_path)
    with pytest.raises(builtin) as info:
        velmora_csv.open(path)
    error = info.value
    assert type(error) is error_class
    assert isinstance(error, velmora_csv.FileError)
    assert isinstance(error, velmora_csv.Error) and isinstance(error, OSError)
    assert error.errno == number
    assert error.strerror == os.strerror(number)
    assert error.filename == str(path)
    text = str(error)
    assert text.startswith(f"cannot open file: {path}"[:511]) or text.startswith("cannot read file: ")
    assert error.message == text and len(text.encode()) <= 511
    if len(f"cannot open file: {path} ({os.strerror(number)})".encode()) <= 511:
        assert text.endswith(f" ({os.strerror(number)})")
    # Sent to another process, it stays the same error.
    copy_ = pickle.loads(pickle.dumps(error))
    assert type(copy_) is error_class and str(copy_) == text
    assert (copy_.errno, copy_.strerror, copy_.filename) == (number, os.strerror(number), str(path))


def _plain_file(tmp):
    path = tmp / "plain"
    path.write_bytes(b"a\n")
    return path


@pytest.mark.skipif(os.name != "posix" or os.geteuid() == 0, reason="root reads every file")
def test_an_unreadable_file_is_a_permission_error(write):
    path = write(AB)
    path.chmod(0)
    with pytest.raises(PermissionError) as info:
        velmora_csv.open(path)
    assert isinstance(info.value, velmora_csv.FileAccessError)
    assert info.value.errno == errno.EACCES
    assert str(info.value) == f"cannot open file: {path} (Permission denied)"


def test_other_failures_are_not_os_errors(write):
    with pytest.raises(velmora_csv.Error) as info:
        velmora_csv.open(write(AB), delimiter=256)
    assert not isinstance(info.value, OSError)
    assert type(info.value) is velmora_csv.Error


def test_error_classes_are_named_by_the_package():
    for name in ("Error", "Cancelled", "FileError", "MissingFileError", "FileAccessError",
                 "DirectoryGivenError"):
        cls = getattr(velmora_csv, name)
        assert cls.__module__ == "velmora_csv" and cls.__name__ == name


# ---- the table as a sequence ----------------------------------------------------

TWENTY_FIVE = "n,sq\n" + "".join(f"{i},{i * i}\n" for i in range(25))
ALL_25 = [{"n": str(i), "sq": str(i * i)} for i in range(25)]


@pytest.fixture
def t25(write):
    with velmora_csv.open(write(TWENTY_FIVE)) as t:
        yield t


@pytest.fixture
def rows_calls(monkeypatch):
    """Records the (offset, limit) of every csv_rows call of any table."""
    calls = []
    inside = []  # a page's own csv_rows call is not counted twice
    original_page, original_bytes = velmora_csv.Table._rows_page, velmora_csv.Table._bytes

    def recording_page(self, start, count, *args):
        calls.append((start, count))
        inside.append(True)
        try:
            return original_page(self, start, count, *args)
        finally:
            inside.pop()

    def recording_bytes(self, name, *args):
        if name == "csv_rows" and not inside:
            calls.append(args)
        return original_bytes(self, name, *args)

    monkeypatch.setattr(velmora_csv.Table, "_rows_page", recording_page)
    monkeypatch.setattr(velmora_csv.Table, "_bytes", recording_bytes)
    return calls


def test_len(t25, write):
    assert len(t25) == 25
    with velmora_csv.open(write(b"")) as empty:
        assert len(empty) == 0 and not empty and list(empty) == []
    with velmora_csv.open(write("a,b\n")) as header_only:
        assert len(header_only) == 0 and header_only[0:5] == []


@pytest.mark.parametrize("index", [0, 1, 13, 24, -1, -2, -25])
def test_index(t25, rows_calls, index):
    assert t25[index] == ALL_25[index]
    assert len(rows_calls) == 1 and rows_calls[0][1] == 1


@pytest.mark.parametrize("index", [25, 26, -26, 2**40, -(2**40)])
def test_index_out_of_range(t25, index):
    with pytest.raises(IndexError):
        t25[index]


@pytest.mark.parametrize("index", ["1", 1.0, None, (1,)], ids=["text", "float", "none", "tuple"])
def test_index_of_a_wrong_type(t25, index):
    with pytest.raises(TypeError):
        t25[index]


def test_index_of_repeated_names_is_pairs(write):
    with velmora_csv.open(write("a,a\n1,2\n")) as t:
        assert t[0] == [("a", "1"), ("a", "2")] and t[-1] == t[0]


SLICES = [
    slice(None), slice(3, 17), slice(-5, None), slice(None, -20), slice(None, None, -1),
    slice(20, 2, -3), slice(1, None, 2), slice(0, 25, 7), slice(100, 200), slice(5, 5),
    slice(10, 3), slice(None, None, 30), slice(-100, 100, 6), slice(24, None, -5),
    slice(-1, -26, -1), slice(3, 4, 9),
]


@pytest.mark.parametrize("page", [4, 1000], ids=["small-pages", "one-page"])
@pytest.mark.parametrize("key", SLICES, ids=[str(s) for s in SLICES])
def test_slices_as_a_list_slices(t25, monkeypatch, page, key):
    monkeypatch.setattr(velmora_csv, "PAGE_ROWS", page)
    assert t25[key] == ALL_25[key]


def test_slice_step_zero(t25):
    with pytest.raises(ValueError):
        t25[::0]


@pytest.mark.parametrize("page_size", [1, 3, 10, 25, 26, 1000])
def test_iteration_in_pages(t25, rows_calls, page_size):
    it = t25.iter_rows(page_size)
    assert rows_calls == []  # nothing fetched before the first row is asked for
    assert next(it) == ALL_25[0]
    assert rows_calls == [(0, min(page_size, 25))]
    assert [ALL_25[0]] + list(it) == ALL_25
    assert rows_calls == [(start, min(page_size, 25 - start)) for start in range(0, 25, page_size)]


def test_iteration_of_the_table_and_pairs(t25, rows_calls):
    assert list(t25) == ALL_25
    assert rows_calls == [(0, 25)]
    assert list(t25.iter_rows(7, pairs=True)) == [list(r.items()) for r in ALL_25]


def test_iterating_a_million_rows_holds_one_page_at_a_time(big_file, rows_calls):
    with velmora_csv.open(big_file) as t:
        count = 0
        for row in t:
            count += 1
        assert count == BIG_ROWS and row == {"n": "7"}
    assert max(limit for _, limit in rows_calls) <= velmora_csv.PAGE_ROWS
    assert len(rows_calls) == -(-BIG_ROWS // velmora_csv.PAGE_ROWS)


def test_closing_during_iteration_stops_it(t25):
    it = t25.iter_rows(10)
    assert len([next(it) for _ in range(10)]) == 10
    t25.close()
    with pytest.raises(velmora_csv.Error, match="^table is closed$"):
        next(it)
    with pytest.raises(velmora_csv.Error, match="^table is closed$"):
        len(t25)


@pytest.mark.parametrize(
    "page_size, error", [(0, ValueError), (-1, ValueError), ("5", TypeError), (2.0, TypeError)]
)
def test_bad_page_sizes(t25, page_size, error):
    with pytest.raises(error):
        t25.iter_rows(page_size)


# ---- pandas -----------------------------------------------------------------

NA = object()  # a missing value in the expectations below


@pytest.fixture(params=["export", "export-ctypes", "rows"])
def frame_path(request, monkeypatch):
    """Each way to_pandas() can build a frame: from the library's columnar
    export read by the C extension or by ctypes alone, or (with a library
    older than the export) from its rows."""
    pytest.importorskip("pandas")
    if request.param == "export-ctypes":
        monkeypatch.setattr(_native, "rows_extension", lambda: None)
    elif request.param == "rows":
        real_has = _native.has
        monkeypatch.setattr(_native, "has", lambda lib, name: name != "csv_arrow_stream"
                            and real_has(lib, name))
    return request.param

FRAME_CASES = {
    "ints": (["1", "2", ""], "Int64", [1, 2, NA]),
    "int-forms": (["1", " 7 ", "-3", "+4", "007", "\t5"], "Int64", [1, 7, -3, 4, 7, 5]),
    "int64-limits": (["9223372036854775807", "-9223372036854775808"], "Int64",
                     [2**63 - 1, -(2**63)]),
    "beyond-int64": (["9223372036854775808", "1"], "float64", [2.0**63, 1.0]),
    "floats": (["1.5", "2", ""], "float64", [1.5, 2.0, NA]),
    "whole-float-text": (["1", "3.0"], "float64", [1.0, 3.0]),
    "exponent": (["1e3", "2"], "float64", [1000.0, 2.0]),
    "hex": (["0x10", "1", "0x1.8p1"], "float64", [16.0, 1.0, 3.0]),
    "nan": (["1", "nan", "3"], "float64", [1.0, NA, 3.0]),
    "nan-chars": (["nan(123)", "2"], "float64", [NA, 2.0]),
    "infinities": (["inf", "-Infinity", "1e999"], "float64", [math.inf, -math.inf, math.inf]),
    "text": (["a", "", "b"], "string", ["a", NA, "b"]),
    "mixed-is-text": (["1", "x"], "string", ["1", "x"]),
    "spaces-are-text": (["1", " "], "string", ["1", " "]),
    "all-empty": (["", ""], "string", [NA, NA]),
}


def _cells_of(series):
    import pandas as pd

    return [NA if pd.isna(v) else v for v in series.tolist()]


@pytest.mark.parametrize("cells, dtype, values", FRAME_CASES.values(), ids=FRAME_CASES.keys())
def test_to_pandas_column_types(frame_path, write, cells, dtype, values):
    pytest.importorskip("pandas")
    content = "id,v\n" + "".join(f"{i},{c}\n" for i, c in enumerate(cells))
    with velmora_csv.open(write(content)) as t:
        frame = t.to_pandas()
    assert list(frame.columns) == ["id", "v"]
    assert frame.shape == (len(cells), 2)
    assert str(frame["id"].dtype) == "Int64"
    assert str(frame["v"].dtype) == dtype
    assert _cells_of(frame["v"]) == values
    assert list(frame.index) == list(range(len(cells)))


def test_to_pandas_keeps_repeated_names_and_order(frame_path, write):
    pytest.importorskip("pandas")
    with velmora_csv.open(write("a,b,a\n1,x,2.5\n3,,4\n")) as t:
        frame = t.to_pandas()
    assert list(frame.columns) == ["a", "b", "a"]
    assert [str(d) for d in frame.dtypes] == ["Int64", "string", "float64"]
    assert _cells_of(frame.iloc[:, 0]) == [1, 3]
    assert _cells_of(frame.iloc[:, 1]) == ["x", NA]
    assert _cells_of(frame.iloc[:, 2]) == [2.5, 4.0]


@pytest.mark.parametrize(
    "content, shape",
    [(b"", (0, 0)), (b"a,b\n", (0, 2)), (b"a,b\n,\n", (1, 2))],
    ids=["empty", "header-only", "one-empty-row"],
)
def test_to_pandas_of_empty_tables(frame_path, write, content, shape):
    pytest.importorskip("pandas")
    with velmora_csv.open(write(content)) as t:
        frame = t.to_pandas()
    assert frame.shape == shape
    assert all(str(d) == "string" for d in frame.dtypes)


@pytest.mark.parametrize("frame_path", ["rows"], indirect=True)
@pytest.mark.parametrize("page_size", [1, 3, 4, 100])
def test_to_pandas_pages_give_the_same_frame(frame_path, write, rows_calls, page_size):
    pd = pytest.importorskip("pandas")
    # Column v turns from integers to floats in a later page.
    content = "n,v,w\n" + "".join(f"{i},{i},w{i}\n" for i in range(7)) + "7,7.5,\n8,,w8\n"
    with velmora_csv.open(write(content)) as t:
        frame = t.to_pandas(page_size)
    assert max(limit for _, limit in rows_calls) <= page_size
    assert str(frame["v"].dtype) == "float64"
    assert _cells_of(frame["v"]) == [0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.5, NA]
    expected = pd.DataFrame({
        "n": pd.array(range(9), dtype="Int64"),
        "v": [0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.5, math.nan],
        "w": pd.array([f"w{i}" for i in range(7)] + [None, "w8"], dtype="string"),
    })
    pd.testing.assert_frame_equal(frame, expected)


@pytest.mark.filterwarnings("ignore::velmora_csv.InvalidUTF8Warning")  # the input is meant so
def test_to_pandas_of_repaired_text_and_numbered_columns(frame_path, write):
    pytest.importorskip("pandas")
    with velmora_csv.open(write(b"caf\xe9,1\n"), header=False) as t:
        frame = t.to_pandas()
    assert list(frame.columns) == ["1", "2"]
    assert _cells_of(frame["1"]) == ["café"] and _cells_of(frame["2"]) == [1]


def test_to_pandas_without_pandas(write, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with velmora_csv.open(write(AB)) as t:
        with pytest.raises(ImportError, match="needs pandas"):
            t.to_pandas()


def test_to_pandas_of_a_closed_table(frame_path, write):
    t = velmora_csv.open(write(AB))
    t.close()
    with pytest.raises(velmora_csv.Error, match="^table is closed$"):
        t.to_pandas()


# ---- named encodings, info and version ---------------------------------------

NAMED_ENCODINGS = {
    "cp1252": ("name;price\n„Zoë“ ‘x’;5 €\n", "cp1252", "cp1252"),
    "windows-1252": ("name;price\n„Zoë“ ‘x’;5 €\n", "cp1252", "windows-1252"),
    "latin-1": ("name;price\nZoë;5 ¤\n", "latin-1", "latin-1"),
    "shift_jis": ("name;price\n山田;東京\n", "shift_jis", "shift_jis"),
    "euc_jp": ("name;price\n山田;東京\n", "euc_jp", "euc_jp"),
    "gb18030": ("name;price\n张三;北京\n", "gb18030", "gb18030"),
    "koi8-r": ("name;price\nИван;Москва\n", "koi8-r", "koi8-r"),
    "koi8_r": ("name;price\nИван;Москва\n", "koi8-r", "koi8_r"),
    "windows-1251": ("name;price\nИван;Москва\n", "cp1251", "windows-1251"),
    "utf-16-with-bom": ("name;price\nZoë;5 €\n", "utf-16", "utf-16"),
}


@pytest.mark.parametrize("text, codec, name", NAMED_ENCODINGS.values(), ids=NAMED_ENCODINGS.keys())
def test_named_encodings(write, text, codec, name):
    with velmora_csv.open(write(text.encode(codec)), encoding=name) as t:
        header, line = text.splitlines()
        assert t.headers() == header.split(";")
        assert t.rows() == [dict(zip(header.split(";"), line.split(";")))]
        info = t.info()
        assert info["encoding_detected"] is False and info["replaced_bytes"] == 0
        assert info["delimiter"] == ";" and info["delimiter_detected"] is True


def test_an_invalid_sequence_becomes_a_replacement_character(write):
    with velmora_csv.open(write(b"a,b\nx\x81y,2\n"), encoding="cp1252") as t:
        assert t.rows() == [{"a": "x\ufffdy", "b": "2"}]
        assert t.info()["replaced_bytes"] == 1


# Windows-1252 bytes that are not UTF-8: the euro sign, curly quotes, an umlaut.
WINDOWS_1252 = "city;price\nK\u00f6ln;\u20ac5\nParis;\u201cfree\u201d\n".encode("cp1252")


@pytest.mark.parametrize("encoding", [None, "auto", "utf-8"])
def test_bytes_that_are_not_utf8_warn_once_and_load_as_before(write, encoding):
    path = write(WINDOWS_1252)
    with pytest.warns(velmora_csv.InvalidUTF8Warning) as caught:
        t = velmora_csv.open(path, encoding=encoding)
    with t:
        assert len(caught) == 1
        assert str(caught[0].message) == (
            f"{path}: 4 bytes are not valid UTF-8; if the file is in another encoding, "
            "name it, e.g. encoding='windows-1252'")
        assert caught[0].filename == __file__  # points at the caller of open()
        assert issubclass(velmora_csv.InvalidUTF8Warning, UserWarning)
        info = t.info()
        assert info["invalid_utf8_bytes"] == 4 and info["replaced_bytes"] == 0
        assert t.rows()[0] == {"city": "K\u00f6ln", "price": "\u00805"}  # each byte read as Latin-1


@pytest.mark.parametrize("content, encoding", [
    (WINDOWS_1252, "windows-1252"),
    (WINDOWS_1252.decode("cp1252").encode("utf-8"), None),
    (WINDOWS_1252.decode("cp1252").encode("utf-16"), None),
], ids=["named", "utf8", "utf16"])
def test_text_that_is_utf8_or_decoded_loads_without_warning(write, content, encoding):
    with warnings.catch_warnings():
        warnings.simplefilter("error", velmora_csv.InvalidUTF8Warning)
        with velmora_csv.open(write(content), encoding=encoding) as t:
            assert t.info()["invalid_utf8_bytes"] == 0


@pytest.mark.parametrize("path_exists", [True, False], ids=["file", "missing-file"])
def test_an_unknown_encoding_fails_with_the_library_message_naming_it(write, tmp_path, path_exists):
    path = write(AB) if path_exists else tmp_path / "missing.csv"
    # Caught as Python's codecs are (LookupError) and as the package's error.
    with pytest.raises(LookupError) as info:
        velmora_csv.open(path, encoding="no-such-encoding")
    assert type(info.value) is velmora_csv.UnknownEncodingError
    assert isinstance(info.value, velmora_csv.Error)
    assert str(info.value) == "unknown encoding: no-such-encoding"
    assert not isinstance(info.value, OSError)
    copy = pickle.loads(pickle.dumps(info.value))
    assert type(copy) is velmora_csv.UnknownEncodingError and str(copy) == str(info.value)


def test_a_named_encoding_load_can_be_cancelled(write):
    path = write("a;b\n" + "x;€\n" * 1_100_000, name="big-cp1252.csv")
    path.write_bytes(path.read_text(encoding="utf-8").encode("cp1252"))
    calls = []

    def progress(*args):
        calls.append(args)
        return False

    with pytest.raises(velmora_csv.Cancelled, match="^cancelled by progress callback$"):
        velmora_csv.open(path, encoding="cp1252", progress=progress)
    assert len(calls) == 1


def _utf16_semicolons():
    return b"\xff\xfe" + "a;b\n1;2\n".encode("utf-16-le")


INFO_CASES = {
    "utf16-detected": (_utf16_semicolons, {}, {
        "encoding": "utf-16le", "bom": True, "delimiter": ";", "encoding_detected": True,
        "delimiter_detected": True, "compression": "none", "rows": 1, "columns": 2,
        "warnings": 0, "replaced_bytes": 0, "invalid_utf8_bytes": 0}),
    "utf8-given": (lambda: b"a|b\n1|2\n3\n", {"encoding": "utf-8", "delimiter": "|"}, {
        "encoding": "utf-8", "bom": False, "delimiter": "|", "encoding_detected": False,
        "delimiter_detected": False, "compression": "none", "rows": 2, "columns": 2,
        "warnings": 1, "replaced_bytes": 0, "invalid_utf8_bytes": 0}),
    "named": (lambda: "a,b\n€,2\n".encode("cp1252"), {"encoding": "cp1252"}, {
        "encoding": "cp1252", "bom": False, "delimiter": ",", "encoding_detected": False,
        "delimiter_detected": True, "compression": "none", "rows": 1, "columns": 2,
        "warnings": 0, "replaced_bytes": 0, "invalid_utf8_bytes": 0}),
    "gzip": (lambda: gzip.compress(b"a\tb\n1\t2\n"), {}, {
        "encoding": "utf-8", "bom": False, "delimiter": "\t", "encoding_detected": True,
        "delimiter_detected": True, "compression": "gzip", "rows": 1, "columns": 2,
        "warnings": 0, "replaced_bytes": 0, "invalid_utf8_bytes": 0}),
}


@pytest.mark.parametrize("make, options, expected", INFO_CASES.values(), ids=INFO_CASES.keys())
def test_info(write, make, options, expected):
    path = write(make())
    with velmora_csv.open(path, **options) as t:
        info = t.info()
        assert info == dict(expected, file_size=path.stat().st_size)
        assert list(json.loads(t.info(raw=True))) == list(velmora_csv.Info.__annotations__)


def test_library_version():
    version = velmora_csv.library_version()
    assert version == velmora_csv.__version__
    assert all(part.isdigit() for part in version.split("."))


def test_a_library_without_the_new_functions_is_named(monkeypatch, write):
    class OldLibrary:
        pass

    monkeypatch.setattr(_native, "_lib", OldLibrary())
    monkeypatch.setattr(_native, "_lib_path", "/old/libvelmora-csv.so")
    with pytest.raises(velmora_csv.Error, match="/old/libvelmora-csv.so.* lacks csv_version"):
        velmora_csv.library_version()
    with pytest.raises(velmora_csv.Error, match="lacks csv_load_encoding"):
        velmora_csv.open(write(AB), encoding="cp1252")


# ---- other sources: pipes, standard input, gzip ---------------------------------


def test_unknown_totals_reach_the_callback_as_none():
    seen = []
    adapter = velmora_csv._Progress(lambda *a: seen.append(a))
    assert adapter(10, -1, 3, None) == 0
    assert adapter(10, 10, 3, None) == 0
    assert seen == [(10, None, 3), (10, 10, 3)]


class FifoWriter:
    """Writes ``data`` into a new FIFO once a reader opens it, after
    ``pause`` seconds of silence. It waits for the reader without blocking
    in open(), so a load that never opens the FIFO cannot leave it behind."""

    def __init__(self, tmp_path, data, pause=0.0):
        self.path = tmp_path / "fifo"
        os.mkfifo(self.path)
        self.data, self.pause = data, pause
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._feed, daemon=True)

    def _feed(self):
        while not self.stop.is_set():
            try:
                fd = os.open(self.path, os.O_WRONLY | os.O_NONBLOCK)
            except OSError as exc:
                if exc.errno != errno.ENXIO:
                    raise
                self.stop.wait(0.01)
                continue
            os.set_blocking(fd, True)
            try:
                with builtins_open(fd, "wb") as f:
                    self.stop.wait(self.pause)
                    f.write(self.data)
            except BrokenPipeError:
                pass  # the reader gave up: the test says why
            return

    def __enter__(self):
        self.thread.start()
        return self.path

    def __exit__(self, *exc_info):
        self.stop.set()
        self.thread.join()


def test_a_fifo_loads_with_progress_of_an_unknown_total(tmp_path):
    data = b"a,b\n" + b"1,2\n" * 5000
    calls = []
    # The pause makes the library report while it waits, before the size is known.
    with FifoWriter(tmp_path, data, pause=0.6) as fifo:
        with velmora_csv.open(fifo, progress=lambda *a: calls.append(a)) as t:
            assert len(t) == 5000 and t[-1] == {"a": "1", "b": "2"}
            assert t.info()["file_size"] == len(data)
    assert calls[-1][2] == 5000
    assert any(total is None for _, total, _ in calls)
    assert all(total is None or total >= 0 for _, total, _ in calls)


def test_a_fifo_load_cancelled_while_reading(tmp_path):
    calls = []

    def progress(done, total, rows):
        calls.append((done, total, rows))
        return False

    with FifoWriter(tmp_path, b"a,b\n1,2\n", pause=5.0) as fifo:
        with pytest.raises(velmora_csv.Cancelled, match="^cancelled by progress callback$"):
            velmora_csv.open(fifo, progress=progress)
    assert calls == [(0, None, 0)]


def test_standard_input(shared_library, tmp_path):
    script = (
        "import velmora_csv\n"
        "with velmora_csv.open('/dev/stdin') as t:\n"
        "    print(t.rows(raw=True))\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", script], input=b"a;b\n1;2\n", capture_output=True,
        env=_child_env(PYTHONPATH=str(PACKAGE_SOURCE), **{velmora_csv.ENV_VAR: shared_library}),
        cwd=tmp_path, timeout=60,
    )
    assert done.returncode == 0, done.stderr.decode()
    assert done.stdout.decode() == '[{"a":"1","b":"2"}]\n'


def test_gzip_files_are_inflated(write):
    with velmora_csv.open(write(gzip.compress(AB.encode()), name="t.csv.gz")) as t:
        assert t.rows() == [{"a": "1", "b": "2"}, {"a": "3", "b": "4"}]


@pytest.mark.parametrize(
    "data",
    [gzip.compress(AB.encode() * 50)[:-12], gzip.compress(AB.encode())[:12] + b"\xff" * 40],
    ids=["cut-short", "garbage-after-header"],
)
def test_a_corrupt_gzip_file_is_a_plain_error(write, data):
    path = write(data)
    with pytest.raises(velmora_csv.Error) as info:
        velmora_csv.open(path)
    assert str(info.value).startswith(f"corrupt gzip stream: {path}")
    assert not isinstance(info.value, OSError)


# ---- the package's surface ------------------------------------------------------

import builtins  # noqa: E402

builtins_open = builtins.open


def test_star_import_keeps_the_builtin_open():
    names = {}
    exec("from velmora_csv import *", names)
    assert "open" not in names
    for name in ("Table", "Error", "MissingFileError", "library_version", "library_path",
                 "Stats", "ColumnStats", "Info"):
        assert name in names
    assert all(hasattr(velmora_csv, name) for name in velmora_csv.__all__)
    assert len(set(velmora_csv.__all__)) == len(velmora_csv.__all__)


ROW_LIST = typing.List[typing.Dict[str, str]]
PAIR_LIST = typing.List[typing.List[typing.Tuple[str, str]]]


@pytest.mark.skipif(sys.version_info < (3, 11), reason="typing.get_overloads is 3.11+")
@pytest.mark.parametrize("method", ["rows", "select", "search", "sort"])
def test_query_methods_carry_real_type_hints(method):
    overloads = typing.get_overloads(getattr(velmora_csv.Table, method))
    returns = [typing.get_type_hints(o)["return"] for o in overloads]
    assert returns == [ROW_LIST, PAIR_LIST, str]


@pytest.mark.skipif(sys.version_info < (3, 11), reason="typing.get_overloads is 3.11+")
@pytest.mark.parametrize(
    "method, answer",
    [("stats", velmora_csv.Stats), ("warnings", velmora_csv.Warnings),
     ("info", velmora_csv.Info), ("headers", typing.List[str])],
)
def test_document_methods_carry_typed_dicts(method, answer):
    overloads = typing.get_overloads(getattr(velmora_csv.Table, method))
    assert [typing.get_type_hints(o)["return"] for o in overloads] == [answer, str]


def test_typed_dicts_match_the_answers(write):
    assert velmora_csv.ColumnStats.__required_keys__ == {
        "name", "count", "nulls", "unique", "numeric"}
    assert velmora_csv.ColumnStats.__optional_keys__ == {"min", "max", "mean"}
    with velmora_csv.open(write(STATS_CSV)) as t:
        stats = t.stats()
        assert set(stats) == set(velmora_csv.Stats.__annotations__)
        for column in stats["columns"]:
            keys = set(column)
            assert velmora_csv.ColumnStats.__required_keys__ <= keys
            assert keys <= set(velmora_csv.ColumnStats.__annotations__)
    with velmora_csv.open(write(WARN_CSV)) as t:
        assert set(t.warnings()) == set(velmora_csv.Warnings.__annotations__)
        for sample in t.warnings()["samples"]:
            assert set(sample) == set(velmora_csv.WarningSample.__annotations__)


@pytest.mark.parametrize(
    "function",
    [velmora_csv.open, velmora_csv.library_version, velmora_csv.library_path,
     velmora_csv.Table.iter_rows, velmora_csv.Table.__getitem__, velmora_csv.Table.__len__],
    ids=lambda f: f.__name__,
)
def test_annotations_resolve(function):
    assert "return" in typing.get_type_hints(function)


# ---- installing -----------------------------------------------------------------

PACKAGE_SOURCE = pathlib.Path(__file__).resolve().parent.parent


def _child_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in (velmora_csv.ENV_VAR, "LD_LIBRARY_PATH", "PYTHONPATH")}
    env.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1", PYTHONDONTWRITEBYTECODE="1")
    env.update(extra)
    return env


def _copy_package_source(tmp_path):
    source = tmp_path / "source"
    shutil.copytree(
        PACKAGE_SOURCE, source,
        ignore=shutil.ignore_patterns("tests", "build", "*.egg-info", "__pycache__",
                                      "libvelmora-csv*", "_location.py"),
    )
    return source


@pytest.mark.parametrize("bundle", [True, False], ids=["with-library", "pure"])
def test_pip_install_offline(tmp_path, shared_library, bundle):
    for module in ("setuptools", "wheel", "pip"):
        pytest.importorskip(module)
    source = _copy_package_source(tmp_path)
    target = tmp_path / "target"
    build_env = _child_env(**({velmora_csv.ENV_VAR: shared_library} if bundle else {}))
    done = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--quiet", "--no-index", "--no-build-isolation",
         "--no-deps", "--target", str(target), str(source)],
        env=build_env, capture_output=True, timeout=300,
    )
    assert done.returncode == 0, done.stderr.decode()
    package = target / "velmora_csv"
    bundled = sorted(p.name for p in package.iterdir() if p.name.startswith("libvelmora-csv"))
    assert bundled == (["libvelmora-csv.so"] if bundle else [])
    assert (package / "py.typed").exists()
    if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
        # Python's headers are at hand: the row decoder is built too.
        assert [p.name for p in package.glob("_rows*.so")], sorted(os.listdir(package))

    script = (
        "import sys, velmora_csv\n"
        "assert velmora_csv.__file__.startswith(sys.argv[1]), velmora_csv.__file__\n"
        "if sys.argv[2] == 'bundle':\n"
        "    print(velmora_csv.library_path())\n"
        "    with velmora_csv.open(sys.argv[3]) as t:\n"
        "        print(t.rows(raw=True))\n"
    )
    data = tmp_path / "data.csv"
    data.write_text(AB)
    ran = subprocess.run(
        [sys.executable, "-c", script, str(package), "bundle" if bundle else "pure", str(data)],
        env=_child_env(PYTHONPATH=str(target)), capture_output=True, timeout=60, cwd=tmp_path,
    )
    assert ran.returncode == 0, ran.stderr.decode()
    if bundle:
        assert ran.stdout.decode().splitlines() == [
            str(package / "libvelmora-csv.so"), '[{"a":"1","b":"2"},{"a":"3","b":"4"}]'
        ]
        with builtins_open(shared_library, "rb") as f:
            assert (package / "libvelmora-csv.so").read_bytes() == f.read()


def test_the_library_of_the_install_prefix_is_found(monkeypatch, shared_library):
    package_dir = os.path.dirname(os.path.realpath(_native.__file__))
    relative = os.path.relpath(os.path.realpath(shared_library), package_dir)
    location = type(sys)("velmora_csv._location")
    location.LIBRARY = relative
    monkeypatch.setitem(sys.modules, "velmora_csv._location", location)
    monkeypatch.setattr(velmora_csv, "_location", location, raising=False)
    assert _native._prefix_candidates() == [os.path.realpath(shared_library)]

    monkeypatch.delenv(velmora_csv.ENV_VAR, raising=False)
    monkeypatch.setattr(_native, "_package_dir_candidates", lambda: [])
    monkeypatch.setattr(_native, "_system_candidates", lambda: [])
    lib, path = _native._open_library()
    assert path == os.path.realpath(shared_library)

    location.LIBRARY = "/nowhere/libvelmora-csv.so.0"
    assert _native._prefix_candidates() == ["/nowhere/libvelmora-csv.so.0"]
    with pytest.raises(velmora_csv.LibraryNotFoundError, match="/nowhere/libvelmora-csv.so.0"):
        _native._open_library()


def test_no_install_location_in_the_source_tree():
    assert not (PACKAGE_SOURCE / "velmora_csv" / "_location.py").exists()
    assert _native._prefix_candidates() == []


TYPED_USE = '''
import velmora_csv
t = velmora_csv.open("x.csv")
reveal_type(t.rows())
reveal_type(t.select(["a"], pairs=True))
reveal_type(t.sort("a", raw=True))
reveal_type(t.search("a", "b", True))
reveal_type(t.stats()["columns"][0]["min"])
reveal_type(t.info()["file_size"])
reveal_type(t[0])
reveal_type(t[1:2])
for row in t:
    reveal_type(row)
'''

TYPED_ANSWERS = [
    "builtins.list[builtins.dict[builtins.str, builtins.str]]",
    "builtins.list[builtins.list[Tuple[builtins.str, builtins.str]]]",
    "builtins.str",
    "builtins.list[builtins.dict[builtins.str, builtins.str]]",
    "Union[builtins.float, None]",
    "builtins.int",
    "builtins.dict[builtins.str, builtins.str]",
    "builtins.list[builtins.dict[builtins.str, builtins.str]]",
    "builtins.dict[builtins.str, builtins.str]",
]


def test_a_type_checker_sees_the_hints(tmp_path):
    pytest.importorskip("mypy")
    use = tmp_path / "use.py"
    use.write_text(TYPED_USE)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"),
         str(PACKAGE_SOURCE / "velmora_csv"), str(use)],
        capture_output=True, cwd=PACKAGE_SOURCE, timeout=300,
    )
    out = done.stdout.decode()
    revealed = [line.split('Revealed type is "', 1)[1].rstrip('"')
                for line in out.splitlines() if "Revealed type is" in line]
    assert revealed == TYPED_ANSWERS, out
    assert " error: " not in out, out
