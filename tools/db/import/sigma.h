// Sigma rules to definitions: one definition per rule, with its title,
// authors, level, tactic and a link to the rule.
#pragma once

#include <filesystem>

#include "tools/db/import/clean_list.h"
#include "tools/db/import/model.h"
#include "tools/db/import/source.h"

namespace tolvane::import {

// Sigma rules (*.yml, *.yaml) below `folder`, in path order. A rule's
// several conditions on one object and its exclusions ("and not filter")
// become entries with conditions; a condition on the program that wrote the
// object (Image) is dropped, and the description says so, only where the
// entries name a full path or a name no stock file (`stock`) has.
void ImportSigma(const std::filesystem::path& folder, const SourceInfo& info, Result* result,
                 const CleanWindows* stock = nullptr);

}  // namespace tolvane::import
