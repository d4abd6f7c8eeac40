#pragma once
// The "IO Control" group at the two ends of the chain: the noise gate, the
// input stage (input equaliser, hiss filter, hum filter) and the output stage
// (output equaliser).
#include "dsp/IirFilter.h"
#include "dsp/Param.h"
#include "effects/EffectContext.h"
#include "effects/tone/Equaliser.h"
#include "effects/tone/FilterHandoff.h"
#include "effects/tone/NoiseGate.h"

#include <atomic>

namespace stravik::effects {

struct IoControlParams {
    Param<int> ictrl_enabled{0};
    Param<int> octrl_enabled{0};
    EqualiserSettings ictrl; // ictrl_eqtype, ictrl_bass.., ictrl_equ0..4, i_gequ_*
    EqualiserSettings octrl; // octrl_eqtype, octrl_bass.., octrl_equ0..4, o_gequ_*
    Param<int> io_hiss{0};
    Param<int> io_50hz{0};
    Param<int> nf_enabled{0};
    Param<float> nf_tresh{-50.0f}; // dB
    Param<float> nf_ratio{2.0f};
};

class ToneControl {
public:
    // Design job numbers of the two equalisers on the background worker.
    static constexpr int kInputFiveBandJob = 3, kInputGraphicJob = 4;
    static constexpr int kOutputFiveBandJob = 5, kOutputGraphicJob = 6;

    ToneControl(IoControlParams& params, EffectContext& context);

    // Start of a run: both equalisers, the hiss and hum filters, the gate.
    void start(int sampleRate);

    // The chain's calls (work buffer, base rate).
    void processNoiseGate(double* buf, int n);
    void processInput(double* buf, int n);  // checks its own switches
    void processOutput(double* buf, int n); // runs the output equaliser when octrl_enabled

    // ---- rebuild operations (window, preset loader)
    // After a preset load: both equalisers and the hiss and hum filters.
    void presetLoaded();
    // The hiss ("LowPass 8KHz") and hum ("50Hz hum filter") filters; also
    // called when the noise-gate sliders move.
    void designHissAndHum();
    // A change on the input or output equaliser: call design() on it.
    Equaliser& inputEqualiser() { return input_; }
    Equaliser& outputEqualiser() { return output_; }

    const NoiseGate& noiseGate() const { return gate_; }
    IoControlParams& params() { return params_; }
    int sampleRate() const { return rate_.load(); }

private:
    enum Filter : int { kHiss = 0, kHum = 1, kFilterCount = 2 };

    IoControlParams& params_;
    EffectContext& context_;
    std::atomic<int> rate_{48000};
    Equaliser input_;
    Equaliser output_;
    dsp::IirFilter filters_[kFilterCount]; // audio thread
    FilterHandoff<kFilterCount> handoff_;
    NoiseGate gate_;
};

} // namespace stravik::effects
