#include "effects/modulation/WahEnvelope.h"

#include <algorithm>
#include <cmath>

namespace stravik::effects {

int WahEnvelopeFollower::ringLengthFor(int sampleRate)
{
    const double blocks = 16.0 * sampleRate / 22050.0;
    if (!(blocks >= 1.0)) return 1;
    if (blocks >= kMaxRing) return kMaxRing;
    return static_cast<int>(blocks);
}

void WahEnvelopeFollower::reset(int sampleRate)
{
    length_ = ringLengthFor(sampleRate);
    for (float& v : ring_) v = 0.0f;
    pos_ = 0;
    envelope_ = 0.0;
}

void WahEnvelopeFollower::follow(const double* buf, int n)
{
    if (n <= 0) return;
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += buf[i] * buf[i];
    ring_[pos_] = static_cast<float>(std::sqrt(sum / n));

    double total = 0.0;
    int count = 0;
    for (int i = 0; i < length_; ++i) {
        if (ring_[i] > kSilence) {
            total += ring_[i];
            ++count;
        }
    }
    const double mean = count > 0 ? total / count : 0.0;
    envelope_ = mean > 0.0 ? mean : 0.0;
    pos_ = (pos_ + 1) % length_;
}

double wahEnvelopeVolume(double envelope, bool logVolume)
{
    double e = 20.0 * envelope;
    if (logVolume) {
        e = std::max(e, 1e-5);
        e = std::log10(2.0 * e) / 2.0 + 0.8;
        if (e < 0.0) e = 0.0;
    } else {
        e = 10.0 * e;
    }
    return e;
}

namespace {

double line(double e, double l0, double f0, double l1, double f1)
{
    if (l0 == l1) return f0;
    return f0 + (f1 - f0) * (e - l0) / (l1 - l0);
}

} // namespace

int wahEnvelopeFrequency(double e, const WahEnvelopeShape& s)
{
    double f;
    if (e <= s.levelEnd)
        f = s.freqEnd;
    else if (e >= s.levelStart)
        f = s.freqStart;
    else if (e >= s.levelMid)
        f = line(e, s.levelMid, s.freqMid, s.levelStart, s.freqStart);
    else
        f = line(e, s.levelEnd, s.freqEnd, s.levelMid, s.freqMid);
    // Keep the conversion defined whatever the sliders were set to.
    if (!(f > -1e6)) f = -1e6;
    if (f > 1e6) f = 1e6;
    return static_cast<int>(f);
}

double WahPeakHold::apply(double e, int peakMode, double startLevel)
{
    const bool noteStart = e > 1.3 * previous_ && (peakMode != 0 || e > startLevel);
    if (noteStart) hold_ = startLevel;
    hold_ -= kFallPerBlock;
    previous_ = e;
    return hold_;
}

} // namespace stravik::effects
