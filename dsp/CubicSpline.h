#pragma once
// A cubic spline through a small table of points, built once and looked up
// many times (the soft clipper, the limiter's knee, the amp's tube curves,
// the compressor's transfer curve).
//
// End slopes above 9.9e29 (as single-precision values) mean a natural end:
// second derivative zero there. With the clamp flag, x outside the table
// returns the end values; without it the end cubics extend.

namespace stravik::dsp {

class CubicSpline {
public:
    static constexpr int kMaxPoints = 64;
    // Any slope at least this large asks for a natural end.
    static constexpr float kNatural = 1.0e30f;

    CubicSpline() = default;
    CubicSpline(const double* x, const double* y, int count, float firstSlope, float lastSlope,
                bool clamp = false)
    {
        build(x, y, count, firstSlope, lastSlope);
        setClamp(clamp);
    }

    // x must be strictly increasing; count is cut to kMaxPoints.
    void build(const double* x, const double* y, int count, float firstSlope, float lastSlope);
    void setClamp(bool clamp) { clamp_ = clamp; }
    bool clamp() const { return clamp_; }
    int size() const { return n_; }

    // Looks x up. Not const: it remembers the interval it found, so that a
    // slowly moving argument needs no search at all.
    double operator()(double x);

    double secondDerivative(int i) const { return y2_[i]; }

private:
    double x_[kMaxPoints] = {};
    double y_[kMaxPoints] = {};
    double y2_[kMaxPoints] = {};
    int n_ = 0;
    int last_ = 0; // lower index of the interval found by the previous look-up
    bool clamp_ = false;
};

} // namespace stravik::dsp
