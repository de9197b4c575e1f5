#include "app/views/ignore_list_dialog.h"

#include <gtest/gtest.h>

#include "app/views/scripted_views.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "scan/ignore_list.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

TEST(IgnoreListDialog, RowsDetailsAndDelete) {
    testing::TempPrefix prefix;
    auto machine = prefix.Open();
    ThreatDatabase database;
    ASSERT_TRUE(LoadDefinitionsFromText(
        "<NA VERSION=\"1\" DATE=\"d\"><SW NAME=\"Grey Lantern\"><CATEGORY NAME=\"Adware\"/>"
        "<DANGER NAME=\"High\"/><DESCRIPTION NAME=\"Shows offers.\"/></SW></NA>",
        PlaceholderFolders(), &database));
    prefix.WriteFile("C:\\w\\Ignorelist.txt",
                     "Grey Lantern,Software\\Grey,3\r\nGone Threat,C:\\gone.exe,1\r\n");
    IgnoreList list(machine->files(), "C:\\w");
    list.Load(database);

    IgnoreListDialog dialog(list, database);
    ASSERT_EQ(dialog.size(), 2u);
    EXPECT_EQ(dialog.rows()[0].vendor, "Grey Lantern");
    EXPECT_EQ(dialog.rows()[0].type, "Registry Key");
    EXPECT_EQ(dialog.rows()[0].category, "Adware");
    EXPECT_EQ(dialog.rows()[0].danger, "");  // the column stays empty here
    EXPECT_EQ(dialog.rows()[1].vendor, "Gone Threat");
    EXPECT_EQ(dialog.rows()[1].category, "");
    EXPECT_EQ(dialog.CheckedCount(), 2u);

    ScriptedViews views;
    dialog.OpenContextMenu(true, 0);
    dialog.RunMenuCommand(ListMenuCommand::ObjectDetails, views);
    ASSERT_TRUE(views.lastDetails);
    EXPECT_EQ(views.lastDetails->description, "Shows offers.");
    EXPECT_EQ(views.lastDetails->danger, "");  // opened from the ignore list

    // Inverse toggles here as in the results list; Delete removes the checked.
    dialog.RunMenuCommand(ListMenuCommand::InverseSelection, views);
    EXPECT_EQ(dialog.CheckedCount(), 0u);
    dialog.SetChecked(1, true);
    dialog.RunMenuCommand(ListMenuCommand::RemoveSelectedFromIgnoreList, views);
    ASSERT_EQ(dialog.size(), 1u);
    std::string text;
    machine->files().ReadWholeFile("C:\\w\\Ignorelist.txt", &text);
    EXPECT_EQ(text, "Grey Lantern,Software\\Grey,3\r\n");

    dialog.SelectAll();
    EXPECT_TRUE(dialog.RemoveCheckedFromIgnoreList());
    machine->files().ReadWholeFile("C:\\w\\Ignorelist.txt", &text);
    EXPECT_EQ(text, "");
    EXPECT_EQ(list.Size(), 0u);
}

}  // namespace
}  // namespace tolvane
