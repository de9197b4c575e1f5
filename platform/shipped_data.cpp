#include "platform/shipped_data.h"

#include <filesystem>
#include <vector>

namespace tolvane {

namespace fs = std::filesystem;

std::string RunningProgramPath() {
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? "" : self.string();
}

std::string ShippedDataFolder() {
    std::vector<fs::path> candidates;
    std::string self = RunningProgramPath();
    if (!self.empty()) {
        fs::path folder = fs::path(self).parent_path();
        candidates.push_back(folder);
        candidates.push_back(folder.parent_path() / "share" / "tolvane");
        candidates.push_back(folder.parent_path() / "data");
    }
#ifdef TOLVANE_SHIPPED_DATA_DIR
    candidates.push_back(TOLVANE_SHIPPED_DATA_DIR);
#endif
    for (const fs::path& folder : candidates) {
        std::error_code error;
        if (fs::is_regular_file(folder / "database.db", error)) return folder.string();
    }
    return "";
}

}  // namespace tolvane
