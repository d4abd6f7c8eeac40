#include "link/LinkEvent.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace stravik::link {
namespace {

// The word is shared between processes: the futex calls must not be the
// private kind.
long futex(EventWord& word, int op, uint32_t value, const timespec* timeout)
{
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), op, value, timeout, nullptr, 0);
}

timespec now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

long millisSince(const timespec& start)
{
    const timespec t = now();
    return (t.tv_sec - start.tv_sec) * 1000L + (t.tv_nsec - start.tv_nsec) / 1000000L;
}

} // namespace

void setEvent(EventWord& event)
{
    event.store(1, std::memory_order_release);
    futex(event, FUTEX_WAKE, INT_MAX, nullptr);
}

void resetEvent(EventWord& event) { event.store(0, std::memory_order_release); }

void wakeWaiters(EventWord& event) { futex(event, FUTEX_WAKE, INT_MAX, nullptr); }

bool waitEvent(EventWord& event, int timeoutMs, const std::atomic<bool>* giveUp)
{
    const timespec start = now();
    for (;;) {
        if (event.load(std::memory_order_acquire) != 0) return true;
        if (giveUp != nullptr && giveUp->load(std::memory_order_acquire)) return false;
        timespec wait{};
        const timespec* limit = nullptr;
        if (timeoutMs >= 0) {
            const long left = timeoutMs - millisSince(start);
            if (left <= 0) return false;
            wait.tv_sec = left / 1000;
            wait.tv_nsec = (left % 1000) * 1000000L;
            limit = &wait;
        }
        // Sleeps only while the word is still 0; EAGAIN means it changed,
        // EINTR a signal, 0 a wake: look again in every case.
        if (futex(event, FUTEX_WAIT, 0, limit) != 0 && errno == ETIMEDOUT)
            return event.load(std::memory_order_acquire) != 0;
    }
}

} // namespace stravik::link
