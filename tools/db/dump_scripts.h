// tolvane-db dump --scripts: a script database as the advanced scan loads it.
#pragma once

#include <string>
#include <vector>

namespace tolvane {

// args: IN.db [--json] (without --scripts). Returns the tool's exit code:
// 0 done, 1 the file could not be loaded, 2 bad usage.
int DumpScripts(const std::vector<std::string>& args);

}  // namespace tolvane
