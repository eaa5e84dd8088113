// The interface module: registry, messages, file reading, source decoding
// and the loaders, exercised through real files.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"

namespace {

using vtest::write_temp;

// Closes every handle so that each test starts with an empty registry.
class Api : public ::testing::Test {
protected:
    void SetUp() override { close_all(); }
    void TearDown() override { close_all(); }
    static void close_all() {
        for (int h = 0; h < CSV_MAX_HANDLES; ++h) csv_close(h);
    }
};

std::string utf16(const std::u16string &s, bool big_endian, bool bom) {
    std::string out;
    auto put = [&](char16_t u) {
        unsigned char hi = static_cast<unsigned char>(u >> 8), lo = static_cast<unsigned char>(u & 0xFF);
        out.push_back(static_cast<char>(big_endian ? hi : lo));
        out.push_back(static_cast<char>(big_endian ? lo : hi));
    };
    if (bom) put(0xFEFF);
    for (char16_t u : s) put(u);
    return out;
}

// ---- registry and counts ---------------------------------------------------

TEST_F(Api, NullPathIsRefused) {
    EXPECT_EQ(csv_load(nullptr, 1), -1);
    EXPECT_STREQ(csv_last_error(), "path is NULL");
    EXPECT_EQ(csv_load_ex(nullptr, 1, 0, 0), -1);
    EXPECT_STREQ(csv_last_error(), "path is NULL");
    EXPECT_EQ(csv_load_ex_progress(nullptr, 1, 0, 0, nullptr, nullptr), -1);
    EXPECT_STREQ(csv_last_error(), "path is NULL");
}

TEST_F(Api, MissingFileNamesPathAndSystemText) {
    std::string path = vtest::temp_path("does-not-exist.csv");
    EXPECT_EQ(csv_load(path.c_str(), 1), -1);
    std::string want = "cannot open file: " + path + " (" + strerror(ENOENT) + ")";
    EXPECT_EQ(csv_last_error(), want);
}

TEST_F(Api, EmptyFileLoadsAsEmptyTable) {
    int h = csv_load(write_temp("empty.csv", "").c_str(), 1);
    ASSERT_GE(h, 0);
    EXPECT_EQ(csv_row_count(h), 0);
    EXPECT_EQ(csv_col_count(h), 0);
    EXPECT_STREQ(csv_last_error(), "");
}

TEST_F(Api, HeaderOnlyFile) {
    int h = csv_load(write_temp("hdr.csv", "a,b,c\n").c_str(), 1);
    ASSERT_GE(h, 0);
    EXPECT_EQ(csv_col_count(h), 3);
    EXPECT_EQ(csv_row_count(h), 0);
}

TEST_F(Api, LoadsRowsWithAndWithoutHeader) {
    std::string path = write_temp("two.csv", "a,b\r\n1,2\r\n3,4");
    int h = csv_load(path.c_str(), 1);
    int n = csv_load(path.c_str(), 0);
    ASSERT_EQ(h, 0);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(csv_row_count(h), 2);
    EXPECT_EQ(csv_row_count(n), 3);
    EXPECT_EQ(csv_col_count(n), 2);
}

TEST_F(Api, SixtyFifthLoadFailsAndFreedSlotIsReused) {
    std::string path = write_temp("small.csv", "x\n1\n");
    for (int i = 0; i < CSV_MAX_HANDLES; ++i) ASSERT_EQ(csv_load(path.c_str(), 1), i);
    EXPECT_EQ(csv_load(path.c_str(), 1), -1);
    EXPECT_STREQ(csv_last_error(), "too many open handles (max 64)");
    EXPECT_EQ(csv_load_ex(path.c_str(), 1, 0, 0), -1);
    EXPECT_STREQ(csv_last_error(), "too many open handles (max 64)");
    csv_close(5);
    EXPECT_EQ(csv_load(path.c_str(), 1), 5);
    csv_close(5);
    EXPECT_EQ(csv_load_ex(path.c_str(), 1, 0, 0), 5);
}

TEST_F(Api, InvalidHandlesAreReportedWithTheirNumber) {
    int h = csv_load(write_temp("one.csv", "a\n1\n").c_str(), 1);
    ASSERT_EQ(h, 0);
    csv_close(h);
    for (int bad : {-1, 64, h, 1000, INT32_MIN}) {
        SCOPED_TRACE(bad);
        std::string want = "invalid handle: " + std::to_string(bad);
        EXPECT_EQ(csv_row_count(bad), -1);
        EXPECT_EQ(csv_last_error(), want);
        EXPECT_EQ(csv_col_count(bad), -1);
        EXPECT_EQ(csv_last_error(), want);
        EXPECT_EQ(csv_parse_warning_count(bad), -1);
        EXPECT_EQ(csv_last_error(), want);
        EXPECT_EQ(csv_headers(bad), nullptr);
        EXPECT_EQ(csv_last_error(), want);
        EXPECT_EQ(csv_rows(bad, 0, -1), nullptr);
        EXPECT_EQ(csv_stats(bad), nullptr);
        EXPECT_EQ(csv_parse_warnings(bad), nullptr);
        EXPECT_EQ(csv_select(bad, "a"), nullptr);
        EXPECT_EQ(csv_search(bad, "a", "", 0), nullptr);
        EXPECT_EQ(csv_sort(bad, "a", 0), nullptr);
        EXPECT_EQ(csv_last_error(), want);
    }
}

TEST_F(Api, CloseIgnoresBadHandlesAndKeepsTheMessage) {
    EXPECT_EQ(csv_row_count(7), -1);
    csv_close(64);
    csv_close(-1);
    csv_close(7);
    csv_close(7);
    EXPECT_STREQ(csv_last_error(), "invalid handle: 7");
}

TEST_F(Api, SuccessfulCallClearsTheMessage) {
    int h = csv_load(write_temp("ok.csv", "a\n1\n").c_str(), 1);
    ASSERT_GE(h, 0);
    EXPECT_EQ(csv_row_count(99), -1);
    EXPECT_EQ(csv_col_count(h), 1);
    EXPECT_STREQ(csv_last_error(), "");
}

TEST_F(Api, LongMessageIsCutAt511Bytes) {
    std::string path = "/nonexistent/" + std::string(600, 'p');
    EXPECT_EQ(csv_load(path.c_str(), 1), -1);
    std::string full = "cannot open file: " + path + " (" + strerror(ENAMETOOLONG) + ")";
    std::string got = csv_last_error();
    EXPECT_EQ(got.size(), 511u);
    EXPECT_EQ(got, full.substr(0, 511));
}

TEST_F(Api, NonAsciiPathOpens) {
    std::string path = write_temp("Zürich-東京.csv", "a,b\n1,2\n");
    int h = csv_load(path.c_str(), 1);
    ASSERT_GE(h, 0);
    EXPECT_EQ(csv_row_count(h), 1);
}

TEST_F(Api, DirectoryIsACleanFailure) {
    std::string dir = vtest::temp_path("a-directory");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    EXPECT_EQ(csv_load(dir.c_str(), 1), -1);
    EXPECT_EQ(csv_last_error(), "cannot open file: " + dir + " (" + strerror(EISDIR) + ")");
    EXPECT_EQ(csv_load_ex(dir.c_str(), 1, 0, 0), -1);
    EXPECT_EQ(csv_last_error(), "cannot open file: " + dir + " (" + strerror(EISDIR) + ")");
}

// A read that fails must not pass for a shorter (here: empty) file. This
// sysfs attribute reports a size but refuses to be read on Linux.
TEST_F(Api, FailingReadIsReportedNotTruncated) {
    const char *path = "/sys/class/net/lo/speed";
    if (access(path, F_OK) != 0) GTEST_SKIP() << path << " is not on this machine";
    EXPECT_EQ(csv_load(path, 1), -1);
    EXPECT_EQ(std::string(csv_last_error()).rfind(std::string("cannot read file: ") + path + " (", 0), 0u)
        << csv_last_error();
    EXPECT_EQ(csv_load_ex(path, 1, 0, 0), -1);
    EXPECT_EQ(std::string(csv_last_error()).rfind("cannot read file: ", 0), 0u) << csv_last_error();
}

// /proc files report a size of 0 yet have contents: they are read to their
// end, not loaded as empty tables, whatever the encoding asked for.
TEST_F(Api, FileReportingSizeZeroIsReadToItsEnd) {
    const char *path = "/proc/self/status";
    if (access(path, R_OK) != 0) GTEST_SKIP() << path << " is not on this machine";
    int h = csv_load_ex(path, 0, '\t', 1);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_GT(csv_row_count(h), 5);
    EXPECT_NE(std::string(csv_rows(h, 0, 1)).find("Name:"), std::string::npos);
}

TEST_F(Api, PlainLoadParsesUtf16BytesUnchanged) {
    std::string bytes = utf16(u"a,b\n1,2\n", false, true);
    int h = csv_load(write_temp("u16raw.csv", bytes).c_str(), 1);
    ASSERT_GE(h, 0);
    // The commas are single bytes in UTF-16 LE too, so the raw bytes split
    // there; the zero bytes stay in the cells.
    EXPECT_EQ(csv_col_count(h), 2);
    int e = csv_load_ex(write_temp("u16dec.csv", bytes).c_str(), 1, 0, 0);
    ASSERT_GE(e, 0);
    EXPECT_EQ(csv_row_count(e), 1);
    EXPECT_STREQ(csv_headers(e), "[\"a\",\"b\"]");
}

TEST_F(Api, ThreadsLoadingAtOnceGetDistinctHandles) {
    std::string path = write_temp("mt.csv", "a,b\n1,2\n3,4\n");
    constexpr int kThreads = 8;
    std::vector<int> handles(kThreads, -2);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] { handles[i] = csv_load(path.c_str(), 1); });
    for (auto &t : threads) t.join();
    std::sort(handles.begin(), handles.end());
    for (int i = 0; i < kThreads; ++i) EXPECT_EQ(handles[i], i);
}

TEST_F(Api, MessagesArePerThread) {
    std::atomic<int> phase{0};
    EXPECT_EQ(csv_row_count(40), -1);
    std::thread other([&] {
        EXPECT_EQ(csv_load(nullptr, 0), -1);
        EXPECT_STREQ(csv_last_error(), "path is NULL");
        phase = 1;
        while (phase != 2) std::this_thread::yield();
        EXPECT_STREQ(csv_last_error(), "path is NULL");
    });
    while (phase != 1) std::this_thread::yield();
    EXPECT_STREQ(csv_last_error(), "invalid handle: 40");
    EXPECT_EQ(csv_col_count(41), -1);
    phase = 2;
    other.join();
    EXPECT_STREQ(csv_last_error(), "invalid handle: 41");
}

// ---- source decoding ---------------------------------------------------------

struct SourceCase {
    const char *name;
    std::string bytes;
    int32_t encoding;
    int rc;
    std::string text;
    int32_t truncated;
};

std::string ascii16(const std::string &s, bool be) {
    return utf16(std::u16string(s.begin(), s.end()), be, false);
}

const std::string kLines = "a,b\n1,2\n3,4\n";

std::vector<SourceCase> source_cases() {
    std::string cyr;
    for (char16_t u = 0x0410; u < 0x0430; ++u) cyr.append(utf16(std::u16string(1, u), false, false));
    std::string cyr_utf8;
    for (char16_t u = 0x0410; u < 0x0430; ++u) {
        cyr_utf8.push_back(static_cast<char>(0xC0 | (u >> 6)));
        cyr_utf8.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
    std::string mixed = ascii16("abcdefghij", false) + ascii16("klmnopqrstuv", true);
    std::string le = ascii16(kLines, false), be = ascii16(kLines, true);
    return {
        {"DetectLeNoMark", le, 0, 0, kLines, 0},
        {"DetectBeNoMark", be, 0, 0, kLines, 0},
        {"DetectLeMark", "\xFF\xFE" + le, 0, 0, kLines, 0},
        {"DetectBeMark", "\xFE\xFF" + be, 0, 0, kLines, 0},
        {"LeMarkOnly", "\xFF\xFE", 0, 0, "", 0},
        {"BeMarkOnly", "\xFE\xFF", 0, 0, "", 0},
        {"LeMarkOddLength", std::string("\xFF\xFE\x61\x00\x62\x00\x78", 7), 0, 0, "ab", 1},
        {"TwoBytesNotAMark", std::string("\x61\x00", 2), 0, 0, std::string("\x61\x00", 2), 0},
        {"EightPairsStayBytes", ascii16("abcdefgh", false), 0, 0, ascii16("abcdefgh", false), 0},
        {"NinePairsDecode", ascii16("abcdefghi", false), 0, 0, "abcdefghi", 0},
        {"MoreBigEndianPairsWin", mixed, 0, 0, [&] {
             // Read as big-endian, the little-endian part becomes CJK-range
             // units and the big-endian part plain letters.
             std::string out;
             for (size_t i = 0; i + 1 < mixed.size(); i += 2) {
                 unsigned u = (static_cast<unsigned char>(mixed[i]) << 8) | static_cast<unsigned char>(mixed[i + 1]);
                 if (u < 0x80) out.push_back(static_cast<char>(u));
                 else {
                     out.push_back(static_cast<char>(0xE0 | (u >> 12)));
                     out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
                     out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
                 }
             }
             return out;
         }(), 0},
        {"NoCountingPairsStayBytes", cyr, 0, 0, cyr, 0},
        {"OnlyFirst4096BytesCount", std::string(4096, 'x') + le, 0, 0, std::string(4096, 'x') + le, 0},
        {"Utf8MarkKept", "\xEF\xBB\xBF" "a;b\n", 0, 0, "\xEF\xBB\xBF" "a;b\n", 0},
        {"Latin1Unchanged", "caf\xE9,na\xEFve\n", 0, 0, "caf\xE9,na\xEFve\n", 0},
        {"EmptyFile", "", 0, 0, "", 0},
        {"OneByte", "x", 0, 0, "x", 0},
        {"Utf8NamedKeepsZeros", le, 1, 0, le, 0},
        {"LeNamed", le, 2, 0, kLines, 0},
        {"LeNamedMarkSkipped", "\xFF\xFE" + le, 2, 0, kLines, 0},
        {"LeNamedOtherMarkDecoded", "\xFE\xFF" + le, 2, 0, "\xEF\xBF\xBE" + kLines, 0},
        {"BeNamed", be, 3, 0, kLines, 0},
        {"BeNamedMarkSkipped", "\xFE\xFF" + be, 3, 0, kLines, 0},
        {"BeNamedOtherMarkDecoded", "\xFF\xFE" + be, 3, 0, "\xEF\xBF\xBE" + kLines, 0},
        {"LeNamedOneByte", "x", 2, 0, "", 1},
        {"LeNamedEmpty", "", 2, 0, "", 0},
        {"OtherValueLikeUtf8", le, 4, 0, le, 0},
        {"NegativeValueLikeUtf8", le, -1, 0, le, 0},
    };
}

class Source : public ::testing::TestWithParam<SourceCase> {};

TEST_P(Source, DecodesAsChosen) {
    const SourceCase &c = GetParam();
    std::string path = write_temp(std::string("src-") + c.name, c.bytes);
    char *text = reinterpret_cast<char *>(0x1);
    uint64_t len = 99;
    int32_t truncated = 7;
    ASSERT_EQ(csv_read_source(path.c_str(), c.encoding, &text, &len, &truncated), c.rc);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, len), c.text);
    EXPECT_EQ(text[len], '\0');
    EXPECT_EQ(truncated, c.truncated);
    csv_free(text);
}

INSTANTIATE_TEST_SUITE_P(Table, Source, ::testing::ValuesIn(source_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(SourceFailure, MissingFileLeavesOutputsEmpty) {
    std::string path = vtest::temp_path("no-such-source");
    char *text = reinterpret_cast<char *>(0x1);
    uint64_t len = 99;
    int32_t truncated = 7;
    EXPECT_EQ(csv_read_source(path.c_str(), 0, &text, &len, &truncated), -1);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(truncated, 0);
    EXPECT_EQ(std::string(csv_last_error()).rfind("cannot open file: " + path, 0), 0u);
}

// ---- extended loading --------------------------------------------------------

TEST_F(Api, ExtendedLoadDetectsDelimiter) {
    int h = csv_load_ex(write_temp("semi.csv", "a;b\n1;2\n").c_str(), 1, 0, 0);
    ASSERT_GE(h, 0);
    EXPECT_STREQ(csv_headers(h), "[\"a\",\"b\"]");
    EXPECT_STREQ(csv_rows(h, 0, -1), "[{\"a\":\"1\",\"b\":\"2\"}]");
    int m = csv_load_ex(write_temp("semi-bom.csv", "\xEF\xBB\xBF" "a;b\n1;2\n").c_str(), 1, 0, 0);
    ASSERT_GE(m, 0);
    EXPECT_STREQ(csv_headers(m), "[\"a\",\"b\"]");
    int t = csv_load_ex(write_temp("tab.csv", "a\tb\n1\t2\n").c_str(), 1, 9, 0);
    ASSERT_GE(t, 0);
    EXPECT_STREQ(csv_rows(t, 0, -1), "[{\"a\":\"1\",\"b\":\"2\"}]");
}

TEST_F(Api, InvalidDelimiterComesAfterFileErrors) {
    std::string path = write_temp("d.csv", "a\n");
    EXPECT_EQ(csv_load_ex(path.c_str(), 1, 256, 0), -1);
    EXPECT_STREQ(csv_last_error(), "invalid delimiter: 256");
    EXPECT_EQ(csv_load_ex(path.c_str(), 1, -5, 0), -1);
    EXPECT_STREQ(csv_last_error(), "invalid delimiter: -5");
    std::string missing = vtest::temp_path("missing-d.csv");
    EXPECT_EQ(csv_load_ex(missing.c_str(), 1, 256, 0), -1);
    EXPECT_EQ(std::string(csv_last_error()).rfind("cannot open file: " + missing, 0), 0u);
    EXPECT_EQ(csv_load_ex(path.c_str(), 1, 255, 0), 0);
}

TEST_F(Api, TruncatedUtf16IsAWarning) {
    std::string body = "\xFF\xFE" + ascii16("a,b\n1,2\n3,4\n", false) + "x";
    std::string path = write_temp("trunc.csv", body);
    int h = csv_load_ex(path.c_str(), 1, 0, 0);
    ASSERT_GE(h, 0);
    EXPECT_EQ(csv_row_count(h), 2);
    EXPECT_EQ(csv_parse_warning_count(h), 1);
    EXPECT_STREQ(csv_parse_warnings(h),
                 "{\"count\":1,\"ragged\":0,\"blank\":0,\"unterminated_quote\":false,"
                 "\"truncated_utf16\":true,\"expected_cols\":2,"
                 "\"first\":{\"kind\":\"truncated_utf16\",\"row\":3,\"expected\":2,\"actual\":0},"
                 "\"samples\":[{\"kind\":\"truncated_utf16\",\"row\":3,\"expected\":2,\"actual\":0}]}");
    int n = csv_load_ex(path.c_str(), 0, 0, 0);
    ASSERT_GE(n, 0);
    EXPECT_EQ(csv_row_count(n), 3);
    EXPECT_NE(std::string(csv_parse_warnings(n)).find("\"row\":4,\"expected\":2"), std::string::npos);
    int m = csv_load_ex(write_temp("mark-odd.csv", "\xFF\xFE\x41").c_str(), 1, 0, 0);
    ASSERT_GE(m, 0);
    EXPECT_EQ(csv_col_count(m), 0);
    EXPECT_STREQ(csv_parse_warnings(m),
                 "{\"count\":1,\"ragged\":0,\"blank\":0,\"unterminated_quote\":false,"
                 "\"truncated_utf16\":true,\"expected_cols\":0,"
                 "\"first\":{\"kind\":\"truncated_utf16\",\"row\":1,\"expected\":0,\"actual\":0},"
                 "\"samples\":[{\"kind\":\"truncated_utf16\",\"row\":1,\"expected\":0,\"actual\":0}]}");
}

TEST_F(Api, TruncationFlagWithoutRoomForASample) {
    std::string text = "a,b\n";
    for (int i = 0; i < 25; ++i) text += "1\n";
    std::string path = write_temp("trunc-full.csv", "\xFF\xFE" + ascii16(text, false) + "x");
    int h = csv_load_ex(path.c_str(), 1, 0, 0);
    ASSERT_GE(h, 0);
    EXPECT_EQ(csv_parse_warning_count(h), 26);
    std::string w = csv_parse_warnings(h);
    EXPECT_NE(w.find("\"truncated_utf16\":true"), std::string::npos);
    EXPECT_EQ(w.find("\"kind\":\"truncated_utf16\""), std::string::npos);
}

TEST_F(Api, Utf8LoadExMatchesPlainLoad) {
    std::string path = write_temp("same.csv", "x,y\n1,\"a\"\"b\"\n\n3\n");
    int a = csv_load(path.c_str(), 1);
    int b = csv_load_ex(path.c_str(), 1, 44, 1);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    std::string rows_a = csv_rows(a, 0, -1), rows_b = csv_rows(b, 0, -1);
    EXPECT_EQ(rows_a, rows_b);
    std::string warn_a = csv_parse_warnings(a), warn_b = csv_parse_warnings(b);
    EXPECT_EQ(warn_a, warn_b);
}

TEST_F(Api, EmptyFileExtended) {
    int h = csv_load_ex(write_temp("empty-ex.csv", "").c_str(), 1, 0, 0);
    ASSERT_GE(h, 0);
    EXPECT_EQ(csv_col_count(h), 0);
    EXPECT_EQ(csv_row_count(h), 0);
}

// The end-to-end road: UTF-16 LE with a mark, semicolons, a ragged row and
// non-ASCII text, all detected.
TEST_F(Api, Utf16SemicolonFileEndToEnd) {
    std::u16string text = u"name;city;n\nAnna;Zürich;3\nJoão;São Paulo\nLi;東京;5\n";
    int h = csv_load_ex(write_temp("road.csv", utf16(text, false, true)).c_str(), 1, 0, 0);
    ASSERT_GE(h, 0);
    EXPECT_STREQ(csv_headers(h), "[\"name\",\"city\",\"n\"]");
    EXPECT_STREQ(csv_rows(h, 0, -1),
                 "[{\"name\":\"Anna\",\"city\":\"Zürich\",\"n\":\"3\"},"
                 "{\"name\":\"João\",\"city\":\"São Paulo\",\"n\":\"\"},"
                 "{\"name\":\"Li\",\"city\":\"東京\",\"n\":\"5\"}]");
    EXPECT_STREQ(csv_parse_warnings(h),
                 "{\"count\":1,\"ragged\":1,\"blank\":0,\"unterminated_quote\":false,"
                 "\"truncated_utf16\":false,\"expected_cols\":3,"
                 "\"first\":{\"kind\":\"ragged\",\"row\":3,\"expected\":3,\"actual\":2},"
                 "\"samples\":[{\"kind\":\"ragged\",\"row\":3,\"expected\":3,\"actual\":2}]}");
    int be = csv_load_ex(write_temp("road-be.csv", utf16(text, true, false)).c_str(), 1, 0, 3);
    ASSERT_GE(be, 0);
    std::string rows_le = csv_rows(h, 0, -1), rows_be = csv_rows(be, 0, -1);
    EXPECT_EQ(rows_le, rows_be);
}

// ---- progress -----------------------------------------------------------------

struct ProgressLog {
    std::vector<std::tuple<uint64_t, int64_t, int64_t>> calls;
    int cancel_at = -1;  // index of the call that returns non-zero
};

int record_progress(uint64_t done, int64_t total, int64_t rows, void *ud) {
    auto *log = static_cast<ProgressLog *>(ud);
    log->calls.emplace_back(done, total, rows);
    return static_cast<int>(log->calls.size()) - 1 == log->cancel_at ? 1 : 0;
}

// More than a million rows, so the parser reports during the parse and not
// only at its end.
const std::string &big_file() {
    static const std::string path = [] {
        std::string text = "id,v\n";
        text.reserve(14'000'000);
        char line[32];
        for (int i = 0; i < 1'200'000; ++i) {
            int n = snprintf(line, sizeof line, "%d,%d\n", i, i % 7);
            text.append(line, static_cast<size_t>(n));
        }
        return write_temp("big.csv", text);
    }();
    return path;
}

TEST_F(Api, ProgressIsReportedDuringAndAtTheEnd) {
    ProgressLog log;
    int h = csv_load_ex_progress(big_file().c_str(), 1, 0, 0, record_progress, &log);
    ASSERT_GE(h, 0);
    ASSERT_EQ(log.calls.size(), 2u);
    auto [done0, total0, rows0] = log.calls[0];
    EXPECT_EQ(rows0, 1'000'000);
    EXPECT_LT(done0, static_cast<uint64_t>(total0));
    auto [done1, total1, rows1] = log.calls[1];
    EXPECT_EQ(done1, static_cast<uint64_t>(total1));
    EXPECT_EQ(total0, total1);
    EXPECT_EQ(rows1, 1'200'000);
    EXPECT_EQ(csv_row_count(h), 1'200'000);
}

TEST_F(Api, ProgressTotalIsDecodedBytes) {
    std::string text = "a,b\n1,2\n";
    ProgressLog log;
    int h = csv_load_ex_progress(write_temp("p16.csv", utf16(std::u16string(text.begin(), text.end()), false, true)).c_str(),
                                 1, 0, 0, record_progress, &log);
    ASSERT_GE(h, 0);
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0], std::make_tuple(uint64_t{8}, int64_t{8}, int64_t{1}));
}

TEST_F(Api, CancellingAtAnyCallTakesNoSlot) {
    for (int at : {0, 1}) {
        SCOPED_TRACE(at);
        ProgressLog log;
        log.cancel_at = at;
        EXPECT_EQ(csv_load_ex_progress(big_file().c_str(), 1, 0, 0, record_progress, &log), -1);
        EXPECT_STREQ(csv_last_error(), "cancelled by progress callback");
        EXPECT_EQ(static_cast<int>(log.calls.size()), at + 1);
        EXPECT_EQ(csv_load(write_temp("after-cancel.csv", "a\n").c_str(), 1), 0);
        csv_close(0);
    }
}

}  // namespace
