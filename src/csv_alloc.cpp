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
// Bytes held and their peak, counted while a test asks for them.
CSV_THREAD_LOCAL bool g_track = false;
CSV_THREAD_LOCAL int64_t g_held = 0;
CSV_THREAD_LOCAL int64_t g_peak = 0;

inline void track_gone(void *p) {
    if (g_track && p != nullptr) g_held -= static_cast<int64_t>(csv_platform_block_size(p));
}
inline void *track_new(void *p) {
    if (g_track && p != nullptr) {
        g_held += static_cast<int64_t>(csv_platform_block_size(p));
        if (g_held > g_peak) g_peak = g_held;
    }
    return p;
}

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

void *csv_malloc(size_t size) {
    return alloc_refused() ? nullptr : track_new(advised(malloc(size), size));
}

void *csv_calloc(size_t count, size_t size) {
    if (alloc_refused()) return nullptr;
    void *p = calloc(count, size);
    // calloc refused any product that overflows, so this one does not.
    return track_new(advised(p, count * size));
}

// Blocks that reach a large size by realloc are growing ones (blob, cell
// arrays, result text) and get the platform's form for them.
void *csv_realloc(void *ptr, size_t size) {
    if (alloc_refused()) return nullptr;
    const int64_t before = g_track && ptr != nullptr ? static_cast<int64_t>(csv_platform_block_size(ptr)) : 0;
    void *p = size >= k_large_block ? csv_platform_realloc_large(ptr, size) : realloc(ptr, size);
    if (p != nullptr) {
        g_held -= before;
        track_new(p);
    }
    return p;
}

void csv_free(void *ptr) {
    track_gone(ptr);
    free(ptr);
}

int64_t csv_alloc_track(int on) {
    const int64_t peak = g_peak;
    g_track = on != 0;
    g_held = 0;
    g_peak = 0;
    return peak;
}

int64_t csv_alloc_fail_after(int64_t n) {
    int64_t made = g_alloc_count;
    g_alloc_count = 0;
    g_alloc_fail_at = n < 0 ? -1 : n;
    return made;
}
