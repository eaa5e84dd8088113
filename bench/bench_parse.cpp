// Record parser throughput on generated in-memory CSV, beside a plain
// memchr pass over the same bytes as the floor to compare with.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include <benchmark/benchmark.h>

#include "csv_internal.h"

namespace {

// Small deterministic generator (xorshift64*), so every run sees the same bytes.
struct Rng {
    uint64_t s = 0x9E3779B97F4A7C15ull;
    uint64_t next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545F4914F6CDD1Dull;
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
};

const char *const kWords[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf",
                              "hotel", "india", "juliett", "kilo", "lima", "mike", "november",
                              "oscar", "papa", "quebec", "romeo", "sierra", "tango", "uniform",
                              "victor", "whiskey", "xray", "yankee", "zulu", "Zürich", "café"};
constexpr uint32_t kWordCount = sizeof kWords / sizeof kWords[0];

void add_words(std::string &out, Rng &rng, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) {
        if (i) out += ' ';
        out += kWords[rng.below(kWordCount)];
    }
}

// Mixed columns: id, integer, float, word, date, quoted text with commas and
// now and then doubled quotes or a line break, free text, empty or code.
std::string mixed_csv(size_t target) {
    Rng rng;
    std::string out;
    out.reserve(target + 512);
    out += "id,qty,price,category,date,description,notes,code\n";
    char num[64];
    for (uint64_t id = 1; out.size() < target; ++id) {
        snprintf(num, sizeof num, "%llu,%u,%u.%02u,", static_cast<unsigned long long>(id),
                 rng.below(100000), rng.below(10000), rng.below(100));
        out += num;
        out += kWords[rng.below(kWordCount)];
        snprintf(num, sizeof num, ",20%02u-%02u-%02u,", rng.below(25), 1 + rng.below(12),
                 1 + rng.below(28));
        out += num;
        out += '"';
        add_words(out, rng, 1 + rng.below(4));
        out += ", ";
        add_words(out, rng, 1 + rng.below(3));
        uint32_t odd = rng.below(20);
        if (odd == 0) out += " \"\"quoted\"\" part";
        if (odd == 1) out += "\nsecond line";
        out += "\",";
        add_words(out, rng, rng.below(8));
        out += ',';
        if (rng.below(3) != 0) {
            snprintf(num, sizeof num, "X%05u", rng.below(100000));
            out += num;
        }
        out += '\n';
    }
    return out;
}

// Short unquoted numeric fields only: the most fields per byte.
std::string numeric_csv(size_t target) {
    Rng rng;
    std::string out;
    out.reserve(target + 256);
    out += "a,b,c,d,e,f,g,h\n";
    char num[16];
    while (out.size() < target) {
        for (int k = 0; k < 8; ++k) {
            snprintf(num, sizeof num, k < 7 ? "%u," : "%u\n", rng.below(1000));
            out += num;
        }
    }
    return out;
}

const std::string &input(int which) {
    static const std::string mixed = mixed_csv(125u << 20);
    static const std::string numeric = numeric_csv(64u << 20);
    return which == 0 ? mixed : numeric;
}

void run_parse(benchmark::State &state, int which) {
    const std::string &in = input(which);
    int64_t rows = 0, cols = 0;
    for (auto _ : state) {
        csv_table t{};
        if (csv_table_parse_ex(&t, in.data(), in.size(), 1, nullptr) != 0) {
            state.SkipWithError("parse failed");
            break;
        }
        rows = t.n_rows;
        cols = t.n_cols;
        state.PauseTiming();
        csv_table_free(&t);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(in.size()));
    state.counters["rows"] = static_cast<double>(rows);
    state.counters["cols"] = static_cast<double>(cols);
    state.counters["MB"] = static_cast<double>(in.size()) / 1e6;
}

void run_memchr(benchmark::State &state, int which) {
    const std::string &in = input(which);
    for (auto _ : state) {
        const char *p = in.data();
        const char *end = p + in.size();
        int64_t lines = 0;
        while ((p = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)))) !=
               nullptr) {
            ++lines;
            ++p;
        }
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(in.size()));
}

void BM_ParseMixed(benchmark::State &state) { run_parse(state, 0); }
void BM_MemchrLinesMixed(benchmark::State &state) { run_memchr(state, 0); }
void BM_ParseNumeric(benchmark::State &state) { run_parse(state, 1); }
void BM_MemchrLinesNumeric(benchmark::State &state) { run_memchr(state, 1); }

}  // namespace

BENCHMARK(BM_ParseMixed)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_MemchrLinesMixed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseNumeric)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_MemchrLinesNumeric)->Unit(benchmark::kMillisecond);
