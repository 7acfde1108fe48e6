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

#include <sched.h>

#include <atomic>

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
template <class T>
class CMN_ServiceStub : public CMN_ServiceStubInterface {
public:
    /// Unbound unless `bindNow`, in which case it looks the service up at once.
    explicit CMN_ServiceStub(TypifiedID const& service, bool bindNow = false) : holder(service, bindNow), useCount(0) {}
    CMN_ServiceStub(CMN_ServiceStub const&) = delete;
    /// The holder is assigned (old target released once the calls running on
    /// it have returned, new one referenced) and the use count copied; the
    /// mutex is neither copied nor locked.
    CMN_ServiceStub& operator=(CMN_ServiceStub const& other) {
        whenIdle([&] { holder = other.holder; });
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
    /// go of the service. serviceID stays, so the stub can bind again. There is
    /// no lower bound: surplus calls go below 0 without unbinding.
    void unref() override {
        CMN_ScopedLock<CMN_Mutex> lock(mutex);
        if (--useCount == 0) whenIdle([&] { holder.replacePointee(nullptr); });
    }

    /// The mutex goes first, then the holder, which drops the service reference.
    virtual ~CMN_ServiceStub() {}

    /// Calls `call(service)` on the bound service, binding the stub first when
    /// it is unbound, and returns what it returns; `unbound` when no service
    /// can be bound. The service stays alive until `call` returns, even when
    /// another thread unbinds the stub meanwhile (unref() to 0, assignment).
    ///
    /// Once bound, no lock is taken: the call counts itself in callsInFlight
    /// before it reads the binding, and every unbinding raises `draining`
    /// before it reads that count, both in sequentially consistent order. So
    /// either the unbinding sees the call and waits until it has returned
    /// before it drops the stub's reference, or the call sees the unbinding
    /// and takes the slow path: under the mutex, which every unbinding through
    /// unref() holds. The binding pointer is read with acquire order, paired
    /// with the release store of every binding: a thread that sees the pointer
    /// also sees the object. Binding happens under the mutex with a second
    /// check, so at most once per unbound period.
    ///
    /// A registry walk of the service's own module that cuts the stub loose
    /// does not wait: that module is being unloaded, which the host does only
    /// after the module's users are done with it.
    template <class R, class Call>
    R callBound(R unbound, Call call) {
        callsInFlight.fetch_add(1);
        if (draining.load() == 0) {
            if (T* p = holder.loadPointee()) {
                CallCounted counted;
                return call(p);
            }
        }
        callsInFlight.fetch_sub(1);
        CMN_ScopedLock<CMN_Mutex> lock(mutex);
        bindIfUnbound();
        T* p = holder.loadPointee();
        return p != nullptr ? call(p) : unbound;
    }

    CMN_GRefPtr<T> holder;
    int useCount;
    CMN_Mutex mutex;

private:
    /// The calls running on the fast path and the unbindings waiting for them.
    /// One pair per service type in each module (the stub's own layout is
    /// shared with other modules and has no room for them): an unbinding may
    /// wait for calls on another stub of the same type, which only delays it.
    static inline std::atomic<int> callsInFlight{0};
    static inline std::atomic<int> draining{0};

    /// Ends the fast path's count of a call, also when the call throws.
    struct CallCounted {
        ~CallCounted() { callsInFlight.fetch_sub(1, std::memory_order_release); }
    };

    /// Runs `unbind` once no call of the fast path is running any more; calls
    /// that start meanwhile take the slow path.
    template <class Unbind>
    static void whenIdle(Unbind unbind) {
        draining.fetch_add(1);
        while (callsInFlight.load() != 0) sched_yield();
        try {
            unbind();
        } catch (...) {
            draining.fetch_sub(1);
            throw;
        }
        draining.fetch_sub(1);
    }

    /// Mutex held. The pointee is read atomically: the target's module may cut
    /// the holder loose from another thread at any time. An allocation failure
    /// propagates with the stub still unbound.
    void bindIfUnbound() {
        if (holder.loadPointee() == nullptr) holder.initPointee();
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
