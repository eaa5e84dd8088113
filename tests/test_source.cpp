// Reading sources: streams (pipes, FIFOs, /dev/stdin), files that report a
// size of 0, gzip, named encodings through iconv, the load report
// (csv_info) and the version text.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace {

using vtest::close_all;
using vtest::gzip;
using vtest::write_temp;

class Source : public ::testing::Test {
protected:
    void SetUp() override {
        close_all();
        // A writer whose reader has gone must see EPIPE, not die.
        signal(SIGPIPE, SIG_IGN);
    }
    void TearDown() override { close_all(); }
};

std::string utf16le(const std::u16string &s, bool bom) {
    std::string out;
    if (bom) out += "\xFF\xFE";
    for (char16_t u : s) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>(u >> 8));
    }
    return out;
}

std::string info(int h) {
    const char *s = csv_info(h);
    return s == nullptr ? std::string("(null) ") + csv_last_error() : s;
}

// The value text of `key` in a flat JSON object ("" when absent).
std::string field(const std::string &json, const std::string &key) {
    const std::string k = "\"" + key + "\":";
    size_t p = json.find(k);
    if (p == std::string::npos) return "";
    p += k.size();
    size_t e = p;
    if (json[p] == '"') {
        e = json.find('"', p + 1) + 1;
    } else {
        while (e < json.size() && json[e] != ',' && json[e] != '}') ++e;
    }
    return json.substr(p, e - p);
}

std::string csv_lines(int n) {
    std::string s = "id,name\n";
    for (int i = 0; i < n; ++i) s += std::to_string(i) + ",name " + std::to_string(i) + "\n";
    return s;
}

/* ---- named encodings ------------------------------------------------------ */

struct NamedCase {
    const char *name;
    const char *encoding;
    std::string bytes;
    std::string rows;  // csv_rows(h, 0, -1) expected
    uint64_t replaced;
};
void PrintTo(const NamedCase &c, std::ostream *os) { *os << c.name; }

std::vector<NamedCase> named_cases() {
    return {
        {"windows1252_euro_and_curly_quotes", "windows-1252",
         "city;note\nParis;\x80 5 \x91single\x92 \x93" "double\x94\n",
         "[{\"city\":\"Paris\",\"note\":\"€ 5 ‘single’ “double”\"}]", 0},
        {"cp1252_alias", "CP1252", "a;b\n\x80;x\n", "[{\"a\":\"€\",\"b\":\"x\"}]", 0},
        {"shift_jis", "shift_jis", "city,country\n\x93\x8c\x8b\x9e,\x93\xfa\x96\x7b\n",
         "[{\"city\":\"東京\",\"country\":\"日本\"}]", 0},
        {"gb18030_two_and_four_bytes", "gb18030",
         "a,b\n\xb1\xb1\xbe\xa9,\xa2\xe3\xa8\xa6\x81\x30\x81\x30\n",
         "[{\"a\":\"北京\",\"b\":\"€é\u0080\"}]", 0},
        {"koi8_r", "koi8-r", "word\n\xf0\xd2\xc9\xd7\xc5\xd4\n", "[{\"word\":\"Привет\"}]", 0},
        {"latin1", "latin1", "a\ncaf\xe9\n", "[{\"a\":\"café\"}]", 0},
        {"utf8_builtin", "UTF-8", "a\ncaf\xc3\xa9\n", "[{\"a\":\"café\"}]", 0},
        {"utf8_bom_skipped_by_parser", "utf8", "\xEF\xBB\xBF" "a\nx\n", "[{\"a\":\"x\"}]", 0},
        {"utf16le_builtin_mark_skipped", "utf-16le", utf16le(u"a,b\n1,é\n", true),
         "[{\"a\":\"1\",\"b\":\"é\"}]", 0},
        {"utf16be_builtin", "UTF_16BE", std::string("\0a\0,\0b\0\n\0001\0,\0002\0\n", 16),
         "[{\"a\":\"1\",\"b\":\"2\"}]", 0},
        {"utf16_through_iconv", "utf-16", utf16le(u"a\nx\n", true), "[{\"a\":\"x\"}]", 0},
        // Invalid input: each offending byte becomes U+FFFD and is counted.
        {"windows1252_undefined_byte", "windows-1252", "a\nx\x81y\n", "[{\"a\":\"x�y\"}]", 1},
        {"shift_jis_cut_at_the_end", "shift_jis", "a\n\x93\x8c\x93", "[{\"a\":\"東�\"}]", 1},
        {"shift_jis_bad_second_byte", "shift_jis", "a\n\x93\x0a", "[{\"a\":\"�\"}]", 1},
        {"utf8_invalid_bytes", "utf-8", "a\nx\xc3(\xff\n", "[{\"a\":\"x�(�\"}]", 2},
        {"utf16le_lone_surrogate", "utf-16le", utf16le(u"a\nx\xD800y\n", false),
         "[{\"a\":\"x�y\"}]", 2},
    };
}

class NamedEncoding : public Source, public ::testing::WithParamInterface<NamedCase> {};

TEST_P(NamedEncoding, ConvertsToUtf8AndCountsReplacements) {
    const NamedCase &c = GetParam();
    const std::string path = write_temp(std::string("named-") + c.name, c.bytes);
    int h = csv_load_encoding(path.c_str(), 1, 0, c.encoding, nullptr, nullptr);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_STREQ(csv_last_error(), "");
    EXPECT_EQ(csv_rows(h, 0, -1), c.rows);
    const std::string report = info(h);
    EXPECT_EQ(field(report, "encoding"), std::string("\"") + c.encoding + "\"");
    EXPECT_EQ(field(report, "encoding_detected"), "false");
    EXPECT_EQ(field(report, "replaced_bytes"), std::to_string(c.replaced));
    EXPECT_EQ(field(report, "file_size"), std::to_string(c.bytes.size()));
}

INSTANTIATE_TEST_SUITE_P(Table, NamedEncoding, ::testing::ValuesIn(named_cases()),
                         [](const auto &i) { return std::string(i.param.name); });

// Text in an encoding of 2- or 4-byte code units, named for iconv: a
// rejected unit (a lone surrogate; in UCS-2 also each half of a pair)
// becomes one U+FFFD, its bytes counted, and the units after it are read
// in step, so the rows that follow are intact.
struct WideCase {
    const char *encoding;
    int unit;         // 2 or 4 bytes
    bool big_endian;
    bool bom;         // written first (as the encoding's own mark)
    bool pairs;       // a surrogate pair is one character (UTF-16), else two rejected units
    bool builtin;     // read by the library's own UTF-16 decoder, not iconv
};
void PrintTo(const WideCase &c, std::ostream *os) { *os << c.encoding; }

// `text` (code points; U+D800..U+DFFF stand for themselves) in the units of `c`.
std::string wide_bytes(const WideCase &c, const std::u32string &text) {
    std::string out;
    auto put = [&](uint32_t u) {
        for (int i = 0; i < c.unit; ++i) {
            const int shift = 8 * (c.big_endian ? c.unit - 1 - i : i);
            out.push_back(static_cast<char>((u >> shift) & 0xFF));
        }
    };
    if (c.bom) put(0xFEFF);
    for (char32_t x : text) {
        if (x > 0xFFFF && c.unit == 2) {
            put(0xD800 + ((x - 0x10000) >> 10));
            put(0xDC00 + ((x - 0x10000) & 0x3FF));
        } else {
            put(x);
        }
    }
    return out;
}

class WideEncoding : public Source, public ::testing::WithParamInterface<WideCase> {};

TEST_P(WideEncoding, RejectedUnitKeepsTheRestInStep) {
    const WideCase &c = GetParam();
    const std::u32string text =
        U"h1,h2\nx,\U0001F600y\nz,\xD800w\xDC00v\nok,fine\n";
    const std::string path = write_temp(std::string("wide-") + c.encoding, wide_bytes(c, text));
    const int h = csv_load_encoding(path.c_str(), 1, ',', c.encoding, nullptr, nullptr);
    ASSERT_GE(h, 0) << csv_last_error();
    const std::string emoji = c.pairs ? "😀" : "��";
    EXPECT_EQ(csv_rows(h, 0, -1), "[{\"h1\":\"x\",\"h2\":\"" + emoji + "y\"},{\"h1\":\"z\",\"h2\":\"�w�v\"},"
                                  "{\"h1\":\"ok\",\"h2\":\"fine\"}]");
    EXPECT_EQ(csv_parse_warning_count(h), 0);
    const uint64_t rejected_units = c.pairs ? 2 : 4;
    EXPECT_EQ(field(info(h), "replaced_bytes"), std::to_string(rejected_units * static_cast<uint64_t>(c.unit)));
    // Cut short by the end of the text: what is left of the last unit is
    // one more U+FFFD (the library's own UTF-16 decoder warns of the odd
    // byte instead).
    const std::string cut = wide_bytes(c, U"a\nb") + std::string(static_cast<size_t>(c.unit - 1), '\x01');
    const std::string cut_path = write_temp(std::string("wide-cut-") + c.encoding, cut);
    const int k = csv_load_encoding(cut_path.c_str(), 1, ',', c.encoding, nullptr, nullptr);
    ASSERT_GE(k, 0) << csv_last_error();
    EXPECT_STREQ(csv_rows(k, 0, -1), c.builtin ? "[{\"a\":\"b\"}]" : "[{\"a\":\"b�\"}]");
    EXPECT_EQ(field(info(k), "replaced_bytes"), std::to_string(c.builtin ? 0 : c.unit - 1));
    EXPECT_EQ(csv_parse_warning_count(k), c.builtin ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Names, WideEncoding,
    // The names without a byte order take it from their mark here: what
    // they assume without one is the C library's choice.
    ::testing::Values(WideCase{"UTF-16LE", 2, false, false, true, true},
                      WideCase{"UTF-16BE", 2, true, false, true, true},
                      WideCase{"utf-16", 2, false, true, true, false},
                      WideCase{"UTF16", 2, true, true, true, false},
                      WideCase{"UCS-2LE", 2, false, false, false, false},
                      WideCase{"UCS-2BE", 2, true, false, false, false},
                      WideCase{"UNICODE", 2, false, true, false, false},
                      WideCase{"UTF-32LE", 4, false, false, true, false},
                      WideCase{"UTF-32BE", 4, true, false, true, false},
                      WideCase{"UTF-32", 4, false, true, true, false},
                      WideCase{"UTF32", 4, true, true, true, false},
                      WideCase{"UCS-4", 4, true, false, true, false},
                      WideCase{"UCS-4LE", 4, false, false, true, false}),
    [](const auto &i) {
        std::string n = i.param.encoding;
        for (char &ch : n)
            if (ch == '-') ch = '_';
        return n;
    });

// Bytes the encoding rejects cost no converter call each: a long run of
// them, or rejected bytes between valid ones, in single-byte encodings.
// Encodings with state or longer sequences still step byte by byte, and
// give the same text as ever.
TEST_F(Source, RejectedBytesCostNoConverterCallEach) {
    struct Rejecting {
        const char *encoding;
        std::string unit;  // repeated
        std::string utf8;  // the same in UTF-8
        uint64_t replaced_per_unit;
        bool few_calls;    // the conversion must not call per rejected byte
    };
    const Rejecting cases[] = {
        {"ASCII", "\x80", "�", 1, true},
        {"windows-1252", "x\x81", "x�", 1, true},
        {"latin1", "\xe9", "é", 0, true},
        {"koi8-r", "\xc1\xff", "аЪ", 0, true},
        {"ISO-8859-8", "\xe0\xff", "א�", 1, true},
        {"CP1255", "\xe0\xff", "א�", 1, false},     // holds letters back to combine them
        {"UTF-7", "a+AGE-\x80", "aa�", 1, false},    // shifts state
        {"shift_jis", "\x93\x8c\xa0", "東�", 1, false},  // sequences of two bytes
    };
    for (const Rejecting &c : cases) {
        SCOPED_TRACE(c.encoding);
        std::string in = "h\n", want = "h\n";
        while (in.size() < (1u << 20)) {
            in += c.unit;
            want += c.utf8;
        }
        const uint64_t units = (in.size() - 2) / c.unit.size();
        const std::string path = write_temp(std::string("rejecting-") + c.encoding, in);
        csv_source_opts opts{};
        opts.encoding_name = c.encoding;
        char *text = nullptr;
        uint64_t len = 0;
        csv_load_info li{};
        const uint64_t calls_before = csv_iconv_calls();
        ASSERT_EQ(csv_read_source_ex(path.c_str(), &opts, &text, &len, nullptr, &li), 0) << csv_last_error();
        const uint64_t calls = csv_iconv_calls() - calls_before;
        EXPECT_TRUE(std::string(text, len) == want);
        EXPECT_EQ(li.replaced_bytes, units * c.replaced_per_unit);
        if (c.few_calls) EXPECT_LT(calls, 100u);
        csv_free(text);
        unlink(path.c_str());
    }
}

TEST_F(Source, UnknownEncodingNamesItAndTakesNoSlot) {
    const std::string path = write_temp("unknown-enc.csv", "a\n1\n");
    EXPECT_EQ(csv_load_encoding(path.c_str(), 1, 0, "no-such-charset-42", nullptr, nullptr), -1);
    EXPECT_STREQ(csv_last_error(), "unknown encoding: no-such-charset-42");
    EXPECT_EQ(csv_table_get(0), nullptr);
    // The name is checked before the file is even opened.
    EXPECT_EQ(csv_load_encoding("/no/such/file", 1, 0, "no-such-charset-42", nullptr, nullptr), -1);
    EXPECT_STREQ(csv_last_error(), "unknown encoding: no-such-charset-42");
    const std::string long_name(200, 'x');
    EXPECT_EQ(csv_load_encoding(path.c_str(), 1, 0, long_name.c_str(), nullptr, nullptr), -1);
    EXPECT_EQ(csv_last_error(), "unknown encoding: " + long_name);
}

TEST_F(Source, NullOrEmptyNameDetectsAsLoadEx) {
    const std::string path = write_temp("detect-enc.csv", utf16le(u"a;b\n1;2\n", true));
    for (const char *name : {static_cast<const char *>(nullptr), ""}) {
        int h = csv_load_encoding(path.c_str(), 1, 0, name, nullptr, nullptr);
        ASSERT_GE(h, 0) << csv_last_error();
        EXPECT_EQ(info(h),
                  "{\"encoding\":\"utf-16le\",\"bom\":true,\"delimiter\":\";\",\"encoding_detected\":true,"
                  "\"delimiter_detected\":true,\"compression\":\"none\",\"file_size\":18,\"rows\":1,"
                  "\"columns\":2,\"warnings\":0,\"replaced_bytes\":0,\"invalid_utf8_bytes\":0}");
        csv_close(h);
    }
    EXPECT_EQ(csv_load_encoding(nullptr, 1, 0, "latin1", nullptr, nullptr), -1);
    EXPECT_STREQ(csv_last_error(), "path is NULL");
}

// Text many pieces long, with multi-byte sequences at drifting offsets so
// that they meet the boundaries of the pieces at every position.
TEST_F(Source, LongTextConvertsAcrossPieces) {
    struct Long {
        const char *encoding;
        std::string unit;     // one cell in the encoding
        std::string utf8;     // the same in UTF-8
    };
    const Long cases[] = {
        {"shift_jis", "\x93\x8c\x8b\x9e", "東京"},
        {"gb18030", "\x81\x30\x81\x30\xb1\xb1", "\u0080北"},
        {"windows-1252", "\x80\x93q", "€“q"},
    };
    for (const Long &c : cases) {
        SCOPED_TRACE(c.encoding);
        std::string in = "h\n", want = "h\n";
        for (int i = 0; in.size() < 1'500'000; ++i) {
            const std::string pad(static_cast<size_t>(i % 5), 'x');
            in += pad + c.unit + "\n";
            want += pad + c.utf8 + "\n";
        }
        const std::string path = write_temp(std::string("long-") + c.encoding, in);
        csv_source_opts opts{};
        opts.encoding_name = c.encoding;
        char *text = nullptr;
        uint64_t len = 0;
        csv_load_info li{};
        ASSERT_EQ(csv_read_source_ex(path.c_str(), &opts, &text, &len, nullptr, &li), 0) << csv_last_error();
        EXPECT_TRUE(std::string(text, len) == want);
        EXPECT_EQ(text[len], '\0');
        EXPECT_EQ(li.replaced_bytes, 0u);
        EXPECT_EQ(li.file_size, in.size());
        csv_free(text);
    }
}

/* ---- file errors ----------------------------------------------------------- */

// A regular file whose size cannot be learnt fails with the system's text,
// in the shape of the other file messages, on every loader.
TEST_F(Source, StatFailureCarriesTheSystemText) {
    const std::string path = write_temp("stat-fails.csv", "a,b\n1,2\n");
    for (int err : {EIO, EOVERFLOW}) {
        SCOPED_TRACE(err);
        csv_source_stat_fails_with(err);
        const std::string want = "cannot stat file: " + path + " (" + strerror(err) + ")";
        EXPECT_EQ(csv_load(path.c_str(), 1), -1);
        EXPECT_EQ(csv_last_error(), want);
        EXPECT_EQ(csv_load_ex(path.c_str(), 1, 0, 0), -1);
        EXPECT_EQ(csv_last_error(), want);
        EXPECT_EQ(csv_load_encoding(path.c_str(), 1, 0, "latin1", nullptr, nullptr), -1);
        EXPECT_EQ(csv_last_error(), want);
        csv_source_stat_fails_with(0);
        EXPECT_EQ(csv_table_get(0), nullptr);
    }
    int h = csv_load(path.c_str(), 1);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_EQ(csv_row_count(h), 1);
}

/* ---- progress and cancellation ------------------------------------------- */

struct Calls {
    std::vector<std::tuple<uint64_t, int64_t, int64_t>> seen;
    int cancel_at = -1;
};

int record(uint64_t done, int64_t total, int64_t rows, void *ud) {
    auto *c = static_cast<Calls *>(ud);
    c->seen.emplace_back(done, total, rows);
    return static_cast<int>(c->seen.size()) - 1 == c->cancel_at ? 1 : 0;
}

// The calls the parser alone makes for `text` (delimiter `delim`, header).
std::vector<std::tuple<uint64_t, int64_t, int64_t>> parse_calls(const std::string &text, char delim) {
    Calls calls;
    csv_parse_opts opts{};
    opts.delimiter = static_cast<uint32_t>(delim);
    opts.progress = record;
    opts.user_data = &calls;
    opts.total_len = static_cast<int64_t>(text.size());
    csv_table t{};
    EXPECT_EQ(csv_table_parse_ex(&t, text.data(), text.size(), 1, &opts), 0) << csv_last_error();
    csv_table_free(&t);
    return calls.seen;
}

// The decoded text of `path` as a load reads it.
std::string decoded(const std::string &path, const char *encoding_name) {
    csv_source_opts opts{};
    opts.encoding_name = encoding_name;
    char *text = nullptr;
    uint64_t len = 0;
    EXPECT_EQ(csv_read_source_ex(path.c_str(), &opts, &text, &len, nullptr, nullptr), 0) << csv_last_error();
    std::string out(text != nullptr ? text : "", len);
    csv_free(text);
    return out;
}

// Over 64 MiB of Windows-1252: a regular file's reading is not reported, so
// the calls are exactly the parse's over the decoded text, and the first
// of them can cancel the load.
TEST_F(Source, LargeFileReportsOnlyTheParse) {
    std::string in = "a;b\n";
    const std::string line = "\x80 price;\x93quoted\x94 text of a line\n";
    in.reserve((66u << 20) + line.size());
    while (in.size() < (66u << 20)) in += line;
    const std::string path = write_temp("big-1252.csv", in);
    in.clear();
    in.shrink_to_fit();
    const auto want = parse_calls(decoded(path, "windows-1252"), ';');
    ASSERT_GE(want.size(), 2u);
    Calls all;
    int h = csv_load_encoding(path.c_str(), 1, 0, "windows-1252", record, &all);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_EQ(all.seen, want);
    EXPECT_EQ(std::get<2>(all.seen.back()), csv_row_count(h));
    csv_close(h);
    Calls calls;
    calls.cancel_at = 0;
    EXPECT_EQ(csv_load_encoding(path.c_str(), 1, 0, "windows-1252", record, &calls), -1);
    EXPECT_STREQ(csv_last_error(), "cancelled by progress callback");
    ASSERT_EQ(calls.seen.size(), 1u);
    EXPECT_EQ(calls.seen[0], want[0]);
    EXPECT_EQ(csv_table_get(0), nullptr);
    unlink(path.c_str());
}

// A large regular file is read by two threads side by side: the table is
// the one a single reader gets from the same bytes through a pipe, the
// calls are the parse's alone, and a cancel at the first leaves nothing.
TEST_F(Source, LargeFileReadByTwoThreadsIsTheStreamedTable) {
    std::string in = "a,b,c\n";
    for (int i = 0; in.size() < (size_t{70} << 20); ++i)
        in += std::to_string(i) + ",text " + std::to_string(i % 1000) + ",\"q,\"\"" + std::to_string(i) + "\"\n";
    const std::string path = write_temp("big-two-threads.csv", in);
    Calls all;
    const int whole = csv_load_ex_progress(path.c_str(), 1, 0, 0, record, &all);
    ASSERT_GE(whole, 0) << csv_last_error();
    EXPECT_EQ(all.seen, parse_calls(in, ','));
    csv_close(whole);
    Calls calls;
    calls.cancel_at = 0;
    EXPECT_EQ(csv_load_ex_progress(path.c_str(), 1, 0, 0, record, &calls), -1);
    EXPECT_STREQ(csv_last_error(), "cancelled by progress callback");
    ASSERT_EQ(calls.seen.size(), 1u);
    EXPECT_EQ(calls.seen[0], all.seen[0]);
    EXPECT_EQ(csv_table_get(0), nullptr);

    const int h = csv_load(path.c_str(), 1);
    ASSERT_GE(h, 0) << csv_last_error();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        size_t off = 0;
        while (off < in.size()) {
            const ssize_t n = write(fds[1], in.data() + off, std::min<size_t>(in.size() - off, 1 << 20));
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
        close(fds[1]);
    });
    const int s = csv_load(("/dev/fd/" + std::to_string(fds[0])).c_str(), 1);
    writer.join();
    close(fds[0]);
    ASSERT_GE(s, 0) << csv_last_error();
    ASSERT_EQ(csv_row_count(h), csv_row_count(s));
    const int rows = static_cast<int>(csv_row_count(h));
    for (int off = 0; off < rows; off += rows / 7) {
        std::string from_file = csv_rows(h, off, 500);
        EXPECT_EQ(from_file, csv_rows(s, off, 500)) << "rows from " << off;
    }
    unlink(path.c_str());
}

// `done` never goes back within a phase: the reading of a source of
// unknown size (total -1), then the parse.
void expect_done_never_decreases(const std::vector<std::tuple<uint64_t, int64_t, int64_t>> &seen) {
    uint64_t reading = 0, parsing = 0;
    bool parse_started = false;
    for (const auto &[done, total, rows] : seen) {
        if (total < 0) {
            EXPECT_FALSE(parse_started) << "a reading call after the parse began";
            EXPECT_GE(done, reading);
            reading = done;
        } else {
            parse_started = true;
            EXPECT_GE(done, parsing);
            EXPECT_LE(done, static_cast<uint64_t>(total));
            parsing = done;
        }
    }
}

// A regular file that holds less than its size said (it shrank between the
// size query and the read) reports no more than was read, and no extra
// call: the calls are the parse's of the text read, whether the file is
// read by two threads or one, used as it is or decoded.
TEST_F(Source, ShrunkFileReportsWhatWasRead) {
    for (size_t lines : {size_t{20}, size_t{400000}}) {
        const std::string text = csv_lines(static_cast<int>(lines));
        std::u16string wide(text.begin(), text.end());
        for (int encoding : {1, 2}) {
            const std::string bytes = encoding == 1 ? text : utf16le(wide, true);
            const std::string path = write_temp("shrunk.csv", bytes);
            const auto want = parse_calls(text, ',');
            for (int64_t gone : {int64_t{1}, int64_t{1} << 20}) {
                SCOPED_TRACE(std::to_string(bytes.size()) + " bytes, encoding " + std::to_string(encoding) +
                             ", shrunk by " + std::to_string(gone));
                csv_source_size_overstated_by(gone);
                Calls calls;
                int h = csv_load_ex_progress(path.c_str(), 1, ',', encoding, record, &calls);
                csv_source_size_overstated_by(0);
                ASSERT_GE(h, 0) << csv_last_error();
                EXPECT_EQ(csv_row_count(h), static_cast<int>(lines));
                EXPECT_EQ(calls.seen, want);
                expect_done_never_decreases(calls.seen);
                EXPECT_EQ(field(info(h), "file_size"), std::to_string(bytes.size()));
                csv_close(h);
            }
            unlink(path.c_str());
        }
    }
}

// Text decoded from UTF-16 grows into pages prepared by a helper thread:
// the table is the one of the same text in UTF-8.
TEST_F(Source, LargeUtf16DecodesIntoThreadPreparedPages) {
    std::u16string text = u"k;v\n";
    for (int i = 0; text.size() < (size_t{7} << 20); ++i)
        text += u"r\u00e9" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) + u";\u20ac" +
                std::u16string(1, static_cast<char16_t>(u'0' + i % 10)) + u"\n";
    std::string utf8 = "k;v\n";
    for (size_t i = 4; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (u < 0x80) utf8 += static_cast<char>(u);
        else if (u < 0x800) utf8 += {static_cast<char>(0xC0 | (u >> 6)), static_cast<char>(0x80 | (u & 0x3F))};
        else utf8 += {static_cast<char>(0xE0 | (u >> 12)), static_cast<char>(0x80 | ((u >> 6) & 0x3F)),
                      static_cast<char>(0x80 | (u & 0x3F))};
    }
    const std::string p16 = write_temp("big-utf16.csv", utf16le(text, true));
    const std::string p8 = write_temp("big-utf8.csv", utf8);
    const int a = csv_load_ex(p16.c_str(), 1, 0, 0);
    const int b = csv_load_ex(p8.c_str(), 1, 0, 0);
    ASSERT_GE(a, 0) << csv_last_error();
    ASSERT_GE(b, 0) << csv_last_error();
    ASSERT_EQ(csv_row_count(a), csv_row_count(b));
    const int rows = csv_row_count(a);
    for (int off = 0; off < rows; off += rows / 5) EXPECT_EQ(std::string(csv_rows(a, off, 300)), csv_rows(b, off, 300));
    EXPECT_EQ(std::string(csv_rows(a, rows - 1, 1)), csv_rows(b, rows - 1, 1));
    unlink(p16.c_str());
    unlink(p8.c_str());
}

/* ---- streams ----------------------------------------------------------- */

// Writes `text` into the write end `fd` in pieces, then waits until `hold`
// is released before closing (to keep a stream open and silent).
struct Writer {
    int fd;
    std::string text;
    bool hold = false;
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    std::thread t;

    Writer(int write_fd, std::string bytes, bool keep_open)
        : fd(write_fd), text(std::move(bytes)), hold(keep_open) {}
    void start() {
        t = std::thread([this] {
            size_t at = 0;
            while (at < text.size()) {
                const size_t n = std::min<size_t>(text.size() - at, 3000);
                ssize_t w = write(fd, text.data() + at, n);
                if (w <= 0) break;  // the reader went away
                at += static_cast<size_t>(w);
            }
            if (hold) {
                std::unique_lock<std::mutex> lock(m);
                cv.wait(lock, [this] { return released; });
            }
            close(fd);
        });
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(m);
            released = true;
        }
        cv.notify_all();
    }
    ~Writer() {
        release();
        if (t.joinable()) t.join();
    }
};

TEST_F(Source, PipeThroughDevFdIsReadToItsEnd) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string text = csv_lines(50000);  // far more than a pipe holds
    Writer w(fds[1], text, false);
    w.start();
    const std::string path = "/dev/fd/" + std::to_string(fds[0]);
    int h = csv_load_ex(path.c_str(), 1, 0, 0);
    close(fds[0]);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_EQ(csv_row_count(h), 50000);
    EXPECT_EQ(field(info(h), "file_size"), std::to_string(text.size()));
}

TEST_F(Source, DevStdinFromAPipe) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const int saved = dup(0);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(dup2(fds[0], 0), 0);
    close(fds[0]);
    {
        Writer w(fds[1], "a;b\n1;2\n3;4\n", false);
        w.start();
        int h = csv_load_encoding("/dev/stdin", 1, 0, nullptr, nullptr, nullptr);
        EXPECT_GE(h, 0) << csv_last_error();
        EXPECT_EQ(csv_row_count(h), 2);
        EXPECT_EQ(field(info(h), "delimiter"), "\";\"");
    }
    dup2(saved, 0);
    close(saved);
}

// A FIFO whose writer comes later: the load waits for it, reports a total
// of -1 while the size is unknown, and reads everything.
TEST_F(Source, FifoWithALateWriterAndUnknownTotal) {
    const std::string fifo = vtest::temp_path("late-fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string text = utf16le(u"x\tz\n1\t2\n", true);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        int fd = open(fifo.c_str(), O_WRONLY);
        if (fd >= 0) {
            (void)!write(fd, text.data(), text.size());
            close(fd);
        }
    });
    Calls calls;
    int h = csv_load_ex_progress(fifo.c_str(), 1, 0, 0, record, &calls);
    writer.join();
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_STREQ(csv_rows(h, 0, -1), "[{\"x\":\"1\",\"z\":\"2\"}]");
    ASSERT_GE(calls.seen.size(), 2u);
    EXPECT_EQ(calls.seen[0], std::make_tuple(uint64_t{0}, int64_t{-1}, int64_t{0}));
    EXPECT_EQ(calls.seen.back(), std::make_tuple(uint64_t{8}, int64_t{8}, int64_t{1}));
    expect_done_never_decreases(calls.seen);
    EXPECT_EQ(info(h),
              "{\"encoding\":\"utf-16le\",\"bom\":true,\"delimiter\":\"\\t\",\"encoding_detected\":true,"
              "\"delimiter_detected\":true,\"compression\":\"none\",\"file_size\":18,\"rows\":1,"
              "\"columns\":2,\"warnings\":0,\"replaced_bytes\":0,\"invalid_utf8_bytes\":0}");
}

// A pipe that gives some text and then falls silent: the callback is asked
// while the load waits, with the bytes read so far and total -1, and can
// cancel it there, on every kind of decoding.
TEST_F(Source, CancelWhileAPipeIsSilent) {
    struct Way {
        const char *name;
        int encoding;
        const char *encoding_name;
    };
    const Way ways[] = {{"bytes", 1, nullptr}, {"utf16", 2, nullptr}, {"named", 0, "koi8-r"},
                        {"detect", 0, nullptr}};
    for (const Way &way : ways) {
        SCOPED_TRACE(way.name);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const std::string text(10000, 'a');
        Writer w(fds[1], text, true);
        w.start();
        const std::string path = "/dev/fd/" + std::to_string(fds[0]);
        Calls calls;
        // Cancel at the first call that has seen all the text.
        struct Cancel {
            static int at_all(uint64_t done, int64_t total, int64_t rows, void *ud) {
                auto *c = static_cast<Calls *>(ud);
                c->seen.emplace_back(done, total, rows);
                return done >= 10000 ? 1 : 0;
            }
        };
        int h = way.encoding_name != nullptr
                    ? csv_load_encoding(path.c_str(), 1, 0, way.encoding_name, Cancel::at_all, &calls)
                    : csv_load_ex_progress(path.c_str(), 1, 0, way.encoding, Cancel::at_all, &calls);
        close(fds[0]);
        w.release();
        EXPECT_EQ(h, -1);
        EXPECT_STREQ(csv_last_error(), "cancelled by progress callback");
        ASSERT_FALSE(calls.seen.empty());
        EXPECT_EQ(calls.seen.back(), std::make_tuple(uint64_t{10000}, int64_t{-1}, int64_t{0}));
        EXPECT_EQ(csv_table_get(0), nullptr);
    }
}

// A host's timer that interrupts the wait on a silent stream brings no call
// of its own: while the pipe is silent the callback still comes about once
// per quarter second (so a load can be cancelled), however often the
// signal comes. (Before, each signal made a call: some 500 here.)
TEST_F(Source, SignalsWhileAStreamIsSilentBringNoExtraCalls) {
    struct sigaction quiet {}, old{};
    quiet.sa_handler = [](int) {};
    sigemptyset(&quiet.sa_mask);
    quiet.sa_flags = 0;  // no SA_RESTART: every signal cuts the wait short
    ASSERT_EQ(sigaction(SIGALRM, &quiet, &old), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([&] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);  // the signals go to the loading thread
        (void)!write(fds[1], "a,b\n1,2\n", 8);
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        (void)!write(fds[1], "3,4\n", 4);
        close(fds[1]);
    });
    itimerval every_2ms{};
    every_2ms.it_interval.tv_usec = 2000;
    every_2ms.it_value.tv_usec = 2000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_2ms, nullptr), 0);
    Calls calls;
    const int h = csv_load_ex_progress(("/dev/fd/" + std::to_string(fds[0])).c_str(), 1, 0, 0, record, &calls);
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    writer.join();
    close(fds[0]);
    sigaction(SIGALRM, &old, nullptr);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_EQ(csv_row_count(h), 2);
    const size_t reading = static_cast<size_t>(std::count_if(
        calls.seen.begin(), calls.seen.end(), [](const auto &c) { return std::get<1>(c) < 0; }));
    EXPECT_GE(reading, 1u);   // the silence was reported
    EXPECT_LE(reading, 30u);  // about 5 in 1.2 s; a generous bound for a busy machine
    expect_done_never_decreases(calls.seen);
    ASSERT_FALSE(calls.seen.empty());
    EXPECT_EQ(calls.seen.back(), std::make_tuple(uint64_t{12}, int64_t{12}, int64_t{2}));
}

// A device that never ends stops at the text limit with a clear message,
// whatever the decoding (here with a small limit through the internal
// reader; the loaders use 4 GiB - 1).
TEST_F(Source, EndlessDeviceStopsAtTheTextLimit) {
    if (access("/dev/zero", R_OK) != 0) GTEST_SKIP() << "no /dev/zero";
    for (int encoding : {0, 1, 2, 3}) {
        SCOPED_TRACE(encoding);
        csv_source_opts opts{};
        opts.encoding = encoding;
        opts.text_limit = 1 << 20;
        char *text = reinterpret_cast<char *>(0x1);
        uint64_t len = 9;
        EXPECT_EQ(csv_read_source_ex("/dev/zero", &opts, &text, &len, nullptr, nullptr), -1);
        EXPECT_STREQ(csv_last_error(), "input exceeds 4 GiB - 1 bytes of text: /dev/zero");
        EXPECT_EQ(text, nullptr);
        EXPECT_EQ(len, 0u);
    }
}

// /proc files report a size of 0: every encoding reads them to their end
// (forcing UTF-16 used to give an empty table).
TEST_F(Source, SizeZeroFileWithEveryEncoding) {
    const char *path = "/proc/self/status";
    if (access(path, R_OK) != 0) GTEST_SKIP() << path << " is not on this machine";
    for (int encoding : {0, 1, 2, 3}) {
        SCOPED_TRACE(encoding);
        int h = csv_load_ex(path, 0, '\t', encoding);
        ASSERT_GE(h, 0) << csv_last_error();
        const std::string report = info(h);
        EXPECT_GT(std::stoll(field(report, "file_size")), 200) << report;
        EXPECT_GE(csv_row_count(h), 1);
        if (encoding <= 1) {
            EXPECT_GT(csv_row_count(h), 5);
            EXPECT_NE(std::string(csv_rows(h, 0, 1)).find("Name:"), std::string::npos);
            EXPECT_EQ(field(report, "encoding"), "\"utf-8\"");
        } else {
            EXPECT_EQ(field(report, "encoding"), encoding == 2 ? "\"utf-16le\"" : "\"utf-16be\"");
        }
        csv_close(h);
    }
    int h = csv_load_encoding(path, 0, '\t', "latin1", nullptr, nullptr);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_GT(csv_row_count(h), 5);
}

/* ---- gzip ------------------------------------------------------------------ */

TEST_F(Source, GzipIsInflatedByEveryLoader) {
    const std::string text = csv_lines(20000);
    const std::string path = write_temp("lines.csv.gz", gzip(text));
    const std::string plain = write_temp("lines.csv", text);
    int want = csv_load(plain.c_str(), 1);
    ASSERT_GE(want, 0);
    const std::string want_rows = csv_rows(want, 0, -1);
    std::vector<int> hs = {
        csv_load(path.c_str(), 1),
        csv_load_ex(path.c_str(), 1, 0, 0),
        csv_load_ex_progress(path.c_str(), 1, ',', 1, nullptr, nullptr),
        csv_load_encoding(path.c_str(), 1, 0, "latin1", nullptr, nullptr),
    };
    for (int h : hs) {
        ASSERT_GE(h, 0) << csv_last_error();
        EXPECT_TRUE(csv_rows(h, 0, -1) == want_rows);
        const std::string report = info(h);
        EXPECT_EQ(field(report, "compression"), "\"gzip\"");
        EXPECT_EQ(field(report, "file_size"), std::to_string(gzip(text).size()));
    }
}

TEST_F(Source, GzipOfUtf16IsDecodedAfterInflating) {
    const std::string path = write_temp("u16.csv.gz", gzip(utf16le(u"a;b\n1;é\n", true)));
    int h = csv_load_ex(path.c_str(), 1, 0, 0);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_STREQ(csv_rows(h, 0, -1), "[{\"a\":\"1\",\"b\":\"é\"}]");
    const std::string report = info(h);
    EXPECT_EQ(field(report, "encoding"), "\"utf-16le\"");
    EXPECT_EQ(field(report, "bom"), "true");
    EXPECT_EQ(field(report, "compression"), "\"gzip\"");
}

TEST_F(Source, ConcatenatedGzipMembersAreOneText) {
    const std::string path = write_temp("two.csv.gz", gzip("a,b\n1,2\n") + gzip("3,4\n"));
    int h = csv_load(path.c_str(), 1);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_EQ(csv_row_count(h), 2);
}

// Zero bytes after the last member, as tape and block devices pad a file,
// are not data: every loader takes the text, and the padding may be long
// (many reads) or follow concatenated members. Anything else after the
// zeros is still refused.
TEST_F(Source, GzipWithZeroPaddingAtTheEnd) {
    const std::string text = csv_lines(500);
    struct Padded {
        const char *name;
        std::string bytes;
    };
    const Padded cases[] = {
        {"one_zero", gzip(text) + std::string(1, '\0')},
        {"block", gzip(text) + std::string(512 - gzip(text).size() % 512, '\0')},
        {"a_megabyte", gzip(text) + std::string(1 << 20, '\0')},
        {"two_members", gzip(text.substr(0, 100)) + gzip(text.substr(100)) + std::string(4096, '\0')},
    };
    for (const Padded &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write_temp(std::string("padded-") + c.name + ".gz", c.bytes);
        for (int loader = 0; loader < 3; ++loader) {
            int h = loader == 0   ? csv_load(path.c_str(), 1)
                    : loader == 1 ? csv_load_ex(path.c_str(), 1, 0, 0)
                                  : csv_load_encoding(path.c_str(), 1, 0, "latin1", nullptr, nullptr);
            ASSERT_GE(h, 0) << loader << ": " << csv_last_error();
            EXPECT_EQ(csv_row_count(h), 500);
            EXPECT_STREQ(csv_rows(h, 499, 1), "[{\"id\":\"499\",\"name\":\"name 499\"}]");
            EXPECT_EQ(field(info(h), "file_size"), std::to_string(c.bytes.size()));
            csv_close(h);
        }
    }
    const std::string zeros_then_junk = gzip(text) + std::string(1000, '\0') + "x";
    const std::string path = write_temp("padded-then-junk.gz", zeros_then_junk);
    EXPECT_EQ(csv_load(path.c_str(), 1), -1);
    EXPECT_EQ(std::string(csv_last_error()),
              "corrupt gzip stream: " + path + " (data after the end of the stream)");
}

TEST_F(Source, BrokenGzipFailsClearly) {
    const std::string good = gzip(csv_lines(3000));
    std::string corrupt = good;
    for (size_t i = 20; i < 60; ++i) corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5A);
    std::string bad_check = good;
    bad_check[bad_check.size() - 6] ^= 0x01;  // the CRC-32 of the trailer
    struct Broken {
        const char *name;
        std::string bytes;
        std::string reason;  // "" when zlib words it
    };
    const Broken cases[] = {
        {"truncated", good.substr(0, good.size() / 2), "unexpected end of file"},
        {"no_trailer", good.substr(0, good.size() - 4), "unexpected end of file"},
        {"header_only", good.substr(0, 10), "unexpected end of file"},
        {"corrupt_data", corrupt, ""},
        {"bad_checksum", bad_check, "incorrect data check"},
        {"trailing_garbage", good + "junk", "data after the end of the stream"},
    };
    for (const Broken &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write_temp(std::string("broken-") + c.name + ".gz", c.bytes);
        const std::string prefix = "corrupt gzip stream: " + path + " (";
        for (int loader = 0; loader < 3; ++loader) {
            int h = loader == 0   ? csv_load(path.c_str(), 1)
                    : loader == 1 ? csv_load_ex(path.c_str(), 1, 0, 0)
                                  : csv_load_encoding(path.c_str(), 1, 0, "cp1252", nullptr, nullptr);
            EXPECT_EQ(h, -1) << loader;
            const std::string msg = csv_last_error();
            EXPECT_EQ(msg.rfind(prefix, 0), 0u) << msg;
            if (!c.reason.empty()) EXPECT_EQ(msg, prefix + c.reason + ")");
        }
    }
}

// Bytes that only begin like gzip are text as before.
TEST_F(Source, NotQuiteGzipIsText) {
    const std::string path = write_temp("not-gzip.csv", "\x1F\x8B,b\n1,2\n");
    int h = csv_load(path.c_str(), 1);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_EQ(csv_col_count(h), 2);
    EXPECT_EQ(field(info(h), "compression"), "\"none\"");
}

TEST_F(Source, GzipThroughAPipe) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string text = csv_lines(30000);
    Writer w(fds[1], gzip(text), false);
    w.start();
    const std::string path = "/dev/fd/" + std::to_string(fds[0]);
    int h = csv_load_ex(path.c_str(), 1, 0, 0);
    close(fds[0]);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_EQ(csv_row_count(h), 30000);
}

TEST_F(Source, GzipBombStopsAtTheTextLimit) {
    const std::string zeros(4 << 20, '\0');
    const std::string path = write_temp("bomb.gz", gzip(zeros));
    csv_source_opts opts{};
    opts.encoding = 1;
    opts.text_limit = 1 << 20;
    char *text = nullptr;
    uint64_t len = 0;
    EXPECT_EQ(csv_read_source_ex(path.c_str(), &opts, &text, &len, nullptr, nullptr), -1);
    EXPECT_EQ(csv_last_error(), "input exceeds 4 GiB - 1 bytes of text: " + path);
}

/* ---- the load report and the version ---------------------------------------- */

struct InfoCase {
    const char *name;
    std::string bytes;
    int kind;  // 0 csv_load, 1 csv_load_ex, 2 csv_load_encoding
    int delimiter;
    int encoding;
    const char *encoding_name;
    std::string report;
};
void PrintTo(const InfoCase &c, std::ostream *os) { *os << c.name; }

std::string report(const char *enc, bool bom, const char *delim, bool enc_det, bool delim_det,
                   const char *comp, size_t size, int rows, int cols, int warnings, int replaced,
                   int invalid = 0) {
    auto b = [](bool v) { return v ? "true" : "false"; };
    return std::string("{\"encoding\":\"") + enc + "\",\"bom\":" + b(bom) + ",\"delimiter\":\"" + delim +
           "\",\"encoding_detected\":" + b(enc_det) + ",\"delimiter_detected\":" + b(delim_det) +
           ",\"compression\":\"" + comp + "\",\"file_size\":" + std::to_string(size) +
           ",\"rows\":" + std::to_string(rows) + ",\"columns\":" + std::to_string(cols) +
           ",\"warnings\":" + std::to_string(warnings) + ",\"replaced_bytes\":" + std::to_string(replaced) +
           ",\"invalid_utf8_bytes\":" + std::to_string(invalid) + "}";
}

std::vector<InfoCase> info_cases() {
    const std::string semi = "a;b\n1;2\n3\n";
    const std::string le = utf16le(u"ab\tc\n1\t2\n", false);  // 9 units: detected
    const std::string be = std::string("\xFE\xFF\0a\0|\0b\0\n\0001\0|\0002\0\n", 18);
    const std::string gz = gzip("\xEF\xBB\xBF" "a,b\n1,2\n");
    const std::string gz1252 = gzip("a\n\x80\n");
    return {
        {"plain", semi, 0, 0, 0, nullptr, report("utf-8", false, ",", false, false, "none", semi.size(), 2, 1, 0, 0)},
        {"plain_bom", "\xEF\xBB\xBF" "a\n1\n", 0, 0, 0, nullptr, report("utf-8", true, ",", false, false, "none", 7, 1, 1, 0, 0)},
        {"ex_detect_ragged", semi, 1, 0, 0, nullptr, report("utf-8", false, ";", true, true, "none", semi.size(), 2, 2, 1, 0)},
        {"ex_detect_utf16_no_mark", le, 1, 0, 0, nullptr, report("utf-16le", false, "\\t", true, true, "none", le.size(), 1, 2, 0, 0)},
        {"ex_forced_be_given_pipe", be, 1, '|', 3, nullptr, report("utf-16be", true, "|", false, false, "none", be.size(), 1, 2, 0, 0)},
        {"ex_forced_bytes", semi, 1, ';', 1, nullptr, report("utf-8", false, ";", false, false, "none", semi.size(), 2, 2, 1, 0)},
        {"ex_high_delimiter", "a\xA7" "b\n", 1, 0xA7, 1, nullptr, report("utf-8", false, "§", false, false, "none", 4, 0, 2, 0, 0, 1)},  // the delimiter byte is not UTF-8
        {"named_as_given", "a\n\x80\n", 2, 0, 0, "Windows-1252", report("Windows-1252", false, ",", false, true, "none", 4, 1, 1, 0, 0)},
        {"named_invalid", "a\nx\x81\n", 2, ',', 0, "cp1252", report("cp1252", false, ",", false, false, "none", 5, 1, 1, 0, 1)},
        {"gzip_utf8_bom", gz, 1, 0, 0, nullptr, report("utf-8", true, ",", true, true, "gzip", gz.size(), 1, 2, 0, 0)},
        // Bytes of another encoding kept as read are counted; named or
        // decoded text has none.
        {"plain_windows1252", "a\n\x80" "5\n", 0, 0, 0, nullptr, report("utf-8", false, ",", false, false, "none", 5, 1, 1, 0, 0, 1)},
        {"ex_detect_windows1252", "a;b\n\x93q\x94;caf\xe9\n", 1, 0, 0, nullptr, report("utf-8", false, ";", true, true, "none", 13, 1, 2, 0, 0, 3)},
        {"ex_forced_bytes_invalid", "a\n\xff\xfe\xfe\n", 1, 0, 1, nullptr, report("utf-8", false, ",", false, true, "none", 6, 1, 1, 0, 0, 3)},
        {"gzip_windows1252", gz1252, 1, 0, 0, nullptr, report("utf-8", false, ",", true, true, "gzip", gz1252.size(), 1, 1, 0, 0, 1)},
        {"named_utf8_replaces_instead", "a\nx\xc3(\n", 2, 0, 0, "utf-8", report("utf-8", false, ",", false, true, "none", 6, 1, 1, 0, 1, 0)},
        {"named_cp1252_decoded", "a\n\x80\n", 2, 0, 0, "cp1252", report("cp1252", false, ",", false, true, "none", 4, 1, 1, 0, 0, 0)},
    };
}

class Info : public Source, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(Info, ReportsHowTheTableWasLoaded) {
    const InfoCase &c = GetParam();
    const std::string path = write_temp(std::string("info-") + c.name, c.bytes);
    int h = c.kind == 0   ? csv_load(path.c_str(), 1)
            : c.kind == 1 ? csv_load_ex(path.c_str(), 1, c.delimiter, c.encoding)
                          : csv_load_encoding(path.c_str(), 1, c.delimiter, c.encoding_name, nullptr, nullptr);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_EQ(info(h), c.report);
    EXPECT_STREQ(csv_last_error(), "");
}

INSTANTIATE_TEST_SUITE_P(Table, Info, ::testing::ValuesIn(info_cases()),
                         [](const auto &i) { return std::string(i.param.name); });

TEST_F(Source, BundledSampleIsUtf16WithMarkAndSemicolon) {
    const std::string path = std::string(VELMORA_SOURCE_DIR) + "/examples/data/cities.csv";
    int h = csv_load_ex(path.c_str(), 1, 0, 0);
    ASSERT_GE(h, 0) << csv_last_error();
    const std::string report = info(h);
    EXPECT_EQ(field(report, "encoding"), "\"utf-16le\"");
    EXPECT_EQ(field(report, "bom"), "true");
    EXPECT_EQ(field(report, "delimiter"), "\";\"");
    EXPECT_EQ(field(report, "encoding_detected"), "true");
    EXPECT_EQ(field(report, "delimiter_detected"), "true");
}

TEST_F(Source, InfoOfABadHandle) {
    EXPECT_EQ(csv_info(-1), nullptr);
    EXPECT_STREQ(csv_last_error(), "invalid handle: -1");
    EXPECT_EQ(csv_info(64), nullptr);
    EXPECT_STREQ(csv_last_error(), "invalid handle: 64");
}

TEST_F(Source, VersionIsTheProjectVersion) {
    ASSERT_NE(csv_version(), nullptr);
    EXPECT_STREQ(csv_version(), VELMORA_PROJECT_VERSION);
    EXPECT_EQ(csv_version(), csv_version()) << "static text";
}

/* ---- threads and allocation failures --------------------------------------- */

TEST_F(Source, ThreadsConvertingAtOnce) {
    const std::string path = write_temp("threads-sjis.csv", "a\n\x93\x8c\x8b\x9e\n");
    const std::string gz = write_temp("threads.csv.gz", gzip("a\n1\n"));
    std::atomic<int> bad{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i) {
        ts.emplace_back([&, i] {
            for (int k = 0; k < 25; ++k) {
                int h = (i % 2 == 0) ? csv_load_encoding(path.c_str(), 1, 0, "shift_jis", nullptr, nullptr)
                                     : csv_load_ex(gz.c_str(), 1, 0, 0);
                if (h < 0) {
                    ++bad;
                    continue;
                }
                csv_close(h);
            }
        });
    }
    for (auto &t : ts) t.join();
    EXPECT_EQ(bad.load(), 0);
}

struct SweepCase {
    const char *name;
    std::string bytes;
    const char *encoding_name;  // null: csv_load_ex with `encoding`
    int encoding;
};
void PrintTo(const SweepCase &c, std::ostream *os) { *os << c.name; }

class NewPathSweep : public Source, public ::testing::WithParamInterface<SweepCase> {};

int sweep_load(const SweepCase &c, const std::string &path) {
    return c.encoding_name != nullptr
               ? csv_load_encoding(path.c_str(), 1, 0, c.encoding_name, nullptr, nullptr)
               : csv_load_ex(path.c_str(), 1, 0, c.encoding);
}

// The n-th allocation fails, for every n the load makes: each run fails
// with an out-of-memory message and takes no slot; then the load succeeds
// with the same table as without failures.
TEST_P(NewPathSweep, EveryAllocationFailureIsClean) {
    const SweepCase &c = GetParam();
    const std::string path = write_temp(std::string("sweep-new-") + c.name, c.bytes);
    csv_alloc_fail_after(-1);
    int h = sweep_load(c, path);
    const int64_t made = csv_alloc_fail_after(-1);
    ASSERT_EQ(h, 0) << csv_last_error();
    const std::string want = csv_rows(h, 0, -1);
    const std::string want_info = info(h);
    csv_close(h);
    for (int64_t n = 0; n < made; ++n) {
        csv_alloc_fail_after(n);
        h = sweep_load(c, path);
        csv_alloc_fail_after(-1);
        EXPECT_EQ(h, -1) << "allocation " << n << " of " << made;
        EXPECT_EQ(std::string(csv_last_error()).rfind("out of memory", 0), 0u)
            << "allocation " << n << ": " << csv_last_error();
        EXPECT_EQ(csv_table_get(0), nullptr) << "allocation " << n;
        if (h >= 0) csv_close(h);
        if (HasFailure()) break;
    }
    h = sweep_load(c, path);
    ASSERT_EQ(h, 0) << csv_last_error();
    EXPECT_EQ(csv_rows(h, 0, -1), want);
    EXPECT_EQ(info(h), want_info);
}

std::vector<SweepCase> sweep_cases() {
    std::string long1252 = "a;b\n";
    while (long1252.size() < 600000) long1252 += "\x80;\x93q\x94\n";
    return {
        {"named_1252", "a;b\n\x80;\x93q\x94\n", "windows-1252", 0},
        {"named_1252_long", long1252, "windows-1252", 0},
        {"named_invalid_sjis", "a\n\x93\x8c\x93", "shift_jis", 0},
        {"named_utf8_invalid", "a\nx\xff\n", "utf-8", 0},
        {"named_utf16le", utf16le(u"a\nx\n", true), "utf-16le", 0},
        {"gzip_detect", gzip("a,b\n1,2\n"), nullptr, 0},
        {"gzip_utf16", gzip(utf16le(u"a,b\n1,2\n", true)), nullptr, 0},
        {"gzip_named", gzip("a\n\x80\n"), "cp1252", 0},
        {"gzip_long", gzip(long1252), nullptr, 1},
    };
}

INSTANTIATE_TEST_SUITE_P(Table, NewPathSweep, ::testing::ValuesIn(sweep_cases()),
                         [](const auto &i) { return std::string(i.param.name); });

}  // namespace
