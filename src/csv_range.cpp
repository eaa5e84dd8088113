// Loading one byte range of a file: the records that start in it, so that a
// file cut into blocks anywhere loads block by block with every record in
// exactly one block. Where records start is decided by the record parser's
// own automaton run over the file's bytes (or UTF-16 code units): one pass
// over a block from every state at once gives the block's state map, and
// the maps of the blocks before a block, composed in order, give the exact
// state at its first byte. Quoted fields holding line ends, text after a
// closing quote and quotes inside unquoted fields are all read as the
// parser reads them, so the boundaries are exact for any input.
#include <errno.h>
#include <string.h>

#include <memory>

#include "csv_internal.h"
#include "csv_platform.h"

namespace {

using uchar = unsigned char;
using heap_bytes = std::unique_ptr<char, csv_free_deleter>;

// The parser's state between two units of the text.
enum : uint8_t {
    st_record = 0,  // a record starts at the next unit (the state at the file's start)
    st_field,       // a field other than a record's first starts
    st_unquoted,    // inside an unquoted field, or after a closing quote
    st_quoted,      // inside a quoted field
    st_quote_seen,  // a quote inside a quoted field: doubled or closing
    st_cr,          // a CR ended the record: an LF right after belongs to it
};
static_assert(CSV_RANGE_STATES == 6, "one map entry per parser state");

constexpr uint32_t k_other = 256;                    // a unit that is no special character
constexpr uint64_t k_none = UINT64_MAX;              // no record starts in the stretch
constexpr uint64_t k_chunk = uint64_t{1} << 20;      // bytes read at a time when only states are wanted
constexpr uint64_t k_first_tail = uint64_t{1} << 16; // first read past the block for its last record
constexpr uint64_t k_first_head = uint64_t{1} << 16; // first read of the file's first record

const char k_msg_oom[] = "out of memory while loading a byte range";

// The parser's steps, in its own order of tests: at a field's start a quote
// opens a quoted field before anything else; elsewhere the delimiter is
// tested before CR and LF.
uint8_t field_start(uint32_t c, uint32_t delim) {
    if (c == '"') return st_quoted;
    if (c == delim) return st_field;
    if (c == '\r') return st_cr;
    if (c == '\n') return st_record;
    return st_unquoted;
}

uint8_t unquoted(uint32_t c, uint32_t delim) {
    if (c == delim) return st_field;
    if (c == '\r') return st_cr;
    if (c == '\n') return st_record;
    return st_unquoted;
}

uint8_t step(uint8_t s, uint32_t c, uint32_t delim) {
    switch (s) {
        case st_record:
        case st_field: return field_start(c, delim);
        case st_cr: return c == '\n' ? uint8_t{st_record} : field_start(c, delim);
        case st_unquoted: return unquoted(c, delim);
        case st_quoted: return c == '"' ? st_quote_seen : st_quoted;
        default: return c == '"' ? uint8_t{st_quoted} : unquoted(c, delim);  // st_quote_seen
    }
}

// A record starts at a unit `c` met in state `s`.
inline bool starts_record(uint8_t s, uint32_t c) {
    return s == st_record || (s == st_cr && c != '\n');
}

struct automaton {
    uint8_t next[CSV_RANGE_STATES][k_other + 1];
    uint64_t unit = 1;  // bytes per unit: 1, or 2 for UTF-16
    bool big_endian = false;
    uint32_t delim = 0;

    void build(uint32_t delim_unit) {
        delim = delim_unit;
        for (uint8_t s = 0; s < CSV_RANGE_STATES; ++s)
            for (uint32_t c = 0; c <= k_other; ++c) next[s][c] = step(s, c, delim_unit);
    }
    // The unit at `p`, with every value past a byte's range as k_other.
    uint32_t at(const uchar *p) const {
        if (unit == 1) return *p;
        const uint32_t u = big_endian ? (uint32_t{p[0]} << 8 | p[1]) : (uint32_t{p[1]} << 8 | p[0]);
        return u < k_other ? u : k_other;
    }
    // `n` cut down to whole units.
    uint64_t whole(uint64_t n) const { return n - n % unit; }
};

// Test seam: the byte-at-a-time runs only, as the reference for the skips.
thread_local bool t_bytewise = false;

// Whether quotes alone need looking at: single bytes, and a delimiter that
// is none of the characters the skip reads past.
bool skips_to_quotes(const automaton &a) {
    return a.unit == 1 && a.delim != '"' && a.delim != '\r' && a.delim != '\n' && !t_bytewise;
}

// The state after the bytes of p[0..n), from quote to quote: inside a quoted
// field only a quote matters; outside one, any other byte leads to the state
// its own value gives from every state there (a quote's meaning depends on
// the state before it, which the byte before it decides).
uint8_t run_quotes(const automaton &a, const uchar *p, uint64_t n, uint8_t s) {
    const uchar *const end = p + n;
    while (p < end) {
        const uchar *q = static_cast<const uchar *>(memchr(p, '"', static_cast<size_t>(end - p)));
        const uchar *stop = q == nullptr ? end : q;
        if (s != st_quoted && stop > p) s = a.next[st_unquoted][stop[-1]];
        if (q == nullptr) return s;
        s = a.next[s]['"'];
        p = q + 1;
    }
    return s;
}

// The state after the units of p[0..n).
uint8_t run_state(const automaton &a, const uchar *p, uint64_t n, uint8_t s) {
    if (skips_to_quotes(a)) return run_quotes(a, p, n, s);
    if (a.unit == 1) {
        for (uint64_t i = 0; i < n; ++i) s = a.next[s][p[i]];
        return s;
    }
    for (uint64_t i = 0; i + 2 <= n; i += 2) s = a.next[s][a.at(p + i)];
    return s;
}

// Runs the map over the units of p[0..n): map[s] becomes the state reached
// from map[s]. With quotes to skip to, each distinct state runs on its own
// (after one unit, the states outside quotes meet, so most of a block runs
// at most two); else one pass steps the distinct states together and states
// that meet stay together.
void run_map(const automaton &a, const uchar *p, uint64_t n, uint8_t map[CSV_RANGE_STATES]) {
    if (skips_to_quotes(a)) {
        if (n == 0) return;
        uint8_t after[CSV_RANGE_STATES];  // by the state after the first byte
        bool known[CSV_RANGE_STATES] = {};
        for (int s = 0; s < CSV_RANGE_STATES; ++s) {
            const uint8_t first = a.next[map[s]][p[0]];
            if (!known[first]) after[first] = run_quotes(a, p + 1, n - 1, first), known[first] = true;
            map[s] = after[first];
        }
        return;
    }
    uint8_t cur[CSV_RANGE_STATES];
    uint8_t which[CSV_RANGE_STATES];
    int k = 0;
    for (int s = 0; s < CSV_RANGE_STATES; ++s) {
        int j = 0;
        while (j < k && cur[j] != map[s]) ++j;
        if (j == k) cur[k++] = map[s];
        which[s] = static_cast<uint8_t>(j);
    }
    for (uint64_t i = 0; i + a.unit <= n; i += a.unit) {
        const uint32_t u = a.at(p + i);
        for (int j = 0; j < k; ++j) cur[j] = a.next[cur[j]][u];
        for (int j = k - 1; j > 0; --j) {
            int l = 0;
            while (l < j && cur[l] != cur[j]) ++l;
            if (l == j) continue;
            // cur[j] met cur[l]: its starts follow l, and j's slot goes.
            for (int s = 0; s < CSV_RANGE_STATES; ++s) {
                if (which[s] == j) which[s] = static_cast<uint8_t>(l);
                else if (which[s] > j) which[s] -= 1;
            }
            for (int m = j; m + 1 < k; ++m) cur[m] = cur[m + 1];
            --k;
        }
    }
    for (int s = 0; s < CSV_RANGE_STATES; ++s) map[s] = cur[which[s]];
}

// The first record start at a file position in [from, to) (whole units),
// where `base` holds the file's bytes from position `base_pos` on and `*s`
// is the state before `from`. `*s` ends as the state before the position
// returned, or at `to` when none is found (k_none).
uint64_t find_start(const automaton &a, const uchar *base, uint64_t base_pos, uint64_t from,
                    uint64_t to, uint8_t *s) {
    uint8_t st = *s;
    for (uint64_t pos = from; pos + a.unit <= to; pos += a.unit) {
        const uint32_t u = a.at(base + (pos - base_pos));
        if (starts_record(st, u)) {
            *s = st;
            return pos;
        }
        st = a.next[st][u];
    }
    *s = st;
    return k_none;
}

// One open file and what the loads of its ranges need to know of it.
struct range_source {
    const char *path = nullptr;
    FILE *f = nullptr;
    uint64_t size = 0;
    bool gzip = false;
    int32_t kind = CSV_TEXT_UNCHANGED;
    const char *name = nullptr;  // a named encoding, else null
    void *cd = nullptr;          // its converter
    uint64_t skip = 0;           // UTF-16 mark bytes the decoder drops
    uint64_t first = 0;          // where the first record starts: past any mark
    int32_t bom = 0;
    uint32_t delim = 0;
    bool delim_detected = false;
    automaton a;

    range_source() = default;
    range_source(const range_source &) = delete;
    range_source &operator=(const range_source &) = delete;
    ~range_source() {
        if (f != nullptr) fclose(f);
        csv_iconv_close(cd);
    }
};

// Reads up to `n` bytes at `offset`; `*got` is less only at the file's end.
int read_at(const range_source &src, void *dst, uint64_t n, uint64_t offset, uint64_t *got) {
    *got = 0;
    while (*got < n) {
        uint64_t want = n - *got;
        if (want > k_chunk * 64) want = k_chunk * 64;
        const int64_t r = csv_platform_pread(src.f, static_cast<char *>(dst) + *got,
                                             static_cast<size_t>(want), offset + *got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            csv_set_error("cannot read file: %s (%s)", src.path, strerror(errno));
            return -1;
        }
        if (r == 0) break;
        *got += static_cast<uint64_t>(r);
    }
    return 0;
}

// A buffer of `n` bytes, its NUL and the room a parse keeps past it.
char *alloc_text(uint64_t n) {
    const uint64_t cap = n + 1 + CSV_OWNED_SPARE;
    char *p = cap < n || cap > SIZE_MAX ? nullptr : static_cast<char *>(csv_malloc(static_cast<size_t>(cap)));
    if (p == nullptr) csv_set_error(k_msg_oom);
    return p;
}

// Reads the bytes [from, from + n) into a fresh text buffer with room for
// `extra` bytes more; `*got` as for read_at.
int read_block(const range_source &src, uint64_t from, uint64_t n, uint64_t extra, heap_bytes *out,
               uint64_t *got) {
    out->reset(n + extra < n ? nullptr : alloc_text(n + extra));
    if (!*out) return -1;
    if (read_at(src, out->get(), n, from, got) != 0) return -1;
    out->get()[*got] = '\0';
    return 0;
}

// Decodes the file bytes raw[0..len) (taken over) into UTF-8 text with a NUL
// after it, as a whole load decodes them; `skip` bytes of a UTF-16 mark are
// dropped. `*odd` is set when UTF-16 text ends in half a unit.
int decode(const range_source &src, heap_bytes raw, uint64_t len, uint64_t skip, heap_bytes *out,
           uint64_t *out_len, int32_t *odd, uint64_t *replaced) {
    *odd = 0;
    const uchar *bytes = reinterpret_cast<const uchar *>(raw.get());
    switch (src.kind) {
        case CSV_TEXT_UNCHANGED:
            *out = std::move(raw);
            *out_len = len;
            return 0;
        case CSV_TEXT_UTF8_CHECKED: {
            char *text = raw.release();
            uint64_t n = len;
            if (csv_utf8_replace_invalid(&text, &n, src.name, replaced) != 0) {
                csv_free(text);
                return -1;
            }
            out->reset(text);
            *out_len = n;
            return 0;
        }
        case CSV_TEXT_UTF16LE:
        case CSV_TEXT_UTF16BE: {
            char *text = nullptr;
            if (csv_utf16_to_utf8(bytes, len, src.kind == CSV_TEXT_UTF16BE, skip, &text, out_len,
                                  odd) != 0)
                return -1;
            out->reset(text);
            return 0;
        }
        default: {
            uint64_t cap = len + len / 4 + 64, w = 0, used = 0;
            char *text = static_cast<char *>(csv_malloc(static_cast<size_t>(cap)));
            if (text == nullptr) {
                csv_set_error("out of memory while transcoding %s", src.name);
                return -1;
            }
            const int rc = csv_iconv_piece(src.cd, src.name, bytes, len, 1, &text, &cap, &w, &used,
                                           replaced);
            out->reset(text);
            if (rc != 0) return -1;
            text[w] = '\0';
            *out_len = w;
            return 0;
        }
    }
}

// The delimiter detection of a whole load stops at the first line end
// outside its quotes: true once text[start..len) holds one.
bool detection_ends(const char *text, uint64_t len, uint64_t start) {
    bool quoted = false;
    for (uint64_t i = start; i < len; ++i) {
        if (text[i] == '"') quoted = !quoted;
        else if (!quoted && (text[i] == '\n' || text[i] == '\r')) return true;
    }
    return false;
}

// Opens the file, chooses its encoding as a whole load would, and checks
// that its text may be cut into ranges.
int open_source(range_source &src, const char *path, int encoding, const char *name) {
    src.path = path;
    const bool named = name != nullptr && name[0] != '\0';
    if (named && strlen(name) >= CSV_ENCODING_NAME_MAX) {
        csv_set_error("unknown encoding: %s", name);
        return -1;
    }
    src.f = csv_platform_fopen(path);
    if (src.f == nullptr) {
        csv_set_error("cannot open file: %s (%s)", path, strerror(errno));
        return -1;
    }
    if (!csv_platform_is_regular(src.f)) {
        csv_set_error("cannot load a byte range of %s: not a regular file", path);
        return -1;
    }
    const int64_t size = csv_platform_size(src.f);
    if (size < 0) {
        csv_set_error("cannot stat file: %s", path);
        return -1;
    }
    src.size = static_cast<uint64_t>(size);
    uchar head[4096];
    uint64_t n = 0;
    if (read_at(src, head, sizeof head, 0, &n) != 0) return -1;
    if (n >= 3 && head[0] == 0x1F && head[1] == 0x8B && head[2] == 0x08) {
        src.gzip = true;
        return 0;
    }
    src.kind = csv_source_text_kind(encoding, name, head, static_cast<size_t>(n), &src.skip, &src.bom);
    if (named) src.name = name;
    if (src.kind == CSV_TEXT_NAMED) {
        if (csv_iconv_open(name, &src.cd) != 0) return -1;
        if (!csv_iconv_single_byte(src.cd)) {
            csv_set_error("cannot load a byte range of %s text: a character may span the cut "
                          "(load the whole file)", name);
            return -1;
        }
    }
    if (src.kind == CSV_TEXT_UTF16LE || src.kind == CSV_TEXT_UTF16BE) {
        src.a.unit = 2;
        src.a.big_endian = src.kind == CSV_TEXT_UTF16BE;
        // The parser also drops a U+FEFF that starts the decoded text.
        src.first = src.skip;
        if (n >= src.skip + 2) {
            const uchar *u = head + src.skip;
            const uint32_t c = src.a.big_endian ? (uint32_t{u[0]} << 8 | u[1]) : (uint32_t{u[1]} << 8 | u[0]);
            if (c == 0xFEFF) src.first += 2;
        }
    } else if (src.kind != CSV_TEXT_NAMED && n >= 3 && head[0] == 0xEF && head[1] == 0xBB &&
               head[2] == 0xBF) {
        src.first = 3;
    }
    return 0;
}

// Settles the delimiter (detected from the file's first record as a whole
// load does) and builds the automaton.
int settle_delimiter(range_source &src, int delimiter) {
    uint32_t d = static_cast<uint32_t>(delimiter);
    if (delimiter == 0) {
        uint64_t n = src.size < k_first_head ? src.size : k_first_head;
        for (;;) {
            heap_bytes raw;
            uint64_t got = 0;
            if (read_block(src, 0, n, 0, &raw, &got) != 0) return -1;
            heap_bytes text;
            uint64_t len = 0, replaced = 0;
            int32_t odd = 0;
            if (decode(src, std::move(raw), got, src.skip, &text, &len, &odd, &replaced) != 0)
                return -1;
            const uint64_t start = len >= 3 && memcmp(text.get(), "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
            if (got < n || n >= src.size || detection_ends(text.get(), len, start)) {
                d = static_cast<uint32_t>(csv_detect_delimiter(text.get(), len, start));
                break;
            }
            n = n * 2 < src.size ? n * 2 : src.size;
        }
        src.delim_detected = true;
    } else if (delimiter < 1 || delimiter > 255) {
        csv_set_error("invalid delimiter: %d", delimiter);
        return -1;
    } else if (d >= 0x80 && src.kind != CSV_TEXT_UNCHANGED) {
        // Decoded text holds that byte inside other characters.
        csv_set_error("cannot load a byte range of %s text with the delimiter byte %d: "
                      "use an ASCII delimiter", src.name != nullptr ? src.name : "UTF-16", delimiter);
        return -1;
    }
    src.delim = d;
    src.a.build(d);
    return 0;
}

// Parses the file's first record into `*out`: its fields name the columns
// of every block when the file has a header, and its width is the one the
// blocks' records are checked against.
int read_first_record(const range_source &src, csv_table *out) {
    const automaton &a = src.a;
    uint64_t n = src.size < k_first_head ? src.size : k_first_head;
    uint64_t end = k_none;
    heap_bytes raw;
    uint64_t got = 0;
    for (;;) {
        if (read_block(src, 0, n, 0, &raw, &got) != 0) return -1;
        const uchar *p = reinterpret_cast<const uchar *>(raw.get());
        if (src.first + a.unit <= got) {
            uint8_t s = a.next[st_record][a.at(p + src.first)];
            end = find_start(a, p, 0, src.first + a.unit, a.whole(got), &s);
        }
        if (end != k_none || got < n || n >= src.size) break;
        n = n * 2 < src.size ? n * 2 : src.size;
    }
    const uint64_t len = end != k_none ? end : got;
    heap_bytes text;
    uint64_t text_len = 0, replaced = 0;
    int32_t odd = 0;
    if (decode(src, std::move(raw), len, src.skip, &text, &text_len, &odd, &replaced) != 0)
        return -1;
    csv_parse_opts opts{};
    opts.delimiter = src.delim;
    return csv_table_parse_ex(out, text.get(), text_len, 1, &opts);
}

// The state at file position `pos`, run from the file's start.
int state_at(const range_source &src, uint64_t pos, uint8_t *out) {
    uint8_t s = st_record;
    uint64_t from = src.first;
    if (from < pos) {
        heap_bytes chunk(static_cast<char *>(csv_malloc(static_cast<size_t>(k_chunk))));
        if (!chunk) {
            csv_set_error(k_msg_oom);
            return -1;
        }
        while (from < pos) {
            const uint64_t want = pos - from < k_chunk ? pos - from : k_chunk;
            uint64_t got = 0;
            if (read_at(src, chunk.get(), want, from, &got) != 0) return -1;
            s = run_state(src.a, reinterpret_cast<const uchar *>(chunk.get()), src.a.whole(got), s);
            if (got < want) break;
            from += got;
        }
    }
    *out = s;
    return 0;
}

// Checks a range and clamps it to the file: [*lo, *hi).
int clamp_range(const range_source &src, int64_t offset, int64_t length, uint64_t *lo, uint64_t *hi) {
    if (offset < 0 || length < 0) {
        csv_set_error("invalid byte range: offset %lld, length %lld", static_cast<long long>(offset),
                      static_cast<long long>(length));
        return -1;
    }
    const uint64_t off = static_cast<uint64_t>(offset), len = static_cast<uint64_t>(length);
    if (src.a.unit == 2 && (off % 2 != 0 || (len % 2 != 0 && len < src.size - (off < src.size ? off : src.size)))) {
        csv_set_error("UTF-16 text splits only at even offsets: offset %lld, length %lld",
                      static_cast<long long>(offset), static_cast<long long>(length));
        return -1;
    }
    *lo = off < src.size ? off : src.size;
    *hi = len < src.size - *lo ? *lo + len : src.size;
    return 0;
}

void set_info(const range_source &src, int encoding, csv_load_info *info) {
    *info = csv_load_info{};
    const char *enc = src.name != nullptr ? src.name
                      : src.kind == CSV_TEXT_UTF16LE ? "utf-16le"
                      : src.kind == CSV_TEXT_UTF16BE ? "utf-16be" : "utf-8";
    const size_t n = strlen(enc) < CSV_ENCODING_NAME_MAX ? strlen(enc) : CSV_ENCODING_NAME_MAX - 1;
    memcpy(info->encoding, enc, n);
    info->bom = src.bom;
    info->encoding_detected = src.name == nullptr && encoding == 0;
    info->delimiter_detected = src.delim_detected;
    info->delimiter = src.delim;
    info->file_size = src.size;
}

// A block in which no record starts: no rows, and the columns of the file's
// first record when it was read (`first`, taken over).
int empty_table(const range_source &src, int has_header, csv_table *first, csv_table *out) {
    if (first->in_use == 0) return csv_table_parse(out, "", 0, 0);
    *out = *first;
    *first = csv_table{};
    out->ragged = out->blank = 0;
    out->unterminated_quote = 0;
    out->unterminated_row = 0;
    out->n_samples = 0;
    if (!has_header) {
        for (int32_t k = 0; k < out->n_cols; ++k) {
            char name[16];
            const int len = snprintf(name, sizeof name, "%d", k + 1);
            if (csv_blob_append(out, name, static_cast<uint64_t>(len), &out->headers[k]) != 0) {
                csv_table_free(out);
                csv_set_error(k_msg_oom);
                return -1;
            }
        }
    }
    (void)src;
    return 0;
}

// Grows `buf` (holding `have` bytes) by reading up to `want` more bytes at
// file position `pos`; `*got` as for read_at.
int read_more(const range_source &src, heap_bytes *buf, uint64_t have, uint64_t *cap,
              uint64_t want, uint64_t pos, uint64_t *got) {
    const uint64_t need = have + want + 1 + CSV_OWNED_SPARE;
    if (need > *cap) {
        const uint64_t grown = need > *cap * 2 ? need : *cap * 2;
        char *p = grown > SIZE_MAX ? nullptr : static_cast<char *>(csv_realloc(buf->get(), static_cast<size_t>(grown)));
        if (p == nullptr) {
            csv_set_error(k_msg_oom);
            return -1;
        }
        (void)buf->release();
        buf->reset(p);
        *cap = grown;
    }
    return read_at(src, buf->get() + have, want, pos, got);
}

}  // namespace

void csv_range_bytewise_for_tests(int on) { t_bytewise = on != 0; }

int csv_range_map(const char *path, int delimiter, int encoding, const char *encoding_name,
                  int64_t offset, int64_t length, int32_t *out_map) {
    range_source src;
    if (open_source(src, path, encoding, encoding_name) != 0) return -1;
    if (src.gzip) {
        csv_set_error("cannot scan a byte range of a gzip file: %s (a gzip file loads whole)", path);
        return -1;
    }
    uint64_t lo = 0, hi = 0;
    if (clamp_range(src, offset, length, &lo, &hi) != 0) return -1;
    if (settle_delimiter(src, delimiter) != 0) return -1;
    uint8_t map[CSV_RANGE_STATES];
    for (int s = 0; s < CSV_RANGE_STATES; ++s) map[s] = static_cast<uint8_t>(s);
    uint64_t from = lo > src.first ? lo : src.first;  // a mark's bytes change no state
    if (from < hi) {
        heap_bytes chunk(static_cast<char *>(csv_malloc(static_cast<size_t>(k_chunk))));
        if (!chunk) {
            csv_set_error(k_msg_oom);
            return -1;
        }
        while (from < hi) {
            const uint64_t want = hi - from < k_chunk ? hi - from : k_chunk;
            uint64_t got = 0;
            if (read_at(src, chunk.get(), want, from, &got) != 0) return -1;
            run_map(src.a, reinterpret_cast<const uchar *>(chunk.get()), src.a.whole(got), map);
            if (got < want) break;
            from += got;
        }
    }
    for (int s = 0; s < CSV_RANGE_STATES; ++s) out_map[s] = map[s];
    return 0;
}

int csv_range_load(const char *path, int has_header, int delimiter, int encoding,
                   const char *encoding_name, int64_t offset, int64_t length, int start_state,
                   csv_progress_fn progress, void *user_data, csv_table *out,
                   csv_load_info *info, int32_t *truncated) {
    *truncated = 0;
    if (start_state < -1 || start_state >= CSV_RANGE_STATES) {
        csv_set_error("invalid start state: %d", start_state);
        return -1;
    }
    range_source src;
    if (open_source(src, path, encoding, encoding_name) != 0) return -1;
    if (src.gzip) {
        if (offset == 0 && length >= 0 && static_cast<uint64_t>(length) >= src.size) return 1;
        csv_set_error("cannot load a byte range of a gzip file: %s (a gzip file loads whole)", path);
        return -1;
    }
    uint64_t lo = 0, hi = 0;
    if (clamp_range(src, offset, length, &lo, &hi) != 0) return -1;
    if (settle_delimiter(src, delimiter) != 0) return -1;
    set_info(src, encoding, info);
    const automaton &a = src.a;

    // A block past the first record reads it for the columns.
    csv_table first{};
    struct table_guard {
        csv_table *t;
        ~table_guard() { csv_table_free(t); }
    } first_guard{&first};
    if (lo > src.first && read_first_record(src, &first) != 0) return -1;

    uint8_t s = 0;
    if (start_state >= 0) s = static_cast<uint8_t>(start_state);
    else if (state_at(src, lo, &s) != 0) return -1;

    // The block's bytes; a block that may hold the first record is read from
    // the file's start, so that its text starts as a whole load's does.
    const uint64_t base = lo <= src.first ? 0 : lo;
    heap_bytes buf;
    uint64_t have = 0;
    // Room for the first read past the block: most last records end in it,
    // and growing the block's buffer would copy all of it.
    if (read_block(src, base, hi - base, k_first_tail, &buf, &have) != 0) return -1;
    uint64_t cap = hi - base + k_first_tail + 1 + CSV_OWNED_SPARE;
    const uint64_t end = base + have;  // shorter than hi when the file shrank
    const uchar *p = reinterpret_cast<const uchar *>(buf.get());
    const uint64_t scan_from = lo > src.first ? lo : src.first;
    const uint64_t begin = find_start(a, p, base, scan_from, base + a.whole(end - base), &s);
    if (begin == k_none) return empty_table(src, has_header, &first, out);

    // Where the block's last record ends: the first record start at or past
    // the block's end, read on past it as far as that record needs.
    s = run_state(a, p + (begin - base), a.whole(end - begin), s);
    uint64_t finish = k_none;
    uint64_t pos = begin + a.whole(end - begin);
    uint64_t want = k_first_tail;
    while (finish == k_none) {
        uint64_t got = 0;
        if (pos < src.size && read_more(src, &buf, pos - base, &cap, want, pos, &got) != 0) return -1;
        p = reinterpret_cast<const uchar *>(buf.get());
        // Half a UTF-16 unit waits for the next read.
        const uint64_t upto = pos + a.whole(got);
        finish = find_start(a, p, base, pos, upto, &s);
        if (finish == k_none && got < want) finish = pos + got;  // the file's end
        pos = upto;
        if (want < (uint64_t{64} << 20)) want *= 2;
    }
    if (finish > src.size) finish = src.size;

    const bool holds_first = begin == src.first;
    const uint64_t from = holds_first ? 0 : begin;
    const uint64_t len = finish - from;
    memmove(buf.get(), buf.get() + (from - base), static_cast<size_t>(len));
    buf.get()[len] = '\0';
    heap_bytes text;
    uint64_t text_len = 0;
    if (decode(src, std::move(buf), len, holds_first ? src.skip : 0, &text, &text_len, truncated,
               &info->replaced_bytes) != 0)
        return -1;
    // As a whole load counts them: bytes of text used as read that are not
    // UTF-8. A block counts its own records' bytes, so the blocks' counts
    // add up to the whole file's.
    if (src.name == nullptr && strcmp(info->encoding, "utf-8") == 0)
        info->invalid_utf8_bytes = csv_utf8_invalid_count(text.get(), text_len);

    csv_parse_opts opts{};
    opts.delimiter = src.delim;
    opts.progress = progress;
    opts.user_data = user_data;
    opts.total_len = static_cast<int64_t>(text_len);
    opts.columns_from = holds_first ? nullptr : &first;
    opts.keep_mark = !holds_first;
    opts.more_follows = finish + a.unit <= src.size;
    return csv_table_parse_owned(out, text.release(), text_len, has_header, &opts);
}
