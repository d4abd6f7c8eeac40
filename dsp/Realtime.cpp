#include "dsp/Realtime.h"

#include <atomic>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace stravik::dsp {
namespace {

// Once the system has refused real-time scheduling there is no point in
// asking again for every block.
std::atomic<bool> g_realtimeRefused{false};
thread_local bool t_isRealtime = false;

} // namespace

void raiseThreadPriority()
{
    if (t_isRealtime || g_realtimeRefused.load(std::memory_order_relaxed)) return;
    sched_param p{};
    p.sched_priority = sched_get_priority_max(SCHED_FIFO) - 10;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0)
        t_isRealtime = true;
    else
        g_realtimeRefused.store(true, std::memory_order_relaxed);
}

void normalThreadPriority()
{
    if (!t_isRealtime) return;
    sched_param p{};
    p.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &p);
    t_isRealtime = false;
}

void lowerThreadPriority()
{
    // Linux keeps the nice value per thread, so this affects only the caller.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 5);
}

} // namespace stravik::dsp
