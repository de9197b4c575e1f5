// What every tolvane-db command shares: the exit codes, --help, the usage
// message and reading a host file whole.
#pragma once

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

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

inline bool ReadHostFile(const std::string& path, std::string* content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return false;
    *content = buffer.str();
    return true;
}

}  // namespace tolvane::db_tool
