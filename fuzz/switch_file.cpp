// Any bytes as the switch file, read by the module's reader and by a model of
// its rules stated another way: the file is read in pieces of at most 62
// bytes, a piece ending after a newline and, for the tokens, at its first NUL;
// the first two tokens between " =,\t\n" are key and value; the first piece
// whose key is "Compress" and has a value decides: on when the value reads as
// the decimal number 1.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "tests/zip/switch_file.h"
#include "zip_module.h"

namespace {

bool model(std::string const& file) {
    char const delimiters[] = " =,\t\n";
    for (std::size_t at = 0, end; at < file.size(); at = end) {
        end = std::min({file.find('\n', at), at + 61, file.size() - 1}) + 1;
        std::string const piece = file.substr(at, end - at).c_str();
        std::size_t const key = piece.find_first_not_of(delimiters), keyEnd = piece.find_first_of(delimiters, key);
        std::size_t const value = piece.find_first_not_of(delimiters, keyEnd);
        if (key == std::string::npos || value == std::string::npos || piece.compare(key, keyEnd - key, "Compress") != 0)
            continue;
        std::string const number = piece.substr(value, piece.find_first_of(delimiters, value) - value);
        return std::strtol(number.c_str(), nullptr, 10) == 1;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(unsigned char const* data, std::size_t size) {
    std::string const file(reinterpret_cast<char const*>(data), size);
    writeSwitchFile(file);
    if (read_compress_switch() != model(file)) std::abort();  // libFuzzer keeps the input
    return 0;
}
