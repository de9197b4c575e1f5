#include "machine/wine/wine_prefix.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tolvane
