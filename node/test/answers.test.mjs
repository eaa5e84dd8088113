// Answers longer than one string can be: row objects are built page by page,
// and a raw text past the limit throws a RangeError instead of ending the
// process. The limits are lowered through the internal knobs of answer.cjs,
// so a few hundred kilobytes cross them.
import test from 'node:test';
import assert from 'node:assert/strict';
import { openTable } from '../index.mjs';
import { write } from './helpers.mjs';

const answer = (await import('../answer.cjs')).default;
const { limits } = answer;
const DEFAULTS = { ...limits };

// Runs `fn` with the limits lowered, restoring them after.
function withLimits(lowered, fn) {
  Object.assign(limits, lowered);
  try {
    return fn();
  } finally {
    Object.assign(limits, DEFAULTS);
  }
}

// Cells that look like the row and string boundaries of the JSON text, and
// characters of 2, 3 and 4 UTF-8 bytes that a page may cut.
const TRICKY = ['},{"a":"', '\\', '"}', 'é', '東京', '😀', ',]', '\\"},{'];

function csvCell(text) {
  return `"${text.replaceAll('"', '""')}"`;
}

function trickyFile(rows, header = 'a,b,c') {
  const lines = [header];
  for (let i = 0; i < rows; i++) {
    lines.push([i, csvCell(TRICKY[i % TRICKY.length] + i), csvCell(`${TRICKY[(i * 3) % TRICKY.length]}x`)].join(','));
  }
  return write(lines.join('\n') + '\n');
}

test('row objects past the page size are parsed page by page, identical to one parse', () => {
  const t = openTable(trickyFile(5000));
  try {
    const queries = [
      () => t.rows(),
      () => t.rows({ offset: 17, limit: 3000 }),
      () => t.sort('b', { descending: true }),
      () => t.search('b', '}'),
      () => t.select(['c', 'a']),
      () => t.rows({ pairs: true }),
    ];
    for (const q of queries) {
      const whole = q();
      const paged = withLimits({ pageBytes: 1000, maxString: 20_000 }, q);
      assert.ok(whole.length > 0);
      assert.deepEqual(paged, whole, q.toString());
    }
    // Each row holds what the file holds.
    const rows = withLimits({ pageBytes: 777, maxString: 20_000 }, () => t.rows());
    assert.equal(rows.length, 5000);
    rows.forEach((r, i) => assert.equal(r.b, TRICKY[i % TRICKY.length] + i));
  } finally {
    t.close();
  }
});

test('repeated names stay pairs in every page', () => {
  const t = openTable(trickyFile(800, 'a,a,c'));
  try {
    const rows = withLimits({ pageBytes: 500, maxString: 20_000 }, () => t.sort(1));
    assert.equal(rows.length, 800);
    for (const r of rows) assert.deepEqual(r.map((p) => p[0]), ['a', 'a', 'c']);
    assert.deepEqual(rows, t.sort(1));
  } finally {
    t.close();
  }
});

test('a row longer than a page widens the page; one longer than a string throws RangeError', () => {
  const long = 'y'.repeat(5000);
  const t = openTable(write(`a,b\n1,${long}\n2,z\n3,${long}é\n`));
  try {
    const rows = withLimits({ pageBytes: 100, maxString: 20_000 }, () => t.rows());
    assert.deepEqual(rows.map((r) => r.b), [long, 'z', long + 'é']);
    assert.throws(() => withLimits({ pageBytes: 100, maxString: 1000 }, () => t.rows()), RangeError);
  } finally {
    t.close();
  }
});

test('a raw answer past the string limit throws a RangeError naming the paged ways', () => {
  const t = openTable(trickyFile(2000));
  try {
    const calls = [
      () => t.rows({ raw: true }),
      () => t.sort('a', { raw: true }),
      () => t.search('b', '', { raw: true }),
      () => t.select(['a', 'b', 'c'], { raw: true }),
    ];
    for (const call of calls) {
      assert.throws(() => withLimits({ maxString: 10_000 }, call), (e) => {
        assert.ok(e instanceof RangeError);
        assert.equal(e.code, 'ERR_STRING_TOO_LONG');
        assert.match(e.message, /more than the 10000 characters a JavaScript string can hold/);
        assert.match(e.message, /without \{raw: true\}/);
        assert.match(e.message, /rows\(\{offset, limit\}\)/);
        return true;
      });
    }
    // The table goes on answering, and small raw pages still fit.
    const page = withLimits({ maxString: 10_000 }, () => t.rows({ raw: true, limit: 10 }));
    assert.deepEqual(JSON.parse(page), t.rows({ limit: 10 }));
    assert.throws(() => withLimits({ maxString: 10 }, () => t.headers()), RangeError);
  } finally {
    t.close();
  }
});

// Two pages at the real page size: about 30 MB of answer.
test('a real answer of two default pages parses whole', () => {
  const cell = 'v'.repeat(200);
  const t = openTable(write('a,b\n' + `1,${cell}\n2,"${cell}}},{"\n`.repeat(70_000)));
  try {
    assert.ok(t.rows({ raw: true }).length > limits.pageBytes);
    const rows = t.sort('a');
    assert.equal(rows.length, 140_000);
    assert.equal(rows[0].b, cell);
    assert.equal(rows.at(-1).b, cell + '}},{');
  } finally {
    t.close();
  }
});
