#include "tests/zip/fakes.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "stubs/cmn_abuf.h"
#include "stubs/s_zlibC.h"
#include "stubs/zipC.h"

std::atomic<int> FakeBuf::live{0};
std::atomic<int> FakeVBuf::live{0};

FakeBuf::FakeBuf(std::vector<unsigned char> b) : bytes(std::move(b)) { ++live; }

FakeBuf* FakeBuf::withoutData() {
    auto* b = new FakeBuf({});
    b->hasData = false;
    return b;
}

FakeBuf::~FakeBuf() { --live; }

int FakeBuf::acquire() {
    if (acquiresLeft <= 0) return -1;
    --acquiresLeft;
    return ++holds;
}

int FakeBuf::release() {
    if (holds <= 0) {
        ADD_FAILURE() << "release() without a hold";
        return -1;
    }
    if (--holds == 0 && references() == 0) delete this;
    return 0;
}

unsigned char* FakeBuf::datap() {
    if (!hasData) return nullptr;
    // A buffer of length 0 still has a data pointer.
    static unsigned char none = 0;
    return bytes.empty() ? &none : bytes.data();
}

TBuf* FakeFactory::createTBuf() { return refuse ? nullptr : new FakeBuf({}); }

TBuf* FakeFactory::createTBuf(char const* s) {
    if (refuse || s == nullptr) return nullptr;
    return new FakeBuf(std::vector<unsigned char>(s, s + std::strlen(s)));
}

TBuf* FakeFactory::createTBuf(unsigned char const* data, unsigned int len) {
    ++madeFromBytes;
    lastLen = len;
    if (refuse) return nullptr;
    return new FakeBuf(std::vector<unsigned char>(data, data + len));
}

TBuf* FakeFactory::createTBuf(TBuf* source) {
    ++madeFromBuf;
    if (refuse || source == nullptr) return nullptr;
    unsigned char const* d = source->datap();
    return new FakeBuf(d != nullptr ? std::vector<unsigned char>(d, d + source->len())
                                    : std::vector<unsigned char>());
}

VBuffer_Interface* FakeZLib::createVBuffer(unsigned char const* data, unsigned long len) {
    ++asked;
    lastData = data;
    lastLen = len;
    return refuse ? nullptr : new FakeVBuf(script);
}

CMN_GuardedRef* FakeModMgr::lookupService(TypifiedID const* service, TypifiedID const* asking) {
    lastAsking = asking;
    if (*service == CMN_ZLibID) return zlib;
    if (*service == X509CmnSrvID) return factory;
    if (*service == TZipID && zip != nullptr) return zip->getService(*service);
    return nullptr;
}

// ---- the configuration directory ----------------------------------------------

namespace {
std::string reportedDir;
bool queryFails = true;
}  // namespace

// The test binary's stand-in for the host's configuration library.
extern "C" int vela_get_config_dir(char const** dir) {
    if (dir == nullptr || queryFails) return 2;
    *dir = reportedDir.c_str();
    return 0;
}

void ConfigDir::report(char const* dir) {
    reportedDir = dir;
    queryFails = false;
}

void ConfigDir::fail() { queryFails = true; }

ConfigDir::ConfigDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zip_cfg.XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = tmpl;
    report(path_.c_str());
}

ConfigDir::~ConfigDir() {
    fail();
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void ConfigDir::write(std::string const& name, std::string const& content) const {
    std::ofstream(path_ + "/" + name, std::ios::binary | std::ios::trunc) << content;
}

void ConfigDir::remove(std::string const& name) const {
    std::error_code ec;
    std::filesystem::remove_all(path_ + "/" + name, ec);
}
