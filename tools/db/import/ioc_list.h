// File-name indicator lists to definitions: one definition per "# THREAT"
// heading, its danger from the highest score of its converted lines.
#pragma once

#include <filesystem>

#include "tools/db/import/model.h"
#include "tools/db/import/source.h"

namespace tolvane::import {

// A list of "REGEX;SCORE[;FALSE-POSITIVE-REGEX]" lines under "# THREAT" headings.
void ImportFilenameIocs(const std::filesystem::path& file, const SourceInfo& info, Result* result);

}  // namespace tolvane::import
