// The road on a Windows installation built on disk: scan, remove with a
// backup, the hives checked by hivexget (a reader independent of ours), the
// archive restored and the hives checked again.
#include <gtest/gtest.h>

#include <filesystem>

#include "backup/backup_archive.h"
#include "backup/restore.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "platform/machine.h"
#include "platform/testing/regf_builder.h"
#include "platform/testing/run_command.h"
#include "platform/testing/temp_installation.h"
#include "removal/object_remover.h"
#include "removal/removal_flow.h"
#include "removal/removal_test_support.h"
#include "scan/scan_engine.h"
#include "settings/settings_store.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;
using testing::RegfBuilder;
using testing::TempInstallation;
using testing::TestRows;
using testing::TestView;

constexpr const char* kRun = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kDefinitions =
    "<NA VERSION=\"1\" DATE=\"d\"><SW NAME=\"Velvet Gazer\"><CATEGORY NAME=\"Spyware\"/>"
    "<DIRECTORIES><DIR NAME=\"%programfiles%\\Velvet Gazer\"/></DIRECTORIES>"
    "<FILES><FILE NAME=\"%programfiles%\\Velvet Gazer\\vgazer.exe\"/></FILES>"
    "<REGKEYS><REGKEY NAME=\"SOFTWARE\\Velvet Gazer\"/>"
    "<REGKEY NAME=\"SYSTEM\\CurrentControlSet\\Services\\CpSpy\"/></REGKEYS>"
    "<REGVALUES><REGVALUE NAME=\"Software\\Microsoft\\Windows\\CurrentVersion\\Run\\VelvetGazer"
    ":@:%programfiles%\\Velvet Gazer\\vgazer.exe\"/></REGVALUES>"
    "<DANGER NAME=\"High\"/><DESCRIPTION NAME=\"Watches.\"/></SW></NA>";

// What hivexget prints for a value ("" when key or value is missing).
std::string HiveValue(const std::string& hive, const std::string& key, const std::string& name) {
    std::string out;
    testing::RunCommand("hivexget " + testing::ShellQuote(hive) + " " + testing::ShellQuote(key) +
                            " " + testing::ShellQuote(name) + " 2>/dev/null",
                        &out);
    return out;
}

// The planted traces as the hives hold them, read by hivexget.
std::string Traces(const TempInstallation& windows) {
    return HiveValue(windows.Software(), "\\Velvet Gazer", "Version") + "|" +
           HiveValue(windows.System(), "\\ControlSet001\\Services\\CpSpy", "ImagePath") + "|" +
           HiveValue(windows.UserHive("alice"), std::string("\\") + kRun, "VelvetGazer") + "|" +
           HiveValue(windows.UserHive("alice"), std::string("\\") + kRun, "Keep");
}

TEST(WindowsInstallationRoad, ScanRemoveWithBackupAndRestore) {
    TempInstallation windows;
    RegfBuilder(windows.Software()).String("Velvet Gazer", "Version", "2.1").Commit();
    RegfBuilder(windows.System())
        .String("ControlSet001\\Services\\CpSpy", "ImagePath", "system32\\drivers\\cpspy.sys")
        .Commit();
    RegfBuilder(windows.UserHive("alice"))
        .String(kRun, "VelvetGazer", "\"C:\\Program Files\\Velvet Gazer\\vgazer.exe\" /tray")
        .String(kRun, "Keep", "C:\\good.exe")
        .Commit();
    windows.WriteFile("C:\\Program Files\\Velvet Gazer\\vgazer.exe", "MZ gazer");
    const std::string planted = Traces(windows);
    ASSERT_EQ(planted,
              "2.1\n|system32\\drivers\\cpspy.sys\n|\"C:\\Program Files\\Velvet "
              "Gazer\\vgazer.exe\" /tray\n|C:\\good.exe\n");

    auto machine = windows.Open();
    ThreatDatabase database;
    ASSERT_TRUE(LoadDefinitionsFromText(
        kDefinitions, PlaceholderFolders::FromShell(machine->shell()), &database));
    SettingsStore settings(machine->registry());
    settings.WriteInt(setting::kLastScanMode, static_cast<int>(ScanMode::Smart));
    ScanEngine engine(*machine, database);
    engine.SetRegistryKeyPause(std::chrono::milliseconds(0));
    engine.RunScan();
    TestRows rows;
    for (const DetectedObject* object : engine.Results().listedObjects)
        rows.Add(object->type, object->objectText);
    std::vector<std::string> found;
    for (const auto& row : rows.rows)
        found.push_back(std::to_string(StoredNumber(row.type)) + " " + row.text);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{
                         "1 C:\\Program Files\\Velvet Gazer\\vgazer.exe",
                         "2 C:\\Program Files\\Velvet Gazer",
                         "3 SOFTWARE\\Velvet Gazer",
                         "3 SYSTEM\\CurrentControlSet\\Services\\CpSpy",
                         std::string("4 ") + kRun +
                             "\\VelvetGazer:@:C:\\Program Files\\Velvet Gazer\\vgazer.exe",
                     }));

    ObjectRemover remover(*machine);
    TestView view;
    RemovalFlow flow(*machine, settings, remover, view);
    BackupArchive backup(*machine, view);
    flow.SetBackupCommand([&] { return backup.MarkCheckedForBackup(rows); });
    view.savePaths = {BackupArchive::DefaultArchivePath()};
    view.answers = {PromptAnswer::Yes, PromptAnswer::Ok, PromptAnswer::Yes, PromptAnswer::Yes};
    ASSERT_TRUE(flow.RunRemoval(rows, false));
    EXPECT_TRUE(rows.rows.empty()) << rows.rows.front().text;
    EXPECT_EQ(Traces(windows), "|||C:\\good.exe\n");
    EXPECT_FALSE(fs::exists(windows.Host("Program Files/Velvet Gazer")));
    for (const std::string& hive :
         {windows.Software(), windows.System(), windows.UserHive("alice")})
        EXPECT_TRUE(fs::exists(hive + ".tolvane-orig")) << hive;

    RestoreReport report = RestoreArchive(*machine, BackupArchive::DefaultArchivePath());
    EXPECT_TRUE(report.extractedAll);
    EXPECT_TRUE(report.registryImported);
    EXPECT_EQ(Traces(windows), planted);
    EXPECT_TRUE(fs::exists(windows.Host("Program Files/Velvet Gazer/vgazer.exe")));
}

}  // namespace
}  // namespace tolvane
