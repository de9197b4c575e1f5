// Removing, disabling and enabling start-up entries (startup/), the one
// place both faces act on the entries a listing showed:
//
// - Removal goes through the removal flow with its backup (removal_flow.h,
//   backup_archive.h): the same refusal while the machine refuses changes,
//   the same backup question, confirmation and report, and an archive that
//   the ordinary restore brings back. An entry's objects: a Run-style value
//   (taken only while its data still holds the listed command, so a value
//   changed since the listing stays), a service's or driver's key, a task's
//   XML file and its TaskCache keys, a Startup folder item's file; with
//   withFile also the file the entry starts.
// - Disabling and enabling (startup_switch.h) first offer the same backup
//   of what they change (the StartupApproved value, the service's Start, the
//   task file), then ask to go ahead, then switch each entry.
//
// Runs on the user-interface thread (every question is modal); errors are
// values in the result, nothing throws.
#pragma once

#include <string>
#include <vector>

#include "scan/object_type.h"
#include "startup/startup_entries.h"

namespace tolvane {

class Machine;
class RemovalView;
class SettingsStore;

namespace startup_action_text {
inline constexpr const char* kConfirmDisableFormat =
    "%d start-up entries selected will be disabled. Continue?";
inline constexpr const char* kConfirmEnableFormat =
    "%d start-up entries selected will be enabled. Continue?";
inline constexpr const char* kDisabledFormat = "%d start-up entries disabled.";
inline constexpr const char* kEnabledFormat = "%d start-up entries enabled.";
inline constexpr const char* kNothingChangedWithoutBackup =
    "Nothing was changed: the backup you asked for was not made.";
}  // namespace startup_action_text

struct StartupObject {
    ObjectType type = ObjectType::File;
    std::string text;  // as removal and backup take it (object_remover.h)
    bool operator==(const StartupObject&) const = default;
};

// The objects removing the entry takes away; empty with *why when Tolvane
// cannot name them exactly.
std::vector<StartupObject> RemovalObjectsOf(const Machine& machine, const StartupEntry& entry,
                                            bool withFile, std::string* why);

// The objects whose state switching the entry on or off changes.
std::vector<StartupObject> SwitchObjectsOf(const Machine& machine, const StartupEntry& entry);

struct StartupActionOptions {
    bool withFile = false;               // removal: the entries' files too
    bool removeOnlyAfterBackup = false;  // a backup asked for and not made stops the run
    std::string stateFolder;             // the machine's state folder on the host ("" none)
};

struct StartupActionResult {
    bool ran = false;                   // the user went ahead and the machine was changed
    size_t changed = 0;                 // entries removed (all their objects gone) or switched
    std::vector<std::string> failures;  // one line per entry or object not done, and why
};

StartupActionResult RemoveStartupEntries(Machine& machine, SettingsStore& settings,
                                         RemovalView& view,
                                         const std::vector<StartupEntry>& entries,
                                         const StartupActionOptions& options);

// enabled false disables, true enables.
StartupActionResult SwitchStartupEntries(Machine& machine, RemovalView& view,
                                         const std::vector<StartupEntry>& entries, bool enabled,
                                         const StartupActionOptions& options);

}  // namespace tolvane
