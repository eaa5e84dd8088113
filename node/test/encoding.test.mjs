// Text read as UTF-8 that is not: counted by info() and told once per load
// as a process warning with a code, naming the encoding option.
import test from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { openTable, openTableAsync, INVALID_UTF8_CODE } from '../index.mjs';
import { write } from './helpers.mjs';

// Windows-1252: 'Köln;€5' and curly quotes, 4 bytes that are not UTF-8.
const WINDOWS_1252 = Buffer.from([
  ...Buffer.from('city;price\nK'), 0xf6, ...Buffer.from('ln;'), 0x80, ...Buffer.from('5\nParis;'),
  0x93, ...Buffer.from('free'), 0x94, 0x0a,
]);

// The warnings emitted while `fn` runs (and the turn after it).
async function warningsOf(fn) {
  const seen = [];
  const listener = (w) => seen.push(w);
  process.on('warning', listener);
  try {
    const value = await fn();
    await new Promise((resolve) => setImmediate(resolve));
    return { value, seen: seen.filter((w) => w.code === INVALID_UTF8_CODE) };
  } finally {
    process.off('warning', listener);
  }
}

for (const [kind, open] of [['openTable', openTable], ['openTableAsync', openTableAsync]]) {
  for (const encoding of [undefined, 'utf-8']) {
    test(`${kind} with encoding ${encoding}: Windows-1252 bytes warn once and load as before`, async () => {
      const file = write(WINDOWS_1252);
      const { value: t, seen } = await warningsOf(() => open(file, { encoding }));
      try {
        assert.equal(seen.length, 1);
        assert.equal(seen[0].name, 'InvalidUTF8Warning');
        assert.equal(seen[0].message,
          `${file}: 4 bytes are not valid UTF-8; if the file is in another encoding, ` +
          "name it, e.g. {encoding: 'windows-1252'}");
        const info = t.info();
        assert.equal(info.invalid_utf8_bytes, 4);
        assert.equal(info.replaced_bytes, 0);
        assert.deepEqual(t.rows()[0], { city: 'Köln', price: '\u00805' });
      } finally {
        t.close();
      }
    });
  }
}

test('one byte is told in the singular', async () => {
  const file = write(Buffer.from([0x61, 0x0a, 0xe9, 0x0a]));
  const { value: t, seen } = await warningsOf(() => openTable(file));
  t.close();
  assert.equal(seen.length, 1);
  assert.match(seen[0].message, /: 1 byte is not valid UTF-8;/);
});

const QUIET = [
  ['the encoding named', WINDOWS_1252, { encoding: 'windows-1252' }],
  ['valid UTF-8', Buffer.from('city\nKöln €\n'), {}],
  ['UTF-16 with a mark', Buffer.concat([Buffer.from([0xff, 0xfe]), Buffer.from('city\nKöln\n', 'utf16le')]), {}],
];

for (const [what, bytes, options] of QUIET) {
  test(`no warning for ${what}`, async () => {
    const { value: t, seen } = await warningsOf(() => openTable(write(bytes), options));
    try {
      assert.equal(seen.length, 0);
      assert.equal(t.info().invalid_utf8_bytes, 0);
    } finally {
      t.close();
    }
  });
}

test('the warning reaches a listener as Node warnings do', async () => {
  const file = write(WINDOWS_1252);
  const got = once(process, 'warning');
  openTable(file).close();
  const [w] = await got;
  assert.equal(w.code, INVALID_UTF8_CODE);
});
