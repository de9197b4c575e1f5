#include "machine/wine/runner_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "base/text.h"
#include "host/held_path.h"
#include "host/host_files.h"
#include "host/host_paths.h"
#include "host/sha256.h"

namespace tolvane {
namespace {

// Small settings files of the runners (config_info, version, Lutris' yml).
constexpr uint64_t kSettingsFileCap = 256 * 1024;
// A runner folder's depth and file count are bounded, so that a huge folder
// named as a runner cannot stall the scan.
constexpr int kMaxWalkDepth = 6;
constexpr size_t kMaxRunnerFiles = 200000;

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

std::string Parent(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether path is folder or lies below it (both canonical).
bool IsWithin(const std::string& path, const std::string& folder) {
    if (folder == "/") return true;
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            path[folder.size()] == '/');
}

std::vector<std::string> Lines(const std::string& path) {
    std::string content;
    std::vector<std::string> lines;
    if (ReadRegularFile(path, kSettingsFileCap, &content) != RegularFileState::Read) return lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        lines.emplace_back(Trim(std::string_view(content).substr(start, end - start), " \t\r"));
        start = end + 1;
    }
    return lines;
}

bool InGroupOf(gid_t group, uid_t user) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    if (found->pw_gid == group) return true;
    int count = 64;
    std::vector<gid_t> groups(count);
    if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(count);
        if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) return false;
    }
    groups.resize(count);
    return std::find(groups.begin(), groups.end(), group) != groups.end();
}

// Whether owner may change the entry: its own (root excepted: root may
// change everything, so for a prefix of root's only the write bits count),
// or writable by a group of owner's or by everyone.
bool WritableBy(const struct stat& st, uid_t owner) {
    if (owner != 0 && st.st_uid == owner) return true;
    // A sticky folder (/tmp) lets no one else replace an entry not their own;
    // the entry below it is checked in turn.
    if (S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) return false;
    if (st.st_mode & S_IWOTH) return true;
    return (st.st_mode & S_IWGRP) && st.st_gid != 0 && InGroupOf(st.st_gid, owner);
}

// Where the owner's own tools install runners, canonical.
std::vector<std::string> OwnerRunnerHomes(const RunnerSearch& search) {
    std::vector<std::string> homes;
    auto add = [&homes](const std::string& path) {
        if (auto canonical = CanonicalPath(path)) homes.push_back(*canonical);
    };
    if (!search.ownerHome.empty()) {
        const std::string& home = search.ownerHome;
        for (const char* folder :
             {"/.local/share/lutris/runners", "/.local/share/lutris/runtime",
              "/.local/share/Steam/compatibilitytools.d", "/.steam/root/compatibilitytools.d",
              "/.local/share/Steam/steamapps/common", "/.steam/steam/steamapps/common"})
            add(home + folder);
    }
    // The Steam library that holds a Proton prefix: LIB/steamapps/compatdata/N/pfx.
    std::string compat = Parent(Parent(search.prefix));
    if (BaseName(compat) == "compatdata") add(Parent(compat) + "/common");
    return homes;
}

}  // namespace

RunnerSearch RunnerSearchFor(const std::string& prefix) {
    RunnerSearch search;
    search.prefix = prefix;
    struct stat st {};
    if (stat(prefix.c_str(), &st) == 0) search.owner = st.st_uid;
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(search.owner, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir)
        search.ownerHome = found->pw_dir;
    if (const char* path = std::getenv("PATH")) search.path = path;
    return search;
}

bool TrustedRunnerFolder(const std::string& folder, const RunnerSearch& search) {
    std::optional<std::string> canonical = CanonicalPath(folder);
    if (!canonical || search.prefix.empty()) return false;
    if (IsWithin(*canonical, search.prefix) || IsWithin(search.prefix, *canonical)) return false;
    for (const std::string& home : OwnerRunnerHomes(search))
        if (IsWithin(*canonical, home) && *canonical != home) return true;
    // Canonical: no link on the way, so each step up is what the path passes.
    for (std::string step = *canonical;; step = Parent(step)) {
        struct stat st {};
        if (lstat(step.c_str(), &st) != 0 || WritableBy(st, search.owner)) return false;
        if (step == "/") return true;
    }
}

namespace {

// The folders of a runner installed at root (a prefix such as /usr, a
// Lutris runner folder, Proton's files/ or dist/) that hold its Windows side.
void AddRunnerRoot(const std::string& root, const RunnerSearch& search,
                   std::vector<std::string>* out) {
    for (const char* sub : {"/lib/wine", "/lib64/wine", "/lib32/wine", "/lib/x86_64-linux-gnu/wine",
                            "/lib/i386-linux-gnu/wine", "/share/wine/mono", "/share/wine/gecko"}) {
        std::string folder = root + sub;
        if (!IsHostFolder(folder) || !TrustedRunnerFolder(folder, search)) continue;
        std::string canonical = CanonicalPath(folder).value_or(folder);
        if (std::find(out->begin(), out->end(), canonical) == out->end()) out->push_back(canonical);
    }
}

// Proton installs: config_info names the install's files/ (or dist/) in
// each of its path lines; without it, a version file marks a Proton prefix,
// and every Proton in the owner's Steam folders is a candidate (a match
// still needs the same bytes).
void AddProtonRoots(const RunnerSearch& search, std::vector<std::string>* out) {
    std::string data = BaseName(search.prefix) == "pfx" ? Parent(search.prefix) : search.prefix;
    bool named = false;
    for (const std::string& line : Lines(data + "/config_info")) {
        if (line.empty() || line[0] != '/') continue;
        for (const char* marker : {"/files/", "/dist/"}) {
            size_t at = line.find(marker);
            if (at == std::string::npos) continue;
            AddRunnerRoot(line.substr(0, at + std::string_view(marker).size() - 1), search, out);
            named = true;
            break;
        }
    }
    if (named || !IsHostFile(data + "/version")) return;
    for (const std::string& home : OwnerRunnerHomes(search)) {
        DIR* dir = opendir(home.c_str());
        if (!dir) continue;
        while (dirent* entry = readdir(dir)) {
            std::string install = home + "/" + entry->d_name;
            if (entry->d_name[0] == '.' || !IsHostFile(install + "/proton")) continue;
            AddRunnerRoot(install + "/files", search, out);
            AddRunnerRoot(install + "/dist", search, out);
        }
        closedir(dir);
    }
}

// The value of "key: value" in a yml line, unquoted; "" for another line.
std::string YamlValue(const std::string& line, std::string_view key) {
    if (line.compare(0, key.size(), key) != 0 || line.size() <= key.size() ||
        line[key.size()] != ':')
        return "";
    return std::string(Trim(std::string_view(line).substr(key.size() + 1), " \t\"'"));
}

// Lutris: the game whose yml names this prefix runs wine: version: V from
// ~/.local/share/lutris/runners/wine/V, with Lutris' DXVK and vkd3d.
void AddLutrisRoots(const RunnerSearch& search, std::vector<std::string>* out) {
    std::vector<std::string> folders = {Parent(search.prefix)};
    if (!search.ownerHome.empty()) folders.push_back(search.ownerHome + "/.config/lutris/games");
    for (const std::string& folder : folders) {
        DIR* dir = opendir(folder.c_str());
        if (!dir) continue;
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() < 5 || name.compare(name.size() - 4, 4, ".yml") != 0) continue;
            bool ours = false, inWine = false;
            std::string version;
            for (const std::string& line : Lines(folder + "/" + name)) {
                std::string prefix = YamlValue(line, "prefix");
                if (!prefix.empty()) ours = CanonicalPath(prefix).value_or("") == search.prefix;
                if (line == "wine:") inWine = true;
                if (inWine && version.empty()) version = YamlValue(line, "version");
            }
            if (!ours || version.empty() || version.find('/') != std::string::npos) continue;
            std::string lutris = search.ownerHome + "/.local/share/lutris";
            AddRunnerRoot(lutris + "/runners/wine/" + version, search, out);
            for (const char* runtime : {"/runtime/dxvk", "/runtime/vkd3d"})
                if (IsHostFolder(lutris + runtime) && TrustedRunnerFolder(lutris + runtime, search))
                    out->push_back(CanonicalPath(lutris + runtime).value_or(lutris + runtime));
        }
        closedir(dir);
    }
}

}  // namespace

std::vector<std::string> FindRunnerFolders(const RunnerSearch& search) {
    std::vector<std::string> folders;
    AddProtonRoots(search, &folders);
    AddLutrisRoots(search, &folders);
    size_t start = 0;
    while (start <= search.path.size()) {
        size_t end = search.path.find(':', start);
        if (end == std::string::npos) end = search.path.size();
        std::string bin = search.path.substr(start, end - start);
        if (!bin.empty() && bin[0] == '/' &&
            (IsHostFile(bin + "/wine") || IsHostFile(bin + "/wine64")))
            AddRunnerRoot(Parent(bin), search, &folders);
        start = end + 1;
    }
    return folders;
}

struct RunnerFiles::Index {
    struct Entry {
        std::string path;  // canonical host path of a runner file
        uint64_t size = 0;
        std::once_flag digestOnce;
        std::string digest;  // lower-case hex; "" when it could not be read
    };
    std::once_flag builtOnce;
    std::vector<std::unique_ptr<Entry>> entries;
    std::unordered_map<std::string, std::vector<Entry*>> byName;

    void Walk(int folderFd, const std::string& path, int depth);
};

void RunnerFiles::Index::Walk(int folderFd, const std::string& path, int depth) {
    DIR* dir = fdopendir(folderFd);
    if (!dir) {
        close(folderFd);
        return;
    }
    while (dirent* item = readdir(dir)) {
        std::string name = item->d_name;
        if (name == "." || name == ".." || entries.size() >= kMaxRunnerFiles) continue;
        struct stat st {};
        if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode) && depth < kMaxWalkDepth) {
            int sub =
                openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) Walk(sub, path + "/" + name, depth + 1);
        } else if (S_ISREG(st.st_mode)) {
            auto entry = std::make_unique<Entry>();
            entry->path = path + "/" + name;
            entry->size = static_cast<uint64_t>(st.st_size);
            byName[Lower(name)].push_back(entry.get());
            entries.push_back(std::move(entry));
        }
    }
    closedir(dir);
}

RunnerFiles::RunnerFiles(std::vector<std::string> folders)
    : folders_(std::move(folders)), index_(std::make_unique<Index>()) {}

RunnerFiles::~RunnerFiles() = default;

namespace {

// The SHA-256 of the runner file at path (canonical), reached from "/"
// without following any link, so a link put in a runner folder after the
// walk is refused rather than read.
std::string RunnerFileDigest(const std::string& path) {
    UniqueFd root(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid() || path.size() < 2) return "";
    UniqueFd file(OpenBeneath(root.get(), std::string_view(path).substr(1), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return "";
    Sha256 hash;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t got = read(file.get(), buffer.data(), buffer.size());
        if (got < 0) return "";
        if (got == 0) break;
        hash.Update(std::string_view(buffer.data(), static_cast<size_t>(got)));
    }
    return hash.FinishHex();
}

}  // namespace

bool RunnerFiles::Contains(std::string_view name, uint64_t size, std::string_view sha256Hex) const {
    Index& index = *index_;
    std::call_once(index.builtOnce, [this, &index] {
        for (const std::string& folder : folders_) {
            int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) index.Walk(fd, folder, 0);
        }
    });
    auto found = index.byName.find(Lower(name));
    if (found == index.byName.end()) return false;
    std::string wanted = Lower(sha256Hex);
    for (Index::Entry* entry : found->second) {
        if (entry->size != size) continue;
        std::call_once(entry->digestOnce,
                       [entry] { entry->digest = RunnerFileDigest(entry->path); });
        if (!entry->digest.empty() && entry->digest == wanted) return true;
    }
    return false;
}

}  // namespace tolvane
