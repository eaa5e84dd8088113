/* Decodes the library's row answers -- a JSON array of flat objects whose
   members are all strings -- straight into Python rows, without building
   and then walking a general JSON tree.

   rows(data, pairs) -> list
     data:  the answer's UTF-8 bytes, exactly as the library wrote them
     pairs: False gives each row as a dict, or as a list of (name, value)
            tuples when its names repeat (a dict would drop values);
            True gives every row as such a list.

   Two caches keep the work and the memory down: the names of the columns,
   which every row repeats, are decoded once per position; and short cell
   texts that recur (categories, dates, small numbers) share one str object,
   which is safe because str objects are immutable. Anything that is not the
   shape the library writes raises ValueError. */

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Cells up to this many bytes are looked up in the shared-text cache. */
#define SHORT_CELL 32
/* Entries of the shared-text cache (a power of two). */
#define CACHE_SLOTS 2048
/* Names remembered by position: a row with more members decodes the rest. */
#define MAX_KEYS 256

typedef struct {
    PyObject *text; /* owned reference, or NULL */
    Py_ssize_t len;
    char bytes[SHORT_CELL];
} cache_slot;

typedef struct {
    PyObject *obj; /* owned reference, or NULL */
    Py_ssize_t len;
    const char *raw; /* the member's name as written in data (escapes kept) */
    /* How the shared-text cache fares with this member's values: a column
       whose texts rarely recur (ids, free text) stops using it. */
    uint32_t tries, hits;
} key_slot;

/* Values looked up before a member's hit rate decides; the share of hits
   below which it stops looking them up. */
#define TRIAL_CELLS 64
#define MIN_HITS_PER_4 1

/* Kept from call to call (the interpreter lock guards it), so that the
   pages of one answer share their texts too. It holds at most CACHE_SLOTS
   short str objects. */
static cache_slot g_cache[CACHE_SLOTS];

typedef struct {
    const char *p, *end;
    char *scratch; /* unescaped text of the current string */
    Py_ssize_t scratch_cap;
    key_slot keys[MAX_KEYS];
    Py_ssize_t width; /* members of the last row decoded as a dict */
} decoder;

static PyObject *fail(const decoder *d, const char *what) {
    (void)d;
    PyErr_Format(PyExc_ValueError, "malformed rows answer: %s", what);
    return NULL;
}

static inline void skip_space(decoder *d) {
    while (d->p < d->end && (*d->p == ' ' || *d->p == '\n' || *d->p == '\r' || *d->p == '\t'))
        d->p++;
}

static inline int expect(decoder *d, char c) {
    skip_space(d);
    if (d->p < d->end && *d->p == c) {
        d->p++;
        return 1;
    }
    return 0;
}

static int hex4(const char *s, unsigned *out) {
    unsigned v = 0;
    for (int i = 0; i < 4; i++) {
        char c = s[i];
        v <<= 4;
        if (c >= '0' && c <= '9') v |= (unsigned)(c - '0');
        else if (c >= 'a' && c <= 'f') v |= (unsigned)(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') v |= (unsigned)(c - 'A' + 10);
        else return 0;
    }
    *out = v;
    return 1;
}

static int put_utf8(char *o, unsigned cp) {
    if (cp < 0x80) { o[0] = (char)cp; return 1; }
    if (cp < 0x800) { o[0] = (char)(0xC0 | (cp >> 6)); o[1] = (char)(0x80 | (cp & 0x3F)); return 2; }
    if (cp < 0x10000) {
        o[0] = (char)(0xE0 | (cp >> 12));
        o[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        o[2] = (char)(0x80 | (cp & 0x3F));
        return 3;
    }
    o[0] = (char)(0xF0 | (cp >> 18));
    o[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
    o[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
    o[3] = (char)(0x80 | (cp & 0x3F));
    return 4;
}

/* Scans the string at d->p (just after its opening quote). On success sets
   *text, *len to its unescaped UTF-8 (in data itself when it has no escape,
   else in the scratch buffer), *raw, *raw_len to it as written, and moves
   past the closing quote. Returns 0 with an exception set on failure. */
static int scan_string(decoder *d, const char **text, Py_ssize_t *len, const char **raw,
                       Py_ssize_t *raw_len) {
    const char *start = d->p;
    const char *q = start;
    /* The common case: no escape before the closing quote. */
    for (;;) {
        const char *quote = memchr(q, '"', (size_t)(d->end - q));
        if (quote == NULL) {
            fail(d, "unterminated string");
            return 0;
        }
        const char *slash = memchr(q, '\\', (size_t)(quote - q));
        if (slash == NULL) {
            *text = start;
            *len = quote - start;
            *raw = start;
            *raw_len = quote - start;
            d->p = quote + 1;
            return 1;
        }
        break;
    }
    /* Escapes: unescape into scratch (never longer than the source). */
    const char *s = start;
    Py_ssize_t o = 0;
    for (;;) {
        if (s >= d->end) {
            fail(d, "unterminated string");
            return 0;
        }
        Py_ssize_t need = o + 8;
        if (need > d->scratch_cap) {
            Py_ssize_t cap = d->scratch_cap ? d->scratch_cap : 256;
            while (cap < need) cap *= 2;
            char *grown = PyMem_Realloc(d->scratch, (size_t)cap);
            if (grown == NULL) {
                PyErr_NoMemory();
                return 0;
            }
            d->scratch = grown;
            d->scratch_cap = cap;
        }
        char c = *s;
        if (c == '"') break;
        if (c != '\\') {
            d->scratch[o++] = c;
            s++;
            continue;
        }
        if (d->end - s < 2) {
            fail(d, "unterminated string");
            return 0;
        }
        char e = s[1];
        s += 2;
        switch (e) {
        case '"': d->scratch[o++] = '"'; break;
        case '\\': d->scratch[o++] = '\\'; break;
        case '/': d->scratch[o++] = '/'; break;
        case 'b': d->scratch[o++] = '\b'; break;
        case 'f': d->scratch[o++] = '\f'; break;
        case 'n': d->scratch[o++] = '\n'; break;
        case 'r': d->scratch[o++] = '\r'; break;
        case 't': d->scratch[o++] = '\t'; break;
        case 'u': {
            unsigned cp, lo;
            if (d->end - s < 4 || !hex4(s, &cp)) {
                fail(d, "bad \\u escape");
                return 0;
            }
            s += 4;
            if (cp >= 0xD800 && cp < 0xDC00 && d->end - s >= 6 && s[0] == '\\' && s[1] == 'u' &&
                hex4(s + 2, &lo) && lo >= 0xDC00 && lo < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                s += 6;
            } else if (cp >= 0xD800 && cp < 0xE000) {
                cp = 0xFFFD; /* a lone surrogate has no UTF-8 form */
            }
            o += put_utf8(d->scratch + o, cp);
            break;
        }
        default:
            fail(d, "bad escape");
            return 0;
        }
    }
    *text = d->scratch;
    *len = o;
    *raw = start;
    *raw_len = s - start;
    d->p = s + 1;
    return 1;
}

/* Whether the len (2 .. 32) bytes at s are all ASCII: a word at a time,
   the last word overlapping the one before it. */
static inline int short_ascii(const char *s, Py_ssize_t len) {
    uint64_t acc = 0, w;
    if (len >= 8) {
        for (Py_ssize_t i = 0; i + 8 < len; i += 8) {
            memcpy(&w, s + i, 8);
            acc |= w;
        }
        memcpy(&w, s + len - 8, 8);
        acc |= w;
    } else if (len >= 4) {
        uint32_t a, b;
        memcpy(&a, s, 4);
        memcpy(&b, s + len - 4, 4);
        acc = a | b;
    } else {
        for (Py_ssize_t i = 0; i < len; i++) acc |= (unsigned char)s[i];
    }
    return (acc & 0x8080808080808080ull) == 0;
}

static PyObject *make_text(const char *text, Py_ssize_t len) {
    /* Short ASCII text (most cells) is copied into a new str directly; one
       character goes through the decoder, which shares those. */
    if (len > 1 && len <= 32) {
        if (short_ascii(text, len)) {
            PyObject *obj = PyUnicode_New(len, 127);
            if (obj != NULL) memcpy(PyUnicode_DATA(obj), text, (size_t)len);
            return obj;
        }
    }
    return PyUnicode_DecodeUTF8(text, len, "strict");
}

/* A hash of the 1 .. 32 bytes at s, from their first and last (at most)
   eight: enough to spread the texts of a column over the cache. */
static inline uint32_t short_hash(const char *s, Py_ssize_t len) {
    uint64_t a = 0, b = 0;
    if (len >= 8) {
        memcpy(&a, s, 8);
        memcpy(&b, s + len - 8, 8);
    } else {
        memcpy(&a, s, (size_t)len);
    }
    uint64_t h = (a * 0x9E3779B97F4A7C15ull) ^ ((b ^ (uint64_t)len) * 0xC2B2AE3D27D4EB4Full);
    return (uint32_t)(h ^ (h >> 29) ^ (h >> 47));
}

/* A new reference to the str of the short text[0..len) (1 .. SHORT_CELL
   bytes), shared with earlier equal texts while they stay in the cache.
   *tries and *hits count a column's lookups: once TRIAL_CELLS of them
   found too few, its texts are made each time (NULL counters: always
   looked up). */
static PyObject *shared_text(uint32_t *tries, uint32_t *hits, const char *text, Py_ssize_t len) {
    int trial = tries != NULL && *tries < TRIAL_CELLS;
    if (trial) ++*tries;
    else if (tries != NULL && *hits * 4 < *tries * MIN_HITS_PER_4) return make_text(text, len);
    cache_slot *slot = &g_cache[short_hash(text, len) & (CACHE_SLOTS - 1)];
    if (slot->text != NULL && slot->len == len && memcmp(slot->bytes, text, (size_t)len) == 0) {
        if (trial) ++*hits;
        Py_INCREF(slot->text);
        return slot->text;
    }
    PyObject *obj = make_text(text, len);
    if (obj == NULL) return NULL;
    Py_XDECREF(slot->text);
    Py_INCREF(obj);
    slot->text = obj;
    slot->len = len;
    memcpy(slot->bytes, text, (size_t)len);
    return obj;
}

/* A new reference to the str of a cell of member `member`. */
static PyObject *cell_text(decoder *d, Py_ssize_t member, const char *text, Py_ssize_t len) {
    if (len == 0) return PyUnicode_New(0, 0); /* the shared empty str */
    if (len > SHORT_CELL) return make_text(text, len);
    key_slot *k = member < MAX_KEYS ? &d->keys[member] : NULL;
    return k != NULL ? shared_text(&k->tries, &k->hits, text, len) : shared_text(NULL, NULL, text, len);
}

/* A new reference to the name of member `i`: reused while each row writes
   that member's name with the same bytes. */
static PyObject *key_text(decoder *d, Py_ssize_t i, const char *text, Py_ssize_t len,
                          const char *raw, Py_ssize_t raw_len) {
    if (i >= MAX_KEYS) return make_text(text, len);
    key_slot *k = &d->keys[i];
    if (k->obj != NULL && k->len == raw_len && memcmp(k->raw, raw, (size_t)raw_len) == 0) {
        Py_INCREF(k->obj);
        return k->obj;
    }
    PyObject *obj = make_text(text, len);
    if (obj == NULL) return NULL;
    PyUnicode_InternInPlace(&obj);
    Py_XDECREF(k->obj);
    Py_INCREF(obj);
    k->obj = obj;
    k->len = raw_len;
    k->raw = raw; /* points into data, which outlives the decoder */
    k->tries = k->hits = 0;
    return obj;
}

/* Scans a string as scan_string does, looking first for a short one with
   no escape byte by byte (most cells), which beats two library scans. */
static inline int scan_text(decoder *d, const char **text, Py_ssize_t *len, const char **raw,
                            Py_ssize_t *raw_len) {
    const char *start = d->p, *q = start;
    const char *stop = d->end - start > 24 ? start + 24 : d->end;
    while (q < stop && *q != '"' && *q != '\\') q++;
    if (q < stop && *q == '"') {
        *text = *raw = start;
        *len = *raw_len = q - start;
        d->p = q + 1;
        return 1;
    }
    return scan_string(d, text, len, raw, raw_len);
}

/* Reads member `i` of an object (d->p at its name's opening quote or the
   blanks before it): new references to its name and value. The name is
   matched against the one the previous row wrote at the same place before
   it is scanned at all. */
static int read_member(decoder *d, Py_ssize_t i, PyObject **key, PyObject **value) {
    const char *text, *raw;
    Py_ssize_t len, raw_len;
    if (!expect(d, '"')) return fail(d, "expected a name"), 0;
    key_slot *k = i < MAX_KEYS ? &d->keys[i] : NULL;
    if (k != NULL && k->obj != NULL && d->end - d->p > k->len && d->p[k->len] == '"' &&
        memcmp(d->p, k->raw, (size_t)k->len) == 0) {
        /* The same bytes as a complete name before: the same name. */
        d->p += k->len + 1;
        Py_INCREF(k->obj);
        *key = k->obj;
    } else {
        if (!scan_string(d, &text, &len, &raw, &raw_len)) return 0;
        *key = key_text(d, i, text, len, raw, raw_len);
        if (*key == NULL) return 0;
    }
    if (!expect(d, ':') || !expect(d, '"')) {
        Py_CLEAR(*key);
        return fail(d, "expected ':' and a text value"), 0;
    }
    if (!scan_text(d, &text, &len, &raw, &raw_len) ||
        (*value = cell_text(d, i, text, len)) == NULL) {
        Py_CLEAR(*key);
        return 0;
    }
    return 1;
}

/* After a member: 1 when another follows, 0 at the object's end, -1 with an
   exception set when neither. */
static int member_follows(decoder *d) {
    if (expect(d, ',')) return 1;
    if (expect(d, '}')) return 0;
    fail(d, "expected ',' or '}'");
    return -1;
}

/* Decodes one object (d->p just after its '{') into a list of pairs. */
static PyObject *decode_members(decoder *d, PyObject *names, PyObject *values) {
    skip_space(d);
    if (d->p < d->end && *d->p == '}') {
        d->p++;
        return names;
    }
    for (Py_ssize_t i = 0;; i++) {
        PyObject *key, *value;
        if (!read_member(d, i, &key, &value)) return NULL;
        int added = PyList_Append(names, key) == 0 && PyList_Append(values, value) == 0;
        Py_DECREF(key);
        Py_DECREF(value);
        if (!added) return NULL;
        int more = member_follows(d);
        if (more < 0) return NULL;
        if (more == 0) return names;
    }
}

/* Decodes one object (d->p just after its '{') straight into a dict of
   `hint` members. Sets *repeated (and returns NULL, no exception) when a
   name repeats: the caller decodes the row again as pairs. */
static PyObject *decode_dict(decoder *d, Py_ssize_t hint, int *repeated) {
    PyObject *row = _PyDict_NewPresized(hint);
    if (row == NULL) return NULL;
    skip_space(d);
    if (d->p < d->end && *d->p == '}') {
        d->p++;
        return row;
    }
    for (Py_ssize_t i = 0;; i++) {
        PyObject *key, *value;
        if (!read_member(d, i, &key, &value)) break;
        int set = PyDict_SetItem(row, key, value);
        Py_DECREF(key);
        Py_DECREF(value);
        if (set < 0) break;
        int more = member_follows(d);
        if (more < 0) break;
        if (more == 0) {
            if (PyDict_GET_SIZE(row) != i + 1) {
                *repeated = 1;
                break;
            }
            /* A dict holding only str objects cannot be part of a cycle:
               the collector need not visit it (it untracks such dicts
               itself on its first pass, and tracks one again if a
               container is stored in it). */
            if (PyObject_GC_IsTracked(row)) PyObject_GC_UnTrack(row);
            return row;
        }
    }
    Py_DECREF(row);
    return NULL;
}

/* A new (name, value) tuple of two str objects, which can never be part
   of a cycle: the collector need not visit it. */
static PyObject *text_pair(PyObject *name, PyObject *value) {
    PyObject *pair = PyTuple_Pack(2, name, value);
    if (pair != NULL) PyObject_GC_UnTrack(pair);
    return pair;
}

static PyObject *pair_list(PyObject *names, PyObject *values) {
    Py_ssize_t n = PyList_GET_SIZE(names);
    PyObject *row = PyList_New(n);
    if (row == NULL) return NULL;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *pair = text_pair(PyList_GET_ITEM(names, i), PyList_GET_ITEM(values, i));
        if (pair == NULL) {
            Py_DECREF(row);
            return NULL;
        }
        PyList_SET_ITEM(row, i, pair);
    }
    return row;
}

static PyObject *decode_row(decoder *d, int pairs, PyObject *names, PyObject *values) {
    if (!pairs) {
        const char *at = d->p;
        int repeated = 0;
        PyObject *row = decode_dict(d, d->width, &repeated);
        if (row != NULL) {
            d->width = PyDict_GET_SIZE(row);
            return row;
        }
        if (!repeated) return NULL;
        d->p = at; /* repeated names: a dict would drop values */
    }
    if (PyList_SetSlice(names, 0, PyList_GET_SIZE(names), NULL) < 0 ||
        PyList_SetSlice(values, 0, PyList_GET_SIZE(values), NULL) < 0)
        return NULL;
    if (decode_members(d, names, values) == NULL) return NULL;
    return pair_list(names, values);
}

static void decoder_free(decoder *d) {
    for (Py_ssize_t i = 0; i < MAX_KEYS; i++) Py_XDECREF(d->keys[i].obj);
    PyMem_Free(d->scratch);
}

static PyObject *decode_answer(const char *text, Py_ssize_t len, int pairs) {
    decoder *d = PyMem_Calloc(1, sizeof *d);
    PyObject *out = NULL, *names = NULL, *values = NULL;
    if (d == NULL) return PyErr_NoMemory();
    /* Nothing made here can form a cycle: the collector's runs, which the
       many new objects would trigger over and over, wait until the end. */
    int collecting = PyGC_Disable();
    d->p = text;
    d->end = text + len;
    names = PyList_New(0);
    values = PyList_New(0);
    out = PyList_New(0);
    if (names == NULL || values == NULL || out == NULL) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        Py_CLEAR(out);
        goto done;
    }
    if (!expect(d, '[')) {
        fail(d, "expected '['");
        Py_CLEAR(out);
        goto done;
    }
    if (!expect(d, ']')) {
        for (;;) {
            if (!expect(d, '{')) {
                fail(d, "expected '{'");
                Py_CLEAR(out);
                goto done;
            }
            PyObject *row = decode_row(d, pairs, names, values);
            if (row == NULL || PyList_Append(out, row) < 0) {
                Py_XDECREF(row);
                Py_CLEAR(out);
                goto done;
            }
            Py_DECREF(row);
            if (expect(d, ',')) continue;
            if (expect(d, ']')) break;
            fail(d, "expected ',' or ']'");
            Py_CLEAR(out);
            goto done;
        }
    }
    skip_space(d);
    if (d->p != d->end) {
        fail(d, "text after the answer");
        Py_CLEAR(out);
    }
done:
    if (collecting) PyGC_Enable();
    Py_XDECREF(names);
    Py_XDECREF(values);
    if (d != NULL) {
        decoder_free(d);
        PyMem_Free(d);
    }
    return out;
}

static PyObject *rows(PyObject *self, PyObject *args) {
    (void)self;
    Py_buffer buf;
    int pairs = 0;
    if (!PyArg_ParseTuple(args, "y*|p:rows", &buf, &pairs)) return NULL;
    PyObject *out = decode_answer(buf.buf, buf.len, pairs);
    PyBuffer_Release(&buf);
    return out;
}

/* rows_at(address, pairs=False): as rows(), from the NUL-terminated answer
   at `address` (the library's result text, read in place before any other
   call of the library on this thread can replace it). */
static PyObject *rows_at(PyObject *self, PyObject *args) {
    (void)self;
    unsigned long long address;
    int pairs = 0;
    if (!PyArg_ParseTuple(args, "K|p:rows_at", &address, &pairs)) return NULL;
    const char *text = (const char *)(uintptr_t)address;
    if (text == NULL) {
        PyErr_SetString(PyExc_ValueError, "rows_at: null address");
        return NULL;
    }
    return decode_answer(text, (Py_ssize_t)strlen(text), pairs);
}

/* ---- Arrow streams ------------------------------------------------------

   arrow_columns(stream_address, rows, missing, make, markers) -> columns
     stream_address: the address of a struct ArrowArrayStream the caller
                     owns (and releases); its batches are read to the end,
                     each released once read
     rows:           the row count, to size the columns once
     missing:        the object an empty text cell becomes (None keeps "")
     make:           make(kind) -> a new C-contiguous ndarray of `rows`
                     items: int64 for "l", float64 for "g", object (filled
                     with None) for "u", bool (all False) for "?"
     markers:        when true, text cells that are null markers become
                     `missing` too (numeric columns have them as nulls)
     pools:          optional, a text_pools(n) capsule for the stream's n
                     columns: their strs are shared with earlier calls
     late:           when true, a text column's array is made once the
                     stream has ended, its items gathered until then in
                     memory that is only written as they come: numpy writes
                     every page of an object array when it makes it (it
                     fills it with None), so one made at the start is held
                     whole from the first batch on, while a stream that
                     gives its table's memory back as it goes (the table
                     closed) shrinks the table a batch at a time
   Each column is (name, format, data, mask), data an ndarray from make:
   for int64 ("l") columns mask is a bool ndarray, True where the value is
   null (None when none is); float64 ("g") columns have NaN there and mask
   None; text ("u") columns hold str objects (or `missing`), mask None.
   Every array's `offset` is honoured. */

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4
struct ArrowSchema {
    const char *format;
    const char *name;
    const char *metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema **children;
    struct ArrowSchema *dictionary;
    void (*release)(struct ArrowSchema *);
    void *private_data;
};
struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void **buffers;
    struct ArrowArray **children;
    struct ArrowArray *dictionary;
    void (*release)(struct ArrowArray *);
    void *private_data;
};
#endif
#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream *, struct ArrowSchema *out);
    int (*get_next)(struct ArrowArrayStream *, struct ArrowArray *out);
    const char *(*get_last_error)(struct ArrowArrayStream *);
    void (*release)(struct ArrowArrayStream *);
    void *private_data;
};
#endif

/* The null markers of the library's typed export (blanks around ignored). */
static const char *const k_markers[] = {
    "NA", "N/A", "n/a", "NaN", "nan", "-NaN", "-nan", "null", "NULL", "None", "#N/A",
    "#NA", "#N/A N/A", "<NA>", "-", "1.#IND", "-1.#IND", "1.#QNAN", "-1.#QNAN",
};

static int is_marker(const char *s, Py_ssize_t n) {
    while (n > 0 && (*s == ' ' || *s == '\t')) s++, n--;
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t')) n--;
    if (n == 0 || n > 8) return 0;
    for (size_t i = 0; i < sizeof k_markers / sizeof k_markers[0]; i++)
        if ((Py_ssize_t)strlen(k_markers[i]) == n && memcmp(k_markers[i], s, (size_t)n) == 0)
            return 1;
    return 0;
}

/* ---- a column's pool of texts ---------------------------------------

   The str objects of one column already made, found by their bytes: a
   column of repeated values (categories, dates, names) then holds one str
   per distinct value, as a parser's string pool does, which saves both
   the making and the memory. A column whose texts rarely repeat (ids, free
   text) stops using it after a trial. str objects are immutable, so sharing
   one is safe. */

#define POOL_MAX_LEN 64        /* longer texts are made each time */
#define POOL_MAX_ENTRIES 65536 /* distinct texts kept; then only looked up */
#define POOL_TRIAL 4096        /* lookups before the hit rate decides */

typedef struct {
    PyObject *text; /* owned reference, or NULL for an empty slot */
    uint64_t hash;
    size_t at;      /* the text's bytes in the pool's arena */
    Py_ssize_t len;
} pool_slot;

typedef struct {
    pool_slot *slots;
    size_t mask; /* slots - 1 (a power of two), or 0 before the first use */
    size_t used;
    char *arena;
    size_t arena_len, arena_cap;
    uint64_t tries, hits;
    int off;
} text_pool;

static void pool_free(text_pool *p) {
    if (p->slots != NULL)
        for (size_t i = 0; i <= p->mask; i++) Py_XDECREF(p->slots[i].text);
    PyMem_Free(p->slots);
    PyMem_Free(p->arena);
    memset(p, 0, sizeof *p);
}

static uint64_t text_hash(const char *s, Py_ssize_t n) {
    uint64_t h = 1469598103934665603ull;
    for (Py_ssize_t i = 0; i < n; i++) h = (h ^ (unsigned char)s[i]) * 1099511628211ull;
    return h ^ (h >> 29);
}

/* Doubles the table (or makes its first); 0 with an exception on failure. */
static int pool_grow(text_pool *p) {
    size_t cap = p->mask ? (p->mask + 1) * 2 : 1024;
    pool_slot *slots = PyMem_Calloc(cap, sizeof *slots);
    if (slots == NULL) {
        PyErr_NoMemory();
        return 0;
    }
    if (p->slots != NULL) {
        for (size_t i = 0; i <= p->mask; i++) {
            if (p->slots[i].text == NULL) continue;
            size_t j = (size_t)p->slots[i].hash & (cap - 1);
            while (slots[j].text != NULL) j = (j + 1) & (cap - 1);
            slots[j] = p->slots[i];
        }
        PyMem_Free(p->slots);
    }
    p->slots = slots;
    p->mask = cap - 1;
    return 1;
}

/* A new reference to the str of the UTF-8 bytes text[0..len). */
static PyObject *pool_text(text_pool *p, const char *text, Py_ssize_t len) {
    if (len == 0) return PyUnicode_New(0, 0); /* the shared empty str */
    if (p->off || len > POOL_MAX_LEN) return make_text(text, len);
    if (p->tries == POOL_TRIAL && p->hits * 4 < p->tries) {
        p->off = 1; /* few repeats: making each text is cheaper */
        return make_text(text, len);
    }
    if (p->mask == 0 && !pool_grow(p)) return NULL;
    p->tries++;
    uint64_t h = text_hash(text, len);
    size_t j = (size_t)h & p->mask;
    for (; p->slots[j].text != NULL; j = (j + 1) & p->mask) {
        pool_slot *s = &p->slots[j];
        if (s->hash == h && s->len == len && memcmp(p->arena + s->at, text, (size_t)len) == 0) {
            p->hits++;
            Py_INCREF(s->text);
            return s->text;
        }
    }
    PyObject *obj = make_text(text, len);
    if (obj == NULL || p->used >= POOL_MAX_ENTRIES) return obj;
    if (p->arena_len + (size_t)len > p->arena_cap) {
        size_t cap = p->arena_cap ? p->arena_cap * 2 : 16384;
        char *grown = PyMem_Realloc(p->arena, cap);
        if (grown == NULL) return obj; /* not kept: the str is still right */
        p->arena = grown;
        p->arena_cap = cap;
    }
    memcpy(p->arena + p->arena_len, text, (size_t)len);
    pool_slot *s = &p->slots[j];
    Py_INCREF(obj);
    s->text = obj;
    s->hash = h;
    s->at = p->arena_len;
    s->len = len;
    p->arena_len += (size_t)len;
    /* Kept at most half full, so that probes stay short. */
    if (++p->used * 2 > p->mask + 1 && !pool_grow(p)) {
        Py_DECREF(obj);
        return NULL;
    }
    return obj;
}

/* ---- pools kept from one stream to the next -------------------------------

   text_pools(n) -> capsule: one pool per column, for the streams of a file's
   blocks read one after another, so that a repeated text is one str in the
   whole frame, not one per block. Freed with the capsule. */

#define POOLS_NAME "velmora_csv._rows.pools"

typedef struct {
    Py_ssize_t n;
    text_pool pools[];
} pool_set;

static void pool_set_free(PyObject *capsule) {
    pool_set *set = PyCapsule_GetPointer(capsule, POOLS_NAME);
    if (set == NULL) {
        PyErr_Clear();
        return;
    }
    for (Py_ssize_t i = 0; i < set->n; i++) pool_free(&set->pools[i]);
    PyMem_Free(set);
}

static PyObject *text_pools(PyObject *self, PyObject *args) {
    (void)self;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "n:text_pools", &n)) return NULL;
    if (n < 0 || (size_t)n > (SIZE_MAX - sizeof(pool_set)) / sizeof(text_pool)) {
        PyErr_SetString(PyExc_ValueError, "text_pools: bad column count");
        return NULL;
    }
    pool_set *set = PyMem_Calloc(1, sizeof(pool_set) + (size_t)n * sizeof(text_pool));
    if (set == NULL) return PyErr_NoMemory();
    set->n = n;
    PyObject *capsule = PyCapsule_New(set, POOLS_NAME, pool_set_free);
    if (capsule == NULL) PyMem_Free(set);
    return capsule;
}

/* ---- columns from an Arrow stream ---------------------------------------- */

typedef struct {
    char kind;       /* 'l', 'g' or 'u' */
    PyObject *data;  /* the ndarray the values go into */
    PyObject **late; /* late: the text column's items until `data` is made */
    char *at;        /* its first element */
    PyObject *mask;  /* bool ndarray, made at the first null ('l' only) */
    char *mask_at;
    text_pool pool;
} column;

static int stream_error(struct ArrowArrayStream *s, int code) {
    const char *text = s->get_last_error != NULL ? s->get_last_error(s) : NULL;
    PyErr_Format(PyExc_RuntimeError, "%s", text != NULL ? text : strerror(code));
    return 0;
}

static int is_null(const struct ArrowArray *a, int64_t i) {
    const uint8_t *valid = a->buffers[0];
    if (valid == NULL || a->null_count == 0) return 0;
    int64_t j = a->offset + i;
    return !((valid[j >> 3] >> (j & 7)) & 1);
}

/* A new ndarray from the caller's `make(kind)` and the address of its
   first element (numpy's array interface), or NULL with an exception. */
static PyObject *new_array(PyObject *make, const char *kind, char **first) {
    PyObject *arr = PyObject_CallFunction(make, "s", kind);
    if (arr == NULL) return NULL;
    PyObject *iface = PyObject_GetAttrString(arr, "__array_interface__");
    PyObject *data = iface != NULL && PyDict_Check(iface) ? PyDict_GetItemString(iface, "data") : NULL;
    void *address = data != NULL && PyTuple_Check(data) && PyTuple_GET_SIZE(data) == 2
                        ? PyLong_AsVoidPtr(PyTuple_GET_ITEM(data, 0)) : NULL;
    Py_XDECREF(iface);
    if (address == NULL) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "make() gave no array");
        Py_DECREF(arr);
        return NULL;
    }
    *first = address;
    return arr;
}

static int fill_numbers(column *c, const struct ArrowArray *a, Py_ssize_t at, PyObject *make) {
    char *dst = c->at + at * 8;
    memcpy(dst, (const char *)a->buffers[1] + a->offset * 8, (size_t)a->length * 8);
    if (a->null_count == 0 || a->buffers[0] == NULL) return 1;
    if (c->kind == 'g') {
        /* A float column's missing values are NaN, as pandas has them. */
        double *values = (double *)dst;
        for (int64_t i = 0; i < a->length; i++)
            if (is_null(a, i)) values[i] = Py_NAN;
        return 1;
    }
    if (c->mask == NULL && (c->mask = new_array(make, "?", &c->mask_at)) == NULL) return 0;
    char *mask = c->mask_at + at;
    for (int64_t i = 0; i < a->length; i++) mask[i] = (char)is_null(a, i);
    return 1;
}

static int fill_texts(column *c, const struct ArrowArray *a, int large, Py_ssize_t at,
                      PyObject *missing, int markers) {
    const char *data = a->buffers[2];
    PyObject **dst = (PyObject **)c->at + at;
    for (int64_t i = 0; i < a->length; i++) {
        int64_t j = a->offset + i, start, end;
        if (large) {
            start = ((const int64_t *)a->buffers[1])[j];
            end = ((const int64_t *)a->buffers[1])[j + 1];
        } else {
            start = ((const int32_t *)a->buffers[1])[j];
            end = ((const int32_t *)a->buffers[1])[j + 1];
        }
        Py_ssize_t len = (Py_ssize_t)(end - start);
        PyObject *cell;
        if (missing != Py_None &&
            (len == 0 || is_null(a, i) || (markers && is_marker(data + start, len)))) {
            Py_INCREF(missing);
            cell = missing;
        } else {
            cell = pool_text(&c->pool, data + start, len);
            if (cell == NULL) return 0;
        }
        PyObject *old = dst[i]; /* the None the new array was filled with */
        dst[i] = cell;
        Py_XDECREF(old);
    }
    return 1;
}

/* The late column's array, its items moved in from where they were
   gathered (no reference count changes hands); 0 with an exception. */
static int make_late(column *c, Py_ssize_t rows, PyObject *make) {
    char *first;
    if ((c->data = new_array(make, "u", &first)) == NULL) return 0;
    PyObject **dst = (PyObject **)first;
    for (Py_ssize_t k = 0; k < rows; k++) {
        PyObject *none = dst[k];
        dst[k] = c->late[k];
        c->late[k] = NULL;
        Py_XDECREF(none);
    }
    PyMem_RawFree(c->late);
    c->late = NULL;
    return 1;
}

/* Drops what a late column gathered before a failure. */
static void drop_late(column *c, Py_ssize_t rows) {
    if (c->late == NULL) return;
    for (Py_ssize_t k = 0; k < rows; k++) Py_XDECREF(c->late[k]);
    PyMem_RawFree(c->late);
    c->late = NULL;
}

static int arrow_kind(const char *f) {
    if (strcmp(f, "l") == 0) return 'l';
    if (strcmp(f, "g") == 0) return 'g';
    if (strcmp(f, "u") == 0 || strcmp(f, "U") == 0) return 'u';
    return 0;
}

static PyObject *arrow_columns(PyObject *self, PyObject *args) {
    (void)self;
    unsigned long long address;
    Py_ssize_t rows;
    PyObject *missing, *make;
    int markers = 0;
    PyObject *shared = Py_None;
    int late = 0;
    if (!PyArg_ParseTuple(args, "KnOOp|Op:arrow_columns", &address, &rows, &missing, &make,
                          &markers, &shared, &late))
        return NULL;
    pool_set *set = NULL;
    if (shared != Py_None && (set = PyCapsule_GetPointer(shared, POOLS_NAME)) == NULL) return NULL;
    struct ArrowArrayStream *stream = (struct ArrowArrayStream *)(uintptr_t)address;
    struct ArrowSchema schema = {0};
    struct ArrowArray batch = {0};
    column *cols = NULL;
    Py_ssize_t n = 0, at = 0;
    PyObject *out = NULL;
    int ok = 0;

    int code = stream->get_schema(stream, &schema);
    if (code != 0) return stream_error(stream, code), NULL;
    n = (Py_ssize_t)schema.n_children;
    cols = PyMem_Calloc((size_t)(n > 0 ? n : 1), sizeof *cols);
    if (cols == NULL) {
        PyErr_NoMemory();
        goto done;
    }
    if (set != NULL) {
        if (set->n != n) {
            PyErr_Format(PyExc_ValueError, "pools for %zd columns, stream of %zd", set->n, n);
            goto done;
        }
        /* The columns take the pools over for the call and give them back. */
        for (Py_ssize_t i = 0; i < n; i++) {
            cols[i].pool = set->pools[i];
            memset(&set->pools[i], 0, sizeof set->pools[i]);
        }
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        char kind = (char)arrow_kind(schema.children[i]->format);
        if (kind == 0) {
            PyErr_Format(PyExc_ValueError, "unexpected Arrow format %s", schema.children[i]->format);
            goto done;
        }
        char name[2] = {kind, 0};
        cols[i].kind = kind;
        if (late && kind == 'u') {
            /* Calloc'd: its pages are backed only as they are written. */
            cols[i].late = PyMem_RawCalloc((size_t)(rows > 0 ? rows : 1), sizeof(PyObject *));
            if (cols[i].late == NULL) {
                PyErr_NoMemory();
                goto done;
            }
            cols[i].at = (char *)cols[i].late;
        } else if ((cols[i].data = new_array(make, name, &cols[i].at)) == NULL) {
            goto done;
        }
    }
    int collecting = PyGC_Disable();
    for (;;) {
        code = stream->get_next(stream, &batch);
        if (code != 0) {
            stream_error(stream, code);
            break;
        }
        if (batch.release == NULL) {
            ok = at == rows;
            if (!ok) PyErr_Format(PyExc_RuntimeError, "the stream ended after %zd of %zd rows", at, rows);
            break;
        }
        if (batch.n_children != n || batch.length > rows - at) {
            PyErr_SetString(PyExc_RuntimeError, "a batch does not fit the table");
            batch.release(&batch);
            break;
        }
        int filled = 1;
        for (Py_ssize_t i = 0; i < n && filled; i++) {
            /* The batch's rows of the column: a struct array's offset
               applies to its children on top of their own. */
            struct ArrowArray view = *batch.children[i];
            if (batch.offset < 0 || view.length < batch.offset + batch.length) {
                PyErr_SetString(PyExc_RuntimeError, "a column is shorter than its batch");
                filled = 0;
                break;
            }
            view.offset += batch.offset;
            view.length = batch.length;
            if (cols[i].kind == 'u')
                filled = fill_texts(&cols[i], &view, schema.children[i]->format[0] == 'U', at,
                                    missing, markers);
            else
                filled = fill_numbers(&cols[i], &view, at, make);
        }
        at += (Py_ssize_t)batch.length;
        /* Each batch goes as soon as it is read: its copy of the text is
           never held beside the whole column. */
        batch.release(&batch);
        if (!filled) break;
    }
    if (collecting) PyGC_Enable();
    if (!ok) goto done;
    /* One column at a time, each gathering freed before the next array. */
    for (Py_ssize_t i = 0; i < n; i++)
        if (cols[i].late != NULL && !make_late(&cols[i], rows, make)) goto done;
    out = PyList_New(n);
    if (out == NULL) goto done;
    for (Py_ssize_t i = 0; i < n; i++) {
        char format[2] = {cols[i].kind, 0};
        PyObject *item = Py_BuildValue("(ssOO)", schema.children[i]->name, format, cols[i].data,
                                       cols[i].mask != NULL ? cols[i].mask : Py_None);
        if (item == NULL) {
            Py_CLEAR(out);
            goto done;
        }
        PyList_SET_ITEM(out, i, item);
    }
done:
    if (cols != NULL) {
        for (Py_ssize_t i = 0; i < n; i++) {
            drop_late(&cols[i], rows);
            Py_XDECREF(cols[i].data);
            Py_XDECREF(cols[i].mask);
            if (set != NULL && set->n == n)
                set->pools[i] = cols[i].pool;
            else
                pool_free(&cols[i].pool);
        }
        PyMem_Free(cols);
    }
    if (schema.release != NULL) schema.release(&schema);
    return out;
}

/* ---- one stream of columns picked from two --------------------------------

   combine_streams(typed_address, text_address, picks, out_address)
     Moves the two streams at the first two addresses (exports of the same
     columns of one table: same rows, same batches) into a new stream at
     out_address whose column i is the text stream's where picks[i] is
     nonzero, else the typed stream's. Each schema and batch is built by
     moving the picked children out of the two sources (the Arrow rules for
     moving a child) and releasing the sources at once. The new stream owns
     everything and may be used from any thread, as the sources may. */

typedef struct {
    struct ArrowArrayStream from[2]; /* 0: typed, 1: text */
    int64_t n;
    char *picks;
    char error[200];
} combined_stream;

typedef struct {
    int64_t n;
    struct ArrowSchema *child;
    struct ArrowSchema **children;
} combined_schema;

typedef struct {
    int64_t n;
    const void *buffers[1];
    struct ArrowArray *child;
    struct ArrowArray **children;
} combined_array;

static void combined_schema_release(struct ArrowSchema *s) {
    combined_schema *p = s->private_data;
    for (int64_t i = 0; i < p->n; i++)
        if (p->child[i].release != NULL) p->child[i].release(&p->child[i]);
    free(p);
    s->release = NULL;
}

static void combined_array_release(struct ArrowArray *a) {
    combined_array *p = a->private_data;
    for (int64_t i = 0; i < p->n; i++)
        if (p->child[i].release != NULL) p->child[i].release(&p->child[i]);
    free(p);
    a->release = NULL;
}

static int combined_fail(combined_stream *c, int code, const char *what, struct ArrowArrayStream *from) {
    const char *detail = from != NULL && from->get_last_error != NULL ? from->get_last_error(from) : NULL;
    snprintf(c->error, sizeof c->error, "%s%s%s", what, detail ? ": " : "", detail ? detail : "");
    return code;
}

static int combined_get_schema(struct ArrowArrayStream *s, struct ArrowSchema *out) {
    combined_stream *c = s->private_data;
    struct ArrowSchema src[2];
    memset(src, 0, sizeof src);
    int code = 0;
    for (int k = 0; k < 2 && code == 0; k++)
        if ((code = c->from[k].get_schema(&c->from[k], &src[k])) != 0)
            combined_fail(c, code, "schema", &c->from[k]);
    combined_schema *p = NULL;
    if (code == 0 && (src[0].n_children != c->n || src[1].n_children != c->n))
        code = combined_fail(c, EINVAL, "the two exports differ", NULL);
    if (code == 0) {
        size_t n = (size_t)c->n;
        p = calloc(1, sizeof *p + n * (sizeof(struct ArrowSchema) + sizeof(struct ArrowSchema *)));
        if (p == NULL) code = combined_fail(c, ENOMEM, "out of memory", NULL);
    }
    if (code == 0) {
        p->n = c->n;
        p->child = (struct ArrowSchema *)(p + 1);
        p->children = (struct ArrowSchema **)(p->child + c->n);
        for (int64_t i = 0; i < c->n; i++) {
            struct ArrowSchema *from = src[c->picks[i] ? 1 : 0].children[i];
            p->child[i] = *from; /* moved: the source's child is left released */
            from->release = NULL;
            p->children[i] = &p->child[i];
        }
        memset(out, 0, sizeof *out);
        out->format = "+s";
        out->name = "";
        out->n_children = c->n;
        out->children = p->children;
        out->private_data = p;
        out->release = combined_schema_release;
    }
    for (int k = 0; k < 2; k++)
        if (src[k].release != NULL) src[k].release(&src[k]);
    return code;
}

static int combined_get_next(struct ArrowArrayStream *s, struct ArrowArray *out) {
    combined_stream *c = s->private_data;
    struct ArrowArray src[2];
    memset(src, 0, sizeof src);
    int code = 0;
    for (int k = 0; k < 2 && code == 0; k++)
        if ((code = c->from[k].get_next(&c->from[k], &src[k])) != 0)
            combined_fail(c, code, "batch", &c->from[k]);
    if (code == 0 && (src[0].release == NULL) != (src[1].release == NULL))
        code = combined_fail(c, EINVAL, "the two exports differ", NULL);
    if (code == 0 && src[0].release == NULL) {
        memset(out, 0, sizeof *out); /* the end */
        return 0;
    }
    if (code == 0 && (src[0].length != src[1].length || src[0].offset != src[1].offset ||
                      src[0].n_children != c->n || src[1].n_children != c->n))
        code = combined_fail(c, EINVAL, "the two exports differ", NULL);
    combined_array *p = NULL;
    if (code == 0) {
        size_t n = (size_t)c->n;
        p = calloc(1, sizeof *p + n * (sizeof(struct ArrowArray) + sizeof(struct ArrowArray *)));
        if (p == NULL) code = combined_fail(c, ENOMEM, "out of memory", NULL);
    }
    if (code == 0) {
        p->n = c->n;
        p->child = (struct ArrowArray *)(p + 1);
        p->children = (struct ArrowArray **)(p->child + c->n);
        for (int64_t i = 0; i < c->n; i++) {
            struct ArrowArray *from = src[c->picks[i] ? 1 : 0].children[i];
            p->child[i] = *from;
            from->release = NULL;
            p->children[i] = &p->child[i];
        }
        memset(out, 0, sizeof *out);
        out->length = src[0].length;
        out->offset = src[0].offset; /* applies to the children, as in the sources */
        /* A struct array's own validity: none of its rows is null. */
        out->null_count = 0;
        out->n_buffers = 1;
        out->buffers = p->buffers;
        out->n_children = c->n;
        out->children = p->children;
        out->private_data = p;
        out->release = combined_array_release;
    }
    for (int k = 0; k < 2; k++)
        if (src[k].release != NULL) src[k].release(&src[k]);
    return code;
}

static const char *combined_last_error(struct ArrowArrayStream *s) {
    combined_stream *c = s->private_data;
    return c->error[0] ? c->error : NULL;
}

static void combined_release(struct ArrowArrayStream *s) {
    combined_stream *c = s->private_data;
    for (int k = 0; k < 2; k++)
        if (c->from[k].release != NULL) c->from[k].release(&c->from[k]);
    free(c->picks);
    free(c);
    s->release = NULL;
}

static PyObject *combine_streams(PyObject *self, PyObject *args) {
    (void)self;
    unsigned long long typed, text, out;
    Py_buffer picks;
    if (!PyArg_ParseTuple(args, "KKy*K:combine_streams", &typed, &text, &picks, &out)) return NULL;
    /* The C library's allocator: a consumer may release the stream on a
       thread that does not hold the interpreter lock, which PyMem needs. */
    combined_stream *c = calloc(1, sizeof *c);
    char *copy = malloc(picks.len > 0 ? (size_t)picks.len : 1);
    if (c == NULL || copy == NULL) {
        free(c);
        free(copy);
        PyBuffer_Release(&picks);
        return PyErr_NoMemory();
    }
    memcpy(copy, picks.buf, (size_t)picks.len);
    c->n = picks.len;
    c->picks = copy;
    PyBuffer_Release(&picks);
    struct ArrowArrayStream *sources[2] = {(struct ArrowArrayStream *)(uintptr_t)typed,
                                           (struct ArrowArrayStream *)(uintptr_t)text};
    for (int k = 0; k < 2; k++) {
        c->from[k] = *sources[k]; /* moved in */
        sources[k]->release = NULL;
    }
    struct ArrowArrayStream *dst = (struct ArrowArrayStream *)(uintptr_t)out;
    memset(dst, 0, sizeof *dst);
    dst->get_schema = combined_get_schema;
    dst->get_next = combined_get_next;
    dst->get_last_error = combined_last_error;
    dst->release = combined_release;
    dst->private_data = c;
    Py_RETURN_NONE;
}

/* ---- rows from the text export --------------------------------------------

   RowReader(stream_address, pairs, error) -> reader
     Moves the stream at stream_address -- the library's export of every
     column as utf8 text -- into the reader. Its rows are those a rows
     answer decodes to: dicts of the header names, or lists of (name,
     value) tuples when pairs is true or two names are equal. A failure of
     the stream raises `error` with the stream's message.
   reader.page(start, count) -> page
     An iterator over rows start .. start + count - 1 (len() the rows it
     has yet to give) that makes each row when it is asked for: a row's
     objects are made and freed while they are in the processor's caches,
     where a list of a page's rows outgrows them. start is never before the
     rows of the reader's earlier pages; the rows between are skipped. A
     page stops working once a later one is asked for.
   reader.close()
     Lets go of the stream and its batch, which keep the table's memory
     alive: at once, or after the current page has given its rows.

   The cells' texts are read straight from the batch's buffers; short ones
   that recur share a str through the cache the answers' decoding uses,
   with the same trial of each column (in each batch). Each batch is
   released before the next is asked for, so that the stream builds it in
   the same buffers. */

typedef struct {
    uint32_t tries, hits; /* of the shared-text cache, in this batch */
} reader_column;

typedef struct {
    PyObject_HEAD
    struct ArrowArrayStream stream; /* release NULL once let go */
    struct ArrowArray batch;        /* release NULL when none is held */
    int64_t at;                     /* the batch's next row */
    int64_t taken;                  /* rows of the stream given or skipped */
    int64_t pending;                /* rows the current page has yet to give */
    uint64_t serial;                /* the current page's */
    Py_ssize_t n;
    PyObject **keys; /* n interned names */
    char *large;     /* per column: 64-bit offsets ("U") */
    reader_column *cols;
    int pairs;
    int busy;    /* in get_next, with the interpreter lock let go */
    int closing; /* let go once the current page is done */
    PyObject *error;
    PyObject *weakrefs;
} row_reader;

typedef struct {
    PyObject_HEAD
    row_reader *reader;
    int64_t next; /* the row of the stream given next */
    int64_t left;
    uint64_t serial;
} row_page;

static void reader_release(row_reader *r) {
    if (r->batch.release != NULL) r->batch.release(&r->batch);
    if (r->stream.release != NULL) r->stream.release(&r->stream);
}

/* Lets go of the stream when close() asked for it and nothing needs it. */
static void reader_settle(row_reader *r) {
    if (r->closing && r->pending == 0 && !r->busy) reader_release(r);
}

static void reader_dealloc(row_reader *r) {
    if (r->weakrefs != NULL) PyObject_ClearWeakRefs((PyObject *)r);
    reader_release(r);
    if (r->keys != NULL)
        for (Py_ssize_t i = 0; i < r->n; i++) Py_XDECREF(r->keys[i]);
    PyMem_Free(r->keys);
    PyMem_Free(r->large);
    PyMem_Free(r->cols);
    Py_XDECREF(r->error);
    Py_TYPE(r)->tp_free((PyObject *)r);
}

static int reader_fail(row_reader *r, int code) {
    const char *text = r->stream.get_last_error != NULL ? r->stream.get_last_error(&r->stream) : NULL;
    PyErr_Format(r->error, "%s", text != NULL ? text : strerror(code));
    return 0;
}

/* The names of the schema's columns as interned str objects (as the rows
   answer's names decode); sets r->pairs when two are equal, where a dict
   would drop values. */
static int reader_names(row_reader *r, const struct ArrowSchema *schema) {
    r->n = (Py_ssize_t)schema->n_children;
    r->keys = PyMem_Calloc((size_t)(r->n > 0 ? r->n : 1), sizeof *r->keys);
    r->large = PyMem_Calloc((size_t)(r->n > 0 ? r->n : 1), 1);
    r->cols = PyMem_Calloc((size_t)(r->n > 0 ? r->n : 1), sizeof *r->cols);
    if (r->keys == NULL || r->large == NULL || r->cols == NULL) {
        PyErr_NoMemory();
        return 0;
    }
    PyObject *seen = PySet_New(NULL);
    if (seen == NULL) return 0;
    for (Py_ssize_t i = 0; i < r->n; i++) {
        const struct ArrowSchema *c = schema->children[i];
        if (strcmp(c->format, "u") != 0 && strcmp(c->format, "U") != 0) {
            PyErr_Format(PyExc_ValueError, "not a text export: column format %s", c->format);
            break;
        }
        r->large[i] = c->format[0] == 'U';
        const char *name = c->name != NULL ? c->name : "";
        PyObject *key = make_text(name, (Py_ssize_t)strlen(name));
        if (key == NULL) break;
        PyUnicode_InternInPlace(&key);
        r->keys[i] = key;
        if (PySet_Add(seen, key) < 0) break;
    }
    int ok = !PyErr_Occurred();
    if (ok && PySet_GET_SIZE(seen) != r->n) r->pairs = 1;
    Py_DECREF(seen);
    return ok;
}

static PyObject *reader_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
    unsigned long long address;
    int pairs = 0;
    PyObject *error;
    static char *names[] = {"stream", "pairs", "error", NULL};
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "KpO:RowReader", names, &address, &pairs, &error))
        return NULL;
    if (!PyExceptionClass_Check(error)) {
        PyErr_SetString(PyExc_TypeError, "RowReader: error must be an exception class");
        return NULL;
    }
    struct ArrowArrayStream *source = (struct ArrowArrayStream *)(uintptr_t)address;
    if (source == NULL || source->release == NULL) {
        PyErr_SetString(PyExc_ValueError, "RowReader: no stream at that address");
        return NULL;
    }
    row_reader *r = (row_reader *)type->tp_alloc(type, 0);
    if (r == NULL) return NULL;
    r->stream = *source; /* moved in: released with the reader */
    source->release = NULL;
    r->pairs = pairs;
    Py_INCREF(error);
    r->error = error;
    struct ArrowSchema schema = {0};
    int code = r->stream.get_schema(&r->stream, &schema);
    if (code != 0) {
        reader_fail(r, code);
        Py_DECREF(r);
        return NULL;
    }
    int ok = reader_names(r, &schema);
    schema.release(&schema);
    if (!ok) {
        Py_DECREF(r);
        return NULL;
    }
    return (PyObject *)r;
}

/* Makes the next batch current; 0 with an exception on failure, 1 with
   r->batch.release NULL at the end of the stream. */
static int reader_next_batch(row_reader *r) {
    if (r->batch.release != NULL) r->batch.release(&r->batch);
    int code;
    r->busy = 1;
    Py_BEGIN_ALLOW_THREADS
    code = r->stream.get_next(&r->stream, &r->batch);
    Py_END_ALLOW_THREADS
    r->busy = 0;
    if (code != 0) {
        r->batch.release = NULL;
        return reader_fail(r, code);
    }
    r->at = 0;
    if (r->batch.release == NULL) return 1;
    for (Py_ssize_t i = 0; i < r->n; i++) r->cols[i].tries = r->cols[i].hits = 0;
    const struct ArrowArray *b = &r->batch;
    int fits = b->n_children == r->n && b->offset >= 0 && b->length >= 0;
    for (Py_ssize_t i = 0; fits && i < r->n; i++) {
        const struct ArrowArray *c = b->children[i];
        fits = c->offset >= 0 && c->length >= b->offset + b->length && c->n_buffers == 3 &&
               c->buffers[1] != NULL && (c->buffers[2] != NULL || b->length == 0);
    }
    if (!fits) {
        r->batch.release(&r->batch);
        PyErr_SetString(PyExc_ValueError, "a batch of the stream does not fit its schema");
        return 0;
    }
    return 1;
}

/* A new reference to the str of the batch's current row's cell of column
   `i`. */
static inline PyObject *reader_cell(row_reader *r, Py_ssize_t i) {
    const struct ArrowArray *a = r->batch.children[i];
    const int64_t j = a->offset + r->batch.offset + r->at;
    if (a->null_count != 0 && a->buffers[0] != NULL &&
        !((((const uint8_t *)a->buffers[0])[j >> 3] >> (j & 7)) & 1))
        return PyUnicode_New(0, 0); /* a null text: an empty cell */
    int64_t start, end;
    if (r->large[i]) {
        start = ((const int64_t *)a->buffers[1])[j];
        end = ((const int64_t *)a->buffers[1])[j + 1];
    } else {
        start = ((const int32_t *)a->buffers[1])[j];
        end = ((const int32_t *)a->buffers[1])[j + 1];
    }
    if (end <= start) return PyUnicode_New(0, 0); /* the shared empty str */
    const char *text = (const char *)a->buffers[2] + start;
    const Py_ssize_t len = (Py_ssize_t)(end - start);
    if (len > SHORT_CELL) return make_text(text, len);
    return shared_text(&r->cols[i].tries, &r->cols[i].hits, text, len);
}

/* The batch's current row as a dict, or as a list of pairs. */
static PyObject *reader_row(row_reader *r) {
    if (r->pairs) {
        PyObject *out = PyList_New(r->n);
        if (out == NULL) return NULL;
        for (Py_ssize_t i = 0; i < r->n; i++) {
            PyObject *value = reader_cell(r, i);
            PyObject *pair = value != NULL ? text_pair(r->keys[i], value) : NULL;
            Py_XDECREF(value);
            if (pair == NULL) {
                Py_DECREF(out);
                return NULL;
            }
            PyList_SET_ITEM(out, i, pair);
        }
        return out;
    }
    PyObject *out = _PyDict_NewPresized(r->n);
    if (out == NULL) return NULL;
    for (Py_ssize_t i = 0; i < r->n; i++) {
        PyObject *value = reader_cell(r, i);
        int set = value != NULL ? PyDict_SetItem(out, r->keys[i], value) : -1;
        Py_XDECREF(value);
        if (set < 0) {
            Py_DECREF(out);
            return NULL;
        }
    }
    /* Only str objects: the collector need not visit it (see decode_dict). */
    if (PyObject_GC_IsTracked(out)) PyObject_GC_UnTrack(out);
    return out;
}

static PyTypeObject page_type;

static PyObject *reader_page(row_reader *r, PyObject *args) {
    long long start, count;
    if (!PyArg_ParseTuple(args, "LL:page", &start, &count)) return NULL;
    if (r->busy) {
        PyErr_SetString(PyExc_RuntimeError, "RowReader: in use by another thread");
        return NULL;
    }
    if (r->stream.release == NULL || r->closing) {
        PyErr_SetString(PyExc_ValueError, "RowReader: closed");
        return NULL;
    }
    if (start < r->taken || count < 0) {
        PyErr_Format(PyExc_ValueError, "RowReader: %lld rows from %lld asked, %lld already given",
                     count, start, (long long)r->taken);
        return NULL;
    }
    row_page *p = PyObject_New(row_page, &page_type);
    if (p == NULL) return NULL;
    Py_INCREF(r);
    p->reader = r;
    p->next = start;
    p->left = count;
    p->serial = ++r->serial;
    r->pending = count;
    return (PyObject *)p;
}

static PyObject *reader_close(row_reader *r, PyObject *unused) {
    (void)unused;
    r->closing = 1;
    reader_settle(r);
    Py_RETURN_NONE;
}

static void page_dealloc(row_page *p) {
    row_reader *r = p->reader;
    if (p->serial == r->serial) {
        r->pending = 0;
        reader_settle(r);
    }
    Py_DECREF(r);
    PyObject_Free(p);
}

static PyObject *page_next(row_page *p) {
    row_reader *r = p->reader;
    if (p->left <= 0) return NULL;
    if (p->serial != r->serial) {
        PyErr_SetString(PyExc_RuntimeError, "RowReader: a later page was asked for");
        return NULL;
    }
    if (r->busy) {
        PyErr_SetString(PyExc_RuntimeError, "RowReader: in use by another thread");
        return NULL;
    }
    if (r->stream.release == NULL) {
        PyErr_SetString(PyExc_ValueError, "RowReader: closed");
        return NULL;
    }
    for (;;) {
        if (r->batch.release != NULL && r->at < r->batch.length) {
            if (r->taken == p->next) break;
            int64_t skip = p->next - r->taken, left = r->batch.length - r->at;
            if (skip > left) skip = left;
            r->at += skip;
            r->taken += skip;
            continue;
        }
        if (!reader_next_batch(r)) return NULL;
        if (r->batch.release == NULL) {
            PyErr_Format(r->error, "the table's export ended after %lld rows", (long long)r->taken);
            return NULL;
        }
    }
    PyObject *row = reader_row(r);
    if (row == NULL) return NULL;
    r->at++;
    r->taken++;
    p->next++;
    r->pending = --p->left;
    if (p->left == 0) reader_settle(r);
    return row;
}

static Py_ssize_t page_len(row_page *p) { return (Py_ssize_t)p->left; }

static PySequenceMethods page_sequence = {.sq_length = (lenfunc)page_len};

static PyTypeObject page_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "velmora_csv._rows.RowPage",
    .tp_basicsize = sizeof(row_page),
    .tp_dealloc = (destructor)page_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "The rows of one page of a RowReader, each made when asked for.",
    .tp_as_sequence = &page_sequence,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = (iternextfunc)page_next,
};

static PyMethodDef reader_methods[] = {
    {"page", (PyCFunction)reader_page, METH_VARARGS,
     "page(start, count) -> iterator over rows start .. start + count - 1."},
    {"close", (PyCFunction)reader_close, METH_NOARGS,
     "close(): lets go of the stream (after the current page's rows)."},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject reader_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "velmora_csv._rows.RowReader",
    .tp_basicsize = sizeof(row_reader),
    .tp_dealloc = (destructor)reader_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "RowReader(stream, pairs, error): the rows of the library's text export.",
    .tp_weaklistoffset = offsetof(row_reader, weakrefs),
    .tp_methods = reader_methods,
    .tp_new = reader_new,
};

static PyMethodDef methods[] = {
    {"rows", rows, METH_VARARGS,
     "rows(data, pairs=False) -> list: the library's JSON rows answer as Python rows."},
    {"rows_at", rows_at, METH_VARARGS,
     "rows_at(address, pairs=False) -> list: as rows(), from the answer's text in place."},
    {"combine_streams", combine_streams, METH_VARARGS,
     "combine_streams(typed, text, picks, out): one stream of columns picked from two."},
    {"arrow_columns", arrow_columns, METH_VARARGS,
     "arrow_columns(stream_address, rows, missing, make, markers, pools=None, late=False) -> "
     "list of columns."},
    {"text_pools", text_pools, METH_VARARGS,
     "text_pools(n) -> capsule: texts' pools for n columns, shared by arrow_columns calls."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_rows", "Fast decoding of the library's row answers.", -1, methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__rows(void) {
    if (PyType_Ready(&reader_type) < 0 || PyType_Ready(&page_type) < 0) return NULL;
    PyObject *m = PyModule_Create(&module);
    if (m == NULL) return NULL;
    Py_INCREF(&reader_type);
    if (PyModule_AddObject(m, "RowReader", (PyObject *)&reader_type) < 0) {
        Py_DECREF(&reader_type);
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
