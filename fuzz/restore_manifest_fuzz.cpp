// libFuzzer target: the manifest Config.ini of a backup archive from
// untrusted bytes, read the way a restore reads it. Every input becomes an
// archive holding the manifest, a file copy "1", a folder copy "2/sub/f.txt"
// and a loose file of the flat layout, and the archive is restored.
//
// Whatever the manifest, the restore must not crash and must write nothing
// outside the machine's C: drive (the prefix's drive_c); what it restored is
// cleared away before the next input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <system_error>

#include "backup/archive_writer.h"
#include "backup/backup_archive.h"
#include "backup/restore.h"
#include "fuzz/fuzz_machine.h"
#include "machine/machine.h"

namespace {

constexpr const char* kStage = "C:\\fuzzstage";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& fuzz = tolvane::fuzzing::Prefix();
    auto& prefix = fuzz.prefix();
    static std::unique_ptr<tolvane::Machine> machine = [&] {
        prefix.WriteFile("C:\\fuzzstage\\1", "file copy");
        prefix.WriteFile("C:\\fuzzstage\\2\\sub\\f.txt", "folder copy");
        prefix.WriteFile("C:\\fuzzstage\\loose.txt", "flat layout");
        return prefix.Open();
    }();
    static const std::set<std::string> before = tolvane::fuzzing::TreeOf(prefix.path());
    tolvane::FileSystem& files = machine->files();
    const std::string stage = kStage;

    if (!files.WriteWholeFileAtomic(stage + "\\Config.ini",
                                    std::string_view(reinterpret_cast<const char*>(data), size))) {
        std::abort();
    }
    {
        tolvane::ArchiveWriter writer(files);
        if (!writer.Open(stage + "\\backup.zip") ||
            !writer.AddFileAs(stage + "\\Config.ini", tolvane::backup_text::kConfigFile) ||
            !writer.AddFileAs(stage + "\\1", "1") || !writer.AddFolderAs(stage + "\\2", "2") ||
            !writer.AddFileAs(stage + "\\loose.txt", "loose.txt") || !writer.Close()) {
            std::abort();
        }
    }
    static const std::set<std::string> staged = tolvane::fuzzing::TreeOf(prefix.path());

    (void)tolvane::RestoreArchive(*machine, stage + "\\backup.zip");

    fuzz.CheckContained(staged, prefix.Host("drive_c"));
    // Clear away what the restore made, so every input meets the same machine.
    std::error_code error;
    for (const std::string& path : tolvane::fuzzing::TreeOf(prefix.path())) {
        if (!staged.count(path) && !before.count(path)) std::filesystem::remove_all(path, error);
    }
    (void)before;
    return 0;
}
