#pragma once
// Overdrive, distortion and metal distortion, run at four times the sample rate.
//
// Three modes share a 60 Hz high-pass in front and the user's low-pass behind:
//  - Overdrive: a diode clipper solved into a table (built on the background
//    worker as job 0), with a high-passed dry path mixed in;
//  - Distortion: a spline wave-shaper whose high-pass follows the level of the
//    previous output, so loud passages lose bass the way a sagging amp does;
//  - Metal Distortion: two spline shapers around filters derived from an
//    analog pedal circuit.
// The optional "Saturation" shaper rounds the result in every mode.
#include "dsp/CurveSpline.h"
#include "dsp/FirConvolver.h"
#include "dsp/IirFilter.h"
#include "dsp/Param.h"
#include "effects/EffectContext.h"
#include "effects/tone/AmpCurves.h"
#include "effects/tone/FilterHandoff.h"
#include "effects/tone/OverdriveTable.h"

#include <atomic>
#include <cmath>
#include <cstdint>

namespace stravik::effects {

enum DistortionMode : int { kOverdrive = 0, kDistortion = 1, kMetalDistortion = 2 };

struct DistortionParams {
    Param<int> dist_enabled{0};
    Param<double> dist_drive{500.0}; // 0..1000
    Param<int> dist_clip{1};         // 0 Soft, 1 Normal, 2 Hard, 3 XHard
    Param<float> dist_lpfreq{5500.0f};
    Param<float> dist_lpq{0.7f};
    Param<int> dist_mode{kOverdrive};
    Param<int> dist_awah{0};      // "After Wah": the wah runs before the distortion
    Param<int> dist_fbon{0};      // "Saturation"
    Param<float> dist_fb{0.2f};
    Param<int> dist_afterwah{0};  // "After Phaser": the phaser runs before the distortion
    Param<float> dist_dry_mix{0.2f};
};

// The mode a stored preset asks for. Presets written before the mode list
// existed have no `dist_mode` (the reader gives -1) but may carry the older
// on/off key `dist_overdrv`: set means Overdrive, anything else Distortion.
int distortionModeFromPreset(int dist_mode, int dist_overdrv);

// The Metal mode's two circuit filters, from the analog pedal stages they
// model, mapped to the digital domain at this sample rate by the bilinear
// transform (s = 2 fs (1 - 1/z) / (1 + 1/z), not pre-warped).
// A: the input stage, a broad band-pass around 180 Hz.
void designCircuitFilterA(dsp::IirFilter& filter, int fs);
// B: the tone stage, a shelf that lowers everything above about 1 kHz by
// some 9 dB and blocks DC.
void designCircuitFilterB(dsp::IirFilter& filter, int fs);

// Where the distortion page shows the table's progress ("Computing...",
// "Ready."). Called from the background worker's thread.
class DistortionStatus {
public:
    virtual ~DistortionStatus() = default;
    virtual void showStatus(const char* text) = 0;
};

// The shaping "Saturation": a soft limit at +-1 whose knee the two exponents
// set (the larger one rounds its half sooner).
inline double saturate(double v, double expPositive, double expNegative)
{
    if (v > 1.0) return 1.0;
    if (v < -1.0) return -1.0;
    if (v > 0.0) return 1.0 - std::pow(1.0 - v, expPositive);
    return std::pow(1.0 + v, expNegative) - 1.0;
}

// buf[i] = outScale * saturate(inScale * buf[i], ...) over a block, four at
// a time where the processor allows (the powers by exp and log; the results
// agree with saturate() to rounding).
void saturateBlock(double* buf, int n, double expPositive, double expNegative, double inScale, double outScale);

class Distortion {
public:
    static constexpr int kTableJob = 0; // the overdrive table's job number on the worker

    Distortion(DistortionParams& params, EffectContext& context);
    ~Distortion(); // waits for a table job still using this unit
    Distortion(const Distortion&) = delete;
    Distortion& operator=(const Distortion&) = delete;

    // Start of a processing run at this base rate (the stage runs at 4x):
    // Full setup when the table is not ready (waits for it), else Setup.
    // Filter histories start from silence.
    void start(int sampleRate);

    // The chain's call on the oversampled block (n = 4 x the frames).
    void process(double* buf, int n);

    // ---- rebuild operations (window, preset loader)
    // Designs every filter for the current rate and the current values and
    // lowers `dist_lpfreq` to at most half the oversampled rate. Safe while
    // processing runs: the audio thread takes the designs over between blocks.
    void setup();
    // Setup, then rebuild the overdrive table and wait until it is ready.
    void fullSetup();
    // Hands the table job (current drive and clipping type) to the worker.
    void rebuildTable(bool wait);
    // Marks the table not ready: the Overdrive mode passes its input through
    // until a rebuild finishes. A job already under way no longer marks it ready.
    void invalidateTable();

    // ---- what each control does
    // A clipping-type button: Full setup (the caller waits for the table).
    void clippingTypeChanged();
    // A slider moved (its value is already in the parameters). While
    // processing: Setup, and in Overdrive mode a new drive rebuilds the table
    // without waiting (the old one stays in use meanwhile). While stopped the
    // table is only marked not ready; the run's start rebuilds it.
    void slidersChanged(bool processing);
    // The mode list changed: entering Overdrive rebuilds the table (no wait).
    void modeChanged();
    // A preset was applied: table not ready, and Full setup while processing.
    void presetLoaded(bool processing);

    void setStatusDisplay(DistortionStatus* display) { status_.store(display); }

    bool tableReady() const { return (tableState_.load(std::memory_order_acquire) & 1u) != 0; }
    const OverdriveTable& table() const { return table_; }
    int sampleRate() const { return rate_.load(); }
    int oversampledRate() const { return 4 * rate_.load(); }
    DistortionParams& params() { return params_; }

private:
    enum Filter : int {
        kPreHighPass,   // 60 Hz, in front of every mode
        kUserLowPass,   // dist_lpfreq / dist_lpq, behind every mode
        kDryHighPass,   // 720 Hz, the Overdrive's dry path
        kHighPass30,    // Distortion and Metal
        kHighPass25,    // Distortion
        kCircuitA,      // Metal: the pedal's input stage
        kCircuitB,      // Metal: the pedal's tone stage
        kLowPass10k,    // Metal
        kPeak100,       // Metal
        kPeak4770,      // Metal
        kFilterCount,
    };
    // Dynamic high-pass corners 0..kDynamicTableMax Hz are designed ahead;
    // the corner follows the output level (40..590 Hz) every sample.
    static constexpr int kDynamicTableMax = 600;
    static constexpr int kChunk = 512; // the longest oversampled block of the chain

    void designFilters(dsp::IirFilter* f, int fs);
    void designDynamicTable(int fs);
    void buildCurves();
    void loadKernel(int rate);
    void buildTable(double drive, int clip, uint64_t generation);
    void markReady(uint64_t generation);
    void showStatus(const char* text);
    bool tableMatchesParams() const;

    void processOverdrive(double* buf, int n);
    void processDistortion(double* buf, int n);
    void processMetal(double* buf, int n);
    // The corner of the level-following high-pass for the sample after one
    // whose shaped output was p (40..590 Hz).
    int cornerAfterShaped(double p) const;

    DistortionParams& params_;
    EffectContext& context_;
    std::atomic<int> rate_{48000};

    // Audio-thread state.
    dsp::IirFilter filters_[kFilterCount];
    FilterHandoff<kFilterCount> handoff_;
    dsp::FirConvolver lowPassKernel_{dsp::FirConvolver::Threading::WorkerPool};
    double dynamicCoef_[kDynamicTableMax + 1][3] = {}; // b0, b1, a1 per corner
    // The corner table's cells (DistortionCornerTable, Distortion.cpp) with
    // b0 and a1 of each of their up to three corners.
    static constexpr int kCornerCells = 3072;

public:
    static constexpr int kCornerCellCount = kCornerCells;

private:
public:
    struct alignas(64) DynamicCell {
        double threshold[2];
        double b0[3]; // of the cell's corners, in order
        double a1[3];
    };

private:
    DynamicCell dynamicCells_[kCornerCells];
    bool exactCells_[kCornerCells] = {}; // cells that ask for the formula
    double outsideCoef_[4][2] = {};      // b0, a1 below the table (+, -) and above it (+, -)
    double dynX1_ = 0.0, dynY1_ = 0.0; // dynamic high-pass history
    double previousShaped_ = 0.0;      // p of the Distortion mode
    double dryPath_[kChunk] = {};

    dsp::CurveSpline driveUp_;    // drive curve +
    dsp::CurveSpline driveDown_;  // drive curve -
    dsp::CurveSpline shapeUp_;    // shaping curve +
    dsp::CurveSpline shapeDown_;  // shaping curve -
    // The same four curves in the form the per-sample loops evaluate fastest
    // (their values agree with the splines' to rounding).
    PiecewiseCubic driveUpCubic_;
    PiecewiseCubic driveDownCubic_;
    PiecewiseCubic shapeUpCubic_;
    PiecewiseCubic shapeDownCubic_;

    // The table and its guard: bit 0 = ready, the rest counts invalidations,
    // so that a job started before an invalidation cannot mark a stale table
    // ready.
    OverdriveTable table_;
    std::atomic<uint64_t> tableState_{0};
    std::atomic<double> tableDrive_{-1.0};
    std::atomic<int> tableClip_{-1};
    std::atomic<bool> cannotFindYShown_{false};
    std::atomic<DistortionStatus*> status_{nullptr};
};

} // namespace stravik::effects
