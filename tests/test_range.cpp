// Loading byte ranges of a file: the blocks of any cut, loaded with the
// states their maps compose to, give exactly the rows of a whole load,
// whatever the blocks' edges cut (quoted line ends and delimiters, CRLF,
// malformed quotes, marks, UTF-16 units); plus the edges one by one, the
// errors, and the allocation-failure sweep over the new paths.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
static size_t heap_in_use() { return __sanitizer_get_current_allocated_bytes(); }
#else
static size_t heap_in_use() { return 0; }  // only the sanitizer runtimes count exactly
#endif

namespace {

using vtest::gzip;
using vtest::write_temp;
using Rows = std::vector<std::vector<std::string>>;

using Range = vtest::CleanHandles;

// How a file is read: the arguments every call of a case shares.
struct Reading {
    int has_header = 1;
    int delimiter = 0;
    int encoding = 0;
    const char *name = nullptr;
};

// What a load gave: rows padded to `width`, headers, warning counts.
struct Loaded {
    Rows rows;
    std::vector<std::string> headers;
    int64_t ragged = 0, blank = 0, unterminated = 0;
    uint64_t invalid_utf8 = 0;
};

Loaded take(int h, int32_t width) {
    Loaded out;
    EXPECT_GE(h, 0) << csv_last_error();
    if (h < 0) return out;
    const csv_table *t = csv_table_get(h);
    out.headers = vtest::headers(*t);
    out.rows = vtest::rows(*t);
    for (auto &row : out.rows) row.resize(static_cast<size_t>(width > t->n_cols ? width : t->n_cols));
    out.ragged = t->ragged;
    out.blank = t->blank;
    out.unterminated = t->unterminated_quote;
    out.invalid_utf8 = t->load.invalid_utf8_bytes;
    csv_close(h);
    return out;
}

Loaded whole(const std::string &path, const Reading &r) {
    const int h = r.name != nullptr ? csv_load_encoding(path.c_str(), r.has_header, r.delimiter, r.name, nullptr, nullptr)
                                    : csv_load_ex(path.c_str(), r.has_header, r.delimiter, r.encoding);
    return take(h, 0);
}

int load_range(const std::string &path, const Reading &r, int64_t offset, int64_t length, int state) {
    return csv_load_range(path.c_str(), r.has_header, r.delimiter, r.encoding, r.name, offset, length,
                          state, nullptr, nullptr);
}

// The file cut at `cuts` (ascending, inside the file), every block scanned
// for its map and loaded with the state composed from the maps before it:
// the blocks' rows, in order, and their warnings added up.
Loaded blocks(const std::string &path, const Reading &r, const std::vector<int64_t> &cuts,
              int64_t size, int32_t width) {
    Loaded all;
    int state = 0;
    std::vector<int64_t> edges = {0};
    edges.insert(edges.end(), cuts.begin(), cuts.end());
    edges.push_back(size);
    for (size_t i = 0; i + 1 < edges.size(); ++i) {
        const int64_t off = edges[i], len = edges[i + 1] - edges[i];
        Loaded part = take(load_range(path, r, off, len, state), width);
        for (auto &row : part.rows) all.rows.push_back(row);
        all.ragged += part.ragged;
        all.blank += part.blank;
        all.unterminated += part.unterminated;
        all.invalid_utf8 += part.invalid_utf8;
        if (part.rows.size() != 0 && r.has_header) {
            // Every block's columns are the file's, as far as its rows reach.
            for (size_t k = 0; k < part.headers.size(); ++k)
                if (k < all.headers.size()) EXPECT_EQ(part.headers[k], all.headers[k]);
            if (part.headers.size() > all.headers.size()) all.headers = part.headers;
        }
        int32_t map[CSV_RANGE_STATES];
        EXPECT_EQ(csv_range_scan(path.c_str(), r.delimiter, r.encoding, r.name, off, len, map), 0)
            << csv_last_error();
        state = map[state];
    }
    return all;
}

struct SplitCase {
    const char *name;
    std::string text;
    int delimiter;
};

// Texts whose records and fields cross block edges in every way the
// parser knows.
std::vector<SplitCase> split_cases() {
    return {
        {"quoted_line_ends", "id,text,n\r\n1,\"a,b\nc\",3\r\n2,\"x\"\"y\r\nz\",4\n3,plain,5\r\n4,\"\",6\n5,\"q\n\"\"\n,\",7\n", 0},
        {"malformed_quotes", "a,b\na\"b,\"x\"tail\"s,y\n\"p\"q\"r,s\nu\"v\nw,\"t\"\"\"z\n\"x\"\ny\n", 0},
        {"quote_inside_unquoted", "a,b\nx\"y,1\n2,\"3\n4\"\nz\"w,\"5\n\"\n6,7\n", 0},
        {"blank_lines", "h1,h2\n\n1,2\n\n\n3,4\n\n", 0},
        {"cr_only", "a,b\r1,2\r\"x\ry\",3\r\r4,\"\r\n\"\r", 0},
        {"mark_and_crlf", "\xEF\xBB\xBF" "a,b\r\n1,2\r\n\"3\r\n\",4\r\n", 0},
        {"unterminated", "a,b\n1,\"open\n2,3\n4,5", 0},
        {"mark_inside", "a\n\xEF\xBB\xBFx\n\xEF\xBB\xBF\n", 0},
        {"ragged", "a,b\n1,2,3,4\n5\n,\n\"6\",7,8\n", 0},
        {"detected_semicolon", "x;y\n\"1;2\";3\n\"4\n5\";\"6\"\"\"\n", 0},
        {"tab", "a\tb\n\"1\t2\"\t3\r\n4\t\"5\r\n6\"\n", '\t'},
        {"no_final_line_end", "a,b\n1,2\n\"3\",\"4\"", 0},
        {"only_header", "a,b,c\n", 0},
        {"not_utf8", "a\xff,b\n\xfe" "1,2\n\"x\xc3\ny\",\xe2\x82\n\xc3\xa9,\xf0\n", 0},
        {"empty", "", 0},
    };
}

class RangeSplit : public Range, public ::testing::WithParamInterface<SplitCase> {};

// Every block size 1..N and every single cut: the blocks' rows are the
// whole load's, with and without a header, and so are the warnings.
TEST_P(RangeSplit, BlocksGiveTheWholeLoadsRows) {
    const SplitCase &c = GetParam();
    const std::string path = write_temp(std::string("split-") + c.name + ".csv", c.text);
    const int64_t n = static_cast<int64_t>(c.text.size());
    for (int has_header = 0; has_header <= 1; ++has_header) {
        Reading r;
        r.has_header = has_header;
        r.delimiter = c.delimiter;
        const Loaded want = whole(path, r);
        const int32_t width = static_cast<int32_t>(want.headers.size());
        std::vector<std::vector<int64_t>> cuts_list;
        for (int64_t b = 1; b <= n; ++b) {
            std::vector<int64_t> cuts;
            for (int64_t o = b; o < n; o += b) cuts.push_back(o);
            cuts_list.push_back(cuts);
        }
        for (int64_t k = 1; k < n; ++k) cuts_list.push_back({k});
        for (const auto &cuts : cuts_list) {
            const Loaded got = blocks(path, r, cuts, n, width);
            const std::string where = "header " + std::to_string(has_header) + ", first cut " +
                                      (cuts.empty() ? std::string("none") : std::to_string(cuts[0])) +
                                      ", " + std::to_string(cuts.size()) + " cuts";
            EXPECT_EQ(got.rows, want.rows) << where;
            EXPECT_EQ(got.ragged, want.ragged) << where;
            EXPECT_EQ(got.blank, want.blank) << where;
            EXPECT_EQ(got.unterminated, want.unterminated) << where;
            EXPECT_EQ(got.invalid_utf8, want.invalid_utf8) << where;
            if (has_header && !want.rows.empty()) EXPECT_EQ(got.headers, want.headers) << where;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, RangeSplit, ::testing::ValuesIn(split_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

std::string to_utf16(const std::string &ascii_or_utf8, bool big_endian, bool bom) {
    std::string out;
    if (bom) out += big_endian ? "\xFE\xFF" : "\xFF\xFE";
    // The texts here hold ASCII and U+00E9 (C3 A9) only.
    for (size_t i = 0; i < ascii_or_utf8.size(); ++i) {
        unsigned u = static_cast<unsigned char>(ascii_or_utf8[i]);
        if (u == 0xC3) u = 0xC0 | (static_cast<unsigned char>(ascii_or_utf8[++i]) & 0x3F);
        const char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
        if (big_endian) { out += hi; out += lo; }
        else { out += lo; out += hi; }
    }
    return out;
}

struct Utf16Case {
    const char *name;
    bool big_endian;
    bool bom;
    int encoding;
};

class RangeUtf16 : public Range, public ::testing::WithParamInterface<Utf16Case> {};

// UTF-16 text cut at every even offset gives the whole load's rows.
TEST_P(RangeUtf16, EvenCutsGiveTheWholeLoadsRows) {
    const Utf16Case &c = GetParam();
    const std::string text = to_utf16("id,t\r\n1,\"\xC3\xA9,\n\"\"x\"\r\n2,y\"z\r\n\"3\"w,\"\r\n\"\n", c.big_endian, c.bom);
    const std::string path = write_temp(std::string("u16-") + c.name + ".csv", text);
    const int64_t n = static_cast<int64_t>(text.size());
    Reading r;
    r.encoding = c.encoding;
    const Loaded want = whole(path, r);
    ASSERT_EQ(want.rows.size(), 3u);
    for (int64_t b = 2; b <= n; b += 2) {
        std::vector<int64_t> cuts;
        for (int64_t o = b; o < n; o += b) cuts.push_back(o);
        EXPECT_EQ(blocks(path, r, cuts, n, 2).rows, want.rows) << "block size " << b;
    }
    // Odd offsets and odd lengths that stop short of the end are refused.
    EXPECT_EQ(load_range(path, r, 3, 4, -1), -1);
    EXPECT_STREQ(csv_last_error(), "UTF-16 text splits only at even offsets: offset 3, length 4");
    EXPECT_EQ(load_range(path, r, 2, 5, -1), -1);
    EXPECT_EQ(load_range(path, r, 2, n, -1) >= 0, true) << csv_last_error();
}

INSTANTIATE_TEST_SUITE_P(Orders, RangeUtf16,
                         ::testing::Values(Utf16Case{"le_mark", false, true, 0},
                                           Utf16Case{"be_mark", true, true, 0},
                                           Utf16Case{"le_given", false, false, 2},
                                           Utf16Case{"be_given", true, false, 3}),
                         [](const auto &info) { return std::string(info.param.name); });

// A file of single-byte text ("latin1") cuts anywhere; one whose
// characters span bytes cannot be cut.
TEST_F(Range, NamedEncodings) {
    const std::string text = "nom,ville\n\"Ren\xE9\n\",\"Orl\xE9\x61ns\"\n\xE9t\xE9,x\n";
    const std::string path = write_temp("latin1.csv", text);
    Reading r;
    r.name = "latin1";
    const Loaded want = whole(path, r);
    const int64_t n = static_cast<int64_t>(text.size());
    for (int64_t b = 1; b <= n; ++b) {
        std::vector<int64_t> cuts;
        for (int64_t o = b; o < n; o += b) cuts.push_back(o);
        EXPECT_EQ(blocks(path, r, cuts, n, 2).rows, want.rows) << "block size " << b;
    }
    r.name = "shift_jis";
    EXPECT_EQ(load_range(path, r, 0, 10, 0), -1);
    EXPECT_STREQ(csv_last_error(),
                 "cannot load a byte range of shift_jis text: a character may span the cut (load the whole file)");
    r.name = "no-such-encoding";
    EXPECT_EQ(load_range(path, r, 0, 10, 0), -1);
    EXPECT_STREQ(csv_last_error(), "unknown encoding: no-such-encoding");
}

// Scans and loads skip from quote to quote where the delimiter allows it:
// over random texts dense in quotes, delimiters and line ends, every range's
// map and every range's load from every state are those of the automaton
// stepped one byte at a time.
TEST_F(Range, QuoteSkipsAgreeWithEveryByteStepped) {
    struct Bytewise {
        explicit Bytewise(int on) { csv_range_bytewise_for_tests(on); }
        ~Bytewise() { csv_range_bytewise_for_tests(0); }
    };
    const char alphabet[] = {'"', '"', ',', ';', '\t', '\r', '\n', '\n', 'a', 'b', '\xA7'};
    const int delimiters[] = {',', ';', '\t', 0xA7, 0};
    uint64_t seed = 0x9E3779B97F4A7C15u;
    auto next = [&seed](uint64_t n) {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        return seed % n;
    };
    for (int round = 0; round < 60; ++round) {
        std::string text = "h1,h2\n";
        const uint64_t len = 20 + next(200);
        for (uint64_t i = 0; i < len; ++i) text += alphabet[next(sizeof alphabet)];
        const std::string path = write_temp("skips.csv", text);
        Reading r;
        r.delimiter = delimiters[round % 5];
        const int64_t n = static_cast<int64_t>(text.size());
        for (int trial = 0; trial < 8; ++trial) {
            const int64_t off = static_cast<int64_t>(next(static_cast<uint64_t>(n)));
            const int64_t length = 1 + static_cast<int64_t>(next(static_cast<uint64_t>(n - off)));
            int32_t fast[CSV_RANGE_STATES], slow[CSV_RANGE_STATES];
            ASSERT_EQ(csv_range_scan(path.c_str(), r.delimiter, 0, nullptr, off, length, fast), 0);
            {
                Bytewise on(1);
                ASSERT_EQ(csv_range_scan(path.c_str(), r.delimiter, 0, nullptr, off, length, slow), 0);
            }
            const std::string where = "round " + std::to_string(round) + ", bytes " +
                                      std::to_string(off) + "+" + std::to_string(length);
            EXPECT_EQ(std::vector<int32_t>(fast, fast + CSV_RANGE_STATES),
                      std::vector<int32_t>(slow, slow + CSV_RANGE_STATES)) << where;
            for (int state = -1; state < CSV_RANGE_STATES; ++state) {
                const Loaded got = take(load_range(path, r, off, length, state), 0);
                Loaded want;
                {
                    Bytewise on(1);
                    want = take(load_range(path, r, off, length, state), 0);
                }
                EXPECT_EQ(got.rows, want.rows) << where << ", state " << state;
                EXPECT_EQ(got.unterminated, want.unterminated) << where << ", state " << state;
            }
        }
    }
}

// The edges one by one, on "h\n"x\ny"\nz\n": bytes 2..6 are a quoted field.
TEST_F(Range, EdgesOneByOne) {
    const std::string path = write_temp("edges.csv", "h\n\"x\ny\"\nz\n");
    Reading r;
    struct Edge {
        int64_t offset, length;
        Rows rows;
    } edges[] = {
        {0, 4, {{"x\ny"}}},  // the record runs on past the block's end
        {4, 6, {{"z"}}},     // starts inside the quoted field: its record is not this block's
        {3, 4, {}},          // no record starts here
        {8, 2, {{"z"}}},     // the last block
        {10, 5, {}},         // at the end
        {99, 5, {}},         // past the end
        {0, 1, {}},          // the header only
    };
    for (const Edge &e : edges) {
        const int h = load_range(path, r, e.offset, e.length, -1);
        ASSERT_GE(h, 0) << csv_last_error();
        EXPECT_EQ(vtest::rows(*csv_table_get(h)), e.rows) << "offset " << e.offset;
        EXPECT_EQ(vtest::headers(*csv_table_get(h)), std::vector<std::string>{"h"}) << "offset " << e.offset;
        csv_close(h);
    }
    // The state given is the one used: told it is outside quotes at byte 3,
    // the load finds a record at the LF of byte 4's successor.
    const int h = load_range(path, r, 3, 3, 2);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_EQ(vtest::rows(*csv_table_get(h)), (Rows{{"y\""}}));
}

// A CRLF cut between two blocks: the LF belongs to the record the CR ends.
TEST_F(Range, CrlfCutBetweenBlocks) {
    const std::string path = write_temp("crlf.csv", "a\r\nb\r\n");
    Reading r;
    r.has_header = 0;
    int32_t map[CSV_RANGE_STATES];
    ASSERT_EQ(csv_range_scan(path.c_str(), 0, 0, nullptr, 0, 2, map), 0);
    const int h0 = load_range(path, r, 0, 2, 0);
    const int h1 = load_range(path, r, 2, 4, map[0]);
    EXPECT_EQ(vtest::rows(*csv_table_get(h0)), (Rows{{"a"}}));
    EXPECT_EQ(vtest::rows(*csv_table_get(h1)), (Rows{{"b"}}));
}

// A gzip file loads whole as its one range, and cannot be cut.
TEST_F(Range, GzipLoadsOnlyWhole) {
    const std::string bytes = gzip("a,b\n1,\"2\n3\"\n4,5\n");
    const std::string path = write_temp("whole.csv.gz", bytes);
    Reading r;
    const int h = load_range(path, r, 0, static_cast<int64_t>(bytes.size()), 0);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_EQ(vtest::rows(*csv_table_get(h)), (Rows{{"1", "2\n3"}, {"4", "5"}}));
    EXPECT_EQ(load_range(path, r, 0, 5, 0), -1);
    EXPECT_EQ(csv_last_error(), "cannot load a byte range of a gzip file: " + path + " (a gzip file loads whole)");
    int32_t map[CSV_RANGE_STATES];
    EXPECT_EQ(csv_range_scan(path.c_str(), 0, 0, nullptr, 0, 5, map), -1);
}

TEST_F(Range, ErrorsAreClear) {
    const std::string path = write_temp("errors.csv", "a,b\n1,2\n");
    Reading r;
    struct Bad {
        int64_t offset, length;
        int state;
        std::string message;
    } bad[] = {
        {-1, 4, 0, "invalid byte range: offset -1, length 4"},
        {0, -4, 0, "invalid byte range: offset 0, length -4"},
        {0, 4, 6, "invalid start state: 6"},
        {0, 4, -2, "invalid start state: -2"},
    };
    for (const Bad &b : bad) {
        EXPECT_EQ(load_range(path, r, b.offset, b.length, b.state), -1);
        EXPECT_EQ(csv_last_error(), b.message);
    }
    EXPECT_EQ(csv_load_range(nullptr, 1, 0, 0, nullptr, 0, 1, 0, nullptr, nullptr), -1);
    EXPECT_STREQ(csv_last_error(), "path is NULL");
    EXPECT_EQ(csv_range_scan(path.c_str(), 0, 0, nullptr, 0, 1, nullptr), -1);
    EXPECT_STREQ(csv_last_error(), "out_map is NULL");
    const std::string missing = vtest::temp_path("missing.csv");
    EXPECT_EQ(load_range(missing, r, 0, 1, 0), -1);
    EXPECT_EQ(csv_last_error(), "cannot open file: " + missing + " (No such file or directory)");
    EXPECT_EQ(csv_load_range(path.c_str(), 1, 300, 0, nullptr, 0, 4, 0, nullptr, nullptr), -1);
    EXPECT_STREQ(csv_last_error(), "invalid delimiter: 300");
    EXPECT_EQ(csv_load_range("/dev/null", 1, 0, 0, nullptr, 0, 4, 0, nullptr, nullptr), -1);
    EXPECT_STREQ(csv_last_error(), "cannot load a byte range of /dev/null: not a regular file");
}

// A long record in a block of a larger file: only the block and that record
// are read, so the bytes the load allocates stay near the block's size.
TEST_F(Range, MemoryStaysWithTheBlock) {
    std::string text = "a,b\n";
    while (text.size() < (1u << 20)) text += "1234567,\"x\ny\"\n";
    const std::string path = write_temp("big.csv", text);
    Reading r;
    int32_t map[CSV_RANGE_STATES];
    ASSERT_EQ(csv_range_scan(path.c_str(), 0, 0, nullptr, 0, 500000, map), 0);
    csv_alloc_fail_after(-1);
    const int h = load_range(path, r, 500000, 1000, map[0]);
    const int64_t made = csv_alloc_fail_after(-1);
    ASSERT_GE(h, 0) << csv_last_error();
    int64_t starts = 0;  // records of 14 bytes each start at 4, 18, 32, ...
    for (int64_t at = 4; at < 501000; at += 14) starts += at >= 500000;
    EXPECT_EQ(csv_table_get(h)->n_rows, starts);
    EXPECT_LT(made, 40) << "allocations of a 1000-byte block";
    EXPECT_LT(csv_table_get(h)->blob_cap, 70000u) << "the block's text is small";
}

// The n-th allocation fails, for every n a range load or scan makes: each
// run fails with a message, frees everything and takes no slot.
TEST_F(Range, AllocationFailureSweep) {
    const std::string plain = write_temp("sweep.csv", "a,b\n1,\"2\n\"\n3,4\n\"5\",6\n");
    const std::string wide = write_temp("sweep16.csv", to_utf16("a,b\n1,\"2\n\"\n3,4\n", false, true));
    const std::string latin = write_temp("sweep-latin.csv", "a,b\n\xE9,\"2\n\"\n3,4\n");
    struct Call {
        const std::string *path;
        const char *name;
        int64_t offset, length;
        int state;
        bool scan;
    } calls[] = {
        {&plain, nullptr, 0, 9, 0, false},   {&plain, nullptr, 9, 8, -1, false},
        {&plain, nullptr, 6, 30, -1, false}, {&plain, nullptr, 30, 30, -1, false},
        {&plain, nullptr, 4, 9, 0, true},    {&wide, nullptr, 8, 6, -1, false},
        {&latin, "latin1", 5, 9, -1, false}, {&latin, "utf-8", 5, 9, -1, false},
    };
    for (const Call &c : calls) {
        auto run = [&]() -> int {
            if (c.scan) {
                int32_t map[CSV_RANGE_STATES];
                return csv_range_scan(c.path->c_str(), 0, 0, c.name, c.offset, c.length, map);
            }
            return csv_load_range(c.path->c_str(), 1, 0, 0, c.name, c.offset, c.length, c.state,
                                  nullptr, nullptr);
        };
        csv_alloc_fail_after(-1);
        const int ok = run();
        const int64_t made = csv_alloc_fail_after(-1);
        ASSERT_GE(ok, 0) << csv_last_error();
        csv_close(ok);
        for (int64_t n = 0; n < made; ++n) {
            const size_t before = heap_in_use();
            csv_alloc_fail_after(n);
            const int h = run();
            csv_alloc_fail_after(-1);
            EXPECT_EQ(h, -1) << "allocation " << n << " of " << made << " at offset " << c.offset;
            EXPECT_NE(std::string(csv_last_error()).find("out of memory"), std::string::npos)
                << csv_last_error();
            EXPECT_LE(heap_in_use(), before) << "allocation " << n << ": bytes left allocated";
            EXPECT_EQ(csv_row_count(0), -1);
        }
    }
}

}  // namespace
