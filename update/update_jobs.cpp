#include "update/update_jobs.h"

#include <system_error>

namespace tolvane {

UpdateJobQueue::~UpdateJobQueue() {
    Shutdown();
}

std::shared_ptr<UpdateJob> UpdateJobQueue::NewJob() {
    auto job = std::make_shared<UpdateJob>();
    std::lock_guard lock(mutex_);
    job->id = nextId_++;
    return job;
}

bool UpdateJobQueue::Start(const std::shared_ptr<UpdateJob>& job, std::function<void()> work) {
    ReapEnded();
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(mutex_);
    jobs_.push_back(job);
    try {
        std::thread thread([this, job, done, work = std::move(work)] {
            work();
            std::lock_guard lock(mutex_);
            std::erase(jobs_, job);
            *done = true;
            idle_.notify_all();
        });
        workers_.push_back(Worker{std::move(thread), done});
    } catch (const std::system_error&) {
        std::erase(jobs_, job);
        return false;
    }
    return true;
}

void UpdateJobQueue::Shutdown() {
    std::list<Worker> ending;
    {
        std::unique_lock lock(mutex_);
        for (auto& job : jobs_) job->cancelled = true;
        idle_.wait(lock, [this] { return jobs_.empty(); });
        ending.swap(workers_);
    }
    for (auto& worker : ending) worker.thread.join();
}

void UpdateJobQueue::WaitIdle() {
    {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return jobs_.empty(); });
    }
    ReapEnded();
}

bool UpdateJobQueue::Busy() const {
    std::lock_guard lock(mutex_);
    return !jobs_.empty();
}

void UpdateJobQueue::ReapEnded() {
    std::list<Worker> ended;
    {
        std::lock_guard lock(mutex_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            auto next = std::next(it);
            if (*it->done) ended.splice(ended.end(), workers_, it);
            it = next;
        }
    }
    for (auto& worker : ended) worker.thread.join();
}

}  // namespace tolvane
