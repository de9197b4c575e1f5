// CheckListModel: the rows of a check-box list with the five columns Vendor,
// Type, Category, Object and Danger, and the selection commands of its
// context menu (select, deselect and inverse for every row, and for the rows
// sharing the clicked row's vendor or type). The results list and the Ignore
// List dialog are both such lists.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/detected_object.h"

namespace tolvane {

struct ListColumn {
    const char* header;
    int width;  // pixels
};
// "Vendor" 150, "Type" 75, "Category" 75, "Object" 125, "Danger" 75.
const std::vector<ListColumn>& CheckListColumns();

enum class ListColumnIndex { Vendor = 0, Type = 1, Category = 2, Object = 3, Danger = 4 };

// The type texts ("File", "Registry Key" ...) are ObjectTypeText of
// scan/detected_object.h.

struct ListRow {
    std::string vendor;
    std::string type;
    std::string category;
    std::string object;
    std::string danger;
    bool checked = true;
    // The scan's object shown by the row (results list); not owned.
    DetectedObject* detected = nullptr;

    const std::string& Text(ListColumnIndex column) const;
};

// Told about every change, so that a face can mirror the rows.
class CheckListObserver {
  public:
    virtual ~CheckListObserver() = default;
    virtual void OnRowsReset() = 0;
    virtual void OnRowInserted(size_t row) = 0;
    virtual void OnRowRemoved(size_t row) = 0;
    virtual void OnRowChanged(size_t row) = 0;  // its check box
};

// The commands of the context menus ("Result" and "Ignore").
enum class ListMenuCommand {
    SelectAll,
    DeselectAll,
    InverseSelection,
    AddSelectionToIgnoreList,      // results list
    ObjectDetails,                 // both
    RemoveSelectedFromIgnoreList,  // Ignore List dialog
    SelectVendor,
    DeselectVendor,
    SelectType,
    DeselectType,
};

struct ListMenuItem {
    std::string text;
    ListMenuCommand command = ListMenuCommand::SelectAll;
    bool isSeparator = false;
};

inline constexpr const char* kNoObjectSelected = "No object selected";

class CheckListModel {
  public:
    virtual ~CheckListModel() = default;
    void SetObserver(CheckListObserver* observer) { observer_ = observer; }

    const std::vector<ListRow>& rows() const { return rows_; }
    size_t size() const { return rows_.size(); }

    void Clear();
    void Append(ListRow row);
    void RemoveAt(size_t row);
    // Removes the rows at these positions (ascending, as they are now) in
    // one pass; the observer hears of one removed row, or of a reset when
    // more went.
    void RemoveRows(const std::vector<size_t>& rows);
    void SetChecked(size_t row, bool checked);
    size_t CheckedCount() const;

    void SelectAll() { SetAll(true); }
    void DeselectAll() { SetAll(false); }
    void InverseSelection();
    // Sets or clears the check box of every row whose text in column equals
    // the remembered row's (byte for byte); nothing when none is remembered.
    void SetCheckedLikeRemembered(ListColumnIndex column, bool checked);

    // Right click: nothing opens (empty result) when the click was not on a
    // row. Otherwise the remembered row becomes the highlighted row (or none)
    // and the menu's items come back with the vendor and type items
    // rewritten: Select all "V" objects ..., or "No object selected".
    std::vector<ListMenuItem> OpenContextMenu(bool clickedOnRow,
                                              std::optional<size_t> highlightedRow);
    std::optional<size_t> rememberedRow() const { return remembered_; }
    // The remembered row when it still names a row.
    const ListRow* RememberedRowData() const;

    // The selection commands (the others are the owner's); false when the
    // command is not a selection command.
    bool RunSelectionCommand(ListMenuCommand command);

  protected:
    // The context menu's template items in order.
    virtual std::vector<ListMenuItem> MenuTemplate() const = 0;

  private:
    void SetAll(bool checked);
    std::vector<ListRow> rows_;
    CheckListObserver* observer_ = nullptr;
    std::optional<size_t> remembered_;
};

}  // namespace tolvane
