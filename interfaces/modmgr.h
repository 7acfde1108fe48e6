#pragma once
/// @file
///
/// The host's module manager, as modules see it.
///
/// A module calls only the third entry of the table, lookupService. The first
/// two entries belong to the host: they are single-slot operations (there is
/// no virtual destructor in front of them), so lookupService stays third.
///
///   vtable: moduleCount, findModule, lookupService

#include "id_type.h"

class BaseModuleInterface;
class CMN_GuardedRef;

/// The host's module manager, owned by the host and handed to each module by
/// its load call; it must stay valid until the module's unload call. The host
/// guards its module list with its own lock; lookupService may be called from
/// any thread.
class ModMgr_Interface {
public:
    /// Host-side: number of modules loaded.
    virtual int moduleCount() = 0;
    /// Host-side: the service object of the loaded module named `module`, or null.
    virtual BaseModuleInterface* findModule(TypifiedID const* module) = 0;
    /// The guarded-reference part of the service named `service`, or null.
    /// `asking` is the identifier of the module that asks (GetModuleID()). No
    /// hold comes with the result: the caller takes its own at once.
    virtual CMN_GuardedRef* lookupService(TypifiedID const* service, TypifiedID const* asking) = 0;

protected:
    ~ModMgr_Interface() = default;
};
