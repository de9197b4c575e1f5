#include "tools/db/import/model.h"

namespace tolvane::import {

std::map<std::string, int> Report::ByReason() const {
    std::map<std::string, int> counts;
    for (const LeftOut& l : leftOut) ++counts[l.reason];
    return counts;
}

void AddEntry(Definition* definition, Entry entry) {
    if (definition->added.insert(entry).second) definition->entries.push_back(std::move(entry));
}

}  // namespace tolvane::import
