#include "machine/wine/wine_prefix.h"

#include <gtest/gtest.h>

#include <chrono>

#include "testing/fake_wineserver.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::TempPrefix;

TEST(WinePrefixMachineTest, RefusesChangesWhileItsWineServerRuns) {
    TempPrefix prefix;
    auto machine = OpenWinePrefix(prefix.path(), nullptr);
    ASSERT_NE(machine, nullptr);
    EXPECT_EQ(machine->ChangesRefusal(), "");
    testing::FakeWineServer server(machine->PrefixPath());
    ASSERT_TRUE(server.locked());
    EXPECT_TRUE(machine->RefusesChanges());
    EXPECT_EQ(machine->ChangesRefusal(),
              "The wineserver of the prefix " + machine->PrefixPath() +
                  " is running and would overwrite registry changes. Stop it first with: "
                  "WINEPREFIX=\"" +
                  machine->PrefixPath() + "\" wineserver -k");
    server.Stop();
    EXPECT_EQ(machine->ChangesRefusal(), "");
}

// After a removal started regsvr32, the registry is Wine's until every Wine
// program of the prefix (regsvr32 included) and its wineserver have ended.
TEST(WinePrefixMachineTest, IsIdleOnlyWhenNoWineProgramRuns) {
    using std::chrono::milliseconds;
    TempPrefix prefix;
    auto machine = prefix.Open();
    auto waited = [&] {
        auto start = std::chrono::steady_clock::now();
        machine->WaitUntilIdle(milliseconds(300));
        return std::chrono::steady_clock::now() - start;
    };
    EXPECT_LT(waited(), milliseconds(250));
    ProcessSnapshot notepad, regsvr32;
    notepad.pid = 10;
    notepad.exePath = "C:\\windows\\notepad.exe";
    regsvr32.pid = 11;
    regsvr32.exePath = "C:\\windows\\system32\\REGSVR32.EXE";
    machine->SetProcessTable(MakeFixedProcessTable({notepad}));
    EXPECT_LT(waited(), milliseconds(250));
    machine->SetProcessTable(MakeFixedProcessTable({notepad, regsvr32}));
    EXPECT_GE(waited(), milliseconds(300));
    machine->SetProcessTable(MakeFixedProcessTable({}));
    testing::FakeWineServer server(machine->PrefixPath());
    ASSERT_TRUE(server.locked());
    EXPECT_GE(waited(), milliseconds(300));
}

}  // namespace
}  // namespace tolvane
