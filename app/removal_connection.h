// Removal connected to the main window: the results list as the rows
// removal and backup walk (ResultRows), and the removal's questions and
// dialogs shown through the window's views (ViewsRemovalView).
#pragma once

#include "removal/object_rows.h"
#include "removal/removal_view.h"

namespace tolvane {

class DialogView;
class FileDialogView;
class MainWindowView;
class Prompter;
class ResultsListModel;

class ResultRows : public ObjectRows {
  public:
    explicit ResultRows(ResultsListModel& list) : list_(list) {}
    size_t RowCount() const override;
    bool IsRowChecked(size_t row) const override;
    void SetRowChecked(size_t row, bool checked) override;
    int RowType(size_t row) const override;
    std::string RowText(size_t row) const override;
    bool RowBackupMark(size_t row) const override;
    void SetRowBackupMark(size_t row, bool marked) override;
    void RemoveRow(size_t row) override;
    void RemoveRows(const std::vector<size_t>& rows) override;

  private:
    ResultsListModel& list_;
};

class ViewsRemovalView : public RemovalView {
  public:
    ViewsRemovalView(Prompter& messages, FileDialogView& files, DialogView& dialogs,
                     MainWindowView& window)
        : messages_(messages), files_(files), dialogs_(dialogs), window_(window) {}

    PromptAnswer Ask(const Prompt& prompt) override;
    bool AskRemoveAtNextStart(std::string_view title, std::string_view prompt,
                              std::string_view items) override;
    bool AskSaveArchive(const ArchiveDialog& dialog, std::string* path) override;
    bool AskOpenArchive(const ArchiveDialog& dialog, std::string* path) override;
    void SetBusy(bool busy) override;
    void SetProgressRange(int low, int high) override;
    void SetProgressPosition(int position) override;

  private:
    Prompter& messages_;
    FileDialogView& files_;
    DialogView& dialogs_;
    MainWindowView& window_;
};

}  // namespace tolvane
