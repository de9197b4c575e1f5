// The Windows machine Tolvane protects: a Wine prefix folder, or the folder
// of a Windows installation on a mounted disk, with its registry, drives,
// shell folders, running programs and program launcher.
//
// A Windows installation (a folder holding Windows\System32\config\SOFTWARE
// and SYSTEM, names without regard to case) is a machine that is not
// running: its registry is its regf hives (registry.h, installation_hives.h),
// C: is the installation folder and there are no other drives unless given
// (MachineOptions::drives, e.g. D: = /mnt/data; changes never reach them),
// its process table is empty, and no Windows program of it is ever started
// (regsvr32 neither: removing a registration is left to removing its keys).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "machine/file_system.h"
#include "machine/launcher.h"
#include "machine/process_table.h"
#include "machine/registry.h"
#include "machine/shell_folders.h"

namespace tolvane {

// How a Windows installation is opened (a Wine prefix takes none of this).
struct MachineOptions {
    // The current user: a profile's folder name or SID. Empty: the only
    // user, else the one who used the installation last.
    std::string user;
    // Drives besides C:, letter to host folder.
    std::map<char, std::string> drives;
};

class Machine {
  public:
    // Opens the prefix or Windows installation at prefixPath (a prefix holds
    // drive_c/ or dosdevices/). nullptr and *error set when it is neither.
    static std::unique_ptr<Machine> Open(const std::string& prefixPath, std::string* error);
    static std::unique_ptr<Machine> Open(const std::string& prefixPath,
                                         const MachineOptions& options, std::string* error);
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

    // Whether this is a Windows installation rather than a Wine prefix.
    bool IsWindowsInstallation() const { return installation_; }
    // Whether Tolvane's own settings, logs and databases live inside the
    // machine (a Wine prefix); a Windows installation is evidence, written
    // only by a removal or restore the user confirms.
    bool KeepsToolStateInside() const { return !installation_; }
    // For a Windows installation: "Windows installation at PATH, current user
    // NAME (SID)" (or saying it has no user); "" for a Wine prefix. Said in
    // the scan's output and the window's status line.
    const std::string& Description() const { return description_; }

    ~Machine();

  private:
    explicit Machine(std::string prefix);
    static std::unique_ptr<Machine> OpenInstallation(const std::string& path,
                                                     const MachineOptions& options,
                                                     std::string* error);
    void Connect();
    std::string prefix_;
    bool installation_ = false;
    std::string description_;
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<FileSystem> files_;
    std::unique_ptr<ShellFolders> shell_;
    std::unique_ptr<ProcessTable> processes_;
    std::unique_ptr<Launcher> launcher_;
};

}  // namespace tolvane
