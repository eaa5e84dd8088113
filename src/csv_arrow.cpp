// The columnar export: a table's columns as an Arrow C stream of record
// batches. Under the lock the stream decides each column's type and takes a
// reference to the share of the table's arrays, so it outlives the table,
// its handle and the lock; each batch is built when the consumer asks for
// it, into buffers its arrays own, so a consumer that releases a batch
// before asking for the next keeps one batch of memory, warm, in use.
#include <assert.h>
#include <errno.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>

#include "csv_internal.h"
#include "csv_platform.h"

namespace {

constexpr int64_t k_batch_rows = 65536;
constexpr int64_t k_small_batch_rows = 16384;  // CSV_ARROW_SMALL_BATCHES
constexpr uint64_t k_text_max = INT32_MAX;  // 32-bit offsets reach this far

CSV_THREAD_LOCAL int64_t g_batch_rows = k_batch_rows;
CSV_THREAD_LOCAL uint64_t g_text_max = k_text_max;

const char k_oom[] = "out of memory";

// What a column becomes.
enum col_kind : int32_t { k_utf8, k_large_utf8, k_int64, k_float64 };

const char *format_of(int32_t kind) {
    switch (kind) {
    case k_large_utf8: return "U";
    case k_int64: return "l";
    case k_float64: return "g";
    default: return "u";
    }
}

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The text up to its first NUL, as the JSON answers take it.
inline uint64_t cut_at_nul(const char *text, uint64_t len) {
    const void *nul = memchr(text, 0, len);
    return nul ? static_cast<uint64_t>(static_cast<const char *>(nul) - text) : len;
}

// The usual spellings of a missing value, compared after trimming blanks.
const char *const k_null_markers[] = {
    "NA",   "N/A",  "n/a", "NaN",    "nan",    "-NaN",   "-nan",    "null",     "NULL", "None",
    "#N/A", "#NA",  "#N/A N/A", "<NA>", "-", "1.#IND", "-1.#IND", "1.#QNAN", "-1.#QNAN"};

bool is_null_marker(const char *text, uint64_t len) {
    const char *b = text, *e = text + len;
    while (b < e && is_blank(*b)) ++b;
    while (e > b && is_blank(e[-1])) --e;
    const size_t n = static_cast<size_t>(e - b);
    if (n == 0 || n > 8) return false;
    for (const char *m : k_null_markers)
        if (strlen(m) == n && memcmp(m, b, n) == 0) return true;
    return false;
}

// A plain decimal integer within 64 bits: blanks around, an optional sign,
// digits and nothing else (so also a number to csv_is_numeric_field).
bool plain_int64(const char *text, uint64_t len, int64_t *out) {
    const char *b = text, *e = text + len;
    while (b < e && is_blank(*b)) ++b;
    while (e > b && is_blank(e[-1])) --e;
    if (b == e || static_cast<size_t>(e - b) > CSV_MAX_NUMERIC_TEXT) return false;
    bool neg = false;
    if (*b == '+' || *b == '-') {
        neg = *b == '-';
        ++b;
    }
    if (b == e) return false;
    if (e - b <= 18) {  // below 10^18: no step can overflow
        uint64_t v = 0;
        for (; b < e; ++b) {
            const unsigned d = static_cast<unsigned char>(*b) - '0';
            if (d > 9) return false;
            v = v * 10 + d;
        }
        *out = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
        return true;
    }
    // Magnitude up to 2^63 (the most negative value), checked before each step.
    const uint64_t limit = neg ? uint64_t{1} << 63 : static_cast<uint64_t>(INT64_MAX);
    uint64_t v = 0;
    for (; b < e; ++b) {
        const unsigned d = static_cast<unsigned char>(*b) - '0';
        if (d > 9) return false;
        if (v > (limit - d) / 10) return false;
        v = v * 10 + d;
    }
    *out = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return true;
}

inline bool counts_as_empty(const char *text, uint32_t len, bool markers) {
    return len == 0 || (markers && is_null_marker(text, len));
}

// Powers of ten that a double holds exactly.
constexpr double k_exact_pow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// How the typing pass and the batches read numbers: both read every cell
// of a numeric column, so the common short forms take a quick way, and
// every other text the general one. `end` bounds the bytes that may be
// read past a text (the end of the table's texts); `dot` is whether the
// locale's decimal point is '.' (read once, not per cell).
struct number_reader {
    const char *end;
    bool dot;

    // Up to 8 digits after an optional sign, no blanks: one word load,
    // checked and converted a byte per lane. False for any other text.
    static bool short_int(const char *s, uint32_t len, const char *end, int64_t *out) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        const bool neg = *s == '-';
        if (neg || *s == '+') {
            ++s;
            --len;
        }
        if (len == 0 || len > 8 || end - s < 8) return false;
        constexpr uint64_t k_zeros = 0x3030303030303030ull, k_highs = 0xF0F0F0F0F0F0F0F0ull;
        const unsigned shift = 8 * (8 - len);
        uint64_t x = csv_load64(s) << shift;        // first digit lowest: the digits on top
        if (shift != 0) x |= k_zeros >> (64 - shift);  // leading '0's below
        if ((x & k_highs) != k_zeros || ((x + 0x0606060606060606ull) & k_highs) != k_zeros)
            return false;
        x = (x & 0x0F0F0F0F0F0F0F0Full) * 2561 >> 8;  // pairs of digits, then fours, then all
        x = (x & 0x00FF00FF00FF00FFull) * 6553601 >> 16;
        x = (x & 0x0000FFFF0000FFFFull) * 42949672960001ull >> 32;
        *out = neg ? -static_cast<int64_t>(x) : static_cast<int64_t>(x);
        return true;
#else
        (void)s, (void)len, (void)end, (void)out;
        return false;
#endif
    }

    // [sign] digits [. digits] with 1 to 15 digits, no blanks: the digits'
    // integer (exact in a double) over a power of ten, signed first, as
    // csv_is_numeric_field computes it, so strtod's value. False for any
    // other text.
    static bool short_decimal(const char *s, uint32_t len, double *out) {
        if (len > 17) return false;
        uint32_t i = 0;
        const bool neg = *s == '-';
        if (neg || *s == '+') i = 1;
        uint64_t mant = 0;
        int digits = 0, frac = 0;
        bool point = false;
        for (; i < len; ++i) {
            const unsigned d = static_cast<unsigned char>(s[i]) - '0';
            if (d <= 9) {
                mant = mant * 10 + d;
                ++digits;
                frac += point;
            } else if (s[i] == '.' && !point) {
                point = true;
            } else {
                return false;
            }
        }
        if (digits == 0 || digits > 15) return false;
        double m = static_cast<double>(mant);
        if (neg) m = -m;
        *out = m / k_exact_pow10[frac];
        return true;
    }

    bool int64_of(const char *s, uint32_t len, int64_t *out) const {
        return short_int(s, len, end, out) || plain_int64(s, len, out);
    }
    bool float64_of(const char *s, uint32_t len, double *out) const {
        return (dot && short_decimal(s, len, out)) || csv_is_numeric_field(s, len, out) != 0;
    }
};

number_reader reader_of(const csv_table *t) {
    return number_reader{t->blob ? t->blob + t->blob_len : nullptr, csv_locale_point_is_dot() != 0};
}

// A cell as the typed columns see it.
enum cell_class { k_empty_cell, k_int_cell, k_number_cell, k_text_cell };

inline cell_class classify(const number_reader &rd, const char *text, uint32_t len, bool markers,
                           bool ints) {
    if (counts_as_empty(text, len, markers)) return k_empty_cell;
    int64_t iv;
    if (ints && rd.int64_of(text, len, &iv)) return k_int_cell;
    double v;
    return rd.float64_of(text, len, &v) ? k_number_cell : k_text_cell;
}

// A 64-bit word stored as its eight bytes from the lowest up: a validity
// bitmap's bit i is bit i % 8 of byte i / 8 on any machine.
inline void store_le64(uint64_t *p, uint64_t w) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    memcpy(p, &w, 8);
}

// The column plan: what each output column is built from.
struct column_plan {
    int32_t col;
    int32_t kind;
};

// A column being typed: still open to int64 (`ints`) or to float64, and
// whether a number was seen.
struct typing {
    int32_t out;  // its index in the plan
    int32_t col;
    bool ints;
    bool seen;
};

// The kind of each typed column of the plan, decided in one pass over the
// rows (each row's cells and texts are near each other): numeric when every
// cell that is not empty is a number and there is at least one (the
// statistics' rule), int64 when they are all plain integers. `open` is
// room for one entry per column. A column leaves the pass at its first
// text cell; the pass ends when none is left.
void typed_kinds(const csv_table *t, column_plan *plan, int32_t n_cols, bool markers,
                 typing *open) {
    int32_t n_open = 0;
    for (int32_t i = 0; i < n_cols; ++i) {
        plan[i].kind = k_utf8;
        open[n_open++] = typing{i, plan[i].col, true, false};
    }
    const csv_body_view body = csv_body_of(t);
    const number_reader rd = reader_of(t);
    for (int64_t r = 0; r < t->n_rows && n_open > 0; ++r) {
        for (int32_t k = 0; k < n_open;) {
            typing &c = open[k];
            const csv_cell *cell = body.at(r, c.col);
            const char *s = csv_cell_text(t, cell);
            const cell_class what = classify(rd, s, cell->length, markers, c.ints);
            if (what == k_text_cell) {  // utf8: out of the pass
                open[k] = open[--n_open];
                continue;
            }
            if (what != k_empty_cell) c.seen = true;
            if (what == k_number_cell) c.ints = false;
            ++k;
        }
    }
    for (int32_t k = 0; k < n_open; ++k)
        if (open[k].seen) plan[open[k].out].kind = open[k].ints ? k_int64 : k_float64;
}

// Bytes of the repaired texts of rows [r0, r0 + n) of column `col`.
uint64_t text_bytes(const csv_table *t, int32_t col, int64_t r0, int64_t n) {
    const csv_body_view body = csv_body_of(t);
    uint64_t total = 0;
    for (int64_t r = r0; r < r0 + n; ++r) {
        const csv_cell *c = body.at(r, col);
        const char *s = csv_cell_text(t, c);
        total += csv_utf8_repaired_len(s, cut_at_nul(s, c->length));
    }
    return total;
}

// Stored bytes of the texts of rows [r0, r0 + n) of column `col`.
uint64_t text_raw(const csv_table *t, int32_t col, int64_t r0, int64_t n) {
    const csv_body_view body = csv_body_of(t);
    uint64_t total = 0;
    for (int64_t r = r0; r < r0 + n; ++r) total += body.at(r, col)->length;
    return total;
}

// ---- buffer pool ----------------------------------------------------------

// The buffers of released batches, kept for the stream's next batches. The
// allocator hands a released block of a batch's size back to the system,
// and fresh pages cost a fault each on first touch; a consumer that
// releases each batch before asking for the next thus has the stream fill
// the same warm memory again. One slot per buffer of each output column.
// The stream and every column array it handed out hold a reference: arrays
// may be released on any thread, also after the stream; the last reference
// frees what is kept.
struct pooled_block {
    void *p;
    size_t cap;
};

struct buffer_pool {
    std::atomic<int64_t> refs;
    std::mutex m;
    bool open;             // the stream still draws from it
    size_t n_slots;
    pooled_block *slot;  // n_slots of them, in the same block after the pool
};

constexpr int k_slots_per_column = 3;
constexpr int64_t k_row_block = 512;  // rows filled column by column
constexpr size_t k_populate_min = size_t{256} << 10;

buffer_pool *pool_new(int32_t n_cols) {
    const size_t n = static_cast<size_t>(n_cols) * k_slots_per_column;
    void *mem = csv_calloc(1, sizeof(buffer_pool) + n * sizeof(pooled_block) + 1);
    if (mem == nullptr) return nullptr;
    buffer_pool *pool = new (mem) buffer_pool{};
    pool->refs.store(1, std::memory_order_relaxed);  // the stream's
    pool->open = true;
    pool->n_slots = n;
    pool->slot = reinterpret_cast<pooled_block *>(pool + 1);
    static_assert(sizeof(buffer_pool) % alignof(pooled_block) == 0, "slots follow the pool");
    return pool;
}

void pool_drop(buffer_pool *pool) {
    if (pool == nullptr) return;
    // Release orders this holder's use before the free; acquire on the last
    // drop sees every other holder's.
    if (pool->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    for (size_t i = 0; i < pool->n_slots; ++i) csv_free(pool->slot[i].p);
    pool->~buffer_pool();
    csv_free(pool);
}

// The stream's release: nothing is kept from now on.
void pool_close(buffer_pool *pool) {
    {
        std::lock_guard<std::mutex> lock(pool->m);
        pool->open = false;
        for (size_t i = 0; i < pool->n_slots; ++i) {
            csv_free(pool->slot[i].p);
            pool->slot[i] = pooled_block{};
        }
    }
    pool_drop(pool);
}

// A new block's pages made present in one call rather than one fault
// each as the batch is written (a large block arrives as untouched pages).
void *fresh_block(void *b, size_t n) {
    if (b != nullptr && n >= k_populate_min) csv_platform_populate(b, n);
    return b;
}

// A block of at least `want` bytes: the kept one of `slot` when it is large
// enough, else a new one (the kept one freed). Null when out of memory.
void *pool_take(buffer_pool *pool, size_t slot, size_t want, size_t *cap) {
    pooled_block kept{};
    {
        std::lock_guard<std::mutex> lock(pool->m);
        assert(slot < pool->n_slots);
        kept = pool->slot[slot];
        pool->slot[slot] = pooled_block{};
    }
    if (kept.p != nullptr && kept.cap >= want) {
        *cap = kept.cap;
        return kept.p;
    }
    csv_free(kept.p);
    *cap = want;
    return fresh_block(csv_malloc(want), want);
}

// Keeps `b` in `slot` while the stream lives and the slot is free (or holds
// a smaller block); frees what is not kept.
void pool_give(buffer_pool *pool, size_t slot, void *b, size_t cap) {
    if (b == nullptr) return;
    void *spare = b;
    {
        std::lock_guard<std::mutex> lock(pool->m);
        assert(slot < pool->n_slots);
        pooled_block &s = pool->slot[slot];
        if (pool->open && (s.p == nullptr || s.cap < cap)) {
            spare = s.p;
            s = pooled_block{b, cap};
        }
    }
    csv_free(spare);
}

// ---- arrays ---------------------------------------------------------------

// One column of one batch: the child array's buffers, which it owns, and
// the pool they go back to (with a reference to it) once the whole batch
// was built; a batch that failed frees them.
struct column_parts {
    const void *buffers[3];
    void *owned[3];
    size_t cap[3];
    buffer_pool *pool;
    size_t first_slot;
    uint64_t used;  // utf8: text bytes written so far
    bool keep;
};

void release_column(ArrowArray *a) {
    assert(a->release != nullptr);
    column_parts *p = static_cast<column_parts *>(a->private_data);
    for (int k = 0; k < k_slots_per_column; ++k) {
        if (p->keep) pool_give(p->pool, p->first_slot + static_cast<size_t>(k), p->owned[k], p->cap[k]);
        else csv_free(p->owned[k]);
    }
    pool_drop(p->pool);
    csv_free(p);
    a->release = nullptr;
}

// The struct array of one batch: its child structs and their pointers live
// in one block that the parent owns; each child owns its buffers, so a
// child moved out lives on after the parent is released.
struct batch_parts {
    const void *buffers[1];
    int64_t n;
    ArrowArray *child;
    ArrowArray **children;
};

void release_batch(ArrowArray *a) {
    assert(a->release != nullptr);
    batch_parts *p = static_cast<batch_parts *>(a->private_data);
    for (int64_t i = 0; i < p->n; ++i)
        if (p->child[i].release != nullptr) p->child[i].release(&p->child[i]);
    csv_free(p);
    a->release = nullptr;
}


// True when the `len` bytes at `s` are ASCII without a NUL: a text the
// answers take as it is, so one copy does. Reads only those bytes, whole
// words where it can (overlapping ones at the end).
inline bool plain_ascii(const char *s, uint64_t len) {
    constexpr uint64_t k_ones = 0x0101010101010101ull, k_highs = 0x8080808080808080ull;
    // High bits, and (with false alarms only next to a real one) a zero byte's borrow.
    const auto bad = [](uint64_t w) { return (w | ((w - k_ones) & ~w)) & k_highs; };
    if (len >= 8) {
        uint64_t any = 0;
        for (uint64_t i = 0; i + 8 < len; i += 8) any |= bad(csv_load64(s + i));
        return (any | bad(csv_load64(s + len - 8))) == 0;
    }
    if (len >= 4) return bad(csv_load32(s) | uint64_t{csv_load32(s + len - 4)} << 32) == 0;
    if (len == 0) return true;
    // One to three bytes: the first, middle and last cover them; the rest
    // of the word is a filler that is neither zero nor high.
    const uint64_t w = 0x0101010101000000ull | uint64_t{static_cast<unsigned char>(s[0])} |
                       uint64_t{static_cast<unsigned char>(s[len / 2])} << 8 |
                       uint64_t{static_cast<unsigned char>(s[len - 1])} << 16;
    return bad(w) == 0;
}

// Makes room for `more` bytes after the first `used` of a column's text
// buffer, doubling it as it grows. False when out of memory.
bool text_reserve(column_parts *p, uint64_t used, uint64_t more) {
    const uint64_t need = used + more + 1;  // and the closing NUL
    if (need <= p->cap[2]) return true;
    const uint64_t want = 2 * p->cap[2] > need ? 2 * p->cap[2] : need;
    void *grown = want > SIZE_MAX ? nullptr : csv_realloc(p->owned[2], static_cast<size_t>(want));
    if (grown == nullptr) return false;
    fresh_block(static_cast<char *>(grown) + used, static_cast<size_t>(want - used));
    p->owned[2] = grown;
    p->cap[2] = static_cast<size_t>(want);
    return true;
}

// True when the `len` bytes at `s` are well-formed UTF-8 (as the repair
// leaves them alone); for short texts with a few non-ASCII letters.
inline bool utf8_well_formed(const char *s, uint64_t len) {
    const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
    for (uint64_t i = 0; i < len;) {
        const uint32_t n = csv_utf8_seq_len(u, i, len);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// Texts are copied in whole chunks of this many bytes, so the column's text
// buffer keeps `k_text_slack` bytes of room past its texts.
constexpr uint64_t k_chunk = 16;
constexpr uint64_t k_text_slack = 64;

// Copies a text of `len` (1 or more) bytes that is well-formed UTF-8
// without a NUL to `d` in whole chunks, reading and writing less than a
// chunk past the text: the answers take such a text as it is. False for
// any other text, whose copy the caller then writes over. Only where
// `len + k_chunk` bytes from `s` may be read.
inline bool copy_clean(char *d, const char *s, uint64_t len) {
#if CSV_HAVE_SSE2
    const __m128i zero = _mm_setzero_si128();
    unsigned high = 0, nul = 0;
    for (uint64_t i = 0; i < len; i += k_chunk) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + i), v);
        const unsigned keep = len - i >= k_chunk ? 0xFFFFu : (1u << (len - i)) - 1;
        nul |= static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero))) & keep;
        high |= static_cast<unsigned>(_mm_movemask_epi8(v)) & keep;
    }
    return nul == 0 && (high == 0 || utf8_well_formed(s, len));
#else
    for (uint64_t i = 0; i < len; i += 8) {
        const uint64_t v = csv_load64(s + i);
        memcpy(d + i, &v, 8);
    }
    return plain_ascii(s, len) || (memchr(s, 0, len) == nullptr && utf8_well_formed(s, len));
#endif
}

// A utf8 column's text buffer while a batch fills it, held in locals so
// that the copies (which may alias anything) leave it in registers.
struct text_sink {
    char *buf;
    uint64_t cap;
    uint64_t used;
};

// Makes room for `more` bytes past the sink's text, growing the column's
// buffer. False when out of memory.
bool sink_reserve(column_parts *p, text_sink *k, uint64_t more) {
    if (!text_reserve(p, k->used, more)) return false;
    k->buf = static_cast<char *>(p->owned[2]);
    k->cap = p->cap[2];
    return true;
}

// Appends one cell's text to a utf8 column's sink: a well-formed text
// without a NUL is one copy (in whole chunks where the table's texts go on
// past it, up to `end`); any other is cut at a NUL and repaired as the JSON
// answers repair it. False when out of memory.
inline bool append_text(column_parts *p, text_sink *k, const char *s, uint64_t len, const char *end) {
    if (len == 0) return true;
    assert(end != nullptr && s < end && static_cast<uint64_t>(end - s) >= len);  // a text of the table
    if (k->cap - k->used <= len + k_text_slack && !sink_reserve(p, k, len + k_text_slack)) return false;
    char *d = k->buf + k->used;
    if (static_cast<uint64_t>(end - s) >= len + k_chunk) {
        if (copy_clean(d, s, len)) {
            k->used += len;
            return true;
        }
    } else if (plain_ascii(s, len)) {  // the last texts of the table
        memcpy(d, s, len);
        k->used += len;
        return true;
    }
    const uint64_t cut = cut_at_nul(s, len);
    if (!sink_reserve(p, k, 2 * cut + k_text_slack)) return false;  // repair at most doubles
    k->used += csv_utf8_repair_into(s, cut, k->buf + k->used);
    return true;
}

// Writes row `i` of a numeric column from its cell; false for a null.
inline bool put_number(const number_reader &rd, column_parts *p, int32_t kind, bool markers,
                       int64_t i, const char *s, uint32_t len) {
    if (counts_as_empty(s, len, markers)) {
        if (kind == k_int64) static_cast<int64_t *>(p->owned[1])[i] = 0;
        else static_cast<double *>(p->owned[1])[i] = 0.0;
        return false;
    }
    const bool ok = kind == k_int64 ? rd.int64_of(s, len, &static_cast<int64_t *>(p->owned[1])[i])
                                    : rd.float64_of(s, len, &static_cast<double *>(p->owned[1])[i]);
    assert(ok);  // the kind was read from these cells
    return ok;
}

// A column array of `n` rows with its buffers drawn from `pool` at the
// slots of output column `slot_col`, not yet filled. 0, or -1 with nothing
// left allocated.
int open_column(const column_plan &plan, buffer_pool *pool, int32_t slot_col, int64_t n,
                ArrowArray *out) {
    column_parts *p = static_cast<column_parts *>(csv_calloc(1, sizeof(column_parts)));
    if (p == nullptr) return -1;
    p->pool = pool;
    pool->refs.fetch_add(1, std::memory_order_relaxed);
    p->first_slot = static_cast<size_t>(slot_col) * k_slots_per_column;
    *out = ArrowArray{};
    out->length = n;
    out->private_data = p;
    out->buffers = p->buffers;
    out->release = release_column;
    const size_t count = static_cast<size_t>(n);
    const auto take = [&](int k, size_t want) {
        p->owned[k] = pool_take(pool, p->first_slot + static_cast<size_t>(k), want, &p->cap[k]);
        if (p->owned[k] == nullptr) p->cap[k] = 0;
        return p->owned[k] != nullptr;
    };
    bool ok;
    if (plan.kind == k_utf8 || plan.kind == k_large_utf8) {
        out->n_buffers = 3;
        // A first guess at the text, grown as needed; a kept buffer is
        // usually large enough.
        ok = take(1, (count + 1) * (plan.kind == k_large_utf8 ? 8 : 4)) && take(2, count * 8 + 64);
    } else {
        out->n_buffers = 2;
        const size_t valid_bytes = (count + 63) / 64 * 8;  // whole 64-bit words
        ok = take(0, valid_bytes) && take(1, count * 8 + 8);
        if (ok) memset(p->owned[0], 0, valid_bytes);
    }
    if (!ok) {
        release_column(out);
        return -1;
    }
    return 0;
}

// Fills the columns of rows [r0, r0 + n), a block of rows at a time and
// in it column by column: a block's cells and texts stay in the cache while
// each column takes its part. False when out of memory.
bool fill_columns(const csv_table *t, const column_plan *plan, int32_t n_cols, bool markers,
                  int64_t r0, int64_t n, ArrowArray *child) {
    const csv_body_view body = csv_body_of(t);
    const number_reader rd = reader_of(t);
    for (int32_t j = 0; j < n_cols; ++j) {
        column_parts *p = static_cast<column_parts *>(child[j].private_data);
        if (plan[j].kind == k_large_utf8) static_cast<int64_t *>(p->owned[1])[0] = 0;
        else if (plan[j].kind == k_utf8) static_cast<int32_t *>(p->owned[1])[0] = 0;
        p->used = 0;
    }
    for (int64_t i0 = 0; i0 < n; i0 += k_row_block) {
        const int64_t i1 = n - i0 < k_row_block ? n : i0 + k_row_block;
        for (int32_t j = 0; j < n_cols; ++j) {
            column_parts *p = static_cast<column_parts *>(child[j].private_data);
            const int32_t col = plan[j].col;
            switch (plan[j].kind) {
            case k_utf8:
            case k_large_utf8: {
                const bool large = plan[j].kind == k_large_utf8;
                int32_t *off = static_cast<int32_t *>(p->owned[1]);
                int64_t *off64 = static_cast<int64_t *>(p->owned[1]);
                text_sink k{static_cast<char *>(p->owned[2]), p->cap[2], p->used};
                for (int64_t i = i0; i < i1; ++i) {
                    const csv_cell *c = body.at(r0 + i, col);
                    if (!append_text(p, &k, csv_cell_text(t, c), c->length, rd.end)) return false;
                    if (large) {
                        off64[i + 1] = static_cast<int64_t>(k.used);
                    } else {
                        assert(k.used <= k_text_max);
                        off[i + 1] = static_cast<int32_t>(k.used);
                    }
                }
                p->used = k.used;
                break;
            }
            default: {
                // The validity bits gather in a word, stored whole (blocks
                // start on a word).
                static_assert(k_row_block % 64 == 0, "a block starts a validity word");
                uint64_t *valid = static_cast<uint64_t *>(p->owned[0]);
                uint64_t bits = 0;
                int64_t nulls = 0;
                for (int64_t i = i0; i < i1; ++i) {
                    const csv_cell *c = body.at(r0 + i, col);
                    const bool ok = put_number(rd, p, plan[j].kind, markers, i, csv_cell_text(t, c), c->length);
                    bits |= uint64_t{ok} << (i & 63);
                    nulls += !ok;
                    if ((i & 63) == 63 || i + 1 == i1) {
                        store_le64(&valid[i >> 6], bits);
                        bits = 0;
                    }
                }
                child[j].null_count += nulls;
            }
            }
        }
    }
    for (int32_t j = 0; j < n_cols; ++j) {
        column_parts *p = static_cast<column_parts *>(child[j].private_data);
        if (plan[j].kind == k_utf8 || plan[j].kind == k_large_utf8) {
            static_cast<char *>(p->owned[2])[p->used] = '\0';
            p->buffers[1] = p->owned[1];
            p->buffers[2] = p->owned[2];
        } else {
            p->buffers[0] = child[j].null_count ? p->owned[0] : nullptr;  // no bitmap where nothing is null
            p->buffers[1] = p->owned[1];
        }
    }
    return true;
}

// Fills `out` with the struct array of batch `b`. 0, or -1 with nothing
// left allocated.
int build_batch(const csv_table *t, const column_plan *plan, int32_t n_cols, bool markers,
                buffer_pool *pool, int64_t b, int64_t batch_rows, ArrowArray *out) {
    const size_t cols = static_cast<size_t>(n_cols);
    const size_t size = sizeof(batch_parts) + cols * (sizeof(ArrowArray) + sizeof(ArrowArray *));
    batch_parts *p = static_cast<batch_parts *>(csv_calloc(1, size));
    if (p == nullptr) return -1;
    p->child = reinterpret_cast<ArrowArray *>(p + 1);
    p->children = reinterpret_cast<ArrowArray **>(p->child + cols);
    const int64_t r0 = b * batch_rows;
    const int64_t n = t->n_rows - r0 < batch_rows ? t->n_rows - r0 : batch_rows;
    *out = ArrowArray{};
    out->length = n;
    out->n_buffers = 1;
    out->n_children = n_cols;
    out->buffers = p->buffers;
    out->children = p->children;
    out->private_data = p;
    out->release = release_batch;
    for (int32_t i = 0; i < n_cols; ++i) {
        p->children[i] = &p->child[i];
        if (open_column(plan[i], pool, i, n, &p->child[i]) != 0) {
            release_batch(out);  // the children made so far, their buffers freed
            return -1;
        }
        p->n = i + 1;
    }
    if (!fill_columns(t, plan, n_cols, markers, r0, n, p->child)) {
        release_batch(out);
        return -1;
    }
    // Whole: its buffers go back to the pool when released.
    for (int32_t i = 0; i < n_cols; ++i) static_cast<column_parts *>(p->child[i].private_data)->keep = true;
    return 0;
}

// ---- schema ---------------------------------------------------------------

// A column's schema owns its name; the formats are static text.
void release_field(ArrowSchema *s) {
    assert(s->release != nullptr);
    csv_free(s->private_data);
    s->release = nullptr;
}

struct schema_parts {
    int64_t n;
    ArrowSchema *child;
    ArrowSchema **children;
};

void release_schema(ArrowSchema *s) {
    assert(s->release != nullptr);
    schema_parts *p = static_cast<schema_parts *>(s->private_data);
    for (int64_t i = 0; i < p->n; ++i)
        if (p->child[i].release != nullptr) p->child[i].release(&p->child[i]);
    csv_free(p);
    s->release = nullptr;
}

// ---- stream ---------------------------------------------------------------

// The stream: a plain copy of the table's record, whose arrays the share
// keeps alive, and what each output column is built from.
struct stream_state {
    csv_table table;
    csv_table_share *share;  // one reference, dropped by stream_release
    buffer_pool *pool;       // the buffers of released batches
    int32_t n_cols;
    bool markers;
    column_plan *plan;
    char *names;          // the column names, each followed by a NUL
    uint64_t *name_at;    // where each name starts in `names`
    int64_t batch_rows;
    int64_t n_batches;
    int64_t next;         // the batch get_next builds next
    const char *error;    // of the last failed call, or null
    // Bytes from the start of the blob, the cells and the row starts that
    // the delivered batches no longer need (see give_back_delivered).
    uint64_t blob_done;
    uint64_t cells_done;
    uint64_t starts_done;
    int64_t text_rows_done;  // the rows whose text lies before blob_done
};

void free_state(stream_state *st) {
    if (st == nullptr) return;
    csv_table_share_drop(st->share);
    if (st->pool != nullptr) pool_close(st->pool);
    csv_free(st->name_at);
    csv_free(st->names);
    csv_free(st->plan);
    csv_free(st);
}

// ---- giving back what was delivered ----------------------------------------

// The whole pages of [base + done, base + end) go back to the system;
// `done` moves to `end`. Starting from the page that base + `done` lies in
// gives back the page a previous call left because it was only partly
// delivered (never a page that starts before the block).
void give_back(void *base, uint64_t &done, uint64_t end) {
    constexpr uintptr_t k_page = 4096;
    if (base == nullptr || end <= done) return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(base);
    uintptr_t from = (start + done) & ~(k_page - 1);
    if (from < start) from = start;
    csv_platform_discard(reinterpret_cast<void *>(from), static_cast<size_t>(start + end - from));
    done = end;
}

// Where cell `c` of a row's cells starts in the blob.
uint64_t blob_offset(const csv_table &t, const csv_row_cells &cells, int32_t c) {
    return static_cast<uint64_t>(cells.text + cells.cells[c].offset - t.blob);
}

// Sets *at to where the text still to be read starts: the first text of
// the rows from `row` on (a batch's worth are looked at). False when those
// rows hold none. Records' text lies in the blob in record order, so
// nothing of the rows from `row` on lies before it.
bool text_from(const csv_table &t, const csv_body_view &body, int64_t row, int64_t rows,
               uint64_t *at) {
    const int64_t stop = t.n_rows - row < rows ? t.n_rows : row + rows;
    for (int64_t r = row; r < stop; ++r) {
        const csv_row_cells cells = body.row(r);
        for (int32_t c = 0; c < cells.width; ++c)
            if (cells.cells[c].length != 0) {
                *at = blob_offset(t, cells, c);
                return true;
            }
    }
    return false;
}

// The record-order invariant the text's frontier rests on: no text of the
// rows [from, upto) reaches past `end`, where the later rows' text starts.
void check_text_ends_by(const csv_table &t, const csv_body_view &body, int64_t from, int64_t upto,
                        uint64_t end) {
#if !defined(NDEBUG) || defined(CSV_CHECKED)
    for (int64_t r = from; r < upto; ++r) {
        const csv_row_cells cells = body.row(r);
        for (int32_t c = 0; c < cells.width; ++c)
            if (cells.cells[c].length != 0)
                CSV_ASSERT(blob_offset(t, cells, c) + cells.cells[c].length <= end);
    }
#else
    (void)t, (void)body, (void)from, (void)upto, (void)end;
#endif
}

// Once the stream is the last reader of the table's arrays (its handle was
// closed and no other stream reads them), the text and cells of the rows
// it has delivered are never read again: their pages go back to the system
// as it moves on. A consumer that copies each batch into columns of its own
// (a data frame) then holds about one copy of the data, not two. Invisible
// otherwise: every later batch reads only rows from `upto` on.
void give_back_delivered(stream_state *st, int64_t upto) {
    if (!csv_table_share_sole(st->share)) return;
    const csv_table &t = st->table;
    const csv_body_view body = csv_body_of(&t);
    const int64_t last = upto < t.n_rows ? upto : t.n_rows;
    // The text: all of it after the last batch; else up to the next rows'
    // first text. When they hold none, nothing goes until a later batch
    // finds where the text goes on.
    uint64_t text_end = t.blob_len;
    if (last < t.n_rows && !text_from(t, body, last, st->batch_rows, &text_end)) return;
    check_text_ends_by(t, body, st->text_rows_done, last, text_end);
    st->text_rows_done = last;
    give_back(t.blob, st->blob_done, text_end);
    if (t.row_start == nullptr) {
        give_back(t.cells, st->cells_done,
                  static_cast<uint64_t>(last) * static_cast<uint64_t>(csv_row_stride(&t)) * sizeof(csv_cell));
    } else {
        give_back(t.cells, st->cells_done, static_cast<uint64_t>(t.row_start[last]) * sizeof(csv_cell));
        give_back(t.row_start, st->starts_done, static_cast<uint64_t>(last) * sizeof(int64_t));
    }
}

int stream_get_schema(ArrowArrayStream *s, ArrowSchema *out) {
    stream_state *st = static_cast<stream_state *>(s->private_data);
    st->error = nullptr;
    const size_t cols = static_cast<size_t>(st->n_cols);
    schema_parts *p = static_cast<schema_parts *>(
        csv_calloc(1, sizeof(schema_parts) + cols * (sizeof(ArrowSchema) + sizeof(ArrowSchema *))));
    if (p == nullptr) {
        st->error = k_oom;
        return ENOMEM;
    }
    p->child = reinterpret_cast<ArrowSchema *>(p + 1);
    p->children = reinterpret_cast<ArrowSchema **>(p->child + cols);
    ArrowSchema top{};
    top.format = "+s";
    top.name = "";
    top.n_children = st->n_cols;
    top.children = p->children;
    top.private_data = p;
    top.release = release_schema;
    for (int32_t i = 0; i < st->n_cols; ++i) {
        const char *name = st->names + st->name_at[i];
        const size_t len = strlen(name);
        char *own = static_cast<char *>(csv_malloc(len + 1));
        if (own == nullptr) {
            release_schema(&top);
            st->error = k_oom;
            return ENOMEM;
        }
        memcpy(own, name, len + 1);
        ArrowSchema &f = p->child[i];
        const int32_t kind = st->plan[i].kind;
        f.format = format_of(kind);
        f.name = own;
        f.flags = kind == k_int64 || kind == k_float64 ? ARROW_FLAG_NULLABLE : 0;
        f.private_data = own;
        f.release = release_field;
        p->children[i] = &f;
        p->n = i + 1;
    }
    *out = top;
    return 0;
}

int stream_get_next(ArrowArrayStream *s, ArrowArray *out) {
    stream_state *st = static_cast<stream_state *>(s->private_data);
    st->error = nullptr;
    if (st->next >= st->n_batches) {
        *out = ArrowArray{};  // released: the end
        return 0;
    }
    ArrowArray batch;
    if (build_batch(&st->table, st->plan, st->n_cols, st->markers, st->pool, st->next, st->batch_rows,
                    &batch) != 0) {
        st->error = k_oom;  // the same batch is built again on the next call
        return ENOMEM;
    }
    *out = batch;  // moved to the caller
    ++st->next;
    give_back_delivered(st, st->next * st->batch_rows);
    return 0;
}

const char *stream_last_error(ArrowArrayStream *s) {
    return static_cast<stream_state *>(s->private_data)->error;
}

void stream_release(ArrowArrayStream *s) {
    assert(s->release != nullptr);
    free_state(static_cast<stream_state *>(s->private_data));
    s->private_data = nullptr;
    s->release = nullptr;
}

using state_ptr = std::unique_ptr<stream_state, decltype(&free_state)>;

// The repaired header names of the plan's columns, packed.
int copy_names(const csv_table *t, const column_plan *plan, stream_state *st) {
    const size_t cols = static_cast<size_t>(st->n_cols);
    st->name_at = static_cast<uint64_t *>(csv_malloc(cols * sizeof(uint64_t) + 1));
    if (st->name_at == nullptr) return -1;
    uint64_t total = 0;
    for (size_t i = 0; i < cols; ++i) {
        const char *s = t->headers ? csv_cell_text(t, &t->headers[plan[i].col]) : "";
        const uint64_t len = t->headers ? t->headers[plan[i].col].length : 0;
        st->name_at[i] = total;
        total += csv_utf8_repaired_len(s, cut_at_nul(s, len)) + 1;
    }
    st->names = total + 1 > SIZE_MAX ? nullptr : static_cast<char *>(csv_malloc(static_cast<size_t>(total + 1)));
    if (st->names == nullptr) return -1;
    for (size_t i = 0; i < cols; ++i) {
        const char *s = t->headers ? csv_cell_text(t, &t->headers[plan[i].col]) : "";
        const uint64_t len = t->headers ? t->headers[plan[i].col].length : 0;
        char *dst = st->names + st->name_at[i];
        dst[csv_utf8_repair_into(s, cut_at_nul(s, len), dst)] = '\0';
    }
    return 0;
}

}  // namespace

void csv_arrow_test_limits(int64_t batch_rows, uint64_t text_max) {
    g_batch_rows = batch_rows > 0 ? batch_rows : k_batch_rows;
    g_text_max = text_max > 0 ? text_max : k_text_max;
}

int csv_arrow_build(csv_table *t, const char *cols, int flags, ArrowArrayStream *out) {
    const bool typed = (flags & CSV_ARROW_TYPED) != 0;
    const bool markers = typed && (flags & CSV_ARROW_NULL_MARKERS) != 0;
    const bool small = (flags & CSV_ARROW_SMALL_BATCHES) != 0;
    const int64_t batch_rows =
        small && g_batch_rows > k_small_batch_rows ? k_small_batch_rows : g_batch_rows;

    // The columns, in output order.
    int32_t *list = nullptr;
    int32_t n_cols = t->n_cols;
    if (cols != nullptr && csv_parse_col_list(t, cols, &list, &n_cols) != 0) return -1;
    std::unique_ptr<int32_t, csv_free_deleter> owned_list(list);

    state_ptr st(static_cast<stream_state *>(csv_calloc(1, sizeof(stream_state))), free_state);
    if (st == nullptr) {
        csv_set_error(k_oom);
        return -1;
    }
    st->n_cols = n_cols;
    st->markers = markers;
    st->batch_rows = batch_rows;
    st->n_batches = (t->n_rows + batch_rows - 1) / batch_rows;
    const size_t ncols = static_cast<size_t>(n_cols);
    st->plan = static_cast<column_plan *>(csv_malloc(ncols * sizeof(column_plan) + 1));
    st->pool = pool_new(n_cols);
    if (st->plan == nullptr || st->pool == nullptr) {
        csv_set_error(k_oom);
        return -1;
    }

    // Each column's kind, which the schema needs before any batch: nothing
    // else is kept of the cells.
    for (size_t i = 0; i < ncols; ++i) {
        st->plan[i].col = list ? list[i] : static_cast<int32_t>(i);
        st->plan[i].kind = k_utf8;
        assert(st->plan[i].col >= 0 && st->plan[i].col < t->n_cols);
    }
    if (typed) {
        std::unique_ptr<typing, csv_free_deleter> open(
            static_cast<typing *>(csv_malloc(ncols * sizeof(typing) + 1)));
        if (open == nullptr) {
            csv_set_error(k_oom);
            return -1;
        }
        typed_kinds(t, st->plan, n_cols, markers, open.get());
    }
    // Large utf8 where a batch's text passes the 32-bit offsets; repair at
    // most doubles a text, so only then is a batch measured.
    const bool may_be_large = 2 * t->blob_len > g_text_max;
    for (size_t i = 0; i < ncols && may_be_large; ++i) {
        column_plan &c = st->plan[i];
        for (int64_t b = 0; c.kind == k_utf8 && b < st->n_batches; ++b) {
            const int64_t r0 = b * batch_rows;
            const int64_t n = t->n_rows - r0 < batch_rows ? t->n_rows - r0 : batch_rows;
            if (2 * text_raw(t, c.col, r0, n) > g_text_max && text_bytes(t, c.col, r0, n) > g_text_max)
                c.kind = k_large_utf8;
        }
    }
    if (copy_names(t, st->plan, st.get()) != 0) {
        csv_set_error(k_oom);
        return -1;
    }

    // Last, as nothing after it fails: the arrays outlive the handle.
    st->share = csv_table_share_take(t);
    if (st->share == nullptr) {
        csv_set_error(k_oom);
        return -1;
    }
    st->table = *t;

    *out = ArrowArrayStream{};
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_last_error;
    out->release = stream_release;
    out->private_data = st.release();
    return 0;
}
