// A host built against SZip::headers (or `pkg-config --cflags s_zip`) alone:
// it sees the declarations and links nothing of the package.
#include <zip.h>

#include <s_zip/cmn_obj_mgr.h>
#include <s_zip/modmgr.h>
#include <s_zip/zip.h>

static_assert(OTHER_LIBRARY_ZIP_H == 1, "<zip.h> must be the other library's");
static_assert(ZIP_MODULE_NUMBER == 65, "<s_zip/zip.h> must be the package's");

int main() {
    using Entry = BaseModuleInterface* (*)(ModMgr_Interface*, int);
    Entry entry = nullptr;
    return entry == nullptr ? 0 : 1;
}
