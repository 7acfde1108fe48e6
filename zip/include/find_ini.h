#pragma once
/// @file
///
/// The compression switch: the file "s_zip.ini" in the host's configuration
/// directory, whose key "Compress" set to 1 turns compression on.
///
/// The directory comes from the host's configuration library
/// (vela_get_config_dir, in libs_ini.so). Path arrays handed out here belong to
/// the caller and are released with delete[].
///
/// Nothing here keeps state between calls or takes a lock: the functions may
/// run on any number of threads at once.

#include "cmn_export.h"

/// The result of get_ini_file_path when the file cannot be found or opened.
enum : int { INI_NOT_FOUND = 9 };

/// 0 when `name` exists in the configuration directory and opens for reading:
/// *path is then a new array with its full path. INI_NOT_FOUND otherwise: for a
/// null `path` or `name`, an empty `name` (*path untouched in these cases), no
/// configuration directory, a missing or unreadable file, or a failed
/// allocation (*path null in these cases).
CMN_EXPORT int get_ini_file_path(char** path, char const* name);

/// `dir` and `name` joined by exactly one slash, when that file opens for
/// reading; null when it does not, when an argument is null or `dir` is empty
/// (no directory), or when the allocation fails.
CMN_EXPORT char* make_ini_file_path(char const* dir, char const* name);
