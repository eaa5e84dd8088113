// Reading the library's JSON answers with yyjson, and writing them again:
// compact, or indented for people.
#ifndef VELMORA_CLI_DOC_H
#define VELMORA_CLI_DOC_H

#include <memory>
#include <string>
#include <string_view>

#include <yyjson.h>

namespace cli {

struct doc_free {
    void operator()(yyjson_doc *doc) const { yyjson_doc_free(doc); }
};
using json_doc = std::unique_ptr<yyjson_doc, doc_free>;

// Parses one answer. Numbers are kept as their source text, so they are
// written back exactly as the library wrote them. Null with the reason in
// `error` when the text is not JSON.
json_doc json_read(std::string_view text, std::string &error);

// The text of a string (NUL bytes kept) or of a number; "yes"/"no" for a
// boolean; "" for null, containers and a missing value.
std::string json_text(yyjson_val *v);

// The value's member `key` in an object, or null.
yyjson_val *json_member(yyjson_val *obj, const char *key);

// The value as compact JSON text; the indented form uses two spaces per
// level and ": " after keys, empty containers staying on one line. Neither
// ends with a line feed.
std::string json_compact(yyjson_val *v);
std::string json_pretty(yyjson_val *v);

}  // namespace cli

#endif
