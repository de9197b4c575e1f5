#include "ui/qt/machine_chooser_dialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <memory>

#include "ui/machine_chooser.h"
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
    list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    return list;
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
    open->setEnabled(chooser.selected().has_value());
    buttons->addButton(QDialogButtonBox::Cancel);
    layout->addWidget(buttons);
    QObject::connect(list, &QTreeWidget::currentItemChanged, dialog.get(),
                     [list, open, &chooser](QTreeWidgetItem* item) {
                         int row = item ? list->indexOfTopLevelItem(item) : -1;
                         chooser.Select(row < 0 ? std::nullopt : std::optional<size_t>(row));
                         open->setEnabled(chooser.selected().has_value());
                     });
    QObject::connect(list, &QTreeWidget::itemDoubleClicked, dialog.get(), &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog.get(), &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog.get(), &QDialog::reject);
    const int unit = dialog->fontMetrics().height();
    dialog->resize(unit * 52, unit * 20);
    return DialogDriver::Instance().Exec(*dialog) == QDialog::Accepted &&
           chooser.selected().has_value();
}

}  // namespace tolvane
