// The main window as the controller sees it: its controls by their layout
// identifiers, its menu commands, and the few things it asks of the face.
// The results list is shown from the ResultsListModel (results_list.h),
// which tells its observer about every change.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// Control identifiers of the window layout.
enum class ControlId : int {
    Progress = 1001,
    StartStop = 1002,
    Backup = 1003,
    Remove = 1004,
    Update = 1005,
    ObjectsScanned = 1006,
    MemoryCounter = 1007,
    RegistryCounter = 1008,
    FoldersCounter = 1009,
    FilesCounter = 1010,
    ResultsList = 1011,
    StatusLine = 1012,
    ObjectsFound = 1030,
    ShowLogfile = 1049,
};

// Every command of the window: menu items, buttons, the close box.
enum class MainCommand {
    // Scan menu
    SmartScan,
    DrivesAndFolders,
    CustomScan,
    MemoryScan,
    RegistryScan,
    FilesScan,
    AdvancedBhoScan,
    StartupEntries,
    // Remove menu
    RemoveAll,
    RemoveSelected,
    // Settings menu
    GeneralSettings,
    ScanSettings,
    CheckUpdates,
    IgnoreList,
    ShowLogfiles,
    // Backup menu
    BackupQuarantine,
    RestoreBackup,
    // Help menu and the system menu
    OnlineHelp,
    About,
    // File menu and the close box
    OpenMachine,
    UseDefinitionsFile,
    Exit,
    // Buttons
    StartStop,
    Backup,
    Remove,
    Update,
    ObjectsFound,
    ShowLogfile,
    // The Escape key
    Cancel,
};

class MainWindowView {
  public:
    virtual ~MainWindowView() = default;
    virtual void SetTitle(std::string_view title) = 0;
    // Button captions, the five counters and the status line.
    virtual void SetControlText(ControlId control, std::string_view text) = 0;
    virtual void EnableControl(ControlId control, bool enabled) = 0;
    // Menu items the controller greys (only "Check &Updates" during a scan).
    virtual void EnableMenuItem(MainCommand command, bool enabled) = 0;
    virtual void SetProgressRange(int low, int high) = 0;
    virtual void SetProgressPosition(int position) = 0;
    // The wait cursor while a long command runs on the window's thread.
    virtual void SetBusy(bool busy) = 0;
    // Ends the main window (and with it the program) once the current
    // command or start-up step has returned.
    virtual void EndWindow() = 0;
};

}  // namespace tolvane
