/*
 * The lock order of the object framework, as a model for spin.
 *
 * Locks, in the order every path takes them:
 *   stubMutex   the CMN_Mutex of a service stub (theX509Cmn), plain;
 *   hostLock    the host module manager's list lock, a leaf taken by the
 *               service lookup (HostModules::lookupService);
 *   refMutex    CMN_Reference::RefMutex of the service's module: counts and
 *               the registry, recursive (CMN_RecursiveMutex);
 *   holderLock  the holder-list lock of the service object, recursive.
 *   listLock    the list lock of the stub's retired holders, a leaf
 *               (CMN_CallsInFlight).
 * Factory calls run with none of these held. An unbinding never waits for
 * them: the stub's reference moves to a retired holder (moveReference, under
 * holderLock), and is let go after the stub's mutex is left, at once when no
 * call is in flight, else by the last call out (verify/deferred_release.pml
 * checks that protocol on its own).
 *
 * Objects: one guarded object, the service, registered in its module's
 * registry and held at the start by its own module (holder OWN). The byte
 * buffers its factory makes are other objects of the same registry; they are
 * modelled by the refMutex traffic they cause (registration, counting,
 * destruction), their holder lists being locked the same way as the
 * service's.
 *
 * Threads: a client with an aBuf (ref, createTBuf, the aBuf's end, unref),
 * a zip buffer calling createTBuf on its own, another module's stub on the
 * service, and the service module's own thread, which walks the registry
 * while the others run and then, once they are done (the host unloads only
 * then), runs the unload protocol.
 *
 * Checked besides the absence of deadlock: no lock is left by a thread that
 * does not hold it, a plain mutex is never entered twice, no reference is
 * taken or dropped on a destroyed object, no factory call runs on a
 * destroyed service, and at the end every lock is
 * free, every count and holder item given back, and the service destroyed.
 *
 * Built with -DINVERTED, remReference lowers the count before it leaves the
 * holder-list lock (holderLock, then refMutex): the order of the registry
 * walks inverted, which must deadlock.
 */

#define NONE    0
/* holders of the service object */
#define STUB    0   /* theX509Cmn's holder (client module) */
#define OWN     1   /* the service module's own stub on its service */
#define OTHER   2   /* another module's CMN_Stub on the service */
#define GUARD   3   /* a walk's current guard (DummyHolder) */
#define TEMP    4   /* moveGuard's temporary guard, and getObj's guard */
#define RETIRED 5   /* the retired holder the stub's reference moves to */
#define NH      6

typedef RecursiveMutex { byte owner; byte depth }

RecursiveMutex refMutex;
RecursiveMutex holderLock;
byte stubMutex;           /* owner, 0 when free */
byte listLock;            /* owner, 0 when free */
byte hostLock;            /* owner, 0 when free */

/* the service object */
byte refCount;
bool registered;
bool alive;
byte listed[NH];          /* items of the holder list, per holder */
bool bound[NH];           /* the holder's pointee is the service */

/* the service stub */
short useCount;
byte callsInFlight;
bool pending;             /* the retired holder waits for the last call out */

bool hostLists = true;    /* the host's module list still holds the module */
byte usersDone;

#define ME (_pid + 1)

/* CMN_RecursiveMutex::enter: again by its owner, else waits until free. */
inline enter(m) {
    atomic {
        if
        :: m.owner == ME -> m.depth++
        :: else -> m.owner == NONE; m.owner = ME; m.depth = 1
        fi
    }
}

/* CMN_RecursiveMutex::exit: owner only; the last level frees it. */
inline exit(m) {
    d_step {
        assert(m.owner == ME && m.depth > 0);
        m.depth--;
        if
        :: m.depth == 0 -> m.owner = NONE
        :: else
        fi
    }
}

/* A section that takes no other lock inside runs as one step once it holds
   its lock: it cannot wait while holding it, so nothing is lost for the lock
   order, and the model stays small. */
#define section(m, body) atomic { enter(m); body; exit(m) }

inline lock(m) {
    assert(m != ME);   /* a plain mutex: no re-entry */
    atomic { m == NONE -> m = ME }
}

inline unlock(m) {
    assert(m == ME);
    m = NONE
}

#define listedTotal(n) n = listed[STUB] + listed[OWN] + listed[OTHER] + listed[GUARD] + listed[TEMP] + listed[RETIRED]

/* ~CMN_GuardedRef: the derived parts are gone, then ObjectManager.removeObj. */
inline destroy() {
    alive = false;
    section(refMutex, registered = false)
}

/* CMN_GuardedRef::addReference: count under refMutex, then list under
   holderLock; never both at once. */
inline addReference(h) {
    assert(alive);
    section(refMutex, refCount++);
    section(holderLock, listed[h]++; assert(listed[h] == 1))
}

/* CMN_GuardedRef::remReference and CMN_Reference::remReference: unlist under
   holderLock, then count under refMutex; destroy at 0, outside the lock. */
inline remReference(h, n) {
    assert(alive);
    enter(holderLock);
    if
    :: listed[h] > 0 ->
        listed[h]--;
#ifdef INVERTED
        enter(refMutex);
        refCount--;
        n = refCount;
        exit(refMutex);
        exit(holderLock);
#else
        exit(holderLock);
        section(refMutex, refCount--; n = refCount);
#endif
        if
        :: n == 0 -> destroy()
        :: else
        fi;
        n = 0
    :: else -> exit(holderLock)
    fi
}

/* CMN_GRefPtr::hold: points at the object, then takes the reference. */
inline hold(h) {
    bound[h] = true;
    addReference(h)
}

/* CMN_GRefPtr::replacePointee(nullptr): lets go, then forgets the pointer. */
inline letGo(h, n) {
    if
    :: bound[h] -> remReference(h, n)
    :: else
    fi;
    bound[h] = false
}

/* CMN_LookupService -> HostModules::lookupService, then hold(): the lookup
   itself hands out no reference. */
inline lookupAndHold(h) {
    atomic { lock(hostLock); found = hostLists; unlock(hostLock) };
    if
    :: found -> found = false; hold(h)
    :: else
    fi
}

/* A byte buffer's traffic in the service's module: registration or
   unregistration, or one count change. */
inline bufferStep() {
    section(refMutex, skip)
}

/* The factory call X509CmnSrv_I::createTBuf: a new buffer registers itself. */
inline factoryCall() {
    assert(alive);
    bufferStep()
}

/* CMN_ServiceStub::bindIfUnbound, stub mutex held: initPointee when unbound. */
inline bindIfUnbound() {
    if
    :: !bound[STUB] -> lookupAndHold(STUB)
    :: else
    fi
}

/* CMN_GRefPtr::takeOver through CMN_GuardedRef::moveReference: the stub's
   listing becomes the retired holder's, under holderLock; count unchanged. */
inline retire() {
    if
    :: bound[STUB] ->
        bound[RETIRED] = true;
        enter(holderLock);
        if
        :: listed[STUB] > 0 -> listed[STUB]--; listed[RETIRED]++; bound[STUB] = false
        :: else -> bound[RETIRED] = false
        fi;
        exit(holderLock);
        bound[STUB] = false
    :: else
    fi
}

/* CMN_CallsInFlight::reclaim: under the list lock, only when no call is in
   flight, takes the retired holder, which lets go after the lock. */
inline reclaim(n) {
    lock(listLock);
    if
    :: callsInFlight == 0 && pending -> pending = false; unlock(listLock); letGo(RETIRED, n)
    :: else -> unlock(listLock)
    fi
}

/* After the stub's mutex is left: let go at once when no call is in flight,
   else push the retired holder and reclaim (the last call out may have left
   before the push). */
inline letGoRetired(n) {
    if
    :: callsInFlight == 0 -> letGo(RETIRED, n)
    :: else ->
        lock(listLock);
        pending = true;
        unlock(listLock);
        reclaim(n)
    fi
}

/* Registry walks: the registry lock, then the holder-list lock. */

/* CMN_ObjectManager::moduleIsUsed / moduleIsUsedBy (anyHolder), and
   CMN_VisitRegistry: the holders' getModuleID() under both locks. */
inline anyHolder() {
    enter(refMutex);
    if
    :: registered ->
        enter(holderLock);
        exit(holderLock)
    :: else
    fi;
    exit(refMutex)
}

/* cutHoldersLoose: tells a selected holder to let go (its replacePointee),
   holder-list lock held; a holder that does not unlist itself is taken off. */
inline cutLoose(h) {
    if
    :: listed[h] > 0 ->
        listedTotal(before);
        letGo(h, n);
        listedTotal(after);
        if
        :: before == after -> listed[h]--
        :: else
        fi;
        before = 0;
        after = 0
    :: else
    fi
}

#define FINI_EACH   1   /* finiAll: the service's fini() takes no lock */
#define CUT_MODULE  2   /* unhookObjs(client module): its stub only */
#define CUT_ALL     3   /* fini(): every holder but the walk's guard */

/* guardedWalk: moves the current guard onto the service (a temporary guard
   first, then the guard's own reference, then the temporary lets go), does
   the work under the registry lock, and drops the guard after leaving it.
   The service is the only object: the next guard stays empty. Objects with
   no reference are passed over. */
inline guardedWalk(work) {
    enter(refMutex);
    if
    :: registered && refCount > 0 ->
        hold(TEMP);
        hold(GUARD);
        letGo(TEMP, n);
        if
        :: work == FINI_EACH -> skip
        :: work == CUT_MODULE ->
            enter(holderLock);
            cutLoose(STUB);
            exit(holderLock)
        :: work == CUT_ALL ->
            enter(holderLock);
            cutLoose(STUB);
            cutLoose(OWN);
            cutLoose(OTHER);
            cutLoose(TEMP);
            cutLoose(RETIRED);
            exit(holderLock)
        fi
    :: else
    fi;
    exit(refMutex);
    letGo(GUARD, n)
}

/* createTBuf: CMN_ServiceStub::callBound. Counted in, the binding read;
   unbound, it binds under the stub's mutex and leaves it; the factory call
   runs with no lock held; the last call out lets go of a retired holder. */
inline createTBuf() {
    callsInFlight++;
    if
    :: !bound[STUB] ->
        lock(stubMutex);
        bindIfUnbound();
        unlock(stubMutex)
    :: else
    fi;
    if
    :: bound[STUB] -> factoryCall()
    :: else
    fi;
    callsInFlight--;
    if
    :: callsInFlight == 0 && pending -> reclaim(n)
    :: else
    fi
}

/* A client's aBuf, from aBuf::aBuf() to its end: CMN_ServiceStub::ref,
   createTBuf, adopt() (the aBuf's holder claims the buffer), then
   CMN_ObjectStub::~CMN_ObjectStub (drops the buffer, which dies) and
   CMN_ServiceStub::unref, which unbinds the stub at 0. */
proctype ABufUser() {
    bool found;
    byte n;

    lock(stubMutex);
    bindIfUnbound();
    useCount++;
    unlock(stubMutex);

    createTBuf();
    bufferStep();

    lock(stubMutex);
    useCount--;
    if
    :: useCount == 0 -> retire(); unlock(stubMutex); letGoRetired(n)
    :: else -> unlock(stubMutex)
    fi;
    usersDone++
}

/* A zip buffer making its output (TZipBufferImpl::ZipTBuf, through
   copyOutput): createTBuf without an aBuf, so with no use count of its own. */
proctype ZipBufferUser() {
    bool found;
    byte n;
    createTBuf();
    usersDone++
}

/* Another module's stub: CMN_Stub(TypifiedID) (initPointee at once) and
   ~CMN_Stub (remReference). */
proctype OtherModuleStub() {
    bool found;
    byte n;
    lookupAndHold(OTHER);
    letGo(OTHER, n);
    usersDone++
}

/* The service module's own thread. While the others run: the queries, a
   getObj() guard, finiAll() and unhookObjs() of the client module. Once they
   are done: the unload protocol of HostModules::unloadOne. */
proctype ServiceModule() {
    byte n, before, after;

    /* CMN_ObjectManager::moduleIsUsed */
    anyHolder();

    /* CMN_ObjectManager::getObj, then DummyHolder::die */
    enter(refMutex);
    if
    :: registered && refCount > 0 -> hold(TEMP)
    :: else
    fi;
    exit(refMutex);
    letGo(TEMP, n);

    /* CMN_ObjectManager::finiAll: the service's fini() takes no lock */
    guardedWalk(FINI_EACH);

    /* CMN_ObjectManager::unhookObjs, for the client module's holders */
    guardedWalk(CUT_MODULE);

    /* HostModules::unloadAll: the module leaves the host's list; then
       unloadOne: the unload call (CMN_ModuleEntry: finiAll, then the
       module's stub lets go), moduleIsUsed, fini */
    usersDone == 3;
    lock(hostLock);
    hostLists = false;
    unlock(hostLock);
    guardedWalk(FINI_EACH);
    letGo(OWN, n);
    anyHolder();
    guardedWalk(CUT_ALL)
}

init {
    byte total;
    atomic {
        registered = true;
        alive = true;
        hold(OWN);
        run ABufUser();
        run ZipBufferUser();
        run OtherModuleStub();
        run ServiceModule()
    }
    _nr_pr == 1;
    /* Everything let go: no lock held, no count or item left, the service
       destroyed with its last reference and unregistered. */
    listedTotal(total);
    assert(refMutex.owner == NONE && holderLock.owner == NONE && stubMutex == NONE && hostLock == NONE && listLock == NONE);
    assert(total == 0 && refCount == 0 && !alive && !registered);
    assert(!bound[STUB] && !bound[OTHER] && !bound[RETIRED] && useCount == 0 && callsInFlight == 0 && !pending)
}
