#include "tests/zip/fuzz/switch_check.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "find_ini.h"
#include "zip_module.h"

namespace {

// The reader's rules, stated another way: pieces of at most 62 bytes ending
// early after a newline; a piece ends at its first NUL; tokens between the
// delimiters " =,\t\n"; the first piece with the key "Compress" and a value
// decides; the value is 1 when, after C-locale white space and an optional
// '+', its digits are any zeros and then a single 1.
bool valueIsOne(std::string const& v) {
    std::size_t i = v.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos) return false;
    if (v[i] == '+') ++i;
    else if (v[i] == '-') return false;
    while (i < v.size() && v[i] == '0') ++i;
    return i < v.size() && v[i] == '1' && (i + 1 == v.size() || v[i + 1] < '0' || v[i + 1] > '9');
}

bool model(uint8_t const* data, std::size_t size) {
    static char const delimiters[] = " =,\t\n";
    std::size_t at = 0;
    while (at < size) {
        std::size_t end = at;
        while (end < size && end - at < 62) {
            if (data[end++] == '\n') break;
        }
        std::string piece(reinterpret_cast<char const*>(data + at), end - at);
        at = end;
        piece = piece.substr(0, piece.find('\0'));
        std::vector<std::string> tokens;
        std::size_t p = piece.find_first_not_of(delimiters);
        while (p != std::string::npos && tokens.size() < 2) {
            std::size_t q = piece.find_first_of(delimiters, p);
            tokens.push_back(piece.substr(p, q == std::string::npos ? std::string::npos : q - p));
            p = q == std::string::npos ? q : piece.find_first_not_of(delimiters, q);
        }
        if (tokens.size() == 2 && tokens[0] == "Compress") return valueIsOne(tokens[1]);
    }
    return false;
}

// A configuration directory of this process, removed at exit.
struct Directory {
    Directory() {
        char tmpl[] = "/tmp/zip_switch.XXXXXX";
        if (mkdtemp(tmpl) != nullptr) path = tmpl;
        file = path + "/s_zip.ini";
    }
    ~Directory() {
        std::remove(file.c_str());
        rmdir(path.c_str());
    }
    std::string path;
    std::string file;
};

Directory& directory() {
    static Directory d;
    return d;
}

}  // namespace

extern "C" int vela_get_config_dir(char const** dir) {
    if (dir == nullptr || directory().path.empty()) return 2;
    *dir = directory().path.c_str();
    return 0;
}

bool checkSwitchFile(uint8_t const* data, std::size_t size) {
    std::FILE* f = std::fopen(directory().file.c_str(), "wb");
    if (f == nullptr) return true;  // nothing to compare
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
    bool const actual = read_compress_switch();
    bool const expected = model(data, size);
    if (actual == expected) return true;
    std::fprintf(stderr, "switch reader says %s, the model %s, for %zu bytes:\n", actual ? "on" : "off",
                 expected ? "on" : "off", size);
    for (std::size_t i = 0; i < size; ++i) std::fprintf(stderr, "%02x%s", data[i], i % 32 == 31 ? "\n" : " ");
    std::fprintf(stderr, "\n");
    return false;
}
