// Command line of the velmora-csv tool: the commands, their options and
// their help texts.
#ifndef VELMORA_CLI_ARGS_H
#define VELMORA_CLI_ARGS_H

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

enum class command { headers, rows, select, search, sort, stats, warnings, count, info };

// What the answer is printed as: the library's JSON text, indented JSON,
// one JSON value per line, comma- or tab-separated text, or an aligned table.
enum class output { json, pretty, ndjson, csv, tsv, table };

struct invocation {
    enum class action { run, help, version } what = action::run;
    bool has_command = false;
    cli::command cmd = command::headers;
    std::string file;
    std::vector<std::string> args;  // the command's arguments after FILE

    bool has_header = true;
    int delimiter = 0;  // 0 detect, else the byte
    int encoding = 0;   // 0 detect, 1 UTF-8, 2 UTF-16 LE, 3 UTF-16 BE
    std::string encoding_name;  // when not empty: any iconv name, read through it
    int offset = 0;
    int limit = -1;  // -1: to the end
    bool ignore_case = false;
    bool descending = false;
    cli::output out = output::json;
    size_t max_width = 40;
};

// Reads argv. On a usage error returns false with the problem in `error`;
// `inv.has_command` then tells whether the command was known, for the
// usage text to print.
bool parse_args(int argc, char **argv, invocation &inv, std::string &error);

// The whole tool's help, or one command's.
std::string help_text();
std::string help_text(command cmd);

// The short usage printed after a usage error.
std::string usage_text();
std::string usage_text(command cmd);

}  // namespace cli

#endif
