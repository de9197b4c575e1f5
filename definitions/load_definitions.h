// LoadDefinitions: database.db into a ThreatDatabase: read the container,
// turn lone line feeds into carriage return + line feed, parse, read the
// definitions. A failure before the read leaves the database as it was.
//
// Compiled content rules (the container's second member) are handed to
// libyara only with RulesSource::Vouched: the shipped database, one a signed
// update installed, or a file the user named. libyara trusts what it loads,
// so a machine's own unverified file never reaches it; its member is then
// ignored with a note. A damaged member leaves the rules empty with a note
// and the path definitions loaded.
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
    // Why the compiled content rules were not loaded; "" when they were or
    // the database carries none.
    std::string rulesNote = {};
};

enum class RulesSource { Unvouched, Vouched };

// From a file of the machine (a Windows path).
bool LoadDefinitions(const FileSystem& files, std::string_view path,
                     const PlaceholderFolders& folders, ThreatDatabase* database,
                     LoadReport* report = nullptr);
// From a container's bytes already in memory.
bool LoadDefinitionsFromContainer(std::string_view stored, const PlaceholderFolders& folders,
                                  ThreatDatabase* database, LoadReport* report = nullptr,
                                  RulesSource rulesSource = RulesSource::Unvouched);
// From markup text (the line-end step included).
bool LoadDefinitionsFromText(std::string_view text, const PlaceholderFolders& folders,
                             ThreatDatabase* database, LoadReport* report = nullptr);

// Every line feed not preceded by a carriage return becomes "\r\n" (a text
// without such a line feed is handed back as it is, without a copy).
std::string NormalizeLineEnds(std::string text);

}  // namespace tolvane
