// Fresh pages made ready ahead of the code that fills them.
//
// A large heap block is only address space until each of its pages is first
// touched. Without huge pages every 4 KiB page then costs a fault, and on a
// virtual machine the first access to a fresh page costs several times more
// again; for a load of a few hundred MB that is most of its time. A load
// fills its large blocks front to back (the file's text, the decoded text,
// the cell array), so a helper thread prepares the next stretches of a block
// (one bulk population call, then one touch per page) while the loading
// thread fills the current one, and the loading thread prepares whatever the
// helper has not reached. Without a helper thread (the system refused one)
// the loading thread prepares every stretch itself, which still saves the
// fault of each page. A feed may also fill each stretch once it is
// prepared (the file's text, read by both threads side by side).
#include <algorithm>
#include <atomic>

#include "csv_internal.h"
#include "csv_platform.h"

namespace {

constexpr uint64_t k_chunk = uint64_t{2} << 20;  // prepared at a time: one huge page
constexpr uint64_t k_lead = 4;                   // chunks the helper may be ahead of the writer
constexpr uint64_t k_min_block = uint64_t{8} << 20;  // smaller blocks fault in as they are used
constexpr uint64_t k_touch = 4096;               // the smallest page size there is
constexpr uint64_t k_none = UINT64_MAX;

std::atomic<bool> g_no_helper{false};
thread_local int64_t g_feeds_started = 0;  // feeds this thread started, for tests

}  // namespace

void csv_page_feed_no_helper(int on) { g_no_helper.store(on != 0, std::memory_order_relaxed); }

int64_t csv_page_feeds_started(void) {
    const int64_t n = g_feeds_started;
    g_feeds_started = 0;
    return n;
}

bool csv_page_feed_wanted(uint64_t n) { return n >= k_min_block; }

csv_page_feed::~csv_page_feed() { stop(); }

void csv_page_feed::start(char *p, uint64_t n, fill_fn fill, void *fill_ctx) {
    stop();
    fill_ = fill;
    fill_ctx_ = fill_ctx;
    prepared_ = 0;
    if (p == nullptr || !csv_page_feed_wanted(n)) return;  // all ready as it is
    ++g_feeds_started;
    base_ = p;
    size_ = n;
    ready_ = 0;
    // Chunks sit on whole huge pages, so that a chunk never makes the
    // system back a huge page that the next chunk shares.
    skew_ = reinterpret_cast<uintptr_t>(p) & (k_chunk - 1);
    chunks_ = (n + skew_ + k_chunk - 1) / k_chunk;
    claimed_ = 0;
    limit_ = 0;
    horizon_ = UINT64_MAX;
    busy_ = k_none;
    quit_ = false;
    if (g_no_helper.load(std::memory_order_relaxed)) return;
    // Without a thread the writer prepares every chunk itself.
    helper_on_ = csv_platform_thread_start(
                     &helper_, [](void *self) { static_cast<csv_page_feed *>(self)->run(); }, this) == 0;
}

void csv_page_feed::stop() {
    if (helper_on_) {
        {
            std::lock_guard<std::mutex> lock(m_);
            quit_ = true;
        }
        cv_.notify_all();
        csv_platform_thread_join(helper_);
        helper_on_ = false;
    }
    // Chunks are taken in order and each is done once taken.
    if (base_ != nullptr && claimed_ > 0) {
        uint64_t from, to;
        bounds(claimed_ - 1, &from, &to);
        prepared_ = to;
    }
    base_ = nullptr;
    size_ = 0;
    fill_ = nullptr;
    ready_ = UINT64_MAX;
    chunks_ = 0;
}

// Bytes [from, to) of the block are chunk k.
void csv_page_feed::bounds(uint64_t k, uint64_t *from, uint64_t *to) const {
    *from = k == 0 ? 0 : k * k_chunk - skew_;
    *to = std::min((k + 1) * k_chunk - skew_, size_);
}

void csv_page_feed::prepare(uint64_t k) const {
    uint64_t from, to;
    bounds(k, &from, &to);
    char *a = base_ + from;
    const uint64_t len = to - from;
    csv_platform_populate(a, static_cast<size_t>(len));
    // The bytes are not the caller's yet, so a write here changes nothing;
    // it makes the page's first access this thread's, not the writer's.
    volatile char *v = a;
    for (uint64_t off = 0; off < len; off += k_touch) v[off] = 0;
    v[len - 1] = 0;
    if (fill_ != nullptr) fill_(fill_ctx_, a, from, len);
}

void csv_page_feed::run() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        cv_.wait(lock, [this] { return quit_ || claimed_ >= chunks_ || claimed_ < limit_; });
        if (quit_ || claimed_ >= chunks_) return;
        const uint64_t k = claimed_++;
        busy_ = k;
        lock.unlock();
        prepare(k);
        lock.lock();
        busy_ = k_none;
        cv_.notify_all();
    }
}

void csv_page_feed::settle_for_tests() {
    if (base_ == nullptr || !helper_on_) return;
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return busy_ == k_none && (claimed_ >= chunks_ || claimed_ >= limit_); });
}

void csv_page_feed::ahead(uint64_t upto) {
    if (base_ == nullptr) return;
    horizon_ = upto;
    if (!helper_on_) return;
    const uint64_t limit = (std::min(upto, size_) + skew_) / k_chunk;
    {
        std::lock_guard<std::mutex> lock(m_);
        if (limit <= limit_) return;
        limit_ = limit;
    }
    cv_.notify_all();
}

void csv_page_feed::reach_slow(uint64_t upto, uint64_t until) {
    until = std::min(until, std::max(horizon_, upto));
    upto = std::min(upto, size_);
    until = std::min(std::max(until, upto), size_);
    // Chunks [0, need) hold the first `upto` bytes; the helper stops before
    // the chunk that holds `until`, which only the writer may need.
    const uint64_t need = (upto + skew_ + k_chunk - 1) / k_chunk;
    const uint64_t limit = std::min((until + skew_) / k_chunk, need + k_lead);
    std::unique_lock<std::mutex> lock(m_);
    limit_ = std::max(limit_, limit);
    cv_.notify_all();
    for (;;) {
        if (claimed_ < need || (busy_ != k_none && busy_ < need && claimed_ < limit_)) {
            // Chunks nobody took yet, and while the helper finishes one the
            // writer needs, the next ones: the two work side by side.
            const uint64_t k = claimed_++;
            lock.unlock();
            prepare(k);
            lock.lock();
            continue;
        }
        if (busy_ == k_none || busy_ >= need) break;
        cv_.wait(lock);
    }
    uint64_t from, to;
    bounds(need - 1, &from, &to);
    ready_ = to;
}

csv_block csv_fed_block::room(uint64_t from, uint64_t need, uint64_t until) {
    CSV_ASSERT(base_ != nullptr && from <= size_ && need <= size_ - from);
    feed_.reach(from + need, until);
    const uint64_t end = std::min(feed_.ready(), size_);
    CSV_ASSERT(end >= from + need);
    return csv_block{base_ + from, end - from};
}
