#pragma once
// Looking at framework objects as the host or another module sees them:
//
//   RegisteredObjects  the module's registry, newest first;
//   HoldersOf          the holders listed on a guarded object;
//   CallSlot           calls a raw slot of an object's table of virtual
//                      operations, as code compiled elsewhere does.

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "cmn_obj_mgr.h"

// The registered objects, newest first (a snapshot taken under the registry lock).
inline std::vector<CMN_GuardedRef*> RegisteredObjects() {
    std::vector<CMN_GuardedRef*> out;
    ObjectManager.objLock->enter();
    for (CMN_GuardedRef* o = ObjectManager.objects; o != nullptr; o = o->next) out.push_back(o);
    ObjectManager.objLock->exit();
    return out;
}

inline bool IsRegistered(CMN_GuardedRef const* g) {
    for (CMN_GuardedRef* o : RegisteredObjects())
        if (o == g) return true;
    return false;
}

// The holders listed on `g`, most recent first (a snapshot taken under its
// holder-list lock).
inline std::vector<CMN_GRPHolder*> HoldersOf(CMN_GuardedRef* g) {
    std::vector<CMN_GRPHolder*> out;
    g->lockHolderList();
    for (sitem<CMN_GRPHolder>* it = g->holders.head; it != nullptr; it = it->next) out.push_back(it->item);
    g->unlockHolderList();
    return out;
}

// Calls slot `slot` of the table of virtual operations of `obj` (the object
// or base subobject whose table pointer is at its address) the way the code
// of another module does, through a plain function pointer R (*)(Obj*, A...).
// `Sig` is the operation's signature as declared, e.g. int(TypifiedID const&).
template <class Sig>
struct VirtualSlot;
template <class R, class... A>
struct VirtualSlot<R(A...)> {
    template <class Obj>
    static R call(Obj* obj, std::size_t slot, A... args) {
        void* const* table;
        std::memcpy(&table, static_cast<void const*>(obj), sizeof table);
        R (*fn)(Obj*, A...);
        static_assert(sizeof fn == sizeof table[slot], "code pointers are data-pointer sized");
        std::memcpy(&fn, &table[slot], sizeof fn);
        return fn(obj, static_cast<A>(args)...);
    }
};
template <class Sig, class Obj, class... Args>
decltype(auto) CallSlot(Obj* obj, std::size_t slot, Args&&... args) {
    return VirtualSlot<Sig>::call(obj, slot, std::forward<Args>(args)...);
}
