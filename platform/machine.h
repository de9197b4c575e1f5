// The Windows machine Tolvane protects: a Wine prefix folder with its
// registry, drives, shell folders, running programs and program launcher.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/launcher.h"
#include "platform/process_table.h"
#include "platform/registry.h"
#include "platform/shell_folders.h"

namespace tolvane {

class Machine {
  public:
    // Opens the prefix at prefixPath (must be a folder holding drive_c/ or
    // dosdevices/). nullptr and *error set when it is no prefix.
    static std::unique_ptr<Machine> Open(const std::string& prefixPath, std::string* error);
    // $WINEPREFIX, else ~/.wine.
    static std::string DefaultPrefixPath();

    const std::string& PrefixPath() const { return prefix_; }
    Registry& registry() { return *registry_; }
    const Registry& registry() const { return *registry_; }
    FileSystem& files() { return *files_; }
    const FileSystem& files() const { return *files_; }
    const ShellFolders& shell() const { return *shell_; }
    ProcessTable& processes() { return *processes_; }
    Launcher& launcher() { return *launcher_; }

    // The machine refuses every change (removal, restore) while the prefix's
    // wineserver runs: Wine then owns the registry and would overwrite the
    // hive files when it ends. The message that says so and how to stop the
    // server (see WineServerRefusal), or "" while changes may be made.
    std::string ChangesRefusal() const;
    // True while the prefix's wineserver holds its lock.
    bool WineServerRunning() const;

    // The hosts files: "hosts" and "hosts.new" in the Windows folder, then
    // "drivers\etc\hosts" and "drivers\etc\hosts.new" in the system folder,
    // as the shell folders name them, whether they exist or not.
    std::vector<std::string> HostsFilePaths() const;
    // Those of them that exist, in the same order.
    std::vector<std::string> HostsFiles() const;

    // Replaces the live process table (tests, machines without processes).
    void SetProcessTable(std::unique_ptr<ProcessTable> table);

    ~Machine();

  private:
    explicit Machine(std::string prefix);
    std::string prefix_;
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<FileSystem> files_;
    std::unique_ptr<ShellFolders> shell_;
    std::unique_ptr<ProcessTable> processes_;
    std::unique_ptr<Launcher> launcher_;
};

}  // namespace tolvane
