#pragma once
// The direct hardware path on ALSA: `hw:` devices, with no plugin between
// the program and the driver, moved in packets of 128 frames of 16-bit
// samples at the processing rate.
//
// Capture: mono, or two channels when the hardware takes nothing less (the
// chain then gets the left channel). The driver's ring holds 50 packets; up
// to 45 may wait to be fetched before the capture counts as overrun (it
// then restarts and counts a break). A fetch waits at most 500 ms for its
// packet and processes the buffer regardless when nothing came, as the
// program always has.
//
// Render: DirectRenderWriter's queue (start delay from MaxDelay, level
// control, drops) on a ring of 100 packets, with one silent packet queued
// when the device opens. An underrun starts the queue again from its start
// delay and counts a break. With an input file each block waits (at most
// 500 ms) until it fits: the device sets the pace.
//
// Failures while opening, with their texts:
//   capture: no such device, busy      "Error opening audio input device!"
//            sample format, rate or
//            channels refused          the same + "\nSelected format is not supported."
//            interleaved access, the
//            packet size or the ring
//            refused                   the same + "\nStandard streaming interface is not supported."
//   render:  the same three cases with "Error opening audio output device!"
//
// Threads: the processing thread, except failed(), failureText() and the
// counts.
#include "engine/devices/AlsaSupport.h"
#include "engine/devices/AudioDevices.h"
#include "engine/devices/DirectRender.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
typedef struct _snd_pcm snd_pcm_t;
}

namespace stravik {

class AlsaDirectInput final : public InputDevice {
public:
    static constexpr int kPacketFrames = 128;
    static constexpr int kPackets = 50;
    static constexpr int kOutstandingPackets = 45;
    static constexpr int kWaitLimitMs = 500;

    // Opens a hw: capture device at `rate`; nullptr after the message.
    static std::unique_ptr<AlsaDirectInput> open(const std::string& name, int rate, UserMessages& messages);
    ~AlsaDirectInput() override;

    int channels() const override { return channels_; }
    int deviceRate() const override { return rate_; }
    int blockFrames() const override { return kPacketFrames; }
    bool start(UserMessages& messages) override;
    int fetch(const int16_t*& data, const std::atomic<bool>& stop) override;
    void stop() override;
    bool failed() const override { return failure_.load() != 0; }
    std::string failureText() const override;
    long xruns() const override { return xruns_.load(std::memory_order_relaxed); }
    bool direct() const override { return true; }
    // Fetches that found nothing within 500 ms.
    long timeouts() const { return timeouts_.load(std::memory_order_relaxed); }

private:
    AlsaDirectInput(snd_pcm_t* pcm, int rate, int channels);
    void fail(int error);

    snd_pcm_t* pcm_;
    int rate_;
    int channels_;
    int16_t packet_[2 * kPacketFrames] = {};
    std::atomic<int> failure_{0};
    std::atomic<long> xruns_{0};
    std::atomic<long> timeouts_{0};
};

class AlsaDirectOutput final : public LiveOutputDevice {
public:
    static constexpr int kPacketFrames = 128;
    static constexpr int kPackets = 100;
    static constexpr int kWaitLimitMs = 500;

    static std::unique_ptr<AlsaDirectOutput> open(const std::string& name, const OutputRequest& request,
                                                  UserMessages& messages);
    ~AlsaDirectOutput() override;

    // OutputDevice
    void writeLive(const int16_t* samples, int bytes) override;
    void writeFileInput(const int16_t* samples, int bytes) override;
    void waitForRoom(const std::atomic<bool>&) override {}
    bool isPacedPin() const override { return true; }

    // LiveOutputDevice
    bool start(UserMessages& messages) override;
    void stop() override;
    bool failed() const override { return failure_.load() != 0; }
    std::string failureText() const override;
    long xruns() const override { return xruns_.load(std::memory_order_relaxed); }

    const DirectRenderWriter& writer() const { return writer_; }
    // Set when the rate adapter made more than a packet: the run stops.
    bool internalError() const { return internalError_.load(); }

private:
    class Pcm final : public PacketQueue {
    public:
        Pcm(snd_pcm_t* pcm, int channels) : pcm_(pcm), channels_(channels) {}
        long queuedFrames() override;
        bool hasRoom(long frames) override;
        int submit(const int16_t* data, long frames) override;
        int startPlaying() override;

    private:
        snd_pcm_t* pcm_;
        int channels_;
    };

    AlsaDirectOutput(snd_pcm_t* pcm, const OutputRequest& request);
    void handle(DirectRenderWriter::Result result, int error);
    bool restartAfterUnderrun();
    void fail(int error);

    snd_pcm_t* pcm_;
    OutputRequest request_;
    Pcm queue_;
    DirectRenderWriter writer_;
    std::atomic<int> failure_{0};
    std::atomic<bool> internalError_{false};
    std::atomic<long> xruns_{0};
};

} // namespace stravik
