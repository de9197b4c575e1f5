// MatchFile and MatchFolder against the machine's files.
#include "definitions/threat_database.h"
#include "machine/file_system.h"

namespace tolvane {

ThreatDefinition* ThreatDatabase::MatchFile(std::string_view path, const FileSystem& files) const {
    return MatchFile(path, [&] {
        uint64_t size = 0;
        if (!files.GetFileSize(path, &size)) size = 0;
        return size;
    });
}

ThreatDefinition* ThreatDatabase::MatchFolder(std::string_view path,
                                              const FileSystem& files) const {
    return MatchFolder(path, [&] { return files.PathFileExists(path); });
}

}  // namespace tolvane
