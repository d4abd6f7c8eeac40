#pragma once
// Feedback delay with one or two taps, mono or spread across the stereo image.
//
// One circular line holds the signal fed back into itself; the first tap
// reads it echo_delay behind the write position, the second tap echo_2tapdel
// behind the first. Only the first tap feeds back. An optional low-pass
// filters each input sample once on its way into the line, so repeats darken
// once rather than with every pass.
//
// Threads: the forms, reset and start run on the audio side. prepare() and
// redesignLowPass() may be called from any thread (the echo page, the preset
// loader): they only post a request that the next processed block carries out
// before its first sample, so the line and the filter are never touched by two
// threads at once.
#include "dsp/IirFilter.h"
#include "dsp/Param.h"
#include "effects/EffectContext.h"

#include <atomic>

namespace stravik::effects {

struct EchoParams {
    Param<int> echo_enabled{0};
    Param<float> echo_dry{0.7f};
    Param<float> echo_wet{0.3f}; // not stored: a preset load sets it to 1 - echo_dry
    Param<float> echo_delay{0.5f};
    Param<float> echo_fb{0.4f};
    Param<int> echo_lpass{0};
    Param<int> echo_2tap{0};
    Param<float> echo_lpfreq{8000.0f};
    Param<float> echo_2tapdel{0.1f};
    Param<float> echo_2tapspread{1.0f};
};

class Echo {
public:
    // The longest delay is 3.0 s at 48000 Hz. The line has one slot more than
    // that, so every delay from 0 up to the full 144000 samples reads its own
    // slot: with both taps at their longest (2.0 s + 1.0 s) the second tap
    // still hears the sample of 3.0 s ago, not the one just written.
    static constexpr int kMaxDelaySamples = 144000;
    static constexpr int kLineLength = kMaxDelaySamples + 1;

    Echo(EchoParams& params, EffectContext& context);

    // A processing run starts at this rate: the line is cleared, the write
    // position returns to 0, the low-pass is designed with an empty history.
    void start(int sampleRate);
    // Clears the line, puts the write position back to 0 and designs the
    // low-pass for echo_lpfreq; done by the next processed block.
    void prepare();
    // The echo page moved the frequency slider: the low-pass is redesigned for
    // echo_lpfreq (history kept) before the next processed block.
    void redesignLowPass();
    // Called for every block while the echo is off: a used line is cleared so
    // that switching the echo on again starts from silence.
    void reset();

    // The entry point for a block: the spread form on interleaved frames when
    // the output is stereo, echo_2tap is on and echo_2tapspread is not 0;
    // otherwise the mono form on n mono samples.
    void process(double* buf, int n, bool stereoOutput);
    // n mono samples in place.
    void processMono(double* buf, int n);
    // n interleaved frames in place; the line is fed from the left channel,
    // the first tap leans left and the second right by echo_2tapspread.
    void processSpread(double* stereo, int frames);
    // n interleaved frames in place, for a block that is already stereo while
    // the echo does not spread: the left channel goes through the mono form
    // and the result is written to both channels.
    void processMonoOnStereo(double* stereo, int frames);

    // Inspection (tests, the page).
    int sampleRate() const { return rate_; }
    int writePosition() const { return write_; }
    bool used() const { return used_; }
    const dsp::IirFilter& lowPass() const { return lowPass_; }
    // The read positions the next block would use, from the current write
    // position and parameters.
    void readPositions(int& first, int& second) const;

private:
    void beginBlock();
    void clearLine();
    void zeroStale(int write, int read, int n);
    void endBlock(int n);
    void designLowPass();
    // The sample offset of a tap, held within what the line can hold.
    static float tapOffset(int rate, float seconds);

    EchoParams& params_;
    EffectContext& context_;
    int rate_ = 48000;
    int write_ = 0;
    bool used_ = false;
    int fresh_ = kLineLength; // samples written since the line was last emptied (at most its length)
    std::atomic<bool> prepareRequested_{false};
    std::atomic<bool> lowPassRequested_{false};
    dsp::IirFilter lowPass_;
    double line_[kLineLength];
};

} // namespace stravik::effects
