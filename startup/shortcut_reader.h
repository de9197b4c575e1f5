// A Windows shortcut (.lnk) read with liblnk from bytes the caller took
// from the machine's files: the target's path (the local path, else the
// environment-variables location, else the relative path) and its
// arguments. liblnk is handed an anonymous in-memory copy of those bytes
// (memfd), never a path of the machine, so nothing on the machine's disk is
// opened or resolved by the library. Damaged or hostile bytes give a false
// return with a reason. Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace tolvane {

struct ShortcutTarget {
    std::string path;       // code page 1252
    std::string arguments;  // code page 1252
};

// Shortcut files larger than this are refused unread.
inline constexpr size_t kShortcutFileLimit = size_t{1} << 20;

bool ReadShortcut(std::string_view bytes, ShortcutTarget* target, std::string* error);

}  // namespace tolvane
