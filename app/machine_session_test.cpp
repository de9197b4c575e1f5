// The window's program moving between machines: File > "Open Machine..."
// over a home folder holding a machine of every kind (one damaged).
#include "app/machine_session.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/app_test_fixture.h"
#include "app/instance_lock.h"
#include "app/views/machine_chooser.h"
#include "definitions/threat_database.h"
#include "discovery/open_machine.h"
#include "host/privileges.h"
#include "testing/machines_home.h"
#include "testing/temp_folder.h"
#include "testing/temp_installation.h"

namespace tolvane::testing {
namespace {

// The dialog as a user answers it: the rows shown, and the folder chosen
// ("" cancels).
struct ChooserAnswer : MachineChooserView {
    bool RunMachineChooser(MachineChooser& chooser) override {
        shown = chooser.rows();
        selectedAtFirst = chooser.selected();
        for (size_t i = 0; i < shown.size(); ++i)
            if (shown[i].path == pick) chooser.Select(i);
        return !pick.empty();
    }
    std::string pick;
    std::vector<MachineRow> shown;
    std::optional<size_t> selectedAtFirst;
};

class MachineSessionTest : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        // The shipped databases every machine gets on its first start.
        std::string stored;
        ASSERT_TRUE(EncodeContainer(kTestDefinitions, &stored));
        shipped_ = home_.home() + "/shipped";
        std::filesystem::create_directories(shipped_);
        std::ofstream(shipped_ + "/database.db", std::ios::binary) << stored;
        ApplicationOptions options = Options();
        options.shippedDataFolder = shipped_;
        session_ = std::make_unique<MachineSession>(Views(), chooser_, options);
        session_->findMachines = [this] { return FindMachines(home_.places()); };
        session_->reopened = [this](Application& app) {
            app.controller().results().SetObserver(&views_);
        };
        ASSERT_EQ(session_->Start(*machine_), StartResult::Running);
        session_->app().controller().results().SetObserver(&views_);
    }
    void TearDown() override {
        if (session_ && session_->started()) {
            session_->app().controller().BeginShutdown();
            ui_.RunUntil([&] { return !session_->app().controller().WorkerRunning(); });
        }
        session_.reset();
        AppTest::TearDown();
    }
    MainController& current() { return session_->app().controller(); }
    void WaitForTheScan() {
        ui_.RunUntil([&] { return !current().WorkerRunning(); });
    }
    // The status line of a machine re-opened here: its folder, and whose
    // rights the program uses on it (as the start on it takes them).
    static std::string ReopenedStatus(const std::string& path) {
        Privileges privileges;
        std::string why;
        EXPECT_TRUE(TakeMachineOwnersRights(path, &privileges, &why)) << why;
        std::string note = PrivilegesNote(privileges);
        return kMachineStatusPrefix + path + (note.empty() ? "" : "  " + note);
    }
    std::string Expected(MachineKind kind, bool damaged = false) const {
        for (const auto& machine : home_.expected())
            if (machine.kind == kind && machine.damaged == damaged) return machine.path;
        return "";
    }

    MachinesHome home_;
    std::string shipped_;
    ChooserAnswer chooser_;
    std::unique_ptr<MachineSession> session_;
};

TEST_F(MachineSessionTest, ListsTheMachinesFoundAndReopensOnTheChosenOne) {
    EXPECT_EQ(views_.ControlText(ControlId::StatusLine),
              std::string(kMachineStatusPrefix) + prefix_.path());
    const std::string chosen = Expected(MachineKind::Winetricks);
    ASSERT_FALSE(chosen.empty());
    std::ofstream(chosen + "/drive_c/windows/grey.exe") << "MZ";

    chooser_.pick = chosen;
    session_->app().controller().Execute(MainCommand::OpenMachine);
    ASSERT_EQ(chooser_.shown.size(), home_.expected().size());
    for (size_t i = 0; i < chooser_.shown.size(); ++i) {
        const MachineRow& row = chooser_.shown[i];
        EXPECT_EQ(row.path, home_.expected()[i].path);
        EXPECT_EQ(row.kind, MachineKindName(home_.expected()[i].kind));
        EXPECT_FALSE(row.foundIn.empty()) << row.path;
        EXPECT_EQ(row.damage.empty(), !home_.expected()[i].damaged) << row.path;
        EXPECT_FALSE(row.current) << row.path;  // the machine open is not in this home
    }
    EXPECT_EQ(chooser_.selectedAtFirst, std::nullopt);
    EXPECT_EQ(session_->machine().PrefixPath(), prefix_.path());  // after the command returned
    ui_.RunPending();

    // Opened as a start opens it: the shipped database installed, the title,
    // the machine named; the scan runs on it.
    ASSERT_EQ(session_->machine().PrefixPath(), chosen);
    EXPECT_TRUE(std::filesystem::exists(chosen + "/drive_c/Program Files/Tolvane/database.db"));
    EXPECT_EQ(views_.title, "Tolvane 3.45");
    EXPECT_EQ(views_.ControlText(ControlId::StatusLine), ReopenedStatus(chosen));
    EXPECT_TRUE(views_.messages.empty());
    session_->app().controller().Execute(MainCommand::SmartScan);
    WaitForTheScan();
    std::vector<std::string> objects;
    for (const ListRow& row : session_->app().controller().results().rows())
        objects.push_back(row.object);
    EXPECT_NE(std::find(objects.begin(), objects.end(), "C:\\windows\\grey.exe"), objects.end());

    // Listed again, the machine open now is marked and selected; choosing it
    // changes nothing, and neither does Cancel.
    chooser_.pick = chosen;
    session_->ChooseMachine();
    ASSERT_TRUE(chooser_.selectedAtFirst.has_value());
    EXPECT_EQ(chooser_.shown[*chooser_.selectedAtFirst].path, chosen);
    EXPECT_TRUE(chooser_.shown[*chooser_.selectedAtFirst].current);
    chooser_.pick.clear();
    session_->ChooseMachine();
    ui_.RunPending();
    EXPECT_EQ(session_->machine().PrefixPath(), chosen);
    EXPECT_FALSE(session_->app().controller().results().rows().empty());
}

TEST_F(MachineSessionTest, AMachineThatCannotBeOpenedLeavesTheOpenOneAsItWas) {
    const std::string damaged = Expected(MachineKind::Winetricks, true);
    ASSERT_FALSE(damaged.empty());
    const std::string whole = Expected(MachineKind::Bottles);
    // What a start on each says.
    std::string damagedWhy, missingWhy;
    ASSERT_EQ(OpenMachine(damaged, &damagedWhy), nullptr);
    ASSERT_EQ(OpenMachine(home_.home() + "/gone", &missingWhy), nullptr);
    InstanceLock otherCopy;
    bool alreadyRunning = false;
    ASSERT_TRUE(otherCopy.Acquire(whole, &alreadyRunning));

    Application* before = &session_->app();
    EXPECT_FALSE(session_->Reopen(damaged));
    EXPECT_FALSE(session_->Reopen(home_.home() + "/gone"));
    EXPECT_FALSE(session_->Reopen(whole));
    EXPECT_EQ(views_.messages,
              (std::vector<std::string>{std::string(kOpenFailureCaption) + "|" + damagedWhy,
                                        std::string(kOpenFailureCaption) + "|" + missingWhy,
                                        std::string("Tolvane|") + kAlreadyRunningMessage}));
    EXPECT_EQ(session_->machine().PrefixPath(), prefix_.path());
    EXPECT_EQ(&session_->app(), before);
    EXPECT_FALSE(views_.ended);
    EXPECT_EQ(views_.ControlText(ControlId::StatusLine),
              std::string(kMachineStatusPrefix) + prefix_.path());
    // The open machine still scans (the five objects and the folder's file).
    PlantTraces();
    session_->app().controller().Execute(MainCommand::SmartScan);
    WaitForTheScan();
    EXPECT_EQ(session_->app().controller().results().rows().size(), 6u);
}

// A machine discovery lists only (another owner's, behind a link in this
// home) is refused when chosen, with the reason, and nothing of it opened.
TEST_F(MachineSessionTest, AMachineListedOnlyIsRefusedWithItsReason) {
    const std::string whole = Expected(MachineKind::Bottles);
    ASSERT_FALSE(whole.empty());
    session_->findMachines = [&] {
        FoundMachine listed;
        listed.path = whole;
        listed.foundIn = home_.home() + "/.wine";
        listed.notOpened = "owned by mallory";
        return std::vector<FoundMachine>{listed};
    };
    chooser_.pick = whole;
    session_->app().controller().Execute(MainCommand::OpenMachine);
    ui_.RunPending();
    ASSERT_EQ(chooser_.shown.size(), 1u);
    EXPECT_EQ(chooser_.shown[0].notOpened, "owned by mallory");
    EXPECT_EQ(views_.messages,
              (std::vector<std::string>{std::string(kOpenFailureCaption) + "|" + whole +
                                        " cannot be opened: owned by mallory."}));
    EXPECT_EQ(session_->machine().PrefixPath(), prefix_.path());
    EXPECT_FALSE(std::filesystem::exists(whole + "/drive_c/Program Files/Tolvane"));
}

// The window shows no scan of the machine left behind: its counters and
// its bar start again from nothing.
TEST_F(MachineSessionTest, TheChosenMachineShowsNoScanOfThePreviousOne) {
    PlantTraces();
    current().Execute(MainCommand::SmartScan);
    WaitForTheScan();
    ASSERT_NE(views_.ControlText(ControlId::FilesCounter), "0");
    ASSERT_EQ(views_.progress, 100);

    ASSERT_TRUE(session_->Reopen(Expected(MachineKind::Bottles)));
    for (ControlId counter :
         {ControlId::ObjectsScanned, ControlId::MemoryCounter, ControlId::RegistryCounter,
          ControlId::FoldersCounter, ControlId::FilesCounter})
        EXPECT_EQ(views_.ControlText(counter), "0") << static_cast<int>(counter);
    EXPECT_EQ(views_.progress, 0);
    EXPECT_TRUE(current().results().rows().empty());
    EXPECT_FALSE(current().ControlEnabled(ControlId::ObjectsFound));
}

// A machine chosen later is opened with the --user and --drive the program
// was started with, as the start's machine was.
TEST_F(MachineSessionTest, ReopensWithTheUserAndDrivesOfTheStart) {
    TempInstallation windows;
    session_->machineOptions = {"bob", {{'D', windows.Host("Users")}}};
    ASSERT_TRUE(session_->Reopen(windows.path()))
        << (views_.messages.empty() ? "" : views_.messages.back());
    EXPECT_EQ(session_->machine().registry().UserSid(), TempInstallation::kBobSid);
    EXPECT_EQ(session_->machine().files().ToHostPath("D:\\alice"), windows.Host("Users/alice"));
}

// File > "Use Definitions File...": a file that is no packed database is
// said and changes nothing; a packed one is used at once, named on the
// status line, and stays in use on a machine opened later.
TEST_F(MachineSessionTest, UseDefinitionsFileLoadsTheUsersPackedFileAndKeepsIt) {
    PlantTraces();
    TempFolder host;
    const std::string garbage = host.path().string() + "/notes.db";
    std::ofstream(garbage) << "not a container";
    views_.script.open = {garbage};
    current().Execute(MainCommand::UseDefinitionsFile);
    ASSERT_EQ(views_.messages.size(), 1u);
    EXPECT_TRUE(views_.messages[0].starts_with(std::string(kOpenFailureCaption) + "|" + garbage))
        << views_.messages[0];
    EXPECT_NE(views_.messages[0].find("The definitions in use are kept."), std::string::npos);
    EXPECT_TRUE(session_->app().DefinitionsFile().empty());
    EXPECT_EQ(session_->app().database().definitions().size(), 2u);

    const std::string own = host.path().string() + "/own.db";
    std::string stored;
    ASSERT_TRUE(
        EncodeContainer("<NA VERSION=\"9.1\" DATE=\"2026-12-09\">\n"
                        "<SW NAME=\"Red Kite\"><CATEGORY NAME=\"Spyware\"/>"
                        "<FILES><FILE NAME=\"%windir%\\grey.exe\"/></FILES>"
                        "<DANGER NAME=\"High\"/></SW>\n</NA>\n",
                        &stored));
    std::ofstream(own, std::ios::binary) << stored;
    views_.script.open = {own};
    current().Execute(MainCommand::UseDefinitionsFile);
    EXPECT_EQ(views_.messages.size(), 1u);
    EXPECT_NE(views_.ControlText(ControlId::StatusLine).find("Definitions: " + own + " (your own)"),
              std::string::npos)
        << views_.ControlText(ControlId::StatusLine);
    current().Execute(MainCommand::SmartScan);
    WaitForTheScan();
    std::vector<std::string> vendors;
    for (const ListRow& row : current().results().rows()) vendors.push_back(row.vendor);
    EXPECT_EQ(vendors, std::vector<std::string>{"Red Kite"});

    ASSERT_TRUE(session_->Reopen(Expected(MachineKind::Bottles)));
    EXPECT_EQ(session_->app().DefinitionsFile(), own);
    EXPECT_EQ(session_->app().database().version(), "9.1");
}

}  // namespace
}  // namespace tolvane::testing
