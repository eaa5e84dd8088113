// Reads an Arrow C stream to its end, checking every struct against the C
// data interface's rules, and renders its cells as text so that they can be
// compared with the JSON answers. Shared by the unit tests and the fuzzers.
#pragma once

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include <yyjson.h>

#include "velmora_csv.h"

namespace varrow {

struct Collected {
    std::string error;    // the export's failure message, when it failed
    std::string problem;  // the first rule a struct broke, or ""
    std::vector<std::string> names;
    std::vector<std::string> formats;
    std::vector<std::vector<std::string>> cells;  // rows of rendered cells; "<null>" for null
    std::vector<std::vector<double>> numbers;     // non-null values of numeric columns
    std::vector<int64_t> null_counts;             // per column, over all batches
    int64_t n_batches = 0;
};

// True when s[0..n) is well-formed UTF-8 (no overlongs, surrogates or
// values past U+10FFFF).
inline bool valid_utf8(const unsigned char *s, size_t n) {
    size_t i = 0;
    while (i < n) {
        unsigned b = s[i];
        if (b < 0x80) { ++i; continue; }
        size_t k;
        unsigned cp;
        if (b >= 0xC2 && b <= 0xDF) { k = 1; cp = b & 0x1F; }
        else if (b >= 0xE0 && b <= 0xEF) { k = 2; cp = b & 0x0F; }
        else if (b >= 0xF0 && b <= 0xF4) { k = 3; cp = b & 0x07; }
        else return false;
        if (n - i <= k) return false;
        for (size_t j = 1; j <= k; ++j) {
            if ((s[i + j] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + j] & 0x3F);
        }
        if ((k == 2 && cp < 0x800) || (k == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += k + 1;
    }
    return true;
}

inline std::string render_double(double v) {
    char buf[40];
    snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// Checks one column array of a batch of `length` rows and appends its
// rendered cells to rows [row0, row0 + length) of `c`.
inline std::string check_column(const std::string &format, const ArrowArray *a, int64_t length,
                                size_t col, size_t row0, Collected *c) {
    if (a == nullptr || a->release == nullptr) return "child missing or released";
    if (a->length != length) return "child length differs from its batch";
    if (a->offset != 0) return "child offset not 0";
    if (a->n_children != 0 || a->dictionary != nullptr) return "child has children";
    if (a->buffers == nullptr) return "child without buffers";
    const bool text = format == "u" || format == "U";
    if (a->n_buffers != (text ? 3 : 2)) return "wrong n_buffers for " + format;
    if (a->buffers[1] == nullptr) return "no offsets or values";
    const uint8_t *valid = static_cast<const uint8_t *>(a->buffers[0]);
    int64_t nulls = 0;
    for (int64_t i = 0; i < length; ++i)
        if (valid != nullptr && !(valid[i >> 3] & (1u << (i & 7)))) ++nulls;
    if (a->null_count != nulls) return "null_count does not match the validity bitmap";
    c->null_counts[col] += nulls;
    if (text) {
        if (nulls != 0 || valid != nullptr) return "text column with nulls";
        const bool large = format == "U";
        auto off = [&](int64_t i) -> int64_t {
            return large ? static_cast<const int64_t *>(a->buffers[1])[i]
                         : static_cast<const int32_t *>(a->buffers[1])[i];
        };
        if (off(0) != 0) return "first offset not 0";
        const char *data = static_cast<const char *>(a->buffers[2]);
        if (off(length) > 0 && data == nullptr) return "no text data";
        for (int64_t i = 0; i < length; ++i) {
            if (off(i + 1) < off(i)) return "offsets not monotone";
            const unsigned char *s = reinterpret_cast<const unsigned char *>(data) + off(i);
            const size_t n = static_cast<size_t>(off(i + 1) - off(i));
            if (!valid_utf8(s, n)) return "text not well-formed UTF-8";
            c->cells[row0 + static_cast<size_t>(i)][col] = std::string(reinterpret_cast<const char *>(s), n);
        }
        return "";
    }
    for (int64_t i = 0; i < length; ++i) {
        std::string &out = c->cells[row0 + static_cast<size_t>(i)][col];
        if (valid != nullptr && !(valid[i >> 3] & (1u << (i & 7)))) {
            out = "<null>";
            continue;
        }
        if (format == "l") {
            const int64_t v = static_cast<const int64_t *>(a->buffers[1])[i];
            out = std::to_string(v);
            c->numbers[col].push_back(static_cast<double>(v));
        } else {
            const double v = static_cast<const double *>(a->buffers[1])[i];
            out = render_double(v);
            c->numbers[col].push_back(v);
        }
    }
    return "";
}

// Reads the schema and every batch, releases them and the stream.
inline Collected collect(ArrowArrayStream *s) {
    Collected c;
    auto fail = [&](const std::string &why) {
        if (c.problem.empty()) c.problem = why;
    };
    ArrowSchema schema;
    if (s->get_schema(s, &schema) != 0) {
        fail(std::string("get_schema failed: ") + (s->get_last_error(s) ? s->get_last_error(s) : ""));
        s->release(s);
        return c;
    }
    if (schema.release == nullptr || strcmp(schema.format, "+s") != 0 || schema.dictionary != nullptr)
        fail("top schema is not a struct");
    const size_t k = static_cast<size_t>(schema.n_children);
    for (size_t i = 0; i < k; ++i) {
        const ArrowSchema *f = schema.children[i];
        if (f == nullptr || f->release == nullptr || f->format == nullptr || f->name == nullptr) {
            fail("bad field");
            continue;
        }
        const std::string fmt = f->format;
        if (fmt != "u" && fmt != "U" && fmt != "l" && fmt != "g") fail("unexpected format " + fmt);
        if (f->n_children != 0 || f->dictionary != nullptr) fail("field has children");
        if (!valid_utf8(reinterpret_cast<const unsigned char *>(f->name), strlen(f->name)))
            fail("name not UTF-8");
        c.names.push_back(f->name);
        c.formats.push_back(fmt);
    }
    schema.release(&schema);
    if (schema.release != nullptr) fail("schema release left release set");
    c.numbers.resize(k);
    c.null_counts.assign(k, 0);

    for (;;) {
        ArrowArray a;
        memset(&a, 0x5A, sizeof a);
        if (s->get_next(s, &a) != 0) {
            fail("get_next failed");
            break;
        }
        if (a.release == nullptr) break;  // the end
        ++c.n_batches;
        if (a.length <= 0) fail("empty batch");
        if (a.offset != 0 || a.null_count != 0 || a.n_buffers != 1 || a.buffers == nullptr ||
            a.buffers[0] != nullptr || a.dictionary != nullptr)
            fail("batch is not a plain struct array");
        if (a.n_children != static_cast<int64_t>(k)) fail("batch children differ from the schema");
        const size_t row0 = c.cells.size();
        c.cells.resize(row0 + static_cast<size_t>(a.length > 0 ? a.length : 0),
                       std::vector<std::string>(k));
        for (size_t i = 0; i < k && a.n_children == static_cast<int64_t>(k); ++i) {
            std::string why = check_column(c.formats[i], a.children[i], a.length, i, row0, &c);
            if (!why.empty()) fail(why + " (column " + std::to_string(i) + ")");
        }
        a.release(&a);
        if (a.release != nullptr) fail("array release left release set");
    }
    s->release(s);
    if (s->release != nullptr) fail("stream release left release set");
    return c;
}

// The strings of a JSON array of arrays or objects (values in key order).
inline std::vector<std::vector<std::string>> json_rows(const char *json) {
    std::vector<std::vector<std::string>> out;
    if (json == nullptr) return out;
    yyjson_doc *doc = yyjson_read(json, strlen(json), 0);
    yyjson_val *arr = yyjson_doc_get_root(doc);
    size_t i, n;
    yyjson_val *row;
    yyjson_arr_foreach(arr, i, n, row) {
        std::vector<std::string> r;
        yyjson_obj_iter it = yyjson_obj_iter_with(row);
        for (yyjson_val *key; (key = yyjson_obj_iter_next(&it)) != nullptr;) {
            yyjson_val *v = yyjson_obj_iter_get_val(key);
            r.emplace_back(yyjson_get_str(v), yyjson_get_len(v));
        }
        out.push_back(r);
    }
    yyjson_doc_free(doc);
    return out;
}

inline std::vector<std::vector<std::string>> rows_of(int h) { return json_rows(csv_rows(h, 0, -1)); }

inline std::vector<std::vector<std::string>> select_of(int h, const char *cols) {
    return json_rows(csv_select(h, cols));
}

inline std::vector<std::string> headers_of(int h) {
    std::vector<std::string> out;
    const char *json = csv_headers(h);
    yyjson_doc *doc = yyjson_read(json, strlen(json), 0);
    size_t i, n;
    yyjson_val *v;
    yyjson_arr_foreach(yyjson_doc_get_root(doc), i, n, v) out.emplace_back(yyjson_get_str(v), yyjson_get_len(v));
    yyjson_doc_free(doc);
    return out;
}

}  // namespace varrow
