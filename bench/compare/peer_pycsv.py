"""Python csv module peer: rows as lists of strings; answers that carry rows
built as lists of dicts and written with json.dumps (compact, UTF-8 kept)."""
import csv
import json
import sys

from peer_common import finish, parse_args, python_encoding, status_kb, timed


def load(o):
    with open(o["file"], newline="", encoding=python_encoding(o)) as f:
        r = csv.reader(f, delimiter=o["sep"])
        header = next(r)
        return header, list(r)


def to_json(header, rows):
    return json.dumps([dict(zip(header, r)) for r in rows], ensure_ascii=False,
                      separators=(",", ":"))


def as_float(s):
    try:
        return float(s)
    except ValueError:
        return None


def stats(header, rows):
    cols = []
    for i, name in enumerate(header):
        cells = [r[i] if i < len(r) else "" for r in rows]
        nonempty = [c for c in cells if c]
        vals = [as_float(c) for c in nonempty]
        numeric = bool(nonempty) and None not in vals
        entry = {"name": name, "count": len(nonempty), "nulls": len(cells) - len(nonempty),
                 "unique": len(set(cells)), "numeric": numeric}
        if numeric:
            entry.update(min=min(vals), max=max(vals), mean=sum(vals) / len(vals))
        cols.append(entry)
    return {"row_count": len(rows), "col_count": len(header), "columns": cols}


def main():
    o = parse_args(sys.argv)
    res = {"tool": "python-csv", "times": {}, "info": {}}
    res["rss_base_kb"] = status_kb("VmRSS")
    header, rows = timed(res, "load", lambda: load(o))
    res["rss_load_kb"] = status_kb("VmHWM")
    res["info"].update(rows=len(rows), cols=len(header))
    ops = o["op_list"]
    if "rows" in ops:
        j = timed(res, "rows", lambda: to_json(header, rows))
        res["info"]["rows_json_bytes"] = len(j.encode())
    if "search" in ops:
        ci = header.index(o["search_col"])
        q = o["query"]
        hits = []

        def search():
            m = [r for r in rows if q in r[ci]]
            hits.append(len(m))
            return to_json(header, m)
        j = timed(res, "search", search)
        res["info"].update(search_hits=hits[0], search_json_bytes=len(j.encode()))
    if "sort" in ops:
        ci = header.index(o["sort_col"])
        out = []

        def sort():
            # Empty cells first; sorted() is stable, so ties keep file order.
            s = sorted(rows, key=lambda r: (1, float(r[ci])) if r[ci] else (0, 0.0))
            out.append(s)
            return to_json(header, s)
        j = timed(res, "sort", sort)
        res["info"].update(sort_first=out[0][0][0], sort_last=out[0][-1][0],
                           sort_json_bytes=len(j.encode()))
    if "stats" in ops:
        res["info"]["stats"] = timed(res, "stats", lambda: stats(header, rows))
    finish(res)


if __name__ == "__main__":
    main()
