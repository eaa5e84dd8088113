#include "cli_output.h"

#include <cerrno>
#include <cstdio>

#include "cli_columns.h"
#include "cli_doc.h"
#include "cli_table.h"

namespace cli {

namespace {

constexpr size_t flush_at = 1 << 16;

// One field of comma- or tab-separated text, as the library's writer puts
// it: quoted only when it holds the separator, a double quote, CR or LF,
// with each double quote doubled; empty as nothing.
void put_field(std::string &line, std::string_view text, char separator) {
    const char specials[] = {separator, '"', '\r', '\n'};
    if (text.find_first_of(std::string_view(specials, sizeof specials)) == std::string_view::npos) {
        line.append(text);
        return;
    }
    line += '"';
    for (char c : text) {
        if (c == '"') line += '"';
        line += c;
    }
    line += '"';
}

void put_record(out_stream &out, const std::vector<std::string> &fields, char separator) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) line += separator;
        put_field(line, fields[i], separator);
    }
    line += '\n';
    out.put(line);
}

// The member names of a row object in order, repeated keys included.
std::vector<std::string> keys_of(yyjson_val *row) {
    std::vector<std::string> keys;
    size_t i = 0, n = 0;
    yyjson_val *key, *value;
    yyjson_obj_foreach(row, i, n, key, value) keys.push_back(json_text(key));
    return keys;
}

// The cells of a row object, by position: keys may repeat.
std::vector<std::string> cells_of(yyjson_val *row) {
    std::vector<std::string> cells;
    size_t i = 0, n = 0;
    yyjson_val *key, *value;
    yyjson_obj_foreach(row, i, n, key, value) cells.push_back(json_text(value));
    return cells;
}

// Indented JSON of one element of a top-level array: every line two more
// spaces in. A JSON text holds line feeds only between tokens.
std::string nested_pretty(yyjson_val *v) {
    std::string text = json_pretty(v), out = "  ";
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        out += c;
        if (c == '\n') out += "  ";
    }
    return out;
}

// The keys of rows whose names repeat, replaced by unique_names before any
// format sees them. Every row has the keys of the first; the new key texts
// live here for as long as the rows are written.
class key_renamer {
public:
    void apply(yyjson_val *row) {
        if (!decided_) decide(row);
        if (names_.empty()) return;
        size_t i = 0, n = 0, c = 0;
        yyjson_val *key, *value;
        yyjson_obj_foreach(row, i, n, key, value) {
            if (c < names_.size()) yyjson_set_strn(key, names_[c].data(), names_[c].size());
            ++c;
        }
    }

private:
    void decide(yyjson_val *row) {
        decided_ = true;
        std::vector<std::string> keys = keys_of(row);
        std::vector<std::string> unique = unique_names(keys);
        if (unique != keys) names_ = std::move(unique);
    }

    bool decided_ = false;
    std::vector<std::string> names_;  // empty: the keys stay
};

bool rows_as_json(const row_answer &rows, out_stream &out) {
    size_t n = 0;
    bool ok = rows.each([&](yyjson_val *row) {
        out.put(n++ == 0 ? "[" : ",");
        out.put(json_compact(row));
        return out.ok();
    });
    out.put(n == 0 ? "[]\n" : "]\n");
    return ok;
}

bool rows_as_pretty(const row_answer &rows, out_stream &out) {
    size_t n = 0;
    bool ok = rows.each([&](yyjson_val *row) {
        out.put(n++ == 0 ? "[\n" : ",\n");
        out.put(nested_pretty(row));
        return out.ok();
    });
    out.put(n == 0 ? "[]\n" : "\n]\n");
    return ok;
}

bool rows_as_ndjson(const row_answer &rows, out_stream &out) {
    return rows.each([&](yyjson_val *row) {
        out.put(json_compact(row) + "\n");
        return out.ok();
    });
}

bool rows_as_separated(const row_answer &rows, char separator, out_stream &out) {
    size_t n = 0;
    bool ok = rows.each([&](yyjson_val *row) {
        if (n++ == 0 && rows.header_line) put_record(out, keys_of(row), separator);
        put_record(out, cells_of(row), separator);
        return out.ok();
    });
    if (ok && n == 0 && rows.header_line && !rows.names.empty()) put_record(out, rows.names, separator);
    return ok;
}

// Two passes: the first finds the widths and which columns hold only
// numbers, the second writes the lines.
bool rows_as_table(const row_answer &rows, size_t max_width, out_stream &out) {
    layout lay;
    std::vector<std::string> heads;
    std::vector<bool> numeric, filled;
    size_t n_rows = 0;
    bool ok = rows.each([&](yyjson_val *row) {
        if (n_rows++ == 0) {
            for (const std::string &k : keys_of(row)) heads.push_back(fit_cell(k, max_width));
            for (size_t c = 0; c < heads.size(); ++c) lay.widen(c, heads[c]);
            numeric.assign(heads.size(), true);
            filled.assign(heads.size(), false);
        }
        size_t c = 0, i = 0, n = 0;
        yyjson_val *key, *value;
        yyjson_obj_foreach(row, i, n, key, value) {
            if (c >= heads.size()) break;
            std::string_view cell(yyjson_get_str(value) ? yyjson_get_str(value) : "", yyjson_get_len(value));
            lay.widen(c, fit_cell(cell, max_width));
            if (!cell.empty()) {
                filled[c] = true;
                if (!looks_numeric(cell)) numeric[c] = false;
            }
            ++c;
        }
        return true;
    });
    if (!ok) return false;
    if (n_rows == 0) {
        // No row: the column names still say what was asked for.
        for (const std::string &name : rows.names) heads.push_back(fit_cell(name, max_width));
        for (size_t c = 0; c < heads.size(); ++c) lay.widen(c, heads[c]);
        if (!heads.empty()) out.put(lay.line(heads) + lay.rule());
        out.put(count_line(0));
        return true;
    }
    for (size_t c = 0; c < heads.size(); ++c)
        lay.aligns.push_back(filled[c] && numeric[c] ? align::right : align::left);
    out.put(lay.line(heads) + lay.rule());
    std::vector<std::string> cells;
    ok = rows.each([&](yyjson_val *row) {
        cells = cells_of(row);
        cells.resize(heads.size());
        for (std::string &cell : cells) cell = fit_cell(cell, max_width);
        out.put(lay.line(cells));
        return out.ok();
    });
    if (ok) out.put(count_line(n_rows));
    return ok;
}

// A boolean or number as a CSV field: JSON's own words, not the table's.
std::string field_of(yyjson_val *v) {
    if (yyjson_is_bool(v)) return yyjson_get_bool(v) ? "true" : "false";
    return json_text(v);
}

bool answer_as_separated(command cmd, yyjson_val *answer, char separator, out_stream &out) {
    std::vector<std::string> fields;
    size_t i = 0, n = 0;
    yyjson_val *v, *key;
    switch (cmd) {
    case command::headers:  // the header line itself
        if (!yyjson_is_arr(answer)) return false;
        yyjson_arr_foreach(answer, i, n, v) fields.push_back(json_text(v));
        put_record(out, fields, separator);
        return true;
    case command::stats: {
        yyjson_val *columns = json_member(answer, "columns");
        if (!yyjson_is_arr(columns)) return false;
        put_record(out, {"column", "count", "nulls", "unique", "numeric", "min", "max", "mean"}, separator);
        yyjson_arr_foreach(columns, i, n, v) {
            fields.clear();
            for (const char *k : {"name", "count", "nulls", "unique", "numeric", "min", "max", "mean"})
                fields.push_back(field_of(json_member(v, k)));
            put_record(out, fields, separator);
        }
        return true;
    }
    default: {  // count, info: the names, then the values
        if (!yyjson_is_obj(answer)) return false;
        std::vector<std::string> values;
        yyjson_obj_foreach(answer, i, n, key, v) {
            fields.push_back(json_text(key));
            values.push_back(field_of(v));
        }
        put_record(out, fields, separator);
        put_record(out, values, separator);
        return true;
    }
    }
}

bool answer_as_table(command cmd, yyjson_val *answer, size_t max_width, out_stream &out) {
    std::string text;
    bool ok = false;
    switch (cmd) {
    case command::headers: ok = table_of_headers(answer, max_width, text); break;
    case command::stats: ok = table_of_stats(answer, max_width, text); break;
    case command::warnings: ok = table_of_warnings(answer, max_width, text); break;
    default: ok = table_of_members(answer, max_width, text); break;
    }
    if (ok) out.put(text);
    return ok;
}

}  // namespace

void out_stream::put(std::string_view text) {
    if (!ok_) return;
    buf_.append(text);
    if (buf_.size() >= flush_at) flush();
}

bool out_stream::flush() {
    if (ok_ && !buf_.empty()) {
        if (fwrite(buf_.data(), 1, buf_.size(), stdout) != buf_.size()) ok_ = false, error_ = errno;
        buf_.clear();
    }
    if (ok_ && fflush(stdout) != 0) ok_ = false, error_ = errno;
    return ok_;
}

bool names_repeat(const std::vector<std::string> &names) { return unique_names(names) != names; }

bool write_rows(const row_answer &answer, output format, size_t max_width, out_stream &out) {
    key_renamer renamer;
    row_answer rows;
    rows.names = unique_names(answer.names);
    rows.header_line = answer.header_line;
    rows.each = [&](const row_answer::visitor &visit) {
        return answer.each([&](yyjson_val *row) {
            renamer.apply(row);
            return visit(row);
        });
    };
    switch (format) {
    case output::json: return rows_as_json(rows, out);
    case output::pretty: return rows_as_pretty(rows, out);
    case output::ndjson: return rows_as_ndjson(rows, out);
    case output::csv: return rows_as_separated(rows, ',', out);
    case output::tsv: return rows_as_separated(rows, '\t', out);
    case output::table: return rows_as_table(rows, max_width, out);
    }
    return false;
}

bool write_answer(command cmd, yyjson_val *answer, output format, size_t max_width, out_stream &out) {
    switch (format) {
    case output::pretty: out.put(json_pretty(answer) + "\n"); return true;
    case output::ndjson:
        // An array: one element per line; an object: itself on one line.
        if (yyjson_is_arr(answer)) {
            size_t i = 0, n = 0;
            yyjson_val *v;
            yyjson_arr_foreach(answer, i, n, v) out.put(json_compact(v) + "\n");
        } else {
            out.put(json_compact(answer) + "\n");
        }
        return true;
    case output::csv: return answer_as_separated(cmd, answer, ',', out);
    case output::tsv: return answer_as_separated(cmd, answer, '\t', out);
    case output::table: return answer_as_table(cmd, answer, max_width, out);
    case output::json: break;
    }
    return false;
}

}  // namespace cli
