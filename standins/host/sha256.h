#pragma once
// SHA-256 (FIPS 180-4), as the loader checks modules against their folder's
// digest manifest on every start: with the processor's SHA instructions where
// it has them (about ten times the speed), else in portable code. Both give
// the same digests; which one runs is chosen once per process.

#include <cstddef>
#include <string>

enum class Sha256Engine { Best, Portable };

// The digest of `n` bytes at `p`, as 64 lower-case hex digits.
std::string sha256Of(unsigned char const* p, size_t n, Sha256Engine engine = Sha256Engine::Best);
// The digest of the whole file at `path`, in the same form; empty when it
// cannot be opened or read. Opened without blocking (a FIFO reads as empty).
std::string sha256OfFile(std::string const& path);
