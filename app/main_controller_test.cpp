#include "app/main_controller.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/app_test_fixture.h"
#include "app/views/ignore_list_dialog.h"
#include "app/views/settings_windows.h"
#include "discovery/shipped_data.h"
#include "scan/ignore_list.h"

namespace tolvane::testing {
namespace {

// A scan source the test drives by hand: the worker's messages are the
// test's calls, so the counters and phases are exactly what the test says.
class HandDrivenScan : public ScanSource {
  public:
    bool StartWorker(ScanObserver* w) override {
        observer = w;
        running = true;
        finished = false;
        stop = false;
        ++starts;
        return true;
    }
    bool WorkerRunning() const override { return running; }
    void JoinWorker() override { running = false; }
    void RequestStop() override { stop = true; }
    bool StopRequested() const override { return stop; }
    bool ScanFinished() const override { return finished; }
    void ClearScanFinished() override { finished = false; }
    ScanCounterValues Counters() const override { return counters; }
    int ProgressUnits() const override { return units; }
    std::string CurrentItem() const override { return item; }
    std::string LogPath() const override { return ""; }

    ScanObserver* observer = nullptr;
    bool running = false, finished = false, stop = false;
    int starts = 0;
    ScanCounterValues counters;
    int units = 0;
    std::string item;
};

class HandDrivenTest : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        ApplicationOptions options = Options();
        options.scanSource = [this](Machine&, SettingsStore&, ThreatDatabase&, IgnoreList&) {
            auto source = std::make_unique<HandDrivenScan>();
            scan_ = source.get();
            return source;
        };
        app_ = std::make_unique<Application>(*machine_, Views(), options);
        ASSERT_EQ(app_->Start(), StartResult::Running);
    }
    void Finish() {
        scan_->finished = true;
        controller().HandleScanProgress(nullptr);
        ui_.RunPending();  // the join posted by the last message
    }
    HandDrivenScan* scan_ = nullptr;
};

TEST_F(HandDrivenTest, CountersAreRewrittenOnlyWhenTheyChange) {
    controller().Execute(MainCommand::SmartScan);
    int filesBefore = views_.TextWrites(ControlId::FilesCounter);
    controller().HandleScanPhase(1);
    for (int i = 0; i < 3; ++i) {
        scan_->counters.objectsScanned = i + 1;
        controller().HandleScanProgress(nullptr);
    }
    // The first message writes all four type counters, the next ones none.
    EXPECT_EQ(views_.TextWrites(ControlId::FilesCounter), filesBefore + 1);
    EXPECT_EQ(views_.TextWrites(ControlId::RegistryCounter), 1);
    EXPECT_EQ(views_.ControlText(ControlId::MemoryCounter), "0");
    EXPECT_EQ(views_.TextWrites(ControlId::ObjectsScanned), 3);
    scan_->counters.registryKeysRecognised = 2;
    scan_->counters.registryValuesRecognised = 1;
    controller().HandleScanProgress(nullptr);
    EXPECT_EQ(views_.TextWrites(ControlId::RegistryCounter), 2);
    EXPECT_EQ(views_.ControlText(ControlId::RegistryCounter), "3");
    EXPECT_EQ(views_.TextWrites(ControlId::FilesCounter), filesBefore + 1);
    Finish();
}

TEST_F(HandDrivenTest, ProgressBarFollowsThePhase) {
    controller().Execute(MainCommand::SmartScan);
    controller().HandleScanPhase(1);
    EXPECT_EQ(views_.ProgressHistory(), (std::vector<std::string>{"100", "0"}));
    scan_->units = 16000;
    controller().HandleScanProgress(nullptr);
    EXPECT_EQ(controller().ProgressPosition(), 100);
    scan_->units = 99999;  // above 100 shows as 100
    controller().HandleScanProgress(nullptr);
    EXPECT_EQ(controller().ProgressPosition(), 100);

    controller().HandleScanPhase(3);
    EXPECT_EQ(controller().ProgressPosition(), 0);
    // One step per message while objectsScanned is a multiple of 10.
    scan_->counters.objectsScanned = 7;
    controller().HandleScanProgress(nullptr);
    EXPECT_EQ(controller().ProgressPosition(), 0);
    scan_->counters.objectsScanned = 10;
    controller().HandleScanProgress(nullptr);
    controller().HandleScanProgress(nullptr);
    EXPECT_EQ(controller().ProgressPosition(), 2);
    for (int i = 0; i < 97; ++i) controller().HandleScanProgress(nullptr);
    EXPECT_EQ(controller().ProgressPosition(), 99);
    controller().HandleScanProgress(nullptr);  // reaches 100: back to 1
    EXPECT_EQ(controller().ProgressPosition(), 1);

    controller().HandleScanPhase(4);
    scan_->units = 1800 * 7 + 5;
    controller().HandleScanProgress(nullptr);
    EXPECT_EQ(controller().ProgressPosition(), 7);
    Finish();
    EXPECT_EQ(controller().ProgressPosition(), 100);
}

TEST_F(HandDrivenTest, StatesAndWhatTheyDisable) {
    EXPECT_FALSE(controller().ControlEnabled(ControlId::ObjectsFound));
    EXPECT_TRUE(controller().MenuItemEnabled(MainCommand::CheckUpdates));
    controller().Execute(MainCommand::StartStop);
    EXPECT_TRUE(controller().Scanning());
    for (ControlId id :
         {ControlId::Backup, ControlId::Update, ControlId::Remove, ControlId::ObjectsFound})
        EXPECT_FALSE(views_.ControlEnabled(id)) << static_cast<int>(id);
    EXPECT_FALSE(controller().MenuItemEnabled(MainCommand::CheckUpdates));
    EXPECT_TRUE(controller().MenuItemEnabled(MainCommand::RemoveAll));
    EXPECT_TRUE(views_.ControlEnabled(ControlId::StartStop));

    // The menu commands that work on the results are refused meanwhile.
    for (MainCommand command :
         {MainCommand::RemoveAll, MainCommand::RemoveSelected, MainCommand::BackupQuarantine,
          MainCommand::RestoreBackup, MainCommand::AdvancedBhoScan, MainCommand::IgnoreList,
          MainCommand::OpenMachine}) {
        views_.messages.clear();
        controller().Execute(command);
        EXPECT_EQ(views_.messages,
                  (std::vector<std::string>{std::string("Tolvane|") + kBusyScanningMessage}));
    }
    views_.messages.clear();
    controller().Execute(MainCommand::CheckUpdates);  // greyed: nothing happens
    EXPECT_TRUE(views_.messages.empty());

    Finish();
    EXPECT_FALSE(controller().Scanning());
    for (ControlId id :
         {ControlId::Backup, ControlId::Update, ControlId::Remove, ControlId::ObjectsFound})
        EXPECT_TRUE(views_.ControlEnabled(id));
    EXPECT_EQ(views_.ControlText(ControlId::StatusLine), "Finished scanning...");

    controller().Execute(MainCommand::Cancel);  // Escape
    EXPECT_FALSE(views_.ended);
    controller().Execute(MainCommand::Exit);
    EXPECT_TRUE(views_.ended);
}

TEST_F(HandDrivenTest, TheEndShownIsTheEndForTheCommandsThatWaitForAScan) {
    // Stopped but not yet returned: the worker still fills the lists.
    controller().Execute(MainCommand::StartStop);
    controller().Execute(MainCommand::StartStop);
    views_.messages.clear();
    controller().Execute(MainCommand::IgnoreList);
    EXPECT_EQ(views_.messages,
              (std::vector<std::string>{std::string("Tolvane|") + kBusyScanningMessage}));
    Finish();

    // "Finished scanning..." is shown and the worker only returns: a command
    // pressed before its join has run is not refused.
    controller().Execute(MainCommand::StartStop);
    scan_->finished = true;
    controller().HandleScanProgress(nullptr);
    ASSERT_TRUE(scan_->running);
    views_.messages.clear();
    controller().Execute(MainCommand::IgnoreList);
    EXPECT_TRUE(views_.messages.empty()) << views_.messages.front();
    EXPECT_FALSE(scan_->running);
}

TEST_F(HandDrivenTest, StartAfterStopWaitsForTheStoppedWorker) {
    controller().Execute(MainCommand::StartStop);
    controller().Execute(MainCommand::StartStop);  // Stop
    EXPECT_FALSE(controller().Scanning());
    EXPECT_TRUE(scan_->stop);
    controller().Execute(MainCommand::StartStop);  // worker still finishing
    EXPECT_EQ(scan_->starts, 1);
    Finish();  // its last message, then the posted start
    EXPECT_EQ(scan_->starts, 2);
    EXPECT_TRUE(controller().Scanning());
    Finish();
}

// The worker may end, and the user start the next scan, before the join its
// last message posted runs: that join must not wait for the new worker, which
// may itself be waiting for the window's thread.
TEST_F(HandDrivenTest, TheJoinOfAFinishedScanLeavesTheNextScansWorkerAlone) {
    controller().Execute(MainCommand::StartStop);
    scan_->finished = true;
    controller().HandleScanProgress(nullptr);
    scan_->running = false;
    controller().Execute(MainCommand::StartStop);
    EXPECT_EQ(scan_->starts, 2);
    ui_.RunPending();
    EXPECT_TRUE(scan_->running);
    Finish();
    EXPECT_FALSE(scan_->running);
}

TEST_F(HandDrivenTest, SmallCommands) {
    controller().Execute(MainCommand::ShowLogfile);
    EXPECT_EQ(views_.messages,
              (std::vector<std::string>{std::string("Tolvane|") + kNoLogFileMessage}));
    controller().Execute(MainCommand::About);
    EXPECT_EQ(views_.lines.back(), "[dialog] About Tolvane 3.45: https://tolvane.example.org/");
    controller().Execute(MainCommand::OnlineHelp);
    prefix_.MakeFolder("C:\\Program Files\\Tolvane\\Logs");
    controller().Execute(MainCommand::ShowLogfiles);
    auto launches = prefix_.Launches();
    ASSERT_EQ(launches.size(), 2u) << ::testing::PrintToString(launches);
    // Help opens the documentation of this computer's Tolvane, not a page
    // of the machine's settings.
    ASSERT_FALSE(InstalledDocumentation().empty());
    EXPECT_EQ(launches[0].back(), "file://" + InstalledDocumentation());
    EXPECT_NE(launches[1].back().find("/Tolvane/Logs"), std::string::npos);

    // A support page the machine's registry turned into a program or a
    // local file is never opened: Help opens the documentation still.
    for (const char* planted : {"C:\\windows\\notepad.exe", "file:///etc/shadow"}) {
        settings().WriteString(setting::kSupportPage, planted);
        controller().Execute(MainCommand::OnlineHelp);
        EXPECT_EQ(prefix_.Launches().back().back(), "file://" + InstalledDocumentation());
    }
}

TEST_F(HandDrivenTest, OpenersFailSilently) {
    machine_->launcher().SetObserver([](const std::vector<std::string>&) { return false; });
    settings().WriteString("SupportPage", "https://tolvane.example.org/support");
    controller().Execute(MainCommand::OnlineHelp);
    ASSERT_EQ(views_.messages.size(), 1u);
    EXPECT_EQ(views_.messages[0],
              std::string("Tolvane|") + kOpenFailedMessage + "file://" + InstalledDocumentation());
    controller().Execute(MainCommand::ShowLogfiles);
    ASSERT_EQ(views_.messages.size(), 2u);
    EXPECT_EQ(views_.messages[1], std::string("Tolvane|") + kOpenFailedMessage +
                                      "C:\\Program Files\\Tolvane\\\\Logs\n" +
                                      prefix_.Host("drive_c/Program Files/Tolvane/Logs"));
}

TEST_F(AppTest, StartThenStopShowsTheStatusTextsInOrder) {
    PlantTraces();
    ASSERT_EQ(StartApp(), StartResult::Running);
    controller().Execute(MainCommand::SmartScan);
    EXPECT_EQ(settings().ReadInt("LastScanMode"), 1);
    bool stopped = false;
    ui_.RunUntil([&] {
        if (!stopped && views_.StatusHistory().size() > 1) {
            controller().Execute(MainCommand::StartStop);
            stopped = true;
            EXPECT_EQ(views_.ControlText(ControlId::StatusLine), "Scan stopped by user");
            EXPECT_EQ(views_.ControlText(ControlId::StartStop), "Start");
        }
        return !controller().WorkerRunning();
    });
    auto history = views_.StatusHistory();
    ASSERT_GE(history.size(), 3u);
    EXPECT_EQ(history[history.size() - 2], "Finished scanning...");
    EXPECT_EQ(history.back(), "Scanning stopped by user");
    EXPECT_TRUE(views_.ControlEnabled(ControlId::ObjectsFound));
    EXPECT_NE(FileText(app_->scan().LogPath()).find("Scan Finished\n"), std::string::npos);

    // Show logfile now opens that scan's log.
    controller().Execute(MainCommand::ShowLogfile);
    ASSERT_FALSE(prefix_.Launches().empty());
}

TEST_F(AppTest, StartOnAFreshMachineRunsASmartScanAndStoresOne) {
    PlantTraces();
    ASSERT_EQ(StartApp(), StartResult::Running);
    controller().Execute(MainCommand::StartStop);
    WaitForScan();
    EXPECT_EQ(settings().ReadInt("LastScanMode"), 1);
    EXPECT_EQ(controller().results().size(), 6u);  // the five traces and the folder's file
    // A stored mode is kept: Registry lists the key and the value only.
    settings().WriteInt("LastScanMode", 4);
    controller().Execute(MainCommand::StartStop);
    WaitForScan();
    EXPECT_EQ(settings().ReadInt("LastScanMode"), 4);
    EXPECT_EQ(controller().results().size(), 2u);
}

TEST_F(AppTest, RegistryDuringAScanStopsItAndStoresFour) {
    PlantTraces();
    ASSERT_EQ(StartApp(), StartResult::Running);
    controller().Execute(MainCommand::SmartScan);
    bool pressed = false;
    ui_.RunUntil([&] {
        if (!pressed) {
            controller().Execute(MainCommand::RegistryScan);
            pressed = true;
            EXPECT_FALSE(controller().Scanning());
        }
        return !controller().WorkerRunning();
    });
    EXPECT_EQ(settings().ReadInt("LastScanMode"), 4);
    EXPECT_EQ(views_.StatusHistory().back(), "Scanning stopped by user");
}

TEST_F(AppTest, CancelledCustomScanStoresTwoAndStartRunsItLater) {
    PlantTraces();
    ASSERT_EQ(StartApp(), StartResult::Running);
    settings().WriteInt("Cust_Scan_Registry", 1);
    views_.script.answers = {"cancel"};
    controller().Execute(MainCommand::CustomScan);
    EXPECT_EQ(settings().ReadInt("LastScanMode"), 2);
    EXPECT_FALSE(controller().Scanning());

    controller().Execute(MainCommand::StartStop);
    EXPECT_TRUE(controller().Scanning());
    WaitForScan();
    // The Custom Scan of the registry only: the key and the value.
    EXPECT_EQ(RowObjects(),
              (std::vector<std::string>{"Software\\Grey Lantern",
                                        "Software\\Microsoft\\Internet Explorer\\Main\\Start "
                                        "Page:@:moth.example"}));
    EXPECT_NE(FileText(app_->scan().LogPath()).find(" (Custom Scan Mode)\n"), std::string::npos);
}

TEST_F(AppTest, DrivesAndFoldersChooserStoresItsListOrStartsNothing) {
    PlantTraces();
    ASSERT_EQ(StartApp(), StartResult::Running);
    // Nothing chosen: said, and no scan of nothing (neither does Start run one).
    views_.script.folders = std::vector<std::string>{};
    controller().Execute(MainCommand::DrivesAndFolders);
    EXPECT_FALSE(controller().WorkerRunning());
    controller().Execute(MainCommand::StartStop);
    EXPECT_FALSE(controller().WorkerRunning());
    EXPECT_EQ(views_.messages,
              (std::vector<std::string>(2, std::string("Tolvane|") + kNoFolderChosenMessage)));
    views_.script.folders = std::vector<std::string>{"C:\\Program Files\\Grey Lantern"};
    views_.script.answers = {"cancel"};
    controller().Execute(MainCommand::DrivesAndFolders);
    EXPECT_FALSE(controller().Scanning());
    EXPECT_EQ(settings().ReadInt("Scan_Drives_NUM"), 0);
    controller().Execute(MainCommand::DrivesAndFolders);  // OK this time
    EXPECT_EQ(settings().ReadInt("Scan_Drives_NUM"), 1);
    EXPECT_EQ(settings().ReadString("Scan_Drives_1"), "C:\\Program Files\\Grey Lantern");
    WaitForScan();
    EXPECT_EQ(RowObjects(), (std::vector<std::string>{"C:\\Program Files\\Grey Lantern",
                                                      "C:\\Program Files\\Grey Lantern\\gl.dll"}));
    // The status line names the scan it starts.
    const std::vector<std::string> history = views_.StatusHistory();
    EXPECT_NE(std::find(history.begin(), history.end(), "Starting Drives & Folders scan..."),
              history.end());
}

TEST_F(AppTest, IgnoredRowsLeaveTheListAndAreCountedNextTime) {
    PlantTraces();
    // An entry with the key's text but the type of a file does not hide the key.
    prefix_.WriteFile("C:\\Program Files\\Tolvane\\Ignorelist.txt",
                      "Grey Lantern,Software\\Grey Lantern,1\r\n");
    ASSERT_EQ(StartApp(), StartResult::Running);
    controller().Execute(MainCommand::SmartScan);
    WaitForScan();
    std::vector<std::string> all = RowObjects();
    ASSERT_EQ(all.size(), 6u) << ::testing::PrintToString(all);
    EXPECT_NE(std::find(all.begin(), all.end(), "Software\\Grey Lantern"), all.end());
    EXPECT_TRUE(std::all_of(controller().results().rows().begin(),
                            controller().results().rows().end(),
                            [](const ListRow& row) { return row.checked; }));

    // Keep two checked (rows 2 and 4), add them to the ignore list.
    auto& results = controller().results();
    for (size_t i = 0; i < results.size(); ++i) results.SetChecked(i, i == 1 || i == 3);
    controller().RunResultsMenuCommand(ListMenuCommand::AddSelectionToIgnoreList);
    EXPECT_EQ(results.size(), 4u);
    std::string file = FileText("C:\\Program Files\\Tolvane\\Ignorelist.txt");
    int lines = static_cast<int>(std::count(file.begin(), file.end(), '\n'));
    EXPECT_EQ(lines, 3);  // the entry of the start and the two new ones
    EXPECT_NE(file.find("," + all[1] + ","), std::string::npos);
    EXPECT_NE(file.find("," + all[3] + ","), std::string::npos);
    EXPECT_LT(file.find("," + all[1] + ","), file.find("," + all[3] + ","));

    controller().Execute(MainCommand::SmartScan);
    WaitForScan();
    EXPECT_EQ(app_->scan().Counters().objectsIgnored, 2);
    EXPECT_EQ(RowObjects().size(), 4u);
    controller().Execute(MainCommand::ObjectsFound);
    ASSERT_TRUE(views_.lastSummary);
    EXPECT_EQ(views_.lastSummary->right[0].second, "2");
    EXPECT_EQ(views_.lastSummary->right[1].second, "6");
    EXPECT_EQ(views_.lastSummary->right[2].second, "4");

    // "Delete" at once empties the list and the file.
    views_.onIgnoreList = [](IgnoreListDialog& dialog) {
        EXPECT_EQ(dialog.size(), 3u);
        dialog.RemoveCheckedFromIgnoreList();
    };
    controller().Execute(MainCommand::IgnoreList);
    EXPECT_EQ(FileText("C:\\Program Files\\Tolvane\\Ignorelist.txt"), "");
    EXPECT_EQ(app_->ignoreList().Size(), 0u);
}

TEST_F(AppTest, DetailsOfAResultRow) {
    PlantTraces();
    ASSERT_EQ(StartApp(), StartResult::Running);
    controller().Execute(MainCommand::SmartScan);
    WaitForScan();
    auto items = controller().OpenResultsMenu(true, 2);
    ASSERT_EQ(items.size(), 12u);
    controller().RunResultsMenuCommand(ListMenuCommand::ObjectDetails);
    ASSERT_TRUE(views_.lastDetails);
    EXPECT_EQ(views_.lastDetails->vendor, controller().results().rows()[2].vendor);
    EXPECT_FALSE(views_.lastDetails->description.empty());
    EXPECT_FALSE(views_.lastDetails->danger.empty());
}

TEST_F(AppTest, RemoveAfterScanRemovesTheCheckedObjectsOnce) {
    PlantTraces();
    ASSERT_EQ(StartApp(), StartResult::Running);
    settings().WriteInt("RemoveAfterScan", 1);
    // The removal's questions: no backup, then yes to removing.
    views_.script.answers = {"no", "yes"};
    controller().Execute(MainCommand::SmartScan);
    WaitForScan();
    EXPECT_TRUE(views_.UnusedAnswers().empty());
    EXPECT_EQ(controller().results().size(), 0u);
    EXPECT_FALSE(machine_->files().PathFileExists("C:\\windows\\grey.exe"));
    EXPECT_FALSE(app_->scan().ScanFinished());  // cleared after the removal
    EXPECT_EQ(views_.StatusHistory().back(), "Finished scanning...");
}

}  // namespace
}  // namespace tolvane::testing
