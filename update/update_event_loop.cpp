#include "update/update_event_loop.h"

namespace tolvane {

void UpdateEventLoop::Post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    posted_.notify_one();
}

bool UpdateEventLoop::RunOne(std::chrono::milliseconds timeout) {
    std::function<void()> task;
    {
        std::unique_lock lock(mutex_);
        if (!posted_.wait_for(lock, timeout, [this] { return !tasks_.empty(); })) return false;
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    task();
    return true;
}

size_t UpdateEventLoop::RunPending() {
    size_t count = 0;
    while (true) {
        std::function<void()> task;
        {
            std::lock_guard lock(mutex_);
            if (tasks_.empty()) return count;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
        ++count;
    }
}

bool UpdateEventLoop::RunUntilUpdatesIdle(const UpdateService& service,
                                          std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (true) {
        RunPending();
        // Work finishes by posting, then stops counting as pending: once none
        // is pending, everything it posted is already queued.
        if (!service.Busy()) {
            std::lock_guard lock(mutex_);
            if (tasks_.empty()) return true;
            continue;
        }
        if (std::chrono::steady_clock::now() >= until) return false;
        RunOne(std::chrono::milliseconds(20));
    }
}

PostingUpdateSink::PostingUpdateSink(UpdateEventLoop& loop, UpdateNotifyHandler& handler)
    : PostingUpdateSink([&loop](std::function<void()> task) { loop.Post(std::move(task)); },
                        handler) {}

PostingUpdateSink::PostingUpdateSink(UpdateTaskPoster post, UpdateNotifyHandler& handler)
    : post_(std::move(post)), target_(std::make_shared<Target>()) {
    target_->handler = &handler;
}

PostingUpdateSink::~PostingUpdateSink() {
    Disconnect();
}

void PostingUpdateSink::Disconnect() {
    StopReceiving();
    std::lock_guard lock(target_->mutex);
    target_->handler = nullptr;
}

void PostingUpdateSink::PostUpdateNotify(const UpdateNotifyMessage& message) {
    post_([target = target_, message] {
        UpdateNotifyHandler* handler;
        {
            std::lock_guard lock(target->mutex);
            handler = target->handler;
        }
        if (handler) handler->HandleUpdateNotify(message);
    });
}

}  // namespace tolvane
