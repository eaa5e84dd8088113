// Table storage (the blob, header and body cell arrays) and the record
// parser that fills a table from one buffer of delimited text.
#include <assert.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <new>
#include <type_traits>

#include "csv_internal.h"
#include "csv_platform.h"

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

const csv_cell csv_empty_str = {0, 0};

namespace {

constexpr uint64_t k_blob_first_cap = 4096;
constexpr uint64_t k_blob_double_upto = 1ull << 30;  // past 1 GiB grow by an eighth
constexpr uint64_t k_cells_limit = (1ull << 61) - 1;  // cell count whose bytes fit 64 bits
constexpr int64_t k_first_row_cap = 16;

// Next blob capacity for `need` bytes: 4096 first, doubling up to 1 GiB,
// then an eighth more each time. Growth by a fixed fraction keeps the
// number of moves of a large blob small on any allocator (a dozen from
// 1 GiB to 4 GiB) while costing at most an eighth of unused room.
uint64_t blob_next_cap(uint64_t cap, uint64_t need) {
    if (cap == 0) {
        cap = k_blob_first_cap;
        if (need <= cap) return cap;
    }
    while (cap < need) {
        if (cap <= k_blob_double_upto) {
            cap *= 2;
        } else {
            if (cap > UINT64_MAX - cap / 8) return need;
            cap += cap / 8;
        }
    }
    return cap;
}

// Grows the blob to hold `need` bytes, with room to spare unless `exact`;
// on failure the blob is unchanged.
[[gnu::noinline]] int blob_grow(csv_table *t, uint64_t need, bool exact = false) {
    uint64_t cap = exact ? need : blob_next_cap(t->blob_cap, need);
    if (cap > SIZE_MAX) return -1;
    char *p = static_cast<char *>(csv_realloc(t->blob, static_cast<size_t>(cap)));
    if (p == nullptr) return -1;
    t->blob = p;
    t->blob_cap = cap;
    return 0;
}

// Blob bytes one segment spans on the calling thread (a test may lower it).
CSV_THREAD_LOCAL uint64_t g_segment_limit = CSV_SEGMENT_LIMIT;

// Where texts appended to the blob now count from: the last segment's base.
inline uint64_t tail_base(const csv_table *t) {
    return t->segments == nullptr ? 0 : t->segments[t->n_segments - 1].base;
}

// Room for one more segment, the array made with its first (row 0, base 0)
// when the table had none.
[[gnu::noinline]] int segment_room(csv_table *t) {
    if (t->segments != nullptr && t->n_segments < t->segment_cap) return 0;
    const int64_t cap = t->segment_cap == 0 ? 4 : t->segment_cap * 2;
    csv_segment *s = static_cast<csv_segment *>(
        csv_realloc(t->segments, static_cast<size_t>(cap) * sizeof(csv_segment)));
    if (s == nullptr) return -1;
    if (t->segments == nullptr) {
        s[0] = csv_segment{0, 0};
        t->n_segments = 1;
    }
    t->segments = s;
    t->segment_cap = cap;
    return 0;
}

// Rows from `first_row` on count their offsets from `base`.
int add_segment(csv_table *t, int64_t first_row, uint64_t base) {
    if (segment_room(t) != 0) return -1;
    csv_segment &last = t->segments[t->n_segments - 1];
    CSV_ASSERT(last.first_row <= first_row);
    if (last.first_row == first_row && t->n_segments > 1) {
        last.base = base;  // the last segment holds no row yet
        return 0;
    }
    t->segments[t->n_segments++] = csv_segment{first_row, base};
    return 0;
}

// Filler cells any rectangular body may hold, whatever it stores.
constexpr int64_t k_filler_slack = 4096;

// Column capacity for at least `n` columns: exactly `n` for the table's
// first width, after that at least half as much again as before. A file
// that widens by one column per record so re-lays out its rows only a
// logarithmic number of times, and the work stays linear in its cells.
int32_t next_col_cap(int32_t cap, int32_t n) {
    if (cap == 0) return n;
    int64_t grown = int64_t{cap} + cap / 2;
    if (grown > INT32_MAX) grown = INT32_MAX;
    return grown > n ? static_cast<int32_t>(grown) : n;
}

// The body layout a test asked the calling thread's parses for.
CSV_THREAD_LOCAL int g_body_layout = CSV_BODY_AUTO;

// True when `rows` rows of `stride` cells would hold more filler cells than
// the `real` cells the records gave, past the slack: the body then costs
// more than the input can account for, and becomes ragged.
bool too_sparse(int64_t rows, int64_t stride, int64_t real) {
    if (g_body_layout != CSV_BODY_AUTO) return g_body_layout == CSV_BODY_RAGGED;
    if (stride <= 0) return false;
    return static_cast<uint64_t>(rows) >
           static_cast<uint64_t>(2 * real + k_filler_slack) / static_cast<uint64_t>(stride);
}

// Gives the header array room for `cap` columns.
int grow_headers(csv_table *t, int32_t cap) {
    csv_cell *h = static_cast<csv_cell *>(
        csv_realloc(t->headers, static_cast<size_t>(cap) * sizeof(csv_cell)));
    if (h == nullptr) return -1;
    t->headers = h;
    return 0;
}

// Moves the rows of a rectangular body to the wider stride `cap`, in the
// same block grown in place where the system can: from the last row to the
// first, so that no row overwrites one not yet moved. On failure the body
// is unchanged.
int restride_wider(csv_table *t, int32_t cap) {
    if (t->row_cap != 0) {
        if (static_cast<uint64_t>(t->row_cap) > k_cells_limit / static_cast<uint64_t>(cap)) return -1;
        const int64_t old = csv_row_stride(t);
        csv_cell *cells = static_cast<csv_cell *>(csv_realloc(
            t->cells, static_cast<size_t>(t->row_cap) * static_cast<size_t>(cap) * sizeof(csv_cell)));
        if (cells == nullptr) return -1;
        t->cells = cells;
        const size_t used = static_cast<size_t>(t->n_cols) * sizeof(csv_cell);
        const size_t fill = static_cast<size_t>(cap - t->n_cols) * sizeof(csv_cell);
        for (int64_t r = t->n_rows - 1; r >= 0; --r) {
            csv_cell *row = cells + r * cap;
            if (r != 0 && used != 0) memmove(row, cells + r * old, used);
            memset(row + t->n_cols, 0, fill);
        }
    }
    t->col_cap = cap;
    return 0;
}

}  // namespace

// How the body of a table being parsed is laid out, and the counts that
// decide it. Rectangular while its filler cells stay within the real ones
// (the common file: no filler at all); ragged, for good, once they would
// not, so that memory follows the input whatever the shape of its rows.
struct csv_body_builder {
    csv_table *t;
    int64_t real;      // cells the stored records gave
    int64_t relaid;    // cells moved by re-layouts so far
};

namespace {

using body_builder = csv_body_builder;

// Makes a rectangular body ragged: each row keeps its cells up to its last
// non-empty one, moved to the front in the same block, which then shrinks.
[[gnu::noinline]] int make_ragged(csv_table *t) {
    CSV_ASSERT(t->row_start == nullptr);
    const int64_t room = t->row_cap == 0 ? k_first_row_cap : t->row_cap;
    int64_t *starts = static_cast<int64_t *>(
        csv_malloc(static_cast<size_t>(room + 1) * sizeof(int64_t)));
    if (starts == nullptr) return -1;
    const int64_t stride = csv_row_stride(t);
    int64_t used = 0;
    for (int64_t r = 0; r < t->n_rows; ++r) {
        const csv_cell *row = t->cells + r * stride;
        int32_t width = t->n_cols;
        while (width > 0 && row[width - 1].length == 0) --width;
        starts[r] = used;
        if (width != 0) memmove(t->cells + used, row, static_cast<size_t>(width) * sizeof(csv_cell));
        used += width;
    }
    starts[t->n_rows] = used;
    int64_t cap = t->row_cap * stride;
    const int64_t want = used * 2 > 64 ? used * 2 : 64;
    if (cap > want) {
        // Giving back the room is not needed for anything: a refusal keeps it.
        csv_cell *cells = static_cast<csv_cell *>(
            csv_realloc(t->cells, static_cast<size_t>(want) * sizeof(csv_cell)));
        if (cells != nullptr) {
            t->cells = cells;
            cap = want;
        }
    }
    t->row_start = starts;
    t->row_cap = room;
    t->cell_cap = cap;
    return 0;
}

// Widens the table to `n` columns. Their names come at the end of the
// parse; the stored rows read as empty there. A rectangular body moves to
// a wider stride only when the columns outgrow it, exactly to `n` while
// such moves have cost little beside the cells stored, else by half as
// much again; or turns ragged when the wider rows would be mostly filler.
int set_n_cols(body_builder &b, int32_t n) {
    csv_table *t = b.t;
    if (n <= t->n_cols) return 0;
    if (n > t->col_cap) {
        const int64_t move = t->n_rows * int64_t{n};
        int32_t cap = b.relaid + move <= 2 * b.real ? n : next_col_cap(t->col_cap, n);
        if (t->row_start == nullptr && t->row_cap != 0 && too_sparse(t->n_rows, cap, b.real) &&
            make_ragged(t) != 0)
            return -1;
        if (grow_headers(t, cap) != 0) return -1;
        if (t->row_start == nullptr) {
            if (restride_wider(t, cap) != 0) return -1;
            b.relaid += t->n_rows * int64_t{cap};
        } else {
            t->col_cap = cap;
        }
    }
    for (int32_t k = t->n_cols; k < n; ++k) t->headers[k] = csv_empty_str;
    t->n_cols = n;
    return 0;
}

// Room for one more row of a rectangular body: 16 rows first (fewer when
// the rows are so wide that 16 would be mostly room), then doubling.
[[gnu::noinline]] int grow_rows(body_builder &b, int32_t nf) {
    csv_table *t = b.t;
    const int64_t stride = csv_row_stride(t);
    int64_t cap;
    if (t->row_cap == 0) {
        cap = (4 * (b.real + nf) + 2 * k_filler_slack) / stride;
        cap = cap < 1 ? 1 : cap > k_first_row_cap ? k_first_row_cap : cap;
    } else {
        if (t->row_cap > INT64_MAX / 2) return -1;
        cap = t->row_cap * 2;
    }
    if (static_cast<uint64_t>(cap) > k_cells_limit / static_cast<uint64_t>(stride)) return -1;
    csv_cell *cells = static_cast<csv_cell *>(csv_realloc(
        t->cells, static_cast<size_t>(cap) * static_cast<size_t>(stride) * sizeof(csv_cell)));
    if (cells == nullptr) return -1;
    t->cells = cells;
    t->row_cap = cap;
    return 0;
}

// Ends a rectangular body's room past the table's width, left by widening
// by half as much again: the rows move to the front of the same block,
// to the stride n_cols, and the block shrinks. A refused shrink keeps the
// room; nothing is lost.
void trim_stride(csv_table *t) {
    if (t->row_start != nullptr || t->col_cap <= t->n_cols) return;
    const int64_t old = csv_row_stride(t);
    const int64_t n = t->n_cols;
    t->col_cap = t->n_cols;
    if (t->row_cap == 0 || n == 0) return;
    for (int64_t r = 1; r < t->n_rows; ++r)
        memmove(t->cells + r * n, t->cells + r * old, static_cast<size_t>(n) * sizeof(csv_cell));
    csv_cell *cells = static_cast<csv_cell *>(csv_realloc(
        t->cells, static_cast<size_t>(t->row_cap) * static_cast<size_t>(n) * sizeof(csv_cell)));
    if (cells != nullptr) t->cells = cells;
}

// Appends a row to a ragged body: its `nf` cells, after those of the row
// before. Both arrays double as they fill.
int push_ragged(csv_table *t, const csv_cell *fields, int32_t nf) {
    if (t->n_rows == t->row_cap) {
        if (t->row_cap > INT64_MAX / 4) return -1;
        const int64_t cap = t->row_cap * 2;
        int64_t *starts = static_cast<int64_t *>(
            csv_realloc(t->row_start, static_cast<size_t>(cap + 1) * sizeof(int64_t)));
        if (starts == nullptr) return -1;
        t->row_start = starts;
        t->row_cap = cap;
    }
    const int64_t first = t->row_start[t->n_rows];
    if (first + nf > t->cell_cap) {
        int64_t cap = t->cell_cap * 2;
        if (cap < first + nf) cap = first + nf;
        if (cap < 64) cap = 64;
        if (static_cast<uint64_t>(cap) > k_cells_limit) return -1;
        csv_cell *cells = static_cast<csv_cell *>(
            csv_realloc(t->cells, static_cast<size_t>(cap) * sizeof(csv_cell)));
        if (cells == nullptr) return -1;
        t->cells = cells;
        t->cell_cap = cap;
    }
    if (nf > 0) memcpy(t->cells + first, fields, static_cast<size_t>(nf) * sizeof(csv_cell));
    t->row_start[t->n_rows + 1] = first + nf;
    t->n_rows += 1;
    return 0;
}

// Appends one row of `nf` fields, widening the table first when the record
// is wider than it. In a rectangular body a short record is filled up with
// empty cells, and so is the row's room past n_cols; a row that would make
// the body mostly filler makes it ragged first.
int push_row(body_builder &b, const csv_cell *fields, int32_t nf) {
    csv_table *t = b.t;
    if (nf < 0) return -1;
    if (nf > t->n_cols && set_n_cols(b, nf) != 0) return -1;
    if (t->n_cols == 0) return 0;
    if (t->row_start == nullptr && too_sparse(t->n_rows + 1, csv_row_stride(t), b.real + nf) &&
        make_ragged(t) != 0)
        return -1;
    if (t->row_start != nullptr) {
        if (push_ragged(t, fields, nf) != 0) return -1;
    } else {
        if (t->n_rows == t->row_cap && grow_rows(b, nf) != 0) return -1;
        const int64_t stride = csv_row_stride(t);
        csv_cell *row = t->cells + t->n_rows * stride;
        if (nf > 0) memcpy(row, fields, static_cast<size_t>(nf) * sizeof(csv_cell));
        if (stride > nf) memset(row + nf, 0, static_cast<size_t>(stride - nf) * sizeof(csv_cell));
        t->n_rows += 1;
    }
    b.real += nf;
    return 0;
}

}  // namespace

namespace {

// Makes room for a text of `len` (> 0) bytes and its NUL at the end of the
// blob, wherever that lies from the last segment's base; `exact` grows the
// blob by no more than that.
int blob_reserve(csv_table *t, uint64_t len, bool exact = false) {
    if (len > CSV_CELL_LIMIT) {
        csv_set_error("field exceeds 4 GiB; file too large for this build");
        return -1;
    }
    if (t->blob_len > UINT64_MAX - len - 1) return -1;
    const uint64_t need = t->blob_len + len + 1;
    if (t->blob_cap < need && blob_grow(t, need, exact) != 0) return -1;
    return 0;
}

// Stores the text of `len` bytes that was written at the blob's end, its
// offset from the last segment's base (cut to 32 bits: the parser checks
// that it fits and moves the record to a new segment when not).
inline void blob_commit(csv_table *t, uint64_t len, csv_cell *out) {
    t->blob[t->blob_len + len] = '\0';
    out->offset = static_cast<uint32_t>(t->blob_len - tail_base(t));
    out->length = static_cast<uint32_t>(len);
    t->blob_len += len + 1;
}

// csv_blob_append without the segment check: the parser's, which checks
// after each field.
int blob_append_any(csv_table *t, const char *src, uint64_t len, csv_cell *out) {
    if (blob_reserve(t, len) != 0) return -1;
    memcpy(t->blob + t->blob_len, src, static_cast<size_t>(len));
    blob_commit(t, len, out);
    return 0;
}

}  // namespace

int csv_blob_append(csv_table *t, const char *src, uint64_t len, csv_cell *out) {
    if (t == nullptr || out == nullptr) return -1;
    *out = csv_empty_str;
    if (len == 0) return 0;
    if (src == nullptr) return -1;
    if (len > CSV_CELL_LIMIT) {
        csv_set_error("field exceeds 4 GiB; file too large for this build");
        return -1;
    }
    if (t->blob_len > UINT64_MAX - len - 1) return -1;
    if (t->blob_len + len + 1 - tail_base(t) > g_segment_limit) {
        csv_set_error("CSV data exceeds 4 GiB addressable blob; file too large for this build");
        return -1;
    }
    return blob_append_any(t, src, len, out);
}

void csv_segment_limit_for_tests(uint64_t bytes) {
    g_segment_limit = bytes == 0 || bytes > CSV_SEGMENT_LIMIT ? CSV_SEGMENT_LIMIT : bytes;
}

uint64_t csv_cell_base_slow(const csv_table *t, const csv_cell *c) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(c);
    const uintptr_t h = reinterpret_cast<uintptr_t>(t->headers);
    if (h != 0 && at >= h && at < h + static_cast<uintptr_t>(t->n_cols) * sizeof(csv_cell))
        return t->header_base;
    const uintptr_t b = reinterpret_cast<uintptr_t>(t->cells);
    CSV_ASSERT(b != 0 && at >= b);
    const int64_t cell = static_cast<int64_t>((at - b) / sizeof(csv_cell));
    // The last segment whose first cell is at or before this one.
    const csv_segment *s = t->segments;
    const int64_t stride = csv_row_stride(t);
    auto first_cell = [&](int64_t k) {
        const int64_t r = s[k].first_row < t->n_rows ? s[k].first_row : t->n_rows;
        return t->row_start != nullptr ? t->row_start[r] : r * stride;
    };
    int64_t lo = 0, hi = t->n_segments - 1;
    while (lo < hi) {
        const int64_t mid = lo + (hi - lo + 1) / 2;
        if (first_cell(mid) <= cell) lo = mid;
        else hi = mid - 1;
    }
    return s[lo].base;
}

void csv_parse_body_layout(int layout) { g_body_layout = layout; }

const csv_cell *csv_cell_at(const csv_table *t, int64_t row, int32_t col) {
    if (t == nullptr || row < 0 || row >= t->n_rows || col < 0 || col >= t->n_cols)
        return &csv_empty_str;
    return csv_body_of(t).at(row, col);
}

// The arrays of a table once a stream reads them: each reader (the slot's
// record, every stream) holds a reference; the last one frees them. The
// arrays are read-only by then, so readers need no lock between them.
struct csv_table_share {
    std::atomic<int64_t> refs;
    csv_cell *headers;
    csv_cell *cells;
    int64_t *row_start;
    csv_segment *segments;
    char *blob;
};

void csv_table_free(csv_table *t) {
    if (t == nullptr) return;
    if (t->share != nullptr) {
        assert(t->share->blob == t->blob && t->share->cells == t->cells);
        csv_table_share_drop(t->share);
    } else {
        csv_free(t->headers);
        csv_free(t->cells);
        csv_free(t->row_start);
        csv_free(t->segments);
        csv_free(t->blob);
    }
    memset(t, 0, sizeof *t);
}

csv_table_share *csv_table_share_take(csv_table *t) {
    if (t->share == nullptr) {
        void *mem = csv_malloc(sizeof(csv_table_share));
        if (mem == nullptr) return nullptr;
        csv_table_share *s = new (mem) csv_table_share{};
        s->refs.store(1, std::memory_order_relaxed);  // the record's
        s->headers = t->headers;
        s->cells = t->cells;
        s->row_start = t->row_start;
        s->segments = t->segments;
        s->blob = t->blob;
        t->share = s;
    }
    t->share->refs.fetch_add(1, std::memory_order_relaxed);
    return t->share;
}

bool csv_table_share_sole(const csv_table_share *s) {
    // Acquire pairs with the other holders' drops: their reads are done.
    return s != nullptr && s->refs.load(std::memory_order_acquire) == 1;
}

void csv_table_share_drop(csv_table_share *s) {
    if (s == nullptr) return;
    // Release orders this holder's reads before the free; acquire on the
    // last drop sees every other holder's.
    if (s->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    csv_free(s->headers);
    csv_free(s->cells);
    csv_free(s->row_start);
    csv_free(s->segments);
    csv_free(s->blob);
    static_assert(std::is_trivially_destructible_v<csv_table_share>, "freed as plain memory");
    csv_free(s);
}

namespace {

using uchar = unsigned char;

constexpr int32_t k_first_field_cap = 8;
constexpr int32_t k_max_field_cap = 1 << 30;  // the capacity count is signed 32-bit
constexpr size_t k_scratch_slack = 16;
constexpr uint64_t k_progress_bytes = 0x3FFFFFF;  // report after more than 64 MiB - 1
constexpr int64_t k_progress_rows = 999999;       // or after 1,000,000 rows

const char k_msg_oom[] = "out of memory while parsing CSV";
const char k_msg_cell[] = "field exceeds 4 GiB - 1 bytes, the most one cell holds";
const char k_msg_record[] = "record exceeds 4 GiB - 1 bytes of text, the most one record holds";
const char k_msg_cancel[] = "cancelled by progress callback";

inline unsigned first_bit(unsigned m) {
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long i;
    _BitScanForward(&i, m);
    return static_cast<unsigned>(i);
#else
    return static_cast<unsigned>(__builtin_ctz(m));
#endif
}

// Finds the bytes that end an unquoted field: the delimiter, CR and LF.
struct field_scanner {
    uint8_t stop[256];
#if CSV_HAVE_SSE2
    __m128i v_delim, v_cr, v_lf;

    // Bit i set when byte i of `v` ends a field.
    unsigned mask(__m128i v) const {
        __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, v_delim),
                                   _mm_or_si128(_mm_cmpeq_epi8(v, v_cr), _mm_cmpeq_epi8(v, v_lf)));
        return static_cast<unsigned>(_mm_movemask_epi8(hit));
    }
#endif

    explicit field_scanner(uchar delim) {
        memset(stop, 0, sizeof stop);
        stop[delim] = 1;
        stop['\r'] = 1;
        stop['\n'] = 1;
#if CSV_HAVE_SSE2
        v_delim = _mm_set1_epi8(static_cast<char>(delim));
        v_cr = _mm_set1_epi8('\r');
        v_lf = _mm_set1_epi8('\n');
#endif
    }

    // First field-ending byte in [s, end), or end.
    const uchar *find(const uchar *s, const uchar *end) const {
#if CSV_HAVE_SSE2
        while (end - s >= 16) {
            unsigned m = mask(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s)));
            if (m != 0) return s + first_bit(m);
            s += 16;
        }
#else
        while (end - s >= 4) {
            if (stop[s[0]]) return s;
            if (stop[s[1]]) return s + 1;
            if (stop[s[2]]) return s + 2;
            if (stop[s[3]]) return s + 3;
            s += 4;
        }
#endif
        while (s < end && !stop[*s]) ++s;
        return s;
    }
};

// Working state of one parse.
struct parser {
    csv_table *t;
    const uchar *src;
    const uchar *end;
    int has_header;
    csv_progress_fn progress;
    void *user_data;
    int64_t total;
    csv_cell *fields;      // references of the current record's fields
    int32_t field_cap;
    char *scratch;         // text of a quoted field with doubled quotes
    int64_t record;        // records finished so far
    bool first;            // the first record is being read
    bool unterminated;     // the current record holds an unterminated quote
    uint64_t report_pos;   // position and rows at the last progress report
    int64_t report_rows;
    bool owned;            // the input is the parser's to free and to give back
    const uchar *kept;     // owned input: the first byte not yet given back
    bool in_place;         // the input is the blob: texts stay where they are
    const csv_table *columns_from;  // the columns of a block's table; null: none
    bool more_follows;     // the input is a block with more of the file behind it
    csv_fed_block *cells_feed;  // the fresh part of the cell array, fed; null: none
    int64_t feed_row0;     // the row at the start of what cells_feed covers
    int64_t rows_ready;    // rows below this can be written without asking
    bool fast_rows;        // the loop may store rows of the first record's width itself
    body_builder body;     // the body's layout and what decides it
    int32_t named;         // columns named by the header record; the rest get numbers
    uint64_t seg_base;     // the current segment's base in the blob
    uint64_t seg_limit;    // blob bytes a segment spans
    const char *fail_msg;  // why the parse failed, when not for memory
};

// Stores a warning sample while there is room for one.
void add_sample(csv_table *t, int32_t kind, int64_t row, int32_t expected, int32_t actual) {
    if (t->n_samples >= CSV_MAX_SAMPLES) return;
    csv_warning &w = t->samples[t->n_samples++];
    w.kind = kind;
    w.row = row;
    w.expected = expected;
    w.actual = actual;
}

// Doubles the field buffer (8 references first); a record may hold at most
// 2^30 fields, the most a signed 32-bit capacity can double to.
[[gnu::noinline]] int grow_fields(parser &p) {
    int32_t cap = k_first_field_cap;
    if (p.field_cap != 0) {
        if (p.field_cap >= k_max_field_cap) return -1;
        cap = p.field_cap * 2;
    }
    csv_cell *f = static_cast<csv_cell *>(
        csv_realloc(p.fields, static_cast<size_t>(cap) * sizeof(csv_cell)));
    if (f == nullptr) return -1;
    p.fields = f;
    p.field_cap = cap;
    return 0;
}

// A quoted field ran to the end of the input: flag it once per parse.
[[gnu::noinline]] void note_unterminated(parser &p) {
    csv_table *t = p.t;
    p.unterminated = true;
    if (t->unterminated_quote != 0) return;
    t->unterminated_quote = 1;
    t->unterminated_row = p.record + 1;
    add_sample(t, CSV_WARN_UNTERMINATED_QUOTE, p.record + 1, t->expected_cols, 0);
}

// End of the bytes after a closing quote that still belong to the field:
// they run to the next delimiter, CR or LF, and any quote among them is an
// ordinary byte. Real files have them (`"Azimut" Production Association`).
inline const uchar *quote_tail_end(const field_scanner &sc, const uchar *s, const uchar *end) {
    if (s == end || sc.stop[*s]) return s;
    return sc.find(s, end);
}

// Stores a quoted field's text a[0..alen) followed by the bytes b[0..blen)
// after its closing quote as one text.
[[gnu::noinline]] int store_joined(csv_table *t, const char *a, uint64_t alen, const uchar *b,
                                   uint64_t blen, csv_cell *out) {
    *out = csv_empty_str;
    const uint64_t len = alen + blen;  // both parts come from one input buffer
    if (len == 0) return 0;
    if (blob_reserve(t, len) != 0) return -1;
    char *w = t->blob + t->blob_len;
    if (alen != 0) memcpy(w, a, static_cast<size_t>(alen));
    if (blen != 0) memcpy(w + alen, b, static_cast<size_t>(blen));
    blob_commit(t, len, out);
    return 0;
}

// A quoted field of input that is the blob: the text starting at `text`
// (after the opening quote) is moved left over its doubled quotes and the
// closing quote, so it only ever shrinks, and gets its NUL right behind it,
// before the byte that ends the field. Sets `*len` and returns where the
// field stops.
[[gnu::noinline]] const uchar *read_quoted_in_place(parser &p, const field_scanner &sc,
                                                    uchar *text, uint64_t *len) {
    const uchar *const end = p.end;
    uchar *w = text;
    const uchar *r = text;
    const uchar *stop;
    for (;;) {
        const uchar *q = static_cast<const uchar *>(memchr(r, '"', static_cast<size_t>(end - r)));
        const uchar *upto = q != nullptr ? q : end;
        if (w != r) memmove(w, r, static_cast<size_t>(upto - r));
        w += upto - r;
        if (q == nullptr) {
            note_unterminated(p);
            stop = end;  // the NUL goes to the spare byte past the input at most
            break;
        }
        if (q + 1 < end && q[1] == '"') {
            *w++ = '"';
            r = q + 2;
            continue;
        }
        stop = quote_tail_end(sc, q + 1, end);
        const size_t tail = static_cast<size_t>(stop - (q + 1));
        if (tail != 0) memmove(w, q + 1, tail);
        w += tail;
        break;
    }
    *w = '\0';
    *len = static_cast<uint64_t>(w - text);
    return stop;
}

// Reads the rest of a quoted field whose text starts at `text` and whose
// first doubled quote is at `pair`, assembling the text in a scratch buffer.
// Stores the text in the blob and sets `*stop` to the byte after the field.
[[gnu::noinline]] int read_escaped(parser &p, const field_scanner &sc, const uchar *text,
                                   const uchar *pair, csv_cell *out, const uchar **stop) {
    const uchar *end = p.end;
    size_t cap = static_cast<size_t>(pair - text) + k_scratch_slack;
    char *buf = static_cast<char *>(csv_malloc(cap));
    if (buf == nullptr) return -1;
    p.scratch = buf;
    size_t n = 0;
    const uchar *seg = text;
    const uchar *q = pair;
    size_t last;
    const uchar *tail = nullptr;  // bytes after the closing quote, up to *stop
    for (;;) {
        // The piece runs up to and including the first quote of the pair.
        size_t piece = static_cast<size_t>(q + 1 - seg);
        if (n + piece > cap) {
            while (n + piece > cap) cap *= 2;
            buf = static_cast<char *>(csv_realloc(p.scratch, cap));
            if (buf == nullptr) return -1;
            p.scratch = buf;
        }
        memcpy(buf + n, seg, piece);
        n += piece;
        seg = q + 2;
        q = static_cast<const uchar *>(memchr(seg, '"', static_cast<size_t>(end - seg)));
        if (q == nullptr) {
            last = static_cast<size_t>(end - seg);
            note_unterminated(p);
            *stop = end;
            break;
        }
        if (q + 1 < end && q[1] == '"') continue;
        last = static_cast<size_t>(q - seg);
        *stop = quote_tail_end(sc, q + 1, end);
        tail = q + 1;
        break;
    }
    if (n + last > cap) {
        cap = n + last;
        buf = static_cast<char *>(csv_realloc(p.scratch, cap));
        if (buf == nullptr) return -1;
        p.scratch = buf;
    }
    memcpy(buf + n, seg, last);
    n += last;
    const uint64_t tail_len = tail != nullptr ? static_cast<uint64_t>(*stop - tail) : 0;
    if (n + tail_len > CSV_CELL_LIMIT) {
        p.fail_msg = k_msg_cell;
        return -1;
    }
    if (store_joined(p.t, buf, n, tail, tail_len, out) != 0) return -1;
    csv_free(p.scratch);
    p.scratch = nullptr;
    return 0;
}

// A block's first record: the table takes the columns of the file's first
// record, and the record itself is then a body row like any other. The
// file's header names are copied once the table is complete (finish_texts):
// input parsed in place is the blob, which takes no text during the loop.
[[gnu::noinline]] int take_columns(parser &p) {
    csv_table *t = p.t;
    const csv_table *from = p.columns_from;
    if (from->n_cols > t->n_cols && set_n_cols(p.body, from->n_cols) != 0) return -1;
    t->expected_cols = from->n_cols;
    p.named = p.has_header ? from->n_cols : 0;
    p.first = false;
    return 0;
}

// Completes a record that is not a plain row of the expected width: the
// first record, blank lines, ragged records and rows that need room.
[[gnu::noinline]] int complete_record(parser &p, int32_t nf, bool blank) {
    csv_table *t = p.t;
    const int64_t number = p.record + 1;
    if (p.first && p.columns_from != nullptr && take_columns(p) != 0) return -1;
    if (blank) {
        t->blank += 1;
        add_sample(t, CSV_WARN_BLANK, number, t->expected_cols, 1);
        if (!p.first) return push_row(p.body, p.fields, 1);
    }
    if (p.first) {
        if (nf > t->n_cols && set_n_cols(p.body, nf) != 0) return -1;
        t->expected_cols = nf;
        if (p.has_header) {
            memcpy(t->headers, p.fields, static_cast<size_t>(nf) * sizeof(csv_cell));
            p.named = nf;
            return 0;
        }
        return push_row(p.body, p.fields, nf);
    }
    if (!p.unterminated && nf != t->expected_cols) {
        t->ragged += 1;
        add_sample(t, CSV_WARN_RAGGED, number, t->expected_cols, nf);
    }
    return push_row(p.body, p.fields, nf);
}

// How many rows the record loop may write before it asks again: the whole
// array, or as far as its fresh pages are prepared. The loop stores rows
// itself only in a rectangular body whose rows of the first record's width
// are at least half real cells: such rows keep the body within its bound.
void sync_rows_ready(parser &p) {
    const csv_table *t = p.t;
    p.fast_rows = t->row_start == nullptr && 2 * int64_t{t->expected_cols} >= csv_row_stride(t);
    const uint64_t ready = p.cells_feed != nullptr ? p.cells_feed->ready() : UINT64_MAX;
    if (ready == UINT64_MAX) {
        p.rows_ready = t->row_cap;
        return;
    }
    const uint64_t row_bytes = static_cast<uint64_t>(csv_row_stride(t)) * sizeof(csv_cell);
    const int64_t rows = p.feed_row0 + static_cast<int64_t>(ready / row_bytes);
    p.rows_ready = rows < t->row_cap ? rows : t->row_cap;
}

// Feeds the array's part past the rows in use, when it is large: a fresh
// array, or the new part of a grown one.
void start_cells_feed(parser &p) {
    csv_table *t = p.t;
    if (p.cells_feed == nullptr || t->row_start != nullptr || t->row_cap <= t->n_rows) return;
    const int64_t stride = csv_row_stride(t);
    p.feed_row0 = t->n_rows;
    p.cells_feed->start(reinterpret_cast<char *>(t->cells + t->n_rows * stride),
                        static_cast<uint64_t>(t->row_cap - t->n_rows) *
                            static_cast<uint64_t>(stride) * sizeof(csv_cell));
}

// Has the cells of row `row` prepared; `s` is where the parse is, so that
// the helper prepares about as many rows as the rest of the input holds.
void feed_cells(parser &p, int64_t row, const uchar *s) {
    const csv_table *t = p.t;
    // A block too small to feed, or none (a ragged body): every row is ready.
    if (p.cells_feed->ready() == UINT64_MAX) return;
    const uint64_t row_bytes = static_cast<uint64_t>(csv_row_stride(t)) * sizeof(csv_cell);
    const double done = static_cast<double>(s - p.src);
    const double rest = static_cast<double>(p.end - s);
    double expect = static_cast<double>(t->n_rows);
    if (done > 0) expect += expect * rest / done;
    expect += expect / 256 + 1;
    const double until_rows = expect - static_cast<double>(p.feed_row0);
    const uint64_t until = until_rows <= 0 ? 0
                           : until_rows * row_bytes >= 1e18 ? UINT64_MAX
                           : static_cast<uint64_t>(until_rows) * row_bytes;
    CSV_ASSERT(row >= p.feed_row0);
    (void)p.cells_feed->room(static_cast<uint64_t>(row - p.feed_row0) * row_bytes, row_bytes, until);
}

// A record the loop does not store itself. A record that widens the rows
// past their stride, finds the array full or makes the body ragged moves
// the cells, so their feed stops for it and starts again on the fresh part
// (a ragged body is not fed).
[[gnu::noinline]] int slow_record(parser &p, int32_t nf, bool blank, const uchar *s) {
    csv_table *t = p.t;
    // Widening within the stride writes no stored row: the feed goes on.
    const int64_t stride = csv_row_stride(t);
    const bool moves = p.cells_feed != nullptr && t->row_start == nullptr &&
                       (nf > stride || t->n_rows >= t->row_cap ||
                        too_sparse(t->n_rows + 1, stride, p.body.real + nf));
    if (!moves && p.cells_feed != nullptr && t->n_rows >= p.rows_ready) feed_cells(p, t->n_rows, s);
    const int rc = moves ? p.cells_feed->move([&] { return complete_record(p, nf, blank); })
                         : complete_record(p, nf, blank);
    if (rc != 0) return -1;
    if (moves) start_cells_feed(p);
    sync_rows_ready(p);
    return 0;
}

// Owned input is given back to the system in steps of this many bytes as
// the parse passes them, so that a load does not hold all of the input and
// all of the table at the same time.
constexpr uintptr_t k_release_step = uintptr_t{2} << 20;

// Gives back the whole steps of owned input before `s`, which the parser
// never reads again. Only whole pages inside the block go, so the heap's
// own record of the block, just before its first byte, stays.
[[gnu::noinline]] void release_parsed(parser &p, const uchar *s) {
    const uintptr_t upto = reinterpret_cast<uintptr_t>(s) & ~(k_release_step - 1);
    const uintptr_t from = reinterpret_cast<uintptr_t>(p.kept);
    if (upto <= from) return;
    csv_platform_discard(const_cast<uchar *>(p.kept), static_cast<size_t>(upto - from));
    p.kept = reinterpret_cast<const uchar *>(upto);
}

// Progress report; non-zero when the callback cancels.
[[gnu::noinline]] int report_progress(parser &p, uint64_t pos) {
    if (p.progress(pos, p.total, p.t->n_rows, p.user_data) != 0) return 1;
    p.report_pos = pos;
    p.report_rows = p.t->n_rows;
    return 0;
}

// The blob's end as the record loop sees it, kept in locals while fields
// are stored straight into the room the blob has. Anything else that
// touches the blob goes through the table: the cursor is handed back
// first (save) and taken again after (load), so the two never disagree.
struct blob_cursor {
    char *blob;
    uint64_t len;
    uint64_t cap;
    uint64_t base;  // the last segment's base: offsets count from it

    explicit blob_cursor(const csv_table *t) { load(t); }
    void load(const csv_table *t) {
        blob = t->blob;
        len = t->blob_len;
        cap = t->blob_cap;
        base = tail_base(t);
    }
    void save(csv_table *t) const {
        CSV_ASSERT(t->blob == blob && len <= cap);
        t->blob_len = len;
    }
    // Stores `n` (> 0) bytes at `src` when they and their NUL fit.
    [[gnu::always_inline]] bool put(const uchar *src, uint64_t n, csv_cell *out) {
        if (n >= cap - len || n > CSV_CELL_LIMIT) return false;
        memcpy(blob + len, src, static_cast<size_t>(n));
        commit(n, out);
        return true;
    }
    // Takes the `n` bytes just written at the end as a text.
    [[gnu::always_inline]] void commit(uint64_t n, csv_cell *out) {
        blob[len + n] = '\0';
        out->offset = static_cast<uint32_t>(len - base);
        out->length = static_cast<uint32_t>(n);
        len += n + 1;
    }
};

// Stores a text through the table, growing the blob, when the cursor has
// no room for it. The cursor stays a local of the loop: it is handed over
// here, never its address.
[[gnu::always_inline]] inline int put_slow(parser &p, blob_cursor &cur, const uchar *src,
                                           uint64_t n, csv_cell *out) {
    if (n > CSV_CELL_LIMIT) {
        p.fail_msg = k_msg_cell;
        return -1;
    }
    cur.save(p.t);
    if (blob_append_any(p.t, reinterpret_cast<const char *>(src), n, out) != 0) return -1;
    cur.load(p.t);
    return 0;
}

// One field of input that is the blob: the text stays where it is; its
// NUL later replaces the byte that ends it. Sets `*at` and `*len` to the
// text's place in the blob and length, and returns where the field stops.
[[gnu::always_inline]] inline const uchar *field_in_place(parser &p, const field_scanner &sc,
                                                          const uchar *s, uint64_t *at,
                                                          uint64_t *out_len) {
    const uchar *text = s;
    uint64_t len;
    const uchar *stop;
    if (*s != '"') {
        stop = sc.find(s, p.end);
        len = static_cast<uint64_t>(stop - s);
    } else {
        text = s + 1;
        stop = read_quoted_in_place(p, sc, const_cast<uchar *>(text), &len);
    }
    *at = static_cast<uint64_t>(text - p.src);
    *out_len = len;
    return stop;
}

// A text at `at` in the blob, `len` bytes, that ends past the current
// segment: the record's row starts a new segment, based at the record's
// first text (a record's texts lie in the blob in field order), and the
// record's first `n` fields move over to it. Fails when the text or the
// record is too long for any segment.
[[gnu::noinline]] int next_segment(parser &p, int32_t n, uint64_t at, uint64_t len,
                                   csv_cell *out) {
    if (len >= p.seg_limit) {
        p.fail_msg = k_msg_cell;
        return -1;
    }
    uint64_t base = at;
    for (int32_t k = 0; k < n; ++k) {
        if (p.fields[k].length != 0) {
            base = p.seg_base + p.fields[k].offset;
            break;
        }
    }
    CSV_ASSERT(base >= p.seg_base && at >= base);
    // The header record's texts count from the blob's start, as the
    // headers' do.
    const bool header = p.first && p.has_header && p.columns_from == nullptr;
    if (header || base == p.seg_base || at + len - base >= p.seg_limit) {
        p.fail_msg = k_msg_record;
        return -1;
    }
    for (int32_t k = 0; k < n; ++k) {
        csv_cell &f = p.fields[k];
        if (f.length != 0) f.offset = static_cast<uint32_t>(p.seg_base + f.offset - base);
    }
    if (add_segment(p.t, p.t->n_rows, base) != 0) return -1;
    p.seg_base = base;
    out->offset = static_cast<uint32_t>(at - base);
    out->length = static_cast<uint32_t>(len);
    return 0;
}

// An unquoted field copied into the blob; sets `*stop` to where it stops.
[[gnu::always_inline]] inline int field_unquoted(parser &p, const field_scanner &sc,
                                                 blob_cursor &cur, const uchar *s,
                                                 csv_cell *out, const uchar **stop) {
    const uchar *const end = p.end;
#if CSV_HAVE_SSE2
    if (end - s >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
        const unsigned m = sc.mask(v);
        if (m == 0) {
            *stop = sc.find(s + 16, end);
        } else {
            // A short field: the 16 bytes loaded go to the blob in one
            // store when it has room past its end.
            const uint64_t len = first_bit(m);
            *stop = s + len;
            if (len == 0) return 0;
            if (cur.cap - cur.len >= 16) {
                _mm_storeu_si128(reinterpret_cast<__m128i *>(cur.blob + cur.len), v);
                cur.commit(len, out);
                return 0;
            }
        }
    } else {
        *stop = sc.find(s, end);
    }
#else
    *stop = sc.find(s, end);
#endif
    const uint64_t len = static_cast<uint64_t>(*stop - s);
    if (len == 0 || cur.put(s, len, out)) return 0;
    return put_slow(p, cur, s, len, out);
}

// A quoted field copied into the blob; sets `*stop` to where it stops.
[[gnu::always_inline]] inline int field_quoted(parser &p, const field_scanner &sc,
                                               blob_cursor &cur, const uchar *s, csv_cell *out,
                                               const uchar **stop) {
    const uchar *const end = p.end;
    const uchar *text = s + 1;
    const uchar *q = static_cast<const uchar *>(memchr(text, '"', static_cast<size_t>(end - text)));
    if (q != nullptr && q + 1 < end && q[1] == '"') {
        // Doubled quotes: the text is assembled in a scratch buffer.
        cur.save(p.t);
        if (read_escaped(p, sc, text, q, out, stop) != 0) return -1;
        cur.load(p.t);
        return 0;
    }
    uint64_t len;
    if (q == nullptr) {
        len = static_cast<uint64_t>(end - text);
        note_unterminated(p);
        *stop = end;
    } else {
        len = static_cast<uint64_t>(q - text);
        *stop = quote_tail_end(sc, q + 1, end);
        if (*stop != q + 1) {
            // Bytes after the closing quote join the text.
            if (len + static_cast<uint64_t>(*stop - (q + 1)) > CSV_CELL_LIMIT) {
                p.fail_msg = k_msg_cell;
                return -1;
            }
            cur.save(p.t);
            if (store_joined(p.t, reinterpret_cast<const char *>(text), len, q + 1,
                             static_cast<uint64_t>(*stop - (q + 1)), out) != 0)
                return -1;
            cur.load(p.t);
            return 0;
        }
    }
    if (len == 0 || cur.put(text, len, out)) return 0;
    return put_slow(p, cur, text, len, out);
}

// Reads one record's fields into p.fields from `*s`, which it advances
// past the record's line ending. Sets `*nf` and `*at_eol` (the record
// ended at a line ending, not at the end of the input).
template <bool InPlace>
[[gnu::always_inline]] inline int read_record(parser &p, const field_scanner &sc, uchar delim,
                                              blob_cursor &cur, const uchar **s, int32_t *nf,
                                              bool *at_eol) {
    const uchar *const end = p.end;
    const uchar *at = *s;
    int32_t n = 0;
    // In locals: a text's bytes stored into the blob could be any field.
    csv_cell *fields = p.fields;
    int32_t field_cap = p.field_cap;
    p.unterminated = false;
    for (;;) {
        csv_cell cell = csv_empty_str;
        const uchar *stop = at;
        if (at == end) {
            // A delimiter that ended the input: one more, empty, field.
        } else if (InPlace) {
            uint64_t pos, len;
            stop = field_in_place(p, sc, at, &pos, &len);
            if (len != 0) {
                if (pos + len - p.seg_base < p.seg_limit) {
                    cell.offset = static_cast<uint32_t>(pos - p.seg_base);
                    cell.length = static_cast<uint32_t>(len);
                } else if (next_segment(p, n, pos, len, &cell) != 0) {
                    return -1;
                }
            }
        } else {
            if (*at != '"' ? field_unquoted(p, sc, cur, at, &cell, &stop) != 0
                           : field_quoted(p, sc, cur, at, &cell, &stop) != 0)
                return -1;
            // The text is the blob's last; its NUL must lie within the segment.
            if (cell.length != 0 && cur.len - p.seg_base > p.seg_limit) {
                if (next_segment(p, n, cur.len - cell.length - 1, cell.length, &cell) != 0)
                    return -1;
                cur.base = p.seg_base;
            }
        }
        if (n == field_cap) {
            if (grow_fields(p) != 0) return -1;
            fields = p.fields;
            field_cap = p.field_cap;
        }
        fields[n++] = cell;
        // What follows the field: the delimiter is tested first, so a
        // delimiter that is CR or LF never ends a record.
        if (stop == end) {
            *s = end;
            *at_eol = false;
            break;
        }
        const uchar c = *stop;
        if (InPlace) *const_cast<uchar *>(stop) = '\0';
        at = stop + 1;
        if (c == delim) continue;
        if (c == '\r' && at < end && *at == '\n') ++at;
        *s = at;
        *at_eol = true;
        break;
    }
    *nf = n;
    return 0;
}

// Stores a record: a regular row (the first record's width, room in the
// body, the body's bound kept) right here; anything else through
// slow_record. `s` is where the parse is.
template <bool InPlace>
[[gnu::always_inline]] inline int store_record(parser &p, blob_cursor &cur, int32_t nf,
                                               bool at_eol, const uchar *s) {
    csv_table *t = p.t;
    // An empty line that is not the input's last: one empty field,
    // ended by a line ending with more input (or more of the file) behind it.
    const bool blank =
        at_eol && nf == 1 && p.fields[0].length == 0 && (s < p.end || p.more_follows);
    if (!p.first && !blank && nf == t->expected_cols && nf <= t->n_cols &&
        t->n_rows < p.rows_ready && p.fast_rows) {
        const int64_t stride = csv_row_stride(t);
        csv_cell *row = t->cells + t->n_rows * stride;
        memcpy(row, p.fields, static_cast<size_t>(nf) * sizeof(csv_cell));
        if (stride > nf) memset(row + nf, 0, static_cast<size_t>(stride - nf) * sizeof(csv_cell));
        t->n_rows += 1;
        p.body.real += nf;
        return 0;
    }
    cur.save(t);
    if (slow_record(p, nf, blank, s) != 0) return -1;
    cur.load(t);
    // Input parsed in place is the blob, which takes no text before the
    // parse ends: it never moves under the loop.
    CSV_ASSERT(!InPlace || cur.blob == reinterpret_cast<const char *>(p.src));
    return 0;
}

// After a record that ended at a line ending: owned input behind the
// parse goes back to the system, and progress is reported when due.
// Returns 0, or 1 when the callback cancels.
[[gnu::always_inline]] inline int after_record(parser &p, blob_cursor &cur, const uchar *s) {
    if (p.owned && reinterpret_cast<uintptr_t>(s) >= reinterpret_cast<uintptr_t>(p.kept) + k_release_step)
        release_parsed(p, s);
    if (p.progress != nullptr) {
        const uint64_t pos = static_cast<uint64_t>(s - p.src);
        if (pos - p.report_pos > k_progress_bytes || p.t->n_rows - p.report_rows > k_progress_rows) {
            cur.save(p.t);
            if (report_progress(p, pos) != 0) return 1;
        }
    }
    p.record += 1;
    p.first = false;
    return 0;
}

// The record loop. Returns 0, -1 when memory ran out, 1 when cancelled.
template <bool InPlace>
int parse_records(parser &p, const uchar *s, uchar delim) {
    const field_scanner sc(delim);
    blob_cursor cur(p.t);
    int rc = 0;
    while (s < p.end) {
        int32_t nf = 0;
        bool at_eol = false;
        if (read_record<InPlace>(p, sc, delim, cur, &s, &nf, &at_eol) != 0 ||
            store_record<InPlace>(p, cur, nf, at_eol, s) != 0) {
            rc = -1;
            break;
        }
        if (!at_eol) break;
        if ((rc = after_record(p, cur, s)) != 0) break;
    }
    cur.save(p.t);
    return rc;
}

// Bytes of the generated names of columns k (0-based) in [from, to), each
// the decimal text of k + 1 and its NUL.
uint64_t names_size(int32_t from, int32_t to) {
    uint64_t bytes = 0;
    int64_t first = int64_t{from} + 1;
    const int64_t last = int64_t{to};  // the number of the last column
    for (int64_t width = 1, below = 10; first <= last; ++width, below *= 10) {
        if (first >= below) continue;
        const int64_t upto = last < below - 1 ? last : below - 1;
        bytes += static_cast<uint64_t>(upto - first + 1) * static_cast<uint64_t>(width + 1);
        first = upto + 1;
    }
    return bytes;
}

// The header texts of a block's table: those of the file's table, for the
// columns its header record named (p.named, set by take_columns).
uint64_t copied_names_size(const parser &p) {
    uint64_t bytes = 0;
    if (p.columns_from == nullptr) return 0;
    for (int32_t k = 0; k < p.named; ++k) {
        const uint32_t len = p.columns_from->headers[k].length;
        if (len != 0) bytes += uint64_t{len} + 1;
    }
    return bytes;
}

// Room for `bytes` more at the blob's end (exactly that for input parsed in
// place, which the loader sized).
int blob_room(parser &p, uint64_t bytes) {
    csv_table *t = p.t;
    if (t->blob_cap - t->blob_len >= bytes) return 0;
    return blob_grow(t, t->blob_len + bytes, p.in_place);
}

// Copies a text of `len` bytes at `src` to the blob's end (room made), its
// offset from `base`.
void put_at_end(csv_table *t, const char *src, uint64_t len, uint64_t base, csv_cell *out) {
    *out = csv_empty_str;
    if (len == 0) return;
    memmove(t->blob + t->blob_len, src, static_cast<size_t>(len));
    t->blob[t->blob_len + len] = '\0';
    out->offset = static_cast<uint32_t>(t->blob_len - base);
    out->length = static_cast<uint32_t>(len);
    t->blob_len += len + 1;
}

// finish_texts for a table whose added texts would lie past the first
// segment: every header text moves to the blob's end, the headers' offsets
// counting from there (header_base); with `row0`, so do the texts of row 0,
// which gets a segment of its own, so that offset 0 can keep the blob's
// leading NUL.
[[gnu::noinline]] int finish_texts_spread(parser &p, bool row0) {
    csv_table *t = p.t;
    const csv_table *from = p.columns_from;
    uint64_t head = names_size(p.named, t->n_cols) + copied_names_size(p);
    for (int32_t k = 0; from == nullptr && k < p.named; ++k)
        if (t->headers[k].length != 0) head += uint64_t{t->headers[k].length} + 1;
    uint64_t row_bytes = 0;
    const csv_row_cells r0 = row0 ? csv_body_of(t).row(0) : csv_row_cells{nullptr, 0, nullptr};
    for (int32_t k = 0; k < r0.width; ++k)
        if (r0.cells[k].length != 0) row_bytes += uint64_t{r0.cells[k].length} + 1;
    // The last text's NUL must lie within the segment.
    if (head > p.seg_limit || row_bytes > p.seg_limit) {
        p.fail_msg = k_msg_record;
        return -1;
    }
    if (segment_room(t) != 0 || blob_room(p, head + row_bytes) != 0) return -1;
    if (row0) {
        // Row 0 holds the text at the blob's start: its segment is based at 0.
        CSV_ASSERT(csv_segment_base(t->segments, t->n_segments, 0) == 0);
        const uint64_t base = t->blob_len;
        csv_cell *cells = const_cast<csv_cell *>(r0.cells);
        for (int32_t k = 0; k < r0.width; ++k)
            put_at_end(t, t->blob + cells[k].offset, cells[k].length, base, &cells[k]);
        memmove(t->segments + 1, t->segments,
                static_cast<size_t>(t->n_segments) * sizeof(csv_segment));
        t->n_segments += 1;
        t->segments[0] = csv_segment{0, base};
        for (int64_t k = 1; k < t->n_segments && t->segments[k].first_row == 0; ++k)
            t->segments[k].first_row = 1;
    }
    const uint64_t old_base = t->header_base;
    t->header_base = t->blob_len;
    for (int32_t k = 0; k < p.named; ++k) {
        csv_cell &h = t->headers[k];
        const char *src = from != nullptr ? csv_cell_text(from, &from->headers[k])
                                          : t->blob + old_base + h.offset;
        const uint64_t len = from != nullptr ? from->headers[k].length : h.length;
        put_at_end(t, src, len, t->header_base, &h);
    }
    for (int32_t k = p.named; k < t->n_cols; ++k) {
        char name[16];
        const int len = snprintf(name, sizeof name, "%d", k + 1);
        put_at_end(t, name, static_cast<uint64_t>(len), t->header_base, &t->headers[k]);
    }
    if (p.in_place) t->blob[0] = '\0';
    return 0;
}

// The texts a parse adds to the blob once the table is complete: the first
// record's first text when it starts at offset 0 of input parsed in place
// (offset 0 holds the blob's leading NUL), the names a block's table takes
// from the file's table, and the names of the columns the header record
// did not name, their 1-based numbers ("%d"). Input parsed in place is the
// blob: it grows once, by exactly the bytes these take, and mostly not at
// all (the loader's spare room holds them).
int finish_texts(parser &p) {
    csv_table *t = p.t;
    const csv_table *from = p.columns_from;
    CSV_ASSERT(from == nullptr || p.named <= t->n_cols);
    // A block's first record is a body row even when the file has a header.
    const bool header_record = p.has_header && from == nullptr;
    csv_cell *first = nullptr;
    if (p.in_place && t->n_cols > 0) {
        // Row 0's first cell; a ragged row 0 may keep no cells at all.
        const bool row0_cell = t->n_rows > 0 && (t->row_start == nullptr || t->row_start[1] > 0);
        first = header_record ? &t->headers[0] : row0_cell ? &t->cells[0] : nullptr;
        // Only a text at the blob's very start moves.
        const uint64_t base = header_record || t->segments == nullptr
                                  ? 0
                                  : csv_segment_base(t->segments, t->n_segments, 0);
        if (first != nullptr && (first->length == 0 || first->offset != 0 || base != 0))
            first = nullptr;
    }
    const uint64_t added = names_size(p.named, t->n_cols) + copied_names_size(p) +
                           (first != nullptr ? uint64_t{first->length} + 1 : 0);
    if (t->segments != nullptr || t->blob_len + added > p.seg_limit)
        return finish_texts_spread(p, first != nullptr && !header_record);
    if (p.in_place) {
        uint64_t need = names_size(p.named, t->n_cols) + copied_names_size(p);
        if (first != nullptr) need += uint64_t{first->length} + 1;
        // blob_reserve counts one NUL of its own.
        if (need != 0 && blob_reserve(t, need - 1, true) != 0) return -1;
    }
    if (first != nullptr) {
        const uint64_t len = first->length;
        memcpy(t->blob + t->blob_len, t->blob, static_cast<size_t>(len));
        blob_commit(t, len, first);
    }
    if (p.in_place) t->blob[0] = '\0';
    for (int32_t k = 0; from != nullptr && k < p.named; ++k) {
        const csv_cell &h = from->headers[k];
        if (csv_blob_append(t, csv_cell_text(from, &h), h.length, &t->headers[k]) != 0) return -1;
    }
    for (int32_t k = p.named; k < t->n_cols; ++k) {
        char name[16];
        const int len = snprintf(name, sizeof name, "%d", k + 1);
        if (csv_blob_append(t, name, static_cast<uint64_t>(len), &t->headers[k]) != 0) return -1;
    }
    return 0;
}

// Releases everything of a failed or cancelled parse and leaves the record
// all zero.
[[gnu::noinline]] int parse_failed(parser &p, const char *msg) {
    if (p.cells_feed != nullptr) p.cells_feed->stop();
    csv_free(p.fields);
    csv_free(p.scratch);
    csv_table_free(p.t);
    csv_set_error("%s", p.fail_msg != nullptr && msg == k_msg_oom ? p.fail_msg : msg);
    return -1;
}

}  // namespace

namespace {

// `take`, when set, holds input that becomes the blob: the parse then moves
// no text and touches no fresh page for it.
int parse_table(csv_table *t, const char *src, uint64_t len, int has_header,
                const csv_parse_opts *opts, bool owned,
                std::unique_ptr<char, csv_free_deleter> *take = nullptr) {
    uchar delim = ',';
    parser p{};
    p.total = static_cast<int64_t>(len);
    if (opts != nullptr) {
        if (opts->delimiter >= 1 && opts->delimiter <= 255) delim = static_cast<uchar>(opts->delimiter);
        if (opts->total_len > 0) p.total = opts->total_len;
        p.progress = opts->progress;
        p.user_data = opts->user_data;
        p.columns_from = opts->columns_from;
        p.more_follows = opts->more_follows != 0;
    }
    const bool keep_mark = opts != nullptr && opts->keep_mark != 0;
    if (t == nullptr || (src == nullptr && len != 0)) return -1;
    p.t = t;
    p.body.t = t;
    p.has_header = has_header;
    p.first = true;
    p.seg_limit = g_segment_limit;
    if (len == 0) {
        if (p.progress != nullptr && p.progress(0, p.total, 0, p.user_data) != 0)
            return parse_failed(p, k_msg_cancel);
        t->in_use = 1;
        return 0;
    }
    p.src = reinterpret_cast<const uchar *>(src);
    p.end = p.src + len;
    if (owned) {
        p.owned = true;
        p.kept = p.src;
    }
    uint64_t skip = 0;
    if (!keep_mark && len >= 3 && p.src[0] == 0xEF && p.src[1] == 0xBB && p.src[2] == 0xBF)
        skip = 3;

    if (take != nullptr) {
        // One spare byte past the input takes the NUL of a text that ends it;
        // the room after it the first text, when it must move. A loader
        // that leaves that room has the block kept where it is.
        const uint64_t cap = len + 1 + CSV_OWNED_SPARE;
        char *blob = static_cast<char *>(csv_realloc(take->get(), static_cast<size_t>(cap)));
        if (blob == nullptr) {
            csv_set_error("out of memory");
            return -1;
        }
        take->release();
        blob[len] = '\0';
        if (skip != 0) blob[0] = '\0';
        t->blob = blob;
        t->blob_len = len + 1;
        t->blob_cap = cap;
        p.src = reinterpret_cast<const uchar *>(blob);
        p.end = p.src + len;
        p.owned = false;
        p.in_place = true;
    } else {
        char *blob = static_cast<char *>(csv_malloc(k_blob_first_cap));
        if (blob == nullptr) {
            csv_set_error("out of memory");
            return -1;
        }
        blob[0] = '\0';
        t->blob = blob;
        t->blob_len = 1;
        t->blob_cap = k_blob_first_cap;
    }

    // A large input makes a large cell array: its fresh pages are prepared
    // ahead of the rows.
    csv_fed_block cells_feed;
    if (csv_page_feed_wanted(len)) p.cells_feed = &cells_feed;
    sync_rows_ready(p);
    int rc = p.in_place ? parse_records<true>(p, p.src + skip, delim)
                        : parse_records<false>(p, p.src + skip, delim);
    cells_feed.stop();
    if (rc == 0) trim_stride(t);
    if (rc == 0 && finish_texts(p) != 0) rc = -1;
    if (rc != 0) return parse_failed(p, rc > 0 ? k_msg_cancel : k_msg_oom);
    csv_free(p.fields);
    p.fields = nullptr;
    if (p.progress != nullptr && p.progress(len, p.total, t->n_rows, p.user_data) != 0)
        return parse_failed(p, k_msg_cancel);
    t->in_use = 1;
    return 0;
}

}  // namespace

int csv_table_parse_ex(csv_table *t, const char *src, uint64_t len, int has_header,
                       const csv_parse_opts *opts) {
    return parse_table(t, src, len, has_header, opts, false);
}

int csv_table_parse(csv_table *t, const char *src, uint64_t len, int has_header) {
    return csv_table_parse_ex(t, src, len, has_header, nullptr);
}

namespace {
CSV_THREAD_LOCAL uint64_t g_copy_owned_from = UINT64_MAX;
}  // namespace

void csv_parse_copy_owned_from(uint64_t bytes) {
    g_copy_owned_from = bytes == 0 ? UINT64_MAX : bytes;
}

int csv_table_parse_owned(csv_table *t, char *src, uint64_t len, int has_header,
                          const csv_parse_opts *opts) {
    std::unique_ptr<char, csv_free_deleter> input(src);
    if (t == nullptr || src == nullptr || len == 0 || len >= g_copy_owned_from)
        return parse_table(t, src, len, has_header, opts, true);
    return parse_table(t, src, len, has_header, opts, true, &input);
}
