// The temporary file that stands beside a file while it is replaced (write,
// fsync, rename over the original).
//
// The temporary of FOLDER/NAME is FOLDER/.NAME.tolvane-tmp, one per file. Its
// writer holds an exclusive flock on it from opening it until it has been
// renamed over NAME (or removed); a second writer of the same file waits for
// the first. One that a killed writer left behind (killed, crashed, power
// lost) is taken over and emptied by the next write of the same file, so
// killed writes never pile up, and finding it costs no folder listing.
// Host paths; Linux only.
#pragma once

#include <string>

namespace tolvane {

// Opens the temporary of hostTarget, empty and locked. Returns its
// descriptor (with the path in *tempPath), or -1 with errno set.
int OpenReplacementTemp(const std::string& hostTarget, std::string* tempPath);

}  // namespace tolvane
