#pragma once
// The host's configuration library, libs_ini.so: where the host keeps its
// configuration files.
//
// The configuration directory is, in order of preference:
//   1. $S_INI_CONFIG_DIR, when it is set and not empty (used as it stands);
//   2. $XDG_CONFIG_HOME/s_zip, when XDG_CONFIG_HOME is set and absolute;
//   3. $HOME/.config/s_zip, when HOME is set and not empty.
// The directory is neither created nor checked for existence.
//
// Ownership and lifetime: the returned string belongs to the library. A given
// path is stored once and stays valid, unchanged, until the library is
// unloaded; a caller never frees it. Storage grows only with the number of
// distinct directories the environment has named.
//
// Threads: any number of threads may call at once. The environment is read,
// not written; changing it while a call runs is the caller's race.

#include "config_dir.h"

// The codes vela_get_config_dir answers.
enum {
    S_INI_OK = 0,
    S_INI_NO_ARGUMENT = 1,   // `dir` is null
    S_INI_NO_DIRECTORY = 2,  // no usable variable names a directory
    S_INI_NO_MEMORY = 3      // the path could not be stored
};
