#include "app/views/results_list.h"

#include "definitions/threat_database.h"

namespace tolvane {

ListRow MakeResultRow(const ThreatDefinition* definition, std::string_view objectText,
                      ObjectType type, DetectedObject* object) {
    ListRow row;
    if (definition) {
        row.vendor = definition->name;
        row.category = definition->category;
        row.danger = definition->danger;
    }
    row.type = ObjectTypeText(type);
    row.object = std::string(objectText);
    if (object) row.object += ProfileSuffix(*object);
    // Informational and low-score indicators are shown for the user to
    // judge, not removed by "Remove all" unasked.
    row.checked = !definition || definition->checkedByDefault;
    row.detected = object;
    return row;
}

std::vector<ListMenuItem> ResultsListModel::MenuTemplate() const {
    using C = ListMenuCommand;
    return {
        {"Select all objects", C::SelectAll},
        {"Deselect all objects", C::DeselectAll},
        {"Inverse selection", C::InverseSelection},
        {"", C::SelectAll, true},
        {"Add selection to ignore list", C::AddSelectionToIgnoreList},
        {"Object details", C::ObjectDetails},
        {"", C::SelectAll, true},
        {"Select all x objects", C::SelectVendor},
        {"Deselect all x objects", C::DeselectVendor},
        {"", C::SelectAll, true},
        {"Select all y objects", C::SelectType},
        {"Deselect all y objects", C::DeselectType},
    };
}

}  // namespace tolvane
