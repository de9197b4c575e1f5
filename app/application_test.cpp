#include "app/application.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "app/app_test_fixture.h"
#include "app/command_line.h"
#include "definitions/threat_database.h"
#include "host/host_files.h"
#include "host/sha256.h"
#include "script/script_test_support.h"
#include "settings/state_folder.h"
#include "testing/as_nobody.h"
#include "testing/hivexget.h"
#include "testing/scoped_env.h"
#include "testing/temp_folder.h"
#include "testing/temp_installation.h"
#include "update/test_signing.h"

namespace tolvane::testing {
namespace {

const std::string kUnable =
    "Tolvane|Unable to load reference file. Please re-install the application.";

TEST_F(AppTest, StartUpLoadsTitlesAndDisablesObjectsFound) {
    ASSERT_EQ(StartApp(), StartResult::Running);
    EXPECT_EQ(views_.title, "Tolvane 3.45");
    EXPECT_EQ(views_.loadingTexts,
              (std::vector<std::string>{"Initializing...", "Searching for definition file.",
                                        "Loading definitions from file."}));
    EXPECT_TRUE(views_.messages.empty());
    EXPECT_FALSE(views_.ControlEnabled(ControlId::ObjectsFound));
    EXPECT_TRUE(views_.ControlEnabled(ControlId::Backup));
    EXPECT_EQ(views_.ControlText(ControlId::StartStop), "Start");
    EXPECT_EQ(app_->database().definitions().size(), 2u);
    EXPECT_FALSE(views_.ended);
}

TEST_F(AppTest, SecondCopyIsRefusedAndTheFirstKeepsRunning) {
    ASSERT_EQ(StartApp(), StartResult::Running);
    ScriptedViews secondViews;
    TaskQueueUiThread secondUi;
    auto secondMachine = prefix_.Open();
    ApplicationViews views{
        {secondViews, secondViews, secondViews, secondViews, secondViews, secondUi}, secondViews};
    Application second(*secondMachine, views, Options());
    EXPECT_EQ(second.Start(), StartResult::AlreadyRunning);
    EXPECT_EQ(secondViews.messages,
              (std::vector<std::string>{"Tolvane|Application is already running!!"}));
    EXPECT_TRUE(secondViews.title.empty());  // no window was shown
    EXPECT_FALSE(views_.ended);

    // The lock goes with the first copy.
    TearDown();
    Application third(*secondMachine, views, Options());
    EXPECT_EQ(third.Start(), StartResult::Running);
}

// The lock is the user's own, outside the machine: a program of the machine
// (here nobody, who owns the prefix) can neither hold Tolvane off nor, with
// a link, make it create a file elsewhere. Copies on two machines run side
// by side.
TEST_F(AppTest, MachineProgramsCanNeitherBlockNorSteerTheLock) {
    SKIP_UNLESS_ROOT();
    namespace fs = std::filesystem;
    const std::string lockFile = prefix_.Host("drive_c/Program Files/Tolvane/Tolvane.lock");
    const std::string rootOnly = prefix_.path() + "-rootonly";
    fs::create_directory(rootOnly);
    const std::string steered = rootOnly + "/made-by-root";
    GiveToNobody(prefix_.path());
    {
        NobodyProcess holder([&] {
            int fd = open(lockFile.c_str(), O_RDWR | O_CREAT, 0644);
            return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        });
        ASSERT_TRUE(holder.ready());
        EXPECT_EQ(StartApp(), StartResult::Running);
        EXPECT_TRUE(views_.messages.empty());
        // Nobody cannot reach the lock Tolvane holds.
        std::optional<std::string> folder = UserLockFolder();
        ASSERT_TRUE(folder);
        const std::string held = *folder + "/" + InstanceLock::LockName(machine_->PrefixPath());
        EXPECT_TRUE(fs::exists(held));
        EXPECT_FALSE(AsNobody([&] { return open(held.c_str(), O_RDONLY) >= 0; }));

        TempPrefix other;
        auto otherMachine = other.Open();
        ScriptedViews otherViews;
        TaskQueueUiThread otherUi;
        ApplicationViews views{
            {otherViews, otherViews, otherViews, otherViews, otherViews, otherUi}, otherViews};
        Application second(*otherMachine, views, Options());
        EXPECT_NE(second.Start(), StartResult::AlreadyRunning);
        TearDown();
    }
    fs::remove(lockFile);
    ASSERT_TRUE(AsNobody([&] { return symlink(steered.c_str(), lockFile.c_str()) == 0; }));
    EXPECT_EQ(StartApp(), StartResult::Running);
    EXPECT_FALSE(fs::exists(steered));
    fs::remove_all(rootOnly);

    // A session folder that is not the user's own is not used for the lock.
    TearDown();
    const std::string foreign = prefix_.path() + "-runtime";
    fs::create_directory(foreign);
    chmod(foreign.c_str(), 0700);
    GiveToNobody(foreign);
    {
        ScopedEnv runtime("XDG_RUNTIME_DIR", foreign.c_str());
        std::optional<std::string> folder = UserLockFolder();
        ASSERT_TRUE(folder);
        EXPECT_NE(*folder, foreign);
        EXPECT_EQ(StartApp(), StartResult::Running);
        EXPECT_TRUE(fs::is_empty(foreign));
    }
    fs::remove_all(foreign);
}

// A link planted under the lock's name is not followed, and the run that
// goes on without the lock says so.
TEST_F(AppTest, PlantedLockLinkIsRefusedAndSaid) {
    namespace fs = std::filesystem;
    TempFolder runtime;
    const std::string folder = runtime.path().string();
    chmod(folder.c_str(), 0700);
    const std::string steered = folder + "/steered";
    const std::string lockFile = folder + "/" + InstanceLock::LockName(machine_->PrefixPath());
    ASSERT_EQ(symlink(steered.c_str(), lockFile.c_str()), 0);
    ScopedEnv env("XDG_RUNTIME_DIR", folder.c_str());

    EXPECT_EQ(StartApp(), StartResult::Running);
    EXPECT_FALSE(fs::exists(steered));
    ASSERT_FALSE(views_.messages.empty());
    EXPECT_EQ(views_.messages[0], "Tolvane|Tolvane runs without its one-copy lock: " + lockFile +
                                      " is a link. A second copy started on this machine will "
                                      "not be stopped.");
}

TEST_F(AppTest, MissingDatabaseEndsTheProgramWithOneMessage) {
    ASSERT_TRUE(machine_->files().DeleteFile("C:\\Program Files\\Tolvane\\database.db"));
    EXPECT_EQ(StartApp(), StartResult::Failed);
    EXPECT_EQ(views_.loadingTexts,
              (std::vector<std::string>{"Initializing...", "Searching for definition file.",
                                        "Definition file not found."}));
    EXPECT_EQ(views_.messages, (std::vector<std::string>{kUnable}));
    EXPECT_TRUE(views_.ended);
    app_->FirstTick();  // nothing runs once the window has ended
    EXPECT_FALSE(controller().Scanning());
}

TEST_F(AppTest, DamagedDatabaseShowsBothMessagesInOrder) {
    prefix_.WriteFile("C:\\Program Files\\Tolvane\\database.db", "\x10\x00\x00\x00garbage!");
    EXPECT_EQ(StartApp(), StartResult::Failed);
    EXPECT_EQ(views_.loadingTexts.back(), "Definitions not loaded.");
    EXPECT_EQ(views_.messages,
              (std::vector<std::string>{kUnable,
                                        "Tolvane|Definitions file not loaded. Program will "
                                        "shutdown now.\nPlease re-install Tolvane"}));
    EXPECT_FALSE(app_->definitionsLoaded());
    EXPECT_TRUE(views_.ended);
}

TEST_F(AppTest, FirstStartInstallsTheShippedDatabaseWithoutOverwriting) {
    prefix_.WriteFile("C:\\shipped-src\\database.db", "new");
    std::string installed = FileText("C:\\Program Files\\Tolvane\\database.db");
    Application::InstallShippedData(*machine_, prefix_.Host("drive_c/shipped-src"));
    EXPECT_EQ(FileText("C:\\Program Files\\Tolvane\\database.db"), installed);
    machine_->files().DeleteFile("C:\\Program Files\\Tolvane\\database.db");
    Application::InstallShippedData(*machine_, prefix_.Host("drive_c/shipped-src"));
    EXPECT_EQ(FileText("C:\\Program Files\\Tolvane\\database.db"), "new");
}

// Planted in the machine: a decoy database.db that knows none of its traces
// and a script.db of its own. Neither is used: the shipped ones are, and the
// notes say why. An update's database counts only with its signed
// description, and not when older than the shipped one.
TEST_F(AppTest, PlantedDatabasesAreNotUsed) {
    TempFolder shipped;
    std::string shippedDefinitions, shippedScripts, decoy, plantedScripts;
    ASSERT_TRUE(EncodeContainer(kTestDefinitions, &shippedDefinitions));
    ASSERT_TRUE(EncodeContainer(
        "<NA><SW NAME=\"Shipped Script\"><SCRIPT>doit('s')</SCRIPT></SW></NA>", &shippedScripts));
    ASSERT_TRUE(
        EncodeContainer("<NA VERSION=\"99\"><SW NAME=\"Decoy\"><DIRECTORIES>"
                        "<DIR NAME=\"%temp%\\decoy\"/></DIRECTORIES></SW></NA>",
                        &decoy));
    ASSERT_TRUE(EncodeContainer(
        "<NA><SW NAME=\"Planted Script\"><SCRIPT>doit('p')</SCRIPT></SW></NA>", &plantedScripts));
    ASSERT_TRUE(ReplaceHostFile((shipped.path() / "database.db").string(), shippedDefinitions));
    ASSERT_TRUE(ReplaceHostFile((shipped.path() / "script.db").string(), shippedScripts));
    prefix_.WriteFile("C:\\Program Files\\Tolvane\\database.db", decoy);
    prefix_.WriteFile("C:\\Program Files\\Tolvane\\script.db", plantedScripts);
    PlantTraces();

    auto start = [&](std::vector<std::string> keys = {}) {
        if (app_) TearDown();
        ApplicationOptions options = Options();
        options.shippedDataFolder = shipped.path().string();
        options.extraUpdateKeys = std::move(keys);
        app_ = std::make_unique<Application>(*machine_, Views(), std::move(options));
        return app_->Start();
    };
    auto noted = [&](const std::string& part) {
        for (const std::string& note : app_->Notes())
            if (note.find(part) != std::string::npos) return true;
        return false;
    };
    ASSERT_EQ(start(), StartResult::Running);
    controller().Execute(MainCommand::SmartScan);
    WaitForScan();
    EXPECT_EQ(controller().results().size(), 6u);
    EXPECT_TRUE(
        noted("database.db of the machine is not used: it is not the shipped one and no "
              "signed update description is kept beside it; the shipped database.db is "
              "used instead"));
    EXPECT_TRUE(
        noted("script.db of the machine is not used: it is not the shipped one; the "
              "shipped script.db is used instead"));
    controller().Execute(MainCommand::AdvancedBhoScan);
    EXPECT_NE(
        std::find(views_.lines.begin(), views_.lines.end(), "[script] Shipped Script\tFinished"),
        views_.lines.end());

    // The same bytes with a signed update description of them: used, unless
    // they are older than the shipped ones.
    const auto describe = [&](const std::string& version) {
        const std::string description = "tolvane-update 1\nversion: " + version +
                                        "\nfile: /d.db\nsize: " + std::to_string(decoy.size()) +
                                        "\nsha256: " + Sha256Hex(decoy) +
                                        "\ndate: 2026-12-09\nproduct: definitions\n";
        prefix_.WriteFile("C:\\Program Files\\Tolvane\\database.db.update", description);
        prefix_.WriteFile("C:\\Program Files\\Tolvane\\database.db.update.sig",
                          SignatureFile(description));
    };
    describe("99");
    ASSERT_EQ(start(), StartResult::Running);  // the test key is not trusted
    EXPECT_TRUE(noted("the update description beside it has no valid signature"));
    ASSERT_EQ(start({TestUpdateKey().publicPem}), StartResult::Running);
    EXPECT_FALSE(noted("database.db of the machine"));
    EXPECT_EQ(app_->database().version(), "99");
    describe("0.5");
    ASSERT_EQ(start({TestUpdateKey().publicPem}), StartResult::Running);
    EXPECT_TRUE(noted("it is older (version 0.5) than the shipped one"));
}

TEST(CommandLine, SubstringRuleOverTheWindowsLine) {
    EXPECT_EQ(FindStartSwitch("\"C:\\Program Files\\Tolvane\\Tolvane.exe\" -s"),
              StartSwitch::StartUpScan);
    EXPECT_EQ(FindStartSwitch("x -b"), StartSwitch::StartUpDeletions);
    EXPECT_EQ(FindStartSwitch("x -b -s"), StartSwitch::StartUpScan);  // -s is looked for first
    EXPECT_EQ(FindStartSwitch("x foo-sbar"), StartSwitch::StartUpScan);
    EXPECT_EQ(FindStartSwitch("x"), StartSwitch::None);

    // Our long options and their values are not part of the line.
    std::set<std::string> withValue = {"--machine", "--save-as"};
    std::string line = WindowsCommandLine(
        {"--headless", "--machine", "/tmp/my-s-prefix", "--save-as=C:\\a-b.zip", "--json"},
        withValue);
    EXPECT_EQ(line, "\"C:\\Program Files\\Tolvane\\Tolvane.exe\"");
    EXPECT_EQ(FindStartSwitch(line), StartSwitch::None);
    EXPECT_EQ(WindowsCommandLine({"--machine", "/p", "-b"}, withValue),
              "\"C:\\Program Files\\Tolvane\\Tolvane.exe\" -b");
}

TEST_F(AppTest, StartUpScanRunsOnlyForModesOneToThree) {
    PlantTraces();
    for (int mode : {0, 4}) {
        SettingsStore(machine_->registry()).WriteInt("StartUpScanMode", mode);
        SettingsStore(machine_->registry()).WriteInt("LastScanMode", 6);
        ASSERT_EQ(StartApp(" -s"), StartResult::Running);
        app_->FirstTick();
        EXPECT_FALSE(controller().Scanning()) << mode;
        EXPECT_EQ(settings().ReadInt("LastScanMode"), 6);
        TearDown();
    }
    for (int mode : {1, 2, 3}) {
        SettingsStore(machine_->registry()).WriteInt("StartUpScanMode", mode);
        ASSERT_EQ(StartApp(" -s"), StartResult::Running);
        app_->FirstTick();
        EXPECT_TRUE(controller().Scanning()) << mode;
        EXPECT_EQ(views_.ControlText(ControlId::StartStop), "Stop");
        EXPECT_EQ(settings().ReadInt("LastScanMode"), mode);
        EXPECT_TRUE(views_.lines.empty() || views_.messages.empty());  // no dialog was shown
        WaitForScan();
        EXPECT_EQ(views_.ControlText(ControlId::StartStop), "Start");
        TearDown();
    }
}

TEST_F(AppTest, BothSwitchesActAsStartUpScanOnly) {
    PlantTraces();
    SettingsStore(machine_->registry()).WriteInt("StartUpScanMode", 1);
    SettingsStore(machine_->registry()).WriteInt("StartUpDeleteCount", 1);
    SettingsStore(machine_->registry()).WriteString("StartUpDelete0", "C:\\windows\\grey.exe");
    ASSERT_EQ(StartApp(" -b -s"), StartResult::Running);
    app_->FirstTick();
    EXPECT_TRUE(controller().Scanning());
    WaitForScan();
    EXPECT_FALSE(views_.ended);
    EXPECT_TRUE(machine_->files().PathFileExists("C:\\windows\\grey.exe"));
}

TEST_F(AppTest, DeletionSwitchDeletesTheQueueAndEnds) {
    PlantTraces();
    SettingsStore(machine_->registry()).WriteInt("StartUpDeleteCount", 1);
    SettingsStore(machine_->registry()).WriteString("StartUpDelete0", "C:\\windows\\grey.exe");
    ASSERT_EQ(StartApp(" -b"), StartResult::Running);
    app_->FirstTick();
    EXPECT_FALSE(machine_->files().PathFileExists("C:\\windows\\grey.exe"));
    EXPECT_TRUE(views_.ended);
    ASSERT_EQ(views_.messages.size(), 1u);
}

// The application on a Windows installation on a disk, whose launcher
// reports every start asked for instead of making it. Its databases are the
// shipped ones, its own state is kept in a state folder of the test's.
class InstallationAppTest : public AppTest {
  protected:
    void SetUp() override {
        machine_ = windows_.Open();
        machine_->launcher().SetObserver([this](const std::vector<std::string>& argv) {
            launches_.push_back(argv);
            return true;
        });
        std::string stored;
        ASSERT_TRUE(EncodeContainer(kTestDefinitions, &stored));
        ASSERT_TRUE(ReplaceHostFile(shipped_.path().string() + "/database.db", stored));
        shippedFolder_ = shipped_.path();
    }
    TempInstallation windows_;
    TempFolder shipped_{"tolvane-shipped"};
    TempFolder state_{"tolvane-state"};
    ScopedEnv stateHome_{"XDG_STATE_HOME", state_.path().c_str()};
    std::vector<std::vector<std::string>> launches_;
};

TEST_F(InstallationAppTest, NoProgramRunsNoneIsEndedAndRegsvr32NeverStarts) {
    windows_.WriteFile("C:\\Windows\\grey.exe", "MZ");
    windows_.WriteFile("C:\\Program Files\\Grey Lantern\\gl.dll", "MZ");
    ASSERT_EQ(StartApp(), StartResult::Running);
    controller().Execute(MainCommand::MemoryScan);
    WaitForScan();
    const std::string finished = std::string("Finished scanning...  ") + kNoProgramsRunNote;
    EXPECT_EQ(views_.StatusHistory().back(), finished);
    EXPECT_EQ(controller().results().size(), 0u);
    EXPECT_NE(ReadHostFile(app_->scan().LogPath())
                  .find(std::string("Scanning running processes.\n") + kNoProgramsRunNote + "\n"),
              std::string::npos)
        << app_->scan().LogPath();
    std::vector<std::string> notes = app_->Notes();
    EXPECT_NE(std::find(notes.begin(), notes.end(), kNoProgramsRunNote), notes.end());

    // Removal of a program and of a folder with a component: neither ends a
    // program nor asks regsvr32 to unregister anything.
    settings().WriteInt("RemoveAfterScan", 1);
    views_.script.answers = {"no", "yes"};
    controller().Execute(MainCommand::SmartScan);
    WaitForScan();
    EXPECT_TRUE(views_.UnusedAnswers().empty());
    EXPECT_FALSE(std::filesystem::exists(windows_.Host("Windows/grey.exe")));
    EXPECT_FALSE(std::filesystem::exists(windows_.Host("Program Files/Grey Lantern/gl.dll")));
    EXPECT_TRUE(launches_.empty()) << launches_.size() << " launches";
    std::vector<ProcessSnapshot> processes;
    EXPECT_TRUE(machine_->processes().List(&processes));
    EXPECT_TRUE(processes.empty());
}

// Settings and the ignore list of an installation are kept in its host
// state folder, never in its hives or files; the advanced scan's script
// functions work on the installation's hives and files.
TEST_F(InstallationAppTest, SettingsAndIgnoreListStayOnTheHostScriptsReachTheInstallation) {
    windows_.WriteFile("C:\\Windows\\grey.exe", "MZ");
    ASSERT_EQ(StartApp(), StartResult::Running);
    settings().WriteInt("StartUpScanMode", 3);
    settings().WriteString("Scan_Drives_1", "C:\\a\nb");
    EXPECT_EQ(HivexgetValue(windows_.Software(), "\\Tolvane", "StartUpScanMode"), "");
    std::string why;
    const std::string folder = InstallationStateFolder(windows_.path(), &why);
    EXPECT_EQ(folder.rfind(state_.path().string() + "/tolvane/installations/", 0), 0u) << folder;
    struct stat st {};
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(ReadHostFile(folder + "/settings"), "StartUpScanMode=3\nScan_Drives_1=C:\\\\a\\nb\n");
    EXPECT_EQ(SettingsStore::OnHost(machine_->registry(), folder + "/settings")
                  .ReadString("Scan_Drives_1"),
              "C:\\a\nb");
    std::vector<std::string> notes = app_->Notes();
    EXPECT_NE(std::find(notes.begin(), notes.end(),
                        "Tolvane's settings, logs and ignore list for this installation are kept "
                        "in " +
                            folder + "."),
              notes.end());

    IgnoreList& ignored = app_->ignoreList();
    ignored.Add(nullptr, "Grey Lantern", "C:\\Windows\\grey.exe", ObjectType::File);
    ASSERT_TRUE(ignored.Save()) << ignored.Refusal();
    EXPECT_TRUE(std::filesystem::exists(folder + "/Ignorelist.txt"));
    IgnoreList reloaded(machine_->files(), "", folder);
    reloaded.Load(app_->database());
    EXPECT_TRUE(reloaded.IsIgnored(ObjectType::File, "C:\\Windows\\grey.exe"))
        << ignored.FilePath();
    controller().Execute(MainCommand::SmartScan);
    WaitForScan();
    EXPECT_EQ(controller().results().size(), 0u);
    EXPECT_EQ(app_->scan().Counters().objectsIgnored, 1);

    RecordingView view;
    ScriptHost host(*machine_, view);
    ASSERT_TRUE(host.StartEngine());
    host.RunScript(
        "var run = 'Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Run';"
        "SetRegValue('HKEY_CURRENT_USER', run, 'Grey', 'C:\\\\Windows\\\\grey.exe');"
        "doit(GetRegValue('HKEY_CURRENT_USER', run, 'Grey'));"
        "DeleteFile('C:\\\\Windows\\\\grey.exe');"
        "doit(String(IsFileExists('C:\\\\Windows\\\\grey.exe')));");
    EXPECT_EQ(view.Texts(), (std::vector<std::string>{"C:\\Windows\\grey.exe", "false"}));
    EXPECT_EQ(HivexgetValue(windows_.UserHive("alice"),
                            "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Grey"),
              "C:\\Windows\\grey.exe\n");
    EXPECT_FALSE(std::filesystem::exists(windows_.Host("Windows/grey.exe")));
}

}  // namespace
}  // namespace tolvane::testing
