// Properties checked by the fuzz targets: every answer of the library is
// compared with the reference models of fuzz_models.h, JSON answers are
// parsed back and counted, and failures must carry their messages.
//
// Used by the libFuzzer targets in this directory and by
// tests/test_reliability.cpp, which replays fuzz/corpus/<target>/ through
// the same checks in the ordinary test build.
//
// Every check returns "" when all properties hold, else a description of
// the first one that failed.
#pragma once

#include <errno.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include <yyjson.h>

#include "csv_internal.h"
#include "fuzz_models.h"
#include "../tests/arrow_check.h"

namespace vfuzz {

#define VF_CHECK(cond, what)                                                    \
    do {                                                                        \
        if (!(cond)) {                                                          \
            std::ostringstream vf_os;                                           \
            vf_os << __FILE__ << ":" << __LINE__ << ": " << #cond << ": " << what; \
            return vf_os.str();                                                 \
        }                                                                       \
    } while (0)

#define VF_TRY(expr)                                                            \
    do {                                                                        \
        std::string vf_err = (expr);                                            \
        if (!vf_err.empty()) return vf_err;                                     \
    } while (0)

// The calling thread's message as the library would store it: at most 511 bytes.
inline std::string stored_msg(const std::string &m) { return m.substr(0, CSV_ERR_SIZE - 1); }

// A copy of `s` in a heap block of exactly its size, so that the address
// sanitizer sees any read past the end.
struct ExactBuf {
    char *p;
    explicit ExactBuf(const Bytes &s) : p(static_cast<char *>(malloc(s.size() ? s.size() : 1))) {
        if (!s.empty()) memcpy(p, s.data(), s.size());
    }
    ~ExactBuf() { free(p); }
    ExactBuf(const ExactBuf &) = delete;
    ExactBuf &operator=(const ExactBuf &) = delete;
};

/* ---- tables --------------------------------------------------------------- */

inline std::string check_cell_ref(const csv_table &t, const csv_cell &c, const char *what) {
    if (c.length == 0) {
        VF_CHECK(c.offset == 0, what << ": empty text not stored as the all-zero cell");
        return "";
    }
    VF_CHECK(t.blob != nullptr, what << ": text without a blob");
    // `c` is the table's own cell: its segment gives where its offset counts from.
    const uint64_t at = static_cast<uint64_t>(csv_cell_text(&t, &c) - t.blob);
    VF_CHECK(at >= 1 && at + c.length + 1 <= t.blob_len,
             what << ": reference " << at << "+" << c.length << " outside blob_len " << t.blob_len);
    VF_CHECK(t.blob[at + c.length] == '\0', what << ": text not followed by NUL");
    return "";
}

// Storage invariants of a loaded table.
inline std::string check_invariants(const csv_table &t) {
    VF_CHECK(t.in_use == 1, "in_use " << t.in_use);
    VF_CHECK(t.header_line == 0, "header_line set by a load");
    VF_CHECK(t.n_cols >= 0 && t.n_rows >= 0, "negative counts");
    VF_CHECK(t.n_rows <= t.row_cap, "n_rows " << t.n_rows << " above row_cap " << t.row_cap);
    VF_CHECK(t.n_cols == 0 || t.headers != nullptr, "columns without header array");
    VF_CHECK(t.n_rows == 0 || t.cells != nullptr, "rows without cell array");
    VF_CHECK(t.blob_len <= t.blob_cap, "blob sizes");
    if (t.segments != nullptr) {
        VF_CHECK(t.n_segments >= 1 && t.n_segments <= t.segment_cap && t.segments[0].first_row == 0,
                 "segment array");
        for (int64_t k = 1; k < t.n_segments; ++k)
            VF_CHECK(t.segments[k].first_row >= t.segments[k - 1].first_row, "segments out of order");
    }
    VF_CHECK(t.blob != nullptr || t.blob_len == 0, "blob_len without blob");
    if (t.blob != nullptr) VF_CHECK(t.blob_len >= 1 && t.blob[0] == '\0', "blob must start with NUL");
    VF_CHECK(t.n_samples >= 0 && t.n_samples <= CSV_MAX_SAMPLES, "n_samples " << t.n_samples);
    for (int32_t c = 0; c < t.n_cols; ++c) VF_TRY(check_cell_ref(t, t.headers[c], "header"));
    VF_CHECK(t.col_cap == 0 || t.col_cap >= t.n_cols, "col_cap " << t.col_cap << " below n_cols");
    if (t.row_start != nullptr) {
        // Ragged: rows follow one another, none wider than the table.
        VF_CHECK(t.row_start[0] == 0, "first row does not start the cells");
        for (int64_t r = 0; r < t.n_rows; ++r) {
            const int64_t w = t.row_start[r + 1] - t.row_start[r];
            VF_CHECK(w >= 0 && w <= t.n_cols, "row " << r << " holds " << w << " cells");
        }
        VF_CHECK(t.row_start[t.n_rows] <= t.cell_cap, "cells past cell_cap");
    }
    const csv_body_view body = csv_body_of(&t);
    for (int64_t r = 0; r < t.n_rows; ++r) {
        for (int32_t c = 0; c < t.n_cols; ++c) VF_TRY(check_cell_ref(t, *body.at(r, c), "cell"));
        if (t.row_start != nullptr) continue;
        const int64_t stride = csv_row_stride(&t);
        for (int64_t c = t.n_cols; c < stride; ++c) {
            const csv_cell &x = t.cells[r * stride + c];
            VF_CHECK(x.offset == 0 && x.length == 0, "room past n_cols in row " << r << " not empty");
        }
    }
    return "";
}

inline std::string compare_table(const csv_table &t, const Model &m) {
    VF_CHECK(static_cast<size_t>(t.n_cols) == m.headers.size(),
             "n_cols " << t.n_cols << ", expected " << m.headers.size());
    VF_CHECK(static_cast<size_t>(t.n_rows) == m.rows.size(),
             "n_rows " << t.n_rows << ", expected " << m.rows.size());
    for (int32_t c = 0; c < t.n_cols; ++c)
        VF_CHECK(header_of(t, c) == m.headers[c],
                 "header " << c << " " << show(header_of(t, c)) << ", expected " << show(m.headers[c]));
    for (int64_t r = 0; r < t.n_rows; ++r)
        for (int32_t c = 0; c < t.n_cols; ++c)
            VF_CHECK(cell_of(t, r, c) == m.rows[r][c], "cell (" << r << "," << c << ") "
                                                               << show(cell_of(t, r, c)) << ", expected "
                                                               << show(m.rows[r][c]));
    VF_CHECK(t.ragged == m.ragged, "ragged " << t.ragged << ", expected " << m.ragged);
    VF_CHECK(t.blank == m.blank, "blank " << t.blank << ", expected " << m.blank);
    VF_CHECK(t.unterminated_quote == m.unterminated, "unterminated_quote " << t.unterminated_quote);
    VF_CHECK(t.unterminated_row == m.unterminated_row,
             "unterminated_row " << t.unterminated_row << ", expected " << m.unterminated_row);
    VF_CHECK(t.truncated_utf16 == m.truncated, "truncated_utf16 " << t.truncated_utf16);
    VF_CHECK(t.expected_cols == m.expected_cols,
             "expected_cols " << t.expected_cols << ", expected " << m.expected_cols);
    VF_CHECK(static_cast<size_t>(t.n_samples) == m.samples.size(),
             "n_samples " << t.n_samples << ", expected " << m.samples.size());
    for (int32_t i = 0; i < t.n_samples; ++i) {
        const csv_warning &w = t.samples[i];
        const Sample &s = m.samples[i];
        VF_CHECK((Sample{w.kind, w.row, w.expected, w.actual} == s),
                 "sample " << i << " (" << w.kind << "," << w.row << "," << w.expected << "," << w.actual
                           << "), expected (" << s.kind << "," << s.row << "," << s.expected << ","
                           << s.actual << ")");
    }
    return "";
}

/* ---- CSV writer ----------------------------------------------------------- */

// Runs the writer into memory; -1 when it failed.
inline int run_writer(const csv_table &t, Bytes *out) {
    char *buf = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&buf, &size);
    if (f == nullptr) return -1;
    int rc = csv_emit_csv_fp(&t, f);
    fclose(f);
    out->assign(buf, size);
    free(buf);
    return rc;
}

/* The writer's text must parse back to the same cells where that is
 * possible at all. It always writes commas and LF and quotes a field only
 * when it holds LF, CR, a quote or a comma, so every line has exactly
 * n_cols fields and quoted text comes back unchanged. Excluded:
 *  - tables without columns or (for the body alone) without rows: nothing
 *    or only a header is written, and no column count can come back;
 *  - text written first that begins with EF BB BF: a reader takes those
 *    bytes at the start of the input for a byte order mark and drops them.
 * Rows of a single empty cell become empty lines; they still come back as
 * rows of one empty cell (with a blank-line warning), so they stay in. */
inline std::string check_writer(const csv_table &t) {
    for (int header_line = 0; header_line <= 1; ++header_line) {
        csv_table view = t;  // same arrays; only the header flag differs
        view.header_line = static_cast<uint32_t>(header_line);
        Bytes got;
        VF_CHECK(run_writer(view, &got) == 0, "writer failed");
        Bytes want = writer_model(t, header_line != 0);
        VF_CHECK(got == want, "writer wrote " << show(got) << ", expected " << show(want));

        if (t.n_cols == 0 || (!header_line && t.n_rows == 0)) continue;
        const Bytes first = header_line ? header_of(t, 0) : cell_of(t, 0, 0);
        if (starts_with_bom(first)) continue;
        csv_table back{};
        VF_CHECK(csv_table_parse(&back, got.data(), got.size(), header_line) == 0, "re-parse failed");
        std::string err;
        if (back.n_cols != t.n_cols || back.n_rows != t.n_rows) {
            err = "round trip changed the shape";
        } else {
            for (int32_t c = 0; header_line && c < t.n_cols && err.empty(); ++c)
                if (header_of(back, c) != header_of(t, c)) err = "round trip changed header " + std::to_string(c);
            for (int64_t r = 0; r < t.n_rows && err.empty(); ++r)
                for (int32_t c = 0; c < t.n_cols && err.empty(); ++c)
                    if (cell_of(back, r, c) != cell_of(t, r, c))
                        err = "round trip changed cell " + std::to_string(r) + "," + std::to_string(c);
        }
        csv_table_free(&back);
        VF_CHECK(err.empty(), err << " of written text " << show(got));
    }
    return "";
}

/* ---- JSON ----------------------------------------------------------------- */

struct Doc {
    yyjson_doc *d = nullptr;
    Doc() = default;
    Doc(const Doc &) = delete;
    Doc &operator=(const Doc &) = delete;
    ~Doc() { yyjson_doc_free(d); }
    yyjson_val *root() const { return yyjson_doc_get_root(d); }
};

// Parses a result text; the reader also refuses text that is not UTF-8.
inline std::string parse_json(const char *text, Doc *doc, const char *what) {
    VF_CHECK(text != nullptr, what << " returned null: " << csv_last_error());
    VF_CHECK(csv_last_error()[0] == '\0', what << " succeeded with message " << csv_last_error());
    yyjson_read_err err;
    doc->d = yyjson_read_opts(const_cast<char *>(text), strlen(text), 0, nullptr, &err);
    VF_CHECK(doc->d != nullptr, what << " gave text that is not JSON (" << err.msg << "): " << show(text));
    return "";
}

inline Bytes jstr(yyjson_val *v) { return Bytes(yyjson_get_str(v), yyjson_get_len(v)); }

inline std::string check_headers_doc(const csv_table &t, yyjson_val *root) {
    VF_CHECK(yyjson_is_arr(root) && yyjson_arr_size(root) == static_cast<size_t>(t.n_cols),
             "headers document is not an array of n_cols strings");
    yyjson_arr_iter it = yyjson_arr_iter_with(root);
    for (int32_t c = 0; c < t.n_cols; ++c) {
        yyjson_val *v = yyjson_arr_iter_next(&it);
        VF_CHECK(yyjson_is_str(v) && jstr(v) == shown(header_of(t, c)),
                 "header " << c << " shown as " << show(jstr(v)));
    }
    return "";
}

// A rows document: one object per listed row, one member per listed column
// (duplicates kept: members are counted, not looked up by key).
inline std::string check_rows_doc(const csv_table &t, yyjson_val *root, const std::vector<int64_t> &rows,
                                  const std::vector<int32_t> &cols, const char *what) {
    VF_CHECK(yyjson_is_arr(root), what << ": not an array");
    VF_CHECK(yyjson_arr_size(root) == rows.size(),
             what << ": " << yyjson_arr_size(root) << " rows, expected " << rows.size());
    yyjson_arr_iter rows_it = yyjson_arr_iter_with(root);  // arr_get is linear here
    for (size_t p = 0; p < rows.size(); ++p) {
        yyjson_val *obj = yyjson_arr_iter_next(&rows_it);
        VF_CHECK(yyjson_is_obj(obj) && yyjson_obj_size(obj) == cols.size(),
                 what << ": row " << p << " has " << yyjson_obj_size(obj) << " members, expected " << cols.size());
        yyjson_obj_iter it = yyjson_obj_iter_with(obj);
        for (size_t j = 0; j < cols.size(); ++j) {
            yyjson_val *key = yyjson_obj_iter_next(&it);
            yyjson_val *val = yyjson_obj_iter_get_val(key);
            const Bytes want_key = shown(header_of(t, cols[j]));
            const Bytes want_val = shown(cell_of(t, rows[p], cols[j]));
            VF_CHECK(jstr(key) == want_key, what << ": row " << p << " member " << j << " key " << show(jstr(key))
                                                 << ", expected " << show(want_key));
            VF_CHECK(yyjson_is_str(val) && jstr(val) == want_val,
                     what << ": row " << p << " (table row " << rows[p] << ") member " << j << " value "
                          << show(jstr(val)) << ", expected " << show(want_val));
        }
    }
    return "";
}

inline std::vector<int32_t> all_cols(const csv_table &t) {
    std::vector<int32_t> v;
    for (int32_t c = 0; c < t.n_cols; ++c) v.push_back(c);
    return v;
}

inline std::vector<int64_t> row_range(int64_t from, int64_t to) {
    std::vector<int64_t> v;
    for (int64_t r = from; r < to; ++r) v.push_back(r);
    return v;
}

inline std::string expect_null(const char *got, const std::string &msg, const char *what) {
    VF_CHECK(got == nullptr, what << " succeeded, expected failure " << show(msg));
    VF_CHECK(csv_last_error() == stored_msg(msg), what << " message " << show(csv_last_error()) << ", expected "
                                                       << show(stored_msg(msg)));
    return "";
}

// A statistics figure: a real equal to the model's, or null where the
// model's figure is not finite (JSON has no number for it).
inline bool figure_matches(yyjson_val *v, double want) {
    if (!isfinite(want)) return yyjson_is_null(v);
    return yyjson_is_real(v) && same_double(yyjson_get_real(v), want);
}

inline std::string check_stats_doc(const csv_table &t, const char *text) {
    std::vector<ColStats> want;
    for (int32_t c = 0; c < t.n_cols; ++c) want.push_back(stats_model(t, c));
    Doc doc;
    VF_TRY(parse_json(text, &doc, "csv_stats"));
    yyjson_val *root = doc.root();
    VF_CHECK(yyjson_is_obj(root) && yyjson_obj_size(root) == 3, "stats root");
    yyjson_obj_iter it = yyjson_obj_iter_with(root);
    yyjson_val *k = yyjson_obj_iter_next(&it);
    VF_CHECK(jstr(k) == "row_count" && yyjson_get_sint(yyjson_obj_iter_get_val(k)) == t.n_rows, "row_count");
    k = yyjson_obj_iter_next(&it);
    VF_CHECK(jstr(k) == "col_count" && yyjson_get_sint(yyjson_obj_iter_get_val(k)) == t.n_cols, "col_count");
    k = yyjson_obj_iter_next(&it);
    yyjson_val *cols = yyjson_obj_iter_get_val(k);
    VF_CHECK(jstr(k) == "columns" && yyjson_is_arr(cols) && yyjson_arr_size(cols) == static_cast<size_t>(t.n_cols),
             "columns");
    yyjson_arr_iter cols_it = yyjson_arr_iter_with(cols);
    for (int32_t c = 0; c < t.n_cols; ++c) {
        const ColStats &s = want[c];
        yyjson_val *o = yyjson_arr_iter_next(&cols_it);
        VF_CHECK(yyjson_is_obj(o) && yyjson_obj_size(o) == (s.numeric ? 8u : 5u),
                 "column " << c << " has " << yyjson_obj_size(o) << " members");
        yyjson_obj_iter ci = yyjson_obj_iter_with(o);
        auto next = [&](const char *key) {
            yyjson_val *kk = yyjson_obj_iter_next(&ci);
            return jstr(kk) == key ? yyjson_obj_iter_get_val(kk) : nullptr;
        };
        yyjson_val *v = next("name");
        VF_CHECK(yyjson_is_str(v) && jstr(v) == shown(header_of(t, c)), "column " << c << " name");
        v = next("count");
        VF_CHECK(yyjson_is_int(v) && yyjson_get_sint(v) == s.count, "column " << c << " count");
        v = next("nulls");
        VF_CHECK(yyjson_is_int(v) && yyjson_get_sint(v) == s.nulls, "column " << c << " nulls");
        v = next("unique");
        VF_CHECK(yyjson_is_int(v) && yyjson_get_sint(v) == s.unique,
                 "column " << c << " unique " << yyjson_get_sint(v) << ", expected " << s.unique);
        VF_CHECK(s.count + s.nulls == t.n_rows, "count + nulls");
        v = next("numeric");
        VF_CHECK(yyjson_is_bool(v) && yyjson_get_bool(v) == s.numeric, "column " << c << " numeric");
        if (!s.numeric) continue;
        v = next("min");
        VF_CHECK(figure_matches(v, s.min),
                 "column " << c << " min " << yyjson_get_real(v) << ", expected " << s.min);
        v = next("max");
        VF_CHECK(figure_matches(v, s.max),
                 "column " << c << " max " << yyjson_get_real(v) << ", expected " << s.max);
        v = next("mean");
        VF_CHECK(figure_matches(v, s.mean),
                 "column " << c << " mean " << yyjson_get_real(v) << ", expected " << s.mean);
    }
    return "";
}

inline std::string check_warnings_doc(const csv_table &t, const char *text, int count) {
    Doc doc;
    VF_TRY(parse_json(text, &doc, "csv_parse_warnings"));
    const int64_t total = t.ragged + t.blank + (t.unterminated_quote ? 1 : 0) + (t.truncated_utf16 ? 1 : 0);
    VF_CHECK(count == (total > INT_MAX ? INT_MAX : total), "csv_parse_warning_count " << count);
    static const char *const names[] = {"", "ragged", "blank", "unterminated_quote", "truncated_utf16"};
    auto sample_ok = [&](yyjson_val *o, const csv_warning &w) {
        const char *name = static_cast<unsigned>(w.kind) <= 4 ? names[w.kind] : "";
        if (!yyjson_is_obj(o) || yyjson_obj_size(o) != 4) return false;
        yyjson_obj_iter si = yyjson_obj_iter_with(o);
        yyjson_val *k = yyjson_obj_iter_next(&si);
        if (jstr(k) != "kind" || jstr(yyjson_obj_iter_get_val(k)) != name) return false;
        k = yyjson_obj_iter_next(&si);
        if (jstr(k) != "row" || yyjson_get_sint(yyjson_obj_iter_get_val(k)) != w.row) return false;
        k = yyjson_obj_iter_next(&si);
        if (jstr(k) != "expected" || yyjson_get_sint(yyjson_obj_iter_get_val(k)) != w.expected) return false;
        k = yyjson_obj_iter_next(&si);
        return jstr(k) == "actual" && yyjson_get_sint(yyjson_obj_iter_get_val(k)) == w.actual;
    };
    yyjson_val *root = doc.root();
    const size_t members = t.unterminated_quote ? 9 : 8;
    VF_CHECK(yyjson_is_obj(root) && yyjson_obj_size(root) == members, "warnings root: " << show(text));
    yyjson_obj_iter it = yyjson_obj_iter_with(root);
    auto next = [&](const char *key) {
        yyjson_val *kk = yyjson_obj_iter_next(&it);
        return jstr(kk) == key ? yyjson_obj_iter_get_val(kk) : nullptr;
    };
    VF_CHECK(yyjson_get_sint(next("count")) == total, "warnings count: " << show(text));
    VF_CHECK(yyjson_get_sint(next("ragged")) == t.ragged, "warnings ragged");
    VF_CHECK(yyjson_get_sint(next("blank")) == t.blank, "warnings blank");
    yyjson_val *v = next("unterminated_quote");
    VF_CHECK(yyjson_is_bool(v) && yyjson_get_bool(v) == (t.unterminated_quote != 0), "unterminated_quote");
    v = next("truncated_utf16");
    VF_CHECK(yyjson_is_bool(v) && yyjson_get_bool(v) == (t.truncated_utf16 != 0), "truncated_utf16");
    VF_CHECK(yyjson_get_sint(next("expected_cols")) == t.expected_cols, "expected_cols");
    if (t.unterminated_quote) VF_CHECK(yyjson_get_sint(next("unterminated_row")) == t.unterminated_row, "unterminated_row");
    v = next("first");
    if (t.n_samples <= 0) {
        VF_CHECK(yyjson_is_null(v), "first should be null");
    } else {
        VF_CHECK(sample_ok(v, t.samples[0]), "first sample: " << show(text));
    }
    v = next("samples");
    VF_CHECK(yyjson_is_arr(v) && yyjson_arr_size(v) == static_cast<size_t>(std::max(t.n_samples, 0)), "samples");
    for (int32_t i = 0; i < t.n_samples; ++i)
        VF_CHECK(sample_ok(yyjson_arr_get(v, static_cast<size_t>(i)), t.samples[i]), "sample " << i);
    return "";
}

/* ---- target: UTF-8 repair ------------------------------------------------- */

inline std::string check_utf8(const uint8_t *data, size_t size) {
    const Bytes in(reinterpret_cast<const char *>(data), size);
    ExactBuf buf(in);
    uint64_t out_len = 12345;
    int32_t must_free = 7;
    const char *out = csv_utf8_sanitize(buf.p, size, &out_len, &must_free);
    VF_CHECK(out != nullptr, "null result");
    if (is_utf8(in)) {
        VF_CHECK(out == buf.p && must_free == 0 && out_len == size, "well-formed text was not handed back as it is");
        return "";
    }
    VF_CHECK(must_free == 1 && out != buf.p, "ill-formed text came back unrepaired");
    const Bytes got(out, out_len);
    const bool terminated = out[out_len] == '\0';
    csv_free(const_cast<char *>(out));
    VF_CHECK(terminated, "repaired text not NUL-terminated");
    VF_CHECK(out_len <= 2 * size, "repaired text longer than twice the input");
    VF_CHECK(is_utf8(got), "repaired text is not UTF-8: " << show(got));
    const Bytes want = utf8_repair_model(in);
    VF_CHECK(got == want, "repair of " << show(in) << " gave " << show(got) << ", expected " << show(want));
    // The same answer without the optional out-parameters.
    const char *again = csv_utf8_sanitize(buf.p, size, nullptr, nullptr);
    VF_CHECK(again != buf.p && memcmp(again, want.data(), want.size()) == 0, "result depends on out-parameters");
    csv_free(const_cast<char *>(again));
    return "";
}

/* ---- target: UTF-16 transcoding ------------------------------------------- */

// First byte: bit 0 big-endian, bits 1-3 the skip count; the rest is data.
inline std::string check_utf16(const uint8_t *data, size_t size) {
    if (size == 0) return "";
    const bool be = data[0] & 1;
    const uint64_t skip = (data[0] >> 1) & 7;
    const Bytes in(reinterpret_cast<const char *>(data + 1), size - 1);
    ExactBuf buf(in);
    char *out = reinterpret_cast<char *>(1);
    uint64_t out_len = 99;
    int32_t odd = 5;
    int rc = csv_utf16_to_utf8(reinterpret_cast<const unsigned char *>(buf.p), in.size(), be, skip, &out, &out_len,
                               &odd);
    VF_CHECK(rc == 0 && out != nullptr, "transcoding failed: " << csv_last_error());
    const Bytes got(out, out_len);
    const bool terminated = out[out_len] == '\0';
    csv_free(out);
    int want_odd = 0;
    const Bytes want = utf16_model(in, be, skip, &want_odd);
    VF_CHECK(terminated, "output not NUL-terminated");
    VF_CHECK(odd == want_odd, "odd flag " << odd);
    VF_CHECK(got == want, "decoded " << show(got) << ", expected " << show(want));
    VF_CHECK(is_utf8(got), "output is not UTF-8");
    VF_CHECK(got.find('\0') == Bytes::npos, "output holds a NUL");
    VF_CHECK(2 * got.size() <= 3 * in.size(), "output above 1.5 bytes per input byte");
    return "";
}

/* ---- target: delimiter detection ------------------------------------------ */

// First byte: the start position (0..7); the rest is the text.
inline std::string check_detect(const uint8_t *data, size_t size) {
    if (size == 0) return "";
    const uint64_t start = data[0] & 7;
    const Bytes in(reinterpret_cast<const char *>(data + 1), size - 1);
    ExactBuf buf(in);
    int got = csv_detect_delimiter(buf.p, in.size(), start);
    int want = start >= in.size() ? ',' : detect_model(in, start);
    VF_CHECK(got == want, "detected " << got << ", expected " << want << " for " << show(in));
    VF_CHECK(csv_detect_delimiter(nullptr, in.size(), 0) == ',', "null data");
    return "";
}

/* ---- target: numeric test ------------------------------------------------- */

inline std::string check_numeric(const uint8_t *data, size_t size) {
    const Bytes in(reinterpret_cast<const char *>(data), size);
    ExactBuf buf(in);
    double got = -7.25, want = 0;
    int r = csv_is_numeric_field(buf.p, size, &got);
    int w = numeric_model(buf.p, size, &want);
    VF_CHECK(r == w, "numeric " << r << ", expected " << w << " for " << show(in));
    if (w) VF_CHECK(same_double(got, want), "value " << got << ", expected " << want << " for " << show(in));
    else VF_CHECK(got == -7.25, "value written for a text that is not a number");
    VF_CHECK(csv_is_numeric_field(buf.p, size, nullptr) == w, "result depends on the out-parameter");
    return "";
}

/* ---- target: record parser ------------------------------------------------ */

struct ProgressLog {
    std::vector<std::array<int64_t, 3>> calls;
    int cancel_at = -1;  // index of the call that cancels, -1 never
};

inline int progress_record(uint64_t done, int64_t total, int64_t rows, void *user_data) {
    auto *log = static_cast<ProgressLog *>(user_data);
    log->calls.push_back({static_cast<int64_t>(done), total, rows});
    return static_cast<int>(log->calls.size()) - 1 == log->cancel_at ? 1 : 0;
}

inline std::string check_progress(const ProgressLog &log, int64_t len, int64_t total, int64_t rows) {
    VF_CHECK(!log.calls.empty(), "no final progress call");
    const auto &last = log.calls.back();
    VF_CHECK(last[0] == len && last[1] == total && last[2] == rows,
             "final progress call (" << last[0] << "," << last[1] << "," << last[2] << "), expected (" << len << ","
                                     << total << "," << rows << ")");
    for (size_t i = 1; i < log.calls.size(); ++i)
        VF_CHECK(log.calls[i][0] >= log.calls[i - 1][0] && log.calls[i][2] >= log.calls[i - 1][2],
                 "progress went backwards");
    return "";
}

inline unsigned parse_delimiter(uint8_t sel, uint8_t raw) {
    switch (sel & 7) {
        case 0: return ',';
        case 1: return '\t';
        case 2: return ';';
        case 3: return '|';
        case 4: return raw;          // any byte; 0 falls back to the comma
        case 5: return '"';
        case 6: return raw & 1 ? '\n' : '\r';
        default: return 256u + raw;  // out of range: the comma
    }
}

// First byte: bit 0 header, bits 1-3 delimiter choice, bit 7 a total_len
// of 1000; second byte: the raw delimiter; the rest is the input.
inline std::string check_parse(const uint8_t *data, size_t size) {
    if (size < 2) return "";
    const bool has_header = data[0] & 1;
    const unsigned delim = parse_delimiter(static_cast<uint8_t>(data[0] >> 1), data[1]);
    const Bytes in(reinterpret_cast<const char *>(data + 2), size - 2);
    ExactBuf buf(in);

    ProgressLog log;
    csv_parse_opts opts{};
    opts.delimiter = delim;
    opts.progress = progress_record;
    opts.user_data = &log;
    opts.total_len = (data[0] & 0x80) ? 1000 : 0;
    csv_table t{};
    csv_clear_error();
    VF_CHECK(csv_table_parse_ex(&t, buf.p, in.size(), has_header, &opts) == 0, "parse failed: " << csv_last_error());
    std::string err = check_invariants(t);
    if (err.empty()) err = compare_table(t, parse_model(in, has_header, delim));
    if (err.empty()) {
        const int64_t len = static_cast<int64_t>(in.size());
        err = check_progress(log, len, opts.total_len > 0 ? opts.total_len : len, t.n_rows);
    }
    if (err.empty() && t.n_cols > 0) err = check_writer(t);
    csv_table_free(&t);
    VF_TRY(err);

    // The loaders' path: the parser takes over a block of exactly the
    // input's size and parses it in place, to the same table.
    if (!in.empty()) {
        char *owned = static_cast<char *>(csv_malloc(in.size()));
        VF_CHECK(owned != nullptr, "no memory for the owned input");
        memcpy(owned, in.data(), in.size());
        ProgressLog owned_log;
        opts.user_data = &owned_log;
        csv_table o{};
        VF_CHECK(csv_table_parse_owned(&o, owned, in.size(), has_header, &opts) == 0,
                 "owned parse failed: " << csv_last_error());
        err = check_invariants(o);
        if (err.empty()) err = compare_table(o, parse_model(in, has_header, delim));
        if (err.empty() && owned_log.calls != log.calls) err = "owned parse made other progress calls";
        csv_table_free(&o);
        opts.user_data = &log;
        if (!err.empty()) return "owned parse: " + err;
    }

    // Cancelling at the final call still fails the parse and frees it all.
    ProgressLog cancel;
    cancel.cancel_at = static_cast<int>(log.calls.size()) - 1;
    opts.user_data = &cancel;
    csv_table c{};
    VF_CHECK(csv_table_parse_ex(&c, buf.p, in.size(), has_header, &opts) == -1, "cancelled parse succeeded");
    VF_CHECK(strcmp(csv_last_error(), "cancelled by progress callback") == 0, "message " << csv_last_error());
    static const csv_table zero{};
    VF_CHECK(memcmp(&c, &zero, sizeof c) == 0, "cancelled parse left the record non-zero");
    return "";
}

/* ---- target: the exported interface -------------------------------------- */

inline const std::string &api_temp_path() {
    // Memory-backed /dev/shm where there is one: rewriting a file in place
    // on a disk file system may wait for the disk at every close.
    static const std::string path = [] {
        const char *dir = getenv("TMPDIR");
        std::string base = dir && *dir ? dir : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        std::string tmpl = base + "/velmora-fuzz-XXXXXX";
        int fd = mkstemp(tmpl.data());
        if (fd < 0) abort();
        close(fd);
        static std::string keep;
        keep = tmpl;
        atexit([] { unlink(keep.c_str()); });
        return tmpl;
    }();
    return path;
}

inline bool write_file(const std::string &path, const Bytes &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

inline std::string check_loaded(int h, const Model &m, const char *what) {
    VF_CHECK(h >= 0 && h < CSV_MAX_HANDLES, what << " failed: " << csv_last_error());
    VF_CHECK(csv_last_error()[0] == '\0', what << " left message " << csv_last_error());
    const csv_table *t = csv_table_get(h);
    VF_CHECK(t != nullptr, what << ": handle " << h << " not in use");
    std::string err = check_invariants(*t);
    if (err.empty()) err = compare_table(*t, m);
    VF_CHECK(err.empty(), what << ": " << err);
    return "";
}

struct ApiParams {
    bool has_header = false;
    int delimiter = 0;
    int enc_index = 0;
    bool ci = false, desc = false;
    int offset = 0, limit = 0;
    uint8_t col_sel = 0;
    std::string query;
};

// Every query of a loaded table, checked against the models.
// The columnar export of any table agrees with the JSON answers: text mode
// cell for cell with csv_rows (and csv_select for a list), typed mode with
// the statistics' numeric rule and values; every struct keeps the
// interface's rules, in batches of a size the input picks.
inline std::string check_arrow(int h, const ApiParams &p) {
    const csv_table &t = *csv_table_get(h);
    struct limits_reset {
        ~limits_reset() { csv_arrow_test_limits(0, 0); }
    } reset;
    csv_arrow_test_limits(1 + p.col_sel % 5, p.col_sel & 0x80 ? 4 : 0);
    const auto rows = varrow::rows_of(h);
    for (int flags : {CSV_ARROW_TEXT, CSV_ARROW_TYPED, CSV_ARROW_TYPED | CSV_ARROW_NULL_MARKERS}) {
        ArrowArrayStream s;
        VF_CHECK(csv_arrow_stream(h, nullptr, flags, &s) == 0, "csv_arrow_stream: " << csv_last_error());
        const varrow::Collected got = varrow::collect(&s);
        VF_CHECK(got.problem.empty(), "arrow flags " << flags << ": " << got.problem);
        VF_CHECK(got.names == varrow::headers_of(h), "arrow names differ from csv_headers");
        VF_CHECK(got.cells.size() == rows.size(), "arrow rows " << got.cells.size() << " vs " << rows.size());
        for (int32_t c = 0; c < t.n_cols; ++c) {
            const std::string &f = got.formats[static_cast<size_t>(c)];
            if (flags == CSV_ARROW_TYPED)
                VF_CHECK((f == "l" || f == "g") == (csv_col_is_numeric(&t, c) != 0),
                         "arrow column " << c << " typed " << f << " against the numeric rule");
            size_t k = 0;
            for (size_t r = 0; r < rows.size(); ++r) {
                const std::string &cell = got.cells[r][static_cast<size_t>(c)];
                if (f == "u" || f == "U") {
                    VF_CHECK(cell == rows[r][static_cast<size_t>(c)], "arrow text differs from csv_rows at row "
                                 << r << " column " << c << ": " << show(cell));
                    continue;
                }
                const Bytes raw = cell_of(t, static_cast<int64_t>(r), c);
                double v = 0;
                if (!csv_is_numeric_field(raw.data(), raw.size(), &v)) {
                    VF_CHECK(cell == "<null>", "arrow non-number not null at row " << r << ": " << show(raw));
                    continue;
                }
                if (cell == "<null>") {
                    VF_CHECK(flags & CSV_ARROW_NULL_MARKERS, "arrow number null at row " << r << ": " << show(raw));
                    continue;  // a null marker
                }
                VF_CHECK(k < got.numbers[static_cast<size_t>(c)].size(), "arrow values missing");
                const double g = got.numbers[static_cast<size_t>(c)][k++];
                VF_CHECK(g == v || (isnan(g) && isnan(v)), "arrow value " << g << " vs " << v << " at row " << r);
            }
        }
    }
    // A column list: the same rows as csv_select, or the same failure.
    for (const std::string &list : {p.query, std::string("1,1")}) {
        const char *sel = csv_select(h, list.c_str());
        const std::string msg = sel == nullptr ? csv_last_error() : "";
        const auto want = varrow::json_rows(sel);
        ArrowArrayStream s;
        const int rc = csv_arrow_stream(h, list.c_str(), CSV_ARROW_TEXT, &s);
        if (!msg.empty()) {
            VF_CHECK(rc == -1 && msg == csv_last_error(), "arrow list " << show(list) << ": " << csv_last_error());
            continue;
        }
        VF_CHECK(rc == 0, "arrow list " << show(list) << " failed: " << csv_last_error());
        const varrow::Collected got = varrow::collect(&s);
        VF_CHECK(got.problem.empty(), "arrow list: " << got.problem);
        VF_CHECK(got.cells == want, "arrow list " << show(list) << " differs from csv_select");
    }
    return "";
}

inline std::string check_queries(int h, const ApiParams &p) {
    const csv_table &t = *csv_table_get(h);
    const int64_t n = t.n_rows;

    VF_CHECK(csv_row_count(h) == (n > INT_MAX ? INT_MAX : n), "csv_row_count");
    VF_CHECK(csv_col_count(h) == t.n_cols, "csv_col_count");
    {
        Doc doc;
        VF_TRY(parse_json(csv_headers(h), &doc, "csv_headers"));
        VF_TRY(check_headers_doc(t, doc.root()));
    }
    {
        Doc doc;
        VF_TRY(parse_json(csv_rows(h, 0, -1), &doc, "csv_rows"));
        VF_CHECK(yyjson_arr_size(doc.root()) == static_cast<size_t>(csv_row_count(h)), "rows vs csv_row_count");
        VF_TRY(check_rows_doc(t, doc.root(), row_range(0, n), all_cols(t), "csv_rows"));
    }
    const int windows[][2] = {{p.offset, p.limit}, {1, INT_MAX}, {INT_MIN, 1}, {INT_MAX, -1}, {0, 0}};
    for (const auto &w : windows) {
        int64_t start = w[0] < 0 ? 0 : std::min<int64_t>(w[0], n);
        int64_t end = w[1] < 0 ? n : std::min<int64_t>(start + w[1], n);
        Doc doc;
        VF_TRY(parse_json(csv_rows(h, w[0], w[1]), &doc, "csv_rows window"));
        VF_TRY(check_rows_doc(t, doc.root(), row_range(start, end), all_cols(t), "csv_rows window"));
    }

    // Column names: headers, numbers in and out of range, signs, spaces, the query.
    std::vector<std::string> names;
    for (int32_t c = 0; c < t.n_cols && c < 8; ++c) names.push_back(cut_nul(header_of(t, c)));
    for (int k = 0; k <= t.n_cols + 1 && k < 10; ++k) names.push_back(std::to_string(k));
    names.insert(names.end(), {"+1", " 1", "1 ", "01", "x", p.query});
    const std::string col = names[p.col_sel % names.size()];
    const int32_t c = resolve_model(t, col);

    for (int ci = 0; ci < 2; ++ci) {
        const std::string qs[] = {p.query, ""};
        for (const std::string &q : qs) {
            const char *got = csv_search(h, col.c_str(), q.c_str(), ci ? (p.ci ? 7 : 1) : 0);
            if (c < 0) {
                VF_TRY(expect_null(got, "unknown column: " + col, "csv_search"));
                continue;
            }
            std::vector<int64_t> want;
            for (int64_t r = 0; r < n; ++r)
                if (substr_model(cell_of(t, r, c), q, ci != 0)) want.push_back(r);
            Doc doc;
            VF_TRY(parse_json(got, &doc, "csv_search"));
            VF_TRY(check_rows_doc(t, doc.root(), want, all_cols(t), "csv_search"));
        }
    }
    for (int desc = 0; desc < 2; ++desc) {
        const char *got = csv_sort(h, col.c_str(), desc ? (p.desc ? -3 : 1) : 0);
        if (c < 0) {
            VF_TRY(expect_null(got, "unknown column: " + col, "csv_sort"));
            continue;
        }
        bool nan = false;
        std::vector<int64_t> want = sort_model(t, c, desc != 0, &nan);
        Doc doc;
        VF_TRY(parse_json(got, &doc, "csv_sort"));
        if (!nan) {
            VF_TRY(check_rows_doc(t, doc.root(), want, all_cols(t), "csv_sort"));
        } else {
            // NaN keys leave the order to the sort routine: the answer must
            // still hold every row exactly once.
            Doc all;
            VF_TRY(parse_json(csv_rows(h, 0, -1), &all, "csv_rows"));
            std::vector<std::string> a, b;
            yyjson_arr_iter ia = yyjson_arr_iter_with(doc.root()), ib = yyjson_arr_iter_with(all.root());
            for (size_t i = 0; i < yyjson_arr_size(doc.root()); ++i) {
                char *s1 = yyjson_val_write(yyjson_arr_iter_next(&ia), 0, nullptr);
                char *s2 = yyjson_val_write(yyjson_arr_iter_next(&ib), 0, nullptr);
                a.push_back(s1 ? s1 : "");
                b.push_back(s2 ? s2 : "");
                free(s1);
                free(s2);
            }
            std::sort(a.begin(), a.end());
            std::sort(b.begin(), b.end());
            VF_CHECK(yyjson_arr_size(doc.root()) == static_cast<size_t>(n) && a == b,
                     "csv_sort with NaN keys is not a permutation of the rows");
        }
    }

    // Column lists: the query text itself, and a list built from the names.
    std::string built;
    for (size_t k = 0; k < names.size() && k < 12; ++k) {
        const std::string &nm = names[(p.col_sel + k * 7) % names.size()];
        if (nm.find(',') != std::string::npos || nm.empty()) continue;
        built += (k % 3 == 0 ? " " : "") + nm + (k % 4 == 1 ? ",," : ",");
    }
    for (const std::string &list : {p.query, built, std::string(" ,\t,")}) {
        std::string msg;
        std::vector<int32_t> cols = col_list_model(t, list, &msg);
        const char *got = csv_select(h, list.c_str());
        if (!msg.empty()) {
            VF_TRY(expect_null(got, msg, "csv_select"));
            continue;
        }
        Doc doc;
        VF_TRY(parse_json(got, &doc, "csv_select"));
        VF_TRY(check_rows_doc(t, doc.root(), row_range(0, n), cols, "csv_select"));
    }

    VF_TRY(check_stats_doc(t, csv_stats(h)));
    VF_TRY(check_arrow(h, p));
    const char *w = csv_parse_warnings(h);
    VF_TRY(check_warnings_doc(t, w, csv_parse_warning_count(h)));

    // Missing arguments are refused before the handle is looked at.
    VF_TRY(expect_null(csv_select(h, nullptr), "cols is NULL", "csv_select(NULL)"));
    VF_TRY(expect_null(csv_search(h, nullptr, nullptr, 0), "col is NULL", "csv_search(NULL, NULL)"));
    VF_TRY(expect_null(csv_search(h, "1", nullptr, 0), "query is NULL", "csv_search(col, NULL)"));
    VF_TRY(expect_null(csv_sort(h, nullptr, 0), "col is NULL", "csv_sort(NULL)"));
    return "";
}

// Parameter bytes, then a query of up to 31 bytes, then the file:
//   0: bit 0 header, bits 1-3 encoding of the full query run, bit 4 case
//      flag, bit 5 direction, bits 6-7 delimiter mode (detect, comma,
//      raw byte 1, one of tab/semicolon/pipe by byte 1)
//   1: delimiter byte   2: offset (signed)   3: limit (signed)
//   4: column choice    5: query length (low 5 bits)
inline std::string check_api(const uint8_t *data, size_t size) {
    uint8_t b[6] = {0, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < 6 && i < size; ++i) b[i] = data[i];
    size_t pos = std::min<size_t>(size, 6);
    const size_t qlen = std::min<size_t>(b[5] & 31, size - pos);
    ApiParams p;
    p.query = cut_nul(Bytes(reinterpret_cast<const char *>(data + pos), qlen));
    pos += qlen;
    const Bytes file(reinterpret_cast<const char *>(data + pos), size - pos);

    p.has_header = b[0] & 1;
    p.enc_index = ((b[0] >> 1) & 7) % 5;
    p.ci = b[0] & 0x10;
    p.desc = b[0] & 0x20;
    switch (b[0] >> 6) {
        case 0: p.delimiter = 0; break;
        case 1: p.delimiter = ','; break;
        case 2: p.delimiter = b[1]; break;
        default: p.delimiter = "\t;|"[b[1] % 3]; break;
    }
    p.offset = static_cast<int8_t>(b[2]);
    p.limit = static_cast<int8_t>(b[3]);
    p.col_sel = b[4];

    const std::string &path = api_temp_path();
    VF_CHECK(write_file(path, file), "cannot write " << path);

    // The plain load: bytes unchanged, comma.
    int h = csv_load(path.c_str(), p.has_header);
    std::string err = check_loaded(h, parse_model(file, p.has_header, ','), "csv_load");
    csv_close(h);
    VF_TRY(err);

    static const int encodings[] = {0, 1, 2, 3, 7};
    int keep = -1;
    for (int e = 0; e < 5; ++e) {
        const Model m = load_model(file, p.has_header, p.delimiter, encodings[e]);
        h = csv_load_ex(path.c_str(), p.has_header, p.delimiter, encodings[e]);
        err = check_loaded(h, m, "csv_load_ex");
        if (!err.empty()) {
            csv_close(h);
            return err + " (encoding " + std::to_string(encodings[e]) + ")";
        }
        if (e == p.enc_index) {
            keep = h;
        } else {
            csv_close(h);
        }
    }

    // Progress: a normal run reports the decoded length last; a cancelled
    // run fails cleanly and takes no slot.
    {
        const Model m = load_model(file, p.has_header, p.delimiter, encodings[p.enc_index]);
        const int64_t decoded = static_cast<int64_t>(source_model(file, encodings[p.enc_index]).text.size());
        ProgressLog log;
        int hp = csv_load_ex_progress(path.c_str(), p.has_header, p.delimiter, encodings[p.enc_index],
                                      progress_record, &log);
        err = check_loaded(hp, m, "csv_load_ex_progress");
        if (err.empty()) err = check_progress(log, decoded, decoded, static_cast<int64_t>(m.rows.size()));
        csv_close(hp);
        if (err.empty()) {
            ProgressLog cancel;
            cancel.cancel_at = 0;
            int hc = csv_load_ex_progress(path.c_str(), p.has_header, p.delimiter, encodings[p.enc_index],
                                          progress_record, &cancel);
            if (hc != -1 || strcmp(csv_last_error(), "cancelled by progress callback") != 0) {
                csv_close(hc);
                err = "cancelled load gave " + std::to_string(hc) + " " + csv_last_error();
            } else if (csv_table_get(hp) != nullptr) {
                err = "cancelled load took a slot";
            }
        }
        if (!err.empty()) {
            csv_close(keep);
            return err;
        }
    }

    err = check_queries(keep, p);
    csv_close(keep);
    VF_TRY(err);
    VF_CHECK(csv_row_count(keep) == -1 && csv_last_error() == "invalid handle: " + std::to_string(keep),
             "closed handle still answers");
    VF_CHECK(csv_headers(keep) == nullptr, "closed handle still answers csv_headers");
    return "";
}

/* ---- target: allocation failures ------------------------------------------ */

// The statistics document `got` equals `want` but for "unique" figures
// that are 0 in `got`: a distinct count lost to a failed allocation is
// documented as not reported.
inline bool stats_equal_but_unique(const std::string &got, const std::string &want) {
    Doc g, w;
    g.d = yyjson_read(got.c_str(), got.size(), 0);
    w.d = yyjson_read(want.c_str(), want.size(), 0);
    if (g.d == nullptr || w.d == nullptr) return false;
    yyjson_val *gc = yyjson_obj_get(g.root(), "columns");
    yyjson_mut_doc *m = yyjson_doc_mut_copy(w.d, nullptr);
    yyjson_mut_val *mc = yyjson_mut_obj_get(yyjson_mut_doc_get_root(m), "columns");
    bool same = yyjson_arr_size(gc) == yyjson_mut_arr_size(mc);
    yyjson_arr_iter gi = yyjson_arr_iter_with(gc);
    yyjson_mut_arr_iter mi = yyjson_mut_arr_iter_with(mc);
    for (size_t i = 0; same && i < yyjson_arr_size(gc); ++i) {
        yyjson_val *gcol = yyjson_arr_iter_next(&gi);
        yyjson_mut_val *mcol = yyjson_mut_arr_iter_next(&mi);
        if (yyjson_get_sint(yyjson_obj_get(gcol, "unique")) == 0)
            yyjson_mut_set_sint(yyjson_mut_obj_get(mcol, "unique"), 0);
    }
    char *expect = same ? yyjson_mut_write(m, 0, nullptr) : nullptr;
    same = expect != nullptr && got == expect;
    free(expect);
    yyjson_mut_doc_free(m);
    return same;
}

// One load and one query, each with its n-th allocation failing:
//   0: bits 0-1 loader (plain, extended, with progress), bit 2 header,
//      bits 3-5 encoding (0, 1, 2, 3, 7 by the value modulo 5)
//   1: delimiter byte for the extended loaders (0 detect)
//   2: allocation of the load that fails (255: none)
//   3: query choice   4: allocation of the query that fails (255: none)
// The rest is the file. A failure must carry a documented message and take
// no slot; a success must give exactly the answer of a run without failure
// (a lost distinct count in the statistics excepted). Leaks are caught by
// the fuzzer's leak check after every input.
inline std::string check_oom(const uint8_t *data, size_t size) {
    if (size < 5) return "";
    static const int encodings[] = {0, 1, 2, 3, 7};
    const int loader = data[0] & 3;
    const bool has_header = data[0] & 4;
    const int enc = encodings[((data[0] >> 3) & 7) % 5];
    const int delim = data[1];
    const Bytes file(reinterpret_cast<const char *>(data + 5), size - 5);
    const std::string &path = api_temp_path();
    VF_CHECK(write_file(path, file), "cannot write " << path);

    ProgressLog log;
    auto load = [&] {
        if (loader == 0) return csv_load(path.c_str(), has_header);
        if (loader == 1) return csv_load_ex(path.c_str(), has_header, delim, enc);
        return csv_load_ex_progress(path.c_str(), has_header, delim, enc, progress_record, &log);
    };
    csv_alloc_fail_after(data[2] == 255 ? -1 : data[2]);
    int h = load();
    csv_alloc_fail_after(-1);
    if (h < 0) {
        const std::string msg = csv_last_error();
        // The reader names the block it could not get: the whole file, or
        // one piece of it for the sources it decodes piece by piece.
        const std::string read_head = "out of memory: cannot allocate ";
        const std::string read_tail = " bytes to read " + path;
        const bool read_oom = msg.size() > read_head.size() + read_tail.size() &&
                              msg.compare(0, read_head.size(), read_head) == 0 &&
                              msg.compare(msg.size() - read_tail.size(), read_tail.size(), read_tail) == 0 &&
                              msg.find_first_not_of("0123456789", read_head.size()) ==
                                  msg.size() - read_tail.size();
        VF_CHECK(read_oom || msg == "out of memory while transcoding UTF-16" ||
                     msg == "out of memory" || msg == "out of memory while parsing CSV",
                 "failed load with message " << show(msg));
        VF_CHECK(csv_table_get(0) == nullptr, "failed load took a slot");
        return "";
    }
    const Model m = loader == 0 ? parse_model(file, has_header, ',') : load_model(file, has_header, delim, enc);
    std::string err = check_loaded(h, m, "load");
    if (!err.empty()) {
        csv_close(h);
        return err;
    }

    const int q = data[3] % 7;
    auto query = [&]() -> const char * {
        switch (q) {
            case 0: return csv_headers(h);
            case 1: return csv_rows(h, 0, -1);
            case 2: return csv_select(h, "1,2,1");
            case 3: return csv_search(h, "1", "a", 1);
            case 4: return csv_sort(h, "1", 0);
            case 5: return csv_stats(h);
            default: return csv_parse_warnings(h);
        }
    };
    const char *r = query();
    const bool ref_ok = r != nullptr;
    const std::string ref = ref_ok ? r : csv_last_error();
    csv_alloc_fail_after(data[4] == 255 ? -1 : data[4]);
    const char *got = query();
    csv_alloc_fail_after(-1);
    const std::string text = got ? got : "";
    const std::string msg = csv_last_error();
    csv_close(h);
    if (got != nullptr) {
        VF_CHECK(ref_ok && (text == ref || (q == 5 && stats_equal_but_unique(text, ref))),
                 "query " << q << " answered " << show(text) << " under a failing allocation, "
                          << "without failure " << show(ref));
        return "";
    }
    const bool documented = msg == "failed to serialize JSON" || msg == "out of memory for JSON buffer" ||
                            (msg == "out of memory" && q >= 1 && q <= 4) || (!ref_ok && msg == ref);
    VF_CHECK(documented, "query " << q << " failed with " << show(msg));
    return "";
}

}  // namespace vfuzz
