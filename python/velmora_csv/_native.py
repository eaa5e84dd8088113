"""Finding, loading and declaring the velmora-csv shared library.

Every foreign function is declared here, once: text results use c_char_p so
ctypes copies the library's per-thread result buffer into a Python bytes
object before anything else can run on the thread.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from typing import Any

from . import _arrow

ENV_VAR = "VELMORA_CSV_LIBRARY"

PROGRESS_FN = ctypes.CFUNCTYPE(
    ctypes.c_int, ctypes.c_uint64, ctypes.c_int64, ctypes.c_int64, ctypes.c_void_p
)

# name: (restype, argtypes)
_PROTOTYPES: "dict[str, tuple[Any, list[Any]]]" = {
    "csv_load": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_int]),
    "csv_load_ex": (
        ctypes.c_int,
        [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int],
    ),
    "csv_load_ex_progress": (
        ctypes.c_int,
        [
            ctypes.c_char_p,
            ctypes.c_int,
            ctypes.c_int,
            ctypes.c_int,
            PROGRESS_FN,
            ctypes.c_void_p,
        ],
    ),
    "csv_row_count": (ctypes.c_int, [ctypes.c_int]),
    "csv_col_count": (ctypes.c_int, [ctypes.c_int]),
    "csv_close": (None, [ctypes.c_int]),
    "csv_last_error": (ctypes.c_char_p, []),
    "csv_headers": (ctypes.c_char_p, [ctypes.c_int]),
    "csv_rows": (ctypes.c_char_p, [ctypes.c_int, ctypes.c_int, ctypes.c_int]),
    "csv_select": (ctypes.c_char_p, [ctypes.c_int, ctypes.c_char_p]),
    "csv_search": (
        ctypes.c_char_p,
        [ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int],
    ),
    "csv_sort": (ctypes.c_char_p, [ctypes.c_int, ctypes.c_char_p, ctypes.c_int]),
    "csv_stats": (ctypes.c_char_p, [ctypes.c_int]),
    "csv_parse_warnings": (ctypes.c_char_p, [ctypes.c_int]),
    "csv_parse_warning_count": (ctypes.c_int, [ctypes.c_int]),
}

# Exports added in later versions of the library: declared when present, so
# that the package still works with an older library for everything else.
_OPTIONAL_PROTOTYPES: "dict[str, tuple[Any, list[Any]]]" = {
    "csv_load_encoding": (
        ctypes.c_int,
        [
            ctypes.c_char_p,
            ctypes.c_int,
            ctypes.c_int,
            ctypes.c_char_p,
            PROGRESS_FN,
            ctypes.c_void_p,
        ],
    ),
    "csv_info": (ctypes.c_char_p, [ctypes.c_int]),
    "csv_range_scan": (
        ctypes.c_int,
        [
            ctypes.c_char_p,
            ctypes.c_int,
            ctypes.c_int,
            ctypes.c_char_p,
            ctypes.c_int64,
            ctypes.c_int64,
            ctypes.POINTER(ctypes.c_int32),
        ],
    ),
    "csv_load_range": (
        ctypes.c_int,
        [
            ctypes.c_char_p,
            ctypes.c_int,
            ctypes.c_int,
            ctypes.c_int,
            ctypes.c_char_p,
            ctypes.c_int64,
            ctypes.c_int64,
            ctypes.c_int,
            PROGRESS_FN,
            ctypes.c_void_p,
        ],
    ),
    "csv_version": (ctypes.c_char_p, []),
    "csv_arrow_stream": _arrow.STREAM_PROTOTYPE,
}


class LibraryNotFoundError(OSError):
    """The velmora-csv shared library could not be found or loaded."""


def _package_dir_candidates() -> list[str]:
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        names = os.listdir(here)
    except OSError:
        return []
    if sys.platform == "win32":
        wanted = [n for n in names if n.lower() in ("velmora-csv.dll", "libvelmora-csv.dll")]
    elif sys.platform == "darwin":
        wanted = [n for n in names if n.startswith("libvelmora-csv") and n.endswith(".dylib")]
    else:
        wanted = [n for n in names if n == "libvelmora-csv.so" or n.startswith("libvelmora-csv.so.")]
    # The unversioned name first, then the shortest (the soname link).
    wanted.sort(key=lambda n: (len(n), n))
    return [os.path.join(here, n) for n in wanted]


def _prefix_candidates() -> list[str]:
    """The library of the prefix this package was installed into by
    ``cmake --install``, which writes its place into ``_location.py``
    (relative to the package directory when the prefix may move)."""
    try:
        from . import _location  # type: ignore[attr-defined]
    except ImportError:
        return []
    where = getattr(_location, "LIBRARY", None)
    if not where:
        return []
    if not os.path.isabs(where):
        here = os.path.dirname(os.path.realpath(__file__))
        where = os.path.normpath(os.path.join(here, where))
    return [where]


def _system_candidates() -> list[str]:
    found = ctypes.util.find_library("velmora-csv")
    names = [found] if found else []
    if sys.platform == "win32":
        names += ["velmora-csv.dll"]
    elif sys.platform == "darwin":
        names += ["libvelmora-csv.0.dylib", "libvelmora-csv.dylib"]
    else:
        names += ["libvelmora-csv.so.0", "libvelmora-csv.so"]
    unique: list[str] = []
    for n in names:
        if n not in unique:
            unique.append(n)
    return unique


def _declare(lib: ctypes.CDLL, where: str) -> ctypes.CDLL:
    for name, (restype, argtypes) in _PROTOTYPES.items():
        try:
            fn = getattr(lib, name)
        except AttributeError:
            raise LibraryNotFoundError(
                f"{where} is not a usable velmora-csv library: it lacks {name}"
            ) from None
        fn.restype = restype
        fn.argtypes = argtypes
    for name, (restype, argtypes) in _OPTIONAL_PROTOTYPES.items():
        fn = getattr(lib, name, None)
        if fn is not None:
            fn.restype = restype
            fn.argtypes = argtypes
    return lib


def has(lib: ctypes.CDLL, name: str) -> bool:
    """Whether the loaded library exports ``name``."""
    return getattr(lib, name, None) is not None


def _open_library() -> tuple[ctypes.CDLL, str]:
    """Loads the library: the environment variable when set (and then only
    that), else a copy beside this package, else the library of the prefix
    the package was installed into, else the system's search path."""
    explicit = os.environ.get(ENV_VAR)
    if explicit:
        try:
            lib = ctypes.CDLL(explicit)
        except OSError as exc:
            raise LibraryNotFoundError(
                f"cannot load the velmora-csv library named by {ENV_VAR}={explicit!r}: {exc}"
            ) from None
        return _declare(lib, explicit), explicit

    tried: list[str] = []
    candidates = _package_dir_candidates()
    if not candidates:
        tried.append(
            f"no libvelmora-csv shared library in the package directory "
            f"{os.path.dirname(os.path.abspath(__file__))}"
        )
    candidates += _prefix_candidates()
    candidates += _system_candidates()
    for path in candidates:
        try:
            lib = ctypes.CDLL(path)
        except OSError as exc:
            text = str(exc)  # the loader's text usually starts with the name
            tried.append(text if text.startswith(path) else f"{path}: {text}")
            continue
        return _declare(lib, path), path
    raise LibraryNotFoundError(
        f"cannot find the velmora-csv shared library ({ENV_VAR} is not set); tried: "
        + "; ".join(tried)
        + f". Set {ENV_VAR} to the path of libvelmora-csv.so."
    )


_lib: ctypes.CDLL | None = None
_lib_path: str | None = None
_lib_lock = threading.Lock()


def library() -> ctypes.CDLL:
    """The loaded and declared library, loading it on first use."""
    global _lib, _lib_path
    lib = _lib
    if lib is not None:
        return lib
    with _lib_lock:
        if _lib is None:
            _lib, _lib_path = _open_library()
        return _lib


def library_path() -> str:
    """Where the library in use was loaded from (loading it if needed)."""
    library()
    assert _lib_path is not None
    return _lib_path


def last_error(lib: ctypes.CDLL) -> str:
    """The calling thread's message; must be read on the thread that failed,
    right after the failing call."""
    raw = lib.csv_last_error()
    if not raw:
        return ""
    # A message may quote a path that is not UTF-8, or be cut mid-character.
    return raw.decode("utf-8", "backslashreplace")


# ---- the C extension -------------------------------------------------------

PURE_VAR = "VELMORA_CSV_PURE"

_rows_module: Any = None
_rows_looked = False


def _extension_from_build(lib_path: str) -> Any:
    """The extension a CMake build tree holds beside the library it built
    (build/python/velmora_csv/), for running the package from its sources."""
    import importlib.machinery
    import importlib.util

    here = os.path.join(os.path.dirname(os.path.realpath(lib_path)), "python", "velmora_csv")
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        path = os.path.join(here, "_rows" + suffix)
        if not os.path.isfile(path):
            continue
        spec = importlib.util.spec_from_file_location(__package__ + "._rows", path)
        if spec is None or spec.loader is None:
            continue
        module = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(module)
        except ImportError:
            continue
        return module
    return None


def rows_extension() -> Any:
    """The C extension that decodes row answers, or None: then the package
    decodes them with the json module (slower, same answers). Found inside
    the package (pip and cmake --install put it there) or beside the library
    of a build tree; VELMORA_CSV_PURE=1 turns it off."""
    global _rows_module, _rows_looked
    if _rows_looked:
        return _rows_module
    module = None
    if not os.environ.get(PURE_VAR):
        try:
            from . import _rows as module  # type: ignore[attr-defined, no-redef]
        except ImportError:
            module = _extension_from_build(library_path())
    _rows_module, _rows_looked = module, True
    return module


_ROWS_IN_PLACE = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int)
_rows_in_place: Any = None


def rows_in_place(lib: ctypes.CDLL) -> Any:
    """csv_rows declared to give the address of its answer rather than a
    copy of it, for the C extension to decode in place (a page's text is
    then never copied into a bytes object)."""
    global _rows_in_place
    fn = _rows_in_place
    if fn is None or fn[0] is not lib:
        address = ctypes.cast(lib.csv_rows, ctypes.c_void_p).value
        assert address is not None
        fn = (lib, _ROWS_IN_PLACE(address))
        _rows_in_place = fn
    return fn[1]
