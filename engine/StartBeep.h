#pragma once
// The short tone that tells the guitarist a live run has started: 1250 Hz,
// a sine of amplitude 5000 clipped at +-1500, lasting a little over 50 ms
// (to the end of the block in which 50 ms pass).
#include <atomic>
#include <cstdint>

namespace stravik {

class StartBeep {
public:
    void start()
    {
        k_ = 0.0;
        active_.store(true);
    }
    void stop() { active_.store(false); }
    bool active() const { return active_.load(); }
    // Writes frames of the tone (to both channels when channels is 2).
    void render(int16_t* out, int frames, int channels, int sampleRate);

private:
    std::atomic<bool> active_{false};
    double k_ = 0.0;
};

} // namespace stravik
