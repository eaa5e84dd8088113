// Row search: collects, in ascending order, the rows whose cell in one
// column contains a query text, byte for byte or with ASCII letters folded.
#include <string.h>

#include "csv_internal.h"

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
    const int64_t stride = csv_row_stride(t);
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
