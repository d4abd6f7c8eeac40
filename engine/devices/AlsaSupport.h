#pragma once
// Small pieces the ALSA capture and playback devices share.
#include <cerrno>
#include <ctime>

namespace stravik::alsa {

// The failure code of a device that stood still (see StallWatch).
inline constexpr int kStalled = -ETIMEDOUT;

// A device that stops moving: a sound server that died leaves its ALSA PCM
// "running" with no frames coming or going, and no error is ever reported.
// Half a second is longer than any period a server uses (PipeWire's largest
// quantum is 8192 frames, 0.17 s at 48 kHz) and short enough for the run to
// end soon after.
class StallWatch {
public:
    static constexpr double kLimitSeconds = 0.5;

    static double now()
    {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t); // a vDSO call: fine on the audio path
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    }

    void reset()
    {
        lastPosition_ = -1;
        since_ = now();
    }

    // position grows while the device works; moving says whether it should.
    // True once it has stood still for the limit while it should move.
    bool stalled(long position, bool moving)
    {
        const double t = now();
        if (!moving || position != lastPosition_) {
            lastPosition_ = position;
            since_ = t;
            return false;
        }
        return t - since_ > kLimitSeconds;
    }

private:
    long lastPosition_ = -1;
    double since_ = 0;
};

} // namespace stravik::alsa
