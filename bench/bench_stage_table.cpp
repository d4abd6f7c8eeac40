// One screen of figures for the chain with every stage on at its costliest
// (bench/EveryStageRig.h), 48000 Hz stereo, 128-frame blocks, on a 60 s
// guitar recording:
//  - each stage's microseconds per block inside the running chain, its
//    real-time factor (audio time / processing time) and its p99 over the
//    blocks (which stages make the whole block's p99);
//  - the whole ProcessBlock: mean, and p50 / p99 / max of the blocks (thread
//    CPU time, so that time the machine gave to other programs is left out);
//  - the longest block right after a control changed something: an effect
//    switched on, a preset load, a cabinet change, "Max len" across the
//    length where the cabinet's convolution changes form;
//  - a whole `korvex render` of the recording as a process (CPU seconds).
// Figures on a shared machine move by some 20 %: runs are repeated and the
// best (per stage: the median) is shown.
#include "EveryStageRig.h"
#include "SliderStorm.h"
#include "StageTiming.h"

#include "assets/DemoGuitar.h"
#include "dsp/CpuFeatures.h"
#include "dsp/UserMessages.h"
#include "engine/Engine.h"
#include "engine/WavFile.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <numeric>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace stravik;
using namespace stravik::timing;

namespace {

constexpr int kRepeats = 3;

std::unique_ptr<Engine> rigEngine(UserMessages& messages, const std::vector<rig::Setting>& extra = {})
{
    auto engine = std::make_unique<Engine>(messages);
    std::string failed;
    if (!rig::apply(*engine, rig::everyStageSettings(), &failed) || !rig::apply(*engine, extra, &failed)) {
        std::fprintf(stderr, "the rig's key %s was refused\n", failed.c_str());
        std::exit(1);
    }
    return engine;
}

struct BlockTimes {
    std::vector<double> cpu;  // per block, thread CPU microseconds
    double stageMicros[TimingStages::kStageCount] = {};
    double stageP99[TimingStages::kStageCount] = {};
    double meanCpu = 0.0;
    double meanCpuUnpreempted = 0.0;
};

// The whole recording through ProcessBlock, timing every block.
BlockTimes renderRecording(const std::vector<double>& input)
{
    SilentMessages messages;
    auto engine = rigEngine(messages);
    TimingStages timed(engine->effects());
    engine->setStages(&timed);
    const dsp::cpu::ScopedFlushToZero flushToZero; // as the processing thread has it
    engine->beginRun(kRate);
    engine->running = true;
    const int blocks = static_cast<int>(input.size()) / kFrames;
    BlockTimes t;
    t.cpu.reserve(static_cast<size_t>(blocks));
    std::vector<double> stageBlocks[TimingStages::kStageCount];
    for (auto& v : stageBlocks) v.reserve(static_cast<size_t>(blocks));
    double total = 0.0, totalKept = 0.0;
    int kept = 0;
    for (int b = 0; b < blocks; ++b) {
        std::copy_n(input.data() + static_cast<size_t>(b) * kFrames, kFrames, engine->WorkBuffer);
        timed.clear();
        const double w0 = wallMicros();
        const double c0 = threadCpuMicros();
        engine->ProcessBlock(kFrames);
        const double c = threadCpuMicros() - c0;
        const double w = wallMicros() - w0;
        t.cpu.push_back(c);
        total += c;
        // The stages are timed by the clock on the wall; a block in which
        // another program had the processor would count its time too, so
        // only blocks that ran through on the processor count for them.
        if (w - c < 2.0) {
            for (int s = 0; s < TimingStages::kStageCount; ++s) stageBlocks[s].push_back(timed.micros[s]);
            totalKept += c;
            ++kept;
        }
    }
    for (int s = 0; s < TimingStages::kStageCount; ++s) {
        t.stageMicros[s] = std::accumulate(stageBlocks[s].begin(), stageBlocks[s].end(), 0.0) / std::max(kept, 1);
        t.stageP99[s] = quantile(std::move(stageBlocks[s]), 0.99);
    }
    t.meanCpu = total / blocks;
    t.meanCpuUnpreempted = totalKept / std::max(kept, 1);
    engine->running = false;
    engine->setStages(nullptr);
    return t;
}

// Runs warm-up blocks, lets control act between two blocks, and returns the
// longest of the blocks that follow (designs handed to the worker may land a
// few blocks later).
template <typename Control>
double longestBlockAfter(const std::vector<rig::Setting>& start, Control&& control)
{
    SilentMessages messages;
    auto engine = rigEngine(messages, start);
    const dsp::cpu::ScopedFlushToZero flushToZero;
    engine->beginRun(kRate);
    engine->running = true;
    int at = 0;
    const auto block = [&](const double* in) {
        std::copy_n(in, kFrames, engine->WorkBuffer);
        const double c0 = threadCpuMicros();
        engine->ProcessBlock(kFrames);
        return threadCpuMicros() - c0;
    };
    static const std::vector<double> tone = [] {
        std::vector<double> v(static_cast<size_t>(kRate));
        const auto g = assets::synthesizeDemoGuitar(kRate);
        for (size_t i = 0; i < v.size(); ++i) v[i] = g[i] / 32768.0;
        return v;
    }();
    const auto next = [&] {
        const double* in = tone.data() + at;
        at = (at + kFrames) % (kRate - kFrames);
        return block(in);
    };
    for (int i = 0; i < 40; ++i) next();
    control(*engine);
    double longest = 0.0;
    for (int i = 0; i < 40; ++i) longest = std::max(longest, next());
    engine->running = false;
    return longest;
}

struct SwitchCase {
    const char* label;
    std::vector<rig::Setting> off;
    std::vector<rig::Setting> on;
};

std::filesystem::path buildDir()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path();
}

// `korvex render` of the recording with the rig, as a process; returns its
// user + system CPU seconds (children's rusage), or -1.
double korvexRenderCpuSeconds(const std::vector<double>& input)
{
    const auto dir = std::filesystem::temp_directory_path() / ("stravik-table-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir / "config");
    const std::string in = (dir / "guitar60.wav").string(), out = (dir / "out.wav").string();
    {
        WavWriter w;
        if (!w.create(in, WavFormat::pcm16(1, kRate))) return -1.0;
        std::vector<int16_t> pcm(input.size());
        for (size_t i = 0; i < input.size(); ++i) pcm[i] = static_cast<int16_t>(input[i] * 32768.0);
        w.append(pcm.data(), pcm.size());
        w.close();
    }
    std::vector<std::string> args = {(buildDir() / "korvex").string(), "render", "--in", in, "--out", out, "--force"};
    for (const auto& [k, v] : rig::everyStageSettings()) {
        args.push_back("--set");
        args.push_back(k + "=" + v);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = {"XDG_CONFIG_HOME=" + (dir / "config").string()};
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("XDG_CONFIG_HOME=", 0) != 0) envStrings.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    double seconds = -1.0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
        int status = 0;
        rusage use{};
        if (wait4(pid, &status, 0, &use) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            seconds = use.ru_utime.tv_sec + use.ru_utime.tv_usec / 1e6 + use.ru_stime.tv_sec + use.ru_stime.tv_usec / 1e6;
    }
    posix_spawn_file_actions_destroy(&actions);
    std::filesystem::remove_all(dir);
    return seconds;
}

double median(std::vector<double> v) { return quantile(std::move(v), 0.5); }

} // namespace

int main()
{
    const std::vector<double> recording = sixtySecondGuitar();

    // The recording, a few times over: per stage the median of the runs,
    // for the blocks the run with the lowest mean.
    std::vector<BlockTimes> runs;
    for (int r = 0; r < kRepeats; ++r) runs.push_back(renderRecording(recording));
    size_t best = 0;
    for (size_t r = 1; r < runs.size(); ++r)
        if (runs[r].meanCpu < runs[best].meanCpu) best = r;
    const BlockTimes& blocks = runs[best];

    std::printf("Every stage on at its costliest, %d Hz stereo, %d-frame blocks (%.1f us), 60 s of guitar\n", kRate,
                kFrames, kBlockMicros);
    std::printf("  %-36s %10s %12s %8s\n", "stage", "us/block", "x real time", "p99 us");
    double stagesTotal = 0.0;
    for (int s = 0; s < TimingStages::kStageCount; ++s) {
        std::vector<double> v, p99;
        for (const auto& r : runs) {
            v.push_back(r.stageMicros[s]);
            p99.push_back(r.stageP99[s]);
        }
        const double us = median(v);
        stagesTotal += us;
        std::printf("  %-36s %10.2f %12.0f %8.1f\n", TimingStages::name(s), us, us > 0 ? kBlockMicros / us : 0.0,
                    median(p99));
    }
    std::vector<double> means;
    for (const auto& r : runs) means.push_back(r.meanCpu);
    const double chain = *std::min_element(means.begin(), means.end());
    std::vector<double> kept;
    for (const auto& r : runs) kept.push_back(r.meanCpuUnpreempted);
    std::printf("  %-36s %10.2f %12s\n", "rest: oversampling, limiter, output", std::max(0.0, median(kept) - stagesTotal),
                "");
    std::printf("  %-36s %10.2f %12.1f\n", "whole ProcessBlock (CPU)", chain, kBlockMicros / chain);
    std::printf("  blocks over the 60 s: p50 %.1f us, p99 %.1f us, max %.1f us (thread CPU time)\n",
                quantile(blocks.cpu, 0.5), quantile(blocks.cpu, 0.99), quantile(blocks.cpu, 1.0));

    // The block right after a control acts.
    const std::vector<SwitchCase> switches = {
        {"distortion", {{"dist_enabled", "0"}}, {{"dist_enabled", "1"}}},
        {"amp", {{"spkcab_enabled", "0"}}, {{"spkcab_enabled", "1"}}},
        {"input eq", {{"ictrl_enabled", "0"}}, {{"ictrl_enabled", "1"}}},
        {"output eq", {{"octrl_enabled", "0"}}, {{"octrl_enabled", "1"}}},
        {"pitch", {{"pitch_enabled", "0"}}, {{"pitch_enabled", "1"}}},
        {"wah", {{"wah_enabled", "0"}, {"ewah_enabled", "0"}}, {{"wah_enabled", "1"}, {"ewah_enabled", "1"}}},
        {"phaser", {{"phaser_enabled", "0"}}, {{"phaser_enabled", "1"}}},
        {"chorus", {{"chorus_enabled", "0"}}, {{"chorus_enabled", "1"}}},
        {"echo", {{"echo_enabled", "0"}}, {{"echo_enabled", "1"}}},
        {"reverb", {{"rev_enabled", "0"}}, {{"rev_enabled", "1"}}},
        {"compressors", {{"icompr_enabled", "0"}, {"ocompr_enabled", "0"}},
         {{"icompr_enabled", "1"}, {"ocompr_enabled", "1"}}},
        {"swell", {{"swell_enabled", "0"}}, {{"swell_enabled", "1"}}},
        {"tremolo", {{"trem_enabled", "0"}}, {{"trem_enabled", "1"}}},
    };
    double worstSwitch = 0.0;
    const char* worstName = "";
    std::string eachSwitch;
    size_t lineLength = 36;
    for (const auto& sw : switches) {
        double us = 1e300;
        for (int r = 0; r < kRepeats; ++r)
            us = std::min(us, longestBlockAfter(sw.off, [&](Engine& e) {
                rig::apply(e, sw.on);
                storm::switchedOn(e, sw.on);
            }));
        if (us > worstSwitch) {
            worstSwitch = us;
            worstName = sw.label;
        }
        char item[48];
        std::snprintf(item, sizeof item, "%s%s %.0f", eachSwitch.empty() ? "" : ", ", sw.label, us);
        if (lineLength + std::strlen(item) > 100) {
            eachSwitch += ",\n     ";
            lineLength = 5;
            std::snprintf(item, sizeof item, "%s %.0f", sw.label, us);
        }
        eachSwitch += item;
        lineLength += std::strlen(item);
    }
    const auto bestOf = [&](auto&& control) {
        double us = 1e300;
        for (int r = 0; r < kRepeats; ++r) us = std::min(us, longestBlockAfter({}, control));
        return us;
    };
    const double presetLoad = bestOf([](Engine& e) { storm::loadPreset(e, rig::everyStageSettings()); });
    const double cabinetChange = bestOf([](Engine& e) {
        e.setParameter("ir_num", "13");
    });
    const double maxLenAcross = bestOf([](Engine& e) {
        e.setParameter("MaxPulseCnt", "500");
        e.effects().ampUnit.maxPulseCountChanged();
    });
    std::printf("  longest block after: switching on %.1f us (%s), a preset load %.1f us,\n", worstSwitch, worstName,
                presetLoad);
    std::printf("    a cabinet change %.1f us, Max len 4000 -> 500 %.1f us\n", cabinetChange, maxLenAcross);
    std::printf("    each effect switched on (us): %s\n", eachSwitch.c_str());

    const storm::Result shaken = storm::run(std::chrono::seconds(3));
    std::printf("  slider storm (every control of every effect from another thread, 3 s):\n");
    std::printf("    %ld blocks, %ld changes: longest block %.1f us, p99 %.1f us (thread CPU), longest by the\n"
                "    clock %.1f us; blocks in which the audio thread had to wait: %ld\n",
                shaken.blocks, shaken.changes, shaken.longestMicros, shaken.p99Micros, shaken.longestWallMicros,
                shaken.waitedBlocks);

    double cpu = 1e300;
    for (int r = 0; r < 2; ++r) {
        const double s = korvexRenderCpuSeconds(recording);
        if (s >= 0.0) cpu = std::min(cpu, s);
    }
    if (cpu < 1e300)
        std::printf("  korvex render of the 60 s recording: %.2f s CPU (%.0f x real time)\n", cpu, 60.0 / cpu);
    else
        std::printf("  korvex render of the 60 s recording: failed\n");
    return 0;
}
