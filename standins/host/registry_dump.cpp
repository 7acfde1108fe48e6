#include "registry_dump.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

struct HolderView {
    void const* address;
    std::string module;
};

struct ObjectView {
    void const* address;
    std::string type;
    int refs;
    std::vector<HolderView> holders;
};

std::string demangled(char const* mangled) {
    int status = 0;
    char* d = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string s = (status == 0 && d != nullptr) ? d : mangled;
    std::free(d);
    return s;
}

// The object's dynamic type, read through its type information when the
// module that built it has any: in the shared vtable layout the slot before
// the first virtual operation points at it, and holds null in a module
// compiled without it, which must not crash the dump.
std::string typeName(CMN_GuardedRef const* o) {
    void const* const* vtable = *reinterpret_cast<void const* const* const*>(o);
    if (vtable[-1] == nullptr) return "(no type information)";
    return demangled(typeid(*o).name());
}

std::string addr(void const* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

std::vector<ObjectView> snapshot(CMN_ObjectManager* om) {
    std::vector<ObjectView> objects;
    if (om == nullptr) return objects;
    CMN_VisitRegistry(
        *om,
        [&](CMN_GuardedRef* o) {
            objects.push_back({o, typeName(o), o->references(), {}});
        },
        [&](CMN_GuardedRef*, CMN_GRPHolder* h) {
            objects.back().holders.push_back({h, idText(h->getModuleID())});
        });
    return objects;
}

std::string dotId(char const* prefix, void const* p) { return std::string(prefix) + addr(p); }

}  // namespace

void dumpRegistries(HostModules const& modules, std::ostream& out) {
    for (HostModule const& m : modules.modules()) {
        std::vector<ObjectView> objects = snapshot(m.objects);
        out << "module " << m.name << " (" << m.path << "): " << objects.size() << " object"
            << (objects.size() == 1 ? "" : "s") << "\n";
        for (ObjectView const& o : objects) {
            out << "  object " << addr(o.address) << " " << o.type << ", " << o.refs << " reference"
                << (o.refs == 1 ? "" : "s") << "\n";
            for (HolderView const& h : o.holders) {
                out << "    held by " << addr(h.address) << " of module " << h.module << "\n";
            }
        }
    }
}

void dumpRegistriesDot(HostModules const& modules, std::ostream& out) {
    out << "digraph registries {\n  rankdir=LR;\n  node [fontname=\"monospace\"];\n";
    int cluster = 0;
    for (HostModule const& m : modules.modules()) {
        std::vector<ObjectView> objects = snapshot(m.objects);
        out << "  subgraph cluster_" << cluster++ << " {\n    label=\"" << m.name << "\";\n";
        for (ObjectView const& o : objects) {
            out << "    \"" << dotId("o", o.address) << "\" [shape=ellipse, label=\"" << o.type << "\\n"
                << o.refs << " reference" << (o.refs == 1 ? "" : "s") << "\"];\n";
        }
        out << "  }\n";
        for (ObjectView const& o : objects) {
            for (HolderView const& h : o.holders) {
                out << "  \"" << dotId("h", h.address) << "\" [shape=box, label=\"holder\\n" << h.module << "\"];\n";
                out << "  \"" << dotId("h", h.address) << "\" -> \"" << dotId("o", o.address) << "\";\n";
            }
        }
    }
    out << "}\n";
}
