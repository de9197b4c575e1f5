// Test support: a small but real Wine prefix made in a fresh temporary
// folder, shaped like one `wine wineboot -i` makes (drive_c with users/root,
// Program Files, windows/system32/drivers/etc/hosts; dosdevices/c: ->
// ../drive_c; system.reg, user.reg, userdef.reg with the shell folders,
// ProgramFilesDir, SystemRoot, HKCU\Environment TEMP/TMP, an empty Run and
// RunOnce key). The user is "root" with the SID S-1-5-21-0-0-0-1000, so the
// profile is C:\users\root; the start menu lies below
// AppData\Roaming\Microsoft\Windows as in Wine. Removed by the destructor. Failures to make
// it throw (test support only: gtest reports them).
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine.h"

namespace tolvane::testing {

class TempPrefix {
  public:
    TempPrefix();
    ~TempPrefix();
    TempPrefix(const TempPrefix&) = delete;
    TempPrefix& operator=(const TempPrefix&) = delete;

    const std::string& path() const { return path_; }
    // Host path of a path relative to the prefix, e.g. Host("drive_c/x.txt").
    std::string Host(std::string_view relative) const;
    // Writes a file (parents created) given a Windows path on C:.
    void WriteFile(std::string_view windowsPath, std::string_view content) const;
    // The bytes of a file given a Windows path on C: ("" when missing).
    std::string ReadFile(std::string_view windowsPath) const;
    void MakeFolder(std::string_view windowsPath) const;
    // Adds (or replaces) the drive dosdevices/<letter>: -> target, e.g.
    // AddDrive('z', "/") or AddDrive('d', Host("cdrom")). A fresh prefix has
    // only c: -> ../drive_c, so tests never walk the host unless they ask to.
    void AddDrive(char letter, const std::string& target) const;
    // Removes dosdevices/ altogether: the machine then has only C: = drive_c/.
    void RemoveDosDevices() const;
    // Opens the machine with a fixed, empty process table and a launcher that
    // records what it would start (Launches()) instead of starting Wine or a
    // desktop program; a test that wants a real start calls
    // machine->launcher().SetObserver(nullptr).
    std::unique_ptr<Machine> Open() const;
    // The argv of every launch by machines that Open() made, in order.
    std::vector<std::vector<std::string>> Launches() const;

  private:
    struct LaunchLog;
    std::string path_;
    std::shared_ptr<LaunchLog> launches_;
};

// Gives the owner write access to every folder below root (not following
// links), so that a tree a test or demo made read-only can be removed.
void MakeTreeWritable(const std::filesystem::path& root);

}  // namespace tolvane::testing
