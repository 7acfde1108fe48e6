// libFuzzer entry point: any input is a switch file.
#include <cstdlib>

#include "tests/zip/fuzz/switch_check.h"

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, std::size_t size) {
    if (!checkSwitchFile(data, size)) std::abort();
    return 0;
}
