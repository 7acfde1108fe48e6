#pragma once
// The common frame of the client tests: a fresh host module manager for every
// test, theX509Cmn unbound at the start and the end, and a check that a test
// leaves no fake alive and nothing in the module's object registry.

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "cmn_obj_mgr.h"
#include "cmn_abuf.h"
#include "tests/stubs/zip_fakes.h"
#include "tests/support/doubles.h"
#include "tests/support/introspection.h"

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        x509cmn_fini();
        FakeBuf::clearTrace();
    }

    void TearDown() override {
        x509cmn_fini();
        for (auto& unload : peers) unload();
        EXPECT_EQ(LiveDoubles() + FakeZipBuffer::live + FakeZipService::live, 0) << "a test left fakes alive";
        EXPECT_EQ(ObjectManager.objects, nullptr) << "a test left objects in the registry";
    }

    // Registers a peer service under `id`; it is unloaded after the test.
    template <class T>
    PeerService<T>& install(TypifiedID const& id) {
        auto* peer = new PeerService<T>(mgr, id);
        peers.push_back([peer] { delete peer; });
        return *peer;
    }

    FakeModMgr mgr;
    ScopedModMgr link{&mgr};
    std::vector<std::function<void()>> peers;
};
