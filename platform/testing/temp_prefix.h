// Test support: a small but real Wine prefix made in a fresh temporary
// folder, shaped like one `wine wineboot -i` makes (drive_c with users/root,
// Program Files, windows/system32/drivers/etc/hosts; dosdevices/c: ->
// ../drive_c; system.reg, user.reg, userdef.reg with the shell folders,
// ProgramFilesDir, SystemRoot, HKCU\Environment TEMP/TMP). Removed by the
// destructor.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/machine.h"

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
    void MakeFolder(std::string_view windowsPath) const;
    // Opens the machine with a fixed, empty process table.
    std::unique_ptr<Machine> Open() const;

private:
    std::string path_;
};

}  // namespace tolvane::testing
