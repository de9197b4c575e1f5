#include "ui/qt/general_settings_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <memory>
#include <tuple>

#include "app/views/settings_windows.h"
#include "ui/qt/dialog_driver.h"
#include "ui/qt/dialog_frame.h"

namespace tolvane {

bool RunGeneralSettingsDialog(QWidget* parent, GeneralSettingsWindow& window) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent, "GeneralSettings", kGeneralSettingsTitle));
    auto* layout = SettingsLayout(dialog.get());
    auto* atStartUp = new QCheckBox("Run at system startup", dialog.get());
    atStartUp->setObjectName("check1029");
    atStartUp->setChecked(window.runAtStartUp());
    layout->addWidget(atStartUp);

    auto* group = new QGroupBox("At startup", dialog.get());
    auto* groupLayout = new QGridLayout(group);
    auto* choices = new QButtonGroup(dialog.get());
    const std::tuple<int, const char*, int> radios[] = {
        {GeneralSettingsWindow::kSmartScan, "Perform Smart Scan", 1034},
        {GeneralSettingsWindow::kCustomScan, "Custom Scan", 1035},
        {GeneralSettingsWindow::kSelectedFolders, "Selected Folders Only", 1040},
        {GeneralSettingsWindow::kNone, "None", 1022},
    };
    int row = 0;
    for (const auto& [choice, text, id] : radios) {
        auto* radio = new QRadioButton(text, group);
        radio->setObjectName(QString("radio%1").arg(id));
        radio->setChecked(window.startUpChoice() == choice);
        choices->addButton(radio, choice);
        groupLayout->addWidget(radio, row, 0);
        if (choice == GeneralSettingsWindow::kCustomScan) {
            auto* change = new QPushButton("Change", group);
            change->setObjectName("button1031");
            change->setAutoDefault(false);
            QObject::connect(change, &QPushButton::clicked, dialog.get(),
                             [&window] { window.ClickChange(); });
            groupLayout->addWidget(change, row, 1);
        }
        if (choice == GeneralSettingsWindow::kSelectedFolders) {
            auto* choose = new QPushButton("Choose", group);
            choose->setObjectName("button1021");
            choose->setAutoDefault(false);
            QObject::connect(choose, &QPushButton::clicked, dialog.get(),
                             [&window] { window.ClickChoose(); });
            groupLayout->addWidget(choose, row, 1);
        }
        ++row;
    }
    QObject::connect(choices, &QButtonGroup::idClicked, dialog.get(),
                     [&window](int choice) { window.ChooseStartUp(choice); });
    layout->addWidget(group);
    auto* removeAfter = new QCheckBox("Start removing after scan is complete", dialog.get());
    removeAfter->setObjectName("check1032");
    removeAfter->setChecked(window.removeAfterScan());
    layout->addWidget(removeAfter);
    // Kept in this computer's Tolvane settings, not in the machine.
    auto* serverLabel = new QLabel("Update server (empty: Tolvane's own):", dialog.get());
    auto* server = new QLineEdit(QString::fromStdString(window.updateServer()), dialog.get());
    server->setObjectName("updateServer");
    serverLabel->setBuddy(server);
    layout->addWidget(serverLabel);
    layout->addWidget(server);
    QObject::connect(server, &QLineEdit::textChanged, dialog.get(), [&window](const QString& text) {
        window.SetUpdateServer(text.trimmed().toStdString());
    });
    // Both boxes act at once, also when the window is then cancelled.
    QObject::connect(atStartUp, &QCheckBox::clicked, dialog.get(),
                     [&window](bool checked) { window.ClickRunAtStartUp(checked); });
    QObject::connect(removeAfter, &QCheckBox::clicked, dialog.get(),
                     [&window](bool checked) { window.ClickRemoveAfterScan(checked); });
    layout->addWidget(OkCancel(dialog.get()));
    return DialogDriver::Instance().Exec(*dialog) == QDialog::Accepted;
}

}  // namespace tolvane
