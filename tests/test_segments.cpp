// Tables whose texts span several segments of the blob. A lowered segment
// limit makes inputs of a few KiB cross dozens of segments, so the layout's
// arithmetic at every segment edge runs in CI: each answer of such a table
// must be the answer of the same input loaded in one segment.
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <yyjson.h>

#include "../fuzz/fuzz_props.h"
#include "arrow_check.h"
#include "test_util.h"

namespace {

// Rows of mixed texts and numbers; every record well under 100 bytes.
std::string plain_rows(int n, bool header) {
    std::string s = header ? "id,name,price,note\n" : "";
    const char *names[] = {"alpha", "Beta", "gamma delta", "", "epsilon", "zeta"};
    for (int i = 0; i < n; ++i) {
        s += std::to_string(i * 7 % 101) + "," + names[i % 6] + "," +
             std::to_string((i * 37 % 1000) / 10.0) + "," + (i % 5 == 0 ? "" : "n" + std::to_string(i)) +
             "\n";
    }
    return s;
}

// Quoted cells: delimiters, line ends, doubled quotes, bytes after a
// closing quote, and cells of many lengths.
std::string quoted_rows(int n) {
    std::string s = "k,\"v\"\"x\",w\n";
    for (int i = 0; i < n; ++i) {
        s += "\"" + std::string(static_cast<size_t>(i % 40), 'a' + i % 26) + "\",";
        s += i % 3 == 0 ? "\"x,\"\"y\"\"\nz\"" : i % 3 == 1 ? "\"q\"tail" : "plain";
        s += ",\"" + std::to_string(i) + "\"\r\n";
    }
    return s;
}

// Records of changing width, blank lines, and an unterminated quote last.
std::string ragged_rows(int n) {
    std::string s = "a,b,c\n";
    for (int i = 0; i < n; ++i) {
        const int w = 1 + i % 6;
        for (int k = 0; k < w; ++k) s += (k ? "," : "") + std::to_string(i * 10 + k);
        s += "\n";
        if (i % 17 == 0) s += "\n";
    }
    return s + "last,\"open\nquote";
}

struct Input {
    const char *name;
    std::string bytes;
    int has_header;
    const char *encoding;  // null: csv_load_ex with detection
};

std::vector<Input> inputs() {
    return {
        {"plain", plain_rows(300, true), 1, nullptr},
        {"no_header", plain_rows(300, false), 0, nullptr},
        {"utf8_bom", "\xEF\xBB\xBF" + plain_rows(200, true), 1, nullptr},
        {"quoted", quoted_rows(200), 1, nullptr},
        {"ragged", ragged_rows(200), 1, nullptr},
        {"ragged_no_header", ragged_rows(200), 0, nullptr},
        {"utf16", vtest::utf16le_of(plain_rows(200, true)), 1, nullptr},
        {"latin1", "n,t\n" + std::string(100, 'x') + ",\xE9t\xE9\n" + plain_rows(150, false), 1,
         "latin1"},
        {"gzip", vtest::gzip(quoted_rows(150)), 1, nullptr},
        {"header_only", "only,a,header\n", 1, nullptr},
        {"one_row_no_header", "first,row,here", 0, nullptr},
    };
}

std::string str(const char *s) { return s != nullptr ? s : std::string("<null: ") + csv_last_error() + ">"; }

// Segments of a loaded table (1 when it has no segment array), after its
// storage invariants are checked.
int64_t segments_of(int h) {
    csv_table_lock();
    const csv_table *t = csv_table_get(h);
    const int64_t n = t == nullptr ? -1 : t->segments == nullptr ? 1 : t->n_segments;
    if (t != nullptr) EXPECT_EQ(vfuzz::check_invariants(*t), "");
    csv_table_unlock();
    return n;
}

// The table written back as CSV.
std::string csv_out(int h) {
    FILE *f = tmpfile();
    if (f == nullptr) return "<no tmpfile>";
    csv_table_lock();
    const int rc = csv_emit_csv_fp(csv_table_get(h), f);
    csv_table_unlock();
    std::string out = rc != 0 ? "<failed>" : "";
    rewind(f);
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    fclose(f);
    return out;
}

// A drained stream's problem, names and cells as one string.
std::string drained(ArrowArrayStream *s) {
    const varrow::Collected c = varrow::collect(s);
    std::string out = c.problem + "|";
    for (const auto &n : c.names) out += n + "|";
    for (const auto &row : c.cells)
        for (const auto &v : row) out += v + "\x1f";
    return out;
}

std::string arrow_of(int h, int flags) {
    ArrowArrayStream s;
    if (csv_arrow_stream(h, nullptr, flags, &s) != 0) return str(nullptr);
    return drained(&s);
}

// Every answer of a loaded table, one string each.
std::vector<std::string> answers(int h) {
    std::vector<std::string> a;
    a.push_back(str(csv_headers(h)));
    a.push_back(str(csv_rows(h, 0, -1)));
    a.push_back(str(csv_rows(h, 3, 5)));
    a.push_back(str(csv_rows64(h, 7, 11)));
    a.push_back(str(csv_select(h, "2,1")));
    a.push_back(str(csv_search(h, "1", "a", 0)));
    a.push_back(str(csv_search(h, "2", "E", 1)));
    a.push_back(str(csv_sort(h, "1", 0)));
    a.push_back(str(csv_sort(h, "2", 1)));
    a.push_back(str(csv_stats(h)));
    a.push_back(str(csv_parse_warnings(h)));
    a.push_back(str(csv_info(h)));
    a.push_back(std::to_string(csv_row_count(h)) + "x" + std::to_string(csv_col_count(h)));
    a.push_back(csv_out(h));
    a.push_back(arrow_of(h, CSV_ARROW_TEXT));
    a.push_back(arrow_of(h, CSV_ARROW_TYPED | CSV_ARROW_NULL_MARKERS));
    return a;
}

int load(const Input &in, const std::string &path) {
    return in.encoding != nullptr ? csv_load_encoding(path.c_str(), in.has_header, 0, in.encoding, nullptr, nullptr)
                                  : csv_load_ex(path.c_str(), in.has_header, 0, 0);
}

class Segments : public ::testing::TestWithParam<Input> {
protected:
    void TearDown() override {
        csv_segment_limit_for_tests(0);
        csv_parse_copy_owned_from(0);
        csv_alloc_fail_after(-1);
    }
};

// Loaded in one segment, then with segments of `limit` bytes: the same
// answers, and the second table has many segments (where its texts reach
// that far).
void expect_same_answers(const Input &in, uint64_t limit, bool copied) {
    const std::string path = vtest::write_temp(std::string("seg_") + in.name, in.bytes);
    csv_parse_copy_owned_from(copied ? 1 : 0);
    const int one = load(in, path);
    ASSERT_GE(one, 0) << csv_last_error();
    EXPECT_EQ(segments_of(one), 1);
    const std::vector<std::string> want = answers(one);
    csv_close(one);

    csv_segment_limit_for_tests(limit);
    const int many = load(in, path);
    csv_segment_limit_for_tests(0);
    ASSERT_GE(many, 0) << csv_last_error();
    if (in.bytes.size() > 4 * limit) EXPECT_GT(segments_of(many), 3);
    std::vector<std::string> got = answers(many);
    // A stream taken before the close reads the segments the table had.
    ArrowArrayStream kept;
    ASSERT_EQ(csv_arrow_stream(many, nullptr, CSV_ARROW_TEXT, &kept), 0) << csv_last_error();
    csv_close(many);
    EXPECT_EQ(drained(&kept), want[want.size() - 2]) << in.name << ", limit " << limit << ", stream after close";
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(got[i], want[i]) << in.name << ", limit " << limit << ", answer " << i;
}

TEST_P(Segments, AnswersMatchOneSegmentInPlace) {
    for (uint64_t limit : {128u, 200u, 1024u}) expect_same_answers(GetParam(), limit, false);
}

TEST_P(Segments, AnswersMatchOneSegmentCopied) {
    for (uint64_t limit : {128u, 333u}) expect_same_answers(GetParam(), limit, true);
}

// Blocks of a file loaded by byte range answer alike at any segment size.
TEST_P(Segments, RangeBlocksMatchOneSegment) {
    const Input &in = GetParam();
    if (in.encoding != nullptr || in.bytes.compare(0, 2, "\x1f\x8b") == 0 ||
        in.bytes.compare(0, 2, "\xFF\xFE") == 0)
        GTEST_SKIP() << "blocks split this text only at whole-unit offsets";
    const std::string path = vtest::write_temp(std::string("segr_") + in.name, in.bytes);
    const int64_t size = static_cast<int64_t>(in.bytes.size());
    for (int64_t off = 0; off < size; off += 1500) {
        const int one = csv_load_range(path.c_str(), in.has_header, 0, 0, nullptr, off, 1500, -1,
                                       nullptr, nullptr);
        ASSERT_GE(one, 0) << csv_last_error();
        const std::vector<std::string> want = answers(one);
        csv_close(one);
        csv_segment_limit_for_tests(128);
        const int many = csv_load_range(path.c_str(), in.has_header, 0, 0, nullptr, off, 1500, -1,
                                        nullptr, nullptr);
        csv_segment_limit_for_tests(0);
        ASSERT_GE(many, 0) << csv_last_error();
        EXPECT_EQ(answers(many), want) << in.name << " at " << off;
        csv_close(many);
    }
}

// Each allocation of a load across many segments failing in turn: -1 with
// an out-of-memory message and nothing left allocated; then the load
// succeeds with the answers of an unhindered one.
TEST_P(Segments, EveryAllocationFailureOfASegmentedLoadIsAnError) {
    const Input &in = GetParam();
    const std::string path = vtest::write_temp(std::string("sega_") + in.name, in.bytes);
    csv_segment_limit_for_tests(128);
    csv_alloc_fail_after(-1);
    const int ok = load(in, path);
    const int64_t made = csv_alloc_fail_after(-1);
    ASSERT_GE(ok, 0) << csv_last_error();
    csv_segment_limit_for_tests(0);
    const std::vector<std::string> want = answers(ok);
    csv_close(ok);
    for (int64_t n = 0; n < made; ++n) {
        csv_segment_limit_for_tests(128);
        const size_t heap = VTEST_HEAP();
        csv_alloc_fail_after(n);
        const int h = load(in, path);
        csv_alloc_fail_after(-1);
        csv_segment_limit_for_tests(0);
        if (h >= 0) {
            EXPECT_EQ(answers(h), want) << "allocation " << n;
            csv_close(h);
            continue;
        }
        EXPECT_NE(strstr(csv_last_error(), "out of memory"), nullptr)
            << "allocation " << n << ": " << csv_last_error();
        EXPECT_EQ(VTEST_HEAP(), heap) << "allocation " << n << ": bytes left allocated";
        if (HasFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, Segments, ::testing::ValuesIn(inputs()),
                         [](const ::testing::TestParamInfo<Input> &info) {
                             return std::string(info.param.name);
                         });

// The longest cell is one byte under the segment limit: it loads in place
// and by copying; one byte more fails with its own message, and so does a
// record whose cells together pass the limit.
struct LimitCase {
    const char *name;
    std::string text;
    int has_header;
    const char *error;  // null: loads
};

class SegmentLimits : public ::testing::TestWithParam<LimitCase> {
protected:
    void TearDown() override {
        csv_segment_limit_for_tests(0);
        csv_parse_copy_owned_from(0);
    }
};

constexpr uint64_t kLimit = 64;
const char kCellMsg[] = "field exceeds 4 GiB - 1 bytes, the most one cell holds";
const char kRecordMsg[] = "record exceeds 4 GiB - 1 bytes of text, the most one record holds";

TEST_P(SegmentLimits, LongestCellAndRecord) {
    const LimitCase &c = GetParam();
    const std::string path = vtest::write_temp(std::string("segl_") + c.name, c.text);
    for (bool copied : {false, true}) {
        csv_parse_copy_owned_from(copied ? 1 : 0);
        const int one = csv_load(path.c_str(), c.has_header);
        ASSERT_GE(one, 0) << csv_last_error();
        const std::vector<std::string> want = answers(one);
        csv_close(one);
        csv_segment_limit_for_tests(kLimit);
        const size_t heap = VTEST_HEAP();
        const int h = csv_load(path.c_str(), c.has_header);
        csv_segment_limit_for_tests(0);
        if (c.error == nullptr) {
            ASSERT_GE(h, 0) << c.name << ": " << csv_last_error();
            EXPECT_EQ(answers(h), want) << c.name;
            csv_close(h);
        } else {
            EXPECT_EQ(h, -1) << c.name << (copied ? " copied" : " in place");
            EXPECT_STREQ(csv_last_error(), c.error) << c.name;
            EXPECT_EQ(VTEST_HEAP(), heap) << c.name;
        }
    }
}

const std::string k63(63, 'c'), k64(64, 'c'), k30(30, 'r');

INSTANTIATE_TEST_SUITE_P(
    Cases, SegmentLimits,
    ::testing::Values(
        LimitCase{"cell_63_first", k63 + "\nx\n", 0, nullptr},
        LimitCase{"cell_63_later", "h\nx\n" + k63 + "\ny\n" + k63 + "\n", 1, nullptr},
        LimitCase{"cell_63_quoted", "h\nx\n\"" + k63 + "\"\ny\n", 1, nullptr},
        LimitCase{"cell_64", "h\nx\n" + k64 + "\ny\n", 1, kCellMsg},
        LimitCase{"cell_64_quoted", "h\nx\n\"" + k64 + "\"\n", 1, kCellMsg},
        LimitCase{"record_over", "a,b,c\n1,2,3\n" + k30 + "," + k30 + "," + k30 + "\n", 1, kRecordMsg},
        LimitCase{"header_over", k30 + "," + k30 + ",xyz\n1,2,3\n", 1, kRecordMsg}),
    [](const ::testing::TestParamInfo<LimitCase> &info) { return std::string(info.param.name); });

// csv_rows64 pages as csv_rows does, and reaches past what an int holds.
TEST(Rows64, PagesLikeRowsAndPastIntMax) {
    const std::string path = vtest::write_temp("rows64.csv", plain_rows(50, true));
    const int h = csv_load(path.c_str(), 1);
    ASSERT_GE(h, 0);
    for (int off : {-5, 0, 3, 49, 50, 60})
        for (int lim : {-1, 0, 1, 7, 100})
            EXPECT_EQ(str(csv_rows64(h, off, lim)), str(csv_rows(h, off, lim))) << off << "," << lim;
    EXPECT_EQ(str(csv_rows64(h, int64_t{INT_MAX} + 5, -1)), "[]");
    EXPECT_EQ(str(csv_rows64(h, 48, int64_t{INT_MAX} + 5)), str(csv_rows(h, 48, -1)));
    EXPECT_EQ(csv_rows64(99, 0, 1), nullptr);
    csv_close(h);
}

// A count past INT_MAX: csv_row_count stops at INT_MAX, csv_info gives it
// in full. The count is raised by hand; neither answer reads the rows.
TEST(Rows64, RowCountPastIntMax) {
    const std::string path = vtest::write_temp("rowcount.csv", "a\n1\n2\n");
    const int h = csv_load(path.c_str(), 1);
    ASSERT_GE(h, 0);
    csv_table_lock();
    csv_table *t = csv_table_get(h);
    const int64_t real = t->n_rows;
    t->n_rows = int64_t{5} << 32;
    csv_table_unlock();
    EXPECT_EQ(csv_row_count(h), INT_MAX);
    EXPECT_NE(str(csv_info(h)).find("\"rows\":21474836480,"), std::string::npos) << str(csv_info(h));
    csv_table_lock();
    t->n_rows = real;
    csv_table_unlock();
    csv_close(h);
}

}  // namespace
