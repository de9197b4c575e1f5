// The running programs of a Wine prefix: the Linux processes that belong to
// it, read from /proc.
#pragma once

#include <memory>
#include <string>

#include "machine/process_table.h"

namespace tolvane {

class FileSystem;

// The live table over /proc: every process whose environment holds
// WINEPREFIX=<prefix> (Wine's own helpers included), and Wine programs
// without WINEPREFIX when the prefix is their $HOME/.wine; modules from
// /proc/PID/maps mapped back to Windows paths; Terminate is kill(SIGKILL).
// procRoot is where the process folders are: "/proc", or for tests a folder
// laid out the same way (what a process that ends while it is read leaves,
// a file that opens but cannot be read, can be made there at will).
// Processes whose files cannot be read are left out.
std::unique_ptr<ProcessTable> MakeProcProcessTable(const std::string& prefixPath,
                                                   const FileSystem& files,
                                                   const std::string& procRoot = "/proc");

}  // namespace tolvane
