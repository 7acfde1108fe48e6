// The module globals a module built on the framework supplies; the client
// tests run as a module named "CLIENT".
#include "cmn_om_s.h"
#include "modmgr.h"

static TstringID ModuleID("CLIENT");
TypifiedID* pModuleID = &ModuleID;
ModMgr_Interface* ModMgr = nullptr;
