#pragma once
// One equaliser of the program (input, output or amp): its settings and the
// unit that runs them.
//
// Types 0 to 2 are three second-order sections (treble, bass, middle) that are
// redesigned at once; types 3 ("5Band") and 4 ("Graphic") are minimum-phase
// FIR filters designed from a curve on the background worker, each type under
// its own job number. A convolver keeps its previous taps until the job loads
// new ones, so a change never interrupts the sound.
#include "dsp/BackgroundWorker.h"
#include "dsp/PartitionedConvolver.h"
#include "dsp/IirFilter.h"
#include "dsp/Param.h"
#include "effects/EffectContext.h"
#include "effects/tone/CurveFirDesign.h"
#include "effects/tone/FilterHandoff.h"

#include <atomic>

namespace stravik::effects {

enum EqualiserType : int {
    kEqHiFi = 0,     // "HI-FI"
    kEqAmpUk = 1,    // "Amp-UK"
    kEqAmpUs = 2,    // "Amp-US"
    kEqFiveBand = 3, // "5Band"
    kEqGraphic = 4,  // "Graphic"
};

// Settings of one equaliser (input, output or amp): its type and the values of
// every type, so that switching types keeps each type's own settings.
struct EqualiserSettings {
    static constexpr int kBands = 5;
    static constexpr int kMaxPoints = 100;

    Param<int> eqtype{kEqHiFi};
    // Tone values 0..1 around a flat 0.5 (gain (v - 0.5) * 40 dB).
    Param<float> bass{0.5f};
    Param<float> mid{0.5f};
    Param<float> treble{0.5f};
    Param<float> bands[kBands] = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
    // Graphic curve: frequency in Hz, gain in dB.
    Param<int> pointCount{2};
    Param<float> pointX[kMaxPoints] = {100.0f, 20000.0f};
    Param<float> pointY[kMaxPoints] = {0.0f, 0.0f};
};

// Gain in dB of a tone value: 0.5 is flat, 0 and 1 are -20 and +20 dB.
inline double toneGainDb(double value) { return (value - 0.5) * 40.0; }

// The centres of the five bands, Hz.
inline constexpr double kFiveBandHz[EqualiserSettings::kBands] = {100.0, 600.0, 1000.0, 3300.0, 10000.0};

class Equaliser {
public:
    using Wait = dsp::BackgroundWorker::Wait;

    // Job numbers of the designs on the worker: amp 1 and 2, input 3 and 4,
    // output 5 and 6.
    Equaliser(EqualiserSettings& settings, EffectContext& context, int fiveBandJob, int graphicJob);
    ~Equaliser(); // waits for a design job still using this unit
    Equaliser(const Equaliser&) = delete;
    Equaliser& operator=(const Equaliser&) = delete;

    // Start of a run at this rate: every type designed for it (the FIR designs
    // waited for, so the first block already has them); histories cleared.
    void start(int sampleRate);

    // After a change of type or values, or a preset load: the sections at
    // once, and the FIR of the current type on the worker.
    void design(Wait wait = Wait::No);
    void designSections();
    void designFiveBand(Wait wait = Wait::No);
    void designGraphic(Wait wait = Wait::No);

    // Runs the current type over the block (audio thread).
    void process(double* buf, int n);

    EqualiserSettings& settings() { return settings_; }
    int sampleRate() const { return rate_.load(); }
    int fiveBandJob() const { return fiveBandJob_; }
    int graphicJob() const { return graphicJob_; }
    // For tests and the window's display of the response.
    dsp::PartitionedConvolver& fiveBandFir() { return fiveBandFir_; }
    dsp::PartitionedConvolver& graphicFir() { return graphicFir_; }
    const dsp::IirFilter& section(int i) const { return sections_[i]; }

    enum Section : int { kTreble = 0, kBass = 1, kMiddle = 2, kSectionCount = 3 };

private:
    void submitDesign(int job, dsp::PartitionedConvolver& target, const double* hz, const double* db, int count, Wait wait);

    EqualiserSettings& settings_;
    EffectContext& context_;
    const int fiveBandJob_;
    const int graphicJob_;
    std::atomic<int> rate_{48000};

    dsp::IirFilter sections_[kSectionCount]; // audio thread
    FilterHandoff<kSectionCount> handoff_;
    // The two FIR types' filters, 1024 taps each, by partitioned convolution.
    dsp::PartitionedConvolver fiveBandFir_{CurveFirDesigner::kTaps};
    dsp::PartitionedConvolver graphicFir_{CurveFirDesigner::kTaps};

    // Used only by this unit's jobs, which the worker runs one at a time.
    CurveFirDesigner designer_;
    double taps_[CurveFirDesigner::kTaps] = {};
};

} // namespace stravik::effects
