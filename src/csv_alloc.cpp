// The library's one route to the heap. A thread-local countdown lets tests
// fail the n-th allocation of a thread, to walk every out-of-memory path.
// Large blocks (file buffers, blobs, cell arrays, transcoded text, result
// text) are filled right after they are obtained, so they get the platform's
// paging hint.
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

// From this size on a block is worth a huge-page hint: it spans at least
// one whole 2 MiB page, and one system call is small beside filling it.
constexpr size_t k_large_block = size_t{4} << 20;

inline void *advised(void *p, size_t size) {
    if (p != nullptr && size >= k_large_block) csv_platform_advise_large(p, size);
    return p;
}
}  // namespace

void *csv_malloc(size_t size) { return alloc_refused() ? nullptr : advised(malloc(size), size); }

void *csv_calloc(size_t count, size_t size) {
    if (alloc_refused()) return nullptr;
    void *p = calloc(count, size);
    // calloc refused any product that overflows, so this one does not.
    return advised(p, count * size);
}

// Blocks that reach a large size by realloc are growing ones (blob, cell
// arrays, result text) and get the platform's form for them.
void *csv_realloc(void *ptr, size_t size) {
    if (alloc_refused()) return nullptr;
    return size >= k_large_block ? csv_platform_realloc_large(ptr, size) : realloc(ptr, size);
}

void csv_free(void *ptr) { free(ptr); }

int64_t csv_alloc_fail_after(int64_t n) {
    int64_t made = g_alloc_count;
    g_alloc_count = 0;
    g_alloc_fail_at = n < 0 ? -1 : n;
    return made;
}
