// ResultsListModel: the main window's list of the objects the current scan
// recognised, one checked row per object, with the "Result" context menu.
// The rows point at the scan's objects without owning them.
#pragma once

#include <string_view>

#include "app/views/check_list.h"

namespace tolvane {

struct DetectedObject;
struct ThreatDefinition;

// A result row: vendor, category and danger from the definition (empty
// without one), the type's list text, the object text; checked, with the
// object attached. An object found in a user's profile shows it after its
// text (ProfileSuffix).
ListRow MakeResultRow(const ThreatDefinition* definition, std::string_view objectText,
                      ObjectType type, DetectedObject* object);

class ResultsListModel : public CheckListModel {
  public:
    // AddResultRow: appends the row (the face scrolls it into view).
    void AddResultRow(ListRow row) { Append(std::move(row)); }

  protected:
    // "Select all objects", "Deselect all objects", "Inverse selection", -,
    // "Add selection to ignore list", "Object details", -, "Select all x
    // objects", "Deselect all x objects", -, "Select all y objects",
    // "Deselect all y objects".
    std::vector<ListMenuItem> MenuTemplate() const override;
};

}  // namespace tolvane
