#pragma once
// Chorus: up to three modulated voices from one line; stereo form widens.
//
// Every voice reads the shared line at a sine-modulated delay that sweeps
// between the minimum and the maximum delay; the voices' periods are 1.0, 1.2
// and 1.4 times chorus_period, so after prepare() brings them into phase they
// drift apart. Each voice's delay passes a first-order smoother: wide open
// normally, slow (4 / period Hz) while the glide flag is set, so that a slider
// movement on the page glides instead of clicking. The stereo form reads a
// second set of voices for the right channel, at one and a half times the
// rate and chorus_sdepth later.
//
// Threads: prepare() may run on any thread while blocks run. It derives the
// new sweep aside and hands it over under a mutex that the audio thread only
// ever tries at the start of a block: the derived values never change within
// a block, a block never sees half of them, and it never waits (when prepare
// holds the mutex just then, the block keeps the sweep it had and takes the
// new one at the next). reset() runs on the audio side only.
#include "dsp/IirFilter.h"
#include "dsp/Param.h"
#include "effects/EffectContext.h"

#include <atomic>
#include <mutex>

namespace stravik::effects {

struct ChorusParams {
    Param<int> chorus_enabled{0};
    Param<float> chorus_delay{0.02f};
    Param<float> chorus_depth{0.01f};
    Param<float> chorus_fb{0.25f};
    Param<float> chorus_wet{0.5f};
    Param<float> chorus_dry{0.5f};
    Param<float> chorus_period{4.0f};
    Param<int> chorus_voices{1};
    Param<int> chorus_stereo{0};
    Param<float> chorus_sdepth{0.02f};
};

class Chorus {
public:
    static constexpr int kLineLength = 32768;
    static constexpr int kVoices = 3;
    static constexpr int kPiece = 128; // frames whose delays are worked out together
    // The longest delay the sweep may reach, and the shortest period: the page
    // offers 0.1 s at least; a preset with less (0 in particular) is held
    // there instead of dividing by zero.
    static constexpr float kMaxDelaySeconds = 0.18f;
    static constexpr float kMinPeriodSeconds = 0.1f;

    Chorus(ChorusParams& params, EffectContext& context);

    // A processing run starts at this rate: prepare() at that rate.
    void start(int sampleRate);
    // Recomputes the derived values from the parameters and brings the voices
    // of each channel back into phase. Any thread.
    void prepare();
    // Called for every block while the chorus is off: a used line is cleared
    // (the write position, LFO times and smoothers stay).
    void reset();

    // The page: a slider moved (set before its prepare()), or the on/off or
    // stereo check box was clicked (clear). Any thread.
    void setGlideFlag() { glide_.store(true, std::memory_order_relaxed); }
    void clearGlideFlag() { glide_.store(false, std::memory_order_relaxed); }
    bool glideFlag() const { return glide_.load(std::memory_order_relaxed); }

    // n mono samples in place.
    void processMono(double* buf, int n);
    // n interleaved frames in place (both channels hold the widened mono
    // signal when the chain calls it).
    void processStereo(double* stereo, int frames);

    // Derived values of the last prepare (tests, the page).
    struct Derived {
        float maxDelay;       // Dmax, seconds
        float minDelay;       // Dmin, seconds
        int centreDelay;      // Dc, samples
        double amplitude;     // A, seconds
        double period[kVoices];
        double voiceGain;     // g
    };
    Derived derived() const;
    // LFO times of the left (channel 0) and right (1) voices, seconds
    // (audio-side state: read it between blocks).
    double lfoTime(int channel, int voice) const;
    bool used() const { return used_; }
    int writePosition() const { return write_; }

private:
    // Everything prepare() derives from the parameters.
    struct Sweep {
        int rate = 48000;
        float maxDelay = 0.0f;
        float minDelay = 0.0f;
        int centre = 0;
        double amplitude = 0.0;
        double period[kVoices] = {};
        double omegaLeft[kVoices] = {};
        double omegaRight[kVoices] = {};
        double voiceGain = 1.0;
    };
    Sweep derive(int rate) const;
    // Takes a derived sweep over (audio side, or before blocks run) and
    // brings every voice of a channel back into phase with the first.
    void adopt(const Sweep& s);
    void beginBlock();
    int activeVoices() const;
    // The read delay of every voice of a channel for each frame of a piece
    // of the block (at most kPiece frames), as the reads will use it: the
    // sine sweep plus extra (the right channel's lag), held in the line,
    // through the voice's smoother, held again. Advances the LFO times.
    void sweep(int channel, int voices, int frames, double extra, float (*delays)[kPiece]);
    // The interpolated read at delay d (samples) behind the write position.
    double tap(float d) const;

    ChorusParams& params_;
    EffectContext& context_;
    std::atomic<bool> glide_{false};

    // The hand-over: the newest sweep waits in staged_ until a block takes it.
    mutable std::mutex handoff_;
    Sweep staged_;              // under handoff_
    bool stagedPending_ = false; // under handoff_
    std::atomic<bool> pending_{false};

    // Running state (audio side).
    Sweep live_;
    double timeLeft_[kVoices] = {};
    double timeRight_[kVoices] = {};
    dsp::IirFilter smoothLeft_[kVoices];
    dsp::IirFilter smoothRight_[kVoices];
    double smootherHz_[kVoices] = {}; // what the smoothers were last designed for
    int smootherRate_ = 0;
    bool used_ = false;
    int write_ = 0;
    alignas(64) double phase_[kVoices][kPiece] = {};  // the sweep's sines, then its raw delays
    alignas(64) float leftDelay_[kVoices][kPiece] = {};
    alignas(64) float rightDelay_[kVoices][kPiece] = {};
    double line_[kLineLength];
};

} // namespace stravik::effects
