#pragma once
/// @file
///
/// The load and unload calls that every module's entry point GetInterfaceClass
/// makes, written once.
///
/// `serviceStub` is the module's global stub on its service object, built
/// unbound by static initialisation; its hold is what keeps the service object
/// alive between the two calls.
///
///   CMN_ModuleEntry<Service>(manager, 0, stub)     the load call: records the
///       manager, creates the service object, binds `stub` to it (the object
///       held before, if any, loses that hold) and returns it, held by `stub`
///       alone (count 1).
///   CMN_ModuleEntry<Service>(manager, n != 0, stub) records the manager only;
///       returns null.
///   CMN_ModuleEntry<Service>(null, any, stub)      the unload call: every live
///       object of the module finishes while `stub` still holds the service
///       object; then `stub` lets go, which may destroy it. Returns null.
///
/// Should an allocation fail in the load call, the failure propagates and
/// nothing is left half built: the new object is deleted while nobody holds
/// it, or goes with the temporary stub's hold. The host makes these calls one
/// at a time; no lock is taken here.

#include <memory>

#include "cmn_obj_mgr.h"
#include "cmn_om_s.h"

/// The load and unload calls of a module's GetInterfaceClass (see above):
/// returns the new service object on the load call (`flags` 0), else null.
/// `Service` is the module's service class, `Stub` its stub type.
template <class Service, class Stub>
BaseModuleInterface* CMN_ModuleEntry(ModMgr_Interface* manager, int flags, Stub& serviceStub) {
    if (manager == nullptr) {
        ObjectManager.finiAll();
        serviceStub = Stub(static_cast<Service*>(nullptr));
        return nullptr;
    }
    ModMgr = manager;
    if (flags != 0) return nullptr;
    // A temporary stub takes the first hold, serviceStub its own, then the
    // temporary lets go.
    std::unique_ptr<Service> fresh(new Service);
    Stub held(fresh.get());
    Service* service = fresh.release();
    serviceStub = held;
    return service;
}
