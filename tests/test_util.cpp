#include "test_util.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>
#include <zlib.h>

namespace vtest {
namespace {

const std::string &temp_dir() {
    static const std::string dir = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) abort();
        static std::string keep;
        keep = tmpl;
        atexit([] { std::error_code ec; std::filesystem::remove_all(keep, ec); });
        return tmpl;
    }();
    return dir;
}

}  // namespace

std::string temp_path(const std::string &name) { return temp_dir() + "/" + name; }

std::string write_temp(const std::string &name, const std::string &bytes) {
    std::string path = temp_path(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) ADD_FAILURE() << "cannot write " << path;
    return path;
}

std::string cell(const csv_table &t, int64_t row, int32_t col) {
    const csv_cell *c = csv_cell_at(&t, row, col);
    if (c->length == 0) return "";
    return std::string(csv_cell_text(&t, c), c->length);
}

std::string header(const csv_table &t, int32_t col) {
    if (col < 0 || col >= t.n_cols) return "";
    const csv_cell &c = t.headers[col];
    if (c.length == 0) return "";
    return std::string(csv_cell_text(&t, &c), c.length);
}

std::vector<std::string> headers(const csv_table &t) {
    std::vector<std::string> out;
    for (int32_t c = 0; c < t.n_cols; ++c) out.push_back(header(t, c));
    return out;
}

std::vector<std::vector<std::string>> rows(const csv_table &t) {
    std::vector<std::vector<std::string>> out;
    for (int64_t r = 0; r < t.n_rows; ++r) {
        std::vector<std::string> row;
        for (int32_t c = 0; c < t.n_cols; ++c) row.push_back(cell(t, r, c));
        out.push_back(row);
    }
    return out;
}

Table::Table(const std::string &text, bool has_header, uint32_t delimiter) {
    csv_parse_opts opts{};
    opts.delimiter = delimiter;
    if (csv_table_parse_ex(&t, text.data(), text.size(), has_header ? 1 : 0, &opts) != 0)
        ADD_FAILURE() << "parse failed: " << csv_last_error();
}

bool all_zero(const csv_table &t) {
    static const csv_table zero{};
    return std::memcmp(&t, &zero, sizeof t) == 0;
}

std::string utf16le_of(const std::string &text) {
    std::string out = "\xFF\xFE";
    for (char c : text) {
        out += c;
        out += '\0';
    }
    return out;
}

std::string gzip(const std::string &text) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, text.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

void close_all() {
    for (int h = 0; h < CSV_MAX_HANDLES; ++h) csv_close(h);
}

}  // namespace vtest
