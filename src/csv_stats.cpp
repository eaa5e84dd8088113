// Column statistics: filled and empty cells, distinct texts, and for a
// numeric column its minimum, maximum and mean.
//
// Distinct texts are counted as NUL-terminated strings (a cell is read up
// to its first NUL byte), case-sensitive and untrimmed; every empty cell is
// the one empty text. A hash set over the blob does the counting; when it
// cannot get memory, or probing grows suspiciously long, the column's text
// pointers are sorted by strcmp instead, which counts the same texts.
#include <math.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "csv_internal.h"

namespace {

inline int32_t clamp_count(uint64_t n) {
    return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
}

inline uint64_t mix(uint64_t h) {
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return h;
}


// Hash of `len` bytes (equal bytes, equal hash; nothing more is relied on).
uint64_t hash_bytes(const char *p, size_t len) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ (len * 0xFF51AFD7ED558CCDull);
    if (len >= 8) {
        const char *end = p + len - 8;  // the last 8 bytes, perhaps overlapping
        for (; p < end; p += 8) h = mix(h ^ csv_load64(p));
        return mix(h ^ csv_load64(end) ^ 0x5851F42D4C957F2Dull);
    }
    uint64_t w = 0;
    if (len >= 4) {
        w = (static_cast<uint64_t>(csv_load32(p)) << 32) | csv_load32(p + len - 4);
    } else if (len > 0) {
        const unsigned char *u = reinterpret_cast<const unsigned char *>(p);
        w = (static_cast<uint64_t>(u[0]) << 16) | (static_cast<uint64_t>(u[len >> 1]) << 8) |
            u[len - 1];
    }
    return mix(h ^ w);
}

// A slot of the distinct set: the blob offset of a text plus 1 (0 marks a
// free slot; the set serves tables of one segment, whose offsets stay
// below 4 GiB - 1) and the high half of its hash
// (the low half chose the slot).
struct text_slot {
    uint32_t offset1;
    uint32_t tag;
};

// A text waiting to enter the set.
struct pending_text {
    const char *text;
    uint64_t hash;
    uint32_t offset;
};

// Open-addressing set of the non-empty texts of one column, sized for at
// most half full. `failed` is set when it cannot help; the caller then
// counts by sorting.
//
// Both the slot and the text a slot points to are usually cache misses, so
// texts enter in blocks and in three stages: hash the text and prefetch
// its slot; a block later, peek at the slot and prefetch the text it holds
// when the tags agree; another block later, insert for real. Each insert
// is still made in row order and probes in full: the peeks are only hints.
class distinct_set {
public:
    distinct_set(const csv_table *t, int64_t rows) : blob_(t->blob) {
        // A slot names its text by a 32-bit offset from the blob's start:
        // a table past one segment is counted by sorting.
        if (t->segments != nullptr) return;  // failed_ stays set
        uint64_t cap = 16;
        while (cap / 2 < static_cast<uint64_t>(rows)) {
            if (cap > SIZE_MAX / (2 * sizeof(text_slot))) return;  // failed_ stays set
            cap *= 2;
        }
        slots_ = static_cast<text_slot *>(csv_calloc(static_cast<size_t>(cap), sizeof(text_slot)));
        if (slots_ == nullptr) return;
        mask_ = cap - 1;
        budget_ = 16 * static_cast<uint64_t>(rows) + 1024;
        failed_ = false;
    }
    ~distinct_set() { csv_free(slots_); }
    distinct_set(const distinct_set &) = delete;
    distinct_set &operator=(const distinct_set &) = delete;

    // Takes every text still waiting; the count is complete afterwards.
    bool finish() {
        if (!failed_) {
            peek(fresh_, n_fresh_);
            insert(peeked_, n_peeked_);
            insert(fresh_, n_fresh_);
            n_fresh_ = n_peeked_ = 0;
        }
        return !failed_;
    }
    uint64_t count() const { return used_ + (seen_empty_ ? 1 : 0); }

    void add(const csv_cell *c) {
        if (failed_) return;
        if (c->length == 0 || blob_[c->offset] == '\0') {
            seen_empty_ = true;
            return;
        }
        const char *text = blob_ + c->offset;
        const uint64_t h = hash_bytes(text, strlen(text));
        __builtin_prefetch(&slots_[h & mask_]);
        fresh_[n_fresh_++] = pending_text{text, h, c->offset};
        if (n_fresh_ == kBlock) next_block();
    }

private:
    static constexpr int kBlock = 16;

    [[gnu::noinline]] void next_block() {
        insert(peeked_, n_peeked_);
        peek(fresh_, kBlock);
        std::swap(fresh_, peeked_);
        n_peeked_ = kBlock;
        n_fresh_ = 0;
    }

    void peek(const pending_text *p, int n) const {
        for (int k = 0; k < n; ++k) {
            const text_slot &s = slots_[p[k].hash & mask_];
            if (s.offset1 != 0 && s.tag == static_cast<uint32_t>(p[k].hash >> 32))
                __builtin_prefetch(blob_ + s.offset1 - 1);
        }
    }

    void insert(const pending_text *p, int n) {
        for (int k = 0; k < n && !failed_; ++k) insert_one(p[k]);
    }

    void insert_one(const pending_text &p) {
        const uint32_t tag = static_cast<uint32_t>(p.hash >> 32);
        for (uint64_t i = p.hash & mask_;; i = (i + 1) & mask_) {
            text_slot &s = slots_[i];
            if (s.offset1 == 0) {
                s.offset1 = p.offset + 1;
                s.tag = tag;
                ++used_;
                return;
            }
            if (s.tag == tag && strcmp(blob_ + s.offset1 - 1, p.text) == 0) return;
            if (++probes_ > budget_) {
                failed_ = true;
                return;
            }
        }
    }

    const char *blob_;
    text_slot *slots_ = nullptr;
    uint64_t mask_ = 0;
    uint64_t used_ = 0;
    uint64_t probes_ = 0;
    uint64_t budget_ = 0;
    pending_text block_a_[kBlock];
    pending_text block_b_[kBlock];
    pending_text *fresh_ = block_a_;
    pending_text *peeked_ = block_b_;
    int n_fresh_ = 0;
    int n_peeked_ = 0;
    bool seen_empty_ = false;
    bool failed_ = true;
};

// Distinct texts by sorting one text pointer per row with strcmp and
// counting the runs of equal texts. 0 when the pointers cannot be had.
[[gnu::noinline]] int32_t unique_by_sort(const csv_table *t, int32_t col) {
    const uint64_t n = static_cast<uint64_t>(t->n_rows);
    if (n == 0 || n > SIZE_MAX / sizeof(const char *)) return 0;
    std::unique_ptr<const char *, csv_free_deleter> texts(
        static_cast<const char **>(csv_malloc(static_cast<size_t>(n) * sizeof(const char *))));
    if (!texts) return 0;
    const char **p = texts.get();
    const csv_body_view body = csv_body_of(t);
    for (uint64_t r = 0; r < n; ++r) p[r] = csv_cell_text(t, body.at(static_cast<int64_t>(r), col));
    std::sort(p, p + n, [](const char *const &a, const char *const &b) {
        return csv_cmp_cstr(&a, &b) < 0;
    });
    uint64_t runs = 1;
    for (uint64_t r = 1; r < n; ++r) runs += strcmp(p[r - 1], p[r]) != 0;
    return clamp_count(runs);
}

inline bool valid_column(const csv_table *t, int32_t col) {
    return t != nullptr && col >= 0 && col < t->n_cols;
}

// Mean of a numeric column of finite values whose running sum overflowed.
// Each value is scaled by 2^-64 (exact for all but the tiniest values,
// which cannot matter next to a sum beyond the double range), summed in
// row order, divided, and scaled back; the mean of finite values lies
// between their minimum and maximum, which bounds any last rounding.
[[gnu::noinline]] double mean_without_overflow(const csv_table *t, int32_t col,
                                               int64_t n_values, double lo, double hi) {
    const double down = 0x1p-64, up = 0x1p64;
    double scaled = 0;
    const csv_body_view body = csv_body_of(t);
    for (int64_t r = 0; r < t->n_rows; ++r) {
        const csv_cell *c = body.at(r, col);
        double v;
        if (c->length != 0 && csv_is_numeric_field(csv_cell_text(t, c), c->length, &v))
            scaled += v * down;
    }
    double mean = scaled / static_cast<double>(n_values) * up;
    return mean < lo ? lo : (mean > hi ? hi : mean);
}

}  // namespace

int csv_cmp_cstr(const void *a, const void *b) {
    const char *x = *static_cast<const char *const *>(a);
    const char *y = *static_cast<const char *const *>(b);
    return strcmp(x != nullptr ? x : "", y != nullptr ? y : "");
}

int32_t csv_col_unique(const csv_table *t, int32_t col) {
    if (!valid_column(t, col) || t->n_rows <= 0) return 0;
    distinct_set set(t, t->n_rows);
    const csv_body_view body = csv_body_of(t);
    for (int64_t r = 0; r < t->n_rows; ++r) set.add(body.at(r, col));
    return set.finish() ? clamp_count(set.count()) : unique_by_sort(t, col);
}

void csv_col_stats(const csv_table *t, int32_t col, int64_t *count,
                   int64_t *nulls, int32_t *unique, int32_t *numeric,
                   double *min, double *max, double *mean) {
    *count = 0;
    *nulls = 0;
    *unique = 0;
    *numeric = 0;
    *min = 0;
    *max = 0;
    *mean = 0;
    if (!valid_column(t, col) || t->n_rows <= 0) return;

    // One walk: counts, the distinct set, and the values while every
    // non-empty cell so far is a number (after that they cannot matter).
    distinct_set set(t, t->n_rows);
    const csv_body_view body = csv_body_of(t);
    int64_t filled = 0, empty = 0, n_values = 0;
    bool all_numeric = true, all_finite = true;
    double lo = 0, hi = 0, sum = 0;
    for (int64_t r = 0; r < t->n_rows; ++r) {
        const csv_cell *c = body.at(r, col);
        set.add(c);
        if (c->length == 0) {
            ++empty;
            continue;
        }
        ++filled;
        if (!all_numeric) continue;
        double v;
        if (!csv_is_numeric_field(csv_cell_text(t, c), c->length, &v)) {
            all_numeric = false;
            continue;
        }
        if (n_values == 0) {
            lo = hi = v;
        } else {
            if (v < lo) lo = v;
            if (v > hi) hi = v;
        }
        sum += v;
        all_finite = all_finite && isfinite(v);
        ++n_values;
    }
    *count = filled;
    *nulls = empty;
    *unique = set.finish() ? clamp_count(set.count()) : unique_by_sort(t, col);
    if (n_values == 0 || !all_numeric) return;
    *numeric = 1;
    *min = lo;
    *max = hi;
    double m = sum / static_cast<double>(n_values);
    if (!isfinite(sum) && all_finite) m = mean_without_overflow(t, col, n_values, lo, hi);
    *mean = m;
}
