// Row search: the substring test of one cell, and the scan that collects,
// in ascending order, the rows whose cell in one column contains a query
// text, byte for byte or with ASCII letters folded.
//
// Both tests take time linear in the cell and the query whatever the bytes:
// a cell of 8 MiB of `a` searched for a run of `a` ended by `b` must not cost
// a comparison of the whole query at every start. Candidates are first
// found with memchr and checked with a plain compare, the fast way for
// ordinary text; once the checks have cost as much as the cell's length, the
// rest of the cell is searched with the two-way algorithm (Crochemore and
// Perrin), which makes at most two comparisons per byte of the cell and
// needs no memory beyond a few counters.
#include <string.h>

#include "csv_internal.h"

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

template <bool Fold>
inline unsigned char canon(unsigned char b) {
    return Fold ? k_fold.map[b] : b;
}

constexpr uint64_t k_none = UINT64_MAX;

// Bytes of candidate checks a search may spend before the two-way scan
// takes over, beyond one per byte of the cell.
constexpr uint64_t k_check_slack = 256;

// Counts the byte steps of a search for the tests' work bound
// (csv_substr_steps); the library's own searches count nothing.
struct no_count {
    void add(uint64_t) {}
};
struct step_count {
    uint64_t n = 0;
    void add(uint64_t k) { n += k; }
};

// The query, read once per search. Its critical factorisation, which the
// two-way scan needs, is worked out when a search first falls back to it.
struct needle {
    const unsigned char *q;
    size_t len;  // at least 1
    bool factored = false;
    size_t suffix = 0;  // start of the right half
    size_t period = 0;
    bool periodic = false;  // the left half repeats with the right half's period

    needle(const char *query, size_t n)
        : q(reinterpret_cast<const unsigned char *>(query)), len(n) {}
};

// Start of the maximal suffix of q under the byte order (reversed when
// Rev), with the period of that suffix.
template <bool Fold, bool Rev, class C>
size_t max_suffix(const unsigned char *q, size_t n, size_t *period, C &count) {
    size_t ms = SIZE_MAX;  // one before the suffix: ms + k wraps to k - 1
    size_t j = 0, k = 1, p = 1;
    while (j + k < n) {
        count.add(1);
        const unsigned char a = canon<Fold>(q[j + k]);
        const unsigned char b = canon<Fold>(q[ms + k]);
        if (Rev ? b < a : a < b) {
            j += k;
            k = 1;
            p = j - ms;
        } else if (a == b) {
            if (k != p) {
                ++k;
            } else {
                j += p;
                k = 1;
            }
        } else {
            ms = j++;
            k = p = 1;
        }
    }
    *period = p;
    return ms + 1;
}

template <bool Fold>
bool equal_n(const unsigned char *a, const unsigned char *b, size_t n) {
    if (!Fold) return memcmp(a, b, n) == 0;
    for (size_t k = 0; k < n; ++k)
        if (k_fold.map[a[k]] != k_fold.map[b[k]]) return false;
    return true;
}

// Splits the query at a critical position: the later of the two maximal
// suffixes, with its period.
template <bool Fold, class C>
void factor(needle &nd, C &count) {
    size_t p1 = 1, p2 = 1;
    size_t s1 = 0, s2 = 0;
    if (nd.len >= 3) {
        s1 = max_suffix<Fold, false>(nd.q, nd.len, &p1, count);
        s2 = max_suffix<Fold, true>(nd.q, nd.len, &p2, count);
    } else {
        s1 = nd.len - 1;
    }
    nd.suffix = s1 > s2 ? s1 : s2;
    nd.period = s1 > s2 ? p1 : p2;
    count.add(nd.suffix);
    nd.periodic = nd.suffix + nd.period <= nd.len &&
                  equal_n<Fold>(nd.q, nd.q + nd.period, nd.suffix);
    nd.factored = true;
}

// First start at or after `from` where the query occurs in s[0..n), or
// k_none. Two-way scan: at most about 2n byte comparisons.
template <bool Fold, class C>
uint64_t two_way(needle &nd, const unsigned char *s, uint64_t n, uint64_t from, C &count) {
    if (!nd.factored) factor<Fold>(nd, count);
    const unsigned char *q = nd.q;
    const size_t m = nd.len, suffix = nd.suffix;
    uint64_t j = from;
    if (nd.periodic) {
        // A mismatch in the left half moves on by one period, and the part
        // of the right half already seen to match is not compared again.
        const size_t period = nd.period;
        size_t memory = 0;
        while (j <= n && n - j >= m) {
            size_t i = suffix > memory ? suffix : memory;
            while (i < m && canon<Fold>(q[i]) == canon<Fold>(s[i + j])) ++i;
            count.add(i - (suffix > memory ? suffix : memory) + 1);
            if (i < m) {
                j += i - suffix + 1;
                memory = 0;
                continue;
            }
            size_t k = suffix;  // one past the next left-half byte to compare
            while (k > memory && canon<Fold>(q[k - 1]) == canon<Fold>(s[k - 1 + j])) --k;
            count.add(suffix - k + 1);
            if (k <= memory) return j;
            j += period;
            memory = m - period;
        }
    } else {
        // The halves differ: every mismatch allows the longest shift.
        const size_t shift = (suffix > m - suffix ? suffix : m - suffix) + 1;
        while (j <= n && n - j >= m) {
            size_t i = suffix;
            while (i < m && canon<Fold>(q[i]) == canon<Fold>(s[i + j])) ++i;
            count.add(i - suffix + 1);
            if (i < m) {
                j += i - suffix + 1;
                continue;
            }
            size_t k = suffix;
            while (k > 0 && canon<Fold>(q[k - 1]) == canon<Fold>(s[k - 1 + j])) --k;
            count.add(suffix - k + 1);
            if (k == 0) return j;
            j += shift;
        }
    }
    return k_none;
}

// Next position in [from, to) whose byte is c, or `to`.
template <class C>
inline uint64_t find_byte(const unsigned char *s, uint64_t from, uint64_t to, unsigned char c,
                          C &count) {
    if (from >= to) return to;
    const void *hit = memchr(s + from, c, static_cast<size_t>(to - from));
    const uint64_t at = hit ? static_cast<uint64_t>(static_cast<const unsigned char *>(hit) - s) : to;
    count.add(at - from + 1);
    return at;
}

// First start where the query occurs in s[0..n), or k_none (n >= query
// length). Candidates are the positions of the query's first byte (both
// cases of a letter when folding), found with memchr and checked in full;
// once the checks have cost n + k_check_slack bytes, two-way takes the rest.
template <bool Fold, class C>
[[gnu::always_inline]] inline uint64_t find(needle &nd, const unsigned char *s, uint64_t n,
                                            C &count, bool two_way_only) {
    if (two_way_only) return two_way<Fold>(nd, s, n, 0, count);
    const uint64_t last = n - nd.len + 1;  // one past the last start
    const unsigned char lower = canon<Fold>(nd.q[0]);
    const bool two_cases = Fold && lower >= 'a' && lower <= 'z';
    const unsigned char upper = two_cases ? static_cast<unsigned char>(lower - 0x20) : lower;
    uint64_t budget = n + k_check_slack;
    uint64_t next_lo = find_byte(s, 0, last, lower, count);
    uint64_t next_up = two_cases ? find_byte(s, 0, last, upper, count) : last;
    for (;;) {
        const uint64_t at = next_lo < next_up ? next_lo : next_up;
        if (at >= last) return k_none;
        const size_t rest = nd.len - 1;
        count.add(rest);
        if (equal_n<Fold>(s + at + 1, nd.q + 1, rest)) return at;
        if (budget <= rest) return two_way<Fold>(nd, s, n, at + 1, count);
        budget -= rest;
        if (at == next_lo) next_lo = find_byte(s, at + 1, last, lower, count);
        else next_up = find_byte(s, at + 1, last, upper, count);
    }
}

// The test of one cell against a prepared query of at least one byte.
// Byte for byte, the cell counts only up to its first NUL byte (the query
// holds none, so an occurrence never spans one: the first occurrence must
// come before it); folded, every byte of the cell counts.
template <class C>
[[gnu::always_inline]] inline bool contains(needle &nd, const char *text, uint64_t len,
                                            bool fold, C &count, bool two_way_only = false) {
    if (len < nd.len) return false;
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
    if (fold) return find<true>(nd, s, len, count, two_way_only) != k_none;
    const uint64_t at = find<false>(nd, s, len, count, two_way_only);
    if (at == k_none) return false;
    count.add(at);
    return memchr(text, '\0', static_cast<size_t>(at)) == nullptr;
}

template <class C>
int substr_counted(const char *text, uint64_t len, const char *query, int32_t case_insensitive,
                   C &count, bool two_way_only = false) {
    if (text == nullptr || query == nullptr) return 0;
    const size_t qlen = strlen(query);
    if (qlen == 0) return 1;
    needle nd(query, qlen);
    return contains(nd, text, len, case_insensitive != 0, count, two_way_only) ? 1 : 0;
}

}  // namespace

int csv_substr(const char *text, uint64_t len, const char *query,
               int32_t case_insensitive) {
    no_count none;
    return substr_counted(text, len, query, case_insensitive, none);
}

int csv_substr_steps(const char *text, uint64_t len, const char *query,
                     int32_t case_insensitive, int32_t two_way_only, uint64_t *out_steps) {
    step_count count;
    const int hit = substr_counted(text, len, query, case_insensitive, count, two_way_only != 0);
    if (out_steps != nullptr) *out_steps = count.n;
    return hit;
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
    // The query is prepared once for the whole column.
    const size_t q_len = strlen(query);
    needle nd(query, q_len);
    const bool fold = case_insensitive != 0;
    no_count none;
    match_list m;
    const csv_body_view body = csv_body_of(t);
    for (int64_t r = 0; r < t->n_rows; ++r) {
        const csv_cell *c = body.at(r, col);
        bool hit = q_len == 0 || contains(nd, csv_cell_text(t, c), c->length, fold, none);
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
