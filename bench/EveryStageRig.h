#pragma once
// The heaviest setting the chain can be given: every stage on, each in its
// costliest form (distortion mode with saturation, graphic equalisers on
// input, output and amp, preamp and speaker model, three-voice stereo chorus,
// the analog phaser with 10 stages, the pitch shifter's longest segments,
// both wahs, both compressors, swell, echo spread, reverb, limiter), stereo
// output, the cabinet at its default 4000 samples. The benchmarks measure
// it, the storm test shakes it and the reference test checks its sound.
#include "engine/Engine.h"

#include <string>
#include <utility>
#include <vector>

namespace stravik::rig {

using Setting = std::pair<std::string, std::string>;

inline std::vector<Setting> everyStageSettings()
{
    std::vector<Setting> s = {
        {"stereo", "1"}, {"EnableLimiter", "1"}, {"BeepOnStart", "0"}, {"MaxPulseCnt", "4000"},
        // Input: gate, graphic equaliser, hiss and hum filters.
        {"nf_enabled", "1"}, {"nf_tresh", "-60"}, {"io_hiss", "1"}, {"io_50hz", "1"},
        {"ictrl_enabled", "1"}, {"ictrl_eqtype", "4"}, {"i_gequ_cnt", "5"},
        {"i_gequ_x0", "80"}, {"i_gequ_y0", "4"}, {"i_gequ_x1", "250"}, {"i_gequ_y1", "-3"},
        {"i_gequ_x2", "1000"}, {"i_gequ_y2", "2"}, {"i_gequ_x3", "3000"}, {"i_gequ_y3", "5"},
        {"i_gequ_x4", "9000"}, {"i_gequ_y4", "-6"},
        // Dynamics and modulation in front of the distortion.
        {"ewah_enabled", "1"}, {"wah_enabled", "1"}, {"wah_auto", "2"}, {"wah_mode", "0"},
        {"icompr_enabled", "1"}, {"compr_i", "0.7"}, {"compr_treshi", "-20"}, {"compr_iattime", "0.01"},
        {"ocompr_enabled", "1"}, {"compr_o", "0.5"}, {"compr_tresho", "-15"}, {"compr_oattime", "0.005"},
        {"ocompr_beforeamp", "0"},
        {"swell_enabled", "1"}, {"swell_sense", "-60"},
        {"pitch_enabled", "1"}, {"pitch_type", "4"}, {"pitch_oct", "0.8408964"}, {"pitch_dry", "0.6"},
        {"phaser_enabled", "1"}, {"phaser_analog", "1"}, {"phaser_filt_stages", "10"},
        // Distortion and amp.
        {"dist_enabled", "1"}, {"dist_mode", "1"}, {"dist_fbon", "1"}, {"dist_fb", "0.4"}, {"dist_drive", "700"},
        {"spkcab_enabled", "1"}, {"preamp_stage", "1"}, {"spk_dist_enabled", "1"}, {"spk_gain", "6"},
        {"spk_gain2", "50"}, {"actrl_enabled", "1"}, {"actrl_eqtype", "4"}, {"a_gequ_cnt", "4"},
        {"a_gequ_x0", "120"}, {"a_gequ_y0", "3"}, {"a_gequ_x1", "700"}, {"a_gequ_y1", "-4"},
        {"a_gequ_x2", "2500"}, {"a_gequ_y2", "4"}, {"a_gequ_x3", "6000"}, {"a_gequ_y3", "-2"},
        // After the amp.
        {"trem_enabled", "1"},
        {"chorus_enabled", "1"}, {"chorus_stereo", "1"}, {"chorus_voices", "3"},
        {"octrl_enabled", "1"}, {"octrl_eqtype", "4"}, {"o_gequ_cnt", "4"},
        {"o_gequ_x0", "150"}, {"o_gequ_y0", "-2"}, {"o_gequ_x1", "800"}, {"o_gequ_y1", "3"},
        {"o_gequ_x2", "2500"}, {"o_gequ_y2", "-4"}, {"o_gequ_x3", "7000"}, {"o_gequ_y3", "2"},
        {"echo_enabled", "1"}, {"echo_2tap", "1"}, {"echo_2tapspread", "0.8"}, {"echo_lpass", "1"},
        {"echo_lpfreq", "4000"}, {"echo_delay", "0.3"},
        {"rev_enabled", "1"},
    };
    return s;
}

// Applies settings by key, as `render --set` would; false names the first
// key the engine refused.
inline bool apply(Engine& engine, const std::vector<Setting>& settings, std::string* failed = nullptr)
{
    for (const auto& [key, value] : settings) {
        if (!engine.setParameter(key, value)) {
            if (failed) *failed = key;
            return false;
        }
    }
    return true;
}

} // namespace stravik::rig
