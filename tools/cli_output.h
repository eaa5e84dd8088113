// Writing answers to standard output in the chosen format, as they are
// made: a long answer is never held a second time as output text.
#ifndef VELMORA_CLI_OUTPUT_H
#define VELMORA_CLI_OUTPUT_H

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

#include "cli_args.h"

namespace cli {

// Standard output through a buffer; after the first failed write nothing
// more is written and `ok` stays false.
class out_stream {
public:
    void put(std::string_view text);
    // Writes what is buffered; false once any write has failed.
    bool flush();
    bool ok() const { return ok_; }
    int error() const { return error_; }  // errno of the failed write

private:
    std::string buf_;
    bool ok_ = true;
    int error_ = 0;
};

// A rows answer (rows, select, search, sort) to write. `each` hands every
// row object to the visitor in order (the visitor returns false to stop)
// and may be called once per pass a format needs; it returns false when
// the rows could not be had, having said why.
struct row_answer {
    using visitor = std::function<bool(yyjson_val *row)>;
    std::function<bool(const visitor &)> each;
    std::vector<std::string> names;  // the columns, shown when there is no row
    bool header_line = true;         // csv and tsv: the names first
};

// Writes a rows answer in any format. A column name that repeats is shown
// as name_2, name_3, ... (see unique_names). False when it failed (the
// reason printed).
bool write_rows(const row_answer &rows, output format, size_t max_width, out_stream &out);

// True when some name repeats: a json rows answer is then rewritten by
// write_rows rather than being the library's text as it is.
bool names_repeat(const std::vector<std::string> &names);

// Writes the answer of headers, stats, warnings, count or info in any
// format but json. False when the answer has another shape than expected.
bool write_answer(command cmd, yyjson_val *answer, output format, size_t max_width, out_stream &out);

}  // namespace cli

#endif
