"""Row answers decoded by the package's C extension agree with the json
module's reading of the same text, and cost no more memory than the csv
module's rows."""

from __future__ import annotations

import csv
import glob
import json
import os
import tracemalloc

import pytest

import velmora_csv
from velmora_csv import _native


@pytest.fixture
def ext():
    module = _native.rows_extension()
    if module is None:
        pytest.skip("the C extension is not built")
    return module


@pytest.fixture
def write(tmp_path):
    counter = iter(range(1_000_000))

    def _write(content):
        path = tmp_path / f"t{next(counter)}.csv"
        path.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
        return path

    return _write


def reference(data: bytes, pairs: bool) -> list:
    """What the package answered before the extension: json with the same
    rule for repeated names."""

    def row(items: list):
        if pairs:
            return items
        d = dict(items)
        return d if len(d) == len(items) else items

    return json.loads(data, object_pairs_hook=row)


def test_extension_of_a_build_tree_is_found():
    built = glob.glob(os.path.join(os.path.dirname(os.path.realpath(velmora_csv.library_path())),
                                   "python", "velmora_csv", "_rows*"))
    if not built:
        pytest.skip("the library in use is not in a CMake build tree with the extension")
    if os.environ.get(_native.PURE_VAR):
        pytest.skip(f"{_native.PURE_VAR} turns the extension off")
    assert _native.rows_extension() is not None


TRICKY = (
    'name,note,"a,b",empty\n'
    'café,"say ""hi""\nthere",x\\y,\n'
    '"\t tab",\x01\x1f\x7f,😀 ☃,\n'
    ',,,\n'
    'plain,€,日本語,z\n'
)


@pytest.mark.parametrize("pairs", [False, True], ids=["dicts", "pairs"])
@pytest.mark.parametrize(
    "query",
    [
        lambda t: t._bytes("csv_rows", 0, -1),
        lambda t: t._bytes("csv_rows", 3, 5),
        lambda t: t._bytes("csv_select", b"note,name,note,4"),
        lambda t: t._bytes("csv_search", b"name", b"zzz", 0),
        lambda t: t._bytes("csv_sort", b"note", 1),
    ],
    ids=["rows", "window", "select-repeated", "no-hits", "sort"],
)
def test_extension_agrees_with_json(ext, write, query, pairs):
    with velmora_csv.open(write(TRICKY)) as t:
        data = query(t)
        assert ext.rows(data, pairs) == reference(data, pairs)


@pytest.mark.parametrize(
    "data",
    [
        b'[{"k":"\\u00e9\\ud83d\\ude00\\u0000\\/\\b\\f\\n\\r\\t"}]',
        b'[{"k":"lone \\ud800 surrogate"}]',
        b' [ { "a" : "1" , "b" : "2" } , { } ] ',
        b'[{"a":"1","a":"2"},{"a":"1","b":"2"},{"b":"x"}]',
        b'[{"ab":"1","a":"2"},{"a":"1","ab":"2"},{"a":"3"},{"ab":"4"}]',
        b'[{"a\\"":"1","a\\\\":"2"},{"a\\"":"3","a\\\\":"4"},{"a\\\\":"5"}]',
        b'[{"k":"' + b"x" * 30 + b'\\"' + b'y" , "l":"' + b"z" * 100 + b'"}]',
    ],
    ids=["escapes", "lone-surrogate", "spaces", "changing-names", "prefix-names",
         "escaped-names", "escape-after-a-long-run"],
)
def test_extension_reads_any_json_of_that_shape(ext, data):
    expected = reference(data.replace(b"\\ud800", b"\\ufffd"), False)
    assert ext.rows(data, False) == expected


@pytest.mark.parametrize(
    "data",
    [b"", b"[", b'[{"a":1}]', b'[{"a":"1"', b'[{"a":"1"}] x', b'{"a":"1"}',
     b'[{"a":"\\q"}]', b'[{"a":"\\u12"}]', b'[{"a":"\xff"}]'],
    ids=["empty", "open", "number", "unterminated", "trailing", "object",
         "bad-escape", "short-u", "bad-utf8"],
)
def test_extension_refuses_other_text(ext, data):
    with pytest.raises(ValueError):
        ext.rows(data, False)


@pytest.mark.parametrize(
    "query",
    [lambda t: t._bytes("csv_rows", 0, -1), lambda t: t._bytes("csv_select", b"note,name,note,4")],
    ids=["rows", "select-repeated"],
)
@pytest.mark.parametrize("pairs", [False, True], ids=["dicts", "pairs"])
def test_answer_decoded_in_place_agrees(ext, write, query, pairs):
    """rows_at reads the library's answer where it lies, as rows() reads a
    copy of it."""
    import ctypes

    with velmora_csv.open(write(TRICKY)) as t:
        data = query(t)
    buffer = ctypes.create_string_buffer(data)
    assert ext.rows_at(ctypes.addressof(buffer), pairs) == reference(data, pairs)


@pytest.mark.parametrize("decoder", ["extension", "json"])
def test_iterating_agrees_with_the_json_reading(write, monkeypatch, decoder):
    """Iterating decodes each page in place with the extension; the json
    module's reading of the same rows is the reference (repeated names,
    escapes and multi-byte text over several pages)."""
    content = ("a,b,a\n" + "".join(f"{i},\"{'é' * (i % 5)}\"\"q\"\"\",{i % 3}\n"
                                   for i in range(2500)))
    with velmora_csv.open(write(TRICKY)) as t, velmora_csv.open(write(content)) as repeated:
        expected = [reference(t._bytes("csv_rows", 0, -1), False),
                    reference(repeated._bytes("csv_rows", 0, -1), False)]
        if decoder == "json":
            monkeypatch.setattr(_native, "rows_extension", lambda: None)
            monkeypatch.setattr(velmora_csv, "_rows_extension", lambda: None)
        assert [list(t), list(repeated.iter_rows(700))] == expected
        assert [t.rows(), repeated.rows(5, 1900)] == [expected[0], expected[1][5:1905]]


def test_rows_paged_and_whole_agree(write, monkeypatch):
    """rows() reads a long answer in pages: the pages join to the same rows
    as one call of the library, also for repeated headers."""
    content = "a,b,a\n" + "".join(f"{i},{'x' * (i % 7)},{i % 3}\n" for i in range(2500))
    with velmora_csv.open(write(content)) as t:
        whole = reference(t._bytes("csv_rows", 0, -1), False)
        assert t.rows() == whole
        assert t.rows(17, 2100) == whole[17:2117]
        assert list(t.iter_rows(333)) == whole


def test_rows_take_no_more_memory_than_the_csv_module(ext, write):
    """The rows of a table whose short texts recur (categories, dates) take
    no more of Python's heap than list(csv.DictReader(...)) of the file."""
    lines = ["id,category,status,day,comment"]
    for i in range(20_000):
        lines.append(f"{i},cat{i % 17},{['paid', 'open', 'sent'][i % 3]},"
                     f"2024-01-{1 + i % 28:02d},some free text number {i * 7919}")
    path = write("\n".join(lines) + "\n")
    with velmora_csv.open(path) as t:
        tracemalloc.start()
        ours = t.rows()
        ours_peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    with open(path, newline="", encoding="utf-8") as f:
        tracemalloc.start()
        theirs = list(csv.DictReader(f))
        theirs_peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    assert ours == theirs
    assert ours_peak <= theirs_peak


# Files whose rows the iteration makes from the table's text export, which
# must be exactly those of the rows answer: escapes, empty and missing
# cells, repeated names, bytes that are not UTF-8, NUL bytes, texts on
# either side of the short-text cache's limit and of a word's width.
EXPORT_FILES = {
    "tricky": TRICKY,
    "ragged": 'a,b,c\n1\n1,2,3,4,5\n,,\n"x""y","",z\n\n7,8\n',
    "repeated-names": "a,b,a,,\n" + "".join(f"{i},{i % 3},x{i},,{'é' * (i % 4)}\n" for i in range(9)),
    "not-utf8": b"n\xe9,v\xff\n\xff\xfe,caf\xe9\n\x80,ok\nabcdefg\xe9,\xc3\n",
    "nul": b"a\x00b,c,a\x00d\nx\x00y,\x00,1\nz,w\x00\x00,2\n",
    "lengths": "t,u\n" + "".join(f"{'k' * n},{'é' * n}{'q' * (n % 9)}\n" for n in range(1, 40)),
    "one-column": "only\n" + "".join(f"{i % 4}\n" for i in range(12)),
    "header-only": "a,b\n",
    "empty": "",
}


@pytest.fixture
def readers(monkeypatch):
    """The readers of the text export that iterations made."""
    made = []
    original = velmora_csv.Table._row_reader

    def recording(self, pairs):
        reader = original(self, pairs)
        made.append(reader)
        return reader

    monkeypatch.setattr(velmora_csv.Table, "_row_reader", recording)
    return made


@pytest.mark.filterwarnings("ignore::velmora_csv.InvalidUTF8Warning")
@pytest.mark.parametrize("pairs", [False, True], ids=["dicts", "pairs"])
@pytest.mark.parametrize("page_size", [1, 4, 1000])
@pytest.mark.parametrize("header", [True, False], ids=["header", "no-header"])
@pytest.mark.parametrize("name", list(EXPORT_FILES))
def test_iterating_from_the_export_gives_the_answers_rows(ext, write, readers, name, header,
                                                          page_size, pairs):
    with velmora_csv.open(write(EXPORT_FILES[name]), header=header) as t:
        expected = reference(t._bytes("csv_rows", 0, -1), pairs)
        assert list(t.iter_rows(page_size, pairs=pairs)) == expected
        if 4 * (len(expected) - page_size) >= len(expected) > page_size:
            assert any(r is not None for r in readers)  # the export was read


@pytest.mark.parametrize("page_size", [1000, 333])
def test_iterating_past_the_exports_first_batch(ext, write, readers, page_size):
    rows = 3 * velmora_csv.EXPORT_BATCH_ROWS + 4500
    content = "a,b,a\n" + "".join(f"{i},{'é' * (i % 3)}{i % 7},{i % 5}\n" for i in range(rows))
    with velmora_csv.open(write(content)) as t:
        expected = reference(t._bytes("csv_rows", 0, -1), False)
        assert len(expected) == rows
        assert list(t.iter_rows(page_size)) == expected
        assert any(r is not None for r in readers)


@pytest.mark.parametrize("decoder", ["extension", "json"])
def test_closing_in_the_middle_of_a_page(write, monkeypatch, decoder):
    """The rows of the page being read still come after the table is
    closed, as those of a page fetched before; the next page raises."""
    content = "a,b\n" + "".join(f"{i},{i * i}\n" for i in range(50))
    with velmora_csv.open(write(content)) as t:
        expected = reference(t._bytes("csv_rows", 0, -1), False)
        if decoder == "json":
            monkeypatch.setattr(velmora_csv, "_rows_extension", lambda: None)
        it = t.iter_rows(10)
        got = [next(it) for _ in range(15)]
        t.close()
        got += [next(it) for _ in range(5)]
        assert got == expected[:20]
        with pytest.raises(velmora_csv.Error, match="^table is closed$"):
            next(it)


def test_two_threads_iterating_one_table(write):
    import threading

    content = "k,v,w\n" + "".join(f"{i},{'x' * (i % 40)},{i % 9}\n" for i in range(20_000))
    with velmora_csv.open(write(content)) as t:
        expected = reference(t._bytes("csv_rows", 0, -1), False)
        barrier = threading.Barrier(2)
        results, errors = [], []

        def work():
            try:
                barrier.wait()
                for size in (1000, 37):
                    results.append(list(t.iter_rows(size)) == expected)
            except BaseException as exc:  # reported by the main thread
                errors.append(exc)

        threads = [threading.Thread(target=work) for _ in range(2)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        assert not errors, errors
        assert results == [True] * 4
