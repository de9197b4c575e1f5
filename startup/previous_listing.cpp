#include "startup/previous_listing.h"

#include <nlohmann/json.hpp>
#include <set>

#include "host/host_files.h"

namespace tolvane {
namespace {

// Far above the file of a real machine's listing.
constexpr uint64_t kPreviousListingLimit = uint64_t{64} << 20;

enum class Stored { None, Read, Damaged };

Stored ReadKeys(const std::string& path, std::vector<std::string>* keys) {
    keys->clear();
    std::string text;
    if (ReadRegularFile(path, kPreviousListingLimit, &text) != RegularFileState::Read)
        return Stored::None;
    nlohmann::json stored = nlohmann::json::parse(text, nullptr, false);
    if (!stored.is_object() || !stored["entries"].is_array()) return Stored::Damaged;
    for (const nlohmann::json& key : stored["entries"])
        keys->push_back(key.is_string() ? key.get<std::string>() : "");
    return Stored::Read;
}

}  // namespace

std::string ListingKey(const StartupEntry& entry) {
    // Keys are kept as the machine's bytes made valid UTF-8 for JSON.
    std::string key = WineStockKey(entry);
    for (char& c : key)
        if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    return key;
}

bool ReadPreviousListing(const std::string& stateFolder, std::vector<std::string>* keys,
                         const std::string& fileName) {
    if (ReadKeys(stateFolder + "/" + fileName, keys) == Stored::Read) return true;
    keys->clear();
    return false;
}

PreviousListing CompareWithPreviousListing(const std::string& stateFolder, StartupListing& listing,
                                           const std::string& fileName) {
    PreviousListing result;
    const std::string path = stateFolder + "/" + fileName;
    std::vector<std::string> keys;
    Stored stored = ReadKeys(path, &keys);
    if (stored == Stored::Damaged)
        result.problem = path + " is damaged; this listing is taken as the first";
    result.first = stored != Stored::Read;
    const std::set<std::string> before(keys.begin(), keys.end());
    nlohmann::json entries = nlohmann::json::array();
    for (StartupEntry& entry : listing.entries) {
        std::string key = ListingKey(entry);
        entry.isNew = !result.first && !before.count(key);
        entries.push_back(key);
    }
    nlohmann::json kept = {{"entries", entries}};
    if (ReplaceOwnFile(path, kept.dump() + "\n") != OwnFileState::Usable && result.problem.empty())
        result.problem = "the listing could not be kept in " + path;
    return result;
}

}  // namespace tolvane
