#include "machine/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "base/codepage.h"
#include "host/held_path.h"
#include "host/host_paths.h"
#include "host/replacement_temp.h"

namespace tolvane {
namespace {

thread_local long t_lastError = ERROR_SUCCESS;
// Whether the last refusal was of a change outside the machine's folder.
thread_local bool t_outside = false;

bool Fail(long code) {
    t_lastError = code;
    t_outside = false;
    return false;
}

bool FailOutside() {
    t_lastError = ERROR_ACCESS_DENIED;
    t_outside = true;
    return false;
}

long ErrnoToWin(int err) {
    switch (err) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EBUSY:
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        default:
            return ERROR_GEN_FAILURE;
    }
}

bool FailErrno() {
    return Fail(ErrnoToWin(errno));
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Windows refuses these in a file name.
bool ValidComponent(std::string_view name) {
    for (char c : name) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b < 32 || std::strchr("<>:\"|?*", c)) return false;
    }
    return true;
}

// Is `path` equal to `root` or below it (host paths, canonical)?
bool IsBelow(const std::string& path, const std::string& root) {
    if (root == "/") return !path.empty() && path[0] == '/';
    return path.size() >= root.size() && path.compare(0, root.size(), root) == 0 &&
           (path.size() == root.size() || path[root.size()] == '/');
}

std::string ParentOf(const std::string& hostPath) {
    size_t slash = hostPath.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return hostPath.substr(0, slash);
}

bool NoWriteBits(const struct stat& st) {
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

FileTime StatTime(const struct timespec& ts) {
    return UnixToFileTime(ts.tv_sec, ts.tv_nsec);
}

// The attributes a folder or other entry has by its type and name alone.
uint32_t TypeAttributes(bool folder, std::string_view name) {
    uint32_t attributes = folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (name.size() > 1 && name[0] == '.' && name != "..") attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes;
}

uint32_t AttributesOf(const struct stat& st, std::string_view name) {
    uint32_t attributes = TypeAttributes(S_ISDIR(st.st_mode), name);
    if (NoWriteBits(st)) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

// A symbolic link shows as a reparse point (as Windows shows a junction),
// so that walks can tell a link from the folder it leads to.
uint32_t LinkAttribute(const std::string& hostPath) {
    struct stat st;
    return lstat(hostPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? FILE_ATTRIBUTE_REPARSE_POINT
                                                                    : 0;
}

// stat() that falls back to lstat() for a dangling symbolic link.
bool StatEntry(const std::string& hostPath, struct stat* st) {
    if (stat(hostPath.c_str(), st) == 0) return true;
    return lstat(hostPath.c_str(), st) == 0;
}

// Whether the canonical host path lies on one of the drives (letter ->
// canonical host folder).
bool BelowADrive(const std::string& canonical, const std::map<char, std::string>& roots) {
    for (const auto& [letter, root] : roots)
        if (!canonical.empty() && IsBelow(canonical, root)) return true;
    return false;
}

// The status of what the symbolic link `name` of the open folder leads to,
// when that lies on a drive. The target is held first and its location read
// from the descriptor: a target off every drive (the malware's link to a
// file of the host) is never looked at, and false says the link stands for
// itself; so does a link that leads nowhere.
bool LinkTargetOnDrive(int folder, const char* name, const std::map<char, std::string>& roots,
                       struct stat* target) {
    UniqueFd held(openat(folder, name, O_PATH | O_CLOEXEC));
    if (!held.valid()) return false;
    if (!BelowADrive(CanonicalPath(DescriptorPath(held.get())).value_or(""), roots)) return false;
    return fstat(held.get(), target) == 0;
}

FindData MakeFindData(const struct stat& st, std::string name) {
    FindData data;
    data.attributes = AttributesOf(st, name);
    data.size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    data.lastWriteTime = StatTime(st.st_mtim);
    data.lastAccessTime = StatTime(st.st_atim);
    // Linux keeps no creation time that every file system offers; the
    // earlier of change and modification time stands in for it.
    data.creationTime = std::min(StatTime(st.st_ctim), data.lastWriteTime);
    data.name = std::move(name);
    return data;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

// --- Times ---

// Seconds between 1601-01-01 and 1970-01-01.
static constexpr int64_t kEpochDelta = 11644473600LL;

FileTime UnixToFileTime(int64_t seconds, int64_t nanoseconds) {
    int64_t ticks = (seconds + kEpochDelta) * 10000000LL + nanoseconds / 100;
    return ticks < 0 ? 0 : static_cast<FileTime>(ticks);
}

int64_t FileTimeToUnix(FileTime time) {
    return static_cast<int64_t>(time / 10000000ULL) - kEpochDelta;
}

// --- File ---

bool File::Read(void* buffer, size_t size, size_t* read) {
    if (read) *read = 0;
    if (!fd_.valid()) return Fail(ERROR_INVALID_HANDLE);
    char* out = static_cast<char*>(buffer);
    size_t total = 0;
    while (total < size) {
        ssize_t n = ::read(fd_.get(), out + total, size - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (read) *read = total;
            return FailErrno();
        }
        if (n == 0) break;
        total += static_cast<size_t>(n);
    }
    if (read) *read = total;
    return true;
}

bool File::Write(std::string_view data) {
    if (!fd_.valid()) return Fail(ERROR_INVALID_HANDLE);
    if (!WriteAll(fd_.get(), data.data(), data.size())) return FailErrno();
    return true;
}

bool File::Flush() {
    if (!fd_.valid()) return Fail(ERROR_INVALID_HANDLE);
    if (fsync(fd_.get()) != 0) return FailErrno();
    return true;
}

bool File::Size(uint64_t* size) const {
    struct stat st;
    if (!fd_.valid()) return Fail(ERROR_INVALID_HANDLE);
    if (fstat(fd_.get(), &st) != 0) return FailErrno();
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

void File::Close() {
    fd_.Reset();
}

// --- Drives ---

struct FileSystem::Drives {
    std::string prefix;
    std::mutex mutex;
    bool loaded = false;
    struct timespec stamp {};  // dosdevices/'s change time when loaded
    ino_t inode = 0;
    // Letter ('A'..'Z') -> canonical host folder.
    std::map<char, std::string> roots;
    bool fixed = false;  // given once, never read from dosdevices/

    // Reloads when dosdevices/ changed since the last look.
    std::map<char, std::string> Current() {
        std::lock_guard<std::mutex> lock(mutex);
        if (fixed) return roots;
        std::string folder = prefix + "/dosdevices";
        struct stat st;
        bool present = stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        if (loaded) {
            if (!present && inode == 0) return roots;
            if (present && st.st_ino == inode && st.st_mtim.tv_sec == stamp.tv_sec &&
                st.st_mtim.tv_nsec == stamp.tv_nsec)
                return roots;
        }
        roots.clear();
        loaded = true;
        inode = present ? st.st_ino : 0;
        stamp = present ? st.st_mtim : timespec{};
        if (!present) {
            std::string c = CanonicalPath(prefix + "/drive_c").value_or("");
            if (!c.empty()) roots['C'] = c;
            return roots;
        }
        DIR* dir = opendir(folder.c_str());
        if (!dir) return roots;
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            // Drive links are "c:"; "c::" names the raw device, com1 a port.
            if (name.size() != 2 || name[1] != ':') continue;
            char letter = FoldCase(name[0]);
            if (letter < 'A' || letter > 'Z') continue;
            std::string target = CanonicalPath(folder + "/" + name).value_or("");
            struct stat ts;
            if (target.empty() || stat(target.c_str(), &ts) != 0 || !S_ISDIR(ts.st_mode)) continue;
            roots[letter] = target;
        }
        closedir(dir);
        return roots;
    }
};

namespace {

// Whether the host path names a symbolic link lying in a folder on a drive:
// an entry of the machine, whatever it leads to. *where is then its
// canonical location.
bool LinkInAFolderOnADrive(const std::string& hostPath, const std::map<char, std::string>& roots,
                           std::string* where) {
    std::string folder = CanonicalPath(ParentOf(hostPath)).value_or("");
    struct stat st;
    if (!BelowADrive(folder, roots) || lstat(hostPath.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return false;
    *where = (folder == "/" ? "" : folder) + hostPath.substr(hostPath.find_last_of('/'));
    return true;
}

}  // namespace

struct FileSystem::Resolved {
    std::string host;        // host path (components as found on disk)
    std::string normalized;  // the Windows path normalised ("C:\a\b")
    bool exists = false;     // the whole path exists
    bool parentExists = false;
    bool isRoot = false;
    std::string real;       // canonical location of the deepest part found on disk
    std::string driveRoot;  // canonical folder of the path's own drive
    // The path is a symbolic link on a drive leading off every drive, taken
    // as itself (Resolve's linkItself); `real` is then the link's location.
    bool offDriveLink = false;
};

FileSystem::FileSystem(const std::string& prefixPath) : drives_(std::make_unique<Drives>()) {
    drives_->prefix = prefixPath;
    while (drives_->prefix.size() > 1 && drives_->prefix.back() == '/') drives_->prefix.pop_back();
    // Every change starts from this descriptor: renaming the prefix and
    // putting a link in its place later leads no change elsewhere.
    prefixCanonical_ = CanonicalPath(drives_->prefix).value_or("");
    if (!prefixCanonical_.empty())
        prefixFd_.Reset(
            open(prefixCanonical_.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

FileSystem::FileSystem(const std::string& prefixPath, const std::map<char, std::string>& drives)
    : FileSystem(prefixPath) {
    drives_->fixed = true;
    for (const auto& [letter, folder] : drives) {
        std::string canonical = CanonicalPath(folder).value_or("");
        char upper = FoldCase(letter);
        if (!canonical.empty() && upper >= 'A' && upper <= 'Z') drives_->roots[upper] = canonical;
    }
}

FileSystem::~FileSystem() = default;

void FileSystem::SetInUseCheck(std::function<bool(const std::string&)> check) {
    inUse_ = std::move(check);
}

void FileSystem::SetTempFolderSource(std::function<std::string()> source) {
    tempSource_ = std::move(source);
}

void FileSystem::SetBeforeRenameHookForTesting(std::function<bool(const std::string&)> hook) {
    beforeRename_ = std::move(hook);
}

long FileSystem::LastError() {
    return t_lastError;
}
void FileSystem::SetLastError(long code) {
    t_lastError = code;
}

bool FileSystem::InUse(const std::string& hostPath) const {
    if (!inUse_) return false;
    std::string canonical = CanonicalPath(hostPath).value_or("");
    return inUse_(canonical.empty() ? hostPath : canonical);
}

// --- Path mapping ---

std::string FileSystem::NormalizePath(std::string_view windowsPath) {
    std::string_view p = windowsPath;
    std::string head;
    if (p.size() >= 2 && p[1] == ':') {
        head = std::string(p.substr(0, 2)) + "\\";
        p.remove_prefix(2);
    } else if (!p.empty() && IsSeparator(p[0])) {
        head = "\\";
    }
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i < p.size()) {
        while (i < p.size() && IsSeparator(p[i])) ++i;
        size_t start = i;
        while (i < p.size() && !IsSeparator(p[i])) ++i;
        std::string_view part = p.substr(start, i - start);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (head.empty()) {
                parts.push_back(part);  // a relative path keeps its leading ".."
            }
            continue;  // at a root ".." stays at the root
        }
        parts.push_back(part);
    }
    std::string out = head;
    for (size_t k = 0; k < parts.size(); ++k) {
        if (k > 0) out += '\\';
        out += parts[k];
    }
    return out;
}

bool FileSystem::Resolve(std::string_view windowsPath, Resolved* out, bool linkItself) const {
    std::string_view p = windowsPath;
    // "\\?\C:\x" is the long form of "C:\x".
    if (p.size() >= 4 && IsSeparator(p[0]) && IsSeparator(p[1]) && p[2] == '?' && IsSeparator(p[3]))
        p.remove_prefix(4);
    if (p.size() < 2 || p[1] != ':') return Fail(ERROR_PATH_NOT_FOUND);
    char letter = FoldCase(p[0]);
    if (letter < 'A' || letter > 'Z') return Fail(ERROR_INVALID_NAME);
    if (p.size() > 2 && !IsSeparator(p[2])) return Fail(ERROR_PATH_NOT_FOUND);  // "C:x"

    std::map<char, std::string> roots = drives_->Current();
    auto drive = roots.find(letter);
    if (drive == roots.end()) return Fail(ERROR_PATH_NOT_FOUND);

    out->normalized = NormalizePath(p);
    out->normalized[0] = letter;
    std::vector<std::string_view> parts;
    std::string_view rest = std::string_view(out->normalized).substr(3);
    while (!rest.empty()) {
        size_t cut = rest.find('\\');
        std::string_view part = rest.substr(0, cut);
        if (!ValidComponent(part)) return Fail(ERROR_INVALID_NAME);
        parts.push_back(part);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    }

    std::string host = drive->second;
    std::string existing = host;  // deepest part found on disk
    out->isRoot = parts.empty();
    out->parentExists = true;
    out->exists = true;
    // Each name is looked up in the folder reached so far, held; links on
    // the way are followed here, as the host path would follow them, and the
    // location is checked against the drives below.
    UniqueFd at(parts.empty() ? -1 : open(host.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (size_t k = 0; k < parts.size(); ++k) {
        std::string name = WindowsNameToHost(parts[k]);
        std::string base = host == "/" ? "" : host;
        if (out->exists) {
            std::string found;
            if (!at.valid() || !FindEntryNoCase(at.get(), parts[k], &found)) {
                out->exists = false;
                if (k + 1 < parts.size()) out->parentExists = false;
            } else {
                name = found;
                if (k + 1 < parts.size())
                    at.Reset(openat(at.get(), name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            }
        } else {
            out->parentExists = false;
        }
        host = base + "/" + name;
        if (out->exists) existing = host;
    }

    // The location must stay on a drive: a link leading out of every drive's
    // folder is not followed.
    std::string real = CanonicalPath(existing).value_or("");
    if (real.empty()) {
        // A dangling link as the last part: its folder decides.
        real = CanonicalPath(ParentOf(existing)).value_or("");
    }
    bool inside = BelowADrive(real, roots);
    out->offDriveLink = !inside && linkItself && out->exists && !out->isRoot &&
                        LinkInAFolderOnADrive(existing, roots, &real);
    if (!inside && !out->offDriveLink) return Fail(ERROR_ACCESS_DENIED);

    out->host = host;
    out->real = real;
    out->driveRoot = drive->second;
    return true;
}

bool FileSystem::DriveInsidePrefix(std::string_view windowsPath) const {
    if (windowsPath.size() < 2 || windowsPath[1] != ':') return false;
    std::map<char, std::string> roots = drives_->Current();
    auto drive = roots.find(FoldCase(windowsPath[0]));
    std::string prefix = CanonicalPath(drives_->prefix).value_or("");
    return drive != roots.end() && !prefix.empty() && IsBelow(drive->second, prefix);
}

std::optional<std::string> FileSystem::ToHostPath(std::string_view windowsPath) const {
    Resolved r;
    if (!Resolve(windowsPath, &r)) return std::nullopt;
    return r.host;
}

std::string FileSystem::ToWindowsPath(std::string_view hostPath) const {
    std::string host(hostPath);
    if (host.empty() || host[0] != '/') return host;
    std::string canonical = CanonicalPath(host).value_or("");
    if (canonical.empty()) {
        // A file that is gone: its folder may still be there.
        std::string parent = CanonicalPath(ParentOf(host)).value_or("");
        if (!parent.empty())
            canonical = (parent == "/" ? "" : parent) + host.substr(host.find_last_of('/'));
        else
            canonical = host;
    }
    char best = 0;
    size_t bestLength = 0;
    std::map<char, std::string> roots = drives_->Current();
    for (const auto& [letter, root] : roots) {
        if (!IsBelow(canonical, root)) continue;
        size_t length = root == "/" ? 1 : root.size() + 1;
        if (best == 0 || length > bestLength) {
            best = letter;
            bestLength = length;
        }
    }
    if (best == 0) return host;
    std::string out = std::string(1, best) + ":\\";
    std::string_view rest =
        canonical.size() > bestLength ? std::string_view(canonical).substr(bestLength) : "";
    while (!rest.empty()) {
        size_t cut = rest.find('/');
        out += HostNameToWindows(rest.substr(0, cut));
        if (cut == std::string_view::npos) break;
        out += '\\';
        rest.remove_prefix(cut + 1);
    }
    return out;
}

// --- Drives ---

std::vector<std::string> FileSystem::LogicalDrives() const {
    std::vector<std::string> out;
    for (const auto& [letter, root] : drives_->Current())
        out.push_back(std::string(1, letter) + ":\\");
    return out;
}

std::string FileSystem::TempPath() const {
    std::string path = tempSource_ ? tempSource_() : std::string();
    if (path.empty() || path.find('%') != std::string::npos) path = "C:\\windows\\temp";
    path = NormalizePath(path);
    if (path.back() != '\\') path += '\\';
    return path;
}

// --- Enumeration ---

bool FileSystem::MatchFilePattern(std::string_view pattern, std::string_view name) {
    if (pattern == "*.*" || pattern == "*") return true;
    // Iterative glob with backtracking to the last star.
    auto match = [](std::string_view pat, std::string_view text) {
        size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
        while (t < text.size()) {
            if (p < pat.size() && (pat[p] == '?' || FoldCase(pat[p]) == FoldCase(text[t]))) {
                ++p;
                ++t;
            } else if (p < pat.size() && pat[p] == '*') {
                star = p++;
                mark = t;
            } else if (star != std::string_view::npos) {
                p = star + 1;
                t = ++mark;
            } else {
                return false;
            }
        }
        while (p < pat.size() && pat[p] == '*') ++p;
        return p == pat.size();
    };
    if (match(pattern, name)) return true;
    // "name.*" also takes a name without an extension.
    if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" &&
        name.find('.') == std::string_view::npos)
        return match(pattern.substr(0, pattern.size() - 2), name);
    return false;
}

bool FindHandle::Next(FindData* data) {
    if (next_ >= entries_.size()) return Fail(ERROR_NO_MORE_FILES);
    *data = std::move(entries_[next_++].data);
    return true;
}

namespace {

// Is `name` (1252) the host name `hostName` (UTF-8) written back? Names
// with characters outside the code page are not.
bool SameName(std::string_view name, std::string_view hostName) {
    return WindowsNameToHost(name) == hostName;
}

// The entry `name` of the open folder as a listing shows it: a symbolic link
// with its target's status when the target lies on a drive (`roots`), else
// with its own. *link says whether it was a link.
bool StatInFolder(int folder, const char* name, const std::map<char, std::string>& roots,
                  struct stat* st, bool* link) {
    if (fstatat(folder, name, st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    *link = S_ISLNK(st->st_mode);
    if (*link) {
        struct stat target;
        if (LinkTargetOnDrive(folder, name, roots, &target)) *st = target;
    }
    return true;
}

// Calls take(name, type) for every entry of the open folder, in the order
// the file system gives them (type: DT_DIR, DT_REG, ... or DT_UNKNOWN). A
// read that fails ends the listing there, as readdir does.
template <typename Take>
void ReadFolder(int fd, Take&& take) {
    alignas(dirent64) char buffer[32768];
    for (;;) {
        ssize_t n = getdents64(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (ssize_t at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            take(entry->d_name, entry->d_type);
            at += entry->d_reclen;
        }
    }
}

}  // namespace

bool FindHandle::EntrySize(uint64_t* size) const {
    if (!folder_.valid() || next_ == 0 || next_ > entries_.size())
        return Fail(ERROR_INVALID_HANDLE);
    struct stat st;
    bool link = false;
    if (!StatInFolder(folder_.get(), entries_[next_ - 1].hostName.c_str(), driveRoots_, &st, &link))
        return FailErrno();
    *size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    return true;
}

bool FindHandle::OpenEntryContent(UniqueFd* file, struct stat* st) const {
    if (!folder_.valid() || next_ == 0 || next_ > entries_.size())
        return Fail(ERROR_INVALID_HANDLE);
    UniqueFd held(openat(folder_.get(), entries_[next_ - 1].hostName.c_str(),
                         O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!held.valid()) return FailErrno();
    if (fstat(held.get(), st) != 0) return FailErrno();
    if (!S_ISREG(st->st_mode)) return Fail(ERROR_ACCESS_DENIED);
    // Reopening the held descriptor opens that very file; the name is not
    // looked up again.
    std::string self = "/proc/self/fd/" + std::to_string(held.get());
    UniqueFd opened(open(self.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!opened.valid()) return FailErrno();
    struct stat now;
    if (fstat(opened.get(), &now) != 0) return FailErrno();
    if (now.st_dev != st->st_dev || now.st_ino != st->st_ino) return Fail(ERROR_ACCESS_DENIED);
    *st = now;
    *file = std::move(opened);
    return true;
}

// Lists the open folder `fd` (taken over) into the handle. Each entry is
// looked at relative to the folder, without walking its path again.
bool FileSystem::ListFolder(int fd, std::string host, std::string windows, bool isRoot,
                            std::string_view mask, FindDetail detail, FindHandle* handle,
                            FindData* data) {
    UniqueFd folder(fd);
    std::vector<FindHandle::Entry> found;
    ReadFolder(fd, [&](const char* onDisk, unsigned char type) {
        std::string_view hostName = onDisk;
        bool dots = hostName == "." || hostName == "..";
        if (dots && isRoot) return;  // a drive's root has no "." and ".."
        std::string name = HostNameToWindows(hostName);
        if (!MatchFilePattern(mask, name)) return;
        if (detail == FindDetail::Types && type != DT_UNKNOWN && type != DT_LNK) {
            FindData typed;
            typed.attributes = TypeAttributes(type == DT_DIR, name);
            typed.name = std::move(name);
            found.push_back({std::move(typed), std::string(hostName)});
            return;
        }
        // A symbolic link shows as a reparse point (as Windows shows a
        // junction) with its target's other attributes, or its own when it
        // leads nowhere or off every drive.
        struct stat es;
        bool link = false;
        if (!StatInFolder(fd, onDisk, handle->driveRoots_, &es, &link)) return;
        FindHandle::Entry listed{MakeFindData(es, std::move(name)), std::string(hostName)};
        if (link) listed.data.attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        found.push_back(std::move(listed));
    });
    std::sort(found.begin(), found.end(),
              [](const FindHandle::Entry& ea, const FindHandle::Entry& eb) {
                  const std::string& a = ea.data.name;
                  const std::string& b = eb.data.name;
                  bool ad = a == "." || a == "..", bd = b == "." || b == "..";
                  if (ad != bd) return ad;
                  if (ad) return a.size() < b.size();
                  int c = CompareNoCase(a, b);
                  return c != 0 ? c < 0 : a < b;
              });
    if (found.empty()) return Fail(ERROR_FILE_NOT_FOUND);
    handle->entries_ = std::move(found);
    handle->folderHost_ = std::move(host);
    handle->folderWindows_ = std::move(windows);
    if (detail == FindDetail::Types) handle->folder_ = std::move(folder);
    return handle->Next(data);
}

bool FileSystem::FindFirstFile(std::string_view pattern, FindHandle* handle, FindData* data,
                               FindDetail detail) const {
    handle->entries_.clear();
    handle->next_ = 0;
    handle->folder_.Reset();
    handle->folderHost_.clear();
    handle->folderWindows_.clear();
    std::string text(pattern);
    for (char& c : text)
        if (c == '/') c = '\\';
    size_t cut = text.find_last_of('\\');
    std::string folder, mask;
    if (cut == std::string::npos) {
        if (text.size() < 2 || text[1] != ':') return Fail(ERROR_PATH_NOT_FOUND);
        folder = text.substr(0, 2) + "\\";
        mask = text.substr(2);
    } else {
        folder = text.substr(0, cut + 1);
        mask = text.substr(cut + 1);
    }
    if (mask.empty()) return Fail(ERROR_FILE_NOT_FOUND);
    Resolved r;
    if (!Resolve(folder, &r)) return Fail(ERROR_PATH_NOT_FOUND);
    struct stat st;
    if (!r.exists || stat(r.host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Fail(ERROR_PATH_NOT_FOUND);
    handle->driveRoots_ = drives_->Current();
    int fd = open(r.host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return FailErrno();
    return ListFolder(fd, std::move(r.host), std::move(r.normalized), r.isRoot, mask, detail,
                      handle, data);
}

bool FileSystem::FindFirstFileIn(const FindHandle& parent, const FindData& entry,
                                 std::string_view pattern, FindHandle* handle, FindData* data,
                                 FindDetail detail) const {
    std::string windows = parent.folderWindows_;
    if (windows.empty() || windows.back() != '\\') windows += '\\';
    windows += entry.name;
    // The short way only where resolving the whole path would end in the
    // same place: a real folder (not a link, which may lead anywhere) whose
    // name reads back as the name on disk and is one valid component, so the
    // exact match Resolve tries first is this very entry.
    const FindHandle::Entry* listed =
        parent.next_ > 0 && parent.next_ <= parent.entries_.size() && !parent.folderHost_.empty()
            ? &parent.entries_[parent.next_ - 1]
            : nullptr;
    bool plain = listed && (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                 !(entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) && entry.name != "." &&
                 entry.name != ".." && entry.name.find('\\') == std::string::npos &&
                 ValidComponent(entry.name) && SameName(entry.name, listed->hostName) &&
                 !pattern.empty() && pattern.find_first_of("\\/") == std::string_view::npos;
    if (plain) {
        std::string host = parent.folderHost_ == "/" ? std::string() : parent.folderHost_;
        host += '/';
        host += listed->hostName;
        // O_NOFOLLOW: a folder replaced by a link since the listing takes
        // the long way, which checks where the link leads.
        constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int fd = parent.folder_.valid()
                     ? openat(parent.folder_.get(), listed->hostName.c_str(), kFlags)
                     : open(host.c_str(), kFlags);
        if (fd >= 0) {
            handle->entries_.clear();
            handle->next_ = 0;
            handle->folder_.Reset();
            handle->driveRoots_ = parent.driveRoots_;
            return ListFolder(fd, std::move(host), std::move(windows), false, pattern, detail,
                              handle, data);
        }
    }
    windows += '\\';
    windows += pattern;
    return FindFirstFile(windows, handle, data, detail);
}

// --- Whole files ---

namespace {

// Why a path that does not exist cannot be used.
long MissingError(bool parentExists) {
    return parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

}  // namespace

bool FileSystem::ReadWholeFile(std::string_view path, std::string* content) const {
    Resolved r;
    if (!Resolve(path, &r)) return false;
    if (!r.exists) return Fail(MissingError(r.parentExists));
    struct stat before;
    // Only regular files: a pipe or device (under Z:) would block or never end.
    if (stat(r.host.c_str(), &before) != 0 || !S_ISREG(before.st_mode))
        return Fail(ERROR_ACCESS_DENIED);
    int fd = open(r.host.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return FailErrno();
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return Fail(ERROR_ACCESS_DENIED);
    }
    content->clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            close(fd);
            return Fail(ErrnoToWin(err));
        }
        if (n == 0) break;
        content->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

// --- Changes: on descriptors, below the machine's folder ---

namespace {

// A folder's refusal to change its entries that Windows would make and root
// would not: no write bits.
bool HeldFolderWritable(int folderFd) {
    struct stat st;
    if (fstat(folderFd, &st) != 0) return FailErrno();
    if (NoWriteBits(st)) return Fail(ERROR_ACCESS_DENIED);
    return true;
}

// Opens the entry `name` of the held folder itself, never what a link
// leads to, for the calls that act on a descriptor. The entry must still be
// the one `expected` describes.
int OpenEntry(int folderFd, const std::string& name, const struct stat& expected) {
    int fd = openat(folderFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_dev != expected.st_dev || st.st_ino != expected.st_ino) {
        close(fd);
        errno = ENOENT;
        return -1;
    }
    return fd;
}

// Sets the write bits of an entry held by descriptor as the read-only
// attribute asks.
bool SetReadOnlyOn(int fd, const struct stat& st, bool readOnly) {
    mode_t mode = st.st_mode & 07777;
    if (readOnly)
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    else if (NoWriteBits(st))
        mode |= S_IWUSR;
    if (mode == (st.st_mode & 07777)) return true;
    if (chmod(DescriptorPath(fd).c_str(), mode) != 0) return FailErrno();
    return true;
}

// Copies everything from `in` to `out`.
bool CopyData(int in, int out) {
    char buffer[65536];
    for (;;) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FailErrno();
        }
        if (n == 0) return true;
        if (!WriteAll(out, buffer, static_cast<size_t>(n))) return FailErrno();
    }
}

// Opens a regular file for reading without blocking on a pipe swapped in.
int OpenRegularForReading(int folderFd, const char* name, int extraFlags) {
    int fd = openat(folderFd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | extraFlags);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EACCES;
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace

bool FileSystem::LastRefusalWasOutside() {
    return t_outside;
}

// The check (Resolve, the in-use test) reads by name; the change then
// reaches the entry's folder again from the machine's folder, without
// links, and acts relative to it. A swap after the check can only make the
// change act on another entry of the machine, never outside it.
bool FileSystem::Hold(std::string_view windowsPath, bool checkInUse, Held* out,
                      bool linkItself) const {
    Resolved r;
    if (!Resolve(windowsPath, &r, linkItself)) return false;
    if (!IsBelow(r.driveRoot, prefixCanonical_) || !prefixFd_.valid()) return FailOutside();
    out->host = r.host;
    out->normalized = r.normalized;
    out->isRoot = r.isRoot;
    out->parentExists = r.parentExists;
    out->exists = false;
    // A link off every drive is no program's file: what it leads to is not asked about.
    out->inUse = checkInUse && r.exists && !r.offDriveLink && InUse(r.host);
    if (!r.parentExists) return true;
    std::string relative = r.host.substr(prefixCanonical_.size());
    size_t slash = r.isRoot ? std::string::npos : relative.find_last_of('/');
    std::string folder = slash == std::string::npos ? relative : relative.substr(0, slash);
    out->name = slash == std::string::npos ? std::string() : relative.substr(slash + 1);
    out->folder.Reset(OpenBeneath(prefixFd_.get(), folder, O_RDONLY | O_DIRECTORY));
    if (!out->folder.valid()) {
        if (errno == ELOOP || errno == EXDEV) {
            // A link on the way: outside the machine when that is where it leads.
            return IsBelow(r.real, prefixCanonical_) ? Fail(ERROR_ACCESS_DENIED) : FailOutside();
        }
        return FailErrno();
    }
    if (r.isRoot) {
        out->exists = fstat(out->folder.get(), &out->st) == 0;
        return true;
    }
    out->exists = fstatat(out->folder.get(), out->name.c_str(), &out->st, AT_SYMLINK_NOFOLLOW) == 0;
    return true;
}

// Replaces the held entry through ReplaceFileAt (replacement_temp.h): `fill`
// writes the new content into the locked temporary beside it, which is
// synced and renamed over the entry within the held folder, then the folder
// is synced; the target holds either its old or its new content, never a
// part.
bool FileSystem::ReplaceHeld(const Held& target, const std::function<bool(int fd)>& fill,
                             unsigned mode, bool runHook) {
    enum class Step { Other, Fill, Hook } failed = Step::Other;
    auto write = [&](int fd) {
        if (fill(fd)) return true;
        failed = Step::Fill;
        return false;
    };
    auto check = [&] {
        if (!beforeRename_ ||
            beforeRename_(ParentOf(target.host) + "/" + ReplacementTempName(target.name)))
            return true;
        failed = Step::Hook;
        return false;
    };
    // Never a set-user-ID, set-group-ID or sticky bit: the machine's user
    // could run a program we made.
    if (ReplaceFileAt(target.folder.get(), target.name, mode & 0777, write,
                      runHook ? std::function<bool()>(check) : std::function<bool()>()))
        return true;
    switch (failed) {
        case Step::Fill:
            return Fail(t_lastError == ERROR_SUCCESS ? ERROR_GEN_FAILURE : t_lastError);
        case Step::Hook:
            return Fail(ERROR_GEN_FAILURE);
        case Step::Other:
            break;
    }
    return FailErrno();
}

// The checks a replacement of an existing entry passes: a plain file (a link
// is not followed), writable, not in use.
bool FileSystem::ReplaceableHeld(const Held& h) {
    if (S_ISLNK(h.st.st_mode) || !S_ISREG(h.st.st_mode) || NoWriteBits(h.st))
        return Fail(ERROR_ACCESS_DENIED);
    if (h.inUse) return Fail(ERROR_SHARING_VIOLATION);
    return true;
}

bool FileSystem::WriteWholeFileAtomic(std::string_view path, std::string_view content) {
    Held h;
    if (!Hold(path, true, &h)) return false;
    if (!h.parentExists || h.isRoot) return Fail(ERROR_PATH_NOT_FOUND);
    unsigned mode = 0666 & ~0022u;
    if (h.exists) {
        if (!ReplaceableHeld(h)) return false;
        mode = h.st.st_mode;
    }
    if (!HeldFolderWritable(h.folder.get())) return false;
    bool ok = ReplaceHeld(
        h,
        [&](int fd) {
            if (!WriteAll(fd, content.data(), content.size())) return FailErrno();
            return true;
        },
        mode, true);
    if (ok) t_lastError = ERROR_SUCCESS;
    return ok;
}

bool FileSystem::OpenFile(std::string_view path, FileOpenMode mode, File* file) {
    file->Close();
    if (mode == FileOpenMode::Read) return OpenForReading(path, file);
    Held h;
    if (!Hold(path, true, &h)) return false;
    if (h.isRoot) return Fail(ERROR_ACCESS_DENIED);
    if (!h.parentExists) return Fail(ERROR_PATH_NOT_FOUND);
    if (!h.exists && mode == FileOpenMode::ReadWrite) return Fail(ERROR_FILE_NOT_FOUND);
    if (h.exists && !ReplaceableHeld(h)) return false;
    if (!h.exists && !HeldFolderWritable(h.folder.get())) return false;
    int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    switch (mode) {
        case FileOpenMode::Write:
            flags |= O_WRONLY | O_CREAT | O_TRUNC;
            break;
        case FileOpenMode::Append:
            flags |= O_WRONLY | O_CREAT | O_APPEND;
            break;
        default:
            flags |= O_RDWR;
            break;
    }
    int fd = openat(h.folder.get(), h.name.c_str(), flags, 0666);
    if (fd < 0) return errno == ELOOP ? Fail(ERROR_ACCESS_DENIED) : FailErrno();
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return Fail(ERROR_ACCESS_DENIED);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    file->fd_.Reset(fd);
    t_lastError = ERROR_SUCCESS;
    return true;
}

// Reads follow links to anywhere on a drive; only regular files open.
bool FileSystem::OpenForReading(std::string_view path, File* file) const {
    Resolved r;
    if (!Resolve(path, &r)) return false;
    if (r.isRoot) return Fail(ERROR_ACCESS_DENIED);
    if (!r.exists) return Fail(MissingError(r.parentExists));
    int fd = OpenRegularForReading(AT_FDCWD, r.host.c_str(), 0);
    if (fd < 0) return errno == EACCES ? Fail(ERROR_ACCESS_DENIED) : FailErrno();
    file->fd_.Reset(fd);
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::CopyFile(std::string_view from, std::string_view to, bool failIfExists) {
    Resolved src;
    if (!Resolve(from, &src)) return false;
    if (!src.exists) return Fail(MissingError(src.parentExists));
    int in = OpenRegularForReading(AT_FDCWD, src.host.c_str(), 0);
    if (in < 0) return errno == EACCES ? Fail(ERROR_ACCESS_DENIED) : FailErrno();
    UniqueFd input(in);
    struct stat ss;
    if (fstat(in, &ss) != 0) return FailErrno();
    Held dst;
    if (!Hold(to, true, &dst)) return false;
    if (!dst.parentExists || dst.isRoot) return Fail(ERROR_PATH_NOT_FOUND);
    if (dst.exists) {
        if (failIfExists) return Fail(ERROR_FILE_EXISTS);
        if (!ReplaceableHeld(dst)) return false;
        if (dst.st.st_dev == ss.st_dev && dst.st.st_ino == ss.st_ino)
            return Fail(ERROR_SHARING_VIOLATION);
    }
    if (!HeldFolderWritable(dst.folder.get())) return false;
    bool ok = ReplaceHeld(
        dst,
        [&](int fd) {
            if (!CopyData(in, fd)) return false;
            // CopyFileA keeps the last write time.
            struct timespec times[2] = {ss.st_atim, ss.st_mtim};
            futimens(fd, times);
            return true;
        },
        ss.st_mode, false);
    if (!ok) return false;
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::CopyFileConfined(std::string_view from, std::string_view to) {
    Held src;
    if (!Hold(from, false, &src)) return false;
    if (!src.exists) return Fail(MissingError(src.parentExists));
    if (src.isRoot || !S_ISREG(src.st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    int in = OpenRegularForReading(src.folder.get(), src.name.c_str(), O_NOFOLLOW);
    if (in < 0) return errno == ELOOP || errno == EACCES ? Fail(ERROR_ACCESS_DENIED) : FailErrno();
    UniqueFd input(in);
    struct stat ss;
    if (fstat(in, &ss) != 0) return FailErrno();
    Held dst;
    if (!Hold(to, false, &dst)) return false;
    if (!dst.parentExists || dst.isRoot) return Fail(ERROR_PATH_NOT_FOUND);
    if (dst.exists) return Fail(ERROR_FILE_EXISTS);
    int out = openat(dst.folder.get(), dst.name.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) return FailErrno();
    UniqueFd output(out);
    struct timespec times[2] = {ss.st_atim, ss.st_mtim};
    if (fchmod(out, 0600) != 0 || !CopyData(in, out) || futimens(out, times) != 0) {
        long code = t_lastError == ERROR_SUCCESS ? ErrnoToWin(errno) : t_lastError;
        unlinkat(dst.folder.get(), dst.name.c_str(), 0);
        return Fail(code);
    }
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::ReadWholeFileConfined(std::string_view path, std::string* content) const {
    Held held;
    if (!Hold(path, false, &held)) return false;
    if (!held.exists) return Fail(MissingError(held.parentExists));
    if (held.isRoot || !S_ISREG(held.st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    int in = OpenRegularForReading(held.folder.get(), held.name.c_str(), O_NOFOLLOW);
    if (in < 0) return errno == ELOOP || errno == EACCES ? Fail(ERROR_ACCESS_DENIED) : FailErrno();
    UniqueFd input(in);
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FailErrno();
        }
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    *content = std::move(text);
    t_lastError = ERROR_SUCCESS;
    return true;
}

// The refusals of MoveFile and MoveFileReplacing for the entry moved.
bool FileSystem::MovableHeld(const Held& src) {
    if (!src.exists) return Fail(MissingError(src.parentExists));
    if (src.isRoot) return Fail(ERROR_ACCESS_DENIED);
    if (S_ISDIR(src.st.st_mode)) return true;
    if (!S_ISLNK(src.st.st_mode) && (NoWriteBits(src.st) || src.inUse))
        return Fail(ERROR_ACCESS_DENIED);
    return true;
}

bool FileSystem::MoveFileReplacing(std::string_view from, std::string_view to) {
    Held src, dst;
    if (!Hold(from, true, &src) || !MovableHeld(src)) return false;
    if (S_ISDIR(src.st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if (!Hold(to, true, &dst)) return false;
    if (!dst.parentExists || dst.isRoot) return Fail(ERROR_PATH_NOT_FOUND);
    if (dst.exists && (S_ISDIR(dst.st.st_mode) ||
                       (!S_ISLNK(dst.st.st_mode) && (NoWriteBits(dst.st) || dst.inUse))))
        return Fail(ERROR_ACCESS_DENIED);
    if (!HeldFolderWritable(src.folder.get()) || !HeldFolderWritable(dst.folder.get()))
        return false;
    if (renameat(src.folder.get(), src.name.c_str(), dst.folder.get(), dst.name.c_str()) != 0)
        return errno == EXDEV ? Fail(ERROR_NOT_SAME_DEVICE) : FailErrno();
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::MoveFile(std::string_view from, std::string_view to) {
    Held src, dst;
    if (!Hold(from, true, &src) || !MovableHeld(src)) return false;
    if (!Hold(to, false, &dst)) return false;
    if (dst.exists) {
        // Only a change of the name's case is a move onto itself.
        bool same = dst.st.st_dev == src.st.st_dev && dst.st.st_ino == src.st.st_ino;
        if (!same) return Fail(ERROR_ALREADY_EXISTS);
        dst.name = WindowsNameToHost(dst.normalized.substr(dst.normalized.find_last_of('\\') + 1));
        if (dst.name == src.name) {
            t_lastError = ERROR_SUCCESS;  // onto itself: nothing to do
            return true;
        }
    }
    if (!dst.parentExists || dst.isRoot) return Fail(ERROR_PATH_NOT_FOUND);
    if (!HeldFolderWritable(src.folder.get()) || !HeldFolderWritable(dst.folder.get()))
        return false;
    // Never replaces: an entry that appeared at `to` since the check stays.
    unsigned flags = dst.exists ? 0 : RENAME_NOREPLACE;
    if (renameat2(src.folder.get(), src.name.c_str(), dst.folder.get(), dst.name.c_str(), flags) ==
        0) {
        t_lastError = ERROR_SUCCESS;
        return true;
    }
    if (errno == EINVAL && S_ISDIR(src.st.st_mode))
        return Fail(ERROR_ACCESS_DENIED);  // into itself
    if (errno != EXDEV) return FailErrno();
    // Another file system: MoveFileA copies and deletes, for files only.
    if (!S_ISREG(src.st.st_mode)) return Fail(ERROR_NOT_SAME_DEVICE);
    if (!CopyFile(from, to, true)) return false;
    if (unlinkat(src.folder.get(), src.name.c_str(), 0) != 0) return FailErrno();
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::DeleteFile(std::string_view path) {
    Held h;
    if (!Hold(path, true, &h, true)) return false;
    if (!h.exists) return Fail(MissingError(h.parentExists));
    if (h.isRoot) return Fail(ERROR_ACCESS_DENIED);
    if (S_ISLNK(h.st.st_mode)) {
        // A link is deleted itself, whatever it leads to; a link to a folder
        // on a drive is a folder for Windows.
        struct stat target;
        if (LinkTargetOnDrive(h.folder.get(), h.name.c_str(), drives_->Current(), &target) &&
            S_ISDIR(target.st_mode))
            return Fail(ERROR_ACCESS_DENIED);
    } else if (S_ISDIR(h.st.st_mode) || NoWriteBits(h.st) || h.inUse) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (!HeldFolderWritable(h.folder.get())) return false;
    if (unlinkat(h.folder.get(), h.name.c_str(), 0) != 0) return FailErrno();
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::CreateDirectory(std::string_view path) {
    Held h;
    if (!Hold(path, false, &h)) return false;
    if (h.exists) return Fail(ERROR_ALREADY_EXISTS);
    if (!h.parentExists || !h.folder.valid()) return Fail(ERROR_PATH_NOT_FOUND);
    if (!HeldFolderWritable(h.folder.get())) return false;
    if (mkdirat(h.folder.get(), h.name.c_str(), 0777) != 0) return FailErrno();
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::CreateFolderPath(std::string_view folder) {
    std::string path(folder);
    for (char& c : path)
        if (c == '/') c = '\\';
    const bool network = path.rfind("\\\\", 0) == 0;
    if (!network) path = NormalizePath(path);
    while (path.size() > 3 && path.back() == '\\') path.pop_back();
    size_t start = 0;
    size_t drive = path.find(":\\");
    if (drive != std::string::npos)
        start = drive + 2;
    else if (network)
        start = 2;
    auto make = [&](const std::string& level) {
        if (level.empty() || IsFolder(level)) return true;
        if (PathFileExists(level)) return Fail(ERROR_ALREADY_EXISTS);
        return CreateDirectory(level) || IsFolder(level);
    };
    for (size_t cut = path.find('\\', start); cut != std::string::npos;
         cut = path.find('\\', cut + 1)) {
        if (!make(path.substr(0, cut))) return false;
    }
    return make(path);
}

bool FileSystem::RemoveDirectory(std::string_view path) {
    Held h;
    if (!Hold(path, false, &h)) return false;
    if (!h.exists) return Fail(MissingError(h.parentExists));
    if (h.isRoot) return Fail(ERROR_ACCESS_DENIED);
    int how = AT_REMOVEDIR;
    if (S_ISLNK(h.st.st_mode)) {
        // A link to a folder goes as a junction does: the link only.
        struct stat target;
        if (fstatat(h.folder.get(), h.name.c_str(), &target, 0) != 0 || !S_ISDIR(target.st_mode))
            return Fail(ERROR_DIRECTORY);
        how = 0;
    } else if (!S_ISDIR(h.st.st_mode)) {
        return Fail(ERROR_DIRECTORY);
    } else if (NoWriteBits(h.st)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    if (!HeldFolderWritable(h.folder.get())) return false;
    if (unlinkat(h.folder.get(), h.name.c_str(), how) != 0) return FailErrno();
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::PathFileExists(std::string_view path) const {
    Resolved r;
    if (!Resolve(path, &r)) return false;
    if (!r.exists) return Fail(MissingError(r.parentExists));
    return true;
}

bool FileSystem::IsFolder(std::string_view path) const {
    uint32_t attributes = GetFileAttributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

uint32_t FileSystem::GetFileAttributes(std::string_view path) const {
    Resolved r;
    if (!Resolve(path, &r, true)) return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    bool found = r.offDriveLink ? lstat(r.host.c_str(), &st) == 0 : StatEntry(r.host, &st);
    if (!r.exists || !found) {
        Fail(MissingError(r.parentExists));
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string_view name = r.normalized;
    name.remove_prefix(name.find_last_of('\\') + 1);
    if (r.isRoot) return AttributesOf(st, std::string_view());
    return AttributesOf(st, name) | LinkAttribute(r.host);
}

// Holds an existing entry itself open for a change of its own (attributes,
// times); a link is not followed to change what it leads to.
bool FileSystem::HoldEntry(std::string_view path, Held* h, UniqueFd* entry) const {
    if (!Hold(path, false, h)) return false;
    if (!h->exists) return Fail(MissingError(h->parentExists));
    if (S_ISLNK(h->st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    entry->Reset(h->isRoot ? dup(h->folder.get()) : OpenEntry(h->folder.get(), h->name, h->st));
    return entry->valid() || FailErrno();
}

bool FileSystem::SetFileAttributes(std::string_view path, uint32_t attributes) {
    Held h;
    UniqueFd entry;
    if (!HoldEntry(path, &h, &entry)) return false;
    if (!SetReadOnlyOn(entry.get(), h.st, attributes & FILE_ATTRIBUTE_READONLY)) return false;
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::GetFileSize(std::string_view path, uint64_t* size) const {
    Resolved r;
    if (!Resolve(path, &r)) return false;
    struct stat st;
    if (!r.exists || stat(r.host.c_str(), &st) != 0) return Fail(MissingError(r.parentExists));
    *size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    return true;
}

bool FileSystem::GetFileTimes(std::string_view path, FileTime* creation, FileTime* lastAccess,
                              FileTime* lastWrite) const {
    Resolved r;
    if (!Resolve(path, &r)) return false;
    struct stat st;
    if (!r.exists || !StatEntry(r.host, &st)) return Fail(MissingError(r.parentExists));
    FindData data = MakeFindData(st, std::string());
    if (creation) *creation = data.creationTime;
    if (lastAccess) *lastAccess = data.lastAccessTime;
    if (lastWrite) *lastWrite = data.lastWriteTime;
    return true;
}

bool FileSystem::SetFileTimes(std::string_view path, FileTime lastAccess, FileTime lastWrite) {
    Held h;
    UniqueFd entry;
    if (!HoldEntry(path, &h, &entry)) return false;
    auto toSpec = [](FileTime t) {
        struct timespec ts;
        if (t == 0) {
            ts.tv_sec = 0;
            ts.tv_nsec = UTIME_OMIT;
        } else {
            ts.tv_sec = FileTimeToUnix(t);
            ts.tv_nsec = static_cast<long>(t % 10000000ULL) * 100;
        }
        return ts;
    };
    struct timespec times[2] = {toSpec(lastAccess), toSpec(lastWrite)};
    if (utimensat(AT_FDCWD, DescriptorPath(entry.get()).c_str(), times, 0) != 0) return FailErrno();
    return true;
}

// --- Folder trees ---

namespace {

// The names of a held folder's entries, sorted as FindFirstFile lists them.
std::vector<std::string> EntryNames(int folderFd) {
    std::vector<std::pair<std::string, std::string>> entries;  // shown name, host name
    int fd = openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (!dir) {
        if (fd >= 0) close(fd);
        return {};
    }
    while (dirent* entry = readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") entries.emplace_back(HostNameToWindows(name), name);
    }
    closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        int c = CompareNoCase(a.first, b.first);
        return c != 0 ? c < 0 : a.second < b.second;
    });
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (auto& entry : entries) names.push_back(std::move(entry.second));
    return names;
}

}  // namespace

struct FileSystem::TreeWalk {
    const FileSystem& files;
    const TreeDeletion& rules;

    bool Stopped() const { return rules.stop && rules.stop(); }

    // Deletes one file (or a link of any kind) of the held folder.
    bool DeleteEntry(int folder, const std::string& name, const std::string& windows,
                     const std::string& host) {
        struct stat st;
        if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
        bool link = S_ISLNK(st.st_mode);
        if (!link && rules.beforeFile) {
            // Slow (ending programs, unregistering): done before the entry is
            // looked at again.
            rules.beforeFile(windows);
            if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
            link = S_ISLNK(st.st_mode);
        }
        long refusal = ERROR_SUCCESS;
        if (!link && S_ISDIR(st.st_mode)) {
            refusal = ERROR_ACCESS_DENIED;
        } else if (!link && files.InUse(host)) {
            refusal = ERROR_ACCESS_DENIED;
        } else if (!link && NoWriteBits(st)) {
            UniqueFd entry(rules.clearReadOnlyFiles ? OpenEntry(folder, name, st) : -1);
            if (!entry.valid() || !SetReadOnlyOn(entry.get(), st, false))
                refusal = ERROR_ACCESS_DENIED;
        }
        if (refusal == ERROR_SUCCESS && !HeldFolderWritable(folder)) refusal = ERROR_ACCESS_DENIED;
        if (refusal == ERROR_SUCCESS && unlinkat(folder, name.c_str(), 0) != 0)
            refusal = ErrnoToWin(errno);
        if (refusal == ERROR_SUCCESS) return true;
        if (rules.refused) rules.refused(windows, refusal);
        return Fail(refusal);
    }

    // Empties the held folder: true when every entry went.
    bool Empty(int folder, const std::string& windows, const std::string& host, int depth) {
        if (depth > FileSystem::kTreeDepthLimit || Stopped()) return false;
        bool all = true;
        for (const std::string& name : EntryNames(folder)) {
            if (rules.skipDotNames && name[0] == '.') continue;
            std::string entryWindows = windows + "\\" + HostNameToWindows(name);
            std::string entryHost = (host == "/" ? "" : host) + "/" + name;
            struct stat st;
            if (fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            bool ok;
            if (S_ISDIR(st.st_mode)) {
                ok = RemoveSubfolder(folder, name, entryWindows, entryHost, depth);
                if (Stopped()) return false;
            } else {
                ok = DeleteEntry(folder, name, entryWindows, entryHost);
            }
            all = all && ok;
            if (!ok && !rules.goOn) return false;
        }
        return all;
    }

    // A subfolder whose own walk stopped early stays, and the walk of its
    // parent goes on; one emptied that cannot be removed stops it.
    bool RemoveSubfolder(int folder, const std::string& name, const std::string& windows,
                         const std::string& host, int depth) {
        UniqueFd sub(openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        // Swapped for a link since the listing: the link goes, as any link.
        if (!sub.valid())
            return errno == ELOOP || errno == ENOTDIR ? DeleteEntry(folder, name, windows, host)
                                                      : FailErrno();
        if (!Empty(sub.get(), windows, host, depth + 1)) return rules.goOn ? false : true;
        struct stat st;
        if (rules.goOn && fstat(sub.get(), &st) == 0) SetReadOnlyOn(sub.get(), st, false);
        if (fstat(sub.get(), &st) == 0 && NoWriteBits(st)) return Fail(ERROR_ACCESS_DENIED);
        if (!HeldFolderWritable(folder)) return false;
        if (unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0) return FailErrno();
        return true;
    }
};

bool FileSystem::DeleteTree(std::string_view folder, const TreeDeletion& rules) {
    Held h;
    if (!Hold(folder, false, &h)) return false;
    if (!h.exists) return Fail(MissingError(h.parentExists));
    if (h.isRoot) return Fail(ERROR_ACCESS_DENIED);
    if (S_ISLNK(h.st.st_mode)) {
        if (rules.refuseLinkedFolder) return Fail(ERROR_ACCESS_DENIED);
        return RemoveDirectory(folder);  // the link only, as for a junction
    }
    if (!S_ISDIR(h.st.st_mode)) return Fail(ERROR_DIRECTORY);
    UniqueFd top(
        openat(h.folder.get(), h.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!top.valid()) return errno == ELOOP ? Fail(ERROR_ACCESS_DENIED) : FailErrno();
    TreeWalk walk{*this, rules};
    std::string windows = h.normalized;
    while (windows.size() > 3 && windows.back() == '\\') windows.pop_back();
    bool emptied = walk.Empty(top.get(), windows, h.host, 0);
    if (!emptied && !rules.goOn) return false;
    if (walk.Stopped()) return Fail(ERROR_OPERATION_ABORTED);
    struct stat st;
    if (fstat(top.get(), &st) == 0 && !SetReadOnlyOn(top.get(), st, false)) return false;
    if (!HeldFolderWritable(h.folder.get())) return false;
    if (unlinkat(h.folder.get(), h.name.c_str(), AT_REMOVEDIR) != 0) return FailErrno();
    t_lastError = ERROR_SUCCESS;
    return true;
}

}  // namespace tolvane
