// Pathological inputs, each timed beside an ordinary input of the same size,
// through the exported functions only:
//
//   staircase   record i has i-1 delimiters and empty fields (a table
//               widening one field at a time, 2 MB), against the same cells in
//               32 columns and against the same lines widest-first
//   big_text    per-field cost of a load: 64 MiB of cell text, and with
//               VELMORA_BENCH_BIG=1 also 2.5 GiB of it, past the size where
//               the text store stops growing geometrically (about 7 GB of
//               memory while it runs)
//   one_line    one record of N fields (N generated column names) against N
//               records of one field; N = 1,000,000, or 300,000,000 with
//               VELMORA_BENCH_BIG=1 (a 600 MB file and several GB of memory)
//   search      one cell of `a` searched for 4,000 `a` then `b` (8 MiB cell)
//               and for a 16,001-byte query (32 MiB cell), byte-exact and
//               ignoring case, against random letters of the same sizes
//   select      every column of a 100,000-column table by number and by
//               name, against a 10-column table of the same cells
//
// Every case prints its wall time per iteration; a pathological case adds
// the counter x_ordinary: its time per byte (or per cell) divided by that of
// the ordinary case of its group, run just before it. 1 means no penalty.
//
//   build/bench/bench/velmora_bench --benchmark_filter=Worst
//   VELMORA_BENCH_SMALL=1 ... --benchmark_min_time=0.01   (inputs 1/8 size)
//
// Input files go to VELMORA_BENCH_TMP, else TMPDIR, else /tmp, and are
// removed at exit.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "velmora_csv.h"

namespace {

bool env_on(const char *name) {
    const char *v = getenv(name);
    return v != nullptr && *v != '\0' && strcmp(v, "0") != 0;
}

// Sizes are divided by this for smoke runs (VELMORA_BENCH_SMALL=1).
uint64_t divisor() {
    static const uint64_t d = env_on("VELMORA_BENCH_SMALL") ? 8 : 1;
    return d;
}

uint64_t scaled(uint64_t full) { return full / divisor() > 0 ? full / divisor() : 1; }

// ---- input files --------------------------------------------------------------

// Deterministic letters (64-bit LCG), the same on every run.
struct Lcg {
    uint64_t s;
    char letter() {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<char>('a' + (s >> 33) % 26);
    }
};

// Buffered writer of one input file; the files are deleted at exit.
class InputFile {
public:
    explicit InputFile(const std::string &name) {
        const char *dir = getenv("VELMORA_BENCH_TMP");
        if (dir == nullptr || *dir == '\0') dir = getenv("TMPDIR");
        if (dir == nullptr || *dir == '\0') dir = "/tmp";
        path_ = std::string(dir) + "/velmora-bench-worst-" + std::to_string(getpid()) + "-" + name +
                ".csv";
        f_ = fopen(path_.c_str(), "wb");
        if (f_ == nullptr) {
            perror(path_.c_str());
            abort();
        }
        registry().push_back(path_);
    }
    void put(const std::string &s) {
        buf_ += s;
        if (buf_.size() >= (1u << 20)) flush();
    }
    void put(char c, uint64_t n) {
        while (n > 0) {
            uint64_t k = n < (1u << 20) ? n : (1u << 20);
            buf_.append(static_cast<size_t>(k), c);
            n -= k;
            if (buf_.size() >= (1u << 20)) flush();
        }
    }
    // Closes the file; returns its path and size.
    std::string finish(uint64_t *bytes) {
        flush();
        if (fclose(f_) != 0) abort();
        *bytes = written_;
        return path_;
    }

private:
    void flush() {
        if (fwrite(buf_.data(), 1, buf_.size(), f_) != buf_.size()) {
            perror(path_.c_str());
            abort();
        }
        written_ += buf_.size();
        buf_.clear();
    }
    static std::vector<std::string> &registry() {
        static std::vector<std::string> paths;
        static const bool hooked = [] {
            atexit([] {
                for (const std::string &p : registry()) unlink(p.c_str());
            });
            return true;
        }();
        (void)hooked;
        return paths;
    }
    std::string path_, buf_;
    FILE *f_ = nullptr;
    uint64_t written_ = 0;
};

struct Input {
    std::string path;
    uint64_t bytes = 0;
    uint64_t units = 0;  // what the time is divided by: cells, bytes, fields
};

// Record i of n holds i empty fields (i - 1 delimiters); reversed: widest
// first.
Input staircase(uint64_t n, bool widest_first) {
    InputFile f(widest_first ? "widest-first" : "staircase");
    for (uint64_t k = 1; k <= n; ++k) {
        uint64_t i = widest_first ? n + 1 - k : k;
        f.put(',', i - 1);
        f.put("\n");
    }
    Input in;
    in.path = f.finish(&in.bytes);
    in.units = n * (n + 1) / 2;
    return in;
}

// The same empty cells in 32 columns: the ordinary shape.
Input rectangle(uint64_t cells) {
    InputFile f("rectangle");
    const std::string line = std::string(31, ',') + "\n";
    for (uint64_t c = 0; c < cells; c += 32) f.put(line);
    Input in;
    in.path = f.finish(&in.bytes);
    in.units = (cells + 31) / 32 * 32;
    return in;
}

// Rows of 8 fields of 15 letters, until `bytes` are written.
Input text_rows(uint64_t bytes, const char *name) {
    InputFile f(name);
    Lcg g{42};
    std::string line;
    uint64_t fields = 0, done = 0;
    while (done < bytes) {
        line.clear();
        for (int j = 0; j < 8; ++j) {
            for (int k = 0; k < 15; ++k) line += g.letter();
            line += j < 7 ? ',' : '\n';
        }
        f.put(line);
        done += line.size();
        fields += 8;
    }
    Input in;
    in.path = f.finish(&in.bytes);
    in.units = fields;
    return in;
}

// N one-letter fields: on one line (N generated names), or one per line.
Input fields(uint64_t n, bool one_line) {
    InputFile f(one_line ? "one-line" : "one-column");
    std::string chunk;
    for (uint64_t i = 0; i < n; ++i) {
        chunk += 'x';
        chunk += one_line && i + 1 < n ? ',' : '\n';
        if (chunk.size() >= (1u << 16)) {
            f.put(chunk);
            chunk.clear();
        }
    }
    f.put(chunk);
    Input in;
    in.path = f.finish(&in.bytes);
    in.units = n;
    return in;
}

// A one-column table "c" with one cell: `a` repeated, or random letters.
Input one_cell(uint64_t len, bool all_a) {
    InputFile f(all_a ? "cell-a" : "cell-random");
    f.put("c\n");
    if (all_a) {
        f.put('a', len);
    } else {
        Lcg g{7};
        std::string chunk;
        for (uint64_t i = 0; i < len; ++i) {
            chunk += g.letter();
            if (chunk.size() >= (1u << 20)) {
                f.put(chunk);
                chunk.clear();
            }
        }
        f.put(chunk);
    }
    f.put("\n");
    Input in;
    in.path = f.finish(&in.bytes);
    in.units = len;
    return in;
}

// A header c1..cW over `cells` cells of one letter in W columns.
Input table(uint64_t width, uint64_t cells) {
    InputFile f("table-" + std::to_string(width));
    std::string line;
    for (uint64_t j = 1; j <= width; ++j) line += "c" + std::to_string(j) + (j < width ? "," : "\n");
    f.put(line);
    line.clear();
    for (uint64_t j = 1; j <= width; ++j) line += j < width ? "x," : "x\n";
    for (uint64_t r = 0; r < cells / width; ++r) f.put(line);
    Input in;
    in.path = f.finish(&in.bytes);
    in.units = cells / width * width;
    return in;
}

// Each input is written once per process, when a case first needs it.
const Input &input_of(const std::string &key, Input (*make)(const std::string &)) {
    static std::map<std::string, Input> made;
    auto it = made.find(key);
    if (it == made.end()) it = made.emplace(key, make(key)).first;
    return it->second;
}

// ---- timing -------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

// Seconds per unit of the ordinary case of each group, for x_ordinary.
std::map<std::string, double> &ordinary_cost() {
    static std::map<std::string, double> m;
    return m;
}

void report(benchmark::State &state, const std::string &group, bool ordinary, double seconds,
            const Input &in) {
    if (state.iterations() == 0 || in.units == 0) return;
    double per_unit = seconds / static_cast<double>(state.iterations()) / static_cast<double>(in.units);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.bytes));
    state.counters["MB"] = static_cast<double>(in.bytes) / 1e6;
    state.counters["ns_per_unit"] = per_unit * 1e9;
    if (ordinary) {
        ordinary_cost()[group] = per_unit;
        return;
    }
    auto it = ordinary_cost().find(group);
    if (it != ordinary_cost().end() && it->second > 0)
        state.counters["x_ordinary"] = per_unit / it->second;
}

// Loads (and closes) the file in every iteration; only the load is timed.
void run_load(benchmark::State &state, const std::string &group, bool ordinary, const Input &in,
              int has_header) {
    double seconds = 0;
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        int h = csv_load(in.path.c_str(), has_header);
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        if (h < 0) {
            state.SkipWithError(csv_last_error());
            return;
        }
        state.PauseTiming();
        csv_close(h);
        state.ResumeTiming();
    }
    report(state, group, ordinary, seconds, in);
}

// A table loaded once and kept for the process (handles are few: 64).
int kept_table(const Input &in) {
    static std::map<std::string, int> handles;
    auto it = handles.find(in.path);
    if (it != handles.end()) return it->second;
    int h = csv_load(in.path.c_str(), 1);
    if (h >= 0) handles.emplace(in.path, h);
    return h;
}

void run_search(benchmark::State &state, const std::string &group, bool ordinary, const Input &in,
                const std::string &query, int case_insensitive) {
    int h = kept_table(in);
    if (h < 0) {
        state.SkipWithError(csv_last_error());
        return;
    }
    double seconds = 0;
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        const char *j = csv_search(h, "c", query.c_str(), case_insensitive);
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        if (j == nullptr) {
            state.SkipWithError(csv_last_error());
            return;
        }
        benchmark::DoNotOptimize(j);
    }
    report(state, group, ordinary, seconds, in);
}

void run_select(benchmark::State &state, const std::string &group, bool ordinary, const Input &in,
                const std::string &cols) {
    int h = kept_table(in);
    if (h < 0) {
        state.SkipWithError(csv_last_error());
        return;
    }
    double seconds = 0;
    for (auto _ : state) {
        Clock::time_point t0 = Clock::now();
        const char *j = csv_select(h, cols.c_str());
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        if (j == nullptr) {
            state.SkipWithError(csv_last_error());
            return;
        }
        benchmark::DoNotOptimize(j);
    }
    report(state, group, ordinary, seconds, in);
}

// "1,2,...,w" or "c1,c2,...,cw".
std::string column_list(uint64_t w, bool names) {
    std::string s;
    for (uint64_t j = 1; j <= w; ++j) {
        if (j > 1) s += ',';
        if (names) s += 'c';
        s += std::to_string(j);
    }
    return s;
}

// ---- cases --------------------------------------------------------------------

// Registers one case as Worst/<group>/<variant>, wall time in milliseconds.
template <typename Fn>
void add(const std::string &group, const std::string &variant, Fn fn) {
    benchmark::RegisterBenchmark(("Worst/" + group + "/" + variant).c_str(), fn)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

void add_staircase() {
    // 2 MB: record i has i bytes, so n(n+1)/2 bytes in all.
    static const uint64_t n = [] {
        uint64_t target = scaled(2000000), k = 1;
        while ((k + 1) * (k + 2) / 2 <= target) ++k;
        return k;
    }();
    add("staircase", "ordinary_32_columns", [](benchmark::State &s) {
        run_load(s, "staircase", true,
                 input_of("rect", [](const std::string &) { return rectangle(n * (n + 1) / 2); }), 0);
    });
    add("staircase", "widest_first", [](benchmark::State &s) {
        run_load(s, "staircase", false,
                 input_of("widest", [](const std::string &) { return staircase(n, true); }), 0);
    });
    add("staircase", "staircase", [](benchmark::State &s) {
        run_load(s, "staircase", false,
                 input_of("stairs", [](const std::string &) { return staircase(n, false); }), 0);
    });
}

void add_big_text() {
    add("big_text", "64MiB", [](benchmark::State &s) {
        run_load(s, "big_text", true, input_of("text64", [](const std::string &) {
                     return text_rows(scaled(64ull << 20), "text-64MiB");
                 }), 0);
    });
    if (!env_on("VELMORA_BENCH_BIG")) return;
    // 2.5 GiB of file, each field's text and terminator 16 bytes: the text
    // store passes 2 GiB, where its doubling from 1 GiB ends.
    add("big_text", "2560MiB", [](benchmark::State &s) {
        run_load(s, "big_text", false, input_of("text2560", [](const std::string &) {
                     return text_rows(2560ull << 20, "text-2560MiB");
                 }), 0);
    });
}

void add_one_line() {
    static const uint64_t n = env_on("VELMORA_BENCH_BIG") ? 300000000ull : scaled(1000000);
    add("one_line", "one_column", [](benchmark::State &s) {
        run_load(s, "one_line", true,
                 input_of("column", [](const std::string &) { return fields(n, false); }), 0);
    });
    add("one_line", "one_line", [](benchmark::State &s) {
        run_load(s, "one_line", false,
                 input_of("line", [](const std::string &) { return fields(n, true); }), 0);
    });
}

// The query: `a` (or `A`) repeated, then `b`; the ordinary one random letters.
std::string query_of(uint64_t len, bool worst, bool upper) {
    if (!worst) {
        Lcg g{99};
        std::string q;
        for (uint64_t i = 0; i < len; ++i) q += g.letter();
        return q;
    }
    return std::string(static_cast<size_t>(len - 1), upper ? 'A' : 'a') + (upper ? 'B' : 'b');
}

void add_search_case(uint64_t cell_len, uint64_t query_len) {
    const std::string size = cell_len >= (1u << 20) ? std::to_string(cell_len >> 20) + "MiB"
                                                    : std::to_string(cell_len >> 10) + "KiB";
    const std::string group = "search_" + size + "_q" + std::to_string(query_len);
    const std::string key_a = "a" + std::to_string(cell_len), key_r = "r" + std::to_string(cell_len);
    for (int ci = 0; ci <= 1; ++ci) {
        const std::string g = group + (ci ? "_ignore_case" : "");
        for (int worst = 0; worst <= 1; ++worst) {
            add(g, worst ? "a_then_b" : "ordinary_random", [=](benchmark::State &s) {
                const Input &in =
                    worst ? input_of(key_a, [](const std::string &k) {
                        return one_cell(std::stoull(k.substr(1)), true);
                    })
                          : input_of(key_r, [](const std::string &k) {
                                return one_cell(std::stoull(k.substr(1)), false);
                            });
                run_search(s, g, !worst, in, query_of(query_len, worst, ci && worst), ci);
            });
        }
    }
}

void add_select() {
    static const uint64_t width = scaled(100000);
    auto wide = [](const std::string &) { return table(width, width); };
    auto narrow = [](const std::string &) { return table(10, width); };
    for (int names = 0; names <= 1; ++names) {
        const std::string g = std::string("select_") + (names ? "by_name" : "by_number");
        add(g, "narrow_10_columns", [=](benchmark::State &s) {
            run_select(s, g, true, input_of("narrow", narrow), column_list(10, names));
        });
        add(g, "wide_" + std::to_string(width) + "_columns", [=](benchmark::State &s) {
            run_select(s, g, false, input_of("wide", wide), column_list(width, names));
        });
    }
}

const bool registered = [] {
    add_staircase();
    add_big_text();
    add_one_line();
    add_search_case(scaled(8ull << 20), 4001);
    add_search_case(scaled(32ull << 20), 16001);
    add_select();
    return true;
}();

}  // namespace
