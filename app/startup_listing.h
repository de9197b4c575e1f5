// The start-up listing of a machine as every face makes it: the table of
// locations and Wine's stock entries from the shipped data folder, the
// listing itself (startup/startup_entries.h), and the entries new since the
// machine's previous listing, which is kept on the host in the machine's
// state folder (never in the machine).
//
// Errors are values. ListMachineStartup reads the machine and writes only
// the host state file; it may run on a worker thread while nothing else
// reads that machine or changes the definitions.
#pragma once

#include <string>

#include "startup/startup_entries.h"

namespace tolvane {

// The location table (required) and Wine's stock list (optional) of
// shippedFolder. False with *error saying what is missing or damaged.
bool LoadStartupSources(const std::string& shippedFolder, StartupSources* sources,
                        std::string* error);

// The listing, its entries not in the previous one marked new; its notes
// start with kFirstListingNote on a machine's first listing and end with why
// the listing is not kept, when it is not. Weekly: the entries are marked new
// against the last weekly listing (kept apart, so that listings made in
// between do not shorten the week), and this one is kept as the next week's.
StartupListing ListMachineStartup(Machine& machine, const StartupSources& sources,
                                  bool weekly = false);

}  // namespace tolvane
