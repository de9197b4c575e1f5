// The regf hives of a Windows installation (installation_hives.h) as a hive
// set (hive_set.h): the roots as Windows shows them.
//
// HKEY_LOCAL_MACHINE lists its hives (SOFTWARE, SYSTEM, ...); SYSTEM's
// CurrentControlSet is the control set in use (not listed: the hive holds no
// such key, so a walk meets each key once). HKEY_USERS lists .DEFAULT and
// each profile's SID and <SID>_Classes; a profile's Software\Classes is its
// UsrClass.dat, as Windows links it. HKEY_CURRENT_USER is the current
// user's profile (empty when there is none), HKEY_CLASSES_ROOT its classes
// over SOFTWARE\Classes, HKEY_CURRENT_CONFIG SYSTEM's
// CurrentControlSet\Hardware Profiles\Current; the performance and dyn-data
// roots are empty. Listed roots enumerate in Wine's order of names.
//
// A hive that is damaged, dirty, read-only, on a read-only mount, or one
// Tolvane only reads (SAM, SECURITY, ...) refuses changes and says why and
// what to do (regf_hive.h). Hives are reached from the installation folder
// without following a link.
#pragma once

#include <memory>

#include "machine/hive_set.h"
#include "machine/windows/installation_hives.h"

namespace tolvane {

std::unique_ptr<HiveSet> MakeInstallationHiveSet(const InstallationHives& hives);

}  // namespace tolvane
