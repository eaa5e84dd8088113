// Shared pieces of the tests: temporary files, the bundled sample, and a
// count of the library's free table slots (to prove nothing leaks).
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { openTable, VelmoraError } from '../index.mjs';

export const MAX_TABLES = 64;

const here = path.dirname(fileURLToPath(import.meta.url));
export const CITIES = path.resolve(here, '..', '..', 'examples', 'data', 'cities.csv');

const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-node-'));
process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
let counter = 0;

// Writes bytes (or UTF-8 text) to a new file and returns its path.
export function write(content, name) {
  const p = path.join(dir, name ?? `t${counter++}.csv`);
  fs.writeFileSync(p, typeof content === 'string' ? Buffer.from(content, 'utf8') : content);
  return p;
}

export function tempPath(name) {
  return path.join(dir, name);
}

// A file of `rows` one-cell rows under the header "n": enough rows for the
// library to report progress before the end (it reports per 1,000,000 rows).
export function manyRows(rows) {
  return write('n\n' + '1\n'.repeat(rows));
}

// How many more tables can be opened right now (each probe is closed).
export function freeSlots() {
  const probe = write('a\n1\n');
  const opened = [];
  try {
    for (;;) {
      try {
        opened.push(openTable(probe));
      } catch (e) {
        if (!(e instanceof VelmoraError)) throw e;
        if (!e.message.startsWith(`too many open handles (max ${MAX_TABLES}): `)) throw e;
        return opened.length;
      }
    }
  } finally {
    for (const t of opened) t.close();
  }
}
