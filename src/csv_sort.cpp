// Row sort: a new order of a table's rows by the cells of one column.
//
// The order, ascending (descending swaps every step but the last):
//   1. empty cells before all others;
//   2. in a numeric column (every non-empty cell is a number) by value,
//      0 and -0 equal, NaN equal to NaN and above every number;
//   3. otherwise by the cell bytes (memcmp of the common length, NUL bytes
//      included), a text before every longer text that starts with it;
//   4. equal keys by row index, ascending in both directions.
// Two different rows never compare equal, so every correct sort routine
// gives the same answer and NaN cannot break its invariants.
#include <string.h>

#include <algorithm>
#include <bit>
#include <memory>

#include "csv_internal.h"
#include "csv_platform.h"

namespace {

// One row of a text sort. The cell text stays in the blob ("" for an empty
// cell, which as the shortest text needs no rule of its own). The sort
// goes 8 bytes at a time: `key` caches the text's bytes from the current
// depth on, big-endian and zero-padded, and `tail` how many bytes are left
// from that depth (9: more than the key holds).
struct csv_sort_item {
    uint64_t key;
    const char *text;
    int64_t row;
    uint32_t length;
    uint32_t tail;
};

// Sort direction of the calling thread: 1 descending, 0 ascending. Set
// before each sort; the comparisons take it as an argument, read once, so
// that no comparison reaches for thread-local storage.
CSV_THREAD_LOCAL int32_t g_desc;

// One row of a numeric sort: an unsigned key whose order is the row's
// place (direction included) and the row itself.
struct num_key {
    uint64_t key;
    int64_t row;
};

using heap_rows = std::unique_ptr<int64_t, csv_free_deleter>;
using heap_items = std::unique_ptr<csv_sort_item, csv_free_deleter>;
using heap_keys = std::unique_ptr<num_key, csv_free_deleter>;

inline int sign_of(int v) { return (v > 0) - (v < 0); }

// The full order of two items: bytes of the common length, then length,
// then row. Negative when a goes first, positive when b does, 0 only for
// one row. The sort settles most pairs with the cached keys instead.
inline int cmp_items(const csv_sort_item *a, const csv_sort_item *b, int32_t desc) {
    uint32_t common = a->length < b->length ? a->length : b->length;
    int r = sign_of(memcmp(a->text, b->text, common));
    if (r == 0) r = (a->length > b->length) - (a->length < b->length);
    if (r != 0) return desc ? -r : r;
    return (a->row > b->row) - (a->row < b->row);
}

// `len` bytes of a text (at most 8 used) as a big-endian number,
// zero-padded.
inline uint64_t text_prefix(const char *text, uint64_t len) {
    unsigned char b[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    memcpy(b, text, len < 8 ? static_cast<size_t>(len) : 8);
    uint64_t w;
    memcpy(&w, b, 8);
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
    return w;
}

// Caches the item's bytes from `depth` on; its text is longer than depth
// or depth is 0.
inline void load_key(csv_sort_item *it, uint32_t depth) {
    uint32_t left = it->length - depth;
    it->key = text_prefix(it->text + depth, left);
    it->tail = left > 8 ? 9 : left;
}

// Order of two items whose texts agree before the cached depth. Different
// keys differ at a byte both texts hold, or where the shorter one ended
// (its padding 0 below the other's byte); equal keys leave the shorter
// text first, and two texts with more to come to the next depth.
inline bool level_less(const csv_sort_item &a, const csv_sort_item &b, int32_t desc) {
    if (a.key != b.key) return (a.key < b.key) != (desc != 0);
    if (a.tail != b.tail) return (a.tail < b.tail) != (desc != 0);
    return a.row < b.row;
}

// Beyond this depth a group of texts sharing their first bytes is sorted
// with the full comparison, which keeps the recursion shallow.
constexpr uint32_t kMaxDepth = 64;

// Sorts items whose texts agree in their first `depth` bytes.
void sort_level(csv_sort_item *it, size_t n, uint32_t depth, int32_t desc) {
    if (n < 2) return;
    if (depth >= kMaxDepth) {
        std::sort(it, it + n, [desc](const csv_sort_item &a, const csv_sort_item &b) {
            return cmp_items(&a, &b, desc) < 0;
        });
        return;
    }
    if (depth > 0)
        for (size_t i = 0; i < n; ++i) load_key(&it[i], depth);
    std::sort(it, it + n, [desc](const csv_sort_item &a, const csv_sort_item &b) {
        return level_less(a, b, desc);
    });
    // Runs of equal keys with more bytes to come go one level deeper.
    for (size_t i = 0; i < n;) {
        size_t j = i + 1;
        while (j < n && it[j].key == it[i].key && it[j].tail == it[i].tail) ++j;
        if (it[i].tail == 9 && j - i > 1) sort_level(it + i, j - i, depth + 8, desc);
        i = j;
    }
}

// Unsigned key in ascending order of the value: -0 folded into 0, every
// NaN the largest key. An empty cell takes key 0, below -inf's key.
inline uint64_t value_key(double v) {
    if (v != v) return UINT64_MAX;
    if (v == 0) v = 0.0;
    uint64_t b = std::bit_cast<uint64_t>(v);
    return (b >> 63) ? ~b : b | (1ull << 63);
}

// Fills one key per row while every non-empty cell is a number. Returns
// false at the first cell that is not (the column is then sorted as text).
// A column of only empty cells passes: its keys are all equal, so it keeps
// the row order, as it would sorted as text.
bool fill_num_keys(const csv_table *t, int32_t col, int32_t desc, num_key *keys) {
    const int64_t stride = csv_row_stride(t);
    const uint64_t flip = desc ? UINT64_MAX : 0;
    for (int64_t r = 0; r < t->n_rows; ++r) {
        const csv_cell *c = &t->cells[r * stride + col];
        uint64_t k = 0;
        if (c->length != 0) {
            double v;
            if (!csv_is_numeric_field(csv_cell_text(t, c), c->length, &v)) return false;
            k = value_key(v);
        }
        keys[r].key = k ^ flip;
        keys[r].row = r;
    }
    return true;
}

// Stable LSD radix sort by key, 8 bits a pass; passes in which every key
// has the same digit are skipped. Returns the buffer holding the result.
num_key *radix_sort(num_key *a, num_key *tmp, size_t n) {
    size_t cnt[8][256] = {};
    for (size_t i = 0; i < n; ++i) {
        uint64_t k = a[i].key;
        for (int d = 0; d < 8; ++d) ++cnt[d][(k >> (8 * d)) & 0xFF];
    }
    num_key *src = a, *dst = tmp;
    for (int d = 0; d < 8; ++d) {
        const int shift = 8 * d;
        if (cnt[d][(src[0].key >> shift) & 0xFF] == n) continue;
        size_t pos = 0;
        for (size_t &c : cnt[d]) {
            size_t here = c;
            c = pos;
            pos += here;
        }
        for (size_t i = 0; i < n; ++i) dst[cnt[d][(src[i].key >> shift) & 0xFF]++] = src[i];
        std::swap(src, dst);
    }
    return src;
}

// Sorts a numeric column's keys into `out`. 1 done, 0 when the column is
// not numeric, -1 when out of memory.
int sort_numeric(const csv_table *t, int32_t col, int32_t desc, int64_t *out) {
    const size_t n = static_cast<size_t>(t->n_rows);
    if (n > SIZE_MAX / sizeof(num_key) - 1) return -1;
    heap_keys keys(static_cast<num_key *>(csv_malloc((n + 1) * sizeof(num_key))));
    if (!keys) return -1;
    if (!fill_num_keys(t, col, desc, keys.get())) return 0;
    const num_key *sorted = keys.get();
    // The radix sort wants a second array; without one, sort in place.
    heap_keys tmp(n >= 2 ? static_cast<num_key *>(csv_malloc(n * sizeof(num_key))) : nullptr);
    if (tmp) {
        sorted = radix_sort(keys.get(), tmp.get(), n);
    } else {
        std::sort(keys.get(), keys.get() + n, [](const num_key &a, const num_key &b) {
            return a.key != b.key ? a.key < b.key : a.row < b.row;
        });
    }
    for (size_t i = 0; i < n; ++i) out[i] = sorted[i].row;
    return 1;
}

// Sorts a column by the bytes of its cells into `out`.
int sort_items(const csv_table *t, int32_t col, int32_t desc, int64_t *out) {
    const size_t n = static_cast<size_t>(t->n_rows);
    if (n > SIZE_MAX / sizeof(csv_sort_item) - 1) return -1;
    heap_items items(static_cast<csv_sort_item *>(csv_malloc((n + 1) * sizeof(csv_sort_item))));
    if (!items) return -1;
    csv_sort_item *it = items.get();
    const int64_t stride = csv_row_stride(t);
    for (size_t r = 0; r < n; ++r) {
        const csv_cell *c = &t->cells[static_cast<int64_t>(r) * stride + col];
        it[r].text = csv_cell_text(t, c);
        it[r].row = static_cast<int64_t>(r);
        it[r].length = c->length;
        load_key(&it[r], 0);
    }
    sort_level(it, n, 0, desc);
    for (size_t r = 0; r < n; ++r) out[r] = it[r].row;
    return 0;
}

}  // namespace

int csv_sort_rows(const csv_table *t, int32_t col, int32_t descending,
                  int64_t **out_rows, int64_t *out_n) {
    if (out_rows == nullptr || out_n == nullptr || t == nullptr) return -1;
    *out_rows = nullptr;
    *out_n = 0;
    if (col < 0 || col >= t->n_cols) {
        csv_set_error("column index out of range");
        return -1;
    }
    const int64_t n = t->n_rows;
    if (static_cast<uint64_t>(n) >= SIZE_MAX / sizeof(int64_t)) {
        csv_set_error("out of memory");
        return -1;
    }
    // One spare byte: a table without rows never asks for zero bytes.
    heap_rows order(static_cast<int64_t *>(csv_malloc(static_cast<size_t>(n) * sizeof(int64_t) + 1)));
    if (n == 0) {
        *out_rows = order.release();  // may be null: there is nothing to hold
        return 0;
    }
    if (!order) {
        csv_set_error("out of memory");
        return -1;
    }
    g_desc = descending != 0;
    const int32_t desc = g_desc;
    int rc = sort_numeric(t, col, desc, order.get());
    if (rc == 0) rc = sort_items(t, col, desc, order.get());
    if (rc < 0) {
        csv_set_error("out of memory");
        return -1;
    }
    *out_rows = order.release();
    *out_n = n;
    return 0;
}
