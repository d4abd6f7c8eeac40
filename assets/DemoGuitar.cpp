#include "assets/DemoGuitar.h"

#include "assets/Noise.h"
#include "dsp/IirFilter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace stravik::assets {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int kOpenStrings[6] = {40, 45, 50, 55, 59, 64}; // E2 A2 D3 G3 B3 E4 (MIDI)

struct Note {
    double time;  // seconds
    int string;   // 0 = low E .. 5 = high E
    int fret;
    double velocity; // 0..1
};

double midiToHz(int midi) { return 440.0 * std::pow(2.0, (midi - 69) / 12.0); }

// One plucked note: a noise burst shaped by the pick (brightness, position)
// circulating in a tuned delay loop whose averaging filter takes the highs
// out first, as a real string loses them. Adds into out from start to end,
// fading out quickly when the next note on the string cuts it.
void pluck(std::vector<double>& out, int rate, int start, int end, double freq, double velocity, Noise& noise)
{
    const double period = rate / freq;
    // The averaging filter delays by half a sample; an all-pass makes up the
    // fraction so the string is in tune.
    const int length = std::max(2, static_cast<int>(period - 0.5));
    const double frac = period - 0.5 - length;
    const double apc = (1.0 - frac) / (1.0 + frac);
    // Lower strings ring longer: about 5 s at 82 Hz, 3 s at 330 Hz.
    const double t60 = 5.5 - 0.008 * freq;
    const double loss = std::pow(10.0, -3.0 / (freq * std::max(t60, 1.5)));

    std::vector<double> line(static_cast<size_t>(length));
    // Pick: softer picks are darker; the pick position (an eighth of the way
    // along the string) notches out some harmonics.
    const double bright = 0.35 + 0.5 * velocity;
    double lp = 0.0;
    std::vector<double> burst(static_cast<size_t>(length));
    for (double& b : burst) {
        lp += bright * (noise.next() - lp);
        b = lp;
    }
    const int pickOffset = std::max(1, length / 8);
    for (int i = 0; i < length; ++i)
        line[static_cast<size_t>(i)] = velocity * (burst[static_cast<size_t>(i)]
                                                   - (i >= pickOffset ? burst[static_cast<size_t>(i - pickOffset)] : 0.0));

    int idx = 0;
    double prev = 0.0, apIn = 0.0, apOut = 0.0;
    const int fade = rate / 100; // 10 ms release when the note is cut
    const int stop = std::min<int>(end + fade, static_cast<int>(out.size()));
    for (int n = start; n < stop; ++n) {
        const double s = line[static_cast<size_t>(idx)];
        const double avg = loss * 0.5 * (s + prev);
        prev = s;
        const double ap = apc * avg + apIn - apc * apOut;
        apIn = avg;
        apOut = ap;
        line[static_cast<size_t>(idx)] = ap;
        if (++idx == length) idx = 0;
        double gain = 1.0;
        if (n >= end) gain = 1.0 - static_cast<double>(n - end) / fade;
        out[static_cast<size_t>(n)] += s * gain;
    }
}

std::vector<Note> score()
{
    std::vector<Note> notes;
    const double beat = 60.0 / 110.0;
    const double eighth = beat / 2;
    // Four bars of a riff in E: low string groove with answers on the D and A strings.
    const int riff[16][2] = {{0, 0}, {0, 0}, {2, 2}, {0, 0}, {1, 2}, {0, 0}, {2, 0}, {1, 2},
                             {0, 0}, {0, 0}, {2, 2}, {0, 0}, {1, 0}, {1, 2}, {0, 3}, {0, 2}};
    for (int bar = 0; bar < 4; ++bar)
        for (int i = 0; i < 8; ++i) {
            const auto& r = riff[(bar % 2) * 8 + i];
            const double accent = (i % 2 == 0) ? 0.9 : 0.65;
            notes.push_back({(bar * 8 + i) * eighth, r[0], r[1] + (bar == 3 && i >= 6 ? 2 : 0), accent});
        }
    // Four bars of strummed chords: E, A, D, B7 (frets low E .. high E, -1 = not played).
    const int chords[4][6] = {{0, 2, 2, 1, 0, 0}, {-1, 0, 2, 2, 2, 0}, {-1, -1, 0, 2, 3, 2}, {-1, 2, 1, 2, 0, 2}};
    const double chordStart = 32 * eighth;
    // Down, down-up, up-down per bar (strokes on beats 1, 2, 2+, 3+, 4).
    const double strokes[5] = {0.0, 1.0, 1.5, 2.5, 3.0};
    for (int bar = 0; bar < 4; ++bar)
        for (int k = 0; k < 5; ++k) {
            const bool up = (k == 2 || k == 3);
            const double t0 = chordStart + (bar * 4 + strokes[k]) * beat;
            for (int s = 0; s < 6; ++s) {
                const int string = up ? 5 - s : s;
                const int fret = chords[bar][string];
                if (fret < 0 || (up && string < 2)) continue; // upstrokes catch the top strings
                notes.push_back({t0 + s * 0.012, string, fret, up ? 0.45 : (k == 0 ? 0.8 : 0.6)});
            }
        }
    // The last chord: E, slowly arpeggiated, left to ring.
    const double last = chordStart + 16 * beat;
    const int eMajor[6] = {0, 2, 2, 1, 0, 0};
    for (int s = 0; s < 6; ++s) notes.push_back({last + s * 0.06, s, eMajor[s], 0.85});
    return notes;
}

} // namespace

std::vector<int16_t> synthesizeDemoGuitar(int sampleRate)
{
    const std::vector<Note> notes = score();
    double endTime = 0.0;
    for (const Note& n : notes) endTime = std::max(endTime, n.time);
    const size_t total = static_cast<size_t>((endTime + 3.5) * sampleRate);
    std::vector<double> mix(total, 0.0);
    Noise noise(0x5EED5EEDULL);

    // Each string sounds until its next note.
    for (int s = 0; s < 6; ++s) {
        std::vector<Note> onString;
        for (const Note& n : notes)
            if (n.string == s) onString.push_back(n);
        std::sort(onString.begin(), onString.end(), [](const Note& a, const Note& b) { return a.time < b.time; });
        for (size_t i = 0; i < onString.size(); ++i) {
            const int start = static_cast<int>(onString[i].time * sampleRate);
            const int end = i + 1 < onString.size() ? static_cast<int>(onString[i + 1].time * sampleRate)
                                                    : static_cast<int>(total);
            pluck(mix, sampleRate, start, end, midiToHz(kOpenStrings[s] + onString[i].fret), onString[i].velocity, noise);
        }
    }

    // A pickup hears the string, not a body; a touch of low-mid warmth and a
    // gentle high roll-off make it sound like a single-coil into a DI box.
    dsp::IirFilter warmth, rolloff, dc;
    warmth.designPeaking(180, 0.9, 2.5, 1.0, sampleRate);
    rolloff.designLowPass(std::min(6500, sampleRate / 2 - 100), 0.6, 1.0, sampleRate);
    dc.designFirstOrderHighPass(40, 1.0, sampleRate);
    warmth.process(mix.data(), static_cast<int>(mix.size()));
    rolloff.process(mix.data(), static_cast<int>(mix.size()));
    dc.process(mix.data(), static_cast<int>(mix.size()));

    double peak = 0.0;
    for (double v : mix) peak = std::max(peak, std::fabs(v));
    const double scale = peak > 0.0 ? 0.5 / peak : 0.0; // -6 dBFS
    std::vector<int16_t> out(total);
    for (size_t i = 0; i < total; ++i) out[i] = static_cast<int16_t>(std::lround(mix[i] * scale * 32767.0));
    return out;
}

} // namespace stravik::assets
