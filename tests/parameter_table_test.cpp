// The key table against the documented preset and settings lists, its start
// values against a fresh engine, and the text conversions used by the store
// and by `render --set`.
#include "engine/Engine.h"
#include "engine/ParameterTable.h"

#include "dsp/CpuFeatures.h"
#include "dsp/RecordingMessages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace stravik;

namespace {

// The documented lists, transcribed on their own: "section key type missing
// [count]" in write order; type i, f or s; families carry their member count.
const char* const kDocumented = R"(
distortion dist_enabled i 0
distortion dist_drive f 0
distortion dist_clip i 0
distortion dist_lpfreq f 5500
distortion dist_lpq f 1
distortion dist_mode i -1
distortion dist_awah i 0
distortion dist_fbon i 0
distortion dist_fb f 0
distortion dist_afterwah i 0
distortion dist_dry_mix f 0
distortion dist_overdrv i 0
echo echo_enabled i 0
echo echo_dry f 0
echo echo_delay f 0
echo echo_fb f 0
echo echo_lpass i 0
echo echo_2tap i 0
echo echo_lpfreq f 8000
echo echo_2tapdel f 0.1
echo echo_2tapspread f 1
ioctrl ictrl_enabled i 0
ioctrl octrl_enabled i 0
ioctrl ictrl_bass f 0.5
ioctrl ictrl_mid f 0.5
ioctrl ictrl_treble f 0.5
ioctrl ictrl_equ f 0.5 5
ioctrl i_gequ_cnt i 0
ioctrl i_gequ_x f 0 100
ioctrl i_gequ_y f 0 100
ioctrl octrl_bass f 0.5
ioctrl octrl_mid f 0.5
ioctrl octrl_treble f 0.5
ioctrl octrl_equ f 0.05 5
ioctrl o_gequ_cnt i 0
ioctrl o_gequ_x f 0 100
ioctrl o_gequ_y f 0 100
ioctrl io_hiss i 0
ioctrl io_50hz i 0
ioctrl ictrl_eqtype i 0
ioctrl octrl_eqtype i 0
ioctrl nf_enabled i 0
ioctrl nf_tresh f -50
ioctrl nf_ratio f 2
pitch pitch_enabled i 0
pitch pitch_dry f 0
pitch pitch_oct f 0
pitch pitch_type i 1
reverb rev_enabled i 0
reverb rev_dry f 0
reverb rev_amp f 0
reverb rev_room f 0
reverb rev_lfabs f 0
reverb rev_hfabs f 0
reverb rev_fron i 0
reverb rev_frdelay f 0.01
reverb rev_frvolume f 0.1
reverb rev_predelay f 15
wah wah_enabled i 0
wah wah_f1 i 0
wah wah_f2 i 0
wah wah_auto i 0
wah wah_range f 0
wah wah_sel i 0
wah wah_period f 1
wah wah_mode i -1
wah wah_talk_box i 0
chorus chorus_enabled i 0
chorus chorus_delay f 0
chorus chorus_depth f 0
chorus chorus_fb f 0
chorus chorus_wet f 0
chorus chorus_dry f 0
chorus chorus_period f 0
chorus chorus_voices i 1
chorus chorus_stereo i 0
chorus chorus_sdepth f 0.02
tremolo trem_enabled i 0
tremolo trem_period f 0
tremolo trem_level f 0
tremolo trem_lfo i 0
IO_Volumes InputVolume f 1
IO_Volumes OutputVolume f 1
ewah ewah_enabled i 0
ewah ewah_f1 f 0
ewah ewah_f2 f 0
ewah ewah_f3 f 0
ewah ewah_v1 f 0
ewah ewah_v2 f 0
ewah ewah_v3 f 0
ewah ewah_gain f 0
ewah ewah_q f 0
ewah ewah_log i 0
ewah ewah_peak i 0
ewah ewah_peakmode i 0
ewah ewah_mode i -1
ewah ewah_talk_box i 0
compress icompr_enabled i 0
compress ocompr_enabled i 0
compress compr_i f 0
compress compr_o f 0
compress compr_treshi f -15
compress compr_tresho f -15
compress compr_iattime f 0
compress compr_oattime f 0
compress ocompr_beforeamp i 1
phaser phaser_enabled i 0
phaser phaser_delay f 1000
phaser phaser_depth f 50
phaser phaser_fb f 0.65
phaser phaser_wet f 0.5
phaser phaser_dry f 0.5
phaser phaser_period f 1
phaser phaser_analog f 0
phaser phaser_filt_stages i 4
spkcab spkcab_enabled i 0
spkcab spk_gain i 0
spkcab spk_gain2 i 0
spkcab actrl_enabled i 0
spkcab actrl_eqtype i 0
spkcab spkcab_file i 0
spkcab spk_ir_fname s default
spkcab ir_num i 0
spkcab ir_code i -1
spkcab actrl_bass f 0.5
spkcab actrl_mid f 0.5
spkcab actrl_treble f 0.5
spkcab actrl_equ f 0.5 5
spkcab a_gequ_cnt i 0
spkcab a_gequ_x f 0 100
spkcab a_gequ_y f 0 100
spkcab spk_dist_enabled i 0
spkcab preamp_stage i 0
swell swell_enabled i 0
swell swell_place i 0
swell swell_sense f -50
swell swell_attack f 0.5
cfg stereo i 1
cfg MaxDelay f 20
cfg Priority i 0
cfg FileOut s output.wav
cfg DSDevice i 0
cfg WaveInDevice i 0
cfg InputVolume f 1
cfg OutputVolume f 1
cfg FileIn s input.wav
cfg AltDuplex i 0
cfg ShortcutsON i 1
cfg ShortcutDial i 0
cfg MIDIShortcutsON i 0
cfg FileMix s mix.wav
cfg LMeterON i 1
Shortcuts - s - 24
MIDIShortcuts - s - 64
cfg FirstStart i 1
cfg MidiInDevice i 0
cfg MidiEvent i 1
cfg MidiControl i 1
cfg MidiInEnable i 0
cfg MidiChan i 0
cfg ProgMidiInDevice i 0
cfg ProgMidiChan i 0
cfg ProgMidiInEnable i 0
cfg CtrlMidiEnable i 0
cfg JoyInDevice i 0
cfg JoyAxis i 0
cfg JoyReverse i 0
cfg JoyEnable i 0
cfg SampleRate i 48000
cfg MixLoop i 0
cfg Mix2Out i 1
cfg MixAmp f 1
cfg TunerMode i 0
cfg TunerWavein i 0
cfg tuner_s i 65535 6
cfg tuner_us i 65535 6
cfg InputFast i 1
cfg OutFast i 1
cfg SRateAdapt i 1
cfg DisableSSaver i 1
cfg ASIO_dev i 0
cfg UseASIO i 0
cfg BeepOnStart i 1
cfg MetroVolume f 0.5
cfg MetroTempo f 150
cfg MetroSound i 1
cfg MetroWave s -
cfg ZoomWindows i 0
cfg EnableLimiter i 0
cfg MaxPulseCnt i 4000
cfg LastIRPath s -
cfg EnableSSE i 1
cfg JackConnect i 1
)";

char typeLetter(StoredType t) { return t == StoredType::Int ? 'i' : t == StoredType::Float ? 'f' : 's'; }

struct TableFixture : ::testing::Test {
    RecordingMessages messages;
    std::unique_ptr<Engine> engine = std::make_unique<Engine>(messages);
};

} // namespace

TEST(ParameterTable, MatchesTheDocumentedKeysTypesOrderAndMissingValues)
{
    std::istringstream in(kDocumented);
    std::string line;
    const auto table = parameterTable();
    size_t row = 0;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::istringstream f(line);
        std::string section, key, type, missing;
        int count = 0;
        f >> section >> key >> type >> missing >> count;
        ASSERT_LT(row, table.size()) << line;
        const KeyInfo& k = table[row++];
        EXPECT_EQ(section, sectionName(k.section)) << line;
        EXPECT_EQ(key == "-" ? "" : key, k.name) << line;
        EXPECT_EQ(type[0], typeLetter(k.stored)) << line;
        EXPECT_EQ(count, k.indexCount) << line;
        if (k.stored == StoredType::String)
            EXPECT_EQ(missing == "-" ? "" : missing, k.missingText) << line;
        else
            EXPECT_NEAR(std::stod(missing), k.missing, 1e-12) << line;
    }
    EXPECT_EQ(row, table.size()) << "the table has keys the documented lists do not";
}

TEST(ParameterTable, SectionsAndLabels)
{
    EXPECT_STREQ(sectionName(Section::IO_Volumes), "IO_Volumes");
    EXPECT_STREQ(sectionName(Section::MIDIShortcuts), "MIDIShortcuts");
    const char* labels[] = {"Distortion", "Echo",       "IO Control", "Pitch scale", "Reverb",
                            "AutoWah",    "Chorus",     "Tremolo",    "IO Volumes",  "EnvWah",
                            "Compress",   "Phaser",     "SpkCab",     "Swell"};
    for (int i = 0; i < kPresetSectionCount; ++i) EXPECT_STREQ(sectionLabel(static_cast<Section>(i)), labels[i]);
    EXPECT_FALSE(isPresetSection(Section::cfg));
}

TEST_F(TableFixture, StartValuesAreWhatAFreshEngineHolds)
{
    int checked = 0;
    for (const KeyInfo& k : parameterTable()) {
        if (!k.hasLiveValue()) {
            EXPECT_EQ(k.role, KeyRole::Legacy) << k.name;
            continue;
        }
        const int members = k.indexed() ? k.indexCount : 1;
        for (int i = 0; i < members; ++i) {
            if (k.stored == StoredType::String) {
                EXPECT_EQ(k.getText(*engine, i), k.startText) << keyName(k, i);
            } else {
                // Compare at the live value's own precision.
                const double live = k.get(*engine, i);
                const double start = k.live == LiveType::Float ? static_cast<float>(k.startAt(i)) : k.startAt(i);
                EXPECT_EQ(live, start) << keyName(k, i);
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 600);
}

TEST_F(TableFixture, EveryKeyReachesItsOwnLiveValue)
{
    // Write a distinct value through each key, then read all back: a key
    // wired to another key's value shows up as an overwritten value.
    int counter = 1;
    for (const KeyInfo& k : parameterTable()) {
        if (!k.hasLiveValue() || k.section == Section::cfg) continue; // settings share the volumes
        const int members = k.indexed() ? k.indexCount : 1;
        for (int i = 0; i < members; ++i) {
            if (k.stored == StoredType::String)
                k.setText(*engine, i, "v" + std::to_string(counter));
            else
                k.set(*engine, i, counter);
            ++counter;
        }
    }
    counter = 1;
    for (const KeyInfo& k : parameterTable()) {
        if (!k.hasLiveValue() || k.section == Section::cfg) continue;
        const int members = k.indexed() ? k.indexCount : 1;
        for (int i = 0; i < members; ++i, ++counter) {
            if (k.stored == StoredType::String)
                EXPECT_EQ(k.getText(*engine, i), "v" + std::to_string(counter)) << keyName(k, i);
            else
                EXPECT_EQ(k.get(*engine, i), counter) << keyName(k, i);
        }
    }
    // The same for the settings on a fresh engine.
    auto fresh = std::make_unique<Engine>(messages);
    std::set<std::string> names;
    counter = 1;
    for (const KeyInfo& k : parameterTable()) {
        if (k.section == Section::cfg || k.section == Section::Shortcuts || k.section == Section::MIDIShortcuts) {
            const int members = k.indexed() ? k.indexCount : 1;
            for (int i = 0; i < members; ++i, ++counter) {
                if (std::string(k.name) == "EnableSSE") continue; // process-wide, tested below
                if (k.stored == StoredType::String)
                    k.setText(*fresh, i, "s" + std::to_string(counter));
                else
                    k.set(*fresh, i, counter);
            }
        }
    }
    counter = 1;
    for (const KeyInfo& k : parameterTable()) {
        if (k.section == Section::cfg || k.section == Section::Shortcuts || k.section == Section::MIDIShortcuts) {
            const int members = k.indexed() ? k.indexCount : 1;
            for (int i = 0; i < members; ++i, ++counter) {
                if (std::string(k.name) == "EnableSSE") continue;
                if (std::string(k.name) == "InputVolume" || std::string(k.name) == "OutputVolume") continue;
                if (k.stored == StoredType::String)
                    EXPECT_EQ(k.getText(*fresh, i), "s" + std::to_string(counter)) << keyName(k, i);
                else
                    EXPECT_EQ(k.get(*fresh, i), counter) << keyName(k, i);
            }
        }
    }
}

TEST_F(TableFixture, FindsKeysByFullName)
{
    int index = -1;
    const KeyInfo* k = findKey("ictrl_equ3", &index);
    ASSERT_NE(k, nullptr);
    EXPECT_STREQ(k->name, "ictrl_equ");
    EXPECT_EQ(index, 3);
    EXPECT_EQ(findKey("ictrl_equ5"), nullptr);
    EXPECT_EQ(findKey("ictrl_equ03"), nullptr);
    k = findKey("o_gequ_y99", &index);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(index, 99);
    EXPECT_EQ(findKey("o_gequ_y100"), nullptr);
    k = findKey("Shortcuts/23", &index);
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->section, Section::Shortcuts);
    EXPECT_EQ(index, 23);
    EXPECT_EQ(findKey("Shortcuts/24"), nullptr);
    EXPECT_EQ(findKey("23"), nullptr); // subkey values need their section
    EXPECT_EQ(findKey("no_such_key"), nullptr);
    EXPECT_EQ(findKey("echo_delay")->section, Section::echo);
    EXPECT_EQ(findKey("MixLoop")->section, Section::cfg);
    EXPECT_EQ(keyName(*findKey("tuner_us4"), 4), "tuner_us4");
}

TEST_F(TableFixture, TextIsParsedAsTheStoredType)
{
    const KeyInfo* delay = findKey("echo_delay");
    EXPECT_TRUE(setFromText(*engine, *delay, 0, "0.25"));
    EXPECT_EQ(engine->params.echo.echo_delay.get(), 0.25f);
    EXPECT_FALSE(setFromText(*engine, *delay, 0, "fast"));
    EXPECT_FALSE(setFromText(*engine, *delay, 0, "0.25s"));
    EXPECT_FALSE(setFromText(*engine, *delay, 0, ""));
    EXPECT_FALSE(setFromText(*engine, *delay, 0, "nan"));
    EXPECT_FALSE(setFromText(*engine, *delay, 0, "inf"));
    EXPECT_FALSE(setFromText(*engine, *delay, 0, "1e39")); // beyond every float
    EXPECT_EQ(engine->params.echo.echo_delay.get(), 0.25f); // unchanged by the failures
    // Numbers below the normal floats are numbers too.
    EXPECT_TRUE(setFromText(*engine, *delay, 0, "1e-38"));
    EXPECT_EQ(engine->params.echo.echo_delay.get(), 1e-38f);
    EXPECT_TRUE(setFromText(*engine, *delay, 0, "-1e-45"));
    EXPECT_EQ(engine->params.echo.echo_delay.get(), -1e-45f);

    const KeyInfo* enabled = findKey("echo_enabled");
    EXPECT_TRUE(setFromText(*engine, *enabled, 0, "1"));
    EXPECT_EQ(engine->params.echo.echo_enabled.get(), 1);
    EXPECT_FALSE(setFromText(*engine, *enabled, 0, "1.5")); // an int key takes integers only
    EXPECT_FALSE(setFromText(*engine, *enabled, 0, "99999999999"));

    // wah_sel is a float while running and an integer in the store.
    const KeyInfo* sel = findKey("wah_sel");
    EXPECT_FALSE(setFromText(*engine, *sel, 0, "5.7"));
    engine->params.wah.wah_sel = 5.7f;
    EXPECT_EQ(storedText(*engine, *sel, 0), "5");
    // rev_lfabs is an integer while running and a float in the store: read
    // back, a stored 1.9 truncates to 1.
    const KeyInfo* lf = findKey("rev_lfabs");
    EXPECT_TRUE(setFromText(*engine, *lf, 0, "1.9"));
    EXPECT_EQ(engine->params.rev.rev_lfabs.get(), 1);
    EXPECT_EQ(storedText(*engine, *lf, 0), "1");
    // dist_drive is a double while running and a float in the store.
    engine->params.dist.dist_drive = 123.456789;
    EXPECT_EQ(storedText(*engine, *findKey("dist_drive"), 0), "123.457");

    // Floats keep six significant digits.
    engine->params.echo.echo_fb = 0.123456789f;
    EXPECT_EQ(storedText(*engine, *findKey("echo_fb"), 0), "0.123457");
    engine->params.dist.dist_lpfreq = 5500.0f;
    EXPECT_EQ(storedText(*engine, *findKey("dist_lpfreq"), 0), "5500");
    engine->params.echo.echo_delay = 0.00001f;
    EXPECT_EQ(storedText(*engine, *delay, 0), "1e-05");

    // Strings up to their read limit.
    const KeyInfo* fileIn = findKey("FileIn");
    EXPECT_TRUE(setFromText(*engine, *fileIn, 0, "/tmp/guitar take 1.wav"));
    EXPECT_EQ(engine->settings.FileIn.get(), "/tmp/guitar take 1.wav");
    EXPECT_FALSE(setFromText(*engine, *fileIn, 0, std::string(1024, 'x')));
    EXPECT_TRUE(setFromText(*engine, *fileIn, 0, std::string(1023, 'x')));
    // A dry level brings its wet level along.
    EXPECT_TRUE(setFromText(*engine, *findKey("echo_dry"), 0, "0.6"));
    EXPECT_FLOAT_EQ(engine->params.echo.echo_wet.get(), 0.4f);
    EXPECT_TRUE(setFromText(*engine, *findKey("pitch_dry"), 0, "0.25"));
    EXPECT_FLOAT_EQ(engine->params.pitch.pitch_wet.get(), 0.75f);
    // Legacy keys have no live value of their own.
    EXPECT_FALSE(setFromText(*engine, *findKey("dist_overdrv"), 0, "1"));
}

TEST_F(TableFixture, EnableSseIsTheProcessWideSwitch)
{
    const KeyInfo* sse = findKey("EnableSSE");
    ASSERT_NE(sse, nullptr);
    EXPECT_TRUE(setFromText(*engine, *sse, 0, "0"));
    EXPECT_FALSE(dsp::cpu::simdEnabled());
    EXPECT_EQ(storedText(*engine, *sse, 0), "0");
    EXPECT_TRUE(setFromText(*engine, *sse, 0, "1"));
    EXPECT_TRUE(dsp::cpu::simdEnabled());
}

TEST_F(TableFixture, RolesMarkTheConditionalKeys)
{
    EXPECT_EQ(findKey("ictrl_bass")->role, KeyRole::EqTone);
    EXPECT_EQ(findKey("ictrl_bass")->eq, EqOwner::Input);
    EXPECT_EQ(findKey("octrl_equ2")->role, KeyRole::EqBands);
    EXPECT_EQ(findKey("octrl_equ2")->eq, EqOwner::Output);
    EXPECT_EQ(findKey("a_gequ_cnt")->role, KeyRole::EqGraphicCount);
    EXPECT_EQ(findKey("a_gequ_x7")->role, KeyRole::EqGraphicPoint);
    EXPECT_EQ(findKey("a_gequ_x7")->eq, EqOwner::Amp);
    EXPECT_EQ(findKey("spk_ir_fname")->role, KeyRole::IrFile);
    EXPECT_EQ(findKey("ir_code")->role, KeyRole::IrLibrary);
    EXPECT_EQ(findKey("wah_talk_box")->role, KeyRole::Legacy);
    EXPECT_EQ(findKey("echo_fb")->role, KeyRole::Always);
    // Live types where they differ from the stored ones.
    EXPECT_EQ(findKey("wah_sel")->live, LiveType::Float);
    EXPECT_EQ(findKey("rev_hfabs")->live, LiveType::Int);
    EXPECT_EQ(findKey("phaser_analog")->live, LiveType::Int);
    EXPECT_EQ(findKey("dist_drive")->live, LiveType::Double);
    EXPECT_EQ(findKey("FileMix")->live, LiveType::String);
}
