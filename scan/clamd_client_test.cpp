// A real clamd (Debian's clamav-daemon) started by the test on a socket in a
// temporary folder, with a one-line database the test writes: never the
// public ClamAV database, never the network.
#include "scan/clamd_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "host/held_path.h"
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
// The EICAR test file, joined at run time so that no scanner takes this
// program for it.
const std::string kEicar =
    std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

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
            << Md5Hex(kPlanted) << ":" << kPlanted.size() << ":Tolvane.Test.Stealer\n"
            << Md5Hex(kEicar) << ":" << kEicar.size() << ":Tolvane.Test.Eicar\n";
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
    std::string socket() const { return Path("clamd.sock"); }
    std::string Path(const std::string& name) const { return (folder_.path() / name).string(); }
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

UniqueFd UnixSocket() {
    return UniqueFd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

sockaddr_un UnixAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    return address;
}

// A relay in front of clamd that carries bytes only, as a socket proxy or
// a socket forwarded into a container does: a descriptor sent through it
// never reaches clamd. One connection at a time, each to clamd anew.
class ByteRelay {
  public:
    ByteRelay(std::string target, std::string path) : target_(std::move(target)), path_(path) {
        listening_ = UnixSocket();
        sockaddr_un address = UnixAddress(path);
        if (bind(listening_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listening_.get(), 4) != 0 || pipe2(wake_, O_CLOEXEC) != 0)
            return;
        thread_ = std::thread([this] { Run(); });
    }
    ~ByteRelay() {
        if (thread_.joinable()) {
            (void)!write(wake_[1], "x", 1);
            thread_.join();
        }
        close(wake_[0]);
        close(wake_[1]);
    }
    const std::string& socket() const { return path_; }

  private:
    void Run() {
        for (;;) {
            pollfd waiting[2] = {{listening_.get(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (poll(waiting, 2, -1) < 0 || waiting[1].revents) return;
            UniqueFd client(accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            UniqueFd server = UnixSocket();
            sockaddr_un address = UnixAddress(target_);
            if (!client.valid() ||
                connect(server.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                continue;
            if (!Pump(client.get(), server.get())) return;
        }
    }
    // Bytes both ways until one side closes (true) or the relay ends.
    bool Pump(int a, int b) {
        char buffer[65536];
        for (;;) {
            pollfd ends[3] = {{a, POLLIN, 0}, {b, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (poll(ends, 3, -1) < 0 || ends[2].revents) return false;
            for (int i = 0; i < 2; ++i) {
                if (!ends[i].revents) continue;
                // recv, not recvmsg: a descriptor that came along is dropped.
                ssize_t got = recv(ends[i].fd, buffer, sizeof buffer, 0);
                if (got <= 0) return true;
                for (ssize_t sent = 0; sent < got;) {
                    ssize_t n = send(ends[1 - i].fd, buffer + sent, got - sent, MSG_NOSIGNAL);
                    if (n <= 0) return true;
                    sent += n;
                }
            }
        }
    }

    std::string target_, path_;
    UniqueFd listening_;
    int wake_[2] = {-1, -1};
    std::thread thread_;
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

// Where descriptors cannot pass, the client streams the file's bytes
// (INSTREAM) instead: the EICAR test file is found so, and the files after
// it go the same way on the same client.
TEST_F(ClamdClientTest, WhereDescriptorsCannotPassTheBytesAreStreamed) {
    TestClamd clamd;
    ASSERT_TRUE(clamd.Client()) << clamd.Log();
    ByteRelay relay(clamd.socket(), clamd.Path("relay.sock"));
    std::string error;
    auto client = ClamdClient::Connect(relay.socket(), &error);
    ASSERT_TRUE(client) << error;
    ClamdAnswer eicar = CheckFile(*client, clamd.Write("eicar.com", kEicar));
    EXPECT_EQ(eicar.verdict, ClamdVerdict::Found) << eicar.reason << clamd.Log();
    EXPECT_EQ(eicar.signature.rfind("Tolvane.Test.Eicar", 0), 0u) << eicar.signature;
    EXPECT_EQ(CheckFile(*client, clamd.Write("clean.txt", "nothing to see\n")).verdict,
              ClamdVerdict::Clean);
    EXPECT_EQ(CheckFile(*client, clamd.Write("x7fq2.exe", kPlanted)).verdict, ClamdVerdict::Found);
    EXPECT_FALSE(client->Stopped());
    // clamd names what it scanned: streams, never a descriptor.
    EXPECT_NE(clamd.Log().find("instream"), std::string::npos) << clamd.Log();
    EXPECT_EQ(clamd.Log().find("fd["), std::string::npos) << clamd.Log();
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
    // The texts outlive the strings they were made from.
    EXPECT_EQ(definition->name, "Win.Trojan.X");
    EXPECT_EQ(definition->category, "Virus");
    EXPECT_NE(definition->description.find("ClamAV"), std::string::npos);
    EXPECT_EQ(findings.DefinitionFor("Win.Trojan.X", "/run/clamav/a.ctl"), definition);
}

}  // namespace
}  // namespace tolvane
