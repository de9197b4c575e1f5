#include "app/application.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/command_line.h"
#include "app/engine_scan_source.h"
#include "app/removal_connection.h"
#include "app/scan_source.h"
#include "app/script_connection.h"
#include "app/views/views.h"
#include "backup/backup_archive.h"
#include "backup/restore.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "discovery/shipped_data.h"
#include "machine/machine.h"
#include "removal/object_remover.h"
#include "removal/removal_flow.h"
#include "scan/ignore_list.h"
#include "settings/settings_store.h"

namespace tolvane {

Application::Application(Machine& machine, ApplicationViews views, ApplicationOptions options)
    : machine_(machine), views_(views), options_(std::move(options)) {}

Application::~Application() {
    // The controller stops and waits for a worker that is still running
    // before the engine it uses goes.
    controller_.reset();
    scan_.reset();
}

void Application::Pause(int milliseconds) {
    if (options_.pause) options_.pause(milliseconds);
}

void Application::InstallShippedData(Machine& machine, const std::string& shippedFolder) {
    if (shippedFolder.empty()) return;
    InstallShippedDatabases(machine, shippedFolder);
    InstallLauncher(machine, shippedFolder);
}

void Application::InstallLauncher(Machine& machine, const std::string& shippedFolder) {
    std::ifstream in(shippedFolder + "/" + kLauncherName, std::ios::binary);
    const std::string program = RunningProgramPath();
    if (!in || program.empty()) return;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    // Ours to keep current: replaced whenever it differs (a newer build, or a
    // file something else put in its place).
    FileSystem& files = machine.files();
    const std::string folder = SettingsStore::ApplicationFolder();
    const std::pair<std::string, std::string> wanted[] = {
        {folder + kLauncherName, bytes.str()},
        {folder + kLauncherHostFileName, program + "\n"},
    };
    for (const auto& [path, content] : wanted) {
        std::string present;
        if (!files.ReadWholeFile(path, &present) || present != content)
            files.WriteWholeFileAtomic(path, content);
    }
}

bool Application::LoadDefinitionsWithSplash() {
    LoadingView& splash = views_.loading;
    splash.ShowLoading();
    splash.SetLoadingStatus("Initializing...");
    Pause(100);
    splash.SetLoadingStatus("Searching for definition file.");
    const std::string path = SettingsStore::ApplicationFolder() + "database.db";
    if (!machine_.files().PathFileExists(path)) {
        splash.SetLoadingStatus("Definition file not found.");
        Pause(150);
    } else {
        Pause(300);
        splash.SetLoadingStatus("Loading definitions from file.");
        PlaceholderFolders folders = PlaceholderFolders::FromShell(machine_.shell());
        if (LoadDefinitions(machine_.files(), path, folders, database_.get())) {
            definitionsLoaded_ = true;
            Pause(100);
            Pause(300);
        } else {
            splash.SetLoadingStatus("Definitions not loaded.");
            definitionsLoaded_ = false;
        }
    }
    splash.CloseLoading();
    return true;
}

StartResult Application::Start() {
    Prompter& messages = views_.controller.messages;
    bool alreadyRunning = false;
    if (!lock_.Acquire(machine_.PrefixPath(), &alreadyRunning) && alreadyRunning) {
        messages.Ask(
            {kProductName, kAlreadyRunningMessage, PromptButtons::Ok, PromptIcon::Information});
        return StartResult::AlreadyRunning;
    }
    // A lock that cannot be had (no usable per-user folder, a planted link)
    // does not keep the program from running; the user hears of it.
    if (!lock_.held()) {
        messages.Ask(
            {kProductName, lock_.UnavailableMessage(), PromptButtons::Ok, PromptIcon::Information});
    }

    InstallShippedData(machine_, options_.shippedDataFolder);
    settings_ = std::make_unique<SettingsStore>(machine_.registry());
    database_ = std::make_unique<ThreatDatabase>();
    const std::string ignoreFolder =
        IgnoreList::CurrentFolder(machine_.files(), options_.hostWorkingFolder);
    // The working folder itself when a drive covers it, not its path mapped
    // back through drives the machine may have changed meanwhile.
    ignoreList_ = std::make_unique<IgnoreList>(
        machine_.files(), ignoreFolder,
        ignoreFolder == SettingsStore::ApplicationFolder() ? "" : options_.hostWorkingFolder);
    scan_ = options_.scanSource
                ? options_.scanSource(machine_, *settings_, *database_, *ignoreList_)
                : MakeEngineScanSource(machine_, *database_, *ignoreList_);
    controller_ = std::make_unique<MainController>(machine_, *settings_, *database_, *ignoreList_,
                                                   *scan_, views_.controller, options_.flows);
    ConnectFlows();
    definitionsLoaded_ = true;
    controller_->InitialiseControls();

    if (!LoadDefinitionsWithSplash() || database_->definitions().empty()) {
        messages.Ask(
            {kProductName, kUnableToLoadMessage, PromptButtons::Ok, PromptIcon::Information});
        controller_->EndWindow();
    }
    if (!definitionsLoaded_) {
        messages.Ask({kProductName, kDefinitionsNotLoadedMessage, PromptButtons::Ok,
                      PromptIcon::Information});
        controller_->EndWindow();
    }
    // The remaining steps run even after a close request, as the window only
    // closes once initialisation has returned.
    ignoreList_->Load(*database_);
    std::string status;
    for (const std::string& note : Notes()) status += (status.empty() ? "" : "  ") + note;
    if (!status.empty()) controller_->SetStatusText(status);
    controller_->SetTitle(std::string(kProductName) + " " + kProgramVersion);
    if (options_.flows.silentUpdateQuery)
        options_.flows.silentUpdateQuery(std::atof(kProgramVersion),
                                         std::atof(database_->version().c_str()));
    return controller_->WindowEnded() ? StartResult::Failed : StartResult::Running;
}

std::vector<std::string> Application::Notes() const {
    std::vector<std::string> notes;
    // A Windows installation: which one, and whose hive is HKEY_CURRENT_USER.
    if (!machine_.Description().empty()) notes.push_back(machine_.Description());
    // A damaged hive is read as far as it goes and refuses changes: a scan of
    // it cannot pass for a clean machine unsaid.
    const std::vector<std::string> damaged = machine_.registry().LoadProblems();
    for (size_t i = 0; i < damaged.size() && i < kShownRegistryProblems; ++i)
        notes.push_back("Registry damaged: " + damaged[i]);
    if (damaged.size() > kShownRegistryProblems)
        notes.push_back("Registry damaged: " +
                        std::to_string(damaged.size() - kShownRegistryProblems) + " more problems");
    // A hive or profile of an installation left unread (a link): an empty
    // HKEY_CURRENT_USER must not pass for a user with nothing in it.
    for (const std::string& unread : machine_.registry().UnreadParts()) notes.push_back(unread);
    if (scan_ && !scan_->Note().empty()) notes.push_back(scan_->Note());
    if (!options_.rightsNote.empty()) notes.push_back(options_.rightsNote);
    if (ignoreList_ && !ignoreList_->Refusal().empty()) notes.push_back(ignoreList_->Refusal());
    return notes;
}

void Application::ConnectFlows() {
    ControllerFlows& flows = controller_->flows();
    const ControllerViews& v = views_.controller;
    remover_ = std::make_unique<ObjectRemover>(machine_);
    removalView_ = std::make_unique<ViewsRemovalView>(v.messages, v.files, v.dialogs, v.window);
    removal_ = std::make_unique<RemovalFlow>(machine_, *settings_, *remover_, *removalView_);
    resultRows_ = std::make_unique<ResultRows>(controller_->results());
    backup_ = std::make_unique<BackupArchive>(machine_, *removalView_);
    if (!flows.backup)
        flows.backup = [this] { return backup_->MarkCheckedForBackup(*resultRows_); };
    removal_->SetBackupCommand(flows.backup);
    if (!flows.restoreBackup)
        flows.restoreBackup = [this] { RestoreBackup(machine_, *removalView_); };
    if (!flows.advancedScan)
        flows.advancedScan = [this] {
            WindowAdvancedScanView view(views_.controller.messages);
            if (!ConfirmBrowserClosedForAdvancedScan(machine_, view)) return;
            AdvancedScan scan(machine_, view, SettingsStore::ApplicationFolder());
            scan.Open();
            views_.controller.dialogs.RunAdvancedScan(scan);
        };
    if (!flows.runRemoval)
        flows.runRemoval = [this](bool removeAll) {
            std::vector<std::string> hosts = scan_->HostsFiles();
            if (!hosts.empty()) remover_->SetHostsFiles(std::move(hosts));
            return removal_->RunRemoval(*resultRows_, removeAll);
        };
    if (!flows.startUpDeletions)
        flows.startUpDeletions = [this] { removal_->ProcessStartUpDeletions(); };
    auto cleared = flows.resultsCleared;
    flows.resultsCleared = [this, cleared] {
        remover_->ClearBrowserSettingsHits();
        if (cleared) cleared();
    };
}

void Application::FirstTick() {
    if (!controller_ || controller_->WindowEnded()) return;
    switch (FindStartSwitch(options_.commandLine)) {
        case StartSwitch::StartUpScan:
            controller_->StartUpScan();
            break;
        case StartSwitch::StartUpDeletions:
            if (controller_->flows().startUpDeletions) controller_->flows().startUpDeletions();
            // The -b run ends the program whatever it did.
            controller_->EndWindow();
            break;
        case StartSwitch::None:
            break;
    }
}

}  // namespace tolvane
