// The wah inside the real chain: where ProcessBlock runs the engine's own wah
// unit, the envelope follower fed by the chain, and `korvex render` driving
// both wahs in all four modes through --set.
#include "engine/Engine.h"
#include "engine/Render.h"

#include "TestFiles.h"
#include "assets/DemoGuitar.h"
#include "dsp/RecordingMessages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <vector>

using namespace stravik;
using namespace testfiles;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Forwards every step to the engine's own stages, noting the order.
class ForwardingStages final : public ChainStages {
public:
    explicit ForwardingStages(EffectStages& real) : r_(real) {}
    std::vector<std::string> calls;

    void startRun(int rate) override { r_.startRun(rate); }
    void phaserReset() override { r_.phaserReset(); }
    void chorusReset() override { r_.chorusReset(); }
    void echoReset() override { r_.echoReset(); }
    void noiseGate(double* b, int n) override { note("noiseGate"); r_.noiseGate(b, n); }
    void inputControl(double* b, int n) override { note("inputControl"); r_.inputControl(b, n); }
    void envelopeFollow(const double* b, int n) override { note("envelopeFollow"); r_.envelopeFollow(b, n); }
    void inputCompressor(double* b, int n) override { note("inputCompressor"); r_.inputCompressor(b, n); }
    void volumeSwell(double* b, int n) override { note("volumeSwell"); r_.volumeSwell(b, n); }
    void pitchShifter(double* b, int n) override { note("pitchShifter"); r_.pitchShifter(b, n); }
    void wah(double* b, int n) override { note("wah"); r_.wah(b, n); }
    void phaser(double* b, int n) override { note("phaser"); r_.phaser(b, n); }
    void ampPreStage(double* b, int n) override { note("ampPreStage"); r_.ampPreStage(b, n); }
    void outputCompressor(double* b, int n) override { note("outputCompressor"); r_.outputCompressor(b, n); }
    void cabinet(double* b, int n) override { note("cabinet"); r_.cabinet(b, n); }
    void tremolo(double* b, int n) override { note("tremolo"); r_.tremolo(b, n); }
    void chorusMono(double* b, int n) override { note("chorusMono"); r_.chorusMono(b, n); }
    void outputControl(double* b, int n) override { note("outputControl"); r_.outputControl(b, n); }
    void echoMono(double* b, int n) override { note("echoMono"); r_.echoMono(b, n); }
    void distortion(double* b, int n) override { note("distortion"); r_.distortion(b, n); }
    void amp(double* b, int n) override { note("amp"); r_.amp(b, n); }
    void chorusStereo(double* s, int f) override { note("chorusStereo"); r_.chorusStereo(s, f); }
    void echoSpread(double* s, int f) override { note("echoSpread"); r_.echoSpread(s, f); }
    void echoMonoOnStereo(double* s, int f) override { note("echoMonoOnStereo"); r_.echoMonoOnStereo(s, f); }
    void reverb(double* out, const double* in, int f, bool st) override { note("reverb"); r_.reverb(out, in, f, st); }
    void metronome(double* b, int f, bool st) override { note("metronome"); r_.metronome(b, f, st); }
    void pollPedal() override { note("pollPedal"); r_.pollPedal(); }

    long indexOf(const std::string& name) const
    {
        const auto it = std::find(calls.begin(), calls.end(), name);
        return it == calls.end() ? -1 : it - calls.begin();
    }

private:
    void note(const char* name) { calls.push_back(name); }
    EffectStages& r_;
};

struct ChainRig {
    RecordingMessages messages;
    std::unique_ptr<Engine> engine = std::make_unique<Engine>(messages);
    ForwardingStages spy{engine->effects()};

    ChainRig()
    {
        engine->settings.stereo = 0;
        engine->settings.BeepOnStart = 0;
    }
    effects::Wah& wah() { return engine->effects().wahUnit; }
    // One block of a sine through the chain; the output stays in WorkBuffer.
    void block(double freq, double amp, long& sample)
    {
        for (int i = 0; i < Engine::kBlockFrames; ++i, ++sample)
            engine->WorkBuffer[i] = amp * std::sin(2.0 * kPi * freq * static_cast<double>(sample) / 48000.0);
        engine->ProcessBlock(Engine::kBlockFrames);
    }
};

std::vector<int16_t> demoClip(double seconds)
{
    std::vector<int16_t> v = assets::synthesizeDemoGuitar(48000);
    v.resize(static_cast<size_t>(seconds * 48000));
    return v;
}

double rms16(const std::vector<int16_t>& v)
{
    double s = 0.0;
    for (int16_t x : v) s += static_cast<double>(x) * x;
    return std::sqrt(s / static_cast<double>(std::max<size_t>(1, v.size()))) / 32768.0;
}

} // namespace

TEST(WahChain, AfterWahKeepsTheRealWahFirstEvenInTalkBoxMode)
{
    ChainRig rig;
    auto& p = rig.engine->params;
    p.dist.dist_awah = 1;
    p.dist.dist_enabled = 1;
    p.amp.spkcab_enabled = 1;
    p.wah.wah_enabled = 1;
    p.wah.wah_mode = effects::kWahTalkBox;
    p.wah.wah_auto = effects::kWahFixed;
    rig.engine->setStages(&rig.spy);
    rig.engine->beginRun(48000);
    long sample = 0;
    rig.spy.calls.clear();
    rig.block(700.0, 0.3, sample);
    const long wah = rig.spy.indexOf("wah");
    ASSERT_GE(wah, 0);
    EXPECT_LT(wah, rig.spy.indexOf("distortion"));
    EXPECT_EQ(std::count(rig.spy.calls.begin(), rig.spy.calls.end(), "wah"), 1);
    // The real unit did the work: the talk box was designed for wah_f1.
    EXPECT_EQ(rig.wah().state().mode, effects::kWahTalkBox);
    EXPECT_EQ(rig.wah().state().updateFrequency, 450);

    // Without "After Wah" the talk box moves behind the cabinet.
    p.dist.dist_awah = 0;
    rig.spy.calls.clear();
    rig.block(700.0, 0.3, sample);
    EXPECT_GT(rig.spy.indexOf("wah"), rig.spy.indexOf("cabinet"));
    // And any other mode sits right after the distortion.
    p.wah.wah_mode = effects::kWahModern;
    rig.spy.calls.clear();
    rig.block(700.0, 0.3, sample);
    EXPECT_GT(rig.spy.indexOf("wah"), rig.spy.indexOf("distortion"));
    EXPECT_LT(rig.spy.indexOf("wah"), rig.spy.indexOf("ampPreStage"));
}

TEST(WahChain, TheEngineRunsItsWahFromTheStartOfARun)
{
    // A Modern wah fixed at 1000 Hz with full gain: a 1000 Hz tone comes out
    // far louder than a 3000 Hz one of the same level. Everything else is off.
    auto level = [](double freq) {
        ChainRig rig;
        auto& w = rig.engine->params.wah;
        w.wah_enabled = 1;
        w.wah_auto = effects::kWahFixed;
        w.wah_mode = effects::kWahModern;
        w.wah_f1 = 1000;
        w.wah_range = 1.0f;
        rig.engine->beginRun(48000);
        long sample = 0;
        double peak = 0.0;
        for (int b = 0; b < 60; ++b) {
            rig.block(freq, 0.01, sample);
            if (b >= 30)
                for (int i = 0; i < Engine::kBlockFrames; ++i) peak = std::max(peak, std::fabs(rig.engine->WorkBuffer[i]));
        }
        return peak;
    };
    const double at1000 = level(1000.0), at3000 = level(3000.0);
    // +30 dB of peaking, the first-order low-pass at its corner (-3 dB) and
    // the 50 Hz high-pass's input gain (1 + 2 (1 - 900/4000)) * 0.22.
    EXPECT_NEAR(at1000, 0.01 * std::pow(10.0, 30.0 / 20.0) * std::sqrt(0.5) * 0.561, 0.004);
    EXPECT_GT(at1000, 10.0 * at3000);
}

TEST(WahChain, EnvelopeWahFollowsTheChainInput)
{
    ChainRig rig;
    rig.engine->params.ewah.ewah_enabled = 1;
    rig.engine->beginRun(48000);
    EXPECT_EQ(rig.wah().envelopeRingLength(), 34);
    long sample = 0;
    for (int b = 0; b < 5; ++b) rig.block(330.0, 0.0, sample);
    EXPECT_EQ(rig.wah().state().currentFrequency, 1800); // End: silence
    for (int b = 0; b < 40; ++b) rig.block(330.0, 0.5, sample);
    EXPECT_EQ(rig.wah().state().currentFrequency, 450); // Start: a loud note
    // Switched off, the follower is not fed and the wah does not run.
    rig.engine->params.ewah.ewah_enabled = 0;
    const double before = rig.wah().envelope();
    for (int b = 0; b < 5; ++b) rig.block(330.0, 0.001, sample);
    EXPECT_EQ(rig.wah().envelope(), before);
}

TEST(WahRender, BothWahsInAllFourModesThroughRenderSettings)
{
    TempDir dir;
    const auto in = demoClip(3.0);
    writeWav(dir.file("in.wav"), in);
    const double inRms = rms16(in);

    auto render = [&](const std::string& name, const std::vector<std::string>& sets) {
        RecordingMessages messages;
        RenderJob job(messages);
        std::string error;
        EXPECT_TRUE(job.applySetting("stereo=0", error)) << error;
        for (const auto& s : sets) EXPECT_TRUE(job.applySetting(s, error)) << s << ": " << error;
        EXPECT_EQ(job.run(dir.file("in.wav"), dir.file(name), ""), RenderJob::kOk);
        EXPECT_EQ(messages.count(), 0u);
        return readSamples(dir.file(name));
    };

    const auto dry = render("dry.wav", {});
    std::vector<std::vector<int16_t>> outs;
    for (const char* which : {"wah", "ewah"}) {
        for (int mode = 0; mode < 4; ++mode) {
            const std::string w = which;
            std::vector<std::string> sets = {w + "_enabled=1", w + "_mode=" + std::to_string(mode)};
            if (w == "wah") sets.push_back("wah_period=0.5");
            const auto out = render(w + std::to_string(mode) + ".wav", sets);
            ASSERT_EQ(out.size(), dry.size());
            const double r = rms16(out);
            // Sane: audible, no blow-up (the soft clipper would pin a runaway
            // filter near full scale), and not the dry signal.
            EXPECT_GT(r, 0.1 * inRms) << w << " mode " << mode;
            EXPECT_LT(r, 0.5) << w << " mode " << mode;
            EXPECT_NE(out, dry) << w << " mode " << mode;
            for (const auto& other : outs) EXPECT_NE(out, other) << w << " mode " << mode;
            outs.push_back(out);
        }
    }
}

TEST(WahRender, KorvexCommandLineDrivesTheWahLikeTheRenderJob)
{
    TempDir dir;
    writeWav(dir.file("in.wav"), demoClip(1.0));
    const std::vector<std::string> sets = {"stereo=0", "wah_enabled=1", "wah_mode=3", "wah_auto=2",
                                           "wah_f1=600", "wah_f2=2500", "wah_period=0.4", "wah_sel=3"};
    std::string cmd = std::string(STRAVIK_BUILD_DIR) + "/korvex render --in " + dir.file("in.wav") + " --out "
                      + dir.file("cli.wav");
    for (const auto& s : sets) cmd += " --set " + s;
    cmd += " >/dev/null 2>&1 </dev/null";
    const int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    RecordingMessages messages;
    RenderJob job(messages);
    std::string error;
    for (const auto& s : sets) ASSERT_TRUE(job.applySetting(s, error)) << error;
    ASSERT_EQ(job.run(dir.file("in.wav"), dir.file("job.wav"), ""), RenderJob::kOk);
    const auto cli = readSamples(dir.file("cli.wav"));
    EXPECT_EQ(cli, readSamples(dir.file("job.wav")));
    // And the wah did something: the dry render differs.
    RenderJob dryJob(messages);
    ASSERT_TRUE(dryJob.applySetting("stereo=0", error));
    ASSERT_EQ(dryJob.run(dir.file("in.wav"), dir.file("dry.wav"), ""), RenderJob::kOk);
    EXPECT_NE(cli, readSamples(dir.file("dry.wav")));
}
