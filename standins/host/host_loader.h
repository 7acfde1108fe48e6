#pragma once
// Loading and unloading one module file: the loader half of the reference
// host, with no knowledge of the module manager.
//
// openModule() checks the file before dlopen maps it: opened without
// blocking, it must be a regular file (checked on the open descriptor) with an
// ELF header of this process's kind whose header tables and segments lie
// inside the file. Then, in a folder with a digest manifest (s_zip.sha256,
// written by the build and the install), the file and the libraries the
// manifest lists must match their digests; in a folder without one, a child
// process loads the file first, so that a file that crashes or hangs the
// dynamic loader is refused with a message instead. It opens RTLD_NOW with
// the given scope, and resolves the entry points GetInterfaceClass and
// GetObjectManager, each verified to belong to the very file opened (not to
// a dependency or a library loaded globally before it). It makes no call into
// the module beyond GetObjectManager().
// closeModule() runs dlclose, checks its result and probes with RTLD_NOLOAD
// that the file is really gone from the process.

#include <string>
#include <vector>

#include "cmn_obj_mgr.h"

// A module file, opened. Owned by whoever opened it; closed with closeModule.
struct OpenedModule {
    std::string path;                      // as opened
    std::string name;                      // the module's identifier as text, else the file name
    void* handle = nullptr;                // from dlopen
    TypifiedID const* id = nullptr;        // the module's own identifier object (pModuleID), if exported
    CMN_ObjectManager* objects = nullptr;  // from GetObjectManager()
    BaseModuleInterface* (*entry)(ModMgr_Interface*, int) = nullptr;
};

// What closing a module found.
struct CloseResult {
    bool dlcloseOk = false;
    std::string dlcloseError;
    bool stillMapped = false;  // an RTLD_NOLOAD probe still found the file
};

// Opens `path` with RTLD_NOW | `dlopenFlags`. On failure returns false with a
// message naming the file and what is wrong, and leaves nothing open.
bool openModule(std::string const& path, int dlopenFlags, OpenedModule* out, std::string* error);
// dlclose and the RTLD_NOLOAD probe; the module's calls must be done.
CloseResult closeModule(OpenedModule const& m);

// The identifier as text: the string of a TstringID, the decimal value of a
// Tuint32ID, "?" for anything else or null. Reads the shared layout only.
std::string idText(TypifiedID const* id);

// Where the host looks for modules when no folder is given: beside the
// executable's folder, in the installed module folder (ZIP_HOST_MODULE_RELDIR,
// e.g. ../lib/s_zip), ../lib/s_zip or ../lib (the build tree), whichever
// first holds libs_zip.so; empty when none does.
std::string defaultModuleDir();

// The file names of the standard modules, in loading order.
std::vector<std::string> standardModuleFiles();
