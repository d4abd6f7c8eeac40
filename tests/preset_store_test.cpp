// test-label: threads
// Presets on a real store: sections written and replaced whole, the rules for
// missing and legacy keys, the load with its selection, silence and
// recomputation, and a load from another thread while the chain runs.
#include "presets/EngineEffects.h"
#include "presets/PresetStore.h"
#include "presets/RegistryStore.h"

#include "PresetFakes.h"
#include "dsp/RecordingMessages.h"
#include "engine/Engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

using namespace stravik;
using presetfakes::FakeEffects;

namespace {

SectionFlags only(std::initializer_list<Section> sections)
{
    SectionFlags f{};
    for (Section s : sections) f[static_cast<size_t>(s)] = true;
    return f;
}

struct PresetFixture : ::testing::Test {
    RecordingMessages messages;
    std::unique_ptr<Engine> engine = std::make_unique<Engine>(messages);
    RegistryStore store{":memory:"};
    FakeEffects effects;
    PresetStore presets{*engine, store, messages, effects};

    std::string value(const std::string& preset, const std::string& key)
    {
        return store.read(key, "presets\\" + preset).value_or("<missing>");
    }
};

} // namespace

TEST_F(PresetFixture, AnEchoOnlyPresetWithTurnOffOthersLeavesOnlyTheEchoFlag)
{
    auto& p = engine->params;
    p.echo.echo_enabled = 1;
    p.echo.echo_delay = 0.3f;
    presets.setSaveSelection(only({Section::echo}));
    ASSERT_TRUE(presets.WritePreset("Slapback"));
    // Everything on, then load.
    p.dist.dist_enabled = p.amp.spkcab_enabled = p.rev.rev_enabled = p.io.io_hiss = p.io.nf_enabled = 1;
    p.wah.wah_enabled = p.compr.icompr_enabled = p.swell.swell_enabled = p.echo.echo_enabled = 1;
    p.echo.echo_enabled = 0;
    EXPECT_EQ(presets.LoadPreset("slapback", false), 0); // names match without regard to case
    const auto lamps = presets.indicators();
    for (int i = 0; i < 13; ++i) EXPECT_EQ(lamps[static_cast<size_t>(i)], i == 3) << i;
    EXPECT_EQ(p.echo.echo_delay.get(), 0.3f);
    EXPECT_FLOAT_EQ(p.echo.echo_wet.get(), 1.0f - p.echo.echo_dry.get()); // not stored: follows the dry level
    EXPECT_EQ(presets.saveSelection(), only({Section::echo}));
    EXPECT_TRUE(presets.turnOffOthers());
}

TEST_F(PresetFixture, SectionsAreWrittenInOrderWithTheirKeysAndNothingElse)
{
    presets.setSaveSelection(only({Section::reverb, Section::distortion}));
    engine->params.dist.dist_drive = 123.456789;
    ASSERT_TRUE(presets.WritePreset("Two"));
    const auto v = store.values("presets\\Two");
    ASSERT_GE(v.size(), 2u);
    EXPECT_EQ(v[0], (std::pair<std::string, std::string>{"distortion", "1"}));
    EXPECT_EQ(v[1].first, "dist_enabled");
    EXPECT_EQ(value("Two", "dist_drive"), "123.457");
    EXPECT_EQ(value("Two", "dist_overdrv"), "<missing>"); // the legacy key is never written
    EXPECT_EQ(value("Two", "reverb"), "1");
    EXPECT_EQ(value("Two", "rev_lfabs"), "1");
    EXPECT_EQ(value("Two", "echo"), "<missing>");
    // dist: 11 keys + marker, reverb: 10 keys + marker.
    EXPECT_EQ(v.size(), 12u + 11u);
    // 0.123456789 is kept as six significant digits.
    engine->params.echo.echo_fb = 0.123456789f;
    presets.setSaveSelection(only({Section::echo}));
    ASSERT_TRUE(presets.WritePreset("Fb"));
    EXPECT_EQ(value("Fb", "echo_fb"), "0.123457");
}

TEST_F(PresetFixture, SavingAgainWithFewerSectionsRemovesTheOthersAndNoneRemovesThePreset)
{
    presets.setSaveSelection(only({Section::echo, Section::chorus}));
    ASSERT_TRUE(presets.WritePreset("P"));
    EXPECT_EQ(value("P", "chorus"), "1");
    presets.setSaveSelection(only({Section::echo}));
    ASSERT_TRUE(presets.WritePreset("P"));
    EXPECT_EQ(value("P", "chorus"), "<missing>");
    EXPECT_EQ(value("P", "chorus_delay"), "<missing>");
    presets.setSaveSelection(SectionFlags{});
    ASSERT_TRUE(presets.WritePreset("P"));
    EXPECT_FALSE(presets.exists("P"));
    EXPECT_TRUE(presets.ListPresets().empty());
}

TEST_F(PresetFixture, EqualiserKeysFollowTheTypeInForce)
{
    auto& io = engine->params.io;
    io.ictrl.eqtype = 3;
    io.ictrl.bands[2] = 0.9f;
    io.octrl.eqtype = 4;
    io.octrl.pointCount = 3;
    io.octrl.pointX[2] = 5000.0f;
    io.octrl.pointY[2] = -6.0f;
    presets.setSaveSelection(only({Section::ioctrl}));
    ASSERT_TRUE(presets.WritePreset("Eq"));
    EXPECT_EQ(value("Eq", "ictrl_equ2"), "0.9");
    EXPECT_EQ(value("Eq", "ictrl_bass"), "<missing>");
    EXPECT_EQ(value("Eq", "o_gequ_cnt"), "3");
    EXPECT_EQ(value("Eq", "o_gequ_x2"), "5000");
    EXPECT_EQ(value("Eq", "o_gequ_y2"), "-6");
    EXPECT_EQ(value("Eq", "o_gequ_x3"), "<missing>");
    // Points in turn: x0 y0 x1 y1 ... after the count.
    const auto v = store.values("presets\\Eq");
    size_t countAt = 0;
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i].first == "o_gequ_cnt") countAt = i;
    EXPECT_EQ(v[countAt + 1].first, "o_gequ_x0");
    EXPECT_EQ(v[countAt + 2].first, "o_gequ_y0");
    EXPECT_EQ(v[countAt + 3].first, "o_gequ_x1");

    // Round trip into a changed engine.
    io.ictrl.bands[2] = 0.1f;
    io.octrl.pointCount = 2;
    io.octrl.pointX[2] = 0.0f;
    ASSERT_EQ(presets.LoadPreset("Eq", false), 0);
    EXPECT_EQ(io.ictrl.bands[2].get(), 0.9f);
    EXPECT_EQ(io.octrl.pointCount.get(), 3);
    EXPECT_EQ(io.octrl.pointX[2].get(), 5000.0f);
}

TEST_F(PresetFixture, MissingKeysTakeTheirMissingValues)
{
    // A hand-made preset: the output equaliser of type 3 without its bands.
    store.write("ioctrl", "1", "presets\\Old");
    store.write("octrl_eqtype", "3", "presets\\Old");
    engine->params.io.octrl.bands[0] = 0.7f;
    engine->params.compr.ocompr_beforeamp = 0;
    store.write("compress", "1", "presets\\Old");
    ASSERT_EQ(presets.LoadPreset("Old", false), 0);
    for (int b = 0; b < 5; ++b) EXPECT_EQ(engine->params.io.octrl.bands[b].get(), 0.05f) << b;
    EXPECT_EQ(engine->params.io.nf_tresh.get(), -50.0f);
    EXPECT_EQ(engine->params.compr.ocompr_beforeamp.get(), 1); // missing: before the power amp
}

TEST_F(PresetFixture, LegacyKeysOfOlderPresets)
{
    store.write("wah", "1", "presets\\W1");
    store.write("wah_talk_box", "1", "presets\\W1");
    store.write("wah_sel", "5", "presets\\W1");
    ASSERT_EQ(presets.LoadPreset("W1", false), 0);
    EXPECT_EQ(engine->params.wah.wah_mode.get(), 3);
    EXPECT_EQ(engine->params.wah.wah_sel.get(), 5.0f);
    store.write("wah", "1", "presets\\W2");
    ASSERT_EQ(presets.LoadPreset("W2", false), 0);
    EXPECT_EQ(engine->params.wah.wah_mode.get(), 2);
    store.write("ewah", "1", "presets\\E1");
    store.write("ewah_talk_box", "1", "presets\\E1");
    ASSERT_EQ(presets.LoadPreset("E1", false), 0);
    EXPECT_EQ(engine->params.ewah.ewah_mode.get(), 3);

    store.write("distortion", "1", "presets\\D0");
    store.write("dist_overdrv", "0", "presets\\D0");
    ASSERT_EQ(presets.LoadPreset("D0", false), 0);
    EXPECT_EQ(engine->params.dist.dist_mode.get(), 1);
    store.write("distortion", "1", "presets\\D1");
    store.write("dist_overdrv", "1", "presets\\D1");
    ASSERT_EQ(presets.LoadPreset("D1", false), 0);
    EXPECT_EQ(engine->params.dist.dist_mode.get(), 0);
    store.write("distortion", "1", "presets\\DNone");
    ASSERT_EQ(presets.LoadPreset("DNone", false), 0);
    EXPECT_EQ(engine->params.dist.dist_mode.get(), 1);
    EXPECT_EQ(effects.staleTables, 3); // the table is out of date after each
}

TEST_F(PresetFixture, ImpulseResponseCodesSurviveALibraryReorder)
{
    // The real library of the amp simulator: entries 0..11 carry the old
    // codes, 15 has 203, 40 is "No cabinet" (code 0).
    EngineEffects real(*engine);
    PresetStore withLibrary(*engine, store, messages, real);
    // No ir_code: taken from the old table by ir_num (5 -> 201).
    store.write("spkcab", "1", "presets\\Cab");
    store.write("ir_num", "5", "presets\\Cab");
    ASSERT_EQ(withLibrary.LoadPreset("Cab", false), 0);
    EXPECT_EQ(engine->params.amp.ir_num.get(), 5);
    EXPECT_EQ(engine->params.amp.ir_code.get(), 201);
    // A code found elsewhere in the library moves ir_num there.
    store.write("ir_num", "3", "presets\\Moved");
    store.write("ir_code", "203", "presets\\Moved");
    store.write("spkcab", "1", "presets\\Moved");
    ASSERT_EQ(withLibrary.LoadPreset("Moved", false), 0);
    EXPECT_EQ(engine->params.amp.ir_num.get(), 15);
    EXPECT_TRUE(messages.texts().empty());
    // An unknown code keeps ir_num and says so.
    store.write("spkcab", "1", "presets\\Gone");
    store.write("ir_num", "7", "presets\\Gone");
    store.write("ir_code", "999", "presets\\Gone");
    ASSERT_EQ(withLibrary.LoadPreset("Gone", false), 0);
    EXPECT_EQ(engine->params.amp.ir_num.get(), 7);
    EXPECT_EQ(messages.texts(), (std::vector<std::string>{"IR not found!"}));
    // A preset with a file reference leaves the library alone.
    store.write("spkcab", "1", "presets\\File");
    store.write("spkcab_file", "1", "presets\\File");
    ASSERT_EQ(presets.LoadPreset("File", false), 0);
    EXPECT_EQ(effects.irReferences, 0);
    EXPECT_EQ(engine->params.amp.spk_ir_fname.get(), "default"); // missing: the default name
    // Written back with the entry's own code, or the file name instead.
    engine->params.amp.spkcab_file = 0;
    engine->params.amp.ir_num = 40;
    engine->params.amp.ir_code = 12345;
    withLibrary.setSaveSelection(only({Section::spkcab}));
    ASSERT_TRUE(withLibrary.WritePreset("NoCab"));
    EXPECT_EQ(value("NoCab", "ir_code"), "0");
    EXPECT_EQ(value("NoCab", "spk_ir_fname"), "<missing>");
    engine->params.amp.spkcab_file = 1;
    engine->params.amp.spk_ir_fname = "/home/me/cab one.wav";
    ASSERT_TRUE(withLibrary.WritePreset("FileCab"));
    EXPECT_EQ(value("FileCab", "spk_ir_fname"), "/home/me/cab one.wav");
    EXPECT_EQ(value("FileCab", "ir_num"), "<missing>");
}

TEST_F(PresetFixture, PlaceholderEmptyAndUnknownNames)
{
    engine->params.echo.echo_enabled = 1;
    EXPECT_EQ(presets.LoadPreset(PresetStore::kPlaceholder, true), 0);
    EXPECT_EQ(engine->params.echo.echo_enabled.get(), 1); // nothing changed
    EXPECT_EQ(presets.LoadPreset("", false), 1);
    EXPECT_TRUE(messages.texts().empty());
    EXPECT_EQ(presets.LoadPreset("Nope", false), 1);
    EXPECT_EQ(messages.texts(), (std::vector<std::string>{"Specified preset not found!"}));
    // The placeholder is never written; names the store cannot hold are refused.
    presets.setSaveSelection(only({Section::echo}));
    EXPECT_FALSE(presets.WritePreset(PresetStore::kPlaceholder));
    EXPECT_FALSE(presets.WritePreset("a\\b"));
    EXPECT_FALSE(presets.WritePreset("[x]y"));
    EXPECT_FALSE(presets.WritePreset(std::string(127, 'n')));
    EXPECT_TRUE(presets.WritePreset(std::string(126, 'n')));
    EXPECT_TRUE(presets.WritePreset("Lead = 2 (Eb)"));
    EXPECT_EQ(presets.ListPresets().size(), 2u);
}

TEST_F(PresetFixture, TheLoadDialogChoosesSectionsOrCancels)
{
    struct Dialog : LoadPresetDialog {
        bool accept = true;
        SectionFlags seenHeld{};
        bool choose(const std::string&, const SectionFlags& held, SectionFlags& selection, bool& turnOff) override
        {
            seenHeld = held;
            selection[static_cast<size_t>(Section::chorus)] = false; // untick the chorus
            turnOff = false;
            return accept;
        }
    } dialog;
    presets.setLoadDialog(&dialog);
    engine->params.echo.echo_delay = 0.2f;
    engine->params.chorus.chorus_delay = 0.03f;
    presets.setSaveSelection(only({Section::echo, Section::chorus}));
    ASSERT_TRUE(presets.WritePreset("EC"));
    engine->params.echo.echo_delay = 0.9f;
    engine->params.chorus.chorus_delay = 0.05f;
    engine->params.trem.trem_enabled = 1;
    dialog.accept = false;
    EXPECT_EQ(presets.LoadPreset("EC", true), 1);
    EXPECT_EQ(engine->params.echo.echo_delay.get(), 0.9f);
    dialog.accept = true;
    EXPECT_EQ(presets.LoadPreset("EC", true), 0);
    EXPECT_EQ(dialog.seenHeld, only({Section::echo, Section::chorus}));
    EXPECT_EQ(engine->params.echo.echo_delay.get(), 0.2f);
    EXPECT_EQ(engine->params.chorus.chorus_delay.get(), 0.05f); // not chosen
    EXPECT_EQ(engine->params.trem.trem_enabled.get(), 1);       // others left on
    EXPECT_FALSE(presets.turnOffOthers());
    EXPECT_EQ(presets.saveSelection(), only({Section::echo, Section::chorus}));
    // Without asking, "Turn off other effects" is set again.
    EXPECT_EQ(presets.LoadPreset("EC", false), 0);
    EXPECT_TRUE(presets.turnOffOthers());
    EXPECT_EQ(engine->params.trem.trem_enabled.get(), 0);
}

TEST_F(PresetFixture, WhileRunningEffectsRecomputeInOrderAndTheCompressorsComeLast)
{
    presets.setSaveSelection(only({Section::spkcab, Section::echo, Section::distortion, Section::ewah,
                                   Section::compress, Section::phaser, Section::tremolo}));
    engine->params.compr.icompr_enabled = 1;
    ASSERT_TRUE(presets.WritePreset("Big"));
    engine->params.compr.icompr_enabled = 0;

    struct Checker : FakeEffects {
        Engine* e = nullptr;
        std::vector<int> compressorDuringRecompute;
        void recompute(Section s) override
        {
            FakeEffects::recompute(s);
            compressorDuringRecompute.push_back(e->params.compr.icompr_enabled);
        }
    } checker;
    checker.e = engine.get();
    PresetStore running(*engine, store, messages, checker);
    engine->running = true;
    ASSERT_EQ(running.LoadPreset("Big", false), 0);
    engine->running = false;
    EXPECT_EQ(checker.recomputed,
              (std::vector<Section>{Section::distortion, Section::wah, Section::echo, Section::phaser, Section::spkcab}));
    for (int v : checker.compressorDuringRecompute) EXPECT_EQ(v, 0);
    EXPECT_EQ(engine->params.compr.icompr_enabled.get(), 1);
    EXPECT_FALSE(engine->presetLoading());
    // Not running: nothing recomputes now (the next run starts the effects).
    FakeEffects idle;
    PresetStore stopped(*engine, store, messages, idle);
    ASSERT_EQ(stopped.LoadPreset("Big", false), 0);
    EXPECT_TRUE(idle.recomputed.empty());
}

TEST_F(PresetFixture, TheVolumesMoveTheirControls)
{
    struct Listener : PresetListener {
        int volumes = 0, lamps = 0;
        void volumesChanged() override { ++volumes; }
        void indicatorsChanged(const std::array<bool, 13>&) override { ++lamps; }
    } listener;
    presets.setListener(&listener);
    engine->volumes.OutputVolume = 0.5f;
    presets.setSaveSelection(only({Section::IO_Volumes}));
    ASSERT_TRUE(presets.WritePreset("Vol"));
    engine->volumes.OutputVolume = 1.0f;
    ASSERT_EQ(presets.LoadPreset("Vol", false), 0);
    EXPECT_EQ(engine->volumes.OutputVolume.get(), 0.5f);
    EXPECT_EQ(listener.volumes, 1);
    EXPECT_EQ(listener.lamps, 1);
}

TEST_F(PresetFixture, AGraphicCountBeyondTheCurveIsCut)
{
    store.write("ioctrl", "1", "presets\\Many");
    store.write("ictrl_eqtype", "4", "presets\\Many");
    store.write("i_gequ_cnt", "250", "presets\\Many");
    store.write("i_gequ_x99", "19000", "presets\\Many");
    ASSERT_EQ(presets.LoadPreset("Many", false), 0);
    EXPECT_EQ(engine->params.io.ictrl.pointCount.get(), 100);
    EXPECT_EQ(engine->params.io.ictrl.pointX[99].get(), 19000.0f);
}

namespace {

// Checks, inside the chain, that a block whose input was not silenced never
// sees the two echo values of different presets.
class ConsistencyStage final : public ChainStages {
public:
    explicit ConsistencyStage(Engine& e) : e_(e) {}
    std::atomic<int> blocks{0}, silent{0}, mixed{0};
    void startRun(int) override {}
    void phaserReset() override {}
    void chorusReset() override {}
    void echoReset() override {}
    void noiseGate(double*, int) override {}
    void inputControl(double* b, int n) override
    {
        ++blocks;
        if (std::fabs(b[n - 1]) < 1e-9) {
            ++silent; // a preset is being applied
            return;
        }
        const float d = e_.params.echo.echo_delay, f = e_.params.echo.echo_fb;
        const bool a = d == 0.25f && f == 0.5f, c = d == 0.75f && f == 0.125f;
        if (!a && !c) ++mixed;
    }
    void envelopeFollow(const double*, int) override {}
    void inputCompressor(double*, int) override {}
    void volumeSwell(double*, int) override {}
    void pitchShifter(double*, int) override {}
    void wah(double*, int) override {}
    void phaser(double*, int) override {}
    void ampPreStage(double*, int) override {}
    void outputCompressor(double*, int) override {}
    void cabinet(double*, int) override {}
    void tremolo(double*, int) override {}
    void chorusMono(double*, int) override {}
    void outputControl(double*, int) override {}
    void echoMono(double*, int) override {}
    void distortion(double*, int) override {}
    void amp(double*, int) override {}
    void chorusStereo(double*, int) override {}
    void echoSpread(double*, int) override {}
    void echoMonoOnStereo(double*, int) override {}
    void reverb(double*, const double*, int, bool) override {}
    void metronome(double*, int, bool) override {}
    void pollPedal() override {}

private:
    Engine& e_;
};

} // namespace

TEST_F(PresetFixture, ALoadFromAnotherThreadNeverReachesTheGuitarHalfApplied)
{
    auto& echo = engine->params.echo;
    presets.setSaveSelection(only({Section::echo}));
    echo.echo_delay = 0.25f;
    echo.echo_fb = 0.5f;
    ASSERT_TRUE(presets.WritePreset("A"));
    echo.echo_delay = 0.75f;
    echo.echo_fb = 0.125f;
    ASSERT_TRUE(presets.WritePreset("B"));
    ConsistencyStage stage(*engine);
    engine->setStages(&stage);
    engine->beginRun(48000);
    engine->running = true;
    std::atomic<bool> stop{false};
    std::thread chain([&] {
        while (!stop) {
            for (int i = 0; i < 128; ++i) engine->WorkBuffer[i] = 0.5;
            engine->ProcessBlock(128);
        }
    });
    // Loads while the chain plays, however the machine shares its processors
    // out: from the chain's first block on, and over a hundred blocks at least.
    while (stage.blocks.load() == 0) std::this_thread::yield();
    const int from = stage.blocks.load();
    for (int i = 0; i < 300 || stage.blocks.load() < from + 100; ++i)
        ASSERT_EQ(presets.LoadPreset(i % 2 ? "A" : "B", false), 0);
    stop = true;
    chain.join();
    engine->running = false;
    EXPECT_GT(stage.blocks.load(), 0);
    EXPECT_EQ(stage.mixed.load(), 0);
}
