/*
 * Internal records and the functions the modules call on each other.
 * Nothing here is exported from the shared library.
 */
#ifndef VELMORA_CSV_INTERNAL_H
#define VELMORA_CSV_INTERNAL_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <condition_variable>
#include <mutex>
#include <type_traits>

#include "velmora_csv.h"

// The hot scans use SSE2 16 bytes at a time where the machine has it, and a
// portable path elsewhere.
// Building with -DCSV_HAVE_SSE2=0 selects the portable paths on any machine.
#ifndef CSV_HAVE_SSE2
#if defined(__SSE2__) || defined(_M_X64)
#define CSV_HAVE_SSE2 1
#else
#define CSV_HAVE_SSE2 0
#endif
#endif
#if CSV_HAVE_SSE2
#include <emmintrin.h>
#endif

/* Invariants of the library's own state, checked in debug and sanitizer
 * builds (CSV_CHECKED) and compiled out of release builds. A failure is a
 * fault of the library, never of its input. */
#if !defined(NDEBUG) || defined(CSV_CHECKED)
#include <stdlib.h>
#define CSV_ASSERT(cond)                                                          \
    ((cond) ? (void)0                                                            \
            : (fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, \
                       #cond),                                                   \
               abort()))
#else
#define CSV_ASSERT(cond) ((void)0)
#endif

#define CSV_MAX_HANDLES 64
#define CSV_MAX_SAMPLES 20
#define CSV_ERR_SIZE 512
#define CSV_CELL_LIMIT 0xFFFFFFFFull /* 4 GiB - 1: the most text one cell or record holds */
#define CSV_SEGMENT_LIMIT (1ull << 32) /* blob bytes one segment spans: its offsets fit 32 bits */

/* ---- records ------------------------------------------------------------ */

/* A cell: `length` bytes at `offset` past its segment's base in the blob,
 * followed by a NUL there. The all-zero cell is the empty text and takes no
 * room in the blob. */
typedef struct csv_cell {
    uint32_t offset;
    uint32_t length;
} csv_cell;

enum csv_warning_kind {
    CSV_WARN_RAGGED = 1,
    CSV_WARN_BLANK = 2,
    CSV_WARN_UNTERMINATED_QUOTE = 3,
    CSV_WARN_TRUNCATED_UTF16 = 4,
};

/* One parse-warning sample; `row` is the 1-based record number. */
typedef struct csv_warning {
    int32_t kind;
    int64_t row;
    int32_t expected;
    int32_t actual;
} csv_warning;

#define CSV_ENCODING_NAME_MAX 64 /* longest encoding name kept, NUL included */

/* How a load read and decoded its source; kept with the table for csv_info. */
typedef struct csv_load_info {
    char encoding[CSV_ENCODING_NAME_MAX]; /* "utf-8", "utf-16le", "utf-16be" or the name given */
    int32_t bom;                /* the text began with a byte order mark */
    int32_t encoding_detected;  /* the encoding was detected, not given */
    int32_t delimiter_detected; /* the delimiter was detected, not given */
    int32_t gzip;               /* the file was a gzip stream, inflated on reading */
    uint32_t delimiter;         /* the delimiter byte used */
    uint64_t file_size;         /* bytes read from the file or stream (compressed for gzip) */
    uint64_t replaced_bytes;    /* input bytes replaced by U+FFFD while decoding */
    uint64_t invalid_utf8_bytes; /* bytes kept as read that start no well-formed
                                    UTF-8 sequence: a hint of another encoding */
} csv_load_info;

/* The arrays of a table that a stream reads (csv_table_share_take). */
struct csv_table_share;

/* A run of body rows whose cell offsets count from `base` bytes into the
 * blob: rows first_row up to the next segment's first_row. */
typedef struct csv_segment {
    int64_t first_row;
    uint64_t base;
} csv_segment;

/* A loaded table: one blob holding every text, header and body cells
 * referring into it, and the parse-warning summary. All zero = empty.
 *
 * The blob may pass 4 GiB while a cell keeps 32-bit offsets: the body rows
 * fall into segments, each spanning less than CSV_SEGMENT_LIMIT bytes of the
 * blob from its base. A table whose texts all lie below that limit has no
 * segment array (segments null): every offset counts from the blob's start,
 * as do the headers' in any table but one whose header texts were moved
 * past the limit (header_base). */
typedef struct csv_table {
    uint32_t in_use;
    uint32_t header_line;       /* only read by the CSV writer */
    int32_t n_cols;
    int64_t n_rows;
    int64_t row_cap;
    int32_t col_cap;            /* room of `headers`, and the row stride of a
                                   rectangular body; 0 in a table built by hand:
                                   rows are n_cols wide */
    csv_cell *headers;          /* n_cols entries in use */
    csv_cell *cells;            /* the body; rectangular: row_cap x stride,
                                   row-major, the cells of a row past n_cols empty;
                                   ragged: each row's own cells, one after another */
    int64_t *row_start;         /* null: the body is rectangular. Ragged: row r
                                   holds cells[row_start[r] .. row_start[r + 1]),
                                   row_cap + 1 entries; the cells past a row's own
                                   read as empty */
    int64_t cell_cap;           /* ragged: cells the `cells` array has room for */
    char *blob;
    uint64_t blob_len;          /* bytes in use, NULs included */
    uint64_t blob_cap;
    csv_segment *segments;      /* null: one segment, base 0. Else n_segments
                                   entries, first_row ascending from 0 */
    int64_t n_segments;
    int64_t segment_cap;
    uint64_t header_base;       /* where the headers' offsets count from */
    int64_t ragged;
    int64_t blank;
    int32_t unterminated_quote;
    int64_t unterminated_row;
    int32_t truncated_utf16;
    int32_t expected_cols;
    int32_t n_samples;
    csv_warning samples[CSV_MAX_SAMPLES];
    csv_load_info load;         /* how the source was read, for csv_info */
    struct csv_table_share *share; /* non-null once a stream reads the table:
                                   it owns headers, cells, row_start and blob,
                                   and the record holds one reference to it */
} csv_table;

/* Parser options; delimiter outside 1..255 means comma, total_len <= 0
 * means the input length. The last three serve a load of one block of a
 * file (csv_range), whose text is the records starting in the block. */
typedef struct csv_parse_opts {
    uint32_t delimiter;
    csv_progress_fn progress;
    void *user_data;
    int64_t total_len;
    /* Non-null: the input's first record is a body row like any other; the
     * columns are those of this table (its first record's), named by its
     * headers when has_header is set, else "1", "2", ... */
    const struct csv_table *columns_from;
    int32_t keep_mark;    /* a leading byte order mark is text, not a mark */
    int32_t more_follows; /* the file goes on past the input: an empty last
                             line is a blank line, as inside a whole load */
} csv_parse_opts;

static_assert(sizeof(csv_cell) == 8, "a cell is copied as one 64-bit unit");
static_assert(std::is_trivially_copyable_v<csv_table>, "records stay plain");
static_assert(std::is_trivially_copyable_v<csv_parse_opts>, "records stay plain");

/* ---- heap (csv_alloc.cpp) ----------------------------------------------
 * Every heap call of the library goes through these, so that tests can make
 * the n-th allocation of a thread fail on purpose. */
void *csv_malloc(size_t size);
void *csv_calloc(size_t count, size_t size);
void *csv_realloc(void *ptr, size_t size);
void csv_free(void *ptr);
/* Test seam: after `n` more successful allocations on the calling thread,
 * every further allocation fails. n < 0 switches failing off. Returns the
 * number of allocations made since the last call. */
int64_t csv_alloc_fail_after(int64_t n);
/* Test seam: while on, the calling thread counts the bytes of the blocks
 * it holds through these functions (as the heap sizes them; nothing where
 * the platform cannot tell) and their peak, both from 0 at this call.
 * Returns the peak counted since the previous call. */
int64_t csv_alloc_track(int on);

/* unique_ptr deleter for buffers from csv_malloc. */
struct csv_free_deleter {
    void operator()(void *p) const { csv_free(p); }
};

/* ---- csv_pages: fresh pages made ready ahead of their writer -----------
 * A writer that fills a large block front to back calls reach() before it
 * writes past ready(); a helper thread meanwhile prepares the stretches
 * ahead. Blocks under a few MiB are not worth it: ready() is then the whole
 * block at once. stop() (and the destructor) must come before the block is
 * moved or freed. Writers use it through csv_fed_block, which keeps these
 * rules. */
class csv_page_feed {
public:
    csv_page_feed() = default;
    csv_page_feed(const csv_page_feed &) = delete;
    csv_page_feed &operator=(const csv_page_feed &) = delete;
    ~csv_page_feed();

    /* Fills the `len` bytes at `dst`, block offset `offset`, of a prepared
     * stretch; called on the helper thread or the writer's. */
    typedef void (*fill_fn)(void *ctx, char *dst, uint64_t offset, uint64_t len);

    /* Feeds [p, p + n), after stopping any earlier feed; `fill`, when set,
     * fills each stretch once prepared. */
    void start(char *p, uint64_t n, fill_fn fill = nullptr, void *fill_ctx = nullptr);
    /* Makes the block's first `upto` bytes ready to be written. `until` is
     * where the writer expects to end, so that the helper prepares nothing
     * much beyond it. */
    void reach(uint64_t upto, uint64_t until) {
        if (upto > ready_) reach_slow(upto, until);
    }
    /* Lets the helper prepare the stretches within the first `upto` bytes
     * before the writer asks for them: for a block whose writer has other
     * work to do first. `upto` is then also where the writer expects to
     * end: past it the helper prepares nothing, whatever reach() says (an
     * estimate's block has room to spare that its text rarely needs). */
    void ahead(uint64_t upto);
    /* After stop(): bytes from the block's start that the feed prepared. */
    uint64_t prepared() const { return prepared_; }
    /* Bytes from the block's start that are ready; UINT64_MAX when there is
     * no feed (too small a block, or stopped): every byte is. */
    uint64_t ready() const { return ready_; }
    void stop();
    /* For tests: waits until the helper has prepared every stretch it may
     * take so far. */
    void settle_for_tests();

private:
    void run();
    void bounds(uint64_t chunk, uint64_t *from, uint64_t *to) const;
    void prepare(uint64_t chunk) const;
    void reach_slow(uint64_t upto, uint64_t until);

    char *base_ = nullptr;
    uint64_t size_ = 0;
    uint64_t ready_ = UINT64_MAX;
    uint64_t prepared_ = 0;
    uint64_t chunks_ = 0;
    uint64_t skew_ = 0;    // the block's start past a chunk boundary
    uint64_t horizon_ = UINT64_MAX;  // the writer's expected end (ahead()); the writer's thread only
    fill_fn fill_ = nullptr;
    void *fill_ctx_ = nullptr;
    // Shared with the helper, under m_: chunks [0, claimed_) are taken,
    // the helper takes none at or past limit_, busy_ is the one it is
    // preparing (UINT64_MAX: none).
    std::mutex m_;
    std::condition_variable cv_;
    uint64_t claimed_ = 0;
    uint64_t limit_ = 0;
    uint64_t busy_ = UINT64_MAX;
    bool quit_ = false;
    uint64_t helper_ = 0;  // the helper thread, while helper_on_
    bool helper_on_ = false;
};

/* A stretch of a block: `len` bytes at `at`. */
struct csv_block {
    char *at = nullptr;
    uint64_t len = 0;
};

/* A block filled front to back, with its feed (above), so that the feed's
 * rules hold by construction: the writer gets room only from room(), which
 * has it ready first, and the block moves, grows or is freed only inside
 * move(), which stops the feed first. The memory stays its owner's; the
 * fed block only says where it is. Declare it after the owner, so that it
 * stops before the block is freed. */
class csv_fed_block {
public:
    /* Takes [p, p + n) and feeds it (when large enough to be worth it);
     * `fill`, when set, fills each stretch once prepared. */
    void start(char *p, uint64_t n, csv_page_feed::fill_fn fill = nullptr,
               void *fill_ctx = nullptr) {
        feed_.start(p, n, fill, fill_ctx);
        base_ = p;
        size_ = n;
    }
    /* Takes [p, p + n) without a feed: every byte is ready. */
    void hold(char *p, uint64_t n) {
        feed_.stop();
        base_ = p;
        size_ = n;
    }
    /* Has bytes [from, from + need) ready and returns the ready stretch at
     * `from`: at least `need` bytes, at most to the block's end. `until` is
     * where the writer expects to end (see reach()). */
    csv_block room(uint64_t from, uint64_t need, uint64_t until);
    /* The one way to move, grow or free the block: stops the feed and lets
     * go of the block, then runs `change` (0 or -1), which gives the block
     * as it is after to start() or hold(), if it is to be written again. */
    template <class Change>
    int move(Change &&change) {
        stop();
        return change();
    }
    /* Bytes from the block's start that are ready; UINT64_MAX when it is
     * not fed. */
    uint64_t ready() const { return feed_.ready(); }
    /* See csv_page_feed::ahead and csv_page_feed::prepared. */
    void ahead(uint64_t upto) { feed_.ahead(upto); }
    uint64_t prepared() const { return feed_.prepared(); }
    /* Ends the feed and lets go of the block. */
    void stop() {
        feed_.stop();
        base_ = nullptr;
        size_ = 0;
    }

private:
    csv_page_feed feed_;
    char *base_ = nullptr;
    uint64_t size_ = 0;
};

/* True when a block of `n` bytes is large enough to be fed. */
bool csv_page_feed_wanted(uint64_t n);
/* Test seam: on != 0 makes every feed run without a helper thread, as when
 * the system refuses one; 0 restores helpers. */
void csv_page_feed_no_helper(int on);
/* Test seam: the feeds (each with its helper thread, where the system
 * gives one) the calling thread started since the previous call. */
int64_t csv_page_feeds_started(void);

/* ---- csv_parse: table storage and the record parser -------------------- */

extern const csv_cell csv_empty_str;

int csv_blob_append(csv_table *t, const char *src, uint64_t len, csv_cell *out);
/* Entries from one row of `cells` to the next. The column capacity grows
 * geometrically as records widen the table, so rows are re-laid out only
 * now and then; every reader of `cells` steps by this, never by n_cols. */
static inline int64_t csv_row_stride(const csv_table *t) {
    return t->col_cap > t->n_cols ? t->col_cap : t->n_cols;
}
const csv_cell *csv_cell_at(const csv_table *t, int64_t row, int32_t col);
/* Frees the table's arrays, or drops its reference to their share, and
 * zeroes the record. */
void csv_table_free(csv_table *t);
/* A reference to the share of `t`'s arrays, which it creates on first use
 * (under the lock): the arrays then live until the last reference is
 * dropped, on any thread. Null when out of memory. */
csv_table_share *csv_table_share_take(csv_table *t);
void csv_table_share_drop(csv_table_share *s);
/* True when the caller's reference is the share's last: the handle was
 * closed and no other stream reads the arrays, so nothing but the caller
 * ever reads them again. */
bool csv_table_share_sole(const csv_table_share *s);
int csv_table_parse_ex(csv_table *t, const char *src, uint64_t len,
                       int has_header, const csv_parse_opts *opts);
int csv_table_parse(csv_table *t, const char *src, uint64_t len, int has_header);
/* csv_table_parse_ex for a loader that hands its input over: `src` is a
 * csv_malloc block the call takes, success or not. The input becomes the
 * table's blob (grown by one spare byte) and is parsed in place, so no text
 * is copied and no fresh page is touched for it; a loader gains most by
 * reading straight into the block it hands over. */
int csv_table_parse_owned(csv_table *t, char *src, uint64_t len, int has_header,
                          const csv_parse_opts *opts);
/* Bytes a loader leaves free past the text's NUL in a block it hands over,
 * where the parse keeps the few texts it adds once the table is complete
 * (the first record's first text, generated column names), so that the
 * block need not grow, and move, for them; more grows it by exactly what
 * they take. */
#define CSV_OWNED_SPARE 64
/* Test seam: on the calling thread, taken-over input of at least `bytes`
 * bytes is parsed by copying; 0 restores the default, in place at any size. */
void csv_parse_copy_owned_from(uint64_t bytes);

/* Test seam: the body layout of the calling thread's parses. Auto keeps a
 * body rectangular while its filler cells stay within its real ones; the
 * others hold one layout from the first row on. */
enum { CSV_BODY_AUTO = 0, CSV_BODY_RECTANGULAR = 1, CSV_BODY_RAGGED = 2 };
void csv_parse_body_layout(int layout);

/* Base of the segment holding row `row` of a segmented table. */
static inline uint64_t csv_segment_base(const csv_segment *s, int64_t n, int64_t row) {
    // The last segment starting at or before the row; there are few.
    int64_t lo = 0, hi = n - 1;
    while (lo < hi) {
        const int64_t mid = lo + (hi - lo + 1) / 2;
        if (s[mid].first_row <= row) lo = mid;
        else hi = mid - 1;
    }
    return s[lo].base;
}
/* Where the offset of `c`, a header or body cell of `t` (in place, not a
 * copy), counts from, in a segmented table. */
uint64_t csv_cell_base_slow(const csv_table *t, const csv_cell *c);
/* Text of a cell or header as a NUL-terminated string ("" when empty); `c`
 * points into the table's headers or cells. */
static inline const char *csv_cell_text(const csv_table *t, const csv_cell *c) {
    if (c->length == 0 || t->blob == nullptr) return "";
    if (t->segments == nullptr) return t->blob + c->offset;  // header_base is 0 here
    return t->blob + csv_cell_base_slow(t, c) + c->offset;
}
/* Where the headers' offsets count from. */
static inline const char *csv_header_texts(const csv_table *t) {
    return t->blob == nullptr ? nullptr : t->blob + t->header_base;
}
/* Test seam: on the calling thread, parses start a new segment once a text
 * would lie `bytes` or more past the current one's base, and one cell or
 * record holds at most `bytes` - 1 bytes; 0 restores CSV_SEGMENT_LIMIT. */
void csv_segment_limit_for_tests(uint64_t bytes);

/* ---- cell helpers shared by the queries and emitters ------------------- */

/* Unaligned loads of 8 and 4 text bytes, for word-at-a-time scans. */
static inline uint64_t csv_load64(const char *p) {
    uint64_t w;
    memcpy(&w, p, 8);
    return w;
}
static inline uint32_t csv_load32(const char *p) {
    uint32_t w;
    memcpy(&w, p, 4);
    return w;
}

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when none
// starts there. Checks go: lead byte range, room, continuation bytes, then
// the narrower range of the second byte after E0, ED, F0 and F4.
static inline uint32_t csv_utf8_seq_len(const unsigned char *s, uint64_t i, uint64_t len) {
    const unsigned b = s[i];
    if (b < 0x80) return 1;
    uint32_t n;
    unsigned lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0) lo = 0xA0;       // no overlong forms
        else if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0) lo = 0x90;       // no overlong forms
        else if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (len - i < n) return 0;
    for (uint32_t k = 1; k < n; ++k)
        if ((s[i + k] & 0xC0) != 0x80) return 0;
    if (s[i + 1] < lo || s[i + 1] > hi) return 0;
    return n;
}

/* The cells of one row: `width` stored ones at `cells`; the row's cells
 * from `width` on are empty. */
struct csv_row_cells {
    const csv_cell *cells;  /* null: a row outside the table */
    int32_t width;
    const char *text;       /* where the row's offsets count from in the blob */
    const csv_cell &operator[](int32_t col) const {
        return col < width ? cells[col] : csv_empty_str;
    }
};

/* The body cells in the table's own layout, the one way every reader gets
 * at them. Rectangular: row r's cells start csv_row_stride(t) cells after
 * row r - 1's. Ragged: a row holds only the cells of its record, and the
 * others read as the empty cell. Valid for rows 0 .. n_rows - 1 and columns
 * 0 .. n_cols - 1. The layout test is the same for every cell of a table,
 * so it costs a well-predicted branch. */
struct csv_body_view {
    const csv_cell *base;
    int64_t step;               /* rectangular: cells from one row to the next */
    const int64_t *row_start;   /* ragged: the table's row_start; null: rectangular */
    int32_t n_cols;
    const char *blob;
    const csv_segment *segs;    /* null: every offset counts from the blob's start */
    int64_t n_segs;
    const csv_cell *at(int64_t row, int32_t col) const {
        if (row_start == nullptr) return base + row * step + col;
        const int64_t first = row_start[row];
        return col < row_start[row + 1] - first ? base + first + col : &csv_empty_str;
    }
    /* Where the offsets of row r's cells count from: one look-up per row,
     * none in a table of one segment. */
    const char *text_of_row(int64_t r) const {
        return segs == nullptr ? blob : blob + csv_segment_base(segs, n_segs, r);
    }
    csv_row_cells row(int64_t r) const {
        if (row_start == nullptr) return csv_row_cells{base + r * step, n_cols, text_of_row(r)};
        const int64_t first = row_start[r];
        return csv_row_cells{base + first, static_cast<int32_t>(row_start[r + 1] - first),
                             text_of_row(r)};
    }
};
static inline csv_body_view csv_body_of(const csv_table *t) {
    return csv_body_view{t->cells, csv_row_stride(t), t->row_start, t->n_cols,
                         t->blob,  t->segments,       t->n_segments};
}

/* csv_cells: UTF-8 repair and the numeric test. */
const char *csv_utf8_sanitize(const char *text, uint64_t len, uint64_t *out_len,
                              int32_t *out_must_free);
/* The same repair in two steps, for a writer that sizes its buffer first:
 * the bytes the repaired text takes, and the repair written to `out` (room
 * for that many bytes), returning the bytes written. */
uint64_t csv_utf8_repaired_len(const char *text, uint64_t len);
uint64_t csv_utf8_repair_into(const char *text, uint64_t len, char *out);
/* Bytes of text[0..len) at which no well-formed UTF-8 sequence starts (the
 * bytes csv_utf8_sanitize would repair). Skips ASCII a block at a time. */
uint64_t csv_utf8_invalid_count(const char *text, uint64_t len);
/* Longest text, blanks around it left out, that can be a number. */
#define CSV_MAX_NUMERIC_TEXT 127
int csv_is_numeric_field(const char *text, uint64_t len, double *out_value);
/* True when the calling thread's locale writes the decimal point as '.':
 * then plain decimal text ([sign] digits [. digits], at most 15 digits) has
 * the value of its digits over a power of ten, as csv_is_numeric_field
 * reads it. */
int csv_locale_point_is_dot(void);
int csv_col_is_numeric(const csv_table *t, int32_t col);
/* csv_select: column names and column lists. */
int32_t csv_resolve_col(const csv_table *t, const char *name);
int csv_parse_col_list(const csv_table *t, const char *list, int32_t **out_cols,
                       int32_t *out_n);
/* csv_search: the substring test of one cell. */
int csv_substr(const char *text, uint64_t len, const char *query,
               int32_t case_insensitive);
/* Test seam: csv_substr that also hands out the byte steps it took (bytes
 * scanned and compared), which stay linear in the cell and the query;
 * two_way_only skips the memchr candidates and runs the two-way scan over
 * the whole cell. */
int csv_substr_steps(const char *text, uint64_t len, const char *query,
                     int32_t case_insensitive, int32_t two_way_only,
                     uint64_t *out_steps);

/* ---- csv_encoding ------------------------------------------------------- */

int csv_utf16_to_utf8(const unsigned char *data, uint64_t len, int32_t big_endian,
                      uint64_t skip, char **out_text, uint64_t *out_len,
                      int32_t *out_odd);
int32_t csv_detect_delimiter(const char *data, uint64_t len, uint64_t start);
/* Output capacity csv_utf16_to_utf8 allocates for `n` input bytes,
 * floor(3n/2) + csv_utf16_step_room, or 0 when that does not fit 64 bits. */
uint64_t csv_utf16_out_cap(uint64_t n);
/* Room the UTF-16 decoder keeps free past its output: it grows the buffer
 * whenever less is left, and one step writes at most
 * csv_utf16_step_max_write bytes there. csv_utf16_out_cap includes it, so
 * that a buffer of that size for a piece's bytes is neither grown nor
 * written past while the piece is decoded. */
constexpr uint64_t csv_utf16_step_room = 8;
constexpr uint64_t csv_utf16_step_max_write = 4;  // a surrogate pair's UTF-8
static_assert(csv_utf16_step_room >= csv_utf16_step_max_write, "a step must fit the room kept");

/* Piece-wise form of csv_utf16_to_utf8, for text read a piece at a time.
 * `*out` (from csv_malloc, `*cap` bytes, sized with csv_utf16_out_cap for
 * the whole input) receives the text at `*w`, which the call advances.
 * Decodes the code units at the front of data[0..len) and sets `*used` to
 * the bytes consumed; unless `last` is set, up to 3 trailing bytes that may
 * belong to a unit completed by the next piece are left for the caller to
 * carry over. Returns 0, or -1 with "out of memory while transcoding
 * UTF-16" when the buffer had to grow and could not (it is then freed and
 * `*out` null). */
int csv_utf16_decode_piece(const unsigned char *data, uint64_t len, int32_t big_endian,
                           int32_t last, char **out, uint64_t *cap, uint64_t *w,
                           uint64_t *used);
/* csv_utf16_decode_piece that also adds to `*replaced` (may be null) two
 * bytes for every unpaired surrogate it replaces with U+FFFD. */
int csv_utf16_decode_piece_counted(const unsigned char *data, uint64_t len,
                                   int32_t big_endian, int32_t last, char **out,
                                   uint64_t *cap, uint64_t *w, uint64_t *used,
                                   uint64_t *replaced);

/* Named encodings through the C library's iconv. A converter belongs to one
 * load (so to one thread). csv_iconv_open: 0 with `*out_cd` set, or -1 with
 * "unknown encoding: %s" (or "out of memory"). */
int csv_iconv_open(const char *name, void **out_cd);
void csv_iconv_close(void *cd);
/* Converts the front of data[0..len) to UTF-8 at `*out` + `*w` (a
 * csv_malloc buffer of `*cap` bytes, grown as needed, always leaving room
 * for a NUL), advancing `*w`; `*used` receives the bytes consumed. A
 * sequence cut by the end of the piece is left for the next piece unless
 * `last` is set. Each rejected character becomes one U+FFFD: one code unit
 * of the encoding (1 byte, 2 for UTF-16 and UCS-2, 4 for UTF-32 and UCS-4),
 * its bytes counted in `*replaced`. 0, or -1 with "out of memory while
 * transcoding %s" (`name`); the buffer then stays the caller's. */
int csv_iconv_piece(void *cd, const char *name, const unsigned char *data, uint64_t len,
                    int32_t last, char **out, uint64_t *cap, uint64_t *w, uint64_t *used,
                    uint64_t *replaced);
/* Test seam: iconv calls csv_iconv_piece has made on the calling thread. */
uint64_t csv_iconv_calls(void);
/* Replaces every byte of `*text` (a csv_malloc buffer of `*len` bytes plus
 * a NUL) that starts no well-formed UTF-8 sequence with U+FFFD, adding the
 * count to `*replaced`. Well-formed text is left where it is; otherwise a
 * new buffer replaces the old one. 0, or -1 with "out of memory while
 * transcoding %s" (`name`) and `*text` untouched. */
int csv_utf8_replace_invalid(char **text, uint64_t *len, const char *name,
                             uint64_t *replaced);

/* ---- queries ------------------------------------------------------------ */

int csv_select_indices(const csv_table *t, const char *list, int32_t **out_cols,
                       int32_t *out_n);
int csv_search_rows(const csv_table *t, int32_t col, const char *query,
                    int32_t case_insensitive, int64_t **out_rows,
                    int64_t *out_n);
int csv_sort_rows(const csv_table *t, int32_t col, int32_t descending,
                  int64_t **out_rows, int64_t *out_n);
int32_t csv_col_unique(const csv_table *t, int32_t col);
void csv_col_stats(const csv_table *t, int32_t col, int64_t *count,
                   int64_t *nulls, int32_t *unique, int32_t *numeric,
                   double *min, double *max, double *mean);
int csv_cmp_cstr(const void *a, const void *b);

/* ---- csv_arrow: the columnar export ------------------------------------- */

/* Builds the stream of csv_arrow_stream from `t` (under the lock): `cols`
 * NULL for every column, else a column list. 0 with *out filled, or -1 with
 * the message set and *out untouched. The stream holds a reference to the
 * share of `t`'s arrays and builds each batch when it is asked for. */
int csv_arrow_build(csv_table *t, const char *cols, int flags,
                    struct ArrowArrayStream *out);
/* Test seam for the calling thread: batches of `batch_rows` rows (0: the
 * default of 65536), and large utf8 ("U") for a column when a batch of it
 * holds more than `text_max` bytes (0: 2^31 - 1, the most 32-bit offsets
 * reach). */
void csv_arrow_test_limits(int64_t batch_rows, uint64_t text_max);

/* ---- csv_emit: result documents and the CSV writer --------------------- */

const char *csv_emit_headers(const csv_table *t);
const char *csv_emit_rows(const csv_table *t, const int64_t *rows,
                          int64_t rows_len, const int32_t *cols,
                          int32_t cols_len, int64_t offset, int64_t limit);
/* Test seam: the next csv_emit_rows of the calling thread reserves `bytes`
 * more (or, negative, fewer) than the text needs, as a wrong size would. */
void csv_emit_rows_misjudge(int64_t bytes);
/* Test seam: the next csv_emit_rows of the calling thread takes `bytes` as
 * the estimate of its text's size, which chooses and prepares the block a
 * large answer is written into (0: its own estimate). */
void csv_emit_rows_guess(uint64_t bytes);
const char *csv_emit_stats(const csv_table *t);
const char *csv_emit_warnings(const csv_table *t);
/* The csv_info document: how the table was loaded. */
const char *csv_emit_info(const csv_table *t);
int csv_emit_csv_fp(const csv_table *t, FILE *stream);

/* ---- velmora_csv: registry, errors, result buffer, sources ------------- */

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void csv_set_error(const char *fmt, ...);
void csv_clear_error(void);
void csv_table_lock(void);
void csv_table_unlock(void);
csv_table *csv_table_get(int handle);
const char *csv_tls_put_json(const char *text, size_t len);
/* Grows the thread's result buffer (same capacity rule as csv_tls_put_json)
 * so that `len` bytes and a NUL fit, and returns it; the caller then writes
 * the text in place. Null with "out of memory for JSON buffer" on failure,
 * the previous text untouched. Writing replaces the previous text, so call
 * it only once nothing can fail any more. */
char *csv_tls_reserve_json(uint64_t len, uint64_t *fresh_from = nullptr);
/* `fresh_from` of csv_tls_reserve_json, when given, receives the offset in
 * the buffer from which its pages are fresh: the earlier answers of the
 * thread have written those before it, so a writer that prepares fresh
 * pages ahead of itself needs to prepare only those past it. */
/* For a large answer of about `len` bytes that the thread's buffer cannot
 * hold, when that buffer is small: a new block of `*cap` bytes (the
 * capacity the buffer would grow to) that can be filled while the answer's
 * exact size is still being worked out, and then made the buffer with
 * csv_tls_adopt_json; the previous text stays in place meanwhile. Null when
 * the buffer serves the answer in place, or without memory (the caller
 * then goes the usual way). */
char *csv_tls_json_block(uint64_t len, uint64_t *cap);
/* True when such a block of `cap` bytes serves an answer of `len` bytes as
 * it is: it holds it, and is not far too large for it. */
bool csv_tls_json_block_fits(uint64_t cap, uint64_t len);
/* Refits such a block to an answer of exactly `len` bytes: grown, or
 * shrunk when far too large. Null (the block freed) when it cannot hold
 * the answer. */
char *csv_tls_json_block_fit(char *block, uint64_t *cap, uint64_t len);
/* Makes the block, written with an answer of `len` bytes and its NUL, the
 * thread's result buffer, freeing the previous one; `backed` bytes from its
 * start have had their pages written. Returns the block. */
char *csv_tls_adopt_json(char *block, uint64_t cap, uint64_t len, uint64_t backed);
/* Called when the last open table is closed: the calling thread's buffer
 * gives the pages past its current answer back to the system now, and
 * every thread's buffer is fitted to its next answer. */
void csv_tls_json_release_kept(void);
/* Test seam: the calling thread's result buffer capacity and the bytes of it
 * whose pages are kept (written by an answer and not given back). */
void csv_tls_json_pages(int64_t *capacity, int64_t *backed);
int csv_read_source(const char *path, int32_t encoding, char **out_text,
                    uint64_t *out_len, int32_t *out_truncated);

/* ---- csv_source: reading and decoding a load's source ------------------- */

/* What a load asks of its source. */
typedef struct csv_source_opts {
    int32_t encoding;          /* 0 detect, 1 bytes unchanged, 2 UTF-16 LE, 3 UTF-16 BE;
                                  other values act like 1 */
    const char *encoding_name; /* non-empty: this named encoding instead of `encoding` */
    csv_progress_fn progress;  /* may be null: called while reading, may cancel */
    void *user_data;
    uint64_t text_limit;       /* most text a source of unknown size may give;
                                  0: no limit but memory */
} csv_source_opts;

/* Reads the file or stream at `path` to its end, inflating gzip and
 * decoding as `opts` asks, into one csv_malloc buffer with a NUL after the
 * text, which the caller owns. `info` (may be null) receives what was read
 * and chosen (all but the delimiter fields). 0, or -1 with the message set
 * and nothing left allocated. */
int csv_read_source_ex(const char *path, const csv_source_opts *opts, char **out_text,
                       uint64_t *out_len, int32_t *out_truncated, csv_load_info *info);
/* Test seam: on the calling thread, asking a regular file's size fails
 * with `err` (as fstat would); 0 restores the real query. */
void csv_source_stat_fails_with(int err);
/* Test seam: on the calling thread, a regular file of some bytes seems
 * `bytes` longer than it is, as one that shrinks between the size query
 * and the read; 0 restores the real size. */
void csv_source_size_overstated_by(int64_t bytes);

/* How a load reads a file's text, from the caller's encoding (`name`
 * non-empty, else the value of csv_load_ex) and the file's first bytes
 * head[0..n): one of the CSV_TEXT_ kinds. `*skip` receives the bytes of a
 * UTF-16 byte order mark the decoder drops, `*bom` whether the text begins
 * with a mark. */
enum { CSV_TEXT_UNCHANGED, CSV_TEXT_UTF8_CHECKED, CSV_TEXT_UTF16LE, CSV_TEXT_UTF16BE,
       CSV_TEXT_NAMED };
int32_t csv_source_text_kind(int32_t encoding, const char *name, const unsigned char *head,
                             size_t n, uint64_t *skip, int32_t *bom);
/* True when the iconv converter `cd` reads every byte alone as one
 * character, and each byte under 0x80 as that ASCII character: text in
 * such an encoding may be cut at any byte. */
bool csv_iconv_single_byte(void *cd);

/* ---- csv_range: loading the records that start in a byte range -------- */

/* Loads into `*out` the records of `path` that start in [offset, offset +
 * length) (see csv_load_range); `info` receives how. 0, -1 with the message
 * set, or 1 for a gzip file asked for whole: the caller loads it whole.
 * `*truncated` is set when the table ends at an odd UTF-16 byte. */
int csv_range_load(const char *path, int has_header, int delimiter, int encoding,
                   const char *encoding_name, int64_t offset, int64_t length, int start_state,
                   csv_progress_fn progress, void *user_data, csv_table *out,
                   csv_load_info *info, int32_t *truncated);
/* The state map of one range (see csv_range_scan). 0 or -1. */
int csv_range_map(const char *path, int delimiter, int encoding, const char *encoding_name,
                  int64_t offset, int64_t length, int32_t *out_map);
/* Test seam: on the calling thread, range scans and loads step every unit
 * through the automaton instead of skipping from quote to quote. */
void csv_range_bytewise_for_tests(int on);

#endif /* VELMORA_CSV_INTERNAL_H */
