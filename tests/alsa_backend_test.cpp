// test-label: threads
// test-fixture: jack
// The ALSA device lists and what opening a device says when it cannot be
// done, on PCMs of ALSA's jack plugin that refuse one thing each; the
// 22050 Hz capture fall-back on a device that only takes 44100 Hz.
#include "JackTest.h"
#include "dsp/RecordingMessages.h"
#include "engine/devices/AlsaBackend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace stravik;
using jacktest::JackPcm;

namespace {

const char* const kOutputTitle = "Stravik - error opening device";

int indexOf(const std::vector<std::string>& names, const std::string& name)
{
    const auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : static_cast<int>(it - names.begin());
}

// What opening the output shows (nothing when it opens).
RecordingMessages::Entry outputMessage(AlsaBackend& backend, const std::string& pcm, int channels, int rate)
{
    RecordingMessages messages;
    OutputRequest request;
    request.rate = rate;
    request.channels = channels;
    const bool opened = backend.openOutputNamed(pcm, request, messages) != nullptr;
    const auto e = messages.entries();
    if (opened || e.size() != 1) return {opened ? "opened" : "messages: " + std::to_string(e.size()), {}, {}, false};
    return e[0];
}

std::string inputMessage(AlsaBackend& backend, const std::string& pcm, int rate)
{
    RecordingMessages messages;
    const bool opened = backend.openInputNamed(pcm, rate, messages) != nullptr;
    const auto e = messages.entries();
    if (opened || e.size() != 1) return opened ? "opened" : "messages: " + std::to_string(e.size());
    EXPECT_EQ(e[0].icon, MessageIcon::Warning);
    EXPECT_EQ(e[0].title, "");
    return e[0].text;
}

} // namespace

TEST(AlsaBackend, ListsStartWithDefaultAndNameEachPcmOnce)
{
    const std::string pcm = jacktest::uniqueName("stravik_listed");
    jacktest::AlsaConfig config({{pcm, JackPcm::Kind::Plug, {"system:capture_1"}, {"system:playback_1"}}});
    AlsaBackend backend;
    for (const auto& names : {backend.captureDevices(), backend.playbackDevices()}) {
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(names[0], "default");
        EXPECT_GE(indexOf(names, pcm), 1);
        EXPECT_EQ(indexOf(names, "null"), -1);
        // The jack PCM under the plug device is hidden from the hints.
        EXPECT_EQ(indexOf(names, pcm + "_jack"), -1);
        EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
    }
    EXPECT_EQ(backend.captureDevices(), backend.captureDevices());
}

TEST(AlsaBackend, UnknownDevicesShowTheOpenFailures)
{
    AlsaBackend backend;
    RecordingMessages messages;
    EXPECT_EQ(backend.openInput(9999, 48000, messages), nullptr);
    EXPECT_EQ(backend.openInput(-1, 48000, messages), nullptr);
    EXPECT_EQ(inputMessage(backend, "stravik_no_such_pcm", 48000), "Error opening audio input device!");
    OutputRequest request;
    EXPECT_EQ(backend.openOutput(9999, request, messages), nullptr);
    const auto e = messages.entries();
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].text, "Error opening audio input device!");
    EXPECT_EQ(e[0].icon, MessageIcon::Warning);
    EXPECT_EQ(e[1].text, e[0].text);
    const std::string noDriver = "This programm requires Windows DirectSound driver installed!!\nCheck your sound card "
                                 "documentation for information on how to\nobtain/install DirectSound driver.";
    EXPECT_EQ(e[2].text, noDriver);
    EXPECT_EQ(e[2].title, kOutputTitle);
    EXPECT_EQ(e[2].icon, MessageIcon::Information);
    EXPECT_EQ(outputMessage(backend, "stravik_no_such_pcm", 2, 48000).text, noDriver);
}

TEST(AlsaBackend, RefusedFormatsShowTheirMessages)
{
    jacktest::useServer(jacktest::fixtureServer());
    const std::string raw = jacktest::uniqueName("stravik_float_only");
    const std::string twoPorts = jacktest::uniqueName("stravik_stereo_only");
    const std::string onePort = jacktest::uniqueName("stravik_mono_only");
    const std::string plug = jacktest::uniqueName("stravik_plug");
    jacktest::AlsaConfig config({
        {raw, JackPcm::Kind::Raw, {"system:capture_1"}, {"system:playback_1"}},
        {twoPorts, JackPcm::Kind::Lfloat, {"system:capture_1", "system:capture_2"},
         {"system:playback_1", "system:playback_2"}},
        {onePort, JackPcm::Kind::Lfloat, {"system:capture_1"}, {"system:playback_1"}},
        {plug, JackPcm::Kind::Plug, {"system:capture_1"}, {"system:playback_1"}},
    });
    AlsaBackend backend;

    const auto raw16 = outputMessage(backend, raw, 2, 48000);
    EXPECT_EQ(raw16.text, "Direct sound driver does NOT support 16bits!");
    EXPECT_EQ(raw16.title, kOutputTitle);
    EXPECT_EQ(raw16.icon, MessageIcon::Information);
    EXPECT_EQ(outputMessage(backend, twoPorts, 1, 48000).text,
              "Direct sound driver does NOT support MONO sound buffer!");
    EXPECT_EQ(outputMessage(backend, onePort, 2, 48000).text,
              "Direct sound driver does NOT support STEREO sound buffer!");
    EXPECT_EQ(outputMessage(backend, onePort, 1, 44100).text,
              "Could not setup DirectSound output mode (format not supported by sound card driver)\nTry 'Alt "
              "Duplex' option in setup dialog.");
    EXPECT_EQ(outputMessage(backend, onePort, 1, 48000).text, "opened");
    // Playback may resample: the plug device takes any rate.
    EXPECT_EQ(outputMessage(backend, plug, 2, 44100).text, "opened");

    // Capture may not: the server runs at 48000 Hz.
    const std::string rateText =
        "Error opening audio input device!\nSpecified sample rate is not supported by the hardware.";
    EXPECT_EQ(inputMessage(backend, plug, 44100), rateText);
    EXPECT_EQ(inputMessage(backend, plug, 22050), rateText); // and 44100 Hz is refused too
    EXPECT_EQ(inputMessage(backend, raw, 48000), "Error opening audio input device!");
    EXPECT_EQ(inputMessage(backend, plug, 48000), "opened");
}

TEST(AlsaBackend, At22050HzADeviceThatOnlyTakes44100RunsAtTwiceTheRate)
{
    jacktest::PrivateServer server(44100);
    ASSERT_TRUE(server.ready()) << server.log();
    jacktest::useServer(server.name());
    const std::string pcm = jacktest::uniqueName("stravik_44k");
    jacktest::AlsaConfig config({{pcm, JackPcm::Kind::Plug, {"system:capture_1"}, {}}});
    AlsaBackend backend;
    const int index = indexOf(backend.captureDevices(), pcm);
    ASSERT_GE(index, 0);
    RecordingMessages messages;
    auto input = backend.openInput(index, 22050, messages);
    ASSERT_TRUE(input) << (messages.count() ? messages.texts()[0] : "");
    EXPECT_EQ(input->deviceRate(), 44100);
    EXPECT_EQ(input->blockFrames(), 256);
    ASSERT_TRUE(input->start(messages));
    std::atomic<bool> stop{false};
    const int16_t* data = nullptr;
    EXPECT_EQ(input->fetch(data, stop), 256);
    input->stop();
    EXPECT_EQ(messages.count(), 0u);
}
