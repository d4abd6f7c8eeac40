#pragma once
// The "60-70's" wah: a third-order model of the classic inductor pedal
// circuit, discretised with the bilinear transform (a = 2 fs). Its
// denominator is linear in the pot position p (A_k + B_k p), so the position
// can glide sample by sample at the cost of one normalisation per sample.
//
// Pieces:
//  - WahCircuitPolynomials: the A, B and N polynomials for a resonance
//    setting q (0..1) at a sample rate.
//  - complexPoleAngle / wahCircuitResonance: where the resonance of a
//    position lies, from the complex pole pair of the cubic denominator.
//  - WahPositionTable: frequency -> position, through ten positions of the
//    circuit at q = 0.5 and a natural cubic spline.
//  - WahCircuitFilter: the recursion with its input gain and histories.
#include "dsp/CubicSpline.h"

namespace stravik::effects {

struct WahCircuitPolynomials {
    double A[4] = {}; // denominator, constant part
    double B[4] = {}; // denominator, part proportional to the position
    double N[4] = {}; // numerator

    static WahCircuitPolynomials design(double q, int sampleRate);

    // Normalised coefficients at position p: b[0..3] and a[0..3] with a[0] = 1.
    void coefficients(double p, double* b, double* a) const;
};

// The angle (radians, 0..pi) of the complex conjugate pole pair of
// z^3 + a1 z^2 + a2 z + a3, solved with the cubic formula. Negative when the
// cubic has three real roots (no resonance to speak of).
double complexPoleAngle(double a1, double a2, double a3);

// The resonance frequency (Hz) of the circuit at position p, or a negative
// value when the poles at that setting are all real.
double wahCircuitResonance(double q, int sampleRate, double p);

class WahPositionTable {
public:
    static constexpr int kPoints = 10;
    static constexpr double kTableResonance = 0.5;

    // Solves the circuit at p = k/9, k = 0..9, and fits the spline. Cheap
    // (ten cubics) and free of allocation, so it may run on any thread.
    void build(int sampleRate);
    // 0 until the first build.
    int sampleRate() const { return rate_; }

    // The pot position that puts the resonance at f, held within 0..1;
    // beyond the table's end frequencies, the end positions.
    double position(double f);

    // The points in use, ordered by frequency (ascending); positions
    // therefore descend.
    int count() const { return count_; }
    double frequencyAt(int i) const { return freq_[i]; }
    double positionAt(int i) const { return pos_[i]; }

private:
    dsp::CubicSpline spline_;
    double freq_[kPoints] = {};
    double pos_[kPoints] = {};
    int count_ = 0;
    int rate_ = 0;
};

class WahCircuitFilter {
public:
    void setPolynomials(const WahCircuitPolynomials& poly) { poly_ = poly; }
    const WahCircuitPolynomials& polynomials() const { return poly_; }
    void setInputGain(double g) { inputGain_ = g; }
    double inputGain() const { return inputGain_; }

    // Filters n samples in place while the position moves in a straight line
    // from `from` (first sample) towards `to` (reached by the next block):
    // sample i uses from + (to - from) * i / n.
    void process(double* buf, int n, double from, double to);
    void reset();

private:
    WahCircuitPolynomials poly_;
    double inputGain_ = 1.0;
    double x1_ = 0.0, x2_ = 0.0, x3_ = 0.0; // scaled inputs
    double y1_ = 0.0, y2_ = 0.0, y3_ = 0.0;
};

} // namespace stravik::effects
