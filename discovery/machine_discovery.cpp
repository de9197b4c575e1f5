#include "discovery/machine_discovery.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>

#include "host/host_files.h"
#include "host/host_paths.h"
#include "machine/windows/windows_installation.h"

namespace tolvane {
namespace {

// Configuration files larger than this are not ours to read.
constexpr std::streamsize kMaxConfigBytes = 4 << 20;

std::optional<std::string> ReadSmallFile(const std::string& path) {
    if (!IsHostFile(path)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(static_cast<size_t>(kMaxConfigBytes) + 1, '\0');
    in.read(text.data(), kMaxConfigBytes + 1);
    if (in.gcount() > kMaxConfigBytes) return std::nullopt;
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

// The names in a folder (no "." or ".."), sorted; empty when unreadable.
std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// "~/x" and "~" with the home folder.
std::string ExpandHome(const std::string& path, const std::string& home) {
    if (path == "~") return home;
    if (path.rfind("~/", 0) == 0) return home + path.substr(1);
    return path;
}

// Why a folder kept as a prefix is not a whole one ("" when it is).
std::string PrefixDamage(const std::string& folder) {
    if (!IsHostFolder(folder + "/drive_c") && !IsHostFolder(folder + "/dosdevices"))
        return "neither drive_c nor dosdevices";
    if (!IsHostFile(folder + "/system.reg")) return "no system.reg";
    return "";
}

bool LooksLikePrefix(const std::string& folder) {
    return IsHostFolder(folder + "/drive_c") || IsHostFolder(folder + "/dosdevices") ||
           IsHostFile(folder + "/system.reg");
}

bool IsLink(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string UserName(uid_t uid) {
    const passwd* user = getpwuid(uid);
    return user && user->pw_name ? user->pw_name : "uid " + std::to_string(uid);
}

class Finder {
  public:
    explicit Finder(const DiscoveryPlaces& places) : places_(places) {
        dataHome_ = places.xdgDataHome.empty() ? places.home + "/.local/share" : places.xdgDataHome;
        configHome_ =
            places.xdgConfigHome.empty() ? places.home + "/.config" : places.xdgConfigHome;
        struct stat home;
        if (!places.home.empty() && stat(places.home.c_str(), &home) == 0) homeOwner_ = home.st_uid;
    }

    std::vector<FoundMachine> Run() {
        if (!places_.winePrefix.empty())
            Add(places_.winePrefix, MachineKind::Wine, "$WINEPREFIX", true, /*throughHome=*/false);
        if (!places_.home.empty()) Add(places_.home + "/.wine", MachineKind::Wine, "~/.wine");
        AddChildren(dataHome_ + "/wineprefixes", MachineKind::Winetricks);
        FindProton();
        FindLutris();
        AddChildren(dataHome_ + "/bottles/bottles", MachineKind::Bottles);
        AddChildren(places_.home + "/.var/app/com.usebottles.bottles/data/bottles/bottles",
                    MachineKind::Bottles);
        AddChildren(places_.home + "/.PlayOnLinux/wineprefix", MachineKind::PlayOnLinux);
        FindHeroic();
        for (const std::string& folder : places_.windowsFolders)
            if (IsWindowsInstallation(folder))
                Add(folder, MachineKind::Windows, "mount point", /*checkPrefix=*/false,
                    /*throughHome=*/false);
        return std::move(found_);
    }

  private:
    void Add(const std::string& path, MachineKind kind, const std::string& foundIn,
             bool checkPrefix = true, bool throughHome = true) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            // A link into a folder this user may not enter: listed, not named.
            if (errno == EACCES && throughHome && IsLink(path) && seen_.insert(path).second)
                found_.push_back({path, kind, foundIn, "", "not readable", "not readable"});
            return;
        }
        const std::string canonical = CanonicalPath(path).value_or(path);
        if (!S_ISDIR(st.st_mode) || !seen_.insert(canonical).second) return;
        FoundMachine machine{path, kind, foundIn, "", "", ""};
        if (IsLink(path)) machine.linkTarget = canonical;
        if (throughHome && !MayBeOpened(st.st_uid)) {
            // Another's folder this user may not look into is not named.
            const bool readable = access(canonical.c_str(), R_OK | X_OK) == 0;
            machine.linkTarget = readable ? canonical : "not readable";
            machine.notOpened = readable ? "owned by " + UserName(st.st_uid) : "not readable";
        } else if (checkPrefix) {
            machine.damage = PrefixDamage(path);
        }
        found_.push_back(std::move(machine));
    }

    // The home's owner's machine; or the running user's own, unless that is
    // root, whose rights a link in another's home must not borrow.
    bool MayBeOpened(uid_t owner) const {
        if (homeOwner_ && owner == *homeOwner_) return true;
        return getuid() != 0 && owner == getuid();
    }

    // Every folder inside parent is a prefix of the tool that keeps them.
    void AddChildren(const std::string& parent, MachineKind kind) {
        for (const std::string& name : FolderNames(parent))
            if (name[0] != '.') Add(parent + "/" + name, kind, parent);
    }

    void FindProton();
    void FindLutris();
    void FindHeroic();
    void AddHeroicConfig(const std::string& file);

    const DiscoveryPlaces& places_;
    std::string dataHome_;
    std::string configHome_;
    std::optional<uid_t> homeOwner_;
    std::set<std::string> seen_;
    std::vector<FoundMachine> found_;
};

void Finder::FindProton() {
    const std::string& home = places_.home;
    const std::string roots[] = {
        dataHome_ + "/Steam",
        home + "/.steam/steam",
        home + "/.steam/root",
        home + "/.var/app/com.valvesoftware.Steam/.local/share/Steam",
        home + "/snap/steam/common/.local/share/Steam",
    };
    std::set<std::string> librariesSeen;
    for (const std::string& root : roots) {
        if (!IsHostFolder(root)) continue;
        // The installation is a library itself; the file lists the others.
        std::vector<std::pair<std::string, std::string>> libraries = {{root, root}};
        for (const char* at : {"/steamapps/libraryfolders.vdf", "/config/libraryfolders.vdf"}) {
            std::string file = root + at;
            if (std::optional<std::string> text = ReadSmallFile(file))
                for (const std::string& library : SteamLibraryFolders(*text))
                    libraries.emplace_back(library, file);
        }
        for (const auto& [library, source] : libraries) {
            if (!librariesSeen.insert(CanonicalPath(library).value_or(library)).second) continue;
            std::string compat = library + "/steamapps/compatdata";
            for (const std::string& app : FolderNames(compat))
                if (IsHostFolder(compat + "/" + app + "/pfx"))
                    Add(compat + "/" + app + "/pfx", MachineKind::Proton, source);
        }
    }
}

void Finder::FindLutris() {
    for (const std::string& folder : {configHome_ + "/lutris/games", dataHome_ + "/lutris/games"}) {
        for (const std::string& name : FolderNames(folder)) {
            if (name.size() < 5 || name.substr(name.size() - 4) != ".yml") continue;
            std::string file = folder + "/" + name;
            std::optional<std::string> text = ReadSmallFile(file);
            if (!text) continue;
            try {
                YAML::Node game = YAML::Load(*text)["game"];
                if (game.IsMap() && game["prefix"] && game["prefix"].IsScalar())
                    Add(ExpandHome(game["prefix"].as<std::string>(), places_.home),
                        MachineKind::Lutris, file);
            } catch (const YAML::Exception&) {
                // A malformed game file names no prefix.
            }
        }
    }
}

void Finder::AddHeroicConfig(const std::string& file) {
    std::optional<std::string> text = ReadSmallFile(file);
    if (!text) return;
    nlohmann::json document = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object()) return;
    // GamesConfig/<app>.json: {"<app>": {"winePrefix": ...}}; config.json:
    // {"defaultSettings": {"winePrefix": ...}}.
    for (const auto& [key, settings] : document.items()) {
        if (!settings.is_object()) continue;
        auto prefix = settings.find("winePrefix");
        if (prefix != settings.end() && prefix->is_string())
            Add(ExpandHome(prefix->get<std::string>(), places_.home), MachineKind::Heroic, file);
    }
}

void Finder::FindHeroic() {
    for (const std::string& config :
         {configHome_ + "/heroic",
          places_.home + "/.var/app/com.heroicgameslauncher.hgl/config/heroic"}) {
        for (const std::string& name : FolderNames(config + "/GamesConfig"))
            if (name.size() > 5 && name.substr(name.size() - 5) == ".json")
                AddHeroicConfig(config + "/GamesConfig/" + name);
        AddHeroicConfig(config + "/config.json");
    }
    // Heroic's default places: Prefixes/<game> and Prefixes/default/<game>.
    const std::string prefixes = places_.home + "/Games/Heroic/Prefixes";
    for (const std::string& parent : {prefixes, prefixes + "/default"})
        for (const std::string& name : FolderNames(parent))
            if (LooksLikePrefix(parent + "/" + name))
                Add(parent + "/" + name, MachineKind::Heroic, parent);
}

// Steam's KeyValues text: "key" "value" pairs and "key" { ... } blocks,
// strings quoted (with backslash escapes) or bare, // comments, and
// conditions such as [$WIN32] after an entry, which are skipped.
class VdfTokens {
  public:
    enum class Kind { String, Open, Close, End };
    explicit VdfTokens(const std::string& text) : text_(text) {}

    Kind Next(std::string* value) {
        for (;;) {
            while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])))
                ++pos_;
            if (pos_ >= text_.size()) return Kind::End;
            if (text_.compare(pos_, 2, "//") == 0) {
                pos_ = text_.find('\n', pos_);
                if (pos_ == std::string::npos) pos_ = text_.size();
                continue;
            }
            char c = text_[pos_];
            if (c == '{' || c == '}') {
                ++pos_;
                return c == '{' ? Kind::Open : Kind::Close;
            }
            value->clear();
            if (c == '"') return Quoted(value);
            while (pos_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[pos_])) &&
                   text_[pos_] != '"' && text_[pos_] != '{' && text_[pos_] != '}')
                *value += text_[pos_++];
            if (value->front() != '[') return Kind::String;
        }
    }

  private:
    Kind Quoted(std::string* value) {
        for (++pos_; pos_ < text_.size() && text_[pos_] != '"'; ++pos_) {
            char c = text_[pos_];
            if (c == '\\' && pos_ + 1 < text_.size()) {
                char next = text_[++pos_];
                c = next == 'n' ? '\n' : next == 't' ? '\t' : next;
            }
            *value += c;
        }
        if (pos_ >= text_.size()) return Kind::End;  // unterminated: the text ends here
        ++pos_;
        return Kind::String;
    }

    const std::string& text_;
    size_t pos_ = 0;
};

bool IsNumber(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::vector<std::string> SteamLibraryFolders(const std::string& vdfText) {
    constexpr size_t kMaxDepth = 64;
    std::vector<std::string> folders;
    std::vector<std::string> blocks;  // the keys of the open blocks
    VdfTokens tokens(vdfText);
    std::string key, value;
    for (;;) {
        VdfTokens::Kind kind = tokens.Next(&key);
        if (kind == VdfTokens::Kind::Close && !blocks.empty()) {
            blocks.pop_back();
            continue;
        }
        if (kind != VdfTokens::Kind::String) break;
        kind = tokens.Next(&value);
        if (kind == VdfTokens::Kind::Open) {
            if (blocks.size() >= kMaxDepth) break;
            blocks.push_back(key);
            continue;
        }
        if (kind != VdfTokens::Kind::String) break;
        bool inList = !blocks.empty() && strcasecmp(blocks[0].c_str(), "libraryfolders") == 0;
        // Current: libraryfolders { "1" { "path" "..." } }; old: { "1" "..." }.
        if (inList && blocks.size() == 2 && IsNumber(blocks[1]) && key == "path")
            folders.push_back(value);
        if (inList && blocks.size() == 1 && IsNumber(key)) folders.push_back(value);
    }
    return folders;
}

namespace {

// The NTFS file systems mounted now (where Windows installations live).
std::vector<std::string> NtfsMountPoints() {
    std::vector<std::string> points;
    std::optional<std::string> mounts = ReadSmallFile("/proc/self/mounts");
    if (!mounts) return points;
    std::istringstream lines(*mounts);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string device, point, type;
        fields >> device >> point >> type;
        if (type != "ntfs" && type != "ntfs3" && type != "fuseblk") continue;
        // Blanks and tabs in mount points are written as octal escapes.
        std::string decoded;
        for (size_t i = 0; i < point.size(); ++i) {
            if (point[i] == '\\' && i + 3 < point.size() &&
                std::isdigit(static_cast<unsigned char>(point[i + 1]))) {
                decoded +=
                    static_cast<char>(std::strtol(point.substr(i + 1, 3).c_str(), nullptr, 8));
                i += 3;
            } else {
                decoded += point[i];
            }
        }
        points.push_back(decoded);
    }
    return points;
}

}  // namespace

const char* MachineKindName(MachineKind kind) {
    switch (kind) {
        case MachineKind::Wine:
            return "wine";
        case MachineKind::Winetricks:
            return "winetricks";
        case MachineKind::Proton:
            return "proton";
        case MachineKind::Lutris:
            return "lutris";
        case MachineKind::Bottles:
            return "bottles";
        case MachineKind::PlayOnLinux:
            return "playonlinux";
        case MachineKind::Heroic:
            return "heroic";
        case MachineKind::Windows:
            return "windows";
    }
    return "wine";
}

DiscoveryPlaces DiscoveryPlaces::FromEnvironment() {
    DiscoveryPlaces places;
    auto env = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    };
    places.home = env("HOME");
    if (places.home.empty())
        if (const passwd* user = getpwuid(getuid()); user && user->pw_dir)
            places.home = user->pw_dir;
    places.winePrefix = env("WINEPREFIX");
    places.xdgDataHome = env("XDG_DATA_HOME");
    places.xdgConfigHome = env("XDG_CONFIG_HOME");
    places.windowsFolders = NtfsMountPoints();
    return places;
}

std::vector<FoundMachine> FindMachines(const DiscoveryPlaces& places) {
    return Finder(places).Run();
}

}  // namespace tolvane
