// The host's own module globals. The host carries the framework and the
// client stubs like any module, so its holders are stamped "HOST" and its
// stubs look services up through the host's module manager, which a
// HostModules object installs in ModMgr for its lifetime.
#include "cmn_init_order.h"
#include "cmn_om_s.h"
#include "modmgr.h"

namespace {
TstringID HostModuleID CMN_INIT_RANK(CMN_INIT_MODULE_ENTRY)("HOST");
}  // namespace

TypifiedID* pModuleID = &HostModuleID;
ModMgr_Interface* ModMgr = nullptr;
