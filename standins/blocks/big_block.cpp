#include "big_block.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <utility>

namespace {

constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kKept = 4;
// Blocks that held this much get huge pages from their first return on:
// filling 2 MiB of small pages costs many times what one huge page does,
// while a huge page costs at most twice the memory such a block needs.
constexpr size_t kHugeFrom = size_t{1} << 20;

size_t roundUp(size_t n, size_t to) { return n > SIZE_MAX - (to - 1) ? 0 : (n + to - 1) / to * to; }

// A fresh block of `bytes` (a multiple of kHugePage), 2 MiB-aligned: the
// mapping is made one huge page larger and the ends cut off.
BigBlock reserve(size_t bytes) {
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
    return b;
}

// The cache takes no lock: each of its kKept slots is claimed by one thread
// at a time through its state (an atomic compare-and-swap), and a thread that
// finds a slot claimed by another moves on to the next slot instead of
// waiting. So picking or filing a block costs two atomic operations on the
// slot, and two threads working on blocks of their own never wait for each
// other. Each slot's size is also kept apart from the slot, as a hint by
// which a taker picks the smallest block that fits without claiming slots
// that will not do.
class Cache {
public:
    Cache() = default;
    Cache(Cache const&) = delete;
    Cache& operator=(Cache const&) = delete;
    // Blocks given back later (by objects that outlive the module's static
    // destruction) are unmapped at once.
    ~Cache() {
        closed_.store(true, std::memory_order_release);
        for (Slot& s : slots_)
            if (claim(s, kFull)) {
                munmap(s.block.base, s.block.reserved);
                release(s, kEmpty);
            }
    }

    // The smallest cached block that fits, or one with a null base.
    BigBlock take(size_t bytes) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            Slot* best = nullptr;
            size_t bestSize = 0;
            for (Slot& s : slots_) {
                size_t const size = s.size.load(std::memory_order_relaxed);
                if (s.state.load(std::memory_order_relaxed) == kFull && size >= bytes &&
                    (best == nullptr || size < bestSize)) {
                    best = &s;
                    bestSize = size;
                }
            }
            if (best == nullptr || !claim(*best, kFull)) continue;
            if (best->block.reserved < bytes) {  // refiled with another block since the hint was read
                release(*best, kFull);
                continue;
            }
            BigBlock const b = best->block;
            best->size.store(0, std::memory_order_relaxed);
            release(*best, kEmpty);
            warm_.fetch_sub(b.touched, std::memory_order_relaxed);
            return b;
        }
        return BigBlock();
    }

    // Keeps `b`; when the cache is full, the smallest of its blocks and `b`
    // is returned for unmapping instead (a larger block serves every request
    // a smaller one does), else a block with a null base.
    BigBlock file(BigBlock b) {
        if (closed_.load(std::memory_order_acquire)) return b;
        for (Slot& s : slots_)
            if (claim(s, kEmpty)) {
                put(s, b);
                return BigBlock();
            }
        Slot* smallest = &slots_[0];
        for (Slot& s : slots_)
            if (s.size.load(std::memory_order_relaxed) < smallest->size.load(std::memory_order_relaxed)) smallest = &s;
        if (!claim(*smallest, kFull)) return b;  // another thread has it this instant: `b` goes
        if (smallest->block.reserved < b.reserved) {
            std::swap(smallest->block, b);
            warm_.fetch_add(smallest->block.touched, std::memory_order_relaxed);
            warm_.fetch_sub(b.touched, std::memory_order_relaxed);
            smallest->size.store(smallest->block.reserved, std::memory_order_relaxed);
        }
        release(*smallest, kFull);
        return b;
    }

    // Resident bytes a block given back now may keep: what the budget has
    // left, in whole 2 MiB pages. Threads filing at the same instant may
    // together overrun it by one block's share.
    size_t warmRoom() const {
        size_t const used = warm_.load(std::memory_order_relaxed);
        return used >= kBigBlockWarm ? 0 : (kBigBlockWarm - used) / kHugePage * kHugePage;
    }

private:
    enum State : int { kEmpty, kClaimed, kFull };
    struct Slot {
        std::atomic<int> state{kEmpty};
        std::atomic<size_t> size{0};  // the hint: block.reserved while full, else 0
        BigBlock block;               // owned by whoever claimed the slot
    };

    static bool claim(Slot& s, int from) {
        int expected = from;
        return s.state.load(std::memory_order_relaxed) == from &&
               s.state.compare_exchange_strong(expected, kClaimed, std::memory_order_acquire);
    }
    static void release(Slot& s, int to) { s.state.store(to, std::memory_order_release); }
    void put(Slot& s, BigBlock b) {
        s.block = b;
        s.size.store(b.reserved, std::memory_order_relaxed);
        warm_.fetch_add(b.touched, std::memory_order_relaxed);
        release(s, kFull);
    }

    Slot slots_[kKept];
    std::atomic<bool> closed_{false};
    std::atomic<size_t> warm_{0};  // resident bytes of the blocks in the slots
};

Cache cache;

}  // namespace

BigBlock takeBigBlock(size_t bytes) {
    size_t want = roundUp(bytes != 0 ? bytes : 1, kHugePage);
    if (want == 0) return BigBlock();
    BigBlock b = cache.take(want);
    return b.base != nullptr ? b : reserve(want);
}

void giveBigBlock(BigBlock b, size_t used) {
    if (b.base == nullptr) return;
    size_t touched = used > b.touched ? used : b.touched;
    if (touched > b.reserved) touched = b.reserved;
#ifdef MADV_HUGEPAGE
    if (!b.hugeAdvised && touched >= kHugeFrom) {
        madvise(b.base, b.reserved, MADV_HUGEPAGE);
        b.hugeAdvised = true;
    }
#endif
    size_t const room = cache.warmRoom();
    if (touched > room) {  // whole huge pages kept: `room` is a multiple of 2 MiB
        madvise(b.base + room, roundUp(touched, 4096) - room, MADV_DONTNEED);
        touched = room;
    }
    b.touched = touched;
    BigBlock dropped = cache.file(b);
    if (dropped.base != nullptr) munmap(dropped.base, dropped.reserved);
}

void prefaultBigBlock(BigBlock& b, size_t bytes) {
    if (b.base == nullptr || bytes <= b.touched || bytes > b.reserved) return;
#ifdef MADV_POPULATE_WRITE
    size_t const from = b.touched / 4096 * 4096;
    madvise(b.base + from, roundUp(bytes, 4096) - from, MADV_POPULATE_WRITE);
#endif
    b.touched = bytes;
}
