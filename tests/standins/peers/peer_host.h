#pragma once
// A miniature host for the peer-module tests: loads real module files with
// dlopen, answers service lookups by asking each loaded module's getService,
// and runs the unload protocol (unload call, cut holders loose, dlclose).
//
// The test executable is itself a module named "PEERS" (its holders are
// stamped with that identifier).

#include <dlfcn.h>

#include <string>
#include <vector>

#include "cmn_obj_mgr.h"
#include "cmn_om_s.h"
#include "modmgr.h"

// The identifier the test executable stamps its holders with.
TypifiedID const& TestModuleID();

// One module file, loaded.
class LoadedModule {
public:
    using Entry = BaseModuleInterface* (*)(ModMgr_Interface*, int);
    using ManagerFn = CMN_ObjectManager* (*)();

    // dlopen (RTLD_NOW | `scope`: RTLD_LOCAL or RTLD_GLOBAL) and resolve the
    // entry points; the module's load call is not made yet. `ok()` tells
    // whether it worked.
    LoadedModule(std::string path, int scope);
    // Runs unload() if it has not run.
    ~LoadedModule();
    LoadedModule(LoadedModule const&) = delete;
    LoadedModule& operator=(LoadedModule const&) = delete;

    bool ok() const { return entry != nullptr && objectManager != nullptr; }
    // A symbol of the module, or null.
    void* symbol(char const* name) const;

    // Number of objects in the module's registry (under its registry lock).
    int registered() const;

    // The unload protocol: the unload call, the object manager's fini(), and
    // dlclose. Returns true when every step did what it should: the registry
    // is empty afterwards and the file is no longer mapped.
    bool unload();

    std::string path;
    void* handle = nullptr;
    Entry entry = nullptr;
    CMN_ObjectManager* objectManager = nullptr;
    BaseModuleInterface* service = nullptr;
};

// The host's module manager: loads modules, makes their load calls, and
// answers lookups by asking each one's service object.
class TestModuleManager final : public ModMgr_Interface {
public:
    int moduleCount() override;
    BaseModuleInterface* findModule(TypifiedID const* module) override;
    CMN_GuardedRef* lookupService(TypifiedID const* service, TypifiedID const* asking) override;

    // Loads and makes the load call (manager, 0); null on failure.
    LoadedModule* load(std::string const& path, int scope = RTLD_LOCAL);
    // Unload protocol for every module, newest first; true when all went well.
    bool unloadAll();
    ~TestModuleManager();

    std::vector<LoadedModule*> modules;
    int lookups = 0;
};
