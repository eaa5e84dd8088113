// The columnar export: a table's columns as an Arrow C stream of record
// batches. Under the lock the stream decides each column's type and takes a
// reference to the share of the table's arrays, so it outlives the table,
// its handle and the lock; each batch is built when the consumer asks for
// it, into buffers its arrays own, so a consumer that releases a batch
// before asking for the next keeps one batch of memory, warm, in use.
#include <assert.h>
#include <errno.h>
#include <string.h>

#include <memory>

#include "csv_internal.h"
#include "csv_platform.h"

namespace {

constexpr int64_t k_batch_rows = 65536;
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

// A cell as the typed columns see it.
enum cell_class { k_empty_cell, k_int_cell, k_number_cell, k_text_cell };

inline bool counts_as_empty(const char *text, uint32_t len, bool markers) {
    return len == 0 || (markers && is_null_marker(text, len));
}

cell_class classify(const char *text, uint32_t len, bool markers) {
    if (counts_as_empty(text, len, markers)) return k_empty_cell;
    int64_t iv;
    if (plain_int64(text, len, &iv)) return k_int_cell;
    return csv_is_numeric_field(text, len, nullptr) ? k_number_cell : k_text_cell;
}

// The kind of typed column `col`: numeric when every cell that is not empty
// is a number and there is at least one (the statistics' rule), int64 when
// they are all plain integers.
int32_t typed_kind(const csv_table *t, int32_t col, bool markers) {
    const csv_body_view body = csv_body_of(t);
    bool seen = false, ints = true;
    for (int64_t r = 0; r < t->n_rows; ++r) {
        const csv_cell *c = body.at(r, col);
        const char *s = csv_cell_text(t, c);
        if (!ints) {  // float64 already: only the numeric test is left
            if (counts_as_empty(s, c->length, markers)) continue;
            if (!csv_is_numeric_field(s, c->length, nullptr)) return k_utf8;
            continue;
        }
        switch (classify(s, c->length, markers)) {
        case k_empty_cell: break;
        case k_int_cell: seen = true; break;
        case k_number_cell: seen = true; ints = false; break;
        case k_text_cell: return k_utf8;
        }
    }
    if (!seen) return k_utf8;
    return ints ? k_int64 : k_float64;
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

// Room for the texts of rows [r0, r0 + n) of column `col` when none needs
// repair: their stored bytes plus the longest, so that a writer that keeps
// room for a cell's worst case (twice its bytes) grows the buffer only once
// repairs have taken some of it. `*raw` receives the stored bytes.
uint64_t text_room(const csv_table *t, int32_t col, int64_t r0, int64_t n, uint64_t *raw) {
    const csv_body_view body = csv_body_of(t);
    uint64_t total = 0, longest = 0;
    for (int64_t r = r0; r < r0 + n; ++r) {
        const uint64_t len = body.at(r, col)->length;
        total += len;
        if (len > longest) longest = len;
    }
    *raw = total;
    return total + longest;
}

// ---- arrays ---------------------------------------------------------------

// One column of one batch: the child array's buffers, which it owns.
struct column_parts {
    const void *buffers[3];
    void *owned[3];
};

void release_column(ArrowArray *a) {
    assert(a->release != nullptr);
    column_parts *p = static_cast<column_parts *>(a->private_data);
    for (void *b : p->owned) csv_free(b);
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

// The column plan: what each output column is built from.
struct column_plan {
    int32_t col;
    int32_t kind;
};

// Fills `out` with a column array of rows [r0, r0 + n). 0, or -1 with
// nothing left allocated.
int build_column(const csv_table *t, const column_plan &plan, bool markers, int64_t r0,
                 int64_t n, ArrowArray *out) {
    column_parts *p = static_cast<column_parts *>(csv_calloc(1, sizeof(column_parts)));
    if (p == nullptr) return -1;
    *out = ArrowArray{};
    out->length = n;
    out->private_data = p;
    out->buffers = p->buffers;
    out->release = release_column;
    const csv_body_view body = csv_body_of(t);
    const size_t count = static_cast<size_t>(n);

    if (plan.kind == k_utf8 || plan.kind == k_large_utf8) {
        const bool large = plan.kind == k_large_utf8;
        uint64_t raw = 0;
        const uint64_t bytes = text_room(t, plan.col, r0, n, &raw);
        out->n_buffers = 3;
        p->owned[1] = csv_malloc((count + 1) * (large ? 8 : 4));
        uint64_t cap = bytes + 1;
        p->owned[2] = cap > SIZE_MAX ? nullptr : csv_malloc(static_cast<size_t>(cap));
        if (p->owned[1] == nullptr || p->owned[2] == nullptr) {
            release_column(out);
            return -1;
        }
        int32_t *off32 = static_cast<int32_t *>(p->owned[1]);
        int64_t *off64 = static_cast<int64_t *>(p->owned[1]);
        uint64_t w = 0;
        if (large) off64[0] = 0; else off32[0] = 0;
        for (int64_t i = 0; i < n; ++i) {
            const csv_cell *c = body.at(r0 + i, plan.col);
            const char *s = csv_cell_text(t, c);
            const uint64_t len = cut_at_nul(s, c->length);
            if (w + 2 * len + 1 > cap) {  // repairs took the spare room: grow
                const uint64_t want = cap * 2 > w + 2 * len + 1 ? cap * 2 : w + 2 * len + 1;
                void *grown = want > SIZE_MAX ? nullptr : csv_realloc(p->owned[2], static_cast<size_t>(want));
                if (grown == nullptr) {
                    release_column(out);
                    return -1;
                }
                p->owned[2] = grown;
                cap = want;
            }
            w += csv_utf8_repair_into(s, len, static_cast<char *>(p->owned[2]) + w);
            assert(large || w <= k_text_max);
            if (large) off64[i + 1] = static_cast<int64_t>(w);
            else off32[i + 1] = static_cast<int32_t>(w);
        }
        char *data = static_cast<char *>(p->owned[2]);
        data[w] = '\0';
        p->buffers[1] = p->owned[1];
        p->buffers[2] = p->owned[2];
        return 0;
    }

    out->n_buffers = 2;
    p->owned[0] = csv_calloc((count + 63) / 64, 8);  // validity, whole 64-bit words
    p->owned[1] = csv_malloc(count * 8 + 8);
    if (p->owned[0] == nullptr || p->owned[1] == nullptr) {
        release_column(out);
        return -1;
    }
    uint8_t *valid = static_cast<uint8_t *>(p->owned[0]);
    int64_t nulls = 0;
    for (int64_t i = 0; i < n; ++i) {
        const csv_cell *c = body.at(r0 + i, plan.col);
        const char *s = csv_cell_text(t, c);
        bool ok;
        if (counts_as_empty(s, c->length, markers)) {
            ok = false;
            if (plan.kind == k_int64) static_cast<int64_t *>(p->owned[1])[i] = 0;
            else static_cast<double *>(p->owned[1])[i] = 0.0;
        } else if (plan.kind == k_int64) {
            ok = plain_int64(s, c->length, &static_cast<int64_t *>(p->owned[1])[i]);
        } else {
            ok = csv_is_numeric_field(s, c->length, &static_cast<double *>(p->owned[1])[i]) != 0;
        }
        assert(ok || counts_as_empty(s, c->length, markers));  // the kind was read from these cells
        if (ok) valid[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
        else ++nulls;
    }
    out->null_count = nulls;
    p->buffers[0] = nulls ? p->owned[0] : nullptr;  // no bitmap where nothing is null
    p->buffers[1] = p->owned[1];
    return 0;
}

// Fills `out` with the struct array of batch `b`. 0, or -1 with nothing
// left allocated.
int build_batch(const csv_table *t, const column_plan *plan, int32_t n_cols, bool markers,
                int64_t b, int64_t batch_rows, ArrowArray *out) {
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
        if (build_column(t, plan[i], markers, r0, n, &p->child[i]) != 0) {
            release_batch(out);  // the children built so far
            return -1;
        }
        p->n = i + 1;
    }
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
    int32_t n_cols;
    bool markers;
    column_plan *plan;
    char *names;          // the column names, each followed by a NUL
    uint64_t *name_at;    // where each name starts in `names`
    int64_t batch_rows;
    int64_t n_batches;
    int64_t next;         // the batch get_next builds next
    const char *error;    // of the last failed call, or null
};

void free_state(stream_state *st) {
    if (st == nullptr) return;
    csv_table_share_drop(st->share);
    csv_free(st->name_at);
    csv_free(st->names);
    csv_free(st->plan);
    csv_free(st);
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
    if (build_batch(&st->table, st->plan, st->n_cols, st->markers, st->next, st->batch_rows,
                    &batch) != 0) {
        st->error = k_oom;  // the same batch is built again on the next call
        return ENOMEM;
    }
    *out = batch;  // moved to the caller
    ++st->next;
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
    const int64_t batch_rows = g_batch_rows;

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
    if (st->plan == nullptr) {
        csv_set_error(k_oom);
        return -1;
    }

    // Each column's kind: one pass over its cells, nothing recorded but the
    // kind, which the schema needs before any batch.
    for (size_t i = 0; i < ncols; ++i) {
        column_plan &c = st->plan[i];
        c.col = list ? list[i] : static_cast<int32_t>(i);
        assert(c.col >= 0 && c.col < t->n_cols);
        c.kind = typed ? typed_kind(t, c.col, markers) : k_utf8;
        if (c.kind != k_utf8) continue;
        for (int64_t b = 0; b < st->n_batches; ++b) {
            const int64_t r0 = b * batch_rows;
            const int64_t n = t->n_rows - r0 < batch_rows ? t->n_rows - r0 : batch_rows;
            uint64_t raw = 0;
            text_room(t, c.col, r0, n, &raw);
            // Repair at most doubles the text; only then is it measured.
            if (2 * raw > g_text_max && text_bytes(t, c.col, r0, n) > g_text_max) {
                c.kind = k_large_utf8;
                break;
            }
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
