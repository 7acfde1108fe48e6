#include "peer_host.h"

#include <dlfcn.h>

#include "cmn_gref.h"

namespace {
TstringID ModuleID("PEERS");
}  // namespace

TypifiedID* pModuleID = &ModuleID;
ModMgr_Interface* ModMgr = nullptr;

TypifiedID const& TestModuleID() { return ModuleID; }

LoadedModule::LoadedModule(std::string p, int scope) : path(std::move(p)) {
    handle = dlopen(path.c_str(), RTLD_NOW | scope);
    if (handle == nullptr) return;
    entry = reinterpret_cast<Entry>(dlsym(handle, "GetInterfaceClass"));
    auto get = reinterpret_cast<ManagerFn>(dlsym(handle, "GetObjectManager"));
    if (get != nullptr) objectManager = get();
}

LoadedModule::~LoadedModule() {
    if (handle != nullptr) unload();
}

void* LoadedModule::symbol(char const* name) const { return handle != nullptr ? dlsym(handle, name) : nullptr; }

int LoadedModule::registered() const {
    if (objectManager == nullptr) return -1;
    objectManager->objLock->enter();
    int n = 0;
    for (CMN_GuardedRef* o = objectManager->objects; o != nullptr; o = o->next) ++n;
    objectManager->objLock->exit();
    return n;
}

bool LoadedModule::unload() {
    if (handle == nullptr) return false;
    bool good = true;
    if (entry != nullptr) entry(nullptr, 0);
    if (objectManager != nullptr) {
        objectManager->fini();
        good = registered() == 0;
    }
    good = dlclose(handle) == 0 && good;
    handle = nullptr;
    entry = nullptr;
    objectManager = nullptr;
    service = nullptr;
    void* still = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (still != nullptr) {
        dlclose(still);
        good = false;
    }
    return good;
}

int TestModuleManager::moduleCount() { return static_cast<int>(modules.size()); }

BaseModuleInterface* TestModuleManager::findModule(TypifiedID const*) { return nullptr; }

CMN_GuardedRef* TestModuleManager::lookupService(TypifiedID const* service, TypifiedID const*) {
    ++lookups;
    for (LoadedModule* m : modules)
        if (m->service != nullptr)
            if (CMN_GuardedRef* g = m->service->getService(*service)) return g;
    return nullptr;
}

LoadedModule* TestModuleManager::load(std::string const& path, int scope) {
    auto* m = new LoadedModule(path, scope);
    if (!m->ok()) {
        delete m;
        return nullptr;
    }
    m->service = m->entry(this, 0);
    modules.push_back(m);
    return m;
}

bool TestModuleManager::unloadAll() {
    bool good = true;
    while (!modules.empty()) {
        LoadedModule* m = modules.back();
        modules.pop_back();
        good = m->unload() && good;
        delete m;
    }
    return good;
}

TestModuleManager::~TestModuleManager() { unloadAll(); }
