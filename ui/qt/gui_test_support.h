// Test support for the desktop window's tests (QTest on Qt's offscreen
// platform): the machine the window runs on (a small temporary prefix with
// a test database and planted traces, or the demo machine of tools/demo),
// the DesktopSession started on it, the DialogDriver set up so that no
// modal window ever waits for a person, waiting with events, reading the
// window's list and counters, and screenshots under the build folder.
//
// Screenshots: SaveScreenshot writes <build>/screenshots/NAME.png (or
// NAME@1.5x.png when QT_SCALE_FACTOR is set); tests whose name holds
// "Screenshot" run once more at QT_SCALE_FACTOR=1.5 (see CMakeLists.txt).
#pragma once

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTreeWidget>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/engine_scan_source.h"
#include "app/main_controller.h"
#include "app/views/check_list.h"
#include "definitions/container.h"
#include "discovery/open_machine.h"
#include "machine/machine.h"
#include "machine/registry.h"
#include "testing/demo_machine.h"
#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"
#include "ui/qt/check_list_widget.h"
#include "ui/qt/desktop_session.h"
#include "ui/qt/dialog_driver.h"
#include "ui/qt/dialogs.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_text.h"

namespace tolvane::testing {

// A small database for the test prefix: two vendors whose traces
// PlantGuiTestTraces plants (seven rows of a Smart Scan).
inline const char* kGuiTestDefinitions =
    "<NA VERSION=\"2.5\" DATE=\"2026-12-01\">\n"
    "<SW NAME=\"Grey Lantern\"><CATEGORY NAME=\"Adware\"/>"
    "<DIRECTORIES><DIR NAME=\"%programfiles%\\Grey Lantern\"/></DIRECTORIES>"
    "<FILES><FILE NAME=\"%windir%\\grey.exe\"/></FILES>"
    "<REGKEYS><REGKEY NAME=\"Software\\Grey Lantern\"/><REGKEY NAME=\"Software\\Grey "
    "Lantern Offers\"/></REGKEYS>"
    "<DANGER NAME=\"High\"/><DESCRIPTION NAME=\"Shows offers in pop-up windows.\"/></SW>\n"
    "<SW NAME=\"Blue Moth\"><CATEGORY NAME=\"Hijacker\"/>"
    "<REGVALUES><REGVALUE NAME=\"Software\\Microsoft\\Internet Explorer\\Main\\Start "
    "Page:@:moth.example\"/></REGVALUES>"
    "<HOSTS><HOST NAME=\"ads.moth.example\"/></HOSTS>"
    "<DANGER NAME=\"Medium\"/></SW>\n"
    "</NA>\n";

// Processes events until done() holds or the time is up; done()'s last value.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMilliseconds = 30000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMilliseconds) return done();
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

// The folder the screenshots go to (made when missing).
inline QString ScreenshotFolder() {
    QString build = qEnvironmentVariable("TOLVANE_BUILD_DIR");
    QString folder = (build.isEmpty() ? QDir::currentPath() : build) + "/screenshots";
    QDir().mkpath(folder);
    return folder;
}

// "@1.5x" when the run is scaled (QT_SCALE_FACTOR), else "".
inline QString ScaleSuffix() {
    bool ok = false;
    double scale = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble(&ok);
    if (!ok || scale == 1.0 || scale <= 0) return "";
    return QString("@%1x").arg(scale);
}

// Writes what the widget shows (QWidget::grab) as NAME[@scale].png; the
// file's path, "" when it could not be written.
inline QString SaveScreenshot(QWidget* widget, const QString& name) {
    if (!widget) return "";
    widget->ensurePolished();
    QPixmap picture = widget->grab();
    QString path = ScreenshotFolder() + "/" + name + ScaleSuffix() + ".png";
    return picture.save(path, "PNG") ? path : "";
}

// Makes a folder tree writable again and removes it (the demo machine has
// a read-only folder).
inline void RemoveTree(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (path.empty() || !fs::exists(path, error)) return;
    for (auto it = fs::recursive_directory_iterator(path, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_directory(error) && !it->is_symlink(error))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, error);
    fs::remove_all(path, error);
}

// The fixture: call UseTestPrefix() or UseDemoMachine(), then StartWindow().
// Every message box takes its default button at once unless a test queued
// an answer (driver().QueueAnswer); a dialog still open after 20 s is
// rejected, so a forgotten dialog fails a test instead of hanging it.
class GuiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        DialogDriver& d = DialogDriver::Instance();
        d.Reset();
        d.answerWithDefault = true;
        d.watchdogMilliseconds = 20000;
    }

    void TearDown() override {
        CloseWindow();
        machine_.reset();
        if (!demoFolder_.empty()) {
            demo::StopDemoProcesses(demoFolder_);
            RemoveTree(demoFolder_);
        }
        prefix_.reset();
        DialogDriver::Instance().Reset();
    }

    // --- The machine ---

    // A temporary prefix with `definitions` installed as database.db (the
    // shipped script.db comes with the start) and, unless plant is false,
    // the traces of kGuiTestDefinitions. Processes: none.
    void UseTestPrefix(const char* definitions = kGuiTestDefinitions, bool plant = true) {
        prefix_ = std::make_unique<TempPrefix>();
        machine_ = prefix_->Open();
        ASSERT_TRUE(machine_);
        std::string stored;
        ASSERT_TRUE(EncodeContainer(definitions, &stored));
        prefix_->WriteFile("C:\\Program Files\\Tolvane\\database.db", stored);
        testDefinitions_ = stored;
        if (plant) PlantGuiTestTraces();
    }

    // Listed by a Smart Scan in this order: the hosts entry (Blue Moth), the
    // two keys (Grey Lantern), the start page value (Blue Moth), grey.exe,
    // the Grey Lantern folder and its file gl.dll.
    void PlantGuiTestTraces() {
        prefix_->WriteFile("C:\\windows\\system32\\drivers\\etc\\hosts",
                           "127.0.0.1 localhost\r\n10.0.0.1 ads.moth.example\r\n");
        prefix_->WriteFile("C:\\windows\\grey.exe", "MZ");
        prefix_->WriteFile("C:\\Program Files\\Grey Lantern\\gl.dll", "MZ");
        Registry& registry = machine_->registry();
        RegKey key;
        registry.CreateKey(Registry::Root(RootKey::LocalMachine), "Software\\Grey Lantern",
                           KEY_ALL_ACCESS, &key);
        registry.CreateKey(Registry::Root(RootKey::LocalMachine), "Software\\Grey Lantern Offers",
                           KEY_ALL_ACCESS, &key);
        registry.CreateKey(Registry::Root(RootKey::CurrentUser),
                           "Software\\Microsoft\\Internet Explorer\\Main", KEY_ALL_ACCESS, &key);
        registry.SetValue(key, "Start Page", REG_SZ, "http://www.moth.example/");
    }

    // The demo machine (tools/demo) in a temporary folder, opened with the
    // real process table; with processes, its two planted programs run
    // (ended by TearDown).
    void UseDemoMachine(bool processes = false) {
        demoFolder_ = demoTemp_.emplace("tolvane-gui-demo").path().string();
        demo::DemoOptions options;
        options.dataFolder = TOLVANE_SHIPPED_DATA_DIR;
        options.startProcesses = processes;
        options.processSeconds = 300;
        std::string error;
        ASSERT_TRUE(demo::CreateDemoMachine(demoFolder_, options, &error)) << error;
        machine_ = OpenMachine(demoFolder_, &error);
        ASSERT_TRUE(machine_) << error;
    }

    // Host path of the machine's prefix.
    std::string MachinePath() const { return prefix_ ? prefix_->path() : demoFolder_; }

    // --- The window ---

    // The pause before each definition of the registry-key phase: above 0
    // it slows a scan down (stop tests); 0 by default.
    std::chrono::milliseconds registryKeyPause{0};
    // Connects the update library (the update window's tests).
    bool connectUpdates = false;
    // The start installs the shipped database.db and script.db where they
    // are missing (off: a machine without them stays so).
    bool installShippedData = true;
    // The machines File > "Open Machine..." lists (none: this user's).
    std::function<std::vector<FoundMachine>()> findMachines;

    // The shipped files the start holds the machine to: the build's, with
    // the test prefix's definitions as the shipped database.db (a machine's
    // database.db counts only when it is the shipped one).
    std::string ShippedFolder() {
        if (testDefinitions_.empty()) return TOLVANE_SHIPPED_DATA_DIR;
        const std::filesystem::path folder = workTemp_.path() / "shipped";
        std::filesystem::create_directories(folder);
        std::error_code error;
        for (const char* name :
             {"script.db", "Tolvane.exe", "startup-locations.json", "wine-stock-startup.txt"})
            std::filesystem::copy_file(std::filesystem::path(TOLVANE_SHIPPED_DATA_DIR) / name,
                                       folder / name,
                                       std::filesystem::copy_options::overwrite_existing, error);
        std::ofstream(folder / "database.db", std::ios::binary | std::ios::trunc)
            << testDefinitions_;
        return folder.string();
    }

    // Starts the desktop program on the machine with these switches ("-s",
    // "-b"); the first tick has run when it returns Running.
    StartResult StartWindow(const std::string& switches = "") {
        DesktopSessionOptions options;
        options.commandLine = "\"C:\\Program Files\\Tolvane\\Tolvane.exe\"" +
                              (switches.empty() ? std::string() : " " + switches);
        options.shippedDataFolder = installShippedData ? ShippedFolder() : "";
        options.hostWorkingFolder = workFolder_;
        options.splashPauses = false;
        options.connectUpdates = connectUpdates;
        options.findMachines = findMachines;
        const std::chrono::milliseconds pause = registryKeyPause;
        options.scanSource = [pause](Machine& machine, SettingsStore&, ThreatDatabase& database,
                                     IgnoreList& list) -> std::unique_ptr<ScanSource> {
            auto source = std::make_unique<EngineScanSource>(machine, database, list);
            // A pause before every definition, so that a test can stop mid-scan.
            source->engine().SetRegistryKeyPause(pause, 1);
            return source;
        };
        session_ = std::make_unique<DesktopSession>(*machine_, options);
        StartResult result = session_->Start();
        if (result == StartResult::Running) {
            WaitUntil([this] { return session_->firstTickDone(); }, 5000);
            QApplication::setActiveWindow(&window());
        }
        return result;
    }

    // Ends the session (lets a running worker finish) and frees the machine's
    // instance lock.
    void CloseWindow() {
        if (!session_) return;
        session_->Shutdown();
        session_.reset();
    }

    DesktopSession& session() { return *session_; }
    MainWindow& window() { return session_->window(); }
    MainController& controller() { return session_->controller(); }
    CheckListWidget& results() { return *window().Results(); }
    DialogDriver& driver() { return DialogDriver::Instance(); }

    // Chooses a menu item of the menu bar as a click does.
    void ChooseMenu(MainCommand command) {
        QAction* action = window().Action(command);
        ASSERT_TRUE(action);
        ASSERT_TRUE(action->isEnabled());
        action->trigger();
    }
    // Clicks a button of the window.
    void Click(ControlId control) {
        QPushButton* button = window().Button(control);
        ASSERT_TRUE(button);
        button->click();
    }
    // Text of a counter, the status line or a button.
    QString Text(ControlId control) {
        if (QPushButton* button = window().Button(control)) return button->text();
        QLabel* label = window().Label(control);
        return label ? label->text() : QString();
    }
    int Number(ControlId control) { return Text(control).toInt(); }

    // Waits until the scan worker has ended and the window shows it.
    bool WaitForScanEnd(int timeoutMilliseconds = 30000) {
        return WaitUntil(
            [this] {
                return !controller().WorkerRunning() && Text(ControlId::StartStop) == "Start";
            },
            timeoutMilliseconds);
    }

    // The rows as the list widget shows them: the five texts joined by '|'.
    std::vector<std::string> ShownRows() {
        std::vector<std::string> rows;
        QTreeWidget& list = results();
        for (int i = 0; i < list.topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = list.topLevelItem(i);
            QStringList texts;
            for (int c = 0; c < 5; ++c) texts << item->text(c);
            rows.push_back(FromQt(texts.join('|')));
        }
        return rows;
    }
    // The check state of each shown row.
    std::vector<bool> ShownChecks() {
        std::vector<bool> checks;
        QTreeWidget& list = results();
        for (int i = 0; i < list.topLevelItemCount(); ++i)
            checks.push_back(list.topLevelItem(i)->checkState(0) == Qt::Checked);
        return checks;
    }

    // Right-clicks row `row` of a check list as the mouse does (the press
    // highlights the row, then the context menu event) and picks the menu
    // item whose text is itemText; the menu is handed to onMenu first
    // (screenshots). False when no menu opened or it had no such item.
    bool ChooseFromRowMenu(CheckListWidget& list, int row, const QString& itemText,
                           const std::function<void(QMenu*)>& onMenu = nullptr) {
        QTreeWidgetItem* item = list.topLevelItem(row);
        if (!item) return false;
        list.scrollToItem(item);
        bool found = false;
        driver().OnNextMenu(list.objectName() == "ignoreList" ? "Ignore" : "Result",
                            [&](QMenu* menu) -> QAction* {
                                if (onMenu) onMenu(menu);
                                for (QAction* action : menu->actions()) {
                                    QString text = action->text();
                                    if (text.replace("&&", "&") == itemText) {
                                        found = true;
                                        return action;
                                    }
                                }
                                return nullptr;
                            });
        QWidget* viewport = list.viewport();
        const QPoint center = list.visualItemRect(item).center();
        QTest::mousePress(viewport, Qt::RightButton, {}, center);
        QContextMenuEvent event(QContextMenuEvent::Mouse, center, viewport->mapToGlobal(center));
        QApplication::sendEvent(viewport, &event);
        QTest::mouseRelease(viewport, Qt::RightButton, {}, center);
        return found;
    }

    // The next dialog of this objectName runs action once shown (it should
    // close the dialog; the watchdog rejects it otherwise).
    void OnNextDialog(const QString& name, std::function<void(QDialog*)> action) {
        driver().OnNextDialog(name, std::move(action));
    }

    std::unique_ptr<TempPrefix> prefix_;
    std::optional<TempFolder> demoTemp_;
    std::string demoFolder_;
    TempFolder workTemp_{"tolvane-gui-work"};
    // The host working folder (Ignorelist.txt).
    const std::string workFolder_ = workTemp_.path().string();
    std::string testDefinitions_;  // the test prefix's database.db, when UseTestPrefix made one
    std::unique_ptr<Machine> machine_;
    std::unique_ptr<DesktopSession> session_;
};

}  // namespace tolvane::testing
