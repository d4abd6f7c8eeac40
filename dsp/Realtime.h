#pragma once
// Thread priorities for audio work. Real-time scheduling (SCHED_FIFO) is used
// where the system grants it; otherwise the calls quietly leave the thread at
// normal priority. Both calls are cheap after the first refusal.

namespace stravik::dsp {

// Raises the calling thread to the highest priority the system allows.
void raiseThreadPriority();

// Puts the calling thread back to normal scheduling.
void normalThreadPriority();

// Lowers the calling thread below normal (background work).
void lowerThreadPriority();

} // namespace stravik::dsp
