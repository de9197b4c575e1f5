// The scripts' message boxes: the Windows MB_* style bits a script passes to
// MessageBox (buttons, icon, default button) read into a Prompt, and the
// answer given back as the Windows identifier of the pressed button
// (IDOK, IDYES, ...).
//
// Bits the program has no use for (modality, help button, text direction)
// are ignored; an icon value other than the four standard ones shows no
// icon, and buttons values above RetryCancel show OK, as before.
#pragma once

#include <cstdint>
#include <string>

#include "base/prompt.h"

namespace tolvane {

namespace message_box {
// Style bits (the Windows MB_* values).
inline constexpr uint16_t kOk = 0x0000;
inline constexpr uint16_t kOkCancel = 0x0001;
inline constexpr uint16_t kAbortRetryIgnore = 0x0002;
inline constexpr uint16_t kYesNoCancel = 0x0003;
inline constexpr uint16_t kYesNo = 0x0004;
inline constexpr uint16_t kRetryCancel = 0x0005;
inline constexpr uint16_t kButtonsMask = 0x000F;
inline constexpr uint16_t kIconError = 0x0010;
inline constexpr uint16_t kIconQuestion = 0x0020;
inline constexpr uint16_t kIconWarning = 0x0030;
inline constexpr uint16_t kIconInformation = 0x0040;
inline constexpr uint16_t kIconMask = 0x00F0;
inline constexpr uint16_t kDefaultButton2 = 0x0100;
inline constexpr uint16_t kDefaultButton3 = 0x0200;
inline constexpr uint16_t kDefaultButtonMask = 0x0F00;
// Identifiers of the pressed button (the Windows ID* values).
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdAbort = 3;
inline constexpr int kIdRetry = 4;
inline constexpr int kIdIgnore = 5;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;
}  // namespace message_box

// The prompt a script's MessageBox(text, caption, style) shows.
Prompt PromptFromStyle(std::string text, std::string caption, uint16_t style);
// The Windows identifier of an answer's button.
int ButtonIdentifier(PromptAnswer answer);
// Asks through prompter and returns the identifier of the pressed button.
int ShowStyledMessageBox(Prompter& prompter, std::string text, std::string caption, uint16_t style);

}  // namespace tolvane
