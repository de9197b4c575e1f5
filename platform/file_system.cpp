#include "platform/file_system.h"

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

#include "platform/codepage.h"
#include "platform/replacement_temp.h"

namespace tolvane {
namespace {

thread_local long t_lastError = ERROR_SUCCESS;

bool Fail(long code) {
    t_lastError = code;
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

std::string Canonical(const std::string& hostPath) {
    char* real = realpath(hostPath.c_str(), nullptr);
    if (!real) return {};
    std::string out = real;
    free(real);
    return out;
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

uint32_t AttributesOf(const struct stat& st, std::string_view name) {
    uint32_t attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (NoWriteBits(st)) attributes |= FILE_ATTRIBUTE_READONLY;
    if (name.size() > 1 && name[0] == '.' && name != "..") attributes |= FILE_ATTRIBUTE_HIDDEN;
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

File::~File() {
    Close();
}

File::File(File&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

bool File::Read(void* buffer, size_t size, size_t* read) {
    if (read) *read = 0;
    if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
    char* out = static_cast<char*>(buffer);
    size_t total = 0;
    while (total < size) {
        ssize_t n = ::read(fd_, out + total, size - total);
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
    if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
    if (!WriteAll(fd_, data.data(), data.size())) return FailErrno();
    return true;
}

bool File::Flush() {
    if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
    if (fsync(fd_) != 0) return FailErrno();
    return true;
}

bool File::Size(uint64_t* size) const {
    struct stat st;
    if (fd_ < 0) return Fail(ERROR_INVALID_HANDLE);
    if (fstat(fd_, &st) != 0) return FailErrno();
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

void File::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
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

    // Reloads when dosdevices/ changed since the last look.
    std::map<char, std::string> Current() {
        std::lock_guard<std::mutex> lock(mutex);
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
            std::string c = Canonical(prefix + "/drive_c");
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
            std::string target = Canonical(folder + "/" + name);
            struct stat ts;
            if (target.empty() || stat(target.c_str(), &ts) != 0 || !S_ISDIR(ts.st_mode)) continue;
            roots[letter] = target;
        }
        closedir(dir);
        return roots;
    }
};

struct FileSystem::Resolved {
    std::string host;        // host path (components as found on disk)
    std::string normalized;  // the Windows path normalised ("C:\a\b")
    bool exists = false;     // the whole path exists
    bool parentExists = false;
    bool isRoot = false;
    std::string real;       // canonical location of the deepest part found on disk
    std::string driveRoot;  // canonical folder of the path's own drive

    // Whether what a change acts on lies on the path's own drive: the entry
    // itself (its folder, for a link as the last part) or, with followLast,
    // what a link as the last part leads to. A link inside a drive that
    // leads elsewhere (C:\x -> /etc) is not followed by changes.
    bool OnOwnDrive(bool followLast) const {
        if (followLast || !exists || isRoot) return IsBelow(real, driveRoot);
        struct stat st;
        if (lstat(host.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return IsBelow(real, driveRoot);
        std::string folder = Canonical(ParentOf(host));
        return !folder.empty() && IsBelow(folder, driveRoot);
    }
};

FileSystem::FileSystem(const std::string& prefixPath) : drives_(std::make_unique<Drives>()) {
    drives_->prefix = prefixPath;
    while (drives_->prefix.size() > 1 && drives_->prefix.back() == '/') drives_->prefix.pop_back();
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
    std::string canonical = Canonical(hostPath);
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

bool FileSystem::Resolve(std::string_view windowsPath, Resolved* out) const {
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
    for (size_t k = 0; k < parts.size(); ++k) {
        std::string name = Cp1252ToUtf8(parts[k]);
        std::string base = host == "/" ? "" : host;
        if (out->exists) {
            struct stat st;
            if (lstat((base + "/" + name).c_str(), &st) != 0) {
                // No exact match: look for the name without regard to case.
                std::string found;
                if (DIR* dir = opendir(host.c_str())) {
                    while (dirent* entry = readdir(dir)) {
                        if (EqualsNoCase(Utf8ToCp1252(entry->d_name), parts[k])) {
                            found = entry->d_name;
                            break;
                        }
                    }
                    closedir(dir);
                }
                if (found.empty()) {
                    out->exists = false;
                    if (k + 1 < parts.size()) out->parentExists = false;
                } else {
                    name = found;
                }
            }
        } else {
            out->parentExists = false;
        }
        host = base + "/" + name;
        if (out->exists) existing = host;
    }

    // The location must stay on a drive: a link leading out of every drive's
    // folder is not followed.
    std::string real = Canonical(existing);
    if (real.empty()) {
        // A dangling link as the last part: its folder decides.
        real = Canonical(ParentOf(existing));
    }
    bool inside = false;
    for (const auto& [l, root] : roots)
        if (!real.empty() && IsBelow(real, root)) inside = true;
    if (!inside) return Fail(ERROR_ACCESS_DENIED);

    out->host = host;
    out->real = real;
    out->driveRoot = drive->second;
    return true;
}

bool FileSystem::DriveInsidePrefix(std::string_view windowsPath) const {
    if (windowsPath.size() < 2 || windowsPath[1] != ':') return false;
    std::map<char, std::string> roots = drives_->Current();
    auto drive = roots.find(FoldCase(windowsPath[0]));
    std::string prefix = Canonical(drives_->prefix);
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
    std::string canonical = Canonical(host);
    if (canonical.empty()) {
        // A file that is gone: its folder may still be there.
        std::string parent = Canonical(ParentOf(host));
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
    std::string rest = canonical.size() > bestLength ? canonical.substr(bestLength) : "";
    for (char& c : rest)
        if (c == '/') c = '\\';
    return out + Utf8ToCp1252(rest);
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
    bool ascii = std::all_of(name.begin(), name.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return ascii ? name == hostName : Cp1252ToUtf8(name) == hostName;
}

}  // namespace

// Lists the open folder `fd` (taken over and closed) into the handle. Each
// entry is looked at relative to the folder, without walking its path again.
bool FileSystem::ListFolder(int fd, std::string host, std::string windows, bool isRoot,
                            std::string_view mask, FindHandle* handle, FindData* data) {
    DIR* dir = fdopendir(fd);
    if (!dir) {
        int err = errno;
        close(fd);
        return Fail(ErrnoToWin(err));
    }
    std::vector<FindHandle::Entry> found;
    while (dirent* entry = readdir(dir)) {
        std::string_view onDisk = entry->d_name;
        bool dots = onDisk == "." || onDisk == "..";
        if (dots && isRoot) continue;  // a drive's root has no "." and ".."
        std::string name = Utf8ToCp1252(onDisk);
        if (!MatchFilePattern(mask, name)) continue;
        // The entry itself first: a symbolic link shows as a reparse point
        // (as Windows shows a junction) with its target's other attributes,
        // or its own when it leads nowhere.
        struct stat es;
        if (fstatat(fd, entry->d_name, &es, AT_SYMLINK_NOFOLLOW) != 0) continue;
        uint32_t link = 0;
        if (S_ISLNK(es.st_mode)) {
            struct stat target;
            if (fstatat(fd, entry->d_name, &target, 0) == 0) es = target;
            link = FILE_ATTRIBUTE_REPARSE_POINT;
        }
        FindHandle::Entry listed{MakeFindData(es, std::move(name)), std::string(onDisk)};
        listed.data.attributes |= link;
        found.push_back(std::move(listed));
    }
    closedir(dir);  // closes fd
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
    return handle->Next(data);
}

bool FileSystem::FindFirstFile(std::string_view pattern, FindHandle* handle, FindData* data) const {
    handle->entries_.clear();
    handle->next_ = 0;
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
    int fd = open(r.host.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return FailErrno();
    return ListFolder(fd, std::move(r.host), std::move(r.normalized), r.isRoot, mask, handle, data);
}

bool FileSystem::FindFirstFileIn(const FindHandle& parent, const FindData& entry,
                                 std::string_view pattern, FindHandle* handle,
                                 FindData* data) const {
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
        int fd = open(host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            handle->entries_.clear();
            handle->next_ = 0;
            return ListFolder(fd, std::move(host), std::move(windows), false, pattern, handle,
                              data);
        }
    }
    windows += '\\';
    windows += pattern;
    return FindFirstFile(windows, handle, data);
}

// --- Whole files ---

namespace {

// Why a path that does not exist cannot be used.
long MissingError(bool parentExists) {
    return parentExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

// Windows' refusals for changing a folder's entries, kept when root would
// be allowed: a folder without write bits.
bool FolderWritable(const std::string& hostFolder) {
    struct stat st;
    if (stat(hostFolder.c_str(), &st) != 0) return Fail(ErrnoToWin(errno));
    if (NoWriteBits(st)) return Fail(ERROR_ACCESS_DENIED);
    return true;
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

// Writes a new file beside `target` with `fill`, syncs it and renames it
// over `target`, then syncs the folder: the target holds either its old or
// its new content, never a part. A temporary that a killed writer of
// `target` left behind is taken over (replacement_temp.h).
bool FileSystem::ReplaceFile(const std::string& target, const std::function<bool(int)>& fill,
                             unsigned mode, bool runHook) {
    std::string folder = ParentOf(target);
    std::string temp;
    int fd = OpenReplacementTemp(target, &temp);
    if (fd < 0) return FailErrno();
    auto abandon = [&](long code) {
        unlink(temp.c_str());
        close(fd);
        return Fail(code);
    };
    if (!fill(fd)) return abandon(t_lastError == ERROR_SUCCESS ? ERROR_GEN_FAILURE : t_lastError);
    if (fchmod(fd, mode & 07777) != 0 || fsync(fd) != 0) return abandon(ErrnoToWin(errno));
    if (runHook && beforeRename_ && !beforeRename_(temp)) return abandon(ERROR_GEN_FAILURE);
    // Renamed while still locked, so no cleaner takes it for a leftover.
    if (rename(temp.c_str(), target.c_str()) != 0) return abandon(ErrnoToWin(errno));
    close(fd);
    int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

bool FileSystem::WriteWholeFileAtomic(std::string_view path, std::string_view content) {
    Resolved r;
    if (!Resolve(path, &r)) return false;
    if (!r.parentExists || r.isRoot) return Fail(ERROR_PATH_NOT_FOUND);
    if (!r.OnOwnDrive(true)) return Fail(ERROR_ACCESS_DENIED);
    std::string target = r.host;
    unsigned mode = 0666 & ~0022u;
    if (r.exists) {
        struct stat st;
        if (stat(target.c_str(), &st) != 0) return FailErrno();
        if (S_ISDIR(st.st_mode) || NoWriteBits(st)) return Fail(ERROR_ACCESS_DENIED);
        if (InUse(target)) return Fail(ERROR_SHARING_VIOLATION);
        // Replace what a link points to, keeping the link.
        std::string real = Canonical(target);
        if (!real.empty()) target = real;
        mode = st.st_mode;
    }
    if (!FolderWritable(ParentOf(target))) return false;
    bool ok = ReplaceFile(
        target,
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
    Resolved r;
    if (!Resolve(path, &r)) return false;
    if (r.isRoot) return Fail(ERROR_ACCESS_DENIED);
    struct stat st;
    bool exists = r.exists && stat(r.host.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode))
        return Fail(ERROR_ACCESS_DENIED);  // folders, pipes, devices
    int flags = O_CLOEXEC;
    switch (mode) {
        case FileOpenMode::Read:
            flags |= O_RDONLY;
            break;
        case FileOpenMode::Write:
            flags |= O_WRONLY | O_CREAT | O_TRUNC;
            break;
        case FileOpenMode::Append:
            flags |= O_WRONLY | O_CREAT | O_APPEND;
            break;
        case FileOpenMode::ReadWrite:
            flags |= O_RDWR;
            break;
    }
    if (!exists && (mode == FileOpenMode::Read || mode == FileOpenMode::ReadWrite))
        return Fail(MissingError(r.parentExists));
    if (!r.parentExists) return Fail(ERROR_PATH_NOT_FOUND);
    // A dangling link would have open() create its target, wherever it leads.
    struct stat link;
    if (!exists && lstat(r.host.c_str(), &link) == 0) return Fail(ERROR_ACCESS_DENIED);
    if (mode != FileOpenMode::Read) {
        if (!r.OnOwnDrive(true)) return Fail(ERROR_ACCESS_DENIED);
        if (exists && NoWriteBits(st)) return Fail(ERROR_ACCESS_DENIED);
        if (exists && InUse(r.host)) return Fail(ERROR_SHARING_VIOLATION);
        if (!exists && !FolderWritable(ParentOf(r.host))) return false;
    }
    int fd = open(r.host.c_str(), flags, 0666);
    if (fd < 0) return FailErrno();
    file->fd_ = fd;
    t_lastError = ERROR_SUCCESS;
    return true;
}

// --- Operations ---

bool FileSystem::CopyFile(std::string_view from, std::string_view to, bool failIfExists) {
    Resolved src, dst;
    if (!Resolve(from, &src)) return false;
    if (!src.exists) return Fail(MissingError(src.parentExists));
    struct stat ss;
    if (stat(src.host.c_str(), &ss) != 0) return FailErrno();
    if (!S_ISREG(ss.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if (!Resolve(to, &dst)) return false;
    if (!dst.parentExists || dst.isRoot) return Fail(ERROR_PATH_NOT_FOUND);
    if (!dst.OnOwnDrive(true)) return Fail(ERROR_ACCESS_DENIED);
    std::string target = dst.host;
    if (dst.exists) {
        struct stat ds;
        if (stat(target.c_str(), &ds) != 0) return FailErrno();
        if (failIfExists) return Fail(ERROR_FILE_EXISTS);
        if (S_ISDIR(ds.st_mode) || NoWriteBits(ds)) return Fail(ERROR_ACCESS_DENIED);
        if (InUse(target)) return Fail(ERROR_SHARING_VIOLATION);
        std::string real = Canonical(target);
        if (!real.empty()) target = real;
        if (ds.st_dev == ss.st_dev && ds.st_ino == ss.st_ino) return Fail(ERROR_SHARING_VIOLATION);
    }
    if (!FolderWritable(ParentOf(target))) return false;
    int in = open(src.host.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return FailErrno();
    bool ok = ReplaceFile(
        target,
        [&](int fd) {
            char buffer[65536];
            for (;;) {
                ssize_t n = read(in, buffer, sizeof buffer);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    return FailErrno();
                }
                if (n == 0) return true;
                if (!WriteAll(fd, buffer, static_cast<size_t>(n))) return FailErrno();
            }
        },
        ss.st_mode, false);
    close(in);
    if (!ok) return false;
    // CopyFileA keeps the last write time.
    struct timespec times[2] = {ss.st_atim, ss.st_mtim};
    utimensat(AT_FDCWD, target.c_str(), times, 0);
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::MoveFileReplacing(std::string_view from, std::string_view to) {
    Resolved src, dst;
    if (!Resolve(from, &src)) return false;
    if (!src.exists) return Fail(MissingError(src.parentExists));
    if (src.isRoot) return Fail(ERROR_ACCESS_DENIED);
    struct stat ss;
    if (!StatEntry(src.host, &ss)) return FailErrno();
    if (S_ISDIR(ss.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if (!Resolve(to, &dst)) return false;
    if (!dst.parentExists || dst.isRoot) return Fail(ERROR_PATH_NOT_FOUND);
    if (!src.OnOwnDrive(false) || !dst.OnOwnDrive(false)) return Fail(ERROR_ACCESS_DENIED);
    if (dst.exists) {
        struct stat ds;
        if (!StatEntry(dst.host, &ds)) return FailErrno();
        if (S_ISDIR(ds.st_mode) || NoWriteBits(ds) || InUse(dst.host))
            return Fail(ERROR_ACCESS_DENIED);
    }
    if (NoWriteBits(ss) || InUse(src.host)) return Fail(ERROR_ACCESS_DENIED);
    if (!FolderWritable(ParentOf(src.host)) || !FolderWritable(ParentOf(dst.host))) return false;
    if (rename(src.host.c_str(), dst.host.c_str()) != 0)
        return errno == EXDEV ? Fail(ERROR_NOT_SAME_DEVICE) : FailErrno();
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::MoveFile(std::string_view from, std::string_view to) {
    Resolved src, dst;
    if (!Resolve(from, &src)) return false;
    if (!src.exists) return Fail(MissingError(src.parentExists));
    if (src.isRoot) return Fail(ERROR_ACCESS_DENIED);
    struct stat ss;
    if (!StatEntry(src.host, &ss)) return FailErrno();
    if (!Resolve(to, &dst)) return false;
    if (dst.exists) {
        // Only a change of the name's case is a move onto itself.
        struct stat ds;
        bool same = StatEntry(dst.host, &ds) && ds.st_dev == ss.st_dev && ds.st_ino == ss.st_ino;
        if (!same) return Fail(ERROR_ALREADY_EXISTS);
        std::string name = dst.normalized.substr(dst.normalized.find_last_of('\\') + 1);
        dst.host = ParentOf(dst.host) + "/" + Cp1252ToUtf8(name);
        if (dst.host == src.host) {
            t_lastError = ERROR_SUCCESS;  // onto itself: nothing to do
            return true;
        }
    }
    if (!dst.parentExists || dst.isRoot) return Fail(ERROR_PATH_NOT_FOUND);
    if (!src.OnOwnDrive(false) || !dst.OnOwnDrive(false)) return Fail(ERROR_ACCESS_DENIED);
    if (!S_ISDIR(ss.st_mode) && NoWriteBits(ss)) return Fail(ERROR_ACCESS_DENIED);
    if (!S_ISDIR(ss.st_mode) && InUse(src.host)) return Fail(ERROR_ACCESS_DENIED);
    if (!FolderWritable(ParentOf(src.host)) || !FolderWritable(ParentOf(dst.host))) return false;
    if (S_ISDIR(ss.st_mode)) {
        std::string a = Canonical(src.host), b = Canonical(ParentOf(dst.host));
        if (IsBelow(b, a)) return Fail(ERROR_ACCESS_DENIED);  // into itself
    }
    if (rename(src.host.c_str(), dst.host.c_str()) == 0) {
        t_lastError = ERROR_SUCCESS;
        return true;
    }
    if (errno != EXDEV) return FailErrno();
    // Another file system: MoveFileA copies and deletes, for files only.
    if (S_ISDIR(ss.st_mode)) return Fail(ERROR_NOT_SAME_DEVICE);
    if (!CopyFile(from, to, true)) return false;
    if (unlink(src.host.c_str()) != 0) return FailErrno();
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::DeleteFile(std::string_view path) {
    Resolved r;
    if (!Resolve(path, &r)) return false;
    if (!r.exists) return Fail(MissingError(r.parentExists));
    if (!r.OnOwnDrive(false)) return Fail(ERROR_ACCESS_DENIED);
    struct stat st;
    if (lstat(r.host.c_str(), &st) != 0) return FailErrno();
    if (S_ISLNK(st.st_mode)) {
        // A link is deleted itself; a link to a folder is a folder for Windows.
        struct stat target;
        if (stat(r.host.c_str(), &target) == 0 && S_ISDIR(target.st_mode))
            return Fail(ERROR_ACCESS_DENIED);
    } else {
        if (S_ISDIR(st.st_mode) || NoWriteBits(st)) return Fail(ERROR_ACCESS_DENIED);
        if (InUse(r.host)) return Fail(ERROR_ACCESS_DENIED);
    }
    if (!FolderWritable(ParentOf(r.host))) return false;
    if (unlink(r.host.c_str()) != 0) return FailErrno();
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::CreateDirectory(std::string_view path) {
    Resolved r;
    if (!Resolve(path, &r)) return false;
    if (r.exists) return Fail(ERROR_ALREADY_EXISTS);
    if (!r.parentExists) return Fail(ERROR_PATH_NOT_FOUND);
    if (!r.OnOwnDrive(false)) return Fail(ERROR_ACCESS_DENIED);
    if (!FolderWritable(ParentOf(r.host))) return false;
    if (mkdir(r.host.c_str(), 0777) != 0) return FailErrno();
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::RemoveDirectory(std::string_view path) {
    Resolved r;
    if (!Resolve(path, &r)) return false;
    if (!r.exists) return Fail(MissingError(r.parentExists));
    if (r.isRoot || !r.OnOwnDrive(false)) return Fail(ERROR_ACCESS_DENIED);
    struct stat st;
    if (lstat(r.host.c_str(), &st) != 0) return FailErrno();
    if (S_ISLNK(st.st_mode)) {
        // A link to a folder goes as a junction does: the link only.
        struct stat target;
        if (stat(r.host.c_str(), &target) != 0 || !S_ISDIR(target.st_mode))
            return Fail(ERROR_DIRECTORY);
        if (!FolderWritable(ParentOf(r.host))) return false;
        if (unlink(r.host.c_str()) != 0) return FailErrno();
        t_lastError = ERROR_SUCCESS;
        return true;
    }
    if (!S_ISDIR(st.st_mode)) return Fail(ERROR_DIRECTORY);
    if (NoWriteBits(st)) return Fail(ERROR_ACCESS_DENIED);
    if (!FolderWritable(ParentOf(r.host))) return false;
    if (rmdir(r.host.c_str()) != 0) return FailErrno();
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool FileSystem::PathFileExists(std::string_view path) const {
    Resolved r;
    if (!Resolve(path, &r)) return false;
    if (!r.exists) return Fail(MissingError(r.parentExists));
    return true;
}

uint32_t FileSystem::GetFileAttributes(std::string_view path) const {
    Resolved r;
    if (!Resolve(path, &r)) return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (!r.exists || !StatEntry(r.host, &st)) {
        Fail(MissingError(r.parentExists));
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string_view name = r.normalized;
    name.remove_prefix(name.find_last_of('\\') + 1);
    if (r.isRoot) return AttributesOf(st, std::string_view());
    return AttributesOf(st, name) | LinkAttribute(r.host);
}

bool FileSystem::SetFileAttributes(std::string_view path, uint32_t attributes) {
    Resolved r;
    if (!Resolve(path, &r)) return false;
    struct stat st;
    if (!r.exists || stat(r.host.c_str(), &st) != 0) return Fail(MissingError(r.parentExists));
    if (!r.OnOwnDrive(true)) return Fail(ERROR_ACCESS_DENIED);
    mode_t mode = st.st_mode & 07777;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
    else if (NoWriteBits(st))
        mode |= S_IWUSR;
    if (mode != (st.st_mode & 07777) && chmod(r.host.c_str(), mode) != 0) return FailErrno();
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
    Resolved r;
    if (!Resolve(path, &r)) return false;
    if (!r.exists) return Fail(MissingError(r.parentExists));
    if (!r.OnOwnDrive(true)) return Fail(ERROR_ACCESS_DENIED);
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
    if (utimensat(AT_FDCWD, r.host.c_str(), times, 0) != 0) return FailErrno();
    return true;
}

}  // namespace tolvane
