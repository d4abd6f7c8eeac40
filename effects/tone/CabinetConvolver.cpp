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

} // namespace

CabinetConvolver::CabinetConvolver(UserMessages& messages)
    : messages_(messages), scratch_(new uint8_t[ImpulseResponseLibrary::kScratchBytes]),
      staging_(new double[kStagingSamples]), convertIn_(new float[kStagingSamples]),
      convertOut_(new float[kConversionRoom]), response_(new double[kMaxResponse]), levelFft_(kLevelFftSize)
{
    std::fill_n(response_.get(), kMaxResponse, 0.0);
}

CabinetConvolver::~CabinetConvolver() = default;

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
    // A new response starts from silence; a new length of the same one lets
    // the history play on.
    convolver_.setCoefficients(response_.get(), n, newResponse);
    taps_.store(n, std::memory_order_relaxed);
}

void CabinetConvolver::process(double* buf, int n) { convolver_.process(buf, n); }

} // namespace stravik::effects
