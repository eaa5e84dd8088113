#include "cli_table.h"

#include "cli_doc.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace cli {

namespace {

struct range {
    uint32_t first, last;
};

// Characters a terminal draws two columns wide (East Asian Wide and
// Fullwidth, and the emoji blocks that terminals draw wide).
constexpr range wide_ranges[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
    {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// Characters drawn on top of the previous one or not at all: combining
// marks, zero-width spaces and joiners, variation selectors.
constexpr range zero_ranges[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05BF},
    {0x05C1, 0x05C2}, {0x05C4, 0x05C5}, {0x05C7, 0x05C7}, {0x0610, 0x061A},
    {0x064B, 0x065F}, {0x0670, 0x0670}, {0x06D6, 0x06DC}, {0x06DF, 0x06E4},
    {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0900, 0x0902}, {0x093A, 0x093A},
    {0x093C, 0x093C}, {0x0941, 0x0948}, {0x094D, 0x094D}, {0x0951, 0x0957},
    {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF}, {0x200B, 0x200F}, {0x2060, 0x2064}, {0x20D0, 0x20FF},
    {0x302A, 0x302D}, {0x3099, 0x309A}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
    {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF},
};

template <size_t N>
bool in_ranges(const range (&table)[N], uint32_t cp) {
    const range *end = table + N;
    const range *r = std::lower_bound(table, end, cp,
                                      [](const range &x, uint32_t v) { return x.last < v; });
    return r != end && cp >= r->first;
}

int char_width(uint32_t cp) {
    if (in_ranges(zero_ranges, cp)) return 0;
    if (in_ranges(wide_ranges, cp)) return 2;
    return 1;
}

// Decodes one UTF-8 sequence at s[i]; returns its length, or 0 for a byte
// that does not start a well-formed sequence.
size_t decode_utf8(std::string_view s, size_t i, uint32_t &cp) {
    unsigned char b0 = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t min;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        n = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        n = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        n = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        unsigned char b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

// One unit of displayed text: the bytes to print and the columns they take.
// An escape is one unit, so cutting a cell never splits it.
struct glyph {
    std::string_view bytes;
    char escape[8];
    int width;
};

// Splits text into glyphs, escaping what a terminal must not receive raw.
std::vector<glyph> glyphs_of(std::string_view s) {
    std::vector<glyph> out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        size_t n = decode_utf8(s, i, cp);
        glyph g{};
        if (n == 0) {
            snprintf(g.escape, sizeof g.escape, "\\x%02X", static_cast<unsigned char>(s[i]));
            n = 1;
        } else if (cp == '\n') {
            snprintf(g.escape, sizeof g.escape, "\\n");
        } else if (cp == '\t') {
            snprintf(g.escape, sizeof g.escape, "\\t");
        } else if (cp == '\r') {
            snprintf(g.escape, sizeof g.escape, "\\r");
        } else if (cp < 0x20 || cp == 0x7F) {
            snprintf(g.escape, sizeof g.escape, "\\x%02X", static_cast<unsigned>(cp));
        } else if (cp >= 0x80 && cp <= 0x9F) {
            snprintf(g.escape, sizeof g.escape, "\\u%04X", static_cast<unsigned>(cp));
        } else {
            g.bytes = s.substr(i, n);
            g.width = char_width(cp);
        }
        if (g.bytes.empty()) {
            g.width = static_cast<int>(std::char_traits<char>::length(g.escape));
        }
        out.push_back(g);
        i += n;
    }
    return out;
}

void append_glyph(std::string &out, const glyph &g) {
    if (g.bytes.empty()) out += g.escape;
    else out.append(g.bytes);
}

std::string pad(std::string_view text, size_t width, align a) {
    size_t w = display_width(text);
    std::string fill(width > w ? width - w : 0, ' ');
    return a == align::right ? fill + std::string(text) : std::string(text) + fill;
}

// A statistic for reading: whole numbers without ".0", others with up to
// four decimals; very large or very small magnitudes in exponent form.
std::string format_real(const std::string &json_number) {
    double v = strtod(json_number.c_str(), nullptr);
    if (!std::isfinite(v)) return json_number;
    char buf[64];
    double mag = std::fabs(v);
    if (mag >= 1e15 || (mag != 0 && mag < 1e-4)) {
        snprintf(buf, sizeof buf, "%.6g", v);
        return buf;
    }
    snprintf(buf, sizeof buf, "%.4f", v);
    std::string s = buf;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    if (s == "-0") s = "0";
    return s;
}

std::vector<std::string> fitted_cells(const std::vector<std::string> &cells, size_t max_width) {
    std::vector<std::string> out;
    out.reserve(cells.size());
    for (const std::string &c : cells) out.push_back(fit_cell(c, max_width));
    return out;
}

}  // namespace

bool looks_numeric(std::string_view s) {
    size_t i = 0;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
    size_t int_digits = 0, frac_digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++int_digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++frac_digits;
    }
    if (int_digits + frac_digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
        size_t exp_digits = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == s.size();
}

std::string count_line(size_t n) {
    std::string out = "(";
    out += std::to_string(n);
    out += n == 1 ? " row)\n" : " rows)\n";
    return out;
}

void layout::widen(size_t column, std::string_view fitted) {
    if (column >= widths.size()) widths.resize(column + 1, 0);
    widths[column] = std::max(widths[column], display_width(fitted));
}

// Headings follow their column's alignment, so a right-aligned name sits
// over its numbers.
std::string layout::line(const std::vector<std::string> &fitted) const {
    std::string out;
    for (size_t c = 0; c < widths.size(); ++c) {
        if (c > 0) out += "  ";
        align a = c < aligns.size() ? aligns[c] : align::left;
        out += pad(c < fitted.size() ? fitted[c] : std::string(), widths[c], a);
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    out += '\n';
    return out;
}

std::string layout::rule() const {
    std::string out;
    for (size_t c = 0; c < widths.size(); ++c) {
        if (c > 0) out += "  ";
        out.append(widths[c], '-');
    }
    out += '\n';
    return out;
}

size_t display_width(std::string_view utf8) {
    size_t w = 0;
    for (size_t i = 0; i < utf8.size();) {
        uint32_t cp = 0;
        size_t n = decode_utf8(utf8, i, cp);
        if (n == 0) {
            ++w;
            ++i;
            continue;
        }
        w += static_cast<size_t>(char_width(cp));
        i += n;
    }
    return w;
}

std::string fit_cell(std::string_view utf8, size_t max_width) {
    // Most cells are short printable ASCII and pass unchanged.
    bool plain = max_width == 0 || utf8.size() <= max_width;
    for (size_t i = 0; plain && i < utf8.size(); ++i)
        plain = utf8[i] >= 0x20 && utf8[i] < 0x7F;
    if (plain) return std::string(utf8);

    std::vector<glyph> gs = glyphs_of(utf8);
    size_t total = 0;
    for (const glyph &g : gs) total += static_cast<size_t>(g.width);
    std::string out;
    if (max_width == 0 || total <= max_width) {
        for (const glyph &g : gs) append_glyph(out, g);
        return out;
    }
    // Keep what fits beside the ellipsis, with the marks that ride on the
    // last kept character.
    size_t room = max_width - 1, used = 0;
    for (const glyph &g : gs) {
        if (used + static_cast<size_t>(g.width) > room) break;
        used += static_cast<size_t>(g.width);
        append_glyph(out, g);
    }
    out += "\xE2\x80\xA6";  // U+2026 HORIZONTAL ELLIPSIS
    return out;
}

std::string render_table(const text_table &table, size_t max_width) {
    layout lay;
    lay.aligns = table.aligns;
    std::vector<std::string> heads = fitted_cells(table.headings, max_width);
    std::vector<std::vector<std::string>> rows;
    rows.reserve(table.rows.size());
    for (size_t c = 0; c < heads.size(); ++c) lay.widen(c, heads[c]);
    for (const auto &row : table.rows) {
        rows.push_back(fitted_cells(row, max_width));
        for (size_t c = 0; c < rows.back().size(); ++c) lay.widen(c, rows.back()[c]);
    }
    std::string out;
    if (!heads.empty()) out += lay.line(heads) + lay.rule();
    for (const auto &row : rows) out += lay.line(row);
    return out;
}

bool table_of_headers(yyjson_val *answer, size_t max_width, std::string &out) {
    if (!yyjson_is_arr(answer)) return false;
    text_table t;
    t.headings = {"#", "column"};
    t.aligns = {align::right, align::left};
    size_t i = 0, n = 0;
    yyjson_val *name;
    yyjson_arr_foreach(answer, i, n, name) t.rows.push_back({std::to_string(i + 1), json_text(name)});
    out = render_table(t, max_width);
    return true;
}

bool table_of_stats(yyjson_val *answer, size_t max_width, std::string &out) {
    yyjson_val *rows = json_member(answer, "row_count");
    yyjson_val *cols = json_member(answer, "col_count");
    yyjson_val *columns = json_member(answer, "columns");
    if (rows == nullptr || cols == nullptr || !yyjson_is_arr(columns)) return false;
    text_table t;
    t.headings = {"column", "count", "nulls", "unique", "numeric", "min", "max", "mean"};
    t.aligns = {align::left,  align::right, align::right, align::right,
                align::left,  align::right, align::right, align::right};
    size_t i = 0, n = 0;
    yyjson_val *c;
    yyjson_arr_foreach(columns, i, n, c) {
        std::vector<std::string> row = {json_text(json_member(c, "name")), json_text(json_member(c, "count")),
                                        json_text(json_member(c, "nulls")), json_text(json_member(c, "unique")),
                                        json_text(json_member(c, "numeric"))};
        // A minimum, maximum or mean that is not a finite number (a column
        // holding nan or inf) comes as null and is shown empty.
        for (const char *key : {"min", "max", "mean"}) {
            yyjson_val *v = json_member(c, key);
            row.push_back(yyjson_is_raw(v) ? format_real(json_text(v)) : "");
        }
        t.rows.push_back(std::move(row));
    }
    std::string r = json_text(rows), k = json_text(cols);
    out = r + (r == "1" ? " row, " : " rows, ") + k + (k == "1" ? " column\n\n" : " columns\n\n") +
          render_table(t, max_width);
    return true;
}

bool table_of_warnings(yyjson_val *answer, size_t max_width, std::string &out) {
    yyjson_val *samples = json_member(answer, "samples");
    if (!yyjson_is_obj(answer) || !yyjson_is_arr(samples)) return false;
    std::string quote = json_text(json_member(answer, "unterminated_quote"));
    if (yyjson_val *row = json_member(answer, "unterminated_row")) quote += " (record " + json_text(row) + ")";
    text_table summary;
    summary.aligns = {align::left, align::left};
    summary.rows = {
        {"warnings", json_text(json_member(answer, "count"))},
        {"ragged records", json_text(json_member(answer, "ragged"))},
        {"blank lines", json_text(json_member(answer, "blank"))},
        {"unterminated quote", quote},
        {"truncated UTF-16", json_text(json_member(answer, "truncated_utf16"))},
        {"expected columns", json_text(json_member(answer, "expected_cols"))},
    };
    out = render_table(summary, max_width);
    if (yyjson_arr_size(samples) == 0) return true;

    text_table t;
    t.headings = {"kind", "record", "expected", "actual"};
    t.aligns = {align::left, align::right, align::right, align::right};
    size_t i = 0, n = 0;
    yyjson_val *w;
    yyjson_arr_foreach(samples, i, n, w)
        t.rows.push_back({json_text(json_member(w, "kind")), json_text(json_member(w, "row")),
                          json_text(json_member(w, "expected")), json_text(json_member(w, "actual"))});
    out += "\n" + render_table(t, max_width);
    return true;
}

bool table_of_members(yyjson_val *answer, size_t max_width, std::string &out) {
    if (!yyjson_is_obj(answer)) return false;
    text_table t;
    bool numbers = true;
    size_t i = 0, n = 0;
    yyjson_val *key, *value;
    yyjson_obj_foreach(answer, i, n, key, value) {
        t.rows.push_back({json_text(key), json_text(value)});
        numbers = numbers && yyjson_is_raw(value);
    }
    // Counts line up on the right; a mix of words and numbers reads better
    // on the left.
    t.aligns = {align::left, numbers ? align::right : align::left};
    out = render_table(t, max_width);
    return true;
}

}  // namespace cli
