// tolvane-db import: public threat intelligence (Sigma rules, file-name
// indicator lists, MISP events) to definitions markup, with a report of
// what could not be converted. Exit codes as the other commands: 0 done,
// 1 failed (a file could not be written, markup over the size limit),
// 2 bad usage.
#pragma once

#include <string>
#include <vector>

namespace tolvane {

int ImportCommand(const std::vector<std::string>& args);

}  // namespace tolvane
