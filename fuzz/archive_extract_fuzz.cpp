// libFuzzer target: extraction of a crafted zip archive. The input is the
// archive's bytes; it is extracted with folder names kept and then with
// them dropped, into a folder of the machine.
//
// Whatever the archive, extraction must not crash and must create nothing
// outside its output folder. The output folder is cleared before each input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <system_error>

#include "backup/archive_reader.h"
#include "fuzz/fuzz_machine.h"
#include "machine/machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& fuzz = tolvane::fuzzing::Prefix();
    auto& prefix = fuzz.prefix();
    static std::unique_ptr<tolvane::Machine> machine = [&] {
        prefix.MakeFolder("C:\\fuzzin");
        return prefix.Open();
    }();
    tolvane::FileSystem& files = machine->files();
    const std::string archive = "C:\\fuzzin\\crafted.zip";
    if (!files.WriteWholeFileAtomic(archive,
                                    std::string_view(reinterpret_cast<const char*>(data), size))) {
        std::abort();
    }
    static const std::set<std::string> before = tolvane::fuzzing::TreeOf(prefix.path());
    const std::string outputHost = prefix.Host("drive_c/fuzzout");

    for (bool ignoreFolderNames : {false, true}) {
        tolvane::ArchiveReader reader(files);
        if (reader.Open(archive)) {
            if (!reader.SetOutputFolder("C:\\fuzzout")) std::abort();
            (void)reader.ExtractAll(ignoreFolderNames);
            reader.Close();
        }
        fuzz.CheckContained(before, outputHost);
        std::error_code error;
        std::filesystem::remove_all(outputHost, error);
    }
    return 0;
}
