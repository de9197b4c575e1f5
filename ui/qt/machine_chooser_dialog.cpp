#include "ui/qt/machine_chooser_dialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>

#include "app/views/machine_chooser.h"
#include "ui/qt/dialog_driver.h"
#include "ui/qt/dialog_frame.h"
#include "ui/qt/qt_text.h"

namespace tolvane {
namespace {

QTreeWidget* MachineList(QDialog* dialog, const MachineChooser& chooser) {
    auto* list = new QTreeWidget(dialog);
    list->setObjectName("machines");
    list->setRootIsDecorated(false);
    list->setAllColumnsShowFocus(true);
    list->setUniformRowHeights(true);
    list->setHeaderLabels({"Machine", "Kind", "Found in", "State"});
    for (const MachineRow& row : chooser.rows()) {
        auto* item = new QTreeWidgetItem(list);
        item->setText(0, ToQt(row.path));
        item->setText(1, ToQt(row.kind));
        item->setText(2, ToQt(row.foundIn));
        item->setText(
            3, row.damage.empty() ? (row.current ? "open" : "") : "damaged: " + ToQt(row.damage));
        for (int column = 0; column < 4; ++column) {
            item->setToolTip(column, item->text(column));
            if (row.current) {
                QFont font = item->font(column);
                font.setBold(true);
                item->setFont(column, font);
            }
        }
    }
    if (chooser.selected()) list->setCurrentItem(list->topLevelItem(int(*chooser.selected())));
    list->setTextElideMode(Qt::ElideMiddle);
    return list;
}

// As wide as the columns' texts ask, within the screen; when that is too
// narrow, the columns but the kind share the room and show their texts' two
// ends (the tooltips hold them whole), so that all four stay in sight.
void FitColumns(QDialog* dialog, QTreeWidget* list, QWidget* parent) {
    const int unit = dialog->fontMetrics().height();
    int wanted = unit * 3;
    for (int column = 0; column < list->columnCount(); ++column) {
        list->resizeColumnToContents(column);
        wanted += list->columnWidth(column);
    }
    QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
    const int room = std::max(unit * 52, screen ? screen->availableGeometry().width() * 9 / 10 : 0);
    const int width = std::clamp(wanted, unit * 52, room);
    dialog->resize(width, unit * 20);
    if (wanted <= width) return;
    const int rest = width - unit * 3 - list->columnWidth(1);
    list->setColumnWidth(0, std::min(list->columnWidth(0), rest * 9 / 20));
    list->setColumnWidth(3, std::min(list->columnWidth(3), rest / 4));
    list->setColumnWidth(2, rest - list->columnWidth(0) - list->columnWidth(3));
}

}  // namespace

bool RunMachineChooserDialog(QWidget* parent, MachineChooser& chooser) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent, "OpenMachine", kOpenMachineTitle));
    auto* layout = new QVBoxLayout(dialog.get());
    QTreeWidget* list = MachineList(dialog.get(), chooser);
    layout->addWidget(list, 1);
    auto* buttons = new QDialogButtonBox(dialog.get());
    QPushButton* open = buttons->addButton("&Open", QDialogButtonBox::AcceptRole);
    open->setObjectName("open");
    open->setDefault(true);
    open->setEnabled(chooser.CanOpen());
    buttons->addButton(QDialogButtonBox::Cancel);
    layout->addWidget(buttons);
    QObject::connect(list, &QTreeWidget::currentItemChanged, dialog.get(),
                     [list, open, &chooser](QTreeWidgetItem* item) {
                         int row = item ? list->indexOfTopLevelItem(item) : -1;
                         chooser.Select(row < 0 ? std::nullopt : std::optional<size_t>(row));
                         open->setEnabled(chooser.CanOpen());
                     });
    QObject::connect(list, &QTreeWidget::itemDoubleClicked, dialog.get(), &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog.get(), &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog.get(), &QDialog::reject);
    FitColumns(dialog.get(), list, parent);
    return DialogDriver::Instance().Exec(*dialog) == QDialog::Accepted &&
           chooser.selected().has_value();
}

}  // namespace tolvane
