#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "machine/machine.h"
#include "machine/windows/installation_hives.h"
#include "machine/windows/regf_hive.h"
#include "machine/windows/windows_installation.h"
#include "testing/read_only_bind_mount.h"
#include "testing/regf_builder.h"
#include "testing/registry_values.h"
#include "testing/run_command.h"
#include "testing/temp_installation.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;
using testing::RunCommand;
using testing::ShellQuote;
using testing::TempInstallation;

std::string String(const Registry& registry, RootKey root, const char* path, const char* name) {
    std::string value;
    return ReadRegistryString(registry, root, path, name, &value) ? value : "<missing>";
}

std::vector<std::string> Subkeys(const Registry& registry, RootKey root, const char* path) {
    RegKey key;
    std::vector<std::string> names;
    if (registry.OpenKey(Registry::Root(root), path, KEY_READ, &key) != ERROR_SUCCESS) return names;
    std::string name;
    for (uint32_t i = 0; registry.EnumKey(key, i, &name) == ERROR_SUCCESS; ++i)
        names.push_back(name);
    return names;
}

// hivexget, a reader independent of ours.
std::string HiveValue(const std::string& hive, const std::string& key, const std::string& name) {
    std::string out;
    RunCommand("hivexget " + ShellQuote(hive) + " " + ShellQuote(key) + " " + ShellQuote(name) +
                   " 2>/dev/null",
               &out);
    return out;
}

TEST(WindowsInstallation, OpensWithTheRegistryDrivesAndFoldersWindowsWouldShow) {
    TempInstallation windows;
    auto machine = windows.Open();
    ASSERT_FALSE(machine->RunsPrograms());
    EXPECT_NE(machine->Description().find("current user alice (" +
                                          std::string(TempInstallation::kAliceSid) + ")"),
              std::string::npos)
        << machine->Description();
    const Registry& reg = machine->registry();
    EXPECT_EQ(reg.UserSid(), TempInstallation::kAliceSid);
    EXPECT_EQ(Subkeys(reg, RootKey::LocalMachine, ""),
              (std::vector<std::string>{"SAM", "SOFTWARE", "SYSTEM"}));
    EXPECT_EQ(String(reg, RootKey::LocalMachine, "System\\CurrentControlSet\\Services\\Tcpip",
                     "DisplayName"),
              "TCP/IP");
    EXPECT_EQ(Subkeys(reg, RootKey::Users, ""),
              (std::vector<std::string>{".DEFAULT", TempInstallation::kAliceSid,
                                        std::string(TempInstallation::kAliceSid) + "_Classes",
                                        TempInstallation::kBobSid,
                                        std::string(TempInstallation::kBobSid) + "_Classes"}));
    EXPECT_EQ(String(reg, RootKey::ClassesRoot, ".txt", ""), "alicefile");
    EXPECT_EQ(String(reg, RootKey::CurrentUser, "Software\\Classes\\.txt", ""), "alicefile");
    EXPECT_EQ(Subkeys(reg, RootKey::ClassesRoot, "CLSID"),
              (std::vector<std::string>{"{B}", "{C}"}));
    EXPECT_EQ(String(reg, RootKey::Users,
                     (std::string(TempInstallation::kBobSid) + "_Classes\\.txt").c_str(), ""),
              "bobfile");

    std::string folder;
    ASSERT_TRUE(machine->shell().GetFolderPath(CSIDL_APPDATA, &folder));
    EXPECT_EQ(folder, "C:\\Users\\alice\\AppData\\Roaming");
    EXPECT_EQ(machine->shell().ExpandEnvironmentStrings("%USERPROFILE%|%SystemRoot%|%TEMP%"),
              "C:\\Users\\alice|C:\\Windows|C:\\Users\\alice\\AppData\\Local\\Temp");
    EXPECT_EQ(machine->files().ToHostPath("c:\\windows\\system32\\CONFIG"),
              windows.Host("Windows/System32/config"));
    EXPECT_EQ(machine->files().LogicalDrives(), (std::vector<std::string>{"C:\\"}));
    std::vector<ProcessSnapshot> processes;
    EXPECT_TRUE(machine->processes().List(&processes));
    EXPECT_TRUE(processes.empty());
    EXPECT_FALSE(machine->launcher().ShellExecute("open", "regsvr32.exe", "/u /s C:\\x.dll"));

    auto bob = windows.Open({"BOB", {{'D', windows.Host("Users")}}});
    EXPECT_EQ(bob->registry().UserSid(), TempInstallation::kBobSid);
    EXPECT_EQ(String(bob->registry(), RootKey::ClassesRoot, ".txt", ""), "bobfile");
    EXPECT_EQ(bob->files().ToHostPath("D:\\alice"), windows.Host("Users/alice"));
    std::string error;
    EXPECT_EQ(OpenWindowsInstallation(windows.path(), {"carol", {}}, &error), nullptr);
    EXPECT_NE(error.find("alice, bob"), std::string::npos) << error;
}

TEST(WindowsInstallation, TheUserUsedLastIsTheOneProfileListSaysWindowsLoadedLast) {
    TempInstallation windows;
    // A removal in bob's profile makes his NTUSER.DAT the newest file.
    {
        auto bob = windows.Open({"bob", {}});
        testing::SetRegistryString(bob->registry(), RootKey::CurrentUser, "Software\\T", "v", "1");
    }
    ASSERT_GT(fs::last_write_time(windows.UserHive("bob")),
              fs::last_write_time(windows.UserHive("alice")));
    EXPECT_EQ(windows.Open()->registry().UserSid(), TempInstallation::kAliceSid);
}

TEST(WindowsInstallation, ChangesReachTheHivesAndAreRefusedWhereTheyMust) {
    TempInstallation windows;
    auto machine = windows.Open();
    Registry& reg = machine->registry();
    RegKey run;
    ASSERT_EQ(
        reg.CreateKey(Registry::Root(RootKey::CurrentUser),
                      "Software\\Microsoft\\Windows\\CurrentVersion\\Run", KEY_ALL_ACCESS, &run),
        ERROR_SUCCESS);
    ASSERT_EQ(reg.SetValue(run, "Bad", REG_SZ, "C:\\bad.exe"), ERROR_SUCCESS)
        << reg.LastErrorMessage();
    EXPECT_EQ(HiveValue(windows.UserHive("alice"),
                        "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Bad"),
              "C:\\bad.exe\n");
    EXPECT_TRUE(fs::exists(windows.UserHive("alice") + ".tolvane-orig"));
    EXPECT_EQ(reg.DeleteKey(Registry::Root(RootKey::LocalMachine),
                            "SYSTEM\\CurrentControlSet\\Services\\Tcpip"),
              ERROR_SUCCESS)
        << reg.LastErrorMessage();
    EXPECT_EQ(HiveValue(windows.System(), "\\ControlSet001\\Services\\Tcpip", "DisplayName"), "");
    RegKey created;
    ASSERT_EQ(reg.CreateKey(Registry::Root(RootKey::ClassesRoot), "CLSID\\{C}\\InprocServer32",
                            KEY_ALL_ACCESS, &created),
              ERROR_SUCCESS);
    EXPECT_EQ(
        String(reg, RootKey::Users,
               (std::string(TempInstallation::kAliceSid) + "_Classes\\CLSID\\{C}\\InprocServer32")
                   .c_str(),
               ""),
        "<missing>");  // made, empty: the default value is not set
    EXPECT_EQ(Subkeys(reg, RootKey::Users,
                      (std::string(TempInstallation::kAliceSid) + "_Classes\\CLSID\\{C}").c_str()),
              (std::vector<std::string>{"InprocServer32"}));

    RegKey sam;
    ASSERT_EQ(reg.CreateKey(Registry::Root(RootKey::LocalMachine), "SAM", 0, &sam), ERROR_SUCCESS);
    EXPECT_EQ(reg.SetValue(sam, "x", REG_SZ, "y"), ERROR_ACCESS_DENIED);
    EXPECT_NE(reg.LastErrorMessage().find("never changes it"), std::string::npos);

    std::ofstream(windows.Host("Windows/System32/config/SOFTWARE.LOG1")) << "pending";
    RegKey software;
    ASSERT_EQ(reg.OpenKey(Registry::Root(RootKey::LocalMachine),
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Run", KEY_READ, &software),
              ERROR_SUCCESS);
    EXPECT_EQ(
        reg.OpenKey(Registry::Root(RootKey::LocalMachine),
                    "Software\\Microsoft\\Windows\\CurrentVersion\\Run", KEY_SET_VALUE, &software),
        ERROR_ACCESS_DENIED);
    EXPECT_NE(reg.LastErrorMessage().find("shut it down fully"), std::string::npos)
        << reg.LastErrorMessage();
    EXPECT_FALSE(fs::exists(windows.Software() + ".tolvane-orig"));
    // A read of it says that it may be stale; a clean hive says nothing.
    EXPECT_TRUE(reg.StaleReads().empty());
    std::vector<std::string> stale = windows.Open()->registry().StaleReads();
    ASSERT_EQ(stale.size(), 1u);
    EXPECT_NE(stale[0].find("SOFTWARE.LOG1 holds changes not yet written"), std::string::npos)
        << stale[0];
}

TEST(WindowsInstallation, LinksOnTheDiskLeadNowhere) {
    TempInstallation windows;
    // A profile whose hive is a link, and a config folder that is a link.
    fs::remove(windows.UserHive("bob"));
    fs::create_symlink(windows.UserHive("alice"), windows.UserHive("bob"));
    auto machine = windows.Open();
    EXPECT_EQ(Subkeys(machine->registry(), RootKey::Users, "").size(), 3u);  // no bob
    fs::rename(windows.Host("Windows/System32/config"), windows.Host("config"));
    fs::create_directory_symlink(windows.Host("config"), windows.Host("Windows/System32/config"));
    std::string error;
    EXPECT_EQ(OpenWindowsInstallation(windows.path(), {}, &error), nullptr);
}

// What is refused on the disk is said, with what was found: an installation
// whose config folder is a link or whose SOFTWARE is a pipe is not opened,
// and a profile whose hive is a link is a note of the registry, not a
// silently empty HKEY_CURRENT_USER.
TEST(WindowsInstallation, RefusedLinksAndPipesSayWhatWasFound) {
    TempInstallation windows;
    const std::string bobHive = windows.UserHive("bob");
    const std::string bobRelative = bobHive.substr(windows.path().size() + 1);
    fs::remove(bobHive);
    fs::create_symlink(windows.UserHive("alice"), bobHive);
    InstallationHives hives;
    std::string error;
    ASSERT_TRUE(FindInstallationHives(windows.path(), "", &hives, &error)) << error;
    ASSERT_EQ(hives.problems.size(), 1u);
    EXPECT_NE(hives.problems[0].find(") is not used: " + bobRelative +
                                     " is a link, which Tolvane never follows inside an "
                                     "installation."),
              std::string::npos)
        << hives.problems[0];
    EXPECT_FALSE(FindInstallationHives(windows.path(), "bob", &hives, &error));
    auto machine = windows.Open();
    ASSERT_NE(machine, nullptr);
    EXPECT_EQ(machine->registry().UnreadParts().size(), 1u);

    const std::string software = windows.Software();
    fs::rename(software, software + ".aside");
    ASSERT_EQ(mkfifo(software.c_str(), 0600), 0);
    EXPECT_EQ(OpenWindowsInstallation(windows.path(), {}, &error), nullptr);
    EXPECT_EQ(error, windows.path() +
                         " is not opened as a Windows installation: "
                         "Windows/System32/config/SOFTWARE is a pipe, not a hive file.");
    fs::remove(software);
    fs::rename(software + ".aside", software);

    fs::rename(windows.Host("Windows/System32/config"), windows.Host("config"));
    fs::create_directory_symlink(windows.Host("config"), windows.Host("Windows/System32/config"));
    EXPECT_EQ(OpenWindowsInstallation(windows.path(), {}, &error), nullptr);
    EXPECT_EQ(error, windows.path() +
                         " is not opened as a Windows installation: Windows/System32/config is "
                         "a link, which Tolvane never follows inside an installation.");
}

// Windows keeps "Shell Folders" only as a cache: after a profile moved it
// still names the old folder, while "User Shell Folders" follows the
// profile's own ProfileImagePath.
TEST(WindowsInstallation, UserFoldersComeFromUserShellFoldersBeforeTheStaleCache) {
    TempInstallation windows;
    testing::RegfBuilder(windows.UserHive("bob"))
        .String("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "AppData",
                "C:\\Users\\bobby\\AppData\\Roaming")
        .Commit();
    auto bob = windows.Open({"bob", {}});
    std::string folder;
    ASSERT_TRUE(bob->shell().GetFolderPath(CSIDL_APPDATA, &folder));
    EXPECT_EQ(folder, "C:\\Users\\bob\\AppData\\Roaming");
    // Only the cache names the desktop and local application data.
    ASSERT_TRUE(bob->shell().GetFolderPath(CSIDL_DESKTOPDIRECTORY, &folder));
    EXPECT_EQ(folder, "C:\\Users\\bob\\Desktop");
    EXPECT_EQ(bob->shell().ExpandEnvironmentStrings("%LOCALAPPDATA%"),
              "C:\\Users\\bob\\AppData\\Local");
}

// A profile folder is found by its recorded name without regard to case,
// Latin-1 letters included (hivex reads the name in UTF-8, as the disk has it).
TEST(WindowsInstallation, ProfileFoldersAreFoundInAnyCaseOfTheirName) {
    TempInstallation windows;
    testing::RegfBuilder(windows.Software())
        .String(std::string("Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\") +
                    TempInstallation::kBobSid,
                "ProfileImagePath", "C:\\Users\\Zo\xc3\xab", true)  // "Zoë"
        .Commit();
    fs::rename(windows.Host("Users/bob"), windows.Host("Users/ZO\xc3\x8b"));  // "ZOË"
    InstallationHives hives;
    std::string error;
    ASSERT_TRUE(FindInstallationHives(windows.path(), "", &hives, &error)) << error;
    auto bob = std::find_if(hives.profiles.begin(), hives.profiles.end(),
                            [](const auto& p) { return p.sid == TempInstallation::kBobSid; });
    ASSERT_NE(bob, hives.profiles.end());
    EXPECT_EQ(bob->user.folder, "Users/ZO\xc3\x8b");
    EXPECT_EQ(bob->user.name, "NTUSER.DAT");
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(WindowsInstallation, ReadOnlyMountRefusesChangesSayingSo) {
    TempInstallation windows;
    const std::string before = FileBytes(windows.UserHive("alice"));
    testing::ReadOnlyBindMount mount(windows.path());
    if (!mount.readOnly()) GTEST_SKIP() << "mounting is not permitted here";
    auto machine = windows.Open();
    Registry& reg = machine->registry();
    RegKey run;
    ASSERT_EQ(reg.OpenKey(Registry::Root(RootKey::CurrentUser),
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Run", KEY_READ, &run),
              ERROR_SUCCESS);
    EXPECT_EQ(reg.OpenKey(Registry::Root(RootKey::CurrentUser),
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Run", KEY_SET_VALUE, &run),
              ERROR_ACCESS_DENIED);
    EXPECT_NE(reg.LastErrorMessage().find("mounted read-only"), std::string::npos)
        << reg.LastErrorMessage();
    EXPECT_EQ(reg.DeleteKey(Registry::Root(RootKey::LocalMachine),
                            "SYSTEM\\CurrentControlSet\\Services\\Tcpip"),
              ERROR_ACCESS_DENIED);
    EXPECT_NE(reg.LastErrorMessage().find("Mount the Windows disk read-write"), std::string::npos)
        << reg.LastErrorMessage();
    EXPECT_EQ(FileBytes(windows.UserHive("alice")), before);
    EXPECT_FALSE(fs::exists(windows.UserHive("alice") + ".tolvane-orig"));
}

}  // namespace
}  // namespace tolvane
