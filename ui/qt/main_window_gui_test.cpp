// The main window on Qt's offscreen platform, driven as a user drives it:
// a scan from the menu with its rows and counters, stop and restart, the
// results list's context menu, the ignore list, Summary and Details, the
// keyboard and the close box; screenshots of the window and its dialogs; the
// window's scan against the headless program's; the program without a
// display.
#include <sys/wait.h>

#include <QAbstractItemModel>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTest>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>

#include "app/machine_session.h"
#include "discovery/shipped_data.h"
#include "host/privileges.h"
#include "settings/settings_store.h"
#include "testing/machines_home.h"
#include "testing/run_command.h"
#include "testing/scoped_env.h"
#include "ui/qt/desktop.h"
#include "ui/qt/gui_test_support.h"

namespace tolvane {
namespace {

using testing::GuiTest;
using testing::kGuiTestDefinitions;
using testing::SaveScreenshot;
using testing::TempPrefix;
using testing::WaitUntil;

const std::vector<std::string> kTestPrefixRows = {
    "Blue Moth|Host File Item|Hijacker|ads.moth.example|Medium",
    "Grey Lantern|Registry Key|Adware|Software\\Grey Lantern|High",
    "Grey Lantern|Registry Key|Adware|Software\\Grey Lantern Offers|High",
    "Blue Moth|Registry Value|Hijacker|Software\\Microsoft\\Internet "
    "Explorer\\Main\\Start Page:@:moth.example|Medium",
    "Grey Lantern|File|Adware|C:\\windows\\grey.exe|High",
    "Grey Lantern|Folder|Adware|C:\\Program Files\\Grey Lantern|High",
    "Grey Lantern|File|Adware|C:\\Program Files\\Grey Lantern\\gl.dll|High",
};

// The value labels of a Summary dialog by their row label.
std::map<std::string, std::string> SummaryValues(QDialog* dialog) {
    std::map<std::string, std::string> values;
    for (QFormLayout* form : dialog->findChildren<QFormLayout*>()) {
        for (int row = 0; row < form->rowCount(); ++row) {
            auto* label = form->itemAt(row, QFormLayout::LabelRole);
            auto* value = form->itemAt(row, QFormLayout::FieldRole);
            if (!label || !value) continue;
            auto* labelWidget = qobject_cast<QLabel*>(label->widget());
            auto* valueWidget = qobject_cast<QLabel*>(value->widget());
            if (labelWidget && valueWidget)
                values[FromQt(labelWidget->text())] = FromQt(valueWidget->text());
        }
    }
    return values;
}

// Every row arrives checked on the user-interface thread while the worker
// waits for it; the counters are written before the row, change only when
// their value does, and end at the scan's numbers.
TEST_F(GuiTest, SmartScanFromTheMenuListsCheckedRowsWhileTheCountersMove) {
    UseTestPrefix();
    ASSERT_EQ(StartWindow(), StartResult::Running);
    EXPECT_EQ(window().windowTitle(), "Tolvane 3.45");
    EXPECT_FALSE(window().Button(ControlId::ObjectsFound)->isEnabled());
    EXPECT_FALSE(window().Button(ControlId::ShowLogfile)->isVisible());

    struct Arrival {
        bool onUiThread;
        bool workerRunning;
        bool workerWaited;
        bool checked;
        int recognisedShown;  // Files + Folders + Registry + Memory as shown
    };
    std::vector<Arrival> arrivals;
    ScanSource& scan = session().app().scan();
    QObject::connect(
        results().model(), &QAbstractItemModel::rowsInserted, &window(),
        [&](const QModelIndex&, int first, int) {
            ScanCounterValues before = scan.Counters();
            QThread::msleep(20);  // the worker would move on if it did not wait
            ScanCounterValues after = scan.Counters();
            arrivals.push_back(
                {QThread::currentThread() == qApp->thread(), controller().WorkerRunning(),
                 before.objectsScanned == after.objectsScanned &&
                     before.objectsRecognised == after.objectsRecognised,
                 results().topLevelItem(first)->checkState(0) == Qt::Checked,
                 Number(ControlId::FilesCounter) + Number(ControlId::FoldersCounter) +
                     Number(ControlId::RegistryCounter) + Number(ControlId::MemoryCounter)});
        });

    // Paint events of two counters while the scan runs.
    struct PaintCounter : QObject {
        int memory = 0, files = 0;
        QObject *memoryLabel = nullptr, *filesLabel = nullptr;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Paint) {
                if (watched == memoryLabel) ++memory;
                if (watched == filesLabel) ++files;
            }
            return false;
        }
    } paints;
    QApplication::processEvents();  // the window's first paint
    paints.memoryLabel = window().Label(ControlId::MemoryCounter);
    paints.filesLabel = window().Label(ControlId::FilesCounter);
    paints.memoryLabel->installEventFilter(&paints);
    paints.filesLabel->installEventFilter(&paints);

    ChooseMenu(MainCommand::SmartScan);
    // The scanning state shows before any message of the worker is handled.
    EXPECT_EQ(Text(ControlId::StartStop), "Stop");
    for (ControlId id :
         {ControlId::Backup, ControlId::Remove, ControlId::Update, ControlId::ObjectsFound})
        EXPECT_FALSE(window().Button(id)->isEnabled()) << int(id);
    QMenu* settings = window().MenuBar()->findChild<QMenu*>("menuSettings");
    ASSERT_TRUE(settings);
    emit settings->aboutToShow();
    EXPECT_FALSE(window().Action(MainCommand::CheckUpdates)->isEnabled());
    EXPECT_EQ(results().topLevelItemCount(), 0);
    EXPECT_EQ(SettingsStore(machine_->registry()).ReadInt("LastScanMode"), 1);

    ASSERT_TRUE(WaitForScanEnd());
    QApplication::processEvents();
    paints.memoryLabel->removeEventFilter(&paints);
    paints.filesLabel->removeEventFilter(&paints);
    EXPECT_EQ(ShownRows(), kTestPrefixRows);
    EXPECT_EQ(ShownChecks(), std::vector<bool>(kTestPrefixRows.size(), true));
    ASSERT_EQ(arrivals.size(), kTestPrefixRows.size());
    for (size_t i = 0; i < arrivals.size(); ++i) {
        EXPECT_TRUE(arrivals[i].onUiThread) << i;
        EXPECT_TRUE(arrivals[i].workerRunning) << i;
        EXPECT_TRUE(arrivals[i].workerWaited) << i;
        EXPECT_TRUE(arrivals[i].checked) << i;
    }
    // Each row adds one to the four counters before it is shown, but for
    // the hosts entry (the first row), which is none of the four.
    for (size_t i = 0; i < arrivals.size(); ++i)
        EXPECT_EQ(arrivals[i].recognisedShown, int(i)) << i;

    const ScanCounterValues counters = scan.Counters();
    EXPECT_EQ(Text(ControlId::FilesCounter), "2");
    EXPECT_EQ(Text(ControlId::FoldersCounter), "1");
    EXPECT_EQ(Text(ControlId::RegistryCounter), "3");
    EXPECT_EQ(Text(ControlId::MemoryCounter), "0");
    EXPECT_GT(counters.objectsScanned, 0);
    EXPECT_EQ(Number(ControlId::ObjectsScanned), counters.objectsScanned);
    // Written only on change: the first message writes all four, then once
    // per new value. A counter that keeps its value is never repainted.
    EXPECT_EQ(window().TextWrites(ControlId::FilesCounter), 3);     // 0, 1, 2
    EXPECT_EQ(window().TextWrites(ControlId::FoldersCounter), 2);   // 0, 1
    EXPECT_EQ(window().TextWrites(ControlId::RegistryCounter), 4);  // 1 .. 4
    EXPECT_EQ(window().TextWrites(ControlId::MemoryCounter), 1);    // 0
    EXPECT_EQ(paints.memory, 0);
    EXPECT_GE(paints.files, 1);
    EXPECT_GT(window().TextWrites(ControlId::ObjectsScanned), 1);

    EXPECT_EQ(Text(ControlId::StatusLine), "Finished scanning...");
    EXPECT_EQ(window().Progress()->value(), 100);
    for (ControlId id :
         {ControlId::Backup, ControlId::Remove, ControlId::Update, ControlId::ObjectsFound})
        EXPECT_TRUE(window().Button(id)->isEnabled()) << int(id);
    emit settings->aboutToShow();
    EXPECT_TRUE(window().Action(MainCommand::CheckUpdates)->isEnabled());
}

// Stop from the first row on: the window is idle at once, the worker ends
// early; a new scan then lists everything again.
TEST_F(GuiTest, StopDuringAScanAndStartAgain) {
    UseTestPrefix();
    registryKeyPause = std::chrono::milliseconds(150);
    ASSERT_EQ(StartWindow(), StartResult::Running);
    bool stopped = false;
    QString statusRightAfterStop;
    QObject::connect(results().model(), &QAbstractItemModel::rowsInserted, &window(), [&] {
        if (stopped) return;
        stopped = true;
        Click(ControlId::StartStop);
        statusRightAfterStop = Text(ControlId::StatusLine);
        EXPECT_EQ(Text(ControlId::StartStop), "Start");
        EXPECT_TRUE(window().Button(ControlId::ObjectsFound)->isEnabled());
    });
    ChooseMenu(MainCommand::SmartScan);
    ASSERT_TRUE(WaitForScanEnd());
    EXPECT_TRUE(stopped);
    EXPECT_EQ(statusRightAfterStop, "Scan stopped by user");
    EXPECT_EQ(Text(ControlId::StatusLine), "Scanning stopped by user");
    const size_t rowsOfStoppedScan = ShownRows().size();
    EXPECT_GE(rowsOfStoppedScan, 1u);
    EXPECT_LT(rowsOfStoppedScan, kTestPrefixRows.size());

    // The Summary shows the counts reached when it stopped.
    std::map<std::string, std::string> summary;
    OnNextDialog("Summary", [&](QDialog* dialog) {
        summary = SummaryValues(dialog);
        dialog->accept();
    });
    Click(ControlId::ObjectsFound);
    EXPECT_EQ(summary["New objects :"], std::to_string(rowsOfStoppedScan));

    // Start again with the button (the last mode, Smart Scan).
    Click(ControlId::StartStop);
    EXPECT_EQ(Text(ControlId::StartStop), "Stop");
    ASSERT_TRUE(WaitForScanEnd());
    EXPECT_EQ(ShownRows(), kTestPrefixRows);
    EXPECT_EQ(Text(ControlId::StatusLine), "Finished scanning...");
}

// Stop and Start again before the stopped worker has ended: the new scan
// waits for it and then runs by itself.
TEST_F(GuiTest, StartRightAfterStopRunsOnceTheStoppedWorkerHasEnded) {
    UseTestPrefix();
    registryKeyPause = std::chrono::milliseconds(150);
    ASSERT_EQ(StartWindow(), StartResult::Running);
    int rowsBeforeRestart = -1;
    QObject::connect(results().model(), &QAbstractItemModel::rowsInserted, &window(), [&] {
        if (rowsBeforeRestart >= 0) return;
        rowsBeforeRestart = results().topLevelItemCount();
        Click(ControlId::StartStop);  // Stop
        Click(ControlId::StartStop);  // Start, while this worker still runs
    });
    ChooseMenu(MainCommand::SmartScan);
    ASSERT_TRUE(WaitUntil([&] { return results().topLevelItemCount() == 7; }));
    ASSERT_TRUE(WaitForScanEnd());
    EXPECT_EQ(rowsBeforeRestart, 1);
    EXPECT_EQ(ShownRows(), kTestPrefixRows);
    EXPECT_EQ(Text(ControlId::StatusLine), "Finished scanning...");
}

// The results list's menu by a right click on a row: the vendor items name
// the row's vendor and uncheck exactly its rows; the checked rows then go to
// the ignore list, which the Ignore List dialog shows and a new scan counts.
TEST_F(GuiTest, RowMenuDeselectsAVendorAndTheRestGoesToTheIgnoreList) {
    UseTestPrefix();
    ASSERT_EQ(StartWindow(), StartResult::Running);
    ChooseMenu(MainCommand::SmartScan);
    ASSERT_TRUE(WaitForScanEnd());

    QStringList items;
    ASSERT_TRUE(
        ChooseFromRowMenu(results(), 0, "Deselect all \"Blue Moth\" objects", [&](QMenu* menu) {
            for (QAction* a : menu->actions()) items << a->text();
        }));
    EXPECT_EQ(items,
              QStringList({"Select all objects", "Deselect all objects", "Inverse selection", "",
                           "Add selection to ignore list", "Object details", "",
                           "Select all \"Blue Moth\" objects", "Deselect all \"Blue Moth\" objects",
                           "", "Select all \"Host File Item\" objects",
                           "Deselect all \"Host File Item\" objects"}));
    EXPECT_EQ(ShownChecks(), std::vector<bool>({false, true, true, false, true, true, true}));

    // On a row while none is highlighted (the keyboard took the highlight
    // away): the four vendor and type items say so and change nothing.
    results().clearSelection();
    QStringList unselected;
    driver().OnNextMenu("Result", [&](QMenu* menu) -> QAction* {
        for (QAction* a : menu->actions()) unselected << a->text();
        return menu->actions().last();
    });
    results().OpenContextMenuAt(results().visualItemRect(results().topLevelItem(2)).center());
    EXPECT_EQ(unselected.mid(7), QStringList({"No object selected", "No object selected", "",
                                              "No object selected", "No object selected"}));
    EXPECT_EQ(ShownChecks(), std::vector<bool>({false, true, true, false, true, true, true}));

    // A click on a check box is the row's check state too.
    results().topLevelItem(6)->setCheckState(0, Qt::Unchecked);
    ASSERT_TRUE(ChooseFromRowMenu(results(), 1, "Add selection to ignore list"));
    EXPECT_EQ(ShownRows(), std::vector<std::string>(
                               {kTestPrefixRows[0], kTestPrefixRows[3], kTestPrefixRows[6]}));
    EXPECT_EQ(prefix_->ReadFile("C:\\Program Files\\Tolvane\\Ignorelist.txt"),
              "Grey Lantern,Software\\Grey Lantern,3\r\n"
              "Grey Lantern,Software\\Grey Lantern Offers,3\r\n"
              "Grey Lantern,C:\\windows\\grey.exe,1\r\n"
              "Grey Lantern,C:\\Program Files\\Grey Lantern,2\r\n");

    // The dialog lists the four entries, checked, with an empty Danger.
    std::vector<std::string> dialogRows;
    OnNextDialog("IgnoreList", [&](QDialog* dialog) {
        auto* list = dialog->findChild<QTreeWidget*>("ignoreList");
        for (int i = 0; list && i < list->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = list->topLevelItem(i);
            dialogRows.push_back(FromQt(item->text(0) + "|" + item->text(1) + "|" + item->text(3) +
                                        "|" + item->text(4) + "|" +
                                        (item->checkState(0) == Qt::Checked ? "x" : "")));
        }
        dialog->reject();
    });
    ChooseMenu(MainCommand::IgnoreList);
    EXPECT_EQ(dialogRows, std::vector<std::string>(
                              {"Grey Lantern|Registry Key|Software\\Grey Lantern||x",
                               "Grey Lantern|Registry Key|Software\\Grey Lantern Offers||x",
                               "Grey Lantern|File|C:\\windows\\grey.exe||x",
                               "Grey Lantern|Folder|C:\\Program Files\\Grey Lantern||x"}));

    // A new scan counts them as ignored and does not list them.
    ChooseMenu(MainCommand::SmartScan);
    ASSERT_TRUE(WaitForScanEnd());
    EXPECT_EQ(ShownRows(), std::vector<std::string>(
                               {kTestPrefixRows[0], kTestPrefixRows[3], kTestPrefixRows[6]}));
    std::map<std::string, std::string> summary;
    OnNextDialog("Summary", [&](QDialog* dialog) {
        summary = SummaryValues(dialog);
        dialog->accept();
    });
    Click(ControlId::ObjectsFound);
    EXPECT_EQ(summary["Objects in Ignore list :"], "4");
    EXPECT_EQ(summary["Total objects recognized :"], "7");
    EXPECT_EQ(summary["New objects :"], "3");

    // "Delete" in the dialog at once (every row checked) empties the list.
    OnNextDialog("IgnoreList", [&](QDialog* dialog) {
        dialog->findChild<QPushButton*>("delete")->click();
        EXPECT_EQ(dialog->findChild<QTreeWidget*>("ignoreList")->topLevelItemCount(), 0);
        dialog->accept();
    });
    ChooseMenu(MainCommand::IgnoreList);
    EXPECT_EQ(prefix_->ReadFile("C:\\Program Files\\Tolvane\\Ignorelist.txt"), "");
    EXPECT_EQ(driver().PendingActions(), 0u);
}

// The Summary's numbers after a full scan and the Object Details of a row
// from the row menu, with the description or its stand-in.
TEST_F(GuiTest, SummaryAndObjectDetailsShowTheScanAndTheDefinition) {
    UseTestPrefix();
    ASSERT_EQ(StartWindow(), StartResult::Running);
    ChooseMenu(MainCommand::SmartScan);
    ASSERT_TRUE(WaitForScanEnd());

    std::map<std::string, std::string> summary;
    QString summaryTitle;
    OnNextDialog("Summary", [&](QDialog* dialog) {
        summaryTitle = dialog->windowTitle();
        summary = SummaryValues(dialog);
        dialog->accept();
    });
    Click(ControlId::ObjectsFound);
    EXPECT_EQ(summaryTitle, "Summary");
    EXPECT_EQ(summary, (std::map<std::string, std::string>{
                           {"Registry keys recognized :", "2"},  // not the hosts entry
                           {"Registry values recognized :", "1"},
                           {"Folders recognized :", "1"},
                           {"Files recognized :", "2"},
                           {"Processes recognized :", "0"},
                           {"Objects in Ignore list :", "0"},
                           {"Total objects recognized :", "7"},
                           {"New objects :", "7"},
                       }));

    auto details = [&](int row) {
        std::map<std::string, std::string> fields;
        OnNextDialog("ObjectDetails", [&](QDialog* dialog) {
            fields["title"] = FromQt(dialog->windowTitle());
            for (QLineEdit* edit : dialog->findChildren<QLineEdit*>())
                fields[FromQt(edit->objectName())] = FromQt(edit->text());
            for (QPlainTextEdit* edit : dialog->findChildren<QPlainTextEdit*>())
                fields[FromQt(edit->objectName())] = FromQt(edit->toPlainText());
            dialog->accept();
        });
        EXPECT_TRUE(ChooseFromRowMenu(results(), row, "Object details"));
        return fields;
    };
    std::map<std::string, std::string> grey = details(4);
    EXPECT_EQ(grey["title"], "Object Details");
    EXPECT_EQ(grey["vendor"], "Grey Lantern");
    EXPECT_EQ(grey["category"], "Adware");
    EXPECT_EQ(grey["objectType"], "File");
    EXPECT_EQ(grey["danger"], "High");
    EXPECT_EQ(grey["location"], "C:\\windows\\grey.exe");
    EXPECT_EQ(grey["description"], "Shows offers in pop-up windows.");
    EXPECT_EQ(grey["size"], "");
    std::map<std::string, std::string> moth = details(3);
    EXPECT_EQ(moth["objectType"], "Registry Value");
    EXPECT_EQ(moth["description"], "No description available");
    EXPECT_EQ(driver().PendingActions(), 0u);
    // Details and Summary only show: the rows are as they were.
    EXPECT_EQ(ShownRows(), kTestPrefixRows);
}

// Escape never closes the window, from the window or its list; the close
// box ends it.
TEST_F(GuiTest, EscapeKeepsTheWindowAndTheCloseBoxEndsIt) {
    UseTestPrefix();
    ASSERT_EQ(StartWindow(), StartResult::Running);
    ChooseMenu(MainCommand::SmartScan);
    ASSERT_TRUE(WaitForScanEnd());
    QTest::keyClick(&window(), Qt::Key_Escape);
    results().setFocus();
    QTest::keyClick(&results(), Qt::Key_Escape);
    QApplication::processEvents();
    EXPECT_TRUE(window().isVisible());
    EXPECT_FALSE(window().ended());
    EXPECT_EQ(ShownRows().size(), kTestPrefixRows.size());
    EXPECT_TRUE(driver().messages.empty());

    window().close();
    EXPECT_TRUE(window().ended());
    EXPECT_TRUE(controller().WindowEnded());
    EXPECT_FALSE(window().isVisible());
}

// -s with StartUpScanMode 1 scans as soon as the window is up; with 4
// ("None") it starts nothing; -b deletes the queued files and ends.
TEST_F(GuiTest, StartUpSwitchesScanOrDeleteTheQueuedFiles) {
    UseTestPrefix();
    SettingsStore(machine_->registry()).WriteInt("StartUpScanMode", 4);
    ASSERT_EQ(StartWindow("-s"), StartResult::Running);
    EXPECT_EQ(Text(ControlId::StartStop), "Start");
    EXPECT_EQ(results().topLevelItemCount(), 0);
    CloseWindow();

    SettingsStore(machine_->registry()).WriteInt("StartUpScanMode", 1);
    ASSERT_EQ(StartWindow("-s"), StartResult::Running);
    ASSERT_TRUE(WaitForScanEnd());
    EXPECT_EQ(ShownRows(), kTestPrefixRows);
    EXPECT_EQ(SettingsStore(machine_->registry()).ReadInt("LastScanMode"), 1);
    CloseWindow();

    // -b deletes the queued files, says so and ends the program.
    SettingsStore(machine_->registry()).WriteStartUpDeleteQueue({"C:\\windows\\grey.exe"});
    ASSERT_EQ(StartWindow("-b"), StartResult::Running);
    EXPECT_TRUE(window().ended());
    EXPECT_EQ(session().Exec(), 0);
    EXPECT_EQ(driver().messages,
              std::vector<std::string>({"Tolvane|Spyware items which remained in the previous "
                                        "scan have now been deleted."}));
    EXPECT_FALSE(machine_->files().PathFileExists("C:\\windows\\grey.exe"));
    EXPECT_EQ(results().topLevelItemCount(), 0);
}

// The menu bar: menus and items in window order with their mnemonics.
TEST_F(GuiTest, MenuBarHoldsEveryMenuAndItemInOrder) {
    UseTestPrefix(kGuiTestDefinitions, /*plant=*/false);
    ASSERT_EQ(StartWindow(), StartResult::Running);
    std::vector<std::string> menus;
    for (QAction* menuAction : window().MenuBar()->actions()) {
        std::string line = FromQt(menuAction->text()) + ":";
        for (QAction* item : menuAction->menu()->actions())
            line += " " + (item->isSeparator() ? std::string("-") : FromQt(item->text())) + ";";
        menus.push_back(line);
    }
    EXPECT_EQ(menus, std::vector<std::string>({
                         "&File: &Open Machine...; -; E&xit;",
                         "Scan: S&mart Scan; &Drives && Folders; &Custom Scan; -; &Memory; "
                         "&Registry; &Files; -; Advanced BHO Scan;",
                         "Remove: Remove &All ; Remove &Selected;",
                         "Settings: &General Settings; S&can Settings; -; Check &Updates; -; "
                         "&Ignore List; -; Show Logfiles;",
                         "Backup: Backup/Quarantine; -; Restore Backup;",
                         "Help: &Online Help; -; &About Tolvane;",
                     }));
}

// The About box from the Help menu and from the title band's menu (the
// system menu's entry), its link; Online Help, Show Logfiles and the
// hidden "Show logfile" before and after a scan.
TEST_F(GuiTest, AboutBoxHelpAndLogs) {
    UseTestPrefix();
    ASSERT_EQ(StartWindow(), StartResult::Running);
    QString title, link;
    OnNextDialog("About", [&](QDialog* dialog) {
        title = dialog->windowTitle();
        auto* label = dialog->findChild<QLabel*>("link");
        ASSERT_TRUE(label);
        link = label->text();
        emit label->linkActivated("ignored");
        dialog->accept();
    });
    ChooseMenu(MainCommand::About);
    EXPECT_EQ(title, "About Tolvane 3.45");
    EXPECT_NE(link.indexOf("https://tolvane.example.org/"), -1) << FromQt(link);
    EXPECT_NE(link.indexOf("underline"), -1);

    // The title band's own menu offers the same box.
    QWidget* band = window().findChild<QWidget*>("Header");
    ASSERT_TRUE(band);
    ASSERT_EQ(band->actions().size(), 1);
    EXPECT_EQ(band->actions()[0]->text(), "&About Tolvane");
    bool opened = false;
    OnNextDialog("About", [&](QDialog* dialog) {
        opened = true;
        dialog->accept();
    });
    band->actions()[0]->trigger();
    EXPECT_TRUE(opened);

    ChooseMenu(MainCommand::OnlineHelp);
    Click(ControlId::ShowLogfile);  // hidden, but present
    EXPECT_EQ(driver().messages,
              std::vector<std::string>(
                  {"Tolvane|Log file not created. Scan System once to view log file\n"}));
    ChooseMenu(MainCommand::SmartScan);
    ASSERT_TRUE(WaitForScanEnd());
    ChooseMenu(MainCommand::ShowLogfiles);  // the folder is there once a scan wrote a log
    Click(ControlId::ShowLogfile);
    EXPECT_EQ(driver().messages.size(), 1u);

    std::vector<std::string> launched;
    for (const auto& argv : prefix_->Launches()) {
        std::string line;
        for (const std::string& a : argv) line += a + " ";
        launched.push_back(line);
    }
    ASSERT_EQ(launched.size(), 4u);
    EXPECT_NE(launched[0].find("https://tolvane.example.org/"), std::string::npos) << launched[0];
    EXPECT_NE(launched[1].find("file://" + InstalledDocumentation()), std::string::npos)
        << launched[1];
    EXPECT_NE(launched[2].find("Tolvane/Logs"), std::string::npos) << launched[2];
    EXPECT_NE(launched[3].find("TolvaneLog"), std::string::npos) << launched[3];
}

// The loading splash's texts, and a start without usable definitions: the
// message, and the window ends before anyone can use it.
TEST_F(GuiTest, StartUpShowsTheLoadingTextsAndEndsWithoutDefinitions) {
    UseTestPrefix();
    ASSERT_EQ(StartWindow(), StartResult::Running);
    EXPECT_EQ(session().dialogs().loadingTexts,
              std::vector<std::string>({"Initializing...", "Searching for definition file.",
                                        "Loading definitions from file."}));
    EXPECT_EQ(session().dialogs().LoadingWindow(), nullptr);  // closed again
    EXPECT_TRUE(window().isVisible());
    CloseWindow();

    installShippedData = false;
    machine_.reset();
    UseTestPrefix(kGuiTestDefinitions, /*plant=*/false);
    std::remove(prefix_->Host("drive_c/Program Files/Tolvane/database.db").c_str());
    EXPECT_EQ(StartWindow(), StartResult::Failed);
    EXPECT_EQ(session().dialogs().loadingTexts.back(), "Definition file not found.");
    EXPECT_EQ(driver().messages,
              std::vector<std::string>(
                  {"Tolvane|Unable to load reference file. Please re-install the application."}));
    EXPECT_TRUE(window().ended());
    EXPECT_FALSE(window().isVisible());
    EXPECT_EQ(session().Exec(), 0);  // returns at once
    CloseWindow();

    driver().messages.clear();
    prefix_->WriteFile("C:\\Program Files\\Tolvane\\database.db", "not a database");
    EXPECT_EQ(StartWindow(), StartResult::Failed);
    EXPECT_EQ(session().dialogs().loadingTexts.back(), "Definitions not loaded.");
    EXPECT_EQ(driver().messages,
              std::vector<std::string>(
                  {"Tolvane|Unable to load reference file. Please re-install the application.",
                   "Tolvane|Definitions file not loaded. Program will shutdown now.\nPlease "
                   "re-install Tolvane"}));
    EXPECT_TRUE(window().ended());
}

// --- The demo machine: screenshots, and the window against --headless ------

// The window after a Smart Scan of the demo machine (its two programs
// running), the row menu, Summary, Details and the Ignore List, saved as
// PNG files under the build folder.
// File > "Open Machine..." lists the machines of a home and opens the chosen
// one in the running window: the status line names it, the list is its own.
TEST_F(GuiTest, OpenMachineOpensTheChosenMachineInTheWindow) {
    UseTestPrefix();
    testing::MachinesHome home;
    findMachines = [&home] { return FindMachines(home.places()); };
    ASSERT_EQ(StartWindow(), StartResult::Running);
    EXPECT_EQ(FromQt(Text(ControlId::StatusLine)), kMachineStatusPrefix + MachinePath());
    ChooseMenu(MainCommand::SmartScan);
    ASSERT_TRUE(WaitForScanEnd());
    ASSERT_EQ(ShownRows().size(), 7u);

    std::string chosen;
    for (const auto& machine : home.expected())
        if (machine.kind == MachineKind::Bottles) chosen = machine.path;
    int listed = 0;
    QStringList firstRow;
    OnNextDialog("OpenMachine", [&](QDialog* dialog) {
        auto* list = dialog->findChild<QTreeWidget*>("machines");
        auto* open = dialog->findChild<QPushButton*>("open");
        ASSERT_TRUE(list && open);
        EXPECT_FALSE(open->isEnabled());  // nothing chosen yet
        listed = list->topLevelItemCount();
        for (int column = 0; column < 4; ++column) firstRow << list->topLevelItem(0)->text(column);
        for (int i = 0; i < listed; ++i)
            if (FromQt(list->topLevelItem(i)->text(0)) == chosen)
                list->setCurrentItem(list->topLevelItem(i));
        SaveScreenshot(dialog, "OpenMachine");
        open->click();
    });
    ChooseMenu(MainCommand::OpenMachine);
    ASSERT_TRUE(WaitUntil([&] { return session().machine().PrefixPath() == chosen; }));
    EXPECT_EQ(listed, int(home.expected().size()));
    const std::vector<FoundMachine> found = FindMachines(home.places());
    ASSERT_FALSE(found.empty());
    const FoundMachine& first = found.front();
    EXPECT_EQ(firstRow, (QStringList{ToQt(first.path), MachineKindName(first.kind),
                                     ToQt(first.foundIn), ""}));
    // Opened as a start opens it, with the rights a start on it takes.
    Privileges privileges;
    std::string why;
    ASSERT_TRUE(TakeMachineOwnersRights(chosen, &privileges, &why)) << why;
    const std::string note = PrivilegesNote(privileges);
    EXPECT_EQ(FromQt(Text(ControlId::StatusLine)),
              kMachineStatusPrefix + chosen + (note.empty() ? "" : "  " + note));
    EXPECT_EQ(window().windowTitle(), "Tolvane 3.45");
    EXPECT_EQ(results().topLevelItemCount(), 0);
    EXPECT_TRUE(std::filesystem::exists(chosen + "/drive_c/Program Files/Tolvane/database.db"));
    EXPECT_TRUE(driver().messages.empty());
}

// Started from the menu by a user without ~/.wine, the window opens the first
// whole prefix found rather than failing on the missing default.
TEST(DesktopStart, WithoutADefaultPrefixTheFirstWholeOneFoundOpens) {
    testing::MachinesHome home;
    testing::ScopedEnv homeVar("HOME", home.home().c_str());
    testing::ScopedEnv prefixVar("WINEPREFIX", nullptr);
    testing::ScopedEnv data("XDG_DATA_HOME", nullptr);
    testing::ScopedEnv config("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(StartMachinePath({}), home.home() + "/.wine");
    DesktopOptions given;
    given.machinePath = "/given";
    EXPECT_EQ(StartMachinePath(given), "/given");
    std::filesystem::remove_all(home.home() + "/.wine");
    // The damaged winetricks prefix comes first and is passed over.
    EXPECT_EQ(StartMachinePath({}), home.home() + "/.local/share/wineprefixes/tricks");
    testing::ScopedEnv empty("HOME", (home.home() + "/Games/witcher/drive_c").c_str());
    EXPECT_EQ(StartMachinePath({}), home.home() + "/Games/witcher/drive_c/.wine");
}

TEST_F(GuiTest, DemoMachineScreenshots) {
    UseDemoMachine(/*processes=*/true);
    QString splashShot;
    driver().onShown = [&](QWidget* shown, const QString& name) {
        if (name == "Loading" && splashShot.isEmpty())
            splashShot = SaveScreenshot(shown, "loading");
    };
    ASSERT_EQ(StartWindow(), StartResult::Running);
    driver().onShown = nullptr;
    EXPECT_FALSE(splashShot.isEmpty());
    window().resize(window().sizeHint().expandedTo(window().size()));
    // The window while it scans: counters, progress and the current item.
    QString scanningShot;
    QObject::connect(results().model(), &QAbstractItemModel::rowsInserted, &window(), [&] {
        if (results().topLevelItemCount() == 30 && scanningShot.isEmpty())
            scanningShot = SaveScreenshot(&window(), "main_window_scanning");
    });
    ChooseMenu(MainCommand::SmartScan);
    ASSERT_TRUE(WaitForScanEnd());
    ASSERT_GT(results().topLevelItemCount(), 20);
    EXPECT_GT(Number(ControlId::MemoryCounter), 0);
    results().setCurrentItem(results().topLevelItem(0));
    results().scrollToTop();
    QApplication::processEvents();
    EXPECT_FALSE(SaveScreenshot(&window(), "main_window").isEmpty());
    EXPECT_FALSE(scanningShot.isEmpty());

    // The row menu, and the Object Details it opens.
    QString menuShot, detailsShot;
    OnNextDialog("ObjectDetails", [&](QDialog* dialog) {
        detailsShot = SaveScreenshot(dialog, "object_details");
        dialog->accept();
    });
    int detailsRow = -1;
    for (int i = 0; i < results().topLevelItemCount() && detailsRow < 0; ++i)
        if (results().topLevelItem(i)->text(0) == "Velvet Gazer" &&
            results().topLevelItem(i)->text(1) == "File")
            detailsRow = i;
    ASSERT_GE(detailsRow, 0);
    ASSERT_TRUE(ChooseFromRowMenu(results(), detailsRow, "Object details", [&](QMenu* menu) {
        menuShot = SaveScreenshot(menu, "result_menu");
    }));
    EXPECT_FALSE(menuShot.isEmpty());
    EXPECT_FALSE(detailsShot.isEmpty());

    QString summaryShot;
    OnNextDialog("Summary", [&](QDialog* dialog) {
        summaryShot = SaveScreenshot(dialog, "summary");
        dialog->accept();
    });
    Click(ControlId::ObjectsFound);
    EXPECT_FALSE(summaryShot.isEmpty());

    // Three vendors' rows to the ignore list, then the dialog.
    ASSERT_TRUE(ChooseFromRowMenu(results(), 0, "Deselect all objects"));
    for (int row : {0, 1, 2, 5, 8}) results().topLevelItem(row)->setCheckState(0, Qt::Checked);
    ASSERT_TRUE(ChooseFromRowMenu(results(), 0, "Add selection to ignore list"));
    QString ignoreShot;
    int ignoreRows = 0;
    OnNextDialog("IgnoreList", [&](QDialog* dialog) {
        ignoreRows = dialog->findChild<QTreeWidget*>("ignoreList")->topLevelItemCount();
        ignoreShot = SaveScreenshot(dialog, "ignore_list");
        dialog->reject();
    });
    ChooseMenu(MainCommand::IgnoreList);
    EXPECT_EQ(ignoreRows, 5);
    EXPECT_FALSE(ignoreShot.isEmpty());

    QString aboutShot;
    OnNextDialog("About", [&](QDialog* dialog) {
        aboutShot = SaveScreenshot(dialog, "about");
        dialog->accept();
    });
    ChooseMenu(MainCommand::About);
    EXPECT_FALSE(aboutShot.isEmpty());
    EXPECT_EQ(driver().PendingActions(), 0u);
}

#ifdef TOLVANE_PROGRAM
// Runs a program; *out gets what it printed on both outputs. The exit status.
int RunCommand(const std::string& command, std::string* out) {
    return testing::RunCommand(command + " 2>&1", out);
}

std::string Quoted(const std::string& text) {
    return testing::ShellQuote(text);
}

// The same Smart Scan of the demo machine (its programs running) from the
// window and from `tolvane --headless`: the same rows in the same order
// with the same check marks, and the counters the window shows are the
// headless program's.
TEST_F(GuiTest, WindowAndHeadlessScanListTheSameRowsAndCounters) {
    UseDemoMachine(/*processes=*/true);
    ASSERT_EQ(StartWindow(), StartResult::Running);
    ChooseMenu(MainCommand::SmartScan);
    ASSERT_TRUE(WaitForScanEnd());
    const std::vector<std::string> windowRows = ShownRows();
    const std::vector<bool> windowChecks = ShownChecks();
    std::map<std::string, int> shown = {
        {"objectsScanned", Number(ControlId::ObjectsScanned)},
        {"memory", Number(ControlId::MemoryCounter)},
        {"registry", Number(ControlId::RegistryCounter)},
        {"folders", Number(ControlId::FoldersCounter)},
        {"files", Number(ControlId::FilesCounter)},
    };
    const ScanCounterValues counters = session().app().scan().Counters();
    CloseWindow();  // the machine's instance lock goes with the window

    std::string out;
    ASSERT_EQ(RunCommand("cd " + Quoted(workFolder_) + " && " + TOLVANE_PROGRAM +
                             " --headless --json --machine " + Quoted(MachinePath()) +
                             " scan smart 2>/dev/null",
                         &out),
              1)
        << out;
    nlohmann::json doc = nlohmann::json::parse(out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << out;
    std::vector<std::string> headlessRows;
    std::vector<bool> headlessChecks;
    for (const auto& row : doc["rows"]) {
        headlessRows.push_back(
            row["vendor"].get<std::string>() + "|" + row["type"].get<std::string>() + "|" +
            row["category"].get<std::string>() + "|" + row["object"].get<std::string>() + "|" +
            row["danger"].get<std::string>());
        headlessChecks.push_back(row["checked"].get<bool>());
    }
    EXPECT_GT(windowRows.size(), 20u);
    EXPECT_EQ(windowRows, headlessRows);
    EXPECT_EQ(windowChecks, headlessChecks);

    const nlohmann::json& c = doc["counters"];
    EXPECT_EQ(shown["objectsScanned"], c["objectsScanned"].get<int>());
    EXPECT_EQ(shown["memory"], c["processesRecognised"].get<int>());
    EXPECT_GT(shown["memory"], 0);
    EXPECT_EQ(shown["registry"],
              c["registryKeysRecognised"].get<int>() + c["registryValuesRecognised"].get<int>());
    EXPECT_EQ(shown["folders"], c["foldersRecognised"].get<int>());
    EXPECT_EQ(shown["files"], c["filesRecognised"].get<int>());
    EXPECT_EQ(counters.objectsNew, c["objectsNew"].get<int>());
    EXPECT_EQ(counters.objectsIgnored, c["objectsIgnored"].get<int>());
    EXPECT_EQ(counters.objectsRecognised, c["objectsRecognised"].get<int>());
}

// A file with a random name that only a shipped YARA rule knows is listed
// by the window's Files scan, and still after new definitions were
// installed while the window runs: they load through the same choice as at
// start, so a vouched database's compiled rules come with them.
TEST_F(GuiTest, AFileKnownOnlyByAShippedYaraRuleIsListedAlsoAfterNewDefinitions) {
    prefix_ = std::make_unique<TempPrefix>();
    machine_ = prefix_->Open();
    ASSERT_TRUE(machine_);
    std::random_device random;
    std::string name;
    for (int i = 0; i < 10; ++i) name += static_cast<char>('a' + random() % 26);
    const std::string planted = "C:\\users\\root\\AppData\\Local\\Temp\\" + name + ".exe";
    prefix_->WriteFile(planted, std::string("MZ\x90\0\n", 5) +
                                    "You are now ready for a ScreamPlow\n" + std::string(64, '\0'));
    ASSERT_EQ(StartWindow(), StartResult::Running);
    auto listed = [&] {
        for (const std::string& row : ShownRows())
            if (row.find(planted) != std::string::npos) return row.find("EQGRP_screamingplow") == 0;
        return false;
    };

    ChooseMenu(MainCommand::FilesScan);
    ASSERT_TRUE(WaitForScanEnd(120000));
    EXPECT_TRUE(listed()) << ::testing::PrintToString(ShownRows());

    session().DefinitionsInstalled();
    EXPECT_EQ(ShownRows().size(), 0u);
    ChooseMenu(MainCommand::FilesScan);
    ASSERT_TRUE(WaitForScanEnd(120000));
    EXPECT_TRUE(listed()) << ::testing::PrintToString(ShownRows());
}

// Without a display (and no Qt platform that needs none) the program says
// so and points to --headless; commands need --headless.
TEST(DesktopProgram, WithoutADisplayPointsToHeadless) {
    TempPrefix prefix;
    const std::string noDisplay = "env -u DISPLAY -u WAYLAND_DISPLAY ";
    const std::string program =
        std::string(TOLVANE_PROGRAM) + " --machine " + Quoted(prefix.path());
    std::string out;
    EXPECT_EQ(RunCommand(noDisplay + "-u QT_QPA_PLATFORM " + program, &out), 2);
    EXPECT_NE(out.find("no display"), std::string::npos) << out;
    EXPECT_NE(out.find("--headless"), std::string::npos) << out;
    // An X11 platform without a display is no display either.
    EXPECT_EQ(RunCommand(noDisplay + "QT_QPA_PLATFORM=xcb " + program, &out), 2);
    EXPECT_NE(out.find("no display"), std::string::npos) << out;

    EXPECT_EQ(RunCommand(program + " scan smart", &out), 2);
    EXPECT_NE(out.find("run with --headless only"), std::string::npos) << out;
}
#endif

}  // namespace
}  // namespace tolvane
