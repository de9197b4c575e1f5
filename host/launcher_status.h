// The status file through which the Windows launcher (Tolvane.exe) waits for
// the Linux program it started: Wine gives the launcher no process to wait
// on, so the program writes its process id into the file when it starts
// ("PID") and adds its exit status when it ends ("PID STATUS"); the launcher
// polls the file and ends with that status.
//
// The file is the one the launcher made (in the machine's temporary
// folder); it is opened without following a link and only when it is a
// regular file, and never created. Errors are values: a file that cannot be
// used leaves the program running as if none was given.
#pragma once

#include <string>

#include "host/held_path.h"

namespace tolvane {

class LauncherStatus {
  public:
    // Opens path and writes the process id; *error says why not.
    bool Begin(const std::string& path, std::string* error);
    // Writes "PID STATUS" (nothing when Begin failed) and closes the file.
    void End(int status);

  private:
    bool Write(const std::string& text);
    UniqueFd fd_;
};

}  // namespace tolvane
