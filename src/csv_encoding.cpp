// Input preparation: UTF-16 to UTF-8 transcoding, named encodings through
// iconv, and delimiter detection.
//
// Transcoding is total: ill-formed UTF-16 never fails it. Unpaired
// surrogates become U+FFFD, U+0000 is dropped, and an odd trailing byte is
// never read but reported to the caller, who turns it into a warning.
#include <assert.h>
#include <errno.h>
#include <iconv.h>
#include <string.h>

#include "csv_internal.h"

namespace {

// Output buffer of the transcoder. `cap` is always at least 1.5 bytes per
// input byte plus 8, so the bounds check after each write is a safeguard.
struct utf16_out {
    char *buf = nullptr;
    uint64_t cap = 0;
    uint64_t w = 0;
    uint64_t replaced = 0;  // input bytes of unpaired surrogates
};

void set_transcode_oom() { csv_set_error("out of memory while transcoding UTF-16"); }

// Doubles the buffer; 0 or -1 with the message set and the buffer freed.
[[gnu::noinline]] int grow_out(utf16_out *o) {
    uint64_t cap = o->cap * 2;
    void *p = (cap < o->cap || cap > SIZE_MAX) ? nullptr : csv_realloc(o->buf, cap);
    if (p == nullptr) {
        csv_free(o->buf);
        o->buf = nullptr;
        set_transcode_oom();
        return -1;
    }
    o->buf = static_cast<char *>(p);
    o->cap = cap;
    return 0;
}

inline int keep_room(utf16_out *o) {
    return o->cap < o->w + csv_utf16_step_room ? grow_out(o) : 0;
}

inline uint32_t read_unit(const unsigned char *d, int32_t be) {
    return be ? (uint32_t{d[0]} << 8) | d[1] : (uint32_t{d[1]} << 8) | d[0];
}

inline bool is_plain_ascii(uint32_t u) { return u - 1 < 0x7F; }

// Decodes the unit (or surrogate pair) at `p` into the output; returns the
// number of input bytes consumed (2 or 4), or 0 when the buffer could not
// grow (message set).
inline uint64_t decode_unit(const unsigned char *data, uint64_t len, uint64_t p,
                            int32_t be, utf16_out *o) {
    unsigned char *out = reinterpret_cast<unsigned char *>(o->buf) + o->w;
    uint32_t u = read_unit(data + p, be);
    uint64_t used = 2;
    if (u >= 0xD800 && u <= 0xDFFF) {
        uint32_t v = (u <= 0xDBFF && p + 3 < len) ? read_unit(data + p + 2, be) : 0;
        if (v >= 0xDC00 && v <= 0xDFFF) {
            uint32_t x = 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
            out[0] = static_cast<unsigned char>(0xF0 | (x >> 18));
            out[1] = static_cast<unsigned char>(0x80 | ((x >> 12) & 0x3F));
            out[2] = static_cast<unsigned char>(0x80 | ((x >> 6) & 0x3F));
            out[3] = static_cast<unsigned char>(0x80 | (x & 0x3F));
            o->w += 4;
            used = 4;
        } else {
            // Unpaired: the next unit, if any, is decoded on its own.
            o->replaced += 2;
            out[0] = 0xEF;
            out[1] = 0xBF;
            out[2] = 0xBD;
            o->w += 3;
        }
    } else if (u == 0) {
        return 2;  // U+0000 is dropped: nothing written
    } else if (u <= 0x7F) {
        out[0] = static_cast<unsigned char>(u);
        o->w += 1;
    } else if (u <= 0x7FF) {
        out[0] = static_cast<unsigned char>(0xC0 | (u >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (u & 0x3F));
        o->w += 2;
    } else {
        out[0] = static_cast<unsigned char>(0xE0 | (u >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (u & 0x3F));
        o->w += 3;
    }
    return keep_room(o) == 0 ? used : 0;
}

#if CSV_HAVE_SSE2
// Narrows the 16 units at `src` into 16 bytes at `dst` and returns how many
// leading units are plain ASCII (0x01..0x7F); only those bytes of `dst` are
// meaningful.
template <bool BE>
inline uint32_t ascii_prefix(const unsigned char *src, unsigned char *dst) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16));
    if (BE) {
        a = _mm_or_si128(_mm_slli_epi16(a, 8), _mm_srli_epi16(a, 8));
        b = _mm_or_si128(_mm_slli_epi16(b, 8), _mm_srli_epi16(b, 8));
    }
    const __m128i zero = _mm_setzero_si128();
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
    __m128i ok_a = _mm_andnot_si128(_mm_cmpeq_epi16(a, zero),
                                    _mm_cmpeq_epi16(_mm_and_si128(a, high), zero));
    __m128i ok_b = _mm_andnot_si128(_mm_cmpeq_epi16(b, zero),
                                    _mm_cmpeq_epi16(_mm_and_si128(b, high), zero));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm_packus_epi16(a, b));
    uint32_t ok = static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(ok_a, ok_b)));
    return ok == 0xFFFFu ? 16 : static_cast<uint32_t>(__builtin_ctz(~ok));
}
constexpr uint64_t k_block_units = 16;
#else
// Portable form: 4 units at a time.
template <bool BE>
inline uint32_t ascii_prefix(const unsigned char *src, unsigned char *dst) {
    uint32_t k = 0;
    for (; k < 4; ++k) {
        uint32_t u = read_unit(src + 2 * k, BE);
        if (u == 0 || u > 0x7F) break;
        dst[k] = static_cast<unsigned char>(u);
    }
    return k;
}
constexpr uint64_t k_block_units = 4;
#endif

// Decodes the units of data[0..len) into `o` while more than `keep` bytes
// remain: keep 1 decodes every whole unit; keep 3 stops where a unit could
// still pair with one that has not arrived. Returns the bytes consumed, or
// UINT64_MAX when the buffer could not grow (message set, buffer freed).
template <bool BE>
uint64_t decode_units(const unsigned char *data, uint64_t len, uint64_t keep, utf16_out *o) {
    uint64_t p = 0;
    // The block loop works on locals; `o` is brought up to date around the
    // unit-by-unit decoder, the one place that may move the buffer.
    unsigned char *buf = reinterpret_cast<unsigned char *>(o->buf);
    uint64_t w = o->w;
    uint64_t cap = o->cap;
    while (p + keep < len) {
        // Plain ASCII units are narrowed a block at a time.
        while (p + 2 * k_block_units <= len && w + k_block_units + csv_utf16_step_room <= cap) {
            const uint32_t k = ascii_prefix<BE>(data + p, buf + w);
            p += 2 * uint64_t{k};
            w += k;
            if (k != k_block_units) break;
        }
        if (p + keep >= len) break;
        // Other units one at a time until plain ASCII comes back, so that
        // text in other scripts does not pay for a block test per unit.
        o->w = w;
        do {
            uint64_t used = decode_unit(data, len, p, BE, o);
            if (used == 0) return UINT64_MAX;
            p += used;
        } while (p + keep < len && !is_plain_ascii(read_unit(data + p, BE)));
        buf = reinterpret_cast<unsigned char *>(o->buf);
        w = o->w;
        cap = o->cap;
    }
    o->w = w;
    return p;
}

uint64_t decode_any(const unsigned char *data, uint64_t len, int32_t be, uint64_t keep,
                    utf16_out *o) {
    return be ? decode_units<true>(data, len, keep, o) : decode_units<false>(data, len, keep, o);
}

}  // namespace

uint64_t csv_utf16_out_cap(uint64_t n) {
    // Worst case 1.5 output bytes per input byte, plus room for the NUL.
    const uint64_t cap = n + n / 2 + csv_utf16_step_room;
    return cap < n ? 0 : cap;
}

int csv_utf16_decode_piece(const unsigned char *data, uint64_t len, int32_t big_endian,
                           int32_t last, char **out, uint64_t *cap, uint64_t *w,
                           uint64_t *used) {
    return csv_utf16_decode_piece_counted(data, len, big_endian, last, out, cap, w, used,
                                          nullptr);
}

int csv_utf16_decode_piece_counted(const unsigned char *data, uint64_t len,
                                   int32_t big_endian, int32_t last, char **out,
                                   uint64_t *cap, uint64_t *w, uint64_t *used,
                                   uint64_t *replaced) {
    *used = 0;
    utf16_out o;
    o.buf = *out;
    o.cap = *cap;
    o.w = *w;
    const uint64_t p = decode_any(data, len, big_endian, last ? 1 : 3, &o);
    *out = o.buf;
    *cap = o.cap;
    *w = o.w;
    if (replaced != nullptr) *replaced += o.replaced;
    if (p == UINT64_MAX) return -1;
    *used = p;
    return 0;
}

int csv_utf16_to_utf8(const unsigned char *data, uint64_t len, int32_t big_endian,
                      uint64_t skip, char **out_text, uint64_t *out_len,
                      int32_t *out_odd) {
    if (out_text == nullptr || out_len == nullptr || data == nullptr) return -1;
    const uint64_t s = skip < len ? skip : len;
    *out_text = nullptr;
    *out_len = 0;
    if (out_odd != nullptr) *out_odd = static_cast<int32_t>((len - s) % 2);

    const uint64_t n = len - s;
    utf16_out o;
    o.cap = csv_utf16_out_cap(n);
    o.buf = (o.cap == 0 || o.cap > SIZE_MAX) ? nullptr
                                              : static_cast<char *>(csv_malloc(static_cast<size_t>(o.cap)));
    if (o.buf == nullptr) {
        set_transcode_oom();
        return -1;
    }
    if (decode_any(data + s, n, big_endian, 1, &o) == UINT64_MAX) return -1;
    o.buf[o.w] = '\0';
    *out_len = o.w;
    *out_text = o.buf;
    return 0;
}

int32_t csv_detect_delimiter(const char *data, uint64_t len, uint64_t start) {
    if (data == nullptr || start >= len) return ',';
    uint64_t commas = 0, tabs = 0, semis = 0, pipes = 0;
    bool quoted = false;
    for (uint64_t i = start; i < len; ++i) {
        const char c = data[i];
        if (c == '"') {
            quoted = !quoted;  // a doubled quote flips twice and stays quoted
            continue;
        }
        if (quoted) continue;
        if (c == '\n' || c == '\r') break;  // only the first record counts
        switch (c) {
            case ',': ++commas; break;
            case '\t': ++tabs; break;
            case ';': ++semis; break;
            case '|': ++pipes; break;
            default: break;
        }
    }
    // Highest count wins; ties go to comma, tab, semicolon, pipe in order.
    const uint64_t best = commas > tabs ? commas : tabs;
    if (semis > best) return pipes > semis ? '|' : ';';
    if (pipes > best) return '|';
    if (best == 0) return ',';
    return tabs > commas ? '\t' : ',';
}

/* ---- named encodings ----------------------------------------------------- */

namespace {

const unsigned char k_replacement[3] = {0xEF, 0xBF, 0xBD};  // U+FFFD

// Test seam: iconv calls made by csv_iconv_piece on this thread.
thread_local uint64_t g_iconv_calls = 0;

// A converter for one load. iconv itself skips nothing, so a rejected
// character is stepped over here: one code unit of the encoding (2 bytes
// for UTF-16 and UCS-2, 4 for UTF-32 and UCS-4, else 1), so that the text
// after it is read in step. A single-byte encoding whose every byte is a
// character or rejected on its own, whatever comes before, is decoded
// from a table once a byte has been rejected: invalid input then costs a
// lookup per byte, not a call.
struct named_converter {
    iconv_t cd;
    uint32_t unit;          // bytes of one code unit: 1, 2 or 4
    int32_t single;         // -1 not yet learnt; 1 decoded by `out`, 0 not
    bool holds_back;        // keeps a character to combine with the next (CP1255)
    uint32_t out_max;       // with single: the most bytes one byte gives
    uint8_t out_len[256];   // with single: UTF-8 bytes of each byte, 0 rejected
    char out[256][8];
};

constexpr uint32_t k_single_out_max = 8;

void set_named_oom(const char *name) { csv_set_error("out of memory while transcoding %s", name); }

// Grows `*out` so that at least `room` bytes follow `w`, doubling at least.
int ensure_room(char **out, uint64_t *cap, uint64_t w, uint64_t room, const char *name) {
    if (*cap - w >= room) return 0;
    uint64_t want = *cap * 2;
    if (want < w + room) want = w + room;
    void *p = (want < *cap || want > SIZE_MAX) ? nullptr : csv_realloc(*out, static_cast<size_t>(want));
    if (p == nullptr) {
        set_named_oom(name);
        return -1;
    }
    *out = static_cast<char *>(p);
    *cap = want;
    return 0;
}

// End of the run of ASCII bytes from `i`, eight at a time.
uint64_t ascii_run_end(const unsigned char *s, uint64_t i, uint64_t n) {
    while (n - i >= 8) {
        uint64_t x;
        memcpy(&x, s + i, 8);
        if ((x & 0x8080808080808080ull) != 0) break;
        i += 8;
    }
    while (i < n && s[i] < 0x80) ++i;
    return i;
}

// Bytes one code unit of `name` takes: what a second "A" adds when text is
// written in it (the first may bring a byte order mark). 1 when that
// cannot be learnt.
uint32_t unit_of(const char *name) {
    iconv_t to = iconv_open(name, "UTF-8");
    if (to == reinterpret_cast<iconv_t>(-1)) return 1;
    char buf[32];
    size_t second = 0;
    bool ok = true;
    for (int k = 0; k < 2 && ok; ++k) {
        char a[] = "A";
        char *in = a;
        size_t in_left = 1;
        char *dst = buf;
        size_t dst_left = sizeof buf;
        ok = iconv(to, &in, &in_left, &dst, &dst_left) != static_cast<size_t>(-1) && in_left == 0;
        second = sizeof buf - dst_left;
    }
    iconv_close(to);
    return ok && (second == 2 || second == 4) ? static_cast<uint32_t>(second) : 1;
}

// Learns whether `name` is a stateless single-byte encoding and fills the
// table if so: every byte, converted alone from the initial state, either
// gives a character (and leaves no state to flush) or is rejected. A byte
// that gives nothing yet (a shift, a character held to combine with the
// next), or that starts a longer sequence, rules the table out. Also
// learns whether characters are held back, which a flush then gives.
void learn_single(named_converter *c, const char *name) {
    c->single = 0;
    c->holds_back = false;
    if (c->unit != 1) return;
    iconv_t probe = iconv_open("UTF-8", name);
    if (probe == reinterpret_cast<iconv_t>(-1)) return;  // no table: a call per byte
    uint32_t most = 0;
    bool all_single = true;
    for (int b = 0; b < 256; ++b) {
        iconv(probe, nullptr, nullptr, nullptr, nullptr);
        char byte = static_cast<char>(b);
        char *in = &byte;
        size_t in_left = 1;
        char buf[k_single_out_max];
        char *dst = buf;
        size_t dst_left = sizeof buf;
        const size_t r = iconv(probe, &in, &in_left, &dst, &dst_left);
        const size_t n = sizeof buf - dst_left;
        if (r == static_cast<size_t>(-1) && errno == EILSEQ && in_left == 1 && n == 0) {
            c->out_len[b] = 0;
            continue;
        }
        size_t flushed = dst_left;
        const bool flush_ok = iconv(probe, nullptr, nullptr, &dst, &flushed) != static_cast<size_t>(-1);
        if (r != static_cast<size_t>(-1) && in_left == 0 && n == 0 && flush_ok && flushed != dst_left)
            c->holds_back = true;
        const bool single = r != static_cast<size_t>(-1) && in_left == 0 && n != 0 && flush_ok &&
                            flushed == dst_left;
        if (!single) {
            all_single = false;
            continue;
        }
        c->out_len[b] = static_cast<uint8_t>(n);
        memcpy(c->out[b], buf, n);
        if (n > most) most = static_cast<uint32_t>(n);
    }
    iconv_close(probe);
    if (!all_single) return;
    c->out_max = most > sizeof k_replacement ? most : sizeof k_replacement;
    c->single = 1;
}

// Decodes all of data[0..len) by the table of a single-byte encoding.
int decode_single(const named_converter *c, const char *name, const unsigned char *data,
                  uint64_t len, char **out, uint64_t *cap, uint64_t *w, uint64_t *replaced) {
    assert(c->single == 1);
    constexpr uint64_t k_step = 4096;  // input bytes per check of the room
    for (uint64_t i = 0; i < len;) {
        const uint64_t end = len - i < k_step ? len : i + k_step;
        // A byte's copy writes k_single_out_max bytes, of which n count.
        if (ensure_room(out, cap, *w, (end - i) * c->out_max + k_single_out_max + 1, name) != 0) return -1;
        char *dst = *out + *w;
        for (; i < end; ++i) {
            const uint32_t n = c->out_len[data[i]];
            if (n == 0) {
                memcpy(dst, k_replacement, sizeof k_replacement);
                dst += sizeof k_replacement;
                *replaced += 1;
            } else {
                memcpy(dst, c->out[data[i]], k_single_out_max);  // only n bytes count
                dst += n;
            }
        }
        *w = static_cast<uint64_t>(dst - *out);
        assert(*w < *cap);  // the NUL's byte stays free
    }
    return 0;
}

}  // namespace

int csv_iconv_open(const char *name, void **out_cd) {
    *out_cd = nullptr;
    iconv_t cd = iconv_open("UTF-8", name);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        if (errno == ENOMEM) csv_set_error("out of memory");
        else csv_set_error("unknown encoding: %s", name);
        return -1;
    }
    auto *c = static_cast<named_converter *>(csv_malloc(sizeof(named_converter)));
    if (c == nullptr) {
        iconv_close(cd);
        csv_set_error("out of memory");
        return -1;
    }
    memset(c, 0, sizeof *c);  // the table's unused bytes are copied too
    c->cd = cd;
    c->unit = unit_of(name);
    c->single = -1;
    c->out_max = 0;
    *out_cd = c;
    return 0;
}

void csv_iconv_close(void *cd) {
    if (cd == nullptr) return;
    auto *c = static_cast<named_converter *>(cd);
    iconv_close(c->cd);
    csv_free(c);
}

uint64_t csv_iconv_calls(void) { return g_iconv_calls; }

bool csv_iconv_single_byte(void *cd) {
    iconv_t conv = static_cast<named_converter *>(cd)->cd;
    for (unsigned b = 0; b < 256; ++b) {
        iconv(conv, nullptr, nullptr, nullptr, nullptr);  // the initial state
        char in_byte = static_cast<char>(b);
        char out[16];
        char *in = &in_byte, *dst = out;
        size_t in_left = 1, out_left = sizeof out;
        const size_t r = iconv(conv, &in, &in_left, &dst, &out_left);
        // A byte that only starts a sequence (or a shift) makes the text
        // one that cannot be cut anywhere.
        if (r == static_cast<size_t>(-1) && errno != EILSEQ) return false;
        if (b < 0x80 && (r == static_cast<size_t>(-1) || dst != out + 1 ||
                         static_cast<unsigned char>(out[0]) != b))
            return false;
    }
    iconv(conv, nullptr, nullptr, nullptr, nullptr);
    return true;
}

int csv_iconv_piece(void *cd, const char *name, const unsigned char *data, uint64_t len,
                    int32_t last, char **out, uint64_t *cap, uint64_t *w, uint64_t *used,
                    uint64_t *replaced) {
    *used = 0;
    auto *c = static_cast<named_converter *>(cd);
    if (c->single == 1) {
        if (decode_single(c, name, data, len, out, cap, w, replaced) != 0) return -1;
        *used = len;
        return 0;
    }
    iconv_t conv = c->cd;
    char *in = reinterpret_cast<char *>(const_cast<unsigned char *>(data));
    size_t in_left = static_cast<size_t>(len);
    // Most text grows by less than a third; room for that is made up
    // front, and the loop grows the buffer when a piece needs more.
    if (ensure_room(out, cap, *w, len + len / 4 + 16, name) != 0) return -1;
    bool flushed = false;
    for (;;) {
        char *dst = *out + *w;
        size_t dst_left = static_cast<size_t>(*cap - *w - 1);  // the NUL's byte stays free
        const bool flush = in_left == 0;
        if (flush && (!last || flushed)) break;
        // With no input left at the end, the call writes what a stateful
        // encoding still holds back.
        ++g_iconv_calls;
        const size_t r = flush ? iconv(conv, nullptr, nullptr, &dst, &dst_left)
                               : iconv(conv, &in, &in_left, &dst, &dst_left);
        *w = static_cast<uint64_t>(dst - *out);
        if (r != static_cast<size_t>(-1)) {
            flushed = flush;
            continue;
        }
        if (errno == E2BIG) {
            if (ensure_room(out, cap, *w, 4 * uint64_t{in_left} + 64, name) != 0) return -1;
        } else if (!flush && (errno == EILSEQ || (errno == EINVAL && last))) {
            // A rejected character, or a sequence the end of the text cuts:
            // its code unit (or what is left of it) becomes one U+FFFD, and
            // decoding goes on after it. A character held back to combine
            // comes out first, so that the text keeps its order.
            if (c->single < 0) learn_single(c, name);
            if (c->holds_back) {
                if (ensure_room(out, cap, *w, 64, name) != 0) return -1;
                dst = *out + *w;
                dst_left = static_cast<size_t>(*cap - *w - 1);
                ++g_iconv_calls;
                iconv(conv, nullptr, nullptr, &dst, &dst_left);
                *w = static_cast<uint64_t>(dst - *out);
            }
            if (ensure_room(out, cap, *w, sizeof k_replacement + 1, name) != 0) return -1;
            memcpy(*out + *w, k_replacement, sizeof k_replacement);
            *w += sizeof k_replacement;
            const size_t skip = in_left < c->unit ? in_left : c->unit;
            *replaced += skip;
            in += skip;
            in_left -= skip;
            if (c->single == 1) {
                // The rest by the table: stateless, so nothing is held back.
                const uint64_t at = len - in_left;
                if (decode_single(c, name, data + at, in_left, out, cap, w, replaced) != 0) return -1;
                in_left = 0;
                break;
            }
        } else if (flush) {
            flushed = true;  // nothing more can come out of the state
        } else {
            break;  // EINVAL: a sequence the next piece completes
        }
    }
    *used = len - in_left;
    return 0;
}

int csv_utf8_replace_invalid(char **text, uint64_t *len, const char *name,
                             uint64_t *replaced) {
    const unsigned char *s = reinterpret_cast<const unsigned char *>(*text);
    const uint64_t n = *len;
    uint64_t bad = 0;
    for (uint64_t i = 0; i < n;) {
        if (s[i] < 0x80) {
            i = ascii_run_end(s, i + 1, n);
            continue;
        }
        const uint32_t k = csv_utf8_seq_len(s, i, n);
        if (k == 0) ++bad;
        i += k == 0 ? 1 : k;
    }
    if (bad == 0) return 0;
    const uint64_t out_len = n + 2 * bad;
    char *out = static_cast<char *>(csv_malloc(static_cast<size_t>(out_len + 1)));
    if (out == nullptr) {
        set_named_oom(name);
        return -1;
    }
    uint64_t w = 0;
    for (uint64_t i = 0; i < n;) {
        const uint32_t k = csv_utf8_seq_len(s, i, n);
        if (k == 0) {
            memcpy(out + w, k_replacement, sizeof k_replacement);
            w += sizeof k_replacement;
            ++i;
        } else {
            memcpy(out + w, s + i, k);
            w += k;
            i += k;
        }
    }
    out[w] = '\0';
    csv_free(*text);
    *text = out;
    *len = w;
    *replaced += bad;
    return 0;
}
