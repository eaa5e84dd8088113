// The exported functions: the handle registry and its lock, the per-thread
// error message and result buffer, and the loaders (reading and decoding a
// source is csv_source's). Every export is a short shell around one internal call.
#include <errno.h>
#include <stdarg.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "csv_internal.h"
#include "csv_platform.h"

namespace {

csv_table g_tables[CSV_MAX_HANDLES];

CSV_THREAD_LOCAL char g_err[CSV_ERR_SIZE];
// The thread's result buffer. Each answer replaces the previous one at its
// start; the buffer keeps its pages from one answer to the next, so that a
// host asking the same large question again pays for writing the text, not
// for fresh pages. What it keeps is bounded: a buffer past k_keep_floor
// shrinks to fit an answer under a quarter of it, and to fit the next
// answer once the last table is closed (by any thread).
CSV_THREAD_LOCAL char *g_json;
CSV_THREAD_LOCAL uint64_t g_json_cap;
CSV_THREAD_LOCAL uint64_t g_json_len;     // bytes of the current answer, its NUL included
CSV_THREAD_LOCAL uint64_t g_json_backed;  // bytes from the start whose pages have been written
CSV_THREAD_LOCAL uint64_t g_json_epoch;   // g_close_epoch when the buffer was last fitted

// Counts the closes that left no table open; a buffer fitted before the
// latest one is fitted again at its thread's next answer.
std::atomic<uint64_t> g_close_epoch{0};

// Buffers up to this size are kept whatever follows: they cost little.
constexpr uint64_t k_keep_floor = uint64_t{1} << 20;
// A buffer more than this many times an answer's size is shrunk for it.
constexpr uint64_t k_keep_ratio = 4;
// A large answer that outgrows a buffer of at most this size gets a block
// of its own, taken before its size is known (csv_tls_json_block): the old
// buffer, which stays beside it until the answer is written, has few pages
// worth reusing. A larger one grows in place and keeps its pages.
constexpr uint64_t k_block_beside = k_keep_floor;

// Frees the thread's result buffer when the thread ends: a host that starts
// and stops threads must not lose one buffer per thread. Armed by the
// buffer's first allocation, so threads that never query pay nothing.
struct json_buffer_release {
    bool armed = false;
    ~json_buffer_release() {
        csv_free(g_json);
        g_json = nullptr;
        g_json_cap = 0;
        g_json_len = 0;
        g_json_backed = 0;
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

// The column `col` names (header text first, then 1-based number), or -1
// with "unknown column: %s" and the name as passed.
int32_t resolved_col(const csv_table *t, const char *col) {
    int32_t c = csv_resolve_col(t, col);
    if (c < 0) csv_set_error("unknown column: %s", col);
    return c;
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

// Parses the text of a source (taken over, freed here), records how it
// was loaded and places the table in a slot. `delimiter` 0 detects it.
int load_text(char *raw, uint64_t len, int has_header, int delimiter, csv_progress_fn progress,
              void *user_data, int32_t truncated, csv_load_info *info) {
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
    info->delimiter = static_cast<uint32_t>(d);
    info->delimiter_detected = delimiter == 0;
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
    parsed.load = *info;
    return place_in_slot(&parsed);
}

// The extended loads: `encoding_name` non-empty names the encoding, else
// `encoding` is the value of csv_load_ex.
int csv_load_ex_internal(const char *path, int has_header, int delimiter, int encoding,
                         const char *encoding_name, csv_progress_fn progress,
                         void *user_data) {
    if (path == nullptr) {
        csv_set_error("path is NULL");
        return -1;
    }
    csv_source_opts src{};
    src.encoding = encoding;
    src.encoding_name = encoding_name;
    src.progress = progress;
    src.user_data = user_data;
    char *raw = nullptr;
    uint64_t len = 0;
    int32_t truncated = 0;
    csv_load_info info{};
    if (csv_read_source_ex(path, &src, &raw, &len, &truncated, &info) != 0) return -1;
    // Text used as it was read may hold bytes of another encoding; decoded
    // text is well-formed by construction.
    const bool named = encoding_name != nullptr && encoding_name[0] != '\0';
    if (!named && strcmp(info.encoding, "utf-8") == 0)
        info.invalid_utf8_bytes = csv_utf8_invalid_count(raw, len);
    return load_text(raw, len, has_header, delimiter, progress, user_data, truncated, &info);
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

namespace {

// Gives back what the buffer keeps beyond an answer of `needed` bytes when
// it holds much more, or when the last table was closed since it was last
// fitted. The previous text is not needed any more, but a failed shrink
// leaves the buffer as it was, which still fits: shrinking never fails a call.
void fit_json_buffer(uint64_t needed) {
    const uint64_t epoch = g_close_epoch.load(std::memory_order_relaxed);
    const bool closed = epoch != g_json_epoch;
    g_json_epoch = epoch;
    if (g_json == nullptr || g_json_cap <= k_keep_floor) return;
    if (!closed && g_json_cap / k_keep_ratio <= needed) return;
    const uint64_t k = json_capacity(0, needed);
    if (k >= g_json_cap) return;
    char *fitted = static_cast<char *>(csv_realloc(g_json, static_cast<size_t>(k)));
    if (fitted == nullptr) return;
    g_json = fitted;
    g_json_cap = k;
    if (g_json_backed > k) g_json_backed = k;
    if (g_json_len > k) g_json_len = 0;  // the old text is cut; it is replaced next
}

}  // namespace

char *csv_tls_reserve_json(uint64_t len, uint64_t *fresh_from) {
    uint64_t needed = len + 1;
    if (needed == 0) {
        csv_set_error("out of memory for JSON buffer");
        return nullptr;
    }
    fit_json_buffer(needed);
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
    // Growing keeps the pages written so far (moved, or copied into the new
    // block), so only those past them are fresh.
    if (fresh_from != nullptr) *fresh_from = g_json_backed;
    if (needed > g_json_backed) g_json_backed = needed;
    g_json_len = needed;
    return g_json;
}

char *csv_tls_json_block(uint64_t len, uint64_t *cap) {
    *cap = 0;
    const uint64_t needed = len + 1;
    // A buffer that holds the answer already, or one too large to keep
    // beside a second block, serves it in place.
    if (needed == 0 || g_json_cap >= needed || g_json_cap > k_block_beside) return nullptr;
    const uint64_t k = json_capacity(0, needed);
    char *block = k > SIZE_MAX ? nullptr : static_cast<char *>(csv_malloc(static_cast<size_t>(k)));
    if (block != nullptr) *cap = k;
    return block;
}

bool csv_tls_json_block_fits(uint64_t cap, uint64_t len) {
    const uint64_t needed = len + 1;
    return needed != 0 && needed <= cap && cap / k_keep_ratio <= needed;
}

char *csv_tls_json_block_fit(char *block, uint64_t *cap, uint64_t len) {
    const uint64_t needed = len + 1;
    const uint64_t k = needed == 0 ? 0 : json_capacity(0, needed);
    if (k == 0 || k > SIZE_MAX) {
        csv_free(block);
        *cap = 0;
        return nullptr;
    }
    if (k == *cap) return block;
    char *fitted = static_cast<char *>(csv_realloc(block, static_cast<size_t>(k)));
    if (fitted == nullptr) {
        if (*cap >= needed) return block;  // a shrink that failed: still holds it
        csv_free(block);
        *cap = 0;
        return nullptr;
    }
    *cap = k;
    return fitted;
}

char *csv_tls_adopt_json(char *block, uint64_t cap, uint64_t len, uint64_t backed) {
    CSV_ASSERT(block != nullptr && len < cap);
    if (g_json == nullptr) g_json_release.armed = true;
    csv_free(g_json);
    g_json = block;
    g_json_cap = cap;
    g_json_len = len + 1;
    g_json_backed = backed > cap ? cap : backed > len + 1 ? backed : len + 1;
    g_json_epoch = g_close_epoch.load(std::memory_order_relaxed);
    return g_json;
}

void csv_tls_json_release_kept(void) {
    g_close_epoch.fetch_add(1, std::memory_order_relaxed);
    g_json_epoch = g_close_epoch.load(std::memory_order_relaxed);
    if (g_json == nullptr || g_json_cap <= k_keep_floor || g_json_backed <= g_json_len) return;
    // The current answer stays readable until the thread's next one; the
    // pages past it go back to the system now.
    csv_platform_discard(g_json + g_json_len, static_cast<size_t>(g_json_backed - g_json_len));
    g_json_backed = g_json_len;
}

void csv_tls_json_pages(int64_t *capacity, int64_t *backed) {
    if (capacity != nullptr) *capacity = static_cast<int64_t>(g_json_cap);
    if (backed != nullptr) *backed = static_cast<int64_t>(g_json_backed);
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
    csv_source_opts src{};
    src.encoding = encoding;
    return csv_read_source_ex(path, &src, out_text, out_len, out_truncated, nullptr);
}

// ---- exported --------------------------------------------------------------

extern "C" {

VELMORA_CSV_API int csv_load(const char *path, int has_header) {
    csv_clear_error();
    if (path == nullptr) {
        csv_set_error("path is NULL");
        return -1;
    }
    csv_source_opts src{};
    src.encoding = 1;  // the bytes as they are
    char *raw = nullptr;
    uint64_t len = 0;
    csv_load_info info{};
    if (csv_read_source_ex(path, &src, &raw, &len, nullptr, &info) != 0) return -1;
    info.delimiter = ',';
    info.invalid_utf8_bytes = csv_utf8_invalid_count(raw, len);
    csv_table parsed{};
    // The parser takes the buffer over and gives back what it has parsed.
    int rc = csv_table_parse_owned(&parsed, raw, len, has_header, nullptr);
    if (rc != 0) return -1;
    parsed.load = info;
    return place_in_slot(&parsed);
}

VELMORA_CSV_API int csv_load_ex(const char *path, int has_header, int delimiter,
                                int encoding) {
    csv_clear_error();
    return csv_load_ex_internal(path, has_header, delimiter, encoding, nullptr, nullptr, nullptr);
}

VELMORA_CSV_API int csv_load_ex_progress(const char *path, int has_header,
                                         int delimiter, int encoding,
                                         csv_progress_fn progress,
                                         void *user_data) {
    csv_clear_error();
    return csv_load_ex_internal(path, has_header, delimiter, encoding, nullptr, progress,
                                user_data);
}

VELMORA_CSV_API int csv_load_encoding(const char *path, int has_header, int delimiter,
                                      const char *encoding, csv_progress_fn progress,
                                      void *user_data) {
    csv_clear_error();
    return csv_load_ex_internal(path, has_header, delimiter, 0, encoding, progress, user_data);
}

VELMORA_CSV_API int csv_range_scan(const char *path, int delimiter, int encoding,
                                   const char *encoding_name, int64_t offset, int64_t length,
                                   int32_t *out_map) {
    csv_clear_error();
    if (path == nullptr) {
        csv_set_error("path is NULL");
        return -1;
    }
    if (out_map == nullptr) {
        csv_set_error("out_map is NULL");
        return -1;
    }
    return csv_range_map(path, delimiter, encoding, encoding_name, offset, length, out_map);
}

VELMORA_CSV_API int csv_load_range(const char *path, int has_header, int delimiter, int encoding,
                                   const char *encoding_name, int64_t offset, int64_t length,
                                   int start_state, csv_progress_fn progress, void *user_data) {
    csv_clear_error();
    if (path == nullptr) {
        csv_set_error("path is NULL");
        return -1;
    }
    csv_table parsed{};
    csv_load_info info{};
    int32_t truncated = 0;
    const int rc = csv_range_load(path, has_header, delimiter, encoding, encoding_name, offset,
                                  length, start_state, progress, user_data, &parsed, &info,
                                  &truncated);
    if (rc == 1)  // a gzip file, asked for whole
        return csv_load_ex_internal(path, has_header, delimiter, encoding, encoding_name, progress,
                                    user_data);
    if (rc != 0) return -1;
    if (truncated) note_truncated_utf16(&parsed);
    parsed.load = info;
    return place_in_slot(&parsed);
}

VELMORA_CSV_API const char *csv_version(void) { return VELMORA_CSV_VERSION; }

VELMORA_CSV_API const char *csv_info(int handle) {
    csv_clear_error();
    table_lock lock;
    const csv_table *t = checked_table(handle);
    return t == nullptr ? nullptr : csv_emit_info(t);
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
    csv_table *t = csv_table_get(handle);
    if (t == nullptr) return;
    csv_table_free(t);
    for (const csv_table &other : g_tables)
        if (other.in_use) return;
    csv_tls_json_release_kept();
}

VELMORA_CSV_API const char *csv_last_error(void) { return g_err; }

VELMORA_CSV_API const char *csv_headers(int handle) {
    csv_clear_error();
    table_lock lock;
    const csv_table *t = checked_table(handle);
    return t == nullptr ? nullptr : csv_emit_headers(t);
}

VELMORA_CSV_API const char *csv_rows64(int handle, int64_t offset, int64_t limit) {
    csv_clear_error();
    table_lock lock;
    const csv_table *t = checked_table(handle);
    if (t == nullptr) return nullptr;
    // Position p of a null row list stands for row p.
    return csv_emit_rows(t, nullptr, t->n_rows, nullptr, 0, offset, limit);
}

VELMORA_CSV_API const char *csv_rows(int handle, int offset, int limit) {
    return csv_rows64(handle, offset, limit);
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

VELMORA_CSV_API int csv_arrow_stream(int handle, const char *cols, int flags,
                                     struct ArrowArrayStream *out) {
    csv_clear_error();
    if (out == nullptr) {
        csv_set_error("out is NULL");
        return -1;
    }
    if ((flags & ~(CSV_ARROW_TYPED | CSV_ARROW_NULL_MARKERS | CSV_ARROW_SMALL_BATCHES)) != 0) {
        csv_set_error("invalid flags: %d", flags);
        return -1;
    }
    table_lock lock;
    csv_table *t = csv_table_get(handle);
    if (t == nullptr) {
        csv_set_error("invalid handle: %d", handle);
        return -1;
    }
    return csv_arrow_build(t, cols, flags, out);
}

}  // extern "C"
