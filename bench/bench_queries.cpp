// Queries on a generated 1,000,000-row table of 10 mixed columns: search
// (byte-exact and ignoring case), sort by a numeric and by a text column,
// and the statistics of every column. The export benchmarks include the
// rows document; the internal ones time the row or column work alone.
//
//   build-bench/bench/velmora_bench --benchmark_filter=Query
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <benchmark/benchmark.h>

#include "csv_internal.h"
#include "velmora_csv.h"

namespace {

constexpr int64_t kRows = 1000000;

// Deterministic generator (64-bit LCG), so every run sees the same table.
struct Lcg {
    uint64_t s;
    uint32_t next() {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(s >> 33);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

const char *const kCategories[] = {"food", "games", "garden", "books", "toys", "tools"};
const char *const kStatus[] = {"paid", "shipped", "returned", "open"};
const char *const kCities[] = {"Oslo", "Ljubljana", "M\xC3\xBCnchen", "Troms\xC3\xB8", "Lisboa",
                               "Bras\xC3\xB3v", "Gen\xC3\xA8ve", "Vaasa", "Porto", "Turku"};
const char *const kCompanies[] = {"Horvat S.A.", "\"The \"\"Jones\"\" S.A.\"", "Berg AS",
                                  "Nieminen Oy", "Silva Lda", "M\xC3\xBCller GmbH"};
const char *const kWords[] = {"box",   "was",    "lost",      "order",     "good",   "slow",
                              "call",  "wrap",   "claim",     "number",    "refund", "Refund",
                              "added", "differs", "neighbour", "packaging"};

// An orders export: ids and amounts, short codes, names with quotes,
// non-ASCII cities, dates, and a free comment (empty in one row of 20)
// in which "refund" appears in about one row of eight.
std::string make_text(int64_t rows) {
    Lcg g{7};
    std::string out =
        "id,customer_id,quantity,price,category,status,city,company,order_date,comment\n";
    out.reserve(static_cast<size_t>(rows) * 128);
    char buf[96];
    for (int64_t r = 1; r <= rows; ++r) {
        int n = snprintf(buf, sizeof buf, "%lld,%u,%u,%u.%02u,%s,%s,", static_cast<long long>(r),
                         100000 + g.below(900000), g.below(1000), g.below(10000), g.below(100),
                         kCategories[g.below(6)], kStatus[g.below(4)]);
        out.append(buf, static_cast<size_t>(n));
        out += kCities[g.below(10)];
        out += ',';
        out += kCompanies[g.below(6)];
        n = snprintf(buf, sizeof buf, ",20%02u-%02u-%02u,", 10 + g.below(15), 1 + g.below(12),
                     1 + g.below(28));
        out.append(buf, static_cast<size_t>(n));
        if (g.below(20) != 0) {
            for (uint32_t w = 0, words = 3 + g.below(8); w < words; ++w) {
                if (w) out += ' ';
                out += kWords[g.below(16)];
            }
        }
        out += '\n';
    }
    return out;
}

// The table loaded once through a temporary file, for the whole process.
int handle() {
    static const int h = [] {
        char path[] = "/tmp/velmora-bench-queries-XXXXXX";
        int fd = mkstemp(path);
        if (fd < 0) abort();
        std::string text = make_text(kRows);
        FILE *f = fdopen(fd, "wb");
        if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size()) abort();
        fclose(f);
        int loaded = csv_load(path, 1);
        unlink(path);
        if (loaded < 0) abort();
        return loaded;
    }();
    return h;
}

const csv_table *table() { return csv_table_get(handle()); }

int32_t column(const char *name) {
    int32_t c = csv_resolve_col(table(), name);
    if (c < 0) abort();
    return c;
}

void report_json(benchmark::State &state, const char *json) {
    if (json == nullptr) {
        state.SkipWithError(csv_last_error());
        return;
    }
    state.counters["json_MB"] = static_cast<double>(strlen(json)) / 1e6;
}

// ---- exports: the query and its rows document ----------------------------

void BM_QuerySearch(benchmark::State &state, const char *query, int case_insensitive) {
    const int h = handle();
    const char *json = nullptr;
    for (auto _ : state) {
        json = csv_search(h, "comment", query, case_insensitive);
        benchmark::DoNotOptimize(json);
    }
    report_json(state, json);
}
BENCHMARK_CAPTURE(BM_QuerySearch, exact, "refund", 0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_QuerySearch, nocase, "REFUND", 1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_QuerySort(benchmark::State &state, const char *col, int descending) {
    const int h = handle();
    const char *json = nullptr;
    for (auto _ : state) {
        json = csv_sort(h, col, descending);
        benchmark::DoNotOptimize(json);
    }
    report_json(state, json);
}
BENCHMARK_CAPTURE(BM_QuerySort, price, "price", 0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_QuerySort, price_desc, "price", 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_QuerySort, comment, "comment", 0)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- the row and column work alone -----------------------------------------

void BM_QuerySearchRows(benchmark::State &state, const char *query, int case_insensitive) {
    const csv_table *t = table();
    const int32_t c = column("comment");
    int64_t n = 0;
    for (auto _ : state) {
        int64_t *rows = nullptr;
        if (csv_search_rows(t, c, query, case_insensitive, &rows, &n) != 0)
            state.SkipWithError(csv_last_error());
        csv_free(rows);
    }
    state.counters["matches"] = static_cast<double>(n);
    state.SetItemsProcessed(state.iterations() * t->n_rows);
}
BENCHMARK_CAPTURE(BM_QuerySearchRows, exact, "refund", 0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_QuerySearchRows, nocase, "REFUND", 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_QuerySearchRows, exact_none, "zzz", 0)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_QuerySortRows(benchmark::State &state, const char *col, int descending) {
    const csv_table *t = table();
    const int32_t c = column(col);
    for (auto _ : state) {
        int64_t *rows = nullptr;
        int64_t n = 0;
        if (csv_sort_rows(t, c, descending, &rows, &n) != 0) state.SkipWithError(csv_last_error());
        csv_free(rows);
    }
    state.SetItemsProcessed(state.iterations() * t->n_rows);
}
BENCHMARK_CAPTURE(BM_QuerySortRows, price, "price", 0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_QuerySortRows, id, "id", 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_QuerySortRows, comment, "comment", 0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_QuerySortRows, city, "city", 0)->Unit(benchmark::kMillisecond)->UseRealTime();

// The figures of every column, one csv_col_stats call each.
void BM_QueryStatsAllColumns(benchmark::State &state) {
    const csv_table *t = table();
    double checksum = 0;
    for (auto _ : state) {
        for (int32_t c = 0; c < t->n_cols; ++c) {
            int64_t count, nulls;
            int32_t unique, numeric;
            double min, max, mean;
            csv_col_stats(t, c, &count, &nulls, &unique, &numeric, &min, &max, &mean);
            checksum += static_cast<double>(unique) + mean;
        }
    }
    benchmark::DoNotOptimize(checksum);
    state.SetItemsProcessed(state.iterations() * t->n_rows * t->n_cols);
}
BENCHMARK(BM_QueryStatsAllColumns)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_QueryStatsColumn(benchmark::State &state, const char *col) {
    const csv_table *t = table();
    const int32_t c = column(col);
    int32_t unique = 0;
    for (auto _ : state) {
        int64_t count, nulls;
        int32_t numeric;
        double min, max, mean;
        csv_col_stats(t, c, &count, &nulls, &unique, &numeric, &min, &max, &mean);
        benchmark::DoNotOptimize(mean);
    }
    state.counters["unique"] = unique;
}
BENCHMARK_CAPTURE(BM_QueryStatsColumn, id, "id")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_QueryStatsColumn, price, "price")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_QueryStatsColumn, city, "city")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_QueryStatsColumn, comment, "comment")->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_QueryUnique(benchmark::State &state, const char *col) {
    const csv_table *t = table();
    const int32_t c = column(col);
    int32_t unique = 0;
    for (auto _ : state) {
        unique = csv_col_unique(t, c);
        benchmark::DoNotOptimize(unique);
    }
    state.counters["unique"] = unique;
}
BENCHMARK_CAPTURE(BM_QueryUnique, id, "id")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_QueryUnique, comment, "comment")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

// ---- worst-case inputs beside ordinary ones of the same size -------------
//
// Each pair runs the same query shape over two tables of the same size: one
// built to make a super-linear algorithm show (a long run of one byte
// against a query that almost matches it; a very wide table selected column
// by column) and an ordinary one. Linear code gives the two similar times.

namespace {

// A table whose one body cell is `cell`, parsed in memory (the cell is
// quoted so that any byte survives).
struct OneCellTable {
    csv_table t{};
    explicit OneCellTable(const std::string &cell) {
        std::string text = "v\n\"" + cell + "\"\n";
        if (csv_table_parse(&t, text.data(), text.size(), 1) != 0) abort();
    }
    ~OneCellTable() { csv_table_free(&t); }
};

// `n` bytes of lower-case words and spaces: text as a cell usually holds it.
std::string ordinary_text(size_t n) {
    Lcg g{11};
    std::string s;
    s.reserve(n + 16);
    while (s.size() < n) {
        s += kWords[g.below(16)];
        s += ' ';
    }
    s.resize(n);
    return s;
}

}  // namespace

// An 8 MiB (or 32 MiB) cell searched for a run of `a` ended by `b`: the
// whole cell is `a` (pathological) or words (ordinary).
void BM_SearchWorstCase(benchmark::State &state, bool pathological, int case_insensitive) {
    const size_t cell_len = static_cast<size_t>(state.range(0)) << 20;
    const size_t run = static_cast<size_t>(state.range(1));
    static std::string cell;
    static size_t cell_for = 0;
    static bool cell_kind = false;
    if (cell_for != cell_len || cell_kind != pathological) {
        cell = pathological ? std::string(cell_len, 'a') : ordinary_text(cell_len);
        cell_for = cell_len;
        cell_kind = pathological;
    }
    OneCellTable t(cell);
    const std::string query = std::string(run, 'a') + "b";
    int64_t n = 0;
    for (auto _ : state) {
        int64_t *rows = nullptr;
        if (csv_search_rows(&t.t, 0, query.c_str(), case_insensitive, &rows, &n) != 0)
            state.SkipWithError(csv_last_error());
        csv_free(rows);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(cell_len));
}
#define VELMORA_SEARCH_WORST(name, path, ci)                                      \
    BENCHMARK_CAPTURE(BM_SearchWorstCase, name, path, ci)                         \
        ->Args({8, 4000})                                                         \
        ->Args({32, 16000})                                                       \
        ->Unit(benchmark::kMillisecond)                                           \
        ->UseRealTime()
VELMORA_SEARCH_WORST(exact_ordinary, false, 0);
VELMORA_SEARCH_WORST(exact_pathological, true, 0);
VELMORA_SEARCH_WORST(nocase_ordinary, false, 1);
VELMORA_SEARCH_WORST(nocase_pathological, true, 1);
#undef VELMORA_SEARCH_WORST

namespace {

// A loaded table of `cols` columns named c1, c2, ... and enough rows for
// 1,000,000 cells, with the list selecting every column by name or number.
struct WideTable {
    int h = -1;
    std::string by_name, by_number;
    explicit WideTable(int32_t cols) {
        const int64_t rows = 1000000 / cols;
        std::string text;
        for (int32_t c = 1; c <= cols; ++c) {
            const std::string name = "c" + std::to_string(c);
            text += (c > 1 ? "," : "") + name;
            by_name += (c > 1 ? "," : "") + name;
            by_number += (c > 1 ? "," : "") + std::to_string(c);
        }
        text += '\n';
        for (int64_t r = 0; r < rows; ++r) {
            for (int32_t c = 0; c < cols; ++c) {
                if (c) text += ',';
                text += std::to_string((r * 7 + c) % 1000);
            }
            text += '\n';
        }
        char path[] = "/tmp/velmora-bench-wide-XXXXXX";
        int fd = mkstemp(path);
        if (fd < 0) abort();
        FILE *f = fdopen(fd, "wb");
        if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size()) abort();
        fclose(f);
        h = csv_load(path, 1);
        unlink(path);
        if (h < 0) abort();
    }
    ~WideTable() { csv_close(h); }
};

}  // namespace

// csv_select of every column: 100,000 columns of 10 rows (wide) beside 10
// columns of 100,000 rows (ordinary), so the two answers are the same size.
void BM_SelectAllColumns(benchmark::State &state, bool by_name) {
    WideTable w(static_cast<int32_t>(state.range(0)));
    const std::string &list = by_name ? w.by_name : w.by_number;
    const char *json = nullptr;
    for (auto _ : state) {
        json = csv_select(w.h, list.c_str());
        benchmark::DoNotOptimize(json);
    }
    report_json(state, json);
}
BENCHMARK_CAPTURE(BM_SelectAllColumns, by_number, false)
    ->Arg(10)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_SelectAllColumns, by_name, true)
    ->Arg(10)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();
