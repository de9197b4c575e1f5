// The Windows installation on a mounted disk as a machine that is not
// running: its registry is its regf hives (installation_hives.h), C: is the
// installation folder and there are no other drives unless given
// (MachineOptions::drives, e.g. D: = /mnt/data; changes never reach them),
// its process table is empty, and no Windows program of it is ever started
// (regsvr32 neither: removing a registration is left to removing its keys).
#pragma once

#include <memory>
#include <string>

#include "machine/machine.h"

namespace tolvane {

// True when folder holds Windows\System32\config\SOFTWARE and SYSTEM (names
// without regard to case). From config on, entries count whatever they are (a
// config that is a link or a pipe, a SOFTWARE that is a link): such a folder
// is listed as a Windows installation, and opening it says what was found
// and why it is not used.
bool IsWindowsInstallation(const std::string& folder);

// Opens the installation at path with options' current user and drives.
// nullptr and *error set when it is none, the user is unknown or a drive's
// folder is no folder.
std::unique_ptr<Machine> OpenWindowsInstallation(const std::string& path,
                                                 const MachineOptions& options, std::string* error);

// The registry of the installation at path alone, with user as the current
// user (as MachineOptions::user). nullptr and *error set when it is none or
// the user is unknown.
std::unique_ptr<Registry> OpenInstallationRegistry(const std::string& path, const std::string& user,
                                                   std::string* error);

}  // namespace tolvane
