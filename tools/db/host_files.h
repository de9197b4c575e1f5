// Files of the host that tolvane-db reads and writes (markup, databases,
// reports), as opposed to the files of a Windows machine.
#pragma once

#include <string>
#include <string_view>

namespace tolvane {

bool ReadHostFile(const std::string& path, std::string* content);

// Replaces the file through a temporary beside it (ReplaceHostFile, mode
// 0644): a reader never sees a half-written file. *why says what failed.
bool WriteHostFileAtomic(const std::string& path, std::string_view content, std::string* why);

}  // namespace tolvane
