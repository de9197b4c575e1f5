// The registry files of a Wine prefix as a hive set (hive_set.h).
//
// HKEY_LOCAL_MACHINE is system.reg, HKEY_CURRENT_USER is user.reg,
// HKEY_USERS lists ".Default" (userdef.reg) and the user's SID (user.reg),
// HKEY_CLASSES_ROOT is user.reg's Software\Classes over system.reg's,
// HKEY_CURRENT_CONFIG is system.reg's
// System\CurrentControlSet\Hardware Profiles\Current; the performance and
// dyn-data roots are empty. The user's SID is the one user.reg's header
// names ("S-1-5-21-0-0-0-1000" when it names none).
//
// A missing file is an empty hive, made on the first change. Changes are
// refused while the prefix's wineserver runs (it owns the files and would
// overwrite them), for a file with damaged lines (kept unchanged so nothing
// of it is lost) and for a file or folder the host keeps read-only. A file
// is saved through one atomic replace (replacement_temp.h) within the prefix
// folder as it was opened: a hive file that is a link is replaced, its
// target never written.
#pragma once

#include <memory>
#include <string>

#include "machine/hive_set.h"

namespace tolvane {

std::unique_ptr<HiveSet> MakePrefixHiveSet(const std::string& prefix);

}  // namespace tolvane
