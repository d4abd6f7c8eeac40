#include "engine/ParameterTable.h"

#include "dsp/CpuFeatures.h"
#include "engine/Engine.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace stravik {
namespace {

int truncToInt(double v)
{
    if (v != v) return 0;
    if (v >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (v <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(v);
}

template <typename T>
void assignNumber(Param<T>& p, double v)
{
    if constexpr (std::is_integral_v<T>)
        p = truncToInt(v);
    else
        p = static_cast<T>(v);
}

template <typename Member>
constexpr LiveType liveTypeFor()
{
    using T = std::remove_all_extents_t<std::remove_cvref_t<Member>>;
    if constexpr (std::is_same_v<T, Param<int>>) return LiveType::Int;
    if constexpr (std::is_same_v<T, Param<float>>) return LiveType::Float;
    if constexpr (std::is_same_v<T, Param<double>>) return LiveType::Double;
    if constexpr (std::is_same_v<T, TextParam>) return LiveType::String;
    return LiveType::None;
}

struct Access {
    LiveType live = LiveType::None;
    double (*get)(const Engine&, int) = nullptr;
    void (*set)(Engine&, int, double) = nullptr;
    std::string (*getText)(const Engine&, int) = nullptr;
    void (*setText)(Engine&, int, const std::string&) = nullptr;
};

#define STRAVIK_LIVE(expr)                                                                     \
    Access{liveTypeFor<decltype(std::declval<Engine&>().expr)>(),                             \
           [](const Engine& e, int) { return static_cast<double>(e.expr.get()); },             \
           [](Engine& e, int, double v) { assignNumber(e.expr, v); }, nullptr, nullptr}
#define STRAVIK_LIVE_AT(expr)                                                                  \
    Access{liveTypeFor<decltype(std::declval<Engine&>().expr)>(),                             \
           [](const Engine& e, int i) { return static_cast<double>(e.expr[i].get()); },        \
           [](Engine& e, int i, double v) { assignNumber(e.expr[i], v); }, nullptr, nullptr}
#define STRAVIK_TEXT(expr)                                                                     \
    Access{LiveType::String, nullptr, nullptr, [](const Engine& e, int) { return e.expr.get(); }, \
           [](Engine& e, int, const std::string& v) { e.expr.set(v); }}
#define STRAVIK_TEXT_AT(expr)                                                                  \
    Access{LiveType::String, nullptr, nullptr,                                                 \
           [](const Engine& e, int i) { return e.expr[i].get(); },                             \
           [](Engine& e, int i, const std::string& v) { e.expr[i].set(v); }}

constexpr int kNumberLimit = 40;
constexpr int kPathLimit = 1024;  // file roles: 1023 characters
constexpr int kShortPathLimit = 260;
constexpr int kShortcutLimit = 128; // preset names in the shortcut tables

// Builders that keep the table below one line per key.
struct K {
    KeyInfo k;
    K(const char* name, Section s, StoredType st, double start, double missing, Access a)
        : k{name, s, st, a.live, start, missing, nullptr, nullptr, nullptr, 0,
            kNumberLimit, KeyRole::Always, EqOwner::None, a.get, a.set, a.getText, a.setText}
    {
    }
    K(const char* name, Section s, const char* start, const char* missing, int limit, Access a)
        : k{name, s, StoredType::String, a.live, 0, 0, nullptr, start, missing, 0,
            limit, KeyRole::Always,
            EqOwner::None, a.get, a.set, a.getText, a.setText}
    {
    }
    K& times(int n)
    {
        k.indexCount = n;
        return *this;
    }
    K& starts(const double* perIndex)
    {
        k.starts = perIndex;
        return *this;
    }
    K& role(KeyRole r, EqOwner eq = EqOwner::None)
    {
        k.role = r;
        k.eq = eq;
        return *this;
    }
    operator KeyInfo() const { return k; } // NOLINT
};

using S = Section;
constexpr StoredType I = StoredType::Int;
constexpr StoredType F = StoredType::Float;
const Access kNoLive{};
// Start values of families whose members start differently.
const double kGraphicStartX[100] = {100.0, 20000.0};
const double kStandardTuning[6] = {43, 38, 34, 29, 24, 19};

// The equaliser keys of one owner, in write order.
#define STRAVIK_EQ_KEYS(sec, owner, pfx, shortPfx, eqexpr, bandMissing)                          \
    K(pfx "_bass", sec, F, 0.5, 0.5, STRAVIK_LIVE(eqexpr.bass)).role(KeyRole::EqTone, owner),     \
    K(pfx "_mid", sec, F, 0.5, 0.5, STRAVIK_LIVE(eqexpr.mid)).role(KeyRole::EqTone, owner),       \
    K(pfx "_treble", sec, F, 0.5, 0.5, STRAVIK_LIVE(eqexpr.treble)).role(KeyRole::EqTone, owner), \
    K(pfx "_equ", sec, F, 0.5, bandMissing, STRAVIK_LIVE_AT(eqexpr.bands)).times(5)               \
        .role(KeyRole::EqBands, owner),                                                           \
    K(shortPfx "_gequ_cnt", sec, I, 2, 0, STRAVIK_LIVE(eqexpr.pointCount))                        \
        .role(KeyRole::EqGraphicCount, owner),                                                    \
    K(shortPfx "_gequ_x", sec, F, 0, 0, STRAVIK_LIVE_AT(eqexpr.pointX)).times(100)                \
        .starts(kGraphicStartX).role(KeyRole::EqGraphicPoint, owner),                                                    \
    K(shortPfx "_gequ_y", sec, F, 0, 0, STRAVIK_LIVE_AT(eqexpr.pointY)).times(100)                \
        .role(KeyRole::EqGraphicPoint, owner)

const std::vector<KeyInfo>& table()
{
    static const std::vector<KeyInfo> t = {
        // ---- distortion
        K("dist_enabled", S::distortion, I, 0, 0, STRAVIK_LIVE(params.dist.dist_enabled)),
        K("dist_drive", S::distortion, F, 500, 0, STRAVIK_LIVE(params.dist.dist_drive)),
        K("dist_clip", S::distortion, I, 1, 0, STRAVIK_LIVE(params.dist.dist_clip)),
        K("dist_lpfreq", S::distortion, F, 5500, 5500, STRAVIK_LIVE(params.dist.dist_lpfreq)),
        K("dist_lpq", S::distortion, F, 0.7, 1, STRAVIK_LIVE(params.dist.dist_lpq)),
        K("dist_mode", S::distortion, I, 0, -1, STRAVIK_LIVE(params.dist.dist_mode)),
        K("dist_awah", S::distortion, I, 0, 0, STRAVIK_LIVE(params.dist.dist_awah)),
        K("dist_fbon", S::distortion, I, 0, 0, STRAVIK_LIVE(params.dist.dist_fbon)),
        K("dist_fb", S::distortion, F, 0.2, 0, STRAVIK_LIVE(params.dist.dist_fb)),
        K("dist_afterwah", S::distortion, I, 0, 0, STRAVIK_LIVE(params.dist.dist_afterwah)),
        K("dist_dry_mix", S::distortion, F, 0.2, 0, STRAVIK_LIVE(params.dist.dist_dry_mix)),
        K("dist_overdrv", S::distortion, I, 0, 0, kNoLive).role(KeyRole::Legacy),
        // ---- echo
        K("echo_enabled", S::echo, I, 0, 0, STRAVIK_LIVE(params.echo.echo_enabled)),
        K("echo_dry", S::echo, F, 0.7, 0, STRAVIK_LIVE(params.echo.echo_dry)),
        K("echo_delay", S::echo, F, 0.5, 0, STRAVIK_LIVE(params.echo.echo_delay)),
        K("echo_fb", S::echo, F, 0.4, 0, STRAVIK_LIVE(params.echo.echo_fb)),
        K("echo_lpass", S::echo, I, 0, 0, STRAVIK_LIVE(params.echo.echo_lpass)),
        K("echo_2tap", S::echo, I, 0, 0, STRAVIK_LIVE(params.echo.echo_2tap)),
        K("echo_lpfreq", S::echo, F, 8000, 8000, STRAVIK_LIVE(params.echo.echo_lpfreq)),
        K("echo_2tapdel", S::echo, F, 0.1, 0.1, STRAVIK_LIVE(params.echo.echo_2tapdel)),
        K("echo_2tapspread", S::echo, F, 1, 1, STRAVIK_LIVE(params.echo.echo_2tapspread)),
        // ---- ioctrl
        K("ictrl_enabled", S::ioctrl, I, 0, 0, STRAVIK_LIVE(params.io.ictrl_enabled)),
        K("octrl_enabled", S::ioctrl, I, 0, 0, STRAVIK_LIVE(params.io.octrl_enabled)),
        STRAVIK_EQ_KEYS(S::ioctrl, EqOwner::Input, "ictrl", "i", params.io.ictrl, 0.5),
        STRAVIK_EQ_KEYS(S::ioctrl, EqOwner::Output, "octrl", "o", params.io.octrl, 0.05),
        K("io_hiss", S::ioctrl, I, 0, 0, STRAVIK_LIVE(params.io.io_hiss)),
        K("io_50hz", S::ioctrl, I, 0, 0, STRAVIK_LIVE(params.io.io_50hz)),
        K("ictrl_eqtype", S::ioctrl, I, 0, 0, STRAVIK_LIVE(params.io.ictrl.eqtype)),
        K("octrl_eqtype", S::ioctrl, I, 0, 0, STRAVIK_LIVE(params.io.octrl.eqtype)),
        K("nf_enabled", S::ioctrl, I, 0, 0, STRAVIK_LIVE(params.io.nf_enabled)),
        K("nf_tresh", S::ioctrl, F, -50, -50, STRAVIK_LIVE(params.io.nf_tresh)),
        K("nf_ratio", S::ioctrl, F, 2, 2, STRAVIK_LIVE(params.io.nf_ratio)),
        // ---- pitch
        K("pitch_enabled", S::pitch, I, 0, 0, STRAVIK_LIVE(params.pitch.pitch_enabled)),
        K("pitch_dry", S::pitch, F, 0.5, 0, STRAVIK_LIVE(params.pitch.pitch_dry)),
        K("pitch_oct", S::pitch, F, 2, 0, STRAVIK_LIVE(params.pitch.pitch_oct)),
        K("pitch_type", S::pitch, I, 1, 1, STRAVIK_LIVE(params.pitch.pitch_type)),
        // ---- reverb
        K("rev_enabled", S::reverb, I, 0, 0, STRAVIK_LIVE(params.rev.rev_enabled)),
        K("rev_dry", S::reverb, F, 0.8, 0, STRAVIK_LIVE(params.rev.rev_dry)),
        K("rev_amp", S::reverb, F, 0.2, 0, STRAVIK_LIVE(params.rev.rev_amp)),
        K("rev_room", S::reverb, F, 0.5, 0, STRAVIK_LIVE(params.rev.rev_room)),
        K("rev_lfabs", S::reverb, F, 1, 0, STRAVIK_LIVE(params.rev.rev_lfabs)),
        K("rev_hfabs", S::reverb, F, 1, 0, STRAVIK_LIVE(params.rev.rev_hfabs)),
        K("rev_fron", S::reverb, I, 1, 0, STRAVIK_LIVE(params.rev.rev_fron)),
        K("rev_frdelay", S::reverb, F, 0.025, 0.01, STRAVIK_LIVE(params.rev.rev_frdelay)),
        K("rev_frvolume", S::reverb, F, 0.25, 0.1, STRAVIK_LIVE(params.rev.rev_frvolume)),
        K("rev_predelay", S::reverb, F, 35, 15, STRAVIK_LIVE(params.rev.rev_predelay)),
        // ---- wah
        K("wah_enabled", S::wah, I, 0, 0, STRAVIK_LIVE(params.wah.wah_enabled)),
        K("wah_f1", S::wah, I, 450, 0, STRAVIK_LIVE(params.wah.wah_f1)),
        K("wah_f2", S::wah, I, 2200, 0, STRAVIK_LIVE(params.wah.wah_f2)),
        K("wah_auto", S::wah, I, 2, 0, STRAVIK_LIVE(params.wah.wah_auto)),
        K("wah_range", S::wah, F, 0.8, 0, STRAVIK_LIVE(params.wah.wah_range)),
        K("wah_sel", S::wah, I, 5, 0, STRAVIK_LIVE(params.wah.wah_sel)),
        K("wah_period", S::wah, F, 1, 1, STRAVIK_LIVE(params.wah.wah_period)),
        K("wah_mode", S::wah, I, 0, -1, STRAVIK_LIVE(params.wah.wah_mode)),
        K("wah_talk_box", S::wah, I, 0, 0, kNoLive).role(KeyRole::Legacy),
        // ---- chorus
        K("chorus_enabled", S::chorus, I, 0, 0, STRAVIK_LIVE(params.chorus.chorus_enabled)),
        K("chorus_delay", S::chorus, F, 0.02, 0, STRAVIK_LIVE(params.chorus.chorus_delay)),
        K("chorus_depth", S::chorus, F, 0.01, 0, STRAVIK_LIVE(params.chorus.chorus_depth)),
        K("chorus_fb", S::chorus, F, 0.25, 0, STRAVIK_LIVE(params.chorus.chorus_fb)),
        K("chorus_wet", S::chorus, F, 0.5, 0, STRAVIK_LIVE(params.chorus.chorus_wet)),
        K("chorus_dry", S::chorus, F, 0.5, 0, STRAVIK_LIVE(params.chorus.chorus_dry)),
        K("chorus_period", S::chorus, F, 4, 0, STRAVIK_LIVE(params.chorus.chorus_period)),
        K("chorus_voices", S::chorus, I, 1, 1, STRAVIK_LIVE(params.chorus.chorus_voices)),
        K("chorus_stereo", S::chorus, I, 0, 0, STRAVIK_LIVE(params.chorus.chorus_stereo)),
        K("chorus_sdepth", S::chorus, F, 0.02, 0.02, STRAVIK_LIVE(params.chorus.chorus_sdepth)),
        // ---- tremolo
        K("trem_enabled", S::tremolo, I, 0, 0, STRAVIK_LIVE(params.trem.trem_enabled)),
        K("trem_period", S::tremolo, F, 0.2, 0, STRAVIK_LIVE(params.trem.trem_period)),
        K("trem_level", S::tremolo, F, 0.3, 0, STRAVIK_LIVE(params.trem.trem_level)),
        K("trem_lfo", S::tremolo, I, 0, 0, STRAVIK_LIVE(params.trem.trem_lfo)),
        // ---- IO_Volumes
        K("InputVolume", S::IO_Volumes, F, 1, 1, STRAVIK_LIVE(volumes.InputVolume)),
        K("OutputVolume", S::IO_Volumes, F, 1, 1, STRAVIK_LIVE(volumes.OutputVolume)),
        // ---- ewah
        K("ewah_enabled", S::ewah, I, 0, 0, STRAVIK_LIVE(params.ewah.ewah_enabled)),
        K("ewah_f1", S::ewah, F, 450, 0, STRAVIK_LIVE(params.ewah.ewah_f1)),
        K("ewah_f2", S::ewah, F, 2500, 0, STRAVIK_LIVE(params.ewah.ewah_f2)),
        K("ewah_f3", S::ewah, F, 1800, 0, STRAVIK_LIVE(params.ewah.ewah_f3)),
        K("ewah_v1", S::ewah, F, 0.7, 0, STRAVIK_LIVE(params.ewah.ewah_v1)),
        K("ewah_v2", S::ewah, F, 0.4, 0, STRAVIK_LIVE(params.ewah.ewah_v2)),
        K("ewah_v3", S::ewah, F, 0, 0, STRAVIK_LIVE(params.ewah.ewah_v3)),
        K("ewah_gain", S::ewah, F, 0.8, 0, STRAVIK_LIVE(params.ewah.ewah_gain)),
        K("ewah_q", S::ewah, F, 5, 0, STRAVIK_LIVE(params.ewah.ewah_q)),
        K("ewah_log", S::ewah, I, 1, 0, STRAVIK_LIVE(params.ewah.ewah_log)),
        K("ewah_peak", S::ewah, I, 0, 0, STRAVIK_LIVE(params.ewah.ewah_peak)),
        K("ewah_peakmode", S::ewah, I, 0, 0, STRAVIK_LIVE(params.ewah.ewah_peakmode)),
        K("ewah_mode", S::ewah, I, 0, -1, STRAVIK_LIVE(params.ewah.ewah_mode)),
        K("ewah_talk_box", S::ewah, I, 0, 0, kNoLive).role(KeyRole::Legacy),
        // ---- compress (the two enable flags are applied last when loading)
        K("icompr_enabled", S::compress, I, 0, 0, STRAVIK_LIVE(params.compr.icompr_enabled)),
        K("ocompr_enabled", S::compress, I, 0, 0, STRAVIK_LIVE(params.compr.ocompr_enabled)),
        K("compr_i", S::compress, F, 0, 0, STRAVIK_LIVE(params.compr.compr_i)),
        K("compr_o", S::compress, F, 0, 0, STRAVIK_LIVE(params.compr.compr_o)),
        K("compr_treshi", S::compress, F, -15, -15, STRAVIK_LIVE(params.compr.compr_treshi)),
        K("compr_tresho", S::compress, F, -15, -15, STRAVIK_LIVE(params.compr.compr_tresho)),
        K("compr_iattime", S::compress, F, 0, 0, STRAVIK_LIVE(params.compr.compr_iattime)),
        K("compr_oattime", S::compress, F, 0, 0, STRAVIK_LIVE(params.compr.compr_oattime)),
        K("ocompr_beforeamp", S::compress, I, 0, 1, STRAVIK_LIVE(params.compr.ocompr_beforeamp)),
        // ---- phaser
        K("phaser_enabled", S::phaser, I, 0, 0, STRAVIK_LIVE(params.phaser.phaser_enabled)),
        K("phaser_delay", S::phaser, F, 1000, 1000, STRAVIK_LIVE(params.phaser.phaser_delay)),
        K("phaser_depth", S::phaser, F, 50, 50, STRAVIK_LIVE(params.phaser.phaser_depth)),
        K("phaser_fb", S::phaser, F, 0.65, 0.65, STRAVIK_LIVE(params.phaser.phaser_fb)),
        K("phaser_wet", S::phaser, F, 0.5, 0.5, STRAVIK_LIVE(params.phaser.phaser_wet)),
        K("phaser_dry", S::phaser, F, 0.5, 0.5, STRAVIK_LIVE(params.phaser.phaser_dry)),
        K("phaser_period", S::phaser, F, 2, 1, STRAVIK_LIVE(params.phaser.phaser_period)),
        K("phaser_analog", S::phaser, F, 0, 0, STRAVIK_LIVE(params.phaser.phaser_analog)),
        K("phaser_filt_stages", S::phaser, I, 4, 4, STRAVIK_LIVE(params.phaser.phaser_filt_stages)),
        // ---- spkcab
        K("spkcab_enabled", S::spkcab, I, 0, 0, STRAVIK_LIVE(params.amp.spkcab_enabled)),
        K("spk_gain", S::spkcab, I, 0, 0, STRAVIK_LIVE(params.amp.spk_gain)),
        K("spk_gain2", S::spkcab, I, 30, 0, STRAVIK_LIVE(params.amp.spk_gain2)),
        K("actrl_enabled", S::spkcab, I, 0, 0, STRAVIK_LIVE(params.amp.actrl_enabled)),
        K("actrl_eqtype", S::spkcab, I, 0, 0, STRAVIK_LIVE(params.amp.actrl.eqtype)),
        K("spkcab_file", S::spkcab, I, 0, 0, STRAVIK_LIVE(params.amp.spkcab_file)),
        K("spk_ir_fname", S::spkcab, "", "default", kShortPathLimit, STRAVIK_TEXT(params.amp.spk_ir_fname))
            .role(KeyRole::IrFile),
        K("ir_num", S::spkcab, I, 0, 0, STRAVIK_LIVE(params.amp.ir_num)).role(KeyRole::IrLibrary),
        K("ir_code", S::spkcab, I, 101, -1, STRAVIK_LIVE(params.amp.ir_code)).role(KeyRole::IrLibrary),
        STRAVIK_EQ_KEYS(S::spkcab, EqOwner::Amp, "actrl", "a", params.amp.actrl, 0.5),
        K("spk_dist_enabled", S::spkcab, I, 0, 0, STRAVIK_LIVE(params.amp.spk_dist_enabled)),
        K("preamp_stage", S::spkcab, I, 0, 0, STRAVIK_LIVE(params.amp.preamp_stage)),
        // ---- swell
        K("swell_enabled", S::swell, I, 0, 0, STRAVIK_LIVE(params.swell.swell_enabled)),
        K("swell_place", S::swell, I, 0, 0, STRAVIK_LIVE(params.swell.swell_place)),
        K("swell_sense", S::swell, F, -50, -50, STRAVIK_LIVE(params.swell.swell_sense)),
        K("swell_attack", S::swell, F, 0.3, 0.5, STRAVIK_LIVE(params.swell.swell_attack)),

        // ---- settings, in the order they are written
        K("stereo", S::cfg, I, 1, 1, STRAVIK_LIVE(settings.stereo)),
        K("MaxDelay", S::cfg, F, 20, 20, STRAVIK_LIVE(settings.MaxDelay)),
        K("Priority", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.Priority)),
        K("FileOut", S::cfg, "output.wav", "output.wav", kPathLimit, STRAVIK_TEXT(settings.FileOut)),
        K("DSDevice", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.DSDevice)),
        K("WaveInDevice", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.WaveInDevice)),
        K("InputVolume", S::cfg, F, 1, 1, STRAVIK_LIVE(volumes.InputVolume)),
        K("OutputVolume", S::cfg, F, 1, 1, STRAVIK_LIVE(volumes.OutputVolume)),
        K("FileIn", S::cfg, "input.wav", "input.wav", kPathLimit, STRAVIK_TEXT(settings.FileIn)),
        K("AltDuplex", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.AltDuplex)),
        K("ShortcutsON", S::cfg, I, 1, 1, STRAVIK_LIVE(settings.ShortcutsON)),
        K("ShortcutDial", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.ShortcutDial)),
        K("MIDIShortcutsON", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.MIDIShortcutsON)),
        K("FileMix", S::cfg, "mix.wav", "mix.wav", kPathLimit, STRAVIK_TEXT(settings.FileMix)),
        K("LMeterON", S::cfg, I, 1, 1, STRAVIK_LIVE(settings.LMeterON)),
        K("", S::Shortcuts, "", "", kShortcutLimit, STRAVIK_TEXT_AT(settings.Shortcuts)).times(24),
        K("", S::MIDIShortcuts, "", "", kShortcutLimit, STRAVIK_TEXT_AT(settings.MIDIShortcuts)).times(64),
        K("FirstStart", S::cfg, I, 1, 1, STRAVIK_LIVE(settings.FirstStart)),
        K("MidiInDevice", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.MidiInDevice)),
        K("MidiEvent", S::cfg, I, 1, 1, STRAVIK_LIVE(settings.MidiEvent)),
        K("MidiControl", S::cfg, I, 1, 1, STRAVIK_LIVE(settings.MidiControl)),
        K("MidiInEnable", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.MidiInEnable)),
        K("MidiChan", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.MidiChan)),
        K("ProgMidiInDevice", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.ProgMidiInDevice)),
        K("ProgMidiChan", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.ProgMidiChan)),
        K("ProgMidiInEnable", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.ProgMidiInEnable)),
        K("CtrlMidiEnable", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.CtrlMidiEnable)),
        K("JoyInDevice", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.JoyInDevice)),
        K("JoyAxis", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.JoyAxis)),
        K("JoyReverse", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.JoyReverse)),
        K("JoyEnable", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.JoyEnable)),
        K("SampleRate", S::cfg, I, 48000, 48000, STRAVIK_LIVE(settings.SampleRate)),
        K("MixLoop", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.MixLoop)),
        K("Mix2Out", S::cfg, I, 1, 1, STRAVIK_LIVE(settings.Mix2Out)),
        K("MixAmp", S::cfg, F, 1, 1, STRAVIK_LIVE(settings.MixAmp)),
        K("TunerMode", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.TunerMode)),
        K("TunerWavein", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.TunerWavein)),
        // 65535 when missing means "keep the built-in note".
        K("tuner_s", S::cfg, I, 0, 65535, STRAVIK_LIVE_AT(settings.tuner_s)).times(6).starts(kStandardTuning),
        K("tuner_us", S::cfg, I, 0, 65535, STRAVIK_LIVE_AT(settings.tuner_us)).times(6).starts(kStandardTuning),
        K("InputFast", S::cfg, I, 1, 1, STRAVIK_LIVE(settings.InputFast)),
        K("OutFast", S::cfg, I, 1, 1, STRAVIK_LIVE(settings.OutFast)),
        K("SRateAdapt", S::cfg, I, 1, 1, STRAVIK_LIVE(settings.SRateAdapt)),
        K("DisableSSaver", S::cfg, I, 1, 1, STRAVIK_LIVE(settings.DisableSSaver)),
        K("ASIO_dev", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.ASIO_dev)),
        K("UseASIO", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.UseASIO)),
        K("BeepOnStart", S::cfg, I, 1, 1, STRAVIK_LIVE(settings.BeepOnStart)),
        K("MetroVolume", S::cfg, F, 0.5, 0.5, STRAVIK_LIVE(settings.MetroVolume)),
        K("MetroTempo", S::cfg, F, 150, 150, STRAVIK_LIVE(settings.MetroTempo)),
        K("MetroSound", S::cfg, I, 1, 1, STRAVIK_LIVE(settings.MetroSound)),
        K("MetroWave", S::cfg, "", "", kShortPathLimit, STRAVIK_TEXT(settings.MetroWave)),
        K("ZoomWindows", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.ZoomWindows)),
        K("EnableLimiter", S::cfg, I, 0, 0, STRAVIK_LIVE(settings.EnableLimiter)),
        K("MaxPulseCnt", S::cfg, I, 4000, 4000, STRAVIK_LIVE(settings.MaxPulseCnt)),
        K("LastIRPath", S::cfg, "", "", kShortPathLimit, STRAVIK_TEXT(settings.LastIRPath)),
        K("EnableSSE", S::cfg, I, 1, 1,
          Access{LiveType::Int, [](const Engine&, int) { return dsp::cpu::simdEnabled() ? 1.0 : 0.0; },
                 [](Engine&, int, double v) { dsp::cpu::setSimdEnabled(truncToInt(v) != 0); }, nullptr,
                 nullptr}),
        K("JackConnect", S::cfg, I, 1, 1, STRAVIK_LIVE(settings.JackConnect)),
    };
    return t;
}

} // namespace

const char* sectionName(Section s)
{
    static const char* const names[] = {"distortion", "echo",     "ioctrl", "pitch",   "reverb",
                                        "wah",        "chorus",   "tremolo", "IO_Volumes", "ewah",
                                        "compress",   "phaser",   "spkcab", "swell",   "cfg",
                                        "Shortcuts",  "MIDIShortcuts"};
    return names[static_cast<int>(s)];
}

const char* sectionLabel(Section s)
{
    static const char* const labels[] = {"Distortion", "Echo",     "IO Control", "Pitch scale",
                                         "Reverb",     "AutoWah",  "Chorus",     "Tremolo",
                                         "IO Volumes", "EnvWah",   "Compress",   "Phaser",
                                         "SpkCab",     "Swell"};
    return isPresetSection(s) ? labels[static_cast<int>(s)] : "";
}

std::span<const KeyInfo> parameterTable() { return table(); }

std::string keyName(const KeyInfo& key, int index)
{
    if (!key.indexed()) return key.name;
    char buf[96];
    std::snprintf(buf, sizeof(buf), "%s%d", key.name, index);
    return buf;
}

const KeyInfo* findKey(std::string_view fullName, int* index)
{
    // Subkey values are named "Shortcuts/5" and "MIDIShortcuts/12".
    std::string_view section;
    if (auto slash = fullName.find('/'); slash != std::string_view::npos) {
        section = fullName.substr(0, slash);
        fullName = fullName.substr(slash + 1);
    }
    for (const KeyInfo& k : table()) {
        if (!section.empty() && section != sectionName(k.section)) continue;
        if (section.empty() && !isPresetSection(k.section) && k.section != Section::cfg) continue;
        const std::string_view name = k.name;
        if (!k.indexed()) {
            if (fullName == name) {
                if (index) *index = 0;
                return &k;
            }
            continue;
        }
        if (fullName.size() <= name.size() || fullName.substr(0, name.size()) != name) continue;
        const std::string_view digits = fullName.substr(name.size());
        if (digits.size() > 3 || (digits.size() > 1 && digits[0] == '0')) continue;
        int value = 0;
        bool ok = true;
        for (char c : digits) {
            if (c < '0' || c > '9') {
                ok = false;
                break;
            }
            value = value * 10 + (c - '0');
        }
        if (!ok || value >= k.indexCount) continue;
        if (index) *index = value;
        return &k;
    }
    return nullptr;
}

void applyDerivedValues(Engine& engine, const KeyInfo& key)
{
    const std::string_view name = key.name;
    if (name == "echo_dry") engine.params.echo.echo_wet = 1.0f - engine.params.echo.echo_dry;
    if (name == "pitch_dry") engine.params.pitch.pitch_wet = 1.0f - engine.params.pitch.pitch_dry;
}

bool setFromText(Engine& engine, const KeyInfo& key, int index, std::string_view text)
{
    if (!key.hasLiveValue()) return false;
    const std::string s(text);
    if (key.stored == StoredType::String) {
        if (static_cast<int>(s.size()) >= key.readLimit) return false;
        key.setText(engine, index, s);
        return true;
    }
    if (s.empty() || static_cast<int>(s.size()) >= key.readLimit) return false;
    char* end = nullptr;
    errno = 0;
    if (key.stored == StoredType::Int) {
        const long v = std::strtol(s.c_str(), &end, 10);
        if (*end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
        key.set(engine, index, static_cast<double>(v));
    } else {
        const float v = std::strtof(s.c_str(), &end);
        // ERANGE also comes with numbers too small for a normal float
        // (1e-38): those are numbers all the same, kept as the nearest float.
        // Too large ones (and "inf", "nan") are no values of any key.
        if (*end != '\0' || !std::isfinite(v)) return false;
        key.set(engine, index, static_cast<double>(v));
    }
    applyDerivedValues(engine, key);
    return true;
}

std::string storedText(const Engine& engine, const KeyInfo& key, int index)
{
    if (key.stored == StoredType::String) return key.getText ? key.getText(engine, index) : std::string();
    if (!key.get) return {};
    char buf[64];
    const double v = key.get(engine, index);
    if (key.stored == StoredType::Int)
        std::snprintf(buf, sizeof(buf), "%d", truncToInt(v));
    else
        std::snprintf(buf, sizeof(buf), "%g", static_cast<double>(static_cast<float>(v)));
    return buf;
}

} // namespace stravik
