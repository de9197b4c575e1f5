#include "host/held_path.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace tolvane {
namespace {

std::vector<std::string_view> Components(std::string_view relative) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string_view::npos) end = relative.size();
        if (end > start) parts.push_back(relative.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The walk for kernels without openat2: one openat per component.
int OpenPerComponent(int rootFd, const std::vector<std::string_view>& parts, int flags,
                     mode_t mode) {
    for (std::string_view part : parts) {
        if (part == "." || part == "..") {
            errno = EXDEV;
            return -1;
        }
    }
    if (parts.empty()) return openat(rootFd, ".", flags | O_CLOEXEC, mode);
    UniqueFd folder(fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    if (!folder.valid()) return -1;
    // A link met reads as ELOOP, as openat2 reports it.
    auto linkOr = [](int folderFd, const std::string& name, int err) {
        struct stat st;
        errno =
            fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)
                ? ELOOP
                : err;
        return -1;
    };
    for (size_t k = 0; k + 1 < parts.size(); ++k) {
        std::string name(parts[k]);
        int next =
            openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) return linkOr(folder.get(), name, errno);
        folder.Reset(next);
    }
    std::string last(parts.back());
    int fd = openat(folder.get(), last.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    return fd >= 0 ? fd : linkOr(folder.get(), last, errno);
}

}  // namespace

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

int OpenBeneath(int rootFd, std::string_view relative, int flags, mode_t mode) {
    std::vector<std::string_view> parts = Components(relative);
    std::string path;
    for (std::string_view part : parts) {
        if (!path.empty()) path += '/';
        path += part;
    }
    if (path.empty()) path = ".";
    static bool noOpenat2 = false;
    if (!noOpenat2) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd;
        do {
            fd = syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof how);
        } while (fd < 0 && (errno == EAGAIN || errno == EINTR));
        if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
        noOpenat2 = true;
    }
    return OpenPerComponent(rootFd, parts, flags, mode);
}

int OpenBeneathWithoutOpenat2(int rootFd, std::string_view relative, int flags, mode_t mode) {
    return OpenPerComponent(rootFd, Components(relative), flags, mode);
}

std::string DescriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace tolvane
