#include "machine/wine/wine_prefix.h"

#include <cctype>
#include <mutex>

#include "host/host_files.h"
#include "host/host_paths.h"
#include "machine/wine/prefix_hive_set.h"
#include "machine/wine/proc_process_table.h"
#include "machine/wine/runner_files.h"
#include "machine/wine/wineserver_lock.h"

namespace tolvane {
namespace {

// Whether a program of the prefix is a part of Wine, told by its executable
// path: the loaders, the wineserver, and the regsvr32 Tolvane starts.
bool IsWineProgram(const std::string& exePath) {
    size_t slash = exePath.find_last_of("\\/");
    std::string name = exePath.substr(slash == std::string::npos ? 0 : slash + 1);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* wine : {"wine", "wine64", "wine-preloader", "wine64-preloader", "wineserver",
                             "wineserver64", "regsvr32.exe"}) {
        if (name == wine) return true;
    }
    return false;
}

class WinePrefix : public MachineBackEnd {
  public:
    explicit WinePrefix(std::string prefix) : prefix_(std::move(prefix)) {}

    std::string ChangesRefusal() const override { return WineServerRefusal(prefix_); }
    bool RunsPrograms() const override { return true; }
    // Its wineserver, or any Wine program of it, still runs.
    bool Busy(ProcessTable& processes) const override {
        if (IsWineServerRunning(prefix_)) return true;
        std::vector<ProcessSnapshot> listed;
        if (!processes.List(&listed)) return false;
        for (const ProcessSnapshot& process : listed)
            if (IsWineProgram(process.exePath)) return true;
        return false;
    }
    std::string Description() const override { return ""; }
    bool KeepsToolStateInside() const override { return true; }
    bool HonoursStartupApproval() const override { return false; }
    // Wine's own files: the same bytes as the runner's copy of that name
    // (runner_files.h); the runner is looked for on the first question.
    bool IsPlatformFile(std::string_view name, uint64_t size,
                        std::string_view sha256Hex) const override {
        std::call_once(runnerOnce_, [this] {
            runner_ = std::make_unique<RunnerFiles>(FindRunnerFolders(RunnerSearchFor(prefix_)));
        });
        return runner_->Contains(name, size, sha256Hex);
    }

  private:
    std::string prefix_;
    mutable std::once_flag runnerOnce_;
    mutable std::unique_ptr<RunnerFiles> runner_;
};

}  // namespace

std::unique_ptr<Registry> OpenWinePrefixRegistry(const std::string& prefixPath) {
    return std::make_unique<Registry>(MakePrefixHiveSet(prefixPath));
}

bool IsWinePrefix(const std::string& folder) {
    return IsHostFolder(folder) &&
           (IsHostFolder(folder + "/drive_c") || IsHostFolder(folder + "/dosdevices"));
}

std::unique_ptr<Machine> OpenWinePrefix(const std::string& path, std::string* error) {
    if (!IsWinePrefix(path)) {
        if (error) *error = path + " is not a Wine prefix (it has neither drive_c nor dosdevices).";
        return nullptr;
    }
    Machine::Parts parts;
    parts.folder = CanonicalPath(path).value_or(path);
    const std::string& prefix = parts.folder;
    parts.registry = OpenWinePrefixRegistry(prefix);
    parts.files = std::make_unique<FileSystem>(prefix);
    parts.shell = std::make_unique<ShellFolders>(*parts.registry);
    parts.processes = MakeProcProcessTable(prefix, *parts.files);
    parts.launcher = std::make_unique<Launcher>(prefix, *parts.files);
    parts.backEnd = std::make_unique<WinePrefix>(prefix);
    if (error) error->clear();
    return std::make_unique<Machine>(std::move(parts));
}

}  // namespace tolvane
