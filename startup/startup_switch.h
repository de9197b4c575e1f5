// Turning a start-up entry off and on where Windows itself has a way, so
// that Windows (and a later listing) reads the same state:
//
// - a Run value (HKLM or a user's ...\CurrentVersion\Run, its Wow6432Node
//   twin) and a Startup folder item: Explorer's StartupApproved value of the
//   entry's name (REG_BINARY, first byte odd = disabled). Disabling writes
//   03, three zeros and the time as a FILETIME, as Task Manager does;
//   enabling deletes the value, the state of an entry never switched.
// - a service or driver: Start = 4. The Start it had is kept on the host in
//   the machine's state folder, so that enabling puts that one back
//   (automatic, 2, when none was kept).
// - a scheduled task: Settings/Enabled in its XML, only that text changed
//   in the file's own encoding.
//
// Acts through the machine layer only: a refused write (a running
// wineserver, a hive that cannot be changed, a link leading off the drive)
// is an error value. Not thread-safe for one machine.
#pragma once

#include <string>
#include <string_view>

#include "machine/registry.h"
#include "startup/startup_entries.h"

namespace tolvane {

class Machine;

enum class SwitchWay { None, StartupApproved, ServiceStart, TaskEnabled };

// Why a Run entry or Startup folder item is not disabled on a machine whose
// log-on starts them whatever StartupApproved says (a Wine prefix).
inline constexpr const char* kApprovalIgnoredHere =
    "this machine starts Run entries and Startup folder items whatever Explorer's "
    "StartupApproved value says (Wine does), so it cannot be disabled here; remove it instead";

SwitchWay SwitchWayOf(const StartupEntry& entry);

// Where an entry's StartupApproved value lives.
struct ApprovedPlace {
    RootKey root = RootKey::LocalMachine;
    std::string key;  // below root
    std::string value;
};

// False when the entry has no StartupApproved value (not a Run value nor a
// Startup folder item).
bool ApprovedPlaceOf(const Machine& machine, const StartupEntry& entry, ApprovedPlace* place);

// Whether the entry's StartupApproved value says it is disabled.
bool ApprovedDisabled(const Machine& machine, const StartupEntry& entry);

// The service key of a service entry ("System\ControlSet001\Services\X",
// below HKLM); "" for another entry.
std::string ServiceKeyOf(const StartupEntry& entry);

// Switches the entry off (enabled false) or on. stateFolder: the machine's
// state folder on the host, where a service's former Start is kept ("":
// not kept). False with *error saying why nothing was changed.
bool SetStartupEntryEnabled(Machine& machine, const StartupEntry& entry, bool enabled,
                            const std::string& stateFolder, std::string* error);

// The task XML with Settings/Enabled set (added first in Settings when
// missing): only the flag's text changes, every other byte stays. Checked
// by reading the result back: false with *error for text that is no task,
// has no Settings, or whose actions would read differently.
bool SetTaskEnabledInXml(std::string_view bytes, bool enabled, std::string* out,
                         std::string* error);

// The host file of the services' former Start values in the state folder.
inline constexpr const char* kServiceStartsFileName = "startup-service-starts.json";

}  // namespace tolvane
