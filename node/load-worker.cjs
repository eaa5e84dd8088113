// Runs one load of openTableAsync on a worker thread. The table lands in the
// library's process-wide registry; only its handle number (or the message
// of the failure, read on this thread) goes back to the main thread.
//
// Progress: each report is posted to the main thread, and the worker waits
// on a shared cell for the answer of the host's onProgress (go on or
// cancel). The cancel cell is also set by an AbortSignal.
'use strict';

const { parentPort, workerData } = require('node:worker_threads');
const { libraryAt } = require('./native.cjs');
const { loadTable } = require('./load.cjs');

// Cells of workerData.shared (an Int32Array over a SharedArrayBuffer).
const REPLY = 0; // set to 1 by the main thread when ANSWER holds a reply
const ANSWER = 1; // 0 go on, 1 cancel
const CANCEL = 2; // set to 1 once the load must stop

function main() {
  const { where, args, shared: buffer, report } = workerData;
  const shared = new Int32Array(buffer);
  let fns;
  try {
    fns = libraryAt(where);
  } catch (e) {
    parentPort.postMessage({ type: 'done', handle: -1, message: String(e.message), fatal: true });
    return;
  }
  const progress = (done, total, rows) => {
    if (Atomics.load(shared, CANCEL) !== 0) return 1;
    if (!report) return 0;
    Atomics.store(shared, REPLY, 0);
    parentPort.postMessage({ type: 'progress', done, total, rows });
    Atomics.wait(shared, REPLY, 0);
    return Atomics.load(shared, ANSWER) !== 0 || Atomics.load(shared, CANCEL) !== 0 ? 1 : 0;
  };
  const { handle, message } = loadTable(fns, args, progress);
  parentPort.postMessage({ type: 'done', handle, message });
}

main();
