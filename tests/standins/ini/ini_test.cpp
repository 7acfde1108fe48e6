// libs_ini: which variable names the configuration directory, the codes, and
// that a path is stored once and stays valid, also with threads asking.
#include "s_ini.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

namespace {

TEST(StandinIni, TheFirstUsableVariableNamesTheDirectory) {
    char const* const names[] = {"S_INI_CONFIG_DIR", "XDG_CONFIG_HOME", "HOME"};
    struct {
        char const* values[3];
        int code;
        char const* dir;
    } const cases[] = {                                                                // null: unset
                       {{"/etc/s_zip/", "/xdg", "/home/u"}, S_INI_OK, "/etc/s_zip/"},  // used as it stands
                       {{"relative", "/xdg", "/home/u"}, S_INI_OK, "relative"},
                       {{"", "/xdg", "/home/u"}, S_INI_OK, "/xdg/s_zip"},  // empty counts as unset
                       {{nullptr, "/cfg/", "/home/u"}, S_INI_OK, "/cfg/s_zip"},
                       {{nullptr, "cfg", "/home/u"}, S_INI_OK, "/home/u/.config/s_zip"},  // relative: ignored
                       {{nullptr, "", "/"}, S_INI_OK, "/.config/s_zip"},
                       {{nullptr, nullptr, nullptr}, S_INI_NO_DIRECTORY, "untouched"},
                       {{"", "relative", ""}, S_INI_NO_DIRECTORY, "untouched"}};
    for (auto const& c : cases) {
        for (int i = 0; i < 3; ++i) c.values[i] ? setenv(names[i], c.values[i], 1) : unsetenv(names[i]);
        char const* dir = "untouched";
        EXPECT_EQ(vela_get_config_dir(&dir), c.code) << c.dir;
        EXPECT_STREQ(dir, c.dir);
    }
    EXPECT_EQ(vela_get_config_dir(nullptr), S_INI_NO_ARGUMENT);
}

TEST(StandinIni, APathIsStoredOnceAndStaysValid) {
    std::vector<char const*> got(802, nullptr);
    for (char const* dir : {"/first", "/second", "/first"}) {
        setenv("S_INI_CONFIG_DIR", dir, 1);
        ASSERT_EQ(vela_get_config_dir(&got[dir[1] == 's' ? 801 : 800]), S_INI_OK);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&got, t] {
            for (int i = 0; i < 200; ++i) vela_get_config_dir(&got[t * 200 + i]);
        });
    for (std::thread& th : threads) th.join();
    EXPECT_STREQ(got[800], "/first");
    EXPECT_STREQ(got[801], "/second");
    for (int i = 0; i < 800; ++i) EXPECT_EQ(got[i], got[800]) << "the same path, stored once";
}

}  // namespace
