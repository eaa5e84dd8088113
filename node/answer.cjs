// Reading the library's answers.
//
// The library writes each answer into a buffer of the calling thread and
// hands out a pointer. The text is looked at through a view of that buffer
// (no copy), so an answer longer than the engine's longest string never
// becomes one string: a rows answer is decoded and parsed a page of rows at a
// time, and anything that must be one string but cannot be throws a
// RangeError. The view is used at once and dropped: the library reuses the
// buffer at this thread's next query.
'use strict';

const { constants } = require('node:buffer');
const koffi = require('koffi');

// Internal knobs, changed only by the package's tests to cross the limits
// with small answers.
const limits = {
  // Text of at most this many UTF-8 bytes fits in one string (a string
  // counts UTF-16 units, never more of them than there are UTF-8 bytes).
  maxString: constants.MAX_STRING_LENGTH,
  // Rows answers longer than this are decoded and parsed in pages of
  // about this many bytes.
  pageBytes: 16 * 1024 * 1024,
  // Rows fetched at a time while a table is iterated.
  iterRows: 10_000,
};

/** The answer behind `ptr` as a Buffer viewing the library's memory. */
function answerBytes(fns, ptr) {
  const length = Number(fns.strlen(ptr));
  if (length === 0) return Buffer.alloc(0);
  return Buffer.from(koffi.view(ptr, length));
}

function tooLong(bytes, what, alternatives) {
  const e = new RangeError(
    `the answer of ${what} is ${bytes} bytes of JSON, more than the ${limits.maxString} ` +
    `characters a JavaScript string can hold here; ${alternatives}`);
  e.code = 'ERR_STRING_TOO_LONG';
  return e;
}

/** The answer as one string; a RangeError naming `alternatives` when too long. */
function answerText(bytes, what, alternatives) {
  if (bytes.length > limits.maxString) throw tooLong(bytes.length, what, alternatives);
  return bytes.toString('utf8');
}

// ---- rows documents ---------------------------------------------------------

// One JSON string token; the unrolled form keeps a long cell from costing
// the regular expression engine one backtrack entry per character.
const STRING = /"[^"\\]*(?:\\[\s\S][^"\\]*)*"/g;

// One row object of a rows document, from its '{': string tokens separated
// by ':' and ',' up to the '}'. Tokens are matched whole, so a '}' or '"'
// inside a cell never ends the row.
const ROW = /\{(?:"[^"\\]*(?:\\[\s\S][^"\\]*)*"[:,]?)*\}/y;

// The keys of the first row of a rows text (every row has the same).
function firstRowKeys(text) {
  const keys = [];
  STRING.lastIndex = 0;
  let m;
  while ((m = STRING.exec(text)) !== null) {
    keys.push(JSON.parse(m[0]));
    STRING.lastIndex += 1; // the ':' after the key
    const v = STRING.exec(text);
    if (v === null || text[STRING.lastIndex] === '}') break;
  }
  return keys;
}

// Rows as lists of [name, value] pairs: the text holds objects whose keys
// and values are all strings, `width` pairs per row.
function pairRows(text, width, rows) {
  let row = [];
  let key = null;
  STRING.lastIndex = 0;
  let m;
  while ((m = STRING.exec(text)) !== null) {
    const s = JSON.parse(m[0]);
    if (key === null) {
      key = s;
      continue;
    }
    row.push([key, s]);
    key = null;
    if (row.length === width) {
      rows.push(row);
      row = [];
    }
  }
  return rows;
}

// The rows of one page text (rows joined by ',', no brackets), appended.
function parsePage(page, keys, asPairs, rows) {
  if (!asPairs) {
    for (const r of JSON.parse(`[${page}]`)) rows.push(r);
    return rows;
  }
  if (keys.length === 0) {
    for (let i = JSON.parse(`[${page}]`).length; i > 0; i--) rows.push([]);
    return rows;
  }
  return pairRows(page, keys.length, rows);
}

// The end of the last whole row in `s`, which starts with a row; 0 when `s`
// holds no whole row.
function lastRowEnd(s) {
  let end = 0;
  ROW.lastIndex = 0;
  while (ROW.exec(s) !== null) {
    end = ROW.lastIndex;
    if (s.charCodeAt(end) !== 0x2c) break; // ','
    ROW.lastIndex = end + 1;
  }
  return end;
}

/**
 * The texts of whole rows of a rows document in `bytes`, about
 * `limits.pageBytes` at a time, each rows joined by ',' without brackets.
 */
function* rowPages(bytes, what) {
  const end = bytes.length - 1; // the closing ']'
  let pos = 1; // after the opening '['
  let size = limits.pageBytes;
  while (pos < end) {
    let cut = Math.min(end, pos + size);
    while (cut < end && (bytes[cut] & 0xc0) === 0x80) cut--; // a character's start
    const s = bytes.toString('utf8', pos, cut);
    const rowEnd = lastRowEnd(s);
    if (rowEnd === 0) {
      // One row longer than a page: a longer page, up to the string limit.
      if (cut === end || size >= limits.maxString) {
        throw tooLong(bytes.length, what, 'one of its rows alone is longer than a string can be');
      }
      size = Math.min(size * 2, limits.maxString);
      continue;
    }
    const page = rowEnd === s.length ? s : s.slice(0, rowEnd);
    yield page;
    pos += Buffer.byteLength(page) + 1; // and the ',' between rows
    size = limits.pageBytes;
  }
}

/**
 * A rows answer as objects keyed by header name; when the names repeat (two
 * columns with one header, or a column selected twice) an object would drop
 * values, so every row is then a list of [name, value] pairs instead, as
 * with {pairs: true}. Answers past a page are parsed page by page.
 */
function rowsFromBytes(bytes, o, what) {
  if (bytes.length <= limits.pageBytes) {
    const text = bytes.toString('utf8');
    if (text === '[]') return [];
    const keys = firstRowKeys(text);
    if (o.pairs || new Set(keys).size !== keys.length) return pairRows(text, keys.length, []);
    return JSON.parse(text);
  }
  const rows = [];
  let keys = null;
  let asPairs = false;
  for (const page of rowPages(bytes, what)) {
    if (keys === null) {
      keys = firstRowKeys(page);
      asPairs = Boolean(o.pairs) || new Set(keys).size !== keys.length;
    }
    parsePage(page, keys, asPairs, rows);
  }
  return rows;
}

module.exports = { limits, answerBytes, answerText, rowsFromBytes };
