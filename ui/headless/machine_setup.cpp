// Opening the machine and the first start's installation of the shipped
// databases.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>

#include "app/application.h"
#include "platform/machine.h"
#include "platform/privileges.h"
#include "platform/shipped_data.h"
#include "scan/scan_log.h"
#include "settings/settings_store.h"
#include "ui/headless/headless.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

// The shipped copy of a file (see platform/shipped_data.h).
std::optional<fs::path> ShippedFile(const std::string& name) {
    std::string folder = ShippedDataFolder();
    std::error_code error;
    if (folder.empty() || !fs::is_regular_file(fs::path(folder) / name, error)) return std::nullopt;
    return fs::path(folder) / name;
}

}  // namespace

std::unique_ptr<Machine> OpenHeadlessMachine(const HeadlessOptions& options, std::ostream& err,
                                             Privileges* privileges) {
    std::string path =
        options.machinePath.empty() ? Machine::DefaultPrefixPath() : options.machinePath;
    std::string error;
    if (!TakeMachineOwnersRights(path, privileges, &error)) {
        err << "tolvane: " << error << "\n";
        return nullptr;
    }
    std::unique_ptr<Machine> machine = Machine::Open(path, options.machineOptions, &error);
    if (!machine) err << "tolvane: " << error << "\n";
    if (machine && machine->IsWindowsInstallation())
        err << "tolvane: " << machine->Description() << "\n";
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
    Application::InstallLauncher(machine, ShippedDataFolder());
    return files.PathFileExists(folder + "database.db");
}

}  // namespace tolvane
