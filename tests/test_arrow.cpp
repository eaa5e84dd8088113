// The columnar export: the structs of every stream checked against the Arrow
// C data interface's rules (formats, buffers, offsets, validity, release),
// the typed columns' rules case by case, the stream's life apart from the
// table and its thread, the errors, and every allocation failing in turn.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <yyjson.h>

#include "arrow_check.h"
#include "test_util.h"

namespace {

using varrow::Collected;

// A table loaded from text, closed at the end of the scope.
struct Loaded {
    int h = -1;
    Loaded(const std::string &text, int has_header = 1) {
        h = csv_load(vtest::write_temp("arrow.csv", text).c_str(), has_header);
        EXPECT_GE(h, 0) << csv_last_error();
    }
    ~Loaded() { csv_close(h); }
};

class Arrow : public ::testing::Test {
protected:
    void TearDown() override {
        csv_arrow_test_limits(0, 0);
        csv_alloc_fail_after(-1);
    }
};

// The stream of `cols`/`flags`, checked and gathered, or the failure text.
Collected export_of(int h, const char *cols, int flags) {
    ArrowArrayStream s;
    if (csv_arrow_stream(h, cols, flags, &s) != 0) {
        Collected c;
        c.error = csv_last_error();
        return c;
    }
    EXPECT_STREQ(csv_last_error(), "");
    return varrow::collect(&s);
}

// ---- text mode agrees with the rows answer --------------------------------

struct TextCase {
    const char *name;
    std::string csv;
    int has_header;
};

class ArrowText : public Arrow, public ::testing::WithParamInterface<TextCase> {};

TEST_P(ArrowText, EveryCellAsCsvRowsGivesIt) {
    const TextCase &c = GetParam();
    Loaded t(c.csv, c.has_header);
    for (int64_t batch : {int64_t{0}, int64_t{1}, int64_t{2}, int64_t{3}}) {
        csv_arrow_test_limits(batch, 0);
        Collected got = export_of(t.h, nullptr, CSV_ARROW_TEXT);
        ASSERT_EQ(got.error, "") << got.problem;
        EXPECT_EQ(got.problem, "");
        EXPECT_EQ(got.names, varrow::headers_of(t.h));
        for (const std::string &f : got.formats) EXPECT_EQ(f, "u");
        EXPECT_EQ(got.cells, varrow::rows_of(t.h)) << "batch rows " << batch;
        if (batch > 0) {
            const int64_t rows = csv_row_count(t.h);
            EXPECT_EQ(got.n_batches, (rows + batch - 1) / batch);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arrow, ArrowText,
    ::testing::Values(
        TextCase{"plain", "a,b,c\n1,x,\n2,,z\n,y,3\n", 1},
        TextCase{"no_header", "1,2\n3,4\n5,6\n", 0},
        TextCase{"empty_file", "", 1},
        TextCase{"header_only", "a,b\n", 1},
        TextCase{"ragged", "a,b,c\n1\n1,2,3,4\n", 1},
        TextCase{"quoted", "a,b\n\"x,\"\"y\"\"\",\"multi\nline\"\n", 1},
        TextCase{"latin1_repaired", "n\xe4me,b\nk\xf6ln,\xff\xfe\n\xc3\xa9t\xe9,\n", 1},
        TextCase{"repeated_names", "a,a,b\n1,2,3\n", 1},
        TextCase{"nul_byte", std::string("a,b\nx\0y,z\n", 10), 1},
        TextCase{"numbers_stay_text", "n\n1\n2.5\n\n", 1}),
    [](const auto &info) { return std::string(info.param.name); });

// Texts of every length up to a few chunks, plain, with well-formed and
// broken UTF-8 and with a NUL at each place, each followed by more of the
// table (so read in whole chunks) and, in the last rows, near the end of
// the table's texts: every cell as csv_rows gives it.
TEST_F(Arrow, TextsOfEveryShapeAsCsvRowsGivesThem) {
    const std::vector<std::string> pieces = {"a", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x99\x82",
                                             "\xff", "\xc3", "\xe2\x82", std::string(1, '\0')};
    std::string csv = "t,pad\n";
    for (size_t len = 0; len <= 50; ++len) {
        for (size_t k = 0; k < pieces.size(); ++k) {
            std::string cell(len, static_cast<char>('b' + k));
            cell.insert(len * k / pieces.size(), pieces[k]);
            csv += "\"" + cell + "\"," + std::string(len % 7, 'z') + "\n";
        }
    }
    csv += "\"x\xc3\xa9y\",\n\"\xff\",";  // the last texts: no chunk past them
    Loaded t(csv, 1);
    for (int64_t batch : {int64_t{0}, int64_t{5}}) {
        csv_arrow_test_limits(batch, 0);
        Collected got = export_of(t.h, nullptr, CSV_ARROW_TEXT);
        ASSERT_EQ(got.error, "");
        EXPECT_EQ(got.problem, "");
        EXPECT_EQ(got.cells, varrow::rows_of(t.h)) << "batch rows " << batch;
    }
}

// Small batches split the same rows: every column, name and cell as the
// default batches give them, typed or not, and no batch longer than 16384
// rows (nor than the test seam's, where that is shorter).
TEST_F(Arrow, SmallBatchesHoldTheSameRows) {
    std::string csv = "n,x,t\n";
    for (int i = 0; i < 40000; ++i)
        csv += std::to_string(i) + "," + std::to_string(i % 7) + ".5," + (i % 3 ? "a" : "") + "\n";
    Loaded t(csv, 1);
    for (int flags : {CSV_ARROW_TEXT, CSV_ARROW_TYPED, CSV_ARROW_TYPED | CSV_ARROW_NULL_MARKERS}) {
        Collected whole = export_of(t.h, nullptr, flags);
        ASSERT_EQ(whole.error, "");
        EXPECT_EQ(whole.n_batches, 1);
        for (int64_t seam : {int64_t{0}, int64_t{9999}}) {
            csv_arrow_test_limits(seam, 0);
            Collected small = export_of(t.h, nullptr, flags | CSV_ARROW_SMALL_BATCHES);
            ASSERT_EQ(small.error, "");
            EXPECT_EQ(small.problem, "");
            EXPECT_EQ(small.n_batches, seam == 0 ? 3 : 5) << "flags " << flags;
            EXPECT_EQ(small.names, whole.names);
            EXPECT_EQ(small.formats, whole.formats);
            EXPECT_EQ(small.cells, whole.cells);
            EXPECT_EQ(small.null_counts, whole.null_counts);
        }
        csv_arrow_test_limits(0, 0);
    }
}

// ---- typed columns -----------------------------------------------------

struct TypedCase {
    const char *name;
    std::string column;  // one column: header "v", then the cells, one per line
    int flags;
    const char *format;
    std::vector<std::string> values;  // as varrow renders them; "<null>" for null
};

class ArrowTyped : public Arrow, public ::testing::WithParamInterface<TypedCase> {};

TEST_P(ArrowTyped, ColumnTypeAndValues) {
    const TypedCase &c = GetParam();
    Loaded t("v,tag\n" + c.column, 1);
    Collected got = export_of(t.h, nullptr, c.flags);
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.problem, "");
    ASSERT_EQ(got.formats.size(), 2u);
    EXPECT_EQ(got.formats[0], c.format);
    EXPECT_EQ(got.formats[1], "u");  // the tag column is text
    std::vector<std::string> col0;
    for (const auto &row : got.cells) col0.push_back(row[0]);
    EXPECT_EQ(col0, c.values);
}

const int T = CSV_ARROW_TYPED;
const int TM = CSV_ARROW_TYPED | CSV_ARROW_NULL_MARKERS;
const std::string N = "<null>";

INSTANTIATE_TEST_SUITE_P(
    Arrow, ArrowTyped,
    ::testing::Values(
        TypedCase{"ints", "1,a\n-2,a\n+3,a\n 4 ,a\n007,a\n", T, "l", {"1", "-2", "3", "4", "7"}},
        TypedCase{"int_empty_is_null", "1,a\n,a\n3,a\n", T, "l", {"1", N, "3"}},
        TypedCase{"int64_limits", "9223372036854775807,a\n-9223372036854775808,a\n", T, "l",
                  {"9223372036854775807", "-9223372036854775808"}},
        TypedCase{"past_int64_is_float", "9223372036854775808,a\n1,a\n", T, "g",
                  {"9.2233720368547758e+18", "1"}},
        TypedCase{"below_int64_is_float", "-9223372036854775809,a\n", T, "g",
                  {"-9.2233720368547758e+18"}},
        TypedCase{"decimal_is_float", "1,a\n2.5,a\n,a\n", T, "g", {"1", "2.5", N}},
        TypedCase{"exponent_is_float", "1e3,a\n2,a\n", T, "g", {"1000", "2"}},
        TypedCase{"inf_is_float", "inf,a\n-1,a\n", T, "g", {"inf", "-1"}},
        TypedCase{"one_word_is_text", "1,a\nabc,a\n,a\n", T, "u", {"1", "abc", ""}},
        TypedCase{"blank_cell_is_text", "1,a\n\"  \",a\n", T, "u", {"1", "  "}},
        TypedCase{"all_empty_is_text", ",a\n,a\n", T, "u", {"", ""}},
        TypedCase{"sign_alone_is_text", "-,a\n1,a\n", T, "u", {"-", "1"}},
        TypedCase{"marker_is_text_by_default", "1,a\nN/A,a\n", T, "u", {"1", "N/A"}},
        TypedCase{"markers_are_null", "1,a\nN/A,a\nNA,a\n - ,a\nNULL,a\n#N/A,a\n2,a\n", TM, "l",
                  {"1", N, N, N, N, N, "2"}},
        TypedCase{"nan_marker_in_float", "1.5,a\nNaN,a\nnan,a\n", TM, "g", {"1.5", N, N}},
        TypedCase{"nan_is_a_number_by_default", "1.5,a\nNaN,a\n", T, "g", {"1.5", "nan"}},
        TypedCase{"only_markers_stay_text", "NA,a\n,a\n", TM, "u", {"NA", ""}},
        TypedCase{"markers_need_typed", "1,a\nNA,a\n", CSV_ARROW_NULL_MARKERS, "u", {"1", "NA"}},
        TypedCase{"text_mode_keeps_text", "1,a\n,a\n", CSV_ARROW_TEXT, "u", {"1", ""}},
        TypedCase{"long_integer_is_text",
                  std::string(130, '1') + ",a\n", T, "u", {std::string(130, '1')}}),
    [](const auto &info) { return std::string(info.param.name); });

// Numbers of the short forms and just past them (lengths, signs, points,
// leading zeros, blanks) read as the statistics read them: integers to the
// exact int64 value, decimals to the double strtod gives.
TEST_F(Arrow, ShortAndLongNumbersReadExactly) {
    std::vector<std::string> ints, decimals;
    std::string digits = "1234567890123456789";  // within int64 at 19 digits
    for (size_t n = 1; n <= 19; ++n) {
        const std::string d = digits.substr(0, n);
        for (const char *sign : {"", "-", "+"}) ints.push_back(sign + d);
        ints.push_back("0" + d.substr(0, n - 1));
        ints.push_back(" " + d);
        for (size_t point = 0; point <= n; ++point) {
            std::string x = d;
            x.insert(point, ".");
            decimals.push_back(x);
            decimals.push_back("-" + x);
        }
    }
    decimals.push_back("1e5");
    decimals.push_back(" 2.5 ");
    decimals.push_back("-0");
    std::string csv = "i,f,pad\n";
    const size_t rows = ints.size() > decimals.size() ? ints.size() : decimals.size();
    for (size_t r = 0; r < rows; ++r)
        csv += (r < ints.size() ? ints[r] : "") + "," + (r < decimals.size() ? decimals[r] : "") +
               ",padding past the numbers\n";
    Loaded t(csv, 1);
    Collected got = export_of(t.h, "i,f", CSV_ARROW_TYPED);
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.problem, "");
    ASSERT_EQ(got.formats, (std::vector<std::string>{"l", "g"}));
    ASSERT_EQ(got.cells.size(), rows);
    for (size_t r = 0; r < ints.size(); ++r)
        EXPECT_EQ(got.cells[r][0], std::to_string(strtoll(ints[r].c_str(), nullptr, 10))) << ints[r];
    ASSERT_EQ(got.numbers[1].size(), decimals.size());
    for (size_t r = 0; r < decimals.size(); ++r) {
        const double want = strtod(decimals[r].c_str(), nullptr);
        EXPECT_EQ(memcmp(&got.numbers[1][r], &want, sizeof want), 0)
            << decimals[r] << ": " << got.numbers[1][r] << " against " << want;
    }
}

// A numeric column by the statistics is numeric here; the values are the
// statistics' values (min, max, mean of the batch values agree).
TEST_F(Arrow, TypedColumnsFollowTheStatistics) {
    Loaded t("i,f,s,e\n1,0.5,x,\n-7,2,y,\n,1e-3,,\n40,-3.25,z,\n", 1);
    Collected got = export_of(t.h, nullptr, CSV_ARROW_TYPED);
    ASSERT_EQ(got.problem, "");
    EXPECT_EQ(got.formats, (std::vector<std::string>{"l", "g", "u", "u"}));
    EXPECT_EQ(got.null_counts, (std::vector<int64_t>{1, 0, 0, 0}));
    yyjson_doc *doc = yyjson_read(csv_stats(t.h), strlen(csv_stats(t.h)), 0);
    ASSERT_NE(doc, nullptr);
    yyjson_val *cols = yyjson_obj_get(yyjson_doc_get_root(doc), "columns");
    for (size_t c = 0; c < 4; ++c) {
        yyjson_val *col = yyjson_arr_get(cols, c);
        const bool numeric = yyjson_get_bool(yyjson_obj_get(col, "numeric"));
        EXPECT_EQ(numeric, got.formats[c] != "u") << c;
        if (!numeric) continue;
        double lo = INFINITY, hi = -INFINITY, sum = 0;
        int64_t n = 0;
        for (double v : got.numbers[c]) {
            lo = fmin(lo, v);
            hi = fmax(hi, v);
            sum += v;
            ++n;
        }
        EXPECT_EQ(lo, yyjson_get_num(yyjson_obj_get(col, "min"))) << c;
        EXPECT_EQ(hi, yyjson_get_num(yyjson_obj_get(col, "max"))) << c;
        EXPECT_DOUBLE_EQ(sum / static_cast<double>(n), yyjson_get_num(yyjson_obj_get(col, "mean"))) << c;
    }
    yyjson_doc_free(doc);
}

// Batches split a typed column anywhere: validity bits and null counts are per batch.
TEST_F(Arrow, TypedBatchesCarryTheirOwnNulls) {
    std::string csv = "v\n";
    for (int i = 0; i < 50; ++i) csv += (i % 3 == 0 ? std::string() : std::to_string(i)) + "\n";
    Loaded t(csv, 1);
    Collected whole = export_of(t.h, nullptr, CSV_ARROW_TYPED);
    ASSERT_EQ(whole.problem, "");
    for (int64_t batch : {1, 3, 8, 9, 17, 49}) {
        csv_arrow_test_limits(batch, 0);
        Collected got = export_of(t.h, nullptr, CSV_ARROW_TYPED);
        EXPECT_EQ(got.problem, "") << batch;
        EXPECT_EQ(got.cells, whole.cells) << batch;
        EXPECT_EQ(got.null_counts, whole.null_counts) << batch;
    }
}

// A column whose batch text passes the 32-bit offsets is large utf8.
TEST_F(Arrow, LargeTextColumnsUseLargeOffsets) {
    Loaded t("a,b\nxyz,1\nuvw,22\n\xe9,\n", 1);
    csv_arrow_test_limits(2, 3);  // more than 3 bytes in a batch: large
    Collected got = export_of(t.h, nullptr, CSV_ARROW_TEXT);
    EXPECT_EQ(got.problem, "");
    EXPECT_EQ(got.formats, (std::vector<std::string>{"U", "u"}));
    EXPECT_EQ(got.cells, varrow::rows_of(t.h));
}

// ---- column lists ------------------------------------------------------

TEST_F(Arrow, ColumnListAsSelectReadsIt) {
    Loaded t("a,b,c\n1,x,2.5\n3,y,\n", 1);
    Collected got = export_of(t.h, " c, 1 ,a,b", CSV_ARROW_TYPED);
    ASSERT_EQ(got.error, "");
    EXPECT_EQ(got.problem, "");
    EXPECT_EQ(got.names, (std::vector<std::string>{"c", "a", "a", "b"}));
    EXPECT_EQ(got.formats, (std::vector<std::string>{"g", "l", "l", "u"}));
    EXPECT_EQ(got.cells, (std::vector<std::vector<std::string>>{{"2.5", "1", "1", "x"},
                                                                {"<null>", "3", "3", "y"}}));
    Collected text = export_of(t.h, "c,1,a,b", CSV_ARROW_TEXT);
    EXPECT_EQ(text.cells, varrow::select_of(t.h, "c,1,a,b"));
}

struct ErrorCase {
    const char *name;
    int handle;  // -2: the loaded table
    const char *cols;
    int flags;
    bool null_out;
    std::string message;
};

const std::string k_long_name(256, 'a');  // one past the longest name read

class ArrowErrors : public Arrow, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ArrowErrors, FailsWithItsMessageAndLeavesOutAlone) {
    const ErrorCase &c = GetParam();
    Loaded t("a,b\n1,2\n", 1);
    ArrowArrayStream s;
    memset(&s, 0x5A, sizeof s);
    ArrowArrayStream before = s;
    const int h = c.handle == -2 ? t.h : c.handle;
    EXPECT_EQ(csv_arrow_stream(h, c.cols, c.flags, c.null_out ? nullptr : &s), -1);
    EXPECT_EQ(std::string(csv_last_error()), c.message);
    EXPECT_EQ(memcmp(&s, &before, sizeof s), 0);
    if (c.cols != nullptr && c.handle == -2 && !c.null_out && c.flags == 0) {
        EXPECT_EQ(csv_select(t.h, c.cols), nullptr);  // the list read as csv_select reads it
        EXPECT_EQ(std::string(csv_last_error()), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arrow, ArrowErrors,
    ::testing::Values(ErrorCase{"null_out", -2, nullptr, 0, true, "out is NULL"},
                      ErrorCase{"negative_handle", -1, nullptr, 0, false, "invalid handle: -1"},
                      ErrorCase{"handle_past_slots", 64, nullptr, 0, false, "invalid handle: 64"},
                      ErrorCase{"free_slot", 63, nullptr, 0, false, "invalid handle: 63"},
                      ErrorCase{"unknown_column", -2, "a,zz", 0, false, "unknown column: zz"},
                      ErrorCase{"column_number_past_end", -2, "3", 0, false, "unknown column: 3"},
                      ErrorCase{"no_columns", -2, " , ", 0, false, "no columns selected"},
                      ErrorCase{"long_name", -2, k_long_name.c_str(), 0, false, "column name too long"},
                      ErrorCase{"unknown_flag", -2, nullptr, 8, false, "invalid flags: 8"},
                      ErrorCase{"negative_flags", -2, nullptr, -1, false, "invalid flags: -1"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Arrow, SuccessClearsTheMessage) {
    Loaded t("a\n1\n", 1);
    ArrowArrayStream s;
    EXPECT_EQ(csv_arrow_stream(-1, nullptr, 0, &s), -1);
    ASSERT_EQ(csv_arrow_stream(t.h, nullptr, 0, &s), 0);
    EXPECT_STREQ(csv_last_error(), "");
    s.release(&s);
    EXPECT_EQ(s.release, nullptr);
}

// ---- release rules and the stream's life --------------------------------

// A child moved out of its batch or schema outlives the parent's release;
// the stream released early frees the batches it still holds; the end is a
// released array, again and again.
TEST_F(Arrow, MovedChildrenOutliveTheirParents) {
    Loaded t("n,s\n1,one\n2,two\n3,three\n", 1);
    csv_arrow_test_limits(2, 0);
    ArrowArrayStream s;
    ASSERT_EQ(csv_arrow_stream(t.h, nullptr, CSV_ARROW_TYPED, &s), 0);

    ArrowSchema schema;
    ASSERT_EQ(s.get_schema(&s, &schema), 0);
    ArrowSchema field = *schema.children[1];  // moved out
    schema.children[1]->release = nullptr;
    schema.release(&schema);
    EXPECT_EQ(schema.release, nullptr);
    EXPECT_STREQ(field.name, "s");
    EXPECT_STREQ(field.format, "u");
    field.release(&field);
    EXPECT_EQ(field.release, nullptr);

    ArrowArray batch;
    ASSERT_EQ(s.get_next(&s, &batch), 0);
    ASSERT_NE(batch.release, nullptr);
    ArrowArray texts = *batch.children[1];  // moved out
    batch.children[1]->release = nullptr;
    batch.release(&batch);
    EXPECT_EQ(batch.release, nullptr);
    const int32_t *off = static_cast<const int32_t *>(texts.buffers[1]);
    const char *data = static_cast<const char *>(texts.buffers[2]);
    EXPECT_EQ(std::string(data + off[0], data + off[2]), "onetwo");
    texts.release(&texts);
    EXPECT_EQ(texts.release, nullptr);

    s.release(&s);  // the second batch was never fetched
    EXPECT_EQ(s.release, nullptr);

    ASSERT_EQ(csv_arrow_stream(t.h, "n", CSV_ARROW_TYPED, &s), 0);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(s.get_next(&s, &batch), 0);
        ASSERT_NE(batch.release, nullptr);
        batch.release(&batch);
    }
    for (int i = 0; i < 3; ++i) {
        memset(&batch, 0x5A, sizeof batch);
        ASSERT_EQ(s.get_next(&s, &batch), 0);
        EXPECT_EQ(batch.release, nullptr);
    }
    s.release(&s);
}

TEST_F(Arrow, StreamOutlivesTheTableAndItsHandle) {
    std::string csv = "id,name,score\n";
    for (int i = 0; i < 1000; ++i)
        csv += std::to_string(i) + ",name" + std::to_string(i % 17) + "," + std::to_string(i * 0.25) + "\n";
    Loaded t(csv, 1);
    const auto want_rows = varrow::rows_of(t.h);
    Collected typed_before = export_of(t.h, nullptr, CSV_ARROW_TYPED);
    csv_arrow_test_limits(300, 0);
    ArrowArrayStream s;
    ASSERT_EQ(csv_arrow_stream(t.h, nullptr, CSV_ARROW_TYPED, &s), 0);
    csv_close(t.h);
    // The slot is taken again by another table before the stream is read.
    Loaded other("x\nother\n", 1);
    ASSERT_EQ(other.h, t.h);
    Collected got = varrow::collect(&s);
    EXPECT_EQ(got.problem, "");
    EXPECT_EQ(got.n_batches, 4);
    EXPECT_EQ(got.cells, typed_before.cells);
    EXPECT_EQ(got.cells.size(), want_rows.size());
}

// Streams of one table, the table closed: its memory lives until the last
// stream is released, whichever that is.
TEST_F(Arrow, TableMemoryGoesWithTheLastStream) {
    std::string csv = "n,s\n";
    for (int i = 0; i < 100; ++i) csv += std::to_string(i) + ",t" + std::to_string(i) + "\n";
    Loaded t(csv, 1);
    const Collected want = export_of(t.h, nullptr, CSV_ARROW_TYPED);
    csv_arrow_test_limits(7, 0);
    for (bool a_first : {true, false}) {
        Loaded u(csv, 1);
        ArrowArrayStream a, b;
        ASSERT_EQ(csv_arrow_stream(u.h, nullptr, CSV_ARROW_TYPED, &a), 0);
        ASSERT_EQ(csv_arrow_stream(u.h, nullptr, CSV_ARROW_TYPED, &b), 0);
        csv_close(u.h);
        EXPECT_EQ(csv_rows(u.h, 0, -1), nullptr);  // the handle is gone at once
        ArrowArrayStream &one = a_first ? a : b, &two = a_first ? b : a;
        const Collected got_one = varrow::collect(&one);
        const Collected got_two = varrow::collect(&two);
        EXPECT_EQ(got_one.problem, "");
        EXPECT_EQ(got_one.cells, want.cells);
        EXPECT_EQ(got_two.problem, "");
        EXPECT_EQ(got_two.cells, want.cells);
    }
}

TEST_F(Arrow, ThreadStreamReadAndReleasedOnAnotherThread) {
    std::string csv = "k,v\n";
    for (int i = 0; i < 5000; ++i) csv += "key" + std::to_string(i) + "," + std::to_string(i) + "\n";
    Loaded t(csv, 1);
    Collected here = export_of(t.h, nullptr, CSV_ARROW_TYPED);
    ASSERT_EQ(here.problem, "");
    csv_arrow_test_limits(1000, 0);
    ArrowArrayStream s;
    ASSERT_EQ(csv_arrow_stream(t.h, nullptr, CSV_ARROW_TYPED, &s), 0);
    Collected there;
    std::thread reader([&] { there = varrow::collect(&s); });
    // Meanwhile this thread closes the table and loads and queries others.
    csv_close(t.h);
    for (int i = 0; i < 20; ++i) {
        Loaded again(csv, 1);
        ASSERT_NE(csv_rows(again.h, 0, 10), nullptr);
    }
    reader.join();
    EXPECT_EQ(there.problem, "");
    EXPECT_EQ(there.n_batches, 5);
    EXPECT_EQ(there.cells, here.cells);
}

// A consumer that releases each batch before asking for the next gets the
// same memory back for the next batch: batches whose nulls, numbers and
// text lengths differ from the one before carry nothing of it over, and
// the stream holds about one batch of memory, not the answer.
TEST_F(Arrow, ReleasedBatchesLendTheirBuffersToTheNext) {
    std::string csv = "n,f,s\n";
    for (int i = 0; i < 700; ++i) {
        const int run = i / 7;  // one batch of 7 rows
        csv += run % 2 ? "" : std::to_string(i * 1000003LL);
        csv += ",";
        csv += run % 3 == 0 ? "" : std::to_string(i) + ".25";
        csv += ",";
        csv += std::string(static_cast<size_t>(run * 13 % 50), static_cast<char>('a' + run % 26));
        if (run % 5 == 0) csv += "\xe9";  // repaired, twice as long
        csv += "\n";
    }
    Loaded t(csv, 1);
    for (int flags : {CSV_ARROW_TEXT, CSV_ARROW_TYPED}) {
        const Collected whole = export_of(t.h, nullptr, flags);  // one batch: nothing reused
        ASSERT_EQ(whole.problem, "");
        csv_arrow_test_limits(7, 0);
        const Collected parts = export_of(t.h, nullptr, flags);
        csv_arrow_test_limits(0, 0);
        EXPECT_EQ(parts.problem, "");
        EXPECT_EQ(parts.n_batches, 100);
        EXPECT_EQ(parts.formats, whole.formats);
        EXPECT_EQ(parts.cells, whole.cells);
        EXPECT_EQ(parts.null_counts, whole.null_counts);
    }

    // Bytes held at the peak: draining batch by batch against keeping
    // every batch until the end.
    csv_arrow_test_limits(70, 0);
    const auto peak_of = [&](bool keep_all) {
        ArrowArrayStream s;
        EXPECT_EQ(csv_arrow_stream(t.h, nullptr, CSV_ARROW_TYPED, &s), 0);
        std::vector<ArrowArray> kept;
        csv_alloc_track(1);
        for (ArrowArray a; s.get_next(&s, &a) == 0 && a.release != nullptr;) {
            if (keep_all) kept.push_back(a);
            else a.release(&a);
        }
        const int64_t peak = csv_alloc_track(0);
        for (ArrowArray &a : kept) a.release(&a);
        EXPECT_EQ(kept.size(), keep_all ? 10u : 0u);
        s.release(&s);
        return peak;
    };
    // Batches of one shape: after the first, a batch allocates only its
    // small records (one per column and its own), no buffer.
    {
        Loaded u("n,f,s\n1,0.5,abc\n2,1.5,def\n3,,ghi\n4,2.5,jkl\n5,3.5,mno\n6,4.5,pqr\n", 1);
        csv_arrow_test_limits(2, 0);
        ArrowArrayStream s;
        ASSERT_EQ(csv_arrow_stream(u.h, nullptr, CSV_ARROW_TYPED, &s), 0);
        std::vector<int64_t> made;
        csv_alloc_fail_after(-1);
        for (ArrowArray a; s.get_next(&s, &a) == 0 && a.release != nullptr;) {
            made.push_back(csv_alloc_fail_after(-1));
            a.release(&a);
            csv_alloc_fail_after(-1);
        }
        s.release(&s);
        ASSERT_EQ(made.size(), 3u);
        EXPECT_GT(made[0], 4);
        EXPECT_EQ(made[1], 4);
        EXPECT_EQ(made[2], 4);
        csv_arrow_test_limits(70, 0);
    }
    const int64_t draining = peak_of(false), keeping = peak_of(true);
    if (keeping == 0) GTEST_SKIP() << "the platform does not tell block sizes";
    EXPECT_LT(draining * 3, keeping) << draining << " bytes at the peak against " << keeping;
}

// Batches released on other threads, some while the stream builds more,
// the rest after the stream is gone: their buffers go back to the stream
// or are freed, whichever comes first, and every batch read on its thread
// holds its own rows.
TEST_F(Arrow, ThreadBatchesReleasedOnOtherThreadsAroundTheStream) {
    std::string csv = "k,v\n";
    for (int i = 0; i < 4000; ++i) csv += "key" + std::to_string(i) + "," + std::to_string(i) + "\n";
    Loaded t(csv, 1);
    csv_arrow_test_limits(100, 0);
    ArrowArrayStream s;
    ASSERT_EQ(csv_arrow_stream(t.h, nullptr, CSV_ARROW_TYPED, &s), 0);
    csv_close(t.h);
    std::vector<ArrowArray> batches(40);
    for (ArrowArray &a : batches) ASSERT_EQ(s.get_next(&s, &a), 0);
    // The first half released on a helper while this thread fetches again
    // from the stream (which has nothing left but builds nothing wrong).
    const auto check_and_release = [](ArrowArray *first, size_t n, int64_t *bad) {
        for (size_t b = 0; b < n; ++b) {
            ArrowArray &a = first[b];
            const int64_t *v = static_cast<const int64_t *>(a.children[1]->buffers[1]);
            for (int64_t i = 0; i < a.length; ++i) *bad += v[i] != v[0] + i;
            a.release(&a);
        }
    };
    int64_t bad_a = 0, bad_b = 0;
    std::thread early(check_and_release, batches.data(), size_t{20}, &bad_a);
    ArrowArray end;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(s.get_next(&s, &end), 0);
        EXPECT_EQ(end.release, nullptr);
    }
    early.join();
    s.release(&s);
    std::thread late(check_and_release, batches.data() + 20, size_t{20}, &bad_b);
    late.join();
    EXPECT_EQ(bad_a + bad_b, 0);
}

// A stream that builds while its earlier batches are released elsewhere.
TEST_F(Arrow, ThreadBuildsWhileAnotherReleases) {
    std::string csv = "k,v\n";
    for (int i = 0; i < 20000; ++i) csv += "key" + std::to_string(i) + "," + std::to_string(i) + ".5\n";
    Loaded t(csv, 1);
    const Collected want = export_of(t.h, nullptr, CSV_ARROW_TYPED);
    csv_arrow_test_limits(64, 0);
    ArrowArrayStream s;
    ASSERT_EQ(csv_arrow_stream(t.h, nullptr, CSV_ARROW_TYPED, &s), 0);
    std::vector<ArrowArray> handed;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread releaser([&] {
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            cv.wait(lock, [&] { return done || !handed.empty(); });
            if (handed.empty() && done) return;
            std::vector<ArrowArray> now;
            now.swap(handed);
            lock.unlock();
            for (ArrowArray &a : now) a.release(&a);
            lock.lock();
        }
    });
    int64_t rows = 0;
    double sum = 0;
    for (ArrowArray a; s.get_next(&s, &a) == 0 && a.release != nullptr;) {
        rows += a.length;
        const double *v = static_cast<const double *>(a.children[1]->buffers[1]);
        for (int64_t i = 0; i < a.length; ++i) sum += v[i];
        std::lock_guard<std::mutex> lock(m);
        handed.push_back(a);
        cv.notify_one();
    }
    {
        std::lock_guard<std::mutex> lock(m);
        done = true;
    }
    cv.notify_one();
    releaser.join();
    s.release(&s);
    EXPECT_EQ(rows, 20000);
    EXPECT_EQ(sum, 20000.0 * 19999 / 2 + 20000 * 0.5);
    EXPECT_EQ(want.cells.size(), 20000u);
}

// ---- allocation failure ---------------------------------------------------

// Every allocation of the export failing in turn: -1 with "out of memory",
// nothing left allocated, *out untouched; the same for get_schema.
TEST_F(Arrow, EveryAllocationFailureIsAnError) {
    Loaded t("i,f,s,\xe9\nNA,0.5,x\xff,\n2,,\xe9\xe9,1\n3,1e9,,2\n4,5,z,3\n", 1);
    for (int flags : {CSV_ARROW_TEXT, CSV_ARROW_TYPED, CSV_ARROW_TYPED | CSV_ARROW_NULL_MARKERS}) {
        for (const char *cols : {static_cast<const char *>(nullptr), "s,1,1"}) {
            csv_arrow_test_limits(2, 0);
            const Collected want = export_of(t.h, cols, flags);
            ASSERT_EQ(want.problem, "");
            ArrowArrayStream s;
            csv_alloc_fail_after(-1);
            ASSERT_EQ(csv_arrow_stream(t.h, cols, flags, &s), 0);
            const int64_t made = csv_alloc_fail_after(-1);
            s.release(&s);
            ASSERT_GE(made, 4);  // the state, the plan, the names and their offsets
            for (int64_t n = 0; n < made; ++n) {
                memset(&s, 0x5A, sizeof s);
                const ArrowArrayStream before = s;
                const size_t heap = VTEST_HEAP();
                csv_alloc_fail_after(n);
                const int rc = csv_arrow_stream(t.h, cols, flags, &s);
                csv_alloc_fail_after(-1);
                EXPECT_EQ(rc, -1) << "allocation " << n << " of " << made;
                EXPECT_STREQ(csv_last_error(), "out of memory") << n;
                EXPECT_EQ(memcmp(&s, &before, sizeof s), 0) << n;
                EXPECT_EQ(VTEST_HEAP(), heap) << "allocation " << n << ": bytes left allocated";
                if (rc == 0) s.release(&s);
                if (HasFailure()) return;
            }
            // get_schema, each of its allocations failing.
            ASSERT_EQ(csv_arrow_stream(t.h, cols, flags, &s), 0);
            ArrowSchema schema;
            csv_alloc_fail_after(-1);
            ASSERT_EQ(s.get_schema(&s, &schema), 0);
            const int64_t schema_made = csv_alloc_fail_after(-1);
            schema.release(&schema);
            for (int64_t n = 0; n < schema_made; ++n) {
                const size_t heap = VTEST_HEAP();
                csv_alloc_fail_after(n);
                const int rc = s.get_schema(&s, &schema);
                csv_alloc_fail_after(-1);
                EXPECT_EQ(rc, ENOMEM) << n;
                EXPECT_STREQ(s.get_last_error(&s), "out of memory") << n;
                EXPECT_EQ(VTEST_HEAP(), heap) << "schema allocation " << n;
                if (rc == 0) schema.release(&schema);
            }
            // get_next, each allocation of a batch failing in turn: ENOMEM
            // with its message, nothing left allocated, and the same batch
            // built again by the next call.
            {
                ArrowArrayStream probe;
                ASSERT_EQ(csv_arrow_stream(t.h, cols, flags, &probe), 0);
                ArrowArray batch;
                csv_alloc_fail_after(-1);
                ASSERT_EQ(probe.get_next(&probe, &batch), 0);
                const int64_t batch_made = csv_alloc_fail_after(-1);
                batch.release(&batch);
                probe.release(&probe);
                ASSERT_GT(batch_made, 2);
                for (int64_t n = 0; n < batch_made; ++n) {
                    const size_t heap = VTEST_HEAP();
                    csv_alloc_fail_after(n);
                    const int rc = s.get_next(&s, &batch);
                    csv_alloc_fail_after(-1);
                    EXPECT_EQ(rc, ENOMEM) << n;
                    EXPECT_STREQ(s.get_last_error(&s), "out of memory") << n;
                    EXPECT_EQ(VTEST_HEAP(), heap) << "batch allocation " << n;
                    if (rc == 0) batch.release(&batch);  // a batch lost: caught below
                }
            }
            // The stream still gives the whole answer.
            Collected got = varrow::collect(&s);
            EXPECT_EQ(got.problem, "");
            EXPECT_EQ(got.cells, want.cells);
            EXPECT_EQ(got.formats, want.formats);
        }
    }
}

// The first stream of a table also makes the share of its arrays: each of
// its allocations failing leaves nothing allocated and the table as it was.
TEST_F(Arrow, FirstStreamOfATableFailsCleanly) {
    const std::string csv = "a,b\n1,x\n2,y\n";
    int64_t made = 0;
    {
        Loaded t(csv, 1);
        ArrowArrayStream s;
        csv_alloc_fail_after(-1);
        ASSERT_EQ(csv_arrow_stream(t.h, nullptr, CSV_ARROW_TYPED, &s), 0);
        made = csv_alloc_fail_after(-1);
        s.release(&s);
    }
    ASSERT_GT(made, 2);
    for (int64_t n = 0; n < made; ++n) {
        Loaded t(csv, 1);
        const std::string rows = csv_rows(t.h, 0, -1);
        ArrowArrayStream s;
        const size_t heap = VTEST_HEAP();
        csv_alloc_fail_after(n);
        const int rc = csv_arrow_stream(t.h, nullptr, CSV_ARROW_TYPED, &s);
        csv_alloc_fail_after(-1);
        EXPECT_EQ(rc, -1) << n;
        EXPECT_EQ(VTEST_HEAP(), heap) << "allocation " << n << ": bytes left allocated";
        if (rc == 0) s.release(&s);
        EXPECT_EQ(csv_rows(t.h, 0, -1), rows) << n;
    }
}

// ---- a stream that is its table's last reader -------------------------------
// With the handle closed and no other stream, a stream gives the pages of
// the rows it has delivered back to the system. A page given back too early
// reads as zeros, so every cell is compared with an export that gave back
// nothing.

// Rows with what places cells' text unevenly in the blob: doubled quotes,
// line ends inside quotes, empty and long cells, blank lines, a stretch of
// rows longer than a test batch with no text at all and, when `ragged`,
// records shorter and longer than the header.
std::string varied_csv(int rows, bool ragged) {
    std::string csv = "id,text,score,note\n";
    for (int i = 0; i < rows; ++i) {
        if (i >= 1000 && i < 1300) {
            csv += i % 97 == 0 ? ",,,\n\n" : ",,,\n";
            continue;
        }
        std::vector<std::string> f{std::to_string(i)};
        switch (i % 5) {
        case 0: f.push_back("\"say \"\"hi\"\" " + std::to_string(i) + "\""); break;
        case 1: f.push_back("\"two\nlines " + std::to_string(i) + "\""); break;
        case 2: f.push_back(""); break;
        default: f.push_back("plain" + std::to_string(i * 7919 % 1000));
        }
        f.push_back(std::to_string(i * 0.5));
        f.push_back(i % 3 == 0 ? std::string(static_cast<size_t>(40 + i % 50), static_cast<char>('a' + i % 26)) : "");
        if (ragged && i % 13 == 0) f.resize(2);
        if (ragged && i % 11 == 0) f.push_back("extra");
        for (size_t k = 0; k < f.size(); ++k) csv += (k ? "," : "") + f[k];
        csv += i % 97 == 0 ? "\n\n" : "\n";
    }
    return csv;
}

// A table loaded with its encoding and delimiter detected.
struct Detected {
    int h = -1;
    explicit Detected(const std::string &text) {
        h = csv_load_ex(vtest::write_temp("arrow.csv", text).c_str(), 1, 0, 0);
        EXPECT_GE(h, 0) << csv_last_error();
    }
    ~Detected() { csv_close(h); }
};

struct GiveBackCase {
    const char *name;
    bool ragged;
    bool utf16;          // loaded by copying, not in place
    uint64_t segment;    // segment size seam; 0: one segment
    int flags;
};

class ArrowGiveBack : public Arrow, public ::testing::WithParamInterface<GiveBackCase> {
protected:
    void TearDown() override {
        csv_segment_limit_for_tests(0);
        Arrow::TearDown();
    }
};

TEST_P(ArrowGiveBack, LastReaderGivesEveryCellWhileGivingPagesBack) {
    const GiveBackCase &c = GetParam();
    std::string csv = varied_csv(6000, c.ragged);
    if (c.utf16) csv = vtest::utf16le_of(csv);
    csv_segment_limit_for_tests(c.segment);
    csv_arrow_test_limits(97, 0);
    Collected want;
    {
        Detected t(csv);  // stays open while read: nothing is given back
        want = export_of(t.h, nullptr, c.flags);
    }
    ASSERT_EQ(want.problem, "");
    ASSERT_EQ(want.cells.size(), 6000u + 62u);  // blank lines are rows
    for (bool two_streams : {false, true}) {
        Detected t(csv);
        ArrowArrayStream s, other;
        ASSERT_EQ(csv_arrow_stream(t.h, nullptr, c.flags, &s), 0);
        if (two_streams) ASSERT_EQ(csv_arrow_stream(t.h, nullptr, c.flags, &other), 0);
        csv_close(t.h);
        const Collected got = varrow::collect(&s);
        EXPECT_EQ(got.problem, "") << two_streams;
        EXPECT_EQ(got.cells, want.cells) << two_streams;
        if (two_streams) {  // read after the first stream gave nothing back
            const Collected second = varrow::collect(&other);
            EXPECT_EQ(second.cells, want.cells);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ArrowGiveBack,
    ::testing::Values(GiveBackCase{"Rectangular", false, false, 0, CSV_ARROW_TEXT},
                      GiveBackCase{"RectangularTyped", false, false, 0, CSV_ARROW_TYPED},
                      GiveBackCase{"Ragged", true, false, 0, CSV_ARROW_TYPED},
                      GiveBackCase{"CopiedFromUtf16", true, true, 0, CSV_ARROW_TEXT},
                      GiveBackCase{"Segmented", false, false, 4096, CSV_ARROW_TEXT},
                      GiveBackCase{"SegmentedRagged", true, false, 4096, CSV_ARROW_TYPED}),
    [](const auto &info) { return std::string(info.param.name); });

// Pages of [from, to) resident, counted with mincore.
struct Residency {
    size_t resident = 0, pages = 0;
};
Residency residency(const void *from, const void *to) {
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t a = (reinterpret_cast<uintptr_t>(from) + page - 1) & ~(page - 1);
    const uintptr_t b = reinterpret_cast<uintptr_t>(to) & ~(page - 1);
    Residency r;
    if (b <= a) return r;
    std::vector<unsigned char> v((b - a) / page);
    EXPECT_EQ(mincore(reinterpret_cast<void *>(a), b - a, v.data()), 0);
    r.pages = v.size();
    for (unsigned char x : v) r.resident += x & 1;
    return r;
}

// Half-way through, the delivered rows' text and cells are no longer
// resident and the rest is; with the handle open nothing goes.
TEST_F(Arrow, LastReaderGivesBackTheDeliveredRowsPages) {
    const std::string csv = varied_csv(30000, false);
    csv_arrow_test_limits(1000, 0);
    for (bool closed : {true, false}) {
        Loaded t(csv, 1);
        const csv_table *table = csv_table_get(t.h);
        ASSERT_NE(table, nullptr);
        const csv_body_view body = csv_body_of(table);
        const char *blob = table->blob;
        const csv_cell *cells = table->cells;
        const int64_t stride = csv_row_stride(table);
        const csv_row_cells at = body.row(15000);  // the first row of batch 16
        const char *half = at.text + at.cells[0].offset;
        const char *ahead = body.row(17000).text + body.row(17000).cells[0].offset;
        const char *end = blob + table->blob_len;
        ArrowArrayStream s;
        ASSERT_EQ(csv_arrow_stream(t.h, nullptr, CSV_ARROW_TEXT, &s), 0);
        if (closed) csv_close(t.h);
        ArrowSchema schema;
        ASSERT_EQ(s.get_schema(&s, &schema), 0);
        schema.release(&schema);
        for (int b = 0; b < 15; ++b) {
            ArrowArray batch;
            ASSERT_EQ(s.get_next(&s, &batch), 0);
            ASSERT_NE(batch.release, nullptr);
            batch.release(&batch);
        }
        const Residency text_done = residency(blob, half), text_ahead = residency(ahead, end);
        const Residency cells_done = residency(cells, cells + 15000 * stride);
        const Residency cells_ahead = residency(cells + 17000 * stride, cells + 30000 * stride);
        ASSERT_GT(text_done.pages, 100u);
        ASSERT_GT(cells_done.pages, 50u);
        EXPECT_EQ(text_done.resident, closed ? 0u : text_done.pages) << closed;
        EXPECT_EQ(cells_done.resident, closed ? 0u : cells_done.pages) << closed;
        EXPECT_EQ(text_ahead.resident, text_ahead.pages) << closed;
        EXPECT_EQ(cells_ahead.resident, cells_ahead.pages) << closed;
        s.release(&s);
    }
}

}  // namespace
