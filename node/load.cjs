// The one load call, shared by the main thread (openTable) and the load
// worker (openTableAsync). The library keeps its error message per thread,
// so the message of a failed load is read here, on the loading thread, right
// after the call.
'use strict';

// args: {path: string|Uint8Array, header: 0|1, delimiter: int,
//        encodingCode: int, encodingName: string|null}
// progress: null, or (done, total, rows) => 0 to go on, nonzero to cancel.
// Returns {handle, message}: handle -1 with the library's message on failure.
function loadTable(fns, args, progress) {
  const p = typeof args.path === 'string' || Buffer.isBuffer(args.path)
    ? args.path : Buffer.from(args.path.buffer, args.path.byteOffset, args.path.byteLength);
  const cb = progress === null ? null
    : (done, total, rows) => progress(Number(done), Number(total), Number(rows));
  const handle = args.encodingName === null
    ? fns.csv_load_ex_progress(p, args.header, args.delimiter, args.encodingCode, cb, null)
    : fns.csv_load_encoding(p, args.header, args.delimiter, args.encodingName, cb, null);
  return { handle, message: handle < 0 ? fns.csv_last_error() : '' };
}

module.exports = { loadTable };
