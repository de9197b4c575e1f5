// The removal run, the per-type operations, the browser reset and the -b
// start, on real temporary prefixes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "removal/browser_reset.h"
#include "removal/object_remover.h"
#include "removal/removal_flow.h"
#include "removal/removal_test_support.h"
#include "settings/settings_store.h"
#include "testing/as_nobody.h"
#include "testing/registry_values.h"
#include "testing/scoped_env.h"
#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::ReadHostFile;

using testing::RegistryKeyExists;
using testing::SetRegistryString;
using testing::TempPrefix;
using testing::TestRows;
using testing::TestView;

bool ReadString(const Registry& registry, RootKey root, const std::string& path,
                const std::string& name, std::string* value) {
    return ReadRegistryString(registry, root, path, name, value);
}

// A prefix with its machine, settings, remover, view and flow.
struct Fixture {
    TempPrefix prefix;
    std::unique_ptr<Machine> machine = prefix.Open();
    SettingsStore settings{machine->registry()};
    ObjectRemover remover{*machine};
    TestView view;
    RemovalFlow flow{*machine, settings, remover, view};
    std::vector<std::vector<std::string>> launches;

    Fixture() {
        machine->launcher().SetObserver([this](const std::vector<std::string>& argv) {
            launches.push_back(argv);
            return true;
        });
    }
    // Makes the host folder of a Windows folder on C: read-only (or writable).
    void LockFolder(const std::string& relative, bool locked) {
        chmod(prefix.Host("drive_c/" + relative).c_str(), locked ? 0555 : 0755);
    }
    bool Exists(const std::string& path) const { return machine->files().PathFileExists(path); }
};

TEST(RemovalRun, ThreeCheckedRowsWithOneLockedFile) {
    Fixture f;
    f.prefix.WriteFile("C:\\Bad\\one.txt", "1");
    f.prefix.WriteFile("C:\\Locked\\held.txt", "2");
    SetRegistryString(f.machine->registry(), RootKey::CurrentUser, "Software\\BadVendor", "x", "y");
    f.LockFolder("Locked", true);
    TestRows rows;
    rows.Add(ObjectType::File, "C:\\Bad\\one.txt");
    rows.Add(ObjectType::File, "C:\\Locked\\held.txt");
    rows.Add(ObjectType::RegistryKey, "Software\\BadVendor");
    f.view.answers = {PromptAnswer::No, PromptAnswer::Yes};  // no backup; confirm

    EXPECT_TRUE(f.flow.RunRemoval(rows, false));
    // The locked file is still there: its row stays, unchecked.
    ASSERT_EQ(rows.rows.size(), 1u);
    EXPECT_EQ(rows.rows[0].text, "C:\\Locked\\held.txt");
    EXPECT_FALSE(rows.rows[0].checked);
    EXPECT_FALSE(f.Exists("C:\\Bad\\one.txt"));
    EXPECT_TRUE(f.Exists("C:\\Locked\\held.txt"));
    EXPECT_FALSE(
        RegistryKeyExists(f.machine->registry(), RootKey::CurrentUser, "Software\\BadVendor"));
    ASSERT_EQ(f.view.unableItems.size(), 1u);
    EXPECT_EQ(f.view.unableItems[0], "C:\\Locked\\held.txt\r\n");
    EXPECT_EQ(f.view.messages[1].text, "3 objects selected will be removed. Continue?");
    ASSERT_EQ(f.view.messages.size(), 4u);
    EXPECT_EQ(f.view.messages[2].text, "2 Objects deleted successfully.");
    EXPECT_EQ(f.view.LastText(), "1 objects could not be removed. They are still listed.");
    EXPECT_EQ(f.view.progressHigh, 3);
    EXPECT_EQ(f.view.progress, 3);
    EXPECT_FALSE(f.view.busy);

    // Queued for the next start, with the run-once entry.
    EXPECT_EQ(f.settings.ReadStartUpDeleteQueue(),
              std::vector<std::string>{"C:\\Locked\\held.txt"});
    std::string runOnce;
    ASSERT_TRUE(ReadString(f.machine->registry(), RootKey::LocalMachine,
                           "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce", "Tolvane",
                           &runOnce));
    EXPECT_EQ(runOnce, "\"C:\\Program Files\\Tolvane\\Tolvane.exe\" -b");

    // The -b start once the file is free.
    f.LockFolder("Locked", false);
    f.view.messages.clear();
    f.flow.ProcessStartUpDeletions();
    EXPECT_FALSE(f.Exists("C:\\Locked\\held.txt"));
    ASSERT_EQ(f.view.messages.size(), 1u);
    EXPECT_EQ(f.view.LastText(),
              "Spyware items which remained in the previous scan have now been deleted.");
}

// A -b start whose every queued file is refused says so, never that the
// items were deleted; what stayed keeps its place in the queue.
TEST(RemovalRun, StartUpRunSaysWhatStayedQueuedAndWhy) {
    Fixture f;
    f.prefix.WriteFile("C:\\Locked\\held.txt", "2");
    f.LockFolder("Locked", true);
    f.settings.WriteStartUpDeleteQueue({"C:\\Locked\\held.txt", "C:\\Gone\\already.txt"});

    f.flow.ProcessStartUpDeletions();
    EXPECT_TRUE(f.Exists("C:\\Locked\\held.txt"));
    ASSERT_EQ(f.view.messages.size(), 1u);
    EXPECT_EQ(f.view.LastText(),
              "1 queued items could not be deleted at start-up and stay queued:\r\n"
              "C:\\Locked\\held.txt: access was denied (read-only, in use or a link)\r\n");
    EXPECT_EQ(f.settings.ReadStartUpDeleteQueue(),
              std::vector<std::string>{"C:\\Locked\\held.txt"});

    f.LockFolder("Locked", false);
    f.view.messages.clear();
    f.flow.ProcessStartUpDeletions();
    ASSERT_EQ(f.view.messages.size(), 1u);
    EXPECT_EQ(f.view.LastText(),
              "Spyware items which remained in the previous scan have now been deleted.");
    EXPECT_TRUE(f.settings.ReadStartUpDeleteQueue().empty());
}

TEST(RemovalRun, NoAtTheConfirmationAndYesWithNothingChecked) {
    Fixture f;
    f.prefix.WriteFile("C:\\Bad\\one.txt", "1");
    TestRows rows;
    rows.Add(ObjectType::File, "C:\\Bad\\one.txt");
    rows.Add(ObjectType::File, "C:\\Bad\\two.txt", false);

    f.view.answers = {PromptAnswer::No, PromptAnswer::No};
    EXPECT_FALSE(f.flow.RunRemoval(rows, false));
    EXPECT_EQ(rows.rows.size(), 2u);
    EXPECT_TRUE(f.Exists("C:\\Bad\\one.txt"));
    EXPECT_EQ(f.view.LastText(), "1 objects selected will be removed. Continue?");
    EXPECT_FALSE(f.view.busy);

    rows.rows[0].checked = false;
    f.view.messages.clear();
    f.view.answers = {PromptAnswer::No, PromptAnswer::Yes};
    EXPECT_FALSE(f.flow.RunRemoval(rows, false));
    EXPECT_EQ(rows.rows.size(), 2u);
    ASSERT_EQ(f.view.messages.size(), 2u);  // no final message
    EXPECT_EQ(f.view.LastText(), "No objects selected for removal. Continue?");

    // Remove all takes every row whatever its check box.
    f.view.answers = {PromptAnswer::No, PromptAnswer::Yes};
    EXPECT_TRUE(f.flow.RunRemoval(rows, true));
    EXPECT_TRUE(rows.rows.empty());
    EXPECT_FALSE(f.Exists("C:\\Bad\\one.txt"));
    EXPECT_EQ(f.view.LastText(), "2 Objects deleted successfully.");
}

TEST(RemovalRun, ASecondRunCountsOnlyItsOwnAndBackupMarksAreCleared) {
    Fixture f;
    f.prefix.WriteFile("C:\\Locked\\a.txt", "a");
    f.prefix.WriteFile("C:\\Locked\\b.txt", "b");
    f.prefix.WriteFile("C:\\Free\\c.txt", "c");
    f.LockFolder("Locked", true);
    TestRows rows;
    rows.Add(ObjectType::File, "C:\\Locked\\a.txt");
    rows.Add(ObjectType::File, "C:\\Free\\c.txt", false);
    rows.rows[1].backupMark = true;
    int backups = 0;
    f.flow.SetBackupCommand([&] {
        ++backups;
        return true;
    });
    f.view.answers = {PromptAnswer::Yes, PromptAnswer::Yes};
    f.view.removeAtNextStart = false;
    EXPECT_TRUE(f.flow.RunRemoval(rows, false));
    EXPECT_EQ(backups, 1);
    EXPECT_EQ(f.view.messages[f.view.messages.size() - 2].text, "0 Objects deleted successfully.");
    ASSERT_EQ(rows.rows.size(), 2u);  // a.txt is still there
    EXPECT_FALSE(rows.rows[0].checked);
    EXPECT_FALSE(rows.rows[1].backupMark);                      // visited, not removed
    EXPECT_EQ(f.settings.ReadStartUpDeleteQueue().size(), 0u);  // Cancel queues nothing

    rows.Add(ObjectType::File, "C:\\Locked\\b.txt");
    rows.rows[1].checked = true;
    f.view.answers = {PromptAnswer::No, PromptAnswer::Yes};
    EXPECT_TRUE(f.flow.RunRemoval(rows, false));
    EXPECT_EQ(f.view.unableItems.back(), "C:\\Locked\\b.txt\r\n");
    EXPECT_EQ(f.view.messages[f.view.messages.size() - 2].text, "1 Objects deleted successfully.");
    EXPECT_EQ(f.view.LastText(), "1 objects could not be removed. They are still listed.");
    f.LockFolder("Locked", false);
}

TEST(RemovalRun, RemovalCountsFailuresAsSuccessesAndHidesWhatStayed) {
    Fixture f;
    Registry& registry = f.machine->registry();
    const std::string main = "Software\\Microsoft\\Internet Explorer\\Main";
    f.prefix.WriteFile("C:\\Bad\\one.txt", "1");
    f.prefix.WriteFile("C:\\Locked\\held.txt", "2");
    f.prefix.WriteFile("C:\\windows\\system32\\drivers\\etc\\hosts",
                       "127.0.0.1 localhost\r\n127.0.0.1 ads.bad.example\r\n");
    SetRegistryString(registry, RootKey::CurrentUser, main, "Start Page", "http://bad.example/");
    f.LockFolder("Locked", true);
    f.LockFolder("windows/system32/drivers/etc", true);
    TestRows rows;
    rows.Add(ObjectType::File, "C:\\Bad\\one.txt");
    rows.Add(ObjectType::File, "C:\\Locked\\held.txt");
    rows.Add(ObjectType::HostFileItem, "ads.bad.example");
    rows.Add(ObjectType::RegistryValue, main + "\\Start Page:@:bad.example");
    rows.Add(ObjectType::File, "C:\\Kept\\other.txt", false);
    f.view.removeAtNextStart = false;
    // No backup; confirm; no browser reset.
    f.view.answers = {PromptAnswer::No, PromptAnswer::Yes, PromptAnswer::No};

    EXPECT_TRUE(f.flow.RunRemoval(rows, false));
    f.LockFolder("Locked", false);
    f.LockFolder("windows/system32/drivers/etc", false);
    std::vector<std::string> left;
    for (const auto& row : rows.rows) {
        left.push_back(row.text);
        EXPECT_FALSE(row.checked) << row.text;
    }
    EXPECT_EQ(left, (std::vector<std::string>{"C:\\Locked\\held.txt", "ads.bad.example",
                                              main + "\\Start Page:@:bad.example",
                                              "C:\\Kept\\other.txt"}));
    // The declined reset's value is kept by choice, not counted as a failure.
    ASSERT_GE(f.view.messages.size(), 3u);
    EXPECT_EQ(f.view.messages[f.view.messages.size() - 3].text, "1 Objects deleted successfully.");
    EXPECT_EQ(f.view.messages[f.view.messages.size() - 2].text,
              "2 objects could not be removed. They are still listed.");
    EXPECT_EQ(f.view.LastText(),
              "1 browser settings were kept because the reset of the browser settings was "
              "declined. They are still listed.");
}

TEST(RemovalRun, ValuesRecognisedByDataThatAreNoBrowserSettingsAreRemoved) {
    Fixture f;
    Registry& registry = f.machine->registry();
    const std::string run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    SetRegistryString(registry, RootKey::CurrentUser, run, "Updater", "C:\\x\\EVIL.exe /q");
    // The same name with other data (changed since the scan) stays.
    SetRegistryString(registry, RootKey::LocalMachine, run, "Updater", "C:\\good\\updater.exe");
    TestRows rows;
    rows.Add(ObjectType::RegistryValue, run + "\\Updater:@:evil.exe");
    f.view.answers = {PromptAnswer::No, PromptAnswer::Yes};

    EXPECT_TRUE(f.flow.RunRemoval(rows, false));
    std::string value;
    EXPECT_FALSE(ReadString(registry, RootKey::CurrentUser, run, "Updater", &value));
    ASSERT_TRUE(ReadString(registry, RootKey::LocalMachine, run, "Updater", &value));
    EXPECT_EQ(value, "C:\\good\\updater.exe");
    EXPECT_EQ(f.remover.BrowserSettingsHits(), 0);  // no reset offered
    EXPECT_TRUE(rows.rows.empty());
    ASSERT_EQ(f.view.messages.size(), 3u);
    EXPECT_EQ(f.view.LastText(), "1 Objects deleted successfully.");
}

TEST(RemovalRun, ARemovalWhoseBackupFailedGoesOnAsIfItHadOne) {
    Fixture f;
    f.prefix.WriteFile("C:\\Bad\\one.txt", "1");
    TestRows rows;
    rows.Add(ObjectType::File, "C:\\Bad\\one.txt");
    f.flow.SetBackupCommand([] { return false; });  // cancelled or failed
    // Yes to the backup; the warning; No at the confirmation stops there.
    f.view.answers = {PromptAnswer::Yes, PromptAnswer::Ok, PromptAnswer::No};
    EXPECT_FALSE(f.flow.RunRemoval(rows, false));
    ASSERT_EQ(f.view.messages.size(), 3u);
    EXPECT_EQ(f.view.messages[1].caption, "Warning");
    EXPECT_EQ(f.view.messages[1].text,
              "No backup was made. If you continue, the checked items will be removed without a "
              "backup.");
    EXPECT_EQ(f.view.LastText(), "1 objects selected will be removed. Continue?");
    EXPECT_TRUE(f.Exists("C:\\Bad\\one.txt"));

    // A backup that was made, or No to it, goes straight to the confirmation.
    f.view.messages.clear();
    f.flow.SetBackupCommand([] { return true; });
    f.view.answers = {PromptAnswer::Yes, PromptAnswer::No};
    EXPECT_FALSE(f.flow.RunRemoval(rows, false));
    EXPECT_EQ(f.view.messages.size(), 2u);
}

TEST(RemovalRun, RefusedWhileTheWineServerOwnsTheRegistry) {
    Fixture f;
    f.prefix.WriteFile("C:\\Bad\\one.txt", "1");
    TestRows rows;
    rows.Add(ObjectType::File, "C:\\Bad\\one.txt");
    {
        testing::FakeWineServer server(f.prefix.path());
        EXPECT_FALSE(f.flow.RunRemoval(rows, false));
    }
    ASSERT_EQ(f.view.messages.size(), 1u);
    EXPECT_EQ(f.view.messages[0].caption, "Error");
    EXPECT_NE(f.view.messages[0].text.find("wineserver -k"), std::string::npos);
    EXPECT_EQ(rows.rows.size(), 1u);
    EXPECT_TRUE(f.Exists("C:\\Bad\\one.txt"));
}

TEST(RemovalRun, RunningBrowserWarnsAndCancelEnds) {
    Fixture f;
    f.machine->SetProcessTable(MakeFixedProcessTable(
        {{100, 1, "C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE", {}, {}}}));
    TestRows rows;
    rows.Add(ObjectType::File, "C:\\x.txt");
    f.view.answers = {PromptAnswer::Cancel};
    EXPECT_FALSE(f.flow.RunRemoval(rows, false));
    ASSERT_EQ(f.view.messages.size(), 1u);
    EXPECT_EQ(f.view.messages[0].caption, "Warning");
    EXPECT_EQ(rows.rows.size(), 1u);
}

TEST(RemovalRun, HijackedValueIsKeptAndLeadsToTheBrowserReset) {
    Fixture f;
    Registry& registry = f.machine->registry();
    const std::string main = "Software\\Microsoft\\Internet Explorer\\Main";
    SetRegistryString(registry, RootKey::CurrentUser, main, "Start Page", "http://bad.example/");
    SetRegistryString(registry, RootKey::LocalMachine, main, "Start Page", "http://bad.example/");
    SetRegistryString(registry, RootKey::CurrentUser, main, "Start Page_bak",
                      "http://bad.example/");
    SetRegistryString(registry, RootKey::LocalMachine, main, "Search Page_bak", "x");
    TestRows rows;
    rows.Add(ObjectType::RegistryValue, main + "\\Start Page:@:bad.example");
    f.view.answers = {PromptAnswer::No, PromptAnswer::Yes, PromptAnswer::Yes};

    EXPECT_TRUE(f.flow.RunRemoval(rows, false));
    EXPECT_EQ(f.remover.BrowserSettingsHits(), 1);
    std::string value;
    for (RootKey root : {RootKey::CurrentUser, RootKey::LocalMachine}) {
        ASSERT_TRUE(ReadString(registry, root, main, "Start Page", &value));
        EXPECT_EQ(value, "about:blank");
        ASSERT_TRUE(ReadString(registry, root, main, "Search Page", &value));
        EXPECT_EQ(value, kDefaultSearchPage);
        ASSERT_TRUE(ReadString(registry, root, main, "Default_Page_URL", &value));
        EXPECT_EQ(value, kDefaultHomePage);
    }
    EXPECT_FALSE(ReadString(registry, RootKey::CurrentUser, main, "Start Page_bak", &value));
    EXPECT_FALSE(ReadString(registry, RootKey::LocalMachine, main, "Search Page_bak", &value));
    const std::string prefix = "Software\\Microsoft\\Windows\\CurrentVersion\\URL\\Prefix";
    for (auto [name, data] : {std::pair{"www", "http://"},
                              {"home", "http://"},
                              {"mosaic", "http://"},
                              {"ftp", "ftp://"},
                              {"gopher", "gopher://"}}) {
        ASSERT_TRUE(ReadString(registry, RootKey::LocalMachine, prefix, name, &value)) << name;
        EXPECT_EQ(value, data);
    }
    ASSERT_GE(f.view.messages.size(), 4u);
    EXPECT_EQ(f.view.messages[3].text, "Tolvane had restored your IE Settings to default.");
    EXPECT_EQ(f.view.LastText(), "1 Objects deleted successfully.");
}

TEST(BrowserReset, NoChangesNothingAndSettingsGiveTheAddresses) {
    Fixture f;
    Registry& registry = f.machine->registry();
    const std::string main = "Software\\Microsoft\\Internet Explorer\\Main";
    SetRegistryString(registry, RootKey::CurrentUser, main, "Start Page", "http://bad.example/");
    f.view.answers = {PromptAnswer::No};
    EXPECT_FALSE(ResetBrowserSettings(registry, f.view, ReadBrowserDefaults(f.settings)));
    EXPECT_EQ(f.view.messages.size(), 1u);
    std::string value;
    ASSERT_TRUE(ReadString(registry, RootKey::CurrentUser, main, "Start Page", &value));
    EXPECT_EQ(value, "http://bad.example/");

    // No Styles key, no Search key: the later operations still run.
    f.settings.WriteString(kDefaultSearchPageSetting, "http://search.example/");
    ApplyBrowserDefaults(registry, ReadBrowserDefaults(f.settings));
    ASSERT_TRUE(ReadString(registry, RootKey::CurrentUser, main, "Default_Search_URL", &value));
    EXPECT_EQ(value, "http://search.example/");
    ASSERT_TRUE(ReadString(registry, RootKey::CurrentUser, main, "Default_Page_URL", &value));
    EXPECT_EQ(value, kDefaultHomePage);
}

TEST(ObjectRemoverOps, HostsRewriteKeepsOtherLinesInOrderWithCrLf) {
    Fixture f;
    const std::string hosts = "C:\\windows\\system32\\drivers\\etc\\hosts";
    f.prefix.WriteFile(hosts,
                       "127.0.0.1 localhost\n# comment\r\n127.0.0.1 ads.bad.example\n"
                       "::1 localhost\n127.0.0.1 bad.example.org");
    EXPECT_TRUE(f.remover.RemoveHostsEntry("ads.bad.example"));
    EXPECT_EQ(ReadHostFile(f.prefix.Host("drive_c/windows/system32/drivers/etc/hosts")),
              "127.0.0.1 localhost\r\n# comment\r\n::1 localhost\r\n127.0.0.1 bad.example.org\r\n");
    // A rewrite that stops before its rename (a crash) leaves the file whole.
    const std::string before =
        ReadHostFile(f.prefix.Host("drive_c/windows/system32/drivers/etc/hosts"));
    f.machine->files().SetBeforeRenameHookForTesting([](const std::string&) { return false; });
    EXPECT_FALSE(f.remover.RemoveHostsEntry("localhost"));
    f.machine->files().SetBeforeRenameHookForTesting(nullptr);
    EXPECT_EQ(ReadHostFile(f.prefix.Host("drive_c/windows/system32/drivers/etc/hosts")), before);
    // An empty entry would match every line: nothing is touched.
    EXPECT_FALSE(f.remover.RemoveHostsEntry(""));
    EXPECT_EQ(f.machine->HostsFiles(), std::vector<std::string>{hosts});
}

TEST(ObjectRemoverOps, RegistryKeysGoUnderEveryRootAndValuesByName) {
    Fixture f;
    Registry& registry = f.machine->registry();
    SetRegistryString(registry, RootKey::CurrentUser, "Software\\Bad\\Sub", "v", "1");
    SetRegistryString(registry, RootKey::LocalMachine, "Software\\Bad", "v", "1");
    EXPECT_TRUE(f.remover.RemoveRegistryKey("Software\\Bad"));
    EXPECT_FALSE(RegistryKeyExists(registry, RootKey::CurrentUser, "Software\\Bad"));
    EXPECT_FALSE(RegistryKeyExists(registry, RootKey::LocalMachine, "Software\\Bad"));
    EXPECT_FALSE(f.remover.RemoveRegistryKey(""));
    // A class key in both the user's and the machine's classes goes from both.
    SetRegistryString(registry, RootKey::CurrentUser, "Software\\Classes\\Bad.Class", "", "user");
    SetRegistryString(registry, RootKey::LocalMachine, "Software\\Classes\\Bad.Class", "",
                      "machine");
    EXPECT_TRUE(f.remover.RemoveRegistryKey("Bad.Class"));
    EXPECT_FALSE(RegistryKeyExists(registry, RootKey::ClassesRoot, "Bad.Class"));
    EXPECT_FALSE(
        RegistryKeyExists(registry, RootKey::LocalMachine, "Software\\Classes\\Bad.Class"));

    SetRegistryString(registry, RootKey::CurrentUser, "Software\\Run", "bad", "x");
    SetRegistryString(registry, RootKey::CurrentUser, "Software\\Run", "good", "y");
    EXPECT_TRUE(f.remover.RemoveRegistryValue("Software\\Run\\bad"));
    std::string value;
    EXPECT_FALSE(ReadString(registry, RootKey::CurrentUser, "Software\\Run", "bad", &value));
    EXPECT_TRUE(ReadString(registry, RootKey::CurrentUser, "Software\\Run", "good", &value));
    EXPECT_FALSE(f.remover.RemoveRegistryValue("novalue"));
    EXPECT_EQ(f.remover.BrowserSettingsHits(), 0);
}

TEST(ObjectRemoverOps, FilesAndFoldersEndProgramsUnregisterAndStopAtALockedFile) {
    Fixture f;
    // Only the program run from the file ends, not one that shares its name.
    f.machine->SetProcessTable(MakeFixedProcessTable({{200, 1, "C:\\Other\\BAD.EXE", {}, {}},
                                                      {201, 1, "C:\\windows\\notepad.exe", {}, {}},
                                                      {202, 1, "c:/bad/BAD.exe", {}, {}}}));
    f.prefix.WriteFile("C:\\Bad\\bad.exe", "MZ");
    f.prefix.WriteFile("C:\\Bad\\helper.dll", "MZ");
    f.prefix.WriteFile("C:\\Bad\\.hidden", "h");
    f.prefix.WriteFile("C:\\Bad\\Sub\\Deep\\x.txt", "x");
    EXPECT_TRUE(f.remover.RemoveFolder("C:\\Bad\\"));
    EXPECT_FALSE(f.Exists("C:\\Bad"));
    std::vector<ProcessSnapshot> left;
    ASSERT_TRUE(f.machine->processes().List(&left));
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].pid, 200u);
    EXPECT_EQ(left[1].pid, 201u);
    ASSERT_EQ(f.launches.size(), 1u);
    EXPECT_EQ(f.launches[0], (std::vector<std::string>{"wine", "regsvr32.exe", "/u", "/s",
                                                       "C:\\Bad\\helper.dll"}));

    // A file a running program has mapped is refused and queued.
    f.prefix.WriteFile("C:\\InUse\\held.dll", "MZ");
    f.machine->SetProcessTable(MakeFixedProcessTable(
        {{300, 1, "C:\\x.exe", {}, {f.prefix.Host("drive_c/InUse/held.dll")}}}));
    EXPECT_FALSE(f.remover.RemoveFile("C:\\InUse\\held.dll"));
    EXPECT_EQ(f.remover.FailedDeletions(), std::vector<std::string>{"C:\\InUse\\held.dll"});
    f.remover.ClearFailedDeletions();
    f.machine->SetProcessTable(MakeFixedProcessTable({}));

    // A folder with a locked subfolder stays; its free files may go.
    f.prefix.WriteFile("C:\\Two\\A\\held.txt", "1");
    f.prefix.WriteFile("C:\\Two\\B\\free.txt", "2");
    f.LockFolder("Two/A", true);
    EXPECT_FALSE(f.remover.RemoveFolder("C:\\Two"));
    EXPECT_TRUE(f.Exists("C:\\Two\\A\\held.txt"));
    EXPECT_FALSE(f.Exists("C:\\Two\\B"));
    EXPECT_EQ(f.remover.FailedDeletions(), std::vector<std::string>{"C:\\Two\\A\\held.txt"});
    f.LockFolder("Two/A", false);

    EXPECT_TRUE(f.remover.RemoveFolder("C:\\Missing"));
    EXPECT_FALSE(f.remover.RemoveFile("C:\\Missing.txt"));
    EXPECT_EQ(f.remover.FailedDeletions().size(), 1u);
}

// On a real prefix `wine` is a shell script: for a moment after the start
// nothing of Wine shows in the process table, and the wineserver starts only
// with the Windows program. The removal waits for regsvr32 itself before it
// goes on, or the changes it makes next would meet Wine's server.
// regsvr32 never runs as root, so run as root the waiting is tried as
// nobody, who owns the prefix then; root itself skips regsvr32 and the
// removal says so.
TEST(ObjectRemoverOps, UnregisteringWaitsForRegsvr32ToEnd) {
    Fixture f;
    f.machine->launcher().SetObserver(nullptr);
    const std::string bin = f.prefix.Host("bin");
    std::filesystem::create_directory(bin);
    {
        std::ofstream script(bin + "/wine");
        script << "#!/bin/sh\nsleep 0.5\necho \"$*\" > " << bin << "/unregistered\n";
    }
    std::filesystem::permissions(bin + "/wine", std::filesystem::perms::owner_all);
    testing::ScopedEnv path("PATH", (bin + ":/usr/bin:/bin").c_str());
    f.prefix.WriteFile("C:\\Bad\\helper.dll", "MZ");
    auto unregisterAndWait = [&] {
        return f.remover.RemoveFile("C:\\Bad\\helper.dll") && !f.Exists("C:\\Bad\\helper.dll") &&
               ReadHostFile(bin + "/unregistered") == "regsvr32.exe /u /s C:\\Bad\\helper.dll\n";
    };
    if (!testing::RunningAsRoot()) {
        EXPECT_TRUE(unregisterAndWait());
        return;
    }
    testing::GiveToNobody(f.prefix.path());
    EXPECT_TRUE(testing::AsNobody(unregisterAndWait));

    f.prefix.WriteFile("C:\\Bad\\helper.dll", "MZ");
    std::filesystem::remove(bin + "/unregistered");
    TestRows rows;
    rows.Add(ObjectType::File, "C:\\Bad\\helper.dll");
    ASSERT_TRUE(f.flow.RunRemoval(rows, false));
    EXPECT_FALSE(f.Exists("C:\\Bad\\helper.dll"));
    EXPECT_EQ(f.remover.UnregistrationsRefused(), std::vector<std::string>{"C:\\Bad\\helper.dll"});
    bool told = false;
    for (const auto& shown : f.view.messages)
        told = told || shown.text.rfind(
                           "regsvr32 was not run for 1 components: Tolvane runs as "
                           "root",
                           0) == 0;
    EXPECT_TRUE(told);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_FALSE(std::filesystem::exists(bin + "/unregistered"));
}

// A quote in a DLL's name stays inside the one argument regsvr32 gets.
TEST(ObjectRemoverOps, AQuoteInADllNameCannotSplitTheRegsvr32Line) {
    Fixture f;
    const std::string dll = "C:\\Bad\\x\" /i:C:\\evil.dll";
    f.remover.RemoveFile(dll);
    ASSERT_EQ(f.launches.size(), 1u);
    EXPECT_EQ(f.launches[0], (std::vector<std::string>{"wine", "regsvr32.exe", "/u", "/s", dll}));
}

}  // namespace
}  // namespace tolvane
