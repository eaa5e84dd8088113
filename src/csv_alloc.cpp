// The library's one route to the heap. A thread-local countdown lets tests
// fail the n-th allocation of a thread, to walk every out-of-memory path.
#include <stdlib.h>

#include "csv_internal.h"
#include "csv_platform.h"

namespace {
CSV_THREAD_LOCAL int64_t g_alloc_fail_at = -1;  // allocations left; -1: never fail
CSV_THREAD_LOCAL int64_t g_alloc_count = 0;

// True when this allocation must fail on purpose.
inline bool alloc_refused() {
    ++g_alloc_count;
    if (g_alloc_fail_at < 0) return false;
    if (g_alloc_fail_at == 0) return true;
    --g_alloc_fail_at;
    return false;
}
}  // namespace

void *csv_malloc(size_t size) { return alloc_refused() ? nullptr : malloc(size); }

void *csv_calloc(size_t count, size_t size) {
    return alloc_refused() ? nullptr : calloc(count, size);
}

void *csv_realloc(void *ptr, size_t size) {
    return alloc_refused() ? nullptr : realloc(ptr, size);
}

void csv_free(void *ptr) { free(ptr); }

int64_t csv_alloc_fail_after(int64_t n) {
    int64_t made = g_alloc_count;
    g_alloc_count = 0;
    g_alloc_fail_at = n < 0 ? -1 : n;
    return made;
}
