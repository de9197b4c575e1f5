#include "startup/location_table.h"

#include <map>
#include <nlohmann/json.hpp>

namespace tolvane {
namespace {

bool ReadLocation(const nlohmann::json& entry, StartupLocation* location, std::string* error) {
    static const std::map<std::string, LocationHive> kHives = {
        {"SOFTWARE", LocationHive::Software},
        {"SYSTEM", LocationHive::System},
        {"USER", LocationHive::User},
        {"USER_CLASSES", LocationHive::UserClasses},
        {"FILE", LocationHive::File}};
    static const std::map<std::string, LocationKind> kKinds = {
        {"values", LocationKind::Values},
        {"service", LocationKind::Service},
        {"tasks", LocationKind::Tasks},
        {"startup-folder", LocationKind::StartupFolder},
        {"file", LocationKind::File}};
    if (!entry.is_object()) return *error = "a location is not an object", false;
    auto hive = kHives.find(entry.value("hive", ""));
    auto kind = kKinds.find(entry.value("kind", ""));
    if (hive == kHives.end() || kind == kKinds.end() || !entry["key"].is_string())
        return *error = "a location without a known hive, kind or key: " + entry.dump(), false;
    location->hive = hive->second;
    location->kind = kind->second;
    location->key = entry["key"].get<std::string>();
    location->allValues = !entry.contains("value");
    if (!location->allValues) location->value = entry.value("value", "");
    location->subkeys = entry.value("subkeys", false);
    location->what = entry.value("what", "");
    return true;
}

}  // namespace

bool ParseLocationTable(std::string_view json, std::vector<StartupLocation>* table,
                        std::string* error) {
    nlohmann::json root = nlohmann::json::parse(json, nullptr, false);
    if (root.is_discarded() || !root.is_object() || !root["locations"].is_array())
        return *error = "the table is not JSON with a list of locations", false;
    table->clear();
    try {
        for (const nlohmann::json& entry : root["locations"]) {
            StartupLocation location;
            if (!ReadLocation(entry, &location, error)) return false;
            table->push_back(std::move(location));
        }
    } catch (const nlohmann::json::exception& e) {
        *error = std::string("a location holds a field of the wrong type: ") + e.what();
        return false;
    }
    return true;
}

}  // namespace tolvane
