// test-fixture: jack
// test-label: threads
// `korvex run` on real ALSA devices: PCMs of ALSA's jack plugin on a dummy
// JACK server, fed and recorded by a JACK client of the test. A known signal
// comes back sample-exact after the run's latency; a 22050 Hz run on a
// device that only takes 44100 Hz; a clean stop from SIGINT and a server that
// dies mid-run, each leaving a valid output file.
#include "JackTest.h"
#include "RunKorvex.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <vector>

using namespace jacktest;
using namespace testfiles;

namespace {

// A korvex process in the background, its standard output read line by line.
class Korvex {
public:
    Korvex(const std::string& args, const std::string& environment, const std::string& scratch)
    {
        const std::string cmd = environment + " exec " + std::string(STRAVIK_BUILD_DIR) + "/korvex " + args +
                                " 2>'" + scratch + "/stderr.txt' </dev/null";
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            execl("/bin/sh", "sh", "-c", cmd.c_str(), nullptr);
            _exit(127);
        }
        close(fds[1]);
        out_ = fdopen(fds[0], "r");
        errFile_ = scratch + "/stderr.txt";
    }
    ~Korvex()
    {
        if (pid_ > 0 && !ended_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_) std::fclose(out_);
    }
    // The next line of its output ("" at the end).
    std::string line()
    {
        char buf[256];
        if (!out_ || !std::fgets(buf, sizeof buf, out_)) return {};
        return buf;
    }
    void signal(int sig) { kill(pid_, sig); }
    // Reads the rest of the output and waits for the exit code.
    int wait()
    {
        while (!line().empty()) {
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        ended_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string errors() const
    {
        const auto e = readFile(errFile_);
        return std::string(e.begin(), e.end());
    }

private:
    pid_t pid_ = -1;
    std::FILE* out_ = nullptr;
    std::string errFile_;
    bool ended_ = false;
};

// Settings of a plain run: nothing stored, every effect off, no start tone.
std::string plainRun(const TempDir& home, const AlsaConfig& alsa, const std::string& server)
{
    return "XDG_CONFIG_HOME='" + home.path() + "' " + alsa.environment() + " JACK_DEFAULT_SERVER='" + server +
           "' JACK_NO_START_SERVER=1";
}

const char* kQuiet = " --set stereo=0 --set BeepOnStart=0 --set DisableSSaver=0 --set MaxDelay=20";

// A repeating pseudo-random signal, 16-bit values as JACK carries them.
std::vector<float> noise(size_t period, size_t length)
{
    std::vector<float> s(length);
    uint32_t x = 12345;
    std::vector<float> one(period);
    for (auto& v : one) {
        x = x * 1664525u + 1013904223u;
        v = toJack(static_cast<int16_t>((x >> 16) % 20000 - 10000));
    }
    for (size_t i = 0; i < length; ++i) s[i] = one[i % period];
    return s;
}

} // namespace

// With every effect off the chain gives back exactly what it was given,
// some milliseconds later.
TEST(KorvexRun, ASignalComesBackSampleExactAfterTheLatency)
{
    useServer(fixtureServer());
    TestClient jack(1, 1, 6.0);
    ASSERT_TRUE(jack.ok());
    AlsaConfig alsa({{.name = "stravtest", .capturePorts = {jack.outputPort(0)}, .playbackPorts = {jack.inputPort(0)}}});
    const size_t period = 4801; // not a multiple of any block
    jack.setSignal(0, noise(period, static_cast<size_t>(6 * jack.rate())));
    jack.startPlaying();
    TempDir home;
    Korvex k("run --seconds 4 --input stravtest --output stravtest" + std::string(kQuiet),
             plainRun(home, alsa, fixtureServer()), home.path());
    const int code = k.wait();
    ASSERT_EQ(code, 0) << k.errors();
    const auto got = jack.recording(0);
    // Find the latency a second after the output began (a slow start, as
    // under a sanitizer, only moves that point), then check a whole second.
    const size_t began = static_cast<size_t>(std::find_if(got.begin(), got.end(), [](float v) { return v != 0; }) -
                                             got.begin());
    const size_t from = began + static_cast<size_t>(jack.rate());
    ASSERT_GT(got.size(), from + static_cast<size_t>(jack.rate())) << jack.state();
    const auto sent = noise(period, period);
    long latency = -1;
    for (size_t shift = 0; shift < period && latency < 0; ++shift) {
        bool same = true;
        for (size_t k2 = 0; k2 < 64 && same; ++k2) same = got[from + k2] == sent[(from + k2 + shift) % period];
        if (same) latency = static_cast<long>(shift);
    }
    ASSERT_GE(latency, 0) << "the signal was not found in the output; " << jack.state();
    size_t wrong = 0;
    for (size_t i = from; i < from + static_cast<size_t>(jack.rate()); ++i)
        wrong += got[i] != sent[(i + static_cast<size_t>(latency)) % period];
    EXPECT_EQ(wrong, 0u) << jack.serverXruns() << " server xruns";
    std::printf("[ latency ] %ld frames of the period (modulo %zu)\n", latency, period);
}

// A device that only runs at 44100 Hz, in a 22050 Hz run: the capture falls
// back to 44100 Hz and decimates; a tone keeps its pitch.
TEST(KorvexRun, A22050HzRunOnADeviceThatOnlyTakes44100)
{
    PrivateServer server(44100);
    ASSERT_TRUE(server.ready()) << server.log();
    useServer(server.name());
    TestClient jack(1, 1, 4.0);
    ASSERT_TRUE(jack.ok());
    AlsaConfig alsa({{.name = "only44k", .kind = JackPcm::Kind::Lfloat, .capturePorts = {jack.outputPort(0)},
                      .playbackPorts = {}},
                     {.name = "plugout", .capturePorts = {}, .playbackPorts = {jack.inputPort(0)}}});
    std::vector<float> tone(static_cast<size_t>(4 * 44100));
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.3f * static_cast<float>(std::sin(2 * M_PI * 441.0 * i / 44100));
    jack.setSignal(0, tone);
    jack.startPlaying();
    TempDir home;
    Korvex k("run --seconds 3 --input only44k --output plugout --set SampleRate=22050" + std::string(kQuiet),
             plainRun(home, alsa, server.name()), home.path());
    ASSERT_EQ(k.wait(), 0) << k.errors();
    const auto got = jack.recording(0);
    ASSERT_GT(got.size(), 3u * 44100 / 2) << jack.state();
    // The tone's period from the middle of the recording: 100 samples of
    // 44100 Hz for 441 Hz (the median of the periods, so that a dropout on a
    // loaded machine does not count).
    std::vector<long> periods;
    long last = -1;
    float peak = 0;
    for (size_t i = 44100; i < got.size(); ++i) {
        peak = std::max(peak, std::fabs(got[i]));
        if (got[i - 1] < 0 && got[i] >= 0) {
            if (last >= 0) periods.push_back(static_cast<long>(i) - last);
            last = static_cast<long>(i);
        }
    }
    ASSERT_GT(periods.size(), 100u);
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    EXPECT_NEAR(periods[periods.size() / 2], 100, 1);
    EXPECT_NEAR(peak, 0.3f, 0.03f);
}

// Ctrl-C ends the run cleanly: exit 0, the recording complete and valid.
TEST(KorvexRun, SigintStopsCleanlyWithACompleteFile)
{
    useServer(fixtureServer());
    TestClient jack(1, 1, 1.0);
    ASSERT_TRUE(jack.ok());
    AlsaConfig alsa({{.name = "stravtest", .capturePorts = {jack.outputPort(0)}, .playbackPorts = {jack.inputPort(0)}}});
    TempDir home;
    Korvex k("run --input stravtest --output stravtest --out-file " + home.file("take.wav") + kQuiet,
             plainRun(home, alsa, fixtureServer()), home.path());
    const std::string first = k.line();
    EXPECT_NE(first.find("1 s  in "), std::string::npos) << first << k.errors();
    EXPECT_NE(first.find(" dB  xruns "), std::string::npos) << first;
    k.signal(SIGINT);
    ASSERT_EQ(k.wait(), 0) << k.errors();
    const auto bytes = readFile(home.file("take.wav"));
    ASSERT_GT(bytes.size(), 44u + 2 * 12000); // at least a quarter of a second recorded
    const uint32_t riff = bytes[4] | bytes[5] << 8 | bytes[6] << 16 | static_cast<uint32_t>(bytes[7]) << 24;
    EXPECT_EQ(riff, bytes.size() - 8); // sizes written: the file is complete
    EXPECT_FALSE(readSamples(home.file("take.wav")).empty());
}

// A server that goes away mid-run ends the run with a message: no hang, and
// the output file is complete.
TEST(KorvexRun, AServerThatDiesEndsTheRunWithAValidFile)
{
    PrivateServer server(48000);
    ASSERT_TRUE(server.ready()) << server.log();
    AlsaConfig alsa({{.name = "dying", .capturePorts = {"system:capture_1"}, .playbackPorts = {"system:playback_1"}}});
    TempDir home;
    Korvex k("run --input dying --output dying --out-file " + home.file("take.wav") + kQuiet,
             plainRun(home, alsa, server.name()), home.path());
    const std::string first = k.line();
    ASSERT_NE(first.find("1 s"), std::string::npos) << first << k.errors();
    server.terminate();
    EXPECT_EQ(k.wait(), 1) << "the run should end on its own once the device has gone";
    EXPECT_FALSE(k.errors().empty());
    const auto bytes = readFile(home.file("take.wav"));
    ASSERT_GT(bytes.size(), 44u);
    const uint32_t riff = bytes[4] | bytes[5] << 8 | bytes[6] << 16 | static_cast<uint32_t>(bytes[7]) << 24;
    EXPECT_EQ(riff, bytes.size() - 8);
}

TEST(KorvexRun, UnknownDevicesAndUsage)
{
    TempDir home;
    const std::string env = "XDG_CONFIG_HOME='" + home.path() + "'";
    KorvexRun r = runKorvex("run --input no-such-device --seconds 1", home.path(), env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("there is no input device 'no-such-device'"), std::string::npos) << r.err;
    EXPECT_EQ(runKorvex("run --seconds -1", home.path(), env).exitCode, 2);
    EXPECT_EQ(runKorvex("run --set SampleRate=1000", home.path(), env).exitCode, 2);
    EXPECT_EQ(runKorvex("run --frobnicate", home.path(), env).exitCode, 2);
    r = runKorvex("devices", home.path(), env);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("input 0: default\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\noutput 0: default\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\njack 0: " + fixtureServer() + "\n"), std::string::npos) << r.out; // the default server
    r = runKorvex("run --jack no-such-server --seconds 1", home.path(), env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("there is no JACK server 'no-such-server'"), std::string::npos) << r.err;
    EXPECT_EQ(runKorvex("run --jack --input default", home.path(), env).exitCode, 2);
}

// Through JACK: korvex's ports join the "sound card's" (the test's ports,
// marked physical, on a server without its own) and the signal comes back.
TEST(KorvexRun, ThroughJack)
{
    PrivateServer server(48000, 256, false);
    ASSERT_TRUE(server.ready()) << server.log();
    useServer(server.name());
    TestClient jack(2, 1, 5.0, JackPortIsPhysical);
    ASSERT_TRUE(jack.ok());
    const size_t period = 4801;
    jack.setSignal(0, noise(period, static_cast<size_t>(5 * jack.rate())));
    jack.setSignal(1, noise(period, static_cast<size_t>(5 * jack.rate())));
    jack.startPlaying();
    TempDir home;
    Korvex k("run --jack " + server.name() + " --seconds 3" + std::string(kQuiet),
             "XDG_CONFIG_HOME='" + home.path() + "' JACK_NO_START_SERVER=1", home.path());
    ASSERT_EQ(k.wait(), 0) << k.errors();
    EXPECT_NE(k.errors().find("JACK server '" + server.name() + "', 256 frames a period at 48000 Hz"),
              std::string::npos)
        << k.errors();
    const auto got = jack.recording(0);
    const auto sent = noise(period, period);
    // Somewhere in the recording, half a second of the signal, exactly.
    bool found = false;
    for (size_t from = 0; from + 24000 < got.size() && !found; from += 4800) {
        if (got[from] == 0.0f) continue;
        for (size_t shift = 0; shift < period && !found; ++shift) {
            size_t same = 0;
            while (same < 24000 && got[from + same] == sent[(from + same + shift) % period]) ++same;
            found = same == 24000;
        }
    }
    EXPECT_TRUE(found) << jack.state();
}
