#include "discovery/shipped_data.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "machine/machine.h"

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

std::string InstalledDocumentation() {
    std::vector<fs::path> candidates;
    std::string self = RunningProgramPath();
    if (!self.empty())
        candidates.push_back(fs::path(self).parent_path().parent_path() / "share" / "doc" /
                             "tolvane" / "README.md");
#ifdef TOLVANE_SOURCE_README
    candidates.push_back(TOLVANE_SOURCE_README);
#endif
    for (const fs::path& file : candidates) {
        std::error_code error;
        if (fs::is_regular_file(file, error)) return file.lexically_normal().string();
    }
    return "";
}

std::vector<std::string> InstallShippedDatabases(Machine& machine,
                                                 const std::string& shippedFolder) {
    std::vector<std::string> failed;
    // An installation is scanned with the shipped databases where they lie.
    if (shippedFolder.empty() || !machine.KeepsToolStateInside()) return failed;
    FileSystem& files = machine.files();
    const std::string folder = ShellFolders::ApplicationFolder();
    for (const char* name : kShippedDatabases) {
        const std::string target = folder + name;
        if (files.PathFileExists(target)) continue;  // never replaced
        const fs::path shipped = fs::path(shippedFolder) / name;
        std::error_code error;
        if (!fs::is_regular_file(shipped, error)) continue;
        std::ifstream in(shipped, std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) continue;
        if (!files.CreateFolderPath(folder.substr(0, folder.size() - 1)) ||
            !files.WriteWholeFileAtomic(target, content))
            failed.push_back(name);
    }
    return failed;
}

}  // namespace tolvane
