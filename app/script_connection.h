// The advanced scan's message boxes through the window's message box view.
#pragma once

#include "script/advanced_scan.h"

namespace tolvane {

class MessageBoxView;

class ViewsScriptView : public AdvancedScanView {
  public:
    explicit ViewsScriptView(MessageBoxView& messages) : messages_(messages) {}
    int MessageBox(const std::string& text, const std::string& caption, uint16_t style) override;

  private:
    MessageBoxView& messages_;
};

}  // namespace tolvane
