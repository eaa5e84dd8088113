// A load thread of openTableAsync. It lives on between loads and runs the
// loads it is sent one after the other. Each table lands in the library's
// process-wide registry; only its handle number (or the message of the
// failure, read on this thread, where the library keeps it) goes back.
//
// Progress: each report is posted to the main thread, and the worker waits
// on the load's shared cells for the answer of the host's onProgress (go on
// or cancel). The cancel cell is also set by an AbortSignal.
'use strict';

const { parentPort, workerData } = require('node:worker_threads');
const { libraryAt } = require('./native.cjs');
const { loadTable } = require('./load.cjs');

// Cells of a load's `shared` (an Int32Array over a SharedArrayBuffer).
const REPLY = 0; // set to 1 by the main thread when ANSWER holds a reply
const ANSWER = 1; // 0 go on, 1 cancel
const CANCEL = 2; // set to 1 once the load must stop

function run(fns, { id, args, shared: buffer, report }) {
  const shared = new Int32Array(buffer);
  const progress = (done, total, rows) => {
    if (Atomics.load(shared, CANCEL) !== 0) return 1;
    if (!report) return 0;
    Atomics.store(shared, REPLY, 0);
    parentPort.postMessage({ id, type: 'progress', done, total, rows });
    Atomics.wait(shared, REPLY, 0);
    return Atomics.load(shared, ANSWER) !== 0 || Atomics.load(shared, CANCEL) !== 0 ? 1 : 0;
  };
  const { handle, message } = loadTable(fns, args, progress);
  parentPort.postMessage({ id, type: 'done', handle, message });
}

function main() {
  let fns;
  try {
    fns = libraryAt(workerData.where);
  } catch (e) {
    parentPort.postMessage({ type: 'fatal', message: String(e.message) });
    return;
  }
  parentPort.on('message', (job) => run(fns, job));
}

main();
