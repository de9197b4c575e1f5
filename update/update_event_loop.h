// A minimal event loop for faces without one of their own (the headless
// front end, tests): tasks posted from any thread run on the thread that
// runs the loop. PostingUpdateSink delivers the update library's
// notifications into such a loop, to one handler.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "update/update_service.h"

namespace tolvane {

class UpdateEventLoop {
  public:
    // Any thread.
    void Post(std::function<void()> task);
    // On the loop's thread: runs the next task, waiting up to timeout for
    // one; false when none came.
    bool RunOne(std::chrono::milliseconds timeout);
    // Runs the tasks already queued; how many ran.
    size_t RunPending();
    // Runs tasks until the update service has no work pending and nothing
    // is queued (a handler may start more work on the way); false when that
    // takes longer than timeout. What a headless modal window runs.
    bool RunUntilUpdatesIdle(const UpdateService& service, std::chrono::milliseconds timeout);

  private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> tasks_;
};

// Receives the update notifications on the loop's thread.
class UpdateNotifyHandler {
  public:
    virtual ~UpdateNotifyHandler() = default;
    virtual void HandleUpdateNotify(const UpdateNotifyMessage& message) = 0;
};

// Queues a task for the user-interface thread and returns at once; callable
// from any thread (e.g. a face's thread-safe post, or a Qt queued call).
using UpdateTaskPoster = std::function<void(std::function<void()> task)>;

// The sink of one receiving window: each notification becomes a task
// posted to the window's thread that hands it to the handler there. Once
// destroyed (or disconnected) the service delivers nothing more to it and
// messages still queued are dropped.
class PostingUpdateSink : public UpdateNotifySink {
  public:
    PostingUpdateSink(UpdateEventLoop& loop, UpdateNotifyHandler& handler);
    // post must queue and return, never wait for the task to run.
    PostingUpdateSink(UpdateTaskPoster post, UpdateNotifyHandler& handler);
    ~PostingUpdateSink() override;
    PostingUpdateSink(const PostingUpdateSink&) = delete;
    PostingUpdateSink& operator=(const PostingUpdateSink&) = delete;

    void PostUpdateNotify(const UpdateNotifyMessage& message) override;
    // On the loop's thread.
    void Disconnect();

  private:
    struct Target {
        std::mutex mutex;
        UpdateNotifyHandler* handler = nullptr;
    };
    UpdateTaskPoster post_;
    std::shared_ptr<Target> target_;
};

}  // namespace tolvane
