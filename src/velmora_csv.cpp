// The exported functions: the handle registry and its lock, the per-thread
// error message and result buffer, whole-file reading, source decoding and
// the loaders. Every export is a short shell around one internal call.
#include <errno.h>
#include <stdarg.h>
#include <string.h>

#include <memory>
#include <mutex>

#include "csv_internal.h"
#include "csv_platform.h"

namespace {

csv_table g_tables[CSV_MAX_HANDLES];

CSV_THREAD_LOCAL char g_err[CSV_ERR_SIZE];
CSV_THREAD_LOCAL char *g_json;
CSV_THREAD_LOCAL uint64_t g_json_cap;

// Frees the thread's result buffer when the thread ends: a host that starts
// and stops threads must not lose one buffer per thread. Armed by the
// buffer's first allocation, so threads that never query pay nothing.
struct json_buffer_release {
    bool armed = false;
    ~json_buffer_release() {
        csv_free(g_json);
        g_json = nullptr;
        g_json_cap = 0;
    }
};
CSV_THREAD_LOCAL json_buffer_release g_json_release;

using heap_bytes = std::unique_ptr<char, csv_free_deleter>;
using heap_rows = std::unique_ptr<int64_t, csv_free_deleter>;
using heap_cols = std::unique_ptr<int32_t, csv_free_deleter>;

// Holds g_lock for a scope; the lock is created on first use.
struct table_lock {
    table_lock() { csv_table_lock(); }
    ~table_lock() { csv_table_unlock(); }
    table_lock(const table_lock &) = delete;
    table_lock &operator=(const table_lock &) = delete;
};

// Entry protocol steps 3-4: with the lock held, the slot's table, or null
// with "invalid handle: %d".
const csv_table *checked_table(int handle) {
    const csv_table *t = csv_table_get(handle);
    if (t == nullptr) csv_set_error("invalid handle: %d", handle);
    return t;
}

using file_handle = std::unique_ptr<FILE, int (*)(FILE *)>;

// Opens `path` for reading and measures it; the file is left at its start.
int open_sized(const char *path, file_handle *out_file, uint64_t *out_size) {
    *out_size = 0;
    FILE *f = csv_platform_fopen(path);
    if (f == nullptr) {
        csv_set_error("cannot open file: %s (%s)", path, strerror(errno));
        return -1;
    }
    file_handle file(f, fclose);
    if (csv_platform_seek(f, 0, SEEK_END) != 0 || csv_platform_tell(f) < 0) {
        csv_set_error("cannot stat file: %s", path);
        return -1;
    }
    int64_t size = csv_platform_tell(f);
    if (csv_platform_seek(f, 0, SEEK_SET) != 0) {
        csv_set_error("cannot rewind file: %s", path);
        return -1;
    }
    *out_file = std::move(file);
    *out_size = static_cast<uint64_t>(size);
    return 0;
}

// Reads up to `want` bytes; a file that shrank while being read gives what
// is left, but a failing read must not pass for a shorter file.
int read_bytes(FILE *f, const char *path, void *dst, size_t want, size_t *got) {
    *got = want == 0 ? 0 : fread(dst, 1, want, f);
    if (ferror(f)) {
        csv_set_error("cannot read file: %s (%s)", path, strerror(errno));
        return -1;
    }
    return 0;
}

void set_read_oom(uint64_t bytes, const char *path) {
    csv_set_error("out of memory: cannot allocate %lld bytes to read %s",
                  static_cast<long long>(bytes), path);
}

// Reads a stream that claimed to be empty to its end, growing `*data` (which
// holds `*len` bytes) as needed; a file that really is empty costs one read.
int read_unsized(FILE *f, const char *path, heap_bytes *data, uint64_t *len) {
    char chunk[4096];
    uint64_t cap = *len + 1;
    for (;;) {
        size_t got = 0;
        if (read_bytes(f, path, chunk, sizeof chunk, &got) != 0) return -1;
        if (got == 0) return 0;
        if (*len + got + 1 > cap) {
            uint64_t want = cap * 2 > *len + got + 1 ? cap * 2 : *len + got + 1;
            char *grown = want > SIZE_MAX ? nullptr
                                          : static_cast<char *>(csv_realloc(data->get(), want));
            if (grown == nullptr) {
                set_read_oom(want, path);
                return -1;
            }
            (void)data->release();
            data->reset(grown);
            cap = want;
        }
        memcpy(data->get() + *len, chunk, got);
        *len += got;
    }
}

// Reads the rest of a file of `size` bytes, whose first `head_len` bytes
// are already in `head`, into one heap buffer of size + 1 with a NUL after
// the bytes read.
int read_whole(FILE *f, const char *path, uint64_t size, const unsigned char *head,
               size_t head_len, char **out_data, uint64_t *out_len) {
    *out_data = nullptr;
    *out_len = 0;
    uint64_t want = size + 1;
    heap_bytes data(want > SIZE_MAX ? nullptr : static_cast<char *>(csv_malloc(want)));
    if (!data) {
        set_read_oom(want, path);
        return -1;
    }
    if (head_len != 0) memcpy(data.get(), head, head_len);
    size_t got = 0;
    if (head_len < size &&
        read_bytes(f, path, data.get() + head_len, static_cast<size_t>(size - head_len), &got) != 0)
        return -1;
    uint64_t len = head_len + got;
    // Some files report a size of 0 and still have contents (/proc and the
    // like): read those to their end rather than load them as empty.
    // Only regular files: a device such as /dev/zero never ends.
    if (size == 0 && csv_platform_is_regular(f) && read_unsized(f, path, &data, &len) != 0)
        return -1;
    data.get()[len] = '\0';
    *out_data = data.release();
    *out_len = len;
    return 0;
}

// The column `col` names (header text first, then 1-based number), or -1
// with "unknown column: %s" and the name as passed.
int32_t resolved_col(const csv_table *t, const char *col) {
    int32_t c = csv_resolve_col(t, col);
    if (c < 0) csv_set_error("unknown column: %s", col);
    return c;
}

// Reads the whole file at `path` into a heap buffer with a NUL after it.
int read_file(const char *path, char **out_data, uint64_t *out_len) {
    *out_data = nullptr;
    *out_len = 0;
    file_handle file(nullptr, fclose);
    uint64_t size = 0;
    if (open_sized(path, &file, &size) != 0) return -1;
    return read_whole(file.get(), path, size, nullptr, 0, out_data, out_len);
}

// Bytes read and decoded at a time from a UTF-16 file; small files are
// read whole.
constexpr uint64_t k_utf16_piece = uint64_t{1} << 18;

// Reads the rest of a UTF-16 file of `size` bytes and decodes it piece by
// piece, so that its bytes are never held whole: only the UTF-8 text grows
// to full size. The first `head_len` bytes are in `head`, the first `skip`
// of them a byte order mark.
int read_utf16(FILE *f, const char *path, uint64_t size, const unsigned char *head,
               size_t head_len, int32_t big_endian, uint64_t skip, char **out_text,
               uint64_t *out_len, int32_t *out_odd) {
    const uint64_t piece_cap = size < k_utf16_piece ? size + 1 : k_utf16_piece;
    heap_bytes piece(static_cast<char *>(csv_malloc(static_cast<size_t>(piece_cap))));
    if (!piece) {
        set_read_oom(piece_cap, path);
        return -1;
    }
    uint64_t cap = csv_utf16_out_cap(size - skip);
    char *out = (cap == 0 || cap > SIZE_MAX) ? nullptr : static_cast<char *>(csv_malloc(cap));
    if (out == nullptr) {
        csv_set_error("out of memory while transcoding UTF-16");
        return -1;
    }
    heap_bytes text(out);
    unsigned char *buf = reinterpret_cast<unsigned char *>(piece.get());
    uint64_t have = head_len - skip;      // bytes waiting in the piece buffer
    uint64_t total = have;                // bytes after the mark read so far
    uint64_t left = size - head_len;      // bytes of the file still unread
    uint64_t w = 0;
    memcpy(buf, head + skip, static_cast<size_t>(have));
    for (;;) {
        if (left > 0) {
            uint64_t want = left < piece_cap - have ? left : piece_cap - have;
            if (want > 4096) want &= ~uint64_t{4095};  // whole blocks skip stdio's buffer
            size_t got = 0;
            if (read_bytes(f, path, buf + have, static_cast<size_t>(want), &got) != 0) return -1;
            have += got;
            total += got;
            left = got < want ? 0 : left - got;  // a short read: the file ended early
        }
        const int32_t last = left == 0;
        uint64_t used = 0;
        (void)text.release();  // the decoder may move or free the buffer
        const int rc = csv_utf16_decode_piece(buf, have, big_endian, last, &out, &cap, &w, &used);
        text.reset(out);
        if (rc != 0) return -1;
        if (last) break;
        // What is left is part of a unit or pair that the next piece ends.
        memmove(buf, buf + used, static_cast<size_t>(have - used));
        have -= used;
    }
    out[w] = '\0';
    if (out_odd) *out_odd = static_cast<int32_t>(total % 2);
    *out_text = text.release();
    *out_len = w;
    return 0;
}

// Copies a parsed private record into the lowest free slot.
int place_in_slot(csv_table *parsed) {
    {
        table_lock lock;
        for (int i = 0; i < CSV_MAX_HANDLES; ++i) {
            if (g_tables[i].in_use == 0) {
                g_tables[i] = *parsed;
                g_tables[i].in_use = 1;
                return i;
            }
        }
    }
    csv_table_free(parsed);
    csv_set_error("too many open handles (max %d)", CSV_MAX_HANDLES);
    return -1;
}

// Records an odd UTF-16 byte count as a warning of the loaded table.
void note_truncated_utf16(csv_table *t) {
    t->truncated_utf16 = 1;
    if (t->n_samples < CSV_MAX_SAMPLES) {
        csv_warning &w = t->samples[t->n_samples++];
        w.kind = CSV_WARN_TRUNCATED_UTF16;
        w.row = t->n_rows + 1;
        w.expected = t->expected_cols;
        w.actual = 0;
    }
}

int csv_load_ex_internal(const char *path, int has_header, int delimiter,
                         int encoding, csv_progress_fn progress,
                         void *user_data) {
    if (path == nullptr) {
        csv_set_error("path is NULL");
        return -1;
    }
    char *raw = nullptr;
    uint64_t len = 0;
    int32_t truncated = 0;
    if (csv_read_source(path, encoding, &raw, &len, &truncated) != 0) return -1;
    heap_bytes text(raw);

    int d = delimiter;
    if (d == 0) {
        uint64_t start = (len >= 3 && memcmp(raw, "\xEF\xBB\xBF", 3) == 0) ? 3 : 0;
        d = csv_detect_delimiter(raw, len, start);
    }
    if (d < 1 || d > 255) {
        csv_set_error("invalid delimiter: %d", delimiter);
        return -1;
    }
    csv_parse_opts opts{};
    opts.delimiter = static_cast<uint32_t>(d);
    opts.progress = progress;
    opts.user_data = user_data;
    opts.total_len = static_cast<int64_t>(len);

    csv_table parsed{};
    // The parser takes the text over and gives back what it has parsed.
    int rc = csv_table_parse_owned(&parsed, text.release(), len, has_header, &opts);
    if (rc != 0) return -1;
    if (truncated) note_truncated_utf16(&parsed);
    return place_in_slot(&parsed);
}

// The capacity the result buffer grows to for `needed` bytes.
uint64_t json_capacity(uint64_t cap, uint64_t needed) {
    uint64_t k = cap;
    if (k == 0) {
        k = 4096;
        if (needed <= k) return k;
    }
    for (;;) {
        if (k > (1ull << 30)) return needed;
        k *= 2;
        if (k >= needed) return k;
    }
}

}  // namespace

// ---- shared inside the library ---------------------------------------------

void csv_set_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_err, sizeof g_err, fmt, ap);
    va_end(ap);
}

void csv_clear_error(void) { g_err[0] = '\0'; }

void csv_table_lock(void) { csv_platform_lock(); }

void csv_table_unlock(void) { csv_platform_unlock(); }

csv_table *csv_table_get(int handle) {
    if (static_cast<unsigned>(handle) >= CSV_MAX_HANDLES) return nullptr;
    csv_table *t = &g_tables[handle];
    return t->in_use ? t : nullptr;
}

char *csv_tls_reserve_json(uint64_t len) {
    uint64_t needed = len + 1;
    if (needed == 0) {
        csv_set_error("out of memory for JSON buffer");
        return nullptr;
    }
    if (g_json_cap < needed) {
        uint64_t k = json_capacity(g_json_cap, needed);
        // On failure the previous text stays readable where it was.
        char *grown = k > SIZE_MAX ? nullptr : static_cast<char *>(csv_realloc(g_json, k));
        if (grown == nullptr) {
            csv_set_error("out of memory for JSON buffer");
            return nullptr;
        }
        if (g_json == nullptr) g_json_release.armed = true;
        g_json = grown;
        g_json_cap = k;
    }
    return g_json;
}

const char *csv_tls_put_json(const char *text, size_t len) {
    if (text == nullptr) {
        csv_set_error("null JSON");
        return nullptr;
    }
    char *buf = csv_tls_reserve_json(len);
    if (buf == nullptr) return nullptr;
    memcpy(buf, text, len);
    buf[len] = '\0';
    return buf;
}

int csv_read_source(const char *path, int32_t encoding, char **out_text,
                    uint64_t *out_len, int32_t *out_truncated) {
    *out_text = nullptr;
    *out_len = 0;
    if (out_truncated) *out_truncated = 0;
    file_handle file(nullptr, fclose);
    uint64_t size = 0;
    if (open_sized(path, &file, &size) != 0) return -1;
    FILE *f = file.get();

    // The encoding is decided from the first 4096 bytes at most.
    unsigned char head[4096];
    size_t n = 0;
    if (read_bytes(f, path, head, static_cast<size_t>(size < sizeof head ? size : sizeof head), &n) != 0)
        return -1;
    const unsigned char *b = head;

    int32_t big_endian = 0;
    uint64_t skip = 0;
    if (encoding == 2 || encoding == 3) {
        big_endian = encoding == 3;
        if (n >= 2 && b[0] == (big_endian ? 0xFE : 0xFF) && b[1] == (big_endian ? 0xFF : 0xFE))
            skip = 2;
    } else if (encoding == 0 && n >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        skip = 2;
    } else if (encoding == 0 && n >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        big_endian = 1;
        skip = 2;
    } else if (encoding == 0 && !(n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF)) {
        // No mark: UTF-16 only when enough pairs hold exactly one zero byte,
        // and more in one byte order than in the other.
        uint64_t le = 0, be = 0;
        for (size_t i = 0; i + 1 < n; i += 2) {
            le += (b[i] != 0 && b[i + 1] == 0);
            be += (b[i] == 0 && b[i + 1] != 0);
        }
        if (le > 8 && le > be) {
            encoding = 2;
        } else if (be > 8 && be > le) {
            encoding = 3;
            big_endian = 1;
        }
    }
    bool decode = encoding == 2 || encoding == 3 || skip != 0;
    if (!decode) return read_whole(f, path, size, head, n, out_text, out_len);
    // A file that ended before its measured size holds only the head.
    if (n < sizeof head) size = n;
    return read_utf16(f, path, size, head, n, big_endian, skip, out_text, out_len, out_truncated);
}

// ---- exported --------------------------------------------------------------

extern "C" {

VELMORA_CSV_API int csv_load(const char *path, int has_header) {
    csv_clear_error();
    if (path == nullptr) {
        csv_set_error("path is NULL");
        return -1;
    }
    char *raw = nullptr;
    uint64_t len = 0;
    if (read_file(path, &raw, &len) != 0) return -1;
    csv_table parsed{};
    // The parser takes the buffer over and gives back what it has parsed.
    int rc = csv_table_parse_owned(&parsed, raw, len, has_header, nullptr);
    if (rc != 0) return -1;
    return place_in_slot(&parsed);
}

VELMORA_CSV_API int csv_load_ex(const char *path, int has_header, int delimiter,
                                int encoding) {
    csv_clear_error();
    return csv_load_ex_internal(path, has_header, delimiter, encoding, nullptr, nullptr);
}

VELMORA_CSV_API int csv_load_ex_progress(const char *path, int has_header,
                                         int delimiter, int encoding,
                                         csv_progress_fn progress,
                                         void *user_data) {
    csv_clear_error();
    return csv_load_ex_internal(path, has_header, delimiter, encoding, progress,
                                user_data);
}

VELMORA_CSV_API int csv_row_count(int handle) {
    csv_clear_error();
    table_lock lock;
    const csv_table *t = checked_table(handle);
    if (t == nullptr) return -1;
    return t->n_rows > INT32_MAX ? INT32_MAX : static_cast<int>(t->n_rows);
}

VELMORA_CSV_API int csv_col_count(int handle) {
    csv_clear_error();
    table_lock lock;
    const csv_table *t = checked_table(handle);
    return t == nullptr ? -1 : t->n_cols;
}

VELMORA_CSV_API void csv_close(int handle) {
    table_lock lock;
    csv_table_free(csv_table_get(handle));
}

VELMORA_CSV_API const char *csv_last_error(void) { return g_err; }

VELMORA_CSV_API const char *csv_headers(int handle) {
    csv_clear_error();
    table_lock lock;
    const csv_table *t = checked_table(handle);
    return t == nullptr ? nullptr : csv_emit_headers(t);
}

VELMORA_CSV_API const char *csv_rows(int handle, int offset, int limit) {
    csv_clear_error();
    table_lock lock;
    const csv_table *t = checked_table(handle);
    if (t == nullptr) return nullptr;
    // Position p of a null row list stands for row p.
    return csv_emit_rows(t, nullptr, t->n_rows, nullptr, 0, offset, limit);
}

VELMORA_CSV_API const char *csv_select(int handle, const char *cols) {
    csv_clear_error();
    if (cols == nullptr) {
        csv_set_error("cols is NULL");
        return nullptr;
    }
    table_lock lock;
    const csv_table *t = checked_table(handle);
    if (t == nullptr) return nullptr;
    int32_t *list = nullptr;
    int32_t n = 0;
    if (csv_parse_col_list(t, cols, &list, &n) != 0) return nullptr;
    heap_cols owned(list);
    return csv_emit_rows(t, nullptr, t->n_rows, list, n, 0, -1);
}

VELMORA_CSV_API const char *csv_search(int handle, const char *col,
                                       const char *query, int case_insensitive) {
    csv_clear_error();
    if (col == nullptr) {
        csv_set_error("col is NULL");
        return nullptr;
    }
    if (query == nullptr) {
        csv_set_error("query is NULL");
        return nullptr;
    }
    table_lock lock;
    const csv_table *t = checked_table(handle);
    if (t == nullptr) return nullptr;
    int32_t c = resolved_col(t, col);
    if (c < 0) return nullptr;
    int64_t *matches = nullptr;
    int64_t n = 0;
    if (csv_search_rows(t, c, query, case_insensitive, &matches, &n) != 0) return nullptr;
    heap_rows owned(matches);
    return csv_emit_rows(t, matches, n, nullptr, 0, 0, -1);
}

VELMORA_CSV_API const char *csv_sort(int handle, const char *col, int descending) {
    csv_clear_error();
    if (col == nullptr) {
        csv_set_error("col is NULL");
        return nullptr;
    }
    table_lock lock;
    const csv_table *t = checked_table(handle);
    if (t == nullptr) return nullptr;
    int32_t c = resolved_col(t, col);
    if (c < 0) return nullptr;
    int64_t *order = nullptr;
    int64_t n = 0;
    if (csv_sort_rows(t, c, descending, &order, &n) != 0) return nullptr;
    heap_rows owned(order);
    return csv_emit_rows(t, order, n, nullptr, 0, 0, -1);
}

VELMORA_CSV_API const char *csv_stats(int handle) {
    csv_clear_error();
    table_lock lock;
    const csv_table *t = checked_table(handle);
    return t == nullptr ? nullptr : csv_emit_stats(t);
}

VELMORA_CSV_API const char *csv_parse_warnings(int handle) {
    csv_clear_error();
    table_lock lock;
    const csv_table *t = checked_table(handle);
    return t == nullptr ? nullptr : csv_emit_warnings(t);
}

VELMORA_CSV_API int csv_parse_warning_count(int handle) {
    csv_clear_error();
    int64_t total;
    {
        table_lock lock;
        const csv_table *t = checked_table(handle);
        if (t == nullptr) return -1;
        total = t->ragged + t->blank + (t->unterminated_quote ? 1 : 0) +
                (t->truncated_utf16 ? 1 : 0);
    }
    return total > INT32_MAX ? INT32_MAX : static_cast<int>(total);
}

}  // extern "C"
