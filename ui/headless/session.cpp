// The headless session: opening the machine, start-up, the run of the
// commands and what it prints.
#include "ui/headless/session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <csignal>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string_view>

#include "app/application.h"
#include "app/command_line.h"
#include "app/views/scripted_views.h"
#include "base/codepage.h"
#include "definitions/threat_database.h"
#include "discovery/shipped_data.h"
#include "host/host_files.h"
#include "host/privileges.h"
#include "machine/machine.h"
#include "scan/content_check.h"
#include "scan/detected_object.h"
#include "ui/headless/headless.h"
#include "update/update_client.h"
#include "update/update_event_loop.h"

namespace tolvane {
namespace {

std::atomic<bool> gInterrupted{false};
void OnInterrupt(int) {
    gInterrupted.store(true);
}

std::string Utf8(std::string_view text) {
    return Cp1252ToUtf8(text);
}

nlohmann::json CountersJson(const ScanCounterValues& counters) {
    nlohmann::json json = nlohmann::json::object();
    for (const ScanCounterField& field : kScanCounterFields)
        json[field.name] = counters.*field.value;
    return json;
}

// What a row is, in the words `select type` takes: file, folder,
// registry-key, registry-value, host; a running program's rows are process
// (the file it runs) or module (one it loaded).
std::string RowKind(const ListRow& row) {
    if (row.detected && row.detected->foundAs == FoundAs::Process) return "process";
    if (row.detected && row.detected->foundAs == FoundAs::Module) return "module";
    for (ObjectType type : kObjectTypes) {
        if (row.type != ObjectTypeText(type)) continue;
        if (type == ObjectType::HostFileItem) return "host";
        std::string kind = ObjectTypeText(type);
        for (char& ch : kind) ch = ch == ' ' ? '-' : static_cast<char>(std::tolower(ch));
        return kind;
    }
    return "";
}

nlohmann::json ContentJson(const ContentCounts* source) {
    if (!source) return nullptr;
    const ContentCounts& counts = *source;
    nlohmann::json skipped = nlohmann::json::object();
    for (size_t i = 0; i < kContentSkipKinds; ++i)
        skipped[ContentSkipName(static_cast<ContentSkip>(i))] = counts.skipped[i].load();
    return {{"filesChecked", counts.checked.load()},
            {"bytesRead", counts.bytes.load()},
            {"matched", counts.matched.load()},
            {"skipped", skipped}};
}

}  // namespace

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

Session::Session(const HeadlessOptions& options, std::ostream& out, std::ostream& err)
    : options_(options), out_(out), err_(err) {}

Session::~Session() = default;

void Session::Print(const std::string& line) {
    if (options_.json)
        output_.push_back(Utf8(line));
    else
        out_ << Utf8(line) << "\n";
}

// A log kept on the host (an installation's) is named by its host path.
static bool LogOnHost(const std::string& logPath) {
    return !logPath.empty() && logPath[0] == '/';
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
    if (!OpenMachine()) return kExitFailure;
    InstallShippedFiles(*machine_, err_);
    ConfigureViews();
    if (!StartApplication(steps)) return kExitFailure;
    int status = RunCommands(steps);
    PrintDocument();
    Shutdown();
    return status;
}

bool Session::OpenMachine() {
    std::ostringstream openErrors;
    machine_ = OpenHeadlessMachine(options_, options_.json ? openErrors : err_, &privileges_);
    if (machine_) return true;
    // A script reading the document learns why as well as the status.
    err_ << openErrors.str();
    std::string why = openErrors.str();
    while (!why.empty() && why.back() == '\n') why.pop_back();
    messages_.push_back(Utf8(why));
    PrintFailureDocument(why);
    return false;
}

void ScriptViews(const HeadlessOptions& options, Machine& machine, ScriptedViews& views) {
    // The save dialog's checks, on the machine's drives.
    // A Linux path no drive covers is the user's own file on the host.
    views.folderExists = [&machine](const std::string& folder) {
        return folder.starts_with('/') ? IsHostFolder(folder) : machine.files().IsFolder(folder);
    };
    views.fileExists = [&machine](const std::string& path) {
        struct stat st;
        return path.starts_with('/') ? lstat(path.c_str(), &st) == 0
                                     : machine.files().PathFileExists(path);
    };

    views.script.answers.assign(options.answers.begin(), options.answers.end());
    views.script.fallback = options.fallback == 1   ? ScriptedViews::Fallback::Yes
                            : options.fallback == 2 ? ScriptedViews::Fallback::No
                                                    : ScriptedViews::Fallback::Default;
    // The file dialogs show the machine's drives; a Linux path given instead
    // ("/tmp/b.zip") is taken through the drive that covers it (Z: in a
    // Wine-made prefix), as the dialog would have shown it.
    auto windowsPaths = [&machine](const std::vector<std::string>& paths) {
        std::deque<std::string> mapped;
        for (const std::string& path : paths)
            mapped.push_back(path.starts_with('/') ? machine.files().ToWindowsPath(path) : path);
        return mapped;
    };
    views.script.saveAs = windowsPaths(options.saveAs);
    views.script.open = windowsPaths(options.open);
}

void Session::ConfigureViews() {
    ScriptViews(options_, *machine_, views_);
    if (options_.haveFolders) views_.script.folders = options_.folders;
    views_.echo = [this](const std::string& line) {
        if (options_.json)
            messages_.push_back(Utf8(line));
        else
            out_ << Utf8(line) << "\n" << std::flush;
    };
    // A line redrawn in place is for a person at a terminal, never for a
    // script reading the output.
    progressLine_ = isatty(STDERR_FILENO) == 1 && isatty(STDOUT_FILENO) == 1 && !options_.json;
    views_.onText = [this](ControlId control, const std::string& text) {
        if (!progressLine_ || control != ControlId::StatusLine || !app_) return;
        // The status line carries the content check's progress.
        std::string line =
            views_.ControlText(ControlId::ObjectsScanned) + " scanned  " + Utf8(text);
        if (line.size() > 100) line = line.substr(0, 97) + "...";
        err_ << "\r\x1b[K" << line << std::flush;
    };
}

void Session::ConfigureUpdates(const std::vector<Step>& steps, ApplicationOptions* appOptions) {
    for (const Step& step : steps)
        if (std::string(step.command->word) == "update") updatesConfigured_ = true;
    if (!updatesConfigured_) return;
    UpdateServiceOptions service;
    service.machine = machine_.get();
    updateService_ = std::make_unique<UpdateService>(service);
    updateHost_ = std::make_unique<HeadlessUpdates>(views_);
    updates_ = std::make_unique<UpdateClient>(*updateService_, *updateHost_);
    appOptions->flows.updateDialog = [this] {
        updates_->SetVersions(std::atof(kProgramVersion), app_->database().version());
        updates_->SetDefinitionsDate(app_->database().date());
        UpdateWindow window(*updates_, *updateHost_);
        PostingUpdateSink sink([this](std::function<void()> task) { ui_.Post(std::move(task)); },
                               window);
        views_.echo(std::string("[dialog] ") + update_texts::kWindowTitle);
        window.Open(&sink);
        ui_.RunUntil([&] { return window.closed() || !updateService_->Busy(); });
        sink.Disconnect();
        updateFailed_ = window.statusText() == update_texts::kUnableToConnect ||
                        window.statusText() == update_texts::kNoServerConfigured;
    };
}

bool Session::StartApplication(const std::vector<Step>& steps) {
    ApplicationOptions appOptions;
    ConfigureUpdates(steps, &appOptions);
    std::set<std::string> withValue(OptionsWithValue().begin(), OptionsWithValue().end());
    // The Windows line has the switches only: the commands were never on it.
    std::vector<std::string> beforeCommands;
    for (const std::string& a : options_.arguments) {
        if (!options_.words.empty() && a == options_.words.front()) break;
        beforeCommands.push_back(a);
    }
    appOptions.commandLine = WindowsCommandLine(beforeCommands, withValue);
    appOptions.rightsNote = PrivilegesNote(privileges_);
    appOptions.removeOnlyAfterBackup = !options_.saveAs.empty();
    // The machine's databases are used only when they are the shipped ones
    // (or a verified update); the shipped files were installed (or not) by
    // the machine's set-up, so the start only holds the machine to them.
    appOptions.shippedReferenceFolder = ShippedDataFolder();
    appOptions.definitionsFile = options_.definitionsFile;
    appOptions.clamdSocket = options_.clamdSocket;
    char cwd[4096];
    appOptions.hostWorkingFolder = getcwd(cwd, sizeof cwd) ? cwd : "";
    app_ = std::make_unique<Application>(
        *machine_, ApplicationViews{{views_, views_, views_, views_, views_, ui_}, views_},
        appOptions);
    StartResult started = app_->Start();
    if (started == StartResult::Running) {
        controller().results().SetObserver(&views_);
        return true;
    }
    app_.reset();
    PrintFailureDocument(started == StartResult::AlreadyRunning
                             ? "another copy of Tolvane is running on this machine"
                             : "start-up failed");
    return false;
}

int Session::RunCommands(const std::vector<Step>& steps) {
    gInterrupted.store(false);
    auto previous = std::signal(SIGINT, OnInterrupt);
    app_->FirstTick();
    bool scanned = controller().WorkerRunning();
    WaitForScan();
    if (scanned) listed_ = controller().results().size();
    if (scanned && steps.empty()) PrintScanResult();

    int status = kExitOk;
    for (const Step& step : steps) {
        if (views_.ended || !views_.refusal.empty()) break;
        if (!(this->*step.command->run)(step)) {
            status = kExitFailure;
            break;
        }
    }
    std::signal(SIGINT, previous);
    if (!views_.refusal.empty()) {
        err_ << "tolvane: --answers: " << Utf8(views_.refusal)
             << "; the run stops there (that box and every later one took Cancel, else No)\n";
        messages_.push_back("--answers: " + Utf8(views_.refusal));
        return kExitUsage;
    }
    return status;
}

void Session::PrintDocument() {
    for (const std::string& unused : views_.UnusedAnswers())
        views_.echo("[answers] not used: " + unused);
    if (!options_.json) return;
    ScanCounterValues c = app_->scan().Counters();
    std::optional<std::string> logHost = machine_->files().ToHostPath(app_->scan().LogPath());
    nlohmann::json document = {
        {"rows", RowsJson()},
        {"counters", CountersJson(c)},
        {"content", ContentJson(app_->scan().ContentPhaseCounts())},
        {"logPath", Utf8(app_->scan().LogPath())},
        {"logHostPath", LogOnHost(app_->scan().LogPath())            ? app_->scan().LogPath()
                        : logHost && !app_->scan().LogPath().empty() ? *logHost
                                                                     : ""},
        {"stopped", app_->scan().StopRequested()},
        {"user", privileges_.userName},
        {"notes", NotesJson()},
        {"messages", messages_},
        {"output", output_},
    };
    out_ << document.dump(2) << "\n";
}

void Session::Shutdown() {
    out_.flush();
    controller().BeginShutdown();
    ui_.RunUntil([&] { return !controller().WorkerRunning(); });
    ui_.Close();
    app_.reset();
    if (updateService_) updateService_->Shutdown();
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

void Session::FinishScan(bool started) {
    WaitForScan();
    if (!started) return;
    listed_ = controller().results().size();
    PrintScanResult();
}

nlohmann::json Session::RowsJson() {
    nlohmann::json rows = nlohmann::json::array();
    for (const ListRow& row : controller().results().rows()) {
        nlohmann::json json = {{"vendor", Utf8(row.vendor)}, {"type", row.type},
                               {"kind", RowKind(row)},       {"category", Utf8(row.category)},
                               {"object", Utf8(row.object)}, {"danger", Utf8(row.danger)},
                               {"checked", row.checked}};
        if (row.detected && row.detected->content) {
            const ContentFinding& found = *row.detected->content;
            json["content"] = {{"source", found.source},
                               {"rule", Utf8(found.rule)},
                               {"offsets", found.offsets},
                               {"digest", found.digest},
                               {"description", Utf8(row.detected->definition
                                                        ? row.detected->definition->description
                                                        : std::string_view())}};
        }
        rows.push_back(std::move(json));
    }
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
    for (const ScanCounterField& field : kScanCounterFields)
        Print(std::string(field.name) + ": " + std::to_string(c.*field.value));
    // A log that could not be written is not named (the notes say so).
    if (!app_->scan().LogPath().empty()) Print("Log: " + app_->scan().LogPath());
    for (const std::string& note : app_->Notes()) Print(note);
}

nlohmann::json Session::NotesJson() {
    nlohmann::json notes = nlohmann::json::array();
    for (const std::string& note : app_->Notes()) notes.push_back(Utf8(note));
    return notes;
}

int RunHeadless(const HeadlessOptions& options, std::ostream& out, std::ostream& err) {
    if (!options.words.empty() && options.words[0] == "startup")
        return RunStartupCommand(options, out, err);
    Session session(options, out, err);
    return session.Run();
}

}  // namespace tolvane
