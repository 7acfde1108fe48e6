#pragma once
// Differential check of the compression switch reader: the module's reader
// against an independent model of the same rules, on any file content.

#include <cstddef>
#include <cstdint>

// Writes `data` as "s_zip.ini" in a private configuration directory, reads
// the switch, and compares with the model. False (with a message on stderr)
// when they disagree.
bool checkSwitchFile(uint8_t const* data, std::size_t size);
