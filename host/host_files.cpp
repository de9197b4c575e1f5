#include "host/host_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "host/replacement_temp.h"

namespace tolvane {
namespace {

// A folder of the running user that no one else may enter or write.
bool IsPrivateFolder(const std::string& path) {
    UniqueFd folder(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
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

// Writes content into the temporary when it is the running user's own: a
// leftover of another user's under that name is refused (EEXIST).
bool WriteOwnTemp(int fd, std::string_view content) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (st.st_uid != geteuid()) return errno = EEXIST, false;
    return WriteAll(fd, content);
}

// Appends what is left of fd to *content; false when a read fails or more
// than maxBytes would be read.
bool ReadUpTo(int fd, uint64_t maxBytes, std::string* content, bool* tooLarge) {
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) return true;
        if (content->size() + static_cast<uint64_t>(got) > maxBytes) return *tooLarge = true, false;
        content->append(buffer, static_cast<size_t>(got));
    }
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

UserLock::Result UserLock::Acquire(std::string_view name) {
    if (fd_.valid()) return Result::Taken;
    unavailableReason_.clear();
    if (name.empty() || name.find('/') != std::string_view::npos) {
        unavailableReason_ = "the lock's name is not a plain file name";
        return Result::Unavailable;
    }
    std::optional<std::string> folder = UserLockFolder();
    if (!folder) {
        unavailableReason_ =
            "no folder of the user's own for locks ($XDG_RUNTIME_DIR or /tmp/tolvane-" +
            std::to_string(geteuid()) + ")";
        return Result::Unavailable;
    }
    path_ = *folder + "/" + std::string(name);
    // O_NONBLOCK: a pipe planted under the name must not hang the open.
    UniqueFd fd(open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    if (fd.get() < 0) {
        unavailableReason_ = path_ + (errno == ELOOP ? " is a link" : " cannot be opened");
        return Result::Unavailable;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        unavailableReason_ = path_ + " is not a plain file of the user's own";
        return Result::Unavailable;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return Result::HeldElsewhere;
        unavailableReason_ = path_ + " cannot be locked";
        return Result::Unavailable;
    }
    fd_ = std::move(fd);
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
    UniqueFd fd(open(hostPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
        if (errno == ENOENT) return OwnFileState::Missing;
        return errno == ELOOP ? OwnFileState::Link : OwnFileState::Failed;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return OwnFileState::Failed;
    OwnFileState state = StateOf(st);
    if (state != OwnFileState::Usable) return state;
    bool tooLarge = false;
    if (ReadUpTo(fd.get(), UINT64_MAX, content, &tooLarge)) return OwnFileState::Usable;
    content->clear();
    return OwnFileState::Failed;
}

RegularFileState ReadRegularFile(const std::string& hostPath, uint64_t maxBytes,
                                 std::string* content) {
    content->clear();
    UniqueFd fd(open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) return errno == ENOENT ? RegularFileState::Missing : RegularFileState::Failed;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return RegularFileState::Failed;
    if (!S_ISREG(st.st_mode)) return RegularFileState::NotRegular;
    if (static_cast<uint64_t>(st.st_size) > maxBytes) return RegularFileState::TooLarge;
    content->reserve(static_cast<size_t>(st.st_size));
    bool tooLarge = false;
    if (ReadUpTo(fd.get(), maxBytes, content, &tooLarge)) return RegularFileState::Read;
    const int error = errno;
    content->clear();
    content->shrink_to_fit();
    if (tooLarge) return RegularFileState::TooLarge;
    errno = error;
    return RegularFileState::Failed;
}

std::string ReadRegularFileReason(RegularFileState state, uint64_t maxBytes) {
    switch (state) {
        case RegularFileState::Read:
            return "";
        case RegularFileState::Missing:
            return "it does not exist";
        case RegularFileState::NotRegular:
            return "it is not a plain file";
        case RegularFileState::TooLarge:
            return "it is larger than " + std::to_string(maxBytes) + " bytes";
        case RegularFileState::Failed:
            break;
    }
    return "it could not be read";
}

OwnFileState ReplaceOwnFile(const std::string& hostPath, std::string_view content) {
    std::string folderPath, name;
    SplitPath(hostPath, &folderPath, &name);
    UniqueFd folder(open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid() || name.empty()) return OwnFileState::Failed;
    OwnFileState state = EntryState(folder.get(), name);
    if (state != OwnFileState::Usable && state != OwnFileState::Missing) return state;
    // Checked again just before the rename, on the same folder descriptor.
    auto stillOurs = [&] {
        state = EntryState(folder.get(), name);
        return state == OwnFileState::Usable || state == OwnFileState::Missing;
    };
    if (ReplaceFileAt(
            folder.get(), name, 0644, [&](int fd) { return WriteOwnTemp(fd, content); }, stillOurs))
        return OwnFileState::Usable;
    return state == OwnFileState::Usable || state == OwnFileState::Missing ? OwnFileState::Failed
                                                                           : state;
}

bool ReplaceHostFile(const std::string& hostPath, std::string_view content, unsigned mode) {
    std::string folderPath, name;
    SplitPath(hostPath, &folderPath, &name);
    UniqueFd folder(open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) return false;
    if (name.empty()) return errno = EISDIR, false;
    return ReplaceFileAt(folder.get(), name, mode,
                         [&](int fd) { return WriteOwnTemp(fd, content); });
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

}  // namespace tolvane
