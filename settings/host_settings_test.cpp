#include "settings/host_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "testing/scoped_env.h"
#include "testing/temp_folder.h"

namespace tolvane {
namespace {

void Write(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

// Only the user's own file, then root's system file, may name the server:
// files others may write, links and a missing file give way to the next.
TEST(HostSettings, ReadsOnlyFilesNoOneElseMayWrite) {
    testing::TempFolder folder;
    const std::string user = (folder.path() / "user.conf").string();
    const std::string system = (folder.path() / "system.conf").string();
    Write(system, "# system\nUpdateServer = http://system.example/\n", 0644);
    Write(user, "updateserver=http://user.example/\n", 0644);
    if (geteuid() != 0) GTEST_SKIP() << "the system file must be root's: run as root";

    HostSettingValue value = ReadHostSettingFrom("UpdateServer", user, system);
    EXPECT_EQ(value.value, "http://user.example/");
    EXPECT_EQ(value.source, user);

    chmod(user.c_str(), 0664);
    value = ReadHostSettingFrom("UpdateServer", user, system);
    EXPECT_EQ(value.value, "http://system.example/");
    EXPECT_NE(value.refused.find(user), std::string::npos);

    std::filesystem::remove(user);
    std::filesystem::create_symlink(system, user);
    chmod(system.c_str(), 0666);
    value = ReadHostSettingFrom("UpdateServer", user, system);
    EXPECT_EQ(value.value, "");
    EXPECT_NE(value.refused.find("link"), std::string::npos) << value.refused;
}

TEST(HostSettings, WritingKeepsTheOtherLinesAndMakesTheFolders) {
    testing::TempFolder folder;
    testing::ScopedEnv config("XDG_CONFIG_HOME", folder.path().c_str());
    const std::string path = UserHostSettingsPath();
    EXPECT_EQ(path, (folder.path() / "tolvane/settings.conf").string());
    ASSERT_EQ(WriteUserHostSetting("Other", "1"), OwnFileState::Usable);
    ASSERT_EQ(WriteUserHostSetting("UpdateServer", "http://a.example/"), OwnFileState::Usable);
    ASSERT_EQ(WriteUserHostSetting("UpdateServer", "http://b.example/"), OwnFileState::Usable);
    EXPECT_EQ(testing::ReadHostFile(path), "Other=1\nUpdateServer=http://b.example/\n");
    EXPECT_EQ(HostUpdateServer().value, "http://b.example/");
}

}  // namespace
}  // namespace tolvane
