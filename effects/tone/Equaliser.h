#pragma once
// Settings of one equaliser (input, output or amp): its type and the values of
// every type, so that switching types keeps each type's own settings.
#include "dsp/Param.h"

namespace stravik::effects {

enum EqualiserType : int {
    kEqHiFi = 0,     // "HI-FI"
    kEqAmpUk = 1,    // "Amp-UK"
    kEqAmpUs = 2,    // "Amp-US"
    kEqFiveBand = 3, // "5Band"
    kEqGraphic = 4,  // "Graphic"
};

struct EqualiserSettings {
    static constexpr int kBands = 5;
    static constexpr int kMaxPoints = 100;

    Param<int> eqtype{kEqHiFi};
    // Tone values 0..1 around a flat 0.5 (gain (v - 0.5) * 40 dB).
    Param<float> bass{0.5f};
    Param<float> mid{0.5f};
    Param<float> treble{0.5f};
    Param<float> bands[kBands] = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
    // Graphic curve: frequency in Hz, gain in dB.
    Param<int> pointCount{2};
    Param<float> pointX[kMaxPoints] = {100.0f, 20000.0f};
    Param<float> pointY[kMaxPoints] = {0.0f, 0.0f};
};

} // namespace stravik::effects
