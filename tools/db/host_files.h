// Files of the host that tolvane-db reads and writes (markup, databases,
// reports, sources, keys), as opposed to the files of a Windows machine.
// Every file read is a regular file no larger than a cap (ReadRegularFile):
// a pipe, a device or a folder named as input is refused with a message,
// never waited on or read without end.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

// Sources, markup and databases: far above any real one (a database holds
// at most 5 MiB of markup), far below what a run can hold in memory.
inline constexpr uint64_t kInputFileLimit = uint64_t{256} << 20;
// Keys and signature files: a few lines each.
inline constexpr uint64_t kSmallFileLimit = uint64_t{1} << 20;

// *why: "cannot read PATH: it is not a plain file" and the like.
bool ReadHostFile(const std::string& path, uint64_t limit, std::string* content, std::string* why);

// The same, *problem only what follows the colon: "it is not a plain file".
bool ReadHostFileProblem(const std::string& path, uint64_t limit, std::string* content,
                         std::string* problem);

// Replaces the file through a temporary beside it (ReplaceHostFile, mode
// 0644): a reader never sees a half-written file. *why says what failed.
bool WriteHostFileAtomic(const std::string& path, std::string_view content, std::string* why);

}  // namespace tolvane
