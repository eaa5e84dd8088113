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
        int32_t idx = csv_resolve_col(t, item);
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
