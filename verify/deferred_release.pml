/*
 * The byte-buffer service stub's binding, its calls in flight and the
 * deferred release of the services it lets go of, as a model for spin
 * (CMN_ServiceStub::callBound, unref and assignment, CMN_CallsInFlight).
 *
 * Two services, 0 and 1, made by the peer module; the host's lookup hands out
 * no reference, so once bound a service lives by the stub's reference and by
 * the retired holders alone, and its last release destroys it.
 *
 * Threads:
 *   Reentrant  a factory call, bound or binding, whose factory calls back
 *              into the module: x509cmn_fini() (the releasing unbind runs
 *              inside the call), then an aBuf's life (ref(): the stub's
 *              mutex, a binding; unref() to 0), then x509cmn_init() (binds
 *              again, possibly to the other service);
 *   Caller     a plain factory call;
 *   LastABuf   an aBuf's ref() and unref() to 0 on another thread;
 *   Walk       the peer module cutting a retired holder of ours loose, when
 *              nobody uses that service (the host unloads a module only then).
 *
 * Checked: no deadlock; a service is never destroyed while a call that read
 * it runs; no reference is released twice or on a dead service; at the end
 * every lock is free, nothing is left retired, and every service still alive
 * is held by exactly the stub.
 *
 * Variants that must fail: -DNOT_DEFERRED releases at once whatever the calls
 * in flight (a service dies under a call); -DLOCK_KEPT keeps the stub's mutex
 * across the factory call of the binding path (the callback deadlocks).
 */

#define NONE 2

byte refs[2];          /* references: the stub's, plus the retired ones */
bool alive[2];
byte reading[2];       /* ghost: calls that read the service and still run */
byte retired[2];       /* retired holders on the list, per service */
byte listed[2];        /* retired holders still listed (holding a reference) */
byte cut[2];           /* retired holders cut loose by the peer (empty) */

byte stub = NONE;      /* the service the stub's holder points at */
short useCount;
byte calls;            /* CMN_CallsInFlight::calls */
byte stubMutex;        /* owner, 0 when free */
byte listLock;         /* owner, 0 when free */
byte done;

#define ME (_pid + 1)

inline lock(m) {
    assert(m != ME);
    atomic { m == 0 -> m = ME }
}

inline unlock(m) {
    assert(m == ME);
    m = 0
}

/* One reference released: the last one destroys the service, which no call
   may still be reading. Inside a d_step. */
inline releaseOne(s) {
    assert(alive[s] && refs[s] > 0);
    refs[s]--;
    if
    :: refs[s] == 0 -> assert(reading[s] == 0); alive[s] = false
    :: else
    fi
}

inline release(s) {
    d_step { releaseOne(s) }
}

/* A retired holder lets go (delete of its record): remReference finds it
   listed, or finds nothing when the peer cut it loose meanwhile; the holder
   list's lock makes the two exclusive. */
inline letGoRetired(s) {
    d_step {
        if
        :: cut[s] > 0 -> cut[s]--
        :: else -> assert(listed[s] > 0); listed[s]--; releaseOne(s)
        fi
    }
}

/* The host's lookup and initPointee: any live service, or (when none is
   alive) a new one made afresh; the reference taken in the stub's name. */
inline bind() {
    if
    :: stub == NONE ->
        d_step {
            if
            :: alive[0] -> stub = 0
            :: alive[1] -> stub = 1
            :: !alive[0] && !alive[1] && refs[0] == 0 -> alive[0] = true; stub = 0
            :: !alive[0] && !alive[1] && refs[1] == 0 -> alive[1] = true; stub = 1
            fi;
            refs[stub]++
        }
    :: else
    fi
}

/* CMN_CallsInFlight::reclaim: under the list lock, and only when no call is
   in flight, take every retired holder; they let go after the lock. */
inline reclaim() {
    lock(listLock);
    if
    :: calls == 0 -> t0 = retired[0]; t1 = retired[1]; retired[0] = 0; retired[1] = 0
    :: else
    fi;
    unlock(listLock);
    do
    :: t0 > 0 -> letGoRetired(0); t0--
    :: t1 > 0 -> letGoRetired(1); t1--
    :: else -> break
    od
}

/* CMN_CallsInFlight::retire: the stub's holder emptied first (takeOver),
   then the count read; released at once when no call is in flight, else
   pushed onto the retired list and reclaimed by whoever sees the count at 0. */
inline retire() {
    d_step { s = stub; stub = NONE };  /* takeOver: the listing moves once */
    if
    :: s != NONE ->
#ifdef NOT_DEFERRED
        release(s)
#else
        if
        :: calls == 0 -> release(s)
        :: else ->
            lock(listLock);
            d_step { retired[s]++; listed[s]++ };
            unlock(listLock);
            reclaim()
        fi
#endif
    :: else
    fi;
    s = 0
}

/* unref() to 0: the reference is taken off under the stub's mutex and released
   after it (modelled as one: the release takes no lock of the stub). */
inline aBufLife() {
    lock(stubMutex);
    bind();
    useCount++;
    unlock(stubMutex);
    lock(stubMutex);
    useCount--;
    if
    :: useCount == 0 -> unlock(stubMutex); retire()
    :: else -> unlock(stubMutex)
    fi
}

/* CMN_ServiceStub::callBound around a factory call. The call counts itself
   in, reads the binding; unbound, it binds under the mutex and reads again.
   The last call out reclaims. `calledBack` runs inside the factory call. */
/* The read of the binding; from then on the call counts as reading it. */
inline readBinding() {
    d_step {
        p = stub;
        if
        :: p != NONE -> reading[p]++
        :: else
        fi
    }
}

inline factoryCall(calledBack) {
    calls++;
    readBinding();
    if
    :: p == NONE ->
        lock(stubMutex);
        bind();
#ifndef LOCK_KEPT
        unlock(stubMutex);
#endif
        readBinding()
    :: else
    fi;
    if
    :: p != NONE ->
        assert(alive[p]);
        if
        :: calledBack -> retire(); aBufLife(); lock(stubMutex); bind(); unlock(stubMutex)
        :: else
        fi;
        d_step { assert(alive[p]); reading[p]-- }
    :: else
    fi;
#ifdef LOCK_KEPT
    if
    :: stubMutex == ME -> unlock(stubMutex)
    :: else
    fi;
#endif
    p = NONE;
    calls--;
    if
    :: calls == 0 -> reclaim()
    :: else
    fi
}

/* Every thread has its own p (the service read), s, t0 and t1 (used by the
   inlines above). */

proctype Reentrant() {
    byte p, s, t0, t1;
    factoryCall(true);
    done++
}

proctype Caller() {
    byte p, s, t0, t1;
    factoryCall(false);
    done++
}

proctype LastABuf() {
    byte s, t0, t1;
    aBufLife();
    done++
}

proctype Walk() {
    do
    :: d_step { listed[0] > 0 && reading[0] == 0 -> listed[0]--; cut[0]++; releaseOne(0) }
    :: d_step { listed[1] > 0 && reading[1] == 0 -> listed[1]--; cut[1]++; releaseOne(1) }
    :: done == 3 -> break
    od
}

init {
    byte s, t0, t1;
    atomic {
        run Reentrant();
        run Caller();
        run LastABuf();
        run Walk()
    }
    _nr_pr == 1;
    /* The stub's binding is the only reference left: x509cmn_fini. */
    retire();
    assert(stubMutex == 0 && listLock == 0 && calls == 0 && useCount == 0);
    assert(retired[0] == 0 && retired[1] == 0 && listed[0] == 0 && listed[1] == 0 && cut[0] == 0 && cut[1] == 0);
    assert(refs[0] == 0 && refs[1] == 0 && !alive[0] && !alive[1])
}
