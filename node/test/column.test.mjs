// table.column(): one column through the library's Arrow export, as a typed
// array for numbers and as strings otherwise, checked against rows().
import test from 'node:test';
import assert from 'node:assert/strict';
import { openTable, VelmoraError } from '../index.mjs';
import { CITIES, write } from './helpers.mjs';

const MIXED = [
  'id,price,qty,name,code,big',
  '1,2.5,10,Ann,007,9007199254740993',
  '2,-0.25,,bob,x1,-9223372036854775808',
  '3,1e3,-4,,12,9223372036854775807',
  '',
].join('\n');

function withTable(text, fn) {
  const t = openTable(write(text));
  try {
    return fn(t);
  } finally {
    t.close();
  }
}

const CASES = [
  // [column, expected constructor, expected values]
  ['id', BigInt64Array, [1n, 2n, 3n]],
  ['price', Float64Array, [2.5, -0.25, 1000]],
  ['qty', Float64Array, [10, NaN, -4]], // integers with an empty cell: NaN there
  ['name', Array, ['Ann', 'bob', '']],
  ['code', Array, ['007', 'x1', '12']], // one non-number makes the column text
  ['big', BigInt64Array, [9007199254740993n, -9223372036854775808n, 9223372036854775807n]],
  [2, Float64Array, [2.5, -0.25, 1000]], // by 1-based position
];

for (const [col, Type, expected] of CASES) {
  test(`column(${JSON.stringify(col)}) is a ${Type.name} of the cells`, () => {
    withTable(MIXED, (t) => {
      const values = t.column(col);
      assert.equal(values.constructor, Type);
      assert.deepEqual(Array.from(values), expected);
    });
  });
}

test('column() agrees with rows() on the bundled UTF-16 sample', () => {
  const t = openTable(CITIES);
  try {
    const rows = t.rows();
    for (const name of t.headers()) {
      const values = Array.from(t.column(name));
      const cells = rows.map((r) => r[name] ?? '');
      const numeric = t.stats().columns.find((c) => c.name === name).numeric;
      if (numeric) {
        assert.deepEqual(values.map(Number), cells.map((c) => (c.trim() === '' ? NaN : Number(c))), name);
      } else {
        assert.deepEqual(values, cells, name);
      }
    }
  } finally {
    t.close();
  }
});

test('column() reads every batch of a long column in order', () => {
  const n = 150_000; // more rows than one record batch holds
  const lines = ['n,half,word'];
  for (let i = 0; i < n; ++i) lines.push(`${i},${i % 7 === 0 ? '' : i / 2},w${i}`);
  withTable(lines.join('\n') + '\n', (t) => {
    const ints = t.column('n');
    assert.ok(ints instanceof BigInt64Array);
    assert.equal(ints.length, n);
    const halves = t.column('half');
    const words = t.column('word');
    for (let i = 0; i < n; i += 997) {
      assert.equal(ints[i], BigInt(i));
      assert.ok(i % 7 === 0 ? Number.isNaN(halves[i]) : halves[i] === i / 2, `half ${i}`);
      assert.equal(words[i], `w${i}`);
    }
    assert.equal(words[n - 1], `w${n - 1}`);
  });
});

test('column() of a table without rows is empty; text keeps non-ASCII characters', () => {
  withTable('a,b\n', (t) => assert.deepEqual(t.column('a'), []));
  withTable('city\nZürich\n東京\n', (t) => assert.deepEqual(t.column('city'), ['Zürich', '東京']));
});

test('column() of an unknown column or position fails with the library message', () => {
  withTable(MIXED, (t) => {
    const cases = [['nope', 'unknown column: nope'], [0, 'unknown column: 0'], [7, 'unknown column: 7']];
    for (const [col, message] of cases) {
      assert.throws(() => t.column(col), (e) => e instanceof VelmoraError && e.message === message);
    }
    assert.throws(() => t.column({}), TypeError);
  });
});

test('column() after close fails as every call does', () => {
  const t = openTable(write(MIXED));
  t.close();
  assert.throws(() => t.column('id'), (e) => e instanceof VelmoraError && e.message === 'table is closed');
});
