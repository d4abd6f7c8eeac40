// The impulse-response library reader on any bytes: an archive is either
// refused with a message or gives a table whose entries unpack into finite
// samples (or fail to unpack, cleanly), and a cabinet loads what unpacks.
#include "FuzzTarget.h"

#include "dsp/UserMessages.h"
#include "effects/tone/CabinetConvolver.h"
#include "effects/tone/ImpulseResponseFormat.h"
#include "effects/tone/ImpulseResponseLibrary.h"

#include <minizip/zip.h>

#include <cmath>
#include <cstdio>
#include <span>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace stravik::effects;
    static stravik::SilentMessages messages;
    static std::vector<uint8_t> scratch(ImpulseResponseLibrary::kScratchBytes);
    static std::vector<double> out(64001);
    static CabinetConvolver cabinet(messages);
    ImpulseResponseLibrary lib;
    lib.open(std::span<const uint8_t>(data, size), messages);
    // A few entries per input: enough to reach every path of an unpack.
    for (int i = 0; i < lib.count() && i < 3; ++i) {
        const auto& e = lib.entry(i);
        if (e.sampleRate <= 0 || e.sampleCount <= 0 || e.name.size() > irformat::kMaxNameBytes) __builtin_trap();
        out[64000] = 777.0;
        UnpackedResponse info;
        if (lib.unpack(i, scratch.data(), out.data(), 64000, info)) {
            if (info.sampleCount < 1 || info.sampleCount > 64000 || info.sampleCount > info.storedCount) __builtin_trap();
            if (info.code != e.code || info.sampleRate != e.sampleRate) __builtin_trap();
            for (int k = 0; k < info.sampleCount; ++k)
                if (!std::isfinite(out[static_cast<size_t>(k)])) __builtin_trap();
        }
        if (out[64000] != 777.0) __builtin_trap();
    }
    if (lib.count() > 0 && lib.entry(0).sampleCount <= 8000 && cabinet.loadLibrary(lib, 0, 48000, 4000)) {
        double block[64];
        for (int i = 0; i < 64; ++i) block[i] = (i % 7) * 0.1 - 0.3;
        cabinet.process(block, 64);
        for (double v : block)
            if (!std::isfinite(v)) __builtin_trap();
    }
    return 0;
}

namespace {

// A small library written with minizip (to a file, read back).
std::vector<uint8_t> archive(const std::vector<std::vector<uint8_t>>& members, bool stored)
{
    const std::string path = "/tmp/stravik-fuzz-ir-seed-" + std::to_string(getpid()) + ".zip";
    zipFile zf = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (!zf) return {};
    int n = 0;
    for (const auto& m : members) {
        zip_fileinfo info{};
        const std::string name = "m" + std::to_string(n++);
        zipOpenNewFileInZip64(zf, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, stored ? 0 : Z_DEFLATED,
                              stored ? 0 : 6, 0);
        zipWriteInFileInZip(zf, m.data(), static_cast<unsigned>(m.size()));
        zipCloseFileInZip(zf);
    }
    zipClose(zf, nullptr);
    std::vector<uint8_t> bytes;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        int c;
        while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<uint8_t>(c));
        std::fclose(f);
    }
    std::remove(path.c_str());
    return bytes;
}

std::vector<uint8_t> member(int code, int rate, int count)
{
    std::vector<float> s(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) s[static_cast<size_t>(i)] = static_cast<float>(std::exp(-0.05 * i) * ((i & 1) ? 0.5 : -0.3));
    return stravik::effects::irformat::encodeMember(code, rate, "seed " + std::to_string(code), s.data(), count);
}

} // namespace

std::vector<std::vector<uint8_t>> fuzzSeeds()
{
    const auto builtIn = stravik::effects::builtInIrArchive();
    return {archive({member(101, 48000, 40), member(0, 44100, 30)}, false),
            archive({member(5, 22050, 25), member(6, 48000, 20), member(7, 96000, 10)}, true),
            std::vector<uint8_t>(builtIn.begin(), builtIn.end())};
}
