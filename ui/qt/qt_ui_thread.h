// The user-interface thread of the desktop program: the scan worker's
// messages arrive as blocking queued calls (the worker waits until the
// window has handled each one), posted tasks as queued calls.
#pragma once

#include <QObject>
#include <atomic>

#include "app/views/ui_thread.h"

namespace tolvane {

class QtUiThread : public UiThread {
  public:
    // receiver lives on the user-interface thread.
    explicit QtUiThread(QObject* receiver) : receiver_(receiver) {}
    void Send(const std::function<void()>& task) override;
    void Post(std::function<void()> task) override;
    // From now on Send returns without running its task.
    void Close() { closed_ = true; }

  private:
    QObject* receiver_;
    std::atomic<bool> closed_{false};
};

}  // namespace tolvane
