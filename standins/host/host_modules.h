#pragma once
// The reference host's module manager and loader.
//
// HostModules opens modules built on the framework (host_loader.h), runs each
// module's load call GetInterfaceClass(manager, 0), and answers the modules'
// service lookups. Its unload protocol runs in reverse order of loading:
//
//   1. the unload call GetInterfaceClass(nullptr, 0);
//   2. moduleIsUsed() on the object manager from GetObjectManager();
//   3. fini() on that object manager when the module is still used, which
//      cuts every holder of its objects loose;
//   4. dlclose(), whose result is checked;
//   5. a dlopen(RTLD_NOLOAD) probe that the library is really gone.
//
// The caller must drop its own stubs on module objects (and call
// x509cmn_fini() on the host's byte-buffer stub) before unloadAll(); step 3
// cuts loose whatever it forgot, so nothing points into an unmapped library.
//
// The process has one module manager at a time: the constructor installs the
// object as the host's `ModMgr`, through which the host's own stubs look
// services up; the destructor unloads what is still loaded and uninstalls it.
//
// Threads: load() and unloadAll() are called by one thread, and not while
// other threads use the modules. lookupService(), findModule() and
// moduleCount() may be called from any thread at any time; they read the
// module list under the manager's lock, which is held only while the list is
// read or changed (never across a module's load or unload call).

#include <mutex>
#include <string>
#include <vector>

#include "cmn_obj_mgr.h"
#include "host_loader.h"
#include "modmgr.h"

// One loaded module: the opened file and the service object its load call
// gave (no hold comes with it). Owned by HostModules; valid until unloadAll().
struct HostModule : OpenedModule {
    BaseModuleInterface* service = nullptr;
};

// What the unload protocol found for one module.
struct UnloadStep {
    std::string name;
    std::string path;
    int objectsAfterUnloadCall = 0;  // registered objects after step 1
    bool usedByOthers = false;       // step 2
    int objectsAfterFini = 0;        // registered objects before dlclose
    bool dlcloseOk = false;          // step 4
    std::string dlcloseError;
    bool stillMapped = false;  // step 5
    bool ok() const { return dlcloseOk && !stillMapped; }
};

class HostModules final : public ModMgr_Interface {
public:
    // `dlopenFlags` is added to RTLD_NOW (RTLD_LOCAL by default, or RTLD_GLOBAL).
    explicit HostModules(int dlopenFlags = 0);
    HostModules(HostModules const&) = delete;
    HostModules& operator=(HostModules const&) = delete;
    ~HostModules();

    // Loads one module file. On failure returns false with a message in
    // `error`, and leaves nothing loaded from that file.
    bool load(std::string const& path, std::string* error);
    // Loads libs_tbuf, libs_zlib and libs_zip from `dir`, in that order;
    // stops at the first failure.
    bool loadStandardSet(std::string const& dir, std::string* error);

    // Runs the unload protocol on every module, newest first.
    std::vector<UnloadStep> unloadAll();

    std::vector<HostModule> const& modules() const { return modules_; }

    int moduleCount() override;
    BaseModuleInterface* findModule(TypifiedID const* module) override;
    CMN_GuardedRef* lookupService(TypifiedID const* service, TypifiedID const* asking) override;

private:
    UnloadStep unloadOne(HostModule const& m);

    int flags_;
    std::mutex lock_;  // guards modules_
    std::vector<HostModule> modules_;
};

// Number of objects in a module's registry, counted under its registry lock.
int registeredObjects(CMN_ObjectManager* objects);
