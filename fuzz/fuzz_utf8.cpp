// UTF-8 repair of output text: well-formed text comes back untouched,
// anything else repaired exactly as the reference does.
#include <stdio.h>
#include <stdlib.h>

#include "fuzz_props.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string err = vfuzz::check_utf8(data, size);
    if (!err.empty()) {
        fprintf(stderr, "property failed: %s\n", err.c_str());
        abort();
    }
    return 0;
}
