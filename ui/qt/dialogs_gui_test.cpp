// The desktop program's dialogs, driven through the window on offscreen Qt:
// removal with a backup and its restore, "Unable to remove items", the
// Advanced BHO Scanning Option window, the Tolvane Update window against a
// local server, the two settings windows and the folder chooser. Every
// modal window is answered by the test through the DialogDriver (a watchdog
// closes any the test did not expect), and the dialogs are saved as PNG
// under the build folder's screenshots/ (name@1.5x.png under
// QT_SCALE_FACTOR=1.5).
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <filesystem>

#include "app/engine_scan_source.h"
#include "app/main_controller.h"
#include "definitions/container.h"
#include "discovery/shipped_data.h"
#include "host/sha256.h"
#include "machine/process_table.h"
#include "settings/host_settings.h"
#include "settings/settings_store.h"
#include "testing/registry_values.h"
#include "testing/scoped_env.h"
#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"
#include "ui/qt/check_list_widget.h"
#include "ui/qt/desktop.h"
#include "ui/qt/desktop_session.h"
#include "ui/qt/dialog_driver.h"
#include "ui/qt/main_window.h"
#include "ui/qt/message_boxes.h"
#include "update/test_http_server.h"
#include "update/test_signing.h"

// Readable Qt strings in the failure messages.
static void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace tolvane {
namespace {

using testing::TempPrefix;

// One threat with a folder (and its file), two files in the Windows folder
// and a key; the second file is kept open by a program, so its deletion is
// refused.
const char* const kDefinitions =
    "<NA VERSION=\"2.5\" DATE=\"2026-12-01\">\n"
    "<SW NAME=\"Grey Lantern\"><CATEGORY NAME=\"Adware\"/>"
    "<DIRECTORIES><DIR NAME=\"%programfiles%\\Grey Lantern\"/></DIRECTORIES>"
    "<FILES><FILE NAME=\"%windir%\\grey.exe\"/><FILE NAME=\"%windir%\\greyhold.dat\"/></FILES>"
    "<REGKEYS><REGKEY NAME=\"Software\\Grey Lantern\"/></REGKEYS>"
    "<DANGER NAME=\"High\"/><DESCRIPTION NAME=\"Shows offers.\"/></SW>\n"
    "</NA>\n";

// Two removal scripts: the first deletes grey.exe, the second (without a
// description) the Grey Lantern key.
const char* const kScripts = R"(<NA VERSION="1.0" DATE="2026-12-01">
<SW NAME="Grey Lantern"><SCRIPT><![CDATA[
if (IsFileExists('C:\\windows\\grey.exe')) DeleteFile('C:\\windows\\grey.exe');
]]></SCRIPT><DESCRIPTION NAME="Removes the Grey Lantern offers program."/></SW>
<SW NAME="Grey Lantern settings"><SCRIPT><![CDATA[
DeleteRegKey('HKEY_LOCAL_MACHINE', 'SOFTWARE\\Grey Lantern');
]]></SCRIPT></SW>
</NA>
)";

constexpr int kWait = 15000;

DialogDriver& Driver() {
    return DialogDriver::Instance();
}

// Every shown text of the window has the room it asks for: labels and
// buttons are not cut off (a wrapped label is as tall as its lines need).
void ExpectNothingClipped(QWidget* window, const QString& name) {
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        if (!widget->isVisible() || widget->window() != window) continue;
        const auto* label = qobject_cast<QLabel*>(widget);
        if (!label && !qobject_cast<QAbstractButton*>(widget)) continue;
        const std::string what = name.toStdString() + ": " + widget->objectName().toStdString() +
                                 " " + widget->metaObject()->className();
        if (label && label->wordWrap()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width())) << what;
            continue;
        }
        const QSize wanted = widget->minimumSizeHint();
        EXPECT_GE(widget->width(), wanted.width()) << what;
        EXPECT_GE(widget->height(), wanted.height()) << what;
    }
}

// Saves a window as build/screenshots/NAME.png (NAME@1.5x.png and so on
// when the screen is scaled).
void Screenshot(QWidget* window, const QString& name) {
    QString folder =
        qEnvironmentVariable("TOLVANE_BUILD_DIR", QDir::currentPath()) + "/screenshots";
    QDir().mkpath(folder);
    ExpectNothingClipped(window, name);
    const qreal ratio = window->devicePixelRatioF();
    QString suffix = ratio == 1.0 ? QString() : QString("@%1x").arg(ratio);
    EXPECT_TRUE(window->grab().save(folder + "/" + name + suffix + ".png")) << name.toStdString();
}

template <class T>
T* Child(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(name);
    EXPECT_NE(child, nullptr) << "no control " << name << " in "
                              << parent->objectName().toStdString();
    return child;
}

QPushButton* StandardButton(QDialog* dialog, QDialogButtonBox::StandardButton which) {
    auto* box = dialog->findChild<QDialogButtonBox*>();
    return box ? box->button(which) : nullptr;
}

// A mouse click on a button; check boxes and radio buttons are hit on
// their indicator (their widget may be wider than their text).
void Click(QAbstractButton* button) {
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isVisible() && button->isEnabled()) << button->text().toStdString();
    // A click lands only on a laid-out, unclipped button.
    ASSERT_GE(button->width(), button->minimumSizeHint().width()) << button->text().toStdString();
    QPoint at = button->rect().center();
    if (qobject_cast<QCheckBox*>(button) || qobject_cast<QRadioButton*>(button))
        at = QPoint(std::min(8, button->width() / 2), button->height() / 2);
    QTest::mouseClick(button, Qt::LeftButton, {}, at);
}

// A mouse click on a row of a list or tree.
void ClickItem(QTreeWidget* tree, QTreeWidgetItem* item) {
    ASSERT_NE(item, nullptr);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
}

QStringList ItemTexts(const QTreeWidgetItem* parent) {
    QStringList texts;
    for (int i = 0; i < parent->childCount(); ++i) texts << parent->child(i)->text(0);
    return texts;
}

QTreeWidgetItem* ChildNamed(QTreeWidgetItem* parent, const QString& text) {
    for (int i = 0; i < parent->childCount(); ++i)
        if (parent->child(i)->text(0) == text) return parent->child(i);
    return nullptr;
}

class DialogsGuiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Driver().Reset();
        Driver().watchdogMilliseconds = 30000;
        machine_ = prefix_.Open();
        ASSERT_TRUE(machine_);
        std::string stored;
        ASSERT_TRUE(EncodeContainer(kDefinitions, &stored));
        prefix_.WriteFile("C:\\Program Files\\Tolvane\\database.db", stored);
        ASSERT_TRUE(EncodeContainer(kScripts, &stored));
        prefix_.WriteFile("C:\\Program Files\\Tolvane\\script.db", stored);
        // A second drive, so the dialogs show more than C:.
        std::filesystem::create_directories(prefix_.Host("drive_d/Archive"));
        prefix_.AddDrive('d', prefix_.Host("drive_d"));
    }

    void TearDown() override {
        session_.reset();
        EXPECT_EQ(Driver().PendingActions(), 0u) << "a dialog the test drove did not open";
        EXPECT_EQ(Driver().QueuedAnswers(), 0u) << "a message box the test answered did not show";
        Driver().Reset();
    }

    void Start(bool updates = false) {
        DesktopSessionOptions options;
        options.commandLine = "\"C:\\Program Files\\Tolvane\\Tolvane.exe\"";
        options.splashPauses = false;
        options.connectUpdates = updates;
        if (updates) options.extraUpdateKeys = {testing::TestUpdateKey().publicPem};
        options.scanSource = [](Machine& m, SettingsStore&, ThreatDatabase& db,
                                IgnoreList& list) -> std::unique_ptr<ScanSource> {
            auto source = std::make_unique<EngineScanSource>(m, db, list);
            source->engine().SetRegistryKeyPause(std::chrono::milliseconds(0));
            return source;
        };
        session_ = std::make_unique<DesktopSession>(*machine_, options);
        ASSERT_EQ(session_->Start(), StartResult::Running);
    }

    MainWindow& window() { return session_->window(); }
    SettingsStore& settings() { return session_->app().settings(); }
    void Trigger(MainCommand command) {
        QAction* action = window().Action(command);
        ASSERT_NE(action, nullptr);
        ASSERT_TRUE(action->isEnabled());
        action->trigger();
    }
    // Runs a Smart Scan from the menu and waits until its worker has ended.
    void SmartScan() {
        Trigger(MainCommand::SmartScan);
        QLabel* status = window().Label(ControlId::StatusLine);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                return status->text() == "Finished scanning..." &&
                       !session_->controller().WorkerRunning();
            },
            kWait));
    }
    bool Exists(const std::string& path) const { return machine_->files().PathFileExists(path); }
    bool KeyExists(const std::string& path) const {
        return testing::RegistryKeyExists(machine_->registry(), RootKey::LocalMachine, path);
    }
    std::string RunEntry() const {
        std::string value;
        if (!ReadRegistryString(machine_->registry(), RootKey::LocalMachine,
                                "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "Tolvane",
                                &value))
            return "<none>";
        return value;
    }
    // Was a message box with this caption and text shown?
    bool Shown(const std::string& caption, const std::string& text) const {
        const std::string wanted = caption + "|" + text;
        for (const std::string& message : Driver().messages)
            if (message == wanted) return true;
        return false;
    }

    void PlantTraces() {
        prefix_.WriteFile("C:\\windows\\grey.exe", "MZ grey");
        prefix_.WriteFile("C:\\windows\\greyhold.dat", "held");
        prefix_.WriteFile("C:\\Program Files\\Grey Lantern\\gl.dll", "MZ gl");
        RegKey key;
        ASSERT_EQ(machine_->registry().CreateKey(Registry::Root(RootKey::LocalMachine),
                                                 "Software\\Grey Lantern", KEY_ALL_ACCESS, &key),
                  ERROR_SUCCESS);
        ASSERT_EQ(machine_->registry().SetValue(key, "Offers", REG_SZ, "on"), ERROR_SUCCESS);
    }
    // A program keeps greyhold.dat open: its deletion is refused.
    void HoldGreyholdOpen() {
        const std::string held =
            std::filesystem::canonical(prefix_.Host("drive_c/windows/greyhold.dat")).string();
        machine_->files().SetInUseCheck([held](const std::string& host) { return host == held; });
    }

    TempPrefix prefix_;
    std::unique_ptr<Machine> machine_;
    std::unique_ptr<DesktopSession> session_;
};

// --- Removal with a backup, "Unable to remove items", restore ------------------

TEST_F(DialogsGuiTest, RemovalWithBackupRefusedFileAndRestore) {
    PlantTraces();
    HoldGreyholdOpen();
    Start();

    SmartScan();
    const size_t found = session_->controller().results().size();
    ASSERT_GE(found, 4u);  // the key, two files, the folder (and its file)

    // Remove: yes to the backup, the archive's name, yes to the removal.
    Driver().QueueAnswer(PromptAnswer::Yes);  // "Backup selected items?"
    bool saveShown = false;
    Driver().OnNextDialog("SaveFileDialog", [&](QDialog* dialog) {
        saveShown = true;
        auto* drives = Child<QComboBox>(dialog, "drives");
        auto* folder = Child<QLineEdit>(dialog, "folder");
        auto* name = Child<QLineEdit>(dialog, "fileName");
        auto* entries = Child<QListWidget>(dialog, "entries");
        if (!drives || !folder || !name || !entries) return dialog->reject();
        // The machine's drives, never the host's.
        QStringList driveNames;
        for (int i = 0; i < drives->count(); ++i) driveNames << drives->itemText(i);
        EXPECT_EQ(driveNames, (QStringList{"C:\\", "D:\\"}));
        EXPECT_EQ(folder->text(), "C:\\Program Files\\Tolvane\\Quarantine");
        EXPECT_EQ(name->text(), "TolvaneBackup.zip");
        Screenshot(dialog, "save_backup");
        // Drive D: lists its folder.
        drives->setCurrentIndex(1);
        emit drives->activated(1);
        EXPECT_EQ(folder->text(), "D:\\");
        ASSERT_EQ(entries->count(), 1);
        EXPECT_EQ(entries->item(0)->text(), "Archive");
        // A folder that does not exist is refused and the dialog stays.
        name->setText("C:\\No Such Folder\\mine");
        bool refused = false;
        Driver().OnNextDialog("MessageBox", [&](QDialog* box) {
            refused = true;
            EXPECT_EQ(box->parentWidget(), dialog);  // over the save dialog
            EXPECT_TRUE(qobject_cast<QMessageBox*>(box)->text().startsWith(
                "C:\\No Such Folder\\mine.zip\nPath does not exist."));
            box->accept();
        });
        Click(Child<QPushButton>(dialog, "accept"));
        EXPECT_TRUE(refused);
        EXPECT_TRUE(dialog->isVisible());
        Driver().QueueAnswer(PromptAnswer::Ok);   // "Backup created sucessfullly"
        Driver().QueueAnswer(PromptAnswer::Yes);  // "N objects selected will be removed."
        Driver().QueueAnswer(PromptAnswer::Ok);   // "N Objects deleted successfully."
        // The held file is still there: said once more, with its number.
        Driver().OnNextDialog("MessageBox", [](QDialog* box) {
            EXPECT_EQ(qobject_cast<QMessageBox*>(box)->text(),
                      "1 objects could not be removed. They are still listed.");
            Screenshot(box, "not_removed");
            box->accept();
        });
        // A name without extension gets .zip, in the folder shown.
        const QPoint archive = entries->visualItemRect(entries->item(0)).center();
        QTest::mouseClick(entries->viewport(), Qt::LeftButton, {}, archive);
        QTest::mouseDClick(entries->viewport(), Qt::LeftButton, {}, archive);
        EXPECT_EQ(folder->text(), "D:\\Archive");
        name->setText("mine");
        Click(Child<QPushButton>(dialog, "accept"));
    });
    bool unableShown = false;
    Driver().OnNextDialog("ItemsQuestion", [&](QDialog* dialog) {
        unableShown = true;
        EXPECT_EQ(dialog->windowTitle(), "Unable to remove items");
        QLabel* prompt = Child<QLabel>(dialog, "prompt");
        ASSERT_NE(prompt, nullptr);
        EXPECT_EQ(prompt->text(),
                  "The following items were unable to remove. They may be in use by other "
                  "system processes. Do you want to remove them on next reboot?");
        auto* items = Child<QPlainTextEdit>(dialog, "items");
        ASSERT_NE(items, nullptr);
        EXPECT_TRUE(items->isReadOnly());
        EXPECT_EQ(items->toPlainText().trimmed(), "C:\\windows\\greyhold.dat");
        ASSERT_NE(StandardButton(dialog, QDialogButtonBox::Cancel), nullptr);
        Screenshot(dialog, "unable_to_remove");
        Click(StandardButton(dialog, QDialogButtonBox::Ok));
    });
    Click(window().Button(ControlId::Remove));
    EXPECT_TRUE(saveShown);
    EXPECT_TRUE(unableShown);

    EXPECT_TRUE(Shown("Tolvane", "Backup created sucessfullly"));
    EXPECT_TRUE(
        Shown("Tolvane", std::to_string(found) + " objects selected will be removed. Continue?"));
    EXPECT_TRUE(Shown("Tolvane", std::to_string(found - 1) + " Objects deleted successfully."));
    EXPECT_TRUE(Exists("D:\\Archive\\mine.zip"));
    EXPECT_EQ(session_->controller().results().size(), 1u);  // the held file, unchecked
    EXPECT_EQ(window().Results()->topLevelItemCount(), 1);
    EXPECT_FALSE(Exists("C:\\windows\\grey.exe"));
    EXPECT_TRUE(Exists("C:\\windows\\greyhold.dat"));
    EXPECT_FALSE(Exists("C:\\Program Files\\Grey Lantern"));
    EXPECT_FALSE(KeyExists("Software\\Grey Lantern"));
    // OK in "Unable to remove items" queued the file for the next start.
    EXPECT_EQ(settings().ReadStartUpDeleteQueue(),
              std::vector<std::string>{"C:\\windows\\greyhold.dat"});

    // Restore Backup: open the archive just made.
    Driver().messages.clear();
    Driver().QueueAnswer(PromptAnswer::Ok);  // the open dialog: no such file
    bool openShown = false;
    Driver().OnNextDialog("OpenFileDialog", [&](QDialog* dialog) {
        openShown = true;
        auto* folder = Child<QLineEdit>(dialog, "folder");
        auto* name = Child<QLineEdit>(dialog, "fileName");
        auto* entries = Child<QListWidget>(dialog, "entries");
        if (!folder || !name || !entries) return dialog->reject();
        EXPECT_EQ(folder->text(), "C:\\Program Files\\Tolvane\\Quarantine");
        EXPECT_EQ(entries->count(), 0);
        // Up one level lists the program's folder.
        Click(Child<QToolButton>(dialog, "up"));
        EXPECT_EQ(folder->text(), "C:\\Program Files\\Tolvane");
        EXPECT_FALSE(entries->findItems("Quarantine", Qt::MatchExactly).isEmpty());
        // A typed path that is missing is refused.
        name->setText("D:\\Archive\\other.zip");
        Click(Child<QPushButton>(dialog, "accept"));
        EXPECT_TRUE(dialog->isVisible());
        // A folder's name opens it; the archive is picked from the list.
        name->setText("D:\\Archive");
        Click(Child<QPushButton>(dialog, "accept"));
        EXPECT_EQ(folder->text(), "D:\\Archive");
        ASSERT_EQ(entries->count(), 1);
        EXPECT_EQ(entries->item(0)->text(), "mine.zip");
        QTest::mouseClick(entries->viewport(), Qt::LeftButton, {},
                          entries->visualItemRect(entries->item(0)).center());
        EXPECT_EQ(name->text(), "mine.zip");
        Screenshot(dialog, "open_backup");
        Click(Child<QPushButton>(dialog, "accept"));
    });
    Driver().OnNextDialog("MessageBox", [](QDialog* box) {
        Screenshot(box, "restored");
        box->accept();
    });
    Trigger(MainCommand::RestoreBackup);
    EXPECT_TRUE(openShown);
    ASSERT_EQ(Driver().messages.size(), 2u);
    EXPECT_NE(Driver().messages[0].find("File not found."), std::string::npos);
    // What came back and what did not: the held file never left, and the
    // folder's file came back with its folder; the key row counts once.
    EXPECT_EQ(Driver().messages[1],
              "Tolvane|Restored: 1 files, 1 folders, 1 registry keys and values, 0 hosts lines.\n"
              "Not restored because they already exist: 1 files or folders, 0 hosts lines.");
    // The copies are back where they were, and so is the key.
    EXPECT_EQ(prefix_.ReadFile("C:\\windows\\grey.exe"), "MZ grey");
    EXPECT_EQ(prefix_.ReadFile("C:\\Program Files\\Grey Lantern\\gl.dll"), "MZ gl");
    EXPECT_TRUE(KeyExists("Software\\Grey Lantern"));
    std::string offers;
    EXPECT_TRUE(ReadRegistryString(machine_->registry(), RootKey::LocalMachine,
                                   "Software\\Grey Lantern", "Offers", &offers));
    EXPECT_EQ(offers, "on");
    EXPECT_EQ(prefix_.ReadFile("C:\\windows\\greyhold.dat"), "held");

    // A new scan of the restored machine finds them again.
    SmartScan();
    EXPECT_EQ(session_->controller().results().size(), found);
}

TEST_F(DialogsGuiTest, CancelledSaveDialogStillRemovesAndNothingQueuedOnCancel) {
    PlantTraces();
    HoldGreyholdOpen();
    Start();
    SmartScan();
    const size_t found = session_->controller().results().size();

    Driver().QueueAnswer(PromptAnswer::Yes);  // backup: yes, but the dialog is cancelled
    Driver().QueueAnswer(PromptAnswer::Ok);   // no backup was made
    Driver().QueueAnswer(PromptAnswer::Yes);  // remove
    Driver().QueueAnswer(PromptAnswer::Ok);   // deleted
    Driver().QueueAnswer(PromptAnswer::Ok);   // the held file could not be removed
    Driver().OnNextDialog("SaveFileDialog", [](QDialog* dialog) {
        Click(StandardButton(dialog, QDialogButtonBox::Cancel));
    });
    Driver().OnNextDialog("ItemsQuestion", [](QDialog* dialog) {
        Click(StandardButton(dialog, QDialogButtonBox::Cancel));
    });
    Trigger(MainCommand::RemoveSelected);
    EXPECT_FALSE(Shown("Tolvane", "Backup created sucessfullly"));
    EXPECT_FALSE(Exists("C:\\Program Files\\Tolvane\\Quarantine\\TolvaneBackup.zip"));
    EXPECT_FALSE(Exists("C:\\windows\\grey.exe"));
    EXPECT_TRUE(Shown("Tolvane", std::to_string(found - 1) + " Objects deleted successfully."));
    // Cancel leaves the refused file alone: nothing queued, no run-once entry.
    EXPECT_TRUE(settings().ReadStartUpDeleteQueue().empty());
    std::string runOnce;
    EXPECT_FALSE(ReadRegistryString(machine_->registry(), RootKey::LocalMachine,
                                    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
                                    "Tolvane", &runOnce));
}

TEST_F(DialogsGuiTest, RemovalWhoseBackupWasCancelledGoesOnAsIfItHadOne) {
    PlantTraces();
    Start();
    SmartScan();
    auto escapeDoesNothing = [](QDialog* box) {
        QTest::keyClick(box, Qt::Key_Escape);
        EXPECT_TRUE(box->isVisible());
        box->close();  // the close box neither
        EXPECT_TRUE(box->isVisible());
    };
    int shown = 0;
    Driver().OnNextDialog("MessageBox", [&](QDialog* box) {  // "Backup selected items?"
        ++shown;
        escapeDoesNothing(box);
        Screenshot(box, "backup_question");
        Click(qobject_cast<QMessageBox*>(box)->button(QMessageBox::Yes));
    });
    Driver().OnNextDialog("SaveFileDialog", [](QDialog* dialog) {
        Click(StandardButton(dialog, QDialogButtonBox::Cancel));
    });
    Driver().OnNextDialog("MessageBox", [&](QDialog* box) {
        ++shown;
        EXPECT_EQ(box->windowTitle(), "Warning");
        EXPECT_EQ(qobject_cast<QMessageBox*>(box)->text(),
                  "No backup was made. If you continue, the checked items will be removed "
                  "without a backup.");
        Screenshot(box, "no_backup_made");
        QTest::keyClick(box, Qt::Key_Escape);  // an OK box closes
    });
    Driver().OnNextDialog("MessageBox", [&](QDialog* box) {  // the confirmation
        ++shown;
        escapeDoesNothing(box);
        Click(qobject_cast<QMessageBox*>(box)->button(QMessageBox::No));
    });
    Trigger(MainCommand::RemoveSelected);
    EXPECT_EQ(shown, 3);
    EXPECT_TRUE(Exists("C:\\windows\\grey.exe"));
    EXPECT_TRUE(KeyExists("Software\\Grey Lantern"));
}

TEST_F(DialogsGuiTest, ASecondBackupSilentlyReplacesTheFirst) {
    PlantTraces();
    prefix_.WriteFile("C:\\Program Files\\Tolvane\\Quarantine\\TolvaneBackup.zip", "first");
    Start();
    SmartScan();
    bool asked = false;
    Driver().OnNextDialog("SaveFileDialog", [&](QDialog* dialog) {
        Driver().OnNextDialog("MessageBox", [&](QDialog* box) {
            asked = true;
            EXPECT_EQ(box->parentWidget(), dialog);
            EXPECT_EQ(qobject_cast<QMessageBox*>(box)->text(),
                      "C:\\Program Files\\Tolvane\\Quarantine\\TolvaneBackup.zip already "
                      "exists.\nDo you want to replace it?");
            Screenshot(box, "replace_question");
            Click(qobject_cast<QMessageBox*>(box)->button(QMessageBox::No));
        });
        Click(Child<QPushButton>(dialog, "accept"));  // the proposed name
        EXPECT_TRUE(asked);
        EXPECT_TRUE(dialog->isVisible());
        Driver().QueueAnswer(PromptAnswer::Yes);  // replace it
        Driver().QueueAnswer(PromptAnswer::Ok);   // "Backup created sucessfullly"
        Click(Child<QPushButton>(dialog, "accept"));
    });
    Trigger(MainCommand::BackupQuarantine);
    EXPECT_TRUE(Shown("Tolvane", "Backup created sucessfullly"));
    EXPECT_NE(prefix_.ReadFile("C:\\Program Files\\Tolvane\\Quarantine\\TolvaneBackup.zip"),
              "first");
}

// The background of a dialog as drawn, near its top left corner.
QColor Background(QWidget* dialog) {
    return dialog->grab().toImage().pixelColor(2, 2);
}

TEST_F(DialogsGuiTest, DialogsLookLikeAnotherProgramScreenshot) {
    Start();
    const QColor window(0xf4, 0xf7, 0xfb);
    std::vector<QColor> seen;
    Driver().OnNextDialog("FolderChooser", [&](QDialog* chooser) {
        seen.push_back(Background(chooser));
        Click(StandardButton(chooser, QDialogButtonBox::Cancel));
    });
    Trigger(MainCommand::DrivesAndFolders);
    Driver().OnNextDialog("GeneralSettings", [&](QDialog* dialog) {
        seen.push_back(Background(dialog));
        Click(Child<QRadioButton>(dialog, "radio1034"));
        Screenshot(dialog, "general_settings_look");
        Driver().OnNextDialog("FolderChooser", [&](QDialog* chooser) {
            seen.push_back(Background(chooser));
            Screenshot(chooser, "folder_chooser_from_settings");
            Click(StandardButton(chooser, QDialogButtonBox::Cancel));
        });
        Click(Child<QPushButton>(dialog, "button1021"));
        Click(StandardButton(dialog, QDialogButtonBox::Cancel));
    });
    Trigger(MainCommand::GeneralSettings);
    ASSERT_EQ(seen.size(), 3u);
    for (const QColor& colour : seen) EXPECT_EQ(colour.name(), window.name());

    // An opener that is missing: said, with the address to open by hand.
    machine_->launcher().SetObserver([](const std::vector<std::string>&) { return false; });
    Driver().OnNextDialog("MessageBox", [](QDialog* box) {
        Screenshot(box, "open_failed");
        box->accept();
    });
    Trigger(MainCommand::OnlineHelp);
    EXPECT_TRUE(Shown("Tolvane", "There is no program here to open it. Open it by hand:\nfile://" +
                                     InstalledDocumentation()));
}

TEST_F(DialogsGuiTest, AStartThatFailsBeforeTheWindowExistsIsInvisible) {
    Driver().OnNextDialog("MessageBox", [](QDialog* box) {
        Screenshot(box, "start_failed");
        box->accept();
    });
    DesktopOptions options;
    options.machinePath = prefix_.Host("no-such-machine");
    int argc = 1;
    char name[] = "tolvane";
    char* argv[] = {name, nullptr};
    std::string error;
    EXPECT_EQ(RunDesktop(argc, argv, options, &error), 1);
    ASSERT_EQ(Driver().messages.size(), 1u);
    EXPECT_EQ(Driver().messages[0].rfind("Error|", 0), 0u);
    EXPECT_NE(Driver().messages[0].find("no-such-machine"), std::string::npos)
        << Driver().messages[0];
    EXPECT_NE(error.find("no-such-machine"), std::string::npos);
}

// --- Advanced BHO Scanning Option --------------------------------------------

TEST_F(DialogsGuiTest, AdvancedScanWindowRunsTheScriptsOnce) {
    PlantTraces();
    Start();
    Driver().QueueAnswer(PromptAnswer::Ok);  // "Finished cleaning all supported spyware..."
    bool shown = false;
    Driver().OnNextDialog("AdvancedScan", [&](QDialog* dialog) {
        shown = true;
        EXPECT_EQ(dialog->windowTitle(), "Advanced BHO Scanning Option");
        auto* list = Child<QTreeWidget>(dialog, "list1050");
        auto* label = Child<QLabel>(dialog, "label1055");
        auto* description = Child<QPlainTextEdit>(dialog, "description1047");
        auto* scan = Child<QPushButton>(dialog, "scan");
        auto* close = Child<QPushButton>(dialog, "close");
        if (!list || !label || !description || !scan || !close) return dialog->reject();
        EXPECT_EQ(list->headerItem()->text(0), "Vendor");
        EXPECT_EQ(list->headerItem()->text(1), "Status");
        EXPECT_EQ(label->text(), "Description");
        EXPECT_EQ(label->font().family(), "Arial");
        EXPECT_TRUE(description->isReadOnly());
        ASSERT_EQ(list->topLevelItemCount(), 2);
        EXPECT_EQ(list->topLevelItem(0)->text(0), "Grey Lantern");
        EXPECT_EQ(list->topLevelItem(1)->text(0), "Grey Lantern settings");
        for (int row = 0; row < 2; ++row)
            EXPECT_EQ(list->topLevelItem(row)->text(1), "Not Scanned");
        EXPECT_EQ(close->text(), "Cancel");
        EXPECT_TRUE(scan->isEnabled());

        // Mouse clicks show the description; the keyboard does not.
        ClickItem(list, list->topLevelItem(1));
        EXPECT_EQ(description->toPlainText(), "No description available");
        ClickItem(list, list->topLevelItem(0));
        EXPECT_EQ(description->toPlainText(), "Removes the Grey Lantern offers program.");
        QTest::keyClick(list, Qt::Key_Down);
        EXPECT_EQ(list->currentItem(), list->topLevelItem(1));
        EXPECT_EQ(description->toPlainText(), "Removes the Grey Lantern offers program.");
        Screenshot(dialog, "advanced_scan");

        Click(scan);
        EXPECT_EQ(list->topLevelItem(0)->text(1), "Finished");
        EXPECT_EQ(list->topLevelItem(1)->text(1), "Finished");
        EXPECT_EQ(close->text(), "Finish");
        EXPECT_FALSE(scan->isEnabled());
        EXPECT_FALSE(Exists("C:\\windows\\grey.exe"));
        EXPECT_FALSE(KeyExists("Software\\Grey Lantern"));
        Screenshot(dialog, "advanced_scan_finished");
        Click(close);
    });
    Trigger(MainCommand::AdvancedBhoScan);
    EXPECT_TRUE(shown);
    EXPECT_TRUE(Shown("Tolvane",
                      "Finished cleaning all supported spyware.\nClick \"Finish\" and perform "
                      "\"Smart Scan\" now."));
    EXPECT_TRUE(Exists("C:\\windows\\greyhold.dat"));

    // A second opening lists the scripts afresh, ready to run again.
    Driver().OnNextDialog("AdvancedScan", [](QDialog* dialog) {
        auto* list = Child<QTreeWidget>(dialog, "list1050");
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->topLevelItemCount(), 2);
        EXPECT_EQ(list->topLevelItem(0)->text(1), "Not Scanned");
        EXPECT_TRUE(Child<QPushButton>(dialog, "scan")->isEnabled());
        EXPECT_EQ(Child<QPushButton>(dialog, "close")->text(), "Cancel");
        Click(Child<QPushButton>(dialog, "close"));
    });
    Trigger(MainCommand::AdvancedBhoScan);
}

TEST_F(DialogsGuiTest, MessageBoxShowsThePromptsIconAndDefaultButtonWhateverItsCaption) {
    Start();
    QtMessageBoxes boxes(&window());
    Driver().OnNextDialog("MessageBox", [](QDialog* dialog) {
        auto* box = qobject_cast<QMessageBox*>(dialog);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->icon(), QMessageBox::Question);
        ASSERT_NE(box->button(QMessageBox::No), nullptr);
        EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
        Click(box->defaultButton());
    });
    EXPECT_EQ(boxes.Ask({"Error", "Remove it?", PromptButtons::YesNo, PromptIcon::Question, 1}),
              PromptAnswer::No);
    Driver().OnNextDialog("MessageBox", [](QDialog* dialog) {
        auto* box = qobject_cast<QMessageBox*>(dialog);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
        Click(box->button(QMessageBox::Ok));
    });
    boxes.Ask({"Warning", "A script's box without an icon", PromptButtons::Ok});
}

TEST_F(DialogsGuiTest, BrowserWarningComesBeforeTheAdvancedScanWindow) {
    ProcessSnapshot browser;
    browser.pid = 10;
    browser.exePath = "C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE";
    browser.modules = {browser.exePath};
    machine_->SetProcessTable(MakeFixedProcessTable({browser}));
    Start();
    QStringList opened;
    Driver().onShown = [&](QWidget*, const QString& name) { opened << name; };
    // Cancel in the warning: no window.
    Driver().OnNextDialog("MessageBox", [this](QDialog* dialog) {
        auto* box = qobject_cast<QMessageBox*>(dialog);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->windowTitle(), "Warning");
        EXPECT_EQ(box->parentWidget(), &window());
        EXPECT_EQ(box->icon(), QMessageBox::Warning);
        EXPECT_TRUE(box->text().startsWith("Internet Explorer is currently running.\n"));
        ASSERT_NE(box->button(QMessageBox::Ok), nullptr);
        Screenshot(box, "browser_warning");
        Click(box->button(QMessageBox::Cancel));
    });
    Trigger(MainCommand::AdvancedBhoScan);
    EXPECT_EQ(opened, QStringList{"MessageBox"});
    // OK: the window opens.
    Driver().OnNextDialog("MessageBox", [](QDialog* dialog) {
        Click(qobject_cast<QMessageBox*>(dialog)->button(QMessageBox::Ok));
    });
    Driver().OnNextDialog("AdvancedScan",
                          [](QDialog* dialog) { Click(Child<QPushButton>(dialog, "close")); });
    Trigger(MainCommand::AdvancedBhoScan);
    EXPECT_EQ(opened, (QStringList{"MessageBox", "MessageBox", "AdvancedScan"}));
}

// --- Tolvane Update ----------------------------------------------------------

class UpdateDialogGuiTest : public DialogsGuiTest {
  protected:
    void SetUp() override {
        DialogsGuiTest::SetUp();
        for (const char* name :
             {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            unsetenv(name);
        ASSERT_EQ(WriteUserHostSetting("UpdateServer", server_.BaseUrl()), OwnFileState::Usable);
    }
    bool Requested(const std::string& path) const {
        for (const std::string& request : server_.Requests())
            if (request == path) return true;
        return false;
    }
    // A description with its signature by the key the session trusts.
    void Describe(const std::string& path, const std::string& text) {
        server_.Set(path, text);
        server_.Set(path + ".sig", testing::SignatureFile(text));
    }
    testing::TempFolder config_{"tolvane-config"};
    testing::ScopedEnv configHome_{"XDG_CONFIG_HOME", config_.path().c_str()};
    testing::TestHttpServer server_;
};

TEST_F(UpdateDialogGuiTest, UnreachableThenDeclinedProgramAndInstalledDefinitions) {
    // Nothing served yet: the silent start-up check hears "unreachable" and
    // shows nothing.
    Start(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Requested("/tolvane/updatecore.txt"); }, kWait));
    QTest::qWait(300);
    EXPECT_TRUE(Driver().messages.empty());

    bool shown = false;
    Driver().OnNextDialog("Update", [&](QDialog* dialog) {
        shown = true;
        EXPECT_EQ(dialog->windowTitle(), "Tolvane Update");
        auto* status = Child<QLabel>(dialog, "status1089");
        auto* button = Child<QPushButton>(dialog, "button1088");
        auto* hidden = dialog->findChild<QWidget*>("progress1087");
        if (!status || !button) return dialog->reject();
        ASSERT_NE(hidden, nullptr);
        EXPECT_TRUE(hidden->isHidden());
        EXPECT_EQ(status->font().family(), "Arial");
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return status->text() == "Unable to connect to the server"; }, kWait));
        EXPECT_EQ(button->text(), "Ok");
        Screenshot(dialog, "update_unreachable");
        Click(button);
    });
    Click(window().Button(ControlId::Update));
    EXPECT_TRUE(shown);

    // A newer program (declined) and newer definitions (taken).
    std::string definitions = kDefinitions;
    definitions.replace(definitions.find("2.5"), 3, "16");
    std::string newDatabase;
    ASSERT_TRUE(EncodeContainer(definitions, &newDatabase));
    Describe("/tolvane/updatecore.txt",
             "tolvane-update 1\nversion: 3.5\nfile: /tolvane/files/setup-3.5.exe\nsize: 3\n"
             "date: 2026-12-09\nproduct: program\nsha256: " +
                 Sha256Hex("abc") + "\n");
    server_.Set("/tolvane/files/setup-3.5.exe", "abc");
    Describe("/tolvane/update.txt",
             "tolvane-update 1\nversion: 16\nfile: "
             "/tolvane/files/database-16.db\ndate: 2026-12-09\nproduct: definitions\nsize: " +
                 std::to_string(newDatabase.size()) + "\nsha256: " + Sha256Hex(newDatabase) + "\n");
    server_.Set("/tolvane/files/database-16.db", newDatabase);
    Driver().messages.clear();
    Driver().QueueAnswer(PromptAnswer::No);   // the program
    Driver().QueueAnswer(PromptAnswer::Yes);  // the definitions
    Driver().answerWithDefault = true;        // how the installation went: OK
    // Each description is answered only once the status before it has been
    // seen: a fast answer would otherwise change the status before a look.
    server_.Hold("/tolvane/updatecore.txt");
    server_.Hold("/tolvane/update.txt");
    QStringList statuses;
    shown = false;
    Driver().OnNextDialog("Update", [&](QDialog* dialog) {
        shown = true;
        auto* status = Child<QLabel>(dialog, "status1089");
        auto* button = Child<QPushButton>(dialog, "button1088");
        if (!status || !button) return dialog->reject();
        auto record = [&] {
            if (statuses.isEmpty() || statuses.back() != status->text()) statuses << status->text();
            if (status->text() == "Checking for new updates..")
                server_.Release("/tolvane/updatecore.txt");
            if (status->text() == "Checking for database updates..")
                server_.Release("/tolvane/update.txt");
        };
        record();
        Screenshot(dialog, "update_checking");
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                record();
                return status->text() == "Download Complete.";
            },
            kWait));
        Screenshot(dialog, "update_complete");
        EXPECT_EQ(button->text(), "Cancel");
        Click(button);
    });
    Click(window().Button(ControlId::Update));
    EXPECT_TRUE(shown);
    EXPECT_EQ(statuses.front(), "Checking for new updates..");
    EXPECT_TRUE(statuses.contains("Checking for database updates..") ||
                statuses.contains("Downloading new database update."))
        << statuses.join(" / ").toStdString();
    EXPECT_EQ(statuses.back(), "Download Complete.");
    EXPECT_TRUE(Shown("Tolvane Update",
                      "Tolvane v3.5 has been released.\nDo you want to download this latest "
                      "version?"));
    EXPECT_TRUE(Shown("Tolvane Database Update",
                      "Tolvane definition database v16 is available.\nDo you want to download "
                      "this update?"));
    EXPECT_FALSE(Requested("/tolvane/files/setup-3.5.exe"));
    EXPECT_EQ(prefix_.ReadFile("C:\\Program Files\\Tolvane\\database.db"), newDatabase);
}

TEST_F(UpdateDialogGuiTest, CancelDuringADownloadAbortsItAndKeepsTheDefinitions) {
    Start(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Requested("/tolvane/updatecore.txt"); }, kWait));
    QTest::qWait(300);
    const std::string oldDatabase = prefix_.ReadFile("C:\\Program Files\\Tolvane\\database.db");

    // No newer program; newer definitions that arrive slowly.
    std::string definitions = kDefinitions;
    definitions.replace(definitions.find("2.5"), 3, "17");
    std::string newDatabase;
    ASSERT_TRUE(EncodeContainer(definitions, &newDatabase));
    Describe("/tolvane/updatecore.txt",
             "tolvane-update 1\nversion: 3.45\nfile: /tolvane/files/setup.exe\nsize: 3\n"
             "date: 2026-12-09\nproduct: program\nsha256: " +
                 Sha256Hex("abc") + "\n");
    Describe("/tolvane/update.txt",
             "tolvane-update 1\nversion: 17\nfile: "
             "/tolvane/files/database-17.db\ndate: 2026-12-09\nproduct: definitions\nsize: " +
                 std::to_string(newDatabase.size()) + "\nsha256: " + Sha256Hex(newDatabase) + "\n");
    testing::TestHttpServer::Response slow;
    slow.body = newDatabase;
    slow.chunkSize = 8;
    slow.chunkDelay = std::chrono::milliseconds(200);
    server_.Set("/tolvane/files/database-17.db", slow);

    Driver().QueueAnswer(PromptAnswer::Yes);  // the definitions
    bool shown = false;
    Driver().OnNextDialog("Update", [&](QDialog* dialog) {
        shown = true;
        auto* status = Child<QLabel>(dialog, "status1089");
        auto* button = Child<QPushButton>(dialog, "button1088");
        if (!status || !button) return dialog->reject();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return status->text() == "Downloading new database update."; }, kWait));
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return Requested("/tolvane/files/database-17.db"); }, kWait));
        EXPECT_EQ(button->text(), "Cancel");
        Screenshot(dialog, "update_downloading");
        Click(button);
        EXPECT_FALSE(dialog->isVisible());
    });
    Click(window().Button(ControlId::Update));
    EXPECT_TRUE(shown);
    // Nothing more arrives, nothing is installed, no piece is left.
    QTest::qWait(500);
    EXPECT_EQ(Driver().messages.size(), 1u);  // the question only
    EXPECT_EQ(prefix_.ReadFile("C:\\Program Files\\Tolvane\\database.db"), oldDatabase);
    const std::string updates = prefix_.Host("drive_c/Program Files/Tolvane/Updates");
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !std::filesystem::exists(updates) || std::filesystem::is_empty(updates); },
        kWait));
}

// --- General Settings, Scan Settings, the folder chooser ----------------------

TEST_F(DialogsGuiTest, GeneralSettingsActAtOnceAndStoreOnOk) {
    Start();
    // The Run entry is written only where the program it names exists (a
    // build without the Windows launcher installs none).
    prefix_.WriteFile("C:\\Program Files\\Tolvane\\Tolvane.exe", "MZ");
    settings().WriteInt(setting::kStartUpScanMode, 7);
    settings().WriteInt(setting::kCustScanHosts, 1);
    bool generalShown = false, scanShown = false;
    Driver().OnNextDialog("GeneralSettings", [&](QDialog* dialog) {
        generalShown = true;
        EXPECT_EQ(dialog->windowTitle(), "General Settings");
        const std::pair<const char*, const char*> controls[] = {
            {"check1029", "Run at system startup"},
            {"radio1034", "Perform Smart Scan"},
            {"radio1035", "Custom Scan"},
            {"radio1040", "Selected Folders Only"},
            {"radio1022", "None"},
            {"check1032", "Start removing after scan is complete"},
            {"button1031", "Change"},
            {"button1021", "Choose"},
        };
        for (const auto& [name, text] : controls) {
            auto* control = Child<QAbstractButton>(dialog, name);
            if (!control) continue;
            EXPECT_EQ(control->text(), text) << name;
            EXPECT_TRUE(control->isVisible()) << name;
        }
        // A stored mode of 7 checks no radio button.
        for (const char* radio : {"radio1034", "radio1035", "radio1040", "radio1022"})
            EXPECT_FALSE(Child<QRadioButton>(dialog, radio)->isChecked()) << radio;
        Screenshot(dialog, "general_settings");

        // The two boxes act at once.
        Click(Child<QCheckBox>(dialog, "check1029"));
        EXPECT_EQ(settings().ReadInt(setting::kAtStartUp), 1);
        EXPECT_EQ(RunEntry(), "C:\\Program Files\\Tolvane\\Tolvane.exe -s");
        Click(Child<QCheckBox>(dialog, "check1032"));
        EXPECT_EQ(settings().ReadInt(setting::kRemoveAfterScan), 1);
        Click(Child<QRadioButton>(dialog, "radio1035"));

        // "Change" opens the Scan Settings window over this one.
        Driver().OnNextDialog("ScanSettings", [&](QDialog* scan) {
            scanShown = true;
            EXPECT_EQ(scan->windowTitle(), "Scan Settings ");
            EXPECT_EQ(scan->parentWidget(), dialog);  // over General Settings
            const std::tuple<const char*, const char*, bool> boxes[] = {
                {"check1015", "Scan active processes", true},
                {"check1016", "Scan registry", true},
                {"check1017", "Deep scan registry", true},
                {"check1018", "Scan selected drives + folders", true},
                {"check1019", "Scan IE Favorites for banned URLS", false},
                {"check1020", "Scan Hosts file", false},
            };
            for (const auto& [name, text, visible] : boxes) {
                auto* box = Child<QCheckBox>(scan, name);
                if (!box) continue;
                EXPECT_EQ(box->text(), text) << name;
                EXPECT_EQ(box->isVisible(), visible) << name;
            }
            EXPECT_TRUE(Child<QCheckBox>(scan, "check1020")->isChecked());
            EXPECT_TRUE(Child<QPushButton>(scan, "button1021")->isVisible());
            Screenshot(scan, "scan_settings");
            Click(Child<QCheckBox>(scan, "check1016"));
            Click(StandardButton(scan, QDialogButtonBox::Ok));
        });
        Click(Child<QPushButton>(dialog, "button1031"));
        EXPECT_TRUE(scanShown);
        EXPECT_EQ(settings().ReadInt(setting::kCustScanRegistry), 1);
        EXPECT_EQ(settings().ReadInt(setting::kCustScanHosts), 1);

        // Cancel: the radio choice is dropped, the clicked boxes stay.
        Click(StandardButton(dialog, QDialogButtonBox::Cancel));
    });
    Trigger(MainCommand::GeneralSettings);
    EXPECT_TRUE(generalShown);
    EXPECT_EQ(settings().ReadInt(setting::kStartUpScanMode), 7);
    EXPECT_EQ(settings().ReadInt(setting::kAtStartUp), 1);
    EXPECT_EQ(RunEntry(), "C:\\Program Files\\Tolvane\\Tolvane.exe -s");

    // Opened again it shows what is stored; OK stores the choice, and the
    // update server in this computer's settings, not in the machine.
    testing::TempFolder config("tolvane-config");
    testing::ScopedEnv configHome("XDG_CONFIG_HOME", config.path().c_str());
    Driver().OnNextDialog("GeneralSettings", [&](QDialog* dialog) {
        Child<QLineEdit>(dialog, "updateServer")->setText("http://updates.example/");
        EXPECT_TRUE(Child<QCheckBox>(dialog, "check1029")->isChecked());
        EXPECT_TRUE(Child<QCheckBox>(dialog, "check1032")->isChecked());
        Click(Child<QRadioButton>(dialog, "radio1022"));
        EXPECT_FALSE(Child<QRadioButton>(dialog, "radio1035")->isChecked());
        Click(Child<QCheckBox>(dialog, "check1029"));  // off: the "Run" entry goes
        EXPECT_EQ(RunEntry(), "<none>");
        Click(StandardButton(dialog, QDialogButtonBox::Ok));
    });
    Trigger(MainCommand::GeneralSettings);
    EXPECT_EQ(settings().ReadInt(setting::kStartUpScanMode), 4);
    EXPECT_EQ(settings().ReadInt(setting::kAtStartUp), 0);
    EXPECT_EQ(settings().ReadInt(setting::kRemoveAfterScan), 1);
    EXPECT_EQ(HostUpdateServer().value, "http://updates.example/");
    EXPECT_EQ(settings().ReadString(setting::kUpdateServer), "https://tolvane.example.org/update/");
}

TEST_F(DialogsGuiTest, ScanSettingsAndTheFolderChooserTree) {
    Start();
    settings().WriteInt(setting::kCustScanHosts, 1);
    settings().WriteInt(setting::kCustScanIeFav, 0);
    // The stored list: a folder that exists and one that no longer does.
    settings().WriteFolderList(kCustomScanFolderList, {"C:\\users\\root", "C:\\Gone"});
    bool chooserShown = false;
    Driver().OnNextDialog("ScanSettings", [&](QDialog* dialog) {
        Click(Child<QCheckBox>(dialog, "check1015"));
        Click(Child<QCheckBox>(dialog, "check1018"));
        Driver().OnNextDialog("FolderChooser", [&](QDialog* chooser) {
            chooserShown = true;
            EXPECT_EQ(chooser->windowTitle(), "Browse For Folder");
            EXPECT_EQ(chooser->parentWidget(), dialog);
            QLabel* prompt = Child<QLabel>(chooser, "prompt");
            ASSERT_NE(prompt, nullptr);
            EXPECT_EQ(prompt->text(), "Select the Voice Mail Folder");
            auto* tree = Child<QTreeWidget>(chooser, "tree1014");
            ASSERT_NE(tree, nullptr);
            ASSERT_EQ(tree->topLevelItemCount(), 1);
            QTreeWidgetItem* computer = tree->topLevelItem(0);
            EXPECT_EQ(computer->text(0), "My Computer");
            EXPECT_TRUE(computer->isExpanded());
            EXPECT_EQ(ItemTexts(computer), (QStringList{"C:", "D:"}));
            // The stored folder is shown checked, its parents read; D: is
            // not read until it is expanded.
            QTreeWidgetItem* c = ChildNamed(computer, "C:");
            QTreeWidgetItem* d = ChildNamed(computer, "D:");
            ASSERT_TRUE(c && d);
            QTreeWidgetItem* users = ChildNamed(c, "users");
            ASSERT_NE(users, nullptr);
            QTreeWidgetItem* root = ChildNamed(users, "root");
            ASSERT_NE(root, nullptr);
            EXPECT_EQ(root->checkState(0), Qt::Checked);
            EXPECT_EQ(d->childCount(), 0);
            EXPECT_EQ(d->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
            EXPECT_EQ(d->checkState(0), Qt::Unchecked);
            d->setExpanded(true);
            EXPECT_EQ(ItemTexts(d), QStringList{"Archive"});
            Screenshot(chooser, "folder_chooser");
            // Uncheck the profile, check D:\Archive (a click on its box).
            root->setCheckState(0, Qt::Unchecked);
            QTreeWidgetItem* archive = d->child(0);
            // Read and found empty, it loses its expander.
            archive->setExpanded(true);
            EXPECT_EQ(archive->childCount(), 0);
            EXPECT_EQ(archive->childIndicatorPolicy(),
                      QTreeWidgetItem::DontShowIndicatorWhenChildless);
            QRect box = tree->visualItemRect(archive);
            QStyleOptionViewItem option;
            option.initFrom(tree);
            option.rect = box;
            option.features |= QStyleOptionViewItem::HasCheckIndicator;
            QRect check =
                tree->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, tree);
            QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, check.center());
            EXPECT_EQ(archive->checkState(0), Qt::Checked);
            c->setCheckState(0, Qt::Checked);
            Click(StandardButton(chooser, QDialogButtonBox::Ok));
        });
        Click(Child<QPushButton>(dialog, "button1021"));
        Click(StandardButton(dialog, QDialogButtonBox::Ok));
    });
    Trigger(MainCommand::ScanSettings);
    EXPECT_TRUE(chooserShown);
    // The chooser's OK wrote the list; the window's OK the six boxes.
    EXPECT_EQ(settings().ReadFolderList(kCustomScanFolderList),
              (std::vector<std::string>{"C:\\", "D:\\Archive"}));
    EXPECT_EQ(settings().ReadInt(setting::kCustScanActive), 1);
    EXPECT_EQ(settings().ReadInt(setting::kCustScanDrives), 1);
    EXPECT_EQ(settings().ReadInt(setting::kCustScanHosts), 1);
    EXPECT_EQ(settings().ReadInt(setting::kCustScanIeFav), 0);

    // Cancel in both writes nothing.
    Driver().OnNextDialog("ScanSettings", [&](QDialog* dialog) {
        EXPECT_TRUE(Child<QCheckBox>(dialog, "check1015")->isChecked());
        Click(Child<QCheckBox>(dialog, "check1015"));
        Driver().OnNextDialog("FolderChooser", [](QDialog* chooser) {
            auto* tree = Child<QTreeWidget>(chooser, "tree1014");
            QTreeWidgetItem* d = ChildNamed(tree->topLevelItem(0), "D:");
            ASSERT_NE(d, nullptr);
            EXPECT_TRUE(d->isExpanded());
            ASSERT_EQ(d->childCount(), 1);
            EXPECT_EQ(d->child(0)->checkState(0), Qt::Checked);
            d->child(0)->setCheckState(0, Qt::Unchecked);
            Click(StandardButton(chooser, QDialogButtonBox::Cancel));
        });
        Click(Child<QPushButton>(dialog, "button1021"));
        Click(StandardButton(dialog, QDialogButtonBox::Cancel));
    });
    Trigger(MainCommand::ScanSettings);
    EXPECT_EQ(settings().ReadFolderList(kCustomScanFolderList),
              (std::vector<std::string>{"C:\\", "D:\\Archive"}));
    EXPECT_EQ(settings().ReadInt(setting::kCustScanActive), 1);
}

// --- About, online help and the logs -----------------------------------------

TEST_F(DialogsGuiTest, AboutBoxLinkOnlineHelpAndLogsFolder) {
    Start();
    settings().WriteString(setting::kWebSite, "https://www.tolvane.example/");
    settings().WriteString(setting::kSupportPage, "https://www.tolvane.example/support");
    const size_t before = prefix_.Launches().size();
    bool shown = false;
    Driver().OnNextDialog("About", [&](QDialog* dialog) {
        shown = true;
        EXPECT_EQ(dialog->windowTitle(), "About Tolvane 3.45");
        auto* link = Child<QLabel>(dialog, "link");
        if (!link) return dialog->reject();
        EXPECT_EQ(link->font().family(), "Arial");
        EXPECT_TRUE(link->text().contains("underline"));
        EXPECT_TRUE(link->text().contains(">https://www.tolvane.example/</a>"));
        Screenshot(dialog, "about");
        // A click on the link opens the address.
        QTest::mouseClick(link, Qt::LeftButton, {},
                          QPoint(link->fontMetrics().averageCharWidth() * 4, link->height() / 2));
        Click(StandardButton(dialog, QDialogButtonBox::Ok));
    });
    Trigger(MainCommand::About);
    EXPECT_TRUE(shown);
    Trigger(MainCommand::OnlineHelp);
    prefix_.MakeFolder("C:\\Program Files\\Tolvane\\Logs");
    Trigger(MainCommand::ShowLogfiles);
    std::vector<std::vector<std::string>> launches = prefix_.Launches();
    launches.erase(launches.begin(), launches.begin() + before);
    ASSERT_EQ(launches.size(), 3u);
    EXPECT_EQ(launches[0], (std::vector<std::string>{"xdg-open", "https://www.tolvane.example/"}));
    EXPECT_EQ(launches[1],
              (std::vector<std::string>{"xdg-open", "file://" + InstalledDocumentation()}));
    ASSERT_EQ(launches[2].size(), 2u);
    EXPECT_EQ(launches[2][1], prefix_.Host("drive_c/Program Files/Tolvane/Logs"));
}

}  // namespace
}  // namespace tolvane
