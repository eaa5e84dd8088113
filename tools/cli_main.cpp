// velmora-csv: loads one delimited text file with the library and prints the
// answer to one query: the library's JSON, NDJSON, CSV, TSV or a table.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <velmora_csv.h>

#include "cli_args.h"
#include "cli_columns.h"
#include "cli_doc.h"
#include "cli_output.h"
#include "cli_table.h"

#ifndef VELMORA_CSV_VERSION
#define VELMORA_CSV_VERSION "unknown"
#endif

namespace {

enum exit_status { exit_ok = 0, exit_failed = 1, exit_usage = 2, exit_interrupted = 130 };

// Set while the progress bar is on the terminal, so that Ctrl-C wipes it.
volatile sig_atomic_t g_bar_drawn = 0;

// Ctrl-C: nothing of the run needs undoing (the tool writes no file, and
// output cut short is what the user asked for), so the handler says so and
// leaves at once. Waiting for the library's next progress report instead
// could mean waiting for ever on a pipe that sends nothing.
extern "C" void on_sigint(int) {
    static const char wipe[] = "\r\033[K";
    static const char message[] = "velmora-csv: interrupted\n";
    if (g_bar_drawn) (void)!write(STDERR_FILENO, wipe, sizeof wipe - 1);
    (void)!write(STDERR_FILENO, message, sizeof message - 1);
    _exit(exit_interrupted);
}

void print_error(const std::string &message) {
    fprintf(stderr, "velmora-csv: %s\n", message.c_str());
}

// Catches Ctrl-C for the whole run. A shell that started us with SIGINT
// ignored (a background job) keeps it ignored.
class sigint_guard {
public:
    sigint_guard() {
        struct sigaction sa {};
        sa.sa_handler = on_sigint;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, nullptr, &old_);
        if (old_.sa_handler != SIG_IGN) sigaction(SIGINT, &sa, nullptr);
    }
    ~sigint_guard() { sigaction(SIGINT, &old_, nullptr); }
    sigint_guard(const sigint_guard &) = delete;
    sigint_guard &operator=(const sigint_guard &) = delete;

private:
    struct sigaction old_ {};
};

std::string with_thousands(int64_t n) {
    std::string digits = std::to_string(n < 0 ? -n : n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return n < 0 ? "-" + out : out;
}

// The library reports at most once per 64 MiB or 1,000,000 rows and once at
// the end; below both a bar would only flash.
constexpr uint64_t report_bytes = uint64_t{64} << 20;
constexpr int64_t report_rows = 1000000;

// The progress bar on standard error. It appears only for a file large
// enough to be reported on before its end. While the size is unknown (a
// pipe) it shows the megabytes read instead of a percentage.
struct progress_bar {
    bool enabled = false;
    std::string name;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    void draw(uint64_t done, int64_t total, int64_t rows) {
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double mb_per_s = seconds > 0 ? static_cast<double>(done) / 1e6 / seconds : 0;
        char line[200];
        if (total > 0) {
            int percent = static_cast<int>(done * 100 / static_cast<uint64_t>(total));
            if (percent > 100) percent = 100;
            constexpr int bar_width = 24;
            std::string bar(static_cast<size_t>(percent * bar_width / 100), '#');
            bar.resize(bar_width, '.');
            snprintf(line, sizeof line, "%3d%% [%s] %8.1f MB/s  %s rows", percent, bar.c_str(), mb_per_s,
                     with_thousands(rows).c_str());
        } else {
            snprintf(line, sizeof line, "%10.1f MB read %8.1f MB/s  %s rows", static_cast<double>(done) / 1e6,
                     mb_per_s, with_thousands(rows).c_str());
        }
        g_bar_drawn = 1;  // first: Ctrl-C may come as soon as the bar shows
        fprintf(stderr, "\r\033[Kloading %s %s", name.c_str(), line);
        fflush(stderr);
    }

    void clear() {
        if (!g_bar_drawn) return;
        fputs("\r\033[K", stderr);
        fflush(stderr);
        g_bar_drawn = 0;
    }
};

extern "C" int on_progress(uint64_t done, int64_t total, int64_t rows, void *user_data) {
    auto *bar = static_cast<progress_bar *>(user_data);
    if (!bar->enabled) return 0;
    bool final_call = total > 0 ? done >= static_cast<uint64_t>(total)
                                : done < report_bytes && rows < report_rows;
    if (!final_call || g_bar_drawn) bar->draw(done, total, rows);
    return 0;
}

std::string base_name(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "-" is standard input, which the library reads to its end like any
// stream that cannot seek.
std::string source_path(const std::string &file) { return file == "-" ? "/dev/stdin" : file; }

// Text kept as read that holds bytes which are not UTF-8 is most likely in
// another encoding: the answers show those bytes as Latin-1 characters, so
// say so once, with the option that reads the file as it is meant.
void warn_invalid_utf8(int handle, const cli::invocation &inv) {
    const char *json = csv_info(handle);
    if (json == nullptr) return;
    std::string why;
    cli::json_doc doc = cli::json_read(json, why);
    if (!doc) return;
    yyjson_val *count = cli::json_member(yyjson_doc_get_root(doc.get()), "invalid_utf8_bytes");
    // Numbers are read as their text.
    const uint64_t n = count == nullptr ? 0 : strtoull(cli::json_text(count).c_str(), nullptr, 10);
    if (n == 0) return;
    const std::string where = inv.file == "-" ? "standard input" : inv.file;
    fprintf(stderr,
            "velmora-csv: warning: %s: %llu byte%s not valid UTF-8; if the file is in another "
            "encoding, name it, e.g. --encoding windows-1252\n",
            where.c_str(), static_cast<unsigned long long>(n), n == 1 ? " is" : "s are");
}

// Loads the file; on failure prints the reason and returns -1.
int load(const cli::invocation &inv) {
    progress_bar bar;
    bar.enabled = isatty(STDERR_FILENO) == 1;
    bar.name = inv.file == "-" ? "standard input" : cli::fit_cell(base_name(inv.file), 30);
    std::string path = source_path(inv.file);
    int header = inv.has_header ? 1 : 0;
    int handle = inv.encoding_name.empty()
                     ? csv_load_ex_progress(path.c_str(), header, inv.delimiter, inv.encoding, on_progress, &bar)
                     : csv_load_encoding(path.c_str(), header, inv.delimiter, inv.encoding_name.c_str(),
                                         on_progress, &bar);
    bar.clear();
    if (handle < 0) print_error(csv_last_error());
    else warn_invalid_utf8(handle, inv);
    return handle;
}

// Closes the table when the run ends, whichever way.
struct table_handle {
    int id;
    ~table_handle() { csv_close(id); }
};

// The library's answer `json` read as a document: null (with the reason
// printed) when the call failed or its text cannot be read.
cli::json_doc read_answer(const char *json) {
    if (json == nullptr) {
        print_error(csv_last_error());
        return cli::json_doc{};
    }
    std::string why;
    cli::json_doc doc = cli::json_read(json, why);
    if (!doc) print_error("cannot read the library's answer: " + why);
    return doc;
}

// The headers of the table; false with the message printed.
bool headers_of(int handle, std::vector<std::string> &out) {
    cli::json_doc doc = read_answer(csv_headers(handle));
    if (!doc) return false;
    size_t i = 0, n = 0;
    yyjson_val *name;
    yyjson_arr_foreach(yyjson_doc_get_root(doc.get()), i, n, name) out.push_back(cli::json_text(name));
    return true;
}

// The column arguments of select, search and sort with every #N turned
// into what the library reads as column N.
bool resolve_positions(const cli::invocation &inv, int handle, std::vector<std::string> &args) {
    args = inv.args;
    bool wanted = false;
    for (const std::string &a : args) wanted = wanted || cli::has_position(a);
    if (args.empty() || !wanted) return true;
    std::vector<std::string> headers;
    if (!headers_of(handle, headers)) return false;
    std::string error;
    bool ok = inv.cmd == cli::command::select ? cli::rewrite_list(inv.args[0], headers, args[0], error)
                                              : cli::rewrite_column(inv.args[0], headers, args[0], error);
    if (!ok) print_error(error);
    return ok;
}

// The query's JSON answer; null with the library's message printed.
const char *query(const cli::invocation &inv, int handle, const std::vector<std::string> &args,
                  std::string &count_text) {
    const char *json = nullptr;
    const char *a0 = args.size() > 0 ? args[0].c_str() : "";
    const char *a1 = args.size() > 1 ? args[1].c_str() : "";
    switch (inv.cmd) {
    case cli::command::headers: json = csv_headers(handle); break;
    case cli::command::rows: json = csv_rows(handle, inv.offset, inv.limit); break;
    case cli::command::select: json = csv_select(handle, a0); break;
    case cli::command::search: json = csv_search(handle, a0, a1, inv.ignore_case ? 1 : 0); break;
    case cli::command::sort: json = csv_sort(handle, a0, inv.descending ? 1 : 0); break;
    case cli::command::stats: json = csv_stats(handle); break;
    case cli::command::warnings: json = csv_parse_warnings(handle); break;
    case cli::command::info: json = csv_info(handle); break;
    case cli::command::count: {
        int rows = csv_row_count(handle), cols = csv_col_count(handle);
        int warnings = csv_parse_warning_count(handle);
        if (rows < 0 || cols < 0 || warnings < 0) break;
        count_text = "{\"rows\":" + std::to_string(rows) + ",\"columns\":" + std::to_string(cols) +
                     ",\"warnings\":" + std::to_string(warnings) + "}";
        return count_text.c_str();
    }
    }
    if (json == nullptr) print_error(csv_last_error());
    return json;
}

bool is_rows_answer(cli::command cmd) {
    return cmd == cli::command::rows || cmd == cli::command::select || cmd == cli::command::search ||
           cmd == cli::command::sort;
}

// Rows read from the library a page at a time, so that a whole large table
// is never one answer in memory.
constexpr int page_rows = 4096;

bool each_page(const cli::invocation &inv, int handle, const cli::row_answer::visitor &visit) {
    int64_t at = inv.offset, left = inv.limit < 0 ? INT64_MAX : inv.limit;
    while (left > 0) {
        int want = static_cast<int>(left < page_rows ? left : page_rows);
        cli::json_doc doc = read_answer(csv_rows64(handle, at, want));
        if (!doc) return false;
        yyjson_val *rows = yyjson_doc_get_root(doc.get());
        size_t i = 0, n = 0;
        yyjson_val *row;
        yyjson_arr_foreach(rows, i, n, row) if (!visit(row)) return true;
        if (n < static_cast<size_t>(want)) break;
        at += want, left -= want;
    }
    return true;
}

int write_other_answer(const cli::invocation &inv, int handle, const std::vector<std::string> &args,
                       cli::out_stream &out) {
    std::string count_text;
    const char *json = query(inv, handle, args, count_text);
    if (json == nullptr) return exit_failed;
    if (inv.out == cli::output::json) {
        out.put(json);
        out.put("\n");
        return exit_ok;
    }
    cli::json_doc doc = read_answer(json);
    if (!doc) return exit_failed;
    if (!cli::write_answer(inv.cmd, yyjson_doc_get_root(doc.get()), inv.out, inv.max_width, out)) {
        print_error("unexpected shape of the library's answer");
        return exit_failed;
    }
    return exit_ok;
}

int write_rows_answer(const cli::invocation &inv, int handle, const std::vector<std::string> &args,
                      cli::out_stream &out) {
    std::vector<std::string> headers;
    if (!headers_of(handle, headers)) return exit_failed;
    cli::row_answer rows;
    rows.names = inv.cmd == cli::command::select ? cli::list_names(args[0], headers) : headers;
    // JSON with every name once: the library's text as it is.
    if (inv.out == cli::output::json && !cli::names_repeat(rows.names)) {
        return write_other_answer(inv, handle, args, out);
    }
    rows.header_line = inv.has_header;
    cli::json_doc doc;
    if (inv.cmd == cli::command::rows) {
        rows.each = [&](const cli::row_answer::visitor &visit) { return each_page(inv, handle, visit); };
    } else {
        std::string count_text;
        const char *json = query(inv, handle, args, count_text);
        if (json == nullptr) return exit_failed;
        doc = read_answer(json);
        if (!doc) return exit_failed;
        yyjson_val *root = yyjson_doc_get_root(doc.get());
        rows.each = [root](const cli::row_answer::visitor &visit) {
            size_t i = 0, n = 0;
            yyjson_val *row;
            yyjson_arr_foreach(root, i, n, row) if (!visit(row)) break;
            return true;
        };
    }
    if (!cli::write_rows(rows, inv.out, inv.max_width, out)) return exit_failed;
    return exit_ok;
}

bool finish_output(cli::out_stream &out) {
    if (out.flush()) return true;
    print_error(std::string("cannot write the output: ") + strerror(out.error()));
    return false;
}

int run(const cli::invocation &inv) {
    sigint_guard guard;
    int id = load(inv);
    if (id < 0) return exit_failed;
    table_handle handle{id};
    std::vector<std::string> args;
    if (!resolve_positions(inv, id, args)) return exit_failed;
    cli::out_stream out;
    int status = is_rows_answer(inv.cmd) ? write_rows_answer(inv, id, args, out)
                                         : write_other_answer(inv, id, args, out);
    if (!finish_output(out)) return exit_failed;
    return status;
}

bool write_text(const std::string &text) {
    cli::out_stream out;
    out.put(text);
    return finish_output(out);
}

int main_impl(int argc, char **argv) {
    cli::invocation inv;
    std::string error;
    if (!cli::parse_args(argc, argv, inv, error)) {
        print_error(error);
        fputs((inv.has_command ? cli::usage_text(inv.cmd) : cli::usage_text()).c_str(), stderr);
        return exit_usage;
    }
    switch (inv.what) {
    case cli::invocation::action::help:
        return write_text(inv.has_command ? cli::help_text(inv.cmd) : cli::help_text()) ? exit_ok
                                                                                           : exit_failed;
    case cli::invocation::action::version:
        return write_text("velmora-csv " VELMORA_CSV_VERSION "\n") ? exit_ok : exit_failed;
    case cli::invocation::action::run: break;
    }
    return run(inv);
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return main_impl(argc, argv);
    } catch (const std::bad_alloc &) {
        print_error("out of memory");
        return exit_failed;
    }
}
