// velmora-csv: loads one delimited text file with the library and prints the
// answer to one query, as the library's JSON or as a table for people.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include <velmora_csv.h>

#include "cli_args.h"
#include "cli_json.h"
#include "cli_table.h"

#ifndef VELMORA_CSV_VERSION
#define VELMORA_CSV_VERSION "unknown"
#endif

namespace {

enum exit_status { exit_ok = 0, exit_failed = 1, exit_usage = 2, exit_interrupted = 130 };

volatile sig_atomic_t g_interrupted = 0;

extern "C" void on_sigint(int) { g_interrupted = 1; }

void print_error(const std::string &message) {
    fprintf(stderr, "velmora-csv: %s\n", message.c_str());
}

// Ctrl-C while loading: the handler only raises a flag, which the progress
// callback turns into a cancelled load. A shell that started us with
// SIGINT ignored (a background job) keeps it ignored.
class sigint_guard {
public:
    sigint_guard() {
        struct sigaction sa {};
        sa.sa_handler = on_sigint;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
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

// The progress bar on standard error. The library reports at most once per
// 64 MiB or 1,000,000 rows and once at the end, so a bar appears only for a
// file large enough to be reported on before its end.
struct progress_bar {
    bool enabled = false;
    bool drawn = false;
    std::string name;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    void draw(uint64_t done, int64_t total, int64_t rows) {
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        double mb_per_s = seconds > 0 ? static_cast<double>(done) / 1e6 / seconds : 0;
        int percent = total > 0 ? static_cast<int>(done * 100 / static_cast<uint64_t>(total)) : 100;
        if (percent > 100) percent = 100;
        constexpr int bar_width = 24;
        std::string bar(static_cast<size_t>(percent * bar_width / 100), '#');
        bar.resize(bar_width, '.');
        char line[160];
        snprintf(line, sizeof line, "%3d%% [%s] %8.1f MB/s  %s rows", percent, bar.c_str(), mb_per_s,
                 with_thousands(rows).c_str());
        fprintf(stderr, "\r\033[Kloading %s %s", name.c_str(), line);
        fflush(stderr);
        drawn = true;
    }

    void clear() {
        if (!drawn) return;
        fputs("\r\033[K", stderr);
        fflush(stderr);
        drawn = false;
    }
};

extern "C" int on_progress(uint64_t done, int64_t total, int64_t rows, void *user_data) {
    if (g_interrupted) return 1;
    auto *bar = static_cast<progress_bar *>(user_data);
    bool final_call = total <= 0 || done >= static_cast<uint64_t>(total);
    if (bar->enabled && (!final_call || bar->drawn)) bar->draw(done, total, rows);
    return 0;
}

std::string base_name(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Loads the file; on failure prints the reason and returns -1 with the exit
// status in `status`.
int load(const cli::invocation &inv, int &status) {
    progress_bar bar;
    bar.enabled = isatty(STDERR_FILENO) == 1;
    bar.name = cli::fit_cell(base_name(inv.file), 30);
    int handle;
    {
        sigint_guard guard;
        handle = csv_load_ex_progress(inv.file.c_str(), inv.has_header ? 1 : 0, inv.delimiter,
                                      inv.encoding, on_progress, &bar);
    }
    bar.clear();
    if (handle < 0) {
        print_error(csv_last_error());
        status = g_interrupted ? exit_interrupted : exit_failed;
        return -1;
    }
    if (g_interrupted) {  // Ctrl-C after the library's last report
        csv_close(handle);
        print_error("interrupted");
        status = exit_interrupted;
        return -1;
    }
    return handle;
}

// The query's JSON answer; false with the library's message on failure.
bool query(const cli::invocation &inv, int handle, std::string &answer) {
    const char *json = nullptr;
    const char *a0 = inv.args.size() > 0 ? inv.args[0].c_str() : "";
    const char *a1 = inv.args.size() > 1 ? inv.args[1].c_str() : "";
    switch (inv.cmd) {
    case cli::command::headers: json = csv_headers(handle); break;
    case cli::command::rows: json = csv_rows(handle, inv.offset, inv.limit); break;
    case cli::command::select: json = csv_select(handle, a0); break;
    case cli::command::search: json = csv_search(handle, a0, a1, inv.ignore_case ? 1 : 0); break;
    case cli::command::sort: json = csv_sort(handle, a0, inv.descending ? 1 : 0); break;
    case cli::command::stats: json = csv_stats(handle); break;
    case cli::command::warnings: json = csv_parse_warnings(handle); break;
    case cli::command::count: {
        int rows = csv_row_count(handle), cols = csv_col_count(handle);
        int warnings = csv_parse_warning_count(handle);
        if (rows < 0 || cols < 0 || warnings < 0) break;
        answer = "{\"rows\":" + std::to_string(rows) + ",\"columns\":" + std::to_string(cols) +
                 ",\"warnings\":" + std::to_string(warnings) + "}";
        return true;
    }
    }
    if (json == nullptr) {
        print_error(csv_last_error());
        return false;
    }
    answer = json;
    return true;
}

bool render_table(cli::command cmd, const std::string &answer, size_t max_width,
                  std::string &out) {
    std::string why;
    switch (cmd) {
    case cli::command::rows:
    case cli::command::select:
    case cli::command::search:
    case cli::command::sort:
        if (cli::table_of_rows(answer, max_width, out, why)) return true;
        print_error("cannot read the library's answer: " + why);
        return false;
    default: break;
    }
    cli::json_value doc;
    if (!cli::json_parse(answer, doc, why)) {
        print_error("cannot read the library's answer: " + why);
        return false;
    }
    bool ok = false;
    switch (cmd) {
    case cli::command::headers: ok = cli::table_of_headers(doc, max_width, out); break;
    case cli::command::stats: ok = cli::table_of_stats(doc, max_width, out); break;
    case cli::command::warnings: ok = cli::table_of_warnings(doc, max_width, out); break;
    case cli::command::count: ok = cli::table_of_count(doc, max_width, out); break;
    default: break;
    }
    if (!ok) print_error("unexpected shape of the library's answer");
    return ok;
}

bool write_out(const std::string &text) {
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0) {
        print_error(std::string("cannot write the output: ") + strerror(errno));
        return false;
    }
    return true;
}

int run(const cli::invocation &inv) {
    int status = exit_ok;
    int handle = load(inv, status);
    if (handle < 0) return status;
    std::string answer;
    bool ok = query(inv, handle, answer);
    csv_close(handle);
    if (!ok) return exit_failed;

    std::string text;
    switch (inv.out) {
    case cli::output::json:
        answer += '\n';
        text.swap(answer);
        break;
    case cli::output::pretty: text = cli::json_pretty(answer); break;
    case cli::output::table:
        if (!render_table(inv.cmd, answer, inv.max_width, text)) return exit_failed;
        break;
    }
    return write_out(text) ? exit_ok : exit_failed;
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
        return write_out(inv.has_command ? cli::help_text(inv.cmd) : cli::help_text()) ? exit_ok
                                                                                          : exit_failed;
    case cli::invocation::action::version:
        return write_out("velmora-csv " VELMORA_CSV_VERSION "\n") ? exit_ok : exit_failed;
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
