// The load threads of openTableAsync. Starting a thread costs far more than
// loading a small file, so a thread is started on first need and kept for
// the loads after it: at most MAX_THREADS at once, further loads wait their
// turn. An idle thread does not keep the process alive.
//
// The loads run on worker threads of their own rather than on libuv's pool
// because the library keeps the message of a failed load in the loading
// thread's storage: a worker reads it right after the load, where a second
// call on the pool could land on another thread.
'use strict';

const os = require('node:os');
const path = require('node:path');
const { Worker } = require('node:worker_threads');

const MAX_THREADS = Math.max(1, Math.min(4,
  typeof os.availableParallelism === 'function' ? os.availableParallelism() : os.cpus().length));

const idle = []; // threads waiting for a load
const queue = []; // loads waiting for a thread
let running = 0; // threads started and not ended, less those retired
let nextId = 1;

// A thread ended with its load unfinished (or could not load the library).
function ended(slot, error) {
  if (slot.dead) return;
  slot.dead = true;
  if (!slot.retired) running--;
  const at = idle.indexOf(slot);
  if (at >= 0) idle.splice(at, 1);
  const job = slot.job;
  slot.job = null;
  if (job !== null) job.events.failed(error);
  slot.worker.terminate();
  dispatch();
}

function spawn(where) {
  const worker = new Worker(path.join(__dirname, 'load-worker.cjs'), { workerData: { where } });
  running++;
  const slot = { worker, where, job: null, dead: false, retired: false, fatal: null };
  worker.on('message', (m) => {
    if (m.type === 'fatal') {
      slot.fatal = m.message;
      return;
    }
    const job = slot.job;
    if (job === null || m.id !== job.id) return;
    if (m.type === 'progress') {
      job.events.progress(m);
      return;
    }
    slot.job = null;
    worker.unref();
    if (slot.retired) {
      slot.dead = true;
      worker.terminate();
    } else {
      idle.push(slot);
    }
    job.events.done(m);
    dispatch();
  });
  worker.on('error', (e) => ended(slot, e));
  worker.on('exit', (code) => {
    const e = new Error(slot.fatal ?? `the load thread stopped (exit code ${code}) before the load finished`);
    e.fatal = slot.fatal !== null;
    ended(slot, e);
  });
  return slot;
}

function dispatch() {
  while (queue.length > 0) {
    const job = queue[0];
    let slot = idle.pop();
    if (slot === undefined) {
      if (running >= MAX_THREADS) return;
      slot = spawn(job.where);
    }
    queue.shift();
    slot.job = job;
    job.slot = slot;
    if (!job.abandoned) slot.worker.ref();
    slot.worker.postMessage({ id: job.id, args: job.args, shared: job.shared.buffer, report: job.report });
  }
}

/**
 * Queues a load of the library at `where` with `args` (see load.cjs).
 * events: progress({done, total, rows}) when `report`; done({handle,
 * message}); failed(error) when its thread ended first. Returns the load's
 * shared cells (see load-worker.cjs) for answers and cancelling, and
 * abandon(): nobody waits for the load any more, so it leaves the queue, or
 * its thread no longer keeps the process alive (a load blocked on a pipe
 * that never opens would otherwise hold the process forever).
 */
function startLoad(where, args, report, events) {
  const shared = new Int32Array(new SharedArrayBuffer(3 * 4));
  const job = { id: nextId++, where, args, report, shared, events, slot: null, abandoned: false };
  queue.push(job);
  dispatch();
  const abandon = () => {
    job.abandoned = true;
    const at = queue.indexOf(job);
    if (at >= 0) queue.splice(at, 1);
    else if (job.slot !== null && job.slot.job === job && !job.slot.retired) {
      // Its thread ends after this load and makes room for a new one now.
      job.slot.retired = true;
      job.slot.worker.unref();
      running--;
      dispatch();
    }
  };
  return { shared, abandon };
}

/** Load threads started and not ended. */
function threadCount() {
  return running;
}

module.exports = { startLoad, threadCount, MAX_THREADS };
