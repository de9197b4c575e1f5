// What removal, backup and restore ask of the window: message boxes, the
// "Unable to remove items" dialog, the archive file dialogs, the wait
// cursor and the progress bar. The application implements it over its own
// views (a face answers from real dialogs, the headless front end and tests
// from scripted answers). Every call is modal and returns the user's answer.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

enum class RemovalButtons { Ok, OkCancel, YesNo };
enum class RemovalAnswer { Ok, Cancel, Yes, No };
enum class RemovalIcon { None, Exclamation };

// A file dialog for an archive: filter "*.zip||" and, for saving, the
// default extension "zip" and the proposed path; opening wants an existing
// file, saving an existing folder.
struct ArchiveDialog {
    std::string initialPath;
    std::string filter = "*.zip||";
    std::string defaultExtension = "zip";
};

class RemovalView {
  public:
    virtual ~RemovalView() = default;
    // A message box with caption, text (line feeds break lines) and buttons.
    // Closing it counts as Cancel, and as Ok for OK only; a Yes/No box
    // cannot be closed (Escape does nothing).
    virtual RemovalAnswer ShowMessage(std::string_view caption, std::string_view text,
                                      RemovalButtons buttons, RemovalIcon icon) = 0;
    // The "Unable to remove items" dialog: its title, its static text and the
    // read-only list of items (each followed by CR LF) with OK and Cancel.
    // True for OK.
    virtual bool AskRemoveAtNextStart(std::string_view title, std::string_view prompt,
                                      std::string_view items) = 0;
    // The save and open dialogs; true and *path (a Windows path of the
    // machine) when the user chose a file.
    virtual bool AskSaveArchive(const ArchiveDialog& dialog, std::string* path) = 0;
    virtual bool AskOpenArchive(const ArchiveDialog& dialog, std::string* path) = 0;
    // The wait cursor during a removal run.
    virtual void SetBusy(bool busy) = 0;
    // The main window's progress bar.
    virtual void SetProgressRange(int low, int high) = 0;
    virtual void SetProgressPosition(int position) = 0;
};

}  // namespace tolvane
