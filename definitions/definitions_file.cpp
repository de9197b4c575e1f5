// The container and definitions loaders for files of the machine.
#include "definitions/container.h"
#include "definitions/load_definitions.h"
#include "machine/file_system.h"

namespace tolvane {

bool ReadContainer(const FileSystem& files, std::string_view path, std::string* text,
                   LoadError* error) {
    std::string stored;
    if (!files.ReadWholeFile(path, &stored)) {
        if (error) *error = LoadError::CannotRead;
        return false;
    }
    return DecodeContainer(stored, text, error);
}

bool LoadDefinitions(const FileSystem& files, std::string_view path,
                     const PlaceholderFolders& folders, ThreatDatabase* database,
                     LoadReport* report) {
    std::string stored;
    if (!files.ReadWholeFile(path, &stored)) {
        if (report) *report = LoadReport{LoadError::CannotRead, {}};
        return false;
    }
    return LoadDefinitionsFromContainer(stored, folders, database, report);
}

}  // namespace tolvane
