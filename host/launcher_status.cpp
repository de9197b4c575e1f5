#include "host/launcher_status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace tolvane {

bool LauncherStatus::Begin(const std::string& path, std::string* error) {
    int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error) *error = path + ": " + (fd < 0 ? std::strerror(errno) : "not a regular file");
        if (fd >= 0) close(fd);
        return false;
    }
    fd_ = fd;
    return Write(std::to_string(getpid()) + "\n");
}

bool LauncherStatus::Write(const std::string& text) {
    // The end's text is longer than the start's, so it covers it whole.
    if (fd_ < 0) return false;
    return pwrite(fd_, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

void LauncherStatus::End(int status) {
    if (fd_ < 0) return;
    Write(std::to_string(getpid()) + " " + std::to_string(status) + "\n");
    close(fd_);
    fd_ = -1;
}

LauncherStatus::~LauncherStatus() {
    if (fd_ >= 0) close(fd_);
}

}  // namespace tolvane
