#include "effects/modulation/WahTalkBox.h"

#include <algorithm>
#include <cstring>

namespace stravik::effects {

namespace {

// Formant paths over x = (f - 300) / 4000: the first formant opens and closes
// again (a closed back vowel, an open one, a closed front one) while the
// upper two climb steadily.
constexpr double kF1x[] = {0.0, 0.25, 0.375, 0.5, 0.625, 0.75, 1.0};
constexpr double kF1y[] = {168.0, 473.0, 671.0, 690.0, 690.0, 510.0, 168.0};
constexpr double kF23x[] = {0.0, 0.25, 0.5, 0.75, 1.0};
constexpr double kF2y[] = {839.0, 1076.0, 1468.0, 1860.0, 2213.0};
constexpr double kF3y[] = {2080.0, 2269.0, 2385.0, 2634.0, 3254.0};

// Far outside the table the natural end cubics can run to zero or below,
// where a band-pass design turns unstable; keep the formants audible.
constexpr int kLowestFormant = 20;

} // namespace

WahTalkBox::WahTalkBox()
{
    constexpr float natural = dsp::CubicSpline::kNatural;
    curves_[0].build(kF1x, kF1y, 7, natural, natural);
    curves_[1].build(kF23x, kF2y, 5, natural, natural);
    curves_[2].build(kF23x, kF3y, 5, natural, natural);
    for (auto& c : curves_) c.setClamp(false);
}

void WahTalkBox::design(int f, double resonance, double brightness, int sampleRate)
{
    const double x = (f - 300) / 4000.0;
    const double q1 = 2.0 * resonance + 1.0;
    const double q[kFormants] = {q1, 1.5 * q1, 1.5 * q1};
    const double level = (resonance / 2.0 + 1.0) * 3.0;
    const double gains[kFormants] = {0.8 * level, 0.4 * level, 0.24 * level};
    for (int k = 0; k < kFormants; ++k) {
        const double hz = curves_[k](x);
        // The band-pass design holds the top end itself.
        formantHz_[k] = hz > kLowestFormant ? static_cast<int>(hz) : kLowestFormant;
        bandPass_[k].designBandPass(formantHz_[k], q[k], gains[k], sampleRate);
    }
    preFilter_.designHighShelf(2000, 1.0, 20.0 * brightness, 1.0, sampleRate);
}

void WahTalkBox::process(double* buf, int n)
{
    for (int done = 0; done < n; done += kMaxBlock) processPiece(buf + done, std::min(kMaxBlock, n - done));
}

void WahTalkBox::processPiece(double* buf, int n)
{
    preFilter_.process(buf, n);
    for (int i = 0; i < n; ++i) acc_[i] = 0.0;
    // Each pass weighs what came before by another 0.75, so the formants end
    // up at 0.421875, 0.5625 and 0.75.
    for (int k = 0; k < kFormants; ++k) {
        std::memcpy(scratch_, buf, sizeof(double) * static_cast<size_t>(n));
        bandPass_[k].process(scratch_, n);
        for (int i = 0; i < n; ++i) acc_[i] = 0.75 * (scratch_[i] + acc_[i]);
    }
    std::memcpy(buf, acc_, sizeof(double) * static_cast<size_t>(n));
}

void WahTalkBox::reset()
{
    for (auto& b : bandPass_) b.reset();
    preFilter_.reset();
}

} // namespace stravik::effects
