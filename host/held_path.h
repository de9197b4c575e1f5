// Reaching entries of the machine's folder through descriptors, so that a
// change acts on what was checked and never on what a link or a rename put
// in its place since.
//
// A folder is reached from a descriptor of a folder above it one component
// at a time, refusing every symbolic link and every step out of that folder
// (openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS; where the kernel lacks
// openat2, openat with O_NOFOLLOW per component, "." and ".." refused). The
// caller then acts relative to the folder it holds (unlinkat, renameat,
// mkdirat, fstatat), and on an entry's own descriptor (fstat, fchmod through
// /proc/self/fd for a descriptor opened with O_PATH). Linux only; errors are
// errno values (ELOOP for a link met on the way).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace tolvane {

// An owned file descriptor, closed by the destructor.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

// Opens `relative` (a host path below the folder `rootFd` holds, '/'
// separated; empty for that folder itself) with openat's flags and mode,
// without following any link, the last component included, and without
// leaving the folder. -1 with errno set on failure.
int OpenBeneath(int rootFd, std::string_view relative, int flags, mode_t mode = 0);
// The same walk as where the kernel lacks openat2 (tests take it directly).
int OpenBeneathWithoutOpenat2(int rootFd, std::string_view relative, int flags, mode_t mode = 0);

// "/proc/self/fd/N": names the entry a descriptor holds (an O_PATH one
// included) to the calls that take only a path (chmod, utimensat).
std::string DescriptorPath(int fd);

}  // namespace tolvane
