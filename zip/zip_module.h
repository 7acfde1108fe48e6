#pragma once
// The ZIP module's own entry point and globals, and the switch reader its zip
// buffers consult. Private to the module: clients reach the service through
// the host's module manager and the contract in zip.h, and the host finds the
// entry point by name.

#include "cmn_export.h"
#include "modmgr.h"
#include "zip.h"

// The module's own stub on its service object (zipC.h): unbound until the
// load call, bound to the service object from the load call to the unload
// call.
class TZip;
CMN_EXPORT extern TZip TZipS;

extern "C" {
// Load call: GetInterfaceClass(manager, 0). Unload call: GetInterfaceClass(null, any).
CMN_EXPORT BaseModuleInterface* GetInterfaceClass(ModMgr_Interface* manager, int flags);
}

// Whether "s_zip.ini" switches compression on. Read afresh at every call; any
// failure to find or read the file means off.
bool read_compress_switch();
