// The user-interface thread as the scan worker reaches it. The worker's
// messages are synchronous: Send returns only after the task has run on the
// user-interface thread, so the window reads the engine's counters while the
// worker waits. The Qt face uses a blocking queued call; the headless face a
// task queue its main loop drains.
#pragma once

#include <functional>

namespace tolvane {

class UiThread {
  public:
    virtual ~UiThread() = default;
    // From another thread: runs task on the user-interface thread and
    // returns when it has run. A face that is shutting down may return
    // without running it.
    virtual void Send(const std::function<void()>& task) = 0;
    // From any thread: runs task on the user-interface thread later, after
    // the current command or message has returned; does not wait.
    virtual void Post(std::function<void()> task) = 0;
};

}  // namespace tolvane
