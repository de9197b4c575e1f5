#include "base/prompt.h"

#include "base/codepage.h"

namespace tolvane {

std::vector<PromptAnswer> ButtonAnswers(PromptButtons buttons) {
    using A = PromptAnswer;
    switch (buttons) {
        case PromptButtons::Ok:
            return {A::Ok};
        case PromptButtons::OkCancel:
            return {A::Ok, A::Cancel};
        case PromptButtons::AbortRetryIgnore:
            return {A::Abort, A::Retry, A::Ignore};
        case PromptButtons::YesNoCancel:
            return {A::Yes, A::No, A::Cancel};
        case PromptButtons::YesNo:
            return {A::Yes, A::No};
        case PromptButtons::RetryCancel:
            return {A::Retry, A::Cancel};
    }
    return {A::Ok};
}

PromptAnswer DefaultAnswer(const Prompt& prompt) {
    std::vector<PromptAnswer> answers = ButtonAnswers(prompt.buttons);
    return prompt.defaultButton < answers.size() ? answers[prompt.defaultButton] : answers.front();
}

const char* ButtonsName(PromptButtons buttons) {
    switch (buttons) {
        case PromptButtons::Ok:
            return "OK";
        case PromptButtons::OkCancel:
            return "OK/Cancel";
        case PromptButtons::AbortRetryIgnore:
            return "Abort/Retry/Ignore";
        case PromptButtons::YesNoCancel:
            return "Yes/No/Cancel";
        case PromptButtons::YesNo:
            return "Yes/No";
        case PromptButtons::RetryCancel:
            return "Retry/Cancel";
    }
    return "OK";
}

const char* AnswerName(PromptAnswer answer) {
    switch (answer) {
        case PromptAnswer::Ok:
            return "ok";
        case PromptAnswer::Cancel:
            return "cancel";
        case PromptAnswer::Abort:
            return "abort";
        case PromptAnswer::Retry:
            return "retry";
        case PromptAnswer::Ignore:
            return "ignore";
        case PromptAnswer::Yes:
            return "yes";
        case PromptAnswer::No:
            return "no";
    }
    return "ok";
}

bool ParseAnswer(std::string_view text, PromptAnswer* answer) {
    for (PromptAnswer a :
         {PromptAnswer::Ok, PromptAnswer::Cancel, PromptAnswer::Abort, PromptAnswer::Retry,
          PromptAnswer::Ignore, PromptAnswer::Yes, PromptAnswer::No}) {
        if (EqualsNoCase(text, AnswerName(a))) {
            *answer = a;
            return true;
        }
    }
    return false;
}

}  // namespace tolvane
