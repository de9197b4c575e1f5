#include "app/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_system.h"

namespace tolvane {

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) close(fd_);
}

bool InstanceLock::Acquire(FileSystem& files, const std::string& applicationFolder,
                           bool* alreadyRunning) {
    *alreadyRunning = false;
    std::string folder = applicationFolder;
    if (!folder.empty() && folder.back() == '\\') folder.pop_back();
    if (!files.PathFileExists(folder)) files.CreateDirectory(folder);
    auto host = files.ToHostPath(folder + "\\" + kInstanceLockFile);
    if (!host) return false;
    int fd = open(host->c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *alreadyRunning = (errno == EWOULDBLOCK);
        close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

}  // namespace tolvane
