// The JSON result documents (headers, rows, column statistics, parse
// warnings) and the CSV text writer.
//
// The headers, statistics and warnings documents are yyjson mutable
// documents built for one call and serialised compactly into the calling
// thread's result buffer (finish_doc). The rows document, which can run to
// hundreds of megabytes, is written as text straight into the result buffer
// instead (see "rows document" below); its text is byte for byte the one the
// document writer gives for the same members. Callers hold the global lock,
// so the table cannot change while a call reads it.
//
// Running out of memory inside a document fails the whole call with
// "out of memory": a result that silently lacks rows or members would pass
// lost data off as a complete answer.
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <bit>
#include <memory>

#include <yyjson.h>

#include "csv_internal.h"
#include "csv_platform.h"

// The rows text copies the writer's escaping, which is only known right for
// the version tested. Every document is built through yyjson's public API.
static_assert(YYJSON_VERSION_HEX == 0x000C00,
              "velmora-csv needs yyjson 0.12.0 exactly; run scripts/setup to install it");

namespace {

struct doc_deleter {
    void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
using doc_ptr = std::unique_ptr<yyjson_mut_doc, doc_deleter>;

constexpr uint64_t k_ones = 0x0101010101010101ull;
constexpr uint64_t k_highs = 0x8080808080808080ull;

// Flags, in the high bit of each byte, the bytes of `w` that are not plain.
// Each term flags every byte it should and, at worst, bytes above one it
// should (a borrow runs upwards only), so "any flag" is exact, and so is the
// lowest flag: a byte below 0x20, a '"', a '\\', a 0x7F; w itself flags the
// bytes from 0x80 up.
inline uint64_t not_plain_bits(uint64_t w) {
    uint64_t q = w ^ (k_ones * '"');
    uint64_t b = w ^ (k_ones * '\\');
    uint64_t d = w ^ (k_ones * 0x7F);
    return (((w - k_ones * 0x20) & ~w) | ((q - k_ones) & ~q) | ((b - k_ones) & ~b) |
            ((d - k_ones) & ~d) | w) & k_highs;
}

inline uint64_t load_word(const unsigned char *p) {
    uint64_t w;
    memcpy(&w, p, 8);
    return w;
}

// Length of the text up to its first NUL byte: documents take texts as
// NUL-terminated strings.
inline size_t cut_at_nul(const char *text, size_t len) {
    const void *nul = memchr(text, 0, len);
    return nul ? static_cast<size_t>(static_cast<const char *>(nul) - text) : len;
}

// A text repaired to well-formed UTF-8 (cut at its first NUL), freed at the
// end of the scope when the repair allocated it.
struct repaired {
    const char *str = "";
    size_t len = 0;
    int32_t must_free = 0;
    repaired(const char *text, size_t n) {
        uint64_t out_len = 0;
        str = csv_utf8_sanitize(text, cut_at_nul(text, n), &out_len, &must_free);
        len = static_cast<size_t>(out_len);
    }
    ~repaired() {
        if (must_free) csv_free(const_cast<char *>(str));
    }
    repaired(const repaired &) = delete;
    repaired &operator=(const repaired &) = delete;
};

// Bytes and length of a stored text; "" for the empty cell.
inline const char *text_of(const csv_table *t, const csv_cell &c, size_t *len) {
    if (c.length == 0 || t->blob == nullptr) {
        *len = 0;
        return "";
    }
    *len = c.length;
    return csv_cell_text(t, &c);
}

// Creates a document with an empty container of the given kind as root.
yyjson_mut_doc *new_doc(bool object_root, yyjson_mut_val **out_root) {
    *out_root = nullptr;
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    if (doc == nullptr) return nullptr;
    yyjson_mut_val *root = object_root ? yyjson_mut_obj(doc) : yyjson_mut_arr(doc);
    if (root == nullptr) {
        yyjson_mut_doc_free(doc);
        return nullptr;
    }
    yyjson_mut_doc_set_root(doc, root);
    *out_root = root;
    return doc;
}

// Ends a call whose building ran out of memory.
const char *fail_oom() {
    csv_set_error("out of memory");
    return nullptr;
}

}  // namespace

// Serialises `doc` compactly into the thread's result buffer. Takes
// ownership of the document in every case.
static const char *finish_doc(yyjson_mut_doc *doc) {
    size_t len = 0;
    char *text = yyjson_mut_write_opts(doc, 0, nullptr, &len, nullptr);
    // The text no longer needs the document: free it first to lower the peak.
    yyjson_mut_doc_free(doc);
    if (text == nullptr) {
        csv_set_error("failed to serialize JSON");
        return nullptr;
    }
    const char *out = csv_tls_put_json(text, len);
    free(text);  // written by yyjson's default allocator (malloc)
    return out;
}

const char *csv_emit_headers(const csv_table *t) {
    if (t == nullptr) {
        csv_set_error("null table");
        return nullptr;
    }
    yyjson_mut_val *arr = nullptr;
    doc_ptr doc(new_doc(false, &arr));
    if (!doc) return fail_oom();
    for (int32_t c = 0; c < t->n_cols; ++c) {
        size_t len = 0;
        const char *text = text_of(t, t->headers[c], &len);
        repaired r(text, len);
        if (!yyjson_mut_arr_add_strncpy(doc.get(), arr, r.str, r.len)) return fail_oom();
    }
    return finish_doc(doc.release());
}

// ---- rows document ------------------------------------------------------------
//
// The rows answer is the one that grows with the table, so it skips the
// document and is written as JSON text straight into the thread's result
// buffer, in two passes over the window of the row list: the first adds up
// the exact length of the text, the second writes it into the buffer
// reserved for that length. Nothing is allocated between the passes, so once
// the buffer is reserved the call cannot fail, and until then the thread's
// previous text stands.
//
// Every key and value goes out as the document writer would write the
// string csv_utf8_sanitize makes of the text cut at its first NUL: '"' and
// '\\' escaped, the control bytes as \b \t \n \f \r or \u00XX (upper-case
// hex), everything else as it is. The repair is done on the fly (each byte
// that starts no well-formed sequence becomes its ISO-8859-1 character), so
// it needs no buffer and cannot fail.

namespace {

// Bytes written for each ASCII byte, and those bytes.
struct escape_table {
    uint8_t len[128];
    char seq[128][6];
    constexpr escape_table() : len(), seq() {
        const char hex[] = "0123456789ABCDEF";
        for (int c = 0; c < 128; ++c) {
            len[c] = 1;
            seq[c][0] = static_cast<char>(c);
        }
        for (int c = 0; c < 0x20; ++c) {
            len[c] = 6;
            const char u[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
            for (int k = 0; k < 6; ++k) seq[c][k] = u[k];
        }
        const char named[][2] = {{'"', '"'}, {'\\', '\\'}, {'\b', 'b'}, {'\t', 't'},
                                 {'\n', 'n'}, {'\f', 'f'}, {'\r', 'r'}};
        for (const auto &e : named) {
            len[static_cast<unsigned char>(e[0])] = 2;
            seq[static_cast<unsigned char>(e[0])][0] = '\\';
            seq[static_cast<unsigned char>(e[0])][1] = e[1];
        }
    }
};
constexpr escape_table k_esc;

// Bytes that go out unchanged whatever follows: printable ASCII (0x7F
// included) other than '"' and '\\'.
struct pass_table {
    bool ok[256];
    constexpr pass_table() : ok() {
        for (int c = 0x20; c < 0x80; ++c) ok[c] = c != '"' && c != '\\';
    }
};
constexpr pass_table k_pass;


// How many of the 16 bytes at p, from the first, pass unchanged (16: all).
// A NUL stops the run too: the text ends there.
inline size_t pass_run16(const unsigned char *p) {
#if CSV_HAVE_SSE2
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    // Signed compare: bytes from 0x80 up are negative, so "below 0x20"
    // catches the controls and every non-ASCII byte at once.
    const __m128i stop = _mm_or_si128(
        _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)),
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stop)) | 0x10000u;
    return static_cast<size_t>(std::countr_zero(mask));
#else
    if constexpr (std::endian::native == std::endian::little) {
        for (size_t h = 0; h < 16; h += 8) {
            // The lowest flagged byte is exact (see not_plain_bits); 0x7F
            // is flagged too and then passed on by the slow path.
            uint64_t bits = not_plain_bits(load_word(p + h));
            if (bits) return h + static_cast<size_t>(std::countr_zero(bits)) / 8;
        }
        return 16;
    } else {
        size_t k = 0;
        while (k < 16 && k_pass.ok[p[k]]) ++k;
        return k;
    }
#endif
}

// The byte at s[i], which does not pass unchanged: its escape, the
// well-formed sequence it starts, or its ISO-8859-1 character. Writes to
// `dst` when W, returns the bytes written and sets *used to the bytes
// taken; *used 0 means a NUL, where the text ends.
template <bool W>
[[gnu::noinline]] size_t put_special(char *dst, const unsigned char *s, size_t i, size_t n,
                                     size_t *used) {
    const unsigned b = s[i];
    if (b < 0x80) {
        *used = b == 0 ? 0 : 1;
        if (b == 0) return 0;
        if (W) memcpy(dst, k_esc.seq[b], k_esc.len[b]);
        return k_esc.len[b];
    }
    uint32_t k = csv_utf8_seq_len(s, i, n);
    if (k != 0) {
        *used = k;
        if (W) memcpy(dst, s + i, k);
        return k;
    }
    *used = 1;
    if (W) {
        dst[0] = static_cast<char>(0xC0 | (b >> 6));
        dst[1] = static_cast<char>(0x80 | (b & 0x3F));
    }
    return 2;
}

// The JSON string content of the n bytes at s (no quotes): cut at the first
// NUL, repaired and escaped. Returns its length; when W also writes it at
// dst. Runs of 16 bytes are loaded (and, when W, stored) whole where
// s_end and dst_end leave room: bytes stored past the end of the run are
// overwritten by what the caller writes next.
template <bool W>
size_t put_text_run(char *dst, const char *dst_end, const unsigned char *s, size_t n,
                    const unsigned char *s_end) {
    size_t i = 0, o = 0;
    while (i < n) {
        const size_t rem = n - i;
        if (s_end - (s + i) >= 16 && (!W || dst_end - (dst + o) >= 16)) {
            if (W) memcpy(dst + o, s + i, 16);
            const size_t k = pass_run16(s + i);
            if (k >= rem) return o + rem;
            i += k;
            o += k;
            if (k == 16) continue;
        } else {
            size_t k = 0;
            while (k < rem && k_pass.ok[s[i + k]]) {
                if (W) dst[o + k] = static_cast<char>(s[i + k]);
                ++k;
            }
            i += k;
            o += k;
            if (i == n) break;
        }
        size_t used = 0;
        o += put_special<W>(W ? dst + o : nullptr, s, i, n, &used);
        if (used == 0) break;
        i += used;
    }
    return o;
}

// put_text_run with the usual cell first: at most 16 bytes that all pass,
// taken with one load (and store).
template <bool W>
inline size_t put_text(char *dst, const char *dst_end, const unsigned char *s, size_t n,
                       const unsigned char *s_end) {
    if (n <= 16 && s_end - s >= 16 && (!W || dst_end - dst >= 16)) {
        if (W) memcpy(dst, s, 16);
        if (pass_run16(s) >= n) return n;
    }
    return put_text_run<W>(dst, dst_end, s, n, s_end);
}

// Copies n bytes; short ones as two 16-byte moves where both sides have room
// for 32 (the key texts are padded for it).
inline char *put_small(char *dst, const char *dst_end, const char *src, size_t n) {
    if (n <= 32 && dst_end - dst >= 32) {
        memcpy(dst, src, 16);
        memcpy(dst + 16, src + 16, 16);
    } else {
        memcpy(dst, src, n);
    }
    return dst + n;
}

// Bytes of padding after the key texts, for put_small.
constexpr size_t k_key_pad = 32;

// The text that opens one member: `{"key":"` for the first of a row,
// `","key":"` for the others (closing the value before it).
struct row_key {
    uint64_t at;   // offset in row_keys::text
    uint64_t len;
    int32_t col;
};

inline uint64_t sat_add(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

inline uint64_t sat_mul(uint64_t a, uint64_t b) {
    return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b;
}

// The member openers of the listed columns that exist, in list order (a
// null list or a length <= 0: every column in order), with their texts in
// one buffer.
struct row_keys {
    row_key *v = nullptr;  // the one allocation: entries, then texts
    const char *text = nullptr;
    int32_t m = 0;
    uint64_t open_len = 0;  // all openers of one row together
    row_keys() = default;
    row_keys(const row_keys &) = delete;
    row_keys &operator=(const row_keys &) = delete;
    ~row_keys() { csv_free(v); }

    static int32_t column(const csv_table *t, const int32_t *cols, int32_t i) {
        int32_t j = cols ? cols[i] : i;
        return j >= 0 && j < t->n_cols ? j : -1;
    }

    static size_t name_size(const csv_table *t, int32_t j) {
        const csv_cell h = t->headers[j];
        if (h.length == 0 || t->blob == nullptr) return 0;
        const unsigned char *blob = reinterpret_cast<const unsigned char *>(t->blob);
        return put_text<false>(nullptr, nullptr, blob + t->header_base + h.offset, h.length,
                               blob + t->blob_len);
    }

    int build(const csv_table *t, const int32_t *cols, int32_t cols_len) {
        if (cols == nullptr || cols_len <= 0) {
            cols = nullptr;
            cols_len = t->n_cols > 0 ? t->n_cols : 0;
        }
        uint64_t n = 0;
        for (int32_t i = 0; i < cols_len; ++i) {
            int32_t j = column(t, cols, i);
            if (j < 0) continue;
            open_len = sat_add(open_len, sat_add(name_size(t, j), n == 0 ? 5 : 6));
            ++n;
        }
        if (n == 0) return 0;
        uint64_t bytes = sat_add(sat_add(sat_mul(n, sizeof(row_key)), open_len), k_key_pad);
        if (bytes > SIZE_MAX) return -1;
        v = static_cast<row_key *>(csv_malloc(static_cast<size_t>(bytes)));
        if (v == nullptr) return -1;
        char *const base = reinterpret_cast<char *>(v + n);
        char *const end = base + open_len + k_key_pad;
        char *d = base;
        const unsigned char *blob = reinterpret_cast<const unsigned char *>(t->blob);
        for (int32_t i = 0; i < cols_len; ++i) {
            int32_t j = column(t, cols, i);
            if (j < 0) continue;
            // Measured again, so that no opener is written past the room.
            if (static_cast<uint64_t>(base + open_len - d) < name_size(t, j) + (m == 0 ? 5 : 6))
                return -1;
            char *const first = d;
            memcpy(d, m == 0 ? "{\"" : "\",\"", m == 0 ? 2 : 3);
            d += m == 0 ? 2 : 3;
            const csv_cell h = t->headers[j];
            if (h.length != 0 && blob != nullptr)
                d += put_text<true>(d, end, blob + t->header_base + h.offset, h.length,
                                    blob + t->blob_len);
            memcpy(d, "\":\"", 3);
            d += 3;
            v[m++] = row_key{static_cast<uint64_t>(first - base),
                             static_cast<uint64_t>(d - first), j};
        }
        open_len = static_cast<uint64_t>(d - base);
        memset(d, 0, k_key_pad);
        text = base;
        return 0;
    }
};

// Positions of a row list ahead of the one being read whose cells and texts
// are prefetched: a list may jump anywhere, and even one in ascending order
// (a search's) skips rows at random.
constexpr int64_t k_cells_ahead = 16;
constexpr int64_t k_texts_ahead = 8;

// Shortest window whose size is worked out in two halves side by side: a
// thread costs about as much as measuring some thousands of rows.
constexpr int64_t k_split_min = 65536;

// Shortest window of a list worth measuring in table order: shorter ones
// stay in the caches either way.
constexpr int64_t k_scattered_min = 4096;

// One rows answer: the table, the window [start, end) of the row list, and
// the member openers.
struct rows_job {
    const csv_table *t;
    const int64_t *rows;  // null: position p is row p
    int64_t start;
    int64_t end;
    const row_keys *keys;
    const unsigned char *blob;  // null when no cell has text
    const unsigned char *blob_end;
    csv_body_view body;  // the body cells in the table's layout

    // The cells of row r; null cells when r is outside the table (every
    // value then is "").
    csv_row_cells cells_of(int64_t r) const {
        if (r < 0 || r >= t->n_rows || t->cells == nullptr || blob == nullptr)
            return csv_row_cells{nullptr, 0, nullptr};
        return body.row(r);
    }

    // Starts fetching what the row at position p + k_cells_ahead and the
    // texts of the row at p + k_texts_ahead will need. Always inlined: a
    // function that only prefetches counts as free of effects, and a call
    // to it would be dropped.
    [[gnu::always_inline]] void prefetch(int64_t p) const {
        if (p + k_cells_ahead < end) {
            const int64_t r = rows[p + k_cells_ahead];
            const csv_row_cells c = cells_of(r);
            if (c.cells != nullptr && c.width != 0) {
                __builtin_prefetch(c.cells);
                __builtin_prefetch(c.cells + c.width - 1);
            }
        }
        if (p + k_texts_ahead < end) {
            const csv_row_cells c = cells_of(rows[p + k_texts_ahead]);
            if (c.cells != nullptr) {
                for (int32_t k = 0; k < keys->m; ++k)
                    __builtin_prefetch(c.text + c[keys->v[k].col].offset);
            }
        }
    }

    // Length of the values of one row.
    uint64_t values_size(const csv_row_cells cells) const {
        const unsigned char *const text = reinterpret_cast<const unsigned char *>(cells.text);
        uint64_t sum = 0;
        for (int32_t k = 0; k < keys->m; ++k) {
            const csv_cell c = cells[keys->v[k].col];
            if (c.length != 0)
                sum = sat_add(sum, put_text<false>(nullptr, nullptr, text + c.offset, c.length, blob_end));
        }
        return sum;
    }

    // Length of the values of the rows at positions [from, to), in list order.
    uint64_t values_size_range(int64_t from, int64_t to) const {
        uint64_t total = 0;
        for (int64_t p = from; p < to; ++p) {
            if (rows) prefetch(p);
            const csv_row_cells cells = cells_of(rows ? rows[p] : p);
            if (cells.cells != nullptr) total = sat_add(total, values_size(cells));
        }
        return total;
    }

    // Length of the values of the rows at the positions, in list order. A
    // long window is measured in two halves side by side, the second on a
    // thread of its own (on this one when the system refuses a thread).
    uint64_t values_size_in_order() const {
        // With no list, positions past the table are left out unvisited.
        int64_t stop = end;
        if (rows == nullptr && stop > t->n_rows) stop = t->n_rows;
        if (stop - start < k_split_min) return values_size_range(start, stop);
        struct half {
            const rows_job *job;
            int64_t from, to;
            uint64_t sum;
        } second{this, start + (stop - start) / 2, stop, 0};
        uint64_t helper = 0;
        if (csv_platform_thread_start(
                &helper,
                [](void *p) {
                    half *h = static_cast<half *>(p);
                    h->sum = h->job->values_size_range(h->from, h->to);
                },
                &second) != 0)
            return values_size_range(start, stop);
        const uint64_t first = values_size_range(start, second.from);
        csv_platform_thread_join(helper);
        return sat_add(first, second.sum);
    }

    // True when the window of the list is long, jumps back somewhere and
    // covers a good part of the table, as a sort's order does: its rows are
    // then better measured in table order (values_size_by_table).
    bool scattered() const {
        if (rows == nullptr || end - start < k_scattered_min || (end - start) * 2 < t->n_rows)
            return false;
        for (int64_t p = start + 1; p < end; ++p)
            if (rows[p] < rows[p - 1]) return true;
        return false;
    }

    // values_size_in_order, by one pass over the table in order that notes
    // the length of every row, then one look-up per position. Without
    // memory for the notes it measures in list order.
    uint64_t values_size_by_table() const {
        const int64_t n = t->n_rows;
        std::unique_ptr<uint64_t, csv_free_deleter> sizes(
            static_cast<uint64_t>(n) > SIZE_MAX / sizeof(uint64_t)
                ? nullptr
                : static_cast<uint64_t *>(csv_malloc(static_cast<size_t>(n) * sizeof(uint64_t))));
        if (!sizes) return values_size_in_order();
        uint64_t *const z = sizes.get();
        for (int64_t r = 0; r < n; ++r) {
            const csv_row_cells cells = cells_of(r);
            z[r] = cells.cells != nullptr ? values_size(cells) : 0;
        }
        uint64_t total = 0;
        for (int64_t p = start; p < end; ++p) {
            const int64_t r = rows[p];
            if (r >= 0 && r < n) total = sat_add(total, z[r]);
        }
        return total;
    }

    // Rows sampled for estimate().
    static constexpr uint64_t k_samples = 512;

    // A guess at size() from the values of a few rows spread over the
    // window, the rest worked out exactly: good for choosing a block and
    // preparing its pages, not for writing.
    uint64_t estimate() const {
        const uint64_t count = static_cast<uint64_t>(end - start);
        if (count == 0 || keys->m == 0) return size();
        const uint64_t per_row = sat_add(keys->open_len, 3);  // ..."} and ,
        const uint64_t fixed = sat_add(sat_mul(count, per_row), 1);
        const uint64_t n = count < k_samples ? count : k_samples;
        uint64_t sum = 0;
        for (uint64_t i = 0; i < n; ++i) {
            const int64_t p =
                start + static_cast<int64_t>(static_cast<unsigned __int128>(i) * count / n);
            const csv_row_cells cells = cells_of(rows ? rows[p] : p);
            if (cells.cells != nullptr) sum = sat_add(sum, values_size(cells));
        }
        const unsigned __int128 values = static_cast<unsigned __int128>(sum) * count / n;
        return values > UINT64_MAX ? UINT64_MAX : sat_add(fixed, static_cast<uint64_t>(values));
    }

    // Length of the whole text; UINT64_MAX when it would not fit in 64 bits.
    uint64_t size() const {
        const uint64_t count = static_cast<uint64_t>(end - start);
        if (count == 0) return 2;  // []
        const uint64_t per_row = keys->m == 0 ? 2 : sat_add(keys->open_len, 2);  // {} or ..."}
        const uint64_t total = sat_add(sat_mul(count, sat_add(per_row, 1)), 1);  // [ , ... ]
        if (keys->m == 0) return total;
        return sat_add(total, scattered() ? values_size_by_table() : values_size_in_order());
    }

    // Writes the whole text at `base`, `total` bytes with the NUL, of which
    // those from `fed_from` on are the block `fed`, and those before it are
    // ready as they are; returns its end, or null when the text would not
    // fit. The size was worked out before, so that never happens; it is
    // checked all the same, cheaply: a member is written unchecked while the
    // room left exceeds what it could need at most (six bytes per byte of
    // text: a control byte goes out as \u00XX), and measured exactly only
    // near the end of the room. The room is the stretch the block has ready
    // (fresh pages are prepared ahead of the writer when it is fed), so
    // nothing is written, not even the spare bytes of a 16-byte move, where the
    // feed may still be at work. Everything the loop reads is held in
    // locals: the char stores could alias any member.
    char *write(csv_fed_block &fed, char *const base, const uint64_t total,
                const uint64_t fed_from) const {
        const row_key *const kv = keys->v;
        const char *const key_text = keys->text;
        const int32_t m = keys->m;
        const unsigned char *const b_end = blob_end;
        const int64_t *const list = rows;
        const int64_t first = start, stop = end;
        const char *const nul_at = base + total - 1;  // the NUL's place
        char *const fed_at = base + fed_from;
        char *d = base;
        const char *w_end = fed_at;  // end of the ready stretch
        const char *lim = w_end < nul_at ? w_end : nul_at;  // where the text may go
        // True when n more bytes fit at d, making them ready first. Past a
        // failed test of lim, d + n lies beyond w_end, so beyond fed_at.
        auto room = [&](uint64_t n) {
            if (static_cast<uint64_t>(lim - d) >= n) return true;
            if (static_cast<uint64_t>(nul_at - d) < n) return false;
            const uint64_t from = d > fed_at ? static_cast<uint64_t>(d - fed_at) : 0;
            const uint64_t upto = static_cast<uint64_t>(d + n - fed_at);
            const csv_block r = fed.room(from, upto - from, total - fed_from);
            w_end = r.at + r.len;
            lim = w_end < nul_at ? w_end : nul_at;
            return true;
        };
        if (!room(1)) return nullptr;
        *d++ = '[';
        for (int64_t p = first; p < stop; ++p) {
            if (!room(3)) return nullptr;  // ',' and '{}', or ',' and a key's first bytes
            if (p > first) *d++ = ',';
            if (m == 0) {
                memcpy(d, "{}", 2);
                d += 2;
                continue;
            }
            if (list) prefetch(p);
            const csv_row_cells cells = cells_of(list ? list[p] : p);
            if (cells.cells == nullptr) {  // a row outside the table: every value ""
                if (!room(keys->open_len)) return nullptr;
                for (int32_t k = 0; k < m; ++k)
                    d = put_small(d, w_end, key_text + kv[k].at, kv[k].len);
            }
            const unsigned char *const b = reinterpret_cast<const unsigned char *>(cells.text);
            for (int32_t k = 0; cells.cells != nullptr && k < m; ++k) {
                const row_key key = kv[k];
                const csv_cell c = cells[key.col];
                // No overflow: an opener is shorter than memory, a text 4 GiB at most.
                if (static_cast<uint64_t>(lim - d) < key.len + 6 * static_cast<uint64_t>(c.length)) {
                    const uint64_t text_len =
                        c.length ? put_text<false>(nullptr, nullptr, b + c.offset, c.length, b_end) : 0;
                    if (!room(sat_add(key.len, text_len))) return nullptr;
                }
                d = put_small(d, w_end, key_text + key.at, key.len);
                if (c.length != 0) d += put_text<true>(d, w_end, b + c.offset, c.length, b_end);
            }
            if (!room(2)) return nullptr;
            memcpy(d, "\"}", 2);
            d += 2;
        }
        if (!room(1)) return nullptr;
        *d++ = ']';
        return d;
    }
};

// Fresh stretches of an answer from this size up, too short to be fed, are
// backed in one call before they are written.
constexpr uint64_t k_populate_min = uint64_t{256} << 10;

// Bytes by which the next rows text of this thread is misjudged (test seam).
thread_local int64_t g_rows_misjudge = 0;
// The estimate the next rows text of this thread takes instead of its own
// (test seam); 0: none.
thread_local uint64_t g_rows_guess = 0;

// Writes the answer into `block` (see csv_tls_json_block) of `cap` bytes,
// which `fed` feeds whole, and makes it the thread's result buffer. The
// block is apart from the thread's buffer, so the text goes straight in,
// in one pass: the previous answer stands whatever happens. When the block
// turns out too small, the exact size is worked out, the block grows to it
// and the text is written again (into pages now ready); when it turns out
// far too large, it shrinks. Sets *written unless the block could not be
// made to hold the answer; it is then freed, and nothing else has changed.
const char *write_block(const rows_job &job, csv_fed_block &fed, char *block, uint64_t cap,
                        bool *written) {
    *written = false;
    uint64_t fed_from = 0;
    char *stop = job.write(fed, block, cap, 0);
    if (stop == nullptr) {
        fed.stop();
        const uint64_t prepared = fed.prepared();
        const uint64_t len = job.size();
        const uint64_t total = len + 1;
        if (total == 0) {
            csv_free(block);
            return nullptr;
        }
        block = csv_tls_json_block_fit(block, &cap, len);
        if (block == nullptr) return nullptr;
        fed_from = prepared < total ? prepared : total;
        if (csv_page_feed_wanted(total - fed_from)) {
            fed.start(block + fed_from, total - fed_from);
        } else {
            fed.hold(block, total);
            fed_from = 0;
        }
        stop = job.write(fed, block, total, fed_from);
    }
    fed.stop();
    *written = true;
    if (stop == nullptr) {
        // A size worked out wrong, a fault of this module: no text past the
        // block, and the previous answer stands.
        csv_free(block);
        return fail_oom();
    }
    *stop = '\0';
    const uint64_t len = static_cast<uint64_t>(stop - block);
    const uint64_t backed = fed_from + fed.prepared();
    // Shrinking keeps the text; a shrink that fails leaves the block as it was.
    if (!csv_tls_json_block_fits(cap, len)) block = csv_tls_json_block_fit(block, &cap, len);
    return csv_tls_adopt_json(block, cap, len, backed);
}

}  // namespace

const char *csv_emit_rows(const csv_table *t, const int64_t *rows,
                          int64_t rows_len, const int32_t *cols,
                          int32_t cols_len, int64_t offset, int64_t limit) {
    if (t == nullptr) {
        csv_set_error("null table");
        return nullptr;
    }
    if (rows_len < 0) rows_len = 0;
    // Window over list positions, in 64 bits so start + limit cannot wrap.
    int64_t start = offset < 0 ? 0 : offset;
    if (start > rows_len) start = rows_len;
    int64_t end = (limit < 0 || limit >= rows_len - start) ? rows_len : start + limit;

    row_keys keys;
    if (keys.build(t, cols, cols_len) != 0) return fail_oom();
    const unsigned char *blob = reinterpret_cast<const unsigned char *>(t->blob);
    const rows_job job{t, rows, start, end, &keys, blob, blob ? blob + t->blob_len : nullptr,
                       csv_body_of(t)};

    // A large answer that outgrows a small buffer is written into a block of
    // its own, chosen from an estimate of its size, whose pages are prepared
    // from the start.
    uint64_t block_cap = 0;
    uint64_t guess = job.estimate();
    if (g_rows_guess != 0) {
        guess = g_rows_guess;
        g_rows_guess = 0;
    }
    // The block has room for a guess a sixteenth too small.
    char *block = csv_page_feed_wanted(guess)
                      ? csv_tls_json_block(sat_add(guess, guess / 16), &block_cap)
                      : nullptr;
    csv_fed_block fed;
    if (block != nullptr) {
        fed.start(block, block_cap);
        fed.ahead(guess < block_cap ? guess + 1 : block_cap);
        bool written = false;
        const char *answer = write_block(job, fed, block, block_cap, &written);
        if (written) return answer;
        // The guess was too small and the block could not grow: the usual way.
    }

    // A length past any memory makes the reservation fail with its message.
    uint64_t len = job.size();
    if (g_rows_misjudge != 0) {
        len += static_cast<uint64_t>(g_rows_misjudge);
        g_rows_misjudge = 0;
    }
    uint64_t fresh_from = 0;
    char *out = csv_tls_reserve_json(len, &fresh_from);
    if (out == nullptr) return nullptr;
    // Pages an earlier answer of the thread wrote are ready as they are; a
    // large stretch of fresh ones past them is prepared ahead of the writer.
    const uint64_t total = len + 1;
    uint64_t fed_from = 0;
    if (fresh_from < total && csv_page_feed_wanted(total - fresh_from)) {
        fed_from = fresh_from;
        fed.start(out + fed_from, total - fed_from);
    } else {
        // A shorter fresh stretch is backed in one call: that halves what
        // its pages cost where every first touch of a page is dear.
        if (fresh_from < total && total - fresh_from >= k_populate_min)
            csv_platform_populate(out + fresh_from, static_cast<size_t>(total - fresh_from));
        fed.hold(out, total);
    }
    char *stop = job.write(fed, out, total, fed_from);
    fed.stop();
    if (stop == nullptr) {
        // A size worked out wrong, a fault of this module: no text past the
        // buffer and no partial answer.
        out[0] = '\0';
        return fail_oom();
    }
    *stop = '\0';
    return out;
}

namespace {

// A figure as a JSON number, or null when it is not finite: a cell such as
// nan, inf or 1e999 is numeric, but JSON has no number for what it gives,
// and one such cell must not cost the statistics of every column.
bool add_real_or_null(yyjson_mut_doc *d, yyjson_mut_val *obj, const char *key, double v) {
    return isfinite(v) ? yyjson_mut_obj_add_real(d, obj, key, v)
                       : yyjson_mut_obj_add_null(d, obj, key);
}

}  // namespace

void csv_emit_rows_misjudge(int64_t bytes) { g_rows_misjudge = bytes; }

void csv_emit_rows_guess(uint64_t bytes) { g_rows_guess = bytes; }

const char *csv_emit_stats(const csv_table *t) {
    if (t == nullptr) {
        csv_set_error("null table");
        return nullptr;
    }
    yyjson_mut_val *root = nullptr;
    doc_ptr doc(new_doc(true, &root));
    if (!doc) return fail_oom();
    yyjson_mut_doc *d = doc.get();
    yyjson_mut_val *columns = yyjson_mut_arr(d);
    bool ok = columns != nullptr &&
              yyjson_mut_obj_add_int(d, root, "row_count", t->n_rows) &&
              yyjson_mut_obj_add_int(d, root, "col_count", t->n_cols) &&
              yyjson_mut_obj_add_val(d, root, "columns", columns);
    for (int32_t c = 0; ok && c < t->n_cols; ++c) {
        int64_t count = 0, nulls = 0;
        int32_t unique = 0, numeric = 0;
        double min = 0, max = 0, mean = 0;
        csv_col_stats(t, c, &count, &nulls, &unique, &numeric, &min, &max, &mean);

        size_t len = 0;
        const char *text = text_of(t, t->headers[c], &len);
        repaired name(text, len);
        yyjson_mut_val *col = yyjson_mut_obj(d);
        ok = col != nullptr &&
             yyjson_mut_obj_add_strncpy(d, col, "name", name.str, name.len) &&
             yyjson_mut_obj_add_int(d, col, "count", count) &&
             yyjson_mut_obj_add_int(d, col, "nulls", nulls) &&
             yyjson_mut_obj_add_int(d, col, "unique", unique) &&
             yyjson_mut_obj_add_bool(d, col, "numeric", numeric != 0);
        if (ok && numeric) {
            ok = add_real_or_null(d, col, "min", min) && add_real_or_null(d, col, "max", max) &&
                 add_real_or_null(d, col, "mean", mean);
        }
        ok = ok && yyjson_mut_arr_append(columns, col);
    }
    if (!ok) return fail_oom();
    return finish_doc(doc.release());
}

namespace {

const char *const kind_names[] = {"", "ragged", "blank", "unterminated_quote",
                                  "truncated_utf16"};

// {"kind":...,"row":...,"expected":...,"actual":...} for one sample.
yyjson_mut_val *sample_object(yyjson_mut_doc *d, const csv_warning &w) {
    // Compared unsigned, so a negative kind is out of range as well.
    const char *name = static_cast<uint32_t>(w.kind) <= 4 ? kind_names[w.kind] : "";
    yyjson_mut_val *obj = yyjson_mut_obj(d);
    bool ok = obj != nullptr && yyjson_mut_obj_add_str(d, obj, "kind", name) &&
              yyjson_mut_obj_add_int(d, obj, "row", w.row) &&
              yyjson_mut_obj_add_int(d, obj, "expected", w.expected) &&
              yyjson_mut_obj_add_int(d, obj, "actual", w.actual);
    return ok ? obj : nullptr;
}

}  // namespace

const char *csv_emit_warnings(const csv_table *t) {
    if (t == nullptr) {
        csv_set_error("null table");
        return nullptr;
    }
    yyjson_mut_val *root = nullptr;
    doc_ptr doc(new_doc(true, &root));
    if (!doc) return fail_oom();
    yyjson_mut_doc *d = doc.get();
    // Unsigned sum: the same total for every real count, and no overflow.
    uint64_t total = static_cast<uint64_t>(t->ragged) + static_cast<uint64_t>(t->blank) +
                     (t->unterminated_quote ? 1u : 0u) + (t->truncated_utf16 ? 1u : 0u);
    bool ok = yyjson_mut_obj_add_int(d, root, "count", static_cast<int64_t>(total)) &&
              yyjson_mut_obj_add_int(d, root, "ragged", t->ragged) &&
              yyjson_mut_obj_add_int(d, root, "blank", t->blank) &&
              yyjson_mut_obj_add_bool(d, root, "unterminated_quote", t->unterminated_quote != 0) &&
              yyjson_mut_obj_add_bool(d, root, "truncated_utf16", t->truncated_utf16 != 0) &&
              yyjson_mut_obj_add_int(d, root, "expected_cols", t->expected_cols);
    if (ok && t->unterminated_quote)
        ok = yyjson_mut_obj_add_int(d, root, "unterminated_row", t->unterminated_row);

    int32_t n = t->n_samples < 0 ? 0 : (t->n_samples > CSV_MAX_SAMPLES ? CSV_MAX_SAMPLES : t->n_samples);
    if (ok) {
        yyjson_mut_val *first = n > 0 ? sample_object(d, t->samples[0]) : yyjson_mut_null(d);
        ok = first != nullptr && yyjson_mut_obj_add_val(d, root, "first", first);
    }
    yyjson_mut_val *samples = ok ? yyjson_mut_arr(d) : nullptr;
    ok = samples != nullptr && yyjson_mut_obj_add_val(d, root, "samples", samples);
    for (int32_t i = 0; ok && i < n; ++i) {
        yyjson_mut_val *s = sample_object(d, t->samples[i]);
        ok = s != nullptr && yyjson_mut_arr_append(samples, s);
    }
    if (!ok) return fail_oom();
    return finish_doc(doc.release());
}

// ---- CSV text writer --------------------------------------------------------

namespace {

// Bytes that make a field quoted: LF, CR, '"' and ','.
struct quote_table {
    bool on[256];
    constexpr quote_table() : on() {
        on['\n'] = on['\r'] = on['"'] = on[','] = true;
    }
};
constexpr quote_table k_quote;

inline int put_bytes(FILE *f, const char *p, size_t n) {
    return fwrite(p, 1, n, f) == n ? 0 : -1;
}

}  // namespace

// Writes one field, quoted (with its quotes doubled) only when it holds a
// byte that would otherwise end or split it. Bytes go out unchanged, NULs
// included.
static int write_field(FILE *f, const char *text, uint64_t len) {
    if (len == 0) return 0;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    uint64_t i = 0;
    while (i < len && !k_quote.on[p[i]]) ++i;
    if (i == len) return put_bytes(f, text, len);

    if (fputc('"', f) == EOF) return -1;
    const char *cur = text;
    const char *stop = text + len;
    while (cur < stop) {
        const char *q = static_cast<const char *>(memchr(cur, '"', static_cast<size_t>(stop - cur)));
        const char *run_end = q ? q + 1 : stop;  // a quote goes out with its run...
        if (put_bytes(f, cur, static_cast<size_t>(run_end - cur)) != 0) return -1;
        if (q && fputc('"', f) == EOF) return -1;  // ...and is then doubled
        cur = run_end;
    }
    return fputc('"', f) == EOF ? -1 : 0;
}

int csv_emit_csv_fp(const csv_table *t, FILE *stream) {
    if (t == nullptr || stream == nullptr) return -1;
    if (t->header_line != 0 && t->n_cols > 0) {
        for (int32_t c = 0; c < t->n_cols; ++c) {
            size_t len = 0;
            const char *text = text_of(t, t->headers[c], &len);
            if (c > 0 && fputc(',', stream) == EOF) return -1;
            if (write_field(stream, text, len) != 0) return -1;
        }
        if (fputc('\n', stream) == EOF) return -1;
    }
    for (int64_t r = 0; r < t->n_rows; ++r) {
        for (int32_t c = 0; c < t->n_cols; ++c) {
            size_t len = 0;
            const char *text = text_of(t, *csv_cell_at(t, r, c), &len);
            if (c > 0 && fputc(',', stream) == EOF) return -1;
            if (write_field(stream, text, len) != 0) return -1;
        }
        if (fputc('\n', stream) == EOF) return -1;
    }
    return 0;
}

// ---- load report --------------------------------------------------------------

namespace {

// Adds `key` with a copy of `text` repaired to well-formed UTF-8.
bool add_repaired(yyjson_mut_doc *d, yyjson_mut_val *obj, const char *key, const char *text,
                  size_t len) {
    uint64_t out_len = 0;
    int32_t must_free = 0;
    const char *s = csv_utf8_sanitize(text, len, &out_len, &must_free);
    if (s == nullptr) return false;
    const bool ok = yyjson_mut_obj_add_strncpy(d, obj, key, s, static_cast<size_t>(out_len));
    if (must_free) csv_free(const_cast<char *>(s));
    return ok;
}

}  // namespace

const char *csv_emit_info(const csv_table *t) {
    if (t == nullptr) {
        csv_set_error("null table");
        return nullptr;
    }
    yyjson_mut_val *root = nullptr;
    doc_ptr doc(new_doc(true, &root));
    if (!doc) return fail_oom();
    yyjson_mut_doc *d = doc.get();
    const csv_load_info &li = t->load;
    const char delim = static_cast<char>(li.delimiter);
    const uint64_t warnings = static_cast<uint64_t>(t->ragged) + static_cast<uint64_t>(t->blank) +
                              (t->unterminated_quote ? 1u : 0u) + (t->truncated_utf16 ? 1u : 0u);
    bool ok = add_repaired(d, root, "encoding", li.encoding, strnlen(li.encoding, sizeof li.encoding)) &&
              yyjson_mut_obj_add_bool(d, root, "bom", li.bom != 0) &&
              add_repaired(d, root, "delimiter", &delim, 1) &&
              yyjson_mut_obj_add_bool(d, root, "encoding_detected", li.encoding_detected != 0) &&
              yyjson_mut_obj_add_bool(d, root, "delimiter_detected", li.delimiter_detected != 0) &&
              yyjson_mut_obj_add_str(d, root, "compression", li.gzip ? "gzip" : "none") &&
              yyjson_mut_obj_add_uint(d, root, "file_size", li.file_size) &&
              yyjson_mut_obj_add_int(d, root, "rows", t->n_rows) &&
              yyjson_mut_obj_add_int(d, root, "columns", t->n_cols) &&
              yyjson_mut_obj_add_uint(d, root, "warnings", warnings) &&
              yyjson_mut_obj_add_uint(d, root, "replaced_bytes", li.replaced_bytes) &&
              yyjson_mut_obj_add_uint(d, root, "invalid_utf8_bytes", li.invalid_utf8_bytes);
    if (!ok) return fail_oom();
    return finish_doc(doc.release());
}
