// A scheduled task's definition as Windows stores it in
// C:\Windows\System32\Tasks\** (Task Scheduler 2.0 XML, usually UTF-16 with
// a byte-order mark): its Exec actions, whether it is enabled, the kinds of
// its triggers. Reads text given to it, never a file; damaged or hostile
// text gives a false return with a reason. Thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

struct TaskAction {
    std::string command;    // Exec/Command
    std::string arguments;  // Exec/Arguments
};

struct TaskDefinition {
    std::vector<TaskAction> actions;    // the Exec actions (COM handlers are not run by a path)
    bool enabled = true;                // Settings/Enabled
    std::vector<std::string> triggers;  // element names: LogonTrigger, BootTrigger, ...
};

// Task files larger than this are refused unread.
inline constexpr size_t kTaskFileLimit = size_t{1} << 20;

bool ReadTaskDefinition(std::string_view bytes, TaskDefinition* task, std::string* error);

}  // namespace tolvane
