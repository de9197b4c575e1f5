// Crash safety of the writes that replace a file the user depends on: the
// crash writer (crash_writer.cpp) repeats one such write on a temporary
// prefix and is killed with SIGKILL at a random moment, again and again.
// After every kill the file holds the old or the new version, whole: never
// a torn, empty or missing file.
//
// TOLVANE_CRASH_KILLS sets the kills per case (default 200).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <hivex.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "backup/archive_reader.h"
#include "backup/archive_writer.h"
#include "definitions/container.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "machine/machine.h"
#include "machine/registry.h"
#include "machine/wine/prefix_hive_set.h"
#include "testing/source_tree.h"
#include "testing/temp_installation.h"
#include "testing/temp_prefix.h"
#include "tests/crash_safety/crash_cases.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

int KillsPerCase() {
    const char* text = std::getenv("TOLVANE_CRASH_KILLS");
    int kills = text ? std::atoi(text) : 0;
    return kills > 0 ? kills : 200;
}

enum class Seen { Old, New, Broken };

struct Tally {
    int kills = 0;
    int oldSeen = 0;
    int newSeen = 0;
};

// Starts the writer, waits until it is writing, lets it write for a random
// while and kills it. False (with a test failure) when it did not get there.
bool RunAndKill(const std::string& which, const std::string& prefix, std::mt19937& random,
                int maxDelayMicroseconds) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe";
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execl(TOLVANE_CRASH_WRITER, TOLVANE_CRASH_WRITER, which.c_str(), prefix.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    pollfd ready{out[0], POLLIN, 0};
    char byte = 0;
    bool started = poll(&ready, 1, 30000) == 1 && read(out[0], &byte, 1) == 1 && byte == 'R';
    if (started) {
        std::uniform_int_distribution<int> delay(0, maxDelayMicroseconds);
        std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(out[0]);
    if (!started || !WIFSIGNALED(status)) {
        ADD_FAILURE() << "crash_writer " << which << " did not run until killed (status " << status
                      << ")";
        return false;
    }
    return true;
}

// The leftovers of writes that were killed before their rename (temporary
// files that never took the target's place), below folder. The untouched
// hive a Windows installation keeps beside each changed one
// (NAME.tolvane-orig) is no leftover.
int Leftovers(const std::string& folder) {
    int count = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.ends_with(".tolvane-orig")) continue;
        if (name.find(".tolvane-") != std::string::npos || name.ends_with(".part")) ++count;
    }
    return count;
}

// Runs the writer for one round to its end; false (with a failure) otherwise.
bool RunOnce(const std::string& which, const std::string& prefix) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) dup2(null, STDOUT_FILENO);
        execl(TOLVANE_CRASH_WRITER, TOLVANE_CRASH_WRITER, which.c_str(), prefix.c_str(), "once",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "crash_writer " << which << " once: status " << status;
        return false;
    }
    return true;
}

// Where a case's writes leave their temporaries, and how many a kill may
// leave at most: one per file the case replaces, since each write clears
// what killed writes of its file left.
struct LeftoverRule {
    std::string folder;
    int most = 1;
};

// Kills the writer KillsPerCase() times, checking after each kill that the
// content is whole and that temporaries do not pile up; then lets it finish
// one round, which must clear them all.
Tally KillRepeatedly(const std::string& which, const std::string& machinePath,
                     int maxDelayMicroseconds, const LeftoverRule& leftovers,
                     const std::function<Seen()>& check) {
    std::mt19937 random(12345);
    Tally tally;
    int mostLeftovers = 0;
    const int kills = KillsPerCase();
    for (int i = 0; i < kills; ++i) {
        if (!RunAndKill(which, machinePath, random, maxDelayMicroseconds)) break;
        ++tally.kills;
        Seen seen = check();
        if (seen == Seen::Broken) {
            ADD_FAILURE() << which << ": torn or missing content after kill " << i + 1;
            break;
        }
        (seen == Seen::Old ? tally.oldSeen : tally.newSeen)++;
        int left = Leftovers(leftovers.folder);
        mostLeftovers = std::max(mostLeftovers, left);
        if (left > leftovers.most) {
            ADD_FAILURE() << which << ": " << left << " temporary files left after kill " << i + 1;
            break;
        }
    }
    std::printf(
        "crash safety %-8s kills %d: old version %d, new version %d, torn 0, "
        "temporaries left at most %d\n",
        which.c_str(), tally.kills, tally.oldSeen, tally.newSeen, mostLeftovers);
    if (RunOnce(which, machinePath)) {
        EXPECT_NE(check(), Seen::Broken) << which << " after a round that was not killed";
        EXPECT_EQ(Leftovers(leftovers.folder), 0) << which << " after a round that was not killed";
    }
    return tally;
}

class CrashSafety : public ::testing::Test {
  protected:
    void SetUp() override {
        machine_ = prefix_.Open();
        prefix_.MakeFolder(crash::kApplicationFolder);
        prefix_.MakeFolder(crash::kStageFolder);
    }
    void ExpectEveryKillChecked(const Tally& tally) {
        EXPECT_EQ(tally.kills, KillsPerCase());
        // How many kills found each version is printed: the versions seen
        // depend on where the kills landed, so they are not asserted.
    }

    testing::TempPrefix prefix_;
    std::unique_ptr<Machine> machine_;
};

TEST_F(CrashSafety, RegistrySaveKeepsTheOldOrTheNewHiveWhole) {
    RegKey key;
    Registry& registry = machine_->registry();
    ASSERT_EQ(
        registry.CreateKey(Registry::Root(RootKey::LocalMachine), crash::kRegistryKey, 0, &key),
        ERROR_SUCCESS);
    ASSERT_EQ(registry.SetValue(key, "Marker", REG_SZ, "keep"), ERROR_SUCCESS);
    const std::string a = crash::RegistryData('A');
    const std::string b = crash::RegistryData('B');
    ASSERT_EQ(registry.SetValue(key, crash::kRegistryValue, REG_SZ, a), ERROR_SUCCESS);
    machine_.reset();

    Tally tally = KillRepeatedly("registry", prefix_.path(), 50000, {prefix_.path()}, [&] {
        Registry reloaded(MakePrefixHiveSet(prefix_.path()));
        if (!reloaded.LoadProblems().empty()) return Seen::Broken;
        RegKey opened;
        std::string marker;
        std::string flip;
        uint32_t type = 0;
        if (reloaded.OpenKey(Registry::Root(RootKey::LocalMachine), crash::kRegistryKey, 0,
                             &opened) != ERROR_SUCCESS ||
            reloaded.QueryValue(opened, "Marker", &type, &marker) != ERROR_SUCCESS ||
            marker != std::string("keep\0", 5) ||
            reloaded.QueryValue(opened, crash::kRegistryValue, &type, &flip) != ERROR_SUCCESS) {
            return Seen::Broken;
        }
        if (flip == a) return Seen::Old;
        if (flip == b) return Seen::New;
        return Seen::Broken;
    });
    ExpectEveryKillChecked(tally);
}

TEST_F(CrashSafety, HostsRewriteKeepsTheOldOrTheNewFileWhole) {
    const std::string with = crash::HostsWithEntry();
    const std::string without = crash::HostsWithoutEntry();
    prefix_.WriteFile(crash::kHostsPath, with);
    machine_.reset();
    const std::string host = prefix_.Host("drive_c/windows/system32/drivers/etc/hosts");

    Tally tally =
        KillRepeatedly("hosts", prefix_.path(), 20000, {prefix_.Host("drive_c/windows")}, [&] {
            std::string content;
            std::unique_ptr<Machine> machine = prefix_.Open();
            if (!machine->files().ReadWholeFile(crash::kHostsPath, &content)) return Seen::Broken;
            if (content == with) return Seen::Old;
            if (content == without) return Seen::New;
            return Seen::Broken;
        });
    ExpectEveryKillChecked(tally);
}

TEST_F(CrashSafety, IgnoreListSaveKeepsTheOldOrTheNewListWhole) {
    std::string base;
    for (int i = 0; i < 5000; ++i) {
        base +=
            "Velvet Gazer,C:\\Program Files\\Velvet Gazer\\part" + std::to_string(i) + ".dll,1\r\n";
    }
    const std::string extended =
        base + crash::kIgnoreExtraName + std::string(",") + crash::kIgnoreExtraObject + ",1\r\n";
    prefix_.WriteFile(std::string(crash::kApplicationFolder) + "\\Ignorelist.txt", base);
    machine_.reset();

    Tally tally = KillRepeatedly(
        "ignore", prefix_.path(), 20000, {prefix_.Host("drive_c/Program Files/Tolvane")}, [&] {
            std::string content;
            std::unique_ptr<Machine> machine = prefix_.Open();
            if (!machine->files().ReadWholeFile(
                    std::string(crash::kApplicationFolder) + "\\Ignorelist.txt", &content)) {
                return Seen::Broken;
            }
            if (content == base) return Seen::Old;
            if (content == extended) return Seen::New;
            std::printf("  Ignorelist.txt: %zu bytes (old %zu, new %zu)\n", content.size(),
                        base.size(), extended.size());
            return Seen::Broken;
        });
    ExpectEveryKillChecked(tally);
}

TEST_F(CrashSafety, DatabaseInstallKeepsTheOldOrTheNewDatabaseWhole) {
    const std::string text = testing::SourceTreeFile("data/definitions.xml");
    ASSERT_FALSE(text.empty());
    // The new database: a later version with more definitions, as many as
    // the container's markup limit leaves room for beside the shipped ones.
    std::string newer = text;
    size_t version = newer.find("VERSION=\"1.0.12\"");
    ASSERT_NE(version, std::string::npos);
    newer.replace(version, 16, "VERSION=\"1.0.13\"");
    // The shipped markup grows from release to release: the fillers take
    // the room it leaves, at most 1,500 of them.
    std::string extra;
    for (int i = 0; i < 1500; ++i) {
        std::string filler = "  <SW NAME=\"Filler " + std::to_string(i) +
                             "\">\n    <CATEGORY NAME=\"Adware\"/>\n    <FILES>\n      <FILE "
                             "NAME=\"%programfiles%\\Filler\\f" +
                             std::to_string(i) + ".exe\"/>\n    </FILES>\n  </SW>\n";
        if (newer.size() + extra.size() + filler.size() > kContainerTextLimit) break;
        extra += filler;
    }
    ASSERT_FALSE(extra.empty()) << "the shipped markup leaves no room below the limit";
    newer.insert(newer.rfind("</NA>"), extra);
    std::string oldDb;
    std::string newDb;
    ASSERT_TRUE(EncodeContainer(text, &oldDb));
    ASSERT_TRUE(EncodeContainer(newer, &newDb));
    const std::string database = std::string(crash::kApplicationFolder) + "\\database.db";
    // Both versions load, so a file equal to one of them byte for byte is a
    // whole database; each check after a kill then only compares bytes
    // (loading 5 MB of markup 200 times made this the slowest test by far).
    for (const auto& [stored, wanted] : {std::pair{&oldDb, "1.0.12"}, {&newDb, "1.0.13"}}) {
        ThreatDatabase loaded;
        ASSERT_TRUE(LoadDefinitionsFromContainer(*stored, PlaceholderFolders{}, &loaded));
        EXPECT_EQ(loaded.version(), wanted);
    }
    prefix_.WriteFile(crash::kStageOldDb, oldDb);
    prefix_.WriteFile(crash::kStageNewDb, newDb);
    prefix_.WriteFile(database, oldDb);
    machine_.reset();

    Tally tally = KillRepeatedly("database", prefix_.path(), 40000,
                                 {prefix_.Host("drive_c/Program Files/Tolvane"), 2}, [&] {
                                     std::string content;
                                     std::unique_ptr<Machine> machine = prefix_.Open();
                                     if (!machine->files().ReadWholeFile(database, &content))
                                         return Seen::Broken;
                                     if (content == oldDb) return Seen::Old;
                                     return content == newDb ? Seen::New : Seen::Broken;
                                 });
    ExpectEveryKillChecked(tally);
}

// The archive writer once deleted the old archive before it moved the new one
// into place, so a kill between the two left no archive at all.
TEST_F(CrashSafety, BackupArchiveKeepsTheOldOrTheNewArchiveWhole) {
    std::mt19937 random(7);
    std::string a(256 << 10, '\0');
    std::string b(256 << 10, '\0');
    // Poorly compressible content, so that writing the archive takes a while.
    for (char& c : a) c = static_cast<char>(random() & 0x3f);
    for (char& c : b) c = static_cast<char>(0x40 | (random() & 0x3f));
    prefix_.WriteFile(crash::kBackupSourceA, a);
    prefix_.WriteFile(crash::kBackupSourceB, b);
    {
        ArchiveWriter writer(machine_->files());
        ASSERT_TRUE(writer.Open(crash::kBackupArchive));
        ASSERT_TRUE(writer.AddFileAs(crash::kBackupSourceA, crash::kBackupEntry));
        ASSERT_TRUE(writer.Close());
    }
    machine_.reset();

    Tally tally =
        KillRepeatedly("backup", prefix_.path(), 100000, {prefix_.Host("drive_c/stage")}, [&] {
            std::unique_ptr<Machine> machine = prefix_.Open();
            FileSystem& files = machine->files();
            const std::string check = "C:\\check";
            std::error_code error;
            fs::remove_all(prefix_.Host("drive_c/check"), error);
            ArchiveReader reader(files);
            if (!reader.Open(crash::kBackupArchive) || !reader.SetOutputFolder(check) ||
                !reader.ExtractAll(false) || reader.FilesExtracted() != 1) {
                std::printf(
                    "  %s: %s\n", crash::kBackupArchive,
                    files.PathFileExists(crash::kBackupArchive) ? "no whole archive" : "missing");
                return Seen::Broken;
            }
            reader.Close();
            std::string content;
            if (!files.ReadWholeFile(check + "\\" + crash::kBackupEntry, &content)) {
                return Seen::Broken;
            }
            if (content == a) return Seen::Old;
            if (content == b) return Seen::New;
            return Seen::Broken;
        });
    ExpectEveryKillChecked(tally);
}

// The hive as hivex reads it with its own checks on: every key's path and
// its values' names, types and data, in hivex's order (no times). "" when
// hivex refuses the file.
std::string HivexExport(const std::string& path) {
    hive_h* h = hivex_open(path.c_str(), 0);
    if (!h) return "";
    std::string out;
    std::function<bool(hive_node_h, const std::string&)> walk = [&](hive_node_h node,
                                                                    const std::string& name) {
        out += "[" + name + "]\n";
        hive_value_h* values = hivex_node_values(h, node);
        if (!values) return false;
        bool ok = true;
        for (size_t i = 0; ok && values[i]; ++i) {
            char* key = hivex_value_key(h, values[i]);
            hive_type type{};
            size_t length = 0;
            char* data = hivex_value_value(h, values[i], &type, &length);
            ok = key && data;
            if (ok)
                out += std::string(key) + "=" + std::to_string(type) + ":" +
                       std::string(data, length) + "\n";
            free(key);
            free(data);
        }
        free(values);
        hive_node_h* children = ok ? hivex_node_children(h, node) : nullptr;
        if (!children) return false;
        for (size_t i = 0; ok && children[i]; ++i) {
            char* child = hivex_node_name(h, children[i]);
            ok = child && walk(children[i], name + "\\" + child);
            free(child);
        }
        free(children);
        return ok;
    };
    bool whole = walk(hivex_root(h), "");
    hivex_close(h);
    return whole ? out : "";
}

// A Windows installation's hive: each change is committed through hivex to
// the temporary beside the hive, read back, fsynced and renamed over it. A
// kill at any moment leaves the old or the new hive, whole, and what a
// killed commit left is taken over by the next.
TEST(CrashSafetyOnWindows, HiveCommitKeepsTheOldOrTheNewHiveWhole) {
    testing::TempInstallation windows;
    const std::string a = crash::HiveData('A');
    const std::string b = crash::HiveData('B');
    std::string oldExport, newExport;
    {
        std::unique_ptr<Machine> machine = windows.Open();
        Registry& registry = machine->registry();
        RegKey key;
        ASSERT_EQ(
            registry.CreateKey(Registry::Root(RootKey::LocalMachine), crash::kRegistryKey, 0, &key),
            ERROR_SUCCESS);
        ASSERT_EQ(registry.SetValue(key, "Marker", REG_SZ, "keep"), ERROR_SUCCESS);
        ASSERT_EQ(registry.SetValue(key, crash::kRegistryValue, REG_SZ, b), ERROR_SUCCESS);
        newExport = HivexExport(windows.Software());
        ASSERT_EQ(registry.SetValue(key, crash::kRegistryValue, REG_SZ, a), ERROR_SUCCESS);
        oldExport = HivexExport(windows.Software());
    }
    ASSERT_FALSE(oldExport.empty());
    ASSERT_NE(oldExport, newExport);
    const std::string config = windows.Host("Windows/System32/config");
    int unfinished = 0;  // kills after which a commit's temporary stood beside the hive
    Tally tally = KillRepeatedly("hive", windows.path(), 30000, {config}, [&] {
        if (fs::exists(config + "/.SOFTWARE.tolvane-tmp")) ++unfinished;
        const std::string now = HivexExport(windows.Software());
        if (now == oldExport) return Seen::Old;
        if (now == newExport) return Seen::New;
        return Seen::Broken;
    });
    std::printf("crash safety hive: %d of %d kills left a commit's temporary beside the hive\n",
                unfinished, tally.kills);
    EXPECT_EQ(tally.kills, KillsPerCase());
}

}  // namespace
}  // namespace tolvane
