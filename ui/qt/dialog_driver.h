// DialogDriver: the one place where the desktop window's modal dialogs,
// message boxes and popup menus are run. The program uses it as a plain
// pass-through; tests use it to answer and drive those modal windows
// without a person: queued message box answers, actions run on the next
// dialog of a name once it shows (single-shot timers, so a test never
// blocks), a chooser for popup menus, a watchdog that closes a dialog a test
// forgot, and a hook that sees every window when it is shown (screenshots).
#pragma once

#include <QString>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/prompt.h"

class QAction;
class QDialog;
class QMenu;
class QPoint;
class QWidget;

namespace tolvane {

class DialogDriver {
  public:
    static DialogDriver& Instance();

    // --- Message boxes ---
    // The next message boxes take these answers instead of waiting for a click.
    void QueueAnswer(PromptAnswer answer) { answers_.push_back(answer); }
    bool TakeAnswer(PromptAnswer* answer);
    // With no queued answer left, a box takes its default button at once
    // (tests) instead of waiting.
    bool answerWithDefault = false;
    size_t QueuedAnswers() const { return answers_.size(); }
    // Every message box shown, as "caption|text".
    std::vector<std::string> messages;

    // --- Modal dialogs ---
    // Runs action on the next dialog whose objectName is name, right after it
    // has been shown. The action may close the dialog (accept/reject) or
    // drive it and leave closing to a later action.
    void OnNextDialog(const QString& name, std::function<void(QDialog*)> action);
    size_t PendingActions() const;
    // exec() with the queued action and the watchdog; the dialog's result.
    int Exec(QDialog& dialog);

    // --- Popup menus ---
    // The next popup menu of this title takes the action the chooser picks
    // (nullptr: dismissed) instead of waiting for the mouse.
    void OnNextMenu(const QString& title, std::function<QAction*(QMenu*)> chooser);
    QAction* ExecMenu(QMenu& menu, const QPoint& position);

    // Called with every dialog and menu when shown, with its objectName.
    std::function<void(QWidget* window, const QString& name)> onShown;
    // Above 0: a dialog still open after this many milliseconds is
    // rejected (tests only; a stuck test then fails instead of hanging).
    int watchdogMilliseconds = 0;

    void Reset();

  private:
    std::deque<PromptAnswer> answers_;
    std::map<QString, std::deque<std::function<void(QDialog*)>>> actions_;
    std::map<QString, std::deque<std::function<QAction*(QMenu*)>>> menus_;
};

}  // namespace tolvane
