#include "host/replacement_temp.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tolvane {

std::string ReplacementTempName(const std::string& name) {
    return "." + name + ".tolvane-tmp";
}

int OpenReplacementTemp(int folderFd, const std::string& name, std::string* tempName) {
    const std::string temp = ReplacementTempName(name);
    // The writer before us may rename (or remove) the file we opened while
    // we wait for its lock: then the name is gone or another file's, and we
    // open it again.
    for (int attempt = 0; attempt < 64; ++attempt) {
        int fd = openat(folderFd, temp.c_str(),
                        O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0) return -1;
        int locked;
        do {
            locked = flock(fd, LOCK_EX);
        } while (locked != 0 && errno == EINTR);
        struct stat held, named;
        if (locked == 0 && fstat(fd, &held) == 0 &&
            fstatat(folderFd, temp.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            if (!S_ISREG(held.st_mode) || held.st_nlink != 1 || ftruncate(fd, 0) != 0) {
                int err = S_ISREG(held.st_mode) && held.st_nlink == 1 ? errno : EEXIST;
                close(fd);
                errno = err;
                return -1;
            }
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            *tempName = temp;
            return fd;
        }
        int err = errno;
        close(fd);
        if (locked != 0) {
            errno = err;
            return -1;
        }
    }
    errno = EBUSY;
    return -1;
}

bool ReplaceFileAt(int folderFd, const std::string& name, unsigned mode,
                   const std::function<bool(int tempFd)>& write,
                   const std::function<bool()>& beforeRename) {
    if (name.empty() || name.find('/') != std::string::npos) return errno = EINVAL, false;
    std::string tempName;
    errno = 0;
    int temp = OpenReplacementTemp(folderFd, name, &tempName);
    if (temp < 0) return errno = errno ? errno : EEXIST, false;
    errno = 0;
    bool done = fchmod(temp, static_cast<mode_t>(mode)) == 0 && write(temp) && fsync(temp) == 0 &&
                (!beforeRename || beforeRename()) &&
                renameat(folderFd, tempName.c_str(), folderFd, name.c_str()) == 0;
    const int error = errno ? errno : EIO;
    if (!done) unlinkat(folderFd, tempName.c_str(), 0);
    // Closing drops the lock only now, so a second writer never takes over a
    // temporary that is about to be renamed.
    close(temp);
    if (!done) return errno = error, false;
    fsync(folderFd);
    return true;
}

}  // namespace tolvane
