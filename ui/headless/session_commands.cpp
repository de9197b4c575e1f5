// The headless front end's commands: the table the usage and each
// command's help are printed from, the reading of the command line into
// steps, and what each command does on the main controller.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <ostream>

#include "app/views/ignore_list_dialog.h"
#include "app/views/settings_windows.h"
#include "base/codepage.h"
#include "machine/machine.h"
#include "scan/ignore_list.h"
#include "settings/settings_store.h"
#include "ui/headless/session.h"

namespace tolvane {
namespace {

const std::map<std::string, MainCommand>& ScanWords() {
    static const std::map<std::string, MainCommand> words = {
        {"smart", MainCommand::SmartScan},         {"custom", MainCommand::CustomScan},
        {"drives", MainCommand::DrivesAndFolders}, {"registry", MainCommand::RegistryScan},
        {"memory", MainCommand::MemoryScan},       {"files", MainCommand::FilesScan},
    };
    return words;
}

std::vector<std::string> ScanWordList() {
    std::vector<std::string> list;
    for (const auto& [word, command] : ScanWords()) list.push_back(word);
    return list;
}

// --- How each command's arguments are read ---

bool NoArguments(CommandWords&, std::vector<std::string>*) {
    return true;
}

bool OneArgument(CommandWords& words, std::vector<std::string>* args) {
    return words.TakeInto(args);
}

// all|none|inverse, or vendor NAME, type TYPE.
bool SelectArguments(CommandWords& words, std::vector<std::string>* args) {
    if (!words.TakeInto(args)) return false;
    if ((*args)[0] == "vendor" || (*args)[0] == "type") return words.TakeInto(args);
    return true;
}

// show | get NAME | set NAME VALUE | general|scan with key=value and clicks.
bool SettingsArguments(CommandWords& words, std::vector<std::string>* args) {
    if (!words.TakeInto(args)) return false;
    const std::string what = (*args)[0];
    if (what == "get") return words.TakeInto(args);
    if (what == "set") return words.TakeInto(args) && words.TakeInto(args);
    if (what == "general" || what == "scan") {
        while (!words.AtEnd() && (words.Peek().find('=') != std::string::npos ||
                                  words.Peek() == "choose" || words.Peek() == "change"))
            args->push_back(words.Take());
        return true;
    }
    return what == "show";
}

// An optional "check".
bool UpdateArguments(CommandWords& words, std::vector<std::string>* args) {
    if (!words.AtEnd() && words.Peek() == "check") args->push_back(words.Take());
    return true;
}

bool IsOn(const std::string& value) {
    return value == "1" || value == "on" || value == "yes" || value == "true";
}

// The commands, in the order the usage lists them.
const HeadlessCommand kCommands[] = {
    {"about",
     NoArguments,
     {},
     "about\n  The About box.\n",
     &Session::PressButton,
     MainCommand::About},
    {"advanced",
     NoArguments,
     {},
     "advanced\n  The Advanced BHO Scan: runs every script of script.db.\n",
     &Session::Advanced,
     MainCommand::AdvancedBhoScan},
    {"backup",
     NoArguments,
     {},
     "backup\n  Backs up the checked rows' objects into an archive (--save-as).\n",
     &Session::PressButton,
     MainCommand::BackupQuarantine},
    {"details",
     OneArgument,
     {},
     "details ROW\n  The Object Details of a row of the results list (from 1).\n",
     &Session::Details},
    {"ignore",
     OneArgument,
     {"checked", "list"},
     "ignore checked|list\n"
     "  checked: the checked rows go to the ignore list (Ignorelist.txt in the current\n"
     "  folder) and leave the results list. list: prints the ignore list.\n",
     &Session::Ignore},
    {"list",
     NoArguments,
     {},
     "list\n  Prints the results list: row number, check box, the five columns.\n",
     &Session::List},
    {"logfile",
     NoArguments,
     {},
     "logfile\n  The last scan's log (or the message when there is none).\n",
     &Session::Logfile},
    {"remove",
     OneArgument,
     {"checked", "selected", "all"},
     "remove checked|selected|all\n"
     "  Removes the checked rows' objects (or all) with the removal's questions.\n",
     &Session::Remove},
    {"restore",
     NoArguments,
     {},
     "restore\n  Restores a backup archive (--open).\n",
     &Session::Restore},
    {"scan", OneArgument, ScanWordList(),
     "scan smart|custom|drives|registry|memory|files\n"
     "  Runs the scan as the Scan menu does (LastScanMode is stored first; custom shows the\n"
     "  Scan Settings and drives the folder chooser, --folders choosing) and prints one\n"
     "  line per listed object (vendor, type, category, object, danger; tab-separated),\n"
     "  the nine counters and the log's path. Ctrl-C stops it as the Stop button does.\n",
     &Session::Scan},
    {"select",
     SelectArguments,
     {"all", "none", "inverse", "vendor", "type"},
     "select all|none|inverse|vendor NAME|type TYPE\n"
     "  Checks rows: every row, none, the inverse, or exactly the rows of a vendor or a\n"
     "  type (file, folder, registry-key, registry-value, host).\n",
     &Session::Select},
    {"settings",
     SettingsArguments,
     {},
     "settings show | get NAME | set NAME VALUE\n"
     "settings general [runatstartup=0|1] [removeafterscan=0|1]\n"
     "                 [startup=smart|custom|folders|none] [choose] [change]\n"
     "settings scan [active=0|1] [registry=0|1] [deep=0|1] [drives=0|1] [choose]\n"
     "  The General Settings and Scan Settings windows: the clicks are made, then OK\n"
     "  (or the next answer, e.g. --answers cancel). Prints every setting afterwards.\n",
     &Session::Settings},
    {"start",
     NoArguments,
     {},
     "start\n"
     "  Presses Start as the window's button does: a scan in the mode stored last\n"
     "  (LastScanMode; a Smart Scan on a machine that never chose one), printed as scan\n"
     "  prints it.\n",
     &Session::Start},
    {"stop",
     NoArguments,
     {},
     "stop\n  Presses Stop when a scan runs (and waits for its end).\n",
     &Session::Stop},
    {"summary",
     NoArguments,
     {},
     "summary\n  The Summary of the last scan (\"Objects found\").\n",
     &Session::Summary},
    {"unignore",
     OneArgument,
     {"all"},
     "unignore all\n  The Ignore List dialog's \"Delete\" with every row checked.\n",
     &Session::Unignore},
    {"update",
     UpdateArguments,
     {},
     "update [check]\n  The Update window (needs the update server).\n",
     &Session::PressButton,
     MainCommand::CheckUpdates},
};

}  // namespace

std::span<const HeadlessCommand> HeadlessCommands() {
    return kCommands;
}

const HeadlessCommand* FindHeadlessCommand(const std::string& word) {
    for (const HeadlessCommand& command : HeadlessCommands())
        if (word == command.word) return &command;
    return nullptr;
}

const char* CommandHelp(const std::string& word) {
    const HeadlessCommand* command = FindHeadlessCommand(word);
    return command ? command->help : nullptr;
}

bool Session::Parse(std::vector<Step>* steps) {
    CommandWords words(options_.words);
    while (!words.AtEnd()) {
        const std::string& word = words.Take();
        Step step;
        step.command = FindHeadlessCommand(word);
        if (!step.command) {
            err_ << "tolvane: unknown command " << word << "\n";
            PrintUsage(err_);
            return false;
        }
        if (!step.command->readArguments(words, &step.args)) {
            err_ << "tolvane: " << word << ": missing or wrong arguments (see --help)\n";
            return false;
        }
        steps->push_back(std::move(step));
    }
    // The choices are checked once the whole line has been read.
    for (const Step& step : *steps) {
        const std::vector<std::string>& choices = step.command->choices;
        const std::string a = step.First();
        if (!choices.empty() && std::find(choices.begin(), choices.end(), a) == choices.end()) {
            err_ << "tolvane: " << step.command->word << " " << a
                 << ": not a choice (see --help)\n";
            return false;
        }
    }
    return true;
}

// A machine whose registry cannot be read (another user's files) gives no
// clean result: the notes say so and the scan fails.
bool Session::Scan(const Step& step) {
    controller().Execute(ScanWords().at(step.First()));
    FinishScan(controller().WorkerRunning());
    return !app_->MachineUnreadable();
}

// The Start button: a scan in the stored mode (a Smart Scan on a machine
// that never chose one), or Stop while one runs.
bool Session::Start(const Step&) {
    bool wasScanning = controller().Scanning();
    controller().Execute(MainCommand::StartStop);
    FinishScan(!wasScanning && controller().WorkerRunning());
    return wasScanning || !app_->MachineUnreadable();
}

bool Session::Stop(const Step&) {
    if (controller().Scanning()) controller().Execute(MainCommand::StartStop);
    WaitForScan();
    return true;
}

bool Session::List(const Step&) {
    PrintRows(true);
    return true;
}

bool Session::Select(const Step& step) {
    ResultsListModel& list = controller().results();
    const std::string& how = step.args[0];
    if (how == "all") list.SelectAll();
    if (how == "none") list.DeselectAll();
    if (how == "inverse") list.InverseSelection();
    if (how == "vendor" || how == "type") {
        std::string wanted = step.args[1];
        if (how == "type") {
            // "registry-key", "Registry Key", "host" ...
            for (char& ch : wanted)
                if (ch == '-' || ch == '_') ch = ' ';
            if (EqualsNoCase(wanted, "host")) wanted = "Host File Item";
            for (ObjectType type : kObjectTypes)
                if (EqualsNoCase(wanted, ObjectTypeText(type))) wanted = ObjectTypeText(type);
        }
        ListColumnIndex column = how == "vendor" ? ListColumnIndex::Vendor : ListColumnIndex::Type;
        size_t matched = 0;
        for (size_t i = 0; i < list.size(); ++i) {
            bool match = list.rows()[i].Text(column) == Utf8ToCp1252(wanted);
            list.SetChecked(i, match);
            matched += match ? 1 : 0;
        }
        if (matched == 0) Print("no row with " + how + " \"" + step.args[1] + "\"");
    }
    Print(std::to_string(list.CheckedCount()) + " of " + std::to_string(list.size()) +
          " rows checked");
    return true;
}

bool Session::Ignore(const Step& step) {
    IgnoreList& ignoreList = app_->ignoreList();
    if (step.First() == "checked") {
        size_t before = controller().results().size();
        controller().AddCheckedToIgnoreList();
        Print(std::to_string(before - controller().results().size()) +
              " objects added to the ignore list " + ignoreList.FilePath());
        return true;
    }
    for (const IgnoreEntry& e : ignoreList.Entries())
        Print(e.name + "\t" + ObjectTypeText(e.type) + "\t" + e.objectText);
    Print(std::to_string(ignoreList.Size()) + " entries in " + ignoreList.FilePath());
    return true;
}

bool Session::Unignore(const Step&) {
    bool opened = false;
    views_.onIgnoreList = [&](IgnoreListDialog& dialog) {
        opened = true;
        dialog.SelectAll();
        dialog.RemoveCheckedFromIgnoreList();  // "Delete"
    };
    controller().Execute(MainCommand::IgnoreList);
    views_.onIgnoreList = nullptr;
    if (opened) Print("ignore list emptied: " + app_->ignoreList().FilePath());
    return opened;
}

bool Session::Summary(const Step&) {
    if (!controller().ControlEnabled(ControlId::ObjectsFound)) {
        err_ << "tolvane: summary: no scan has ended yet (\"Objects found\" is disabled)\n";
        return false;
    }
    controller().Execute(MainCommand::ObjectsFound);
    return true;
}

bool Session::Details(const Step& step) {
    const std::string a = step.First();
    const size_t rows = controller().results().size();
    char* end = nullptr;
    unsigned long row = std::strtoul(a.c_str(), &end, 10);
    if (a.empty() || *end || row < 1 || row > rows) {
        err_ << "tolvane: details: no row " << a << " (the list has " << rows << " rows)\n";
        return false;
    }
    controller().ShowResultDetails(row - 1);
    return true;
}

bool Session::Settings(const Step& step) {
    SettingsStore& store = app_->settings();
    const std::string& what = step.args[0];
    if (what == "get") {
        Print(step.args[1] + "=" + store.ReadString(step.args[1]));
        return true;
    }
    if (what == "set") {
        store.WriteString(step.args[1], Utf8ToCp1252(step.args[2]));
        Print(step.args[1] + "=" + store.ReadString(step.args[1]));
        return true;
    }
    std::vector<std::pair<std::string, std::string>> pairs;
    std::vector<std::string> clicks;
    for (size_t i = 1; i < step.args.size(); ++i) {
        size_t eq = step.args[i].find('=');
        if (eq == std::string::npos)
            clicks.push_back(step.args[i]);
        else
            pairs.emplace_back(step.args[i].substr(0, eq), step.args[i].substr(eq + 1));
    }
    bool known = true;
    if (what == "general") known = GeneralSettings(pairs, clicks);
    if (what == "scan") known = ScanSettings(pairs, clicks);
    if (!known) {
        err_ << "tolvane: settings " << what << ": unknown setting or value (see --help)\n";
        return false;
    }
    PrintSettings();
    return true;
}

bool Session::GeneralSettings(const std::vector<std::pair<std::string, std::string>>& pairs,
                              const std::vector<std::string>& clicks) {
    static const std::map<std::string, int> modes = {{"smart", 1}, {"custom", 2}, {"folders", 3},
                                                     {"none", 4},  {"0", 0},      {"1", 1},
                                                     {"2", 2},     {"3", 3},      {"4", 4}};
    bool known = true;
    views_.onGeneralSettings = [&](GeneralSettingsWindow& w) {
        for (const auto& [key, value] : pairs) {
            auto mode = modes.find(value);
            if (key == "runatstartup")
                w.ClickRunAtStartUp(IsOn(value));
            else if (key == "removeafterscan")
                w.ClickRemoveAfterScan(IsOn(value));
            else if (key == "startup" && mode != modes.end())
                w.ChooseStartUp(mode->second);
            else
                known = false;
        }
        for (const std::string& click : clicks) {
            if (click == "choose") w.ClickChoose();
            if (click == "change") w.ClickChange();
        }
    };
    controller().Execute(MainCommand::GeneralSettings);
    views_.onGeneralSettings = nullptr;
    return known;
}

bool Session::ScanSettings(const std::vector<std::pair<std::string, std::string>>& pairs,
                           const std::vector<std::string>& clicks) {
    static const std::map<std::string, int> boxes = {
        {"active", ScanSettingsWindow::kActive}, {"registry", ScanSettingsWindow::kRegistry},
        {"deep", ScanSettingsWindow::kDeep},     {"drives", ScanSettingsWindow::kDrives},
        {"iefav", ScanSettingsWindow::kIeFav},   {"hosts", ScanSettingsWindow::kHosts}};
    bool known = true;
    views_.onScanSettings = [&](ScanSettingsWindow& w) {
        for (const auto& [key, value] : pairs) {
            auto it = boxes.find(key);
            if (it == boxes.end())
                known = false;
            else
                w.SetChecked(it->second, IsOn(value));
        }
        for (const std::string& click : clicks)
            if (click == "choose") w.ClickChoose();
    };
    controller().Execute(MainCommand::ScanSettings);
    views_.onScanSettings = nullptr;
    return known;
}

void Session::PrintSettings() {
    SettingsStore& store = app_->settings();
    for (const SettingInfo& info : SettingsTable())
        Print(std::string(info.name) + "=" + store.ReadString(info.name));
    for (const char* list : {kCustomScanFolderList, kDrivesAndFoldersList}) {
        std::vector<std::string> folders = store.ReadFolderList(list);
        for (size_t i = 0; i < folders.size(); ++i)
            Print(std::string(list) + std::to_string(i + 1) + "=" + folders[i]);
    }
}

// While the prefix's wineserver runs the removal and the restore are refused
// (the message says how to stop it), and a removal that started Wine itself
// may leave it running with the later changes refused: the command failed,
// whatever it printed.
bool Session::Remove(const Step& step) {
    bool refused = machine_->RefusesChanges();
    controller().Execute(step.First() == "all" ? MainCommand::RemoveAll
                                               : MainCommand::RemoveSelected);
    return !refused && !machine_->RefusesChanges();
}

// Fails when the machine refused changes before or while the scripts ran.
bool Session::Advanced(const Step&) {
    bool refused = machine_->RefusesChanges();
    controller().Execute(MainCommand::AdvancedBhoScan);
    return !refused && !machine_->RefusesChanges();
}

bool Session::Restore(const Step&) {
    bool refused = machine_->RefusesChanges();
    controller().Execute(MainCommand::RestoreBackup);
    return !refused;
}

// Commands that press one button or menu item and print nothing themselves.
bool Session::PressButton(const Step& step) {
    controller().Execute(step.command->button);
    return true;
}

bool Session::Logfile(const Step&) {
    if (app_->scan().LogPath().empty())
        controller().Execute(MainCommand::ShowLogfile);  // its message
    else
        Print("Log: " + app_->scan().LogPath());
    return true;
}

}  // namespace tolvane
