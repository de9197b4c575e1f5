#include "host/host_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tolvane {
namespace {

// Closes a descriptor when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// A folder of the running user that no one else may enter or write.
bool IsPrivateFolder(const std::string& path) {
    Fd folder(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    return folder.get() >= 0 && fstat(folder.get(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

OwnFileState StateOf(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) return OwnFileState::Link;
    if (!S_ISREG(st.st_mode)) return OwnFileState::NotRegular;
    if (st.st_uid != geteuid()) return OwnFileState::OtherOwner;
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return OwnFileState::WritableByOthers;
    return OwnFileState::Usable;
}

// The state of the folder entry `name` in `folder`, links not followed.
OwnFileState EntryState(int folder, const std::string& name) {
    struct stat st;
    if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? OwnFileState::Missing : OwnFileState::Failed;
    return StateOf(st);
}

void SplitPath(const std::string& hostPath, std::string* folder, std::string* name) {
    size_t slash = hostPath.rfind('/');
    *folder = slash == std::string::npos ? "." : slash == 0 ? "/" : hostPath.substr(0, slash);
    *name = slash == std::string::npos ? hostPath : hostPath.substr(slash + 1);
}

bool WriteAll(int fd, std::string_view content) {
    while (!content.empty()) {
        ssize_t written = write(fd, content.data(), content.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        content.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// A new file beside the target, never one that was there: its fd, or -1.
// One temporary name per file, ".NAME.tolvane-tmp", so that a write killed
// half-way leaves one leftover that the next write takes over (only one of
// this user's own: another's is left and the write fails).
int CreateTemporary(int folder, const std::string& name, std::string* tempName) {
    *tempName = "." + name + ".tolvane-tmp";
    struct stat st;
    if (fstatat(folder, tempName->c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (st.st_uid != geteuid() || S_ISDIR(st.st_mode)) return -1;
        unlinkat(folder, tempName->c_str(), 0);
    }
    return openat(folder, tempName->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0644);
}

}  // namespace

std::optional<std::string> UserLockFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/' && IsPrivateFolder(runtime)) return std::string(runtime);
    std::string own = "/tmp/tolvane-" + std::to_string(geteuid());
    if (mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    if (IsPrivateFolder(own)) return own;
    return std::nullopt;
}

UserLock::~UserLock() {
    if (fd_ >= 0) close(fd_);
}

UserLock::Result UserLock::Acquire(std::string_view name) {
    if (fd_ >= 0) return Result::Taken;
    if (name.empty() || name.find('/') != std::string_view::npos) return Result::Unavailable;
    std::optional<std::string> folder = UserLockFolder();
    if (!folder) return Result::Unavailable;
    path_ = *folder + "/" + std::string(name);
    Fd fd(open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())
        return Result::Unavailable;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? Result::HeldElsewhere : Result::Unavailable;
    fd_ = fd.release();
    return Result::Taken;
}

std::string_view OwnFileStateReason(OwnFileState state) {
    switch (state) {
        case OwnFileState::Usable:
        case OwnFileState::Missing:
            return "";
        case OwnFileState::Link:
            return "it is a link";
        case OwnFileState::NotRegular:
            return "it is not a plain file";
        case OwnFileState::OtherOwner:
            return "it belongs to another user";
        case OwnFileState::WritableByOthers:
            return "other users may write to it";
        case OwnFileState::Failed:
            break;
    }
    return "it could not be read or written";
}

OwnFileState ReadOwnFile(const std::string& hostPath, std::string* content) {
    content->clear();
    // O_NONBLOCK: a pipe planted under the name must not hang the open.
    Fd fd(open(hostPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
        if (errno == ENOENT) return OwnFileState::Missing;
        return errno == ELOOP ? OwnFileState::Link : OwnFileState::Failed;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return OwnFileState::Failed;
    OwnFileState state = StateOf(st);
    if (state != OwnFileState::Usable) return state;
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            content->clear();
            return OwnFileState::Failed;
        }
        if (got == 0) return OwnFileState::Usable;
        content->append(buffer, static_cast<size_t>(got));
    }
}

OwnFileState ReplaceOwnFile(const std::string& hostPath, std::string_view content) {
    std::string folderPath, name;
    SplitPath(hostPath, &folderPath, &name);
    Fd folder(open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0 || name.empty()) return OwnFileState::Failed;
    OwnFileState before = EntryState(folder.get(), name);
    if (before != OwnFileState::Usable && before != OwnFileState::Missing) return before;
    std::string tempName;
    Fd temp(CreateTemporary(folder.get(), name, &tempName));
    if (temp.get() < 0) return OwnFileState::Failed;
    bool written =
        fchmod(temp.get(), 0644) == 0 && WriteAll(temp.get(), content) && fsync(temp.get()) == 0;
    // Checked again just before the rename, on the same folder descriptor.
    OwnFileState now = written ? EntryState(folder.get(), name) : OwnFileState::Failed;
    if ((now != OwnFileState::Usable && now != OwnFileState::Missing) ||
        renameat(folder.get(), tempName.c_str(), folder.get(), name.c_str()) != 0) {
        unlinkat(folder.get(), tempName.c_str(), 0);
        return now == OwnFileState::Usable || now == OwnFileState::Missing ? OwnFileState::Failed
                                                                           : now;
    }
    fsync(folder.get());
    return OwnFileState::Usable;
}

bool ReplaceHostFile(const std::string& hostPath, std::string_view content, unsigned mode) {
    std::string folderPath, name;
    SplitPath(hostPath, &folderPath, &name);
    Fd folder(open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) return false;
    if (name.empty()) return errno = EISDIR, false;
    std::string tempName;
    Fd temp(CreateTemporary(folder.get(), name, &tempName));
    if (temp.get() < 0) return errno = errno ? errno : EEXIST, false;
    if (fchmod(temp.get(), static_cast<mode_t>(mode)) != 0 || !WriteAll(temp.get(), content) ||
        fsync(temp.get()) != 0 ||
        renameat(folder.get(), tempName.c_str(), folder.get(), name.c_str()) != 0) {
        const int error = errno ? errno : EIO;
        unlinkat(folder.get(), tempName.c_str(), 0);
        errno = error;
        return false;
    }
    fsync(folder.get());
    return true;
}

std::optional<uint64_t> FreeBytes(const std::string& hostPath) {
    struct statvfs fs;
    if (statvfs(hostPath.c_str(), &fs) != 0) return std::nullopt;
    return static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
}

bool IsHostFolder(const std::string& hostPath) {
    struct stat st;
    return !hostPath.empty() && stat(hostPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsHostFile(const std::string& hostPath) {
    struct stat st;
    return !hostPath.empty() && stat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string CanonicalHostPath(const std::string& hostPath) {
    char* real = realpath(hostPath.c_str(), nullptr);
    if (!real) return hostPath;
    std::string canonical = real;
    free(real);
    return canonical;
}

}  // namespace tolvane
