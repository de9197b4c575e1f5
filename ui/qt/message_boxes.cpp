#include "ui/qt/message_boxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QPushButton>

#include "ui/qt/dialog_driver.h"
#include "ui/qt/main_window.h"
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

// A Yes/No question cannot be closed: Escape and the close box do nothing,
// as on the platform the program comes from, so that closing it never
// stands for "No" (which, for the backup question, would remove without a
// backup).
class MessageBox : public QMessageBox {
  public:
    MessageBox(Icon icon, const QString& caption, const QString& text, QWidget* owner,
               bool closable)
        : QMessageBox(icon, caption, text, QMessageBox::NoButton, owner), closable_(closable) {}

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (!closable_ && event->matches(QKeySequence::Cancel)) {
            event->accept();
            return;
        }
        QMessageBox::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        if (!closable_ && !clickedButton()) {
            event->ignore();
            return;
        }
        QMessageBox::closeEvent(event);
    }

  private:
    bool closable_;
};

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
    const bool closable = buttons != MessageButtons::YesNo;
    MessageBox box(MessageIcon(caption, buttons), ToQt(caption), ToQt(text), owner, closable);
    box.setObjectName("MessageBox");
    ApplyDialogLook(&box);
    std::vector<MessageAnswer> answers = ButtonAnswers(buttons);
    std::map<QAbstractButton*, MessageAnswer> byButton;
    for (MessageAnswer a : answers) byButton[box.addButton(StandardButtonOf(a))] = a;
    box.setDefaultButton(StandardButtonOf(DefaultAnswer(buttons)));
    if (closable) box.setEscapeButton(StandardButtonOf(ClosedAnswer(buttons)));
    driver.Exec(box);
    auto chosen = byButton.find(box.clickedButton());
    return chosen == byButton.end() ? ClosedAnswer(buttons) : chosen->second;
}

}  // namespace tolvane
