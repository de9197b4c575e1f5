// Files of the host that tolvane-db reads and writes (markup, databases,
// reports), as opposed to the files of a Windows machine.
#pragma once

#include <string>
#include <string_view>

namespace tolvane {

bool ReadHostFile(const std::string& path, std::string* content);

// Writes a temporary file beside the target, flushes it to disk, then
// renames it over the target: a reader never sees a half-written file.
bool WriteHostFileAtomic(const std::string& path, std::string_view content, std::string* why);

}  // namespace tolvane
