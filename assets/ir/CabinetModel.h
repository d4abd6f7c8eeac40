#pragma once
// A model of a guitar speaker cabinet recorded with a microphone, used at
// build time to make the impulse-response library.
//
// The response is built as a spectrum on a fine frequency grid and turned
// into a minimum-phase impulse response (all of its energy as early as its
// magnitude allows, as a loudspeaker's own response is):
//   - the driver: its low resonance in the cabinet (closed back: a
//     second-order high-pass with a resonance bump; open back: a weaker
//     bump plus the back wave that cancels the bass and ripples the mids),
//     its upper roll-off (set by the cone's size: a 10" cone reaches higher
//     than a 15" one) and the peaks and dips of cone break-up;
//   - several drivers: each one's sound reaches the microphone over its own
//     path, later and from an angle at which it beams less, and the sum
//     combs;
//   - the microphone: its kind (dynamic with a presence peak, flat
//     condenser, dark ribbon), its position on the cone (the cap centre is
//     bright, the cone edge dark), its angle (off axis loses treble) and its
//     distance (the proximity effect lifts the bass of close directional
//     microphones);
//   - the room: the floor bounce and early wall reflections, and for distant
//     microphones a diffuse tail that decays with the room's reverberation
//     time, each reflection duller than the direct sound.
// Everything comes from fixed numbers and a seed, so every build makes the
// same library.
#include <cstdint>
#include <string>
#include <vector>

namespace stravik::assets {

enum class MicKind { Dynamic, Condenser, Ribbon };

struct CabinetDesign {
    int code = 0;
    std::string name;
    int sampleRate = 48000;
    int length = 4000; // samples

    int speakers = 1;           // 1, 2 or 4
    double coneInches = 12.0;   // 10, 12 or 15
    bool openBack = false;
    double resonanceHz = 90.0;  // low resonance of the driver in the cabinet
    double resonanceQ = 1.2;
    double breakupHz = 2500.0;  // centre of the cone break-up region
    int breakupPeaks = 4;
    double breakupDepthDb = 5.0;

    MicKind mic = MicKind::Dynamic;
    double micPosition = 0.5;   // 0 cap centre, 0.5 cap edge, 1 cone edge
    double micDistance = 0.02;  // m from the grille
    double micAngleDeg = 0.0;   // off axis
    bool rearMic = false;       // behind an open back

    double roomSize = 0.0;      // 0 no room; otherwise the room's mean dimension in m
    double roomDecay = 0.0;     // reverberation time, s
    uint32_t seed = 1;
};

// A unit impulse of design.length samples when speakers is 0 (the entry without
// a cabinet); otherwise the modelled response, normalised so that its average
// magnitude between 100 Hz and 5 kHz is 1.
std::vector<double> renderCabinet(const CabinetDesign& design);

} // namespace stravik::assets
