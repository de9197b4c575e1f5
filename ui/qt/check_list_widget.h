// CheckListWidget: a check-box list of the five columns Vendor, Type,
// Category, Object and Danger that mirrors a CheckListModel (the results list
// or the Ignore List dialog): every change of the model shows at once, a
// click on a check box sets the model's row, and a right click on a row
// opens the model's context menu (titled menuTitle) 5 pixels above the mouse.
#pragma once

#include <QColor>
#include <QTreeWidget>
#include <functional>
#include <optional>
#include <vector>

#include "app/views/check_list.h"

namespace tolvane {

class CheckListWidget : public QTreeWidget, public CheckListObserver {
    Q_OBJECT
  public:
    CheckListWidget(CheckListModel& model, QString menuTitle, QWidget* parent = nullptr);
    ~CheckListWidget() override;

    // The menu's items when a right click opens it (the model's by default)
    // and what a chosen item does.
    std::function<std::vector<ListMenuItem>(bool onRow, std::optional<size_t> highlighted)>
        openMenu;
    std::function<void(ListMenuCommand)> runCommand;

    // Opens the context menu as a right click at pos (viewport coordinates)
    // does; the chosen command runs.
    void OpenContextMenuAt(const QPoint& pos);
    // The first highlighted row, if any.
    std::optional<size_t> HighlightedRow() const;
    // Rebuilds every row from the model.
    void Reload();

    void OnRowsReset() override;
    void OnRowInserted(size_t row) override;
    void OnRowRemoved(size_t row) override;
    void OnRowChanged(size_t row) override;

  private:
    QTreeWidgetItem* MakeItem(const ListRow& row) const;
    void FitColumnsTo(QTreeWidgetItem* item);
    void OnItemChanged(QTreeWidgetItem* item, int column);

    CheckListModel& model_;
    QString menuTitle_;
    bool mirroring_ = false;
};

// The icon of an object type in the lists.
QIcon ObjectTypeIcon(const QString& typeText);
// The colour the Danger column shows a level in (invalid: the list's own).
QColor DangerColour(const QString& danger);

}  // namespace tolvane
