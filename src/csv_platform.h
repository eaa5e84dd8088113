/*
 * The few system calls the library needs, kept in one place: opening a file
 * by its UTF-8 path, 64-bit seek and tell, the one process-wide lock, and
 * thread-local storage. This build is POSIX (csv_platform_posix.cpp).
 */
#ifndef VELMORA_CSV_PLATFORM_H
#define VELMORA_CSV_PLATFORM_H

#include <stdint.h>
#include <stdio.h>

/* Storage class of the per-thread state (message, result buffer, sort
 * direction). */
#define CSV_THREAD_LOCAL thread_local

/* Opens `path` (UTF-8) for reading bytes unchanged, or returns NULL with
 * errno set. A directory is refused with EISDIR. */
FILE *csv_platform_fopen(const char *path);

/* 64-bit seek (whence as for fseek): 0 or -1. */
int csv_platform_seek(FILE *f, int64_t offset, int whence);

/* 64-bit position, or -1. */
int64_t csv_platform_tell(FILE *f);

/* The one process-wide lock: created exactly once on first use, even when
 * threads race for it, and never destroyed. */
void csv_platform_lock(void);
void csv_platform_unlock(void);

#endif /* VELMORA_CSV_PLATFORM_H */
