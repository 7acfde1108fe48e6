// Any bytes restored by the ZIP module through its real peers. The zlib peer,
// asked directly, decides: the zip buffer passes the input through exactly
// when the peer says it is not zlib data, gives the peer's output (never more
// than the output limit) when the peer restores it, and the peer's own code
// otherwise.
#include <cstring>
#include <string>

#include "cmn_abuf.h"
#include "fuzz/fuzz_host.h"
#include "s_zlibC.h"
#include "zipC.h"

extern "C" int LLVMFuzzerTestOneInput(unsigned char const* data, std::size_t size) {
    NothingHeldAfter const check;
    TBuf* in = createTBuf(data, static_cast<unsigned int>(size));
    TZipBuffer zip(in);
    in->release();
    unsigned int const code = zip.UnzipTBuf();

    VBuffer peer(data, size);
    int const said = peer.Decompress();
    std::string expected;
    if (said == VBUFFER_NOT_COMPRESSED) expected.assign(reinterpret_cast<char const*>(data), size);
    if (said == 0) expected.assign(reinterpret_cast<char const*>(peer.GetOutputData()), peer.GetOutputSize());
    FUZZ_CHECK(code == (said == VBUFFER_NOT_COMPRESSED ? 0u : static_cast<unsigned int>(said)));
    FUZZ_CHECK(said == VBUFFER_NOT_COMPRESSED || expected.size() <= kFuzzOutputLimit);

    TBuf* out = zip.GetResultTBuf();
    FUZZ_CHECK(out != nullptr && out->len() == expected.size() &&
               (expected.empty() || std::memcmp(out->datap(), expected.data(), expected.size()) == 0));
    out->release();
    return 0;
}
