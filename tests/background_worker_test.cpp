// test-label: threads
// BackgroundWorker: one job at a time, a pending job replaced by a newer one
// of the same number, different numbers waiting for each other, and waiting
// for one's own job.
#include "dsp/BackgroundWorker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using stravik::dsp::BackgroundWorker;
using namespace std::chrono_literals;

namespace {

// A gate a job can be held at until the test opens it.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    bool reached = false;
    void wait()
    {
        std::unique_lock l(m);
        reached = true;
        cv.notify_all();
        cv.wait(l, [&] { return open; });
    }
    void waitReached()
    {
        std::unique_lock l(m);
        cv.wait(l, [&] { return reached; });
    }
    void release()
    {
        std::lock_guard l(m);
        open = true;
        cv.notify_all();
    }
};

} // namespace

TEST(BackgroundWorker, WaitUntilFinishedReturnsAfterTheJobRan)
{
    BackgroundWorker w;
    std::atomic<int> value{0};
    w.submit(0, [&] { value = 42; }, BackgroundWorker::Wait::UntilFinished);
    EXPECT_EQ(value.load(), 42);
    EXPECT_EQ(w.completedCount(), 1u);
    EXPECT_FALSE(w.busyWith(0));
}

TEST(BackgroundWorker, APendingJobOfTheSameNumberIsReplaced)
{
    BackgroundWorker w;
    Gate gate;
    std::mutex m;
    std::vector<int> ran;
    w.submit(3, [&] {
        gate.wait();
        std::lock_guard l(m);
        ran.push_back(0);
    });
    gate.waitReached(); // job 3 (first) is running
    // Three more of the same number while it runs: only the last survives.
    for (int v = 1; v <= 3; ++v)
        w.submit(3, [&, v] {
            std::lock_guard l(m);
            ran.push_back(v);
        });
    EXPECT_TRUE(w.busyWith(3));
    gate.release();
    w.waitIdle();
    std::lock_guard l(m);
    EXPECT_EQ(ran, (std::vector<int>{0, 3}));
    EXPECT_EQ(w.completedCount(), 2u);
}

TEST(BackgroundWorker, ADifferentNumberWaitsForTheRunningJob)
{
    BackgroundWorker w;
    Gate gate;
    std::atomic<bool> firstDone{false};
    std::atomic<bool> secondSawFirstDone{false};
    w.submit(1, [&] {
        gate.wait();
        firstDone = true;
    });
    gate.waitReached();
    std::atomic<bool> submitted{false};
    std::thread submitter([&] {
        w.submit(2, [&] { secondSawFirstDone = firstDone.load(); });
        submitted = true;
    });
    // The submitter is held while job 1 runs.
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(submitted.load());
    gate.release();
    submitter.join();
    w.waitIdle();
    EXPECT_TRUE(secondSawFirstDone.load());
}

TEST(BackgroundWorker, WaitingForOwnJobCoversAReplacement)
{
    BackgroundWorker w;
    Gate gate;
    std::atomic<int> last{-1};
    w.submit(5, [&] { gate.wait(); });
    gate.waitReached();
    std::thread waiter([&] { w.submit(5, [&] { last = 1; }, BackgroundWorker::Wait::UntilFinished); });
    // Give the waiter time to queue, then replace its job with a newer one.
    while (!w.busyWith(5)) std::this_thread::yield();
    std::this_thread::sleep_for(20ms);
    w.submit(5, [&] { last = 2; });
    gate.release();
    waiter.join(); // returns once the newer job has finished
    EXPECT_EQ(last.load(), 2);
}

TEST(BackgroundWorker, JobsCopyTheirArgumentsAtSubmission)
{
    BackgroundWorker w;
    std::atomic<int> seen{0};
    int drive = 10;
    Gate gate;
    w.submit(0, [&gate] { gate.wait(); });
    gate.waitReached();
    w.submit(0, [&seen, drive] { seen = drive; });
    drive = 99; // the caller's later change does not reach the queued job
    gate.release();
    w.waitIdle();
    EXPECT_EQ(seen.load(), 10);
}

TEST(BackgroundWorker, DestructionWithAPendingJobDoesNotHang)
{
    std::atomic<int> ran{0};
    Gate gate;
    std::thread opener;
    {
        BackgroundWorker w;
        w.submit(1, [&] {
            gate.wait();
            ++ran;
        });
        gate.waitReached();
        w.submit(1, [&] { ran += 10; });
        // The destructor has to wait for the running job, which the opener
        // releases a little later.
        opener = std::thread([&] {
            std::this_thread::sleep_for(10ms);
            gate.release();
        });
    }
    opener.join();
    // The running job always finishes. The pending one is dropped unless the
    // worker took it up before the destructor got in (a slow machine).
    EXPECT_EQ(ran.load() % 10, 1);
}
