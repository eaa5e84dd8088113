// Tests of the csv_encoding module: UTF-16 to UTF-8 transcoding and
// delimiter detection.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>
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

// Runs the transcoder and frees its buffer; `ok` false when it failed.
struct Transcoded {
    int rc = -2;
    std::string text;
    uint64_t len = 0;
    int32_t odd = -1;
    bool nul_after = false;
};

Transcoded transcode(const std::string &in, int32_t be, uint64_t skip) {
    Transcoded r;
    char *out = reinterpret_cast<char *>(0x1);
    r.len = 12345;
    r.rc = csv_utf16_to_utf8(reinterpret_cast<const unsigned char *>(in.data()),
                             in.size(), be, skip, &out, &r.len, &r.odd);
    if (r.rc == 0 && out != nullptr) {
        r.text.assign(out, r.len);
        r.nul_after = out[r.len] == '\0';
        csv_free(out);
    }
    return r;
}

// Straightforward unit-by-unit decoder the library must agree with.
std::string reference_utf16(const std::string &in, bool be, uint64_t skip, int32_t *odd) {
    const unsigned char *d = reinterpret_cast<const unsigned char *>(in.data());
    uint64_t len = in.size();
    uint64_t p = skip < len ? skip : len;
    *odd = static_cast<int32_t>((len - p) % 2);
    auto unit = [&](uint64_t at) -> uint32_t {
        return be ? (d[at] << 8 | d[at + 1]) : (d[at + 1] << 8 | d[at]);
    };
    std::string out;
    auto put = [&](uint32_t x) { out.push_back(static_cast<char>(x)); };
    while (p + 1 < len) {
        uint32_t u = unit(p);
        if (u >= 0xD800 && u <= 0xDBFF && p + 3 < len && unit(p + 2) >= 0xDC00 &&
            unit(p + 2) <= 0xDFFF) {
            uint32_t x = 0x10000 + ((u - 0xD800) << 10) + (unit(p + 2) - 0xDC00);
            put(0xF0 | (x >> 18));
            put(0x80 | ((x >> 12) & 0x3F));
            put(0x80 | ((x >> 6) & 0x3F));
            put(0x80 | (x & 0x3F));
            p += 4;
            continue;
        }
        if (u >= 0xD800 && u <= 0xDFFF) {
            put(0xEF), put(0xBF), put(0xBD);
        } else if (u == 0) {
        } else if (u < 0x80) {
            put(u);
        } else if (u < 0x800) {
            put(0xC0 | (u >> 6)), put(0x80 | (u & 0x3F));
        } else {
            put(0xE0 | (u >> 12)), put(0x80 | ((u >> 6) & 0x3F)), put(0x80 | (u & 0x3F));
        }
        p += 2;
    }
    return out;
}

// Encodes code units in the given byte order.
std::string units(const std::vector<uint16_t> &us, bool be) {
    std::string s;
    for (uint16_t u : us) {
        char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        s.push_back(be ? hi : lo);
        s.push_back(be ? lo : hi);
    }
    return s;
}

/* ---- UTF-16 cases ------------------------------------------------------- */

struct Utf16Case {
    const char *name;
    std::string input;
    int32_t be;
    uint64_t skip;
    std::string expected;
    int32_t odd;
};

class Utf16Cases : public ::testing::TestWithParam<Utf16Case> {};

TEST_P(Utf16Cases, Transcodes) {
    const Utf16Case &c = GetParam();
    Transcoded r = transcode(c.input, c.be, c.skip);
    ASSERT_EQ(r.rc, 0) << csv_last_error();
    EXPECT_EQ(hex(r.text), hex(c.expected));
    EXPECT_EQ(r.len, c.expected.size());
    EXPECT_EQ(r.odd, c.odd);
    EXPECT_TRUE(r.nul_after);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf16Cases,
    ::testing::Values(
        Utf16Case{"LeAscii", bytes({0x61, 0, 0x2C, 0, 0x62, 0}), 0, 0, "a,b", 0},
        Utf16Case{"BeAscii", bytes({0, 0x61, 0, 0x2C, 0, 0x62}), 1, 0, "a,b", 0},
        Utf16Case{"LeSkipBom", bytes({0xFF, 0xFE, 0x61, 0, 0x62, 0}), 0, 2, "ab", 0},
        Utf16Case{"LeLatin", bytes({0x63, 0, 0x61, 0, 0x66, 0, 0xE9, 0}), 0, 0,
                  bytes({0x63, 0x61, 0x66, 0xC3, 0xA9}), 0},
        Utf16Case{"LeEuro", bytes({0xAC, 0x20}), 0, 0, bytes({0xE2, 0x82, 0xAC}), 0},
        Utf16Case{"LePair", bytes({0x3D, 0xD8, 0x00, 0xDE}), 0, 0,
                  bytes({0xF0, 0x9F, 0x98, 0x80}), 0},
        Utf16Case{"BePair", bytes({0xD8, 0x3D, 0xDE, 0x00}), 1, 0,
                  bytes({0xF0, 0x9F, 0x98, 0x80}), 0},
        Utf16Case{"LeNulInside", bytes({0x61, 0, 0, 0, 0x62, 0}), 0, 0, "ab", 0},
        Utf16Case{"LeHighSurrogateAtEnd", bytes({0x3D, 0xD8}), 0, 0,
                  bytes({0xEF, 0xBF, 0xBD}), 0},
        Utf16Case{"LeHighSurrogateThenAscii", bytes({0x3D, 0xD8, 0x61, 0}), 0, 0,
                  bytes({0xEF, 0xBF, 0xBD, 0x61}), 0},
        Utf16Case{"LeLoneLowSurrogate", bytes({0x00, 0xDC, 0x61, 0}), 0, 0,
                  bytes({0xEF, 0xBF, 0xBD, 0x61}), 0},
        Utf16Case{"LeHighThenPair", bytes({0x3D, 0xD8, 0x3D, 0xD8, 0x00, 0xDE}), 0, 0,
                  bytes({0xEF, 0xBF, 0xBD, 0xF0, 0x9F, 0x98, 0x80}), 0},
        Utf16Case{"LeOddLength", bytes({0x61, 0, 0x62, 0, 0x63}), 0, 0, "ab", 1},
        Utf16Case{"LeHighSurrogateThenOddByte", bytes({0x3D, 0xD8, 0x00}), 0, 0,
                  bytes({0xEF, 0xBF, 0xBD}), 1},
        Utf16Case{"LeNonCharacterFFFE", bytes({0xFE, 0xFF}), 0, 0,
                  bytes({0xEF, 0xBF, 0xBE}), 0},
        Utf16Case{"LeTwoByteLow", bytes({0x80, 0x00}), 0, 0, bytes({0xC2, 0x80}), 0},
        Utf16Case{"LeTwoByteHigh", bytes({0xFF, 0x07}), 0, 0, bytes({0xDF, 0xBF}), 0},
        Utf16Case{"LeThreeByteLow", bytes({0x00, 0x08}), 0, 0, bytes({0xE0, 0xA0, 0x80}), 0},
        Utf16Case{"Empty", "", 0, 0, "", 0},
        Utf16Case{"OneByte", bytes({0x61}), 0, 0, "", 1},
        Utf16Case{"SkipBeyondLength", "ab", 0, 5, "", 0},
        // Around the block size of the ASCII fast path.
        Utf16Case{"BeLongAsciiThenPair",
                  units({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm',
                         'n', 'o', 'p', 0xD83D, 0xDE00, 'q'},
                        true),
                  1, 0, "abcdefghijklmnop" + bytes({0xF0, 0x9F, 0x98, 0x80}) + "q", 0},
        Utf16Case{"LePairAcrossBlockEnd",
                  units({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm',
                         'n', 'o', 0xD83D, 0xDE00, 'r', 's', 't', 'u', 'v', 'w', 'x', 'y',
                         'z', 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'},
                        false),
                  0, 0,
                  "abcdefghijklmno" + bytes({0xF0, 0x9F, 0x98, 0x80}) +
                      "rstuvwxyzABCDEFGH",
                  0},
        Utf16Case{"LeNulInLongRun",
                  units({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0, 'j', 'k', 'l', 'm',
                         'n', 'o', 'p', 'q', 'r'},
                        false),
                  0, 0, "abcdefghjklmnopqr", 0},
        Utf16Case{"LeOddByteAfterLongRun",
                  units({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm',
                         'n', 'o', 'p'},
                        false) + "Z",
                  0, 0, "abcdefghijklmnop", 1},
        Utf16Case{"BeSkipBomOddStart", bytes({0xFE, 0xFF, 0x00, 0x61, 0x00}), 1, 2, "a", 1}),
    [](const ::testing::TestParamInfo<Utf16Case> &info) { return std::string(info.param.name); });

TEST(Utf16, MissingArgumentsFailWithoutTouchingOutputs) {
    const unsigned char in[] = {0x61, 0x00, 0x62};
    char *out = reinterpret_cast<char *>(0x1);
    uint64_t len = 77;
    int32_t odd = 9;
    csv_set_error("before");
    EXPECT_EQ(csv_utf16_to_utf8(nullptr, 3, 0, 0, &out, &len, &odd), -1);
    EXPECT_EQ(csv_utf16_to_utf8(in, 3, 0, 0, nullptr, &len, &odd), -1);
    EXPECT_EQ(csv_utf16_to_utf8(in, 3, 0, 0, &out, nullptr, &odd), -1);
    EXPECT_EQ(out, reinterpret_cast<char *>(0x1));
    EXPECT_EQ(len, 77u);
    EXPECT_EQ(odd, 9);
    EXPECT_STREQ(csv_last_error(), "before");
}

TEST(Utf16, OddFlagIsOptional) {
    const unsigned char in[] = {0x61, 0x00, 0x62};
    char *out = nullptr;
    uint64_t len = 0;
    ASSERT_EQ(csv_utf16_to_utf8(in, 3, 0, 0, &out, &len, nullptr), 0);
    EXPECT_EQ(std::string(out, len), "a");
    csv_free(out);
}

TEST(Utf16, AnyNonZeroFlagMeansBigEndian) {
    EXPECT_EQ(transcode(bytes({0x00, 0x61, 0x20, 0xAC}), -7, 0).text,
              "a" + bytes({0xE2, 0x82, 0xAC}));
}

TEST(Utf16, AllocationFailureReportsAndKeepsOddFlag) {
    const unsigned char in[] = {0x61, 0x00, 0x62};
    char *out = reinterpret_cast<char *>(0x1);
    uint64_t len = 77;
    int32_t odd = 9;
    csv_alloc_fail_after(0);
    int rc = csv_utf16_to_utf8(in, 3, 0, 0, &out, &len, &odd);
    csv_alloc_fail_after(-1);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(odd, 1);
    EXPECT_STREQ(csv_last_error(), "out of memory while transcoding UTF-16");
}

// The first buffer holds the worst case: the call makes exactly one
// allocation whatever the input, for every length and kind of unit.
TEST(Utf16, OneAllocationSufficesForWorstCaseInput) {
    const std::vector<std::vector<uint16_t>> worst = {
        {0x20AC},          // three bytes from two
        {0xD83D, 0xDE00},  // four bytes from four
        {0xDC00},          // U+FFFD from one lone unit
        {0x00E9, 0x20AC},
    };
    for (const auto &pattern : worst) {
        for (size_t n = 0; n <= 80; ++n) {
            std::vector<uint16_t> us;
            while (us.size() < n) us.insert(us.end(), pattern.begin(), pattern.end());
            for (int be = 0; be < 2; ++be) {
                std::string in = units(us, be != 0);
                csv_alloc_fail_after(1);
                Transcoded r = transcode(in, be, 0);
                int64_t made = csv_alloc_fail_after(-1);
                ASSERT_EQ(r.rc, 0) << "units " << n;
                EXPECT_EQ(made, 1);
                int32_t odd;
                EXPECT_EQ(r.text, reference_utf16(in, be != 0, 0, &odd));
                EXPECT_LE(r.len, in.size() + in.size() / 2);
            }
        }
    }
}

// A single unusual unit at every position of a long ASCII run, so that
// every place relative to the fast path's blocks is covered.
TEST(Utf16, OddUnitAtEveryPositionOfAsciiRun) {
    const uint16_t specials[] = {0x00E9, 0x0000, 0xD83D, 0xDC00, 0x0080, 0xFFFF, 0x007F};
    for (uint16_t sp : specials) {
        for (size_t at = 0; at < 70; ++at) {
            std::vector<uint16_t> us(72, 'x');
            for (size_t k = 0; k < us.size(); ++k) us[k] = static_cast<uint16_t>('a' + k % 26);
            us[at] = sp;
            for (int be = 0; be < 2; ++be) {
                for (uint64_t skip : {0u, 2u, 3u}) {
                    std::string in = units(us, be != 0);
                    int32_t odd;
                    std::string want = reference_utf16(in, be != 0, skip, &odd);
                    Transcoded r = transcode(in, be, skip);
                    ASSERT_EQ(r.rc, 0);
                    ASSERT_EQ(hex(r.text), hex(want))
                        << "unit " << sp << " at " << at << " be " << be << " skip " << skip;
                    EXPECT_EQ(r.odd, odd);
                }
            }
        }
    }
}

TEST(Utf16, RandomInputsMatchUnitByUnitDecoding) {
    std::mt19937 rng(12345);
    const uint16_t pool[] = {'a', 'Z', ',', '\n', 0x0000, 0x00E9, 0x07FF, 0x0800,
                             0x20AC, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFEFF, 0xFFFE, 0xFFFF};
    for (int iter = 0; iter < 3000; ++iter) {
        size_t n = rng() % 120;
        std::vector<uint16_t> us;
        int ascii_bias = static_cast<int>(rng() % 4);
        for (size_t k = 0; k < n; ++k) {
            if (static_cast<int>(rng() % 4) < ascii_bias) us.push_back(static_cast<uint16_t>(0x20 + rng() % 0x5F));
            else if (rng() % 3 == 0) us.push_back(static_cast<uint16_t>(rng()));
            else us.push_back(pool[rng() % (sizeof pool / sizeof pool[0])]);
        }
        bool be = rng() % 2;
        std::string in = units(us, be);
        if (rng() % 3 == 0) in.push_back('\x41');
        uint64_t skip = rng() % 4;
        int32_t odd;
        std::string want = reference_utf16(in, be, skip, &odd);
        Transcoded r = transcode(in, be, skip);
        ASSERT_EQ(r.rc, 0);
        ASSERT_EQ(hex(r.text), hex(want)) << "iteration " << iter;
        ASSERT_EQ(r.odd, odd);
        ASSERT_TRUE(r.nul_after);
    }
}

TEST(Utf16, LargeMostlyAsciiInput) {
    std::vector<uint16_t> us;
    std::string want;
    for (int k = 0; k < 100000; ++k) {
        if (k % 97 == 0) {
            us.push_back(0x00E9);
            want += bytes({0xC3, 0xA9});
        } else {
            char c = static_cast<char>('0' + k % 10);
            us.push_back(static_cast<uint16_t>(c));
            want.push_back(c);
        }
    }
    for (int be = 0; be < 2; ++be) {
        Transcoded r = transcode(units(us, be != 0), be, 0);
        ASSERT_EQ(r.rc, 0);
        EXPECT_TRUE(r.text == want);
        EXPECT_EQ(r.odd, 0);
    }
}

/* ---- delimiter detection ------------------------------------------------ */

struct DelimCase {
    const char *name;
    std::string text;
    uint64_t start;
    int32_t expected;
};

class DelimiterCases : public ::testing::TestWithParam<DelimCase> {};

TEST_P(DelimiterCases, Detects) {
    const DelimCase &c = GetParam();
    EXPECT_EQ(csv_detect_delimiter(c.text.data(), c.text.size(), c.start), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DelimiterCases,
    ::testing::Values(
        DelimCase{"Comma", "a,b,c\n", 0, ','},
        DelimCase{"Tab", "a\tb\tc\n", 0, '\t'},
        DelimCase{"Semicolon", "a;b;c\n", 0, ';'},
        DelimCase{"Pipe", "a|b|c\n", 0, '|'},
        DelimCase{"NoCandidate", "abc\n", 0, ','},
        DelimCase{"CommaTabTie", "a,b\tc\n", 0, ','},
        DelimCase{"TabWins", "a,b\tc\td\n", 0, '\t'},
        DelimCase{"SemicolonCommaTie", "a;b,c\n", 0, ','},
        DelimCase{"PipeSemicolonTie", "a|b;c\n", 0, ';'},
        DelimCase{"PipeCommaTie", "a,b|c\n", 0, ','},
        DelimCase{"TabPipeTie", "a\tb|c\n", 0, '\t'},
        DelimCase{"PipeWins", "a,b|c|d\n", 0, '|'},
        DelimCase{"SemicolonTabTieNoNewline", ";;\t\t", 0, '\t'},
        DelimCase{"PipeSemicolonTieNoNewline", "||;;", 0, ';'},
        DelimCase{"SemicolonPipeTieAtFour", "\t\t,,,;;;;||||\n", 0, ';'},
        DelimCase{"PipeAboveSemicolonAboveBest", "a;b;c|d|e|f,g\n", 0, '|'},
        DelimCase{"QuotedCommasIgnored", "\"a,b,c\";d\n", 0, ';'},
        DelimCase{"LineBreakInsideQuotes", "\"a\nb\";c;d\n", 0, ';'},
        DelimCase{"DoubledQuote", "\"x\"\"y,z\";w\n", 0, ';'},
        DelimCase{"QuoteInsideFieldOpensSection", "a\"b,c\n", 0, ','},
        DelimCase{"UnterminatedQuote", "\"unterminated,a,b\n;;;;", 0, ','},
        DelimCase{"OnlyFirstRecord", "a;b\r\nc,d,e,f\n", 0, ';'},
        DelimCase{"RecordEndsAtOnce", "\r;;;\n", 0, ','},
        DelimCase{"HighBytesIgnored", "\xC3\xA9;\xFF,\x80;\n", 0, ';'},
        DelimCase{"Utf8BomSkipped", "\xEF\xBB\xBF" "a;b\n", 3, ';'},
        DelimCase{"StartOne", "a;b", 1, ';'},
        DelimCase{"StartTwo", "a;b", 2, ','},
        DelimCase{"StartAtLength", "a;b", 3, ','},
        DelimCase{"StartBeyondLength", "a;b", 9, ','},
        DelimCase{"Empty", "", 0, ','}),
    [](const ::testing::TestParamInfo<DelimCase> &info) { return std::string(info.param.name); });

TEST(Delimiter, NullDataIsComma) {
    EXPECT_EQ(csv_detect_delimiter(nullptr, 10, 0), ',');
    EXPECT_EQ(csv_detect_delimiter(nullptr, 0, 0), ',');
}

TEST(Delimiter, ScanStopsAtLengthNotAtNul) {
    const char text[] = "a,b\0;;;;";
    EXPECT_EQ(csv_detect_delimiter(text, 3, 0), ',');
    EXPECT_EQ(csv_detect_delimiter(text, sizeof text - 1, 0), ';');
}

}  // namespace
