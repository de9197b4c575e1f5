// Support for the fuzz targets that run against a machine: one temporary
// Wine prefix per fuzzing process, made inside a private folder so that a
// write that escapes the prefix is seen, and the checks every target runs
// after each input.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <system_error>

#include "testing/temp_prefix.h"

namespace tolvane::fuzzing {

// Every path below root (links are not followed), as host paths.
inline std::set<std::string> TreeOf(const std::string& root) {
    namespace fs = std::filesystem;
    std::set<std::string> paths;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, fs::directory_options::none, error), end;
         !error && it != end; it.increment(error)) {
        paths.insert(it->path().string());
    }
    return paths;
}

inline bool IsBelow(std::string_view path, std::string_view folder) {
    return path.size() > folder.size() && path.substr(0, folder.size()) == folder &&
           path[folder.size()] == '/';
}

// The prefix of this process. It lies alone in a private folder, so the
// private folder's listing tells whether anything was written beside it.
class FuzzPrefix {
  public:
    FuzzPrefix() : root_(MakeRoot()), prefix_(InRoot(root_)) {}
    ~FuzzPrefix() {
        std::error_code error;
        std::filesystem::remove_all(root_, error);
    }

    testing::TempPrefix& prefix() { return *prefix_; }
    const std::string& root() const { return root_; }

    // Aborts (a finding) when the private folder holds anything but the
    // prefix, or when a new path appeared in the prefix outside allowed.
    void CheckContained(const std::set<std::string>& before, const std::string& allowed) const {
        namespace fs = std::filesystem;
        for (const auto& entry : fs::directory_iterator(root_)) {
            if (entry.path().string() != prefix_->path()) std::abort();
        }
        for (const std::string& path : TreeOf(prefix_->path())) {
            if (!before.count(path) && !IsBelow(path, allowed) && path != allowed) std::abort();
        }
    }

  private:
    static std::string MakeRoot() {
        std::string pattern = "/tmp/tolvane-fuzz-XXXXXX";
        if (!mkdtemp(pattern.data())) std::abort();
        return pattern;
    }
    static std::unique_ptr<testing::TempPrefix> InRoot(const std::string& root) {
        const char* old = std::getenv("TMPDIR");
        std::string saved = old ? old : "";
        setenv("TMPDIR", root.c_str(), 1);
        auto prefix = std::make_unique<testing::TempPrefix>();
        if (old) {
            setenv("TMPDIR", saved.c_str(), 1);
        } else {
            unsetenv("TMPDIR");
        }
        return prefix;
    }

    std::string root_;
    std::unique_ptr<testing::TempPrefix> prefix_;
};

// One per process; removed at exit.
inline FuzzPrefix& Prefix() {
    static FuzzPrefix* prefix = [] {
        auto* made = new FuzzPrefix();
        std::atexit([] { delete &Prefix(); });
        return made;
    }();
    return *prefix;
}

}  // namespace tolvane::fuzzing
