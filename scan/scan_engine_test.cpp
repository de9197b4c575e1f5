#include "scan/scan_engine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "machine/machine.h"
#include "machine/process_table.h"
#include "machine/registry.h"
#include "machine/wine/proc_process_table.h"
#include "scan/percent_decode.h"
#include "settings/settings_store.h"
#include "testing/fake_windows_program.h"
#include "testing/registry_values.h"
#include "testing/temp_prefix.h"

extern char** environ;

namespace tolvane {
namespace {

using testing::TempPrefix;

// Records every message of a scan in order, as text.
class RecordingObserver : public ScanObserver {
  public:
    explicit RecordingObserver(ScanEngine*& engine) : engine_(engine) {}
    void OnScanProgress(ScanProgress kind, DetectedObject* object) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (kind == ScanProgress::NewObject) events.push_back("new " + object->objectText);
        if (kind == ScanProgress::DeepKey) events.push_back("deep " + engine_->CurrentItem());
        if (kind == ScanProgress::Step && engine_->ScanFinished()) {
            events.push_back("end");
            finalCounters = engine_->Counters();
        }
        if (onProgress) onProgress(kind);
    }
    void OnScanPhase(int phase) override {
        std::lock_guard<std::mutex> lock(mutex_);
        events.push_back("phase " + std::to_string(phase));
        if (onPhase) onPhase(phase);
    }
    std::vector<std::string> Phases() const {
        std::vector<std::string> out;
        for (const std::string& e : events)
            if (e.rfind("phase ", 0) == 0) out.push_back(e);
        return out;
    }

    std::vector<std::string> events;
    ScanCounterValues finalCounters;
    std::function<void(ScanProgress)> onProgress;
    std::function<void(int)> onPhase;

  private:
    ScanEngine*& engine_;
    std::mutex mutex_;
};

class SetFilter : public IgnoreFilter {
  public:
    bool IsIgnored(const DetectedObject& object) const override {
        for (const auto& [type, text] : entries)
            if (type == object.type && text == object.objectText) return true;
        return false;
    }
    std::vector<std::pair<ObjectType, std::string>> entries;
};

std::tm FixedStart() {
    std::tm t{};
    t.tm_mday = 7;
    t.tm_mon = 11;
    t.tm_year = 126;
    t.tm_hour = 13;
    t.tm_min = 5;
    t.tm_sec = 9;
    return t;
}

class ScanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        machine = prefix.Open();
        settings = std::make_unique<SettingsStore>(machine->registry());
    }

    void Load(std::string_view markup) {
        PlaceholderFolders folders = PlaceholderFolders::FromShell(machine->shell());
        ASSERT_TRUE(LoadDefinitionsFromText(markup, folders, &database));
    }

    ScanEngine& Engine() {
        if (!engine) {
            engine = std::make_unique<ScanEngine>(*machine, database);
            enginePtr = engine.get();
            engine->SetObserver(&observer);
            engine->SetIgnoreFilter(&filter);
            engine->SetRegistryKeyPause(std::chrono::milliseconds(0));
            engine->SetClock(FixedStart);
        }
        return *engine;
    }

    ScanCounterValues Run(int32_t mode) {
        settings->WriteInt(setting::kLastScanMode, mode);
        Engine().RunScan();
        return engine->Counters();
    }

    std::string Log() {
        std::string text;
        EXPECT_TRUE(machine->files().ReadWholeFile(engine->LogPath(), &text)) << engine->LogPath();
        return text;
    }

    std::vector<std::string> Listed() const {
        std::vector<std::string> out;
        for (DetectedObject* object : engine->Results().listedObjects)
            out.push_back(std::string(ObjectTypeText(object->type)) + " " + object->objectText);
        return out;
    }

    void SetValue(RootKey root, const std::string& key, const std::string& name, uint32_t type,
                  const std::string& data) {
        testing::SetRegistryValue(machine->registry(), root, key, name, type, data);
    }
    void MakeKey(RootKey root, const std::string& key) {
        testing::MakeRegistryKey(machine->registry(), root, key);
    }

    TempPrefix prefix;
    std::unique_ptr<Machine> machine;
    std::unique_ptr<SettingsStore> settings;
    ThreatDatabase database;
    std::unique_ptr<ScanEngine> engine;
    ScanEngine* enginePtr = nullptr;
    RecordingObserver observer{enginePtr};
    SetFilter filter;
};

const char* kLogName = "C:\\Program Files\\Tolvane\\Logs\\TolvaneLog 07-12-26 13-05-09.txt";

// --- The driver and the log ---

TEST_F(ScanTest, ModesThatAreNoModeRunNothingAndLogOnlyStartAndEnd) {
    Load("<NA><SW NAME=\"Bad\"><REGKEYS><REGKEY NAME=\"Software\"/></REGKEYS></SW></NA>");
    for (int32_t mode : {0, 7}) {
        ScanCounterValues c = Run(mode);
        EXPECT_EQ(Log(), "Starting ScanningScan Finished\n") << mode;
        EXPECT_EQ(c.objectsScanned, 0);
        EXPECT_EQ(c.objectsRecognised, 0);
        EXPECT_EQ(c.registryKeysRecognised, 0);
    }
    EXPECT_EQ(engine->LogPath(), kLogName);
    EXPECT_EQ(observer.events, (std::vector<std::string>{"end", "end"}));
}

TEST_F(ScanTest, LogHoldsEveryRecordByteForByteAndSharesItsNameWithinASecond) {
    Load("<NA><SW NAME=\"Empty\"></SW></NA>");
    Run(static_cast<int32_t>(ScanMode::Registry));
    EXPECT_EQ(Log(), "Starting Scanning (REgistry Scan Mode)\nScan Finished\n");

    PlaceholderFolders folders = PlaceholderFolders::FromShell(machine->shell());
    ASSERT_TRUE(LoadDefinitionsFromText(
        "<NA><SW NAME=\"Bad One\"><REGKEYS><REGKEY NAME=\"Software\\Bad\"/></REGKEYS>"
        "<HOSTS><HOST NAME=\"bad.example\"/></HOSTS></SW></NA>",
        folders, &database));
    MakeKey(RootKey::LocalMachine, "Software\\Bad");
    // The second scan starts in the same second: same file, emptied first.
    Run(static_cast<int32_t>(ScanMode::Registry));
    EXPECT_EQ(engine->LogPath(), kLogName);
    EXPECT_EQ(Log(),
              "Starting Scanning (REgistry Scan Mode)\n"
              "1) Bad One\nName:\t\tSoftware\\Bad\nType:\t\tRegistry Key\n"
              "Scan Finished\n");
    std::vector<std::string> names;
    FindHandle handle;
    FindData data;
    ASSERT_TRUE(
        machine->files().FindFirstFile("C:\\Program Files\\Tolvane\\Logs\\*.txt", &handle, &data));
    do names.push_back(data.name);
    while (handle.Next(&data));
    EXPECT_EQ(names, std::vector<std::string>{"TolvaneLog 07-12-26 13-05-09.txt"});
}

TEST_F(ScanTest, TheWorkerThreadEndsWithTheFinishedFlagAndResetsTheLastScansObjects) {
    Load("<NA><SW NAME=\"Bad\"><REGKEYS><REGKEY NAME=\"Software\\Bad\"/></REGKEYS></SW></NA>");
    MakeKey(RootKey::LocalMachine, "Software\\Bad");
    settings->WriteInt(setting::kLastScanMode, 4);
    EXPECT_EQ(ScanEngine::ScanThreadProc(nullptr), 1);
    ASSERT_TRUE(Engine().Start());
    engine->Wait();
    EXPECT_TRUE(engine->ScanFinished());
    EXPECT_FALSE(engine->WorkerRunning());
    ASSERT_EQ(engine->Results().allObjects.size(), 1u);
    EXPECT_EQ(observer.finalCounters.registryKeysRecognised, 1);

    ASSERT_TRUE(engine->Start());
    engine->Wait();
    // One object again, not two: the first scan's objects were destroyed.
    EXPECT_EQ(engine->Results().allObjects.size(), 1u);
    EXPECT_EQ(engine->Counters().objectsRecognised, 1);
    EXPECT_EQ(observer.events,
              (std::vector<std::string>{"phase 1", "new Software\\Bad", "phase 1", "end", "phase 1",
                                        "new Software\\Bad", "phase 1", "end"}));

    // A stop asked for before the new thread runs stops that scan; the next
    // start clears it again.
    ASSERT_TRUE(engine->Start());
    engine->RequestStop();
    engine->Wait();
    EXPECT_TRUE(engine->StopRequested());
    ASSERT_TRUE(engine->Start());
    engine->Wait();
    EXPECT_FALSE(engine->StopRequested());
    EXPECT_EQ(engine->Results().allObjects.size(), 1u);
}

TEST_F(ScanTest, IgnoredObjectsAreNumberedAndLoggedButNotListed) {
    Load(
        "<NA><SW NAME=\"Bad\"><REGKEYS><REGKEY NAME=\"Software\\A\"/>"
        "<REGKEY NAME=\"Software\\B\"/></REGKEYS></SW></NA>");
    MakeKey(RootKey::LocalMachine, "Software\\A");
    MakeKey(RootKey::LocalMachine, "Software\\B");
    filter.entries.push_back({ObjectType::RegistryKey, "Software\\A"});
    ScanCounterValues c = Run(4);
    EXPECT_EQ(c.objectsRecognised, 2);
    EXPECT_EQ(c.objectsIgnored, 1);
    EXPECT_EQ(c.objectsNew, 1);
    EXPECT_EQ(engine->Results().allObjects.size(), 2u);
    EXPECT_EQ(Listed(), std::vector<std::string>{"Registry Key Software\\B"});
    EXPECT_NE(Log().find("1) Bad\nName:\t\tSoftware\\A\n"), std::string::npos);
    EXPECT_NE(Log().find("2) Bad\nName:\t\tSoftware\\B\n"), std::string::npos);
}

TEST_F(ScanTest, CustomModeRunsOnlyTheSwitchedPhasesAndChosenFolders) {
    Load(
        "<NA><SW NAME=\"Bad\"><FILES><FILE PATH=\"C:\\Chosen\\evil.exe\"/></FILES>"
        "<REGKEYS><REGKEY NAME=\"Software\\Bad\"/></REGKEYS></SW></NA>");
    MakeKey(RootKey::LocalMachine, "Software\\Bad");
    prefix.WriteFile("C:\\Chosen\\evil.exe", "x");
    ScanCounterValues c = Run(2);
    EXPECT_EQ(Log(), "Starting Scanning (Custom Scan Mode)\nScan Finished\n");
    EXPECT_EQ(c.objectsScanned, 0);
    EXPECT_EQ(observer.Phases(), std::vector<std::string>{});

    settings->WriteInt(setting::kCustScanDrives, 1);
    settings->WriteInt(setting::kCustScanHosts, 1);  // starts nothing
    settings->WriteFolderList(kCustomScanFolderList, {"C:\\Chosen", ""});
    observer.events.clear();
    c = Run(2);
    EXPECT_EQ(Listed(), std::vector<std::string>{"File C:\\Chosen\\evil.exe"});
    EXPECT_EQ(observer.Phases(), std::vector<std::string>{"phase 2"});
    EXPECT_EQ(c.objectsScanned, 3);  // ".", ".." and the file

    // Drives and Folders: the empty second entry finds nothing.
    settings->WriteFolderList(kDrivesAndFoldersList, {"C:\\Chosen", ""});
    observer.events.clear();
    c = Run(3);
    EXPECT_EQ(Listed(), std::vector<std::string>{"File C:\\Chosen\\evil.exe"});
    EXPECT_EQ(observer.Phases(), std::vector<std::string>{"phase 3"});
    EXPECT_EQ(c.objectsScanned, 3);
    EXPECT_EQ(Log().rfind("Starting Scanning (Drives Scan Mode)\n", 0), 0u);
}

// --- Registry phases ---

TEST_F(ScanTest, RegistryKeysAreTriedUnderTheFourRootsInOrder) {
    Load(
        "<NA><SW NAME=\"Bad\"><REGKEYS><REGKEY NAME=\".Default\\Software\\OnlyUsers\"/>"
        "<REGKEY NAME=\"Software\\Missing\"/></REGKEYS></SW></NA>");
    MakeKey(RootKey::Users, ".Default\\Software\\OnlyUsers");
    ScanCounterValues c = Run(4);
    // Three failed tries and the fourth under HKEY_USERS; four for the missing key.
    EXPECT_EQ(c.objectsScanned, 4 + 4);
    EXPECT_EQ(c.registryKeysRecognised, 1);
    EXPECT_EQ(engine->ProgressUnits(), 8);
    ThreatDefinition& d = *database.definitions()[0];
    EXPECT_TRUE(d.found);
    EXPECT_EQ(d.registryKeys[0].found, 1);
    EXPECT_EQ(d.registryKeys[1].found, 0);
    EXPECT_EQ(Listed(), std::vector<std::string>{"Registry Key .Default\\Software\\OnlyUsers"});
}

TEST_F(ScanTest, RegistryValuesMatchByNameAndDataWithTheDecodedSecondTryOnlyUnderHkcu) {
    Load(
        "<NA><SW NAME=\"Hijack\"><REGVALUES>"
        "<REGVALUE NAME=\"Software\\T\\Encoded:@:Bad Site\"/>"
        "<REGVALUE NAME=\"Software\\M\\Encoded:@:bad site\"/>"
        "<REGVALUE NAME=\"Software\\T\\Binary\"/>"
        "<REGVALUE NAME=\"Software\\T\\Long\"/>"
        "<REGVALUE NAME=\"Software\\T\\Plain:@:EVIL\"/>"
        "<REGVALUE NAME=\"Software\\T\\Missing\"/>"
        "</REGVALUES></SW></NA>");
    SetValue(RootKey::CurrentUser, "Software\\T", "Encoded", REG_SZ, "http://x/?q=BAD%20site%zz");
    SetValue(RootKey::LocalMachine, "Software\\M", "Encoded", REG_SZ, "http://x/?q=bad%20site");
    SetValue(RootKey::CurrentUser, "Software\\T", "Binary", REG_BINARY, std::string("\0\1\2", 3));
    SetValue(RootKey::CurrentUser, "Software\\T", "Long", REG_BINARY, std::string(1025, 'a'));
    SetValue(RootKey::LocalMachine, "Software\\T", "Plain", REG_SZ, "an evil page");
    ScanCounterValues c = Run(4);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"Registry Value Software\\T\\Encoded:@:Bad Site",
                                                  "Registry Value Software\\T\\Binary",
                                                  "Registry Value Software\\T\\Plain:@:EVIL"}));
    EXPECT_EQ(c.registryValuesRecognised, 3);
    // HKCU then HKLM for every entry, HKCU alone for the two found there.
    // HKCU alone for the two found there, HKCU and HKLM for the other four.
    EXPECT_EQ(c.objectsScanned, 1 + 2 + 1 + 2 + 2 + 2);
    const ThreatDefinition& d = *database.definitions()[0];
    EXPECT_EQ(d.registryValues[1].found, 0);
    EXPECT_EQ(d.registryValues[3].found, 0);
    EXPECT_EQ(PercentDecode("a%41%4a%g1%"), "aAJg1");
}

// A value named by wildcard lists every value its pattern names, under its
// own name; a name holding a backslash (which would read back as another
// value where the row is removed) is not listed. Older readers ignore MATCH
// and look for a value named "ntkd*", which nobody plants.
TEST_F(ScanTest, RegistryValuesNamedByWildcardListEachMatchingValue) {
    Load(
        "<NA><SW NAME=\"Leviathan\"><REGVALUES>"
        "<REGVALUE NAME=\"Software\\Run\\ntkd*\" MATCH=\"wildcard\"/>"
        "<REGVALUE NAME=\"Software\\Run\\x?z:@:evil\" MATCH=\"wildcard\"/>"
        "</REGVALUES></SW></NA>");
    SetValue(RootKey::CurrentUser, "Software\\Run", "ntkd", REG_SZ, "c:\\a.exe");
    SetValue(RootKey::LocalMachine, "Software\\Run", "NTKD.updater", REG_SZ, "c:\\b.exe");
    SetValue(RootKey::CurrentUser, "Software\\Run", "ntkd\\x", REG_SZ, "c:\\c.exe");
    SetValue(RootKey::CurrentUser, "Software\\Run", "xyz", REG_SZ, "an evil page");
    SetValue(RootKey::CurrentUser, "Software\\Run", "xaz", REG_SZ, "harmless");
    SetValue(RootKey::CurrentUser, "Software\\Run", "xntkd", REG_SZ, "c:\\d.exe");
    Run(4);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"Registry Value Software\\Run\\ntkd",
                                                  "Registry Value Software\\Run\\NTKD.updater",
                                                  "Registry Value Software\\Run\\xyz:@:evil"}));
}

// A value named by expression is looked for in the key its literal start
// names, in every profile and the machine's keys, as a wildcard name is.
TEST_F(ScanTest, RegistryValuesNamedByExpressionListEachMatchingValue) {
    Load(
        "<NA><SW NAME=\"Leviathan\"><EXPRESSIONS><EXPRESSION FOR=\"regvalue\" "
        "MATCH=\"^Software\\\\Run\\\\ntkd[0-9]+$\" EXCEPT=\"ntkd0\"/>"
        "</EXPRESSIONS></SW></NA>");
    SetValue(RootKey::CurrentUser, "Software\\Run", "ntkd12", REG_SZ, "c:\\a.exe");
    SetValue(RootKey::LocalMachine, "Software\\Run", "NTKD7", REG_SZ, "c:\\b.exe");
    SetValue(RootKey::CurrentUser, "Software\\Run", "ntkd0", REG_SZ, "c:\\c.exe");
    SetValue(RootKey::CurrentUser, "Software\\Run", "ntkdx", REG_SZ, "c:\\d.exe");
    SetValue(RootKey::CurrentUser, "Software\\Other", "ntkd1", REG_SZ, "c:\\e.exe");
    Run(4);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"Registry Value Software\\Run\\ntkd12",
                                                  "Registry Value Software\\Run\\NTKD7"}));
}

// An entry with conditions lists an object that meets all of them and no
// exclusion: not one that meets one of two, nor one an exclusion matches.
TEST_F(ScanTest, EntriesWithConditionsListOnlyObjectsMeetingAllAndNoExclusion) {
    Load(
        "<NA><SW NAME=\"Conditions\"><DANGER NAME=\"High\"/><DESCRIPTION NAME=\"d\"/>"
        "<CONDITIONAL>"
        "<FILE NAME=\"dump.dmp\"><IF ON=\"path\" HOW=\"contains\" TEXT=\"\\Temp\\\"/>"
        "<UNLESS><IF ON=\"path\" HOW=\"contains\" TEXT=\"\\keep\\\"/></UNLESS></FILE>"
        "<REGVALUE NAME=\"Software\\Run\\ntkd*\" MATCH=\"wildcard\">"
        "<IF ON=\"data\" HOW=\"startswith\" TEXT=\"c:\\users\\\"/>"
        "<IF ON=\"data\" HOW=\"endswith\" TEXT=\".exe\"/>"
        "<UNLESS><IF ON=\"data\" HOW=\"contains\" TEXT=\"\\good\\\"/></UNLESS></REGVALUE>"
        "<REGVALUE NAME=\"Software\\Run\\fixed\">"
        "<IF ON=\"data\" HOW=\"equals\" TEXT=\"rundll32 x,Start\"/></REGVALUE>"
        "<REGVALUE NAME=\"Software\\Run\\off*\" MATCH=\"wildcard\">"
        "<IF ON=\"dword\" HOW=\"equals\" TEXT=\"0\"/></REGVALUE>"
        "</CONDITIONAL></SW></NA>");
    SetValue(RootKey::CurrentUser, "Software\\Run", "ntkd1", REG_SZ, "C:\\Users\\a\\x.exe");
    SetValue(RootKey::CurrentUser, "Software\\Run", "ntkd2", REG_SZ, "C:\\Users\\a\\x.dll");
    SetValue(RootKey::CurrentUser, "Software\\Run", "ntkd3", REG_SZ, "C:\\Users\\good\\x.exe");
    SetValue(RootKey::LocalMachine, "Software\\Run", "fixed", REG_SZ, "rundll32 x,Start");
    SetValue(RootKey::CurrentUser, "Software\\Run", "fixed", REG_SZ, "rundll32 x,Start now");
    // A number compares a REG_DWORD's, not the same bytes of another type.
    SetValue(RootKey::CurrentUser, "Software\\Run", "off1", REG_DWORD, std::string(4, '\0'));
    SetValue(RootKey::CurrentUser, "Software\\Run", "off2", REG_DWORD, std::string("\1\0\0\0", 4));
    SetValue(RootKey::CurrentUser, "Software\\Run", "off3", REG_BINARY, std::string(4, '\0'));
    Run(4);
    // The rows carry a text the data must hold, which removal checks again.
    EXPECT_EQ(Listed(),
              (std::vector<std::string>{"Registry Value Software\\Run\\ntkd1:@:c:\\users\\",
                                        "Registry Value Software\\Run\\fixed:@:rundll32 x,Start",
                                        "Registry Value Software\\Run\\off1"}));
    prefix.WriteFile("C:\\Temp\\dump.dmp", "1");
    prefix.WriteFile("C:\\Temp\\Keep\\dump.dmp", "1");
    prefix.WriteFile("C:\\Other\\dump.dmp", "1");
    Run(6);
    EXPECT_EQ(Listed(), std::vector<std::string>{"File C:\\Temp\\dump.dmp"});
}

// The character after a dropped "%" is copied as it stands, as GetRegValue
// reads it: "ev%%69l" is no "evil".
TEST_F(ScanTest, RegistryValuesPhaseCopiesTheCharacterAfterADroppedPercent) {
    Load(
        "<NA><SW NAME=\"Hijack\"><REGVALUES>"
        "<REGVALUE NAME=\"Software\\T\\Doubled:@:evil\"/>"
        "<REGVALUE NAME=\"Software\\T\\Single:@:evil\"/>"
        "</REGVALUES></SW></NA>");
    SetValue(RootKey::CurrentUser, "Software\\T", "Doubled", REG_SZ, "ev%%69l");
    SetValue(RootKey::CurrentUser, "Software\\T", "Single", REG_SZ, "ev%69l");
    Run(4);
    EXPECT_EQ(Listed(), std::vector<std::string>{"Registry Value Software\\T\\Single:@:evil"});
    EXPECT_EQ(PercentDecode("ev%%69l"), "ev%69l");
}

TEST_F(ScanTest, DeepScanFindsValuesBelowClsidTwoLevelsDown) {
    Load(
        "<NA><SW NAME=\"Bho\"><REGVALUES>"
        "<REGVALUE NAME=\"\\{B0}\\InprocServer32\\ThreadingModel\"/>"
        "<REGVALUE NAME=\"\\{B0}\\InprocServer32\\Other\"/>"
        "<REGVALUE NAME=\"\\{B0}\\InprocServer32\\Deeper\\Value\"/>"
        "</REGVALUES></SW></NA>");
    SetValue(RootKey::LocalMachine, "Software\\Classes\\CLSID\\{B0}\\InprocServer32",
             "ThreadingModel", REG_SZ, "Both");
    SetValue(RootKey::LocalMachine, "Software\\Classes\\CLSID\\{B0}\\InprocServer32", "", REG_SZ,
             "C:\\bho.dll");
    SetValue(RootKey::LocalMachine, "Software\\Classes\\CLSID\\{B0}\\InprocServer32\\Deeper",
             "Value", REG_SZ, "x");
    SetValue(RootKey::LocalMachine, "Software\\Classes\\Interface\\{I1}", "", REG_SZ, "i");
    settings->WriteInt(setting::kCustScanDeep, 1);
    ScanCounterValues c = Run(2);
    EXPECT_EQ(Listed(),
              std::vector<std::string>{"Registry Value \\{B0}\\InprocServer32\\ThreadingModel"});
    EXPECT_EQ(c.registryValuesRecognised, 1);
    // Keys \{B0}, \{B0}\InprocServer32 (two values), \{I1} (one value, no entry).
    EXPECT_EQ(c.objectsScanned, 3 + 2);
    EXPECT_EQ(engine->ProgressUnits(), 5);
    std::vector<std::string> deep;
    for (const std::string& e : observer.events)
        if (e.rfind("deep ", 0) == 0) deep.push_back(e);
    EXPECT_EQ(deep, (std::vector<std::string>{"deep \\{B0}", "deep \\{B0}\\InprocServer32",
                                              "deep \\{I1}"}));
    EXPECT_EQ(observer.Phases(), std::vector<std::string>{"phase 4"});
}

// --- Hosts files ---

TEST_F(ScanTest, HostsEntriesMatchOnlyAfterTheStartOfALine) {
    Load(
        "<NA><SW NAME=\"Redirect\"><HOSTS><HOST NAME=\"bad.example\"/>"
        "<HOST NAME=\"alone.example\"/><HOST NAME=\"new.example\"/></HOSTS></SW></NA>");
    prefix.WriteFile("C:\\windows\\system32\\drivers\\etc\\hosts",
                     "127.0.0.1 localhost\r\n127.0.0.1 bad.example\r\nalone.example\r\n");
    prefix.WriteFile("C:\\windows\\hosts.new", "0.0.0.0\tnew.example\n");
    settings->WriteInt(setting::kLastScanMode, 1);
    ScanCounterValues c = Run(1);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"Host File Item bad.example",
                                                  "Host File Item new.example"}));
    // Hosts lines are neither registry keys nor values.
    EXPECT_EQ(c.objectsRecognised, 2);
    EXPECT_EQ(c.registryKeysRecognised + c.registryValuesRecognised, 0);
    EXPECT_EQ(engine->HostsFiles(),
              (std::vector<std::string>{"C:\\windows\\hosts.new",
                                        "C:\\windows\\system32\\drivers\\etc\\hosts"}));
    EXPECT_EQ(database.definitions()[0]->hostEntries[1].found, 0);
}

// --- Folder walks ---

TEST_F(ScanTest, SmartModeWalksWindowsAndSystemAtTopLevelOnlyAndTheRestDeep) {
    Load(
        "<NA><SW NAME=\"Files\"><FILES>"
        "<FILE PATH=\"%windir%\\top.dll\"/><FILE PATH=\"%windir%\\Sub\\deep.dll\"/>"
        "<FILE PATH=\"%system%\\sys.dll\"/><FILE PATH=\"%system%\\drivers\\drv.sys\"/>"
        "<FILE "
        "PATH=\"%userprofile%\\AppData\\Local\\Microsoft\\Windows\\INetCookies\\Sub\\*.txt\"/>"
        "<FILE PATH=\"%appdata%\\Microsoft\\AddIns\\infocardadd.cpl\"/>"
        "<FILE PATH=\"%appdata%\\Microsoft\\AddIns\\Absent.cpl\"/>"
        "</FILES></SW>"
        "<SW NAME=\"Owner\"><DIRECTORIES><DIR NAME=\"%programfiles%\\Bad\"/></DIRECTORIES>"
        "<FILES><FILE PATH=\"%programfiles%\\Bad\\Sub\\known.exe\"/></FILES></SW></NA>");
    prefix.WriteFile("C:\\windows\\top.dll", "1");
    prefix.WriteFile("C:\\windows\\Sub\\deep.dll", "1");
    prefix.WriteFile("C:\\windows\\system32\\sys.dll", "1");
    prefix.WriteFile("C:\\windows\\system32\\drivers\\drv.sys", "1");
    const std::string cookies = "C:\\users\\root\\AppData\\Local\\Microsoft\\Windows\\INetCookies";
    prefix.WriteFile(cookies + "\\Sub\\c.txt", "1");
    prefix.WriteFile("C:\\Program Files\\Bad\\a.txt", "1");
    prefix.WriteFile("C:\\Program Files\\Bad\\b.dat", "1");
    prefix.WriteFile("C:\\Program Files\\Bad\\Sub\\known.exe", "1");
    prefix.WriteFile("C:\\Program Files\\Bad\\Sub\\unknown.exe", "1");
    std::string appData;
    ASSERT_TRUE(machine->shell().GetFolderPath(CSIDL_APPDATA, &appData));
    const std::string addIn = appData + "\\Microsoft\\AddIns\\infocardadd.cpl";
    prefix.WriteFile(addIn, "1");
    ScanCounterValues c = Run(1);
    // The walks, then one look-up for each exact path no walk met (the
    // pattern of cookies is none).
    EXPECT_EQ(Listed(), (std::vector<std::string>{
                            "File C:\\windows\\top.dll",
                            "File C:\\windows\\system32\\sys.dll",
                            "File " + cookies + "\\Sub\\c.txt",
                            "Folder C:\\Program Files\\Bad",
                            "File C:\\Program Files\\Bad\\a.txt",
                            "File C:\\Program Files\\Bad\\b.dat",
                            "File C:\\Program Files\\Bad\\Sub\\known.exe",
                            "File C:\\windows\\Sub\\deep.dll",
                            "File C:\\windows\\system32\\drivers\\drv.sys",
                            "File " + addIn,
                        }));
    EXPECT_EQ(c.foldersRecognised, 1);
    EXPECT_EQ(c.filesRecognised, 9);
    EXPECT_EQ(engine->Results().listedObjects[4]->definition->name, "Owner");
    EXPECT_EQ(observer.Phases(), (std::vector<std::string>{"phase 1", "phase 0", "phase 1",
                                                           "phase 1", "phase 3", "phase 1"}));
    // The folder walk and the process scan leave the definitions' flags alone.
    EXPECT_FALSE(database.definitions()[0]->found);
}

TEST_F(ScanTest, FilesModeWalksEveryDriveButNotLinksOrTheKernelsFileSystems) {
    Load(
        "<NA><SW NAME=\"Files\"><FILES><FILE NAME=\"evil.exe\"/>"
        "<FILE NAME=\"*\\*\\evil.exe\"/><FILE NAME=\"*\\*\\*\\evil.exe\"/></FILES></SW></NA>");
    prefix.WriteFile("C:\\evil.exe", "1");
    std::filesystem::create_directories(prefix.Host("data/inner"));
    std::ofstream(prefix.Host("data/inner/evil.exe")) << "x";
    // A loop back to the drive's root and a link to the kernel's files.
    std::filesystem::create_directory_symlink(prefix.Host("data"), prefix.Host("data/inner/loop"));
    std::filesystem::create_directory_symlink("/proc", prefix.Host("data/proc-link"));
    prefix.AddDrive('d', prefix.Host("data"));
    prefix.AddDrive('p', "/proc");
    prefix.AddDrive('s', "/sys");
    ScanCounterValues c = Run(6);
    EXPECT_EQ(Listed(),
              (std::vector<std::string>{"File C:\\evil.exe", "File D:\\inner\\evil.exe"}));
    EXPECT_EQ(observer.Phases(), std::vector<std::string>{"phase 2"});
    EXPECT_LT(c.objectsScanned, 200);  // no entry of /proc or /sys was met
    EXPECT_EQ(Log().rfind("Starting Scanning (Drives Scan Mode)\n", 0), 0u);

    EXPECT_TRUE(ScanEngine::IsSkippedHostFolder("/proc"));
    EXPECT_TRUE(ScanEngine::IsSkippedHostFolder("/dev/shm/"));
    EXPECT_TRUE(ScanEngine::IsSkippedHostFolder("/sys/fs/cgroup"));
    EXPECT_FALSE(ScanEngine::IsSkippedHostFolder("/processes"));
    EXPECT_FALSE(ScanEngine::IsSkippedHostFolder("/"));
}

// A file-name list's expression (a character class no wildcard states) finds
// its files in the walk; its exclusion keeps the one it names out.
TEST_F(ScanTest, FilesModeListsFilesByPathExpressionLessTheExcluded) {
    Load(
        "<NA><SW NAME=\"Downloader\"><EXPRESSIONS>"
        "<EXPRESSION FOR=\"file\" MATCH=\"(TEMP|TMP|Temp)\\\\dl_[0-9]{2}\\.exe\" "
        "EXCEPT=\"\\\\dl_00\\.\"/></EXPRESSIONS></SW></NA>");
    prefix.WriteFile("C:\\users\\a\\Temp\\dl_42.exe", "1");
    prefix.WriteFile("C:\\users\\a\\Temp\\dl_00.exe", "1");
    prefix.WriteFile("C:\\users\\a\\Temp\\dl_4x.exe", "1");
    prefix.WriteFile("C:\\users\\a\\Documents\\dl_42.exe", "1");
    Run(6);
    EXPECT_EQ(Listed(), std::vector<std::string>{"File C:\\users\\a\\Temp\\dl_42.exe"});
}

TEST_F(ScanTest, FilesModeFindsDeepTracesInFoldersThatDifferOnlyInCase) {
    Load(
        "<NA><SW NAME=\"Sized\"><FILES><FILE PATH=\"C:\\lvl1\\lvl2\\Lvl3\\ro.dll\" SIZE=\"5\"/>"
        "<FILE PATH=\"C:\\lvl1\\*\\deep\\*.exe\"/></FILES></SW>"
        "<SW NAME=\"Owner\"><DIRECTORIES><DIR NAME=\"C:\\lvl1\\Bad\"/></DIRECTORIES></SW></NA>");
    prefix.WriteFile("C:\\lvl1\\lvl2\\Lvl3\\ro.dll", "12345");
    chmod(prefix.Host("drive_c/lvl1/lvl2/Lvl3/ro.dll").c_str(), 0444);
    prefix.WriteFile("C:\\lvl1\\lvl2\\lvl3\\ro.dll", "1234");  // the twin has another size
    prefix.WriteFile("C:\\lvl1\\Bad\\a.txt", "a");
    prefix.WriteFile("C:\\lvl1\\bad\\b.txt", "b");
    prefix.WriteFile("C:\\lvl1\\bad\\deep\\x.exe", "x");
    // A folder whose host name has no code-page spelling is walked under its
    // mapped name, and what lies below it is met.
    std::filesystem::create_directories(prefix.Host("drive_c/lvl1/\xe6\x97\xa5/deep"));
    std::ofstream(prefix.Host("drive_c/lvl1/\xe6\x97\xa5/deep/y.exe")) << "y";
    Run(6);
    EXPECT_EQ(Listed(), (std::vector<std::string>{
                            "Folder C:\\lvl1\\Bad",
                            "File C:\\lvl1\\Bad\\a.txt",
                            "Folder C:\\lvl1\\bad",
                            "File C:\\lvl1\\bad\\b.txt",
                            "File C:\\lvl1\\bad\\deep\\x.exe",
                            "File C:\\lvl1\\lvl2\\Lvl3\\ro.dll",
                            "File C:\\lvl1\\\xA4"
                            "E6\xA4"
                            "97\xA4"
                            "A5\\deep\\y.exe",
                        }));
    EXPECT_EQ(engine->Results().listedObjects[4]->definition->name, "Sized");
}

// Sizes are read only for names an entry with a size could match: through
// a link its target's, and below the levels a walk holds open as above them.
TEST_F(ScanTest, FilesModeMatchesSizesThroughLinksAndInDeepFolders) {
    std::string deep = "C:\\chain";
    for (int level = 0; level < 70; ++level) deep += "\\x";
    std::string sized;
    for (const std::string& path :
         {deep + "\\deep.dll", std::string("C:\\chain\\deep.dll"),
          std::string("C:\\dir\\linked.dll"), std::string("C:\\dir\\dangling.dll")})
        sized += "<FILE PATH=\"" + path + "\" SIZE=\"" +
                 (path.find("linked") != std::string::npos ? "4" : "3") + "\"/>";
    Load("<NA><SW NAME=\"Sized\"><FILES>" + sized + "</FILES></SW></NA>");
    prefix.WriteFile(deep + "\\deep.dll", "abc");
    prefix.WriteFile("C:\\chain\\deep.dll", "ab");  // another size
    prefix.WriteFile("C:\\target.bin", "abcd");
    prefix.MakeFolder("C:\\dir");
    std::filesystem::create_symlink(prefix.Host("drive_c/target.bin"),
                                    prefix.Host("drive_c/dir/linked.dll"));
    std::filesystem::create_symlink(prefix.Host("drive_c/missing"),
                                    prefix.Host("drive_c/dir/dangling.dll"));
    Run(6);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"File " + deep + "\\deep.dll",
                                                  "File C:\\dir\\linked.dll"}));
}

// --- Processes ---

ProcessSnapshot Process(uint32_t pid, std::string exe, std::vector<std::string> modules) {
    ProcessSnapshot p;
    p.pid = pid;
    p.exePath = std::move(exe);
    p.modules = std::move(modules);
    return p;
}

TEST_F(ScanTest, ProcessScanChecksNamesAndModulesAndLogsEachProcessOnce) {
    Load(
        "<NA><SW NAME=\"Bad\"><FILES><FILE PATH=\"C:\\Bad\\bad.exe\"/>"
        "<FILE PATH=\"C:\\Bad\\hook.dll\"/></FILES></SW></NA>");
    machine->SetProcessTable(MakeFixedProcessTable({
        Process(10, "C:\\Bad\\bad.exe", {"C:\\Bad\\bad.exe", "C:\\windows\\system32\\k.dll"}),
        Process(11, "C:\\windows\\notepad.exe", {}),
        Process(12, "C:\\windows\\explorer.exe",
                {"C:\\windows\\explorer.exe", "C:\\Bad\\hook.dll"}),
    }));
    ScanCounterValues c = Run(5);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"File C:\\Bad\\bad.exe", "File C:\\Bad\\bad.exe",
                                                  "File C:\\Bad\\hook.dll"}));
    EXPECT_EQ(c.processesRecognised, 3);
    EXPECT_EQ(c.objectsScanned, 3 + 4);
    EXPECT_EQ(Log(),
              "Starting Scanning (Process Scan Mode)\nScanning running processes.\n"
              "1) Bad\nName:\t\tC:\\Bad\\bad.exe\nType:\t\tFile\n"
              "1) : C:\\Bad\\bad.exe\n"
              "2) Bad\nName:\t\tC:\\Bad\\bad.exe\nType:\t\tFile\n"
              "2) : C:\\windows\\notepad.exe\n"
              "3) : C:\\windows\\explorer.exe\n"
              "3) Bad\nName:\t\tC:\\Bad\\hook.dll\nType:\t\tFile\n"
              "Scan Finished\n");
}

TEST_F(ScanTest, StopDuringTheProcessScanEntersTheRestAndStillEndsTheLog) {
    Load(
        "<NA><SW NAME=\"Bad\"><DIRECTORIES><DIR NAME=\"%windir%\"/></DIRECTORIES>"
        "<REGKEYS><REGKEY NAME=\"Software\"/></REGKEYS><HOSTS><HOST NAME=\"localhost\"/></HOSTS>"
        "</SW></NA>");
    machine->SetProcessTable(MakeFixedProcessTable(
        {Process(1, "C:\\a.exe", {}), Process(2, "C:\\b.exe", {}), Process(3, "C:\\c.exe", {})}));
    bool inProcesses = false;
    observer.onPhase = [&](int phase) { inProcesses = phase == 0; };
    observer.onProgress = [&](ScanProgress) {
        if (inProcesses) enginePtr->RequestStop();
    };
    ScanCounterValues c = Run(1);
    EXPECT_TRUE(engine->StopRequested());
    EXPECT_EQ(c.objectsScanned, 1);  // the first process only
    std::string log = Log();
    EXPECT_EQ(log.rfind("Starting Scanning (Smart Scan Mode)\n", 0), 0u);
    EXPECT_NE(log.find("1) : C:\\a.exe\n"), std::string::npos);
    EXPECT_EQ(log.find("2) : C:\\b.exe\n"), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 14), "Scan Finished\n");
    // Every later phase was entered; the Windows folder's walk still made its
    // folder test, while the definitions' folders phase stopped at once.
    EXPECT_EQ(observer.Phases(), (std::vector<std::string>{"phase 1", "phase 0", "phase 1",
                                                           "phase 1", "phase 3", "phase 1"}));
    EXPECT_EQ(Listed(),
              (std::vector<std::string>{"Host File Item localhost", "Folder C:\\windows"}));
    EXPECT_EQ(observer.events.back(), "end");
}

TEST_F(ScanTest, ALiveProcessOfThePrefixIsListedMatchedAndKilledByName) {
    Load(
        "<NA><SW NAME=\"Bad\"><FILES><FILE PATH=\"%programfiles%\\Bad\\bad.exe\"/></FILES>"
        "</SW></NA>");
    machine->SetProcessTable(MakeProcProcessTable(machine->PrefixPath(), machine->files()));
    testing::FakeWindowsProgram process(machine->PrefixPath(), "C:\\Program Files\\Bad\\bad.exe");
    ASSERT_GT(process.pid(), 0);
    // Wait until exec has given the process its Windows name.
    bool seen = false;
    for (int i = 0; i < 200 && !seen; ++i) {
        std::vector<ProcessSnapshot> now;
        machine->processes().List(&now);
        for (const ProcessSnapshot& p : now)
            seen |= p.pid == static_cast<uint32_t>(process.pid()) &&
                    p.exePath == "C:\\Program Files\\Bad\\bad.exe";
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(seen);
    Run(5);
    ASSERT_FALSE(Listed().empty());
    EXPECT_EQ(Listed()[0], "File C:\\Program Files\\Bad\\bad.exe");
    EXPECT_NE(Log().find(") : C:\\Program Files\\Bad\\bad.exe\n"), std::string::npos);

    EXPECT_TRUE(engine->Processes().KillProcessByName("D:\\elsewhere\\BAD.EXE"));
    EXPECT_TRUE(process.WaitKilled());
    EXPECT_FALSE(engine->Processes().KillProcessByName("C:\\Program Files\\Bad\\bad.exe"));
}

}  // namespace
}  // namespace tolvane
