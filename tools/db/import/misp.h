// MISP events to definitions: one definition per event, its registry and
// file-name attributes as entries.
#pragma once

#include <filesystem>
#include <vector>

#include "tools/db/import/model.h"
#include "tools/db/import/source.h"

namespace tolvane::import {

// MISP event files (JSON); the folder of each file names the family.
void ImportMisp(const std::vector<std::filesystem::path>& files, const SourceInfo& info,
                Result* result);

}  // namespace tolvane::import
