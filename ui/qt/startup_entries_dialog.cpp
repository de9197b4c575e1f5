#include "ui/qt/startup_entries_dialog.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <memory>

#include "app/views/startup_entries_window.h"
#include "ui/qt/dialog_driver.h"
#include "ui/qt/dialog_frame.h"
#include "ui/qt/qt_text.h"

namespace tolvane {
namespace {

constexpr int kColumns = static_cast<int>(StartupColumn::Count);
// The command as a cell shows it; the details and the tooltip hold it whole.
constexpr int kShownCommandChars = 400;

void RunDetailsDialog(QWidget* parent, const StartupEntriesWindow& window, size_t row) {
    std::unique_ptr<QDialog> dialog(
        MakeDialog(parent, "StartupEntryDetails", kStartupEntryDetailsTitle));
    auto* layout = new QVBoxLayout(dialog.get());
    auto* form = new QFormLayout;
    for (const auto& [label, value] : window.Details(row)) {
        QWidget* field;
        if (label == "Command" || label == "Location") {
            auto* text = new QPlainTextEdit(ToQt(value), dialog.get());
            text->setReadOnly(true);
            text->setFixedHeight(text->fontMetrics().lineSpacing() * 3 + 12);
            field = text;
        } else {
            auto* edit = new QLineEdit(ToQt(value), dialog.get());
            edit->setReadOnly(true);
            edit->setCursorPosition(0);
            field = edit;
        }
        field->setObjectName(ToQt(label));
        field->setFont(ArialFont(dialog.get()));
        form->addRow(ToQt(label), field);
    }
    layout->addLayout(form);
    layout->addWidget(OkCancel(dialog.get(), false));
    const int unit = dialog->fontMetrics().height();
    dialog->resize(unit * 36, unit * 26);
    DialogDriver::Instance().Exec(*dialog);
}

void FillRows(QTreeWidget* list, const StartupEntriesWindow& window) {
    // The rows' own changes are no user's checks.
    const QSignalBlocker quiet(list);
    list->clear();
    for (size_t row = 0; row < window.RowCount(); ++row) {
        auto* item = new QTreeWidgetItem(list);
        for (int column = 0; column < kColumns; ++column) {
            std::string text = window.Text(row, static_cast<StartupColumn>(column));
            item->setToolTip(column, ToQt(text.substr(0, 4096)));
            if (static_cast<StartupColumn>(column) == StartupColumn::Command)
                text = text.substr(0, kShownCommandChars);
            item->setText(column, ToQt(text));
        }
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(0, window.Checked(row) ? Qt::Checked : Qt::Unchecked);
    }
    for (int column = 0; column < kColumns; ++column) list->resizeColumnToContents(column);
}

QTreeWidget* EntryList(QDialog* dialog) {
    auto* list = new QTreeWidget(dialog);
    list->setObjectName("entries");
    list->setRootIsDecorated(false);
    list->setAllColumnsShowFocus(true);
    list->setUniformRowHeights(true);
    list->setTextElideMode(Qt::ElideMiddle);
    list->setHeaderLabels({"Location", "Name", "Command", "File", "Flags"});
    list->header()->setStretchLastSection(true);
    return list;
}

// Removal and disabling of start-up entries come with their backup; until
// then the buttons say why they do nothing.
QHBoxLayout* Buttons(QDialog* dialog, QPushButton** details) {
    auto* row = new QHBoxLayout;
    *details = new QPushButton("&Details...", dialog);
    (*details)->setObjectName("details");
    row->addWidget(*details);
    for (const char* caption : {"&Remove", "D&isable"}) {
        auto* button = new QPushButton(caption, dialog);
        button->setObjectName(QString(caption).remove('&').toLower());
        button->setEnabled(false);
        button->setToolTip("Removing and disabling start-up entries is not available yet.");
        row->addWidget(button);
    }
    row->addStretch();
    auto* close = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    QObject::connect(close, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    row->addWidget(close);
    return row;
}

}  // namespace

void RunStartupEntriesDialog(QWidget* parent, StartupEntriesWindow& window) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent, "StartupEntries", kStartupEntriesTitle));
    auto* layout = new QVBoxLayout(dialog.get());
    auto* hideOwn = new QCheckBox(kHideOwnEntriesLabel, dialog.get());
    hideOwn->setObjectName("hideOwn");
    hideOwn->setChecked(window.HideOwn());
    layout->addWidget(hideOwn);
    QTreeWidget* list = EntryList(dialog.get());
    layout->addWidget(list, 1);
    auto* status = new QLabel(dialog.get());
    status->setObjectName("status");
    layout->addWidget(status);
    auto* notes = new QLabel(dialog.get());
    notes->setObjectName("notes");
    notes->setWordWrap(true);
    notes->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(notes);
    QPushButton* details = nullptr;
    layout->addLayout(Buttons(dialog.get(), &details));

    auto refresh = [&window, list, status, notes, details] {
        FillRows(list, window);
        status->setText(ToQt(window.StatusText()));
        QString text;
        for (const std::string& note : window.Notes())
            text += (text.isEmpty() ? "" : "\n") + ToQt(note);
        notes->setText(text);
        notes->setVisible(!text.isEmpty());
        details->setEnabled(window.RowCount() > 0);
    };
    window.onChanged = refresh;
    refresh();
    QObject::connect(hideOwn, &QCheckBox::toggled, [&window](bool on) { window.SetHideOwn(on); });
    QObject::connect(list, &QTreeWidget::itemChanged, [&window, list](QTreeWidgetItem* item) {
        const int row = list->indexOfTopLevelItem(item);
        if (row >= 0) window.SetChecked(size_t(row), item->checkState(0) == Qt::Checked);
    });
    auto showDetails = [&window, list, dialog = dialog.get()] {
        const int row = list->indexOfTopLevelItem(list->currentItem());
        if (row >= 0 && size_t(row) < window.RowCount()) RunDetailsDialog(dialog, window, row);
    };
    QObject::connect(details, &QPushButton::clicked, showDetails);
    QObject::connect(list, &QTreeWidget::itemDoubleClicked, showDetails);
    const int unit = dialog->fontMetrics().height();
    dialog->resize(unit * 60, unit * 30);
    DialogDriver::Instance().Exec(*dialog);
    window.onChanged = nullptr;
}

}  // namespace tolvane
