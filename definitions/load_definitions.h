// LoadDefinitions: database.db into a ThreatDatabase: read the container,
// turn lone line feeds into carriage return + line feed, parse, read the
// definitions. A failure before the read leaves the database as it was.
#pragma once

#include <string>
#include <string_view>

#include "definitions/container.h"
#include "definitions/placeholders.h"

namespace tolvane {

class FileSystem;
class ThreatDatabase;

// What a failed load stopped at.
struct LoadReport {
    LoadError error = LoadError::None;
    std::string parseError;  // the parser's message when error is LoadError::Parse
};

// From a file of the machine (a Windows path).
bool LoadDefinitions(const FileSystem& files, std::string_view path,
                     const PlaceholderFolders& folders, ThreatDatabase* database,
                     LoadReport* report = nullptr);
// From a container's bytes already in memory.
bool LoadDefinitionsFromContainer(std::string_view stored, const PlaceholderFolders& folders,
                                  ThreatDatabase* database, LoadReport* report = nullptr);
// From markup text (the line-end step included).
bool LoadDefinitionsFromText(std::string_view text, const PlaceholderFolders& folders,
                             ThreatDatabase* database, LoadReport* report = nullptr);

// Every line feed not preceded by a carriage return becomes "\r\n" (a text
// without such a line feed is handed back as it is, without a copy).
std::string NormalizeLineEnds(std::string text);

}  // namespace tolvane
