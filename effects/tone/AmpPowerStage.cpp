#include "effects/tone/AmpPowerStage.h"

#include <algorithm>

namespace stravik::effects {
namespace {

// The sag curve: unity up to 0.7 T, then a slope of k = 0.3 from 1.5 T on
// (T = 0.9), joined smoothly.
constexpr double kSagX[] = {0.0, 0.63, 1.35, 100.0};
constexpr double kSagY[] = {0.0, 0.63, 1.035, 30.63};
constexpr double kSagSlope[] = {1.0, 1.0, 0.3, 0.3};

constexpr double kBiasX[] = {0.0, 2.0, 5.0, 10.0};
constexpr double kBiasY[] = {0.07, 0.13, 0.7, 0.9};

constexpr double kTubeX[] = {-25.014327, -9.387113, -2.216812, -0.776075, -0.197478, -0.068116, 0.0,
                             0.128738,   0.41895,   0.5586,    0.719698,  0.873504,  1.104893,  1.475713,
                             2.119356,   3.081469,  4.76059,   7.012824,  11.343292, 16.834324, 27.987986};
constexpr double kTubeY[] = {-0.203162, -0.164977, -0.127057, -0.103805, -0.072969, -0.042414, 0.0,
                             0.116912,  0.415138,  0.532533,  0.633171,  0.688208,  0.725907,  0.752005,
                             0.772963,  0.794001,  0.818423,  0.839136,  0.86434,   0.88813,   0.923417};

} // namespace

AmpPowerStage::AmpPowerStage()
{
    // Outside their tables the curves hold their end values.
    biasSpline_.setClamp(true);
    tubeSpline_.setClamp(true);
    setup(192000);
}

namespace {

void copyDesign(OnePole& pole, const dsp::IirFilter& design)
{
    pole.b0 = design.coefficient(dsp::IirFilter::kB0);
    pole.b1 = design.coefficient(dsp::IirFilter::kB1);
    pole.a1 = design.coefficient(dsp::IirFilter::kA1);
}

} // namespace

void AmpPowerStage::setup(int oversampledRate)
{
    // Input gain 1 (OnePole leaves it out).
    supplyDesign_.designFirstOrderLowPass(50.0, 1.0, oversampledRate);
    biasDesign_.designFirstOrderLowPass(10.0, 1.0, oversampledRate);
    copyDesign(supplyLowPass_, supplyDesign_);
    copyDesign(positiveLowPass_, biasDesign_);
    copyDesign(negativeLowPass_, biasDesign_);
    sag_.fromHermite(kSagX, kSagY, kSagSlope, 4);
    biasSpline_.build(kBiasX, kBiasY, 4, 0.0f, 0.0f);
    bias_.fromCubicSpline(biasSpline_, kBiasX, kBiasY, 4);
    tubeSpline_.build(kTubeX, kTubeY, 21, 0.0f, 0.0f);
    tube_.fromCubicSpline(tubeSpline_, kTubeX, kTubeY, 21);
}

void AmpPowerStage::reset()
{
    supplyLowPass_.reset();
    positiveLowPass_.reset();
    negativeLowPass_.reset();
    e_ = p_ = n_ = 0.0;
}

double AmpPowerStage::sagFactor(double e) const { return e < 0.2 ? 1.0 : sag_(e) / e; }

double AmpPowerStage::biasShift(double b) const { return bias_(b) / 2.0 + 0.035; }

void AmpPowerStage::process(double* buf, int n, double gain)
{
    // Three passes over pieces of the block, each with one short chain from
    // sample to sample (the supply envelope; the bias envelopes; none), so
    // the processor overlaps the curve look-ups of neighbouring samples
    // instead of waiting out the whole chain of one sample before the next.
    constexpr int kPiece = 256;
    double shifts[kPiece];
    double e = e_, pos = p_, neg = n_;
    int sagAt = sagCursor_, biasAt = biasCursor_, upAt = upCursor_, downAt = downCursor_;
    OnePole supply = supplyLowPass_, positive = positiveLowPass_, negative = negativeLowPass_;
    for (int start = 0; start < n; start += kPiece) {
        const int count = std::min(kPiece, n - start);
        double* x = buf + start;
        // Supply envelope and sag: u = s in.
        for (int i = 0; i < count; ++i) {
            const double in = gain * x[i];
            const double v = 1.5 * in;
            // The envelope follows a rise at once, otherwise it falls towards
            // 0.9 of itself.
            double t = v > 0.0 ? v : 0.0;
            if (t <= e) t = 0.9 * e;
            e = supply(t);
            x[i] = (e < 0.2 ? 1.0 : sag_.following(e, sagAt) / e) * in;
        }
        // Bias envelopes and the shift A they set.
        for (int i = 0; i < count; ++i) {
            const double u = x[i];
            double t = u;
            if (t <= pos) t = 0.9 * pos;
            pos = positive(t);
            t = -u;
            if (t <= neg) t = 0.9 * neg;
            neg = negative(t);
            shifts[i] = bias_.following((pos + neg) / 2.0, biasAt) / 2.0 + 0.035;
        }
        // The two halves of the pair.
        for (int i = 0; i < count; ++i) {
            const double u = x[i], a = shifts[i];
            x[i] = tube_.following(u - a, upAt) - tube_.following(-u - a, downAt);
        }
    }
    sagCursor_ = sagAt;
    biasCursor_ = biasAt;
    upCursor_ = upAt;
    downCursor_ = downAt;
    supplyLowPass_ = supply;
    positiveLowPass_ = positive;
    negativeLowPass_ = negative;
    e_ = e;
    p_ = pos;
    n_ = neg;
}

} // namespace stravik::effects
