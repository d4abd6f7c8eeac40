#pragma once
// Comb and all-pass reverb with pre-delay and first reflections.
//
// Eight parallel feedback combs (each with a damping low-pass in its loop)
// feed four all-passes in series and a pre-delay; a second network with
// slightly longer delays makes the right channel in stereo output. Two taps of
// a short line add the first reflections.
//
// Threads: process runs on the audio thread; prepare and clear may be called
// from any thread while blocks run. They never touch the lines themselves:
// prepare publishes the derived delays and gains through atomics (the audio
// thread picks them up at its next block), and the zeroing that clear (and
// prepare's reflection clear) asks for is done by the audio thread before its
// next block. So no lock is needed and no block ever sees half a clear.
#include "dsp/IirFilter.h"
#include "dsp/Param.h"
#include "effects/EffectContext.h"

#include <atomic>

namespace stravik::effects {

struct ReverbParams {
    Param<int> rev_enabled{0};
    Param<float> rev_dry{0.8f};
    Param<float> rev_amp{0.2f};
    Param<float> rev_room{0.5f};
    Param<int> rev_lfabs{1};
    Param<int> rev_hfabs{1};
    Param<int> rev_fron{1};
    Param<float> rev_frdelay{0.025f};
    Param<float> rev_frvolume{0.25f};
    Param<float> rev_predelay{35.0f}; // ms
};

class Reverb {
public:
    static constexpr int kCombs = 8;
    static constexpr int kAllPasses = 4;
    static constexpr int kChannels = 2;
    static constexpr int kLineLength = 20480;       // pre-delay lines
    // The comb and all-pass lines: their delays are fixed by the tables (at
    // most 1784 samples at 48000 Hz), so shorter rings hold everything they
    // ever read, and the reverb's whole state stays in the processor's
    // nearer caches.
    static constexpr int kElementLineLength = 4096;
    static constexpr int kReflectionLength = 22050; // first-reflection line
    static constexpr int kMaxBlock = 128;

    // Left delays in ms; the right network adds kRightOffsetMs to each.
    static constexpr double kCombMs[kCombs] = {25.3, 26.93, 28.95, 30.74, 32.24, 33.8, 35.3, 36.66};
    static constexpr double kAllPassMs[kAllPasses] = {12.6, 10.0, 7.73, 5.48};
    static constexpr double kRightOffsetMs = 0.522;

    static constexpr double kRoomScale = 6.0;
    static constexpr double kDecayExponent = -5.0;
    static constexpr double kCombWeight = 0.125;
    static constexpr double kAllPassGain = 0.5;
    static constexpr double kSecondReflection = 0.03; // s after the first

    Reverb(ReverbParams& params, EffectContext& context);

    // Processing start (audio thread, before the first block): prepare at
    // this rate, then clear at once.
    void start(int sampleRate);
    // Recomputes delays, gains and tap lengths from the parameters. The comb,
    // all-pass and pre-delay lines keep their contents, so a running tail
    // continues; the first-reflection line is emptied before the next block.
    // Any thread.
    void prepare();
    // Empties every line and every filter's history before the next block
    // (called when the reverb is switched on, so an old tail never returns).
    // Any thread.
    void clear();

    // out: the output block, mono (frames values) or interleaved stereo
    // (frames frames); its own samples are the dry part. monoIn: the frames
    // mono samples the reverb is fed with. out and monoIn may be the same
    // buffer in mono output.
    void process(double* out, const double* monoIn, int frames, bool stereoOut);

    // ---- the derived values (for the page and for tests)
    int sampleRate() const { return rate_.load(std::memory_order_relaxed); }
    int combDelay(int channel, int comb) const { return combDelay_[channel][comb].load(std::memory_order_relaxed); }
    double combFeedback(int channel, int comb) const
    {
        return combGain_[channel][comb].load(std::memory_order_relaxed);
    }
    double decayTime(int comb) const { return decayTime_[comb].load(std::memory_order_relaxed); }
    int allPassDelay(int channel, int ap) const { return allPassDelay_[channel][ap].load(std::memory_order_relaxed); }
    int preDelay() const { return preDelay_.load(std::memory_order_relaxed); }
    int firstReflectionTap() const { return tap1_.load(std::memory_order_relaxed); }
    int secondReflectionTap() const { return tap2_.load(std::memory_order_relaxed); }

private:
    template <int Length>
    struct Ring {
        double data[Length];
        int write;
    };
    using ElementLine = Ring<kElementLineLength>;
    using Line = Ring<kLineLength>;

    void designFilters(int fs);
    void clearNow();
    void clearReflections();
    // Sets to zero the samples of a line that the block's n reads at the
    // given delay would take from before the last clear (see Reverb.cpp).
    static void zeroStale(double* data, int length, int write, int delay, int fresh, int n);
    void processChunk(double* out, const double* monoIn, int n, bool stereoOut);
    // One channel's combs, all-passes and pre-delay over the work block.
    void runNetwork(int channel, int n, double* result);
    // The damping filters of one channel's combs over combEcho_ into
    // combDamped_.
    void dampCombs(dsp::IirFilter* filters, int n);

    ReverbParams& params_;
    EffectContext& context_;

    // Published by prepare, read by the audio thread once per block.
    std::atomic<int> rate_{48000};
    std::atomic<int> combDelay_[kChannels][kCombs];
    std::atomic<double> combGain_[kChannels][kCombs];
    std::atomic<double> decayTime_[kCombs];
    std::atomic<int> allPassDelay_[kChannels][kAllPasses];
    std::atomic<int> preDelay_{0};
    std::atomic<int> tap1_{0};
    std::atomic<int> tap2_{0};
    std::atomic<bool> clearPending_{false};
    std::atomic<bool> reflectionClearPending_{false};

    // Audio-thread state.
    ElementLine combLines_[kChannels][kCombs];
    ElementLine allPassLines_[kChannels][kAllPasses];
    Line preDelayLines_[kChannels];
    dsp::IirFilter combFilters_[kChannels][kCombs];
    dsp::IirFilter absorbLowPass_;
    dsp::IirFilter absorbHighPass_;
    double reflections_[kReflectionLength];
    int reflectionWrite_ = 0;
    // Samples each line has taken since the last clear (at most the pre-delay
    // line's length):
    // the lines of each channel's network move together, the reflection line
    // on its own. Older samples count as silence.
    int freshNetwork_[kChannels] = {};
    int freshReflections_ = 0;
    alignas(64) double work_[kMaxBlock];
    alignas(64) double wetLeft_[kMaxBlock];
    alignas(64) double wetRight_[kMaxBlock];
    alignas(64) double echo_[kMaxBlock];   // an all-pass's or the pre-delay's reads over the block
    alignas(64) double damped_[kMaxBlock]; // what an all-pass writes back
    alignas(64) double combEcho_[kCombs][kMaxBlock];   // each comb's outputs over the block
    alignas(64) double combDamped_[kCombs][kMaxBlock]; // the same through its damping low-pass
};

} // namespace stravik::effects
