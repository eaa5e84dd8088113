// Throughput of the per-byte and per-cell hot paths: UTF-16 transcoding,
// the UTF-8 well-formedness scan and the numeric cell test, each beside a
// baseline that does the least possible work on the same data.
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "csv_internal.h"

namespace {

constexpr size_t k_units = 8u << 20;  // 16 MiB of UTF-16

// CSV-like text, mostly ASCII, with a Latin-1 letter about every 64 units
// and a euro sign about every 512.
const std::vector<unsigned char> &utf16_le_text() {
    static const std::vector<unsigned char> data = [] {
        std::vector<unsigned char> d;
        d.reserve(2 * k_units);
        std::mt19937 rng(1);
        const char line[] = "2024-05-17,Widget,42,3.50,shipped\r\n";
        for (size_t i = 0; i < k_units; ++i) {
            uint16_t u = static_cast<uint16_t>(line[i % (sizeof line - 1)]);
            uint32_t r = rng();
            if (r % 512 == 0) u = 0x20AC;
            else if (r % 64 == 0) u = 0x00E9;
            d.push_back(static_cast<unsigned char>(u & 0xFF));
            d.push_back(static_cast<unsigned char>(u >> 8));
        }
        return d;
    }();
    return data;
}

void BM_Utf16LeToUtf8(benchmark::State &state) {
    const auto &in = utf16_le_text();
    for (auto _ : state) {
        char *out = nullptr;
        uint64_t len = 0;
        int32_t odd = 0;
        if (csv_utf16_to_utf8(in.data(), in.size(), 0, 0, &out, &len, &odd) != 0) {
            state.SkipWithError("transcoding failed");
            break;
        }
        benchmark::DoNotOptimize(out);
        csv_free(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Utf16LeToUtf8)->Unit(benchmark::kMillisecond);

void BM_Utf16BeToUtf8(benchmark::State &state) {
    static const std::vector<unsigned char> in = [] {
        std::vector<unsigned char> d = utf16_le_text();
        for (size_t i = 0; i + 1 < d.size(); i += 2) std::swap(d[i], d[i + 1]);
        return d;
    }();
    for (auto _ : state) {
        char *out = nullptr;
        uint64_t len = 0;
        if (csv_utf16_to_utf8(in.data(), in.size(), 1, 0, &out, &len, nullptr) != 0) {
            state.SkipWithError("transcoding failed");
            break;
        }
        benchmark::DoNotOptimize(out);
        csv_free(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Utf16BeToUtf8)->Unit(benchmark::kMillisecond);

// Text that is mostly two-byte letters (Cyrillic), the slow side.
const std::vector<unsigned char> &utf16_le_cyrillic() {
    static const std::vector<unsigned char> data = [] {
        std::vector<unsigned char> d;
        d.reserve(2 * k_units);
        for (size_t i = 0; i < k_units; ++i) {
            uint16_t u = i % 8 == 7 ? uint16_t{','} : static_cast<uint16_t>(0x0410 + i % 32);
            d.push_back(static_cast<unsigned char>(u & 0xFF));
            d.push_back(static_cast<unsigned char>(u >> 8));
        }
        return d;
    }();
    return data;
}

void BM_Utf16LeToUtf8Cyrillic(benchmark::State &state) {
    const auto &in = utf16_le_cyrillic();
    for (auto _ : state) {
        char *out = nullptr;
        uint64_t len = 0;
        if (csv_utf16_to_utf8(in.data(), in.size(), 0, 0, &out, &len, nullptr) != 0) {
            state.SkipWithError("transcoding failed");
            break;
        }
        benchmark::DoNotOptimize(out);
        csv_free(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Utf16LeToUtf8Cyrillic)->Unit(benchmark::kMillisecond);

// Baseline: allocate and copy the same number of bytes.
void BM_Utf16MemcpyBaseline(benchmark::State &state) {
    const auto &in = utf16_le_text();
    for (auto _ : state) {
        char *out = static_cast<char *>(malloc(in.size()));
        memcpy(out, in.data(), in.size());
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
        free(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}
BENCHMARK(BM_Utf16MemcpyBaseline)->Unit(benchmark::kMillisecond);

// Well-formed UTF-8 text of 16 MiB: the transcoded sample above.
const std::string &utf8_text() {
    static const std::string text = [] {
        const auto &in = utf16_le_text();
        char *out = nullptr;
        uint64_t len = 0;
        if (csv_utf16_to_utf8(in.data(), in.size(), 0, 0, &out, &len, nullptr) != 0) abort();
        std::string s(out, len);
        csv_free(out);
        return s;
    }();
    return text;
}

void BM_Utf8SanitizeWellFormed(benchmark::State &state) {
    const std::string &text = utf8_text();
    for (auto _ : state) {
        uint64_t len = 0;
        int32_t must_free = 0;
        const char *r = csv_utf8_sanitize(text.data(), text.size(), &len, &must_free);
        if (must_free) {
            state.SkipWithError("text unexpectedly repaired");
            break;
        }
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Utf8SanitizeWellFormed)->Unit(benchmark::kMillisecond);

// Pure ASCII: the block scan alone.
void BM_Utf8SanitizeAscii(benchmark::State &state) {
    static const std::string text = [] {
        std::string s = utf8_text();
        for (char &c : s)
            if (static_cast<unsigned char>(c) >= 0x80) c = 'x';
        return s;
    }();
    for (auto _ : state) {
        uint64_t len = 0;
        int32_t must_free = 0;
        benchmark::DoNotOptimize(csv_utf8_sanitize(text.data(), text.size(), &len, &must_free));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Utf8SanitizeAscii)->Unit(benchmark::kMillisecond);

void BM_Utf8SanitizeCyrillic(benchmark::State &state) {
    static const std::string text = [] {
        const auto &in = utf16_le_cyrillic();
        char *out = nullptr;
        uint64_t len = 0;
        if (csv_utf16_to_utf8(in.data(), in.size(), 0, 0, &out, &len, nullptr) != 0) abort();
        std::string s(out, len);
        csv_free(out);
        return s;
    }();
    for (auto _ : state) {
        uint64_t len = 0;
        int32_t must_free = 0;
        benchmark::DoNotOptimize(csv_utf8_sanitize(text.data(), text.size(), &len, &must_free));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Utf8SanitizeCyrillic)->Unit(benchmark::kMillisecond);

// Baseline: one memchr over the same bytes for a byte that is not there.
void BM_Utf8MemchrBaseline(benchmark::State &state) {
    const std::string &text = utf8_text();
    for (auto _ : state) benchmark::DoNotOptimize(memchr(text.data(), 0x01, text.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Utf8MemchrBaseline)->Unit(benchmark::kMillisecond);

// Short cells as a table holds them: UTF-8 with an accented letter.
void BM_Utf8SanitizeShortCells(benchmark::State &state) {
    static const char *const cells[] = {"Widget", "caf\xC3\xA9", "2024-05-17", "3.50",
                                        "M\xC3\xBCnchen", "shipped", "42", "K\xC3\xB8" "benhavn"};
    size_t bytes = 0;
    for (auto _ : state) {
        for (const char *c : cells) {
            uint64_t len = 0;
            int32_t must_free = 0;
            size_t n = strlen(c);
            benchmark::DoNotOptimize(csv_utf8_sanitize(c, n, &len, &must_free));
            bytes += n;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * (sizeof cells / sizeof cells[0])));
}
BENCHMARK(BM_Utf8SanitizeShortCells);

// Typical numeric and non-numeric cells of a data file.
const std::vector<std::string> &numeric_cells() {
    static const std::vector<std::string> cells = [] {
        std::vector<std::string> v;
        std::mt19937 rng(7);
        char buf[64];
        for (int i = 0; i < 4096; ++i) {
            switch (i % 8) {
                case 0: snprintf(buf, sizeof buf, "%u", rng() % 100000); break;
                case 1: snprintf(buf, sizeof buf, "%.2f", (rng() % 1000000) / 100.0); break;
                case 2: snprintf(buf, sizeof buf, "-%u.%03u", rng() % 1000, rng() % 1000); break;
                case 3: snprintf(buf, sizeof buf, "%.6f", (rng() % 100000000) / 1e6); break;
                case 4: snprintf(buf, sizeof buf, "%u", rng()); break;
                case 5: snprintf(buf, sizeof buf, "%.3e", (rng() % 1000000) * 1.7); break;
                case 6: snprintf(buf, sizeof buf, " %u ", rng() % 1000); break;
                default: snprintf(buf, sizeof buf, "item-%u", rng() % 1000); break;
            }
            v.emplace_back(buf);
        }
        return v;
    }();
    return cells;
}

void BM_NumericField(benchmark::State &state) {
    const auto &cells = numeric_cells();
    for (auto _ : state) {
        int found = 0;
        double sum = 0;
        for (const std::string &c : cells) {
            double v;
            if (csv_is_numeric_field(c.data(), c.size(), &v)) {
                ++found;
                sum += v;
            }
        }
        benchmark::DoNotOptimize(found);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * cells.size()));
}
BENCHMARK(BM_NumericField);

// Baseline: strtod straight on the (NUL-terminated) cells, no trimming.
void BM_NumericStrtodBaseline(benchmark::State &state) {
    const auto &cells = numeric_cells();
    for (auto _ : state) {
        int found = 0;
        double sum = 0;
        for (const std::string &c : cells) {
            char *end = nullptr;
            double v = strtod(c.c_str(), &end);
            if (end != c.c_str() && *end == '\0') {
                ++found;
                sum += v;
            }
        }
        benchmark::DoNotOptimize(found);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * cells.size()));
}
BENCHMARK(BM_NumericStrtodBaseline);

}  // namespace
