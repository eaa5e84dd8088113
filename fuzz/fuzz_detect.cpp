// Delimiter detection from the first record, checked against the reference
// count.
#include <stdio.h>
#include <stdlib.h>

#include "fuzz_props.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string err = vfuzz::check_detect(data, size);
    if (!err.empty()) {
        fprintf(stderr, "property failed: %s\n", err.c_str());
        abort();
    }
    return 0;
}
