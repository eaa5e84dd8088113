// UTF-16 to UTF-8 transcoding in both byte orders and with every skip,
// checked against the reference decoder.
#include <stdio.h>
#include <stdlib.h>

#include "fuzz_props.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string err = vfuzz::check_utf16(data, size);
    if (!err.empty()) {
        fprintf(stderr, "property failed: %s\n", err.c_str());
        abort();
    }
    return 0;
}
