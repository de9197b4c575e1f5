#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/machine.h"
#include "platform/registry.h"
#include "platform/testing/fake_wineserver.h"
#include "platform/testing/run_command.h"
#include "platform/testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::TempPrefix;

// Runs a command; *out gets its standard output (errors are dropped).
// Returns the exit status.
int RunCommand(const std::string& command, std::string* out) {
    return testing::RunCommand(command + " 2>/dev/null", out);
}
int RunTolvane(const std::string& arguments, std::string* out) {
    return RunCommand(std::string(TOLVANE_PROGRAM) + " " + arguments, out);
}

std::string ReadHost(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The demo database's registry key trace on a fresh test prefix.
void PlantGossamerKey(const TempPrefix& prefix) {
    auto machine = prefix.Open();
    RegKey key;
    ASSERT_EQ(machine->registry().CreateKey(Registry::Root(RootKey::LocalMachine),
                                            "Software\\Gossamer", KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
}

TEST(Headless, InstallsTheDatabaseScansAndPrintsRowsCountersAndLog) {
    TempPrefix prefix;
    ASSERT_NO_FATAL_FAILURE(PlantGossamerKey(prefix));
    const std::string machineArg = "--headless --machine '" + prefix.path() + "'";
    std::string out;
    ASSERT_EQ(RunTolvane(machineArg + " --json scan registry", &out), 0);
    nlohmann::json doc = nlohmann::json::parse(out);
    ASSERT_EQ(doc["rows"].size(), 1u) << out;
    EXPECT_EQ(doc["rows"][0]["vendor"], "Gossamer Tracker");
    EXPECT_EQ(doc["rows"][0]["type"], "Registry Key");
    EXPECT_EQ(doc["rows"][0]["object"], "Software\\Gossamer");
    EXPECT_EQ(doc["counters"]["registryKeysRecognised"], 1);
    EXPECT_EQ(doc["counters"].size(), 9u);
    std::string log = ReadHost(doc["logHostPath"].get<std::string>());
    EXPECT_EQ(log.rfind("Starting Scanning (REgistry Scan Mode)\n1) Gossamer Tracker\n", 0), 0u);
    EXPECT_TRUE(std::filesystem::exists(prefix.Host("drive_c/Program Files/Tolvane/database.db")));

    ASSERT_EQ(RunTolvane(machineArg + " scan registry", &out), 0);
    EXPECT_EQ(out.rfind("Gossamer Tracker\tRegistry Key\tSpyware\tSoftware\\Gossamer\tMedium\n", 0),
              0u)
        << out;
    EXPECT_NE(out.find("\nregistryKeysRecognised: 1\n"), std::string::npos);
    EXPECT_NE(out.find("\nLog: C:\\Program Files\\Tolvane\\Logs\\TolvaneLog "), std::string::npos);

    // Several commands in one run, in order; answers left over are reported.
    ASSERT_EQ(RunTolvane(machineArg + " --answers no,yes scan registry select none summary", &out),
              0);
    EXPECT_NE(out.find("0 of 1 rows checked\n[dialog] Summary: Registry keys recognized : 1;"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[answers] not used: no\n[answers] not used: yes"), std::string::npos);

    // An installed database is never replaced, not even a damaged one; the
    // start-up says so and fails.
    std::ofstream(prefix.Host("drive_c/Program Files/Tolvane/database.db")) << "damaged";
    EXPECT_EQ(RunTolvane(machineArg + " scan registry", &out), 1);
    EXPECT_NE(out.find("[message] Tolvane: Definitions file not loaded. Program will shutdown "
                       "now.\\nPlease re-install Tolvane [OK] -> ok"),
              std::string::npos)
        << out;
    EXPECT_EQ(ReadHost(prefix.Host("drive_c/Program Files/Tolvane/database.db")), "damaged");

    EXPECT_EQ(RunTolvane(machineArg + " scan everything", &out), 2);
    EXPECT_EQ(RunTolvane(machineArg + " frobnicate", &out), 2);
    EXPECT_EQ(RunTolvane(machineArg + " scan --help", &out), 0);
    EXPECT_EQ(out.rfind("usage: tolvane --headless [OPTIONS] scan smart|", 0), 0u) << out;
}

// The start-up finds "-s" and "-b" anywhere in the command line, "-s" first:
// "-sb" holds "-s", "-bs" only "-b".
TEST(Headless, JoinedSwitchesSbAndBsAreFoundAsTheStartUpFindsThem) {
    TempPrefix prefix;
    ASSERT_NO_FATAL_FAILURE(PlantGossamerKey(prefix));
    const std::string machineArg = "--headless --machine '" + prefix.path() + "'";
    std::string out;
    ASSERT_EQ(RunTolvane(machineArg + " settings general startup=smart", &out), 0) << out;
    ASSERT_EQ(RunTolvane(machineArg + " -sb", &out), 0) << out;
    EXPECT_NE(out.find("Gossamer Tracker"), std::string::npos) << out;
    ASSERT_EQ(RunTolvane(machineArg + " -bs", &out), 0) << out;
    EXPECT_NE(out.find("have now been deleted"), std::string::npos) << out;
    EXPECT_EQ(out.find("Gossamer Tracker"), std::string::npos) << out;
}

// Windows programs run on the prefix, so its wineserver runs and the
// registry takes no changes: not even the settings key of a first start can
// be made. The scan must still run the mode it was asked for.
TEST(Headless, ScansWhileThePrefixsWineServerRuns) {
    TempPrefix prefix;
    ASSERT_NO_FATAL_FAILURE(PlantGossamerKey(prefix));
    const std::string systemReg = ReadHost(prefix.Host("system.reg"));
    testing::FakeWineServer server(prefix.path());
    ASSERT_TRUE(server.locked());
    const std::string machineArg = "--headless --machine '" + prefix.path() + "' --json";
    for (const char* mode : {"smart", "registry"}) {
        SCOPED_TRACE(mode);
        std::string out;
        ASSERT_EQ(RunTolvane(machineArg + " scan " + mode, &out), 0);
        nlohmann::json doc = nlohmann::json::parse(out);
        EXPECT_GT(doc["counters"]["objectsScanned"].get<int>(), 0) << out;
        ASSERT_EQ(doc["rows"].size(), 1u) << out;
        EXPECT_EQ(doc["rows"][0]["object"], "Software\\Gossamer");
        std::string log = ReadHost(doc["logHostPath"].get<std::string>());
        EXPECT_EQ(log.find("Starting Scanning ("), 0u) << log;
    }

    // A removal or a restore is refused, saying how to stop the server, and
    // the command fails; nothing changes.
    std::string out;
    EXPECT_EQ(
        RunTolvane("--headless --machine '" + prefix.path() + "' --yes scan registry remove all",
                   &out),
        1);
    EXPECT_NE(out.find("wineserver -k"), std::string::npos) << out;
    EXPECT_EQ(RunTolvane("--headless --machine '" + prefix.path() +
                             "' --yes --open 'C:\\backup.zip' restore",
                         &out),
              1);
    EXPECT_NE(out.find("wineserver -k"), std::string::npos) << out;
    // Wine's registry stays as Wine wrote it.
    EXPECT_EQ(ReadHost(prefix.Host("system.reg")), systemReg);

    server.Stop();
    EXPECT_EQ(
        RunTolvane("--headless --machine '" + prefix.path() + "' --yes scan registry remove all",
                   &out),
        0)
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
              0)
        << out;
    EXPECT_NE(out.find("Backup created sucessfullly"), std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::exists(archive));
    ASSERT_EQ(RunTolvane(machineArg + " --json scan registry", &out), 0);
    EXPECT_TRUE(nlohmann::json::parse(out)["rows"].empty()) << out;

    ASSERT_EQ(RunTolvane(machineArg + " --yes --open '" + archive + "' restore", &out), 0) << out;
    ASSERT_EQ(RunTolvane(machineArg + " --json scan registry", &out), 0);
    EXPECT_EQ(nlohmann::json::parse(out)["rows"].size(), 1u) << out;
}

std::string User() {
    passwd* pw = getpwuid(getuid());
    return pw && pw->pw_name ? pw->pw_name : "user";
}

class DemoMachine : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tolvane-demo-test-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        dir_ = std::string(pattern) + "/machine";
        std::string out;
        ASSERT_EQ(
            RunCommand(std::string(TOLVANE_DEMO_PROGRAM) + " create '" + dir_ + "' --seconds 120",
                       &out),
            0);
    }
    void TearDown() override {
        std::string out;
        RunCommand(std::string(TOLVANE_DEMO_PROGRAM) + " stop '" + dir_ + "'", &out);
        std::error_code ec;
        for (auto& p : std::filesystem::recursive_directory_iterator(
                 std::filesystem::path(dir_).parent_path(), ec))
            std::filesystem::permissions(p.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(std::filesystem::path(dir_).parent_path(), ec);
    }
    // "type|object" of every listed row of a scan.
    std::set<std::string> Scan(const std::string& mode) {
        std::string out;
        EXPECT_EQ(RunTolvane("--headless --json --machine '" + dir_ + "' scan " + mode, &out), 0);
        std::set<std::string> rows;
        nlohmann::json doc = nlohmann::json::parse(out);
        for (const auto& row : doc["rows"])
            rows.insert(row["type"].get<std::string>() + "|" + row["object"].get<std::string>());
        return rows;
    }
    std::string dir_;
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
}

TEST_F(DemoMachine, StartUpSwitchRunsTheStoredMode) {
    std::string out;
    const std::string base = std::string(TOLVANE_PROGRAM) + " --headless --machine '" + dir_ + "'";
    // No start-up mode stored: -s starts nothing.
    ASSERT_EQ(RunCommand(base + " -s", &out), 0);
    EXPECT_EQ(out, "");
    ASSERT_EQ(RunCommand(base + " settings general startup=smart", &out), 0);
    ASSERT_EQ(RunCommand(base + " -s", &out), 0);
    EXPECT_NE(out.find("\nLog: C:\\Program Files\\Tolvane\\Logs\\"), std::string::npos) << out;
    // A prefix path holding "-s" is no switch.
    ASSERT_EQ(RunCommand(base + " --open 'C:\\x-s.zip' about", &out), 0);
    EXPECT_EQ(out.find("objectsScanned"), std::string::npos) << out;
}

}  // namespace
}  // namespace tolvane
