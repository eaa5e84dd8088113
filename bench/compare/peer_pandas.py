"""pandas peer: every column read as str (no NA conversion); answers that
carry rows written with DataFrame.to_json(orient="records")."""
import sys

import numpy as np
import pandas as pd

from peer_common import finish, parse_args, python_encoding, status_kb, timed


def to_json(df):
    return df.to_json(orient="records", force_ascii=False)


def stats(df):
    cols = []
    n = len(df)
    for c in df.columns:
        s = df[c]
        nonempty = s != ""
        count = int(nonempty.sum())
        f = pd.to_numeric(s[nonempty], errors="coerce")
        numeric = count > 0 and int(f.notna().sum()) == count
        entry = {"name": c, "count": count, "nulls": n - count,
                 "unique": int(s.nunique()), "numeric": numeric}
        if numeric:
            entry.update(min=float(f.min()), max=float(f.max()), mean=float(f.mean()))
        cols.append(entry)
    return {"row_count": n, "col_count": len(df.columns), "columns": cols}


def main():
    o = parse_args(sys.argv)
    res = {"tool": "pandas", "times": {}, "info": {}}
    res["rss_base_kb"] = status_kb("VmRSS")
    df = timed(res, "load", lambda: pd.read_csv(
        o["file"], sep=o["sep"], dtype=str, keep_default_na=False, na_filter=False,
        encoding=python_encoding(o)))
    res["rss_load_kb"] = status_kb("VmHWM")
    res["info"].update(rows=len(df), cols=len(df.columns))
    first = df.columns[0]
    ops = o["op_list"]
    if "rows" in ops:
        j = timed(res, "rows", lambda: to_json(df))
        res["info"]["rows_json_bytes"] = len(j.encode())
    if "search" in ops:
        hits = []

        def search():
            m = df[df[o["search_col"]].str.contains(o["query"], regex=False)]
            hits.append(len(m))
            return to_json(m)
        j = timed(res, "search", search)
        res["info"].update(search_hits=hits[0], search_json_bytes=len(j.encode()))
    if "sort" in ops:
        out = []

        def sort():
            key = pd.to_numeric(df[o["sort_col"]].replace("", np.nan), errors="coerce")
            order = key.sort_values(kind="stable", na_position="first").index
            s = df.loc[order]
            out.append(s)
            return to_json(s)
        j = timed(res, "sort", sort)
        res["info"].update(sort_first=out[0][first].iloc[0], sort_last=out[0][first].iloc[-1],
                           sort_json_bytes=len(j.encode()))
    if "stats" in ops:
        res["info"]["stats"] = timed(res, "stats", lambda: stats(df))
    finish(res)


if __name__ == "__main__":
    main()
