// Queries on an open table: every method, with objects and with raw text.
import test from 'node:test';
import assert from 'node:assert/strict';
import { openTable, VelmoraError } from '../index.mjs';
import { CITIES, write } from './helpers.mjs';

const PEOPLE = 'name,age,city\nAnn,34,Lyon\nbob,7,paris\nCara,,LYON\nDan,120,Nice\n';

test('the bundled UTF-16 sample loads with encoding and delimiter detected', () => {
  const t = openTable(CITIES);
  try {
    assert.equal(t.rowCount, 7);
    assert.equal(t.columnCount, 5);
    assert.deepEqual(t.headers(), ['city', 'country', 'population', 'area_km2', 'note']);
    const rows = t.rows();
    assert.equal(rows.length, 7);
    assert.deepEqual(rows[0], {
      city: 'Zürich', country: 'Switzerland', population: '423000', area_km2: '87.88', note: '',
    });
    assert.equal(rows[3].city, '東京');
    assert.deepEqual(t.search('note', ';').map((r) => r.city), ['Kraków']);
    assert.equal(t.sort('population', { descending: true })[0].city, '東京');
    assert.equal(t.warningCount, 1);
    assert.deepEqual(t.warnings().samples, [{ kind: 'ragged', row: 7, expected: 5, actual: 4 }]);
  } finally {
    t.close();
  }
});

test('rows: pages by offset and limit', () => {
  const t = openTable(write(PEOPLE));
  const names = (rows) => rows.map((r) => r.name);
  const cases = [
    [{}, ['Ann', 'bob', 'Cara', 'Dan']],
    [{ offset: 1 }, ['bob', 'Cara', 'Dan']],
    [{ offset: 1, limit: 2 }, ['bob', 'Cara']],
    [{ limit: 0 }, []],
    [{ offset: 4 }, []],
    [{ offset: 2 ** 40, limit: 2 ** 40 }, []],
    [{ limit: 2 ** 40 }, ['Ann', 'bob', 'Cara', 'Dan']],
  ];
  for (const [o, want] of cases) assert.deepEqual(names(t.rows(o)), want, JSON.stringify(o));
  assert.throws(() => t.rows({ offset: -1 }), RangeError);
  assert.throws(() => t.rows({ limit: -1 }), RangeError);
  assert.throws(() => t.rows({ limit: 1.5 }), TypeError);
  assert.throws(() => t.rows({ offset: '1' }), TypeError);
  t.close();
});

test('every query gives the library text unchanged with {raw: true}', () => {
  const t = openTable(write(PEOPLE));
  const calls = [
    () => t.headers({ raw: true }),
    () => t.rows({ limit: 1, raw: true }),
    () => t.select(['city'], { raw: true }),
    () => t.search('city', 'yon', { raw: true }),
    () => t.sort('age', { raw: true }),
    () => t.stats({ raw: true }),
    () => t.warnings({ raw: true }),
  ];
  for (const call of calls) {
    const text = call();
    assert.equal(typeof text, 'string');
    assert.doesNotThrow(() => JSON.parse(text));
  }
  assert.equal(t.headers({ raw: true }), '["name","age","city"]');
  assert.equal(t.rows({ limit: 1, raw: true }), '[{"name":"Ann","age":"34","city":"Lyon"}]');
  t.close();
});

test('select: names, 1-based positions and a list text, in the order given', () => {
  const t = openTable(write(PEOPLE));
  assert.deepEqual(t.select(['city', 'name'])[0], { city: 'Lyon', name: 'Ann' });
  assert.deepEqual(t.select([3, 1])[1], { city: 'paris', name: 'bob' });
  assert.deepEqual(t.select('age , name')[0], { age: '34', name: 'Ann' });
  assert.equal(t.select(['age']).length, 4);
  assert.throws(() => t.select(['nope']), { name: 'VelmoraError', message: 'unknown column: nope' });
  assert.throws(() => t.select([4]), { name: 'VelmoraError', message: 'unknown column: 4' });
  assert.throws(() => t.select([]), { name: 'VelmoraError', message: 'no columns selected' });
  assert.throws(() => t.select(42), TypeError);
  t.close();
});

test('a column selected twice keeps both values as [name, value] pairs', () => {
  const t = openTable(write(PEOPLE));
  assert.deepEqual(t.select(['name', 'name', 'age'])[0], [['name', 'Ann'], ['name', 'Ann'], ['age', '34']]);
  assert.deepEqual(t.rows({ limit: 1, pairs: true }), [[['name', 'Ann'], ['age', '34'], ['city', 'Lyon']]]);
  t.close();
});

test('repeated header names: every row keeps every cell, as pairs', () => {
  const t = openTable(write('a,a,b\n1,2,3\n"x,""y",5,6\n'));
  const want = [
    [['a', '1'], ['a', '2'], ['b', '3']],
    [['a', 'x,"y'], ['a', '5'], ['b', '6']],
  ];
  assert.deepEqual(t.rows(), want);
  assert.deepEqual(t.sort('b'), want);
  assert.deepEqual(t.search('b', '6'), [want[1]]);
  // By position, the second "a" can be named too.
  assert.deepEqual(t.select([2, 'b']), [{ a: '2', b: '3' }, { a: '5', b: '6' }]);
  t.close();
});

test('columns named by position stay distinct from headers that are numbers', () => {
  const t = openTable(write('2,1\nx,y\n'));
  // Position 1 is the column headed "2"; the text "1" would name the other.
  assert.deepEqual(t.select([1]), [{ 2: 'x' }]);
  assert.deepEqual(t.select(['1']), [{ 1: 'y' }]);
  assert.deepEqual(t.search(2, 'y'), [{ 2: 'x', 1: 'y' }]);
  t.close();
});

test('search: substring, ignoreCase folds ASCII letters, empty text matches all', () => {
  const t = openTable(write(PEOPLE));
  const names = (rows) => rows.map((r) => r.name);
  assert.deepEqual(names(t.search('city', 'yon')), ['Ann']);
  assert.deepEqual(names(t.search('city', 'lyon', { ignoreCase: true })), ['Ann', 'Cara']);
  assert.deepEqual(names(t.search(3, 'PARIS', { ignoreCase: true })), ['bob']);
  assert.deepEqual(names(t.search('city', '')), ['Ann', 'bob', 'Cara', 'Dan']);
  assert.deepEqual(t.search('city', 'zzz'), []);
  assert.throws(() => t.search('town', 'x'), { name: 'VelmoraError', message: 'unknown column: town' });
  assert.throws(() => t.search('city', 'a\0b'), { name: 'TypeError', code: 'ERR_INVALID_ARG_VALUE' });
  assert.throws(() => t.search('city', 5), TypeError);
  t.close();
});

test('sort: numeric when every cell is a number, empty cells first ascending', () => {
  const t = openTable(write(PEOPLE));
  const names = (rows) => rows.map((r) => r.name);
  assert.deepEqual(names(t.sort('age')), ['Cara', 'bob', 'Ann', 'Dan']);
  assert.deepEqual(names(t.sort('age', { descending: true })), ['Dan', 'Ann', 'bob', 'Cara']);
  assert.deepEqual(names(t.sort('name')), ['Ann', 'Cara', 'Dan', 'bob']);
  assert.throws(() => t.sort('nope'), { message: 'unknown column: nope' });
  t.close();
});

test('stats and warnings come back as objects', () => {
  const t = openTable(write('a,b\n1,x\n2\n\n3,y\n'));
  const s = t.stats();
  // The blank line is kept as a row of empty cells (and reported).
  assert.equal(s.row_count, 4);
  assert.equal(s.col_count, 2);
  assert.deepEqual(s.columns[0], { name: 'a', count: 3, nulls: 1, unique: 4, numeric: true, min: 1, max: 3, mean: 2 });
  assert.equal(s.columns[1].numeric, false);
  assert.ok(!('min' in s.columns[1]) && !('mean' in s.columns[1]));
  const w = t.warnings();
  assert.equal(w.count, t.warningCount);
  assert.equal(w.ragged, 1);
  assert.equal(w.blank, 1);
  t.close();
});

// JSON has no number for infinity: the library writes null, as declared.
test('stats: min, max and mean of a numeric column can be null', () => {
  const t = openTable(write('a\n1\ninf\n-2\n'));
  assert.deepEqual(t.stats().columns[0], {
    name: 'a', count: 3, nulls: 0, unique: 3, numeric: true, min: -2, max: null, mean: null,
  });
  t.close();
});

test('a closed table refuses every call; closing again does nothing', () => {
  const t = openTable(write(PEOPLE));
  assert.equal(t.closed, false);
  t.close();
  t.close();
  assert.equal(t.closed, true);
  const calls = [
    () => t.rowCount, () => t.columnCount, () => t.warningCount, () => t.headers(), () => t.rows(),
    () => t.select(['name']), () => t.search('name', 'A'), () => t.sort('age'), () => t.stats(),
    () => t.warnings(), () => t.info(), () => t.column('age'), () => t.column(1),
  ];
  for (const call of calls) {
    assert.throws(call, (e) => e instanceof VelmoraError && e.message === 'table is closed');
  }
});

test('a closed table cannot reach a table opened later under its number', () => {
  const a = openTable(write(PEOPLE));
  a.close();
  const b = openTable(write('x\n1\n'));
  assert.throws(() => a.rows(), { message: 'table is closed' });
  assert.deepEqual(b.rows(), [{ x: '1' }]);
  b.close();
});

test('Symbol.dispose closes the table where the runtime has it', { skip: typeof Symbol.dispose !== 'symbol' }, () => {
  const t = openTable(write(PEOPLE));
  t[Symbol.dispose]();
  assert.equal(t.closed, true);
});

test('a Table cannot be made by hand', async () => {
  const { Table } = await import('../index.mjs');
  assert.throws(() => new Table(), TypeError);
});

test('for..of gives every row, a page at a time', async () => {
  const { limits } = (await import('../answer.cjs')).default;
  const t = openTable(write('n,sq\n' + Array.from({ length: 25 }, (_, i) => `${i},${i * i}\n`).join('')));
  const saved = limits.iterRows;
  limits.iterRows = 4;
  try {
    assert.deepEqual([...t], t.rows());
    // Pages are fetched as the loop goes: closing inside the loop stops it at
    // the next page, not before.
    const seen = [];
    assert.throws(() => {
      for (const row of t) {
        seen.push(row.n);
        if (row.n === '5') t.close();
      }
    }, { message: 'table is closed' });
    assert.deepEqual(seen, ['0', '1', '2', '3', '4', '5', '6', '7']);
  } finally {
    limits.iterRows = saved;
  }
  const empty = openTable(write('a\n'));
  assert.deepEqual([...empty], []);
  empty.close();
});

test('inspecting a table shows its path and size', async () => {
  const { inspect } = await import('node:util');
  const t = openTable(CITIES);
  // One line whatever the length of the checkout's path.
  const line = { breakLength: Infinity };
  assert.equal(inspect(t, line), `Table { path: ${inspect(CITIES)}, rows: 7, columns: 5 }`);
  assert.equal(inspect({ t }, { depth: 0 }), '{ t: [Table] }');
  t.close();
  assert.equal(inspect(t, line), `Table { path: ${inspect(CITIES)}, closed: true }`);
});
