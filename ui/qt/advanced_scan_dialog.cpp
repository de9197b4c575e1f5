#include "ui/qt/advanced_scan_dialog.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>
#include <optional>

#include "script/advanced_scan.h"
#include "ui/qt/dialog_driver.h"
#include "ui/qt/dialog_frame.h"
#include "ui/qt/qt_text.h"

namespace tolvane {

void RunAdvancedScanDialog(QWidget* parent, AdvancedScan& scan) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent, "AdvancedScan", kAdvancedScanTitle));
    auto* layout = new QVBoxLayout(dialog.get());
    auto* list = new QTreeWidget(dialog.get());
    list->setObjectName("list1050");
    list->setRootIsDecorated(false);
    list->setAllColumnsShowFocus(true);
    list->setAlternatingRowColors(true);
    list->setUniformRowHeights(true);
    QStringList headers;
    for (const AdvancedScanColumn& column : kAdvancedScanColumns) headers << column.title;
    list->setHeaderLabels(headers);
    const double scale = std::max(1.0, list->fontMetrics().height() / 13.0);
    for (int i = 0; i < 2; ++i) list->setColumnWidth(i, int(kAdvancedScanColumns[i].width * scale));
    auto refresh = [list, &scan] {
        for (size_t i = 0; i < scan.rows().size(); ++i) {
            QTreeWidgetItem* item = list->topLevelItem(int(i));
            if (!item) item = new QTreeWidgetItem(list);
            item->setText(0, ToQt(scan.rows()[i].vendor));
            item->setText(1, ToQt(scan.rows()[i].status));
        }
    };
    refresh();
    layout->addWidget(list, 1);
    auto* label = new QLabel(AdvancedScan::kDescriptionLabel, dialog.get());
    label->setObjectName("label1055");
    label->setFont(ArialFont(dialog.get(), 9));
    layout->addWidget(label);
    auto* description = new QPlainTextEdit(dialog.get());
    description->setObjectName("description1047");
    description->setReadOnly(true);
    description->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    const unsigned bgr = AdvancedScan::kDescriptionBackground;
    QPalette palette = description->palette();
    palette.setColor(QPalette::Base, QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF));
    palette.setColor(QPalette::Text, Qt::black);
    description->setPalette(palette);
    description->setFixedHeight(description->fontMetrics().lineSpacing() * 5 + 12);
    layout->addWidget(description);
    auto* buttons = new QDialogButtonBox(dialog.get());
    QPushButton* scanButton = buttons->addButton("Scan", QDialogButtonBox::AcceptRole);
    scanButton->setObjectName("scan");
    scanButton->setDefault(true);
    QPushButton* close =
        buttons->addButton(ToQt(scan.closeCaption()), QDialogButtonBox::RejectRole);
    close->setObjectName("close");
    scanButton->setEnabled(scan.scanEnabled());
    layout->addWidget(buttons);
    // Mouse clicks only: the keyboard moves the selection without changing
    // the description.
    QObject::connect(list, &QTreeWidget::itemClicked, dialog.get(),
                     [list, description, &scan](QTreeWidgetItem* item) {
                         int row = list->indexOfTopLevelItem(item);
                         scan.ClickRow(row < 0 ? std::nullopt : std::optional<size_t>(row));
                         description->setPlainText(ToQt(scan.description()));
                     });
    QObject::connect(scanButton, &QPushButton::clicked, dialog.get(), [&, refresh] {
        if (!scan.scanEnabled()) return;
        QApplication::setOverrideCursor(Qt::WaitCursor);
        scan.Scan();
        QApplication::restoreOverrideCursor();
        refresh();
        close->setText(ToQt(scan.closeCaption()));
        scanButton->setEnabled(scan.scanEnabled());
    });
    QObject::connect(close, &QPushButton::clicked, dialog.get(), &QDialog::reject);
    const int unit = dialog->fontMetrics().height();
    dialog->resize(unit * 30, unit * 26);
    DialogDriver::Instance().Exec(*dialog);
}

}  // namespace tolvane
