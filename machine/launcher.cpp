#include "machine/launcher.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/codepage.h"
#include "base/text.h"
#include "machine/file_system.h"

extern char** environ;

namespace tolvane {
namespace {

// The executable `name` found on PATH, or "".
std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (!path) return {};
    std::string_view rest = path;
    while (true) {
        size_t cut = rest.find(':');
        std::string_view folder = rest.substr(0, cut);
        std::string candidate(folder.empty() ? std::string_view(".") : folder);
        candidate += '/';
        candidate += name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (cut == std::string_view::npos) return {};
        rest.remove_prefix(cut + 1);
    }
}

bool HasDesktop() {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

bool IsWebAddress(std::string_view file) {
    for (std::string_view scheme : {"http://", "https://", "ftp://", "mailto:", "file://"})
        if (StartsWithNoCase(file, scheme)) return true;
    return StartsWithNoCase(file, "www.");
}

// Windows runs these itself rather than handing them to a viewer.
bool IsWindowsProgram(std::string_view file) {
    size_t dot = file.find_last_of('.');
    size_t slash = file.find_last_of("\\/");
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return slash == std::string_view::npos;  // "regedit": a program name without extension
    std::string_view ext = file.substr(dot);
    for (std::string_view program : {".exe", ".com", ".bat", ".cmd", ".msi", ".lnk"})
        if (EqualsNoCase(ext, program)) return true;
    return false;
}

bool IsRegsvr32(std::string_view file) {
    size_t slash = file.find_last_of("\\/");
    std::string_view name = slash == std::string_view::npos ? file : file.substr(slash + 1);
    return EqualsNoCase(name, "regsvr32.exe") || EqualsNoCase(name, "regsvr32");
}

}  // namespace

std::string QuoteWindowsArgument(std::string_view argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos)
        return std::string(argument);
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count only before a quote: there each one is doubled
        // and the quote escaped.
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    // The closing quote follows: the backslashes before it are doubled too.
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

std::vector<std::string> SplitWindowsCommandLine(std::string_view text) {
    std::vector<std::string> out;
    std::string current;
    bool inQuotes = false, any = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\') {
            size_t run = text.find_first_not_of('\\', i) - i;
            if (i + run > text.size()) run = text.size() - i;
            bool beforeQuote = i + run < text.size() && text[i + run] == '"';
            current.append(beforeQuote ? run / 2 : run, '\\');
            i += run - 1;
            if (beforeQuote && run % 2 == 1) {
                current += '"';  // an escaped quote
                ++i;
            }
            any = true;
        } else if (c == '"') {
            inQuotes = !inQuotes;
            any = true;
        } else if ((c == ' ' || c == '\t') && !inQuotes) {
            if (any) out.push_back(current);
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (any) out.push_back(current);
    return out;
}

struct Launcher::Running {
    std::mutex mutex;
    std::condition_variable ended;
    int count = 0;
};

namespace {

// Starts argv detached from us: no terminal input, its output discarded,
// its own session; a small thread reaps it so that no zombie stays. When
// running is given, it counts the program until it has ended.
bool Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
           std::shared_ptr<Launcher::Running> running) {
    std::string program = FindOnPath(argv[0]);
    if (program.empty()) return false;
    std::vector<std::string> envStrings;
    for (char** e = environ; e && *e; ++e) {
        bool replaced = false;
        for (const std::string& extra : extraEnv) {
            size_t eq = extra.find('=');
            if (std::strncmp(*e, extra.c_str(), eq + 1) == 0) replaced = true;
        }
        if (!replaced) envStrings.push_back(*e);
    }
    for (const std::string& extra : extraEnv) envStrings.push_back(extra);
    std::vector<char*> envp, args;
    for (std::string& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = argv;
    for (std::string& s : argCopy) args.push_back(s.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) return false;
    if (running) {
        std::lock_guard<std::mutex> lock(running->mutex);
        ++running->count;
    }
    std::thread([pid, running] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (running) {
            std::lock_guard<std::mutex> lock(running->mutex);
            --running->count;
            running->ended.notify_all();
        }
    }).detach();
    return true;
}

}  // namespace

bool IsBrowsableAddress(std::string_view address) {
    size_t scheme = StartsWithNoCase(address, "https://")  ? 8
                    : StartsWithNoCase(address, "http://") ? 7
                                                           : 0;
    if (scheme == 0 || address.size() > 2048) return false;
    std::string_view host = address.substr(scheme);
    host = host.substr(0, host.find_first_of("/?#"));
    if (host.empty() || host.find('@') != std::string_view::npos) return false;
    for (char c : address) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u <= ' ' || u >= 0x7f ||
            std::string_view("\"'<>\\`{}|^").find(c) != std::string_view::npos)
            return false;
    }
    return true;
}

Launcher::Launcher(const std::string& prefixPath, const FileSystem& files)
    : prefix_(prefixPath), files_(files), running_(std::make_shared<Running>()) {}

bool Launcher::WaitForWinePrograms(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(running_->mutex);
    return running_->ended.wait_for(lock, limit, [this] { return running_->count == 0; });
}

bool Launcher::WineInstalled() {
    return !FindOnPath("wine").empty();
}

bool Launcher::ShellExecute(std::string_view verb, std::string_view file,
                            std::string_view parameters) {
    (void)verb;  // "open", "explore" and no verb all open; nothing else is asked for
    refusedAsRoot_ = false;
    if (file.empty()) return false;
    std::vector<std::string> argv;
    std::vector<std::string> env;
    // An observer sees every launch this machine asks for, whether or not
    // Wine or a desktop is there, so that tests do not depend on the host.
    const bool check = !observer_;
    if (IsWebAddress(file)) {
        if (check && (!HasDesktop() || FindOnPath("xdg-open").empty())) return false;
        argv = {"xdg-open", std::string(file)};
    } else if (IsWindowsProgram(file)) {
        if (noWindowsPrograms_) return false;
        if (check && IsRegsvr32(file) && geteuid() == 0) {
            refusedAsRoot_ = true;
            return false;
        }
        if (check && !WineInstalled()) return false;
        argv = {"wine", Cp1252ToUtf8(file)};
        for (std::string& p : SplitWindowsCommandLine(parameters)) argv.push_back(Cp1252ToUtf8(p));
        env.push_back("WINEPREFIX=" + prefix_);
    } else {
        // A document or folder of the machine, shown by the desktop.
        std::optional<std::string> host = files_.ToHostPath(file);
        if (!host || !files_.PathFileExists(file)) return false;
        if (check && (!HasDesktop() || FindOnPath("xdg-open").empty())) return false;
        argv = {"xdg-open", *host};
    }
    if (observer_) return observer_(argv);
    return Spawn(argv, env, argv[0] == "wine" ? running_ : nullptr);
}

bool Launcher::OpenWebAddress(std::string_view address) {
    if (!IsBrowsableAddress(address)) return false;
    std::vector<std::string> argv = {"xdg-open", std::string(address)};
    if (observer_) return observer_(argv);
    if (!HasDesktop() || FindOnPath("xdg-open").empty()) return false;
    return Spawn(argv, {}, nullptr);
}

bool Launcher::OpenHostDocument(const std::string& hostPath) {
    if (hostPath.empty() || hostPath[0] != '/') return false;
    std::vector<std::string> argv = {"xdg-open", "file://" + hostPath};
    if (observer_) return observer_(argv);
    if (!HasDesktop() || FindOnPath("xdg-open").empty()) return false;
    return Spawn(argv, {}, nullptr);
}

}  // namespace tolvane
