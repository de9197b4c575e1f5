#include "app/application.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "app/command_line.h"
#include "app/database_choice.h"
#include "app/engine_scan_source.h"
#include "app/removal_connection.h"
#include "app/scan_source.h"
#include "app/script_connection.h"
#include "app/startup_actions.h"
#include "app/startup_listing.h"
#include "app/views/startup_entries_window.h"
#include "app/views/views.h"
#include "backup/backup_archive.h"
#include "backup/restore.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "discovery/shipped_data.h"
#include "machine/machine.h"
#include "machine/registry.h"
#include "removal/object_remover.h"
#include "removal/removal_flow.h"
#include "scan/ignore_list.h"
#include "script/script_database.h"
#include "settings/settings_store.h"
#include "settings/state_folder.h"
#include "update/update_signature.h"

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
    if (!machine.KeepsToolStateInside()) return;
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

const std::string& Application::ShippedReference() const {
    return options_.shippedDataFolder.empty() ? options_.shippedReferenceFolder
                                              : options_.shippedDataFolder;
}

std::vector<std::string> Application::TrustedUpdateKeys() const {
    std::vector<std::string> keys = BuiltInUpdateKeys();
    keys.insert(keys.end(), options_.extraUpdateKeys.begin(), options_.extraUpdateKeys.end());
    return keys;
}

// The definitions this run uses (database_choice.h).
bool Application::ReadChosenDefinitions(std::string* stored, bool* vouched) {
    DatabaseChoice choice = ChooseDefinitions(machine_, options_.definitionsFile,
                                              ShippedReference(), TrustedUpdateKeys());
    if (!choice.note.empty()) definitionsNotes_.push_back(choice.note);
    if (choice.found && !options_.definitionsFile.empty())
        definitionsNotes_.push_back("Definitions: " + options_.definitionsFile + " (your own)");
    *vouched = choice.vouched;
    *stored = std::move(choice.stored);
    return choice.found;
}

bool Application::LoadDefinitionsWithSplash() {
    LoadingView& splash = views_.loading;
    splash.ShowLoading();
    splash.SetLoadingStatus("Initializing...");
    Pause(100);
    splash.SetLoadingStatus("Searching for definition file.");
    std::string stored;
    bool vouched = false;
    if (!ReadChosenDefinitions(&stored, &vouched)) {
        splash.SetLoadingStatus("Definition file not found.");
        Pause(150);
    } else {
        Pause(300);
        splash.SetLoadingStatus("Loading definitions from file.");
        if (LoadStoredDefinitions(stored, vouched)) {
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

bool Application::LoadStoredDefinitions(std::string_view stored, bool vouched) {
    PlaceholderFolders folders = PlaceholderFolders::FromShell(machine_.shell());
    LoadReport report;
    if (!LoadDefinitionsFromContainer(stored, folders, database_.get(), &report,
                                      vouched ? RulesSource::Vouched : RulesSource::Unvouched))
        return false;
    if (!report.rulesNote.empty()) definitionsNotes_.push_back(report.rulesNote);
    return true;
}

// The same choice as at start: an update's database.db counts, with its
// content rules, only once its signed description vouches for it.
bool Application::ReloadDefinitions() {
    definitionsNotes_.clear();
    std::string stored;
    bool vouched = false;
    definitionsLoaded_ =
        ReadChosenDefinitions(&stored, &vouched) && LoadStoredDefinitions(stored, vouched);
    ignoreList_->Load(*database_);
    return definitionsLoaded_;
}

bool Application::UseDefinitionsFile(const std::string& hostPath, std::string* error) {
    std::string stored, why;
    if (!ReadUserDatabaseFile(hostPath, &stored, &why)) {
        *error = hostPath + " cannot be used: " + why + ".";
        return false;
    }
    // Read aside first: a file that does not load leaves the definitions in
    // use as they are.
    PlaceholderFolders folders = PlaceholderFolders::FromShell(machine_.shell());
    ThreatDatabase trial;
    LoadReport report;
    if (!LoadDefinitionsFromContainer(stored, folders, &trial, &report, RulesSource::Vouched) ||
        trial.definitions().empty()) {
        *error = hostPath + " is no definitions database made by `tolvane-db pack`" +
                 (report.parseError.empty() ? "" : " (" + report.parseError + ")") +
                 ". The definitions in use are kept.";
        return false;
    }
    // The bytes read once are the ones loaded: the file may change meanwhile.
    controller_->results().Clear();
    definitionsNotes_.clear();
    definitionsNotes_.push_back("Definitions: " + hostPath + " (your own)");
    LoadStoredDefinitions(stored, true);
    ignoreList_->Load(*database_);
    options_.definitionsFile = hostPath;
    definitionsLoaded_ = true;
    return true;
}

// Settings, logs and the ignore list: inside a Wine prefix, on the host for
// an installation (which only a confirmed removal or restore writes).
void Application::MakeStateStores() {
    Registry& registry = machine_.registry();
    if (machine_.KeepsToolStateInside()) {
        settings_ = std::make_unique<SettingsStore>(registry);
        const std::string ignoreFolder =
            IgnoreList::CurrentFolder(machine_.files(), options_.hostWorkingFolder);
        // The working folder itself when a drive covers it, not its path
        // mapped back through drives the machine may have changed meanwhile.
        ignoreList_ = std::make_unique<IgnoreList>(
            machine_.files(), ignoreFolder,
            ignoreFolder == SettingsStore::ApplicationFolder() ? "" : options_.hostWorkingFolder);
        return;
    }
    std::string why;
    stateFolder_ = InstallationStateFolder(machine_.PrefixPath(), &why);
    if (stateFolder_.empty())
        stateNote_ =
            "Settings, logs and the ignore list of this installation are kept for this "
            "run only: " +
            why + ".";
    settings_ = std::make_unique<SettingsStore>(SettingsStore::OnHost(
        registry, stateFolder_.empty() ? "" : stateFolder_ + "/" + kStateSettingsFileName));
    ignoreList_ = std::make_unique<IgnoreList>(machine_.files(), "", stateFolder_);
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
    MakeStateStores();
    database_ = std::make_unique<ThreatDatabase>();
    scan_ = options_.scanSource
                ? options_.scanSource(machine_, *settings_, *database_, *ignoreList_)
                : MakeEngineScanSource(machine_, *database_, *ignoreList_, options_.clamdSocket);
    if (!machine_.KeepsToolStateInside()) scan_->KeepStateOnHost(stateFolder_);
    controller_ = std::make_unique<MainController>(machine_, *settings_, *database_, *ignoreList_,
                                                   *scan_, views_.controller, options_.flows);
    ConnectFlows();
    definitionsLoaded_ = true;
    controller_->InitialiseControls();

    // script.db is chosen afresh whenever the Advanced Scan opens; whether the
    // machine's copy is passed over is said at start. An installation's
    // script.db is never ours and is not read (the shipped one is used).
    if (machine_.KeepsToolStateInside()) {
        const DatabaseChoice scripts =
            ChooseDatabase(machine_.files(), kScriptDatabaseName, ShippedReference(), {});
        if (!scripts.note.empty()) databaseNotes_.push_back(scripts.note);
    }
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

bool Application::MachineUnreadable() const {
    return machine_.registry().Unreadable();
}

std::vector<std::string> Application::Notes() const {
    std::vector<std::string> notes;
    if (MachineUnreadable())
        notes.push_back(
            "The machine's registry cannot be read with the rights Tolvane runs "
            "with, so this scan could not check it: run it as the machine's owner.");
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
    // A hive whose transaction logs were not applied reads as Windows left
    // it before its last changes: a clean result from it says less.
    for (const std::string& stale : machine_.registry().StaleReads()) notes.push_back(stale);
    // A hive or profile of an installation left unread (a link): an empty
    // HKEY_CURRENT_USER must not pass for a user with nothing in it.
    for (const std::string& unread : machine_.registry().UnreadParts()) notes.push_back(unread);
    if (scan_ && !scan_->Note().empty()) notes.push_back(scan_->Note());
    if (!options_.rightsNote.empty()) notes.push_back(options_.rightsNote);
    if (!stateFolder_.empty())
        notes.push_back(
            "Tolvane's settings, logs and ignore list for this installation are kept in " +
            stateFolder_ + ".");
    if (!stateNote_.empty()) notes.push_back(stateNote_);
    notes.insert(notes.end(), databaseNotes_.begin(), databaseNotes_.end());
    notes.insert(notes.end(), definitionsNotes_.begin(), definitionsNotes_.end());
    if (ignoreList_ && !ignoreList_->Refusal().empty()) notes.push_back(ignoreList_->Refusal());
    return notes;
}

bool Application::RemovalStoppedForBackup() const {
    return removal_ && removal_->StoppedForBackup();
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
    removal_->SetBackupCommand(flows.backup, options_.removeOnlyAfterBackup);
    if (!flows.restoreBackup)
        flows.restoreBackup = [this] { RestoreBackup(machine_, *removalView_); };
    if (!flows.advancedScan)
        flows.advancedScan = [this] {
            WindowAdvancedScanView view(views_.controller.messages);
            // The scripts delete files at once while their registry changes
            // would be refused: refused up front, as a removal is.
            const std::string refusal = machine_.ChangesRefusal();
            if (!refusal.empty()) {
                view.Ask({"Error", refusal, PromptButtons::Ok, PromptIcon::Error});
                return;
            }
            if (!ConfirmBrowserClosedForAdvancedScan(machine_, view)) return;
            const bool inside = machine_.KeepsToolStateInside();
            AdvancedScan scan(machine_, view,
                              inside ? SettingsStore::ApplicationFolder()
                              : !options_.shippedDataFolder.empty() ? options_.shippedDataFolder
                                                                    : ShippedDataFolder());
            if (inside) {
                DatabaseChoice scripts =
                    ChooseDatabase(machine_.files(), kScriptDatabaseName, ShippedReference(), {});
                scan.UseScriptDatabase(scripts.found ? std::move(scripts.stored) : std::string());
            }
            scan.Open();
            views_.controller.dialogs.RunAdvancedScan(scan);
        };
    if (!flows.runRemoval)
        flows.runRemoval = [this](bool removeAll) {
            std::vector<std::string> hosts = scan_->HostsFiles();
            if (!hosts.empty()) remover_->SetHostsFiles(std::move(hosts));
            return removal_->RunRemoval(*resultRows_, removeAll);
        };
    if (!flows.startupEntries) flows.startupEntries = [this] { ShowStartupEntries(); };
    if (!flows.startUpDeletions)
        flows.startUpDeletions = [this] { removal_->ProcessStartUpDeletions(); };
    auto cleared = flows.resultsCleared;
    flows.resultsCleared = [this, cleared] {
        remover_->ClearBrowserSettingsHits();
        if (cleared) cleared();
    };
}

// The listing runs on the window's worker while the modal window is up, so
// nothing else reads the machine or changes the definitions meanwhile.
void Application::ShowStartupEntries() {
    const std::string& shipped = ShippedReference();
    StartupSources sources;
    std::string error;
    if (!LoadStartupSources(shipped.empty() ? ShippedDataFolder() : shipped, &sources, &error)) {
        views_.controller.messages.Ask({kStartupEntriesTitle,
                                        "The start-up entries cannot be listed: " + error + ".",
                                        PromptButtons::Ok, PromptIcon::Error});
        return;
    }
    sources.definitions = database_.get();
    startupEntriesOpen_ = true;
    {
        // Its worker has ended when the window goes.
        StartupEntriesWindow window(views_.controller.ui, [this, sources = std::move(sources)] {
            return ListMachineStartup(machine_, sources);
        });
        window.act = [this](StartupAction action, const std::vector<StartupEntry>& entries) {
            return ActOnStartupEntries(action, entries);
        };
        window.Start();
        views_.controller.dialogs.RunStartupEntries(window);
    }
    startupEntriesOpen_ = false;
}

// The terminal's startup remove/disable/enable, from the window: the same
// questions and backup; what could not be done is said in one message.
bool Application::ActOnStartupEntries(StartupAction action,
                                      const std::vector<StartupEntry>& entries) {
    StartupActionOptions options;
    std::string error;
    options.stateFolder = InstallationStateFolder(machine_.PrefixPath(), &error);
    StartupActionResult result =
        action == StartupAction::Remove
            ? RemoveStartupEntries(machine_, *settings_, *removalView_, entries, options)
            : SwitchStartupEntries(machine_, *removalView_, entries,
                                   action == StartupAction::Enable, options);
    if (!result.failures.empty()) {
        std::string text = "Not done:";
        for (const std::string& failure : result.failures) text += "\n" + failure;
        views_.controller.messages.Ask(
            {kStartupEntriesTitle, text, PromptButtons::Ok, PromptIcon::Warning});
    }
    return result.ran;
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
