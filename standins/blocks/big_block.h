#pragma once
// Large blocks of bytes for the peer modules: the codec's output and the byte
// buffers' storage.
//
// A fresh page costs far more than the bytes a codec writes into it, and the
// allocator of the C library gives large blocks back to the system at every
// free, so a block per call would pay fresh pages (and the process-wide
// memory-map lock) on every call. Blocks here are anonymous mappings aligned
// to 2 MiB. A block that has held 1 MiB or more is advised for transparent
// huge pages when it first comes back to the cache (where the kernel
// declines, small pages serve, silently): its later refills then cost a
// fault per 2 MiB instead of one per 4 KiB, while a block's first use, which
// may be a short process's only one, takes small pages, whose cost is
// steady; a huge page's first touch is not, on virtual machines whose
// hypervisor takes back the guest's free memory. A freed block goes into a
// small cache of the module, and serves the next request that fits without a
// system call or a fault. The blocks in the cache keep at most kBigBlockWarm
// bytes resident in all (so one block can stay warm whole up to that size);
// a block given back beyond that lets go of the pages over the budget.
// The cache is freed when the module is unloaded (static destruction).
//
// Safe from any thread; the cache takes no lock (big_block.cpp says how).

#include <cstddef>

// Requests from this many bytes up are worth a block; smaller ones belong to
// the C library's allocator, whose small blocks stay warm on their own.
constexpr size_t kBigBlockFrom = size_t{128} << 10;
// Resident bytes the cached blocks of a module keep for reuse, in all.
constexpr size_t kBigBlockWarm = size_t{32} << 20;

struct BigBlock {
    unsigned char* base = nullptr;  // null: no block
    size_t reserved = 0;            // usable bytes, a multiple of 2 MiB
    size_t touched = 0;             // how far the bytes may be resident
    bool hugeAdvised = false;       // advised for huge pages (from its first return on)
};

// A block of at least `bytes` usable bytes (contents unspecified), or one
// with a null base when no address space can be had.
BigBlock takeBigBlock(size_t bytes);
// Gives a block back (a null base is ignored); `used` is how far it was
// written since it was taken.
void giveBigBlock(BigBlock block, size_t used);
// Makes the first `bytes` of a block resident and writable in one system
// call, for a caller about to write all of them: cheaper than a fault per
// page. Best effort (the pages fault in as usual where the kernel declines).
void prefaultBigBlock(BigBlock& block, size_t bytes);
