#include "ui/headless/headless.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "definitions/container.h"
#include "discovery/open_machine.h"
#include "machine/file_system.h"
#include "machine/machine.h"
#include "machine/registry.h"
#include "machine/shell_folders.h"
#include "settings/settings_store.h"
#include "testing/as_nobody.h"
#include "testing/fake_wineserver.h"
#include "testing/machines_home.h"
#include "testing/pe_builder.h"
#include "testing/read_only_bind_mount.h"
#include "testing/run_command.h"
#include "testing/scoped_env.h"
#include "testing/temp_folder.h"
#include "testing/temp_installation.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::ReadHostFile;

using testing::TempPrefix;

// Runs a command; *out gets its standard output (errors are dropped).
// Returns the exit status.
int RunCommand(const std::string& command, std::string* out) {
    return testing::RunCommand(command + " 2>/dev/null", out);
}
int RunTolvane(const std::string& arguments, std::string* out) {
    return RunCommand(std::string(TOLVANE_PROGRAM) + " " + arguments, out);
}

// The demo database's registry key trace on a fresh test prefix.
void PlantGossamerKey(const TempPrefix& prefix) {
    auto machine = prefix.Open();
    RegKey key;
    ASSERT_EQ(machine->registry().CreateKey(Registry::Root(RootKey::LocalMachine),
                                            "Software\\Gossamer", KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
}

// Gives a machine a database of only the definition the Gossamer key
// matches: every definition of the shipped one costs a registry scan 10 ms.
void InstallGossamerDatabase(const std::string& path) {
    std::string error;
    auto machine = OpenMachine(path, &error);
    ASSERT_TRUE(machine) << path << ": " << error;
    std::string stored;
    ASSERT_TRUE(EncodeContainer(
        "<NA VERSION=\"1.0\" DATE=\"2026-12-01\">\n<SW NAME=\"Gossamer Tracker\">"
        "<CATEGORY NAME=\"Spyware\"/><REGKEYS><REGKEY NAME=\"Software\\Gossamer\"/></REGKEYS>"
        "<DANGER NAME=\"Medium\"/></SW>\n</NA>\n",
        &stored));
    const std::string folder = ShellFolders::ApplicationFolder();
    FileSystem& files = machine->files();
    ASSERT_TRUE(files.CreateFolderPath(folder.substr(0, folder.size() - 1))) << path;
    ASSERT_TRUE(files.WriteWholeFileAtomic(folder + "database.db", stored)) << path;
}

TEST(Headless, InstallsTheDatabaseScansAndPrintsRowsCountersAndLog) {
    TempPrefix prefix;
    ASSERT_NO_FATAL_FAILURE(PlantGossamerKey(prefix));
    const std::string machineArg = "--headless --machine '" + prefix.path() + "'";
    std::string out;
    ASSERT_EQ(RunTolvane(machineArg + " --json scan registry", &out), 1);
    nlohmann::json doc = nlohmann::json::parse(out);
    ASSERT_EQ(doc["rows"].size(), 1u) << out;
    EXPECT_EQ(doc["rows"][0]["vendor"], "Gossamer Tracker");
    EXPECT_EQ(doc["rows"][0]["type"], "Registry Key");
    EXPECT_EQ(doc["rows"][0]["object"], "Software\\Gossamer");
    EXPECT_EQ(doc["counters"]["registryKeysRecognised"], 1);
    EXPECT_EQ(doc["counters"].size(), 9u);
    std::string log = ReadHostFile(doc["logHostPath"].get<std::string>());
    EXPECT_EQ(log.rfind("Starting Scanning (REgistry Scan Mode)\n1) Gossamer Tracker\n", 0), 0u);
    EXPECT_TRUE(std::filesystem::exists(prefix.Host("drive_c/Program Files/Tolvane/database.db")));

    ASSERT_EQ(RunTolvane(machineArg + " scan registry", &out), 1);
    EXPECT_EQ(out.rfind("Gossamer Tracker\tRegistry Key\tSpyware\tSoftware\\Gossamer\tMedium\n", 0),
              0u)
        << out;
    EXPECT_NE(out.find("\nregistryKeysRecognised: 1\n"), std::string::npos);
    EXPECT_NE(out.find("\nLog: C:\\Program Files\\Tolvane\\Logs\\TolvaneLog "), std::string::npos);

    // Several commands in one run, in order; answers left over are reported.
    ASSERT_EQ(RunTolvane(machineArg + " --answers no,yes scan registry select none summary", &out),
              1);
    EXPECT_NE(out.find("0 of 1 rows checked\n[dialog] Summary: Registry keys recognized : 1;"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[answers] not used: no\n[answers] not used: yes"), std::string::npos);

    // What the machine holds as database.db (a decoy, a damaged file) is not
    // what decides: it is left as it is, the shipped database scans, and the
    // notes say why.
    std::ofstream(prefix.Host("drive_c/Program Files/Tolvane/database.db")) << "damaged";
    EXPECT_EQ(RunTolvane(machineArg + " scan registry", &out), 1);
    EXPECT_NE(out.find("database.db of the machine is not used: it is not the shipped one and no "
                       "signed update description is kept beside it; the shipped database.db is "
                       "used instead"),
              std::string::npos)
        << out;
    EXPECT_EQ(ReadHostFile(prefix.Host("drive_c/Program Files/Tolvane/database.db")), "damaged");

    // The user's own definitions (--definitions) are used instead of both;
    // a file of them that does not load ends the start-up.
    testing::TempFolder own;
    const std::string ownFile = (own.path() / "own.db").string();
    std::string stored;
    ASSERT_TRUE(
        EncodeContainer("<NA VERSION=\"7\"><SW NAME=\"Other\"><DIRECTORIES>"
                        "<DIR NAME=\"%temp%\\other\"/></DIRECTORIES></SW></NA>",
                        &stored));
    std::ofstream(ownFile) << stored;
    EXPECT_EQ(RunTolvane(machineArg + " --definitions '" + ownFile + "' scan registry", &out), 0);
    EXPECT_NE(out.find("Definitions: " + ownFile + " (your own)"), std::string::npos) << out;
    std::ofstream(ownFile) << "damaged";
    EXPECT_EQ(RunTolvane(machineArg + " --definitions '" + ownFile + "' scan registry", &out), 2);
    EXPECT_NE(out.find("[message] Tolvane: Definitions file not loaded. Program will shutdown "
                       "now.\\nPlease re-install Tolvane [OK] -> ok"),
              std::string::npos)
        << out;

    EXPECT_EQ(RunTolvane(machineArg + " scan everything", &out), 2);
    EXPECT_EQ(RunTolvane(machineArg + " frobnicate", &out), 2);
    EXPECT_EQ(RunTolvane(machineArg + " scan --help", &out), 0);
    EXPECT_EQ(out.rfind("usage: tolvane --headless [OPTIONS] scan smart|", 0), 0u) << out;
}

// What the terminal says where it used to mislead: an answer a box does not
// offer, the log of an earlier run, the update check without a server, the
// version, and a user without ~/.wine.
TEST(Headless, TheTerminalsTexts) {
    TempPrefix prefix;
    ASSERT_NO_FATAL_FAILURE(InstallGossamerDatabase(prefix.path()));
    ASSERT_NO_FATAL_FAILURE(PlantGossamerKey(prefix));
    testing::TempFolder home;  // no ~/.wine, no settings.conf
    const std::string env = "HOME='" + home.path().string() + "' XDG_CONFIG_HOME= WINEPREFIX= ";
    const std::string tolvane = env + TOLVANE_PROGRAM;
    const std::string machine = tolvane + " --headless --machine '" + prefix.path() + "' ";
    std::string out;

    // ok is no button of the Yes/No confirmation: refused, nothing removed.
    EXPECT_EQ(testing::RunCommand(machine + "--answers no,ok scan registry remove all 2>&1", &out),
              2);
    EXPECT_NE(out.find("tolvane: --answers: \"ok\" is not a button of the box \"Tolvane: 1 "
                       "objects selected will be removed. Continue?\" [Yes/No]"),
              std::string::npos)
        << out;
    {
        auto opened = prefix.Open();
        RegKey key;
        EXPECT_EQ(opened->registry().OpenKey(Registry::Root(RootKey::LocalMachine),
                                             "Software\\Gossamer", KEY_READ, &key),
                  ERROR_SUCCESS);
    }
    ASSERT_EQ(RunCommand(tolvane + " --help", &out), 0);
    EXPECT_NE(out.find("ok is refused on a Yes/No"), std::string::npos) << out;

    // A later run shows the newest log; a machine without one says so in
    // one line.
    ASSERT_EQ(RunCommand(machine + "logfile", &out), 0);
    EXPECT_EQ(out.rfind("Log: C:\\Program Files\\Tolvane\\Logs\\TolvaneLog ", 0), 0u) << out;
    TempPrefix fresh;
    ASSERT_EQ(RunCommand(tolvane + " --headless --machine '" + fresh.path() + "' logfile", &out),
              0);
    EXPECT_NE(out.find("Scan System once to view log file [OK]"), std::string::npos) << out;

    // No update server configured: said, with where to set one; and one
    // that cannot be reached fails the command too.
    EXPECT_EQ(RunCommand(machine + "update", &out), 1);
    EXPECT_NE(out.find("[update] No update server is configured."), std::string::npos) << out;
    EXPECT_NE(out.find("/etc/tolvane/settings.conf"), std::string::npos) << out;
    std::filesystem::create_directories(home.path() / ".config/tolvane");
    std::ofstream(home.path() / ".config/tolvane/settings.conf")
        << "UpdateServer=http://127.0.0.1:1/\n";
    EXPECT_EQ(RunCommand(machine + "update", &out), 1);
    EXPECT_NE(out.find("[update] Unable to connect to the server"), std::string::npos) << out;

    for (const std::string& run : {tolvane + " --version", tolvane + " --headless --version",
                                   std::string(TOLVANE_DEMO_PROGRAM) + " --version"}) {
        EXPECT_EQ(RunCommand(run, &out), 0) << run;
        EXPECT_NE(out.find(" 3.45\n"), std::string::npos) << run << ": " << out;
    }

    EXPECT_EQ(testing::RunCommand(tolvane + " --headless about 2>&1", &out), 1);
    EXPECT_NE(out.find("--machine PREFIX"), std::string::npos) << out;
    EXPECT_NE(out.find("tolvane --list-machines"), std::string::npos) << out;
}

// The start-up finds "-s" and "-b" anywhere in the command line, "-s" first:
// "-sb" holds "-s", "-bs" only "-b".
TEST(Headless, JoinedSwitchesSbAndBsAreFoundAsTheStartUpFindsThem) {
    TempPrefix prefix;
    ASSERT_NO_FATAL_FAILURE(PlantGossamerKey(prefix));
    const std::string machineArg = "--headless --machine '" + prefix.path() + "'";
    std::string out;
    ASSERT_EQ(RunTolvane(machineArg + " settings general startup=smart", &out), 0) << out;
    ASSERT_EQ(RunTolvane(machineArg + " -sb", &out), 1) << out;  // the scan listed a row
    EXPECT_NE(out.find("Gossamer Tracker"), std::string::npos) << out;
    // -b's message stands only for files really deleted: one is queued.
    prefix.WriteFile("C:\\Bad\\queued.txt", "x");
    {
        auto machine = prefix.Open();
        SettingsStore(machine->registry()).WriteStartUpDeleteQueue({"C:\\Bad\\queued.txt"});
    }
    ASSERT_EQ(RunTolvane(machineArg + " -bs", &out), 0) << out;
    EXPECT_NE(out.find("have now been deleted"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(prefix.Host("drive_c/Bad/queued.txt")));
    EXPECT_EQ(out.find("Gossamer Tracker"), std::string::npos) << out;
}

// Windows programs run on the prefix, so its wineserver runs and the
// registry takes no changes: not even the settings key of a first start can
// be made. The scan must still run the mode it was asked for.
TEST(Headless, ScansWhileThePrefixsWineServerRuns) {
    TempPrefix prefix;
    ASSERT_NO_FATAL_FAILURE(PlantGossamerKey(prefix));
    const std::string systemReg = ReadHostFile(prefix.Host("system.reg"));
    testing::FakeWineServer server(prefix.path());
    ASSERT_TRUE(server.locked());
    const std::string machineArg = "--headless --machine '" + prefix.path() + "' --json";
    for (const char* mode : {"smart", "registry"}) {
        SCOPED_TRACE(mode);
        std::string out;
        ASSERT_EQ(RunTolvane(machineArg + " scan " + mode, &out), 1);
        nlohmann::json doc = nlohmann::json::parse(out);
        EXPECT_GT(doc["counters"]["objectsScanned"].get<int>(), 0) << out;
        ASSERT_EQ(doc["rows"].size(), 1u) << out;
        EXPECT_EQ(doc["rows"][0]["object"], "Software\\Gossamer");
        std::string log = ReadHostFile(doc["logHostPath"].get<std::string>());
        EXPECT_EQ(log.find("Starting Scanning ("), 0u) << log;
    }

    // A removal or a restore is refused, saying how to stop the server, and
    // the command fails; nothing changes.
    std::string out;
    EXPECT_EQ(
        RunTolvane("--headless --machine '" + prefix.path() + "' --yes scan registry remove all",
                   &out),
        2);
    EXPECT_NE(out.find("wineserver -k"), std::string::npos) << out;
    EXPECT_EQ(RunTolvane("--headless --machine '" + prefix.path() +
                             "' --yes --open 'C:\\backup.zip' restore",
                         &out),
              1);
    EXPECT_NE(out.find("wineserver -k"), std::string::npos) << out;
    // So is the Advanced BHO Scan, before any script deletes a file.
    EXPECT_EQ(RunTolvane("--headless --machine '" + prefix.path() + "' --yes advanced", &out), 1);
    EXPECT_NE(out.find("wineserver -k"), std::string::npos) << out;
    EXPECT_EQ(out.find("Finished cleaning"), std::string::npos) << out;
    // Wine's registry stays as Wine wrote it.
    EXPECT_EQ(ReadHostFile(prefix.Host("system.reg")), systemReg);

    server.Stop();
    EXPECT_EQ(
        RunTolvane("--headless --machine '" + prefix.path() + "' --yes scan registry remove all",
                   &out),
        1)
        << out;
    EXPECT_NE(out.find("1 Objects deleted successfully."), std::string::npos) << out;
}

// The file dialogs' paths may be given as Linux paths that a drive covers.
TEST(Headless, LinuxPathsOfTheFileDialogsGoThroughTheDrives) {
    TempPrefix prefix;
    ASSERT_NO_FATAL_FAILURE(PlantGossamerKey(prefix));
    const std::string archive = prefix.Host("drive_c/users/b.zip");
    const std::string machineArg = "--headless --machine '" + prefix.path() + "'";
    std::string out;
    ASSERT_EQ(RunTolvane(machineArg + " --yes --save-as '" + archive + "' scan registry remove all",
                         &out),
              1)
        << out;
    EXPECT_NE(out.find("Backup created sucessfullly"), std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::exists(archive));
    ASSERT_EQ(RunTolvane(machineArg + " --json scan registry", &out), 0);
    EXPECT_TRUE(nlohmann::json::parse(out)["rows"].empty()) << out;

    ASSERT_EQ(RunTolvane(machineArg + " --yes --open '" + archive + "' restore", &out), 0) << out;
    ASSERT_EQ(RunTolvane(machineArg + " --json scan registry", &out), 1);
    EXPECT_EQ(nlohmann::json::parse(out)["rows"].size(), 1u) << out;
}

TEST(Headless, ASecondBackupSilentlyReplacesTheFirst) {
    TempPrefix prefix;
    ASSERT_NO_FATAL_FAILURE(InstallGossamerDatabase(prefix.path()));
    ASSERT_NO_FATAL_FAILURE(PlantGossamerKey(prefix));
    const std::string archive = prefix.Host("drive_c/users/b.zip");
    const std::string backup =
        "--headless --machine '" + prefix.path() + "' --save-as '" + archive + "' ";
    std::string out;
    ASSERT_EQ(RunTolvane(backup + "scan registry backup", &out), 1) << out;  // a row listed
    EXPECT_NE(out.find("Backup created sucessfullly"), std::string::npos) << out;
    std::ofstream(archive, std::ios::app) << "first";  // marks the first archive
    const std::string first = ReadHostFile(archive);

    // Without a yes the existing archive stays; with one it is replaced.
    ASSERT_EQ(RunTolvane(backup + "scan registry backup", &out), 1) << out;
    EXPECT_NE(out.find("[message] Save As: C:\\users\\b.zip already exists.\\nDo you want to "
                       "replace it? [Yes/No] -> no"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Backup created"), std::string::npos) << out;
    EXPECT_EQ(ReadHostFile(archive), first);
    ASSERT_EQ(RunTolvane(backup + "--answers yes scan registry backup", &out), 1) << out;
    EXPECT_NE(out.find("Backup created sucessfullly"), std::string::npos) << out;
    EXPECT_NE(ReadHostFile(archive), first);

    // A folder that does not exist is refused by the dialog itself.
    ASSERT_EQ(RunTolvane("--headless --machine '" + prefix.path() +
                             "' --save-as 'C:\\No Such\\b.zip' scan registry backup",
                         &out),
              1);
    EXPECT_NE(out.find("[save file] C:\\No Such\\b.zip -> refused: C:\\No Such\\b.zip\\nPath "
                       "does not exist."),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("could not be written"), std::string::npos) << out;
}

// The README's `--save-as ~/tolvane-backup.zip`: a file outside the machine
// is written there with the running user's rights, 0600, and a link under
// its name is replaced, not written through. A backup asked for that cannot
// be made stops the removal, even with --yes, and says why.
TEST(Headless, SaveAsOutsideTheMachineWritesThereOrStopsTheRemoval) {
    TempPrefix prefix;
    ASSERT_NO_FATAL_FAILURE(PlantGossamerKey(prefix));
    testing::TempFolder homeFolder("tolvane-home");
    const std::string home = homeFolder.path().string();
    const std::string run = "--headless --machine '" + prefix.path() + "' --yes --save-as '";
    auto rowsLeft = [&] {
        std::string json;
        RunTolvane("--headless --machine '" + prefix.path() + "' --json scan registry", &json);
        return nlohmann::json::parse(json)["rows"].size();
    };
    std::string out;
    // A command that failed: the scan run's error status.
    ASSERT_EQ(RunTolvane(run + home + "/gone/b.zip' scan registry remove all", &out),
              kExitScanError)
        << out;
    EXPECT_NE(out.find(home + "/gone/b.zip -> refused: " + home + "/gone/b.zip\\nPath does not"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Nothing was removed: the backup you asked for was not made."),
              std::string::npos)
        << out;
    EXPECT_EQ(rowsLeft(), 1u);

    const std::string archive = home + "/tolvane-backup.zip";
    std::ofstream(home + "/victim.txt") << "keep";
    ASSERT_EQ(symlink((home + "/victim.txt").c_str(), archive.c_str()), 0);
    ASSERT_EQ(RunTolvane(run + archive + "' scan registry remove all", &out), 1) << out;
    EXPECT_NE(out.find("Backup created sucessfullly"), std::string::npos) << out;
    struct stat st {};
    ASSERT_EQ(lstat(archive.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(ReadHostFile(home + "/victim.txt"), "keep");
    EXPECT_EQ(rowsLeft(), 0u);
}

TEST(Headless, WithJsonAStartUpFailurePrintsNothing) {
    std::string out;
    EXPECT_EQ(
        RunTolvane("--headless --json --machine /nonexistent/tolvane-machine scan smart", &out), 2);
    nlohmann::json doc = nlohmann::json::parse(out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << out;
    EXPECT_NE(doc["failure"].get<std::string>().find("/nonexistent/tolvane-machine"),
              std::string::npos)
        << out;
    EXPECT_EQ(doc["messages"].size(), 1u);

    // Definitions that cannot be loaded: the start-up's messages.
    TempPrefix prefix;
    const std::string database = prefix.Host("damaged.db");
    std::ofstream(database) << "damaged";
    EXPECT_EQ(RunTolvane("--headless --json --machine '" + prefix.path() + "' --definitions '" +
                             database + "' scan smart",
                         &out),
              2);
    doc = nlohmann::json::parse(out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << out;
    EXPECT_EQ(doc["failure"], "start-up failed");
    EXPECT_NE(doc["messages"].dump().find("Definitions file not loaded."), std::string::npos)
        << out;
}

std::string User() {
    passwd* pw = getpwuid(getuid());
    return pw && pw->pw_name ? pw->pw_name : "user";
}

class DemoMachine : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string out;
        ASSERT_EQ(
            RunCommand(std::string(TOLVANE_DEMO_PROGRAM) + " create '" + dir_ + "' --seconds 120",
                       &out),
            0);
    }
    void TearDown() override {
        std::string out;
        RunCommand(std::string(TOLVANE_DEMO_PROGRAM) + " stop '" + dir_ + "'", &out);
        // The demo machine has a read-only folder: writable again, so that
        // the temporary folder can go.
        std::error_code ec;
        for (auto& p : std::filesystem::recursive_directory_iterator(temp_.path(), ec))
            std::filesystem::permissions(p.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    }
    // "type|object" of every listed row of a scan.
    std::set<std::string> Scan(const std::string& mode) {
        std::string out;
        int status = RunTolvane("--headless --json --machine '" + dir_ + "' scan " + mode, &out);
        std::set<std::string> rows;
        nlohmann::json doc = nlohmann::json::parse(out);
        for (const auto& row : doc["rows"]) {
            rows.insert(row["type"].get<std::string>() + "|" + row["object"].get<std::string>());
            kinds_.insert(row["kind"].get<std::string>() + "|" + row["object"].get<std::string>());
        }
        EXPECT_EQ(status, doc["rows"].empty() ? 0 : 1) << mode;
        return rows;
    }
    std::set<std::string> kinds_;  // "kind|object" of every row listed
    testing::TempFolder temp_{"tolvane-demo-test"};
    const std::string dir_ = (temp_.path() / "machine").string();
};

TEST_F(DemoMachine, SmartAndFilesScansListEveryPlantedTrace) {
    std::set<std::string> found = Scan("smart");
    std::set<std::string> files = Scan("files");
    found.insert(files.begin(), files.end());
    const std::string profile = "C:\\users\\" + User();
    const std::string roaming = profile + "\\AppData\\Roaming";
    const std::string startMenu = roaming + "\\Microsoft\\Windows\\Start Menu";
    const std::string bho =
        "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper "
        "Objects\\";
    const std::string run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run\\";
    const std::string ie = "Software\\Microsoft\\Internet Explorer\\Main\\";
    const std::vector<std::string> expected = {
        // hosts entries
        "Host File Item|www.drifter-search.example",
        "Host File Item|ads.tinsel.example",
        "Host File Item|track.tinsel.example",
        "Host File Item|saffron-find.example",
        "Host File Item|mistral-bar.example",
        // registry keys
        "Registry Key|SOFTWARE\\Velvet Gazer",
        "Registry Key|" + bho + "{5F1C2A7E-3B9D-4E61-A0C4-7D2E9B18F3A6}",
        "Registry Key|CLSID\\{5F1C2A7E-3B9D-4E61-A0C4-7D2E9B18F3A6}",
        "Registry Key|Software\\Murmur Dial",
        "Registry Key|Software\\Lantern Popups",
        "Registry Key|" + bho + "{A3E0B6D1-72C4-4F5B-9E8A-1C6D0F2B7E94}",
        "Registry Key|Software\\Gossamer",
        "Registry Key|BrassBeacon.Helper",
        "Registry Key|SOFTWARE\\Brass Beacon",
        "Registry Key|Software\\Thimble",
        "Registry Key|SYSTEM\\CurrentControlSet\\Services\\CpSpy",
        "Registry Key|" + bho + "{0D4B8E27-C915-4A3F-B6E2-58F1A9C07D3B}",
        "Registry Key|Software\\Gilded Ticker\\Settings",
        "Registry Key|Software\\Hearth Sidebar",
        // registry values, the hijacked start page among them
        "Registry Value|" + ie + "Start Page:@:drifter-search.example",
        "Registry Value|" + ie + "Search Page:@:saffron-find.example",
        "Registry Value|" + ie + "Default_Page_URL:@:mistral-bar.example",
        "Registry Value|" + run + "QfHelper",
        "Registry Value|" + run + "Nightjar",
        "Registry Value|Software\\Ember\\Clicker\\Installed",
        // files and folders
        "File|C:\\windows\\murmur.exe",
        "File|C:\\windows\\system32\\vgzhook.dll",
        "File|C:\\windows\\system32\\qf2hook.dll",
        "File|C:\\windows\\system32\\rookd.exe",
        "File|C:\\windows\\system32\\drivers\\cpspy.sys",
        "File|C:\\nightjar.exe",
        "File|" + profile + "\\Desktop\\Free Minutes.lnk",
        "File|" + profile + "\\Favorites\\Lucky Marble Casino.url",
        "File|" + profile + "\\gossamer.ini",
        "File|" + profile + "\\Temp\\emb4031.tmp",
        "File|" + profile + "\\Temp\\cinder_setup.exe",
        "File|" + startMenu + "\\Programs\\Startup\\Lantern.lnk",
        "File|C:\\Program Files\\Common Files\\Foxglove\\fgshop.dll",
        "File|" + profile + "\\AppData\\Local\\Microsoft\\Windows\\INetCookies\\" + User() +
            "@sable-ads[1].txt",
        "Folder|C:\\Program Files\\Velvet Gazer",
        "Folder|" + roaming + "\\Quillfeather",
        "Folder|C:\\Program Files\\Parchment",
        "Folder|" + roaming + "\\Thimble",
        // the running programs, by their Windows path
        "File|C:\\Program Files\\Velvet Gazer\\vgazer.exe",
        "File|" + roaming + "\\Thimble\\thmb.exe",
    };
    for (const std::string& trace : expected)
        EXPECT_TRUE(found.count(trace)) << trace << " not listed";
    // --json tells a running program's rows from the files found on disk.
    for (const std::string& kindAndObject : std::vector<std::string>{
             "process|C:\\Program Files\\Velvet Gazer\\vgazer.exe", "file|C:\\windows\\murmur.exe",
             "folder|C:\\Program Files\\Parchment", "registry-key|Software\\Gossamer",
             "registry-value|" + run + "Nightjar", "host|ads.tinsel.example"})
        EXPECT_TRUE(kinds_.count(kindAndObject)) << kindAndObject;
}

TEST_F(DemoMachine, StartUpSwitchRunsTheStoredMode) {
    std::string out;
    const std::string base = std::string(TOLVANE_PROGRAM) + " --headless --machine '" + dir_ + "'";
    // No start-up mode stored: -s starts nothing.
    ASSERT_EQ(RunCommand(base + " -s", &out), 0);
    EXPECT_EQ(out, "");
    ASSERT_EQ(RunCommand(base + " settings general startup=smart", &out), 0);
    ASSERT_EQ(RunCommand(base + " -s", &out), 1);
    EXPECT_NE(out.find("\nLog: C:\\Program Files\\Tolvane\\Logs\\"), std::string::npos) << out;
    // A prefix path holding "-s" is no switch.
    ASSERT_EQ(RunCommand(base + " --open 'C:\\x-s.zip' about", &out), 0);
    EXPECT_EQ(out.find("objectsScanned"), std::string::npos) << out;
}

// `make run` ran when its scan did: the demo's threats listed are no failure.
TEST_F(DemoMachine, TheDemoRunEndsWellWhenItListsThreats) {
    const std::string program = TOLVANE_PROGRAM;
    const std::string build = program.substr(0, program.rfind("/bin/"));
    std::string out;
    EXPECT_EQ(RunCommand("DISPLAY= WAYLAND_DISPLAY= TOLVANE_DEMO_DIR='" + dir_ + "' " +
                             TOLVANE_RUN_DEMO + " '" + build + "'",
                         &out),
              0);
    EXPECT_NE(out.find("\nobjectsRecognised: "), std::string::npos) << out;
    EXPECT_EQ(out.find("\nobjectsRecognised: 0\n"), std::string::npos) << out;
}

// The exit status of a run with a scan is a virus scanner's; other runs keep
// theirs.
TEST(Headless, ExitStatusTable) {
    TempPrefix prefix;
    ASSERT_NO_FATAL_FAILURE(InstallGossamerDatabase(prefix.path()));
    const std::string machineArg = "--headless --machine '" + prefix.path() + "' ";
    std::string out;
    struct Row {
        std::string arguments;
        int status;
    };
    const Row table[] = {
        {machineArg + "scan registry", 0},                              // nothing listed
        {machineArg + "--yes --no scan registry about", 0},             // other commands after it
        {"--headless --machine /nonexistent/prefix scan registry", 2},  // cannot be opened
        {machineArg + "scan everything", 2},                            // bad usage
        {machineArg + "about", 0},                                      // no scan: success
        {machineArg + "details 7", 1},                                  // no scan: a command failed
        {"--headless --machine /nonexistent/prefix about", 1},          // no scan: start-up failed
        {"--headless --all-machines --machine x scan smart", 2},
        {"--headless --all-machines startup disable 1", 2},  // rows are one machine's
    };
    for (const Row& row : table)
        EXPECT_EQ(RunTolvane(row.arguments, &out), row.status) << row.arguments;
    ASSERT_NO_FATAL_FAILURE(PlantGossamerKey(prefix));
    EXPECT_EQ(RunTolvane(machineArg + "scan registry", &out), 1);  // something listed
    std::ofstream(prefix.Host("damaged.db")) << "damaged";
    EXPECT_EQ(
        RunTolvane(machineArg + "--definitions '" + prefix.Host("damaged.db") + "' scan registry",
                   &out),
        2);  // start-up failed
}

// Every machine of a home folder: listed, then scanned in turn; the damaged
// one is reported and the others are still scanned.
TEST(Headless, ListsAndScansEveryMachineOfTheUser) {
    testing::MachinesHome home;
    const std::string env = "HOME='" + home.home() + "' WINEPREFIX='" + home.home() +
                            "/custom' XDG_DATA_HOME= XDG_CONFIG_HOME= ";
    const std::string mount = " --mount '" + home.windowsFolder() + "'";
    std::string out;
    ASSERT_EQ(RunCommand(env + TOLVANE_PROGRAM + " --list-machines" + mount, &out), 0);
    std::istringstream lines(out);
    std::string line;
    for (const auto& machine : home.expected()) {
        ASSERT_TRUE(std::getline(lines, line)) << out;
        EXPECT_EQ(line.rfind(machine.path + "\t" + MachineKindName(machine.kind) + "\t", 0), 0u)
            << line;
    }
    EXPECT_FALSE(std::getline(lines, line)) << line;
    EXPECT_EQ(out.rfind(home.home() + "/custom\twine\t$WINEPREFIX\n", 0), 0u) << out;
    EXPECT_NE(out.find("/wineprefixes/broken\twinetricks\t" + home.home() +
                       "/.local/share/wineprefixes\tdamaged: neither drive_c nor dosdevices\n"),
              std::string::npos)
        << out;

    ASSERT_EQ(RunCommand(env + TOLVANE_PROGRAM + " --list-machines --json" + mount, &out), 0);
    nlohmann::json list = nlohmann::json::parse(out, nullptr, false);
    ASSERT_TRUE(list.is_object()) << out;
    ASSERT_EQ(list["machines"].size(), home.expected().size()) << out;
    for (size_t i = 0; i < home.expected().size(); ++i) {
        const auto& machine = list["machines"][i];
        EXPECT_EQ(machine["path"], home.expected()[i].path);
        EXPECT_EQ(machine["kind"], MachineKindName(home.expected()[i].kind));
        EXPECT_EQ(machine["damage"].get<std::string>().empty(), !home.expected()[i].damaged);
    }
    EXPECT_EQ(list["machines"][0]["foundIn"], "$WINEPREFIX");

    // The Proton prefix holds a trace.
    std::string error;
    auto proton =
        OpenMachine(home.home() + "/Steam\\Library/steamapps/compatdata/292030/pfx", &error);
    ASSERT_TRUE(proton) << error;
    RegKey key;
    ASSERT_EQ(proton->registry().CreateKey(Registry::Root(RootKey::LocalMachine),
                                           "Software\\Gossamer", KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    proton.reset();

    // A Windows installation given with --mount is scanned too; the home's
    // own, whose hives are damaged, says so.
    testing::TempInstallation windows;
    for (const auto& machine : home.expected()) {
        if (machine.damaged) continue;
        ASSERT_NO_FATAL_FAILURE(InstallGossamerDatabase(machine.path));
    }
    ASSERT_NO_FATAL_FAILURE(InstallGossamerDatabase(windows.path()));
    const std::string all = env + TOLVANE_PROGRAM + " --headless --all-machines" + mount +
                            " --mount '" + windows.path() + "'";
    EXPECT_EQ(RunCommand(all + " scan registry", &out), 2) << out;
    EXPECT_NE(out.find("== " + windows.path() + " (windows, found in mount point)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\nRegistry damaged: " + home.windowsFolder() +
                       "/WINDOWS/system32/Config/SOFTWARE: is damaged and was not loaded"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("== " + home.home() +
                       "/Steam\\Library/steamapps/compatdata/292030/pfx "
                       "(proton, found in " +
                       home.home() +
                       "/.local/share/Steam/steamapps/libraryfolders.vdf)\nGossamer Tracker\t"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("/broken (winetricks, found in " + home.home() +
                       "/.local/share/wineprefixes): failed: damaged"),
              std::string::npos)
        << out;
    EXPECT_NE(
        out.find("\n== Total: 10 machines scanned, 1 with objects listed (1 objects), 1 could "
                 "not be scanned, 0 skipped\n"),
        std::string::npos)
        << out;

    EXPECT_EQ(RunCommand(all + " --json scan registry", &out), 2);
    nlohmann::json doc = nlohmann::json::parse(out, nullptr, false);
    ASSERT_TRUE(doc.is_object()) << out;
    ASSERT_EQ(doc["machines"].size(), home.expected().size() + 1);
    std::map<std::string, int> states;
    for (const auto& section : doc["machines"]) ++states[section["state"].get<std::string>()];
    EXPECT_EQ(states["scanned"], 10);
    EXPECT_EQ(states["failed"], 1);
    EXPECT_EQ(doc["total"]["objects"], 1);
    EXPECT_EQ(doc["machines"][0]["result"]["rows"].size(), 0u);

    // An installation merely found mounted is listed as skipped, not opened.
    HeadlessOptions options;
    options.words = {"scan", "registry"};
    std::ostringstream listed, errors;
    EXPECT_EQ(ScanAllMachines(options,
                              {{windows.path(), MachineKind::Windows, "mount point", "", "", ""}},
                              listed, errors),
              kExitScanClean);
    EXPECT_NE(listed.str().find(": skipped: found mounted; give it with --mount FOLDER to scan it\n"
                                "== Total: 0 machines scanned, 0 with objects listed (0 objects), "
                                "0 could not be scanned, 1 skipped\n"),
              std::string::npos)
        << listed.str();
}

// --all-machines as root on nobody's prefix and then root's own: each is
// scanned with its own owner's rights, the second not with those the first
// gave up to. Run by nobody, root's prefix is listed and not scanned.
TEST(Headless, AllMachinesDecidesEachMachinesOwnerAfresh) {
    SKIP_UNLESS_ROOT();
    testing::TempFolder homeFolder;
    const std::string home = homeFolder.path().string();
    testing::TempPrefix nobodys;
    testing::GiveToNobody(nobodys.path());
    testing::TempPrefix roots;
    std::filesystem::create_directory_symlink(roots.path(), home + "/.wine");
    const std::string run = " XDG_DATA_HOME= XDG_CONFIG_HOME= " + std::string(TOLVANE_PROGRAM) +
                            " --headless --all-machines scan registry";
    std::string out;
    RunCommand("HOME='" + home + "' WINEPREFIX='" + nobodys.path() + "'" + run, &out);
    const size_t second = out.find("== " + home + "/.wine");
    ASSERT_NE(second, std::string::npos) << out;
    EXPECT_LT(out.find("Running as nobody, the owner of the machine"), second) << out;
    EXPECT_NE(out.find("Running as root on a machine root owns", second), std::string::npos) << out;
    EXPECT_NE(out.find(", 0 could not be scanned, 0 skipped\n"), std::string::npos) << out;

    EXPECT_TRUE(testing::AsNobody([&] {
        std::string seen;
        RunCommand("HOME=/nonexistent WINEPREFIX='" + roots.path() + "'" + run, &seen);
        return seen.find(": skipped: owned by root: not scanned\n") != std::string::npos;
    }));
}

// Every entry below a folder: a file's bytes, a link's target, "<folder>".
std::map<std::string, std::string> TreeBytes(const std::string& root) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
        const std::string relative = fs::relative(it->path(), root).string();
        if (it->is_symlink())
            tree[relative] = "<link> " + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            tree[relative] = "<folder>";
        else
            tree[relative] = ReadHostFile(it->path());
    }
    return tree;
}

// A Windows installation is evidence: a scan in every mode reads it only.
// Its databases come from Tolvane's own installation, its log and settings
// go to its state folder on the host, and every file of it is byte for byte
// as before; mounted read-only it is scanned the same.
TEST(Headless, ScansOfAnInstallationInEveryModeLeaveItByteForByteUnchanged) {
    testing::TempInstallation windows;
    testing::TempFolder state("tolvane-state");
    const std::map<std::string, std::string> before = TreeBytes(windows.path());
    const std::string run = "XDG_STATE_HOME='" + state.path().string() + "' " + TOLVANE_PROGRAM +
                            " --headless --machine '" + windows.path() + "' ";
    const std::string logs = "\nLog: " + state.path().string() + "/tolvane/installations/";
    std::string out;
    // The custom scan with every part switched on is the fullest there is.
    for (const char* scan :
         {"scan smart", "scan registry", "scan files", "scan memory",
          "--folders 'C:\\' scan drives",
          "--folders 'C:\\' settings scan active=1 registry=1 deep=1 drives=1 scan custom",
          "start"}) {
        int status = RunCommand(run + scan, &out);
        EXPECT_TRUE(status == kExitScanClean || status == kExitScanListed) << scan << out;
        EXPECT_NE(out.find(logs), std::string::npos) << scan << out;
    }
    EXPECT_EQ(RunCommand(run + "settings scan deep=1", &out), kExitOk) << out;
    // The other commands, the update with no server configured among them
    // (its settings and state would otherwise land in the SOFTWARE hive).
    for (const char* command : {"scan registry list select all ignore checked", "ignore list",
                                "unignore all", "logfile", "update", "update check"}) {
        RunCommand("cd '" + state.path().string() + "' && XDG_CONFIG_HOME='" +
                       state.path().string() + "' " + run + command,
                   &out);
        EXPECT_EQ(TreeBytes(windows.path()), before) << command << out;
    }
    EXPECT_EQ(TreeBytes(windows.path()), before);

    testing::ReadOnlyBindMount mount(windows.path());
    if (!mount.readOnly())
        GTEST_SKIP() << "mounting read-only needs root and a system that permits it";
    int status = RunCommand(run + "scan smart", &out);
    EXPECT_TRUE(status == kExitScanClean || status == kExitScanListed) << out;
    EXPECT_EQ(out.find("Unable to load reference file"), std::string::npos) << out;
    EXPECT_NE(out.find(logs), std::string::npos) << out;
}

// A reader of a machine (another user's prefix) sees what its owner sees:
// the scan asks for read rights only. A registry file it may not read at
// all is said in the notes, and the scan fails.
TEST(Headless, AReaderOfAnotherUsersPrefixGetsTheOwnersRegistryRows) {
    SKIP_UNLESS_ROOT();
    TempPrefix prefix;
    ASSERT_NO_FATAL_FAILURE(PlantGossamerKey(prefix));
    ASSERT_NO_FATAL_FAILURE(InstallGossamerDatabase(prefix.path()));
    std::filesystem::permissions(prefix.path(), std::filesystem::perms(0755));
    const std::string scan = std::string(TOLVANE_PROGRAM) + " --headless --machine '" +
                             prefix.path() + "' scan registry";
    std::string owner;
    ASSERT_EQ(RunCommand(scan, &owner), kExitScanListed) << owner;
    auto readerSees = [&](int wantedStatus, const std::string& wanted) {
        return testing::AsNobody([&] {
            std::string out;
            int status = RunCommand(scan, &out);
            if (status == wantedStatus && out.find(wanted) != std::string::npos &&
                out.find("\nLog: ") == std::string::npos)
                return true;
            std::fprintf(stderr, "status %d:\n%s\n", status, out.c_str());
            return false;
        });
    };
    EXPECT_TRUE(readerSees(
        kExitScanListed, "Gossamer Tracker\tRegistry Key\tSpyware\tSoftware\\Gossamer\tMedium\n"));
    EXPECT_TRUE(readerSees(kExitScanListed, "\nThe log of this scan could not be written."));
    std::filesystem::permissions(prefix.Host("system.reg"), std::filesystem::perms(0600));
    EXPECT_TRUE(readerSees(kExitScanError,
                           "\nThe machine's registry cannot be read with the "
                           "rights Tolvane runs with"));
}

// An ignore list in a working folder the user may not write says that it
// could not be written, and where; nothing claims the objects were added.
TEST(Headless, AnIgnoreListThatCannotBeWrittenSaysSoAndWhere) {
    SKIP_UNLESS_ROOT();
    TempPrefix prefix;
    prefix.AddDrive('z', "/");  // the working folder is then the list's folder
    ASSERT_NO_FATAL_FAILURE(PlantGossamerKey(prefix));
    testing::GiveToNobody(prefix.path());
    testing::TempFolder work("tolvane-work");
    std::filesystem::permissions(work.path(), std::filesystem::perms(0755));
    const std::string run = "cd '" + work.path().string() + "' && " + TOLVANE_PROGRAM +
                            " --headless --machine '" + prefix.path() +
                            "' scan registry select all ignore checked 2>&1";
    EXPECT_TRUE(testing::AsNobody([&] {
        std::string out;
        testing::RunCommand(run, &out);
        if (out.find("The ignore list could not be written to " + work.path().string() +
                     "/Ignorelist.txt: Permission denied.") != std::string::npos &&
            out.find("added to the ignore list") == std::string::npos)
            return true;
        std::fprintf(stderr, "%s\n", out.c_str());
        return false;
    }));
    EXPECT_FALSE(std::filesystem::exists(work.path() / "Ignorelist.txt"));
}

// Run as root on a machine nobody owns, Tolvane becomes nobody before it
// opens the machine: what it writes there is nobody's, and the scan says
// so. On root's own machine it says that its changes stay inside.
TEST(Headless, RootRunsAsTheMachinesOwnerAndSaysWhichRuleApplies) {
    SKIP_UNLESS_ROOT();
    TempPrefix prefix;
    ASSERT_NO_FATAL_FAILURE(PlantGossamerKey(prefix));
    const std::string machineArg = "--headless --machine '" + prefix.path() + "'";
    std::string out;
    ASSERT_EQ(RunTolvane(machineArg + " scan registry", &out), 1) << out;  // the key is listed
    EXPECT_NE(out.find("\nRunning as root on a machine root owns: changes stay inside the "
                       "machine's folder.\n"),
              std::string::npos)
        << out;

    testing::GiveToNobody(prefix.path());
    std::filesystem::remove(prefix.Host("drive_c/Program Files/Tolvane/database.db"));
    // From a folder of root's, whose Ignorelist.txt is then not nobody's.
    ASSERT_EQ(RunTolvane("--json " + machineArg + " scan registry", &out), 1) << out;
    nlohmann::json doc = nlohmann::json::parse(out);
    EXPECT_EQ(doc["user"], "nobody");
    EXPECT_EQ(doc["notes"][0],
              "Running as nobody, the owner of the machine: root's rights were given up.");
    EXPECT_EQ(doc["rows"].size(), 1u);
    for (const std::string& made : {doc["logHostPath"].get<std::string>(),
                                    prefix.Host("drive_c/Program Files/Tolvane/database.db")}) {
        struct stat st;
        ASSERT_EQ(stat(made.c_str(), &st), 0) << made;
        EXPECT_EQ(st.st_uid, testing::NobodyUid()) << made;
    }
}

// A Run value of the prefix's user.
void PlantRunValue(const TempPrefix& prefix, const std::string& name,
                   const std::string& command = "C:\\started.exe") {
    auto machine = prefix.Open();
    RegKey key;
    ASSERT_EQ(machine->registry().CreateKey(Registry::Root(RootKey::CurrentUser),
                                            "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                                            KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(machine->registry().SetValue(key, name, REG_SZ, command), ERROR_SUCCESS);
}

// The number the listing gave the row of the entry named name; "" for none.
std::string RowNumber(const std::string& listing, const std::string& name) {
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);)
        if (line.find("\t" + name + "\t") != std::string::npos)
            return line.substr(0, line.find('\t'));
    return "";
}

// startup: the first listing says there is nothing to compare; a second one
// after a Run entry is planted flags just that entry, new, and exits 1.
TEST(Headless, StartupListsTheEntriesAndFlagsTheOneAddedSinceTheLastListing) {
    TempPrefix prefix;
    testing::TempFolder state("tolvane-state");
    const std::string run = "XDG_STATE_HOME='" + state.path().string() + "' " + TOLVANE_PROGRAM +
                            " --headless --machine '" + prefix.path() + "' startup";
    std::string out;
    RunCommand(run, &out);
    EXPECT_NE(out.find("Note: first listing: nothing to compare"), std::string::npos) << out;
    ASSERT_NO_FATAL_FAILURE(PlantRunValue(prefix, "Planted", "C:\\planted.exe"));
    EXPECT_EQ(RunCommand(run, &out), kExitScanListed) << out;
    EXPECT_EQ(out.find("first listing"), std::string::npos) << out;
    size_t newRows = 0;
    for (size_t at = out.find(",new"); at != std::string::npos; at = out.find(",new", at + 1))
        ++newRows;
    EXPECT_EQ(newRows, 1u) << out;
    EXPECT_NE(out.find("missing,new\tHKU\\S-1-5-21-0-0-0-1000\\Software\\Microsoft\\Windows\\"
                       "CurrentVersion\\Run\tPlanted\tC:\\planted.exe\tC:\\planted.exe"),
              std::string::npos)
        << out;

    // A file the definitions in use name is flagged with its threat (here
    // the user's own definitions file, chosen with --definitions).
    testing::TempFolder host;
    std::string stored;
    ASSERT_TRUE(
        EncodeContainer("<NA VERSION=\"9.1\" DATE=\"2026-12-10\">\n<SW NAME=\"Red Kite\">"
                        "<CATEGORY NAME=\"Spyware\"/><FILES><FILE NAME=\"kite.exe\"/>"
                        "</FILES><DANGER NAME=\"High\"/></SW>\n</NA>\n",
                        &stored));
    const std::string own = (host.path() / "own.db").string();
    std::ofstream(own, std::ios::binary) << stored;
    prefix.WriteFile("C:\\kite.exe", "MZ");
    ASSERT_NO_FATAL_FAILURE(PlantRunValue(prefix, "Kite", "C:\\kite.exe"));
    RunCommand("XDG_STATE_HOME='" + state.path().string() + "' " + TOLVANE_PROGRAM +
                   " --headless --definitions '" + own + "' --machine '" + prefix.path() +
                   "' startup",
               &out);
    EXPECT_NE(out.find("threat:Red Kite"), std::string::npos) << out;
}

// startup disable N acts on row N of the last listing only while that row
// still names the same entry: an entry planted since shifts the rows, and
// the stale number is refused with nothing changed.
TEST(Headless, StartupActionsRefuseARowNumberOfAStaleListing) {
    TempPrefix prefix;
    testing::TempFolder state("tolvane-state");
    const std::string run = "XDG_STATE_HOME='" + state.path().string() + "' " + TOLVANE_PROGRAM +
                            " --headless --machine '" + prefix.path() + "' ";
    ASSERT_NO_FATAL_FAILURE(PlantRunValue(prefix, "Planted"));
    std::string out;
    RunCommand(run + "startup", &out);
    const std::string stale = RowNumber(out, "Planted");
    ASSERT_NE(stale, "") << out;
    ASSERT_NO_FATAL_FAILURE(PlantRunValue(prefix, "Aardvark"));
    EXPECT_EQ(testing::RunCommand(run + "--yes startup disable " + stale + " 2>&1", &out),
              kExitFailure);
    EXPECT_NE(out.find("row " + stale + " no longer names the entry the last listing showed"),
              std::string::npos)
        << out;

    RunCommand(run + "startup", &out);
    EXPECT_EQ(out.find("disabled\tHKU"), std::string::npos) << out;
    const std::string fresh = RowNumber(out, "Planted");
    EXPECT_NE(fresh, stale);
    // The fresh number names the entry; Wine starts Run entries whatever
    // StartupApproved says, so on a prefix it is refused for that reason.
    EXPECT_EQ(testing::RunCommand(run + "--yes startup disable " + fresh + " 2>&1", &out),
              kExitFailure);
    EXPECT_NE(out.find("cannot be disabled here; remove it instead"), std::string::npos) << out;
    RunCommand(run + "startup", &out);
    EXPECT_EQ(out.find("disabled\tHKU"), std::string::npos) << out;
    EXPECT_EQ(RowNumber(out, "Aardvark").empty(), false);
}

// --all-machines startup lists each machine under its own header.
TEST(Headless, StartupOnAllMachinesListsEachMachineUnderItsName) {
    TempPrefix first, second;
    testing::TempFolder state("tolvane-state");
    testing::ScopedEnv stateHome("XDG_STATE_HOME", state.path().c_str());
    ASSERT_NO_FATAL_FAILURE(PlantRunValue(first, "OnlyInFirst"));
    HeadlessOptions options;
    options.words = {"startup"};
    std::ostringstream out, err;
    EXPECT_EQ(ScanAllMachines(options,
                              {{first.path(), MachineKind::Wine, "test", "", "", ""},
                               {second.path(), MachineKind::Wine, "test", "", "", ""}},
                              out, err),
              kExitScanListed)
        << err.str();
    const std::string text = out.str();
    const size_t firstAt = text.find("== " + first.path() + " (wine, found in test)\n");
    const size_t secondAt = text.find("== " + second.path() + " (wine, found in test)\n");
    const size_t row = text.find("\tOnlyInFirst\t");
    ASSERT_NE(firstAt, std::string::npos) << text;
    ASSERT_NE(secondAt, std::string::npos) << text;
    EXPECT_TRUE(firstAt < row && row < secondAt) << text;
    EXPECT_NE(text.find("== Total: 2 machines scanned"), std::string::npos) << text;
}

// startup --weekly shows only what is new since the last weekly listing; a
// listing the user makes in between does not shorten the week.
TEST(Headless, StartupWeeklyListsTheEntriesNewSinceTheLastWeeklyListing) {
    TempPrefix prefix;
    testing::TempFolder state("tolvane-state");
    const std::string run = "XDG_STATE_HOME='" + state.path().string() + "' " + TOLVANE_PROGRAM +
                            " --headless --machine '" + prefix.path() + "' startup";
    ASSERT_NO_FATAL_FAILURE(PlantRunValue(prefix, "Before"));
    std::string out;
    EXPECT_EQ(RunCommand(run + " --weekly", &out), kExitScanClean) << out;
    EXPECT_NE(out.find("Note: first listing: nothing to compare"), std::string::npos) << out;
    EXPECT_EQ(RowNumber(out, "Before"), "") << out;
    ASSERT_NO_FATAL_FAILURE(PlantRunValue(prefix, "During"));
    EXPECT_EQ(RunCommand(run, &out), kExitScanListed) << out;
    EXPECT_EQ(RunCommand(run + " --weekly", &out), kExitScanListed) << out;
    EXPECT_NE(RowNumber(out, "During"), "") << out;
    EXPECT_EQ(RowNumber(out, "Before"), "") << out;
    EXPECT_EQ(out.find("first listing"), std::string::npos) << out;
}

// startup on an installation: a PE file's names and signature reach the JSON
// and the text's details line; Windows' own entry shows with --all only,
// marked, and an unsigned program is flagged "not-signed". A database.db
// inside the installation is no copy of ours and is not even looked at.
TEST(Headless, StartupShowsPeFactsAndHidesWindowsOwnEntriesUnlessAll) {
    testing::TempInstallation windows;
    testing::TempFolder state("tolvane-state");
    {
        auto machine = windows.Open();
        FileSystem& files = machine->files();
        ASSERT_TRUE(files.CreateFolderPath("C:\\Program Files\\Tolvane"));
        ASSERT_TRUE(files.WriteWholeFileAtomic("C:\\Program Files\\Tolvane\\database.db", "decoy"));
        ASSERT_TRUE(files.CreateFolderPath("C:\\Windows\\System32"));
        ASSERT_TRUE(files.CreateFolderPath("C:\\Vendor"));
        ASSERT_TRUE(files.WriteWholeFileAtomic(
            "C:\\Windows\\System32\\taskmgr.exe",
            testing::BuildPe({"Microsoft Corporation", "Windows", "Task Manager", true})));
        ASSERT_TRUE(files.WriteWholeFileAtomic(
            "C:\\Vendor\\agent.exe", testing::BuildPe({"Vendor", "Agent", "Tray", false})));
        RegKey key;
        ASSERT_EQ(machine->registry().CreateKey(Registry::Root(RootKey::LocalMachine),
                                                "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                                                KEY_ALL_ACCESS, &key),
                  ERROR_SUCCESS);
        ASSERT_EQ(machine->registry().SetValue(key, "Tasks", REG_SZ,
                                               "C:\\Windows\\System32\\taskmgr.exe"),
                  ERROR_SUCCESS);
        ASSERT_EQ(machine->registry().SetValue(key, "Agent", REG_SZ, "C:\\Vendor\\agent.exe"),
                  ERROR_SUCCESS);
    }
    const std::string run = "XDG_STATE_HOME='" + state.path().string() + "' " + TOLVANE_PROGRAM +
                            " --headless --machine '" + windows.path() + "' ";
    std::string out;
    EXPECT_EQ(RunCommand(run + "startup", &out), kExitScanListed) << out;
    EXPECT_EQ(out.find("taskmgr.exe"), std::string::npos) << out;
    EXPECT_EQ(out.find("database.db of the machine"), std::string::npos) << out;
    EXPECT_NE(
        out.find("1\tnot-signed\tHKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\t"
                 "Agent\tC:\\Vendor\\agent.exe\tC:\\Vendor\\agent.exe\n\tVendor\tAgent\tTray\t"
                 "not signed\n"),
        std::string::npos)
        << out;
    RunCommand(run + "--json startup --all", &out);
    nlohmann::json listing = nlohmann::json::parse(out, nullptr, false);
    ASSERT_TRUE(listing.contains("entries")) << out;
    std::map<std::string, nlohmann::json> rows;
    for (const nlohmann::json& row : listing["entries"]) rows[row["name"]] = row;
    ASSERT_TRUE(rows.count("Tasks") && rows.count("Agent")) << out;
    EXPECT_EQ(rows["Tasks"]["windows"], true);
    EXPECT_EQ(rows["Tasks"]["company"], "Microsoft Corporation");
    EXPECT_EQ(rows["Tasks"]["signature"], "present");
    EXPECT_EQ(rows["Agent"]["signature"], "absent");
    EXPECT_EQ(rows["Agent"]["notSigned"], true);
}

}  // namespace
}  // namespace tolvane
