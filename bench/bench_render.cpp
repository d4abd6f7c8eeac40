// The whole render of the demonstration recording (about 21 s at 48000 Hz)
// with every stage off: files in and out, the chain between. Then a batch of
// eight 60 s takes through distortion, amp and cabinet, two at a time, against
// the same eight rendered one after another. x_realtime is seconds of audio
// rendered per second.
#include "assets/DemoGuitar.h"
#include "dsp/UserMessages.h"
#include "engine/Render.h"
#include "engine/WavFile.h"

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

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

constexpr int kTakes = 8;
constexpr int kTakeSeconds = 60;

// Eight 24-bit takes of a minute each, cut from the demonstration riff played
// over and over; made once per program run, removed at its end.
struct Takes {
    std::vector<RenderBatch::Task> tasks;
    Takes()
    {
        const auto demo = assets::synthesizeDemoGuitar(48000);
        const std::string dir = std::filesystem::temp_directory_path().string();
        std::vector<double> take(static_cast<size_t>(48000 * kTakeSeconds));
        for (int k = 0; k < kTakes; ++k) {
            for (size_t i = 0; i < take.size(); ++i) take[i] = demo[(i + 7919u * k) % demo.size()] / 32768.0;
            const std::string in = dir + "/stravik-bench-take" + std::to_string(k) + ".wav";
            SF_INFO info{};
            info.samplerate = 48000;
            info.channels = 1;
            info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
            if (SNDFILE* f = sf_open(in.c_str(), SFM_WRITE, &info)) {
                sf_writef_double(f, take.data(), static_cast<sf_count_t>(take.size()));
                sf_close(f);
            }
            tasks.push_back({in, dir + "/stravik-bench-reamped" + std::to_string(k) + ".wav"});
        }
    }
    ~Takes()
    {
        for (const auto& t : tasks) std::remove(t.in.c_str());
    }
};

const std::vector<RenderBatch::Task>& takes()
{
    static const Takes made;
    return made.tasks;
}

bool reampSettings(RenderJob& job, UserMessages&)
{
    std::string error;
    for (const char* s : {"dist_enabled=1", "spkcab_enabled=1", "ir_num=1"})
        if (!job.applySetting(s, error)) return false;
    return true;
}

void reportTakes(benchmark::State& state)
{
    state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(kTakes * kTakeSeconds) * state.iterations(),
                                                      benchmark::Counter::kIsRate);
    for (const auto& t : takes()) std::remove(t.out.c_str());
}

void BM_RenderEightTakesOneAfterAnother(benchmark::State& state)
{
    SilentMessages messages;
    for (auto _ : state) {
        for (const auto& t : takes()) {
            RenderJob job(messages);
            if (!reampSettings(job, messages) || job.run(t.in, t.out, "") != RenderJob::kOk) {
                state.SkipWithError("render failed");
                return;
            }
        }
    }
    reportTakes(state);
}

void BM_RenderEightTakesAsABatchOnTwoCores(benchmark::State& state)
{
    SilentMessages messages;
    RenderBatch batch(messages, reampSettings);
    batch.setWorkers(2);
    for (auto _ : state) {
        for (int result : batch.run(takes(), "")) {
            if (result != RenderJob::kOk) {
                state.SkipWithError("render failed");
                return;
            }
        }
    }
    reportTakes(state);
}

} // namespace

BENCHMARK(BM_RenderDemoAllOff)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RenderEightTakesOneAfterAnother)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_RenderEightTakesAsABatchOnTwoCores)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
