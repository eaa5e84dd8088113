// velmora-csv through its Node.js package (node/, over koffi): the same
// runtime as the Polars and DuckDB peers. Answers that carry rows are taken
// as the library's JSON text ({raw: true}): one JavaScript string, copied
// out of the library's buffer by koffi. The library is the one named by
// VELMORA_CSV_LIBRARY (compare.py points it at its Release build).
'use strict';
const path = require('path');
const { parseArgs, statusKb, timed, finish, main } = require('./peer_common');

// The first-column value of the first and last row objects of a rows
// document, found by the text `{"<first header>":"` (cells with quotes
// would be escaped, as in the C++ host).
function firstAndLast(text, key) {
  const value = (at) => {
    if (at < 0) return '';
    const start = at + key.length;
    return text.slice(start, text.indexOf('"', start));
  };
  return [value(text.indexOf(key)), value(text.lastIndexOf(key))];
}

function countOf(text, key) {
  let n = 0;
  for (let at = text.indexOf(key); at >= 0; at = text.indexOf(key, at + key.length)) n++;
  return n;
}

main(async () => {
  const o = parseArgs(process.argv);
  const velmora = require(path.join(__dirname, '..', '..', 'node'));
  const res = { tool: 'velmora-node', times: {}, info: {} };
  // UTF-8: comma and the bytes as they are, like csv_load; UTF-16: the
  // encoding and delimiter detected, like csv_load_ex(path, 1, 0, 0).
  const opts = o.encoding === 'utf8' ? { delimiter: ',', encoding: 'utf-8' } : {};
  velmora.libraryPath(); // the library is loaded before the clock starts

  res.rss_base_kb = statusKb('VmRSS');
  const t = await timed(res, 'load', () => velmora.openTable(o.file, opts));
  res.rss_load_kb = statusKb('VmHWM');
  res.info.rows = t.rowCount;
  res.info.cols = t.columnCount;
  res.info.warnings = t.warningCount;
  const key = `{${JSON.stringify(t.headers()[0])}:"`;

  if (o.opList.includes('rows')) {
    const j = await timed(res, 'rows', () => t.rows({ raw: true }));
    res.info.rows_json_bytes = Buffer.byteLength(j);
  }
  if (o.opList.includes('search')) {
    const j = await timed(res, 'search', () => t.search(o.searchCol, o.query, { raw: true }));
    res.info.search_hits = countOf(j, key);
    res.info.search_json_bytes = Buffer.byteLength(j);
  }
  if (o.opList.includes('sort')) {
    const j = await timed(res, 'sort', () => t.sort(o.sortCol, { raw: true }));
    [res.info.sort_first, res.info.sort_last] = firstAndLast(j, key);
    res.info.sort_json_bytes = Buffer.byteLength(j);
  }
  if (o.opList.includes('stats')) {
    res.info.stats = await timed(res, 'stats', () => t.stats());
  }
  t.close();
  finish(res);
});
