#include "ui/qt/qt_ui_thread.h"

#include <QMetaObject>
#include <QThread>

namespace tolvane {

void QtUiThread::Send(const std::function<void()>& task) {
    if (closed_) return;
    if (QThread::currentThread() == receiver_->thread()) {
        task();  // a blocking call into one's own thread would never return
        return;
    }
    QMetaObject::invokeMethod(receiver_, [&task] { task(); }, Qt::BlockingQueuedConnection);
}

void QtUiThread::Post(std::function<void()> task) {
    QMetaObject::invokeMethod(receiver_, [task = std::move(task)] { task(); },
                              Qt::QueuedConnection);
}

}  // namespace tolvane
