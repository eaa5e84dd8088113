/*
 * velmora-csv: load delimited text files into memory and query them as JSON.
 *
 * Every function is safe to call from any thread. Tables are named by small
 * integer handles (0..63). Failures return -1 or NULL; the calling thread's
 * message is then available from csv_last_error().
 *
 * Result text: functions returning `const char *` hand out compact UTF-8 JSON
 * text owned by the library, in a buffer private to the calling thread. It
 * stays valid until the same thread's next call of a JSON-producing function
 * (csv_headers, csv_rows, csv_select, csv_search, csv_sort, csv_stats,
 * csv_parse_warnings, csv_info). Never free it.
 *
 * Sources: every loader reads its path to the end, whatever it names: a
 * regular file, a file that reports a size of 0 (/proc), or a stream that
 * cannot seek (pipe, FIFO, "/dev/stdin", a character device). A gzip file
 * or stream (first bytes 1F 8B 08) is inflated as it is read. Sources of
 * any size load, known up front or not (streams, size-0 files, gzip), as
 * far as memory holds the text and 8 bytes a cell: tables pass 4 GiB of
 * text and 2^32 cells. One cell holds at most 4 GiB - 1 bytes, and so does
 * one record's text; a longer one fails the load ("field exceeds 4 GiB - 1
 * bytes, the most one cell holds", "record exceeds 4 GiB - 1 bytes of text,
 * the most one record holds"). Failures: "cannot open file: <path>
 * (<system text>)", "cannot read file: <path> (<system text>)", "corrupt
 * gzip stream: <path> (<reason>)", "out of memory while parsing CSV".
 *
 * Counts past 2147483647 (INT_MAX): the functions returning an int count
 * (csv_row_count, csv_parse_warning_count) return 2147483647 for them;
 * csv_info's "rows" and "warnings" and csv_stats' counts give them in full,
 * and csv_rows64 pages through every row.
 */
#ifndef VELMORA_CSV_H
#define VELMORA_CSV_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(VELMORA_CSV_BUILDING)
#    define VELMORA_CSV_API __declspec(dllexport)
#  else
#    define VELMORA_CSV_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define VELMORA_CSV_API __attribute__((visibility("default")))
#else
#  define VELMORA_CSV_API
#endif

/*
 * Progress callback of csv_load_ex_progress and csv_load_encoding. Called on
 * the loading thread, with no library lock held, in two phases:
 *
 * Reading, only for a source whose size is not known (pipes, FIFOs,
 * devices, files reporting size 0; rows is 0): after each further 64 MiB
 * read, and about every 250 ms while a stream gives no data (signals that
 * interrupt the wait bring no extra call).
 *   done:  bytes read from the source so far (compressed bytes for gzip)
 *   total: -1: show no percentage
 * Parsing: at most once per 64 MiB of text or per 1,000,000 rows, and once
 * at the end.
 *   done:  bytes of the decoded text consumed so far
 *   total: bytes of the decoded text
 *   rows:  rows stored so far
 * A regular file of known size therefore gets the parse's calls alone, and
 * a small one only the final call. done never decreases within a phase.
 * Return 0 to go on, anything else to cancel the load (it then fails with
 * "cancelled by progress callback").
 */
typedef int (*csv_progress_fn)(uint64_t done, int64_t total, int64_t rows,
                               void *user_data);

/* ---- loading ------------------------------------------------------------ */

/* A load of 8 MiB or more of text starts one helper thread, with every
 * signal blocked, that prepares memory (and reads the file) ahead of the
 * loading thread; it ends before the load returns. Where the system refuses
 * a thread, the loading thread does that work itself. */

/* Loads a comma-separated file whose bytes are used as they are (a UTF-8
 * byte order mark is skipped). has_header != 0: the first record names the
 * columns; otherwise the columns are named "1", "2", ...
 * Returns a handle 0..63, or -1 ("path is NULL", "cannot open file: ...",
 * "too many open handles (max 64)", ...). */
VELMORA_CSV_API int csv_load(const char *path, int has_header);

/* Like csv_load, with a delimiter (0 detect from the first record, or the
 * byte 1..255 itself) and an encoding (0 detect, 1 UTF-8 / bytes unchanged,
 * 2 UTF-16 little-endian, 3 UTF-16 big-endian; other values act like 1). */
VELMORA_CSV_API int csv_load_ex(const char *path, int has_header, int delimiter,
                                int encoding);

/* Like csv_load_ex, reporting progress to `progress` (may be NULL), which
 * receives `user_data` unchanged and may cancel the load. */
VELMORA_CSV_API int csv_load_ex_progress(const char *path, int has_header,
                                         int delimiter, int encoding,
                                         csv_progress_fn progress,
                                         void *user_data);

/* Like csv_load_ex_progress, with the text encoding given by name.
 * encoding NULL or "": detected as csv_load_ex does (byte order marks,
 * UTF-16 without a mark). Otherwise any name the C library's iconv knows
 * ("windows-1252", "latin1", "shift_jis", "gb18030", "koi8-r", ...),
 * compared as iconv does; "utf-8", "utf-16le" and "utf-16be" (any case,
 * with or without '-') use the library's own decoders, and a leading byte
 * order mark of the named UTF-16 order is skipped. The text is converted to
 * UTF-8 a piece at a time; each byte that is not valid in the encoding
 * becomes U+FFFD and is counted ("replaced_bytes" of csv_info). progress
 * may be NULL. Returns a handle 0..63, or -1: an unknown name (or one of
 * 64 bytes or more) fails, before the file is read, with "unknown encoding:
 * <name>"; other messages as for csv_load_ex. */
VELMORA_CSV_API int csv_load_encoding(const char *path, int has_header, int delimiter,
                                      const char *encoding, csv_progress_fn progress,
                                      void *user_data);

/* ---- byte ranges: a file loaded block by block -------------------------- */

/* A regular file cut into blocks at any byte offsets loads block by block,
 * every record of the file in exactly one block: the block in which it
 * starts. Where records start is exact whatever the blocks' edges: quoted
 * fields may hold delimiters and line ends, a quote inside an unquoted
 * field is text, and a CRLF may be cut between two blocks. It is decided by
 * the record parser's own states, of which there are CSV_RANGE_STATES;
 * state 0 is the one at the file's start ("a record starts here").
 *
 * To load blocks [o_0, o_1), [o_1, o_2), ... in parallel: scan each block
 * (csv_range_scan, also in parallel) for its state map; the state at o_i is
 * then map_{i-1}[... map_0[0]], composed in block order; load each block with
 * the state at its first byte (csv_load_range). */
#define CSV_RANGE_STATES 6

/* The state map of the bytes [offset, offset + length) of the file: on
 * success out_map[s] (CSV_RANGE_STATES entries) is the state after the range
 * when the state before it is s. Reads the range a piece at a time: work
 * linear in the range, memory bounded. delimiter, encoding and
 * encoding_name as for csv_load_range. Returns 0, or -1 ("path is NULL",
 * "out_map is NULL", the messages of csv_load_range). */
VELMORA_CSV_API int csv_range_scan(const char *path, int delimiter, int encoding,
                                   const char *encoding_name, int64_t offset, int64_t length,
                                   int32_t *out_map);

/* Loads the records of the file at `path` that start in the bytes [offset,
 * offset + length); the last of them is read on past the range to its end.
 * start_state is the state at `offset` (composed from csv_range_scan maps),
 * or -1 to have it computed by a pass over the file from its start.
 * A range past the file's end, or one in which no record starts, loads a
 * table without rows.
 *   has_header != 0: the file's first record names the columns of every
 *     block (it is read from the file's start for that) and is no block's
 *     row; else the columns are named "1", "2", ... Every block expects the
 *     width of the file's first record; a wider record widens its table.
 *   delimiter: 0 detects it from the file's first record as csv_load_ex
 *     does, so that every block agrees, or the byte 1..255.
 *   encoding, encoding_name: as for csv_load_ex (`encoding`) or, when
 *     encoding_name is non-empty, csv_load_encoding. Byte offsets are those
 *     of the file. UTF-8, bytes used as they are, and named encodings that
 *     read every byte alone as one character with ASCII unchanged
 *     ("latin1", "windows-1252", "koi8-r", ...) split at any byte; UTF-16
 *     splits at even offsets (and lengths, but for a range reaching the
 *     file's end). A byte order mark counts only at offset 0.
 *   Warning record numbers count from the block's first record.
 * A gzip file cannot be split: it loads whole when the range is the whole
 * file (offset 0, length at least its size), else the call fails.
 * Reads the range and what its last record needs past it: memory is bounded
 * by the block and that record. Returns a handle 0..63, or -1: messages of
 * csv_load_encoding, and "invalid byte range: offset N, length N" (either
 * negative), "invalid start state: N", "UTF-16 text splits only at even
 * offsets: ...", "cannot load a byte range of a gzip file: <path> (...)",
 * "cannot load a byte range of <path>: not a regular file", "cannot load a
 * byte range of <name> text: ..." (an encoding whose characters may span a
 * cut, or a delimiter byte of 128 or more in text that is decoded). */
VELMORA_CSV_API int csv_load_range(const char *path, int has_header, int delimiter, int encoding,
                                   const char *encoding_name, int64_t offset, int64_t length,
                                   int start_state, csv_progress_fn progress, void *user_data);

/* ---- counts, lifetime, errors ------------------------------------------ */

/* Rows of the table (capped at 2147483647), or -1 for an invalid handle. */
VELMORA_CSV_API int csv_row_count(int handle);

/* Columns of the table, or -1 for an invalid handle. */
VELMORA_CSV_API int csv_col_count(int handle);

/* Frees the table; an invalid or closed handle is ignored. Does not change
 * the thread's message. The handle number may be reused by a later load. */
VELMORA_CSV_API void csv_close(int handle);

/* The calling thread's last message; "" after a successful call. Never NULL;
 * valid for the life of the thread. */
VELMORA_CSV_API const char *csv_last_error(void);

/* ---- JSON queries (result text owned by the library, see above) -------- */

/* ["name", ...]: the header names in column order. */
VELMORA_CSV_API const char *csv_headers(int handle);

/* [{"header":"cell", ...}, ...] for the rows offset .. offset+limit-1.
 * A negative offset counts as 0; a negative limit reaches to the end. */
VELMORA_CSV_API const char *csv_rows(int handle, int offset, int limit);

/* csv_rows with 64-bit offset and limit, so that pages reach every row of
 * a table of more than 2147483647 rows (whose count csv_info's "rows"
 * gives in full). */
VELMORA_CSV_API const char *csv_rows64(int handle, int64_t offset, int64_t limit);

/* Every row restricted to the comma-separated column list `cols` (header
 * names or 1-based numbers; order and repeats kept). NULL cols: "cols is NULL". */
VELMORA_CSV_API const char *csv_select(int handle, const char *cols);

/* The rows whose cell in column `col` (name or 1-based number) contains
 * `query`; case_insensitive != 0 folds ASCII letters only. */
VELMORA_CSV_API const char *csv_search(int handle, const char *col,
                                       const char *query, int case_insensitive);

/* Every row ordered by column `col`: numerically when every non-empty cell
 * is a number, else by bytes; empty cells first ascending and last
 * descending; equal keys keep table order. descending != 0 reverses. */
VELMORA_CSV_API const char *csv_sort(int handle, const char *col,
                                     int descending);

/* {"row_count":..,"col_count":..,"columns":[{"name","count","nulls",
 * "unique","numeric"[,"min","max","mean"]}, ...]} */
VELMORA_CSV_API const char *csv_stats(int handle);

/* {"count","ragged","blank","unterminated_quote","truncated_utf16",
 * "expected_cols"[,"unterminated_row"],"first","samples"} */
VELMORA_CSV_API const char *csv_parse_warnings(int handle);

/* Total of the parse warnings (capped at 2147483647), or -1. */
VELMORA_CSV_API int csv_parse_warning_count(int handle);

/* How the table was loaded, as one object with these keys in this order:
 * {"encoding":"utf-16le","bom":true,"delimiter":";","encoding_detected":true,
 *  "delimiter_detected":true,"compression":"none","file_size":1234,
 *  "rows":7,"columns":5,"warnings":1,"replaced_bytes":0,"invalid_utf8_bytes":0}
 *   encoding:  "utf-8" (also for bytes used as they are, and csv_load),
 *              "utf-16le", "utf-16be", or the name given to
 *              csv_load_encoding as given
 *   bom:       the text began with a byte order mark
 *   delimiter: the delimiter as a one-character string
 *   *_detected: chosen by the library rather than given by the caller
 *   compression: "none" or "gzip"
 *   file_size: bytes read from the file or stream (compressed for gzip)
 *   warnings:  as csv_parse_warning_count, uncapped
 *   replaced_bytes: input bytes replaced by U+FFFD while decoding
 *   invalid_utf8_bytes: bytes of text used as it was read (UTF-8 detected,
 *              or encoding 1, or csv_load) at which no well-formed UTF-8
 *              sequence starts, counted at load. The table keeps them and
 *              answers repair each to its ISO-8859-1 character; a non-zero
 *              count usually means the file is in another encoding, to be
 *              named with csv_load_encoding. 0 for decoded text. */
VELMORA_CSV_API const char *csv_info(int handle);

/* ---- columnar export ---------------------------------------------------- */

/* The Arrow C data and stream interfaces, exactly as the Arrow project
 * defines them: three plain structs and no library. A host that already has
 * them (from its own copy of the definitions) compiles against the same
 * guards. */
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  /* Array type description */
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;

  /* Release callback */
  void (*release)(struct ArrowSchema*);
  /* Opaque producer-specific data */
  void* private_data;
};

struct ArrowArray {
  /* Array data description */
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;

  /* Release callback */
  void (*release)(struct ArrowArray*);
  /* Opaque producer-specific data */
  void* private_data;
};

#endif /* ARROW_C_DATA_INTERFACE */

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  /* Callback to get the stream type (the same for all arrays in the stream).
   * Returns 0, or an errno-compatible error code. On success the schema
   * must be released independently from the stream. */
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);

  /* Callback to get the next array (if no error and the array is released,
   * the stream has ended). Returns 0, or an errno-compatible error code. On
   * success the array must be released independently from the stream. */
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);

  /* Callback to get optional detailed error information; only after the
   * last operation on the stream failed. A NUL-terminated text, or NULL;
   * valid until the next operation on the stream (release included). */
  const char* (*get_last_error)(struct ArrowArrayStream*);

  /* Release callback: releases the stream's own resources. Arrays returned
   * by get_next must be released individually. */
  void (*release)(struct ArrowArrayStream*);

  /* Opaque producer-specific data */
  void* private_data;
};

#endif /* ARROW_C_STREAM_INTERFACE */

/* Flags of csv_arrow_stream. */
#define CSV_ARROW_TEXT 0         /* every column utf8: the cells' text */
#define CSV_ARROW_TYPED 1        /* numeric columns int64 or float64, others utf8 */
#define CSV_ARROW_NULL_MARKERS 2 /* with CSV_ARROW_TYPED: the usual null markers
                                    count as empty cells (see below) */
#define CSV_ARROW_SMALL_BATCHES 4 /* batches of at most 16384 rows (see below) */

/* Hands the table (or the columns `cols` names) to a columnar engine as an
 * Arrow C stream of record batches: a struct array ("+s") per batch of at
 * most 65536 rows, in table order, one child per column. Column names are
 * the header texts (repeated names kept as they are).
 *
 * cols: NULL for every column in order, else a column list read exactly as
 * csv_select reads it (same errors and messages).
 *
 * Text columns are utf8 ("u", or large utf8 "U" when a batch of the column
 * holds over 2^31 - 1 bytes of text): the cell text as csv_rows gives it
 * (cut at a NUL byte, repaired to well-formed UTF-8); an empty cell is an
 * empty string, never null.
 *
 * CSV_ARROW_TYPED: a column whose non-empty cells are all numbers (the rule
 * of csv_stats, so at least one such cell) is int64 ("l") when every one of
 * them is a plain decimal integer (blanks around, an optional sign, digits)
 * within 64 bits, else float64 ("g") with the value csv_stats reads. Its
 * empty cells are null (validity bitmap, null_count). Other columns are
 * utf8 as above.
 *
 * CSV_ARROW_NULL_MARKERS (with CSV_ARROW_TYPED): a cell whose text, blanks
 * around it ignored, is one of NA N/A n/a NaN nan -NaN -nan null NULL None
 * #N/A #NA #N/A N/A <NA> - 1.#IND -1.#IND 1.#QNAN -1.#QNAN counts as an
 * empty cell when columns are typed, so that one "N/A" does not make a
 * numeric column text, and is null in a numeric column. Text columns keep
 * such cells' text.
 *
 * CSV_ARROW_SMALL_BATCHES: batches of at most 16384 rows rather than 65536,
 * for a consumer that reads each batch's cells row by row as soon as it has
 * it (a host making an object of each row): the smaller batch is still in
 * the processor's caches when it is read. Columns, names and cells are the
 * same either way.
 *
 * Each batch is built when get_next asks for it, from the table's memory:
 * the stream keeps that memory alive until the stream is released, so it
 * stays valid and unchanged after csv_close(handle) (which frees the handle
 * at once; the table's memory goes with the last of its streams) and may be
 * used on any one thread at a time. Once the stream is the table's last
 * reader (csv_close was called and no other stream of the table is left),
 * it gives the memory of the rows it has delivered back to the system as
 * it goes: a consumer that copies each batch into columns of its own holds
 * about one copy of the data, not two. A consumer that releases each batch
 * before asking for the next holds one batch at a time, and the stream
 * builds the next batch in the released one's buffers. Arrays may be
 * released on any thread, before or after the stream. Every struct follows
 * the interface's release rules; release the stream, each array from
 * get_next and each schema from get_schema. get_next and get_schema may
 * fail with ENOMEM (get_last_error then says "out of memory"); a get_next
 * that failed may be called again for the same batch.
 *
 * Returns 0 with *out filled, or -1 with *out unchanged: "out is NULL",
 * "invalid flags: <flags>", "invalid handle: <handle>", "unknown column:
 * <name>", "no columns selected", "column name too long", "out of memory".
 *
 *   struct ArrowArrayStream s;
 *   if (csv_arrow_stream(h, "price,qty", CSV_ARROW_TYPED, &s) != 0)
 *       fprintf(stderr, "%s\n", csv_last_error());
 *   csv_close(h);                      // the stream stays valid
 *   struct ArrowArray batch;
 *   while (s.get_next(&s, &batch) == 0 && batch.release != NULL) {
 *       // batch.children[0]: the price column of batch.length rows
 *       batch.release(&batch);
 *   }
 *   s.release(&s);
 */
VELMORA_CSV_API int csv_arrow_stream(int handle, const char *cols, int flags,
                                     struct ArrowArrayStream *out);

/* ---- library ------------------------------------------------------------ */

/* The library's version, e.g. "0.1.0" (static text, never NULL): the
 * version of its pkg-config file; the first number is the SONAME's. */
VELMORA_CSV_API const char *csv_version(void);

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_CSV_H */
