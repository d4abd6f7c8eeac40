// ProcessBlock: the order of the stages and the switches that move them, the
// widening to stereo and the reverb's source, silence during a preset load,
// the start tone, file input with its padding, the output file, the ASIO copy
// and the meters.
#include "engine/Engine.h"
#include "engine/Samples.h"
#include "engine/devices/MemoryOutputDevice.h"

#include "dsp/RecordingMessages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace stravik;

namespace {

// Records every stage call as "name:buffer:count", where buffer is W (work),
// S (stereo) or O (oversampled). Stages can also leave a mark in the data.
class RecordingStages final : public ChainStages {
public:
    explicit RecordingStages(Engine& e) : e_(e) {}
    std::vector<std::string> calls;
    std::vector<double> gateInput;         // what the noise gate saw
    std::vector<double> reverbSource;      // the reverb's mono input
    const double* reverbSourcePtr = nullptr;
    bool reverbStereo = false;
    bool chorusMakesWide = false;          // stereo chorus: left * 1, right * 0.5
    int startRuns = 0;

    void startRun(int) override { ++startRuns; }
    void phaserReset() override { calls.push_back("phaserReset"); }
    void chorusReset() override { calls.push_back("chorusReset"); }
    void echoReset() override { calls.push_back("echoReset"); }
    void noiseGate(double* b, int n) override
    {
        gateInput.assign(b, b + n);
        rec("noiseGate", b, n);
    }
    void inputControl(double* b, int n) override { rec("inputControl", b, n); }
    void envelopeFollow(const double* b, int n) override { rec("envelopeFollow", b, n); }
    void inputCompressor(double* b, int n) override { rec("inputCompressor", b, n); }
    void volumeSwell(double* b, int n) override { rec("volumeSwell", b, n); }
    void pitchShifter(double* b, int n) override { rec("pitchShifter", b, n); }
    void wah(double* b, int n) override { rec("wah", b, n); }
    void phaser(double* b, int n) override { rec("phaser", b, n); }
    void ampPreStage(double* b, int n) override { rec("ampPreStage", b, n); }
    void outputCompressor(double* b, int n) override { rec("outputCompressor", b, n); }
    void cabinet(double* b, int n) override { rec("cabinet", b, n); }
    void tremolo(double* b, int n) override { rec("tremolo", b, n); }
    void chorusMono(double* b, int n) override { rec("chorusMono", b, n); }
    void outputControl(double* b, int n) override { rec("outputControl", b, n); }
    void echoMono(double* b, int n) override { rec("echoMono", b, n); }
    void distortion(double* b, int n) override { rec("distortion", b, n); }
    void amp(double* b, int n) override { rec("amp", b, n); }
    void chorusStereo(double* s, int f) override
    {
        if (chorusMakesWide)
            for (int i = 0; i < f; ++i) s[2 * i + 1] *= 0.5;
        rec("chorusStereo", s, f);
    }
    void echoSpread(double* s, int f) override { rec("echoSpread", s, f); }
    void echoMonoOnStereo(double* s, int f) override { rec("echoMonoOnStereo", s, f); }
    void reverb(double* out, const double* in, int f, bool stereo) override
    {
        reverbSource.assign(in, in + f);
        reverbSourcePtr = in;
        reverbStereo = stereo;
        rec("reverb", out, f);
    }
    void metronome(double* b, int f, bool) override { rec("metronome", b, f); }
    void pollPedal() override { calls.push_back("pollPedal"); }

private:
    void rec(const char* name, const double* b, int n)
    {
        const char* which = b == e_.WorkBuffer ? "W" : b == e_.StereoBuffer ? "S"
                          : b == e_.OversampledBuffer ? "O" : "?";
        calls.push_back(std::string(name) + ":" + which + ":" + std::to_string(n));
    }
    Engine& e_;
};

// The three file roles in memory.
class MemoryFiles final : public ChainFiles {
public:
    std::vector<int16_t> input;      // mono input file
    std::vector<int16_t> background; // interleaved when backgroundStereo
    bool backgroundStereo = false;
    std::vector<int16_t> output;
    int64_t position = 0;
    int progressReports = 0;
    int backgroundReads = 0;

    bool readInputBlock(int16_t* dst, int frames) override
    {
        const int64_t available = static_cast<int64_t>(input.size()) - position;
        const int64_t take = std::max<int64_t>(0, std::min<int64_t>(frames, available));
        for (int64_t i = 0; i < take; ++i) dst[i] = input[position + i];
        position += frames;
        return take == frames;
    }
    int64_t inputPosition() const override { return position; }
    int64_t inputFrames() const override { return static_cast<int64_t>(input.size()); }
    void mixBackground(int16_t* out, int frames, bool stereoOut) override
    {
        // A constant background value: easy to recognise in the output.
        const int values = stereoOut ? 2 * frames : frames;
        for (int i = 0; i < values; ++i) out[i] = static_cast<int16_t>(out[i] + 1000);
    }
    void readBackgroundBlock(int) override { ++backgroundReads; }
    void appendOutput(const int16_t* s, int count) override { output.insert(output.end(), s, s + count); }
    void reportProgress() override { ++progressReports; }
};

struct ChainFixture : ::testing::Test {
    RecordingMessages messages;
    std::unique_ptr<Engine> engine = std::make_unique<Engine>(messages);
    MemoryOutputDevice device;
    RecordingStages stages{*engine};
    MemoryFiles files;

    void SetUp() override
    {
        engine->settings.stereo = 0;
        engine->settings.BeepOnStart = 0;
        engine->setOutputDevice(&device);
        engine->setFiles(&files);
    }
    void useRecorder()
    {
        engine->setStages(&stages);
        engine->beginRun(48000);
        stages.calls.clear();
    }
    void fillWork(int n, double value)
    {
        for (int i = 0; i < n; ++i) engine->WorkBuffer[i] = value;
    }
    void enableEverything()
    {
        auto& p = engine->params;
        p.io.nf_enabled = 1;
        p.ewah.ewah_enabled = 1;
        p.compr.icompr_enabled = 1;
        p.compr.ocompr_enabled = 1;
        p.swell.swell_enabled = 1;
        p.pitch.pitch_enabled = 1;
        p.wah.wah_enabled = 1;
        p.phaser.phaser_enabled = 1;
        p.dist.dist_enabled = 1;
        p.amp.spkcab_enabled = 1;
        p.trem.trem_enabled = 1;
        p.chorus.chorus_enabled = 1;
        p.echo.echo_enabled = 1;
        p.rev.rev_enabled = 1;
    }
    std::vector<std::string> run(int n = 128)
    {
        stages.calls.clear();
        engine->ProcessBlock(n);
        return stages.calls;
    }
};

using Calls = std::vector<std::string>;

} // namespace

TEST_F(ChainFixture, EverythingOffMonoIsTheInputButForTheSaturation)
{
    engine->beginRun(48000);
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-1.2, 1.2);
    SoftClipper reference;
    for (int block = 0; block < 20; ++block) {
        const int n = 1 + block * 6;
        std::vector<double> in(n);
        for (double& v : in) v = u(rng);
        for (int i = 0; i < n; ++i) engine->WorkBuffer[i] = in[i];
        engine->ProcessBlock(n);
        std::vector<double> expected = in;
        reference.process(expected.data(), n, 1.0f);
        for (int i = 0; i < n; ++i) {
            ASSERT_NEAR(engine->WorkBuffer[i], expected[i], 2e-15) << block << " " << i;
            // Inside +-0.97 nothing but the denormal offset touches the sample.
            if (std::fabs(in[i]) < 0.96) {
                ASSERT_EQ(engine->OutputSamples[i], samples::outputValue(in[i], 1.0f));
            }
        }
    }
    // Whole 16-bit values come back unchanged, whatever the offset's sign.
    for (int block = 0; block < 4; ++block) {
        for (int i = 0; i < 128; ++i) engine->WorkBuffer[i] = ((i * 37 + block * 11) % 2001 - 1000) * 29 / 32768.0;
        engine->ProcessBlock(128);
        for (int i = 0; i < 128; ++i) {
            const int expected = ((i * 37 + block * 11) % 2001 - 1000) * 29;
            ASSERT_EQ(engine->OutputSamples[i], expected) << block << " " << i;
        }
    }
    // Full scale stays below 32767; twice full scale is exactly 32767.
    engine->WorkBuffer[0] = 1.0;
    engine->WorkBuffer[1] = 2.0;
    engine->WorkBuffer[2] = -2.0;
    engine->ProcessBlock(3);
    EXPECT_LT(engine->OutputSamples[0], 32767);
    EXPECT_EQ(engine->OutputSamples[1], 32767);
    EXPECT_EQ(engine->OutputSamples[2], -32767);
    // The device got every block, live.
    EXPECT_EQ(device.liveWrites(), 25);
    EXPECT_EQ(device.writeSizes().back(), 6);
}

TEST_F(ChainFixture, IdleStagesAreResetAndOnlyTheAlwaysOnStagesRun)
{
    useRecorder();
    EXPECT_EQ(run(64), (Calls{"phaserReset", "chorusReset", "echoReset", "inputControl:W:64",
                              "outputControl:W:64"}));
}

TEST_F(ChainFixture, FullChainInItsDefaultOrder)
{
    useRecorder();
    enableEverything();
    engine->metronomeOn = 1;
    EXPECT_EQ(run(100), (Calls{"noiseGate:W:100", "inputControl:W:100", "envelopeFollow:W:100",
                               "inputCompressor:W:100", "volumeSwell:W:100", "pitchShifter:W:100",
                               "distortion:O:400", "wah:W:100", "ampPreStage:W:100", "amp:O:400",
                               "cabinet:W:100", "outputCompressor:W:100", "tremolo:W:100",
                               "chorusMono:W:100", "phaser:W:100", "outputControl:W:100",
                               "echoMono:W:100", "reverb:W:100", "metronome:W:100"}));
}

TEST_F(ChainFixture, AfterWahPutsTheWahFirstEvenInTalkBoxMode)
{
    useRecorder();
    enableEverything();
    engine->params.dist.dist_awah = 1;
    engine->params.wah.wah_mode = effects::kWahTalkBox;
    engine->params.dist.dist_afterwah = 1; // phaser early too
    const Calls c = run();
    const Calls expectedStart{"noiseGate:W:128",    "inputControl:W:128", "envelopeFollow:W:128",
                              "inputCompressor:W:128", "volumeSwell:W:128", "pitchShifter:W:128",
                              "wah:W:128",          "phaser:W:128",       "distortion:O:512"};
    EXPECT_EQ(Calls(c.begin(), c.begin() + 9), expectedStart);
    EXPECT_EQ(std::count(c.begin(), c.end(), "wah:W:128"), 1);
    EXPECT_EQ(std::count(c.begin(), c.end(), "phaser:W:128"), 1);
}

TEST_F(ChainFixture, TalkBoxMovesTheWahBehindTheCabinet)
{
    useRecorder();
    enableEverything();
    engine->params.wah.wah_enabled = 0;
    engine->params.ewah.ewah_mode = effects::kWahTalkBox; // envelope wah in talk-box mode
    EXPECT_EQ(run(), (Calls{"noiseGate:W:128", "inputControl:W:128", "envelopeFollow:W:128",
                            "inputCompressor:W:128", "volumeSwell:W:128", "pitchShifter:W:128",
                            "distortion:O:512", "ampPreStage:W:128", "amp:O:512", "cabinet:W:128",
                            "wah:W:128", "outputCompressor:W:128", "tremolo:W:128",
                            "chorusMono:W:128", "phaser:W:128", "outputControl:W:128",
                            "echoMono:W:128", "reverb:W:128"}));
}

TEST_F(ChainFixture, CompressorBeforePowerAmpAndSwellAfterDistortion)
{
    useRecorder();
    enableEverything();
    engine->params.compr.ocompr_beforeamp = 1;
    engine->params.swell.swell_place = 1;
    EXPECT_EQ(run(), (Calls{"noiseGate:W:128", "inputControl:W:128", "envelopeFollow:W:128",
                            "inputCompressor:W:128", "pitchShifter:W:128", "distortion:O:512",
                            "volumeSwell:W:128", "wah:W:128", "ampPreStage:W:128",
                            "outputCompressor:W:128", "amp:O:512", "cabinet:W:128", "tremolo:W:128",
                            "chorusMono:W:128", "phaser:W:128", "outputControl:W:128",
                            "echoMono:W:128", "reverb:W:128"}));
}

TEST_F(ChainFixture, WithAmpAndDistortionOffTheSectionStillRunsSwellWahAndCompressor)
{
    useRecorder();
    enableEverything();
    engine->params.dist.dist_enabled = 0;
    engine->params.amp.spkcab_enabled = 0;
    engine->params.dist.dist_afterwah = 1;
    engine->params.swell.swell_place = 1;
    engine->params.compr.ocompr_beforeamp = 1;
    EXPECT_EQ(run(), (Calls{"noiseGate:W:128", "inputControl:W:128", "envelopeFollow:W:128",
                            "inputCompressor:W:128", "pitchShifter:W:128", "phaser:W:128",
                            "volumeSwell:W:128", "wah:W:128", "outputCompressor:W:128",
                            "tremolo:W:128", "chorusMono:W:128", "outputControl:W:128",
                            "echoMono:W:128", "reverb:W:128"}));
}

TEST_F(ChainFixture, StereoChorusWidensAndTheReverbGetsTheFoldDown)
{
    engine->settings.stereo = 1;
    useRecorder();
    auto& p = engine->params;
    p.chorus.chorus_enabled = 1;
    p.chorus.chorus_stereo = 1;
    p.echo.echo_enabled = 1;
    p.rev.rev_enabled = 1;
    stages.chorusMakesWide = true;
    fillWork(16, 0.4);
    EXPECT_EQ(run(16), (Calls{"phaserReset", "inputControl:W:16", "outputControl:W:16",
                              "chorusStereo:S:16", "echoMonoOnStereo:S:16", "reverb:S:16"}));
    EXPECT_TRUE(stages.reverbStereo);
    EXPECT_EQ(stages.reverbSourcePtr, engine->WorkBuffer);
    // left 0.4, right 0.2 after the chorus: the fold gives 0.3.
    for (double v : stages.reverbSource) EXPECT_NEAR(v, 0.3, 1e-14);
    EXPECT_NEAR(engine->StereoBuffer[0], 0.4, 1e-14);
    EXPECT_NEAR(engine->StereoBuffer[1], 0.2, 1e-14);
    EXPECT_EQ(device.writeSizes().back(), 16 * 4);
}

TEST_F(ChainFixture, StereoWithoutWideningStagesCopiesMonoAtTheFinish)
{
    engine->settings.stereo = 1;
    useRecorder();
    engine->params.rev.rev_enabled = 1;
    engine->params.chorus.chorus_enabled = 1; // mono chorus: chorus_stereo is off
    engine->params.echo.echo_enabled = 1;     // no two-tap: mono echo
    fillWork(8, -0.25);
    EXPECT_EQ(run(8), (Calls{"phaserReset", "inputControl:W:8", "chorusMono:W:8", "outputControl:W:8",
                             "echoMono:W:8", "reverb:S:8"}));
    EXPECT_EQ(stages.reverbSourcePtr, engine->WorkBuffer); // no fold: the mono signal itself
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(engine->StereoBuffer[2 * i], engine->StereoBuffer[2 * i + 1]);
        EXPECT_EQ(engine->OutputSamples[2 * i], engine->OutputSamples[2 * i + 1]);
    }
}

TEST_F(ChainFixture, SpreadEchoWidensOnlyWithTwoTapsSpreadAndStereo)
{
    engine->settings.stereo = 1;
    useRecorder();
    auto& e = engine->params.echo;
    e.echo_enabled = 1;
    e.echo_2tap = 1;
    e.echo_2tapspread = 0.5f;
    Calls c = run(32);
    EXPECT_NE(std::find(c.begin(), c.end(), "echoSpread:S:32"), c.end());
    e.echo_2tapspread = 0.0f; // exactly 0: the mono form
    c = run(32);
    EXPECT_NE(std::find(c.begin(), c.end(), "echoMono:W:32"), c.end());
    e.echo_2tapspread = 1.0f;
    engine->settings.stereo = 0; // mono output: the mono form too
    c = run(32);
    EXPECT_NE(std::find(c.begin(), c.end(), "echoMono:W:32"), c.end());
    // Stereo chorus without stereo output runs the mono chorus.
    engine->params.chorus.chorus_enabled = 1;
    engine->params.chorus.chorus_stereo = 1;
    c = run(32);
    EXPECT_NE(std::find(c.begin(), c.end(), "chorusMono:W:32"), c.end());
    EXPECT_EQ(std::find(c.begin(), c.end(), "chorusStereo:S:32"), c.end());
}

TEST_F(ChainFixture, PresetLoadingSilencesTheInputButTheChainRuns)
{
    useRecorder();
    engine->params.io.nf_enabled = 1;
    fillWork(20, 0.8);
    {
        const Engine::PresetLoadGuard loading(*engine);
        const Calls c = run(20);
        EXPECT_EQ(c.size(), 6u); // resets, gate, input and output control
        for (double v : stages.gateInput) EXPECT_LE(std::fabs(v), 1e-15);
    }
    fillWork(20, 0.8);
    run(20);
    for (double v : stages.gateInput) EXPECT_NEAR(v, 0.8, 1e-14);
}

TEST_F(ChainFixture, AntiDenormalFlipsItsSignEveryTenSamplesAcrossBlocks)
{
    useRecorder();
    engine->params.io.nf_enabled = 1;
    std::vector<double> seen;
    for (int b = 0; b < 3; ++b) {
        fillWork(7, 0.0);
        run(7);
        seen.insert(seen.end(), stages.gateInput.begin(), stages.gateInput.end());
    }
    // Samples 0..8 get +1e-15, 9..18 -1e-15, 19.. +1e-15 (the running count wraps at 10).
    for (int i = 0; i < 21; ++i) {
        const double expected = (i < 9 || i >= 19) ? 1e-15 : -1e-15;
        EXPECT_EQ(seen[i], expected) << i;
    }
}

TEST_F(ChainFixture, StartToneReplacesTheLiveBlockAndNothingIsProcessedOrRecorded)
{
    engine->settings.BeepOnStart = 1;
    engine->fileOutput = true;
    useRecorder();
    engine->startBeepIfWanted();
    ASSERT_TRUE(engine->startBeep().active());
    fillWork(128, 0.5);
    EXPECT_TRUE(run(128).empty());
    EXPECT_EQ(device.liveWrites(), 1);
    EXPECT_EQ(device.writeSizes()[0], 256);
    EXPECT_TRUE(files.output.empty());
    EXPECT_NE(engine->OutputSamples[5], 0); // the tone
    // The tone ends after 50 ms (19 blocks at 48000 Hz); then the chain runs.
    for (int i = 1; i < 19; ++i) run(128);
    EXPECT_FALSE(engine->startBeep().active());
    fillWork(128, 0.5);
    EXPECT_FALSE(run(128).empty());
    EXPECT_EQ(files.output.size(), 128u);
    EXPECT_EQ(files.output[0], samples::outputValue(0.5 + 1e-15, 1.0f));
}

TEST_F(ChainFixture, StartToneIsNotWantedForFileInputOrVst)
{
    engine->settings.BeepOnStart = 1;
    engine->fileInput = true;
    engine->startBeepIfWanted();
    EXPECT_FALSE(engine->startBeep().active());
    engine->fileInput = false;
    engine->vstMode = true;
    engine->startBeepIfWanted();
    EXPECT_FALSE(engine->startBeep().active());
    engine->vstMode = false;
    engine->startBeepIfWanted();
    EXPECT_TRUE(engine->startBeep().active());
}

TEST_F(ChainFixture, AsioRunsTheChainDuringTheToneButHearsTheTone)
{
    engine->settings.UseASIO = 1;
    engine->settings.BeepOnStart = 1;
    engine->fileOutput = true;
    useRecorder();
    engine->startBeepIfWanted();
    fillWork(128, 0.5);
    EXPECT_FALSE(run(128).empty());
    EXPECT_EQ(device.liveWrites(), 0);        // the ASIO path reads the buffers itself
    EXPECT_TRUE(files.output.empty());        // the toned block is never recorded
    EXPECT_NE(engine->AsioOutputSamples[5], engine->OutputSamples[5]); // tone replaced it
    EXPECT_NE(engine->AsioOutputSamples[5], 0);
    // The tone lasts 19 blocks at 48000 Hz; none of them is recorded.
    int blocks = 1;
    while (engine->startBeep().active() && blocks < 100) {
        run(128);
        ++blocks;
    }
    EXPECT_EQ(blocks, 19);
    EXPECT_TRUE(files.output.empty());
    // Once the tone is over the ASIO copy is the processed block.
    fillWork(128, 0.25);
    run(128);
    for (int i = 0; i < 128; ++i) EXPECT_EQ(engine->AsioOutputSamples[i], engine->OutputSamples[i]);
    EXPECT_EQ(files.output.size(), 128u);
}

TEST_F(ChainFixture, FileInputPadsTheLastBlockAndStops)
{
    useRecorder();
    engine->fileInput = true;
    engine->fileOutput = true;
    files.input.resize(300);
    for (size_t i = 0; i < files.input.size(); ++i) files.input[i] = static_cast<int16_t>(1000 + i);
    int blocks = 0;
    while (!engine->StopRequest && blocks < 10) {
        engine->ProcessBlock(0); // the file path always takes 128 frames
        ++blocks;
        if (blocks == 1) {
            EXPECT_FALSE(engine->StopRequest.load());
        }
    }
    EXPECT_EQ(blocks, 3);
    ASSERT_EQ(files.output.size(), 384u);
    EXPECT_EQ(files.output[0], 1000);
    EXPECT_EQ(files.output[299], 1299);
    for (size_t i = 300; i < 384; ++i) EXPECT_EQ(files.output[i], 0) << i;
    // Paced by the output: one wait and one file-input write per block.
    EXPECT_EQ(device.waits(), 3);
    EXPECT_EQ(device.fileInputWrites(), 3);
    EXPECT_EQ(device.liveWrites(), 0);
    EXPECT_EQ(files.progressReports, 3);
}

TEST_F(ChainFixture, FileOfWholeBlocksEndsWithOneSilentBlock)
{
    useRecorder();
    engine->fileInput = true;
    engine->fileOutput = true;
    files.input.assign(256, 123);
    int blocks = 0;
    while (!engine->StopRequest && blocks < 10) {
        engine->ProcessBlock(128);
        ++blocks;
    }
    EXPECT_EQ(blocks, 3);
    ASSERT_EQ(files.output.size(), 384u);
    // Bit-exact: the denormal offset never costs a step.
    EXPECT_EQ(files.output[0], 123);
    EXPECT_EQ(files.output[255], 123);
    EXPECT_EQ(files.output[256], 0);
}

TEST_F(ChainFixture, BackgroundIsMixedToTheDeviceAndToTheFileOnlyWithMix2Out)
{
    useRecorder();
    engine->fileOutput = true;
    engine->backgroundTrack = true;
    engine->settings.Mix2Out = 1;
    fillWork(4, 0.25);
    run(4);
    EXPECT_EQ(files.output[0], samples::outputValue(0.25, 1.0f) + 1000);
    EXPECT_EQ(device.samples()[0], files.output[0]);
    EXPECT_EQ(files.backgroundReads, 1);

    engine->settings.Mix2Out = 0;
    fillWork(4, 0.25);
    run(4);
    EXPECT_EQ(files.output[4], samples::outputValue(0.25, 1.0f)); // the guitar alone
    EXPECT_EQ(device.samples()[4], files.output[4] + 1000);       // the device still hears both
}

TEST_F(ChainFixture, VstModeLeavesTheResultInTheBuffersAndWritesNoDevice)
{
    engine->vstMode = true;
    engine->settings.stereo = 1;
    useRecorder();
    fillWork(50, 0.125);
    run(50);
    EXPECT_EQ(device.liveWrites() + device.fileInputWrites(), 0);
    EXPECT_NEAR(engine->StereoBuffer[0], 0.125, 1e-14);
    EXPECT_NEAR(engine->StereoBuffer[99], 0.125, 1e-14);
}

TEST_F(ChainFixture, MetersFollowTheLevelsAndClipLamps)
{
    struct Display : MeterDisplay {
        int lastInput = -1, lastOutput = -1;
        bool inLit = false, outLit = false;
        void showLevel(Meter m, int v, int) override { (m == kInput ? lastInput : lastOutput) = v; }
        void showClip(bool i, bool o) override
        {
            inLit = i;
            outLit = o;
        }
        void resetMeters() override { lastInput = lastOutput = 0; }
    } display;
    engine->setMeterDisplay(&display);
    useRecorder();
    // Half scale in and out: -6 dB -> 88 on both meters after five blocks.
    for (int b = 0; b < 5; ++b) {
        fillWork(128, 0.5);
        run(128);
    }
    EXPECT_EQ(engine->inputLevelDb(), -6);
    EXPECT_EQ(engine->outputLevelDb(), -6);
    EXPECT_EQ(display.lastInput, 88);
    EXPECT_EQ(display.lastOutput, 88);
    // A clipped live input block lights the input lamp (the caller's flag).
    engine->setInputClip(true);
    fillWork(128, 2.0); // and the output clips too
    run(128);
    EXPECT_TRUE(display.inLit);
    EXPECT_TRUE(display.outLit);
    EXPECT_EQ(engine->inputClipHold().count(), 200);
    engine->setInputClip(false);
    for (int b = 0; b < 199; ++b) {
        fillWork(128, 0.1);
        run(128);
    }
    EXPECT_TRUE(display.inLit);
    fillWork(128, 0.1);
    run(128);
    EXPECT_FALSE(display.inLit);
    EXPECT_FALSE(display.outLit);
    engine->endRun();
    EXPECT_EQ(display.lastInput, 0);
    EXPECT_EQ(engine->outputClipHold().count(), 0);

    // With the level meter off nothing is measured.
    engine->settings.LMeterON = 0;
    engine->setInputClip(true);
    run(128);
    EXPECT_EQ(engine->inputClipHold().count(), 0);
}

TEST_F(ChainFixture, FileInputMetersAreDelayedToMatchTheOutputBuffer)
{
    device.setBufferBytes(128 * 2 * 8); // eight mono blocks: delay of four
    engine->fileInput = true;
    useRecorder();
    EXPECT_EQ(engine->meterDelayLine().length(), 4);
    files.input.assign(128 * 20, -32768); // clipping input
    engine->ProcessBlock(0);
    EXPECT_TRUE(engine->inputClip());
    EXPECT_EQ(engine->inputClipHold().count(), 200);
}

TEST_F(ChainFixture, PedalIsPolledOnlyForTheExternalPedalSource)
{
    useRecorder();
    auto& w = engine->params.wah;
    w.wah_enabled = 1;
    w.wah_auto = effects::kWahPedal;
    engine->settings.JoyEnable = 0;
    Calls c = run();
    EXPECT_EQ(std::count(c.begin(), c.end(), "pollPedal"), 0);
    engine->settings.JoyEnable = 1;
    c = run();
    EXPECT_EQ(c.back(), "pollPedal");
    w.wah_auto = effects::kWahSweep;
    c = run();
    EXPECT_EQ(std::count(c.begin(), c.end(), "pollPedal"), 0);
}

TEST_F(ChainFixture, BeginRunStartsEveryStageAndResetsTheDelayLines)
{
    engine->setStages(&stages);
    engine->beginRun(44100);
    EXPECT_EQ(stages.startRuns, 1);
    EXPECT_EQ(stages.calls, (Calls{"phaserReset", "chorusReset", "echoReset"}));
    EXPECT_EQ(engine->clipHoldBlocks(), 183);
    EXPECT_EQ(engine->ProcessingRate.load(), 44100);
    EXPECT_EQ(engine->distortionOversampler().sampleRate(), 44100);
    EXPECT_EQ(engine->ampOversampler().sampleRate(), 44100);
}

TEST_F(ChainFixture, OversampledStagesSeeTheBlockAtFourTimesTheRate)
{
    // With stages that leave the oversampled block alone, the path is a pure
    // delay of the oversampling filters: a slow sine comes back intact.
    useRecorder();
    engine->params.dist.dist_enabled = 1;
    engine->params.amp.spkcab_enabled = 1;
    double maxOut = 0.0;
    for (int b = 0; b < 40; ++b) {
        for (int i = 0; i < 128; ++i) engine->WorkBuffer[i] = 0.5 * std::sin(2 * 3.14159265 * 200 * (b * 128 + i) / 48000.0);
        engine->ProcessBlock(128);
        if (b > 5)
            for (int i = 0; i < 128; ++i) maxOut = std::max(maxOut, std::fabs(engine->WorkBuffer[i]));
    }
    EXPECT_NEAR(maxOut, 0.5, 0.01);
}
