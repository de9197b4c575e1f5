#include "app/views/ignore_list_dialog.h"

#include <vector>

#include "app/views/details.h"
#include "app/views/views.h"
#include "definitions/threat_database.h"
#include "scan/ignore_list.h"

namespace tolvane {

IgnoreListDialog::IgnoreListDialog(IgnoreList& list, const ThreatDatabase& database)
    : list_(list), database_(database) {
    Fill();
}

void IgnoreListDialog::RunMenuCommand(ListMenuCommand command, DialogView& view) {
    if (RunSelectionCommand(command)) return;
    if (command == ListMenuCommand::RemoveSelectedFromIgnoreList) {
        RemoveCheckedFromIgnoreList();
    } else if (command == ListMenuCommand::ObjectDetails) {
        if (const ListRow* row = RememberedRowData())
            view.ShowObjectDetails(MakeObjectDetails(*row, database_, true));
    }
}

void IgnoreListDialog::Fill() {
    Clear();
    for (const IgnoreEntry& entry : list_.Entries()) {
        ListRow row;
        row.vendor = entry.definition ? entry.definition->name : entry.name;
        row.type = ObjectTypeText(entry.type);
        row.category = entry.definition ? entry.definition->category : "";
        row.object = entry.objectText;
        row.checked = true;
        Append(std::move(row));
    }
}

bool IgnoreListDialog::RemoveCheckedFromIgnoreList() {
    // Rows and entries stand at the same positions, so both shrink together.
    std::vector<size_t> checked;
    for (size_t position = 0; position < size(); ++position)
        if (rows()[position].checked) checked.push_back(position);
    RemoveRows(checked);
    list_.RemoveIndexes(checked);
    return list_.Save();
}

std::vector<ListMenuItem> IgnoreListDialog::MenuTemplate() const {
    using C = ListMenuCommand;
    return {
        {"Object details", C::ObjectDetails},
        {"Remove selected from ignorelist", C::RemoveSelectedFromIgnoreList},
        {"", C::SelectAll, true},
        {"Select all objects", C::SelectAll},
        {"Deselect all objects", C::DeselectAll},
        {"Inverse selection", C::InverseSelection},
        {"", C::SelectAll, true},
        {"Select all x objects", C::SelectVendor},
        {"Deselect all x objects", C::DeselectVendor},
        {"", C::SelectAll, true},
        {"Select all y objects", C::SelectType},
        {"Deselect all y objects", C::DeselectType},
    };
}

}  // namespace tolvane
