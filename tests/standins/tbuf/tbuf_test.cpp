// The byte-buffer peer, libs_tbuf.so, loaded by the reference host and driven
// through its interfaces.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>

#include "cmn_grefptr.h"
#include "s_tbuf.h"
#include "standin_host.h"
#include "tbuf.h"

namespace {

using Holder = CMN_GRefPtr<TBuf>;

// The contents, checking the NUL behind them and that an empty buffer has no data.
std::string contents(TBuf* b) {
    if (b->len() == 0) return b->datap() == nullptr ? "" : "(empty with data)";
    if (b->datap()[b->len()] != 0) return "(no NUL behind)";
    return std::string(reinterpret_cast<char*>(b->datap()), b->len());
}

class StandinTBuf : public OneModule<X509CmnSrv_I> {
protected:
    void SetUp() override { load("libs_tbuf.so", Tuint32ID(111)); }
    int live() { return registered() - 2; }  // beyond the module object and the factory
};

TEST_F(StandinTBuf, EveryFactoryFormMakesAHeldCopy) {
    expectContract(111);
    EXPECT_EQ(m.service->getService(Tuint32ID(64)), nullptr);
    unsigned char bytes[] = {1, 0, 2, 3};
    TBuf* text = service->createTBuf("hello");
    std::pair<TBuf*, std::string> const made[] = {{service->createTBuf(), ""},
                                                  {text, "hello"},
                                                  {service->createTBuf(static_cast<char const*>(nullptr)), ""},
                                                  {service->createTBuf(bytes, 4), std::string("\1\0\2\3", 4)},
                                                  {service->createTBuf(nullptr, 0), ""},
                                                  {service->createTBuf(text), "hello"},
                                                  {service->createTBuf(static_cast<TBuf*>(nullptr)), ""}};
    bytes[0] = 9;  // the caller's bytes may change once the call returns
    EXPECT_EQ(service->createTBuf(nullptr, 3), nullptr);
    EXPECT_EQ(live(), 7);
    for (auto const& c : made) {
        EXPECT_EQ(contents(c.first) + std::to_string(c.first->references()), c.second + "1");
        EXPECT_EQ(c.first->release(), 0);
    }
    EXPECT_EQ(live(), 0);
}

// Each operation on a buffer holding "0123456789": its code and what the
// buffer holds afterwards (a failure changes nothing).
TEST_F(StandinTBuf, OperationsAndTheirCodes) {
    char tmpl[] = "/tmp/t3-tbuf.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string const dir = tmpl, file = dir + "/file", huge = dir + "/huge", digits = "0123456789";
    TBuf *abc = service->createTBuf("abc"), *same = service->createTBuf(digits.c_str()),
         *shorter = service->createTBuf("012345678"), *other = service->createTBuf("0123456788");
    ASSERT_EQ(abc->save(file.c_str()), 0);
    int fd = open(huge.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, off_t(5) << 30), 0) << "needs 64-bit file offsets";
    close(fd);
#define OP(expr) [&](TBuf* b) { return expr; }
    std::tuple<char const*, std::function<int(TBuf*)>, int, std::string> const cases[] = {
        {"set null", OP(b->set(static_cast<char const*>(nullptr))), S_TBUF_BAD_ARGUMENT, digits},
        {"set null bytes", OP(b->set(nullptr, 4)), S_TBUF_BAD_ARGUMENT, digits},
        {"set from inside", OP(b->set(b->datap() + 6, 4)), 0, "6789"},
        {"set none", OP(b->set(nullptr, 0)), 0, ""},
        {"dup null", OP(b->dup(nullptr)), S_TBUF_BAD_ARGUMENT, digits},
        {"dup self", OP(b->dup(b)), 0, digits},
        {"dup", OP(b->dup(abc)), 0, "abc"},
        {"shift 11", OP(b->shift(11)), S_TBUF_OUT_OF_RANGE, digits},
        {"retreat 11", OP(b->retreat(11)), S_TBUF_OUT_OF_RANGE, digits},
        {"shift 3", OP(b->shift(3)), 0, "3456789"},
        {"retreat 2", OP(b->retreat(2)), 0, "01234567"},
        {"shift 0", OP(b->shift(0)), 0, digits},
        {"shift 10", OP(b->shift(10)), 0, ""},
        {"retreat 10", OP(b->retreat(10)), 0, ""},
        {"slots", OP(b->reservedSlot5() + b->reservedSlot9()), 2 * S_TBUF_NOT_SUPPORTED, digits},
        {"!= same", OP(*b != same), 0, digits},
        {"!= itself", OP(*b != b), 0, digits},
        {"!= shorter", OP(*b != shorter), 1, digits},
        {"!= other", OP(*b != other), 1, digits},
        {"!= longer", OP(*shorter != b), 1, digits},
        {"!= null", OP(*b != nullptr), 1, digits},
        {"load null", OP(b->load(nullptr)), S_TBUF_BAD_ARGUMENT, digits},
        {"save null", OP(b->save(nullptr)), S_TBUF_BAD_ARGUMENT, digits},
        {"load", OP(b->load(file.c_str())), 0, "abc"},
        {"load missing", OP(b->load((dir + "/absent").c_str())), S_TBUF_FILE_MISSING, digits},
        {"load under a file", OP(b->load((file + "/x").c_str())), S_TBUF_FILE_MISSING, digits},
        {"load a directory", OP(b->load(dir.c_str())), S_TBUF_FILE_UNREADABLE, digits},
        {"load too large", OP(b->load(huge.c_str())), S_TBUF_FILE_TOO_LARGE, digits},
        {"save, no directory", OP(b->save((dir + "/absent/f").c_str())), S_TBUF_FILE_UNWRITABLE, digits},
        {"save over a directory", OP(b->save(dir.c_str())), S_TBUF_FILE_UNWRITABLE, digits},
        {"save over a file", OP(b->save(file.c_str())), 0, digits},
    };
#undef OP
    for (auto const& c : cases) {
        TBuf* b = service->createTBuf(digits.c_str());
        EXPECT_EQ(std::get<1>(c)(b), std::get<2>(c)) << std::get<0>(c);
        EXPECT_EQ(contents(b), std::get<3>(c)) << std::get<0>(c);
        b->release();
    }
    // Large contents (from 128 KiB on) are stored in reused blocks of their own
    // kind: copies, moves within, loads and shrinking keep every byte and NUL.
    std::string big(300000, 'x');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i * 7 % 26);
    TBuf* large = service->createTBuf(big.c_str());
    ASSERT_EQ(large->save(file.c_str()), 0);
    for (int round = 0; round < 3; ++round) {
        TBuf* c = service->createTBuf(large);
        EXPECT_TRUE(c->shift(1000) == 0 && c->retreat(1000) == 0 && contents(c) == big.substr(1000, 298000));
        EXPECT_TRUE(c->set(c->datap() + 5, 200000) == 0 && contents(c) == big.substr(1005, 200000));
        EXPECT_TRUE(c->load(file.c_str()) == 0 && contents(c) == big && (*c != large) == 0);
        EXPECT_TRUE(c->dup(same) == 0 && contents(c) == digits && contents(large) == big) << round;
        c->release();
    }
    large->release();
    // The last save replaced the file whole and left no temporary behind.
    ASSERT_EQ(same->save(file.c_str()), 0);
    EXPECT_EQ(abc->load(file.c_str()), 0);
    EXPECT_EQ(contents(abc), digits);
    EXPECT_EQ(std::system(("test \"$(ls -A " + dir + " | tr '\\n' ' ')\" = 'file huge '").c_str()), 0);
    EXPECT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
    for (TBuf* b : {abc, same, shorter, other}) b->release();
}

// Every order in which holds and holders end frees the buffer once, at the
// last of them; holds share one reference, also taken from many threads.
TEST_F(StandinTBuf, ABufferGoesWithItsLastHoldOrHolder) {
    TBuf *a = service->createTBuf("a"), *b = service->createTBuf("b"), *shared = service->createTBuf("shared");
    {
        Holder h(a), g(b);
        EXPECT_EQ(a->release(), 0);
        EXPECT_EQ(a->references() + live(), 4);
    }
    EXPECT_EQ(live(), 2);
    {
        Holder h(b);  // the braces run the calls in order
        int const steps[] = {b->acquire(), b->acquire(),    b->references(), b->release(),
                             b->release(), b->release(),    b->release(),    b->references(),
                             b->acquire(), b->references(), b->release()};
        EXPECT_EQ(std::vector<int>(steps, steps + 11),
                  (std::vector<int>{2, 3, 2, 2, 1, 0, S_TBUF_NOT_HELD, 1, 1, 2, 0}));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) wrong += shared->acquire() < 2 || shared->release() < 1;
        });
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong.load() + shared->release() + live(), 0);
}

// After the unload call buffers refuse new holds and give back the ones they
// have; then the protocol cuts every holder loose and nothing is left.
TEST_F(StandinTBuf, TheUnloadProtocolRefusesNewHoldsThenCutsEveryHoldLoose) {
    TBuf *heldOnly = service->createTBuf("a"), *both = service->createTBuf("b"), *twice = service->createTBuf("c");
    EXPECT_EQ(twice->acquire(), 2);
    Holder h(both);
    CMN_GRefPtr<X509CmnSrv_I> f(service);
    m.entry(nullptr, 0);  // the protocol's first step by hand, to look before the others
    EXPECT_EQ(heldOnly->acquire() + both->acquire(), 2 * S_TBUF_HOLD_REFUSED);
    EXPECT_EQ(contents(heldOnly), "a");
    EXPECT_EQ(twice->release(), 1);
    EXPECT_EQ(twice->release(), 0);
    EXPECT_EQ(report(host.unloadAll()), "TBUF 3 used 0 closed gone;");
    EXPECT_TRUE(h.get() == nullptr && f.get() == nullptr);
}

}  // namespace
