// A load past 4 GiB, beside a 1 GiB load of the same rows (run by
// scripts/big-load, not part of CI: it writes and reads gigabytes).
//
//   big_load gen PATH BYTES   writes a 3-column CSV of about BYTES bytes:
//                             id,text,value rows of about 200 bytes, one
//                             row's text holding "NEEDLE" at 15/16 of the file
//   big_load load PATH        loads PATH in this process and prints one line
//                             "bytes rows wall_s cpu_s peak_rss_bytes" after
//                             checking the answers: the last rows, the search
//                             hit, the statistics
//
// Each load runs in a fresh process, so that its peak RSS is its own.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

#include "velmora_csv.h"

namespace {

constexpr int kTextLen = 180;

// CPU time (user + system) of this process so far: on a shared machine
// it varies much less than wall time.
double cpu_now() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Row i's text: a rotating window of letters, so texts repeat now and then.
void text_of(uint64_t i, char *out) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (int k = 0; k < kTextLen; ++k) out[k] = letters[(i * 7 + static_cast<uint64_t>(k)) % 53];
}

int gen(const char *path, uint64_t bytes) {
    FILE *f = fopen(path, "wb");
    if (f == nullptr) return 1;
    static char buf[1 << 20];
    size_t n = 0;
    uint64_t written = 0, i = 0;
    const uint64_t needle_at = bytes / 16 * 15;
    bool needle = false;
    n += static_cast<size_t>(snprintf(buf, sizeof buf, "id,text,value\n"));
    while (written + n < bytes) {
        char text[kTextLen + 1];
        text_of(i, text);
        if (!needle && written + n >= needle_at) {
            memcpy(text + 40, "NEEDLE", 6);
            needle = true;
        }
        text[kTextLen] = '\0';
        n += static_cast<size_t>(snprintf(buf + n, sizeof buf - n, "%llu,%s,%llu.%02llu\n",
                                          static_cast<unsigned long long>(i), text,
                                          static_cast<unsigned long long>(i % 100000),
                                          static_cast<unsigned long long>(i % 100)));
        ++i;
        if (n > sizeof buf - 512) {
            if (fwrite(buf, 1, n, f) != n) return 1;
            written += n;
            n = 0;
        }
    }
    if (fwrite(buf, 1, n, f) != n) return 1;
    return fclose(f) != 0;
}

bool contains(const char *json, const std::string &what) {
    return json != nullptr && strstr(json, what.c_str()) != nullptr;
}

int fail(const char *what) {
    fprintf(stderr, "big_load: %s (%s)\n", what, csv_last_error());
    return 1;
}

int load(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) return fail("no file");
    const double t0 = now(), c0 = cpu_now();
    const int h = csv_load(path, 1);
    const double secs = now() - t0, cpu = cpu_now() - c0;
    if (h < 0) return fail("load failed");
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    const uint64_t peak = static_cast<uint64_t>(ru.ru_maxrss) * 1024;

    // The row count in full, from csv_info.
    const char *info = csv_info(h);
    const char *at = info ? strstr(info, "\"rows\":") : nullptr;
    if (at == nullptr) return fail("no row count");
    const long long rows = atoll(at + 7);
    // The last two rows are rows rows - 2 and rows - 1, ids counting from 0.
    const char *last = csv_rows64(h, rows - 2, -1);
    if (!contains(last, "{\"id\":\"" + std::to_string(rows - 2) + "\"") ||
        !contains(last, "{\"id\":\"" + std::to_string(rows - 1) + "\""))
        return fail("last rows");
    char text[kTextLen + 1];
    text_of(static_cast<uint64_t>(rows - 1), text);
    text[kTextLen] = '\0';
    if (!contains(last, text)) return fail("last row's text");
    // One row holds the needle, written at 15/16 of the file.
    const char *hit = csv_search(h, "text", "NEEDLE", 0);
    if (hit == nullptr || hit[0] != '[' || strstr(hit, "NEEDLE") == nullptr ||
        strstr(strstr(hit, "NEEDLE") + 1, "NEEDLE") != nullptr)
        return fail("search");
    const long long hit_id = atoll(strstr(hit, "\"id\":\"") + 6);
    const double hit_frac = static_cast<double>(hit_id) / static_cast<double>(rows);
    if (hit_frac < 0.9 || hit_frac > 0.96) return fail("search hit in the wrong place");
    // Statistics: every id counted, from 0 to rows - 1.
    const char *stats = csv_stats(h);
    if (!contains(stats, "\"row_count\":" + std::to_string(rows)) ||
        !contains(stats, "\"count\":" + std::to_string(rows)) ||
        !contains(stats, "\"min\":0"))
        return fail("statistics");
    printf("%lld %lld %.3f %.3f %llu\n", static_cast<long long>(st.st_size), rows, secs, cpu,
           static_cast<unsigned long long>(peak));
    csv_close(h);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "gen") == 0) return gen(argv[2], strtoull(argv[3], nullptr, 10));
    if (argc == 3 && strcmp(argv[1], "load") == 0) return load(argv[2]);
    fprintf(stderr, "usage: big_load gen PATH BYTES | big_load load PATH\n");
    return 2;
}
