#include "effects/modulation/Phaser.h"

#include "dsp/BlockMath.h"
#include "dsp/MathConstants.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

namespace stravik::effects {

namespace {

// v held to [lo, hi]; a value that is not a number becomes lo.
float held(float v, float lo, float hi)
{
    if (!(v >= lo)) return lo;
    return v > hi ? hi : v;
}

} // namespace

int Phaser::stageSpacing(int stages)
{
    switch (stages / 2) {
    case 1: return 3000;
    case 2: return 1000;
    case 3: return 700;
    case 4: return 500;
    case 5: return 400;
    default: return 0; // a single stage
    }
}

Phaser::Phaser(PhaserParams& params, EffectContext& context) : params_(params), context_(context)
{
    live_ = staged_ = derive(48000);
}

void Phaser::start(int sampleRate)
{
    assert(sampleRate > 0);
    // Before the run's first block: the sweeps go straight in.
    std::lock_guard hold(handoff_);
    live_ = staged_ = derive(sampleRate);
    stagedPending_ = false;
    pending_.store(false, std::memory_order_relaxed);
}

void Phaser::prepare(int analog)
{
    std::lock_guard hold(handoff_);
    params_.phaser_analog = analog;
    staged_ = derive(staged_.rate);
    stagedPending_ = true;
    pending_.store(true, std::memory_order_release);
}

// Both forms' sweeps are derived at once, so a form switched without a
// prepare of its own never runs on values of another rate or preset.
Phaser::Sweeps Phaser::derive(int fs) const
{
    Sweeps out;
    out.rate = fs;
    PlainSweep& plain = out.plain;
    AnalogSweep& analog = out.analog;
    double& period = out.period;
    const double centre = held(params_.phaser_delay, kMinCentre, kMaxCentre);
    const double depth = held(params_.phaser_depth, kMinDepth, kMaxDepth);
    period = held(params_.phaser_period, kMinPeriod, kMaxPeriod);
    const double omega = dsp::kTwoPi / period;

    // Plain form: the delay sweeps around the period of the centre frequency.
    const double tc = 1.0 / centre;
    const double a = depth * tc / 100.0;
    float dMax = static_cast<float>(tc + a);
    if (dMax > kMaxDelaySeconds) dMax = kMaxDelaySeconds;
    float dMin = static_cast<float>(tc - a);
    if (dMin < 0.0f) dMin = 0.0f;
    plain.dMin = dMin;
    plain.dMax = dMax;
    plain.centre = static_cast<int>((dMin + dMax) / 2.0f * fs + 1.0);
    plain.amplitude = (dMax - dMin) * 0.5f;
    plain.omega = omega;
    plain.sectionGain = params_.phaser_wet;

    // Analog form: the all-passes sweep around the centre frequency.
    const double fa = depth * centre / 100.0;
    double fMax = centre + fa;
    if (fMax > fs / 2) fMax = fs / 2;
    double fMin = centre - fa;
    if (fMin < 0.0) fMin = 0.0;
    analog.fMin = fMin;
    analog.fMax = fMax;
    analog.mid = (fMin + fMax) / 2.0;
    analog.amplitude = (fMax - fMin) * 0.5;
    analog.omega = omega;
    return out;
}

void Phaser::reset()
{
    if (!used_) return;
    used_ = false;
    // Both forms start clean the next time the phaser is switched on, so no
    // old sound of either form comes back after a change of form.
    std::memset(line1_, 0, sizeof(line1_));
    std::memset(line2_, 0, sizeof(line2_));
    highPass_.reset();
    lowPass_.reset();
    for (auto& f : allPass_) f.reset();
    lastOut_ = 0.0;
}

void Phaser::process(double* buf, int n)
{
    // Sweeps prepared since the last block, unless their builder holds the
    // hand-over at this very moment (then at the next block).
    if (pending_.load(std::memory_order_acquire)) {
        std::unique_lock hold(handoff_, std::try_to_lock);
        if (hold.owns_lock() && stagedPending_) {
            live_ = staged_;
            stagedPending_ = false;
            pending_.store(false, std::memory_order_relaxed);
        }
    }
    used_ = true;
    const bool analog = params_.phaser_analog != 0;
    for (int done = 0; done < n; done += kMaxBlock) {
        const int m = std::min(kMaxBlock, n - done);
        if (analog)
            processAnalog(buf + done, m);
        else
            processPlain(buf + done, m);
    }
}

float Phaser::plainDelayAt(double sine) const
{
    float d = static_cast<float>(sine) * static_cast<float>(live_.rate) * live_.plain.amplitude
              + static_cast<float>(live_.plain.centre);
    // Never outside the line, whatever rate the run has.
    if (!(d >= 0.0f)) d = 0.0f;
    if (d > kLineLength - 2) d = kLineLength - 2;
    return d;
}

void Phaser::processPlain(double* buf, int n)
{
    const double fb = held(params_.phaser_fb, kMinFeedback, kMaxFeedback);
    const double gw = live_.plain.sectionGain;
    const double step = 1.0 / live_.rate;
    // The sweep for the whole piece first (it does not depend on the lines),
    // the sines four at a time.
    double t = t_;
    for (int i = 0; i < n; ++i) {
        work_[i] = live_.plain.omega * t;
        t += step;
        if (t > live_.period) t -= live_.period;
    }
    t_ = t;
    dsp::sinBlock(work_, work_, n);
    int w = write_;
    for (int i = 0; i < n; ++i) {
        const double x = buf[i];
        const float d = plainDelayAt(work_[i]);
        const int whole = static_cast<int>(d);
        const double frac = d - whole;
        int p = w - whole;
        if (p < 0) p += kLineLength;
        int q = p - 1;
        if (q < 0) q += kLineLength;
        const double u = line1_[p] + (line1_[q] - line1_[p]) * frac;
        const double y1 = gw * u + x;
        line1_[w] = x - fb * u;
        const double v = line2_[p] + (line2_[q] - line2_[p]) * frac;
        buf[i] = x - gw * v;
        line2_[w] = y1 - fb * v;
        if (++w == kLineLength) w = 0;
    }
    write_ = w;
}

namespace {

// One second-order section of the analog chain with its state, in the form
// the per-sample loop keeps them.
struct Section {
    double b0, b1, b2, a1, a2;
    double x1, x2, y1, y2;
};

// The analog form's sections in series with the stage's feedback around
// them. Everything here waits on the sample before (the feedback), so what
// each section adds from its own history is worked out ahead, and a sample
// passes a section with one multiply-add: b0 x + (b1 x1 + b2 x2 - a1 y1 -
// a2 y2). The same recursion as the filters' own, summed in another order.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("avx2", "default")))
#endif
void runSections(Section* s, int count, const double* in, double* out, int n, double fb, double& last)
{
    double rest[Phaser::kMaxStages + 2];
    for (int k = 0; k < count; ++k) rest[k] = s[k].b1 * s[k].x1 + s[k].b2 * s[k].x2 - s[k].a1 * s[k].y1 - s[k].a2 * s[k].y2;
    double previous = last;
    for (int i = 0; i < n; ++i) {
        double y = in[i] + fb * previous;
        for (int k = 0; k < count; ++k) {
            Section& c = s[k];
            const double x = y;
            y = c.b0 * x + rest[k];
            c.x2 = c.x1;
            c.x1 = x;
            c.y2 = c.y1;
            c.y1 = y;
            rest[k] = c.b1 * x + c.b2 * c.x2 - c.a1 * y - c.a2 * c.y2;
        }
        out[i] = y;
        previous = y;
    }
    last = previous;
}

Section sectionOf(const dsp::IirFilter& f)
{
    using F = dsp::IirFilter;
    const F::State2 st = f.state2();
    return {f.coefficient(F::kB0), f.coefficient(F::kB1), f.coefficient(F::kB2), f.coefficient(F::kA1),
            f.coefficient(F::kA2), st.x1, st.x2, st.y1, st.y2};
}

} // namespace

void Phaser::processAnalog(double* buf, int n)
{
    const int fs = live_.rate;
    const double fc = std::sin(live_.analog.omega * t_) * live_.analog.amplitude + live_.analog.mid;
    const int stages = std::clamp(static_cast<int>(params_.phaser_filt_stages), 0, kMaxStages);
    const int spacing = stageSpacing(stages);
    block_.centre = fc;
    block_.highPass = static_cast<int>(0.25 * fc + 50);
    block_.stages = stages;
    highPass_.designHighPass(block_.highPass, 1.0, 1.0, fs);
    lowPass_.designLowPass(8000, 1.0, 1.0, fs);
    for (int s = 0; s < stages; ++s) {
        block_.allPass[s] = static_cast<int>(s * spacing + fc / 2 + 50);
        allPass_[s].designAllPass(block_.allPass[s], 1.0, fs);
    }
    t_ += static_cast<double>(n) / fs;
    if (t_ > live_.period) t_ -= live_.period;
    const double fb = held(params_.phaser_fb, kMinFeedback, kMaxFeedback);
    const double wet = params_.phaser_wet;
    // The sections in chain order. Their input gains are 1 and they have no
    // dry part, which the loop leaves out.
    dsp::IirFilter* chain[kMaxStages + 2] = {&highPass_, &lowPass_};
    for (int s = 0; s < stages; ++s) chain[2 + s] = &allPass_[s];
    const int count = 2 + stages;
    bool plainGains = true;
    for (int k = 0; k < count; ++k)
        plainGains = plainGains && chain[k]->inputGain() == 1.0 && chain[k]->dryGain() == 0.0 && chain[k]->order() == 2;
    if (plainGains) {
        Section sections[kMaxStages + 2];
        for (int k = 0; k < count; ++k) sections[k] = sectionOf(*chain[k]);
        runSections(sections, count, buf, work_, n, fb, lastOut_);
        for (int k = 0; k < count; ++k)
            chain[k]->setState2({sections[k].x1, sections[k].x2, sections[k].y1, sections[k].y2});
    } else {
        double last = lastOut_;
        for (int i = 0; i < n; ++i) {
            double y = buf[i] + fb * last;
            for (int k = 0; k < count; ++k) y = chain[k]->processSample(y);
            work_[i] = y;
            last = y;
        }
        lastOut_ = last;
    }
    for (int i = 0; i < n; ++i) buf[i] = buf[i] + wet * work_[i];
}

Phaser::PlainSweep Phaser::plainSweep() const
{
    std::lock_guard hold(handoff_);
    return staged_.plain;
}

Phaser::AnalogSweep Phaser::analogSweep() const
{
    std::lock_guard hold(handoff_);
    return staged_.analog;
}

Phaser::AnalogBlock Phaser::lastAnalogBlock() const { return block_; }

double Phaser::lfoTime() const { return t_; }

dsp::IirFilter Phaser::allPassStage(int s) const { return allPass_[std::clamp(s, 0, kMaxStages - 1)]; }

} // namespace stravik::effects
