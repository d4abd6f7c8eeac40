#include "effects/modulation/Tremolo.h"

#include "dsp/BlockMath.h"

#include <algorithm>
#include <cmath>

namespace stravik::effects {

float Tremolo::period() const
{
    const float p = params_.trem_period.get();
    return p >= kMinPeriodSeconds ? p : kMinPeriodSeconds; // also when not a number
}

int Tremolo::squareLength() const
{
    // Truncated in single precision; held below a billion samples (over five
    // hours) so the count can never overflow, whatever a preset holds.
    float samples = static_cast<float>(rate_) * period();
    if (samples > 1.0e9f) samples = 1.0e9f;
    return static_cast<int>(samples);
}

void Tremolo::process(double* buf, int n)
{
    const double p = period();
    const double level = params_.trem_level.get();
    const double step = 1.0 / rate_;
    switch (params_.trem_lfo.get()) {
    case kSine: {
        // The phases first, then their sines a block at a time (the vector
        // routine holds its accuracy up to 1e5 radians, some minutes of play
        // at the shortest period; beyond that the library's sine takes over).
        double phase[kPiece];
        for (int at = 0; at < n; at += kPiece) {
            const int m = std::min(kPiece, n - at);
            double largest = 0.0;
            for (int i = 0; i < m; ++i) {
                phase[i] = time_ * 6.2831853 / p;
                largest = std::max(largest, std::fabs(phase[i]));
                time_ += step;
            }
            if (largest < 1e5)
                dsp::sinBlock(phase, phase, m);
            else
                for (int i = 0; i < m; ++i) phase[i] = std::sin(phase[i]);
            for (int i = 0; i < m; ++i) buf[at + i] *= phase[i] * level / 2.0 + (1.0 - level / 2.0);
        }
        break;
    }
    case kTriangle: {
        const double slope = level / p;
        for (int i = 0; i < n; ++i) {
            // Rises from 1 - level to 1 over the first half period, falls back
            // over the second.
            const double r = time_ < p / 2.0 ? slope * time_ : (p - time_) * slope;
            buf[i] *= 2.0 * r + (1.0 - level);
            time_ += step;
            if (time_ > p) time_ = 0.0;
        }
        break;
    }
    case kSquare: {
        const int length = squareLength();
        const int half = length / 2;
        for (int i = 0; i < n; ++i) {
            const int k = count_;
            if (k < kSquareEdge)
                buf[i] *= 1.0 - k * level / kSquareEdge; // falling edge
            else if (k < half)
                buf[i] *= 1.0 - level;
            else if (k < half + kSquareEdge)
                buf[i] *= 1.0 - (half - k + kSquareEdge) * level / kSquareEdge; // rising edge
            // else: the high phase leaves the sample as it is.
            // The count restarts on the sample after it has passed N, so a
            // cycle lasts N + 2 samples.
            count_ = k > length ? 0 : k + 1;
        }
        break;
    }
    default:
        // Not a shape the page offers: the signal passes unchanged.
        break;
    }
}

} // namespace stravik::effects
