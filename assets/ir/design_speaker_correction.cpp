// Designs the three 100-tap speaker correction filters and writes them as C++
// tables (one for 22050 Hz, one for 44100 Hz, one for every other rate,
// designed at 48000 Hz). Run at build time:
//
//     design_speaker_correction OUT.cpp
//
// Nothing is written, and the exit status is non-zero, when a filter misses
// its figures.
//
// What the filter does
// --------------------
// The speaker model outputs the cone's velocity through a differentiator, and
// a moving cone radiates less and less treble relative to its bass; the
// correction puts back the sparkle of a real speaker and trims the lowest
// bass. Its response:
//     100 Hz  -3 dB,  1 kHz  0 dB,  4 kHz  +7.3 dB,  8 kHz  +16.6 dB,  10 kHz  +18.3 dB,
// each met within kTolerance. Above 10 kHz the curve levels out and falls
// back a little towards the top of the band, so that the highest octave is
// not pushed harder than the ear hears it.
//
// Method
// ------
// A smooth target curve through control points in log frequency (an Akima
// curve, which does not overshoot) is sampled on an 8192-point grid, turned
// into a minimum-phase response by the real cepstrum (so most of the energy
// sits in the first taps and the filter adds almost no delay), cut to 100
// taps and faded over its last taps. A 100-tap filter cannot follow the
// curve exactly at low frequencies, so the design is repeated: the control
// points at the five figures are moved by the error measured on the cut
// filter until every figure is met.
#include "dsp/CurveSpline.h"
#include "dsp/Fft.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kTaps = 100;
constexpr int kGrid = 8192;
constexpr double kPi = 3.141592653589793;
constexpr double kTolerance = 0.2; // dB

struct Figure {
    double hz, db;
};
constexpr Figure kFigures[] = {{100.0, -3.0}, {1000.0, 0.0}, {4000.0, 7.3}, {8000.0, 16.6}, {10000.0, 18.3}};
constexpr int kFigureCount = 5;

// The response of taps at f, in dB.
double responseDb(const std::vector<double>& h, double f, double fs)
{
    std::complex<double> s(0.0, 0.0);
    for (size_t i = 0; i < h.size(); ++i) s += h[i] * std::polar(1.0, -2.0 * kPi * f * static_cast<double>(i) / fs);
    return 20.0 * std::log10(std::abs(s));
}

// One pass: the control points (figures moved by the corrections so far,
// plus the free points around them) -> 100 minimum-phase taps.
std::vector<double> designOnce(double fs, const double* figureDb)
{
    const double nyquist = fs / 2.0;
    std::vector<double> x, y;
    const auto point = [&](double hz, double db) {
        if (hz < nyquist) {
            x.push_back(std::log10(hz));
            y.push_back(db);
        }
    };
    point(10.0, figureDb[0] - 4.0);
    point(30.0, figureDb[0] - 2.5);
    for (int i = 0; i < kFigureCount; ++i) point(kFigures[i].hz, figureDb[i]);
    point(12500.0, figureDb[4] + 0.4);
    point(20000.0, figureDb[4] - 4.0);
    x.push_back(std::log10(nyquist));
    y.push_back(fs > 30000.0 ? figureDb[4] - 6.0 : y.back());

    stravik::dsp::CurveSpline curve;
    curve.buildAkima(x.data(), y.data(), static_cast<int>(x.size()));

    stravik::dsp::ComplexFft fft(kGrid);
    std::complex<double>* d = fft.data();
    for (int k = 0; k <= kGrid / 2; ++k) {
        const double f = std::max(k * fs / kGrid, 1.0);
        d[k] = curve(std::log10(f)) / 20.0 * std::log(10.0); // natural log of the magnitude
    }
    for (int k = kGrid / 2 + 1; k < kGrid; ++k) d[k] = d[kGrid - k];
    fft.inverse();
    for (int i = 0; i < kGrid; ++i) {
        const double c = d[i].real() / kGrid;
        d[i] = (i == 0 || i == kGrid / 2) ? c : (i < kGrid / 2 ? 2.0 * c : 0.0);
    }
    fft.forward();
    for (int k = 0; k < kGrid; ++k) d[k] = std::exp(d[k]);
    fft.inverse();

    std::vector<double> h(kTaps);
    const int fade = 40;
    for (int i = 0; i < kTaps; ++i) {
        double g = 1.0;
        const int fromEnd = kTaps - 1 - i;
        if (fromEnd < fade) g = 0.5 - 0.5 * std::cos(kPi * (fromEnd + 1) / (fade + 1));
        h[static_cast<size_t>(i)] = d[i].real() / kGrid * g;
    }
    return h;
}

struct Design {
    std::vector<double> taps;
    double measured[kFigureCount];
    double headEnergy; // share of the energy in the first 10 taps
    bool ok;
};

Design design(double fs)
{
    double control[kFigureCount];
    for (int i = 0; i < kFigureCount; ++i) control[i] = kFigures[i].db;
    Design out{};
    for (int pass = 0; pass < 60; ++pass) {
        out.taps = designOnce(fs, control);
        double worst = 0.0;
        for (int i = 0; i < kFigureCount; ++i) {
            out.measured[i] = responseDb(out.taps, kFigures[i].hz, fs);
            const double error = kFigures[i].db - out.measured[i];
            worst = std::max(worst, std::fabs(error));
            control[i] += 0.8 * error;
        }
        if (worst < kTolerance / 4) break;
    }
    // The control points moved after the last measurement: measure what is kept.
    out.ok = true;
    for (int i = 0; i < kFigureCount; ++i) {
        out.measured[i] = responseDb(out.taps, kFigures[i].hz, fs);
        if (std::fabs(out.measured[i] - kFigures[i].db) > kTolerance) out.ok = false;
    }
    double total = 0.0, head = 0.0;
    for (int i = 0; i < kTaps; ++i) {
        const double e = out.taps[static_cast<size_t>(i)] * out.taps[static_cast<size_t>(i)];
        total += e;
        if (i < 10) head += e;
    }
    out.headEnergy = total > 0.0 ? head / total : 0.0;
    if (out.headEnergy < 0.8) out.ok = false;
    for (double v : out.taps)
        if (!std::isfinite(v)) out.ok = false;
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: design_speaker_correction OUT.cpp\n", stderr);
        return 2;
    }
    struct Table {
        const char* name;
        double fs;
    };
    const Table tables[] = {{"kSpeakerCorrection22050", 22050.0},
                            {"kSpeakerCorrection44100", 44100.0},
                            {"kSpeakerCorrectionOther", 48000.0}};
    std::string source =
        "// Generated by design_speaker_correction: the speaker correction filters.\n"
        "namespace stravik::effects::generated {\n";
    bool ok = true;
    for (const Table& t : tables) {
        const Design d = design(t.fs);
        char line[256];
        std::snprintf(line, sizeof(line),
                      "// Designed at %.0f Hz: %.2f dB at 100 Hz, %.2f at 1 kHz, %.2f at 4 kHz, %.2f at 8 kHz, "
                      "%.2f at 10 kHz; %.0f%% of the energy in the first 10 taps.\n",
                      t.fs, d.measured[0], d.measured[1], d.measured[2], d.measured[3], d.measured[4],
                      100.0 * d.headEnergy);
        source += line;
        if (!d.ok) {
            std::fprintf(stderr, "design_speaker_correction: the %.0f Hz filter misses its figures\n%s", t.fs, line);
            ok = false;
        }
        source += "extern const double " + std::string(t.name) + "[" + std::to_string(kTaps) + "];\n";
        source += "const double " + std::string(t.name) + "[" + std::to_string(kTaps) + "] = {\n";
        for (int i = 0; i < kTaps; ++i) {
            std::snprintf(line, sizeof(line), "%s%.17g,%s", i % 4 == 0 ? "    " : " ", d.taps[static_cast<size_t>(i)],
                          i % 4 == 3 ? "\n" : "");
            source += line;
        }
        source += "};\n";
    }
    source += "} // namespace stravik::effects::generated\n";
    if (!ok) return 1;
    std::FILE* f = std::fopen(argv[1], "w");
    if (!f || std::fputs(source.c_str(), f) < 0 || std::fclose(f) != 0) {
        std::fprintf(stderr, "design_speaker_correction: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
