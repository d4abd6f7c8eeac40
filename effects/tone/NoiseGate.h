#pragma once
// A downward expander on block levels. The level is the largest block RMS of
// the last W blocks (about 23 ms of holding at 44100 Hz), so the gate neither
// chatters within a note nor cuts its first block. Below the threshold the
// level is pushed down by the ratio: t = T - (T - L) * ratio dB.
#include "dsp/DenormalGuard.h"

namespace stravik::effects {

class NoiseGate {
public:
    static constexpr int kMaxWindow = 64; // W is 4 at 22050 Hz, 8 at 44100 and 48000 Hz

    // W = trunc(fs / 5512 + 0.1) blocks; clears the level ring.
    void setup(int sampleRate);

    // thresholdDb: -100..0; ratio 1..10. Blocks at or above the threshold
    // pass bit-exact; gated blocks also receive the gate's own denormal offset.
    void process(double* buf, int n, double thresholdDb, double ratio);

    int window() const { return window_; }
    // The level the last block was judged by (largest RMS of the ring).
    double level() const { return level_; }
    const dsp::DenormalGuard& guard() const { return guard_; }

private:
    double levels_[kMaxWindow] = {};
    int window_ = 8;
    int index_ = 0;
    double level_ = 0.0;
    dsp::DenormalGuard guard_;
};

} // namespace stravik::effects
