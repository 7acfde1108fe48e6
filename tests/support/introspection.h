#pragma once
// Framework objects as the host or another module sees them: the module's
// registry, read through the framework's read-only visitor.

#include <vector>

#include "cmn_obj_mgr.h"

// The registered objects, newest first.
inline std::vector<CMN_GuardedRef*> RegisteredObjects() {
    std::vector<CMN_GuardedRef*> out;
    CMN_VisitRegistry(
        ObjectManager, [&](CMN_GuardedRef* o) { out.push_back(o); }, [](auto, auto) {});
    return out;
}
