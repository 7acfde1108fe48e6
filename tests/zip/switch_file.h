#pragma once
// The configuration directory of the in-process ZIP module tests: the test
// binary's stand-in for vela_get_config_dir answers a private temporary
// directory (one per process, removed at exit) until reportConfigDir names
// another one; null makes the query fail.

#include <string>

std::string const& configDir();
void reportConfigDir(char const* dir);
void writeSwitchFile(std::string const& content);  // any bytes, as "s_zip.ini"
int fopenCallsForReading();                        // fopen(path, "r") calls so far, by anyone
