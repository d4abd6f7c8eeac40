#pragma once
// Wakes a thread of ours from a thread that must never wait: the audio
// thread, or a MIDI system's delivery thread (JACK's is real-time).
//
// A counting semaphore: every post() is kept until a wait() takes it, so a
// post made before the waiter got round to waiting is never lost, whatever
// the order in which the two threads happen to run. post() never blocks and
// never allocates (it is even safe in a signal handler). The posts and waits
// order memory: what the poster wrote before post() is seen after wait().
#include <cerrno>
#include <semaphore.h>

namespace stravik::control {

class WakeSignal {
public:
    WakeSignal() { sem_init(&sem_, 0, 0); }
    ~WakeSignal() { sem_destroy(&sem_); }
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    // Any thread. A count at its limit stays there: the waiter wakes anyway.
    void post() { sem_post(&sem_); }
    // Until a post is there; takes it.
    void wait()
    {
        while (sem_wait(&sem_) != 0 && errno == EINTR) {
        }
    }
    // Takes every post there is without waiting; true when there was one.
    bool takeAll()
    {
        bool any = false;
        while (sem_trywait(&sem_) == 0) any = true;
        return any;
    }

private:
    sem_t sem_;
};

} // namespace stravik::control
