#include "machine/machine.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::ReadHostFile;

using testing::TempPrefix;

TEST(TempPrefixTest, IsShapedLikeAWineMadePrefix) {
    TempPrefix prefix;
    EXPECT_EQ(std::filesystem::read_symlink(prefix.Host("dosdevices/c:")), "../drive_c");
    EXPECT_FALSE(
        std::filesystem::exists(std::filesystem::symlink_status(prefix.Host("dosdevices/z:"))));
    for (const char* folder :
         {"drive_c/Program Files", "drive_c/Program Files (x86)", "drive_c/ProgramData",
          "drive_c/users/root/Desktop", "drive_c/users/root/Documents", "drive_c/users/root/Temp",
          "drive_c/users/root/AppData/Local", "drive_c/windows/system32"})
        EXPECT_TRUE(std::filesystem::is_directory(prefix.Host(folder))) << folder;

    std::string system = ReadHostFile(prefix.Host("system.reg"));
    EXPECT_EQ(
        system.rfind(
            "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win64\n",
            0),
        0u);
    EXPECT_NE(
        system.find("[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion] 1796740557\n#time="),
        std::string::npos);
    EXPECT_NE(system.find("\"SystemRoot\"=\"C:\\\\windows\"\n"), std::string::npos);
    std::string user = ReadHostFile(prefix.Host("user.reg"));
    EXPECT_NE(user.find("REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000"), std::string::npos);
    EXPECT_NE(user.find("\"Desktop\"=str(2):\"%USERPROFILE%\\\\Desktop\""), std::string::npos);
    EXPECT_NE(ReadHostFile(prefix.Host("userdef.reg")).find("REGISTRY\\\\User\\\\.Default"),
              std::string::npos);

    // The registry reads all of it, and the start-up keys open for changes.
    auto machine = prefix.Open();
    EXPECT_TRUE(machine->registry().LoadProblems().empty());
    EXPECT_EQ(machine->registry().UserSid(), "S-1-5-21-0-0-0-1000");
    for (const char* run : {"Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                            "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"}) {
        RegKey key;
        EXPECT_EQ(machine->registry().OpenKey(Registry::Root(RootKey::LocalMachine), run,
                                              KEY_ALL_ACCESS, &key),
                  ERROR_SUCCESS)
            << run;
    }
    std::vector<ProcessSnapshot> processes;
    ASSERT_TRUE(machine->processes().List(&processes));
    EXPECT_TRUE(processes.empty());
}

TEST(TempPrefixTest, RemovesItselfEvenWithReadOnlyFolders) {
    std::string path;
    {
        TempPrefix prefix;
        path = prefix.path();
        prefix.WriteFile("C:\\locked\\file.txt", "x");
        prefix.AddDrive('z', "/");  // removing the prefix must not follow the link
        std::filesystem::permissions(
            prefix.Host("drive_c/locked"),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(std::filesystem::exists("/etc"));
}

TEST(MachineTest, DeletingAFileAProgramHasMappedIsRefused) {
    TempPrefix prefix;
    prefix.WriteFile("C:\\Program Files\\Bad\\bad.dll", "MZ");
    auto machine = prefix.Open();
    ProcessSnapshot bad;
    bad.pid = 4242;
    bad.exePath = "C:\\Program Files\\Bad\\bad.exe";
    bad.hostFiles = {prefix.Host("drive_c/Program Files/Bad/bad.dll")};
    machine->SetProcessTable(MakeFixedProcessTable({bad}));

    EXPECT_FALSE(machine->files().DeleteFile("C:\\Program Files\\Bad\\bad.dll"));
    EXPECT_EQ(FileSystem::LastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(machine->processes().Terminate(4242));
    EXPECT_TRUE(machine->files().DeleteFile("C:\\Program Files\\Bad\\bad.dll"));
}

}  // namespace
}  // namespace tolvane
