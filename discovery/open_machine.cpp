#include "discovery/open_machine.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "host/host_files.h"
#include "host/host_paths.h"
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

namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

OwnedMachine OpenMachineAsOwner(const std::string& path, const MachineOptions& options,
                                const std::function<void()>& beforeOpen) {
    OwnedMachine opened;
    // Whose machine it is is read from this descriptor, and the machine then
    // opened by path must be this very folder: a link swapped in between
    // would otherwise have root open another user's machine as root.
    int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat checked {};
    const bool folder = fd >= 0 && fstat(fd, &checked) == 0;
    if (!TakeMachineOwnersRightsAt(fd, &opened.privileges, &opened.error)) {
        opened.rightsFailed = true;
    } else {
        if (beforeOpen) beforeOpen();
        opened.machine = OpenMachine(path, options, &opened.error);
        struct stat now {};
        if (opened.machine && (!folder || stat(opened.machine->PrefixPath().c_str(), &now) != 0 ||
                               !SameFile(now, checked))) {
            opened.machine.reset();
            opened.error = path + " changed while it was being opened; nothing was done.";
        }
    }
    if (fd >= 0) close(fd);  // only now: its inode number cannot be reused meanwhile
    return opened;
}

OwnedFolder TakeFolderOwnersRights(const std::string& path) {
    OwnedFolder owned;
    int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat checked {};
    const bool folder = fd >= 0 && fstat(fd, &checked) == 0;
    if (!TakeMachineOwnersRightsAt(fd, &owned.privileges, &owned.error)) {
        owned.rightsFailed = true;
    } else if (!folder) {
        owned.path = path;  // nothing there yet to be anyone's
    } else {
        // The canonical spelling holds no link, so it names the folder the
        // rights were taken for as long as its parents are not the machine's.
        std::optional<std::string> canonical = CanonicalPath(path);
        struct stat now {};
        if (canonical && stat(canonical->c_str(), &now) == 0 && SameFile(now, checked))
            owned.path = *canonical;
        else
            owned.error = path + " changed while it was being opened; nothing was done.";
    }
    if (fd >= 0) close(fd);
    return owned;
}

OwnedRegistry OpenMachineRegistryAsOwner(const std::string& path, const std::string& user) {
    OwnedRegistry opened;
    OwnedFolder folder = TakeFolderOwnersRights(path);
    opened.privileges = folder.privileges;
    opened.rightsFailed = folder.rightsFailed;
    opened.error = folder.error;
    if (!folder.path.empty())
        opened.registry = OpenMachineRegistry(folder.path, user, &opened.error);
    return opened;
}

}  // namespace tolvane
