// The host's loader and unload protocol against real shared-object fixtures.
#include <dlfcn.h>

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "cmn_grefptr.h"
#include "host_modules.h"
#include "registry_dump.h"

namespace {

std::string fixture(char const* name) { return std::string(FIXTURE_DIR) + "/lib" + name + ".so"; }

bool mapped(std::string const& path) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h != nullptr) dlclose(h);
    return h != nullptr;
}

void loadLookUpAndUnload(int dlopenMode) {
    std::string path = fixture("fx_good");
    {
        HostModules modules(dlopenMode);
        EXPECT_EQ(ModMgr, &modules);
        std::string error;
        ASSERT_TRUE(modules.load(path, &error)) << error;
        ASSERT_EQ(modules.moduleCount(), 1);
        HostModule const& m = modules.modules()[0];
        EXPECT_EQ(m.name, "FIXT");
        EXPECT_EQ(m.service->getModuleID(), 77);
        EXPECT_TRUE(mapped(path));

        TstringID fixt("FIXT");
        EXPECT_EQ(modules.findModule(&fixt), m.service);
        CMN_GuardedRef* g = modules.lookupService(&fixt, GetModuleID());
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(g->references(), 1);  // the module's own hold only: lookups give none
        TstringID other("fixt");
        Tuint32ID number(77);
        EXPECT_EQ(modules.lookupService(&other, GetModuleID()), nullptr);
        EXPECT_EQ(modules.lookupService(&number, GetModuleID()), nullptr);
        EXPECT_EQ(modules.findModule(&other), nullptr);
        EXPECT_EQ(m.objects->moduleIsUsed(), 0);

        std::vector<UnloadStep> steps = modules.unloadAll();
        ASSERT_EQ(steps.size(), 1u);
        EXPECT_EQ(steps[0].name, "FIXT");
        EXPECT_EQ(steps[0].objectsAfterUnloadCall, 0);
        EXPECT_FALSE(steps[0].usedByOthers);
        EXPECT_TRUE(steps[0].dlcloseOk) << steps[0].dlcloseError;
        EXPECT_FALSE(steps[0].stillMapped);
        EXPECT_EQ(modules.moduleCount(), 0);
        EXPECT_EQ(modules.lookupService(&fixt, GetModuleID()), nullptr);
    }
    EXPECT_EQ(ModMgr, nullptr);
    EXPECT_FALSE(mapped(path));
}

TEST(HostLoader, GoodModuleLoadsAnswersLookupsAndUnloadsCompletelyLocal) { loadLookUpAndUnload(RTLD_LOCAL); }
TEST(HostLoader, GoodModuleLoadsAnswersLookupsAndUnloadsCompletelyGlobal) { loadLookUpAndUnload(RTLD_GLOBAL); }

// A host holder left on a module object is cut loose before the library goes,
// so it never points into an unmapped module.
void holdAndUnload(int dlopenMode) {
    HostModules modules(dlopenMode);
    std::string error;
    ASSERT_TRUE(modules.load(fixture("fx_good"), &error)) << error;
    auto make = reinterpret_cast<CMN_GuardedRef* (*)()>(dlsym(modules.modules()[0].handle, "fixture_make_object"));
    ASSERT_NE(make, nullptr);
    TstringID fixt("FIXT");
    CMN_GRefPtr<CMN_GuardedRef> onService(modules.lookupService(&fixt, GetModuleID()));
    CMN_GRefPtr<CMN_GuardedRef> onObject(make());
    CMN_GuardedRef* object = onObject.get();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(modules.modules()[0].objects->moduleIsUsed(), 1);

    std::ostringstream text;
    dumpRegistries(modules, text);
    EXPECT_NE(text.str().find("module FIXT"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("FixtureObject, 1 reference"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("of module HOST"), std::string::npos) << text.str();
    std::ostringstream dot;
    dumpRegistriesDot(modules, dot);
    EXPECT_EQ(dot.str().rfind("digraph registries {", 0), 0u);
    EXPECT_NE(dot.str().find("holder\\nHOST"), std::string::npos) << dot.str();

    std::vector<UnloadStep> steps = modules.unloadAll();
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_TRUE(steps[0].usedByOthers);
    EXPECT_EQ(steps[0].objectsAfterUnloadCall, 2);  // the host still held both
    EXPECT_EQ(steps[0].objectsAfterFini, 0);
    EXPECT_TRUE(steps[0].ok());
    EXPECT_EQ(onService.get(), nullptr);
    EXPECT_EQ(onObject.get(), nullptr);
}

TEST(HostLoader, HoldsLeftByTheHostAreCutLooseBeforeDlcloseLocal) { holdAndUnload(RTLD_LOCAL); }
TEST(HostLoader, HoldsLeftByTheHostAreCutLooseBeforeDlcloseGlobal) { holdAndUnload(RTLD_GLOBAL); }

// Every broken file is refused with a message naming the problem, and nothing
// of it stays loaded.
void expectRefused(char const* file, char const* expected) {
    std::string path = fixture(file);
    HostModules modules;
    std::string error;
    EXPECT_FALSE(modules.load(path, &error));
    EXPECT_NE(error.find(expected), std::string::npos) << error;
    EXPECT_EQ(modules.moduleCount(), 0);
    EXPECT_FALSE(mapped(path));
    EXPECT_TRUE(modules.unloadAll().empty());
}

TEST(HostBrokenModule, MissingEntryPoint) { expectRefused("fx_noentry", "no entry point GetInterfaceClass"); }
TEST(HostBrokenModule, UnresolvedSymbol) { expectRefused("fx_unresolved", "fixture_function_nobody_defines"); }
TEST(HostBrokenModule, TruncatedFile) { expectRefused("fx_truncated", "truncated"); }
TEST(HostBrokenModule, NotAnElfFile) { expectRefused("fx_text", "not a shared object"); }
TEST(HostBrokenModule, MissingFile) { expectRefused("fx_missing_file", "No such file"); }
TEST(HostBrokenModule, EntryPointOfAnotherFile) { expectRefused("fx_foreign", "not to the file opened"); }
TEST(HostBrokenModule, LoadCallGivesNoService) { expectRefused("fx_nullload", "gave no service object"); }

// The dependency that carried the foreign entry point is released with the
// refused file.
TEST(HostBrokenModule, ForeignEntryPointDependencyIsReleasedToo) {
    HostModules modules;
    std::string error;
    EXPECT_FALSE(modules.load(fixture("fx_foreign"), &error));
    EXPECT_FALSE(mapped(fixture("fx_good")));
}

// A library that cannot be unmapped is reported, not hidden.
TEST(HostUnloadProtocol, ReportsALibraryThatStaysMapped) {
    HostModules modules;
    std::string error;
    ASSERT_TRUE(modules.load(fixture("fx_nodelete"), &error)) << error;
    std::vector<UnloadStep> steps = modules.unloadAll();
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_TRUE(steps[0].dlcloseOk);
    EXPECT_TRUE(steps[0].stillMapped);
    EXPECT_FALSE(steps[0].ok());
}

// Modules unload newest first; a second set loads again after a full unload.
TEST(HostUnloadProtocol, ReverseOrderAndReload) {
    for (int round = 0; round < 2; ++round) {
        HostModules modules;
        std::string error;
        ASSERT_TRUE(modules.load(fixture("fx_good"), &error)) << error;
        ASSERT_TRUE(modules.load(fixture("fx_nodelete"), &error)) << error;
        std::vector<UnloadStep> steps = modules.unloadAll();
        ASSERT_EQ(steps.size(), 2u);
        EXPECT_NE(steps[0].path.find("fx_nodelete"), std::string::npos);
        EXPECT_NE(steps[1].path.find("fx_good"), std::string::npos);
        EXPECT_TRUE(steps[1].ok());
    }
}

TEST(HostIdText, ShowsBothKindsAndNull) {
    TstringID s("ZIP");
    Tuint32ID n(111);
    EXPECT_EQ(idText(&s), "ZIP");
    EXPECT_EQ(idText(&n), "111");
    EXPECT_EQ(idText(nullptr), "?");
}

}  // namespace
