#pragma once
// A readable picture of the modules' object registries.
//
// For each loaded module: every registered object (address, dynamic type,
// reference count) and every holder listed on it, with the identifier of the
// module that owns the holder. Everything is read through the layouts the
// modules share, under the module's registry lock and, for each object, under
// its holder-list lock, so the picture is consistent for each module. Calling
// getModuleID() on a holder runs code of the holder's module, which must
// still be loaded: a holder of an unloaded module would already have been cut
// loose by the unload protocol.

#include <ostream>

#include "host_modules.h"

// Plain text, one module after the other.
void dumpRegistries(HostModules const& modules, std::ostream& out);
// A Graphviz digraph: a cluster of objects per module, one node per holder,
// labelled with its module, and an edge from each holder to what it holds.
void dumpRegistriesDot(HostModules const& modules, std::ostream& out);
