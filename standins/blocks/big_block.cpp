#include "big_block.h"

#include <sys/mman.h>

#include <cstdint>
#include <mutex>
#include <utility>

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kKept = 4;
// Requests from this size up get huge pages: filling 2 MiB of fresh small
// pages costs many times what one huge page does, while a huge page costs
// at most twice the memory such a request needs.
constexpr size_t kHugeFrom = size_t{1} << 20;

size_t roundUp(size_t n, size_t to) { return n > SIZE_MAX - (to - 1) ? 0 : (n + to - 1) / to * to; }

// A fresh block of `bytes` (a multiple of kHugePage) for a request of
// `wanted`, 2 MiB-aligned: the mapping is made one huge page larger and the
// ends cut off.
BigBlock reserve(size_t bytes, size_t wanted) {
    BigBlock b;
    size_t span = bytes + kHugePage;
    if (bytes == 0 || span < bytes) return b;
    void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return b;
    auto* const start = static_cast<unsigned char*>(p);
    size_t const misalign = reinterpret_cast<uintptr_t>(start) & (kHugePage - 1);
    size_t const head = misalign == 0 ? 0 : kHugePage - misalign;
    if (head != 0) munmap(start, head);
    size_t const tail = span - head - bytes;
    if (tail != 0) munmap(start + head + bytes, tail);
    b.base = start + head;
    b.reserved = bytes;
#ifdef MADV_HUGEPAGE
    if (wanted >= kHugeFrom) madvise(b.base, bytes, MADV_HUGEPAGE);
#endif
    return b;
}

class Cache {
public:
    Cache() = default;
    Cache(Cache const&) = delete;
    Cache& operator=(Cache const&) = delete;
    // Blocks given back later (by objects that outlive the module's static
    // destruction) are unmapped at once.
    ~Cache() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < kept_; ++i) munmap(items_[i].base, items_[i].reserved);
        kept_ = 0;
        closed_ = true;
    }

    // The smallest cached block that fits, or one with a null base.
    BigBlock take(size_t bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t best = kept_;
        for (size_t i = 0; i < kept_; ++i)
            if (items_[i].reserved >= bytes && (best == kept_ || items_[i].reserved < items_[best].reserved)) best = i;
        if (best == kept_) return BigBlock();
        BigBlock b = items_[best];
        items_[best] = items_[--kept_];
        return b;
    }

    // Keeps `b`; when the cache is full, the smallest of its blocks and `b`
    // is returned for unmapping instead (a larger block serves every request
    // a smaller one does), else a block with a null base.
    BigBlock file(BigBlock b) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return b;
        if (kept_ < kKept) {
            items_[kept_++] = b;
            return BigBlock();
        }
        size_t smallest = 0;
        for (size_t i = 1; i < kKept; ++i)
            if (items_[i].reserved < items_[smallest].reserved) smallest = i;
        if (items_[smallest].reserved < b.reserved) std::swap(items_[smallest], b);
        return b;
    }

private:
    std::mutex mutex_;
    BigBlock items_[kKept];
    size_t kept_ = 0;
    bool closed_ = false;
};

Cache cache;

}  // namespace

BigBlock takeBigBlock(size_t bytes) {
    size_t want = roundUp(bytes != 0 ? bytes : 1, kHugePage);
    if (want == 0) return BigBlock();
    BigBlock b = cache.take(want);
    return b.base != nullptr ? b : reserve(want, bytes);
}

void giveBigBlock(BigBlock b, size_t used) {
    if (b.base == nullptr) return;
    size_t touched = used > b.touched ? used : b.touched;
    if (touched > b.reserved) touched = b.reserved;
    if (touched > kBigBlockWarm) {
        // Page-aligned from kBigBlockWarm (a multiple of 2 MiB) on.
        madvise(b.base + kBigBlockWarm, roundUp(touched, 4096) - kBigBlockWarm, MADV_DONTNEED);
        touched = kBigBlockWarm;
    }
    b.touched = touched;
    BigBlock dropped = cache.file(b);
    if (dropped.base != nullptr) munmap(dropped.base, dropped.reserved);
}
