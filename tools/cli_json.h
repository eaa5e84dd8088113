// JSON helpers of the command-line tool: a reader for the library's answers
// (kept in member order, repeated keys included) and a re-indenter.
#ifndef VELMORA_CLI_JSON_H
#define VELMORA_CLI_JSON_H

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

struct json_member;

struct json_value {
    enum class kind { null, boolean, number, string, array, object };
    kind type = kind::null;
    bool boolean = false;
    // The decoded UTF-8 text of a string, or the source text of a number.
    std::string text;
    std::vector<json_value> items;     // array elements
    std::vector<json_member> members;  // object members in document order

    // The first member named `key`, or null.
    const json_value *find(std::string_view key) const;
};

struct json_member {
    std::string key;
    json_value value;
};

// Parses one JSON text (surrounding white space allowed). On failure returns
// false with a short reason in `error`.
bool json_parse(std::string_view text, json_value &out, std::string &error);

// Parses a JSON array one element at a time, handing each to `visit`
// (which returns false to stop with `error` left empty), so a long answer
// never has to be held as a tree. The element is reused between calls.
bool json_each_item(std::string_view text, const std::function<bool(const json_value &)> &visit,
                    std::string &error);

// The same JSON text indented by two spaces per level, one member or element
// per line, ending with a line feed. The input must be valid JSON.
std::string json_pretty(std::string_view text);

}  // namespace cli

#endif
