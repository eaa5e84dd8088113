// The JSON result documents (headers, rows, column statistics, parse
// warnings) and the CSV text writer.
//
// Every document is a yyjson mutable document built for one call and
// serialised compactly into the calling thread's result buffer (finish_doc).
// The rows document, which can run to hundreds of megabytes, is built and
// serialised in batches of rows whose texts are joined into one array, so
// its node memory stays small and warm; the text is byte for byte the one
// the whole document would give if written at once. Callers hold the global lock, so the table
// cannot change while a document refers to it; no document outlives the call
// that built it.
//
// Running out of memory inside a document fails the whole call with
// "out of memory": a result that silently lacks rows or members would pass
// lost data off as a complete answer.
#include <stdlib.h>
#include <string.h>

#include <bit>
#include <memory>

#include <yyjson.h>

#include "csv_internal.h"

// The rows document fills yyjson_mut_val nodes directly (tag, payload and
// list links), which is only right for the layout of the version tested.
static_assert(YYJSON_VERSION_HEX == 0x000C00,
              "velmora-csv needs yyjson 0.12.0 exactly; run scripts/setup to install it");

namespace {

struct doc_deleter {
    void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
using doc_ptr = std::unique_ptr<yyjson_mut_doc, doc_deleter>;

// One member key of the rows document: the repaired header text, made once
// per call and shared by every row's key node.
struct row_key {
    const char *str;
    uint64_t tag;
    int32_t col;
    char *owned;  // the repaired copy, when the header needed repair
};

// Bytes the JSON writer would escape, or that may start something other
// than plain ASCII: controls, '"', '\\' and everything from 0x7F up.
struct plain_table {
    bool ok[256];
    constexpr plain_table() : ok() {
        for (int c = 0x20; c < 0x7F; ++c) ok[c] = c != '"' && c != '\\';
    }
};
constexpr plain_table k_plain;

constexpr uint64_t k_ones = 0x0101010101010101ull;
constexpr uint64_t k_highs = 0x8080808080808080ull;

// Flags, in the high bit of each byte, the bytes of `w` that are not plain.
// Each term is exact word-wise: a byte below 0x20, a '"', a '\\', a 0x7F;
// w itself flags the bytes from 0x80 up.
inline uint64_t not_plain_bits(uint64_t w) {
    uint64_t q = w ^ (k_ones * '"');
    uint64_t b = w ^ (k_ones * '\\');
    uint64_t d = w ^ (k_ones * 0x7F);
    return (((w - k_ones * 0x20) & ~w) | ((q - k_ones) & ~q) | ((b - k_ones) & ~b) |
            ((d - k_ones) & ~d) | w) & k_highs;
}

inline uint64_t load_word(const unsigned char *p) {
    uint64_t w;
    memcpy(&w, p, 8);
    return w;
}

// True when every byte is printable ASCII other than '"' and '\\'. Such a
// text is well-formed UTF-8, holds no NUL, and the writer copies it byte for
// byte, so it may be tagged as needing no escapes. `room` is how many bytes
// may be read from `text` (at least `len`): a short text with eight bytes of
// room is tested as one word, its bytes past `len` replaced by 'a'.
inline bool is_plain(const char *text, size_t len, size_t room) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    if (len < 8) {
        if (room < 8 || std::endian::native != std::endian::little) {
            for (size_t i = 0; i < len; ++i)
                if (!k_plain.ok[p[i]]) return false;
            return true;
        }
        // Little-endian: byte i of the text is bits 8i .. 8i+7 of the word.
        uint64_t keep = len == 0 ? 0 : ~0ull >> (64 - 8 * len);
        uint64_t w = (load_word(p) & keep) | (k_ones * 'a' & ~keep);
        return not_plain_bits(w) == 0;
    }
    uint64_t bad = 0;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) bad |= not_plain_bits(load_word(p + i));
    if (i < len) bad |= not_plain_bits(load_word(p + len - 8));  // overlapping last word
    return bad == 0;
}

inline bool is_plain(const char *text, size_t len) { return is_plain(text, len, len); }

inline uint64_t str_tag(size_t len, bool plain) {
    return (static_cast<uint64_t>(len) << YYJSON_TAG_BIT) | YYJSON_TYPE_STR |
           (plain ? YYJSON_SUBTYPE_NOESC : YYJSON_SUBTYPE_NONE);
}

// Length of the text up to its first NUL byte: documents take texts as
// NUL-terminated strings.
inline size_t cut_at_nul(const char *text, size_t len) {
    const void *nul = memchr(text, 0, len);
    return nul ? static_cast<size_t>(static_cast<const char *>(nul) - text) : len;
}

// A text repaired to well-formed UTF-8 (cut at its first NUL), freed at the
// end of the scope when the repair allocated it.
struct repaired {
    const char *str = "";
    size_t len = 0;
    int32_t must_free = 0;
    repaired(const char *text, size_t n) {
        uint64_t out_len = 0;
        str = csv_utf8_sanitize(text, cut_at_nul(text, n), &out_len, &must_free);
        len = static_cast<size_t>(out_len);
    }
    ~repaired() {
        if (must_free) csv_free(const_cast<char *>(str));
    }
    repaired(const repaired &) = delete;
    repaired &operator=(const repaired &) = delete;
};

// Bytes and length of a stored text; "" for the empty cell.
inline const char *text_of(const csv_table *t, const csv_cell &c, size_t *len) {
    if (c.length == 0 || t->blob == nullptr) {
        *len = 0;
        return "";
    }
    *len = c.length;
    return t->blob + c.offset;
}

// Sets `v` to a copy, held by the document, of the repaired text.
bool set_copied_str(yyjson_mut_doc *doc, yyjson_mut_val *v, const char *text,
                    size_t len) {
    repaired r(text, len);
    char *copy = unsafe_yyjson_mut_strncpy(doc, r.str, r.len);
    if (copy == nullptr) return false;
    v->tag = str_tag(r.len, is_plain(r.str, r.len));
    v->uni.str = copy;
    return true;
}

// Cell value that is not plain ASCII: cut at NUL, repaired, and copied into
// the document only when the repair made a new text.
[[gnu::noinline]] bool set_cell_slow(yyjson_mut_doc *doc, yyjson_mut_val *v,
                                     const char *text, size_t len) {
    repaired r(text, len);
    if (!r.must_free) {
        v->tag = str_tag(r.len, false);
        v->uni.str = r.str;  // table text (or static ""), alive for the call
        return true;
    }
    char *copy = unsafe_yyjson_mut_strncpy(doc, r.str, r.len);
    if (copy == nullptr) return false;
    v->tag = str_tag(r.len, false);
    v->uni.str = copy;
    return true;
}

// Cell value: plain texts refer to the blob as they are, with no copy; the
// writer emits identical bytes either way. `room`: bytes readable at `text`.
inline bool set_cell(yyjson_mut_doc *doc, yyjson_mut_val *v, const char *text,
                     size_t len, size_t room) {
    if (is_plain(text, len, room)) {
        v->tag = str_tag(len, true);
        v->uni.str = text;
        return true;
    }
    return set_cell_slow(doc, v, text, len);
}

// The keys of the listed columns that exist, in list order; a null list or
// a length <= 0 means every column in order. Key texts are the table's own
// bytes unless the header needed repair.
struct row_keys {
    row_key *v = nullptr;
    int32_t n = 0;
    row_keys() = default;
    row_keys(const row_keys &) = delete;
    row_keys &operator=(const row_keys &) = delete;
    ~row_keys() {
        for (int32_t i = 0; i < n; ++i) csv_free(v[i].owned);
        csv_free(v);
    }

    int build(const csv_table *t, const int32_t *cols, int32_t cols_len) {
        const bool all = cols == nullptr || cols_len <= 0;
        const int32_t n_list = all ? (t->n_cols > 0 ? t->n_cols : 0) : cols_len;
        if (n_list == 0) return 0;
        v = static_cast<row_key *>(csv_malloc(sizeof(row_key) * static_cast<size_t>(n_list)));
        if (v == nullptr) return -1;
        for (int32_t i = 0; i < n_list; ++i) {
            int32_t j = all ? i : cols[i];
            if (j < 0 || j >= t->n_cols) continue;
            size_t len = 0;
            const char *text = text_of(t, t->headers[j], &len);
            uint64_t out_len = 0;
            int32_t must_free = 0;
            const char *r = csv_utf8_sanitize(text, cut_at_nul(text, len), &out_len, &must_free);
            v[n++] = row_key{r, str_tag(static_cast<size_t>(out_len), is_plain(r, out_len)), j,
                             must_free ? const_cast<char *>(r) : nullptr};
        }
        return 0;
    }
};

// A growing text in library heap, doubled as it fills.
struct text_buf {
    char *p = nullptr;
    size_t len = 0;
    size_t cap = 0;
    text_buf() = default;
    text_buf(const text_buf &) = delete;
    text_buf &operator=(const text_buf &) = delete;
    ~text_buf() { csv_free(p); }

    [[gnu::noinline]] int grow(size_t need) {
        size_t k = cap ? cap : 65536;
        while (k < need) {
            if (k > SIZE_MAX / 2) return -1;
            k *= 2;
        }
        char *q = static_cast<char *>(csv_realloc(p, k));
        if (q == nullptr) return -1;
        p = q;
        cap = k;
        return 0;
    }
    int append(const char *src, size_t n) {
        if (n > SIZE_MAX - len) return -1;
        if (len + n > cap && grow(len + n) != 0) return -1;
        memcpy(p + len, src, n);
        len += n;
        return 0;
    }
};

// Rows per batch: about 2048 nodes, at least one row. Small batches keep
// each batch's document and text under the heap's trim threshold, so their
// memory is reused from batch to batch instead of being returned to the
// system and faulted in again.
int64_t batch_rows(int32_t m) {
    int64_t per_row = 1 + 2 * static_cast<int64_t>(m);
    return per_row >= 2048 ? 1 : 2048 / per_row;
}

// One row object with a member per key, built in one block of nodes laid
// out as yyjson lays out an object: key, value, key, value, ... with the
// last value linking back to the first key.
yyjson_mut_val *row_object(yyjson_mut_doc *doc, const csv_table *t,
                           const csv_cell *cells, const row_key *keys,
                           int32_t m) {
    size_t n = static_cast<size_t>(m);
    const char *blob_end = t->blob + t->blob_len;
    yyjson_mut_val *obj = unsafe_yyjson_mut_val(doc, 1 + 2 * n);
    if (obj == nullptr) return nullptr;
    obj->tag = (static_cast<uint64_t>(n) << YYJSON_TAG_BIT) | YYJSON_TYPE_OBJ;
    for (size_t k = 0; k < n; ++k) {
        yyjson_mut_val *key = obj + 2 * k + 1;
        yyjson_mut_val *val = key + 1;
        key->tag = keys[k].tag;
        key->uni.str = keys[k].str;
        key->next = val;
        val->next = val + 1;
        size_t len = 0;
        const char *text = cells ? text_of(t, cells[keys[k].col], &len) : "";
        size_t room = len ? static_cast<size_t>(blob_end - text) : 0;
        if (!set_cell(doc, val, text, len, room)) return nullptr;
    }
    if (n > 0) {
        obj[2 * n].next = obj + 1;
        obj->uni.ptr = obj + 2 * n - 1;
    }
    return obj;
}

// Creates a document with an empty container of the given kind as root.
// `nodes` > 0 sizes the node pool to hold that many values besides the root.
yyjson_mut_doc *new_doc(bool object_root, yyjson_mut_val **out_root, size_t nodes = 0) {
    *out_root = nullptr;
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    if (doc == nullptr) return nullptr;
    if (nodes > 0) yyjson_mut_doc_set_val_pool_size(doc, nodes + 1);
    yyjson_mut_val *root = object_root ? yyjson_mut_obj(doc) : yyjson_mut_arr(doc);
    if (root == nullptr) {
        yyjson_mut_doc_free(doc);
        return nullptr;
    }
    yyjson_mut_doc_set_root(doc, root);
    *out_root = root;
    return doc;
}

// Ends a call whose building ran out of memory.
const char *fail_oom() {
    csv_set_error("out of memory");
    return nullptr;
}

int oom_status() {
    csv_set_error("out of memory");
    return -1;
}

}  // namespace

// The compact text of `doc` (free it with free()), or null with the
// thread's message set.
static char *write_doc(const yyjson_mut_doc *doc, size_t *len) {
    *len = 0;
    char *text = yyjson_mut_write_opts(doc, 0, nullptr, len, nullptr);
    if (text == nullptr) csv_set_error("failed to serialize JSON");
    return text;
}

// Serialises `doc` compactly into the thread's result buffer. Takes
// ownership of the document in every case.
static const char *finish_doc(yyjson_mut_doc *doc) {
    size_t len = 0;
    char *text = write_doc(doc, &len);
    // The text no longer needs the document: free it first to lower the peak.
    yyjson_mut_doc_free(doc);
    if (text == nullptr) return nullptr;
    const char *out = csv_tls_put_json(text, len);
    free(text);  // written by yyjson's default allocator (malloc)
    return out;
}

// Serialises the rows at list positions [first, stop) as one array document
// and appends its elements to `out`, after a comma when `out` already holds
// elements. Sets the thread's message on failure.
static int emit_row_batch(const csv_table *t, const int64_t *rows, int64_t first,
                          int64_t stop, const row_key *keys, int32_t m, text_buf *out) {
    yyjson_mut_val *arr = nullptr;
    size_t nodes = static_cast<size_t>((stop - first) * (1 + 2 * static_cast<int64_t>(m)));
    doc_ptr doc(new_doc(false, &arr, nodes));
    if (!doc) return oom_status();
    const int32_t n_cols = t->n_cols;
    for (int64_t p = first; p < stop; ++p) {
        int64_t r = rows ? rows[p] : p;
        const csv_cell *cells = nullptr;
        if (r >= 0 && r < t->n_rows && t->cells != nullptr) cells = t->cells + r * n_cols;
        yyjson_mut_val *obj = row_object(doc.get(), t, cells, keys, m);
        if (obj == nullptr) return oom_status();
        yyjson_mut_arr_append(arr, obj);
    }
    size_t len = 0;
    char *text = write_doc(doc.get(), &len);
    doc.reset();
    if (text == nullptr) return -1;
    // "[e1,...,ek]": its elements are joined to those already in `out`.
    int rc = 0;
    if (len > 2) {
        if (out->len > 1) rc = out->append(",", 1);
        if (rc == 0) rc = out->append(text + 1, len - 2);
    }
    free(text);  // written by yyjson's default allocator (malloc)
    return rc == 0 ? 0 : oom_status();
}

const char *csv_emit_headers(const csv_table *t) {
    if (t == nullptr) {
        csv_set_error("null table");
        return nullptr;
    }
    yyjson_mut_val *arr = nullptr;
    doc_ptr doc(new_doc(false, &arr));
    if (!doc) return fail_oom();
    for (int32_t c = 0; c < t->n_cols; ++c) {
        size_t len = 0;
        const char *text = text_of(t, t->headers[c], &len);
        yyjson_mut_val *v = unsafe_yyjson_mut_val(doc.get(), 1);
        if (v == nullptr || !set_copied_str(doc.get(), v, text, len)) return fail_oom();
        yyjson_mut_arr_append(arr, v);
    }
    return finish_doc(doc.release());
}

const char *csv_emit_rows(const csv_table *t, const int64_t *rows,
                          int64_t rows_len, const int32_t *cols,
                          int32_t cols_len, int32_t offset, int32_t limit) {
    if (t == nullptr) {
        csv_set_error("null table");
        return nullptr;
    }
    if (rows_len < 0) rows_len = 0;
    // Window over list positions, in 64 bits so start + limit cannot wrap.
    int64_t start = offset < 0 ? 0 : offset;
    if (start > rows_len) start = rows_len;
    int64_t end = (limit < 0 || limit >= rows_len - start) ? rows_len : start + limit;

    row_keys keys;
    text_buf out;
    if (keys.build(t, cols, cols_len) != 0 || out.append("[", 1) != 0) return fail_oom();
    const int64_t batch = batch_rows(keys.n);
    for (int64_t p = start; p < end; p += batch) {
        int64_t stop = end - p > batch ? p + batch : end;
        if (emit_row_batch(t, rows, p, stop, keys.v, keys.n, &out) != 0) return nullptr;
    }
    if (out.append("]", 1) != 0) return fail_oom();
    return csv_tls_put_json(out.p, out.len);
}

const char *csv_emit_stats(const csv_table *t) {
    if (t == nullptr) {
        csv_set_error("null table");
        return nullptr;
    }
    yyjson_mut_val *root = nullptr;
    doc_ptr doc(new_doc(true, &root));
    if (!doc) return fail_oom();
    yyjson_mut_doc *d = doc.get();
    yyjson_mut_val *columns = yyjson_mut_arr(d);
    bool ok = columns != nullptr &&
              yyjson_mut_obj_add_int(d, root, "row_count", t->n_rows) &&
              yyjson_mut_obj_add_int(d, root, "col_count", t->n_cols) &&
              yyjson_mut_obj_add_val(d, root, "columns", columns);
    for (int32_t c = 0; ok && c < t->n_cols; ++c) {
        int64_t count = 0, nulls = 0;
        int32_t unique = 0, numeric = 0;
        double min = 0, max = 0, mean = 0;
        csv_col_stats(t, c, &count, &nulls, &unique, &numeric, &min, &max, &mean);

        size_t len = 0;
        const char *text = text_of(t, t->headers[c], &len);
        repaired name(text, len);
        yyjson_mut_val *col = yyjson_mut_obj(d);
        ok = col != nullptr &&
             yyjson_mut_obj_add_strncpy(d, col, "name", name.str, name.len) &&
             yyjson_mut_obj_add_int(d, col, "count", count) &&
             yyjson_mut_obj_add_int(d, col, "nulls", nulls) &&
             yyjson_mut_obj_add_int(d, col, "unique", unique) &&
             yyjson_mut_obj_add_bool(d, col, "numeric", numeric != 0);
        if (ok && numeric) {
            ok = yyjson_mut_obj_add_real(d, col, "min", min) &&
                 yyjson_mut_obj_add_real(d, col, "max", max) &&
                 yyjson_mut_obj_add_real(d, col, "mean", mean);
        }
        ok = ok && yyjson_mut_arr_append(columns, col);
    }
    if (!ok) return fail_oom();
    return finish_doc(doc.release());
}

namespace {

const char *const kind_names[] = {"", "ragged", "blank", "unterminated_quote",
                                  "truncated_utf16"};

// {"kind":...,"row":...,"expected":...,"actual":...} for one sample.
yyjson_mut_val *sample_object(yyjson_mut_doc *d, const csv_warning &w) {
    // Compared unsigned, so a negative kind is out of range as well.
    const char *name = static_cast<uint32_t>(w.kind) <= 4 ? kind_names[w.kind] : "";
    yyjson_mut_val *obj = yyjson_mut_obj(d);
    bool ok = obj != nullptr && yyjson_mut_obj_add_str(d, obj, "kind", name) &&
              yyjson_mut_obj_add_int(d, obj, "row", w.row) &&
              yyjson_mut_obj_add_int(d, obj, "expected", w.expected) &&
              yyjson_mut_obj_add_int(d, obj, "actual", w.actual);
    return ok ? obj : nullptr;
}

}  // namespace

const char *csv_emit_warnings(const csv_table *t) {
    if (t == nullptr) {
        csv_set_error("null table");
        return nullptr;
    }
    yyjson_mut_val *root = nullptr;
    doc_ptr doc(new_doc(true, &root));
    if (!doc) return fail_oom();
    yyjson_mut_doc *d = doc.get();
    // Unsigned sum: the same total for every real count, and no overflow.
    uint64_t total = static_cast<uint64_t>(t->ragged) + static_cast<uint64_t>(t->blank) +
                     (t->unterminated_quote ? 1u : 0u) + (t->truncated_utf16 ? 1u : 0u);
    bool ok = yyjson_mut_obj_add_int(d, root, "count", static_cast<int64_t>(total)) &&
              yyjson_mut_obj_add_int(d, root, "ragged", t->ragged) &&
              yyjson_mut_obj_add_int(d, root, "blank", t->blank) &&
              yyjson_mut_obj_add_bool(d, root, "unterminated_quote", t->unterminated_quote != 0) &&
              yyjson_mut_obj_add_bool(d, root, "truncated_utf16", t->truncated_utf16 != 0) &&
              yyjson_mut_obj_add_int(d, root, "expected_cols", t->expected_cols);
    if (ok && t->unterminated_quote)
        ok = yyjson_mut_obj_add_int(d, root, "unterminated_row", t->unterminated_row);

    int32_t n = t->n_samples < 0 ? 0 : (t->n_samples > CSV_MAX_SAMPLES ? CSV_MAX_SAMPLES : t->n_samples);
    if (ok) {
        yyjson_mut_val *first = n > 0 ? sample_object(d, t->samples[0]) : yyjson_mut_null(d);
        ok = first != nullptr && yyjson_mut_obj_add_val(d, root, "first", first);
    }
    yyjson_mut_val *samples = ok ? yyjson_mut_arr(d) : nullptr;
    ok = samples != nullptr && yyjson_mut_obj_add_val(d, root, "samples", samples);
    for (int32_t i = 0; ok && i < n; ++i) {
        yyjson_mut_val *s = sample_object(d, t->samples[i]);
        ok = s != nullptr && yyjson_mut_arr_append(samples, s);
    }
    if (!ok) return fail_oom();
    return finish_doc(doc.release());
}

// ---- CSV text writer --------------------------------------------------------

namespace {

// Bytes that make a field quoted: LF, CR, '"' and ','.
struct quote_table {
    bool on[256];
    constexpr quote_table() : on() {
        on['\n'] = on['\r'] = on['"'] = on[','] = true;
    }
};
constexpr quote_table k_quote;

inline int put_bytes(FILE *f, const char *p, size_t n) {
    return fwrite(p, 1, n, f) == n ? 0 : -1;
}

}  // namespace

// Writes one field, quoted (with its quotes doubled) only when it holds a
// byte that would otherwise end or split it. Bytes go out unchanged, NULs
// included.
static int write_field(FILE *f, const char *text, uint64_t len) {
    if (len == 0) return 0;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    uint64_t i = 0;
    while (i < len && !k_quote.on[p[i]]) ++i;
    if (i == len) return put_bytes(f, text, len);

    if (fputc('"', f) == EOF) return -1;
    const char *cur = text;
    const char *stop = text + len;
    while (cur < stop) {
        const char *q = static_cast<const char *>(memchr(cur, '"', static_cast<size_t>(stop - cur)));
        const char *run_end = q ? q + 1 : stop;  // a quote goes out with its run...
        if (put_bytes(f, cur, static_cast<size_t>(run_end - cur)) != 0) return -1;
        if (q && fputc('"', f) == EOF) return -1;  // ...and is then doubled
        cur = run_end;
    }
    return fputc('"', f) == EOF ? -1 : 0;
}

int csv_emit_csv_fp(const csv_table *t, FILE *stream) {
    if (t == nullptr || stream == nullptr) return -1;
    if (t->header_line != 0 && t->n_cols > 0) {
        for (int32_t c = 0; c < t->n_cols; ++c) {
            size_t len = 0;
            const char *text = text_of(t, t->headers[c], &len);
            if (c > 0 && fputc(',', stream) == EOF) return -1;
            if (write_field(stream, text, len) != 0) return -1;
        }
        if (fputc('\n', stream) == EOF) return -1;
    }
    for (int64_t r = 0; r < t->n_rows; ++r) {
        for (int32_t c = 0; c < t->n_cols; ++c) {
            size_t len = 0;
            const char *text = text_of(t, *csv_cell_at(t, r, c), &len);
            if (c > 0 && fputc(',', stream) == EOF) return -1;
            if (write_field(stream, text, len) != 0) return -1;
        }
        if (fputc('\n', stream) == EOF) return -1;
    }
    return 0;
}
