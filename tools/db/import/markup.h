// The importer's main output: definitions markup that `tolvane-db pack`
// takes as it stands.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/db/import/model.h"

namespace tolvane::import {

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

}  // namespace tolvane::import
