#include "update/update_client.h"

#include <gtest/gtest.h>

#include <deque>

#include "update/update_test_fixture.h"

namespace tolvane::testing {
namespace {

// The main window's message boxes, answered from a script.
struct ScriptedHost : UpdateHost {
    PromptAnswer Ask(const Prompt& prompt) override {
        if (prompt.buttons != PromptButtons::YesNo) {
            shown.push_back(prompt.caption + ": " + prompt.text);
            return PromptAnswer::Ok;
        }
        asked.push_back(prompt.caption + ": " + prompt.text);
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected question: " << prompt.text;
            return PromptAnswer::No;
        }
        bool answer = answers.front();
        answers.pop_front();
        return answer ? PromptAnswer::Yes : PromptAnswer::No;
    }
    void DefinitionsInstalled() override { ++reloads; }

    std::deque<bool> answers;
    std::vector<std::string> asked;
    std::vector<std::string> shown;
    int reloads = 0;
};

// The Update window's controls.
struct RecordingView : UpdateWindowView {
    void SetStatusText(const std::string& text) override { statuses.push_back(text); }
    void SetButtonCaption(const std::string& caption) override { captions.push_back(caption); }
    void Close() override { ++closes; }
    std::vector<std::string> statuses;
    std::vector<std::string> captions;
    int closes = 0;
};

const std::string kProgramQuestion35 =
    "Tolvane Update: Tolvane v3.5 has been released.\nDo you want to download this latest "
    "version?";
const std::string kDatabaseQuestion16 =
    "Tolvane Database Update: Tolvane definition database v16 is available.\nDo you want to "
    "download this update?";

class UpdateFlowTest : public UpdateTest {
  protected:
    void SetUp() override {
        UpdateTest::SetUp();
        client_.SetVersions(3.45, "15");
        prefix_.WriteFile("C:\\Program Files\\Tolvane\\database.db", Database("15"));
    }
    void TearDown() override {
        Settle();
        UpdateTest::TearDown();
    }

    // The main window's receiver.
    struct MainWindow : UpdateNotifyHandler {
        explicit MainWindow(UpdateClient& client) : client(client) {}
        void HandleUpdateNotify(const UpdateNotifyMessage& message) override {
            codes.push_back(message.code);
            client.HandleUpdateNotify(message);
        }
        UpdateClient& client;
        std::vector<int> codes;
    };

    // An open Update window with its sink.
    struct Window : UpdateNotifyHandler {
        Window(UpdateClient& client, UpdateEventLoop& loop)
            : sink(loop, *this), model(client, view) {}
        void HandleUpdateNotify(const UpdateNotifyMessage& message) override {
            codes.push_back(message.code);
            model.HandleUpdateNotify(message);
        }
        RecordingView view;
        // The sink outlives the model, which stops it receiving when it goes.
        PostingUpdateSink sink;
        UpdateWindow model;
        std::vector<int> codes;
    };

    void NoUpdates() {
        Offer("/tolvane/updatecore.txt", "3.45", "/p.tar.gz", "package");
        Offer("/tolvane/update.txt", "15", "/d.db", Database("15"));
    }
    void SlowProgramDescription(const std::string& version) {
        TestHttpServer::Response slow;
        slow.body = Description(version, "/p.tar.gz", "package", kProgramProduct);
        slow.chunkSize = 8;
        slow.chunkDelay = std::chrono::milliseconds(25);
        SetDescription("/tolvane/updatecore.txt", slow);
    }

    ScriptedHost host_;
    UpdateClient client_{service(), host_};
    MainWindow main_{client_};
    PostingUpdateSink mainSink_{loop_, main_};
};

TEST(FillVersion, FillsTheQuestionsWithTheShownVersion) {
    EXPECT_EQ(FillVersion(update_texts::kProgramQuestion, 4.0),
              "Tolvane v4 has been released.\nDo you want to download this latest version?");
    EXPECT_EQ(FillVersion(update_texts::kProgramQuestion, 3.5),
              "Tolvane v3.5 has been released.\nDo you want to download this latest version?");
    EXPECT_EQ(FillVersion(update_texts::kDatabaseQuestion, 16.05),
              "Tolvane definition database v16 is available.\nDo you want to download this "
              "update?");
}

TEST_F(UpdateFlowTest, StartUpWithNoUpdateShowsNothing) {
    NoUpdates();
    client_.StartUpCheck(&mainSink_);
    ASSERT_TRUE(RunUntil([&] { return main_.codes.size() == 2; }));
    Settle();
    EXPECT_EQ(main_.codes, (std::vector<int>{3, 3}));
    EXPECT_EQ(client_.phase(), UpdatePhase::Database);
    EXPECT_TRUE(host_.asked.empty());
    EXPECT_TRUE(host_.shown.empty());
    EXPECT_EQ(server_.Requests(),
              (std::vector<std::string>{"/tolvane/updatecore.txt", "/tolvane/updatecore.txt.sig",
                                        "/tolvane/update.txt", "/tolvane/update.txt.sig"}));
}

TEST_F(UpdateFlowTest, StartUpSaysNothingWhenTheServerIsDown) {
    SetServer("http://127.0.0.1:" + std::to_string(TestHttpServer::ClosedPort()));
    client_.StartUpCheck(&mainSink_);
    ASSERT_TRUE(RunUntil([&] { return !main_.codes.empty(); }));
    Settle();
    EXPECT_EQ(main_.codes, std::vector<int>{1});
    EXPECT_EQ(client_.phase(), UpdatePhase::Program);
    EXPECT_TRUE(host_.shown.empty());
}

TEST_F(UpdateFlowTest, StartUpDeclinedProgramIsFollowedByTheDatabaseQuestion) {
    Offer("/tolvane/updatecore.txt", "3.5", "/p.tar.gz", "package");
    Offer("/tolvane/update.txt", "16", "/d.db", Database("16"));
    host_.answers = {false, false};
    client_.StartUpCheck(&mainSink_);
    ASSERT_TRUE(RunUntil([&] { return main_.codes.size() == 2; }));
    Settle();
    EXPECT_EQ(main_.codes, (std::vector<int>{2, 2}));
    EXPECT_EQ(host_.asked, (std::vector<std::string>{kProgramQuestion35, kDatabaseQuestion16}));
    EXPECT_TRUE(host_.shown.empty());
    EXPECT_EQ(server_.Requests().size(), 4u);  // descriptions and signatures, nothing downloaded
}

TEST_F(UpdateFlowTest, StartUpDeclinedProgramAndNoNewDatabaseAsksOnce) {
    Offer("/tolvane/updatecore.txt", "3.5", "/p.tar.gz", "package");
    Offer("/tolvane/update.txt", "15", "/d.db", Database("15"));
    host_.answers = {false};
    client_.StartUpCheck(&mainSink_);
    ASSERT_TRUE(RunUntil([&] { return main_.codes.size() == 2; }));
    Settle();
    EXPECT_EQ(main_.codes, (std::vector<int>{2, 3}));
    EXPECT_EQ(host_.asked, std::vector<std::string>{kProgramQuestion35});
}

TEST_F(UpdateFlowTest, StartUpInstallsAcceptedDefinitions) {
    Offer("/tolvane/updatecore.txt", "3.45", "/p.tar.gz", "package");
    Offer("/tolvane/update.txt", "16", "/tolvane/files/database.db", Database("16"));
    host_.answers = {true};
    client_.StartUpCheck(&mainSink_);
    ASSERT_TRUE(RunUntil([&] { return main_.codes.size() == 3; }));
    Settle();
    EXPECT_EQ(main_.codes, (std::vector<int>{3, 2, 4}));
    EXPECT_EQ(host_.asked, std::vector<std::string>{kDatabaseQuestion16});
    EXPECT_EQ(host_.shown,
              (std::vector<std::string>{
                  "Tolvane: Download complete",
                  "Tolvane Database Update: The definitions database has been updated to "
                  "version 16.\nThe previous database was kept as database.bak."}));
    EXPECT_EQ(host_.reloads, 1);
    EXPECT_EQ(ReadHost(AppFile("database.db")), Database("16"));
    EXPECT_EQ(ReadHost(AppFile("database.bak")), Database("15"));
    EXPECT_DOUBLE_EQ(client_.databaseProduct().installedVersion, 16);
}

TEST_F(UpdateFlowTest, StartUpKeepsAnAcceptedProgramPackage) {
    Offer("/tolvane/updatecore.txt", "3.5", "/tolvane/files/tolvane-3.5.tar.gz", "package");
    host_.answers = {true};
    client_.StartUpCheck(&mainSink_);
    ASSERT_TRUE(loop_.RunUntilUpdatesIdle(service(), std::chrono::seconds(15)));
    EXPECT_EQ(main_.codes, (std::vector<int>{2, 4}));
    ASSERT_EQ(host_.shown.size(), 2u);
    EXPECT_EQ(host_.shown[0], "Tolvane: Download complete");
    EXPECT_EQ(host_.shown[1].rfind("Tolvane Update: Tolvane v3.5 has been downloaded and "
                                   "verified:\n" +
                                       AppFile("Updates/tolvane-3.5.tar.gz"),
                                   0),
              0u);
    EXPECT_EQ(host_.reloads, 0);
    EXPECT_EQ(ReadHost(AppFile("Updates/tolvane-3.5.tar.gz")), "package");
    EXPECT_EQ(ReadHost(AppFile("database.db")), Database("15"));
}

TEST_F(UpdateFlowTest, StartUpReportsAFailedDownload) {
    Offer("/tolvane/updatecore.txt", "3.5", "/p.tar.gz", "package");
    server_.Set("/p.tar.gz", "packagf");  // same size, other hash
    host_.answers = {true};
    client_.StartUpCheck(&mainSink_);
    ASSERT_TRUE(RunUntil([&] { return main_.codes.size() == 2; }));
    Settle();
    EXPECT_EQ(main_.codes, (std::vector<int>{2, 5}));
    EXPECT_EQ(host_.shown, std::vector<std::string>{"Tolvane: Download Failed"});
    EXPECT_TRUE(UpdatesFolder().empty());
}

TEST_F(UpdateFlowTest, WindowWithNoUpdates) {
    NoUpdates();
    Window window(client_, loop_);
    window.model.Open(&window.sink);
    // As a headless window runs: until the flow rests, with both queries done.
    ASSERT_TRUE(loop_.RunUntilUpdatesIdle(service(), std::chrono::seconds(15)));
    EXPECT_EQ(window.codes, (std::vector<int>{3, 3}));
    EXPECT_EQ(window.view.statuses, (std::vector<std::string>{"Checking for new updates..",
                                                              "Checking for database updates..",
                                                              "No updates available.."}));
    EXPECT_EQ(window.model.buttonCaption(), "Ok");
    EXPECT_TRUE(host_.asked.empty());
    window.model.PressButton();
    EXPECT_EQ(window.view.closes, 1);
}

TEST_F(UpdateFlowTest, WindowCannotConnect) {
    SetServer("http://127.0.0.1:" + std::to_string(TestHttpServer::ClosedPort()));
    Window window(client_, loop_);
    window.model.Open(&window.sink);
    ASSERT_TRUE(RunUntil([&] { return !window.codes.empty(); }));
    EXPECT_EQ(window.model.statusText(), "Unable to connect to the server");
    EXPECT_EQ(window.model.buttonCaption(), "Ok");
    EXPECT_EQ(window.model.phase(), UpdatePhase::Program);
    window.model.PressButton();
    EXPECT_TRUE(window.model.closed());
}

TEST_F(UpdateFlowTest, WindowDecliningBothCloses) {
    Offer("/tolvane/updatecore.txt", "3.5", "/p.tar.gz", "package");
    Offer("/tolvane/update.txt", "16", "/d.db", Database("16"));
    host_.answers = {false, false};
    Window window(client_, loop_);
    window.model.Open(&window.sink);
    ASSERT_TRUE(RunUntil([&] { return window.codes.size() == 2; }));
    EXPECT_EQ(window.view.statuses, (std::vector<std::string>{"Checking for new updates..",
                                                              "Checking for database updates.."}));
    EXPECT_EQ(host_.asked, (std::vector<std::string>{kProgramQuestion35, kDatabaseQuestion16}));
    EXPECT_EQ(window.view.closes, 1);
    EXPECT_TRUE(window.model.closed());
}

TEST_F(UpdateFlowTest, WindowInstallsANewDatabase) {
    NoUpdates();
    Offer("/tolvane/update.txt", "16", "/tolvane/files/database.db", Database("16"));
    host_.answers = {true};
    Window window(client_, loop_);
    window.model.Open(&window.sink);
    ASSERT_TRUE(RunUntil([&] { return window.codes.size() == 3; }));
    EXPECT_EQ(window.codes, (std::vector<int>{3, 2, 4}));
    EXPECT_EQ(
        window.view.statuses,
        (std::vector<std::string>{"Checking for new updates..", "Checking for database updates..",
                                  "Downloading new database update.", "Download Complete."}));
    EXPECT_EQ(host_.reloads, 1);
    EXPECT_EQ(ReadHost(AppFile("database.db")), Database("16"));
    EXPECT_EQ(ReadHost(AppFile("database.bak")), Database("15"));
}

TEST_F(UpdateFlowTest, WindowDownloadFailuresLeaveTheDatabase) {
    const std::string file = "/tolvane/files/database.db";
    const std::string content = Database("16");
    TestHttpServer::Response cut;
    cut.body = content.substr(0, 10);
    cut.declaredLength = content.size();
    TestHttpServer::Response missing;
    missing.status = 404;
    TestHttpServer::Response wrong;
    wrong.body = std::string(content.size(), 'w');
    for (const auto& served : {wrong, cut, missing}) {
        NoUpdates();
        SetDescription("/tolvane/update.txt", Description("16", file, content));
        server_.Set(file, served);
        host_.answers = {true};
        Window window(client_, loop_);
        window.model.Open(&window.sink);
        ASSERT_TRUE(RunUntil([&] { return window.codes.size() == 3; }));
        EXPECT_EQ(window.codes, (std::vector<int>{3, 2, 5}));
        EXPECT_EQ(window.model.statusText(), "Download Failed");
        EXPECT_EQ(window.model.buttonCaption(), "Ok");
        EXPECT_EQ(ReadHost(AppFile("database.db")), Database("15"));
        EXPECT_TRUE(UpdatesFolder().empty());
        EXPECT_EQ(host_.reloads, 0);
    }
}

TEST_F(UpdateFlowTest, WindowProgramDownloadIsKeptAndExplained) {
    Offer("/tolvane/updatecore.txt", "3.5", "/tolvane/files/tolvane-3.5.tar.gz", "package");
    host_.answers = {true};
    Window window(client_, loop_);
    window.model.Open(&window.sink);
    ASSERT_TRUE(RunUntil([&] { return window.codes.size() == 2; }));
    EXPECT_EQ(window.view.statuses,
              (std::vector<std::string>{"Checking for new updates..",
                                        "Downloading new engine update.", "Download Complete."}));
    ASSERT_EQ(host_.shown.size(), 1u);
    EXPECT_EQ(host_.shown[0].rfind("Tolvane Update: Tolvane v3.5 has been downloaded", 0), 0u);
    EXPECT_EQ(UpdatesFolder(), std::vector<std::string>{"tolvane-3.5.tar.gz"});
}

TEST_F(UpdateFlowTest, CancelDuringASlowDownloadAbortsBoth) {
    NoUpdates();
    std::string content(300000, 'd');
    SetDescription("/tolvane/update.txt", Description("16", "/slow.db", content));
    TestHttpServer::Response slow;
    slow.body = content;
    slow.chunkSize = 1000;
    slow.chunkDelay = std::chrono::milliseconds(20);
    server_.Set("/slow.db", slow);
    host_.answers = {true};
    Window window(client_, loop_);
    window.model.Open(&window.sink);
    ASSERT_TRUE(RunUntil([&] { return !UpdatesFolder().empty(); }));
    EXPECT_EQ(window.model.statusText(), "Downloading new database update.");
    EXPECT_EQ(window.model.buttonCaption(), "Cancel");
    window.model.PressButton();
    EXPECT_EQ(window.view.closes, 1);
    Settle();
    EXPECT_EQ(window.codes, (std::vector<int>{3, 2}));  // no 4 or 5 after Cancel
    EXPECT_TRUE(UpdatesFolder().empty());
    EXPECT_EQ(ReadHost(AppFile("database.db")), Database("15"));
}

TEST_F(UpdateFlowTest, OpeningTheWindowTakesThePendingStartUpQueryOver) {
    SlowProgramDescription("3.45");
    Offer("/tolvane/update.txt", "15", "/d.db", Database("15"));
    client_.StartUpCheck(&mainSink_);
    ASSERT_TRUE(RunUntil([&] { return !server_.Requests().empty(); }));
    Window window(client_, loop_);
    window.model.Open(&window.sink);
    ASSERT_TRUE(RunUntil([&] { return window.codes.size() == 2; }));
    Settle();
    EXPECT_TRUE(main_.codes.empty());
    EXPECT_EQ(window.codes, (std::vector<int>{3, 3}));
    EXPECT_EQ(window.model.statusText(), "No updates available..");
}

// The start-up check's database answer is already queued when the user
// opens the Update window: only the window asks, and the download the user
// accepts there is not restarted by the start-up check.
TEST_F(UpdateFlowTest, AStartUpAnswerQueuedAsTheWindowOpensNeitherAsksNorRestarts) {
    Offer("/tolvane/updatecore.txt", "3.45", "/p.tar.gz", "package");
    Offer("/tolvane/update.txt", "16", "/tolvane/files/database.db", Database("16"));
    client_.StartUpCheck(&mainSink_);
    ASSERT_TRUE(RunUntil([&] { return main_.codes.size() == 1; }));
    service().WaitIdle();  // its database answer waits in the loop, unhandled
    host_.answers = {true};
    Window window(client_, loop_);
    window.model.Open(&window.sink);
    ASSERT_TRUE(RunUntil([&] { return window.codes.size() == 3; }));
    Settle();
    EXPECT_EQ(window.codes, (std::vector<int>{3, 2, 4}));
    EXPECT_EQ(host_.asked, std::vector<std::string>{kDatabaseQuestion16});
    EXPECT_EQ(window.model.statusText(), "Download Complete.");
    EXPECT_EQ(ReadHost(AppFile("database.db")), Database("16"));
}

TEST_F(UpdateFlowTest, AClosedWindowIsNotCalledAgain) {
    SlowProgramDescription("3.45");
    {
        Window window(client_, loop_);
        window.model.Open(&window.sink);
    }          // closed with the close box while the query is pending
    Settle();  // would crash or record if the window were still called
    EXPECT_TRUE(main_.codes.empty());
}

// Every code of the window's table in both phases, fed directly.
TEST_F(UpdateFlowTest, WindowTextsForEveryCode) {
    SetServer("http://127.0.0.1:" + std::to_string(TestHttpServer::ClosedPort()));
    struct Row {
        bool databasePhase;
        int code;
        bool answer;
        std::string status;
        std::string button;
        bool closed;
    };
    const Row rows[] = {
        {false, 1, false, "Unable to connect to the server", "Ok", false},
        {true, 1, false, "Unable to connect to the server", "Ok", false},
        {false, 2, true, "Downloading new engine update.", "Cancel", false},
        {false, 2, false, "Checking for database updates..", "Cancel", false},
        {true, 2, true, "Downloading new database update.", "Cancel", false},
        {true, 2, false, "Checking for database updates..", "Cancel", true},
        {false, 3, false, "Checking for database updates..", "Cancel", false},
        {true, 3, false, "No updates available..", "Ok", false},
        {false, 4, false, "Download Complete.", "Cancel", false},
        {true, 4, false, "Download Complete.", "Cancel", false},
        {false, 5, false, "Download Failed", "Ok", false},
        {true, 5, false, "Download Failed", "Ok", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("code " + std::to_string(row.code) + (row.databasePhase ? " db" : " prog"));
        Window window(client_, loop_);
        window.model.Open(&window.sink);
        if (row.databasePhase) {
            window.model.HandleUpdateNotify({kUpdateNoNewerVersion, &client_.programRequest(), 0});
            ASSERT_EQ(window.model.phase(), UpdatePhase::Database);
        }
        if (row.code == 2) host_.answers = {row.answer};
        window.model.HandleUpdateNotify(
            {static_cast<UpdateNotifyCode>(row.code), &client_.programRequest(), 16});
        EXPECT_EQ(window.model.statusText(), row.status);
        EXPECT_EQ(window.model.buttonCaption(), row.button);
        EXPECT_EQ(window.model.closed(), row.closed);
        window.model.PressButton();  // leaves nothing pending behind
    }
    // Code 4 with nothing downloaded says so instead of installing anything.
    EXPECT_EQ(host_.shown.back(), "Tolvane: There is no downloaded update to install.");
}

// The main window's table, fed directly.
TEST_F(UpdateFlowTest, MainWindowPhases) {
    SetServer("http://127.0.0.1:" + std::to_string(TestHttpServer::ClosedPort()));
    client_.HandleUpdateNotify({kUpdateNoNewerVersion, &client_.programRequest(), 0});
    EXPECT_EQ(client_.phase(), UpdatePhase::Database);
    client_.HandleUpdateNotify({kUpdateNoNewerVersion, &client_.databaseRequest(), 0});
    EXPECT_EQ(client_.phase(), UpdatePhase::Database);
    client_.HandleUpdateNotify({kUpdateServerUnreachable, &client_.databaseRequest(), 0});
    EXPECT_EQ(client_.phase(), UpdatePhase::Program);
    host_.answers = {false};
    client_.HandleUpdateNotify({kUpdateNewerVersion, &client_.programRequest(), 4.0});
    EXPECT_EQ(client_.phase(), UpdatePhase::Database);
    EXPECT_EQ(host_.asked.back(),
              "Tolvane Update: Tolvane v4 has been released.\nDo you want to download this "
              "latest version?");
    client_.HandleUpdateNotify({kUpdateDownloadFailed, &client_.databaseRequest(), 0});
    EXPECT_EQ(host_.shown.back(), "Tolvane: Download Failed");
    EXPECT_TRUE(host_.answers.empty());
}

}  // namespace
}  // namespace tolvane::testing
