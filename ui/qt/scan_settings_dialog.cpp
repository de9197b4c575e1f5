#include "ui/qt/scan_settings_dialog.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>

#include "app/views/settings_windows.h"
#include "ui/qt/dialog_driver.h"
#include "ui/qt/dialog_frame.h"

namespace tolvane {

bool RunScanSettingsDialog(QWidget* parent, ScanSettingsWindow& window) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent, "ScanSettings", kScanSettingsTitle));
    auto* layout = SettingsLayout(dialog.get());
    auto* group = new QGroupBox("Custom Scan covers", dialog.get());
    auto* groupLayout = new QVBoxLayout(group);
    const int ids[ScanSettingsWindow::kBoxCount] = {1015, 1016, 1017, 1018, 1019, 1020};
    for (int box = 0; box < ScanSettingsWindow::kBoxCount; ++box) {
        auto* check = new QCheckBox(ScanSettingsWindow::BoxText(box), group);
        check->setObjectName(QString("check%1").arg(ids[box]));
        check->setChecked(window.checked(box));
        // The hidden boxes keep the state they were opened with.
        check->setVisible(ScanSettingsWindow::BoxVisible(box));
        QObject::connect(check, &QCheckBox::toggled, dialog.get(),
                         [&window, box](bool on) { window.SetChecked(box, on); });
        if (box == ScanSettingsWindow::kDrives) {
            auto* line = new QHBoxLayout;
            line->addWidget(check, 1);
            auto* choose = new QPushButton("Choose", group);
            choose->setObjectName("button1021");
            choose->setAutoDefault(false);
            QObject::connect(choose, &QPushButton::clicked, dialog.get(),
                             [&window] { window.ClickChoose(); });
            line->addWidget(choose);
            groupLayout->addLayout(line);
        } else {
            groupLayout->addWidget(check);
        }
    }
    layout->addWidget(group);
    layout->addWidget(OkCancel(dialog.get()));
    return DialogDriver::Instance().Exec(*dialog) == QDialog::Accepted;
}

}  // namespace tolvane
