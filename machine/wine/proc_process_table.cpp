#include "machine/wine/proc_process_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <set>
#include <sstream>

#include "base/codepage.h"
#include "base/text.h"
#include "host/host_files.h"
#include "host/host_paths.h"
#include "machine/file_system.h"

namespace tolvane {
namespace {

// The whole of a /proc file. False when it cannot be opened or read: a file
// opened just before its process was reaped fails to read with ESRCH, which
// is a process that has gone, not an error of the listing.
bool ReadProcFile(const std::string& path, std::string* content) {
    content->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[8192];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            content->append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
            break;
        }
    }
    close(fd);
    return ok;
}

// "C:\x" or "\\server\x": the path a Wine process gives as its argv[0].
bool IsWindowsPath(std::string_view path) {
    if (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) {
        char letter = FoldCase(path[0]);
        return letter >= 'A' && letter <= 'Z';
    }
    return path.size() >= 3 && path[0] == '\\' && path[1] == '\\';
}

// The parent id from /proc/PID/stat ("pid (comm) state ppid ..."; comm may
// hold blanks and parentheses, so the fields are counted after the last ')').
uint32_t ParentPid(const std::string& procDir) {
    std::string stat;
    if (!ReadProcFile(procDir + "/stat", &stat)) return 0;
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    unsigned long ppid = 0;
    fields >> state >> ppid;
    return static_cast<uint32_t>(ppid);
}

// The host files a process has mapped, in the order of its maps, once each;
// false when the maps cannot be read (the process has gone).
bool MappedFiles(const std::string& procDir, std::vector<std::string>* files) {
    files->clear();
    std::string maps;
    if (!ReadProcFile(procDir + "/maps", &maps)) return false;
    std::set<std::string> seen;
    size_t start = 0;
    while (start < maps.size()) {
        size_t end = maps.find('\n', start);
        if (end == std::string::npos) end = maps.size();
        std::string_view line(maps.data() + start, end - start);
        start = end + 1;
        // address perms offset dev inode path: the path starts at the first
        // '/' after the five fields and may hold blanks.
        size_t slash = line.find('/');
        if (slash == std::string_view::npos) continue;
        std::string path(line.substr(slash));
        constexpr std::string_view kDeleted = " (deleted)";
        if (path.size() > kDeleted.size() &&
            path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
            path.resize(path.size() - kDeleted.size());
        if (seen.insert(path).second) files->push_back(path);
    }
    return true;
}

class ProcProcessTable : public ProcessTable {
  public:
    ProcProcessTable(const std::string& prefixPath, const FileSystem& files,
                     const std::string& procRoot)
        : prefix_(CanonicalPath(prefixPath).value_or(prefixPath)),
          files_(files),
          procRoot_(procRoot) {}

    bool List(std::vector<ProcessSnapshot>* processes) override {
        processes->clear();
        DIR* proc = opendir(procRoot_.c_str());
        if (!proc) return false;
        std::vector<uint32_t> pids;
        while (dirent* entry = readdir(proc)) {
            char* end = nullptr;
            unsigned long pid = std::strtoul(entry->d_name, &end, 10);
            if (*entry->d_name && *end == '\0' && pid > 0 && pid <= UINT32_MAX)
                pids.push_back(static_cast<uint32_t>(pid));
        }
        closedir(proc);
        std::sort(pids.begin(), pids.end());
        for (uint32_t pid : pids) {
            ProcessSnapshot snapshot;
            if (Snapshot(pid, &snapshot)) processes->push_back(std::move(snapshot));
        }
        return true;
    }

    bool Terminate(uint32_t pid) override {
        // Only programs of this machine: a pid that left it (or was reused
        // by another program) is not touched.
        if (pid == 0 || static_cast<pid_t>(pid) == getpid() || !BelongsToMachine(pid)) {
            FileSystem::SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        if (kill(static_cast<pid_t>(pid), SIGKILL) != 0) {
            FileSystem::SetLastError(errno == EPERM ? ERROR_ACCESS_DENIED
                                                    : ERROR_INVALID_PARAMETER);
            return false;
        }
        return true;
    }

  private:
    // The process runs in this prefix: its WINEPREFIX names it, or, for a
    // Wine program started without WINEPREFIX, the prefix is Wine's default
    // $HOME/.wine of that process.
    bool BelongsToMachine(uint32_t pid) const {
        std::string dir = procRoot_ + "/" + std::to_string(pid);
        std::string environ;
        if (!ReadProcFile(dir + "/environ", &environ)) return false;
        std::string prefix, home;
        bool hasPrefix = false;
        size_t start = 0;
        while (start < environ.size()) {
            size_t end = environ.find('\0', start);
            if (end == std::string::npos) end = environ.size();
            std::string_view entry(environ.data() + start, end - start);
            if (entry.substr(0, 11) == "WINEPREFIX=") {
                prefix = entry.substr(11);
                hasPrefix = true;
            } else if (entry.substr(0, 5) == "HOME=") {
                home = entry.substr(5);
            }
            start = end + 1;
        }
        if (hasPrefix) return !prefix.empty() && CanonicalPath(prefix).value_or(prefix) == prefix_;
        if (home.empty() || CanonicalPath(home + "/.wine").value_or(home + "/.wine") != prefix_)
            return false;
        return IsWineProcess(dir);
    }

    static bool IsWineProcess(const std::string& dir) {
        std::string cmdline;
        if (ReadProcFile(dir + "/cmdline", &cmdline) &&
            IsWindowsPath(Trim(
                std::string_view(cmdline.data(), std::min(cmdline.find('\0'), cmdline.size())))))
            return true;
        char target[PATH_MAX];
        ssize_t n = readlink((dir + "/exe").c_str(), target, sizeof target - 1);
        if (n <= 0) return false;
        std::string_view exe(target, static_cast<size_t>(n));
        std::string_view name = exe.substr(exe.find_last_of('/') + 1);
        return name.substr(0, 4) == "wine";
    }

    // False for processes of other machines and those that cannot be read.
    bool Snapshot(uint32_t pid, ProcessSnapshot* out) const {
        if (!BelongsToMachine(pid)) return false;
        std::string dir = procRoot_ + "/" + std::to_string(pid);
        std::string cmdline;
        if (!ReadProcFile(dir + "/cmdline", &cmdline)) return false;
        std::string argv0(
            Trim(std::string_view(cmdline.data(), std::min(cmdline.find('\0'), cmdline.size()))));
        out->pid = pid;
        out->parentPid = ParentPid(dir);
        if (IsWindowsPath(argv0)) {
            out->exePath = Utf8ToCp1252(argv0);
        } else {
            char target[PATH_MAX];
            ssize_t n = readlink((dir + "/exe").c_str(), target, sizeof target - 1);
            if (n > 0) {
                target[n] = '\0';
                out->exePath = files_.ToWindowsPath(target);
            } else {
                out->exePath = Utf8ToCp1252(argv0);
            }
        }
        if (!MappedFiles(dir, &out->hostFiles)) return false;
        out->modules.clear();
        if (!out->exePath.empty()) out->modules.push_back(out->exePath);
        for (const std::string& host : out->hostFiles) {
            if (!EndsWithNoCase(host, ".exe") && !EndsWithNoCase(host, ".dll")) continue;
            std::string windows = files_.ToWindowsPath(host);
            if (!EqualsNoCase(windows, out->exePath)) out->modules.push_back(windows);
        }
        return true;
    }

    std::string prefix_;
    const FileSystem& files_;
    std::string procRoot_;
};

}  // namespace

std::unique_ptr<ProcessTable> MakeProcProcessTable(const std::string& prefixPath,
                                                   const FileSystem& files,
                                                   const std::string& procRoot) {
    return std::make_unique<ProcProcessTable>(prefixPath, files, procRoot);
}

}  // namespace tolvane
