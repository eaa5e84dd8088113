#include "cli_args.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace cli {

namespace {

// Options that only some commands take.
enum : unsigned { opt_window = 1, opt_ignore_case = 2, opt_desc = 4 };

struct command_info {
    command cmd;
    const char *name;
    const char *operands;  // after FILE
    size_t n_operands;
    unsigned options;
    const char *summary;  // one line in the tool's help
    const char *about;    // the command's help
};

// How select, search and sort read a column: the tool's #N first, then
// the library's rule (a header name, else a number).
#define COLUMN_NAMES                                                          \
    "A column is #N, the N-th column counted from 1, whatever the headers\n"  \
    "say; otherwise the exact text of a header (the leftmost of equal ones),\n" \
    "and only when no header has that text, a 1-based column number. So with\n" \
    "the headers 2,x the column 2 is the first one, #2 the second.\n"

constexpr command_info commands[] = {
    {command::headers, "headers", "", 0, 0, "the column names",
     "Prints the column names as a JSON array, in column order.\n"},
    {command::rows, "rows", "", 0, opt_window, "the rows (--offset N, --limit N)",
     "Prints the rows as a JSON array of objects, one member per column\n"
     "(header name: cell text; cells are always strings).\n"
     "\n"
     "  --offset N          skip the first N rows (default 0)\n"
     "  --limit N           print at most N rows (default: all)\n"},
    {command::select, "select", " COLS", 1, 0, "every row, only the columns COLS",
     "Prints every row with only the columns listed in COLS, separated by\n"
     "commas, in the order wanted; a column may be listed more than once.\n"
     "Example: select data.csv 'city, #3'\n"
     "\n"
     COLUMN_NAMES},
    {command::search, "search", " COL QUERY", 2, opt_ignore_case,
     "the rows whose cell in COL contains QUERY",
     "Prints the rows whose cell in column COL contains the text QUERY.\n"
     "\n"
     COLUMN_NAMES
     "\n"
     "  -i, --ignore-case   ignore the case of the ASCII letters A-Z\n"},
    {command::sort, "sort", " COL", 1, opt_desc, "every row, ordered by COL",
     "Prints every row ordered by column COL: numerically when every non-empty\n"
     "cell of the column is a number, otherwise by bytes. Empty cells come\n"
     "first; rows with equal keys keep their order.\n"
     "\n"
     COLUMN_NAMES
     "\n"
     "  --desc              descending order (empty cells last)\n"},
    {command::stats, "stats", "", 0, 0, "statistics of every column",
     "Prints the row and column counts and, for every column, the number of\n"
     "non-empty cells (count), of empty cells (nulls) and of distinct texts\n"
     "(unique); for a column whose non-empty cells are all numbers also the\n"
     "minimum, maximum and mean. A column may hold cells such as nan, inf or\n"
     "1e999, which read as numbers without a finite value: a minimum, maximum\n"
     "or mean that is not a finite number is JSON null, and the table shows\n"
     "it empty.\n"},
    {command::warnings, "warnings", "", 0, 0, "what was irregular in the file",
     "Prints what was irregular in the file: ragged records (a field count\n"
     "other than the first record's), blank lines, an unterminated quote and a\n"
     "UTF-16 file cut in half a character, with up to 20 samples. Record\n"
     "numbers count every record from 1, the header included.\n"},
    {command::count, "count", "", 0, 0, "the numbers of rows, columns and warnings",
     "Prints the numbers of rows, columns and warnings as\n"
     "{\"rows\":N,\"columns\":M,\"warnings\":K}.\n"},
    {command::info, "info", "", 0, 0, "how the file was loaded",
     "Prints how the file was loaded: the encoding and whether it was detected\n"
     "or given, the byte order mark, the delimiter and whether it was detected,\n"
     "the compression, the size of the file in bytes (as read: compressed for\n"
     "gzip, the bytes received for a pipe), the numbers of rows, columns and\n"
     "warnings, the number of bytes replaced by U+FFFD while decoding, and the\n"
     "number of bytes read as they are that are not valid UTF-8.\n"},
};


constexpr const char *common_options =
    "Loading:\n"
    "  --no-header         the first line is data; columns are named 1, 2, ...\n"
    "  --delimiter D       auto (default: chosen from the first line), tab, or\n"
    "                      one byte such as , ; |\n"
    "  --encoding E        auto (default: byte order mark, UTF-16 guess, else\n"
    "                      UTF-8), utf-8, utf-16le, utf-16be, or any name iconv\n"
    "                      knows: windows-1252, latin1, shift_jis, gb18030, ...\n"
    "                      Text read as UTF-8 with bytes that are not valid\n"
    "                      UTF-8 is loaded with a warning on standard error.\n"
    "\n"
    "FILE '-' is standard input; a gzip file (or stream) is inflated as it is read.\n"
    "\n"
    "Output (default: the library's JSON answer on one line):\n"
    "  --format F          json, ndjson, csv, tsv or table\n"
    "                      ndjson: one JSON value per line, written as they come\n"
    "                      csv, tsv: UTF-8, a quoted field only where it holds the\n"
    "                      separator, a double quote, CR or LF; a header line\n"
    "                      unless --no-header\n"
    "                      table: the widths come from a full pass over the answer,\n"
    "                      then the rows are written as they come\n"
    "  --pretty            indented JSON\n"
    "  --table             the same as --format table\n"
    "  --max-width N       widest table cell, in characters (default 40, 0: no limit)\n"
    "  -h, --help          this help\n";

constexpr const char *repeated_names =
    "Repeated column names: in rows (every format, JSON too) the second,\n"
    "third, ... column of one name is shown as NAME_2, NAME_3, ... (skipping\n"
    "names already in use), so that each JSON key and header names one column;\n"
    "'headers' lists the names as the file has them.\n";

constexpr const char *exit_status =
    "Exit status: 0 done, 1 failed (the reason on standard error), 2 usage\n"
    "error, 130 interrupted by Ctrl-C (\"interrupted\" on standard error).\n";

const command_info *find_command(std::string_view name) {
    for (const command_info &c : commands)
        if (name == c.name) return &c;
    return nullptr;
}

const command_info &info_of(command cmd) {
    for (const command_info &c : commands)
        if (c.cmd == cmd) return c;
    return commands[0];
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool parse_delimiter(const std::string &v, int &out) {
    std::string l = lower(v);
    if (l == "auto") out = 0;
    else if (l == "tab" || v == "\\t") out = '\t';
    else if (l == "comma") out = ',';
    else if (l == "semicolon") out = ';';
    else if (l == "pipe") out = '|';
    else if (l == "space") out = ' ';
    else if (v.size() == 1) out = static_cast<unsigned char>(v[0]);
    else return false;
    return true;
}

// The names the library's own decoders handle keep their numbers; any other
// name goes to the library's iconv loader, which says when it does not
// know it.
bool parse_encoding(const std::string &v, invocation &inv) {
    std::string l = lower(v);
    inv.encoding_name.clear();
    if (l == "auto") inv.encoding = 0;
    else if (l == "utf-8" || l == "utf8") inv.encoding = 1;
    else if (l == "utf-16le" || l == "utf16le") inv.encoding = 2;
    else if (l == "utf-16be" || l == "utf16be") inv.encoding = 3;
    else if (v.empty() || v.find_first_of(" \t\r\n") != std::string::npos) return false;
    else inv.encoding = 0, inv.encoding_name = v;
    return true;
}

struct format_name {
    const char *name;
    output out;
};

constexpr format_name formats[] = {
    {"json", output::json}, {"ndjson", output::ndjson}, {"csv", output::csv},
    {"tsv", output::tsv},   {"table", output::table},
};

// A count for --offset, --limit and --max-width: decimal digits only,
// up to INT_MAX.
bool parse_count(const std::string &v, int &out) {
    if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    long n = strtol(v.c_str(), nullptr, 10);
    if (errno == ERANGE || n > INT_MAX) return false;
    out = static_cast<int>(n);
    return true;
}

class arg_reader {
public:
    arg_reader(int argc, char **argv, invocation &inv, std::string &error)
        : argc_(argc), argv_(argv), inv_(inv), error_(error) {}

    bool run() {
        if (argc_ < 2) return fail("no command given");
        std::string_view first = argv_[1];
        if (first == "-h" || first == "--help") return action(invocation::action::help);
        if (first == "-V" || first == "--version") return action(invocation::action::version);
        if (first == "help") return help_command();
        const command_info *c = find_command(first);
        if (c == nullptr) {
            if (!first.empty() && first[0] == '-') return fail("unknown option: " + std::string(first));
            return fail("unknown command: " + std::string(first));
        }
        inv_.has_command = true;
        inv_.cmd = c->cmd;
        std::vector<std::string> positional;
        bool options_done = false;
        for (i_ = 2; i_ < argc_; ++i_) {
            std::string a = argv_[i_];
            if (options_done || a.size() < 2 || a[0] != '-') {
                positional.push_back(a);
            } else if (a == "--") {
                options_done = true;
            } else if (!option(*c, a)) {
                return false;
            }
            if (inv_.what == invocation::action::help) return true;
        }
        if (positional.size() != c->n_operands + 1) {
            return fail(positional.empty() ? "no file given"
                        : positional.size() < c->n_operands + 1
                            ? std::string("too few arguments for ") + c->name
                            : std::string("too many arguments for ") + c->name);
        }
        inv_.file = positional[0];
        inv_.args.assign(positional.begin() + 1, positional.end());
        if (inv_.out != output::table && max_width_given_)
            return fail("--max-width needs --table");
        if ((inv_.out == output::csv || inv_.out == output::tsv) && c->cmd == command::warnings)
            return fail("warnings cannot be written as " + output_option_.substr(9) +
                        " (use json, ndjson or table)");
        return true;
    }

private:
    int argc_;
    char **argv_;
    invocation &inv_;
    std::string &error_;
    int i_ = 0;
    bool max_width_given_ = false;

    bool fail(std::string why) {
        error_ = std::move(why);
        return false;
    }

    bool action(invocation::action a) {
        inv_.what = a;
        return true;
    }

    bool help_command() {
        inv_.what = invocation::action::help;
        if (argc_ == 2) return true;
        const command_info *c = find_command(argv_[2]);
        if (c == nullptr) return fail(std::string("unknown command: ") + argv_[2]);
        if (argc_ > 3) return fail("too many arguments for help");
        inv_.has_command = true;
        inv_.cmd = c->cmd;
        return true;
    }

    // The value of an option given as --name=value or --name value.
    bool value_of(const std::string &name, bool has_inline, const std::string &inline_value,
                  std::string &out) {
        if (has_inline) {
            out = inline_value;
            return true;
        }
        if (i_ + 1 >= argc_) return fail("option " + name + " needs a value");
        out = argv_[++i_];
        return true;
    }

    std::string output_option_;  // how the output was first chosen

    bool set_output(output o, const std::string &spelling) {
        if (!output_option_.empty() && inv_.out != o)
            return fail(output_option_ + " and " + spelling + " exclude each other");
        if (output_option_.empty()) output_option_ = spelling;
        inv_.out = o;
        return true;
    }

    bool option(const command_info &c, const std::string &arg) {
        std::string name = arg, inline_value;
        bool has_inline = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            inline_value = arg.substr(eq + 1);
            has_inline = true;
        }
        auto flag = [&](bool &field) {
            if (has_inline) return fail("option " + name + " takes no value");
            field = true;
            return true;
        };
        auto only_for = [&](unsigned bit) {
            if ((c.options & bit) == 0)
                return fail("option " + name + " does not apply to " + c.name);
            return true;
        };
        std::string v;
        bool unused = false;
        if (name == "-h" || name == "--help") {
            if (!flag(unused)) return false;
            return action(invocation::action::help);
        }
        if (name == "--no-header") {
            if (!flag(unused)) return false;
            inv_.has_header = false;
            return true;
        }
        if (name == "--pretty" || name == "--table") {
            if (!flag(unused)) return false;
            return set_output(name == "--pretty" ? output::pretty : output::table, name);
        }
        if (name == "--format") {
            if (!value_of(name, has_inline, inline_value, v)) return false;
            for (const format_name &f : formats)
                if (lower(v) == f.name) return set_output(f.out, "--format " + lower(v));
            return fail("invalid format: '" + v + "' (use json, ndjson, csv, tsv or table)");
        }
        if (name == "-i" || name == "--ignore-case") {
            return only_for(opt_ignore_case) && flag(inv_.ignore_case);
        }
        if (name == "--desc") {
            return only_for(opt_desc) && flag(inv_.descending);
        }
        if (name == "--delimiter") {
            if (!value_of(name, has_inline, inline_value, v)) return false;
            if (!parse_delimiter(v, inv_.delimiter))
                return fail("invalid delimiter: '" + v + "' (use auto, tab, or one byte such as , ; |)");
            return true;
        }
        if (name == "--encoding") {
            if (!value_of(name, has_inline, inline_value, v)) return false;
            if (!parse_encoding(v, inv_))
                return fail("invalid encoding: '" + v + "' (use auto, utf-8, utf-16le, utf-16be or an iconv name)");
            return true;
        }
        if (name == "--offset" || name == "--limit") {
            if (!only_for(opt_window) || !value_of(name, has_inline, inline_value, v)) return false;
            int n = 0;
            if (!parse_count(v, n))
                return fail("option " + name + " needs a whole number from 0 to 2147483647, not '" + v + "'");
            (name == "--offset" ? inv_.offset : inv_.limit) = n;
            return true;
        }
        if (name == "--max-width") {
            if (!value_of(name, has_inline, inline_value, v)) return false;
            int n = 0;
            if (!parse_count(v, n))
                return fail("option --max-width needs a whole number from 0 to 2147483647, not '" + v + "'");
            inv_.max_width = static_cast<size_t>(n);
            max_width_given_ = true;
            return true;
        }
        return fail("unknown option: " + name);
    }
};

}  // namespace

bool parse_args(int argc, char **argv, invocation &inv, std::string &error) {
    inv = invocation{};
    error.clear();
    return arg_reader(argc, argv, inv, error).run();
}

std::string usage_text() {
    return "usage: velmora-csv COMMAND [OPTIONS] FILE [ARGUMENTS]\n"
           "       velmora-csv --help | --version\n"
           "Try 'velmora-csv --help' for more.\n";
}

std::string usage_text(command cmd) {
    const command_info &c = info_of(cmd);
    return std::string("usage: velmora-csv ") + c.name + " [OPTIONS] FILE" + c.operands + "\n" +
           "Try 'velmora-csv " + c.name + " --help' for more.\n";
}

std::string help_text() {
    std::string out =
        "usage: velmora-csv COMMAND [OPTIONS] FILE [ARGUMENTS]\n"
        "\n"
        "Loads a delimited text file (comma, tab, semicolon, pipe ...; UTF-8,\n"
        "UTF-16 or any encoding named by --encoding; gzip or not) and prints the\n"
        "answer to one query: JSON by default, or CSV, TSV or a table.\n"
        "\n"
        "Commands:\n";
    for (const command_info &c : commands) {
        std::string left = std::string("  ") + c.name + " FILE" + c.operands;
        left.resize(std::max<size_t>(left.size() + 2, 26), ' ');
        out += left + c.summary + "\n";
    }
    out += "\n";
    out += common_options;
    out += "  -V, --version       the version\n"
           "\n"
           "A column of select, search and sort is #N (the N-th column, counted\n"
           "from 1), else the exact text of a header, else a 1-based number.\n"
           "Options may come before or after the operands; '--' ends the options.\n"
           "'velmora-csv COMMAND --help' describes one command.\n"
           "\n";
    out += repeated_names;
    out += "\n";
    out += exit_status;
    return out;
}

std::string help_text(command cmd) {
    const command_info &c = info_of(cmd);
    bool rows = cmd == command::rows || cmd == command::select || cmd == command::search ||
                cmd == command::sort;
    return std::string("usage: velmora-csv ") + c.name + " [OPTIONS] FILE" + c.operands + "\n\n" +
           c.about + "\n" + common_options + "\n" + (rows ? std::string(repeated_names) + "\n" : "") +
           exit_status;
}

}  // namespace cli
