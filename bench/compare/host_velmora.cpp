// Comparison host for libvelmora-csv: loads one file and runs the queries
// through the exported functions only, printing one JSON line of timings.
//
//   host_velmora --file F [--encoding utf8|utf16le] [--sep C]
//                [--ops load,rows,search,sort,stats]
//                [--search-col NAME --query TEXT] [--sort-col NAME]
//
// utf8 loads with csv_load (comma); utf16le with csv_load_ex, letting the
// library detect the encoding and the delimiter, as a host would.
#include <velmora_csv.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <time.h>

namespace {

double now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// CPU seconds of the whole process (user + system, all threads).
double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// A "Vm...:" line of /proc/self/status in KiB, or -1.
long status_kb(const char *key) {
  std::FILE *f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long v = -1;
  size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, key, n) == 0 && line[n] == ':') {
      v = std::strtol(line + n + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return v;
}

size_t count_of(const char *hay, const std::string &needle) {
  size_t n = 0;
  for (const char *p = hay; (p = std::strstr(p, needle.c_str())) != nullptr; p += needle.size()) n++;
  return n;
}

// Value of the first column in the first and the last row object of a rows
// document, e.g. {"id":"17"...}: the key pattern is `{"<first header>":"`.
std::string first_value_after(const char *p, const std::string &key) {
  if (!p) return "";
  p += key.size();
  const char *q = std::strchr(p, '"');
  return q ? std::string(p, (size_t)(q - p)) : std::string();
}

void fail(const char *what) {
  std::fprintf(stderr, "%s failed: %s\n", what, csv_last_error());
  std::exit(1);
}

bool has_op(const std::string &ops, const char *op) {
  std::string padded = "," + ops + ",";
  return padded.find(std::string(",") + op + ",") != std::string::npos;
}

}  // namespace

int main(int argc, char **argv) {
  std::string file, encoding = "utf8", ops = "load", search_col, query, sort_col;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i], v = argv[i + 1];
    if (k == "--file") file = v;
    else if (k == "--encoding") encoding = v;
    else if (k == "--ops") ops = v;
    else if (k == "--search-col") search_col = v;
    else if (k == "--query") query = v;
    else if (k == "--sort-col") sort_col = v;
    else if (k == "--sep" || k == "--threads") continue;  // detected / always one thread
    else {
      std::fprintf(stderr, "unknown option %s\n", k.c_str());
      return 2;
    }
  }
  std::string out = "{\"tool\":\"velmora-csv\",\"times\":{";
  std::string info, cpu;
  char num[128];
  double c0 = 0;
  auto add_time = [&](const char *op, double s) {
    if (out.back() != '{') out += ",";
    std::snprintf(num, sizeof num, "\"%s\":%.6f", op, s);
    out += num;
    if (!cpu.empty()) cpu += ",";
    std::snprintf(num, sizeof num, "\"%s\":%.6f", op, cpu_now() - c0);
    cpu += num;
  };
  auto add_info = [&](const char *k, const std::string &v, bool quoted) {
    if (!info.empty()) info += ",";
    info += "\"" + std::string(k) + "\":" + (quoted ? "\"" + v + "\"" : v);
  };

  long rss_base = status_kb("VmRSS");
  c0 = cpu_now();
  double t0 = now();
  int h = encoding == "utf8" ? csv_load(file.c_str(), 1) : csv_load_ex(file.c_str(), 1, 0, 0);
  double t1 = now();
  if (h < 0) fail("load");
  long rss_load = status_kb("VmHWM");
  add_time("load", t1 - t0);
  add_info("rows", std::to_string(csv_row_count(h)), false);
  add_info("cols", std::to_string(csv_col_count(h)), false);
  add_info("warnings", std::to_string(csv_parse_warning_count(h)), false);

  // The first header name, for the checks on the row documents.
  std::string first_header;
  {
    const char *hd = csv_headers(h);
    if (!hd) fail("csv_headers");
    first_header = first_value_after(std::strstr(hd, "[\""), "[\"");
  }
  std::string key = "{\"" + first_header + "\":\"";

  if (has_op(ops, "rows")) {
    c0 = cpu_now();
    t0 = now();
    const char *j = csv_rows(h, 0, -1);
    t1 = now();
    if (!j) fail("csv_rows");
    add_time("rows", t1 - t0);
    add_info("rows_json_bytes", std::to_string(std::strlen(j)), false);
  }
  if (has_op(ops, "search")) {
    c0 = cpu_now();
    t0 = now();
    const char *j = csv_search(h, search_col.c_str(), query.c_str(), 0);
    t1 = now();
    if (!j) fail("csv_search");
    add_time("search", t1 - t0);
    add_info("search_hits", std::to_string(count_of(j, key)), false);
    add_info("search_json_bytes", std::to_string(std::strlen(j)), false);
  }
  if (has_op(ops, "sort")) {
    c0 = cpu_now();
    t0 = now();
    const char *j = csv_sort(h, sort_col.c_str(), 0);
    t1 = now();
    if (!j) fail("csv_sort");
    add_time("sort", t1 - t0);
    const char *last = nullptr;
    for (const char *p = j; (p = std::strstr(p, key.c_str())) != nullptr; p += key.size()) last = p;
    add_info("sort_first", first_value_after(std::strstr(j, key.c_str()), key), true);
    add_info("sort_last", first_value_after(last, key), true);
    add_info("sort_json_bytes", std::to_string(std::strlen(j)), false);
  }
  if (has_op(ops, "stats")) {
    c0 = cpu_now();
    t0 = now();
    const char *j = csv_stats(h);
    t1 = now();
    if (!j) fail("csv_stats");
    add_time("stats", t1 - t0);
    add_info("stats", j, false);  // small: one object per column
  }
  csv_close(h);
  out += "},\"cpu\":{" + cpu;
  std::snprintf(num, sizeof num, "},\"rss_base_kb\":%ld,\"rss_load_kb\":%ld,\"info\":{", rss_base,
                rss_load);
  out += num;
  out += info + "}}";
  std::puts(out.c_str());
  return 0;
}
