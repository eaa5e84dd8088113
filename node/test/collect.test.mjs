// Tables nobody closed are freed when the collector takes them. Each case
// runs in a child process started with --expose-gc, so it can collect when
// it chooses.
import test from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { write } from './helpers.mjs';

const entry = pathToFileURL(path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', 'index.mjs')).href;
const helpers = pathToFileURL(path.resolve(path.dirname(fileURLToPath(import.meta.url)), 'helpers.mjs')).href;

// Runs an ES module body with gc() available; returns its stdout lines.
function runWithGc(body) {
  const code = `import { openTable } from ${JSON.stringify(entry)};\n` +
    `import { freeSlots, MAX_TABLES } from ${JSON.stringify(helpers)};\n` +
    'const collect = async () => { gc(); await new Promise((r) => setImmediate(r)); gc(); ' +
    'await new Promise((r) => setImmediate(r)); };\n' + body;
  const r = spawnSync(process.execPath, ['--expose-gc', '--input-type=module', '-e', code], { encoding: 'utf8' });
  assert.equal(r.status, 0, r.stderr);
  return r.stdout.trim().split('\n');
}

test('unclosed tables are closed when collected: 300 loads never run out of handles', () => {
  const p = write('a\n1\n2\n');
  const out = runWithGc(`
    let sum = 0;
    for (let i = 0; i < 300; i++) {
      sum += openTable(${JSON.stringify(p)}).rowCount;
      if (i % 50 === 49) await collect();
    }
    await collect();
    console.log(sum, freeSlots() === MAX_TABLES);
  `);
  assert.deepEqual(out, ['600 true']);
});

test('a closed and collected table never closes the table that took its number', () => {
  const p = write('a\n1\n');
  const q = write('b\n2\n3\n');
  const out = runWithGc(`
    let first = openTable(${JSON.stringify(p)});
    first.close();
    // Given the number the first table had.
    const second = openTable(${JSON.stringify(q)});
    first = null;
    await collect();
    console.log(second.rowCount, JSON.stringify(second.rows()));
    second.close();
    console.log(freeSlots() === MAX_TABLES);
  `);
  assert.deepEqual(out, ['2 [{"b":"2"},{"b":"3"}]', 'true']);
});

test('a table still referenced stays open through collections', () => {
  const p = write('a\n1\n');
  const out = runWithGc(`
    const kept = openTable(${JSON.stringify(p)});
    for (let i = 0; i < 3; i++) await collect();
    console.log(kept.rowCount, freeSlots() === MAX_TABLES - 1);
    kept.close();
  `);
  assert.deepEqual(out, ['1 true']);
});
