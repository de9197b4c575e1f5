// The view interfaces the window logic talks to. Each face (the Qt window,
// the headless text front end, tests) implements them; the logic never sees
// a widget. Every call is made on the user-interface thread and every dialog
// is modal: the call returns when the dialog has closed.
//
// Message boxes (a Prompter) and file dialogs are single calls that return the user's
// answer, so a face can answer them from a script (the headless --answers
// list, a test's queue) as well as from a real dialog.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/prompt.h"

namespace tolvane {

class AdvancedScan;
class FolderChooser;
class GeneralSettingsWindow;
class ScanSettingsWindow;
class StartupEntriesWindow;
class IgnoreListDialog;
struct SummaryTexts;
struct ObjectDetails;

// --- File dialogs (Windows paths of the machine) ---------------------------

struct FileDialogOptions {
    std::string title;             // "" for the system's default title
    std::string initialPath;       // proposed file (save) or folder to start in
    std::string filter;            // Windows filter text, e.g. "Zip Files (*.zip)|*.zip||"
    std::string defaultExtension;  // without the dot, appended when the name has none
};

// The save dialog's own texts: its caption, the question before a file is
// replaced, and the refusal of a path whose folder does not exist.
inline constexpr const char* kSaveAsCaption = "Save As";
std::string ReplaceQuestionText(const std::string& path);  // "P already exists.\nDo you want ..."
std::string SaveRefusedText(const std::string& path);      // "P\nPath does not exist.\n..."

class FileDialogView {
  public:
    virtual ~FileDialogView() = default;
    // True and *path set (a Windows path) when the user chose a file.
    virtual bool AskSaveFile(const FileDialogOptions& options, std::string* path) = 0;
    virtual bool AskOpenFile(const FileDialogOptions& options, std::string* path) = 0;
    // A file of this computer, not of the machine (the user's own
    // definitions): true and *hostPath set when the user chose one. A face
    // without such a dialog chooses nothing.
    virtual bool AskHostOpenFile(const FileDialogOptions& /*options*/, std::string* /*hostPath*/) {
        return false;
    }
};

// --- The folder chooser ----------------------------------------------------

class FolderChooserView {
  public:
    virtual ~FolderChooserView() = default;
    // Shows the chooser's tree (check boxes on every drive and folder) with
    // title and prompt; the user's checks go into chooser. True for OK.
    virtual bool RunFolderChooser(FolderChooser& chooser, std::string_view title,
                                  std::string_view prompt) = 0;
};

// --- The settings, summary, details, ignore list and about dialogs --------

class DialogView {
  public:
    virtual ~DialogView() = default;
    // The window is opened (its state read) before the call; the view shows
    // its state, forwards clicks to it and returns true for OK. The caller
    // then applies OK.
    virtual bool RunGeneralSettings(GeneralSettingsWindow& window) = 0;
    virtual bool RunScanSettings(ScanSettingsWindow& window) = 0;
    // The Ignore List dialog; its buttons act on the dialog at once, so the
    // result is only how it was closed.
    virtual void RunIgnoreList(IgnoreListDialog& dialog) = 0;
    virtual void ShowSummary(const SummaryTexts& summary) = 0;
    virtual void ShowObjectDetails(const ObjectDetails& details) = 0;
    // The About box: title, and a link whose text and target are address.
    virtual void ShowAbout(std::string_view title, std::string_view address) = 0;
    // A question with a read-only list of items (each line ending in CR LF)
    // under a prompt, with OK and Cancel ("Unable to remove items"). True
    // for OK.
    virtual bool AskWithItems(std::string_view title, std::string_view prompt,
                              std::string_view items) = 0;
    // The "Advanced BHO Scanning Option" window, opened (script.db read): its
    // rows, the description of a clicked row, the Scan button (scan.Scan())
    // and the close button reading scan.closeCaption().
    virtual void RunAdvancedScan(AdvancedScan& scan) = 0;
    // The "Start-up Entries" window, its listing started: its rows (they
    // change when the listing ends, onChanged), the filter, the details of a
    // row. A face without it shows nothing.
    virtual void RunStartupEntries(StartupEntriesWindow& /*window*/) {}
};

// --- The loading splash ----------------------------------------------------

class LoadingView {
  public:
    virtual ~LoadingView() = default;
    virtual void ShowLoading() = 0;
    // Replaces the splash's one status line (and repaints it).
    virtual void SetLoadingStatus(std::string_view text) = 0;
    virtual void CloseLoading() = 0;
};

}  // namespace tolvane
