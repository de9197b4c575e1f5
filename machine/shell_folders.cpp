#include "machine/shell_folders.h"

#include <optional>
#include <utility>

#include "base/codepage.h"
#include "machine/registry.h"

namespace tolvane {
namespace {

constexpr const char* kCurrentVersion = "Software\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kShellFolders =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr const char* kUserShellFolders =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr const char* kWindowsNt = "Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kProfileList = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr const char* kSystemEnvironment =
    "System\\CurrentControlSet\\Control\\Session Manager\\Environment";

// Environment references nest (%TEMP% -> %USERPROFILE%\Temp); a loop of
// references stops after this many rounds.
constexpr int kMaxExpandDepth = 8;

std::string WithoutTrailingBackslash(std::string path) {
    while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}

std::optional<std::string> Read(const Registry& registry, RootKey root, const std::string& path,
                                std::string_view name) {
    std::string value;
    if (!ReadRegistryString(registry, root, path, name, &value) || value.empty())
        return std::nullopt;
    return value;
}

}  // namespace

ShellFolders::ShellFolders(const Registry& registry, UserFolderSource source, std::string userSid)
    : registry_(registry), source_(source), userSid_(std::move(userSid)) {}

std::optional<std::string> ShellFolders::UserValue(const std::string& path,
                                                   std::string_view name) const {
    if (userSid_.empty()) return Read(registry_, RootKey::CurrentUser, path, name);
    return Read(registry_, RootKey::Users, userSid_ + "\\" + path, name);
}

std::string ShellFolders::ProgramPath() {
    return "C:\\Program Files\\Tolvane\\Tolvane.exe";
}

std::string ShellFolders::ApplicationFolder() {
    std::string path = ProgramPath();
    return path.substr(0, path.find_last_of('\\') + 1);
}

// A user folder from the list the source asks first, else from the other,
// with its references expanded (%USERPROFILE% is the profile ProfileList
// records for the user, ProfileFolder below).
std::optional<std::string> ShellFolders::UserFolder(std::string_view name) const {
    const char* first = kShellFolders;
    const char* second = kUserShellFolders;
    if (source_ == UserFolderSource::UserShellFoldersFirst) std::swap(first, second);
    for (const char* list : {first, second})
        if (auto value = UserValue(list, name)) return ExpandEnvironmentStrings(*value);
    return std::nullopt;
}

// The profile Windows records for the user's SID; a prefix without a
// profile list has the profile as the parent of its desktop.
std::optional<std::string> ShellFolders::ProfileFolder() const {
    std::optional<std::string> found;
    std::string sid = userSid_.empty() ? registry_.UserSid() : userSid_;
    if (!sid.empty())
        found = Read(registry_, RootKey::LocalMachine, std::string(kProfileList) + "\\" + sid,
                     "ProfileImagePath");
    if (found) return found;
    auto desktop = UserValue(kShellFolders, "Desktop");
    if (!desktop) return std::nullopt;
    std::string d = WithoutTrailingBackslash(*desktop);
    size_t cut = d.find_last_of('\\');
    if (cut != std::string::npos && cut >= 2) return d.substr(0, cut);
    return std::nullopt;
}

bool ShellFolders::GetFolderPath(int csidl, std::string* path) const {
    std::optional<std::string> found;
    switch (csidl) {
        case CSIDL_APPDATA:
            found = UserFolder("AppData");
            break;
        case CSIDL_COOKIES:
            found = UserFolder("Cookies");
            break;
        case CSIDL_DESKTOPDIRECTORY:
            found = UserFolder("Desktop");
            break;
        case CSIDL_FAVORITES:
            found = UserFolder("Favorites");
            break;
        case CSIDL_PROGRAMS:
            found = UserFolder("Programs");
            break;
        case CSIDL_STARTMENU:
            found = UserFolder("Start Menu");
            break;
        case CSIDL_STARTUP:
            found = UserFolder("Startup");
            break;
        case CSIDL_PROGRAM_FILES:
            found = Read(registry_, RootKey::LocalMachine, kCurrentVersion, "ProgramFilesDir");
            break;
        case CSIDL_PROGRAM_FILES_COMMON:
            found = Read(registry_, RootKey::LocalMachine, kCurrentVersion, "CommonFilesDir");
            break;
        case CSIDL_WINDOWS:
            found = Read(registry_, RootKey::LocalMachine, kWindowsNt, "SystemRoot");
            break;
        case CSIDL_SYSTEM:
            found = Read(registry_, RootKey::LocalMachine, kWindowsNt, "SystemRoot");
            if (found) found = WithoutTrailingBackslash(*found) + "\\system32";
            break;
        case CSIDL_LOCAL_APPDATA:
            found = UserFolder("Local AppData");
            break;
        case CSIDL_COMMON_APPDATA:
            found = Variable("PROGRAMDATA");
            break;
        case CSIDL_PROGRAM_FILESX86:
            found =
                Read(registry_, RootKey::LocalMachine, kCurrentVersion, "ProgramFilesDir (x86)");
            break;
        case CSIDL_SYSTEMX86:
            // Only a 64-bit Windows has a 32-bit system folder of its own.
            if (Read(registry_, RootKey::LocalMachine, kCurrentVersion, "ProgramFilesDir (x86)"))
                found = Read(registry_, RootKey::LocalMachine, kWindowsNt, "SystemRoot");
            if (found) found = WithoutTrailingBackslash(*found) + "\\syswow64";
            break;
        case CSIDL_PROFILE:
            found = ProfileFolder();
            break;
        default:
            return false;
    }
    if (!found || found->empty()) return false;
    std::string result = WithoutTrailingBackslash(ExpandEnvironmentStrings(*found));
    // Only an absolute path is a folder (not a reference nothing defines).
    bool absolute = (result.size() >= 2 && result[1] == ':') || result.rfind("\\\\", 0) == 0;
    if (!absolute) return false;
    *path = result;
    return true;
}

std::string ShellFolders::ExpandEnvironmentStrings(std::string_view text) const {
    // Variables are folders that are themselves expanded; a registry whose
    // references go round in a circle ends here instead of recursing.
    thread_local int depth = 0;
    if (depth >= kMaxExpandDepth) return std::string(text);
    struct Nesting {
        Nesting() { ++depth; }
        ~Nesting() { --depth; }
    } nesting;
    std::string current(text);
    for (int round = 0; round < kMaxExpandDepth; ++round) {
        std::string out;
        bool changed = false;
        size_t i = 0;
        while (i < current.size()) {
            size_t open = current.find('%', i);
            if (open == std::string::npos) {
                out.append(current, i, std::string::npos);
                break;
            }
            size_t close = current.find('%', open + 1);
            if (close == std::string::npos) {
                out.append(current, i, std::string::npos);
                break;
            }
            out.append(current, i, open - i);
            std::string name = current.substr(open + 1, close - open - 1);
            std::optional<std::string> value;
            if (!name.empty()) value = Variable(name);
            if (value) {
                out += *value;
                changed = true;
                i = close + 1;
            } else {
                // Unknown names stay as written; the closing % may open the next.
                out.append(current, open, close - open);
                i = close;
            }
        }
        current = std::move(out);
        if (!changed) break;
    }
    return current;
}

std::optional<std::string> ShellFolders::Variable(std::string_view name) const {
    std::string upper = ToUpperCp1252(name);
    std::string folder;
    auto folderOf = [&](int csidl) -> std::optional<std::string> {
        if (GetFolderPath(csidl, &folder)) return folder;
        return std::nullopt;
    };
    if (upper == "USERPROFILE") return folderOf(CSIDL_PROFILE);
    if (upper == "APPDATA") return folderOf(CSIDL_APPDATA);
    if (upper == "SYSTEMROOT" || upper == "WINDIR") return folderOf(CSIDL_WINDOWS);
    if (upper == "PROGRAMFILES") return folderOf(CSIDL_PROGRAM_FILES);
    if (upper == "COMMONPROGRAMFILES") return folderOf(CSIDL_PROGRAM_FILES_COMMON);
    if (upper == "SYSTEMDRIVE") {
        auto windows = folderOf(CSIDL_WINDOWS);
        if (windows && windows->size() >= 2 && (*windows)[1] == ':') return windows->substr(0, 2);
        return std::string("C:");
    }
    if (upper == "USERNAME") {
        auto profile = folderOf(CSIDL_PROFILE);
        if (!profile) return std::nullopt;
        return profile->substr(profile->find_last_of('\\') + 1);
    }
    if (upper == "LOCALAPPDATA") {
        if (source_ == UserFolderSource::UserShellFoldersFirst)
            return folderOf(CSIDL_LOCAL_APPDATA);
        if (auto value = UserValue(kShellFolders, "Local AppData"))
            return WithoutTrailingBackslash(*value);
    }
    if (upper == "PUBLIC") {
        if (auto value = Read(registry_, RootKey::LocalMachine, kProfileList, "Public"))
            return WithoutTrailingBackslash(*value);
    }
    if (upper == "ALLUSERSPROFILE" || upper == "PROGRAMDATA") {
        // Where Windows 7 and Wine keep the all-users profile.
        if (auto value = Read(registry_, RootKey::LocalMachine, kProfileList, "ProgramData"))
            return WithoutTrailingBackslash(*value);
        if (auto value = Read(registry_, RootKey::LocalMachine, kSystemEnvironment, name))
            return WithoutTrailingBackslash(*value);
        if (auto value = Read(registry_, RootKey::LocalMachine, kShellFolders, "Common AppData"))
            return WithoutTrailingBackslash(*value);
        return std::string("C:\\ProgramData");
    }
    // The rest as Windows builds a user's environment: the user's own
    // variables over the machine's.
    if (auto value = UserValue("Environment", name)) return value;
    if (auto value = Read(registry_, RootKey::LocalMachine, kSystemEnvironment, name)) return value;
    return std::nullopt;
}

std::string ShellFolders::TempFolder() const {
    std::string temp = ExpandEnvironmentStrings("%TEMP%");
    if (temp.find('%') != std::string::npos) return {};
    return WithoutTrailingBackslash(temp);
}

}  // namespace tolvane
