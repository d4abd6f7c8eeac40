#include "engine/StartBeep.h"

#include "dsp/MathConstants.h"

#include <algorithm>
#include <cmath>

namespace stravik {

void StartBeep::render(int16_t* out, int frames, int channels, int sampleRate)
{
    for (int i = 0; i < frames; ++i) {
        double v = std::trunc(std::sin(k_ * 2500.0 * dsp::kPi / sampleRate) * 5000.0);
        v = std::clamp(v, -1500.0, 1500.0);
        for (int c = 0; c < channels; ++c) out[i * channels + c] = static_cast<int16_t>(v);
        k_ += 1.0;
    }
    if (k_ > 0.05 * sampleRate) {
        if (frames > 0)
            for (int c = 0; c < channels; ++c) out[(frames - 1) * channels + c] = 0;
        active_.store(false);
    }
}

} // namespace stravik
