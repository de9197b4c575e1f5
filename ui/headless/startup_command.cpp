// tolvane --headless [--machine M] startup [--all] [--json]: the machine's
// start-up entries, numbered, with their flags; the entries new since the
// machine's last listing are marked; a PE file's version names and signature
// follow its row on an indented line. Wine's and Windows' own entries are
// shown with --all only. Exit status 0 when no entry shown is
// flagged, 1 when one is, 2 when the machine or the table cannot be read.
// startup --weekly shows only the entries new since the last weekly listing.
//
// startup remove|disable|enable N... act on rows as the last listing
// numbered them (every entry counts, shown or hidden, in listing order):
// the entries are listed again and each number must still name the entry
// that listing showed under it, else nothing is done. Exit status 0 when
// everything asked was done, 1 when it was refused, declined or partly
// failed, 2 for bad usage.
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>

#include "app/database_choice.h"
#include "app/removal_connection.h"
#include "app/startup_actions.h"
#include "app/startup_listing.h"
#include "app/views/scripted_views.h"
#include "app/views/startup_entries_window.h"
#include "base/codepage.h"
#include "definitions/load_definitions.h"
#include "definitions/placeholders.h"
#include "definitions/threat_database.h"
#include "discovery/open_machine.h"
#include "discovery/shipped_data.h"
#include "host/privileges.h"
#include "settings/settings_store.h"
#include "settings/state_folder.h"
#include "startup/previous_listing.h"
#include "startup/startup_entries.h"
#include "ui/headless/headless.h"
#include "update/update_signature.h"

namespace tolvane {
namespace {

// A PE file's names and signature, on an indented line below its row.
std::string PeDetails(const StartupEntry& entry) {
    auto named = [](const std::string& text) { return text.empty() ? "-" : Cp1252ToUtf8(text); };
    return "\t" + named(entry.facts.company) + "\t" + named(entry.facts.product) + "\t" +
           named(entry.facts.description) + "\t" +
           (entry.facts.signature ? "signature present (not verified)" : "not signed") + "\n";
}

nlohmann::json EntryJson(size_t number, const StartupEntry& entry) {
    return {{"number", number},
            {"location", Cp1252ToUtf8(entry.location)},
            {"name", Cp1252ToUtf8(entry.name)},
            {"command", Cp1252ToUtf8(entry.command)},
            {"file", Cp1252ToUtf8(entry.file)},
            {"exists", entry.facts.exists},
            {"size", entry.facts.size},
            {"sha256", entry.facts.sha256},
            {"enabled", entry.enabled},
            {"missing", entry.facts.missing},
            {"userWritable", entry.facts.userWritable},
            {"scriptHost", entry.scriptHost},
            {"threat", Cp1252ToUtf8(entry.facts.threat)},
            {"new", entry.isNew},
            {"wine", entry.wines},
            {"windows", entry.windows},
            {"pe", entry.facts.pe},
            {"company", Cp1252ToUtf8(entry.facts.company)},
            {"product", Cp1252ToUtf8(entry.facts.product)},
            {"description", Cp1252ToUtf8(entry.facts.description)},
            {"signature", !entry.facts.pe         ? ""
                          : entry.facts.signature ? "present"
                                                  : "absent"},
            {"notSigned", entry.facts.notSigned},
            {"flagged", IsFlagged(entry)}};
}

// The definitions a scan of this machine uses (database_choice.h); what the
// user should know goes to the notes.
void LoadMachineDefinitions(const HeadlessOptions& options, Machine& machine,
                            ThreatDatabase* database, std::vector<std::string>* notes) {
    DatabaseChoice choice = ChooseDefinitions(machine, options.definitionsFile, ShippedDataFolder(),
                                              BuiltInUpdateKeys());
    if (!choice.note.empty()) notes->push_back(choice.note);
    if (!choice.found) return;
    PlaceholderFolders folders = PlaceholderFolders::FromShell(machine.shell());
    LoadReport report;
    if (!LoadDefinitionsFromContainer(
            choice.stored, folders, database, &report,
            choice.vouched ? RulesSource::Vouched : RulesSource::Unvouched))
        notes->push_back("the definitions could not be loaded: no entry is matched to a threat");
}

int PrintListing(const StartupListing& listing, bool all, bool weekly, bool json,
                 std::ostream& out) {
    nlohmann::json rows = nlohmann::json::array();
    bool flagged = false;
    size_t number = 0;
    for (const StartupEntry& entry : listing.entries) {
        ++number;
        if (((entry.wines || entry.windows) && !all) || (weekly && !entry.isNew)) continue;
        flagged = flagged || IsFlagged(entry);
        if (json) {
            rows.push_back(EntryJson(number, entry));
            continue;
        }
        out << number << "\t" << StartupFlagsText(entry) << "\t" << Cp1252ToUtf8(entry.location)
            << "\t" << Cp1252ToUtf8(entry.name) << "\t"
            << Cp1252ToUtf8(entry.command.substr(0, 400)) << "\t" << Cp1252ToUtf8(entry.file)
            << "\n";
        if (entry.facts.pe) out << PeDetails(entry);
    }
    if (json) {
        nlohmann::json notes = nlohmann::json::array();
        for (const std::string& note : listing.notes) notes.push_back(Cp1252ToUtf8(note));
        out << nlohmann::json{{"entries", rows}, {"notes", notes}}.dump(1) << "\n";
    } else {
        for (const std::string& note : listing.notes) out << "Note: " << Cp1252ToUtf8(note) << "\n";
    }
    return flagged ? 1 : 0;
}

int RunListing(const HeadlessOptions& options, std::ostream& out, std::ostream& err) {
    bool all = false, weekly = false;
    for (size_t i = 1; i < options.words.size(); ++i) {
        if (options.words[i] == "--all") {
            all = true;
        } else if (options.words[i] == "--weekly") {
            weekly = true;
        } else {
            err << "tolvane: startup takes only --all and --weekly (and the global --json), or "
                   "remove, disable or enable with row numbers\n";
            return kExitScanError;
        }
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
    std::vector<std::string> definitionNotes;
    LoadMachineDefinitions(options, *machine, &definitions, &definitionNotes);
    sources.definitions = &definitions;
    sources.readWineFiles = all;
    StartupListing listing = ListMachineStartup(*machine, sources, weekly);
    listing.notes.insert(listing.notes.end(), definitionNotes.begin(), definitionNotes.end());
    const int flagged = PrintListing(listing, all, weekly, options.json, out);
    if (options.listedRows) *options.listedRows = static_cast<size_t>(flagged);
    return flagged ? kExitScanListed : kExitScanClean;
}

struct ActionWords {
    std::string action;  // remove, disable, enable
    std::vector<size_t> numbers;
    bool withFile = false;
};

bool ParseActionWords(const std::vector<std::string>& words, ActionWords* parsed,
                      std::ostream& err) {
    parsed->action = words[1];
    std::set<size_t> seen;
    for (size_t i = 2; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--with-file" && parsed->action == "remove") {
            parsed->withFile = true;
            continue;
        }
        size_t number = 0;
        bool digits = !word.empty() && word.size() < 10 &&
                      word.find_first_not_of("0123456789") == std::string::npos;
        if (digits) number = std::stoul(word);
        if (number == 0) {
            err << "tolvane: startup " << parsed->action << " takes the numbers of listed rows"
                << (parsed->action == "remove" ? " and --with-file" : "") << ", not \"" << word
                << "\"\n";
            return false;
        }
        if (seen.insert(number).second) parsed->numbers.push_back(number);
    }
    if (parsed->numbers.empty())
        err << "tolvane: startup " << parsed->action << ": no row numbers\n";
    return !parsed->numbers.empty();
}

// The entries the numbers name, each checked against the last listing.
bool ChooseRows(Machine& machine, const StartupSources& sources, const std::string& state,
                const std::vector<size_t>& numbers, std::vector<StartupEntry>* chosen,
                std::ostream& err) {
    std::vector<std::string> keys;
    if (state.empty() || !ReadPreviousListing(state, &keys)) {
        err << "tolvane: this machine's start-up entries were not listed yet: list them first "
               "(tolvane --headless startup) and give the numbers of that listing\n";
        return false;
    }
    StartupListing listing = ListStartupEntries(machine, sources);
    for (size_t number : numbers) {
        if (number > listing.entries.size() || number > keys.size() ||
            ListingKey(listing.entries[number - 1]) != keys[number - 1]) {
            err << "tolvane: row " << number
                << " no longer names the entry the last listing showed under that number (the "
                   "machine's start-up entries have changed since): nothing was done. List them "
                   "again (tolvane --headless startup) and use the new numbers.\n";
            return false;
        }
        chosen->push_back(listing.entries[number - 1]);
    }
    return true;
}

int RunAction(const HeadlessOptions& options, std::ostream& out, std::ostream& err) {
    ActionWords words;
    if (!ParseActionWords(options.words, &words, err)) return kExitUsage;
    Privileges privileges;
    std::unique_ptr<Machine> machine = OpenHeadlessMachine(options, err, &privileges);
    StartupSources sources;
    std::string error;
    if (!machine) return kExitFailure;
    if (!LoadStartupSources(ShippedDataFolder(), &sources, &error)) {
        err << "tolvane: " << error << "\n";
        return kExitFailure;
    }
    std::string why;
    const std::string state = InstallationStateFolder(machine->PrefixPath(), &why);
    std::vector<StartupEntry> chosen;
    if (!ChooseRows(*machine, sources, state, words.numbers, &chosen, err)) return kExitFailure;

    ScriptedViews views;
    ScriptViews(options, *machine, views);
    views.echo = [&out](const std::string& line) {
        out << Cp1252ToUtf8(line) << "\n" << std::flush;
    };
    ViewsRemovalView view(views, views, views, views);
    StartupActionOptions actionOptions;
    actionOptions.withFile = words.withFile;
    actionOptions.removeOnlyAfterBackup = !options.saveAs.empty();
    actionOptions.stateFolder = state;
    StartupActionResult result;
    if (words.action == "remove") {
        // Where the scan's removal keeps its settings (the queue for the next
        // start): inside a prefix, on the host for an installation.
        SettingsStore settings =
            machine->KeepsToolStateInside()
                ? SettingsStore(machine->registry())
                : SettingsStore::OnHost(machine->registry(),
                                        state.empty() ? "" : state + "/" + kStateSettingsFileName);
        result = RemoveStartupEntries(*machine, settings, view, chosen, actionOptions);
    } else {
        result =
            SwitchStartupEntries(*machine, view, chosen, words.action == "enable", actionOptions);
    }
    for (const std::string& failure : result.failures)
        err << "tolvane: " << Cp1252ToUtf8(failure) << "\n";
    return result.ran && result.failures.empty() ? kExitOk : kExitFailure;
}

}  // namespace

int RunStartupCommand(const HeadlessOptions& options, std::ostream& out, std::ostream& err) {
    if (options.words.size() > 1 && (options.words[1] == "remove" ||
                                     options.words[1] == "disable" || options.words[1] == "enable"))
        return RunAction(options, out, err);
    return RunListing(options, out, err);
}

}  // namespace tolvane
