// Reliability of the library inside a host process: every allocation of a
// load or query failing in turn, many threads loading and querying at once,
// and inputs at the edges of what a path or a file can be. Each case must
// end in its documented answer or a clean failure with its message, and
// leave no memory and no registry slot behind.
//
// The fuzz corpus (fuzz/corpus/<target>/) is replayed here too, through the
// same property checks the fuzz targets run, so that every input a fuzzer
// ever found stays a regression test of the ordinary build.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <iconv.h>

#include <gtest/gtest.h>

#include "../fuzz/fuzz_props.h"
#include "test_util.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VTEST_SANITIZED 1
// Exported by the sanitizer runtimes (GCC installs no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#else
#define VTEST_SANITIZED 0
#endif

namespace {

using vtest::write_temp;

// Bytes the process has allocated and not yet freed. Only the sanitizer
// runtimes count exactly (glibc's figures move with its thread caches), so
// the plain build reports 0 and the per-run leak checks are made by the
// sanitizer build; LeakSanitizer checks the whole process at exit as well.
size_t heap_in_use() {
#if VTEST_SANITIZED
    return __sanitizer_get_current_allocated_bytes();
#else
    return 0;
#endif
}

using Reliability = vtest::CleanHandles;

// UTF-8 text to UTF-16 bytes in either order, with or without the mark.
std::string to_utf16(const std::string &utf8, bool big_endian, bool bom) {
    std::string out;
    auto put = [&](uint32_t u) {
        char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        out.push_back(big_endian ? hi : lo);
        out.push_back(big_endian ? lo : hi);
    };
    if (bom) put(0xFEFF);
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        uint32_t cp = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
        for (int k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += static_cast<size_t>(n);
        if (cp >= 0x10000) {
            put(0xD800 + ((cp - 0x10000) >> 10));
            put(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

// A table that makes the loader walk every growth path: 17 fields per
// record (field buffer 8 -> 16 -> 32), 40 rows (row array 16 -> 32 -> 64),
// doubled quotes (scratch buffer), a quoted line break, non-ASCII text, a
// blank line, a wider record at the end (widening) and more than 8 KiB of
// text (blob 4096 -> 8192 -> 16384).
std::string growth_text() {
    std::string s;
    for (int c = 1; c <= 17; ++c) s += (c > 1 ? "," : "") + std::string("c") + std::to_string(c);
    s += "\n";
    for (int r = 0; r < 40; ++r) {
        for (int c = 1; c <= 17; ++c) {
            if (c > 1) s += ",";
            if (c == 3) s += "\"say \"\"hi\"\" " + std::to_string(r) + "\"";
            else if (c == 5) s += "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
            else if (c == 7 && r == 4) s += "\"two\nlines\"";
            else s += "r" + std::to_string(r) + "c" + std::to_string(c);
        }
        s += "\n";
    }
    s += "\n" + std::string(5000, 'x') + ",w1,w2,w3,w4,w5,w6,w7,w8,w9,w10,w11,w12,w13,w14,w15,w16,w17,w18,w19\n";
    s += "last,row\n";
    return s;
}

/* ---- every allocation of a load fails in turn ----------------------------- */

enum Loader { kPlain, kEx, kProgress };
enum Shape { kUtf8, kUtf8Bom, kLeBom, kBeBom, kLe, kBe, kLeBomOdd, kEmpty, kBomOnly };

struct LoadSweepCase {
    const char *name;
    Loader loader;
    int has_header;
    int delimiter;
    int encoding;
    Shape shape;
    bool decoded;  // the bytes go through the UTF-16 decoder
};
void PrintTo(const LoadSweepCase &c, std::ostream *os) { *os << c.name; }

std::string shape_bytes(Shape s) {
    static const std::string text = growth_text();
    switch (s) {
        case kUtf8: return text;
        case kUtf8Bom: return "\xEF\xBB\xBF" + text;
        case kLeBom: return to_utf16(text, false, true);
        case kBeBom: return to_utf16(text, true, true);
        case kLe: return to_utf16(text, false, false);
        case kBe: return to_utf16(text, true, false);
        case kLeBomOdd: return to_utf16(text, false, true) + "\x41";
        case kEmpty: return "";
        case kBomOnly: return "\xEF\xBB\xBF";
    }
    return "";
}

int count_progress(uint64_t, int64_t, int64_t, void *user_data) {
    ++*static_cast<int *>(user_data);
    return 0;
}

int run_load(const LoadSweepCase &c, const std::string &path) {
    static int calls = 0;
    switch (c.loader) {
        case kPlain: return csv_load(path.c_str(), c.has_header);
        case kEx: return csv_load_ex(path.c_str(), c.has_header, c.delimiter, c.encoding);
        case kProgress:
            return csv_load_ex_progress(path.c_str(), c.has_header, c.delimiter, c.encoding, count_progress, &calls);
    }
    return -1;
}

class LoadAllocationSweep : public Reliability, public ::testing::WithParamInterface<LoadSweepCase> {};

// The n-th allocation fails, for every n the load makes: each run ends in
// the message of the step that failed, frees everything and leaves the
// registry as it was; with no failure the load gives the documented table.
TEST_P(LoadAllocationSweep, EveryFailureIsCleanAndDocumented) {
    const LoadSweepCase &c = GetParam();
    const std::string bytes = shape_bytes(c.shape);
    const std::string path = write_temp(std::string("sweep-") + c.name, bytes);

    // Slot 0 free, slot 1 taken: a failed load must not touch either.
    const std::string filler = write_temp("sweep-filler.csv", "a\n1\n2\n");
    ASSERT_EQ(csv_load(filler.c_str(), 1), 0);
    ASSERT_EQ(csv_load(filler.c_str(), 1), 1);
    csv_close(0);

    csv_alloc_fail_after(-1);
    int h = run_load(c, path);
    const int64_t made = csv_alloc_fail_after(-1);
    ASSERT_EQ(h, 0) << csv_last_error();
    csv_close(0);
    ASSERT_GT(made, 0);

    // The messages of the steps in the order they allocate.
    std::vector<std::string> steps = {"out of memory: cannot allocate " + std::to_string(bytes.size() + 1) +
                                      " bytes to read " + path};
    if (c.decoded) steps.push_back("out of memory while transcoding UTF-16");
    steps.push_back("out of memory");  // the parser's first blob
    const std::string later = "out of memory while parsing CSV";

    for (int64_t n = 0; n < made; ++n) {
        const size_t before = heap_in_use();
        csv_alloc_fail_after(n);
        h = run_load(c, path);
        csv_alloc_fail_after(-1);
        const size_t after = heap_in_use();
        const std::string want = n < static_cast<int64_t>(steps.size()) ? steps[n] : later;
        EXPECT_EQ(h, -1) << "allocation " << n << " of " << made;
        EXPECT_EQ(csv_last_error(), want) << "allocation " << n << " of " << made;
        EXPECT_EQ(after, before) << "allocation " << n << ": bytes left allocated";
        EXPECT_EQ(csv_row_count(0), -1) << "allocation " << n << ": slot 0 taken";
        EXPECT_EQ(csv_row_count(1), 2) << "allocation " << n << ": slot 1 changed";
        if (h >= 0) csv_close(h);
        if (HasFailure()) break;
    }

    // Afterwards the same load succeeds, into the lowest free slot.
    h = run_load(c, path);
    ASSERT_EQ(h, 0) << csv_last_error();
    const vfuzz::Model m = c.loader == kPlain ? vfuzz::parse_model(bytes, c.has_header, ',')
                                              : vfuzz::load_model(bytes, c.has_header, c.delimiter, c.encoding);
    EXPECT_EQ(vfuzz::compare_table(*csv_table_get(h), m), "");
}

INSTANTIATE_TEST_SUITE_P(
    Reliability, LoadAllocationSweep,
    ::testing::Values(
        LoadSweepCase{"plain", kPlain, 1, ',', 0, kUtf8, false},
        LoadSweepCase{"plain_no_header", kPlain, 0, ',', 0, kUtf8, false},
        LoadSweepCase{"plain_utf8_bom", kPlain, 1, ',', 0, kUtf8Bom, false},
        LoadSweepCase{"plain_empty_file", kPlain, 1, ',', 0, kEmpty, false},
        LoadSweepCase{"plain_bom_only", kPlain, 1, ',', 0, kBomOnly, false},
        LoadSweepCase{"ex_detect_utf8", kEx, 1, 0, 0, kUtf8, false},
        LoadSweepCase{"ex_named_utf8", kEx, 1, ',', 1, kUtf8Bom, false},
        LoadSweepCase{"ex_other_encoding_value", kEx, 0, ';', 9, kUtf8, false},
        LoadSweepCase{"ex_detect_le_bom", kEx, 1, 0, 0, kLeBom, true},
        LoadSweepCase{"ex_detect_be_bom", kEx, 1, 0, 0, kBeBom, true},
        LoadSweepCase{"ex_detect_le_no_bom", kEx, 1, 0, 0, kLe, true},
        LoadSweepCase{"ex_detect_be_no_bom", kEx, 0, 0, 0, kBe, true},
        LoadSweepCase{"ex_named_le_bom", kEx, 1, ',', 2, kLeBom, true},
        LoadSweepCase{"ex_named_le_no_bom", kEx, 1, ',', 2, kLe, true},
        LoadSweepCase{"ex_named_be_bom", kEx, 1, ',', 3, kBeBom, true},
        LoadSweepCase{"ex_named_be_no_bom", kEx, 1, ',', 3, kBe, true},
        LoadSweepCase{"ex_utf16_odd_length", kEx, 1, 0, 0, kLeBomOdd, true},
        LoadSweepCase{"ex_utf16_as_bytes", kEx, 1, ',', 1, kLeBom, false},
        LoadSweepCase{"progress_detect_utf8", kProgress, 1, 0, 0, kUtf8, false},
        LoadSweepCase{"progress_le_bom", kProgress, 1, 0, 0, kLeBom, true},
        LoadSweepCase{"progress_be_no_bom", kProgress, 1, '\t', 3, kBe, true}),
    [](const ::testing::TestParamInfo<LoadSweepCase> &i) { return std::string(i.param.name); });

/* ---- every allocation of a query fails in turn ---------------------------- */

// A table whose every query allocates at each of its sites: long header
// names (results above the 4096-byte first result buffer), a header and
// cells that are not UTF-8 (repair buffers), a column matched in more than
// 16 rows (search list growth) and a numeric column.
std::string query_table_text() {
    std::string s;
    for (int c = 1; c <= 10; ++c) {
        if (c > 1) s += ",";
        s += (c == 4 ? "h\xE9" : "head") + std::string(420, static_cast<char>('a' + c)) + std::to_string(c);
    }
    s += "\n";
    for (int r = 0; r < 60; ++r) {
        s += std::to_string((r * 37) % 101) + "," + (r % 2 ? "KEY" : "key") + std::to_string(r);
        for (int c = 3; c <= 10; ++c) s += (r % 9 == 0 && c == 6) ? ",caf\xE9" : ",v" + std::to_string(c * r);
        s += "\n";
    }
    return s;
}

using Query = std::function<const char *(int)>;

struct QuerySweepCase {
    const char *name;
    Query run;
    std::set<std::string> allowed;   // documented failure messages
    std::set<std::string> required;  // must each be seen at least once
    bool prime;                      // hold an earlier result while it runs
    bool stats;                      // success with a lost distinct count is allowed
};
void PrintTo(const QuerySweepCase &c, std::ostream *os) { *os << c.name; }

const std::string kOom = "out of memory";
const std::string kSer = "failed to serialize JSON";
const std::string kBuf = "out of memory for JSON buffer";

// Failures that every run of a sweep must meet at least once: the result
// buffer's growth, and the lists that select, search and sort build. (A
// failed repair buffer gives "failed to serialize JSON" only where an
// emitter repairs into a buffer of its own, so it is allowed, not required.)
std::vector<QuerySweepCase> query_cases() {
    return {
        {"headers", [](int h) { return csv_headers(h); }, {kSer, kBuf}, {kBuf}, true, false},
        {"rows", [](int h) { return csv_rows(h, 0, -1); }, {kOom, kSer, kBuf}, {kBuf}, true, false},
        {"rows_window", [](int h) { return csv_rows(h, 3, 20); }, {kOom, kSer, kBuf}, {kBuf}, true, false},
        {"select", [](int h) { return csv_select(h, "1,2,3,4,5,6,7,8,9,10,2"); }, {kOom, kSer, kBuf}, {kOom, kBuf},
         true, false},
        {"search", [](int h) { return csv_search(h, "2", "key", 1); }, {kOom, kSer, kBuf}, {kOom, kBuf}, true, false},
        {"sort", [](int h) { return csv_sort(h, "1", 1); }, {kOom, kSer, kBuf}, {kOom, kBuf}, true, false},
        {"stats", [](int h) { return csv_stats(h); }, {kSer, kBuf}, {kBuf}, true, true},
        {"warnings", [](int h) { return csv_parse_warnings(h); }, {kBuf}, {kBuf}, false, false},
    };
}

class QueryAllocationSweep : public Reliability, public ::testing::WithParamInterface<QuerySweepCase> {};

// Each run happens on a thread of its own, so that the thread's result
// buffer has to grow (or be created) for the answer, as in a host thread's
// first large query.
TEST_P(QueryAllocationSweep, EveryFailureIsCleanAndDocumented) {
    const QuerySweepCase &c = GetParam();
    const int h = csv_load(write_temp("query-sweep.csv", query_table_text()).c_str(), 1);
    ASSERT_EQ(h, 0) << csv_last_error();
    const int small = csv_load(write_temp("query-small.csv", "a\n1\n").c_str(), 1);
    ASSERT_EQ(small, 1);

    struct Run {
        const char *result = nullptr;
        std::string text, msg;
        int64_t made = 0;
        size_t leaked = 0;
        bool earlier_intact = true;
    };
    auto run_on_thread = [&](int64_t fail_at) {
        Run r;
        std::thread t([&] {
            const char *earlier = nullptr;
            std::string earlier_text;
            if (c.prime) {
                earlier = csv_headers(small);
                earlier_text = earlier ? earlier : "";
            }
            const size_t before = heap_in_use();
            csv_alloc_fail_after(fail_at);
            r.result = c.run(h);
            r.made = csv_alloc_fail_after(-1);
            const size_t after = heap_in_use();  // before any string of ours is made
            if (r.result == nullptr) r.leaked = after - before;
            if (r.result != nullptr) r.text = r.result;
            r.msg = csv_last_error();
            if (earlier != nullptr && r.result == nullptr) r.earlier_intact = earlier_text == earlier;
        });
        t.join();
        return r;
    };

    const Run ref = run_on_thread(-1);
    ASSERT_NE(ref.result, nullptr) << ref.msg;
    ASSERT_GT(ref.made, 0);
    if (c.prime) ASSERT_GT(ref.text.size(), 4096u) << "the answer must outgrow the first result buffer";

    std::set<std::string> seen;
    for (int64_t n = 0; n < ref.made; ++n) {
        const Run r = run_on_thread(n);
        if (r.result == nullptr) {
            seen.insert(r.msg);
            EXPECT_TRUE(c.allowed.count(r.msg)) << "allocation " << n << ": undocumented message " << r.msg;
            EXPECT_EQ(r.leaked, 0u) << "allocation " << n << ": bytes left allocated";
            EXPECT_TRUE(r.earlier_intact) << "allocation " << n << ": the earlier result text was changed";
        } else if (c.stats) {
            EXPECT_TRUE(vfuzz::stats_equal_but_unique(r.text, ref.text)) << "allocation " << n << ": " << r.text;
        } else {
            ADD_FAILURE() << "allocation " << n << " failed but the query succeeded: " << r.text.substr(0, 200);
        }
        if (HasFailure()) break;
    }
    for (const std::string &m : c.required) EXPECT_TRUE(seen.count(m)) << "never reported: " << m;

    // The table is untouched: the same query still gives the same answer.
    EXPECT_EQ(run_on_thread(-1).text, ref.text);
    EXPECT_EQ(csv_row_count(h), 60);
}

INSTANTIATE_TEST_SUITE_P(Reliability, QueryAllocationSweep, ::testing::ValuesIn(query_cases()),
                         [](const ::testing::TestParamInfo<QuerySweepCase> &i) { return std::string(i.param.name); });

/* ---- threads -------------------------------------------------------------- */

struct StressFile {
    std::string name, bytes;
    int has_header, delimiter, encoding;
    std::string col;  // column for search and sort
    std::string query;
};

std::vector<StressFile> stress_files() {
    std::string big = "id,name,score,note\n";
    for (int r = 0; r < 300; ++r)
        big += std::to_string(r) + ",name" + std::to_string((r * 7) % 50) + "," + std::to_string((r * 13) % 97) +
               (r % 5 ? ",plain\n" : ",\"quoted, \"\"note\"\"\"\n");
    return {
        {"big.csv", big, 1, 0, 0, "score", "name1"},
        {"utf16.csv", to_utf16("a;b;c\n1;x\xC3\xA9;3\n4;;6\n7;y;9\n", false, true), 1, 0, 0, "b", "x"},
        {"latin1.csv", "k,v\ncaf\xE9,1\n\xFF\xFE,2\n\"a\"\"b\",3\n", 1, ',', 1, "1", "A"},
        {"ragged.csv", "p|q\n1\n2|3|4\n\n\"open|5\n", 0, '|', 0, "2", ""},
    };
}

// Every query of one table, as the list of result texts (null as "<null>"
// followed by the message).
std::vector<std::string> all_answers(int h, const StressFile &f) {
    std::vector<std::string> out;
    auto put = [&](const char *p) { out.push_back(p ? std::string(p) : "<null>" + std::string(csv_last_error())); };
    put(csv_headers(h));
    put(csv_rows(h, 0, -1));
    put(csv_rows(h, 2, 3));
    put(csv_select(h, "2,1, 1"));
    put(csv_search(h, f.col.c_str(), f.query.c_str(), 0));
    put(csv_search(h, f.col.c_str(), f.query.c_str(), 1));
    put(csv_sort(h, f.col.c_str(), 0));
    put(csv_sort(h, f.col.c_str(), 1));
    put(csv_stats(h));
    put(csv_parse_warnings(h));
    out.push_back(std::to_string(csv_parse_warning_count(h)) + "/" + std::to_string(csv_row_count(h)) + "/" +
                  std::to_string(csv_col_count(h)));
    return out;
}

int stress_load(const StressFile &f, const std::string &path, int round) {
    switch (round % 3) {
        case 0: return csv_load_ex(path.c_str(), f.has_header, f.delimiter, f.encoding);
        case 1: {
            int calls = 0;
            return csv_load_ex_progress(path.c_str(), f.has_header, f.delimiter, f.encoding, count_progress, &calls);
        }
        default: {
            // A callback that calls into the library: no lock is held while
            // it runs, so this must neither deadlock nor disturb the load.
            auto cb = [](uint64_t, int64_t, int64_t, void *) {
                (void)csv_row_count(0);
                return 0;
            };
            return csv_load_ex_progress(path.c_str(), f.has_header, f.delimiter, f.encoding, cb, nullptr);
        }
    }
}

// Threads load, query with every export, close and load again, all at
// once; every answer must equal the one-thread answer, and each thread's
// message and result text must stay its own.
TEST_F(Reliability, ThreadStressMatchesSingleThreadedAnswers) {
    const std::vector<StressFile> files = stress_files();
    std::vector<std::string> paths;
    std::vector<std::vector<std::string>> expected;
    for (const StressFile &f : files) {
        paths.push_back(write_temp("stress-" + f.name, f.bytes));
        int h = stress_load(f, paths.back(), 0);
        ASSERT_GE(h, 0) << f.name << ": " << csv_last_error();
        expected.push_back(all_answers(h, f));
        csv_close(h);
    }

    const int threads = 6;
    const int rounds = VTEST_SANITIZED ? 25 : 40;
    std::vector<std::vector<std::string>> problems(threads);
    std::atomic<bool> go{false};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            auto &bad = problems[t];
            int kept = -1;  // a table some threads hold across rounds
            for (int r = 0; r < rounds && bad.size() < 5; ++r) {
                const size_t fi = static_cast<size_t>(t + r) % files.size();
                const int h = stress_load(files[fi], paths[fi], r + t);
                if (h < 0) {
                    bad.push_back("load failed: " + std::string(csv_last_error()));
                    continue;
                }
                if (all_answers(h, files[fi]) != expected[fi]) bad.push_back("answers differ for " + files[fi].name);

                // The result text stays this thread's while others query.
                const char *mine = csv_rows(h, 0, -1);
                const std::string copy = mine ? mine : "";
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                if (mine == nullptr || copy != mine || copy != expected[fi][1])
                    bad.push_back("result text changed under another thread");

                // So does the message of a failure.
                const std::string col = "no column " + std::to_string(t) + "/" + std::to_string(r);
                if (csv_sort(h, col.c_str(), 0) != nullptr) bad.push_back("unknown column accepted");
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                if (csv_last_error() != "unknown column: " + col)
                    bad.push_back("message changed under another thread: " + std::string(csv_last_error()));

                if (t % 2 == 0 && kept < 0) {
                    kept = h;
                } else {
                    csv_close(h);
                }
                if (kept >= 0 && r % 4 == 3) {
                    csv_close(kept);
                    kept = -1;
                }
            }
            if (kept >= 0) csv_close(kept);
        });
    }
    go = true;
    for (auto &th : pool) th.join();
    for (int t = 0; t < threads; ++t)
        for (const std::string &p : problems[t]) ADD_FAILURE() << "thread " << t << ": " << p;
    // Everything was closed again: the whole registry is free.
    for (int h = 0; h < CSV_MAX_HANDLES; ++h) EXPECT_EQ(csv_table_get(h), nullptr) << "slot " << h;
}

// A host that starts a thread per task must not lose the thread's result
// buffer when the thread ends (LeakSanitizer would report it at exit too;
// this names the cause).
TEST_F(Reliability, ResultBufferIsFreedWhenItsThreadEnds) {
    const int h = csv_load(write_temp("per-thread.csv", query_table_text()).c_str(), 1);
    ASSERT_GE(h, 0);
    // The first thread leaves the C library's per-stack bookkeeping behind
    // (reused by later threads); count from there.
    std::thread([&] { EXPECT_NE(csv_rows(h, 0, -1), nullptr); }).join();
    const size_t before = heap_in_use();
    for (int i = 0; i < 8; ++i)
        std::thread([&] { EXPECT_NE(csv_rows(h, 0, -1), nullptr); }).join();
    EXPECT_EQ(heap_in_use(), before);
}

// A full registry under contention: loads beyond 64 fail cleanly with the
// documented message, and every handle given out is distinct.
TEST_F(Reliability, ThreadsRacingForTheLastSlots) {
    const std::string path = write_temp("race.csv", "a,b\n1,2\n");
    const int threads = 8, per_thread = 12;  // 96 loads for 64 slots
    std::vector<std::vector<int>> got(threads);
    std::vector<std::string> bad(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i) {
                int h = csv_load(path.c_str(), 1);
                if (h >= 0) {
                    got[t].push_back(h);
                } else if (strcmp(csv_last_error(), "too many open handles (max 64)") != 0) {
                    bad[t] = csv_last_error();
                }
            }
        });
    }
    for (auto &th : pool) th.join();
    std::set<int> handles;
    size_t total = 0;
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(bad[t], "");
        total += got[t].size();
        handles.insert(got[t].begin(), got[t].end());
    }
    EXPECT_EQ(total, 64u);
    EXPECT_EQ(handles.size(), 64u);
}

/* ---- hostile paths -------------------------------------------------------- */

std::string open_error(const std::string &path, int err) {
    return vfuzz::stored_msg("cannot open file: " + path + " (" + strerror(err) + ")");
}

// Each loader on the same path: the same answer.
struct LoaderCall {
    const char *name;
    std::function<int(const char *)> load;
};

std::vector<LoaderCall> loaders() {
    // The C library keeps the converters it has loaded: load this one once
    // before any test counts the heap.
    static const bool converter_loaded = [] {
        iconv_t cd = iconv_open("UTF-8", "latin1");
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
        return true;
    }();
    (void)converter_loaded;
    return {
        {"csv_load", [](const char *p) { return csv_load(p, 1); }},
        {"csv_load_ex", [](const char *p) { return csv_load_ex(p, 1, 0, 0); }},
        {"csv_load_ex_utf16", [](const char *p) { return csv_load_ex(p, 1, ',', 2); }},
        {"csv_load_ex_progress",
         [](const char *p) {
             int calls = 0;
             return csv_load_ex_progress(p, 1, 0, 0, count_progress, &calls);
         }},
        {"csv_load_encoding_detect",
         [](const char *p) { return csv_load_encoding(p, 1, 0, nullptr, nullptr, nullptr); }},
        {"csv_load_encoding_named",
         [](const char *p) {
             int calls = 0;
             return csv_load_encoding(p, 1, 0, "latin1", count_progress, &calls);
         }},
    };
}

void expect_every_loader_fails(const std::string &path, const std::string &message) {
    for (const LoaderCall &l : loaders()) {
        const size_t before = heap_in_use();
        const int h = l.load(path.c_str());
        const size_t after = heap_in_use();
        EXPECT_EQ(h, -1) << l.name;
        EXPECT_EQ(csv_last_error(), message) << l.name;
        EXPECT_EQ(after, before) << l.name << ": bytes left allocated";
    }
    EXPECT_EQ(csv_table_get(0), nullptr) << "a failed load took a slot";
}

TEST_F(Reliability, DirectoryIsRefusedByEveryLoader) {
    const std::string dir = vtest::temp_path("a-directory");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    expect_every_loader_fails(dir, open_error(dir, EISDIR));
}

TEST_F(Reliability, PathsTheSystemRefuses) {
    const std::string file = write_temp("plain-file.csv", "a\n");
    // PATH_MAX and more, and one component longer than NAME_MAX.
    const std::string too_long = "/" + std::string(PATH_MAX + 10, 'p');
    expect_every_loader_fails(too_long, open_error(too_long, ENAMETOOLONG));
    EXPECT_EQ(strlen(csv_last_error()), static_cast<size_t>(CSV_ERR_SIZE - 1));
    const std::string long_name = vtest::temp_path(std::string(NAME_MAX + 1, 'n'));
    expect_every_loader_fails(long_name, open_error(long_name, ENAMETOOLONG));
    // A file used as a directory, and the empty path.
    expect_every_loader_fails(file + "/x.csv", open_error(file + "/x.csv", ENOTDIR));
    expect_every_loader_fails("", open_error("", ENOENT));
    // A symbolic link to itself.
    const std::string loop = vtest::temp_path("link-loop");
    ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
    expect_every_loader_fails(loop, open_error(loop, ELOOP));
    // A socket: no file to open at all.
    const std::string sock_path = vtest::temp_path("a-socket");
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
    memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    expect_every_loader_fails(sock_path, open_error(sock_path, ENXIO));
    close(sock);
}

int cancel_at_once(uint64_t, int64_t total, int64_t, void *seen_total) {
    *static_cast<int64_t *>(seen_total) = total;
    return 1;
}

// A FIFO is read like any stream, so a load waits for its writer as a
// reader of a FIFO does; a load with a progress callback can still be
// cancelled while it waits, and the callback hears that the size is unknown.
TEST_F(Reliability, FifoWithoutWriterWaitsAndCanBeCancelled) {
    const std::string fifo = vtest::temp_path("a-fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int64_t seen_total = 0;
    EXPECT_EQ(csv_load_ex_progress(fifo.c_str(), 1, 0, 0, cancel_at_once, &seen_total), -1);
    EXPECT_STREQ(csv_last_error(), "cancelled by progress callback");
    EXPECT_EQ(seen_total, -1);
    seen_total = 0;
    EXPECT_EQ(csv_load_encoding(fifo.c_str(), 1, 0, "latin1", cancel_at_once, &seen_total), -1);
    EXPECT_STREQ(csv_last_error(), "cancelled by progress callback");
    EXPECT_EQ(seen_total, -1);
}

TEST_F(Reliability, DeviceWithoutContentLoadsAsEmptyTable) {
    for (const LoaderCall &l : loaders()) {
        int h = l.load("/dev/null");
        ASSERT_GE(h, 0) << l.name << ": " << csv_last_error();
        EXPECT_EQ(csv_row_count(h), 0);
        EXPECT_EQ(csv_col_count(h), 0);
        EXPECT_STREQ(csv_headers(h), "[]");
        csv_close(h);
    }
}

// Without read permission the open fails with the system's text, unless
// the process may read anyway (root): whichever holds here is asserted.
TEST_F(Reliability, FileWithoutReadPermission) {
    const std::string path = write_temp("no-read.csv", "a,b\n1,2\n");
    std::vector<std::string> readable;
    for (const LoaderCall &l : loaders()) {
        int h = l.load(path.c_str());
        ASSERT_GE(h, 0) << l.name << ": " << csv_last_error();
        readable.push_back(csv_rows(h, 0, -1));
        csv_close(h);
    }
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    const bool can_read = access(path.c_str(), R_OK) == 0;
    for (size_t i = 0; i < loaders().size(); ++i) {
        const LoaderCall l = loaders()[i];
        int h = l.load(path.c_str());
        if (can_read) {
            ASSERT_GE(h, 0) << l.name << ": " << csv_last_error();
            EXPECT_EQ(csv_rows(h, 0, -1), readable[i]) << l.name;
            csv_close(h);
        } else {
            EXPECT_EQ(h, -1) << l.name;
            EXPECT_EQ(csv_last_error(), open_error(path, EACCES)) << l.name;
        }
    }
    chmod(path.c_str(), 0600);
}

// A file that shrinks and grows back while it is being loaded: every load
// ends cleanly with a table of at most the file's rows, whatever moment of
// the file it saw. (The content itself is not checked: a reader racing a
// truncation may see the kernel zero the cut page, so even the rows before
// the cut can hold NUL bytes.)
TEST_F(Reliability, FileTruncatedWhileLoading) {
    std::string full = "n,text\n";
    for (int r = 0; r < 20000; ++r) full += std::to_string(r) + ",row text " + std::to_string(r) + "\n";
    const std::string path = write_temp("shrinking.csv", full);
    const vfuzz::Model whole = vfuzz::parse_model(full, true, ',');

    struct Changer {
        std::atomic<bool> stop{false};
        std::thread thread;
        ~Changer() {
            stop = true;
            if (thread.joinable()) thread.join();
        }
    } changer;
    changer.thread = std::thread([&] {
        int fd = open(path.c_str(), O_WRONLY);
        if (fd < 0) return;
        for (int i = 0; !changer.stop.load(); ++i) {
            if (ftruncate(fd, static_cast<off_t>(i % 2 ? full.size() / 3 : 0)) != 0) break;
            if (pwrite(fd, full.data(), full.size(), 0) != static_cast<ssize_t>(full.size())) break;
        }
        close(fd);
    });
    for (int i = 0; i < (VTEST_SANITIZED ? 20 : 100); ++i) {
        int h = csv_load(path.c_str(), 1);
        ASSERT_GE(h, 0) << csv_last_error();
        const csv_table *t = csv_table_get(h);
        EXPECT_LE(t->n_rows, static_cast<int64_t>(whole.rows.size()));
        EXPECT_NE(csv_rows(h, 0, -1), nullptr) << csv_last_error();
        EXPECT_NE(csv_stats(h), nullptr) << csv_last_error();
        csv_close(h);
    }
}

/* ---- hostile contents ----------------------------------------------------- */

struct ContentCase {
    const char *name;
    std::string bytes;
    int has_header;
    int delimiter;  // for csv_load_ex; 0 detect
    int encoding;
};
void PrintTo(const ContentCase &c, std::ostream *os) { *os << c.name; }

std::vector<ContentCase> content_cases() {
    const size_t n = VTEST_SANITIZED ? 20000 : 100000;
    return {
        {"only_quotes_even", std::string(n, '"'), 1, 0, 0},
        {"only_quotes_odd", std::string(n + 1, '"'), 0, 0, 0},
        {"only_commas", std::string(n, ','), 1, 0, 0},
        {"only_semicolons_detected", std::string(n, ';'), 0, 0, 0},
        {"only_tabs_named", std::string(n, '\t'), 1, '\t', 1},
        {"only_lf", std::string(n, '\n'), 1, 0, 0},
        {"only_cr", std::string(n, '\r'), 0, 0, 0},
        {"only_crlf", [&] {
             std::string s;
             for (size_t i = 0; i < n / 2; ++i) s += "\r\n";
             return s;
         }(), 1, 0, 0},
        {"only_lfcr", [&] {
             std::string s;
             for (size_t i = 0; i < n / 2; ++i) s += "\n\r";
             return s;
         }(), 0, 0, 0},
        {"only_nul_bytes", std::string(n, '\0'), 0, 0, 0},
        {"only_nul_bytes_as_utf16", std::string(n, '\0'), 1, 0, 2},
        {"only_utf8_bom", "\xEF\xBB\xBF", 1, 0, 0},
        {"only_utf16le_bom", "\xFF\xFE", 1, 0, 0},
        {"only_utf16be_bom", "\xFE\xFF", 1, 0, 0},
        {"utf16_bom_and_odd_byte", "\xFF\xFE\x41", 1, 0, 0},
        {"only_utf8_boms", [&] {
             std::string s;
             for (size_t i = 0; i < n / 3; ++i) s += "\xEF\xBB\xBF";
             return s;
         }(), 1, 0, 0},
        {"only_lone_surrogates", [&] {
             std::string s = "\xFF\xFE";
             for (size_t i = 0; i < n / 2; ++i) s.append("\x00\xD8", 2);
             return s;
         }(), 1, 0, 0},
        {"quote_at_every_place", [&] {
             std::string s;
             for (size_t i = 0; i < n / 4; ++i) s += "\"a\"b";
             return s + "\n\"\n\"\"\"\n";
         }(), 1, 0, 0},
        {"invalid_utf8_everywhere", [&] {
             std::string s;
             for (size_t i = 0; i < n / 2; ++i) s += static_cast<char>(0x80 + i % 128), s += (i % 7 ? "," : "\n");
             return s;
         }(), 1, 0, 0},
    };
}

class HostileContent : public Reliability, public ::testing::WithParamInterface<ContentCase> {};

// Every loader gives the documented table, and every query answers it
// (checked against the reference models of the fuzz targets).
TEST_P(HostileContent, LoadsAsDocumentedAndAnswersEveryQuery) {
    const ContentCase &c = GetParam();
    const std::string path = write_temp(std::string("hostile-") + c.name, c.bytes);

    int h = csv_load(path.c_str(), c.has_header);
    EXPECT_EQ(vfuzz::check_loaded(h, vfuzz::parse_model(c.bytes, c.has_header, ','), "csv_load"), "");
    csv_close(h);

    h = csv_load_ex(path.c_str(), c.has_header, c.delimiter, c.encoding);
    EXPECT_EQ(vfuzz::check_loaded(h, vfuzz::load_model(c.bytes, c.has_header, c.delimiter, c.encoding),
                                  "csv_load_ex"),
              "");
    vfuzz::ApiParams p;
    p.has_header = c.has_header;
    p.offset = -1;
    p.limit = 3;
    p.query = "a";
    for (uint8_t sel : {0, 3, 9}) {
        p.col_sel = sel;
        EXPECT_EQ(vfuzz::check_queries(h, p), "") << "column choice " << int(sel);
    }
    csv_close(h);
}

INSTANTIATE_TEST_SUITE_P(Reliability, HostileContent, ::testing::ValuesIn(content_cases()),
                         [](const ::testing::TestParamInfo<ContentCase> &i) { return std::string(i.param.name); });

// One record of two million fields: the table is two million columns wide
// and still answers.
TEST_F(Reliability, RecordOfMillionsOfFields) {
    const int fields = 2000000;
    std::string line;
    line.reserve(fields * 2);
    for (int i = 0; i < fields; ++i) line += i ? ",x" : "x";
    const std::string path = write_temp("wide.csv", line + "\n");

    int h = csv_load(path.c_str(), 0);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_EQ(csv_col_count(h), fields);
    EXPECT_EQ(csv_row_count(h), 1);
    EXPECT_EQ(vfuzz::check_invariants(*csv_table_get(h)), "");
    const char *hdr = csv_headers(h);
    ASSERT_NE(hdr, nullptr) << csv_last_error();
    EXPECT_TRUE(std::string_view(hdr).starts_with("[\"1\",\"2\",\"3\","));
    const char *rows = csv_rows(h, 0, -1);
    ASSERT_NE(rows, nullptr) << csv_last_error();
    EXPECT_TRUE(std::string_view(rows).ends_with(",\"2000000\":\"x\"}]"));
    EXPECT_STREQ(csv_select(h, "2000000,1"), "[{\"2000000\":\"x\",\"1\":\"x\"}]");
    EXPECT_NE(csv_sort(h, "1999999", 1), nullptr) << csv_last_error();
    EXPECT_NE(csv_search(h, "2000000", "x", 0), nullptr) << csv_last_error();
    EXPECT_EQ(csv_parse_warning_count(h), 0);
    csv_close(h);

    // The same record as header names: no rows, two million names.
    h = csv_load_ex(path.c_str(), 1, 0, 0);
    ASSERT_GE(h, 0) << csv_last_error();
    EXPECT_EQ(csv_col_count(h), fields);
    EXPECT_EQ(csv_row_count(h), 0);
    const char *stats = csv_stats(h);
    ASSERT_NE(stats, nullptr) << csv_last_error();
    EXPECT_TRUE(std::string_view(stats).starts_with("{\"row_count\":0,\"col_count\":2000000,\"columns\":[{"));
    csv_close(h);
}

// One field of hundreds of MB (less under the sanitizers, which multiply
// memory and time), quoted with doubled quotes so that the assembling
// buffer grows all the way.
TEST_F(Reliability, FieldOfHundredsOfMegabytes) {
    const size_t size = VTEST_SANITIZED ? (24u << 20) : (200u << 20);
    std::string bytes = "big,small\n\"";
    bytes.reserve(size + 64);
    bytes += "\"\"";  // one doubled quote at the start
    bytes.append(size - 2, 'z');
    bytes += "\"\"\",tail\n";
    const std::string path = write_temp("huge-field.csv", bytes);
    bytes.clear();
    bytes.shrink_to_fit();

    int h = csv_load(path.c_str(), 1);
    ASSERT_GE(h, 0) << csv_last_error();
    ASSERT_EQ(csv_row_count(h), 1);
    const csv_table *t = csv_table_get(h);
    const csv_cell *c = csv_cell_at(t, 0, 0);
    ASSERT_EQ(c->length, size);  // two doubled quotes became single ones
    EXPECT_EQ(t->blob[c->offset], '"');
    EXPECT_EQ(t->blob[c->offset + size - 1], '"');
    EXPECT_EQ(t->blob[c->offset + size / 2], 'z');
    EXPECT_EQ(vfuzz::cell_of(*t, 0, 1), "tail");
    const char *rows = csv_rows(h, 0, -1);
    ASSERT_NE(rows, nullptr) << csv_last_error();
    EXPECT_EQ(strlen(rows), size + 2 /* escapes */ + strlen("[{\"big\":\"\",\"small\":\"tail\"}]"));
    const char *found = csv_search(h, "small", "tail", 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(strlen(found), strlen(rows));
    csv_close(h);
    std::filesystem::remove(path);
}

/* ---- the fuzz corpus as regression tests ---------------------------------- */

struct CorpusFile {
    std::string target, path, name;
};
void PrintTo(const CorpusFile &f, std::ostream *os) { *os << f.target << "/" << f.name; }

std::vector<CorpusFile> corpus_files() {
    namespace fs = std::filesystem;
    std::vector<CorpusFile> out;
    const fs::path root = fs::path(VELMORA_TEST_DATA).parent_path().parent_path() / "fuzz" / "corpus";
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return out;
    for (const auto &dir : fs::directory_iterator(root, ec)) {
        if (!dir.is_directory()) continue;
        for (const auto &f : fs::directory_iterator(dir.path(), ec)) {
            if (!f.is_regular_file()) continue;
            std::string name = dir.path().filename().string() + "_" + f.path().filename().string();
            for (char &ch : name)
                if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
            out.push_back({dir.path().filename().string(), f.path().string(), name});
        }
    }
    std::sort(out.begin(), out.end(), [](const CorpusFile &a, const CorpusFile &b) { return a.name < b.name; });
    return out;
}

class FuzzCorpus : public Reliability, public ::testing::WithParamInterface<CorpusFile> {};

TEST_P(FuzzCorpus, HoldsEveryProperty) {
    const CorpusFile &f = GetParam();
    std::ifstream in(f.path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const uint8_t *d = reinterpret_cast<const uint8_t *>(bytes.data());
    std::string err;
    if (f.target == "parse") err = vfuzz::check_parse(d, bytes.size());
    else if (f.target == "utf16") err = vfuzz::check_utf16(d, bytes.size());
    else if (f.target == "utf8") err = vfuzz::check_utf8(d, bytes.size());
    else if (f.target == "detect") err = vfuzz::check_detect(d, bytes.size());
    else if (f.target == "numeric") err = vfuzz::check_numeric(d, bytes.size());
    else if (f.target == "api") err = vfuzz::check_api(d, bytes.size());
    else if (f.target == "oom") err = vfuzz::check_oom(d, bytes.size());
    else err = "no checks for the corpus directory " + f.target;
    EXPECT_EQ(err, "") << f.path;
}

INSTANTIATE_TEST_SUITE_P(Reliability, FuzzCorpus, ::testing::ValuesIn(corpus_files()),
                         [](const ::testing::TestParamInfo<CorpusFile> &i) { return i.param.name; });

}  // namespace
