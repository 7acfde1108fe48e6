#pragma once
// The ZIP service as the client stub sees it: a service object that makes
// zip buffers answering the codes and the result it was given. The shared
// doubles (tests/support/doubles.h) play the other peers and the host.

#include <atomic>

#include "tbuf.h"
#include "tests/support/doubles.h"
#include "zip.h"

class FakeZipBuffer final : public TZipBuffer_Interface {
public:
    FakeZipBuffer(TBuf* in, unsigned int zipCode, unsigned int unzipCode, TBuf* result)
        : in(in), zipCode(zipCode), unzipCode(unzipCode), result(result) {
        ++live;
    }
    ~FakeZipBuffer() override { --live; }

    unsigned int init() override { return 0; }
    unsigned int fini() override { return 0; }
    unsigned int ZipTBuf() override {
        ++zips;
        return zipCode;
    }
    unsigned int UnzipTBuf() override {
        ++unzips;
        return unzipCode;
    }
    TBuf* GetResultTBuf() override { return result; }

    static inline std::atomic<int> live{0};

    TBuf* const in;
    unsigned int const zipCode, unzipCode;
    TBuf* const result;  // borrowed: the test owns it
    int zips = 0, unzips = 0;
};

// Makes FakeZipBuffers configured from its fields.
class FakeZipService final : public FakeServiceObject<TZip_Interface, 65> {
public:
    FakeZipService() { ++live; }
    ~FakeZipService() override { --live; }

    TZipBuffer_Interface* createTZipBuffer(TBuf* in) const override {
        ++created;
        lastMade = new FakeZipBuffer(in, zipCode, unzipCode, result);
        return lastMade;
    }

    static inline std::atomic<int> live{0};

    unsigned int zipCode = 0, unzipCode = 0;
    TBuf* result = nullptr;
    mutable int created = 0;
    mutable FakeZipBuffer* lastMade = nullptr;
};
