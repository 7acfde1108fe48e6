#pragma once
// A test process as the reference host (module "HOST"): modules are loaded
// and unloaded with the host's own loader and unload protocol.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "host_modules.h"

// What unloading found, one "NAME after-call used|unused before-dlclose
// closed|NOT-CLOSED gone|MAPPED;" per module, newest first.
inline std::string report(std::vector<UnloadStep> const& steps) {
    std::string r;
    for (UnloadStep const& s : steps)
        r += s.name + " " + std::to_string(s.objectsAfterUnloadCall) + (s.usedByOthers ? " used " : " unused ") +
             std::to_string(s.objectsAfterFini) + (s.dlcloseOk ? " closed " : " NOT-CLOSED ") +
             (s.stillMapped ? "MAPPED;" : "gone;");
    return r;
}

// One real module loaded alone, its service looked up through the host.
// Whatever a test leaves loaded must unload cleanly afterwards.
template <class Service>
class OneModule : public ::testing::Test {
protected:
    void load(char const* file, TypifiedID const& id) {
        std::string error;
        ASSERT_TRUE(host.load(std::string(ZIP_MODULE_DIR "/") + file, &error)) << error;
        m = host.modules()[0];
        service = static_cast<Service*>(host.lookupService(&id, GetModuleID()));
        ASSERT_NE(service, nullptr);
    }
    void TearDown() override {
        for (UnloadStep const& s : host.unloadAll()) EXPECT_TRUE(s.ok() && s.objectsAfterFini == 0) << report({s});
    }
    int registered() { return registeredObjects(m.objects); }
    // Module number, version 1, build 1; a load call with flags records the
    // manager, returns null and makes nothing.
    void expectContract(int number) {
        EXPECT_EQ(std::make_tuple(m.service->getModuleID(), m.service->getVersion(), m.service->getBuild()),
                  std::make_tuple(number, 1, 1));
        int const before = registered();
        EXPECT_EQ(m.entry(reinterpret_cast<ModMgr_Interface*>(&m), 3), nullptr);  // recorded, never called
        EXPECT_EQ(*static_cast<void**>(dlsym(m.handle, "ModMgr")), &m);
        EXPECT_EQ(registered(), before);
        m.entry(&host, 3);
    }
    HostModules host;
    HostModule m;
    Service* service = nullptr;
};
