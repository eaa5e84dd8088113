// Timing host for whole-file loads.
//
//   load_host [--dir DIR] [--reps N] [--op read|load|ex8|ex16|own8|own16]... [--regen] [--no-thp]
//
// Generates a mixed 1,000,000-row CSV file (about 125 MB) and its UTF-16 LE
// copy (byte order mark, semicolons) once into DIR (default bench/data/
// load_host next to this file), then times, each in a fresh child process:
//
//   read   fopen + one fread into a buffer of size + 1, then a memchr pass
//          counting line feeds: the floor any loader stands on
//   load   csv_load on the UTF-8 file
//   ex8    csv_load_ex on the UTF-8 file (delimiter and encoding detected)
//   ex16   csv_load_ex on the UTF-16 copy (delimiter and encoding detected)
//   own8   what csv_load does, but with the parser taking over the file
//          buffer (csv_table_parse_owned) instead of borrowing it
//   own16  the same for the load of the UTF-16 copy
//
// and prints the median wall time, CPU time (user + system), minor page
// faults and peak RSS of N runs (default 5) per operation, plus the ratios
// that matter: load / read and ex16 / load. The runs of the operations are
// interleaved so that a burst of other load on the machine hits all alike.
// --no-thp starts every child with transparent huge pages disabled
// (prctl PR_SET_THP_DISABLE), as a host on fragmented memory or with THP
// off sees it.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "csv_internal.h"
#include "velmora_csv.h"

namespace {

// ---- data -------------------------------------------------------------------

struct rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return next() % n; }
    int64_t range(int64_t lo, int64_t hi) { return lo + static_cast<int64_t>(below(hi - lo + 1)); }
};

const char *const k_categories[] = {"books", "garden", "toys",   "tools", "music", "sports",
                                    "food",  "games",  "office", "pets",  "beauty", "auto"};
const char *const k_status[] = {"new", "paid", "shipped", "returned", "cancelled"};
const char *const k_cities[] = {
    "São Paulo", "Zürich",     "München", "Kraków",    "Malmö",   "Reykjavík", "Łódź",
    "İstanbul",  "Αθήνα",      "Москва",  "東京",      "Córdoba", "Besançon",  "Tromsø",
    "Gdańsk",    "Ljubljana",  "Lyon",    "Porto",     "Oslo",    "Québec",    "Kyiv",
    "Praha",     "Ærøskøbing", "Sevilla", "A Coruña", "Düsseldorf"};
const char *const k_names[] = {"Smith", "Jones",  "Müller", "Garcia", "Rossi", "Nowak",
                               "Silva", "Dubois", "Novak",  "Berg",   "Costa", "Larsen"};
const char *const k_suffix[] = {"Ltd", "GmbH", "Inc", "AG", "S.A.", "Group", "Co"};
const char *const k_words[] = {
    "order", "arrived", "late", "box", "damaged", "customer", "asked", "for", "a", "new",
    "delivery", "date", "the", "item", "was", "fine", "colour", "differs", "from", "photo",
    "please", "call", "before", "noon", "gift", "wrap", "requested", "express", "shipping",
    "paid", "twice", "invoice", "missing", "address", "changed", "after", "dispatch", "left",
    "at", "door", "neighbour", "signed", "return", "label", "sent", "by", "email", "quality",
    "good", "size", "too", "small", "exchange", "only", "no", "cash", "warranty", "claim"};

template <size_t N>
const char *pick(rng &r, const char *const (&a)[N]) {
    return a[r.below(N)];
}

void put_field(std::string &s, const std::string &v, char d) {
    if (v.find_first_of(",;\"\n") == std::string::npos && v.find(d) == std::string::npos) {
        s += v;
        return;
    }
    s += '"';
    for (char c : v) {
        if (c == '"') s += '"';
        s += c;
    }
    s += '"';
}

void mixed_row(std::string &s, rng &r, int64_t id, char d) {
    char tmp[64];
    snprintf(tmp, sizeof tmp, "%lld%c%lld%c%lld%c", static_cast<long long>(id), d,
             static_cast<long long>(r.range(10000, 999999)), d,
             static_cast<long long>(r.range(1, 500)), d);
    s += tmp;
    if (r.below(100) >= 5) {
        int64_t cents = r.range(1, 999999);
        snprintf(tmp, sizeof tmp, "%lld.%02lld", static_cast<long long>(cents / 100),
                 static_cast<long long>(cents % 100));
        s += tmp;
    }
    s += d;
    s += pick(r, k_categories);
    s += d;
    s += pick(r, k_status);
    s += d;
    s += pick(r, k_cities);
    s += d;
    std::string c = pick(r, k_names);
    uint64_t k = r.below(100);
    if (k < 30) {
        c = c + ", " + pick(r, k_names) + " " + pick(r, k_suffix);
    } else if (k < 35) {
        c = std::string("The \"") + c + "\" " + pick(r, k_suffix);
    } else {
        c = c + " " + pick(r, k_suffix);
    }
    if (r.below(5000) == 0) c += "\nDepartment " + std::to_string(r.range(1, 9));
    put_field(s, c, d);
    s += d;
    snprintf(tmp, sizeof tmp, "%04d-%02d-%02d", static_cast<int>(r.range(2015, 2024)),
             static_cast<int>(r.range(1, 12)), static_cast<int>(r.range(1, 28)));
    s += tmp;
    s += d;
    size_t target = static_cast<size_t>(r.range(30, 80));
    std::string t;
    while (t.size() < target) {
        if (!t.empty()) t += ' ';
        t += pick(r, k_words);
    }
    t.resize(target);
    while (!t.empty() && t.back() == ' ') t.pop_back();
    put_field(s, t, d);
    s += '\n';
}

void put_utf16le(std::string &dst, const std::string &src) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(src.data());
    const unsigned char *e = p + src.size();
    while (p < e) {
        uint32_t c = *p++;
        if (c >= 0xF0) {
            c = ((c & 0x07) << 18) | ((p[0] & 0x3Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
            p += 3;
        } else if (c >= 0xE0) {
            c = ((c & 0x0F) << 12) | ((p[0] & 0x3Fu) << 6) | (p[1] & 0x3Fu);
            p += 2;
        } else if (c >= 0xC0) {
            c = ((c & 0x1F) << 6) | (p[0] & 0x3Fu);
            p += 1;
        }
        auto unit = [&](uint32_t u) {
            dst += static_cast<char>(u & 0xFF);
            dst += static_cast<char>(u >> 8);
        };
        if (c >= 0x10000) {
            c -= 0x10000;
            unit(0xD800 + (c >> 10));
            unit(0xDC00 + (c & 0x3FF));
        } else {
            unit(c);
        }
    }
}

bool write_all(FILE *f, const std::string &s) {
    return fwrite(s.data(), 1, s.size(), f) == s.size();
}

// Writes the UTF-8 file (commas) and the UTF-16 LE copy (semicolons).
bool generate(const std::string &p8, const std::string &p16) {
    FILE *f8 = fopen(p8.c_str(), "wb");
    FILE *f16 = fopen(p16.c_str(), "wb");
    if (f8 == nullptr || f16 == nullptr) return false;
    const char *head = "id,customer_id,quantity,price,category,status,city,company,order_date,comment\n";
    std::string s = head, semi = head, u = "\xFF\xFE";
    std::replace(semi.begin(), semi.end(), ',', ';');
    put_utf16le(u, semi);
    rng r8{20240611}, r16{20240611};
    bool ok = true;
    for (int64_t i = 1; i <= 1000000 && ok; ++i) {
        mixed_row(s, r8, i, ',');
        semi.clear();
        mixed_row(semi, r16, i, ';');
        put_utf16le(u, semi);
        if (s.size() > (1u << 16)) {
            ok = write_all(f8, s) && write_all(f16, u);
            s.clear();
            u.clear();
        }
    }
    ok = ok && write_all(f8, s) && write_all(f16, u);
    ok = (fclose(f8) == 0) && ok;
    ok = (fclose(f16) == 0) && ok;
    return ok;
}

bool file_exists(const std::string &p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && st.st_size > 0;
}

// Reads a file once so that every run finds it in the page cache.
void warm(const std::string &p) {
    FILE *f = fopen(p.c_str(), "rb");
    if (f == nullptr) return;
    static char buf[1 << 16];
    while (fread(buf, 1, sizeof buf, f) > 0) {
    }
    fclose(f);
}

// ---- runs -------------------------------------------------------------------

struct sample {
    double wall;      // seconds
    double cpu;       // user + system seconds
    long minflt;      // minor page faults
    long maxrss_kb;   // peak resident set of the child
    long base_kb;     // its resident set before the operation
    long long rows;   // rows loaded, or lines counted
    int ok;
};

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double cpu_of(const rusage &u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

// The floor: one allocation of size + 1, one fread, one memchr pass.
long long read_and_scan(const char *path) {
    FILE *f = fopen(path, "rb");
    if (f == nullptr) return -1;
    fseeko(f, 0, SEEK_END);
    off_t size = ftello(f);
    fseeko(f, 0, SEEK_SET);
    char *buf = static_cast<char *>(malloc(static_cast<size_t>(size) + 1));
    if (buf == nullptr) {
        fclose(f);
        return -1;
    }
    size_t got = fread(buf, 1, static_cast<size_t>(size), f);
    fclose(f);
    buf[got] = '\0';
    long long lines = 0;
    const char *p = buf, *end = buf + got;
    while ((p = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)))) != nullptr) {
        ++lines;
        ++p;
    }
    free(buf);
    return lines;
}

// A load through the internal calls, the parser owning its input.
long long owned_load(const char *path, int32_t encoding) {
    char *text = nullptr;
    uint64_t len = 0;
    int32_t truncated = 0;
    if (csv_read_source(path, encoding, &text, &len, &truncated) != 0) return -1;
    uint64_t start = (len >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) ? 3 : 0;
    csv_parse_opts opts{};
    opts.delimiter = static_cast<uint32_t>(encoding == 1 ? ',' : csv_detect_delimiter(text, len, start));
    opts.total_len = static_cast<int64_t>(len);
    static csv_table t{};  // kept, as a slot would keep it
    if (csv_table_parse_owned(&t, text, len, 1, &opts) != 0) return -1;
    return t.n_rows;
}

long long run_op(const std::string &op, const std::string &p8, const std::string &p16) {
    if (op == "read") return read_and_scan(p8.c_str());
    if (op == "own8") return owned_load(p8.c_str(), 1);
    if (op == "own16") return owned_load(p16.c_str(), 0);
    int h = -1;
    if (op == "load") h = csv_load(p8.c_str(), 1);
    else if (op == "ex8") h = csv_load_ex(p8.c_str(), 1, 0, 0);
    else if (op == "ex16") h = csv_load_ex(p16.c_str(), 1, 0, 0);
    if (h < 0) {
        fprintf(stderr, "%s failed: %s\n", op.c_str(), csv_last_error());
        return -1;
    }
    long long rows = csv_row_count(h);
    // Closing is not timed: a host keeps the table while it queries it.
    return rows;
}

// Runs one operation in a fresh child process and collects its figures.
bool g_no_thp = false;

sample measure(const std::string &op, const std::string &p8, const std::string &p16) {
    sample s{};
    int fd[2];
    if (pipe(fd) != 0) return s;
    pid_t pid = fork();
    if (pid == 0) {
        close(fd[0]);
        if (g_no_thp && prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0) _exit(1);
        rusage u0, u1;
        getrusage(RUSAGE_SELF, &u0);
        double t0 = now();
        long long rows = run_op(op, p8, p16);
        double t1 = now();
        getrusage(RUSAGE_SELF, &u1);
        sample r{};
        r.wall = t1 - t0;
        r.cpu = cpu_of(u1) - cpu_of(u0);
        r.minflt = u1.ru_minflt - u0.ru_minflt;
        r.maxrss_kb = u1.ru_maxrss;
        r.base_kb = u0.ru_maxrss;
        r.rows = rows;
        r.ok = rows >= 0;
        ssize_t w = write(fd[1], &r, sizeof r);
        _exit(w == static_cast<ssize_t>(sizeof r) ? 0 : 1);
    }
    close(fd[1]);
    if (pid > 0) {
        ssize_t n = read(fd[0], &s, sizeof s);
        if (n != static_cast<ssize_t>(sizeof s)) s.ok = 0;
        int status = 0;
        waitpid(pid, &status, 0);
    }
    close(fd[0]);
    return s;
}

template <typename T>
T median(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct summary {
    double wall, cpu, wall_min;
    long minflt, maxrss_kb, base_kb;
    long long rows;
};

std::string default_dir(const char *argv0) {
    std::string here = __FILE__;
    size_t slash = here.rfind('/');
    (void)argv0;
    return (slash == std::string::npos ? std::string(".") : here.substr(0, slash)) + "/data/load_host";
}

}  // namespace

int main(int argc, char **argv) {
    std::string dir = default_dir(argv[0]);
    int reps = 5;
    bool regen = false;
    std::vector<std::string> ops;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc) dir = argv[++i];
        else if (a == "--reps" && i + 1 < argc) reps = atoi(argv[++i]);
        else if (a == "--op" && i + 1 < argc) ops.push_back(argv[++i]);
        else if (a == "--regen") regen = true;
        else if (a == "--no-thp") g_no_thp = true;
        else {
            fprintf(stderr, "usage: %s [--dir DIR] [--reps N] [--op read|load|ex8|ex16|own8|own16]... [--regen] [--no-thp]\n",
                    argv[0]);
            return 2;
        }
    }
    if (ops.empty()) ops = {"read", "load", "ex8", "ex16", "own8", "own16"};
    if (reps < 1) reps = 1;

    mkdir(dir.c_str(), 0777);
    const std::string p8 = dir + "/mixed.csv", p16 = dir + "/mixed_utf16.csv";
    if (regen || !file_exists(p8) || !file_exists(p16)) {
        fprintf(stderr, "generating %s and %s ...\n", p8.c_str(), p16.c_str());
        if (!generate(p8, p16)) {
            fprintf(stderr, "cannot write the data files: %s\n", strerror(errno));
            return 1;
        }
    }
    warm(p8);
    warm(p16);

    std::vector<std::vector<sample>> runs(ops.size());
    for (int r = 0; r < reps; ++r)
        for (size_t k = 0; k < ops.size(); ++k) runs[k].push_back(measure(ops[k], p8, p16));

    std::vector<summary> sums(ops.size());
    printf("%-5s %9s %9s %9s %9s %10s %10s %10s\n", "op", "wall s", "min s", "cpu s", "minflt",
           "maxrss MiB", "+load MiB", "rows");
    for (size_t k = 0; k < ops.size(); ++k) {
        std::vector<double> w, c;
        std::vector<long> f, m, b;
        long long rows = -1;
        for (const sample &s : runs[k]) {
            if (!s.ok) continue;
            w.push_back(s.wall);
            c.push_back(s.cpu);
            f.push_back(s.minflt);
            m.push_back(s.maxrss_kb);
            b.push_back(s.base_kb);
            rows = s.rows;
        }
        if (w.empty()) {
            printf("%-5s failed\n", ops[k].c_str());
            sums[k] = summary{-1, -1, -1, -1, -1, -1, -1};
            continue;
        }
        sums[k] = summary{median(w), median(c), *std::min_element(w.begin(), w.end()),
                          median(f), median(m), median(b), rows};
        printf("%-5s %9.4f %9.4f %9.4f %9ld %10.1f %10.1f %10lld\n", ops[k].c_str(), sums[k].wall,
               sums[k].wall_min, sums[k].cpu, sums[k].minflt,
               static_cast<double>(sums[k].maxrss_kb) / 1024.0,
               static_cast<double>(sums[k].maxrss_kb - sums[k].base_kb) / 1024.0, rows);
    }
    auto find = [&](const char *name) -> const summary * {
        for (size_t k = 0; k < ops.size(); ++k)
            if (ops[k] == name && sums[k].wall > 0) return &sums[k];
        return nullptr;
    };
    const summary *rd = find("read"), *ld = find("load"), *e16 = find("ex16");
    const summary *o8 = find("own8"), *o16 = find("own16");
    auto ratio = [](const char *what, const summary *a, const summary *b) {
        if (a && b)
            printf("%-13s wall %.2fx  min %.2fx  cpu %.2fx\n", what, a->wall / b->wall,
                   a->wall_min / b->wall_min, a->cpu / b->cpu);
    };
    ratio("load / read:", ld, rd);
    ratio("ex16 / load:", e16, ld);
    ratio("own8 / read:", o8, rd);
    ratio("own16 / own8:", o16, o8);
    struct stat st;
    if (ld && stat(p8.c_str(), &st) == 0)
        printf("load adds %.1f MiB at its peak; budget (2 x file + 8 B per cell) %.1f MiB\n",
               static_cast<double>(ld->maxrss_kb - ld->base_kb) / 1024.0,
               (2.0 * static_cast<double>(st.st_size) + 8.0 * 10.0 * static_cast<double>(ld->rows)) /
                   (1024.0 * 1024.0));
    return 0;
}
