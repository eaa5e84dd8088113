"""The library's columnar export (an Arrow C stream) seen from Python.

The three structs of the Arrow C data and stream interfaces are mirrored
with ctypes. A stream is handed on either to the package's C extension,
which builds DataFrame columns from it, or to any engine that takes the
Arrow PyCapsule protocol (``Table.__arrow_c_stream__``): a capsule named
"arrow_array_stream" whose destructor releases the stream unless the
consumer moved it out.
"""

from __future__ import annotations

import ctypes
from typing import Any

# Flags of csv_arrow_stream.
TEXT = 0
TYPED = 1
NULL_MARKERS = 2
SMALL_BATCHES = 4


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))),
    ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))),
    ("private_data", ctypes.c_void_p),
]


class ArrowArrayStream(ctypes.Structure):
    pass


ArrowArrayStream._fields_ = [
    ("get_schema", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream),
                                    ctypes.POINTER(ArrowSchema))),
    ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream),
                                  ctypes.POINTER(ArrowArray))),
    ("get_last_error", ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))),
    ("private_data", ctypes.c_void_p),
]

STREAM_PROTOTYPE = (
    ctypes.c_int,
    [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(ArrowArrayStream)],
)

# ---- the PyCapsule protocol ---------------------------------------------------

CAPSULE_NAME = b"arrow_array_stream"  # lives as long as the module: capsules point at it

# The interpreter's C API through an object of our own: the functions of
# ctypes.pythonapi are shared, and code elsewhere may declare them otherwise.
_api = ctypes.PyDLL(None) if ctypes.pythonapi._name is None else ctypes.PyDLL(ctypes.pythonapi._name)
_DESTRUCTOR = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
_api.PyCapsule_New.restype = ctypes.py_object
_api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, _DESTRUCTOR]
_api.PyCapsule_GetPointer.restype = ctypes.c_void_p
_api.PyCapsule_GetPointer.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
_api.PyMem_RawMalloc.restype = ctypes.c_void_p
_api.PyMem_RawMalloc.argtypes = [ctypes.c_size_t]
_api.PyMem_RawFree.restype = None
_api.PyMem_RawFree.argtypes = [ctypes.c_void_p]


def _release_capsule(capsule: int) -> None:
    """The capsule's destructor: releases a stream no consumer moved out
    (a consumer that takes it sets its release to NULL), then frees the
    struct itself."""
    address = _api.PyCapsule_GetPointer(capsule, CAPSULE_NAME)
    if not address:
        return
    stream = ArrowArrayStream.from_address(address)
    if stream.release:
        stream.release(ctypes.cast(address, ctypes.POINTER(ArrowArrayStream)))
    _api.PyMem_RawFree(address)


# One C callback for every capsule, kept for the life of the process.
_capsule_destructor = _DESTRUCTOR(_release_capsule)


def stream_capsule(fill: Any) -> Any:
    """A capsule owning a new stream struct that ``fill(pointer)`` fills
    (returning normally only when it did)."""
    address = _api.PyMem_RawMalloc(ctypes.sizeof(ArrowArrayStream))
    if not address:
        raise MemoryError
    ctypes.memset(address, 0, ctypes.sizeof(ArrowArrayStream))
    try:
        fill(ctypes.cast(address, ctypes.POINTER(ArrowArrayStream)))
    except BaseException:
        _api.PyMem_RawFree(address)
        raise
    stream = ctypes.cast(address, ctypes.POINTER(ArrowArrayStream))
    try:
        # From here the capsule owns the struct: its destructor frees it.
        return _api.PyCapsule_New(address, CAPSULE_NAME, _capsule_destructor)
    except BaseException:
        stream.contents.release(stream)
        _api.PyMem_RawFree(address)
        raise


# ---- a consumer's requested schema ------------------------------------------

SCHEMA_CAPSULE_NAME = b"arrow_schema"
_api.PyCapsule_IsValid.restype = ctypes.c_int
_api.PyCapsule_IsValid.argtypes = [ctypes.py_object, ctypes.c_char_p]
_api.PyCapsule_GetPointer.argtypes = [ctypes.c_void_p, ctypes.c_char_p]

_UTF8 = ("u", "U")
_FORMAT_NAMES = {"l": "int64", "g": "float64", "u": "utf8", "U": "large utf8"}


def _format_name(fmt: str) -> str:
    return _FORMAT_NAMES.get(fmt, repr(fmt))


def requested_formats(capsule: Any) -> "list[tuple[str, str]]":
    """(name, format) of each field of the struct schema a consumer passed
    as ``requested_schema`` (a PyCapsule named "arrow_schema")."""
    if not _api.PyCapsule_IsValid(capsule, SCHEMA_CAPSULE_NAME):
        raise TypeError("requested_schema must be a PyCapsule named 'arrow_schema' "
                        "(from an object's __arrow_c_schema__()) or None")
    address = _api.PyCapsule_GetPointer(id(capsule), SCHEMA_CAPSULE_NAME)
    schema = ArrowSchema.from_address(address)
    if (schema.format or b"") != b"+s":
        raise ValueError("requested_schema must be a struct schema ('+s') with one field "
                         "per column")
    fields = []
    for i in range(schema.n_children):
        child = schema.children[i].contents
        fields.append(((child.name or b"").decode("utf-8", "replace"),
                       (child.format or b"").decode("utf-8", "replace")))
    return fields


def export_picks(requested: "list[tuple[str, str]]", own: "list[tuple[str, str]]") -> "list[bool]":
    """Which columns a consumer wants as text (True) rather than as their
    own type (False). Raises ValueError for a request the export cannot
    give, naming the first column at fault."""
    if len(requested) != len(own):
        raise ValueError(f"requested_schema has {len(requested)} fields; "
                         f"the table has {len(own)} columns")
    picks = []
    for i, ((_, want), (name, have)) in enumerate(zip(requested, own)):
        if want not in _UTF8 and want != have:
            raise ValueError(
                f"requested_schema asks {_format_name(want)} for column {i + 1} ({name!r}), "
                f"which is {_format_name(have)}: a column can be given as utf8 or as its "
                f"own type")
        picks.append(want in _UTF8 and have not in _UTF8)
    return picks


def stream_formats(stream: Any) -> "list[tuple[str, str]]":
    """(name, format) of each column of a filled stream."""
    schema = ArrowSchema()
    code = stream.contents.get_schema(stream, ctypes.byref(schema))
    if code:
        raise _stream_error(stream, code)
    try:
        return [(schema.children[i].contents.name.decode("utf-8", "replace"),
                 schema.children[i].contents.format.decode("ascii"))
                for i in range(schema.n_children)]
    finally:
        schema.release(ctypes.byref(schema))


# ---- columns for a DataFrame, without the C extension ----------------------


def _stream_error(stream: Any, code: int) -> RuntimeError:
    text = stream.contents.get_last_error(stream) if stream.contents.get_last_error else None
    return RuntimeError(text.decode("utf-8", "replace") if text else f"error {code}")


_MARKERS = frozenset([
    "NA", "N/A", "n/a", "NaN", "nan", "-NaN", "-nan", "null", "NULL", "None", "#N/A",
    "#NA", "#N/A N/A", "<NA>", "-", "1.#IND", "-1.#IND", "1.#QNAN", "-1.#QNAN",
])


def _nulls(np: Any, child: ArrowArray, start: int, length: int) -> Any:
    """One bool per row, True where the validity bitmap says null; None when
    no value is."""
    if child.null_count == 0 or not child.buffers[0]:
        return None
    nbytes = (start + length + 7) // 8
    bits = np.frombuffer(ctypes.string_at(child.buffers[0], nbytes), dtype=np.uint8)
    return np.unpackbits(bits, bitorder="little")[start:start + length] == 0


def read_columns(np: Any, stream: Any, rows: int, missing: Any, markers: bool) -> list:
    """What the C extension's arrow_columns gives, read with ctypes:
    (name, format, values, mask) per column, values an ndarray for numbers
    (mask an ndarray of bool, or None) and a list of str (or `missing`) for
    text."""
    schema = ArrowSchema()
    code = stream.contents.get_schema(stream, ctypes.byref(schema))
    if code:
        raise _stream_error(stream, code)
    try:
        n = schema.n_children
        names = [schema.children[i].contents.name.decode("utf-8") for i in range(n)]
        formats = [schema.children[i].contents.format.decode("ascii") for i in range(n)]
        pieces: list = [[] for _ in range(n)]
        masks: list = [[] for _ in range(n)]
        while True:
            batch = ArrowArray()
            code = stream.contents.get_next(stream, ctypes.byref(batch))
            if code:
                raise _stream_error(stream, code)
            if not batch.release:
                break
            try:
                for i in range(n):
                    # A struct array's offset applies to its children too.
                    child = ArrowArray.from_buffer_copy(batch.children[i].contents)
                    if child.length < batch.offset + batch.length:
                        raise RuntimeError("a column is shorter than its batch")
                    child.offset += batch.offset
                    child.length = batch.length
                    _read_child(np, child, formats[i], pieces[i], masks[i], missing, markers)
            finally:
                batch.release(ctypes.byref(batch))
    finally:
        schema.release(ctypes.byref(schema))
    out = []
    for i in range(n):
        if formats[i] in ("l", "g"):
            dtype = np.int64 if formats[i] == "l" else np.float64
            values = np.concatenate(pieces[i]) if pieces[i] else np.empty(0, dtype)
            mask = None
            if any(m is not None for m in masks[i]):
                mask = np.concatenate([np.zeros(len(p), bool) if m is None else m
                                       for p, m in zip(pieces[i], masks[i])])
            out.append((names[i], formats[i], values, mask))
        else:
            out.append((names[i], "u", [c for piece in pieces[i] for c in piece], None))
    if any(len(c[2]) != rows for c in out):
        raise RuntimeError("the stream does not hold the table's rows")
    return out


def _read_child(np: Any, child: ArrowArray, fmt: str, pieces: list, masks: list,
                missing: Any, markers: bool) -> None:
    start, length = child.offset, child.length
    if fmt in ("l", "g"):
        # Both int64 and float64 values are 8 bytes wide.
        raw = ctypes.string_at(child.buffers[1], (start + length) * 8)
        pieces.append(np.frombuffer(raw, dtype=np.int64 if fmt == "l" else np.float64,
                                    offset=start * 8).copy())
        masks.append(_nulls(np, child, start, length))
        return
    width = 8 if fmt == "U" else 4
    offsets = np.frombuffer(ctypes.string_at(child.buffers[1], (start + length + 1) * width),
                            dtype=np.int64 if width == 8 else np.int32)[start:]
    first, last = int(offsets[0]), int(offsets[-1]) if length else int(offsets[0])
    data = ctypes.string_at(child.buffers[2] + first, last - first) if last > first else b""
    nulls = _nulls(np, child, start, length)
    cells = []
    bounds = (offsets - first).tolist()
    for k in range(length):
        text = data[bounds[k]:bounds[k + 1]].decode("utf-8")
        if missing is not None and (not text or (nulls is not None and nulls[k])
                                    or (markers and text.strip(" \t") in _MARKERS)):
            cells.append(missing)
        else:
            cells.append(text)
    pieces.append(cells)
