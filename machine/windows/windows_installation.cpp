#include "machine/windows/windows_installation.h"

#include <dirent.h>
#include <strings.h>

#include "host/host_files.h"
#include "machine/windows/installation_hive_set.h"
#include "machine/windows/installation_hives.h"

namespace tolvane {
namespace {

class WindowsInstallation : public MachineBackEnd {
  public:
    explicit WindowsInstallation(std::string description) : description_(std::move(description)) {}

    // Nothing else writes the hives of a Windows that is not running.
    std::string ChangesRefusal() const override { return ""; }
    bool RunsPrograms() const override { return false; }
    bool Busy(ProcessTable&) const override { return false; }
    std::string Description() const override { return description_; }
    // A Windows disk is evidence: only a removal or restore writes to it.
    bool KeepsToolStateInside() const override { return false; }

  private:
    std::string description_;
};

// The entry of folder named like name without regard to case ("" if none).
std::string FindNoCase(const std::string& folder, const std::string& name) {
    if (IsHostFolder(folder + "/" + name) || IsHostFile(folder + "/" + name)) return name;
    std::string found;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return found;
    // The first in name order, whatever order the folder lists them in.
    while (dirent* entry = readdir(dir)) {
        std::string candidate = entry->d_name;
        if (candidate == "." || candidate == "..") continue;
        if (strcasecmp(candidate.c_str(), name.c_str()) == 0 &&
            (found.empty() || candidate < found))
            found = candidate;
    }
    closedir(dir);
    return found;
}

// The one place the registry of an installation is made.
std::unique_ptr<Registry> RegistryOf(const InstallationHives& hives) {
    return std::make_unique<Registry>(MakeInstallationHiveSet(hives));
}

std::string Describe(const InstallationHives& hives) {
    std::string description = "Windows installation at " + hives.root;
    if (hives.currentUser < 0)
        return description + ", no user profile (HKEY_CURRENT_USER is empty)";
    const auto& user = hives.profiles[hives.currentUser];
    return description + ", current user " + user.userName + " (" + user.sid + ")";
}

}  // namespace

bool IsWindowsInstallation(const std::string& folder) {
    std::string at = folder;
    for (const char* part : {"Windows", "System32", "config"}) {
        std::string name = FindNoCase(at, part);
        if (name.empty() || !IsHostFolder(at + "/" + name)) return false;
        at += "/" + name;
    }
    for (const char* hive : {"SOFTWARE", "SYSTEM"}) {
        std::string name = FindNoCase(at, hive);
        if (name.empty() || !IsHostFile(at + "/" + name)) return false;
    }
    return true;
}

std::unique_ptr<Registry> OpenInstallationRegistry(const std::string& path, const std::string& user,
                                                   std::string* error) {
    InstallationHives hives;
    if (!FindInstallationHives(path, user, &hives, error)) return nullptr;
    return RegistryOf(hives);
}

std::unique_ptr<Machine> OpenWindowsInstallation(const std::string& path,
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
    std::map<char, std::string> drives = options.drives;
    drives['C'] = hives.root;
    Machine::Parts parts;
    parts.folder = hives.root;
    parts.registry = RegistryOf(hives);
    parts.files = std::make_unique<FileSystem>(hives.root, drives);
    parts.shell = std::make_unique<ShellFolders>(*parts.registry);
    parts.processes = MakeFixedProcessTable({});
    parts.launcher = std::make_unique<Launcher>(hives.root, *parts.files);
    parts.launcher->StartNoWindowsPrograms();
    parts.backEnd = std::make_unique<WindowsInstallation>(Describe(hives));
    if (error) error->clear();
    return std::make_unique<Machine>(std::move(parts));
}

}  // namespace tolvane
