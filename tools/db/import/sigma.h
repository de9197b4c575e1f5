// Sigma rules to definitions: one definition per rule, with its title,
// authors, level, tactic and a link to the rule.
#pragma once

#include <filesystem>

#include "tools/db/import/model.h"
#include "tools/db/import/source.h"

namespace tolvane::import {

// Sigma rules (*.yml, *.yaml) below `folder`, in path order.
void ImportSigma(const std::filesystem::path& folder, const SourceInfo& info, Result* result);

}  // namespace tolvane::import
