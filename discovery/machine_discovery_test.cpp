#include "discovery/machine_discovery.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "machine/windows/windows_installation.h"
#include "testing/machines_home.h"

namespace tolvane {
namespace {

TEST(MachineDiscovery, FindsAPrefixOfEveryKindOnceAndNamesTheDamagedOne) {
    testing::MachinesHome home;
    std::vector<FoundMachine> found = FindMachines(home.places());
    ASSERT_EQ(found.size(), home.expected().size());
    for (size_t i = 0; i < found.size(); ++i) {
        SCOPED_TRACE(found[i].path);
        EXPECT_EQ(found[i].path, home.expected()[i].path);
        EXPECT_EQ(found[i].kind, home.expected()[i].kind);
        EXPECT_EQ(!found[i].damage.empty(), home.expected()[i].damaged) << found[i].damage;
    }
    EXPECT_EQ(found[0].foundIn, "$WINEPREFIX");
    // The Proton prefix is named by the library file, the Lutris one by its game file.
    for (const FoundMachine& machine : found) {
        if (machine.kind == MachineKind::Proton) {
            EXPECT_EQ(machine.foundIn,
                      home.home() + "/.local/share/Steam/steamapps/libraryfolders.vdf");
        }
        if (machine.kind == MachineKind::Lutris) {
            EXPECT_EQ(machine.foundIn,
                      home.home() + "/.config/lutris/games/witcher-1700000000.yml");
        }
    }

    // Without SYSTEM the folder is no Windows installation.
    std::filesystem::remove(home.windowsFolder() + "/WINDOWS/system32/Config/system");
    EXPECT_FALSE(IsWindowsInstallation(home.windowsFolder()));
}

TEST(MachineDiscovery, ReadsSteamLibraryFilesOfBothFormatsAndSurvivesBrokenOnes) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SteamLibraryFolders("\"LibraryFolders\" { \"TimeNextStatsReport\" \"1\"\n"
                                  "\"1\" \"/mnt/a\" \"2\" \"/mnt/b\" [$LINUX] }"),
              (V{"/mnt/a", "/mnt/b"}));
    // A "path" outside a numbered entry of libraryfolders is not a library.
    EXPECT_EQ(SteamLibraryFolders("\"other\" { \"1\" { \"path\" \"/x\" } }\n"
                                  "\"libraryfolders\" { \"path\" \"/y\" \"1\" { \"path\" \"/z\" "
                                  "\"apps\" { \"2\" \"3\" } } }"),
              (V{"/z"}));
    // Truncated, unbalanced or unterminated text gives what came before.
    EXPECT_EQ(SteamLibraryFolders(
                  "\"libraryfolders\" { \"1\" { \"path\" \"/ok\" } \"2\" { \"path\" \"/no"),
              (V{"/ok"}));
    EXPECT_EQ(SteamLibraryFolders("}}}{{\"libraryfolders\""), V{});
    EXPECT_EQ(SteamLibraryFolders(std::string(100000, '{')), V{});
    EXPECT_EQ(SteamLibraryFolders(""), V{});
}

}  // namespace
}  // namespace tolvane
