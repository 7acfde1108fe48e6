#pragma once
/// @file
///
/// Stub templates: typed proxies through which code reaches a service or an
/// object of any module (this one included).
///
/// Every stub holds its target through a CMN_GRefPtr<T> stamped with this
/// module's identifier, so the target's module sees the stub as one of our
/// holders and can cut it loose at its unload; the stub then answers as unbound
/// instead of calling into a module that is gone. Unbound answers: 40 for
/// result codes, null for pointers, 0 for sizes; nothing is called.
///
///   CMN_Stub<T>:           [vtable: ~dtor][CMN_GRefPtr<T> holder]
///   CMN_ServiceStub<T>:    [vtable: ref, unref, ~dtor][CMN_GRefPtr<T> holder]
///                          [int useCount][CMN_Mutex mutex]
///   CMN_ObjectStub<T>:     [vtable: ~dtor][CMN_GRefPtr<T> holder]
///                          [CMN_ServiceStubInterface* service]
///   PKIXAnyObject<T>:      CMN_ObjectStub<T> + [int err]; vtable: ~dtor, error
///
/// Locking: CMN_Stub and CMN_ObjectStub have no lock; one thread uses a stub at
/// a time. A service stub's mutex guards its binding and use count and is
/// always the outer lock: lookups and reference operations run inside it.

#include <new>

#include "cmn_calls_in_flight.h"
#include "cmn_grefptr.h"
#include "cmn_result.h"
#include "cmn_rmutex.h"

/// A stub on one object or service, bound at construction.
template <class T>
class CMN_Stub {
public:
    /// Unbound, no service identifier; a derived stub binds later by assigning
    /// its holder.
    CMN_Stub() : holder() {}
    /// Holds `p`; a null pointer gives an unbound stub.
    explicit CMN_Stub(T* p) : holder(p) {}
    /// Looks the service up at once through the host's module manager; stays
    /// unbound (for good) when there is none or it does not know the service.
    explicit CMN_Stub(TypifiedID const& service) : holder(service, true) {}
    virtual ~CMN_Stub() {}

    bool isBound() const { return holder.pointee != nullptr; }

    CMN_GRefPtr<T> holder;
};

/// What an object stub needs of the service stub it was obtained through.
class CMN_ServiceStubInterface {
public:
    virtual void ref() = 0;
    virtual void unref() = 0;

protected:
    ~CMN_ServiceStubInterface() = default;
};

/// A long-lived stub on a service: binds lazily, and lets go of the service
/// when the last object obtained through it goes (use count 1 -> 0).
///
/// Calls into another module made with the mutex held: only the lookup and
/// the reference operations of a binding (initPointee). Factory calls, and
/// every release of a service (which may destroy it, and its module may call
/// back), happen after the mutex is left. No unbinding ever waits for a call:
/// the calls in flight keep the old service alive (CMN_CallsInFlight<T>).
template <class T>
class CMN_ServiceStub : public CMN_ServiceStubInterface {
    using InFlight = CMN_CallsInFlight<T>;

public:
    /// Unbound unless `bindNow`, in which case it looks the service up at once.
    explicit CMN_ServiceStub(TypifiedID const& service, bool bindNow = false) : holder(service, bindNow), useCount(0) {}
    CMN_ServiceStub(CMN_ServiceStub const&) = delete;
    /// Holds what `other` holds, and copies its use count; the mutex is
    /// neither copied nor locked. Nothing changes when both hold the same
    /// service. Otherwise the old service is let go without waiting (released
    /// once the calls that may still use it have returned), and `other`'s is
    /// referenced in this stub's name. serviceID changes only when this stub
    /// was unbound and `other` names one. Throws std::bad_alloc, with this
    /// stub unchanged or, when only the new reference failed, unbound.
    CMN_ServiceStub& operator=(CMN_ServiceStub const& other) {
        if (holder.loadPointee() != other.holder.pointee) {
            CMN_GRefPtr<T> releasedNow;  // declared first: lets go last
            bool const wasBound = holder.loadPointee() != nullptr;
            TypifiedID const* const service = holder.serviceID;
            if (wasBound) let(InFlight::retire(holder, releasedNow));
            holder = other.holder;
            if (wasBound) holder.serviceID = service;
        }
        useCount = other.useCount;
        return *this;
    }

    /// Binds when unbound; counts one more user, bound or not, so the matching
    /// unref() stays balanced.
    void ref() override {
        CMN_ScopedLock<CMN_Mutex> lock(mutex);
        bindIfUnbound();  // an allocation failure leaves nothing counted
        ++useCount;
    }

    /// Counts one user less; the unref() that brings the count from 1 to 0 lets
    /// go of the service, without waiting for calls in flight. serviceID
    /// stays, so the stub can bind again. There is no lower bound: surplus
    /// calls go below 0 without unbinding. Never throws: short of memory to
    /// defer a release, the stub stays bound.
    void unref() override {
        CMN_GRefPtr<T> releasedNow;  // lets go after the mutex is left
        typename InFlight::Outcome outcome = InFlight::kNothingHeld;
        {
            CMN_ScopedLock<CMN_Mutex> lock(mutex);
            if (--useCount == 0) outcome = InFlight::retire(holder, releasedNow);
        }
        if (outcome == InFlight::kDeferred) InFlight::reclaim();
    }

    /// The mutex goes first, then the holder, which drops the service reference.
    virtual ~CMN_ServiceStub() {}

    /// Calls `call(service)` on the bound service, binding the stub first when
    /// it is unbound, and returns what it returns; `unbound` when no service
    /// can be bound. The service stays alive until `call` returns, even when
    /// another thread, or `call` itself, unbinds the stub meanwhile.
    ///
    /// The call is counted in before the binding is read (CMN_CallsInFlight
    /// says why that keeps the service alive). Bound: no lock, one read of
    /// the pointee, the call. Unbound: the mutex is taken, the pointee read
    /// again and, still null, looked up; the mutex is left, and the pointee
    /// read once more for the call, which runs with no lock of this stub held
    /// (on the service bound under the mutex, should another thread have
    /// unbound the stub in between: the call was counted before either read).
    template <class R, class Call>
    R callBound(R unbound, Call call) {
        typename InFlight::Call counted;
        T* p = holder.loadPointeeInOrder();
        if (p == nullptr) {
            T* bound = nullptr;
            {
                CMN_ScopedLock<CMN_Mutex> lock(mutex);
                bindIfUnbound();
                bound = holder.loadPointeeInOrder();
            }
            // Unbound again meanwhile (another thread's last aBuf went): the
            // service bound above stays alive for this counted call.
            p = holder.loadPointeeInOrder();
            if (p == nullptr) p = bound;
            if (p == nullptr) return unbound;
        }
        return call(p);
    }

    CMN_GRefPtr<T> holder;
    int useCount;
    CMN_Mutex mutex;

private:
    /// Mutex held. The pointee is read atomically: the target's module may cut
    /// the holder loose from another thread at any time. An allocation failure
    /// propagates with the stub still unbound.
    void bindIfUnbound() {
        if (holder.loadPointee() == nullptr) holder.initPointee();
    }

    /// The assignment's letting go: a deferred release is reclaimed by whoever
    /// brings the calls in flight to 0 (or at once); short of memory for it,
    /// the assignment fails with this stub unchanged.
    static void let(typename InFlight::Outcome outcome) {
        if (outcome == InFlight::kKeptForLackOfMemory) throw std::bad_alloc();
        if (outcome == InFlight::kDeferred) InFlight::reclaim();
    }
};

/// A stub on one object obtained through a service stub; it counts once in that
/// service stub's use count for its whole life, bound or not.
template <class T>
class CMN_ObjectStub {
public:
    /// Holds `p` (when not null), then counts itself in `service`.
    CMN_ObjectStub(T* p, CMN_ServiceStubInterface* service) : holder(p), service(service) {
        if (service != nullptr) service->ref();
    }
    /// Counts itself in `service` first; the derived constructor then obtains
    /// the object through the service and assigns it to the holder.
    explicit CMN_ObjectStub(CMN_ServiceStubInterface* service) : holder(), service(service) {
        if (service != nullptr) service->ref();
    }
    CMN_ObjectStub(CMN_ObjectStub const&) = delete;
    CMN_ObjectStub& operator=(CMN_ObjectStub const&) = delete;

    /// The object is released while the service is still held; only then may
    /// the service stub let go of the service.
    virtual ~CMN_ObjectStub() {
        holder.replacePointee(nullptr);
        if (service != nullptr) service->unref();
    }

    bool isBound() const { return holder.pointee != nullptr; }

    CMN_GRefPtr<T> holder;
    CMN_ServiceStubInterface* service;
};

/// An object stub that remembers the result code of its last operation.
template <class T>
class PKIXAnyObject : public CMN_ObjectStub<T> {
public:
    PKIXAnyObject(T* p, CMN_ServiceStubInterface* service)
        : CMN_ObjectStub<T>(p, service), err(p != nullptr ? 0 : CMN_NOT_BOUND) {}
    explicit PKIXAnyObject(CMN_ServiceStubInterface* service) : CMN_ObjectStub<T>(service), err(CMN_NOT_BOUND) {}

    /// The result code of the last operation; changes nothing.
    virtual int error() const { return err; }

    /// Mutable: const operations of a wrapper record their outcome too.
    mutable int err;
};
