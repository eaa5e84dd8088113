// Opening tables: options, errors, progress and cancellation.
import test from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';
import zlib from 'node:zlib';
import { pathToFileURL } from 'node:url';
import { openTable, VelmoraError, CancelledError, libraryPath } from '../index.mjs';
import { CITIES, MAX_TABLES, freeSlots, manyRows, write } from './helpers.mjs';

const native = (await import('../native.cjs')).default;
const fns = native.library();

test('delimiter: auto, characters, names and byte values', () => {
  const cases = [
    ['a;b\n1;2\n', undefined],
    ['a;b\n1;2\n', 'auto'],
    ['a,b\n1,2\n', ','],
    ['a\tb\n1\t2\n', '\t'],
    ['a\tb\n1\t2\n', 'tab'],
    ['a;b\n1;2\n', 'semicolon'],
    ['a|b\n1|2\n', '|'],
    ['a|b\n1|2\n', 'pipe'],
    ['a;b\n1;2\n', 59],
    ['a:b\n1:2\n', ':'],
    [Buffer.from('a\xa7b\n1\xa72\n', 'latin1'), 0xa7],
  ];
  for (const [content, delimiter] of cases) {
    const t = openTable(write(content), { delimiter });
    assert.equal(t.columnCount, 2, String(delimiter));
    assert.deepEqual(Object.values(t.rows()[0]), ['1', '2'], String(delimiter));
    t.close();
  }
});

test('delimiter: values the library refuses, and texts that are not one ASCII character', () => {
  const p = write('a,b\n');
  assert.throws(() => openTable(p, { delimiter: 256 }), { name: 'VelmoraError', message: 'invalid delimiter: 256' });
  assert.throws(() => openTable(p, { delimiter: -5 }), { name: 'VelmoraError', message: 'invalid delimiter: -5' });
  assert.throws(() => openTable(p, { delimiter: 2 ** 40 }), { name: 'VelmoraError', message: `invalid delimiter: ${2 ** 40}` });
  for (const bad of ['§', ',,', '', '\0']) assert.throws(() => openTable(p, { delimiter: bad }), RangeError);
  assert.throws(() => openTable(p, { delimiter: 1.5 }), TypeError);
  assert.throws(() => openTable(p, { delimiter: true }), TypeError);
});

test('header: false names the columns "1", "2", ...', () => {
  const t = openTable(write('a,b\n1,2\n'), { header: false });
  assert.deepEqual(t.headers(), ['1', '2']);
  assert.equal(t.rowCount, 2);
  assert.deepEqual(t.rows({ limit: 1 }), [{ 1: 'a', 2: 'b' }]);
  t.close();
});

test('encoding: auto, the UTF names and their spellings', () => {
  const le = Buffer.from('\ufeffa;b\n1;é\n', 'utf16le');
  const be = Buffer.from(le).swap16();
  const cases = [
    [le, undefined], [le, 'auto'], [le, 'utf-16le'], [le, 'UTF16LE'], [le, 'ucs2'],
    [be, 'auto'], [be, 'utf-16be'],
    [Buffer.from('a;b\n1;é\n'), 'utf-8'], [Buffer.from('a;b\n1;é\n'), 'utf8'],
  ];
  for (const [bytes, encoding] of cases) {
    const t = openTable(write(bytes), { encoding });
    assert.deepEqual(t.rows(), [{ a: '1', b: 'é' }], String(encoding));
    t.close();
  }
  assert.throws(() => openTable(CITIES, { encoding: 7 }), TypeError);
});

test('encoding: other names go through the library\'s converter',
  { skip: fns.csv_load_encoding === null && 'the library has no csv_load_encoding' }, () => {
    const t = openTable(write(Buffer.from('city\nMalm\xf6\n', 'latin1')), { encoding: 'windows-1252' });
    assert.deepEqual(t.rows(), [{ city: 'Malmö' }]);
    const info = t.info();
    assert.equal(info.encoding, 'windows-1252');
    assert.equal(info.rows, 1);
    t.close();
    assert.throws(() => openTable(CITIES, { encoding: 'no-such-charset' }),
      (e) => e instanceof VelmoraError && e.message.includes('no-such-charset'));
  });

test('encoding: a name beyond the UTF ones needs a newer library',
  { skip: fns.csv_load_encoding !== null && 'the library has csv_load_encoding' }, () => {
    assert.throws(() => openTable(CITIES, { encoding: 'windows-1252' }),
      (e) => e instanceof VelmoraError && /csv_load_encoding/.test(e.message));
  });

test('info describes the load', { skip: fns.csv_info === null && 'the library has no csv_info' }, () => {
  const t = openTable(CITIES);
  const info = t.info();
  assert.equal(info.encoding, 'utf-16le');
  assert.equal(info.bom, true);
  assert.equal(info.delimiter, ';');
  assert.equal(info.encoding_detected, true);
  assert.equal(info.delimiter_detected, true);
  assert.equal(info.rows, 7);
  assert.equal(info.columns, 5);
  assert.equal(info.warnings, 1);
  assert.equal(typeof t.info({ raw: true }), 'string');
  t.close();
});

test('a gzip file is read inflated', { skip: fns.csv_info === null && 'the library reads no gzip' }, () => {
  const t = openTable(write(zlib.gzipSync(Buffer.from('a;b\n1;2\n'))));
  assert.deepEqual(t.rows(), [{ a: '1', b: '2' }]);
  assert.equal(t.info().compression, 'gzip');
  t.close();
});

test('paths: string, Buffer and file: URL', () => {
  for (const p of [CITIES, Buffer.from(CITIES), pathToFileURL(CITIES)]) {
    const t = openTable(p);
    assert.equal(t.rowCount, 7);
    assert.equal(t.path, CITIES);
    t.close();
  }
  assert.throws(() => openTable(CITIES + '\0x'), { name: 'TypeError', code: 'ERR_INVALID_ARG_VALUE' });
  assert.throws(() => openTable(42), TypeError);
  assert.throws(() => openTable(CITIES, 'utf-8'), TypeError);
});

test('a missing file fails with the library message and code ENOENT', () => {
  const p = write('x', 'present.csv') + '.missing';
  assert.throws(() => openTable(p), (e) => {
    assert.ok(e instanceof VelmoraError);
    assert.ok(e instanceof Error);
    assert.equal(e.name, 'VelmoraError');
    assert.equal(e.code, 'ENOENT');
    assert.equal(e.path, p);
    assert.equal(e.message, `cannot open file: ${p} (No such file or directory)`);
    return true;
  });
});

test('a missing file with a path too long for the whole message still has ENOENT', () => {
  const p = path.join(path.dirname(write('x')), ...Array(6).fill('d'.repeat(100)), 'x.csv');
  assert.throws(() => openTable(p), (e) => {
    assert.equal(e.code, 'ENOENT');
    assert.equal(Buffer.byteLength(e.message), 511);
    assert.ok(e.message.startsWith(`cannot open file: ${p.slice(0, 100)}`));
    return true;
  });
});

test('other failures carry the message and no errno code', () => {
  assert.throws(() => openTable(write('a\n'), { delimiter: 300 }), (e) => e.code === undefined);
});

test('progress reports done, total and rows on the calling thread', () => {
  const p = manyRows(2_100_000);
  const calls = [];
  const t = openTable(p, { onProgress: (...a) => { calls.push(a); } });
  assert.equal(t.rowCount, 2_100_000);
  assert.ok(calls.length >= 2, `${calls.length} calls`);
  const [done, total, rows] = calls[calls.length - 1];
  assert.equal(done, total);
  assert.equal(rows, 2_100_000);
  for (let i = 1; i < calls.length; i++) assert.ok(calls[i][0] >= calls[i - 1][0]);
  t.close();
});

test('returning false from onProgress cancels the load; other answers go on', () => {
  const p = manyRows(2_100_000);
  for (const answer of [undefined, true, 0, null, 'yes']) {
    const t = openTable(p, { onProgress: () => answer });
    t.close();
  }
  let calls = 0;
  assert.throws(() => openTable(p, { onProgress: () => { calls++; return false; } }), (e) => {
    assert.ok(e instanceof CancelledError && e instanceof VelmoraError);
    assert.equal(e.message, 'cancelled by progress callback');
    assert.equal(e.code, 'ABORT_ERR');
    return true;
  });
  assert.equal(calls, 1);
  assert.equal(freeSlots(), MAX_TABLES);
});

test('an exception thrown by onProgress cancels the load and comes out of openTable', () => {
  const p = manyRows(10);
  const boom = new Error('boom');
  assert.throws(() => openTable(p, { onProgress: () => { throw boom; } }), (e) => e === boom);
  assert.equal(freeSlots(), MAX_TABLES);
  assert.throws(() => openTable(p, { onProgress: 'no' }), TypeError);
});

test('the 65th open table fails with the library message', () => {
  const p = write('a\n1\n');
  const open = [];
  try {
    for (let i = 0; i < MAX_TABLES; i++) open.push(openTable(p));
    assert.throws(() => openTable(p), (e) => {
      assert.ok(e instanceof VelmoraError);
      assert.ok(e.message.startsWith(`too many open handles (max ${MAX_TABLES}): close each table`), e.message);
      assert.match(e.message, /table\.close\(\)/);
      assert.match(e.message, /using table = openTable/);
      return true;
    });
  } finally {
    for (const t of open) t.close();
  }
  assert.equal(freeSlots(), MAX_TABLES);
});

test('the library in use is the one named by VELMORA_CSV_LIBRARY when set', () => {
  if (process.env.VELMORA_CSV_LIBRARY) assert.equal(libraryPath(), process.env.VELMORA_CSV_LIBRARY);
  else assert.equal(typeof libraryPath(), 'string');
});
