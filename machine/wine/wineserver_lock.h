// Whether a Wine prefix's wineserver is running, told by the lock it holds.
//
// The server of a prefix lives in /tmp/<name>/server-<dev>-<inode>/, where
// <name> is the text of the prefix's "wineserver" file (or ".wine-<uid>" when
// that file is absent) and <dev>, <inode> are the prefix folder's in
// lower-case hex. The running server holds a write lock on "lock" there; the
// file stays after the server exits, so the lock is tested, not the file.
#pragma once

#include <string>
#include <vector>

namespace tolvane {

// The lock files a server of this prefix would use (those whose folder
// names can be formed; they need not exist).
std::vector<std::string> WineServerLockPaths(const std::string& prefixPath);
// True while some process holds a lock on one of those files.
bool IsWineServerRunning(const std::string& prefixPath);
// While the server runs, Wine owns the registry: every change would be
// refused, and the server would overwrite the hive files when it ends. Then
// "The wineserver of the prefix P is running and would overwrite registry
// changes. Stop it first with: WINEPREFIX=\"P\" wineserver -k", else "".
std::string WineServerRefusal(const std::string& prefixPath);

}  // namespace tolvane
