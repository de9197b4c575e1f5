#include "startup/previous_listing.h"

#include <nlohmann/json.hpp>
#include <set>

#include "host/host_files.h"

namespace tolvane {
namespace {

// Far above the file of a real machine's listing.
constexpr uint64_t kPreviousListingLimit = uint64_t{64} << 20;

}  // namespace

PreviousListing CompareWithPreviousListing(const std::string& stateFolder,
                                           StartupListing& listing) {
    PreviousListing result;
    const std::string path = stateFolder + "/" + kPreviousListingFileName;
    std::string text;
    std::set<std::string> before;
    RegularFileState state = ReadRegularFile(path, kPreviousListingLimit, &text);
    if (state == RegularFileState::Read) {
        nlohmann::json stored = nlohmann::json::parse(text, nullptr, false);
        if (stored.is_object() && stored["entries"].is_array()) {
            result.first = false;
            for (const nlohmann::json& key : stored["entries"])
                if (key.is_string()) before.insert(key.get<std::string>());
        } else {
            result.problem = path + " is damaged; this listing is taken as the first";
        }
    }
    nlohmann::json entries = nlohmann::json::array();
    for (StartupEntry& entry : listing.entries) {
        // Keys are kept as the machine's bytes made valid UTF-8 for JSON.
        std::string key = WineStockKey(entry);
        for (char& c : key)
            if (static_cast<unsigned char>(c) >= 0x80) c = '?';
        entry.isNew = !result.first && !before.count(key);
        entries.push_back(key);
    }
    nlohmann::json stored = {{"entries", entries}};
    if (ReplaceOwnFile(path, stored.dump() + "\n") != OwnFileState::Usable &&
        result.problem.empty())
        result.problem = "the listing could not be kept in " + path;
    return result;
}

}  // namespace tolvane
