// DuckDB (@duckdb/node-api) peer: the file read into an in-memory table with
// every column as VARCHAR; answers that carry rows are written by DuckDB's
// JSON writer (COPY ... FORMAT JSON, ARRAY true) to a file in memory and
// read back into one Buffer, its fastest road to a JSON text in the host.
'use strict';
const fs = require('fs');
const path = require('path');
const { parseArgs, statusKb, timed, scratchDir, finish, main } = require('./peer_common');

const sqlStr = (s) => "'" + String(s).replace(/'/g, "''") + "'";
const ident = (s) => '"' + String(s).replace(/"/g, '""') + '"';

main(async () => {
  const o = parseArgs(process.argv);
  const { DuckDBInstance } = require('@duckdb/node-api');
  const res = { tool: 'duckdb', times: {}, info: {} };
  const inst = await DuckDBInstance.create(':memory:', { threads: String(o.threads) });
  const con = await inst.connect();
  const out = path.join(scratchDir(), `velmora-compare-duckdb-${process.pid}.json`);
  const jsonOf = async (select) => {
    try {
      await con.run(`COPY (${select}) TO ${sqlStr(out)} (FORMAT JSON, ARRAY true)`);
      return fs.readFileSync(out);
    } finally {
      fs.rmSync(out, { force: true });
    }
  };
  const one = async (sql) => (await con.runAndReadAll(sql)).getRows()[0];

  // nullstr: a byte that never occurs, so empty fields stay empty strings.
  const enc = o.encoding === 'utf8' ? '' : ", encoding='utf-16'";
  res.rss_base_kb = statusKb('VmRSS');
  await timed(res, 'load', () =>
    con.run(`CREATE TABLE t AS SELECT * FROM read_csv(${sqlStr(o.file)}, all_varchar=true, header=true, ` +
            `delim=${sqlStr(o.sep)}, quote='"', escape='"', nullstr='\u0001'${enc})`));
  res.rss_load_kb = statusKb('VmHWM');
  const cols = (await con.runAndReadAll('SELECT * FROM t LIMIT 0')).columnNames();
  res.info.rows = Number((await one('SELECT count(*) FROM t'))[0]);
  res.info.cols = cols.length;
  const first = ident(cols[0]);

  if (o.opList.includes('rows')) {
    const j = await timed(res, 'rows', () => jsonOf('SELECT * FROM t'));
    res.info.rows_json_bytes = j.length;
  }
  if (o.opList.includes('search')) {
    const j = await timed(res, 'search', () =>
      jsonOf(`SELECT * FROM t WHERE contains(${ident(o.searchCol)}, ${sqlStr(o.query)})`));
    res.info.search_hits = Number((await one(
      `SELECT count(*) FROM t WHERE contains(${ident(o.searchCol)}, ${sqlStr(o.query)})`))[0]);
    res.info.search_json_bytes = j.length;
  }
  if (o.opList.includes('sort')) {
    // rowid as the tie-break keeps equal keys in table order.
    const order = `ORDER BY TRY_CAST(${ident(o.sortCol)} AS DOUBLE) ASC NULLS FIRST, rowid`;
    const j = await timed(res, 'sort', () => jsonOf(`SELECT * FROM t ${order}`));
    const ends = await con.runAndReadAll(
      `(SELECT ${first} FROM t ${order} LIMIT 1) UNION ALL ` +
      `(SELECT ${first} FROM t ORDER BY TRY_CAST(${ident(o.sortCol)} AS DOUBLE) DESC NULLS LAST, rowid DESC LIMIT 1)`);
    res.info.sort_first = ends.getRows()[0][0];
    res.info.sort_last = ends.getRows()[1][0];
    res.info.sort_json_bytes = j.length;
  }
  if (o.opList.includes('stats')) {
    res.info.stats = await timed(res, 'stats', async () => {
      const parts = cols.map((c, i) => {
        const q = ident(c);
        const f = `TRY_CAST(${q} AS DOUBLE)`;
        return `count(*) FILTER (WHERE ${q} <> '') AS c${i}_count, count(DISTINCT ${q}) AS c${i}_unique, ` +
               `count(${f}) AS c${i}_nnum, min(${f}) AS c${i}_min, max(${f}) AS c${i}_max, avg(${f}) AS c${i}_mean`;
      });
      const r = (await con.runAndReadAll(`SELECT count(*) AS n, ${parts.join(', ')} FROM t`)).getRowObjects()[0];
      const n = Number(r.n);
      const columns = cols.map((c, i) => {
        const count = Number(r[`c${i}_count`]);
        const numeric = count > 0 && Number(r[`c${i}_nnum`]) === count;
        const s = { name: c, count, nulls: n - count, unique: Number(r[`c${i}_unique`]), numeric };
        if (numeric) Object.assign(s, { min: r[`c${i}_min`], max: r[`c${i}_max`], mean: r[`c${i}_mean`] });
        return s;
      });
      return JSON.parse(JSON.stringify({ row_count: n, col_count: cols.length, columns }));
    });
  }
  finish(res);
});
