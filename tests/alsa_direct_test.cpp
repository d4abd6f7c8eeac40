// test-label: threads
// test-fixture: jack
// The direct hardware path on ALSA PCMs that behave like hardware: the jack
// plugin behind `lfloat` takes 16-bit samples at the server's rate only,
// with exactly as many channels as it has ports. A capture device with two
// ports takes only stereo: the chain gets its left channel. A PCM that takes
// only float refuses the format with the program's message. Playback waits
// for the start delay, then plays the blocks as they were written.
#include "JackTest.h"
#include "dsp/RecordingMessages.h"
#include "engine/Engine.h"
#include "engine/devices/AlsaBackend.h"
#include "engine/devices/AlsaDirect.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <chrono>

using namespace stravik;
using jacktest::JackPcm;

namespace {

std::vector<float> ramp(int frames, int start, int step)
{
    std::vector<float> v(static_cast<size_t>(frames));
    for (int k = 0; k < frames; ++k) v[static_cast<size_t>(k)] = jacktest::toJack(static_cast<int16_t>(start + k * step));
    return v;
}

} // namespace

TEST(AlsaDirect, ACaptureDeviceThatTakesOnlyStereoGivesTheChainItsLeftChannel)
{
    jacktest::useServer(jacktest::fixtureServer());
    jacktest::TestClient source(2, 0);
    ASSERT_TRUE(source.ok());
    const std::string pcm = jacktest::uniqueName("stravik_stereo_only");
    jacktest::AlsaConfig config(
        {{pcm, JackPcm::Kind::Lfloat, {source.outputPort(0), source.outputPort(1)}, {}}});
    ASSERT_TRUE(config.ok());
    source.setSignal(0, ramp(48000, -20000, 1)); // left: counts up
    source.setSignal(1, ramp(48000, 20000, -1)); // right: counts down
    source.startPlaying();

    RecordingMessages messages;
    auto input = AlsaDirectInput::open(pcm, 48000, messages);
    ASSERT_TRUE(input) << (messages.count() ? messages.texts()[0] : "");
    EXPECT_EQ(input->channels(), 2);
    EXPECT_TRUE(input->direct());
    ASSERT_TRUE(input->start(messages));

    auto engine = std::make_unique<Engine>(messages);
    engine->prepareDeviceInput(48000, input->deviceRate());
    std::atomic<bool> stop{false};
    const int16_t* data = nullptr;
    // Past the silence before the plugin's client joined the graph.
    int n = 0;
    for (int i = 0; i < 400; ++i) {
        n = input->fetch(data, stop);
        ASSERT_EQ(n, 128) << input->failureText();
        if (data[0] != 0 && data[2 * 127] != 0) break;
    }
    ASSERT_NE(data[0], 0) << "the signal never came";
    engine->convertDeviceBlock(data, n, input->channels());
    for (int k = 0; k < n; ++k) {
        ASSERT_EQ(engine->WorkBuffer[k], data[2 * k] / 32768.0) << k;
        ASSERT_EQ(data[2 * k] + data[2 * k + 1], 0) << k; // the two ramps mirror each other
    }
    EXPECT_EQ(data[2] - data[0], 1); // and the left one counts up
    input->stop();
}

TEST(AlsaDirect, ADeviceThatRefusesTheSampleFormatSaysSo)
{
    jacktest::useServer(jacktest::fixtureServer());
    jacktest::TestClient peer(1, 1);
    ASSERT_TRUE(peer.ok());
    const std::string pcm = jacktest::uniqueName("stravik_float_only");
    jacktest::AlsaConfig config({{pcm, JackPcm::Kind::Raw, {peer.outputPort(0)}, {peer.inputPort(0)}}});
    ASSERT_TRUE(config.ok());
    RecordingMessages messages;
    EXPECT_FALSE(AlsaDirectInput::open(pcm, 48000, messages));
    OutputRequest request;
    request.channels = 1;
    EXPECT_FALSE(AlsaDirectOutput::open(pcm, request, messages));
    ASSERT_EQ(messages.count(), 2u);
    EXPECT_EQ(messages.texts()[0], "Error opening audio input device!\nSelected format is not supported.");
    EXPECT_EQ(messages.texts()[1], "Error opening audio output device!\nSelected format is not supported.");
}

TEST(AlsaDirect, PlaybackPlaysTheBlocksAfterTheStartDelay)
{
    jacktest::useServer(jacktest::fixtureServer());
    jacktest::TestClient sink(0, 1, 4.0);
    ASSERT_TRUE(sink.ok());
    const std::string pcm = jacktest::uniqueName("stravik_direct_out");
    jacktest::AlsaConfig config({{pcm, JackPcm::Kind::Lfloat, {}, {sink.inputPort(0)}}});
    ASSERT_TRUE(config.ok());
    RecordingMessages messages;
    OutputRequest request;
    request.rate = 48000;
    request.channels = 1;
    request.maxDelayMs = 20;
    auto output = AlsaDirectOutput::open(pcm, request, messages);
    ASSERT_TRUE(output) << (messages.count() ? messages.texts()[0] : "");
    ASSERT_TRUE(output->start(messages));

    // Blocks of a counter, written at the device's pace.
    std::vector<int16_t> block(128);
    int16_t next = 1;
    for (int b = 0; b < 600 && !output->failed(); ++b) {
        for (auto& v : block) v = next++;
        output->writeLive(block.data(), 256);
        if (!output->writer().starting()) std::this_thread::sleep_for(std::chrono::microseconds(2600));
        else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_FALSE(output->failed()) << output->failureText();
    output->stop();
    const auto got = sink.recording(0);
    // The counter arrives in order, value after value, wherever it starts
    // (blocks may have been dropped or doubled by the level control, never
    // torn apart).
    size_t at = 0;
    while (at < got.size() && jacktest::fromJack(got[at]) != 1) ++at;
    ASSERT_LT(at + 1280, got.size()) << "the first block never played";
    for (size_t k = 0; k < 1280; ++k) ASSERT_EQ(jacktest::fromJack(got[at + k]), static_cast<int16_t>(k + 1)) << k;
}
