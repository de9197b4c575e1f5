#include "tools/db/import/model.h"

#include <algorithm>

namespace tolvane::import {

std::map<std::string, int> Report::ByReason() const {
    std::map<std::string, int> counts;
    for (const LeftOut& l : leftOut) ++counts[l.reason];
    return counts;
}

void AddEntry(Definition* definition, Entry entry) {
    if (std::find(definition->entries.begin(), definition->entries.end(), entry) ==
        definition->entries.end())
        definition->entries.push_back(std::move(entry));
}

}  // namespace tolvane::import
