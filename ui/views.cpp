#include "ui/views.h"

#include "platform/codepage.h"

namespace tolvane {

std::vector<MessageAnswer> ButtonAnswers(MessageButtons buttons) {
    using A = MessageAnswer;
    switch (buttons) {
        case MessageButtons::Ok:
            return {A::Ok};
        case MessageButtons::OkCancel:
            return {A::Ok, A::Cancel};
        case MessageButtons::AbortRetryIgnore:
            return {A::Abort, A::Retry, A::Ignore};
        case MessageButtons::YesNoCancel:
            return {A::Yes, A::No, A::Cancel};
        case MessageButtons::YesNo:
            return {A::Yes, A::No};
        case MessageButtons::RetryCancel:
            return {A::Retry, A::Cancel};
    }
    return {A::Ok};
}

MessageAnswer DefaultAnswer(MessageButtons buttons) {
    return ButtonAnswers(buttons).front();
}

const char* ButtonsName(MessageButtons buttons) {
    switch (buttons) {
        case MessageButtons::Ok:
            return "OK";
        case MessageButtons::OkCancel:
            return "OK/Cancel";
        case MessageButtons::AbortRetryIgnore:
            return "Abort/Retry/Ignore";
        case MessageButtons::YesNoCancel:
            return "Yes/No/Cancel";
        case MessageButtons::YesNo:
            return "Yes/No";
        case MessageButtons::RetryCancel:
            return "Retry/Cancel";
    }
    return "OK";
}

const char* AnswerName(MessageAnswer answer) {
    switch (answer) {
        case MessageAnswer::Ok:
            return "ok";
        case MessageAnswer::Cancel:
            return "cancel";
        case MessageAnswer::Abort:
            return "abort";
        case MessageAnswer::Retry:
            return "retry";
        case MessageAnswer::Ignore:
            return "ignore";
        case MessageAnswer::Yes:
            return "yes";
        case MessageAnswer::No:
            return "no";
    }
    return "ok";
}

bool ParseAnswer(std::string_view text, MessageAnswer* answer) {
    for (MessageAnswer a :
         {MessageAnswer::Ok, MessageAnswer::Cancel, MessageAnswer::Abort, MessageAnswer::Retry,
          MessageAnswer::Ignore, MessageAnswer::Yes, MessageAnswer::No}) {
        if (EqualsNoCase(text, AnswerName(a))) {
            *answer = a;
            return true;
        }
    }
    return false;
}

}  // namespace tolvane

namespace tolvane {

std::string ReplaceQuestionText(const std::string& path) {
    return path + " already exists.\nDo you want to replace it?";
}

std::string SaveRefusedText(const std::string& path) {
    return path + "\nPath does not exist.\nCheck the path and try again.";
}

}  // namespace tolvane
