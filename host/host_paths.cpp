#include "host/host_paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/codepage.h"
#include "host/held_path.h"

namespace tolvane {

std::optional<std::string> CanonicalPath(const std::string& hostPath) {
    char* real = realpath(hostPath.c_str(), nullptr);
    if (!real) return std::nullopt;
    std::string out = real;
    free(real);
    return out;
}

bool FindEntryNoCase(int folderFd, std::string_view windowsName, std::string* hostName) {
    if (windowsName.empty() || windowsName == "." || windowsName == "..") return false;
    const std::string exact = WindowsNameToHost(windowsName);
    struct stat st {};
    if (fstatat(folderFd, exact.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        *hostName = exact;
        return true;
    }
    // A descriptor of its own for the listing (closedir closes it; an O_PATH
    // one cannot be listed), opened through /proc so that, as opendir of the
    // folder's path, it needs read permission on the folder but not search.
    int fd = open(DescriptorPath(folderFd).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) fd = openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0) close(fd);
        return false;
    }
    bool found = false;
    while (dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (EqualsNoCase(HostNameToWindows(entry->d_name), windowsName)) {
            *hostName = entry->d_name;
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

}  // namespace tolvane
