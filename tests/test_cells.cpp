// Tests of the cell helpers shared by the queries and emitters: UTF-8
// repair, column names and lists, the numeric test and the substring test.
#include <ctype.h>
#include <errno.h>
#include <fenv.h>
#include <langinfo.h>
#include <locale.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "csv_internal.h"

namespace {

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) s.push_back(static_cast<char>(b));
    return s;
}

std::string hex(const std::string &s) {
    std::string out;
    char buf[4];
    for (unsigned char c : s) {
        snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out;
}

// A table assembled by hand, independent of the parser: texts in one blob,
// each followed by a NUL, empty texts as the all-zero cell.
class HandTable {
public:
    HandTable(const std::vector<std::string> &headers,
              const std::vector<std::vector<std::string>> &rows) {
        blob_.push_back('\0');
        for (const std::string &h : headers) hdr_.push_back(add(h));
        for (const auto &row : rows)
            for (size_t k = 0; k < headers.size(); ++k) body_.push_back(add(k < row.size() ? row[k] : ""));
        t_.in_use = 1;
        t_.n_cols = static_cast<int32_t>(headers.size());
        t_.n_rows = static_cast<int64_t>(rows.size());
        t_.row_cap = t_.n_rows;
        t_.headers = hdr_.empty() ? nullptr : hdr_.data();
        t_.cells = body_.empty() ? nullptr : body_.data();
        t_.blob = blob_.data();
        t_.blob_len = blob_.size();
        t_.blob_cap = blob_.size();
    }
    HandTable(const HandTable &) = delete;
    HandTable &operator=(const HandTable &) = delete;
    const csv_table *get() const { return &t_; }

private:
    csv_cell add(const std::string &s) {
        if (s.empty()) return csv_cell{0, 0};
        csv_cell c{static_cast<uint32_t>(blob_.size()), static_cast<uint32_t>(s.size())};
        blob_ += s;
        blob_.push_back('\0');
        return c;
    }
    std::string blob_;
    std::vector<csv_cell> hdr_, body_;
    csv_table t_{};
};

/* ---- UTF-8 repair ------------------------------------------------------- */

// Decodes and checks the code point: an independent statement of what a
// well-formed sequence is.
int reference_seq(const unsigned char *s, size_t i, size_t len) {
    unsigned b = s[i];
    if (b < 0x80) return 1;
    int n;
    uint32_t cp;
    if ((b & 0xE0) == 0xC0) n = 2, cp = b & 0x1F;
    else if ((b & 0xF0) == 0xE0) n = 3, cp = b & 0x0F;
    else if ((b & 0xF8) == 0xF0) n = 4, cp = b & 0x07;
    else return 0;
    if (i + n > len) return 0;
    for (int k = 1; k < n; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (s[i + k] & 0x3F);
    }
    static const uint32_t min_cp[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_cp[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

// The repaired text, or the input itself when it is well-formed.
std::string reference_repair(const std::string &in, bool *well_formed) {
    const unsigned char *s = reinterpret_cast<const unsigned char *>(in.data());
    std::string out;
    *well_formed = true;
    for (size_t i = 0; i < in.size();) {
        int n = reference_seq(s, i, in.size());
        if (n > 0) {
            out.append(in, i, n);
            i += n;
        } else {
            *well_formed = false;
            out.push_back(static_cast<char>(0xC0 | (s[i] >> 6)));
            out.push_back(static_cast<char>(0x80 | (s[i] & 0x3F)));
            ++i;
        }
    }
    return out;
}

struct Sanitized {
    const char *ptr = nullptr;
    std::string text;
    uint64_t len = 0;
    int32_t must_free = -1;
    bool nul_after = false;
};

Sanitized sanitize(const std::string &in) {
    Sanitized r;
    r.len = 999;
    r.ptr = csv_utf8_sanitize(in.data(), in.size(), &r.len, &r.must_free);
    r.text.assign(r.ptr, r.len);
    r.nul_after = r.ptr[r.len] == '\0';
    if (r.must_free == 1) csv_free(const_cast<char *>(r.ptr));
    return r;
}

struct SanitizeCase {
    const char *name;
    std::string input;
    bool returns_input;
    std::string repaired;  // when not returns_input
};

class SanitizeCases : public ::testing::TestWithParam<SanitizeCase> {};

TEST_P(SanitizeCases, RepairsOrReturnsInput) {
    const SanitizeCase &c = GetParam();
    Sanitized r = sanitize(c.input);
    if (c.returns_input) {
        EXPECT_EQ(r.ptr, c.input.data());
        EXPECT_EQ(r.len, c.input.size());
        EXPECT_EQ(r.must_free, 0);
    } else {
        EXPECT_NE(r.ptr, c.input.data());
        EXPECT_EQ(hex(r.text), hex(c.repaired));
        EXPECT_EQ(r.must_free, 1);
        EXPECT_LE(r.len, 2 * c.input.size());
    }
    EXPECT_TRUE(r.nul_after);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SanitizeCases,
    ::testing::Values(
        SanitizeCase{"Empty", "", true, ""},
        SanitizeCase{"Ascii", "abc", true, ""},
        SanitizeCase{"TwoByte", bytes({0x63, 0x61, 0x66, 0xC3, 0xA9}), true, ""},
        SanitizeCase{"FourByteEndsAtLastByte", bytes({0xF0, 0x9F, 0x98, 0x80}), true, ""},
        SanitizeCase{"NulInside", bytes({0x61, 0x00, 0x62}), true, ""},
        SanitizeCase{"BoundaryE0A080", bytes({0xE0, 0xA0, 0x80}), true, ""},
        SanitizeCase{"BoundaryED9FBF", bytes({0xED, 0x9F, 0xBF}), true, ""},
        SanitizeCase{"BoundaryF0908080", bytes({0xF0, 0x90, 0x80, 0x80}), true, ""},
        SanitizeCase{"BoundaryF48FBFBF", bytes({0xF4, 0x8F, 0xBF, 0xBF}), true, ""},
        SanitizeCase{"BoundaryC280", bytes({0xC2, 0x80}), true, ""},
        SanitizeCase{"BoundaryEFBFBF", bytes({0xEF, 0xBF, 0xBF}), true, ""},
        SanitizeCase{"Latin1Byte", bytes({0x61, 0xE9, 0x62}), false,
                     bytes({0x61, 0xC3, 0xA9, 0x62})},
        SanitizeCase{"SequenceCutAtEnd", bytes({0xE2, 0x82}), false,
                     bytes({0xC3, 0xA2, 0xC2, 0x82})},
        SanitizeCase{"LoneLeadAtEnd", bytes({0xC3}), false, bytes({0xC3, 0x83})},
        SanitizeCase{"OverlongC080", bytes({0xC0, 0x80}), false,
                     bytes({0xC3, 0x80, 0xC2, 0x80})},
        SanitizeCase{"OverlongE08080", bytes({0xE0, 0x80, 0x80}), false,
                     bytes({0xC3, 0xA0, 0xC2, 0x80, 0xC2, 0x80})},
        SanitizeCase{"SurrogateEDA080", bytes({0xED, 0xA0, 0x80}), false,
                     bytes({0xC3, 0xAD, 0xC2, 0xA0, 0xC2, 0x80})},
        SanitizeCase{"OverlongF08FBFBF", bytes({0xF0, 0x8F, 0xBF, 0xBF}), false,
                     bytes({0xC3, 0xB0, 0xC2, 0x8F, 0xC2, 0xBF, 0xC2, 0xBF})},
        SanitizeCase{"AboveMaxF4908080", bytes({0xF4, 0x90, 0x80, 0x80}), false,
                     bytes({0xC3, 0xB4, 0xC2, 0x90, 0xC2, 0x80, 0xC2, 0x80})},
        SanitizeCase{"LeadF5", bytes({0xF5, 0x80, 0x80, 0x80}), false,
                     bytes({0xC3, 0xB5, 0xC2, 0x80, 0xC2, 0x80, 0xC2, 0x80})},
        SanitizeCase{"StrayContinuation", bytes({0x80}), false, bytes({0xC2, 0x80})},
        SanitizeCase{"ByteFF", bytes({0xFF}), false, bytes({0xC3, 0xBF})},
        SanitizeCase{"ValidAroundInvalid", bytes({0xC3, 0xA9, 0xE9, 0xC3, 0xA9}), false,
                     bytes({0xC3, 0xA9, 0xC3, 0xA9, 0xC3, 0xA9})},
        // A lead byte whose continuation is cut by a new lead byte: the
        // second sequence is copied whole.
        SanitizeCase{"LeadThenValidSequence", bytes({0xE2, 0xC3, 0xA9}), false,
                     bytes({0xC3, 0xA2, 0xC3, 0xA9})},
        SanitizeCase{"InvalidAfterLongAsciiRun",
                     std::string(40, 'a') + bytes({0x80}) + std::string(20, 'b'), false,
                     std::string(40, 'a') + bytes({0xC2, 0x80}) + std::string(20, 'b')}),
    [](const ::testing::TestParamInfo<SanitizeCase> &info) { return std::string(info.param.name); });

TEST(Sanitize, NullTextGivesStaticEmptyText) {
    uint64_t len = 99;
    int32_t must_free = 7;
    const char *r = csv_utf8_sanitize(nullptr, 5, &len, &must_free);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, "");
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(must_free, 0);
    EXPECT_EQ(csv_utf8_sanitize(nullptr, 0, nullptr, nullptr), r);
}

TEST(Sanitize, OutputsAreOptional) {
    const std::string ok = "abc";
    EXPECT_EQ(csv_utf8_sanitize(ok.data(), ok.size(), nullptr, nullptr), ok.data());
    const std::string bad = bytes({0x61, 0xE9});
    int32_t must_free = 0;
    const char *r = csv_utf8_sanitize(bad.data(), bad.size(), nullptr, &must_free);
    ASSERT_EQ(must_free, 1);
    EXPECT_EQ(std::string(r), bytes({0x61, 0xC3, 0xA9}));
    csv_free(const_cast<char *>(r));
}

// Only `length` bytes are examined: what follows does not matter.
TEST(Sanitize, ExaminesOnlyTheGivenLength) {
    const std::string text = "ab" + bytes({0xFF});
    uint64_t len = 0;
    int32_t must_free = 5;
    EXPECT_EQ(csv_utf8_sanitize(text.data(), 2, &len, &must_free), text.data());
    EXPECT_EQ(len, 2u);
    EXPECT_EQ(must_free, 0);
}

TEST(Sanitize, WellFormedTextMakesNoAllocation) {
    const std::string text = std::string(100, 'x') + bytes({0xE2, 0x82, 0xAC});
    csv_alloc_fail_after(-1);
    uint64_t len = 0;
    int32_t must_free = 0;
    EXPECT_EQ(csv_utf8_sanitize(text.data(), text.size(), &len, &must_free), text.data());
    EXPECT_EQ(csv_alloc_fail_after(-1), 0);
}

TEST(Sanitize, AllocationFailureReturnsInputUnrepaired) {
    const std::string text = bytes({0x61, 0xE9, 0x62});
    uint64_t len = 0;
    int32_t must_free = 9;
    csv_set_error("before");
    csv_alloc_fail_after(0);
    const char *r = csv_utf8_sanitize(text.data(), text.size(), &len, &must_free);
    csv_alloc_fail_after(-1);
    EXPECT_EQ(r, text.data());
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(must_free, 0);
    EXPECT_STREQ(csv_last_error(), "before");
}

// One offending byte at every position of an ASCII run, so that every
// place relative to the scanner's blocks is covered.
TEST(Sanitize, OffendingByteAtEveryPosition) {
    for (int bad : {0x80, 0xC3, 0xE2, 0xF0, 0xFF}) {
        for (size_t at = 0; at < 70; ++at) {
            std::string text(72, 'q');
            text[at] = static_cast<char>(bad);
            bool wf;
            std::string want = reference_repair(text, &wf);
            Sanitized r = sanitize(text);
            ASSERT_EQ(hex(r.text), hex(want)) << "byte " << bad << " at " << at;
            EXPECT_EQ(r.must_free, 1);
        }
    }
}

TEST(Sanitize, RandomInputsMatchReference) {
    std::mt19937 rng(777);
    const int pool[] = {'a', 0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                        0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF3, 0xF4, 0xF5, 0xFF};
    const std::string samples[] = {bytes({0xC3, 0xA9}), bytes({0xE2, 0x82, 0xAC}),
                                   bytes({0xF0, 0x9F, 0x98, 0x80}), "plain text"};
    for (int iter = 0; iter < 20000; ++iter) {
        std::string text;
        size_t n = rng() % 64;
        while (text.size() < n) {
            switch (rng() % 4) {
                case 0: text.push_back(static_cast<char>(pool[rng() % (sizeof pool / sizeof pool[0])])); break;
                case 1: text += samples[rng() % 4]; break;
                case 2: text.push_back(static_cast<char>(rng())); break;
                default: text.append(rng() % 20, 'z'); break;
            }
        }
        bool wf;
        std::string want = reference_repair(text, &wf);
        Sanitized r = sanitize(text);
        ASSERT_EQ(hex(r.text), hex(want)) << "iteration " << iter;
        ASSERT_EQ(r.must_free, wf ? 0 : 1);
        ASSERT_TRUE(r.nul_after);
        if (wf) ASSERT_EQ(r.ptr, text.data());
        // The repaired text is itself well-formed.
        Sanitized again = sanitize(r.text);
        ASSERT_EQ(again.must_free, 0);
    }
}

/* ---- column names ------------------------------------------------------- */

struct ResolveCase {
    const char *name;
    std::vector<std::string> headers;
    std::string col;
    int32_t expected;
};

class ResolveCases : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(ResolveCases, Resolves) {
    const ResolveCase &c = GetParam();
    HandTable t(c.headers, {});
    EXPECT_EQ(csv_resolve_col(t.get(), c.col.c_str()), c.expected);
}

const std::vector<std::string> k_abc = {"a", "b", "c"};
const std::vector<std::string> k_seven = {"h1", "h2", "h3", "h4", "h5", "h6", "h7"};

INSTANTIATE_TEST_SUITE_P(
    Table, ResolveCases,
    ::testing::Values(
        ResolveCase{"HeaderName", k_abc, "b", 1},
        ResolveCase{"CaseSensitive", k_abc, "B", -1},
        ResolveCase{"LeftmostDuplicate", {"a", "b", "a"}, "a", 0},
        ResolveCase{"NoTrimmingOfNames", k_abc, " a", -1},
        ResolveCase{"HeaderWithSpaces", {"x", " c "}, " c ", 1},
        ResolveCase{"HeaderNamedLikeNumberWins", {"2", "x"}, "2", 0},
        ResolveCase{"NumberWhenNoHeaderMatches", {"2", "x"}, "1", 0},
        ResolveCase{"LastColumnByNumber", k_abc, "3", 2},
        ResolveCase{"NumberBeyondColumns", k_abc, "4", -1},
        ResolveCase{"Zero", k_abc, "0", -1},
        ResolveCase{"LeadingPlus", k_abc, "+1", -1},
        ResolveCase{"LeadingMinus", k_abc, "-1", -1},
        ResolveCase{"LeadingZeros", k_seven, "007", 6},
        ResolveCase{"LeadingSpace", k_abc, " 2", 1},
        ResolveCase{"LeadingWhiteSpaceThenPlus", k_abc, "\t\n +2", 1},
        ResolveCase{"LeadingWhiteSpaceThenMinus", k_abc, " -2", -1},
        ResolveCase{"TrailingSpace", k_abc, "2 ", -1},
        ResolveCase{"Decimal", k_abc, "1.0", -1},
        ResolveCase{"Suffix", k_abc, "1x", -1},
        ResolveCase{"Hex", k_abc, "0x1", -1},
        ResolveCase{"OnlySpace", k_abc, " ", -1},
        ResolveCase{"TooLargeForLong", k_abc, "99999999999999999999999", -1},
        // 2^32 + 1 must not wrap to column 1.
        ResolveCase{"NotNarrowedBeforeCheck", k_abc, "4294967297", -1},
        ResolveCase{"EmptyNameNeverMatches", {"", "b"}, "", -1},
        ResolveCase{"NoColumns", {}, "1", -1}),
    [](const ::testing::TestParamInfo<ResolveCase> &info) { return std::string(info.param.name); });

TEST(ResolveCol, NullArguments) {
    HandTable t(k_abc, {});
    EXPECT_EQ(csv_resolve_col(nullptr, "a"), -1);
    EXPECT_EQ(csv_resolve_col(t.get(), nullptr), -1);
}

// Header texts are compared as NUL-terminated strings.
TEST(ResolveCol, HeaderWithNulComparesUpToIt) {
    HandTable t({std::string("ab\0cd", 5), "x"}, {});
    EXPECT_EQ(csv_resolve_col(t.get(), "ab"), 0);
}

TEST(ResolveCol, LeavesErrnoAlone) {
    HandTable t(k_abc, {});
    errno = 1234;
    EXPECT_EQ(csv_resolve_col(t.get(), "99999999999999999999999"), -1);
    EXPECT_EQ(errno, 1234);
}

/* ---- column lists ------------------------------------------------------- */

struct ColListCase {
    const char *name;
    std::vector<std::string> headers;
    std::string list;
    std::vector<int32_t> expected;  // empty: failure with `error`
    std::string error;
};

class ColListCases : public ::testing::TestWithParam<ColListCase> {};

TEST_P(ColListCases, Parses) {
    const ColListCase &c = GetParam();
    HandTable t(c.headers, {});
    int32_t *cols = reinterpret_cast<int32_t *>(0x1);
    int32_t n = -5;
    csv_set_error("stale");
    int rc = csv_parse_col_list(t.get(), c.list.c_str(), &cols, &n);
    if (c.expected.empty()) {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(cols, nullptr);
        EXPECT_EQ(n, 0);
        EXPECT_EQ(std::string(csv_last_error()), c.error);
    } else {
        ASSERT_EQ(rc, 0) << csv_last_error();
        ASSERT_NE(cols, nullptr);
        EXPECT_EQ(std::vector<int32_t>(cols, cols + n), c.expected);
        csv_free(cols);
    }
}

const std::string k_q255(255, 'q');
const std::string k_q256(256, 'q');

INSTANTIATE_TEST_SUITE_P(
    Table, ColListCases,
    ::testing::Values(
        ColListCase{"Single", k_abc, "b", {1}, ""},
        ColListCase{"RequestOrder", k_abc, "c,a,b", {2, 0, 1}, ""},
        ColListCase{"SpacesAndTabsTrimmed", {"a", "b"}, " b , \ta\t", {1, 0}, ""},
        ColListCase{"DuplicatesKept", {"a", "b"}, "a,a", {0, 0}, ""},
        ColListCase{"EmptyItemsIgnored", {"a", "b"}, "a,,b,", {0, 1}, ""},
        ColListCase{"LeadingComma", {"a", "b"}, ",b", {1}, ""},
        ColListCase{"BlanksBetweenCommas", {"a", "b"}, "a, \t ,b", {0, 1}, ""},
        ColListCase{"HeaderNamedLikeNumber", {"2", "x"}, "2", {0}, ""},
        ColListCase{"NumberWhenNoHeader", {"2", "x"}, "1", {0}, ""},
        ColListCase{"NamesAndNumbers", k_abc, "3, a ,2", {2, 0, 1}, ""},
        ColListCase{"InnerSpaceKept", {"x y", "z"}, " x y ", {0}, ""},
        // Only space and tab are trimmed; strtol then skips the line feed.
        ColListCase{"LineFeedNotTrimmed", {"a", "b"}, "\n2", {1}, ""},
        ColListCase{"HeaderWithCommaOnlyByNumber", {"a,b", "c"}, "1", {0}, ""},
        ColListCase{"NineItemsGrowTheList", {"a"}, "a,a,a,a,a,a,a,a,a",
                    {0, 0, 0, 0, 0, 0, 0, 0, 0}, ""},
        ColListCase{"LongestName", {k_q255}, k_q255, {0}, ""},
        ColListCase{"LongestNameAfterTrimming", {k_q255}, " \t" + k_q255 + "\t ", {0}, ""},
        ColListCase{"Empty", k_abc, "", {}, "no columns selected"},
        ColListCase{"OnlySeparators", k_abc, " \t, ,\t,", {}, "no columns selected"},
        ColListCase{"UnknownName", k_abc, "a,zz", {}, "unknown column: zz"},
        ColListCase{"UnknownTrimmedInMessage", k_abc, " zz\t", {}, "unknown column: zz"},
        ColListCase{"FirstFailureWins", k_abc, "yy,zz", {}, "unknown column: yy"},
        ColListCase{"NumberBeyondColumns", k_abc, "4", {}, "unknown column: 4"},
        ColListCase{"Zero", k_abc, "0", {}, "unknown column: 0"},
        ColListCase{"Plus", k_abc, "+1", {}, "unknown column: +1"},
        ColListCase{"Minus", k_abc, "-1", {}, "unknown column: -1"},
        ColListCase{"Decimal", k_abc, "1.0", {}, "unknown column: 1.0"},
        ColListCase{"Suffix", k_abc, "1x", {}, "unknown column: 1x"},
        ColListCase{"CommaSplitsHeaderName", {"a,b", "c"}, "a,b", {}, "unknown column: a"},
        ColListCase{"NumberWithTrailingLineFeed", {"a", "b"}, "2\n", {}, "unknown column: 2\n"},
        ColListCase{"LongestNameUnknown", k_abc, k_q255, {}, "unknown column: " + k_q255},
        ColListCase{"NameTooLong", k_abc, k_q256, {}, "column name too long"},
        ColListCase{"NameTooLongEvenIfHeader", {k_q256}, k_q256, {}, "column name too long"},
        ColListCase{"TooLongCheckedAfterEarlierItems", k_abc, "a," + k_q256, {},
                    "column name too long"}),
    [](const ::testing::TestParamInfo<ColListCase> &info) { return std::string(info.param.name); });

// Past eight columns a list resolves names through an index of the header
// texts; the rules stay those of the one-name scan: a header's exact text
// first (the leftmost of equal ones), then the 1-based number.
const std::vector<std::string> k_wide = {"2",   "x",  "x",  "007", "",  "a b",
                                         " 3",  "10", "+1", "1x",  "\xC3\xA9", "k"};

struct WideListCase {
    const char *name;
    std::string list;
    std::vector<int32_t> expected;  // empty: failure with `error`
    std::string error;
};

void PrintTo(const WideListCase &c, std::ostream *os) { *os << c.name; }

class WideListCases : public ::testing::TestWithParam<WideListCase> {};

TEST_P(WideListCases, SameRulesAsTheScan) {
    const WideListCase &c = GetParam();
    HandTable t(k_wide, {{"r"}});
    int32_t *cols = nullptr;
    int32_t n = 0;
    int rc = csv_parse_col_list(t.get(), c.list.c_str(), &cols, &n);
    if (c.expected.empty()) {
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(std::string(csv_last_error()), c.error);
        return;
    }
    ASSERT_EQ(rc, 0) << csv_last_error();
    std::vector<int32_t> got(cols, cols + n);
    csv_free(cols);
    EXPECT_EQ(got, c.expected);
    // Each item alone resolves as the scan of csv_resolve_col does.
    for (size_t k = 0; k < got.size(); ++k) {
        std::string item = c.list;
        size_t from = 0;
        for (size_t skip = 0; skip < k; ++skip) from = item.find(',', from) + 1;
        item = item.substr(from, item.find(',', from) - from);
        EXPECT_EQ(csv_resolve_col(t.get(), item.c_str()), got[k]) << item;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, WideListCases,
    ::testing::Values(
        WideListCase{"HeaderNamedLikeNumberWins", "2", {0}, ""},
        WideListCase{"NumberWhenNoSuchHeader", "1", {0}, ""},
        WideListCase{"LeftmostOfEqualHeaders", "x", {1}, ""},
        WideListCase{"LeadingZerosAsHeader", "007", {3}, ""},
        WideListCase{"NumberSeven", "7", {6}, ""},
        WideListCase{"InnerSpace", "a b", {5}, ""},
        WideListCase{"HeaderWithSpaceIsNotTheNumber", "3", {2}, ""},
        WideListCase{"HeaderTenBeforeColumnTen", "10", {7}, ""},
        WideListCase{"SignedHeader", "+1", {8}, ""},
        WideListCase{"SuffixHeader", "1x", {9}, ""},
        WideListCase{"NonAsciiHeader", "\xC3\xA9", {10}, ""},
        WideListCase{"LastByNumber", "12", {11}, ""},
        WideListCase{"OrderAndRepeats", "k,2,x,x,12,1", {11, 0, 1, 1, 11, 0}, ""},
        WideListCase{"PastLastColumn", "13", {}, "unknown column: 13"},
        WideListCase{"Zero", "0", {}, "unknown column: 0"},
        WideListCase{"SignedNumber", "-1", {}, "unknown column: -1"},
        WideListCase{"CaseMatters", "K", {}, "unknown column: K"},
        WideListCase{"UnknownAfterKnown", "x,y", {}, "unknown column: y"}),
    [](const ::testing::TestParamInfo<WideListCase> &info) { return std::string(info.param.name); });

// Every header of a wide table with many equal and many distinct texts is
// found at its leftmost column.
TEST(ColList, WideTableResolvesEveryHeader) {
    std::vector<std::string> headers;
    for (int i = 0; i < 3000; ++i) headers.push_back("h" + std::to_string(i % 1000));
    HandTable t(headers, {});
    std::string list;
    for (int i = 0; i < 3000; ++i) list += (i ? "," : "") + headers[i];
    int32_t *cols = nullptr;
    int32_t n = 0;
    ASSERT_EQ(csv_parse_col_list(t.get(), list.c_str(), &cols, &n), 0);
    ASSERT_EQ(n, 3000);
    for (int i = 0; i < 3000; ++i) EXPECT_EQ(cols[i], i % 1000);
    csv_free(cols);
}

TEST(ColList, NullArgumentsFailWithoutMessageOrOutput) {
    HandTable t(k_abc, {});
    int32_t *cols = reinterpret_cast<int32_t *>(0x1);
    int32_t n = -5;
    csv_set_error("before");
    EXPECT_EQ(csv_parse_col_list(nullptr, "a", &cols, &n), -1);
    EXPECT_EQ(csv_parse_col_list(t.get(), nullptr, &cols, &n), -1);
    EXPECT_EQ(csv_parse_col_list(t.get(), "a", nullptr, &n), -1);
    EXPECT_EQ(csv_parse_col_list(t.get(), "a", &cols, nullptr), -1);
    EXPECT_EQ(cols, reinterpret_cast<int32_t *>(0x1));
    EXPECT_EQ(n, -5);
    EXPECT_STREQ(csv_last_error(), "before");
}

std::string repeated_list(int items) {
    std::string s;
    for (int k = 0; k < items; ++k) s += k ? ",b" : "b";
    return s;
}

// The list starts at 8 entries and doubles: 8 items take one allocation,
// 9 take two, 17 take three.
TEST(ColList, GrowsByDoublingFromEight) {
    HandTable t(k_abc, {});
    const std::vector<std::pair<int, int64_t>> steps = {{1, 1}, {8, 1}, {9, 2}, {16, 2}, {17, 3}, {33, 4}};
    for (auto [items, allocations] : steps) {
        int32_t *cols = nullptr;
        int32_t n = 0;
        csv_alloc_fail_after(-1);
        ASSERT_EQ(csv_parse_col_list(t.get(), repeated_list(items).c_str(), &cols, &n), 0);
        EXPECT_EQ(csv_alloc_fail_after(-1), allocations) << items << " items";
        EXPECT_EQ(n, items);
        for (int k = 0; k < n; ++k) EXPECT_EQ(cols[k], 1);
        csv_free(cols);
    }
}

TEST(ColList, AllocationFailuresReportOutOfMemory) {
    HandTable t(k_abc, {});
    for (int allowed : {0, 1, 2}) {
        int32_t *cols = reinterpret_cast<int32_t *>(0x1);
        int32_t n = -5;
        csv_alloc_fail_after(allowed);
        int rc = csv_parse_col_list(t.get(), repeated_list(17).c_str(), &cols, &n);
        csv_alloc_fail_after(-1);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(cols, nullptr);
        EXPECT_EQ(n, 0);
        EXPECT_STREQ(csv_last_error(), "out of memory");
    }
}

/* ---- numeric cells ------------------------------------------------------ */

enum class Num { No, Value, PosInf, NegInf, NaN };

struct NumericCase {
    const char *name;
    std::string text;
    Num kind;
    double value;
};

class NumericCases : public ::testing::TestWithParam<NumericCase> {};

TEST_P(NumericCases, Classifies) {
    const NumericCase &c = GetParam();
    double v = 123.25;
    int r = csv_is_numeric_field(c.text.data(), c.text.size(), &v);
    switch (c.kind) {
        case Num::No:
            EXPECT_EQ(r, 0);
            EXPECT_EQ(v, 123.25);  // untouched
            break;
        case Num::Value:
            EXPECT_EQ(r, 1);
            EXPECT_EQ(v, c.value);
            EXPECT_EQ(signbit(v), signbit(c.value));
            break;
        case Num::PosInf:
            EXPECT_EQ(r, 1);
            EXPECT_TRUE(isinf(v) && v > 0);
            break;
        case Num::NegInf:
            EXPECT_EQ(r, 1);
            EXPECT_TRUE(isinf(v) && v < 0);
            break;
        case Num::NaN:
            EXPECT_EQ(r, 1);
            EXPECT_TRUE(isnan(v));
            break;
    }
    EXPECT_EQ(csv_is_numeric_field(c.text.data(), c.text.size(), nullptr), r);
}

const std::string k_127_digits = "1" + std::string(126, '0');
const std::string k_128_digits = "1" + std::string(127, '0');

INSTANTIATE_TEST_SUITE_P(
    Table, NumericCases,
    ::testing::Values(
        NumericCase{"Integer", "42", Num::Value, 42},
        NumericCase{"NegativeDecimal", "-3.5", Num::Value, -3.5},
        NumericCase{"Plus", "+7", Num::Value, 7},
        NumericCase{"NoIntegerPart", ".5", Num::Value, 0.5},
        NumericCase{"NoFraction", "5.", Num::Value, 5},
        NumericCase{"Exponent", "1e3", Num::Value, 1000},
        NumericCase{"SpacesAround", "  12  ", Num::Value, 12},
        NumericCase{"LeadingTab", "\t12", Num::Value, 12},
        NumericCase{"LeadingCarriageReturn", "\r12", Num::Value, 12},
        NumericCase{"LeadingNewlineVtabFormFeed", "\n\v\f12", Num::Value, 12},
        NumericCase{"Hex", "0x1A", Num::Value, 26},
        NumericCase{"HexFloat", "0x1.8p1", Num::Value, 3},
        NumericCase{"Inf", "inf", Num::PosInf, 0},
        NumericCase{"NegInfinity", "-Infinity", Num::NegInf, 0},
        NumericCase{"NaN", "NaN", Num::NaN, 0},
        NumericCase{"NaNWithChars", "nan(123)", Num::NaN, 0},
        NumericCase{"Overflow", "1e999", Num::PosInf, 0},
        NumericCase{"Underflow", "1e-999", Num::Value, 0},
        NumericCase{"NegativeZero", "-0", Num::Value, -0.0},
        NumericCase{"NegativeZeroDecimal", "-0.000", Num::Value, -0.0},
        NumericCase{"LeadingZeros", "007.50", Num::Value, 7.5},
        NumericCase{"SignedExponent", "-1.5E+2", Num::Value, -150},
        NumericCase{"NegativeExponent", "25e-2", Num::Value, 0.25},
        NumericCase{"PointThenExponent", "5.e3", Num::Value, 5000},
        NumericCase{"PlusPoint", "+.5", Num::Value, 0.5},
        NumericCase{"TenthIsRounded", "0.1", Num::Value, 0.1},
        NumericCase{"BeyondTwoTo53", "9007199254740993", Num::Value, 9007199254740992.0},
        NumericCase{"ManyDigits", "123456789012345678901234567890", Num::Value,
                    123456789012345678901234567890.0},
        NumericCase{"LargeExponentFromFraction", "1.5e300", Num::Value, 1.5e300},
        NumericCase{"NulEndsText", std::string("12\0abc", 6), Num::Value, 12},
        NumericCase{"NulFirst", std::string("\0" "12", 3), Num::No, 0},
        NumericCase{"Digits127", k_127_digits, Num::Value, 1e126},
        NumericCase{"Digits127WithSpaces", "  " + k_127_digits + "\t", Num::Value, 1e126},
        NumericCase{"Digits128", k_128_digits, Num::No, 0},
        NumericCase{"Digits128WithSpaces", " " + k_128_digits + " ", Num::No, 0},
        NumericCase{"Empty", "", Num::No, 0},
        NumericCase{"OneSpace", " ", Num::No, 0},
        NumericCase{"SpacesAndTabs", " \t \t", Num::No, 0},
        NumericCase{"PlusAlone", "+", Num::No, 0},
        NumericCase{"MinusAlone", "-", Num::No, 0},
        NumericCase{"PointAlone", ".", Num::No, 0},
        NumericCase{"PlusAloneWithSpaces", " + ", Num::No, 0},
        NumericCase{"SignAndPoint", "-.", Num::No, 0},
        NumericCase{"ExponentWithoutDigits", "1e", Num::No, 0},
        NumericCase{"ExponentSignWithoutDigits", "1e+", Num::No, 0},
        NumericCase{"HexWithoutDigits", "0x", Num::No, 0},
        NumericCase{"GroupSeparator", "1,000", Num::No, 0},
        NumericCase{"TrailingLetters", "12abc", Num::No, 0},
        NumericCase{"InnerSpace", "1 2", Num::No, 0},
        NumericCase{"TrailingCarriageReturn", "12\r", Num::No, 0},
        NumericCase{"TwoPoints", "1..2", Num::No, 0},
        NumericCase{"TwoSigns", "--1", Num::No, 0},
        NumericCase{"ExponentOnly", "e5", Num::No, 0},
        NumericCase{"FractionalExponent", "1e5.5", Num::No, 0},
        NumericCase{"Currency", "$5", Num::No, 0}),
    [](const ::testing::TestParamInfo<NumericCase> &info) { return std::string(info.param.name); });

TEST(Numeric, NullTextIsNotNumeric) {
    double v = 1.5;
    EXPECT_EQ(csv_is_numeric_field(nullptr, 3, &v), 0);
    EXPECT_EQ(v, 1.5);
}

// Only `length` bytes belong to the cell; what follows is not read.
TEST(Numeric, ReadsOnlyTheGivenLength) {
    const char text[] = "12345";
    double v = 0;
    ASSERT_EQ(csv_is_numeric_field(text, 2, &v), 1);
    EXPECT_EQ(v, 12);
    const char unterminated[3] = {'1', '.', '5'};
    ASSERT_EQ(csv_is_numeric_field(unterminated, 3, &v), 1);
    EXPECT_EQ(v, 1.5);
}

// What the numeric test must give: the trimmed text converted whole by
// strtod, for the verdict and for every bit of the value.
int reference_numeric(const std::string &cell, double *out) {
    size_t b = 0, e = cell.size();
    while (b < e && (cell[b] == ' ' || cell[b] == '\t')) ++b;
    if (b == e) return 0;
    while (e > b && (cell[e - 1] == ' ' || cell[e - 1] == '\t')) --e;
    if (e - b > 127) return 0;
    std::string s = cell.substr(b, e - b);
    if (s == "+" || s == "-" || s == ".") return 0;
    char *end = nullptr;
    double v = strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0') return 0;
    *out = v;
    return 1;
}

// Decimal texts of every shape the fast conversion might take, and some
// just outside it.
std::string random_decimal(std::mt19937 &rng, char point) {
    std::string s;
    switch (rng() % 4) {
        case 0: s += '-'; break;
        case 1: s += '+'; break;
        default: break;
    }
    auto digits = [&](size_t n) {
        for (size_t k = 0; k < n; ++k) s += static_cast<char>('0' + rng() % 10);
    };
    if (rng() % 5 == 0) s.append(rng() % 4, '0');
    digits(rng() % 21);
    if (rng() % 2) {
        s += point;
        digits(rng() % 21);
        if (rng() % 4 == 0) s.append(rng() % 6, '0');
    }
    if (rng() % 3 == 0) {
        s += (rng() % 2) ? 'e' : 'E';
        if (rng() % 2) s += (rng() % 2) ? '-' : '+';
        digits(1 + rng() % 3);
    }
    if (rng() % 10 == 0) s.insert(rng() % (s.size() + 1), 1, "x .e+-,\t"[rng() % 8]);
    if (rng() % 8 == 0) s = " " + s + "\t";
    return s;
}

// Short exact decimals near the limits: 2^53, 10^22, 19 digits.
std::vector<std::string> edge_decimals() {
    return {"9007199254740992",     "9007199254740993",  "-9007199254740992",
            "9007199254740991.5",   "1e22",              "1e23",
            "1e-22",                "1e-23",             "9999999999999999999",
            "10000000000000000000", "0.0000000000000000000001",
            "123456789012345.6789", "4.9e-324",          "2.2250738585072014e-308",
            "1.7976931348623157e308", "0e0",             "-0e-5",
            "0000000000000000000000000001", "1.0000000000000000000",
            "8.98846567431158e307", "3.0e-0",            "7e+0022"};
}

void expect_same_as_reference(const std::string &s) {
    double want = 0, got = 0;
    int rw = reference_numeric(s, &want);
    int rg = csv_is_numeric_field(s.data(), s.size(), &got);
    ASSERT_EQ(rg, rw) << "text [" << s << "]";
    if (rw) ASSERT_EQ(memcmp(&want, &got, sizeof want), 0) << "text [" << s << "] " << want << " vs " << got;
}

class NumericRounding : public ::testing::TestWithParam<int> {};

TEST_P(NumericRounding, BitIdenticalToStrtod) {
    const int mode = GetParam();
    ASSERT_EQ(fesetround(mode), 0);
    std::mt19937 rng(4242 + mode);
    for (const std::string &s : edge_decimals()) expect_same_as_reference(s);
    for (int iter = 0; iter < 200000; ++iter) expect_same_as_reference(random_decimal(rng, '.'));
    fesetround(FE_TONEAREST);
}

INSTANTIATE_TEST_SUITE_P(Modes, NumericRounding,
                         ::testing::Values(FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO),
                         [](const ::testing::TestParamInfo<int> &info) {
                             switch (info.param) {
                                 case FE_TONEAREST: return std::string("ToNearest");
                                 case FE_UPWARD: return std::string("Upward");
                                 case FE_DOWNWARD: return std::string("Downward");
                                 default: return std::string("TowardZero");
                             }
                         });

// A locale whose decimal point is a comma, or "" when the machine has none.
std::string comma_locale() {
    static const char *const names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8",
                                        "fr_FR.utf8",  "nl_NL.UTF-8", "es_ES.UTF-8",
                                        "it_IT.UTF-8", "ru_RU.UTF-8", "pt_BR.UTF-8",
                                        "de_DE",       "fr_FR"};
    for (const char *name : names) {
        locale_t loc = newlocale(LC_NUMERIC_MASK, name, static_cast<locale_t>(0));
        if (loc == static_cast<locale_t>(0)) continue;
        bool comma = strcmp(nl_langinfo_l(RADIXCHAR, loc), ",") == 0;
        freelocale(loc);
        if (comma) return name;
    }
    return "";
}

void expect_comma_locale_behaviour() {
    double v = 0;
    EXPECT_EQ(csv_is_numeric_field("3,5", 3, &v), 1);
    EXPECT_EQ(v, 3.5);
    EXPECT_EQ(csv_is_numeric_field("-0,25", 5, &v), 1);
    EXPECT_EQ(v, -0.25);
    v = 9;
    EXPECT_EQ(csv_is_numeric_field("3.5", 3, &v), 0);
    EXPECT_EQ(v, 9);
    EXPECT_EQ(csv_is_numeric_field("12", 2, &v), 1);
    EXPECT_EQ(v, 12);
    EXPECT_EQ(csv_is_numeric_field("1e3", 3, &v), 1);
    EXPECT_EQ(v, 1000);
    std::mt19937 rng(99);
    for (int iter = 0; iter < 50000; ++iter) {
        expect_same_as_reference(random_decimal(rng, ','));
        expect_same_as_reference(random_decimal(rng, '.'));
    }
}

// The locale of the calling thread decides, as it does for strtod.
TEST(NumericLocale, ThreadLocaleWithCommaDecimalPoint) {
    std::string name = comma_locale();
    if (name.empty()) GTEST_SKIP() << "no locale with a comma decimal point on this machine";
    locale_t loc = newlocale(LC_NUMERIC_MASK, name.c_str(), static_cast<locale_t>(0));
    ASSERT_NE(loc, static_cast<locale_t>(0));
    locale_t old = uselocale(loc);
    expect_comma_locale_behaviour();
    uselocale(old);
    freelocale(loc);
    double v = 0;
    EXPECT_EQ(csv_is_numeric_field("3.5", 3, &v), 1);
    EXPECT_EQ(v, 3.5);
    EXPECT_EQ(csv_is_numeric_field("3,5", 3, &v), 0);
}

// A host may change the process locale between calls.
TEST(NumericLocale, ProcessLocaleChangedBetweenCalls) {
    std::string name = comma_locale();
    if (name.empty()) GTEST_SKIP() << "no locale with a comma decimal point on this machine";
    std::string before = setlocale(LC_NUMERIC, nullptr);
    double v = 0;
    EXPECT_EQ(csv_is_numeric_field("2.5", 3, &v), 1);
    ASSERT_NE(setlocale(LC_NUMERIC, name.c_str()), nullptr);
    expect_comma_locale_behaviour();
    setlocale(LC_NUMERIC, before.c_str());
    EXPECT_EQ(csv_is_numeric_field("2.5", 3, &v), 1);
    EXPECT_EQ(v, 2.5);
}

struct ColNumericCase {
    const char *name;
    std::vector<std::string> column;
    int32_t expected;
};

class ColNumericCases : public ::testing::TestWithParam<ColNumericCase> {};

TEST_P(ColNumericCases, Decides) {
    const ColNumericCase &c = GetParam();
    std::vector<std::vector<std::string>> rows;
    for (const std::string &s : c.column) rows.push_back({"x", s});
    HandTable t({"label", "value"}, rows);
    EXPECT_EQ(csv_col_is_numeric(t.get(), 1), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ColNumericCases,
    ::testing::Values(
        ColNumericCase{"NumbersAndEmpty", {"1", "", "2.5"}, 1},
        ColNumericCase{"OneSpaceIsNotEmpty", {"1", " "}, 0},
        ColNumericCase{"OnlyEmpty", {"", "", ""}, 0},
        ColNumericCase{"LeadingEmpty", {"", "-4"}, 1},
        ColNumericCase{"TextFirst", {"abc", "1"}, 0},
        ColNumericCase{"TextLast", {"1", "2", "n/a"}, 0},
        ColNumericCase{"SpecialForms", {"inf", "0x10", " 3 "}, 1},
        ColNumericCase{"NoRows", {}, 0}),
    [](const ::testing::TestParamInfo<ColNumericCase> &info) { return std::string(info.param.name); });

TEST(ColNumeric, OutOfRangeArguments) {
    HandTable t({"a", "b"}, {{"1", "2"}});
    EXPECT_EQ(csv_col_is_numeric(t.get(), 0), 1);
    EXPECT_EQ(csv_col_is_numeric(t.get(), -1), 0);
    EXPECT_EQ(csv_col_is_numeric(t.get(), 2), 0);
    EXPECT_EQ(csv_col_is_numeric(nullptr, 0), 0);
}

/* ---- substring test ----------------------------------------------------- */

struct SubstrCase {
    const char *name;
    std::string cell;
    std::string query;
    int32_t flag;
    int expected;
};

class SubstrCases : public ::testing::TestWithParam<SubstrCase> {};

TEST_P(SubstrCases, Matches) {
    const SubstrCase &c = GetParam();
    EXPECT_EQ(csv_substr(c.cell.c_str(), c.cell.size(), c.query.c_str(), c.flag), c.expected);
}

const std::string k_nul_abc("x\0abc", 5);

INSTANTIATE_TEST_SUITE_P(
    Table, SubstrCases,
    ::testing::Values(
        SubstrCase{"EmptyQueryEmptyCell", "", "", 0, 1},
        SubstrCase{"EmptyQueryEmptyCellNoCase", "", "", 1, 1},
        SubstrCase{"EmptyQueryAnyCell", "abc", "", 0, 1},
        SubstrCase{"QueryNeverInEmptyCell", "", "a", 0, 0},
        SubstrCase{"QueryNeverInEmptyCellNoCase", "", "a", 1, 0},
        SubstrCase{"CaseSensitiveMismatch", "A", "a", 0, 0},
        SubstrCase{"NoCaseMatch", "A", "a", 1, 1},
        SubstrCase{"AnyNonZeroFlag", "Abc", "aBC", -7, 1},
        SubstrCase{"Middle", "hello world", "lo w", 0, 1},
        SubstrCase{"MiddleNoCase", "Hello World", "LO w", 1, 1},
        SubstrCase{"Absent", "hello", "xyz", 0, 0},
        SubstrCase{"AbsentNoCase", "hello", "xyz", 1, 0},
        SubstrCase{"QueryLonger", "abc", "abcd", 0, 0},
        SubstrCase{"QueryLongerNoCase", "abc", "ABCD", 1, 0},
        SubstrCase{"WholeCell", "abc", "abc", 0, 1},
        SubstrCase{"WholeCellNoCase", "ABC", "abc", 1, 1},
        SubstrCase{"AtEndNoCase", "xxaBC", "Abc", 1, 1},
        SubstrCase{"RepeatedFirstByte", "aaaab", "aab", 0, 1},
        SubstrCase{"RepeatedFirstByteNoCase", "AaAaB", "aab", 1, 1},
        SubstrCase{"UpperCandidateFailsLowerMatches", "xAyaz", "AZ", 1, 1},
        SubstrCase{"NonLetterFirstByte", "a-b-C", "-c", 1, 1},
        SubstrCase{"NonAsciiNotFolded", "\xC3\xA9", "\xC3\x89", 1, 0},
        SubstrCase{"NonAsciiExact", "caf\xC3\xA9!", "\xC3\xA9", 1, 1},
        SubstrCase{"BracketIsNotBrace", "{", "[", 1, 0},
        SubstrCase{"AtIsNotBacktick", "`", "@", 1, 0},
        SubstrCase{"NulThenQueryCaseSensitive", k_nul_abc, "abc", 0, 0},
        SubstrCase{"NulThenQueryNoCase", k_nul_abc, "ABC", 1, 1},
        SubstrCase{"QuerySpanningNul", k_nul_abc, "xa", 1, 0}),
    [](const ::testing::TestParamInfo<SubstrCase> &info) { return std::string(info.param.name); });

TEST(Substr, NullArguments) {
    EXPECT_EQ(csv_substr(nullptr, 0, "", 0), 0);
    EXPECT_EQ(csv_substr("abc", 3, nullptr, 1), 0);
}

// The case-insensitive window covers exactly `length` bytes.
TEST(Substr, NoCaseScanStopsAtLength) {
    const char text[] = "abcdef";
    EXPECT_EQ(csv_substr(text, 6, "DEF", 1), 1);
    EXPECT_EQ(csv_substr(text, 5, "DEF", 1), 0);
    EXPECT_EQ(csv_substr(text, 5, "DE", 1), 1);
}

int reference_nocase(const std::string &cell, const std::string &q) {
    auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 0x20 : c; };
    if (q.empty()) return 1;
    if (cell.size() < q.size()) return 0;
    for (size_t s = 0; s + q.size() <= cell.size(); ++s) {
        size_t k = 0;
        while (k < q.size() && fold(cell[s + k]) == fold(q[k])) ++k;
        if (k == q.size()) return 1;
    }
    return 0;
}

TEST(Substr, RandomNoCaseMatchesWindowScan) {
    std::mt19937 rng(31337);
    const char alphabet[] = {'a', 'A', 'b', 'B', 'z', 'Z', '@', '`', '[', '{', '\0', '\xC3', '\xE9'};
    for (int iter = 0; iter < 50000; ++iter) {
        std::string cell, q;
        size_t n = rng() % 40, m = 1 + rng() % 4;
        for (size_t k = 0; k < n; ++k) cell += alphabet[rng() % sizeof alphabet];
        for (size_t k = 0; k < m; ++k) {
            char c = alphabet[rng() % sizeof alphabet];
            q += c == '\0' ? 'a' : c;
        }
        ASSERT_EQ(csv_substr(cell.c_str(), cell.size(), q.c_str(), 1), reference_nocase(cell, q))
            << "cell " << hex(cell) << " query " << hex(q);
    }
}


// Byte-exact reference: the cell read as a NUL-terminated string (at most
// `length` bytes), every start tried.
int reference_exact(const std::string &cell, const std::string &q) {
    if (q.empty()) return 1;
    if (cell.size() < q.size()) return 0;
    const std::string text = cell.substr(0, strlen(cell.c_str()));
    for (size_t s = 0; s + q.size() <= text.size(); ++s)
        if (text.compare(s, q.size(), q) == 0) return 1;
    return 0;
}

int reference(const std::string &cell, const std::string &q, int32_t ci) {
    return ci ? reference_nocase(cell, q) : reference_exact(cell, q);
}

// Random cells and queries over small alphabets, so that queries often
// occur, almost occur or repeat themselves. Each is tested through the
// library's test, the two-way scan alone, and the reference, in both modes.
struct SubstrRandom {
    const char *name;
    std::string alphabet;
    size_t max_cell;
    size_t max_query;
    int iterations;
};

void PrintTo(const SubstrRandom &c, std::ostream *os) { *os << c.name; }

class SubstrAgainstReference : public ::testing::TestWithParam<SubstrRandom> {};

TEST_P(SubstrAgainstReference, BothScansAgree) {
    const SubstrRandom &c = GetParam();
    std::mt19937 rng(4242);
    auto pick = [&] { return c.alphabet[rng() % c.alphabet.size()]; };
    for (int iter = 0; iter < c.iterations; ++iter) {
        std::string cell(rng() % (c.max_cell + 1), 'a');
        for (char &ch : cell) ch = pick();
        std::string q;
        const size_t m = 1 + rng() % c.max_query;
        switch (rng() % 4) {
        case 0:  // a piece of the cell, maybe with its case changed
            if (cell.size() >= m) {
                q = cell.substr(rng() % (cell.size() - m + 1), m);
                for (char &ch : q)
                    if (rng() % 3 == 0 && isalpha(static_cast<unsigned char>(ch))) ch ^= 0x20;
                break;
            }
            [[fallthrough]];
        case 1:  // a run of one byte ended by another
            q = std::string(m - 1, c.alphabet[0]) + c.alphabet[1];
            break;
        case 2:  // a short pattern repeated
        {
            std::string unit(1 + rng() % 3, 'a');
            for (char &ch : unit) ch = pick();
            while (q.size() < m) q += unit;
            q.resize(m);
            if (rng() % 2) q.back() = pick();
            break;
        }
        default:
            q.resize(m);
            for (char &ch : q) ch = pick();
        }
        for (char &ch : q)
            if (ch == '\0') ch = 'a';  // a query ends at its NUL
        for (int32_t ci : {0, 1}) {
            const int want = reference(cell, q, ci);
            ASSERT_EQ(csv_substr(cell.data(), cell.size(), q.c_str(), ci), want)
                << "cell " << hex(cell) << " query " << hex(q) << " ci " << ci;
            uint64_t steps = 0;
            ASSERT_EQ(csv_substr_steps(cell.data(), cell.size(), q.c_str(), ci, 1, &steps), want)
                << "two-way only; cell " << hex(cell) << " query " << hex(q) << " ci " << ci;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, SubstrAgainstReference,
    ::testing::Values(
        SubstrRandom{"TwoLetters", "ab", 40, 8, 40000},
        SubstrRandom{"TwoLettersBothCases", "aAbB", 40, 8, 40000},
        SubstrRandom{"FoldNeighbours", std::string("aA@`[{zZ\xC3\xE9") + '\0', 40, 6, 40000},
        SubstrRandom{"ThreeLettersLongQueries", "abc", 300, 40, 4000},
        SubstrRandom{"MostlyOneLetter", "aaaaaaab", 2000, 120, 2000}),
    [](const ::testing::TestParamInfo<SubstrRandom> &info) { return std::string(info.param.name); });

// Every cut of a few texts that stress the factorisation: each query
// against cells where it sits at each position, or falls one byte short.
TEST(Substr, EveryPlacementOfPeriodicQueries) {
    const char *queries[] = {"abaabaab", "aaaab", "abababac", "baaaa", "AbAbA", "zzzz", "ab", "a"};
    for (const char *query : queries) {
        const std::string q(query);
        for (size_t at = 0; at < 12; ++at) {
            for (const std::string &fill : {std::string("a"), std::string("ab"), std::string("b")}) {
                std::string cell;
                while (cell.size() < at) cell += fill;
                cell.resize(at);
                std::string hit = cell + q + cell;
                std::string miss = cell + q.substr(0, q.size() - 1) + cell;
                for (int32_t ci : {0, 1}) {
                    for (int32_t only : {0, 1}) {
                        uint64_t steps = 0;
                        EXPECT_EQ(csv_substr_steps(hit.data(), hit.size(), query, ci, only, &steps),
                                  reference(hit, q, ci))
                            << hit << " / " << q << " ci " << ci << " only " << only;
                        EXPECT_EQ(csv_substr_steps(miss.data(), miss.size(), query, ci, only, &steps),
                                  reference(miss, q, ci))
                            << miss << " / " << q << " ci " << ci << " only " << only;
                    }
                }
            }
        }
    }
}

// The inputs that made the old tests quadratic: a long run of `a` against
// a query of `a` ended by `b` (absent), and the same with the query at the
// very end (present). The work stays within a few steps per byte of the
// cell and the query, whatever their lengths; the old tests took about
// cell length x query length steps (3 x 10^10 for the first).
struct LongRun {
    const char *name;
    size_t cell;
    size_t run;
};

void PrintTo(const LongRun &c, std::ostream *os) { *os << c.name; }

class SubstrWorkBound : public ::testing::TestWithParam<LongRun> {};

TEST_P(SubstrWorkBound, LinearInCellAndQuery) {
    const LongRun &c = GetParam();
    const std::string q = std::string(c.run, 'a') + "b";
    std::string cell(c.cell, 'a');
    for (int32_t ci : {0, 1}) {
        for (bool present : {false, true}) {
            if (present) cell.replace(cell.size() - q.size(), q.size(), q);
            uint64_t steps = 0;
            EXPECT_EQ(csv_substr_steps(cell.data(), cell.size(), q.c_str(), ci, 0, &steps),
                      present ? 1 : 0);
            EXPECT_LE(steps, 8 * (cell.size() + q.size()) + 1024)
                << "ci " << ci << " present " << present;
            if (present) cell.assign(c.cell, 'a');
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, SubstrWorkBound,
    ::testing::Values(LongRun{"Cell8MiBQuery4001", 8u << 20, 4000},
                      LongRun{"Cell32MiBQuery16001", 32u << 20, 16000},
                      LongRun{"Cell1MiBQuery2", 1u << 20, 1},
                      LongRun{"Cell1MiBQuery300", 1u << 20, 299}),
    [](const ::testing::TestParamInfo<LongRun> &info) { return std::string(info.param.name); });

// A NUL before the only occurrence hides it from the byte-exact test, also
// when the two-way scan finds it.
TEST(Substr, NulBeforeALateOccurrence) {
    std::string cell(100000, 'a');
    cell[10] = '\0';
    const std::string q = std::string(500, 'a') + "b";
    cell.replace(cell.size() - q.size(), q.size(), q);
    EXPECT_EQ(csv_substr(cell.data(), cell.size(), q.c_str(), 0), 0);
    EXPECT_EQ(csv_substr(cell.data(), cell.size(), q.c_str(), 1), 1);
    cell[10] = 'a';
    EXPECT_EQ(csv_substr(cell.data(), cell.size(), q.c_str(), 0), 1);
}

}  // namespace
