// How the program asks the user something: a Prompt (caption, text, the
// buttons, which of them is the default and an icon) handed to a Prompter,
// which returns the button the user chose. Every part of the program that
// asks (the main window, removal, backup and restore, the scripts' message
// boxes, the update flows) uses this one interface; each face implements it
// once (a real message box, the headless face's scripted answers, a test's
// queue).
//
// Ask is modal: it returns when the box has closed, on the thread that
// called it (the user-interface thread). Closing a box (Escape) counts as
// Cancel where there is one and as OK for a box with only OK; a Yes/No box
// cannot be closed that way (Escape does nothing), so it never stands for
// "No".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

enum class PromptButtons { Ok, OkCancel, AbortRetryIgnore, YesNoCancel, YesNo, RetryCancel };
enum class PromptAnswer { Ok, Cancel, Abort, Retry, Ignore, Yes, No };
// None shows no icon; the face never picks one from the caption or text.
enum class PromptIcon { None, Information, Question, Warning, Error };

struct Prompt {
    std::string caption;
    std::string text;  // line feeds break lines
    PromptButtons buttons = PromptButtons::Ok;
    PromptIcon icon = PromptIcon::None;
    // The button Enter presses, counted from 0 in button order; one past the
    // last button falls back on the first, as the platform's boxes do.
    size_t defaultButton = 0;
};

class Prompter {
  public:
    virtual ~Prompter() = default;
    // Shows the prompt and returns one of its buttons' answers.
    virtual PromptAnswer Ask(const Prompt& prompt) = 0;
};

// The answers a box with these buttons can give, in button order.
std::vector<PromptAnswer> ButtonAnswers(PromptButtons buttons);
// The answer of the prompt's default button.
PromptAnswer DefaultAnswer(const Prompt& prompt);
// "OK", "OK/Cancel", "Yes/No" ...
const char* ButtonsName(PromptButtons buttons);
// "ok", "cancel", "abort", "retry", "ignore", "yes", "no".
const char* AnswerName(PromptAnswer answer);
// The answer named by text (as AnswerName gives it, without regard to case);
// false for an unknown name.
bool ParseAnswer(std::string_view text, PromptAnswer* answer);

}  // namespace tolvane
