#pragma once
// Direct-form FIR convolution in single precision for up to 16384 taps:
// speaker-cabinet impulse responses, equaliser filters and the oversampling
// kernels. Blocks of doubles are filtered in place.
//
// Three ways to compute the same sums:
//  - scalar: one output at a time straight from the history ring;
//  - SIMD: the most recent taps + n inputs are copied newest-first into a
//    linear history, and outputs are produced four at a time against four
//    copies of the coefficients shifted by 0..3 positions, so every vector
//    load is aligned (SSE; AVX2/FMA or AVX-512 when the processor has them);
//  - workers: the outputs of one block are interleaved over the calling thread
//    and up to four pool threads.
// Every path gives the scalar result up to single-precision rounding.
//
// Threads: coefficients, history clears and the write index may be changed
// from any thread while another one filters blocks. The filtering side never
// waits: new coefficients are built in a second bank and taken over at the
// start of a block (when the builder is not at that moment writing them; the
// block then plays the coefficients it had, whole); clears happen at the
// start of the next block.
#include <atomic>
#include <cstdint>
#include <mutex>

namespace stravik::dsp {

class FirConvolver {
public:
    static constexpr int kMaxTaps = 16384;
    static constexpr int kRingSize = 65536;          // history ring, floats
    static constexpr int kMaxLinearHistory = 16896;  // taps + n on the SIMD path
    static constexpr int kMaxSimdBlock = 4096;       // n on the SIMD path

    enum class Threading { CallerOnly = 0, WorkerPool = 1 };

    // Which routine computes the sums. Auto picks the widest one the processor
    // and the EnableSSE setting allow; the others exist for tests and benchmarks.
    enum class Path { Auto, Scalar, Sse, Avx2, Avx512 };

    explicit FirConvolver(Threading mode = Threading::WorkerPool);
    ~FirConvolver();
    FirConvolver(const FirConvolver&) = delete;
    FirConvolver& operator=(const FirConvolver&) = delete;

    // Loads count coefficients (cut to kMaxTaps); 0 makes the convolver a
    // pass-through. The history survives.
    void setCoefficients(const double* h, int count);

    // Zeroes the whole history ring (before the next block).
    void clearHistory();

    // Sets the ring's write index back to 0 (before the next block).
    void resetWriteIndex();

    // Filters n samples in place.
    void process(double* buf, int n);

    // Filters n samples and keeps only outputs 0, step, 2*step, ...; they are
    // written packed to buf[0], buf[1], ... (n / step of them, rounded up).
    void processDecimating(double* buf, int n, int step);

    // The tap count most recently set.
    int taps() const;

    // For tests and benchmarks: force a routine (falls back to the widest
    // supported one below it when the processor lacks it) and limit the number
    // of pool workers that help (0 = caller only; clamped to the pool size).
    void setPathOverride(Path p);
    void setWorkerLimit(int workers);
    // The routine the next block will use.
    Path activePath() const;

private:
    struct Impl;
    Impl* impl_;
};

} // namespace stravik::dsp
