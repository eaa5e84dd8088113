#include "cli_columns.h"

#include <cerrno>
#include <cstdlib>
#include <unordered_map>
#include <unordered_set>

namespace cli {

namespace {

// The longest column name the library's list parser takes.
constexpr size_t max_name = 255;

// #N with N written in decimal digits only.
bool position_of(std::string_view item, size_t &n) {
    if (item.size() < 2 || item[0] != '#') return false;
    n = 0;
    for (size_t i = 1; i < item.size(); ++i) {
        char c = item[i];
        if (c < '0' || c > '9') return false;
        // Past any possible column count: keep it out of range, no overflow.
        if (n < (size_t{1} << 40)) n = n * 10 + static_cast<size_t>(c - '0');
    }
    return true;
}

std::vector<std::string_view> split_list(std::string_view list) {
    std::vector<std::string_view> items;
    size_t i = 0;
    while (i <= list.size()) {
        size_t end = list.find(',', i);
        if (end == std::string_view::npos) end = list.size();
        std::string_view item = list.substr(i, end - i);
        size_t first = item.find_first_not_of(" \t");
        if (first != std::string_view::npos) {
            size_t last = item.find_last_not_of(" \t");
            items.push_back(item.substr(first, last - first + 1));
        }
        i = end + 1;
    }
    return items;
}

// The leftmost column of every header text.
std::unordered_map<std::string_view, size_t> first_columns(const std::vector<std::string> &headers) {
    std::unordered_map<std::string_view, size_t> first;
    first.reserve(headers.size());
    for (size_t i = 0; i < headers.size(); ++i) first.emplace(headers[i], i);
    return first;
}

// The number n with as many leading zeros as it takes for no other column's
// header to have that text (the library allows leading zeros).
bool token_for(std::string_view position, size_t n, const std::vector<std::string> &headers,
               const std::unordered_map<std::string_view, size_t> &first, std::string &out,
               std::string &error) {
    if (n == 0 || n > headers.size()) {
        error = "unknown column: " + std::string(position);
        return false;
    }
    std::string token = std::to_string(n);
    for (;;) {
        auto it = first.find(token);
        if (it == first.end() || it->second == n - 1) break;
        token.insert(0, 1, '0');
    }
    if (token.size() > max_name) {
        error = "cannot name column " + std::string(position) + " unambiguously";
        return false;
    }
    out = std::move(token);
    return true;
}

// The library's reading of a column number: optional leading white space,
// digits only, 1 .. columns; a leading sign is refused.
size_t number_of(const std::string &name, size_t columns) {
    if (name.empty() || name[0] == '+' || name[0] == '-') return 0;
    const char *s = name.c_str();
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(s, &end, 10);
    if (errno != 0 || end == s || *end != '\0' || v < 1 || static_cast<unsigned long long>(v) > columns)
        return 0;
    return static_cast<size_t>(v);
}

}  // namespace

bool has_position(std::string_view text) {
    size_t n = 0;
    for (std::string_view item : split_list(text))
        if (position_of(item, n)) return true;
    return position_of(text, n);
}

bool rewrite_column(const std::string &col, const std::vector<std::string> &headers,
                    std::string &out, std::string &error) {
    size_t n = 0;
    if (!position_of(col, n)) {
        out = col;
        return true;
    }
    return token_for(col, n, headers, first_columns(headers), out, error);
}

bool rewrite_list(const std::string &list, const std::vector<std::string> &headers,
                  std::string &out, std::string &error) {
    auto first = first_columns(headers);
    out.clear();
    for (std::string_view item : split_list(list)) {
        size_t n = 0;
        std::string token(item);
        if (position_of(item, n) && !token_for(item, n, headers, first, token, error)) return false;
        if (!out.empty()) out += ',';
        out += token;
    }
    return true;
}

std::vector<std::string> list_names(const std::string &list, const std::vector<std::string> &headers) {
    auto first = first_columns(headers);
    std::vector<std::string> names;
    for (std::string_view item : split_list(list)) {
        auto it = first.find(item);
        size_t n = it != first.end() ? it->second + 1 : number_of(std::string(item), headers.size());
        if (n > 0) names.push_back(headers[n - 1]);
    }
    return names;
}

std::vector<std::string> unique_names(const std::vector<std::string> &names) {
    std::unordered_set<std::string> taken(names.begin(), names.end());
    std::unordered_set<std::string> seen;
    // The next suffix to try per repeated name: it only grows, and a probe
    // fails only on a taken name of the form name_K, so the work is linear.
    std::unordered_map<std::string, size_t> next;
    std::vector<std::string> out;
    out.reserve(names.size());
    for (const std::string &name : names) {
        if (seen.insert(name).second) {
            out.push_back(name);
            continue;
        }
        size_t &k = next.try_emplace(name, 2).first->second;
        std::string candidate;
        do {
            candidate = name + "_" + std::to_string(k++);
        } while (taken.count(candidate) != 0);
        taken.insert(candidate);
        out.push_back(std::move(candidate));
    }
    return out;
}

}  // namespace cli
