// ResultsListModel: the main window's list of the objects the current scan
// recognised, one checked row per object, with the "Result" context menu.
// The rows point at the scan's objects without owning them.
#pragma once

#include "ui/check_list.h"

namespace tolvane {

struct DetectedObject;

class ResultsListModel : public CheckListModel {
  public:
    // AddResultRow: appends a checked row with the object's five texts.
    void AddResultRow(DetectedObject* object);
    // The row texts of an object (checked, object attached).
    static ListRow RowFor(DetectedObject* object);

  protected:
    // "Select all objects", "Deselect all objects", "Inverse selection", -,
    // "Add selection to ignore list", "Object details", -, "Select all x
    // objects", "Deselect all x objects", -, "Select all y objects",
    // "Deselect all y objects".
    std::vector<ListMenuItem> MenuTemplate() const override;
};

}  // namespace tolvane
