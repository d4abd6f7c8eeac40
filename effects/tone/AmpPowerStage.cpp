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

namespace {

// The three envelopes, each a first-order low-pass that follows a rise at
// once and otherwise falls towards 0.9 of itself, step by step. These
// recursions are what the stage waits on from sample to sample; the curve
// look-ups that hang off them go as block evaluations (four samples at a time
// where the processor allows). The arithmetic stays the low-pass's own to the
// bit: with a steady input an envelope settles in a tiny cycle around its
// level, set by the comparison against its last value, and any other
// rounding would settle it elsewhere.
struct SupplyEnvelope {
    OnePole& lp;
    double& e;
    double gain, t1, y;
    SupplyEnvelope(OnePole& lowPass, double& envelope, double g)
        : lp(lowPass), e(envelope), gain(g), t1(lowPass.x1), y(envelope)
    {
    }
    // The scaled input goes to in, the envelope to env.
    void step(double x, double& in, double& env)
    {
        const double v = gain * x;
        in = v;
        const double rise = 1.5 * v > 0.0 ? 1.5 * v : 0.0;
        const double t = rise <= y ? 0.9 * y : rise;
        y = lp.b0 * t + lp.b1 * t1 - lp.a1 * y;
        t1 = t;
        env = y;
    }
    void finish()
    {
        lp.x1 = t1;
        lp.y1 = y;
        e = y;
    }
};

struct BiasEnvelopes {
    OnePole& plp;
    OnePole& nlp;
    double& pos;
    double& neg;
    double p, q, pt1, nt1;
    BiasEnvelopes(OnePole& positive, OnePole& negative, double& posEnvelope, double& negEnvelope)
        : plp(positive), nlp(negative), pos(posEnvelope), neg(negEnvelope), p(posEnvelope), q(negEnvelope),
          pt1(positive.x1), nt1(negative.x1)
    {
    }
    // The mean of the two envelopes of u goes to level.
    void step(double u, double& level)
    {
        const double tp = u <= p ? 0.9 * p : u;
        p = plp.b0 * tp + plp.b1 * pt1 - plp.a1 * p;
        pt1 = tp;
        const double tn = -u <= q ? 0.9 * q : -u;
        q = nlp.b0 * tn + nlp.b1 * nt1 - nlp.a1 * q;
        nt1 = tn;
        level = (p + q) / 2.0;
    }
    void finish()
    {
        plp.x1 = pt1;
        plp.y1 = p;
        nlp.x1 = nt1;
        nlp.y1 = q;
        pos = p;
        neg = q;
    }
};

} // namespace

void AmpPowerStage::process(double* buf, int n, double gain)
{
    // The bias envelopes take the signal after the sag, which hangs off the
    // supply envelope; so the supply envelope of one run of samples goes side
    // by side with the bias envelopes of the run before, and the processor
    // works on both recursions at once.
    constexpr int kPiece = 256, kRun = 32;
    double in[kPiece], env[kPiece], level[kPiece];
    SupplyEnvelope supply(supplyLowPass_, e_, gain);
    BiasEnvelopes bias(positiveLowPass_, negativeLowPass_, p_, n_);
    for (int start = 0; start < n; start += kPiece) {
        const int count = std::min(kPiece, n - start);
        double* x = buf + start;
        // Sag over a run whose supply envelope is done: u = s in (the sag
        // curve's values go into level, free there until the bias envelopes
        // fill it).
        const auto sag = [&](int from, int to) {
            sag_.evaluate(env + from, level + from, to - from);
            for (int i = from; i < to; ++i) {
                const double e = env[i];
                x[i] = (e < 0.2 ? 1.0 : level[i] / e) * in[i];
            }
        };
        int first = std::min(kRun, count); // samples whose supply envelope is done
        for (int i = 0; i < first; ++i) supply.step(x[i], in[i], env[i]);
        sag(0, first);
        int done = 0; // samples whose bias envelopes are done
        while (first < count) {
            const int next = std::min(first + kRun, count);
            const int length = next - first; // never more than the run before
            for (int i = 0; i < length; ++i) {
                supply.step(x[first + i], in[first + i], env[first + i]);
                bias.step(x[done + i], level[done + i]);
            }
            for (int i = done + length; i < first; ++i) bias.step(x[i], level[i]);
            done = first;
            sag(first, next);
            first = next;
        }
        for (int i = done; i < count; ++i) bias.step(x[i], level[i]);
        bias_.evaluate(level, level, count);
        // The two halves of the pair: the tube curve at u - A (in) and at
        // -u - A (env).
        for (int i = 0; i < count; ++i) {
            const double u = x[i], a = level[i] / 2.0 + 0.035;
            in[i] = u - a;
            env[i] = -u - a;
        }
        tube_.evaluate(in, in, count);
        tube_.evaluate(env, env, count);
        for (int i = 0; i < count; ++i) x[i] = in[i] - env[i];
    }
    supply.finish();
    bias.finish();
}

} // namespace stravik::effects
