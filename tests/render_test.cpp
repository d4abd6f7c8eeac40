// Rendering files through the chain: RenderJob directly, batches, and
// `korvex render` as a program with its exit codes, messages and files.
// test-label: threads
#include "engine/Render.h"

#include "RunKorvex.h"
#include "SoundFiles.h"
#include "TestFiles.h"
#include "assets/DemoGuitar.h"
#include "dsp/RecordingMessages.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <sys/wait.h>
#include <unistd.h>

using namespace stravik;
using namespace testfiles;

namespace {

struct CommandResult {
    int exitCode;
    std::string output; // standard output and error
};

CommandResult korvex(const std::string& args)
{
    static TempDir scratch;
    const KorvexRun r = runKorvex(args, scratch.path());
    return {r.exitCode, r.all()};
}

std::vector<int16_t> testSignal(int n)
{
    // Within +-0.97 of full scale, where the chain leaves samples alone.
    std::vector<int16_t> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = static_cast<int16_t>(((i * 7919) % 63000) - 31500);
    return v;
}

} // namespace

TEST(RenderJob, EverythingOffMonoReproducesTheInputPaddedToWholeBlocks)
{
    TempDir dir;
    const auto in = testSignal(1000);
    writeWav(dir.file("in.wav"), in, 44100);
    RecordingMessages messages;
    RenderJob job(messages);
    std::string error;
    ASSERT_TRUE(job.applySetting("stereo=0", error)) << error;
    std::vector<int> progress;
    EXPECT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), "", [&](int p) { progress.push_back(p); }),
              RenderJob::kOk);
    EXPECT_EQ(messages.count(), 0u);
    const auto out = readSamples(dir.file("out.wav"));
    ASSERT_EQ(out.size(), 1024u); // eight blocks: the last padded
    for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out[i], in[i]) << i;
    for (size_t i = in.size(); i < out.size(); ++i) EXPECT_EQ(out[i], 0);
    const auto bytes = readFile(dir.file("out.wav"));
    EXPECT_EQ(get32(bytes, 24), 44100u); // the rate followed the input file
    EXPECT_EQ(get16(bytes, 22), 1);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 100);
}

TEST(RenderJob, StereoOutputCarriesTheMonoChainOnBothSides)
{
    TempDir dir;
    const auto in = testSignal(300);
    writeWav(dir.file("in.wav"), in);
    RecordingMessages messages;
    RenderJob job(messages); // stereo is on by default
    ASSERT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), ""), RenderJob::kOk);
    const auto out = readSamples(dir.file("out.wav"));
    ASSERT_EQ(out.size(), 2u * 384u);
    for (size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(out[2 * i], in[i]);
        ASSERT_EQ(out[2 * i + 1], in[i]);
    }
}

TEST(RenderJob, SettingsAreCheckedAgainstTheKeyTable)
{
    RecordingMessages messages;
    RenderJob job(messages);
    std::string error;
    EXPECT_TRUE(job.applySetting("echo_delay=0.25", error));
    EXPECT_EQ(job.engine().params.echo.echo_delay.get(), 0.25f);
    EXPECT_TRUE(job.applySetting("OutputVolume=0.5", error));
    EXPECT_TRUE(job.applySetting("ictrl_equ4=0.9", error));
    EXPECT_EQ(job.engine().params.io.ictrl.bands[4].get(), 0.9f);
    EXPECT_TRUE(job.applySetting("FileMix=some file.wav", error));
    EXPECT_FALSE(job.applySetting("no_such_key=1", error));
    EXPECT_EQ(error, "unknown key 'no_such_key'");
    EXPECT_FALSE(job.applySetting("echo_enabled=yes", error));
    EXPECT_NE(error.find("echo_enabled"), std::string::npos);
    EXPECT_FALSE(job.applySetting("echo_enabled", error));
    EXPECT_FALSE(job.applySetting("=1", error));
    EXPECT_FALSE(job.applySetting("dist_overdrv=1", error)); // read-only legacy key
}

TEST(RenderJob, ARecordingAtAnotherRateIsConvertedAndKeepsItsPitch)
{
    TempDir dir;
    ASSERT_TRUE(writeSound(dir.file("in.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 96000, 1, sine(441.0, 0.5, 96000, 96000)));
    const auto render = [&](const std::string& out, const char* setting, int outRate) {
        RecordingMessages messages;
        RenderJob job(messages);
        std::string error;
        EXPECT_TRUE(job.applySetting("stereo=0", error)) << error;
        if (setting) {
            EXPECT_TRUE(job.applySetting(setting, error)) << error;
        }
        job.setOutputRate(outRate);
        EXPECT_EQ(job.run(dir.file("in.wav"), dir.file(out), ""), RenderJob::kOk) << messages.texts().front();
        return readSound(dir.file(out));
    };
    // The chain runs at 48000 Hz by default, at the SampleRate asked for
    // otherwise; --out-rate takes the result back to the recording's rate.
    for (const auto& [setting, outRate, rate] : {std::tuple<const char*, int, int>{nullptr, 0, 48000},
                                                 {"SampleRate=44100", 0, 44100},
                                                 {nullptr, 96000, 96000}}) {
        SCOPED_TRACE(rate);
        const Sound out = render("out" + std::to_string(rate) + ".wav", setting, outRate);
        EXPECT_EQ(out.rate, rate);
        // One second, and the padding of the last block (at the chain's rate).
        EXPECT_GE(out.samples.size(), static_cast<size_t>(rate));
        EXPECT_LE(out.samples.size(), static_cast<size_t>(rate) + 3 * 128);
        EXPECT_NEAR(zeroCrossingFrequency(out.samples, rate, 2000), 441.0, 0.01);
    }
}

TEST(RenderJob, BackgroundIsMixedIntoTheRender)
{
    TempDir dir;
    writeWav(dir.file("in.wav"), std::vector<int16_t>(256, 0));
    writeWav(dir.file("bg.wav"), std::vector<int16_t>(1000, -1234));
    RecordingMessages messages;
    RenderJob job(messages);
    std::string error;
    ASSERT_TRUE(job.applySetting("stereo=0", error));
    ASSERT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), dir.file("bg.wav")), RenderJob::kOk);
    const auto out = readSamples(dir.file("out.wav"));
    ASSERT_EQ(out.size(), 384u);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[200], -1234);
}

TEST(RenderJob, ExistingOutputIsReplacedOnlyWhenConfirmed)
{
    TempDir dir;
    writeWav(dir.file("in.wav"), testSignal(200));
    writeWav(dir.file("out.wav"), {1, 2, 3});
    const auto old = readFile(dir.file("out.wav"));
    RecordingMessages messages;
    messages.setDefaultAnswer(MessageAnswer::Cancel);
    RenderJob job(messages);
    EXPECT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), ""), RenderJob::kFailed);
    EXPECT_EQ(readFile(dir.file("out.wav")), old);
    EXPECT_TRUE(messages.entries().back().question);

    RecordingMessages yes;
    yes.setDefaultAnswer(MessageAnswer::Ok);
    RenderJob again(yes);
    EXPECT_EQ(again.run(dir.file("in.wav"), dir.file("out.wav"), ""), RenderJob::kOk);
    EXPECT_NE(readFile(dir.file("out.wav")), old);
}

TEST(RenderJob, AnInterruptionThrowsTheOutputAwayAndKeepsTheOlderFile)
{
    TempDir dir;
    writeWav(dir.file("in.wav"), testSignal(5000));
    writeWav(dir.file("out.wav"), {1, 2, 3});
    const auto old = readFile(dir.file("out.wav"));
    RecordingMessages messages; // answers the overwrite question with Ok
    RenderJob job(messages);
    std::atomic<bool> interrupt{false};
    job.setInterruptFlag(&interrupt);
    // Interrupted between two blocks, as a signal would.
    EXPECT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), "", [&](int p) { interrupt = p >= 10; }),
              RenderJob::kFailed);
    EXPECT_GT(job.blocks(), 0);
    EXPECT_LT(job.blocks(), 40);
    EXPECT_EQ(messages.texts().back(), "Rendering interrupted.");
    EXPECT_EQ(readFile(dir.file("out.wav")), old);
    EXPECT_FALSE(std::filesystem::exists(FileRoles::partialName(dir.file("out.wav"))));
}

TEST(RenderJob, AFullOutputFileEndsTheRenderAsAFailure)
{
    TempDir dir;
    writeWav(dir.file("in.wav"), testSignal(5000));
    RecordingMessages messages;
    RenderJob job(messages);
    std::string error;
    ASSERT_TRUE(job.applySetting("stereo=0", error));
    job.limitOutputBytes(1000);
    EXPECT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), ""), RenderJob::kFailed);
    EXPECT_EQ(job.blocks(), 4); // not on to the end of the input
    EXPECT_EQ(messages.texts(), (std::vector<std::string>{"The output file reached the 4 GB size limit of WAV files; it ends there."}));
    const auto bytes = readFile(dir.file("out.wav"));
    ASSERT_EQ(bytes.size(), 1044u);
    EXPECT_EQ(get32(bytes, 4), 1036u);
    EXPECT_EQ(get32(bytes, 40), 1000u);
}

TEST(RenderJob, TheDemonstrationRecordingRendersBitExactAtTheDefaults)
{
    TempDir dir;
    const auto demo = assets::synthesizeDemoGuitar(48000);
    ASSERT_GT(demo.size(), 48000u * 15);
    writeWav(dir.file("demo.wav"), demo);
    RecordingMessages messages;
    RenderJob job(messages);
    std::string error;
    ASSERT_TRUE(job.applySetting("stereo=0", error));
    ASSERT_EQ(job.run(dir.file("demo.wav"), dir.file("out.wav"), ""), RenderJob::kOk);
    const auto out = readSamples(dir.file("out.wav"));
    ASSERT_EQ(out.size(), (demo.size() + 127) / 128 * 128);
    for (size_t i = 0; i < demo.size(); ++i) ASSERT_EQ(out[i], demo[i]) << i;
    // A demonstration recording with a guitar's level: peaks near -6 dBFS.
    int peak = 0;
    for (int16_t v : demo) peak = std::max(peak, std::abs(static_cast<int>(v)));
    EXPECT_NEAR(peak, 16384, 100);
}

TEST(KorvexRender, UsageErrorsExitWithTwo)
{
    EXPECT_EQ(korvex("render").exitCode, 2);
    EXPECT_EQ(korvex("render --in a.wav").exitCode, 2);
    EXPECT_EQ(korvex("render --out b.wav").exitCode, 2);
    EXPECT_EQ(korvex("render --in a.wav --out b.wav --bogus").exitCode, 2);
    EXPECT_EQ(korvex("render --in a.wav --out b.wav --set").exitCode, 2);
    const auto r = korvex("render --in a.wav --out b.wav --set not_a_key=1");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.output.find("unknown key 'not_a_key'"), std::string::npos);
    EXPECT_NE(r.output.find("usage: korvex render"), std::string::npos);
    EXPECT_EQ(korvex("render --in a.wav --out b.wav --set echo_delay=slow").exitCode, 2);
    const auto help = korvex("render --help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("--background"), std::string::npos);
    EXPECT_NE(help.output.find("impulse response that cannot be loaded"), std::string::npos);
}

TEST(KorvexRender, TheSampleRateIsOneTheChainRunsAt)
{
    TempDir dir;
    writeWav(dir.file("in.wav"), testSignal(300), 22050);
    for (const char* rate : {"0", "-1", "1", "100", "96000", "1000000"}) {
        const auto r = korvex("render --in " + dir.file("in.wav") + " --out " + dir.file("o.wav") +
                              " --set SampleRate=" + rate);
        EXPECT_EQ(r.exitCode, 2) << rate;
        EXPECT_NE(r.output.find("SampleRate must be 22050, 44100 or 48000, not '" + std::string(rate) + "'"),
                  std::string::npos)
            << r.output;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("o.wav")));
    // A valid rate, and a float key given a number below the normal floats.
    const auto r = korvex("render --in " + dir.file("in.wav") + " --out " + dir.file("o.wav") +
                          " --set SampleRate=22050 --set OutputVolume=1e-38");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(get32(readFile(dir.file("o.wav")), 24), 22050u);
}

TEST(KorvexRender, FilesThatAreNoRegularFilesAreRefusedWithoutWaiting)
{
    // Each of these once waited forever for a writer, or read without end.
    TempDir dir;
    writeWav(dir.file("in.wav"), testSignal(300), 22050);
    ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0600), 0);
    const std::string in = " --in " + dir.file("in.wav");
    const std::string out = " --out " + dir.file("o.wav");
    for (const std::string& bad : {dir.file("fifo.wav"), std::string("/dev/zero")}) {
        SCOPED_TRACE(bad);
        auto r = korvex("render --in " + bad + out);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.output.find("Error opening input file!"), std::string::npos) << r.output;
        r = korvex("render" + in + out + " --background " + bad);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.output.find("Error opening background track file!"), std::string::npos) << r.output;
        r = korvex("render" + in + out + " --set spkcab_file=1 --set spk_ir_fname=" + bad);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.output.find("Error opening impulse file!\n '" + bad + "' not found."), std::string::npos)
            << r.output;
    }
}

TEST(KorvexRender, ACabinetThatCannotBeLoadedFailsBeforeAnythingIsWritten)
{
    TempDir dir;
    writeWav(dir.file("in.wav"), testSignal(300), 22050);
    const std::string files = " --in " + dir.file("in.wav") + " --out " + dir.file("o.wav");
    auto r = korvex("render" + files + " --set spkcab_enabled=1 --set spkcab_file=1 --set spk_ir_fname=" +
                    dir.file("missing.wav"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Error opening impulse file!"), std::string::npos) << r.output;
    r = korvex("render" + files + " --set spkcab_enabled=1 --set ir_num=999");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Runtime error unpacking!"), std::string::npos) << r.output;
    // Only the input is there: no output, no temporary file.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

TEST(KorvexRender, OutputThroughLinksIntoFifosAndBesideAPartialFileOfSomebodyElse)
{
    TempDir dir;
    writeWav(dir.file("in.wav"), testSignal(300), 22050);
    const std::string render = "render --in " + dir.file("in.wav") + " --set stereo=0 --out ";

    // A link to no file yet: the file is made where it points.
    std::filesystem::create_symlink("made.wav", dir.file("link.wav"));
    auto r = korvex(render + dir.file("link.wav"));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.wav")));
    EXPECT_EQ(readSamples(dir.file("made.wav")).size(), 384u);

    // /dev/null and a FIFO take the stream; the FIFO's reader opened first.
    r = korvex(render + "/dev/null");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0600), 0);
    const int reader = ::open(dir.file("fifo.wav").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    r = korvex(render + dir.file("fifo.wav"));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::vector<uint8_t> stream(4096);
    const ssize_t n = ::read(reader, stream.data(), stream.size());
    ::close(reader);
    ASSERT_EQ(n, 44 + 2 * 384); // smaller than a pipe's buffer: all of it is there
    EXPECT_EQ(get32(stream, 40), 0xFFFFFFFFu);

    // Somebody else's OUT.partial, here a link, is neither followed nor removed.
    std::filesystem::create_symlink(dir.file("elsewhere"), dir.file("out.wav.partial"));
    r = korvex(render + dir.file("out.wav"));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(readSamples(dir.file("out.wav")).size(), 384u);
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("out.wav.partial")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("elsewhere")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.wav.partial.1")));
}

TEST(KorvexRender, AnInterruptedRenderRemovesItsTemporaryFileAndFails)
{
    TempDir dir;
    // A recording of 27 hours that takes no room: its samples are a hole.
    const std::string in = dir.file("long.wav");
    {
        WavRecipe recipe;
        recipe.rate = 22050;
        recipe.dataSizeOverride = 0xFFFFFFF0u;
        writeFile(in, wavBytes(recipe, {}));
        std::filesystem::resize_file(in, 44 + 0xFFFFFFF0ull);
    }
    const std::string out = dir.file("out.wav");
    writeFile(out + ".partial", {'m', 'i', 'n', 'e'}); // not ours: ours is .partial.1
    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        const std::string errFile = dir.file("stderr.txt");
        const std::string korvexPath = std::string(STRAVIK_BUILD_DIR) + "/korvex";
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int nul = ::open("/dev/null", O_RDWR);
            ::dup2(nul, 0);
            ::dup2(nul, 1);
            ::dup2(err, 2);
            ::execl(korvexPath.c_str(), "korvex", "render", "--in", in.c_str(), "--out", out.c_str(), "--set",
                    "stereo=0", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Wait for the render to have its temporary file, then stop it.
        int status = 0;
        bool ended = false;
        while (!std::filesystem::exists(out + ".partial.1")) {
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                ended = true;
                break;
            }
            ::usleep(1000);
        }
        ASSERT_FALSE(ended) << "the render ended on its own: " << status;
        ASSERT_EQ(::kill(pid, sig), 0);
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 1);
        const auto err = readFile(errFile);
        EXPECT_NE(std::string(err.begin(), err.end()).find("Rendering interrupted."), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(out));
        EXPECT_FALSE(std::filesystem::exists(out + ".partial.1"));
        EXPECT_EQ(readFile(out + ".partial"), (std::vector<uint8_t>{'m', 'i', 'n', 'e'}));
    }
}

TEST(KorvexRender, RendersAndFailsWithTheRightMessages)
{
    TempDir dir;
    writeWav(dir.file("in.wav"), testSignal(1000), 22050);
    auto r = korvex("render --in " + dir.file("in.wav") + " --out " + dir.file("out.wav") + " --set stereo=0");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(readSamples(dir.file("out.wav")).size(), 1024u);

    // Missing input: the message, exit 1, and no output file.
    r = korvex("render --in " + dir.file("missing.wav") + " --out " + dir.file("o2.wav"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Error opening input file!"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.file("o2.wav")));

    // A directory as the input, a truncated header.
    r = korvex("render --in " + dir.path() + " --out " + dir.file("o2.wav"));
    EXPECT_EQ(r.exitCode, 1);
    writeFile(dir.file("trunc.wav"), std::vector<uint8_t>{'R', 'I', 'F', 'F', 0, 0});
    r = korvex("render --in " + dir.file("trunc.wav") + " --out " + dir.file("o2.wav"));
    EXPECT_EQ(r.exitCode, 1);

    // An output that cannot be written.
    r = korvex("render --in " + dir.file("in.wav") + " --out " + dir.file("no/dir/o.wav"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Error creating output file!"), std::string::npos);

    // The same file as input and output.
    r = korvex("render --in " + dir.file("in.wav") + " --out " + dir.file("IN.wav"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Error! Input file specified is the same as output file."), std::string::npos);

    // An existing output without a terminal to confirm: left alone.
    const auto before = readFile(dir.file("out.wav"));
    r = korvex("render --in " + dir.file("in.wav") + " --out " + dir.file("out.wav"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("already exists!"), std::string::npos);
    EXPECT_EQ(readFile(dir.file("out.wav")), before);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().string().find(".partial"), std::string::npos) << entry.path();
    // --force replaces it without asking.
    r = korvex("render --force --in " + dir.file("in.wav") + " --out " + dir.file("out.wav") +
               " --set OutputVolume=0.5");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("(answered ok)"), std::string::npos);
    EXPECT_NE(readFile(dir.file("out.wav")), before);
}

// ---- recordings of every kind

TEST(RenderJob, TwentyFourBitFloatAndFlacCopiesRenderLikeTheSixteenBitRecording)
{
    TempDir dir;
    const auto demo = assets::synthesizeDemoGuitar(48000);
    const std::vector<int16_t> take(demo.begin(), demo.begin() + 48000 * 3);
    writeWav(dir.file("take16.wav"), take);
    ASSERT_TRUE(writeSound(dir.file("take24.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 1, take));
    ASSERT_TRUE(writeSound(dir.file("takef.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 1, take));
    ASSERT_TRUE(writeSound(dir.file("take.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 1, take));
    const auto render = [&](const std::string& in) {
        RecordingMessages messages;
        RenderJob job(messages);
        std::string error;
        for (const char* s : {"stereo=0", "dist_enabled=1", "spkcab_enabled=1", "echo_enabled=1"})
            EXPECT_TRUE(job.applySetting(s, error)) << error;
        EXPECT_EQ(job.run(dir.file(in), dir.file(in + ".out.wav"), ""), RenderJob::kOk);
        return readSamples(dir.file(in + ".out.wav"));
    };
    const auto original = render("take16.wav");
    ASSERT_EQ(original.size(), (take.size() / 128 + 1) * 128);
    for (const char* copy : {"take24.wav", "takef.wav", "take.flac"}) {
        SCOPED_TRACE(copy);
        const auto out = render(copy);
        ASSERT_EQ(out.size(), original.size());
        for (size_t i = 0; i < out.size(); ++i) ASSERT_LE(std::abs(out[i] - original[i]), 1) << i;
    }
}

TEST(RenderJob, TwentyFourBitAndFloatOutputsKeepWhatSixteenBitsCannotHold)
{
    TempDir dir;
    // Three channels; the chain hears the average of the first two, or the
    // channel asked for. At the defaults the chain passes its input through.
    const auto a = sine(441.0, 0.3, 48000, 24000), b = sine(97.0, 0.2, 48000, 24000), c = sine(1234.5, 0.25, 48000, 24000);
    std::vector<double> frames;
    for (size_t i = 0; i < a.size(); ++i) frames.insert(frames.end(), {a[i], b[i], c[i]});
    ASSERT_TRUE(writeSound(dir.file("in.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 3, frames));
    const auto render = [&](const std::string& out, SampleEncoding encoding, int channel) {
        RecordingMessages messages;
        RenderJob job(messages);
        std::string error;
        EXPECT_TRUE(job.applySetting("stereo=0", error));
        job.setOutputEncoding(encoding);
        job.setChannel(channel);
        EXPECT_EQ(job.run(dir.file("in.wav"), dir.file(out), ""), RenderJob::kOk);
        return readSound(dir.file(out));
    };
    const double step = 1.0 / 32768.0;
    struct Case {
        const char* out;
        SampleEncoding encoding;
        int channel;
        int format;
        double within; // of the input
    };
    for (const Case& k : {Case{"f.wav", SampleEncoding::Float32, 0, SF_FORMAT_FLOAT, 1e-6},
                          Case{"f3.wav", SampleEncoding::Float32, 3, SF_FORMAT_FLOAT, 1e-6},
                          Case{"p24.wav", SampleEncoding::Pcm24, 0, SF_FORMAT_PCM_24, step / 200.0}}) {
        SCOPED_TRACE(k.out);
        const Sound out = render(k.out, k.encoding, k.channel);
        EXPECT_EQ(out.format, SF_FORMAT_WAV | k.format);
        ASSERT_GE(out.samples.size(), a.size());
        int offGrid = 0;
        for (size_t i = 0; i < a.size(); ++i) {
            const double expected = k.channel == 3 ? c[i] : (a[i] + b[i]) / 2.0;
            ASSERT_NEAR(out.samples[i], expected, k.within) << i;
            const double steps = out.samples[i] / step;
            offGrid += std::fabs(steps - std::round(steps)) > 0.01;
        }
        EXPECT_GT(offGrid, static_cast<int>(a.size()) * 9 / 10);
    }
}

TEST(RenderBatch, RendersAsManyRecordingsAtOnceAsItHasWorkers)
{
    TempDir dir;
    std::vector<RenderBatch::Task> tasks;
    for (int i = 0; i < 8; ++i) {
        writeWav(dir.file("in" + std::to_string(i) + ".wav"), testSignal(3000 + 100 * i));
        tasks.push_back({dir.file("in" + std::to_string(i) + ".wav"), dir.file("out" + std::to_string(i) + ".wav")});
    }
    // Every job waits at its set-up until four are there: the batch gets
    // through only when four render at once.
    std::mutex lock;
    std::condition_variable arrived;
    int count = 0;
    RecordingMessages messages;
    RenderBatch batch(messages, [&](RenderJob&, UserMessages&) {
        std::unique_lock l(lock);
        const int wave = count++ / 4;
        arrived.notify_all();
        return arrived.wait_for(l, std::chrono::seconds(60), [&] { return count >= 4 * (wave + 1); });
    });
    batch.setWorkers(4);
    std::vector<int> progress;
    const auto results = batch.run(tasks, "", [&](int p) { progress.push_back(p); });
    EXPECT_EQ(results, std::vector<int>(8, RenderJob::kOk));
    EXPECT_EQ(batch.peakConcurrency(), 4);
    EXPECT_EQ(messages.count(), 0u);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress.back(), 100);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(readSamples(tasks[static_cast<size_t>(i)].out).size(), 2u * ((3000 + 100 * i) / 128 + 1) * 128);
}

TEST(RenderBatch, NoOutputReplacesAnInputOrAnotherOutput)
{
    TempDir dir;
    std::filesystem::create_directories(dir.file("x"));
    std::filesystem::create_directories(dir.file("y"));
    for (const char* name : {"a.wav", "x/c.wav", "y/c.wav"}) writeWav(dir.file(name), testSignal(500));
    ASSERT_TRUE(writeSound(dir.file("a.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 1, testSignal(500)));
    const auto take = readFile(dir.file("a.wav"));
    RecordingMessages messages;
    RenderBatch batch(messages, {});
    const auto results = batch.run({{dir.file("a.wav"), dir.file("a.wav")},
                                    {dir.file("a.flac"), dir.file("a.wav")},
                                    {dir.file("x/c.wav"), dir.file("c.wav")},
                                    {dir.file("y/c.wav"), dir.file("c.wav")}},
                                   "");
    EXPECT_EQ(results, (std::vector<int>{RenderJob::kFailed, RenderJob::kFailed, RenderJob::kOk, RenderJob::kFailed}));
    ASSERT_EQ(messages.count(), 3u);
    EXPECT_EQ(messages.texts()[0], dir.file("a.wav") + ": Error! Input file specified is the same as output file.");
    EXPECT_NE(messages.texts()[1].find("is the input " + dir.file("a.wav")), std::string::npos) << messages.texts()[1];
    EXPECT_NE(messages.texts()[2].find("is the output of " + dir.file("x/c.wav")), std::string::npos) << messages.texts()[2];
    EXPECT_EQ(readFile(dir.file("a.wav")), take);
    EXPECT_EQ(readSamples(dir.file("c.wav")).size(), 2u * 512);
}

TEST(KorvexRender, ABatchRendersEachRecordingAsASingleRenderWould)
{
    TempDir dir;
    const auto demo = assets::synthesizeDemoGuitar(48000);
    std::vector<std::string> inputs;
    for (int i = 0; i < 8; ++i) {
        const std::vector<int16_t> take(demo.begin() + 20000 * i, demo.begin() + 20000 * i + 30000);
        const std::string name = dir.file("take" + std::to_string(i));
        const int formats[] = {SF_FORMAT_WAV | SF_FORMAT_PCM_16, SF_FORMAT_WAV | SF_FORMAT_PCM_24,
                               SF_FORMAT_WAV | SF_FORMAT_FLOAT, SF_FORMAT_FLAC | SF_FORMAT_PCM_24,
                               SF_FORMAT_AIFF | SF_FORMAT_PCM_24};
        const int format = formats[i % 5];
        const std::string path = name + ((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC   ? ".flac"
                                         : (format & SF_FORMAT_TYPEMASK) == SF_FORMAT_AIFF ? ".aiff"
                                                                                           : ".wav");
        ASSERT_TRUE(writeSound(path, format, i == 7 ? 96000 : 48000, 1, take));
        inputs.push_back(path);
    }
    writeFile(dir.file("notes.wav"), {'n', 'o', 't', 'e', 's'});
    const std::string options = " --set dist_enabled=1 --set echo_enabled=1 --out-format pcm24";
    std::string all;
    for (const auto& in : inputs) all += " " + in;
    const auto r = korvex("render --out-dir " + dir.file("reamped") + " -j 3" + options + all + " " + dir.file("notes.wav"));
    // The file that is no recording fails by name; the others are done.
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find(dir.file("notes.wav") + ": Error opening input file!"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("1 of 9 files failed"), std::string::npos) << r.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("reamped/notes.wav")));
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(inputs[static_cast<size_t>(i)]);
        const std::string single = dir.file("single" + std::to_string(i) + ".wav");
        ASSERT_EQ(korvex("render --in " + inputs[static_cast<size_t>(i)] + " --out " + single + options).exitCode, 0);
        const auto batched = readFile(dir.file("reamped/take" + std::to_string(i) + ".wav"));
        EXPECT_GT(batched.size(), 44u + 3u * 2 * 15000); // stereo, 24 bits, the 96 kHz take at half its length
        EXPECT_EQ(batched, readFile(single));
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("reamped")), std::filesystem::directory_iterator()), 8);
}

TEST(KorvexRender, RecordingsThatCannotBeReadFailByNameAndLeaveNothing)
{
    TempDir dir;
    const auto take = sine(220.0, 0.5, 48000, 200000);
    ASSERT_TRUE(writeSound(dir.file("whole.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_24, 48000, 2, take));
    ASSERT_TRUE(writeSound(dir.file("whole.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 48000, 1, take));
    // Copies cut off half-way, as a full disk or a broken copy leaves them.
    for (const char* name : {"whole.wav", "whole.flac"}) {
        const std::string cut = dir.file(std::string("cut-") + name);
        std::filesystem::copy_file(dir.file(name), cut);
        std::filesystem::resize_file(cut, std::filesystem::file_size(cut) / 2);
    }
    writeFile(dir.file("text.wav"), std::vector<uint8_t>(1000, 'x'));
    for (const char* bad : {"cut-whole.wav", "cut-whole.flac", "text.wav", "missing.flac"}) {
        SCOPED_TRACE(bad);
        const auto r = korvex("render --in " + dir.file(bad) + " --out " + dir.file("out.wav"));
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.output.find("'" + dir.file(bad) + "'"), std::string::npos) << r.output;
        EXPECT_FALSE(std::filesystem::exists(dir.file("out.wav")));
        EXPECT_FALSE(std::filesystem::exists(dir.file("out.wav.partial")));
    }
    EXPECT_NE(korvex("render --in " + dir.file("cut-whole.flac") + " --out " + dir.file("o.wav")).output.find("truncated"),
              std::string::npos);
    // The whole files render, also one channel of the two.
    EXPECT_EQ(korvex("render --in " + dir.file("whole.flac") + " --out " + dir.file("o1.wav")).exitCode, 0);
    EXPECT_EQ(korvex("render --channel 2 --in " + dir.file("whole.wav") + " --out " + dir.file("o2.wav")).exitCode, 0);
    const auto r = korvex("render --channel 3 --in " + dir.file("whole.wav") + " --out " + dir.file("o3.wav"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("has 2 channels: there is no channel 3"), std::string::npos) << r.output;
    for (const char* usage : {"--out-format pcm32", "--out-rate 0", "--channel 0", "-j 0", "-jx"})
        EXPECT_EQ(korvex("render --in " + dir.file("whole.wav") + " --out " + dir.file("o4.wav") + " " + usage).exitCode, 2)
            << usage;
    EXPECT_EQ(korvex("render --out-dir " + dir.path() + " --in " + dir.file("whole.wav")).exitCode, 2);
    EXPECT_EQ(korvex("render --out " + dir.file("o4.wav") + " " + dir.file("whole.wav")).exitCode, 2);
}
