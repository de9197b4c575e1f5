#include "ui/qt/dialog_driver.h"

#include <QAction>
#include <QDialog>
#include <QMenu>
#include <QPointer>
#include <QTimer>

namespace tolvane {

DialogDriver& DialogDriver::Instance() {
    static DialogDriver driver;
    return driver;
}

bool DialogDriver::TakeAnswer(PromptAnswer* answer) {
    if (answers_.empty()) return false;
    *answer = answers_.front();
    answers_.pop_front();
    return true;
}

void DialogDriver::OnNextDialog(const QString& name, std::function<void(QDialog*)> action) {
    actions_[name].push_back(std::move(action));
}

size_t DialogDriver::PendingActions() const {
    size_t count = 0;
    for (const auto& [name, queue] : actions_) count += queue.size();
    return count;
}

int DialogDriver::Exec(QDialog& dialog) {
    QPointer<QDialog> guard(&dialog);
    std::function<void(QDialog*)> action;
    auto queued = actions_.find(dialog.objectName());
    if (queued != actions_.end() && !queued->second.empty()) {
        action = std::move(queued->second.front());
        queued->second.pop_front();
    }
    // Runs once the dialog's own event loop is up and the dialog is shown.
    QTimer::singleShot(0, &dialog, [this, guard, action] {
        if (!guard) return;
        if (onShown) onShown(guard, guard->objectName());
        if (action && guard) action(guard);
    });
    if (watchdogMilliseconds > 0) {
        QTimer::singleShot(watchdogMilliseconds, &dialog, [guard] {
            if (guard && guard->isVisible()) guard->reject();
        });
    }
    return dialog.exec();
}

void DialogDriver::OnNextMenu(const QString& title, std::function<QAction*(QMenu*)> chooser) {
    menus_[title].push_back(std::move(chooser));
}

QAction* DialogDriver::ExecMenu(QMenu& menu, const QPoint& position) {
    auto queued = menus_.find(menu.title());
    if (queued != menus_.end() && !queued->second.empty()) {
        std::function<QAction*(QMenu*)> chooser = std::move(queued->second.front());
        queued->second.pop_front();
        menu.ensurePolished();
        menu.adjustSize();
        if (onShown) onShown(&menu, menu.title());
        return chooser ? chooser(&menu) : nullptr;
    }
    return menu.exec(position);
}

void DialogDriver::Reset() {
    answers_.clear();
    answerWithDefault = false;
    watchdogMilliseconds = 0;
    onShown = nullptr;
    actions_.clear();
    menus_.clear();
    messages.clear();
}

}  // namespace tolvane
