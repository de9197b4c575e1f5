#include "script/message_box_style.h"

#include <utility>

namespace tolvane {
namespace {

PromptButtons ButtonsOfStyle(uint16_t style) {
    switch (style & message_box::kButtonsMask) {
        case message_box::kOkCancel:
            return PromptButtons::OkCancel;
        case message_box::kAbortRetryIgnore:
            return PromptButtons::AbortRetryIgnore;
        case message_box::kYesNoCancel:
            return PromptButtons::YesNoCancel;
        case message_box::kYesNo:
            return PromptButtons::YesNo;
        case message_box::kRetryCancel:
            return PromptButtons::RetryCancel;
        default:
            return PromptButtons::Ok;
    }
}

PromptIcon IconOfStyle(uint16_t style) {
    switch (style & message_box::kIconMask) {
        case message_box::kIconError:
            return PromptIcon::Error;
        case message_box::kIconQuestion:
            return PromptIcon::Question;
        case message_box::kIconWarning:
            return PromptIcon::Warning;
        case message_box::kIconInformation:
            return PromptIcon::Information;
        default:
            return PromptIcon::None;
    }
}

}  // namespace

Prompt PromptFromStyle(std::string text, std::string caption, uint16_t style) {
    Prompt prompt;
    prompt.caption = std::move(caption);
    prompt.text = std::move(text);
    prompt.buttons = ButtonsOfStyle(style);
    prompt.icon = IconOfStyle(style);
    prompt.defaultButton = (style & message_box::kDefaultButtonMask) >> 8;
    return prompt;
}

int ButtonIdentifier(PromptAnswer answer) {
    switch (answer) {
        case PromptAnswer::Ok:
            return message_box::kIdOk;
        case PromptAnswer::Cancel:
            return message_box::kIdCancel;
        case PromptAnswer::Abort:
            return message_box::kIdAbort;
        case PromptAnswer::Retry:
            return message_box::kIdRetry;
        case PromptAnswer::Ignore:
            return message_box::kIdIgnore;
        case PromptAnswer::Yes:
            return message_box::kIdYes;
        case PromptAnswer::No:
            return message_box::kIdNo;
    }
    return message_box::kIdOk;
}

int ShowStyledMessageBox(Prompter& prompter, std::string text, std::string caption,
                         uint16_t style) {
    return ButtonIdentifier(
        prompter.Ask(PromptFromStyle(std::move(text), std::move(caption), style)));
}

}  // namespace tolvane
