// The window's File > "Use Definitions File..." and Scan > "Start-up
// Entries...", driven through the menu bar on a real temporary prefix.
#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>

#include "app/views/startup_entries_window.h"
#include "definitions/threat_database.h"
#include "testing/registry_values.h"
#include "ui/qt/gui_test_support.h"

namespace tolvane {
namespace {

using testing::GuiTest;
using testing::WaitUntil;

TEST_F(GuiTest, UseDefinitionsFileLoadsAPackedFileChosenOnTheHost) {
    UseTestPrefix();
    ASSERT_EQ(StartWindow(), StartResult::Running);
    testing::TempFolder host;
    std::string stored;
    ASSERT_TRUE(
        EncodeContainer("<NA VERSION=\"9.1\" DATE=\"2026-12-09\">\n"
                        "<SW NAME=\"Red Kite\"><CATEGORY NAME=\"Spyware\"/>"
                        "<FILES><FILE NAME=\"%windir%\\grey.exe\"/></FILES>"
                        "<DANGER NAME=\"High\"/></SW>\n</NA>\n",
                        &stored));
    const std::string own = host.path().string() + "/own.db";
    std::ofstream(own, std::ios::binary) << stored;
    OnNextDialog("HostFileDialog", [&](QDialog* dialog) {
        auto* files = qobject_cast<QFileDialog*>(dialog);
        ASSERT_TRUE(files);
        files->selectFile(QString::fromStdString(own));
        dialog->accept();  // QFileDialog::accept, which takes the selected file
    });
    ChooseMenu(MainCommand::UseDefinitionsFile);
    EXPECT_TRUE(driver().messages.empty());
    EXPECT_EQ(session().app().database().version(), "9.1");
    EXPECT_TRUE(Text(ControlId::StatusLine).contains(ToQt("Definitions: " + own + " (your own)")))
        << FromQt(Text(ControlId::StatusLine));
    // An update installed meanwhile into the machine does not replace them.
    session().DefinitionsInstalled();
    EXPECT_EQ(session().app().database().version(), "9.1");
    ChooseMenu(MainCommand::SmartScan);
    ASSERT_TRUE(WaitForScanEnd());
    ASSERT_EQ(ShownRows().size(), 1u);
    EXPECT_TRUE(ShownRows()[0].starts_with("Red Kite|"));
}

TEST_F(GuiTest, StartupEntriesListTheMachinesEntriesWithDetails) {
    UseTestPrefix(testing::kGuiTestDefinitions, /*plant=*/false);
    std::string appData;
    machine_->shell().GetFolderPath(CSIDL_APPDATA, &appData);
    const std::string spy = appData + "\\spy.exe";
    prefix_->WriteFile(spy, "MZ spy");
    testing::SetRegistryString(machine_->registry(), RootKey::CurrentUser,
                               "Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Spy",
                               "\"" + spy + "\" -quiet");
    ASSERT_EQ(StartWindow(), StartResult::Running);
    QStringList row;
    bool hideOwn = false, removable = true;
    std::string detailsFile, versionWhileOpen;
    OnNextDialog("StartupEntries", [&](QDialog* dialog) {
        auto* list = dialog->findChild<QTreeWidget*>("entries");
        auto* status = dialog->findChild<QLabel*>("status");
        ASSERT_TRUE(list && status);
        ASSERT_TRUE(WaitUntil([&] { return status->text() != kListingStartupText; }));
        hideOwn = dialog->findChild<QCheckBox*>("hideOwn")->isChecked();
        removable = dialog->findChild<QPushButton*>("remove")->isEnabled();
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(1) == "Spy") {
                for (int column = 0; column < 5; ++column)
                    row << list->topLevelItem(i)->text(column);
                list->setCurrentItem(list->topLevelItem(i));
            }
        OnNextDialog("StartupEntryDetails", [&](QDialog* details) {
            if (auto* file = details->findChild<QLineEdit*>("File"))
                detailsFile = FromQt(file->text());
            details->accept();
        });
        dialog->findChild<QPushButton*>("details")->click();
        // Definitions installed meanwhile (the shipped ones, so that the
        // machine's copy counts) wait for the window: its listing reads the
        // loaded ones.
        std::string text = testing::kGuiTestDefinitions, stored;
        text.replace(text.find("2.5"), 3, "3.0");
        ASSERT_TRUE(EncodeContainer(text, &stored));
        prefix_->WriteFile("C:\\Program Files\\Tolvane\\database.db", stored);
        std::ofstream(workTemp_.path() / "shipped" / "database.db", std::ios::binary) << stored;
        session().DefinitionsInstalled();
        versionWhileOpen = session().app().database().version();
        dialog->reject();
    });
    ChooseMenu(MainCommand::StartupEntries);
    EXPECT_EQ(versionWhileOpen, "2.5");
    EXPECT_TRUE(WaitUntil([&] { return session().app().database().version() == "3.0"; }));
    EXPECT_TRUE(hideOwn);
    EXPECT_FALSE(removable);
    ASSERT_EQ(row.size(), 5);
    EXPECT_EQ(FromQt(row[2]), "\"" + spy + "\" -quiet");
    EXPECT_EQ(FromQt(row[3]), spy);
    EXPECT_EQ(row[4], "user-writable");
    EXPECT_EQ(detailsFile, spy);
    EXPECT_TRUE(driver().messages.empty());
}

}  // namespace
}  // namespace tolvane
