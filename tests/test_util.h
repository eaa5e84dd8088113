// Helpers shared by the unit tests: temporary files and table access.
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "csv_internal.h"

// Bytes the heap holds now, where a sanitizer runtime counts them exactly;
// 0 in other builds, so that comparisons of it hold trivially there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#define VTEST_HEAP() __sanitizer_get_current_allocated_bytes()
#else
#define VTEST_HEAP() size_t{0}  // only the sanitizer runtimes count exactly
#endif

namespace vtest {

// A fresh path inside this process's temporary directory (removed at exit).
std::string temp_path(const std::string &name);

// Writes `bytes` to a new temporary file and returns its path.
std::string write_temp(const std::string &name, const std::string &bytes);

// Cell text by its length (NUL bytes kept), "" for cells outside the table.
std::string cell(const csv_table &t, int64_t row, int32_t col);
std::string header(const csv_table &t, int32_t col);
std::vector<std::string> headers(const csv_table &t);
std::vector<std::vector<std::string>> rows(const csv_table &t);

// A parsed table freed at the end of the scope.
struct Table {
    csv_table t{};
    Table() = default;
    Table(const std::string &text, bool has_header, uint32_t delimiter = ',');
    ~Table() { csv_table_free(&t); }
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;
    csv_table *operator->() { return &t; }
    const csv_table *get() const { return &t; }
};

// True when every byte of the record is zero.
bool all_zero(const csv_table &t);

// `text` as one gzip member.
std::string gzip(const std::string &text);

// ASCII `text` as UTF-16LE with a byte order mark.
std::string utf16le_of(const std::string &text);

// Closes every handle of the process.
void close_all();

// Tests of the handle table: they start and end with every handle closed and
// no allocation made to fail.
class CleanHandles : public ::testing::Test {
protected:
    void SetUp() override {
        close_all();
        csv_alloc_fail_after(-1);
    }
    void TearDown() override {
        csv_alloc_fail_after(-1);
        close_all();
    }
};

}  // namespace vtest
