// The Wine prefix as a machine: its registry is Wine's text hive files
// (system.reg, user.reg, userdef.reg), its drives are the links in
// dosdevices/, its running programs are the Linux processes that name the
// prefix (proc_process_table.h), and its programs are started with `wine`.
// While its wineserver runs, Wine owns the registry: every change is refused
// (wineserver_lock.h).
#pragma once

#include <memory>
#include <string>

#include "machine/machine.h"

namespace tolvane {

// A folder holding drive_c/ or dosdevices/.
bool IsWinePrefix(const std::string& folder);

// Opens the prefix at path, its folder taken by its canonical path (the
// programs of the prefix name it in any spelling). nullptr and *error set
// when path is no prefix.
std::unique_ptr<Machine> OpenWinePrefix(const std::string& path, std::string* error);
// The registry of the prefix alone (prefixPath: a folder holding its hive
// files, whether or not drive_c/ is beside them).
std::unique_ptr<Registry> OpenWinePrefixRegistry(const std::string& prefixPath);

}  // namespace tolvane
