// Application: the program's start. It keeps to one running copy per
// machine, installs the shipped databases on the first start of a Wine
// prefix (an installation is scanned with them where they lie, and its
// settings, logs and ignore list are kept on the host), builds the
// main window's parts (definitions database, ignore list, scan engine,
// MainController), loads the definitions behind the loading splash with its
// status texts, reports every start-up failure, titles the window and, on the
// first tick of the running window, acts on -s or -b.
//
// Start-up failures and what the user sees (caption "Tolvane", OK):
//   another copy runs       "Application is already running!!"
//   database.db missing     splash "Definition file not found.", then
//                           "Unable to load reference file. Please re-install the application."
//   database.db damaged     splash "Definitions not loaded.", then the same message, then
//                           "Definitions file not loaded. Program will shutdown now.\n
//                           Please re-install Tolvane"
// After a failure the window ends before the user can act (Start() says so).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/instance_lock.h"
#include "app/main_controller.h"
#include "app/views/startup_entries_window.h"

namespace tolvane {

class BackupArchive;
class LoadingView;
class Machine;
class ObjectRemover;
class RemovalFlow;
class ResultRows;
class ViewsRemovalView;
class ScanSource;
class SettingsStore;
class ThreatDatabase;

inline constexpr const char* kAlreadyRunningMessage = "Application is already running!!";
inline constexpr const char* kUnableToLoadMessage =
    "Unable to load reference file. Please re-install the application.";
inline constexpr const char* kDefinitionsNotLoadedMessage =
    "Definitions file not loaded. Program will shutdown now.\nPlease re-install Tolvane";

struct ApplicationViews {
    ControllerViews controller;
    LoadingView& loading;
};

// Makes the scan engine for the machine (the real one by default).
using ScanSourceFactory = std::function<std::unique_ptr<ScanSource>(Machine&, SettingsStore&,
                                                                    ThreatDatabase&, IgnoreList&)>;

struct ApplicationOptions {
    // The command line as Windows had it (WindowsCommandLine).
    std::string commandLine;
    // Host folder with the shipped database.db and script.db; "" installs
    // nothing.
    std::string shippedDataFolder;
    // The host's working folder (where Ignorelist.txt is looked for).
    std::string hostWorkingFolder;
    // The splash's pauses, so that its texts can be read; tests and the
    // headless face pass a function that does not sleep.
    std::function<void(int milliseconds)> pause;
    ScanSourceFactory scanSource;  // none: the ScanEngine
    ControllerFlows flows;
    // Whose rights the program runs with (PrivilegesNote); "" says nothing.
    std::string rightsNote;
    // Host folder with the shipped databases the machine's are held to
    // (database_choice.h) when shippedDataFolder is "" (a front end that
    // installs the shipped files itself, or not at all).
    std::string shippedReferenceFolder;
    // The user's own definitions (a host file made by "tolvane-db pack"),
    // used instead of any database.db; "" for none.
    std::string definitionsFile;
    // A backup the user asked for and that was not made stops the removal
    // (the archive was named beforehand: `--save-as`).
    bool removeOnlyAfterBackup = false;
    // The user's clamd socket (--clamd); "" to take the host's settings.
    std::string clamdSocket;
    // Update keys trusted besides the built-in ones (tests).
    std::vector<std::string> extraUpdateKeys;
};

enum class StartResult {
    Running,         // the main window is up
    AlreadyRunning,  // another copy holds the lock; nothing was built
    Failed,          // the definitions could not be loaded; the window has ended
};

class Application {
  public:
    Application(Machine& machine, ApplicationViews views, ApplicationOptions options);
    ~Application();

    StartResult Start();
    // The first tick of the running window: -s, else -b.
    void FirstTick();

    MainController& controller() { return *controller_; }
    ThreatDatabase& database() { return *database_; }
    IgnoreList& ignoreList() { return *ignoreList_; }
    // File > "Use Definitions File...": the user's own database (a container
    // made by `tolvane-db pack`, a host file) replaces the definitions in use
    // and stays in use until the program ends. A file that is not one
    // changes nothing: false with *error saying why. The results list is
    // emptied (its rows point at the definitions replaced).
    bool UseDefinitionsFile(const std::string& hostPath, std::string* error);
    // While the Start-up Entries window is up: its listing may be reading
    // the machine and the definitions on its worker.
    bool StartupEntriesOpen() const { return startupEntriesOpen_; }
    // The user's own definitions file in use; "" for the shipped or the
    // machine's database.
    const std::string& DefinitionsFile() const { return options_.definitionsFile; }
    // The last removal stopped because the backup asked for was not made.
    bool RemovalStoppedForBackup() const;
    SettingsStore& settings() { return *settings_; }
    ScanSource& scan() { return *scan_; }
    bool definitionsLoaded() const { return definitionsLoaded_; }
    // Loads database.db again (an update installed a new one) through the
    // same choice as the start, and the ignore list against it. The rows
    // point at the definitions being replaced: the caller clears them
    // first, with no scan running. False when none could be loaded.
    bool ReloadDefinitions();
    // The host folder of an installation's own state (its Logs among it);
    // "" for a Wine prefix, which keeps its state inside.
    const std::string& StateFolder() const { return stateFolder_; }
    // What the user should know about this run, shown on the status line
    // at start and printed with a scan by the headless face: whose rights
    // it uses, a damaged registry (the first few of its problems), and why
    // Ignorelist.txt is not used.
    std::vector<std::string> Notes() const;
    // Whether the machine's registry holds a hive the running user may not
    // read: a scan of it cannot pass for a clean one (Notes says so).
    bool MachineUnreadable() const;
    static constexpr size_t kShownRegistryProblems = 3;

    // Copies database.db and script.db from the shipped folder into the
    // application folder where they are missing; never overwrites them. Then
    // installs the Windows launcher (InstallLauncher).
    static void InstallShippedData(Machine& machine, const std::string& shippedFolder);
    // When the shipped folder holds the Windows launcher: puts it into the
    // application folder as Tolvane.exe, the program the Run and RunOnce
    // entries name, and beside it Tolvane.host with this program's host path,
    // so that Wine's start-up of the machine runs this program with the
    // entries' switches. Both are rewritten when they differ.
    static void InstallLauncher(Machine& machine, const std::string& shippedFolder);

  private:
    // Connects the flows of the other subsystems to the controller's
    // commands (those the options did not give).
    void ConnectFlows();
    // Scan > "Start-up Entries...".
    void ShowStartupEntries();
    bool ActOnStartupEntries(StartupAction action, const std::vector<StartupEntry>& entries);
    // The loading splash; false when it did not end normally.
    bool LoadDefinitionsWithSplash();
    void MakeStateStores();
    // *vouched: the compiled content rules of these bytes may load.
    bool ReadChosenDefinitions(std::string* stored, bool* vouched);
    bool LoadStoredDefinitions(std::string_view stored, bool vouched);
    std::vector<std::string> TrustedUpdateKeys() const;
    const std::string& ShippedReference() const;
    void Pause(int milliseconds);

    Machine& machine_;
    ApplicationViews views_;
    ApplicationOptions options_;
    InstanceLock lock_;
    std::unique_ptr<SettingsStore> settings_;
    std::unique_ptr<ThreatDatabase> database_;
    // Why the machine's script.db was not used.
    std::vector<std::string> databaseNotes_;
    // Why the machine's database.db was not used, or whose was; made anew
    // with each load.
    std::vector<std::string> definitionsNotes_;
    std::unique_ptr<IgnoreList> ignoreList_;
    std::unique_ptr<ScanSource> scan_;
    std::unique_ptr<MainController> controller_;
    std::unique_ptr<ObjectRemover> remover_;
    std::unique_ptr<ViewsRemovalView> removalView_;
    std::unique_ptr<ResultRows> resultRows_;
    std::unique_ptr<RemovalFlow> removal_;
    std::unique_ptr<BackupArchive> backup_;
    bool definitionsLoaded_ = true;
    bool startupEntriesOpen_ = false;
    // The host folder of an installation's own state ("" for a Wine prefix,
    // and when it cannot be had: stateNote_ says why).
    std::string stateFolder_;
    std::string stateNote_;
};

}  // namespace tolvane
