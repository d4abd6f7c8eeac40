#pragma once
// A long FIR filter by uniformly partitioned convolution in the frequency
// domain (overlap-save, partitions of kPartition taps), in double precision
// and with no added latency: the equalisers' 1024-tap responses and the
// speaker cabinet's impulse responses.
//
// A whole block of kPartition samples costs one forward and one inverse
// 256-point transform and one complex multiply-add per partition, where the
// direct form needs 1024 multiply-adds per sample. Blocks of any other size
// work too: their samples take the first partition directly and the rest
// from the transforms of the partitions of input already complete.
//
// Like FirConvolver, the input and the coefficients are taken at single
// precision (as the direct form of this program always took them); the sums
// are exact to double rounding, so the output is what the single-precision
// direct form gives, less that form's own rounding of its running sums.
//
// Threads: setCoefficients and clearHistory may be called from any thread
// while the audio thread processes blocks. A new response is built aside
// (its spectra in a spare bank) and handed over under a mutex that the audio
// thread only ever tries: if the builder holds it at the start of a block,
// the block runs with the response it had, whole; it takes the new one at a
// later block. The history survives a new response, as in the direct form.
#include "dsp/Fft.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace stravik::dsp {

class PartitionedConvolver {
public:
    static constexpr int kPartition = 128;

    // maxTaps: the longest response it will be given (rounded up to whole
    // partitions); its memory is set aside here.
    explicit PartitionedConvolver(int maxTaps);
    ~PartitionedConvolver();
    PartitionedConvolver(const PartitionedConvolver&) = delete;
    PartitionedConvolver& operator=(const PartitionedConvolver&) = delete;

    // Any thread. count 0 makes the convolver a pass-through; counts above
    // maxTaps are cut. restart: the block that takes the new response over
    // starts from silence (a new impulse response), instead of letting the
    // history play on through it (a longer or shorter cut of the same one).
    void setCoefficients(const double* h, int count, bool restart = false);
    // Any thread: the next block starts from silence.
    void clearHistory();
    // The tap count most recently set (the audio side takes it over at its
    // next block).
    int taps() const { return taps_.load(std::memory_order_acquire); }
    int maxTaps() const { return partitions_ * kPartition; }

    // Audio thread: n samples in place.
    void process(double* buf, int n);

private:
    struct Bank;
    struct State;
    void adopt();
    void clearState();
    void completeFrame();
    void refreshTail();
    void directHead(double* out, int from, int count);
    void singleTap(double* out, const double* in, int n) const;

    // Builder side.
    std::mutex builderLock_;              // one builder at a time
    std::unique_ptr<RealFft> builderFft_; // under builderLock_
    std::mutex handoff_;                  // held while a bank is written; tried by the audio side
    std::unique_ptr<Bank> staged_;        // under handoff_
    bool stagedPending_ = false;          // under handoff_
    std::atomic<bool> pending_{false};
    std::atomic<bool> clearPending_{false};
    std::atomic<int> taps_{0};

    const int partitions_;

    // Audio side.
    std::unique_ptr<Bank> live_;
    std::unique_ptr<State> state_;
    RealFft fft_{2 * kPartition};
};

} // namespace stravik::dsp
