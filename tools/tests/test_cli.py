"""Tests of the velmora-csv command-line tool, run on real files.

The tool under test is the executable named by the environment variable
VELMORA_CSV_TOOL (for example build/release/tools/velmora-csv).
"""

from __future__ import annotations

import gzip
import json
import os
import pty
import re
import select
import signal
import subprocess
import time
from pathlib import Path

import pytest

SAMPLE = Path(__file__).resolve().parents[2] / "examples" / "data" / "cities.csv"

# A small table used throughout: a numeric column with an empty cell and
# names outside ASCII, one of them two terminal columns per character.
PEOPLE_ROWS = [["name", "age", "city"], ["Ann", "34", "Zürich"], ["bob", "27", "Oslo"], ["Carl", "", "東京"]]
PEOPLE_JSON = (
    '[{"name":"Ann","age":"34","city":"Zürich"},'
    '{"name":"bob","age":"27","city":"Oslo"},'
    '{"name":"Carl","age":"","city":"東京"}]'
)
BIG_ROWS = 5_000_000


@pytest.fixture(scope="session")
def tool() -> str:
    path = os.environ.get("VELMORA_CSV_TOOL")
    if not path:
        pytest.fail("VELMORA_CSV_TOOL is not set: point it at the built tool, "
                    "e.g. VELMORA_CSV_TOOL=build/release/tools/velmora-csv", pytrace=False)
    if not os.access(path, os.X_OK):
        pytest.fail(f"VELMORA_CSV_TOOL={path} is not an executable file", pytrace=False)
    return path


def run(tool: str, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([tool, *map(str, args)], capture_output=True, timeout=60)


def ok(tool: str, *args: str) -> str:
    """Runs the tool, expects success and no diagnostics, returns stdout."""
    r = run(tool, *args)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    assert r.stderr == b""
    return r.stdout.decode("utf-8")


def write_table(path: Path, rows: list[list[str]], delimiter: str = ",",
                encoding: str = "utf-8", bom: bytes = b"", newline: str = "\n") -> Path:
    text = "".join(delimiter.join(r) + newline for r in rows)
    path.write_bytes(bom + text.encode(encoding))
    return path


@pytest.fixture
def people(tmp_path: Path) -> Path:
    return write_table(tmp_path / "people.csv", PEOPLE_ROWS)


# ---- every command, default output ------------------------------------------------

@pytest.mark.parametrize(
    "args, expected",
    [
        pytest.param(["headers"], '["name","age","city"]', id="headers"),
        pytest.param(["rows"], PEOPLE_JSON, id="rows"),
        pytest.param(["rows", "--offset", "1", "--limit", "1"],
                     '[{"name":"bob","age":"27","city":"Oslo"}]', id="rows-window"),
        pytest.param(["rows", "--offset=2"], '[{"name":"Carl","age":"","city":"東京"}]', id="rows-offset-inline"),
        pytest.param(["rows", "--limit", "0"], "[]", id="rows-limit-0"),
        pytest.param(["rows", "--offset", "9"], "[]", id="rows-offset-past-end"),
        pytest.param(["select", "city, 1"],
                     '[{"city":"Zürich","name":"Ann"},{"city":"Oslo","name":"bob"},{"city":"東京","name":"Carl"}]',
                     id="select-name-and-number"),
        pytest.param(["select", "age,age"],
                     '[{"age":"34","age_2":"34"},{"age":"27","age_2":"27"},{"age":"","age_2":""}]',
                     id="select-repeated"),
        pytest.param(["search", "name", "B"], "[]", id="search-case-sensitive"),
        pytest.param(["search", "name", "B", "-i"], '[{"name":"bob","age":"27","city":"Oslo"}]', id="search-i"),
        pytest.param(["search", "--ignore-case", "name", "B"], '[{"name":"bob","age":"27","city":"Oslo"}]',
                     id="search-ignore-case"),
        pytest.param(["search", "city", "ü"], '[{"name":"Ann","age":"34","city":"Zürich"}]', id="search-utf8"),
        pytest.param(["search", "3", "東"], '[{"name":"Carl","age":"","city":"東京"}]', id="search-col-number"),
        pytest.param(["sort", "age"],
                     '[{"name":"Carl","age":"","city":"東京"},{"name":"bob","age":"27","city":"Oslo"},'
                     '{"name":"Ann","age":"34","city":"Zürich"}]', id="sort"),
        pytest.param(["sort", "age", "--desc"],
                     '[{"name":"Ann","age":"34","city":"Zürich"},{"name":"bob","age":"27","city":"Oslo"},'
                     '{"name":"Carl","age":"","city":"東京"}]', id="sort-desc"),
        pytest.param(["stats"],
                     '{"row_count":3,"col_count":3,"columns":['
                     '{"name":"name","count":3,"nulls":0,"unique":3,"numeric":false},'
                     '{"name":"age","count":2,"nulls":1,"unique":3,"numeric":true,"min":27.0,"max":34.0,"mean":30.5},'
                     '{"name":"city","count":3,"nulls":0,"unique":3,"numeric":false}]}', id="stats"),
        pytest.param(["warnings"],
                     '{"count":0,"ragged":0,"blank":0,"unterminated_quote":false,"truncated_utf16":false,'
                     '"expected_cols":3,"first":null,"samples":[]}', id="warnings"),
        pytest.param(["count"], '{"rows":3,"columns":3,"warnings":0}', id="count"),
    ],
)
def test_command_prints_the_library_json_on_one_line(tool, people, args, expected):
    cmd, *rest = args
    assert ok(tool, cmd, people, *rest) == expected + "\n"


def test_options_may_come_first_and_double_dash_ends_them(tool, tmp_path):
    path = write_table(tmp_path / "dash.csv", [["k", "v"], ["-x", "1"], ["y", "2"]])
    assert ok(tool, "search", "-i", "--", path, "k", "-X") == '[{"k":"-x","v":"1"}]\n'


def test_no_header_names_columns_by_number(tool, people):
    assert ok(tool, "headers", "--no-header", people) == '["1","2","3"]\n'
    assert ok(tool, "count", people, "--no-header") == '{"rows":4,"columns":3,"warnings":0}\n'
    assert ok(tool, "select", "--no-header", people, "3") == (
        '[{"3":"city"},{"3":"Zürich"},{"3":"Oslo"},{"3":"東京"}]\n')


# ---- loading options --------------------------------------------------------------

@pytest.mark.parametrize(
    "delimiter, encoding, bom, options",
    [
        pytest.param(",", "utf-8", b"", [], id="utf8-comma-detected"),
        pytest.param(",", "utf-8", b"\xef\xbb\xbf", ["--encoding", "utf-8"], id="utf8-bom-named"),
        pytest.param(";", "utf-16-le", b"\xff\xfe", [], id="utf16le-bom-semicolon-detected"),
        pytest.param(";", "utf-16-le", b"\xff\xfe", ["--delimiter", ";"], id="semicolon-named"),
        pytest.param("\t", "utf-16-be", b"", ["--encoding", "utf-16be", "--delimiter", "tab"], id="utf16be-tab"),
        pytest.param("|", "utf-16-le", b"", ["--encoding=UTF-16LE", "--delimiter=|"], id="utf16le-pipe"),
        pytest.param("\t", "utf-8", b"", ["--delimiter", "auto", "--encoding", "auto"], id="tab-detected"),
        pytest.param("#", "utf-8", b"", ["--delimiter", "#"], id="any-byte"),
        pytest.param(",", "utf-8", b"", ["--delimiter", ","], id="comma-named"),
    ],
)
def test_loading_options_give_the_same_table(tool, tmp_path, delimiter, encoding, bom, options):
    path = write_table(tmp_path / "t.csv", PEOPLE_ROWS, delimiter, encoding, bom, "\r\n")
    assert ok(tool, "rows", path, *options) == PEOPLE_JSON + "\n"


def test_wrong_delimiter_keeps_lines_whole(tool, people):
    assert ok(tool, "headers", people, "--delimiter", ";") == '["name,age,city"]\n'


def test_sample_file_loads_as_documented(tool):
    assert ok(tool, "count", SAMPLE) == '{"rows":7,"columns":5,"warnings":1}\n'
    assert ok(tool, "headers", SAMPLE) == '["city","country","population","area_km2","note"]\n'
    assert ok(tool, "warnings", SAMPLE) == (
        '{"count":1,"ragged":1,"blank":0,"unterminated_quote":false,"truncated_utf16":false,'
        '"expected_cols":5,"first":{"kind":"ragged","row":7,"expected":5,"actual":4},'
        '"samples":[{"kind":"ragged","row":7,"expected":5,"actual":4}]}\n')
    assert ok(tool, "search", SAMPLE, "note", ";") == (
        '[{"city":"Kraków","country":"Poland","population":"804000","area_km2":"326.85",'
        '"note":"old town; UNESCO site"}]\n')


# ---- --pretty ---------------------------------------------------------------------

def pairs(text: str):
    """Parses JSON keeping every object member, repeated keys included."""
    return json.loads(text, object_pairs_hook=list)


@pytest.mark.parametrize("args", [
    ["headers"], ["rows"], ["select", "city,age"], ["search", "name", "zzz"], ["sort", "name"],
    ["stats"], ["warnings"], ["count"],
], ids=lambda a: "-".join(a).replace(",", "_"))
def test_pretty_is_the_same_json_indented(tool, people, args):
    cmd, *rest = args
    compact = ok(tool, cmd, people, *rest)
    pretty = ok(tool, cmd, people, *rest, "--pretty")
    assert pairs(pretty) == pairs(compact)
    # Python writes the same layout: two spaces per level, ": " after keys,
    # empty containers kept on one line.
    assert pretty == json.dumps(json.loads(compact), indent=2, ensure_ascii=False) + "\n"


def test_pretty_exact_layout(tool, people):
    assert ok(tool, "count", people, "--pretty") == '{\n  "rows": 3,\n  "columns": 3,\n  "warnings": 0\n}\n'
    assert ok(tool, "rows", people, "--limit", "0", "--pretty") == "[]\n"
    assert ok(tool, "warnings", people, "--pretty").endswith('  "first": null,\n  "samples": []\n}\n')


def test_pretty_leaves_strings_alone(tool, tmp_path):
    # Brackets, commas, colons, escaped quotes and backslashes inside strings
    # must not be taken for structure.
    path = tmp_path / "tricky.csv"
    path.write_bytes(b'k,v\n"a ""q"" {x}, [y]: \\",2\n"line\nbreak\ttab",3\n')
    compact = ok(tool, "rows", path)
    pretty = ok(tool, "rows", path, "--pretty")
    assert pairs(pretty) == pairs(compact) == [
        [("k", 'a "q" {x}, [y]: \\'), ("v", "2")],
        [("k", "line\nbreak\ttab"), ("v", "3")],
    ]
    assert '"k": "a \\"q\\" {x}, [y]: \\\\",' in pretty


# ---- --table ----------------------------------------------------------------------

def test_rows_table_aligns_by_terminal_columns(tool, people):
    assert ok(tool, "rows", people, "--table") == (
        "name  age  city\n"
        "----  ---  ------\n"
        "Ann    34  Zürich\n"
        "bob    27  Oslo\n"
        "Carl       東京\n"
        "(3 rows)\n")


def test_table_of_sample(tool):
    assert ok(tool, "rows", SAMPLE, "--table") == (
        "city       country      population  area_km2  note\n"
        "---------  -----------  ----------  --------  ---------------------------------------\n"
        "Zürich     Switzerland      423000     87.88\n"
        "São Paulo  Brazil         11450000   1521.11  largest city of the southern hemisphere\n"
        "Kraków     Poland           804000    326.85  old town; UNESCO site\n"
        "東京       Japan          14050000   2194.07  capital\n"
        "Reykjavík  Iceland          140000       273  northernmost capital\n"
        "Malmö      Sweden           358000     158.4\n"
        "Québec     Canada           550000    485.77\n"
        "(7 rows)\n")


def test_stats_table(tool):
    assert ok(tool, "stats", SAMPLE, "--table") == (
        "7 rows, 5 columns\n"
        "\n"
        "column      count  nulls  unique  numeric     min       max          mean\n"
        "----------  -----  -----  ------  -------  ------  --------  ------------\n"
        "city            7      0       7  no\n"
        "country         7      0       7  no\n"
        "population      7      0       7  yes      140000  14050000  3967857.1429\n"
        "area_km2        7      0       7  yes       87.88   2194.07      721.0114\n"
        "note            4      3       5  no\n")


def test_warnings_table(tool):
    assert ok(tool, "warnings", SAMPLE, "--table") == (
        "warnings            1\n"
        "ragged records      1\n"
        "blank lines         0\n"
        "unterminated quote  no\n"
        "truncated UTF-16    no\n"
        "expected columns    5\n"
        "\n"
        "kind    record  expected  actual\n"
        "------  ------  --------  ------\n"
        "ragged       7         5       4\n")


def test_warnings_table_names_the_unterminated_record(tool, tmp_path):
    path = tmp_path / "bad.csv"
    path.write_bytes(b'a,b,c\n1,2\n\n4,5,6,7\n"x,y\n')
    out = ok(tool, "warnings", path, "--table")
    assert "warnings            4\n" in out
    assert "unterminated quote  yes (record 5)\n" in out
    assert out.endswith(
        "kind                record  expected  actual\n"
        "------------------  ------  --------  ------\n"
        "ragged                   2         3       2\n"
        "blank                    3         3       1\n"
        "ragged                   4         3       4\n"
        "unterminated_quote       5         3       0\n")


def test_count_and_headers_tables(tool, people):
    assert ok(tool, "count", people, "--table") == "rows      3\ncolumns   3\nwarnings  0\n"
    assert ok(tool, "headers", people, "--table") == "#  column\n-  ------\n1  name\n2  age\n3  city\n"


def test_table_cuts_wide_cells_with_an_ellipsis(tool, people):
    assert ok(tool, "rows", people, "--table", "--max-width", "3") == (
        "na…  age  ci…\n"
        "---  ---  ---\n"
        "Ann   34  Zü…\n"
        "bob   27  Os…\n"
        "Ca…       東…\n"
        "(3 rows)\n")


@pytest.mark.parametrize("width, cell", [
    ("0", "東京東京東京東京"), ("16", "東京東京東京東京"), ("15", "東京東京東京東…"),
    ("14", "東京東京東京…"), ("13", "東京東京東京…"), ("2", "…"),
], ids=lambda v: v if v.isdigit() else "")
def test_ellipsis_never_splits_a_wide_character(tool, tmp_path, width, cell):
    path = write_table(tmp_path / "w.csv", [["c"], ["東京東京東京東京"]])
    out = ok(tool, "rows", path, "--table", "--max-width", width)
    assert out.splitlines()[2] == cell


def test_combining_marks_take_no_column(tool, tmp_path):
    # "e" followed by U+0301 is one character on the screen.
    path = write_table(tmp_path / "nfd.csv", [["word", "n"], ["e\u0301te\u0301", "1"], ["summer", "2"]])
    assert ok(tool, "rows", path, "--table") == (
        "word    n\n"
        "------  -\n"
        "e\u0301te\u0301     1\n"
        "summer  2\n"
        "(2 rows)\n")


def test_table_shows_control_characters_as_escapes(tool, tmp_path):
    path = tmp_path / "ctl.csv"
    path.write_bytes(b'k\n"a\nb\tc\x1b[31md\x7f"\n')
    assert ok(tool, "rows", path, "--table", "--max-width", "0").splitlines()[2] == r"a\nb\tc\x1B[31md\x7F"


def test_table_keeps_repeated_columns(tool, tmp_path):
    path = write_table(tmp_path / "dup.csv", [["a", "a"], ["1", "x"]])
    assert ok(tool, "rows", path, "--table") == "a  a_2\n-  ---\n1  x\n(1 row)\n"


# ---- repeated column names ------------------------------------------------------------

# Headers where a plain NAME_2 would collide with a name the file has.
REPEATED = [["a", "a", "a_2", "b", "a", "b"], ["1", "2", "3", "4", "5", "6"], ["7", "8", "9", "10", "11", "12"]]
REPEATED_KEYS = ["a", "a_3", "a_2", "b", "a_4", "b_2"]


@pytest.mark.parametrize("args", [
    ["rows"], ["rows", "--offset", "1"], ["sort", "#4", "--desc"], ["search", "#1", ""], ["select", "#1,#2,#3,#4,#5,#6"],
], ids=["rows", "rows-offset", "sort", "search", "select"])
def test_repeated_names_get_a_number_in_json_and_ndjson(tool, tmp_path, args):
    path = write_table(tmp_path / "rep.csv", REPEATED)
    cmd, *rest = args
    json_rows = json.loads(ok(tool, cmd, path, *rest), object_pairs_hook=list)
    ndjson_rows = [json.loads(line, object_pairs_hook=list) for line in ok(tool, cmd, path, *rest, "--format", "ndjson").splitlines()]
    pretty_rows = json.loads(ok(tool, cmd, path, *rest, "--pretty"), object_pairs_hook=list)
    assert json_rows == ndjson_rows == pretty_rows
    assert json_rows, "no rows"
    for row in json_rows:
        assert [k for k, _ in row] == REPEATED_KEYS
    # Every cell is there, in column order: nothing lost to a repeated key.
    by_row = {tuple(v for _, v in row) for row in json_rows}
    assert by_row <= {tuple(r) for r in REPEATED[1:]}


def test_repeated_names_in_csv_and_table_headers(tool, tmp_path):
    path = write_table(tmp_path / "rep.csv", REPEATED)
    assert ok(tool, "rows", path, "--format", "csv").splitlines()[0] == ",".join(REPEATED_KEYS)
    assert ok(tool, "rows", path, "--format", "tsv").splitlines()[0] == "\t".join(REPEATED_KEYS)
    assert ok(tool, "rows", path, "--table").splitlines()[0].split() == REPEATED_KEYS
    # No rows: the names of the heading are made unique the same way.
    empty = write_table(tmp_path / "rep-empty.csv", REPEATED[:1])
    assert ok(tool, "rows", empty, "--format", "csv") == ",".join(REPEATED_KEYS) + "\n"
    assert ok(tool, "select", empty, "b,b", "--table").splitlines()[0].split() == ["b", "b_2"]
    assert ok(tool, "select", empty, "b,b") == "[]\n"


def test_repeated_names_stay_in_headers_and_name_their_first_column(tool, tmp_path):
    path = write_table(tmp_path / "rep.csv", REPEATED)
    assert json.loads(ok(tool, "headers", path)) == REPEATED[0]
    assert ok(tool, "select", path, "a_2") == '[{"a_2":"3"},{"a_2":"9"}]\n'
    assert ok(tool, "select", path, "a", "--format", "csv") == "a\n1\n7\n"


def test_help_and_man_page_say_how_repeated_names_are_shown(tool):
    for text in [ok(tool, "--help"), *(ok(tool, cmd, "--help") for cmd in ("rows", "select", "search", "sort"))]:
        assert "NAME_2, NAME_3" in " ".join(text.split())
    assert "NAME_2" not in ok(tool, "stats", "--help")
    assert "NAME_2, NAME_3" in " ".join(man_text().split())


@pytest.mark.parametrize("args, heading", [
    (["search", "{f}", "name", "nobody"], "name  age  city\n----  ---  ----\n"),
    (["sort", "{e}", "age"], "name  age  city\n----  ---  ----\n"),
    (["rows", "{f}", "--offset", "9"], "name  age  city\n----  ---  ----\n"),
    (["select", "{e}", "city, #1,2"], "city  name  age\n----  ----  ---\n"),
], ids=["search", "sort-no-rows", "rows-past-end", "select-no-rows"])
def test_table_of_empty_answer_keeps_its_header(tool, people, tmp_path, args, heading):
    empty = write_table(tmp_path / "empty.csv", [PEOPLE_ROWS[0]])
    subst = {"f": people, "e": empty}
    assert ok(tool, *[a.format(**subst) for a in args], "--table") == heading + "(0 rows)\n"


# ---- errors and exit status -------------------------------------------------------

@pytest.mark.parametrize(
    "args, message",
    [
        pytest.param(["select", "{f}", "nope"], "unknown column: nope", id="select-unknown-column"),
        pytest.param(["search", "{f}", "nope", "x"], "unknown column: nope", id="search-unknown-column"),
        pytest.param(["sort", "{f}", "9"], "unknown column: 9", id="sort-column-number-too-big"),
        pytest.param(["select", "{f}", " , "], "no columns selected", id="select-nothing"),
        pytest.param(["rows", "{missing}"], "cannot open file: {missing} (No such file or directory)",
                     id="missing-file"),
        pytest.param(["stats", "{dir}"], None, id="directory"),
    ],
)
def test_library_errors_exit_1(tool, people, tmp_path, args, message):
    subst = {"f": people, "missing": tmp_path / "missing.csv", "dir": tmp_path}
    r = run(tool, *[a.format(**subst) for a in args])
    assert r.returncode == 1
    assert r.stdout == b""
    err = r.stderr.decode()
    assert err.startswith("velmora-csv: ") and err.endswith("\n") and err.count("\n") == 1
    if message is not None:
        assert err == "velmora-csv: " + message.format(**subst) + "\n"


USAGE_ERRORS = [
    pytest.param([], "no command given", id="no-command"),
    pytest.param(["frob", "{f}"], "unknown command: frob", id="unknown-command"),
    pytest.param(["--frob"], "unknown option: --frob", id="unknown-leading-option"),
    pytest.param(["rows"], "no file given", id="no-file"),
    pytest.param(["rows", "{f}", "extra"], "too many arguments for rows", id="too-many"),
    pytest.param(["search", "{f}", "name"], "too few arguments for search", id="too-few"),
    pytest.param(["rows", "{f}", "--delimiter", "ab"],
                 "invalid delimiter: 'ab' (use auto, tab, or one byte such as , ; |)", id="delimiter-two-bytes"),
    pytest.param(["rows", "{f}", "--delimiter="],
                 "invalid delimiter: '' (use auto, tab, or one byte such as , ; |)", id="delimiter-empty"),
    pytest.param(["rows", "{f}", "--delimiter", "§"],
                 "invalid delimiter: '§' (use auto, tab, or one byte such as , ; |)", id="delimiter-multibyte"),
    pytest.param(["rows", "{f}", "--delimiter"], "option --delimiter needs a value", id="delimiter-missing"),
    pytest.param(["rows", "{f}", "--encoding="],
                 "invalid encoding: '' (use auto, utf-8, utf-16le, utf-16be or an iconv name)", id="empty-encoding"),
    pytest.param(["rows", "{f}", "--encoding", "utf 8"],
                 "invalid encoding: 'utf 8' (use auto, utf-8, utf-16le, utf-16be or an iconv name)",
                 id="encoding-with-space"),
    pytest.param(["rows", "{f}", "--format", "xml"],
                 "invalid format: 'xml' (use json, ndjson, csv, tsv or table)", id="bad-format"),
    pytest.param(["rows", "{f}", "--format"], "option --format needs a value", id="format-missing"),
    pytest.param(["rows", "{f}", "--format", "csv", "--table"], "--format csv and --table exclude each other",
                 id="format-and-table"),
    pytest.param(["rows", "{f}", "--pretty", "--format=ndjson"], "--pretty and --format ndjson exclude each other",
                 id="pretty-and-format"),
    pytest.param(["rows", "{f}", "--format", "csv", "--max-width", "5"], "--max-width needs --table",
                 id="max-width-csv"),
    pytest.param(["warnings", "{f}", "--format", "csv"],
                 "warnings cannot be written as csv (use json, ndjson or table)", id="warnings-csv"),
    pytest.param(["info", "{f}", "extra"], "too many arguments for info", id="info-extra"),
    pytest.param(["rows", "{f}", "--offset", "-1"],
                 "option --offset needs a whole number from 0 to 2147483647, not '-1'", id="negative-offset"),
    pytest.param(["rows", "{f}", "--limit", "2147483648"],
                 "option --limit needs a whole number from 0 to 2147483647, not '2147483648'", id="limit-too-big"),
    pytest.param(["rows", "{f}", "--limit", "1x"],
                 "option --limit needs a whole number from 0 to 2147483647, not '1x'", id="limit-not-number"),
    pytest.param(["headers", "{f}", "--limit", "1"], "option --limit does not apply to headers", id="limit-headers"),
    pytest.param(["rows", "{f}", "-i"], "option -i does not apply to rows", id="i-rows"),
    pytest.param(["search", "{f}", "a", "b", "--desc"], "option --desc does not apply to search", id="desc-search"),
    pytest.param(["rows", "{f}", "--pretty", "--table"], "--pretty and --table exclude each other", id="two-outputs"),
    pytest.param(["rows", "{f}", "--max-width", "5"], "--max-width needs --table", id="max-width-alone"),
    pytest.param(["rows", "{f}", "--table", "--max-width", "w"],
                 "option --max-width needs a whole number from 0 to 2147483647, not 'w'", id="max-width-bad"),
    pytest.param(["rows", "{f}", "--pretty=yes"], "option --pretty takes no value", id="flag-with-value"),
    pytest.param(["rows", "{f}", "--bogus"], "unknown option: --bogus", id="unknown-option"),
    pytest.param(["help", "frob"], "unknown command: frob", id="help-unknown"),
]


@pytest.mark.parametrize("args, message", USAGE_ERRORS)
def test_usage_errors_exit_2_with_usage(tool, people, args, message):
    r = run(tool, *[a.format(f=people) for a in args])
    assert r.returncode == 2
    assert r.stdout == b""
    err = r.stderr.decode()
    first, rest = err.split("\n", 1)
    assert first == "velmora-csv: " + message
    assert rest.startswith("usage: velmora-csv ")
    if len(args) > 0 and args[0] in ("rows", "search", "headers"):
        assert rest.startswith(f"usage: velmora-csv {args[0]} [OPTIONS] FILE")


def test_bad_delimiter_is_refused_before_the_file_is_read(tool, tmp_path):
    r = run(tool, "rows", tmp_path / "missing.csv", "--delimiter", "ab")
    assert r.returncode == 2


# ---- help and version -------------------------------------------------------------

COMMANDS = ["headers", "rows", "select", "search", "sort", "stats", "warnings", "count", "info"]


@pytest.mark.parametrize("args", [["--help"], ["-h"], ["help"]], ids=["--help", "-h", "help"])
def test_tool_help(tool, args):
    out = ok(tool, *args)
    assert out.startswith("usage: velmora-csv COMMAND [OPTIONS] FILE [ARGUMENTS]\n")
    for cmd in COMMANDS:
        assert re.search(rf"^  {cmd} FILE", out, re.M), cmd
    for option in ["--no-header", "--delimiter", "--encoding", "--format", "--pretty", "--table", "--version",
                   "130", "#N", "'-' is standard input"]:
        assert option in out


@pytest.mark.parametrize("cmd", COMMANDS)
def test_command_help(tool, people, cmd):
    operands = {"select": " COLS", "search": " COL QUERY", "sort": " COL"}.get(cmd, "")
    out = ok(tool, cmd, "--help")
    assert out.startswith(f"usage: velmora-csv {cmd} [OPTIONS] FILE{operands}\n\n")
    assert "--no-header" in out and "--table" in out
    assert ok(tool, "help", cmd) == out
    # --help wins over everything else on the line, even a missing file.
    assert ok(tool, cmd, "/nonexistent", "-h") == out


def test_command_help_lists_its_own_options(tool):
    assert "--offset N" in ok(tool, "rows", "--help")
    assert "--ignore-case" in ok(tool, "search", "--help")
    assert "--desc" in ok(tool, "sort", "--help")
    assert "--desc" not in ok(tool, "rows", "--help")


@pytest.mark.parametrize("flag", ["--version", "-V"])
def test_version(tool, flag):
    assert re.fullmatch(r"velmora-csv \d+\.\d+\.\d+\n", ok(tool, flag))


# ---- progress and Ctrl-C ----------------------------------------------------------

@pytest.fixture(scope="session")
def big_file(tmp_path_factory) -> Path:
    # Large enough that the library reports progress several times
    # (every 1,000,000 rows) before the end.
    path = tmp_path_factory.mktemp("big") / "big.csv"
    path.write_bytes(b"a,b\n" + b"1,2\n" * BIG_ROWS)
    return path


def run_on_terminal(tool: str, args: list, interrupt_after: bytes | None = None, stdin=None):
    """Runs the tool with standard error on a pseudo-terminal; sends SIGINT
    once `interrupt_after` has appeared there. Returns (status, stdout,
    terminal output)."""
    master, slave = pty.openpty()
    proc = subprocess.Popen([tool, *map(str, args)], stdin=stdin, stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    seen, sent = b"", False
    deadline = time.monotonic() + 60
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.5)
            if not ready:
                if proc.poll() is not None:
                    break
                continue
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the tool has closed the terminal's last writer
                break
            if not chunk:
                break
            seen += chunk
            if interrupt_after is not None and not sent and interrupt_after in seen:
                proc.send_signal(signal.SIGINT)
                sent = True
        out, _ = proc.communicate(timeout=60)
    finally:
        os.close(master)
        if proc.poll() is None:
            proc.kill()
    return proc.returncode, out, seen


def test_progress_bar_on_a_terminal(tool, big_file):
    status, out, term = run_on_terminal(tool, ["count", big_file])
    assert status == 0
    assert out == b'{"rows":5000000,"columns":2,"warnings":0}\n'
    text = term.decode()
    assert re.search(r"loading big\.csv +20% \[#+\.+\] +[0-9.]+ MB/s  1,000,000 rows", text)
    assert "100% [########################]" in text and "5,000,000 rows" in text
    assert text.endswith("\r\x1b[K")  # the bar is wiped once the file is loaded


def test_progress_bar_of_a_pipe_shows_megabytes_read(tool, big_file):
    cat = subprocess.Popen(["cat", big_file], stdout=subprocess.PIPE)
    try:
        status, out, term = run_on_terminal(tool, ["count", "-"], stdin=cat.stdout)
    finally:
        cat.stdout.close()
        cat.wait(timeout=60)
    assert status == 0
    assert out == b'{"rows":5000000,"columns":2,"warnings":0}\n'
    text = term.decode()
    assert re.search(r"loading standard input +[0-9.]+ MB read +[0-9.]+ MB/s  [0-9,]+ rows", text) or \
        re.search(r"loading standard input +[0-9]+% ", text)
    assert text.endswith("\r\x1b[K")


def test_no_progress_bar_when_stderr_is_not_a_terminal(tool, big_file):
    r = run(tool, "count", big_file)
    assert r.returncode == 0 and r.stderr == b""


def test_no_progress_bar_for_a_small_file_on_a_terminal(tool, people):
    status, out, term = run_on_terminal(tool, ["count", people])
    assert status == 0 and term == b""


def test_ctrl_c_on_a_terminal_cancels_the_load(tool, big_file):
    status, out, term = run_on_terminal(tool, ["count", big_file], interrupt_after=b"1,000,000 rows")
    assert status == 130
    assert out == b""
    assert term.decode().endswith("\r\x1b[Kvelmora-csv: interrupted\r\n")


def sigint_caught(pid: int) -> bool:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("SigCgt:"):
                return bool(int(line.split()[1], 16) & (1 << (signal.SIGINT - 1)))
    return False


def test_sigint_cancels_the_load_without_a_terminal(tool, big_file):
    proc = subprocess.Popen([tool, "rows", big_file], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        # The handler is set just before the load starts; the load of 5,000,000
        # rows takes far longer than this wait.
        deadline = time.monotonic() + 30
        while not sigint_caught(proc.pid) and time.monotonic() < deadline:
            time.sleep(0.0005)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 130
    assert out == b""
    assert err == b"velmora-csv: interrupted\n"


def test_ignored_sigint_stays_ignored(tool, big_file):
    # A background job started with SIGINT ignored must not start catching it.
    proc = subprocess.Popen([tool, "count", big_file], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0 and err == b""
    assert out == b'{"rows":5000000,"columns":2,"warnings":0}\n'


# ---- standard input, streams and gzip ---------------------------------------------

def feed(tool: str, data: bytes, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([tool, *map(str, args)], input=data, capture_output=True, timeout=60)


@pytest.mark.parametrize("args, expected", [
    (["rows", "-"], PEOPLE_JSON),
    (["count", "-"], '{"rows":3,"columns":3,"warnings":0}'),
    (["search", "-", "city", "O"], '[{"name":"bob","age":"27","city":"Oslo"}]'),
    (["headers", "--no-header", "-"], '["1","2","3"]'),
], ids=["rows", "count", "search", "no-header"])
def test_dash_reads_standard_input(tool, people, args, expected):
    r = feed(tool, people.read_bytes(), *args)
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    assert r.stdout.decode() == expected + "\n"


def test_shell_pipe_into_dash(tool, people):
    r = subprocess.run(f"cat '{people}' | '{tool}' rows - --format csv", shell=True, capture_output=True,
                       timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.decode() == "name,age,city\nAnn,34,Zürich\nbob,27,Oslo\nCarl,,東京\n"


def test_utf16_on_standard_input(tool):
    data = b"\xff\xfe" + "".join(";".join(r) + "\r\n" for r in PEOPLE_ROWS).encode("utf-16-le")
    assert feed(tool, data, "rows", "-").stdout.decode() == PEOPLE_JSON + "\n"


@pytest.mark.parametrize("via", ["file", "stdin"])
def test_gzip_is_inflated(tool, people, tmp_path, via):
    packed = gzip.compress(people.read_bytes())
    if via == "file":
        path = tmp_path / "people.csv.gz"
        path.write_bytes(packed)
        r = run(tool, "rows", path)
    else:
        r = feed(tool, packed, "rows", "-")
    assert r.returncode == 0, r.stderr.decode(errors="replace")
    assert r.stdout.decode() == PEOPLE_JSON + "\n"


def test_missing_standard_input_data_gives_an_empty_table(tool):
    r = feed(tool, b"", "count", "-")
    assert r.returncode == 0
    assert r.stdout == b'{"rows":0,"columns":0,"warnings":0}\n'


# ---- --format -----------------------------------------------------------------------

@pytest.mark.parametrize("args, fmt, expected", [
    (["rows"], "ndjson",
     '{"name":"Ann","age":"34","city":"Zürich"}\n{"name":"bob","age":"27","city":"Oslo"}\n'
     '{"name":"Carl","age":"","city":"東京"}\n'),
    (["rows", "--offset", "1", "--limit", "1"], "ndjson", '{"name":"bob","age":"27","city":"Oslo"}\n'),
    (["rows", "--limit", "0"], "ndjson", ""),
    (["rows"], "csv", "name,age,city\nAnn,34,Zürich\nbob,27,Oslo\nCarl,,東京\n"),
    (["rows"], "tsv", "name\tage\tcity\nAnn\t34\tZürich\nbob\t27\tOslo\nCarl\t\t東京\n"),
    (["rows", "--limit", "0"], "csv", "name,age,city\n"),
    (["rows", "--no-header"], "csv", "name,age,city\nAnn,34,Zürich\nbob,27,Oslo\nCarl,,東京\n"),
    (["select", "city, age,city"], "csv", "city,age,city_2\nZürich,34,Zürich\nOslo,27,Oslo\n東京,,東京\n"),
    (["search", "name", "b", "-i"], "tsv", "name\tage\tcity\nbob\t27\tOslo\n"),
    (["search", "name", "nobody"], "csv", "name,age,city\n"),
    (["sort", "age", "--desc"], "ndjson",
     '{"name":"Ann","age":"34","city":"Zürich"}\n{"name":"bob","age":"27","city":"Oslo"}\n'
     '{"name":"Carl","age":"","city":"東京"}\n'),
    (["rows"], "table", "name  age  city\n----  ---  ------\nAnn    34  Zürich\nbob    27  Oslo\n"
                        "Carl       東京\n(3 rows)\n"),
    (["rows"], "json", PEOPLE_JSON + "\n"),
    (["headers"], "ndjson", '"name"\n"age"\n"city"\n'),
    (["headers"], "csv", "name,age,city\n"),
    (["count"], "csv", "rows,columns,warnings\n3,3,0\n"),
    (["count"], "tsv", "rows\tcolumns\twarnings\n3\t3\t0\n"),
    (["count"], "ndjson", '{"rows":3,"columns":3,"warnings":0}\n'),
    (["stats"], "csv", "column,count,nulls,unique,numeric,min,max,mean\nname,3,0,3,false,,,\n"
                       "age,2,1,3,true,27.0,34.0,30.5\ncity,3,0,3,false,,,\n"),
    (["stats"], "ndjson", '{"row_count":3,"col_count":3,"columns":['
                          '{"name":"name","count":3,"nulls":0,"unique":3,"numeric":false},'
                          '{"name":"age","count":2,"nulls":1,"unique":3,"numeric":true,"min":27.0,"max":34.0,'
                          '"mean":30.5},{"name":"city","count":3,"nulls":0,"unique":3,"numeric":false}]}\n'),
], ids=lambda v: v if isinstance(v, str) and len(v) < 8 else None)
def test_format(tool, people, args, fmt, expected):
    cmd, *rest = args
    assert ok(tool, cmd, people, *rest, "--format", fmt) == expected


def test_ndjson_lines_are_the_json_rows(tool):
    lines = ok(tool, "rows", SAMPLE, "--format", "ndjson").splitlines()
    assert [pairs(line) for line in lines] == pairs(ok(tool, "rows", SAMPLE))


def test_pretty_rows_of_many_pages_match_python(tool, tmp_path):
    path = write_table(tmp_path / "many.csv", [["n", "sq"]] + [[str(i), str(i * i)] for i in range(10000)])
    compact = ok(tool, "rows", path)
    assert ok(tool, "rows", path, "--pretty") == json.dumps(json.loads(compact), indent=2, ensure_ascii=False) + "\n"
    assert ok(tool, "rows", path, "--offset", "4095", "--limit", "4099", "--format", "ndjson").splitlines() == [
        json.dumps({"n": str(i), "sq": str(i * i)}, separators=(",", ":")) for i in range(4095, 8194)]
    table = ok(tool, "rows", path, "--table").splitlines()
    assert table[0] == "   n        sq" and table[-2] == "9999  99980001" and table[-1] == "(10000 rows)"


# Cells that need quoting and cells that do not, as the library's writer
# puts them: only the separator, a double quote, CR and LF cause quotes.
CSV_CELLS = [
    ("a,b", '"a,b"', "a,b"),
    ('say "hi"', '"say ""hi"""', '"say ""hi"""'),
    ("a;b", "a;b", "a;b"),
    ("a\tb", "a\tb", '"a\tb"'),
    ("two\nlines", '"two\nlines"', '"two\nlines"'),
    ("cr\rhere", '"cr\rhere"', '"cr\rhere"'),
    ("  padded  ", "  padded  ", "  padded  "),
    ("", "", ""),
    ("€ ü 東", "€ ü 東", "€ ü 東"),
]


@pytest.mark.parametrize("cell, as_csv, as_tsv", CSV_CELLS, ids=[repr(c[0]) for c in CSV_CELLS])
def test_csv_and_tsv_quote_only_where_needed(tool, tmp_path, cell, as_csv, as_tsv):
    quoted = '"' + cell.replace('"', '""') + '"'
    path = tmp_path / "q.csv"
    path.write_bytes(f"k,v\n{quoted},x\n".encode())
    assert ok(tool, "rows", path, "--format", "csv") == f"k,v\n{as_csv},x\n"
    assert ok(tool, "rows", path, "--format", "tsv") == f"k\tv\n{as_tsv}\tx\n"


def test_csv_output_of_a_utf16_semicolon_file_is_a_clean_comma_file(tool, tmp_path):
    rows = [["name", "note"], ["Zoë", "a,b"], ["東京", 'q"t'], ["x", "pipe|and tab\t"]]
    path = write_table(tmp_path / "u16.csv", rows, ";", "utf-16-le", b"\xff\xfe", "\r\n")
    out = run(tool, "rows", path, "--format", "csv").stdout
    assert out == 'name,note\nZoë,"a,b"\n東京,"q""t"\nx,pipe|and tab\t\n'.encode()
    again = tmp_path / "again.csv"
    again.write_bytes(out)
    assert ok(tool, "rows", again) == ok(tool, "rows", path)


def test_csv_output_repairs_invalid_utf8(tool, tmp_path):
    path = tmp_path / "bad.csv"
    path.write_bytes(b"k\ncaf\xe9\n")
    assert run(tool, "rows", path, "--format", "csv").stdout == "k\ncafé\n".encode()


# ---- #N column positions --------------------------------------------------------

@pytest.fixture
def numbered(tmp_path: Path) -> Path:
    # Headers that look like column numbers, one of them with leading zeros.
    return write_table(tmp_path / "numbered.csv", [["3", "03", "x", "3"], ["a", "b", "c", "d"], ["e", "f", "g", "h"]])


@pytest.mark.parametrize("args, expected", [
    (["select", "#3"], '[{"x":"c"},{"x":"g"}]'),
    (["select", "3"], '[{"3":"a"},{"3":"e"}]'),
    (["select", " #2 ,x, #1,#4"], '[{"03":"b","x":"c","3":"a","3_2":"d"},{"03":"f","x":"g","3":"e","3_2":"h"}]'),
    (["search", "#3", "g"], '[{"3":"e","03":"f","x":"g","3_2":"h"}]'),
    (["search", "#4", "d"], '[{"3":"a","03":"b","x":"c","3_2":"d"}]'),
    (["search", "3", "d"], "[]"),
    (["sort", "#2", "--desc"], '[{"3":"e","03":"f","x":"g","3_2":"h"},{"3":"a","03":"b","x":"c","3_2":"d"}]'),
], ids=["select-3", "select-name-3", "select-list", "search-3", "search-duplicate-name", "search-name-3",
        "sort-2"])
def test_hash_n_is_the_nth_column(tool, numbered, args, expected):
    cmd, *rest = args
    assert ok(tool, cmd, numbered, *rest) == expected + "\n"


def test_hash_n_with_generated_names(tool, people):
    assert ok(tool, "select", people, "#2", "--no-header", "--format", "csv") == "age\n34\n27\n\n"


@pytest.mark.parametrize("args, message", [
    (["select", "#5"], "unknown column: #5"),
    (["select", "x,#0"], "unknown column: #0"),
    (["search", "#99999999999999999999", "a"], "unknown column: #99999999999999999999"),
    (["sort", "#5"], "unknown column: #5"),
])
def test_hash_n_out_of_range(tool, numbered, args, message):
    cmd, *rest = args
    r = run(tool, cmd, numbered, *rest)
    assert r.returncode == 1 and r.stdout == b""
    assert r.stderr.decode() == f"velmora-csv: {message}\n"


def test_help_says_how_columns_are_resolved(tool):
    for cmd in ("select", "search", "sort"):
        out = ok(tool, cmd, "--help")
        assert "#N" in out and "header" in out and "number" in out


# ---- Ctrl-C on a stream that never ends ---------------------------------------------

def wait_for_handler(proc: subprocess.Popen) -> None:
    deadline = time.monotonic() + 30
    while not sigint_caught(proc.pid) and time.monotonic() < deadline:
        time.sleep(0.001)


@pytest.mark.parametrize("source", ["fifo", "stdin"])
def test_ctrl_c_while_a_stream_waits(tool, tmp_path, source):
    if source == "fifo":
        fifo = tmp_path / "never.csv"
        os.mkfifo(fifo)
        proc = subprocess.Popen([tool, "count", fifo], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        # Opened for reading too, so that the open never waits for the
        # tool; written to and never closed while the tool runs.
        writer = os.open(fifo, os.O_RDWR)
        os.write(writer, b"a,b\n1,2\n")
    else:
        proc = subprocess.Popen([tool, "count", "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        proc.stdin.write(b"a,b\n1,2\n")
        proc.stdin.flush()
        writer = None
    try:
        wait_for_handler(proc)
        time.sleep(0.2)  # the tool is now blocked reading
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        if writer is not None:
            os.close(writer)
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == 130
    assert out == b""
    assert err == b"velmora-csv: interrupted\n"


# ---- info ---------------------------------------------------------------------------

INFO_KEYS = ["encoding", "bom", "delimiter", "encoding_detected", "delimiter_detected", "compression",
             "file_size", "rows", "columns", "warnings", "replaced_bytes", "invalid_utf8_bytes"]


def test_info_of_the_sample(tool):
    info = pairs(ok(tool, "info", SAMPLE))
    assert [k for k, _ in info] == INFO_KEYS
    info = dict(info)
    assert info["encoding"] == "utf-16le" and info["bom"] is True
    assert info["delimiter"] == ";" and info["encoding_detected"] is True and info["delimiter_detected"] is True
    assert (info["rows"], info["columns"], info["warnings"]) == (7, 5, 1)
    assert info["file_size"] == SAMPLE.stat().st_size and info["compression"] == "none"


def test_info_pretty_and_table(tool):
    compact = ok(tool, "info", SAMPLE)
    assert ok(tool, "info", SAMPLE, "--pretty") == json.dumps(json.loads(compact), indent=2,
                                                              ensure_ascii=False) + "\n"
    table = ok(tool, "info", SAMPLE, "--table")
    assert table.startswith("encoding            utf-16le\nbom                 yes\ndelimiter           ;\n")
    assert "encoding_detected   yes\n" in table and "rows                7\n" in table


# ---- text that is not UTF-8 ------------------------------------------------------

CP1252_PRICES = "city;price\nK\u00f6ln;\u20ac5\nParis;\u201cfree\u201d\n".encode("cp1252")  # 4 bytes not UTF-8


@pytest.mark.parametrize("command", ["count", "info", "rows", "stats"])
def test_windows_1252_read_as_utf8_warns_once_and_still_succeeds(tool, tmp_path, command):
    path = tmp_path / "prices.csv"
    path.write_bytes(CP1252_PRICES)
    r = run(tool, command, path)
    assert r.returncode == 0
    assert r.stderr.decode() == (
        f"velmora-csv: warning: {path}: 4 bytes are not valid UTF-8; if the file is in another "
        "encoding, name it, e.g. --encoding windows-1252\n")
    if command == "info":
        info = json.loads(r.stdout)
        assert info["invalid_utf8_bytes"] == 4 and info["encoding"] == "utf-8" and info["replaced_bytes"] == 0
    if command == "rows":  # the loading rules are kept: each byte shown as its Latin-1 character
        assert json.loads(r.stdout)[0] == {"city": "K\u00f6ln", "price": "\u00805"}


def test_windows_1252_from_standard_input_warns_in_the_singular(tool):
    r = feed(tool, b"a\n\x80\n", "count", "-")
    assert r.returncode == 0 and json.loads(r.stdout)["rows"] == 1
    assert r.stderr.decode() == (
        "velmora-csv: warning: standard input: 1 byte is not valid UTF-8; if the file is in another "
        "encoding, name it, e.g. --encoding windows-1252\n")


@pytest.mark.parametrize("options", [["--encoding", "windows-1252"], ["--encoding", "cp1252"]])
def test_windows_1252_named_loads_quietly(tool, tmp_path, options):
    path = tmp_path / "prices.csv"
    path.write_bytes(CP1252_PRICES)
    assert json.loads(ok(tool, "rows", path, *options))[0] == {"city": "K\u00f6ln", "price": "\u20ac5"}
    assert json.loads(ok(tool, "info", path, *options))["invalid_utf8_bytes"] == 0


def test_valid_utf8_loads_quietly(tool, tmp_path):
    path = tmp_path / "u.csv"
    path.write_bytes(CP1252_PRICES.decode("cp1252").encode("utf-8"))
    assert json.loads(ok(tool, "info", path))["invalid_utf8_bytes"] == 0


@pytest.mark.parametrize("options, data, encoding, detected, delimiter", [
    ([], b"a,b\n1,2\n", "utf-8", True, ","),
    (["--encoding", "latin1", "--delimiter", "tab"], b"a\tb\n\xe9\t2\n", "latin1", False, "\\t"),
    (["--encoding", "utf-16be"], "a|b\n1|2\n".encode("utf-16-be"), "utf-16be", False, "|"),
])
def test_info_after_each_kind_of_load(tool, tmp_path, options, data, encoding, detected, delimiter):
    path = tmp_path / "i.csv"
    path.write_bytes(data)
    info = json.loads(ok(tool, "info", path, *options))
    assert info["encoding"] == encoding and info["encoding_detected"] is detected
    assert json.dumps(info["delimiter"])[1:-1] == delimiter
    assert info["file_size"] == len(data)


# ---- --encoding NAME ----------------------------------------------------------------

WINDOWS_1252 = b"item;price\n\x80 coin;5\n\x93quoted\x94;6\n"


@pytest.mark.parametrize("name", ["windows-1252", "WINDOWS-1252", "cp1252"])
def test_windows_1252_file_loads_into_the_right_characters(tool, tmp_path, name):
    path = tmp_path / "w.csv"
    path.write_bytes(WINDOWS_1252)
    assert ok(tool, "rows", path, "--encoding", name) == (
        '[{"item":"€ coin","price":"5"},{"item":"“quoted”","price":"6"}]\n')
    assert ok(tool, "rows", path, "--encoding=" + name, "--format", "csv") == "item,price\n€ coin,5\n“quoted”,6\n"


@pytest.mark.parametrize("name, data, cell", [
    ("shift_jis", "名前\n東京\n".encode("shift_jis"), "東京"),
    ("gb18030", "名\n北京\n".encode("gb18030"), "北京"),
    ("koi8-r", "имя\nМосква\n".encode("koi8-r"), "Москва"),
])
def test_other_encodings_by_name(tool, tmp_path, name, data, cell):
    path = tmp_path / "e.csv"
    path.write_bytes(data)
    assert json.loads(ok(tool, "rows", path, "--encoding", name))[0] == {data.decode(name).split("\n")[0]: cell}


def test_unknown_encoding_name_fails_naming_it(tool, people):
    r = run(tool, "rows", people, "--encoding", "no-such-code")
    assert r.returncode == 1 and r.stdout == b""
    assert "no-such-code" in r.stderr.decode()


# ---- statistics over nan and infinity -----------------------------------------------

def test_stats_table_shows_non_finite_values_empty(tool, tmp_path):
    path = write_table(tmp_path / "nan.csv", [["a", "b", "c"], ["1", "inf", "2"], ["nan", "-inf", "4"], ["3", "1", "6"]])
    stats = json.loads(ok(tool, "stats", path))
    a, b, c = stats["columns"]
    assert a["numeric"] is True and b["numeric"] is True
    assert c["min"] == 2.0 and c["mean"] == 4.0
    table = ok(tool, "stats", path, "--table").splitlines()
    assert table[2].split() == ["column", "count", "nulls", "unique", "numeric", "min", "max", "mean"]
    cells = {line.split()[0]: line.split()[1:] for line in table[4:]}
    assert cells["c"] == ["3", "0", "3", "yes", "2", "6", "4"]
    for column, value in (("a", a), ("b", b)):
        shown = [v for v in (value.get("min"), value.get("max"), value.get("mean")) if v is not None]
        assert cells[column][:4] == ["3", "0", "3", "yes"]
        assert len(cells[column]) == 4 + len(shown)  # nulls are empty


def test_stats_help_says_why_a_value_is_empty(tool):
    out = ok(tool, "stats", "--help")
    assert "nan" in out and "inf" in out and "empty" in out


# ---- man page and completion ----------------------------------------------------------

TOOLS = Path(__file__).resolve().parents[1]


def help_words(tool: str) -> set[str]:
    text = ok(tool, "--help") + "".join(ok(tool, cmd, "--help") for cmd in COMMANDS)
    return set(re.findall(r"(?<![\w-])(--?[a-zA-Z][a-z-]*)", text))


def man_text() -> str:
    roff = (TOOLS / "velmora-csv.1").read_text()
    return re.sub(r"\\f[BIRP]", "", roff).replace("\\-", "-")


def test_man_page_follows_the_help(tool):
    man = man_text()
    words = help_words(tool)
    assert {"--format", "--encoding", "--max-width", "-i", "-V"} <= words
    for word in words:
        assert re.search(rf"(?<![\w-]){re.escape(word)}(?![\w-])", man), f"{word} is missing from the man page"
    for word in set(re.findall(r"(?<![\w-])(--[a-z][a-z-]*)", man)):
        assert word in words, f"the man page names {word}, which --help does not"
    for cmd in COMMANDS:
        assert re.search(rf"^\\fB{cmd}\\fR", (TOOLS / "velmora-csv.1").read_text(), re.M), cmd
    version = ok(tool, "--version").split()[1]
    assert f'"velmora-csv {version}"' in (TOOLS / "velmora-csv.1").read_text()


def complete(line: str) -> list[str]:
    script = TOOLS / "velmora-csv.bash"
    words = line.split(" ")
    code = (f"source '{script}'; COMP_WORDS=({' '.join(repr(w) for w in words)}); "
            f"COMP_CWORD={len(words) - 1}; _velmora_csv; printf '%s\\n' \"${{COMPREPLY[@]}}\"")
    r = subprocess.run(["bash", "-c", code], capture_output=True, text=True, timeout=30)
    assert r.returncode == 0, r.stderr
    return r.stdout.split()


@pytest.mark.parametrize("line, expected", [
    ("velmora-csv s", ["select", "search", "sort", "stats"]),
    ("velmora-csv i", ["info"]),
    ("velmora-csv rows f.csv --f", ["--format"]),
    ("velmora-csv rows f.csv --format ", ["json", "ndjson", "csv", "tsv", "table"]),
    ("velmora-csv rows f.csv --o", ["--offset"]),
    ("velmora-csv search f.csv --ig", ["--ignore-case"]),
    ("velmora-csv sort f.csv --d", ["--delimiter", "--desc"]),
    ("velmora-csv rows f.csv --d", ["--delimiter"]),
    ("velmora-csv count f.csv --encoding windows", ["windows-1252"]),
    ("velmora-csv help w", ["warnings"]),
])
def test_bash_completion(line, expected):
    assert complete(line) == expected


def test_completion_knows_every_option_of_the_help(tool):
    script = (TOOLS / "velmora-csv.bash").read_text()
    for word in help_words(tool):
        assert re.search(rf"(?<![\w-]){re.escape(word)}(?![\w-])", script), word
    for cmd in COMMANDS:
        assert cmd in script


@pytest.mark.parametrize("fmt", ["json", "ndjson", "csv", "table"])
def test_a_full_disk_is_an_error(tool, people, fmt):
    with open("/dev/full", "wb") as full:
        r = subprocess.run([tool, "rows", people, "--format", fmt], stdout=full, stderr=subprocess.PIPE, timeout=60)
    assert r.returncode == 1
    assert r.stderr == b"velmora-csv: cannot write the output: No space left on device\n"
