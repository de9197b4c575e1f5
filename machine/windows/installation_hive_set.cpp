#include "machine/windows/installation_hive_set.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <deque>

#include "base/codepage.h"
#include "host/held_path.h"
#include "machine/windows/regf_hive.h"

namespace tolvane {
namespace {

// Splits "first\rest" at its first backslash.
void SplitFirst(std::u16string_view path, std::u16string* first, std::u16string* rest) {
    size_t slash = path.find(u'\\');
    *first = std::u16string(path.substr(0, slash));
    *rest = slash == std::u16string::npos ? u"" : std::u16string(path.substr(slash + 1));
}

// Whether path is `head` or lies below it; *rest gets what follows.
bool Below(std::u16string_view path, std::u16string_view head, std::u16string* rest) {
    if (path.size() < head.size() || !HiveNameEquals(path.substr(0, head.size()), head))
        return false;
    if (path.size() == head.size()) {
        rest->clear();
        return true;
    }
    if (path[head.size()] != u'\\') return false;
    *rest = std::u16string(path.substr(head.size() + 1));
    return true;
}

// One regf hive of the installation.
class InstallationHiveFile final : public HiveFile {
  public:
    InstallationHiveFile(uint64_t* generation, int folderFd, const std::string& name,
                         std::string path, bool readOnly)
        : generation_(generation),
          watch_(path),
          regf_(folderFd, name, std::move(path)),
          readOnly_(readOnly) {}

    HiveKey* Find(std::u16string_view path) override { return tree_.Find(path); }
    HiveKey& Root() override { return tree_.root(); }
    void Refresh(bool forChange) override {
        if (watch_.Stale(forChange)) Load();
    }
    std::string HostRefusal() override { return ChangeRefusal(); }
    std::string ChangeRefusal() override {
        if (readOnly_)
            return "Tolvane reads the registry hive " + watch_.path() +
                   " but never changes it (only SOFTWARE, SYSTEM and the users' hives change).";
        return regf_.WriteRefusal();
    }
    bool Save(std::string* error) override {
        if (!regf_.Save(&tree_, error)) {
            Load();
            return false;
        }
        watch_.Saved();
        ++*generation_;
        return true;
    }
    std::vector<std::string> Problems() override { return problems_; }
    bool Unreadable() override { return regf_.Unreadable(); }
    std::string StaleReason() override {
        if (!regf_.Dirty()) return "";
        return "The registry hive " + watch_.path() +
               " is read as it stands: " + regf_.DirtyDetail() +
               ", so what Windows changed last may be missing from this scan.";
    }

  private:
    void Load() {
        watch_.Reading();
        problems_.clear();
        std::string problem;
        if (!regf_.Load(&tree_, &problem)) problems_.push_back(problem);
        ++*generation_;
    }

    uint64_t* generation_;
    HiveFileWatch watch_;
    RegfHiveFile regf_;
    bool readOnly_;  // a hive Tolvane reads but never changes (SAM, SECURITY, ...)
    HiveTree tree_;
    std::vector<std::string> problems_;
};

// One profile in HKEY_USERS.
struct UserHives {
    std::u16string sid;
    HiveFile* user = nullptr;
    HiveFile* classes = nullptr;
};

class InstallationHiveSet final : public HiveSet {
  public:
    explicit InstallationHiveSet(const InstallationHives& hives);

    HiveSpot Locate(RootKey root, std::u16string_view path) override;
    std::vector<HiveFile*> Files() override {
        std::vector<HiveFile*> files;
        for (auto& file : files_) files.push_back(&file);
        return files;
    }
    std::string UserSid() override { return sid_; }
    std::string Refusal() override { return ""; }
    uint64_t Generation() const override { return generation_; }
    std::vector<std::string> Unread() const override { return unread_; }

  private:
    HiveFile* Add(int rootFd, const HiveLocation& where);
    void AddUserPlace(HiveSpot* spot, const UserHives* user, std::u16string_view path);
    std::u16string ControlSetPath(std::u16string_view path) const;

    std::string root_;
    uint64_t generation_ = 0;
    std::deque<InstallationHiveFile> files_;
    std::vector<std::pair<std::u16string, HiveFile*>> machineKeys_;
    HiveFile* software_ = nullptr;
    HiveFile* system_ = nullptr;
    HiveFile* defaultUser_ = nullptr;
    std::vector<UserHives> users_;
    const UserHives* currentUser_ = nullptr;
    std::u16string controlSet_;
    std::string sid_;
    std::vector<std::string> unread_;  // InstallationHives::problems
};

void AddPlace(HiveSpot* spot, HiveFile* file, std::u16string path) {
    if (!file) return;
    spot->kind = HiveSpot::Places;
    spot->places[spot->count++] = {file, std::move(path)};
}

InstallationHiveSet::InstallationHiveSet(const InstallationHives& hives)
    : root_(hives.root), unread_(hives.problems) {
    UniqueFd root(open(hives.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (const auto& mounted : hives.machine)
        machineKeys_.emplace_back(Cp1252ToUtf16(mounted.keyName), Add(root.get(), mounted.hive));
    for (const auto& [name, file] : machineKeys_) {
        if (HiveNameEquals(name, u"SOFTWARE")) software_ = file;
        if (HiveNameEquals(name, u"SYSTEM")) system_ = file;
    }
    defaultUser_ = Add(root.get(), hives.defaultUser);
    for (const auto& profile : hives.profiles)
        users_.push_back({Cp1252ToUtf16(profile.sid), Add(root.get(), profile.user),
                          Add(root.get(), profile.classes)});
    char set[32];
    snprintf(set, sizeof set, "ControlSet%03u", hives.controlSet);
    controlSet_ = Cp1252ToUtf16(set);
    if (hives.currentUser >= 0) {
        currentUser_ = &users_[hives.currentUser];
        sid_ = hives.profiles[hives.currentUser].sid;
    }
}

// Adds a hive of the installation reached below root without links; a hive
// whose folder cannot be reached loads as damaged.
HiveFile* InstallationHiveSet::Add(int rootFd, const HiveLocation& where) {
    if (!where.present()) return nullptr;
    UniqueFd folder(rootFd >= 0 ? OpenBeneath(rootFd, where.folder, O_PATH | O_DIRECTORY) : -1);
    InstallationHiveFile& file =
        files_.emplace_back(&generation_, folder.get(), where.name,
                            root_ + "/" + where.folder + "/" + where.name, where.readOnly);
    file.Refresh(false);
    return &file;
}

// A user's key: Software\Classes comes from the user's UsrClass.dat.
void InstallationHiveSet::AddUserPlace(HiveSpot* spot, const UserHives* user,
                                       std::u16string_view path) {
    std::u16string rest;
    if (user && user->classes && Below(path, u"Software\\Classes", &rest))
        AddPlace(spot, user->classes, rest);
    else if (user)
        AddPlace(spot, user->user, std::u16string(path));
}

std::u16string InstallationHiveSet::ControlSetPath(std::u16string_view path) const {
    std::u16string rest;
    if (!Below(path, u"CurrentControlSet", &rest)) return std::u16string(path);
    return JoinHivePath(controlSet_, rest);
}

HiveSpot InstallationHiveSet::Locate(RootKey root, std::u16string_view wide) {
    HiveSpot spot;
    std::u16string first, rest;
    SplitFirst(wide, &first, &rest);
    switch (root) {
        case RootKey::LocalMachine:
            if (wide.empty()) {
                spot.kind = HiveSpot::ListedRoot;
                for (const auto& mounted : machineKeys_) spot.names.push_back(mounted.first);
            }
            for (const auto& [name, file] : machineKeys_)
                if (!wide.empty() && HiveNameEquals(name, first))
                    AddPlace(&spot, file, file == system_ ? ControlSetPath(rest) : rest);
            break;
        case RootKey::CurrentUser:
            AddUserPlace(&spot, currentUser_, wide);
            break;
        case RootKey::Users:
            if (wide.empty()) {
                spot.kind = HiveSpot::ListedRoot;
                if (defaultUser_) spot.names.push_back(u".DEFAULT");
                for (const UserHives& user : users_) {
                    spot.names.push_back(user.sid);
                    if (user.classes) spot.names.push_back(user.sid + u"_Classes");
                }
            } else if (HiveNameEquals(first, u".DEFAULT")) {
                AddPlace(&spot, defaultUser_, rest);
            }
            for (const UserHives& user : users_) {
                if (HiveNameEquals(first, user.sid)) AddUserPlace(&spot, &user, rest);
                if (HiveNameEquals(first, user.sid + u"_Classes"))
                    AddPlace(&spot, user.classes, rest);
            }
            break;
        case RootKey::ClassesRoot:
            if (currentUser_) AddPlace(&spot, currentUser_->classes, std::u16string(wide));
            AddPlace(&spot, software_, JoinHivePath(u"Classes", wide));
            spot.merged = spot.count == 2;
            break;
        case RootKey::CurrentConfig:
            AddPlace(&spot, system_,
                     JoinHivePath(JoinHivePath(controlSet_, u"Hardware Profiles\\Current"), wide));
            break;
        case RootKey::PerformanceData:
        case RootKey::DynData:
            if (wide.empty()) spot.kind = HiveSpot::EmptyRoot;
            break;
    }
    std::sort(spot.names.begin(), spot.names.end(),
              [](const auto& a, const auto& b) { return HiveNameCompare(a, b) < 0; });
    return spot;
}

}  // namespace

std::unique_ptr<HiveSet> MakeInstallationHiveSet(const InstallationHives& hives) {
    return std::make_unique<InstallationHiveSet>(hives);
}

}  // namespace tolvane
