// crash_writer CASE PREFIX [once]: repeats one of the program's replacing
// writes on the prefix, alternating between two versions of the content,
// until it is killed ("once": one round, then it ends with status 0). The crash-safety test kills
// it with SIGKILL at random moments and checks that what it was writing is still one version or the
// other, whole.
//
// It writes one byte "R" to stdout once it is set up and about to write, so
// that the kill lands in the writes rather than in the start-up.
//
// Cases and their two versions (the test prepares the machine and the files
// named here):
//   registry  HKLM\Software\CrashTest "Flip" = 'A' x N or 'B' x N
//   hive      the same with HiveData, PREFIX a Windows installation (its
//             SOFTWARE hive)
//   hosts     the hosts file with and without the line of crash.example
//   ignore    Ignorelist.txt with its entries and with one more
//   database  database.db as C:\stage\old.db and as C:\stage\new.db
//   backup    C:\stage\backup.zip holding C:\stage\a.bin or C:\stage\b.bin
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "backup/archive_writer.h"
#include "definitions/threat_database.h"
#include "discovery/open_machine.h"
#include "machine/machine.h"
#include "machine/registry.h"
#include "removal/object_remover.h"
#include "scan/ignore_list.h"
#include "tests/crash_safety/crash_cases.h"

namespace {

using namespace tolvane;

// Which version a run writes first: either, so that kills land in writes
// of both versions whatever the file holds when the run starts.
bool FirstFlip() {
    return (getpid() & 1) != 0;
}

void Ready() {
    if (write(STDOUT_FILENO, "R", 1) != 1) _exit(3);
}

int RunRegistry(Machine& machine, bool once, const std::string& a, const std::string& b) {
    tolvane::Registry& registry = machine.registry();
    RegKey key;
    if (registry.CreateKey(tolvane::Registry::Root(RootKey::LocalMachine), crash::kRegistryKey, 0,
                           &key) != ERROR_SUCCESS) {
        return 2;
    }
    Ready();
    for (bool flip = FirstFlip();; flip = !flip) {
        if (registry.SetValue(key, crash::kRegistryValue, REG_SZ, flip ? b : a) != ERROR_SUCCESS) {
            return 2;
        }
        if (once) return 0;
    }
}

int RunHosts(Machine& machine, bool once) {
    ObjectRemover remover(machine);
    const std::string withEntry = crash::HostsWithEntry();
    Ready();
    for (bool remove = FirstFlip();; remove = !remove) {
        if (remove) {
            remover.RemoveHostsEntry(crash::kHostsEntry);  // false when the line is gone already
        } else if (!machine.files().WriteWholeFileAtomic(crash::kHostsPath, withEntry)) {
            // The line is put back the way the program writes files it replaces.
            return 2;
        }
        if (once) return 0;
    }
}

int RunIgnore(Machine& machine, bool once) {
    ThreatDatabase database;
    IgnoreList list(machine.files(), crash::kApplicationFolder);
    list.Load(database);
    // An earlier run may have been killed between its two saves.
    while (list.Size() > 0 && list.Entries().back().objectText == crash::kIgnoreExtraObject) {
        list.RemoveAt(list.Size() - 1);
    }
    const size_t base = list.Size();
    Ready();
    for (bool extended = FirstFlip();; extended = !extended) {
        if (extended)
            list.Add(nullptr, crash::kIgnoreExtraName, crash::kIgnoreExtraObject, ObjectType::File);
        if (!list.Save()) return 2;
        if (extended && !list.RemoveAt(base)) return 2;
        if (once) return 0;
    }
}

// The last step of a definitions update: the verified download replaces
// database.db (the old one kept as database.bak first).
int RunDatabase(Machine& machine, bool once) {
    FileSystem& files = machine.files();
    std::string oldDb;
    std::string newDb;
    if (!files.ReadWholeFile(crash::kStageOldDb, &oldDb) ||
        !files.ReadWholeFile(crash::kStageNewDb, &newDb)) {
        return 2;
    }
    const std::string database = std::string(crash::kApplicationFolder) + "\\database.db";
    const std::string backup = std::string(crash::kApplicationFolder) + "\\database.bak";
    Ready();
    for (bool flip = FirstFlip();; flip = !flip) {
        std::string current;
        if (!files.ReadWholeFile(database, &current) ||
            !files.WriteWholeFileAtomic(backup, current) ||
            !files.WriteWholeFileAtomic(database, flip ? newDb : oldDb)) {
            return 2;
        }
        if (once) return 0;
    }
}

int RunBackup(Machine& machine, bool once) {
    FileSystem& files = machine.files();
    Ready();
    for (bool flip = FirstFlip();; flip = !flip) {
        ArchiveWriter writer(files);
        if (!writer.Open(crash::kBackupArchive) ||
            !writer.AddFileAs(flip ? crash::kBackupSourceB : crash::kBackupSourceA,
                              crash::kBackupEntry) ||
            !writer.Close()) {
            return 2;
        }
        if (once) return 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && !(argc == 4 && std::string_view(argv[3]) == "once")) {
        std::fprintf(
            stderr,
            "usage: crash_writer registry|hive|hosts|ignore|database|backup PREFIX [once]\n");
        return 1;
    }
    std::string error;
    std::unique_ptr<Machine> machine = OpenMachine(argv[2], &error);
    if (!machine) {
        std::fprintf(stderr, "crash_writer: %s\n", error.c_str());
        return 1;
    }
    const std::string_view which = argv[1];
    const bool once = argc == 4;
    if (which == "registry")
        return RunRegistry(*machine, once, crash::RegistryData('A'), crash::RegistryData('B'));
    if (which == "hive")
        return RunRegistry(*machine, once, crash::HiveData('A'), crash::HiveData('B'));
    if (which == "hosts") return RunHosts(*machine, once);
    if (which == "ignore") return RunIgnore(*machine, once);
    if (which == "database") return RunDatabase(*machine, once);
    if (which == "backup") return RunBackup(*machine, once);
    std::fprintf(stderr, "crash_writer: unknown case %s\n", argv[1]);
    return 1;
}
