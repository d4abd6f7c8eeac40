// The whole render of the demonstration recording (about 21 s at 48000 Hz)
// with every stage off: files in and out, the chain between. x_realtime is
// seconds of audio rendered per second.
#include "assets/DemoGuitar.h"
#include "dsp/UserMessages.h"
#include "engine/Render.h"
#include "engine/WavFile.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

using namespace stravik;

namespace {

void BM_RenderDemoAllOff(benchmark::State& state)
{
    const auto demo = assets::synthesizeDemoGuitar(48000);
    const std::string dir = std::filesystem::temp_directory_path().string();
    const std::string in = dir + "/stravik-bench-demo.wav";
    const std::string out = dir + "/stravik-bench-out.wav";
    {
        WavWriter w;
        if (!w.create(in, WavFormat::pcm16(1, 48000))) {
            state.SkipWithError("cannot write the demonstration file");
            return;
        }
        w.append(demo.data(), demo.size());
        w.close();
    }
    SilentMessages messages; // answers the overwrite question with yes
    for (auto _ : state) {
        RenderJob job(messages);
        std::string error;
        job.applySetting("stereo=0", error);
        if (job.run(in, out, "") != RenderJob::kOk) {
            state.SkipWithError("render failed");
            break;
        }
    }
    state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(demo.size()) / 48000.0 * state.iterations(),
                                                      benchmark::Counter::kIsRate);
    std::remove(in.c_str());
    std::remove(out.c_str());
}

} // namespace

BENCHMARK(BM_RenderDemoAllOff)->Unit(benchmark::kMillisecond)->UseRealTime();
