// Cell helpers shared by the queries and emitters: repair of stored text to
// well-formed UTF-8 on its way into a document, and the test that reads a
// cell as a number. Both only read their arguments and keep no state.
#include <assert.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>
#if !defined(_WIN32)
#include <langinfo.h>
#endif

#include "csv_internal.h"

/* ---- UTF-8 repair ------------------------------------------------------- */

namespace {


// Offset of the first non-ASCII byte in s[i..end), or `end`. Skips whole
// blocks of ASCII at a time.
inline uint64_t skip_ascii(const unsigned char *s, uint64_t i, uint64_t end) {
#if CSV_HAVE_SSE2
    while (end - i >= 16) {
        int mask = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i)));
        if (mask != 0) return i + static_cast<uint64_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        i += 16;
    }
#else
    while (end - i >= 8) {
        uint64_t x;
        memcpy(&x, s + i, 8);
        if ((x & 0x8080808080808080ull) != 0) break;
        i += 8;
    }
#endif
    while (i < end && s[i] < 0x80) ++i;
    return i;
}

// Position of the first byte at or after `i` where no well-formed sequence
// begins, or `len` when the rest of the text is well-formed.
uint64_t utf8_valid_upto(const unsigned char *s, uint64_t i, uint64_t len) {
    while (i < len) {
        if (s[i] < 0x80) {  // block scan only where ASCII starts
            i = skip_ascii(s, i + 1, len);
            continue;
        }
        uint32_t n = csv_utf8_seq_len(s, i, len);
        if (n == 0) break;
        i += n;
    }
    return i;
}

// Copies `len` bytes to `out`, well-formed sequences as they are and every
// other byte as its ISO-8859-1 character; returns the bytes written.
uint64_t utf8_repair(const unsigned char *s, uint64_t len, unsigned char *out) {
    uint64_t i = 0, w = 0;
    while (i < len) {
        uint64_t j = utf8_valid_upto(s, i, len);
        memcpy(out + w, s + i, j - i);
        w += j - i;
        if (j == len) break;
        const unsigned char b = s[j];
        out[w++] = static_cast<unsigned char>(0xC0 | (b >> 6));
        out[w++] = static_cast<unsigned char>(0x80 | (b & 0x3F));
        i = j + 1;  // what follows a rejected byte is examined afresh
    }
    return w;
}

const char k_empty_text[] = "";

}  // namespace

const char *csv_utf8_sanitize(const char *text, uint64_t len, uint64_t *out_len,
                              int32_t *out_must_free) {
    if (out_must_free != nullptr) *out_must_free = 0;
    if (text == nullptr) {
        if (out_len != nullptr) *out_len = 0;
        return k_empty_text;
    }
    if (out_len != nullptr) *out_len = len;
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
    if (utf8_valid_upto(s, 0, len) == len) return text;

    // Not well-formed: a repaired copy, at most two bytes per input byte.
    if (len > (SIZE_MAX - 1) / 2) return text;
    unsigned char *out = static_cast<unsigned char *>(csv_malloc(static_cast<size_t>(2 * len + 1)));
    if (out == nullptr) return text;  // the document writer reports it
    uint64_t w = utf8_repair(s, len, out);
    out[w] = '\0';
    if (out_len != nullptr) *out_len = w;
    if (out_must_free != nullptr) *out_must_free = 1;
    return reinterpret_cast<const char *>(out);
}

uint64_t csv_utf8_invalid_count(const char *text, uint64_t len) {
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
    uint64_t bad = 0;
    // What follows a rejected byte is examined afresh, as the repair does.
    for (uint64_t i = 0; (i = utf8_valid_upto(s, i, len)) < len; ++i) ++bad;
    assert(bad <= len);
    return bad;
}

uint64_t csv_utf8_repaired_len(const char *text, uint64_t len) {
    return len + csv_utf8_invalid_count(text, len);  // each rejected byte becomes two
}

uint64_t csv_utf8_repair_into(const char *text, uint64_t len, char *out) {
    return utf8_repair(reinterpret_cast<const unsigned char *>(text), len,
                       reinterpret_cast<unsigned char *>(out));
}

namespace {

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

/* ---- numeric cells ------------------------------------------------------ */

namespace {

constexpr size_t k_max_numeric = CSV_MAX_NUMERIC_TEXT;

// Powers of ten that a double holds exactly.
constexpr double k_exact_pow10[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// True when the decimal point of the calling thread's locale is '.', so
// that plain decimal text means the same to strtod as to the fast path.
inline bool locale_point_is_dot() {
#if defined(_WIN32)
    const char *dp = localeconv()->decimal_point;
#else
    const char *dp = nl_langinfo(RADIXCHAR);
#endif
    return dp != nullptr && dp[0] == '.' && dp[1] == '\0';
}

// Plain decimal text, [sign] digits [. digits] [e [sign] digits], whose
// value is an integer below 2^53 times or divided by an exact power of ten:
// one correctly rounded operation on exact operands, so the result is the
// one strtod gives. Returns false for anything else, which then goes to
// strtod.
bool parse_simple_decimal(const char *s, size_t n, double *out) {
    size_t i = 0;
    bool neg = false;
    if (s[i] == '+' || s[i] == '-') {
        neg = s[i] == '-';
        ++i;
    }
    uint64_t mant = 0;
    int sig = 0;     // significant digits kept in mant
    int scale = 0;   // decimal exponent contributed by the digits
    int digits = 0;  // all digits seen
    for (; i < n && static_cast<unsigned>(s[i] - '0') <= 9; ++i, ++digits) {
        if (mant == 0 && s[i] == '0') continue;  // leading zero
        if (++sig > 19) return false;
        mant = mant * 10 + static_cast<unsigned>(s[i] - '0');
    }
    if (i < n && s[i] == '.') {
        for (++i; i < n && static_cast<unsigned>(s[i] - '0') <= 9; ++i, ++digits) {
            --scale;
            if (mant == 0 && s[i] == '0') continue;
            if (++sig > 19) return false;
            mant = mant * 10 + static_cast<unsigned>(s[i] - '0');
        }
    }
    if (digits == 0) return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool eneg = false;
        if (i < n && (s[i] == '+' || s[i] == '-')) {
            eneg = s[i] == '-';
            ++i;
        }
        int e = 0, edigits = 0;
        for (; i < n && static_cast<unsigned>(s[i] - '0') <= 9; ++i) {
            if (++edigits > 4) return false;
            e = e * 10 + (s[i] - '0');
        }
        if (edigits == 0) return false;
        scale += eneg ? -e : e;
    }
    if (i != n) return false;
    if (mant > (uint64_t{1} << 53) || scale < -22 || scale > 22) return false;
    // The sign goes on the exact operand so that every rounding mode rounds
    // the signed value, as strtod does.
    double m = static_cast<double>(mant);
    if (neg) m = -m;
    *out = scale < 0 ? m / k_exact_pow10[-scale] : m * k_exact_pow10[scale];
    return true;
}

}  // namespace

int csv_is_numeric_field(const char *text, uint64_t len, double *out_value) {
    if (text == nullptr || len == 0) return 0;
    const char *b = text;
    const char *e = text + len;
    while (b < e && is_blank(*b)) ++b;
    if (b == e) return 0;
    while (e > b && is_blank(e[-1])) --e;
    const size_t n = static_cast<size_t>(e - b);
    if (n > k_max_numeric) return 0;
    if (n == 1 && (*b == '+' || *b == '-' || *b == '.')) return 0;

    double v;
    if (locale_point_is_dot() && parse_simple_decimal(b, n, &v)) {
        if (out_value != nullptr) *out_value = v;
        return 1;
    }
    char buf[k_max_numeric + 1];
    memcpy(buf, b, n);
    buf[n] = '\0';
    char *end = nullptr;
    v = strtod(buf, &end);
    // A NUL inside the cell ends the text for this test.
    if (end == buf || *end != '\0') return 0;
    if (out_value != nullptr) *out_value = v;
    return 1;
}

int csv_locale_point_is_dot(void) { return locale_point_is_dot() ? 1 : 0; }

int csv_col_is_numeric(const csv_table *t, int32_t col) {
    if (t == nullptr || col < 0 || col >= t->n_cols || t->n_rows <= 0) return 0;
    bool seen = false;
    for (int64_t r = 0; r < t->n_rows; ++r) {
        const csv_cell *c = csv_cell_at(t, r, col);
        if (c->length == 0) continue;
        if (!csv_is_numeric_field(csv_cell_text(t, c), c->length, nullptr)) return 0;
        seen = true;
    }
    return seen ? 1 : 0;
}

