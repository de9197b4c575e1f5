#include "host/launcher_status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

namespace tolvane {

bool LauncherStatus::Begin(const std::string& path, std::string* error) {
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error)
            *error = path + ": " + (!fd.valid() ? std::strerror(errno) : "not a regular file");
        return false;
    }
    fd_ = std::move(fd);
    return Write(std::to_string(getpid()) + "\n");
}

bool LauncherStatus::Write(const std::string& text) {
    // The end's text is longer than the start's, so it covers it whole.
    if (!fd_.valid()) return false;
    return pwrite(fd_.get(), text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

void LauncherStatus::End(int status) {
    if (!fd_.valid()) return;
    Write(std::to_string(getpid()) + " " + std::to_string(status) + "\n");
    fd_.Reset();
}

}  // namespace tolvane
