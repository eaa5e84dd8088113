// Result documents (headers, rows, column statistics, parse warnings), the
// per-thread result buffer and the CSV text writer.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1
#endif
#include <stdio.h>
#include <string.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <yyjson.h>

#include "csv_internal.h"
#include "test_util.h"

namespace {

using Strings = std::vector<std::string>;
using Rows = std::vector<Strings>;

std::string str(const char *p) { return p ? std::string(p) : std::string("<null>"); }

// A table built directly from texts, independent of the parser: every text
// is stored in the blob followed by a NUL, empty texts as the empty cell.
struct Built {
    csv_table t{};
    Built(const Strings &headers, const Rows &rows, int32_t n_cols = -1) {
        t.n_cols = n_cols >= 0 ? n_cols : static_cast<int32_t>(headers.size());
        t.n_rows = static_cast<int64_t>(rows.size());
        t.row_cap = t.n_rows;
        std::string blob(1, '\0');
        auto store = [&](const std::string &s) {
            if (s.empty()) return csv_cell{0, 0};
            csv_cell c{static_cast<uint32_t>(blob.size()), static_cast<uint32_t>(s.size())};
            blob += s;
            blob += '\0';
            return c;
        };
        if (t.n_cols > 0) {
            t.headers = static_cast<csv_cell *>(csv_calloc(t.n_cols, sizeof(csv_cell)));
            for (int32_t c = 0; c < t.n_cols && c < static_cast<int32_t>(headers.size()); ++c)
                t.headers[c] = store(headers[c]);
        }
        if (t.n_rows > 0 && t.n_cols > 0) {
            t.cells = static_cast<csv_cell *>(csv_calloc(t.n_rows * t.n_cols, sizeof(csv_cell)));
            for (int64_t r = 0; r < t.n_rows; ++r)
                for (int32_t c = 0; c < t.n_cols && c < static_cast<int32_t>(rows[r].size()); ++c)
                    t.cells[r * t.n_cols + c] = store(rows[r][c]);
        }
        t.blob = static_cast<char *>(csv_malloc(blob.size()));
        memcpy(t.blob, blob.data(), blob.size());
        t.blob_len = t.blob_cap = blob.size();
        t.in_use = 1;
    }
    ~Built() { csv_table_free(&t); }
    Built(const Built &) = delete;
    Built &operator=(const Built &) = delete;
    const csv_table *get() const { return &t; }
};

// A loaded handle, closed at the end of the scope.
struct Handle {
    int h = -1;
    Handle(const std::string &name, const std::string &bytes, int has_header = 1) {
        h = csv_load(vtest::write_temp(name, bytes).c_str(), has_header);
        EXPECT_GE(h, 0) << csv_last_error();
    }
    ~Handle() { csv_close(h); }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
};

std::string all_rows(const csv_table *t) {
    return str(csv_emit_rows(t, nullptr, t->n_rows, nullptr, 0, 0, -1));
}

// The JSON string literal the writer gives for well-formed UTF-8 `s`.
std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    snprintf(buf, sizeof buf, "\\u%04X", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// Runs `fn` on a new thread, whose result buffer starts empty.
template <class F>
void on_fresh_thread(F fn) {
    std::thread th(fn);
    th.join();
}

const Strings kAB = {"a", "b"};
const Rows kRows12 = {{"1", "2"}, {"3", "4"}};

// ---- headers and rows documents ---------------------------------------------

struct WindowCase {
    const char *name;
    int32_t offset;
    int32_t limit;
    const char *expected;
};
void PrintTo(const WindowCase &c, std::ostream *os) { *os << c.name; }

class RowsWindow : public ::testing::TestWithParam<WindowCase> {};

TEST_P(RowsWindow, EmitterAndExportGiveTheSameWindow) {
    const WindowCase &c = GetParam();
    Built b(kAB, kRows12);
    EXPECT_EQ(str(csv_emit_rows(b.get(), nullptr, 2, nullptr, 0, c.offset, c.limit)), c.expected);

    Handle h(std::string("window_") + c.name + ".csv", "a,b\n1,2\n3,4\n");
    EXPECT_EQ(str(csv_rows(h.h, c.offset, c.limit)), c.expected);
    EXPECT_STREQ(csv_last_error(), "");
}

const WindowCase kWindowCases[] = {
    {"All", 0, -1, R"([{"a":"1","b":"2"},{"a":"3","b":"4"}])"},
    {"SecondOnly", 1, 1, R"([{"a":"3","b":"4"}])"},
    {"NegativeOffsetIsZero", -7, 1, R"([{"a":"1","b":"2"}])"},
    {"OffsetAtEnd", 2, 5, "[]"},
    {"OffsetPastEnd", 9, -1, "[]"},
    {"LimitZero", 0, 0, "[]"},
    {"LimitPastEndIsCut", 1, 5, R"([{"a":"3","b":"4"}])"},
    {"HugeLimitDoesNotWrap", 1, INT32_MAX, R"([{"a":"3","b":"4"}])"},
    {"HugeOffsetAndLimit", INT32_MAX, INT32_MAX, "[]"},
    {"MinOffsetMinLimit", INT32_MIN, INT32_MIN, R"([{"a":"1","b":"2"},{"a":"3","b":"4"}])"},
    {"ExactFit", 0, 2, R"([{"a":"1","b":"2"},{"a":"3","b":"4"}])"},
};
INSTANTIATE_TEST_SUITE_P(Emit, RowsWindow, ::testing::ValuesIn(kWindowCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(EmitHeaders, ListsHeadersInColumnOrder) {
    Built b(kAB, kRows12);
    EXPECT_EQ(str(csv_emit_headers(b.get())), R"(["a","b"])");
    Handle h("headers.csv", "a,b\n1,2\n3,4\n");
    EXPECT_EQ(str(csv_headers(h.h)), R"(["a","b"])");
}

TEST(EmitHeaders, EmptyNamesAndNoColumns) {
    Built b({"", "x", ""}, {});
    EXPECT_EQ(str(csv_emit_headers(b.get())), R"(["","x",""])");
    Built none({}, {{}, {}}, 0);
    EXPECT_EQ(str(csv_emit_headers(none.get())), "[]");
    csv_table zero{};
    EXPECT_EQ(str(csv_emit_headers(&zero)), "[]");
    EXPECT_EQ(str(csv_emit_rows(&zero, nullptr, 0, nullptr, 0, 0, -1)), "[]");
}

struct ListCase {
    const char *name;
    std::vector<int64_t> rows;  // empty: no row list
    std::vector<int32_t> cols;  // empty: no column list
    const char *expected;
};
void PrintTo(const ListCase &c, std::ostream *os) { *os << c.name; }

class RowsLists : public ::testing::TestWithParam<ListCase> {};

TEST_P(RowsLists, FollowsTheListsInOrder) {
    const ListCase &c = GetParam();
    Built b(kAB, kRows12);
    const int64_t *rows = c.rows.empty() ? nullptr : c.rows.data();
    int64_t n = c.rows.empty() ? 2 : static_cast<int64_t>(c.rows.size());
    const int32_t *cols = c.cols.empty() ? nullptr : c.cols.data();
    int32_t m = static_cast<int32_t>(c.cols.size());
    EXPECT_EQ(str(csv_emit_rows(b.get(), rows, n, cols, m, 0, -1)), c.expected);
}

const ListCase kListCases[] = {
    {"ColumnRepeatedAndOutOfRange", {}, {1, 0, 1, 9},
     R"([{"b":"2","a":"1","b":"2"},{"b":"4","a":"3","b":"4"}])"},
    {"NegativeColumnSkipped", {}, {-1, 1, INT32_MIN}, R"([{"b":"2"},{"b":"4"}])"},
    {"NoValidColumnGivesEmptyObjects", {}, {2, -3}, "[{},{}]"},
    {"RowOutsideTableHasEmptyValues", {1, 5}, {}, R"([{"a":"3","b":"4"},{"a":"","b":""}])"},
    {"NegativeRowIndex", {-1, 0}, {}, R"([{"a":"","b":""},{"a":"1","b":"2"}])"},
    {"RowsRepeatedAndReversed", {1, 1, 0}, {0},
     R"([{"a":"3"},{"a":"3"},{"a":"1"}])"},
};
INSTANTIATE_TEST_SUITE_P(Emit, RowsLists, ::testing::ValuesIn(kListCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(EmitRows, ColumnListOfLengthZeroOrLessMeansAllColumns) {
    Built b(kAB, kRows12);
    int32_t one[] = {1};
    const char *all = R"([{"a":"1","b":"2"},{"a":"3","b":"4"}])";
    EXPECT_EQ(str(csv_emit_rows(b.get(), nullptr, 2, one, 0, 0, -1)), all);
    EXPECT_EQ(str(csv_emit_rows(b.get(), nullptr, 2, one, -4, 0, -1)), all);
    EXPECT_EQ(str(csv_emit_rows(b.get(), nullptr, 2, one, 1, 0, -1)), R"([{"b":"2"},{"b":"4"}])");
}

TEST(EmitRows, WindowCountsListPositionsNotRowNumbers) {
    Built b(kAB, {{"1", "2"}, {"3", "4"}, {"5", "6"}});
    int64_t order[] = {2, 0, 1};
    EXPECT_EQ(str(csv_emit_rows(b.get(), order, 3, nullptr, 0, 1, 1)), R"([{"a":"1","b":"2"}])");
    EXPECT_EQ(str(csv_emit_rows(b.get(), nullptr, -5, nullptr, 0, 0, -1)), "[]");
}

TEST(EmitRows, EmptyTables) {
    Built header_only(kAB, {});
    EXPECT_EQ(all_rows(header_only.get()), "[]");
    EXPECT_EQ(str(csv_emit_rows(header_only.get(), nullptr, 0, nullptr, 0, -3, 7)), "[]");
    EXPECT_EQ(str(csv_emit_headers(header_only.get())), R"(["a","b"])");

    Built no_cols({}, {{}, {}}, 0);
    EXPECT_EQ(all_rows(no_cols.get()), "[{},{}]");

    Handle h("header_only.csv", "a,b\n");
    EXPECT_EQ(str(csv_rows(h.h, 0, -1)), "[]");
    EXPECT_EQ(str(csv_rows(h.h, -1, 3)), "[]");
    EXPECT_EQ(str(csv_headers(h.h)), R"(["a","b"])");
}

TEST(EmitRows, ValuesStayStringsAndAreEscaped) {
    Built b({"n", "s\"k", "t"},
            {{"1", "say \"hi\"\\", "a\tb\nc\rd\x01"},
             {"-2.5", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "a/b\x7F"},
             {"", "", ""}});
    EXPECT_EQ(all_rows(b.get()),
              "[{\"n\":\"1\",\"s\\\"k\":\"say \\\"hi\\\"\\\\\",\"t\":\"a\\tb\\nc\\rd\\u0001\"},"
              "{\"n\":\"-2.5\",\"s\\\"k\":\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\",\"t\":\"a/b\x7F\"},"
              "{\"n\":\"\",\"s\\\"k\":\"\",\"t\":\"\"}]");
    EXPECT_EQ(str(csv_emit_headers(b.get())), "[\"n\",\"s\\\"k\",\"t\"]");
}

TEST(EmitRows, DuplicateHeaderNamesGiveRepeatedKeys) {
    Built b({"x", "x", "y"}, {{"1", "2", "3"}});
    EXPECT_EQ(all_rows(b.get()), R"([{"x":"1","x":"2","y":"3"}])");
}

TEST(EmitRows, NotWellFormedTextIsRepairedAsKeyAndValue) {
    Built b({"caf\xE9", "ok"}, {{"\xE9t\xE9", "\xC3\xA9\xE9\xC3\xA9"}, {"\xFF", "\x80"}});
    EXPECT_EQ(all_rows(b.get()),
              "[{\"caf\xC3\xA9\":\"\xC3\xA9t\xC3\xA9\",\"ok\":\"\xC3\xA9\xC3\xA9\xC3\xA9\"},"
              "{\"caf\xC3\xA9\":\"\xC3\xBF\",\"ok\":\"\xC2\x80\"}]");
    EXPECT_EQ(str(csv_emit_headers(b.get())), "[\"caf\xC3\xA9\",\"ok\"]");
    EXPECT_STREQ(csv_last_error(), "");
}

TEST(EmitRows, TextsEndAtTheirFirstNul) {
    using namespace std::string_literals;
    Built b({"a\0b"s, "\0"s}, {{"x\0y"s, "\xE9\0zz"s}, {"\0\xFF"s, "long text\0\"\\"s}});
    EXPECT_EQ(all_rows(b.get()),
              "[{\"a\":\"x\",\"\":\"\xC3\xA9\"},{\"a\":\"\",\"\":\"long text\"}]");
    EXPECT_EQ(str(csv_emit_headers(b.get())), R"(["a",""])");
}

// Every special byte at every position of texts of lengths around the word
// size: the fast path for plain text must agree with escaping, repair and
// the cut at NUL.
struct Special {
    std::string stored;
    std::string shown;  // after repair, before JSON escaping
    bool cuts;          // a NUL: the text ends before it
};

TEST(EmitRows, SpecialBytesAtEveryPosition) {
    using namespace std::string_literals;
    const Special specials[] = {
        {"\"", "\"", false},      {"\\", "\\", false},   {"\x01", "\x01", false},
        {"\x1F", "\x1F", false},  {"\n", "\n", false},     {"\x7F", "\x7F", false},
        {" ", " ", false},        {"~", "~", false},       {"/", "/", false},
        {"\xC3\xA9", "\xC3\xA9", false},                 {"\xE2\x82\xAC", "\xE2\x82\xAC", false},
        {"\xE9", "\xC3\xA9", false}, {"\xFF", "\xC3\xBF", false}, {"\x80", "\xC2\x80", false},
        {"\0"s, "", true},
    };
    Strings cells;
    std::vector<std::string> shown;
    for (size_t len = 1; len <= 26; ++len)
        for (const Special &sp : specials)
            for (size_t pos = 0; pos + 1 <= len; ++pos) {
                std::string head(pos, 'a'), tail(len - pos - 1, 'z');
                cells.push_back(head + sp.stored + tail);
                shown.push_back(sp.cuts ? head : head + sp.shown + tail);
            }
    Rows rows;
    for (const std::string &c : cells) rows.push_back({c, c});
    // Long keys needing escapes and repair take the same paths.
    Built b({"plain key text", "key \"\xE9\" text"}, rows);
    const std::string k1 = json_string("plain key text");
    const std::string k2 = json_string("key \"\xC3\xA9\" text");
    std::string expected = "[";
    for (const std::string &c : shown) {
        if (expected.size() > 1) expected += ',';
        expected += "{" + k1 + ":" + json_string(c) + "," + k2 + ":" + json_string(c) + "}";
    }
    expected += "]";
    EXPECT_EQ(all_rows(b.get()), expected);
}

// The text expected for rows [start, end) of `b` over all its columns.
std::string expected_rows(const Strings &headers, const Rows &rows, size_t start, size_t end) {
    std::string out = "[";
    for (size_t r = start; r < end; ++r) {
        if (r > start) out += ',';
        out += '{';
        for (size_t c = 0; c < headers.size(); ++c) {
            if (c) out += ',';
            out += json_string(headers[c]) + ":" + json_string(rows[r][c]);
        }
        out += '}';
    }
    return out + "]";
}

struct ShapeCase {
    const char *name;
    int32_t cols;
    int64_t rows;
    int32_t offset;
    int32_t limit;
};
void PrintTo(const ShapeCase &c, std::ostream *os) { *os << c.name; }

class RowsShapes : public ::testing::TestWithParam<ShapeCase> {};

// Large answers are built in parts; their joins must not show.
TEST_P(RowsShapes, LargeAnswersMatchTheReference) {
    const ShapeCase &c = GetParam();
    Strings headers;
    for (int32_t k = 0; k < c.cols; ++k) headers.push_back(k % 7 == 3 ? "q\"" + std::to_string(k) : "c" + std::to_string(k));
    Rows rows(static_cast<size_t>(c.rows));
    for (int64_t r = 0; r < c.rows; ++r)
        for (int32_t k = 0; k < c.cols; ++k)
            rows[r].push_back(r % 5 == 0 ? "" : (r + k) % 3 == 0 ? "t\u00e9xt\n" + std::to_string(r) : std::to_string(r * 31 + k));
    Built b(headers, rows, c.cols);
    size_t start = std::min<size_t>(static_cast<size_t>(std::max(c.offset, 0)), rows.size());
    size_t end = c.limit < 0 ? rows.size() : std::min(rows.size(), start + static_cast<size_t>(c.limit));
    EXPECT_EQ(str(csv_emit_rows(b.get(), nullptr, c.rows, nullptr, 0, c.offset, c.limit)),
              expected_rows(headers, rows, start, end));
}

const ShapeCase kShapeCases[] = {
    {"OneColumnManyRows", 1, 20000, 0, -1},
    {"TenColumnsWindowAcrossParts", 10, 3000, 777, 1500},
    {"TenColumnsLastRowsOnly", 10, 3000, 2999, 10},
    {"NoColumnsManyRows", 0, 40000, 0, -1},
    {"VeryWideRows", 9000, 3, 0, -1},
};
INSTANTIATE_TEST_SUITE_P(Emit, RowsShapes, ::testing::ValuesIn(kShapeCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- rows text against the document writer ----------------------------------

// The rows document as a yyjson document of copies of the repaired texts,
// written with no flags: the text the emitter must give byte for byte.
std::string reference_rows(const csv_table *t, const int64_t *rows, int64_t rows_len,
                           const int32_t *cols, int32_t cols_len, int32_t offset, int32_t limit) {
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *arr = yyjson_mut_arr(doc);
    yyjson_mut_doc_set_root(doc, arr);
    auto value = [&](const csv_cell &c) {
        std::string raw = c.length == 0 ? std::string() : std::string(t->blob + c.offset, c.length);
        raw = raw.substr(0, raw.find('\0'));
        uint64_t n = 0;
        int32_t must_free = 0;
        const char *fixed = csv_utf8_sanitize(raw.data(), raw.size(), &n, &must_free);
        yyjson_mut_val *v = yyjson_mut_strncpy(doc, fixed, n);
        if (must_free) csv_free(const_cast<char *>(fixed));
        return v;
    };
    std::vector<int32_t> list;
    if (cols == nullptr || cols_len <= 0) {
        for (int32_t j = 0; j < t->n_cols; ++j) list.push_back(j);
    } else {
        list.assign(cols, cols + cols_len);
    }
    const int64_t n = std::max<int64_t>(rows_len, 0);
    const int64_t start = std::min<int64_t>(std::max<int64_t>(offset, 0), n);
    const int64_t end = limit < 0 ? n : std::min<int64_t>(start + limit, n);
    for (int64_t p = start; p < end; ++p) {
        const int64_t r = rows ? rows[p] : p;
        yyjson_mut_val *obj = yyjson_mut_obj(doc);
        for (int32_t j : list)
            if (j >= 0 && j < t->n_cols)
                yyjson_mut_obj_add(obj, value(t->headers[j]), value(*csv_cell_at(t, r, j)));
        yyjson_mut_arr_append(arr, obj);
    }
    size_t len = 0;
    char *json = yyjson_mut_write_opts(doc, 0, nullptr, &len, nullptr);
    std::string out = json ? std::string(json, len) : std::string("<writer refused>");
    free(json);
    yyjson_mut_doc_free(doc);
    return out;
}

// Random texts made of pieces that take every path of escaping and repair.
struct TextGen {
    std::mt19937_64 rng;
    size_t below(size_t n) { return n ? static_cast<size_t>(rng() % n) : 0; }

    std::string piece() {
        static const char *const fixed[] = {
            "\"", "\\", "/", "\x7F", "\b", "\f", "\n", "\r", "\t", "\x0B", "\x1F", "\x01",
            // well-formed, at the edges of each form
            "\xC2\x80", "\xDF\xBF", "\xC3\xA9", "\xE0\xA0\x80", "\xE2\x82\xAC", "\xED\x9F\xBF",
            "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF0\x9F\x98\x80",
            "\xF3\xBF\xBF\xBF", "\xF4\x8F\xBF\xBF",
            // overlong, surrogate, above U+10FFFF, stray, cut short, broken
            "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xED\xBF\xBF",
            "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80",
            "\xFF", "\xFE", "\x80", "\xBF", "\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xE2\x28\xA1",
            "\xC3\x28",
        };
        switch (below(6)) {
            case 0: {  // a run of plain bytes, long enough for the block paths
                std::string s;
                for (size_t i = 0, n = 1 + below(40); i < n; ++i) {
                    char c = static_cast<char>(0x20 + below(0x5F));
                    s += c == '"' || c == '\\' ? 'q' : c;
                }
                return s;
            }
            case 1: return std::string(1, static_cast<char>(below(256)));  // NUL included
            case 2: return std::string(1, static_cast<char>(below(0x20)));
            default: return fixed[below(std::size(fixed))];
        }
    }

    std::string text() {
        std::string s;
        for (size_t i = 0, n = below(3) == 0 ? 0 : below(9); i < n; ++i) s += piece();
        return s;
    }

    // Mostly small values, with the extremes now and then.
    int64_t pick(int64_t lo, int64_t hi, int64_t min, int64_t max) {
        switch (below(12)) {
            case 0: return min;
            case 1: return max;
            default: return lo + static_cast<int64_t>(below(static_cast<size_t>(hi - lo + 1)));
        }
    }
};

// One rows call over a table built from texts.
struct RowsCall {
    Strings headers;
    Rows rows;
    int32_t n_cols = 0;
    bool has_list = false;   // else no list, rows_len positions
    std::vector<int64_t> list;
    int64_t rows_len = 0;
    bool has_cols = false;   // else a null column list
    std::vector<int32_t> cols;
    int32_t cols_len = 0;    // with has_cols; <= 0 means every column
    int32_t offset = 0;
    int32_t limit = -1;

    const int64_t *rp() const { return has_list ? list.data() : nullptr; }
    int64_t rl() const { return has_list ? static_cast<int64_t>(list.size()) : rows_len; }
    const int32_t *cp() const {
        static const int32_t ignored[] = {0};
        return !has_cols ? nullptr : cols.empty() ? ignored : cols.data();
    }
    std::string reference(const Built &b) const {
        return reference_rows(b.get(), rp(), rl(), cp(), cols_len, offset, limit);
    }
    const char *emit(const Built &b) const {
        return csv_emit_rows(b.get(), rp(), rl(), cp(), cols_len, offset, limit);
    }
};

// The call gives the writer's text, and writes nothing past its NUL.
void expect_text(const RowsCall &c, const std::string &label) {
    Built b(c.headers, c.rows, c.n_cols);
    const std::string want = c.reference(b);
    // A marker longer than the answer: the answer replaces its start only.
    const std::string marker(want.size() + 40, 'Z');
    const char *buf = csv_tls_put_json(marker.data(), marker.size());
    ASSERT_NE(buf, nullptr);
    const char *got = c.emit(b);
    ASSERT_NE(got, nullptr) << label << ": " << csv_last_error();
    ASSERT_EQ(std::string(got), want) << label;
    EXPECT_EQ(got, buf) << label;
    EXPECT_EQ(std::string(got + want.size() + 1, 39), std::string(39, 'Z')) << label;
}

// The call reserves exactly the length of its text. One cell, in a row that
// occurs once in the window and a column listed once, is padded so that the
// text is one byte short of a power of two: a thread whose buffer has just
// that size fits it without growing, and one byte more does not fit.
// The window [start, end) of a call, as the emitter takes it.
std::pair<int64_t, int64_t> window_of(const RowsCall &c) {
    const int64_t n = std::max<int64_t>(c.rl(), 0);
    const int64_t start = std::min<int64_t>(std::max<int64_t>(c.offset, 0), n);
    return {start, c.limit < 0 ? n : std::min<int64_t>(start + c.limit, n)};
}

void expect_exact_reservation(RowsCall c, const std::string &label) {
    const int64_t n_rows = static_cast<int64_t>(c.rows.size());
    const int64_t start = window_of(c).first;
    int64_t pad_row = -1;
    if (c.has_list) {
        // An extra row, listed once, at the start of the window.
        for (int64_t &r : c.list)
            if (r == n_rows) r = -1;
        c.list.insert(c.list.begin() + start, n_rows);
        c.rows.push_back(Strings(static_cast<size_t>(c.n_cols)));
        const auto w = window_of(c);
        if (w.first <= start && start < w.second) pad_row = n_rows;
    } else if (start < std::min(window_of(c).second, n_rows)) {
        pad_row = start;
    }
    std::vector<int32_t> listed;
    if (!c.has_cols || c.cols_len <= 0) {
        for (int32_t j = 0; j < c.n_cols; ++j) listed.push_back(j);
    } else {
        listed = c.cols;
    }
    int32_t pad_col = -1;
    for (int32_t j = 0; j < c.n_cols && pad_col < 0; ++j)
        if (std::count(listed.begin(), listed.end(), j) == 1) pad_col = j;
    if (pad_row < 0 || pad_col < 0) return;  // nothing to pad
    std::string &cell = c.rows[static_cast<size_t>(pad_row)][static_cast<size_t>(pad_col)];
    cell.clear();

    size_t base = 0;
    int64_t allocations = 0;  // made before the result buffer is reserved
    {
        Built b(c.headers, c.rows, c.n_cols);
        const std::string want = c.reference(b);
        base = want.size();
        const std::string marker(want.size() + 1, 'Z');
        ASSERT_NE(csv_tls_put_json(marker.data(), marker.size()), nullptr);
        csv_alloc_fail_after(-1);
        ASSERT_NE(c.emit(b), nullptr) << label;
        allocations = csv_alloc_fail_after(-1);
    }
    size_t target = 4096;
    while (target - 1 < base) target *= 2;
    for (size_t len : {target - 1, target}) {
        cell.assign(len - base, 'x');
        Built b(c.headers, c.rows, c.n_cols);
        const std::string want = c.reference(b);
        ASSERT_EQ(want.size(), len) << label;
        std::string got;
        on_fresh_thread([&] {
            const std::string marker(target - 1, 'Z');  // a buffer of target bytes
            if (csv_tls_put_json(marker.data(), marker.size()) == nullptr) return;
            csv_alloc_fail_after(allocations);
            const char *r = c.emit(b);
            csv_alloc_fail_after(-1);
            got = r ? std::string(r) : "<null> " + std::string(csv_last_error());
        });
        EXPECT_EQ(got, len < target ? want : "<null> out of memory for JSON buffer")
            << label << ", " << len << " bytes";
    }
}

// Random tables, column lists (negative, out of range, repeated), row lists
// (rows outside the table) and windows.
TEST(EmitRowsAgainstWriter, RandomTablesListsAndWindows) {
    for (uint64_t seed = 1; seed <= 2000; ++seed) {
        TextGen g{std::mt19937_64(seed)};
        RowsCall c;
        c.n_cols = static_cast<int32_t>(g.below(7));
        const int64_t n_rows = static_cast<int64_t>(g.below(25));
        for (int32_t j = 0; j < c.n_cols; ++j)
            c.headers.push_back(j > 0 && g.below(5) == 0 ? c.headers.back() : g.text());
        c.rows.resize(static_cast<size_t>(n_rows));
        for (Strings &row : c.rows)
            for (int32_t j = 0; j < c.n_cols; ++j) row.push_back(g.text());
        switch (g.below(4)) {
            case 0: break;
            case 1:
                c.has_cols = true;
                c.cols_len = -static_cast<int32_t>(g.below(3));
                break;
            default:
                c.has_cols = true;
                for (size_t i = 0, k = 1 + g.below(10); i < k; ++i)
                    c.cols.push_back(static_cast<int32_t>(g.pick(-3, c.n_cols + 2, INT32_MIN, INT32_MAX)));
                c.cols_len = static_cast<int32_t>(c.cols.size());
        }
        c.rows_len = n_rows;
        switch (g.below(3)) {
            case 0: break;
            case 1: c.rows_len = static_cast<int64_t>(g.below(static_cast<size_t>(n_rows) + 6)) - 3; break;
            default:
                c.has_list = true;
                for (size_t i = 0, k = g.below(30); i < k; ++i)
                    c.list.push_back(g.pick(-2, n_rows + 2, INT64_MIN, INT64_MAX));
        }
        const int64_t positions = std::max<int64_t>(c.rl(), 0);
        c.offset = static_cast<int32_t>(g.pick(-5, positions + 3, INT32_MIN, INT32_MAX));
        c.limit = g.below(3) == 0 ? -1 : static_cast<int32_t>(g.pick(0, positions + 3, INT32_MIN, INT32_MAX));

        const std::string label = "seed " + std::to_string(seed);
        expect_text(c, label);
        if (seed % 4 == 0) expect_exact_reservation(c, label);
        if (HasFatalFailure()) return;
    }
}

// Long row lists that jump about, as a sort's order does, with repeated
// rows and rows outside the table: over the whole list, over windows, with
// column lists, and with the working memory for measuring them refused.
TEST(EmitRowsAgainstWriter, LongScatteredLists) {
    TextGen g{std::mt19937_64(7)};
    RowsCall c;
    c.headers = {"id", "name \"x\"", "caf\xE9", ""};
    c.n_cols = 4;
    const int64_t n_rows = 3000;
    c.rows.resize(static_cast<size_t>(n_rows));
    for (Strings &row : c.rows)
        for (int j = 0; j < 4; ++j) row.push_back(g.text());
    c.has_list = true;
    for (int64_t r = 0; r < n_rows; ++r) c.list.push_back(r);
    for (int i = 0; i < 2000; ++i) c.list.push_back(g.pick(-3, n_rows + 3, INT64_MIN, INT64_MAX));
    std::shuffle(c.list.begin(), c.list.end(), g.rng);

    struct Window {
        int32_t offset, limit;
        std::vector<int32_t> cols;
        int64_t allocations;  // made by the call when the buffer needs no growth
    };
    const Window windows[] = {
        {0, -1, {}, 2},  // member keys, row lengths
        {100, 4500, {3, -1, 0, 3}, 2},
        {4000, -1, {}, 1},  // too short a window to measure by table
        {0, 1000, {1}, 1},  // too short as well
    };
    for (const Window &w : windows) {
        RowsCall call = c;
        call.offset = w.offset;
        call.limit = w.limit;
        call.has_cols = !w.cols.empty();
        call.cols = w.cols;
        call.cols_len = static_cast<int32_t>(w.cols.size());
        const std::string label = "window at " + std::to_string(w.offset);
        expect_text(call, label);
        expect_exact_reservation(call, label);

        Built b(call.headers, call.rows, call.n_cols);
        const std::string want = call.reference(b);
        const std::string marker(want.size() + 1, 'Z');
        ASSERT_NE(csv_tls_put_json(marker.data(), marker.size()), nullptr);
        csv_alloc_fail_after(-1);
        ASSERT_NE(call.emit(b), nullptr) << label;
        EXPECT_EQ(csv_alloc_fail_after(-1), w.allocations) << label;
        // Without memory past the member keys the rows are measured in list
        // order instead, to the same text.
        csv_alloc_fail_after(1);
        const char *got = call.emit(b);
        csv_alloc_fail_after(-1);
        ASSERT_NE(got, nullptr) << label << ": " << csv_last_error();
        EXPECT_EQ(std::string(got), want) << label;
    }
}

// Long texts of one kind each: the block paths of the text writer meet
// every kind of byte at every offset of a block, also at the end of the
// table's text store.
TEST(EmitRowsAgainstWriter, LongTextsOfEachKind) {
    TextGen g{std::mt19937_64(99)};
    Rows rows;
    for (int kind = 0; kind < 6; ++kind)
        for (int r = 0; r < 40; ++r) {
            std::string s;
            while (s.size() < 20 + static_cast<size_t>(r) * 3) {
                std::string p = g.piece();
                if (kind == 0 || (kind == 1 && p[0] != '\0') || (kind > 1 && g.below(kind) == 0)) s += p;
                else s += "ab";
            }
            rows.push_back({s, std::string(static_cast<size_t>(r), 'x') + s});
        }
    Built b({"first \"one\"", "second\xE9"}, rows);
    EXPECT_EQ(all_rows(b.get()), reference_rows(b.get(), nullptr, b.t.n_rows, nullptr, 0, 0, -1));
}

// The result buffer is reserved for exactly the length of the text: a text
// of 4095 bytes fits the first 4096-byte buffer with every allocation after
// the member keys refused, and one of 4096 bytes needs more.
struct ExactCase {
    const char *name;
    Strings headers;
    Rows rows;  // rows[0][pad] is filled up to the length wanted
    int32_t pad;
    std::vector<int64_t> row_list;  // empty: no list
    std::vector<int32_t> col_list;  // empty: no list
    int32_t offset;
    int32_t limit;
};
void PrintTo(const ExactCase &c, std::ostream *os) { *os << c.name; }

class RowsExactLength : public ::testing::TestWithParam<ExactCase> {};

TEST_P(RowsExactLength, ReservesExactlyTheTextLength) {
    const ExactCase &c = GetParam();
    auto emit = [&](const Built &b, std::string *want) {
        const int64_t *rp = c.row_list.empty() ? nullptr : c.row_list.data();
        const int64_t rl = c.row_list.empty() ? b.t.n_rows : static_cast<int64_t>(c.row_list.size());
        const int32_t *cp = c.col_list.empty() ? nullptr : c.col_list.data();
        const int32_t cl = static_cast<int32_t>(c.col_list.size());
        *want = reference_rows(b.get(), rp, rl, cp, cl, c.offset, c.limit);
        std::string got = "<not run>";
        on_fresh_thread([&] {
            ASSERT_NE(csv_tls_put_json("[]", 2), nullptr);  // a 4096-byte buffer
            csv_clear_error();
            csv_alloc_fail_after(1);
            const char *r = csv_emit_rows(b.get(), rp, rl, cp, cl, c.offset, c.limit);
            csv_alloc_fail_after(-1);
            got = r ? std::string(r) : "<null> " + std::string(csv_last_error());
        });
        return got;
    };
    std::string want;
    Built bare(c.headers, c.rows);
    emit(bare, &want);
    ASSERT_LT(want.size(), 4095u);
    for (size_t target : {4095u, 4096u}) {
        Rows rows = c.rows;
        rows[0][static_cast<size_t>(c.pad)] += std::string(target - want.size(), 'x');
        Built b(c.headers, rows);
        std::string padded;
        std::string got = emit(b, &padded);
        ASSERT_EQ(padded.size(), target);
        EXPECT_EQ(got, target == 4095 ? padded : "<null> out of memory for JSON buffer");
    }
}

using namespace std::string_literals;
const ExactCase kExactCases[] = {
    {"AllColumns", {"a", "b\"c"}, {{"", "1"}, {"x\ny", "\xE9"}}, 0, {}, {}, 0, -1},
    {"ColumnListWithRepeatsAndGaps", {"k1", "k2", "k3"}, {{"v", "", "w"}, {"\x01", "\\", "\xC3"}},
     1, {}, {2, 1, 9, -1, 0, 2}, 0, -1},
    {"RowListWithRowsOutsideTheTable", {"h"}, {{""}, {"t"}}, 0, {5, 0, -1, 1}, {}, 0, -1},
    {"EscapesRepairsAndNulCut", {"n\0x"s, "\xFF\t"}, {{"", "a\0\xE9"s}, {"\x1F\"", "\xF0\x9F\x98"}},
     0, {}, {}, 0, -1},
    {"WindowOverRowList", {"a", "b"}, {{"", ""}, {"1", "2"}, {"3", "4"}}, 0, {2, 0, 1}, {}, 1, 1},
};
INSTANTIATE_TEST_SUITE_P(Emit, RowsExactLength, ::testing::ValuesIn(kExactCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Rows without members: "{}" each, sized exactly as well.
TEST(EmitRows, EmptyObjectsSizedExactly) {
    Built b(kAB, kRows12);
    const int32_t none[] = {7};
    on_fresh_thread([&] {
        ASSERT_NE(csv_tls_put_json("[]", 2), nullptr);
        csv_alloc_fail_after(0);
        // 1364 objects: 1 + 3 * 1364 = 4093 bytes; 1365 objects: 4096 bytes.
        const char *fits = csv_emit_rows(b.get(), nullptr, 1364, none, 1, 0, -1);
        const std::string text = fits ? fits : "<null>";
        const char *grows = csv_emit_rows(b.get(), nullptr, 1365, none, 1, 0, -1);
        csv_alloc_fail_after(-1);
        std::string want = "[{}";
        for (int i = 1; i < 1364; ++i) want += ",{}";
        EXPECT_EQ(text, want + "]");
        EXPECT_EQ(grows, nullptr);
        EXPECT_STREQ(csv_last_error(), "out of memory for JSON buffer");
    });
}

// A row list too long for any text (positions past the table still give
// members) fails at once, without walking the positions.
TEST(EmitRows, AnswerLongerThanMemoryFailsAtOnce) {
    Built b(kAB, kRows12);
    const int32_t none[] = {7};
    const char *before = csv_emit_headers(b.get());
    ASSERT_NE(before, nullptr);
    for (const int32_t *cols : {static_cast<const int32_t *>(nullptr), none}) {
        csv_clear_error();
        EXPECT_EQ(csv_emit_rows(b.get(), nullptr, INT64_MAX, cols, 1, 0, -1), nullptr);
        EXPECT_STREQ(csv_last_error(), "out of memory for JSON buffer");
        EXPECT_STREQ(before, R"(["a","b"])");
    }
}

TEST(EmitRows, NullTable) {
    csv_clear_error();
    EXPECT_EQ(csv_emit_rows(nullptr, nullptr, 0, nullptr, 0, 0, -1), nullptr);
    EXPECT_STREQ(csv_last_error(), "null table");
    csv_clear_error();
    EXPECT_EQ(csv_emit_headers(nullptr), nullptr);
    EXPECT_STREQ(csv_last_error(), "null table");
    csv_clear_error();
    EXPECT_EQ(csv_emit_stats(nullptr), nullptr);
    EXPECT_STREQ(csv_last_error(), "null table");
    csv_clear_error();
    EXPECT_EQ(csv_emit_warnings(nullptr), nullptr);
    EXPECT_STREQ(csv_last_error(), "null table");
}

TEST(EmitRows, FailedCallLeavesThePreviousTextInPlace) {
    Built b(kAB, kRows12);
    const char *first = csv_emit_headers(b.get());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(csv_emit_rows(nullptr, nullptr, 0, nullptr, 0, 0, -1), nullptr);
    EXPECT_STREQ(first, R"(["a","b"])");
}

TEST(EmitExports, InvalidHandles) {
    for (int bad : {-1, 64, 12345}) {
        std::string msg = "invalid handle: " + std::to_string(bad);
        EXPECT_EQ(csv_headers(bad), nullptr);
        EXPECT_EQ(csv_last_error(), msg);
        EXPECT_EQ(csv_rows(bad, 0, -1), nullptr);
        EXPECT_EQ(csv_last_error(), msg);
        EXPECT_EQ(csv_stats(bad), nullptr);
        EXPECT_EQ(csv_last_error(), msg);
        EXPECT_EQ(csv_parse_warnings(bad), nullptr);
        EXPECT_EQ(csv_last_error(), msg);
        EXPECT_EQ(csv_parse_warning_count(bad), -1);
        EXPECT_EQ(csv_last_error(), msg);
    }
}

TEST(EmitExports, RepairedTextThroughLoadedFile) {
    Handle h("latin1.csv", "caf\xE9,b\n\xE9t\xE9,\"q\"\"\"\n");
    EXPECT_EQ(str(csv_headers(h.h)), "[\"caf\xC3\xA9\",\"b\"]");
    EXPECT_EQ(str(csv_rows(h.h, 0, -1)), "[{\"caf\xC3\xA9\":\"\xC3\xA9t\xC3\xA9\",\"b\":\"q\\\"\"}]");
}

// ---- the rows text's size check ---------------------------------------------

// Texts of every kind the writer treats apart: plain, escaped, repaired,
// cut at a NUL, long, empty.
const Strings kSizeHeaders = {"id", "q\"k", "t\tab"};
const Rows kSizeRows = {
    {"1", "plain text", "\x01\x02\x1F"},
    {"2", "", "caf\xE9 \xC3\xA9 \xF0\x9F\x98\x80"},
    {"3", std::string(100, 'x') + "\"\\", std::string("nul\0cut", 7)},
    {"4", "\n\r\b\f", std::string(37, '\x7F')},
};

struct MisjudgeCase {
    const char *name;
    std::vector<int32_t> cols;  // empty: every column
    int32_t offset;
    int32_t limit;
};
void PrintTo(const MisjudgeCase &c, std::ostream *os) { *os << c.name; }

class RowsSizeCheck : public ::testing::TestWithParam<MisjudgeCase> {};

// A size worked out too small makes the call fail with "out of memory" and
// write nothing past the room it reserved; one too large changes nothing.
TEST_P(RowsSizeCheck, WrongSizeNeverWritesPastTheBuffer) {
    const MisjudgeCase &c = GetParam();
    on_fresh_thread([&] {
        Built b(kSizeHeaders, kSizeRows);
        const int32_t *cols = c.cols.empty() ? nullptr : c.cols.data();
        const int32_t n_cols = static_cast<int32_t>(c.cols.size());
        auto emit = [&] { return csv_emit_rows(b.get(), nullptr, 4, cols, n_cols, c.offset, c.limit); };
        const std::string want = str(emit());
        ASSERT_NE(want, "<null>") << csv_last_error();
        const size_t len = want.size();
        Built canary_table({"c"}, {{std::string(len + 200, 'Z')}});
        for (size_t k = 1; k <= len; ++k) {
            // A text that fills the buffer past the reserved room first.
            const char *canary = csv_emit_rows(canary_table.get(), nullptr, 1, nullptr, 0, 0, -1);
            ASSERT_NE(canary, nullptr);
            const std::string before(canary, strlen(canary));
            csv_emit_rows_misjudge(-static_cast<int64_t>(k));
            csv_set_error("stale");
            ASSERT_EQ(emit(), nullptr) << "short by " << k;
            EXPECT_STREQ(csv_last_error(), "out of memory");
            // The reserved room ends at len - k + 1 (the NUL's place).
            EXPECT_EQ(std::string(canary + len - k + 1, before.size() - (len - k + 1)),
                      before.substr(len - k + 1))
                << "short by " << k;
            EXPECT_EQ(canary[0], '\0');
        }
        for (int64_t extra : {1, 7, 100}) {
            csv_emit_rows_misjudge(extra);
            EXPECT_EQ(str(emit()), want);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(
    Windows, RowsSizeCheck,
    ::testing::Values(MisjudgeCase{"all", {}, 0, -1}, MisjudgeCase{"listed", {2, 0, 2, 9}, 0, -1},
                      MisjudgeCase{"window", {}, 1, 2}, MisjudgeCase{"empty", {}, 4, -1},
                      MisjudgeCase{"no_columns", {9}, 0, -1}),
    [](const auto &info) { return std::string(info.param.name); });

// The headers document read back by yyjson's own reader gives each header
// repaired and cut at its first NUL.
TEST(EmitHeaders, ReadBackByTheJsonReader) {
    const Strings headers = {"a", "q\"\\", std::string("\x01\x1F\x7F\t\n", 5), "caf\xE9",
                             "\xC3\xA9\xF0\x9F\x98\x80", std::string("na\0me", 5), "",
                             std::string(300, 'h')};
    Built b(headers, {});
    const std::string text = str(csv_emit_headers(b.get()));
    yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
    ASSERT_NE(doc, nullptr) << text;
    yyjson_val *arr = yyjson_doc_get_root(doc);
    ASSERT_TRUE(yyjson_is_arr(arr));
    ASSERT_EQ(yyjson_arr_size(arr), headers.size());
    for (size_t i = 0; i < headers.size(); ++i) {
        const std::string cut = headers[i].substr(0, strlen(headers[i].c_str()));
        uint64_t n = 0;
        int32_t must_free = 0;
        const char *fixed = csv_utf8_sanitize(cut.data(), cut.size(), &n, &must_free);
        const std::string expected(fixed, static_cast<size_t>(n));
        if (must_free) csv_free(const_cast<char *>(fixed));
        yyjson_val *v = yyjson_arr_get(arr, i);
        ASSERT_TRUE(yyjson_is_str(v));
        EXPECT_EQ(std::string(yyjson_get_str(v), yyjson_get_len(v)), expected) << i;
    }
    yyjson_doc_free(doc);
}

// ---- out of memory ---------------------------------------------------------

// Fails the first, second, ... allocation of one rows call on a fresh
// thread until the call succeeds: every failure is reported with its own
// message, and the previous text of the thread stays readable throughout.
TEST(EmitRows, EachFailingAllocationIsReported) {
    on_fresh_thread([] {
        const std::string wide(5000, 'y');  // the result outgrows the first buffer
        Built b(kAB, {{"1", "\xE9"}, {"x", wide}});
        const char *before = csv_tls_put_json("[0]", 3);
        ASSERT_NE(before, nullptr);
        std::vector<std::string> seen;
        std::string text;
        for (int n = 0; n < 64 && text.empty(); ++n) {
            csv_clear_error();
            csv_alloc_fail_after(n);
            const char *r = csv_emit_rows(b.get(), nullptr, 2, nullptr, 0, 0, -1);
            csv_alloc_fail_after(-1);
            if (r != nullptr) {
                text = r;
                break;
            }
            seen.push_back(csv_last_error());
            EXPECT_STREQ(before, "[0]") << n;
        }
        EXPECT_EQ(text, "[{\"a\":\"1\",\"b\":\"\xC3\xA9\"},{\"a\":\"x\",\"b\":\"" + wide + "\"}]");
        // The member keys, then the larger result buffer. Repairing a text
        // needs no memory of its own, so it cannot fail the call.
        const std::vector<std::string> expected = {"out of memory",
                                                   "out of memory for JSON buffer"};
        EXPECT_EQ(seen, expected);
    });
}

TEST(EmitHeaders, FailedRepairFailsTheWriter) {
    on_fresh_thread([] {
        Built b({"\xE9"}, {});
        csv_alloc_fail_after(0);
        EXPECT_EQ(csv_emit_headers(b.get()), nullptr);
        csv_alloc_fail_after(-1);
        EXPECT_STREQ(csv_last_error(), "failed to serialize JSON");
    });
}

// ---- result buffer -----------------------------------------------------------

// Whether a text of `len` bytes fits the thread's buffer without growing it:
// with every allocation refused, only a fitting text can be stored.
bool fits_without_growth(size_t len) {
    std::string text(len, 'x');
    csv_alloc_fail_after(0);
    const char *p = csv_tls_put_json(text.data(), text.size());
    csv_alloc_fail_after(-1);
    return p != nullptr;
}

struct CapacityCase {
    const char *name;
    size_t first;     // first result on a fresh thread
    size_t capacity;  // the buffer it must get
};
void PrintTo(const CapacityCase &c, std::ostream *os) { *os << c.name; }

class ResultBuffer : public ::testing::TestWithParam<CapacityCase> {};

TEST_P(ResultBuffer, GrowsByDoubling) {
    const CapacityCase c = GetParam();
    on_fresh_thread([c] {
        std::string text(c.first, 'y');
        ASSERT_NE(csv_tls_put_json(text.data(), text.size()), nullptr);
        EXPECT_TRUE(fits_without_growth(c.capacity - 1));
        EXPECT_FALSE(fits_without_growth(c.capacity));
    });
}

const CapacityCase kCapacityCases[] = {
    {"Empty", 0, 4096},
    {"Fits4096", 4095, 4096},
    {"Needs4097", 4096, 8192},
    {"Text5000", 5000, 8192},
    {"Text65536", 65536, 131072},
};
INSTANTIATE_TEST_SUITE_P(Emit, ResultBuffer, ::testing::ValuesIn(kCapacityCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ResultBufferPolicy, ReusedThenDoubledFromCurrentCapacity) {
    on_fresh_thread([] {
        const char *p = csv_tls_put_json("abc", 3);
        ASSERT_NE(p, nullptr);
        std::string big(4095, 'q');
        EXPECT_EQ(csv_tls_put_json(big.data(), big.size()), p);  // fits: same buffer
        std::string bigger(4096, 'r');
        ASSERT_NE(csv_tls_put_json(bigger.data(), bigger.size()), nullptr);
        EXPECT_TRUE(fits_without_growth(8191));
        EXPECT_FALSE(fits_without_growth(8192));
        std::string huge(20000, 's');  // from 8192: 16384, then 32768
        ASSERT_NE(csv_tls_put_json(huge.data(), huge.size()), nullptr);
        EXPECT_TRUE(fits_without_growth(32767));
        EXPECT_FALSE(fits_without_growth(32768));
        // Never shrunk.
        EXPECT_TRUE(fits_without_growth(1));
        EXPECT_TRUE(fits_without_growth(32767));
    });
}

TEST(ResultBufferPolicy, FailedGrowthKeepsThePreviousText) {
    on_fresh_thread([] {
        const char *p = csv_tls_put_json("[1,2]", 5);
        ASSERT_NE(p, nullptr);
        std::string big(10000, 'z');
        csv_clear_error();
        csv_alloc_fail_after(0);
        EXPECT_EQ(csv_tls_put_json(big.data(), big.size()), nullptr);
        csv_alloc_fail_after(-1);
        EXPECT_STREQ(csv_last_error(), "out of memory for JSON buffer");
        EXPECT_STREQ(p, "[1,2]");
        // The same through an emitter whose result needs a larger buffer.
        std::vector<std::string> long_row(1, std::string(6000, 'w'));
        Built b({"c"}, {long_row});
        csv_clear_error();
        csv_alloc_fail_after(1);  // the member keys, then the buffer fails
        EXPECT_EQ(all_rows(b.get()), "<null>");
        csv_alloc_fail_after(-1);
        EXPECT_STREQ(csv_last_error(), "out of memory for JSON buffer");
        EXPECT_STREQ(p, "[1,2]");
        EXPECT_EQ(all_rows(b.get()), "[{\"c\":\"" + long_row[0] + "\"}]");
    });
}

TEST(ResultBufferPolicy, NullText) {
    csv_clear_error();
    EXPECT_EQ(csv_tls_put_json(nullptr, 0), nullptr);
    EXPECT_STREQ(csv_last_error(), "null JSON");
}

TEST(ResultBufferPolicy, CopiesLengthBytesAndTerminates) {
    on_fresh_thread([] {
        const char *p = csv_tls_put_json("abcdef", 3);
        ASSERT_NE(p, nullptr);
        EXPECT_STREQ(p, "abc");
        EXPECT_STREQ(csv_tls_put_json("", 0), "");
    });
}

// Two threads querying at the same time each read their own text, and a
// thread's own text is untouched by the other's queries.
TEST(EmitThreads, EachThreadReadsItsOwnText) {
    Handle one("threads_one.csv", "a,b\n1,2\n3,4\n");
    Handle two("threads_two.csv", "x\n\xE9\nlonger text here\n");
    const std::string rows_one = R"([{"a":"1","b":"2"},{"a":"3","b":"4"}])";
    const std::string rows_two = "[{\"x\":\"\xC3\xA9\"},{\"x\":\"longer text here\"}]";
    std::atomic<int> failures{0};
    std::atomic<bool> go{false};
    auto worker = [&](int h, const std::string &rows, const std::string &headers) {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 3000; ++i) {
            const char *r = csv_rows(h, 0, -1);
            if (r == nullptr || rows != r) ++failures;
            const char *hd = csv_headers(h);
            if (hd == nullptr || headers != hd) ++failures;
            // A thread's second query may reuse its buffer, never the other's.
            if (r != hd) ++failures;
        }
    };
    std::thread t1(worker, one.h, rows_one, std::string(R"(["a","b"])"));
    std::thread t2(worker, two.h, rows_two, std::string(R"(["x"])"));
    go = true;
    t1.join();
    t2.join();
    EXPECT_EQ(failures.load(), 0);
}

// ---- statistics document -------------------------------------------------------

struct StatsCase {
    const char *name;
    const char *file;
    const char *expected;
};
void PrintTo(const StatsCase &c, std::ostream *os) { *os << c.name; }

class StatsDoc : public ::testing::TestWithParam<StatsCase> {};

TEST_P(StatsDoc, ExactText) {
    const StatsCase &c = GetParam();
    Handle h(std::string("stats_") + c.name + ".csv", c.file);
    EXPECT_EQ(str(csv_stats(h.h)), c.expected);
    EXPECT_STREQ(csv_last_error(), "");
}

const StatsCase kStatsCases[] = {
    {"Worked", "item,qty,note\napple,3,fresh\npear,,\napple,4,x\n",
     R"({"row_count":3,"col_count":3,"columns":[{"name":"item","count":3,"nulls":0,"unique":2,"numeric":false},)"
     R"({"name":"qty","count":2,"nulls":1,"unique":3,"numeric":true,"min":3.0,"max":4.0,"mean":3.5},)"
     R"({"name":"note","count":2,"nulls":1,"unique":3,"numeric":false}]})"},
    {"HeaderOnly", "a,b\n",
     R"({"row_count":0,"col_count":2,"columns":[{"name":"a","count":0,"nulls":0,"unique":0,"numeric":false},)"
     R"({"name":"b","count":0,"nulls":0,"unique":0,"numeric":false}]})"},
    {"NoColumns", "", R"({"row_count":0,"col_count":0,"columns":[]})"},
    {"WholeNumbersPrintedAsReals", "v,z,neg\n2,0,-2.5\n4,0,10\n",
     R"({"row_count":2,"col_count":3,"columns":[{"name":"v","count":2,"nulls":0,"unique":2,"numeric":true,"min":2.0,"max":4.0,"mean":3.0},)"
     R"({"name":"z","count":2,"nulls":0,"unique":1,"numeric":true,"min":0.0,"max":0.0,"mean":0.0},)"
     R"({"name":"neg","count":2,"nulls":0,"unique":2,"numeric":true,"min":-2.5,"max":10.0,"mean":3.75}]})"},
    {"OnlyEmptyCells", "e,f\n,1\n,2\n",
     R"({"row_count":2,"col_count":2,"columns":[{"name":"e","count":0,"nulls":2,"unique":1,"numeric":false},)"
     R"({"name":"f","count":2,"nulls":0,"unique":2,"numeric":true,"min":1.0,"max":2.0,"mean":1.5}]})"},
    {"RepairedAndDuplicateNames", "caf\xE9,d,d\nx,1,y\n",
     "{\"row_count\":1,\"col_count\":3,\"columns\":[{\"name\":\"caf\xC3\xA9\",\"count\":1,\"nulls\":0,\"unique\":1,\"numeric\":false},"
     "{\"name\":\"d\",\"count\":1,\"nulls\":0,\"unique\":1,\"numeric\":true,\"min\":1.0,\"max\":1.0,\"mean\":1.0},"
     "{\"name\":\"d\",\"count\":1,\"nulls\":0,\"unique\":1,\"numeric\":false}]}"},
    // The running sum of two finite values overflows; the mean of the
    // values is still 1e308.
    {"HugeValuesKeepAFiniteMean", "big\n1e308\n1e308\n",
     R"({"row_count":2,"col_count":1,"columns":[{"name":"big","count":2,"nulls":0,"unique":1,"numeric":true,"min":1e308,"max":1e308,"mean":1e308}]})"},
    {"InfinityMadeNonNumericByText", "v\n1\ninf\nx\n",
     R"({"row_count":3,"col_count":1,"columns":[{"name":"v","count":3,"nulls":0,"unique":3,"numeric":false}]})"},
};
INSTANTIATE_TEST_SUITE_P(Emit, StatsDoc, ::testing::ValuesIn(kStatsCases),
                         [](const auto &info) { return std::string(info.param.name); });

// A numeric column whose minimum, maximum or mean is not finite (a cell
// nan, inf, -inf or 1e999, all numbers to strtod) stays numeric; each such
// figure is written as null, every other figure and column as before.
const StatsCase kNonFiniteCases[] = {
    {"NanInTheMiddle", "v\n1\nnan\n3\n",
     R"({"row_count":3,"col_count":1,"columns":[{"name":"v","count":3,"nulls":0,"unique":3,"numeric":true,"min":1.0,"max":3.0,"mean":null}]})"},
    {"InfinitiesBothWays", "v\ninf\n-inf\n",
     R"({"row_count":2,"col_count":1,"columns":[{"name":"v","count":2,"nulls":0,"unique":2,"numeric":true,"min":null,"max":null,"mean":null}]})"},
    {"OutOfRange", "v\n1e999\n",
     R"({"row_count":1,"col_count":1,"columns":[{"name":"v","count":1,"nulls":0,"unique":1,"numeric":true,"min":null,"max":null,"mean":null}]})"},
    {"InfinityAfterFinite", "v\n1\ninf\n",
     R"({"row_count":2,"col_count":1,"columns":[{"name":"v","count":2,"nulls":0,"unique":2,"numeric":true,"min":1.0,"max":null,"mean":null}]})"},
    {"NanFirst", "v\nnan\n2\n",
     R"({"row_count":2,"col_count":1,"columns":[{"name":"v","count":2,"nulls":0,"unique":2,"numeric":true,"min":null,"max":null,"mean":null}]})"},
    {"OtherColumnsUnchanged", "a,b,c\n1,nan,x\n2,3,\n",
     R"({"row_count":2,"col_count":3,"columns":[{"name":"a","count":2,"nulls":0,"unique":2,"numeric":true,"min":1.0,"max":2.0,"mean":1.5},)"
     R"({"name":"b","count":2,"nulls":0,"unique":2,"numeric":true,"min":null,"max":null,"mean":null},)"
     R"({"name":"c","count":1,"nulls":1,"unique":2,"numeric":false}]})"},
};
INSTANTIATE_TEST_SUITE_P(NonFinite, StatsDoc, ::testing::ValuesIn(kNonFiniteCases),
                         [](const auto &info) { return std::string(info.param.name); });

// What is numeric, and the order of a sort, stay as they were.
TEST(StatsDocNonFinite, NumericAndSortUnchanged) {
    Handle h("stats_nonfinite_sort.csv", "v\n1\nnan\n3\ninf\n-inf\n");
    const csv_table *t = nullptr;
    csv_table_lock();
    t = csv_table_get(h.h);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(csv_col_is_numeric(t, 0), 1);
    csv_table_unlock();
    EXPECT_EQ(str(csv_sort(h.h, "v", 0)),
              R"([{"v":"-inf"},{"v":"1"},{"v":"3"},{"v":"inf"},{"v":"nan"}])");
}

TEST(StatsDocFailure, NameWithNulIsCut) {
    using namespace std::string_literals;
    Built b({"na\0me"s}, {{"1"}});
    EXPECT_EQ(str(csv_emit_stats(b.get())),
              R"({"row_count":1,"col_count":1,"columns":[{"name":"na","count":1,"nulls":0,"unique":1,"numeric":true,"min":1.0,"max":1.0,"mean":1.0}]})");
}

// ---- warnings document ---------------------------------------------------------

csv_warning sample(int32_t kind, int64_t row, int32_t expected, int32_t actual) {
    csv_warning w{};
    w.kind = kind;
    w.row = row;
    w.expected = expected;
    w.actual = actual;
    return w;
}

TEST(WarningsDoc, NoWarnings) {
    csv_table t{};
    t.expected_cols = 3;
    EXPECT_EQ(str(csv_emit_warnings(&t)),
              R"({"count":0,"ragged":0,"blank":0,"unterminated_quote":false,"truncated_utf16":false,"expected_cols":3,"first":null,"samples":[]})");
}

TEST(WarningsDoc, AllKindsOfSummary) {
    csv_table t{};
    t.expected_cols = 3;
    t.ragged = 2;
    t.blank = 1;
    t.unterminated_quote = 1;
    t.unterminated_row = 7;
    t.n_samples = 4;
    t.samples[0] = sample(1, 3, 3, 2);
    t.samples[1] = sample(2, 5, 3, 1);
    t.samples[2] = sample(1, 6, 3, 4);
    t.samples[3] = sample(3, 7, 3, 0);
    EXPECT_EQ(str(csv_emit_warnings(&t)),
              R"({"count":4,"ragged":2,"blank":1,"unterminated_quote":true,"truncated_utf16":false,"expected_cols":3,"unterminated_row":7,)"
              R"("first":{"kind":"ragged","row":3,"expected":3,"actual":2},"samples":[{"kind":"ragged","row":3,"expected":3,"actual":2},)"
              R"({"kind":"blank","row":5,"expected":3,"actual":1},{"kind":"ragged","row":6,"expected":3,"actual":4},)"
              R"({"kind":"unterminated_quote","row":7,"expected":3,"actual":0}]})");
}

TEST(WarningsDoc, EndToEndFromLoadedFile) {
    Handle h("warnings_e2e.csv", "a,b,c\n1,2\n\n4,5,6,7\n\"x,y\n");
    EXPECT_EQ(str(csv_parse_warnings(h.h)),
              R"({"count":4,"ragged":2,"blank":1,"unterminated_quote":true,"truncated_utf16":false,"expected_cols":3,"unterminated_row":5,)"
              R"("first":{"kind":"ragged","row":2,"expected":3,"actual":2},"samples":[{"kind":"ragged","row":2,"expected":3,"actual":2},)"
              R"({"kind":"blank","row":3,"expected":3,"actual":1},{"kind":"ragged","row":4,"expected":3,"actual":4},)"
              R"({"kind":"unterminated_quote","row":5,"expected":3,"actual":0}]})");
    EXPECT_STREQ(csv_last_error(), "");
    EXPECT_EQ(csv_parse_warning_count(h.h), 4);
}

TEST(WarningsDoc, TruncatedUtf16CountsOnce) {
    csv_table t{};
    t.expected_cols = 2;
    t.truncated_utf16 = 7;  // any non-zero value is set
    t.n_samples = 1;
    t.samples[0] = sample(4, 9, 2, 0);
    EXPECT_EQ(str(csv_emit_warnings(&t)),
              R"({"count":1,"ragged":0,"blank":0,"unterminated_quote":false,"truncated_utf16":true,"expected_cols":2,)"
              R"("first":{"kind":"truncated_utf16","row":9,"expected":2,"actual":0},"samples":[{"kind":"truncated_utf16","row":9,"expected":2,"actual":0}]})");
}

struct KindCase {
    const char *name;
    int32_t kind;
    const char *text;
};
void PrintTo(const KindCase &c, std::ostream *os) { *os << c.name; }

class WarningKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(WarningKind, NameOfKind) {
    const KindCase &c = GetParam();
    csv_table t{};
    t.n_samples = 1;
    t.samples[0] = sample(c.kind, 1, -2, INT32_MIN);
    std::string obj = std::string(R"({"kind":")") + c.text + R"(","row":1,"expected":-2,"actual":-2147483648})";
    EXPECT_EQ(str(csv_emit_warnings(&t)),
              R"({"count":0,"ragged":0,"blank":0,"unterminated_quote":false,"truncated_utf16":false,"expected_cols":0,"first":)" +
                  obj + R"(,"samples":[)" + obj + "]}");
}

const KindCase kKindCases[] = {
    {"Zero", 0, ""},          {"Ragged", 1, "ragged"},
    {"Blank", 2, "blank"},    {"Unterminated", 3, "unterminated_quote"},
    {"Truncated", 4, "truncated_utf16"},
    {"Five", 5, ""},          {"MinusOne", -1, ""},
    {"Min", INT32_MIN, ""},   {"Max", INT32_MAX, ""},
};
INSTANTIATE_TEST_SUITE_P(Emit, WarningKind, ::testing::ValuesIn(kKindCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(WarningsDoc, OnlyTwentySamplesButFullCounts) {
    std::string file = "a,b\n";
    for (int i = 0; i < 25; ++i) file += "1\n";
    file += "\n1,2\n";
    Handle h("warnings_many.csv", file);
    const char *doc = csv_parse_warnings(h.h);
    ASSERT_NE(doc, nullptr);
    std::string s(doc);
    EXPECT_EQ(s.rfind(R"({"count":26,"ragged":25,"blank":1,)", 0), 0u) << s;
    size_t objects = 0;
    for (size_t at = s.find("\"kind\""); at != std::string::npos; at = s.find("\"kind\"", at + 1))
        ++objects;
    EXPECT_EQ(objects, 21u);  // "first" plus 20 samples
    EXPECT_NE(s.find(R"("samples":[{"kind":"ragged","row":2,"expected":2,"actual":1},)"), std::string::npos);
    EXPECT_NE(s.find(R"({"kind":"ragged","row":21,"expected":2,"actual":1}]})"), std::string::npos);
    EXPECT_EQ(csv_parse_warning_count(h.h), 26);
}

TEST(WarningsDoc, SampleCountOutsideRange) {
    csv_table t{};
    t.n_samples = -3;
    EXPECT_EQ(str(csv_emit_warnings(&t)),
              R"({"count":0,"ragged":0,"blank":0,"unterminated_quote":false,"truncated_utf16":false,"expected_cols":0,"first":null,"samples":[]})");
    t.n_samples = 99;  // never read past the 20 stored samples
    for (int i = 0; i < CSV_MAX_SAMPLES; ++i) t.samples[i] = sample(2, i + 1, 1, 1);
    std::string s = str(csv_emit_warnings(&t));
    size_t objects = 0;
    for (size_t at = s.find("\"kind\""); at != std::string::npos; at = s.find("\"kind\"", at + 1))
        ++objects;
    EXPECT_EQ(objects, 21u);
}

TEST(WarningsDoc, TotalAboveInt32IsClampedOnlyInTheCount) {
    Handle h("warnings_clamp.csv", "a\n1\n");
    {
        csv_table_lock();
        csv_table *t = csv_table_get(h.h);
        ASSERT_NE(t, nullptr);
        t->ragged = 3000000000LL;
        t->blank = 5;
        t->truncated_utf16 = 1;
        csv_table_unlock();
    }
    EXPECT_EQ(csv_parse_warning_count(h.h), INT32_MAX);
    EXPECT_EQ(str(csv_parse_warnings(h.h)),
              R"({"count":3000000006,"ragged":3000000000,"blank":5,"unterminated_quote":false,"truncated_utf16":true,"expected_cols":1,"first":null,"samples":[]})");
    csv_table_lock();
    csv_table_get(h.h)->ragged = 0;
    csv_table_unlock();
}

// ---- CSV text writer -----------------------------------------------------------

// Everything written to a memory stream by the writer, with its result.
std::string write_csv(const csv_table *t, int *rc) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    *rc = csv_emit_csv_fp(t, f);
    fclose(f);
    std::string out(buf, len);
    free(buf);
    return out;
}

struct FieldCase {
    const char *name;
    std::string cell;
    std::string written;
};
void PrintTo(const FieldCase &c, std::ostream *os) { *os << c.name; }

class CsvField : public ::testing::TestWithParam<FieldCase> {};

TEST_P(CsvField, WrittenAs) {
    const FieldCase &c = GetParam();
    Built b({"h"}, {{c.cell}, {"next"}});
    int rc = -2;
    EXPECT_EQ(write_csv(b.get(), &rc), c.written + "\nnext\n");
    EXPECT_EQ(rc, 0);
}

using namespace std::string_literals;
const FieldCase kFieldCases[] = {
    {"Comma", "a,b", "\"a,b\""},
    {"Quotes", "say \"hi\"", "\"say \"\"hi\"\"\""},
    {"OnlyQuote", "\"", "\"\"\"\""},
    {"Semicolon", "a;b", "a;b"},
    {"Empty", "", ""},
    {"LineFeed", "a\nb", "\"a\nb\""},
    {"CarriageReturn", "a\rb", "\"a\rb\""},
    {"CrLf", "a\r\nb", "\"a\r\nb\""},
    {"SpacesNotQuoted", "  a b  ", "  a b  "},
    {"TabPipeNotQuoted", "a\tb|c", "a\tb|c"},
    {"NonUtf8Unchanged", "\xE9\xFF", "\xE9\xFF"},
    {"NulKept", "a\0b"s, "a\0b"s},
    {"NulWithComma", "\0,"s, "\"\0,\""s},
};
INSTANTIATE_TEST_SUITE_P(Emit, CsvField, ::testing::ValuesIn(kFieldCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(CsvWriter, RowsHeaderLineAndEmptyShapes) {
    Built b({"x", "y,z", "w"}, {{"", "", ""}, {"1", "", "3"}});
    int rc = -2;
    EXPECT_EQ(write_csv(b.get(), &rc), ",,\n1,,3\n");
    EXPECT_EQ(rc, 0);
    b.t.header_line = 1;
    EXPECT_EQ(write_csv(b.get(), &rc), "x,\"y,z\",w\n,,\n1,,3\n");
    EXPECT_EQ(rc, 0);

    Built header_only({"a"}, {});
    EXPECT_EQ(write_csv(header_only.get(), &rc), "");
    EXPECT_EQ(rc, 0);
    header_only.t.header_line = 1;
    EXPECT_EQ(write_csv(header_only.get(), &rc), "a\n");

    Built no_cols({}, {{}, {}, {}}, 0);
    no_cols.t.header_line = 1;  // no columns: no header line
    EXPECT_EQ(write_csv(no_cols.get(), &rc), "\n\n\n");
    EXPECT_EQ(rc, 0);

    csv_table zero{};
    EXPECT_EQ(write_csv(&zero, &rc), "");
    EXPECT_EQ(rc, 0);
}

TEST(CsvWriter, NullArguments) {
    Built b({"a"}, {{"1"}});
    EXPECT_EQ(csv_emit_csv_fp(nullptr, stdout), -1);
    EXPECT_EQ(csv_emit_csv_fp(b.get(), nullptr), -1);
}

TEST(CsvWriter, RoundTripKeepsAwkwardCells) {
    const Rows rows = {
        {"a,b", "say \"hi\"", "line1\nline2", "cr\ronly"},
        {"crlf\r\nend", "  lead", "trail  ", ""},
        {"", "", "", ""},
        {"\xE9\xFF\x80", "\"", ",", "x;y|z\t"},
        {"\"\"", "\",\"", "a\"\nb", "last"},
    };
    Built b({"1", "2", "3", "4"}, rows);
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(csv_emit_csv_fp(b.get(), f), 0);
    ASSERT_EQ(fflush(f), 0);
    std::string text(static_cast<size_t>(ftell(f)), '\0');
    rewind(f);
    ASSERT_EQ(fread(text.data(), 1, text.size(), f), text.size());
    fclose(f);

    vtest::Table back(text, false);
    EXPECT_EQ(vtest::rows(back.t), rows);
    EXPECT_EQ(back->ragged + back->blank + back->unterminated_quote, 0);
}

// A stream whose writes fail once `budget` bytes have gone through, and for
// good after the first failure, as a broken pipe does.
struct FailingSink {
    size_t budget;
    std::string got;
    bool broken = false;
};

ssize_t sink_write(void *cookie, const char *buf, size_t size) {
    FailingSink *s = static_cast<FailingSink *>(cookie);
    if (s->broken || size > s->budget) {
        s->broken = true;
        return -1;
    }
    s->budget -= size;
    s->got.append(buf, size);
    return static_cast<ssize_t>(size);
}

FILE *failing_stream(FailingSink *sink) {
    cookie_io_functions_t io{};
    io.write = sink_write;
    FILE *f = fopencookie(sink, "w", io);
    if (f) setvbuf(f, nullptr, _IONBF, 0);  // every write reaches the sink at once
    return f;
}

TEST(CsvWriter, StreamFailingOnFirstWrite) {
    Built b({"a", "b"}, {{"1", "2"}});
    FILE *ro = fopen(vtest::write_temp("readonly.csv", "").c_str(), "r");
    ASSERT_NE(ro, nullptr);
    EXPECT_EQ(csv_emit_csv_fp(b.get(), ro), -1);
    fclose(ro);

    FailingSink sink{0, {}};
    FILE *f = failing_stream(&sink);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(csv_emit_csv_fp(b.get(), f), -1);
    fclose(f);

    Built empty({"a"}, {});  // nothing to write: nothing can fail
    FailingSink none{0, {}};
    FILE *g = failing_stream(&none);
    EXPECT_EQ(csv_emit_csv_fp(empty.get(), g), 0);
    fclose(g);
}

// Failing at every byte position: -1 each time, with what went out before
// the failure kept as a prefix of the full text.
TEST(CsvWriter, StreamFailingMidway) {
    Built b({"h1", "h2"}, {{"plain", "q\"x"}, {"", "a,b"}});
    b.t.header_line = 1;
    int rc = -2;
    const std::string full = write_csv(b.get(), &rc);
    ASSERT_EQ(full, "h1,h2\nplain,\"q\"\"x\"\n,\"a,b\"\n");
    for (size_t budget = 0; budget < full.size(); ++budget) {
        FailingSink sink{budget, {}};
        FILE *f = failing_stream(&sink);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(csv_emit_csv_fp(b.get(), f), -1) << budget;
        fclose(f);
        EXPECT_EQ(full.compare(0, sink.got.size(), sink.got), 0) << budget;
        EXPECT_LE(sink.got.size(), budget);
    }
    FailingSink enough{full.size(), {}};
    FILE *f = failing_stream(&enough);
    EXPECT_EQ(csv_emit_csv_fp(b.get(), f), 0);
    fclose(f);
    EXPECT_EQ(enough.got, full);
}

}  // namespace
