// The module entry point and the ZIP service object, including the order of
// their virtual operations as another module calls them (raw table slots).
#include "stubs/zipC.h"
#include "tests/zip/module_fixture.h"
#include "zip/zip_impl.h"

namespace {

// Calls slot `slot` of the table at the start of `object`, as a module
// compiled elsewhere would: the object's address is the first argument.
template <class R, class... A>
R callSlot(void const* object, int slot, A... args) {
    void* const* table = *static_cast<void* const* const*>(object);
    return reinterpret_cast<R (*)(void const*, A...)>(table[slot])(object, args...);
}

int registered() {
    int n = 0;
    for (CMN_GuardedRef* o = ObjectManager.objects; o != nullptr; o = o->next) ++n;
    return n;
}

bool isRegistered(CMN_GuardedRef const* g) {
    for (CMN_GuardedRef* o = ObjectManager.objects; o != nullptr; o = o->next)
        if (o == g) return true;
    return false;
}

TZip_Interface* zipOf(BaseModuleInterface* s) { return static_cast<TZip_Interface*>(s); }
CMN_GuardedRef* guardedOf(BaseModuleInterface* s) { return zipOf(s); }

// Records how the unload call treats another registered object.
class FiniProbe : public CMN_GuardedRef {
public:
    unsigned int init() override { return 0; }
    unsigned int fini() override {
        ++finis;
        serviceHeldMeanwhile = TZipS.isBound();
        return 0;
    }
    int finis = 0;
    bool serviceHeldMeanwhile = false;
};

TEST_F(ZipModule, LoadCallHandsOutTheServiceHeldByTZipSAlone) {
    EXPECT_EQ(service->getModuleID(), ZIP_MODULE_NUMBER);
    EXPECT_EQ(service->getVersion(), ZIP_MODULE_VERSION);
    EXPECT_EQ(service->getBuild(), ZIP_MODULE_BUILD);
    EXPECT_EQ(TZipS.holder.get(), zipOf(service));
    EXPECT_EQ(zipOf(service)->references(), 1);
    ASSERT_EQ(zipOf(service)->holders.count, 1u);
    EXPECT_EQ(zipOf(service)->holders.head->item, &TZipS.holder);
    EXPECT_EQ(TZipS.holder.getModuleID(), GetModuleID());
    EXPECT_EQ(GetModMgr(), &manager());
    EXPECT_TRUE(*GetModuleID() == TstringID("ZIP"));
}

TEST_F(ZipModule, LoadCallWithNonZeroIntegerOnlyRecordsTheManager) {
    FakeModMgr other;
    int const before = registered();
    EXPECT_EQ(GetInterfaceClass(&other, 7), nullptr);
    EXPECT_EQ(GetModMgr(), &other);
    EXPECT_EQ(registered(), before);
    EXPECT_EQ(TZipS.holder.get(), zipOf(service));
    EXPECT_EQ(GetInterfaceClass(&manager(), -1), nullptr);
    EXPECT_EQ(GetModMgr(), &manager());
}

TEST_F(ZipModule, UnloadFinishesEveryObjectBeforeLettingGoOfTheService) {
    CMN_GRefPtr<FiniProbe> probe(new FiniProbe);
    CMN_GuardedRef* const first = guardedOf(service);
    CMN_GRefPtr<TZip_Interface> other(zipOf(service));  // another holder of the service
    EXPECT_EQ(GetInterfaceClass(nullptr, 0), nullptr);
    EXPECT_EQ(probe.get()->finis, 1);
    EXPECT_TRUE(probe.get()->serviceHeldMeanwhile);
    EXPECT_FALSE(TZipS.isBound());
    EXPECT_EQ(other.get()->references(), 1);
    EXPECT_EQ(GetModMgr(), &manager());  // never cleared
    other.replacePointee(nullptr);
    EXPECT_FALSE(isRegistered(first));
}

TEST(ZipEntry, UnloadWithoutLoadFinishesWhatIsRegistered) {
    CMN_GRefPtr<FiniProbe> probe(new FiniProbe);
    EXPECT_EQ(GetInterfaceClass(nullptr, 3), nullptr);
    EXPECT_EQ(probe.get()->finis, 1);
    EXPECT_FALSE(probe.get()->serviceHeldMeanwhile);
    EXPECT_FALSE(TZipS.isBound());
}

TEST_F(ZipModule, SecondLoadCallMovesTZipSToANewService) {
    CMN_GuardedRef* const firstGuarded = guardedOf(service);
    CMN_GRefPtr<TZip_Interface> first(zipOf(service));
    BaseModuleInterface* second = GetInterfaceClass(&manager(), 0);
    manager().zip = second;
    ASSERT_NE(second, service);
    EXPECT_EQ(TZipS.holder.get(), zipOf(second));
    EXPECT_EQ(zipOf(second)->references(), 1);
    EXPECT_EQ(first.get()->references(), 1);
    first.replacePointee(nullptr);  // without TZipS, the first one goes
    EXPECT_FALSE(isRegistered(firstGuarded));
}

TEST_F(ZipModule, GetServiceAnswersOnlyToZIP) {
    EXPECT_EQ(service->getService(TstringID("ZIP")), guardedOf(service));
    EXPECT_EQ(service->getService(TstringID("zip")), nullptr);
    EXPECT_EQ(service->getService(TstringID("ZIP ")), nullptr);
    EXPECT_EQ(service->getService(Tuint32ID(65)), nullptr);
    EXPECT_EQ(service->getService(TZipID), guardedOf(service));
}

TEST_F(ZipModule, NewZipBufferIsUnclaimedUntilItsFirstHolder) {
    FakeBuf* in = new FakeBuf({1});
    TZipBuffer_Interface* zb = TZip(zipOf(service)).createTZipBuffer(in);
    ASSERT_NE(zb, nullptr);
    EXPECT_EQ(zb->references(), 0);
    EXPECT_EQ(zb->holders.count, 0u);
    EXPECT_EQ(ObjectManager.objects, zb);
    EXPECT_EQ(in->holds, 2);
    { CMN_GRefPtr<TZipBuffer_Interface> first(zb); }
    EXPECT_FALSE(isRegistered(zb));
    EXPECT_EQ(in->holds, 1);
    in->release();
}

TEST_F(ZipModule, StubsOnTheServiceObject) {
    FakeBuf* in = new FakeBuf({1});
    EXPECT_EQ(TZip(nullptr).createTZipBuffer(in), nullptr);
    EXPECT_EQ(in->holds, 1);
    EXPECT_TRUE(TZip().isBound());
    ModMgr_Interface* const recorded = ModMgr;
    ModMgr = nullptr;
    EXPECT_FALSE(TZip().isBound());
    ModMgr = recorded;
    in->release();
}

// The service object as another module sees it: the primary table through
// its BaseModuleInterface part, and the table of its CMN_GuardedRef part.
class SlotProbe : public TZipImpl {
public:
    ~SlotProbe() override { ++destroyed; }
    unsigned int init() override { return 7; }
    unsigned int fini() override { return 8; }
    static int destroyed;
};
int SlotProbe::destroyed = 0;

TEST_F(ZipModule, ServiceTableSlots) {
    void const* primary = static_cast<BaseModuleInterface*>(zipOf(service));
    EXPECT_EQ((callSlot<int>(primary, 2)), ZIP_MODULE_NUMBER);
    EXPECT_EQ((callSlot<int>(primary, 3)), ZIP_MODULE_VERSION);
    EXPECT_EQ((callSlot<int>(primary, 4)), ZIP_MODULE_BUILD);
    TstringID const zip("ZIP");
    EXPECT_EQ((callSlot<CMN_GuardedRef*, TypifiedID const*>(primary, 5, &zip)), guardedOf(service));
    FakeBuf* in = new FakeBuf({1});
    auto* zb = callSlot<TZipBuffer_Interface*, TBuf*>(primary, 6, in);
    EXPECT_EQ(zb->references(), 0);
    { CMN_GRefPtr<TZipBuffer_Interface> claim(zb); }
    EXPECT_EQ(in->holds, 1);
    in->release();

    int const destroyedBefore = SlotProbe::destroyed;
    auto* probe = new SlotProbe;
    void const* probePrimary = static_cast<BaseModuleInterface*>(probe);
    void const* probeGuarded = static_cast<CMN_GuardedRef*>(probe);
    EXPECT_NE(probePrimary, probeGuarded);
    EXPECT_EQ((callSlot<unsigned int>(probePrimary, 7)), 7u);  // init
    EXPECT_EQ((callSlot<unsigned int>(probePrimary, 8)), 8u);  // fini
    EXPECT_EQ((callSlot<unsigned int>(probeGuarded, 2)), 7u);
    EXPECT_EQ((callSlot<unsigned int>(probeGuarded, 3)), 8u);
    EXPECT_EQ((callSlot<unsigned int>(static_cast<CMN_GuardedRef*>(zipOf(service)), 2)), 0u);
    callSlot<void>(probeGuarded, 1);  // deleting destructor, through the guarded part
    EXPECT_EQ(SlotProbe::destroyed, destroyedBefore + 1);
}

TEST_F(ZipModule, ZipBufferTableSlots) {
    zlib.get()->script.decompressCode = 77;
    FakeBuf* in = new FakeBuf({1, 2});
    TZipBuffer_Interface* zb = zipOf(service)->createTZipBuffer(in);
    EXPECT_EQ((callSlot<unsigned int>(zb, 2)), 0u);  // init
    EXPECT_EQ((callSlot<unsigned int>(zb, 3)), 0u);  // fini
    EXPECT_EQ((callSlot<unsigned int>(zb, 4)), ZIP_OK);  // ZipTBuf, switch off
    EXPECT_EQ((callSlot<TBuf*>(zb, 6)), in);             // GetResultTBuf
    EXPECT_EQ(zlib.get()->asked, 0);
    EXPECT_EQ((callSlot<unsigned int>(zb, 5)), 77u);     // UnzipTBuf
    EXPECT_EQ(zlib.get()->asked, 1);
    EXPECT_EQ((callSlot<TBuf*>(zb, 6)), nullptr);
    callSlot<void>(zb, 1);  // deleting destructor of an unclaimed zip buffer
    EXPECT_FALSE(isRegistered(zb));
    EXPECT_EQ(in->holds, 1);
    in->release();
}

}  // namespace
