// Polars (nodejs-polars) peer: every column read as text, the answers that
// carry rows written as one JSON array of objects. They are written with
// writeJSON to a file in memory (/dev/shm): Polars' fastest way out for a
// JSON text, faster than writeJSON into a Node Buffer, which adds a copy.
'use strict';
const fs = require('fs');
const path = require('path');
const { parseArgs, statusKb, timed, scratchDir, finish, main } = require('./peer_common');

// Writes `df` as JSON to a fresh file in memory; returns its size in bytes.
// The file is removed once its size is known (outside the timer's reach of
// the caller only in that the removal follows the write).
function writeJson(df) {
  const file = path.join(scratchDir(), `polars-peer-${process.pid}.json`);
  df.writeJSON(file, { format: 'json' });
  const bytes = fs.statSync(file).size;
  fs.unlinkSync(file);
  return bytes;
}

main(async () => {
  const o = parseArgs(process.argv);
  // The thread pool size is read once, when the native module loads.
  process.env.POLARS_MAX_THREADS = o.threads;
  const pl = require('nodejs-polars');
  const res = { tool: 'polars', times: {}, info: {} };
  const readOpts = { inferSchemaLength: 0, missingIsNull: false, sep: o.sep, quoteChar: '"', hasHeader: true };

  res.rss_base_kb = statusKb('VmRSS');
  const df = await timed(res, 'load', () => {
    if (o.encoding === 'utf8') return pl.readCSV(o.file, readOpts);
    // No UTF-16 reader: decode to UTF-8 first, as a user would.
    const text = fs.readFileSync(o.file).toString('utf16le').replace(/^\uFEFF/, '');
    return pl.readCSV(Buffer.from(text, 'utf8'), readOpts);
  });
  res.rss_load_kb = statusKb('VmHWM');
  res.info.rows = df.height;
  res.info.cols = df.width;
  const first = df.columns[0];

  if (o.opList.includes('select')) {
    const cols = o.selectCols.split(',');
    res.info.select_json_bytes = await timed(res, 'select', () => writeJson(df.select(...cols)));
  }
  if (o.opList.includes('rows')) {
    res.info.rows_json_bytes = await timed(res, 'rows', () => writeJson(df));
  }
  if (o.opList.includes('rows2')) {
    await timed(res, 'rows2', () => writeJson(df));
  }
  if (o.opList.includes('search')) {
    let hits = 0;
    const j = await timed(res, 'search', () => {
      const m = df.filter(pl.col(o.searchCol).str.contains(o.query, true));
      hits = m.height;
      return writeJson(m);
    });
    res.info.search_hits = hits;
    res.info.search_json_bytes = j;
  }
  if (o.opList.includes('sort')) {
    let sorted = null;
    const j = await timed(res, 'sort', () => {
      sorted = df.sort({ by: pl.col(o.sortCol).cast(pl.Float64, false), nullsLast: false, maintainOrder: true });
      return writeJson(sorted);
    });
    res.info.sort_first = sorted.getColumn(first).get(0);
    res.info.sort_last = sorted.getColumn(first).get(sorted.height - 1);
    res.info.sort_json_bytes = j;
  }
  if (o.opList.includes('stats')) {
    res.info.stats = await timed(res, 'stats', () => {
      const exprs = [];
      df.columns.forEach((c, i) => {
        const col = pl.col(c);
        const f = col.cast(pl.Float64, false);
        exprs.push(
          col.neq(pl.lit('')).sum().alias(`${i}_count`),
          col.nUnique().alias(`${i}_unique`),
          f.count().alias(`${i}_nnum`),
          f.min().alias(`${i}_min`),
          f.max().alias(`${i}_max`),
          f.mean().alias(`${i}_mean`),
        );
      });
      const r = df.select(...exprs).toRecords()[0];
      const columns = df.columns.map((c, i) => {
        const count = Number(r[`${i}_count`]);
        const numeric = count > 0 && Number(r[`${i}_nnum`]) === count;
        const s = { name: c, count, nulls: df.height - count, unique: Number(r[`${i}_unique`]), numeric };
        if (numeric) Object.assign(s, { min: r[`${i}_min`], max: r[`${i}_max`], mean: r[`${i}_mean`] });
        return s;
      });
      return JSON.parse(JSON.stringify({ row_count: df.height, col_count: df.width, columns }));
    });
  }
  finish(res);
});
