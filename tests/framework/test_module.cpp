// The module globals a module built on the framework supplies; the framework
// tests run as a module named "TEST".
#include "cmn_om_s.h"
#include "modmgr.h"

static TstringID ModuleID("TEST");
TypifiedID* pModuleID = &ModuleID;
ModMgr_Interface* ModMgr = nullptr;
