#include "dsp/ConvolverPool.h"

#include "dsp/CpuFeatures.h"
#include "dsp/Realtime.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <climits>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace stravik::dsp {
namespace {

using Clock = std::chrono::steady_clock;

inline void cpuRelax() noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

// A helper that has started its share needs about as long as the caller
// needed for its own. The caller polls for that long plus this margin before
// it goes to sleep: waking the audio thread again would cost more.
constexpr auto kSpinMargin = std::chrono::microseconds(50);

// Splitting a block only pays when each share takes clearly longer than
// handing it over. Measured with bench_fir (FIRPaced: one block per 2.67 ms,
// helpers asleep in between) on a two-processor AMD EPYC virtual machine:
// posting a share costs the caller about 10 us and a sleeping helper starts
// 5-50 us later. Scalar 512 taps x 128 samples went from 53 us alone to 57 us
// split, 4000 taps from 422 us to 253 us; AVX-512 4096 taps x 1024 samples
// from 90 us to 107 us, 16384 taps x 1024 from 334 us to 272 us. So the
// break-even is around 100-150 us of work on the caller alone.
constexpr double kDefaultThresholdMicros = 150.0;

} // namespace

// Sleeping and waking. A slot's state word doubles as the futex the threads
// sleep on, and a sleeper announces itself before it looks at the word for
// the last time. All four steps (the announcement and that last look on one
// side, the change and the look for sleepers on the other) are sequentially
// consistent, so either the sleeper sees the change and does not sleep, or
// the side that made the change sees the sleeper and wakes it; and the
// kernel compares the word again under its own lock before the thread
// sleeps. (std::atomic's wait and notify in this C++ library leave the change
// and the look for sleepers free to pass each other, which can lose a
// wake-up.) A wake costs a system call only when someone sleeps.
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) && std::atomic<std::uint32_t>::is_always_lock_free,
              "the state word is the futex itself");

void ConvolverPool::sleepWhile(Slot& slot, std::uint32_t value) noexcept
{
    slot.sleepers.fetch_add(1, std::memory_order_seq_cst);
    if (slot.state.load(std::memory_order_seq_cst) == value)
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&slot.state), FUTEX_WAIT_PRIVATE, value, nullptr,
                nullptr, 0);
    slot.sleepers.fetch_sub(1, std::memory_order_release);
}

void ConvolverPool::publish(Slot& slot, std::uint32_t value) noexcept
{
    slot.state.store(value, std::memory_order_seq_cst);
    if (slot.sleepers.load(std::memory_order_seq_cst) != 0)
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&slot.state), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
                nullptr, 0);
}

ConvolverPool& ConvolverPool::instance()
{
    static ConvolverPool pool;
    return pool;
}

ConvolverPool::ConvolverPool() : thresholdMicros_(kDefaultThresholdMicros)
{
    workers_ = std::clamp(cpu::processorCount() - 1, 0, kMaxWorkers);
    for (int i = 0; i < workers_; ++i) threads_[i] = std::thread([this, i] { workerLoop(i); });
}

ConvolverPool::~ConvolverPool()
{
    std::lock_guard<std::mutex> guard(mutex_); // no block is in flight past this point
    for (int i = 0; i < workers_; ++i) publish(slots_[i], kStop);
    for (int i = 0; i < workers_; ++i)
        if (threads_[i].joinable()) threads_[i].join();
}

void ConvolverPool::workerLoop(int index) noexcept
{
    char name[] = "stravik-fir0";
    name[sizeof name - 2] = static_cast<char>('1' + index);
    pthread_setname_np(pthread_self(), name);
    raiseThreadPriority();
    cpu::enableFlushToZero();

    Slot& slot = slots_[index];
    for (;;) {
        std::uint32_t s = slot.state.load(std::memory_order_acquire);
        if (s == kStop) return;
        if (s == kPosted) {
            // Claim the share; this fails when the caller has taken it back.
            if (slot.state.compare_exchange_strong(s, kRunning, std::memory_order_acquire,
                                                   std::memory_order_acquire)) {
                slot.fn(slot.convolver, slot.buffer, slot.count, slot.first, slot.stride);
                publish(slot, kDone);
            }
            continue;
        }
        sleepWhile(slot, s); // idle or done: sleep until posted
    }
}

int ConvolverPool::run(void* convolver, ShareFn fn, double* buffer, int count, int maxWorkers) noexcept
{
    const int helpers = std::min({maxWorkers, workers_, count - 1});
    // Another thread in the pool: rather than wait for it, do the work here.
    // The results are the same either way.
    std::unique_lock<std::mutex> guard(mutex_, std::try_to_lock);
    if (helpers <= 0 || !guard.owns_lock()) {
        fn(convolver, buffer, count, 0, 1);
        return 0;
    }

    const int stride = helpers + 1;
    for (int k = 1; k <= helpers; ++k) {
        Slot& slot = slots_[k - 1];
        // Every block leaves its slots idle (see below), so the helper is not
        // touching this slot now.
        assert(slot.state.load(std::memory_order_relaxed) == kIdle);
        slot.convolver = convolver;
        slot.fn = fn;
        slot.buffer = buffer;
        slot.count = count;
        slot.first = k;
        slot.stride = stride;
        publish(slot, kPosted);
    }

    const Clock::time_point started = Clock::now();
    fn(convolver, buffer, count, 0, stride);
    const Clock::time_point finished = Clock::now();
    const Clock::time_point spinUntil = finished + (finished - started) + kSpinMargin;

    for (int k = 1; k <= helpers; ++k) {
        Slot& slot = slots_[k - 1];
        std::uint32_t s = kPosted;
        if (slot.state.compare_exchange_strong(s, kIdle, std::memory_order_acquire,
                                               std::memory_order_acquire)) {
            // The helper has not started: compute its share here.
            fn(convolver, buffer, count, k, stride);
            takenBack_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        // Running or done. Poll while the helper is likely to finish soon,
        // then sleep until it signals.
        while (s == kRunning && Clock::now() < spinUntil) {
            for (int i = 0; i < 16; ++i) cpuRelax();
            s = slot.state.load(std::memory_order_acquire);
        }
        while (s == kRunning) {
            sleepWhile(slot, kRunning);
            s = slot.state.load(std::memory_order_acquire);
        }
        slot.state.store(kIdle, std::memory_order_relaxed);
    }
    splitBlocks_.fetch_add(1, std::memory_order_relaxed);
    return helpers;
}

} // namespace stravik::dsp
