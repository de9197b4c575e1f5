// What every tolvane-db command shares: the exit codes, --help, the usage
// message; reading and writing host files (host_files.h).
#pragma once

#include <iostream>
#include <string>
#include <vector>

#include "tools/db/host_files.h"

namespace tolvane::db_tool {

inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;

inline bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

// The problem, then the command's help, on standard error; kUsage.
inline int Usage(const char* help, const std::string& problem) {
    std::cerr << "tolvane-db: " << problem << "\n\n" << help;
    return kUsage;
}

}  // namespace tolvane::db_tool
