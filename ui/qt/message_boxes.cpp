#include "ui/qt/message_boxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>

#include "ui/qt/dialog_driver.h"
#include "ui/qt/qt_text.h"

namespace tolvane {
namespace {

QMessageBox::StandardButton StandardButtonOf(MessageAnswer answer) {
    switch (answer) {
        case MessageAnswer::Ok:
            return QMessageBox::Ok;
        case MessageAnswer::Cancel:
            return QMessageBox::Cancel;
        case MessageAnswer::Abort:
            return QMessageBox::Abort;
        case MessageAnswer::Retry:
            return QMessageBox::Retry;
        case MessageAnswer::Ignore:
            return QMessageBox::Ignore;
        case MessageAnswer::Yes:
            return QMessageBox::Yes;
        case MessageAnswer::No:
            return QMessageBox::No;
    }
    return QMessageBox::Ok;
}

// Closing the box: Cancel where there is one, No for Yes/No, else OK.
MessageAnswer ClosedAnswer(MessageButtons buttons) {
    std::vector<MessageAnswer> answers = ButtonAnswers(buttons);
    for (MessageAnswer a : answers)
        if (a == MessageAnswer::Cancel) return a;
    for (MessageAnswer a : answers)
        if (a == MessageAnswer::No) return a;
    return answers.front();
}

}  // namespace

QMessageBox::Icon MessageIcon(std::string_view caption, MessageButtons buttons) {
    if (caption == "Error") return QMessageBox::Critical;
    if (caption == "Warning" || caption == "Backup selected items?") return QMessageBox::Warning;
    if (buttons == MessageButtons::YesNo || buttons == MessageButtons::YesNoCancel)
        return QMessageBox::Question;
    return QMessageBox::Information;
}

MessageAnswer QtMessageBoxes::ShowMessage(std::string_view caption, std::string_view text,
                                          MessageButtons buttons) {
    DialogDriver& driver = DialogDriver::Instance();
    driver.messages.push_back(std::string(caption) + "|" + std::string(text));
    MessageAnswer answer;
    if (driver.TakeAnswer(&answer)) return answer;
    if (driver.answerWithDefault) return DefaultAnswer(buttons);

    // Over the dialog that raised it, if any (a file dialog's "Path does not
    // exist"), else over the main window.
    QWidget* owner = QApplication::activeModalWidget();
    if (!owner) owner = parent_;
    QMessageBox box(MessageIcon(caption, buttons), ToQt(caption), ToQt(text), QMessageBox::NoButton,
                    owner);
    box.setObjectName("MessageBox");
    std::vector<MessageAnswer> answers = ButtonAnswers(buttons);
    std::map<QAbstractButton*, MessageAnswer> byButton;
    for (MessageAnswer a : answers) byButton[box.addButton(StandardButtonOf(a))] = a;
    box.setDefaultButton(StandardButtonOf(DefaultAnswer(buttons)));
    box.setEscapeButton(StandardButtonOf(ClosedAnswer(buttons)));
    driver.Exec(box);
    auto chosen = byButton.find(box.clickedButton());
    return chosen == byButton.end() ? ClosedAnswer(buttons) : chosen->second;
}

}  // namespace tolvane
