#pragma once
/// @file
///
/// The module's object registry, its usage queries and the unload protocol.
///
///   CMN_ObjectManager: [vtable: fini, moduleIsUsed][CMN_Mutex guardMutex]
///                      [CMN_RecursiveMutex* objLock][CMN_GuardedRef* objects]
///
/// Every guarded object of the module is registered, newest first, from its
/// construction to its destruction. `objLock` is CMN_Reference::RefMutex, which
/// also guards every reference count of the module's objects: while a walk or
/// query runs, every other thread that counts, creates or destroys one of the
/// module's objects waits. Lock order: registry lock, then the holder-list lock
/// of one object at a time. The walking thread re-enters both freely (holder
/// callbacks and destructors of objects that die during the walk do).
/// `guardMutex` is part of the shared layout and is locked by nothing.
///
/// The host reaches the manager through GetObjectManager() and may call the two
/// virtual operations: moduleIsUsed() (do other modules still hold any of our
/// objects?) and fini() (cut every holder loose before unloading).
///
/// Objects nobody holds yet. A walk or getObj() can meet an object whose count
/// is 0: built and not yet claimed by its creator, or released by its last
/// holder on another thread that now waits for the registry lock to unregister
/// it (its derived parts are already destroyed). Such an object has no holders
/// (a holder always owns a counted reference), so there is nothing to cut
/// loose, and it must be neither finished nor guarded: a guard's release would
/// destroy an object its creator still owns, or destroy a dying object twice.
/// The walks and getObj() therefore pass over every object whose count is 0
/// when they reach it. The count cannot change under them: counting takes the
/// registry lock, which they hold, and nothing runs on the walking thread
/// between reading such an object's count and its successor link.

#include "cmn_grefptr.h"

class DummyHolder;

/// A module's registry of its guarded objects and the walks of the unload
/// protocol. One per module (ObjectManager), found by the host through
/// GetObjectManager(); every operation takes the module's RefMutex.
class CMN_ObjectManager {
public:
    /// An empty registry guarded by CMN_Reference::RefMutex.
    CMN_ObjectManager();
    CMN_ObjectManager(CMN_ObjectManager const&) = delete;
    CMN_ObjectManager& operator=(CMN_ObjectManager const&) = delete;
    /// Destroys guardMutex only; objects still registered are left as they are.
    ~CMN_ObjectManager();

    /// Cuts every holder of every registered object loose. Afterwards the holder
    /// list of every visited object is empty; holders that would not let go are
    /// taken off by force (their reference stays counted), and every object
    /// whose references all came from holders that let go has been destroyed.
    virtual void fini();
    /// 1 when a holder stamped with another module's identifier holds one of
    /// the module's objects, else 0.
    virtual int moduleIsUsed();

    /// 1 when a holder stamped with `id` holds one of the module's objects.
    int moduleIsUsedBy(TypifiedID const& id);
    /// Cuts loose the holders stamped with `id`; returns how many let go by
    /// themselves (those taken off by force are not counted).
    int unhookObjs(TypifiedID const& id);
    /// Calls fini() on every registered object, newest first, each kept alive
    /// while its fini() runs. Cuts no holder loose.
    void finiAll();
    /// A guard on the most recently registered object that someone holds, or
    /// null when there is none. The caller owns the guard and ends it with die().
    DummyHolder* getObj();

    /// Registry links; called by CMN_GuardedRef's constructor and destructor.
    void storeObj(CMN_GuardedRef* o);
    /// Unlinks `o` from the registry, under objLock.
    void removeObj(CMN_GuardedRef* o);

    /// Locked by nothing; kept for the shared layout.
    CMN_Mutex guardMutex;
    /// The module's RefMutex, which guards the registry links; not owned.
    CMN_RecursiveMutex* objLock;
    /// The most recently registered object, or null.
    CMN_GuardedRef* objects;
};

/// A temporary guard: one reference on a registered object, in the name of a
/// holder stamped with this module's identifier, so it never counts as use of
/// the module by another one.
///   layout: [vtable: die][CMN_GRefPtr<CMN_GuardedRef> holder]
class DummyHolder final {
public:
    /// Holds `obj` (one reference) when not null.
    explicit DummyHolder(CMN_GuardedRef* obj) : holder(obj) {}
    DummyHolder(DummyHolder const&) = delete;
    DummyHolder& operator=(DummyHolder const&) = delete;
    /// Not virtual. Releases the reference; the object may die here.
    ~DummyHolder() = default;
    /// Destroys a guard handed out by getObj().
    virtual void die() { delete this; }

    /// The reference on the guarded object.
    CMN_GRefPtr<CMN_GuardedRef> holder;
};

/// The module's registry, built at rank CMN_INIT_OBJECT_MANAGER.
CMN_EXPORT extern CMN_ObjectManager ObjectManager;

extern "C" {
/// Both return &ObjectManager, which static initialisation has built.
CMN_EXPORT CMN_ObjectManager* GetObjectManager();
/// The same as GetObjectManager(): a second exported name of the module's
/// registry, part of every module's fixed set of entry points.
CMN_EXPORT CMN_ObjectManager* InitObjectManager();
}

/// A read-only look at a module's registry, for tools such as a host's dump:
/// calls onObject(o) for every registered object, newest first, then
/// onHolder(o, h) for every holder listed on it, most recent first. Runs under
/// the registry lock and, for each object, its holder-list lock (the order of
/// every registry walk), so the picture of one module is consistent. The
/// callbacks may read counts and call a holder's getModuleID(), but must not
/// add or release references. It walks the links the framework itself keeps
/// and changes no shared layout; `om` may belong to another module.
template <class OnObject, class OnHolder>
void CMN_VisitRegistry(CMN_ObjectManager& om, OnObject onObject, OnHolder onHolder) {
    CMN_ScopedLock<CMN_RecursiveMutex> registry(*om.objLock);
    for (CMN_GuardedRef* o = om.objects; o != nullptr; o = o->next) {
        onObject(o);
        o->lockHolderList();
        for (sitem<CMN_GRPHolder>* it = o->holders.head; it != nullptr; it = it->next) onHolder(o, it->item);
        o->unlockHolderList();
    }
}
