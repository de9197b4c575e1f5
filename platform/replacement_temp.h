// The temporary file that stands beside a file while it is replaced (write,
// fsync, rename over the original).
//
// The temporary of FOLDER/NAME is FOLDER/.NAME.tolvane-XXXXXX. Its writer
// holds an exclusive flock on it from creation until it has been renamed over
// NAME (or removed), so a temporary nobody holds locked belongs to a writer
// that died on the way (killed, crashed, power lost). Each replacement of
// NAME first removes such leftovers of NAME: killed writes never pile up, and
// a temporary of a writer that is still at work is never touched.
// Host paths; Linux only.
#pragma once

#include <string>

namespace tolvane {

// Creates the temporary of hostTarget, locked. Returns its descriptor (with
// the path in *tempPath), or -1 with errno set.
int CreateReplacementTemp(const std::string& hostTarget, std::string* tempPath);

// Removes the temporaries of hostTarget that no live writer holds. Returns
// how many went.
int RemoveStaleReplacementTemps(const std::string& hostTarget);

}  // namespace tolvane
