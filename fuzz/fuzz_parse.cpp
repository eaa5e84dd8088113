// The record parser: every delimiter choice and both header settings, checked
// against the reference parser, the progress calls, cancelling and the CSV
// writer's round trip.
#include <stdio.h>
#include <stdlib.h>

#include "fuzz_props.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string err = vfuzz::check_parse(data, size);
    if (!err.empty()) {
        fprintf(stderr, "property failed: %s\n", err.c_str());
        abort();
    }
    return 0;
}
