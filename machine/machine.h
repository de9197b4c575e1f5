// The Windows machine Tolvane protects, with its registry, drives, shell
// folders, running programs and program launcher. It is built from those
// parts by the back-end that recognises its folder (discovery/open_machine.h
// picks one): a Wine prefix (machine/wine/wine_prefix.h) or a Windows
// installation on a mounted disk (machine/windows/windows_installation.h).
// What differs between them the machine answers through its back-end
// (machine_back_end.h).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "machine/file_system.h"
#include "machine/launcher.h"
#include "machine/machine_back_end.h"
#include "machine/process_table.h"
#include "machine/registry.h"
#include "machine/shell_folders.h"

namespace tolvane {

// How a machine is opened when its folder does not say it all: a Windows
// installation has many users and only the drive C:. A Wine prefix knows
// both itself and takes none of this.
struct MachineOptions {
    // The current user: a profile's folder name or SID. Empty: the only
    // user, else the one who used the installation last.
    std::string user;
    // Drives besides C:, letter to host folder.
    std::map<char, std::string> drives;
};

// A user of the machine whose own keys and folders a scan checks. A Wine
// prefix has one, unnamed; a Windows installation has one per person's
// profile, the current user's first.
struct UserProfile {
    std::string name;  // the profile folder's name; "" for a machine of one user
    // "" for the current user (its keys are HKEY_CURRENT_USER); else the
    // user's SID (its keys are HKEY_USERS\SID).
    std::string sid;
    // The user's folders; null for the current user (the machine's own).
    std::unique_ptr<ShellFolders> shell;

    // Where a path of the user's own keys lies among the registry's roots.
    RootKey Root() const { return sid.empty() ? RootKey::CurrentUser : RootKey::Users; }
    std::string KeyPath(std::string_view path) const {
        return sid.empty() ? std::string(path) : sid + "\\" + std::string(path);
    }
};

class Machine {
  public:
    // What a back-end builds a machine from. The shell folders read the
    // registry and the launcher and process table use the files: those
    // references stay valid, as the machine keeps each part where it was made.
    struct Parts {
        std::string folder;  // the machine's host folder, canonical
        std::unique_ptr<Registry> registry;
        std::unique_ptr<FileSystem> files;
        std::unique_ptr<ShellFolders> shell;
        std::unique_ptr<ProcessTable> processes;
        std::unique_ptr<Launcher> launcher;
        std::unique_ptr<MachineBackEnd> backEnd;
        // The users (UserProfile); none: one unnamed current user.
        std::vector<UserProfile> profiles;
    };
    explicit Machine(Parts parts);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const std::string& PrefixPath() const { return prefix_; }
    Registry& registry() { return *registry_; }
    const Registry& registry() const { return *registry_; }
    FileSystem& files() { return *files_; }
    const FileSystem& files() const { return *files_; }
    const ShellFolders& shell() const { return *shell_; }
    ProcessTable& processes() { return *processes_; }
    Launcher& launcher() { return *launcher_; }
    // The users whose own keys and folders a scan checks, the current user
    // first (at least one).
    const std::vector<UserProfile>& Profiles() const { return profiles_; }
    // A profile's folders (the machine's own for the current user).
    const ShellFolders& ProfileShell(const UserProfile& profile) const {
        return profile.shell ? *profile.shell : *shell_;
    }

    // Why the machine refuses every change (removal, restore) now, with what
    // the user can do about it, or "" while changes may be made. (A Wine
    // prefix refuses while its wineserver runs: Wine then owns the registry
    // and would overwrite the hive files when it ends.)
    std::string ChangesRefusal() const { return backEnd_->ChangesRefusal(); }
    bool RefusesChanges() const { return !ChangesRefusal().empty(); }
    // False for a machine that runs no programs (a Windows installation on a
    // disk): its process table is empty and nothing of it is started.
    bool RunsPrograms() const { return backEnd_->RunsPrograms(); }
    // Waits until the programs the launcher started have ended, then until
    // the machine's own system has finished their work, at most for limit in
    // all.
    void WaitUntilIdle(std::chrono::milliseconds limit);
    // Which machine this is (e.g. "Windows installation at PATH, current
    // user NAME (SID)"), or "" when its folder says enough. Said in the
    // scan's output and the window's status line.
    std::string Description() const { return backEnd_->Description(); }

    // The hosts files: "hosts" and "hosts.new" in the Windows folder, then
    // "drivers\etc\hosts" and "drivers\etc\hosts.new" in the system folder,
    // as the shell folders name them, whether they exist or not.
    std::vector<std::string> HostsFilePaths() const;
    // Those of them that exist, in the same order.
    std::vector<std::string> HostsFiles() const;

    // Replaces the live process table (tests, machines without processes).
    void SetProcessTable(std::unique_ptr<ProcessTable> table);

    // Whether Tolvane's own settings, logs and databases live inside the
    // machine (a Wine prefix); a machine that is evidence (a Windows
    // installation) is written only by a removal or restore the user confirms.
    bool KeepsToolStateInside() const { return backEnd_->KeepsToolStateInside(); }
    // Whether StartupApproved switches the Run entries and Startup folder
    // items off (machine_back_end.h).
    bool HonoursStartupApproval() const { return backEnd_->HonoursStartupApproval(); }
    // Whether the file (base name, size, SHA-256 in hex) is one of the
    // machine's own platform, byte for byte (machine_back_end.h): the
    // content checks pass over it.
    bool IsPlatformFile(std::string_view name, uint64_t size, std::string_view sha256Hex) const {
        return backEnd_->IsPlatformFile(name, size, sha256Hex);
    }

  private:
    std::string prefix_;
    std::unique_ptr<Registry> registry_;
    std::unique_ptr<FileSystem> files_;
    std::unique_ptr<ShellFolders> shell_;
    std::unique_ptr<ProcessTable> processes_;
    std::unique_ptr<Launcher> launcher_;
    std::unique_ptr<MachineBackEnd> backEnd_;
    std::vector<UserProfile> profiles_;
};

}  // namespace tolvane
