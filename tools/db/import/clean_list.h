// The clean list: entries a clean machine holds, left out of the
// definitions the sources make, each with the reason in the report.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/db/import/model.h"

namespace tolvane::import {

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

}  // namespace tolvane::import
