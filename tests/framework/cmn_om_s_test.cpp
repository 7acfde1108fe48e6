#include "cmn_om_s.h"

#include "cmn_init_order.h"
#include "framework_fixtures.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Whether a polymorphic global has been constructed: before its constructor
// runs, static storage holds zeros, table pointer included.
bool Built(void const* polymorphic) {
    void* table;
    std::memcpy(&table, polymorphic, sizeof table);
    return table != nullptr;
}

struct InitOrderProbe {
    InitOrderProbe() : refMutexBuilt(Built(&CMN_Reference::RefMutex)), managerBuilt(Built(&ObjectManager)) {}
    bool refMutexBuilt;
    bool managerBuilt;
};

// Built with the ranks of the module's peer clients and of its service
// identifier: before, and after, the framework's own globals.
InitOrderProbe const atClientRank CMN_INIT_RANK(CMN_INIT_ZLIB_CLIENT);
InitOrderProbe const atServiceIDRank CMN_INIT_RANK(CMN_INIT_SERVICE_ID);

static_assert(CMN_INIT_ZLIB_CLIENT < CMN_INIT_BUFFER_CLIENT && CMN_INIT_BUFFER_CLIENT < CMN_INIT_REF_MUTEX &&
                  CMN_INIT_REF_MUTEX < CMN_INIT_OBJECT_MANAGER && CMN_INIT_OBJECT_MANAGER < CMN_INIT_SERVICE_ID &&
                  CMN_INIT_SERVICE_ID < CMN_INIT_MODULE_ENTRY,
              "globals are built in the module's fixed order");

}  // namespace

TEST(ModuleIdentity, IdentifierAndManagerComeFromTheModuleGlobals) {
    TypifiedID const* id = GetModuleID();
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(id, pModuleID);
    EXPECT_EQ(GetModuleID(), id);
    EXPECT_TRUE(*id == TstringID("TEST"));

    EXPECT_EQ(GetModMgr(), nullptr) << "no manager before the first load call";
    FakeModMgr first, second;
    {
        ScopedModMgr link(&first);
        EXPECT_EQ(GetModMgr(), &first);
        ModMgr = &second;  // every load call overwrites it
        EXPECT_EQ(GetModMgr(), &second);
    }
    EXPECT_EQ(GetModMgr(), nullptr);
}

TEST(ModuleIdentity, FrameworkGlobalsAreBuiltInRankOrder) {
    EXPECT_FALSE(atClientRank.refMutexBuilt);
    EXPECT_FALSE(atClientRank.managerBuilt);
    EXPECT_TRUE(atServiceIDRank.refMutexBuilt);
    EXPECT_TRUE(atServiceIDRank.managerBuilt);
    EXPECT_EQ(ObjectManager.objLock, &CMN_Reference::RefMutex);
}
