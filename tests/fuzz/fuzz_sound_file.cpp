// The reader of recordings of every kind (libsndfile behind our own checks
// for truncated files, then the rate conversion) on any bytes.
#include "FuzzTarget.h"
#include "MemoryFile.h"

#include "../SoundFiles.h"
#include "../TestFiles.h"

#include "engine/SoundFileInput.h"

#include <cmath>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static MemoryFile file;
    const std::string& path = file.hold(data, size);
    stravik::SoundFileInput in;
    std::string error;
    if (!in.open(path, stravik::SoundFileInput::kAverageOfFirstTwo, error)) return 0;
    // The chain's rate, or the tuner's for the chain's own.
    if (!in.convertTo(in.fileRate() == 48000 ? 44100 : 48000, error)) return 0;
    double buf[512];
    int64_t total = 0;
    for (size_t got; (got = in.read(buf, 512)) > 0;) {
        total += static_cast<int64_t>(got);
        // Nothing but finite samples near full scale reaches the chain
        // (the converter's filter may ring a little beyond it).
        for (size_t i = 0; i < got; ++i)
            if (!std::isfinite(buf[i]) || std::fabs(buf[i]) > 2.0) __builtin_trap();
    }
    // No more than the file's frames at the new rate, give or take the
    // converter's rounding (when the file tells its length).
    if (in.frames() != stravik::SoundFileInput::kUnknownLength && total > in.frames() + 2) __builtin_trap();
    return 0;
}

std::vector<std::vector<uint8_t>> fuzzSeeds()
{
    std::vector<std::vector<uint8_t>> seeds;
    // 24-bit, float and stereo WAV, and what libsndfile writes as FLAC and AIFF.
    const auto tone = testfiles::sine(440.0, 0.5, 48000, 600);
    const struct {
        int format;
        int rate;
        int channels;
    } kinds[] = {{SF_FORMAT_WAV | SF_FORMAT_PCM_24, 96000, 1}, {SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 2},
                 {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1}, {SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 88200, 2}};
    const std::string path = "/tmp/stravik-fuzz-seed-" + std::to_string(::getpid());
    for (const auto& k : kinds) {
        std::vector<double> samples;
        for (double v : tone)
            for (int c = 0; c < k.channels; ++c) samples.push_back(v);
        if (testfiles::writeSound(path, k.format, k.rate, k.channels, samples)) seeds.push_back(testfiles::readFile(path));
    }
    std::remove(path.c_str());
    return seeds;
}
