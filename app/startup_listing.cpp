#include "app/startup_listing.h"

#include "host/host_files.h"
#include "machine/machine.h"
#include "settings/state_folder.h"
#include "startup/location_table.h"
#include "startup/previous_listing.h"

namespace tolvane {
namespace {

constexpr uint64_t kShippedFileLimit = uint64_t{16} << 20;

}  // namespace

bool LoadStartupSources(const std::string& shippedFolder, StartupSources* sources,
                        std::string* error) {
    std::string text, problem;
    if (ReadRegularFile(shippedFolder + "/" + kLocationTableFileName, kShippedFileLimit, &text) !=
        RegularFileState::Read) {
        *error = std::string("the table of start-up locations (") + kLocationTableFileName +
                 ") was not found beside the program";
        return false;
    }
    if (!ParseLocationTable(text, &sources->table, &problem)) {
        *error = std::string(kLocationTableFileName) + ": " + problem;
        return false;
    }
    if (ReadRegularFile(shippedFolder + "/" + kWineStockFileName, kShippedFileLimit, &text) ==
        RegularFileState::Read)
        sources->wineStock = ParseWineStock(text);
    return true;
}

StartupListing ListMachineStartup(Machine& machine, const StartupSources& sources, bool weekly) {
    StartupListing listing = ListStartupEntries(machine, sources);
    std::string error;
    const std::string state = InstallationStateFolder(machine.PrefixPath(), &error);
    PreviousListing previous;
    if (state.empty()) {
        previous.problem = "the listing is not kept for the next one: " + error;
    } else {
        previous = CompareWithPreviousListing(state, listing);
        if (weekly) {
            PreviousListing week =
                CompareWithPreviousListing(state, listing, kWeeklyListingFileName);
            previous.first = week.first;
            if (!week.problem.empty()) previous.problem = week.problem;
        }
    }
    if (previous.first) listing.notes.insert(listing.notes.begin(), kFirstListingNote);
    if (!previous.problem.empty()) listing.notes.push_back(previous.problem);
    return listing;
}

}  // namespace tolvane
