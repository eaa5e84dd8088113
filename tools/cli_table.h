// Plain-text tables of the library's answers, for reading in a terminal.
#ifndef VELMORA_CLI_TABLE_H
#define VELMORA_CLI_TABLE_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "cli_json.h"

namespace cli {

// Terminal columns taken by UTF-8 text: East Asian wide and fullwidth
// characters take two, combining marks none, everything else one.
size_t display_width(std::string_view utf8);

// The text with control characters written as escapes (\n, \t, \r, \xHH,
// \uHHHH), so a cell can neither break a table line nor send terminal
// control sequences; then cut to `max_width` columns with a final "…".
std::string fit_cell(std::string_view utf8, size_t max_width);

enum class align { left, right };

struct text_table {
    std::vector<std::string> headings;  // none: no heading lines
    std::vector<align> aligns;          // per column; missing = left
    std::vector<std::vector<std::string>> rows;
};

// Columns separated by two spaces, headings underlined with dashes; cells
// are fitted with fit_cell first. No trailing spaces.
std::string render_table(const text_table &table, size_t max_width);

// The table of a rows answer (rows, select, search, sort), read straight
// from its JSON text; false with the reason when the text is not one.
bool table_of_rows(std::string_view answer, size_t max_width, std::string &out, std::string &error);

// Tables of the other answers. Each returns false when the JSON does not
// have the shape of that answer.
bool table_of_headers(const json_value &answer, size_t max_width, std::string &out);
bool table_of_stats(const json_value &answer, size_t max_width, std::string &out);
bool table_of_warnings(const json_value &answer, size_t max_width, std::string &out);
bool table_of_count(const json_value &answer, size_t max_width, std::string &out);

}  // namespace cli

#endif
