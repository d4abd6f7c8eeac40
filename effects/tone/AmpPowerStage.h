#pragma once
// The amp's push-pull power stage, run at four times the sample rate.
//
// Two halves of a tube pair each conduct one polarity of the signal through
// the tube curve, shifted by a bias that follows the signal's level: loud
// playing charges the bias envelopes and moves both halves towards cut-off,
// so the crossover region widens and the tone gets grittier, then recovers
// as the envelopes decay. A supply envelope with a fast rise and a 50 Hz
// fall sags the supply: above 0.63 the gain is compressed along the sag curve.
//
// Per sample x, with the amp gain g:
//   in = g x;  v = 1.5 in
//   supply:  t = max(v, 0), t = 0.9 e when t <= e;  e = LP50(t)
//   sag:     s = 1 when e < 0.2, else sag(e) / e;  u = s in
//   bias:    t = u (0.9 P when u <= P), P = LP10a(t);  t = -u (0.9 N when -u <= N), N = LP10b(t)
//            A = bias((P + N) / 2) / 2 + 0.035
//   out = tube(u - A) - tube(-u - A)
#include "dsp/CubicSpline.h"
#include "dsp/IirFilter.h"
#include "effects/tone/AmpCurves.h"

namespace stravik::effects {

class AmpPowerStage {
public:
    AmpPowerStage();

    // Designs the envelope low-passes for the oversampled rate (the states
    // stay) and builds the curves.
    void setup(int oversampledRate);
    // Envelopes and filter histories back to 0 (start of a run).
    void reset();

    // In place over n samples with the amp gain g (linear).
    void process(double* buf, int n, double gain);

    // ---- the figures, for the window's display and tests
    // s for a supply envelope e.
    double sagFactor(double e) const;
    // A for a bias level b = (P + N) / 2.
    double biasShift(double b) const;
    // The transfer of one half: tube(x).
    double tube(double x) const { return tube_(x); }
    double supplyEnvelope() const { return e_; }
    double positiveBias() const { return p_; }
    double negativeBias() const { return n_; }

private:
    // The designs (first-order low-passes at 50 Hz and twice 10 Hz); the
    // per-sample loop runs their coefficients inline.
    dsp::IirFilter supplyDesign_;
    dsp::IirFilter biasDesign_;
    OnePole supplyLowPass_;   // LP50
    OnePole positiveLowPass_; // LP10a
    OnePole negativeLowPass_; // LP10b
    // The curves are built as the program's splines (sag: Hermite with the
    // given derivatives; bias and tube: CubicSpline, clamped, end slopes 0)
    // and evaluated in polynomial form.
    dsp::CubicSpline biasSpline_;
    dsp::CubicSpline tubeSpline_;
    PiecewiseCubic sag_;
    PiecewiseCubic bias_;
    PiecewiseCubic tube_;
    double e_ = 0.0, p_ = 0.0, n_ = 0.0;
};

} // namespace stravik::effects
