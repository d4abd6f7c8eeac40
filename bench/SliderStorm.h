#pragma once
// A storm of control changes: another thread moves every slider, list and
// check box of every effect as fast as it can, with the calls the pages make
// (prepares, redesigns, response loads, "Max len", the wah pedal, the reverb
// switched on), while the chain runs. The threaded test runs it under
// ThreadSanitizer; the table benchmark reports the longest block it causes.
#include "EveryStageRig.h"
#include "StageTiming.h"

#include "dsp/CpuFeatures.h"
#include "dsp/UserMessages.h"
#include "engine/ParameterTable.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace stravik::storm {

// What the effect list and the pages do besides setting the value when an
// effect is switched on.
inline void switchedOn(Engine& e, const std::vector<rig::Setting>& on)
{
    auto& fx = e.effects();
    for (const auto& [key, value] : on) {
        if (value != "1") continue;
        if (key == "rev_enabled") {
            fx.reverbUnit.prepare();
            fx.reverbUnit.clear();
        } else if (key == "wah_enabled" || key == "ewah_enabled") {
            fx.wahUnit.updateCoefficients();
        } else if (key == "chorus_enabled") {
            fx.chorusUnit.clearGlideFlag();
        }
    }
}

// A preset load as the preset store does it: the chain plays silence while
// the values change, then each section recomputes.
inline void loadPreset(Engine& e, const std::vector<rig::Setting>& values)
{
    const Engine::PresetLoadGuard loading(e);
    for (const auto& [key, value] : values) {
        int index = 0;
        if (const KeyInfo* k = findKey(key, &index)) setFromText(e, *k, index, value);
    }
    e.effects().distortionUnit.invalidateTable();
    for (Section s : {Section::distortion, Section::ioctrl, Section::wah, Section::chorus, Section::reverb,
                      Section::echo, Section::phaser, Section::pitch, Section::spkcab})
        e.prepareSection(s);
}

// One control: a key and how to pick a value for it the way its control
// would (lo..hi, whole numbers when step is 1, a choice otherwise).
struct Slider {
    const char* key;
    double lo, hi;
    bool whole;
};

inline const std::vector<Slider>& sliders()
{
    static const std::vector<Slider> s = {
        {"dist_drive", 0, 1000, false}, {"dist_clip", 0, 3, true}, {"dist_lpfreq", 100, 16000, true},
        {"dist_lpq", 0.1, 2, false}, {"dist_mode", 0, 2, true}, {"dist_awah", 0, 1, true},
        {"dist_fbon", 0, 1, true}, {"dist_fb", 0, 1, false}, {"dist_afterwah", 0, 1, true},
        {"dist_dry_mix", 0, 1, false},
        {"echo_delay", 0.01, 2, false}, {"echo_fb", 0, 0.8, false}, {"echo_lpass", 0, 1, true},
        {"echo_lpfreq", 100, 8000, true}, {"echo_2tap", 0, 1, true}, {"echo_2tapdel", 0.01, 1, false},
        {"echo_2tapspread", 0, 1, false}, {"echo_dry", 0, 1, false},
        {"ictrl_eqtype", 0, 4, true}, {"ictrl_bass", 0, 1, false}, {"ictrl_mid", 0, 1, false},
        {"ictrl_treble", 0, 1, false}, {"ictrl_equ0", 0, 1, false}, {"ictrl_equ2", 0, 1, false},
        {"ictrl_equ4", 0, 1, false}, {"i_gequ_y0", -20, 20, false}, {"i_gequ_y2", -20, 20, false},
        {"i_gequ_y4", -20, 20, false},
        {"octrl_eqtype", 0, 4, true}, {"octrl_bass", 0, 1, false}, {"octrl_treble", 0, 1, false},
        {"octrl_equ1", 0, 1, false}, {"octrl_equ3", 0, 1, false}, {"o_gequ_y1", -20, 20, false},
        {"o_gequ_y3", -20, 20, false}, {"io_hiss", 0, 1, true}, {"io_50hz", 0, 1, true},
        {"nf_tresh", -100, 0, true}, {"nf_ratio", 1, 10, false},
        {"pitch_oct", 0.5, 2, false}, {"pitch_type", 0, 4, true}, {"pitch_dry", 0, 1, false},
        {"rev_room", 0, 1, false}, {"rev_amp", 0, 1, false}, {"rev_lfabs", 0, 1, true},
        {"rev_hfabs", 0, 1, true}, {"rev_fron", 0, 1, true}, {"rev_frdelay", 0.01, 0.1, false},
        {"rev_frvolume", 0, 1, false}, {"rev_predelay", 0, 300, true},
        {"wah_f1", 300, 4000, true}, {"wah_f2", 300, 4000, true}, {"wah_auto", 0, 4, true},
        {"wah_range", 0, 1, false}, {"wah_sel", 1, 10, true}, {"wah_period", 0.3, 5, false},
        {"wah_mode", 0, 3, true},
        {"chorus_delay", 0, 0.08, false}, {"chorus_depth", 0, 0.05, false}, {"chorus_fb", 0, 0.8, false},
        {"chorus_wet", 0, 1, false}, {"chorus_period", 0.1, 10, false}, {"chorus_voices", 1, 3, true},
        {"chorus_stereo", 0, 1, true}, {"chorus_sdepth", 0, 0.1, false},
        {"trem_period", 0.01, 3, false}, {"trem_level", 0, 1, false}, {"trem_lfo", 0, 2, true},
        {"ewah_f1", 300, 4000, true}, {"ewah_f2", 300, 4000, true}, {"ewah_f3", 300, 4000, true},
        {"ewah_gain", 0, 1, false}, {"ewah_q", 0.01, 10, false}, {"ewah_log", 0, 1, true},
        {"ewah_peak", 0, 1, true}, {"ewah_peakmode", 0, 1, true}, {"ewah_mode", 0, 3, true},
        {"compr_i", 0, 1, false}, {"compr_o", 0, 1, false}, {"compr_treshi", -30, 0, true},
        {"compr_tresho", -30, 0, true}, {"compr_iattime", 0, 0.25, false}, {"compr_oattime", 0, 0.25, false},
        {"ocompr_beforeamp", 0, 1, true},
        {"phaser_delay", 100, 4000, true}, {"phaser_depth", 0, 100, true}, {"phaser_period", 0.1, 10, false},
        {"phaser_fb", 0, 0.8, false}, {"phaser_wet", 0, 1, false}, {"phaser_analog", 0, 1, true},
        {"phaser_filt_stages", 1, 5, true}, // x 2 below
        {"spk_gain", -20, 25, true}, {"spk_gain2", 0, 100, true}, {"actrl_eqtype", 0, 4, true},
        {"actrl_bass", 0, 1, false}, {"actrl_mid", 0, 1, false}, {"actrl_equ2", 0, 1, false},
        {"a_gequ_y1", -20, 20, false}, {"a_gequ_y2", -20, 20, false}, {"ir_num", 0, 14, true},
        {"preamp_stage", 0, 1, true}, {"spk_dist_enabled", 0, 1, true}, {"MaxPulseCnt", 500, 16000, true},
        {"swell_place", 0, 1, true}, {"swell_sense", -100, 0, true}, {"swell_attack", 0, 1, false},
    };
    return s;
}

// The effects' on/off switches (moved only when asked to).
inline const std::vector<const char*>& switches()
{
    static const std::vector<const char*> s = {
        "dist_enabled", "spkcab_enabled", "ictrl_enabled", "octrl_enabled", "nf_enabled", "pitch_enabled",
        "wah_enabled", "ewah_enabled", "phaser_enabled", "chorus_enabled", "echo_enabled", "rev_enabled",
        "icompr_enabled", "ocompr_enabled", "swell_enabled", "trem_enabled"};
    return s;
}

// Changes one thing on a running engine, picked by rng; returns nothing
// the caller needs. Runs on the control thread.
class Controller {
public:
    Controller(Engine& e, bool includeSwitches, unsigned seed) : e_(e), switches_(includeSwitches), rng_(seed) {}

    void step()
    {
        auto& fx = e_.effects();
        const int what = pick(0, 9);
        if (what < 7) {
            const auto& all = sliders();
            const Slider& s = all[static_cast<size_t>(pick(0, static_cast<int>(all.size()) - 1))];
            double v = s.whole ? pick(static_cast<int>(s.lo), static_cast<int>(s.hi))
                               : std::uniform_real_distribution<double>(s.lo, s.hi)(rng_);
            std::string key = s.key;
            if (key == "phaser_filt_stages") v *= 2;
            char text[32];
            std::snprintf(text, sizeof text, s.whole ? "%.0f" : "%g", v);
            e_.setParameter(key, text);
            // What the pages call besides the engine's own recompute.
            if (key == "MaxPulseCnt") fx.ampUnit.maxPulseCountChanged();
            if (key.rfind("dist_", 0) == 0) fx.distortionUnit.slidersChanged(true);
            if (key.rfind("chorus_", 0) == 0) {
                fx.chorusUnit.setGlideFlag();
                fx.chorusUnit.prepare();
            }
            if (key.rfind("rev_", 0) == 0) fx.reverbUnit.prepare();
            if (key == "echo_lpfreq") fx.echoUnit.redesignLowPass();
            if (key.rfind("phaser_", 0) == 0) fx.phaserUnit.prepare(e_.params.phaser.phaser_analog);
            if (key.rfind("pitch_", 0) == 0 && key != "pitch_dry") fx.pitchUnit.prepare();
            if (key == "spk_gain" || key == "spk_gain2") fx.ampUnit.updateGains();
        } else if (what == 7) {
            // The wah pedal and the MIDI controller.
            fx.wahUnit.setPedalFrequency(pick(300, 4000));
            fx.wahUnit.setControllerPosition(pick(0, 100) / 100.0);
            fx.wahUnit.updateCoefficients();
        } else if (what == 8) {
            fx.reverbUnit.prepare();
            fx.reverbUnit.clear();
            fx.ampUnit.selectListEntry(pick(0, 14));
        } else if (switches_) {
            const auto& all = switches();
            const char* key = all[static_cast<size_t>(pick(0, static_cast<int>(all.size()) - 1))];
            const std::string value = pick(0, 3) == 0 ? "0" : "1";
            e_.setParameter(key, value);
            switchedOn(e_, {{key, value}});
        } else {
            loadPreset(e_, rig::everyStageSettings());
        }
        ++changes;
    }

    long changes = 0;

private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    Engine& e_;
    bool switches_;
    std::mt19937 rng_;
};

struct Result {
    long blocks = 0;
    long changes = 0;
    double longestMicros = 0.0;     // thread CPU time
    double p99Micros = 0.0;
    double longestWallMicros = 0.0; // includes time other programs took
    long waitedBlocks = 0;          // blocks in which the audio thread slept (a lock, a wait)
};

// Times the audio thread gave up the processor of its own accord: a lock it
// had to wait for, a sleep, a blocking call.
inline long voluntarySwitches()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_nvcsw;
}

// The rig on the guitar for the given time, with a control thread storming
// it; the blocks' thread CPU times.
inline Result run(std::chrono::milliseconds duration, bool includeSwitches = false)
{
    SilentMessages messages;
    auto engine = std::make_unique<Engine>(messages);
    rig::apply(*engine, rig::everyStageSettings());
    const dsp::cpu::ScopedFlushToZero flushToZero;
    engine->beginRun(timing::kRate);
    engine->running = true;
    const std::vector<double> input = timing::sixtySecondGuitar();
    std::atomic<bool> stop{false};
    long changes = 0;
    std::thread control([&] {
        Controller c(*engine, includeSwitches, 1234);
        while (!stop.load(std::memory_order_relaxed)) c.step();
        changes = c.changes;
    });
    std::vector<double> times;
    double longestWall = 0.0;
    long waited = 0;
    const auto end = std::chrono::steady_clock::now() + duration;
    size_t at = 0;
    while (std::chrono::steady_clock::now() < end) {
        std::copy_n(input.data() + at, timing::kFrames, engine->WorkBuffer);
        at = (at + timing::kFrames) % (input.size() - timing::kFrames);
        const long s0 = voluntarySwitches();
        const double w0 = timing::wallMicros();
        const double t0 = timing::threadCpuMicros();
        engine->ProcessBlock(timing::kFrames);
        times.push_back(timing::threadCpuMicros() - t0);
        longestWall = std::max(longestWall, timing::wallMicros() - w0);
        if (voluntarySwitches() != s0) ++waited;
    }
    stop = true;
    control.join();
    engine->running = false;
    Result r;
    r.blocks = static_cast<long>(times.size());
    r.changes = changes;
    r.longestMicros = timing::quantile(times, 1.0);
    r.p99Micros = timing::quantile(times, 0.99);
    r.longestWallMicros = longestWall;
    r.waitedBlocks = waited;
    return r;
}

} // namespace stravik::storm
