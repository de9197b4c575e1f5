// File-name indicator lists to definitions: one definition per "# THREAT"
// heading, its danger from the highest score of its converted lines.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "tools/db/import/model.h"
#include "tools/db/import/source.h"

namespace tolvane::import {

// A list of "REGEX;SCORE[;FALSE-POSITIVE-REGEX]" lines under "# THREAT" headings.
// The file is read as ReadHostFile does (a regular file, at most
// kInputFileLimit bytes); a file that cannot be is reported and skipped.
void ImportFilenameIocs(const std::filesystem::path& file, const SourceInfo& info, Result* result);

// The same for the text of such a list, `name` standing for its file name.
// Time and memory grow linearly with the text.
void ReadFilenameIocs(std::string_view text, const std::string& name, const SourceInfo& info,
                      Result* result);

}  // namespace tolvane::import
