#pragma once
// The compression levels of the zlib module, in a header of their own so that
// the benchmark's direct codec case compresses at the level the module uses.
//
// Level 6 is zlib's default and zlib's level here. libdeflate compresses
// inputs below kSmallLevelBelow at level 5 and larger ones at level 6. On
// the real-file corpus of bench/make_corpus.py, at 1 MiB libdeflate's level 6
// runs at 1.8 times zlib level 6's speed and level 5 at 2.2 times, for output
// 3.4% larger than zlib's instead of 1.2%; at 16 MiB level 6 runs at about
// twice zlib's speed with output no larger, and the large inputs carry most
// of the bytes, so the total output stays within zlib's (bench/CODEC.md has
// the figures).
#include <cstddef>

constexpr int kCodecLevel = 6;
constexpr int kSmallCodecLevel = 5;
constexpr size_t kSmallLevelBelow = size_t{4} << 20;

// libdeflate's level for `len` bytes that do not look like noise.
constexpr int codecLevelFor(size_t len) { return len < kSmallLevelBelow ? kSmallCodecLevel : kCodecLevel; }
