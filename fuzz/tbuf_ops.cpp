// Any sequence of operations on two byte buffers of the real libs_tbuf.so,
// each checked against a std::string: every operation's code, and after it
// each buffer's length, its bytes, and the NUL that follows them. The input
// is a list of an operation byte (the operation, the buffer it acts on, the
// other buffer it reads) and an argument byte (a count or an offset); setting
// outside bytes takes them from the input after the argument.
#include <algorithm>
#include <cstring>
#include <string>

#include "cmn_abuf.h"
#include "fuzz/fuzz_host.h"
#include "s_tbuf.h"

namespace {

bool holds(TBuf* b, std::string const& m) {
    unsigned char const* d = b->datap();
    return b->len() == m.size() &&
           (m.empty() ? d == nullptr : d != nullptr && std::memcmp(d, m.data(), m.size()) == 0 && d[m.size()] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(unsigned char const* data, std::size_t size) {
    NothingHeldAfter const check;
    TBuf* buf[2] = {createTBuf(), createTBuf()};
    std::string model[2];
    for (std::size_t at = 2; at <= size; at += 2) {
        unsigned char const op = data[at - 2], n = data[at - 1];
        int const i = op >> 3 & 1, j = op >> 4 & 1;
        std::string& m = model[i];
        TBuf* const b = buf[i];
        std::size_t const from = n % (m.size() + 1), count = (m.size() - from) >> (op >> 5);
        switch (op & 7) {
            case 0: {  // outside bytes, or the same as a string: up to the first NUL
                std::string const s(reinterpret_cast<char const*>(data + at), std::min<std::size_t>(n, size - at));
                at += s.size();
                m = op & 0x20 ? s.c_str() : s;
                auto const bytes = reinterpret_cast<unsigned char const*>(s.data());
                FUZZ_CHECK((op & 0x20 ? b->set(s.c_str()) : b->set(bytes, s.size())) == 0);
                break;
            }
            case 1:  // compared, then made a copy of the other
            case 2:
                FUZZ_CHECK(b->operator!=(buf[j]) == (m != model[j]) && b->dup(buf[j]) == 0);
                m = model[j];
                break;
            case 3:  // bytes of the buffer itself
                FUZZ_CHECK(b->set(b->datap() + from, count) == 0);
                m = m.substr(from, count);
                break;
            case 4:
            case 5:
                FUZZ_CHECK((op & 1 ? b->retreat(n) : b->shift(n)) == (n > m.size() ? S_TBUF_OUT_OF_RANGE : 0));
                if (n <= m.size()) m.erase(op & 1 ? m.size() - n : 0, n);
                break;
            case 6:
            case 7: {  // a copy of the other in place of the buffer, held twice for a while
                TBuf* const copy = createTBuf(buf[j]);
                FUZZ_CHECK(copy != nullptr && copy->acquire() == 2 && b->release() == 0 && copy->release() == 1);
                buf[i] = copy, m = model[j];
                break;
            }
        }
        FUZZ_CHECK(holds(buf[0], model[0]) && holds(buf[1], model[1]));
    }
    buf[0]->release(), buf[1]->release();
    return 0;
}
