// Plain-text tables of the library's answers, for reading in a terminal.
#ifndef VELMORA_CLI_TABLE_H
#define VELMORA_CLI_TABLE_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

namespace cli {

// Terminal columns taken by UTF-8 text: East Asian wide and fullwidth
// characters take two, combining marks none, everything else one.
size_t display_width(std::string_view utf8);

// The text with control characters written as escapes (\n, \t, \r, \xHH,
// \uHHHH), so a cell can neither break a table line nor send terminal
// control sequences; then cut to `max_width` columns with a final "…".
std::string fit_cell(std::string_view utf8, size_t max_width);

// A plain decimal number: the cells that read best aligned to the right.
bool looks_numeric(std::string_view s);

enum class align { left, right };

struct text_table {
    std::vector<std::string> headings;  // none: no heading lines
    std::vector<align> aligns;          // per column; missing = left
    std::vector<std::vector<std::string>> rows;
};

// Column widths and alignments of a table, and its lines made from cells
// that have already been through fit_cell. Columns are separated by two
// spaces; no line ends in spaces.
struct layout {
    std::vector<size_t> widths;
    std::vector<align> aligns;

    void widen(size_t column, std::string_view fitted);
    std::string line(const std::vector<std::string> &fitted) const;
    std::string rule() const;  // dashes under the headings
};

// The whole table, headings underlined with dashes; cells are fitted with
// fit_cell first.
std::string render_table(const text_table &table, size_t max_width);

// "(N rows)" under a table of rows.
std::string count_line(size_t n);

// Tables of the answers other than rows. Each returns false when the JSON
// does not have the shape of that answer.
bool table_of_headers(yyjson_val *answer, size_t max_width, std::string &out);
bool table_of_stats(yyjson_val *answer, size_t max_width, std::string &out);
bool table_of_warnings(yyjson_val *answer, size_t max_width, std::string &out);
// An object of plain values (count, info): one line per member, the values
// aligned to the right when all are numbers.
bool table_of_members(yyjson_val *answer, size_t max_width, std::string &out);

}  // namespace cli

#endif
