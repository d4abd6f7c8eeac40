#pragma once
// The speaker cabinet: the current impulse response and its convolution.
//
// Loading (never on the audio thread): a library member or a WAV file is
// read into a staging area, converted to the processing rate with
// libsamplerate when its rate differs, cut to 32000 samples, normalised when
// it came from a file or was converted (its 100 Hz - 5 kHz average magnitude
// becomes 1), and becomes the prepared response. The first n = min(MaxPulseCnt,
// length) samples are the filter. A failed load leaves everything as it was.
//
// Convolution: up to kDirectMaxTaps taps run in the direct form (the
// FirConvolver); longer responses run partitioned, with no added latency:
// the first kPartition taps stay direct (they answer within the block), the
// rest is convolved by FFT in uniform partitions of kPartition taps, whose
// contribution to the next partition's worth of output is computed as soon
// as a partition of input is complete. The result equals the direct form to
// single-precision rounding; the work per sample grows with the number of
// partitions instead of the number of taps.
//
// Locks: one load at a time (the load mutex, held by loads and Max len
// reloads); the coefficient change itself and every block take the
// convolver's own lock, so a block sees either the old or the new response,
// whole.
#include "dsp/Fft.h"
#include "dsp/FirConvolver.h"

#include <atomic>
#include <complex>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace stravik {
class UserMessages;
}

namespace stravik::effects {

class ImpulseResponseLibrary;
class WaveFileSource;

class CabinetConvolver {
public:
    static constexpr int kMaxResponse = 32000;         // samples kept of a response
    static constexpr int kConversionRoom = 128000;     // frames the rate converter may write
    static constexpr int kPartition = 128;             // taps per FFT partition
    static constexpr int kMaxTaps = dsp::FirConvolver::kMaxTaps;
    static constexpr int kMaxPartitions = kMaxTaps / kPartition; // tail partitions + the direct head
    static constexpr int kDefaultDirectMaxTaps = 768;

    enum class Form { Direct, Partitioned };

    explicit CabinetConvolver(UserMessages& messages);
    ~CabinetConvolver();
    CabinetConvolver(const CabinetConvolver&) = delete;
    CabinetConvolver& operator=(const CabinetConvolver&) = delete;

    // ---- loading (window, preset loader, start of a run; not the audio thread)
    // Library member index for processing at fs. On failure "Runtime error
    // unpacking!" is shown and false returned.
    bool loadLibrary(const ImpulseResponseLibrary& library, int index, int fs, int maxPulseCount);
    // A WAV file for processing at fs; the reader's messages on failure.
    bool loadFile(WaveFileSource& files, const std::string& path, int fs, int maxPulseCount);
    // A response given directly (tests, tools): samples at rate, treated like
    // a file's (normalised).
    bool loadSamples(const double* samples, int count, int rate, int fs, int maxPulseCount);
    // "Max len": when min(maxPulseCount, prepared length) differs from the
    // taps in use, the filter is reloaded from the prepared response (the
    // history is kept). True when it was reloaded.
    bool setMaxPulseCount(int maxPulseCount);

    // ---- audio thread
    // Filters n samples in place; a convolver without a response passes the
    // block through untouched.
    void process(double* buf, int n);

    // ---- state
    int taps() const { return taps_.load(std::memory_order_relaxed); }
    Form form() const { return form_.load(std::memory_order_relaxed) ? Form::Partitioned : Form::Direct; }
    int responseLength() const;     // prepared samples (after conversion and the 32000 cut)
    int responseRate() const;       // the rate the response was read at
    bool responseNormalised() const;
    std::string fileName() const;   // the file of the last file load ("" after a library load)
    // Copies up to count samples of the prepared response; returns how many.
    int copyResponse(double* out, int count) const;

    // Responses longer than this run partitioned (tests and benchmarks move it).
    void setDirectMaxTaps(int taps);
    int directMaxTaps() const { return directMaxTaps_.load(std::memory_order_relaxed); }
    dsp::FirConvolver& directConvolver() { return direct_; }

private:
    struct Spectra;
    bool prepareAndCommit(int length, int rate, bool normalise, int fs, int maxPulseCount);
    void commitTaps(int n, bool newResponse);
    void frameComplete();
    void clearPartitionHistory();

    UserMessages& messages_;

    // Loading side, under loadMutex_.
    mutable std::mutex loadMutex_;
    std::unique_ptr<uint8_t[]> scratch_;    // the unpack area, then the raw file bytes
    std::unique_ptr<double[]> staging_;     // a response as read, before it is prepared
    std::unique_ptr<float[]> convertIn_;    // the rate converter's input
    std::unique_ptr<float[]> convertOut_;   // and its output (kConversionRoom frames)
    std::unique_ptr<double[]> response_;    // the prepared response (kMaxResponse)
    int responseLength_ = 0;
    int responseRate_ = 0;
    bool normalised_ = false;
    std::string fileName_;
    dsp::RealFft levelFft_;                 // the normalisation's 8192-point FFT
    dsp::RealFft partitionFft_;             // spectra of the partitions (loading side)

    // Audio side, under lock_ (the coefficients change under it too).
    mutable std::mutex lock_;
    dsp::FirConvolver direct_{dsp::FirConvolver::Threading::WorkerPool};
    std::unique_ptr<Spectra> spectra_;
    dsp::RealFft blockFft_;                 // the audio side's own transform
    int partitions_ = 0;                    // tail partitions in use
    int activeBank_ = 0;
    int framePos_ = 0;                      // samples of the current partition of input so far
    int fdlHead_ = 0;                       // slot of the newest input spectrum

    std::atomic<int> taps_{0};
    std::atomic<int> form_{0};
    std::atomic<int> directMaxTaps_{kDefaultDirectMaxTaps};
};

} // namespace stravik::effects
