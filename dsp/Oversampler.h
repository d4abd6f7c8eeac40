#pragma once
// Factor-4 oversampling around the non-linear stages: zero-stuff and
// interpolate up, filter and drop samples down. The kernels are linear-phase
// low-passes designed for this program at build time
// (dsp/tools/design_oversampling_kernels.cpp).
//
// The filtering is the general convolver's. Where that would take its AVX2
// routine, polyphase routines of the oversampler's own (OversamplerX86.cpp)
// give the same results to the bit without the work on stuffed zeros and
// dropped outputs; the histories of both ways are kept in step, so the way
// may change between blocks (the EnableSSE setting, a forced routine).
#include "dsp/FirConvolver.h"
#include "dsp/OversamplerX86.h"

#include <atomic>

namespace stravik::dsp {

// A kernel's taps. The tables are static and live for the program's lifetime.
struct FirKernel {
    const double* taps = nullptr;
    int count = 0;
};

// The 85-tap interpolation kernel (the same for every rate).
FirKernel interpolationKernel(int sampleRate);
// The decimation kernel for a base rate: 72 taps at 22050 Hz, 66 taps (two
// different tables) at 44100 and 48000 Hz. Other rates use the table of the
// nearest of the three.
FirKernel decimationKernel(int sampleRate);

class Oversampler {
public:
    static constexpr int kFactor = 4;

    Oversampler();

    // Loads the kernels for the base rate. Only factor 4 exists.
    void setup(int sampleRate, int factor = kFactor);

    // src[0..n) -> dst[0..4n): each sample becomes 4s, 0, 0, 0, then the
    // interpolation kernel runs over the 4n samples. dst and src must not overlap.
    void upsample(double* dst, const double* src, int n);

    // src[0..4n) -> dst[0..n): the decimation kernel runs over src with step 4
    // (src is used as scratch), and the n results are copied to dst.
    void downsample(double* dst, double* src, int n);

    int sampleRate() const { return rate_; }
    FirConvolver& interpolator() { return up_; }
    FirConvolver& decimator() { return down_; }

private:
    static constexpr int kRow = oversampling::kHistory + oversampling::kMaxChunk + 8;

    bool polyphaseUp();
    bool polyphaseDown();
    void takeClear();
    void upsampleChunk(double* dst, const double* src, int n, bool fast);
    void downsampleChunk(double* dst, double* src, int n, bool fast);
    void primeInterpolator();
    void primeDecimator();

    FirConvolver up_{FirConvolver::Threading::WorkerPool};
    FirConvolver down_{FirConvolver::Threading::WorkerPool};
    int rate_ = 0;

    // The polyphase side: the kernels in single precision, the histories
    // (the interpolator's inputs times 4, the decimator's input by phase),
    // the results, and which way each filter went last block.
    std::atomic<int> decimationKernel_{0};
    std::atomic<bool> clearRequested_{false};
    bool upWasFast_ = false;
    bool downWasFast_ = false;
    alignas(32) float upHistory_[kRow] = {};
    alignas(32) float downHistory_[4][kRow] = {};
    alignas(32) float results_[4 * oversampling::kMaxChunk] = {};
};

} // namespace stravik::dsp
