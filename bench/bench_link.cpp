// The plug-in link's cost per host block, at host blocks of 64, 128, 512 and
// 2048 frames:
// - KorvexSide: what korvex does with one host block (the mix to mono, the
//   chain in pieces of 128 frames with every effect off, the write-back);
// - HostCall: the host's whole processReplacing through Brelt.so and a real
//   korvex process (the crossing both ways, korvex's side included).
// HostCall minus KorvexSide is what the crossing itself costs. Both run with
// every effect off, so the chain's own cost stays small. HostCall also reports
// latency_frames: how far an impulse moves on its way (the link adds none).
#include "dsp/UserMessages.h"
#include "engine/Engine.h"
#include "link/KorvexLink.h"
#include "link/host/TestHost.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

using namespace stravik;

namespace {

std::vector<float> tone(int frames)
{
    std::vector<float> v(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) v[static_cast<size_t>(i)] = static_cast<float>(0.3 * std::sin(0.05 * i));
    return v;
}

void BM_KorvexSide(benchmark::State& state)
{
    const int frames = static_cast<int>(state.range(0));
    SilentMessages messages;
    auto engine = std::make_unique<Engine>(messages);
    engine->vstMode = true;
    engine->beginRun(48000);
    const auto in = tone(frames);
    std::vector<float> left(in), right(in);
    for (auto _ : state) {
        std::copy(in.begin(), in.end(), left.begin());
        std::copy(in.begin(), in.end(), right.begin());
        link::processHostBlock(*engine, left.data(), right.data(), frames);
        benchmark::DoNotOptimize(left.data());
    }
    state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_KorvexSide)->Arg(64)->Arg(128)->Arg(512)->Arg(2048);

// One plug-in instance and its korvex for all sizes: korvex starts once.
struct LinkedInstance {
    std::string home;
    std::string section = "/stravik-brelt-bench-" + std::to_string(getpid());
    std::unique_ptr<link::host::PluginLibrary> library;
    vst2::Effect* effect = nullptr;

    LinkedInstance()
    {
        char pattern[] = "/tmp/stravik-bench-XXXXXX";
        home = mkdtemp(pattern) ? pattern : "/tmp";
        setenv("XDG_CONFIG_HOME", home.c_str(), 1); // korvex's settings: the start values
        setenv(link::kSectionNameVariable, section.c_str(), 1);
        const auto exe = std::filesystem::read_symlink("/proc/self/exe");
        library = std::make_unique<link::host::PluginLibrary>((exe.parent_path().parent_path() / "Brelt.so").string());
        if (!library->ok()) return;
        effect = library->instantiate();
        if (effect) link::host::startInstance(effect, 48000, 2048);
    }
    ~LinkedInstance()
    {
        if (effect) link::host::closeInstance(effect);
        library.reset();
        shm_unlink(section.c_str());
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
    }
};

void BM_HostCall(benchmark::State& state)
{
    static LinkedInstance linked;
    if (linked.effect == nullptr) {
        state.SkipWithError("Brelt.so or korvex could not be started");
        return;
    }
    const int frames = static_cast<int>(state.range(0));
    // The added latency: where an impulse comes back (0: in the same call,
    // at the same frame).
    std::vector<float> impulse(static_cast<size_t>(frames), 0.0f), outL(impulse.size()), outR(impulse.size());
    impulse[static_cast<size_t>(frames / 2)] = 0.5f;
    link::host::process(linked.effect, impulse.data(), impulse.data(), outL.data(), outR.data(), frames);
    const auto peak = std::max_element(outL.begin(), outL.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); });
    state.counters["latency_frames"] = static_cast<double>(peak - outL.begin() - frames / 2);
    auto in = tone(frames);
    for (auto _ : state) {
        link::host::process(linked.effect, in.data(), in.data(), outL.data(), outR.data(), frames);
        benchmark::DoNotOptimize(outL.data());
    }
    state.SetItemsProcessed(state.iterations() * frames);
}
BENCHMARK(BM_HostCall)->Arg(64)->Arg(128)->Arg(512)->Arg(2048)->UseRealTime();

} // namespace
