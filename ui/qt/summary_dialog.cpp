#include "ui/qt/summary_dialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <memory>

#include "app/views/details.h"
#include "ui/qt/dialog_driver.h"
#include "ui/qt/dialog_frame.h"
#include "ui/qt/qt_text.h"

namespace tolvane {

void RunSummaryDialog(QWidget* parent, const SummaryTexts& summary) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent, "Summary", kSummaryTitle));
    auto* layout = new QVBoxLayout(dialog.get());
    auto* columns = new QHBoxLayout;
    auto addRows = [&](QWidget* box, const std::vector<std::pair<std::string, std::string>>& rows,
                       size_t from, size_t to) {
        auto* form = new QFormLayout(box);
        for (size_t i = from; i < to && i < rows.size(); ++i) {
            auto* value = new QLabel(ToQt(rows[i].second), box);
            QFont font = ArialFont(box);
            font.setBold(true);
            value->setFont(font);
            value->setObjectName(
                QString("value_%1").arg(ToQt(rows[i].first).remove(" :").remove(' ')));
            value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            form->addRow(ToQt(rows[i].first), value);
        }
    };
    auto* left = new QGroupBox(dialog.get());
    addRows(left, summary.left, 0, summary.left.size());
    columns->addWidget(left);
    auto* right = new QVBoxLayout;
    auto* top = new QGroupBox(dialog.get());
    addRows(top, summary.right, 0, 2);
    auto* bottom = new QGroupBox(dialog.get());
    addRows(bottom, summary.right, 2, summary.right.size());
    right->addWidget(top);
    right->addWidget(bottom);
    right->addStretch(1);
    columns->addLayout(right);
    layout->addLayout(columns);
    layout->addWidget(OkCancel(dialog.get(), false));
    DialogDriver::Instance().Exec(*dialog);
}

}  // namespace tolvane
