// Opening the machine and the first start's installation of the shipped
// databases.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

#include "platform/machine.h"
#include "scan/scan_log.h"
#include "settings/settings_store.h"
#include "ui/headless/headless.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

// The folder of the running program (host path), "" when unknown.
fs::path ProgramFolder() {
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : self.parent_path();
}

// The shipped copy of a database: next to the program, in ../data beside
// it, or in the data folder of the build that made it.
std::optional<fs::path> ShippedFile(const std::string& name) {
    std::vector<fs::path> candidates;
    fs::path folder = ProgramFolder();
    if (!folder.empty()) {
        candidates.push_back(folder / name);
        candidates.push_back(folder.parent_path() / "data" / name);
    }
#ifdef TOLVANE_SHIPPED_DATA_DIR
    candidates.push_back(fs::path(TOLVANE_SHIPPED_DATA_DIR) / name);
#endif
    for (const fs::path& candidate : candidates) {
        std::error_code error;
        if (fs::is_regular_file(candidate, error)) return candidate;
    }
    return std::nullopt;
}

}  // namespace

std::unique_ptr<Machine> OpenHeadlessMachine(const HeadlessOptions& options, std::ostream& err) {
    std::string path =
        options.machinePath.empty() ? Machine::DefaultPrefixPath() : options.machinePath;
    std::string error;
    std::unique_ptr<Machine> machine = Machine::Open(path, &error);
    if (!machine) err << "tolvane: " << error << "\n";
    return machine;
}

bool InstallShippedDatabases(Machine& machine, std::ostream& err) {
    FileSystem& files = machine.files();
    const std::string folder = SettingsStore::ApplicationFolder();
    for (const char* name : {"database.db", "script.db"}) {
        const std::string target = folder + name;
        if (files.PathFileExists(target)) continue;  // never replaced
        std::optional<fs::path> shipped = ShippedFile(name);
        if (!shipped) continue;
        std::ifstream in(*shipped, std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) continue;
        std::string withoutSlash = folder.substr(0, folder.size() - 1);
        if (!ScanLog::CreateFolderPath(files, withoutSlash) ||
            !files.WriteWholeFileAtomic(target, content))
            err << "tolvane: could not install " << name << " into " << folder << "\n";
    }
    return files.PathFileExists(folder + "database.db");
}

}  // namespace tolvane
