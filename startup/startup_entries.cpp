#include "startup/startup_entries.h"

#include <algorithm>

#include "machine/machine.h"
#include "startup/command_line.h"
#include "startup/lister.h"
#include "startup/startup_switch.h"

namespace tolvane {

bool Lister::Exists(const std::string& path) const {
    auto [known, added] = existing.try_emplace(LowerAscii(path), false);
    if (!added) return known->second;
    uint32_t attributes = machine.files().GetFileAttributes(path);
    known->second =
        attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    return known->second;
}

void Lister::Add(StartupEntry entry) {
    if (!seen.insert(LowerAscii(entry.location + "\n" + entry.name + "\n" + entry.command)).second)
        return;
    if (entry.command.size() > kCommandLineLimit)
        Note(entry.location + ": the command of \"" + entry.name + "\" is " +
             std::to_string(entry.command.size()) +
             " characters long, more than Windows runs; its first 32,767 were read");
    if (entry.file.empty() && !entry.facts.missing) {
        ResolvedCommand resolved = ResolveCommand(
            entry.command, [this](std::string_view text) { return Expand(text); },
            [this](const std::string& path) { return Exists(path); }, systemRoot);
        entry.file = resolved.file;
        entry.scriptHost = resolved.scriptHost;
    }
    if (location) entry.kind = location->kind;
    // Only where log-on honours it: Wine starts the entry all the same.
    if (machine.HonoursStartupApproval() && ApprovedDisabled(machine, entry)) entry.enabled = false;
    ReadFileFacts(*this, entry);
    if (sources.wineStock.count(WineStockKey(entry))) entry.wines = true;
    out.entries.push_back(std::move(entry));
}

bool IsFlagged(const StartupEntry& entry) {
    if (entry.wines || entry.windows) return false;
    return entry.facts.missing || entry.facts.userWritable || entry.scriptHost ||
           !entry.facts.threat.empty() || entry.isNew || entry.facts.notSigned;
}

std::string WineStockKey(const StartupEntry& entry) {
    std::string command = entry.command.substr(0, 1024);
    return LowerAscii(entry.location + "\t" + entry.name + "\t" + command);
}

std::set<std::string> ParseWineStock(std::string_view text) {
    std::set<std::string> keys;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.front() != '#') keys.insert(LowerAscii(line));
        start = end + 1;
    }
    return keys;
}

StartupListing ListStartupEntries(Machine& machine, const StartupSources& sources) {
    StartupListing listing;
    Lister lister{machine, sources, sources.definitions, listing, {}, "", nullptr, {}, {}};
    lister.systemRoot = machine.shell().ExpandEnvironmentStrings("%SystemRoot%");
    if (lister.systemRoot.find('%') != std::string::npos) lister.systemRoot = "C:\\Windows";
    for (const StartupLocation& location : sources.table) {
        lister.location = &location;
        if (location.hive == LocationHive::File)
            ListFileLocation(lister, location);
        else
            ListRegistryLocation(lister, location);
    }
    return listing;
}

}  // namespace tolvane
