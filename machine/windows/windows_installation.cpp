#include "machine/windows/windows_installation.h"

#include <fcntl.h>

#include "host/held_path.h"
#include "host/host_files.h"
#include "host/host_paths.h"
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
    bool HonoursStartupApproval() const override { return true; }
    // Not yet told apart: every file of the installation is checked.
    bool IsPlatformFile(std::string_view, uint64_t, std::string_view) const override {
        return false;
    }

  private:
    std::string description_;
};

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

// Every profile of a person's account (a SID starting S-1-5-21-), the
// current user's first, each with its folders from its own keys.
std::vector<UserProfile> PersonProfiles(const InstallationHives& hives, const Registry& registry) {
    std::vector<UserProfile> profiles;
    if (hives.currentUser >= 0)
        profiles.push_back({hives.profiles[hives.currentUser].userName, "", nullptr});
    for (size_t i = 0; i < hives.profiles.size(); ++i) {
        const auto& p = hives.profiles[i];
        if (static_cast<int>(i) == hives.currentUser || p.sid.rfind("S-1-5-21-", 0) != 0) continue;
        profiles.push_back({p.userName, p.sid,
                            std::make_unique<ShellFolders>(
                                registry, UserFolderSource::UserShellFoldersFirst, p.sid)});
    }
    return profiles;
}

}  // namespace

bool IsWindowsInstallation(const std::string& folder) {
    // Windows and System32 are followed as a user's mount may link them.
    UniqueFd at(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string name;
    for (const char* part : {"Windows", "System32"}) {
        if (!at.valid() || !FindEntryNoCase(at.get(), part, &name)) return false;
        at.Reset(openat(at.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    // From config on, an entry counts whatever it is: a config folder, a
    // SOFTWARE or a SYSTEM planted as a link or a pipe makes no Wine prefix
    // of the folder, and opening it as an installation says what was found
    // and why it is not used.
    if (!at.valid() || !FindEntryNoCase(at.get(), "config", &name)) return false;
    UniqueFd config(openat(at.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!config.valid()) return true;
    for (const char* hive : {"SOFTWARE", "SYSTEM"})
        if (!FindEntryNoCase(config.get(), hive, &name)) return false;
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
    parts.shell =
        std::make_unique<ShellFolders>(*parts.registry, UserFolderSource::UserShellFoldersFirst);
    parts.processes = MakeFixedProcessTable({});
    parts.launcher = std::make_unique<Launcher>(hives.root, *parts.files);
    parts.launcher->StartNoWindowsPrograms();
    parts.backEnd = std::make_unique<WindowsInstallation>(Describe(hives));
    parts.profiles = PersonProfiles(hives, *parts.registry);
    if (error) error->clear();
    return std::make_unique<Machine>(std::move(parts));
}

}  // namespace tolvane
