// The previous start-up listing of a machine, kept on the host (never in
// the machine) in the machine's state folder (settings/state_folder.h) as a
// small JSON file: the entries of the last listing in listing order, so
// that the next one can mark what is new and a command acting on a row
// number can check that the number still names the entry the user saw.
// Errors are values; one listing at a time per machine (a second writer
// waits on the file's replacement lock).
#pragma once

#include <string>
#include <vector>

#include "startup/startup_entries.h"

namespace tolvane {

inline constexpr const char* kPreviousListingFileName = "startup-listing.json";
// The weekly report's own previous listing: a listing the user makes in
// between does not shorten the week.
inline constexpr const char* kWeeklyListingFileName = "startup-listing-weekly.json";

struct PreviousListing {
    bool first = true;    // no earlier listing of this machine: nothing is new
    std::string problem;  // why it could not be read or kept, "" when fine
};

// Marks the entries not in the previous listing as new, then keeps this
// listing as the previous one. stateFolder: the machine's state folder.
PreviousListing CompareWithPreviousListing(const std::string& stateFolder, StartupListing& listing,
                                           const std::string& fileName = kPreviousListingFileName);

// How a listing file names an entry (WineStockKey made valid UTF-8).
std::string ListingKey(const StartupEntry& entry);

// The keys of the last listing kept in stateFolder, in listing order; false
// when there is none or it is damaged (*keys empty).
bool ReadPreviousListing(const std::string& stateFolder, std::vector<std::string>* keys,
                         const std::string& fileName = kPreviousListingFileName);

// What the listing says when there was none before.
inline constexpr const char* kFirstListingNote = "first listing: nothing to compare";

}  // namespace tolvane
