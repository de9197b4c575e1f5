// MISP events to definitions: one definition per event, its registry and
// file-name attributes as entries.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

#include "tools/db/import/model.h"
#include "tools/db/import/source.h"

namespace tolvane::import {

// MISP event files (JSON); the folder of each file names the family.
void ImportMisp(const std::vector<std::filesystem::path>& files, const SourceInfo& info,
                Result* result);

// One MISP event file's text, `file` standing for its path (its folder
// names the family). A file each is read as ReadHostFile does (a regular
// file, at most kInputFileLimit bytes); one that cannot be is reported and
// skipped.
void ReadMispFile(std::string_view text, const std::filesystem::path& file, const SourceInfo& info,
                  Result* result);

}  // namespace tolvane::import
