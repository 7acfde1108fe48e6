#pragma once
/// @file
///
/// Guarded references: counted objects that record every holder of every
/// reference, and the holder interface.
///
///   CMN_GuardedRef: [CMN_Reference][slist<CMN_GRPHolder> holders]
///                   [CMN_RecursiveMutex holderLock][prevLink][next]
///   vtable: ~dtor, ~dtor(deleting), init, fini
///
/// Locks: the count is guarded by CMN_Reference::RefMutex (every guarded object
/// uses the default base constructor), `holders` by the object's own
/// `holderLock`, and the registry links `prevLink`/`next` by the object
/// manager's lock, which is RefMutex too. Reference operations take these one
/// at a time, never nested: addReference counts, then lists; remReference
/// unlists, then counts. Hence refCount >= number of holder items, always.
///
/// Lifetime: registered in the module's ObjectManager from the end of the
/// CMN_GuardedRef constructor to the start of its destructor. The remReference
/// that brings the count to 0 destroys the object. A dying object does not call
/// its holders back: every holder must have let go before the object dies.
///
/// Worked example, with holders a and b (one module) and the object o:
///   o = new Impl                count 0, holders []
///   o->addReference(&a)         count 1, holders [a]
///   o->addReference(&b)         count 2, holders [b, a]
///   o->addReference(&a)         count 3, holders [a, b, a]
///   o->remReference(&a) -> 2    holders [b, a]      (most recent listing first)
///   o->remReference(&c) -> 2    c is not listed: nothing changes
///   o->remReference(&b) -> 1    holders [a]
///   o->remReference(&a) -> 0    o has been destroyed

#include "cmn_ref.h"
#include "id_type.h"
#include "slist.h"

class CMN_GuardedRef;

/// Whoever holds a reference on a guarded object. Never destroyed through this
/// interface.
class CMN_GRPHolder {
public:
    /// Let go of the object held (releasing the reference in this holder's
    /// name), then hold `ref` instead, or nothing when `ref` is null.
    virtual void replacePointee(CMN_GuardedRef* ref) = 0;
    /// The identifier of the module that owns the holder; valid as long as the
    /// holder exists.
    virtual TypifiedID const* getModuleID() = 0;

protected:
    ~CMN_GRPHolder() = default;
};

/// A counted object that lists every holder of every reference, registered in
/// its module's ObjectManager for its whole life. Objects that cross a module
/// boundary derive from it and are created with plain `new`; the release that
/// brings the count to 0 destroys them.
class CMN_GuardedRef : public CMN_Reference {
public:
    /// Both build the same fresh object: count 0, no holders, registered.
    /// Neither `n` nor `other` is read.
    explicit CMN_GuardedRef(unsigned int n = 0);
    /// See the constructor above: a fresh object, nothing is copied.
    CMN_GuardedRef(CMN_GuardedRef const& other);
    /// Takes the object out of its module's registry (under RefMutex). Every
    /// holder must have let go before: the object does not call them back.
    ~CMN_GuardedRef() override;

    /// Starts the object after construction; 0 on success, else a result code
    /// of the derived class. Not called by the framework.
    virtual unsigned int init() = 0;
    /// Finishes the object at its module's unload call (ObjectManager::finiAll()),
    /// while it is kept alive; 0 on success. Afterwards the object may refuse
    /// new work, but must stay valid for those who still hold it.
    virtual unsigned int fini() = 0;

    /// Count + 1 under RefMutex, then list `h` under holderLock. `h` is not
    /// tested and may already be listed.
    void addReference(CMN_GRPHolder* h);
    /// Unlists the most recent listing of `h`, then returns the lowered count
    /// (0: the object has been destroyed). A holder that is not listed changes
    /// nothing and gets the current count.
    int remReference(CMN_GRPHolder* h);
    /// Hands one reference over from holder `from` to holder `to` under
    /// holderLock: the most recent listing of `from` becomes a listing of `to`;
    /// the count does not change and nothing is allocated. False (and nothing
    /// changes) when `from` is not listed.
    bool moveReference(CMN_GRPHolder* from, CMN_GRPHolder* to);

    /// Enters holderLock. Bracket every walk of the holder list from outside
    /// the class with lockHolderList() and unlockHolderList().
    void lockHolderList();
    /// Leaves holderLock once.
    void unlockHolderList();
    /// The holder list, owned by the object; walk it only between
    /// lockHolderList() and unlockHolderList().
    slist<CMN_GRPHolder>* _getHolders();

    /// Every holder of every reference, most recent first; guarded by holderLock.
    slist<CMN_GRPHolder> holders;
    /// Guards `holders`; taken alone by reference operations, and after the
    /// registry lock by registry walks, never the other way round.
    CMN_RecursiveMutex holderLock;
    /// The registry link that points at this object; guarded by RefMutex.
    CMN_GuardedRef** prevLink;
    /// The next (older) object of the module's registry; guarded by RefMutex.
    CMN_GuardedRef* next;
};
