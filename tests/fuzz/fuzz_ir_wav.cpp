// The impulse-response WAV reader and the cabinet's loading of what it reads,
// on any bytes: a file is either refused (with a message) or read into
// finite samples within its format's range, and a loaded response filters a
// block into finite numbers.
#include "FuzzTarget.h"
#include "MemoryFile.h"

#include "../TestFiles.h"

#include "dsp/UserMessages.h"
#include "effects/tone/CabinetConvolver.h"
#include "effects/tone/ImpulseResponseLibrary.h"
#include "effects/tone/ImpulseResponseWav.h"
#include "engine/WavFile.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The engine's reader, as the amp gets it.
class Files final : public stravik::effects::WaveFileSource {
public:
    int open(const std::string& path, stravik::effects::WaveLayout& layout) override
    {
        const stravik::WavError e = reader_.open(path);
        if (e != stravik::kWavOk) return e;
        const stravik::WavFormat& f = reader_.format();
        layout = {f.formatTag, f.channels, static_cast<int>(f.sampleRate & 0x7FFFFFFFu), f.blockAlign, f.bitsPerSample,
                  reader_.frames()};
        return 0;
    }
    size_t read(void* dst, size_t bytes) override { return reader_.read(dst, bytes); }
    void close() override { reader_.close(); }

private:
    stravik::WavReader reader_;
};

// Counts what is shown, so that every refusal can be checked to have said so.
class Counting final : public stravik::UserMessages {
public:
    int shown = 0;
    void show(const std::string&, const std::string&, stravik::MessageIcon) override { ++shown; }
    stravik::MessageAnswer ask(const std::string&, const std::string&, stravik::MessageButtons,
                               stravik::MessageIcon) override
    {
        return stravik::MessageAnswer::Ok;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace stravik::effects;
    static MemoryFile file;
    const std::string& path = file.hold(data, size);
    static Files files;
    static Counting messages;
    static std::vector<double> out(kMaxResponseFrames + 1);
    static std::vector<uint8_t> raw(ImpulseResponseLibrary::kScratchBytes);
    out[kMaxResponseFrames] = 12345.0; // never written: at most 32000 frames
    const int before = messages.shown;
    const WaveResponse r = readWaveResponse(files, path, out.data(), kMaxResponseFrames, raw.data(), raw.size(), messages);
    if (out[kMaxResponseFrames] != 12345.0) __builtin_trap();
    if (r.error == WaveResponseError::None) {
        if (r.length < 1 || r.length > kMaxResponseFrames || r.sampleRate <= 0) __builtin_trap();
        for (int i = 0; i < r.length; ++i)
            if (!std::isfinite(out[static_cast<size_t>(i)])) __builtin_trap();
        if (messages.shown != before) __builtin_trap();
        // Short responses also go through the whole load (conversion,
        // normalisation) and a block.
        if (r.length <= 4096) {
            static CabinetConvolver cabinet(messages);
            if (cabinet.loadFile(files, path, 48000, 4000)) {
                if (cabinet.taps() < 1 || cabinet.taps() > 4000) __builtin_trap();
                double block[128];
                for (int i = 0; i < 128; ++i) block[i] = std::sin(i * 0.3);
                cabinet.process(block, 128);
                for (double v : block)
                    if (!std::isfinite(v)) __builtin_trap();
            }
        }
    } else if (r.error != WaveResponseError::OtherOpenError && messages.shown != before + 1) {
        __builtin_trap(); // every refusal but the silent one says why, once
    }
    return 0;
}

namespace {

std::vector<uint8_t> wav(int tag, int channels, int rate, int bits, int align, const std::vector<uint8_t>& samples)
{
    testfiles::WavRecipe layout;
    layout.formatTag = tag;
    layout.channels = channels;
    layout.rate = rate;
    layout.bits = bits;
    layout.blockAlign = align;
    return testfiles::wavBytes(layout, samples);
}

std::vector<uint8_t> ramp(size_t bytes)
{
    std::vector<uint8_t> d(bytes);
    for (size_t i = 0; i < bytes; ++i) d[i] = static_cast<uint8_t>((i * 37) ^ (i >> 3));
    return d;
}

std::vector<uint8_t> floats(int n)
{
    std::vector<uint8_t> d;
    for (int i = 0; i < n; ++i) {
        const float v = static_cast<float>(std::exp(-0.02 * i) * std::cos(0.4 * i));
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        d.insert(d.end(), b, b + 4);
    }
    return d;
}

} // namespace

std::vector<std::vector<uint8_t>> fuzzSeeds()
{
    return {wav(1, 1, 44100, 16, 2, ramp(400)),  wav(1, 2, 48000, 16, 4, ramp(400)),
            wav(1, 1, 22050, 24, 3, ramp(300)),  wav(1, 2, 48000, 24, 8, ramp(320)),
            wav(1, 1, 96000, 32, 4, ramp(400)),  wav(3, 1, 44100, 32, 4, floats(200)),
            wav(3, 2, 48000, 32, 8, floats(200)), wav(2, 1, 48000, 4, 256, ramp(512))};
}
