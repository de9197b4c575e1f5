#include "ui/qt/message_boxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>

#include "ui/qt/dialog_driver.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_text.h"

namespace tolvane {
namespace {

QMessageBox::StandardButton StandardButtonOf(PromptAnswer answer) {
    switch (answer) {
        case PromptAnswer::Ok:
            return QMessageBox::Ok;
        case PromptAnswer::Cancel:
            return QMessageBox::Cancel;
        case PromptAnswer::Abort:
            return QMessageBox::Abort;
        case PromptAnswer::Retry:
            return QMessageBox::Retry;
        case PromptAnswer::Ignore:
            return QMessageBox::Ignore;
        case PromptAnswer::Yes:
            return QMessageBox::Yes;
        case PromptAnswer::No:
            return QMessageBox::No;
    }
    return QMessageBox::Ok;
}

QMessageBox::Icon IconOf(PromptIcon icon) {
    switch (icon) {
        case PromptIcon::None:
            return QMessageBox::NoIcon;
        case PromptIcon::Information:
            return QMessageBox::Information;
        case PromptIcon::Question:
            return QMessageBox::Question;
        case PromptIcon::Warning:
            return QMessageBox::Warning;
        case PromptIcon::Error:
            return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

// Closing the box: Cancel where there is one, No for Yes/No, else OK.
PromptAnswer ClosedAnswer(PromptButtons buttons) {
    std::vector<PromptAnswer> answers = ButtonAnswers(buttons);
    for (PromptAnswer a : answers)
        if (a == PromptAnswer::Cancel) return a;
    for (PromptAnswer a : answers)
        if (a == PromptAnswer::No) return a;
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

PromptAnswer QtMessageBoxes::Ask(const Prompt& prompt) {
    DialogDriver& driver = DialogDriver::Instance();
    driver.messages.push_back(prompt.caption + "|" + prompt.text);
    PromptAnswer answer;
    if (driver.TakeAnswer(&answer)) return answer;
    if (driver.answerWithDefault) return DefaultAnswer(prompt);

    // Over the dialog that raised it, if any (a file dialog's "Path does not
    // exist"), else over the main window.
    QWidget* owner = QApplication::activeModalWidget();
    if (!owner) owner = parent_;
    const bool closable = prompt.buttons != PromptButtons::YesNo;
    MessageBox box(IconOf(prompt.icon), ToQt(prompt.caption), ToQt(prompt.text), owner, closable);
    box.setObjectName("MessageBox");
    ApplyDialogLook(&box);
    std::vector<PromptAnswer> answers = ButtonAnswers(prompt.buttons);
    std::map<QAbstractButton*, PromptAnswer> byButton;
    for (PromptAnswer a : answers) byButton[box.addButton(StandardButtonOf(a))] = a;
    box.setDefaultButton(StandardButtonOf(DefaultAnswer(prompt)));
    if (closable) box.setEscapeButton(StandardButtonOf(ClosedAnswer(prompt.buttons)));
    driver.Exec(box);
    auto chosen = byButton.find(box.clickedButton());
    return chosen == byButton.end() ? ClosedAnswer(prompt.buttons) : chosen->second;
}

}  // namespace tolvane
