#include "app/main_controller.h"

#include <vector>

#include "app/views/details.h"
#include "app/views/folder_chooser.h"
#include "app/views/ignore_list_dialog.h"
#include "app/views/settings_windows.h"
#include "app/views/ui_thread.h"
#include "app/views/views.h"
#include "definitions/threat_database.h"
#include "discovery/shipped_data.h"
#include "machine/machine.h"
#include "scan/ignore_list.h"
#include "settings/settings_store.h"

namespace tolvane {
namespace {

constexpr const char* kStart = "Start";
constexpr const char* kStop = "Stop";

// A scan mode's name as the Scan menu gives it; "" for no mode.
const char* ScanModeName(int mode) {
    switch (static_cast<ScanMode>(mode)) {
        case ScanMode::Smart:
            return "Smart Scan";
        case ScanMode::Custom:
            return "Custom Scan";
        case ScanMode::DrivesAndFolders:
            return "Drives & Folders scan";
        case ScanMode::Registry:
            return "Registry scan";
        case ScanMode::Memory:
            return "Memory scan";
        case ScanMode::Files:
            return "Files scan";
    }
    return "";
}

}  // namespace

MainController::MainController(Machine& machine, SettingsStore& settings, ThreatDatabase& database,
                               IgnoreList& ignoreList, ScanSource& scan, ControllerViews views,
                               ControllerFlows flows)
    : machine_(machine),
      settings_(settings),
      database_(database),
      ignoreList_(ignoreList),
      scan_(scan),
      views_(views),
      flows_(std::move(flows)),
      handOver_(views.ui,
                [this](const ScanSnapshot& shown) { ShowProgress(shown, nullptr, false); }) {
    texts_[ControlId::StartStop] = kStart;
    for (ControlId id : {ControlId::StartStop, ControlId::Backup, ControlId::Remove,
                         ControlId::Update, ControlId::ObjectsFound})
        enabled_[id] = true;
    enabled_[ControlId::ShowLogfile] = true;
}

MainController::~MainController() {
    // The face let the worker run out (BeginShutdown); a worker still
    // running here would outlive the engine.
    shuttingDown_ = true;
    if (scan_.WorkerRunning()) {
        scan_.RequestStop();
        scan_.JoinWorker();
    }
}

void MainController::InitialiseControls() {
    SetText(ControlId::StartStop, kStart);
    SetScanButtons(true);
    Enable(ControlId::StartStop, true);
    Enable(ControlId::ObjectsFound, false);
    menuEnabled_[MainCommand::CheckUpdates] = true;
    views_.window.EnableMenuItem(MainCommand::CheckUpdates, true);
    views_.window.SetProgressRange(0, 100);
}

void MainController::ClearScanDisplay() {
    for (ControlId control :
         {ControlId::ObjectsScanned, ControlId::MemoryCounter, ControlId::RegistryCounter,
          ControlId::FoldersCounter, ControlId::FilesCounter})
        SetText(control, "0");
    lastShown_.clear();
    views_.window.SetProgressRange(0, 100);
    SetProgress(0);
}

// --- Small helpers ---------------------------------------------------------

void MainController::SetText(ControlId control, const std::string& text) {
    texts_[control] = text;
    views_.window.SetControlText(control, text);
}

void MainController::Enable(ControlId control, bool enabled) {
    enabled_[control] = enabled;
    views_.window.EnableControl(control, enabled);
}

void MainController::SetScanButtons(bool enabled) {
    for (ControlId id :
         {ControlId::Backup, ControlId::Update, ControlId::Remove, ControlId::ObjectsFound})
        Enable(id, enabled);
    menuEnabled_[MainCommand::CheckUpdates] = enabled;
    views_.window.EnableMenuItem(MainCommand::CheckUpdates, enabled);
}

void MainController::SetProgress(int position) {
    progressPosition_ = position;
    views_.window.SetProgressPosition(position);
}

void MainController::Message(const std::string& text) {
    views_.messages.Ask({kProductName, text, PromptButtons::Ok, PromptIcon::Information});
}

bool MainController::RefuseWhileScanning() {
    if (!Scanning() && scan_.WorkerRunning() && lastMessageHandled_) {
        // The worker has sent its last message and only returns: the scan is
        // over, as the window already says ("Finished scanning...").
        scan_.JoinWorker();
    }
    if (!scan_.WorkerRunning() && !Scanning()) return false;
    Message(kBusyScanningMessage);
    return true;
}

bool MainController::Scanning() const {
    auto it = texts_.find(ControlId::StartStop);
    return it != texts_.end() && it->second != kStart;
}

bool MainController::WorkerRunning() const {
    return scan_.WorkerRunning();
}

std::string MainController::ControlText(ControlId control) const {
    auto it = texts_.find(control);
    return it == texts_.end() ? std::string() : it->second;
}

bool MainController::ControlEnabled(ControlId control) const {
    auto it = enabled_.find(control);
    return it == enabled_.end() || it->second;
}

bool MainController::MenuItemEnabled(MainCommand command) const {
    // Only "Check &Updates" is greyed, and only while the button reads "Stop".
    if (command == MainCommand::CheckUpdates) return !Scanning();
    return true;
}

void MainController::SetTitle(const std::string& title) {
    views_.window.SetTitle(title);
}

void MainController::EndWindow() {
    if (windowEnded_) return;
    windowEnded_ = true;
    views_.window.EndWindow();
}

void MainController::BeginShutdown() {
    shuttingDown_ = true;
    if (scan_.WorkerRunning()) scan_.RequestStop();
}

// --- Commands ----------------------------------------------------------------

void MainController::Execute(MainCommand command) {
    if (ExecuteScanCommand(command) || ExecuteFlowCommand(command)) return;
    ExecuteWindowCommand(command);
}

// The Scan menu and the Start/Stop button.
bool MainController::ExecuteScanCommand(MainCommand command) {
    switch (command) {
        case MainCommand::SmartScan:
            ScanCommand(ScanMode::Smart);
            return true;
        case MainCommand::CustomScan:
            ScanCommand(ScanMode::Custom);
            return true;
        case MainCommand::DrivesAndFolders:
            ScanCommand(ScanMode::DrivesAndFolders);
            return true;
        case MainCommand::RegistryScan:
            ScanCommand(ScanMode::Registry);
            return true;
        case MainCommand::MemoryScan:
            ScanCommand(ScanMode::Memory);
            return true;
        case MainCommand::FilesScan:
            ScanCommand(ScanMode::Files);
            return true;
        case MainCommand::StartStop:
            PressStart();
            return true;
        default:
            return false;
    }
}

// The commands that hand over to another subsystem's flow.
bool MainController::ExecuteFlowCommand(MainCommand command) {
    switch (command) {
        case MainCommand::AdvancedBhoScan:
            if (RefuseWhileScanning()) return true;
            if (flows_.advancedScan) flows_.advancedScan();
            return true;
        case MainCommand::RemoveAll:
        case MainCommand::RemoveSelected:
        case MainCommand::Remove:
            if (RefuseWhileScanning()) return true;
            if (command == MainCommand::Remove && !ControlEnabled(ControlId::Remove)) return true;
            if (flows_.runRemoval) flows_.runRemoval(command == MainCommand::RemoveAll);
            return true;
        case MainCommand::BackupQuarantine:
        case MainCommand::Backup:
            if (RefuseWhileScanning()) return true;
            if (command == MainCommand::Backup && !ControlEnabled(ControlId::Backup)) return true;
            if (flows_.backup) flows_.backup();
            return true;
        case MainCommand::RestoreBackup:
            if (RefuseWhileScanning()) return true;
            if (flows_.restoreBackup) flows_.restoreBackup();
            return true;
        case MainCommand::OpenMachine:
            if (RefuseWhileScanning()) return true;
            if (flows_.openMachine) flows_.openMachine();
            return true;
        case MainCommand::CheckUpdates:
        case MainCommand::Update:
            // Both are greyed while a scan runs.
            if (Scanning() || !ControlEnabled(ControlId::Update)) return true;
            if (flows_.updateDialog) flows_.updateDialog();
            return true;
        default:
            return false;
    }
}

// Settings, logs, help and the window itself.
void MainController::ExecuteWindowCommand(MainCommand command) {
    SettingsContext settingsContext{settings_, machine_.files(), views_.dialogs, views_.chooser,
                                    &views_.messages};
    switch (command) {
        case MainCommand::GeneralSettings:
            RunGeneralSettings(settingsContext);
            return;
        case MainCommand::ScanSettings:
            RunScanSettings(settingsContext);
            return;
        case MainCommand::IgnoreList:
            ShowIgnoreListDialog();
            return;

        case MainCommand::ShowLogfiles:
            OpenWithShell(SettingsStore::ApplicationFolder() + "\\Logs");
            return;
        case MainCommand::ShowLogfile: {
            std::string log = scan_.LogPath();
            if (log.empty())
                Message(kNoLogFileMessage);
            else
                OpenWithShell(log);
            return;
        }
        case MainCommand::ObjectsFound:
            if (ControlEnabled(ControlId::ObjectsFound)) ShowSummary();
            return;
        case MainCommand::OnlineHelp:
            OpenDocumentation();
            return;
        case MainCommand::About:
            views_.dialogs.ShowAbout(std::string("About Tolvane ") + kProgramVersion,
                                     settings_.ReadString(setting::kWebSite));
            return;
        case MainCommand::Exit:
            EndWindow();
            return;
        case MainCommand::Cancel:
            return;  // Escape never closes the window
        default:
            return;
    }
}

void MainController::OpenDocumentation() {
    const std::string documentation = InstalledDocumentation();
    if (documentation.empty())
        Message(kNoDocumentationMessage);
    else if (!machine_.launcher().OpenHostDocument(documentation))
        Message(std::string(kOpenFailedMessage) + "file://" + documentation);
}

void MainController::OpenWebPage(const std::string& address) {
    // An address the machine's registry or database names: only a web page
    // opens, never a program or a local document.
    if (!machine_.launcher().OpenWebAddress(address))
        Message(std::string(kOpenFailedMessage) + address);
}

void MainController::OpenWithShell(const std::string& target) {
    if (machine_.launcher().ShellExecute("open", target, "")) return;
    // Nothing on this desktop opens it: the user gets where it is, and for a
    // path of the machine also where that lies on this computer.
    std::string where = target;
    if (target.size() > 2 && target[1] == ':') {
        if (std::optional<std::string> host = machine_.files().ToHostPath(target))
            where += "\n" + *host;
    }
    Message(std::string(kOpenFailedMessage) + where);
}

void MainController::ScanCommand(ScanMode mode) {
    // The worker reads the mode when it begins, so it is stored first, even
    // when the dialog is then cancelled.
    settings_.WriteInt(setting::kLastScanMode, static_cast<int>(mode));
    if (mode == ScanMode::Custom) {
        SettingsContext context{settings_, machine_.files(), views_.dialogs, views_.chooser};
        if (!RunScanSettings(context)) return;
    } else if (mode == ScanMode::DrivesAndFolders) {
        if (!ChooseDrivesAndFolders()) return;
    }
    if (RefuseNoFolderChosen()) return;
    StartOrStopScan();
}

bool MainController::RefuseNoFolderChosen() {
    // A Drives & Folders scan of no folder would scan nothing and pass for
    // a clean machine. (The -s start keeps its silent scan of the list.)
    noFolderChosen_ =
        settings_.ReadInt(setting::kLastScanMode) == static_cast<int>(ScanMode::DrivesAndFolders) &&
        settings_.ReadFolderList(kDrivesAndFoldersList).empty();
    if (noFolderChosen_) Message(kNoFolderChosenMessage);
    return noFolderChosen_;
}

void MainController::PressStart() {
    // A machine that never chose a mode stores none: Start would scan
    // nothing and report a clean machine. It runs a Smart Scan instead.
    if (!Scanning()) {
        int mode = settings_.ReadInt(setting::kLastScanMode);
        if (mode < static_cast<int>(ScanMode::Smart) || mode > static_cast<int>(ScanMode::Files))
            settings_.WriteInt(setting::kLastScanMode, static_cast<int>(ScanMode::Smart));
        if (RefuseNoFolderChosen()) return;
    }
    StartOrStopScan();
}

bool MainController::ChooseDrivesAndFolders() {
    return EditFolderList(kDrivesAndFoldersList, machine_.files(), settings_, views_.chooser);
}

void MainController::StartOrStopScan() {
    if (Scanning()) {
        SetText(ControlId::StartStop, kStart);
        SetText(ControlId::StatusLine, "Scan stopped by user");
        scan_.RequestStop();
        SetScanButtons(true);
        return;
    }
    if (scan_.WorkerRunning()) {
        // The stopped scan's worker is still finishing: start once its last
        // message has come (OnWorkerFinished).
        pendingStart_ = true;
        return;
    }
    const int mode = settings_.ReadInt(setting::kLastScanMode);
    SetText(ControlId::StartStop, kStop);
    SetText(ControlId::StatusLine, std::string(kStartingPrefix) + ScanModeName(mode) + "...");
    // The rows point at the last scan's objects, which the new worker
    // destroys first: empty the list before it starts.
    results_.Clear();
    if (flows_.resultsCleared) flows_.resultsCleared();
    SetScanButtons(false);
    lastMessageHandled_ = false;
    if (!scan_.StartWorker(this)) {
        SetText(ControlId::StartStop, kStart);
        SetScanButtons(true);
    }
}

void MainController::StartUpScan() {
    int mode = settings_.ReadInt(setting::kStartUpScanMode);
    if (mode < static_cast<int>(ScanMode::Smart) ||
        mode > static_cast<int>(ScanMode::DrivesAndFolders))
        return;
    settings_.WriteInt(setting::kLastScanMode, mode);
    StartOrStopScan();
}

// --- The worker's messages -------------------------------------------------

void MainController::OnScanProgress(ScanProgress kind, DetectedObject* object) {
    if (shuttingDown_) return;
    // The worker itself sets the finished flag before its last message.
    if (kind != ScanProgress::NewObject && !object && !scan_.ScanFinished()) {
        handOver_.Step(scan_.Counters(), scan_.ProgressUnits(), scan_.CurrentItem());
        return;
    }
    handOver_.Send([this, object] { HandleScanProgress(object); });
}

void MainController::OnScanPhase(int phase) {
    if (shuttingDown_) return;
    handOver_.Send([this, phase] { HandleScanPhase(phase); });
}

void MainController::HandleScanPhase(int phase) {
    SetProgress(100);
    phase_ = phase;
    if (phase >= 0 && phase <= 4) {
        views_.window.SetProgressRange(0, 100);
        SetProgress(0);
    }
}

void MainController::HandleScanProgress(DetectedObject* object) {
    ScanSnapshot live{scan_.Counters(), scan_.ProgressUnits(), scan_.CurrentItem(), 0};
    live.barSteps = live.counters.objectsScanned % 10 == 0 ? 1 : 0;
    ShowProgress(live, object, scan_.ScanFinished());
}

void MainController::ShowProgress(const ScanSnapshot& shown, DetectedObject* object,
                                  bool finished) {
    const ScanCounterValues& counters = shown.counters;
    const std::pair<ControlId, int> typeCounters[] = {
        {ControlId::FilesCounter, counters.filesRecognised},
        {ControlId::FoldersCounter, counters.foldersRecognised},
        {ControlId::MemoryCounter, counters.processesRecognised},
        {ControlId::RegistryCounter,
         counters.registryKeysRecognised + counters.registryValuesRecognised},
    };
    for (const auto& [control, value] : typeCounters) {
        auto shown = lastShown_.find(control);
        if (shown != lastShown_.end() && shown->second == value) continue;
        lastShown_[control] = value;
        SetText(control, std::to_string(value));
    }
    std::string scanned = std::to_string(counters.objectsScanned);

    auto moveTo = [this](int position) {
        if (position > 100) position = 100;
        if (position != progressPosition_) SetProgress(position);
    };
    switch (phase_) {
        case 0:
        case 1:
            moveTo(shown.progressUnits / 160);
            break;
        case 2:
        case 3:
            // One step per such message; from 100 the bar starts again at 1.
            if (shown.barSteps > 0) {
                int position = progressPosition_;
                for (int i = 0; i < shown.barSteps; ++i)
                    position = position + 1 >= 100 ? 1 : position + 1;
                SetProgress(position);
            }
            break;
        case 4:
            moveTo(shown.progressUnits / 1800);
            break;
        default:
            break;
    }
    SetText(ControlId::ObjectsScanned, scanned);
    // Reading file contents is the slow part of a walk: how far it has
    // come leads the line.
    const ContentCounts* content = scan_.ContentPhaseCounts();
    const std::string reading = content ? content->ProgressText() : "";
    SetText(ControlId::StatusLine,
            reading.empty() ? shown.currentItem : reading + "  " + shown.currentItem);

    if (object) {
        results_.AddResultRow(
            MakeResultRow(object->definition, object->objectText, object->type, object));
    }

    if (finished) {
        SetText(ControlId::StartStop, kStart);
        SetScanButtons(true);
        const std::string note = scan_.Note();
        SetText(ControlId::StatusLine,
                note.empty() ? "Finished scanning..." : "Finished scanning...  " + note);
        SetProgress(100);
        if (settings_.ReadInt(setting::kRemoveAfterScan) != 0) {
            if (flows_.runRemoval) flows_.runRemoval(false);
            scan_.ClearScanFinished();
        }
        OnWorkerFinished();
        // Set last: the worker waits for this handler to return, so a join
        // from inside it (RemoveAfterScan's removal) would never end.
        lastMessageHandled_ = true;
    }
    if (scan_.StopRequested()) SetText(ControlId::StatusLine, "Scanning stopped by user");
}

void MainController::OnWorkerFinished() {
    // The worker returns right after this message; a start asked for in the
    // meantime runs once it has.
    views_.ui.Post([this] {
        scan_.JoinWorker();
        if (pendingStart_ && !shuttingDown_ && !windowEnded_) {
            pendingStart_ = false;
            StartOrStopScan();
        }
    });
}

// --- Results list, ignore list, summary and details ------------------------

std::vector<ListMenuItem> MainController::OpenResultsMenu(bool clickedOnRow,
                                                          std::optional<size_t> highlightedRow) {
    return results_.OpenContextMenu(clickedOnRow, highlightedRow);
}

void MainController::RunResultsMenuCommand(ListMenuCommand command) {
    if (results_.RunSelectionCommand(command)) return;
    if (command == ListMenuCommand::AddSelectionToIgnoreList) {
        AddCheckedToIgnoreList();
    } else if (command == ListMenuCommand::ObjectDetails) {
        if (auto row = results_.rememberedRow(); row && *row < results_.size())
            ShowResultDetails(*row);
    }
}

void MainController::AddCheckedToIgnoreList() {
    if (RefuseWhileScanning()) return;
    // By name in the database as it is now: definitions loaded anew (an
    // update) leave the scan's own pointers behind.
    const auto byName = DefinitionsByName(database_);
    std::vector<size_t> checked;
    for (size_t position = 0; position < results_.size(); ++position) {
        const ListRow& row = results_.rows()[position];
        if (!row.checked) continue;
        if (const DetectedObject* object = row.detected) {
            auto found = byName.find(row.vendor);
            ignoreList_.Add(found == byName.end() ? nullptr : found->second, row.vendor,
                            object->objectText, object->type);
        }
        checked.push_back(position);
    }
    results_.RemoveRows(checked);
    if (!ignoreList_.Save())
        views_.messages.Ask(
            {kProductName,
             ignoreList_.SaveFailure() + " The objects are ignored until Tolvane ends.",
             PromptButtons::Ok, PromptIcon::Warning});
}

void MainController::ShowResultDetails(size_t row) {
    if (row >= results_.size()) return;
    views_.dialogs.ShowObjectDetails(MakeObjectDetails(results_.rows()[row], database_, false));
}

void MainController::ShowSummary() {
    ScanCounterValues c = scan_.Counters();
    SummaryCounts counts;
    counts.registryKeysRecognised = c.registryKeysRecognised;
    counts.registryValuesRecognised = c.registryValuesRecognised;
    counts.foldersRecognised = c.foldersRecognised;
    counts.filesRecognised = c.filesRecognised;
    counts.processesRecognised = c.processesRecognised;
    counts.objectsIgnored = c.objectsIgnored;
    counts.objectsNew = c.objectsNew;
    views_.dialogs.ShowSummary(MakeSummary(counts));
}

void MainController::ShowIgnoreListDialog() {
    if (RefuseWhileScanning()) return;
    IgnoreListDialog dialog(ignoreList_, database_);
    views_.dialogs.RunIgnoreList(dialog);
}

}  // namespace tolvane
