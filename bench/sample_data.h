#pragma once
// Deterministic sample inputs: text-like (words from a small vocabulary, so
// it compresses about as well as prose) and binary-like (a mix of noise and
// repeated records, compressing about two-fold).
#include <cstdint>
#include <vector>

inline std::vector<unsigned char> textLike(size_t n, uint32_t seed = 1) {
    static char const* const words[] = {"the ",       "buffer ",    "module ",  "holds ", "a ",
                                        "reference ", "to ",        "service ", "and ",   "compresses ",
                                        "data ",      "when ",      "asked, ",  "while ", "the host ",
                                        "unloads ",   "nothing.\n", "of ",      "ZIP "};
    std::vector<unsigned char> out;
    out.reserve(n);
    uint32_t x = seed * 2654435761u + 1;
    while (out.size() < n) {
        x = x * 1664525u + 1013904223u;
        for (char const* w = words[(x >> 16) % (sizeof words / sizeof *words)]; *w != 0 && out.size() < n; ++w)
            out.push_back(static_cast<unsigned char>(*w));
    }
    return out;
}

inline std::vector<unsigned char> binaryLike(size_t n, uint32_t seed = 7) {
    std::vector<unsigned char> out(n);
    uint32_t x = seed * 2246822519u + 3;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        // Every other 64-byte record is a repeated pattern.
        out[i] = (i / 64) % 2 == 0 ? static_cast<unsigned char>(x) : static_cast<unsigned char>(i % 64);
    }
    return out;
}
