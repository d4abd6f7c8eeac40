#pragma once
// The process-wide pool of helper threads that long convolutions share.
//
// One block's outputs are interleaved: with T helpers taking part, the
// calling thread computes units 0, T+1, 2(T+1), ... and helper k (1..T)
// computes k, k+(T+1), ... What a unit is belongs to the convolver (one
// output, or a group of outputs that one vector pass produces); the pool only
// hands out (first, stride) pairs and returns when every share is done.
//
// Hand-over goes through a fixed table of slots, one per helper. A slot's
// start event, busy flag and done event are the states of one atomic word
// (posted -> running -> done) that is also the futex its threads sleep on
// (with a count of sleepers, so that no wake-up is lost and none costs a
// system call when nobody sleeps), so that a share can change hands
// safely: when the caller has finished its own share and a helper has not
// even woken up yet (waking a sleeping processor can take tens of
// microseconds, longer than the whole block on the vector routines), the
// caller takes the share back and computes it itself. Who computes a share
// never changes its result. The pool allocates nothing after it is created.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace stravik::dsp {

class ConvolverPool {
public:
    static constexpr int kMaxWorkers = 4;

    // Computes the units first, first + stride, ... (below count) of the block
    // a convolver is working on.
    using ShareFn = void (*)(void* convolver, double* buffer, int count, int first, int stride);

    // The pool, created with its threads on first use (never from the audio
    // path: convolvers ask for it when they are constructed). Destroyed at
    // exit, which stops and joins the helpers.
    static ConvolverPool& instance();

    // Helpers available: min(processors - 1, 4), at least 0.
    int workerCount() const noexcept { return workers_; }

    // Splits count units over the calling thread and up to maxWorkers helpers
    // and returns once all of them are computed. Returns how many helpers
    // were asked (0 when the work ran on the caller alone, e.g. because
    // another thread is using the pool at this moment).
    int run(void* convolver, ShareFn fn, double* buffer, int count, int maxWorkers) noexcept;

    // Work below this many microseconds per block (on the caller alone) is
    // not worth waking helpers for; convolvers compare their estimate with it.
    // Adjustable for benchmarks that measure the split itself.
    double splitThresholdMicros() const noexcept { return thresholdMicros_.load(std::memory_order_relaxed); }
    void setSplitThresholdMicros(double us) noexcept { thresholdMicros_.store(us, std::memory_order_relaxed); }

    // Statistics for tests and benchmarks: blocks split over helpers, and
    // shares the caller took back because their helper had not started.
    std::uint64_t splitBlocks() const noexcept { return splitBlocks_.load(std::memory_order_relaxed); }
    std::uint64_t sharesTakenBack() const noexcept { return takenBack_.load(std::memory_order_relaxed); }

    ConvolverPool(const ConvolverPool&) = delete;
    ConvolverPool& operator=(const ConvolverPool&) = delete;

private:
    ConvolverPool();
    ~ConvolverPool();

    enum State : std::uint32_t {
        kIdle = 0,    // nothing to do; the slot belongs to the dispatching thread
        kPosted = 1,  // start: a share is waiting for the helper
        kRunning = 2, // busy: the helper claimed the share and computes it
        kDone = 3,    // done: the share is computed
        kStop = 4,    // the helper is to exit
    };

    struct Slot {
        alignas(64) std::atomic<std::uint32_t> state{kIdle};
        std::atomic<std::uint32_t> sleepers{0}; // threads in (or about to enter) a sleep on state
        // Written by the dispatching thread while the slot is idle; read by
        // the helper once it has claimed the posted share.
        void* convolver = nullptr;
        ShareFn fn = nullptr;
        double* buffer = nullptr;
        int count = 0;
        int first = 0;
        int stride = 1;
    };

    void workerLoop(int index) noexcept;
    // Sleeps while the slot's state is value (returns early now and then:
    // callers look again).
    static void sleepWhile(Slot& slot, std::uint32_t value) noexcept;
    // Sets the slot's state and wakes whoever sleeps on it.
    static void publish(Slot& slot, std::uint32_t value) noexcept;

    std::mutex mutex_; // one block at a time in the pool
    Slot slots_[kMaxWorkers];
    std::thread threads_[kMaxWorkers];
    int workers_ = 0;
    std::atomic<std::uint64_t> splitBlocks_{0};
    std::atomic<std::uint64_t> takenBack_{0};
    std::atomic<double> thresholdMicros_;
};

} // namespace stravik::dsp
