// zip-example-host: the smallest host that runs the example client module.
//
//   zip-example-host MODULE_DIR CLIENT_MODULE [CONFIG_DIR]
//
// It loads libs_tbuf.so, libs_zlib.so and libs_zip.so from MODULE_DIR, then
// CLIENT_MODULE, answers the modules' service lookups, has the client
// compress and restore a buffer, and unloads every module with the unload
// protocol (docs/host-guide.md). CONFIG_DIR, when given, is the folder whose
// s_zip.ini switches compression on (and the output must then be smaller).
// Exit status 0 when the restored bytes equal the input and every module
// unloaded; 1 otherwise.
//
// A host needs the interface headers only: every call into a module goes
// through its entry points and virtual tables.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <s_zip/cmn_obj_mgr.h>
#include <s_zip/modmgr.h>

namespace {

using Entry = BaseModuleInterface* (*)(ModMgr_Interface*, int);
using ObjectsOf = CMN_ObjectManager* (*)();
using Roundtrip = unsigned int (*)(unsigned char const*, unsigned int, unsigned int*);

struct Module {
    std::string path;
    void* handle = nullptr;
    Entry entry = nullptr;
    CMN_ObjectManager* objects = nullptr;
    BaseModuleInterface* service = nullptr;  // no hold comes with it
};

// The module manager. One thread loads, runs and unloads here, so the list
// needs no lock; a host whose modules look services up from other threads
// guards it (lookups may come at any time while a module is loaded).
class Host final : public ModMgr_Interface {
public:
    bool load(std::string const& path) {
        Module m;
        m.path = path;
        m.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (m.handle == nullptr) return fail(dlerror());
        m.entry = reinterpret_cast<Entry>(dlsym(m.handle, "GetInterfaceClass"));
        auto objectsOf = reinterpret_cast<ObjectsOf>(dlsym(m.handle, "GetObjectManager"));
        if (m.entry == nullptr || objectsOf == nullptr || (m.objects = objectsOf()) == nullptr) {
            dlclose(m.handle);
            return fail(path + ": not a module (no GetInterfaceClass or GetObjectManager)");
        }
        m.service = m.entry(this, 0);  // the load call
        if (m.service == nullptr) {
            unload(m);
            return fail(path + ": the load call gave no service object");
        }
        modules_.push_back(m);
        return true;
    }

    // The unload protocol, newest module first. True when every module left
    // the process.
    bool unloadAll() {
        bool clean = true;
        while (!modules_.empty()) {
            Module m = modules_.back();
            modules_.pop_back();  // from now on, lookups no longer find it
            clean = unload(m) && clean;
        }
        return clean;
    }

    void* symbol(char const* name) const { return modules_.empty() ? nullptr : dlsym(modules_.back().handle, name); }

    int moduleCount() override { return static_cast<int>(modules_.size()); }
    BaseModuleInterface* findModule(TypifiedID const*) override { return nullptr; }  // modules never ask
    CMN_GuardedRef* lookupService(TypifiedID const* service, TypifiedID const*) override {
        if (service == nullptr) return nullptr;
        for (Module const& m : modules_) {
            if (CMN_GuardedRef* found = m.service->getService(*service)) return found;
        }
        return nullptr;
    }

private:
    static bool fail(std::string const& message) {
        std::fprintf(stderr, "zip-example-host: %s\n", message.c_str());
        return false;
    }

    // The unload call finishes the module's own objects; moduleIsUsed() tells
    // whether other modules still hold some of them, and fini() cuts those
    // holders loose, so nothing points into the library once it is unmapped.
    static bool unload(Module const& m) {
        m.entry(nullptr, 0);
        if (m.objects->moduleIsUsed()) m.objects->fini();
        if (dlclose(m.handle) != 0) return fail(m.path + ": " + dlerror());
        void* probe = dlopen(m.path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (probe == nullptr) return true;
        dlclose(probe);
        return fail(m.path + ": still mapped after dlclose");
    }

    std::vector<Module> modules_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: zip-example-host MODULE_DIR CLIENT_MODULE [CONFIG_DIR]\n");
        return 2;
    }
    // libs_ini.so, beside the modules, reads the configuration folder from here.
    if (argc == 4) setenv("S_INI_CONFIG_DIR", argv[3], 1);
    std::string const dir = argv[1];
    Host host;
    bool ok = host.load(dir + "/libs_tbuf.so") && host.load(dir + "/libs_zlib.so") && host.load(dir + "/libs_zip.so") &&
              host.load(argv[2]);
    if (ok) {
        auto roundtrip = reinterpret_cast<Roundtrip>(host.symbol("zip_example_roundtrip"));
        std::string text;
        for (int i = 0; i < 2000; ++i) text += "record " + std::to_string(i % 97) + ": the same words again\n";
        unsigned int packed = 0;
        unsigned int code = roundtrip == nullptr ? 1u
                                                 : roundtrip(reinterpret_cast<unsigned char const*>(text.data()),
                                                             static_cast<unsigned int>(text.size()), &packed);
        std::printf("compressed %zu bytes to %u, restored: %s (%u)\n", text.size(), packed,
                    code == 0 ? "identical" : "FAILED", code);
        // With a configuration folder, compression is on: the output must be smaller.
        ok = code == 0 && (argc < 4 || packed < text.size());
    }
    ok = host.unloadAll() && ok;
    return ok ? 0 : 1;
}
