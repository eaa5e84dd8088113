// The count of bytes that start no well-formed UTF-8 sequence, which a load
// reports for text kept as read: each case alone, then placed at every
// offset around the 16-byte blocks the ASCII scan skips.
#include <stdint.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "csv_internal.h"

namespace {

struct CountCase {
    const char *name;
    std::string bytes;
    uint64_t invalid;
};
void PrintTo(const CountCase &c, std::ostream *os) { *os << c.name; }

std::vector<CountCase> count_cases() {
    return {
        {"empty", "", 0},
        {"ascii", "plain, text\n", 0},
        {"two_three_four_bytes", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", 0},
        {"limits", "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", 0},
        {"windows1252_euro", "\x80" "5", 1},
        {"windows1252_quotes", "\x93q\x94", 2},
        {"latin1_letter_before_ascii", "caf\xE9!", 1},
        {"lone_continuations", "\x80\xBF\x80", 3},
        {"overlong_two", "\xC0\xAF", 2},
        {"overlong_c1", "\xC1\xBF", 2},
        {"overlong_three", "\xE0\x80\xAF", 3},
        {"overlong_four", "\xF0\x80\x80\xAF", 4},
        {"surrogate_high", "\xED\xA0\x80", 3},
        {"surrogate_low", "\xED\xBF\xBF", 3},
        {"above_u10ffff", "\xF4\x90\x80\x80", 4},
        {"f5_and_ff", "\xF5\xFF", 2},
        // A cut sequence: its lead is rejected, then each continuation.
        {"truncated_two_at_end", "ab\xC3", 1},
        {"truncated_three_at_end", "ab\xE2\x82", 2},
        {"truncated_four_at_end", "ab\xF0\x9F\x98", 3},
        {"lead_then_ascii", "\xE2(\xA1", 2},
        {"valid_after_invalid", "\xFF\xC3\xA9\xFF", 2},
    };
}

class CountCases : public ::testing::TestWithParam<CountCase> {};

TEST_P(CountCases, CountsAlone) {
    const CountCase &c = GetParam();
    EXPECT_EQ(csv_utf8_invalid_count(c.bytes.data(), c.bytes.size()), c.invalid);
}

// ASCII before and after puts the case at every position of a 16-byte
// block and across the boundary of two; the count does not change.
TEST_P(CountCases, CountsAtEveryBlockPosition) {
    const CountCase &c = GetParam();
    for (size_t before = 0; before <= 33; ++before) {
        for (size_t after : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}}) {
            const std::string s = std::string(before, 'x') + c.bytes + std::string(after, 'y');
            EXPECT_EQ(csv_utf8_invalid_count(s.data(), s.size()), c.invalid)
                << "before " << before << " after " << after;
        }
    }
}

// Repeated many times over, the counts add up (no byte skipped or counted
// twice where one sequence ends and the next block begins).
TEST_P(CountCases, RepeatsAddUp) {
    const CountCase &c = GetParam();
    std::string s;
    for (int i = 0; i < 40; ++i) s += c.bytes + std::string(static_cast<size_t>(i % 19), 'z');
    EXPECT_EQ(csv_utf8_invalid_count(s.data(), s.size()), 40 * c.invalid);
}

INSTANTIATE_TEST_SUITE_P(Utf8, CountCases, ::testing::ValuesIn(count_cases()),
                         [](const auto &i) { return std::string(i.param.name); });

TEST(Utf8Count, ExaminesOnlyTheGivenLength) {
    const char text[] = "abc\xFF\xFF";
    EXPECT_EQ(csv_utf8_invalid_count(text, 3), 0u);
    EXPECT_EQ(csv_utf8_invalid_count(text, 4), 1u);
    // A sequence cut by the length counts as cut, even if the bytes go on.
    const char euro[] = "\xE2\x82\xAC";
    EXPECT_EQ(csv_utf8_invalid_count(euro, 2), 2u);
}

TEST(Utf8Count, AgreesWithTheRepairedLength) {
    // Each counted byte is one the answers repair into two.
    for (const CountCase &c : count_cases()) {
        EXPECT_EQ(csv_utf8_repaired_len(c.bytes.data(), c.bytes.size()), c.bytes.size() + c.invalid)
            << c.name;
    }
}

}  // namespace
