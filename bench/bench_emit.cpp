// Result documents from large tables: the rows document of every row, in
// table order and shuffled, a page of rows, a column subset, the rows of a
// search, the rows of a sort (sort included), text that needs repair, the
// statistics document, the CSV writer, and csv_rows and the columnar export
// (csv_arrow_stream) over bench/data/mixed.csv.
//
//   build-bench/bench/velmora_bench --benchmark_filter=Emit
//   build-bench/bench/velmora_bench --benchmark_filter=MixedFile
//   python3 bench/thp_off.py build-bench/bench/velmora_bench --benchmark_filter=MixedFile
// The last two need bench/data/mixed.csv (bench/compare/compare.py makes it,
// or its generator alone: gen_data bench/data mixed); the last runs with
// transparent huge pages off.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "csv_internal.h"

namespace {

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
const char *const kWords[] = {"box", "was", "lost", "order", "good", "slow", "call",
                              "wrap", "claim", "number", "neighbour", "packaging"};

// About 125 bytes per record over 10 columns, like an orders export: ids
// and amounts, short codes, names with quotes, non-ASCII cities, dates and
// a free comment. `latin1` puts one ISO-8859-1 byte into every city, which
// the documents must repair.
std::string make_text(int64_t rows, bool latin1) {
    Lcg g{42};
    std::string out = "id,customer_id,quantity,price,category,status,city,company,order_date,comment\n";
    out.reserve(static_cast<size_t>(rows) * 128);
    char buf[96];
    for (int64_t r = 1; r <= rows; ++r) {
        int n = snprintf(buf, sizeof buf, "%lld,%u,%u,%u.%02u,%s,%s,", static_cast<long long>(r),
                         100000 + g.below(900000), g.below(1000), g.below(10000), g.below(100),
                         kCategories[g.below(6)], kStatus[g.below(4)]);
        out.append(buf, static_cast<size_t>(n));
        out += latin1 ? "Z\xFCrich" : kCities[g.below(10)];
        out += ',';
        out += kCompanies[g.below(6)];
        n = snprintf(buf, sizeof buf, ",20%02u-%02u-%02u,", 10 + g.below(15), 1 + g.below(12),
                     1 + g.below(28));
        out.append(buf, static_cast<size_t>(n));
        for (uint32_t w = 0, words = 5 + g.below(10); w < words; ++w) {
            if (w) out += ' ';
            out += kWords[g.below(12)];
        }
        out += '\n';
    }
    return out;
}

struct OwnedTable {
    csv_table t{};
    ~OwnedTable() { csv_table_free(&t); }
};

// The parsed table of `rows` generated records, built once per process.
const csv_table *table(int64_t rows, bool latin1 = false) {
    static std::map<std::pair<int64_t, bool>, OwnedTable> cache;
    OwnedTable &slot = cache[{rows, latin1}];
    if (slot.t.in_use == 0) {
        std::string text = make_text(rows, latin1);
        if (csv_table_parse(&slot.t, text.data(), text.size(), 1) != 0) abort();
    }
    return &slot.t;
}

void report(benchmark::State &state, const char *json, uint64_t table_bytes) {
    if (json == nullptr) {
        state.SkipWithError(csv_last_error());
        return;
    }
    state.counters["json_MB"] = static_cast<double>(strlen(json)) / 1e6;
    state.counters["table_MB"] = static_cast<double>(table_bytes) / 1e6;
}

void BM_EmitRowsAll(benchmark::State &state) {
    const csv_table *t = table(state.range(0));
    const char *json = nullptr;
    for (auto _ : state) {
        json = csv_emit_rows(t, nullptr, t->n_rows, nullptr, 0, 0, -1);
        benchmark::DoNotOptimize(json);
    }
    report(state, json, t->blob_len);
    state.SetItemsProcessed(state.iterations() * t->n_rows);
}
BENCHMARK(BM_EmitRowsAll)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EmitRowsAllLatin1(benchmark::State &state) {
    const csv_table *t = table(state.range(0), true);
    const char *json = nullptr;
    for (auto _ : state) {
        json = csv_emit_rows(t, nullptr, t->n_rows, nullptr, 0, 0, -1);
        benchmark::DoNotOptimize(json);
    }
    report(state, json, t->blob_len);
    state.SetItemsProcessed(state.iterations() * t->n_rows);
}
BENCHMARK(BM_EmitRowsAllLatin1)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

// A page deep inside a large table costs only its own rows.
void BM_EmitRowsPage(benchmark::State &state) {
    const csv_table *t = table(1000000);
    const char *json = nullptr;
    for (auto _ : state) {
        json = csv_emit_rows(t, nullptr, t->n_rows, nullptr, 0, 500000, 100);
        benchmark::DoNotOptimize(json);
    }
    report(state, json, t->blob_len);
}
BENCHMARK(BM_EmitRowsPage)->Unit(benchmark::kMicrosecond);

void BM_EmitRowsThreeColumns(benchmark::State &state) {
    const csv_table *t = table(1000000);
    const int32_t cols[] = {0, 4, 9};
    const char *json = nullptr;
    for (auto _ : state) {
        json = csv_emit_rows(t, nullptr, t->n_rows, cols, 3, 0, -1);
        benchmark::DoNotOptimize(json);
    }
    report(state, json, t->blob_len);
}
BENCHMARK(BM_EmitRowsThreeColumns)->Unit(benchmark::kMillisecond)->UseRealTime();

// Every row in a shuffled order: each row's cells and texts are fetched
// from a different place of the table, as after a sort.
void BM_EmitRowsShuffled(benchmark::State &state) {
    const csv_table *t = table(1000000);
    std::vector<int64_t> order(static_cast<size_t>(t->n_rows));
    for (int64_t r = 0; r < t->n_rows; ++r) order[static_cast<size_t>(r)] = r;
    Lcg g{7};
    for (size_t i = order.size(); i > 1; --i) std::swap(order[i - 1], order[g.below(static_cast<uint32_t>(i))]);
    const char *json = nullptr;
    for (auto _ : state) {
        json = csv_emit_rows(t, order.data(), t->n_rows, nullptr, 0, 0, -1);
        benchmark::DoNotOptimize(json);
    }
    report(state, json, t->blob_len);
    state.SetItemsProcessed(state.iterations() * t->n_rows);
}
BENCHMARK(BM_EmitRowsShuffled)->Unit(benchmark::kMillisecond)->UseRealTime();

// The rows a search answers with: about one row in six, in table order.
void BM_EmitRowsSearchHits(benchmark::State &state) {
    const csv_table *t = table(1000000);
    int64_t *hits = nullptr;
    int64_t n = 0;
    if (csv_search_rows(t, 4, "games", 0, &hits, &n) != 0) {
        state.SkipWithError(csv_last_error());
        return;
    }
    std::unique_ptr<int64_t, csv_free_deleter> owned(hits);
    const char *json = nullptr;
    for (auto _ : state) {
        json = csv_emit_rows(t, hits, n, nullptr, 0, 0, -1);
        benchmark::DoNotOptimize(json);
    }
    report(state, json, t->blob_len);
    state.counters["rows"] = static_cast<double>(n);
}
BENCHMARK(BM_EmitRowsSearchHits)->Unit(benchmark::kMillisecond)->UseRealTime();

// A sort by a numeric column and the rows document of its order, together:
// what csv_sort does under the lock.
void BM_SortThenEmitRows(benchmark::State &state) {
    const csv_table *t = table(1000000);
    const char *json = nullptr;
    for (auto _ : state) {
        int64_t *order = nullptr;
        int64_t n = 0;
        if (csv_sort_rows(t, 3, 0, &order, &n) != 0) {
            state.SkipWithError(csv_last_error());
            return;
        }
        json = csv_emit_rows(t, order, n, nullptr, 0, 0, -1);
        csv_free(order);
        benchmark::DoNotOptimize(json);
    }
    report(state, json, t->blob_len);
}
BENCHMARK(BM_SortThenEmitRows)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_EmitStats(benchmark::State &state) {
    const csv_table *t = table(state.range(0));
    const char *json = nullptr;
    for (auto _ : state) {
        json = csv_emit_stats(t);
        benchmark::DoNotOptimize(json);
    }
    report(state, json, t->blob_len);
}
BENCHMARK(BM_EmitStats)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->UseRealTime();

double thread_cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Drains a columnar export as a consumer does: every batch taken and
// released before the next, then the stream; adds the thread CPU time of
// making the stream (the columns' types decided) to `*made_s` when given.
// False with the reason set.
bool drain_arrow(benchmark::State &state, int handle, int flags, double *made_s = nullptr) {
    ArrowArrayStream s;
    const double t0 = made_s ? thread_cpu_seconds() : 0;
    if (csv_arrow_stream(handle, nullptr, flags, &s) != 0) {
        state.SkipWithError(csv_last_error());
        return false;
    }
    if (made_s) *made_s += thread_cpu_seconds() - t0;
    bool ok = true;
    for (;;) {
        ArrowArray batch;
        if (s.get_next(&s, &batch) != 0) {
            state.SkipWithError(s.get_last_error(&s));
            ok = false;
            break;
        }
        if (batch.release == nullptr) break;
        benchmark::DoNotOptimize(batch.children);
        batch.release(&batch);
    }
    s.release(&s);
    return ok;
}

int mixed_file_handle() {
    std::string path = __FILE__;
    path = path.substr(0, path.find_last_of('/') + 1) + "data/mixed.csv";
    static int handle = csv_load(path.c_str(), 1);
    return handle;
}

// The whole export path (lock, row list, document, result buffer) over the
// shared data file of the load/query comparison, when it has been generated.
void BM_CsvRowsMixedFile(benchmark::State &state) {
    const int handle = mixed_file_handle();
    if (handle < 0) {
        state.SkipWithError("bench/data/mixed.csv not loaded");
        return;
    }
    const char *json = nullptr;
    for (auto _ : state) {
        json = csv_rows(handle, 0, -1);
        benchmark::DoNotOptimize(json);
    }
    if (json == nullptr) state.SkipWithError(csv_last_error());
    else state.counters["json_MB"] = static_cast<double>(strlen(json)) / 1e6;
}
BENCHMARK(BM_CsvRowsMixedFile)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same answer as the first of a thread: each iteration asks on a thread
// of its own, whose result buffer starts empty, so every page of the answer
// is fresh (the thread's start and end, a few tens of microseconds, are
// inside the timing). BM_CsvRowsMixedFile is the answer asked again.
void BM_CsvRowsMixedFileFirstOfThread(benchmark::State &state) {
    std::string path = __FILE__;
    path = path.substr(0, path.find_last_of('/') + 1) + "data/mixed.csv";
    static int handle = csv_load(path.c_str(), 1);
    if (handle < 0) {
        state.SkipWithError("bench/data/mixed.csv not loaded");
        return;
    }
    size_t bytes = 0;
    for (auto _ : state) {
        std::thread([&] {
            const char *json = csv_rows(handle, 0, -1);
            bytes = json ? strlen(json) : 0;
        }).join();
    }
    if (bytes == 0) state.SkipWithError("csv_rows failed");
    else state.counters["json_MB"] = static_cast<double>(bytes) / 1e6;
}
BENCHMARK(BM_CsvRowsMixedFileFirstOfThread)->Unit(benchmark::kMillisecond)->UseRealTime();

// The columnar export of the same file, all columns (range 1: typed, 0:
// text), drained as a consumer does; beside BM_CsvRowsMixedFile, whose time
// is the JSON answer's for the same rows.
void BM_ArrowStreamMixedFile(benchmark::State &state) {
    const int handle = mixed_file_handle();
    if (handle < 0) {
        state.SkipWithError("bench/data/mixed.csv not loaded");
        return;
    }
    const int flags = state.range(0) ? CSV_ARROW_TYPED : CSV_ARROW_TEXT;
    for (auto _ : state)
        if (!drain_arrow(state, handle, flags)) return;
}
BENCHMARK(BM_ArrowStreamMixedFile)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

// The export (range 1: typed, 0: text) and csv_rows of all rows taken
// turn about in each iteration, each timed on the thread's CPU clock (the
// machine may be shared), so that their ratio comes from one run under one
// load. The time shown is the export's; the counters give both and the
// ratio export / csv_rows; made_ms is the part of the export's time that
// csv_arrow_stream itself takes (under the lock: the columns' types).
void BM_ArrowVsRowsMixedFile(benchmark::State &state) {
    const int handle = mixed_file_handle();
    if (handle < 0) {
        state.SkipWithError("bench/data/mixed.csv not loaded");
        return;
    }
    const int flags = state.range(0) ? CSV_ARROW_TYPED : CSV_ARROW_TEXT;
    if (csv_rows(handle, 0, -1) == nullptr) {  // its result buffer warm, as in BM_CsvRowsMixedFile
        state.SkipWithError(csv_last_error());
        return;
    }
    double arrow_s = 0, rows_s = 0, made_s = 0;
    for (auto _ : state) {
        double t0 = thread_cpu_seconds();
        if (!drain_arrow(state, handle, flags, &made_s)) return;
        double t1 = thread_cpu_seconds();
        arrow_s += t1 - t0;
        state.SetIterationTime(t1 - t0);
        t0 = thread_cpu_seconds();
        const char *json = csv_rows(handle, 0, -1);
        t1 = thread_cpu_seconds();
        rows_s += t1 - t0;
        if (json == nullptr) {
            state.SkipWithError(csv_last_error());
            return;
        }
        benchmark::DoNotOptimize(json);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["arrow_ms"] = arrow_s / n * 1e3;
    state.counters["made_ms"] = made_s / n * 1e3;  // of arrow_ms: csv_arrow_stream itself
    state.counters["rows_ms"] = rows_s / n * 1e3;
    state.counters["ratio"] = rows_s > 0 ? arrow_s / rows_s : 0;
}
BENCHMARK(BM_ArrowVsRowsMixedFile)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseManualTime();

void BM_EmitCsv(benchmark::State &state) {
    const csv_table *t = table(1000000);
    FILE *sink = fopen("/dev/null", "wb");
    if (sink == nullptr) {
        state.SkipWithError("cannot open /dev/null");
        return;
    }
    for (auto _ : state) {
        if (csv_emit_csv_fp(t, sink) != 0) state.SkipWithError("write failed");
    }
    fclose(sink);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(t->blob_len));
}
BENCHMARK(BM_EmitCsv)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
