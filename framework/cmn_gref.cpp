#include "cmn_gref.h"

#include "cmn_obj_mgr.h"

CMN_GuardedRef::CMN_GuardedRef(unsigned int) : CMN_Reference(), holderLock(""), prevLink(nullptr), next(nullptr) {
    ObjectManager.storeObj(this);
}

CMN_GuardedRef::CMN_GuardedRef(CMN_GuardedRef const&) : CMN_GuardedRef(0u) {}

// Leaves the registry first; then the members go: holderLock, then `holders`,
// whose destructor frees the items still listed without telling their holders.
CMN_GuardedRef::~CMN_GuardedRef() { ObjectManager.removeObj(this); }

void CMN_GuardedRef::addReference(CMN_GRPHolder* h) {
    CMN_Reference::addReference();
    lockHolderList();
    try {
        holders.link_front(h);
    } catch (...) {
        // No item, so no reference: take the count back (without destroying
        // the object, which the caller still points at) and pass the failure on.
        unlockHolderList();
        refLock->enter();
        __atomic_store_n(&refCount, refCount - 1, __ATOMIC_RELAXED);
        refLock->exit();
        throw;
    }
    unlockHolderList();
}

int CMN_GuardedRef::remReference(CMN_GRPHolder* h) {
    lockHolderList();
    for (sitem<CMN_GRPHolder>* it = holders.head; it != nullptr; it = it->next) {
        if (it->item == h) {
            CMN_ListAsBuilt(&holders)->eraseitem(it);
            unlockHolderList();
            return CMN_Reference::remReference();
        }
    }
    unlockHolderList();
    return references();
}

bool CMN_GuardedRef::moveReference(CMN_GRPHolder* from, CMN_GRPHolder* to) {
    CMN_ScopedLock<CMN_RecursiveMutex> listLock(holderLock);
    for (sitem<CMN_GRPHolder>* it = holders.head; it != nullptr; it = it->next) {
        if (it->item == from) {
            it->item = to;
            return true;
        }
    }
    return false;
}

void CMN_GuardedRef::lockHolderList() { holderLock.enter(); }
void CMN_GuardedRef::unlockHolderList() { holderLock.exit(); }
slist<CMN_GRPHolder>* CMN_GuardedRef::_getHolders() { return &holders; }
