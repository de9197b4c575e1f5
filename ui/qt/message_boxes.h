// The message boxes of the desktop program: caption, text, the buttons the
// logic asks for and an icon. The view interface carries no icon, so the
// icon follows the box: "Error" boxes show the critical icon, "Warning" and
// the backup question the exclamation mark, other questions the question
// mark, the rest the information icon.
#pragma once

#include <QMessageBox>

#include "ui/views.h"

class QWidget;

namespace tolvane {

QMessageBox::Icon MessageIcon(std::string_view caption, MessageButtons buttons);

class QtMessageBoxes : public MessageBoxView {
  public:
    explicit QtMessageBoxes(QWidget* parent) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }
    // Shows the box (objectName "MessageBox") through the DialogDriver: a
    // queued answer is taken without waiting.
    MessageAnswer ShowMessage(std::string_view caption, std::string_view text,
                              MessageButtons buttons) override;

  private:
    QWidget* parent_;
};

}  // namespace tolvane
