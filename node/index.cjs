// velmora-csv for Node.js: load delimited text files into memory with the
// velmora-csv library and query them, getting JavaScript objects back.
//
// Every call is synchronous and runs on the calling thread, except
// openTableAsync, whose load runs on a load thread kept between loads.
// Queries take the library's one lock for their whole duration.
'use strict';

const fs = require('node:fs');
const path = require('node:path');
const util = require('node:util');
const { fileURLToPath } = require('node:url');
const native = require('./native.cjs');
const { loadTable } = require('./load.cjs');
const loadPool = require('./load-pool.cjs');
const answer = require('./answer.cjs');
const { readColumn } = require('./column.cjs');

const INT32_MAX = 2 ** 31 - 1;
// The code of the warning for text that is not valid UTF-8.
const INVALID_UTF8_CODE = 'VELMORA_CSV_INVALID_UTF8';
const INT32_MIN = -(2 ** 31);

// ---- errors -----------------------------------------------------------------

// The text inside the parentheses of "cannot open file: <path> (<reason>)".
const ERRNO_OF_REASON = {
  'No such file or directory': 'ENOENT',
  'Permission denied': 'EACCES',
  'Is a directory': 'EISDIR',
  'Not a directory': 'ENOTDIR',
  'Too many open files': 'EMFILE',
  'File name too long': 'ENAMETOOLONG',
};

/** A failure reported by the library; `message` is the library's message. */
class VelmoraError extends Error {
  constructor(message, options) {
    super(message, options);
    this.name = 'VelmoraError';
    const m = /^cannot open file: .* \(([^()]*)\)$/s.exec(message);
    if (m && ERRNO_OF_REASON[m[1]]) this.code = ERRNO_OF_REASON[m[1]];
  }
}

/** The load was cancelled: onProgress returned false, or the signal fired. */
class CancelledError extends VelmoraError {
  constructor(message, options) {
    super(message, options);
    this.name = 'CancelledError';
    this.code = 'ABORT_ERR';
  }
}

/**
 * The signal of openTableAsync fired: named and coded as Node's own
 * AbortError, with the signal's reason as `cause`.
 */
class AbortError extends CancelledError {
  constructor(message = 'The operation was aborted', options = undefined) {
    super(message, options);
    this.name = 'AbortError';
  }
}

function fail(fns, where) {
  const err = new VelmoraError(fns.csv_last_error());
  Error.captureStackTrace(err, where);
  return err;
}

// ---- argument conversion ----------------------------------------------------

function pathArg(p) {
  if (p instanceof URL) p = fileURLToPath(p);
  if (typeof p === 'string') {
    if (p.includes('\0')) throw argError('path must not contain NUL characters');
    return p;
  }
  if (p instanceof Uint8Array) {
    if (p.includes(0)) throw argError('path must not contain NUL bytes');
    // The library reads a NUL-terminated text: hand it a terminated copy.
    return Buffer.concat([p, Buffer.alloc(1)]);
  }
  throw new TypeError('path must be a string, Buffer or file: URL');
}

function argError(message) {
  const e = new TypeError(message);
  e.code = 'ERR_INVALID_ARG_VALUE';
  return e;
}

const DELIMITER_NAMES = { auto: 0, tab: 9, comma: 44, semicolon: 59, pipe: 124 };

function delimiterArg(d) {
  if (d === undefined || d === null) return 0;
  if (typeof d === 'number') {
    if (!Number.isInteger(d)) throw new TypeError(`delimiter must be an integer byte value, not ${d}`);
    // The library refuses anything outside 0..255 with its own message.
    if (d < INT32_MIN || d > INT32_MAX) throw new VelmoraError(`invalid delimiter: ${d}`);
    return d;
  }
  if (typeof d === 'string') {
    const named = DELIMITER_NAMES[d.toLowerCase()];
    if (named !== undefined) return named;
    if (d.length === 1 && d.charCodeAt(0) > 0 && d.charCodeAt(0) < 128) return d.charCodeAt(0);
    throw new RangeError(
      `invalid delimiter ${JSON.stringify(d)}: use 'auto', one ASCII character other than NUL, ` +
      `'tab', 'comma', 'semicolon', 'pipe', or a byte value 1..255 as a number`);
  }
  throw new TypeError('delimiter must be a string or a number');
}

// The names the library reads through its own loader (codes 1..3); any
// other name goes to csv_load_encoding, which converts through iconv.
const ENCODING_CODES = {
  'auto': 0, 'detect': 0,
  'utf-8': 1, 'utf8': 1,
  'utf-16le': 2, 'utf16le': 2, 'utf-16-le': 2, 'ucs2': 2, 'ucs-2': 2,
  'utf-16be': 3, 'utf16be': 3, 'utf-16-be': 3,
};

function encodingArgs(fns, e) {
  if (e === undefined || e === null) return { encodingCode: 0, encodingName: null };
  if (typeof e !== 'string') throw new TypeError('encoding must be a string');
  if (e.includes('\0')) throw argError('encoding must not contain NUL characters');
  const code = ENCODING_CODES[e.trim().toLowerCase()];
  if (code !== undefined) return { encodingCode: code, encodingName: null };
  if (fns.csv_load_encoding === null) {
    throw new VelmoraError(
      `encoding ${JSON.stringify(e)} needs a newer velmora-csv library (with csv_load_encoding); ` +
      `this one reads only 'auto', 'utf-8', 'utf-16le' and 'utf-16be'`);
  }
  return { encodingCode: 0, encodingName: e };
}

function loadArgs(fns, file, options) {
  const o = options ?? {};
  if (typeof o !== 'object') throw new TypeError('options must be an object');
  if (o.onProgress != null && typeof o.onProgress !== 'function') {
    throw new TypeError('onProgress must be a function');
  }
  return {
    path: pathArg(file),
    header: o.header === undefined || o.header ? 1 : 0,
    delimiter: delimiterArg(o.delimiter),
    ...encodingArgs(fns, o.encoding),
  };
}

function textArg(value, what) {
  if (typeof value !== 'string') throw new TypeError(`${what} must be a string`);
  // The library reads NUL-terminated text: a NUL would silently cut it.
  if (value.includes('\0')) throw argError(`${what} must not contain NUL characters`);
  return value;
}

function countArg(value, what, dflt) {
  if (value === undefined || value === null) return dflt;
  if (typeof value !== 'number' || !Number.isInteger(value)) {
    throw new TypeError(`${what} must be an integer`);
  }
  if (value < 0) throw new RangeError(`${what} must not be negative`);
  return Math.min(value, INT32_MAX);
}

// ---- tables -----------------------------------------------------------------

// A table nobody closed is closed when it is garbage-collected. close()
// unregisters its table first, so a handle number that a later load was
// given is never closed from here.
const orphans = new FinalizationRegistry(({ fns, handle }) => fns.csv_close(handle));

const SECRET = Symbol('velmora-csv table');

class Table {
  #fns;
  #handle;
  #path;
  #headers = null;

  constructor(secret, fns, handle, file) {
    if (secret !== SECRET) throw new TypeError('use openTable() or openTableAsync() to open a table');
    this.#fns = fns;
    this.#handle = handle;
    this.#path = file;
    orphans.register(this, { fns, handle }, this);
  }

  /** The path the table was loaded from. */
  get path() {
    return this.#path;
  }

  /** True once close() has run. */
  get closed() {
    return this.#handle === -1;
  }

  /** Frees the table; closing a closed table does nothing. */
  close() {
    if (this.#handle === -1) return;
    orphans.unregister(this);
    this.#fns.csv_close(this.#handle);
    // Forget the number: a later load may be given it.
    this.#handle = -1;
  }

  #live() {
    if (this.#handle === -1) throw new VelmoraError('table is closed');
    return this.#handle;
  }

  #count(name) {
    const n = this.#fns[name](this.#live());
    if (n < 0) throw fail(this.#fns, this.#count);
    return n;
  }

  // The library's answer as a view of its buffer, valid until this thread's
  // next query: read it before anything else calls the library.
  #answer(name, ...args) {
    const handle = this.#live();
    const fn = this.#fns[name];
    if (fn === null) {
      throw new VelmoraError(`the velmora-csv library in use has no ${name}: install a newer one`);
    }
    const ptr = fn(handle, ...args);
    // The message belongs to this thread and is read before anything else runs.
    if (ptr === null) throw fail(this.#fns, this.#answer);
    return answer.answerBytes(this.#fns, ptr);
  }

  #text(what, name, ...args) {
    return answer.answerText(this.#answer(name, ...args), what, 'no other form of it is smaller');
  }

  #json(what, name, o, ...args) {
    const text = this.#text(what, name, ...args);
    return o && o.raw ? text : JSON.parse(text);
  }

  // Rows answers: objects are built a page at a time, so they have no limit
  // but memory; the raw text must fit in one string.
  #rows(what, o, name, ...args) {
    const bytes = this.#answer(name, ...args);
    if (o.raw) {
      return answer.answerText(bytes, what,
        'ask without {raw: true} for row objects (built page by page), ' +
        'or page the rows: rows({offset, limit}) or for (const row of table)');
    }
    return answer.rowsFromBytes(bytes, o, what);
  }

  #headerList() {
    // Header names never change while the table is open.
    if (this.#headers === null) this.#headers = JSON.parse(this.#text('headers()', 'csv_headers'));
    return this.#headers;
  }

  // A name the library resolves to column `position` (1-based). Leading
  // zeros keep a header that is itself a number from taking the name.
  #positionText(position) {
    const headers = this.#headerList();
    if (!Number.isInteger(position) || position < 1 || position > headers.length) {
      throw new VelmoraError(`unknown column: ${position}`);
    }
    const names = new Set(headers);
    let text = String(position);
    while (names.has(text)) text = '0' + text;
    return text;
  }

  #column(col) {
    if (typeof col === 'number') return this.#positionText(col);
    return textArg(col, 'column');
  }

  // One item of a column list. The library's list syntax splits at commas,
  // trims spaces and tabs, skips empty items and reads at most 255 bytes of a
  // name; a name it would not read back unchanged goes by its position.
  #listItem(col) {
    if (typeof col === 'number') return this.#positionText(col);
    const name = textArg(col, 'column');
    if (name && !name.includes(',') && name.replace(/^[ \t]+|[ \t]+$/g, '') === name &&
        Buffer.byteLength(name) <= 255) {
      return name;
    }
    const at = this.#headerList().indexOf(name);
    if (at < 0) throw new VelmoraError(`unknown column: ${name}`);
    return this.#positionText(at + 1);
  }

  /** Number of rows (header excluded), capped at 2147483647. */
  get rowCount() {
    return this.#count('csv_row_count');
  }

  /** Number of columns. */
  get columnCount() {
    return this.#count('csv_col_count');
  }

  /** Number of parse warnings, capped at 2147483647. */
  get warningCount() {
    return this.#count('csv_parse_warning_count');
  }

  headers(o = {}) {
    return this.#json('headers()', 'csv_headers', o);
  }

  rows(o = {}) {
    const offset = countArg(o.offset, 'offset', 0);
    const limit = countArg(o.limit, 'limit', -1);
    return this.#rows('rows()', o, 'csv_rows', offset, limit);
  }

  select(cols, o = {}) {
    let list;
    if (typeof cols === 'string') list = textArg(cols, 'columns');
    else if (Array.isArray(cols)) list = cols.map((c) => this.#listItem(c)).join(',');
    else throw new TypeError('columns must be an array of names and positions, or a string');
    return this.#rows('select()', o, 'csv_select', list);
  }

  search(col, text, o = {}) {
    const c = this.#column(col);
    const q = textArg(text, 'text');
    return this.#rows('search()', o, 'csv_search', c, q, o.ignoreCase ? 1 : 0);
  }

  sort(col, o = {}) {
    const c = this.#column(col);
    return this.#rows('sort()', o, 'csv_sort', c, o.descending ? 1 : 0);
  }

  stats(o = {}) {
    return this.#json('stats()', 'csv_stats', o);
  }

  warnings(o = {}) {
    return this.#json('warnings()', 'csv_parse_warnings', o);
  }

  info(o = {}) {
    return this.#json('info()', 'csv_info', o);
  }

  /**
   * One column, by name or 1-based position, read through the library's
   * Arrow export: a numeric column (the rule of stats()) as a Float64Array,
   * or a BigInt64Array when its cells are 64-bit integers and none is
   * empty; empty cells of a numeric column are NaN in the Float64Array
   * (so an integer column with empty cells comes as a Float64Array). Any
   * other column is an array of strings.
   */
  column(col) {
    const handle = this.#live();
    if (this.#fns.csv_arrow_stream === null) {
      throw new VelmoraError('the velmora-csv library in use has no csv_arrow_stream: install a newer one');
    }
    return readColumn(this.#fns, handle, this.#listItem(col), (message) => {
      const err = new VelmoraError(message);
      Error.captureStackTrace(err, this.column);
      return err;
    });
  }

  /**
   * The rows one by one, fetched a page at a time (rows({offset, limit})),
   * so a large table is never one answer.
   */
  *[Symbol.iterator]() {
    const size = answer.limits.iterRows;
    for (let offset = 0; ; offset += size) {
      const page = this.rows({ offset, limit: size });
      yield* page;
      if (page.length < size) return;
    }
  }

  toString() {
    return `[velmora-csv Table ${this.#path} ${this.closed ? 'closed' : 'open'}]`;
  }

  // console.log(table): where it came from and its size.
  [util.inspect.custom](depth, options, inspect) {
    const shown = this.closed
      ? { path: this.#path, closed: true }
      : { path: this.#path, rows: this.rowCount, columns: this.columnCount };
    if (depth < 0) return options.stylize('[Table]', 'special');
    return `Table ${inspect(shown, { ...options, depth: options.depth === null ? null : options.depth - 1 })}`;
  }
}

// `using t = openTable(...)` where the runtime knows Symbol.dispose; older
// runtimes simply lack the method (nothing global is patched).
if (typeof Symbol.dispose === 'symbol') {
  Object.defineProperty(Table.prototype, Symbol.dispose, {
    value: function dispose() {
      this.close();
    },
    writable: true,
    configurable: true,
  });
}

// The library cuts long messages (a long path) before the reason in
// parentheses; the system then tells the reason again.
function openErrorCode(p) {
  try {
    fs.closeSync(fs.openSync(p, 'r'));
  } catch (e) {
    return typeof e.code === 'string' ? e.code : undefined;
  }
  return undefined;
}

function displayPath(p) {
  return typeof p === 'string' ? p : Buffer.from(p.subarray(0, p.length - 1)).toString();
}

// ---- opening ----------------------------------------------------------------

/** Loads the file into memory on the calling thread and returns its Table. */
function openTable(file, options) {
  const fns = native.library();
  const args = loadArgs(fns, file, options);
  const onProgress = options?.onProgress ?? null;
  let thrown = null;
  let cancelled = false;
  const progress = onProgress === null ? null : (done, total, rows) => {
    if (thrown !== null || cancelled) return 1;
    try {
      if (onProgress(done, total, rows) === false) cancelled = true;
    } catch (e) {
      thrown = { e };
    }
    return thrown !== null || cancelled ? 1 : 0;
  };
  const { handle, message } = loadTable(fns, args, progress);
  return finishLoad(fns, args, handle, message, thrown, cancelled, openTable);
}

// Said when every table slot is taken: the collector frees an unclosed
// table only when it runs, which memory held outside the JavaScript heap
// does not prompt.
const HANDLES_HINT =
  ': close each table when done with it, with table.close() (in a finally block) or ' +
  '`using table = openTable(...)`; a table never closed is freed only when the garbage ' +
  'collector happens to collect it';

function finishLoad(fns, args, handle, message, thrown, cancelled, where) {
  if (thrown !== null) {
    if (handle >= 0) fns.csv_close(handle);
    throw thrown.e;
  }
  if (handle < 0) {
    if (message.startsWith('too many open handles')) message += HANDLES_HINT;
    const err = cancelled ? new CancelledError(message) : new VelmoraError(message);
    if (typeof args.path === 'string') err.path = args.path;
    if (err.code === undefined && message.startsWith('cannot open file: ')) err.code = openErrorCode(args.path);
    Error.captureStackTrace(err, where);
    throw err;
  }
  const table = new Table(SECRET, fns, handle, displayPath(args.path));
  warnInvalidUtf8(fns, table);
  return table;
}

// Text read as UTF-8 that holds bytes which are not is most likely in
// another encoding: warn once per load, naming the option that reads it.
function warnInvalidUtf8(fns, table) {
  if (fns.csv_info === null) return;
  const count = table.info().invalid_utf8_bytes;
  if (!count) return;
  const noun = count === 1 ? '1 byte is' : `${count} bytes are`;
  process.emitWarning(
    `${table.path}: ${noun} not valid UTF-8; if the file is in another encoding, ` +
    "name it, e.g. {encoding: 'windows-1252'}",
    { type: 'InvalidUTF8Warning', code: INVALID_UTF8_CODE });
}

// Cells of a load's shared array, as in load-worker.cjs.
const REPLY = 0;
const ANSWER = 1;
const CANCEL = 2;

function abortError(signal, where) {
  const err = new AbortError(undefined, { cause: signal.reason });
  Error.captureStackTrace(err, where);
  return err;
}

/**
 * Loads the file on a load thread; resolves to its Table. onProgress runs
 * on the calling thread, between turns of its event loop; `signal` (an
 * AbortSignal) rejects the promise with an AbortError at once and stops the
 * load at its next progress report (a table it finished anyway is closed).
 */
function openTableAsync(file, options) {
  return new Promise((resolve, reject) => {
    const fns = native.library();
    const args = loadArgs(fns, file, options);
    const onProgress = options?.onProgress ?? null;
    const signal = options?.signal ?? null;
    if (signal !== null && signal.aborted) {
      reject(abortError(signal, openTableAsync));
      return;
    }
    let thrown = null;
    let cancelled = false;
    let settled = false;
    let shared = null;
    let abandon = null;

    const answer = (stop) => {
      Atomics.store(shared, ANSWER, stop ? 1 : 0);
      Atomics.store(shared, REPLY, 1);
      Atomics.notify(shared, REPLY);
    };
    const settle = (fn, value) => {
      if (settled) return;
      settled = true;
      if (signal !== null) signal.removeEventListener('abort', onAbort);
      fn(value);
    };
    function onAbort() {
      Atomics.store(shared, CANCEL, 1);
      answer(true); // wakes a report waiting for its answer
      abandon();
      settle(reject, abortError(signal, onAbort));
    }

    ({ shared, abandon } = loadPool.startLoad(native.libraryPath(), args, onProgress !== null, {
      progress(m) {
        if (!settled && thrown === null && !cancelled) {
          try {
            if (onProgress(m.done, m.total, m.rows) === false) cancelled = true;
          } catch (e) {
            thrown = { e };
          }
        }
        answer(settled || thrown !== null || cancelled);
      },
      done(m) {
        if (settled) {
          // Aborted while it ran: nobody will get this table.
          if (m.handle >= 0) fns.csv_close(m.handle);
          return;
        }
        try {
          settle(resolve, finishLoad(fns, args, m.handle, m.message, thrown, cancelled, openTableAsync));
        } catch (e) {
          settle(reject, e);
        }
      },
      failed(e) {
        settle(reject, e.fatal ? new native.LibraryNotFoundError(e.message) : new VelmoraError(e.message, { cause: e }));
      },
    }));
    if (signal !== null) signal.addEventListener('abort', onAbort, { once: true });
  });
}

/** The library's version text, or null for a library without csv_version. */
function libraryVersion() {
  const fns = native.library();
  return fns.csv_version === null ? null : fns.csv_version();
}

module.exports = {
  openTable,
  openTableAsync,
  Table,
  VelmoraError,
  CancelledError,
  AbortError,
  LibraryNotFoundError: native.LibraryNotFoundError,
  libraryPath: native.libraryPath,
  libraryVersion,
  ENV_VAR: native.ENV_VAR,
  INVALID_UTF8_CODE,
};
