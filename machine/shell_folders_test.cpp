#include "machine/shell_folders.h"

#include <gtest/gtest.h>

#include "machine/machine.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::TempPrefix;

std::string Folder(const Machine& machine, int csidl) {
    std::string path;
    EXPECT_TRUE(machine.shell().GetFolderPath(csidl, &path)) << "CSIDL " << csidl;
    return path;
}

TEST(ShellFoldersTest, AFreshPrefixNamesEveryFolderTheProgramUses) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    const std::string profile = "C:\\users\\root";
    const std::string roaming = profile + "\\AppData\\Roaming";
    const std::string startMenu = roaming + "\\Microsoft\\Windows\\Start Menu";
    EXPECT_EQ(Folder(*machine, CSIDL_APPDATA), roaming);
    EXPECT_EQ(Folder(*machine, CSIDL_STARTUP), startMenu + "\\Programs\\StartUp");
    EXPECT_EQ(Folder(*machine, CSIDL_PROGRAM_FILES_COMMON), "C:\\Program Files\\Common Files");
    EXPECT_EQ(Folder(*machine, CSIDL_DESKTOPDIRECTORY), profile + "\\Desktop");
    EXPECT_EQ(Folder(*machine, CSIDL_FAVORITES), profile + "\\Favorites");
    EXPECT_EQ(Folder(*machine, CSIDL_PROGRAM_FILES), "C:\\Program Files");
    EXPECT_EQ(Folder(*machine, CSIDL_STARTMENU), startMenu);
    EXPECT_EQ(Folder(*machine, CSIDL_PROGRAMS), startMenu + "\\Programs");
    EXPECT_EQ(Folder(*machine, CSIDL_SYSTEM), "C:\\windows\\system32");
    EXPECT_EQ(Folder(*machine, CSIDL_PROFILE), profile);
    EXPECT_EQ(Folder(*machine, CSIDL_WINDOWS), "C:\\windows");
    EXPECT_EQ(Folder(*machine, CSIDL_COOKIES),
              profile + "\\AppData\\Local\\Microsoft\\Windows\\INetCookies");
    std::string unknown;
    EXPECT_FALSE(machine->shell().GetFolderPath(5 /*CSIDL_PERSONAL: not offered*/, &unknown));

    // Every folder exists in the prefix, as Wine makes them.
    for (int csidl : {2, 6, 7, 11, 16, 26, 33, 36, 37, 38, 40, 43})
        EXPECT_TRUE(machine->files().PathFileExists(Folder(*machine, csidl))) << csidl;

    EXPECT_EQ(machine->files().TempPath(), profile + "\\Temp\\");
    EXPECT_EQ(ShellFolders::ProgramPath(), "C:\\Program Files\\Tolvane\\Tolvane.exe");
    EXPECT_EQ(ShellFolders::ApplicationFolder(), "C:\\Program Files\\Tolvane\\");
}

TEST(ShellFoldersTest, ExpandsTheMachinesEnvironment) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    const ShellFolders& shell = machine->shell();
    EXPECT_EQ(shell.ExpandEnvironmentStrings("%temp%"), "C:\\users\\root\\Temp");
    EXPECT_EQ(shell.ExpandEnvironmentStrings("%TMP%\\x.log"), "C:\\users\\root\\Temp\\x.log");
    EXPECT_EQ(shell.ExpandEnvironmentStrings("%UserProfile%|%windir%|%SystemRoot%|%SYSTEMDRIVE%"),
              "C:\\users\\root|C:\\windows|C:\\windows|C:");
    EXPECT_EQ(shell.ExpandEnvironmentStrings("%ProgramFiles%\\%USERNAME%"),
              "C:\\Program Files\\root");
    EXPECT_EQ(shell.ExpandEnvironmentStrings("%ALLUSERSPROFILE%"), "C:\\ProgramData");
    EXPECT_EQ(shell.ExpandEnvironmentStrings("100% sure %NOPE% %%"), "100% sure %NOPE% %%");
    EXPECT_EQ(shell.ExpandEnvironmentStrings("%NOPE%%temp%"), "%NOPE%C:\\users\\root\\Temp");
}

TEST(ShellFoldersTest, FollowsChangesAndFallsBackToUserShellFolders) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    Registry& registry = machine->registry();
    RegKey key;
    ASSERT_EQ(registry.OpenKey(Registry::Root(RootKey::CurrentUser),
                               "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell "
                               "Folders",
                               KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(registry.DeleteValue(key, "Favorites"), ERROR_SUCCESS);
    std::string path;
    ASSERT_TRUE(machine->shell().GetFolderPath(CSIDL_FAVORITES, &path));
    EXPECT_EQ(path, "C:\\users\\root\\Favorites");  // from %USERPROFILE%\Favorites

    ASSERT_EQ(registry.SetValue(key, "Desktop", REG_SZ, "D:\\Desk\\"), ERROR_SUCCESS);
    ASSERT_TRUE(machine->shell().GetFolderPath(CSIDL_DESKTOPDIRECTORY, &path));
    EXPECT_EQ(path, "D:\\Desk");  // read afresh, without the trailing backslash

    // %TEMP% that refers to itself ends instead of looping.
    RegKey env;
    ASSERT_EQ(
        registry.OpenKey(Registry::Root(RootKey::CurrentUser), "Environment", KEY_ALL_ACCESS, &env),
        ERROR_SUCCESS);
    ASSERT_EQ(registry.SetValue(env, "TEMP", REG_EXPAND_SZ, "%TEMP%\\x"), ERROR_SUCCESS);
    std::string expanded = machine->shell().ExpandEnvironmentStrings("%TEMP%");
    EXPECT_NE(expanded.find("%TEMP%"), std::string::npos);
    EXPECT_EQ(machine->files().TempPath(), "C:\\windows\\temp\\");
}

}  // namespace
}  // namespace tolvane
