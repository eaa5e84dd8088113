// Column selection: resolves column names (a header's exact text, else the
// 1-based column number) and turns a comma-separated list of them into
// column indices, in request order with repeats kept.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "csv_internal.h"

/* ---- column names and column lists -------------------------------------- */

namespace {

constexpr size_t k_max_col_name = 255;

// Column number written in decimal (1-based), or -1. A leading sign is
// refused; strtol may still skip white space and read a sign after it.
int32_t col_by_number(const csv_table *t, const char *name) {
    if (name[0] == '+' || name[0] == '-') return -1;
    const int saved_errno = errno;
    errno = 0;
    char *end = nullptr;
    long v = strtol(name, &end, 10);
    const bool range_error = errno == ERANGE;
    errno = saved_errno;
    if (range_error || end == name || *end != '\0') return -1;
    if (v < 1 || v > static_cast<long>(t->n_cols)) return -1;
    return static_cast<int32_t>(v - 1);
}

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Appends one index, growing the list 8, 16, 32, ... entries.
int push_col(int32_t **cols, int32_t *n, int64_t *cap, int32_t idx) {
    if (*n == *cap) {
        int64_t new_cap = *cap == 0 ? 8 : *cap * 2;
        if (new_cap > INT32_MAX) new_cap = INT32_MAX;
        void *p = *n == INT32_MAX
                      ? nullptr
                      : csv_realloc(*cols, static_cast<size_t>(new_cap) * sizeof(int32_t));
        if (p == nullptr) {
            csv_set_error("out of memory");
            return -1;
        }
        *cols = static_cast<int32_t *>(p);
        *cap = new_cap;
    }
    (*cols)[(*n)++] = idx;
    return 0;
}

// Tables up to this wide are scanned: the scan costs no more than the index.
constexpr int32_t k_scan_cols = 8;

// Header texts by content, for resolving a whole list: open addressing over
// header indices, built once per list, so that a list of k names costs
// about k + n_cols text comparisons instead of k x n_cols. Equal texts keep
// the leftmost column, as the scan does.
class header_index {
public:
    header_index() = default;
    header_index(const header_index &) = delete;
    header_index &operator=(const header_index &) = delete;
    ~header_index() { csv_free(slots_); }

    // False when memory ran short; the caller then scans.
    bool build(const csv_table *t) {
        t_ = t;
        uint64_t cap = 16;
        while (cap < 2 * static_cast<uint64_t>(t->n_cols)) cap *= 2;
        if (cap > SIZE_MAX / sizeof(uint32_t)) return false;
        slots_ = static_cast<uint32_t *>(csv_calloc(static_cast<size_t>(cap), sizeof(uint32_t)));
        if (slots_ == nullptr) return false;
        mask_ = cap - 1;
        // The seed comes from where the heap put the slots, so that header
        // texts chosen to collide under a fixed hash do not collide here.
        seed_ = mix(reinterpret_cast<uintptr_t>(slots_) ^ 0x9E3779B97F4A7C15ull);
        for (int32_t i = 0; i < t->n_cols; ++i) {
            const char *text = name(i);
            uint64_t h = hash(text) & mask_;
            while (slots_[h] != 0 && strcmp(name(static_cast<int32_t>(slots_[h] - 1)), text) != 0)
                h = (h + 1) & mask_;
            if (slots_[h] == 0) slots_[h] = static_cast<uint32_t>(i) + 1;  // else a left one stays
        }
        return true;
    }

    // Leftmost column whose header text is `text`, or -1.
    int32_t find(const char *text) const {
        for (uint64_t h = hash(text) & mask_; slots_[h] != 0; h = (h + 1) & mask_) {
            const int32_t i = static_cast<int32_t>(slots_[h] - 1);
            if (strcmp(name(i), text) == 0) return i;
        }
        return -1;
    }

private:
    static uint64_t mix(uint64_t x) {
        x ^= x >> 30;
        x *= 0xBF58476D1CE4E5B9ull;
        x ^= x >> 27;
        x *= 0x94D049BB133111EBull;
        return x ^ (x >> 31);
    }
    // The text up to its NUL, as strcmp compares it.
    uint64_t hash(const char *text) const {
        uint64_t h = seed_;
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p)
            h = (h ^ *p) * 0x100000001B3ull;
        return mix(h);
    }
    const char *name(int32_t i) const { return csv_cell_text(t_, &t_->headers[i]); }

    const csv_table *t_ = nullptr;
    uint32_t *slots_ = nullptr;  // column + 1; 0 is a free slot
    uint64_t mask_ = 0;
    uint64_t seed_ = 0;
};

// csv_resolve_col through the index when there is one.
int32_t resolve_item(const csv_table *t, const header_index *index, const char *name) {
    if (index == nullptr) return csv_resolve_col(t, name);
    if (name[0] == '\0') return -1;
    const int32_t i = index->find(name);
    return i >= 0 ? i : col_by_number(t, name);
}

}  // namespace

int32_t csv_resolve_col(const csv_table *t, const char *name) {
    if (t == nullptr || name == nullptr || name[0] == '\0') return -1;
    if (t->headers != nullptr) {
        for (int32_t i = 0; i < t->n_cols; ++i)
            if (strcmp(csv_cell_text(t, &t->headers[i]), name) == 0) return i;
    }
    return col_by_number(t, name);
}

int csv_parse_col_list(const csv_table *t, const char *list, int32_t **out_cols,
                       int32_t *out_n) {
    if (t == nullptr || list == nullptr || out_cols == nullptr || out_n == nullptr)
        return -1;
    *out_cols = nullptr;
    *out_n = 0;

    int32_t *raw = nullptr;
    int32_t n = 0;
    int64_t cap = 0;
    const char *p = list;
    char item[k_max_col_name + 1];
    header_index index;
    const header_index *by_name = nullptr;  // set up at the first item
    bool first_item = true;
    for (;;) {
        while (is_blank(*p)) ++p;
        if (*p == '\0') break;
        if (*p == ',') {  // empty item
            ++p;
            continue;
        }
        const char *start = p;
        while (*p != '\0' && *p != ',') ++p;
        const char *end = p;
        while (end > start && is_blank(end[-1])) --end;
        const size_t item_len = static_cast<size_t>(end - start);
        if (item_len > k_max_col_name) {
            csv_free(raw);
            csv_set_error("column name too long");
            return -1;
        }
        memcpy(item, start, item_len);
        item[item_len] = '\0';
        if (first_item) {
            first_item = false;
            if (t->n_cols > k_scan_cols && t->headers != nullptr && index.build(t))
                by_name = &index;
        }
        int32_t idx = resolve_item(t, by_name, item);
        if (idx < 0) {
            csv_free(raw);
            csv_set_error("unknown column: %s", item);
            return -1;
        }
        if (push_col(&raw, &n, &cap, idx) != 0) {
            csv_free(raw);
            return -1;
        }
        if (*p == ',') ++p;
    }
    if (n == 0) {
        csv_free(raw);
        csv_set_error("no columns selected");
        return -1;
    }
    *out_cols = raw;
    *out_n = n;
    return 0;
}

int csv_select_indices(const csv_table *t, const char *list, int32_t **out_cols,
                       int32_t *out_n) {
    return csv_parse_col_list(t, list, out_cols, out_n);
}
