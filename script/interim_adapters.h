// Stand-ins for the process operations of the removal layer that the
// advanced scan uses (killing by name, the names of the running programs).
// They follow the same rules and give way to the removal layer's own
// process enumerator once it is available.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

class ProcessTable;

// Terminates every running process whose executable file name equals the
// file-name part of `path` (after its last backslash), without regard to
// case. True when a matching process was found (whether or not it ended).
bool KillProcessByNameInterim(ProcessTable& processes, std::string_view path);

// The name of each running process as the process list gives it: the path of
// its first module, or "-" when it has none. Empty when nothing can be listed.
std::vector<std::string> ProcessNamesInterim(ProcessTable& processes);

}  // namespace tolvane
