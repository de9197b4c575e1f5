#include "machine/wine/wineserver_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "host/held_path.h"

namespace tolvane {
namespace {

// Whether another open file (of this or any process) holds a lock on path.
// Open-file-description locks conflict with the server's POSIX lock even
// when this process holds it, which lets a test hold the lock itself.
bool LockHeld(const std::string& path) {
    UniqueFd held(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const int fd = held.get();
    if (fd < 0) return false;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 0;
    probe.l_pid = 0;
#ifdef F_OFD_GETLK
    if (fcntl(fd, F_OFD_GETLK, &probe) == 0) {
        return probe.l_type != F_UNLCK;
    }
    probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
#endif
    return fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

}  // namespace

std::vector<std::string> WineServerLockPaths(const std::string& prefixPath) {
    std::vector<std::string> paths;
    struct stat st {};
    if (stat(prefixPath.c_str(), &st) != 0) return paths;
    char serverDir[64];
    std::snprintf(serverDir, sizeof serverDir, "server-%llx-%llx",
                  static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));

    std::ifstream nameFile(prefixPath + "/wineserver");
    std::string name;
    if (nameFile && std::getline(nameFile, name)) {
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r' || name.back() == ' '))
            name.pop_back();
        if (!name.empty() && name.find('/') == std::string::npos && name != "." && name != "..")
            paths.push_back("/tmp/" + name + "/" + serverDir + "/lock");
    }
    paths.push_back("/tmp/.wine-" + std::to_string(getuid()) + "/" + serverDir + "/lock");
    return paths;
}

bool IsWineServerRunning(const std::string& prefixPath) {
    for (const std::string& path : WineServerLockPaths(prefixPath))
        if (LockHeld(path)) return true;
    return false;
}

std::string WineServerRefusal(const std::string& prefixPath) {
    if (!IsWineServerRunning(prefixPath)) return "";
    return "The wineserver of the prefix " + prefixPath +
           " is running and would overwrite registry changes. Stop it first with: "
           "WINEPREFIX=\"" +
           prefixPath + "\" wineserver -k";
}

}  // namespace tolvane
