#include "machine/machine.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "discovery/machine_discovery.h"
#include "host/host_files.h"
#include "machine/windows/installation_hive_set.h"
#include "machine/windows/installation_hives.h"
#include "machine/wine/prefix_hive_set.h"
#include "machine/wine/wineserver_lock.h"

namespace tolvane {

Machine::Machine(std::string prefix) : prefix_(std::move(prefix)) {}

Machine::~Machine() = default;

std::unique_ptr<Machine> Machine::Open(const std::string& prefixPath, std::string* error) {
    return Open(prefixPath, MachineOptions(), error);
}

std::unique_ptr<Machine> Machine::Open(const std::string& prefixPath, const MachineOptions& options,
                                       std::string* error) {
    if (!prefixPath.empty() && tolvane::IsWindowsInstallation(prefixPath))
        return OpenInstallation(prefixPath, options, error);
    auto fail = [&](const std::string& message) -> std::unique_ptr<Machine> {
        if (error) *error = message;
        return nullptr;
    };
    if (prefixPath.empty()) return fail("No Wine prefix was given.");
    if (!IsHostFolder(prefixPath)) return fail(prefixPath + " is not a folder.");
    if (!IsHostFolder(prefixPath + "/drive_c") && !IsHostFolder(prefixPath + "/dosdevices"))
        return fail(prefixPath +
                    " is not a Wine prefix (it has neither drive_c nor dosdevices) nor a "
                    "Windows installation (it has no Windows\\System32\\config\\SOFTWARE).");

    // The canonical path: processes name their prefix in any spelling.
    std::string canonical = prefixPath;
    if (char* real = realpath(prefixPath.c_str(), nullptr)) {
        canonical = real;
        free(real);
    }
    std::unique_ptr<Machine> machine(new Machine(canonical));
    machine->registry_ = std::make_unique<Registry>(MakePrefixHiveSet(canonical));
    machine->files_ = std::make_unique<FileSystem>(canonical);
    machine->shell_ = std::make_unique<ShellFolders>(*machine->registry_);
    machine->processes_ = MakeProcProcessTable(canonical, *machine->files_);
    machine->launcher_ = std::make_unique<Launcher>(canonical, *machine->files_);
    machine->Connect();
    if (error) error->clear();
    return machine;
}

void Machine::Connect() {
    files_->SetInUseCheck(
        [this](const std::string& hostPath) { return processes_->IsMapped(hostPath); });
    files_->SetTempFolderSource([this] { return shell_->TempFolder(); });
}

std::unique_ptr<Machine> Machine::OpenInstallation(const std::string& path,
                                                   const MachineOptions& options,
                                                   std::string* error) {
    InstallationHives hives;
    std::string why;
    if (!FindInstallationHives(path, options.user, &hives, &why)) {
        if (error) *error = why;
        return nullptr;
    }
    for (const auto& [letter, folder] : options.drives) {
        if (IsHostFolder(folder)) continue;
        if (error)
            *error = std::string("The folder for drive ") + letter + ": (" + folder +
                     ") is not a folder.";
        return nullptr;
    }
    std::unique_ptr<Machine> machine(new Machine(hives.root));
    machine->installation_ = true;
    std::map<char, std::string> drives = options.drives;
    drives['C'] = hives.root;
    machine->registry_ = std::make_unique<Registry>(MakeInstallationHiveSet(hives));
    machine->files_ = std::make_unique<FileSystem>(hives.root, drives);
    machine->shell_ = std::make_unique<ShellFolders>(*machine->registry_);
    machine->processes_ = MakeFixedProcessTable({});
    machine->launcher_ = std::make_unique<Launcher>(hives.root, *machine->files_);
    machine->launcher_->StartNoWindowsPrograms();
    machine->Connect();
    machine->description_ = "Windows installation at " + hives.root;
    if (hives.currentUser >= 0) {
        const auto& user = hives.profiles[hives.currentUser];
        machine->description_ += ", current user " + user.userName + " (" + user.sid + ")";
    } else {
        machine->description_ += ", no user profile (HKEY_CURRENT_USER is empty)";
    }
    if (error) error->clear();
    return machine;
}

std::string Machine::DefaultPrefixPath() {
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix && *prefix) return prefix;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* user = getpwuid(getuid());
        home = user && user->pw_dir ? user->pw_dir : "";
    }
    return std::string(home) + "/.wine";
}

std::string Machine::ChangesRefusal() const {
    return WineServerRefusal(prefix_);
}

bool Machine::WineServerRunning() const {
    return IsWineServerRunning(prefix_);
}

std::vector<std::string> Machine::HostsFilePaths() const {
    std::vector<std::string> paths;
    std::string windows, system;
    if (shell_->GetFolderPath(CSIDL_WINDOWS, &windows)) {
        paths.push_back(windows + "\\hosts");
        paths.push_back(windows + "\\hosts.new");
    }
    if (shell_->GetFolderPath(CSIDL_SYSTEM, &system)) {
        paths.push_back(system + "\\drivers\\etc\\hosts");
        paths.push_back(system + "\\drivers\\etc\\hosts.new");
    }
    return paths;
}

std::vector<std::string> Machine::HostsFiles() const {
    std::vector<std::string> existing;
    for (const std::string& path : HostsFilePaths())
        if (files_->PathFileExists(path)) existing.push_back(path);
    return existing;
}

void Machine::SetProcessTable(std::unique_ptr<ProcessTable> table) {
    if (table) processes_ = std::move(table);
}

}  // namespace tolvane
