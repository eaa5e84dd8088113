/*
 * The few system calls the library needs, kept in one place: opening a file
 * by its UTF-8 path, 64-bit seek and tell, the one process-wide lock,
 * thread-local storage, helper threads and paging hints for large heap
 * blocks. This build
 * is POSIX (csv_platform_posix.cpp).
 */
#ifndef VELMORA_CSV_PLATFORM_H
#define VELMORA_CSV_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

/* Storage class of the per-thread state (message, result buffer, sort
 * direction). */
#define CSV_THREAD_LOCAL thread_local

/* Opens `path` (UTF-8) for reading bytes unchanged, or returns NULL with
 * errno set. A directory is refused with EISDIR. */
FILE *csv_platform_fopen(const char *path);

/* 64-bit seek (whence as for fseek) of the file's descriptor: 0 or -1. */
int csv_platform_seek(FILE *f, int64_t offset, int whence);

/* True when the open file is a regular file (not a device, pipe, ...). */
bool csv_platform_is_regular(FILE *f);

/* Reads up to `n` bytes straight from the file's descriptor (no stdio
 * buffer in between): the count read, 0 at the end, or -1 with errno set
 * (EINTR when a signal came first; the caller may try again). */
int64_t csv_platform_read(FILE *f, void *dst, size_t n);

/* Reads up to `n` bytes at file offset `offset` without moving the file's
 * position (safe from several threads at once): as csv_platform_read. */
int64_t csv_platform_pread(FILE *f, void *dst, size_t n, uint64_t offset);

/* Waits up to `timeout_ms` for the file to have data or reach its end:
 * 1 when a read will not block, 0 when the time passed, -1 with errno set
 * (EINTR when a signal came). */
int csv_platform_wait_readable(FILE *f, int timeout_ms);

/* Size in bytes of the open file as the system reports it (0 for /proc
 * files and the like), or -1 with errno set. */
int64_t csv_platform_size(FILE *f);

/* 64-bit position, or -1. */
int64_t csv_platform_tell(FILE *f);

/* The one process-wide lock: created exactly once on first use, even when
 * threads race for it, and never destroyed. */
void csv_platform_lock(void);
void csv_platform_unlock(void);

/* Starts a thread running fn(arg) with every signal blocked, so that the
 * host's handlers keep running on its own threads. 0 with *handle set, or
 * -1 when the system refuses a thread. */
int csv_platform_thread_start(uint64_t *handle, void (*fn)(void *), void *arg);
/* Waits for a thread of csv_platform_thread_start to end. */
void csv_platform_thread_join(uint64_t handle);

/* Hint that the heap block `p` of `n` bytes (from malloc or realloc) is
 * large and about to be filled: where the system offers it, the block is
 * backed by huge pages, which saves most of the page faults of filling it.
 * Changes nothing that can be observed but speed; a no-op elsewhere. */
void csv_platform_advise_large(void *p, size_t n);

/* realloc for a block that grows to a large size (at least a few MiB) by
 * repeated calls, with the same hint. Where that helps, it asks for a
 * little more than `n` so that the block keeps whole huge pages when the
 * system moves it to grow it; only the first `n` bytes are the caller's. */
void *csv_platform_realloc_large(void *p, size_t n);

/* Bytes the heap holds for the block `p` (at least what was asked), or 0
 * where the system cannot tell. Used by the allocation tests. */
size_t csv_platform_block_size(void *p);

/* Gives the memory of the whole pages in [p, p + n), part of a heap block
 * whose contents there are no longer needed, back to the system; reading
 * them afterwards gives unspecified bytes. A no-op where not supported. */
void csv_platform_discard(void *p, size_t n);

/* Backs the whole pages of [p, p + n), part of a heap block about to be
 * written, with memory in one call instead of one page fault per page
 * (Linux 5.14 and later: MADV_POPULATE_WRITE). Returns true when it did;
 * false where the system cannot, and the pages then come one fault at a
 * time as they are written, exactly as without the call. After the first
 * refusal of an unknown request it is not asked again. */
bool csv_platform_populate(void *p, size_t n);

/* Test seam: on != 0 makes csv_platform_populate behave as on a system
 * without bulk population; 0 restores it. */
void csv_platform_populate_unsupported(int on);

#endif /* VELMORA_CSV_PLATFORM_H */
