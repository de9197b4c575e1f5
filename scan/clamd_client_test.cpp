// A real clamd (Debian's clamav-daemon) started by the test on a socket in a
// temporary folder, with a one-line database the test writes: never the
// public ClamAV database, never the network.
#include "scan/clamd_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "scan/scan_engine.h"
#include "settings/settings_store.h"
#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;
using testing::TempFolder;

constexpr char kClamd[] = "/usr/sbin/clamd";
const std::string kPlanted = "a stealer's bytes, planted for the test database\n";

std::string Md5Hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_md5(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += "0123456789abcdef"[digest[i] >> 4];
        hex += "0123456789abcdef"[digest[i] & 15];
    }
    return hex;
}

// clamd in the foreground on DIR/clamd.sock with DIR/db/test.hdb; files
// above 1 MiB exceed its limits and say so.
class TestClamd {
  public:
    TestClamd() {
        fs::create_directory(folder_.path() / "db");
        std::ofstream(folder_.path() / "db/test.hdb")
            << Md5Hex(kPlanted) << ":" << kPlanted.size() << ":Tolvane.Test.Stealer\n";
        std::ofstream(folder_.path() / "clamd.conf")
            << "LocalSocket " << socket() << "\nDatabaseDirectory "
            << (folder_.path() / "db").string() << "\nForeground yes\nTemporaryDirectory "
            << folder_.path().string()
            << "\nMaxFileSize 1M\nMaxScanSize 1M\nAlertExceedsMax yes\nLogFile "
            << (folder_.path() / "clamd.log").string() << "\n";
        pid_ = fork();
        if (pid_ == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            execl(kClamd, kClamd, "-c", (folder_.path() / "clamd.conf").c_str(), nullptr);
            _exit(127);
        }
    }
    ~TestClamd() { Stop(); }
    std::string socket() const { return (folder_.path() / "clamd.sock").string(); }
    fs::path Write(const std::string& name, const std::string& content) const {
        std::ofstream(folder_.path() / name, std::ios::binary) << content;
        return folder_.path() / name;
    }
    // A client once clamd has loaded its database and listens; nullptr when
    // it ended instead (its log then says why).
    std::unique_ptr<ClamdClient> Client() const {
        std::string error;
        while (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
            if (auto client = ClamdClient::Connect(socket(), &error)) return client;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return nullptr;
    }
    std::string Log() const { return testing::ReadHostFile(folder_.path() / "clamd.log"); }
    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    TempFolder folder_{"tolvane-clamd"};
    pid_t pid_ = -1;
};

class ClamdClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (access(kClamd, X_OK) != 0)
            GTEST_SKIP() << "clamd is not installed (Debian package clamav-daemon)";
    }
    static ClamdAnswer CheckFile(ClamdClient& client, const fs::path& path) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ClamdAnswer answer = client.Check(fd);
        close(fd);
        return answer;
    }
};

TEST_F(ClamdClientTest, NamesAPlantedFileLeavesACleanOneAndNeverCallsExceededLimitsClean) {
    TestClamd clamd;
    auto client = clamd.Client();
    ASSERT_TRUE(client) << clamd.Log();
    ClamdAnswer planted = CheckFile(*client, clamd.Write("x7fq2.exe", kPlanted));
    EXPECT_EQ(planted.verdict, ClamdVerdict::Found) << planted.reason;
    EXPECT_EQ(planted.signature.rfind("Tolvane.Test.Stealer", 0), 0u) << planted.signature;
    EXPECT_EQ(CheckFile(*client, clamd.Write("clean.txt", "nothing to see\n")).verdict,
              ClamdVerdict::Clean);
    ClamdAnswer large = CheckFile(*client, clamd.Write("large.bin", std::string(3 << 20, 'a')));
    EXPECT_EQ(large.verdict, ClamdVerdict::NotChecked);
    EXPECT_NE(large.reason.find("limits"), std::string::npos) << large.reason;
    // The same client goes on after that.
    EXPECT_EQ(CheckFile(*client, clamd.Write("again.exe", kPlanted)).verdict, ClamdVerdict::Found);
    EXPECT_EQ(ParseClamdAnswer("INSTREAM size limit exceeded. ERROR").verdict,
              ClamdVerdict::NotChecked);
}

TEST_F(ClamdClientTest, AClamdThatStopsMidScanLeavesTheRestNotChecked) {
    TestClamd clamd;
    auto client = clamd.Client();
    ASSERT_TRUE(client) << clamd.Log();
    fs::path planted = clamd.Write("planted.dll", kPlanted);
    EXPECT_EQ(CheckFile(*client, planted).verdict, ClamdVerdict::Found);
    clamd.Stop();
    EXPECT_EQ(CheckFile(*client, planted).verdict, ClamdVerdict::NotChecked);
    EXPECT_TRUE(client->Stopped());
    std::string error;
    EXPECT_FALSE(ClamdClient::Connect(clamd.socket(), &error));
    EXPECT_NE(error.find(clamd.socket()), std::string::npos) << error;
}

// Stops clamd when the content check asks it about its first file, so that
// clamd is gone before the next checker's question.
class StoppingChecker : public ContentFileChecker {
  public:
    explicit StoppingChecker(TestClamd& clamd) : clamd_(clamd) {}
    Verdict Check(const ContentFileView&) override {
        clamd_.Stop();
        return {};
    }

  private:
    TestClamd& clamd_;
};

TEST_F(ClamdClientTest, AScanListsClamAVsFindingAndSaysWhenClamdStopsMidScan) {
    TestClamd clamd;
    ASSERT_TRUE(clamd.Client()) << clamd.Log();
    testing::TempPrefix prefix;
    const std::string planted = "C:\\users\\root\\AppData\\Local\\Temp\\x7fq2.exe";
    prefix.WriteFile(planted, kPlanted);
    prefix.WriteFile("C:\\users\\root\\notes.txt", "nothing to see\n");
    auto machine = prefix.Open();
    ThreatDatabase database;
    ASSERT_TRUE(LoadDefinitionsFromText("<NA><SW NAME=\"X\"><CATEGORY NAME=\"Trojan\"/></SW></NA>",
                                        PlaceholderFolders::FromShell(machine->shell()),
                                        &database));
    SettingsStore settings(machine->registry());
    settings.WriteInt(setting::kLastScanMode, static_cast<int32_t>(ScanMode::DrivesAndFolders));
    settings.WriteInt(setting::kScanDrivesNum, 1);
    settings.WriteString(std::string(kDrivesAndFoldersList) + "1", "C:\\users");
    ClamdChecker checker(clamd.socket());
    ContentLimits limits;
    limits.everyFile = true;
    {
        ScanEngine engine(*machine, database);
        engine.SetContentLimits(limits);
        engine.AddContentChecker(&checker);
        engine.RunScan();
        ASSERT_EQ(engine.Results().listedObjects.size(), 1u);
        const DetectedObject& row = *engine.Results().listedObjects[0];
        EXPECT_EQ(row.objectText, planted);
        EXPECT_EQ(row.definition->name.rfind("Tolvane.Test.Stealer", 0), 0u)
            << row.definition->name;
        EXPECT_EQ(row.definition->category, "Virus");
        EXPECT_EQ(engine.Note(), "");
    }
    StoppingChecker stopper(clamd);
    ScanEngine engine(*machine, database);
    engine.SetContentLimits(limits);
    engine.AddContentChecker(&stopper);
    engine.AddContentChecker(&checker);
    engine.RunScan();
    EXPECT_TRUE(engine.Results().listedObjects.empty());
    EXPECT_NE(engine.Note().find("ClamAV could not check the rest"), std::string::npos)
        << engine.Note();
}

TEST(ClamdSocketTest, TheHostsClamdConfNamesTheSocketAndTheOptionComesFirst) {
    TempFolder folder;
    fs::path conf = folder.path() / "clamd.conf";
    std::ofstream(conf)
        << "# LocalSocket /commented\nLocalSocketMode 666\nLocalSocket /run/clamav/a.ctl\n";
    EXPECT_EQ(ClamdConfigSocket(conf.string()), "/run/clamav/a.ctl");
    EXPECT_EQ(ClamdSocketPath("/tmp/mine.sock"), "/tmp/mine.sock");
    ClamdFindings findings;
    ThreatDefinition* definition = findings.DefinitionFor("Win.Trojan.X", "/run/clamav/a.ctl");
    EXPECT_EQ(definition->category, "Virus");
    EXPECT_NE(definition->description.find("ClamAV"), std::string::npos);
    EXPECT_EQ(findings.DefinitionFor("Win.Trojan.X", "/run/clamav/a.ctl"), definition);
}

}  // namespace
}  // namespace tolvane
