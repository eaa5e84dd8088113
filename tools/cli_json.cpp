#include "cli_json.h"

#include <cstdint>

namespace cli {

const json_value *json_value::find(std::string_view key) const {
    for (const json_member &m : members)
        if (m.key == key) return &m.value;
    return nullptr;
}

namespace {

// Deep enough for anything the library writes, shallow enough that a
// hostile text cannot exhaust the stack.
constexpr int max_depth = 256;

void append_utf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

class reader {
public:
    explicit reader(std::string_view text) : s_(text) {}

    bool document(json_value &out, std::string &error) {
        skip_ws();
        if (!value(out, 0)) return failed("malformed JSON", error);
        return at_end(error);
    }

    bool each_item(const std::function<bool(const json_value &)> &visit, std::string &error) {
        skip_ws();
        if (pos_ >= s_.size() || s_[pos_] != '[') return failed("not a JSON array", error);
        ++pos_;
        skip_ws();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            ++pos_;
            return at_end(error);
        }
        json_value item;
        while (true) {
            reset(item);
            skip_ws();
            if (!value(item, 1)) return failed("malformed JSON", error);
            if (!visit(item)) return false;
            skip_ws();
            if (pos_ >= s_.size()) return failed("unterminated array", error);
            char c = s_[pos_++];
            if (c == ']') return at_end(error);
            if (c != ',') return failed("expected , or ] in array", error);
        }
    }

private:
    std::string_view s_;
    size_t pos_ = 0;
    std::string error_;

    // Empties a value but keeps its buffers for the next element.
    static void reset(json_value &v) {
        v.type = json_value::kind::null;
        v.boolean = false;
        v.text.clear();
        v.items.clear();
        v.members.clear();
    }

    // Hands out the first problem met, or `why` when there was none.
    bool failed(const char *why, std::string &error) {
        error = error_.empty() ? why : error_;
        return false;
    }

    bool at_end(std::string &error) {
        skip_ws();
        if (pos_ != s_.size()) return failed("text after the JSON value", error);
        return true;
    }

    bool fail(const char *why) {
        if (error_.empty()) error_ = why;
        return false;
    }

    void skip_ws() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }

    bool literal(std::string_view word) {
        if (s_.substr(pos_, word.size()) != word) return fail("unknown literal");
        pos_ += word.size();
        return true;
    }

    bool value(json_value &out, int depth) {
        if (depth > max_depth) return fail("JSON nested too deeply");
        if (pos_ >= s_.size()) return fail("unexpected end of JSON");
        char c = s_[pos_];
        switch (c) {
        case '{': return object(out, depth);
        case '[': return array(out, depth);
        case '"': out.type = json_value::kind::string; return string(out.text);
        case 't': out.type = json_value::kind::boolean; out.boolean = true; return literal("true");
        case 'f': out.type = json_value::kind::boolean; out.boolean = false; return literal("false");
        case 'n': out.type = json_value::kind::null; return literal("null");
        default: return number(out);
        }
    }

    bool digits() {
        size_t start = pos_;
        while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
        return pos_ > start;
    }

    bool number(json_value &out) {
        size_t start = pos_;
        if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
        if (!digits()) return fail("malformed number");
        if (pos_ < s_.size() && s_[pos_] == '.') {
            ++pos_;
            if (!digits()) return fail("malformed number");
        }
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
            if (!digits()) return fail("malformed number");
        }
        out.type = json_value::kind::number;
        out.text.assign(s_.substr(start, pos_ - start));
        return true;
    }

    bool hex4(uint32_t &cp) {
        if (s_.size() - pos_ < 4) return fail("short \\u escape");
        cp = 0;
        for (int i = 0; i < 4; ++i) {
            char h = s_[pos_++];
            cp <<= 4;
            if (h >= '0' && h <= '9') cp |= static_cast<uint32_t>(h - '0');
            else if (h >= 'a' && h <= 'f') cp |= static_cast<uint32_t>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F') cp |= static_cast<uint32_t>(h - 'A' + 10);
            else return fail("bad \\u escape");
        }
        return true;
    }

    // \uXXXX, with a following low surrogate joined to a high one; a lone
    // surrogate becomes U+FFFD so the decoded text stays valid UTF-8.
    bool unicode_escape(std::string &out) {
        uint32_t cp = 0;
        if (!hex4(cp)) return false;
        if (cp >= 0xD800 && cp <= 0xDBFF && s_.substr(pos_, 2) == "\\u") {
            size_t save = pos_;
            pos_ += 2;
            uint32_t lo = 0;
            if (!hex4(lo)) return false;
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                append_utf8(out, 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00));
                return true;
            }
            pos_ = save;  // not a pair: the second escape stands alone
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
        append_utf8(out, cp);
        return true;
    }

    bool string(std::string &out) {
        ++pos_;  // opening quote
        out.clear();
        while (true) {
            size_t run = pos_;
            while (pos_ < s_.size() && s_[pos_] != '"' && s_[pos_] != '\\' &&
                   static_cast<unsigned char>(s_[pos_]) >= 0x20)
                ++pos_;
            out.append(s_.substr(run, pos_ - run));
            if (pos_ >= s_.size()) return fail("unterminated string");
            char c = s_[pos_++];
            if (c == '"') return true;
            if (c != '\\') return fail("control character in string");
            if (pos_ >= s_.size()) return fail("unterminated string");
            char e = s_[pos_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u':
                if (!unicode_escape(out)) return false;
                break;
            default: return fail("bad escape in string");
            }
        }
    }

    bool array(json_value &out, int depth) {
        out.type = json_value::kind::array;
        ++pos_;
        skip_ws();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            ++pos_;
            return true;
        }
        while (true) {
            out.items.emplace_back();
            skip_ws();
            if (!value(out.items.back(), depth + 1)) return false;
            skip_ws();
            if (pos_ >= s_.size()) return fail("unterminated array");
            char c = s_[pos_++];
            if (c == ']') return true;
            if (c != ',') return fail("expected , or ] in array");
        }
    }

    bool object(json_value &out, int depth) {
        out.type = json_value::kind::object;
        ++pos_;
        skip_ws();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            ++pos_;
            return true;
        }
        while (true) {
            skip_ws();
            if (pos_ >= s_.size() || s_[pos_] != '"') return fail("expected a key in object");
            out.members.emplace_back();
            json_member &m = out.members.back();
            if (!string(m.key)) return false;
            skip_ws();
            if (pos_ >= s_.size() || s_[pos_] != ':') return fail("expected : in object");
            ++pos_;
            skip_ws();
            if (!value(m.value, depth + 1)) return false;
            skip_ws();
            if (pos_ >= s_.size()) return fail("unterminated object");
            char c = s_[pos_++];
            if (c == '}') return true;
            if (c != ',') return fail("expected , or } in object");
        }
    }
};

void newline(std::string &out, int depth) {
    out += '\n';
    out.append(static_cast<size_t>(depth) * 2, ' ');
}

}  // namespace

bool json_parse(std::string_view text, json_value &out, std::string &error) {
    out = json_value{};
    error.clear();
    return reader(text).document(out, error);
}

bool json_each_item(std::string_view text, const std::function<bool(const json_value &)> &visit,
                    std::string &error) {
    error.clear();
    return reader(text).each_item(visit, error);
}

std::string json_pretty(std::string_view in) {
    std::string out;
    out.reserve(in.size() + in.size() / 2 + 1);
    int depth = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        switch (c) {
        case '"': {
            // Copy the whole string token; an escaped quote does not end it.
            size_t start = i++;
            while (i < in.size() && in[i] != '"') i += (in[i] == '\\') ? 2 : 1;
            out.append(in.substr(start, i - start + 1));
            break;
        }
        case '[':
        case '{': {
            char close = (c == '[') ? ']' : '}';
            size_t j = i + 1;
            while (j < in.size() && (in[j] == ' ' || in[j] == '\t' || in[j] == '\n' || in[j] == '\r'))
                ++j;
            out += c;
            if (j < in.size() && in[j] == close) {  // empty: keep [] and {} on one line
                out += close;
                i = j;
            } else {
                newline(out, ++depth);
            }
            break;
        }
        case ']':
        case '}':
            newline(out, --depth);
            out += c;
            break;
        case ',':
            out += ',';
            newline(out, depth);
            break;
        case ':':
            out += ": ";
            break;
        case ' ':
        case '\t':
        case '\n':
        case '\r':
            break;
        default:
            out += c;
        }
    }
    out += '\n';
    return out;
}

}  // namespace cli
