#include "effects/tone/ImpulseResponseWav.h"

#include "dsp/UserMessages.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace stravik::effects {
namespace {

int32_t le16(const uint8_t* p) { return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8))); }

int32_t le24(const uint8_t* p)
{
    const uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16);
    return static_cast<int32_t>(u << 8) >> 8; // sign-extend the top bit of the 24
}

int32_t le32(const uint8_t* p)
{
    return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8)
                                | (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24));
}

float leFloat(const uint8_t* p)
{
    const uint32_t u = static_cast<uint32_t>(le32(p));
    float v;
    std::memcpy(&v, &u, sizeof(v));
    return v;
}

void report(WaveResponseError e, const std::string& path, UserMessages& messages)
{
    switch (e) {
    case WaveResponseError::NotFound:
        messages.show("Error opening impulse file!\n '" + path + "' not found.", {}, MessageIcon::Error);
        break;
    case WaveResponseError::Corrupted:
        messages.show("Error opening impulse file! Unknown format or file corrupted.", {}, MessageIcon::Error);
        break;
    case WaveResponseError::FormatUnsupported:
        messages.show("IR WAVE format not supported!", {}, MessageIcon::Error);
        break;
    case WaveResponseError::DepthUnsupported:
        messages.show("Unsupported bpp format!", {}, MessageIcon::Error);
        break;
    case WaveResponseError::None:
    case WaveResponseError::OtherOpenError: break;
    }
}

} // namespace

WaveResponseError checkWaveLayout(const WaveLayout& l)
{
    if (l.formatTag != 1 && l.formatTag != 3) return WaveResponseError::FormatUnsupported;
    if (l.formatTag == 1 && l.bitsPerSample != 16 && l.bitsPerSample != 24 && l.bitsPerSample != 32)
        return WaveResponseError::DepthUnsupported;
    if (l.formatTag == 3 && l.bitsPerSample != 32) return WaveResponseError::DepthUnsupported;
    // The frame must hold every channel in a container the depth allows.
    if (l.channels < 1 || l.blockAlign <= 0 || l.blockAlign % l.channels != 0) return WaveResponseError::Corrupted;
    const int container = l.blockAlign / l.channels;
    const bool fits = l.bitsPerSample == 24 ? (container == 3 || container == 4) : container == l.bitsPerSample / 8;
    if (!fits || l.sampleRate <= 0) return WaveResponseError::Corrupted;
    return WaveResponseError::None;
}

bool decodeWaveFrames(const WaveLayout& l, const uint8_t* bytes, int count, double* out)
{
    const int channels = l.channels;
    const int container = l.blockAlign / channels;
    // Two channels: each scaled, halved and added; more: the mean of them all.
    const double mix = channels == 1 ? 1.0 : 1.0 / channels;
    for (int f = 0; f < count; ++f) {
        const uint8_t* frame = bytes + static_cast<size_t>(f) * static_cast<size_t>(l.blockAlign);
        double sum = 0.0;
        for (int c = 0; c < channels; ++c) {
            const uint8_t* p = frame + c * container;
            double v;
            if (l.formatTag == 3)
                v = leFloat(p);
            else if (l.bitsPerSample == 16)
                v = le16(p) / 32768.0;
            else if (l.bitsPerSample == 24)
                v = (container == 3 ? le24(p) : le32(p)) / 8388608.0;
            else
                v = le32(p) / 2147483648.0;
            sum += v * mix;
        }
        if (!std::isfinite(sum)) return false;
        out[f] = sum;
    }
    return true;
}

WaveResponse readWaveResponse(WaveFileSource& source, const std::string& path, double* out, int maxFrames,
                              uint8_t* raw, size_t rawBytes, UserMessages& messages)
{
    WaveResponse result;
    const auto fail = [&](WaveResponseError e) {
        source.close();
        report(e, path, messages);
        result.error = e;
        result.length = 0;
        return result;
    };
    WaveLayout layout;
    const int opened = source.open(path, layout);
    if (opened == WaveFileSource::kNotFound) return fail(WaveResponseError::NotFound);
    if (opened == WaveFileSource::kBadFormat) return fail(WaveResponseError::Corrupted);
    if (opened != 0) return fail(WaveResponseError::OtherOpenError);
    if (const WaveResponseError e = checkWaveLayout(layout); e != WaveResponseError::None) return fail(e);

    const int wanted = static_cast<int>(std::min<int64_t>({layout.frames, kMaxResponseFrames, maxFrames}));
    if (wanted <= 0) return fail(WaveResponseError::Corrupted);
    // The raw bytes pass through the caller's buffer as many frames at a
    // time as fit; a frame is at most 65535 bytes (the header's field).
    if (rawBytes < static_cast<size_t>(layout.blockAlign)) return fail(WaveResponseError::Corrupted);
    const int perRead = static_cast<int>(std::min<size_t>(rawBytes / static_cast<size_t>(layout.blockAlign), kMaxResponseFrames));
    int done = 0;
    while (done < wanted) {
        const int frames = std::min(perRead, wanted - done);
        const size_t got = source.read(raw, static_cast<size_t>(frames) * static_cast<size_t>(layout.blockAlign));
        const int whole = static_cast<int>(got / static_cast<size_t>(layout.blockAlign));
        if (whole > 0 && !decodeWaveFrames(layout, raw, whole, out + done)) return fail(WaveResponseError::Corrupted);
        done += whole;
        if (whole < frames) break; // the file ended early
    }
    source.close();
    if (done <= 0) return fail(WaveResponseError::Corrupted);
    result.sampleRate = layout.sampleRate;
    result.length = done;
    return result;
}

} // namespace stravik::effects
