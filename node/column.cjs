// One column of a table as a typed array or an array of strings, read from
// the library's Arrow C stream (csv_arrow_stream, typed mode) instead of a
// JSON answer.
//
// The stream and the structs it fills live in memory allocated here; their
// function pointers are called through koffi and their buffers read through
// views, copied into JavaScript arrays before each struct is released. The
// layouts are the Arrow C data interface's on a 64-bit machine.
'use strict';

const koffi = require('koffi');

const TYPED = 1; // CSV_ARROW_TYPED
const PTR = 8;

// struct ArrowArrayStream: get_schema, get_next, get_last_error, release, private_data
const STREAM_SIZE = 5 * PTR;
const STREAM_GET_SCHEMA = 0;
const STREAM_GET_NEXT = PTR;
const STREAM_GET_LAST_ERROR = 2 * PTR;
const STREAM_RELEASE = 3 * PTR;
// struct ArrowSchema: format, name, metadata, flags, n_children, children,
// dictionary, release, private_data
const SCHEMA_SIZE = 9 * PTR;
const SCHEMA_FORMAT = 0;
const SCHEMA_CHILDREN = 5 * PTR;
const SCHEMA_RELEASE = 7 * PTR;
// struct ArrowArray: length, null_count, offset, n_buffers, n_children,
// buffers, children, dictionary, release, private_data
const ARRAY_SIZE = 10 * PTR;
const ARRAY_LENGTH = 0;
const ARRAY_NULL_COUNT = PTR;
const ARRAY_OFFSET = 2 * PTR;
const ARRAY_BUFFERS = 5 * PTR;
const ARRAY_CHILDREN = 6 * PTR;
const ARRAY_RELEASE = 8 * PTR;

const GET_SCHEMA = koffi.proto('int velmora_arrow_get_schema(void *stream, void *out)');
const GET_NEXT = koffi.proto('int velmora_arrow_get_next(void *stream, void *out)');
const GET_LAST_ERROR = koffi.proto('const char *velmora_arrow_get_last_error(void *stream)');
const RELEASE = koffi.proto('void velmora_arrow_release(void *p)');

function pointerAt(base, offset) {
  return koffi.decode(base, offset, 'void *');
}

function int64At(base, offset) {
  return Number(koffi.decode(base, offset, 'int64_t'));
}

// Calls the struct's release callback, unless it was released already
// (a released struct has a NULL release).
function release(struct, offset) {
  const fn = pointerAt(struct, offset);
  if (fn !== null) koffi.call(fn, RELEASE, struct);
}

function streamError(stream, code, what) {
  const fn = pointerAt(stream, STREAM_GET_LAST_ERROR);
  const detail = fn === null ? null : koffi.call(fn, GET_LAST_ERROR, stream);
  return `${what} the column failed: ${detail || `error ${code}`}`;
}

// Bytes [0, length) of a buffer of the library as a Buffer (no copy).
function bytesAt(ptr, length) {
  return length === 0 ? Buffer.alloc(0) : Buffer.from(koffi.view(ptr, length));
}

// Whether value `i` of an array with validity bitmap `bitmap` (null: all
// valid) is valid; `i` counts the array's offset in.
function valid(bitmap, i) {
  return bitmap === null || (bitmap[i >> 3] & (1 << (i & 7))) !== 0;
}

// The values of one batch of the column, appended to `out`.
function readBatch(format, child, offset, length, out) {
  const buffers = pointerAt(child, ARRAY_BUFFERS);
  const nulls = int64At(child, ARRAY_NULL_COUNT);
  const start = offset + int64At(child, ARRAY_OFFSET);
  const validity = pointerAt(buffers, 0);
  const bitmap = nulls === 0 || validity === null ? null : bytesAt(validity, (start + length + 7) >> 3);
  if (format === 'g' || format === 'l') {
    const values = bytesAt(pointerAt(buffers, PTR), (start + length) * 8);
    const Typed = format === 'g' ? Float64Array : BigInt64Array;
    const batch = new Typed(values.buffer, values.byteOffset + start * 8, length);
    out.numbers.push(Typed === Float64Array ? Float64Array.from(batch) : BigInt64Array.from(batch));
    if (bitmap !== null) {
      for (let i = 0; i < length; ++i) if (!valid(bitmap, start + i)) out.nulls.push(out.count + i);
    }
  } else {
    // utf8 ("u", 32-bit offsets) or large utf8 ("U", 64-bit offsets); text
    // cells are never null.
    const wide = format === 'U';
    const width = wide ? 8 : 4;
    const offs = bytesAt(pointerAt(buffers, PTR), (start + length + 1) * width);
    const at = (i) => (wide ? Number(offs.readBigInt64LE(i * width)) : offs.readInt32LE(i * width));
    const end = length === 0 ? 0 : at(start + length);
    const data = bytesAt(pointerAt(buffers, 2 * PTR), end);
    for (let i = 0; i < length; ++i) out.strings.push(data.toString('utf8', at(start + i), at(start + i + 1)));
  }
  out.count += length;
}

// The numbers of all batches as one array: float64 with NaN for nulls;
// int64 as BigInt64Array when no cell is empty, else as float64 with NaN.
function joinNumbers(format, out) {
  const asBig = format === 'l' && out.nulls.length === 0;
  const result = asBig ? new BigInt64Array(out.count) : new Float64Array(out.count);
  let at = 0;
  for (const part of out.numbers) {
    if (asBig || part instanceof Float64Array) result.set(part, at);
    else for (let i = 0; i < part.length; ++i) result[at + i] = Number(part[i]);
    at += part.length;
  }
  for (const i of out.nulls) result[i] = NaN;
  return result;
}

// The format of the one column of the stream's schema.
function columnFormat(stream, schema, makeError) {
  const rc = koffi.call(pointerAt(stream, STREAM_GET_SCHEMA), GET_SCHEMA, stream, schema);
  if (rc !== 0) throw makeError(streamError(stream, rc, 'reading the type of'));
  try {
    const child = pointerAt(pointerAt(schema, SCHEMA_CHILDREN), 0);
    return koffi.decode(pointerAt(child, SCHEMA_FORMAT), 'char', -1);
  } finally {
    release(schema, SCHEMA_RELEASE);
  }
}

/**
 * Reads column `col` (a list item csv_arrow_stream reads as one column) of
 * table `handle`. Throws `makeError(message)` with the library's message
 * when the library refuses.
 */
function readColumn(fns, handle, col, makeError) {
  const stream = koffi.alloc('uint8_t', STREAM_SIZE);
  const schema = koffi.alloc('uint8_t', SCHEMA_SIZE);
  const array = koffi.alloc('uint8_t', ARRAY_SIZE);
  try {
    if (fns.csv_arrow_stream(handle, col, TYPED, stream) !== 0) throw makeError(fns.csv_last_error());
    try {
      const format = columnFormat(stream, schema, makeError);
      const out = { count: 0, numbers: [], nulls: [], strings: [] };
      for (;;) {
        const rc = koffi.call(pointerAt(stream, STREAM_GET_NEXT), GET_NEXT, stream, array);
        if (rc !== 0) throw makeError(streamError(stream, rc, 'reading'));
        if (pointerAt(array, ARRAY_RELEASE) === null) break; // the end
        try {
          const length = int64At(array, ARRAY_LENGTH);
          const child = pointerAt(pointerAt(array, ARRAY_CHILDREN), 0);
          readBatch(format, child, int64At(array, ARRAY_OFFSET), length, out);
        } finally {
          release(array, ARRAY_RELEASE);
        }
      }
      return format === 'g' || format === 'l' ? joinNumbers(format, out) : out.strings;
    } finally {
      release(stream, STREAM_RELEASE);
    }
  } finally {
    koffi.free(array);
    koffi.free(schema);
    koffi.free(stream);
  }
}

module.exports = { readColumn };
