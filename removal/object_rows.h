// The results list as removal and backup walk it: rows in the order shown,
// each with the detected object it stands for (its type, its object
// text and its backup mark) and its check box. The application implements
// it over its results list and the scan's objects; removal deletes rows
// through it as it removes their objects.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "scan/object_type.h"

namespace tolvane {

class ObjectRows {
  public:
    virtual ~ObjectRows() = default;
    virtual size_t RowCount() const = 0;
    virtual bool IsRowChecked(size_t row) const = 0;
    // The row's object: its type and its object text.
    virtual ObjectType RowType(size_t row) const = 0;
    virtual std::string RowText(size_t row) const = 0;
    virtual void SetRowChecked(size_t row, bool checked) = 0;
    // The object's one-byte backup mark.
    virtual bool RowBackupMark(size_t row) const = 0;
    virtual void SetRowBackupMark(size_t row, bool marked) = 0;
    // Deletes the row from the list (the next row moves up into its place);
    // the object itself stays with the scan results.
    virtual void RemoveRow(size_t row) = 0;
    // Deletes the rows at these positions (ascending, as they are now); a
    // list that can drop many rows at once in one pass does so here.
    virtual void RemoveRows(const std::vector<size_t>& rows) {
        for (size_t i = rows.size(); i-- > 0;) RemoveRow(rows[i]);
    }
};

}  // namespace tolvane
