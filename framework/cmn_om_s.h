#pragma once
/// @file
///
/// Module identity, the host link, and the contract every module's service
/// object offers the host.
///
/// A module built on the framework supplies two globals: `pModuleID`, pointing
/// at its identifier (set statically, never changed), and `ModMgr`, the host's
/// module manager (null until the module's entry point records one; never
/// cleared). The framework reads them only through GetModuleID() and
/// GetModMgr(), without a lock: they are written during static initialisation
/// and by the entry point, which the host calls one call at a time.

#include "cmn_export.h"
#include "id_type.h"

class CMN_GuardedRef;
class ModMgr_Interface;

/// The module's identifier, defined by the module (its name, e.g. "ZIP");
/// stamped on every holder the module makes. Set statically, never changed.
CMN_EXPORT extern TypifiedID* pModuleID;
/// The host's module manager, defined by the module and recorded by its load
/// call; null before it, never cleared. Owned by the host.
CMN_EXPORT extern ModMgr_Interface* ModMgr;

/// The module's identifier; never null once static initialisation has run.
CMN_EXPORT TypifiedID const* GetModuleID();
/// The host's module manager; null before the module's first load call.
CMN_EXPORT ModMgr_Interface* GetModMgr();

/// The host's lookup of the service named `service` on behalf of the module
/// named `asking`, through GetModMgr(); null while no manager is known or when
/// the host knows no such service. No hold comes with the result.
///
/// This is the framework's one call into the host's module manager: the only
/// place where the framework depends on the interfaces it otherwise leaves to
/// the modules (cmn_om_s.cpp alone sees modmgr.h).
CMN_GuardedRef* CMN_LookupService(TypifiedID const* service, TypifiedID const* asking);

/// The module contract. A service interface derives from it first and from
/// CMN_GuardedRef second, and appends its own operations:
///   vtable: ~dtor, ~dtor(deleting), getModuleID, getVersion, getBuild, getService
class BaseModuleInterface {
public:
    /// Destroyed by its module only (the unload call), never by the host.
    virtual ~BaseModuleInterface() {}
    /// The module's number (65 for ZIP, 64 for the zlib service, 111 for the
    /// byte-buffer service).
    virtual int getModuleID() = 0;
    /// The module's interface version.
    virtual int getVersion() = 0;
    /// The module's build number.
    virtual int getBuild() = 0;
    /// The guarded-reference part of the module's service named `id`, or null.
    /// No hold comes with it: the caller takes its own through a holder.
    virtual CMN_GuardedRef* getService(TypifiedID const& id) = 0;
};
