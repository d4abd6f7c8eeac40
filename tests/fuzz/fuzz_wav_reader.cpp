// The WAV reader and the file roles' checks on any bytes.
#include "FuzzTarget.h"
#include "MemoryFile.h"

#include "../TestFiles.h"

#include "engine/WavFile.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static MemoryFile file;
    const std::string& path = file.hold(data, size);
    stravik::WavReader r;
    if (r.open(path) == stravik::kWavOk) {
        // Whatever the header claims, reading stays inside the file.
        if (r.format().blockAlign == 0 || r.frames() <= 0) __builtin_trap();
        if (r.dataOffset() + r.frames() * r.format().blockAlign > static_cast<int64_t>(size)) __builtin_trap();
        uint8_t buf[1024];
        size_t total = 0, got;
        while ((got = r.read(buf, sizeof(buf))) > 0) total += got;
        if (static_cast<int64_t>(total) != r.frames() * r.format().blockAlign) __builtin_trap();
        r.seek(r.frames() * r.format().blockAlign / 2);
        r.read(buf, sizeof(buf));
    }
    return 0;
}

namespace {

std::vector<uint8_t> wav(int tag, int channels, int rate, int bits, const std::vector<uint8_t>& extra, uint32_t dataBytes)
{
    testfiles::WavRecipe layout;
    layout.formatTag = tag;
    layout.channels = channels;
    layout.rate = rate;
    layout.bits = bits;
    if (!extra.empty()) layout.extraChunks.push_back({"LIST", extra});
    std::vector<uint8_t> data(dataBytes);
    for (uint32_t i = 0; i < dataBytes; ++i) data[i] = static_cast<uint8_t>(i * 31);
    return testfiles::wavBytes(layout, data);
}

} // namespace

std::vector<std::vector<uint8_t>> fuzzSeeds()
{
    return {wav(1, 1, 48000, 16, {}, 512), wav(1, 2, 44100, 16, {'x', 'y', 'z'}, 400), wav(3, 1, 48000, 32, {}, 256),
            wav(1, 2, 22050, 24, {}, 300), wav(1, 1, 48000, 8, std::vector<uint8_t>(40, 1), 100)};
}
