#include "update/update_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "update/update_http.h"
#include "update/update_test_fixture.h"

namespace tolvane::testing {
namespace {

// Remembers the thread the library posts from, and forwards.
struct ThreadNotingSink : UpdateNotifySink {
    explicit ThreadNotingSink(UpdateNotifySink& next) : next(next) {}
    void PostUpdateNotify(const UpdateNotifyMessage& message) override {
        postThread = std::this_thread::get_id();
        next.PostUpdateNotify(message);
    }
    UpdateNotifySink& next;
    std::atomic<std::thread::id> postThread;
};

class UpdateServiceTest : public UpdateTest {
  protected:
    UpdateServiceTest() {
        database_.descriptionPath = "/tolvane/update.txt";
        database_.displayName = "Tolvane Database";
        database_.settingsKey = "SOFTWARE\\Tolvane";
        database_.install = UpdateInstallKind::DefinitionsDatabase;
        database_.installedVersion = 15;
        program_.descriptionPath = "/tolvane/updatecore.txt";
        program_.displayName = "Tolvane";
        program_.settingsKey = "SOFTWARE\\Tolvane";
        program_.install = UpdateInstallKind::ProgramPackage;
        program_.installedVersion = 3.45;
    }

    void Start(UpdateProduct& product, UpdateRequest& request, UpdateNotifySink* receiver) {
        service().AuSetup(&product);
        service().AuInitialize(&request);
        request.receiver = receiver;
        request.postNotifications = 1;
        service().AuQueryServerAsync(&request);
    }

    // Queries, then waits for the one answer.
    int Query(UpdateProduct& product) {
        size_t before = handler_.messages.size();
        Start(product, request_, &sink_);
        EXPECT_TRUE(RunUntil([&] { return handler_.messages.size() > before; }));
        return handler_.messages.empty() ? 0 : handler_.messages.back().code;
    }
    int Download() {
        size_t before = handler_.messages.size();
        service().AuDownloadUpdateAsync(&request_);
        EXPECT_TRUE(RunUntil([&] { return handler_.messages.size() > before; }));
        return handler_.messages.empty() ? 0 : handler_.messages.back().code;
    }

    UpdateProduct program_;
    UpdateProduct database_;
    UpdateRequest request_;
    RecordingHandler handler_;
    PostingUpdateSink sink_{loop_, handler_};
};

TEST_F(UpdateServiceTest, OffersOnlyANumberAboveTheInstalledOne) {
    const std::string file = "/tolvane/files/tolvane.tar.gz";
    Offer("/tolvane/updatecore.txt", "3.46", file, "package");
    EXPECT_EQ(Query(program_), kUpdateNewerVersion);
    EXPECT_DOUBLE_EQ(handler_.messages.back().offeredVersion, 3.46);
    EXPECT_DOUBLE_EQ(request_.offeredVersion(), 3.46);
    EXPECT_EQ(handler_.messages.back().record, &request_);

    Offer("/tolvane/updatecore.txt", "3.45", file, "package");
    EXPECT_EQ(Query(program_), kUpdateNoNewerVersion);
    Offer("/tolvane/updatecore.txt", "3.4", file, "package");
    EXPECT_EQ(Query(program_), kUpdateNoNewerVersion);
    // 16 is above 15 even though "16" sorts below "9" as text.
    Offer("/tolvane/update.txt", "16", "/db.db", "x");
    database_.installedVersion = 9;
    EXPECT_EQ(Query(database_), kUpdateNewerVersion);
    EXPECT_EQ(server_.Requests().back(), "/tolvane/update.txt.sig");
    Settle();
    EXPECT_EQ(handler_.messages.size(), 4u);  // one answer per query, nothing more
}

TEST_F(UpdateServiceTest, PostsFromItsOwnThreadAndDeliversOnTheLoop) {
    Offer("/tolvane/updatecore.txt", "4", "/p.tar.gz", "package");
    ThreadNotingSink noting(sink_);
    Start(program_, request_, &noting);
    ASSERT_TRUE(RunUntil([&] { return !handler_.messages.empty(); }));
    EXPECT_NE(noting.postThread.load(), std::this_thread::get_id());
    EXPECT_NE(noting.postThread.load(), std::thread::id());
    for (auto id : handler_.threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(UpdateServiceTest, AnUnreachableServerIsCodeOne) {
    SetServer("http://127.0.0.1:" + std::to_string(TestHttpServer::ClosedPort()));
    EXPECT_EQ(Query(program_), kUpdateServerUnreachable);
    EXPECT_TRUE(LogHas("update: Tolvane: http://127.0.0.1:"));

    SetServer("ftp://127.0.0.1/");
    EXPECT_EQ(Query(program_), kUpdateServerUnreachable);
    EXPECT_TRUE(LogHas("is no http:// or https:// address"));

    // A server without the description answers 404: the service is not there.
    SetServer(server_.BaseUrl() + "/");
    EXPECT_EQ(Query(program_), kUpdateServerUnreachable);
    EXPECT_TRUE(LogHas("HTTP 404"));
    EXPECT_EQ(server_.Requests().back(), "/tolvane/updatecore.txt");
}

// The machine being cleaned names its own server: it is never asked, the
// host's server is, and the log says the machine's value was ignored.
TEST_F(UpdateServiceTest, AMachinesUpdateServerIsNeverAsked) {
    TestHttpServer planted;
    SetMachineServer(planted.BaseUrl());
    EXPECT_EQ(Query(program_), kUpdateServerUnreachable);
    EXPECT_TRUE(planted.Requests().empty());
    ASSERT_FALSE(server_.Requests().empty());
    EXPECT_EQ(server_.Requests().back(), "/tolvane/updatecore.txt");
    EXPECT_TRUE(
        LogHas("the machine's UpdateServer setting \"" + planted.BaseUrl() + "\" is ignored"));
}

TEST_F(UpdateServiceTest, ACorruptDescriptionIsNoUpdateWithALogLine) {
    SetDescription("/tolvane/updatecore.txt", "tolvane-update 1\nversion: 9\nsize: 12\n");
    EXPECT_EQ(Query(program_), kUpdateNoNewerVersion);
    EXPECT_TRUE(
        LogHas("/tolvane/updatecore.txt: not a valid update description (file is "
               "missing); treated as no update"));

    SetDescription("/tolvane/updatecore.txt", std::string(1 << 20, 'v'));
    EXPECT_EQ(Query(program_), kUpdateNoNewerVersion);
    EXPECT_TRUE(LogHas("larger than 64 KiB"));

    // A declared length the body never reaches.
    TestHttpServer::Response cut;
    cut.body = Description("9", "/p.tar.gz", "package", kProgramProduct).substr(0, 40);
    cut.declaredLength = 500;
    SetDescription("/tolvane/updatecore.txt", cut);
    int code = Query(program_);
    EXPECT_TRUE(code == kUpdateServerUnreachable || code == kUpdateNoNewerVersion) << code;
    // Nothing offered, so nothing can be downloaded.
    EXPECT_EQ(Download(), kUpdateDownloadFailed);
}

TEST_F(UpdateServiceTest, ADownloadIsKeptOnlyWhenSizeAndHashMatch) {
    machine_->files().CreateDirectory("C:\\Program Files\\Tolvane");
    prefix_.WriteFile("C:\\Program Files\\Tolvane\\database.db", Database("15"));
    const std::string content = Database("16");
    const std::string file = "/tolvane/files/database.db";

    // Wrong hash.
    std::string wrongHash = Description("16", file, content);
    wrongHash.replace(wrongHash.find(Sha256Hex(content)), 64, Sha256Hex("other"));
    SetDescription("/tolvane/update.txt", wrongHash);
    server_.Set(file, content);
    ASSERT_EQ(Query(database_), kUpdateNewerVersion);
    EXPECT_EQ(Download(), kUpdateDownloadFailed);
    EXPECT_TRUE(LogHas("SHA-256 is not the one announced"));
    EXPECT_TRUE(UpdatesFolder().empty());

    // Larger than announced: stopped as soon as it is.
    SetDescription("/tolvane/update.txt", Description("16", file, content.substr(1)));
    ASSERT_EQ(Query(database_), kUpdateNewerVersion);
    EXPECT_EQ(Download(), kUpdateDownloadFailed);
    EXPECT_TRUE(LogHas("larger than the"));
    EXPECT_TRUE(UpdatesFolder().empty());

    // Cut short by the server.
    SetDescription("/tolvane/update.txt", Description("16", file, content));
    TestHttpServer::Response cut;
    cut.body = content.substr(0, content.size() / 2);
    cut.declaredLength = content.size();
    server_.Set(file, cut);
    ASSERT_EQ(Query(database_), kUpdateNewerVersion);
    EXPECT_EQ(Download(), kUpdateDownloadFailed);
    EXPECT_TRUE(UpdatesFolder().empty());

    // Shorter than announced, though the server says it is complete.
    server_.Set(file, content.substr(0, content.size() - 1));
    ASSERT_EQ(Query(database_), kUpdateNewerVersion);
    EXPECT_EQ(Download(), kUpdateDownloadFailed);
    EXPECT_TRUE(UpdatesFolder().empty());

    // Missing on the server: the error page is not taken for the file.
    TestHttpServer::Response missing;
    missing.status = 404;
    missing.body = content;
    server_.Set(file, missing);
    ASSERT_EQ(Query(database_), kUpdateNewerVersion);
    EXPECT_EQ(Download(), kUpdateDownloadFailed);
    EXPECT_TRUE(LogHas("HTTP 404"));
    EXPECT_TRUE(UpdatesFolder().empty());

    EXPECT_EQ(ReadHost(AppFile("database.db")), Database("15"));
    EXPECT_FALSE(std::filesystem::exists(AppFile("database.bak")));

    // And the right file.
    server_.Set(file, content);
    ASSERT_EQ(Query(database_), kUpdateNewerVersion);
    EXPECT_EQ(Download(), kUpdateDownloadComplete);
    EXPECT_EQ(UpdatesFolder(), std::vector<std::string>{"database.db"});
    EXPECT_EQ(ReadHost(AppFile("Updates/database.db")), content);
    EXPECT_DOUBLE_EQ(handler_.messages.back().offeredVersion, 16);
}

TEST_F(UpdateServiceTest, InstallingDefinitionsKeepsTheOldOnesAsBackup) {
    prefix_.WriteFile("C:\\Program Files\\Tolvane\\database.db", Database("15"));
    const std::string content = Database("16");
    Offer("/tolvane/update.txt", "16", "/tolvane/files/database.db", content);
    ASSERT_EQ(Query(database_), kUpdateNewerVersion);
    ASSERT_EQ(Download(), kUpdateDownloadComplete);

    UpdateInstallResult result = service().AuRunAutoUpdate(handler_.messages.back().record);
    EXPECT_EQ(result.outcome, UpdateInstallOutcome::DefinitionsInstalled);
    EXPECT_DOUBLE_EQ(result.installedVersion, 16);
    EXPECT_DOUBLE_EQ(database_.installedVersion, 16);
    EXPECT_EQ(result.message,
              "The definitions database has been updated to version 16.\n"
              "The previous database was kept as database.bak.");
    EXPECT_EQ(ReadHost(AppFile("database.db")), content);
    EXPECT_EQ(ReadHost(AppFile("database.bak")), Database("15"));
    // Its signed description stays beside it: what later runs check it by.
    const std::string description = Description("16", "/tolvane/files/database.db", content);
    EXPECT_EQ(ReadHost(AppFile("database.db.update")), description);
    EXPECT_EQ(ReadHost(AppFile("database.db.update.sig")), SignatureFile(description));
    EXPECT_TRUE(UpdatesFolder().empty());

    // The next check sees the new version: 16 is no longer newer.
    EXPECT_EQ(Query(database_), kUpdateNoNewerVersion);
    // Installing twice has nothing to install.
    EXPECT_EQ(service().AuRunAutoUpdate(&request_).outcome, UpdateInstallOutcome::Failed);
    EXPECT_EQ(ReadHost(AppFile("database.db")), content);
}

TEST_F(UpdateServiceTest, DefinitionsThatDoNotLoadChangeNothing) {
    prefix_.WriteFile("C:\\Program Files\\Tolvane\\database.db", Database("15"));
    for (const std::string& broken :
         {std::string("not a container at all"), Database("16").substr(0, 30)}) {
        Offer("/tolvane/update.txt", "16", "/tolvane/files/database.db", broken);
        ASSERT_EQ(Query(database_), kUpdateNewerVersion);
        ASSERT_EQ(Download(), kUpdateDownloadComplete);
        UpdateInstallResult result = service().AuRunAutoUpdate(&request_);
        EXPECT_EQ(result.outcome, UpdateInstallOutcome::NotLoadable);
        EXPECT_EQ(result.message,
                  "The downloaded definitions database could not be loaded.\n"
                  "database.db has not been changed.");
        EXPECT_EQ(ReadHost(AppFile("database.db")), Database("15"));
        EXPECT_FALSE(std::filesystem::exists(AppFile("database.bak")));
        EXPECT_TRUE(UpdatesFolder().empty());
        EXPECT_DOUBLE_EQ(database_.installedVersion, 15);
    }
}

TEST_F(UpdateServiceTest, ADownloadChangedAfterVerificationIsNotInstalled) {
    prefix_.WriteFile("C:\\Program Files\\Tolvane\\database.db", Database("15"));
    Offer("/tolvane/update.txt", "16", "/tolvane/files/database.db", Database("16"));
    ASSERT_EQ(Query(database_), kUpdateNewerVersion);
    ASSERT_EQ(Download(), kUpdateDownloadComplete);
    prefix_.WriteFile("C:\\Program Files\\Tolvane\\Updates\\database.db", Database("99"));
    EXPECT_EQ(service().AuRunAutoUpdate(&request_).outcome, UpdateInstallOutcome::Failed);
    EXPECT_EQ(ReadHost(AppFile("database.db")), Database("15"));
    EXPECT_TRUE(UpdatesFolder().empty());
}

TEST_F(UpdateServiceTest, AProgramPackageIsKeptForTheUser) {
    const std::string package(5000, 'p');
    Offer("/tolvane/updatecore.txt", "3.5", "/tolvane/files/tolvane-3.5.tar.gz", package);
    ASSERT_EQ(Query(program_), kUpdateNewerVersion);
    ASSERT_EQ(Download(), kUpdateDownloadComplete);
    UpdateInstallResult result = service().AuRunAutoUpdate(&request_);
    EXPECT_EQ(result.outcome, UpdateInstallOutcome::ProgramPackageKept);
    EXPECT_EQ(result.packagePath, "C:\\Program Files\\Tolvane\\Updates\\tolvane-3.5.tar.gz");
    EXPECT_EQ(result.packageHostPath, AppFile("Updates/tolvane-3.5.tar.gz"));
    EXPECT_EQ(result.message, "Tolvane v3.5 has been downloaded and verified:\n" +
                                  AppFile("Updates/tolvane-3.5.tar.gz") +
                                  "\n\nThe running program is not replaced. Close Tolvane and "
                                  "install the new version from this file.");
    EXPECT_EQ(ReadHost(result.packageHostPath), package);
    EXPECT_DOUBLE_EQ(program_.installedVersion, 3.45);  // not installed yet
}

TEST_F(UpdateServiceTest, AbortMidDownloadPostsNothingAndLeavesNoFile) {
    prefix_.WriteFile("C:\\Program Files\\Tolvane\\database.db", Database("15"));
    std::string content(200000, 'd');
    SetDescription("/tolvane/update.txt", Description("16", "/slow.db", content));
    TestHttpServer::Response slow;
    slow.body = content;
    slow.chunkSize = 1000;
    slow.chunkDelay = std::chrono::milliseconds(20);
    server_.Set("/slow.db", slow);
    ASSERT_EQ(Query(database_), kUpdateNewerVersion);
    size_t before = handler_.messages.size();
    service().AuDownloadUpdateAsync(&request_);
    // Wait until part of the file is on disk.
    ASSERT_TRUE(RunUntil([&] {
        auto names = UpdatesFolder();
        return names.size() == 1 && std::filesystem::file_size(AppFile("Updates/" + names[0])) > 0;
    }));
    EXPECT_NE(UpdatesFolder()[0].find(".part"), std::string::npos);
    service().AuAbort(&request_);
    Settle();
    EXPECT_EQ(handler_.messages.size(), before);
    EXPECT_TRUE(UpdatesFolder().empty());
    EXPECT_LT(server_.BytesSent(), content.size());
    EXPECT_EQ(ReadHost(AppFile("database.db")), Database("15"));
}

TEST_F(UpdateServiceTest, ReinitialisingARequestTakesItsNotificationsOver) {
    TestHttpServer::Response slow;
    slow.body = Description("4", "/p.tar.gz", "package", kProgramProduct);
    slow.chunkSize = 10;
    slow.chunkDelay = std::chrono::milliseconds(30);
    SetDescription("/tolvane/updatecore.txt", slow);
    RecordingHandler first;
    PostingUpdateSink firstSink(loop_, first);
    Start(program_, request_, &firstSink);
    ASSERT_TRUE(RunUntil([&] { return !server_.Requests().empty(); }));
    Start(program_, request_, &sink_);
    ASSERT_TRUE(RunUntil([&] { return !handler_.messages.empty(); }));
    Settle();
    EXPECT_TRUE(first.messages.empty());
    EXPECT_EQ(handler_.Codes(), std::vector<int>{kUpdateNewerVersion});
}

TEST_F(UpdateServiceTest, AForgottenReceiverGetsNothing) {
    TestHttpServer::Response slow;
    slow.body = Description("4", "/p.tar.gz", "package", kProgramProduct);
    slow.chunkSize = 20;
    slow.chunkDelay = std::chrono::milliseconds(20);
    SetDescription("/tolvane/updatecore.txt", slow);
    RecordingHandler gone;
    {
        PostingUpdateSink goneSink(loop_, gone);
        Start(program_, request_, &goneSink);
    }  // the window closed while its query was pending
    Settle();
    EXPECT_TRUE(gone.messages.empty());
    // Without the notification flag nothing is posted either.
    service().AuSetup(&program_);
    service().AuInitialize(&request_);
    request_.receiver = &sink_;
    service().AuQueryServerAsync(&request_);
    Settle();
    EXPECT_TRUE(handler_.messages.empty());
}

// Only a description signed by a trusted key over its exact bytes, for
// definitions of no earlier date, fetched from the server itself, installs.
// Every forgery and replay leaves database.db byte for byte as it was.
TEST_F(UpdateServiceTest, OnlySignedCurrentDefinitionsAreInstalled) {
    const std::string before = Database("15");
    const std::string offered = Database("16");
    const TestSigningKey stranger = MakeTestSigningKey();
    auto describe = [&](const std::string& dir, const std::string& date = "2026-12-09") {
        return Description("16", dir + "/database-16.db", offered, kDefinitionsProduct, date);
    };
    auto moved = [](const std::string& location) {
        TestHttpServer::Response response;
        response.status = 302;
        response.location = location;
        return response;
    };
    struct Case {
        const char* name;
        std::function<void(const std::string& dir)> serve;  // the description and its signature
        const char* log;                                    // "": installs
    };
    const Case cases[] = {
        {"signed by the trusted key",
         [&](auto dir) { SetDescription(dir + "/update.txt", describe(dir)); }, ""},
        {"moved within the server",
         [&](auto dir) {
             server_.Set(dir + "/update.txt", moved(dir + "/current.txt"));
             server_.Set(dir + "/current.txt", describe(dir));
             server_.Set(dir + "/update.txt.sig", SignatureFile(describe(dir)));
         },
         ""},
        {"wrong signature",
         [&](auto dir) {
             server_.Set(dir + "/update.txt", describe(dir));
             server_.Set(dir + "/update.txt.sig", SignatureFile(describe(dir, "2026-12-10")));
         },
         "the signature is wrong (the signature of key"},
        {"unknown key",
         [&](auto dir) {
             server_.Set(dir + "/update.txt", describe(dir));
             server_.Set(dir + "/update.txt.sig", SignatureFile(describe(dir), stranger));
         },
         "the signature is wrong (signed only by keys this program does not trust"},
        {"missing signature", [&](auto dir) { server_.Set(dir + "/update.txt", describe(dir)); },
         "the signature is missing ("},
        {"one byte changed after signing",
         [&](auto dir) {
             std::string changed = describe(dir);
             changed[changed.find("version: 16") + 10] = '7';
             server_.Set(dir + "/update.txt", changed);
             server_.Set(dir + "/update.txt.sig", SignatureFile(describe(dir)));
         },
         "the signature is wrong"},
        {"database swapped after signing",
         [&](auto dir) {
             SetDescription(dir + "/update.txt", describe(dir));
             server_.Set(dir + "/database-16.db", Database("66"));
         },
         "announced"},
        {"older description replayed",
         [&](auto dir) { SetDescription(dir + "/update.txt", describe(dir, "2026-12-01")); },
         "dated 2026-12-01, before the installed release of 2026-12-05"},
        {"the program's description",
         [&](auto dir) {
             SetDescription(dir + "/update.txt",
                            Description("16", dir + "/database-16.db", offered, kProgramProduct));
         },
         "describes the program, not the definitions"},
        {"redirected to another host",
         [&](auto dir) {
             server_.Set(dir + "/update.txt",
                         moved("http://localhost:" + std::to_string(server_.port()) + dir +
                               "/current.txt"));
             SetDescription(dir + "/current.txt", describe(dir));
             server_.Set(dir + "/update.txt.sig", SignatureFile(describe(dir)));
         },
         "another origin; not followed"},
        {"download redirected to another host",
         [&](auto dir) {
             SetDescription(dir + "/update.txt", describe(dir));
             server_.Set(
                 dir + "/database-16.db",
                 moved("http://localhost:" + std::to_string(server_.port()) + dir + "/copy.db"));
             server_.Set(dir + "/copy.db", offered);
         },
         "another origin; not followed"},
    };
    int number = 0;
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        const std::string dir = "/case" + std::to_string(++number);
        prefix_.WriteFile("C:\\Program Files\\Tolvane\\database.db", before);
        std::filesystem::remove(AppFile("database.bak"));
        database_.descriptionPath = dir + "/update.txt";
        database_.installedVersion = 15;
        database_.installedDate = "2026-12-05";
        server_.Set(dir + "/database-16.db", offered);
        row.serve(dir);
        bool installed = false;
        if (Query(database_) == kUpdateNewerVersion && Download() == kUpdateDownloadComplete) {
            installed = service().AuRunAutoUpdate(&request_).outcome ==
                        UpdateInstallOutcome::DefinitionsInstalled;
        }
        if (!*row.log) {
            EXPECT_TRUE(installed);
            EXPECT_EQ(ReadHost(AppFile("database.db")), offered);
            EXPECT_EQ(database_.installedDate, "2026-12-09");
            continue;
        }
        EXPECT_FALSE(installed);
        EXPECT_EQ(ReadHost(AppFile("database.db")), before);
        EXPECT_FALSE(std::filesystem::exists(AppFile("database.bak")));
        EXPECT_TRUE(UpdatesFolder().empty());
        bool logged = false;
        for (const std::string& line : Logs())
            logged |= line.find(dir + "/") != std::string::npos &&
                      line.find(row.log) != std::string::npos;
        EXPECT_TRUE(logged) << row.log;
    }
}

TEST(SameOrigin, OnlyTheSameSchemeHostAndPort) {
    const struct {
        const char* from;
        const char* to;
        bool same;
    } cases[] = {
        {"https://u.example/update/a.txt", "https://u.example/mirror/a.txt", true},
        {"https://u.example/a", "HTTPS://U.EXAMPLE:443/b", true},
        {"http://u.example/a", "http://u.example:80/b", true},
        {"https://u.example/a", "http://u.example/a", false},  // never down to http
        {"http://u.example/a", "https://u.example/a", false},
        {"https://u.example/a", "https://u.example:8443/a", false},
        {"https://u.example/a", "https://evil.example/a", false},
        {"https://u.example/a", "https://u.example.evil.example/a", false},
        {"https://u.example/a", "https://u.example@evil.example/a", false},
        {"https://u.example/a", "file:///etc/passwd", false},
        {"https://u.example/a", "not an address", false},
    };
    for (const auto& row : cases) EXPECT_EQ(SameOrigin(row.from, row.to), row.same) << row.to;
}

}  // namespace
}  // namespace tolvane::testing
