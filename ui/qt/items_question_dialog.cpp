#include "ui/qt/items_question_dialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStyle>
#include <QVBoxLayout>
#include <memory>
#include <string>

#include "ui/qt/dialog_driver.h"
#include "ui/qt/dialog_frame.h"
#include "ui/qt/qt_text.h"

namespace tolvane {

namespace {

std::string CrLfToLf(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

}  // namespace

bool RunItemsQuestionDialog(QWidget* parent, std::string_view title, std::string_view prompt,
                            std::string_view items) {
    std::unique_ptr<QDialog> dialog(MakeDialog(parent, "ItemsQuestion", ToQt(title)));
    auto* layout = new QVBoxLayout(dialog.get());
    auto* top = new QHBoxLayout;
    top->setSpacing(12);
    auto* icon = new QLabel(dialog.get());
    icon->setObjectName("icon");
    icon->setPixmap(dialog->style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
    icon->setAlignment(Qt::AlignTop);
    top->addWidget(icon);
    auto* label = new QLabel(ToQt(prompt), dialog.get());
    label->setObjectName("prompt");
    label->setWordWrap(true);
    top->addWidget(label, 1);
    layout->addLayout(top);
    auto* list = new QPlainTextEdit(ToQt(CrLfToLf(items)), dialog.get());
    list->setObjectName("items");
    list->setReadOnly(true);
    list->setLineWrapMode(QPlainTextEdit::NoWrap);
    list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    layout->addWidget(list, 1);
    layout->addWidget(OkCancel(dialog.get()));
    const int unit = dialog->fontMetrics().height();
    dialog->resize(unit * 30, unit * 16);
    return DialogDriver::Instance().Exec(*dialog) == QDialog::Accepted;
}

}  // namespace tolvane
