// Comparison host for libvelmora-csv: loads one file and runs the queries
// through the exported functions only, printing one JSON line of timings.
//
//   host_velmora --file F [--encoding utf8|utf16le] [--sep C] [--loader load|ex]
//                [--ops select,arrow,rows,rows2,search,sort,stats | --ops floor]
//                [--search-col NAME --query TEXT] [--sort-col NAME]
//                [--select-cols A,B,C] [--no-thp]
//
// The queries run in that order, each timed on its own; rows2 asks for all
// rows a second time on the same thread, right after rows. arrow takes every
// column as a typed Arrow stream (csv_arrow_stream) and reads it to its end
// as a consumer does, each batch released before the next is asked for.
//
// utf8 loads with csv_load (comma); utf16le with csv_load_ex, letting the
// library detect the encoding and the delimiter, as a host would. --loader ex
// uses csv_load_ex with detection on a UTF-8 file too.
//
// --ops floor does no load: it reads the file into one buffer of size + 1 and
// counts its line feeds with memchr, one thread: the floor under any loader,
// timed as "floor".
//
// --no-thp (or VELMORA_NO_THP=1 in the environment) disables transparent huge
// pages for this process before anything is allocated
// (prctl(PR_SET_THP_DISABLE)), as a host gets them on a machine where THP is
// off; the library's huge-page advice then has no effect. The output's
// "thp_enabled" is the kernel's own word on it (/proc/self/status), -1 if the
// kernel does not say.
#include <velmora_csv.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/prctl.h>
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

// Turns transparent huge pages off for this process and its children.
bool disable_thp() {
#ifdef PR_SET_THP_DISABLE
  return prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) == 0;
#else
  return false;
#endif
}

// The floor: one allocation of size + 1, one read, one memchr pass counting
// line feeds. Returns the count, or -1.
long long read_and_scan(const char *path) {
  std::FILE *f = std::fopen(path, "rb");
  if (!f) return -1;
  std::fseek(f, 0, SEEK_END);
  long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  char *buf = size >= 0 ? (char *)std::malloc((size_t)size + 1) : nullptr;
  if (!buf) {
    std::fclose(f);
    return -1;
  }
  size_t got = std::fread(buf, 1, (size_t)size, f);
  std::fclose(f);
  buf[got] = '\0';
  long long lines = 0;
  const char *p = buf, *end = buf + got;
  while ((p = (const char *)std::memchr(p, '\n', (size_t)(end - p))) != nullptr) {
    lines++;
    p++;
  }
  std::free(buf);
  return lines;
}

// Every column of table `h` as a typed Arrow stream, read to its end: the
// rows the batches held, or -1.
int64_t drain_typed_stream(int h) {
  ArrowArrayStream stream{};
  if (csv_arrow_stream(h, nullptr, CSV_ARROW_TYPED, &stream) != 0) return -1;
  ArrowSchema schema{};
  int64_t rows = stream.get_schema(&stream, &schema) == 0 ? 0 : -1;
  if (schema.release) schema.release(&schema);
  while (rows >= 0) {
    ArrowArray batch{};
    if (stream.get_next(&stream, &batch) != 0) rows = -1;
    else if (batch.release == nullptr) break;
    else {
      rows += batch.length;
      batch.release(&batch);
    }
  }
  stream.release(&stream);
  return rows;
}

bool has_op(const std::string &ops, const char *op) {
  std::string padded = "," + ops + ",";
  return padded.find(std::string(",") + op + ",") != std::string::npos;
}

}  // namespace

int main(int argc, char **argv) {
  std::string file, encoding = "utf8", ops = "load", search_col, query, sort_col, loader,
      select_cols;
  const char *env_no_thp = std::getenv("VELMORA_NO_THP");
  bool no_thp = env_no_thp && *env_no_thp && std::strcmp(env_no_thp, "0") != 0;
  for (int i = 1; i < argc; i++) {
    std::string k = argv[i];
    if (k == "--no-thp") {
      no_thp = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "option %s needs a value\n", k.c_str());
      return 2;
    }
    std::string v = argv[++i];
    if (k == "--file") file = v;
    else if (k == "--encoding") encoding = v;
    else if (k == "--ops") ops = v;
    else if (k == "--loader") loader = v;
    else if (k == "--search-col") search_col = v;
    else if (k == "--query") query = v;
    else if (k == "--sort-col") sort_col = v;
    else if (k == "--select-cols") select_cols = v;
    else if (k == "--sep" || k == "--threads") continue;  // detected / always one thread
    else {
      std::fprintf(stderr, "unknown option %s\n", k.c_str());
      return 2;
    }
  }
  if (loader.empty()) loader = encoding == "utf8" ? "load" : "ex";
  if (loader != "load" && loader != "ex") {
    std::fprintf(stderr, "unknown loader %s\n", loader.c_str());
    return 2;
  }
  if (no_thp && !disable_thp()) {
    std::fprintf(stderr, "prctl(PR_SET_THP_DISABLE) failed\n");
    return 1;
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
  char thp[64];
  std::snprintf(thp, sizeof thp, "\"thp_enabled\":%ld,", status_kb("THP_enabled"));
  if (ops == "floor") {
    c0 = cpu_now();
    double t0 = now();
    long long lines = read_and_scan(file.c_str());
    double t1 = now();
    if (lines < 0) {
      std::fprintf(stderr, "cannot read %s\n", file.c_str());
      return 1;
    }
    add_time("floor", t1 - t0);
    add_info("lines", std::to_string(lines), false);
    out += "},\"cpu\":{" + cpu;
    std::snprintf(num, sizeof num, "},%s\"rss_base_kb\":%ld,\"rss_load_kb\":%ld,\"info\":{", thp,
                  rss_base, status_kb("VmHWM"));
    std::puts((out + num + info + "}}").c_str());
    return 0;
  }
  c0 = cpu_now();
  double t0 = now();
  int h = loader == "load" ? csv_load(file.c_str(), 1) : csv_load_ex(file.c_str(), 1, 0, 0);
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

  if (has_op(ops, "select")) {
    c0 = cpu_now();
    t0 = now();
    const char *j = csv_select(h, select_cols.c_str());
    t1 = now();
    if (!j) fail("csv_select");
    add_time("select", t1 - t0);
    add_info("select_json_bytes", std::to_string(std::strlen(j)), false);
  }
  if (has_op(ops, "arrow")) {
    c0 = cpu_now();
    t0 = now();
    int64_t rows = drain_typed_stream(h);
    t1 = now();
    if (rows < 0) fail("csv_arrow_stream");
    add_time("arrow", t1 - t0);
    add_info("arrow_rows", std::to_string(rows), false);
  }
  if (has_op(ops, "rows")) {
    c0 = cpu_now();
    t0 = now();
    const char *j = csv_rows(h, 0, -1);
    t1 = now();
    if (!j) fail("csv_rows");
    add_time("rows", t1 - t0);
    add_info("rows_json_bytes", std::to_string(std::strlen(j)), false);
  }
  if (has_op(ops, "rows2")) {
    c0 = cpu_now();
    t0 = now();
    const char *j = csv_rows(h, 0, -1);
    t1 = now();
    if (!j) fail("csv_rows");
    add_time("rows2", t1 - t0);
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
  std::snprintf(num, sizeof num, "},%s\"rss_base_kb\":%ld,\"rss_load_kb\":%ld,\"info\":{", thp,
                rss_base, rss_load);
  out += num;
  out += info + "}}";
  std::puts(out.c_str());
  return 0;
}
