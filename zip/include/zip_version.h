#pragma once
/// @file
///
/// The version of this package: of `libs_zip.so`, its headers, the CMake
/// package `SZip` and the pkg-config files. The three numbers below are the
/// one place it is written; the build reads them from here (`project()` in
/// CMakeLists.txt), so the SONAME (`libs_zip.so.<major>`), `find_package(SZip
/// <major>)`, `pkg-config --modversion s_zip` and the API reference agree.
///
/// A major version changes the binary interface or the meaning of a call; a
/// minor one adds to it; a patch fixes (CHANGELOG.md).
///
///     #if S_ZIP_VERSION >= S_ZIP_MAKE_VERSION(1, 1, 0)
///     ...   // something 1.1.0 added
///     #endif

/// The major version; the module's SONAME is `libs_zip.so.S_ZIP_VERSION_MAJOR`.
#define S_ZIP_VERSION_MAJOR 1
/// The minor version.
#define S_ZIP_VERSION_MINOR 0
/// The patch level.
#define S_ZIP_VERSION_PATCH 0

/// One number for a version, ordered as the versions are: major * 10000 +
/// minor * 100 + patch (minor and patch below 100).
#define S_ZIP_MAKE_VERSION(major, minor, patch) ((major)*10000 + (minor)*100 + (patch))
/// This version as one number, e.g. 10000 for 1.0.0.
#define S_ZIP_VERSION S_ZIP_MAKE_VERSION(S_ZIP_VERSION_MAJOR, S_ZIP_VERSION_MINOR, S_ZIP_VERSION_PATCH)

/// @cond S_ZIP_INTERNAL
#define S_ZIP_VERSION_TEXT_(major, minor, patch) #major "." #minor "." #patch
#define S_ZIP_VERSION_TEXT(major, minor, patch) S_ZIP_VERSION_TEXT_(major, minor, patch)
/// @endcond
/// This version as text, "1.0.0".
#define S_ZIP_VERSION_STRING S_ZIP_VERSION_TEXT(S_ZIP_VERSION_MAJOR, S_ZIP_VERSION_MINOR, S_ZIP_VERSION_PATCH)
