#include "machine/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "base/codepage.h"
#include "host/held_path.h"
#include "host/replacement_temp.h"
#include "machine/windows/installation_hives.h"
#include "machine/windows/regf_hive.h"
#include "machine/wine/wine_hive.h"
#include "machine/wine/wineserver_lock.h"

namespace tolvane {

namespace {

constexpr const char* kDefaultSid = "S-1-5-21-0-0-0-1000";
constexpr const char16_t* kClassesPath = u"Software\\Classes";
constexpr const char16_t* kCurrentConfigPath =
    u"System\\CurrentControlSet\\Hardware Profiles\\Current";

std::u16string ToWide(std::string_view text) {
    return Cp1252ToUtf16(text);
}
std::string ToNarrow(std::u16string_view text) {
    return Utf16ToCp1252(text);
}

// Joins two key paths, dropping empty components (leading, doubled and
// trailing backslashes).
std::string JoinPath(std::string_view a, std::string_view b) {
    std::string out;
    for (std::string_view part : {a, b}) {
        size_t pos = 0;
        while (pos <= part.size()) {
            size_t end = part.find('\\', pos);
            if (end == std::string_view::npos) end = part.size();
            if (end > pos) {
                if (!out.empty()) out += '\\';
                out.append(part.substr(pos, end - pos));
            }
            pos = end + 1;
        }
    }
    return out;
}

std::u16string JoinWide(std::u16string_view a, std::u16string_view b) {
    if (a.empty()) return std::u16string(b);
    if (b.empty()) return std::u16string(a);
    std::u16string out(a);
    out += u'\\';
    out += b;
    return out;
}

struct FileIdentity {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    bool operator==(const FileIdentity& o) const {
        return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
               mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

FileIdentity IdentityOf(const std::string& path) {
    FileIdentity id;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    return id;
}

// Sized by fstat and read straight into the string: no copy through a
// buffer, no regrowth. A file that grows meanwhile is read to its end.
bool ReadWholeFile(const std::string& path, std::string* out) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out->clear();
    struct stat info {};
    size_t expected = fstat(fd, &info) == 0 && info.st_size > 0 ? info.st_size : 0;
    size_t used = 0;
    out->resize(expected + 1);
    for (;;) {
        if (used == out->size()) out->resize(out->size() * 2 + 65536);
        ssize_t n = read(fd, out->data() + used, out->size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            close(fd);
            out->resize(used);
            return false;
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    out->resize(used);
    close(fd);
    return true;
}

// Saves made by any Registry of this process, per file: a file saved twice
// within the file system's clock tick can show the same size, time and
// (reused) inode, so the other Registry objects of the process compare this
// count too.
std::mutex& SaveCountMutex() {
    static std::mutex mutex;
    return mutex;
}
std::unordered_map<std::string, uint64_t>& SaveCounts() {
    static std::unordered_map<std::string, uint64_t> counts;
    return counts;
}
uint64_t SaveCount(const std::string& path) {
    std::lock_guard<std::mutex> lock(SaveCountMutex());
    auto it = SaveCounts().find(path);
    return it == SaveCounts().end() ? 0 : it->second;
}
uint64_t CountSave(const std::string& path) {
    std::lock_guard<std::mutex> lock(SaveCountMutex());
    return ++SaveCounts()[path];
}

// Changes of every Registry of the process, one at a time: a change reads
// the file again when it changed and saves it before the next change starts,
// so no Registry of the process writes over another's change.
std::mutex& ProcessChangeMutex() {
    static std::mutex mutex;
    return mutex;
}

constexpr std::chrono::milliseconds kReadCheckInterval(50);

// One registry file of the prefix.
struct HiveFile {
    std::string path;       // host path
    std::string newHeader;  // ";; All keys relative to" of a file made from nothing
    WineHive hive;
    FileIdentity identity;
    uint64_t savesSeen = 0;  // SaveCount() when loaded or saved
    std::chrono::steady_clock::time_point lastCheck;
    bool loaded = false;
    std::vector<std::string> problems;
    // A Windows installation's regf hive: read and changed through hivex.
    std::unique_ptr<RegfHiveFile> regf;
    bool readOnlyHive = false;  // a hive Tolvane reads but never changes (SAM, SECURITY, ...)
};

// One profile of a Windows installation in HKEY_USERS.
struct UserHives {
    std::u16string sid;
    HiveFile* user = nullptr;
    HiveFile* classes = nullptr;
};

// The names a merged or virtual root lists; kept for the few last keys
// enumerated so that walking a big key by index stays linear.
struct MergedList {
    std::string cacheKey;
    uint64_t generation = 0;
    std::vector<std::u16string> names;
};

}  // namespace

// ---- Store ----------------------------------------------------------------------

class RegistryStore {
  public:
    explicit RegistryStore(const std::string& prefix) : prefix_(prefix) {
        std::string base = prefix;
        while (base.size() > 1 && base.back() == '/') base.pop_back();
        // Saves rename within this folder as it was opened now: the prefix
        // renamed and a link put in its place later leads them nowhere else.
        folder_.Reset(open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        system_.path = base + "/system.reg";
        system_.newHeader = "REGISTRY\\Machine";
        user_.path = base + "/user.reg";
        userdef_.path = base + "/userdef.reg";
        userdef_.newHeader = "REGISTRY\\User\\.Default";
        user_.newHeader = std::string("REGISTRY\\User\\") + kDefaultSid;
        std::lock_guard<std::mutex> lock(mutex_);
        Refresh(system_);
        Refresh(user_);
        Refresh(userdef_);
        sid_ = kDefaultSid;
        UpdateSid();
    }

    explicit RegistryStore(const InstallationHives& hives) : prefix_(hives.root), offline_(true) {
        UniqueFd root(open(hives.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& mounted : hives.machine)
            machineKeys_.emplace_back(ToWide(mounted.keyName), AddRegf(root.get(), mounted.hive));
        for (const auto& [name, file] : machineKeys_) {
            if (HiveNameEquals(name, u"SOFTWARE")) software_ = file;
            if (HiveNameEquals(name, u"SYSTEM")) systemHive_ = file;
        }
        defaultUser_ = AddRegf(root.get(), hives.defaultUser);
        for (const auto& profile : hives.profiles)
            users_.push_back({ToWide(profile.sid), AddRegf(root.get(), profile.user),
                              AddRegf(root.get(), profile.classes)});
        char set[32];
        snprintf(set, sizeof set, "ControlSet%03u", hives.controlSet);
        controlSet_ = ToWide(set);
        if (hives.currentUser >= 0) {
            currentUser_ = &users_[hives.currentUser];
            sid_ = hives.profiles[hives.currentUser].sid;
        }
    }

    // Adds a hive of the installation reached below root without links; a
    // hive whose folder cannot be reached loads as damaged.
    HiveFile* AddRegf(int rootFd, const HiveLocation& where) {
        if (!where.present()) return nullptr;
        UniqueFd folder(rootFd >= 0 ? OpenBeneath(rootFd, where.folder, O_PATH | O_DIRECTORY) : -1);
        HiveFile& file = regfFiles_.emplace_back();
        file.path = prefix_ + "/" + where.folder + "/" + where.name;
        file.regf = std::make_unique<RegfHiveFile>(folder.get(), where.name, file.path);
        file.readOnlyHive = where.readOnly;
        Refresh(file);
        return &file;
    }

    std::mutex mutex_;
    std::string prefix_;
    UniqueFd folder_;
    HiveFile system_, user_, userdef_;
    std::string sid_;
    // A Windows installation: its hives and where they appear.
    bool offline_ = false;
    std::deque<HiveFile> regfFiles_;
    std::vector<std::pair<std::u16string, HiveFile*>> machineKeys_;
    HiveFile* software_ = nullptr;
    HiveFile* systemHive_ = nullptr;
    HiveFile* defaultUser_ = nullptr;
    std::vector<UserHives> users_;
    UserHives* currentUser_ = nullptr;
    std::u16string controlSet_;
    uint64_t generation_ = 0;  // grows with every change and reload
    std::list<MergedList> mergedCache_;
    mutable std::mutex messageMutex_;
    std::unordered_map<std::thread::id, std::string> messages_;

    void SetMessage(std::string message) {
        std::lock_guard<std::mutex> lock(messageMutex_);
        if (message.empty())
            messages_.erase(std::this_thread::get_id());
        else
            messages_[std::this_thread::get_id()] = std::move(message);
    }
    std::string Message() const {
        std::lock_guard<std::mutex> lock(messageMutex_);
        auto it = messages_.find(std::this_thread::get_id());
        return it == messages_.end() ? std::string() : it->second;
    }

    void UpdateSid() {
        const std::string& rel = user_.hive.relativeTo();
        size_t slash = rel.rfind('\\');
        if (slash != std::string::npos && slash + 1 < rel.size()) sid_ = rel.substr(slash + 1);
    }

    // Loads the file again when it changed on disk since it was read. Reads
    // look at the disk at most every kReadCheckInterval (the changes of this
    // process are seen at once through the save counts); changes always do.
    void Refresh(HiveFile& file, bool forChange = false) {
        auto now = std::chrono::steady_clock::now();
        bool savedHere = SaveCount(file.path) != file.savesSeen;
        if (file.loaded && !forChange && !savedHere && now - file.lastCheck < kReadCheckInterval)
            return;
        file.lastCheck = now;
        FileIdentity identity = IdentityOf(file.path);
        if (file.loaded && identity == file.identity && !savedHere) return;
        Load(file, identity);
    }

    void Load(HiveFile& file, const FileIdentity& identity) {
        file.savesSeen = SaveCount(file.path);
        file.problems.clear();
        if (file.regf) {
            std::string problem;
            if (!file.regf->Load(&file.hive, &problem)) file.problems.push_back(problem);
            file.identity = identity;
            file.loaded = true;
            ++generation_;
            return;
        }
        std::string text;
        if (identity.exists && !ReadWholeFile(file.path, &text))
            file.problems.push_back(file.path + ":0: cannot be read: " + std::strerror(errno));
        bool empty = text.empty();
        file.hive.Parse(std::move(text), file.path);
        if (!identity.exists || empty) file.hive.SetNewFileHeader(file.newHeader);
        file.identity = identity;
        file.loaded = true;
        ++generation_;
        if (&file == &user_) UpdateSid();
    }

    void RefreshAll() {
        if (offline_) {
            for (HiveFile& file : regfFiles_) Refresh(file, true);
            return;
        }
        Refresh(system_, true);
        Refresh(user_, true);
        Refresh(userdef_, true);
    }

    // What could not be read of the file: a Wine file's problems are known
    // once all of it is decoded, which this asks for.
    std::vector<std::string> Problems(HiveFile& file) {
        std::vector<std::string> all = file.problems;
        if (!file.regf) {
            const std::vector<std::string>& read = file.hive.Problems();
            all.insert(all.end(), read.begin(), read.end());
        }
        return all;
    }

    // Why a hive of an installation cannot change, or "".
    std::string RegfRefusal(const HiveFile& file) const {
        if (file.readOnlyHive)
            return "Tolvane reads the registry hive " + file.path +
                   " but never changes it (only SOFTWARE, SYSTEM and the users' hives change).";
        return file.regf->WriteRefusal();
    }

    // Whether the host lets this file be replaced: a file without any write
    // bit, or a folder we cannot write, keeps it as it is.
    bool HostReadOnly(const HiveFile& file, std::string* why) const {
        if (file.regf) {
            *why = RegfRefusal(file);
            return !why->empty();
        }
        struct stat st {};
        if (stat(file.path.c_str(), &st) == 0) {
            if ((st.st_mode & 0222) == 0 || access(file.path.c_str(), W_OK) != 0) {
                *why = "The registry file " + file.path + " is read-only.";
                return true;
            }
        }
        std::string folder = file.path.substr(0, file.path.rfind('/'));
        if (access(folder.empty() ? "/" : folder.c_str(), W_OK) != 0) {
            *why = "The prefix folder " + folder + " cannot be written.";
            return true;
        }
        return false;
    }

    // Every reason a change to this file is refused, or "" when it may change.
    std::string WriteRefusal(HiveFile& file) {
        if (file.regf) return RegfRefusal(file);
        std::string serverRuns = WineServerRefusal(prefix_);
        if (!serverRuns.empty()) return serverRuns;
        // Asked at every change: the lists are copied only when not empty.
        if (!file.problems.empty() || !file.hive.Problems().empty()) {
            std::vector<std::string> problems = Problems(file);
            std::string message = "The registry file " + file.path +
                                  " is damaged and is kept unchanged so that nothing of it is "
                                  "lost:";
            for (const std::string& p : problems) message += "\n" + p;
            return message;
        }
        std::string why;
        if (HostReadOnly(file, &why)) return why;
        return "";
    }

    // Ends a change made in memory: saves the file, or, when that fails,
    // reads it back from disk so that no half of the change stays, keeps the
    // reason for LastErrorMessage() and gives ERROR_CANTWRITE.
    long CommitChange(HiveFile& file) {
        std::string error;
        if (Save(file, &error)) return ERROR_SUCCESS;
        Load(file, IdentityOf(file.path));
        SetMessage(error);
        return ERROR_CANTWRITE;
    }

    // Writes the file through a temporary file beside it, fsync and rename,
    // all within the prefix folder held open; a hive file that is a link is
    // replaced, its target never written.
    bool Save(HiveFile& file, std::string* error) {
        if (file.regf) {
            if (!file.regf->Save(&file.hive, error)) return false;
            file.identity = IdentityOf(file.path);
            file.savesSeen = CountSave(file.path);
            ++generation_;
            return true;
        }
        std::string text = file.hive.Serialize();
        const std::string name = file.path.substr(file.path.rfind('/') + 1);
        UniqueFd folder(
            folder_.valid() ? openat(folder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
        std::string temp;
        int fd = folder.valid() ? OpenReplacementTemp(folder.get(), name, &temp) : -1;
        if (fd < 0) {
            *error =
                "Cannot write a temporary file beside " + file.path + ": " + std::strerror(errno);
            return false;
        }
        auto fail = [&](const std::string& what) {
            *error = what + ": " + std::strerror(errno);
            unlinkat(folder.get(), temp.c_str(), 0);
            close(fd);
            return false;
        };
        struct stat old {};
        bool plain = fstatat(folder.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
                     S_ISREG(old.st_mode);
        fchmod(fd, plain ? old.st_mode & 0777 : 0644);
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = write(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return fail("Cannot write " + file.path);
            done += static_cast<size_t>(n);
        }
        if (fsync(fd) != 0) return fail("Cannot write " + file.path);
        // Renamed while still locked, so no cleaner takes it for a leftover.
        if (renameat(folder.get(), temp.c_str(), folder.get(), name.c_str()) != 0)
            return fail("Cannot replace " + file.path);
        close(fd);
        fsync(folder.get());
        file.identity = IdentityOf(file.path);
        file.savesSeen = CountSave(file.path);
        ++generation_;
        return true;
    }
};

// ---- Roots and locations --------------------------------------------------------

namespace {

struct RootInfo {
    RootKey root;
    const char* name;
    const char* shortName;
};
constexpr RootInfo kRoots[] = {
    {RootKey::ClassesRoot, "HKEY_CLASSES_ROOT", "HKCR"},
    {RootKey::CurrentUser, "HKEY_CURRENT_USER", "HKCU"},
    {RootKey::LocalMachine, "HKEY_LOCAL_MACHINE", "HKLM"},
    {RootKey::Users, "HKEY_USERS", "HKU"},
    {RootKey::PerformanceData, "HKEY_PERFORMANCE_DATA", "HKPD"},
    {RootKey::CurrentConfig, "HKEY_CURRENT_CONFIG", "HKCC"},
    {RootKey::DynData, "HKEY_DYN_DATA", "HKDD"},
};

// Where a key of the Windows view lives. Most keys have one place; a key of
// HKEY_CLASSES_ROOT has two (the user's first).
struct Place {
    HiveFile* file = nullptr;
    std::u16string path;
};

struct Location {
    enum Kind { Places, UsersRoot, EmptyRoot, Nowhere } kind = Nowhere;
    Place places[2];
    int count = 0;
    bool merged = false;  // HKEY_CLASSES_ROOT
    // The keys a virtual root lists (UsersRoot of an installation: the
    // hives of HKEY_LOCAL_MACHINE or HKEY_USERS).
    std::vector<std::u16string> names;
};

}  // namespace

const char* RootKeyName(RootKey root) {
    for (const RootInfo& info : kRoots)
        if (info.root == root) return info.name;
    return "";
}

bool ParseRootKeyName(std::string_view name, RootKey* root) {
    for (const RootInfo& info : kRoots) {
        if (EqualsNoCase(name, info.name) || EqualsNoCase(name, info.shortName)) {
            *root = info.root;
            return true;
        }
    }
    return false;
}

bool SplitRegistryPath(std::string_view full, RootKey* root, std::string* path) {
    size_t slash = full.find('\\');
    std::string_view first = full.substr(0, slash);
    if (!ParseRootKeyName(first, root)) return false;
    *path = slash == std::string_view::npos ? std::string() : JoinPath(full.substr(slash + 1), "");
    return true;
}

namespace {

// Splits "first\rest" at its first backslash.
void SplitFirst(const std::u16string& path, std::u16string* first, std::u16string* rest) {
    size_t slash = path.find(u'\\');
    *first = path.substr(0, slash);
    *rest = slash == std::u16string::npos ? u"" : path.substr(slash + 1);
}

// Whether path is `head` or lies below it; *rest gets what follows.
bool Below(const std::u16string& path, std::u16string_view head, std::u16string* rest) {
    if (path.size() < head.size() ||
        !HiveNameEquals(std::u16string_view(path).substr(0, head.size()), head))
        return false;
    if (path.size() == head.size()) {
        rest->clear();
        return true;
    }
    if (path[head.size()] != u'\\') return false;
    *rest = path.substr(head.size() + 1);
    return true;
}

// Where a key of an installation's registry lives. HKEY_CURRENT_USER and
// HKEY_USERS\<SID> take Software\Classes from the user's UsrClass.dat, as
// Windows links it; SYSTEM\CurrentControlSet is the control set in use (not
// listed by EnumKey: the hive holds no such key, so a walk meets each key once).
Location LocateInstallation(RegistryStore& s, RootKey root, const std::u16string& wide) {
    Location loc;
    auto place = [&](HiveFile* file, std::u16string path) {
        if (!file) return;
        loc.kind = Location::Places;
        loc.places[loc.count++] = {file, std::move(path)};
    };
    auto userPlace = [&](const UserHives* user, const std::u16string& path) {
        std::u16string rest;
        if (user && user->classes && Below(path, u"Software\\Classes", &rest))
            place(user->classes, rest);
        else if (user)
            place(user->user, path);
    };
    auto controlSet = [&](const std::u16string& path) {
        std::u16string rest;
        if (!Below(path, u"CurrentControlSet", &rest)) return path;
        return JoinWide(s.controlSet_, rest);
    };
    std::u16string first, rest;
    SplitFirst(wide, &first, &rest);
    switch (root) {
        case RootKey::LocalMachine:
            if (wide.empty()) {
                loc.kind = Location::UsersRoot;
                for (const auto& mounted : s.machineKeys_) loc.names.push_back(mounted.first);
            }
            for (const auto& [name, file] : s.machineKeys_)
                if (!wide.empty() && HiveNameEquals(name, first))
                    place(file, file == s.systemHive_ ? controlSet(rest) : rest);
            break;
        case RootKey::CurrentUser:
            userPlace(s.currentUser_, wide);
            break;
        case RootKey::Users:
            if (wide.empty()) {
                loc.kind = Location::UsersRoot;
                if (s.defaultUser_) loc.names.push_back(u".DEFAULT");
                for (const UserHives& user : s.users_) {
                    loc.names.push_back(user.sid);
                    if (user.classes) loc.names.push_back(user.sid + u"_Classes");
                }
            } else if (HiveNameEquals(first, u".DEFAULT")) {
                place(s.defaultUser_, rest);
            }
            for (const UserHives& user : s.users_) {
                if (HiveNameEquals(first, user.sid)) userPlace(&user, rest);
                if (HiveNameEquals(first, user.sid + u"_Classes")) place(user.classes, rest);
            }
            break;
        case RootKey::ClassesRoot:
            if (s.currentUser_) place(s.currentUser_->classes, wide);
            place(s.software_, JoinWide(u"Classes", wide));
            loc.merged = loc.count == 2;
            break;
        case RootKey::CurrentConfig:
            place(s.systemHive_,
                  JoinWide(JoinWide(s.controlSet_, u"Hardware Profiles\\Current"), wide));
            break;
        case RootKey::PerformanceData:
        case RootKey::DynData:
            if (wide.empty()) loc.kind = Location::EmptyRoot;
            break;
    }
    return loc;
}

// The names a virtual root lists.
std::vector<std::u16string> ListedNames(RegistryStore& s, const Location& loc) {
    if (s.offline_) {
        std::vector<std::u16string> names = loc.names;
        std::sort(names.begin(), names.end(),
                  [](const auto& a, const auto& b) { return HiveNameCompare(a, b) < 0; });
        return names;
    }
    s.Refresh(s.user_);
    return {u".Default", ToWide(s.sid_)};
}

Location Locate(RegistryStore& s, RootKey root, std::string_view path) {
    Location loc;
    std::u16string wide = ToWide(JoinPath(path, ""));
    if (s.offline_) return LocateInstallation(s, root, wide);
    switch (root) {
        case RootKey::LocalMachine:
            loc.kind = Location::Places;
            loc.places[0] = {&s.system_, wide};
            loc.count = 1;
            break;
        case RootKey::CurrentUser:
            loc.kind = Location::Places;
            loc.places[0] = {&s.user_, wide};
            loc.count = 1;
            break;
        case RootKey::CurrentConfig:
            loc.kind = Location::Places;
            loc.places[0] = {&s.system_, JoinWide(kCurrentConfigPath, wide)};
            loc.count = 1;
            break;
        case RootKey::ClassesRoot:
            loc.kind = Location::Places;
            loc.merged = true;
            loc.places[0] = {&s.user_, JoinWide(kClassesPath, wide)};
            loc.places[1] = {&s.system_, JoinWide(kClassesPath, wide)};
            loc.count = 2;
            break;
        case RootKey::Users: {
            if (wide.empty()) {
                loc.kind = Location::UsersRoot;
                break;
            }
            size_t slash = wide.find(u'\\');
            std::u16string first = wide.substr(0, slash);
            std::u16string rest = slash == std::u16string::npos ? u"" : wide.substr(slash + 1);
            if (HiveNameEquals(first, u".Default")) {
                loc.kind = Location::Places;
                loc.places[0] = {&s.userdef_, rest};
                loc.count = 1;
            } else if (HiveNameEquals(first, ToWide(s.sid_))) {
                loc.kind = Location::Places;
                loc.places[0] = {&s.user_, rest};
                loc.count = 1;
            }
            break;
        }
        case RootKey::PerformanceData:
        case RootKey::DynData:
            if (wide.empty()) loc.kind = Location::EmptyRoot;
            break;
    }
    return loc;
}

void RefreshLocation(RegistryStore& s, const Location& loc, bool forChange = false) {
    for (int i = 0; i < loc.count; ++i) s.Refresh(*loc.places[i].file, forChange);
}

// The keys of a location that exist, the user's first.
int ExistingKeys(const Location& loc, HiveKey* keys[2], HiveFile* files[2] = nullptr) {
    int n = 0;
    for (int i = 0; i < loc.count; ++i) {
        HiveKey* key = loc.places[i].file->hive.Find(loc.places[i].path);
        if (key) {
            if (files) files[n] = loc.places[i].file;
            keys[n++] = key;
        }
    }
    return n;
}

// Sorted union of two sorted name lists (the first list's spelling wins).
template <typename A, typename B>
std::vector<std::u16string> MergeNames(const A& a, const B& b) {
    std::vector<std::u16string> out;
    out.reserve(a.size() + b.size());
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (j >= b.size()) {
            out.push_back(a[i++]);
        } else if (i >= a.size()) {
            out.push_back(b[j++]);
        } else {
            int c = HiveNameCompare(a[i], b[j]);
            if (c <= 0) {
                out.push_back(a[i++]);
                if (c == 0) ++j;
            } else {
                out.push_back(b[j++]);
            }
        }
    }
    return out;
}

std::vector<std::u16string> SubkeyNames(const HiveKey& key) {
    std::vector<std::u16string> names;
    names.reserve(key.Subkeys().size());
    for (const auto& sub : key.Subkeys()) names.push_back(sub->name);
    return names;
}
std::vector<std::u16string> ValueNames(const HiveKey& key) {
    std::vector<std::u16string> names;
    names.reserve(key.Values().size());
    for (const auto& v : key.Values()) names.push_back(v.name);
    return names;
}

// The merged subkey (or value) names of a two-place key, cached.
const std::vector<std::u16string>& MergedNames(RegistryStore& s, const std::string& cacheKey,
                                               HiveKey* user, HiveKey* machine, bool values) {
    for (auto it = s.mergedCache_.begin(); it != s.mergedCache_.end(); ++it) {
        if (it->cacheKey == cacheKey && it->generation == s.generation_) {
            s.mergedCache_.splice(s.mergedCache_.begin(), s.mergedCache_, it);
            return s.mergedCache_.front().names;
        }
    }
    MergedList list;
    list.cacheKey = cacheKey;
    list.generation = s.generation_;
    if (values)
        list.names = MergeNames(ValueNames(*user), ValueNames(*machine));
    else
        list.names = MergeNames(SubkeyNames(*user), SubkeyNames(*machine));
    s.mergedCache_.push_front(std::move(list));
    if (s.mergedCache_.size() > 8) s.mergedCache_.pop_back();
    return s.mergedCache_.front().names;
}

// Data as the API gives it: string types in 1252 (one byte per UTF-16 unit,
// terminators included), everything else raw.
std::string ApiData(const HiveValue& value) {
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ)
        return ToNarrow(BytesToUtf16(value.data));
    return value.data;
}
size_t ApiDataSize(const HiveValue& value) {
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ)
        return value.data.size() / 2;
    return value.data.size();
}

// The result for a key that is not there: a predefined root (HKCR, HKCC)
// whose key is missing from the files is an empty key; any other key was
// deleted while open.
long MissingKey(const RegKey& key, long emptyRootResult) {
    return key.path.empty() ? emptyRootResult : ERROR_KEY_DELETED;
}

bool HasRight(const RegKey& key, uint32_t right) {
    return key.access == 0 || (key.access & right) != 0;
}

std::string DisplayName(const RegKey& key) {
    std::string name = RootKeyName(key.root);
    if (!key.path.empty()) name += "\\" + key.path;
    return name;
}

// Where a new key goes: for HKEY_CLASSES_ROOT, into the user's classes when
// its nearest existing parent is there only, else the machine's.
Place PlaceForNewKey(const Location& loc) {
    if (!loc.merged) return loc.places[0];
    // The machine's path is the user's below a longer head (Software\Classes
    // of the same file, or SOFTWARE's Classes).
    const std::u16string machineHead =
        loc.places[1].path.substr(0, loc.places[1].path.size() - loc.places[0].path.size());
    std::u16string probe = loc.places[0].path;
    while (true) {
        size_t slash = probe.rfind(u'\\');
        if (slash == std::u16string::npos) break;
        probe.resize(slash);
        std::u16string machinePath = machineHead + probe;
        bool inUser = loc.places[0].file->hive.Find(probe) != nullptr;
        bool inMachine = loc.places[1].file->hive.Find(machinePath) != nullptr;
        if (inUser || inMachine) return inUser && !inMachine ? loc.places[0] : loc.places[1];
    }
    return loc.places[1];
}

// How many keys a path names (empty parts name none).
size_t KeyDepth(std::u16string_view path) {
    size_t depth = 0;
    ForEachKeyName(path, [&depth](std::u16string_view) { return ++depth, true; });
    return depth;
}

// Adds the keys of path that are missing below the hive's root; the last
// existing key, which gains a subkey, is touched.
void AddKeyPath(HiveFile& file, const std::u16string& path, FileTime now) {
    HiveKey* key = &file.hive.root();
    bool touchedParent = false;
    ForEachKeyName(path, [&](std::u16string_view name) {
        HiveKey* sub = key->FindSubkey(name);
        if (!sub) {
            if (!touchedParent) key->Touch(now);
            touchedParent = true;
            sub = key->AddSubkey(name, now);
        }
        key = sub;
        return true;
    });
}

}  // namespace

// ---- Registry -------------------------------------------------------------------

namespace {
uint64_t NextRegistryId() {
    static std::atomic<uint64_t> next{1};
    return next++;
}
}  // namespace

Registry::Registry(const std::string& prefixPath)
    : store_(std::make_unique<RegistryStore>(prefixPath)), id_(NextRegistryId()) {}

Registry::Registry(const InstallationHives& hives)
    : store_(std::make_unique<RegistryStore>(hives)), id_(NextRegistryId()) {}

Registry::~Registry() = default;

RegKey Registry::Root(RootKey root) {
    RegKey key;
    key.root = root;
    key.access = KEY_ALL_ACCESS;
    key.open = true;
    return key;
}

long Registry::OpenKey(const RegKey& parent, std::string_view subKey, uint32_t access,
                       RegKey* result) const {
    if (!parent.open || result == nullptr) return ERROR_INVALID_HANDLE;
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    std::string path = JoinPath(parent.path, subKey);
    Location loc = Locate(s, parent.root, path);
    RefreshLocation(s, loc);
    HiveKey* keys[2];
    HiveFile* files[2];
    int n = 0;
    if (loc.kind == Location::Places) {
        n = ExistingKeys(loc, keys, files);
        if (n == 0) return ERROR_FILE_NOT_FOUND;
    } else if (loc.kind == Location::Nowhere) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (access & KEY_WRITE_BITS) {
        std::string why;
        if (loc.kind != Location::Places) {
            // The virtual roots can be listed, not changed; they open anyway
            // as Windows opens its predefined keys.
        } else if (s.HostReadOnly(*files[0], &why)) {
            s.SetMessage("Cannot open " + std::string(RootKeyName(parent.root)) + "\\" + path +
                         " for changes: " + why);
            return ERROR_ACCESS_DENIED;
        }
    }
    result->root = parent.root;
    result->path = path;
    result->access = access;
    result->open = true;
    return ERROR_SUCCESS;
}

long Registry::CreateKey(const RegKey& parent, std::string_view subKey, uint32_t access,
                         RegKey* result, bool* created) {
    if (created) *created = false;
    if (!parent.open || result == nullptr) return ERROR_INVALID_HANDLE;
    RegistryStore& s = *store_;
    std::scoped_lock lock(ProcessChangeMutex(), s.mutex_);
    s.SetMessage("");
    std::string path = JoinPath(parent.path, subKey);
    Location loc = Locate(s, parent.root, path);
    RefreshLocation(s, loc, true);
    auto opened = [&]() {
        result->root = parent.root;
        result->path = path;
        result->access = access;
        result->open = true;
        return ERROR_SUCCESS;
    };
    if (loc.kind == Location::UsersRoot || loc.kind == Location::EmptyRoot) return opened();
    if (loc.kind == Location::Nowhere) {
        s.SetMessage("Keys cannot be created directly under " +
                     std::string(RootKeyName(parent.root)) + ".");
        return ERROR_ACCESS_DENIED;
    }
    HiveKey* keys[2];
    HiveFile* files[2];
    if (ExistingKeys(loc, keys, files) > 0) {
        std::string why;
        if ((access & KEY_WRITE_BITS) && s.HostReadOnly(*files[0], &why)) {
            s.SetMessage("Cannot open " + std::string(RootKeyName(parent.root)) + "\\" + path +
                         " for changes: " + why);
            return ERROR_ACCESS_DENIED;
        }
        return opened();
    }
    if (!HasRight(parent, KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;

    Place place = PlaceForNewKey(loc);
    HiveFile& file = *place.file;
    if (KeyDepth(place.path) > kMaxHiveKeyDepth) {
        s.SetMessage("Cannot create " + std::string(RootKeyName(parent.root)) + "\\" + path +
                     ": keys nest at most " + std::to_string(kMaxHiveKeyDepth) + " levels deep.");
        return ERROR_BADKEY;
    }
    std::string refusal = s.WriteRefusal(file);
    if (!refusal.empty()) {
        s.SetMessage(refusal);
        return ERROR_ACCESS_DENIED;
    }
    AddKeyPath(file, place.path, FileTimeNow());
    if (long saved = s.CommitChange(file); saved != ERROR_SUCCESS) return saved;
    if (created) *created = true;
    return opened();
}

long Registry::QueryValue(const RegKey& key, std::string_view name, uint32_t* type,
                          std::string* data) const {
    if (!key.open) return ERROR_INVALID_HANDLE;
    if (!HasRight(key, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    Location loc = Locate(s, key.root, key.path);
    RefreshLocation(s, loc);
    if (loc.kind == Location::UsersRoot || loc.kind == Location::EmptyRoot)
        return ERROR_FILE_NOT_FOUND;
    HiveKey* keys[2];
    int n = loc.kind == Location::Places ? ExistingKeys(loc, keys) : 0;
    if (n == 0) return MissingKey(key, ERROR_FILE_NOT_FOUND);
    std::u16string wideName = ToWide(name);
    for (int i = 0; i < n; ++i) {
        if (const HiveValue* value = keys[i]->FindValue(wideName)) {
            if (type) *type = value->type;
            if (data) *data = ApiData(*value);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

long Registry::SetValue(const RegKey& key, std::string_view name, uint32_t type,
                        std::string_view data) {
    if (!key.open) return ERROR_INVALID_HANDLE;
    if (!HasRight(key, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    RegistryStore& s = *store_;
    std::scoped_lock lock(ProcessChangeMutex(), s.mutex_);
    s.SetMessage("");
    Location loc = Locate(s, key.root, key.path);
    RefreshLocation(s, loc, true);
    if (loc.kind != Location::Places) {
        s.SetMessage("Values cannot be stored in " + DisplayName(key) + ".");
        return ERROR_ACCESS_DENIED;
    }
    HiveKey* keys[2];
    HiveFile* files[2];
    if (ExistingKeys(loc, keys, files) == 0) return ERROR_KEY_DELETED;
    HiveFile& file = *files[0];
    HiveKey* target = keys[0];
    std::string refusal = s.WriteRefusal(file);
    if (!refusal.empty()) {
        s.SetMessage(refusal);
        return ERROR_ACCESS_DENIED;
    }
    std::string stored;
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        std::u16string text = ToWide(data);
        if (text.empty() || text.back() != 0) text.push_back(0);
        if (type == REG_MULTI_SZ && (text.size() < 2 || text[text.size() - 2] != 0))
            text.push_back(0);
        stored = Utf16ToBytes(text);
    } else {
        stored = std::string(data);
    }
    target->SetValue(ToWide(name), type, std::move(stored));
    target->Touch(FileTimeNow());
    return s.CommitChange(file);
}

long Registry::DeleteValue(const RegKey& key, std::string_view name) {
    if (!key.open) return ERROR_INVALID_HANDLE;
    if (!HasRight(key, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    RegistryStore& s = *store_;
    std::scoped_lock lock(ProcessChangeMutex(), s.mutex_);
    s.SetMessage("");
    Location loc = Locate(s, key.root, key.path);
    RefreshLocation(s, loc, true);
    if (loc.kind != Location::Places) return ERROR_FILE_NOT_FOUND;
    HiveKey* keys[2];
    HiveFile* files[2];
    int n = ExistingKeys(loc, keys, files);
    if (n == 0) return MissingKey(key, ERROR_FILE_NOT_FOUND);
    std::u16string wideName = ToWide(name);
    for (int i = 0; i < n; ++i) {
        if (!keys[i]->FindValue(wideName)) continue;
        HiveFile& file = *files[i];
        std::string refusal = s.WriteRefusal(file);
        if (!refusal.empty()) {
            s.SetMessage(refusal);
            return ERROR_ACCESS_DENIED;
        }
        keys[i]->DeleteValue(wideName);
        keys[i]->Touch(FileTimeNow());
        return s.CommitChange(file);
    }
    return ERROR_FILE_NOT_FOUND;
}

long Registry::EnumKey(const RegKey& key, uint32_t index, std::string* name) const {
    if (!key.open) return ERROR_INVALID_HANDLE;
    if (!HasRight(key, KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    Location loc = Locate(s, key.root, key.path);
    if (loc.kind == Location::UsersRoot) {
        const std::vector<std::u16string> names = ListedNames(s, loc);
        if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
        if (name) *name = ToNarrow(names[index]);
        return ERROR_SUCCESS;
    }
    if (loc.kind == Location::EmptyRoot) return ERROR_NO_MORE_ITEMS;
    RefreshLocation(s, loc);
    HiveKey* keys[2];
    int n = loc.kind == Location::Places ? ExistingKeys(loc, keys) : 0;
    if (n == 0) return MissingKey(key, ERROR_NO_MORE_ITEMS);
    if (n == 1) {
        if (index >= keys[0]->Subkeys().size()) return ERROR_NO_MORE_ITEMS;
        if (name) *name = ToNarrow(keys[0]->Subkeys()[index]->name);
        return ERROR_SUCCESS;
    }
    const auto& names = MergedNames(s, "K" + key.path, keys[0], keys[1], false);
    if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
    if (name) *name = ToNarrow(names[index]);
    return ERROR_SUCCESS;
}

long Registry::EnumValue(const RegKey& key, uint32_t index, std::string* name, uint32_t* type,
                         std::string* data) const {
    if (!key.open) return ERROR_INVALID_HANDLE;
    if (!HasRight(key, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    Location loc = Locate(s, key.root, key.path);
    if (loc.kind == Location::UsersRoot || loc.kind == Location::EmptyRoot)
        return ERROR_NO_MORE_ITEMS;
    RefreshLocation(s, loc);
    HiveKey* keys[2];
    int n = loc.kind == Location::Places ? ExistingKeys(loc, keys) : 0;
    if (n == 0) return MissingKey(key, ERROR_NO_MORE_ITEMS);
    const HiveValue* value = nullptr;
    if (n == 1) {
        if (index >= keys[0]->Values().size()) return ERROR_NO_MORE_ITEMS;
        value = &keys[0]->Values()[index];
    } else {
        const auto& names = MergedNames(s, "V" + key.path, keys[0], keys[1], true);
        if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
        value = keys[0]->FindValue(names[index]);
        if (!value) value = keys[1]->FindValue(names[index]);
    }
    if (name) *name = ToNarrow(value->name);
    if (type) *type = value->type;
    if (data) *data = ApiData(*value);
    return ERROR_SUCCESS;
}

long Registry::QueryInfoKey(const RegKey& key, RegKeyInfo* info) const {
    if (!key.open || info == nullptr) return ERROR_INVALID_HANDLE;
    if (!HasRight(key, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    *info = RegKeyInfo{};
    Location loc = Locate(s, key.root, key.path);
    if (loc.kind == Location::UsersRoot) {
        const std::vector<std::u16string> names = ListedNames(s, loc);
        info->subKeys = static_cast<uint32_t>(names.size());
        for (const auto& listed : names)
            info->maxSubKeyLen = std::max<uint32_t>(info->maxSubKeyLen, listed.size());
        return ERROR_SUCCESS;
    }
    if (loc.kind == Location::EmptyRoot) return ERROR_SUCCESS;
    RefreshLocation(s, loc);
    HiveKey* keys[2];
    int n = loc.kind == Location::Places ? ExistingKeys(loc, keys) : 0;
    if (n == 0) return MissingKey(key, ERROR_SUCCESS);
    auto addValue = [&](const HiveValue& v) {
        info->maxValueNameLen = std::max<uint32_t>(info->maxValueNameLen, v.name.size());
        info->maxValueLen = std::max<uint32_t>(info->maxValueLen, ApiDataSize(v));
    };
    info->lastWriteTime = keys[0]->modified;
    if (n == 1) {
        info->subKeys = static_cast<uint32_t>(keys[0]->Subkeys().size());
        info->values = static_cast<uint32_t>(keys[0]->Values().size());
        for (const auto& sub : keys[0]->Subkeys())
            info->maxSubKeyLen = std::max<uint32_t>(info->maxSubKeyLen, sub->name.size());
        for (const auto& v : keys[0]->Values()) addValue(v);
        return ERROR_SUCCESS;
    }
    const auto& subNames = MergedNames(s, "K" + key.path, keys[0], keys[1], false);
    info->subKeys = static_cast<uint32_t>(subNames.size());
    for (const auto& sub : subNames)
        info->maxSubKeyLen = std::max<uint32_t>(info->maxSubKeyLen, sub.size());
    const auto& valueNames = MergedNames(s, "V" + key.path, keys[0], keys[1], true);
    info->values = static_cast<uint32_t>(valueNames.size());
    for (const auto& vn : valueNames) {
        const HiveValue* v = keys[0]->FindValue(vn);
        if (!v) v = keys[1]->FindValue(vn);
        if (v) addValue(*v);
    }
    info->lastWriteTime = std::max(keys[0]->modified, keys[1]->modified);
    return ERROR_SUCCESS;
}

long Registry::DeleteKey(const RegKey& parent, std::string_view subKey) {
    if (!parent.open) return ERROR_INVALID_HANDLE;
    RegistryStore& s = *store_;
    std::scoped_lock lock(ProcessChangeMutex(), s.mutex_);
    s.SetMessage("");
    std::string path = JoinPath(parent.path, subKey);
    Location loc = Locate(s, parent.root, path);
    RefreshLocation(s, loc, true);
    if (loc.kind == Location::Nowhere) return ERROR_FILE_NOT_FOUND;
    std::string display = std::string(RootKeyName(parent.root)) + (path.empty() ? "" : "\\" + path);
    if (loc.kind != Location::Places) {
        s.SetMessage(display + " cannot be deleted.");
        return ERROR_ACCESS_DENIED;
    }
    HiveKey* keys[2];
    HiveFile* files[2];
    if (ExistingKeys(loc, keys, files) == 0) return ERROR_FILE_NOT_FOUND;
    HiveKey* key = keys[0];
    HiveFile& file = *files[0];
    if (path.empty() || key->parent == nullptr) {
        s.SetMessage(display + " is a root of the registry and cannot be deleted.");
        return ERROR_ACCESS_DENIED;
    }
    if (!key->Subkeys().empty()) {
        s.SetMessage(display + " has subkeys; delete them first.");
        return ERROR_ACCESS_DENIED;
    }
    std::string refusal = s.WriteRefusal(file);
    if (!refusal.empty()) {
        s.SetMessage(refusal);
        return ERROR_ACCESS_DENIED;
    }
    HiveKey* owner = key->parent;
    owner->DeleteSubkey(key->name);
    owner->Touch(FileTimeNow());
    return s.CommitChange(file);
}

std::string Registry::LastErrorMessage() const {
    return store_->Message();
}

std::vector<std::string> Registry::LoadProblems() const {
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    s.RefreshAll();
    std::vector<std::string> all;
    std::vector<HiveFile*> files = {&s.system_, &s.user_, &s.userdef_};
    if (s.offline_) {
        files.clear();
        for (HiveFile& file : s.regfFiles_) files.push_back(&file);
    }
    for (HiveFile* file : files) {
        std::vector<std::string> problems = s.Problems(*file);
        all.insert(all.end(), problems.begin(), problems.end());
    }
    return all;
}

bool Registry::WineServerRunning() const {
    return !store_->offline_ && IsWineServerRunning(store_->prefix_);
}

std::string Registry::UserSid() const {
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    if (!s.offline_) s.Refresh(s.user_);
    return s.sid_;
}

bool ReadRegistryString(const Registry& registry, RootKey root, std::string_view path,
                        std::string_view name, std::string* value) {
    RegKey key;
    if (registry.OpenKey(Registry::Root(root), path, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    uint32_t type = 0;
    std::string data;
    if (registry.QueryValue(key, name, &type, &data) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return false;
    while (!data.empty() && data.back() == '\0') data.pop_back();
    if (value) *value = data;
    return true;
}

}  // namespace tolvane
