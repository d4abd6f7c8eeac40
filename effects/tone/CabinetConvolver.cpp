#include "effects/tone/CabinetConvolver.h"

#include "dsp/UserMessages.h"
#include "effects/tone/ImpulseResponseLevel.h"
#include "effects/tone/ImpulseResponseLibrary.h"
#include "effects/tone/ImpulseResponseWav.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace stravik::effects {
namespace {

// A library member may hold up to what its 256000-byte unpack area takes;
// it is cut to kMaxResponse only after the rate conversion.
constexpr int kStagingSamples = static_cast<int>(ImpulseResponseLibrary::kScratchBytes / 4);

// acc += x * h over one row of bins, complex, split into real and imaginary
// rows (the rows do not overlap, which lets the compiler vectorise). On x86
// the processor's widest vectors are picked when the program starts.
// (Not in sanitizer builds: their run-time starts after such a choice is made.)
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("avx2", "default")))
#endif
void multiplyAccumulate(double* __restrict ar, double* __restrict ai, const double* __restrict xr,
                        const double* __restrict xi, const double* __restrict hr, const double* __restrict hi)
{
    constexpr int kStride = (CabinetConvolver::kPartition + 1 + 3) / 4 * 4;
    for (int k = 0; k < kStride; ++k) {
        ar[k] += xr[k] * hr[k] - xi[k] * hi[k];
        ai[k] += xr[k] * hi[k] + xi[k] * hr[k];
    }
}

} // namespace

// The FFT side of the partitioned form. Spectra are kept split into real and
// imaginary rows padded to a multiple of 4, so the multiply-adds vectorise.
struct CabinetConvolver::Spectra {
    static constexpr int kBins = kPartition + 1;
    static constexpr int kStride = (kBins + 3) / 4 * 4;

    // The partitions' spectra, two banks: a load fills the idle one, and the
    // switch happens under the lock. Row p holds taps p*B .. p*B+B-1 (row 0,
    // the head, runs direct and stays empty).
    alignas(64) double bankRe[2][kMaxPartitions][kStride];
    alignas(64) double bankIm[2][kMaxPartitions][kStride];
    // The spectra of the most recent input partitions (a ring).
    alignas(64) double fdlRe[kMaxPartitions][kStride];
    alignas(64) double fdlIm[kMaxPartitions][kStride];
    alignas(64) double accRe[kStride];
    alignas(64) double accIm[kStride];
    double frameIn[kPartition];   // the partition of input being gathered
    double prevFrame[kPartition]; // the one before it
    double tailOut[kPartition];   // the tail's share of the output for the current partition
};

CabinetConvolver::CabinetConvolver(UserMessages& messages)
    : messages_(messages), scratch_(new uint8_t[ImpulseResponseLibrary::kScratchBytes]),
      staging_(new double[kStagingSamples]), convertIn_(new float[kStagingSamples]),
      convertOut_(new float[kConversionRoom]), response_(new double[kMaxResponse]), levelFft_(kLevelFftSize),
      partitionFft_(2 * kPartition), spectra_(new Spectra), blockFft_(2 * kPartition)
{
    std::memset(spectra_.get(), 0, sizeof(Spectra));
    std::fill_n(response_.get(), kMaxResponse, 0.0);
}

CabinetConvolver::~CabinetConvolver() = default;

void CabinetConvolver::setDirectMaxTaps(int taps)
{
    directMaxTaps_.store(std::clamp(taps, kPartition, kMaxTaps), std::memory_order_relaxed);
}

int CabinetConvolver::responseLength() const
{
    std::lock_guard guard(loadMutex_);
    return responseLength_;
}

int CabinetConvolver::responseRate() const
{
    std::lock_guard guard(loadMutex_);
    return responseRate_;
}

bool CabinetConvolver::responseNormalised() const
{
    std::lock_guard guard(loadMutex_);
    return normalised_;
}

std::string CabinetConvolver::fileName() const
{
    std::lock_guard guard(loadMutex_);
    return fileName_;
}

int CabinetConvolver::copyResponse(double* out, int count) const
{
    std::lock_guard guard(loadMutex_);
    const int n = std::clamp(count, 0, responseLength_);
    std::copy_n(response_.get(), n, out);
    return n;
}

bool CabinetConvolver::loadLibrary(const ImpulseResponseLibrary& library, int index, int fs, int maxPulseCount)
{
    std::lock_guard guard(loadMutex_);
    std::memset(scratch_.get(), 0, ImpulseResponseLibrary::kScratchBytes);
    UnpackedResponse info;
    if (!library.unpack(index, scratch_.get(), staging_.get(), kStagingSamples, info)
        || !prepareAndCommit(info.sampleCount, info.sampleRate, false, fs, maxPulseCount)) {
        messages_.show("Runtime error unpacking!", {}, MessageIcon::Error);
        return false;
    }
    fileName_.clear();
    return true;
}

bool CabinetConvolver::loadFile(WaveFileSource& files, const std::string& path, int fs, int maxPulseCount)
{
    std::lock_guard guard(loadMutex_);
    std::memset(scratch_.get(), 0, ImpulseResponseLibrary::kScratchBytes);
    const WaveResponse r = readWaveResponse(files, path, staging_.get(), kMaxResponseFrames, scratch_.get(),
                                            ImpulseResponseLibrary::kScratchBytes, messages_);
    if (r.error != WaveResponseError::None) return false;
    if (!prepareAndCommit(r.length, r.sampleRate, true, fs, maxPulseCount)) {
        // Read, but at a rate nothing can be converted from.
        messages_.show("Error opening impulse file! Unknown format or file corrupted.", {}, MessageIcon::Error);
        return false;
    }
    fileName_ = path;
    return true;
}

bool CabinetConvolver::loadSamples(const double* samples, int count, int rate, int fs, int maxPulseCount)
{
    std::lock_guard guard(loadMutex_);
    const int n = std::clamp(count, 0, kStagingSamples);
    std::copy_n(samples, n, staging_.get());
    if (!prepareAndCommit(n, rate, true, fs, maxPulseCount)) return false;
    fileName_.clear();
    return true;
}

bool CabinetConvolver::prepareAndCommit(int length, int rate, bool normalise, int fs, int maxPulseCount)
{
    if (length <= 0 || rate <= 0 || fs <= 0) return false;
    double* in = staging_.get();
    int len = length;
    bool converted = false;
    if (rate != fs) {
        const double ratio = static_cast<double>(fs) / rate;
        if (!src_is_valid_ratio(ratio)) return false;
        for (int i = 0; i < len; ++i) convertIn_[static_cast<size_t>(i)] = static_cast<float>(in[i]);
        SRC_DATA data{};
        data.data_in = convertIn_.get();
        data.input_frames = len;
        data.data_out = convertOut_.get();
        data.output_frames = kConversionRoom;
        data.src_ratio = ratio;
        if (src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1) != 0 || data.output_frames_gen <= 0) return false;
        len = static_cast<int>(std::min<long>(data.output_frames_gen, kMaxResponse));
        for (int i = 0; i < len; ++i) in[i] = convertOut_[static_cast<size_t>(i)];
        converted = true;
    }
    len = std::min(len, kMaxResponse);
    const int n = std::clamp(std::min(maxPulseCount, len), 0, kMaxTaps);

    // The level is measured on what will be used (its first 8192 samples at
    // most); the whole prepared response is scaled, so that a longer Max len
    // later continues it at the same level.
    double gain = 1.0;
    if (normalise || converted) gain = levelNormalisationGain(averageMagnitude100To5k(in, n, fs, levelFft_));
    for (int i = 0; i < len; ++i)
        if (!std::isfinite(in[i] * gain)) return false;
    for (int i = 0; i < len; ++i) response_[static_cast<size_t>(i)] = in[i] * gain;
    responseLength_ = len;
    responseRate_ = rate;
    normalised_ = normalise || converted;
    commitTaps(n, true);
    return true;
}

bool CabinetConvolver::setMaxPulseCount(int maxPulseCount)
{
    std::lock_guard guard(loadMutex_);
    if (responseLength_ <= 0) return false;
    const int n = std::clamp(std::min(maxPulseCount, responseLength_), 0, kMaxTaps);
    if (n == taps()) return false;
    commitTaps(n, false);
    return true;
}

void CabinetConvolver::commitTaps(int n, bool newResponse)
{
    const bool partitioned = n > directMaxTaps();
    const int parts = partitioned ? (n - kPartition + kPartition - 1) / kPartition : 0;
    // Only this (loading) thread switches banks, so the idle one is free.
    const int bank = partitioned ? 1 - activeBank_ : activeBank_;
    if (partitioned) {
        Spectra& s = *spectra_;
        double* t = partitionFft_.time();
        for (int p = 1; p <= parts; ++p) {
            const int first = p * kPartition;
            const int count = std::min(kPartition, n - first);
            std::fill_n(t, 2 * kPartition, 0.0);
            std::copy_n(response_.get() + first, count, t);
            partitionFft_.forward();
            const std::complex<double>* f = partitionFft_.spectrum();
            for (int k = 0; k < Spectra::kBins; ++k) {
                s.bankRe[bank][p][k] = f[k].real();
                s.bankIm[bank][p][k] = f[k].imag();
            }
        }
    }
    std::lock_guard guard(lock_);
    const bool formChanged = (form_.load(std::memory_order_relaxed) != 0) != partitioned;
    activeBank_ = bank;
    partitions_ = parts;
    direct_.setCoefficients(response_.get(), partitioned ? kPartition : n);
    if (newResponse || formChanged) {
        // A new response starts from silence; so does a change of form (the
        // partitioned form's history was not kept while the direct one ran).
        direct_.resetWriteIndex();
        direct_.clearHistory();
        clearPartitionHistory();
    }
    form_.store(partitioned ? 1 : 0, std::memory_order_relaxed);
    taps_.store(n, std::memory_order_relaxed);
}

void CabinetConvolver::clearPartitionHistory()
{
    Spectra& s = *spectra_;
    std::memset(s.fdlRe, 0, sizeof(s.fdlRe));
    std::memset(s.fdlIm, 0, sizeof(s.fdlIm));
    std::fill_n(s.frameIn, kPartition, 0.0);
    std::fill_n(s.prevFrame, kPartition, 0.0);
    std::fill_n(s.tailOut, kPartition, 0.0);
    framePos_ = 0;
    fdlHead_ = 0;
}

void CabinetConvolver::process(double* buf, int n)
{
    std::lock_guard guard(lock_);
    if (taps_.load(std::memory_order_relaxed) == 0) return;
    if (form_.load(std::memory_order_relaxed) == 0) {
        direct_.process(buf, n);
        return;
    }
    Spectra& s = *spectra_;
    int done = 0;
    while (done < n) {
        const int len = std::min(n - done, kPartition - framePos_);
        double* seg = buf + done;
        std::copy_n(seg, len, s.frameIn + framePos_);
        direct_.process(seg, len); // the head: the first kPartition taps
        for (int i = 0; i < len; ++i) seg[i] += s.tailOut[framePos_ + i];
        framePos_ += len;
        done += len;
        if (framePos_ == kPartition) {
            frameComplete();
            framePos_ = 0;
        }
    }
}

// A partition of input is complete: its spectrum joins the ring, and the
// tail's contribution to the next partition's outputs is computed from the
// partitions of input so far (overlap-save: the transform of the last two
// partitions of input against each partition of taps, zero-padded to twice
// its length; the second half of the result is the linear convolution).
void CabinetConvolver::frameComplete()
{
    Spectra& s = *spectra_;
    double* t = blockFft_.time();
    std::copy_n(s.prevFrame, kPartition, t);
    std::copy_n(s.frameIn, kPartition, t + kPartition);
    std::copy_n(s.frameIn, kPartition, s.prevFrame);
    blockFft_.forward();
    fdlHead_ = (fdlHead_ + 1) % kMaxPartitions;
    {
        const std::complex<double>* f = blockFft_.spectrum();
        double* xr = s.fdlRe[fdlHead_];
        double* xi = s.fdlIm[fdlHead_];
        for (int k = 0; k < Spectra::kBins; ++k) {
            xr[k] = f[k].real();
            xi[k] = f[k].imag();
        }
    }
    double* ar = s.accRe;
    double* ai = s.accIm;
    std::fill_n(ar, Spectra::kStride, 0.0);
    std::fill_n(ai, Spectra::kStride, 0.0);
    // Partition p of the taps meets the input spectrum of p - 1 partitions ago.
    for (int p = 1; p <= partitions_; ++p) {
        int slot = fdlHead_ - (p - 1);
        if (slot < 0) slot += kMaxPartitions;
        multiplyAccumulate(ar, ai, s.fdlRe[slot], s.fdlIm[slot], s.bankRe[activeBank_][p], s.bankIm[activeBank_][p]);
    }
    std::complex<double>* f = blockFft_.spectrum();
    for (int k = 0; k < Spectra::kBins; ++k) f[k] = {ar[k], ai[k]};
    blockFft_.inverse();
    const double scale = 1.0 / (2 * kPartition);
    for (int i = 0; i < kPartition; ++i) s.tailOut[i] = t[kPartition + i] * scale;
}

} // namespace stravik::effects
