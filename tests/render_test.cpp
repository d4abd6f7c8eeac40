// Rendering files through the chain: RenderJob directly, and `korvex render`
// as a program with its exit codes, messages and files.
#include "engine/Render.h"

#include "RunKorvex.h"
#include "TestFiles.h"
#include "assets/DemoGuitar.h"
#include "dsp/RecordingMessages.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
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

TEST(RenderJob, AnExplicitRateThatDiffersFromTheFileFailsWithoutAFile)
{
    TempDir dir;
    writeWav(dir.file("in.wav"), testSignal(500), 44100);
    RecordingMessages messages;
    RenderJob job(messages);
    std::string error;
    ASSERT_TRUE(job.applySetting("SampleRate=48000", error));
    EXPECT_EQ(job.run(dir.file("in.wav"), dir.file("out.wav"), ""), RenderJob::kFailed);
    ASSERT_EQ(messages.count(), 1u);
    EXPECT_EQ(messages.texts()[0], "Input file sample rate (44100Hz) differs from processing\n"
                                   "sample rate specified in setup screen (48000Hz).");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()) || !std::filesystem::exists(dir.file("out.wav")));
    EXPECT_FALSE(std::filesystem::exists(FileRoles::partialName(dir.file("out.wav"))));
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
    job.files().limitOutputBytes(1000);
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
        WavSpec spec;
        spec.rate = 22050;
        spec.dataSizeOverride = 0xFFFFFFF0u;
        writeFile(in, wavBytes(spec, {}));
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

    // A directory as the input, truncated and zero-align headers.
    r = korvex("render --in " + dir.path() + " --out " + dir.file("o2.wav"));
    EXPECT_EQ(r.exitCode, 1);
    writeFile(dir.file("trunc.wav"), std::vector<uint8_t>{'R', 'I', 'F', 'F', 0, 0});
    r = korvex("render --in " + dir.file("trunc.wav") + " --out " + dir.file("o2.wav"));
    EXPECT_EQ(r.exitCode, 1);
    WavSpec zero;
    zero.blockAlign = 0;
    writeFile(dir.file("zero.wav"), wavBytes(zero, pcm16Bytes({1, 2, 3})));
    r = korvex("render --in " + dir.file("zero.wav") + " --out " + dir.file("o2.wav"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Error opening input file!"), std::string::npos);

    // An output that cannot be written.
    r = korvex("render --in " + dir.file("in.wav") + " --out " + dir.file("no/dir/o.wav"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Error creating output file!"), std::string::npos);

    // An 8-bit input.
    WavSpec eight;
    eight.bits = 8;
    eight.rate = 22050;
    writeFile(dir.file("eight.wav"), wavBytes(eight, std::vector<uint8_t>(500, 128)));
    r = korvex("render --in " + dir.file("eight.wav") + " --out " + dir.file("o3.wav"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Input file format must be 16-bit"), std::string::npos);

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
