#pragma once
// One thread below normal priority that runs slow designs one at a time (the
// distortion's transfer table, the equaliser filter designs) so that neither
// the audio thread nor the window waits for them.
//
// Jobs are numbered. Submitting a job whose number differs from the one that
// is running or pending first waits until that job has finished; a pending job
// with the same number that has not started yet is replaced by the new one
// (only the latest settings matter). The submitter may wait for its own job.
// A job is a callable whose captures are copied at submission, so the caller
// may change its own state right after.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace stravik::dsp {

class BackgroundWorker {
public:
    BackgroundWorker();
    ~BackgroundWorker(); // finishes the running job, drops a pending one
    BackgroundWorker(const BackgroundWorker&) = delete;
    BackgroundWorker& operator=(const BackgroundWorker&) = delete;

    enum class Wait { No, UntilFinished };

    void submit(int id, std::function<void()> job, Wait wait = Wait::No);

    // Blocks until nothing is running or pending.
    void waitIdle();

    // True while a job with this number is running or pending.
    bool busyWith(int id) const;

    // Number of jobs that have run to completion (for tests).
    uint64_t completedCount() const;

private:
    void run();

    mutable std::mutex mutex_;
    std::condition_variable wake_;  // worker: a job is pending or stop
    std::condition_variable done_;  // submitters: a job has finished
    std::function<void()> pending_;
    int pendingId_ = -1;
    uint64_t pendingTicket_ = 0;
    int runningId_ = -1;
    uint64_t nextTicket_ = 0;
    uint64_t finishedTicket_ = 0; // ticket of the last job that finished
    uint64_t completed_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace stravik::dsp
