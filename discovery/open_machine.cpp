#include "discovery/open_machine.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "host/host_files.h"
#include "machine/windows/windows_installation.h"
#include "machine/wine/wine_prefix.h"

namespace tolvane {

std::string DefaultPrefixPath() {
    const char* prefix = std::getenv("WINEPREFIX");
    if (prefix && *prefix) return prefix;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* user = getpwuid(getuid());
        home = user && user->pw_dir ? user->pw_dir : "";
    }
    return std::string(home) + "/.wine";
}

std::unique_ptr<Machine> OpenMachine(const std::string& path, const MachineOptions& options,
                                     std::string* error) {
    if (!path.empty() && IsWindowsInstallation(path))
        return OpenWindowsInstallation(path, options, error);
    auto fail = [&](const std::string& message) -> std::unique_ptr<Machine> {
        if (error) *error = message;
        return nullptr;
    };
    if (path.empty()) return fail("No Wine prefix was given.");
    if (!IsHostFolder(path)) return fail(path + " is not a folder.");
    if (!IsWinePrefix(path))
        return fail(path +
                    " is not a Wine prefix (it has neither drive_c nor dosdevices) nor a "
                    "Windows installation (it has no Windows\\System32\\config\\SOFTWARE).");
    return OpenWinePrefix(path, error);
}

std::unique_ptr<Machine> OpenMachine(const std::string& path, std::string* error) {
    return OpenMachine(path, MachineOptions(), error);
}

std::unique_ptr<Registry> OpenMachineRegistry(const std::string& path, const std::string& user,
                                              std::string* error) {
    if (IsWindowsInstallation(path)) return OpenInstallationRegistry(path, user, error);
    return OpenWinePrefixRegistry(path);
}

OwnedMachine OpenMachineAsOwner(const std::string& path, const MachineOptions& options) {
    OwnedMachine opened;
    if (!TakeMachineOwnersRights(path, &opened.privileges, &opened.error)) {
        opened.rightsFailed = true;
        return opened;
    }
    opened.machine = OpenMachine(path, options, &opened.error);
    return opened;
}

}  // namespace tolvane
