// Writes the demonstration guitar recording: make_demo_recording OUT.wav [RATE]
#include "assets/DemoGuitar.h"
#include "engine/WavFile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    const char* const usage = "usage: make_demo_recording OUT.wav [RATE]\n";
    const bool help = argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
    if (help) {
        std::fputs(usage, stdout);
        return 0;
    }
    // Anything else that looks like an option is refused rather than taken
    // for the name of the file to write.
    if (argc < 2 || argc > 3 || argv[1][0] == '-') {
        std::fputs(usage, stderr);
        return 2;
    }
    const int rate = argc == 3 ? std::atoi(argv[2]) : 48000;
    if (rate != 22050 && rate != 44100 && rate != 48000) {
        std::fputs("make_demo_recording: RATE must be 22050, 44100 or 48000\n", stderr);
        return 2;
    }
    const auto samples = stravik::assets::synthesizeDemoGuitar(rate);
    stravik::WavWriter w;
    if (!w.create(argv[1], stravik::WavFormat::pcm16(1, rate))) {
        std::fprintf(stderr, "make_demo_recording: cannot create %s\n", argv[1]);
        return 1;
    }
    w.append(samples.data(), samples.size());
    if (!w.close()) {
        std::fprintf(stderr, "make_demo_recording: error writing %s\n", argv[1]);
        return 1;
    }
    std::printf("%s: %.1f s of clean guitar at %d Hz\n", argv[1], static_cast<double>(samples.size()) / rate, rate);
    return 0;
}
