#pragma once
// Volume swell: mutes between notes and fades each note in, as if a volume
// pedal were pushed after every pick stroke.
//
// A detector follows the level of the strings (a fast rise, a slow fall);
// its envelope drives a gain g through one of two slow low-passes (one for
// rising, one for falling, each taking over from the current gain), and the
// sample is scaled by a fixed swell curve of g that is exactly 0 for quiet
// strings.
#include "dsp/DenormalGuard.h"
#include "dsp/Param.h"
#include "effects/EffectContext.h"
#include "effects/tone/AmpCurves.h"

#include <atomic>
#include <chrono>

namespace stravik::effects {

struct SwellParams {
    Param<int> swell_enabled{0};
    Param<int> swell_place{0};       // 0 before, 1 after the distortion
    Param<float> swell_sense{-50.0f}; // dB
    Param<float> swell_attack{0.3f};
};

class VolumeSwell {
public:
    // The "Auto" button polls at this interval for the audio thread to serve
    // its request, and gives up after the default wait.
    static constexpr std::chrono::milliseconds kAutoPoll{100};
    static constexpr std::chrono::milliseconds kAutoWait{2000};
    // "Auto" never sets the sense below this (dB).
    static constexpr float kAutoFloorDb = -60.0f;

    VolumeSwell(SwellParams& params, EffectContext& context);

    // At the start of a run: the rate, and every state back to 0 (muted).
    void start(int sampleRate);
    // In place on n samples (the chain's mono block).
    void process(double* buf, int n);

    // "Auto": asks the audio thread to measure the next block's peak and set
    // swell_sense to it plus 10 dB (never below -60 dB). Waits, polling,
    // until a block has served the request or the wait has run out; true
    // when it was served. A request that was not served is withdrawn, so a
    // later block (perhaps no longer of muted strings) cannot act on it.
    // Called from the user-interface thread; never from the audio thread.
    bool requestAuto(std::chrono::milliseconds maxWait = kAutoWait);
    // The request alone, without waiting: the next block serves it.
    void postAutoRequest() { autoRequest_.store(true, std::memory_order_release); }
    bool autoPending() const { return autoRequest_.load(std::memory_order_acquire); }

    // The swell curve: audible volume for a gain g.
    double curve(double g) const { return curve_(g); }

    // Observable state (tests).
    double gain() const { return gain_; }
    double envelope() const { return envelope_; }
    double riseCorner() const { return riseCorner_; }
    double fallCorner() const { return fallCorner_; }
    const dsp::DenormalGuard& denormalGuard() const { return denormal_; }

private:
    // A first-order section: coefficients from the filter designs, state
    // kept here so the two low-passes can hand their state over.
    struct FirstOrder {
        double b0 = 0, b1 = 0, a1 = 0;
        double x1 = 0, y1 = 0;
        double run(double x)
        {
            const double y = b0 * x + b1 * x1 - a1 * y1;
            x1 = x;
            y1 = y;
            return y;
        }
    };
    struct SecondOrder {
        double b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        double run(double x)
        {
            const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
            x2 = x1;
            x1 = x;
            y2 = y1;
            y1 = y;
            return y;
        }
    };

    void design();
    void clearState();

    SwellParams& params_;
    EffectContext& context_;
    // The swell curve's Hermite cubics in polynomial form (its values agree
    // with the program's CurveSpline through the same points to rounding).
    PiecewiseCubic curve_;
    int sampleRate_ = 48000;

    SecondOrder highPass_; // 50 Hz, removes hum and handling from the detector
    SecondOrder lowPass_;  // 50 Hz, smooths the envelope
    FirstOrder rise_;      // the gain while it rises
    FirstOrder fall_;      // the gain while it falls
    double riseCorner_ = 0.0, fallCorner_ = 0.0;

    // Detector coefficients for a rising and a falling input.
    double riseB_ = 0, riseA_ = 0, fallB_ = 0, fallA_ = 0;
    double lastRectified_ = 0.0;
    double envelope_ = 0.0;
    double gain_ = 0.0;

    std::atomic<bool> autoRequest_{false};
    dsp::DenormalGuard denormal_;
};

} // namespace stravik::effects
