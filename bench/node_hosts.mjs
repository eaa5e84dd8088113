// The Node.js package's asynchronous load beside its synchronous one, in one
// process: what a load on the kept load threads costs per call, and how soon
// an aborted load rejects.
//
//   VELMORA_CSV_LIBRARY=build/release/libvelmora-csv.so \
//       node bench/node_hosts.mjs [--small FILE] [--large FILE] [--loads 50] [--reps 5]
//
// Prints a Markdown table. Small loads: `loads` loads one after another of a
// small file, asynchronously (each awaited) and synchronously, the median
// of `reps` rounds each, after one warm-up load of each kind. Abort: a load
// of the large file aborted 100 ms after it starts; the time from abort()
// to the rejection, median of `reps`.
import { performance } from 'node:perf_hooks';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
const { openTable, openTableAsync } = await import(path.join(root, 'node', 'index.mjs'));

function option(name, fallback) {
  const at = process.argv.indexOf(`--${name}`);
  return at > 0 && at + 1 < process.argv.length ? process.argv[at + 1] : fallback;
}

const small = option('small', path.join(root, 'examples', 'data', 'cities.csv'));
const large = option('large', path.join(root, 'bench', 'data', 'mixed.csv'));
const loads = Number(option('loads', 50));
const reps = Number(option('reps', 5));

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

async function asyncRound() {
  const start = performance.now();
  for (let i = 0; i < loads; ++i) (await openTableAsync(small)).close();
  return performance.now() - start;
}

function syncRound() {
  const start = performance.now();
  for (let i = 0; i < loads; ++i) openTable(small).close();
  return performance.now() - start;
}

async function abortLatency() {
  const controller = new AbortController();
  const pending = openTableAsync(large, { signal: controller.signal });
  await new Promise((resolve) => setTimeout(resolve, 100));
  const start = performance.now();
  controller.abort();
  try {
    (await pending).close();
    return null; // the load ended before the abort
  } catch (err) {
    if (err.name !== 'AbortError') throw err;
    return performance.now() - start;
  }
}

(await openTableAsync(small)).close();
openTable(small).close();
const asyncMs = [], syncMs = [], abortMs = [];
for (let r = 0; r < reps; ++r) {
  asyncMs.push(await asyncRound());
  syncMs.push(syncRound());
}
// Last: an aborted load's thread goes on reading until its next check, and
// would share the cores with the small loads.
for (let r = 0; r < reps; ++r) {
  const waited = await abortLatency();
  if (waited !== null) abortMs.push(waited);
}
const a = median(asyncMs), s = median(syncMs);
console.log(`Node.js ${process.version}; ${loads} loads of ${path.basename(small)} per round, ` +
            `${reps} rounds, medians`);
console.log('');
console.log('| measure | async | sync | ratio |');
console.log('|---|---|---|---|');
console.log(`| ${loads} small loads, one after another | ${a.toFixed(1)} ms ` +
            `(${(a / loads).toFixed(2)} ms each) | ${s.toFixed(1)} ms | ${(a / s).toFixed(2)} |`);
console.log(`| abort() to rejection, load of ${path.basename(large)} under way | ` +
            `${abortMs.length ? median(abortMs).toFixed(1) + ' ms' : 'the load ended first'} | | |`);
