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
// Convolution: by FFT in uniform partitions of 128 taps, with no added
// latency (dsp::PartitionedConvolver), whatever the length: the result
// equals the single-precision direct form to that form's own rounding, and
// the work per sample grows with the number of partitions instead of the
// number of taps. Having one form for every length, a "Max len" change is
// only a change of the taps in use: the history plays on through it, as a
// direct-form convolver's ring would let it.
//
// Threads: one load at a time (the load mutex, held by loads and Max len
// reloads). A new set of taps is built aside and handed to the audio thread
// without it ever waiting (see PartitionedConvolver): a block plays either
// the old or the new response, whole.
#include "dsp/Fft.h"
#include "dsp/PartitionedConvolver.h"

#include <atomic>
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
    static constexpr int kMaxTaps = 16384;             // the most a response may use (Max len's top)

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
    // history is kept, at every length). True when it was reloaded.
    bool setMaxPulseCount(int maxPulseCount);

    // ---- audio thread
    // Filters n samples in place; a convolver without a response passes the
    // block through untouched.
    void process(double* buf, int n);

    // ---- state
    int taps() const { return taps_.load(std::memory_order_relaxed); }
    int responseLength() const;     // prepared samples (after conversion and the 32000 cut)
    int responseRate() const;       // the rate the response was read at
    bool responseNormalised() const;
    std::string fileName() const;   // the file of the last file load ("" after a library load)
    // Copies up to count samples of the prepared response; returns how many.
    int copyResponse(double* out, int count) const;

private:
    bool prepareAndCommit(int length, int rate, bool normalise, int fs, int maxPulseCount);
    void commitTaps(int n, bool newResponse);

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

    dsp::PartitionedConvolver convolver_{kMaxTaps};
    std::atomic<int> taps_{0};
};

} // namespace stravik::effects
