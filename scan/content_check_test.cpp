#include "scan/content_check.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "definitions/yara_compiler.h"
#include "machine/machine.h"
#include "machine/process_table.h"
#include "machine/wine/proc_process_table.h"
#include "scan/scan_engine.h"
#include "settings/settings_store.h"
#include "testing/as_nobody.h"
#include "testing/fake_windows_program.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::TempPrefix;

constexpr const char* kDefinitions =
    "<NA><SW NAME=\"Temp Stealer\"><CATEGORY NAME=\"Trojan\"/><DANGER NAME=\"High\"/></SW>"
    "<SW NAME=\"Hash Listed\"><CATEGORY NAME=\"Spyware\"/><DANGER NAME=\"Medium\"/></SW>"
    "<SW NAME=\"Named Dropper\"><CATEGORY NAME=\"Trojan\"/><DANGER NAME=\"High\"/>"
    "<FILES><FILE PATH=\"C:\\users\\root\\Documents\\b-known.exe\"/></FILES></SW></NA>";

std::string RawSha256(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), length);
}

std::string RandomName() {
    std::random_device device;
    std::string name;
    for (int i = 0; i < 12; ++i) name += static_cast<char>('a' + device() % 26);
    return name;
}

std::string RunningUserName() {
    struct passwd* entry = getpwuid(getuid());
    return entry ? entry->pw_name : std::to_string(getuid());
}

class ContentScanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        machine = prefix.Open();
        PlaceholderFolders folders = PlaceholderFolders::FromShell(machine->shell());
        ASSERT_TRUE(LoadDefinitionsFromText(kDefinitions, folders, &database));
    }

    void SetRules(const std::string& source) {
        std::string errors;
        YaraRules rules;
        ASSERT_TRUE(CompileYaraRules(source, &rules, &errors)) << errors;
        database.content().SetRules(std::move(rules), {{"TempStealer", 0}, {"NamedDropper", 2}});
    }

    // A Drives & Folders scan of C:\users.
    void Scan(const ContentLimits& limits, bool started = false) {
        SettingsStore settings(machine->registry());
        settings.WriteInt(setting::kLastScanMode, static_cast<int32_t>(ScanMode::DrivesAndFolders));
        settings.WriteInt(setting::kScanDrivesNum, 1);
        settings.WriteString(std::string(kDrivesAndFoldersList) + "1", "C:\\users");
        engine = std::make_unique<ScanEngine>(*machine, database);
        engine->SetContentLimits(limits);
        if (!started) engine->RunScan();
    }

    uint64_t Skipped(ContentSkip skip) const {
        return engine->ContentPhaseCounts().skipped[static_cast<size_t>(skip)].load();
    }

    const DetectedObject* Row(const std::string& path) const {
        for (DetectedObject* object : engine->Results().listedObjects)
            if (object->objectText == path) return object;
        return nullptr;
    }

    TempPrefix prefix;
    std::unique_ptr<Machine> machine;
    ThreatDatabase database;
    std::unique_ptr<ScanEngine> engine;
};

TEST_F(ContentScanTest, FilesAreListedByRuleByDigestAndByTheExternalVariables) {
    SetRules(
        "rule TempStealer { strings: $a = \"STEALER-MARKER-7f3a\" condition: $a }\n"
        "rule NamedDropper { condition: filename == \"dropper.dat\" and extension == \".dat\" and "
        "filepath == \"C:\\\\users\\\\root\\\\Documents\" and filetype == \"EXE\" and owner == \"" +
        RunningUserName() +
        "\" }\n"
        "rule Orphan { strings: $a = \"ORPHAN-MARKER\" condition: $a }\n");
    // A megabyte or more: hashed while YARA runs over the same bytes.
    const std::string pdf = "%PDF-1.4 listed by its digest" + std::string(1 << 20, 'p');
    database.content().AddDigest(DigestKind::Sha256, RawSha256(pdf), 1);

    const std::string temp = "C:\\users\\root\\AppData\\Local\\Temp\\" + RandomName() + ".tmp";
    prefix.WriteFile(temp, "MZ\x90" + std::string(100, '\0') + "STEALER-MARKER-7f3a");
    prefix.WriteFile("C:\\users\\root\\Documents\\dropper.dat", "MZ plain");
    prefix.WriteFile("C:\\users\\root\\Documents\\report.pdf", pdf);
    // Neither listed: a rule of no definition, and a text file not read.
    prefix.WriteFile("C:\\users\\root\\Documents\\orphan.exe", "MZ ORPHAN-MARKER");
    prefix.WriteFile("C:\\users\\root\\Documents\\notes.txt", "STEALER-MARKER-7f3a");
    Scan(ContentLimits());

    ASSERT_EQ(engine->Results().listedObjects.size(), 3u);
    const DetectedObject* stealer = Row(temp);
    ASSERT_TRUE(stealer && stealer->content);
    EXPECT_EQ(stealer->definition->name, "Temp Stealer");
    EXPECT_EQ(stealer->content->rule, "TempStealer");
    EXPECT_EQ(stealer->content->offsets, std::vector<uint64_t>{103});
    const DetectedObject* hashed = Row("C:\\users\\root\\Documents\\report.pdf");
    ASSERT_TRUE(hashed && hashed->content);
    EXPECT_EQ(hashed->definition->name, "Hash Listed");
    EXPECT_EQ(hashed->content->source, "SHA-256");
    EXPECT_EQ(hashed->content->digest.size(), 64u);
    const DetectedObject* named = Row("C:\\users\\root\\Documents\\dropper.dat");
    ASSERT_TRUE(named && named->content);
    EXPECT_EQ(named->definition->name, "Named Dropper");
    EXPECT_EQ(engine->Counters().filesRecognised, 3);

    const ContentCounts& counts = engine->ContentPhaseCounts();
    EXPECT_EQ(counts.checked.load(), 4u);
    EXPECT_EQ(counts.matched.load(), 3u);
    EXPECT_EQ(Skipped(ContentSkip::Kind), 1u);
    std::string log;
    ASSERT_TRUE(machine->files().ReadWholeFile(engine->LogPath(), &log));
    EXPECT_NE(log.find("Content:\tYARA rule TempStealer, strings at 103\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("Content check: 4 files, "), std::string::npos) << log;
    EXPECT_NE(log.find("Content check skipped: 1 notExecutableScriptArchiveOrDocument\n"),
              std::string::npos)
        << log;
}

TEST_F(ContentScanTest, PipesLinksLargeAndSparseFilesAreCountedNotReadOrHung) {
    const std::string middle(1536 << 10, 'm');
    database.content().AddDigest(DigestKind::Sha256, RawSha256(middle), 1);
    SetRules("rule TempStealer { strings: $a = \"mmmm\" condition: $a }\n");
    const std::string desktop = prefix.Host("drive_c/users/root/Desktop");
    std::filesystem::create_directories(desktop);
    ASSERT_EQ(mkfifo((desktop + "/pipe.exe").c_str(), 0644), 0);
    prefix.WriteFile("C:\\users\\root\\Desktop\\middle.bin", middle);
    prefix.WriteFile("C:\\users\\root\\Desktop\\large.bin", std::string(3 << 20, 'l'));
    std::filesystem::create_symlink(desktop + "/large.bin", desktop + "/link.exe");
    { std::ofstream sparse(desktop + "/sparse.bin"); }
    ASSERT_EQ(truncate((desktop + "/sparse.bin").c_str(), off_t{1} << 40), 0);

    ContentLimits limits;
    limits.everyFile = true;
    limits.yaraCap = 1 << 20;
    limits.hashCap = 2 << 20;
    Scan(limits);

    // The middle file is past YARA's cap but its digest lists it.
    ASSERT_EQ(engine->Results().listedObjects.size(), 1u);
    const DetectedObject* listed = engine->Results().listedObjects[0];
    EXPECT_EQ(listed->objectText, "C:\\users\\root\\Desktop\\middle.bin");
    EXPECT_EQ(listed->content->source, "SHA-256");
    EXPECT_EQ(Skipped(ContentSkip::NotRegular), 2u);   // the pipe and the link
    EXPECT_EQ(Skipped(ContentSkip::OverHashCap), 2u);  // large and sparse
    EXPECT_EQ(Skipped(ContentSkip::OverYaraCap), 1u);
    EXPECT_EQ(engine->ContentPhaseCounts().bytes.load(), middle.size());
}

TEST_F(ContentScanTest, AFileTheUserCannotReadIsCountedAndTheScanGoesOn) {
    SKIP_UNLESS_ROOT();
    SetRules("rule TempStealer { strings: $a = \"STEALER\" condition: $a }\n");
    prefix.WriteFile("C:\\users\\root\\Documents\\closed.exe", "MZ STEALER");
    prefix.WriteFile("C:\\users\\root\\Documents\\open.exe", "MZ STEALER");
    testing::GiveToNobody(prefix.path());
    const std::string closed = prefix.Host("drive_c/users/root/Documents/closed.exe");
    ASSERT_EQ(chown(closed.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(closed.c_str(), 0600), 0);
    EXPECT_TRUE(testing::AsNobody([&] {
        std::unique_ptr<Machine> own = prefix.Open();
        ScanEngine scan(*own, database);
        SettingsStore settings(own->registry());
        settings.WriteInt(setting::kLastScanMode, static_cast<int32_t>(ScanMode::DrivesAndFolders));
        settings.WriteInt(setting::kScanDrivesNum, 1);
        settings.WriteString(std::string(kDrivesAndFoldersList) + "1", "C:\\users");
        scan.SetContentLimits(ContentLimits());
        scan.RunScan();
        const ContentCounts& counts = scan.ContentPhaseCounts();
        return counts.skipped[static_cast<size_t>(ContentSkip::Unreadable)].load() == 1 &&
               scan.Results().listedObjects.size() == 1 &&
               scan.Results().listedObjects[0]->objectText ==
                   "C:\\users\\root\\Documents\\open.exe";
    }));
}

TEST_F(ContentScanTest, TheMemoryScanChecksTheRunningProgramsFiles) {
    SetRules("rule TempStealer { strings: $a = \"MINER-MARK\" condition: $a }\n");
    const std::string exe = "C:\\users\\root\\AppData\\Local\\Temp\\" + RandomName() + ".exe";
    prefix.WriteFile(exe, "MZ MINER-MARK");
    machine->SetProcessTable(MakeProcProcessTable(machine->PrefixPath(), machine->files()));
    testing::FakeWindowsProgram program(machine->PrefixPath(), exe);
    ASSERT_GT(program.pid(), 0);
    SettingsStore settings(machine->registry());
    settings.WriteInt(setting::kLastScanMode, static_cast<int32_t>(ScanMode::Memory));
    engine = std::make_unique<ScanEngine>(*machine, database);
    engine->SetContentLimits(ContentLimits());
    engine->RunScan();
    const DetectedObject* row = Row(exe);
    ASSERT_TRUE(row && row->content);
    EXPECT_EQ(row->definition->name, "Temp Stealer");
    // Listed as the program and as its own module, read once.
    EXPECT_EQ(engine->Counters().processesRecognised, 2);
    EXPECT_EQ(engine->ContentPhaseCounts().checked.load(), 1u);
}

TEST_F(ContentScanTest, StopInsideALargeFileEndsTheScanBeforeTheFileIsRead) {
    database.content().AddDigest(DigestKind::Sha256, RawSha256("other"), 1);
    const std::string desktop = prefix.Host("drive_c/users/root/Desktop");
    std::filesystem::create_directories(desktop);
    const off_t size = off_t{4} << 30;
    { std::ofstream sparse(desktop + "/huge.bin"); }
    ASSERT_EQ(truncate((desktop + "/huge.bin").c_str(), size), 0);
    ContentLimits limits;
    limits.everyFile = true;
    limits.hashCap = UINT64_MAX;
    Scan(limits, true);
    ASSERT_TRUE(engine->Start());
    while (engine->ContentPhaseCounts().bytes.load() == 0 && engine->WorkerRunning())
        std::this_thread::yield();
    engine->RequestStop();
    engine->Wait();
    EXPECT_EQ(Skipped(ContentSkip::Stopped), 1u);
    EXPECT_LT(engine->ContentPhaseCounts().bytes.load(), static_cast<uint64_t>(size));
}

// libyara has no call that aborts a scan: the stop shortens the running
// scan's time-out. Each 'A' starts a regex try of up to 200 bytes, so YARA
// would spend minutes in this file; the file is stopped, neither checked
// nor timed out, and the scan returns.
TEST_F(ContentScanTest, StopWhileYaraIsInsideAFileEndsItAsStopped) {
    SetRules("rule TempStealer { strings: $a = /A[A-Z]{1,200}B/ condition: $a }\n");
    // Its SHA-1 is taken beside YARA: that helper is joined as well.
    database.content().AddDigest(DigestKind::Sha1, std::string(20, '\x01'), 1);
    const std::string body = "MZ" + std::string(16 << 20, 'A');
    prefix.WriteFile("C:\\users\\root\\Desktop\\slow.exe", body);
    ContentLimits limits;
    limits.yaraTimeoutSeconds = 3600;
    Scan(limits, true);
    ASSERT_TRUE(engine->Start());
    while (engine->ContentChecksInYara() == 0 && engine->WorkerRunning())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(engine->ContentChecksInYara(), 1u);
    engine->RequestStop();
    engine->Wait();
    EXPECT_EQ(engine->ContentChecksInYara(), 0u);
    EXPECT_EQ(engine->ContentPhaseCounts().bytes.load(), body.size());
    EXPECT_EQ(Skipped(ContentSkip::Stopped), 1u);
    EXPECT_EQ(Skipped(ContentSkip::YaraTimeout), 0u);
    EXPECT_EQ(engine->ContentPhaseCounts().checked.load(), 0u);
    EXPECT_TRUE(engine->Results().listedObjects.empty());
}

// The content threads finish in any order; the rows do not. The first file
// is large (read and scanned longest), the second is known by its path and
// listed at once by the walk, the rest are small.
TEST_F(ContentScanTest, RowsComeInTheWalksOrderWhicheverContentThreadFinishesFirst) {
    SetRules("rule TempStealer { strings: $a = \"STEALER-MARKER-7f3a\" condition: $a }\n");
    const std::string documents = "C:\\users\\root\\Documents\\";
    prefix.WriteFile(documents + "a-large.exe",
                     "MZ" + std::string(6 << 20, 'x') + "STEALER-MARKER-7f3a");
    prefix.WriteFile(documents + "b-known.exe", "MZ plain");
    for (char c = 'c'; c <= 'h'; ++c)
        prefix.WriteFile(documents + c + "-small.exe", "MZ STEALER-MARKER-7f3a");
    Scan(ContentLimits());

    std::vector<std::string> rows;
    for (const DetectedObject* object : engine->Results().listedObjects)
        rows.push_back(object->objectText.substr(documents.size()));
    EXPECT_EQ(rows, (std::vector<std::string>{"a-large.exe", "b-known.exe", "c-small.exe",
                                              "d-small.exe", "e-small.exe", "f-small.exe",
                                              "g-small.exe", "h-small.exe"}));
    EXPECT_EQ(engine->Counters().filesRecognised, 8);
    EXPECT_EQ(engine->ContentPhaseCounts().checked.load(), 7u);
    EXPECT_EQ(engine->ContentPhaseCounts().matched.load(), 7u);
    std::string log;
    ASSERT_TRUE(machine->files().ReadWholeFile(engine->LogPath(), &log));
    EXPECT_LT(log.find("1) Temp Stealer\nName:\t\t" + documents + "a-large.exe"),
              log.find("2) Named Dropper\nName:\t\t" + documents + "b-known.exe"))
        << log;
}

// However many threads check them, the matches come back in the order the
// files were handed over and every file is counted once.
TEST_F(ContentScanTest, APoolGivesItsMatchesInTheOrderHandedOver) {
    SetRules("rule TempStealer { strings: $a = \"STEALER-MARKER-7f3a\" condition: $a }\n");
    const std::string folder = prefix.Host("drive_c/users/root/Documents");
    std::filesystem::create_directories(folder);
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
        // Every third file is large; every fourth holds no marker.
        const std::string body =
            std::string(i % 3 == 0 ? 3 << 20 : 64, 'x') + (i % 4 == 3 ? "" : "STEALER-MARKER-7f3a");
        names.push_back("f" + std::to_string(i) + ".exe");
        std::ofstream(folder + "/" + names.back(), std::ios::binary) << "MZ" << body;
    }
    ContentCounts counts;
    std::atomic<bool> stop{false};
    ContentLimits limits;
    std::vector<std::string> expected;
    {
        ContentPool pool(database, limits, counts, stop, 3);
        for (size_t i = 0; i < names.size(); ++i) {
            UniqueFd fd(open((folder + "/" + names[i]).c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_TRUE(fd.valid());
            struct stat st {};
            ASSERT_EQ(fstat(fd.get(), &st), 0);
            if (i % 4 != 3) expected.push_back(names[i]);
            pool.Submit(std::move(fd), st, names[i], "tag" + std::to_string(i));
        }
        std::vector<std::string> matched;
        for (const ContentPool::Match& match : pool.Collect()) {
            EXPECT_EQ(match.tag, "tag" + match.path.substr(1, match.path.find('.') - 1));
            EXPECT_EQ(match.outcome.definition->name, "Temp Stealer");
            matched.push_back(match.path);
        }
        EXPECT_EQ(matched, expected);
        EXPECT_TRUE(pool.Collect().empty());
    }
    EXPECT_EQ(counts.checked.load(), names.size());
    EXPECT_EQ(counts.matched.load(), expected.size());
}

// In a prefix the SHA-256 is taken as the file is read (the platform's
// files are told by it before YARA); the other digests of a large file are
// taken beside YARA and still list it.
TEST_F(ContentScanTest, ALargeFileIsToldByThePlatformFirstAndListedByItsOtherDigests) {
    struct Recorder : PlatformFiles {
        bool IsPlatformOwn(const ContentFileView& file) override {
            seen[std::string(file.path)] = std::string(file.sha256);
            return file.path.ends_with("wine.exe");
        }
        std::map<std::string, std::string> seen;
    } platform;
    SetRules("rule TempStealer { strings: $a = \"STEALER-MARKER-7f3a\" condition: $a }\n");
    const std::string listed = "MZ" + std::string(2 << 20, 'l');
    const std::string wine = "MZ STEALER-MARKER-7f3a" + std::string(2 << 20, 'w');
    unsigned char md5[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(listed.data(), listed.size(), md5, &length, EVP_md5(), nullptr);
    database.content().AddDigest(DigestKind::Md5, std::string(reinterpret_cast<char*>(md5), length),
                                 1);
    database.content().AddDigest(DigestKind::Sha1, std::string(20, '\x01'), 1);
    const std::string documents = "C:\\users\\root\\Documents\\";
    prefix.WriteFile(documents + "listed.exe", listed);
    prefix.WriteFile(documents + "wine.exe", wine);
    Scan(ContentLimits(), true);
    engine->SetPlatformFiles(&platform);
    engine->RunScan();

    ASSERT_EQ(engine->Results().listedObjects.size(), 1u);
    const DetectedObject* row = Row(documents + "listed.exe");
    ASSERT_TRUE(row && row->content);
    EXPECT_EQ(row->content->source, "MD5");
    EXPECT_EQ(platform.seen[documents + "listed.exe"], RawSha256(listed));
    EXPECT_EQ(platform.seen[documents + "wine.exe"], RawSha256(wine));
    EXPECT_EQ(Skipped(ContentSkip::PlatformOwn), 1u);
}

}  // namespace
}  // namespace tolvane
