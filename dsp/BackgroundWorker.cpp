#include "dsp/BackgroundWorker.h"

#include "dsp/Realtime.h"

#include <cassert>

namespace stravik::dsp {

BackgroundWorker::BackgroundWorker() : thread_([this] { run(); }) {}

BackgroundWorker::~BackgroundWorker()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        pending_ = nullptr;
        pendingId_ = -1;
    }
    wake_.notify_all();
    thread_.join();
}

void BackgroundWorker::submit(int id, std::function<void()> job, Wait wait)
{
    assert(std::this_thread::get_id() != thread_.get_id() && "a job must not submit jobs");
    std::unique_lock lock(mutex_);
    // A different job (running or waiting) has to finish first: jobs of
    // different numbers never overlap or replace each other.
    done_.wait(lock, [&] {
        const bool otherRunning = runningId_ >= 0 && runningId_ != id;
        const bool otherPending = pendingId_ >= 0 && pendingId_ != id;
        return stop_ || (!otherRunning && !otherPending);
    });
    if (stop_) return;
    // Same number pending: the new settings replace the old ones. Same number
    // running: this one runs after it.
    pending_ = std::move(job);
    pendingId_ = id;
    pendingTicket_ = ++nextTicket_;
    const uint64_t ticket = pendingTicket_;
    wake_.notify_one();
    if (wait == Wait::UntilFinished) {
        // A later submission with the same number may replace this job before
        // it starts; its finishing covers ours, as its ticket is newer.
        done_.wait(lock, [&] { return stop_ || finishedTicket_ >= ticket; });
    }
}

void BackgroundWorker::waitIdle()
{
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return stop_ || (runningId_ < 0 && pendingId_ < 0); });
}

bool BackgroundWorker::busyWith(int id) const
{
    std::lock_guard lock(mutex_);
    return runningId_ == id || pendingId_ == id;
}

uint64_t BackgroundWorker::completedCount() const
{
    std::lock_guard lock(mutex_);
    return completed_;
}

void BackgroundWorker::run()
{
    lowerThreadPriority();
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || pendingId_ >= 0; });
        if (stop_) break;
        std::function<void()> job = std::move(pending_);
        pending_ = nullptr;
        runningId_ = pendingId_;
        pendingId_ = -1;
        const uint64_t ticket = pendingTicket_;
        lock.unlock();
        job();
        lock.lock();
        runningId_ = -1;
        finishedTicket_ = ticket;
        ++completed_;
        done_.notify_all();
    }
    done_.notify_all();
}

} // namespace stravik::dsp
