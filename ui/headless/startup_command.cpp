// tolvane --headless [--machine M] startup [--all] [--json]: the machine's
// start-up entries, numbered, with their flags; the entries new since the
// machine's last listing are marked; a PE file's version names and signature
// follow its row on an indented line. Wine's and Windows' own entries are
// shown with --all only. Exit status 0 when no entry shown is
// flagged, 1 when one is, 2 when the machine or the table cannot be read.
#include <iostream>
#include <nlohmann/json.hpp>

#include "base/codepage.h"
#include "definitions/load_definitions.h"
#include "definitions/placeholders.h"
#include "definitions/threat_database.h"
#include "discovery/open_machine.h"
#include "discovery/shipped_data.h"
#include "host/host_files.h"
#include "host/privileges.h"
#include "settings/state_folder.h"
#include "startup/location_table.h"
#include "startup/previous_listing.h"
#include "startup/startup_entries.h"
#include "ui/headless/headless.h"

namespace tolvane {
namespace {

constexpr uint64_t kShippedFileLimit = uint64_t{16} << 20;

bool LoadSources(StartupSources* sources, std::ostream& err) {
    const std::string folder = ShippedDataFolder();
    std::string text, error;
    if (ReadRegularFile(folder + "/" + kLocationTableFileName, kShippedFileLimit, &text) !=
        RegularFileState::Read) {
        err << "tolvane: the table of start-up locations (" << kLocationTableFileName
            << ") was not found beside the program\n";
        return false;
    }
    if (!ParseLocationTable(text, &sources->table, &error)) {
        err << "tolvane: " << kLocationTableFileName << ": " << error << "\n";
        return false;
    }
    if (ReadRegularFile(folder + "/" + kWineStockFileName, kShippedFileLimit, &text) ==
        RegularFileState::Read)
        sources->wineStock = ParseWineStock(text);
    return true;
}

std::string Flags(const StartupEntry& entry) {
    std::string flags;
    auto add = [&](const std::string& flag) { flags += (flags.empty() ? "" : ",") + flag; };
    if (entry.missing) add("missing");
    if (entry.userWritable) add("user-writable");
    if (entry.scriptHost) add("script-host");
    if (entry.notSigned) add("not-signed");
    if (!entry.threat.empty()) add("threat:" + entry.threat);
    if (entry.isNew) add("new");
    if (!entry.enabled) add("disabled");
    if (entry.wines) add("wine");
    if (entry.windows) add("windows");
    return flags.empty() ? "-" : flags;
}

// A PE file's names and signature, on an indented line below its row.
std::string PeDetails(const StartupEntry& entry) {
    auto named = [](const std::string& text) { return text.empty() ? "-" : Cp1252ToUtf8(text); };
    return "\t" + named(entry.company) + "\t" + named(entry.product) + "\t" +
           named(entry.description) + "\t" +
           (entry.signature ? "signature present (not verified)" : "not signed") + "\n";
}

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
            {"windows", entry.windows},
            {"pe", entry.pe},
            {"company", Cp1252ToUtf8(entry.company)},
            {"product", Cp1252ToUtf8(entry.product)},
            {"description", Cp1252ToUtf8(entry.description)},
            {"signature", !entry.pe         ? ""
                          : entry.signature ? "present"
                                            : "absent"},
            {"notSigned", entry.notSigned},
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
    if (!machine || !LoadSources(&sources, err)) return kExitScanError;
    ThreatDatabase definitions;
    LoadMachineDefinitions(*machine, &definitions);
    sources.definitions = &definitions;
    sources.readWineFiles = all;
    StartupListing listing = ListStartupEntries(*machine, sources);
    std::string error;
    std::string state = InstallationStateFolder(machine->PrefixPath(), &error);
    PreviousListing previous;
    if (state.empty())
        previous.problem = "the listing is not kept for the next one: " + error;
    else
        previous = CompareWithPreviousListing(state, listing);
    if (previous.first) listing.notes.insert(listing.notes.begin(), kFirstListingNote);
    if (!previous.problem.empty()) listing.notes.push_back(previous.problem);
    nlohmann::json rows = nlohmann::json::array();
    bool flagged = false;
    size_t number = 0;
    for (const StartupEntry& entry : listing.entries) {
        ++number;
        if ((entry.wines || entry.windows) && !all) continue;
        flagged = flagged || IsFlagged(entry);
        if (options.json) {
            rows.push_back(EntryJson(number, entry));
            continue;
        }
        out << number << "\t" << Flags(entry) << "\t" << Cp1252ToUtf8(entry.location) << "\t"
            << Cp1252ToUtf8(entry.name) << "\t" << Cp1252ToUtf8(entry.command.substr(0, 400))
            << "\t" << Cp1252ToUtf8(entry.file) << "\n";
        if (entry.pe) out << PeDetails(entry);
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
