// POSIX implementation of the platform layer.
#include "csv_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

FILE *csv_platform_fopen(const char *path) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // POSIX paths are bytes, so a UTF-8 path needs no conversion. O_NONBLOCK
    // keeps a FIFO without a writer from blocking the open; it is cleared
    // again before any read.
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
    return fseeko(f, static_cast<off_t>(offset), whence) == 0 ? 0 : -1;
}

int64_t csv_platform_tell(FILE *f) {
    off_t pos = ftello(f);
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
