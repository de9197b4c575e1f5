#include "platform/replacement_temp.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

namespace tolvane {
namespace {

constexpr const char* kMarker = ".tolvane-";
constexpr size_t kRandomLength = 6;  // mkostemp's XXXXXX

void Split(const std::string& hostTarget, std::string* folder, std::string* name) {
    size_t slash = hostTarget.find_last_of('/');
    if (slash == std::string::npos) {
        *folder = ".";
        *name = hostTarget;
    } else {
        *folder = slash == 0 ? "/" : hostTarget.substr(0, slash);
        *name = hostTarget.substr(slash + 1);
    }
}

std::string Join(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

int CreateReplacementTemp(const std::string& hostTarget, std::string* tempPath) {
    std::string folder, name;
    Split(hostTarget, &folder, &name);
    const std::string pattern = Join(folder, "." + name + kMarker + "XXXXXX");
    // A cleaner may take the new file for a leftover between its creation and
    // the lock: then the name is gone (or another file's) and we start over.
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        int fd = mkostemp(buffer.data(), O_CLOEXEC);
        if (fd < 0) return -1;
        struct stat held, named;
        int locked;
        do {
            locked = flock(fd, LOCK_EX);
        } while (locked != 0 && errno == EINTR);
        if (locked == 0 && fstat(fd, &held) == 0 && lstat(buffer.data(), &named) == 0 &&
            SameFile(held, named)) {
            *tempPath = buffer.data();
            return fd;
        }
        int err = errno;
        close(fd);
        if (locked != 0) {
            unlink(buffer.data());
            errno = err;
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

int RemoveStaleReplacementTemps(const std::string& hostTarget) {
    std::string folder, name;
    Split(hostTarget, &folder, &name);
    const std::string start = "." + name + kMarker;
    std::vector<std::string> candidates;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string_view entryName = entry->d_name;
            if (entryName.size() == start.size() + kRandomLength && entryName.starts_with(start))
                candidates.emplace_back(entryName);
        }
        closedir(dir);
    }
    int removed = 0;
    for (const std::string& candidate : candidates) {
        const std::string path = Join(folder, candidate);
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat held, named;
        // Held by a live writer: not a leftover. Once locked here, the name
        // must still be this file (a writer may have renamed it meanwhile).
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
            lstat(path.c_str(), &named) == 0 && SameFile(held, named) &&
            unlink(path.c_str()) == 0) {
            ++removed;
        }
        close(fd);
    }
    return removed;
}

}  // namespace tolvane
