#include "tools/ClickSound.h"

#include "engine/WavFile.h"

#include <algorithm>
#include <cmath>

namespace stravik::tools {
namespace {

uint32_t get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16)
           | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

int16_t sample16(const uint8_t* p) { return static_cast<int16_t>(get16(p)); }

// The full positive swing of an 8-bit sample (255 - 127 = 128 steps) scales
// to 32768, one past the 16-bit range: keep it at the top instead of letting
// it wrap to the bottom.
int16_t clamp16(int v) { return static_cast<int16_t>(std::clamp(v, -32768, 32767)); }

} // namespace

bool decodeToMono(const uint8_t* data, size_t frames, const PcmLayout& layout, std::vector<int16_t>& out)
{
    out.clear();
    const int bytes = layout.bitsPerSample == 16 ? 2 : layout.bitsPerSample == 8 ? 1 : 0;
    if (bytes == 0 || layout.channels < 1) return false;
    const bool twoChannels = layout.channels >= 2;
    const int used = (twoChannels ? 2 : 1) * bytes;
    if (layout.blockAlign < used) return false;
    out.resize(frames);
    const size_t align = static_cast<size_t>(layout.blockAlign);
    for (size_t i = 0; i < frames; ++i) {
        const uint8_t* f = data + i * align;
        int v;
        if (bytes == 2)
            v = twoChannels ? (sample16(f) + sample16(f + 2)) >> 1 : sample16(f);
        else
            v = twoChannels ? (f[0] - 127 + f[1] - 127) * 128 : (f[0] - 127) * 256;
        out[i] = clamp16(v);
    }
    return true;
}

bool ClickSound::take(const uint8_t* data, size_t frames, const PcmLayout& layout, int sampleRate)
{
    // Whatever was prepared belongs to the old recording.
    preparedRate_ = 0;
    rate_ = 0;
    if (sampleRate <= 0 || frames == 0 || !decodeToMono(data, frames, layout, raw_)) {
        raw_.clear();
        return false;
    }
    rate_ = sampleRate;
    return true;
}

bool ClickSound::loadImage(std::span<const uint8_t> image)
{
    if (image.size() < 44) {
        take(nullptr, 0, {}, 0);
        return false;
    }
    const uint8_t* h = image.data();
    PcmLayout layout;
    layout.channels = get16(h + 22);
    layout.bitsPerSample = get16(h + 34);
    layout.blockAlign = get16(h + 32);
    const int rate = static_cast<int>(std::min<uint32_t>(get32(h + 24), 1000000));
    if (layout.blockAlign == 0) {
        take(nullptr, 0, {}, 0);
        return false;
    }
    // Never read past the image, whatever its header claims.
    const size_t dataBytes = std::min<size_t>(get32(h + 40), image.size() - 44);
    return take(h + 44, dataBytes / static_cast<size_t>(layout.blockAlign), layout, rate);
}

bool ClickSound::loadFile(const std::string& path)
{
    WavReader reader;
    if (reader.open(path) != kWavOk) {
        take(nullptr, 0, {}, 0);
        return false;
    }
    const WavFormat& f = reader.format();
    PcmLayout layout{f.channels, f.bitsPerSample, f.blockAlign};
    const size_t frames = static_cast<size_t>(std::min<int64_t>(reader.frames(), kMaxFileFrames));
    std::vector<uint8_t> bytes(frames * f.blockAlign);
    const size_t got = reader.read(bytes.data(), bytes.size());
    const int rate = static_cast<int>(std::min<uint32_t>(f.sampleRate, 1000000));
    return take(bytes.data(), got / f.blockAlign, layout, rate);
}

void ClickSound::clear() { take(nullptr, 0, {}, 0); }

void ClickSound::prepare(int processingRate)
{
    if (reloadMarked()) {
        working_.clear();
        preparedRate_ = 0;
    }
    if (preparedRate_ != processingRate) {
        working_ = raw_;
        workingRate_ = rate_;
        if (!working_.empty() && processingRate < rate_) {
            // Designed at the recording's own rate: the copy is still at that
            // rate, and playback at the processing rate folds everything
            // above half of it back down.
            lowPass_.designLowPass(static_cast<int>(std::lround(0.45 * processingRate)), 1.0, 1.0, rate_);
            lowPass_.reset(); // the recording starts from silence
            lowPass_.processInt16(working_.data(), static_cast<int>(working_.size()));
        }
        preparedRate_ = processingRate;
    }
    reload_.store(false, std::memory_order_relaxed);
}

} // namespace stravik::tools
