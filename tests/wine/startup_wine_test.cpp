// The start-up listing of a prefix fresh from `wine wineboot -i`: with the
// default filter nothing is shown (every entry is Wine's own); each entry
// is marked as Wine's. Skipped without Wine.
//
// The stock list data/wine-stock-startup.txt is made by this test: run it
// with TOLVANE_WRITE_WINE_STOCK=FILE and it writes the entries of the fresh
// prefix to FILE (then copy FILE over the data/ one).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "discovery/open_machine.h"
#include "startup/location_table.h"
#include "startup/startup_entries.h"
#include "testing/run_command.h"
#include "testing/source_tree.h"

namespace tolvane {
namespace {

TEST(StartupOnRealWine, AFreshPrefixShowsNothingAndEveryEntryIsWines) {
    if (testing::RunCommand("command -v wine >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "Wine is not installed (scripts/install-deps.sh --with-wine)";
    char pattern[] = "/tmp/tolvane-startup-wine-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string prefix = pattern;
    const std::string env = "WINEPREFIX='" + prefix + "' WINEDEBUG=-all ";
    int status = testing::RunCommand("timeout -k 5 240 bash -c \"" + env + "wine wineboot -i; " +
                                     env + "wineserver -w\" >/dev/null 2>&1");
    ASSERT_EQ(status, 0);
    std::string error;
    std::unique_ptr<Machine> machine = OpenMachine(prefix, &error);
    ASSERT_NE(machine, nullptr) << error;
    StartupSources sources;
    ASSERT_TRUE(ParseLocationTable(testing::SourceTreeFile("data/startup-locations.json"),
                                   &sources.table, &error));
    sources.wineStock = ParseWineStock(testing::SourceTreeFile("data/wine-stock-startup.txt"));
    StartupListing listing = ListStartupEntries(*machine, sources);
    if (const char* out = std::getenv("TOLVANE_WRITE_WINE_STOCK")) {
        std::ofstream file(out);
        file << "# The start-up entries of a prefix fresh from `wine wineboot -i` (Debian's Wine\n"
                "# 8.0), written by tests/wine/startup_wine_test.cpp with\n"
                "# TOLVANE_WRITE_WINE_STOCK set: location, name, command, tab-separated.\n";
        for (const StartupEntry& entry : listing.entries) file << WineStockKey(entry) << "\n";
    }
    EXPECT_FALSE(listing.entries.empty());
    for (const StartupEntry& entry : listing.entries)
        EXPECT_TRUE(entry.wines) << entry.location << " " << entry.name << " " << entry.command;
    std::error_code ignored;
    std::filesystem::remove_all(prefix, ignored);
}

}  // namespace
}  // namespace tolvane
