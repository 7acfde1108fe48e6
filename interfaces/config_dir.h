#pragma once
/// @file
///
/// The host's configuration library, libs_ini, as modules see it: one C
/// function that names the directory of the host's configuration files.
///
/// On success vela_get_config_dir returns 0 and sets *dir to a NUL-terminated
/// path (no trailing slash guaranteed) that belongs to the library and stays
/// valid until the library is unloaded; the caller never frees it. On failure
/// it returns non-zero and leaves *dir untouched. Any number of threads may
/// call at once.

#ifdef __cplusplus
extern "C" {
#endif

/// The folder of the host's configuration files, in `*dir` (see above); 0 on
/// success, non-zero otherwise.
__attribute__((visibility("default"))) int vela_get_config_dir(char const** dir);

#ifdef __cplusplus
}
#endif
