"""Reading delimited files into a Dask DataFrame, block by block on the workers.

``read_csv(urlpath, blocksize="64MB", ...)`` cuts every file into byte
blocks and loads each as one partition with the library's range loader, so
a record belongs to exactly one partition even when its quoted fields hold
line ends and delimiters across a block's edge. The work runs as Dask tasks:

1. one boundary pass per block (``scan_range``): the block's state map,
   all blocks in parallel;
2. one small task per file composing the maps: the parser's exact state at
   every block's first byte;
3. one load per block (``open_range``) from that state, built into a pandas
   DataFrame exactly as ``Table.to_pandas()`` builds one.

The columns and dtypes come from the records that start in the first
``sample`` bytes of the first file (more when those hold no record), loaded
before the blocks. A block conforms to them: an ``Int64`` column whose
block holds fractions becomes ``float64`` only when the sample said
``float64``; a text column of the sample stays text in every block
(its cells are read as text, not converted back from numbers). Any other
disagreement raises an error that names the file, the bytes and the column;
``dtype=`` then fixes the columns' types up front.

Needs dask (and pandas); importing ``velmora_csv`` itself never does.
"""

from __future__ import annotations

import glob
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import dask
import dask.dataframe as dd
from dask.utils import parse_bytes

from . import PAGE_ROWS, open_range, scan_range
from ._pandas import table_frame

__all__ = ["read_csv"]

_GZIP_MAGIC = b"\x1f\x8b\x08"
_DTYPES = ("Int64", "float64", "string")


def _paths(urlpath: Any) -> List[str]:
    """A path, a glob or a list of either: the files, each glob sorted."""
    items = urlpath if isinstance(urlpath, (list, tuple)) else [urlpath]
    found: List[str] = []
    for item in items:
        path = os.fsdecode(os.fspath(item))
        if glob.has_magic(path):
            matches = sorted(glob.glob(path))
            if not matches:
                raise FileNotFoundError(f"no file matches {path}")
            found.extend(matches)
        else:
            if not os.path.exists(path):
                raise FileNotFoundError(f"no such file: {path}")
            found.append(path)
    if not found:
        raise ValueError("no files to read")
    return found


def _blocks(path: str, blocksize: Optional[int]) -> List[Tuple[int, int]]:
    """(offset, length) of the file's blocks: one for a gzip file, which
    cannot be cut, or when blocksize is None."""
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        gzipped = f.read(3) == _GZIP_MAGIC
    if gzipped or blocksize is None or size <= blocksize:
        return [(0, max(size, 1))]
    return [(off, min(blocksize, size - off)) for off in range(0, size, blocksize)]


def _compose(maps: Sequence[Tuple[int, ...]]) -> List[int]:
    """The state at each block's first byte: the maps of the blocks before
    it applied in order to the state at the file's start."""
    states = [0]
    for m in maps:
        states.append(m[states[-1]])
    return states


def _scan(path: str, offset: int, length: int, delimiter: Any, encoding: Any) -> Tuple[int, ...]:
    return scan_range(path, offset, length, delimiter=delimiter, encoding=encoding)


def _frame(path: str, offset: int, length: int, state: int, options: Dict[str, Any],
           text_columns: Sequence[int] = ()) -> Any:
    """One block as Table.to_pandas() builds a frame."""
    with open_range(path, offset, length, state, **options) as table:
        return table_frame(table, PAGE_ROWS, text_columns=set(text_columns))


def _conform(frame: Any, names: List[Any], dtypes: List[str], where: str) -> Any:
    """The block's frame with the columns and dtypes of the sample."""
    import pandas as pd

    n = len(frame)
    if frame.shape[1] > len(names):
        raise ValueError(
            f"{where} holds records wider than the sample's {len(names)} columns: "
            f"read the file whole, or give it a header naming every column"
        )
    columns = {}
    for i, (name, want) in enumerate(zip(names, dtypes)):
        # Every record of the block is shorter, or every cell is empty: the
        # column is missing values, whatever the dtype.
        if i >= frame.shape[1] or frame.iloc[:, i].isna().all():
            columns[i] = pd.Series([None] * n, dtype=want)
            continue
        col = frame.iloc[:, i]
        have = str(col.dtype)
        if have == want:
            columns[i] = col
        elif want == "float64" and have == "Int64":
            columns[i] = col.astype("float64")
        else:
            raise ValueError(
                f"column {name!r} is {want} in the sample but {have} in {where}: "
                f"pass dtype={{{name!r}: {'float64' if have == 'float64' else 'string'!r}}} "
                f"to read_csv"
            )
    out = pd.DataFrame(columns, index=pd.RangeIndex(n))
    out.columns = pd.Index(names, dtype="object")
    return out


def _partition(path: str, offset: int, length: int, state: int, options: Dict[str, Any],
               names: List[Any], dtypes: List[str]) -> Any:
    text = [i for i, d in enumerate(dtypes) if d == "string"]
    frame = _frame(path, offset, length, state, options, text)
    return _conform(frame, names, dtypes, f"{path} bytes {offset}..{offset + length}")


def _dtype_of(name: Any, found: str, dtype: Any) -> str:
    want = dtype.get(name, found) if isinstance(dtype, dict) else (dtype or found)
    want = str(want)
    if want not in _DTYPES:
        raise ValueError(f"dtype {want!r} for column {name!r}: use one of {', '.join(_DTYPES)}")
    return want


def read_csv(
    urlpath: Any,
    blocksize: Union[None, int, str] = "64MB",
    header: bool = True,
    delimiter: Union[None, str, bytes, int] = None,
    encoding: Optional[str] = None,
    dtype: Union[None, str, Dict[Any, str]] = None,
    sample: Union[int, str] = "256kB",
) -> Any:
    """A Dask DataFrame of the delimited files at ``urlpath``.

    urlpath: a path, a glob ("data/*.csv") or a list of paths and globs;
        the files are read in the order given, each glob's matches sorted.
        Every worker must see the files at the same paths.
    blocksize: bytes per partition (an int, or a text such as "64MB");
        None makes one partition per file. A gzip file is always one
        partition. UTF-16 files are cut at even offsets.
    header, delimiter, encoding: as for ``velmora_csv.open``; the delimiter
        is detected from each file's first record when None.
    dtype: one of "Int64", "float64", "string" for every column, or a dict
        of column name to one of them; other columns take the first
        sample's dtypes.
    sample: bytes at the first file's start whose records decide the
        columns and dtypes, as for dask.dataframe.read_csv.

    Each partition is a pandas DataFrame built as ``Table.to_pandas()``
    builds one, with its own RangeIndex from 0.
    """
    size = None if blocksize is None else int(parse_bytes(blocksize) if isinstance(blocksize, str) else blocksize)
    if size is not None:
        if size < 1:
            raise ValueError(f"blocksize must be at least 1 byte, not {blocksize!r}")
        size += size % 2  # UTF-16 text is cut between code units only
    options = {"header": header, "delimiter": delimiter, "encoding": encoding}
    paths = _paths(urlpath)
    layout = [(path, _blocks(path, size)) for path in paths]

    # The columns and dtypes: the sample, loaded now (on the cluster when
    # one is in use), grown until it holds a record or the whole file.
    path0 = layout[0][0]
    head = max(1, int(parse_bytes(sample) if isinstance(sample, str) else sample))
    total0 = os.path.getsize(path0)
    if len(layout[0][1]) == 1:  # one block (a gzip file loads only whole)
        head = layout[0][1][0][1]
    while True:
        head += head % 2
        first = dask.compute(dask.delayed(_frame, pure=True)(path0, 0, head, 0, options))[0]
        if len(first) > 0 or head >= total0:
            break
        head *= 2
    names = list(first.columns)
    dtypes = [_dtype_of(name, str(first.dtypes.iloc[i]), dtype) for i, name in enumerate(names)]
    meta = _conform(first.iloc[:0], names, dtypes, "the sample")

    parts = []
    load = dask.delayed(_partition, pure=True)
    for path, blocks in layout:
        scan = dask.delayed(_scan, pure=True)
        maps = [scan(path, off, length, delimiter, encoding) for off, length in blocks[:-1]]
        states = dask.delayed(_compose, pure=True)(maps)
        for i, (off, length) in enumerate(blocks):
            parts.append(load(path, off, length, states[i], options, names, dtypes))
    return dd.from_delayed(parts, meta=meta, verify_meta=False)
