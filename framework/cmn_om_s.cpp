#include "cmn_om_s.h"

// The seam between the framework and the host: the build gives this unit, and
// no other of the framework, the interfaces folder.
#include "modmgr.h"

TypifiedID const* GetModuleID() { return pModuleID; }
ModMgr_Interface* GetModMgr() { return ModMgr; }

CMN_GuardedRef* CMN_LookupService(TypifiedID const* service, TypifiedID const* asking) {
    ModMgr_Interface* mgr = GetModMgr();
    return mgr != nullptr ? mgr->lookupService(service, asking) : nullptr;
}
