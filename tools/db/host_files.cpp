#include "tools/db/host_files.h"

#include <cerrno>
#include <cstring>

#include "host/host_files.h"

namespace tolvane {

bool ReadHostFileProblem(const std::string& path, uint64_t limit, std::string* content,
                         std::string* problem) {
    RegularFileState state = ReadRegularFile(path, limit, content);
    if (state == RegularFileState::Read) return true;
    *problem = state == RegularFileState::Failed ? std::string(std::strerror(errno))
                                                 : ReadRegularFileReason(state, limit);
    return false;
}

bool ReadHostFile(const std::string& path, uint64_t limit, std::string* content, std::string* why) {
    std::string problem;
    if (ReadHostFileProblem(path, limit, content, &problem)) return true;
    *why = "cannot read " + path + ": " + problem;
    return false;
}

bool WriteHostFileAtomic(const std::string& path, std::string_view content, std::string* why) {
    if (ReplaceHostFile(path, content)) return true;
    *why = "cannot write " + path + ": " + std::strerror(errno);
    return false;
}

}  // namespace tolvane
