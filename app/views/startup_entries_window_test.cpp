// The "Start-up Entries" window's model over a real temporary prefix: the
// listing on its worker, the filter of the system's own entries, checks and
// details; and a window closed while its listing still runs.
#include "app/views/startup_entries_window.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/views/scripted_views.h"
#include "base/win_types.h"
#include "machine/machine.h"
#include "startup/location_table.h"
#include "testing/registry_values.h"
#include "testing/source_tree.h"
#include "testing/temp_prefix.h"

namespace tolvane::testing {
namespace {

const char kRun[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

class StartupEntriesWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        machine_ = prefix_.Open();
        ASSERT_TRUE(machine_);
        std::string error;
        ASSERT_TRUE(ParseLocationTable(SourceTreeFile("data/startup-locations.json"),
                                       &sources_.table, &error))
            << error;
        std::string appData;
        machine_->shell().GetFolderPath(CSIDL_APPDATA, &appData);
        spyFile_ = appData + "\\spy.exe";
        ASSERT_TRUE(machine_->files().WriteWholeFileAtomic(spyFile_, "MZ spy"));
        SetRegistryString(machine_->registry(), RootKey::CurrentUser, kRun, "Spy",
                          "\"" + spyFile_ + "\" -quiet");
        SetRegistryString(machine_->registry(), RootKey::LocalMachine, kRun, "WineTray",
                          "C:\\windows\\system32\\winetray.exe");
        // The second entry is one of Wine's own, as the stock list names it.
        for (const StartupEntry& entry : ListStartupEntries(*machine_, sources_).entries)
            if (entry.name == "WineTray") sources_.wineStock.insert(WineStockKey(entry));
        ASSERT_EQ(sources_.wineStock.size(), 1u);
    }
    StartupEntriesWindow::Lister Lister() {
        return [this] { return ListStartupEntries(*machine_, sources_); };
    }
    static std::vector<std::string> Names(const StartupEntriesWindow& window) {
        std::vector<std::string> names;
        for (size_t row = 0; row < window.RowCount(); ++row)
            names.push_back(window.Text(row, StartupColumn::Name));
        return names;
    }

    TempPrefix prefix_;
    std::unique_ptr<Machine> machine_;
    StartupSources sources_;
    std::string spyFile_;
    TaskQueueUiThread ui_;
};

TEST_F(StartupEntriesWindowTest, ListsOffTheWindowThreadHidesTheSystemsOwnAndKeepsChecks) {
    StartupEntriesWindow window(ui_, Lister());
    int changes = 0;
    window.onChanged = [&] { ++changes; };
    window.Start();
    EXPECT_EQ(window.StatusText(), kListingStartupText);
    ui_.RunUntil([&] { return !window.Listing(); });
    EXPECT_EQ(changes, 1);
    ASSERT_TRUE(window.HideOwn());
    EXPECT_EQ(Names(window), std::vector<std::string>{"Spy"});
    EXPECT_EQ(window.StatusText(), "1 entry, 1 of Windows and Wine hidden.");
    EXPECT_EQ(window.Text(0, StartupColumn::File), spyFile_);
    EXPECT_EQ(window.Text(0, StartupColumn::Command), "\"" + spyFile_ + "\" -quiet");
    EXPECT_EQ(window.Text(0, StartupColumn::Flags), "user-writable");
    EXPECT_FALSE(window.Checked(0));
    window.SetChecked(0, true);

    window.SetHideOwn(false);
    std::vector<std::string> all = Names(window);
    ASSERT_EQ(all.size(), 2u);
    const size_t wine = all[0] == "WineTray" ? 0 : 1;
    EXPECT_EQ(window.Text(wine, StartupColumn::Flags), "missing,wine");
    EXPECT_TRUE(window.Checked(1 - wine));
    ASSERT_EQ(window.CheckedEntries().size(), 1u);
    EXPECT_EQ(window.CheckedEntries()[0]->name, "Spy");

    const auto details = window.Details(1 - wine);
    auto fact = [&](const std::string& label) {
        auto it = std::find_if(details.begin(), details.end(),
                               [&](const auto& pair) { return pair.first == label; });
        return it == details.end() ? std::string("(absent)") : it->second;
    };
    EXPECT_EQ(fact("File"), spyFile_);
    EXPECT_EQ(fact("Size"), "6 bytes");
    EXPECT_EQ(fact("SHA-256").size(), 64u);
    EXPECT_EQ(fact("In a user-writable place"), "yes");
    EXPECT_EQ(fact("Wine's own"), "no");
}

// The window may close (the user's Close) before its listing has ended: it
// waits for the worker, and the result posted afterwards finds no window.
TEST_F(StartupEntriesWindowTest, AWindowClosedWhileListingLeavesNoTaskBehind) {
    auto window = std::make_unique<StartupEntriesWindow>(ui_, Lister());
    int changes = 0;
    window->onChanged = [&] { ++changes; };
    window->Start();
    window.reset();
    ui_.RunPending();
    EXPECT_EQ(changes, 0);
}

}  // namespace
}  // namespace tolvane::testing
