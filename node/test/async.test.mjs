// openTableAsync: the load runs on a load thread; progress, cancellation
// and errors reach the caller's thread.
import test from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import { isMainThread } from 'node:worker_threads';
import { openTableAsync, VelmoraError, CancelledError, AbortError } from '../index.mjs';
import { CITIES, MAX_TABLES, freeSlots, manyRows, tempPath, write } from './helpers.mjs';

const native = (await import('../native.cjs')).default;
const fns = native.library();

test('the bundled sample loads off the main thread', async () => {
  const pending = openTableAsync(CITIES);
  assert.ok(pending instanceof Promise);
  const t = await pending;
  assert.equal(t.rowCount, 7);
  assert.equal(t.rows()[3].city, '東京');
  t.close();
});

test('the options of openTable apply', async () => {
  const t = await openTableAsync(Buffer.from(write('a:b\n1:2\n')), { delimiter: ':', header: false, encoding: 'utf-8' });
  assert.deepEqual(t.rows(), [{ 1: 'a', 2: 'b' }, { 1: '1', 2: '2' }]);
  t.close();
});

// The load waits in the library for a writer to open the pipe; the writer is
// this thread. Were the load on this thread, it would wait forever.
test('the calling thread runs while the load waits', { timeout: 30_000 }, async () => {
  const fifo = tempPath('wait.csv');
  execFileSync('mkfifo', [fifo]);
  const pending = openTableAsync(fifo).then((t) => t, (e) => e);
  const fd = fs.openSync(fifo, 'w');
  try {
    fs.writeSync(fd, 'a,b\n1,2\n');
  } catch (e) {
    if (e.code !== 'EPIPE') throw e; // a library that cannot read pipes gave up already
  } finally {
    fs.closeSync(fd);
  }
  const result = await pending;
  // A library that cannot read pipes fails the load, after the wait.
  if (result instanceof Error) assert.ok(result instanceof VelmoraError, String(result));
  else result.close();
});

test('failures reject with the library message read on the loading thread', async () => {
  const p = write('x', 'async-present.csv') + '.missing';
  await assert.rejects(openTableAsync(p), (e) => {
    assert.ok(e instanceof VelmoraError);
    assert.equal(e.code, 'ENOENT');
    assert.equal(e.message, `cannot open file: ${p} (No such file or directory)`);
    return true;
  });
  await assert.rejects(openTableAsync(write('a\n'), { delimiter: 999 }), { message: 'invalid delimiter: 999' });
  await assert.rejects(openTableAsync(write('a\n'), { delimiter: '§' }), RangeError);
});

test('progress runs on the main thread; false cancels', async () => {
  const p = manyRows(2_100_000);
  const calls = [];
  const t = await openTableAsync(p, {
    onProgress: (done, total, rows) => { calls.push([done, total, rows, isMainThread]); },
  });
  t.close();
  assert.ok(calls.length >= 2);
  assert.ok(calls.every((c) => c[3] === true));
  assert.equal(calls.at(-1)[2], 2_100_000);

  let n = 0;
  await assert.rejects(openTableAsync(p, { onProgress: () => { n++; return false; } }), (e) => {
    assert.ok(e instanceof CancelledError);
    assert.equal(e.message, 'cancelled by progress callback');
    return true;
  });
  assert.equal(n, 1);
  assert.equal(freeSlots(), MAX_TABLES);
});

test('an exception in onProgress rejects with that exception', async () => {
  const boom = new Error('boom');
  await assert.rejects(openTableAsync(manyRows(10), { onProgress: () => { throw boom; } }), (e) => e === boom);
  assert.equal(freeSlots(), MAX_TABLES);
});

// What Node's own APIs reject with when their signal fires.
function isAbortError(e, reason) {
  assert.ok(e instanceof AbortError && e instanceof CancelledError && e instanceof VelmoraError);
  assert.equal(e.name, 'AbortError');
  assert.equal(e.code, 'ABORT_ERR');
  assert.equal(e.cause, reason);
  return true;
}

// Waits until every table slot is free again (a cancelled load ends on its
// own thread after the promise settled).
async function slotsFreed() {
  for (let i = 0; i < 500 && freeSlots() !== MAX_TABLES; i++) await new Promise((r) => setTimeout(r, 20));
  assert.equal(freeSlots(), MAX_TABLES);
}

test('an AbortSignal rejects with an AbortError whose cause is its reason', async () => {
  const p = manyRows(2_100_000);
  const before = AbortSignal.abort(new Error('not wanted'));
  await assert.rejects(openTableAsync(p, { signal: before }), (e) => isAbortError(e, before.reason));
  const ac = new AbortController();
  await assert.rejects(openTableAsync(p, { signal: ac.signal, onProgress: () => { ac.abort(); } }),
    (e) => isAbortError(e, ac.signal.reason));
  assert.equal(ac.signal.reason.name, 'AbortError');
  await slotsFreed();
});

// The load waits in the library for a writer to open the pipe and reports
// nothing meanwhile: the promise must not wait for it.
test('an abort rejects at once, while the load still waits; AbortSignal.timeout gives its TimeoutError', { timeout: 30_000 }, async () => {
  const later = () => {
    const ac = new AbortController();
    setTimeout(() => ac.abort(), 30);
    return ac.signal;
  };
  for (const [make, reasonName] of [[() => AbortSignal.timeout(30), 'TimeoutError'], [later, 'AbortError']]) {
    const fifo = tempPath(`abort-${Math.random()}.csv`);
    execFileSync('mkfifo', [fifo]);
    const signal = make();
    await assert.rejects(openTableAsync(fifo, { signal }), (e) => isAbortError(e, signal.reason));
    assert.equal(signal.reason.name, reasonName);
    // Let the load end: it reads the pipe, then its table is closed unseen.
    const fd = fs.openSync(fifo, 'w');
    fs.writeSync(fd, 'a\n1\n');
    fs.closeSync(fd);
    await slotsFreed();
  }
});

test('several loads at once each get their own table', async () => {
  const files = [write('a\n1\n'), write('b\n2\n3\n'), CITIES];
  const tables = await Promise.all(files.map((f) => openTableAsync(f)));
  assert.deepEqual(tables.map((t) => t.rowCount), [1, 2, 7]);
  for (const t of tables) t.close();
});

// Streams of unknown size report a total of -1 (libraries that read pipes).
test('a pipe loads with progress total -1', { skip: fns.csv_info === null && 'the library reads no pipes' }, async () => {
  const fifo = tempPath('pipe.csv');
  execFileSync('mkfifo', [fifo]);
  // The writer keeps the pipe empty for a while: the library reports its
  // wait, with the size unknown.
  const writer = spawn('sh', ['-c', 'exec 3>"$0"; sleep 1; printf "a,b\\n1,2\\n" >&3', fifo], { stdio: 'ignore' });
  const exited = new Promise((resolve) => writer.on('exit', resolve));
  const totals = [];
  const t = await openTableAsync(fifo, { onProgress: (done, total) => { totals.push(total); } });
  assert.deepEqual(t.rows(), [{ a: '1', b: '2' }]);
  assert.ok(totals.includes(-1), JSON.stringify(totals));
  t.close();
  assert.equal(await exited, 0);
});

test('load threads are kept between loads, and many loads at once all finish', async () => {
  const pool = (await import('../load-pool.cjs')).default;
  const files = Array.from({ length: 20 }, (_, i) => write(`n\n${'1\n'.repeat(i)}`));
  const tables = await Promise.all(files.map((f) => openTableAsync(f)));
  assert.deepEqual(tables.map((t) => t.rowCount), files.map((_, i) => i));
  for (const t of tables) t.close();
  const threads = pool.threadCount();
  assert.ok(threads >= 1 && threads <= pool.MAX_THREADS, String(threads));
  for (const f of files) (await openTableAsync(f)).close();
  assert.equal(pool.threadCount(), threads);
});

// Loads waiting for a writer: once aborted, their threads make room for new
// ones, and when the pipe opens at last they end and let the process exit.
test('abandoned loads neither hold back later loads nor keep the process', { timeout: 60_000 }, () => {
  const fifo = tempPath('late.csv');
  execFileSync('mkfifo', [fifo]);
  const entry = new URL('../index.mjs', import.meta.url).href;
  const code = `import fs from 'node:fs';
    import { openTableAsync } from ${JSON.stringify(entry)};
    const pool = (await import(${JSON.stringify(new URL('../load-pool.cjs', import.meta.url).href)})).default;
    const stuck = [];
    for (let i = 0; i < pool.MAX_THREADS + 1; i++) {
      stuck.push(openTableAsync(${JSON.stringify(fifo)}, { signal: AbortSignal.timeout(300) }).catch((e) => e.name));
    }
    console.log((await Promise.all(stuck)).join(','));
    const t = await openTableAsync(${JSON.stringify(CITIES)});
    console.log(t.rowCount);
    // For two seconds, every load found waiting in the pipe's open is let go.
    for (let i = 0; i < 100; i++) {
      try {
        fs.closeSync(fs.openSync(${JSON.stringify(fifo)}, fs.constants.O_WRONLY | fs.constants.O_NONBLOCK));
      } catch (e) {
        if (e.code !== 'ENXIO') throw e;
      }
      await new Promise((r) => setTimeout(r, 20));
    }`;
  const r = spawnSync(process.execPath, ['--input-type=module', '-e', code], { encoding: 'utf8', timeout: 30_000 });
  assert.equal(r.signal, null, `the process did not end by itself: ${r.stdout}${r.stderr}`);
  assert.equal(r.status, 0, r.stderr);
  const [aborted, rows] = r.stdout.trim().split('\n');
  const names = aborted.split(',');
  assert.ok(names.length >= 2 && names.every((n) => n === 'AbortError'), aborted);
  assert.equal(rows, '7');
});
