#include "app/script_connection.h"

#include "ui/views.h"

namespace tolvane {

int ViewsScriptView::MessageBox(const std::string& text, const std::string& caption,
                                uint16_t style) {
    MessageButtons buttons = MessageButtons::Ok;
    switch (style & kButtonsMask) {
        case kOkCancel:
            buttons = MessageButtons::OkCancel;
            break;
        case kAbortRetryIgnore:
            buttons = MessageButtons::AbortRetryIgnore;
            break;
        case kYesNoCancel:
            buttons = MessageButtons::YesNoCancel;
            break;
        case kYesNo:
            buttons = MessageButtons::YesNo;
            break;
        case kRetryCancel:
            buttons = MessageButtons::RetryCancel;
            break;
        default:
            break;
    }
    switch (messages_.ShowMessage(caption, text, buttons)) {
        case MessageAnswer::Ok:
            return kIdOk;
        case MessageAnswer::Cancel:
            return kIdCancel;
        case MessageAnswer::Abort:
            return kIdAbort;
        case MessageAnswer::Retry:
            return kIdRetry;
        case MessageAnswer::Ignore:
            return kIdIgnore;
        case MessageAnswer::Yes:
            return kIdYes;
        case MessageAnswer::No:
            return kIdNo;
    }
    return kIdOk;
}

}  // namespace tolvane
