#pragma once
// The common frame of the client tests: a fresh host module manager for every
// test, theX509Cmn unbound at the start and the end, and a check that a test
// leaves no fake alive and nothing in the module's object registry.

#include <gtest/gtest.h>

#include "framework/cmn_obj_mgr.h"
#include "stubs/cmn_abuf.h"
#include "tests/stubs/fakes.h"

class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        x509cmn_fini();
        ModMgr = &mgr;
        fakes::Buf::trace.clear();
    }

    void TearDown() override {
        x509cmn_fini();
        ModMgr = nullptr;
        for (auto& unload : peers) unload();
        EXPECT_EQ(fakes::liveFakes(), 0) << "a test left fakes alive";
        EXPECT_EQ(ObjectManager.objects, nullptr) << "a test left objects in the registry";
    }

    // Registers a peer service under `id`; it is unloaded after the test.
    template <class T>
    fakes::PeerService<T>& install(TypifiedID const& id) {
        auto* peer = new fakes::PeerService<T>(mgr, id);
        peers.push_back([peer] {
            peer->unload();
            delete peer;
        });
        return *peer;
    }

    fakes::ModMgr mgr;
    std::vector<std::function<void()>> peers;
};
