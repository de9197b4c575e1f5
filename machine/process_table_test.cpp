#include "machine/process_table.h"

#include <gtest/gtest.h>

namespace tolvane {
namespace {

TEST(FixedProcessTableTest, TerminateRemovesTheEntry) {
    ProcessSnapshot a, b;
    a.pid = 10;
    a.exePath = "C:\\a.exe";
    a.hostFiles = {"/x/a.exe"};
    b.pid = 20;
    b.exePath = "C:\\b.exe";
    auto table = MakeFixedProcessTable({a, b});
    EXPECT_TRUE(table->IsMapped("/x/a.exe"));
    EXPECT_TRUE(table->Terminate(10));
    EXPECT_FALSE(table->Terminate(10));
    EXPECT_FALSE(table->IsMapped("/x/a.exe"));
    std::vector<ProcessSnapshot> left;
    ASSERT_TRUE(table->List(&left));
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].exePath, "C:\\b.exe");
}

}  // namespace
}  // namespace tolvane
