#include "cli_doc.h"

#include <cstdlib>
#include <new>

namespace cli {

namespace {

struct text_free {
    void operator()(char *p) const { free(p); }
};

std::string write(yyjson_val *v, yyjson_write_flag flags) {
    size_t len = 0;
    yyjson_write_err err;
    std::unique_ptr<char, text_free> text(yyjson_val_write_opts(v, flags, nullptr, &len, &err));
    if (!text) {
        if (err.code == YYJSON_WRITE_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
        return "null";  // a value read by yyjson always writes
    }
    return std::string(text.get(), len);
}

}  // namespace

json_doc json_read(std::string_view text, std::string &error) {
    yyjson_read_err err;
    // The input is const: yyjson copies it, so the library's buffer is
    // never written to.
    json_doc doc(yyjson_read_opts(const_cast<char *>(text.data()), text.size(),
                                  YYJSON_READ_NUMBER_AS_RAW, nullptr, &err));
    if (!doc) {
        if (err.code == YYJSON_READ_ERROR_MEMORY_ALLOCATION) throw std::bad_alloc();
        error = std::string(err.msg) + " at byte " + std::to_string(err.pos);
    }
    return doc;
}

std::string json_text(yyjson_val *v) {
    if (yyjson_is_str(v)) return std::string(yyjson_get_str(v), yyjson_get_len(v));
    if (yyjson_is_raw(v)) return std::string(yyjson_get_raw(v), yyjson_get_len(v));
    if (yyjson_is_bool(v)) return yyjson_get_bool(v) ? "yes" : "no";
    if (yyjson_is_int(v)) return std::to_string(yyjson_get_sint(v));
    return "";
}

yyjson_val *json_member(yyjson_val *obj, const char *key) { return yyjson_obj_get(obj, key); }

std::string json_compact(yyjson_val *v) { return write(v, YYJSON_WRITE_NOFLAG); }

std::string json_pretty(yyjson_val *v) { return write(v, YYJSON_WRITE_PRETTY_TWO_SPACES); }

}  // namespace cli
