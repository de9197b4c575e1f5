// The update service's job queue: each query or download runs on a thread
// of its own. The queue knows which jobs are pending, cancels them, waits
// until none is, and joins the threads that have ended. Thread-safe; the
// owner shuts it down (or destroys it) before what the jobs use goes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tolvane {

// One piece of background work. Cancelling only sets the flag: the work
// polls it and stops soon.
struct UpdateJob {
    uint64_t id = 0;
    std::atomic<bool> cancelled{false};
};

class UpdateJobQueue {
  public:
    UpdateJobQueue() = default;
    ~UpdateJobQueue();
    UpdateJobQueue(const UpdateJobQueue&) = delete;
    UpdateJobQueue& operator=(const UpdateJobQueue&) = delete;

    // A new job with its own id, not yet pending.
    std::shared_ptr<UpdateJob> NewJob();
    // Runs work on a thread of its own; the job counts as pending until
    // work returns. False, and nothing runs, when no thread can be had.
    bool Start(const std::shared_ptr<UpdateJob>& job, std::function<void()> work);
    // Cancels every pending job, waits until none is and joins every thread.
    void Shutdown();
    // Waits until no job is pending, then joins the threads that ended.
    void WaitIdle();
    bool Busy() const;
    // Joins the threads that have ended (a new job calls it first).
    void ReapEnded();

  private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::vector<std::shared_ptr<UpdateJob>> jobs_;  // pending
    std::list<Worker> workers_;
    uint64_t nextId_ = 1;
};

}  // namespace tolvane
