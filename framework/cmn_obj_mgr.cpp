#include "cmn_obj_mgr.h"

#include "cmn_init_order.h"

CMN_ObjectManager ObjectManager CMN_INIT_RANK(CMN_INIT_OBJECT_MANAGER);

CMN_ObjectManager* GetObjectManager() { return &ObjectManager; }
CMN_ObjectManager* InitObjectManager() { return &ObjectManager; }

namespace {

using RegistryLock = CMN_ScopedLock<CMN_RecursiveMutex>;

// Holds one object's holder-list lock for a scope.
class HolderListLock {
public:
    explicit HolderListLock(CMN_GuardedRef* o) : o_(o) { o_->lockHolderList(); }
    ~HolderListLock() { o_->unlockHolderList(); }
    HolderListLock(HolderListLock const&) = delete;
    HolderListLock& operator=(HolderListLock const&) = delete;

private:
    CMN_GuardedRef* o_;
};

// Registry lock held. Objects with count 0 are passed over (see the header).
bool claimed(CMN_GuardedRef* o) { return o->references() > 0; }

CMN_GuardedRef* firstClaimed(CMN_GuardedRef* o) {
    while (o != nullptr && !claimed(o)) o = o->next;
    return o;
}

// Moves `guard` onto `o` (or empties it): `o` is referenced by a temporary
// guard before the guard's previous object is let go, which may destroy it.
void moveGuard(DummyHolder& guard, CMN_GuardedRef* o) { guard.holder = DummyHolder(o).holder; }

// The guarded walk shared by finiAll, fini and unhookObjs. The current and
// the next object are both held while `work` runs, so neither can leave the
// registry then, and the successor link read after the work is valid. Objects
// registered during the walk go to the head and are not visited.
template <class Work>
void guardedWalk(CMN_ObjectManager& om, Work work) {
    DummyHolder current(nullptr);
    DummyHolder next(nullptr);
    {
        RegistryLock registry(*om.objLock);
        for (CMN_GuardedRef* o = firstClaimed(om.objects); o != nullptr; o = firstClaimed(o->next)) {
            moveGuard(current, o);
            CMN_GuardedRef* successor = o->next;
            moveGuard(next, successor != nullptr && claimed(successor) ? successor : nullptr);
            work(o, current);
        }
    }
    // `next` is destroyed before `current`; the last object visited may die
    // here, outside the registry lock.
}

// Tells the holders of `o` that `selects` picks to let go; returns how many
// removed themselves. A holder that does not is taken off the list by force;
// its reference stays counted. The walk's own guard is never touched.
template <class Select>
int cutHoldersLoose(CMN_GuardedRef* o, DummyHolder const& guard, Select selects) {
    int letGo = 0;
    HolderListLock listLock(o);
    slist<CMN_GRPHolder>* list = CMN_ListAsBuilt(o->_getHolders());
    for (sitem<CMN_GRPHolder>* it = list->head; it != nullptr;) {
        sitem<CMN_GRPHolder>* following = it->next;
        CMN_GRPHolder* h = it->item;
        if (h != &guard.holder && selects(h)) {
            unsigned int before = list->count;
            h->replacePointee(nullptr);
            if (list->count == before)
                list->eraseitem(it);
            else
                ++letGo;
        }
        it = following;
    }
    return letGo;
}

// Registry lock held: 1 when some holder of some registered object satisfies
// `decides`, else 0. No guards: nothing can leave the registry meanwhile.
template <class Decides>
int anyHolder(CMN_ObjectManager& om, Decides decides) {
    RegistryLock registry(*om.objLock);
    for (CMN_GuardedRef* o = om.objects; o != nullptr; o = o->next) {
        HolderListLock listLock(o);
        for (sitem<CMN_GRPHolder>* it = o->_getHolders()->head; it != nullptr; it = it->next)
            if (decides(*it->item->getModuleID())) return 1;
    }
    return 0;
}

}  // namespace

CMN_ObjectManager::CMN_ObjectManager() : objLock(&CMN_Reference::RefMutex), objects(nullptr) {}
CMN_ObjectManager::~CMN_ObjectManager() = default;

void CMN_ObjectManager::storeObj(CMN_GuardedRef* o) {
    RegistryLock registry(*objLock);
    o->prevLink = &objects;
    o->next = objects;
    if (objects != nullptr) objects->prevLink = &o->next;
    objects = o;
}

void CMN_ObjectManager::removeObj(CMN_GuardedRef* o) {
    RegistryLock registry(*objLock);
    if (o->next != nullptr) o->next->prevLink = o->prevLink;
    *o->prevLink = o->next;
    o->prevLink = nullptr;
    o->next = nullptr;
}

void CMN_ObjectManager::fini() {
    guardedWalk(*this, [](CMN_GuardedRef* o, DummyHolder const& guard) {
        cutHoldersLoose(o, guard, [](CMN_GRPHolder*) { return true; });
    });
}

int CMN_ObjectManager::unhookObjs(TypifiedID const& id) {
    int letGo = 0;
    guardedWalk(*this, [&](CMN_GuardedRef* o, DummyHolder const& guard) {
        letGo += cutHoldersLoose(o, guard, [&](CMN_GRPHolder* h) { return *h->getModuleID() == id; });
    });
    return letGo;
}

void CMN_ObjectManager::finiAll() {
    guardedWalk(*this, [](CMN_GuardedRef* o, DummyHolder const&) { o->fini(); });
}

int CMN_ObjectManager::moduleIsUsed() {
    TypifiedID const& self = *GetModuleID();
    return anyHolder(*this, [&](TypifiedID const& holderModule) { return !(holderModule == self); });
}

int CMN_ObjectManager::moduleIsUsedBy(TypifiedID const& id) {
    return anyHolder(*this, [&](TypifiedID const& holderModule) { return holderModule == id; });
}

DummyHolder* CMN_ObjectManager::getObj() {
    RegistryLock registry(*objLock);
    CMN_GuardedRef* o = firstClaimed(objects);
    return o != nullptr ? new DummyHolder(o) : nullptr;
}
