// What removal, backup and restore ask of the window: its questions and
// messages (a Prompter), the "Unable to remove items" dialog, the archive
// file dialogs, the wait cursor and the progress bar. The application implements it over its own
// views (a face answers from real dialogs, the headless front end and tests
// from scripted answers). Every call is modal and returns the user's answer.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/prompt.h"

namespace tolvane {

// A file dialog for an archive: filter "*.zip||" and, for saving, the
// default extension "zip" and the proposed path; opening wants an existing
// file, saving an existing folder.
struct ArchiveDialog {
    std::string initialPath;
    std::string filter = "*.zip||";
    std::string defaultExtension = "zip";
};

class RemovalView : public Prompter {
  public:
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
