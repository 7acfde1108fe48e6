#pragma once
/// @file
///
/// CMN_GRefPtr<T>: a typed holder of one reference on a guarded object.
///
///   layout: [vtable: replacePointee, getModuleID][serviceID][T* pointee]
///           [moduleID][factory]
///
/// The holder takes every reference in its own name, so the object lists it
/// among its holders, and it is stamped with its module's identifier
/// (GetModuleID()) for life. It owns one reference on `pointee` (when not
/// null) and nothing else: not `serviceID`, not `moduleID`.
///
/// T derives from CMN_GuardedRef, as first base or behind another first base;
/// the holder converts between T* and CMN_GuardedRef* by ordinary base and
/// derived conversions, so a null stays null.
///
/// Worked example, holders a and b of module M on object o (count 0):
///   CMN_GRefPtr<T> a(o);    o: count 1, holders [a]
///   CMN_GRefPtr<T> b;       empty, lists nothing
///   b = a;                  o: count 2, holders [b, a]
///   a.replacePointee(0);    o: count 1, holders [b]; a is empty
///   }  // b destroyed       o: count 0, destroyed
///
/// No lock of its own: its owner uses it from one thread at a time or under the
/// owner's lock. Two exceptions: the unlocked read of a service stub's lazy
/// binding, and a registry walk of the pointee's module telling the holder to
/// let go (replacePointee(nullptr), under that object's holder-list lock). So
/// `pointee` is always written with release order, and read with acquire order
/// (loadPointee()) wherever such a second thread may meet it.

#include "cmn_gref.h"
#include "cmn_om_s.h"

/// A typed holder of one reference on a guarded object, stamped with this
/// module's identifier; the object's module can cut it loose at any time
/// (replacePointee(null)), after which it holds nothing.
template <class T>
class CMN_GRefPtr : public CMN_GRPHolder {
public:
    /// A replacement for the host's lookup: returns the guarded part of the
    /// service named `service`, without a hold, or null.
    typedef CMN_GuardedRef* (*Factory)(TypifiedID const* service);

    /// Holds `p` (a reference in this holder's name), or nothing when null.
    explicit CMN_GRefPtr(T* p = nullptr)
        : serviceID(nullptr), pointee(nullptr), moduleID(GetModuleID()), factory(nullptr) {
        hold(p);
    }

    /// Names the service to look up; looks it up at once when `lookupNow`,
    /// else leaves that to a later initPointee().
    CMN_GRefPtr(TypifiedID const& service, bool lookupNow)
        : serviceID(&service), pointee(nullptr), moduleID(GetModuleID()), factory(nullptr) {
        if (lookupNow) initPointee();
    }

    /// A copy holds the same object with a reference of its own.
    CMN_GRefPtr(CMN_GRefPtr const& other) : CMN_GRefPtr(other.pointee) { serviceID = other.serviceID; }

    /// Not virtual: a holder is never destroyed through its interface.
    ~CMN_GRefPtr() {
        if (T* p = loadPointee()) guarded(p)->remReference(this);
    }

    /// The target drops its reference and takes one on the source's object in
    /// its own name. Nothing changes when both hold the same object (or both
    /// none). An empty target adopts the source's serviceID when it has one.
    /// If taking the new reference fails (allocation), the target is left
    /// empty: it never points at an object it holds no reference on.
    CMN_GRefPtr& operator=(CMN_GRefPtr const& source) {
        if (pointee == source.pointee) return *this;
        if (T* old = loadPointee()) {
            guarded(old)->remReference(this);
            setPointee(nullptr);
        } else if (source.serviceID != nullptr) {
            serviceID = source.serviceID;
        }
        hold(source.pointee);
        return *this;
    }

    /// Lets go of the object held, then holds `g` (or nothing). `g` must not be
    /// the object already held. The release comes before the pointer changes:
    /// when a registry walk tells this holder to let go while its owner is
    /// already letting go (and waits inside remReference for the holder-list
    /// lock the walk holds), the walk still finds the pointer and releases in
    /// this holder's name, and the owner's own release then finds nothing left.
    /// Clearing first would make the walk take the holder off by force with
    /// its reference still counted, so the object would never die. If taking
    /// the reference on `g` fails (allocation), the holder is left empty.
    void replacePointee(CMN_GuardedRef* g) override {
        if (T* old = loadPointee()) guarded(old)->remReference(this);
        hold(typed(g));
    }

    /// The identifier of this holder's module, stamped at construction.
    TypifiedID const* getModuleID() override { return moduleID; }

    /// Binds an empty holder: the factory when set, else the host's lookup of
    /// serviceID on behalf of this module. Finds nothing while no module
    /// manager is known. Does not release an earlier pointee.
    void initPointee() {
        CMN_GuardedRef* g = nullptr;
        if (factory != nullptr) {
            g = factory(serviceID);
        } else {
            g = CMN_LookupService(serviceID, moduleID);
        }
        hold(typed(g));
    }

    /// This empty holder takes over `from`'s reference: same object, same
    /// count, the listing moved from `from` to this holder, and `from` left
    /// empty. Allocates nothing, so it cannot fail; false (both holders then
    /// empty or unchanged) when `from` holds nothing or was cut loose by a
    /// registry walk meanwhile. The pointer is set before the listing moves
    /// (see hold()), and `from` is emptied last, in sequentially consistent
    /// order: a service stub's unbinding relies on that store being ordered
    /// before its own count of the calls in flight is read.
    bool takeOver(CMN_GRefPtr& from) {
        T* p = from.loadPointee();
        if (p == nullptr) return false;
        setPointee(p);
        if (!guarded(p)->moveReference(&from, this)) {
            setPointee(nullptr);
            return false;
        }
        __atomic_store_n(&from.pointee, static_cast<T*>(nullptr), __ATOMIC_SEQ_CST);
        return true;
    }

    /// The object held, or null; a plain read, for the thread that owns the holder.
    T* get() const { return pointee; }
    /// Acquire-ordered read: a thread that sees the pointer also sees the
    /// object it points at, as the binding thread built it.
    T* loadPointee() const { return __atomic_load_n(&pointee, __ATOMIC_ACQUIRE); }
    /// The read of a service stub's unlocked path, which must be ordered after
    /// the call counts itself in (sequentially consistent, like that count and
    /// like the store that empties the holder in takeOver). A plain load on
    /// x86.
    T* loadPointeeInOrder() const { return __atomic_load_n(&pointee, __ATOMIC_SEQ_CST); }

    /// The guarded part of `p`; null stays null.
    static CMN_GuardedRef* guarded(T* p) { return static_cast<CMN_GuardedRef*>(p); }
    /// The typed object whose guarded part is `g`; null stays null.
    static T* typed(CMN_GuardedRef* g) { return static_cast<T*>(g); }

    /// The service the holder binds to by lookup, or null; not owned.
    TypifiedID const* serviceID;
    /// The object held, with one reference in this holder's name, or null.
    /// Written with release order, read with loadPointee() where another
    /// thread may cut the holder loose.
    T* pointee;
    /// This holder's module (GetModuleID() at construction); not owned.
    TypifiedID const* moduleID;
    /// Used by initPointee() instead of the host's lookup when not null.
    Factory factory;

private:
    void setPointee(T* p) { __atomic_store_n(&pointee, p, __ATOMIC_RELEASE); }

    /// Points at `p` first, then takes the reference in this holder's name: a
    /// registry walk that finds this holder listed always finds the pointer
    /// too, and releases in its name (listing first would let the walk take
    /// the holder off by force with its reference counted, and the object
    /// would never die). If taking the reference fails (allocation), the
    /// holder is left empty.
    void hold(T* p) {
        setPointee(p);
        if (p == nullptr) return;
        try {
            guarded(p)->addReference(this);
        } catch (...) {
            setPointee(nullptr);
            throw;
        }
    }
};

/// Takes the first reference on a new object that nobody holds yet (count 0,
/// as factories return them). Should that fail (allocation), nobody owns the
/// object: it is destroyed before the failure goes on.
template <class T>
CMN_GRefPtr<T> CMN_ClaimNew(T* made) {
    try {
        return CMN_GRefPtr<T>(made);
    } catch (...) {
        delete made;
        throw;
    }
}

/// The same claim, straight into the empty `holder`: one reference and one
/// holder listing, where a temporary holder copied into `holder` would take
/// two of each and give one back. Should taking it fail (allocation), the
/// holder stays empty and the object is destroyed before the failure goes on.
template <class T>
void CMN_ClaimNewInto(CMN_GRefPtr<T>& holder, T* made) {
    try {
        holder.replacePointee(made);
    } catch (...) {
        delete made;
        throw;
    }
}
