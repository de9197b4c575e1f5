#include "app/views/check_list.h"

#include "base/erase_positions.h"

namespace tolvane {

const std::vector<ListColumn>& CheckListColumns() {
    static const std::vector<ListColumn> columns = {
        {"Vendor", 150}, {"Type", 75}, {"Category", 75}, {"Object", 125}, {"Danger", 75},
    };
    return columns;
}

const std::string& ListRow::Text(ListColumnIndex column) const {
    switch (column) {
        case ListColumnIndex::Vendor:
            return vendor;
        case ListColumnIndex::Type:
            return type;
        case ListColumnIndex::Category:
            return category;
        case ListColumnIndex::Object:
            return object;
        case ListColumnIndex::Danger:
            return danger;
    }
    return vendor;
}

void CheckListModel::Clear() {
    rows_.clear();
    if (observer_) observer_->OnRowsReset();
}

void CheckListModel::Append(ListRow row) {
    rows_.push_back(std::move(row));
    if (observer_) observer_->OnRowInserted(rows_.size() - 1);
}

void CheckListModel::RemoveAt(size_t row) {
    if (row >= rows_.size()) return;
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(row));
    if (observer_) observer_->OnRowRemoved(row);
}

void CheckListModel::RemoveRows(const std::vector<size_t>& rows) {
    if (rows.size() == 1) return RemoveAt(rows[0]);
    if (ErasePositions(rows_, rows, [](const auto&) {}) == 0) return;
    if (observer_) observer_->OnRowsReset();
}

void CheckListModel::SetChecked(size_t row, bool checked) {
    if (row >= rows_.size() || rows_[row].checked == checked) return;
    rows_[row].checked = checked;
    if (observer_) observer_->OnRowChanged(row);
}

size_t CheckListModel::CheckedCount() const {
    size_t count = 0;
    for (const ListRow& row : rows_) count += row.checked ? 1 : 0;
    return count;
}

void CheckListModel::SetAll(bool checked) {
    for (size_t i = 0; i < rows_.size(); ++i) SetChecked(i, checked);
}

void CheckListModel::InverseSelection() {
    for (size_t i = 0; i < rows_.size(); ++i) SetChecked(i, !rows_[i].checked);
}

const ListRow* CheckListModel::RememberedRowData() const {
    if (!remembered_ || *remembered_ >= rows_.size()) return nullptr;
    return &rows_[*remembered_];
}

void CheckListModel::SetCheckedLikeRemembered(ListColumnIndex column, bool checked) {
    const ListRow* remembered = RememberedRowData();
    if (!remembered) return;
    // The texts are read as the list control gives them: at most 255 bytes.
    std::string wanted = remembered->Text(column).substr(0, 255);
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].Text(column).substr(0, 255) == wanted) SetChecked(i, checked);
}

std::vector<ListMenuItem> CheckListModel::OpenContextMenu(bool clickedOnRow,
                                                          std::optional<size_t> highlightedRow) {
    if (!clickedOnRow) return {};
    remembered_ = highlightedRow;
    if (remembered_ && *remembered_ >= rows_.size()) remembered_.reset();
    std::vector<ListMenuItem> items = MenuTemplate();
    const ListRow* row = RememberedRowData();
    for (ListMenuItem& item : items) {
        const char* verb = nullptr;
        ListColumnIndex column = ListColumnIndex::Vendor;
        switch (item.command) {
            case ListMenuCommand::SelectVendor:
                verb = "Select all ";
                break;
            case ListMenuCommand::DeselectVendor:
                verb = "Deselect all ";
                break;
            case ListMenuCommand::SelectType:
                verb = "Select all ";
                column = ListColumnIndex::Type;
                break;
            case ListMenuCommand::DeselectType:
                verb = "Deselect all ";
                column = ListColumnIndex::Type;
                break;
            default:
                break;
        }
        if (!verb || item.isSeparator) continue;
        item.text =
            row ? std::string(verb) + "\"" + row->Text(column) + "\" objects" : kNoObjectSelected;
    }
    return items;
}

bool CheckListModel::RunSelectionCommand(ListMenuCommand command) {
    switch (command) {
        case ListMenuCommand::SelectAll:
            SelectAll();
            return true;
        case ListMenuCommand::DeselectAll:
            DeselectAll();
            return true;
        case ListMenuCommand::InverseSelection:
            InverseSelection();
            return true;
        case ListMenuCommand::SelectVendor:
            SetCheckedLikeRemembered(ListColumnIndex::Vendor, true);
            return true;
        case ListMenuCommand::DeselectVendor:
            SetCheckedLikeRemembered(ListColumnIndex::Vendor, false);
            return true;
        case ListMenuCommand::SelectType:
            SetCheckedLikeRemembered(ListColumnIndex::Type, true);
            return true;
        case ListMenuCommand::DeselectType:
            SetCheckedLikeRemembered(ListColumnIndex::Type, false);
            return true;
        default:
            return false;
    }
}

}  // namespace tolvane
