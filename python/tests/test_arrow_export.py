"""The table as an Arrow C stream: the PyCapsule protocol, read back by a
consumer written here with ctypes, and the DataFrames built from the
export (typed or text, with or without the null markers)."""

from __future__ import annotations

import ctypes
import gc
import math
import weakref

import pytest

import velmora_csv
from velmora_csv import _arrow, _native

api = ctypes.PyDLL(None)  # declared here without touching ctypes.pythonapi
api.PyCapsule_GetPointer.restype = ctypes.c_void_p
api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
api.PyCapsule_GetName.restype = ctypes.c_char_p
api.PyCapsule_GetName.argtypes = [ctypes.py_object]
api.PyCapsule_IsValid.restype = ctypes.c_int
api.PyCapsule_IsValid.argtypes = [ctypes.py_object, ctypes.c_char_p]


@pytest.fixture
def write(tmp_path):
    counter = iter(range(1_000_000))

    def _write(content):
        path = tmp_path / f"t{next(counter)}.csv"
        path.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
        return path

    return _write


@pytest.fixture
def export_path(request, monkeypatch):
    """to_pandas() reading the export by the C extension, or by ctypes."""
    pytest.importorskip("pandas")
    if request.param == "ctypes":
        monkeypatch.setattr(_native, "rows_extension", lambda: None)
    elif _native.rows_extension() is None:
        pytest.skip("the C extension is not built")
    return request.param


both_paths = pytest.mark.parametrize("export_path", ["extension", "ctypes"], indirect=True)


def take_stream(capsule) -> _arrow.ArrowArrayStream:
    """What a consumer does: moves the stream out of the capsule (the
    capsule's struct is left released, so its destructor does nothing)."""
    assert api.PyCapsule_GetName(capsule) == b"arrow_array_stream"
    address = api.PyCapsule_GetPointer(capsule, b"arrow_array_stream")
    inside = _arrow.ArrowArrayStream.from_address(address)
    taken = _arrow.ArrowArrayStream()
    ctypes.memmove(ctypes.addressof(taken), address, ctypes.sizeof(taken))
    inside.release = type(inside.release)()  # NULL: moved out
    return taken


def consume(stream: _arrow.ArrowArrayStream):
    """Reads a whole stream by the interface's rules: the schema's names and
    formats, and every column's values (None for a null), then releases."""
    pointer = ctypes.pointer(stream)
    schema = _arrow.ArrowSchema()
    assert stream.get_schema(pointer, ctypes.byref(schema)) == 0
    assert schema.format == b"+s"
    n = schema.n_children
    names = [schema.children[i].contents.name.decode() for i in range(n)]
    formats = [schema.children[i].contents.format.decode() for i in range(n)]
    schema.release(ctypes.byref(schema))
    assert not schema.release
    columns: list = [[] for _ in range(n)]
    while True:
        batch = _arrow.ArrowArray()
        assert stream.get_next(pointer, ctypes.byref(batch)) == 0
        if not batch.release:
            break
        assert batch.n_children == n
        for i in range(n):
            child = batch.children[i].contents
            assert child.length == batch.length
            columns[i].extend(values_of(child, formats[i]))
        batch.release(ctypes.byref(batch))
        assert not batch.release
    stream.release(pointer)
    assert not stream.release
    return names, formats, columns


def values_of(child: _arrow.ArrowArray, fmt: str) -> list:
    def null(k: int) -> bool:
        if not child.buffers[0]:
            return False
        j = child.offset + k
        return not (ctypes.cast(child.buffers[0], ctypes.POINTER(ctypes.c_uint8))[j >> 3] >> (j & 7)) & 1

    out = []
    if fmt in ("l", "g"):
        values = ctypes.cast(child.buffers[1], ctypes.POINTER(
            ctypes.c_int64 if fmt == "l" else ctypes.c_double))
        nulls = 0
        for k in range(child.length):
            if null(k):
                nulls += 1
                out.append(None)
            else:
                out.append(values[child.offset + k])
        assert nulls == child.null_count
        return out
    offsets = ctypes.cast(child.buffers[1], ctypes.POINTER(
        ctypes.c_int64 if fmt == "U" else ctypes.c_int32))
    for k in range(child.length):
        a, b = offsets[child.offset + k], offsets[child.offset + k + 1]
        out.append(ctypes.string_at(child.buffers[2] + a, b - a).decode("utf-8"))
    return out


SAMPLE = "id,price,name,when\n1,2.5,café,x\n2,,\"a,b\",\n3,-4,,y\n"


def test_capsule_carries_the_typed_table_and_outlives_it(write):
    t = velmora_csv.open(write(SAMPLE))
    capsule = t.__arrow_c_stream__()
    assert api.PyCapsule_IsValid(capsule, b"arrow_array_stream")
    t.close()  # the stream holds its own copy
    names, formats, columns = consume(take_stream(capsule))
    del capsule  # moved out: the destructor must leave it alone
    gc.collect()
    assert names == ["id", "price", "name", "when"]
    assert formats == ["l", "g", "u", "u"]
    assert columns == [[1, 2, 3], [2.5, None, -4.0], ["café", "a,b", ""], ["x", "", "y"]]


def test_capsule_without_a_requested_schema(write):
    with velmora_csv.open(write(SAMPLE)) as t:
        capsule = t.__arrow_c_stream__(requested_schema=None)
        names, formats, _ = consume(take_stream(capsule))
    assert names == ["id", "price", "name", "when"] and formats == ["l", "g", "u", "u"]


_NO_RELEASE = type(_arrow.ArrowSchema().release)(lambda schema: None)
api.PyCapsule_New.restype = ctypes.py_object
api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]


def schema_capsule(fields, top=b"+s"):
    """A consumer's requested schema: a struct schema of (name, format)
    fields in an "arrow_schema" capsule; the structs live as long as it."""
    children = [_arrow.ArrowSchema(format=f.encode(), name=n.encode(), release=_NO_RELEASE)
                for n, f in fields]
    pointers = (ctypes.POINTER(_arrow.ArrowSchema) * max(1, len(children)))(
        *[ctypes.pointer(c) for c in children])
    schema = _arrow.ArrowSchema(format=top, name=b"", n_children=len(children),
                                children=pointers, release=_NO_RELEASE)
    capsule = api.PyCapsule_New(ctypes.addressof(schema), b"arrow_schema", None)
    keep_alive[id(capsule)] = (children, pointers, schema)
    return capsule


keep_alive: dict = {}

TEXTS = [["1", "2", "3"], ["2.5", "", "-4"], ["café", "a,b", ""], ["x", "", "y"]]
TYPED = [[1, 2, 3], [2.5, None, -4.0], ["café", "a,b", ""], ["x", "", "y"]]


@pytest.mark.parametrize("requested, formats, columns", [
    ([("id", "u"), ("price", "u"), ("name", "u"), ("when", "u")], ["u"] * 4, TEXTS),
    ([("a", "u"), ("b", "U"), ("c", "u"), ("d", "u")], ["u"] * 4, TEXTS),
    ([("id", "l"), ("price", "g"), ("name", "u"), ("when", "u")], ["l", "g", "u", "u"], TYPED),
    ([("id", "l"), ("price", "g"), ("name", "U"), ("when", "u")], ["l", "g", "u", "u"], TYPED),
], ids=["all-utf8", "utf8-any-names", "own-types", "own-types-large-utf8-text"])
def test_requested_schema_is_honoured(write, requested, formats, columns):
    with velmora_csv.open(write(SAMPLE)) as t:
        capsule = t.__arrow_c_stream__(schema_capsule(requested))
    names, got_formats, got = consume(take_stream(capsule))
    assert names == ["id", "price", "name", "when"]
    assert got_formats == formats and got == columns


@pytest.mark.parametrize("requested, message", [
    ([("id", "g"), ("price", "g"), ("name", "u"), ("when", "u")], "float64 for column 1"),
    ([("id", "l"), ("price", "l"), ("name", "u"), ("when", "u")], "int64 for column 2"),
    ([("id", "l"), ("price", "g"), ("name", "l"), ("when", "u")], "int64 for column 3"),
    ([("id", "l"), ("price", "g"), ("name", "u")], "3 fields; the table has 4"),
    ([("id", "i"), ("price", "g"), ("name", "u"), ("when", "u")], "'i' for column 1"),
])
def test_requested_schema_the_export_cannot_give(write, requested, message):
    with velmora_csv.open(write(SAMPLE)) as t:
        with pytest.raises(ValueError, match=message):
            t.__arrow_c_stream__(schema_capsule(requested))
        # The table is unharmed and a plain export still works.
        assert consume(take_stream(t.__arrow_c_stream__()))[1] == ["l", "g", "u", "u"]


MIXED = [("id", "u"), ("price", "g"), ("name", "u"), ("when", "U")]


def test_requested_schema_mixing_text_and_own_types(write):
    """utf8 for one typed column, its own type for another: one stream made
    of a typed and a text export, read to the end after the table closed."""
    if _native.rows_extension() is None:
        pytest.skip("the C extension is not built")
    lines = ["i,f,t"] + [f"{k},{'' if k % 7 == 0 else k / 2},w{k % 3}" for k in range(70_000)]
    with velmora_csv.open(write(SAMPLE)) as t:
        small = t.__arrow_c_stream__(schema_capsule(MIXED))
    with velmora_csv.open(write("\n".join(lines) + "\n")) as t:
        big = t.__arrow_c_stream__(schema_capsule([("i", "l"), ("f", "u"), ("t", "u")]))
        unread = t.__arrow_c_stream__(schema_capsule([("i", "u"), ("f", "g"), ("t", "u")]))
    assert consume(take_stream(small))[1:] == (["u", "g", "u", "u"], [
        ["1", "2", "3"], [2.5, None, -4.0], ["café", "a,b", ""], ["x", "", "y"]])
    names, formats, columns = consume(take_stream(big))
    assert names == ["i", "f", "t"] and formats == ["l", "u", "u"]
    assert columns == [list(range(70_000)), [r.split(",")[1] for r in lines[1:]],
                       [f"w{k % 3}" for k in range(70_000)]]
    del unread  # never consumed: its destructor releases both exports inside
    gc.collect()


def test_requested_schema_mixing_needs_the_extension(write, monkeypatch):
    monkeypatch.setattr(velmora_csv, "_rows_extension", lambda: None)
    with velmora_csv.open(write(SAMPLE)) as t:
        with pytest.raises(ValueError, match="C extension"):
            t.__arrow_c_stream__(schema_capsule(MIXED))


def test_requested_schema_must_be_a_struct_schema_capsule(write):
    with velmora_csv.open(write(SAMPLE)) as t:
        with pytest.raises(TypeError, match="arrow_schema"):
            t.__arrow_c_stream__("utf8")
        with pytest.raises(ValueError, match="struct schema"):
            t.__arrow_c_stream__(schema_capsule([("id", "l")], top=b"l"))


def test_an_unconsumed_capsule_releases_its_stream(write):
    """Dropping the capsule without taking the stream releases it once."""
    calls = []
    with velmora_csv.open(write(SAMPLE)) as t:
        capsule = t.__arrow_c_stream__()
    address = api.PyCapsule_GetPointer(capsule, b"arrow_array_stream")
    inside = _arrow.ArrowArrayStream.from_address(address)
    fn_type = type(inside.release)
    original = fn_type(ctypes.cast(inside.release, ctypes.c_void_p).value)  # a copy, not a view

    def recording(stream):
        calls.append(ctypes.addressof(stream.contents))
        original(stream)

    hook = fn_type(recording)
    inside.release = hook
    del inside
    del capsule
    gc.collect()
    assert calls == [address]


def test_capsule_of_a_closed_table(write):
    t = velmora_csv.open(write(SAMPLE))
    t.close()
    with pytest.raises(velmora_csv.Error, match="^table is closed$"):
        t.__arrow_c_stream__()


@both_paths
def test_text_types_keep_every_cell_as_text(export_path, write):
    with velmora_csv.open(write("n,v\n1,2.5\n007,\n")) as t:
        frame = t.to_pandas(types="text")
    assert [str(d) for d in frame.dtypes] == ["string", "string"]
    assert frame["n"].tolist() == ["1", "007"]
    assert frame["v"].isna().tolist() == [False, True]


MARKED = "n,v,s\n1,N/A,NA\n2, null ,x\n-,3.5,#N/A\n"


@both_paths
def test_null_markers_are_missing_values_when_asked(export_path, write):
    with velmora_csv.open(write(MARKED)) as t:
        plain = t.to_pandas()
        marked = t.to_pandas(null_markers=True)
    assert [str(d) for d in plain.dtypes] == ["string", "string", "string"]
    assert plain["v"].tolist()[0] == "N/A"
    assert [str(d) for d in marked.dtypes] == ["Int64", "float64", "string"]
    assert marked["n"].isna().tolist() == [False, False, True]
    assert marked["v"].isna().tolist() == [True, True, False] and marked["v"][2] == 3.5
    assert marked["s"].isna().tolist() == [True, False, True]


def test_null_markers_need_the_export(write, monkeypatch):
    pytest.importorskip("pandas")
    real_has = _native.has
    monkeypatch.setattr(_native, "has", lambda lib, name: name != "csv_arrow_stream"
                        and real_has(lib, name))
    with velmora_csv.open(write(MARKED)) as t:
        with pytest.raises(velmora_csv.Error, match="csv_arrow_stream"):
            t.to_pandas(null_markers=True)


@pytest.mark.parametrize("types, error", [("numbers", ValueError), (None, ValueError)])
def test_bad_types(write, types, error):
    with velmora_csv.open(write(SAMPLE)) as t:
        with pytest.raises(error):
            t.to_pandas(types=types)


@both_paths
def test_frames_across_batches_agree_with_the_rows(export_path, write):
    """More rows than one batch holds: nulls, a float column and texts in
    every batch come out as the rows say."""
    lines = ["i,f,t"]
    for i in range(70_000):
        lines.append(f"{i},{'' if i % 997 == 0 else i / 4},{'' if i % 5 == 0 else 'w' + str(i % 13)}")
    with velmora_csv.open(write("\n".join(lines) + "\n")) as t:
        frame = t.to_pandas()
        rows = t.rows()
    assert [str(d) for d in frame.dtypes] == ["Int64", "float64", "string"]
    assert frame["i"].tolist() == [int(r["i"]) for r in rows]
    got = frame["f"].tolist()
    assert all((math.isnan(g) if r["f"] == "" else g == float(r["f"])) for g, r in zip(got, rows))
    assert [None if v is velmora_csv_na() else v for v in frame["t"].tolist()] == [
        r["t"] or None for r in rows]


def velmora_csv_na():
    import pandas as pd

    return pd.NA


@pytest.mark.parametrize("types", ["typed", "text"])
def test_extension_and_ctypes_frames_agree_and_repeats_share_one_str(write, monkeypatch, types):
    """Columns of repeated texts (short, multi-byte, longer than the pool
    keeps), of unique texts past the pool's trial, and of numbers: the
    extension's frame equals the one ctypes alone builds, and holds one str
    per distinct repeated text."""
    pd = pytest.importorskip("pandas")
    if _native.rows_extension() is None:
        pytest.skip("the C extension is not built")
    long_text = "z" * 70
    lines = ["rep,uni,n,long,f"]
    for i in range(9000):
        rep = ["Zürich", "Oslo", "", "NA", "日本"][i % 5]
        lines.append(f"{rep},u{i},{i % 7 if i % 11 else ''},{long_text}{i % 3},{i / 8}")
    path = write("\n".join(lines) + "\n")
    with velmora_csv.open(path) as t:
        fast = t.to_pandas(types=types, null_markers=types == "typed")
    monkeypatch.setattr(_native, "rows_extension", lambda: None)
    with velmora_csv.open(path) as t:
        slow = t.to_pandas(types=types, null_markers=types == "typed")
    pd.testing.assert_frame_equal(fast, slow)
    reps = [v for v in fast["rep"].array if isinstance(v, str) and v]
    assert len({id(v) for v in reps}) == len(set(reps))
    assert fast["uni"].tolist() == [f"u{i}" for i in range(9000)]


@both_paths
@pytest.mark.parametrize("types, null_markers", [("typed", False), ("typed", True), ("text", False)])
def test_read_pandas_and_a_temporary_tables_frame_are_a_kept_tables(export_path, write, types,
                                                                     null_markers):
    """read_pandas, and to_pandas of a table nothing else holds, close the
    table as soon as one stream of its columns is taken and make the text
    columns in pieces, joined once the table is gone: over several batches
    of rows the frame is a kept table's, repeated names and every column's
    order kept."""
    pd = pytest.importorskip("pandas")
    lines = ["a,u,a,n,f"]
    for i in range(70_000):  # more than one batch of the export
        lines.append(f"{['x', 'y', 'NA', ''][i % 4]},t{i}é,{i % 9},{'' if i % 13 == 0 else i},"
                     f"{'N/A' if i % 17 == 0 else i / 3}")
    path = write("\n".join(lines) + "\n")
    with velmora_csv.open(path) as t:
        expected = t.to_pandas(types=types, null_markers=null_markers)
    frame = velmora_csv.read_pandas(path, types=types, null_markers=null_markers)
    pd.testing.assert_frame_equal(frame, expected)
    assert list(frame.columns) == ["a", "u", "a", "n", "f"]
    frame = velmora_csv.open(path).to_pandas(types=types, null_markers=null_markers)
    pd.testing.assert_frame_equal(frame, expected)


def test_to_pandas_closes_only_a_table_nothing_else_holds(write, monkeypatch):
    """A table that only the call holds (open(path).to_pandas()) is closed
    as soon as its export is taken; a table held by a name, a container, an
    attribute or a weak reference stays open and whole."""
    pytest.importorskip("pandas")
    from velmora_csv import _pandas

    closes = []
    real = _pandas.table_frame

    def spy(table, *args, **kwargs):
        closes.append(kwargs.get("close", False))
        return real(table, *args, **kwargs)

    monkeypatch.setattr(_pandas, "table_frame", spy)
    path = write("n,s\n1,a\n2,b\n")
    temporary_known = velmora_csv._TEMPORARY_REFS is not None
    assert velmora_csv.open(path).to_pandas()["n"].tolist() == [1, 2]
    assert closes.pop() is temporary_known

    class Holder:
        pass

    named = velmora_csv.open(path)
    held = [velmora_csv.open(path)]
    holder = Holder()
    holder.table = velmora_csv.open(path)
    weak = velmora_csv.open(path)
    ref = weakref.ref(weak)
    for table in (named, held[0], holder.table, ref()):
        table.to_pandas()
        assert closes.pop() is False
        assert not table.closed and len(table) == 2
    with velmora_csv.open(path) as t:
        t.to_pandas()
        assert closes.pop() is False
    for table in (named, held[0], holder.table, weak):
        table.close()


@pytest.mark.parametrize("content, shape", [(b"", (0, 0)), (b"a,b\n", (0, 2)),
                                             (b"a\n\xff\xfeq\n", (1, 1))],
                         ids=["empty", "header-only", "repaired-text"])
def test_read_pandas_of_small_files(write, content, shape, recwarn):
    pytest.importorskip("pandas")
    frame = velmora_csv.read_pandas(write(content), delimiter=",")
    assert frame.shape == shape
    if shape == (1, 1):
        assert frame["a"].tolist() == ["\xff\xfeq"]


def test_read_pandas_arguments(write):
    pytest.importorskip("pandas")
    path = write("1;2\n3;4\n")
    frame = velmora_csv.read_pandas(path, header=False, delimiter=";")
    assert list(frame.columns) == ["1", "2"] and frame["2"].tolist() == [2, 4]
    with pytest.raises(ValueError):
        velmora_csv.read_pandas(path, types="numbers")
    with pytest.raises(velmora_csv.MissingFileError):
        velmora_csv.read_pandas(write("") .with_name("missing.csv"))


def shifted(inner: _arrow.ArrowArrayStream, skip: int):
    """A stream that hands on `inner`'s batches with their first `skip`
    rows left out through offsets, as an exporter may: one row by each
    child's own offset, the rest by the batch's (which applies to its
    children on top of theirs). Returns the stream and what keeps its
    callbacks alive."""
    S = _arrow.ArrowArrayStream
    inner_pointer = ctypes.pointer(inner)

    def get_schema(_stream, out):
        return inner.get_schema(inner_pointer, out)

    def get_next(_stream, out):
        code = inner.get_next(inner_pointer, out)
        batch = out.contents
        if code == 0 and batch.release and batch.length > skip:
            for i in range(batch.n_children):
                child = batch.children[i].contents
                child.offset += 1
                child.length -= 1
            batch.offset = skip - 1
            batch.length -= skip
        return code

    def get_last_error(_stream):
        return inner.get_last_error(inner_pointer)

    def release(stream):
        inner.release(inner_pointer)
        stream.contents.release = type(stream.contents.release)()

    callbacks = (type(S().get_schema)(get_schema), type(S().get_next)(get_next),
                 type(S().get_last_error)(get_last_error), type(S().release)(release))
    outer = S(*callbacks, None)
    return outer, callbacks


@pytest.mark.parametrize("reader", ["extension", "ctypes"])
@pytest.mark.parametrize("flags", [_arrow.TYPED, _arrow.TEXT])
def test_columns_honour_batch_and_column_offsets(write, reader, flags):
    """Rows a batch leaves out through its own offset and its columns'
    offsets are skipped: numbers, nulls and texts of the rest line up."""
    pd = pytest.importorskip("pandas")
    np = pytest.importorskip("numpy")
    from velmora_csv._pandas import _array_maker

    fast = _native.rows_extension()
    if reader == "extension" and fast is None:
        pytest.skip("the C extension is not built")
    lines = ["i,f,t"] + [f"{k},{'' if k % 3 == 0 else k / 2},{'' if k % 4 == 0 else 'w' + str(k)}"
                         for k in range(12)]
    with velmora_csv.open(write("\n".join(lines) + "\n")) as t:
        inner = _arrow.ArrowArrayStream()
        t._arrow_stream(flags, ctypes.byref(inner))
        rows = t.rows()[3:]
    outer, keep = shifted(inner, 3)
    try:
        if reader == "extension":
            got = fast.arrow_columns(ctypes.addressof(outer), 9, pd.NA, _array_maker(np, 9), False)
        else:
            got = _arrow.read_columns(np, ctypes.pointer(outer), 9, pd.NA, False)
    finally:
        outer.release(ctypes.pointer(outer))
    del keep
    by_name = {name: (values, mask) for name, _, values, mask in got}
    ints, int_mask = by_name["i"]
    cells = [str(v) for v in ints] if flags == _arrow.TYPED else list(ints)
    assert cells == [r["i"] for r in rows]
    if flags == _arrow.TYPED:
        floats, nulls = by_name["f"]  # null: NaN, or by the mask where there is one
        missing = [math.isnan(v) or (nulls is not None and bool(nulls[k]))
                   for k, v in enumerate(floats)]
        assert [("" if m else v) for v, m in zip(floats, missing)] == [
            float(r["f"]) if r["f"] else "" for r in rows]
    texts = [None if v is pd.NA else v for v in by_name["t"][0]]
    assert texts == [r["t"] or None for r in rows]


def _rows_text(n, cell):
    return "".join(cell(i) for i in range(n))


# (name, text, read_pandas arguments, whether the blocks alone make the frame)
BLOCK_CASES = [
    ("agreeing", "id,q,f,t,t\r\n" + _rows_text(
        3000, lambda i: f'{i},"{i % 7}",{i / 8},"x{i % 5}\n,""y""",{"é" if i % 3 else ""}\r\n'),
     {}, True),
    ("empty-stretch", "n,s\n" + _rows_text(
        3000, lambda i: f"{'' if 1000 <= i < 2000 else i},s{i % 4}\n"), {}, True),
    ("no-header-semicolon", _rows_text(3000, lambda i: f"{i};{i % 3};v{i}\n"),
     {"header": False, "delimiter": ";"}, True),
    ("null-markers", "n,m\n" + _rows_text(
        3000, lambda i: f"{'NA' if i % 11 == 0 else i},{i}\n"), {"null_markers": True}, True),
    ("text-types", "n,m\n" + _rows_text(3000, lambda i: f"{i},x{i}\n"), {"types": "text"}, True),
    ("number-then-text", "n,m\n" + _rows_text(
        3000, lambda i: f"{i if i < 2900 else 'late'},{i}\n"), {}, False),
    ("int-then-float", "n,m\n" + _rows_text(
        3000, lambda i: f"{i if i < 2900 else i + 0.5},{i}\n"), {}, False),
    ("nan-then-text", "n,m\n" + _rows_text(
        3000, lambda i: f"{'nan' if i < 1500 else 'x'},{i}\n"), {}, False),
    ("empty-column", "e,m\n" + _rows_text(3000, lambda i: f",{i}\n"), {}, True),
    ("markers-then-empty", "k,m\n" + _rows_text(
        3000, lambda i: f"{'NA' if i < 1500 else ''},{i}\n"), {"null_markers": True}, None),
    ("wider-later", "a,b\n" + _rows_text(
        3000, lambda i: f"{i},{i}\n" if i < 2900 else f"{i},{i},{i}\n"), {}, None),
]


@pytest.mark.parametrize("block", [61, 700])
@pytest.mark.parametrize("name, text, kwargs, blocks_alone", BLOCK_CASES,
                         ids=[c[0] for c in BLOCK_CASES])
def test_read_pandas_by_blocks_gives_the_whole_files_frame(write, monkeypatch, block, name, text,
                                                           kwargs, blocks_alone):
    """read_pandas reads a large file a block at a time, each block's table
    closed before the next: cut anywhere (quoted line ends, CRLF, a column
    empty for whole blocks), the frame is the whole table's; where the
    blocks disagree on a column's dtype the file is read whole instead."""
    pd = pytest.importorskip("pandas")
    if _native.rows_extension() is None:
        pytest.skip("the C extension is not built")
    from velmora_csv import _pandas

    monkeypatch.setattr(_pandas, "BLOCK_BYTES", block)
    path = write(text)
    open_args = {k: v for k, v in kwargs.items() if k in ("header", "delimiter")}
    frame_args = {k: v for k, v in kwargs.items() if k in ("types", "null_markers")}
    with velmora_csv.open(path, **open_args) as t:
        expected = t.to_pandas(**frame_args)
    typed = frame_args.get("types", "typed") == "typed"
    by_blocks = _pandas.blocks_frame(str(path).encode(), open_args.get("header", True),
                                     open_args.get("delimiter"), None, typed,
                                     frame_args.get("null_markers", False))
    if blocks_alone is not None:
        assert (by_blocks is not None) == blocks_alone
    if by_blocks is not None:
        pd.testing.assert_frame_equal(by_blocks, expected)
    pd.testing.assert_frame_equal(velmora_csv.read_pandas(path, **kwargs), expected)


def test_read_pandas_by_blocks_shares_repeated_texts_and_warns_once(write, monkeypatch):
    pd = pytest.importorskip("pandas")
    if _native.rows_extension() is None:
        pytest.skip("the C extension is not built")
    from velmora_csv import _pandas

    monkeypatch.setattr(_pandas, "BLOCK_BYTES", 128)
    path = write("c\n" + _rows_text(2000, lambda i: f"rep{i % 5}\n"))
    frame = velmora_csv.read_pandas(path)
    assert len({id(v) for v in frame["c"].array}) == 5  # one str per text, across blocks
    # Text that is not UTF-8 is warned of once, with the whole file's count.
    bad = write(b"c\n" + b"".join(b"v%d\xff\n" % i for i in range(2000)))
    with pytest.warns(velmora_csv.InvalidUTF8Warning) as caught:
        frame = velmora_csv.read_pandas(bad)
    assert len(caught) == 1 and "2000 bytes are not valid UTF-8" in str(caught[0].message)
    assert frame["c"].tolist() == [f"v{i}\xff" for i in range(2000)]


@pytest.mark.parametrize("late", [False, True], ids=["made-first", "made-last"])
def test_columns_of_a_stream_that_does_not_fit_fail_cleanly(write, late):
    """A stream with fewer or more rows than the columns were sized for is
    an error, whether the text arrays are made first or after the stream;
    the texts gathered so far are let go and the strs stay sound."""
    pd = pytest.importorskip("pandas")
    np = pytest.importorskip("numpy")
    fast = _native.rows_extension()
    if fast is None or not hasattr(fast, "arrow_columns"):
        pytest.skip("the C extension is not built")
    from velmora_csv import _pandas

    path = write("n,s\n" + "".join(f"{i},text{i % 50}\n" for i in range(3000)))
    with velmora_csv.open(path) as t:
        for rows, message in ((3001, "the stream ended after 3000 of 3001 rows"),
                              (2999, "a batch does not fit the table")):
            stream = _arrow.ArrowArrayStream()
            t._arrow_stream(_arrow.TYPED, ctypes.byref(stream))
            try:
                with pytest.raises(RuntimeError, match=message):
                    fast.arrow_columns(ctypes.addressof(stream), rows, pd.NA,
                                       _pandas._array_maker(np, rows), False, None, late)
            finally:
                stream.release(ctypes.pointer(stream))
        gc.collect()
        stream = _arrow.ArrowArrayStream()
        t._arrow_stream(_arrow.TYPED, ctypes.byref(stream))
        try:
            columns = fast.arrow_columns(ctypes.addressof(stream), 3000, pd.NA,
                                         _pandas._array_maker(np, 3000), False, None, late)
        finally:
            stream.release(ctypes.pointer(stream))
    (_, kind, values, _), = [c for c in columns if c[0] == "s"]
    assert kind == "u" and values.tolist() == [f"text{i % 50}" for i in range(3000)]
