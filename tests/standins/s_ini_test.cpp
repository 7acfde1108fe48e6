// libs_ini: where the configuration directory comes from, what fails, and
// that the returned path stays put while threads ask at once.
#include "s_ini.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

char const* const kVars[] = {"S_INI_CONFIG_DIR", "XDG_CONFIG_HOME", "HOME"};

// Every test starts with none of the three variables set and gets the
// process environment back afterwards.
class ConfigDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (char const* v : kVars) {
            char const* now = std::getenv(v);
            saved.push_back(now != nullptr ? std::optional<std::string>(now) : std::nullopt);
            unsetenv(v);
        }
    }
    void TearDown() override {
        for (std::size_t i = 0; i < saved.size(); ++i) {
            if (saved[i])
                setenv(kVars[i], saved[i]->c_str(), 1);
            else
                unsetenv(kVars[i]);
        }
    }

    static std::string dir() {
        char const* d = nullptr;
        EXPECT_EQ(vela_get_config_dir(&d), S_INI_OK);
        return d != nullptr ? d : "(none)";
    }

    std::vector<std::optional<std::string>> saved;
};

TEST_F(ConfigDirTest, OwnVariableWinsWhenSetAndNotEmpty) {
    setenv("HOME", "/home/u", 1);
    setenv("XDG_CONFIG_HOME", "/xdg", 1);
    setenv("S_INI_CONFIG_DIR", "/etc/s_zip/", 1);
    EXPECT_EQ(dir(), "/etc/s_zip/") << "used as it stands";
    setenv("S_INI_CONFIG_DIR", "relative", 1);
    EXPECT_EQ(dir(), "relative");
    setenv("S_INI_CONFIG_DIR", "", 1);
    EXPECT_EQ(dir(), "/xdg/s_zip") << "empty counts as unset";
}

TEST_F(ConfigDirTest, DefaultsFollowXdgThenHome) {
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(dir(), "/home/u/.config/s_zip");
    setenv("HOME", "/", 1);
    EXPECT_EQ(dir(), "/.config/s_zip");
    setenv("XDG_CONFIG_HOME", "/cfg/", 1);
    EXPECT_EQ(dir(), "/cfg/s_zip") << "one slash only";
    setenv("XDG_CONFIG_HOME", "cfg", 1);
    EXPECT_EQ(dir(), "/.config/s_zip") << "a relative XDG_CONFIG_HOME is ignored";
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(dir(), "/.config/s_zip");
}

TEST_F(ConfigDirTest, FailsWithoutArgumentOrUsableVariable) {
    char const* d = "untouched";
    EXPECT_EQ(vela_get_config_dir(&d), S_INI_NO_DIRECTORY);
    setenv("HOME", "", 1);
    setenv("XDG_CONFIG_HOME", "relative", 1);
    setenv("S_INI_CONFIG_DIR", "", 1);
    EXPECT_EQ(vela_get_config_dir(&d), S_INI_NO_DIRECTORY);
    EXPECT_STREQ(d, "untouched");
    setenv("HOME", "/h", 1);
    EXPECT_EQ(vela_get_config_dir(nullptr), S_INI_NO_ARGUMENT);
}

TEST_F(ConfigDirTest, AReturnedPathStaysValidAndIsReused) {
    setenv("S_INI_CONFIG_DIR", "/first", 1);
    char const* first = nullptr;
    ASSERT_EQ(vela_get_config_dir(&first), 0);
    setenv("S_INI_CONFIG_DIR", "/second", 1);
    char const* second = nullptr;
    ASSERT_EQ(vela_get_config_dir(&second), 0);
    EXPECT_STREQ(first, "/first");
    EXPECT_STREQ(second, "/second");
    setenv("S_INI_CONFIG_DIR", "/first", 1);
    char const* again = nullptr;
    ASSERT_EQ(vela_get_config_dir(&again), 0);
    EXPECT_EQ(again, first) << "the same path is stored once";
}

TEST_F(ConfigDirTest, ThreadsAskAtOnce) {
    setenv("HOME", "/home/many", 1);
    std::vector<std::thread> threads;
    std::vector<char const*> got(4 * 200, nullptr);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&got, t] {
            for (int i = 0; i < 200; ++i) vela_get_config_dir(&got[t * 200 + i]);
        });
    for (auto& th : threads) th.join();
    for (char const* d : got) {
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d, got[0]);
    }
    EXPECT_STREQ(got[0], "/home/many/.config/s_zip");
}

}  // namespace
