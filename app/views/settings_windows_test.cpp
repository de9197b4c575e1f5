#include "app/views/settings_windows.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "app/views/folder_chooser.h"
#include "app/views/views.h"
#include "machine/registry.h"
#include "settings/host_settings.h"
#include "settings/settings_store.h"
#include "testing/scoped_env.h"
#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

// Dialogs acted on by the test: each Run* call takes the next scripted step.
class ScriptedDialogs : public DialogView, public FolderChooserView, public Prompter {
  public:
    std::vector<std::string> messages;
    PromptAnswer Ask(const Prompt& prompt) override {
        messages.push_back(prompt.text);
        return PromptAnswer::Ok;
    }
    std::function<bool(GeneralSettingsWindow&)> general;
    std::function<bool(ScanSettingsWindow&)> scan;
    std::function<bool(FolderChooser&)> chooser;
    std::vector<std::string> chooserTitles;

    bool RunGeneralSettings(GeneralSettingsWindow& w) override { return general(w); }
    bool RunScanSettings(ScanSettingsWindow& w) override { return scan(w); }
    void RunIgnoreList(IgnoreListDialog&) override {}
    void ShowSummary(const SummaryTexts&) override {}
    void ShowObjectDetails(const ObjectDetails&) override {}
    void ShowAbout(std::string_view, std::string_view) override {}
    bool AskWithItems(std::string_view, std::string_view, std::string_view) override {
        return false;
    }
    void RunAdvancedScan(AdvancedScan&) override {}
    bool RunFolderChooser(FolderChooser& c, std::string_view title,
                          std::string_view prompt) override {
        chooserTitles.push_back(std::string(title) + "|" + std::string(prompt));
        return chooser(c);
    }
};

class SettingsWindowsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        machine_ = prefix_.Open();
        store_ = std::make_unique<SettingsStore>(machine_->registry());
    }
    SettingsContext Context() {
        return {*store_, machine_->files(), dialogs_, dialogs_, &dialogs_};
    }
    bool RunEntry(std::string* value) {
        return ReadRegistryString(machine_->registry(), RootKey::LocalMachine,
                                  "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "Tolvane",
                                  value);
    }

    testing::TempPrefix prefix_;
    std::unique_ptr<Machine> machine_;
    std::unique_ptr<SettingsStore> store_;
    ScriptedDialogs dialogs_;
};

TEST_F(SettingsWindowsTest, RunAtStartUpActsAtOnceAndSurvivesCancel) {
    prefix_.WriteFile("C:\\Program Files\\Tolvane\\Tolvane.exe", "MZ");
    dialogs_.general = [](GeneralSettingsWindow& w) {
        EXPECT_FALSE(w.runAtStartUp());
        w.ClickRunAtStartUp(true);
        return false;  // Cancel
    };
    EXPECT_FALSE(RunGeneralSettings(Context()));
    EXPECT_EQ(store_->ReadInt("AtStartUp"), 1);
    std::string run;
    ASSERT_TRUE(RunEntry(&run));
    EXPECT_EQ(run, "C:\\Program Files\\Tolvane\\Tolvane.exe -s");

    dialogs_.general = [](GeneralSettingsWindow& w) {
        EXPECT_TRUE(w.runAtStartUp());
        w.ClickRunAtStartUp(false);
        return false;
    };
    RunGeneralSettings(Context());
    EXPECT_EQ(store_->ReadInt("AtStartUp"), 0);
    EXPECT_FALSE(RunEntry(&run));
}

// The update server set in the window goes to the user's host settings,
// never into the machine.
TEST_F(SettingsWindowsTest, TheUpdateServerIsSavedOnThisComputer) {
    testing::TempFolder config;
    testing::ScopedEnv configHome("XDG_CONFIG_HOME", config.path().c_str());
    dialogs_.general = [](GeneralSettingsWindow& w) {
        EXPECT_EQ(w.updateServer(), "");
        w.SetUpdateServer("http://updates.example/");
        return true;
    };
    EXPECT_TRUE(RunGeneralSettings(Context()));
    EXPECT_EQ(HostUpdateServer().value, "http://updates.example/");
    EXPECT_EQ(store_->ReadString("UpdateServer"), "https://tolvane.example.org/update/");
}

TEST_F(SettingsWindowsTest, RunAtStartUpWithoutTheWindowsLauncherSaysSoAndWritesNoEntry) {
    dialogs_.general = [](GeneralSettingsWindow& w) {
        w.ClickRunAtStartUp(true);
        EXPECT_FALSE(w.runAtStartUp());
        return true;
    };
    EXPECT_TRUE(RunGeneralSettings(Context()));
    ASSERT_EQ(dialogs_.messages.size(), 1u);
    EXPECT_EQ(dialogs_.messages[0], kNoLauncherMessage);
    EXPECT_EQ(store_->ReadInt("AtStartUp"), 0);
    std::string run;
    EXPECT_FALSE(RunEntry(&run));
}

TEST_F(SettingsWindowsTest, RemoveAfterScanActsAtOnceAndOkStoresTheRadioChoice) {
    store_->WriteInt("AtStartUp", 0);
    dialogs_.general = [](GeneralSettingsWindow& w) {
        w.ClickRemoveAfterScan(true);
        return false;
    };
    RunGeneralSettings(Context());
    EXPECT_EQ(store_->ReadInt("RemoveAfterScan"), 1);
    EXPECT_EQ(store_->ReadInt("AtStartUp"), 0);

    for (int stored : {0, 7}) {
        store_->WriteInt("StartUpScanMode", stored);
        dialogs_.general = [](GeneralSettingsWindow& w) {
            EXPECT_EQ(w.startUpChoice(), GeneralSettingsWindow::kNoChoice);
            return true;
        };
        EXPECT_TRUE(RunGeneralSettings(Context()));
        EXPECT_EQ(store_->ReadInt("StartUpScanMode"), 0);
    }

    dialogs_.general = [](GeneralSettingsWindow& w) {
        w.ChooseStartUp(GeneralSettingsWindow::kSelectedFolders);
        return true;
    };
    RunGeneralSettings(Context());
    EXPECT_EQ(store_->ReadInt("StartUpScanMode"), 3);
    dialogs_.general = [](GeneralSettingsWindow& w) {
        EXPECT_EQ(w.startUpChoice(), 3);
        EXPECT_TRUE(w.removeAfterScan());
        return true;
    };
    RunGeneralSettings(Context());
}

TEST_F(SettingsWindowsTest, ScanSettingsKeepTheHiddenBoxes) {
    store_->WriteInt("Cust_Scan_Hosts", 1);
    for (int i = 0; i < 3; ++i) {
        dialogs_.scan = [](ScanSettingsWindow& w) {
            EXPECT_TRUE(w.checked(ScanSettingsWindow::kHosts));
            w.SetChecked(ScanSettingsWindow::kRegistry, true);
            return true;
        };
        EXPECT_TRUE(RunScanSettings(Context()));
    }
    EXPECT_EQ(store_->ReadInt("Cust_Scan_Hosts"), 1);
    EXPECT_EQ(store_->ReadInt("Cust_Scan_Registry"), 1);
    EXPECT_EQ(store_->ReadString("Cust_Scan_Active"), "0");
    EXPECT_EQ(store_->ReadString("Cust_Scan_IEFAV"), "0");

    dialogs_.scan = [](ScanSettingsWindow& w) {
        w.SetChecked(ScanSettingsWindow::kRegistry, false);
        return false;
    };
    RunScanSettings(Context());
    EXPECT_EQ(store_->ReadInt("Cust_Scan_Registry"), 1);  // Cancel writes nothing
}

TEST_F(SettingsWindowsTest, ChooseFromEitherWindowEditsTheCustomScanList) {
    for (int n = 1; n <= 5; ++n) prefix_.MakeFolder("C:\\f" + std::to_string(n));
    store_->WriteFolderList(kCustomScanFolderList,
                            {"C:\\f1", "C:\\f2", "C:\\f3", "C:\\f4", "C:\\f5"});
    dialogs_.chooser = [](FolderChooser& c) {
        EXPECT_EQ(c.CheckedPaths().size(), 5u);
        c.UncheckAll();
        EXPECT_TRUE(c.CheckPath("C:\\f4"));
        EXPECT_TRUE(c.CheckPath("C:\\f2"));
        return true;
    };
    dialogs_.general = [](GeneralSettingsWindow& w) {
        w.ClickChoose();
        return false;
    };
    RunGeneralSettings(Context());
    EXPECT_EQ(store_->ReadInt("Cust_Scan_Drives_NUM"), 2);
    // Depth-first tree order, not the order of checking.
    EXPECT_EQ(store_->ReadString("Cust_Scan_Drives_1"), "C:\\f2");
    EXPECT_EQ(store_->ReadString("Cust_Scan_Drives_2"), "C:\\f4");
    EXPECT_EQ(store_->ReadString("Cust_Scan_Drives_3"), "C:\\f3");  // left in the store
    EXPECT_EQ(dialogs_.chooserTitles.back(), "Browse For Folder|Select the Voice Mail Folder");

    dialogs_.chooser = [](FolderChooser& c) {
        c.UncheckAll();
        return false;
    };
    dialogs_.scan = [](ScanSettingsWindow& w) {
        w.ClickChoose();
        return false;
    };
    dialogs_.general = [](GeneralSettingsWindow& w) {
        w.ClickChange();  // Scan Settings from the general window
        return false;
    };
    RunGeneralSettings(Context());
    EXPECT_EQ(dialogs_.chooserTitles.size(), 2u);
    EXPECT_EQ(store_->ReadInt("Cust_Scan_Drives_Num"), 2);  // cancelled chooser
}

TEST_F(SettingsWindowsTest, FolderChooserFindsExactPathsAndReturnsDepthFirst) {
    prefix_.MakeFolder("C:\\a\\b\\c");
    prefix_.MakeFolder("C:\\a\\z");
    prefix_.MakeFolder("C:\\ab");
    prefix_.AddDrive('d', prefix_.Host("drive_c/a"));
    FolderChooser chooser(machine_->files(),
                          {"C:\\a\\z", "C:\\a\\b\\c", "C:\\A\\b", "C:\\gone", "D:\\", "C:\\a"});
    ASSERT_EQ(chooser.root().children.size(), 2u);
    EXPECT_EQ(chooser.root().children[0]->path, "C:\\");
    EXPECT_EQ(chooser.root().children[1]->name, "D:");
    // "C:\A\b" differs in case and "C:\gone" does not exist: neither is checked.
    EXPECT_EQ(chooser.CheckedPaths(),
              (std::vector<std::string>{"C:\\a", "C:\\a\\b\\c", "C:\\a\\z", "D:\\"}));
    // A path below a leading part that is a mere prefix of a name ("C:\a" of
    // "C:\ab") is still found through the later sibling.
    EXPECT_TRUE(chooser.CheckPath("C:\\ab"));
    EXPECT_FALSE(chooser.CheckPath(""));
}

}  // namespace
}  // namespace tolvane
