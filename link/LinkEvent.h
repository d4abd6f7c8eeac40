#pragma once
// The link's events: a 32-bit word in shared memory, 0 = not signalled,
// 1 = signalled, manual reset. Waiters sleep on a process-shared futex.
// None of these calls allocates or takes a lock: they are fit for the audio
// thread (a wait blocks only for its time-out).
#include "link/LinkProtocol.h"

namespace stravik::link {

// Stores 1 and wakes every waiter (in any process).
void setEvent(EventWord& event);
// Stores 0.
void resetEvent(EventWord& event);
// Wakes every waiter without changing the word: they look at their other
// conditions again (korvex has ended, a stop was asked for).
void wakeWaiters(EventWord& event);
// Waits until the event is signalled or timeoutMs has passed (negative: no
// limit). True when it is signalled. Also returns false early, after a wake
// by wakeWaiters(), when giveUp is given and returns true.
bool waitEvent(EventWord& event, int timeoutMs, const std::atomic<bool>* giveUp = nullptr);

} // namespace stravik::link
