#include "cmn_om_s.h"

TypifiedID const* GetModuleID() { return pModuleID; }
ModMgr_Interface* GetModMgr() { return ModMgr; }
