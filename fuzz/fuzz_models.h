// Reference models of the library's documented behaviour, used by the
// property checks in fuzz_props.h: the reader's dialect, source decoding,
// UTF-16 decoding, UTF-8 repair, delimiter choice, the CSV writer, the
// numeric test, column names and lists, search, sort order and statistics.
// They are slow and plain on purpose and share no code with the library.
#pragma once

#include <errno.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "csv_internal.h"

namespace vfuzz {

using Bytes = std::string;

// Printable form of some bytes for failure messages.
inline std::string show(const Bytes &s, size_t max = 160) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size() && i < max; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    if (s.size() > max) out += "...";
    return out + "\"";
}

inline Bytes cut_nul(const Bytes &s) {
    size_t p = s.find('\0');
    return p == Bytes::npos ? s : s.substr(0, p);
}

/* ---- UTF-8 ----------------------------------------------------------------
 * Well-formedness by decoding the code point and checking its range; the
 * library uses a byte-range table, so the two formulations check each other. */

inline size_t utf8_seq(const Bytes &s, size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return 1;
    size_t k;
    uint32_t cp, min;
    if ((c & 0xE0) == 0xC0) {
        k = 1, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        k = 2, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        k = 3, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() - i - 1 < k) return 0;
    for (size_t j = 1; j <= k; ++j) {
        unsigned char b = static_cast<unsigned char>(s[i + j]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return k + 1;
}

inline bool is_utf8(const Bytes &s) {
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_seq(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// Well-formed sequences copied, every other byte read as ISO-8859-1.
inline Bytes utf8_repair_model(const Bytes &s) {
    Bytes out;
    for (size_t i = 0; i < s.size();) {
        size_t n = utf8_seq(s, i);
        if (n > 0) {
            out.append(s, i, n);
            i += n;
        } else {
            unsigned char b = static_cast<unsigned char>(s[i++]);
            out.push_back(static_cast<char>(0xC0 | (b >> 6)));
            out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return out;
}

// What a JSON document shows for a stored text: repaired, cut at its first NUL.
inline Bytes shown(const Bytes &s) { return cut_nul(utf8_repair_model(s)); }

/* ---- UTF-16 --------------------------------------------------------------- */

inline void put_utf8(Bytes &o, uint32_t x) {
    if (x < 0x80) {
        o.push_back(static_cast<char>(x));
    } else if (x < 0x800) {
        o.push_back(static_cast<char>(0xC0 | (x >> 6)));
        o.push_back(static_cast<char>(0x80 | (x & 0x3F)));
    } else if (x < 0x10000) {
        o.push_back(static_cast<char>(0xE0 | (x >> 12)));
        o.push_back(static_cast<char>(0x80 | ((x >> 6) & 0x3F)));
        o.push_back(static_cast<char>(0x80 | (x & 0x3F)));
    } else {
        o.push_back(static_cast<char>(0xF0 | (x >> 18)));
        o.push_back(static_cast<char>(0x80 | ((x >> 12) & 0x3F)));
        o.push_back(static_cast<char>(0x80 | ((x >> 6) & 0x3F)));
        o.push_back(static_cast<char>(0x80 | (x & 0x3F)));
    }
}

inline Bytes utf16_model(const Bytes &d, bool be, uint64_t skip, int *odd) {
    const size_t len = d.size();
    const size_t s = skip < len ? static_cast<size_t>(skip) : len;
    *odd = static_cast<int>((len - s) % 2);
    auto unit = [&](size_t p) -> uint32_t {
        uint32_t a = static_cast<unsigned char>(d[p]), b = static_cast<unsigned char>(d[p + 1]);
        return be ? (a << 8 | b) : (b << 8 | a);
    };
    Bytes out;
    size_t p = s;
    while (p + 1 < len) {
        uint32_t u = unit(p);
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (p + 3 < len) {
                uint32_t v = unit(p + 2);
                if (v >= 0xDC00 && v <= 0xDFFF) {
                    put_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
                    p += 4;
                    continue;
                }
            }
            put_utf8(out, 0xFFFD);
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            put_utf8(out, 0xFFFD);
        } else if (u != 0) {
            put_utf8(out, u);
        }
        p += 2;
    }
    return out;
}

// The text a load hands to the parser for a file and an encoding value.
struct Source {
    Bytes text;
    int truncated = 0;
};

inline Source source_model(const Bytes &raw, int enc) {
    const size_t n = raw.size();
    auto at = [&](size_t i) { return static_cast<unsigned char>(raw[i]); };
    int order = -1;  // -1 unchanged, 0 little-endian, 1 big-endian
    uint64_t skip = 0;
    if (enc == 2 || enc == 3) {
        order = enc == 3;
        if (n >= 2 && at(0) == (order ? 0xFE : 0xFF) && at(1) == (order ? 0xFF : 0xFE)) skip = 2;
    } else if (enc == 0 && n >= 2) {
        if (at(0) == 0xFF && at(1) == 0xFE) {
            order = 0, skip = 2;
        } else if (at(0) == 0xFE && at(1) == 0xFF) {
            order = 1, skip = 2;
        } else if (!(n >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF)) {
            size_t lim = std::min<size_t>(n, 4096);
            uint64_t a = 0, b = 0;
            for (size_t i = 0; i + 1 < lim; i += 2) {
                if (at(i) != 0 && at(i + 1) == 0) ++a;
                if (at(i) == 0 && at(i + 1) != 0) ++b;
            }
            if (a > 8 && a > b) order = 0;
            else if (b > 8 && b > a) order = 1;
        }
    }
    Source src;
    if (order < 0) {
        src.text = raw;
    } else {
        src.text = utf16_model(raw, order == 1, skip, &src.truncated);
    }
    return src;
}

/* ---- delimiter detection -------------------------------------------------- */

inline int detect_model(const Bytes &s, size_t start) {
    uint64_t cnt[4] = {0, 0, 0, 0};  // comma, tab, semicolon, pipe
    bool quoted = false;
    for (size_t i = start; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (!quoted) {
            if (c == '\n' || c == '\r') break;
            if (c == ',') ++cnt[0];
            if (c == '\t') ++cnt[1];
            if (c == ';') ++cnt[2];
            if (c == '|') ++cnt[3];
        }
    }
    // Highest count wins; ties go to the earlier candidate; none at all: comma.
    static const int cand[4] = {',', '\t', ';', '|'};
    int best = 0;
    for (int k = 1; k < 4; ++k)
        if (cnt[k] > cnt[best]) best = k;
    return cand[best];
}

inline bool starts_with_bom(const Bytes &s) { return s.size() >= 3 && s.compare(0, 3, "\xEF\xBB\xBF") == 0; }

/* ---- record parser -------------------------------------------------------- */

struct Sample {
    int kind;
    int64_t row;
    int expected, actual;
    bool operator==(const Sample &o) const {
        return kind == o.kind && row == o.row && expected == o.expected && actual == o.actual;
    }
};

struct Model {
    std::vector<Bytes> headers;
    std::vector<std::vector<Bytes>> rows;
    int64_t ragged = 0, blank = 0;
    int unterminated = 0;
    int64_t unterminated_row = 0;
    int truncated = 0;
    int expected_cols = 0;
    std::vector<Sample> samples;

    void sample(int kind, int64_t row, int expected, int actual) {
        if (samples.size() < CSV_MAX_SAMPLES) samples.push_back({kind, row, expected, actual});
    }
    void widen(size_t n) {
        while (headers.size() < n) headers.push_back(std::to_string(headers.size() + 1));
        for (auto &r : rows) r.resize(n);
    }
    void push_row(const std::vector<Bytes> &f) {
        if (f.size() > headers.size()) widen(f.size());
        if (headers.empty()) return;
        rows.push_back(f);
        rows.back().resize(headers.size());
    }
    void note_truncated() {
        truncated = 1;
        sample(CSV_WARN_TRUNCATED_UTF16, static_cast<int64_t>(rows.size()) + 1, expected_cols, 0);
    }
};

// The dialect exactly as documented, one byte at a time.
inline Model parse_model(const Bytes &in, bool has_header, unsigned delimiter) {
    const char d = static_cast<char>((delimiter >= 1 && delimiter <= 255) ? delimiter : ',');
    Model m;
    const size_t len = in.size();
    size_t pos = starts_with_bom(in) ? 3 : 0;
    int64_t counter = 0;
    bool first = true;
    while (pos < len) {
        std::vector<Bytes> fields;
        bool unterminated = false, at_end = false;
        for (;;) {
            Bytes text;
            if (pos < len && in[pos] == '"') {
                ++pos;
                for (;;) {
                    size_t q = in.find('"', pos);
                    if (q == Bytes::npos) {
                        text.append(in, pos, len - pos);
                        pos = len;
                        if (!m.unterminated) {
                            m.unterminated = 1;
                            m.unterminated_row = counter + 1;
                            m.sample(CSV_WARN_UNTERMINATED_QUOTE, counter + 1, m.expected_cols, 0);
                        }
                        unterminated = true;
                        break;
                    }
                    text.append(in, pos, q - pos);
                    if (q + 1 < len && in[q + 1] == '"') {
                        text.push_back('"');
                        pos = q + 2;
                        continue;
                    }
                    // Bytes after the closing quote, up to what ends the
                    // field, belong to it as they stand, quotes included.
                    pos = q + 1;
                    size_t e = pos;
                    while (e < len && in[e] != d && in[e] != '\n' && in[e] != '\r') ++e;
                    text.append(in, pos, e - pos);
                    pos = e;
                    break;
                }
            } else {
                size_t e = pos;
                while (e < len && in[e] != d && in[e] != '\n' && in[e] != '\r') ++e;
                text.assign(in, pos, e - pos);
                pos = e;
            }
            fields.push_back(text);
            if (pos == len) {
                at_end = true;
                break;
            }
            char c = in[pos];
            if (c == d) {
                ++pos;
                continue;
            }
            if (c == '\r') {
                ++pos;
                if (pos < len && in[pos] == '\n') ++pos;
            } else {
                ++pos;  // LF
            }
            break;
        }
        const int nf = static_cast<int>(fields.size());
        const bool blank = nf == 1 && fields[0].empty() && !at_end && pos < len;
        if (blank) {
            m.blank += 1;
            m.sample(CSV_WARN_BLANK, counter + 1, m.expected_cols, 1);
        }
        if (first) {
            if (static_cast<size_t>(nf) > m.headers.size()) m.widen(nf);
            m.expected_cols = nf;
            if (has_header) {
                for (int k = 0; k < nf; ++k) m.headers[k] = fields[k];
            } else {
                m.push_row(fields);
            }
        } else if (blank) {
            m.push_row(fields);
        } else {
            if (!unterminated && nf != m.expected_cols) {
                m.ragged += 1;
                m.sample(CSV_WARN_RAGGED, counter + 1, m.expected_cols, nf);
            }
            m.push_row(fields);
        }
        if (at_end) break;
        counter += 1;
        first = false;
    }
    return m;
}

/* ---- tables --------------------------------------------------------------- */

inline Bytes text_of(const csv_table &t, const csv_cell &c) {
    return c.length == 0 ? Bytes() : Bytes(t.blob + c.offset, c.length);
}
inline Bytes header_of(const csv_table &t, int32_t col) { return text_of(t, t.headers[col]); }
inline Bytes cell_of(const csv_table &t, int64_t row, int32_t col) {
    return text_of(t, *csv_cell_at(&t, row, col));
}

/* ---- CSV writer ----------------------------------------------------------- */

inline Bytes write_field_model(const Bytes &s) {
    if (s.find_first_of(Bytes("\n\r\",", 4)) == Bytes::npos) return s;
    Bytes out = "\"";
    for (char c : s) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    return out + "\"";
}

inline Bytes writer_model(const csv_table &t, bool header_line) {
    Bytes out;
    auto line = [&](auto &&text_at) {
        for (int32_t c = 0; c < t.n_cols; ++c) {
            if (c > 0) out.push_back(',');
            out += write_field_model(text_at(c));
        }
        out.push_back('\n');
    };
    if (header_line && t.n_cols > 0) line([&](int32_t c) { return header_of(t, c); });
    for (int64_t r = 0; r < t.n_rows; ++r) line([&](int32_t c) { return cell_of(t, r, c); });
    return out;
}

/* ---- numbers -------------------------------------------------------------- */

inline bool is_blank_byte(char c) { return c == ' ' || c == '\t'; }

// Exactly what the platform's strtod accepts as a whole, after trimming.
inline int numeric_model(const char *p, size_t len, double *v) {
    if (p == nullptr || len == 0) return 0;
    size_t b = 0, e = len;
    while (b < e && is_blank_byte(p[b])) ++b;
    if (b == e) return 0;
    while (e > b && is_blank_byte(p[e - 1])) --e;
    size_t n = e - b;
    if (n > 127) return 0;
    if (n == 1 && (p[b] == '+' || p[b] == '-' || p[b] == '.')) return 0;
    char buf[128];
    memcpy(buf, p + b, n);
    buf[n] = '\0';
    char *end = nullptr;
    double x = strtod(buf, &end);
    if (end == buf || *end != '\0') return 0;
    *v = x;
    return 1;
}

inline bool same_double(double a, double b) {
    if (isnan(a) || isnan(b)) return isnan(a) && isnan(b);
    return a == b && signbit(a) == signbit(b);
}

/* ---- column names --------------------------------------------------------- */

inline int32_t resolve_model(const csv_table &t, const std::string &name) {
    if (name.empty()) return -1;
    for (int32_t i = 0; i < t.n_cols; ++i)
        if (cut_nul(header_of(t, i)) == name) return i;
    if (name[0] == '+' || name[0] == '-') return -1;
    errno = 0;
    char *end = nullptr;
    long long v = strtoll(name.c_str(), &end, 10);
    if (errno == ERANGE || end == name.c_str() || *end != '\0') return -1;
    if (v < 1 || v > t.n_cols) return -1;
    return static_cast<int32_t>(v - 1);
}

// The column list, or the message the list parser must give.
inline std::vector<int32_t> col_list_model(const csv_table &t, const std::string &list, std::string *msg) {
    std::vector<int32_t> out;
    msg->clear();
    size_t p = 0;
    const size_t n = list.size();
    for (;;) {
        while (p < n && is_blank_byte(list[p])) ++p;
        if (p == n) break;
        if (list[p] == ',') {
            ++p;
            continue;
        }
        size_t start = p;
        while (p < n && list[p] != ',') ++p;
        size_t end = p;
        while (end > start && is_blank_byte(list[end - 1])) --end;
        std::string item = list.substr(start, end - start);
        if (item.size() > 255) {
            *msg = "column name too long";
            return {};
        }
        int32_t idx = resolve_model(t, item);
        if (idx < 0) {
            *msg = "unknown column: " + item;
            return {};
        }
        out.push_back(idx);
        if (p < n) ++p;
    }
    if (out.empty()) *msg = "no columns selected";
    return out;
}

/* ---- search --------------------------------------------------------------- */

inline bool substr_model(const Bytes &cell, const std::string &q, bool ci) {
    if (q.empty()) return true;
    if (cell.size() < q.size()) return false;
    if (!ci) return cut_nul(cell).find(q) != Bytes::npos;
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 0x20) : c; };
    for (size_t s = 0; s + q.size() <= cell.size(); ++s) {
        size_t k = 0;
        while (k < q.size() && fold(cell[s + k]) == fold(q[k])) ++k;
        if (k == q.size()) return true;
    }
    return false;
}

/* ---- numeric columns, sort order, statistics ------------------------------ */

inline bool col_numeric_model(const csv_table &t, int32_t col) {
    bool seen = false;
    for (int64_t r = 0; r < t.n_rows; ++r) {
        Bytes c = cell_of(t, r, col);
        if (c.empty()) continue;
        double v;
        if (!numeric_model(c.data(), c.size(), &v)) return false;
        seen = true;
    }
    return seen;
}

// The documented order; *nan is set when a numeric key is NaN, where the
// order is left to the sort routine and only a permutation is required.
inline std::vector<int64_t> sort_model(const csv_table &t, int32_t col, bool desc, bool *nan) {
    struct Key {
        int64_t row;
        bool empty;
        double value;
        Bytes text;
    };
    const bool numeric = col_numeric_model(t, col);
    std::vector<Key> keys;
    *nan = false;
    for (int64_t r = 0; r < t.n_rows; ++r) {
        Key k{r, false, 0.0, cell_of(t, r, col)};
        k.empty = k.text.empty();
        if (numeric && !k.empty) {
            numeric_model(k.text.data(), k.text.size(), &k.value);
            if (isnan(k.value)) *nan = true;
        }
        keys.push_back(k);
    }
    auto cmp = [&](const Key &a, const Key &b) -> int {
        const int a_first = desc ? 1 : -1;
        if (a.empty != b.empty) return a.empty ? a_first : -a_first;
        if (!a.empty) {
            if (numeric) {
                if (a.value < b.value) return a_first;
                if (a.value > b.value) return -a_first;
            } else {
                size_t m = std::min(a.text.size(), b.text.size());
                int r = memcmp(a.text.data(), b.text.data(), m);
                if (r != 0) return (r < 0) ? a_first : -a_first;
                if (a.text.size() != b.text.size()) return a.text.size() < b.text.size() ? a_first : -a_first;
            }
        }
        return a.row < b.row ? -1 : (a.row > b.row ? 1 : 0);
    };
    if (!*nan) std::sort(keys.begin(), keys.end(), [&](const Key &a, const Key &b) { return cmp(a, b) < 0; });
    std::vector<int64_t> out;
    for (const Key &k : keys) out.push_back(k.row);
    return out;
}

struct ColStats {
    int64_t count = 0, nulls = 0;
    int64_t unique = 0;
    bool numeric = false;
    double min = 0, max = 0, mean = 0;
};

inline ColStats stats_model(const csv_table &t, int32_t col) {
    ColStats s;
    std::vector<Bytes> texts;
    double sum = 0;
    int64_t nums = 0;
    bool all = true, all_finite = true;
    std::vector<double> values;
    for (int64_t r = 0; r < t.n_rows; ++r) {
        Bytes c = cell_of(t, r, col);
        texts.push_back(cut_nul(c));
        if (c.empty()) {
            s.nulls += 1;
            continue;
        }
        s.count += 1;
        double v;
        if (numeric_model(c.data(), c.size(), &v)) {
            values.push_back(v);
            all_finite = all_finite && isfinite(v);
            if (nums == 0) {
                s.min = s.max = v;
            } else {
                if (v < s.min) s.min = v;
                if (v > s.max) s.max = v;
            }
            sum += v;
            nums += 1;
        } else {
            all = false;
        }
    }
    std::sort(texts.begin(), texts.end());
    s.unique = std::unique(texts.begin(), texts.end()) - texts.begin();
    if (nums == 0 || !all) {
        s.min = s.max = 0;
        return s;
    }
    s.numeric = true;
    s.mean = sum / static_cast<double>(nums);
    if (!isfinite(s.mean) && all_finite) {
        // Finite values whose running sum overflowed still have a finite
        // mean: summed scaled down by 2^64 in row order, divided, scaled
        // back and kept within the minimum and maximum.
        double scaled = 0;
        for (double v : values) scaled += v * 0x1p-64;
        s.mean = std::clamp(scaled / static_cast<double>(nums) * 0x1p64, s.min, s.max);
    }
    return s;
}

// The table a load must produce from `raw`.
inline Model load_model(const Bytes &raw, bool has_header, int delimiter, int enc) {
    Source src = source_model(raw, enc);
    int d = delimiter;
    if (d == 0) d = detect_model(src.text, starts_with_bom(src.text) ? 3 : 0);
    Model m = parse_model(src.text, has_header, static_cast<unsigned>(d));
    if (src.truncated) m.note_truncated();
    return m;
}

}  // namespace vfuzz
