#include "discovery/open_machine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::TempPrefix;

TEST(OpenMachineTest, OpensOnlyMachineFolders) {
    TempPrefix prefix;
    std::string error;
    EXPECT_EQ(OpenMachine(prefix.Host("drive_c/windows"), &error), nullptr);
    EXPECT_NE(error.find("not a Wine prefix"), std::string::npos);
    EXPECT_EQ(OpenMachine(prefix.Host("nothing"), &error), nullptr);
    EXPECT_FALSE(error.empty());

    auto machine = OpenMachine(prefix.path() + "/", &error);
    ASSERT_NE(machine, nullptr) << error;
    EXPECT_EQ(machine->PrefixPath(), std::filesystem::canonical(prefix.path()).string());

    const char* oldPrefix = getenv("WINEPREFIX");
    const char* oldHome = getenv("HOME");
    std::string savedPrefix = oldPrefix ? oldPrefix : "", savedHome = oldHome ? oldHome : "";
    setenv("WINEPREFIX", "/some/prefix", 1);
    EXPECT_EQ(DefaultPrefixPath(), "/some/prefix");
    unsetenv("WINEPREFIX");
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(DefaultPrefixPath(), "/home/someone/.wine");
    if (oldPrefix) setenv("WINEPREFIX", savedPrefix.c_str(), 1);
    if (oldHome) setenv("HOME", savedHome.c_str(), 1);
}

}  // namespace
}  // namespace tolvane
