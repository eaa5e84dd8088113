// POSIX implementation of the platform layer.
#include "csv_platform.h"

#include <errno.h>
#include <fcntl.h>

#include <atomic>
#include <new>
#include <signal.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <unistd.h>
#if defined(__linux__) && defined(__GLIBC__)
#include <malloc.h>
#endif

FILE *csv_platform_fopen(const char *path) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // POSIX paths are bytes, so a UTF-8 path needs no conversion. O_NONBLOCK
    // keeps a FIFO without a writer from blocking the open; it is cleared
    // again before any read, and the reader waits for a writer's data with
    // a timeout, so that the load can still be cancelled meanwhile.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        // Linux opens a directory for reading; its size is meaningless and
        // every read fails, so refuse it here with the system's own text.
        close(fd);
        errno = EISDIR;
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE *f = fdopen(fd, "rb");
    if (f == nullptr) {
        int e = errno;
        close(fd);
        errno = e;
    }
    return f;
}

int csv_platform_seek(FILE *f, int64_t offset, int whence) {
    static_assert(sizeof(off_t) == 8, "64-bit file offsets are required");
    // On the descriptor: the library reads with csv_platform_read, never
    // through the stdio buffer.
    return lseek(fileno(f), static_cast<off_t>(offset), whence) < 0 ? -1 : 0;
}

bool csv_platform_is_regular(FILE *f) {
    struct stat st;
    return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t csv_platform_read(FILE *f, void *dst, size_t n) {
    // Linux moves at most about 2 GiB per call; the caller loops anyway.
    if (n > (size_t{1} << 30)) n = size_t{1} << 30;
    ssize_t got = read(fileno(f), dst, n);
    return got < 0 ? -1 : static_cast<int64_t>(got);
}

int64_t csv_platform_pread(FILE *f, void *dst, size_t n, uint64_t offset) {
    if (n > (size_t{1} << 30)) n = size_t{1} << 30;
    ssize_t got = pread(fileno(f), dst, n, static_cast<off_t>(offset));
    return got < 0 ? -1 : static_cast<int64_t>(got);
}

int csv_platform_wait_readable(FILE *f, int timeout_ms) {
    struct pollfd p = {fileno(f), POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    return r > 0 ? 1 : r;
}

int64_t csv_platform_size(FILE *f) {
    struct stat st;
    if (fstat(fileno(f), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

int64_t csv_platform_tell(FILE *f) {
    off_t pos = lseek(fileno(f), 0, SEEK_CUR);
    return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

namespace {
pthread_mutex_t g_lock;
pthread_once_t g_lock_once = PTHREAD_ONCE_INIT;

void create_lock() { pthread_mutex_init(&g_lock, nullptr); }
}  // namespace

void csv_platform_lock(void) {
    pthread_once(&g_lock_once, create_lock);
    pthread_mutex_lock(&g_lock);
}

void csv_platform_unlock(void) { pthread_mutex_unlock(&g_lock); }

namespace {
struct thread_start {
    void (*fn)(void *);
    void *arg;
};

void *thread_main(void *p) {
    const thread_start start = *static_cast<thread_start *>(p);
    delete static_cast<thread_start *>(p);
    start.fn(start.arg);
    return nullptr;
}
}  // namespace

int csv_platform_thread_start(uint64_t *handle, void (*fn)(void *), void *arg) {
    static_assert(sizeof(pthread_t) <= sizeof(uint64_t), "a thread handle fits 64 bits");
    auto *start = new (std::nothrow) thread_start{fn, arg};
    if (start == nullptr) return -1;
    // The new thread inherits the creator's signal mask: block everything
    // for the creation, so that no signal of the host's is delivered there.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_t t;
    const int rc = pthread_create(&t, nullptr, thread_main, start);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0) {
        delete start;
        return -1;
    }
    *handle = static_cast<uint64_t>(t);
    return 0;
}

void csv_platform_thread_join(uint64_t handle) {
    pthread_join(static_cast<pthread_t>(handle), nullptr);
}

void csv_platform_advise_large(void *p, size_t n) {
#if defined(__linux__) && defined(__GLIBC__) && defined(MADV_HUGEPAGE)
    if (p == nullptr || n == 0) return;
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    // glibc serves a large block from a mapping of its own that begins in
    // the block's first page and ends with its usable size. The advice must
    // cover that whole mapping: advice on part of it would split it, and
    // realloc could then no longer grow it in place (mremap).
    size_t usable = malloc_usable_size(p);
    if (usable < n) usable = n;
    const uintptr_t first = reinterpret_cast<uintptr_t>(p) & ~(page - 1);
    const uintptr_t last = (reinterpret_cast<uintptr_t>(p) + usable + page - 1) & ~(page - 1);
    // Only a hint: a kernel without transparent huge pages refuses it, and
    // the block works the same either way.
    (void)madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

void *csv_platform_realloc_large(void *p, size_t n) {
#if defined(__linux__) && defined(__GLIBC__) && defined(MADV_HUGEPAGE)
    // glibc keeps a large block in a mapping of its own, 16 bytes of header
    // and the block rounded up to whole pages. When that mapping is a whole
    // number of 2 MiB pages, the kernel places it, and every mremap that
    // moves it as it grows, on a 2 MiB boundary, so its huge pages move
    // whole; otherwise each move splits them and the rest of the block is
    // filled a 4 KiB page at a time. The few bytes more stay untouched.
    constexpr size_t huge = size_t{2} << 20;
    constexpr size_t header = 24;  // chunk header and alignment slack
    // A block that already has the room stays where it is: moving it would
    // make every page it has fault in again at its new address. One asked
    // to shrink by a huge page or more gives that back (in place: the
    // system trims its mapping).
    if (p != nullptr) {
        const size_t usable = malloc_usable_size(p);
        if (n <= usable && usable - n < huge) return p;
    }
    size_t asked = n;
    if (n <= SIZE_MAX - header - huge) asked = (n + header + huge - 1) / huge * huge - header;
    void *q = realloc(p, asked);
    if (q != nullptr) csv_platform_advise_large(q, asked);
    return q;
#else
    return realloc(p, n);
#endif
}

size_t csv_platform_block_size(void *p) {
#if defined(__GLIBC__)
    return p != nullptr ? malloc_usable_size(p) : 0;
#else
    (void)p;
    return 0;
#endif
}

void csv_platform_discard(void *p, size_t n) {
#if defined(__linux__) && defined(MADV_DONTNEED)
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t first = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
    const uintptr_t last = (reinterpret_cast<uintptr_t>(p) + n) & ~(page - 1);
    if (last > first) (void)madvise(reinterpret_cast<void *>(first), last - first, MADV_DONTNEED);
#else
    (void)p;
    (void)n;
#endif
}

namespace {
// Set once the system refused bulk population as unknown, or by the test
// seam; relaxed order is enough for a hint.
std::atomic<bool> g_populate_off{false};
}  // namespace

bool csv_platform_populate(void *p, size_t n) {
#if defined(__linux__)
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it with EINVAL
#endif
    if (p == nullptr || g_populate_off.load(std::memory_order_relaxed)) return false;
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t first = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
    const uintptr_t last = (reinterpret_cast<uintptr_t>(p) + n) & ~(page - 1);
    if (last <= first) return false;
    if (madvise(reinterpret_cast<void *>(first), last - first, MADV_POPULATE_WRITE) == 0) return true;
    if (errno == EINVAL) g_populate_off.store(true, std::memory_order_relaxed);
    return false;
#else
    (void)p;
    (void)n;
    return false;
#endif
}

void csv_platform_populate_unsupported(int on) {
    g_populate_off.store(on != 0, std::memory_order_relaxed);
}
