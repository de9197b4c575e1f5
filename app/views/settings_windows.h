// The settings windows' logic: GeneralSettingsWindow (start-up behaviour),
// ScanSettingsWindow (what a Custom Scan covers) and the two folder lists
// edited with the FolderChooser. They read the settings store when they open
// and write it on OK; nothing is cached between openings.
//
// The general window's two check boxes act at once when clicked ("Run at
// system startup" also writes or removes the "Run" entry), so their effect
// stays when the window is then cancelled.
#pragma once

#include <string>
#include <vector>

namespace tolvane {

class DialogView;
class FileSystem;
class FolderChooserView;
class Prompter;
class SettingsStore;

inline constexpr const char* kGeneralSettingsTitle = "General Settings";
inline constexpr const char* kScanSettingsTitle = "Scan Settings ";

// What the windows need: the store, the machine's drives for the chooser,
// and the views that show them.
struct SettingsContext {
    SettingsStore& store;
    const FileSystem& files;
    DialogView& dialogs;
    FolderChooserView& chooser;
    // Where "Run at system startup" says why it cannot act (none: silent).
    Prompter* messages = nullptr;
};

// Said when "Run at system startup" is checked but the machine has no
// Tolvane.exe for the "Run" entry to start (a build without the Windows
// launcher): the entry would do nothing, so it is not written.
inline constexpr const char* kNoLauncherMessage =
    "Tolvane cannot run at the start of this machine: the program the start-up entry names, "
    "C:\\Program Files\\Tolvane\\Tolvane.exe, is not in the machine, because this build of "
    "Tolvane has no Windows launcher (it needs the mingw-w64 compiler).\n\n"
    "Run \"tolvane -s\" from a start-up script of your desktop instead.";

class GeneralSettingsWindow {
  public:
    // The radio buttons, by the StartUpScanMode they stand for.
    enum StartUpChoice {
        kNoChoice = 0,
        kSmartScan = 1,        // "Perform Smart Scan" (1034)
        kCustomScan = 2,       // "Custom Scan" (1035)
        kSelectedFolders = 3,  // "Selected Folders Only" (1040)
        kNone = 4,             // "None" (1022)
    };

    explicit GeneralSettingsWindow(SettingsContext context);

    // Reads the boxes from AtStartUp, RemoveAfterScan and StartUpScanMode (a
    // mode other than 1 to 4 checks no radio button).
    void Open();
    bool runAtStartUp() const { return runAtStartUp_; }
    bool removeAfterScan() const { return removeAfterScan_; }
    int startUpChoice() const { return startUpChoice_; }
    // The update server of this computer's Tolvane settings (never the
    // machine's: settings/host_settings.h); "" for the built-in one.
    const std::string& updateServer() const { return updateServer_; }
    void SetUpdateServer(std::string address) { updateServer_ = std::move(address); }

    // "Run at system startup" (1029): AtStartUp and the "Run" entry at once.
    // Checking it on a machine without Tolvane.exe shows kNoLauncherMessage
    // and leaves the box, AtStartUp and the entry unchanged.
    void ClickRunAtStartUp(bool checked);
    // "Start removing after scan is complete" (1032): RemoveAfterScan at once.
    void ClickRemoveAfterScan(bool checked);
    // A radio button; kNoChoice clears them all.
    void ChooseStartUp(int choice);
    // "Change" (1031): the Scan Settings window.
    void ClickChange();
    // "Choose" (1021): the Custom Scan folder list.
    void ClickChoose();
    // OK: RemoveAfterScan, AtStartUp, StartUpScanMode; the "Run" entry is
    // left as the clicks made it. A changed update server goes to the user's
    // own host settings file; when that cannot be written, a message says why.
    void Ok();

  private:
    SettingsContext context_;
    bool runAtStartUp_ = false;
    bool removeAfterScan_ = false;
    int startUpChoice_ = kNoChoice;
    std::string updateServer_;
    std::string openedUpdateServer_;
};

class ScanSettingsWindow {
  public:
    enum Box {
        kActive = 0,    // "Scan active processes" (1015)
        kRegistry = 1,  // "Scan registry" (1016)
        kDeep = 2,      // "Deep scan registry" (1017)
        kDrives = 3,    // "Scan selected drives + folders" (1018)
        kIeFav = 4,     // hidden: "Scan IE Favorites for banned URLS" (1019)
        kHosts = 5,     // hidden: "Scan Hosts file" (1020)
        kBoxCount = 6,
    };
    static const char* BoxText(int box);
    static bool BoxVisible(int box) { return box < kIeFav; }

    explicit ScanSettingsWindow(SettingsContext context);

    void Open();
    bool checked(int box) const { return box >= 0 && box < kBoxCount && boxes_[box]; }
    void SetChecked(int box, bool checked);
    // "Choose" (1021): the Custom Scan folder list.
    void ClickChoose();
    // Writes the six values in the order Active, Registry, Deep, IEFAV,
    // Hosts, Drives; the hidden boxes keep what they were opened with.
    void Ok();

  private:
    SettingsContext context_;
    bool boxes_[kBoxCount] = {};
};

// Both windows shown modally, with OK applied; true when closed with OK.
bool RunGeneralSettings(SettingsContext context);
bool RunScanSettings(SettingsContext context);

// A folder list (kCustomScanFolderList or kDrivesAndFoldersList) edited in
// the FolderChooser ("Browse For Folder", "Select the Voice Mail Folder").
// OK writes the count and entries 1 .. count; Cancel writes nothing.
bool EditFolderList(const char* listPrefix, const FileSystem& files, SettingsStore& store,
                    FolderChooserView& chooser);
// EditCustomScanFolders: the Custom Scan list.
bool EditCustomScanFolders(SettingsContext context);

}  // namespace tolvane
