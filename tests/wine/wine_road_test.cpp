// The road on real Wine. One prefix, made by `wine wineboot -i` for the whole
// suite; the steps run in order and each builds on the one before:
//   0. the fresh prefix shows nothing in a Smart, Registry, Drives & Folders
//      (C:) and Memory scan with the shipped definitions; Wine's own files
//      below C:\windows are known by their bytes; a copy of it with
//      traces planted, its registry converted into regf hives laid out as a
//      Windows installation over the same C: files, lists the same rows as
//      the copy in a Smart, a Registry and a deep registry scan;
//   1. traces planted with Wine's own tools (`reg add` run by Wine, files,
//      a hosts line) and a real Windows program started with `wine`, which
//      loads its DLL and keeps running;
//   2. `tolvane --headless scan smart` lists the program by name and module,
//      its DLL and every trace;
//   3. a removal while the prefix's wineserver runs is refused, saying how
//      to stop the server, and changes nothing;
//   4. after `wineserver -k` the removal (with a backup) deletes everything,
//      and `wine reg query` no longer finds the keys and values and sees the
//      reset start page;
//   5. the restore brings the keys back and Wine reads the same data;
//   6. the restored program runs again and the removal's process killer
//      ends it;
//   7. the advanced scan's scripts clean the same prefix;
//   8. Wine still starts and rewrites its registry, which Tolvane still
//      reads without a problem;
//   9. a file the running program holds is queued for the next start; the
//      program ends with its server, and `wine wineboot` runs the RunOnce
//      entry's Tolvane.exe, which runs `tolvane -b` on the prefix: the file
//      is gone, and Wine has removed the entry.
// Every Wine call runs under `timeout`; the teardown kills the prefix's
// wineserver and removes the prefix. Exit code 77 (CTest: skipped) when Wine
// or the test program is missing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "backup/backup_archive.h"
#include "backup/backup_test_support.h"
#include "backup/restore.h"
#include "base/codepage.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "discovery/open_machine.h"
#include "host/sha256.h"
#include "machine/machine.h"
#include "machine/registry.h"
#include "machine/wine/prefix_hive_set.h"
#include "machine/wine/wine_hive.h"
#include "machine/wine/wineserver_lock.h"
#include "removal/object_remover.h"
#include "removal/removal_flow.h"
#include "removal/removal_test_support.h"
#include "scan/scan_engine.h"
#include "script/advanced_scan.h"
#include "settings/settings_store.h"
#include "testing/regf_builder.h"
#include "testing/run_command.h"
#include "testing/temp_folder.h"

namespace tolvane {
namespace {

using testing::ReadHostFile;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kProgram = "C:\\Program Files\\Velvet Gazer\\vgazer.exe";
constexpr const char* kProgramFolder = "C:\\Program Files\\Velvet Gazer";
constexpr const char* kHook = "C:\\windows\\system32\\vgzhook.dll";
constexpr const char* kToolbarFolder = "C:\\Program Files\\Hollow Compass";
constexpr const char* kToolbar = "C:\\Program Files\\Hollow Compass\\hcbar.dll";
constexpr const char* kHostLine = "203.0.113.24 www.drifter-search.example";
constexpr const char* kClsid = "{5F1C2A7E-3B9D-4E61-A0C4-7D2E9B18F3A6}";
constexpr const char* kHijackedStartPage = "http://www.drifter-search.example/start?id=4471";

std::string Quote(const std::string& text) {
    return testing::ShellQuote(text);
}

struct ShellResult {
    int status = -1;  // exit status; 124 when the time limit ended it
    std::string output;
};

// Runs a bash script under `timeout`, collecting stdout and stderr.
ShellResult Shell(const std::string& script, int seconds) {
    ShellResult result;
    std::string command =
        "timeout -k 5 " + std::to_string(seconds) + " bash -c " + Quote(script) + " 2>&1";
    result.status = testing::RunCommand(command, &result.output);
    return result;
}

// ---- A Wine registry as a Windows installation's hives ----------------------

// hivex names keys and values in UTF-8.
std::string Utf8Of(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size())
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
        } else if (c < 0x10000) {
            out +=
                {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                 static_cast<char>(0x80 | (c & 0x3F))};
        } else {
            out +=
                {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                 static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
        }
    }
    return out;
}

// Copies a key with its values and subkeys into the hive below path; returns
// the keys written. `skip` leaves out a subkey (with all below it).
size_t CopyKey(const HiveKey& key, testing::RegfBuilder& hive, const std::string& path,
               const std::function<bool(const std::string& path)>& skip) {
    hive.Key(path);
    for (const HiveValue& value : key.Values())
        hive.Raw(path, Utf8Of(value.name), value.type, value.data);
    size_t written = 1;
    for (const auto& sub : key.Subkeys()) {
        const std::string subPath = (path.empty() ? "" : path + "\\") + Utf8Of(sub->name);
        if (!skip(subPath)) written += CopyKey(*sub, hive, subPath, skip);
    }
    return written;
}

WineHive ParseRegistryFile(const std::string& path) {
    WineHive hive;
    std::vector<std::string> problems;
    hive.Parse(ReadHostFile(path), path, &problems);
    EXPECT_TRUE(problems.empty()) << problems.front();
    return hive;
}

// Writes the registry of the Wine prefix at `prefix` as regf hives where
// Windows keeps them below drive_c: system.reg's Software and System as
// SOFTWARE and SYSTEM (without the link CurrentControlSet, which the control
// set Select names stands for), userdef.reg as DEFAULT, user.reg as the
// user's NTUSER.DAT without Software\Classes, which goes to UsrClass.dat.
// Returns the keys written.
size_t ConvertToHives(const std::string& prefix, const std::string& user) {
    const std::string c = prefix + "/drive_c";
    const std::string config = c + "/windows/system32/config";
    const std::string profile = c + "/users/" + user;
    fs::create_directories(config);
    fs::create_directories(profile + "/AppData/Local/Microsoft/Windows");
    auto none = [](const std::string&) { return false; };
    size_t keys = 0;
    WineHive machine = ParseRegistryFile(prefix + "/system.reg");
    for (const auto& [key, file] : {std::pair{u"Software", "SOFTWARE"}, {u"System", "SYSTEM"}}) {
        const HiveKey* top = machine.Find(key);
        if (!top) continue;
        testing::RegfBuilder hive(config + "/" + file);
        keys += CopyKey(*top, hive, "",
                        [](const std::string& path) { return path == "CurrentControlSet"; });
        hive.Commit();
    }
    testing::RegfBuilder defaultUser(config + "/DEFAULT");
    keys += CopyKey(ParseRegistryFile(prefix + "/userdef.reg").root(), defaultUser, "", none);
    defaultUser.Commit();
    WineHive userReg = ParseRegistryFile(prefix + "/user.reg");
    testing::RegfBuilder ntuser(profile + "/NTUSER.DAT");
    keys += CopyKey(userReg.root(), ntuser, "",
                    [](const std::string& path) { return path == "Software\\Classes"; });
    ntuser.Commit();
    testing::RegfBuilder classes(profile + "/AppData/Local/Microsoft/Windows/UsrClass.dat");
    if (const HiveKey* userClasses = userReg.Find(u"Software\\Classes"))
        keys += CopyKey(*userClasses, classes, "", none);
    classes.Commit();
    return keys;
}

// Plants traces of the definitions on the machine, each for another
// definition: `each` keys and `each` values with the data they look for
// (under HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER by turns), and `each` files.
void PlantDefinitionTraces(Machine& machine, const ThreatDatabase& database, size_t each) {
    Registry& registry = machine.registry();
    auto plain = [](std::string_view text) {
        return text.find_first_of("*?%") == std::string::npos;
    };
    auto software = [&](std::string_view path) {
        return plain(path) && path.size() > 9 && EqualsNoCase(path.substr(0, 9), "Software\\");
    };
    auto root = [](size_t n) {
        return Registry::Root(n % 2 ? RootKey::CurrentUser : RootKey::LocalMachine);
    };
    size_t keys = 0, values = 0, files = 0;
    RegKey key;
    for (const auto& definition : database.definitions()) {
        if (keys == each) break;
        if (!definition->registryKeys.empty() && software(definition->registryKeys[0].path) &&
            registry.CreateKey(root(keys), definition->registryKeys[0].path, KEY_ALL_ACCESS,
                               &key) == ERROR_SUCCESS)
            ++keys;
    }
    for (const auto& definition : database.definitions()) {
        if (values == each) break;
        if (definition->registryValues.empty()) continue;
        const RegistryValueEntry& v = definition->registryValues[0];
        if (software(v.keyPath) && plain(v.valueName) && plain(v.dataPattern) &&
            registry.CreateKey(root(values), v.keyPath, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS &&
            registry.SetValue(key, v.valueName, REG_SZ, "<" + std::string(v.dataPattern) + ">") ==
                ERROR_SUCCESS)
            ++values;
    }
    for (const auto& definition : database.definitions()) {
        if (files == each) break;
        if (definition->files.empty() || definition->files[0].size != 0) continue;
        const std::string path(definition->files[0].path);
        std::optional<std::string> host =
            plain(path) ? machine.files().ToHostPath(path) : std::nullopt;
        std::error_code ignored;
        if (host) fs::create_directories(fs::path(*host).parent_path(), ignored);
        // Wine links Desktop and the other user folders to the home's: a
        // file planted through such a link would land outside the prefix
        // and outlive the test.
        const fs::path folder = fs::weakly_canonical(fs::path(*host).parent_path(), ignored);
        const std::string inside =
            fs::weakly_canonical(machine.PrefixPath(), ignored).string() + "/";
        if (host && folder.string().rfind(inside, 0) != 0) continue;
        if (host && (std::ofstream(*host, std::ios::binary) << "MZ planted")) ++files;
    }
    EXPECT_EQ(keys + values + files, 3 * each)
        << keys << " keys, " << values << " values, " << files << " files";
}

// The rows of one scan of the machine in this process ("TYPE\tOBJECT\tNAME"),
// then the objects it examined ("scanned N").
std::vector<std::string> ScanMachine(Machine& machine, ThreatDatabase& database, ScanMode mode) {
    SettingsStore settings(machine.registry());
    settings.WriteInt(setting::kLastScanMode, static_cast<int>(mode));
    settings.WriteInt(setting::kCustScanActive, 0);
    settings.WriteInt(setting::kCustScanRegistry, 0);
    settings.WriteInt(setting::kCustScanDeep, 1);
    settings.WriteInt(setting::kCustScanDrives, 0);
    ScanEngine engine(machine, database);
    engine.SetRegistryKeyPause(0ms);
    engine.RunScan();
    std::vector<std::string> rows;
    for (const DetectedObject* object : engine.Results().listedObjects)
        rows.push_back(std::to_string(StoredNumber(object->type)) + "\t" + object->objectText +
                       "\t" + std::string(object->definition ? object->definition->name : ""));
    rows.push_back("scanned " + std::to_string(engine.Counters().objectsScanned));
    return rows;
}

void LoadShippedDefinitions(const Machine& machine, ThreatDatabase* database) {
    EXPECT_TRUE(LoadDefinitionsFromContainer(
        ReadHostFile(std::string(TOLVANE_SHIPPED_DATA) + "/database.db"),
        PlaceholderFolders::FromShell(machine.shell()), database));
}

// What the road needs, or why it cannot run.
std::string MissingPrerequisite() {
    if (Shell("command -v wine && command -v wineserver", 10).status != 0)
        return "Wine is not installed (no wine and wineserver on PATH; "
               "scripts/install-deps.sh --with-wine installs it)";
    for (const char* file : {"vgazer.exe", "vgzhook.dll"}) {
        if (!fs::exists(fs::path(TOLVANE_WINPROG_DIR) / file))
            return std::string("the Windows test program was not built (no ") + file +
                   "; the mingw-w64 compiler x86_64-w64-mingw32-gcc was not found)";
    }
    if (access(TOLVANE_PROGRAM, X_OK) != 0) return "the tolvane program was not built";
    return "";
}

// One `wine reg` command and what Wine answered.
struct RegAnswer {
    int status = -1;
    std::string output;
    // The data column of the first line naming `value` (REG_SZ and the
    // like), or nullopt.
    std::optional<std::string> Data(const std::string& value) const {
        std::istringstream lines(output);
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::string start = "    " + value + "    ";
            if (line.rfind(start, 0) != 0) continue;
            size_t type = line.find("    ", start.size());
            if (type == std::string::npos) return std::string();
            return line.substr(type + 4);
        }
        return std::nullopt;
    }
};

class RealWineRoad : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        skipReason_ = MissingPrerequisite();
        if (!skipReason_.empty()) return;
        suiteStart_ = std::chrono::steady_clock::now();
        char pattern[] = "/tmp/tolvane-wine-road-XXXXXX";
        if (!mkdtemp(pattern)) {
            setupError_ = "no temporary folder";
            return;
        }
        prefix_ = pattern;
        ShellResult boot = Shell(Env() + "wine wineboot -i; " + Env() + "wineserver -w", 240);
        if (boot.status != 0 || !fs::exists(prefix_ + "/system.reg")) {
            setupError_ = "wine wineboot -i failed (status " + std::to_string(boot.status) +
                          "): " + boot.output;
            return;
        }
        std::cout << "[ wine     ] prefix " << prefix_ << " made in " << Seconds() << " s\n";
    }

    static void TearDownTestSuite() {
        if (prefix_.empty()) return;
        // Our program, should it still run, ends with the server.
        Shell(Env() + "wineserver -k; " + Env() + "wineserver -w; true", 30);
        machine_.reset();
        std::error_code ec;
        fs::remove_all(prefix_, ec);
        std::cout << "[ wine     ] whole road " << Seconds() << " s\n";
        prefix_.clear();
    }

    void SetUp() override {
        if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
        ASSERT_TRUE(setupError_.empty()) << setupError_;
        if (broken_) GTEST_SKIP() << "an earlier step of the road failed";
        stepStart_ = std::chrono::steady_clock::now();
    }
    void TearDown() override {
        if (HasFatalFailure()) broken_ = true;
        if (!IsSkipped()) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - stepStart_)
                          .count();
            std::cout << "[ wine     ] step took " << ms / 1000.0 << " s\n";
        }
    }

    static int Seconds() {
        return static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(
                                    std::chrono::steady_clock::now() - suiteStart_)
                                    .count());
    }
    static std::string Env() { return "WINEPREFIX=" + Quote(prefix_) + " WINEDEBUG=-all "; }
    static fs::path Host(const std::string& windowsPath) {
        std::optional<std::string> host = machine_->files().ToHostPath(windowsPath);
        return host ? fs::path(*host) : fs::path();
    }

    // Runs the commands as one batch file in one `wine cmd` (one Wine start
    // for all of them) and returns each command's answer.
    // cmd now and then fails to start a program on a busy machine ("Can't
    // recognize ...", status 9009): such a command never ran, so it is run
    // once more in a batch of its own.
    static std::vector<RegAnswer> WineBatch(const std::vector<std::string>& commands) {
        std::vector<RegAnswer> answers = WineBatchOnce(commands);
        for (size_t i = 0; i < answers.size(); ++i) {
            if (answers[i].status != kCmdCouldNotStart) continue;
            std::cout << "[ wine     ] cmd could not start `" << commands[i] << "`; again\n";
            answers[i] = WineBatchOnce({commands[i]})[0];
        }
        return answers;
    }
    static constexpr int kCmdCouldNotStart = 9009;
    static std::vector<RegAnswer> WineBatchOnce(const std::vector<std::string>& commands) {
        std::string batch = "@echo off\r\n";
        for (const std::string& command : commands)
            batch += command + "\r\necho @@status=%errorlevel%\r\n";
        const std::string file = prefix_ + "/tolvane-road.bat";
        std::ofstream(file, std::ios::binary) << batch;
        ShellResult run = Shell(
            Env() + "wine cmd /c " + Quote("Z:" + ReplaceSlashes(file)) + " </dev/null" +
                // With a program running the server stays: no wait then.
                (IsWineServerRunning(prefix_) ? std::string() : "; " + Env() + "wineserver -w"),
            120);
        std::vector<RegAnswer> answers;
        RegAnswer current;
        std::istringstream lines(run.output);
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.rfind("@@status=", 0) == 0) {
                current.status = std::atoi(line.c_str() + 9);
                answers.push_back(current);
                current = {};
            } else {
                current.output += line + "\n";
            }
        }
        EXPECT_EQ(answers.size(), commands.size())
            << "wine cmd ended early (status " << run.status << "): " << run.output;
        answers.resize(commands.size());
        return answers;
    }
    static std::string ReplaceSlashes(std::string path) {
        for (char& c : path) c = c == '/' ? '\\' : c;
        return path;
    }

    // The queries whose answers must be the same before the removal and
    // after the restore: the removed keys (with their values) and values.
    static std::vector<std::string> RestoredQueries() {
        return {
            "reg query \"HKLM\\SOFTWARE\\Velvet Gazer\" /s",
            "reg query \"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser "
            "Helper Objects\\" +
                std::string(kClsid) + "\" /s",
            "reg query \"HKLM\\Software\\Classes\\CLSID\\" + std::string(kClsid) + "\" /s",
            "reg query \"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\" /v QfHelper",
            "reg query \"HKCU\\Software\\Murmur Dial\" /s",
        };
    }
    static RegAnswer StartPage() {
        return WineBatch(
            {"reg query \"HKCU\\Software\\Microsoft\\Internet Explorer\\Main\" /v "
             "\"Start Page\""})[0];
    }

    // Starts the test program with `wine` (ended by `timeout` at the latest)
    // and waits until the machine shows it running with its DLL.
    static bool StartProgram(std::string* why) {
        Shell(Env() + "setsid timeout -k 5 300 wine " + Quote(kProgram) +
                  " </dev/null >/dev/null 2>&1 &",
              10);
        for (int tries = 0; tries < 300; ++tries) {
            std::vector<ProcessSnapshot> processes;
            if (machine_->processes().List(&processes)) {
                for (const ProcessSnapshot& p : processes) {
                    if (p.exePath != kProgram) continue;
                    for (const std::string& module : p.modules)
                        if (module == kHook) return true;
                }
            }
            std::this_thread::sleep_for(100ms);
        }
        *why = "the program did not show up running with " + std::string(kHook);
        return false;
    }
    static bool ProgramRuns() {
        std::vector<ProcessSnapshot> processes;
        machine_->processes().List(&processes);
        for (const ProcessSnapshot& p : processes)
            if (p.exePath == kProgram) return true;
        return false;
    }

    // A smart scan in this process: the rows of the results list.
    static testing::TestRows ScanRows(ScanEngine** engineOut = nullptr) {
        static std::unique_ptr<ScanEngine> engine;
        engine = std::make_unique<ScanEngine>(*machine_, database_);
        SettingsStore settings(machine_->registry());
        settings.WriteInt(setting::kLastScanMode, static_cast<int>(ScanMode::Smart));
        engine->SetRegistryKeyPause(0ms);
        engine->RunScan();
        testing::TestRows rows;
        for (const DetectedObject* object : engine->Results().listedObjects)
            rows.Add(object->type, object->objectText);
        if (engineOut) *engineOut = engine.get();
        return rows;
    }

    static std::string skipReason_;
    static std::string setupError_;
    static std::string prefix_;
    static bool broken_;
    static std::chrono::steady_clock::time_point suiteStart_;
    static std::unique_ptr<Machine> machine_;
    static ThreatDatabase database_;
    static std::vector<RegAnswer> planted_;  // RestoredQueries() after planting
    std::chrono::steady_clock::time_point stepStart_;
};
std::string RealWineRoad::skipReason_;
std::string RealWineRoad::setupError_;
std::string RealWineRoad::prefix_;
bool RealWineRoad::broken_ = false;
std::chrono::steady_clock::time_point RealWineRoad::suiteStart_;
std::unique_ptr<Machine> RealWineRoad::machine_;
ThreatDatabase RealWineRoad::database_;
std::vector<RegAnswer> RealWineRoad::planted_;

// The shipped definitions find nothing on the prefix as Wine made it: not in
// its registry, not among its files, not among Wine's own programs running.
TEST_F(RealWineRoad, AFreshPrefixShowsNothingInAnyScanOfTheShippedDefinitions) {
    auto rows = [&](const std::string& scan) {
        ShellResult run = Shell(Quote(TOLVANE_PROGRAM) + " --headless --machine " + Quote(prefix_) +
                                    " --json " + scan + " 2>/dev/null",
                                180);
        EXPECT_EQ(run.status, 0) << scan << ": " << run.output;
        nlohmann::json document = nlohmann::json::parse(run.output, nullptr, false);
        EXPECT_FALSE(document.is_discarded()) << run.output;
        return document.is_discarded() ? nlohmann::json::array() : document["rows"];
    };
    EXPECT_EQ(rows("scan smart"), nlohmann::json::array());
    EXPECT_EQ(rows("scan registry"), nlohmann::json::array());
    EXPECT_EQ(rows("--folders 'C:\\' scan drives"), nlohmann::json::array());
    // Wine's own programs (services, the device manager, ping) run.
    Shell(Env() + "setsid timeout -k 5 120 wine ping -n 100 127.0.0.1 </dev/null >/dev/null 2>&1 &",
          10);
    std::string error;
    auto machine = OpenMachine(prefix_, &error);
    ASSERT_TRUE(machine) << error;
    bool running = false;
    for (int tries = 0; tries < 300 && !running; ++tries) {
        std::vector<ProcessSnapshot> processes;
        if (machine->processes().List(&processes))
            for (const ProcessSnapshot& p : processes)
                running |= p.exePath == "C:\\windows\\system32\\ping.exe";
        if (!running) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(running) << "ping.exe did not start";
    EXPECT_EQ(rows("scan memory"), nlohmann::json::array());
    Shell(Env() + "wineserver -k; " + Env() + "wineserver -w; true", 60);
}

// Wine's own files of the fresh prefix are known by their bytes: the same
// size and SHA-256 as the copy of that name in the Wine that made it. A copy
// of one with a single byte changed, marker and all, is not.
TEST_F(RealWineRoad, WinesOwnFilesAreKnownByTheSameBytesAsTheRunners) {
    std::string error;
    auto machine = OpenMachine(prefix_, &error);
    ASSERT_TRUE(machine) << error;
    auto recognised = [&](const fs::path& file) {
        std::string content = ReadHostFile(file);
        return machine->IsPlatformFile(file.filename().string(), content.size(),
                                       Sha256Hex(content));
    };
    uint64_t bytes = 0, wineBytes = 0;
    int files = 0, wineFiles = 0;
    for (const auto& entry : fs::recursive_directory_iterator(prefix_ + "/drive_c/windows")) {
        if (!entry.is_regular_file() || entry.is_symlink()) continue;
        ++files;
        bytes += entry.file_size();
        if (recognised(entry.path())) {
            ++wineFiles;
            wineBytes += entry.file_size();
        }
    }
    std::cout << "[ wine     ] Wine's own: " << wineFiles << " of " << files << " files, "
              << wineBytes * 100 / std::max<uint64_t>(bytes, 1) << "% of " << bytes
              << " bytes below C:\\windows\n";
    fs::path kernel32 = prefix_ + "/drive_c/windows/system32/kernel32.dll";
    EXPECT_TRUE(recognised(kernel32));
    std::string changed = ReadHostFile(kernel32);
    ASSERT_GT(changed.size(), 1000u);
    changed[changed.size() - 1] ^= 1;
    EXPECT_FALSE(machine->IsPlatformFile("kernel32.dll", changed.size(), Sha256Hex(changed)));
}

// The same machine as a Windows installation: a copy of the prefix (its
// files linked, its registry files copied) with traces of the shipped
// definitions planted, whose registry (about 9,000 keys) is written as regf
// hives below its drive_c, which then is a Windows installation with the
// same C: files. Both machines list the same rows.
TEST_F(RealWineRoad, ItsRegistryAsWindowsHivesListsTheSameRows) {
    const std::string copy = prefix_ + "-as-windows";
    struct Removed {
        std::string path;
        ~Removed() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } removed{copy};
    ASSERT_EQ(Shell("cp -al " + Quote(prefix_) + " " + Quote(copy) + " && cd " + Quote(copy) +
                        " && for f in *.reg; do cp --remove-destination " + Quote(prefix_) +
                        "/$f $f; done",
                    60)
                  .status,
              0);
    std::string error;
    std::unique_ptr<Machine> wine = OpenMachine(copy, &error);
    ASSERT_TRUE(wine && wine->RunsPrograms()) << error;
    ThreatDatabase wineDefinitions;
    LoadShippedDefinitions(*wine, &wineDefinitions);
    PlantDefinitionTraces(*wine, wineDefinitions, 15);
    const size_t keys = ConvertToHives(copy, "root");
    std::cout << "[ wine     ] " << keys << " keys written as regf hives\n";
    EXPECT_GT(keys, 8000u);
    std::unique_ptr<Machine> windows = OpenMachine(copy + "/drive_c", &error);
    ASSERT_TRUE(windows && !windows->RunsPrograms()) << error;
    EXPECT_EQ(windows->registry().UserSid(), "S-1-5-21-0-0-0-1000");
    ThreatDatabase windowsDefinitions;
    LoadShippedDefinitions(*windows, &windowsDefinitions);
    // The deep registry scan (Custom with only it) finds no value of the
    // shipped definitions in a Wine-made registry: it walks the same keys.
    for (ScanMode mode : {ScanMode::Smart, ScanMode::Registry, ScanMode::Custom}) {
        std::vector<std::string> onWine = ScanMachine(*wine, wineDefinitions, mode);
        std::vector<std::string> onWindows = ScanMachine(*windows, windowsDefinitions, mode);
        std::cout << "[ wine     ] scan mode " << static_cast<int>(mode) << ": "
                  << onWine.size() - 1 << " rows and " << onWine.back() << " on the prefix, "
                  << onWindows.size() - 1 << " rows and " << onWindows.back()
                  << " on the installation\n";
        EXPECT_GE(onWine.size() - 1, mode == ScanMode::Custom ? 0u : 30u);
        EXPECT_EQ(onWine, onWindows) << "scan mode " << static_cast<int>(mode);
    }
}

TEST_F(RealWineRoad, TracesArePlantedWithWinesOwnToolsAndTheProgramRuns) {
    const std::string run = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    const std::string bho =
        "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\" +
        std::string(kClsid);
    const std::string clsid = "HKLM\\Software\\Classes\\CLSID\\" + std::string(kClsid);
    std::vector<RegAnswer> added = WineBatch({
        "reg add \"HKLM\\SOFTWARE\\Velvet Gazer\" /v Version /d 2.1 /f",
        "reg add \"HKLM\\SOFTWARE\\Velvet Gazer\\Modules\" /v Hook /t REG_DWORD /d 24576 /f",
        "reg add \"" + run + "\" /v VelvetGazer /d \"\\\"" + kProgram + "\\\" /tray\" /f",
        "reg add \"" + bho + "\" /ve /d \"Hollow Compass\" /f",
        "reg add \"" + clsid + "\\InprocServer32\" /ve /d \"" + kToolbar + "\" /f",
        "reg add \"" + clsid + "\\InprocServer32\" /v ThreadingModel /d Apartment /f",
        std::string("reg add \"HKCU\\Software\\Microsoft\\Internet Explorer\\Main\" /v "
                    "\"Start Page\" /d \"") +
            kHijackedStartPage + "\" /f",
        "reg add \"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\" /v QfHelper /d "
        "\"rundll32 qf2hook.dll,Start\" /f",
        "reg add \"HKCU\\Software\\Murmur Dial\" /v Number /d 0900-555-0100 /f",
    });
    for (size_t i = 0; i < added.size(); ++i)
        EXPECT_EQ(added[i].status, 0) << "reg add " << i << ": " << added[i].output;
    // Wine has written its registry files (the batch waited for the server).
    ASSERT_FALSE(IsWineServerRunning(prefix_));

    std::string error;
    machine_ = OpenMachine(prefix_, &error);
    ASSERT_TRUE(machine_) << error;
    ASSERT_TRUE(machine_->registry().LoadProblems().empty())
        << machine_->registry().LoadProblems().front();
    std::string appData;
    ASSERT_TRUE(ReadRegistryString(machine_->registry(), RootKey::CurrentUser,
                                   "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell "
                                   "Folders",
                                   "AppData", &appData));

    const fs::path programs = TOLVANE_WINPROG_DIR;
    fs::create_directories(Host(kProgramFolder));
    fs::copy_file(programs / "vgazer.exe", Host(kProgram));
    fs::copy_file(programs / "vgzhook.dll", Host(kHook));
    // The definition knows the hook by its size.
    fs::resize_file(Host(kHook), 24576);
    fs::create_directories(Host(kToolbarFolder));
    fs::copy_file(programs / "vgzhook.dll", Host(kToolbar));
    fs::create_directories(Host(appData + "\\Quillfeather"));
    std::ofstream(Host(appData + "\\Quillfeather\\keys.dat")) << "pressed: p a s s w o r d\n";
    std::ofstream(Host("C:\\windows\\system32\\drivers\\etc\\hosts"), std::ios::app)
        << kHostLine << "\r\n";

    ASSERT_TRUE(StartProgram(&error)) << error;
    EXPECT_TRUE(IsWineServerRunning(prefix_));

    planted_ = WineBatch(RestoredQueries());
    for (const RegAnswer& answer : planted_) EXPECT_EQ(answer.status, 0) << answer.output;
    EXPECT_EQ(planted_[0].Data("Version"), "2.1");
    EXPECT_EQ(planted_[2].Data("(Default)"), kToolbar);
    EXPECT_EQ(StartPage().Data("Start Page"), kHijackedStartPage);
}

TEST_F(RealWineRoad, HeadlessSmartScanListsTheProgramItsDllAndEveryTrace) {
    ASSERT_TRUE(ProgramRuns());
    ShellResult scan = Shell(Quote(TOLVANE_PROGRAM) + " --headless --machine " + Quote(prefix_) +
                                 " --json scan smart 2>/dev/null",
                             180);
    ASSERT_EQ(scan.status, 1) << scan.output;  // objects were listed
    nlohmann::json document = nlohmann::json::parse(scan.output, nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << scan.output;
    std::multimap<std::string, std::string> listed;  // object -> "vendor|type"
    for (const auto& row : document["rows"]) {
        listed.emplace(row.value("object", ""),
                       row.value("vendor", "") + "|" + row.value("type", ""));
    }
    auto count = [&](const std::string& object, const std::string& vendorAndType) {
        size_t n = 0;
        auto [from, to] = listed.equal_range(object);
        for (auto it = from; it != to; ++it) n += it->second == vendorAndType;
        return n;
    };
    // The program by its process name and by its first module, and its file
    // in its folder; the DLL as a module and in the system folder.
    EXPECT_EQ(count(kProgram, "Velvet Gazer|File"), 3u) << scan.output;
    EXPECT_EQ(count(kHook, "Velvet Gazer|File"), 2u) << scan.output;
    EXPECT_EQ(count(kProgramFolder, "Velvet Gazer|Folder"), 1u);
    EXPECT_EQ(count("SOFTWARE\\Velvet Gazer", "Velvet Gazer|Registry Key"), 1u);
    EXPECT_EQ(count("Software\\Microsoft\\Windows\\CurrentVersion\\Run\\VelvetGazer:@:" +
                        std::string(kProgram),
                    "Velvet Gazer|Registry Value"),
              1u);
    const std::string bho =
        "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\" +
        std::string(kClsid);
    EXPECT_EQ(count(bho, "Hollow Compass Toolbar|Registry Key"), 1u);
    EXPECT_EQ(count("CLSID\\" + std::string(kClsid), "Hollow Compass Toolbar|Registry Key"), 1u);
    EXPECT_EQ(count(kToolbarFolder, "Hollow Compass Toolbar|Folder"), 1u);
    EXPECT_EQ(count(kToolbar, "Hollow Compass Toolbar|File"), 1u);
    EXPECT_EQ(count("Software\\Microsoft\\Internet Explorer\\Main\\Start "
                    "Page:@:drifter-search.example",
                    "StartPage Drifter|Registry Value"),
              1u);
    EXPECT_EQ(count("www.drifter-search.example", "StartPage Drifter|Host File Item"), 1u);
    EXPECT_EQ(count("Software\\Microsoft\\Windows\\CurrentVersion\\Run\\QfHelper",
                    "Quillfeather Keylogger|Registry Value"),
              1u);
    EXPECT_EQ(count("Software\\Murmur Dial", "Murmur Dialer|Registry Key"), 1u);
    size_t quillfeather = 0;
    for (const auto& [object, what] : listed)
        quillfeather += what.rfind("Quillfeather Keylogger|", 0) == 0;
    EXPECT_EQ(quillfeather, 3u) << "folder, keys.dat and the Run value";
    EXPECT_GT(document["counters"].value("processesRecognised", 0), 2);
}

TEST_F(RealWineRoad, RemovalWhileTheWineserverRunsIsRefusedSayingHowToStopIt) {
    ASSERT_TRUE(ProgramRuns());
    ASSERT_TRUE(IsWineServerRunning(prefix_));
    // The headless scan installed the shipped databases.
    ASSERT_TRUE(LoadDefinitions(machine_->files(),
                                SettingsStore::ApplicationFolder() + "database.db",
                                PlaceholderFolders::FromShell(machine_->shell()), &database_));
    testing::TestRows rows = ScanRows();
    ASSERT_GT(rows.RowCount(), 10u);
    const size_t listed = rows.RowCount();

    SettingsStore settings(machine_->registry());
    ObjectRemover remover(*machine_);
    testing::TestView view;
    RemovalFlow flow(*machine_, settings, remover, view);
    EXPECT_FALSE(flow.RunRemoval(rows, false));
    bool told = false;
    for (const auto& message : view.messages)
        told = told || message.text.find("wineserver -k") != std::string::npos;
    EXPECT_TRUE(told) << "no message says how to stop the wineserver";
    // Nothing was removed: the rows, the program, its files and keys stay.
    EXPECT_EQ(rows.RowCount(), listed);
    EXPECT_TRUE(ProgramRuns());
    EXPECT_TRUE(fs::exists(Host(kProgram)));
    EXPECT_TRUE(fs::exists(Host(kToolbar)));
    RegKey key;
    EXPECT_EQ(machine_->registry().OpenKey(Registry::Root(RootKey::LocalMachine),
                                           "SOFTWARE\\Velvet Gazer", KEY_READ, &key),
              ERROR_SUCCESS);
}

TEST_F(RealWineRoad, RemovalAfterWineserverStopsDeletesWhatWineThenNoLongerFinds) {
    // Stopping the server ends every program of the prefix, ours too.
    ShellResult stop = Shell(Env() + "wineserver -k; " + Env() + "wineserver -w", 30);
    EXPECT_EQ(stop.status, 0) << stop.output;
    ASSERT_FALSE(IsWineServerRunning(prefix_));
    for (int tries = 0; tries < 50 && ProgramRuns(); ++tries) std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(ProgramRuns());

    ScanEngine* engine = nullptr;
    testing::TestRows rows = ScanRows(&engine);
    ASSERT_GT(rows.RowCount(), 10u);
    SettingsStore settings(machine_->registry());
    ObjectRemover remover(*machine_);
    remover.SetHostsFiles(engine->HostsFiles());
    testing::RemovalWithBackup removal(*machine_, settings, remover, rows);
    // Every question answered Yes (backup, confirmation, browser reset).
    ASSERT_TRUE(removal.flow.RunRemoval(rows, false));
    EXPECT_EQ(rows.RowCount(), 0u);
    for (const auto& message : removal.view.messages)
        EXPECT_EQ(message.text.find("wineserver"), std::string::npos) << message.text;
    EXPECT_TRUE(remover.FailedDeletions().empty());
    // regsvr32 ran through Wine for the DLLs, and was waited for.
    EXPECT_FALSE(IsWineServerRunning(prefix_));

    for (const char* path : {kProgram, kProgramFolder, kHook, kToolbar, kToolbarFolder})
        EXPECT_FALSE(fs::exists(Host(path))) << path;
    const std::string hosts = ReadHostFile(Host("C:\\windows\\system32\\drivers\\etc\\hosts"));
    EXPECT_EQ(hosts.find("drifter-search"), std::string::npos) << hosts;
    EXPECT_NE(hosts.find("localhost"), std::string::npos) << hosts;

    std::vector<RegAnswer> after = WineBatch(RestoredQueries());
    for (size_t i = 0; i < after.size(); ++i)
        EXPECT_EQ(after[i].status, 1) << RestoredQueries()[i] << ":\n" << after[i].output;
    EXPECT_EQ(StartPage().Data("Start Page"), "about:blank");
}

TEST_F(RealWineRoad, RestoreBringsTheKeysBackAndWineReadsTheSameData) {
    RestoreReport report = RestoreArchive(*machine_, BackupArchive::DefaultArchivePath());
    EXPECT_TRUE(report.archiveOpened);
    EXPECT_TRUE(report.extractedAll);
    EXPECT_TRUE(report.registryImported);
    EXPECT_GE(report.restored, 4u);
    std::vector<RegAnswer> after = WineBatch(RestoredQueries());
    ASSERT_EQ(after.size(), planted_.size());
    for (size_t i = 0; i < after.size(); ++i) {
        EXPECT_EQ(after[i].status, 0) << RestoredQueries()[i] << ":\n" << after[i].output;
        EXPECT_EQ(after[i].output, planted_[i].output) << RestoredQueries()[i];
    }
    EXPECT_EQ(ReadHostFile(Host(kProgram)),
              ReadHostFile(fs::path(TOLVANE_WINPROG_DIR) / "vgazer.exe"));
    EXPECT_EQ(fs::file_size(Host(kHook)), 24576u);
}

TEST_F(RealWineRoad, TheRestoredProgramRunsAgainAndTheRemovalsKillerEndsIt) {
    std::string why;
    ASSERT_TRUE(StartProgram(&why)) << why;
    EXPECT_TRUE(KillProcessesRunning(*machine_, kProgram));
    EXPECT_FALSE(ProgramRuns());
    // With its last program gone the server ends by itself.
    machine_->WaitUntilIdle(30s);
    EXPECT_FALSE(IsWineServerRunning(prefix_));
}

class AnsweringView : public AdvancedScanView {
  public:
    std::vector<std::string> shown;
    PromptAnswer Ask(const Prompt& prompt) override {
        shown.push_back(prompt.text);
        return PromptAnswer::Yes;
    }
};

TEST_F(RealWineRoad, AdvancedScanScriptsCleanTheSamePrefix) {
    ASSERT_FALSE(IsWineServerRunning(prefix_));
    AnsweringView view;
    AdvancedScan scan(*machine_, view, SettingsStore::ApplicationFolder(), ScriptLimits{});
    scan.Open();
    ASSERT_FALSE(scan.scripts().empty()) << "no script.db in the application folder";
    scan.Scan();
    ASSERT_EQ(scan.outcomes().size(), scan.rows().size());
    for (size_t i = 0; i < scan.rows().size(); ++i) {
        EXPECT_EQ(scan.rows()[i].status, kFinishedStatus);
        EXPECT_EQ(scan.outcomes()[i], ScriptOutcome::Completed) << scan.rows()[i].vendor;
    }
    for (const char* path : {kProgram, kProgramFolder, kHook, kToolbarFolder})
        EXPECT_FALSE(fs::exists(Host(path))) << path;
    std::vector<RegAnswer> after = WineBatch(RestoredQueries());
    for (size_t i = 0; i < after.size(); ++i)
        EXPECT_EQ(after[i].status, 1) << RestoredQueries()[i] << ":\n" << after[i].output;
    RegAnswer run = WineBatch(
        {"reg query \"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run\" /v VelvetGazer"})
        [0];
    EXPECT_EQ(run.status, 1) << run.output;
}

TEST_F(RealWineRoad, WineStillStartsAndRewritesItsRegistryWhichTolvaneStillReads) {
    std::vector<RegAnswer> answers = WineBatch({
        "echo ok",
        "reg add \"HKCU\\Software\\Tolvane Wine Probe\" /v Seen /d yes /f",
    });
    EXPECT_EQ(answers[0].status, 0);
    EXPECT_NE(answers[0].output.find("ok"), std::string::npos) << answers[0].output;
    EXPECT_EQ(answers[1].status, 0) << answers[1].output;
    ASSERT_FALSE(IsWineServerRunning(prefix_));
    const std::string userReg = ReadHostFile(prefix_ + "/user.reg");
    EXPECT_NE(userReg.find("Tolvane Wine Probe"), std::string::npos);
    Registry registry(MakePrefixHiveSet(prefix_));
    EXPECT_TRUE(registry.LoadProblems().empty()) << registry.LoadProblems().front();
    std::string seen;
    EXPECT_TRUE(ReadRegistryString(registry, RootKey::CurrentUser, "Software\\Tolvane Wine Probe",
                                   "Seen", &seen));
    EXPECT_EQ(seen, "yes");
    ShellResult plain =
        Shell(Env() + "wine cmd /c echo ok </dev/null; " + Env() + "wineserver -w", 60);
    EXPECT_EQ(plain.status, 0) << plain.output;
    EXPECT_NE(plain.output.find("ok"), std::string::npos) << plain.output;
}

TEST_F(RealWineRoad, WineStartUpRunsTheQueuedDeletionThroughTheWindowsLauncher) {
    if (!fs::exists(fs::path(TOLVANE_SHIPPED_DATA) / "Tolvane.exe"))
        GTEST_SKIP() << "the Windows launcher was not built";
    std::string error;
    if (!machine_) machine_ = OpenMachine(prefix_, &error);
    ASSERT_TRUE(machine_) << error;
    // Any start of the program on the prefix puts the launcher into the
    // application folder, with the host path of the program beside it.
    ShellResult about = Shell(
        Quote(TOLVANE_PROGRAM) + " --headless --machine " + Quote(prefix_) + " about </dev/null",
        60);
    ASSERT_EQ(about.status, 0) << about.output;
    ASSERT_TRUE(fs::exists(Host(SettingsStore::ProgramPath())));
    const fs::path programs = TOLVANE_WINPROG_DIR;
    fs::create_directories(Host(kProgramFolder));
    fs::copy_file(programs / "vgazer.exe", Host(kProgram), fs::copy_options::overwrite_existing);
    fs::copy_file(programs / "vgzhook.dll", Host(kHook), fs::copy_options::overwrite_existing);
    ASSERT_TRUE(StartProgram(&error)) << error;
    ObjectRemover remover(*machine_);
    EXPECT_FALSE(remover.RemoveFile(kHook));
    ASSERT_EQ(remover.FailedDeletions(), std::vector<std::string>{kHook});

    // The program ends with its server; then the queue and the entry are
    // written as the removal's "Unable to remove items" OK writes them.
    Shell(Env() + "wineserver -k; " + Env() + "wineserver -w; true", 60);
    // A killed program still mapping the DLL would keep the deletion refused.
    for (int tries = 0; tries < 50 && ProgramRuns(); ++tries) std::this_thread::sleep_for(100ms);
    machine_ = OpenMachine(prefix_, &error);
    ASSERT_TRUE(machine_) << error;
    SettingsStore settings(machine_->registry());
    settings.WriteStartUpDeleteQueue(remover.FailedDeletions());
    ASSERT_TRUE(settings.WriteRunOnceEntry(SettingsStore::ProgramPath()));
    std::string entry;
    ASSERT_TRUE(ReadRegistryString(Registry(MakePrefixHiveSet(prefix_)), RootKey::LocalMachine,
                                   "Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
                                   "Tolvane", &entry));
    EXPECT_EQ(entry, "\"C:\\Program Files\\Tolvane\\Tolvane.exe\" -b");
    ASSERT_TRUE(fs::exists(Host(kHook)));

    // Wine's start of the prefix (no Wine command before it: any start of the
    // stopped prefix runs wineboot, and with it the entry); without a display
    // the launcher runs tolvane with --headless. wineboot waits for a RunOnce
    // entry's program, which waits for tolvane.
    ShellResult boot = Shell("env -u DISPLAY -u WAYLAND_DISPLAY " + Env() +
                                 "wine wineboot </dev/null; " + Env() + "wineserver -w",
                             180);
    EXPECT_EQ(boot.status, 0) << boot.output;
    EXPECT_FALSE(fs::exists(Host(kHook))) << boot.output;
    RegAnswer after =
        WineBatch({"reg query "
                   "\"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce\" "
                   "/v Tolvane"})[0];
    EXPECT_EQ(after.status, 1) << after.output;
    machine_ = OpenMachine(prefix_, &error);
    ASSERT_TRUE(machine_) << error;
}

}  // namespace
}  // namespace tolvane

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const std::string missing = tolvane::MissingPrerequisite();
    if (!missing.empty()) {
        std::cout << "[  SKIPPED ] the real-Wine road: " << missing << "\n";
        return 77;
    }
    return RUN_ALL_TESTS();
}
