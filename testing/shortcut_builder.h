// Test support: the bytes of a minimal valid Windows shortcut (.lnk, the
// MS-SHLLINK format): a header, a LinkInfo with a local base path, and the
// arguments as Unicode string data. Enough for a reader to find the target
// and its arguments; nothing else of a real shortcut is written.
#pragma once

#include <string>
#include <string_view>

namespace tolvane::testing {

// target: an ASCII Windows path ("C:\x\y.exe"); arguments may be empty.
std::string BuildShortcut(std::string_view target, std::string_view arguments);

}  // namespace tolvane::testing
