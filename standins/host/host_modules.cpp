#include "host_modules.h"

int registeredObjects(CMN_ObjectManager* objects) {
    if (objects == nullptr) return 0;
    int n = 0;
    CMN_VisitRegistry(
        *objects, [&](CMN_GuardedRef*) { ++n; }, [](CMN_GuardedRef*, CMN_GRPHolder*) {});
    return n;
}

HostModules::HostModules(int dlopenFlags) : flags_(dlopenFlags) { ModMgr = this; }

HostModules::~HostModules() {
    unloadAll();
    if (ModMgr == this) ModMgr = nullptr;
}

bool HostModules::load(std::string const& path, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    HostModule m;
    if (!openModule(path, flags_, &m, error)) return false;
    m.service = m.entry(this, 0);
    if (m.service == nullptr) {
        // The module may have built objects before it gave up; let it finish
        // them before it goes.
        m.entry(nullptr, 0);
        if (m.objects->moduleIsUsed()) m.objects->fini();
        closeModule(m);
        *error = path + ": the load call gave no service object";
        return false;
    }
    std::lock_guard<std::mutex> g(lock_);
    modules_.push_back(m);
    return true;
}

bool HostModules::loadStandardSet(std::string const& dir, std::string* error) {
    // Each file must offer the service its name promises: another module
    // under that name would load and leave the service unreachable.
    Tuint32ID const tbuf(111), zlib(64);
    TstringID const zip("ZIP");
    TypifiedID const* const services[] = {&tbuf, &zlib, &zip};
    char const* const names[] = {"byte-buffer", "zlib", "ZIP"};
    std::vector<std::string> const files = standardModuleFiles();
    for (size_t i = 0; i < files.size(); ++i) {
        std::string const path = std::string(dir).append("/").append(files[i]);
        if (!load(path, error)) return false;
        if (modules_.back().service->getService(*services[i]) == nullptr) {
            *error = "cannot load " + path + ": not the " + names[i] + " module (module " + modules_.back().name +
                     " offers no " + names[i] + " service)";
            return false;
        }
    }
    return true;
}

UnloadStep HostModules::unloadOne(HostModule const& m) {
    UnloadStep s;
    s.name = m.name;
    s.path = m.path;
    m.entry(nullptr, 0);
    s.objectsAfterUnloadCall = registeredObjects(m.objects);
    s.usedByOthers = m.objects->moduleIsUsed() != 0;
    if (s.usedByOthers) m.objects->fini();
    s.objectsAfterFini = registeredObjects(m.objects);
    CloseResult closed = closeModule(m);
    s.dlcloseOk = closed.dlcloseOk;
    s.dlcloseError = closed.dlcloseError;
    s.stillMapped = closed.stillMapped;
    return s;
}

std::vector<UnloadStep> HostModules::unloadAll() {
    std::vector<UnloadStep> steps;
    for (;;) {
        HostModule m;
        {
            // The module leaves the list first: from its unload call on, no
            // lookup hands its service out any more.
            std::lock_guard<std::mutex> g(lock_);
            if (modules_.empty()) break;
            m = modules_.back();
            modules_.pop_back();
        }
        steps.push_back(unloadOne(m));
    }
    return steps;
}

int HostModules::moduleCount() {
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<int>(modules_.size());
}

BaseModuleInterface* HostModules::findModule(TypifiedID const* module) {
    if (module == nullptr) return nullptr;
    std::lock_guard<std::mutex> g(lock_);
    for (HostModule const& m : modules_) {
        if (m.id != nullptr && *m.id == *module) return m.service;
    }
    return nullptr;
}

CMN_GuardedRef* HostModules::lookupService(TypifiedID const* service, TypifiedID const* /*asking*/) {
    if (service == nullptr) return nullptr;
    std::lock_guard<std::mutex> g(lock_);
    for (HostModule const& m : modules_) {
        if (CMN_GuardedRef* found = m.service->getService(*service)) return found;
    }
    return nullptr;
}
