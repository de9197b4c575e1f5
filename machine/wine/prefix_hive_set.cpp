#include "machine/wine/prefix_hive_set.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/codepage.h"
#include "host/held_path.h"
#include "host/replacement_temp.h"
#include "machine/wine/wine_hive.h"
#include "machine/wine/wineserver_lock.h"

namespace tolvane {
namespace {

constexpr const char* kDefaultSid = "S-1-5-21-0-0-0-1000";
constexpr const char16_t* kClassesPath = u"Software\\Classes";
constexpr const char16_t* kCurrentConfigPath =
    u"System\\CurrentControlSet\\Hardware Profiles\\Current";

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

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

class PrefixHiveSet;

// One registry file of the prefix.
class PrefixHiveFile final : public HiveFile {
  public:
    PrefixHiveFile(PrefixHiveSet* set, std::string path, std::string newHeader)
        : set_(set), watch_(std::move(path)), newHeader_(std::move(newHeader)) {}

    HiveKey* Find(std::u16string_view path) override { return hive_.Find(path); }
    HiveKey& Root() override { return hive_.root(); }
    void Refresh(bool forChange) override {
        if (watch_.Stale(forChange)) Load();
    }
    std::string HostRefusal() override;
    std::string ChangeRefusal() override;
    bool Save(std::string* error) override;
    std::vector<std::string> Problems() override;
    bool Unreadable() override { return unreadable_; }

    const WineHive& hive() const { return hive_; }

  private:
    void Load();
    bool Write(std::string* error);

    PrefixHiveSet* set_;
    HiveFileWatch watch_;
    std::string newHeader_;  // ";; All keys relative to" of a file made from nothing
    WineHive hive_;
    std::vector<std::string> problems_;  // of reading the file itself
    bool unreadable_ = false;
};

class PrefixHiveSet final : public HiveSet {
  public:
    explicit PrefixHiveSet(const std::string& prefix);

    HiveSpot Locate(RootKey root, std::u16string_view path) override;
    std::vector<HiveFile*> Files() override { return {&system_, &user_, &userdef_}; }
    std::string UserSid() override {
        user_.Refresh(false);
        return sid_;
    }
    std::string Refusal() override { return WineServerRefusal(prefix_); }
    uint64_t Generation() const override { return generation_; }

    // Called by a file whenever it was read or saved.
    void FileChanged(const PrefixHiveFile& file) {
        ++generation_;
        if (&file != &user_) return;
        const std::string& rel = user_.hive().relativeTo();
        size_t slash = rel.rfind('\\');
        if (slash != std::string::npos && slash + 1 < rel.size()) sid_ = rel.substr(slash + 1);
    }
    int folder() const { return folder_.get(); }
    const std::string& prefix() const { return prefix_; }

  private:
    static HiveSpot One(HiveFile* file, std::u16string path) {
        HiveSpot spot;
        spot.kind = HiveSpot::Places;
        spot.places[0] = {file, std::move(path)};
        spot.count = 1;
        return spot;
    }

    std::string prefix_;
    std::string base_;  // the prefix without trailing slashes
    UniqueFd folder_;
    std::string sid_ = kDefaultSid;
    uint64_t generation_ = 0;
    PrefixHiveFile system_, user_, userdef_;
};

PrefixHiveSet::PrefixHiveSet(const std::string& prefix)
    : prefix_(prefix),
      base_([&] {
          std::string base = prefix;
          while (base.size() > 1 && base.back() == '/') base.pop_back();
          return base;
      }()),
      // Saves rename within this folder as it was opened now: the prefix
      // renamed and a link put in its place later leads them nowhere else.
      folder_(open(base_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)),
      system_(this, base_ + "/system.reg", "REGISTRY\\Machine"),
      user_(this, base_ + "/user.reg", std::string("REGISTRY\\User\\") + kDefaultSid),
      userdef_(this, base_ + "/userdef.reg", "REGISTRY\\User\\.Default") {
    system_.Refresh(false);
    user_.Refresh(false);
    userdef_.Refresh(false);
}

HiveSpot PrefixHiveSet::Locate(RootKey root, std::u16string_view path) {
    std::u16string wide(path);
    switch (root) {
        case RootKey::LocalMachine:
            return One(&system_, wide);
        case RootKey::CurrentUser:
            return One(&user_, wide);
        case RootKey::CurrentConfig:
            return One(&system_, JoinHivePath(kCurrentConfigPath, wide));
        case RootKey::ClassesRoot: {
            HiveSpot spot;
            spot.kind = HiveSpot::Places;
            spot.merged = true;
            spot.places[0] = {&user_, JoinHivePath(kClassesPath, wide)};
            spot.places[1] = {&system_, JoinHivePath(kClassesPath, wide)};
            spot.count = 2;
            return spot;
        }
        case RootKey::Users: {
            if (wide.empty()) {
                HiveSpot spot;
                spot.kind = HiveSpot::ListedRoot;
                user_.Refresh(false);
                spot.names = {u".Default", Cp1252ToUtf16(sid_)};
                return spot;
            }
            size_t slash = wide.find(u'\\');
            std::u16string first = wide.substr(0, slash);
            std::u16string rest = slash == std::u16string::npos ? u"" : wide.substr(slash + 1);
            if (HiveNameEquals(first, u".Default")) return One(&userdef_, rest);
            if (HiveNameEquals(first, Cp1252ToUtf16(sid_))) return One(&user_, rest);
            return {};
        }
        case RootKey::PerformanceData:
        case RootKey::DynData: {
            HiveSpot spot;
            if (wide.empty()) spot.kind = HiveSpot::EmptyRoot;
            return spot;
        }
    }
    return {};
}

void PrefixHiveFile::Load() {
    watch_.Reading();
    problems_.clear();
    std::string text;
    struct stat st {};
    bool exists = stat(watch_.path().c_str(), &st) == 0;
    unreadable_ = false;
    if (exists && !ReadWholeFile(watch_.path(), &text)) {
        unreadable_ = errno == EACCES;
        problems_.push_back(watch_.path() + ":0: cannot be read: " + std::strerror(errno));
    }
    bool empty = text.empty();
    hive_.Parse(std::move(text), watch_.path());
    if (!exists || empty) hive_.SetNewFileHeader(newHeader_);
    set_->FileChanged(*this);
}

std::vector<std::string> PrefixHiveFile::Problems() {
    // A Wine file's problems are known once all of it is decoded, which this
    // asks for.
    std::vector<std::string> all = problems_;
    const std::vector<std::string>& read = hive_.Problems();
    all.insert(all.end(), read.begin(), read.end());
    return all;
}

// A file without any write bit, or a folder we cannot write, keeps the file
// as it is.
std::string PrefixHiveFile::HostRefusal() {
    const std::string& path = watch_.path();
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if ((st.st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0)
            return "The registry file " + path + " is read-only.";
    }
    std::string folder = path.substr(0, path.rfind('/'));
    if (access(folder.empty() ? "/" : folder.c_str(), W_OK) != 0)
        return "The prefix folder " + folder + " cannot be written.";
    return "";
}

std::string PrefixHiveFile::ChangeRefusal() {
    std::string serverRuns = WineServerRefusal(set_->prefix());
    if (!serverRuns.empty()) return serverRuns;
    // Asked at every change: the lists are copied only when not empty.
    if (!problems_.empty() || !hive_.Problems().empty()) {
        std::string message = "The registry file " + watch_.path() +
                              " is damaged and is kept unchanged so that nothing of it is lost:";
        for (const std::string& p : Problems()) message += "\n" + p;
        return message;
    }
    return HostRefusal();
}

bool PrefixHiveFile::Save(std::string* error) {
    if (Write(error)) {
        watch_.Saved();
        set_->FileChanged(*this);
        return true;
    }
    Load();
    return false;
}

bool PrefixHiveFile::Write(std::string* error) {
    const std::string& path = watch_.path();
    std::string text = hive_.Serialize();
    const std::string name = path.substr(path.rfind('/') + 1);
    UniqueFd folder(
        set_->folder() >= 0 ? openat(set_->folder(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1);
    std::string failed = "Cannot write a temporary file beside " + path;
    if (!folder.valid()) {
        *error = failed + ": " + std::strerror(errno);
        return false;
    }
    struct stat old {};
    bool plain =
        fstatat(folder.get(), name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode);
    bool replaced = ReplaceFileAt(
        folder.get(), name, plain ? old.st_mode & 0777 : 0644,
        [&](int fd) {
            failed = "Cannot write " + path;
            return WriteAll(fd, text);
        },
        [&] {
            failed = "Cannot replace " + path;
            return true;
        });
    if (!replaced) *error = failed + ": " + std::strerror(errno);
    return replaced;
}

}  // namespace

std::unique_ptr<HiveSet> MakePrefixHiveSet(const std::string& prefix) {
    return std::make_unique<PrefixHiveSet>(prefix);
}

}  // namespace tolvane
