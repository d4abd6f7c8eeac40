#pragma once
// "Speaker distortion": a mechanical model of the loudspeaker cone, run at
// four times the sample rate, and the correction filter that follows it at
// the base rate.
//
// The cone is a mass on a spring with damping, driven by the signal; the
// spring (the suspension) stiffens as the cone moves further from rest, so
// big excursions are held back and the low end compresses and distorts like
// a pushed speaker. The driving level is the speaker drive G. Per sample,
// with position p, velocity w and acceleration a from the previous sample
// (p0, w0, a0) and dt = 1/FS:
//   q = |p0| / 0.003 * G;  k = 13.5 q / suspension(q) when q >= 0.1, else 13.5
//   a = [(a0 m - w0 k dt) c + ((-w0 dt^2 - p0 dt) k - w0 dt r) s + x dt d - w0 dt b]
//       / [(k dt^2 + dt r + m) c + (k dt^3 + dt m + dt^2 r) s + dt^2 b]
//   (m = 5.4675e-05, r = 0.004602272727272727, c = 0.001, s = 14.4, d = 0.45, b = 0.2025)
//   w = a dt + w0;  p = w dt + p0;  the output is w.
// A 50 Hz high-pass keeps DC off the cone in front; behind, a first-order
// 8 kHz high-pass with gain 100 turns the velocity into the radiated sound
// (it differentiates below 8 kHz).
//
// The correction filter (100 taps, designed at build time by
// assets/ir/design_speaker_correction) restores the treble a real speaker
// radiates: about -3 dB at 100 Hz, 0 dB at 1 kHz, +7.3 dB at 4 kHz, +16.6 dB
// at 8 kHz and +18.3 dB at 10 kHz, minimum phase.
#include "dsp/CubicSpline.h"
#include "dsp/IirFilter.h"
#include "effects/tone/AmpCurves.h"

namespace stravik::effects {

// The correction filter's taps for a base rate: one table for 22050 Hz, one
// for 44100 Hz and one for every other rate.
inline constexpr int kSpeakerCorrectionTaps = 100;
const double* speakerCorrectionTable(int sampleRate);

class SpeakerModel {
public:
    SpeakerModel();

    // Designs the two high-passes for the oversampled rate (states stay).
    void setup(int oversampledRate);
    // The cone at rest, filter histories cleared (start of a run).
    void reset();

    // In place over n samples with the speaker drive G (linear).
    void process(double* buf, int n, double drive);

    // The stiffness for a cone position p0 and drive G.
    double stiffness(double p0, double drive);
    double position() const { return p_; }
    double velocity() const { return w_; }
    double acceleration() const { return a_; }

private:
    void buildSuspension();

    dsp::IirFilter inputHighPass_;  // 50 Hz
    dsp::IirFilter radiation_;      // 8 kHz high-pass, input gain 100
    dsp::CubicSpline suspension_;  // constant: built by setup()
    PiecewiseCubic suspensionCurve_; // the same, in the form the loop evaluates
    int suspensionCursor_ = 0;
    double dt_ = 1.0 / 192000.0;
    double p_ = 0.0, w_ = 0.0, a_ = 0.0;
};

} // namespace stravik::effects
