#pragma once
// Framework objects as the host or another module sees them: the module's
// registry, read through the framework's read-only visitor, and the raw slots
// of an object's table of virtual operations.

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "cmn_obj_mgr.h"

// The registered objects, newest first.
inline std::vector<CMN_GuardedRef*> RegisteredObjects() {
    std::vector<CMN_GuardedRef*> out;
    CMN_VisitRegistry(ObjectManager, [&](CMN_GuardedRef* o) { out.push_back(o); }, [](auto, auto) {});
    return out;
}

// Calls slot `slot` of the table of `obj` (the object or base subobject whose
// table pointer is at its address) through a plain function pointer
// R (*)(Obj*, A...), as code compiled elsewhere does. `Sig` is the operation's
// signature as declared, e.g. int(TypifiedID const&).
template <class Sig> struct VirtualSlot;
template <class R, class... A> struct VirtualSlot<R(A...)> {
    template <class Obj> static R call(Obj* obj, std::size_t slot, A... args) {
        void* const* table;
        std::memcpy(&table, static_cast<void const*>(obj), sizeof table);
        R (*fn)(Obj*, A...);
        std::memcpy(&fn, &table[slot], sizeof fn);
        return fn(obj, args...);
    }
};
template <class Sig, class Obj, class... Args>
decltype(auto) CallSlot(Obj* obj, std::size_t slot, Args&&... args) {
    return VirtualSlot<Sig>::call(obj, slot, std::forward<Args>(args)...);
}
