#pragma once
// TBufImpl: the byte buffer of the byte-buffer service (contract in s_tbuf.h).
//
// Holds and the buffer's hold on itself are guarded by
// CMN_Reference::RefMutex, the module's registry lock, because the object
// manager's walks reach them with that lock held (fini() of the buffer, and
// cutting the self-hold loose); taking it first keeps the module's single
// lock order: RefMutex, then a holder-list lock. The contents have no lock:
// one thread at a time per buffer.

#include "big_block.h"
#include "tbuf.h"

class TBufImpl;

// The buffer's guarded reference on itself while it has holds. Stamped with
// this module's identifier. Lives inside the buffer, so it is never told to
// hold another object: only to let go (replacePointee(null)), which ends the
// buffer's holds.
class TBufSelfHold final : public CMN_GRPHolder {
public:
    explicit TBufSelfHold(TBufImpl* owner);
    TBufSelfHold(TBufSelfHold const&) = delete;
    TBufSelfHold& operator=(TBufSelfHold const&) = delete;

    void replacePointee(CMN_GuardedRef* ref) override;
    TypifiedID const* getModuleID() override { return moduleID; }

    TBufImpl* owner;
    // The buffer while the hold stands, else null. Guarded by RefMutex.
    CMN_GuardedRef* held;
    TypifiedID const* moduleID;
};

class TBufImpl final : public TBuf {
public:
    // An empty buffer carrying one hold (the creator's).
    TBufImpl();
    ~TBufImpl() override;
    TBufImpl(TBufImpl const&) = delete;
    TBufImpl& operator=(TBufImpl const&) = delete;

    unsigned int init() override { return 0; }
    // Refuses new holds from now on; existing holds stay.
    unsigned int fini() override;

    int acquire() override;
    int release() override;
    int set(char const* s) override;
    int set(unsigned char const* data, unsigned int len) override;
    int reservedSlot5() override;
    unsigned char* datap() override;
    unsigned int len() override;
    int dup(TBuf* source) override;
    int reservedSlot9() override;
    int operator!=(TBuf* other) override;
    int load(char const* path) override;
    int save(char const* path) override;
    int shift(unsigned int n) override;
    int retreat(unsigned int n) override;

private:
    friend class TBufSelfHold;
    // Replaces the contents with a copy of `n` bytes at `p` (may overlap).
    int assign(unsigned char const* p, size_t n);
    // Takes ownership of storage from allocate() holding n + 1 bytes
    // (null with n == 0: empty), freeing the old storage.
    void adopt(unsigned char* storage, BigBlock large, unsigned int n);
    // Drops n bytes from the front or from the back; n == len() empties.
    int drop(unsigned int n, bool fromFront);

    // Guarded by RefMutex.
    unsigned int holds;
    bool finished;
    TBufSelfHold self;

    unsigned char* bytes;  // null when empty; else size + 1 bytes, NUL last
    unsigned int size;
    BigBlock large;  // base is `bytes` when they live in a big block
};
