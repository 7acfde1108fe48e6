#include "tests/support/doubles.h"

#include <gtest/gtest.h>

// ---- the host's module manager --------------------------------------------------

void FakeModMgr::offer(TypifiedID const& id, CMN_GuardedRef* service) {
    for (auto& o : offers)
        if (*o.first == id) {
            o.second = service;
            return;
        }
    offers.emplace_back(&id, service);
}

void FakeModMgr::withdraw(TypifiedID const& id) {
    for (auto it = offers.begin(); it != offers.end(); ++it)
        if (*it->first == id) {
            offers.erase(it);
            return;
        }
}

CMN_GuardedRef* FakeModMgr::lookupService(TypifiedID const* service, TypifiedID const* asking) {
    ++lookups;
    lastAsking.store(asking);
    for (auto const& o : offers)
        if (service != nullptr && *o.first == *service) return o.second;
    return nullptr;
}

// ---- the byte buffer -------------------------------------------------------------

namespace {
std::mutex traceLock;
std::string traceText;

void traced(char const* op) {
    std::lock_guard<std::mutex> lock(traceLock);
    traceText += op;
}
}  // namespace

std::string FakeBuf::trace() {
    std::lock_guard<std::mutex> lock(traceLock);
    return traceText;
}

void FakeBuf::clearTrace() {
    std::lock_guard<std::mutex> lock(traceLock);
    traceText.clear();
}

// The maker's hold comes with the buffer's own count.
FakeBuf::FakeBuf(std::vector<unsigned char> b) : bytes(std::move(b)) {
    ++live;
    CMN_Reference::addReference();
}

FakeBuf* FakeBuf::withoutData() {
    FakeBuf* b = new FakeBuf({});
    b->hasData = false;
    return b;
}

int FakeBuf::acquire() {
    if (acquiresLeft <= 0) return -1;
    --acquiresLeft;
    if (holds == 0) CMN_Reference::addReference();
    return ++holds;
}

int FakeBuf::release() {
    if (holds <= 0) {
        ADD_FAILURE() << "release() without a hold";
        return -1;
    }
    if (--holds == 0) CMN_Reference::remReference();  // may destroy the buffer: nothing after it
    return 0;
}

void FakeBuf::seen(char const* op) {
    calls += op;
    calls += ' ';
    if (onCall) onCall();
}

unsigned char* FakeBuf::datap() {
    traced("datap ");
    seen("datap");
    if (!hasData) return nullptr;
    static unsigned char none = 0;
    return bytes.empty() ? &none : bytes.data();
}

unsigned int FakeBuf::len() {
    traced("len ");
    seen("len");
    return static_cast<unsigned int>(bytes.size());
}

// ---- the byte-buffer service ---------------------------------------------------

bool FakeBufFactory::serve(Form form, std::function<void()> const& record) {
    ++made[form];
    {
        std::lock_guard<std::mutex> lock(m_);
        record();
    }
    int const from = refuseFrom.load();
    return from < 0 || served_++ < from;
}

TBuf* FakeBufFactory::createTBuf() {
    return serve(Empty, [] {}) ? new FakeBuf({}) : nullptr;
}

TBuf* FakeBufFactory::createTBuf(char const* s) {
    if (!serve(FromString, [&] { lastString = FakeBuf::text(s); })) return nullptr;
    if (s == nullptr) return nullFromNull ? nullptr : new FakeBuf({});
    return FakeBuf::of(s);
}

TBuf* FakeBufFactory::createTBuf(unsigned char const* d, unsigned int n) {
    if (!serve(FromBytes, [&] { lastBytes = d, lastLen = n; })) return nullptr;
    return new FakeBuf(n != 0 ? std::vector<unsigned char>(d, d + n) : std::vector<unsigned char>());
}

// Copies the source's bytes directly, so the copy adds nothing to the trace.
TBuf* FakeBufFactory::createTBuf(TBuf* source) {
    if (!serve(FromBuf, [&] { lastSource = source; })) return nullptr;
    if (source == nullptr) return nullFromNull ? nullptr : new FakeBuf({});
    return new FakeBuf(static_cast<FakeBuf*>(source)->bytes);
}

// ---- the zlib service ------------------------------------------------------------

VBuffer_Interface* FakeZLib::createVBuffer(unsigned char const* d, unsigned long n) {
    ++asked;
    lastData = d;
    lastLen = n;
    if (refuse) return nullptr;
    auto* made = new FakeVBuf(d, n, script);
    lastMade = made;
    return made;
}
