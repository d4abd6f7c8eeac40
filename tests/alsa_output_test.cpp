// test-label: threads
// test-fixture: jack
// Playback through ALSA: blocks written to the output device reach a JACK
// port sample for sample, behind the write-ahead (live) or paced by the ring
// (file input); an underrun starts again behind a fresh write-ahead; a server
// that ends makes the device fail, not hang.
#include "AllocationCounter.h"
#include "JackTest.h"
#include "dsp/RecordingMessages.h"
#include "engine/devices/AlsaBackend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

using namespace stravik;
using jacktest::JackPcm;

namespace {

// Frame k of a 16-bit counter: left counts up from -32768, right down from
// 32767, so each sample says where it belongs and which channel it is.
int16_t left(long k) { return static_cast<int16_t>(-32768 + k); }
int16_t right(long k) { return static_cast<int16_t>(32767 - k); }

std::vector<int16_t> counterBlock(long first, int frames, int channels)
{
    std::vector<int16_t> v;
    for (long k = first; k < first + frames; ++k) {
        v.push_back(left(k));
        if (channels == 2) v.push_back(right(k));
    }
    return v;
}

// What became of a counter of `frames` frames in a recording.
struct Arrival {
    long start = -1;   // where its first frame is
    long mismatches = 0; // frames that differ from an exact copy from there
    long received = 0; // frames that turned up in order, repeats left aside
    long missing = 0;  // frames skipped on the way
};

Arrival findCounter(const std::vector<float>& l, const std::vector<float>* r, long frames)
{
    Arrival a;
    const auto frameAt = [&](long i) { return static_cast<long>(jacktest::fromJack(l[static_cast<size_t>(i)])) + 32768L; };
    const auto rightFits = [&](long i, long k) {
        return !r || jacktest::fromJack((*r)[static_cast<size_t>(i)]) == right(k);
    };
    const long n = static_cast<long>(l.size());
    for (long i = 0; i < n; ++i)
        if (jacktest::fromJack(l[static_cast<size_t>(i)]) != 0) {
            a.start = i;
            break;
        }
    if (a.start < 0) return a;
    for (long k = 0; k < frames; ++k)
        if (a.start + k >= n || frameAt(a.start + k) != k || !rightFits(a.start + k, k)) ++a.mismatches;
    // After a break (an underrun replays a stale period, a full ring drops
    // frames) every frame still has to arrive once, in order.
    for (long i = a.start; i < n && a.received + a.missing < frames; ++i) {
        const long k = frameAt(i);
        const long next = a.received + a.missing;
        const bool silence = k == 32768 && (!r || jacktest::fromJack((*r)[static_cast<size_t>(i)]) == 0);
        if (silence || k < next || !rightFits(i, k)) continue; // a repeat, silence, the fade at the end
        a.missing += k - next;
        ++a.received;
    }
    return a;
}

struct Devices {
    jacktest::TestClient sink{0, 2};
    std::string capture = jacktest::uniqueName("stravik_paced_in");
    std::string playback = jacktest::uniqueName("stravik_out");
    std::unique_ptr<jacktest::AlsaConfig> config;
    AlsaBackend backend;
    RecordingMessages messages;

    Devices()
    {
        config = std::make_unique<jacktest::AlsaConfig>(std::vector<JackPcm>{
            {capture, JackPcm::Kind::Plug, {"system:capture_1"}, {}},
            {playback, JackPcm::Kind::Plug, {}, {sink.inputPort(0), sink.inputPort(1)}}});
    }
};

} // namespace

TEST(AlsaOutput, LiveBlocksArriveSampleForSampleBehindTheWriteAhead)
{
    jacktest::useServer(jacktest::fixtureServer());
    Devices d;
    ASSERT_TRUE(d.sink.ok());
    // The run's pace comes from the input device, as in a live run.
    auto input = d.backend.openInputNamed(d.capture, 48000, d.messages);
    ASSERT_TRUE(input);
    OutputRequest request;
    request.rate = 48000;
    request.channels = 2;
    request.maxDelayMs = 20;
    auto output = d.backend.openOutputNamed(d.playback, request, d.messages);
    ASSERT_TRUE(output);
    EXPECT_EQ(output->config().periodFrames, 128);
    EXPECT_EQ(output->config().writeAheadFrames, 720);
    EXPECT_GE(output->config().bufferFrames, 4 * 720);
    EXPECT_EQ(output->bufferBytes(), output->config().bufferFrames * 4);

    ASSERT_TRUE(output->start(d.messages));
    ASSERT_TRUE(input->start(d.messages));
    std::atomic<bool> stop{false};
    constexpr int kBlocks = 375; // one second
    std::vector<std::vector<int16_t>> blocks;
    for (int b = 0; b < kBlocks; ++b) blocks.push_back(counterBlock(128L * b, 128, 2));
    long firstWriteAt = 0;
    // The processing thread's part of the devices allocates nothing.
    gAllocations = 0;
    tCountAllocations = true;
    for (int b = 0; b < kBlocks; ++b) {
        const int16_t* data = nullptr;
        const int n = input->fetch(data, stop);
        if (n != 128) break;
        if (b == 0) firstWriteAt = d.sink.recordedFrames();
        output->writeLive(blocks[static_cast<size_t>(b)].data(), 128 * 4);
    }
    tCountAllocations = false;
    EXPECT_EQ(gAllocations.load(), 0);
    ASSERT_FALSE(input->failed()) << input->failureText();
    output->stop();
    input->stop();
    // The sink records on: a few periods more and everything queued is there.
    ASSERT_TRUE(d.sink.waitRecorded(d.sink.recordedFrames() + 1024)) << d.sink.state();

    const auto l = d.sink.recording(0), r = d.sink.recording(1);
    const Arrival a = findCounter(l, &r, 128L * kBlocks);
    ASSERT_GE(a.start, 0) << "nothing arrived";
    EXPECT_EQ(jacktest::fromJack(l[static_cast<size_t>(a.start)]), -32768);
    // On a loaded machine the devices or the server may break off; then
    // every frame still arrives, in order, unless the ring was full.
    if (input->xruns() + output->xruns() + d.sink.serverXruns() == 0) {
        EXPECT_EQ(a.mismatches, 0);
    } else if (output->droppedFrames() + d.sink.serverXruns() == 0) {
        EXPECT_EQ(a.received, 128L * kBlocks) << "missing " << a.missing;
    }
    // The first block queued behind 720 frames of silence cannot be heard
    // before they have played.
    EXPECT_GE(a.start - firstWriteAt, 720);
    std::printf("first sample heard %ld frames after the first write; queue reference %ld frames; xruns in %ld "
                "out %ld\n",
                a.start - firstWriteAt, output->writer().drift().reference(), input->xruns(), output->xruns());
    EXPECT_FALSE(output->failed());
    EXPECT_EQ(d.messages.count(), 0u);
}

TEST(AlsaOutput, FileInputWriterIsPacedByTheRingAndLosesNothing)
{
    jacktest::useServer(jacktest::fixtureServer());
    Devices d;
    ASSERT_TRUE(d.sink.ok());
    OutputRequest request;
    request.rate = 48000;
    request.channels = 1;
    request.fileInput = true;
    auto output = d.backend.openOutputNamed(d.playback, request, d.messages);
    ASSERT_TRUE(output);
    EXPECT_EQ(output->config().writeAheadFrames, 0);
    ASSERT_TRUE(output->start(d.messages));
    std::atomic<bool> stop{false};
    constexpr int kBlocks = 200;
    for (int b = 0; b < kBlocks; ++b) {
        output->waitForRoom(stop);
        const auto block = counterBlock(128L * b, 128, 1);
        output->writeFileInput(block.data(), 128 * 2);
    }
    output->stop();
    ASSERT_TRUE(d.sink.waitRecorded(d.sink.recordedFrames() + 1024)) << d.sink.state();
    // Mono on two ports: the plug device plays it on both.
    const auto l = d.sink.recording(0);
    const Arrival a = findCounter(l, nullptr, 128L * kBlocks);
    ASSERT_GE(a.start, 0) << d.sink.state();
    EXPECT_EQ(output->droppedFrames(), 0);
    // An underrun replays a stale period or plays silence but loses nothing;
    // a late server cycle may lose a period between the clients.
    if (output->xruns() + d.sink.serverXruns() == 0) {
        EXPECT_EQ(a.mismatches, 0);
    }
    if (d.sink.serverXruns() == 0) {
        EXPECT_EQ(a.received, 128L * kBlocks) << "missing " << a.missing;
    }

    // A stop asked for ends the wait even with the ring full.
    auto full = d.backend.openOutputNamed(d.playback, request, d.messages);
    ASSERT_TRUE(full);
    const auto block = counterBlock(0, 128, 1);
    for (long f = 0; f <= full->config().bufferFrames; f += 128) full->writeFileInput(block.data(), 256);
    stop = true;
    full->waitForRoom(stop);
    EXPECT_FALSE(full->failed());
}

TEST(AlsaOutput, AnUnderrunStartsAgainBehindTheWriteAhead)
{
    jacktest::useServer(jacktest::fixtureServer());
    Devices d;
    OutputRequest request;
    request.rate = 48000;
    request.channels = 2;
    request.maxDelayMs = 20;
    auto output = d.backend.openOutputNamed(d.playback, request, d.messages);
    ASSERT_TRUE(output);
    ASSERT_TRUE(output->start(d.messages));
    const auto block = counterBlock(0, 128, 2);
    output->writeLive(block.data(), 128 * 4);
    // 848 frames queued are 18 ms: after 150 ms the ring has run dry.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const long before = d.sink.recordedFrames();
    const auto second = counterBlock(128, 128, 2);
    output->writeLive(second.data(), 128 * 4);
    EXPECT_EQ(output->xruns(), 1);
    EXPECT_FALSE(output->failed());
    output->stop();
    ASSERT_TRUE(d.sink.waitRecorded(d.sink.recordedFrames() + 1024)) << d.sink.state();
    const auto l = d.sink.recording(0);
    // The second block plays on its own, behind a fresh write-ahead.
    long at = -1;
    for (long i = before; i < static_cast<long>(l.size()); ++i)
        if (jacktest::fromJack(l[static_cast<size_t>(i)]) == left(128)) {
            at = i;
            break;
        }
    ASSERT_GE(at, 0);
    EXPECT_GE(at - before, 720);
    for (long k = 0; k < 128; ++k) ASSERT_EQ(jacktest::fromJack(l[static_cast<size_t>(at + k)]), left(128 + k));
}

TEST(AlsaOutput, FailsSoonAfterTheServerEnds)
{
    jacktest::PrivateServer server(48000);
    ASSERT_TRUE(server.ready()) << server.log();
    jacktest::useServer(server.name());
    const std::string pcm = jacktest::uniqueName("stravik_out");
    jacktest::AlsaConfig config({{pcm, JackPcm::Kind::Plug, {}, {"system:playback_1"}}});
    AlsaBackend backend;
    RecordingMessages messages;
    OutputRequest request;
    request.rate = 48000;
    request.channels = 1;
    auto output = backend.openOutputNamed(pcm, request, messages);
    ASSERT_TRUE(output);
    ASSERT_TRUE(output->start(messages));
    const auto block = counterBlock(0, 128, 1);
    // Roughly at the device's pace: the writes never wait themselves.
    const auto pace = std::chrono::microseconds(2600);
    for (int b = 0; b < 40; ++b) {
        output->writeLive(block.data(), 256);
        std::this_thread::sleep_for(pace);
    }
    ASSERT_FALSE(output->failed());

    server.terminate();
    const auto ended = std::chrono::steady_clock::now();
    while (!output->failed() && std::chrono::steady_clock::now() - ended < std::chrono::seconds(10)) {
        output->writeLive(block.data(), 256);
        std::this_thread::sleep_for(pace);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - ended).count();
    EXPECT_TRUE(output->failed());
    EXPECT_EQ(output->failureText(), "The audio output device stopped playing.");
    EXPECT_LT(seconds, 1.0);
    output->stop();
    output.reset();
}
