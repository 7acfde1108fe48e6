#pragma once
// Another library's zip.h, as a consumer of the package may have on its
// include path: <zip.h> must find this one, never the package's.
#define OTHER_LIBRARY_ZIP_H 1
struct other_archive;
