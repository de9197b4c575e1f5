#include "tools/db/host_files.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "host/host_files.h"

namespace tolvane {

bool ReadHostFile(const std::string& path, std::string* content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) return false;
    *content = buffer.str();
    return true;
}

bool WriteHostFileAtomic(const std::string& path, std::string_view content, std::string* why) {
    if (ReplaceHostFile(path, content)) return true;
    *why = "cannot write " + path + ": " + std::strerror(errno);
    return false;
}

}  // namespace tolvane
