// tolvane --headless [--machine M] startup [--all] [--json]: the machine's
// start-up entries, numbered, with their flags; the entries new since the
// machine's last listing are marked. Exit status 0 when no entry shown is
// flagged, 1 when one is, 2 when the machine or the table cannot be read.
#include <iostream>
#include <nlohmann/json.hpp>

#include "app/startup_listing.h"
#include "app/views/startup_entries_window.h"
#include "base/codepage.h"
#include "definitions/load_definitions.h"
#include "definitions/placeholders.h"
#include "definitions/threat_database.h"
#include "discovery/open_machine.h"
#include "discovery/shipped_data.h"
#include "host/privileges.h"
#include "startup/startup_entries.h"
#include "ui/headless/headless.h"

namespace tolvane {
namespace {

nlohmann::json EntryJson(size_t number, const StartupEntry& entry) {
    return {{"number", number},
            {"location", Cp1252ToUtf8(entry.location)},
            {"name", Cp1252ToUtf8(entry.name)},
            {"command", Cp1252ToUtf8(entry.command)},
            {"file", Cp1252ToUtf8(entry.file)},
            {"exists", entry.exists},
            {"size", entry.size},
            {"sha256", entry.sha256},
            {"enabled", entry.enabled},
            {"missing", entry.missing},
            {"userWritable", entry.userWritable},
            {"scriptHost", entry.scriptHost},
            {"threat", Cp1252ToUtf8(entry.threat)},
            {"new", entry.isNew},
            {"wine", entry.wines},
            {"flagged", IsFlagged(entry)}};
}

void LoadMachineDefinitions(Machine& machine, ThreatDatabase* database) {
    PlaceholderFolders folders = PlaceholderFolders::FromShell(machine.shell());
    LoadDefinitions(machine.files(), ShippedDataFolder() + "/database.db", folders, database);
}

}  // namespace

int RunStartupCommand(const HeadlessOptions& options, std::ostream& out, std::ostream& err) {
    bool all = false;
    for (size_t i = 1; i < options.words.size(); ++i) {
        if (options.words[i] != "--all") {
            err << "tolvane: startup takes only --all (and the global --json)\n";
            return kExitScanError;
        }
        all = true;
    }
    Privileges privileges;
    std::unique_ptr<Machine> machine = OpenHeadlessMachine(options, err, &privileges);
    StartupSources sources;
    std::string error;
    if (!machine) return kExitScanError;
    if (!LoadStartupSources(ShippedDataFolder(), &sources, &error)) {
        err << "tolvane: " << error << "\n";
        return kExitScanError;
    }
    ThreatDatabase definitions;
    LoadMachineDefinitions(*machine, &definitions);
    sources.definitions = &definitions;
    StartupListing listing = ListMachineStartup(*machine, sources);
    nlohmann::json rows = nlohmann::json::array();
    bool flagged = false;
    size_t number = 0;
    for (const StartupEntry& entry : listing.entries) {
        ++number;
        if (entry.wines && !all) continue;
        flagged = flagged || IsFlagged(entry);
        if (options.json) {
            rows.push_back(EntryJson(number, entry));
            continue;
        }
        out << number << "\t" << StartupFlagsText(entry) << "\t" << Cp1252ToUtf8(entry.location)
            << "\t" << Cp1252ToUtf8(entry.name) << "\t"
            << Cp1252ToUtf8(entry.command.substr(0, 400)) << "\t" << Cp1252ToUtf8(entry.file)
            << "\n";
    }
    if (options.json) {
        nlohmann::json notes = nlohmann::json::array();
        for (const std::string& note : listing.notes) notes.push_back(Cp1252ToUtf8(note));
        out << nlohmann::json{{"entries", rows}, {"notes", notes}}.dump(1) << "\n";
    } else {
        for (const std::string& note : listing.notes) out << "Note: " << Cp1252ToUtf8(note) << "\n";
    }
    if (options.listedRows) *options.listedRows = flagged ? 1 : 0;
    return flagged ? kExitScanListed : kExitScanClean;
}

}  // namespace tolvane
