// Row search: the substring test of one cell, and the scan that collects,
// in ascending order, the rows whose cell in one column contains a query
// text, byte for byte or with ASCII letters folded.
#include <string.h>

#include "csv_internal.h"

/* ---- substring test ----------------------------------------------------- */

namespace {

// ASCII letters A-Z folded to a-z; every other byte stands for itself.
struct fold_table {
    unsigned char map[256];
    constexpr fold_table() : map() {
        for (int i = 0; i < 256; ++i)
            map[i] = static_cast<unsigned char>(i >= 'A' && i <= 'Z' ? i + 0x20 : i);
    }
};
constexpr fold_table k_fold;

inline bool folded_equal(const unsigned char *a, const unsigned char *b, size_t n) {
    for (size_t k = 0; k < n; ++k)
        if (k_fold.map[a[k]] != k_fold.map[b[k]]) return false;
    return true;
}

// Next position in [from, to) whose byte is c, or `to`.
inline uint64_t find_byte(const unsigned char *s, uint64_t from, uint64_t to,
                          unsigned char c) {
    if (from >= to) return to;
    const void *hit = memchr(s + from, c, static_cast<size_t>(to - from));
    return hit ? static_cast<uint64_t>(static_cast<const unsigned char *>(hit) - s) : to;
}

// Window scan over all `len` bytes, ASCII letters compared without case.
// Candidate starts are found with memchr on both cases of the first byte.
int substr_nocase(const unsigned char *s, uint64_t len, const unsigned char *q,
                  size_t qlen) {
    const uint64_t last = len - qlen + 1;  // one past the last start
    const unsigned char lower = k_fold.map[q[0]];
    const bool letter = lower >= 'a' && lower <= 'z';
    const unsigned char upper = letter ? static_cast<unsigned char>(lower - 0x20) : lower;
    uint64_t next_lo = find_byte(s, 0, last, lower);
    uint64_t next_up = letter ? find_byte(s, 0, last, upper) : last;
    for (;;) {
        uint64_t at = next_lo < next_up ? next_lo : next_up;
        if (at >= last) return 0;
        if (folded_equal(s + at + 1, q + 1, qlen - 1)) return 1;
        if (at == next_lo) next_lo = find_byte(s, at + 1, last, lower);
        else next_up = find_byte(s, at + 1, last, upper);
    }
}

}  // namespace

int csv_substr(const char *text, uint64_t len, const char *query,
               int32_t case_insensitive) {
    if (text == nullptr || query == nullptr) return 0;
    const size_t qlen = strlen(query);
    if (qlen == 0) return 1;
    if (len < qlen) return 0;
    if (case_insensitive == 0) return strstr(text, query) != nullptr ? 1 : 0;
    return substr_nocase(reinterpret_cast<const unsigned char *>(text), len,
                         reinterpret_cast<const unsigned char *>(query), qlen);
}

namespace {

// A growing list of row indices: no array until the first match, then 16
// entries, doubling whenever full. Frees what it still owns.
struct match_list {
    int64_t *rows = nullptr;
    int64_t n = 0;
    int64_t cap = 0;
    match_list() = default;
    match_list(const match_list &) = delete;
    match_list &operator=(const match_list &) = delete;
    ~match_list() { csv_free(rows); }
};

[[gnu::noinline]] int grow(match_list *m) {
    int64_t cap = m->cap == 0 ? 16 : m->cap * 2;
    if (static_cast<uint64_t>(cap) > SIZE_MAX / sizeof(int64_t)) return -1;
    void *p = csv_realloc(m->rows, static_cast<size_t>(cap) * sizeof(int64_t));
    if (p == nullptr) return -1;
    m->rows = static_cast<int64_t *>(p);
    m->cap = cap;
    return 0;
}

inline int push_row(match_list *m, int64_t row) {
    if (m->n == m->cap && grow(m) != 0) return -1;
    m->rows[m->n++] = row;
    return 0;
}

// The byte-exact test with the query's length taken once. The result is
// that of strstr over the cell read as a NUL-terminated string: the first
// occurrence counts only when no NUL byte comes before it (the query holds
// no NUL, so an occurrence itself never spans one).
inline bool contains_exact(const char *text, uint64_t len, const char *q,
                           size_t q_len) {
    if (q_len == 0) return true;
    if (len < q_len) return false;
    const char *p = text;
    const char *last = text + (len - q_len);  // last possible start
    const unsigned char first = static_cast<unsigned char>(q[0]);
    while (p <= last) {
        p = static_cast<const char *>(memchr(p, first, static_cast<size_t>(last - p) + 1));
        if (p == nullptr) return false;
        if (memcmp(p + 1, q + 1, q_len - 1) == 0)
            return memchr(text, '\0', static_cast<size_t>(p - text)) == nullptr;
        ++p;
    }
    return false;
}

}  // namespace

int csv_search_rows(const csv_table *t, int32_t col, const char *query,
                    int32_t case_insensitive, int64_t **out_rows,
                    int64_t *out_n) {
    if (out_rows == nullptr || out_n == nullptr || t == nullptr) return -1;
    *out_rows = nullptr;
    *out_n = 0;
    if (col < 0 || col >= t->n_cols) {
        csv_set_error("column index out of range");
        return -1;
    }
    if (query == nullptr) {
        csv_set_error("query is NULL");
        return -1;
    }
    const size_t q_len = strlen(query);
    const int64_t stride = t->n_cols;
    match_list m;
    for (int64_t r = 0; r < t->n_rows; ++r) {
        const csv_cell *c = &t->cells[r * stride + col];
        const char *text = csv_cell_text(t, c);
        bool hit = case_insensitive ? csv_substr(text, c->length, query, case_insensitive) != 0
                                    : contains_exact(text, c->length, query, q_len);
        if (hit && push_row(&m, r) != 0) {
            csv_set_error("out of memory");
            return -1;
        }
    }
    *out_rows = m.rows;
    *out_n = m.n;
    m.rows = nullptr;
    return 0;
}
