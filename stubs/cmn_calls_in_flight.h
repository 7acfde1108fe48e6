#pragma once
/// @file
///
/// CMN_CallsInFlight<T>: lets a service stub unbind without ever waiting for
/// the calls that may still be running on the service it lets go of.
///
/// The rule a caller follows (CMN_ServiceStub::callBound): count the call in
/// (a Call object) before reading the stub's binding, and use what it read
/// only until the Call ends. An unbinding empties the stub's holder first and
/// only then looks at the count:
///   - no call in flight: no call can have read the old binding and still be
///     using it, so the reference is released at once (by the caller, once it
///     has left its locks);
///   - calls in flight: the reference moves to a retired holder, and the
///     release happens when the count next comes to 0, in the call that
///     brings it there (or at once, should that call have left already).
/// An unbinding that runs inside a call (a factory that calls back) therefore
/// completes at once and the call itself releases the old service on its way
/// out. Nothing here blocks or spins on a call.
///
/// Why it is sound: the count's increment, the load of the binding, the store
/// that empties the holder and the loads of the count and of the retired list
/// are all sequentially consistent. A call that read the old binding counted
/// itself in before that read, which came before the store that emptied the
/// holder; so the unbinding, reading the count after that store, sees the
/// call, and every reclaim that could release the retired reference reads the
/// count (under the list lock) after it was pushed. Conversely, when the last
/// call leaves before a push, the pusher reclaims itself: each of the two
/// reads the other's write (the count, the list head), so one of them always
/// finds the retired holder.
///
/// Cost for a call: two atomic read-modify-writes of one shared counter
/// (the increment and the decrement) and one load of the list head; no lock.
///
/// Retired holders are this module's own, listed as holders of the old
/// service until they let go: a registry walk of the service's module that
/// cuts them loose meanwhile empties them, and their release then does
/// nothing. Every count thus always equals the holders listed.
///
/// One counter and one list per service type T in each module (the stub's
/// layout is shared with other modules and has no room for them): a call on
/// one stub of type T may delay the release of a service another stub of the
/// same type let go of, never more.

#include <atomic>
#include <mutex>
#include <new>

#include "cmn_grefptr.h"

/// The calls running on services of type T in this module, and the services
/// let go of while they ran, released when the last of those calls returns.
template <class T>
class CMN_CallsInFlight {
public:
    /// Counts one call in for its lifetime; the last call out releases what
    /// was retired meanwhile.
    class Call {
    public:
        Call() { calls.fetch_add(1, std::memory_order_seq_cst); }
        ~Call() {
            if (calls.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
                retired.load(std::memory_order_seq_cst) != nullptr)
                reclaim();
        }
        Call(Call const&) = delete;
        Call& operator=(Call const&) = delete;
    };

    /// What retire() did with the stub's reference.
    enum Outcome {
        kNothingHeld,         ///< the holder was empty (or cut loose meanwhile)
        kReleaseNow,          ///< moved to `releaseNow`: no call can be using it
        kDeferred,            ///< retired until the calls in flight have left: call reclaim()
        kKeptForLackOfMemory  ///< no memory for a retired holder: `holder` still holds it
    };

    /// Empties `holder` (a stub's), which no call may use from then on. Its
    /// reference moves to the empty `releaseNow` when no call is in flight,
    /// else to a retired holder. The caller lets `releaseNow` go, and calls
    /// reclaim() after kDeferred, once it holds no lock of its own: the release
    /// may destroy the service, whose module may call back. Allocates only
    /// when calls are in flight, and then with no failure: short of memory,
    /// the holder is left bound, as if it had never been told to let go.
    static Outcome retire(CMN_GRefPtr<T>& holder, CMN_GRefPtr<T>& releaseNow) {
        if (!releaseNow.takeOver(holder)) return kNothingHeld;
        if (calls.load(std::memory_order_seq_cst) == 0) return kReleaseNow;
        Retired* r = new (std::nothrow) Retired;
        if (r == nullptr) {
            holder.takeOver(releaseNow);
            return kKeptForLackOfMemory;
        }
        if (!r->holder.takeOver(releaseNow)) {  // cut loose meanwhile
            delete r;
            return kNothingHeld;
        }
        std::lock_guard<std::mutex> lock(listLock);
        r->next = retired.load(std::memory_order_relaxed);
        retired.store(r, std::memory_order_seq_cst);
        return kDeferred;
    }

    /// Releases every retired reference if no call is in flight now; else
    /// leaves them to the last call out. The count is read under the list
    /// lock, so every holder taken off the list was pushed before that read:
    /// no call that could have read its service is still running. The
    /// releases run after the lock is left.
    static void reclaim() {
        Retired* list = nullptr;
        {
            std::lock_guard<std::mutex> lock(listLock);
            if (calls.load(std::memory_order_seq_cst) != 0) return;
            list = retired.exchange(nullptr, std::memory_order_relaxed);
        }
        while (list != nullptr) {
            Retired* next = list->next;
            delete list;  // the retired holder lets go of its service
            list = next;
        }
    }

private:
    struct Retired {
        CMN_GRefPtr<T> holder;
        Retired* next = nullptr;
    };

    static inline std::atomic<int> calls{0};
    static inline std::atomic<Retired*> retired{nullptr};
    /// Guards pushes onto `retired` and the take of the whole list; held for
    /// a few stores, never across a call out of this module.
    static inline std::mutex listLock;
};
