#!/usr/bin/env python3
"""Writes cities.csv, the sample file of the examples and the demo.

It is the kind of file a spreadsheet exports on a Windows desktop in much of
Europe: UTF-16 little-endian with a byte order mark, semicolons between the
fields, CR LF line endings, names outside ASCII, numbers, a quoted field that
holds the delimiter, and one short (ragged) row. The figures are rounded and
only for illustration.

Run it from anywhere: python3 examples/data/make_sample.py
"""
from pathlib import Path

ROWS = [
    "city;country;population;area_km2;note",
    "Zürich;Switzerland;423000;87.88;",
    "São Paulo;Brazil;11450000;1521.11;largest city of the southern hemisphere",
    'Kraków;Poland;804000;326.85;"old town; UNESCO site"',
    "東京;Japan;14050000;2194.07;capital",
    "Reykjavík;Iceland;140000;273;northernmost capital",
    "Malmö;Sweden;358000;158.4",
    "Québec;Canada;550000;485.77;",
]


def main() -> None:
    text = "".join(row + "\r\n" for row in ROWS)
    out = Path(__file__).resolve().parent / "cities.csv"
    out.write_bytes(b"\xff\xfe" + text.encode("utf-16-le"))
    print(f"wrote {out} ({out.stat().st_size} bytes)")


if __name__ == "__main__":
    main()
