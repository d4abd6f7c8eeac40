#include "assets/ir/CabinetModel.h"

#include "dsp/Fft.h"
#include "effects/tone/ImpulseResponseLevel.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <stdexcept>

namespace stravik::assets {
namespace {

using cd = std::complex<double>;

constexpr double kPi = 3.141592653589793;
constexpr double kSpeedOfSound = 343.0; // m/s
constexpr int kGrid = 65536;            // FFT points of the design (1.4 s at 48 kHz)

// A small deterministic random source.
class Random {
public:
    explicit Random(uint32_t seed) : state_(0x9E3779B97F4A7C15ULL ^ seed) { next(); }
    double next() // 0..1
    {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state_ >> 11) / static_cast<double>(1ULL << 53);
    }
    double between(double lo, double hi) { return lo + (hi - lo) * next(); }

private:
    uint64_t state_;
};

// Analog prototypes at s = j f / f0.
cd highPass2(double f, double f0, double q)
{
    const cd s(0.0, f / f0);
    return s * s / (s * s + s / q + 1.0);
}
cd lowPass2(double f, double f0, double q)
{
    const cd s(0.0, f / f0);
    return 1.0 / (s * s + s / q + 1.0);
}
cd lowPass1(double f, double f0) { return 1.0 / cd(1.0, f / f0); }
cd peak(double f, double f0, double q, double db)
{
    const double a = std::pow(10.0, db / 40.0);
    const cd s(0.0, f / f0);
    return (s * s + s * (a / q) + 1.0) / (s * s + s / (a * q) + 1.0);
}
// Lifts everything below f0 towards db (the proximity effect).
cd bassLift(double f, double f0, double db)
{
    const double g = std::pow(10.0, db / 20.0);
    const cd s(0.0, f / f0);
    return (s + g) / (s + 1.0);
}

struct Reflection {
    double delay;    // s after the direct sound
    double gain;     // relative to the direct sound
    double dullness; // corner of its treble loss, Hz
};

struct BreakupPeak {
    double hz, q, db;
};

// The driver, the cabinet's back, the microphone: everything but the paths.
cd sourceAndMic(const CabinetDesign& c, double f, const std::vector<BreakupPeak>& breakup)
{
    // The upper roll-off of the cone, by its size; a microphone near the cap
    // hears more of the top than one near the cone's edge.
    const double coneTop = 48000.0 / c.coneInches * (1.15 - 0.35 * c.micPosition);
    cd h = c.openBack ? highPass2(f, c.resonanceHz * 1.1, c.resonanceQ * 0.8) : highPass2(f, c.resonanceHz, c.resonanceQ);
    h *= lowPass2(f, coneTop, 0.9) * lowPass2(f, 1.4 * coneTop, 0.6) * lowPass1(f, 2.0 * coneTop);
    for (const BreakupPeak& p : breakup) h *= peak(f, p.hz, p.q, p.db);
    if (c.openBack) {
        // The back wave comes round the cabinet a little later with the
        // opposite sign: the bass cancels, the mids ripple.
        const double tau = 0.0012;
        const cd back = 0.6 * lowPass1(f, 600.0) * std::exp(cd(0.0, -2.0 * kPi * f * tau));
        h *= c.rearMic ? (1.0 - 0.25 * std::exp(cd(0.0, -2.0 * kPi * f * tau))) * lowPass2(f, 2500.0, 0.7)
                       : (1.0 - back);
    }
    // Where on the cone the microphone points.
    h *= peak(f, 3500.0, 0.9, 4.0 * (1.0 - 2.0 * c.micPosition));
    // Off axis the microphone loses treble.
    if (c.micAngleDeg > 0.0) h *= lowPass1(f, 16000.0 / (1.0 + 3.0 * std::sin(c.micAngleDeg * kPi / 180.0)));
    switch (c.mic) {
    case MicKind::Dynamic:
        h *= highPass2(f, 70.0, 0.7) * peak(f, 4500.0, 1.4, 3.0) * lowPass2(f, 13000.0, 0.8);
        h *= bassLift(f, 200.0, 5.0 * std::exp(-c.micDistance / 0.06));
        break;
    case MicKind::Condenser:
        h *= highPass2(f, 30.0, 0.7) * peak(f, 11000.0, 1.0, 2.0) * lowPass2(f, 20000.0, 0.7);
        h *= bassLift(f, 200.0, 3.0 * std::exp(-c.micDistance / 0.06));
        break;
    case MicKind::Ribbon:
        h *= highPass2(f, 30.0, 0.7) * lowPass2(f, 9000.0, 0.6) * lowPass1(f, 14000.0);
        h *= bassLift(f, 200.0, 7.0 * std::exp(-c.micDistance / 0.08));
        break;
    }
    return h;
}

struct Driver {
    double delay;     // s, relative to the nearest driver
    double gain;      // relative to the nearest driver
    double beamingHz; // above this the driver's sound towards the microphone fades
};

// The drivers of the cabinet as the microphone hears them.
std::vector<Driver> drivers(const CabinetDesign& c)
{
    static const double grid[4][2] = {{0.0, 0.0}, {0.33, 0.0}, {0.0, 0.33}, {0.33, 0.33}};
    const int count = std::clamp(c.speakers, 1, 4);
    const double depth = c.micDistance + 0.03; // grille to cone
    // A close microphone sits on the first driver, a distant one in front of
    // the middle of the cabinet.
    double mx = 0.13 * c.micPosition, my = 0.0;
    if (c.micDistance >= 0.5) {
        mx = my = 0.0;
        for (int i = 0; i < count; ++i) {
            mx += grid[i][0] / count;
            my += grid[i][1] / count;
        }
    }
    const double radius = c.coneInches * 0.0254 / 2.0;
    std::vector<Driver> out;
    double nearest = 1e9;
    std::vector<double> paths;
    for (int i = 0; i < count; ++i) {
        const double dx = grid[i][0] - mx, dy = grid[i][1] - my;
        const double lateral = std::sqrt(dx * dx + dy * dy);
        const double path = std::sqrt(lateral * lateral + depth * depth);
        paths.push_back(path);
        nearest = std::min(nearest, path);
        // A piston beams above ka = 1; seen from an angle that starts sooner.
        // Where a close microphone sits on its own driver is the microphone
        // position's business (sourceAndMic), not beaming.
        const double sine = (i == 0 && c.micDistance < 0.5) ? 0.0 : lateral / path;
        const double beaming = 1.5 * kSpeedOfSound / (2.0 * kPi * radius) / std::max(sine, 0.05);
        out.push_back({path, 1.0 / path, beaming});
    }
    for (Driver& d : out) {
        d.delay = (d.delay - nearest) / kSpeedOfSound;
        d.gain *= nearest;
    }
    return out;
}

std::vector<Reflection> reflections(const CabinetDesign& c, Random& rnd, double lengthSeconds)
{
    std::vector<Reflection> out;
    const double direct = c.micDistance + 0.03;
    // The floor: speaker and microphone about 0.5 m above it.
    const double height = 0.5;
    const double floorPath = std::sqrt(direct * direct + 4.0 * height * height);
    out.push_back({(floorPath - direct) / kSpeedOfSound, 0.7 * direct / floorPath, 6000.0});
    if (c.roomSize <= 0.0) return out;
    // Walls and ceiling.
    for (int i = 0; i < 6; ++i) {
        const double path = std::max(floorPath, c.roomSize * rnd.between(0.6, 1.6));
        const double sign = rnd.next() < 0.5 ? -1.0 : 1.0;
        out.push_back({(path - direct) / kSpeedOfSound, sign * 0.6 * direct / path, 5000.0});
    }
    if (c.roomDecay <= 0.0) return out;
    // The diffuse tail: energy relative to the direct sound of (direct /
    // critical distance)^2, spread over many reflections that decay with
    // the reverberation time and grow duller as they go.
    const double critical = 0.6 + 0.1 * c.roomSize;
    const double start = 1.5 * c.roomSize / kSpeedOfSound;
    const double end = std::max(start + 0.01, 0.85 * lengthSeconds);
    const int count = 360;
    const double decayRate = 6.91 / c.roomDecay; // amplitude: 60 dB over the decay time
    const double spread = count * c.roomDecay / (13.8 * (end - start));
    const double base = (direct / critical) / std::sqrt(spread);
    for (int i = 0; i < count; ++i) {
        const double t = start + (end - start) * rnd.next();
        const double sign = rnd.next() < 0.5 ? -1.0 : 1.0;
        const double progress = (t - start) / (end - start);
        out.push_back({t, sign * base * std::exp(-decayRate * t), 6000.0 - 4500.0 * progress});
    }
    return out;
}

// The minimum-phase impulse response with the magnitude |spectrum| (bins 0 to
// N/2 of an N-point grid), by the real cepstrum.
std::vector<double> minimumPhase(const std::vector<double>& magnitude)
{
    const int n = kGrid;
    dsp::ComplexFft fft(n);
    std::complex<double>* d = fft.data();
    double peakMag = 0.0;
    for (double m : magnitude) peakMag = std::max(peakMag, m);
    const double floorMag = peakMag * 1e-6; // -120 dB: deep notches stay finite
    for (int k = 0; k <= n / 2; ++k) d[k] = std::log(std::max(magnitude[static_cast<size_t>(k)], floorMag));
    for (int k = n / 2 + 1; k < n; ++k) d[k] = d[n - k];
    fft.inverse();
    // Fold the cepstrum onto its causal half.
    for (int i = 0; i < n; ++i) {
        const double c = d[i].real() / n;
        d[i] = (i == 0 || i == n / 2) ? c : (i < n / 2 ? 2.0 * c : 0.0);
    }
    fft.forward();
    for (int k = 0; k < n; ++k) d[k] = std::exp(d[k]);
    fft.inverse();
    std::vector<double> h(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) h[static_cast<size_t>(i)] = d[i].real() / n;
    return h;
}

} // namespace

std::vector<double> renderCabinet(const CabinetDesign& design)
{
    if (design.length <= 0 || design.length > kGrid / 2) throw std::invalid_argument("bad response length");
    std::vector<double> out(static_cast<size_t>(design.length), 0.0);
    if (design.speakers == 0) {
        out[0] = 1.0;
        return out;
    }
    const double fs = design.sampleRate;
    Random rnd(design.seed);
    std::vector<BreakupPeak> breakup;
    for (int i = 0; i < design.breakupPeaks; ++i) {
        const double hz = design.breakupHz * std::pow(2.0, rnd.between(-1.2, 1.2));
        const double q = rnd.between(2.5, 7.0);
        const double db = design.breakupDepthDb * rnd.between(-0.8, 1.0);
        breakup.push_back({std::min(hz, 0.4 * fs), q, db});
    }
    const std::vector<Driver> drv = drivers(design);
    const std::vector<Reflection> refl = reflections(design, rnd, design.length / fs);

    const int bins = kGrid / 2 + 1;
    // Each driver and each reflection: a delayed copy, advanced bin by bin
    // with a rotating phasor.
    const auto addDelayed = [&](std::vector<cd>& sum, double delay, double gain, auto&& shape) {
        const cd step = std::exp(cd(0.0, -2.0 * kPi * fs * delay / kGrid));
        cd phasor(1.0, 0.0);
        for (int k = 0; k < bins; ++k) {
            const double f = k * fs / kGrid;
            sum[static_cast<size_t>(k)] += gain * shape(f) * phasor;
            phasor *= step;
            if ((k & 1023) == 1023) phasor /= std::abs(phasor); // keep it on the unit circle
        }
    };
    std::vector<cd> array(static_cast<size_t>(bins), cd(0.0, 0.0));
    for (const Driver& d : drv)
        addDelayed(array, d.delay, d.gain,
                   [&](double f) { return 1.0 / std::sqrt(1.0 + (f / d.beamingHz) * (f / d.beamingHz)); });
    std::vector<cd> echoes(static_cast<size_t>(bins), cd(1.0, 0.0)); // the direct sound, then the reflections
    for (const Reflection& r : refl)
        addDelayed(echoes, r.delay, r.gain, [&](double f) { return lowPass1(f, r.dullness); });

    std::vector<double> magnitude(static_cast<size_t>(bins));
    for (int k = 0; k < bins; ++k) {
        const double f = k * fs / kGrid;
        const size_t i = static_cast<size_t>(k);
        magnitude[i] = std::abs(sourceAndMic(design, f, breakup) * array[i] * echoes[i]);
    }
    const std::vector<double> h = minimumPhase(magnitude);

    // Cut to length with a gentle fade over the last fifth, so the end is no step.
    const int fade = std::max(1, design.length / 5);
    for (int i = 0; i < design.length; ++i) {
        double g = 1.0;
        const int fromEnd = design.length - 1 - i;
        if (fromEnd < fade) g = 0.5 - 0.5 * std::cos(kPi * fromEnd / fade);
        out[static_cast<size_t>(i)] = h[static_cast<size_t>(i)] * g;
    }
    dsp::RealFft levelFft(effects::kLevelFftSize);
    const double gain = effects::levelNormalisationGain(
        effects::averageMagnitude100To5k(out.data(), design.length, design.sampleRate, levelFft));
    for (double& v : out) {
        v *= gain;
        if (!std::isfinite(v)) throw std::runtime_error("response is not finite: " + design.name);
    }
    return out;
}

} // namespace stravik::assets
