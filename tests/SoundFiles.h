#pragma once
// Test helpers for recordings of every kind: written and read with
// libsndfile (24-bit, float, FLAC, several channels), and the frequency of a
// tone measured from its zero crossings.
#include <sndfile.h>

#include <cmath>
#include <string>
#include <vector>

namespace testfiles {

// Writes interleaved samples (full scale +-1.0) as format (SF_FORMAT_WAV |
// SF_FORMAT_PCM_24, ...). False when libsndfile refuses.
inline bool writeSound(const std::string& path, int format, int rate, int channels, const std::vector<double>& samples)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return false;
    const sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
    const bool ok = sf_writef_double(f, samples.data(), frames) == frames;
    return sf_close(f) == 0 && ok;
}

// The same with 16-bit values, stored exactly in any encoding of 16 bits or more.
inline bool writeSound(const std::string& path, int format, int rate, int channels, const std::vector<int16_t>& samples)
{
    std::vector<double> d(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) d[i] = samples[i] / 32768.0;
    return writeSound(path, format, rate, channels, d);
}

struct Sound {
    int rate = 0;
    int channels = 0;
    int format = 0;
    std::vector<double> samples; // interleaved, full scale +-1.0
};

inline Sound readSound(const std::string& path)
{
    Sound s;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return s;
    s.rate = info.samplerate;
    s.channels = info.channels;
    s.format = info.format;
    s.samples.resize(static_cast<size_t>(info.frames * info.channels));
    s.samples.resize(static_cast<size_t>(sf_readf_double(f, s.samples.data(), info.frames) * info.channels));
    sf_close(f);
    return s;
}

// One channel of interleaved samples.
inline std::vector<double> channelOf(const Sound& s, int channel)
{
    std::vector<double> c;
    for (size_t i = static_cast<size_t>(channel); i < s.samples.size(); i += static_cast<size_t>(s.channels))
        c.push_back(s.samples[i]);
    return c;
}

// A sine of this frequency and amplitude, n samples at rate.
inline std::vector<double> sine(double hz, double amplitude, int rate, size_t n)
{
    std::vector<double> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = amplitude * std::sin(2.0 * 3.141592653589793 * hz * static_cast<double>(i) / rate);
    return v;
}

// The frequency of a steady tone: upward zero crossings (placed between
// samples by linear interpolation) counted over the span from the first to
// the last one, leaving out `skip` samples at each end.
inline double zeroCrossingFrequency(const std::vector<double>& x, int rate, size_t skip = 0)
{
    double first = -1.0, last = -1.0;
    int crossings = 0;
    for (size_t i = skip + 1; i + skip < x.size(); ++i) {
        if (x[i - 1] < 0.0 && x[i] >= 0.0) {
            const double at = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
            if (first < 0.0) first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings < 2) return 0.0;
    return (crossings - 1) * rate / (last - first);
}

} // namespace testfiles
