// Reading a load's source: one path for every kind of file. Regular files,
// files that report a size of 0 (/proc), pipes, FIFOs and devices are all
// read to their end; a gzip stream is inflated on the way; the text is then
// used as it is, decoded from UTF-16, or converted from a named encoding,
// a piece at a time. The size of a regular file only sizes the buffers.
#include <assert.h>
#include <errno.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>

#include <zlib.h>

#include "csv_internal.h"
#include "csv_platform.h"

namespace {

using heap_bytes = std::unique_ptr<char, csv_free_deleter>;
using file_handle = std::unique_ptr<FILE, int (*)(FILE *)>;

constexpr size_t k_head = 4096;                    // bytes that decide the encoding
constexpr uint64_t k_piece = uint64_t{1} << 18;    // bytes decoded at a time
constexpr uint64_t k_read_max = uint64_t{64} << 20;  // largest single read
constexpr uint64_t k_first_cap = uint64_t{1} << 16;  // first buffer for a source of unknown size
constexpr uint64_t k_report_bytes = 0x3FFFFFF;     // progress after more than 64 MiB - 1 read
constexpr std::chrono::milliseconds k_silent_report{250};  // a silent stream's call comes this often
constexpr size_t k_gzip_in = size_t{1} << 18;      // compressed bytes read at a time

// Test seams: the size query of a regular file fails with this errno, or
// reports this many bytes more than the file holds (as when it shrinks
// between the query and the read).
thread_local int g_stat_fails_with = 0;
thread_local int64_t g_size_overstated_by = 0;

const char k_msg_cancel[] = "cancelled by progress callback";
const char k_msg_gzip_oom[] = "out of memory while inflating gzip stream";

void set_read_oom(uint64_t bytes, const char *path) {
    csv_set_error("out of memory: cannot allocate %lld bytes to read %s",
                  static_cast<long long>(bytes), path);
}

void set_too_large(const char *path) {
    csv_set_error("input exceeds 4 GiB - 1 bytes of text: %s", path);
}

// zlib's allocations go through the library's heap like every other.
voidpf zlib_alloc(voidpf, uInt items, uInt size) {
    const uint64_t n = uint64_t{items} * size;
    return n > SIZE_MAX ? nullptr : csv_malloc(static_cast<size_t>(n));
}
void zlib_free(voidpf, voidpf p) { csv_free(p); }

// One open source. Raw bytes come from the file (first any given back with
// unread()); text bytes are the raw bytes, or what inflating them gives.
struct reader {
    FILE *f = nullptr;
    const char *path = nullptr;
    bool stream = false;       // not a regular file: wait for data with a timeout
    int64_t total = -1;        // the file's size, -1 when unknown
    uint64_t raw_read = 0;     // bytes taken from the file so far
    uint64_t reported = 0;     // raw_read at the last progress call
    // The reading is reported only for a source of unknown size (the parse
    // reports the rest); then after each further 64 MiB and while silent.
    csv_progress_fn progress = nullptr;
    void *user_data = nullptr;
    const unsigned char *back = nullptr;  // raw bytes given back, read again first
    size_t back_len = 0;
    // gzip
    bool gzip = false;
    bool z_ready = false;      // inflateInit2 succeeded: inflateEnd is due
    bool member_end = false;   // the last member ended; another may follow
    bool raw_eof = false;
    z_stream z{};
    unsigned char *z_in = nullptr;

    reader() = default;
    reader(const reader &) = delete;
    reader &operator=(const reader &) = delete;
    ~reader() {
        if (z_ready) inflateEnd(&z);
        csv_free(z_in);
    }
};

// True when the reading itself is reported: a callback is set and the
// size is unknown. The calls of a file of known size are the parse's alone.
bool reports_reading(const reader &r) { return r.progress != nullptr && r.total < 0; }

// Tells the callback how far reading is; -1 when it cancels.
int report(reader &r) {
    if (!reports_reading(r)) return 0;
    assert(r.raw_read >= r.reported);  // `done` never goes back
    r.reported = r.raw_read;
    if (r.progress(r.raw_read, r.total, 0, r.user_data) != 0) {
        csv_set_error(k_msg_cancel);
        return -1;
    }
    return 0;
}

// Waits until the stream has data or has ended. While it is silent the
// callback is asked once per k_silent_report, so that a load can be
// cancelled while nothing comes; signals that cut the wait short (a
// host's timer, say) only resume it.
int wait_for_data(reader &r, std::chrono::steady_clock::time_point *next_report) {
    using clock = std::chrono::steady_clock;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next_report - clock::now());
        const int ready = csv_platform_wait_readable(r.f, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        // Any failure but a signal shows again in the read.
        if (ready > 0 || (ready < 0 && errno != EINTR)) return 0;
        if (clock::now() >= *next_report) {
            if (report(r) != 0) return -1;
            *next_report = clock::now() + k_silent_report;
        }
    }
}

// Reads up to `want` raw bytes; `*got` 0 means the end of the file.
int read_raw(reader &r, unsigned char *dst, size_t want, size_t *got) {
    *got = 0;
    if (want == 0) return 0;
    if (r.back_len != 0) {
        const size_t n = want < r.back_len ? want : r.back_len;
        memcpy(dst, r.back, n);
        r.back += n;
        r.back_len -= n;
        *got = n;
        return 0;
    }
    auto next_report = std::chrono::steady_clock::now() + k_silent_report;
    for (;;) {
        if (r.stream && wait_for_data(r, &next_report) != 0) return -1;
        const int64_t n = csv_platform_read(r.f, dst, want);
        // A signal (the host's Ctrl-C handler, say) cuts the read short: it
        // is made again. A stream shared with a non-blocking owner is
        // waited for again.
        if (n < 0 && (errno == EINTR || (r.stream && (errno == EAGAIN || errno == EWOULDBLOCK))))
            continue;
        if (n < 0) {
            csv_set_error("cannot read file: %s (%s)", r.path, strerror(errno));
            return -1;
        }
        *got = static_cast<size_t>(n);
        r.raw_read += *got;
        if (r.raw_read - r.reported > k_report_bytes) return report(r);
        return 0;
    }
}

int gzip_failed(reader &r, const char *why) {
    csv_set_error("corrupt gzip stream: %s (%s)", r.path, why);
    return -1;
}

// Reads more compressed bytes behind the `avail_in` left, brought to the
// front; sets raw_eof at the end of the file.
int refill_gzip_in(reader &r) {
    memmove(r.z_in, r.z.next_in, r.z.avail_in);
    size_t n = 0;
    if (read_raw(r, r.z_in + r.z.avail_in, k_gzip_in - r.z.avail_in, &n) != 0) return -1;
    r.z.next_in = r.z_in;
    r.z.avail_in += static_cast<uInt>(n);
    if (n == 0) r.raw_eof = true;
    return 0;
}

// Zero bytes after the last member (tape and block devices pad so): taken
// to the end of the file, which they must reach.
int skip_zero_padding(reader &r) {
    for (;;) {
        const unsigned char *p = r.z.next_in;
        const unsigned char *end = p + r.z.avail_in;
        while (p != end && *p == 0) ++p;
        if (p != end) return gzip_failed(r, "data after the end of the stream");
        r.z.next_in = r.z_in;
        r.z.avail_in = 0;
        if (r.raw_eof) return 0;
        if (refill_gzip_in(r) != 0) return -1;
    }
}

// After the end of a gzip member: the end of the file, zero padding up to
// it, or a further member (gzip writes concatenated files so). Anything
// else is refused rather than dropped. 0 with r.member_end cleared when a
// member follows.
int next_member(reader &r) {
    while (r.z.avail_in < 2 && !r.raw_eof)
        if (refill_gzip_in(r) != 0) return -1;
    if (r.z.avail_in == 0) return 0;  // the end of the file
    if (r.z.next_in[0] == 0) return skip_zero_padding(r);
    if (r.z.avail_in < 2 || r.z.next_in[0] != 0x1F || r.z.next_in[1] != 0x8B)
        return gzip_failed(r, "data after the end of the stream");
    if (inflateReset(&r.z) != Z_OK) return gzip_failed(r, "cannot restart");
    r.member_end = false;
    return 0;
}

// Inflates into dst[0..want); `*got` 0 means the end of the text.
int read_gzip(reader &r, unsigned char *dst, size_t want, size_t *got) {
    *got = 0;
    r.z.next_out = dst;
    r.z.avail_out = static_cast<uInt>(want);
    while (r.z.avail_out > 0) {
        if (r.member_end) {
            if (next_member(r) != 0) return -1;
            if (r.member_end) break;  // no member follows
        }
        if (r.z.avail_in == 0 && !r.raw_eof) {
            size_t n = 0;
            if (read_raw(r, r.z_in, k_gzip_in, &n) != 0) return -1;
            r.z.next_in = r.z_in;
            r.z.avail_in = static_cast<uInt>(n);
            if (n == 0) r.raw_eof = true;
        }
        const int rc = inflate(&r.z, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            r.member_end = true;
        } else if (rc == Z_MEM_ERROR) {
            csv_set_error(k_msg_gzip_oom);
            return -1;
        } else if (rc == Z_BUF_ERROR && r.raw_eof && r.z.avail_in == 0) {
            return gzip_failed(r, "unexpected end of file");
        } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
            return gzip_failed(r, r.z.msg != nullptr ? r.z.msg : "invalid data");
        }
    }
    *got = want - r.z.avail_out;
    return 0;
}

int start_gzip(reader &r) {
    r.z_in = static_cast<unsigned char *>(csv_malloc(k_gzip_in));
    if (r.z_in == nullptr) {
        csv_set_error(k_msg_gzip_oom);
        return -1;
    }
    r.z.zalloc = zlib_alloc;
    r.z.zfree = zlib_free;
    r.z.opaque = nullptr;
    r.z.next_in = r.z_in;
    r.z.avail_in = 0;
    const int rc = inflateInit2(&r.z, 16 + MAX_WBITS);  // gzip wrapper only
    if (rc != Z_OK) {
        csv_set_error(rc == Z_MEM_ERROR ? k_msg_gzip_oom : "cannot start inflating gzip stream");
        return -1;
    }
    r.z_ready = true;
    r.gzip = true;
    return 0;
}

// Reads text bytes (inflated where the file is gzip); `*got` 0 at the end.
int read_text(reader &r, unsigned char *dst, size_t want, size_t *got) {
    if (want > k_read_max) want = k_read_max;
    return r.gzip ? read_gzip(r, dst, want, got) : read_raw(r, dst, want, got);
}

// Reads until `want` bytes or the end.
template <typename Read>
int read_full(reader &r, Read read, unsigned char *dst, size_t want, size_t *got) {
    *got = 0;
    while (*got < want) {
        size_t n = 0;
        if (read(r, dst + *got, want - *got, &n) != 0) return -1;
        if (n == 0) break;
        *got += n;
    }
    return 0;
}

// Capacity a growing text buffer takes next: double, at least `need`, at
// most one byte past the limit (so that going over it can be seen).
uint64_t next_cap(uint64_t cap, uint64_t need, uint64_t limit) {
    uint64_t want = cap * 2 < need ? need : cap * 2;
    if (limit != UINT64_MAX && want > limit + 1 && need <= limit + 1) want = limit + 1;
    return want;
}

// A regular file read by the loading thread and a helper side by side, each
// into the stretches of the buffer it has just prepared (csv_page_feed).
struct parallel_read {
    FILE *f = nullptr;
    std::atomic<int> err{0};               // errno of the first failed read
    std::atomic<uint64_t> end{UINT64_MAX};  // where the file ended early
};

void fill_from_file(void *ctx, char *dst, uint64_t offset, uint64_t len) {
    auto *pr = static_cast<parallel_read *>(ctx);
    uint64_t done = 0;
    while (done < len) {
        const int64_t n = csv_platform_pread(pr->f, dst + done, static_cast<size_t>(len - done), offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int none = 0;
            pr->err.compare_exchange_strong(none, errno != 0 ? errno : EIO);
            return;
        }
        if (n == 0) {
            // The file is shorter than it was: keep the earliest end seen.
            uint64_t seen = pr->end.load();
            while (offset + done < seen && !pr->end.compare_exchange_weak(seen, offset + done)) {
            }
            return;
        }
        done += static_cast<uint64_t>(n);
    }
}

// Reads a regular file's `size` bytes into `dst` (size + 1 bytes) with a
// helper, checking for a failure after each stretch; a file of known size
// reports nothing while it is read. `*len` is what was read: `size`, or
// less when the file shrank meanwhile. The file's position is left at its
// end, so that data appended meanwhile is found.
int read_regular(reader &r, char *dst, uint64_t size, uint64_t *len) {
    assert(!reports_reading(r));
    parallel_read pr;
    pr.f = r.f;
    csv_fed_block fed;  // stops before `pr` goes
    fed.start(dst, size, fill_from_file, &pr);
    uint64_t upto = 0;
    while (upto < size && pr.err.load() == 0 && pr.end.load() == UINT64_MAX) {
        // The fill reads the file into each stretch as it is prepared.
        const uint64_t step = std::min(size - upto, k_report_bytes + 1);
        (void)fed.room(upto, step, size);
        upto += step;
    }
    fed.stop();
    if (pr.err.load() != 0) {
        csv_set_error("cannot read file: %s (%s)", r.path, strerror(pr.err.load()));
        return -1;
    }
    *len = std::min(pr.end.load(), size);
    r.raw_read = *len;
    if (csv_platform_seek(r.f, static_cast<int64_t>(*len), SEEK_SET) != 0) {
        csv_set_error("cannot read file: %s (%s)", r.path, strerror(errno));
        return -1;
    }
    return 0;
}

// The text used as it is: `head` and then the rest of the source, into one
// buffer with a NUL after the text, first `first_cap` bytes (first_capacity)
// and grown when the source gives more. A regular file of `expected_len`
// bytes is read at once.
int read_unchanged(reader &r, const unsigned char *head, size_t head_len, uint64_t expected_len,
                   uint64_t first_cap, uint64_t limit, char **out_text, uint64_t *out_len) {
    assert(expected_len == 0 || (expected_len >= head_len && first_cap > expected_len));
    uint64_t cap = first_cap > head_len ? first_cap : head_len + 1;
    heap_bytes data(cap > SIZE_MAX ? nullptr : static_cast<char *>(csv_malloc(static_cast<size_t>(cap))));
    if (!data) {
        // The message counts the text and its NUL, not the spare room.
        set_read_oom(expected_len != 0 ? expected_len + 1 : cap, r.path);
        return -1;
    }
    uint64_t len = head_len;
    // Declared after the block, so that it stops before the block is freed.
    csv_fed_block fed;
    if (csv_page_feed_wanted(expected_len)) {
        // A large regular file of known size: read whole, head included,
        // by two threads; the loop below then only looks for data
        // appended since.
        if (read_regular(r, data.get(), expected_len, &len) != 0) return -1;
        fed.hold(data.get(), cap);
    } else {
        fed.start(data.get(), cap);
        const csv_block room = fed.room(0, head_len, cap);
        if (head_len != 0) memcpy(room.at, head, head_len);
    }
    for (;;) {
        size_t got = 0;
        if (cap - 1 > len) {
            // Into prepared pages only, a stretch at a time.
            const csv_block room = fed.room(len, 1, cap);
            const uint64_t want = std::min(cap - 1 - len, room.len);
            if (read_text(r, reinterpret_cast<unsigned char *>(room.at), static_cast<size_t>(want), &got) != 0)
                return -1;
            if (got == 0) break;
            len += got;
            if (len > limit) {
                set_too_large(r.path);
                return -1;
            }
            continue;
        }
        // Full: grow only when the source really has more.
        unsigned char probe[4096];
        if (read_text(r, probe, sizeof probe, &got) != 0) return -1;
        if (got == 0) break;
        if (len + got > limit) {
            set_too_large(r.path);
            return -1;
        }
        const uint64_t want = next_cap(cap, len + got + 1, limit);
        // Grown, the block is no longer fed: unprepared pages fault in as used.
        const int moved = fed.move([&] {
            char *grown = want > SIZE_MAX ? nullptr : static_cast<char *>(csv_realloc(data.get(), static_cast<size_t>(want)));
            if (grown == nullptr) {
                set_read_oom(want, r.path);
                return -1;
            }
            (void)data.release();
            data.reset(grown);
            cap = want;
            fed.hold(grown, cap);
            return 0;
        });
        if (moved != 0) return -1;
        memcpy(fed.room(len, got, len + got).at, probe, got);
        len += got;
    }
    *fed.room(len, 1, len + 1).at = '\0';
    fed.stop();
    *out_text = data.release();
    *out_len = len;
    return 0;
}

// How the text after the head is decoded, a piece at a time.
enum class decoder { utf16, iconv };

struct decode_job {
    decoder kind = decoder::utf16;
    int32_t big_endian = 0;
    void *cd = nullptr;         // iconv converter
    const char *name = nullptr;  // for messages
};

// Reads the rest of the source and decodes it piece by piece, so that its
// bytes are never held whole: only the UTF-8 text grows to full size. The
// first `head_len` bytes of the text are in `head`, the first `skip` of them
// a byte order mark. `expected_len` is the source's length when known
// (mark included), else 0.
int read_decoded(reader &r, const decode_job &job, const unsigned char *head, size_t head_len,
                 uint64_t skip, uint64_t expected_len, uint64_t limit, char **out_text,
                 uint64_t *out_len, int32_t *out_odd, uint64_t *replaced) {
    assert(skip <= head_len && (expected_len == 0 || expected_len >= head_len));
    const uint64_t piece_cap = expected_len != 0 && expected_len < k_piece ? expected_len + 1 : k_piece;
    heap_bytes piece(static_cast<char *>(csv_malloc(static_cast<size_t>(piece_cap))));
    if (!piece) {
        set_read_oom(piece_cap, r.path);
        return -1;
    }
    const bool utf16 = job.kind == decoder::utf16;
    // UTF-16 grows to at most 1.5 bytes per byte; other encodings mostly
    // by less than a quarter, and the converter grows the buffer as needed.
    const uint64_t basis = expected_len != 0 ? expected_len - skip : k_piece;
    uint64_t cap = utf16 ? csv_utf16_out_cap(basis) : basis + basis / 4 + 64;
    char *out = (cap == 0 || cap > SIZE_MAX) ? nullptr : static_cast<char *>(csv_malloc(static_cast<size_t>(cap)));
    if (out == nullptr) {
        if (utf16) csv_set_error("out of memory while transcoding UTF-16");
        else csv_set_error("out of memory while transcoding %s", job.name);
        return -1;
    }
    heap_bytes text(out);
    // The text grows front to back into a buffer sized for the whole file:
    // its pages are prepared ahead. Declared after `text`, so that it stops
    // before the buffer is freed.
    csv_fed_block fed;
    if (utf16 && expected_len != 0) fed.start(out, cap);
    else fed.hold(out, cap);
    unsigned char *buf = reinterpret_cast<unsigned char *>(piece.get());
    uint64_t have = head_len - skip;  // bytes waiting in the piece buffer
    uint64_t total = have;            // bytes after the mark read so far
    uint64_t w = 0;
    bool eof = false;
    memcpy(buf, head + skip, static_cast<size_t>(have));
    for (;;) {
        if (!eof && have < piece_cap) {
            uint64_t want = piece_cap - have;
            if (want > 4096) want &= ~uint64_t{4095};  // whole blocks
            size_t got = 0;
            if (read_text(r, buf + have, static_cast<size_t>(want), &got) != 0) return -1;
            eof = got == 0;
            have += got;
            total += got;
        }
        uint64_t used = 0;
        int rc;
        if (utf16) {
            // Room for the piece's worst case (csv_utf16_step_room
            // included), so the decoder never grows the buffer and writes
            // only what is ready.
            const uint64_t need = w + csv_utf16_out_cap(have);
            // As much text again as the bytes read so far gave, per byte left.
            const uint64_t rest = expected_len > total ? expected_len - total : 0;
            const uint64_t until = need + (total != 0 ? rest / total * w + rest % total * w / total : 0);
            if (cap < need) {
                // The block's pages are prepared before it grows: they go
                // with it. Grown, it is no longer fed.
                (void)fed.room(w, cap - w, until);
                const int moved = fed.move([&] {
                    const uint64_t want = next_cap(cap, need, UINT64_MAX);
                    char *grown = want > SIZE_MAX ? nullptr : static_cast<char *>(csv_realloc(out, static_cast<size_t>(want)));
                    if (grown == nullptr) {
                        csv_set_error("out of memory while transcoding UTF-16");
                        return -1;
                    }
                    (void)text.release();
                    text.reset(grown);
                    out = grown;
                    cap = want;
                    fed.hold(out, cap);
                    return 0;
                });
                if (moved != 0) return -1;
            }
            const uint64_t from = w;
            [[maybe_unused]] const csv_block room = fed.room(from, need - from, until);
            (void)text.release();  // the decoder may move or free the buffer
            rc = csv_utf16_decode_piece_counted(buf, have, job.big_endian, eof, &out, &cap, &w,
                                                &used, replaced);
            text.reset(out);
            // Neither grown nor moved, nor written past the room.
            CSV_ASSERT(rc != 0 || (out + from == room.at && w + csv_utf16_step_room <= need));
        } else {
            // The converter grows the buffer as it needs: it may move.
            rc = fed.move([&] {
                (void)text.release();
                const int got = csv_iconv_piece(job.cd, job.name, buf, have, eof, &out, &cap, &w,
                                                &used, replaced);
                text.reset(out);
                fed.hold(out, cap);
                return got;
            });
        }
        if (rc != 0) return -1;
        // Text that decodes to little or nothing (a device of zeros read as
        // UTF-16) must end too: UTF-16 takes at most 2 bytes for each byte
        // of text, no other encoding more than 4.
        if (w > limit || (limit != UINT64_MAX && total / (utf16 ? 2 : 4) > limit)) {
            set_too_large(r.path);
            return -1;
        }
        if (eof) break;
        // What is left is part of a sequence that the next piece ends.
        memmove(buf, buf + used, static_cast<size_t>(have - used));
        have -= used;
    }
    *fed.room(w, 1, w + 1).at = '\0';
    fed.stop();
    if (out_odd != nullptr && utf16) *out_odd = static_cast<int32_t>(total % 2);
    *out_text = text.release();
    *out_len = w;
    return 0;
}

// Opens the source and learns what can be known before reading it:
// `*file_size` is a regular file's size as the system reports it (0 for
// /proc files and the like), 0 for streams.
int open_source(reader &r, file_handle *file, uint64_t *file_size) {
    *file_size = 0;
    FILE *f = csv_platform_fopen(r.path);
    if (f == nullptr) {
        csv_set_error("cannot open file: %s (%s)", r.path, strerror(errno));
        return -1;
    }
    file->reset(f);
    r.f = f;
    if (!csv_platform_is_regular(f)) {
        r.stream = true;  // pipe, FIFO, device: read to its end, size unknown
        return 0;
    }
    errno = 0;
    int64_t size = g_stat_fails_with != 0 ? (errno = g_stat_fails_with, -1) : csv_platform_size(f);
    if (size < 0) {
        csv_set_error("cannot stat file: %s (%s)", r.path, strerror(errno != 0 ? errno : EOVERFLOW));
        return -1;
    }
    if (size > 0) size += g_size_overstated_by;
    // A size of 0 may be a /proc file with contents: size unknown.
    if (size > 0) r.total = size;
    *file_size = static_cast<uint64_t>(size);
    return 0;
}

// Encoding names are compared without case, '-' and '_': "UTF-8", "utf8".
bool same_name(const char *given, const char *plain) {
    for (;; ++given) {
        char c = *given;
        if (c == '-' || c == '_') continue;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != *plain) return false;
        if (c == '\0') return true;
        ++plain;
    }
}

enum class choice { unchanged, utf16le, utf16be, named, utf8_checked };

// The encoding of the text from the caller's value and the first bytes.
choice choose(int32_t encoding, const unsigned char *b, size_t n, uint64_t *skip, bool *bom) {
    *skip = 0;
    *bom = false;
    if (encoding == 2 || encoding == 3) {
        const bool be = encoding == 3;
        if (n >= 2 && b[0] == (be ? 0xFE : 0xFF) && b[1] == (be ? 0xFF : 0xFE)) *skip = 2;
        *bom = *skip != 0;
        return be ? choice::utf16be : choice::utf16le;
    }
    const bool utf8_mark = n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF;
    if (encoding != 0) {
        *bom = utf8_mark;
        return choice::unchanged;
    }
    if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        *skip = 2;
        *bom = true;
        return choice::utf16le;
    }
    if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        *skip = 2;
        *bom = true;
        return choice::utf16be;
    }
    if (utf8_mark) {
        *bom = true;
        return choice::unchanged;
    }
    // No mark: UTF-16 only when enough pairs hold exactly one zero byte,
    // and more in one byte order than in the other.
    uint64_t le = 0, be = 0;
    for (size_t i = 0; i + 1 < n; i += 2) {
        le += (b[i] != 0 && b[i + 1] == 0);
        be += (b[i] == 0 && b[i + 1] != 0);
    }
    if (le > 8 && le > be) return choice::utf16le;
    if (be > 8 && be > le) return choice::utf16be;
    return choice::unchanged;
}

// A named encoding: the built-in decoders where they cover it.
choice choose_named(const char *name, const unsigned char *b, size_t n, uint64_t *skip, bool *bom) {
    *skip = 0;
    *bom = false;
    if (same_name(name, "utf8")) {
        *bom = n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF;
        return choice::utf8_checked;
    }
    if (same_name(name, "utf16le")) return choose(2, b, n, skip, bom);
    if (same_name(name, "utf16be")) return choose(3, b, n, skip, bom);
    // iconv reads the marks of these itself and drops them.
    if (same_name(name, "utf16") || same_name(name, "ucs2") || same_name(name, "unicode"))
        *bom = n >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF));
    else if (same_name(name, "utf32") || same_name(name, "ucs4"))
        *bom = n >= 4 && ((b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0) ||
                          (b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF));
    return choice::named;
}

// Bytes of the first buffer for text used as it is: a text of known length
// whole, with its NUL and the parse's spare (CSV_OWNED_SPARE); else a guess
// that growth corrects (four times a gzip file, a fixed start for a
// stream, nothing for a file that reports size 0).
uint64_t first_capacity(const reader &r, uint64_t expected_len, uint64_t file_size) {
    if (expected_len != 0) return expected_len + 1 + CSV_OWNED_SPARE;
    if (r.gzip) return std::max(file_size < k_read_max / 4 ? 4 * file_size : k_read_max, k_first_cap);
    return r.stream ? k_first_cap : 1;
}


}  // namespace

int32_t csv_source_text_kind(int32_t encoding, const char *name, const unsigned char *head,
                             size_t n, uint64_t *skip, int32_t *bom) {
    bool b = false;
    const bool named = name != nullptr && name[0] != '\0';
    const choice c = named ? choose_named(name, head, n, skip, &b) : choose(encoding, head, n, skip, &b);
    *bom = b;
    switch (c) {
        case choice::utf8_checked: return CSV_TEXT_UTF8_CHECKED;
        case choice::utf16le: return CSV_TEXT_UTF16LE;
        case choice::utf16be: return CSV_TEXT_UTF16BE;
        case choice::named: return CSV_TEXT_NAMED;
        case choice::unchanged: break;
    }
    return CSV_TEXT_UNCHANGED;
}

namespace {

void copy_name(char *dst, const char *name) {
    size_t n = strlen(name);
    if (n >= CSV_ENCODING_NAME_MAX) n = CSV_ENCODING_NAME_MAX - 1;
    memcpy(dst, name, n);
    dst[n] = '\0';
}

}  // namespace

int csv_read_source_ex(const char *path, const csv_source_opts *opts, char **out_text,
                       uint64_t *out_len, int32_t *out_truncated, csv_load_info *info) {
    *out_text = nullptr;
    *out_len = 0;
    if (out_truncated != nullptr) *out_truncated = 0;
    csv_load_info local{};
    csv_load_info &li = info != nullptr ? *info : local;
    li = csv_load_info{};

    const char *name = opts->encoding_name;
    const bool named = name != nullptr && name[0] != '\0';
    if (named && strlen(name) >= CSV_ENCODING_NAME_MAX) {
        csv_set_error("unknown encoding: %s", name);
        return -1;
    }
    // A converter for a name the decoders here do not cover: an unknown
    // name fails before the file is read.
    void *cd = nullptr;
    if (named && !same_name(name, "utf8") && !same_name(name, "utf16le") &&
        !same_name(name, "utf16be") && csv_iconv_open(name, &cd) != 0)
        return -1;
    std::unique_ptr<void, void (*)(void *)> converter(cd, csv_iconv_close);

    reader r;
    r.path = path;
    r.progress = opts->progress;
    r.user_data = opts->user_data;
    file_handle file(nullptr, fclose);
    uint64_t file_size = 0;
    if (open_source(r, &file, &file_size) != 0) return -1;

    // The first bytes tell gzip from text, and then the text's encoding.
    unsigned char raw_head[k_head];
    size_t raw_n = 0;
    const size_t raw_want = file_size != 0 && file_size < k_head ? static_cast<size_t>(file_size) : k_head;
    if (read_full(r, read_raw, raw_head, raw_want, &raw_n) != 0) return -1;
    r.back = raw_head;
    r.back_len = raw_n;
    if (raw_n >= 3 && raw_head[0] == 0x1F && raw_head[1] == 0x8B && raw_head[2] == 0x08 &&
        start_gzip(r) != 0)
        return -1;
    unsigned char head_buf[k_head];
    const unsigned char *head = raw_head;
    size_t n = raw_n;
    if (r.gzip) {
        head = head_buf;
        if (read_full(r, read_text, head_buf, sizeof head_buf, &n) != 0) return -1;
    } else {
        r.back_len = 0;  // the head is passed on below
    }
    // Bytes of text the source is expected to give: a regular file's size,
    // or only its head when it ended before that; 0 when nothing is known
    // (streams, gzip, files that report size 0), which are read to their end.
    const uint64_t expected_len = r.gzip || file_size == 0 ? 0 : n < raw_want ? n : file_size;
    assert(!r.stream || expected_len == 0);
    assert(expected_len == 0 || expected_len >= n);
    const uint64_t first_cap = first_capacity(r, expected_len, file_size);
    const uint64_t limit = expected_len != 0 ? UINT64_MAX
                           : (opts->text_limit != 0 ? opts->text_limit : UINT64_MAX);

    uint64_t skip = 0;
    bool bom = false;
    const choice c = named ? choose_named(name, head, n, &skip, &bom)
                           : choose(opts->encoding, head, n, &skip, &bom);
    li.bom = bom;
    li.gzip = r.gzip;
    li.encoding_detected = !named && opts->encoding == 0;
    if (named) copy_name(li.encoding, name);
    else copy_name(li.encoding, c == choice::utf16le ? "utf-16le" : c == choice::utf16be ? "utf-16be" : "utf-8");

    int rc;
    if (c == choice::unchanged || c == choice::utf8_checked) {
        rc = read_unchanged(r, head, n, expected_len, first_cap, limit, out_text, out_len);
        if (rc == 0 && c == choice::utf8_checked &&
            csv_utf8_replace_invalid(out_text, out_len, name, &li.replaced_bytes) != 0) {
            csv_free(*out_text);
            *out_text = nullptr;
            *out_len = 0;
            rc = -1;
        }
    } else {
        decode_job job;
        job.kind = c == choice::named ? decoder::iconv : decoder::utf16;
        job.big_endian = c == choice::utf16be;
        job.cd = cd;
        job.name = name;
        rc = read_decoded(r, job, head, n, skip, expected_len, limit, out_text, out_len, out_truncated,
                          &li.replaced_bytes);
    }
    if (rc != 0) {
        if (out_truncated != nullptr) *out_truncated = 0;
        li = csv_load_info{};
        return -1;
    }
    li.file_size = r.raw_read;
    return 0;
}

void csv_source_stat_fails_with(int err) { g_stat_fails_with = err; }
void csv_source_size_overstated_by(int64_t bytes) { g_size_overstated_by = bytes; }
