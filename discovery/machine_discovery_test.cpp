#include "discovery/machine_discovery.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "machine/windows/windows_installation.h"
#include "testing/as_nobody.h"
#include "testing/machines_home.h"
#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"

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

// nobody's ~/.wine planted as a link to a prefix inside a folder only root
// may enter: root lists it with its target and does not look inside; nobody
// sees the link listed as not readable, the folder not named.
TEST(MachineDiscovery, APlantedLinkToAnotherOwnersMachineIsListedNotOpened) {
    SKIP_UNLESS_ROOT();
    testing::TempFolder homeFolder;
    const std::string home = homeFolder.path().string();
    testing::TempPrefix rootsPrefix;
    const std::string rootOnly = rootsPrefix.path();
    ASSERT_EQ(chmod(rootOnly.c_str(), 0700), 0);
    std::filesystem::create_directory_symlink(rootOnly, home + "/.wine");
    testing::GiveToNobody(home);
    DiscoveryPlaces places;
    places.home = home;

    std::vector<FoundMachine> found = FindMachines(places);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, home + "/.wine");
    EXPECT_EQ(found[0].linkTarget, std::filesystem::canonical(rootOnly).string());
    EXPECT_EQ(found[0].notOpened, "owned by root");
    EXPECT_EQ(found[0].damage, "");  // never looked inside

    EXPECT_TRUE(testing::AsNobody([&] {
        std::vector<FoundMachine> seen = FindMachines(places);
        return seen.size() == 1 && seen[0].linkTarget == "not readable" &&
               seen[0].notOpened == "not readable";
    }));
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
