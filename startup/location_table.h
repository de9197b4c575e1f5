// The table of auto-start locations (data/startup-locations.json, made by
// tolvane-db startup-locations): what the start-up listing reads, parsed
// from its JSON text. Errors are values; thread-safe (no shared state).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

enum class LocationHive { Software, System, User, UserClasses, File };

// What the listing makes of a location's contents.
enum class LocationKind {
    Values,         // each value (or the named one) is a command, a DLL or a CLSID
    Service,        // each subkey is a service or driver
    Tasks,          // every file below the folder is a scheduled task's XML
    StartupFolder,  // every file of the folder starts (shortcuts read through)
    File,           // the file itself starts when it exists
};

struct StartupLocation {
    LocationHive hive = LocationHive::Software;
    std::string key;  // below the hive ('*' and 'ControlSet*' wildcards), or a file pattern
    bool allValues = true;
    std::string value;     // when !allValues; "" is the default value
    bool subkeys = false;  // the key's subkeys too
    LocationKind kind = LocationKind::Values;
    std::string what;
};

// False with *error saying what is wrong with the text.
bool ParseLocationTable(std::string_view json, std::vector<StartupLocation>* table,
                        std::string* error);

// The table's file name in the shipped data folder.
inline constexpr const char* kLocationTableFileName = "startup-locations.json";

}  // namespace tolvane
