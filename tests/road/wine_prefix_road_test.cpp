// The road on a Wine prefix, the demo machine: the road every machine takes
// (machine_road.h), once as made and once with the demo's programs running;
// and the same road through the program itself, tolvane --headless.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <tuple>
#include <utility>

#include "definitions/load_definitions.h"
#include "discovery/open_machine.h"
#include "testing/temp_folder.h"
#include "tests/road/machine_road.h"

namespace tolvane::testing {
namespace {

// A clean-up command on a test's way out; its failure leaves only a
// temporary folder behind.
int RunOnTheWayOut(const std::string& command) {
    return std::system(command.c_str());
}

using testing::ReadHostFile;

namespace fs = std::filesystem;
using testing::TestRows;
using testing::TestView;

// drive_c as relative paths: folders map to "<folder>", files to content.
std::map<std::string, std::string> FileSnapshot(const std::string& prefix) {
    std::map<std::string, std::string> out;
    fs::path root = fs::path(prefix) / "drive_c";
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        if (it->is_symlink()) continue;
        std::string relative = fs::relative(it->path(), root).string();
        out[relative] = it->is_directory() ? "<folder>" : ReadHostFile(it->path());
    }
    return out;
}

void WalkKeys(const Registry& registry, const RegKey& key, const std::string& name,
              std::map<std::string, std::string>* out) {
    (*out)[name] = "<key>";
    for (uint32_t i = 0;; ++i) {
        std::string value, data;
        uint32_t type = 0;
        if (registry.EnumValue(key, i, &value, &type, &data) != ERROR_SUCCESS) break;
        (*out)[name + "|" + value] = std::to_string(type) + ":" + data;
    }
    for (uint32_t i = 0;; ++i) {
        std::string sub;
        if (registry.EnumKey(key, i, &sub) != ERROR_SUCCESS) break;
        RegKey child;
        if (registry.OpenKey(key, sub, KEY_READ, &child) == ERROR_SUCCESS) {
            WalkKeys(registry, child, name + "\\" + sub, out);
        }
    }
}

std::map<std::string, std::string> RegistrySnapshot(const Registry& registry) {
    std::map<std::string, std::string> out;
    for (RootKey root : {RootKey::LocalMachine, RootKey::CurrentUser}) {
        WalkKeys(registry, Registry::Root(root), RootKeyName(root), &out);
    }
    return out;
}

// What the run changes on purpose and the restore does not undo: the
// browser settings reset, our own settings and start-up entry, the hosts
// files, and the program's own files (logs, archive, work folders).
bool ChangedOnPurpose(const std::string& name) {
    for (const char* part : {"Internet Explorer", "\\URL\\", "\\Tolvane", "RunOnce", "hosts",
                             "Program Files/Tolvane", "Temp/TolvaneBackup"}) {
        if (name.find(part) != std::string::npos) return true;
    }
    return false;
}

// The build folder: TOLVANE_BUILD_DIR, else the one this test binary was
// built in (BUILD/tests/road/).
std::string BuildDir() {
    const char* fromEnvironment = std::getenv("TOLVANE_BUILD_DIR");
    return fromEnvironment ? std::string(fromEnvironment)
                           : fs::read_symlink("/proc/self/exe")
                                 .parent_path()
                                 .parent_path()
                                 .parent_path()
                                 .string();
}

// Every file, folder, key and value of the snapshot before is back as it
// was, but for what the run changes on purpose.
void ExpectBackAsBefore(const std::map<std::string, std::string>& before,
                        const std::map<std::string, std::string>& after, bool files) {
    for (const auto& [name, content] : before) {
        if (ChangedOnPurpose(name)) continue;
        auto it = after.find(name);
        ASSERT_NE(it, after.end()) << name << " is not back";
        if (files)
            EXPECT_TRUE(it->second == content) << name << " differs";
        else
            EXPECT_EQ(it->second, content) << name;
    }
}

// The demo machine, a Wine prefix made by tolvane-demo with the traces of the
// shipped demo threats, scanned with the shipped database. With
// RunningPrograms its two planted programs run from their files (which they
// map, so that the machine refuses to delete them while they run): removal
// must end them and then delete their files.
template <bool RunningPrograms>
class DemoWinePrefix {
  public:
    static constexpr const char* kName = RunningPrograms ? "RunningPrograms" : "DemoMachine";

    void Make() {
        const std::string buildDir = BuildDir();
        demoTool_ = buildDir + "/tools/tolvane-demo";
        const std::string data = buildDir + "/data";
        if (access(demoTool_.c_str(), X_OK) != 0 || !fs::exists(data + "/database.db")) {
            GTEST_SKIP() << "tolvane-demo or database.db not built";
        }
        temp_ = std::make_unique<testing::TempFolder>("tolvane-demo-flow");
        dir_ = (temp_->path() / "machine").string();
        ASSERT_EQ(std::system((demoTool_ + " create '" + dir_ + "'" +
                               (RunningPrograms ? " --seconds 300" : " --no-processes") +
                               " --data '" + data + "' > /dev/null")
                                  .c_str()),
                  0);
        made_ = true;
        std::string error;
        machine_ = OpenMachine(dir_, &error);
        ASSERT_TRUE(machine_) << error;
        if (!RunningPrograms) machine_->SetProcessTable(MakeFixedProcessTable({}));
        filesBefore_ = FileSnapshot(dir_);
        registryBefore_ = RegistrySnapshot(machine_->registry());
    }

    ~DemoWinePrefix() {
        machine_.reset();
        if (!made_) return;
        RunOnTheWayOut(demoTool_ + " stop '" + dir_ + "' > /dev/null 2>&1");
        RunOnTheWayOut("chmod -R u+w '" + dir_ + "' 2>/dev/null");
        fs::remove_all(dir_);
    }

    Machine& machine() { return *machine_; }

    void LoadDatabase(ThreatDatabase* database) {
        ASSERT_TRUE(LoadDefinitions(machine_->files(), "C:\\Program Files\\Tolvane\\database.db",
                                    PlaceholderFolders::FromShell(machine_->shell()), database));
    }

    void CheckFound(const RoadRun& run) {
        if (RunningPrograms) {
            std::vector<ProcessSnapshot> running;
            ASSERT_TRUE(machine_->processes().List(&running));
            EXPECT_EQ(running.size(), 2u);
        }
        ASSERT_GE(run.found.rows.size(), 5u);
        std::set<int> types;
        for (const auto& row : run.found.rows) types.insert(StoredNumber(row.type));
        EXPECT_EQ(types, (std::set<int>{1, 2, 3, 4, 6}));
    }

    void CheckRemoved(RoadRun& run) {
        TestView& view = run.removal->view;
        EXPECT_EQ(view.messages[1].text, "Backup created sucessfullly");
        if (RunningPrograms) {
            std::vector<ProcessSnapshot> left;
            ASSERT_TRUE(machine_->processes().List(&left));
            EXPECT_TRUE(left.empty()) << left.size() << " programs still run, first "
                                      << (left.empty() ? "" : left[0].exePath);
        }
        FileSystem& files = machine_->files();
        Registry& registry = machine_->registry();
        const std::vector<std::string> refused = run.remover.FailedDeletions();
        ASSERT_FALSE(refused.empty());
        auto refusedBelow = [&](const std::string& path) {
            for (const std::string& file : refused) {
                if (file == path || file.rfind(path + "\\", 0) == 0) return true;
            }
            return false;
        };
        // Only what is still there stays listed, unchecked, and the count is
        // of what is gone.
        for (const auto& row : run.rows.rows) {
            EXPECT_TRUE(refusedBelow(row.text)) << row.text;
            EXPECT_FALSE(row.checked) << row.text;
        }
        ASSERT_FALSE(run.rows.rows.empty());
        EXPECT_EQ(view.messages[view.messages.size() - 2].text,
                  std::to_string(run.found.rows.size() - run.rows.rows.size()) +
                      " Objects deleted successfully.");
        EXPECT_EQ(view.LastText(), std::to_string(run.rows.rows.size()) +
                                       " objects could not be removed. They are still listed.");
        for (const auto& row : run.found.rows) {
            SCOPED_TRACE(row.text);
            ASSERT_NO_FATAL_FAILURE(ExpectGone(run, row, refusedBelow(row.text)));
        }
        std::string startPage;
        ASSERT_TRUE(ReadRegistryString(registry, RootKey::CurrentUser,
                                       "Software\\Microsoft\\Internet Explorer\\Main", "Start Page",
                                       &startPage));
        EXPECT_EQ(startPage, "about:blank");
        EXPECT_EQ(view.unableItems.size(), 1u);
        EXPECT_EQ(run.settings.ReadStartUpDeleteQueue(), refused);

        // The -b start, after the locked files' folders are freed.
        for (const std::string& file : refused) {
            std::string folder = file.substr(0, file.rfind('\\'));
            chmod(files.ToHostPath(folder)->c_str(), 0755);
        }
        run.removal->flow.ProcessStartUpDeletions();
        for (const std::string& file : refused) EXPECT_FALSE(files.PathFileExists(file)) << file;
    }

    // The restore brings back everything the backup saved.
    void CheckRestored(const RoadRun& run) {
        EXPECT_FALSE(run.unregistered.empty());
        ASSERT_NO_FATAL_FAILURE(ExpectBackAsBefore(filesBefore_, FileSnapshot(dir_), true));
        ASSERT_NO_FATAL_FAILURE(
            ExpectBackAsBefore(registryBefore_, RegistrySnapshot(machine_->registry()), false));
    }

  private:
    // A row's object is gone from where the scan found it, unless its
    // deletion was refused (a file or folder that stays listed).
    void ExpectGone(const RoadRun& run, const TestRow& row, bool refused) {
        FileSystem& files = machine_->files();
        Registry& registry = machine_->registry();
        switch (row.type) {
            case ObjectType::File:
            case ObjectType::Folder:
                EXPECT_EQ(files.PathFileExists(row.text), refused);
                break;
            case ObjectType::RegistryKey:
                for (RootKey root : {RootKey::ClassesRoot, RootKey::CurrentUser,
                                     RootKey::LocalMachine, RootKey::Users}) {
                    RegKey key;
                    EXPECT_NE(registry.OpenKey(Registry::Root(root), row.text, KEY_READ, &key), 0);
                }
                break;
            case ObjectType::RegistryValue:
                if (row.text.find(":@:") == std::string::npos) {
                    std::string keyPath = row.text.substr(0, row.text.rfind('\\'));
                    std::string name = row.text.substr(row.text.rfind('\\') + 1);
                    for (RootKey root : {RootKey::CurrentUser, RootKey::LocalMachine}) {
                        std::string value;
                        EXPECT_FALSE(ReadRegistryString(registry, root, keyPath, name, &value));
                    }
                }
                break;
            case ObjectType::HostFileItem:
                for (const std::string& hosts : run.engine.HostsFiles()) {
                    std::string content;
                    ASSERT_TRUE(files.ReadWholeFile(hosts, &content));
                    EXPECT_EQ(content.find(row.text), std::string::npos);
                }
                break;
        }
    }

    std::string demoTool_, dir_;
    std::unique_ptr<testing::TempFolder> temp_;
    bool made_ = false;
    std::unique_ptr<Machine> machine_;
    std::map<std::string, std::string> filesBefore_, registryBefore_;
};

using WinePrefixKinds = ::testing::Types<DemoWinePrefix<false>, DemoWinePrefix<true>>;
INSTANTIATE_TYPED_TEST_SUITE_P(WinePrefix, MachineRoad, WinePrefixKinds, RoadKindName);

// The same road through the program itself: tolvane --headless with its
// answers and save path scripted, then -b, then the restore command. Wine is
// kept off the path so that regsvr32 is skipped, as on a machine without it.
TEST(WinePrefixRoad, HeadlessProgramRoad) {
    const std::string buildDir = BuildDir();
    const std::string demoTool = buildDir + "/tools/tolvane-demo";
    const std::string program = buildDir + "/bin/tolvane";
    const std::string data = buildDir + "/data";
    if (access(demoTool.c_str(), X_OK) != 0 || access(program.c_str(), X_OK) != 0 ||
        !fs::exists(data + "/database.db")) {
        GTEST_SKIP() << "tolvane, tolvane-demo or database.db not built";
    }
    testing::TempFolder temp("tolvane-headless-road");
    const std::string dir = (temp.path() / "machine").string();
    ASSERT_EQ(std::system((demoTool + " create '" + dir + "' --no-processes --data '" + data +
                           "' > /dev/null")
                              .c_str()),
              0);
    struct Cleanup {
        std::string dir;
        ~Cleanup() {
            RunOnTheWayOut("chmod -R u+w '" + dir + "' 2>/dev/null");
            fs::remove_all(dir);
        }
    } cleanup{dir};
    const std::string archive = "C:\\Program Files\\Tolvane\\Quarantine\\TolvaneBackup.zip";
    auto run = [&](const std::string& arguments) {
        std::string command = "env PATH=/usr/sbin:/sbin '" + program + "' --headless --machine '" +
                              dir + "' " + arguments + " > '" + dir + ".out' 2>&1";
        int status = std::system(command.c_str());
        int rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::string output = ReadHostFile(dir + ".out");
        fs::remove(dir + ".out");
        return std::make_pair(rc, output);
    };

    std::string error;
    std::unique_ptr<Machine> machine = OpenMachine(dir, &error);
    ASSERT_TRUE(machine) << error;
    const auto filesBefore = FileSnapshot(dir);
    const auto registryBefore = RegistrySnapshot(machine->registry());
    machine.reset();

    // Start on the fresh machine runs a Smart Scan; then remove all it
    // listed, with a backup; the rows still listed are printed.
    auto [rc, output] = run("--yes --save-as '" + archive + "' start remove checked list");
    ASSERT_EQ(rc, 1) << output;  // objects were listed
    EXPECT_NE(output.find("Backup created sucessfullly"), std::string::npos) << output;
    EXPECT_NE(output.find("Unable to remove items"), std::string::npos) << output;
    // The number written right before a text of the output (-1: none).
    auto number = [&](const std::string& after) {
        size_t end = output.find(after);
        if (end == std::string::npos) return -1;
        size_t start = end;
        while (start > 0 && std::isdigit(static_cast<unsigned char>(output[start - 1]))) --start;
        return std::atoi(output.c_str() + start);
    };
    size_t newAt = output.find("\nobjectsNew: ");
    ASSERT_NE(newAt, std::string::npos) << output;
    const int found = std::atoi(output.c_str() + newAt + 13);
    const int deleted = number(" Objects deleted successfully.");
    const int notRemoved = number(" objects could not be removed. They are still listed.");
    size_t stillListed = 0;
    for (size_t at = output.find("\t[ ]\t"); at != std::string::npos;
         at = output.find("\t[ ]\t", at + 1))
        ++stillListed;
    EXPECT_GT(found, 40) << output;
    EXPECT_GT(notRemoved, 0) << output;
    EXPECT_EQ(deleted + notRemoved, found) << output;
    EXPECT_EQ(stillListed, static_cast<size_t>(notRemoved)) << output;

    machine = OpenMachine(dir, &error);
    ASSERT_TRUE(machine) << error;
    SettingsStore settings(machine->registry());
    const std::vector<std::string> queued = settings.ReadStartUpDeleteQueue();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_TRUE(machine->files().PathFileExists(queued[0]));
    EXPECT_FALSE(machine->files().PathFileExists("C:\\users\\root\\AppData\\Roaming\\Thimble"));
    std::string startPage;
    ASSERT_TRUE(ReadRegistryString(machine->registry(), RootKey::CurrentUser,
                                   "Software\\Microsoft\\Internet Explorer\\Main", "Start Page",
                                   &startPage));
    EXPECT_EQ(startPage, "about:blank");

    // The -b start once the locked file's folder is free.
    const std::string folder = queued[0].substr(0, queued[0].rfind('\\'));
    chmod(machine->files().ToHostPath(folder)->c_str(), 0755);
    machine.reset();
    std::tie(rc, output) = run("--yes -b");
    EXPECT_EQ(rc, 0) << output;
    EXPECT_NE(
        output.find("Spyware items which remained in the previous scan have now been deleted."),
        std::string::npos)
        << output;
    machine = OpenMachine(dir, &error);
    ASSERT_TRUE(machine) << error;
    EXPECT_FALSE(machine->files().PathFileExists(queued[0]));
    machine.reset();

    std::tie(rc, output) = run("--yes --open '" + archive + "' restore");
    EXPECT_EQ(rc, 0) << output;
    EXPECT_NE(output.find(" 5 hosts lines."), std::string::npos) << output;
    machine = OpenMachine(dir, &error);
    ASSERT_TRUE(machine) << error;
    // The hosts lines are back, each once.
    std::string hosts;
    ASSERT_TRUE(
        machine->files().ReadWholeFile("C:\\windows\\system32\\drivers\\etc\\hosts", &hosts));
    for (const char* line :
         {"203.0.113.24 www.drifter-search.example\r\n", "203.0.113.50 ads.tinsel.example\r\n",
          "198.51.100.33 mistral-bar.example\r\n"}) {
        size_t at = hosts.find(line);
        EXPECT_NE(at, std::string::npos) << line;
        EXPECT_EQ(hosts.find(line, at + 1), std::string::npos) << line;
    }
    ASSERT_NO_FATAL_FAILURE(ExpectBackAsBefore(filesBefore, FileSnapshot(dir), true));
    ASSERT_NO_FATAL_FAILURE(
        ExpectBackAsBefore(registryBefore, RegistrySnapshot(machine->registry()), false));
    machine.reset();

    // A second backup to the same name is refused without a yes.
    std::tie(rc, output) = run("--save-as '" + archive + "' start backup");
    EXPECT_EQ(rc, 1) << output;  // the scan listed objects
    EXPECT_NE(output.find("TolvaneBackup.zip already exists.\\nDo you want to replace it? "
                          "[Yes/No] -> no"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("Backup created"), std::string::npos) << output;
}

}  // namespace
}  // namespace tolvane::testing
