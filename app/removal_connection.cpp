#include "app/removal_connection.h"

#include "app/views/main_window_view.h"
#include "app/views/results_list.h"
#include "app/views/views.h"
#include "scan/detected_object.h"

namespace tolvane {

size_t ResultRows::RowCount() const {
    return list_.size();
}

bool ResultRows::IsRowChecked(size_t row) const {
    return row < list_.size() && list_.rows()[row].checked;
}

void ResultRows::SetRowChecked(size_t row, bool checked) {
    if (row < list_.size()) list_.SetChecked(row, checked);
}

ObjectType ResultRows::RowType(size_t row) const {
    if (row >= list_.size() || !list_.rows()[row].detected) return ObjectType{};
    return list_.rows()[row].detected->type;
}

std::string ResultRows::RowText(size_t row) const {
    if (row >= list_.size() || !list_.rows()[row].detected) return "";
    return list_.rows()[row].detected->objectText;
}

bool ResultRows::RowBackupMark(size_t row) const {
    return row < list_.size() && list_.rows()[row].detected &&
           list_.rows()[row].detected->backupMark;
}

void ResultRows::SetRowBackupMark(size_t row, bool marked) {
    if (row < list_.size() && list_.rows()[row].detected)
        list_.rows()[row].detected->backupMark = marked;
}

void ResultRows::RemoveRow(size_t row) {
    list_.RemoveAt(row);
}

void ResultRows::RemoveRows(const std::vector<size_t>& rows) {
    list_.RemoveRows(rows);
}

PromptAnswer ViewsRemovalView::Ask(const Prompt& prompt) {
    return messages_.Ask(prompt);
}

bool ViewsRemovalView::AskRemoveAtNextStart(std::string_view title, std::string_view prompt,
                                            std::string_view items) {
    return dialogs_.AskWithItems(title, prompt, items);
}

bool ViewsRemovalView::AskSaveArchive(const ArchiveDialog& dialog, std::string* path) {
    FileDialogOptions options;
    options.initialPath = dialog.initialPath;
    options.filter = dialog.filter;
    options.defaultExtension = dialog.defaultExtension;
    return files_.AskSaveFile(options, path);
}

bool ViewsRemovalView::AskOpenArchive(const ArchiveDialog& dialog, std::string* path) {
    FileDialogOptions options;
    options.initialPath = dialog.initialPath;
    options.filter = dialog.filter;
    return files_.AskOpenFile(options, path);
}

void ViewsRemovalView::SetBusy(bool busy) {
    window_.SetBusy(busy);
}
void ViewsRemovalView::SetProgressRange(int low, int high) {
    window_.SetProgressRange(low, high);
}
void ViewsRemovalView::SetProgressPosition(int position) {
    window_.SetProgressPosition(position);
}

}  // namespace tolvane
