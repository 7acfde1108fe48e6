#pragma once
/// @file
///
/// Result codes that every layer shares. A result code is an unsigned 32-bit
/// status, 0 for success; each layer names its own codes beside its interface
/// (the ZIP service's in zip.h, the zlib service's in zlib_service.h), and a code has
/// exactly one name.

/// A stub, handle or wrapper that is not bound to an object answers this
/// without calling anything; the zip buffer passes it on when no compression
/// buffer could be had.
constexpr int CMN_NOT_BOUND = 40;
