#include "effects/tone/VolumeSwell.h"

#include "dsp/IirFilter.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace stravik::effects {
namespace {

// The swell curve: silent up to g = 0.15, then a slow start that steepens,
// like the travel of a volume pedal.
constexpr int kCurvePoints = 6;
constexpr double kCurveX[kCurvePoints] = {0.0, 0.15, 0.516129, 0.594982, 0.670251, 1.0};
constexpr double kCurveY[kCurvePoints] = {0.0, 0.0, 0.017857, 0.047619, 0.152778, 1.0};
constexpr double kCurveSlope[kCurvePoints] = {0.0, 0.0, 0.09, 0.8, 2.4605, 2.704074};

} // namespace

VolumeSwell::VolumeSwell(SwellParams& params, EffectContext& context)
    : params_(params), context_(context)
{
    curve_.fromHermite(kCurveX, kCurveY, kCurveSlope, kCurvePoints);
    start(48000);
}

void VolumeSwell::clearState()
{
    highPass_.x1 = highPass_.x2 = highPass_.y1 = highPass_.y2 = 0.0;
    lowPass_.x1 = lowPass_.x2 = lowPass_.y1 = lowPass_.y2 = 0.0;
    rise_.x1 = rise_.y1 = 0.0;
    fall_.x1 = fall_.y1 = 0.0;
    lastRectified_ = 0.0;
    envelope_ = 0.0;
    gain_ = 0.0;
    denormal_.reset();
}

void VolumeSwell::start(int sampleRate)
{
    sampleRate_ = sampleRate > 0 ? sampleRate : 48000;
    // Each run starts muted, as the program did when it was first started.
    clearState();
    design();
}

void VolumeSwell::design()
{
    const int fs = sampleRate_;
    // Held to the slider's range: far beyond it the corners would pass half
    // the sample rate and the low-passes would turn unstable.
    const double attack = std::clamp(static_cast<double>(params_.swell_attack.get()), 0.0, 1.0);

    // The two gain low-passes: slower for a larger attack setting.
    dsp::IirFilter f;
    riseCorner_ = attack * attack * 10.0 + 0.3;
    f.designFirstOrderLowPass(riseCorner_, 1.0, fs);
    rise_.b0 = f.coefficient(dsp::IirFilter::kB0);
    rise_.b1 = f.coefficient(dsp::IirFilter::kB1);
    rise_.a1 = f.coefficient(dsp::IirFilter::kA1);
    fallCorner_ = attack * attack * 5.0 + 1.0;
    f.designFirstOrderLowPass(fallCorner_, 1.0, fs);
    fall_.b0 = f.coefficient(dsp::IirFilter::kB0);
    fall_.b1 = f.coefficient(dsp::IirFilter::kB1);
    fall_.a1 = f.coefficient(dsp::IirFilter::kA1);

    // Detector: an analog RC follower mapped bilinearly, a short time
    // constant for a rising input, a long one for a falling input.
    const double c = 2.0 * fs;
    {
        const double k = c * 0.003;
        const double a0 = (k + 1.0) * 5000.0 + 1000.0;
        riseB_ = 5000.0 / a0;
        riseA_ = ((1.0 - k) * 5000.0 + 1000.0) / a0;
    }
    {
        const double k = c * 30.0;
        const double a0 = (k + 1.0) * 5000.0 + 10000000.0;
        fallB_ = 5000.0 / a0;
        fallA_ = ((1.0 - k) * 5000.0 + 10000000.0) / a0;
    }

    f.designHighPass(50, 0.8, 1.0, fs);
    highPass_.b0 = f.coefficient(dsp::IirFilter::kB0);
    highPass_.b1 = f.coefficient(dsp::IirFilter::kB1);
    highPass_.b2 = f.coefficient(dsp::IirFilter::kB2);
    highPass_.a1 = f.coefficient(dsp::IirFilter::kA1);
    highPass_.a2 = f.coefficient(dsp::IirFilter::kA2);
    f.designLowPass(50, 0.8, 1.0, fs);
    lowPass_.b0 = f.coefficient(dsp::IirFilter::kB0);
    lowPass_.b1 = f.coefficient(dsp::IirFilter::kB1);
    lowPass_.b2 = f.coefficient(dsp::IirFilter::kB2);
    lowPass_.a1 = f.coefficient(dsp::IirFilter::kA1);
    lowPass_.a2 = f.coefficient(dsp::IirFilter::kA2);
}

void VolumeSwell::process(double* buf, int n)
{
    if (n <= 0) return;

    // "Auto": the peak of this block (muted strings) plus 10 dB becomes the
    // sense, never below the floor.
    if (autoRequest_.load(std::memory_order_acquire)) {
        double m = 0.0;
        for (int i = 0; i < n; ++i) m = std::max(m, std::fabs(buf[i]));
        // 20 log10(0) is minus infinity, which the floor takes care of.
        const double sense = std::max(std::trunc(20.0 * std::log10(m) + 10.0), static_cast<double>(kAutoFloorDb));
        params_.swell_sense = static_cast<float>(sense);
        autoRequest_.store(false, std::memory_order_release);
    }

    const double s = 1.0 / std::pow(10.0, params_.swell_sense.get() / 20.0);
    // The settings may have moved since the last block.
    design();

    // The detector and the gain run sample after sample; the curve of each
    // sample's gain follows over the piece at once.
    constexpr int kPiece = 256;
    double gains[kPiece];
    for (int start = 0; start < n; start += kPiece) {
        const int count = std::min(kPiece, n - start);
        double* x = buf + start;
        for (int i = 0; i < count; ++i) {
            const double h = highPass_.run(x[i]) * s;
            const double r = std::min(std::fabs(h), 1.0);
            if (r > envelope_)
                envelope_ = riseB_ * r + riseB_ * lastRectified_ - riseA_ * envelope_;
            else
                envelope_ = fallB_ * r + fallB_ * lastRectified_ - fallA_ * envelope_;
            lastRectified_ = r;
            const double u = lowPass_.run(1.2 * envelope_);
            if (u <= gain_) {
                gain_ = fall_.run(0.0);
                // The rise low-pass continues from here when the level climbs.
                rise_.x1 = rise_.y1 = gain_;
            } else {
                gain_ = rise_.run(u);
                fall_.x1 = fall_.y1 = gain_;
            }
            gains[i] = gain_;
        }
        curve_.evaluate(gains, gains, count);
        for (int i = 0; i < count; ++i) x[i] = gains[i] * x[i];
    }
    denormal_.process(buf, n);
}

bool VolumeSwell::requestAuto(std::chrono::milliseconds maxWait)
{
    postAutoRequest();
    const auto deadline = std::chrono::steady_clock::now() + maxWait;
    for (;;) {
        if (!autoRequest_.load(std::memory_order_acquire)) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) break;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kAutoPoll, deadline - now));
    }
    // Not served in time (processing stopped, or the swell is not in the
    // chain): withdraw the request. If the audio thread served it meanwhile,
    // the flag is already clear and the exchange says so.
    bool expected = true;
    return !autoRequest_.compare_exchange_strong(expected, false, std::memory_order_acq_rel);
}

} // namespace stravik::effects
