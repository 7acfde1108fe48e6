// The module entry point and the ZIP service object, including the order of
// their virtual operations as another module calls them (raw table slots).
#include "zipC.h"
#include "tests/zip/module_fixture.h"
#include "zip_impl.h"
#include "zip_module.h"

namespace {

int registered() { return static_cast<int>(RegisteredObjects().size()); }

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
    EXPECT_EQ(GetModMgr(), &mgr);
    EXPECT_TRUE(*GetModuleID() == TstringID("ZIP"));
}

TEST_F(ZipModule, LoadCallWithNonZeroIntegerOnlyRecordsTheManager) {
    FakeModMgr other;
    int const before = registered();
    EXPECT_EQ(GetInterfaceClass(&other, 7), nullptr);
    EXPECT_EQ(GetModMgr(), &other);
    EXPECT_EQ(registered(), before);
    EXPECT_EQ(TZipS.holder.get(), zipOf(service));
    EXPECT_EQ(GetInterfaceClass(&mgr, -1), nullptr);
    EXPECT_EQ(GetModMgr(), &mgr);
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
    EXPECT_EQ(GetModMgr(), &mgr);  // never cleared
    other.replacePointee(nullptr);
    EXPECT_FALSE(IsRegistered(first));
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
    BaseModuleInterface* second = GetInterfaceClass(&mgr, 0);
    offerService(second);
    ASSERT_NE(second, service);
    EXPECT_EQ(TZipS.holder.get(), zipOf(second));
    EXPECT_EQ(zipOf(second)->references(), 1);
    EXPECT_EQ(first.get()->references(), 1);
    first.replacePointee(nullptr);  // without TZipS, the first one goes
    EXPECT_FALSE(IsRegistered(firstGuarded));
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
    EXPECT_FALSE(IsRegistered(zb));
    EXPECT_EQ(in->holds, 1);
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
    BaseModuleInterface* primary = zipOf(service);
    EXPECT_EQ((CallSlot<int()>(primary, 2)), ZIP_MODULE_NUMBER);
    EXPECT_EQ((CallSlot<int()>(primary, 3)), ZIP_MODULE_VERSION);
    EXPECT_EQ((CallSlot<int()>(primary, 4)), ZIP_MODULE_BUILD);
    TstringID const zip("ZIP");
    EXPECT_EQ((CallSlot<CMN_GuardedRef*(TypifiedID const&)>(primary, 5, zip)), guardedOf(service));
    FakeBuf* in = new FakeBuf({1});
    auto* zb = CallSlot<TZipBuffer_Interface*(TBuf*)>(primary, 6, in);
    EXPECT_EQ(zb->references(), 0);
    { CMN_GRefPtr<TZipBuffer_Interface> claim(zb); }
    EXPECT_EQ(in->holds, 1);
    in->release();

    int const destroyedBefore = SlotProbe::destroyed;
    auto* probe = new SlotProbe;
    BaseModuleInterface* probePrimary = probe;
    CMN_GuardedRef* probeGuarded = probe;
    EXPECT_NE(static_cast<void*>(probePrimary), static_cast<void*>(probeGuarded));
    EXPECT_EQ((CallSlot<unsigned int()>(probePrimary, 7)), 7u);  // init
    EXPECT_EQ((CallSlot<unsigned int()>(probePrimary, 8)), 8u);  // fini
    EXPECT_EQ((CallSlot<unsigned int()>(probeGuarded, 2)), 7u);
    EXPECT_EQ((CallSlot<unsigned int()>(probeGuarded, 3)), 8u);
    EXPECT_EQ((CallSlot<unsigned int()>(static_cast<CMN_GuardedRef*>(zipOf(service)), 2)), 0u);
    CallSlot<void()>(probeGuarded, 1);  // deleting destructor, through the guarded part
    EXPECT_EQ(SlotProbe::destroyed, destroyedBefore + 1);
}

TEST_F(ZipModule, ZipBufferTableSlots) {
    zlib->script.decompressCode = 77;
    FakeBuf* in = new FakeBuf({1, 2});
    TZipBuffer_Interface* zb = zipOf(service)->createTZipBuffer(in);
    EXPECT_EQ((CallSlot<unsigned int()>(zb, 2)), 0u);  // init
    EXPECT_EQ((CallSlot<unsigned int()>(zb, 3)), 0u);  // fini
    EXPECT_EQ((CallSlot<unsigned int()>(zb, 4)), ZIP_OK);  // ZipTBuf, switch off
    EXPECT_EQ((CallSlot<TBuf*()>(zb, 6)), in);             // GetResultTBuf
    EXPECT_EQ(zlib->asked, 0);
    EXPECT_EQ((CallSlot<unsigned int()>(zb, 5)), 77u);     // UnzipTBuf
    EXPECT_EQ(zlib->asked, 1);
    EXPECT_EQ((CallSlot<TBuf*()>(zb, 6)), nullptr);
    CallSlot<void()>(zb, 1);  // deleting destructor of an unclaimed zip buffer
    EXPECT_FALSE(IsRegistered(zb));
    EXPECT_EQ(in->holds, 1);
    in->release();
}

}  // namespace
