// The readers of the sources the definitions importer takes, and the
// writers of what it makes: definitions markup that `tolvane-db pack` takes
// as it stands, and the report (JSON and a short summary).
//
// Each reader appends to a Result: one definition per threat (a Sigma rule,
// a heading block of a file-name indicator list, a MISP event), every
// indicator it could not express exactly in the report with its place in
// the source. A file that cannot be read or parsed, a rule without a
// detection or with an unknown modifier is reported and skipped whole; no
// reader throws or leaves a definition half made.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "tools/db/import_model.h"

namespace tolvane::import {

// What a definition says of its source beyond the source's own texts.
struct SourceInfo {
    std::string url;      // the rule set: rule paths (Sigma, MISP) or "#L<line>" are appended
    std::string author;   // for sources that name none (a file-name indicator list)
    std::string license;  // the line the source's license asks every definition to carry
};

// Sigma rules (*.yml, *.yaml) below `folder`, in path order.
void ImportSigma(const std::filesystem::path& folder, const SourceInfo& info, Result* result);

// A list of "REGEX;SCORE[;FALSE-POSITIVE-REGEX]" lines under "# THREAT" headings.
void ImportFilenameIocs(const std::filesystem::path& file, const SourceInfo& info, Result* result);

// MISP event files (JSON); the folder of each file names the family.
void ImportMisp(const std::vector<std::filesystem::path>& files, const SourceInfo& info,
                Result* result);

// The definitions markup: the NA element with VERSION and DATE, the SW
// elements of `includedMarkup` (the SW elements of another definitions
// file, copied as written) and then one SW element per definition. Names
// that repeat get " (2)", " (3)" ...
std::string DefinitionsMarkup(const std::vector<Definition>& definitions,
                              std::string_view includedMarkup, std::string_view version,
                              std::string_view date, std::string_view headerComment);

// The VERSION and DATE of a definitions markup and the text of its SW
// elements; false when it has no NA element.
bool ReadIncludedMarkup(std::string_view markup, std::string* version, std::string* date,
                        std::string* definitions);

// Entries a clean machine holds, each with the reason it is known there. A
// line of the list is an entry as the markup writes it (placeholders kept);
// the last comment line ("# ...") before it gives the reason. Entries
// compare without regard to case; a registry value also by its name alone.
struct CleanEntry {
    std::string text;
    std::string reason;
};
std::vector<CleanEntry> ReadCleanList(std::string_view text);

// Leaves out every entry of the definitions that the list names, with its
// reason in the report; a definition left without entries is dropped.
void ApplyCleanList(const std::vector<CleanEntry>& clean, Result* result);

nlohmann::ordered_json ReportJson(const Report& report);
std::string ReportSummary(const Report& report);

}  // namespace tolvane::import
