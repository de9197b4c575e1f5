#include "machine/hive_set.h"

#include <sys/stat.h>

#include <mutex>
#include <unordered_map>

namespace tolvane {
namespace {

constexpr std::chrono::milliseconds kReadCheckInterval(50);

// Saves made by any Registry of this process, per file.
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

}  // namespace

bool HiveFileWatch::Identity::operator==(const Identity& o) const {
    return exists == o.exists && dev == o.dev && ino == o.ino && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
}

HiveFileWatch::Identity HiveFileWatch::IdentityOf(const std::string& path) {
    Identity id;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return id;
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    return id;
}

bool HiveFileWatch::Stale(bool forChange) {
    auto now = std::chrono::steady_clock::now();
    bool savedHere = SaveCount(path_) != savesSeen_;
    if (loaded_ && !forChange && !savedHere && now - lastCheck_ < kReadCheckInterval) return false;
    lastCheck_ = now;
    return !loaded_ || savedHere || !(IdentityOf(path_) == identity_);
}

void HiveFileWatch::Reading() {
    savesSeen_ = SaveCount(path_);
    identity_ = IdentityOf(path_);
    loaded_ = true;
}

void HiveFileWatch::Saved() {
    identity_ = IdentityOf(path_);
    savesSeen_ = CountSave(path_);
}

}  // namespace tolvane
