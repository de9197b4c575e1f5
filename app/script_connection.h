// The advanced scan connected to the main window: its questions and the
// scripts' message boxes go to the window's prompter; the window shows the
// rows' statuses when the run is over, so row changes need no redraw here.
#pragma once

#include "base/prompt.h"
#include "script/advanced_scan.h"

namespace tolvane {

class WindowAdvancedScanView : public AdvancedScanView {
  public:
    explicit WindowAdvancedScanView(Prompter& prompter) : prompter_(prompter) {}
    PromptAnswer Ask(const Prompt& prompt) override { return prompter_.Ask(prompt); }

  private:
    Prompter& prompter_;
};

}  // namespace tolvane
