#pragma once
// Phaser: swept delay sections, or the "Vintage analog" all-pass chain.
//
// The plain form sweeps a short interpolated delay through two cascaded
// feedback sections (moving notches, flanger-like). The analog form sweeps a
// chain of second-order all-passes, fed back and mixed with the input, behind
// a band limit; its sweep moves once per block.
//
// Threads: prepare may run on any thread while blocks run. It derives the new
// sweeps aside and hands them over under a mutex that the audio thread only
// ever tries at the start of a block, so a page change never alters the
// sweep within a block, no block sees half of one, and no block waits (it
// keeps the sweep it had for one more block when prepare holds the mutex
// just then). reset runs on the audio thread between blocks.
#include "dsp/IirFilter.h"
#include "dsp/Param.h"
#include "effects/EffectContext.h"

#include <atomic>
#include <mutex>

namespace stravik::effects {

struct PhaserParams {
    Param<int> phaser_enabled{0};
    Param<float> phaser_delay{1000.0f}; // "Center freq:", Hz
    Param<float> phaser_depth{50.0f};   // %
    Param<float> phaser_fb{0.65f};
    Param<float> phaser_wet{0.5f};
    Param<float> phaser_dry{0.5f};
    Param<float> phaser_period{2.0f};
    Param<int> phaser_analog{0};
    Param<int> phaser_filt_stages{4};
};

class Phaser {
public:
    static constexpr int kLineLength = 16384;
    static constexpr int kMaxStages = 10;
    static constexpr int kMaxBlock = 128;

    // The ranges the page offers. Values from a preset are held to them when
    // the sweep is derived: a period or centre frequency of 0 would divide by
    // zero, and depths, feedback or stage counts beyond them would read
    // outside the lines or let the feedback run away.
    static constexpr float kMinCentre = 100.0f, kMaxCentre = 4000.0f;
    static constexpr float kMinDepth = 0.0f, kMaxDepth = 100.0f;
    static constexpr float kMinPeriod = 0.1f, kMaxPeriod = 10.0f;
    static constexpr float kMinFeedback = 0.0f, kMaxFeedback = 0.8f;
    static constexpr float kMaxDelaySeconds = 0.18f;

    // Spacing of the analog form's all-passes, by stage count / 2 (a single
    // stage needs none).
    static int stageSpacing(int stages);

    // The plain form's sweep.
    struct PlainSweep {
        float dMin = 0.0f;      // s
        float dMax = 0.0f;      // s
        int centre = 0;         // samples
        float amplitude = 0.0f; // s
        double omega = 0.0;     // rad/s
        double sectionGain = 0.0;
    };
    // The analog form's sweep.
    struct AnalogSweep {
        double fMin = 0.0, fMax = 0.0, mid = 0.0; // Hz
        double amplitude = 0.0;                    // Hz
        double omega = 0.0;                        // rad/s
    };
    // The filters of the analog form's last block.
    struct AnalogBlock {
        double centre = 0.0; // fc, Hz
        int highPass = 0;    // Hz
        int stages = 0;
        int allPass[kMaxStages] = {};
    };

    Phaser(PhaserParams& params, EffectContext& context);

    // Processing start: prepare for the stored form at this rate.
    void start(int sampleRate);
    // Recomputes the sweep for the given form (0 plain, 1 "Vintage analog")
    // and stores the form as phaser_analog. Any thread.
    void prepare(int analog);
    // Between blocks while the phaser is off: clears its state if it was used.
    void reset();
    void process(double* buf, int n);

    // ---- inspection (page, tests)
    // The sweeps of the last prepare.
    PlainSweep plainSweep() const;
    AnalogSweep analogSweep() const;
    // Audio-side state: read it between blocks.
    AnalogBlock lastAnalogBlock() const;
    double lfoTime() const;
    bool used() const { return used_; }
    // Copies of the analog form's filters (coefficients and history).
    dsp::IirFilter allPassStage(int s) const;

private:
    struct Sweeps {
        int rate = 48000;
        PlainSweep plain;
        AnalogSweep analog;
        double period = 2.0; // held
    };
    Sweeps derive(int rate) const;
    void processPlain(double* buf, int n);
    void processAnalog(double* buf, int n);
    // The plain form's delay (samples) for the sweep's sine at one sample.
    float plainDelayAt(double sine) const;

    PhaserParams& params_;
    EffectContext& context_;

    // The hand-over: the newest sweeps wait in staged_ until a block takes them.
    mutable std::mutex handoff_;
    Sweeps staged_;              // under handoff_
    bool stagedPending_ = false; // under handoff_
    std::atomic<bool> pending_{false};

    // Audio-thread state.
    Sweeps live_;
    double t_ = 0.0;
    double line1_[kLineLength] = {};
    double line2_[kLineLength] = {};
    int write_ = 0;
    dsp::IirFilter highPass_;
    dsp::IirFilter lowPass_;
    dsp::IirFilter allPass_[kMaxStages];
    double lastOut_ = 0.0;
    AnalogBlock block_;
    alignas(64) double work_[kMaxBlock] = {};
    bool used_ = false;
};

} // namespace stravik::effects
