// The previous start-up listing of a machine, kept on the host (never in
// the machine) in the machine's state folder (settings/state_folder.h) as a
// small JSON file: the entries of the last listing, so that the next one
// can mark what is new. Errors are values; one listing at a time per
// machine (a second writer waits on the file's replacement lock).
#pragma once

#include <string>

#include "startup/startup_entries.h"

namespace tolvane {

inline constexpr const char* kPreviousListingFileName = "startup-listing.json";

struct PreviousListing {
    bool first = true;    // no earlier listing of this machine: nothing is new
    std::string problem;  // why it could not be read or kept, "" when fine
};

// Marks the entries not in the previous listing as new, then keeps this
// listing as the previous one. stateFolder: the machine's state folder.
PreviousListing CompareWithPreviousListing(const std::string& stateFolder, StartupListing& listing);

// What the listing says when there was none before.
inline constexpr const char* kFirstListingNote = "first listing: nothing to compare";

}  // namespace tolvane
