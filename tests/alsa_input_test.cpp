// test-label: threads
// test-fixture: jack
// Capture through ALSA: a JACK client plays a known signal into an ALSA
// capture PCM (the jack plugin), and the input device must hand it over
// sample for sample; a server that ends makes the device fail, not hang.
#include "JackTest.h"
#include "dsp/RecordingMessages.h"
#include "engine/devices/AlsaBackend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

using namespace stravik;
using jacktest::JackPcm;

namespace {

int indexOf(const std::vector<std::string>& names, const std::string& name)
{
    const auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : static_cast<int>(it - names.begin());
}

// A 16-bit counter from -32768 up: each value says where it belongs.
std::vector<int16_t> counter(int frames)
{
    std::vector<int16_t> v(static_cast<size_t>(frames));
    for (int k = 0; k < frames; ++k) v[static_cast<size_t>(k)] = static_cast<int16_t>(-32768 + k);
    return v;
}

} // namespace

TEST(AlsaInput, HandsOverWhatJackPlaysSampleForSample)
{
    jacktest::useServer(jacktest::fixtureServer());
    jacktest::TestClient source(1, 0);
    ASSERT_TRUE(source.ok());
    const std::string pcm = jacktest::uniqueName("stravik_capture");
    jacktest::AlsaConfig config({{pcm, JackPcm::Kind::Plug, {source.outputPort(0)}, {}}});
    ASSERT_TRUE(config.ok());

    AlsaBackend backend;
    const int index = indexOf(backend.captureDevices(), pcm);
    ASSERT_GE(index, 0);
    RecordingMessages messages;
    auto input = backend.openInput(index, 48000, messages);
    ASSERT_TRUE(input) << (messages.count() ? messages.texts()[0] : "");
    EXPECT_EQ(input->deviceRate(), 48000);
    EXPECT_EQ(input->blockFrames(), 128);
    EXPECT_EQ(input->channels(), 1);

    const auto signal = counter(24000);
    std::vector<float> played;
    for (int16_t v : signal) played.push_back(jacktest::toJack(v));
    source.setSignal(0, played);
    ASSERT_TRUE(input->start(messages));
    // The plugin's JACK client joins the server's graph when capture starts;
    // the signal begins once a block has come through.
    std::atomic<bool> stop{false};
    std::vector<int16_t> got;
    {
        const int16_t* data = nullptr;
        ASSERT_EQ(input->fetch(data, stop), 128) << input->failureText();
        got.insert(got.end(), data, data + 128);
    }
    source.startPlaying();

    // Capture started before the signal: silence, then the counter.
    size_t begin = 0;
    bool found = false;
    while (!found || got.size() < begin + signal.size()) {
        const int16_t* data = nullptr;
        const int n = input->fetch(data, stop);
        ASSERT_EQ(n, 128) << input->failureText();
        got.insert(got.end(), data, data + n);
        if (!found) {
            const auto it = std::find_if(got.begin(), got.end(), [](int16_t v) { return v != 0; });
            found = it != got.end();
            begin = static_cast<size_t>(it - got.begin());
        }
        ASSERT_LT(got.size(), 10u * signal.size()) << "the signal never arrived";
    }
    if (input->xruns() + source.serverXruns() == 0) {
        EXPECT_EQ(got[begin], -32768);
        EXPECT_TRUE(std::equal(signal.begin(), signal.end(), got.begin() + static_cast<long>(begin)));
    } else {
        // The test thread or the server fell behind on a loaded machine: what
        // was captured meanwhile is gone, but what came stays in order.
        for (size_t i = begin + 1; i < got.size() && got[i] != 0; ++i) ASSERT_GT(got[i], got[i - 1]) << i;
    }

    stop = true;
    const int16_t* data = nullptr;
    EXPECT_EQ(input->fetch(data, stop), 0);
    EXPECT_FALSE(input->failed());
    input->stop();
    EXPECT_EQ(messages.count(), 0u);
}

TEST(AlsaInput, FailsSoonAfterTheServerEnds)
{
    jacktest::PrivateServer server(48000);
    ASSERT_TRUE(server.ready()) << server.log();
    jacktest::useServer(server.name());
    const std::string pcm = jacktest::uniqueName("stravik_capture");
    jacktest::AlsaConfig config({{pcm, JackPcm::Kind::Plug, {"system:capture_1"}, {}}});

    AlsaBackend backend;
    RecordingMessages messages;
    auto input = backend.openInputNamed(pcm, 48000, messages);
    ASSERT_TRUE(input);
    ASSERT_TRUE(input->start(messages));
    std::atomic<bool> stop{false};
    const int16_t* data = nullptr;
    for (int b = 0; b < 20; ++b) ASSERT_EQ(input->fetch(data, stop), 128);

    server.terminate();
    const auto ended = std::chrono::steady_clock::now();
    int n = 0;
    do {
        n = input->fetch(data, stop);
    } while (n > 0 && std::chrono::steady_clock::now() - ended < std::chrono::seconds(10));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - ended).count();
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(input->failed());
    EXPECT_EQ(input->failureText(), "The audio input device stopped delivering sound.");
    EXPECT_LT(seconds, 1.0);
    input->stop();
    input.reset(); // closing on a dead server must not hang either
}
