#include "machine/windows/installation_hives.h"

#include <fcntl.h>
#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "base/codepage.h"
#include "host/held_path.h"
#include "host/host_paths.h"

namespace tolvane {
namespace {

constexpr const char* kMachineHives[] = {"SOFTWARE", "SYSTEM",     "SAM",
                                         "SECURITY", "COMPONENTS", "DRIVERS"};

// The entry of the held folder named `name` (a host name: the installation's
// names as hivex reads them, in UTF-8) by Windows' rule (host_paths.h).
bool FindEntryByHostName(int folderFd, const std::string& name, std::string* found) {
    return FindEntryNoCase(folderFd, HostNameToWindows(name), found);
}

// Why the entry `shown` (as named in messages), found but not of the kind
// wanted, is not used.
std::string RefusedEntry(const struct stat& st, const std::string& shown, bool wantFolder) {
    if (S_ISLNK(st.st_mode))
        return shown + " is a link, which Tolvane never follows inside an installation";
    const char* kind = S_ISFIFO(st.st_mode)  ? "a pipe"
                       : S_ISDIR(st.st_mode) ? "a folder"
                       : S_ISREG(st.st_mode) ? "a file"
                                             : "a device or socket";
    return shown + " is " + kind + (wantFolder ? ", not a folder" : ", not a hive file");
}

// Opens the folder reached from rootFd through `parts` (names without
// regard to case), never through a link. -1 when it is not there;
// *relative gets the path as spelled on disk. *why (when given) says what
// was found in the way when a part is there but no folder, else stays "".
int OpenFolderNoCase(int rootFd, const std::vector<std::string>& parts, std::string* relative,
                     std::string* why = nullptr) {
    UniqueFd current(fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    relative->clear();
    if (why) why->clear();
    for (const std::string& part : parts) {
        if (part.empty() || part == "." || part == "..") return -1;
        std::string found;
        if (!current.valid() || !FindEntryByHostName(current.get(), part, &found)) return -1;
        UniqueFd next(
            openat(current.get(), found.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!relative->empty()) *relative += '/';
        *relative += found;
        struct stat st {};
        if (!next.valid() && why &&
            fstatat(current.get(), found.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            *why = RefusedEntry(st, *relative, true);
        current = std::move(next);
    }
    return current.Release();
}

// A hive entry of the held folder that is a plain file (links refused).
// *why (when given) says what was found instead when the name is there.
bool FindHiveFile(int folderFd, const std::string& name, std::string* found,
                  const std::string& shownFolder = "", std::string* why = nullptr) {
    struct stat st {};
    if (why) why->clear();
    if (!FindEntryByHostName(folderFd, name, found) ||
        fstatat(folderFd, found->c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (!S_ISREG(st.st_mode)) {
        if (why) *why = RefusedEntry(st, shownFolder + "/" + *found, false);
        return false;
    }
    return true;
}

std::vector<std::string> SplitWindowsPath(std::string_view path) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find_first_of("\\/", pos);
        if (end == std::string_view::npos) end = path.size();
        if (end > pos) parts.emplace_back(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return parts;
}

struct HivexCloser {
    void operator()(hive_h* h) const {
        if (h) hivex_close(h);
    }
};
using HivexHandle = std::unique_ptr<hive_h, HivexCloser>;

HivexHandle OpenHive(int folderFd, const std::string& name) {
    UniqueFd fd(openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return nullptr;
    return HivexHandle(hivex_open(DescriptorPath(fd.get()).c_str(), 0));
}

hive_node_h NodeAt(hive_h* h, std::string_view path) {
    hive_node_h node = hivex_root(h);
    for (const std::string& part : SplitWindowsPath(path)) {
        if (!node) return 0;
        node = hivex_node_get_child(h, node, part.c_str());
    }
    return node;
}

std::string StringValue(hive_h* h, hive_node_h node, const char* name) {
    hive_value_h value = node ? hivex_node_get_value(h, node, name) : 0;
    char* text = value ? hivex_value_string(h, value) : nullptr;
    std::string out = text ? text : "";
    free(text);
    return out;
}

// %SystemDrive% and %SystemRoot% as a profile path may use them.
std::string ExpandProfilePath(std::string path, const std::string& systemRoot) {
    auto replace = [&](const std::string& name, const std::string& with) {
        for (size_t at = 0; at + name.size() <= path.size();) {
            if (EqualsNoCase(std::string_view(path).substr(at, name.size()), name)) {
                path.replace(at, name.size(), with);
                at += with.size();
            } else {
                ++at;
            }
        }
    };
    replace("%SystemDrive%", "C:");
    replace("%SystemRoot%", systemRoot);
    replace("%windir%", systemRoot);
    return path;
}

// A REG_DWORD value of the node, or nullopt.
std::optional<uint32_t> DwordValue(hive_h* h, hive_node_h node, const char* name) {
    hive_value_h value = node ? hivex_node_get_value(h, node, name) : 0;
    hive_type type{};
    size_t len = 0;
    if (!value || hivex_value_type(h, value, &type, &len) != 0 || type != hive_t_REG_DWORD)
        return std::nullopt;
    return static_cast<uint32_t>(hivex_value_dword(h, value));
}

// When Windows last loaded the profile of a ProfileList entry (a FILETIME
// split in two DWORDs), 0 when it records none.
uint64_t ProfileLoadTime(hive_h* h, hive_node_h entry) {
    auto high = DwordValue(h, entry, "LocalProfileLoadTimeHigh");
    auto low = DwordValue(h, entry, "LocalProfileLoadTimeLow");
    if (!high || !low) return 0;
    return (static_cast<uint64_t>(*high) << 32) | *low;
}

unsigned CurrentControlSet(int configFd, const std::string& systemName) {
    HivexHandle h = OpenHive(configFd, systemName);
    if (!h) return 1;
    hive_node_h select = NodeAt(h.get(), "Select");
    for (const char* name : {"Current", "Default"}) {
        auto set = DwordValue(h.get(), select, name);
        if (set && *set > 0 && *set < 1000) return *set;
    }
    return 1;
}

// The profile at a ProfileList entry, when its NTUSER.DAT is on C:. A
// profile whose folder or hive is there but refused (a link, a pipe) is
// noted in hives->problems.
bool ReadProfile(int rootFd, const std::string& sid, const std::string& profilePath,
                 InstallationHives::Profile* profile, InstallationHives* hives) {
    std::vector<std::string> parts = SplitWindowsPath(profilePath);
    if (parts.empty() || !EqualsNoCase(parts[0], "C:")) return false;
    parts.erase(parts.begin());
    std::string folder, why;
    UniqueFd fd(OpenFolderNoCase(rootFd, parts, &folder, &why));
    std::string name;
    if (fd.valid()) FindHiveFile(fd.get(), "NTUSER.DAT", &name, folder, &why);
    if (!why.empty())
        hives->problems.push_back("The user profile " + profilePath + " (" + sid +
                                  ") is not used: " + why + ".");
    if (name.empty() || !why.empty()) return false;
    profile->sid = sid;
    profile->profilePath = profilePath;
    profile->userName = parts.empty() ? sid : parts.back();
    profile->user = {folder, name, false};
    std::string classesFolder;
    std::vector<std::string> below = {"AppData", "Local", "Microsoft", "Windows"};
    UniqueFd classes(OpenFolderNoCase(fd.get(), below, &classesFolder));
    const std::string classesPath = folder + "/" + classesFolder;
    if (classes.valid() && FindHiveFile(classes.get(), "UsrClass.dat", &name, classesPath, &why))
        profile->classes = {classesPath, name, false};
    else if (!why.empty())
        hives->problems.push_back("The classes hive of the user profile " + profilePath + " (" +
                                  sid + ") is not used: " + why + ".");
    return true;
}

void ReadProfiles(int rootFd, int configFd, const std::string& softwareName,
                  InstallationHives* hives) {
    HivexHandle h = OpenHive(configFd, softwareName);
    if (!h) return;  // a damaged SOFTWARE hive is reported when the registry loads it
    std::string systemRoot = StringValue(
        h.get(), NodeAt(h.get(), "Microsoft\\Windows NT\\CurrentVersion"), "SystemRoot");
    if (systemRoot.empty()) systemRoot = "C:\\Windows";
    hive_node_h list = NodeAt(h.get(), "Microsoft\\Windows NT\\CurrentVersion\\ProfileList");
    hive_node_h* children = list ? hivex_node_children(h.get(), list) : nullptr;
    for (size_t i = 0; children && children[i]; ++i) {
        char* sid = hivex_node_name(h.get(), children[i]);
        std::string path =
            ExpandProfilePath(StringValue(h.get(), children[i], "ProfileImagePath"), systemRoot);
        InstallationHives::Profile profile;
        profile.loadTime = ProfileLoadTime(h.get(), children[i]);
        if (sid && ReadProfile(rootFd, sid, path, &profile, hives))
            hives->profiles.push_back(std::move(profile));
        free(sid);
    }
    free(children);
}

bool ChooseUser(const std::string& user, InstallationHives* hives, std::string* error) {
    int chosen = -1;
    for (size_t i = 0; i < hives->profiles.size(); ++i) {
        const auto& p = hives->profiles[i];
        if (!user.empty()) {
            if (EqualsNoCase(p.userName, user) || EqualsNoCase(p.sid, user))
                chosen = static_cast<int>(i);
            continue;
        }
        if (p.sid.rfind("S-1-5-21-", 0) != 0) continue;
        if (chosen < 0 || p.loadTime > hives->profiles[chosen].loadTime)
            chosen = static_cast<int>(i);
    }
    if (!user.empty() && chosen < 0) {
        std::string known;
        for (const auto& p : hives->profiles)
            if (p.sid.rfind("S-1-5-21-", 0) == 0) known += (known.empty() ? "" : ", ") + p.userName;
        *error = "The Windows installation " + hives->root + " has no user profile named \"" +
                 user + "\"" + (known.empty() ? "." : " (its users: " + known + ").");
        return false;
    }
    hives->currentUser = chosen;
    return true;
}

}  // namespace

bool FindInstallationHives(const std::string& folder, const std::string& user,
                           InstallationHives* hives, std::string* error) {
    *hives = InstallationHives();
    hives->root = CanonicalPath(folder).value_or(folder);
    UniqueFd root(open(hives->root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string configFolder, why;
    UniqueFd config(root.valid() ? OpenFolderNoCase(root.get(), {"Windows", "System32", "config"},
                                                    &configFolder, &why)
                                 : -1);
    std::string software, system;
    if (config.valid() && FindHiveFile(config.get(), "SOFTWARE", &software, configFolder, &why))
        FindHiveFile(config.get(), "SYSTEM", &system, configFolder, &why);
    if (software.empty() || system.empty() || !why.empty()) {
        *error = why.empty() ? folder +
                                   " is no Windows installation (it has no "
                                   "Windows\\System32\\config holding SOFTWARE and SYSTEM)."
                             : folder + " is not opened as a Windows installation: " + why + ".";
        return false;
    }
    for (const char* key : kMachineHives) {
        std::string name;
        if (!FindHiveFile(config.get(), key, &name, configFolder, &why)) {
            if (!why.empty())
                hives->problems.push_back(std::string("HKEY_LOCAL_MACHINE\\") + key +
                                          " is not read: " + why + ".");
            continue;
        }
        bool changeable = std::strcmp(key, "SOFTWARE") == 0 || std::strcmp(key, "SYSTEM") == 0;
        hives->machine.push_back({key, {configFolder, name, !changeable}});
    }
    std::string name;
    if (FindHiveFile(config.get(), "DEFAULT", &name, configFolder, &why))
        hives->defaultUser = {configFolder, name, false};
    else if (!why.empty())
        hives->problems.push_back("HKEY_USERS\\.DEFAULT is not read: " + why + ".");
    hives->controlSet = CurrentControlSet(config.get(), system);
    ReadProfiles(root.get(), config.get(), software, hives);
    return ChooseUser(user, hives, error);
}

}  // namespace tolvane
