// The three file roles on real files: the checks and messages of a start,
// where the files start, the background loop and pause, the four mix pairings,
// seeking and progress, and an output file that only gets its name when done.
#include "engine/Engine.h"
#include "engine/FileRoles.h"

#include "TestFiles.h"
#include "dsp/RecordingMessages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <numeric>
#include <sys/stat.h>

using namespace stravik;
using namespace testfiles;

namespace {

struct RolesFixture : ::testing::Test {
    TempDir dir;
    RecordingMessages messages;
    std::unique_ptr<Engine> engine = std::make_unique<Engine>(messages);
    std::unique_ptr<FileRoles> roles = std::make_unique<FileRoles>(*engine);

    void SetUp() override
    {
        engine->setFiles(roles.get());
        engine->settings.stereo = 0;
        engine->settings.FileIn = dir.file("in.wav");
        engine->settings.FileOut = dir.file("out.wav");
        engine->settings.FileMix = dir.file("mix.wav");
    }
    void TearDown() override { engine->setFiles(nullptr); }

    std::vector<std::string> texts() const { return messages.texts(); }

    // Reads the background block that the next mix will use, by mixing it
    // into a silent output block.
    std::vector<int16_t> nextBackground(int frames = 128, bool stereoOut = false)
    {
        roles->readBackgroundBlock(128);
        std::vector<int16_t> out(stereoOut ? 2 * frames : frames, 0);
        roles->mixBackground(out.data(), frames, stereoOut);
        return out;
    }
};

std::vector<int16_t> ramp(int n, int from = 1)
{
    std::vector<int16_t> v(static_cast<size_t>(n));
    std::iota(v.begin(), v.end(), static_cast<int16_t>(from));
    return v;
}

} // namespace

TEST_F(RolesFixture, SameFileChecksIgnoreCase)
{
    engine->fileInput = engine->fileOutput = engine->backgroundTrack = true;
    engine->settings.FileOut = dir.file("IN.WAV");
    EXPECT_FALSE(roles->checkSameFiles(messages));
    engine->settings.FileOut = dir.file("out.wav");
    engine->settings.FileMix = dir.file("In.Wav");
    EXPECT_FALSE(roles->checkSameFiles(messages));
    engine->settings.FileMix = dir.file("OUT.wav");
    EXPECT_FALSE(roles->checkSameFiles(messages));
    engine->settings.FileMix = dir.file("mix.wav");
    EXPECT_TRUE(roles->checkSameFiles(messages));
    EXPECT_EQ(texts(), (std::vector<std::string>{
                           "Error! Input file specified is the same as output file.",
                           "Error! Input file specified is the same as background track file.",
                           "Error! Background track file specified is the same as output file."}));
    // Roles that are off are not compared.
    engine->fileInput = false;
    engine->settings.FileOut = dir.file("in.wav");
    EXPECT_TRUE(roles->checkSameFiles(messages));
}

TEST_F(RolesFixture, OverwriteQuestionOnlyForAnExistingOutputFile)
{
    engine->fileOutput = true;
    EXPECT_TRUE(roles->confirmOverwrite(messages));
    EXPECT_EQ(messages.count(), 0u);
    writeWav(dir.file("out.wav"), {1, 2, 3});
    messages.queueAnswer(MessageAnswer::Cancel);
    EXPECT_FALSE(roles->confirmOverwrite(messages));
    ASSERT_EQ(messages.count(), 1u);
    const auto e = messages.entries()[0];
    EXPECT_TRUE(e.question);
    EXPECT_EQ(e.title, "Warning!");
    EXPECT_EQ(e.text, "File '" + dir.file("out.wav") + "' already exists!\nDo you want to overwrite it?");
    messages.queueAnswer(MessageAnswer::Ok);
    EXPECT_TRUE(roles->confirmOverwrite(messages));
}

TEST_F(RolesFixture, InputOpenMessagesCheckTheRateBeforeTheSampleSize)
{
    engine->fileInput = true;
    EXPECT_FALSE(roles->open(48000));
    WavRecipe layout;
    layout.rate = 44100;
    layout.bits = 8;
    writeFile(dir.file("in.wav"), wavBytes(layout, std::vector<uint8_t>(100, 128)));
    EXPECT_FALSE(roles->open(48000)); // wrong rate and 8-bit: the rate is named
    layout.rate = 48000;
    writeFile(dir.file("in.wav"), wavBytes(layout, std::vector<uint8_t>(100, 128)));
    EXPECT_FALSE(roles->open(48000));
    layout.bits = 24;
    writeFile(dir.file("in.wav"), wavBytes(layout, std::vector<uint8_t>(99, 0)));
    EXPECT_FALSE(roles->open(48000));
    writeFile(dir.file("in.wav"), wavBytes(WavRecipe{}, {})); // data size 0
    EXPECT_FALSE(roles->open(48000));
    EXPECT_EQ(texts(), (std::vector<std::string>{
                           "Error opening input file!",
                           "Input file sample rate (44100Hz) differs from processing\n"
                           "sample rate specified in setup screen (48000Hz).",
                           "Input file format must be 16-bit", "Input file format must be 16-bit",
                           "Error opening input file!"}));
}

TEST_F(RolesFixture, BackgroundOpenMessagesAndCleanupOfWhatWasOpened)
{
    writeWav(dir.file("in.wav"), ramp(500));
    engine->fileInput = engine->fileOutput = engine->backgroundTrack = true;
    EXPECT_FALSE(roles->open(48000));
    writeWav(dir.file("mix.wav"), ramp(500), 22050);
    EXPECT_FALSE(roles->open(48000));
    WavRecipe layout;
    layout.bits = 8;
    writeFile(dir.file("mix.wav"), wavBytes(layout, std::vector<uint8_t>(10, 1)));
    EXPECT_FALSE(roles->open(48000));
    writeFile(dir.file("mix.wav"), wavBytes(WavRecipe{}, {}));
    EXPECT_FALSE(roles->open(48000));
    EXPECT_EQ(texts(), (std::vector<std::string>{
                           "Error opening background track file!",
                           "Background track sample rate (22050Hz) differs from processing\n"
                           "sample rate specified in setup screen (48000Hz).",
                           "Input file format must be 16-bit.", "Error opening background track file!"}));
    // The output file that was created on the way is gone again.
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.wav")));
    EXPECT_FALSE(std::filesystem::exists(FileRoles::partialName(dir.file("out.wav"))));
}

TEST_F(RolesFixture, OutputFileThatCannotBeCreated)
{
    writeWav(dir.file("in.wav"), ramp(500));
    engine->fileInput = engine->fileOutput = true;
    engine->settings.FileOut = dir.file("missing-folder/out.wav");
    EXPECT_FALSE(roles->open(48000));
    engine->settings.FileOut = dir.path(); // a folder is no output file
    EXPECT_FALSE(roles->open(48000));
    EXPECT_EQ(texts(), (std::vector<std::string>{"Error creating output file!", "Error creating output file!"}));
    // The input opened before it was closed again: a new open works.
    engine->settings.FileOut = dir.file("out.wav");
    EXPECT_TRUE(roles->open(48000));
    roles->abandon();
}

TEST_F(RolesFixture, OutputGetsItsNameOnlyWhenCompleteAndAnOldFileSurvivesUntilThen)
{
    writeWav(dir.file("out.wav"), {9, 9, 9});
    const auto before = readFile(dir.file("out.wav"));
    engine->fileOutput = true;
    engine->settings.stereo = 1;
    ASSERT_TRUE(roles->open(44100));
    const int16_t block[4] = {1, 2, 3, 4};
    roles->appendOutput(block, 4);
    EXPECT_EQ(readFile(dir.file("out.wav")), before);
    EXPECT_TRUE(std::filesystem::exists(FileRoles::partialName(dir.file("out.wav"))));
    ASSERT_TRUE(roles->close());
    EXPECT_FALSE(std::filesystem::exists(FileRoles::partialName(dir.file("out.wav"))));
    const auto after = readFile(dir.file("out.wav"));
    EXPECT_EQ(get16(after, 22), 2);       // channels from the stereo setting
    EXPECT_EQ(get32(after, 24), 44100u);  // the processing rate
    EXPECT_EQ(readSamples(dir.file("out.wav")), (std::vector<int16_t>{1, 2, 3, 4}));

    // A failed run throws its output away and leaves the older file alone.
    ASSERT_TRUE(roles->open(44100));
    roles->appendOutput(block, 2);
    roles->abandon();
    EXPECT_EQ(readSamples(dir.file("out.wav")), (std::vector<int16_t>{1, 2, 3, 4}));
    EXPECT_FALSE(std::filesystem::exists(FileRoles::partialName(dir.file("out.wav"))));
}

TEST_F(RolesFixture, ALinkedOutputReplacesTheFileItNamesWithItsPermissions)
{
    engine->fileOutput = true;
    const int16_t block[2] = {5, 6};
    writeWav(dir.file("target.wav"), {9, 9, 9});
    ASSERT_EQ(chmod(dir.file("target.wav").c_str(), 0640), 0);
    std::filesystem::create_symlink("target.wav", dir.file("out.wav"));
    // Replacing what the link names asks first, as for any file.
    messages.queueAnswer(MessageAnswer::Cancel);
    EXPECT_FALSE(roles->confirmOverwrite(messages));
    ASSERT_TRUE(roles->open(48000));
    EXPECT_EQ(roles->outputTemporary(), FileRoles::partialName(dir.file("target.wav")));
    roles->appendOutput(block, 2);
    ASSERT_TRUE(roles->close());
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("out.wav")));
    EXPECT_EQ(std::filesystem::read_symlink(dir.file("out.wav")), "target.wav");
    EXPECT_EQ(readSamples(dir.file("target.wav")), (std::vector<int16_t>{5, 6}));
    struct stat st {};
    ASSERT_EQ(stat(dir.file("target.wav").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(RolesFixture, StereoInputBecomesTheAverageOfItsChannels)
{
    writeWav(dir.file("in.wav"), {100, 300, -100, -301, 32767, 32767, -32768, -32768}, 48000, 2);
    engine->fileInput = true;
    ASSERT_TRUE(roles->open(48000));
    EXPECT_TRUE(roles->inputStereo());
    int16_t block[128];
    EXPECT_FALSE(roles->readInputBlock(block, 128)); // four frames only: a short read
    EXPECT_EQ(block[0], 200);
    EXPECT_EQ(block[1], -201);
    EXPECT_EQ(block[2], 32767);
    EXPECT_EQ(block[3], -32768);
    for (int i = 4; i < 128; ++i) EXPECT_EQ(block[i], 0);
    EXPECT_EQ(roles->inputPosition(), 128);
}

TEST_F(RolesFixture, PausedInputIsSilentAndStaysWhereItIs)
{
    writeWav(dir.file("in.wav"), ramp(1000));
    engine->fileInput = true;
    ASSERT_TRUE(roles->open(48000));
    int16_t block[128];
    roles->inputPause = 1;
    EXPECT_TRUE(roles->readInputBlock(block, 128));
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(roles->inputPosition(), 0);
    roles->inputPause = 0;
    EXPECT_TRUE(roles->readInputBlock(block, 128));
    EXPECT_EQ(block[0], 1);
}

TEST_F(RolesFixture, AutoRewindOffStartsFromTheSliderBelow99Percent)
{
    writeWav(dir.file("in.wav"), ramp(1000));
    engine->fileInput = true;
    roles->inputAutoRewind = 0;
    roles->seekInput(50); // not open yet: only the percentage is kept
    ASSERT_TRUE(roles->open(48000));
    // floor(500 / 128) * 128 = 384
    EXPECT_EQ(roles->inputPosition(), 384);
    int16_t block[128];
    roles->readInputBlock(block, 128);
    EXPECT_EQ(block[0], 385);
    roles->abandon();

    roles->seekInput(99);
    ASSERT_TRUE(roles->open(48000));
    EXPECT_EQ(roles->inputPosition(), 0);
    EXPECT_EQ(roles->inputProgress(), 0);
    roles->abandon();

    roles->inputAutoRewind = 1;
    roles->seekInput(50);
    ASSERT_TRUE(roles->open(48000));
    EXPECT_EQ(roles->inputPosition(), 0);
}

TEST_F(RolesFixture, SeekAndProgressWhileRunning)
{
    struct Listener : FileProgressListener {
        std::vector<int> input, background;
        void inputProgress(int p) override { input.push_back(p); }
        void backgroundProgress(int p) override { background.push_back(p); }
    } listener;
    writeWav(dir.file("in.wav"), ramp(1280));
    engine->fileInput = true;
    roles->setProgressListener(&listener);
    ASSERT_TRUE(roles->open(48000));
    int16_t block[128];
    for (int i = 0; i < 3; ++i) {
        roles->readInputBlock(block, 128);
        roles->reportProgress();
    }
    EXPECT_EQ(listener.input, (std::vector<int>{10, 20, 30}));
    roles->seekInput(75); // floor(960 / 128) * 128 = 896
    EXPECT_EQ(roles->inputPosition(), 896);
    roles->readInputBlock(block, 128);
    EXPECT_EQ(block[0], 897);
    roles->reportProgress();
    EXPECT_EQ(listener.input.back(), 80); // 1024 / 1280 = 80 %
    roles->reportProgress();
    EXPECT_EQ(listener.input.size(), 4u); // reported only on change
}

TEST_F(RolesFixture, LoopedBackgroundOfWholeBlocksHasNoSilentBlock)
{
    writeWav(dir.file("mix.wav"), ramp(256));
    engine->backgroundTrack = true;
    engine->settings.MixLoop = 1;
    ASSERT_TRUE(roles->open(48000));
    for (int round = 0; round < 3; ++round) {
        auto a = nextBackground();
        auto b = nextBackground();
        EXPECT_EQ(a[0], 1) << round;
        EXPECT_EQ(a[127], 128) << round;
        EXPECT_EQ(b[0], 129) << round;
        EXPECT_EQ(b[127], 256) << round;
    }
}

TEST_F(RolesFixture, LoopedBackgroundOf100FramesPlaysItWithSilenceToTheBlockEnd)
{
    writeWav(dir.file("mix.wav"), ramp(100));
    engine->backgroundTrack = true;
    engine->settings.MixLoop = 1;
    ASSERT_TRUE(roles->open(48000));
    for (int round = 0; round < 4; ++round) {
        auto a = nextBackground();
        EXPECT_EQ(a[0], 1) << round;
        EXPECT_EQ(a[99], 100) << round;
        for (int i = 100; i < 128; ++i) EXPECT_EQ(a[i], 0) << round << " " << i;
    }
}

TEST_F(RolesFixture, UnloopedBackgroundPlaysOnceThenContributesNothing)
{
    writeWav(dir.file("mix.wav"), ramp(200));
    engine->backgroundTrack = true;
    engine->settings.MixLoop = 0;
    ASSERT_TRUE(roles->open(48000));
    EXPECT_EQ(nextBackground()[0], 1);
    auto last = nextBackground();
    EXPECT_EQ(last[0], 129);
    EXPECT_EQ(last[71], 200);
    EXPECT_EQ(last[72], 0);
    for (int i = 0; i < 3; ++i) {
        auto after = nextBackground();
        EXPECT_TRUE(roles->backgroundAtEnd());
        for (int16_t v : after) EXPECT_EQ(v, 0);
    }
}

TEST_F(RolesFixture, PausedBackgroundIsSilentWithoutAdvancing)
{
    writeWav(dir.file("mix.wav"), ramp(1000));
    engine->backgroundTrack = true;
    ASSERT_TRUE(roles->open(48000));
    EXPECT_EQ(nextBackground()[0], 1);
    roles->backgroundPause = 1;
    for (int16_t v : nextBackground()) EXPECT_EQ(v, 0);
    roles->backgroundPause = 0;
    EXPECT_EQ(nextBackground()[0], 129);
}

TEST_F(RolesFixture, TheFourMixPairings)
{
    engine->backgroundTrack = true;
    engine->settings.MixAmp = 0.5f;
    // mono track
    writeWav(dir.file("mix.wav"), std::vector<int16_t>(128, 1000));
    ASSERT_TRUE(roles->open(48000));
    roles->readBackgroundBlock(128);
    std::vector<int16_t> mono(128, 10), stereo(256, 10);
    roles->mixBackground(mono.data(), 128, false);
    EXPECT_EQ(mono[0], 510);
    roles->mixBackground(stereo.data(), 128, true);
    EXPECT_EQ(stereo[0], 510);
    EXPECT_EQ(stereo[1], 510); // the one value goes to both sides
    roles->abandon();
    // stereo track
    std::vector<int16_t> lr;
    for (int i = 0; i < 128; ++i) {
        lr.push_back(1001);
        lr.push_back(-3001);
    }
    writeWav(dir.file("mix.wav"), lr, 48000, 2);
    ASSERT_TRUE(roles->open(48000));
    EXPECT_TRUE(roles->backgroundStereo());
    roles->readBackgroundBlock(128);
    std::fill(mono.begin(), mono.end(), 0);
    roles->mixBackground(mono.data(), 128, false);
    EXPECT_EQ(mono[0], (1001 - 3001) >> 1 >> 1); // (L + R) >> 1, then the volume 0.5
    std::fill(stereo.begin(), stereo.end(), 0);
    roles->mixBackground(stereo.data(), 128, true);
    EXPECT_EQ(stereo[0], 500);
    EXPECT_EQ(stereo[1], -1500);
    // Limits: the sum never leaves -32767..32767.
    engine->settings.MixAmp = 100.0f;
    std::fill(stereo.begin(), stereo.end(), 0);
    roles->mixBackground(stereo.data(), 128, true);
    EXPECT_EQ(stereo[0], 32767);
    EXPECT_EQ(stereo[1], -32767);
}

TEST_F(RolesFixture, ChainRunWithBackgroundOneBlockBehindAndMix2Out)
{
    writeWav(dir.file("in.wav"), std::vector<int16_t>(300, 0));
    writeWav(dir.file("mix.wav"), std::vector<int16_t>(1000, 2000));
    engine->fileInput = engine->fileOutput = engine->backgroundTrack = true;
    engine->settings.Mix2Out = 1;
    engine->beginRun(48000);
    ASSERT_TRUE(roles->open(48000));
    while (!engine->StopRequest) engine->ProcessBlock(0);
    ASSERT_TRUE(roles->close());
    const auto withMix = readSamples(dir.file("out.wav"));
    ASSERT_EQ(withMix.size(), 384u);
    EXPECT_EQ(withMix[0], 0);      // nothing read before the first block
    EXPECT_EQ(withMix[128], 2000); // from the second block on
    EXPECT_EQ(withMix[383], 2000);

    engine->StopRequest = false;
    engine->settings.Mix2Out = 0;
    engine->beginRun(48000);
    ASSERT_TRUE(roles->open(48000));
    while (!engine->StopRequest) engine->ProcessBlock(0);
    ASSERT_TRUE(roles->close());
    for (int16_t v : readSamples(dir.file("out.wav"))) EXPECT_EQ(v, 0);
}

TEST(FileRolesNames, APathWithoutAnExtensionGetsWav)
{
    EXPECT_EQ(FileRoles::withWavExtension("take"), "take.wav");
    EXPECT_EQ(FileRoles::withWavExtension("take.wav"), "take.wav");
    EXPECT_EQ(FileRoles::withWavExtension("take.aiff"), "take.aiff");
    // Only the file's own name counts, not a dotted folder above it.
    EXPECT_EQ(FileRoles::withWavExtension("/home/a.b/take"), "/home/a.b/take.wav");
    EXPECT_EQ(FileRoles::withWavExtension("/home/a.b/take.1"), "/home/a.b/take.1");
}
