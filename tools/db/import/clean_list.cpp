#include "tools/db/import/clean_list.h"

#include <sstream>

#include "base/codepage.h"

namespace tolvane::import {

std::vector<CleanEntry> ReadCleanList(std::string_view text) {
    std::vector<CleanEntry> list;
    std::string reason = "found on a clean machine";
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        if (line[0] == '#') {
            size_t start = line.find_first_not_of("# \t");
            if (start != std::string::npos) reason = line.substr(start);
            continue;
        }
        list.push_back({line, reason});
    }
    return list;
}

void ApplyCleanList(const std::vector<CleanEntry>& clean, Result* result) {
    auto reasonFor = [&](const Entry& e) -> const std::string* {
        std::string_view name(e.text);
        if (e.kind == EntryKind::RegistryValue) name = name.substr(0, name.find(":@:"));
        for (const CleanEntry& c : clean)
            if (EqualsNoCase(c.text, e.text) || EqualsNoCase(c.text, name)) return &c.reason;
        return nullptr;
    };
    std::vector<Definition> kept;
    for (Definition& d : result->definitions) {
        std::vector<Entry> entries;
        for (Entry& e : d.entries) {
            if (const std::string* reason = reasonFor(e)) {
                result->report.leftOut.push_back(
                    {d.name, e.text, "on a clean machine: " + *reason});
                ++result->report.entriesOnCleanMachines;
            } else {
                entries.push_back(std::move(e));
            }
        }
        d.entries = std::move(entries);
        // A definition known by content as well keeps its hashes and rules.
        if (d.entries.empty() && d.hashes.empty() && d.rules.empty())
            --result->report.threatsConverted;
        else
            kept.push_back(std::move(d));
    }
    result->definitions = std::move(kept);
}

}  // namespace tolvane::import
