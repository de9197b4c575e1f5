// The headless session: start-up through Application, the first tick, then
// each command on the main controller, with ScriptedViews printing what the
// window would show.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "app/application.h"
#include "app/command_line.h"
#include "definitions/threat_database.h"
#include "platform/codepage.h"
#include "platform/machine.h"
#include "platform/privileges.h"
#include "scan/ignore_list.h"
#include "settings/settings_store.h"
#include "ui/headless/headless.h"
#include "ui/ignore_list_dialog.h"
#include "ui/scripted_views.h"
#include "ui/settings_windows.h"
#include "update/update_client.h"
#include "update/update_event_loop.h"

namespace tolvane {
namespace {

std::atomic<bool> gInterrupted{false};
void OnInterrupt(int) {
    gInterrupted.store(true);
}

std::string Utf8(const std::string& text) {
    return Cp1252ToUtf8(text);
}

const std::map<std::string, MainCommand>& ScanWords() {
    static const std::map<std::string, MainCommand> words = {
        {"smart", MainCommand::SmartScan},         {"custom", MainCommand::CustomScan},
        {"drives", MainCommand::DrivesAndFolders}, {"registry", MainCommand::RegistryScan},
        {"memory", MainCommand::MemoryScan},       {"files", MainCommand::FilesScan},
    };
    return words;
}

// The update flows without a window: questions through the scripted
// message boxes, the Update window's texts printed.
class HeadlessUpdates : public UpdateHost, public UpdateWindowView {
  public:
    explicit HeadlessUpdates(ScriptedViews& views) : views_(views) {}
    PromptAnswer Ask(const Prompt& prompt) override { return views_.Ask(prompt); }
    void DefinitionsInstalled() override {
        views_.echo("[update] new definitions installed; they are used from the next start");
    }
    void SetStatusText(const std::string& text) override { views_.echo("[update] " + text); }
    void SetButtonCaption(const std::string&) override {}
    void Close() override {}

  private:
    ScriptedViews& views_;
};

// One command of the call: its word and arguments.
struct Step {
    std::string word;
    std::vector<std::string> args;
};

class Session {
  public:
    Session(const HeadlessOptions& options, std::ostream& out, std::ostream& err)
        : options_(options), out_(out), err_(err) {}

    // The commands' status; for a run with a scan, the scan statuses
    // (kExitScanClean, kExitScanListed, kExitScanError).
    int Run();

  private:
    int RunSteps();
    // Splits the words into commands; false (and a message) on bad usage.
    bool Parse(std::vector<Step>* steps);
    bool RunStep(const Step& step);
    void Print(const std::string& line);
    void WaitForScan();
    void PrintRows(bool withIndex);
    void PrintScanResult();
    bool Select(const Step& step);
    // With --json: the document of a run that never got past start-up, with
    // the messages shown so far and why it failed.
    void PrintFailureDocument(const std::string& failure);
    bool Settings(const Step& step);
    MainController& controller() { return app_->controller(); }
    nlohmann::json RowsJson();
    nlohmann::json NotesJson();

    const HeadlessOptions& options_;
    std::ostream& out_;
    std::ostream& err_;
    Privileges privileges_;
    std::unique_ptr<Machine> machine_;
    ScriptedViews views_;
    TaskQueueUiThread ui_;
    std::unique_ptr<Application> app_;
    std::unique_ptr<HeadlessUpdates> updateHost_;
    std::unique_ptr<UpdateService> updateService_;  // before the client, which uses it
    std::unique_ptr<UpdateClient> updates_;
    bool updatesConfigured_ = false;
    nlohmann::json messages_ = nlohmann::json::array();
    nlohmann::json output_ = nlohmann::json::array();
    bool progressLine_ = false;
    bool scanRun_ = false;  // a scan command or -s is on the line
    size_t listed_ = 0;     // rows listed when the last scan ended
};

void Session::Print(const std::string& line) {
    if (options_.json)
        output_.push_back(Utf8(line));
    else
        out_ << Utf8(line) << "\n";
}

int Session::Run() {
    for (const std::string& word : options_.words)
        scanRun_ = scanRun_ || word == "scan" || word == "start";
    // The start-up finds -s anywhere in a switch ("-sb" scans too).
    for (const std::string& arg : options_.arguments)
        scanRun_ = scanRun_ || (arg.size() > 1 && arg[0] == '-' && arg[1] != '-' &&
                                arg.find("-s") != std::string::npos);
    int status = RunSteps();
    if (options_.listedRows) *options_.listedRows = listed_;
    if (!scanRun_ || status == kExitUsage) return status;
    if (status != kExitOk) return kExitScanError;
    return listed_ > 0 ? kExitScanListed : kExitScanClean;
}

int Session::RunSteps() {
    std::vector<Step> steps;
    if (!Parse(&steps)) return kExitUsage;

    std::ostringstream openErrors;
    machine_ = OpenHeadlessMachine(options_, options_.json ? openErrors : err_, &privileges_);
    if (!machine_) {
        // A script reading the document learns why as well as the status.
        err_ << openErrors.str();
        std::string why = openErrors.str();
        while (!why.empty() && why.back() == '\n') why.pop_back();
        messages_.push_back(Utf8(why));
        PrintFailureDocument(why);
        return kExitFailure;
    }
    InstallShippedDatabases(*machine_, err_);
    // The save dialog's checks, on the machine's drives.
    views_.folderExists = [this](const std::string& folder) {
        uint32_t attributes = machine_->files().GetFileAttributes(folder);
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    };
    views_.fileExists = [this](const std::string& path) {
        return machine_->files().PathFileExists(path);
    };

    views_.script.answers.assign(options_.answers.begin(), options_.answers.end());
    views_.script.fallback = options_.fallback == 1   ? ScriptedViews::Fallback::Yes
                             : options_.fallback == 2 ? ScriptedViews::Fallback::No
                                                      : ScriptedViews::Fallback::Default;
    // The file dialogs show the machine's drives; a Linux path given instead
    // ("/tmp/b.zip") is taken through the drive that covers it (Z: in a
    // Wine-made prefix), as the dialog would have shown it.
    auto windowsPaths = [this](const std::vector<std::string>& paths) {
        std::deque<std::string> mapped;
        for (const std::string& path : paths)
            mapped.push_back(path.starts_with('/') ? machine_->files().ToWindowsPath(path) : path);
        return mapped;
    };
    views_.script.saveAs = windowsPaths(options_.saveAs);
    views_.script.open = windowsPaths(options_.open);
    if (options_.haveFolders) views_.script.folders = options_.folders;
    views_.echo = [this](const std::string& line) {
        if (options_.json)
            messages_.push_back(Utf8(line));
        else
            out_ << Utf8(line) << "\n" << std::flush;
    };
    progressLine_ = isatty(STDERR_FILENO) == 1;
    views_.onText = [this](ControlId control, const std::string& text) {
        if (!progressLine_ || control != ControlId::StatusLine || !app_) return;
        std::string line =
            views_.ControlText(ControlId::ObjectsScanned) + " scanned  " + Utf8(text);
        if (line.size() > 100) line = line.substr(0, 97) + "...";
        err_ << "\r\x1b[K" << line << std::flush;
    };

    ApplicationOptions appOptions;
    // The update service only when a command asks for it (it goes to the
    // network); the silent start-up query is the desktop window's.
    for (const Step& step : steps)
        if (step.word == "update") updatesConfigured_ = true;
    if (updatesConfigured_) {
        UpdateServiceOptions service;
        service.machine = machine_.get();
        updateService_ = std::make_unique<UpdateService>(service);
        updateHost_ = std::make_unique<HeadlessUpdates>(views_);
        updates_ = std::make_unique<UpdateClient>(*updateService_, *updateHost_);
        appOptions.flows.updateDialog = [this] {
            updates_->SetVersions(std::atof(kProgramVersion), app_->database().version());
            updates_->SetDefinitionsDate(app_->database().date());
            UpdateWindow window(*updates_, *updateHost_);
            PostingUpdateSink sink(
                [this](std::function<void()> task) { ui_.Post(std::move(task)); }, window);
            views_.echo(std::string("[dialog] ") + update_texts::kWindowTitle);
            window.Open(&sink);
            ui_.RunUntil([&] { return window.closed() || !updateService_->Busy(); });
            sink.Disconnect();
        };
    }
    std::set<std::string> withValue(OptionsWithValue().begin(), OptionsWithValue().end());
    // The Windows line has the switches only: the commands were never on it.
    std::vector<std::string> beforeCommands;
    for (const std::string& a : options_.arguments) {
        if (!options_.words.empty() && a == options_.words.front()) break;
        beforeCommands.push_back(a);
    }
    appOptions.commandLine = WindowsCommandLine(beforeCommands, withValue);
    appOptions.rightsNote = PrivilegesNote(privileges_);
    char cwd[4096];
    appOptions.hostWorkingFolder = getcwd(cwd, sizeof cwd) ? cwd : "";
    app_ = std::make_unique<Application>(
        *machine_, ApplicationViews{{views_, views_, views_, views_, views_, ui_}, views_},
        appOptions);
    StartResult started = app_->Start();
    if (started != StartResult::Running) {
        app_.reset();
        PrintFailureDocument(started == StartResult::AlreadyRunning
                                 ? "another copy of Tolvane is running on this machine"
                                 : "start-up failed");
        return kExitFailure;
    }
    controller().results().SetObserver(&views_);

    gInterrupted.store(false);
    auto previous = std::signal(SIGINT, OnInterrupt);
    app_->FirstTick();
    bool scanned = controller().WorkerRunning();
    WaitForScan();
    if (scanned) listed_ = controller().results().size();
    if (scanned && steps.empty()) PrintScanResult();

    int status = kExitOk;
    for (const Step& step : steps) {
        if (views_.ended) break;
        if (!RunStep(step)) {
            status = kExitFailure;
            break;
        }
    }
    std::signal(SIGINT, previous);

    for (const std::string& unused : views_.UnusedAnswers())
        views_.echo("[answers] not used: " + unused);
    if (options_.json) {
        ScanCounterValues c = app_->scan().Counters();
        std::optional<std::string> logHost = machine_->files().ToHostPath(app_->scan().LogPath());
        nlohmann::json document = {
            {"rows", RowsJson()},
            {"counters",
             {{"objectsScanned", c.objectsScanned},
              {"objectsIgnored", c.objectsIgnored},
              {"objectsRecognised", c.objectsRecognised},
              {"objectsNew", c.objectsNew},
              {"registryKeysRecognised", c.registryKeysRecognised},
              {"registryValuesRecognised", c.registryValuesRecognised},
              {"filesRecognised", c.filesRecognised},
              {"foldersRecognised", c.foldersRecognised},
              {"processesRecognised", c.processesRecognised}}},
            {"logPath", Utf8(app_->scan().LogPath())},
            {"logHostPath", logHost && !app_->scan().LogPath().empty() ? *logHost : ""},
            {"stopped", app_->scan().StopRequested()},
            {"user", privileges_.userName},
            {"notes", NotesJson()},
            {"messages", messages_},
            {"output", output_},
        };
        out_ << document.dump(2) << "\n";
    }
    out_.flush();
    controller().BeginShutdown();
    ui_.RunUntil([&] { return !controller().WorkerRunning(); });
    ui_.Close();
    app_.reset();
    if (updateService_) updateService_->Shutdown();
    return status;
}

void Session::PrintFailureDocument(const std::string& failure) {
    if (!options_.json) return;
    nlohmann::json document = {
        {"rows", nlohmann::json::array()},
        {"messages", messages_},
        {"output", output_},
        {"failure", failure},
    };
    out_ << document.dump(2) << "\n" << std::flush;
}

void Session::WaitForScan() {
    ui_.RunUntil([&] {
        if (gInterrupted.exchange(false) && controller().Scanning())
            controller().Execute(MainCommand::StartStop);
        return !controller().WorkerRunning();
    });
    if (progressLine_) err_ << "\r\x1b[K" << std::flush;
}

nlohmann::json Session::RowsJson() {
    nlohmann::json rows = nlohmann::json::array();
    for (const ListRow& row : controller().results().rows())
        rows.push_back({{"vendor", Utf8(row.vendor)},
                        {"type", row.type},
                        {"category", Utf8(row.category)},
                        {"object", Utf8(row.object)},
                        {"danger", Utf8(row.danger)},
                        {"checked", row.checked}});
    return rows;
}

void Session::PrintRows(bool withIndex) {
    size_t index = 0;
    for (const ListRow& row : controller().results().rows()) {
        ++index;
        std::string line = row.vendor + "\t" + row.type + "\t" + row.category + "\t" + row.object +
                           "\t" + row.danger;
        if (withIndex)
            line = std::to_string(index) + "\t" + (row.checked ? "[x]" : "[ ]") + "\t" + line;
        Print(line);
    }
}

void Session::PrintScanResult() {
    if (options_.json) return;  // the document carries rows and counters
    PrintRows(false);
    ScanCounterValues c = app_->scan().Counters();
    const std::pair<const char*, int> counters[] = {
        {"objectsScanned", c.objectsScanned},
        {"objectsIgnored", c.objectsIgnored},
        {"objectsRecognised", c.objectsRecognised},
        {"objectsNew", c.objectsNew},
        {"registryKeysRecognised", c.registryKeysRecognised},
        {"registryValuesRecognised", c.registryValuesRecognised},
        {"filesRecognised", c.filesRecognised},
        {"foldersRecognised", c.foldersRecognised},
        {"processesRecognised", c.processesRecognised},
    };
    for (const auto& [name, value] : counters)
        Print(std::string(name) + ": " + std::to_string(value));
    Print("Log: " + app_->scan().LogPath());
    for (const std::string& note : app_->Notes()) Print(note);
}

nlohmann::json Session::NotesJson() {
    nlohmann::json notes = nlohmann::json::array();
    for (const std::string& note : app_->Notes()) notes.push_back(Utf8(note));
    return notes;
}

bool Session::Parse(std::vector<Step>* steps) {
    static const std::map<std::string, int> fixedArity = {
        {"scan", 1},  {"ignore", 1},  {"unignore", 1}, {"details", 1}, {"remove", 1},
        {"list", 0},  {"summary", 0}, {"backup", 0},   {"restore", 0}, {"advanced", 0},
        {"about", 0}, {"logfile", 0}, {"stop", 0},     {"start", 0},
    };
    const std::vector<std::string>& w = options_.words;
    for (size_t i = 0; i < w.size();) {
        Step step;
        step.word = w[i++];
        if (step.word == "select") {
            if (i >= w.size()) goto bad;
            step.args.push_back(w[i++]);
            if ((step.args[0] == "vendor" || step.args[0] == "type")) {
                if (i >= w.size()) goto bad;
                step.args.push_back(w[i++]);
            }
        } else if (step.word == "settings") {
            if (i >= w.size()) goto bad;
            step.args.push_back(w[i++]);
            const std::string& what = step.args[0];
            if (what == "get") {
                if (i >= w.size()) goto bad;
                step.args.push_back(w[i++]);
            } else if (what == "set") {
                if (i + 1 >= w.size()) goto bad;
                step.args.push_back(w[i++]);
                step.args.push_back(w[i++]);
            } else if (what == "general" || what == "scan") {
                while (i < w.size() && (w[i].find('=') != std::string::npos || w[i] == "choose" ||
                                        w[i] == "change"))
                    step.args.push_back(w[i++]);
            } else if (what != "show") {
                goto bad;
            }
        } else if (step.word == "update") {
            if (i < w.size() && w[i] == "check") step.args.push_back(w[i++]);
        } else if (auto it = fixedArity.find(step.word); it != fixedArity.end()) {
            for (int n = 0; n < it->second; ++n) {
                if (i >= w.size()) goto bad;
                step.args.push_back(w[i++]);
            }
        } else {
            err_ << "tolvane: unknown command " << step.word << "\n";
            PrintUsage(err_);
            return false;
        }
        steps->push_back(step);
        continue;
    bad:
        err_ << "tolvane: " << step.word << ": missing or wrong arguments (see --help)\n";
        return false;
    }
    for (const Step& step : *steps) {
        const std::string& a = step.args.empty() ? std::string() : step.args[0];
        bool ok = true;
        if (step.word == "scan") ok = ScanWords().count(a) > 0;
        if (step.word == "ignore") ok = a == "checked" || a == "list";
        if (step.word == "unignore") ok = a == "all";
        if (step.word == "remove") ok = a == "checked" || a == "selected" || a == "all";
        if (step.word == "select")
            ok = a == "all" || a == "none" || a == "inverse" || a == "vendor" || a == "type";
        if (!ok) {
            err_ << "tolvane: " << step.word << " " << a << ": not a choice (see --help)\n";
            return false;
        }
    }
    return true;
}

bool Session::RunStep(const Step& step) {
    const std::string a = step.args.empty() ? "" : step.args[0];
    MainController& c = controller();
    if (step.word == "scan") {
        c.Execute(ScanWords().at(a));
        bool started = c.WorkerRunning();
        WaitForScan();
        if (started) {
            listed_ = c.results().size();
            PrintScanResult();
        }
        return true;
    }
    if (step.word == "start") {
        // The Start button: a scan in the stored mode (a Smart Scan on a
        // machine that never chose one), or Stop while one runs.
        bool wasScanning = c.Scanning();
        c.Execute(MainCommand::StartStop);
        bool started = !wasScanning && c.WorkerRunning();
        WaitForScan();
        if (started) {
            listed_ = c.results().size();
            PrintScanResult();
        }
        return true;
    }
    if (step.word == "stop") {
        if (c.Scanning()) c.Execute(MainCommand::StartStop);
        WaitForScan();
        return true;
    }
    if (step.word == "list") {
        PrintRows(true);
        return true;
    }
    if (step.word == "select") return Select(step);
    if (step.word == "ignore" && a == "checked") {
        size_t before = c.results().size();
        c.AddCheckedToIgnoreList();
        Print(std::to_string(before - c.results().size()) + " objects added to the ignore list " +
              app_->ignoreList().FilePath());
        return true;
    }
    if (step.word == "ignore" && a == "list") {
        for (const IgnoreEntry& e : app_->ignoreList().Entries())
            Print(e.name + "\t" + ObjectTypeText(e.type) + "\t" + e.objectText);
        Print(std::to_string(app_->ignoreList().Size()) + " entries in " +
              app_->ignoreList().FilePath());
        return true;
    }
    if (step.word == "unignore") {
        bool opened = false;
        views_.onIgnoreList = [&](IgnoreListDialog& dialog) {
            opened = true;
            dialog.SelectAll();
            dialog.RemoveCheckedFromIgnoreList();  // "Delete"
        };
        c.Execute(MainCommand::IgnoreList);
        views_.onIgnoreList = nullptr;
        if (opened) Print("ignore list emptied: " + app_->ignoreList().FilePath());
        return opened;
    }
    if (step.word == "summary") {
        if (!c.ControlEnabled(ControlId::ObjectsFound)) {
            err_ << "tolvane: summary: no scan has ended yet (\"Objects found\" is disabled)\n";
            return false;
        }
        c.Execute(MainCommand::ObjectsFound);
        return true;
    }
    if (step.word == "details") {
        char* end = nullptr;
        unsigned long row = std::strtoul(a.c_str(), &end, 10);
        if (a.empty() || *end || row < 1 || row > c.results().size()) {
            err_ << "tolvane: details: no row " << a << " (the list has " << c.results().size()
                 << " rows)\n";
            return false;
        }
        c.ShowResultDetails(row - 1);
        return true;
    }
    if (step.word == "settings") return Settings(step);
    // While the prefix's wineserver runs the removal and the restore are
    // refused (the message says how to stop it), and a removal that started
    // Wine itself may leave it running with the later changes refused: the
    // command failed, whatever it printed.
    if (step.word == "remove") {
        bool refused = machine_->registry().WineServerRunning();
        c.Execute(a == "all" ? MainCommand::RemoveAll : MainCommand::RemoveSelected);
        return !refused && !machine_->registry().WineServerRunning();
    }
    if (step.word == "restore") {
        bool refused = machine_->registry().WineServerRunning();
        c.Execute(MainCommand::RestoreBackup);
        return !refused;
    }
    // Words that press one button or menu item and print nothing themselves.
    static const std::map<std::string, MainCommand> plainCommands = {
        {"backup", MainCommand::BackupQuarantine},
        {"advanced", MainCommand::AdvancedBhoScan},
        {"update", MainCommand::CheckUpdates},
        {"about", MainCommand::About},
    };
    if (auto plain = plainCommands.find(step.word); plain != plainCommands.end()) {
        c.Execute(plain->second);
        return true;
    }
    if (step.word == "logfile") {
        if (app_->scan().LogPath().empty()) {
            c.Execute(MainCommand::ShowLogfile);  // its message
        } else {
            Print("Log: " + app_->scan().LogPath());
        }
        return true;
    }
    return false;
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

bool Session::Settings(const Step& step) {
    SettingsStore& store = app_->settings();
    const std::string& what = step.args[0];
    auto flag = [](const std::string& value) {
        return value == "1" || value == "on" || value == "yes" || value == "true";
    };
    if (what == "get") {
        Print(step.args[1] + "=" + store.ReadString(step.args[1]));
        return true;
    }
    if (what == "set") {
        store.WriteString(step.args[1], Utf8ToCp1252(step.args[2]));
        Print(step.args[1] + "=" + store.ReadString(step.args[1]));
        return true;
    }
    bool bad = false;
    std::vector<std::pair<std::string, std::string>> pairs;
    std::vector<std::string> clicks;
    for (size_t i = 1; i < step.args.size(); ++i) {
        size_t eq = step.args[i].find('=');
        if (eq == std::string::npos)
            clicks.push_back(step.args[i]);
        else
            pairs.emplace_back(step.args[i].substr(0, eq), step.args[i].substr(eq + 1));
    }
    if (what == "general") {
        views_.onGeneralSettings = [&](GeneralSettingsWindow& w) {
            for (const auto& [key, value] : pairs) {
                if (key == "runatstartup") {
                    w.ClickRunAtStartUp(flag(value));
                } else if (key == "removeafterscan") {
                    w.ClickRemoveAfterScan(flag(value));
                } else if (key == "startup") {
                    static const std::map<std::string, int> modes = {
                        {"smart", 1}, {"custom", 2}, {"folders", 3}, {"none", 4}, {"0", 0},
                        {"1", 1},     {"2", 2},      {"3", 3},       {"4", 4}};
                    auto it = modes.find(value);
                    if (it == modes.end())
                        bad = true;
                    else
                        w.ChooseStartUp(it->second);
                } else {
                    bad = true;
                }
            }
            for (const std::string& click : clicks) {
                if (click == "choose") w.ClickChoose();
                if (click == "change") w.ClickChange();
            }
        };
        controller().Execute(MainCommand::GeneralSettings);
        views_.onGeneralSettings = nullptr;
    } else if (what == "scan") {
        static const std::map<std::string, int> boxes = {
            {"active", ScanSettingsWindow::kActive}, {"registry", ScanSettingsWindow::kRegistry},
            {"deep", ScanSettingsWindow::kDeep},     {"drives", ScanSettingsWindow::kDrives},
            {"iefav", ScanSettingsWindow::kIeFav},   {"hosts", ScanSettingsWindow::kHosts}};
        views_.onScanSettings = [&](ScanSettingsWindow& w) {
            for (const auto& [key, value] : pairs) {
                auto it = boxes.find(key);
                if (it == boxes.end())
                    bad = true;
                else
                    w.SetChecked(it->second, flag(value));
            }
            for (const std::string& click : clicks)
                if (click == "choose") w.ClickChoose();
        };
        controller().Execute(MainCommand::ScanSettings);
        views_.onScanSettings = nullptr;
    }
    if (bad) {
        err_ << "tolvane: settings " << what << ": unknown setting or value (see --help)\n";
        return false;
    }
    for (const SettingInfo& info : SettingsTable())
        Print(std::string(info.name) + "=" + store.ReadString(info.name));
    for (const char* list : {kCustomScanFolderList, kDrivesAndFoldersList}) {
        std::vector<std::string> folders = store.ReadFolderList(list);
        for (size_t i = 0; i < folders.size(); ++i)
            Print(std::string(list) + std::to_string(i + 1) + "=" + folders[i]);
    }
    return true;
}

}  // namespace

int RunHeadless(const HeadlessOptions& options, std::ostream& out, std::ostream& err) {
    Session session(options, out, err);
    return session.Run();
}

}  // namespace tolvane
