// What the advanced scan needs from the window system: a message box owned
// by the main window. The desktop and headless faces implement it.
#pragma once

#include <cstdint>
#include <string>

namespace tolvane {

class ScriptView {
  public:
    // Message box style bits (the Windows MB_* values): buttons, icon and
    // default button.
    static constexpr uint16_t kOk = 0x0000;
    static constexpr uint16_t kOkCancel = 0x0001;
    static constexpr uint16_t kAbortRetryIgnore = 0x0002;
    static constexpr uint16_t kYesNoCancel = 0x0003;
    static constexpr uint16_t kYesNo = 0x0004;
    static constexpr uint16_t kRetryCancel = 0x0005;
    static constexpr uint16_t kButtonsMask = 0x000F;
    static constexpr uint16_t kIconError = 0x0010;
    static constexpr uint16_t kIconQuestion = 0x0020;
    static constexpr uint16_t kIconWarning = 0x0030;
    static constexpr uint16_t kIconInformation = 0x0040;
    // Identifiers of the pressed button (the Windows ID* values).
    static constexpr int kIdOk = 1;
    static constexpr int kIdCancel = 2;
    static constexpr int kIdAbort = 3;
    static constexpr int kIdRetry = 4;
    static constexpr int kIdIgnore = 5;
    static constexpr int kIdYes = 6;
    static constexpr int kIdNo = 7;

    virtual ~ScriptView() = default;
    // Shows a modal message box and returns the identifier of the button
    // pressed. Text and caption are 8-bit (code page 1252).
    virtual int MessageBox(const std::string& text, const std::string& caption, uint16_t style) = 0;
};

}  // namespace tolvane
