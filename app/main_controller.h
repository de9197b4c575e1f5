// MainController: the main window's logic. It runs every command of the
// window, starts and stops the scan worker, shows the worker's progress in
// the counters, the progress bar, the status line and the results list, and
// keeps the window's states (idle: caption "Start"; scanning: caption "Stop"
// with Backup, Update, Remove and "Objects found" disabled and the menu item
// "Check &Updates" greyed).
//
// Threads: every public call is made on the user-interface thread. The
// worker's messages arrive on the worker thread and are handed to the
// user-interface thread through a ScanHandOver: rows, phases and the last
// message synchronously, so the controller reads the engine while the
// worker waits; progress-only messages as snapshots the worker took, merged
// while the window has not taken them (scan_hand_over.h says why the window
// sees nothing different).
//
// Choices of ours:
// - Removal, backup, restore, the ignore list's changes and the advanced
//   scan are refused with a message while a scan worker runs (they work on
//   the lists the worker fills).
// - A scan started while the worker of a stopped scan is still finishing
//   waits for that worker's last message and then starts by itself.
// - In the folder phases the bar moves by 1 and cycles from 100 to 1; a
//   computed position above 100 shows as 100.
// - The flows of other subsystems (removal, backup, restore, advanced scan,
//   updates, start-up deletions) are connected through ControllerFlows; one
//   left unconnected (a test's controller) does nothing.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/scan_hand_over.h"
#include "app/scan_source.h"
#include "app/views/check_list.h"
#include "app/views/main_window_view.h"
#include "app/views/results_list.h"
#include "base/program_version.h"
#include "scan/scan_engine.h"
#include "scan/scan_observer.h"

namespace tolvane {

class DialogView;
class FileDialogView;
class FolderChooserView;
class IgnoreList;
class Machine;
class Prompter;
class SettingsStore;
class ThreatDatabase;
class UiThread;

inline constexpr const char* kProductName = "Tolvane";

// The views the controller talks to (all implemented by the face).
struct ControllerViews {
    MainWindowView& window;
    Prompter& messages;
    FileDialogView& files;
    FolderChooserView& chooser;
    DialogView& dialogs;
    UiThread& ui;
};

// The flows of other subsystems the window's commands start.
struct ControllerFlows {
    std::function<bool(bool removeAll)> runRemoval;  // RunRemoval
    std::function<bool()> backup;                    // MarkCheckedForBackup: true when saved
    std::function<void()> restoreBackup;             // RestoreBackup
    std::function<void()> advancedScan;              // Advanced BHO Scan
    std::function<void()> updateDialog;              // the update dialog
    std::function<void()> startUpDeletions;          // ProcessStartUpDeletions (-b)
    std::function<void()> resultsCleared;            // a new scan empties the results
    std::function<void()> openMachine;               // File > "Open Machine..."
    std::function<void()> useDefinitionsFile;        // File > "Use Definitions File..."
    std::function<void()> startupEntries;            // Scan > "Start-up Entries..."
    // The silent update query of the start, given the program's and the
    // definitions' version numbers.
    std::function<void(double programVersion, double definitionsVersion)> silentUpdateQuery;
};

// Texts of the window's own messages.
inline constexpr const char* kNoLogFileMessage =
    "Log file not created. Scan System once to view log file\n";
// Followed by the path or address (and a path's place on this computer).
inline constexpr const char* kOpenFailedMessage =
    "There is no program here to open it. Open it by hand:\n";
inline constexpr const char* kNoFolderChosenMessage =
    "No folder was chosen for the Drives & Folders scan. Choose one or more drives or "
    "folders in Scan > Drives & Folders, then start the scan.";
// The status line while a scan starts: "Starting " and the mode's name.
inline constexpr const char* kStartingPrefix = "Starting ";
inline constexpr const char* kNoDocumentationMessage =
    "The documentation is not installed. It is README.md in /usr/share/doc/tolvane of an "
    "installed Tolvane.";
inline constexpr const char* kBusyScanningMessage =
    "A scan is running. Stop it or wait until it has finished, then try again.";

class MainController : private ScanObserver {
  public:
    MainController(Machine& machine, SettingsStore& settings, ThreatDatabase& database,
                   IgnoreList& ignoreList, ScanSource& scan, ControllerViews views,
                   ControllerFlows flows = {});
    ~MainController() override;
    MainController(const MainController&) = delete;
    MainController& operator=(const MainController&) = delete;

    // Puts every control in its idle state ("Objects found" disabled).
    void InitialiseControls();
    // Shows no scan: the five counters at 0 and the bar empty, for a window
    // that showed another machine's scan (File > "Open Machine...").
    void ClearScanDisplay();

    // Every command of the menus, the buttons and the close box.
    void Execute(MainCommand command);

    // A scan command: writes LastScanMode (1 Smart ... 6 Files), shows the
    // Custom Scan settings or the Drives and Folders chooser for modes 2 and
    // 3 (no start when cancelled), then StartOrStopScan.
    void ScanCommand(ScanMode mode);
    // Starts a scan when the Start button reads "Start", stops it otherwise.
    void StartOrStopScan();
    // Whether the last scan command or Start was refused because the Drives
    // & Folders list is empty (kNoFolderChosenMessage was shown, no scan ran).
    bool NoFolderChosen() const { return noFolderChosen_; }
    // The Start button: StartOrStopScan with the stored mode; when
    // LastScanMode holds no mode (a fresh machine), it stores 1 (Smart Scan)
    // first.
    void PressStart();
    // Opens a folder or file with the desktop's program; when there is none,
    // says so and shows the path (Show Logfiles, Show logfile).
    void OpenWithShell(const std::string& target);
    // Opens an http(s) address in the desktop's browser (Online Help, the
    // About box's link); anything else, or no browser, is said with the
    // address shown.
    void OpenWebPage(const std::string& address);
    // Help: the installed documentation (InstalledDocumentation), opened
    // with the desktop's program; when there is none or nothing opens it,
    // says so.
    void OpenDocumentation();
    // The -s start: a scan in StartUpScanMode when it is 1, 2 or 3.
    void StartUpScan();
    // The Drives and Folders chooser; true when closed with OK (the list is
    // then stored).
    bool ChooseDrivesAndFolders();

    // The results list and its context menu.
    ResultsListModel& results() { return results_; }
    std::vector<ListMenuItem> OpenResultsMenu(bool clickedOnRow,
                                              std::optional<size_t> highlightedRow);
    void RunResultsMenuCommand(ListMenuCommand command);
    // AddCheckedToIgnoreList: the checked rows' objects go to the ignore list
    // and leave the list; the file is saved.
    void AddCheckedToIgnoreList();
    void ShowResultDetails(size_t row);
    void ShowSummary();
    void ShowIgnoreListDialog();

    // State, as the window shows it.
    bool Scanning() const;       // the Start button reads "Stop"
    bool WorkerRunning() const;  // a scan worker has not ended yet
    std::string ControlText(ControlId control) const;
    bool ControlEnabled(ControlId control) const;
    bool MenuItemEnabled(MainCommand command) const;
    int ProgressPosition() const { return progressPosition_; }
    void SetTitle(const std::string& title);
    // The status line's text until a scan writes its own.
    void SetStatusText(const std::string& text) { SetText(ControlId::StatusLine, text); }

    // Ends the window (Exit, the close box, a failed start, -b).
    void EndWindow();
    bool WindowEnded() const { return windowEnded_; }

    // Before the controller goes: stops a running scan and lets the worker
    // run to its end without waiting on the window. The face then keeps
    // delivering UiThread tasks until WorkerRunning() is false.
    void BeginShutdown();

    // While a scan worker runs: says so (kBusyScanningMessage) and returns
    // true; the commands that work on the lists or the machine ask it first.
    bool RefuseWhileScanning();

    const ControllerFlows& flows() const { return flows_; }
    ControllerFlows& flows() { return flows_; }

    // The worker's messages, on the user-interface thread.
    void HandleScanProgress(DetectedObject* object);
    void HandleScanPhase(int phase);

  private:
    // Says so and returns true when a Drives & Folders scan would start
    // with no folder chosen.
    bool RefuseNoFolderChosen();
    // Execute's three groups; each answers whether the command was its own.
    bool ExecuteScanCommand(MainCommand command);
    bool ExecuteFlowCommand(MainCommand command);
    void ExecuteWindowCommand(MainCommand command);

    // ScanObserver (worker thread).
    void OnScanProgress(ScanProgress kind, DetectedObject* object) override;
    void OnScanPhase(int phase) override;

    void SetText(ControlId control, const std::string& text);
    void Enable(ControlId control, bool enabled);
    void SetScanButtons(bool enabled);
    void SetProgress(int position);
    void Message(const std::string& text);
    void OnWorkerFinished();
    // What a progress message shows: counters, bar and texts as `shown`
    // says, the row of object, and the end of the scan when finished.
    void ShowProgress(const ScanSnapshot& shown, DetectedObject* object, bool finished);

    Machine& machine_;
    SettingsStore& settings_;
    ThreatDatabase& database_;
    IgnoreList& ignoreList_;
    ScanSource& scan_;
    ControllerViews views_;
    ControllerFlows flows_;

    ResultsListModel results_;
    std::map<ControlId, std::string> texts_;
    std::map<ControlId, bool> enabled_;
    std::map<MainCommand, bool> menuEnabled_;
    // The last value written to each type counter; none before the first.
    std::map<ControlId, int> lastShown_;
    int phase_ = -1;
    int progressPosition_ = 0;
    bool noFolderChosen_ = false;
    bool windowEnded_ = false;
    bool pendingStart_ = false;
    uint64_t workersStarted_ = 0;      // scans started, to tell a finished worker's from the next
    bool lastMessageHandled_ = false;  // the running worker's end was shown
    std::atomic<bool> shuttingDown_{false};
    ScanHandOver handOver_;
};

}  // namespace tolvane
