// Column references of the tool: #N is the N-th column whatever the
// headers say. The library reads a column as a header name first and as a
// number only when no header has that text, so #N is handed to it as a
// number that no header spells.
#ifndef VELMORA_CLI_COLUMNS_H
#define VELMORA_CLI_COLUMNS_H

#include <string>
#include <string_view>
#include <vector>

namespace cli {

// True when the text holds a #N reference: as the whole column of search
// and sort, or as an item of a select list.
bool has_position(std::string_view text);

// The column of search or sort with #N replaced by what the library
// resolves to column N. False with the message when N is not a column.
bool rewrite_column(const std::string &col, const std::vector<std::string> &headers,
                    std::string &out, std::string &error);

// The same for every item of a comma-separated select list. Items are cut
// and trimmed as the library does (spaces and tabs; empty items dropped).
bool rewrite_list(const std::string &list, const std::vector<std::string> &headers,
                  std::string &out, std::string &error);

// The header names a select list picks, as the library resolves them:
// for an answer without rows, which carries no names. Items that name no
// column are left out (the library has refused such a list already).
std::vector<std::string> list_names(const std::string &list, const std::vector<std::string> &headers);

// The names a rows output shows: a name's second, third, ... column is
// named name_2, name_3, ..., skipping any name already in `names` or given
// before, so that every column has a key of its own (JSON keeps one member
// per key).
std::vector<std::string> unique_names(const std::vector<std::string> &names);

}  // namespace cli

#endif
