#pragma once
// The tuner's pitch measurement: one captured buffer of 32768 samples at
// 44100 Hz in, the frequency of its strongest low partial out. The buffer is
// windowed and zero-padded to a 65536-point real transform (0.67 Hz per
// bin); the lowest peak that reaches a fifth of the strongest one is taken
// and its position refined between the bins.
#include "dsp/Fft.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace stravik::tools {

class PitchAnalyzer {
public:
    static constexpr int kBufferSamples = 32768; // one captured buffer
    static constexpr int kTransformSize = 65536;
    static constexpr int kSampleRate = 44100;
    static constexpr int kFirstBin = 59;          // about 40 Hz: below any string
    static constexpr double kMaxFrequency = 10000.0;

    // Makes the transform's plan: slow, do it before capturing starts.
    PitchAnalyzer();

    // Analyses the first kBufferSamples samples and returns the recorded
    // frequency in Hz, or 0 when there is no clear peak (silence, noise) or
    // it lies above kMaxFrequency. count must be at least kBufferSamples.
    // Allocation-free; one call at a time per analyser.
    double analyse(const int16_t* samples, size_t count);

    // The last analysis in detail (for tests and the benchmark): the peak's
    // refined bin position (0 when none) and the magnitude of bin k.
    double lastPosition() const { return position_; }
    double magnitude(int bin) const { return magnitude_[static_cast<size_t>(bin)]; }

private:
    dsp::RealFft fft_;
    std::vector<float> block_;      // the windowed buffer, in the units the thresholds were made for
    std::vector<double> magnitude_; // bins 0..kTransformSize/2
    double position_ = 0.0;
};

} // namespace stravik::tools
