// test-fixture: jack
// test-label: threads
// The JACK path on dummy JACK servers of the tests' own: a known signal
// through korvex's ports comes back sample-exact at several periods (not all
// multiples of 128), the start tone replaces the output while it sounds, a
// server that goes away ends the run with its message, the server list, and
// the buffer size MaxDelay asks for.
//
// The servers have no ports of their own; the test client's ports are
// marked physical, so a run that connects its ports connects them to the
// test's.
#include "JackTest.h"

#include "dsp/RecordingMessages.h"
#include "engine/Engine.h"
#include "engine/FileRoles.h"
#include "engine/ProcessingRun.h"
#include "engine/StartBeep.h"
#include "engine/devices/AudioDevices.h"
#include "engine/devices/JackDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace stravik;
using namespace jacktest;

namespace {

// A JACK run opens no device of the standard path.
class NoDevices final : public AudioBackend {
public:
    std::vector<std::string> captureDevices() override { return {}; }
    std::vector<std::string> playbackDevices() override { return {}; }
    std::unique_ptr<InputDevice> openInput(int, int, UserMessages&) override { return nullptr; }
    std::unique_ptr<LiveOutputDevice> openOutput(int, const OutputRequest&, UserMessages&) override { return nullptr; }
};

// A repeating pseudo-random signal of 16-bit values, as JACK carries them.
std::vector<float> noise(size_t period, size_t length)
{
    std::vector<float> one(period);
    uint32_t x = 977;
    for (auto& v : one) {
        x = x * 1664525u + 1013904223u;
        v = toJack(static_cast<int16_t>((x >> 16) % 20000 - 10000));
    }
    std::vector<float> s(length);
    for (size_t i = 0; i < length; ++i) s[i] = one[i % period];
    return s;
}

std::string said(const RecordingMessages& m)
{
    std::string all;
    for (const auto& t : m.texts()) all += t + "\n";
    return all;
}

struct JackRun {
    RecordingMessages messages;
    std::unique_ptr<Engine> engine = std::make_unique<Engine>(messages);
    FileRoles files{*engine};
    NoDevices audio;
    std::unique_ptr<ProcessingRun> run = std::make_unique<ProcessingRun>(*engine, files, audio, messages);

    explicit JackRun(const std::string& server)
    {
        auto& s = engine->settings;
        s.UseASIO = 1;
        const auto servers = JackDriver::servers();
        const auto it = std::find(servers.begin(), servers.end(), server);
        s.ASIO_dev = it == servers.end() ? 99 : static_cast<int>(it - servers.begin());
        s.stereo = 0;
        s.BeepOnStart = 0;
        s.DisableSSaver = 0;
        s.JackConnect = 1;
        engine->setFiles(&files);
    }
    ~JackRun()
    {
        run.reset();
        engine->setFiles(nullptr);
    }
    bool startAndWait()
    {
        if (run->start() != ProcessingRun::StartResult::Started) return false;
        for (int i = 0; i < 5000 && run->active() && !run->running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return run->running();
    }
};

// Where `got` (from frame `from` on) repeats the noise of `period`: the shift,
// or -1.
long findShift(const std::vector<float>& got, size_t from, size_t period)
{
    const auto sent = noise(period, period);
    for (size_t shift = 0; shift < period; ++shift) {
        bool same = true;
        for (size_t k = 0; k < 64 && same; ++k) same = got[from + k] == sent[(from + k + shift) % period];
        if (same) return static_cast<long>(shift);
    }
    return -1;
}

} // namespace

TEST(JackDriver, BufferSizeFromMaxDelay)
{
    EXPECT_EQ(JackDriver::requestedFrames(20, 44100), 768); // 882 frames, 6 pieces of 128
    EXPECT_EQ(JackDriver::requestedFrames(2, 48000), 128);  // never below one piece
    EXPECT_EQ(JackDriver::fitToDriver(128, 200, 4096), 256);
    EXPECT_EQ(JackDriver::fitToDriver(128, 256, 4096), 256);
    EXPECT_EQ(JackDriver::fitToDriver(2048, 64, 1000), 896);
}

// With every effect off the chain is transparent: what goes in comes out
// exactly, whatever the period, including ones that end in a short piece.
TEST(JackDriver, KnownSignalComesBackSampleExactAtEveryPeriod)
{
    for (const int period : {32, 128, 256, 1000}) {
        SCOPED_TRACE("period " + std::to_string(period));
        PrivateServer server(48000, period, false);
        ASSERT_TRUE(server.ready()) << server.log();
        useServer(server.name());
        TestClient jack(2, 2, 3.0, JackPortIsPhysical);
        ASSERT_TRUE(jack.ok());
        const size_t cycle = 4801;
        const auto signal = noise(cycle, static_cast<size_t>(3 * jack.rate()));
        jack.setSignal(0, signal);
        jack.setSignal(1, signal); // the input is the mean of the two
        JackRun r(server.name());
        ASSERT_TRUE(r.startAndWait()) << said(r.messages);
        EXPECT_EQ(r.run->jackState().period, period);
        jack.startPlaying();
        const long start = jack.recordedFrames();
        ASSERT_TRUE(jack.waitRecorded(start + jack.rate())) << jack.state();
        r.run->stop();
        r.run->wait();
        EXPECT_EQ(r.run->endReason(), RunEnd::Stopped) << said(r.messages);

        const auto left = jack.recording(0), right = jack.recording(1);
        const size_t from = static_cast<size_t>(start) + 4096;
        ASSERT_GT(left.size(), from + 24000) << jack.state();
        const long shift = findShift(left, from, cycle);
        ASSERT_GE(shift, 0) << "the signal was not found; " << jack.state();
        const auto sent = noise(cycle, cycle);
        size_t wrong = 0;
        for (size_t i = from; i < from + 24000; ++i) {
            const float want = sent[(i + static_cast<size_t>(shift)) % cycle];
            wrong += left[i] != want || right[i] != want;
        }
        // A cycle the server skipped on a loaded machine tears at most a
        // period or two; anything else must be exact.
        EXPECT_LE(wrong, static_cast<size_t>(2 * period * jack.serverXruns())) << jack.state();
    }
}

// The server's period changes while running: the run follows it, and the
// signal still comes back exactly.
TEST(JackDriver, APeriodChangeWhileRunningIsFollowed)
{
    PrivateServer server(48000, 128, false);
    ASSERT_TRUE(server.ready()) << server.log();
    useServer(server.name());
    TestClient jack(2, 1, 4.0, JackPortIsPhysical);
    ASSERT_TRUE(jack.ok());
    const size_t cycle = 4801;
    const auto signal = noise(cycle, static_cast<size_t>(4 * jack.rate()));
    jack.setSignal(0, signal);
    jack.setSignal(1, signal);
    JackRun r(server.name());
    ASSERT_TRUE(r.startAndWait()) << said(r.messages);
    jack.startPlaying();
    ASSERT_TRUE(jack.waitRecorded(jack.recordedFrames() + 9600)) << jack.state();
    jack_client_t* other = jack_client_open("resizer", JackNoStartServer, nullptr);
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(jack_set_buffer_size(other, 200), 0);
    jack_client_close(other);
    const long changed = jack.recordedFrames();
    ASSERT_TRUE(jack.waitRecorded(changed + jack.rate())) << jack.state();
    EXPECT_TRUE(r.run->running()) << said(r.messages);
    EXPECT_EQ(r.run->jackState().period, 200);
    r.run->stop();
    r.run->wait();
    EXPECT_EQ(r.run->endReason(), RunEnd::Stopped) << said(r.messages);

    const auto got = jack.recording(0);
    const size_t from = static_cast<size_t>(changed) + 2400;
    const long shift = findShift(got, from, cycle);
    ASSERT_GE(shift, 0) << "the signal was lost after the change; " << jack.state();
    const auto sent = noise(cycle, cycle);
    size_t wrong = 0;
    for (size_t i = from; i < from + 24000; ++i) wrong += got[i] != sent[(i + static_cast<size_t>(shift)) % cycle];
    EXPECT_LE(wrong, static_cast<size_t>(2 * 200 * jack.serverXruns())) << jack.state();
}

// While the start tone sounds, the outputs play the tone, not the chain.
TEST(JackDriver, StartToneReplacesTheOutput)
{
    PrivateServer server(48000, 100, false);
    ASSERT_TRUE(server.ready()) << server.log();
    useServer(server.name());
    TestClient jack(2, 1, 2.0, JackPortIsPhysical);
    ASSERT_TRUE(jack.ok());
    const auto signal = noise(4801, 96000);
    jack.setSignal(0, signal);
    jack.setSignal(1, signal);
    jack.startPlaying();
    JackRun r(server.name());
    r.engine->settings.BeepOnStart = 1;
    const long before = jack.recordedFrames();
    ASSERT_TRUE(r.startAndWait()) << said(r.messages);
    ASSERT_TRUE(jack.waitRecorded(before + 24000)) << jack.state();
    r.run->stop();
    r.run->wait();

    // The tone as the start tone makes it, in pieces of the server's period.
    std::vector<int16_t> tone(4800);
    StartBeep beep;
    beep.start();
    for (size_t at = 0; at < tone.size(); at += 100) beep.render(tone.data() + at, 100, 1, 48000);
    const auto got = jack.recording(0);
    // The run starts the tone once its client is running: the chain's sound
    // may come first. Where the tone's first values are, the next 50 ms are
    // the tone and nothing else; the chain's sound follows.
    size_t lead = 0;
    while (tone[lead] == 0) ++lead;
    size_t first = static_cast<size_t>(before);
    const auto toneAt = [&](size_t at, size_t count) {
        size_t same = 0;
        for (size_t i = 0; i < count && at + i < got.size(); ++i) same += got[at + i] == toJack(tone[lead + i]);
        return same;
    };
    while (first + 4800 < got.size() && toneAt(first, 8) < 8) ++first;
    ASSERT_LT(first + 4800, got.size()) << "the tone was not found";
    const size_t same = toneAt(first, 2400 - lead);
    // A cycle the server skipped on a loaded machine tears the recording.
    if (same != 2400 - lead && jack.serverXruns() > 0)
        GTEST_SKIP() << "the server lost cycles while the tone sounded; " << jack.state();
    EXPECT_EQ(same, 2400 - lead) << jack.state();
    EXPECT_GE(findShift(got, first + 4800, 4801), 0) << "no chain sound after the tone";
}

// A server that goes away mid-run ends the run with a message, soon.
TEST(JackDriver, ServerThatGoesAwayEndsTheRun)
{
    PrivateServer server(48000, 128, false);
    ASSERT_TRUE(server.ready()) << server.log();
    useServer(server.name());
    JackRun r(server.name());
    ASSERT_TRUE(r.startAndWait()) << said(r.messages);
    const auto killed = std::chrono::steady_clock::now();
    server.terminate();
    for (int i = 0; i < 1500 && r.run->active(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - killed).count();
    r.run->wait();
    EXPECT_EQ(r.run->endReason(), RunEnd::DeviceFailed);
    EXPECT_NE(said(r.messages).find("The JACK server"), std::string::npos) << said(r.messages);
    EXPECT_LT(seconds, 1.0);
}

// The list: running servers only, the fixture's among them; a name that is
// not a server fails the run's start with the driver message.
TEST(JackDriver, ServerListAndAMissingServer)
{
    const auto servers = JackDriver::servers();
    EXPECT_NE(std::find(servers.begin(), servers.end(), fixtureServer()), servers.end());
    int rate = 0, period = 0;
    ASSERT_TRUE(JackDriver::serverSizes(fixtureServer(), rate, period));
    EXPECT_EQ(rate, 48000);
    EXPECT_EQ(period, 128);
    EXPECT_FALSE(JackDriver::serverSizes("no such server", rate, period));
    useServer(fixtureServer());
    JackRun r("no such server");
    ASSERT_EQ(r.run->start(), ProcessingRun::StartResult::Started);
    r.run->wait();
    EXPECT_EQ(r.run->endReason(), RunEnd::OpenFailed);
    EXPECT_NE(said(r.messages).find("Error loading ASIO driver!"), std::string::npos) << said(r.messages);
}
