#pragma once
// Pitch shifter: overlap-add time stretch read back at the pitch ratio.
//
// The input (averaged down to about 22 kHz at the higher rates) is stretched
// in time by the ratio r: segments of a few hundred samples are repeated
// (r > 1) or merged (r < 1) at the length where the signal matches itself
// best, joined by linear cross-fades, with stretches of plain signal passed
// through between the splices. Reading the stretched signal back r times
// faster, with linear interpolation, restores the duration and moves the
// pitch by r. The shifted voice is mixed with the dry signal.
#include "dsp/Param.h"
#include "effects/EffectContext.h"
#include "effects/modulation/SpliceSearch.h"

#include <atomic>
#include <mutex>

namespace stravik::effects {

struct PitchParams {
    Param<int> pitch_enabled{0};
    Param<float> pitch_dry{0.5f};
    Param<float> pitch_wet{0.5f}; // not stored: a preset load sets it to 1 - pitch_dry
    Param<float> pitch_oct{2.0f}; // frequency ratio
    Param<int> pitch_type{1};
};

class PitchShifter {
public:
    static constexpr int kAnalysisSize = 4096;
    static constexpr int kStretchedSize = 16384;
    static constexpr int kMaxBlock = 128;
    // The ratio is held to the page's range, an octave either way.
    static constexpr float kMinRatio = 0.5f;
    static constexpr float kMaxRatio = 2.0f;

    // How the search sees its data: longest segment (also the comparison
    // width) and shortest segment, by "Type of sound" 0 (solo) to 4 (chords).
    struct Segments {
        int longest;
        int shortest;
    };
    static Segments segmentsFor(int type);

    // What happened since the last prepare (tests and diagnostics).
    struct Stats {
        long splices = 0;
        // Splices made while the analysis buffer held less than the search
        // window (the older contents of the buffer took part).
        long shortSearches = 0;
        // Blocks that needed more stretched signal while a pass-through was
        // still delivering it: the splice waited for the pass-through.
        long passThroughWaits = 0;
        // Read-back positions past the end of the stretched signal.
        long readsPastEnd = 0;
        // Restarts after the stretched signal fell a whole segment behind.
        long restarts = 0;
    };

    PitchShifter(PitchParams& params, EffectContext& context);

    // At the start of a run: the rate, then prepare.
    void start(int sampleRate);
    // Takes the type and the ratio from the parameters and restarts the
    // shifted voice from silence. Safe from any thread while blocks run: the
    // new settings are handed over under a mutex the audio thread only tries
    // at the start of a block (a block never waits; it keeps the settings it
    // had when the mutex is busy, and restarts at the next one).
    void prepare();
    // In place on the chain's mono block (any n; pieces of 128 at a time).
    void process(double* buf, int n);

    // Settings as of the last prepare.
    float ratio();
    int divisor();
    float passThroughFactor();
    Segments segments();
    // Audio-side counts: read them between blocks.
    Stats stats();
    // Which search the shifter uses: the vector routine when the processor
    // allows it. Tests may force the portable routine (between blocks).
    void setSearch(splice::SearchFn search);

private:
    // Everything prepare() derives from the parameters and the rate.
    struct Settings {
        int sampleRate = 48000;
        Segments seg{256, 128};
        int divisor = 2;
        float ratio = 2.0f;
        float passFactor = 1.0f;
        bool bypass = false;
    };
    Settings derive(int sampleRate, const Settings& before) const;
    // Takes settings over and restarts the shifted voice (audio side, or
    // before blocks run).
    void adopt(const Settings& s);
    void clearLocked();
    void processPiece(double* buf, int n);
    int decimate(const double* buf, int n);
    void appendStretched(const double* src, int count);
    void appendAnalysis(const double* src, int count);
    void splice(int target);
    double readBack(double position);

    PitchParams& params_;
    EffectContext& context_;
    // The hand-over: the newest settings wait in staged_ until a block takes them.
    std::mutex handoff_;
    Settings staged_;            // under handoff_
    bool stagedPending_ = false; // under handoff_
    std::atomic<bool> pending_{false};

    // Audio side.
    int sampleRate_ = 48000;
    int divisor_ = 2;
    float ratio_ = 2.0f;
    float passFactor_ = 1.0f;
    bool bypass_ = false;
    Segments seg_{256, 128};
    splice::SearchFn search_;

    double analysis_[kAnalysisSize] = {};
    int analysisCount_ = 0;
    double stretched_[kStretchedSize] = {};
    int stretchedCount_ = 0;
    double scratch_[kMaxBlock] = {};
    double readPosition_ = 0.0;
    float roundingError_ = 0.0f;
    int pendingPassThrough_ = 0; // samples still to go straight through
    // At half rate a block of odd length leaves its last sample over; it is
    // paired with the first sample of the next block.
    bool haveOddSample_ = false;
    double oddSample_ = 0.0;
    Stats stats_;
};

} // namespace stravik::effects
