// The thread's result buffer across answers: it keeps its pages from one
// answer to the next within a bound, and large answers are written into
// pages prepared ahead of the writer, yet every answer replaces the
// previous one exactly, on every thread, whatever sizes come one after the
// other, and every allocation failure ends in a clean failure.
#include <string.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "csv_internal.h"
#include "csv_platform.h"
#include "test_util.h"
#include "velmora_csv.h"

namespace {

// A table whose answers are easy to write out independently: cell (r, c)
// is "r<r>c<c>", and every 97th row's last cell holds a '"', a '\\' and a
// tab, which the answers escape. Column "k" holds the row number
// backwards, so that sorting by it reverses the rows.
struct Answers {
    int64_t n_rows;
    int32_t n_cols;
    std::string path;

    std::string head(int32_t c) const { return c == 0 ? "k" : "c" + std::to_string(c); }
    std::string cell(int64_t r, int32_t c) const {
        if (c == 0) return std::to_string(n_rows - 1 - r);
        std::string s = "r" + std::to_string(r) + "c" + std::to_string(c);
        if (c == n_cols - 1 && r % 97 == 0) s += "q\"b\\t\t";
        return s;
    }
    static std::string quoted_csv(const std::string &s) {
        std::string o = "\"";
        for (char ch : s) o += ch == '"' ? std::string("\"\"") : std::string(1, ch);
        return o + "\"";
    }
    static std::string json_text(const std::string &s) {
        std::string o;
        for (char ch : s) {
            if (ch == '"') o += "\\\"";
            else if (ch == '\\') o += "\\\\";
            else if (ch == '\t') o += "\\t";
            else o += ch;
        }
        return o;
    }

    Answers(int64_t rows, int32_t cols, const std::string &name) : n_rows(rows), n_cols(cols) {
        std::string text;
        for (int32_t c = 0; c < n_cols; ++c) text += (c ? "," : "") + head(c);
        text += "\n";
        for (int64_t r = 0; r < n_rows; ++r) {
            for (int32_t c = 0; c < n_cols; ++c) text += (c ? "," : "") + quoted_csv(cell(r, c));
            text += "\n";
        }
        path = vtest::write_temp(name, text);
    }

    // The rows answer over `order` (row numbers) and `cols` (column numbers).
    std::string rows(const std::vector<int64_t> &order, const std::vector<int32_t> &cols) const {
        std::string o = "[";
        for (size_t i = 0; i < order.size(); ++i) {
            if (i) o += ",";
            o += "{";
            for (size_t j = 0; j < cols.size(); ++j) {
                if (j) o += ",";
                o += "\"" + head(cols[j]) + "\":\"" + json_text(cell(order[i], cols[j])) + "\"";
            }
            o += "}";
        }
        return o + "]";
    }
    std::vector<int32_t> every_col() const {
        std::vector<int32_t> v;
        for (int32_t c = 0; c < n_cols; ++c) v.push_back(c);
        return v;
    }
    std::vector<int64_t> span(int64_t from, int64_t count, bool reversed = false) const {
        std::vector<int64_t> v;
        for (int64_t i = 0; i < count && from + i < n_rows; ++i)
            v.push_back(reversed ? n_rows - 1 - (from + i) : from + i);
        return v;
    }
};

// Large enough that the whole answer (about 14 MB) is written through the
// page feed, and a quarter of it still past the buffer sizes always kept.
const Answers &big_table() {
    static const Answers a(100000, 8, "answers_big.csv");
    return a;
}

struct Pages {
    int64_t capacity = 0;
    int64_t backed = 0;
};
Pages pages() {
    Pages p;
    csv_tls_json_pages(&p.capacity, &p.backed);
    return p;
}

// One question and the answer it must give.
struct Question {
    const char *name;
    const char *(*ask)(int h);
    std::string (*want)(const Answers &a);
};

const Question kQuestions[] = {
    {"all rows", [](int h) { return csv_rows(h, 0, -1); },
     [](const Answers &a) { return a.rows(a.span(0, a.n_rows), a.every_col()); }},
    {"a page of rows", [](int h) { return csv_rows(h, 500, 20); },
     [](const Answers &a) { return a.rows(a.span(500, 20), a.every_col()); }},
    {"three columns", [](int h) { return csv_select(h, "c7,k,c2"); },
     [](const Answers &a) { return a.rows(a.span(0, a.n_rows), {7, 0, 2}); }},
    {"sorted", [](int h) { return csv_sort(h, "k", 0); },
     [](const Answers &a) { return a.rows(a.span(0, a.n_rows, true), a.every_col()); }},
    {"one row", [](int h) { return csv_search(h, "c1", "r77c1", 0); },
     [](const Answers &a) { return a.rows({77}, a.every_col()); }},
    {"headers", [](int h) { return csv_headers(h); },
     [](const Answers &a) {
         std::string o = "[";
         for (int32_t c = 0; c < a.n_cols; ++c) o += (c ? ",\"" : "\"") + a.head(c) + "\"";
         return o + "]";
     }},
};

const Question &question(const char *name) {
    for (const Question &q : kQuestions)
        if (strcmp(q.name, name) == 0) return q;
    abort();
}

// Asks `q` and checks the answer; returns it (null on a mismatch).
const char *expect_answer(int h, const Question &q, const Answers &a, const std::string &label) {
    const char *got = q.ask(h);
    EXPECT_NE(got, nullptr) << label << ": " << q.name << ": " << csv_last_error();
    if (got == nullptr) return nullptr;
    const std::string want = q.want(a);
    EXPECT_EQ(strlen(got), want.size()) << label << ": " << q.name;
    EXPECT_TRUE(strcmp(got, want.c_str()) == 0) << label << ": " << q.name;
    return got;
}

}  // namespace

// Large, small and large answers one after the other, on many threads at
// once: each answer is exact, a repeated large answer reuses the pages of
// the first, and a much smaller one gives them back.
TEST(AnswerBufferThread, SizesOneAfterTheOtherOnManyThreads) {
    const Answers &a = big_table();
    const int h = csv_load(a.path.c_str(), 1);
    ASSERT_GE(h, 0) << csv_last_error();
    const char *order[] = {"all rows", "all rows",      "a page of rows", "sorted",
                           "one row",  "three columns", "all rows",       "headers",
                           "sorted",   "sorted"};
    auto run = [&](int id) {
        const std::string label = "thread " + std::to_string(id);
        // Each thread starts somewhere else in the order.
        {
            for (size_t i = 0; i < std::size(order); ++i) {
                const Question &q = question(order[(i + static_cast<size_t>(id)) % std::size(order)]);
                const Pages before = pages();
                const char *got = expect_answer(h, q, a, label);
                if (got == nullptr) return;
                const Pages after = pages();
                const int64_t need = static_cast<int64_t>(strlen(got)) + 1;
                // Never more than four times the answer past the sizes kept
                // anyway, and the pages of a repeated answer are reused.
                EXPECT_TRUE(after.capacity <= std::max<int64_t>(int64_t{1} << 20, 4 * need))
                    << label << ": " << q.name << " in a buffer of " << after.capacity;
                if (after.capacity == before.capacity && before.backed >= need)
                    EXPECT_EQ(after.backed, before.backed) << label;
            }
        }
    };
    std::vector<std::thread> threads;
    for (int id = 0; id < 4; ++id) threads.emplace_back(run, id);
    for (std::thread &t : threads) t.join();
    csv_close(h);
}

// A repeated answer is written at the same place, the buffer keeps its
// capacity, and a much smaller answer shrinks it to fit.
TEST(AnswerBufferThread, KeptForTheSameAnswerAndFittedToAMuchSmallerOne) {
    const Answers &a = big_table();
    std::thread([&] {
        const int h = csv_load(a.path.c_str(), 1);
        ASSERT_GE(h, 0) << csv_last_error();
        const char *first = expect_answer(h, question("all rows"), a, "first");
        const Pages kept = pages();
        const char *second = expect_answer(h, question("all rows"), a, "second");
        EXPECT_EQ(second, first);
        EXPECT_EQ(pages().capacity, kept.capacity);
        EXPECT_EQ(pages().backed, kept.backed);
        // Three columns are more than a quarter of the whole: kept.
        const char *sel = expect_answer(h, question("three columns"), a, "select");
        ASSERT_NE(sel, nullptr);
        ASSERT_GT(4 * static_cast<int64_t>(strlen(sel) + 1), kept.capacity);
        EXPECT_EQ(pages().capacity, kept.capacity);
        // A page of rows is far less: the buffer shrinks to the next power
        // of two, and the large answer after it grows it again.
        const char *page = expect_answer(h, question("a page of rows"), a, "page");
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(pages().capacity, 4096);
        EXPECT_LE(pages().backed, 4096);
        expect_answer(h, question("all rows"), a, "again");
        EXPECT_EQ(pages().capacity, kept.capacity);
        csv_close(h);
    }).join();
}

// Closing the last open table gives the closing thread's kept pages back at
// once, without touching its current answer, and makes every other thread
// fit its buffer to its next answer; closing a table while another is open
// keeps them.
TEST(AnswerBufferThread, CloseOfTheLastTableReleasesKeptPages) {
    const Answers &a = big_table();
    const int h = csv_load(a.path.c_str(), 1);
    const int other = csv_load(a.path.c_str(), 1);
    ASSERT_GE(h, 0) << csv_last_error();
    ASSERT_GE(other, 0) << csv_last_error();

    std::promise<void> closed;
    std::promise<Pages> held;
    std::thread peer([&] {
        // A large answer, then a third of it: the pages of the first stay.
        expect_answer(h, question("all rows"), a, "peer");
        expect_answer(h, question("three columns"), a, "peer");
        held.set_value(pages());
        closed.get_future().wait();
        const int again = csv_load(a.path.c_str(), 1);
        ASSERT_GE(again, 0) << csv_last_error();
        const char *sel = expect_answer(again, question("three columns"), a, "peer after close");
        ASSERT_NE(sel, nullptr);
        const int64_t need = static_cast<int64_t>(strlen(sel)) + 1;
        EXPECT_LT(pages().capacity, 2 * need);  // fitted: the next power of two
        csv_close(again);
    });
    const Pages peer_held = held.get_future().get();
    EXPECT_GT(peer_held.capacity, 8 * (int64_t{1} << 20));

    const std::string want = question("three columns").want(a);
    expect_answer(h, question("all rows"), a, "closer");
    const char *current = expect_answer(h, question("three columns"), a, "closer");
    ASSERT_NE(current, nullptr);
    const Pages before = pages();
    EXPECT_GT(before.backed, static_cast<int64_t>(want.size()) + 1);
    csv_close(h);  // another table is still open: nothing changes
    EXPECT_EQ(pages().backed, before.backed);
    csv_close(other);
    EXPECT_EQ(pages().backed, static_cast<int64_t>(want.size()) + 1);
    EXPECT_EQ(pages().capacity, before.capacity);
    // The current answer stays readable until this thread's next one.
    EXPECT_TRUE(strcmp(current, want.c_str()) == 0);
    closed.set_value();
    peer.join();
}

// Every allocation of every answer path failing in turn, on a thread whose
// buffer is empty, one whose buffer is large (the answer may shrink it) and
// one whose buffer is small (a large answer grows it, through the feed):
// each call either answers exactly or fails with its message and leaves the
// previous answer readable.
TEST(AnswerBufferThread, EveryAllocationFailingOnEveryAnswerPath) {
    const Answers &a = big_table();
    const int h = csv_load(a.path.c_str(), 1);
    ASSERT_GE(h, 0) << csv_last_error();
    enum Prime { kEmpty, kLarge, kSmall };
    for (const Question &q : kQuestions) {
        for (Prime prime : {kEmpty, kLarge, kSmall}) {
            const std::string label = std::string(q.name) + " after a " +
                                      (prime == kEmpty ? "fresh" : prime == kLarge ? "large" : "small") +
                                      " buffer";
            const std::string want = q.want(a);
            int64_t made = 0;
            std::thread([&] {
                csv_alloc_fail_after(-1);
                ASSERT_NE(q.ask(h), nullptr) << label;
                made = csv_alloc_fail_after(-1);
            }).join();
            ASSERT_GT(made, 0) << label;
            // One more than the call makes when nothing fails, in case the
            // fresh thread's call makes one more than the count above.
            for (int64_t n = 0; n <= made; ++n) {
                std::thread([&] {
                    const char *before = nullptr;
                    std::string previous;
                    if (prime != kEmpty) {
                        before = csv_rows(h, 0, prime == kLarge ? -1 : 1);
                        ASSERT_NE(before, nullptr) << label;
                        previous = before;
                    }
                    csv_alloc_fail_after(n);
                    const char *got = q.ask(h);
                    csv_alloc_fail_after(-1);
                    if (got == nullptr) {
                        EXPECT_NE(csv_last_error()[0], '\0') << label << ", failing at " << n;
                        if (before != nullptr)
                            EXPECT_TRUE(strcmp(before, previous.c_str()) == 0) << label << ", failing at " << n;
                    } else {
                        EXPECT_TRUE(strcmp(got, want.c_str()) == 0) << label << ", failing at " << n;
                    }
                }).join();
            }
        }
    }
    csv_close(h);
}

// The same answers with the feed's helper refused and with bulk page
// population unavailable: the writer then prepares every stretch itself.
TEST(AnswerBufferThread, WithoutHelperOrBulkPopulation) {
    const Answers &a = big_table();
    const int h = csv_load(a.path.c_str(), 1);
    ASSERT_GE(h, 0) << csv_last_error();
    for (int mode = 0; mode < 2; ++mode) {
        std::thread([&] {
            if (mode == 0) csv_page_feed_no_helper(1);
            else csv_platform_populate_unsupported(1);
            csv_page_feeds_started();
            expect_answer(h, question("sorted"), a, mode == 0 ? "no helper" : "no population");
            expect_answer(h, question("all rows"), a, mode == 0 ? "no helper" : "no population");
            EXPECT_EQ(csv_page_feeds_started(), 1);  // the second reuses the first's pages
            csv_page_feed_no_helper(0);
            csv_platform_populate_unsupported(0);
        }).join();
    }
    csv_close(h);
}

// An answer that outgrows the thread's previous one is fed only past the
// pages the previous one wrote, from wherever in a page that ends, with
// and without the feed's helper.
TEST(AnswerBufferThread, GrowingPastAnEarlierAnswer) {
    const Answers &a = big_table();
    const int h = csv_load(a.path.c_str(), 1);
    ASSERT_GE(h, 0) << csv_last_error();
    for (int no_helper = 0; no_helper < 2; ++no_helper) {
        for (const char *first : {"one row", "three columns"}) {
            std::thread([&] {
                csv_page_feed_no_helper(no_helper);
                const char *small = expect_answer(h, question(first), a, "first");
                ASSERT_NE(small, nullptr);
                const uint64_t kept = strlen(small) + 1;
                csv_page_feeds_started();
                const char *all = expect_answer(h, question("all rows"), a, first);
                ASSERT_NE(all, nullptr);
                // Fed when what the earlier answer did not write is large.
                EXPECT_EQ(csv_page_feeds_started(),
                          csv_page_feed_wanted(strlen(all) + 1 - kept) ? 1 : 0)
                    << first;
                csv_page_feed_no_helper(0);
            }).join();
        }
    }
    csv_close(h);
}

// A large first answer of a thread goes into a block chosen from a guess at
// its size before the exact size is known. A guess too small (the block
// grows) or far too large (it shrinks) still gives the exact answer in a
// buffer fitted to it, and every allocation failing in turn ends in the
// exact answer or a clean failure that leaves the previous answer readable.
TEST(AnswerBufferThread, BlockChosenFromAGuessThatIsOff) {
    // Past 16 MiB, so that a guess of 8 MiB, still large enough to be fed,
    // gives a block too small for it.
    static const Answers a(130000, 10, "answers_bigger.csv");
    const int h = csv_load(a.path.c_str(), 1);
    ASSERT_GE(h, 0) << csv_last_error();
    const std::string want = question("all rows").want(a);
    ASSERT_GT(want.size(), size_t{16} << 20);
    const int64_t need = static_cast<int64_t>(want.size()) + 1;
    struct Guess {
        const char *name;
        uint64_t bytes;
    };
    const Guess guesses[] = {{"too small", uint64_t{8} << 20},
                             {"far too large", 64 * static_cast<uint64_t>(need)}};
    for (const Guess &g : guesses) {
        int64_t made = 0;
        std::thread([&] {
            csv_alloc_fail_after(-1);
            csv_emit_rows_guess(g.bytes);
            expect_answer(h, question("all rows"), a, g.name);
            made = csv_alloc_fail_after(-1);
            const Pages p = pages();
            EXPECT_GE(p.capacity, need) << g.name;
            EXPECT_LT(p.capacity, 2 * need) << g.name;
            EXPECT_GE(p.backed, need) << g.name;
            EXPECT_LE(p.backed, p.capacity) << g.name;
        }).join();
        for (int64_t n = 0; n <= made; ++n) {
            std::thread([&] {
                const char *before = csv_rows(h, 0, 1);
                ASSERT_NE(before, nullptr);
                const std::string previous = before;
                csv_emit_rows_guess(g.bytes);
                csv_alloc_fail_after(n);
                const char *got = csv_rows(h, 0, -1);
                csv_alloc_fail_after(-1);
                if (got == nullptr) {
                    EXPECT_NE(csv_last_error()[0], '\0') << g.name << ", failing at " << n;
                    EXPECT_TRUE(strcmp(before, previous.c_str()) == 0) << g.name << ", failing at " << n;
                } else {
                    EXPECT_TRUE(strcmp(got, want.c_str()) == 0) << g.name << ", failing at " << n;
                }
            }).join();
        }
    }
    csv_close(h);
}
