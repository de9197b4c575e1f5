// MachineFileDialog: the save and open file dialogs (objectName
// "SaveFileDialog", "OpenFileDialog") over the machine's own drives and
// folders (Windows paths of the prefix, read through FileSystem), never the
// host's: a small dialog of ours rather than the platform's, which only
// knows host paths. Saving asks before an existing file is replaced and
// refuses a folder that does not exist; opening refuses a missing file.
#pragma once

#include <QDialog>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/views/views.h"

class QComboBox;
class QLineEdit;
class QListWidget;
class QToolButton;

namespace tolvane {

class FileSystem;

class MachineFileDialog : public QDialog {
  public:
    MachineFileDialog(QWidget* parent, const FileSystem& files, Prompter& messages,
                      const FileDialogOptions& options, bool save);

    // The path chosen when the dialog was accepted.
    const std::string& chosen() const { return chosen_; }
    // The folder shown and the names listed (tests).
    const std::string& folder() const { return folder_; }

    void Show(const std::string& folder);
    void TryAccept();

  private:
    void BuildControls(bool save);
    void ConnectBrowsing(QToolButton* up);

    const FileSystem& files_;
    Prompter& messages_;
    FileDialogOptions options_;
    bool save_;
    std::vector<std::pair<std::string, std::string>> filters_;
    QComboBox* drives_;
    QLineEdit* folderEdit_;
    QListWidget* list_;
    QLineEdit* nameEdit_;
    QComboBox* types_;
    std::string folder_;
    std::string chosen_;
};

// The parts of a Windows filter text ("Zip Files (*.zip)|*.zip||", or
// "*.zip||" whose one part is its own pattern): (description, pattern).
std::vector<std::pair<std::string, std::string>> ParseFileFilter(std::string_view filter);

}  // namespace tolvane
