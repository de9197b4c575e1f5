// libFuzzer target: Ignorelist.txt from untrusted bytes, loaded the way the
// program loads it at start-up, against a database holding one definition.
//
// Whatever the file, loading must not crash, and the list must survive its
// own save: what Save writes loads back as the same entries and saves to the
// same bytes again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "definitions/threat_database.h"
#include "fuzz/fuzz_machine.h"
#include "machine/machine.h"
#include "scan/ignore_list.h"

namespace {

constexpr const char* kFolder = "C:\\Program Files\\Tolvane";

bool SameEntries(const tolvane::IgnoreList& a, const tolvane::IgnoreList& b) {
    auto left = a.Entries();
    auto right = b.Entries();
    if (left.size() != right.size()) return false;
    for (size_t i = 0; i < left.size(); ++i) {
        if (left[i].name != right[i].name || left[i].objectText != right[i].objectText ||
            left[i].type != right[i].type || left[i].definition != right[i].definition) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& prefix = tolvane::fuzzing::Prefix().prefix();
    static std::unique_ptr<tolvane::Machine> machine = prefix.Open();
    static const std::unique_ptr<tolvane::ThreatDatabase> held = [] {
        auto db = std::make_unique<tolvane::ThreatDatabase>();
        auto definition = std::make_unique<tolvane::ThreatDefinition>();
        definition->name = "Velvet Gazer";
        db->definitions().push_back(std::move(definition));
        return db;
    }();
    const tolvane::ThreatDatabase& database = *held;
    tolvane::FileSystem& files = machine->files();
    static const bool folderMade = files.CreateDirectory(kFolder) || files.PathFileExists(kFolder);
    if (!folderMade) std::abort();

    tolvane::IgnoreList list(files, kFolder);
    if (!files.WriteWholeFileAtomic(list.FilePath(),
                                    std::string_view(reinterpret_cast<const char*>(data), size))) {
        std::abort();
    }
    list.Load(database);
    for (const tolvane::IgnoreEntry& entry : list.Entries()) {
        (void)list.IsIgnored(entry.type, entry.objectText);
        if (entry.name.find('\n') != std::string::npos) std::abort();
    }
    if (!list.Save()) std::abort();
    std::string first;
    if (!files.ReadWholeFile(list.FilePath(), &first)) std::abort();

    tolvane::IgnoreList reloaded(files, kFolder);
    reloaded.Load(database);
    if (!SameEntries(list, reloaded)) std::abort();
    if (!reloaded.Save()) std::abort();
    std::string second;
    if (!files.ReadWholeFile(list.FilePath(), &second) || second != first) std::abort();
    while (reloaded.RemoveAt(0)) {
    }
    return 0;
}
