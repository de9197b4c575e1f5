// IgnoreListDialog: the "Ignore List" dialog's model. One row per ignore-list
// entry, in list order, every row checked when the dialog opens; "Delete"
// (and the menu item "Remove selected from ignorelist") removes the checked
// rows' entries and saves the file at once. OK and Cancel only close.
//
// "Inverse selection" toggles every check box here as it does in the results
// list. An entry whose threat left the database shows the saved name and
// empty category.
#pragma once

#include <string>

#include "app/views/check_list.h"

namespace tolvane {

class DialogView;
class IgnoreList;
class ThreatDatabase;

inline constexpr const char* kIgnoreListTitle = "Ignore List";

class IgnoreListDialog : public CheckListModel {
  public:
    IgnoreListDialog(IgnoreList& list, const ThreatDatabase& database);

    // Fills the rows from the list (done by the constructor).
    void Fill();
    // RemoveCheckedFromIgnoreList: false when the file could not be saved.
    bool RemoveCheckedFromIgnoreList();
    // A command of the "Ignore" context menu: the selection commands,
    // "Remove selected from ignorelist", and "Object details" for the
    // remembered row (its "Danger" left empty) shown through view.
    void RunMenuCommand(ListMenuCommand command, DialogView& view);

  protected:
    // "Object details", "Remove selected from ignorelist", -, "Select all
    // objects", "Deselect all objects", "Inverse selection", -, "Select all x
    // objects", "Deselect all x objects", -, "Select all y objects",
    // "Deselect all y objects".
    std::vector<ListMenuItem> MenuTemplate() const override;

  private:
    IgnoreList& list_;
    const ThreatDatabase& database_;
};

}  // namespace tolvane
