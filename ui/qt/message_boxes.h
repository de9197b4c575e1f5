// The message boxes of the desktop program: the prompt's caption, text,
// buttons, default button and icon shown in a QMessageBox.
#pragma once

#include "base/prompt.h"

class QWidget;

namespace tolvane {

class QtMessageBoxes : public Prompter {
  public:
    explicit QtMessageBoxes(QWidget* parent) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }
    // Shows the box (objectName "MessageBox") through the DialogDriver: a
    // queued answer is taken without waiting.
    PromptAnswer Ask(const Prompt& prompt) override;

  private:
    QWidget* parent_;
};

}  // namespace tolvane
