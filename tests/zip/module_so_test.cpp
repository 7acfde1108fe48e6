// libs_zip.so as the host loads it, beside a second module built on the same
// framework: both RTLD_NOW | RTLD_GLOBAL in one process, the other module
// first, so that any symbol of the module not bound inside itself would bind
// to the other's. Each must keep its own registry, lock and identity.
//
// This test is a host: it links no framework code and reaches the modules
// only through exported symbols, virtual calls and the shared layouts.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "cmn_obj_mgr.h"
#include "modmgr.h"
#include "zipC.h"
#include "zip.h"

namespace {

class NoServices : public ModMgr_Interface {
public:
    int moduleCount() override { return 0; }
    BaseModuleInterface* findModule(TypifiedID const*) override { return nullptr; }
    CMN_GuardedRef* lookupService(TypifiedID const*, TypifiedID const*) override { return nullptr; }
};

class Module {
public:
    explicit Module(char const* path) : handle(dlopen(path, RTLD_NOW | RTLD_GLOBAL)), path(path) {}
    ~Module() {
        if (handle != nullptr) dlclose(handle);
    }
    template <class T>
    T sym(char const* name) const {
        return reinterpret_cast<T>(dlsym(handle, name));
    }
    CMN_ObjectManager* registry() const { return sym<CMN_ObjectManager* (*)()>("GetObjectManager")(); }
    CMN_RecursiveMutex* refMutex() const { return sym<CMN_RecursiveMutex*>("_ZN13CMN_Reference8RefMutexE"); }
    TypifiedID const* identity() const { return *sym<TypifiedID**>("pModuleID"); }
    // Unloads now; true when the library is gone from the process.
    bool unload() {
        bool const closed = dlclose(handle) == 0;
        handle = nullptr;
        void* again = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
        if (again != nullptr) dlclose(again);
        return closed && again == nullptr;
    }

    void* handle;
    char const* path;
};

std::string nameOf(TypifiedID const* id) {
    if (id == nullptr || id->type != IDT_STRING) return "?";
    return static_cast<TstringID const*>(id)->value;
}

TEST(ZipSharedObject, TwoModulesKeepTheirOwnRegistryLockAndIdentity) {
    Module fixture(FIXTURE_MODULE_PATH);
    ASSERT_NE(fixture.handle, nullptr) << dlerror();
    Module zip(ZIP_MODULE_PATH);
    ASSERT_NE(zip.handle, nullptr) << dlerror();

    CMN_ObjectManager* zipRegistry = zip.registry();
    CMN_ObjectManager* fixRegistry = fixture.registry();
    ASSERT_NE(zipRegistry, nullptr);
    ASSERT_NE(fixRegistry, nullptr);
    EXPECT_NE(zipRegistry, fixRegistry);
    EXPECT_EQ(zip.sym<CMN_ObjectManager* (*)()>("InitObjectManager")(), zipRegistry);
    EXPECT_EQ(zip.sym<CMN_ObjectManager*>("ObjectManager"), zipRegistry);
    EXPECT_NE(zip.refMutex(), fixture.refMutex());
    EXPECT_EQ(zipRegistry->objLock, zip.refMutex());
    EXPECT_EQ(fixRegistry->objLock, fixture.refMutex());
    EXPECT_EQ(nameOf(zip.identity()), "ZIP");
    EXPECT_EQ(nameOf(fixture.identity()), "FIX");
    EXPECT_EQ(zip.sym<TypifiedID const* (*)()>("_Z11GetModuleIDv")(), zip.identity());

    // The load call: the service object lands in the module's own registry,
    // held by TZipS, stamped with the module's own identity.
    NoServices host;
    auto load = zip.sym<BaseModuleInterface* (*)(ModMgr_Interface*, int)>("GetInterfaceClass");
    BaseModuleInterface* service = load(&host, 0);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->getModuleID(), ZIP_MODULE_NUMBER);
    CMN_GuardedRef* guarded = static_cast<TZip_Interface*>(service);
    EXPECT_EQ(zipRegistry->objects, guarded);
    EXPECT_EQ(guarded->next, nullptr);
    EXPECT_EQ(guarded->refLock, zip.refMutex());
    EXPECT_EQ(fixRegistry->objects, nullptr);
    TZip const* stub = zip.sym<TZip const*>("TZipS");
    EXPECT_EQ(stub->holder.moduleID, zip.identity());
    EXPECT_EQ(*zip.sym<ModMgr_Interface**>("ModMgr"), &host);
    EXPECT_EQ(*fixture.sym<ModMgr_Interface**>("ModMgr"), nullptr);

    // An object of the other module stays in the other registry.
    fixture.sym<void (*)()>("fixture_hold_own")();
    CMN_GuardedRef* own = fixRegistry->objects;
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->refLock, fixture.refMutex());
    EXPECT_EQ(own->holders.head->item->getModuleID(), fixture.identity());
    EXPECT_EQ(zipRegistry->objects, guarded);
    EXPECT_EQ(zipRegistry->moduleIsUsed(), 0);
    EXPECT_EQ(fixRegistry->moduleIsUsed(), 0);

    // The other module holding the service is use of the ZIP module.
    fixture.sym<void (*)(CMN_GuardedRef*)>("fixture_hold_foreign")(guarded);
    EXPECT_EQ(guarded->refCount, 2);
    EXPECT_EQ(zipRegistry->moduleIsUsed(), 1);

    // Unload: the service outlives TZipS while the other module holds it,
    // and goes with that module's last hold.
    EXPECT_EQ(load(nullptr, 0), nullptr);
    EXPECT_EQ(zipRegistry->objects, guarded);
    fixture.sym<void (*)()>("fixture_drop")();
    EXPECT_EQ(zipRegistry->objects, nullptr);
    EXPECT_EQ(fixRegistry->objects, nullptr);
    EXPECT_EQ(zipRegistry->moduleIsUsed(), 0);

    EXPECT_TRUE(zip.unload());
    EXPECT_TRUE(fixture.unload());
}

// A host that unloads the library without the unload call: static
// destruction lets TZipS go of the service object while the registry and its
// lock still exist, and the library leaves the process.
TEST(ZipSharedObject, UnloadWithoutTheUnloadCall) {
    Module zip(ZIP_MODULE_PATH);
    ASSERT_NE(zip.handle, nullptr) << dlerror();
    NoServices host;
    auto load = zip.sym<BaseModuleInterface* (*)(ModMgr_Interface*, int)>("GetInterfaceClass");
    ASSERT_NE(load(&host, 0), nullptr);
    EXPECT_TRUE(zip.unload());
}

// The module finds its configuration library beside itself and defines none
// of its own.
TEST(ZipSharedObject, ConfigurationComesFromLibsIni) {
    Module zip(ZIP_MODULE_PATH);
    ASSERT_NE(zip.handle, nullptr) << dlerror();
    void* ini = dlopen("libs_ini.so", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(ini, nullptr) << "libs_ini.so was not loaded with the module";
    Dl_info info{};
    ASSERT_NE(dladdr(zip.sym<void*>("vela_get_config_dir"), &info), 0);
    EXPECT_NE(std::strstr(info.dli_fname, "libs_ini.so"), nullptr) << info.dli_fname;
    dlclose(ini);
}

}  // namespace
