// The exported interface end to end: the bytes are written to a file, loaded
// in every encoding and delimiter mode and queried with every export.
#include <stdio.h>
#include <stdlib.h>

#include "fuzz_props.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string err = vfuzz::check_api(data, size);
    if (!err.empty()) {
        fprintf(stderr, "property failed: %s\n", err.c_str());
        abort();
    }
    return 0;
}
