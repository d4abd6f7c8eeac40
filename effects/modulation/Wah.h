#pragma once
// Auto wah and envelope wah (with the talk box), sharing one filter set.
//
// The auto wah's frequency is fixed, swept by a slow triangle, or set by an
// external pedal or a MIDI controller; the envelope wah's follows the
// loudness of the input. Four filter characters: "60-70's" (a model of the
// classic pedal circuit), "Modern", "Legacy" and "Talk box" (three vowel
// formants).
//
// Threads: process(), followEnvelope(), start() and resetEnvelope() belong
// to the processing thread. updateCoefficients(), the pedal and controller
// entry points and switchWah() may be called from any thread (the window,
// the preset loader, the MIDI input); they take the wah lock, which every
// block holds too, so the filters never change within a block.
#include "dsp/CubicSpline.h"
#include "dsp/IirFilter.h"
#include "dsp/Param.h"
#include "effects/EffectContext.h"
#include "effects/modulation/WahCircuit.h"
#include "effects/modulation/WahEnvelope.h"
#include "effects/modulation/WahTalkBox.h"

#include <atomic>
#include <mutex>

namespace stravik::effects {

enum WahMode : int { kWahSixties = 0, kWahModern = 1, kWahLegacy = 2, kWahTalkBox = 3 };
enum WahSource : int { kWahFixed = 0, kWahSweep = 2, kWahPedal = 3, kWahMidi = 4 };

struct WahParams {
    Param<int> wah_enabled{0};
    Param<int> wah_f1{450};
    Param<int> wah_f2{2200};
    Param<int> wah_auto{kWahSweep};
    Param<float> wah_range{0.8f};
    Param<float> wah_sel{5.0f};
    Param<float> wah_period{1.0f};
    Param<int> wah_mode{kWahSixties};
};

struct EnvWahParams {
    Param<int> ewah_enabled{0};
    Param<float> ewah_f1{450.0f};
    Param<float> ewah_f2{2500.0f};
    Param<float> ewah_f3{1800.0f};
    Param<float> ewah_v1{0.7f};
    Param<float> ewah_v2{0.4f};
    Param<float> ewah_v3{0.0f};
    Param<float> ewah_gain{0.8f};
    Param<float> ewah_q{5.0f};
    Param<int> ewah_log{1};
    Param<int> ewah_peak{0};
    Param<int> ewah_peakmode{0};
    Param<int> ewah_mode{kWahSixties};
};

enum class WahKind { Auto, Envelope };
enum class WahFilterType { Circuit, Modern, Legacy };

// "60-70's" and "Talk box" share the circuit type (the talk box replaces its
// filters but keeps its position bookkeeping). A mode outside the list is
// treated as "60-70's".
WahFilterType wahFilterType(int mode);

// The settings the filters use: the envelope wah's own mode, gain and
// resonance when it alone is on, the auto wah's otherwise. Gain is held
// within 0..1 and resonance within 0..10 (the pages' ranges), the mode
// within the list.
struct WahActiveSettings {
    int mode;
    double gain;
    double resonance;
};
WahActiveSettings wahActiveSettings(const WahParams& wah, const EnvWahParams& env);

// ---- for the preset loader
// Presets from before the mode list kept only a talk-box switch: 1 is the
// talk box, anything else the legacy filter.
int wahModeFromTalkBox(int legacyTalkBox);
// The mode to use for a preset: storedMode as read, or negative when the
// preset lacks the key (then the old switch decides).
int presetWahMode(int storedMode, int legacyTalkBox);
// The resonance is stored as a whole number (truncated toward zero) and read
// back as that number.
int storedWahSel(float wahSel);
float wahSelFromStored(int stored);

// ---- frequency sources (whole hertz)
// The sweep at time t of period P: a triangle in log frequency between the
// lower and the higher of f1 and f2; in talk-box mode a linear triangle that
// leaves from f1 whichever is higher. t runs from 0 to P.
int wahSweepFrequency(double t, double period, int f1, int f2, bool talkBox);
// A controller position 0..1 spread logarithmically between the two
// frequencies (0 the lower, 1 the higher).
int wahControllerFrequency(double position, int f1, int f2);

// A consistent copy of the wah's state, for the window and tests.
struct WahState {
    int sampleRate = 0;
    int mode = -1;                // mode of the last coefficient update
    int currentFrequency = 0;     // set by the sweep or the envelope
    int updateFrequency = 0;      // of the last coefficient update
    double sweepTime = 0.0;
    double position = 0.0;        // circuit pot position
    double previousPosition = 0.0;
    double pedalFrequency = -1.0; // negative until the pedal's first reading
    double controllerPosition = 0.5;
    double peakHold = 0.0;
    double circuitInputGain = 1.0;
    dsp::IirFilter fa, fb, fc;
    dsp::IirFilter circuitHighPass220, circuitHighPass50;
    int formantHz[WahTalkBox::kFormants] = {};
    dsp::IirFilter formantBandPass[WahTalkBox::kFormants];
    dsp::IirFilter talkBoxPreFilter;
};

class Wah {
public:
    // Frequencies a parameter may ask for are held within these, so that a
    // stray value (a hand-edited preset, a command line) cannot break a log
    // or a filter design; the pages offer 300..4000 Hz.
    static constexpr int kLowestFrequency = 20;
    static constexpr int kHighestFrequency = 20000;
    static constexpr double kShortestPeriod = 0.01; // seconds
    // The envelope wah's frequency range.
    static constexpr int kEnvelopeLowest = 300;
    static constexpr int kEnvelopeHighest = 4000;

    Wah(WahParams& wah, EnvWahParams& env, EffectContext& context);

    // Processing start: envelope reset, filter histories cleared, the
    // position table (re)built for the rate, coefficient update.
    void start(int sampleRate);
    // Early in every block while the envelope wah is on, on the untouched input.
    void followEnvelope(const double* buf, int n);
    // The wah block, in place.
    void process(double* buf, int n);

    // Recomputes every filter for the current mode and frequency: at once
    // from the processing thread, and for a call from any other thread at
    // the start of the next block (the filters belong to the audio thread,
    // which never waits for another one; the update uses the values of that
    // moment, so the newest controller or pedal reading wins).
    void updateCoefficients();
    // Ring length for the rate, ring cleared (processing thread).
    void resetEnvelope();

    // The external pedal's reading in hertz (100..4100 from the pedal), and
    // the MIDI controller's position 0..1; each runs the coefficient update.
    // Until its first reading each source sits at the middle of the log
    // sweep between wah_f1 and wah_f2. Values that are not numbers are ignored.
    void setPedalFrequency(double hz);
    void setControllerPosition(double position);

    // Switching one wah on switches the other off (the two share the
    // filters); either switch then updates the coefficients.
    void switchWah(WahKind kind, bool on);

    // The state as of the last block, with any update asked for since
    // then worked out as the next block will do it. Any thread.
    WahState state() const;
    // The follower's values (processing thread).
    double envelope() const { return follower_.envelope(); }
    int envelopeRingLength() const { return follower_.ringLength(); }

    WahParams& params() { return wah_; }
    EnvWahParams& envParams() { return env_; }

private:
    // Where an update writes its designs: the audio thread's own filters, or
    // (for state()) a copy of them.
    struct Designs {
        dsp::IirFilter* fa;
        dsp::IirFilter* fb;
        dsp::IirFilter* fc;
        dsp::IirFilter* highPass220;
        dsp::IirFilter* highPass50;
        WahTalkBox* talkBox;
        WahPositionTable* table;
        double* position;
        int* update;
        int* updatedMode;
        int* updatedRate;
    };
    void updateLocked(const WahActiveSettings& s);
    void design(const WahActiveSettings& s, int fs, int current, const Designs& d) const;
    void snapshotInto(WahState& st) const;
    int frequencyForUpdate(int current) const;
    int envelopeFrequency();
    void filterBlock(double* buf, int n, const WahActiveSettings& s);
    int heldF1() const;
    int heldF2() const;

    WahParams& wah_;
    EnvWahParams& env_;
    EffectContext& context_;

    // From the controls and the pedal and MIDI threads.
    std::atomic<bool> updateRequested_{false};
    std::atomic<double> pedalHz_{-1.0};
    std::atomic<double> controllerPosition_{0.5};

    // The state as the last block left it, for state(): published by the
    // audio thread at the end of a block when the mutex is free (state()
    // holds it only while it copies), with copies of what an update needs.
    mutable std::mutex snapshotLock_;
    WahState published_;                   // under snapshotLock_
    mutable WahTalkBox observerTalkBox_;   // under snapshotLock_
    mutable WahPositionTable observerTable_; // under snapshotLock_

    // Audio side.
    int fs_ = 48000;
    int current_ = 450;
    int update_ = 450;
    int updatedMode_ = -1; // no update yet
    int updatedRate_ = 0;
    double sweepTime_ = 0.0;

    dsp::IirFilter fa_, fb_, fc_;
    dsp::IirFilter circuitHighPass220_, circuitHighPass50_;
    WahCircuitFilter circuit_;
    WahPositionTable table_;
    dsp::CubicSpline levelCurve_; // dB over log10 of the frequency
    double position_ = 0.0;
    double previousPosition_ = 0.0;
    WahTalkBox talkBox_;
    WahPeakHold peak_;

    WahEnvelopeFollower follower_; // processing thread only, no lock
};

} // namespace stravik::effects
