"""The Dask reader on a local cluster of two worker processes: files cut into
small blocks give exactly the single-machine load, partition by partition
loaded on the workers."""

from __future__ import annotations

import gzip
import os

import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

import velmora_csv  # noqa: E402
from velmora_csv import dask as vdask  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as c:
        yield c


def tricky_text(n: int, seed: int = 0) -> str:
    """Records whose quoted fields hold line ends, delimiters and doubled
    quotes, with CRLF and LF endings, a quote inside an unquoted field and
    text after a closing quote: any block edge cuts through them."""
    lines = ["id,note,amount,tag"]
    for i in range(n):
        k = i + seed
        note = f'"line {k}\nholds, a comma\r\nand ""quotes"""'
        tag = ["a\"b", '"x"tail', "", '"multi\n\nline"'][k % 4]
        end = "\r\n" if k % 3 == 0 else "\n"
        lines.append(f"{k},{note},{k * 0.25},{tag}{end}")
    return lines[0] + "\n" + "".join(lines[1:])


def single(path, **kw):
    with velmora_csv.open(path, **kw) as table:
        return table.to_pandas()


def assert_same(got, want):
    pd.testing.assert_frame_equal(got.reset_index(drop=True), want.reset_index(drop=True))


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("dask")
    paths = []
    for j, n in enumerate((40, 25, 33)):
        p = d / f"part{j}.csv"
        p.write_bytes(tricky_text(n, seed=100 * j).encode())
        paths.append(str(p))
    return paths


@pytest.mark.parametrize("blocksize", [7, 64, 333, None])
def test_small_blocks_give_the_single_load(client, files, blocksize):
    ddf = vdask.read_csv(files[0], blocksize=blocksize)
    size = os.path.getsize(files[0])
    expected_parts = 1 if blocksize is None else -(-size // (blocksize + blocksize % 2))
    assert ddf.npartitions == expected_parts
    got = ddf.compute()
    want = single(files[0])
    assert_same(got, want)
    assert list(got.dtypes.astype(str)) == ["Int64", "string", "float64", "string"]


def test_partitions_ran_on_the_workers(client, files):
    workers = set(client.scheduler_info()["workers"])
    pids = set(client.run(os.getpid).values())
    assert os.getpid() not in pids and len(pids) == 2
    with distributed.get_task_stream(client) as stream:
        vdask.read_csv(files[1], blocksize=50).compute()
    ran = {t["key"].split("-")[0] for t in stream.data}
    where = {t["worker"] for t in stream.data if "_partition" in str(t["key"])}
    assert "_scan" in ran and "_compose" in ran
    assert where and where <= workers


def test_glob_and_list(client, files):
    folder = os.path.dirname(files[0])
    want = pd.concat([single(p) for p in sorted(files)])
    assert_same(vdask.read_csv(os.path.join(folder, "part*.csv"), blocksize=90).compute(), want)
    order = [files[2], files[0]]
    want = pd.concat([single(p) for p in order])
    assert_same(vdask.read_csv(order, blocksize=90).compute(), want)


def test_gzip_is_one_partition(client, files, tmp_path):
    p = tmp_path / "packed.csv.gz"
    p.write_bytes(gzip.compress(open(files[0], "rb").read()))
    ddf = vdask.read_csv([str(p), files[1]], blocksize=100)
    assert ddf.npartitions == 1 + -(-os.path.getsize(files[1]) // 100)
    assert_same(ddf.compute(), pd.concat([single(str(p)), single(files[1])]))


@pytest.mark.parametrize("encoding,bom", [("utf-16-le", b""), (None, b"\xff\xfe"), ("latin-1", b"")])
def test_encodings(client, tmp_path, encoding, bom):
    text = "name;city\n" + "".join(f'"Ren\u00e9 {i}\n";"Orl\u00e9ans; {i}"\n' for i in range(30))
    codec = "latin-1" if encoding == "latin-1" else "utf-16-le"
    p = tmp_path / "enc.csv"
    p.write_bytes(bom + text.encode(codec))
    got = vdask.read_csv(str(p), blocksize=41, encoding=encoding).compute()
    assert_same(got, single(str(p), encoding=encoding))
    assert got.iloc[3, 0] == "Ren\u00e9 3\n"


def test_no_header_and_given_delimiter(client, tmp_path):
    p = tmp_path / "tabs.tsv"
    p.write_text("".join(f'{i}\t"a\tb\n{i}"\n' for i in range(50)))
    got = vdask.read_csv(str(p), blocksize=16, header=False, delimiter="\t").compute()
    assert_same(got, single(str(p), header=False, delimiter="\t"))
    assert list(got.columns) == ["1", "2"]


def test_dtypes_decided_by_the_sample(client, tmp_path):
    p = tmp_path / "mixed.csv"
    rows = [f"{i},{i}" for i in range(40)] + ["1.5,word"]
    p.write_text("n,t\n" + "\n".join(rows) + "\n")
    with pytest.raises(ValueError, match="column 'n' is Int64 in the sample but float64"):
        vdask.read_csv(str(p), blocksize=30, sample=30).compute()
    got = vdask.read_csv(str(p), blocksize=30, sample=30, dtype={"n": "float64", "t": "string"})
    assert_same(got.compute(), single(str(p)))
    # A sample of the whole file decides as the single load does.
    got = vdask.read_csv(str(p), blocksize=30).compute()
    assert_same(got, single(str(p)))
    # Text of the sample stays text: "007" is not read back from 7.
    q = tmp_path / "codes.csv"
    q.write_text("code\nx\n" + "".join(f"00{i}\n" for i in range(30)))
    assert_same(vdask.read_csv(str(q), blocksize=10, sample=8).compute(), single(str(q)))


def test_missing_file_and_importing_needs_no_dask(tmp_path):
    with pytest.raises(FileNotFoundError):
        vdask.read_csv(str(tmp_path / "none*.csv"))
    import subprocess
    import sys

    code = (
        "import sys; sys.modules['dask'] = None\n"
        "import velmora_csv\n"
        "assert 'dask' not in [m for m in sys.modules if sys.modules[m] is not None]\n"
    )
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(velmora_csv.__file__)))
    subprocess.run([sys.executable, "-c", code], check=True, env=env)
