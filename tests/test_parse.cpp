// Table storage (blob, rows, cell access) and the record parser.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "csv_platform.h"
#include "test_util.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;
using Names = std::vector<std::string>;

struct Sample {
    int32_t kind;
    int64_t row;
    int32_t expected;
    int32_t actual;
    bool operator==(const Sample &o) const {
        return kind == o.kind && row == o.row && expected == o.expected && actual == o.actual;
    }
};

std::ostream &operator<<(std::ostream &os, const Sample &s) {
    return os << "{kind " << s.kind << ", row " << s.row << ", expected " << s.expected
              << ", actual " << s.actual << "}";
}

std::vector<Sample> samples(const csv_table &t) {
    std::vector<Sample> out;
    for (int32_t i = 0; i < t.n_samples; ++i)
        out.push_back({t.samples[i].kind, t.samples[i].row, t.samples[i].expected,
                       t.samples[i].actual});
    return out;
}

// The storage invariants every parsed table keeps.
void expect_consistent(const csv_table &t) {
    EXPECT_EQ(t.in_use, 1u);
    EXPECT_EQ(t.header_line, 0u);
    EXPECT_LE(t.blob_len, t.blob_cap);
    EXPECT_LE(t.blob_len, 0xFFFFFFFFull);
    EXPECT_LE(t.n_rows, t.row_cap);
    if (t.blob != nullptr) {
        EXPECT_GE(t.blob_len, 1u);
        EXPECT_EQ(t.blob[0], '\0');
    }
    auto check = [&](const csv_cell &c) {
        if (c.length == 0) {
            EXPECT_EQ(c.offset, 0u) << "an empty text is the all-zero cell";
            return;
        }
        ASSERT_NE(t.blob, nullptr);
        EXPECT_GE(c.offset, 1u);
        ASSERT_LT(uint64_t{c.offset} + c.length, t.blob_len);
        EXPECT_EQ(t.blob[c.offset + c.length], '\0');
    };
    for (int32_t k = 0; k < t.n_cols; ++k) check(t.headers[k]);
    for (int64_t r = 0; r < t.n_rows; ++r)
        for (int32_t k = 0; k < t.n_cols; ++k) check(*csv_cell_at(&t, r, k));
}

// The input in a heap block of exactly its size, so that a read past its
// end is caught by the address sanitizer.
std::vector<char> exact_copy(const std::string &in) {
    std::vector<char> v;
    v.reserve(in.size());
    v.assign(in.begin(), in.end());
    return v;
}

// A record shaped like the parser's right after it created the blob.
struct FreshBlob {
    csv_table t{};
    FreshBlob() {
        t.blob = static_cast<char *>(csv_malloc(4096));
        t.blob[0] = '\0';
        t.blob_len = 1;
        t.blob_cap = 4096;
    }
    ~FreshBlob() { csv_table_free(&t); }
};

// ---- csv_blob_append ------------------------------------------------------

TEST(BlobAppend, EmptyTextIsTheEmptyCellEvenWithoutBlob) {
    csv_table t{};
    csv_cell out{7, 7};
    ASSERT_EQ(csv_blob_append(&t, "", 0, &out), 0);
    EXPECT_EQ(out.offset, 0u);
    EXPECT_EQ(out.length, 0u);
    EXPECT_EQ(t.blob, nullptr);
    EXPECT_EQ(t.blob_len, 0u);
    EXPECT_EQ(t.blob_cap, 0u);
    EXPECT_TRUE(vtest::all_zero(t));
}

TEST(BlobAppend, NullArgumentsFailWithoutMessage) {
    FreshBlob f;
    csv_cell out{};
    csv_clear_error();
    EXPECT_EQ(csv_blob_append(nullptr, "ab", 2, &out), -1);
    EXPECT_EQ(csv_blob_append(&f.t, "ab", 2, nullptr), -1);
    EXPECT_EQ(csv_blob_append(&f.t, nullptr, 2, &out), -1);
    EXPECT_STREQ(csv_last_error(), "");
    EXPECT_EQ(f.t.blob_len, 1u);
}

TEST(BlobAppend, FirstTextOfFreshBlobStartsAtOffsetOne) {
    FreshBlob f;
    csv_cell out{};
    ASSERT_EQ(csv_blob_append(&f.t, "ab", 2, &out), 0);
    EXPECT_EQ(out.offset, 1u);
    EXPECT_EQ(out.length, 2u);
    EXPECT_EQ(f.t.blob_len, 4u);
    EXPECT_EQ(std::string(f.t.blob, 4), std::string("\0ab\0", 4));
    ASSERT_EQ(csv_blob_append(&f.t, "xyz", 3, &out), 0);
    EXPECT_EQ(out.offset, 4u);
    EXPECT_EQ(out.length, 3u);
    EXPECT_EQ(f.t.blob_len, 8u);
    EXPECT_STREQ(f.t.blob + 4, "xyz");
}

TEST(BlobAppend, TextWithNulIsKeptWhole) {
    FreshBlob f;
    csv_cell out{};
    ASSERT_EQ(csv_blob_append(&f.t, "a\0b", 3, &out), 0);
    EXPECT_EQ(std::string(f.t.blob + out.offset, out.length), std::string("a\0b", 3));
    EXPECT_EQ(f.t.blob[out.offset + 3], '\0');
}

TEST(BlobAppend, GrowsOnlyWhenTheNulNoLongerFits) {
    std::string bytes(6, 'q');
    {
        FreshBlob f;
        f.t.blob_len = 4090;
        csv_cell out{};
        char *before = f.t.blob;
        ASSERT_EQ(csv_blob_append(&f.t, bytes.data(), 5, &out), 0);
        EXPECT_EQ(f.t.blob_cap, 4096u);
        EXPECT_EQ(f.t.blob_len, 4096u);
        EXPECT_EQ(f.t.blob, before);
        EXPECT_EQ(out.offset, 4090u);
        EXPECT_EQ(f.t.blob[4095], '\0');
    }
    {
        FreshBlob f;
        f.t.blob_len = 4090;
        csv_cell out{};
        ASSERT_EQ(csv_blob_append(&f.t, bytes.data(), 6, &out), 0);
        EXPECT_EQ(f.t.blob_cap, 8192u);
        EXPECT_EQ(f.t.blob_len, 4097u);
        EXPECT_EQ(std::string(f.t.blob + 4090, 6), bytes);
        EXPECT_EQ(f.t.blob[4096], '\0');
    }
}

TEST(BlobAppend, CapacityDoublesFrom4096AndKeepsEveryText) {
    csv_table t{};
    std::vector<csv_cell> cells;
    std::vector<uint64_t> caps;
    std::string chunk(1000, 'a');
    for (int i = 0; i < 70; ++i) {
        chunk[0] = static_cast<char>('A' + i % 26);
        csv_cell out{};
        ASSERT_EQ(csv_blob_append(&t, chunk.data(), chunk.size(), &out), 0);
        cells.push_back(out);
        if (caps.empty() || caps.back() != t.blob_cap) caps.push_back(t.blob_cap);
    }
    EXPECT_EQ(caps, (std::vector<uint64_t>{4096, 8192, 16384, 32768, 65536, 131072}));
    EXPECT_EQ(t.blob_len, 70u * 1001u);
    for (int i = 0; i < 70; ++i) {
        EXPECT_EQ(cells[i].offset, static_cast<uint32_t>(i * 1001));
        EXPECT_EQ(t.blob[cells[i].offset], static_cast<char>('A' + i % 26));
        EXPECT_EQ(t.blob[cells[i].offset + 1000], '\0');
    }
    csv_table_free(&t);
}

TEST(BlobAppend, FirstGrowthFromNothingDoublesPast4096) {
    csv_table t{};
    std::string big(10000, 'z');
    csv_cell out{};
    ASSERT_EQ(csv_blob_append(&t, big.data(), big.size(), &out), 0);
    EXPECT_EQ(t.blob_cap, 16384u);
    EXPECT_EQ(t.blob_len, 10001u);
    EXPECT_EQ(out.offset, 0u);
    csv_table_free(&t);
}

// Capacity chosen for one append to a blob of `len` bytes in use and `cap`
// allocated: doubling up to 1 GiB, an eighth more past it, never beyond
// 4 GiB - 1. The record pretends to hold the bytes, with no blob, so only
// the one touched page of the new reservation is used.
struct GrowthCase {
    const char *name;
    uint64_t len;
    uint64_t cap;
    uint64_t want_cap;
};

const uint64_t kGiB = 1ull << 30;

const GrowthCase kGrowthCases[] = {
    {"doubles_at_exactly_one_gib", kGiB - 5, kGiB, 2 * kGiB},
    {"eighth_more_past_two_gib", 2 * kGiB, 2 * kGiB, 2 * kGiB + kGiB / 4},
    {"eighth_more_of_an_odd_size", 3 * kGiB, 3 * kGiB + 8, 3 * kGiB + 8 + (3 * kGiB + 8) / 8},
    {"eighth_more_past_four_gib", 3 * kGiB + 3 * kGiB / 4, 3 * kGiB + 3 * kGiB / 4,
     3 * kGiB + 3 * kGiB / 4 + (3 * kGiB + 3 * kGiB / 4) / 8},
};

class BlobGrowth : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(BlobGrowth, ChoosesTheCapacity) {
    const GrowthCase &c = GetParam();
    csv_table t{};
    t.blob_len = c.len;
    t.blob_cap = c.cap;
    csv_cell out{};
    csv_clear_error();
    if (csv_blob_append(&t, "0123456789", 10, &out) != 0) {
        EXPECT_STREQ(csv_last_error(), "");
        GTEST_SKIP() << "the system refused the reservation";
    }
    EXPECT_EQ(t.blob_cap, c.want_cap);
    EXPECT_EQ(t.blob_len, c.len + 11);
    EXPECT_EQ(out.offset, static_cast<uint32_t>(c.len));
    EXPECT_EQ(std::string(t.blob + c.len, 10), "0123456789");
    csv_table_free(&t);
}

INSTANTIATE_TEST_SUITE_P(PastOneGiB, BlobGrowth, ::testing::ValuesIn(kGrowthCases),
                         [](const ::testing::TestParamInfo<GrowthCase> &info) {
                             return std::string(info.param.name);
                         });

// Many small texts past 2 GiB: one growth serves all of them, on any
// allocator (growing to the exact size needed took one realloc, and one
// huge-page advice, per text).
TEST(BlobAppend, SmallTextsPastTwoGiBShareOneGrowth) {
    csv_table t{};
    t.blob_len = 2 * kGiB;
    t.blob_cap = 2 * kGiB;
    csv_alloc_fail_after(-1);
    csv_cell out{};
    int rc = 0;
    for (int i = 0; i < 100000 && rc == 0; ++i) rc = csv_blob_append(&t, "0123456789", 10, &out);
    const int64_t made = csv_alloc_fail_after(-1);
    if (rc != 0) {
        csv_table_free(&t);
        GTEST_SKIP() << "the system refused the reservation";
    }
    EXPECT_EQ(made, 1);
    EXPECT_EQ(t.blob_len, 2 * kGiB + 100000u * 11u);
    EXPECT_EQ(std::string(t.blob + out.offset, 11), std::string("0123456789\0", 11));
    csv_table_free(&t);
}

TEST(BlobAppend, TextOfFourGiBMinusOnePassesFieldCheckButNotBlobCheck) {
    FreshBlob f;
    char byte = 'x';  // never read: the size checks come first
    csv_cell out{9, 9};
    EXPECT_EQ(csv_blob_append(&f.t, &byte, 0xFFFFFFFFull, &out), -1);
    EXPECT_STREQ(csv_last_error(),
                 "CSV data exceeds 4 GiB addressable blob; file too large for this build");
    EXPECT_EQ(out.offset, 0u);
    EXPECT_EQ(out.length, 0u);
    EXPECT_EQ(f.t.blob_len, 1u);
    EXPECT_EQ(f.t.blob_cap, 4096u);

    EXPECT_EQ(csv_blob_append(&f.t, &byte, 0x100000000ull, &out), -1);
    EXPECT_STREQ(csv_last_error(), "field exceeds 4 GiB; file too large for this build");
    EXPECT_EQ(f.t.blob_len, 1u);
}

// A segment spans 2^32 bytes: a text's NUL at 2^32 - 1 is the last that fits.
TEST(BlobAppend, BlobLimitCountsTheTerminator) {
    csv_table t{};
    char bytes[16] = {};
    csv_cell out{};
    t.blob_len = 0xFFFFFFF1ull;  // pretend; the failing checks touch no memory
    EXPECT_EQ(csv_blob_append(&t, bytes, 15, &out), -1);
    EXPECT_STREQ(csv_last_error(),
                 "CSV data exceeds 4 GiB addressable blob; file too large for this build");
    EXPECT_EQ(t.blob_len, 0xFFFFFFF1ull);
    EXPECT_EQ(t.blob, nullptr);
}

TEST(BlobAppend, SizeOverflowFailsWithoutMessage) {
    csv_table t{};
    char bytes[8] = {};
    csv_cell out{};
    t.blob_len = UINT64_MAX - 3;
    csv_clear_error();
    EXPECT_EQ(csv_blob_append(&t, bytes, 5, &out), -1);
    EXPECT_STREQ(csv_last_error(), "");
    EXPECT_EQ(t.blob, nullptr);
}

TEST(BlobAppend, FailedGrowthLeavesBlobUnchanged) {
    FreshBlob f;
    f.t.blob_len = 4090;
    memcpy(f.t.blob + 4080, "0123456789", 10);
    char *before = f.t.blob;
    csv_cell out{5, 5};
    csv_clear_error();
    csv_alloc_fail_after(0);
    int rc = csv_blob_append(&f.t, "abcdefgh", 8, &out);
    csv_alloc_fail_after(-1);
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(csv_last_error(), "");
    EXPECT_EQ(f.t.blob, before);
    EXPECT_EQ(f.t.blob_len, 4090u);
    EXPECT_EQ(f.t.blob_cap, 4096u);
    EXPECT_EQ(std::string(f.t.blob + 4080, 10), "0123456789");
    EXPECT_EQ(out.offset, 0u);
    EXPECT_EQ(out.length, 0u);
}

// ---- rows, widening, cell access, release ----------------------------------

std::string lines(const std::string &line, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += line;
    return s;
}

TEST(TableStorage, RowCapacityStartsAt16AndDoubles) {
    struct Step {
        int rows;
        int64_t cap;
    };
    for (Step st : {Step{1, 16}, Step{16, 16}, Step{17, 32}, Step{32, 32}, Step{33, 64}}) {
        vtest::Table t(lines("x\n", st.rows), false);
        EXPECT_EQ(t->n_rows, st.rows);
        EXPECT_EQ(t->row_cap, st.cap) << st.rows << " rows";
    }
    vtest::Table none("only,header\n", true);
    EXPECT_EQ(none->n_rows, 0);
    EXPECT_EQ(none->row_cap, 0);
    EXPECT_EQ(none->cells, nullptr);
}

TEST(TableStorage, WideningNamesNewColumnsAndFillsEarlierRows) {
    vtest::Table t("a,b\n1,2\n3,4\n5,6\n7,8,9,10\n", true);
    expect_consistent(t.t);
    EXPECT_EQ(vtest::headers(t.t), (Names{"a", "b", "3", "4"}));
    EXPECT_EQ(vtest::rows(t.t), (Rows{{"1", "2", "", ""},
                                      {"3", "4", "", ""},
                                      {"5", "6", "", ""},
                                      {"7", "8", "9", "10"}}));
    EXPECT_EQ(t->row_cap, 16);
    EXPECT_EQ(t->expected_cols, 2);
}

TEST(TableStorage, ShortRowIsFilledAndLongRowWidens) {
    vtest::Table t("a,b,c\nx\n1,2,3,4,5\n", true);
    expect_consistent(t.t);
    EXPECT_EQ(vtest::headers(t.t), (Names{"a", "b", "c", "4", "5"}));
    EXPECT_EQ(vtest::rows(t.t), (Rows{{"x", "", "", "", ""}, {"1", "2", "3", "4", "5"}}));
    const csv_cell *filler = csv_cell_at(t.get(), 0, 2);
    EXPECT_EQ(filler->offset, 0u);
    EXPECT_EQ(filler->length, 0u);
    EXPECT_NE(filler, &csv_empty_str) << "a filler is a stored cell inside the table";
}

TEST(TableStorage, WideningAcrossManyRowsKeepsEveryCell) {
    std::string in = "h1,h2\n";
    for (int i = 0; i < 100; ++i) in += std::to_string(i) + "," + std::to_string(-i) + "\n";
    in += "w1,w2,w3\n";
    for (int i = 0; i < 50; ++i) in += "p,q\n";
    vtest::Table t(in, true);
    expect_consistent(t.t);
    ASSERT_EQ(t->n_cols, 3);
    ASSERT_EQ(t->n_rows, 151);
    EXPECT_EQ(t->row_cap, 256);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(vtest::cell(t.t, i, 0), std::to_string(i));
        EXPECT_EQ(vtest::cell(t.t, i, 1), std::to_string(-i));
        EXPECT_EQ(vtest::cell(t.t, i, 2), "");
    }
    EXPECT_EQ(vtest::cell(t.t, 100, 2), "w3");
    EXPECT_EQ(vtest::cell(t.t, 150, 0), "p");
    EXPECT_EQ(vtest::cell(t.t, 150, 2), "");
    EXPECT_EQ(t->ragged, 1);
}

// Record i holds i - 1 delimiters and then the text v<i>: every record
// widens the table by one column.
std::string staircase(int records) {
    std::string in;
    for (int i = 1; i <= records; ++i) in += std::string(i - 1, ',') + "v" + std::to_string(i) + "\n";
    return in;
}

// The column room grows geometrically, so the rows are re-laid out only a
// logarithmic number of times: the 2 MB staircase needs a few dozen
// allocations, where re-laying out at every widening needed thousands
// (and cubic time).
TEST(TableStorage, StaircaseWideningReLaysOutRowsRarely) {
    const int n = 2000;
    const std::string in = staircase(n);
    ASSERT_GT(in.size(), 2000000u);
    csv_table t{};
    csv_alloc_fail_after(-1);
    ASSERT_EQ(csv_table_parse(&t, in.data(), in.size(), 0), 0);
    const int64_t made = csv_alloc_fail_after(-1);
    EXPECT_LT(made, 100) << "allocations for " << n << " widenings";
    ASSERT_EQ(t.n_cols, n);
    ASSERT_EQ(t.n_rows, n);
    EXPECT_GE(t.col_cap, t.n_cols);
    EXPECT_EQ(vtest::header(t, 0), "1");
    EXPECT_EQ(vtest::header(t, n - 1), std::to_string(n));
    int64_t wrong = 0;
    for (int64_t r = 0; r < n; ++r)
        for (int32_t c = 0; c < n; ++c) {
            const csv_cell *cell = csv_cell_at(&t, r, c);
            if (c == r ? vtest::cell(t, r, c) != "v" + std::to_string(r + 1) : cell->length != 0)
                ++wrong;
        }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(t.ragged, n - 1);
    csv_table_free(&t);
}

// A wider row late in a long file widens every row exactly, and widening
// by half as much again is trimmed at the end: the body ends at the
// table's width (seen in the heap's size of the block), every cell kept.
TEST(TableStorage, WideningEndsAtTheTablesWidth) {
    struct Case {
        const char *name;
        std::vector<int> wider;  // widths of the rows after row 1,000
    };
    for (const Case &c : {Case{"one_row_of_11", {11}}, Case{"rows_of_11_and_12", {11, 12}},
                          Case{"rows_of_11_to_14", {11, 12, 13, 14}}}) {
        SCOPED_TRACE(c.name);
        std::string in;
        const std::string row = "0,1,2,3,4,5,6,7,8,9\n";
        for (int r = 0; r < 20000; ++r) {
            in += row;
            if (r == 1000)
                for (int w : c.wider) in += std::string(w - 1, ',') + "w\n";
        }
        csv_table t{};
        ASSERT_EQ(csv_table_parse(&t, in.data(), in.size(), 0), 0);
        expect_consistent(t);
        const int32_t width = c.wider.back();
        ASSERT_EQ(t.n_cols, width);
        ASSERT_EQ(t.row_start, nullptr);
        EXPECT_EQ(csv_row_stride(&t), width);
        const size_t want = static_cast<size_t>(t.row_cap) * width * sizeof(csv_cell);
        const size_t held = csv_platform_block_size(t.cells);
        if (held != 0) {
            EXPECT_GE(held, want);
            EXPECT_LT(held, want + 8192) << "the block keeps room past the width";
        }
        EXPECT_EQ(vtest::cell(t, 0, 9), "9");
        EXPECT_EQ(vtest::cell(t, 1001, width - 1), c.wider.size() == 1 ? "w" : "");
        EXPECT_EQ(vtest::cell(t, t.n_rows - 1, 9), "9");
        EXPECT_EQ(vtest::cell(t, t.n_rows - 1, width - 1), "");
        csv_table_free(&t);
    }
}

// A generous bound, far above the few milliseconds the load takes: the
// old layout took about 6.5 s here.
TEST(TableStorage, StaircaseOfTwoMegabytesLoadsQuickly) {
    const std::string in = staircase(2000);
    const auto start = std::chrono::steady_clock::now();
    vtest::Table t(in, false);
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(t->n_cols, 2000);
    EXPECT_LT(secs, 2.0);
}

// Rows with room past n_cols (as a body has while the parse widens it):
// every reader of the rows steps by the row stride, not by the column count.
TEST(TableStorage, ReadersStepByTheRowStride) {
    vtest::Table t("a\nb,c\nd,e,f\ng,h,i,j\nk,l,m,n,o\n", false);
    expect_consistent(t.t);
    ASSERT_EQ(t->n_cols, 5);
    ASSERT_EQ(t->row_start, nullptr);
    const int32_t stride = 7;
    csv_cell *wide = static_cast<csv_cell *>(csv_calloc(static_cast<size_t>(t->row_cap) * stride, sizeof(csv_cell)));
    ASSERT_NE(wide, nullptr);
    for (int64_t r = 0; r < t->n_rows; ++r)
        for (int32_t c = 0; c < t->n_cols; ++c) wide[r * stride + c] = *csv_cell_at(t.get(), r, c);
    csv_free(t->cells);
    t->cells = wide;
    t->col_cap = stride;
    ASSERT_GT(t->col_cap, 5) << "the case needs room past n_cols";
    EXPECT_EQ(vtest::rows(t.t), (Rows{{"a", "", "", "", ""},
                                      {"b", "c", "", "", ""},
                                      {"d", "e", "f", "", ""},
                                      {"g", "h", "i", "j", ""},
                                      {"k", "l", "m", "n", "o"}}));
    EXPECT_EQ(csv_cell_at(t.get(), 3, 3), &t->cells[3 * t->col_cap + 3]);

    int64_t *rows = nullptr;
    int64_t n = 0;
    ASSERT_EQ(csv_search_rows(t.get(), 2, "i", 0, &rows, &n), 0);
    EXPECT_EQ(std::vector<int64_t>(rows, rows + n), (std::vector<int64_t>{3}));
    csv_free(rows);
    ASSERT_EQ(csv_sort_rows(t.get(), 1, 1, &rows, &n), 0);
    EXPECT_EQ(std::vector<int64_t>(rows, rows + n), (std::vector<int64_t>{4, 3, 2, 1, 0}));
    csv_free(rows);
    EXPECT_EQ(csv_col_unique(t.get(), 3), 3);

    const int32_t cols[] = {4, 0};
    const char *json = csv_emit_rows(t.get(), nullptr, t->n_rows, cols, 2, 3, 10);
    ASSERT_NE(json, nullptr);
    EXPECT_STREQ(json, "[{\"5\":\"\",\"1\":\"g\"},{\"5\":\"o\",\"1\":\"k\"}]");

    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(csv_emit_csv_fp(t.get(), f), 0);
    rewind(f);
    char buf[256] = {};
    const size_t got = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    EXPECT_EQ(std::string(buf, got), "a,,,,\nb,c,,,\nd,e,f,,\ng,h,i,j,\nk,l,m,n,o\n");
}

TEST(TableStorage, CellAtOutsideTheTableGivesTheSharedEmptyCell) {
    vtest::Table t("a,b\n1,2\n3,4\n", true);
    const csv_table *p = t.get();
    EXPECT_EQ(csv_cell_at(p, -1, 0), &csv_empty_str);
    EXPECT_EQ(csv_cell_at(p, 2, 0), &csv_empty_str);
    EXPECT_EQ(csv_cell_at(p, 0, -1), &csv_empty_str);
    EXPECT_EQ(csv_cell_at(p, 0, 2), &csv_empty_str);
    EXPECT_EQ(csv_cell_at(p, INT64_MIN, INT32_MIN), &csv_empty_str);
    EXPECT_EQ(csv_cell_at(nullptr, 0, 0), &csv_empty_str);
    csv_table empty{};
    EXPECT_EQ(csv_cell_at(&empty, 0, 0), &csv_empty_str);
    EXPECT_EQ(csv_empty_str.offset, 0u);
    EXPECT_EQ(csv_empty_str.length, 0u);

    EXPECT_EQ(csv_cell_at(p, 1, 1), &p->cells[3]);
    EXPECT_EQ(csv_cell_text(p, csv_cell_at(p, 1, 1)), std::string("4"));
    EXPECT_EQ(csv_cell_text(p, csv_cell_at(p, 0, 0)), std::string("1"));
}

TEST(TableStorage, FreeReleasesAndZeroes) {
    csv_table_free(nullptr);
    csv_table t{};
    ASSERT_EQ(csv_table_parse(&t, "a,b\n1,2\n", 8, 1), 0);
    ASSERT_EQ(t.in_use, 1u);
    ASSERT_NE(t.blob, nullptr);
    csv_table_free(&t);
    EXPECT_TRUE(vtest::all_zero(t));
    csv_table_free(&t);  // a second release of the empty record is harmless
    EXPECT_TRUE(vtest::all_zero(t));
}

// ---- the dialect, one case per row ----------------------------------------

struct ParseCase {
    const char *name;
    std::string input;
    bool has_header;
    uint32_t delimiter;
    Names headers;
    Rows rows;
    int64_t ragged;
    int64_t blank;
    int64_t unterminated_row;  // 0: no unterminated quote
    std::vector<Sample> samples;
    int32_t expected_cols;     // -1: not checked
};

const int32_t kAny = -1;

std::string Q(const std::string &s) {
    std::string out = s;
    for (char &c : out)
        if (c == 'Q') c = '"';
    return out;
}

ParseCase C(const char *name, std::string input, bool h, Names headers, Rows rows,
            int64_t ragged = 0, int64_t blank = 0, int64_t urow = 0,
            std::vector<Sample> s = {}, int32_t expected_cols = kAny, uint32_t delim = ',') {
    return ParseCase{name, std::move(input), h, delim, std::move(headers), std::move(rows),
                     ragged, blank, urow, std::move(s), expected_cols};
}

ParseCase D(const char *name, uint32_t delim, std::string input, bool h, Names headers,
            Rows rows) {
    return C(name, std::move(input), h, std::move(headers), std::move(rows), 0, 0, 0, {}, kAny,
             delim);
}

const ParseCase kCases[] = {
    C("crlf_no_final_eol_header", "a,b\r\n1,2", true, {"a", "b"}, {{"1", "2"}}, 0, 0, 0, {}, 2),
    C("crlf_no_final_eol_no_header", "a,b\r\n1,2", false, {"1", "2"}, {{"a", "b"}, {"1", "2"}}),
    C("final_lf_adds_no_row", "a,b\n1,2\n", true, {"a", "b"}, {{"1", "2"}}),
    C("final_crlf_adds_no_row", "a,b\r\n1,2\r\n", true, {"a", "b"}, {{"1", "2"}}),
    C("lone_cr_line_endings", "a,b\r1,2\r", true, {"a", "b"}, {{"1", "2"}}),
    C("doubled_quote_in_quoted_field", Q("QxQQyQ,z"), false, {"1", "2"}, {{Q("xQy"), "z"}}),
    C("field_of_one_escaped_quote", Q("QQQQ"), false, {"1"}, {{Q("Q")}}),
    C("empty_quoted_field_between_others", Q("a,QQ,b"), false, {"1", "2", "3"}, {{"a", "", "b"}}),
    C("bytes_after_closing_quote_kept", Q("QabQcd,e"), true, {"abcd", "e"}, {}),
    C("bytes_after_closing_quote_up_to_cr", Q("QaQxx\rb"), false, {"1"}, {{"axx"}, {"b"}}),
    C("bytes_after_closing_quote_up_to_lf", Q("QaQ b\nc"), false, {"1"}, {{"a b"}, {"c"}}),
    C("vendor_name_after_quoted_word", Q("00:0A:A5,QAzimutQ Production Association JSC\n"),
      false, {"1", "2"}, {{"00:0A:A5", "Azimut Production Association JSC"}}),
    C("datum_name_with_letter_after_quote",
      Q("4293,QSELVAGEM GRANDE 1938, Salvage Is,QI,7\n"), false, {"1", "2", "3"},
      {{"4293", "SELVAGEM GRANDE 1938, Salvage Is,I", "7"}}),
    C("quote_after_closing_quote_is_text", Q("QaQbQc,d"), false, {"1", "2"}, {{Q("abQc"), "d"}}),
    C("open_quote_after_closing_quote_is_text", Q("QaQ Qx\ny"), false, {"1"},
      {{Q("a Qx")}, {"y"}}),
    C("doubled_quote_then_bytes_after", Q("QaQQbQcQ,d"), false, {"1", "2"}, {{Q("aQbcQ"), "d"}}),
    C("empty_quotes_then_bytes", Q("QQab,c"), false, {"1", "2"}, {{"ab", "c"}}),
    C("two_quotes_and_space_is_not_blank", Q("a\nQQ \nb"), true, {"a"}, {{" "}, {"b"}}),
    C("quote_after_space_is_text", Q(" QaQ,b"), false, {"1", "2"}, {{Q(" QaQ"), "b"}}),
    C("quote_inside_field_is_text", Q("aQb,c"), false, {"1", "2"}, {{Q("aQb"), "c"}}),
    C("quoted_delimiter_and_lf", Q("Qa,bQ,Qc\ndQ"), false, {"1", "2"}, {{"a,b", "c\nd"}}),
    C("quoted_crlf_stays_in_text", Q("Qa\r\nbQ,c\r\nd,e"), false, {"1", "2"},
      {{"a\r\nb", "c"}, {"d", "e"}}),
    C("quoted_fields_then_crlf", Q("QaQ\r\nQbQ\r\n"), false, {"1"}, {{"a"}, {"b"}}),
    C("trailing_delimiter_gives_empty_column", "a,b,\n1,2,\n", true, {"a", "b", ""},
      {{"1", "2", ""}}),
    C("empty_last_field_no_warning", "a,b\n1,", true, {"a", "b"}, {{"1", ""}}),
    C("short_and_long_records", "a,b\n1\n1,2,3\n4,5\n", true, {"a", "b", "3"},
      {{"1", "", ""}, {"1", "2", "3"}, {"4", "5", ""}}, 2, 0, 0, {{1, 2, 2, 1}, {1, 3, 2, 3}}, 2),
    C("short_record_ragged", "a,b,c\n1,2\n", true, {"a", "b", "c"}, {{"1", "2", ""}}, 1, 0, 0,
      {{1, 2, 3, 2}}),
    C("blank_line_lf", "a,b\n\n1,2\n", true, {"a", "b"}, {{"", ""}, {"1", "2"}}, 0, 1, 0,
      {{2, 2, 2, 1}}),
    C("blank_line_of_two_quotes", Q("a,b\nQQ\n1,2\n"), true, {"a", "b"}, {{"", ""}, {"1", "2"}},
      0, 1, 0, {{2, 2, 2, 1}}),
    C("blank_line_crlf", "a,b\r\n\r\n1,2\r\n", true, {"a", "b"}, {{"", ""}, {"1", "2"}}, 0, 1, 0,
      {{2, 2, 2, 1}}),
    C("blank_line_lone_cr", "a,b\r\r1,2\r", true, {"a", "b"}, {{"", ""}, {"1", "2"}}, 0, 1, 0,
      {{2, 2, 2, 1}}),
    C("empty_last_line_lf_is_ragged", "a,b\n1,2\n\n", true, {"a", "b"}, {{"1", "2"}, {"", ""}}, 1,
      0, 0, {{1, 3, 2, 1}}),
    C("empty_last_line_crlf_is_ragged", "a,b\r\n1,2\r\n\r\n", true, {"a", "b"},
      {{"1", "2"}, {"", ""}}, 1, 0, 0, {{1, 3, 2, 1}}),
    C("empty_last_line_cr_is_ragged", "a,b\n1,2\n\r", true, {"a", "b"}, {{"1", "2"}, {"", ""}}, 1,
      0, 0, {{1, 3, 2, 1}}),
    C("line_of_spaces_is_not_blank", "a,b\n  \n1,2", true, {"a", "b"}, {{"  ", ""}, {"1", "2"}},
      1, 0, 0, {{1, 2, 2, 1}}),
    C("line_of_one_delimiter_is_regular", "a,b\n,\n1,2", true, {"a", "b"},
      {{"", ""}, {"1", "2"}}),
    C("blank_first_line_header", "\na,b\n1,2\n", true, {"", "2"}, {{"a", "b"}, {"1", "2"}}, 2, 1,
      0, {{2, 1, 0, 1}, {1, 2, 1, 2}, {1, 3, 1, 2}}, 1),
    C("blank_first_line_no_header", "\na,b\n1,2\n", false, {"1", "2"},
      {{"", ""}, {"a", "b"}, {"1", "2"}}, 2, 1, 0, {{2, 1, 0, 1}, {1, 2, 1, 2}, {1, 3, 1, 2}}, 1),
    C("unterminated_quote_swallows_rest", Q("a,b\n1,Q2\n3,4\n"), true, {"a", "b"},
      {{"1", "2\n3,4\n"}}, 0, 0, 2, {{3, 2, 2, 0}}),
    C("unterminated_quote_in_header", Q("a,Qb\n1,2"), true, {"a", "b\n1,2"}, {}, 0, 0, 1,
      {{3, 1, 0, 0}}, 2),
    C("unterminated_after_doubled_quote", Q("a,b\n1,QxQQ"), true, {"a", "b"}, {{"1", Q("xQ")}},
      0, 0, 2, {{3, 2, 2, 0}}),
    C("unterminated_empty_quote", Q("a,b\n1,Q"), true, {"a", "b"}, {{"1", ""}}, 0, 0, 2,
      {{3, 2, 2, 0}}),
    C("unterminated_short_record_not_ragged", Q("a,b,c\nQx,y\n"), true, {"a", "b", "c"},
      {{"x,y\n", "", ""}}, 0, 0, 2, {{3, 2, 3, 0}}),
    C("unterminated_quote_keeps_line_endings", Q("a\nQx\nQQy\n"), true, {"a"}, {{Q("x\nQy\n")}},
      0, 0, 2, {{3, 2, 1, 0}}),
    C("closing_quote_is_last_byte", Q("a,b\nQabcQ"), true, {"a", "b"}, {{"abc", ""}}, 1, 0, 0,
      {{1, 2, 2, 1}}),
    C("cr_cr_lf", "a\r\r\nb\n", false, {"1"}, {{"a"}, {""}, {"b"}}, 0, 1, 0, {{2, 2, 1, 1}}),
    C("bom_is_skipped", "\xEF\xBB\xBF" "a,b\n1,2\n", true, {"a", "b"}, {{"1", "2"}}),
    C("bom_alone", "\xEF\xBB\xBF", true, {}, {}),
    C("partial_bom_is_text", "\xEF\xBB", false, {"1"}, {{"\xEF\xBB"}}),
    C("bom_not_at_start_is_text", "a\n\xEF\xBB\xBF", false, {"1"}, {{"a"}, {"\xEF\xBB\xBF"}}),
    C("empty_input", "", true, {}, {}, 0, 0, 0, {}, 0),
    C("single_field_header", "x", true, {"x"}, {}, 0, 0, 0, {}, 1),
    C("single_field_no_header", "x", false, {"1"}, {{"x"}}),
    C("lone_lf_header", "\n", true, {""}, {}, 0, 0, 0, {}, 1),
    C("lone_lf_no_header", "\n", false, {"1"}, {{""}}),
    C("two_lf_header", "\n\n", true, {""}, {{""}}, 0, 1, 0, {{2, 1, 0, 1}}),
    C("lone_delimiter", ",", false, {"1", "2"}, {{"", ""}}),
    C("nul_byte_is_text", std::string("a\0b,c", 5), false, {"1", "2"},
      {{std::string("a\0b", 3), "c"}}),
    C("long_fields_cross_blocks", "abcdefghijklmnopqrstuvwxyz0123456789,x\nshort,abcdefghijklmnop",
      false, {"1", "2"}, {{"abcdefghijklmnopqrstuvwxyz0123456789", "x"},
                          {"short", "abcdefghijklmnop"}}),
    D("tab_delimiter", 9, "a\tb,c\n1\t2", true, {"a", "b,c"}, {{"1", "2"}}),
    D("semicolon_delimiter", 59, "a;b\n1;2", true, {"a", "b"}, {{"1", "2"}}),
    D("pipe_delimiter", 124, "a|b\n1|2", true, {"a", "b"}, {{"1", "2"}}),
    D("byte_ff_delimiter", 255, "a\xFF" "b\n1\xFF" "2", true, {"a", "b"}, {{"1", "2"}}),
    D("delimiter_0_is_comma", 0, "a,b;c", true, {"a", "b;c"}, {}),
    D("delimiter_256_is_comma", 256, "a,b;c", true, {"a", "b;c"}, {}),
    D("delimiter_max_is_comma", 4294967295u, "a,b;c", true, {"a", "b;c"}, {}),
    D("lf_delimiter_never_ends_record", 10, "a\nb\nc", false, {"1", "2", "3"}, {{"a", "b", "c"}}),
    D("quote_delimiter", 34, Q("aQb\nQxQQyQzQw"), false, {"1", "2"}, {{"a", "b"}, {Q("xQyz"), "w"}}),
    C("cr_delimiter_before_lf", "a\rb\r\nc", false, {"1", "2", "3"}, {{"a", "b", ""}, {"c", "", ""}},
      1, 0, 0, {{1, 2, 3, 1}}, 3, 13),
};

class ParseCases : public ::testing::TestWithParam<ParseCase> {};

// What every path of the parser must give for a case of the table.
void expect_case(const csv_table &t, const ParseCase &pc) {
    expect_consistent(t);
    EXPECT_EQ(vtest::headers(t), pc.headers);
    EXPECT_EQ(vtest::rows(t), pc.rows);
    EXPECT_EQ(t.ragged, pc.ragged);
    EXPECT_EQ(t.blank, pc.blank);
    EXPECT_EQ(t.unterminated_quote, pc.unterminated_row != 0 ? 1 : 0);
    EXPECT_EQ(t.unterminated_row, pc.unterminated_row);
    EXPECT_EQ(samples(t), pc.samples);
    EXPECT_EQ(t.truncated_utf16, 0);
    if (pc.expected_cols != kAny) EXPECT_EQ(t.expected_cols, pc.expected_cols);
}

TEST_P(ParseCases, Parses) {
    const ParseCase &pc = GetParam();
    csv_table t{};
    csv_parse_opts opts{};
    opts.delimiter = pc.delimiter;
    const std::vector<char> bytes = exact_copy(pc.input);
    ASSERT_EQ(csv_table_parse_ex(&t, bytes.data(), bytes.size(), pc.has_header ? 1 : 0, &opts), 0)
        << csv_last_error();
    expect_case(t, pc);
    if (pc.input.empty() || pc.input == "\xEF\xBB\xBF") {
        EXPECT_EQ(t.n_cols, 0);
        EXPECT_EQ(t.headers, nullptr);
        EXPECT_EQ(t.cells, nullptr);
    }
    csv_table_free(&t);
}

// The same cases through the loaders' path: the parser takes over the
// input, a heap block of exactly its size, and parses it in place.
TEST_P(ParseCases, ParsesTakenOverInput) {
    const ParseCase &pc = GetParam();
    csv_table t{};
    csv_parse_opts opts{};
    opts.delimiter = pc.delimiter;
    char *owned = static_cast<char *>(csv_malloc(pc.input.size() > 0 ? pc.input.size() : 1));
    ASSERT_NE(owned, nullptr);
    if (!pc.input.empty()) memcpy(owned, pc.input.data(), pc.input.size());
    ASSERT_EQ(csv_table_parse_owned(&t, owned, pc.input.size(), pc.has_header ? 1 : 0, &opts), 0)
        << csv_last_error();
    expect_case(t, pc);
    csv_table_free(&t);
}

INSTANTIATE_TEST_SUITE_P(Dialect, ParseCases, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ParseCase> &info) {
                             return std::string(info.param.name);
                         });

// ---- further parser behaviour ----------------------------------------------

TEST(Parse, NullTableFailsWithoutMessage) {
    csv_clear_error();
    EXPECT_EQ(csv_table_parse_ex(nullptr, "a", 1, 1, nullptr), -1);
    EXPECT_EQ(csv_table_parse(nullptr, "a", 1, 1), -1);
    EXPECT_STREQ(csv_last_error(), "");
}

TEST(Parse, EmptyInputCreatesNoBlob) {
    csv_table t{};
    ASSERT_EQ(csv_table_parse(&t, "", 0, 1), 0);
    EXPECT_EQ(t.in_use, 1u);
    EXPECT_EQ(t.blob, nullptr);
    EXPECT_EQ(t.blob_len, 0u);
    EXPECT_EQ(t.blob_cap, 0u);
    t.in_use = 0;
    EXPECT_TRUE(vtest::all_zero(t));
}

TEST(Parse, BomAloneHasBlobButNoColumns) {
    csv_table t{};
    ASSERT_EQ(csv_table_parse(&t, "\xEF\xBB\xBF", 3, 0), 0);
    EXPECT_EQ(t.in_use, 1u);
    ASSERT_NE(t.blob, nullptr);
    EXPECT_EQ(t.blob_len, 1u);
    EXPECT_EQ(t.blob_cap, 4096u);
    EXPECT_EQ(t.n_cols, 0);
    EXPECT_EQ(t.n_rows, 0);
    csv_table_free(&t);
}

TEST(Parse, WithoutOptionsUsesComma) {
    csv_table t{};
    const std::string in = "a;b,c\n1;2,3\n";
    ASSERT_EQ(csv_table_parse(&t, in.data(), in.size(), 1), 0);
    EXPECT_EQ(vtest::headers(t), (Names{"a;b", "c"}));
    EXPECT_EQ(vtest::rows(t), (Rows{{"1;2", "3"}}));
    csv_table_free(&t);
}

TEST(Parse, ReadsOnlyLenBytes) {
    const char buf[] = "a,b\n1,2\nNOT,READ";
    csv_table t{};
    ASSERT_EQ(csv_table_parse(&t, buf, 8, 1), 0);
    EXPECT_EQ(vtest::rows(t), (Rows{{"1", "2"}}));
    csv_table_free(&t);
}

TEST(Parse, FirstTextsFollowTheLeadingNul) {
    vtest::Table t("ab,c\n", false);
    EXPECT_EQ(t->blob[0], '\0');
    EXPECT_EQ(csv_cell_at(t.get(), 0, 0)->offset, 1u);
    EXPECT_EQ(csv_cell_at(t.get(), 0, 1)->offset, 4u);
}

// Short fields stored while the first blob is nearly full: every amount of
// room left from 0 to 24 bytes.
TEST(Parse, ShortFieldsAtTheEdgeOfTheBlob) {
    for (int first = 4070; first <= 4094; ++first) {
        const std::string in = std::string(first, 'x') + ",ab,cdefghijklmnopqrstuvwxyz0123\nq";
        const std::vector<char> bytes = exact_copy(in);
        csv_table t{};
        ASSERT_EQ(csv_table_parse(&t, bytes.data(), bytes.size(), 0), 0);
        expect_consistent(t);
        EXPECT_EQ(vtest::rows(t), (Rows{{std::string(first, 'x'), "ab", "cdefghijklmnopqrstuvwxyz0123"},
                                        {"q", "", ""}}))
            << first;
        csv_table_free(&t);
    }
}

TEST(Parse, SeventeenFieldsGrowTheFieldBuffer) {
    std::string head, row;
    for (int i = 0; i < 17; ++i) {
        head += (i ? "," : "") + std::string("h") + std::to_string(i);
        row += (i ? "," : "") + std::to_string(i * 7);
    }
    vtest::Table t(head + "\n" + row + "\n" + row, true);
    expect_consistent(t.t);
    ASSERT_EQ(t->n_cols, 17);
    ASSERT_EQ(t->n_rows, 2);
    EXPECT_EQ(vtest::header(t.t, 16), "h16");
    EXPECT_EQ(vtest::cell(t.t, 1, 16), "112");
    EXPECT_EQ(t->ragged, 0);
}

TEST(Parse, SamplesKeepTheFirstTwentyButCountersGoOn) {
    std::string in = "a,b\n";
    for (int i = 0; i < 25; ++i) in += "1\n";
    for (int i = 0; i < 3; ++i) in += "\n";  // blank lines after the samples are full
    in += "1,\"open";
    vtest::Table t(in, true);
    EXPECT_EQ(t->ragged, 25);
    EXPECT_EQ(t->blank, 3);
    EXPECT_EQ(t->n_samples, 20);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(samples(t.t)[i], (Sample{1, i + 2, 2, 1})) << i;
    }
    EXPECT_EQ(t->unterminated_quote, 1);
    EXPECT_EQ(t->unterminated_row, 30);
    EXPECT_EQ(t->n_rows, 29);
    EXPECT_EQ(vtest::cell(t.t, 28, 1), "open");
}

TEST(Parse, LongDoubledQuoteFieldsAssembleWhole) {
    std::string text;
    std::string quoted = "\"";
    for (int i = 0; i < 300; ++i) {
        std::string piece(i % 37, static_cast<char>('a' + i % 26));
        text += piece + "\"";
        quoted += piece + "\"\"";
    }
    quoted += "tail\"";
    text += "tail";
    vtest::Table t("h1,h2\n" + quoted + ",next\n" + quoted + "\n", true);
    expect_consistent(t.t);
    EXPECT_EQ(vtest::rows(t.t), (Rows{{text, "next"}, {text, ""}}));
    EXPECT_EQ(t->ragged, 1);
}

TEST(Parse, LargeTableGrowsTheBlobAndKeepsEveryCell) {
    std::string in = "id,name,value\n";
    for (int i = 0; i < 20000; ++i)
        in += std::to_string(i) + ",\"n" + std::to_string(i) + ",x\"\"\"," +
              std::string(i % 23, 'v') + "\n";
    vtest::Table t(in, true);
    expect_consistent(t.t);
    ASSERT_EQ(t->n_rows, 20000);
    EXPECT_EQ(t->row_cap, 32768);
    EXPECT_EQ(vtest::cell(t.t, 12345, 0), "12345");
    EXPECT_EQ(vtest::cell(t.t, 12345, 1), "n12345,x\"");
    EXPECT_EQ(vtest::cell(t.t, 12345, 2), std::string(12345 % 23, 'v'));
    uint64_t cap = 4096;
    while (cap < t->blob_len) cap *= 2;
    EXPECT_EQ(t->blob_cap, cap);
}

// ---- body layouts: memory follows the input ----------------------------------

// Inputs whose rows differ in width, the shapes that made a rectangular
// body cost many times the input.
// `small` asks for a smaller one of the same shape.
struct ShapeCase {
    const char *name;
    std::string (*make)(bool small);
};

// A header of `cols` columns and `rows` rows of one field; 10,000 of each
// make the 79 KB file that took 774 MB as a rectangle.
std::string wide_header_short_rows(int cols = 10000, int rows = 10000) {
    std::string in;
    for (int c = 0; c < cols; ++c) in += (c ? ",c" : "c") + std::to_string(c);
    in += "\n";
    for (int r = 0; r < rows; ++r) in += "1\n";
    return in;
}

// Narrow rows with one very wide row among them.
std::string one_wide_row(int rows, int width) {
    std::string in = "a,b\n";
    for (int r = 0; r < rows; ++r) {
        in += std::to_string(r) + ",x\n";
        if (r == 100) in += std::string(width, ',') + "wide\n";
    }
    return in;
}

// Record i holds i fields.
std::string staircase_of(int records) {
    std::string in;
    for (int i = 1; i <= records; ++i) in += std::string(i - 1, ',') + "v\n";
    return in;
}

// Short and wide records taking turns, with blank lines.
std::string alternating(bool small) {
    std::string in = "h\n";
    for (int r = 0; r < (small ? 300 : 3000); ++r)
        in += r % 3 == 0 ? std::string(300, ',') + "\n" : r % 3 == 1 ? "\n" : "s\n";
    return in;
}

// The common file: every record as wide as the header.
std::string rectangular(bool small) {
    std::string in = "a,b,c,d\n";
    for (int r = 0; r < (small ? 3000 : 30000); ++r) in += r % 7 ? ",,,\n" : "v,1,s,\n";
    return in;
}

const ShapeCase k_shapes[] = {
    {"wide_header_short_rows",
     [](bool small) { return small ? wide_header_short_rows(700, 300) : wide_header_short_rows(); }},
    {"one_wide_row", [](bool small) { return small ? one_wide_row(400, 800) : one_wide_row(20000, 20000); }},
    {"staircase", [](bool small) { return staircase_of(small ? 120 : 1500); }},
    {"alternating", alternating},
    {"rectangular", rectangular},
};

class BodyLayout : public ::testing::TestWithParam<ShapeCase> {
protected:
    void TearDown() override { csv_parse_body_layout(CSV_BODY_AUTO); }
};

// Whatever the shape of the rows, the table holds at most 16 bytes of
// cells per input byte and a constant, counted through the heap seam.
TEST_P(BodyLayout, MemoryFollowsTheInput) {
    void *probe = csv_malloc(1);
    const bool sized = csv_platform_block_size(probe) != 0;
    csv_free(probe);
    if (!sized) GTEST_SKIP() << "the heap does not tell block sizes here";
    const std::string in = GetParam().make(false);
    char *owned = static_cast<char *>(csv_malloc(in.size() + 1 + CSV_OWNED_SPARE));
    ASSERT_NE(owned, nullptr);
    memcpy(owned, in.data(), in.size());
    csv_table t{};
    csv_alloc_track(1);
    ASSERT_EQ(csv_table_parse_owned(&t, owned, in.size(), 1, nullptr), 0);
    const int64_t peak = csv_alloc_track(0);
    EXPECT_LE(peak, 16 * static_cast<int64_t>(in.size()) + (int64_t{256} << 10))
        << in.size() << " input bytes, " << t.n_rows << " rows, " << t.n_cols << " columns";
    csv_table_free(&t);
}

// Every answer is the same in both layouts: rows, headers, a selection,
// searches and sorts on every column, statistics, warnings and the CSV text.
std::vector<std::string> answers(const std::string &in) {
    vtest::Table t(in, true);
    std::vector<std::string> out;
    auto put = [&](const char *json) { out.push_back(json != nullptr ? json : csv_last_error()); };
    put(csv_emit_headers(t.get()));
    put(csv_emit_rows(t.get(), nullptr, t->n_rows, nullptr, 0, 0, -1));
    std::vector<int32_t> all;
    for (int32_t c = 0; c < t->n_cols; ++c) all.push_back(c);
    put(csv_emit_rows(t.get(), nullptr, t->n_rows, all.data(), t->n_cols, 0, -1));
    const int32_t picked[] = {t->n_cols - 1, 0, t->n_cols / 2};
    put(csv_emit_rows(t.get(), nullptr, t->n_rows, picked, 3, 1, 50));
    for (int32_t c = 0; c < t->n_cols && c < 40; ++c) {
        for (const char *q : {"", "v", "1", "s"}) {
            int64_t *rows = nullptr;
            int64_t n = 0;
            EXPECT_EQ(csv_search_rows(t.get(), c, q, 1, &rows, &n), 0);
            out.push_back(std::to_string(c) + q + ":" + std::to_string(n));
            if (n > 0) put(csv_emit_rows(t.get(), rows, n, picked, 3, 0, 20));
            csv_free(rows);
        }
        for (int32_t desc = 0; desc <= 1; ++desc) {
            int64_t *rows = nullptr;
            int64_t n = 0;
            EXPECT_EQ(csv_sort_rows(t.get(), c, desc, &rows, &n), 0);
            std::string order;
            for (int64_t i = 0; i < n; ++i) order += std::to_string(rows[i]) + ",";
            out.push_back(order);
            csv_free(rows);
        }
        out.push_back(std::to_string(csv_col_unique(t.get(), c)));
    }
    if (t->n_cols <= 400) put(csv_emit_stats(t.get()));
    put(csv_emit_warnings(t.get()));
    FILE *f = tmpfile();
    EXPECT_NE(f, nullptr);
    if (f != nullptr) {
        EXPECT_EQ(csv_emit_csv_fp(t.get(), f), 0);
        std::string text;
        rewind(f);
        char buf[65536];
        size_t got;
        while ((got = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
        fclose(f);
        out.push_back(text);
    }
    return out;
}

TEST_P(BodyLayout, AnswersAreTheSameInBothLayouts) {
    std::string in = GetParam().make(true);
    in = "x1,x2,x3\nb,\"q,1\"\n" + in + "\n1,v2\n\"open";
    csv_parse_body_layout(CSV_BODY_RECTANGULAR);
    const std::vector<std::string> rect = answers(in);
    csv_parse_body_layout(CSV_BODY_RAGGED);
    const std::vector<std::string> ragged = answers(in);
    ASSERT_EQ(rect.size(), ragged.size());
    for (size_t i = 0; i < rect.size(); ++i) EXPECT_EQ(rect[i], ragged[i]) << "answer " << i;
}

INSTANTIATE_TEST_SUITE_P(Table, BodyLayout, ::testing::ValuesIn(k_shapes),
                         [](const auto &info) { return std::string(info.param.name); });

// The input shape turns the body ragged early, with the same
// cells as a rectangular body of it, and empty cells past each row's own.
TEST(BodyLayoutRagged, ShortRowsUnderAWideHeaderReadAsFilled) {
    const std::string in = wide_header_short_rows();
    vtest::Table t(in, true);
    ASSERT_EQ(t->n_cols, 10000);
    ASSERT_EQ(t->n_rows, 10000);
    ASSERT_NE(t->row_start, nullptr) << "a body of mostly filler is ragged";
    EXPECT_EQ(vtest::cell(t.t, 9999, 0), "1");
    EXPECT_EQ(csv_cell_at(t.get(), 9999, 1), &csv_empty_str);
    EXPECT_EQ(csv_cell_at(t.get(), 5000, 9999), &csv_empty_str);
    EXPECT_EQ(vtest::header(t.t, 9999), "c9999");
    EXPECT_EQ(t->ragged, 10000);
}

// A ragged body keeps working while the table widens and after: rows
// written before and after the switch, generated names included.
TEST(BodyLayoutRagged, WideningAfterTheSwitchKeepsEveryCell) {
    std::string in = std::string(999, ',') + "\n";
    for (int r = 0; r < 50; ++r) in += "a" + std::to_string(r) + "\n";
    in += std::string(1200, ',') + "last\n";
    for (int r = 0; r < 50; ++r) in += "b" + std::to_string(r) + ",x\n";
    csv_table t{};
    ASSERT_EQ(csv_table_parse(&t, in.data(), in.size(), 0), 0);
    expect_consistent(t);
    ASSERT_NE(t.row_start, nullptr);
    ASSERT_EQ(t.n_cols, 1201);
    ASSERT_EQ(t.n_rows, 102);
    EXPECT_EQ(vtest::header(t, 1200), "1201");
    EXPECT_EQ(vtest::cell(t, 1, 0), "a0");
    EXPECT_EQ(vtest::cell(t, 1, 1), "");
    EXPECT_EQ(vtest::cell(t, 51, 1200), "last");
    EXPECT_EQ(vtest::cell(t, 101, 1), "x");
    EXPECT_EQ(vtest::cell(t, 101, 2), "");
    csv_table_free(&t);
}

// Every allocation of a parse that turns ragged on the way fails cleanly.
TEST(BodyLayoutRagged, EveryAllocationFailureIsClean) {
    std::string in = std::string(700, ',') + "\n";
    for (int r = 0; r < 40; ++r) in += "s" + std::to_string(r) + "\n";
    in += std::string(900, ',') + "w\n";
    for (int64_t n = 0;; ++n) {
        csv_table t{};
        csv_alloc_fail_after(n);
        const int rc = csv_table_parse(&t, in.data(), in.size(), 1);
        csv_alloc_fail_after(-1);
        if (rc == 0) {
            EXPECT_NE(t.row_start, nullptr);
            EXPECT_EQ(t.n_rows, 41);
            csv_table_free(&t);
            break;
        }
        EXPECT_STREQ(csv_last_error(), n == 0 ? "out of memory" : "out of memory while parsing CSV");
        EXPECT_TRUE(vtest::all_zero(t)) << "allocation " << n;
        ASSERT_LT(n, 200);
    }
}

// ---- memory backed in bulk -------------------------------------------------

// Population only backs pages with memory: the bytes stay, with or without
// the system's support, and a refusal is a plain false.
TEST(Populate, KeepsTheBytesAndFallsBackCleanly) {
    const size_t n = size_t{8} << 20;
    char *block = static_cast<char *>(csv_malloc(n));
    ASSERT_NE(block, nullptr);
    for (size_t i = 0; i < n; i += 4096) block[i] = static_cast<char>(i >> 12);
    (void)csv_platform_populate(block, n);  // true on Linux 5.14 and later
    csv_platform_populate_unsupported(1);
    EXPECT_FALSE(csv_platform_populate(block, n));
    csv_platform_populate_unsupported(0);
    EXPECT_FALSE(csv_platform_populate(nullptr, n));
    EXPECT_FALSE(csv_platform_populate(block + 1, 100)) << "no whole page inside";
    size_t wrong = 0;
    for (size_t i = 0; i < n; i += 4096) wrong += block[i] != static_cast<char>(i >> 12);
    EXPECT_EQ(wrong, 0u);
    csv_free(block);
}

// ---- pages prepared ahead of their writer -----------------------------------

struct FeedCase {
    const char *name;
    bool helper;
    bool populate;
};

class PageFeedThread : public ::testing::TestWithParam<FeedCase> {
protected:
    void SetUp() override {
        csv_page_feed_no_helper(GetParam().helper ? 0 : 1);
        csv_platform_populate_unsupported(GetParam().populate ? 0 : 1);
    }
    void TearDown() override {
        csv_page_feed_no_helper(0);
        csv_platform_populate_unsupported(0);
    }
};

uint8_t pattern_at(uint64_t offset) { return static_cast<uint8_t>((offset * 131) ^ (offset >> 13)); }

struct FillLog {
    std::atomic<uint64_t> bytes{0};
};

void fill_pattern(void *ctx, char *dst, uint64_t offset, uint64_t len) {
    for (uint64_t i = 0; i < len; ++i) dst[i] = static_cast<char>(pattern_at(offset + i));
    static_cast<FillLog *>(ctx)->bytes += len;
}

// Every byte is filled exactly once and is in place by the time reach()
// returns, whichever thread filled it, from an unaligned start, in uneven
// steps; the helper never fills past the block.
TEST_P(PageFeedThread, FillsEveryByteOnceBeforeTheWriterGetsThere) {
    const uint64_t n = (uint64_t{21} << 20) + 12345;
    char *block = static_cast<char *>(csv_malloc(n + 3));
    ASSERT_NE(block, nullptr);
    char *p = block + 3;
    FillLog log;
    {
        csv_page_feed feed;
        feed.start(p, n, fill_pattern, &log);
        uint64_t upto = 0, wrong = 0;
        while (upto < n) {
            const uint64_t next = std::min(n, upto + (uint64_t{3} << 20) / 2 + 777);
            feed.reach(next, n);
            ASSERT_GE(feed.ready(), next);
            for (uint64_t i = upto; i < next; ++i) wrong += static_cast<uint8_t>(p[i]) != pattern_at(i);
            upto = next;
        }
        EXPECT_EQ(wrong, 0u);
    }
    EXPECT_EQ(log.bytes.load(), n);
    csv_free(block);
}

// A feed stopped early (a failed or cancelled load) ends at once and
// fills nothing more; a small block is not fed at all.
TEST_P(PageFeedThread, StopsEarlyAndLeavesSmallBlocksAlone) {
    const uint64_t n = uint64_t{40} << 20;
    char *block = static_cast<char *>(csv_malloc(n));
    ASSERT_NE(block, nullptr);
    FillLog log;
    csv_page_feed feed;
    feed.start(block, n, fill_pattern, &log);
    feed.reach(1, n / 8);
    feed.stop();
    const uint64_t filled = log.bytes.load();
    EXPECT_GE(filled, 1u);
    EXPECT_LT(filled, n) << "the helper keeps near what the writer expects";
    EXPECT_EQ(feed.ready(), UINT64_MAX);
    feed.start(block, uint64_t{1} << 20, fill_pattern, &log);
    EXPECT_EQ(feed.ready(), UINT64_MAX);
    feed.reach(uint64_t{1} << 20, uint64_t{1} << 20);
    EXPECT_EQ(log.bytes.load(), filled);
    csv_free(block);
}

// A writer that said where it expects to end (ahead(), an estimate) gets
// nothing prepared much past it, though it asks with the block's end as
// its limit; asked for more (the estimate was short), it still gets it.
TEST_P(PageFeedThread, AheadIsWhereTheHelperStops) {
    const uint64_t n = uint64_t{40} << 20, expected = (uint64_t{10} << 20) + 5;
    char *block = static_cast<char *>(csv_malloc(n));
    ASSERT_NE(block, nullptr);
    FillLog log;
    csv_page_feed feed;
    feed.start(block, n, fill_pattern, &log);
    feed.ahead(expected);
    for (uint64_t upto = 4096; upto < expected; upto += uint64_t{1} << 19) feed.reach(upto, n);
    feed.reach(expected, n);
    feed.settle_for_tests();
    EXPECT_GE(log.bytes.load(), expected);
    EXPECT_LE(log.bytes.load(), expected + (uint64_t{2} << 20)) << "at most the chunk that holds the end";
    const uint64_t more = expected + (uint64_t{5} << 20);
    feed.reach(more, n);
    ASSERT_GE(feed.ready(), more);
    uint64_t wrong = 0;
    for (uint64_t i = 0; i < more; i += 4093) wrong += static_cast<uint8_t>(block[i]) != pattern_at(i);
    EXPECT_EQ(wrong, 0u);
    feed.stop();
    csv_free(block);
}

// A fed block hands out only room that is ready (filled, here), at the
// place asked, never past its end; moving it stops its feed first, and the
// block as it is after is all ready at once.
TEST_P(PageFeedThread, FedBlockHandsOutReadyRoomAndStopsBeforeItMoves) {
    const uint64_t n = (uint64_t{21} << 20) + 12345;
    char *block = static_cast<char *>(csv_malloc(n + 3));
    ASSERT_NE(block, nullptr);
    FillLog log;
    {
        csv_fed_block fed;
        fed.start(block + 3, n, fill_pattern, &log);
        uint64_t upto = 0, wrong = 0;
        while (upto < n) {
            const uint64_t step = std::min(n - upto, uint64_t{1} << 20);
            const csv_block room = fed.room(upto, step, n);
            ASSERT_EQ(room.at, block + 3 + upto);
            ASSERT_GE(room.len, step);
            ASSERT_LE(room.len, n - upto);
            ASSERT_GE(fed.ready(), upto + room.len);
            for (uint64_t i = 0; i < room.len; ++i)
                wrong += static_cast<uint8_t>(room.at[i]) != pattern_at(upto + i);
            upto += room.len;
        }
        EXPECT_EQ(wrong, 0u);
        const uint64_t more = 4096;
        const int rc = fed.move([&] {
            EXPECT_EQ(fed.ready(), UINT64_MAX) << "stopped before the block moves";
            char *grown = static_cast<char *>(csv_realloc(block, n + 3 + more));
            if (grown == nullptr) return -1;
            block = grown;
            fed.hold(block + 3, n + more);
            return 0;
        });
        ASSERT_EQ(rc, 0);
        const csv_block tail = fed.room(n, more, n + more);
        EXPECT_EQ(tail.at, block + 3 + n);
        EXPECT_EQ(tail.len, more);
        memset(tail.at, 'x', tail.len);
    }
    EXPECT_EQ(log.bytes.load(), n);
    csv_free(block);
}

// Input taken over in a block with the spare room is parsed where it is,
// also when its first text must move, and gives the same table as the
// copying parse: rows that widen the table and short rows included, so
// that the cell array is re-laid out and grows under its feed.
TEST_P(PageFeedThread, LargeInputParsesInPlaceAsTheCopyingParseDoes) {
    std::string in = "id,name,value\n";
    for (int i = 0; in.size() < (size_t{12} << 20); ++i) {
        in += std::to_string(i) + ",\"n" + std::to_string(i % 97) + "\"," + std::to_string(i * 7);
        if (i == 150000) in += ",wider,still";
        if (i % 50000 == 7) in += "\nshort";
        in += "\n";
    }
    csv_table copied{};
    ASSERT_EQ(csv_table_parse_ex(&copied, in.data(), in.size(), 1, nullptr), 0);
    const uint64_t len = in.size();
    char *owned = static_cast<char *>(csv_malloc(len + 1 + CSV_OWNED_SPARE));
    ASSERT_NE(owned, nullptr);
    memcpy(owned, in.data(), len);
    owned[len] = '\0';
    csv_table t{};
    ASSERT_EQ(csv_table_parse_owned(&t, owned, len, 1, nullptr), 0);
    EXPECT_EQ(t.blob, owned) << "the block stays where it is";
    ASSERT_EQ(t.n_rows, copied.n_rows);
    ASSERT_EQ(t.n_cols, 5);
    ASSERT_EQ(copied.n_cols, 5);
    EXPECT_EQ(t.ragged, copied.ragged);
    int64_t differ = 0;
    for (int32_t c = 0; c < t.n_cols; ++c)
        differ += strcmp(csv_cell_text(&t, &t.headers[c]), csv_cell_text(&copied, &copied.headers[c])) != 0;
    for (int64_t r = 0; r < t.n_rows; ++r)
        for (int32_t c = 0; c < t.n_cols; ++c)
            differ += strcmp(csv_cell_text(&t, csv_cell_at(&t, r, c)),
                             csv_cell_text(&copied, csv_cell_at(&copied, r, c))) != 0;
    EXPECT_EQ(differ, 0);
    // Row 150,000 of the loop, after the three short rows before it.
    EXPECT_STREQ(csv_cell_text(&t, csv_cell_at(&t, 150003, 4)), "still");
    csv_table_free(&t);
    csv_table_free(&copied);
}

// Input parsed in place gets the texts a parse adds (the first record's
// first text, moved off offset 0, and generated names) at the end, in the
// loader's spare room or by growing the block by exactly what they take:
// a long first text or many columns never double the whole input.
TEST(ParseOwnedTexts, GrowTheBlockByWhatTheyTake) {
    struct Case {
        const char *name;
        std::string first;  // the first record
        bool has_header;
        std::string header0, header29;
        std::string cell00;
    };
    std::string cols30, nums30;
    for (int c = 0; c < 30; ++c) cols30 += (c ? ",h" : "h") + std::to_string(c);
    const std::string long_field(100, 'L');
    const Case cases[] = {
        {"header_of_30_columns", cols30, true, "h0", "h29", "1"},
        {"first_field_of_100_bytes", long_field + ",b", true, long_field, "", "1"},
        {"30_columns_no_header", cols30, false, "1", "30", "h0"},
        {"long_first_field_no_header", long_field, false, "1", "", long_field},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string in = c.first + "\n";
        while (in.size() < (size_t{1} << 20)) in += "1,2\n";
        const uint64_t len = in.size();
        char *owned = static_cast<char *>(csv_malloc(len + 1 + CSV_OWNED_SPARE));
        ASSERT_NE(owned, nullptr);
        memcpy(owned, in.data(), len);
        owned[len] = '\0';
        csv_table t{};
        ASSERT_EQ(csv_table_parse_owned(&t, owned, len, c.has_header, nullptr), 0);
        expect_consistent(t);
        EXPECT_LE(t.blob_cap, std::max<uint64_t>(len + 1 + CSV_OWNED_SPARE, t.blob_len))
            << "the block grew past what the texts take";
        EXPECT_EQ(vtest::header(t, 0), c.header0);
        if (t.n_cols >= 30) EXPECT_EQ(vtest::header(t, 29), c.header29);
        EXPECT_EQ(vtest::cell(t, 0, 0), c.cell00);
        EXPECT_EQ(vtest::cell(t, t.n_rows - 1, 1), "2");
        csv_table_free(&t);
    }
}

// The cell array's feed (and its helper thread) starts again only when
// the array moves: records that widen the table within the rows' room
// leave it running, and a staircase, whose body turns ragged, starts it a
// few times at most, where it once started a thread per record.
TEST(PageFeedThreadStarts, OnlyWhenTheCellsMove) {
    std::string plain;
    const std::string row = "0,1,2,3,4,5,6,7,8,9\n";
    while (plain.size() < (size_t{9} << 20)) plain += row;
    // Six widening records in a row, 11 to 16 fields: the stride grows
    // twice (exactly to 11, then by half to 16), the other four fit.
    std::string widened = plain.substr(0, plain.size() / 2);
    for (int w = 11; w <= 16; ++w) widened += std::string(w - 1, ',') + "w\n";
    widened += plain.substr(plain.size() / 2 + 6 * row.size());
    auto starts_of = [](const std::string &in, int32_t *cols) {
        csv_table t{};
        csv_page_feeds_started();
        EXPECT_EQ(csv_table_parse(&t, in.data(), in.size(), 1), 0);
        const int64_t n = csv_page_feeds_started();
        *cols = t.n_cols;
        csv_table_free(&t);
        return n;
    };
    int32_t cols = 0;
    const int64_t base = starts_of(plain, &cols);
    EXPECT_EQ(cols, 10);
    EXPECT_GE(base, 1);
    EXPECT_LE(starts_of(widened, &cols), base + 2) << "a restart for a widening that moved nothing";
    EXPECT_EQ(cols, 16);

    std::string stair;
    for (int i = 1; stair.size() < (size_t{9} << 20); ++i) stair += std::string(i - 1, ',') + "v\n";
    EXPECT_LE(starts_of(stair, &cols), 3);
    EXPECT_GT(cols, 4000);
}

INSTANTIATE_TEST_SUITE_P(Table, PageFeedThread,
                         ::testing::Values(FeedCase{"helper", true, true},
                                           FeedCase{"no_helper", false, true},
                                           FeedCase{"no_populate", true, false}),
                         [](const auto &info) { return std::string(info.param.name); });

// A large block that already has room is kept where it is by realloc:
// moving it would make each of its pages fault in again.
TEST(LargeRealloc, KeepsABlockThatHasRoom) {
    const size_t n = size_t{16} << 20;
    char *block = static_cast<char *>(csv_malloc(n));
    ASSERT_NE(block, nullptr);
    block[n - 1] = 'x';
    EXPECT_EQ(csv_realloc(block, n - 100), block);
    char *grown = static_cast<char *>(csv_realloc(block, 2 * n));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(grown[n - 1], 'x');
    csv_free(grown);
}

// ---- progress and cancelling -----------------------------------------------

struct Call {
    uint64_t done;
    int64_t total;
    int64_t rows;
    bool operator==(const Call &o) const {
        return done == o.done && total == o.total && rows == o.rows;
    }
};

std::ostream &operator<<(std::ostream &os, const Call &c) {
    return os << "(" << c.done << ", " << c.total << ", " << c.rows << ")";
}

struct Recorder {
    std::vector<Call> calls;
    int cancel_at = -1;  // index of the call that returns non-zero
    void *seen_user_data = nullptr;
};

int record_progress(uint64_t done, int64_t total, int64_t rows, void *ud) {
    Recorder *r = static_cast<Recorder *>(ud);
    r->seen_user_data = ud;
    r->calls.push_back({done, total, rows});
    return static_cast<int>(r->calls.size()) - 1 == r->cancel_at ? 1 : 0;
}

int parse_with(csv_table *t, const std::string &in, int has_header, Recorder *r,
               int64_t total_len = 0) {
    csv_parse_opts opts{};
    opts.progress = record_progress;
    opts.user_data = r;
    opts.total_len = total_len;
    return csv_table_parse_ex(t, in.data(), in.size(), has_header, &opts);
}

TEST(Progress, SmallInputGetsOnlyTheFinalCall) {
    const std::string in = "a,b\n1,2\n3,4\n";
    struct Totals {
        int64_t given;
        int64_t reported;
    };
    for (Totals tt : {Totals{1000, 1000}, Totals{0, 12}, Totals{-5, 12}}) {
        Recorder r;
        csv_table t{};
        ASSERT_EQ(parse_with(&t, in, 1, &r, tt.given), 0);
        EXPECT_EQ(r.calls, (std::vector<Call>{{12, tt.reported, 2}})) << tt.given;
        EXPECT_EQ(r.seen_user_data, &r);
        csv_table_free(&t);
    }
}

TEST(Progress, CancelAtFinalCallLeavesRecordZero) {
    Recorder r;
    r.cancel_at = 0;
    csv_table t{};
    EXPECT_EQ(parse_with(&t, "a,b\n1,2\n", 1, &r), -1);
    EXPECT_STREQ(csv_last_error(), "cancelled by progress callback");
    EXPECT_TRUE(vtest::all_zero(t));
    EXPECT_EQ(r.calls.size(), 1u);
}

TEST(Progress, EmptyInputReportsZeroDone) {
    for (int64_t given : {int64_t{0}, int64_t{77}, int64_t{-1}}) {
        Recorder r;
        csv_table t{};
        ASSERT_EQ(parse_with(&t, "", 1, &r, given), 0);
        EXPECT_EQ(r.calls, (std::vector<Call>{{0, given > 0 ? given : 0, 0}}));
        EXPECT_EQ(t.in_use, 1u);
    }
    Recorder r;
    r.cancel_at = 0;
    csv_table t{};
    EXPECT_EQ(parse_with(&t, "", 1, &r), -1);
    EXPECT_STREQ(csv_last_error(), "cancelled by progress callback");
    EXPECT_TRUE(vtest::all_zero(t));
}

TEST(Progress, BomAloneReportsItsBytes) {
    Recorder r;
    csv_table t{};
    ASSERT_EQ(parse_with(&t, "\xEF\xBB\xBF", 1, &r), 0);
    EXPECT_EQ(r.calls, (std::vector<Call>{{3, 3, 0}}));
    csv_table_free(&t);
}

TEST(Progress, MillionRowsGetAMidParseCall) {
    const std::string in = lines("1\n", 1000001) + "last";
    Recorder r;
    csv_table t{};
    ASSERT_EQ(parse_with(&t, in, 0, &r), 0);
    const int64_t total = static_cast<int64_t>(in.size());
    EXPECT_EQ(r.calls, (std::vector<Call>{{2000000, total, 1000000}, {in.size(), total, 1000002}}));
    EXPECT_EQ(t.n_rows, 1000002);
    csv_table_free(&t);
}

TEST(Progress, RowsAreCountedFromTheLastReport) {
    // With a header the header record adds no row: the first report comes one
    // record later than without it.
    const std::string in = lines("1\n", 2000003);
    Recorder r;
    csv_table t{};
    ASSERT_EQ(parse_with(&t, in, 1, &r), 0);
    const int64_t total = static_cast<int64_t>(in.size());
    EXPECT_EQ(r.calls, (std::vector<Call>{{2000002, total, 1000000},
                                          {4000002, total, 2000000},
                                          {in.size(), total, 2000002}}));
    csv_table_free(&t);
}

TEST(Progress, CancelAtMidParseCallLeavesRecordZero) {
    const std::string in = lines("1,2\n", 1200000);
    Recorder r;
    r.cancel_at = 0;
    csv_table t{};
    EXPECT_EQ(parse_with(&t, in, 0, &r), -1);
    EXPECT_STREQ(csv_last_error(), "cancelled by progress callback");
    EXPECT_TRUE(vtest::all_zero(t));
    EXPECT_EQ(r.calls, (std::vector<Call>{{4000000, static_cast<int64_t>(in.size()), 1000000}}));
}

TEST(Progress, SixtyFourMiBOfInputGetAMidParseCall) {
    // The first line ends exactly 64 MiB - 1 bytes in: not yet more than that.
    std::string in(0x3FFFFFE, 'x');
    in += "\ny\nz";
    Recorder r;
    csv_table t{};
    ASSERT_EQ(parse_with(&t, in, 0, &r), 0);
    const int64_t total = static_cast<int64_t>(in.size());
    EXPECT_EQ(r.calls, (std::vector<Call>{{0x4000001, total, 2}, {in.size(), total, 3}}));
    EXPECT_EQ(t.blob_cap, 128u << 20);
    csv_table_free(&t);
}

TEST(Progress, NoCallbackNoCalls) {
    csv_parse_opts opts{};
    opts.user_data = reinterpret_cast<void *>(1);
    csv_table t{};
    const std::string in = lines("1\n", 1000001);
    ASSERT_EQ(csv_table_parse_ex(&t, in.data(), in.size(), 0, &opts), 0);
    EXPECT_EQ(t.n_rows, 1000001);
    csv_table_free(&t);
}

// ---- allocation failures -----------------------------------------------------

// Fails every allocation of a parse in turn: each failure must release
// everything and leave an all-zero record with the exact message.
TEST(ParseOutOfMemory, EveryAllocationFailureIsClean) {
    std::string in = "\xEF\xBB\xBFh1,h2,h3\n";
    for (int i = 0; i < 20; ++i) in += "1,\"a\"\"b\",c\n";
    in += "\n";
    in += "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18\n";  // widens an existing body
    in += "\"" + std::string(5000, 'q') + "\"\"" + std::string(6000, 'r') + "\"\"" +
          std::string(20000, 's') + "\",x\n";  // scratch doubles, then grows exactly
    in += "short\n";
    in += "1,\"unterminated";
    int64_t n = 0;
    for (;; ++n) {
        csv_table t{};
        csv_clear_error();
        csv_alloc_fail_after(n);
        int rc = csv_table_parse(&t, in.data(), in.size(), 1);
        int64_t made = csv_alloc_fail_after(-1);
        if (rc == 0) {
            EXPECT_LE(made, n);
            EXPECT_STREQ(csv_last_error(), "");
            EXPECT_EQ(t.n_cols, 18);
            EXPECT_EQ(t.n_rows, 25);
            EXPECT_EQ(t.unterminated_row, 26);
            csv_table_free(&t);
            break;
        }
        EXPECT_EQ(rc, -1);
        EXPECT_STREQ(csv_last_error(),
                     n == 0 ? "out of memory" : "out of memory while parsing CSV")
            << "allocation " << n;
        EXPECT_TRUE(vtest::all_zero(t)) << "allocation " << n;
        ASSERT_LT(n, 1000) << "the parse never succeeded";
    }
    EXPECT_GE(n, 9) << "blob, its growth, field buffer, scratch, headers and rows all allocate";
}

TEST(ParseOutOfMemory, CallbackIsNotCalledAfterFailure) {
    Recorder r;
    csv_table t{};
    csv_alloc_fail_after(1);
    int rc = parse_with(&t, "a,b\n1,2\n", 1, &r);
    csv_alloc_fail_after(-1);
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(csv_last_error(), "out of memory while parsing CSV");
    EXPECT_TRUE(r.calls.empty());
    EXPECT_TRUE(vtest::all_zero(t));
}

// ---- comparison with a byte-at-a-time model of the dialect -----------------

struct Model {
    Names headers;
    Rows rows;
    int64_t ragged = 0, blank = 0, urow = 0;
    int32_t expected = 0;
    std::vector<Sample> samples;
};

Model model_parse(const std::string &in, bool has_header, unsigned char d) {
    Model m;
    const size_t n = in.size();
    size_t pos = (n >= 3 && in.compare(0, 3, "\xEF\xBB\xBF") == 0) ? 3 : 0;
    int64_t rec = 0;
    bool first = true;
    auto sample = [&](Sample s) {
        if (m.samples.size() < 20) m.samples.push_back(s);
    };
    auto widen = [&](size_t k) {
        while (m.headers.size() < k) m.headers.push_back(std::to_string(m.headers.size() + 1));
        for (auto &r : m.rows) r.resize(m.headers.size());
    };
    auto push = [&](std::vector<std::string> f) {
        widen(f.size());
        if (m.headers.empty()) return;
        f.resize(m.headers.size());
        m.rows.push_back(f);
    };
    auto ends_field = [&](size_t p) {
        unsigned char c = static_cast<unsigned char>(in[p]);
        return c == d || c == '\r' || c == '\n';
    };
    while (pos < n) {
        std::vector<std::string> f;
        bool unterminated = false, eol = false;
        for (;;) {
            std::string text;
            if (pos < n && in[pos] == '"') {
                ++pos;
                for (;;) {
                    if (pos >= n) {
                        unterminated = true;
                        if (m.urow == 0) {
                            m.urow = rec + 1;
                            sample({3, rec + 1, m.expected, 0});
                        }
                        break;
                    }
                    if (in[pos] == '"') {
                        if (pos + 1 < n && in[pos + 1] == '"') {
                            text += '"';
                            pos += 2;
                            continue;
                        }
                        ++pos;  // what follows the closing quote is text
                        while (pos < n && !ends_field(pos)) text += in[pos++];
                        break;
                    }
                    text += in[pos++];
                }
            } else {
                while (pos < n && !ends_field(pos)) text += in[pos++];
            }
            f.push_back(text);
            if (pos == n) break;
            unsigned char c = static_cast<unsigned char>(in[pos++]);
            if (c == d) continue;
            if (c == '\r' && pos < n && in[pos] == '\n') ++pos;
            eol = true;
            break;
        }
        const bool is_blank = f.size() == 1 && f[0].empty() && eol && pos < n;
        if (is_blank) {
            ++m.blank;
            sample({2, rec + 1, m.expected, 1});
        }
        if (first) {
            widen(f.size());
            m.expected = static_cast<int32_t>(f.size());
            if (has_header) {
                for (size_t k = 0; k < f.size(); ++k) m.headers[k] = f[k];
            } else {
                push(f);
            }
        } else {
            if (!is_blank && !unterminated && f.size() != static_cast<size_t>(m.expected)) {
                ++m.ragged;
                sample({1, rec + 1, m.expected, static_cast<int32_t>(f.size())});
            }
            push(f);
        }
        if (!eol) break;
        ++rec;
        first = false;
    }
    return m;
}

TEST(ParseModel, RandomInputsMatchTheByteModel) {
    std::mt19937 rng(20240611);
    const char alphabet[] = {'a', 'b', ',', ';', '"', '\r', '\n', ' ', '\xEF', '\xBB', '\xBF'};
    const unsigned char delims[] = {',', ';', '\n', '\r', '"', 'a'};
    for (int iter = 0; iter < 20000; ++iter) {
        std::string in;
        const int pieces = static_cast<int>(rng() % 40);
        for (int i = 0; i < pieces; ++i) {
            if (rng() % 8 == 0)
                in.append(rng() % 40, static_cast<char>('k' + rng() % 3));  // runs past 16 bytes
            else
                in += alphabet[rng() % sizeof alphabet];
        }
        const bool header = rng() % 2 == 0;
        const unsigned char d = delims[rng() % sizeof delims];
        Model m = model_parse(in, header, d);
        csv_table t{};
        csv_parse_opts opts{};
        opts.delimiter = d;
        const std::vector<char> bytes = exact_copy(in);
        ASSERT_EQ(csv_table_parse_ex(&t, bytes.data(), bytes.size(), header, &opts), 0);
        SCOPED_TRACE(::testing::PrintToString(in) + " delimiter " + std::to_string(d) +
                     (header ? " header" : ""));
        expect_consistent(t);
        EXPECT_EQ(vtest::headers(t), m.headers);
        EXPECT_EQ(vtest::rows(t), m.rows);
        EXPECT_EQ(t.ragged, m.ragged);
        EXPECT_EQ(t.blank, m.blank);
        EXPECT_EQ(t.unterminated_row, m.urow);
        EXPECT_EQ(t.unterminated_quote, m.urow != 0 ? 1 : 0);
        if (!in.empty() && in != "\xEF\xBB\xBF") EXPECT_EQ(t.expected_cols, m.expected);
        EXPECT_EQ(samples(t), m.samples);
        csv_table_free(&t);
        if (::testing::Test::HasFailure()) break;
    }
}


// ---- input handed over to the parser ---------------------------------------

// Records of every shape the parser treats apart (quoted line breaks,
// doubled quotes, blank lines, ragged and wider records, CR LF), repeated
// until the input passes `bytes`, so that a large input crosses many of the
// steps in which owned input is given back, at every offset within a record.
std::string varied_input(size_t bytes) {
    std::string in = "id,text,note\r\n";
    for (int i = 0; in.size() < bytes; ++i) {
        in += std::to_string(i);
        switch (i % 7) {
            case 0: in += ",\"line one\nline two, still quoted\",x\n"; break;
            case 1: in += ",\"say \"\"hi\"\" " + std::string(i % 61, 'q') + "\",y\r\n"; break;
            case 2: in += "\n\n"; break;
            case 3: in += "," + std::string(i % 97, 'w') + "\n"; break;
            case 4: in += ",a,b,c,d\n"; break;
            case 5: in += ",\"" + std::string(i % 40, 'z') + "\"tail,\n"; break;
            default: in += ",caf\xC3\xA9,\xE2\x82\xAC\n"; break;
        }
    }
    return in + "last,\"unterminated\nto the end";
}

struct OwnedCase {
    const char *name;
    std::string input;
    bool has_header;
};
void PrintTo(const OwnedCase &c, std::ostream *os) { *os << c.name; }

class ParseOwned : public ::testing::TestWithParam<OwnedCase> {};

// The same table, warnings, row capacity and progress calls as the parse
// of a borrowed buffer, both for input parsed in place and for input
// parsed by copying (as input over 4 GiB - 1 is): giving parsed input back
// never loses a byte still to be read.
TEST_P(ParseOwned, MatchesTheBorrowingParse) {
    const OwnedCase &c = GetParam();
    Recorder rb;
    csv_parse_opts ob{};
    ob.progress = record_progress;
    ob.user_data = &rb;
    csv_table tb{};
    const std::vector<char> bytes = exact_copy(c.input);
    ASSERT_EQ(csv_table_parse_ex(&tb, bytes.data(), bytes.size(), c.has_header, &ob), 0);

    for (const bool in_place : {true, false}) {
        SCOPED_TRACE(in_place ? "in place" : "copying");
        Recorder ro;
        csv_parse_opts oo{};
        oo.progress = record_progress;
        oo.user_data = &ro;
        csv_table to{};
        char *owned = static_cast<char *>(csv_malloc(c.input.size() + 1));
        ASSERT_NE(owned, nullptr);
        memcpy(owned, c.input.data(), c.input.size());
        csv_parse_copy_owned_from(in_place ? 0 : 1);
        const int rc = csv_table_parse_owned(&to, owned, c.input.size(), c.has_header, &oo);
        csv_parse_copy_owned_from(0);
        ASSERT_EQ(rc, 0) << csv_last_error();

        expect_consistent(to);
        EXPECT_EQ(vtest::headers(to), vtest::headers(tb));
        EXPECT_EQ(vtest::rows(to), vtest::rows(tb));
        if (in_place) {
            // The input became the blob: all of it, a spare byte and what was added.
            if (!c.input.empty()) EXPECT_GE(to.blob_len, c.input.size() + 1);
        } else {
            EXPECT_EQ(to.blob_len, tb.blob_len);
            EXPECT_EQ(to.blob_cap, tb.blob_cap);
        }
        EXPECT_EQ(to.row_cap, tb.row_cap);
        EXPECT_EQ(to.ragged, tb.ragged);
        EXPECT_EQ(to.blank, tb.blank);
        EXPECT_EQ(to.unterminated_row, tb.unterminated_row);
        EXPECT_EQ(samples(to), samples(tb));
        EXPECT_EQ(ro.calls, rb.calls);
        csv_table_free(&to);
    }
    csv_table_free(&tb);
}

INSTANTIATE_TEST_SUITE_P(
    Owned, ParseOwned,
    ::testing::Values(OwnedCase{"empty", "", true},
                      OwnedCase{"bom_only", "\xEF\xBB\xBF", true},
                      OwnedCase{"small", "a,b\n1,\"x\"\"y\"\n\n3\n", true},
                      OwnedCase{"small_no_header", "a,b\r\n1,2,3\r\n", false},
                      OwnedCase{"large_with_header", varied_input(9u << 20), true},
                      OwnedCase{"large_no_header", "\xEF\xBB\xBF" + varied_input(5u << 20), false}),
    [](const ::testing::TestParamInfo<OwnedCase> &i) { return std::string(i.param.name); });

// The input is the parser's from the call on: it is freed on every path,
// which the leak checks of the sanitizer build confirm.
TEST(ParseOwnedFailure, NullTableFreesTheInputAndFails) {
    char *owned = static_cast<char *>(csv_malloc(3));
    ASSERT_NE(owned, nullptr);
    memcpy(owned, "a,b", 3);
    csv_clear_error();
    EXPECT_EQ(csv_table_parse_owned(nullptr, owned, 3, 1, nullptr), -1);
    EXPECT_STREQ(csv_last_error(), "");
}

TEST(ParseOwnedFailure, EveryAllocationFailureIsCleanAndFreesTheInput) {
    // Past several release steps, with one allocation of each kind.
    std::string in = "h1,h2,h3\n";
    for (int i = 0; in.size() < (3u << 20); ++i)
        in += std::to_string(i) + ",\"quoted, with a comma\",plain text\n";
    in += "1,\"a\"\"b\",c,wider\n";
    for (const bool in_place : {true, false}) {
        SCOPED_TRACE(in_place ? "in place" : "copying");
        for (int64_t n = 0;; ++n) {
            char *owned = static_cast<char *>(csv_malloc(in.size()));
            ASSERT_NE(owned, nullptr);
            memcpy(owned, in.data(), in.size());
            csv_table t{};
            csv_parse_copy_owned_from(in_place ? 0 : 1);
            csv_alloc_fail_after(n);
            int rc = csv_table_parse_owned(&t, owned, in.size(), 1, nullptr);
            csv_alloc_fail_after(-1);
            csv_parse_copy_owned_from(0);
            if (rc == 0) {
                expect_consistent(t);
                EXPECT_GT(t.n_rows, 30000);
                csv_table_free(&t);
                break;
            }
            EXPECT_STREQ(csv_last_error(), n == 0 ? "out of memory" : "out of memory while parsing CSV")
                << "allocation " << n;
            EXPECT_TRUE(vtest::all_zero(t)) << "allocation " << n;
            ASSERT_LT(n, 200) << "the parse never succeeded";
            if (::testing::Test::HasFailure()) return;
        }
    }
}

TEST(ParseOwnedFailure, CancelledParseFreesTheInput) {
    const std::string in = varied_input(1u << 20);
    char *owned = static_cast<char *>(csv_malloc(in.size()));
    ASSERT_NE(owned, nullptr);
    memcpy(owned, in.data(), in.size());
    Recorder r;
    r.cancel_at = 0;
    csv_parse_opts opts{};
    opts.progress = record_progress;
    opts.user_data = &r;
    csv_table t{};
    EXPECT_EQ(csv_table_parse_owned(&t, owned, in.size(), 1, &opts), -1);
    EXPECT_STREQ(csv_last_error(), "cancelled by progress callback");
    EXPECT_TRUE(vtest::all_zero(t));
}

}  // namespace
