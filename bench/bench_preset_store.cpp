// The preset store at the sizes of a collector: importing preset files of
// 10,000 and 100,000 presets into a new store, and listing and loading from
// a store of 10,000 presets (a load is what a MIDI program change costs the
// MIDI thread).
#include "dsp/UserMessages.h"
#include "engine/Engine.h"
#include "presets/EngineEffects.h"
#include "presets/PresetFile.h"
#include "presets/PresetStore.h"
#include "presets/RegistryStore.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace stravik;

namespace {

const std::string kDemo = std::string(STRAVIK_SOURCE_DIR) + "/assets/demo.fxp";

std::string scratch(const std::string& name)
{
    return std::filesystem::temp_directory_path().string() + "/stravik-bench-" + std::to_string(getpid()) + "-" + name;
}

void removeStore(const std::string& path)
{
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
}

// A preset file of count presets: the demonstration presets over and over
// under new names (about 39 values each).
std::string writeBigFile(int count)
{
    RegistryStore demo(":memory:");
    SilentMessages quiet;
    importPresetFile(demo, kDemo, false, true, quiet);
    const auto names = demo.subKeys("presets");
    std::ostringstream text;
    text << ";**** Stravik presets file ****;\r\n";
    for (int i = 0; i < count; ++i) {
        const std::string& from = names[static_cast<size_t>(i) % names.size()];
        text << "[" << from << " " << i << "]\r\n";
        for (const auto& [k, v] : demo.values("presets\\" + from)) text << k << "=" << v << "\r\n";
        text << "\r\n";
    }
    const std::string path = scratch(std::to_string(count) + ".fxp");
    std::ofstream(path, std::ios::binary) << text.str();
    return path;
}

void BM_ImportPresets(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    const std::string file = writeBigFile(count);
    const std::string store = scratch("import.sqlite3");
    SilentMessages quiet;
    for (auto _ : state) {
        state.PauseTiming();
        removeStore(store);
        state.ResumeTiming();
        RegistryStore s(store, &quiet);
        int imported = 0;
        if (importPresetFile(s, file, false, true, quiet, &imported) != 0 || imported != count) {
            state.SkipWithError("import failed");
            break;
        }
    }
    state.counters["presets_per_s"] = benchmark::Counter(static_cast<double>(count) * state.iterations(),
                                                         benchmark::Counter::kIsRate);
    removeStore(store);
    std::remove(file.c_str());
}
BENCHMARK(BM_ImportPresets)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(1);

// A store of 10,000 presets, made once for the list and load benchmarks.
const std::string& bigStore()
{
    static const std::string path = [] {
        const std::string file = writeBigFile(10000);
        const std::string store = scratch("10000.sqlite3");
        removeStore(store);
        SilentMessages quiet;
        RegistryStore s(store, &quiet);
        importPresetFile(s, file, false, true, quiet);
        std::remove(file.c_str());
        std::atexit([] { removeStore(scratch("10000.sqlite3")); });
        return store;
    }();
    return path;
}

void BM_ListPresetsOf10000(benchmark::State& state)
{
    SilentMessages quiet;
    RegistryStore s(bigStore(), &quiet, RegistryStore::Access::ReadOnly);
    Engine engine(quiet);
    EngineEffects effects(engine);
    PresetStore presets(engine, s, quiet, effects);
    for (auto _ : state) benchmark::DoNotOptimize(presets.ListPresets());
}
BENCHMARK(BM_ListPresetsOf10000)->Unit(benchmark::kMillisecond);

void BM_LoadPresetFrom10000(benchmark::State& state)
{
    SilentMessages quiet;
    RegistryStore s(bigStore(), &quiet, RegistryStore::Access::ReadOnly);
    Engine engine(quiet);
    EngineEffects effects(engine);
    PresetStore presets(engine, s, quiet, effects);
    const auto list = presets.ListPresets();
    const std::string names[] = {list.at(0), list.at(1234), list.at(5000), list.at(9999)};
    size_t i = 0;
    for (auto _ : state)
        if (presets.LoadPreset(names[i++ % 4], false) != 0) state.SkipWithError("load failed");
}
BENCHMARK(BM_LoadPresetFrom10000)->Unit(benchmark::kMicrosecond);

} // namespace
