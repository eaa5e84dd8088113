// Tests of the csv_encoding module: UTF-16 to UTF-8 transcoding and
// delimiter detection.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "csv_internal.h"
#include "test_util.h"

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

/* ---- piece-wise decoding ------------------------------------------------- */

// Decodes `in` the way the file reader does: pieces of the given sizes,
// the bytes a piece leaves carried to the front of the next one.
std::string decode_in_pieces(const std::string &in, bool be, const std::vector<size_t> &sizes) {
    uint64_t cap = csv_utf16_out_cap(in.size());
    char *out = static_cast<char *>(csv_malloc(cap));
    EXPECT_NE(out, nullptr);
    uint64_t w = 0;
    std::string carry;
    size_t at = 0, k = 0;
    for (;;) {
        size_t take = std::min(sizes[k++ % sizes.size()], in.size() - at);
        std::string piece = carry + in.substr(at, take);
        at += take;
        const int32_t last = at == in.size();
        uint64_t used = 99;
        int rc = csv_utf16_decode_piece(reinterpret_cast<const unsigned char *>(piece.data()),
                                        piece.size(), be, last, &out, &cap, &w, &used);
        EXPECT_EQ(rc, 0);
        EXPECT_LE(used, piece.size());
        if (!last) EXPECT_LE(piece.size() - used, 3u) << "a piece keeps at most 3 bytes back";
        carry = piece.substr(used);
        if (last) break;
    }
    std::string text(out, w);
    csv_free(out);
    return text;
}

// Every way of cutting the input into pieces gives the text of one whole
// decode: units and surrogate pairs cut by a piece boundary are completed
// by the next piece, and a lone trailing high surrogate stays U+FFFD.
TEST(Utf16Pieces, AnyCutMatchesTheWholeDecode) {
    std::mt19937 rng(4242);
    const uint16_t pool[] = {'a', ',', '\n', 0x0000, 0x00E9, 0x07FF, 0x0800, 0x20AC,
                             0xD83D, 0xDE00, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFFFF};
    for (int iter = 0; iter < 3000; ++iter) {
        std::vector<uint16_t> us;
        const size_t n = rng() % 90;
        for (size_t k = 0; k < n; ++k)
            us.push_back(rng() % 3 == 0 ? static_cast<uint16_t>('a' + rng() % 26)
                                        : pool[rng() % (sizeof pool / sizeof pool[0])]);
        const bool be = rng() % 2;
        std::string in = units(us, be);
        if (rng() % 3 == 0) in.push_back('\x7A');
        int32_t odd;
        const std::string want = reference_utf16(in, be, 0, &odd);
        std::vector<size_t> sizes;
        for (int k = 0; k < 4; ++k) sizes.push_back(1 + rng() % 40);
        ASSERT_EQ(hex(decode_in_pieces(in, be, sizes)), hex(want)) << "iteration " << iter;
    }
}

TEST(Utf16Pieces, PieceOfOnlyAPartialUnitConsumesNothing) {
    const std::string in = bytes({0x3D, 0xD8, 0x00});  // high surrogate, then half a unit
    uint64_t cap = csv_utf16_out_cap(in.size());
    char *out = static_cast<char *>(csv_malloc(cap));
    ASSERT_NE(out, nullptr);
    uint64_t w = 0, used = 99;
    ASSERT_EQ(csv_utf16_decode_piece(reinterpret_cast<const unsigned char *>(in.data()), 3, 0, 0,
                                     &out, &cap, &w, &used), 0);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(w, 0u);
    csv_free(out);
}

TEST(Utf16Pieces, OutputCapacityIsOneAndAHalfPerBytePlusEight) {
    EXPECT_EQ(csv_utf16_out_cap(0), 8u);
    EXPECT_EQ(csv_utf16_out_cap(14), 29u);
    EXPECT_EQ(csv_utf16_out_cap(15), 30u);
    EXPECT_EQ(csv_utf16_out_cap(UINT64_MAX), 0u) << "overflow";
}

/* ---- whole files read and decoded piece by piece ------------------------- */

// Mostly ASCII UTF-16 text of about `units_n` units with a surrogate pair,
// a lone high surrogate, U+0000 and a two-byte character every few thousand
// units, at offsets that drift, so that they meet the boundaries of the
// pieces a file is read in at every position.
std::vector<uint16_t> long_text(size_t units_n) {
    std::vector<uint16_t> us;
    for (size_t k = 0; us.size() < units_n; ++k) {
        for (size_t j = 0; j < 4093 + k % 7; ++j) us.push_back(static_cast<uint16_t>('a' + (j % 26)));
        switch (k % 4) {
            case 0: us.push_back(0xD83D), us.push_back(0xDE00); break;
            case 1: us.push_back(0xDBFF); break;
            case 2: us.push_back(0x0000); break;
            default: us.push_back(0x00E9); break;
        }
        if (k % 50 == 0) us.push_back('\n');
    }
    return us;
}

// Only surrogate pairs, lone surrogates and other units that do not go the
// ASCII way, in a cycle of 14 bytes: every boundary of the pieces a file is
// read in cuts through one of them.
std::vector<uint16_t> dense_text(size_t units_n) {
    const uint16_t cycle[] = {0xD83D, 0xDE00, 0x00E9, 0xDBFF, 0x0000, 0x20AC, 0xDC00};
    std::vector<uint16_t> us;
    for (size_t k = 0; us.size() < units_n; ++k) us.push_back(cycle[k % 7]);
    return us;
}

struct LongSourceCase {
    const char *name;
    bool be;
    bool mark;
    bool odd_byte;
    int32_t encoding;
    bool dense = false;
};
void PrintTo(const LongSourceCase &c, std::ostream *os) { *os << c.name; }

class LongSource : public ::testing::TestWithParam<LongSourceCase> {};

// A file many pieces long gives the text of decoding it whole.
TEST_P(LongSource, MatchesTheWholeDecode) {
    const LongSourceCase &c = GetParam();
    std::string in = units(c.dense ? dense_text(500000) : long_text(700000), c.be);
    if (c.mark) in = (c.be ? bytes({0xFE, 0xFF}) : bytes({0xFF, 0xFE})) + in;
    if (c.odd_byte) in.push_back('\x41');
    const std::string path = vtest::write_temp(std::string("long-") + c.name, in);
    int32_t odd_want;
    const std::string want = reference_utf16(in, c.be, c.mark ? 2 : 0, &odd_want);

    char *text = nullptr;
    uint64_t len = 0;
    int32_t truncated = -1;
    ASSERT_EQ(csv_read_source(path.c_str(), c.encoding, &text, &len, &truncated), 0)
        << csv_last_error();
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(std::string(text, len) == want);
    EXPECT_EQ(text[len], '\0');
    EXPECT_EQ(truncated, odd_want);
    csv_free(text);
}

INSTANTIATE_TEST_SUITE_P(
    Files, LongSource,
    ::testing::Values(LongSourceCase{"le_mark_detected", false, true, false, 0},
                      LongSourceCase{"be_mark_detected", true, true, false, 0},
                      LongSourceCase{"le_no_mark_detected", false, false, false, 0},
                      LongSourceCase{"be_no_mark_detected_odd", true, false, true, 0},
                      LongSourceCase{"le_mark_odd", false, true, true, 0},
                      LongSourceCase{"le_named_no_mark", false, false, false, 2},
                      LongSourceCase{"be_named_mark_odd", true, true, true, 3},
                      LongSourceCase{"le_mark_dense", false, true, false, 0, true},
                      LongSourceCase{"be_no_mark_dense_odd", true, false, true, 3, true}),
    [](const ::testing::TestParamInfo<LongSourceCase> &i) { return std::string(i.param.name); });

// A long file used unchanged comes back byte for byte, the first 4096
// bytes (read to choose the encoding) and the rest alike.
TEST(LongSourceUnchanged, BytesComeBackWhole) {
    std::string in;
    for (int k = 0; in.size() < 300000; ++k) in += "row " + std::to_string(k) + ",caf\xC3\xA9\n";
    const std::string path = vtest::write_temp("long-utf8", in);
    for (int32_t encoding : {0, 1}) {
        char *text = nullptr;
        uint64_t len = 0;
        int32_t truncated = -1;
        ASSERT_EQ(csv_read_source(path.c_str(), encoding, &text, &len, &truncated), 0);
        EXPECT_TRUE(std::string(text, len) == in);
        EXPECT_EQ(text[len], '\0');
        EXPECT_EQ(truncated, 0);
        csv_free(text);
    }
}

// A decoded file takes one buffer for the bytes read and one for the text;
// each failing allocation is reported as its step and leaves nothing.
TEST(LongSourceFailure, EachAllocationFailsCleanly) {
    const std::string in = bytes({0xFF, 0xFE}) + units(long_text(200000), false);
    const std::string path = vtest::write_temp("long-oom", in);
    const std::string steps[] = {
        "out of memory: cannot allocate 262144 bytes to read " + path,
        "out of memory while transcoding UTF-16",
    };
    for (int64_t n = 0; n < 2; ++n) {
        char *text = reinterpret_cast<char *>(0x1);
        uint64_t len = 99;
        csv_alloc_fail_after(n);
        int rc = csv_read_source(path.c_str(), 0, &text, &len, nullptr);
        csv_alloc_fail_after(-1);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(text, nullptr);
        EXPECT_EQ(len, 0u);
        EXPECT_EQ(csv_last_error(), steps[n]);
    }
    csv_alloc_fail_after(-1);
    char *text = nullptr;
    uint64_t len = 0;
    ASSERT_EQ(csv_read_source(path.c_str(), 0, &text, &len, nullptr), 0);
    EXPECT_EQ(csv_alloc_fail_after(-1), 2) << "the read buffer and the text";
    csv_free(text);
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
